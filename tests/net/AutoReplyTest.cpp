// What follows a TEL that arrives while the main window is locked in
// auto-reply or forward mode: the program's TCP and UDP servers run in this
// process, TELs come from scripted senders, and the hosts answered or
// forwarded to are scripted peers on port 8011 of 127.0.0.1. Each test runs in
// a network namespace of its own.
#include "core/BClient.h"
#include "core/BCommon.h"
#include "core/BHostlst.h"
#include "core/BLookup.h"
#include "core/BRegistr.h"
#include "core/BTcpServ.h"
#include "core/BUdpServ.h"
#include "platform/Cp932.h"
#include "platform/FreeOnTerminateThread.h"
#include "platform/WinSock.h"
#include "support/FakePeer.h"
#include "support/MainWindow.h"
#include "support/OlcpScripts.h"
#include "support/TelSender.h"
#include "support/TempEnv.h"
#include "support/VersionAnswerer.h"
#include "support/Wait.h"
#include "tel/BTelLog.h"
#include "tel/BTelServ.h"
#include "ui_BLookup.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QThread>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

using namespace testsupport;

namespace {

// The hosts answered or forwarded to listen here (TCP and UDP); the program's
// own servers take other ports, so both fit into one namespace.
constexpr const char *TargetAddress = "127.0.0.1";
constexpr const char *ProgramUdpAddress = "127.0.0.2";

sockaddr_in Address(const char *dotted, quint16 port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, dotted, &a.sin_addr);
    return a;
}

class FollowUp : public TempEnvTest {
protected:
    void SetUp() override
    {
        form = StartMainWindow(env);
        LogLebelNumber = GAMMA;
        startTcpServer();
        startUdpServer();
        QCoreApplication::processEvents();
        idleThreads_ = plat::FreeOnTerminateThread::Running();
        form->ui->LockCheckBox->setChecked(true);
    }
    void TearDown() override
    {
        settle();
        EXPECT_TRUE(StopServers());
        delete form;
    }

    // The TCP server chain on 127.0.0.1 at a free port, so that port 8011 of
    // 127.0.0.1 stays free for the hosts that the program connects to.
    void startTcpServer()
    {
        const plat::SOCKET s = plat::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = Address(TargetAddress, 0);
        int length = sizeof a;
        ASSERT_EQ(plat::bind(s, reinterpret_cast<const sockaddr *>(&a), sizeof a), 0);
        ASSERT_EQ(plat::listen(s, 5), 0);
        ASSERT_EQ(plat::getsockname(s, reinterpret_cast<sockaddr *>(&a), &length), 0);
        serverPort = ntohs(a.sin_port);
        TcpServerSocket = s;
        TelServerEnabled = 1;
        TBTcpServer::Create(s);
    }
    // The UDP server chain on port 8011 of another address: a version query
    // goes from there to port 8011 of the target and the answer comes back.
    void startUdpServer()
    {
        const plat::SOCKET s = plat::socket(AF_INET, SOCK_DGRAM, 0);
        const sockaddr_in a = Address(ProgramUdpAddress, UdpServerPort);
        ASSERT_EQ(plat::bind(s, reinterpret_cast<const sockaddr *>(&a), sizeof a), 0);
        UdpServerSocket = s;
        TBUdpServer::Create(s);
    }

    void autoReplyMode()
    {
        // Without a caption the box's own handler leaves the editor closed.
        QCheckBox *box = form->ui->AutoreplyCheckBox;
        box->setText(QString());
        box->setChecked(true);
        box->setText(QStringLiteral("Auto Reply"));
    }
    void forwardMode(const HostRecord &target)
    {
        ForwardHost = target;
        form->ui->AutoreplyCheckBox->setText(QStringLiteral("Forward"));
        form->ui->AutoreplyCheckBox->setChecked(true);
    }

    // This program's own entry for 127.0.0.1 in a host list of its own.
    void listLoopbackHost(const QString &handle)
    {
        HostRecord header;
        header.Memo = QLatin1String(HostListSignature);
        HostRecord host;
        host.IpAddress = QLatin1String(TargetAddress);
        host.Memo = QStringLiteral("loopback");
        host.Handle = handle;
        host.UserId = QStringLiteral("MYID0001");
        env.writeFile(QStringLiteral("hosts.lst"), header.encode() + host.encode());
        HostListFile = env.file(QStringLiteral("hosts.lst"));
        HostListCount = 2;
    }

