// The UDP server on port 8011 against real datagram sockets: answers to
// queries, the reply slots, datagrams from strangers, the account-list
// datagrams, remote messages and the end of the chain. Every test runs in a
// network namespace of its own, where port 8011 is free.
#include "core/BCommon.h"
#include "core/BHostlst.h"
#include "core/BLookup.h"
#include "core/BRegistr.h"
#include "core/BUdpServ.h"
#include "platform/Cp932.h"

#include "support/TempEnv.h"
#include "support/Wait.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QRandomGenerator>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace {

using testsupport::WaitUntil;

// The program side listens here in the tests that need a peer on port 8011
// of another address; the peer then uses PeerAddress.
constexpr const char *ProgramAddress = "127.0.0.1";
constexpr const char *PeerAddress = "127.0.0.2";

// The text as a datagram of this system: zeros up to 256 bytes.
QByteArray Padded(const QByteArray &text)
{
    return text.size() >= DatagramBytes ? text : text + QByteArray(DatagramBytes - text.size(), '\0');
}

sockaddr_in Address(const char *dotted, quint16 port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, dotted, &a.sin_addr);
    return a;
}

struct Received {
    QByteArray bytes;
    QString address;
    quint16 port = 0;
    QByteArray text() const { return bytes.left(int(qstrnlen(bytes.constData(), size_t(bytes.size())))); }
};

// A plain BSD datagram socket, bound to address:port unless address is null.
// Its calls block without processing Qt events, so a test can tell work done
// by the UDP thread from work queued to the GUI.
class Peer {
public:
    explicit Peer(const char *address = ProgramAddress, quint16 port = 0) : fd_(::socket(AF_INET, SOCK_DGRAM, 0))
    {
        if (address) {
            const sockaddr_in a = Address(address, port);
            EXPECT_EQ(::bind(fd_, reinterpret_cast<const sockaddr *>(&a), sizeof a), 0) << address << ":" << port;
        }
    }
    ~Peer() { ::close(fd_); }
    Peer(const Peer &) = delete;
    Peer &operator=(const Peer &) = delete;

    int fd() const { return fd_; }

    void send(const QByteArray &bytes, const char *address = ProgramAddress, quint16 port = UdpServerPort) const
    {
        const sockaddr_in to = Address(address, port);
        ASSERT_EQ(::sendto(fd_, bytes.constData(), size_t(bytes.size()), 0, reinterpret_cast<const sockaddr *>(&to),
                           sizeof to),
                  bytes.size());
    }
    void sendText(const QByteArray &text, const char *address = ProgramAddress) const { send(Padded(text), address); }

    // The next datagram; nothing after 10 s (a test that waits that long has failed).
    std::optional<Received> receive() const
    {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 10000) != 1)
            return std::nullopt;
        char buffer[2048];
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t n = ::recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from), &length);
        if (n < 0)
            return std::nullopt;
        char dotted[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &from.sin_addr, dotted, sizeof dotted);
        return Received{QByteArray(buffer, int(n)), QString::fromLatin1(dotted), ntohs(from.sin_port)};
    }

    // Sends a QUERY with the slot text and returns the text of the next
    // datagram, which must be its 256-byte REPLY from port 8011.
    QByteArray query(const QByteArray &slot, const char *address = ProgramAddress) const
    {
        sendText("OLCP201L\rQUERY\r" + slot + "\r", address);
        const std::optional<Received> reply = receive();
        if (!reply)
            return "(no reply)";
        EXPECT_EQ(reply->bytes.size(), DatagramBytes);
        EXPECT_EQ(reply->port, UdpServerPort);
        return reply->text();
    }

    // The server handles datagrams in order: once a query is answered, all
    // that this peer sent before it have been handled (and nothing else came).
    void settle(const char *address = ProgramAddress) const
    {
        EXPECT_EQ(query("sync", address), QByteArray("OLCP303L\rREPLY\rsync\r"));
    }

private:
    int fd_;
};

class UdpServerTest : public testsupport::TempEnvTest {
protected:
    void SetUp() override
    {
        RateWindowMs = 0; // no summaries and no limit on replies, unless a test sets a window
        LogLebelNumber = GAMMA;
        {
            std::lock_guard lock(ReplySlotsLock); // as an earlier test may have left them
            ReplySlots.fill(0);
        }
        memo = std::make_unique<QPlainTextEdit>();
        SetLogMemo(memo.get());
    }

