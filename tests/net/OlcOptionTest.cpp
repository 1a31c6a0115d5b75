// The OLC client window's option panel against a fake OLC server: board
// settings, WHO and a TEL to a WHO user, DELETE/UPDATE; and hostile answers.
#include "core/BCommon.h"
#include "core/BHostlst.h"
#include "core/BLookup.h"
#include "core/BRegistr.h"
#include "olc/BOlcCli.h"
#include "olc/BOlcGrid.h"
#include "olc/OlcStore.h"
#include "platform/Cp932.h"
#include "platform/FreeOnTerminateThread.h"
#include "platform/RecordFile.h"
#include "platform/WinMessages.h"
#include "support/FakeOlcServer.h"
#include "support/MainWindow.h"
#include "support/OlcpScripts.h"
#include "support/TempEnv.h"
#include "support/Wait.h"
#include "tel/BSendTel.h"
#include "ui_BLookup.h"
#include "ui_BOlcCli.h"
#include "ui_BEditor.h"

#include <QPointer>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <future>

using namespace testsupport;

namespace {

// GEN and NEWS both hold messages 1 to 5, so a number alone never tells them apart.
OlcServerScript TwoBoards()
{
    OlcServerScript script;
    for (qint32 board : {1, 2}) {
        OlcBoardLine b;
        b.number = board;
        b.key = b.name = board == 1 ? "GEN" : "NEWS";
        b.msgNum = 5;
        script.boards.push_back(b);
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
    }
    void TearDown() override
    {
        if (TBOlcClientForm *w = TBOlcClientForm::ForOlcName(QStringLiteral("SRV")))
            w->close();
        if (TBSendTelegramForm *tel = ShownSendWindow())
            tel->close();
        EXPECT_TRUE(WaitUntil([] { return plat::FreeOnTerminateThread::Running() == 0; }));
        delete form;
    }

    // Logs on and lists GEN's titles with message 3 selected.
    TBOlcClientForm *openGen()
    {
        form->ui->HostNameEdit->setText(QStringLiteral("127.0.0.1"));
        CurrentHost.IpAddress = QStringLiteral("127.0.0.1");
        CurrentHost.Handle = QStringLiteral("me");
        CurrentHost.UserId = QStringLiteral("USER0001");
        CurrentHost.OlcName = QStringLiteral("SRV");
        form->LogTargetHost();
        click(form->ui->OlcButton);
        TBOlcClientForm *w = TBOlcClientForm::ForOlcName(QStringLiteral("SRV"));
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
    // Record 3 (message 3) of a board's index.
    static MessageRecord stored(const char *key)
    {
        plat::RecordFile index(olc::ServerFolder(QStringLiteral("SRV")).boardIndex(QLatin1String(key)),
                               MessageRecord::Size);
        QByteArray image;
        return index.open() && index.read(3, image) ? MessageRecord::decode(image) : MessageRecord{};
    }

    TBLookupForm *form = nullptr;
};

TEST_F(OlcOptionTest, SettingsPersistWhoRowsStartTelsAndMaintenanceActsOnTheListedBoard)
{
    OlcServerScript script = TwoBoards();
    OlcWhoLine user;
    user.port = "TCP3";
    user.number = 12;
    user.address = "127.0.0.2";
    user.handle = plat::ToCp932(QStringLiteral("相手"));
    script.rawWhoList = WhoListBytes(4, {user, user}) + "EOF\r"; // four announced, two sent
    script.rawLaterWhoList = WhoListBytes(4, {}) + "EOF\r";
    script.titles[1][3].userId = "SOMEONE";
    // The second WHO is answered once the text priority was clicked while the client waits.
    TBOlcClientForm *client = nullptr;
    std::promise<void> clicked;
    script.onCommand = [&, whoLists = 0](const QByteArray &command) mutable {
        if (command != "WHO" || ++whoLists != 2)
            return;
        plat::PostToGuiThread([&] { client->ui->TextOnlyCheckBox->click(); clicked.set_value(); });
        clicked.get_future().wait_for(std::chrono::seconds(20));
    };
    FakeOlcServer olc(script);
    TBOlcClientForm *w = client = openGen();
    ASSERT_TRUE(w);
    // NEWS entered last, so the server lists NEWS; back in GEN the titles come from the store.
    w->ui->MsgsGrid->setCurrentCell(0, 0); // the row NEWS selects first
    for (int board : {1, 0}) {
        click(w->ui->SwitchButton);
        w->ui->BoardGrid->setCurrentCell(board, 0);
        click(w->ui->SwitchButton);
    }
    EXPECT_EQ(w->CacheOf(2)->SelectedNumber, 1);
    w->ui->MsgsGrid->setCurrentCell(2, 0);
    click(w->ui->OptButton);
    EXPECT_EQ(w->ui->MesNumEdit->text() + w->ui->TitleEdit->text(), QStringLiteral("00003title 1-3"));
    // A number typed picks only the user's own messages, also from a server on this machine.
    enter(w->ui->MesNumEdit, QStringLiteral("4"));
    EXPECT_EQ(w->ui->MesNumEdit->text(), QStringLiteral("00003"));
    QTest::keyClick(w->ui->ReplyEdit, Qt::Key_Return); // left unchanged
    EXPECT_EQ(status(w), QStringLiteral("Update Invalid !"));

    // Board settings go to the board table; the pointer holds while a reader is open.
    enter(w->ui->PWEdit, QStringLiteral("secret"));
    enter(w->ui->TopBiasEdit, QStringLiteral("3"));
    w->ui->TextOnlyCheckBox->click();
    std::vector<BoardRecord> table;
    ASSERT_TRUE(olc::LoadBoardTable(olc::ServerFolder(QStringLiteral("SRV")).boardTable(), table));
    EXPECT_EQ(table[1].BoardPassword, ConvertPassword("SECRET"));
    EXPECT_EQ(table[1].TopBias + table[1].TextPriority, 4);
    w->CacheOf(1)->ReaderCount = 1;
    enter(w->ui->PtrEdit, QStringLiteral("2"));
    EXPECT_EQ(status(w), QStringLiteral("On reading board. Cannot change pointer."));
    w->CacheOf(1)->ReaderCount = 0;
    enter(w->ui->PtrEdit, QStringLiteral("99"));
    EXPECT_EQ(Cell(w->ui->BoardGrid, 0, 4), QStringLiteral("00005")); // at most the newest message

    // DELETE toggles GEN's message 3, never NEWS's.
    click(w->ui->DeleteButton);
    EXPECT_EQ(Cell(w->ui->MsgsGrid, 2, 1), QStringLiteral("<<Deleted>>"));
    EXPECT_EQ(stored("GEN").Deleted, 1);
    EXPECT_EQ(stored("NEWS").Deleted, 0);
    click(w->ui->DeleteButton);
    EXPECT_EQ(status(w), QStringLiteral("Revival Success !"));
    EXPECT_EQ(stored("GEN").Deleted, 0);

    // UPDATE: a reply naming no older message is dropped; a link title and a
    // reply typed as its last digits; a long title cut on a character boundary.
    QTest::keyClicks(w->ui->ReplyEdit, QStringLiteral("9"));
    click(w->ui->UpdateButton);
    EXPECT_EQ(status(w), QStringLiteral("Update Invalid !"));
    const QString link = QStringLiteral("OLCP://10.0.0.1/KEY/GEN/GEN/1/");
    w->ui->TitleEdit->clear();
    QTest::keyClicks(w->ui->TitleEdit, link);
    QTest::keyClicks(w->ui->ReplyEdit, QStringLiteral("1"));
    click(w->ui->UpdateButton);
    EXPECT_EQ(status(w), QStringLiteral("Update Success !"));
    EXPECT_EQ(Cell(w->ui->MsgsGrid, 2, 4) + Cell(w->ui->MsgsGrid, 2, 5), QStringLiteral("*00001"));
    EXPECT_TRUE(stored("GEN").Flags & MessageRecord::LinkFlag);
    const QString cut(40, QChar(0x3042));
    w->ui->TitleEdit->clear();
    w->ui->TitleEdit->insert(cut + cut.left(1)); // 82 bytes
    click(w->ui->UpdateButton);
    const MessageRecord r = stored("GEN");
    EXPECT_EQ(r.Title + QString::number(r.ReplyTo + r.Flags), cut + QStringLiteral("1"));
    EXPECT_EQ(Cell(w->ui->MsgsGrid, 2, 1), cut);

    // WHO: two users, the rest of the announced rows empty and starting nothing.
    click(w->ui->OptButton);
    ASSERT_EQ(w->ui->UserGrid->rowCount(), 4);
    EXPECT_EQ(Cell(w->ui->UserGrid, 0, 0) + Cell(w->ui->UserGrid, 0, 1) + Cell(w->ui->UserGrid, 0, 6),
              QStringLiteral("TCP300000121    "));
    w->ui->UserGrid->setCurrentCell(3, 0);
    click(w->ui->PostButton);
    EXPECT_EQ(ChannelStates[1], 0);
    // A TEL to the first user, whose host answers on its own address.
    QByteArray handle;
    auto peer = FakePeer::listen(
        [&](FakePeer &p) {
            handle = ReadOlcpLogin(p, "OLCP303").handle;
            p.sendLine("ACK\rACK\r");
            EXPECT_EQ(p.expectLine(), "OFF\r");
        },
        8011, QStringLiteral("127.0.0.2"));
    w->ui->UserGrid->setCurrentCell(0, 0);
    click(w->ui->PostButton);
    QPointer<TBSendTelegramForm> tel(ShownSendWindow());
    ASSERT_TRUE(tel);
    EXPECT_EQ(tel->ui->MemoLabel->text(), QStringLiteral("相手 <OLC>"));
    click(tel->ui->SendButton); // nothing typed: the window closes
    ASSERT_TRUE(WaitUntil([&] { return !tel; }));
    peer->wait();
    EXPECT_EQ(handle, "me <OLC>");
    // A second WHO that ends at once leaves no row of the first; text priority clicked meanwhile holds.
    click(w->ui->OptButton);
    EXPECT_EQ(Cell(w->ui->UserGrid, 0, 0) + Cell(w->ui->UserGrid, 0, 2), QString());
    EXPECT_TRUE(w->ui->TextOnlyCheckBox->isChecked() && w->ui->TextOnlyCheckBox->text() == QLatin1String("ON"));
    // Leaving the panel gives Title back; the next entry brings the new password and bias.
    click(w->ui->SwitchButton);
    EXPECT_TRUE(w->ui->TitleButton->isEnabled());

    QPointer<TBOlcClientForm> window(w);
    w->close();
    ASSERT_TRUE(WaitUntil([&] { return !window; }));
    olc.peer().wait();
    EXPECT_EQ(olc.commands(), (QList<QByteArray>{"LOGON", "BOARD", "ENTER 1  0", "ENTER 2  0", "REENT 1",
                                                 "DELETE 1 3", "DELETE 1 3", "UPDATE 1 3 " + link.toLatin1() + " 1",
                                                 "UPDATE 1 3 " + plat::ToCp932(cut) + " -1", "WHO", "WHO",
                                                 "ENTER 1 " + ConvertPassword("SECRET") + " 2", "OFF"}));
}

TEST_F(OlcOptionTest, HostileWhoAndMaintenanceAnswersNeitherHangNorTouchTheIndex)
{
    struct Case {
        const char *what;
        QByteArray who, reply; // a raw WHO list (then WHO is asked); the DELETE/UPDATE answer
        const char *title;     // null: DELETE, else UPDATE to this title
        const char *status;    // null: the server hangs up and the window closes
        int whoRows = 0;
        bool unstored = false; // the index loses the record first
    };
    const Case cases[] = {
        {"negative count", WhoListBytes(-5, {}), {}, nullptr, ""},
        {"huge count, EOF at once", WhoListBytes(2000000000, {}) + "EOF\r", {}, nullptr, "", 10000},
        {"list cut inside a row", WhoListBytes(2, {OlcWhoLine{}}).left(20), {}, nullptr, nullptr},
        {"DELETE refused", {}, "NAK\r", nullptr, "Delete Failure !"},
        {"DELETE answered by a hang-up", {}, {}, nullptr, nullptr},
        {"UPDATE refused", {}, "ERR\r", "new", "Update Failure !"},
        {"UPDATE to an empty title", {}, "ACK\r", "", "Update Invalid !"},
        {"DELETE of a record gone", {}, "ACK\r", nullptr, "Delete Failure !", 0, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        OlcServerScript script = TwoBoards();
        script.rawWhoList = c.who;
        script.maintenanceReply = c.reply;
        script.hangUpAfterReply = !c.status;
        FakeOlcServer olc(script);
        QPointer<TBOlcClientForm> w(openGen());
        ASSERT_TRUE(w);
        plat::RecordFile index(olc::ServerFolder(QStringLiteral("SRV")).boardIndex(QStringLiteral("GEN")),
                               MessageRecord::Size);
        ASSERT_TRUE(!c.unstored || (index.open() && index.truncate(3)));
        const MessageRecord before = stored("GEN");
        click(w->ui->OptButton);
        if (c.title) {
            QTest::keyClicks(w->ui->TitleEdit, QStringLiteral("x"));
            w->ui->TitleEdit->setText(QString::fromLatin1(c.title));
            click(w->ui->UpdateButton);
        } else {
            click(!c.who.isEmpty() ? w->ui->OptButton : w->ui->DeleteButton);
        }
        if (c.status) {
            EXPECT_EQ(status(w), QString::fromLatin1(c.status));
            EXPECT_EQ(w->ui->UserGrid->rowCount(), c.whoRows);
            w->close();
        }
        EXPECT_TRUE(WaitUntil([&] { return !w; }));
        EXPECT_EQ(stored("GEN"), before);
        olc.peer().wait();
        // Refused before the wire: only the close follows the listing.
        if ((c.title && !*c.title) || c.unstored) {
            EXPECT_EQ(olc.commands().mid(3), QList<QByteArray>{"OFF"});
        }
    }
}

} // namespace
