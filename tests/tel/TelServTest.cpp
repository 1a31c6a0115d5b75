// The TEL receiving conversation against a scripted sender on a real loopback
// connection: what is stored for each kind of TEL, what is refused, and what
// a broken conversation leaves behind.
#include "core/BCommon.h"
#include "core/BRegistr.h"
#include "platform/Cp932.h"
#include "platform/RecordFile.h"
#include "platform/WinSock.h"
#include "support/FakePeer.h"
#include "support/TelSender.h"
#include "support/MainWindow.h"
#include "support/TempEnv.h"
#include "tel/BTelLog.h"
#include "tel/BTelServ.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QPlainTextEdit>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <thread>
#include <vector>

using namespace testsupport;

namespace {

// What one conversation left on the wire.
struct Outcome {
    QByteArray answered; // everything the receiver sent
    QByteArray unread;   // what the sender sent that the receiver never read
    QString peerError;   // why the sender's script stopped early
};

class TelServ : public TempEnvTest {
protected:
    void SetUp() override
    {
        folder = env.file(QStringLiteral("root/Teleg"));
        ASSERT_TRUE(QDir().mkpath(folder));
        TelegDirectory = folder;
        TelegFileName = QStringLiteral("Teleg000");
        TelegPointer = 1;
        LogLebelNumber = ALPHA;
        TelServerEnabled = 1;
        TelFollowUp = {};
        SetLogMemo(&memo_);
        QString error;
        ASSERT_TRUE(OpenTelLogFiles(&error)) << error.toStdString();

        connection.IpAddress = QStringLiteral("127.0.0.1");
        connection.PeerPort = 40000;
        connection.Handle = QStringLiteral("ﾃｽﾄ送信者");
        connection.UserId = QStringLiteral("user01");
        connection.OlcpVersion = QStringLiteral("OLCP303L");
    }
    void TearDown() override
    {
        QCoreApplication::processEvents();
    }

    // Runs ServeTel on the accepted end of a loopback connection whose other
    // end reads the receiver's first answer and then runs the script, until
    // both ends are done.
    // With asServerCloses the socket is closed at once after ServeTel, as the
    // server thread does, so the sender sees a clean close or a reset.
    Outcome converse(const FakePeer::Script &script, bool asServerCloses = false)
    {
        const plat::SOCKET listener = plat::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof address;
        EXPECT_EQ(plat::bind(listener, reinterpret_cast<sockaddr *>(&address), length), 0);
        EXPECT_EQ(plat::listen(listener, 1), 0);
        EXPECT_EQ(plat::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length), 0);
        auto peer = FakePeer::connect(ntohs(address.sin_port), [&script](FakePeer &p) {
            p.expectLine();
            script(p);
        });
        const plat::SOCKET s = plat::accept(listener, nullptr, nullptr);
        plat::closesocket(listener);
        EXPECT_NE(s, plat::INVALID_SOCKET);
        plat::SetReceiveTimeout(s, 10000);

        std::thread server([&] { ServeTel(s, connection); });
        server.join();
        if (asServerCloses) {
            plat::closesocket(s);
            peer->wait();
            QCoreApplication::processEvents();
            return {peer->received(), {}, peer->error()};
        }
        plat::shutdown(s, SHUT_WR); // a sender still waiting for an answer stops now
        peer->wait();
        Outcome outcome{peer->received(), {}, peer->error()};
        char chunk[512];
        for (int n; (n = plat::recv(s, chunk, sizeof chunk, 0)) > 0;)
            outcome.unread.append(chunk, n);
        plat::closesocket(s);
        QCoreApplication::processEvents(); // log lines and follow-ups of the server thread
        return outcome;
    }

    static QByteArray bodyOf(const MessageRecord &r) { return plat::ReadFileAt(TelTextFile(), r.Start, r.Bytes); }
    QString logText() const { return memo_.toPlainText(); }
    static QStringList entries(const QString &path)
    {
        return QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    }
    // Only the log pair in the TEL folder, and nothing beside the folder.
    void expectOnlyThePair() const
    {
        EXPECT_EQ(entries(folder), QStringList({QStringLiteral("Teleg000.dat"), QStringLiteral("Teleg000.txt")}));
        EXPECT_EQ(entries(env.file(QStringLiteral("root"))), QStringList(QStringLiteral("Teleg")));
    }

    QString folder;
    HostRecord connection;

private:
    QPlainTextEdit memo_;
};