    // The chain on a socket bound to ProgramAddress:8011 alone, so that a peer
    // can take port 8011 of PeerAddress and receive what the program sends to 8011.
    void StartOnProgramAddressOnly()
    {
        const plat::SOCKET s = plat::socket(AF_INET, SOCK_DGRAM, 0);
        const sockaddr_in a = Address(ProgramAddress, UdpServerPort);
        ASSERT_EQ(plat::bind(s, reinterpret_cast<const sockaddr *>(&a), sizeof a), 0);
        UdpServerSocket = s;
        TBUdpServer::Create(s);
    }

    QString log()
    {
        QCoreApplication::processEvents();
        return memo->toPlainText();
    }

    static std::array<std::int32_t, ReplySlotCount> Slots()
    {
        std::lock_guard lock(ReplySlotsLock);
        return ReplySlots;
    }
    static void SetSlot(int slot, std::int32_t value)
    {
        std::lock_guard lock(ReplySlotsLock);
        ReplySlots[size_t(slot)] = value;
    }

    std::unique_ptr<QPlainTextEdit> memo;

private:
};

QList<QMessageBox *> RemoteBoxes()
{
    QList<QMessageBox *> boxes;
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (auto *box = qobject_cast<QMessageBox *>(w); box && box->objectName() == QLatin1String("RemoteMessageBox"))
            boxes.append(box);
    }
    return boxes;
}

// --- Queries and replies --------------------------------------------------------

TEST_F(UdpServerTest, AQueryIsAnsweredWithA256ByteReplyToTheSendersAddressAndPortWithItsSlot)
{
    StartUdpServer();
    ASSERT_EQ(UdpServerAlive, 1);
    EXPECT_TRUE(log().contains(QStringLiteral("UDP Server Thread ; Server_Socket: ") + QString::number(UdpServerSocket)));
    EXPECT_NE(CgiSocket, plat::INVALID_SOCKET);

    Peer peer;
    peer.sendText("OLCP201L\rQUERY\r7\r");
    const std::optional<Received> reply = peer.receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->bytes, Padded("OLCP303L\rREPLY\r7\r"));
    EXPECT_EQ(reply->address, QLatin1String(ProgramAddress));
    EXPECT_EQ(reply->port, UdpServerPort);

    // A broadcast probe, and a query that waits for no answer, get an empty slot.
    EXPECT_EQ(peer.query("BROADCAST"), QByteArray("OLCP303L\rREPLY\r\r"));
    peer.sendText("OLCP201L\rQUERY\r");
    EXPECT_EQ(peer.receive().value_or(Received{}).text(), QByteArray("OLCP303L\rREPLY\r\r"));
    EXPECT_TRUE(log().contains(QStringLiteral("### QUERY ; 127.0.0.1 ; OLCP201L ; ")));
}

TEST_F(UdpServerTest, AReplyFillsOnlyAWaitingSlotInRangeWithARealVersion)
{
    StartUdpServer();
    Peer peer;
    SetSlot(3, -1);
    SetSlot(20, -1);
    peer.sendText("OLCP201L\rREPLY\r3\r");
    peer.sendText("OLCP209L\rREPLY\r3\r");    // slot 3 no longer waits
    peer.sendText("OLCP209L\rREPLY\r4\r");    // slot 4 never waited
    peer.sendText("OLCPabcL\rREPLY\r20\r");   // no version number: slot 20 keeps waiting
    peer.settle();
    auto expected = decltype(ReplySlots){};
    expected[3] = 201;
    expected[20] = -1;
    EXPECT_EQ(Slots(), expected);

    peer.sendText("OLCP207L\rREPLY\r20\r");
    peer.settle();
    expected[20] = 207;
    EXPECT_EQ(Slots(), expected);

    // Only a stored answer is a detail; the others are shown as errors.
    LogLebelNumber = ALPHA;
    log(); // lines still on their way belong to the part above
    memo->clear();
    peer.sendText("OLCP201L\rREPLY\r\r");
    peer.sendText("OLCP201L\rREPLY\r5\r");
    peer.settle();
    EXPECT_TRUE(log().contains(QStringLiteral("### REPLY ; 127.0.0.1 ; OLCP201L ; ")));
    EXPECT_EQ(log().count(QStringLiteral("### REPLY")), 2);
    EXPECT_FALSE(log().contains(QStringLiteral("### QUERY")));
}

