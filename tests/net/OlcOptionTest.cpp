// The option panel of the OLC client window against a fake OLC server on
// port 8011: board settings saved to the board table, the WHO list and a TEL
// to a user on it, and DELETE/UPDATE of a message with what they leave in
// the index, the grid and on the wire; then what hostile answers do.
#include "core/BCommon.h"
#include "core/BHostlst.h"
#include "core/BLookup.h"
#include "core/BRegistr.h"
#include "olc/BOlcCli.h"
#include "olc/OlcStore.h"
#include "platform/Cp932.h"
#include "platform/FreeOnTerminateThread.h"
#include "platform/RecordFile.h"
#include "support/FakeOlcServer.h"
#include "support/MainWindow.h"
#include "support/OlcpScripts.h"
#include "support/TempEnv.h"
#include "support/Wait.h"
#include "tel/BSendTel.h"
#include "ui_BLookup.h"
#include "ui_BOlcCli.h"
#include "ui_BEditor.h"

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QStatusBar>
#include <QTableWidget>
#include <QTest>

#include <gtest/gtest.h>

#include <functional>

using namespace testsupport;

namespace {

OlcBoardLine Board(qint32 number, const QByteArray &key)
{
    OlcBoardLine b;
    b.number = number;
    b.key = key;
    b.name = key;
    b.msgNum = 5;
    return b;
}

// Both boards hold messages 1 to 5, so a number alone never tells them apart.
OlcServerScript TwoBoards()
{
    OlcServerScript script;
    script.boards = {Board(1, "GEN"), Board(2, "NEWS")};
    for (qint32 board : {1, 2}) {
        for (qint32 n = 1; n <= 5; ++n) {
            OlcTitleLine t;
            t.number = n;
            t.title = "title " + QByteArray::number(board) + "-" + QByteArray::number(n);
            script.titles[board].push_back(t);
        }
    }
    return script;
}

class OlcOptionTest : public TempEnvTest {
protected:
    void SetUp() override
    {
        form = StartMainWindow(env);
        OlcClientDirectory = env.file(QStringLiteral("OlcClient"));
        target.IpAddress = QStringLiteral("127.0.0.1");
        target.HostName = QStringLiteral("olcserver");
        target.Handle = QStringLiteral("me");
        target.UserId = QStringLiteral("MYUSERID");
        target.OlcName = QStringLiteral("SRV");
    }
    void TearDown() override
    {
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (qobject_cast<TBOlcClientForm *>(w) || qobject_cast<TBSendTelegramForm *>(w))
                w->close();
        }
        EXPECT_TRUE(WaitUntil([] { return plat::FreeOnTerminateThread::Running() == 0; }));
        delete form;
    }

    // Logs on and lists GEN's titles with message 3 selected.
    TBOlcClientForm *openGen()
    {
        form->ui->HostNameEdit->setText(target.IpAddress);
        CurrentHost = target;
        form->LogTargetHost();
        click(form->ui->OlcButton);
        TBOlcClientForm *w = nullptr;
        for (QWidget *top : QApplication::topLevelWidgets()) {
            if (auto *client = qobject_cast<TBOlcClientForm *>(top); client && client->isVisible())
                w = client;
        }
        if (!w)
            return nullptr;
        click(w->ui->LogonButton);
        click(w->ui->SwitchButton);
        w->ui->MsgsGrid->setCurrentCell(2, 0);
        return w;
    }
    static void click(QPushButton *button) { QTest::mouseClick(button, Qt::LeftButton); }
    // Types text into a field (replacing it) and confirms it with Enter.
    static void enter(QLineEdit *edit, const QString &text)
    {
        edit->clear();
        QTest::keyClicks(edit, text);
        QTest::keyClick(edit, Qt::Key_Return);
    }
    static QString status(TBOlcClientForm *w) { return w->ui->OlcStatusBar->currentMessage(); }
    static QString cell(QTableWidget *grid, int row, int column)
    {
        return grid->item(row, column) ? grid->item(row, column)->text() : QString();
    }
    static MessageRecord stored(const QString &key, qint64 record)
    {
        plat::RecordFile index(olc::ServerFolder(QStringLiteral("SRV")).boardIndex(key), MessageRecord::Size);
        QByteArray image;
        return index.open() && index.read(record, image) ? MessageRecord::decode(image) : MessageRecord{};
    }
    static BoardRecord storedBoard(int board)
    {
        std::vector<BoardRecord> table;
        olc::LoadBoardTable(olc::ServerFolder(QStringLiteral("SRV")).boardTable(), table);
        return int(table.size()) > board ? table[size_t(board)] : BoardRecord{};
    }

