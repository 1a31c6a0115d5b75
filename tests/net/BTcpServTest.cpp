// The TCP server on the OLCP port: the thread chain, the connection table, the
// auto-close timer and the close sequence, with scripted peers. Each test runs
// in a network namespace of its own, so port 8011 is free.
#include "core/BCommon.h"
#include "core/BLookup.h"
#include "core/BRegistr.h"
#include "core/BServer.h"
#include "core/BTcpServ.h"
#include "platform/WinSock.h"
#include "support/FakePeer.h"
#include "support/OlcpScripts.h"
#include "support/MainWindow.h"
#include "support/TempEnv.h"
#include "support/Wait.h"
#include "support/TelSender.h"
#include "tel/BTelServ.h"
#include "ui_BLookup.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <set>
#include <vector>

using testsupport::FakePeer;

namespace {

using testsupport::WaitUntil;

// Threads of this process that the kernel shows waiting in poll: a server
// thread blocked in accept is one of them.
int ThreadsInPoll()
{
    int count = 0;
    for (const QString &task : QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile wchan(QStringLiteral("/proc/self/task/%1/wchan").arg(task));
        if (wchan.open(QIODevice::ReadOnly) && wchan.readAll().contains("poll"))
            ++count;
    }
    return count;
}

// A plain socket connected to the server from source (127.0.0.N, an address
// of lo), so that a test has several peer addresses; -1 on failure.
int ConnectFrom(const char *source)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in from{AF_INET, 0, {}, {}}, to{AF_INET, htons(OlcpPort), {htonl(INADDR_LOOPBACK)}, {}};
    ::inet_pton(AF_INET, source, &from.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from) == 0 &&
        ::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0)
        return fd;
    ::close(fd);
    return -1;
}

