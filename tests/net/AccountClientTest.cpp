// Account client windows started from the main window against a fake
// account server on port 8011: the new account, its update and refusal, the
// receive exchange with the password step, the two lists, and servers whose
// answers end the start. What the conversations leave on disk is checked byte
// for byte.
#include "core/BCommon.h"
#include "core/BHostlst.h"
#include "core/BLookup.h"
#include "core/BRegistr.h"
#include "platform/Cp932.h"
#include "platform/FreeOnTerminateThread.h"
#include "platform/RecordFile.h"
#include "support/FakeAccountServer.h"
#include "support/MainWindow.h"
#include "support/Modals.h"
#include "support/TempEnv.h"
#include "support/Wait.h"
#include "tel/AccountRecord.h"
#include "tel/BAccCli.h"
#include "tel/BAccLst.h"
#include "ui_BAccCli.h"
#include "ui_BAccLst.h"
#include "ui_BLookup.h"

#include <QApplication>
#include <QButtonGroup>
#include <QHeaderView>
#include <QPlainTextEdit>
#include <QPointer>
#include <QRadioButton>
#include <QStyle>
#include <QStatusBar>
#include <QTest>

#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace testsupport;

namespace {

constexpr quint16 OlcpPort = 8011;

TBAccountClientForm *ShownAccountWindow()
{
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (auto *account = qobject_cast<TBAccountClientForm *>(w); account && account->isVisible())
            return account;
    }
    return nullptr;
}

class AccountClientTest : public TempEnvTest {
protected:
    void SetUp() override
    {
        form = StartMainWindow(env);
        LoadHostList();
        BAccountListForm = new TBAccountListForm();
        BAccountListForm->InitAccountList();
        host.IpAddress = QStringLiteral("127.0.0.1");
        host.HostName = QStringLiteral("accounts");
        host.Memo = QStringLiteral("ｻｰﾊﾞ");
        host.Handle = QStringLiteral("me");
        host.HostListIndex = AppendHostRecord(host);
        ASSERT_GT(host.HostListIndex, 0);
    }
    void TearDown() override
    {
        if (TBAccountClientForm *w = ShownAccountWindow())
            w->close();
        EXPECT_TRUE(WaitUntil([] { return !ShownAccountWindow() && plat::FreeOnTerminateThread::Running() == 0; }));
        delete BAccountListForm;
        delete form;
    }

    TBAccountClientForm *pressAccount()
    {
        form->ui->HostNameEdit->setText(host.IpAddress);
        CurrentHost = host;
        form->LogTargetHost();
        QTest::mouseClick(form->ui->AccountButton, Qt::LeftButton);
        return ShownAccountWindow();
    }
    static QString status(TBAccountClientForm *w) { return w->ui->AccStatusBar->currentMessage(); }
    QString accFile(const QString &id) const { return AccClientDirectory + QLatin1Char('/') + id + ".acc"; }
    static QByteArray fileBytes(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(missing)");
    }

    TBLookupForm *form = nullptr;
    HostRecord host;
};