    TBLookupForm *form = nullptr;
    HostRecord target;
};

TEST_F(OlcOptionTest, SettingsPersistWhoRowsStartTelsAndMaintenanceActsOnTheListedBoard)
{
    OlcServerScript script = TwoBoards();
    OlcWhoLine friendLine;
    friendLine.port = "TCP3";
    friendLine.number = 12;
    friendLine.address = "127.0.0.2";
    friendLine.handle = plat::ToCp932(QStringLiteral("相手"));
    friendLine.userId = "FRIEND01";
    OlcWhoLine serialLine = friendLine;
    serialLine.port = "COM2";
    serialLine.address = "Serial";
    // Four announced, two sent: the list ends with "EOF".
    script.rawWhoList = WhoListBytes(4, {friendLine, serialLine}) + "EOF\r";
    FakeOlcServer olc(script);
    TBOlcClientForm *w = openGen();
    ASSERT_TRUE(w);
    // NEWS entered last: the server now lists NEWS; back in GEN its titles show from the store.
    click(w->ui->SwitchButton);
    w->ui->BoardGrid->setCurrentCell(1, 0);
    click(w->ui->SwitchButton);
    click(w->ui->SwitchButton);
    w->ui->BoardGrid->setCurrentCell(0, 0);
    click(w->ui->SwitchButton);
    w->ui->MsgsGrid->setCurrentCell(2, 0);
    ASSERT_EQ(cell(w->ui->MsgsGrid, 2, 1), QStringLiteral("title 1-3"));

    click(w->ui->OptButton);
    ASSERT_TRUE(w->ui->OptPanel->isVisible());
    EXPECT_EQ(w->ui->OptButton->text(), QStringLiteral("Who"));
    EXPECT_EQ(w->ui->SwitchButton->text(), QStringLiteral("Msgs"));
    EXPECT_EQ(w->ui->MesNumEdit->text(), QStringLiteral("00003"));
    EXPECT_EQ(w->ui->TitleEdit->text(), QStringLiteral("title 1-3"));
    EXPECT_TRUE(w->ui->DeleteButton->isEnabled());
    EXPECT_FALSE(w->ui->UpdateButton->isEnabled());

    // Board settings go to the board table; the pointer holds while a reader is open.
    enter(w->ui->PWEdit, QStringLiteral("secret"));
    enter(w->ui->TopBiasEdit, QStringLiteral("3"));
    w->ui->TextOnlyCheckBox->click();
    EXPECT_EQ(w->ui->TextOnlyCheckBox->text(), QStringLiteral("ON"));
    const BoardRecord gen = storedBoard(1);
    EXPECT_EQ(gen.BoardPassword, ConvertPassword("SECRET"));
    EXPECT_EQ(gen.TopBias, 3);
    EXPECT_EQ(gen.TextPriority, 1);
    w->CacheOf(1)->ReaderCount = 1;
    enter(w->ui->PtrEdit, QStringLiteral("2"));
    EXPECT_EQ(status(w), QStringLiteral("On reading board. Cannot change pointer."));
    EXPECT_EQ(w->ui->PtrEdit->text(), QStringLiteral("00000"));
    w->CacheOf(1)->ReaderCount = 0;
    enter(w->ui->PtrEdit, QStringLiteral("99"));
    EXPECT_EQ(w->ui->PointerLabel->text(), QStringLiteral("00005")); // at most the newest message
    EXPECT_EQ(cell(w->ui->BoardGrid, 0, 4), QStringLiteral("00005"));
    EXPECT_EQ(w->CacheOf(1)->FirstWanted, 2);
    EXPECT_EQ(storedBoard(1).ReadPtr, 0);

    // DELETE brings the server back to GEN first, then toggles: deleted, revived.
    click(w->ui->DeleteButton);
    EXPECT_EQ(status(w), QStringLiteral("Delete Success !"));
    EXPECT_EQ(cell(w->ui->MsgsGrid, 2, 1), QStringLiteral("<<Deleted>>"));
    EXPECT_EQ(stored(QStringLiteral("GEN"), 3).Deleted, 1);
    EXPECT_EQ(stored(QStringLiteral("NEWS"), 3).Deleted, 0);
    EXPECT_FALSE(w->ui->TitleEdit->isEnabled());
    click(w->ui->DeleteButton);
    EXPECT_EQ(status(w), QStringLiteral("Revival Success !"));
    EXPECT_EQ(cell(w->ui->MsgsGrid, 2, 1), QStringLiteral("title 1-3"));
    EXPECT_EQ(stored(QStringLiteral("GEN"), 3).Deleted, 0);

    // A reply number that names no older message, with the title as it was, is no update.
    QTest::keyClicks(w->ui->ReplyEdit, QStringLiteral("9"));
    click(w->ui->UpdateButton);
    EXPECT_EQ(status(w), QStringLiteral("Update Invalid !"));
    EXPECT_EQ(w->ui->ReplyEdit->text(), QString());
    // A link title and the reply typed as its last digits.
    const QString link = QStringLiteral("OLCP://10.0.0.1/KEY/GEN/GEN/1/");
    w->ui->TitleEdit->clear();
    QTest::keyClicks(w->ui->TitleEdit, link);
    QTest::keyClicks(w->ui->ReplyEdit, QStringLiteral("1"));
    click(w->ui->UpdateButton);
    EXPECT_EQ(status(w), QStringLiteral("Update Success !"));
    EXPECT_EQ(cell(w->ui->MsgsGrid, 2, 1), link);
    EXPECT_EQ(cell(w->ui->MsgsGrid, 2, 4), QStringLiteral("*"));
    EXPECT_EQ(cell(w->ui->MsgsGrid, 2, 5), QStringLiteral("00001"));
    MessageRecord r = stored(QStringLiteral("GEN"), 3);
    EXPECT_EQ(r.Title, link);
    EXPECT_EQ(r.ReplyTo, 1);
    EXPECT_TRUE(r.Flags & MessageRecord::LinkFlag);
    // A plain title loses the link mark and is cut at 80 bytes on a character boundary.
    w->ui->TitleEdit->clear();
    w->ui->TitleEdit->insert(QString(41, QChar(0x3042))); // typed or pasted
    click(w->ui->UpdateButton);
    r = stored(QStringLiteral("GEN"), 3);
    EXPECT_EQ(r.Title, QString(40, QChar(0x3042)));
    EXPECT_FALSE(r.Flags & MessageRecord::LinkFlag);
    EXPECT_EQ(r.ReplyTo, 1);
    EXPECT_EQ(cell(w->ui->MsgsGrid, 2, 4), QString());

    // WHO: two users, the rest of the announced rows empty.
    click(w->ui->OptButton);
    EXPECT_EQ(w->ui->PostButton->text(), QStringLiteral("TEL"));
    ASSERT_EQ(w->ui->UserGrid->rowCount(), 4);
    EXPECT_EQ(cell(w->ui->UserGrid, 0, 0), QStringLiteral("TCP3"));
    EXPECT_EQ(cell(w->ui->UserGrid, 0, 1), QStringLiteral("0000012"));
    EXPECT_EQ(cell(w->ui->UserGrid, 0, 3), QStringLiteral("相手"));
    EXPECT_EQ(cell(w->ui->UserGrid, 0, 6), QStringLiteral("1    "));
    EXPECT_EQ(cell(w->ui->UserGrid, 1, 2), QStringLiteral("Serial"));
    EXPECT_EQ(cell(w->ui->UserGrid, 2, 0), QString());
    w->ui->UserGrid->setCurrentCell(3, 0);
    click(w->ui->PostButton);
    EXPECT_EQ(ChannelStates[1], 0); // an empty row starts nothing

    // TEL to the first user: the user's own host answers on its address.
    OlcpLogin login;
    auto peer = FakePeer::listen(
        [&](FakePeer &p) {
            login = ReadOlcpLogin(p, "OLCP303");
            p.sendLine("ACK\r");
            p.sendLine("ACK\r");
            EXPECT_EQ(p.expectLine(), "OFF\r");
        },
        8011, QStringLiteral("127.0.0.2"));
    w->ui->UserGrid->setCurrentCell(0, 0);
    click(w->ui->PostButton);
    TBSendTelegramForm *tel = ShownSendWindow();
    ASSERT_TRUE(tel);
    EXPECT_EQ(tel->ui->MemoLabel->text(), QStringLiteral("相手 <OLC>"));
    EXPECT_EQ(form->ui->HostNameEdit->text(), QStringLiteral("127.0.0.2"));
    QPointer<TBSendTelegramForm> telWindow(tel);
    click(tel->ui->SendButton); // nothing typed: the window closes
    ASSERT_TRUE(WaitUntil([&] { return !telWindow; }));
    peer->wait();
    EXPECT_EQ(peer->error(), QString());
    EXPECT_EQ(login.handle, "me <OLC>");

    QPointer<TBOlcClientForm> window(w);
    w->close();
    ASSERT_TRUE(WaitUntil([&] { return !window; }));
    olc.peer().wait();
    EXPECT_EQ(olc.commands(),
              (QList<QByteArray>{"LOGON", "BOARD", "ENTER 1  0", "ENTER 2  0", "REENT 1", "DELETE 1 3", "DELETE 1 3",
                                 "UPDATE 1 3 " + link.toLatin1() + " 1",
                                 "UPDATE 1 3 " + plat::ToCp932(QString(40, QChar(0x3042))) + " -1", "WHO", "OFF"}));
}

