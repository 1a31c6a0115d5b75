// OLC reader windows against the fake OLC server on port 8011: a board read
// message by message into the local store (texts, a file, a deleted title),
// a chain of links followed into the link store, servers that refuse, lie
// or hang up, and a board list reloaded under an open reader.
#include "core/BLookup.h"
#include "core/MessageRecord.h"
#include "core/RichView.h"
#include "olc/BOlcCli.h"
#include "olc/BOlcRead.h"
#include "olc/OlcStore.h"
#include "platform/FreeOnTerminateThread.h"
#include "platform/RecordFile.h"
#include "platform/WinMessages.h"
#include "support/HeadPane.h"
#include "support/OlcChildWindows.h"
#include "support/OlcpScripts.h"
#include "support/Typing.h"
#include "support/Wait.h"
#include "ui_BOlcCli.h"
#include "ui_BOlcRead.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <QtEndian>

#include <gtest/gtest.h>

using namespace testsupport;

namespace {

class OlcReadTest : public OlcChildTest {
protected:
    static QList<TBOlcReadForm *> readers()
    {
        QList<TBOlcReadForm *> found;
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (auto *r = qobject_cast<TBOlcReadForm *>(w); r && !r->Failed())
                found.append(r);
        }
        return found;
    }
    static TBOlcReadForm *readerAt(int depth)
    {
        for (TBOlcReadForm *w : readers()) {
            if (w->Param().Depth == depth)
                return w;
        }
        return nullptr;
    }
    // Starts a reader and waits for its first download.
    TBOlcReadForm *start(const OlcChannelParam &p)
    {
        const int before = client->readEnabled;
        if (StartOlcReader(host, p, client) != ConnectionStartResult::Shown)
            return nullptr;
        TBOlcReadForm *shown = readerAt(p.Depth);
        EXPECT_TRUE(WaitUntil([&] { return client->readEnabled > before; }));
        return shown;
    }
    static bool closeAndWait(TBOlcReadForm *w)
    {
        QPointer<TBOlcReadForm> window(w);
        QTest::mouseClick(w->ui->ExitButton, Qt::LeftButton);
        return WaitUntil([&] { return !window; });
    }
    static QByteArray body(const QString &path, const MessageRecord &r)
    {
        return plat::ReadFileAt(path, r.Start, r.Bytes);
    }
};