TEST_F(AccountClientTest, ANewAccountIsSentSavedThenUpdatedAndARefusedUpdateChangesNothing)
{
    AccountServerGreeting greeting;
    greeting.fieldList = "PDAJCKM"; // any order; sent A to P
    QList<QByteArrayList> sent;
    auto server = FakePeer::listen(
        [&](FakePeer &p) {
            EXPECT_EQ(OpenAccountServer(p, greeting).command, "ACC");
            for (const QByteArray &verdict : {QByteArray("U0000001\rC\r"), QByteArray("U0000001\rC\r"),
                                              QByteArray("U0000001\rD\r"), QByteArray("NAK\r")}) {
                ReadAccountCommand(p, "SEND"); // authorized from the start: no password
                sent.append(ReadFieldLines(p, greeting.fieldList));
                p.sendLine(verdict);
            }
            EXPECT_EQ(p.expectLine(), "OFF\r");
        },
        OlcpPort);
    TBAccountClientForm *w = pressAccount();
    ASSERT_TRUE(w);
    EXPECT_EQ(w->windowTitle(), QStringLiteral("Ｋａｌｖｅｘ [ Account Client ]"));
    EXPECT_EQ(ChannelStates[0], 5);
    EXPECT_EQ(status(w), QStringLiteral("ｱｶｳﾝﾄの取得には,すべての項目に正しく入力して [Send]."));
    EXPECT_FALSE(w->ui->RecvButton->isEnabled());
    EXPECT_TRUE(w->ui->UserButton->isHidden());
    EXPECT_TRUE(w->ui->EditB->isHidden());  // not listed
    EXPECT_FALSE(w->ui->EditA->isHidden());
    EXPECT_EQ(w->focusWidget(), w->ui->EditA); // the first listed field
    EXPECT_TRUE(w->ui->RebootButton->isHidden());

    w->ui->EditA->setText(QStringLiteral("Taro"));
    w->ui->EditC->setText(QStringLiteral("ﾀﾛｰ"));
    w->ui->EditD->setText(QStringLiteral("secret7"));
    w->ui->EditK->setText(QStringLiteral("33"));
    w->ui->FemaleButton->setChecked(true);
    w->ui->EditP->setText(QStringLiteral("所属"));
    EXPECT_EQ(w->ui->EditD->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr, w->ui->EditD), '*');

    // The server saves the account, this program cannot: both are said, and nothing is listed.
    ASSERT_TRUE(QDir().mkpath(accFile(QStringLiteral("U0000001"))));
    QTest::mouseClick(w->ui->SendButton, Qt::LeftButton);
    EXPECT_EQ(status(w), QStringLiteral("ｱｶｳﾝﾄの登録/更新に成功しましたが, ﾛｰｶﾙへの保存に失敗しました."));
    EXPECT_EQ(fileBytes(AccountListFile).size(), 127);
    ASSERT_TRUE(QDir().rmdir(accFile(QStringLiteral("U0000001"))));

    // Sent again, it is saved here too.
    QTest::mouseClick(w->ui->SendButton, Qt::LeftButton);
    EXPECT_EQ(status(w), QStringLiteral("ｱｶｳﾝﾄの登録/更新に成功しました."));
    EXPECT_EQ(w->ui->IdLabel->text(), QStringLiteral("U0000001"));
    EXPECT_EQ(w->ui->LevelLabel->text(), QStringLiteral("C"));
    EXPECT_TRUE(w->ui->RecvButton->isEnabled());
    EXPECT_FALSE(w->ui->UserButton->isHidden());

    AccountRecord expected;
    expected.UserId = QStringLiteral("U0000001");
    expected.Level = 'C';
    expected.Text('A') = "Taro";
    expected.Text('C') = plat::ToCp932(QStringLiteral("ﾀﾛｰ"));
    expected.Text('D') = ConvertPassword("SECRET7");
    expected.Text('P') = plat::ToCp932(QStringLiteral("所属"));
    expected.Sex = 2;
    expected.Age = 33;
    const QByteArray accBytes = fileBytes(accFile(expected.UserId));
    EXPECT_EQ(accBytes.size(), 1024);
    EXPECT_EQ(accBytes, expected.encode());
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(accFile(expected.UserId)).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    // The Account.lst entry carries the server from the host list; the host gets the user ID and handle.
    AccountListRecord entry;
    entry.IpAddress = host.IpAddress;
    entry.HostName = host.HostName;
    entry.OlcpVersion = QStringLiteral("OLCP303");
    entry.UserId = expected.UserId;
    entry.Password = expected.Text('D');
    entry.Handle = QStringLiteral("ﾀﾛｰ");
    const QByteArray list = fileBytes(AccountListFile);
    ASSERT_EQ(list.size(), 2 * 127);
    EXPECT_EQ(list.mid(127), entry.encode());
    HostRecord listed;
    ASSERT_TRUE(ReadHostRecord(host.HostListIndex, listed));
    EXPECT_EQ(listed.UserId, expected.UserId);
    EXPECT_EQ(listed.Handle, QStringLiteral("ﾀﾛｰ"));
    EXPECT_EQ(CurrentHost.UserId, expected.UserId);
    EXPECT_EQ(BAccountListForm->ui->AccountListGrid->rowCount(), 1);

    // A second send updates the same entry, which is announced again; a refused one changes nothing.
    BAccountListForm->ui->AccountListGrid->item(0, 1)->setText(QStringLiteral("ACK"));
    w->ui->EditA->setText(QStringLiteral("Jiro"));
    QTest::mouseClick(w->ui->SendButton, Qt::LeftButton);
    const QByteArray updated = fileBytes(accFile(expected.UserId));
    EXPECT_EQ(updated[9], 'D');
    EXPECT_EQ(fileBytes(AccountListFile), list);
    EXPECT_EQ(BAccountListForm->ui->AccountListGrid->item(0, 1)->text(), QString());
    w->ui->EditA->setText(QStringLiteral("Saburo"));
    QTest::mouseClick(w->ui->SendButton, Qt::LeftButton);
    EXPECT_EQ(status(w), QStringLiteral("ｱｶｳﾝﾄの更新に失敗しました."));
    EXPECT_EQ(fileBytes(accFile(expected.UserId)), updated);
    EXPECT_EQ(fileBytes(AccountListFile).size(), 2 * 127);

    QPointer<TBAccountClientForm> window(w);
    w->close();
    ASSERT_TRUE(WaitUntil([&] { return !window; }));
    server->wait();
    EXPECT_EQ(server->error(), QString());
    EXPECT_EQ(ChannelStates[0], 0);
    ASSERT_EQ(sent.size(), 4);
    // A, C, D (transformed), J, K, M, P: in alphabetical order whatever the list's order.
    EXPECT_EQ(sent[0], (QByteArrayList{"Taro", plat::ToCp932(QStringLiteral("ﾀﾛｰ")), ConvertPassword("SECRET7"), "2",
                                       "33", "0", plat::ToCp932(QStringLiteral("所属"))}));
    EXPECT_EQ(sent[2][0], "Jiro");
}

