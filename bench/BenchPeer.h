#pragma once
// What the bench programs share: running inside a namespace of their own and
// a TEL sender on plain sockets (the socket layer under measure is not used).
#include "core/BTcpServ.h"

#include <QByteArray>
#include <QtEndian>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace benchpeer {

inline constexpr char InsideVariable[] = "KALVEX_BENCH_NETNS";

// ---- the network namespace --------------------------------------------------------

// Starts this program again through "unshare" with the given options (-rn: a
// network namespace of its own; -rnm: a mount namespace too) and lo up,
// unless it runs in such a namespace already. Returns only when it does.
inline void EnterOwnNamespace(int argc, char **argv, const char *unshareOptions)
{
    if (qEnvironmentVariableIsSet(InsideVariable))
        return;
    char self[PATH_MAX] = {};
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) {
        std::perror("readlink /proc/self/exe");
        std::exit(1);
    }
    ::setenv(InsideVariable, "1", 1);
    std::vector<char *> args = {const_cast<char *>("unshare"), const_cast<char *>(unshareOptions),
                                const_cast<char *>("sh"), const_cast<char *>("-c"),
                                const_cast<char *>("ip link set lo up && exec \"$0\" \"$@\""), self};
    for (int i = 1; i < argc; ++i)
        args.push_back(argv[i]);
    args.push_back(nullptr);
    ::execvp("unshare", args.data());
    std::perror("unshare");
    std::exit(1);
}

// ---- a TEL sender on plain sockets ------------------------------------------------

inline constexpr int ChunkBytes = 8193; // the file element's chunk size on the wire

inline bool SendAll(int fd, const char *data, size_t length)
{
    while (length > 0) {
        const ssize_t n = ::send(fd, data, length, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        length -= size_t(n);
    }
    return true;
}

inline bool SendAll(int fd, const QByteArray &bytes)
{
    return SendAll(fd, bytes.constData(), size_t(bytes.size()));
}

inline bool SendInteger(int fd, qint32 value)
{
    const qint32 cell = qToBigEndian(value);
    return SendAll(fd, reinterpret_cast<const char *>(&cell), sizeof cell);
}

// Reads exactly expected.size() bytes and compares them.
inline bool Expect(int fd, const QByteArray &expected)
{
    QByteArray got(expected.size(), '\0');
    for (qsizetype have = 0; have < got.size();) {
        const ssize_t n = ::recv(fd, got.data() + have, size_t(got.size() - have), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        have += n;
    }
    return got == expected;
}

// The server closes the connection once it has stored the conversation's TELs.
inline bool WaitForClose(int fd)
{
    char sink[64];
    for (;;) {
        const ssize_t n = ::recv(fd, sink, sizeof sink, 0);
        if (n == 0)
            return true;
        if (n < 0 && errno != EINTR)
            return false;
    }
}

// The sender writes a command, a count and a body one after another without
// waiting for an answer: with Nagle's delay on, each of them would wait for
// the receiver's delayed acknowledgement (some 40 ms), and the figures would
// show the sender's delays instead of the receiver's. A source address other
// than 0 (host order, 127.0.0.x) makes the connection come from another
// address of the loopback network.
inline int ConnectTo(quint16 port, quint32 source = 0)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(source);
    if (source != 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from) != 0) {
        ::close(fd);
        return -1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0)
        return fd;
    ::close(fd);
    return -1;
}

// How long a peer waits for the server's version line before it gives up on
// the connection, and for anything else before the conversation has failed.
inline constexpr int VersionWaitMs = 2000, ReplyWaitMs = 30000;

inline void SetReceiveWait(int fd, int milliseconds)
{
    const timeval wait{milliseconds / 1000, (milliseconds % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
}

// Refused: the server hung up before its version line, as it does when its
// connection table is full. Unanswered: no version line came in time (the
// connection never reached the server's accept). Either way nothing was
// delivered, so the peer may try again.
enum class Opened { Ok, Refused, Unanswered, Failed };

// Connects to the server and runs the client's side of the handshake up to
// the server's readiness for TELs.
inline Opened OpenConversation(int &fd)
{
    fd = ConnectTo(OlcpPort);
    if (fd < 0)
        return Opened::Refused;
    SetReceiveWait(fd, VersionWaitMs);
    if (!SendAll(fd, QByteArrayLiteral("OLCP303L\r")) || !Expect(fd, QByteArrayLiteral("OLCP303L\r"))) {
        const bool silent = errno == EAGAIN || errno == EWOULDBLOCK;
        ::close(fd);
        return silent ? Opened::Unanswered : Opened::Refused;
    }
    SetReceiveWait(fd, ReplyWaitMs);
    // The TEL service, an empty password, an empty handle and the user ID.
    if (SendAll(fd, QByteArrayLiteral("TEL\r\r\rUSER0001\r")) && Expect(fd, QByteArrayLiteral("ACK\rACK\r")))
        return Opened::Ok;
    ::close(fd);
    return Opened::Failed;
}

inline bool SendTextTel(int fd, const QByteArray &body)
{
    return SendAll(fd, QByteArrayLiteral("TEXT\r")) && SendInteger(fd, qint32(body.size())) && SendAll(fd, body);
}

// "OFF", then waits until the server has stored everything and hung up.
inline bool CloseConversation(int fd)
{
    const bool ok = SendAll(fd, QByteArrayLiteral("OFF\r")) && WaitForClose(fd);
    ::close(fd);
    return ok;
}

} // namespace benchpeer