TEST_F(TelServ, TextTelIsStoredByteExactWithTheConnectionsFields)
{
    const QByteArray body = plat::ToCp932(QStringLiteral("こんにちは\r\n")) + QByteArray("a\0b\xff", 4);
    const Outcome outcome = converse([&](FakePeer &p) {
        SendTextTel(p, body);
        SendTelOff(p);
    });
    EXPECT_EQ(outcome.answered, "ACK\r");
    EXPECT_TRUE(outcome.peerError.isEmpty()) << outcome.peerError.toStdString();
    const auto stored = testsupport::StoredTels();
    ASSERT_EQ(stored.size(), 1u);
    const MessageRecord &r = stored[0];
    EXPECT_EQ(r.Number, 1);
    EXPECT_EQ(r.Title, QString::fromLatin1(TelTitle::RecvText));
    EXPECT_EQ(r.Flags, 0);
    EXPECT_EQ(r.Start, 0);
    EXPECT_EQ(r.Bytes, body.size());
    EXPECT_EQ(bodyOf(r), body);
    EXPECT_EQ(r.Address, plat::inet_addr(QStringLiteral("127.0.0.1")));
    EXPECT_EQ(r.Handle, connection.Handle);
    EXPECT_EQ(r.UserId, QStringLiteral("user01"));
    EXPECT_EQ(r.AuxText1, QStringLiteral("OLCP303L"));
    EXPECT_EQ(r.Channel, 0);
    EXPECT_EQ(r.Forwarded, 0);
    EXPECT_TRUE(r.FileName.isEmpty());
    EXPECT_FALSE(logText().contains(QStringLiteral("TEL Canceled")));
}

TEST_F(TelServ, KindOfEachTextIsJudgedFromItsOwnBytes)
{
    struct Case {
        QByteArray body;
        std::uint8_t flags;
    };
    const std::vector<Case> cases = {
        {"{\\rtf1\\ansi hello}", MessageRecord::RichFlag},
        {"<html><body>hi</body></html>", MessageRecord::HtmlFlag},
        {"<HtMl>", MessageRecord::HtmlFlag},
        {"<!doctype html><p>", MessageRecord::HtmlFlag},
        {" <html><body>", 0},        // a leading blank hides the document
        {"{ just braces }", 0},      // "{" alone is no rich text
        {"{x}\\RTF", MessageRecord::RichFlag},
        {QByteArray("{x\0\\rtf1", 8), 0}, // the name lies past the text's end
        {"plain", 0},                // the previous TEL's flags do not stay
    };
    const Outcome outcome = converse([&](FakePeer &p) {
        for (const Case &c : cases)
            SendTextTel(p, c.body);
        SendTelOff(p);
    });
    EXPECT_TRUE(outcome.peerError.isEmpty()) << outcome.peerError.toStdString();
    const auto stored = testsupport::StoredTels();
    ASSERT_EQ(stored.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].body.toStdString());
        EXPECT_EQ(stored[i].Number, int(i) + 1); // one record per TEL, in order
        EXPECT_EQ(stored[i].Flags, cases[i].flags);
        EXPECT_EQ(bodyOf(stored[i]), cases[i].body);
    }
}

TEST_F(TelServ, SerialChatAndForwardHoldForTheRestOfTheConversation)
{
    const QByteArray handle = plat::ToCp932(QStringLiteral("最初の送信者"));
    const Outcome outcome = converse([&](FakePeer &p) {
        SendSerialTel(p, 0x0103, "first"); // only the low byte is the channel
        SendTextTel(p, "second");
        SendForwardTel(p, "192.168.0.5", handle, "third");
        SendTelOff(p);
    });
    EXPECT_TRUE(outcome.peerError.isEmpty()) << outcome.peerError.toStdString();
    const auto stored = testsupport::StoredTels();
    ASSERT_EQ(stored.size(), 3u);
    const QString serial = QString::fromLatin1(TelTitle::RecvText) + QLatin1String(TelTitle::SerialChat);
    for (const MessageRecord &r : stored) {
        EXPECT_EQ(r.Channel, 3);
        EXPECT_EQ(r.Flags, MessageRecord::SerialFlag);
    }
    EXPECT_EQ(stored[0].Title, serial);
    EXPECT_EQ(stored[1].Title, serial);
    EXPECT_EQ(stored[1].Address, plat::inet_addr(QStringLiteral("127.0.0.1")));
    EXPECT_EQ(stored[1].Forwarded, 0);

    const MessageRecord &forwarded = stored[2];
    EXPECT_EQ(forwarded.Title, serial + QLatin1String(TelTitle::ForwardTel));
    EXPECT_EQ(forwarded.Forwarded, 1);
    EXPECT_EQ(forwarded.Address, plat::inet_addr(QStringLiteral("192.168.0.5")));
    EXPECT_EQ(forwarded.Handle, plat::FromCp932(handle));
    EXPECT_EQ(bodyOf(forwarded), "third");
    EXPECT_EQ(connection.IpAddress, QStringLiteral("192.168.0.5"));
}