TEST_F(OlcReadTest, ABoardIsReadMessageByMessageIntoTheStoreFoundByNumber)
{
    const QByteArray text5 = "first body\r\n", file6(20000, 'F'), text8 = "last";
    OlcReadBoard board{"BRD1", "BPW", {}};
    board.messages[5] = OlcText(5, text5);
    board.messages[6] = OlcText(6, file6, true);
    board.messages[8] = OlcText(8, text8);
    // Record 1 is an older title: the record of a message is found by its number.
    addTitles(folder.boardIndex(QStringLiteral("BRD1")),
              {OlcTitle(3, QStringLiteral("old")), OlcTitle(5, QStringLiteral("five"), 0, 12),
               OlcTitle(6, QStringLiteral("six"), MessageRecord::FileFlag, 20000, QStringLiteral("data.bin")),
               OlcTitle(7, QStringLiteral("<<Deleted>>")), OlcTitle(8, QStringLiteral("eight"), 0, 999)});
    FakeOlcServer server(script({board}));
    param.MessageNumber = 5;
    param.RecordIndex = 1;
    TBOlcReadForm *w = start(param);
    ASSERT_TRUE(w);
    EXPECT_EQ(ChannelStates[1], 3);
    EXPECT_EQ(w->ui->ChNumLabel->text(), QStringLiteral("1"));
    EXPECT_EQ(w->ui->BrdNameLabel->text(), QStringLiteral("Board One"));
    EXPECT_EQ(w->ui->OlcpvLabel->text(), QStringLiteral("OLCP303"));
    EXPECT_EQ(client->readers[QStringLiteral("BRD1")], 1);
    EXPECT_EQ(w->ui->ReadRichView->Rich()->toPlainText(), QStringLiteral("first body\n"));
    EXPECT_TRUE(w->ui->UtlButton->isVisible());
    EXPECT_EQ(w->ui->UtlButton->text(), QStringLiteral("Save"));
    plat::SendWindowMessage(w, 2025, 1, 2);
    EXPECT_EQ(w->ui->NumberLabel->text(), QStringLiteral("3"));

    const QString index = folder.boardIndex(QStringLiteral("BRD1"));
    const QString texts = folder.boardText(QStringLiteral("BRD1"));
    MessageRecord five = record(index, 2);
    EXPECT_EQ(five.Start, 0);
    EXPECT_EQ(body(texts, five), text5);
    EXPECT_EQ(record(index, 1).Start, -1);

    QTest::mouseClick(w->ui->NextButton, Qt::LeftButton);
    ASSERT_TRUE(WaitUntil([&] { return client->read.size() == 2; }));
    const QString attachment = folder.path() + QStringLiteral("BRD1/00006_data.bin");
    EXPECT_EQ(env.readFile(QDir(env.path()).relativeFilePath(attachment)), file6);
    EXPECT_EQ(w->ui->RecvBar->maximum(), 20000);
    EXPECT_EQ(w->ui->RecvBar->value(), 20000);
    EXPECT_EQ(record(index, 3).Start, 0);
    EXPECT_TRUE(w->ui->ReadRichView->Rich()->toPlainText().contains(QStringLiteral("File Name << data.bin >>")));
    EXPECT_TRUE(HeadShowsAllLines(w->ui->ReadRichView));

    QTest::mouseClick(w->ui->NextButton, Qt::LeftButton);
    EXPECT_EQ(w->ui->OlcStatusBar->currentMessage(), QStringLiteral("*** <<Deleted>> ***"));
    EXPECT_TRUE(w->ui->ReadRichView->Memo()->toPlainText().contains(QStringLiteral("Bytes    : -")));
    QTest::mouseClick(w->ui->NextButton, Qt::LeftButton);
    ASSERT_TRUE(WaitUntil([&] { return client->read.size() == 3; }));
    // The body is stored with the length received, not the length its title announced.
    const MessageRecord eight = record(index, 5);
    EXPECT_EQ(eight.Start, text5.size());
    EXPECT_EQ(eight.Bytes, text8.size());
    EXPECT_EQ(body(texts, eight), text8);
    EXPECT_FALSE(w->ui->NextButton->isEnabled());
    EXPECT_EQ(client->read, (QList<qint32>{5, 6, 8}));

    // The OLC client window closes: its readers close with it, another client's do not.
    QPointer<TBOlcReadForm> window(w);
    plat::SendWindowMessage(w, 2027, 0, 5);
    EXPECT_TRUE(window);
    plat::SendWindowMessage(w, 2027, 0, 0);
    ASSERT_TRUE(WaitUntil([&] { return !window; }));
    server.peer().wait();
    EXPECT_EQ(server.commands(), (QList<QByteArray>{"READ BRD1 BPW", "REQUEST 5", "NEXT", "REQUEST 6", "NEXT",
                                                    "REQUEST 0", "NEXT", "REQUEST 8", "OFF"}));
    EXPECT_EQ(server.channelRequest(), 7);
    EXPECT_EQ(ChannelStates[1], 0);
    EXPECT_EQ(client->readers[QStringLiteral("BRD1")], 0);
}

