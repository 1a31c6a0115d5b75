// OLC client windows started from the main window's OLC button against a
// fake OLC server on port 8011: the start and its refusals, logon with the
// board list written to the board table byte for byte, entering boards and
// listing titles into their indexes, opening messages from the store, and
// logoff and close with what they leave on the wire and on disk.
#include "core/BCommon.h"
#include "core/BHostlst.h"
#include "core/BLookup.h"
#include "core/BRegistr.h"
#include "core/RichView.h"
#include "olc/BOlcCli.h"
#include "olc/BOlcLogMnt.h"
#include "olc/BOlcPost.h"
#include "olc/BOlcRead.h"
#include "olc/OlcStore.h"
#include "platform/Cp932.h"
#include "platform/DayDate.h"
#include "platform/FreeOnTerminateThread.h"
#include "platform/RecordFile.h"
#include "support/FakeOlcServer.h"
#include "support/HeadPane.h"
#include "support/MainWindow.h"
#include "support/Modals.h"
#include "support/OlcChildWindows.h"
#include "support/TempEnv.h"
#include "support/Typing.h"
#include "support/Wait.h"
#include "ui_BLookup.h"
#include "ui_BOlcCli.h"

#include <QApplication>
#include <QHeaderView>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QTableWidget>
#include <QTest>
#include <QTextEdit>
#include <QTreeWidget>

#include <gtest/gtest.h>

using namespace testsupport;

namespace {

OlcBoardLine Board(qint32 number, const QByteArray &key, qint32 msgNum, qint32 topMsg)
{
    OlcBoardLine b;
    b.number = number;
    b.key = key;
    b.name = key + plat::ToCp932(QStringLiteral(" ボード"));
    b.msgNum = msgNum;
    b.topMsg = topMsg;
    return b;
}

std::vector<OlcTitleLine> Titles(qint32 first, qint32 last)
{
    std::vector<OlcTitleLine> titles;
    for (qint32 n = first; n <= last; ++n) {
        OlcTitleLine t;
        t.number = n;
        t.title = "title " + QByteArray::number(n);
        titles.push_back(t);
    }
    return titles;
}

class OlcClientTest : public TempEnvTest {
protected:
    void SetUp() override
    {
        form = StartMainWindow(env);
        ui = form->ui.get();
        OlcClientDirectory = env.file(QStringLiteral("OlcClient"));
        target.IpAddress = QStringLiteral("127.0.0.1");
        target.HostName = QStringLiteral("olcserver");
        target.Memo = QStringLiteral("掲示板");
        target.Handle = QStringLiteral("me");
        target.UserId = QStringLiteral("MYUSERID");
        target.OlcName = QStringLiteral("SRV");
    }
    void TearDown() override
    {
        for (TBOlcClientForm *w : clientWindows())
            w->close();
        EXPECT_TRUE(WaitUntil([] { return clientWindows().isEmpty() && plat::FreeOnTerminateThread::Running() == 0; }));
        delete form;
    }

    static QList<TBOlcClientForm *> clientWindows()
    {
        QList<TBOlcClientForm *> windows;
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (auto *client = qobject_cast<TBOlcClientForm *>(w))
                windows.append(client);
        }
        return windows;
    }
    // Presses OLC with target as the main window's target; the client window once it shows.
    TBOlcClientForm *pressOlc()
    {
        ui->HostNameEdit->setText(target.IpAddress);
        CurrentHost = target;
        form->LogTargetHost();
        QTest::mouseClick(ui->OlcButton, Qt::LeftButton);
        for (TBOlcClientForm *w : clientWindows()) {
            if (w->isVisible())
                return w;
        }
        return nullptr;
    }
    static void click(QPushButton *button) { QTest::mouseClick(button, Qt::LeftButton); }
    static QString status(TBOlcClientForm *w) { return w->ui->OlcStatusBar->currentMessage(); }
    static QString cell(QTableWidget *grid, int row, int column)
    {
        return grid->item(row, column) ? grid->item(row, column)->text() : QString();
    }
    static QStringList column(QTableWidget *grid, int c)
    {
        QStringList texts;
        for (int row = 0; row < grid->rowCount(); ++row)
            texts << cell(grid, row, c);
        return texts;
    }
    QByteArray boardTable() const { return env.readFile(QStringLiteral("OlcClient/SRV/SRV.dat")); }
    std::vector<MessageRecord> indexOf(const QString &key) const
    {
        plat::RecordFile index(olc::ServerFolder(QStringLiteral("SRV")).boardIndex(key), MessageRecord::Size);
        std::vector<MessageRecord> records;
        QByteArray image;
        for (qint64 r = 0; index.open() && index.read(r, image); ++r)
            records.push_back(MessageRecord::decode(image));
        return records;
    }