// --- Datagrams from strangers ---------------------------------------------------

TEST_F(UdpServerTest, BadDatagramsAreHandledOrDroppedAndTheNextQueryIsStillAnswered)
{
    StartUdpServer();
    Peer peer;
    QByteArray garbage(DatagramBytes, '\0');
    for (int i = 0; i < DatagramBytes; ++i)
        garbage[i] = char((i * 37 + 11) % 256);
    QByteArray olcpGarbage = garbage;
    olcpGarbage.replace(0, 4, "OLCP");
    SetSlot(9, -1);
    const std::vector<QByteArray> datagrams = {
        QByteArray(),                                   // empty
        garbage,                                        // 256 bytes, not OLCP
        olcpGarbage,                                    // 256 bytes, OLCP and then anything
        QByteArray(300, 'O'),                           // over 256 bytes
        Padded("OLCP303L"),                             // no CR at all
        Padded("OLCP303L\rQUERY"),                      // no CR after the command
        Padded("OLCP303L\rREPLY\r-1\r"),
        Padded("OLCP303L\rREPLY\r25\r"),
        Padded("OLCP303L\rREPLY\r99\r"),
        Padded("OLCP303L\rREPLY\r" + QByteArray(239, '9') + "\r"),
        "OLCP303L\rQUERY\r" + QByteArray(240, 'x') + "\r",  // 256 bytes, no NUL: the reply would not fit
        "OLCP303L\rQUERY\r" + QByteArray(250, 'x') + "\r",  // a 250-character rest: 266 bytes
        Padded("OLCP303L\rFROMCGI\r\r"),
        Padded("OLCP303L\rENTITY\rid\rpw\rhandle\r"),
        Padded("OLCP303L\rENTITY\rid\r"),
        Padded("OLCP303L\rPRESENCE\rDUMMY\r"),
        Padded("OLCP303L\rWHATEVER\r\x81\r"),           // half a CP932 character
        Padded("olcp303L\rQUERY\r1\r"),                 // not OLCP: dropped silently
    };
    for (const QByteArray &d : datagrams) {
        peer.send(d);
        peer.settle(); // also proves that no other answer came first
        ASSERT_EQ(UdpServerAlive, 1);
    }
    auto expected = decltype(ReplySlots){};
    expected[9] = -1;
    EXPECT_EQ(Slots(), expected);

    const QString lines = log();
    EXPECT_TRUE(lines.contains(QStringLiteral("*** UDP recvfrom *** Empty datagram from 127.0.0.1")));
    EXPECT_TRUE(lines.contains(QStringLiteral("*** UDP recvfrom *** Error code = 10040")));
    EXPECT_TRUE(lines.contains(QStringLiteral("*** sendto *** Text too long = 256 bytes")));
    // Without a CR the whole text is the rest of an unknown command.
    EXPECT_TRUE(lines.contains(QStringLiteral("###  ; 127.0.0.1 ;  ; ")));
    EXPECT_TRUE(lines.contains(QStringLiteral(" : OLCP303L\n")));
    EXPECT_TRUE(lines.contains(QStringLiteral("### WHATEVER ; 127.0.0.1 ; OLCP303L ; ")));
    EXPECT_FALSE(lines.contains(QStringLiteral("olcp")));
}

// --- The end of the chain and the port -------------------------------------------