// True when the server hangs up on fd within 2 s, without a word.
bool ClosedByServer(int fd)
{
    const timeval limit{2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    char byte;
    return ::read(fd, &byte, 1) == 0;
}

// A plain socket from source whose TEL conversation has begun: it has read
// the answers of the handshake and of the TEL receiver, and now waits
// between commands. -1 on failure.
int LoggedInFrom(const char *source)
{
    const int fd = ConnectFrom(source);
    const QByteArray login = "OLCP303L\rTEL\r\rraw\rUSER0001\r", answers = "OLCP303L\rACK\rACK\r";
    const timeval limit{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    QByteArray got(answers.size(), '\0');
    if (fd >= 0 && ::send(fd, login.constData(), size_t(login.size()), MSG_NOSIGNAL) == login.size() &&
        ::recv(fd, got.data(), size_t(got.size()), MSG_WAITALL) == got.size() && got == answers)
        return fd;
    ::close(fd);
    return -1;
}

// True when the server has ended the connection (a close or a reset).
bool HungUp(int fd)
{
    char byte;
    const ssize_t n = ::recv(fd, &byte, 1, MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

// A peer that connects and says nothing until it is let go.
std::unique_ptr<FakePeer> SilentPeer()
{
    return FakePeer::connect(OlcpPort, [](FakePeer &p) { p.stall(); });
}

// Whether a thread of this process waits in poll (as a blocked accept does).
bool SomeThreadPolls()
{
    for (const QString &task : QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile wchan(QStringLiteral("/proc/self/task/%1/wchan").arg(task));
        if (wchan.open(QIODevice::ReadOnly) && wchan.readAll().contains("poll"))
            return true;
    }
    return false;
}

class TcpServer : public testsupport::TempEnvTest {
protected:
    void SetUp() override
    {
        RateWindowMs = 0; // every refusal shows
        LogLebelNumber = GAMMA;
        StartParameter('H').clear();
        SetLogMemo(&memo_);
    }
    void TearDown() override
    {
        EXPECT_TRUE(testsupport::StopServers());
        peers.clear();
        delete form;
        for (int fd : rawPeers)
            ::close(fd);
    }
    // Connects count plain sockets from source and waits until the server has counted them.
    void connectFrom(const char *source, int count)
    {
        const int before = ConnectionCount;
        for (int i = 0; i < count; ++i) {
            rawPeers.push_back(ConnectFrom(source));
            ASSERT_NE(rawPeers.back(), -1) << source;
        }
        ASSERT_TRUE(WaitUntil([&] { return ConnectionCount == before + count; }));
    }

    // Entries 1..ConnectionCount of the table, read as its users do: under ConnectionLock.
    static std::vector<plat::SOCKET> connectionTable()
    {
        std::lock_guard lock(ConnectionLock);
        return {ConnectionSockets.begin() + 1, ConnectionSockets.begin() + 1 + ConnectionCount};
    }

    // Connects a silent peer and waits until the server has counted it.
    void connectSilentPeer()
    {
        const int before = ConnectionCount; // read before the peer can be counted
        peers.push_back(SilentPeer());
        ASSERT_TRUE(WaitUntil([before] { return ConnectionCount == before + 1; }));
    }
    QString logText()
    {
        QCoreApplication::processEvents();
        return (form ? form->ui->LookupMemo : &memo_)->toPlainText();
    }
    // The main window with its settings, as the program has it when the server starts.
    void createMainWindow()
    {
        form = testsupport::StartMainWindow(env);
    }

    std::vector<std::unique_ptr<FakePeer>> peers;
    std::vector<int> rawPeers;
    TBLookupForm *form = nullptr;

private:
    QPlainTextEdit memo_;
};

TEST_F(TcpServer, ConnectionsAreServedAtOnceAndTheTableKeepsTheirOrder)
{
    TelServerEnabled = 0;
    ChannelStates[3] = 1;
    StartTcpServer();
    EXPECT_EQ(TcpServerAlive, 1);
    EXPECT_EQ(TelServerEnabled, 1);
    EXPECT_EQ(ChannelStates[3], 0);
    EXPECT_TRUE(logText().contains(QStringLiteral("TCP Server Port   Number   = 8011")));
    EXPECT_TRUE(logText().contains(QStringLiteral("TCP Server Thread ; Server_Socket: ") + QString::number(TcpServerSocket)));

    connectSilentPeer();
    connectSilentPeer();
    const plat::SOCKET second = connectionTable().at(1);
    EXPECT_NE(connectionTable().at(0), second);

    // The first connection ends: the second moves up to entry 1.
    peers[0].reset();
    ASSERT_TRUE(WaitUntil([] { return ConnectionCount == 1; }));
    EXPECT_EQ(connectionTable().at(0), second);

    // Meanwhile the chain still accepts and holds whole conversations.
    QByteArray answer;
    auto talker = FakePeer::connect(OlcpPort, [&](FakePeer &p) {
        testsupport::SendOlcpLogin(p, {});
        answer = p.expectLine();
        p.sendLine("OFF\r");
        p.stall();
    });
    talker->wait();
    EXPECT_EQ(answer, "ACK\r");
    EXPECT_TRUE(talker->received().startsWith("OLCP303L\rACK\r"));
}

TEST_F(TcpServer, ClosingTheListeningSocketEndsTheChain)
{
    const int polling = ThreadsInPoll();
    StartTcpServer();
    ASSERT_TRUE(WaitUntil([polling] { return ThreadsInPoll() > polling; })); // blocked in accept
    plat::closesocket(TcpServerSocket);
    TcpServerSocket = plat::INVALID_SOCKET;
    ASSERT_TRUE(WaitUntil([] { return TcpServerAlive == 0; }));
    EXPECT_TRUE(logText().contains(QStringLiteral("*** TCP accept   *** Error code = 10004 : ソケット破棄")));
}

// A connection accepted once the close sequence has closed the table's
// connections, before the listening socket went, could keep the program
// waiting for its peer: it is closed at once and the chain ends.
TEST_F(TcpServer, AConnectionAcceptedWhileTheProgramClosesIsClosedAndEndsTheChain)
{
    StartTcpServer();
    connectFrom("127.0.0.2", 1);
    CloseAllConnections();
    ASSERT_TRUE(WaitUntil([] { return ConnectionCount == 0; }));
    rawPeers.push_back(ConnectFrom("127.0.0.3"));
    EXPECT_TRUE(ClosedByServer(rawPeers.back()));
    EXPECT_TRUE(WaitUntil([] { return TcpServerAlive == 0; }));
    EXPECT_EQ(ConnectionCount, 0);
    plat::closesocket(TcpServerSocket);
    TcpServerSocket = plat::INVALID_SOCKET;
}

TEST_F(TcpServer, AnAcceptThatFailsForWantOfDescriptorsDoesNotEndTheChain)
{
    StartTcpServer();
    // A thread needs descriptors as it starts: the server's first one must be
    // waiting in its accept before they run out.
    ASSERT_TRUE(WaitUntil(SomeThreadPolls));
    // The peer's socket exists before the descriptors run out; connecting it
    // needs none, and the server's accept then fails with EMFILE.
    const int peer = ::socket(AF_INET, SOCK_STREAM, 0);
    std::vector<int> spare;
    for (int fd; (fd = ::dup(0)) >= 0;)
        spare.push_back(fd);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(8011);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = ::connect(peer, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    // The server must wait for descriptors rather than start a thread without
    // them, which would end the program. Events are not processed meanwhile:
    // that may need a descriptor as well.
    QThread::msleep(700);
    for (int fd : spare)
        ::close(fd);
    ASSERT_TRUE(connected);
    EXPECT_TRUE(WaitUntil([this] { return logText().contains(QStringLiteral("*** TCP accept   *** Error code = ")); }));
    // The server tries again and takes the peer that waited.
    EXPECT_TRUE(WaitUntil([] { return ConnectionCount == 1; }));
    EXPECT_EQ(TcpServerAlive, 1);
    ::close(peer);
}

TEST_F(TcpServer, APortHeldByAnotherProgramIsLoggedAndTheProgramRunsOn)
{
    const int other = ::socket(AF_INET, SOCK_STREAM, 0);
    // Connections of earlier cases may still hold the port in TIME_WAIT; the
    // other program's listener takes it all the same.
    const int reuse = 1;
    ::setsockopt(other, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(OlcpPort);
    const bool held = ::bind(other, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
                      ::listen(other, 1) == 0;
    if (held)
        StartTcpServer();
    ::close(other);
    ASSERT_TRUE(held);
    EXPECT_TRUE(logText().contains(QStringLiteral("*** TCP bind *** Error code = 10048 : 多重起動")));
    EXPECT_EQ(TcpServerAlive, 0);
    EXPECT_EQ(TcpServerSocket, plat::INVALID_SOCKET);
    EXPECT_EQ(TelServerEnabled, 1);
}

TEST_F(TcpServer, AConnectionBeyondTheTableIsRefusedAndClosed)
{
    StartTcpServer();
    // Twelve addresses with eight connections each, and four more.
    for (int n = 10; n < 22; ++n)
        ASSERT_NO_FATAL_FAILURE(connectFrom(qPrintable(QStringLiteral("127.0.0.%1").arg(n)), 8));
    ASSERT_NO_FATAL_FAILURE(connectFrom("127.0.0.22", 4));
    ASSERT_EQ(ConnectionCount, MaxConnections);
    const std::vector<plat::SOCKET> table = connectionTable();

    auto refused = SilentPeer();
    refused->wait(); // the server hung up on it
    EXPECT_EQ(refused->received(), QByteArray());
    EXPECT_TRUE(logText().contains(QStringLiteral("*** TCP accept   *** Too many connections (100) : 127.0.0.1 refused")));
    EXPECT_EQ(ConnectionCount, MaxConnections);
    EXPECT_EQ(connectionTable(), table);

    // The chain goes on: a freed entry is taken by the next connection.
    ::close(rawPeers[0]);
    rawPeers.erase(rawPeers.begin());
    ASSERT_TRUE(WaitUntil([] { return ConnectionCount == MaxConnections - 1; }));
    connectSilentPeer();
}

// Idle peers cannot keep others out: a newcomer to a full table takes the
// entry of the conversation that has waited longest between commands. Those
// still in their handshake have their own deadline and are left alone.
TEST_F(TcpServer, AFullTableGivesTheEntryOfTheLongestWaitingConversationToANewcomer)
{
    createMainWindow();
    StartTcpServer();
    const int longest = LoggedInFrom("127.0.0.10");
    ASSERT_NE(longest, -1);
    rawPeers.push_back(longest);
    ASSERT_TRUE(WaitUntil([] { return ConnectionCount == 1; }));
    for (int n = 11; n <= 23; ++n)
        ASSERT_NO_FATAL_FAILURE(connectFrom(qPrintable(QStringLiteral("127.0.0.%1").arg(n)), n < 23 ? 8 : 2));
    const int later = LoggedInFrom("127.0.0.24");
    ASSERT_NE(later, -1);
    rawPeers.push_back(later);
    ASSERT_TRUE(WaitUntil([] { return ConnectionCount == MaxConnections; }));

    // An address with eight connections gets no ninth, full table or not.
    const int ninth = ConnectFrom("127.0.0.11");
    EXPECT_TRUE(ClosedByServer(ninth));
    ::close(ninth);

    auto newcomer = FakePeer::connect(OlcpPort, [](FakePeer &p) {
        testsupport::SendOlcpLogin(p, {});
        p.expectLine();
        p.expectLine();
        testsupport::SendTextTel(p, "in at once");
        testsupport::SendTelOff(p);
        p.stall(); // until the receiver's clean close
    });
    newcomer->wait();
    EXPECT_EQ(newcomer->error(), QString());
    EXPECT_EQ(newcomer->received(), "OLCP303L\rACK\rACK\r");
    ASSERT_EQ(testsupport::StoredTels().size(), 1u);
    EXPECT_TRUE(WaitUntil([&] { return HungUp(longest); }));
    EXPECT_FALSE(HungUp(later));
    for (size_t i = 1; i + 1 < rawPeers.size(); ++i)
        EXPECT_FALSE(HungUp(rawPeers[i])) << i;

    const QString log = logText();
    EXPECT_TRUE(log.contains(QStringLiteral("*** TCP accept   *** Too many connections from one address (8) : 127.0.0.11 refused")));
    EXPECT_FALSE(log.contains(QStringLiteral("recv[String]"))); // the drop is its only line
    EXPECT_TRUE(log.contains(
        QStringLiteral("*** TCP accept   *** Too many connections (100) : 127.0.0.10 waited longest, dropped for 127.0.0.1")));
}

TEST_F(TcpServer, OneAddressHoldsEightConnectionsAndIdleOrDrippingPeersAreDroppedWhileTelsGetThrough)
{
    ServerDeadlines.HandshakeMs = ServerDeadlines.ElementMs = ServerDeadlines.ProgressMs = 800;
    createMainWindow();
    StartTcpServer();
    // Eight idle connections from one address; the ninth is refused at once.
    ASSERT_NO_FATAL_FAILURE(connectFrom("127.0.0.2", MaxConnectionsPerAddress));
    const int ninth = ConnectFrom("127.0.0.2");
    EXPECT_TRUE(ClosedByServer(ninth));
    ::close(ninth);
    // One peer drips a command line, one stops in its text; a slow sender's
    // text takes longer than a line or the handshake may, but keeps coming.
    const auto loggedIn = [](FakePeer &p) {
        testsupport::SendOlcpLogin(p, {});
        p.expectLine();
        p.expectLine();
    };
    auto dripper = FakePeer::connect(OlcpPort, [&](FakePeer &p) {
        loggedIn(p);
        for (int i = 0; i < 40; ++i, QThread::msleep(150))
            p.sendRaw("T");
    });
    auto sender = FakePeer::connect(OlcpPort, [&](FakePeer &p) {
        loggedIn(p);
        p.sendLine("TEXT\r");
        p.sendInt(15);
        for (char c : QByteArray("slow but steady"))
            p.sendRaw(QByteArray(1, c)), QThread::msleep(150);
        testsupport::SendTelOff(p);
        p.stall();
    });
    auto staller = FakePeer::connect(OlcpPort, [&](FakePeer &p) {
        loggedIn(p);
        p.sendLine("TEXT\r");
        p.sendInt(15);
        p.sendRaw("cut");
        p.stall();
    });
    // A person types between the TELs, longer than any deadline: no
    // deadline runs between commands.
    auto typist = FakePeer::connect(OlcpPort, [&](FakePeer &p) {
        loggedIn(p);
        for (const QByteArray body : {"typed slowly", "and a second"}) {
            QThread::msleep(2000);
            testsupport::SendTextTel(p, body);
        }
        testsupport::SendTelOff(p);
        p.stall();
    });
    ASSERT_TRUE(WaitUntil([] { return testsupport::StoredTels().size() == 3; }, 10000));
    std::multiset<int> sizes;
    for (const MessageRecord &r : testsupport::StoredTels())
        sizes.insert(r.Bytes);
    EXPECT_EQ(sizes, std::multiset<int>({12, 12, 15}));
    ASSERT_TRUE(WaitUntil([] { return ConnectionCount == 0; }, 10000));
    typist->wait();
    EXPECT_EQ(typist->error(), QString()); // closed cleanly after "OFF"
    for (int fd : rawPeers)
        EXPECT_TRUE(ClosedByServer(fd));
    dripper->wait();
    EXPECT_FALSE(dripper->error().isEmpty()); // hung up on before its 40 drops

    const QString log = logText();
    EXPECT_TRUE(log.contains(QStringLiteral("*** TCP accept   *** Too many connections from one address (8) : 127.0.0.2 refused")));
    EXPECT_EQ(log.count(QStringLiteral("*** recv[String] *** Deadline passed : 127.0.0.2 dropped")), 8);
    EXPECT_EQ(log.count(QStringLiteral("*** recv[String] *** Deadline passed : 127.0.0.1 dropped")), 1);
    EXPECT_EQ(log.count(QStringLiteral("*** recv[Buf] *** Deadline passed : 127.0.0.1 dropped")), 1);
    EXPECT_FALSE(log.contains(QStringLiteral("Error code = 10060")));
}

TEST_F(TcpServer, TheAutoCloseTimerRestsWhileConnectionsAreOpen)
{
    createMainWindow();
    StartParameter('H') = QStringLiteral("30");
    StartTcpServer();
    QTimer *timer = form->AutoCloseTimer;
    EXPECT_TRUE(timer->isActive());
    EXPECT_EQ(timer->interval(), 30000);

    connectSilentPeer();
    EXPECT_TRUE(WaitUntil([timer] { return !timer->isActive(); }));
    EXPECT_TRUE(WaitUntil([this] {
        return form->ui->L_StatusBar->currentMessage() == QStringLiteral("Connected (Remote Host: 127.0.0.1 ) ...");
    }));

    peers.clear();
    ASSERT_TRUE(WaitUntil([] { return ConnectionCount == 0; }));
    EXPECT_TRUE(WaitUntil([timer] { return timer->isActive(); }));
    EXPECT_EQ(timer->interval(), 30000);
}

TEST_F(TcpServer, ClosingTheMainWindowWakesASilentPeerMidHandshake)
{
    createMainWindow();
    StartTcpServer();
    auto peer = FakePeer::connect(OlcpPort, [](FakePeer &p) {
        p.sendLine("OLCP303L\r");
        p.stall(); // reads the server's version, then says no more
    });
    ASSERT_TRUE(WaitUntil([&peer] { return peer->received() == "OLCP303L\r"; }));
    EXPECT_EQ(ConnectionCount, 1);

    form->ExitButtonClick();
    EXPECT_TRUE(form->HasClosed());
    EXPECT_EQ(ConnectionCount, 0);
    EXPECT_EQ(TcpServerAlive, 0);
    EXPECT_FALSE(logText().contains(QStringLiteral("still alive")));
    peer->wait(); // the server hung up
}

} // namespace