TEST_F(TelServ, ForwardOnItsOwnAndItsOverlongAddressLine)
{
    const Outcome outcome = converse([&](FakePeer &p) {
        SendForwardTel(p, "192.168.0.5", "relay", "one");
        SendTextTel(p, "two");
        SendForwardTel(p, "10.0.0.1xxxxxxxxxxxxxxxxxxxx", QByteArray(40, 'h'), "three");
        SendTelOff(p);
    });
    EXPECT_TRUE(outcome.peerError.isEmpty()) << outcome.peerError.toStdString();
    const auto stored = testsupport::StoredTels();
    ASSERT_EQ(stored.size(), 3u);
    const QString title = QString::fromLatin1(TelTitle::RecvText) + QLatin1String(TelTitle::ForwardTel);
    EXPECT_EQ(stored[0].Title, title);
    EXPECT_EQ(stored[0].Flags, 0);
    EXPECT_EQ(stored[1].Title, title);
    EXPECT_EQ(stored[1].Address, plat::inet_addr(QStringLiteral("192.168.0.5")));
    EXPECT_EQ(connection.IpAddress, QStringLiteral("10.0.0.1xxxxxxxx"));
    EXPECT_EQ(connection.Handle, QString(32, u'h'));
}

TEST_F(TelServ, ConversationWithoutATelIsLoggedAsCanceled)
{
    const Outcome outcome = converse([&](FakePeer &p) {
        p.sendLine("STAY\r");
        SendTelOff(p);
    });
    EXPECT_EQ(outcome.answered, "ACK\r");
    EXPECT_TRUE(outcome.unread.isEmpty());
    EXPECT_TRUE(testsupport::StoredTels().empty());
    EXPECT_TRUE(logText().contains(QStringLiteral("... TEL Canceled (Remote Host) ...")));
}

TEST_F(TelServ, TochCarriesASerialChatTelAndUnknownCommandsAreSkipped)
{
    const Outcome outcome = converse([&](FakePeer &p) {
        p.sendLine("TOCH\r");
        p.sendInt(4);
        SendTelBuffer(p, "chat");
        p.sendLine("HELLO\x01\r");
        SendTextTel(p, "after the unknown line");
        p.sendLine("AGAIN\r");
        SendTelOff(p);
    });
    EXPECT_TRUE(outcome.unread.isEmpty());
    const auto stored = testsupport::StoredTels();
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[0].Channel, 4);
    EXPECT_EQ(stored[0].Title, QString::fromLatin1(TelTitle::RecvText) + QLatin1String(TelTitle::SerialChat));
    EXPECT_TRUE(stored[0].Flags & MessageRecord::SerialFlag);
    EXPECT_EQ(bodyOf(stored[1]), "after the unknown line");
    // The first unknown line only, its control character shown as "?".
    EXPECT_EQ(logText().count(QStringLiteral("Unknown TEL Command")), 1);
    EXPECT_TRUE(logText().contains(QStringLiteral("... Unknown TEL Command (Remote Host) : \"HELLO?\" ...")));
}

TEST_F(TelServ, SwitchedOffReceptionAnswersNakAndReadsNothing)
{
    TelServerEnabled = 0;
    LogLebelNumber = BETA;
    const Outcome outcome = converse([&](FakePeer &p) {
        SendTextTel(p, "unwanted");
        SendTelOff(p);
    });
    EXPECT_EQ(outcome.answered, "NAK\r");
    EXPECT_EQ(outcome.unread.left(5), "TEXT\r");
    EXPECT_TRUE(outcome.unread.endsWith("unwantedOFF\r"));
    EXPECT_TRUE(testsupport::StoredTels().empty());
    const QString log = logText();
    EXPECT_TRUE(log.contains(QStringLiteral("TEL      from  [[ 127.0.0.1 : 40000 ]]  ﾃｽﾄ送信者")));
    EXPECT_TRUE(log.contains(QStringLiteral("Response: NAK  ")));
    EXPECT_FALSE(log.contains(QStringLiteral("TEL Canceled")));
}