TEST_F(OlcReadTest, LinksAreFollowedIntoTheLinkStoreAndAFollowedLinkReusesItsRecord)
{
    const QString url = QStringLiteral("OLCP://127.0.0.1/ACCKEY/LBRD/LPW/00042/");
    const QString index = folder.boardIndex(QStringLiteral("BRD1"));
    addTitles(index, {OlcTitle(5, url, MessageRecord::LinkFlag, 4)});
    OlcReadBoard home{"BRD1", "BPW", {}};
    home.messages[5] = OlcText(5, "link");
    auto server = std::make_unique<FakeOlcServer>(script({home}));
    param.MessageNumber = 5;
    param.RecordIndex = 1;
    TBOlcReadForm *reader = start(param);
    ASSERT_TRUE(reader);
    ASSERT_TRUE(reader->ui->LinkButton->isVisible());

    // The linked board lies on "another" server: the same port, once the first has gone.
    OlcReadBoard linked{"LBRD", "LPW", {}};
    OlcMessage fortyTwo = OlcText(42, "linked body");
    fortyTwo.title = "OLCP://127.0.0.1/ACCKEY/LBRD/LPW/00043/";
    fortyTwo.flags = MessageRecord::LinkFlag;
    linked.messages[42] = fortyTwo;
    server.reset(); // its port is free again
    server = std::make_unique<FakeOlcServer>(script({linked}));
    QTest::mouseClick(reader->ui->LinkButton, Qt::LeftButton);
    ASSERT_TRUE(WaitUntil([&] { return client->readEnabled == 2; }));
    EXPECT_FALSE(reader->ui->LinkButton->isVisible());
    TBOlcReadForm *depth1 = readerAt(1);
    ASSERT_TRUE(depth1);
    EXPECT_FALSE(depth1->ui->NextButton->isVisible());
    EXPECT_EQ(depth1->ui->BrdNameLabel->text(), QStringLiteral("Linked Board"));
    EXPECT_TRUE(server->peer().received().startsWith("OLCP"));
    EXPECT_TRUE(server->peer().received().contains("\rOLC\rACCKEY\rme\rMYUSERID\r"));
    EXPECT_EQ(server->channelRequest(), -1);

    const QString links = folder.linkIndex();
    const MessageRecord first = record(links, 1);
    EXPECT_EQ(record(links, 0).FileName, QStringLiteral("Link Access Data"));
    EXPECT_EQ(first.Number, 42);
    EXPECT_EQ(first.Title, QString::fromLatin1(fortyTwo.title));
    EXPECT_EQ(first.ReplyTo, 1);
    EXPECT_EQ(first.AuxText1, QStringLiteral("LBRD"));
    EXPECT_EQ(first.AuxText2, QStringLiteral("BRD1"));
    EXPECT_EQ(first.LinkHolder, 5);
    EXPECT_EQ(first.Address, plat::inet_addr(QStringLiteral("10.0.0.9")));
    EXPECT_EQ(body(folder.linkText(), first), "linked body");
    EXPECT_EQ(record(index, 1).LinkIndex, 1);

    // Depth 2: a file, its holder in the link index.
    OlcReadBoard deeper{"LBRD", "LPW", {}};
    OlcMessage file = OlcText(43, "PICTURE", true);
    file.title = "a picture";
    file.flags = MessageRecord::FileFlag;
    file.fileName = "pic.bin";
    deeper.messages[43] = file;
    server.reset(); // its port is free again
    server = std::make_unique<FakeOlcServer>(script({deeper}));
    QTest::mouseClick(depth1->ui->LinkButton, Qt::LeftButton);
    ASSERT_TRUE(WaitUntil([&] { return client->readEnabled == 3; }));
    EXPECT_EQ(env.readFile(QStringLiteral("OlcClient/SRV/OlcLink/BRD1_00005_002_pic.bin")), "PICTURE");
    EXPECT_EQ(record(links, 2).ReplyTo, 2);
    EXPECT_EQ(record(links, 1).LinkIndex, 2);

    // The first link once more: its record is reused, only where its body lies changes.
    for (int depth : {2, 1})
        ASSERT_TRUE(closeAndWait(readerAt(depth)));
    server.reset(); // its port is free again
    server = std::make_unique<FakeOlcServer>(script({linked}));
    OlcChannelParam again = param;
    again.ServerChannel = -1;
    again.BoardKey = QStringLiteral("LBRD");
    again.BoardPassword = "LPW";
    again.MessageNumber = 42;
    again.Depth = 1;
    again.LinkNumber = 5;
    ASSERT_TRUE(start(again));
    plat::RecordFile linkIndex(links, MessageRecord::Size);
    ASSERT_TRUE(linkIndex.open());
    EXPECT_EQ(linkIndex.count(), 3);
    const MessageRecord reused = record(links, 1);
    EXPECT_EQ(reused.Start, QByteArray("linked body").size());
    EXPECT_EQ(reused.LinkIndex, 2);
    EXPECT_EQ(body(folder.linkText(), reused), "linked body");

    // A depth-2 reader whose holder is not at its record (record 0 is the
    // header; record 2 is the chain's depth-2 record) stores no link.
    const QByteArray linkRecords = env.readFile(QStringLiteral("OlcClient/SRV/OlcLink.dat"));
    OlcChannelParam moved = again;
    moved.MessageNumber = 43;
    moved.Depth = 2;
    for (qint32 at : {0, 2}) {
        server.reset(); // its port is free again
        server = std::make_unique<FakeOlcServer>(script({deeper}));
        moved.RecordIndex = at;
        TBOlcReadForm *w = start(moved);
        ASSERT_TRUE(w);
        EXPECT_TRUE(w->ui->OlcStatusBar->currentMessage().endsWith(QStringLiteral("No. 5 not found ***"))) << at;
        EXPECT_EQ(env.readFile(QStringLiteral("OlcClient/SRV/OlcLink.dat")), linkRecords) << at;
        ASSERT_TRUE(closeAndWait(w));
    }
}