    TBLookupForm *form = nullptr;
    Ui::TBLookupForm *ui = nullptr;
    HostRecord target;
};

TEST_F(OlcClientTest, ALogonListsBoardsEntersThemListsTitlesOpensStoredMessagesAndLogsOff)
{
    // The store knows GEN (read up to 60, a bias of 2, one downloaded body) and a board that is gone.
    const olc::ServerFolder server(QStringLiteral("SRV"));
    BoardRecord gen = BoardRecord::decode({});
    gen.BoardKey = QStringLiteral("GEN");
    gen.BoardName = QStringLiteral("old");
    gen.ReadPtr = 60;
    gen.TopBias = 2;
    gen.Reserved[7] = 'k';
    BoardRecord gone = gen;
    gone.BoardKey = QStringLiteral("GONE");
    ASSERT_TRUE(olc::WriteBoardTable(server, {olc::MakeBoardHeader(), gone, gen}));
    gen.TopMsg = 1;
    ASSERT_TRUE(olc::PrepareBoardFiles(server, gen));
    const QByteArray body = plat::ToCp932(QStringLiteral("保存された本文です"));
    env.writeFile(QStringLiteral("OlcClient/SRV/GEN/GEN.txt"), body);
    {
        plat::RecordFile index(server.boardIndex(gen.BoardKey), MessageRecord::Size);
        olc::TitleSlots titleSlots;
        MessageRecord stored;
        stored.Number = 61;
        stored.Start = 0;
        stored.Bytes = int(body.size());
        ASSERT_TRUE(index.open() && titleSlots.load(index, 1) && titleSlots.store(index, 61, stored));
    }

    OlcServerScript script;
    script.logonReply = "NAK";
    script.accountPassword = ConvertPassword("GUEST");
    script.boards = {Board(1, "GEN", 150, 1), Board(2, "PRV", 3, 1), Board(3, "NEWS", 2, 1)};
    script.boards[1].password = "*";
    script.boards[1].enterPassword = "secret";
    script.boards[1].level = 1;
    script.boards[1].parent = "GEN";
    script.titles[1] = Titles(55, 65);
    script.titles[1][6].bytes = qint32(body.size());
    script.titles[1][6].title = "OLCP://10.0.0.1/KEY/GEN/GEN/1/"; // 61 holds a link
    script.titles[1][6].flags = MessageRecord::LinkFlag;
    script.titles[1][8].title.clear(); // 63 was deleted
    script.titles[3] = Titles(1, 2);
    script.titlesPerList = 5;
    FakeOlcServer olc(script);

    TBOlcClientForm *w = pressOlc();
    ASSERT_TRUE(w);
    const QSize shownSize = w->size();
    EXPECT_EQ(w->windowTitle(), QStringLiteral("Ｋａｌｖｅｘ [ OLC Client ]"));
    EXPECT_EQ(olc.channelRequest(), 0);
    EXPECT_EQ(w->ServerChannelNumber(), 7);
    EXPECT_EQ(w->ui->HostNameLabel->text(), QStringLiteral("olcserver"));
    EXPECT_EQ(w->ui->OlcpvLabel->text(), QStringLiteral("OLCP303"));
    EXPECT_EQ(w->ui->LogonButton->text(), QStringLiteral("Logon"));
    EXPECT_FALSE(w->ui->SwitchButton->isEnabled());
    EXPECT_EQ(ChannelStates[0], 2);

    // Logon: the guest password, the welcome text and the board list.
    ModalAnswers answers;
    answers.then(QStringLiteral("TBPasswordDlg"), EnterPassword(QStringLiteral("GUEST")));
    click(w->ui->LogonButton);
    EXPECT_TRUE(answers.done());
    EXPECT_EQ(w->ui->WelcomeRichView->Rich()->toPlainText(), QStringLiteral("Welcome to the fake OLC server"));
    EXPECT_EQ(w->ui->LogonButton->text(), QStringLiteral("Logoff"));
    EXPECT_TRUE(w->ui->SwitchButton->isEnabled());
    EXPECT_EQ(column(w->ui->BoardGrid, 1),
              (QStringList{QStringLiteral("GEN ボード"), QStringLiteral("PRV ボード"), QStringLiteral("NEWS ボード")}));
    EXPECT_EQ(column(w->ui->BoardGrid, 4), (QStringList{"00060", "00000", "00000"}));
    EXPECT_EQ(cell(w->ui->BoardGrid, 1, 2), QStringLiteral("*"));
    ASSERT_EQ(w->ui->BoardTree->topLevelItemCount(), 2);
    EXPECT_EQ(w->ui->BoardTree->topLevelItem(0)->child(0)->text(0), QStringLiteral("PRV ボード"));

    // The table: the header of today, GEN merged over its own record, new boards zero-filled.
    std::vector<BoardRecord> expected = {olc::MakeBoardHeader(), gen, BoardRecord::decode({}), BoardRecord::decode({})};
    auto report = [&](BoardRecord &r, const OlcBoardLine &line, std::int32_t readPtr) {
        r.BoardNumber = line.number;
        r.BoardKey = QString::fromLatin1(line.key);
        r.BoardName = plat::FromCp932(line.name);
        r.HasPassword = line.password == "*";
        r.MsgNum = line.msgNum;
        r.TopMsg = line.topMsg;
        r.Level = std::uint8_t(line.level);
        r.ParentKey = QString::fromLatin1(line.parent);
        QDateTime date;
        ASSERT_TRUE(plat::ParseShortDate(QString::fromLatin1(line.lastPost), date));
        r.LastPost = plat::ToDayDate(date);
        r.ReadPtr = readPtr;
    };
    report(expected[1], script.boards[0], 60);
    report(expected[2], script.boards[1], 0);
    report(expected[3], script.boards[2], 0);
    QByteArray table;
    for (const BoardRecord &r : expected)
        table += r.encode();
    EXPECT_EQ(boardTable(), table);
    EXPECT_TRUE(QFileInfo(server.boardFolder(QStringLiteral("NEWS"))).isDir());

    // Entering GEN asks from the pointer less the bias; the titles before the pointer are no news.
    click(w->ui->SwitchButton);
    ASSERT_TRUE(w->ui->MsgsGrid->isVisible());
    EXPECT_EQ(column(w->ui->MsgsGrid, 0), (QStringList{"00059", "00060", "00061", "00062", "00063"}));
    EXPECT_EQ(column(w->ui->MsgsGrid, 2), (QStringList{"", "", "*", "", ""}));
    EXPECT_EQ(cell(w->ui->MsgsGrid, 4, 1), QStringLiteral("<<Deleted>>"));
    EXPECT_EQ(w->ui->MsgsGrid->currentRow(), 2); // the first new title
    EXPECT_EQ(w->ui->SwitchButton->text(), QStringLiteral("Board"));
    // Every column of the title list shows whole, as far as the screen allows.
    EXPECT_TRUE(w->ui->MsgsGrid->horizontalHeader()->length() <= w->ui->MsgsGrid->viewport()->width() ||
                w->width() >= w->screen()->availableGeometry().width());
    const std::vector<MessageRecord> index = indexOf(QStringLiteral("GEN"));
    ASSERT_EQ(index.size(), 6u);
    EXPECT_EQ(index[0].FileName, QStringLiteral("old")); // the header as the store made it
    for (int i = 1; i <= 5; ++i) {
        EXPECT_EQ(index[size_t(i)].Number, 58 + i);
        EXPECT_EQ(index[size_t(i)].Start, i == 3 ? 0 : -1);
    }

    // Read opens 61 from the store, moves the pointer and selects the next title.
    click(w->ui->ReadButton);
    EXPECT_TRUE(w->ui->ClientRichView->isVisible());
    EXPECT_EQ(w->ui->ClientRichView->Rich()->toPlainText(), QStringLiteral("保存された本文です"));
    EXPECT_TRUE(w->ui->ClientRichView->Memo()->toPlainText().startsWith(QStringLiteral("Number   : 00061")));
    EXPECT_TRUE(testsupport::HeadShowsAllLines(w->ui->ClientRichView));
    EXPECT_EQ(w->ui->ExitButton->text(), QStringLiteral("Save"));
    EXPECT_TRUE(w->ui->LinkButton->isVisible() && w->size() == shownSize);
    EXPECT_EQ(w->ui->PointerLabel->text(), QStringLiteral("00061"));
    EXPECT_EQ(BoardRecord::decode(boardTable().mid(BoardRecord::Size)).ReadPtr, 61);
    EXPECT_EQ(w->ui->MsgsGrid->currentRow(), 3);
    // 62 is not downloaded: a reader on a connection of its own fetches it into the
    // store; the client marks it read, moves the pointer and selects the next title.
    {
        OlcServerScript readerScript;
        OlcReadBoard readBoard;
        readBoard.key = "GEN";
        const QByteArray fetched = plat::ToCp932(QStringLiteral("届いた本文"));
        readBoard.messages[62] = OlcText(62, fetched);
        readerScript.readBoards = {readBoard};
        FakeOlcServer readerServer(readerScript);
        click(w->ui->ReadButton);
        TBOlcReadForm *reader = nullptr;
        ASSERT_TRUE(WaitUntil([&] {
            for (QWidget *top : QApplication::topLevelWidgets()) {
                if (auto *shown = qobject_cast<TBOlcReadForm *>(top); shown && shown->isVisible())
                    reader = shown;
            }
            return reader && w->ui->ReadButton->isEnabled();
        }));
        EXPECT_EQ(indexOf(QStringLiteral("GEN"))[4].Start, body.size());
        EXPECT_EQ(env.readFile(QStringLiteral("OlcClient/SRV/GEN/GEN.txt")), body + fetched);
        EXPECT_EQ(cell(w->ui->MsgsGrid, 3, 2), QStringLiteral("*"));
        EXPECT_EQ(w->CacheOf(1)->ListPtr, 62);
        EXPECT_EQ(w->CacheOf(1)->ReaderCount, 1);
        EXPECT_EQ(w->ui->MsgsGrid->currentRow(), 4);
        QPointer<TBOlcReadForm> open(reader);
        reader->close();
        ASSERT_TRUE(WaitUntil([&] { return !open; }));
        EXPECT_EQ(w->CacheOf(1)->ReaderCount, 0);
        readerServer.peer().wait();
        EXPECT_EQ(readerServer.channelRequest(), 7);
    }
    // Post opens a post window of GEN on a connection of its own.
    {
        OlcServerScript posterScript;
        OlcReadBoard postBoard;
        postBoard.key = "GEN";
        posterScript.readBoards = {postBoard};
        FakeOlcServer posterServer(posterScript);
        testsupport::TapModifierAlone(w, Qt::Key_Shift); // the post answers the title selected
        click(w->ui->PostButton);
        QPointer<TBOlcPostForm> poster;
        ASSERT_TRUE(WaitUntil([&] {
            for (QWidget *top : QApplication::topLevelWidgets()) {
                if (auto *shown = qobject_cast<TBOlcPostForm *>(top); shown && shown->isVisible())
                    poster = shown;
            }
            return poster && w->ui->PostButton->isEnabled();
        }));
        EXPECT_EQ(w->CacheOf(1)->PosterCount, 1);
        EXPECT_EQ(poster->ReplyEdit->text(), QStringLiteral("00063"));
        poster->close();
        ASSERT_TRUE(WaitUntil([&] { return !poster; }));
        EXPECT_EQ(w->CacheOf(1)->PosterCount, 0);
        posterServer.peer().wait();
        EXPECT_EQ(posterServer.commands(), (QList<QByteArray>{"POST GEN ", "OFF"}));
    }
    // The deleted 63, the last row, moves the pointer too; the next Read asks for more titles.
    w->ui->MsgsGrid->setCurrentCell(4, 0);
    click(w->ui->ReadButton);
    EXPECT_EQ(status(w), QStringLiteral("*** <<Deleted>> ***"));
    EXPECT_TRUE(w->CacheOf(1)->AtEnd);
    click(w->ui->ReadButton);
    EXPECT_EQ(column(w->ui->MsgsGrid, 0).mid(5), (QStringList{"00064", "00065"}));
    EXPECT_EQ(w->ui->MsgsGrid->currentRow(), 5);

    // PRV refuses its password; NEWS is entered, so the server lists NEWS now.
    click(w->ui->SwitchButton);
    w->ui->BoardGrid->setCurrentCell(1, 0);
    click(w->ui->SwitchButton);
    EXPECT_EQ(status(w), QStringLiteral("... Board Password Disagreement ! ..."));
    w->ui->BoardGrid->setCurrentCell(2, 0);
    click(w->ui->SwitchButton);
    EXPECT_EQ(column(w->ui->MsgsGrid, 0), (QStringList{"00001", "00002"}));
    // Shift+Board reloads the board list; back in GEN the listed titles show without ENTER, and
    // more titles need the server back in GEN first.
    testsupport::TapModifierAlone(w, Qt::Key_Shift);
    click(w->ui->SwitchButton);
    EXPECT_EQ(cell(w->ui->BoardGrid, 0, 4), QStringLiteral("00063"));
    w->ui->BoardGrid->setCurrentCell(0, 0);
    click(w->ui->SwitchButton);
    EXPECT_EQ(w->ui->MsgsGrid->rowCount(), 7);
    testsupport::TapModifierAlone(w, Qt::Key_Shift);
    click(w->ui->TitleButton);
    EXPECT_EQ(status(w), QStringLiteral("... Nothing More Titles ! ..."));

    // Tree mode shows the reply tree of the selected title.
    w->ui->MsgsGrid->setCurrentCell(0, 0);
    click(w->ui->TitleButton);
    EXPECT_TRUE(w->ui->ReplyTree->isVisible());
    EXPECT_EQ(w->ui->ReplyTree->topLevelItem(0)->text(0), QStringLiteral("[00059] title 59"));

    // With a reader of the channel open, logoff asks first; No keeps everything as it is.
    w->CacheOf(1)->ReaderCount = 1;
    answers.then(QStringLiteral("ChildWindowsQuestion"), PressButton(QMessageBox::No))
        .then(QStringLiteral("ChildWindowsQuestion"), PressButton(QMessageBox::Yes));
    click(w->ui->LogonButton);
    EXPECT_EQ(w->ui->LogonButton->text(), QStringLiteral("Logoff"));
    click(w->ui->LogonButton);
    EXPECT_TRUE(answers.done());
    w->CacheOf(1)->ReaderCount = 0; // the reader closed on the channel's close message
    EXPECT_EQ(w->ui->WelcomeRichView->Rich()->toPlainText(), QStringLiteral("See you"));
    EXPECT_EQ(w->ui->LogonButton->text(), QStringLiteral("Logon"));
    EXPECT_FALSE(w->ui->SwitchButton->isEnabled());
    EXPECT_TRUE(w->ui->ExitButton->isVisible());

    // A board table that cannot be read stops the next board list before BOARD: nothing is merged or saved.
    const QString tablePath = server.boardTable();
    ASSERT_TRUE(QFile::rename(tablePath, tablePath + ".kept") && QDir().mkdir(tablePath));
    answers.then(QStringLiteral("TBPasswordDlg"), EnterPassword(QStringLiteral("GUEST")));
    click(w->ui->LogonButton);
    EXPECT_TRUE(status(w).contains(tablePath) && w->ui->BoardGrid->rowCount() == 0) << status(w).toStdString();
    ASSERT_TRUE(QDir().rmdir(tablePath) && QFile::rename(tablePath + ".kept", tablePath));

    QPointer<TBOlcClientForm> window(w);
    click(w->ui->ExitButton);
    ASSERT_TRUE(WaitUntil([&] { return !window; }));
    olc.peer().wait();
    EXPECT_EQ(olc.peer().error(), QString());
    EXPECT_EQ(olc.commands(), (QList<QByteArray>{"LOGON", "PASSWORD " + ConvertPassword("GUEST"), "BOARD",
                                                 "ENTER 1  58", "TITLE", "ENTER 2  0", "ENTER 3  0", "BOARD", "REENT 1",
                                                 "TITLE", "LOGOFF", "LOGON", "PASSWORD " + ConvertPassword("GUEST"),
                                                 "OFF"}));
    EXPECT_EQ(ChannelStates[0], 0);
    // The table as the logoff and the close left it: GEN read up to 63.
    expected[1].ReadPtr = 63;
    table.clear();
    for (const BoardRecord &r : expected)
        table += r.encode();
    EXPECT_EQ(boardTable().mid(BoardRecord::Size), table.mid(BoardRecord::Size));
}