    // A sender logs in with handle, sends its TELs and "OFF", and waits for
    // the program to hang up: by then every TEL is stored and its follow-up
    // decided. Then waits for the follow-ups to end.
    void deliver(const QByteArray &handle, const std::function<void(FakePeer &)> &tels)
    {
        auto sender = FakePeer::connect(serverPort, [&](FakePeer &p) {
            OlcpLogin login;
            login.handle = handle;
            SendOlcpLogin(p, login);
            EXPECT_EQ(p.expectLine(), "ACK\r");
            EXPECT_EQ(p.expectLine(), "ACK\r");
            tels(p);
            SendTelOff(p);
            p.stall();
        });
        sender->wait();
        EXPECT_TRUE(sender->error().isEmpty()) << sender->error().toStdString();
        settle();
    }
    // Runs the queued decisions and waits until the follow-up threads they
    // started (and the delivering connection) have ended.
    void settle()
    {
        QCoreApplication::processEvents();
        EXPECT_TRUE(WaitUntil([this] { return plat::FreeOnTerminateThread::Running() <= idleThreads_; }));
    }

    // A host on 8011 that only notes whether anything connected to it.
    static std::unique_ptr<FakePeer> Untouched(std::atomic<bool> &connected)
    {
        return FakePeer::listen([&connected](FakePeer &) { connected = true; }, OlcpPort);
    }

    QString log()
    {
        QCoreApplication::processEvents();
        return form->ui->LookupMemo->toPlainText();
    }

    TBLookupForm *form = nullptr;
    quint16 serverPort = 0;

private:
    int idleThreads_ = 0;
};

// ---- auto reply ---------------------------------------------------------------------

class AutoReply : public FollowUp {
protected:
    void SetUp() override
    {
        FollowUp::SetUp();
        autoReplyMode();
        writeMessage(AutoReplyPlainFile, "plain answer");
        writeMessage(AutoReplyRichFile, "{\\rtf1 rich answer}");
    }
    static void writeMessage(const QString &path, const QByteArray &bytes)
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
    }

    struct Answer {
        OlcpLogin login;
        QByteArray text;       // the text block, when one came
        QByteArray afterLogin; // the lines after the two answers
    };
    // The sender's host, answering the auto reply's handshake with version
    // and then with answer, and reading what follows until the program hangs up.
    // With resets, the host ends with a reset after "OFF", as one that could not store the TEL.
    static std::unique_ptr<FakePeer> Sender(Answer &got, const QByteArray &version, const QByteArray &answer = "ACK",
                                            bool resets = false)
    {
        return FakePeer::listen(
            [&got, version, answer, resets](FakePeer &p) {
                got.login = ReadOlcpLogin(p, version);
                p.sendLine("ACK\r" + answer + "\r");
                for (QByteArray line = p.expectLine(); line != "OFF\r"; line = p.expectLine()) {
                    got.afterLogin += line;
                    if (line == "TEXT\r")
                        got.text = p.recvRaw(p.recvInt());
                }
                got.afterLogin += "OFF\r";
                if (resets)
                    return p.reset();
                p.stall();
            },
            OlcpPort);
    }
    // Delivers one TEL and returns what the sender's host received in answer.
    Answer answerFor(const QByteArray &version, const QByteArray &answer = "ACK", bool resets = false)
    {
        Answer got;
        auto host = Sender(got, version, answer, resets);
        deliver("tester", [](FakePeer &p) { SendTextTel(p, "are you there?"); });
        host->wait(); // reads on until the program has hung up
        return got;
    }
};