TEST_F(TelServ, FileTelLandsInTheFolderAndTheNextTextCarriesNoneOfItsFields)
{
    const QByteArray contents = QByteArray(20000, 'x') + QByteArray("\0end", 4);
    const QByteArray name = plat::ToCp932(QStringLiteral("受信ﾌｧｲﾙ.bin"));
    const QByteArray longest(80, 'n');
    const Outcome outcome = converse([&](FakePeer &p) {
        SendTextTel(p, "{\\rtf1 rich}");
        EXPECT_EQ(SendFileTel(p, name, contents), "ACK\r");
        EXPECT_EQ(SendFileTel(p, longest, "y"), "ACK\r");
        SendTextTel(p, "after");
        SendTelOff(p);
    });
    EXPECT_TRUE(outcome.peerError.isEmpty()) << outcome.peerError.toStdString();
    QFile received(folder + QLatin1Char('/') + plat::FromCp932(name));
    ASSERT_TRUE(received.open(QIODevice::ReadOnly));
    EXPECT_EQ(received.readAll(), contents);

    const auto stored = testsupport::StoredTels();
    ASSERT_EQ(stored.size(), 4u);
    const MessageRecord &file = stored[1];
    EXPECT_EQ(file.Flags, MessageRecord::FileFlag); // the rich text before it does not carry over
    EXPECT_EQ(file.Bytes, contents.size());
    EXPECT_EQ(file.Start, 0);
    EXPECT_EQ(file.FileName, plat::FromCp932(name));
    EXPECT_EQ(file.Title, TelTitle::RecvFile(file.AuxText2));
    EXPECT_EQ(stored[2].FileName, QString::fromLatin1(longest));
    EXPECT_EQ(stored[3].Flags, 0);
    EXPECT_TRUE(stored[3].FileName.isEmpty());
    EXPECT_TRUE(stored[3].AuxText2.isEmpty());
    EXPECT_TRUE(logText().contains(QStringLiteral("Receiving file ...")));
}

TEST_F(TelServ, EmptyFileHasNoMeasurableRate)
{
    const Outcome outcome = converse([&](FakePeer &p) {
        p.sendLine("FILE\rempty.txt\r");
        p.sendInt(0);
        EXPECT_EQ(p.expectLine(), "ACK\r");
        SendTelOff(p);
    });
    EXPECT_TRUE(outcome.peerError.isEmpty()) << outcome.peerError.toStdString();
    const auto stored = testsupport::StoredTels();
    ASSERT_EQ(stored.size(), 1u);
    // "---" when the count came within the millisecond it was awaited in, a
    // zero rate when a busy machine took longer (RateText's own cases are
    // MessageRecordTest's); never a rate made of a division by zero.
    EXPECT_TRUE(stored[0].AuxText2 == QStringLiteral("---") || stored[0].AuxText2 == QStringLiteral("   0.000"))
        << stored[0].AuxText2.toStdString();
    EXPECT_EQ(stored[0].Title, TelTitle::RecvFile(stored[0].AuxText2));
    EXPECT_EQ(stored[0].Bytes, 0);
    EXPECT_TRUE(QFile::exists(folder + QStringLiteral("/empty.txt")));
}

TEST_F(TelServ, ExistingNameOrPlantedLinkIsRefusedAndEndsTheConversation)
{
    env.writeFile(QStringLiteral("root/Teleg/exists.txt"), "old");
    const QString outside = env.file(QStringLiteral("outside.txt"));
    ASSERT_TRUE(QFile::link(outside, folder + QStringLiteral("/link.txt"))); // dangling
    for (const QByteArray &name : {QByteArray("exists.txt"), QByteArray("link.txt"), QByteArray("Teleg000.dat")}) {
        SCOPED_TRACE(name.toStdString());
        const Outcome outcome = converse([&](FakePeer &p) {
            EXPECT_EQ(SendFileTel(p, name, "new"), "NAK\r");
            SendTextTel(p, "never read");
            SendTelOff(p);
        });
        EXPECT_TRUE(outcome.unread.startsWith("TEXT\r"));
        EXPECT_TRUE(logText().contains(QStringLiteral("... File \"") + QString::fromLatin1(name) +
                                       QStringLiteral("\" : cannot Rewrite ...")));
        EXPECT_FALSE(logText().contains(QStringLiteral("TEL Canceled")));
    }
    EXPECT_TRUE(testsupport::StoredTels().empty());
    EXPECT_EQ(env.readFile(QStringLiteral("root/Teleg/exists.txt")), "old");
    EXPECT_FALSE(QFile::exists(outside));
}

