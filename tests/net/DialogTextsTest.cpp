// Every dialog of the program as a user meets it: the password dialogs of
// each window, the folder and application dialogs and the message boxes,
// each opened by what opens it in the program, its caption and text read
// against what the program says there.
#include "core/BCommon.h"
#include "core/BConfig.h"
#include "core/BHostlst.h"
#include "core/BLookup.h"
#include "core/BPasswrd.h"
#include "core/BRegistr.h"
#include "core/BViewlst.h"
#include "olc/BOlcCli.h"
#include "platform/FreeOnTerminateThread.h"
#include "support/FakeAccountServer.h"
#include "support/FakeOlcServer.h"
#include "support/MainWindow.h"
#include "support/StayHolder.h"
#include "support/TempEnv.h"
#include "support/Typing.h"
#include "support/Wait.h"
#include "tel/BAccCli.h"
#include "tel/BAccLst.h"
#include "tel/BSendTel.h"
#include "ui_BAccCli.h"
#include "ui_BConfig.h"
#include "ui_BHostlst.h"
#include "ui_BLookup.h"
#include "ui_BOlcCli.h"
#include "ui_BPasswrd.h"
#include "ui_BViewlst.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <deque>
#include <functional>

using namespace testsupport;

namespace {

// A dialog as it showed: its caption (null: not checked) and its text (a
// password dialog's label, a message box's text). answer is typed into a
// password dialog and confirmed, or "Yes" to a message box; without one
// the dialog is cancelled.
struct Dialog {
    Dialog(const QString &caption, const QString &text, const QString &answer = {})
        : caption(caption), text(text), answer(answer)
    {
    }
    QString caption, text, answer;
};

// Reads each modal dialog as it comes up and answers it.
class DialogReader {
public:
    DialogReader()
    {
        QObject::connect(&timer_, &QTimer::timeout, [this] { read(); });
        timer_.start(5);
    }
    void expect(const std::vector<Dialog> &dialogs)
    {
        expected_.assign(dialogs.begin(), dialogs.end());
        seen.clear();
    }
    std::vector<Dialog> seen;

private:
    void read()
    {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal || modal == last_)
            return;
        last_ = modal;
        const QString answer = expected_.empty() ? QString() : expected_.front().answer;
        if (!expected_.empty())
            expected_.pop_front();
        auto *box = qobject_cast<QMessageBox *>(modal);
        auto *password = qobject_cast<TBPasswordDlg *>(modal);
        seen.push_back({modal->windowTitle(), box ? box->text() : password ? password->ui->EnterLabel->text() : QString()});
        // The caption says what is asked: the title bar has room for all of it.
        if (password) {
            EXPECT_GT(modal->width(), modal->fontMetrics().horizontalAdvance(modal->windowTitle()))
                << modal->windowTitle().toStdString();
        }
        if (password && !answer.isEmpty()) {
            TypeText(password->ui->Password, answer);
            password->ui->OKBtn->click();
        } else if (box && !answer.isEmpty()) {
            box->button(QMessageBox::Yes)->click();
        } else {
            static_cast<QDialog *>(modal)->reject();
        }
    }

    std::deque<Dialog> expected_;
    QPointer<QWidget> last_;
    QTimer timer_;
};

// Closes a connection window and waits until it and its thread are gone.
bool CloseAndWait(QWidget *window)
{
    QPointer<QWidget> gone(window);
    window->close();
    return WaitUntil([&] { return !gone && plat::FreeOnTerminateThread::Running() == 0; });
}

class DialogTextsTest : public TempEnvTest {
protected:
    void SetUp() override
    {
        main = StartMainWindow(env);
        BConfigForm = new TBConfigForm();
        BHostListForm = new TBHostListForm();
        BAccountListForm = new TBAccountListForm();
        LoadHostList();
        target.IpAddress = QStringLiteral("127.0.0.1");
        target.HostName = QStringLiteral("peer");
        target.Handle = QStringLiteral("me");
        target.UserId = QStringLiteral("MYUSERID");
        target.OlcName = QStringLiteral("SRV");
        target.HostListIndex = AppendHostRecord(target);
        BHostListForm->FillHostGrid();
    }
    void TearDown() override
    {
        delete BAccountListForm;
        delete BHostListForm;
        delete BConfigForm;
        delete main;
    }