TEST_F(OlcOptionTest, HostileWhoAndMaintenanceAnswersNeitherHangNorTouchTheIndex)
{
    enum class Act { Who, Delete, Update, UpdateEmpty };
    struct Case {
        const char *what;
        std::function<void(OlcServerScript &)> script;
        Act act;
        bool closes;
        QString status;
        int whoRows;
        std::function<void()> before = nullptr; // runs once the titles are listed
    };
    const QList<QByteArray> listed = {"LOGON", "BOARD", "ENTER 1  0"};
    const Case cases[] = {
        {"a negative count", [](OlcServerScript &s) { s.rawWhoList = WhoListBytes(-5, {}); }, Act::Who, false, {}, 0},
        {"a huge count ending at once",
         [](OlcServerScript &s) { s.rawWhoList = WhoListBytes(2000000000, {}) + "EOF\r"; }, Act::Who, false, {}, 10000},
        {"a list cut inside a row",
         [](OlcServerScript &s) {
             s.rawWhoList = WhoListBytes(2, {OlcWhoLine{}}).left(20);
             s.hangUpAfterReply = true;
         },
         Act::Who, true, {}, -1},
        {"DELETE refused", [](OlcServerScript &s) { s.maintenanceReply = "NAK\r"; }, Act::Delete, false,
         QStringLiteral("Delete Failure !"), -1},
        {"DELETE answered by a hang-up",
         [](OlcServerScript &s) {
             s.maintenanceReply.clear();
             s.hangUpAfterReply = true;
         },
         Act::Delete, true, {}, -1},
        {"UPDATE refused", [](OlcServerScript &s) { s.maintenanceReply = "ERR\r"; }, Act::Update, false,
         QStringLiteral("Update Failure !"), -1},
        {"UPDATE of an empty title", [](OlcServerScript &) {}, Act::UpdateEmpty, false,
         QStringLiteral("Update Invalid !"), -1},
        {"DELETE with the local record gone", [](OlcServerScript &) {}, Act::Delete, false,
         QStringLiteral("Delete Failure !"), -1,
         [] {
             plat::RecordFile index(olc::ServerFolder(QStringLiteral("SRV")).boardIndex(QStringLiteral("GEN")),
                                    MessageRecord::Size);
             ASSERT_TRUE(index.open() && index.truncate(3));
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        OlcServerScript script = TwoBoards();
        c.script(script);
        auto olc = std::make_unique<FakeOlcServer>(script);
        TBOlcClientForm *w = openGen();
        ASSERT_TRUE(w);
        if (c.before)
            c.before();
        const MessageRecord before = stored(QStringLiteral("GEN"), 3);
        click(w->ui->OptButton);
        switch (c.act) {
        case Act::Who:
            click(w->ui->OptButton);
            break;
        case Act::Delete:
            click(w->ui->DeleteButton);
            break;
        case Act::Update:
        case Act::UpdateEmpty:
            w->ui->TitleEdit->clear();
            QTest::keyClicks(w->ui->TitleEdit, c.act == Act::Update ? QStringLiteral("new") : QStringLiteral(" "));
            QTest::keyClick(w->ui->TitleEdit, Qt::Key_Backspace);
            click(w->ui->UpdateButton);
            break;
        }
        QPointer<TBOlcClientForm> window(w);
        if (c.closes) {
            EXPECT_TRUE(WaitUntil([&] { return !window; }));
        } else {
            EXPECT_EQ(status(w), c.status);
            if (c.whoRows >= 0) {
                EXPECT_EQ(w->ui->UserGrid->rowCount(), c.whoRows);
            }
            w->close();
            ASSERT_TRUE(WaitUntil([&] { return !window; }));
        }
        EXPECT_EQ(stored(QStringLiteral("GEN"), 3), before);
        olc->peer().wait();
        const QList<QByteArray> commands = olc->commands();
        EXPECT_EQ(commands.mid(0, 3), listed);
        // Refused before the wire: nothing but the close follows the listing.
        if (c.act == Act::UpdateEmpty || c.before) {
            EXPECT_EQ(commands.mid(3), QList<QByteArray>{"OFF"});
        }
    }
}

} // namespace