TEST_F(TelServ, FileNamesAreRefusedOnlyWhenUnsafe)
{
    const QByteArray trailByte5C = plat::ToCp932(QStringLiteral("表ソ.txt")); // both end in the byte 0x5C
    struct Case { QByteArray name; bool accepted; };
    const std::vector<Case> cases = {
        {"v1..2.txt", true}, {trailByte5C, true}, {".hidden", true}, {"ab:c", true}, {QByteArray(80, 'n'), true},
        {"../x", false}, {"a/b", false}, {"a\\b", false}, {"C:x", false}, {"", false}, {".", false},
        {"..", false}, {QByteArray(81, 'a'), false}, {"x\x01y", false}, {"\x7f", false},
        {plat::ToCp932(QStringLiteral("ab\nc")), false}, {"a\xff", false}, {"b\x83", false}, // no CP932 text
        {".kalvex-part-1", false}, // the form of a file still being received
    };
    int kept = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name.toStdString());
        const Outcome outcome = converse([&](FakePeer &p) {
            EXPECT_EQ(SendFileTel(p, c.name, "payload"), c.accepted ? "ACK\r" : "NAK\r");
            SendTelOff(p);
        });
        if (!c.accepted)
            continue;
        ++kept;
        EXPECT_EQ(QFile(folder + QLatin1Char('/') + plat::FromCp932(c.name)).size(), 7);
        EXPECT_EQ(testsupport::StoredTels().back().FileName, plat::FromCp932(c.name));
    }
    EXPECT_EQ(entries(folder).size(), 2 + kept); // the pair and the files taken, nothing else
    EXPECT_EQ(testsupport::StoredTels().size(), size_t(kept));
    EXPECT_EQ(logText().count(QStringLiteral("\" : unsafe name ...")), 14);
    // The log shows a planted line break as "?", never as a line of its own.
    EXPECT_TRUE(logText().contains(QStringLiteral("... File \"ab?c\" : unsafe name ...")));
}

// A receiver that cannot keep a TEL resets the conversation, so that its
// sender does not take the TELs as delivered; one that kept them all closes.
TEST_F(TelServ, AConversationThatLostATelEndsWithAResetAndTheUserIsToldOnce)
{
    const auto sendAndAwaitClose = [](FakePeer &p) {
        SendTextTel(p, "text");
        SendTelOff(p);
        p.expectLine(); // nothing comes: the close or the reset ends it
    };
    Outcome outcome = converse(sendAndAwaitClose, true);
    EXPECT_EQ(outcome.peerError, QStringLiteral("closed by the other side"));

    ASSERT_TRUE(QFile::remove(TelTextFile()));
    ASSERT_TRUE(QDir().mkdir(TelTextFile())); // the text file can take no body now
    for (int i = 0; i < 2; ++i) {
        outcome = converse(sendAndAwaitClose, true);
        EXPECT_TRUE(outcome.peerError.contains(QStringLiteral("reset"))) << outcome.peerError.toStdString();
    }
    EXPECT_EQ(testsupport::StoredTels().size(), 1u);
    EXPECT_EQ(logText().count(QStringLiteral("compact or change it in the TEL log window")), 1);
}

// A file is received under a temporary name: a transfer killed midway leaves
// only that, which the next start removes, and the name stays free.
TEST_F(TelServ, LeftoverOfAKilledTransferIsRemovedAndItsNameIsFree)
{
    env.writeFile(QStringLiteral("root/Teleg/.kalvex-part-dead"), "partial");
    env.writeFile(QStringLiteral("root/Teleg/.kalvex-part-live"), "partial");
    const int held = ::open(QFile::encodeName(folder + QStringLiteral("/.kalvex-part-live")).constData(), O_RDONLY);
    ASSERT_EQ(::flock(held, LOCK_EX), 0); // a transfer still running keeps its temporary
    QString error;
    ASSERT_TRUE(OpenTelLogFiles(&error));
    ::close(held);
    EXPECT_EQ(entries(folder), QStringList({QStringLiteral(".kalvex-part-live"), QStringLiteral("Teleg000.dat"),
                                            QStringLiteral("Teleg000.txt")}));
    converse([&](FakePeer &p) {
        EXPECT_EQ(SendFileTel(p, "report.pdf", "complete"), "ACK\r");
        EXPECT_EQ(SendFileTel(p, "report.pdf", "again"), "NAK\r"); // a complete file is never replaced
    });
    EXPECT_EQ(env.readFile(QStringLiteral("root/Teleg/report.pdf")), "complete");
}