    // Presses one of the main window's connection buttons with target as the target.
    void press(QPushButton *button)
    {
        main->ui->HostNameEdit->setText(target.IpAddress);
        CurrentHost = target;
        main->LogTargetHost();
        button->click();
    }
    void hostOption(const char *item)
    {
        BHostListForm->ui->HostListGrid->selectRow(0);
        BHostListForm->PWPopupMenu->findChild<QAction *>(QLatin1String(item))->trigger();
    }

    TBLookupForm *main = nullptr;
    HostRecord target;
};

TEST_F(DialogTextsTest, EveryDialogSaysWhatItsWindowMeans)
{
    const QString password = QStringLiteral("Password Dialog Box"), account = QStringLiteral("ｱｶｳﾝﾄ･ﾊﾟｽﾜｰﾄﾞ");
    const QString accountCaption = account + QStringLiteral(" Dialog Box");
    const QString targets = QStringLiteral("ﾀｰｹﾞｯﾄﾎｽﾄの ");
    Ui::TBConfigForm *config = BConfigForm->ui.get();
    struct Row {
        const char *what;
        std::function<void()> open;
        std::vector<Dialog> dialogs;
    };
    const std::vector<Row> rows = {
        {"the owner password before the TEL log",
         [&] {
             MySelfPW = StoredPasswordForm("owner");
             TapModifierAlone(main, Qt::Key_Shift);
             main->ui->TelButton->click();
         },
         {{password, QStringLiteral("ｵｰﾅｰ･ﾊﾟｽﾜｰﾄﾞ (8文字以内)")}}},
        {"changing the owner password",
         [&] {
             BConfigForm->show();
             QTest::mouseDClick(config->SelfPWEdit, Qt::LeftButton);
         },
         {{password, QStringLiteral("前のｵｰﾅｰ･ﾊﾟｽﾜｰﾄﾞ (8文字以内)"), QStringLiteral("owner")},
          {password, QStringLiteral("新しいｵｰﾅｰ･ﾊﾟｽﾜｰﾄﾞ (8文字以内)")}}},
        {"changing the TEL password",
         [&] {
             TELPW = StoredPasswordForm("tel");
             QTest::mouseDClick(config->TelPWEdit, Qt::LeftButton);
         },
         {{password, QStringLiteral("前のTEL･ﾊﾟｽﾜｰﾄﾞ (8文字以内)"), QStringLiteral("tel")},
          {password, QStringLiteral("新しいTEL･ﾊﾟｽﾜｰﾄﾞ (8文字以内)")}}},
        {"the TEL log folder", [&] { QTest::mouseDClick(config->TelegDirLabel, Qt::LeftButton); },
         {{QStringLiteral("Folder Dialog Box"), {}}}},
        {"a root folder not chosen", [&] { QTest::mouseDClick(config->OlcDirLabel, Qt::LeftButton); },
         {{QStringLiteral("Folder Dialog Box"), {}}, {{}, QStringLiteral("ﾙｰﾄﾃﾞｨﾚｸﾄﾘ の変更はできませんでした.")}}},
        {"a viewer application",
         [&] {
             BConfigForm->ViewerListForm->show();
             BConfigForm->ViewerListForm->ui->ReferenceButton->click();
         },
         {{QStringLiteral("Application Dialog Box"), {}}}},
        {"a host's user ID", [&] { hostOption("UserID"); },
         {{targets + QStringLiteral("Account UserID Dialog Box"), QStringLiteral("User ID (8文字以内)")}}},
        {"a host's OLC name", [&] { hostOption("OlcName"); },
         {{QStringLiteral("OLC Name Dialog Box"), targets + QStringLiteral("OLC Name (8文字以内)")}}},
        {"a host's TEL password", [&] { hostOption("TelPWMenu"); },
         {{targets + QStringLiteral("TEL Password Dialog Box"), QStringLiteral(" (8文字以内)")}}},
        {"a host's OLC password", [&] { hostOption("OlcPWMenu"); },
         {{targets + QStringLiteral("OLC Password Dialog Box"), QStringLiteral(" (8文字以内)")}}},
        {"a host's OLCP version", [&] { hostOption("OlcpVersion"); },
         {{targets + QStringLiteral("OLCP Version Dialog Box"), QStringLiteral("Version (8文字以内)")}}},
        {"a host's Remote Dish password", [&] { hostOption("RmtDishPW"); },
         {{targets + QStringLiteral("Remote Dish Password Dialog Box"), QStringLiteral(" (8文字以内)")}}},
        {"deleting a host",
         [&] {
             BHostListForm->ui->HostListGrid->selectRow(0);
             BHostListForm->ui->DeleteButton->click();
         },
         {{{}, QStringLiteral("Host: 127.0.0.1  <<peer>>  を本当に削除してもいいですか?")}}},
        {"the OLC logon",
         [&] {
             OlcServerScript script;
             script.logonReply = "NAK";
             FakeOlcServer olc(script);
             press(main->ui->OlcButton);
             ASSERT_TRUE(ShownWindow<TBOlcClientForm>());
             ShownWindow<TBOlcClientForm>()->ui->LogonButton->click();
             EXPECT_TRUE(CloseAndWait(ShownWindow<TBOlcClientForm>()));
         },
         {{accountCaption, account}}},
        {"the account client's Recv",
         [&] {
             auto server = FakePeer::listen(
                 [](FakePeer &p) {
                     AccountServerGreeting greeting;
                     greeting.userId = "MYUSERID";
                     OpenAccountServer(p, greeting);
                     EXPECT_EQ(p.expectLine(), "OFF\r");
                 },
                 8011);
             press(main->ui->AccountButton);
             ASSERT_TRUE(ShownWindow<TBAccountClientForm>());
             ShownWindow<TBAccountClientForm>()->ui->RecvButton->click();
             EXPECT_TRUE(CloseAndWait(ShownWindow<TBAccountClientForm>()));
         },
         {{accountCaption, account}}},
        {"a Stay TEL from the send window, and one held for this user",
         [&] {
             auto server = FakePeer::listen(
                 [](FakePeer &p) {
                     ReadOlcpLogin(p, "OLCP303");
                     p.sendLine("ACK\r");
                     p.sendLine("ACK\r");
                     ReadStayCommand(p, ConvertPassword("acct"));
                     EXPECT_EQ(p.expectLine(), "CAN\r");
                     EXPECT_EQ(p.expectLine(), "OFF\r");
                 },
                 8011);
             press(main->ui->TelButton);
             ASSERT_TRUE(ShownSendWindow());
             ShownSendWindow()->StayButton->click();
             EXPECT_TRUE(CloseAndWait(ShownSendWindow()));
             server.reset();
             auto holder = FakePeer::listen(
                 [](FakePeer &p) {
                     ReadOlcpLogin(p, "OLCP303");
                     p.sendLine("STAY\r");
                     EXPECT_EQ(p.expectLine(), "CAN\r");
                 },
                 8011);
             press(main->ui->TelButton);
             holder->wait();
         },
         {{accountCaption, account, QStringLiteral("acct")},
          {QStringLiteral("送信先ﾕｰｻﾞのID Dialog Box"), QStringLiteral("User ID")},
          {{}, QStringLiteral("Stay TEL が着信しています. ｱｶｳﾝﾄ･ﾊﾟｽﾜｰﾄﾞ の入力が必要です.\r\n今すぐ受信しますか?"),
           QStringLiteral("Yes")},
          {accountCaption, account}}},
    };
    DialogReader reader;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        reader.expect(row.dialogs);
        row.open();
        ASSERT_EQ(reader.seen.size(), row.dialogs.size());
        for (size_t i = 0; i < row.dialogs.size(); ++i) {
            if (!row.dialogs[i].caption.isNull()) {
                EXPECT_EQ(reader.seen[i].caption, row.dialogs[i].caption) << i;
            }
            EXPECT_EQ(reader.seen[i].text, row.dialogs[i].text) << i;
        }
    }
}

} // namespace