TEST_F(AutoReply, TheMessageFollowsTheVersionTheAnsweredHostStatesInItsHandshake)
{
    // A long handle is cut so that the whole mark still fits.
    listLoopbackHost(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZ"));

    const Answer rich = answerFor("OLCP207L");
    EXPECT_EQ(rich.login.command, "TEL");
    EXPECT_EQ(rich.login.password, ZRA_VOLT);
    EXPECT_EQ(rich.login.handle, "ABCDEFGHIJKLMNOPQRS [Auto Reply]");
    EXPECT_EQ(rich.login.userId, "MYID0001");
    EXPECT_EQ(rich.afterLogin, "TEXT\rOFF\r");
    EXPECT_EQ(rich.text, "{\\rtf1 rich answer}");

    // The TEL was stored with version 303; the answered host says 206 now.
    const Answer plain = answerFor("OLCP206L");
    EXPECT_EQ(plain.text, "plain answer");

    AutoReplyFile = env.file(QStringLiteral("answer.txt"));
    env.writeFile(QStringLiteral("answer.txt"), plat::ToCp932(QStringLiteral("留守です")));
    EXPECT_EQ(answerFor("OLCP207L").text, plat::ToCp932(QStringLiteral("留守です")));

    // Only a host that closes cleanly after "OFF" has taken the answer.
    EXPECT_FALSE(log().contains(QStringLiteral("TEL Troubled")));
    EXPECT_EQ(answerFor("OLCP303L", "ACK", true).afterLogin, "TEXT\rOFF\r");
    EXPECT_TRUE(log().contains(QStringLiteral("... TEL Troubled (Remote Host) ...\n"
                                              "... AutoReply to [[ 127.0.0.1 ]] not delivered ...")));

    const QString lines = log();
    EXPECT_TRUE(lines.contains(QStringLiteral("AutoReply to    [[ 127.0.0.1 ]]  loopback")));
    EXPECT_EQ(lines.count(QRegularExpression(QStringLiteral("AutoReply done  \\S+ \\d\\d:\\d\\d:\\d\\d  \\d+Bytes"))), 4)
        << lines.toStdString();
    EXPECT_TRUE(lines.contains(QStringLiteral("  8Bytes"))); // the CP932 bytes of the file
}

TEST_F(AutoReply, ClosingWakesAnAutoReplyThatWaitsOnASilentHost)
{
    std::atomic<bool> connected{false};
    auto silent = FakePeer::listen(
        [&connected](FakePeer &p) {
            connected = true;
            p.stall();
        },
        OlcpPort);
    auto sender = FakePeer::connect(serverPort, [](FakePeer &p) {
        SendOlcpLogin(p, OlcpLogin{});
        p.expectLine();
        p.expectLine();
        SendTextTel(p, "are you there?");
        SendTelOff(p);
    });
    sender->wait();
    ASSERT_TRUE(WaitUntil([&] { return connected.load(); }));

    CloseFollowUpSockets();
    settle(); // the auto reply's thread ends at once instead of after TimeOutValue
}

TEST_F(AutoReply, BusyHostsAutoRepliesAndUnfitMessagesGetNoText)
{
    const Answer busy = answerFor("OLCP303L", "CAN");
    EXPECT_EQ(busy.afterLogin, "");
    EXPECT_TRUE(log().contains(QStringLiteral("... Target TEL Server Busy ! ...")));

    // Another program's auto reply is never answered: no loop between two.
    // Nor is a forwarded TEL whose first sender's address did not read: a
    // connect to 0.0.0.0 would reach this machine.
    std::atomic<bool> connected{false};
    auto untouched = Untouched(connected);
    deliver("tester [Auto Reply]", [](FakePeer &p) { SendTextTel(p, "I am away"); });
    deliver("relay", [](FakePeer &p) { SendForwardTel(p, "0.0.0.0", "ghost", "from nowhere"); });
    EXPECT_FALSE(connected);
    untouched.reset();
    EXPECT_TRUE(log().contains(QStringLiteral("... AutoReply skipped : TEL from an auto reply ...")));
    EXPECT_TRUE(log().contains(QStringLiteral("... AutoReply skipped : no sender address ...")));

    // A message never saved, or one larger than a TEL body, is not sent: the
    // conversation ends with "OFF" alone.
    QFile::remove(AutoReplyRichFile);
    EXPECT_EQ(answerFor("OLCP303L").afterLogin, "OFF\r");
    EXPECT_TRUE(log().contains(QStringLiteral("... AutoReply message \"") + AutoReplyRichFile +
                               QStringLiteral("\" : cannot Read ...")));
    AutoReplyFile = env.file(QStringLiteral("huge.txt"));
    env.writeFile(QStringLiteral("huge.txt"), QByteArray(MaxTelBody + 1, 'x'));
    EXPECT_EQ(answerFor("OLCP303L").afterLogin, "OFF\r");
    EXPECT_TRUE(log().contains(QStringLiteral("\" : over 65536 Bytes ...")));
    EXPECT_FALSE(log().contains(QStringLiteral("AutoReply done")));
}

// ---- forward ------------------------------------------------------------------------

class Forward : public FollowUp {
protected:
    void SetUp() override
    {
        FollowUp::SetUp();
        HostRecord target;
        target.IpAddress = QLatin1String(TargetAddress);
        target.Handle = QStringLiteral("forwarder");
        target.UserId = QStringLiteral("FWD00001");
        target.TelPassword = ConvertPassword("secret");
        forwardMode(target);
    }

    // A TEL as the receiving exchange stores it after its connection from
    // 127.0.0.2 said "TEXT" (or "FILE"); stored on the GUI thread, the
    // follow-up is decided at once.
    void receive(const MessageRecord &record, const QByteArray &body,
                 const QString &connection = QStringLiteral("127.0.0.2"), const QString &deliveredBy = QString())
    {
        HostRecord peer;
        peer.IpAddress = connection;
        peer.Handle = QStringLiteral("origin");
        peer.OlcpVersion = QStringLiteral("OLCP303L");
        ASSERT_TRUE(StoreTel(peer, record, body, deliveredBy));
        settle();
    }
    static MessageRecord Text(const QByteArray &body)
    {
        MessageRecord r;
        r.Title = QLatin1String(TelTitle::RecvText);
        r.Bytes = int(body.size());
        return r;
    }

    struct Forwarded {
        OlcpLogin login;
        QByteArray lines, text;
    };
    static std::unique_ptr<FakePeer> Target(Forwarded &got)
    {
        return FakePeer::listen(
            [&got](FakePeer &p) {
                got.login = ReadOlcpLogin(p, "OLCP209L");
                p.sendLine("ACK\rACK\r");
                for (int line = 0; line < 3; ++line)
                    got.lines += p.expectLine();
                got.text = p.recvRaw(p.recvInt());
                got.lines += p.expectLine();
            },
            OlcpPort);
    }
};

TEST_F(Forward, OnlyATargetOf209OrLaterGetsTheTelWithItsFirstSender)
{
    VersionAnswerer versions(TargetAddress, UdpServerPort, 208);
    std::atomic<bool> connected{false};
    auto untouched = Untouched(connected);
    receive(Text("hello"), "hello");
    EXPECT_EQ(versions.queries(), 1);
    EXPECT_FALSE(connected);
    untouched.reset();

    versions.setVersion(209);
    Forwarded text;
    auto target = Target(text);
    receive(Text("hello\0ignored"), QByteArray("hello\0ignored", 13));
    target->wait();
    EXPECT_TRUE(target->error().isEmpty()) << target->error().toStdString();
    EXPECT_EQ(text.login.password, ConvertPassword("secret"));
    EXPECT_EQ(text.login.handle, "forwarder");
    EXPECT_EQ(text.login.userId, "FWD00001");
    EXPECT_EQ(text.lines, "FORWARD\r127.0.0.2\rorigin\rOFF\r");
    EXPECT_EQ(text.text, "hello"); // up to the first NUL
    EXPECT_TRUE(log().contains(QStringLiteral("Forward  to    [[ 127.0.0.1 ]]  from <<origin>>")));

    // A file stays here; its name goes on as a note.
    Forwarded file;
    target.reset(); // frees port 8011
    target = Target(file);
    MessageRecord fileTel;
    fileTel.Title = QStringLiteral("Recv  <<File>> ; ---KBytes/s");
    fileTel.Flags = MessageRecord::FileFlag;
    fileTel.Bytes = 1000;
    fileTel.FileName = QStringLiteral("写真.jpg");
    receive(fileTel, QByteArray());
    target->wait();
    EXPECT_EQ(file.lines, "FORWARD\r127.0.0.2\rorigin\rOFF\r");
    EXPECT_EQ(file.text, plat::ToCp932(QStringLiteral("\r\n【ファイル受信】 << 写真.jpg >>")));
}

TEST_F(Forward, NeverBackToTheHostThatDeliveredItOrToItsFirstSender)
{
    VersionAnswerer versions(TargetAddress, UdpServerPort, 303);
    std::atomic<bool> connected{false};
    auto untouched = Untouched(connected);

    // Delivered from 127.0.0.1 (the target) on behalf of another first sender.
    deliver("relay", [](FakePeer &p) { SendForwardTel(p, "10.1.2.3", "first", "passed on"); });
    // Delivered by another host on behalf of 127.0.0.1 as its first sender.
    receive(Text("mine"), "mine", QLatin1String(TargetAddress), QStringLiteral("127.0.0.2"));

    EXPECT_EQ(StoredTels().size(), 2u);
    EXPECT_EQ(log().count(QStringLiteral("... Forward skipped : [[ 127.0.0.1 ]] sent this TEL ...")), 2);
    EXPECT_EQ(versions.queries(), 0);
    EXPECT_FALSE(connected);
}

} // namespace