TEST_F(TelServ, BrokenFileTransferLeavesNoFileAndNoRecord)
{
    converse([&](FakePeer &p) {
        SendTextTel(p, "kept");
        p.sendLine("FILE\rpart.bin\r");
        EXPECT_EQ(p.expectLine(), "ACK\r");
        p.sendInt(1000);
        p.sendRaw(QByteArray(100, 'p'));
        p.close();
    });
    converse([&](FakePeer &p) {
        p.sendLine("FILE\rneg.bin\r");
        EXPECT_EQ(p.expectLine(), "ACK\r");
        p.sendInt(-5);
        SendTelOff(p);
    });
    const auto stored = testsupport::StoredTels();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(bodyOf(stored[0]), "kept");
    expectOnlyThePair();
    EXPECT_FALSE(logText().contains(QStringLiteral("TEL Canceled")));
}

TEST_F(TelServ, BrokenOrOversizedTextStoresNothingForItButKeepsEarlierTels)
{
    const QByteArray largest(MaxTelBody, 'L');
    converse([&](FakePeer &p) {
        SendTextTel(p, "first");
        SendTextTel(p, largest);
        p.sendLine("TEXT\r");
        p.sendInt(100);
        p.sendRaw("only ten b");
        p.close();
    });
    const Outcome oversized = converse([&](FakePeer &p) {
        p.sendLine("TEXT\r");
        p.sendInt(MaxTelBody + 1);
        p.sendRaw(QByteArray(100, 'o'));
        SendTelOff(p);
    });
    EXPECT_TRUE(oversized.unread.endsWith("OFF\r"));
    converse([&](FakePeer &p) {
        p.sendLine("TEXT\r");
        p.sendInt(-1);
        SendTelOff(p);
    });
    const auto stored = testsupport::StoredTels();
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(bodyOf(stored[0]), "first");
    EXPECT_EQ(bodyOf(stored[1]), largest);
    EXPECT_EQ(QFile(TelTextFile()).size(), 5 + MaxTelBody);
}

TEST_F(TelServ, StayTelTextIsMarkedAndOnlyTestedForRichText)
{
    plat::SOCKET s = plat::INVALID_SOCKET;
    const plat::SOCKET listener = plat::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    ASSERT_EQ(plat::bind(listener, reinterpret_cast<sockaddr *>(&address), length), 0);
    ASSERT_EQ(plat::listen(listener, 1), 0);
    ASSERT_EQ(plat::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length), 0);
    auto peer = FakePeer::connect(ntohs(address.sin_port), [](FakePeer &p) {
        SendTelBuffer(p, "{\\rtf1 stay}");
        SendTelBuffer(p, "<html><body>");
        p.sendInt(MaxTelBody + 1);
    });
    s = plat::accept(listener, nullptr, nullptr);
    plat::closesocket(listener);
    ASSERT_NE(s, plat::INVALID_SOCKET);

    MessageRecord rich, html;
    html.Channel = 3; // a Stay TEL is never a serial chat TEL
    QByteArray body;
    ASSERT_TRUE(RecvStayTelText(s, rich, body));
    EXPECT_EQ(body, "{\\rtf1 stay}");
    EXPECT_EQ(rich.Title, QString::fromLatin1(TelTitle::RecvStayText));
    EXPECT_EQ(rich.Flags, MessageRecord::StayFlag | MessageRecord::RichFlag);
    EXPECT_EQ(rich.Bytes, body.size());
    ASSERT_TRUE(RecvStayTelText(s, html, body));
    EXPECT_EQ(html.Title, QString::fromLatin1(TelTitle::RecvStayText));
    EXPECT_EQ(html.Flags, MessageRecord::StayFlag);
    EXPECT_FALSE(RecvStayTelText(s, html, body));
    peer->wait();
    plat::closesocket(s);
}

} // namespace
