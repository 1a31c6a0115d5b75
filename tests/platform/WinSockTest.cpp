#include "platform/WinSock.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

// The layer's calls are always named with plat::, as the system's calls of
// the same names are found too.
namespace plat {
namespace {

constexpr quint32 Loopback = 0x7F000001;

sockaddr_in LoopbackAddress(quint16 port)
{
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(Loopback);
    sin.sin_port = htons(port);
    return sin;
}

const sockaddr *Addr(const sockaddr_in &sin)
{
    return reinterpret_cast<const sockaddr *>(&sin);
}

quint16 LocalPort(SOCKET s)
{
    sockaddr_in sin{};
    int len = sizeof sin;
    EXPECT_EQ(plat::getsockname(s, reinterpret_cast<sockaddr *>(&sin), &len), 0);
    return ntohs(sin.sin_port);
}

// A socket of the given type bound to 127.0.0.1 on port (0: an ephemeral one).
SOCKET BoundSocket(int type, quint16 port = 0)
{
    const SOCKET s = plat::socket(AF_INET, type, 0);
    EXPECT_NE(s, INVALID_SOCKET);
    const sockaddr_in sin = LoopbackAddress(port);
    EXPECT_EQ(plat::bind(s, Addr(sin), sizeof sin), 0) << WSAGetLastError();
    return s;
}

SOCKET Listener()
{
    const SOCKET s = BoundSocket(SOCK_STREAM);
    EXPECT_EQ(plat::listen(s, 5), 0);
    return s;
}

// A connected pair over loopback: first the client end, then the accepted end.
std::pair<SOCKET, SOCKET> ConnectedPair()
{
    const SOCKET listener = Listener();
    const SOCKET client = plat::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in to = LoopbackAddress(LocalPort(listener));
    EXPECT_EQ(plat::connect(client, Addr(to), sizeof to), 0) << WSAGetLastError();
    const SOCKET server = plat::accept(listener, nullptr, nullptr);
    EXPECT_NE(server, INVALID_SOCKET);
    plat::closesocket(listener);
    return {client, server};
}

bool DescriptorIsOpen(int fd)
{
    return ::fcntl(fd, F_GETFD) != -1;
}

// The descriptor under a socket of the layer: the open one with its local
// address (every socket of these tests has a port of its own).
int DescriptorOf(SOCKET s)
{
    sockaddr_in wanted{};
    int wantedLen = sizeof wanted;
    EXPECT_EQ(plat::getsockname(s, reinterpret_cast<sockaddr *>(&wanted), &wantedLen), 0);
    for (int fd = 0; fd < 1024; ++fd) {
        sockaddr_in local{};
        socklen_t localLen = sizeof local;
        if (::getsockname(fd, reinterpret_cast<sockaddr *>(&local), &localLen) == 0 && local.sin_family == AF_INET
            && local.sin_port == wanted.sin_port && local.sin_addr.s_addr == wanted.sin_addr.s_addr)
            return fd;
    }
    ADD_FAILURE() << "no descriptor found for socket " << s;
    return -1;
}

// Runs a socket call on a thread of its own and returns once that thread is
// waiting in poll(), as the kernel shows it; finish() gives the call's result
// and error number.
class BlockedCall {
public:
    explicit BlockedCall(std::function<int()> call)
        : thread_([this, call] {
              tid_ = int(::syscall(SYS_gettid));
              result_ = call();
              error_ = WSAGetLastError();
          })
    {
        WaitUntilPolling();
    }
    ~BlockedCall()
    {
        if (thread_.joinable())
            thread_.join();
    }

    std::pair<int, int> finish()
    {
        thread_.join();
        return {result_, error_};
    }

private:
    bool InPoll() const
    {
        std::ifstream file("/proc/self/task/" + std::to_string(tid_) + "/syscall");
        long number = -1;
        file >> number;
        return number == SYS_poll || number == SYS_ppoll;
    }

    void WaitUntilPolling()
    {
        const QDeadlineTimer limit(10000);
        while (tid_ == 0 || !InPoll()) {
            if (limit.hasExpired()) {
                ADD_FAILURE() << "the call never blocked";
                return;
            }
            std::this_thread::yield();
        }
    }