// Servers that refuse, lie or hang up, and names that cannot be paths: where
// it is said, what went out, and that the store keeps no body for it.
TEST_F(OlcReadTest, HostileAnswersLeaveTheStoreAsItWasAndAreSaid)
{
    QByteArray oversized(4, '\0');
    qToBigEndian<qint32>(70000, oversized.data());
    QByteArray shortFile(4, '\0');
    qToBigEndian<qint32>(5000, shortFile.data());
    shortFile += QByteArray(100, 'F');
    struct Case {
        const char *name;
        QByteArray handshake = "ACK";
        OlcChannelParam change;      // what differs from the fixture's parameter block
        MessageRecord title;         // record 1 of the board's index
        OlcMessage message;          // what the server holds
        QString clientStatus;        // in the OLC client window's status bar
        QString readerStatus;        // in the reader, which stays open
        QList<QByteArray> commands;
    };
    const auto text = [](const QByteArray &raw, bool hangUp) {
        OlcMessage m = OlcText(5, "body");
        m.rawBody = raw;
        m.hangUp = hangUp;
        return m;
    };
    const auto file = [](const QByteArray &name, const QByteArray &raw) {
        OlcMessage m = OlcText(5, "FILE", true);
        m.flags = MessageRecord::FileFlag;
        m.fileName = name;
        m.rawBody = raw;
        m.hangUp = !raw.isEmpty();
        return m;
    };
    OlcChannelParam normal = param;
    normal.MessageNumber = 5;
    normal.RecordIndex = 1;
    OlcChannelParam link = normal;
    link.ServerChannel = -1;
    link.BoardKey = QStringLiteral("BRD1");
    link.Depth = 1;
    link.LinkNumber = 5;
    OlcChannelParam unknownBoard = normal, wrongPassword = normal, missingLink = link, skipping = normal;
    unknownBoard.BoardKey = QStringLiteral("NONE");
    wrongPassword.BoardPassword = "XX";
    missingLink.MessageNumber = 99;
    skipping.SkipFiles = 1;
    const MessageRecord textTitle = OlcTitle(5, QStringLiteral("five"), 0, 4);
    const MessageRecord fileTitle = OlcTitle(5, QStringLiteral("five"), MessageRecord::FileFlag, 4, QStringLiteral("data.bin"));
    const MessageRecord evilTitle =
        OlcTitle(5, QStringLiteral("five"), MessageRecord::FileFlag, 4, QStringLiteral("../evil.bin"));
    const std::vector<Case> cases = {
        {"busy server", "CAN", normal, textTitle, text({}, false), QStringLiteral("... Target OLC Server Busy ! ..."),
         {}, {}},
        {"unknown board", "ACK", unknownBoard, textTitle, text({}, false),
         QStringLiteral("... Board-Key Not Found ! ..."), {}, {"READ NONE"}},
        {"wrong board password", "ACK", wrongPassword, textTitle, text({}, false),
         QStringLiteral("... Board Password Disagreement ! ..."), {}, {"READ BRD1 XX"}},
        {"missing linked message", "ACK", missingLink, textTitle, text({}, false),
         QStringLiteral("... Board Password Disagreement ! ..."), {}, {"READ BRD1 BPW", "LINK 99"}},
        {"text longer than a buffer", "ACK", normal, textTitle, text(oversized, true), {}, {},
         {"READ BRD1 BPW", "REQUEST 5"}},
        {"file cut short", "ACK", normal, fileTitle, file("data.bin", shortFile), {}, {},
         {"READ BRD1 BPW", "REQUEST 5"}},
        {"unsafe file name in the index", "ACK", normal, evilTitle, file("../evil.bin", {}), {},
         QStringLiteral("*** <<../evil.bin>> : Invalid File Name ***"), {"READ BRD1 BPW", "REQUEST 0"}},
        {"unsafe file name in a link header", "ACK", link, textTitle, file("../evil.bin", {}), {}, {},
         {"READ BRD1 BPW", "LINK 5"}},
        {"attachments skipped", "ACK", skipping, fileTitle, file("data.bin", {}), {},
         QStringLiteral("*** <<data.bin>> 読み飛ばし ***"), {"READ BRD1 BPW", "REQUEST 0"}},
    };
    const QString index = folder.boardIndex(QStringLiteral("BRD1"));
    BoardRecord brd1;
    brd1.BoardKey = QStringLiteral("BRD1");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(index);
        ASSERT_TRUE(olc::PrepareBoardFiles(folder, brd1));
        addTitles(index, {c.title});
        client->statuses.clear();
        OlcReadBoard board{"BRD1", "BPW", {}};
        board.messages[5] = c.message;
        OlcServerScript s = script({board});
        s.answer = c.handshake;
        FakeOlcServer server(s);
        const int before = client->readEnabled;
        const ConnectionStartResult result = StartOlcReader(host, c.change, client);
        EXPECT_EQ(result, c.handshake == "ACK" ? ConnectionStartResult::Shown : ConnectionStartResult::Failed);
        if (!c.readerStatus.isEmpty()) {
            ASSERT_TRUE(WaitUntil([&] { return client->readEnabled > before; }));
            TBOlcReadForm *w = readers().front();
            EXPECT_EQ(w->ui->OlcStatusBar->currentMessage(), c.readerStatus);
            ASSERT_TRUE(closeAndWait(w));
        }
        // Every other reader fails and closes by itself, without "OFF".
        ASSERT_TRUE(WaitUntil([] { return ChannelStates[1] == 0 && plat::FreeOnTerminateThread::Running() == 0; }));
        server.peer().wait();
        WaitUntil([&] { return c.clientStatus.isEmpty() || !client->statuses.isEmpty(); });
        EXPECT_EQ(client->statuses, c.clientStatus.isEmpty() ? QStringList() : QStringList{c.clientStatus});
        QList<QByteArray> commands = c.commands;
        if (!c.readerStatus.isEmpty())
            commands.append("OFF");
        EXPECT_EQ(server.commands(), commands);
        EXPECT_EQ(record(index, 1).Start, -1);
        EXPECT_EQ(plat::FileSize(folder.boardText(QStringLiteral("BRD1"))), 0);
        EXPECT_FALSE(QFile::exists(folder.path() + QStringLiteral("evil.bin")));
        EXPECT_FALSE(QFile::exists(folder.path() + QStringLiteral("../evil.bin")));
    }
}