TEST_F(OlcClientTest, StartsAndLogonsThatTheServerRefusesOrBreaksEndCleanly)
{
    struct Case {
        const char *what;
        QByteArray version, answer, logonReply, welcome;
        bool shown;
        QString mainStatus;
    };
    const Case cases[] = {
        {"busy", "OLCP303", "CAN", "ACK", "hi", false, QStringLiteral("127.0.0.1 : Target OLC Server Busy ...")},
        {"not serviced", "OLCP303", "OTHER", "ACK", "hi", false,
         QStringLiteral("127.0.0.1 : On-Line Community not serviced ...")},
        {"a cancelled logon password sends CAN", "OLCP210", "ACK", "NAK", "hi", true, {}},
        {"a welcome text over 64 KiB closes the window", "OLCP303", "ACK", "ACK", QByteArray(65537, 'w'), true, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        OlcServerScript script;
        script.version = c.version;
        script.answer = c.answer;
        script.logonReply = c.logonReply;
        script.welcome = c.welcome;
        FakeOlcServer olc(script);
        ui->L_StatusBar->clearMessage();
        TBOlcClientForm *w = pressOlc();
        ASSERT_EQ(w != nullptr, c.shown);
        if (!c.shown) {
            EXPECT_TRUE(WaitUntil([&] { return ui->L_StatusBar->currentMessage() == c.mainStatus; })) << ui->L_StatusBar->currentMessage().toStdString();
            EXPECT_EQ(ChannelStates[0], 0);
            continue;
        }
        QPointer<TBOlcClientForm> window(w);
        if (c.logonReply == "NAK") {
            ModalAnswers answers;
            answers.then(QStringLiteral("TBPasswordDlg"), CancelPassword());
            click(w->ui->LogonButton);
            EXPECT_EQ(w->ui->LogonButton->text(), QStringLiteral("Logon"));
            EXPECT_EQ(status(w), QStringLiteral("Input \"GUEST\" for guest login."));
            w->close();
        } else {
            click(w->ui->LogonButton);
        }
        ASSERT_TRUE(WaitUntil([&] { return !window; }));
        olc.peer().wait();
        const QList<QByteArray> expected = c.logonReply == "NAK"
                                               ? QList<QByteArray>{"LOGON", "PASSWORD CAN", "OFF"}
                                               : QList<QByteArray>{"LOGON"};
        EXPECT_EQ(olc.commands(), expected);
        EXPECT_EQ(ChannelStates[0], 0);
        EXPECT_FALSE(QFileInfo::exists(env.file(QStringLiteral("OlcClient/SRV/SRV.dat"))));
    }
}

TEST_F(OlcClientTest, OneClientWindowPerServerFolder)
{
    FakeOlcServer olc(OlcServerScript{});
    TBOlcClientForm *w = pressOlc();
    ASSERT_TRUE(w);
    QTest::mouseClick(ui->OlcButton, Qt::LeftButton);
    EXPECT_EQ(clientWindows().size(), 1);
    EXPECT_EQ(ChannelStates[1], 0);
    EXPECT_EQ(TBOlcClientForm::ForOlcName(QStringLiteral("SRV")), w);
    // Store maintenance keeps off the folder until the window has closed.
    const QString folder = olc::ServerFolder(QStringLiteral("SRV")).path();
    EXPECT_TRUE(OlcServerFolderInUse(folder));
    QPointer<TBOlcClientForm> window(w);
    w->close();
    ASSERT_TRUE(WaitUntil([&] { return !window; }));
    EXPECT_FALSE(OlcServerFolderInUse(folder));
}

} // namespace