TEST_F(AccountClientTest, AnExistingAccountIsReceivedBehindItsPasswordAndItsListsAreShownAndPrinted)
{
    AccountRecord stored;
    stored.UserId = QStringLiteral("U0000002");
    stored.Level = 'C';
    stored.Text('A') = "Old";
    ASSERT_TRUE(WriteAccountFile(stored));
    host.UserId = stored.UserId;
    AccountServerGreeting greeting;
    greeting.version = "OLCP212";
    greeting.userId = "U0000002";
    greeting.fieldList = "ABCDEFGHIJKLMNOP"; // every field: page 1 at its tallest
    const QByteArray password = ConvertPassword("pass1");
    auto server = FakePeer::listen(
        [&](FakePeer &p) {
            EXPECT_EQ(OpenAccountServer(p, greeting).userId, "U0000002");
            ReadAccountCommand(p, "RECV", ConvertPassword("bad99"), "NAK");
            ReadAccountCommand(p, "RECV", password);
            SendLines(p, {"NEW", "Hanako", "", "", password, "", "", "", "", "", "", "abc", "", "7", "", "", ""});
            SendVerdict(p, "U0000002", "C");
            ReadAccountCommand(p, "ENTER");
            SendList(p, {{"U0000003", plat::ToCp932(QStringLiteral("ｹﾝ")), "10.0.0.3", "2026/12/01", "Tel"}, {"U0000004", "Ann", "10.0.0.4", "x", ""}});
            ReadAccountCommand(p, "WHO");
            SendList(p, {{"*", "U0000002", "Hanako", "hanako.yamada@example.org", "2026/12/01 12:34:56"}});
            EXPECT_EQ(p.expectLine(), "OFF\r");
        },
        OlcpPort);
    TBAccountClientForm *w = pressAccount();
    ASSERT_TRUE(w);
    EXPECT_EQ(w->ui->EditA->text(), QStringLiteral("Old"));
    EXPECT_EQ(status(w), QStringLiteral("ﾃﾞｰﾀの更新には [Send], ｻｰﾊﾞ登録内容の確認には [Recv]."));
    EXPECT_TRUE(w->ui->LogButton->isEnabled());  // C >= C
    EXPECT_TRUE(w->ui->UserButton->isEnabled()); // C >= B
    const QSize size = w->size(); // the two pages share it
    QTest::mouseClick(w->ui->PageButton, Qt::LeftButton);
    QCoreApplication::processEvents();
    QTest::mouseClick(w->ui->PageButton, Qt::LeftButton);
    EXPECT_EQ(w->size(), size);

    ModalAnswers answers;
    answers.then(QStringLiteral("TBPasswordDlg"), EnterPassword(QStringLiteral("bad99")))
        .then(QStringLiteral("TBPasswordDlg"), EnterPassword(QStringLiteral("pass1")));
    QTest::mouseClick(w->ui->RecvButton, Qt::LeftButton);
    EXPECT_EQ(status(w), QStringLiteral("ﾊﾟｽﾜｰﾄﾞが間違っています."));
    QTest::mouseClick(w->ui->RecvButton, Qt::LeftButton);
    EXPECT_TRUE(answers.done());
    EXPECT_EQ(status(w), QStringLiteral("ｻｰﾊﾞ保管のｱｶｳﾝﾄ情報を正しく受信しました."));
    EXPECT_EQ(w->ui->EditA->text(), QStringLiteral("Hanako")); // "NEW" skipped
    EXPECT_EQ(w->ui->EditK->text(), QString());                // "abc" is no age
    EXPECT_EQ(w->OsGroup->checkedId(), 7);
    EXPECT_EQ(w->ui->EditD->text(), QStringLiteral("pass1"));

    QTest::mouseClick(w->ui->LogButton, Qt::LeftButton);
    EXPECT_EQ(w->ui->LogButton->text(), QStringLiteral("Form"));
    EXPECT_FALSE(w->ui->SendButton->isEnabled());
    ASSERT_EQ(w->ui->LogGrid->rowCount(), 2);
    EXPECT_EQ(w->ui->LogGrid->item(0, 4)->text(), QStringLiteral("TEL"));
    EXPECT_EQ(w->ui->LogGrid->item(1, 4)->text(), QString());
    LogLebelNumber = ALPHA;
    QTest::mouseClick(w->ui->PrintButton, Qt::LeftButton);
    QCoreApplication::processEvents();
    EXPECT_TRUE(form->ui->LookupMemo->toPlainText().contains(
        QStringLiteral("U0000003: ｹﾝ                  : 10.0.0.3        : 2026/12/01")));
    QTest::mouseClick(w->ui->LogButton, Qt::LeftButton); // back, without traffic
    EXPECT_EQ(w->ui->LogButton->text(), QStringLiteral("Log"));
    EXPECT_TRUE(w->ui->SendButton->isEnabled());

    QTest::mouseClick(w->ui->UserButton, Qt::LeftButton);
    ASSERT_EQ(w->ui->UserGrid->rowCount(), 1);
    QCoreApplication::processEvents(); // the window makes room for every column
    EXPECT_LE(w->ui->UserGrid->horizontalHeader()->length(), w->ui->UserGrid->viewport()->width());
    EXPECT_EQ(w->ui->UserGrid->item(0, 0)->text(), QStringLiteral("    1"));
    EXPECT_EQ(w->ui->UserGrid->currentRow(), 0); // the user's own row

    QPointer<TBAccountClientForm> window(w);
    w->close();
    ASSERT_TRUE(WaitUntil([&] { return !window; }));
    server->wait();
    EXPECT_EQ(server->error(), QString());
}