TEST_F(OlcReadTest, AReaderClosedWhileItsThreadStillConnectsGoesSafely)
{
    auto server = FakePeer::listen([](FakePeer &p) {
        ReadOlcpLogin(p, "OLCP303");
        p.stall(); // no answer: the thread waits in the handshake
    }, 8011);
    QTimer::singleShot(100, [] {
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (qobject_cast<TBOlcReadForm *>(w))
                w->close();
        }
    });
    param.MessageNumber = 5;
    EXPECT_EQ(StartOlcReader(host, param, client), ConnectionStartResult::Abandoned);
    EXPECT_EQ(ChannelStates[1], 3); // still the thread's
    server.reset();                 // the handshake fails now
    EXPECT_TRUE(WaitUntil([] { return ChannelStates[1] == 0 && plat::FreeOnTerminateThread::Running() == 0; }));
    EXPECT_TRUE(client->readers.empty());
}

// A reader belongs to its board by key: the board list reloaded in another
// order (Shift+Board) while it is open leaves its count and reads with that board.
TEST_F(OlcReadTest, AReaderKeepsToItsBoardWhenTheBoardListIsReloadedInAnotherOrder)
{
    OlcServerScript s;
    s.boards = {{.number = 1, .key = "GEN", .name = "GEN", .msgNum = 2}, {.number = 2, .key = "NEWS", .name = "NEWS"}};
    s.reloadedBoards = {s.boards[1], s.boards[0]};
    s.titles[1] = {{1, "one"}, {2, "two"}};
    FakeOlcServer olc(s);
    HostRecord target = host;
    ASSERT_EQ(StartConnectionWindow(OlcClientWindowKind, target, &client->bar), ConnectionStartResult::Shown);
    QPointer<TBOlcClientForm> w = TBOlcClientForm::ForOlcName(host.OlcName);
    QTest::mouseClick(w->ui->LogonButton, Qt::LeftButton);
    QTest::mouseClick(w->ui->SwitchButton, Qt::LeftButton); // GEN's titles
    FakeOlcServer readerServer(script({{"GEN", "", {{1, OlcText(1, "one")}, {2, OlcText(2, "two")}}}}));
    QTest::mouseClick(w->ui->ReadButton, Qt::LeftButton);
    ASSERT_TRUE(WaitUntil([&] { return readerAt(0) && w->ui->ReadButton->isEnabled(); }));
    TapModifierAlone(w, Qt::Key_Shift);
    QTest::mouseClick(w->ui->SwitchButton, Qt::LeftButton);
    ASSERT_EQ(w->Boards()[2].BoardKey, QStringLiteral("GEN"));
    QTest::mouseClick(readerAt(0)->ui->NextButton, Qt::LeftButton);
    EXPECT_EQ(w->Boards()[2].ReadPtr, 2);
    ASSERT_TRUE(closeAndWait(readerAt(0)));
    ASSERT_EQ(w->CacheOf(2)->ReaderCount, 0); // else closing the client would ask first
    w->close();
    ASSERT_TRUE(WaitUntil([&] { return !w; }));
}

} // namespace