    std::atomic<int> tid_{0};
    int result_ = 0;
    int error_ = 0;
    std::thread thread_;
};

} // namespace

TEST(WinSock, ErrorNumbersOfRefusedAndTakenPorts)
{
    // A bound port that does not listen refuses connections.
    const SOCKET closedPort = BoundSocket(SOCK_STREAM);
    const SOCKET client = plat::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in to = LoopbackAddress(LocalPort(closedPort));
    EXPECT_EQ(plat::connect(client, Addr(to), sizeof to), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAECONNREFUSED);

    // A listening port cannot be bound a second time, with or without reuse.
    const SOCKET listener = plat::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(EnableAddressReuse(listener), 0);
    const sockaddr_in any = LoopbackAddress(0);
    ASSERT_EQ(plat::bind(listener, Addr(any), sizeof any), 0);
    ASSERT_EQ(plat::listen(listener, 5), 0);
    const quint16 port = LocalPort(listener);
    const sockaddr_in taken = LoopbackAddress(port);
    const SOCKET second = plat::socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(plat::bind(second, Addr(taken), sizeof taken), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEADDRINUSE);
    const SOCKET third = plat::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(EnableAddressReuse(third), 0);
    EXPECT_EQ(plat::bind(third, Addr(taken), sizeof taken), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEADDRINUSE);

    // The same port number over UDP: the first binds beside the TCP listener,
    // a second one is refused, and address reuse is never allowed on UDP.
    const SOCKET udp = BoundSocket(SOCK_DGRAM, port);
    const SOCKET udp2 = plat::socket(AF_INET, SOCK_DGRAM, 0);
    EXPECT_EQ(EnableAddressReuse(udp2), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEOPNOTSUPP);
    const int on = 1;
    EXPECT_EQ(plat::setsockopt(udp2, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on), SOCKET_ERROR);
    EXPECT_EQ(plat::bind(udp2, Addr(taken), sizeof taken), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEADDRINUSE);

    for (const SOCKET s : {closedPort, client, listener, second, third, udp, udp2})
        EXPECT_EQ(plat::closesocket(s), 0);
    // A closed socket is no longer known.
    EXPECT_EQ(plat::closesocket(udp), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
    char byte = 0;
    EXPECT_EQ(plat::recv(client, &byte, 1, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
}

TEST(WinSock, SendToClosedPeerReportsResetWithoutSignal)
{
    auto [client, server] = ConnectedPair();
    ASSERT_EQ(plat::closesocket(server), 0);
    // The first sends may still be taken; the reset comes back within a few.
    const char data[1024] = {};
    int result = 0;
    for (int i = 0; i < 100 && result != SOCKET_ERROR; ++i)
        result = plat::send(client, data, sizeof data, 0);
    EXPECT_EQ(result, SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
    plat::closesocket(client);
}

TEST(WinSock, OversizedDatagramFillsBufferAndFails)
{
    const SOCKET receiver = BoundSocket(SOCK_DGRAM);
    const SOCKET sender = plat::socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in to = LoopbackAddress(LocalPort(receiver));
    const QByteArray datagram(300, 'd');
    ASSERT_EQ(plat::sendto(sender, datagram.constData(), datagram.size(), 0, Addr(to), sizeof to), 300);
    ASSERT_EQ(plat::sendto(sender, datagram.constData(), 256, 0, Addr(to), sizeof to), 256);

    char buffer[256] = {};
    sockaddr_in from{};
    int fromLen = sizeof from;
    EXPECT_EQ(plat::recvfrom(receiver, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from), &fromLen),
              SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEMSGSIZE);
    EXPECT_EQ(buffer[255], 'd');
    // One that fits comes whole, with its sender.
    EXPECT_EQ(plat::recvfrom(receiver, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from), &fromLen), 256);
    EXPECT_EQ(fromLen, int(sizeof from));
    EXPECT_EQ(ntohl(from.sin_addr.s_addr), Loopback);
    EXPECT_EQ(ntohs(from.sin_port), LocalPort(sender));
    plat::closesocket(receiver);
    plat::closesocket(sender);
}

TEST(WinSock, CloseFromAnotherThreadWakesBlockedCalls)
{
    const SOCKET listener = Listener();
    BlockedCall accepting([listener] { return plat::accept(listener, nullptr, nullptr); });
    ASSERT_EQ(plat::closesocket(listener), 0);
    EXPECT_EQ(accepting.finish(), std::make_pair(INVALID_SOCKET, WSAEINTR));

    auto [client, server] = ConnectedPair();
    BlockedCall receiving([server = server] {
        char buffer[16];
        return plat::recv(server, buffer, sizeof buffer, 0);
    });
    ASSERT_EQ(plat::closesocket(server), 0);
    EXPECT_EQ(receiving.finish(), std::make_pair(SOCKET_ERROR, WSAEINTR));
    // The peer sees the connection end.
    char byte = 0;
    EXPECT_EQ(plat::recv(client, &byte, 1, 0), 0);
    plat::closesocket(client);
}

TEST(WinSock, CloseWakesEveryThreadOnADatagramSocketAndThenClosesIt)
{
    const SOCKET udp = BoundSocket(SOCK_DGRAM);
    std::vector<std::unique_ptr<BlockedCall>> calls;
    for (int i = 0; i < 3; ++i) {
        calls.push_back(std::make_unique<BlockedCall>([udp] {
            char buffer[256];
            sockaddr_in from{};
            int fromLen = sizeof from;
            return plat::recvfrom(udp, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from), &fromLen);
        }));
    }
    const int fd = DescriptorOf(udp);
    ASSERT_EQ(plat::closesocket(udp), 0);
    for (auto &call : calls)
        EXPECT_EQ(call->finish(), std::make_pair(SOCKET_ERROR, WSAEINTR));
    EXPECT_FALSE(DescriptorIsOpen(fd));
}

TEST(WinSock, HandleOfAClosedSocketNeverReachesTheNextSocket)
{
    const SOCKET old = BoundSocket(SOCK_DGRAM);
    const int fd = DescriptorOf(old);
    ASSERT_EQ(plat::closesocket(old), 0);
    // The system gives the next socket the descriptor just freed.
    const SOCKET next = BoundSocket(SOCK_DGRAM);
    ASSERT_EQ(DescriptorOf(next), fd);
    EXPECT_NE(next, old);

    const SOCKET sender = plat::socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in to = LoopbackAddress(LocalPort(next));
    ASSERT_EQ(plat::sendto(sender, "new", 3, 0, Addr(to), sizeof to), 3);
    // A late call with the old handle neither takes the new socket's datagram
    // nor closes the new socket.
    char buffer[16] = {};
    EXPECT_EQ(plat::recvfrom(old, buffer, sizeof buffer, 0, nullptr, nullptr), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
    EXPECT_EQ(plat::closesocket(old), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
    EXPECT_TRUE(DescriptorIsOpen(fd));
    EXPECT_EQ(plat::recvfrom(next, buffer, sizeof buffer, 0, nullptr, nullptr), 3);
    EXPECT_STREQ(buffer, "new");
    plat::closesocket(next);
    plat::closesocket(sender);
}

TEST(WinSock, ReceiveTimeOutReports10060)
{
    auto [client, server] = ConnectedPair();
    ASSERT_EQ(SetReceiveTimeout(server, 30), 0);
    char buffer[16];
    // On the GUI thread (waiting in slices) and on a thread of its own.
    EXPECT_EQ(plat::recv(server, buffer, sizeof buffer, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAETIMEDOUT);
    int result = 0, error = 0;
    std::thread([&, server = server] {
        result = plat::recv(server, buffer, sizeof buffer, 0);
        error = WSAGetLastError();
    }).join();
    EXPECT_EQ(result, SOCKET_ERROR);
    EXPECT_EQ(error, WSAETIMEDOUT);

    const SOCKET udp = BoundSocket(SOCK_DGRAM);
    ASSERT_EQ(SetReceiveTimeout(udp, 30), 0);
    EXPECT_EQ(plat::recvfrom(udp, buffer, sizeof buffer, 0, nullptr, nullptr), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAETIMEDOUT);

    // Data that is there is read at once, time-out or not.
    ASSERT_EQ(plat::send(client, "ok", 2, 0), 2);
    EXPECT_EQ(plat::recv(server, buffer, sizeof buffer, 0), 2);
    for (const SOCKET s : {client, server, udp})
        plat::closesocket(s);
}

TEST(WinSock, NonBlockingModeReportsWouldBlock)
{
    auto [client, server] = ConnectedPair();
    unsigned long on = 1;
    ASSERT_EQ(plat::ioctlsocket(server, FIONBIO, &on), 0);
    char buffer[16];
    EXPECT_EQ(plat::recv(server, buffer, sizeof buffer, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    unsigned long off = 0;
    ASSERT_EQ(plat::ioctlsocket(server, FIONBIO, &off), 0);
    ASSERT_EQ(plat::send(client, "x", 1, 0), 1);
    EXPECT_EQ(plat::recv(server, buffer, sizeof buffer, 0), 1);
    plat::closesocket(client);
    plat::closesocket(server);
}

TEST(WinSock, GuiThreadKeepsProcessingEventsWhileBlocked)
{
    auto [client, server] = ConnectedPair();
    bool fired = false;
    bool blockingSeen = false;
    QTimer::singleShot(0, [&, client = client] {
        fired = true;
        blockingSeen = InBlockingCall();
        plat::send(client, "hello", 5, 0);
    });
    EXPECT_FALSE(InBlockingCall());
    char buffer[16] = {};
    EXPECT_EQ(plat::recv(server, buffer, sizeof buffer, 0), 5);
    EXPECT_TRUE(fired);
    EXPECT_TRUE(blockingSeen);
    EXPECT_FALSE(InBlockingCall());
    plat::closesocket(client);
    plat::closesocket(server);
}

TEST(WinSock, CloseInsideOwnBlockingCallDefersTheDescriptor)
{
    // A window's handler closes the socket that its own pending call waits on.
    auto [client, server] = ConnectedPair();
    const int fd = DescriptorOf(server);
    bool openDuringCall = false;
    QTimer::singleShot(0, [&, server = server] {
        EXPECT_EQ(plat::closesocket(server), 0);
        openDuringCall = DescriptorIsOpen(fd);
    });
    char buffer[16];
    EXPECT_EQ(plat::recv(server, buffer, sizeof buffer, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEINTR);
    EXPECT_TRUE(openDuringCall);
    EXPECT_FALSE(DescriptorIsOpen(fd));
    plat::closesocket(client);
}

TEST(WinSock, AddressTextsAndLookups)
{
    EXPECT_EQ(ntohl(plat::inet_addr(QStringLiteral("127.0.0.1"))), Loopback);
    EXPECT_EQ(plat::inet_ntoa(htonl(0xC0A80A01)), QStringLiteral("192.168.10.1"));
    EXPECT_EQ(plat::inet_addr(QStringLiteral("localhost")), INADDR_NONE);
    EXPECT_EQ(plat::inet_addr(QString::fromLatin1("1.2.3.4\0x", 9)), INADDR_NONE);

    const auto byName = GetHostByName(QStringLiteral("localhost"));
    ASSERT_TRUE(byName.has_value());
    EXPECT_TRUE(byName->addresses.contains(htonl(Loopback)));
    EXPECT_EQ(byName->addressType, AF_INET);
    const auto byAddr = GetHostByAddr(htonl(Loopback));
    ASSERT_TRUE(byAddr.has_value());
    EXPECT_FALSE(byAddr->officialName.isEmpty());

    EXPECT_EQ(GetServicePort(QStringLiteral("time"), QStringLiteral("tcp"), 0), 37);
    EXPECT_EQ(GetServicePort(QStringLiteral("no-such-service"), QStringLiteral("tcp"), 8011), 8011);
}

} // namespace plat