TEST_F(UdpServerTest, ThePortIsNotSharedAndOnlyClosingTheSocketEndsTheChain)
{
    StartUdpServer();
    Peer second(nullptr);
    const int on = 1;
    ::setsockopt(second.fd(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in a = Address("0.0.0.0", UdpServerPort);
    EXPECT_NE(::bind(second.fd(), reinterpret_cast<const sockaddr *>(&a), sizeof a), 0);
    EXPECT_EQ(errno, EADDRINUSE);

    Peer peer;
    peer.settle();
    QThread::msleep(100); // most likely the next link waits in its receive by now
    plat::closesocket(UdpServerSocket);
    EXPECT_TRUE(WaitUntil([] { return UdpServerAlive == 0; }));
    // The waiting link is woken (10004); a link that had not reached its wait yet finds no socket (10038).
    const QString lines = log();
    EXPECT_TRUE(lines.contains(QStringLiteral("*** UDP recvfrom *** Error code = 10004 : ソケット破棄")) ||
                lines.contains(QStringLiteral("*** UDP recvfrom *** Error code = 10038")))
        << lines.toStdString();
    UdpServerSocket = plat::INVALID_SOCKET;
}

// --- Queries and requests of this program ------------------------------------------

TEST_F(UdpServerTest, SendQueryReturnsTheVersionOfThePeerThatAnswers)
{
    StartOnProgramAddressOnly();
    Peer fake(PeerAddress, UdpServerPort);
    std::optional<Received> asked;
    std::thread answering([&] {
        asked = fake.receive();
        if (asked)
            fake.send(Padded("OLCP209L\rREPLY\r" + asked->text().split('\r').value(2) + "\r"), ProgramAddress);
    });
    int version = 0;
    const bool answered = SendQuery(QLatin1String(PeerAddress), 3, version);
    answering.join();
    ASSERT_TRUE(asked);
    EXPECT_EQ(asked->bytes, Padded("OLCP303L\rQUERY\r0\r"));
    EXPECT_EQ(asked->port, UdpServerPort);
    EXPECT_TRUE(answered);
    EXPECT_EQ(version, 209);
    EXPECT_EQ(Slots(), decltype(ReplySlots){});
}

TEST_F(UdpServerTest, SendQueryGivesUpInBoundedTimeKeepsTheWindowAliveAndFreesItsSlot)
{
    StartOnProgramAddressOnly();
    Peer silent(PeerAddress, UdpServerPort);
    bool eventsProcessed = false;
    QTimer::singleShot(0, [&] { eventsProcessed = true; });
    QElapsedTimer waited;
    waited.start();
    int version = 0;
    EXPECT_FALSE(SendQuery(QLatin1String(PeerAddress), 1, version));
    EXPECT_GE(waited.elapsed(), 1000);
    EXPECT_LT(waited.elapsed(), 10000);
    EXPECT_TRUE(eventsProcessed);
    EXPECT_EQ(silent.receive().value_or(Received{}).text(), QByteArray("OLCP303L\rQUERY\r0\r"));
    EXPECT_EQ(Slots(), decltype(ReplySlots){});

    // A late answer finds its slot free and is not stored.
    silent.send(Padded("OLCP209L\rREPLY\r0\r"), ProgramAddress);
    silent.settle();
    EXPECT_EQ(Slots(), decltype(ReplySlots){});

    // With every slot waiting nothing is sent; the next datagram the peer sees
    // is the query without a wait, which asks for no answer.
    for (int slot = 0; slot < ReplySlotCount; ++slot)
        SetSlot(slot, -1);
    EXPECT_FALSE(SendQuery(QLatin1String(PeerAddress), 3, version));
    EXPECT_FALSE(SendQuery(QLatin1String(PeerAddress), 0, version));
    EXPECT_EQ(silent.receive().value_or(Received{}).bytes, Padded("OLCP303L\rQUERY\r\r"));
}

TEST_F(UdpServerTest, ARemoteRequestGoesToPort8013AndWhatDoesNotFitIsRefused)
{
    StartOnProgramAddressOnly();
    Peer dish(PeerAddress, RemoteDishPort);
    EXPECT_TRUE(SendRemoteRequest(QLatin1String(PeerAddress), QByteArray("p\x01w", 3)));
    const std::optional<Received> request = dish.receive();
    ASSERT_TRUE(request);
    EXPECT_EQ(request->bytes, Padded(QByteArray("OLCP303L\rREQUEST\r8011\rKALVEX\r\rp\x01w\r")));
    EXPECT_EQ(request->port, UdpServerPort);
    EXPECT_TRUE(log().contains(QStringLiteral(" : Send REQUEST to Remote Dish")));

    EXPECT_FALSE(SendRemoteRequest(QLatin1String(PeerAddress), QByteArray(240, 'p')));
    // A name is no address (and must not become the broadcast address).
    EXPECT_FALSE(SendUdpTo(QStringLiteral("peer.example"), RemoteDishPort, "x"));
    EXPECT_TRUE(log().contains(QStringLiteral("*** sendto *** Invalid address = peer.example")));
    EXPECT_TRUE(SendUdpTo(QLatin1String(PeerAddress), RemoteDishPort, QByteArray(MaxDatagramText, 'a')));
    // Nothing of the refused ones went out.
    EXPECT_EQ(dish.receive().value_or(Received{}).bytes, Padded(QByteArray(MaxDatagramText, 'a')));
}

// --- Remote messages ------------------------------------------------------------

TEST_F(UdpServerTest, ARemoteMessageIsQueuedToTheGuiAsPlainTextAndTheChainGoesOnAtOnce)
{
    StartUdpServer();
    Peer peer;
    const QString text = QStringLiteral("<b>会議</b> & <a href=\"x\">now</a>");
    peer.sendText("OLCP303L\rRMTDISH\r" + plat::ToCp932(text) + "\r");
    // Answered before the GUI thread has handled anything: nothing waits for the box.
    peer.settle();
    EXPECT_TRUE(RemoteBoxes().isEmpty());
    QCoreApplication::processEvents();
    const QList<QMessageBox *> boxes = RemoteBoxes();
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_EQ(boxes[0]->text(), text);
    EXPECT_EQ(boxes[0]->textFormat(), Qt::PlainText);
    EXPECT_EQ(boxes[0]->icon(), QMessageBox::Information);
    EXPECT_TRUE(boxes[0]->isVisible());
    EXPECT_FALSE(boxes[0]->isModal());
    EXPECT_TRUE(log().contains(text));
}

TEST_F(UdpServerTest, AFloodOfRemoteMessagesOpensOneBoxAndTheRestGoToTheLogEscaped)
{
    RateWindowMs = 60000; // one line per kind and source for the whole test
    StartUdpServer();
    // An address of its own: a repeated run must not find its line held back.
    Peer stranger(("127.0.2." + QByteArray::number(QRandomGenerator::global()->bounded(1, 255))).constData());
    for (int i = 0; i < 100; ++i) // as many as the socket's buffer surely holds
        stranger.sendText("OLCP303L\rRMTDISH\rline\r\n*** Kalvex Close \x1b[2J" + QByteArray::number(i) + "\r");
    stranger.settle();
    ASSERT_TRUE(WaitUntil([] { return !RemoteBoxes().isEmpty(); }));
    QCoreApplication::processEvents();
    ASSERT_EQ(RemoteBoxes().size(), 1);
    EXPECT_EQ(RemoteBoxes()[0]->text(), QStringLiteral("line\r\n*** Kalvex Close \x1b[2J0"));
    EXPECT_EQ(log().count(QStringLiteral("line\\x0D\\x0A*** Kalvex Close \\x1B[2J0")), 1);
    EXPECT_EQ(log().count(QStringLiteral("Kalvex Close")), 1);

    // Once the box is closed, the next message opens one again.
    RemoteBoxes()[0]->close();
    ASSERT_TRUE(WaitUntil([] { return RemoteBoxes().isEmpty(); }));
    stranger.sendText("OLCP303L\rRMTDISH\ragain\r");
    EXPECT_TRUE(WaitUntil([] { return RemoteBoxes().size() == 1 && RemoteBoxes()[0]->text() == QLatin1String("again"); }));
}

// A QUERY, or a SCAN for a known user ID, makes the program send a full
// datagram to the address it names: at most 20 of both a second to one address.
TEST_F(UdpServerTest, OneAddressGetsAtMostTwentyAnswersASecond)
{
    StartOnProgramAddressOnly();
    RateWindowMs = 60000; // no window passes during the burst, however slow the machine
    ClientTimer = true;
    AccountListSeams seams;
    seams.HasAccountId = [](const QString &id) { return id == QLatin1String("alice"); };
    AccountListSeam = seams;
    // An address of its own: a repeated run must not find its window still counting.
    static int run = 0;
    const QByteArray address = "127.0.3." + QByteArray::number(++run);
    Peer victim(address.constData(), UdpServerPort); // SCAN answers go to port 8011
    for (int i = 0; i < 25; ++i) {
        victim.sendText("OLCP303L\rQUERY\r" + QByteArray::number(i) + "\r");
        victim.sendText("OLCP303L\rSCAN\ralice\r" + QByteArray::number(i) + "\r");
    }
    Peer().settle(); // all fifty handled
    int replies = 0;
    for (pollfd p{victim.fd(), POLLIN, 0}; ::poll(&p, 1, 0) == 1; ++replies)
        victim.receive();
    EXPECT_EQ(replies, 20);
    // In the next window the address is answered again, and the dropped ones are counted.
    RateWindowMs = 0;
    EXPECT_EQ(victim.query("2"), QByteArray("OLCP303L\rREPLY\r2\r"));
    for (const char *answer : {"REPLY", "ENTITY"}) {
        EXPECT_EQ(log().count(QStringLiteral("### %1 dropped ; %2 : over 20 a second").arg(answer, address)), 1);
        EXPECT_TRUE(log().contains(QStringLiteral("... 14 more ... %1 dropped ; ").arg(answer) + address));
    }
}

// --- Datagrams for the account list ----------------------------------------------

TEST_F(UdpServerTest, AccountServerDatagramsReachTheAccountListOrAreDropped)
{
    ListDirectory = MainDirectory = env.path();
    ListFileName = QStringLiteral("Kalvex.lst");
    LocalAddresses = {QLatin1String(PeerAddress)}; // the default host list holds the server
    LoadHostList();
    StartOnProgramAddressOnly();
    Peer server(PeerAddress, UdpServerPort);
    const auto send = [&](const QByteArray &text) { server.sendText(text, ProgramAddress); };
    ClientTimer = true;

    // Before the account list takes them they are dropped with a line.
    for (const char *command : {"ACK", "MEMBER", "SCAN"})
        send(QByteArray("OLCP305L\r") + command + "\ralice\r");
    server.settle(ProgramAddress);
    for (const char *command : {"ACK", "MEMBER", "SCAN"})
        EXPECT_TRUE(log().contains(QStringLiteral("### %1 ; 127.0.0.2 : dropped").arg(QLatin1String(command))));

    std::mutex mutex;
    std::vector<PresenceAnswer> answers;
    std::vector<MemberEntry> members;
    bool versionChanged = false;
    AccountListSeams seams;
    seams.OnPresenceAnswer = [&](const PresenceAnswer &a) {
        std::lock_guard lock(mutex);
        answers.push_back(a);
        return versionChanged;
    };
    seams.OnMember = [&](const QString &from, const MemberEntry &m) {
        std::lock_guard lock(mutex);
        EXPECT_EQ(from, QLatin1String(PeerAddress));
        members.push_back(m);
    };
    seams.HasAccountId = [](const QString &id) { return id == QLatin1String("alice"); };
    AccountListSeam = seams;

    // Only a changed version goes on to the host list.
    send("OLCP305L\rNAK\ralice\r");
    server.settle(ProgramAddress);
    HostRecord host;
    ASSERT_EQ(FindHostRecord(QLatin1String(PeerAddress), 1, host), 1);
    EXPECT_NE(host.OlcpVersion, QLatin1String("OLCP305L"));
    versionChanged = true;
    send("OLCP305L\rACK\ralice\r");
    send("OLCP303L\rMEMBER\r10.0.0.5\rbob\rBob\r0.25 s\rmore\r");
    send("OLCP303L\rMEMBER\r10.0.0.6\rcarol\r");
    server.settle(ProgramAddress);
    FindHostRecord(QLatin1String(PeerAddress), 1, host);
    EXPECT_EQ(host.OlcpVersion, QLatin1String("OLCP305L"));
    {
        std::lock_guard lock(mutex);
        ASSERT_EQ(answers.size(), 2u);
        EXPECT_EQ(answers[0].Command, QLatin1String("NAK"));
        const PresenceAnswer &ack = answers[1];
        EXPECT_EQ(QStringList({ack.Command, ack.SenderAddress, ack.UserId, ack.Version}),
                  QStringList({"ACK", PeerAddress, "alice", "OLCP305L"}));
        ASSERT_EQ(members.size(), 2u);
        EXPECT_EQ(QStringList({members[0].IpAddress, members[0].UserId, members[0].Handle, members[0].ResponseTime}),
                  QStringList({"10.0.0.5", "bob", "Bob", "0.25 s\rmore"}));
        EXPECT_EQ(QStringList({members[1].IpAddress, members[1].UserId, members[1].Handle, members[1].ResponseTime}),
                  QStringList({"10.0.0.6", "carol", "", ""}));
    }

    // A scan for a known account is answered with ENTITY to port 8011 of the
    // server, only while the client timer is on; the unknown one is not.
    send("OLCP303L\rSCAN\rbob\rxyz\r");
    send("OLCP303L\rSCAN\ralice\rxyz\r");
    const std::optional<Received> entity = server.receive();
    ASSERT_TRUE(entity);
    EXPECT_EQ(entity->bytes, Padded("OLCP303L\rENTITY\ralice\rRe_Entity\rxyz\r"));
    ClientTimer = false;
    send("OLCP303L\rSCAN\ralice\rxyz\r");
    server.settle(ProgramAddress);
}

} // namespace