// Servers whose greeting or answers end the start or the window; nothing is
// written for them.
TEST_F(AccountClientTest, HostileOrUnwillingServersEndTheStartOrTheWindowWithoutWritingAnything)
{
    struct Case {
        const char *name;
        FakePeer::Script script;
        const char *mainStatus; // the main window's status after a failed start; null: the window shows
    };
    const auto greeted = [](QByteArray userId) {
        return [userId](FakePeer &p) {
            AccountServerGreeting g;
            g.userId = userId;
            OpenAccountServer(p, g);
            p.stall();
        };
    };
    const Case cases[] = {
        {"user ID with a separator", greeted("../x"), "127.0.0.1 : Account not serviced ..."},
        {"user ID \"..\"", greeted(".."), "127.0.0.1 : Account not serviced ..."},
        {"user ID with a control character", greeted("a\x01z"), "127.0.0.1 : Account not serviced ..."},
        {"busy",
         [](FakePeer &p) {
             ReadOlcpLogin(p, "OLCP303");
             p.sendLine("ACK\rCAN\r");
         },
         "127.0.0.1 : Target Account Server Busy ..."},
        {"not serviced",
         [](FakePeer &p) {
             ReadOlcpLogin(p, "OLCP303");
             p.sendLine("ACK\rNAK\r");
         },
         "127.0.0.1 : Account not serviced ..."},
        {"below version 203", [](FakePeer &p) { p.expectLine(); p.sendLine("OLCP202\r"); p.stall(); },
         "127.0.0.1 : Account Invalid ..."},
        {"hangs up after the greeting's first line",
         [](FakePeer &p) {
             ReadOlcpLogin(p, "OLCP303");
             p.sendLine("ACK\rACK\r\r");
         },
         ""},
        {"unsafe user ID as the verdict",
         [](FakePeer &p) {
             OpenAccountServer(p, AccountServerGreeting());
             ReadAccountCommand(p, "SEND");
             ReadFieldLines(p, "ABCDEFGHIJKLMNOP");
             SendVerdict(p, "..", "Z");
             p.stall();
         },
         nullptr},
        {"hangs up in the middle of the verdict",
         [](FakePeer &p) {
             OpenAccountServer(p, AccountServerGreeting());
             ReadAccountCommand(p, "SEND");
             ReadFieldLines(p, "ABCDEFGHIJKLMNOP");
             p.sendLine("U0000009\r");
         },
         nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        form->ui->L_StatusBar->clearMessage();
        auto server = FakePeer::listen(c.script, OlcpPort);
        TBAccountClientForm *w = pressAccount();
        if (c.mainStatus) {
            EXPECT_FALSE(w);
            if (*c.mainStatus) {
                QCoreApplication::processEvents();
                EXPECT_EQ(form->ui->L_StatusBar->currentMessage(), QString::fromUtf8(c.mainStatus));
            }
        } else {
            ASSERT_TRUE(w);
            QPointer<TBAccountClientForm> window(w);
            QTest::mouseClick(w->ui->SendButton, Qt::LeftButton);
            if (window && window->isVisible()) // refused: the window stays until closed
                EXPECT_EQ(status(w), QStringLiteral("ｱｶｳﾝﾄの新規登録に失敗しました."));
            else
                EXPECT_TRUE(WaitUntil([&] { return !window; }));
            if (window)
                window->close();
            EXPECT_TRUE(WaitUntil([&] { return !window; }));
        }
        server.reset();
        EXPECT_TRUE(WaitUntil([] { return ChannelStates[0] == 0 && plat::FreeOnTerminateThread::Running() == 0; }));
        EXPECT_TRUE(QDir(AccClientDirectory).entryList({QStringLiteral("*.acc")}).isEmpty());
        EXPECT_EQ(fileBytes(AccountListFile).size(), 127);
    }
}

} // namespace
