#pragma once
// Hands a fuzz input to the program's socket readers the way a peer would:
// through a connected pair of local stream sockets. The reading end is a
// socket of the program's socket layer; the other end writes the input and
// shuts its sending side down, so every read ends at the latest at the end of
// the input, and reads away whatever the program answers until the program
// closes its end.
//
// An input that fits the socket's buffer is written before the readers start,
// so the bytes they see never depend on the timing of threads.
#include "platform/WinSock.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

class FedSocket {
public:
    FedSocket(const std::uint8_t *data, std::size_t size) : input_(reinterpret_cast<const char *>(data), size)
    {
        const plat::SOCKET listener = Listener();
        const int peer = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const Address &address = ListenAddress();
        if (peer < 0 || ::connect(peer, reinterpret_cast<const sockaddr *>(&address.name), address.length) != 0)
            Die("connect");
        socket_ = plat::accept(listener, nullptr, nullptr);
        if (socket_ == plat::INVALID_SOCKET)
            Die("accept");
        sent_ = Write(peer, MSG_DONTWAIT);
        if (sent_ == input_.size())
            ::shutdown(peer, SHUT_WR);
        feeder_ = std::thread([this, peer] { Feed(peer); });
    }
    ~FedSocket()
    {
        // The peer's end sees the close: its remaining writes fail and its reads end.
        plat::closesocket(socket_);
        feeder_.join();
    }
    FedSocket(const FedSocket &) = delete;
    FedSocket &operator=(const FedSocket &) = delete;

    plat::SOCKET socket() const { return socket_; }

private:
    struct Address {
        sockaddr_un name{};
        socklen_t length = 0;
    };

    [[noreturn]] static void Die(const char *what)
    {
        std::perror(what);
        std::abort();
    }

    // A name in the abstract namespace, one per process, so that fuzzers
    // running side by side never meet.
    static const Address &ListenAddress()
    {
        static const Address address = [] {
            Address a;
            a.name.sun_family = AF_UNIX;
            const int n = std::snprintf(a.name.sun_path + 1, sizeof a.name.sun_path - 1, "kalvex-fuzz-%d", int(::getpid()));
            a.length = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + size_t(n));
            return a;
        }();
        return address;
    }

    static plat::SOCKET Listener()
    {
        static const plat::SOCKET listener = [] {
            const plat::SOCKET s = plat::socket(AF_UNIX, SOCK_STREAM, 0);
            const Address &address = ListenAddress();
            if (s == plat::INVALID_SOCKET ||
                plat::bind(s, reinterpret_cast<const sockaddr *>(&address.name), int(address.length)) != 0 ||
                plat::listen(s, 1) != 0)
                Die("listen");
            return s;
        }();
        return listener;
    }

    // Writes what is left of the input; stops early when it would block (with
    // MSG_DONTWAIT) or when the program has closed its end. The bytes written.
    std::size_t Write(int peer, int flags)
    {
        std::size_t sent = sent_;
        while (sent < input_.size()) {
            const ssize_t n = ::send(peer, input_.data() + sent, input_.size() - sent, flags | MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            sent += std::size_t(n);
        }
        return sent;
    }

    void Feed(int peer)
    {
        if (sent_ < input_.size()) {
            Write(peer, 0);
            ::shutdown(peer, SHUT_WR);
        }
        char answer[4096];
        for (ssize_t n; (n = ::recv(peer, answer, sizeof answer, 0)) != 0;)
            if (n < 0 && errno != EINTR)
                break;
        ::close(peer);
    }

    const std::string input_;
    plat::SOCKET socket_ = plat::INVALID_SOCKET;
    std::size_t sent_ = 0;
    std::thread feeder_;
};
