// The main window at work: the host lookup and its buttons, the Shift
// actions, the receive lock behind the owner password, the unread counter,
// the connection start on a channel, Save Log, the auto close, the X button
// and the time query.
#include "core/BCommon.h"
#include "core/BConfig.h"
#include "core/BEditor.h"
#include "core/BHostlst.h"
#include "core/BLookup.h"
#include "core/BPasswrd.h"
#include "core/BRegistr.h"
#include "core/BTcpServ.h"
#include "core/RichView.h"
#include "olc/BOlcLog.h"
#include "platform/FreeOnTerminateThread.h"
#include "platform/Help.h"
#include "platform/WinMessages.h"
#include "platform/WinSock.h"
#include "support/MainWindow.h"
#include "support/TempEnv.h"
#include "support/Typing.h"
#include "support/Wait.h"
#include "tel/BRecvTel.h"
#include "tel/BTelLog.h"
#include "tel/BTelServ.h"
#include "ui_BEditor.h"
#include "ui_BLookup.h"
#include "ui_BPasswrd.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QKeyEvent>
#include <QUrl>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPointer>
#include <QScrollBar>
#include <QStatusBar>
#include <QTest>
#include <QTimer>

#include <netinet/in.h>
#include <thread>

using testsupport::TempEnvTest;

namespace {

using testsupport::WaitUntil;

// Runs answer on the next modal dialog once it is up.
template <typename Dialog, typename Answer>
void AnswerModal(Answer answer)
{
    auto *poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, answer] {
        if (auto *dialog = qobject_cast<Dialog *>(QApplication::activeModalWidget())) {
            poll->deleteLater();
            answer(dialog);
        }
    });
    poll->start(5);
}

class LookupWindowTest : public TempEnvTest {
protected:
    void SetUp() override
    {
        form = testsupport::StartMainWindow(env);
        ui = form->ui.get();
    }
    void TearDown() override
    {
        delete form;
    }
    QString memo() const { return ui->LookupMemo->toPlainText(); }
    QString status() const { return ui->L_StatusBar->currentMessage(); }
    bool hostButtonsEnabled() const
    {
        return ui->TelButton->isEnabled() && ui->OlcButton->isEnabled() && ui->AccountButton->isEnabled() &&
               ui->OriginButton->isEnabled();
    }
    bool hostButtonsDisabled() const
    {
        return !ui->TelButton->isEnabled() && !ui->OlcButton->isEnabled() && !ui->AccountButton->isEnabled() &&
               !ui->OriginButton->isEnabled();
    }
    // A target as the host list would name it, with the host buttons enabled.
    void setTarget(const QString &version)
    {
        ui->HostNameEdit->setText(QStringLiteral("peer"));
        CurrentHost.IpAddress = QStringLiteral("10.1.2.3");
        CurrentHost.HostName = QStringLiteral("peer");
        CurrentHost.OlcName = QStringLiteral("PeerOlc");
        CurrentHost.Handle = QStringLiteral("me");
        CurrentHost.OlcpVersion = version;
        form->LogTargetHost();
    }
    void pressShift() { testsupport::TapModifierAlone(form, Qt::Key_Shift); }

    TBLookupForm *form = nullptr;
    Ui::TBLookupForm *ui = nullptr;
};

TEST_F(LookupWindowTest, TheLogShowsItsNewestLineUnlessScrolledUp)
{
    QScrollBar *bar = ui->LookupMemo->verticalScrollBar();
    const auto lines = [](const char *text) {
        for (int i = 0; i < 60; ++i)
            WriteLog(ZERO, QLatin1String(text));
        QCoreApplication::processEvents();
    };
    // Lines written while the window starts up, then more once it shows.
    form->hide();
    lines("during start-up");
    form->FormShow();
    QCoreApplication::processEvents();
    ASSERT_GT(bar->maximum(), 0);
    EXPECT_EQ(bar->value(), bar->maximum());
    lines("after start-up");
    EXPECT_EQ(bar->value(), bar->maximum());
    // Scrolled up by the user, the view stays; back at the end, it follows again.
    bar->triggerAction(QAbstractSlider::SliderToMinimum);
    lines("while scrolled up");
    EXPECT_EQ(bar->value(), 0);
    bar->triggerAction(QAbstractSlider::SliderToMaximum);
    lines("back at the end");
    EXPECT_EQ(bar->value(), bar->maximum());
}

TEST_F(LookupWindowTest, LookingUpLoopbackAnnouncesTheTargetAndAnEditDisablesTheButtonsAgain)
{
    const auto entry = plat::GetHostByAddr(plat::inet_addr(QStringLiteral("127.0.0.1")));
    const QString name = entry ? entry->officialName : QStringLiteral("127.0.0.1");
    QTest::keyClicks(ui->HostNameEdit, QStringLiteral("127.0.0.1"));
    QTest::keyClick(ui->HostNameEdit, Qt::Key_Return);
    ASSERT_TRUE(WaitUntil([&] { return hostButtonsEnabled(); }));

    const QString expected = QStringLiteral("===========================\n127.0.0.1\n---------------------------\n") +
                             (entry ? QStringLiteral("Host name & Alias list\n* ") + name +
                                          QStringLiteral("\nAddress type   = 2\nAddress length = 4\n"
                                                         "Host IP address list\n# 127.0.0.1\n")
                                    : QStringLiteral("*** gethostbyaddr *** Error code = "));
    EXPECT_TRUE(memo().contains(expected)) << memo().toStdString();
    EXPECT_TRUE(memo().contains(QStringLiteral("\nTarget Remote Host : [[ ") + name + QStringLiteral(" ]]")));
    EXPECT_EQ(CurrentHost.IpAddress, QStringLiteral("127.0.0.1"));
    EXPECT_EQ(CurrentHost.HostName, name);
    EXPECT_EQ(form->focusWidget(), ui->TelButton);

    QTest::keyClick(ui->HostNameEdit, Qt::Key_1);
    EXPECT_TRUE(hostButtonsDisabled());

    // An edit while a lookup runs makes its answer void.
    QTest::keyClick(ui->HostNameEdit, Qt::Key_Return);
    QTest::keyClick(ui->HostNameEdit, Qt::Key_Backspace);
    ASSERT_TRUE(WaitUntil([] { return plat::FreeOnTerminateThread::Running() == 0; }));
    QCoreApplication::processEvents();
    EXPECT_TRUE(hostButtonsDisabled());
    EXPECT_EQ(memo().count(QStringLiteral("Target Remote Host")), 1);
}

TEST_F(LookupWindowTest, AnUnknownNameIsLoggedAndLeavesTheButtonsDisabled)
{
    ui->HostNameEdit->setText(QStringLiteral("no-such-host.invalid"));
    QTest::mouseClick(ui->LookupButton, Qt::LeftButton);
    ASSERT_TRUE(WaitUntil([&] { return memo().contains(QStringLiteral("*** gethostbyname *** Error code = 110")); }));
    EXPECT_TRUE(hostButtonsDisabled());
    EXPECT_FALSE(memo().contains(QStringLiteral("Target Remote Host")));
}

TEST_F(LookupWindowTest, TheUnreadCounterShowsLParamPlusWParam)
{
    plat::SendWindowMessage(form, WaitingTelsMessage, 1, 3);
    EXPECT_EQ(ui->RecvNumLabel->text(), QStringLiteral("[ 4 ]"));
    plat::BroadcastToForms(WaitingTelsMessage, 0, 7);
    EXPECT_EQ(ui->RecvNumLabel->text(), QStringLiteral("[ 7 ]"));
}

TEST_F(LookupWindowTest, ThePeerVersionDecidesWhetherAConnectionStarts)
{
    EXPECT_TRUE(PeerVersionAppropriate(QString()));
    EXPECT_TRUE(PeerVersionAppropriate(QStringLiteral("OLCP201L")));
    EXPECT_FALSE(PeerVersionAppropriate(QStringLiteral("OLCP200L")));
    EXPECT_FALSE(PeerVersionAppropriate(QStringLiteral("OLCPxyzL")));
    EXPECT_FALSE(PeerVersionAppropriate(QStringLiteral("XLCP303L")));

    setTarget(QStringLiteral("OLCP200L"));
    for (QPushButton *button : {ui->TelButton, ui->OlcButton, ui->AccountButton}) {
        ui->L_StatusBar->clearMessage();
        QTest::mouseClick(button, Qt::LeftButton);
        EXPECT_EQ(status(), QStringLiteral("10.1.2.3 : OLCP Version not Appropriate ...")) << button->text().toStdString();
    }
    for (auto &state : ChannelStates)
        EXPECT_EQ(state, 0);
}

TEST_F(LookupWindowTest, OlcNeedsTheTargetsOlcNameAndYourHandleAndShiftOpensItsLog)
{
    setTarget(QString());
    CurrentHost.Handle.clear();
    QTest::mouseClick(ui->OlcButton, Qt::LeftButton);
    EXPECT_EQ(status(), QStringLiteral("*** Not setting Your Handle ***"));
    CurrentHost.OlcName.clear();
    QTest::mouseClick(ui->OlcButton, Qt::LeftButton);
    EXPECT_EQ(status(), QStringLiteral("*** Not setting Target Remote Host OLC-Name ***"));

    setTarget(QString());
    if (!BOlcLogForm)
        BOlcLogForm = new TBOlcLogForm();
    pressShift();
    QTest::mouseClick(ui->OlcButton, Qt::LeftButton);
    EXPECT_TRUE(BOlcLogForm->isVisible());
    EXPECT_TRUE(status().isEmpty());
    BOlcLogForm->hide();
    for (auto &state : ChannelStates)
        EXPECT_EQ(state, 0);
}

TEST_F(LookupWindowTest, WithEveryChannelTakenNothingStarts)
{
    setTarget(QString());
    for (auto &state : ChannelStates)
        state = 1;
    bool created = false;
    TelSendWindowKind.CreateWindow = [&](const HostRecord &) {
        created = true;
        return new QWidget;
    };
    TelSendWindowKind.StartThread = [](QWidget *, ConnectionStartReporter) {};
    QTest::mouseClick(ui->TelButton, Qt::LeftButton);
    EXPECT_EQ(status(), QStringLiteral("*** All Channels Busy! ***"));
    EXPECT_FALSE(created);
}

// A connection window kind whose client thread is a real thread doing what
// the test says: show the window, fail, or give up without a word.
class ConnectionStartTest : public LookupWindowTest {
protected:
    enum class Client { Shows, Fails, Vanishes, Waits };

    void TearDown() override
    {
        if (client.joinable())
            client.join();
        LookupWindowTest::TearDown();
    }
    ConnectionWindowKind kind(Client behaviour)
    {
        ConnectionWindowKind k{QStringLiteral("test window"), 1, {}, {}, {}};
        k.CreateWindow = [this](const HostRecord &host) {
            auto *w = new QWidget;
            w->setObjectName(QStringLiteral("TBSendTelegramForm"));
            new QLineEdit(w);
            windowHost = host;
            window = w;
            return w;
        };
        k.StartThread = [this, behaviour](QWidget *w, ConnectionStartReporter reporter) {
            client = std::thread([behaviour, target = QPointer<QWidget>(w), r = std::move(reporter), this]() mutable {
                if (behaviour == Client::Shows) {
                    plat::RunOnGuiThreadAndWait([target] {
                        if (target)
                            target->show();
                    });
                    r.Shown();
                } else if (behaviour == Client::Fails) {
                    r.Failed();
                } else if (behaviour == Client::Waits) {
                    waiting = std::make_unique<ConnectionStartReporter>(std::move(r));
                }
            });
        };
        k.FirstControl = [](QWidget *w) { return w->findChild<QLineEdit *>(); };
        return k;
    }

    std::thread client;
    QPointer<QWidget> window;
    HostRecord windowHost;
    std::unique_ptr<ConnectionStartReporter> waiting;
};

TEST_F(ConnectionStartTest, AShownWindowKeepsItsChannelAndHasTheFocus)
{
    ChannelStates[0] = 2;
    setTarget(QString());
    CurrentHost.ReplyFlag = 1;
    // Sending a TEL ends forward mode.
    ui->AutoreplyCheckBox->setText(QStringLiteral("Forward"));
    ui->AutoreplyCheckBox->setChecked(true);
    ForwardHost.IpAddress = QStringLiteral("10.9.9.9");
    TelSendWindowKind = kind(Client::Shows);
    QTest::mouseClick(ui->TelButton, Qt::LeftButton);

    ASSERT_TRUE(window);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->focusWidget(), window->findChild<QLineEdit *>());
    EXPECT_EQ(ChannelStates[1], 1);
    EXPECT_EQ(windowHost.Channel, 1);
    EXPECT_EQ(windowHost.ReplyFlag, 0);
    EXPECT_EQ(windowHost.IpAddress, QStringLiteral("10.1.2.3"));
    EXPECT_FALSE(ui->AutoreplyCheckBox->isChecked());
    EXPECT_EQ(ui->AutoreplyCheckBox->text(), QStringLiteral("Auto Reply"));
    EXPECT_EQ(ForwardHost, HostRecord{});
    delete window;
}

TEST_F(ConnectionStartTest, AFailedOrSilentlyEndedThreadFreesTheChannelAndTheWindow)
{
    for (Client behaviour : {Client::Fails, Client::Vanishes}) {
        EXPECT_EQ(StartConnectionWindow(kind(behaviour), CurrentHost, ui->L_StatusBar), ConnectionStartResult::Failed);
        client.join();
        EXPECT_EQ(ChannelStates[0], 0);
        ASSERT_TRUE(WaitUntil([&] { return !window; }));
    }
}

TEST_F(ConnectionStartTest, ClosingTheProgramDuringTheWaitEndsIt)
{
    QTimer::singleShot(0, form, [this] { form->ExitButtonClick(); });
    EXPECT_EQ(StartConnectionWindow(kind(Client::Waits), CurrentHost, ui->L_StatusBar),
              ConnectionStartResult::Abandoned);
    client.join();
    EXPECT_EQ(ChannelStates[0], 1); // the thread still owns it
    waiting.reset();
    EXPECT_EQ(ChannelStates[0], 0);
    ASSERT_TRUE(WaitUntil([&] { return !window; }));
}

TEST_F(LookupWindowTest, UncheckingLockOpensTheWaitingTelsBehindTheOwnerPassword)
{
    MySelfPW = ConvertPassword("secret");
    ui->LockCheckBox->setChecked(true);
    EXPECT_TRUE(ui->RecvNumLabel->isVisibleTo(form));

    // No TEL waiting: nothing to ask.
    ui->LockCheckBox->click();
    EXPECT_FALSE(BRecvTelegramForm->isVisible());

    WaitingTels = 2;
    for (const char *typed : {"wrong", "secret"}) {
        ui->LockCheckBox->setChecked(true);
        ui->AutoreplyCheckBox->setText(QString());
        ui->AutoreplyCheckBox->setChecked(true);
        ui->AutoreplyCheckBox->setText(QStringLiteral("Auto Reply"));
        QString title, label;
        AnswerModal<TBPasswordDlg>([&, typed](TBPasswordDlg *dialog) {
            title = dialog->windowTitle();
            label = dialog->ui->EnterLabel->text();
            QTest::keyClicks(dialog->ui->Password, QLatin1String(typed));
            QTest::mouseClick(dialog->ui->OKBtn, Qt::LeftButton);
        });
        ui->LockCheckBox->click();
        EXPECT_EQ(title, QStringLiteral("Password Dialog Box"));
        EXPECT_EQ(label, QStringLiteral("ｵｰﾅｰ･ﾊﾟｽﾜｰﾄﾞ (8文字以内)"));
        EXPECT_FALSE(ui->RecvNumLabel->isVisibleTo(form));
        EXPECT_FALSE(ui->AutoreplyCheckBox->isChecked());
        EXPECT_EQ(BRecvTelegramForm->isVisible(), QLatin1String(typed) == QLatin1String("secret")) << typed;
    }
}

TEST(PasswordDialog, TakesEightPrintableAsciiCharactersAndConvertsThem)
{
    QByteArray result;
    AnswerModal<TBPasswordDlg>([](TBPasswordDlg *dialog) {
        QTest::keyClicks(dialog->ui->Password, QStringLiteral("ab"));
        QKeyEvent accented(QEvent::KeyPress, 0, Qt::NoModifier, QStringLiteral("é"));
        QApplication::sendEvent(dialog->ui->Password, &accented);
        QTest::keyClicks(dialog->ui->Password, QStringLiteral(" cdefghijk"));
        QTest::keyClick(dialog->ui->Password, Qt::Key_Return);
    });
    EXPECT_TRUE(ShowPasswordDialog(nullptr, QStringLiteral("TEL"), QString(), result, false, QString(), QChar()));
    EXPECT_EQ(result, QByteArray("ab cdefg"));

    AnswerModal<TBPasswordDlg>([](TBPasswordDlg *dialog) {
        EXPECT_EQ(dialog->windowTitle(), QStringLiteral("TEL Dialog Box"));
        EXPECT_EQ(dialog->ui->Password->echoMode(), QLineEdit::Password);
        dialog->ui->OKBtn->click();
    });
    EXPECT_TRUE(ShowPasswordDialog(nullptr, QStringLiteral("TEL"), QStringLiteral(" key\t"), result, true, QString(),
                                   QLatin1Char('*')));
    EXPECT_EQ(result, ConvertPassword("key"));

    // A prefilled text keeps only what could have been typed.
    AnswerModal<TBPasswordDlg>([](TBPasswordDlg *dialog) { dialog->ui->OKBtn->click(); });
    EXPECT_TRUE(ShowPasswordDialog(nullptr, QString(), QStringLiteral("ｶﾅpä\rss~123456789"), result, false, QString(),
                                   QChar()));
    EXPECT_EQ(result, QByteArray("pss~1234"));

    AnswerModal<TBPasswordDlg>([](TBPasswordDlg *dialog) { dialog->ui->CancelBtn->click(); });
    EXPECT_FALSE(ShowPasswordDialog(nullptr, QString(), QStringLiteral("key"), result, true, QString(), QLatin1Char('*')));
    EXPECT_TRUE(result.isEmpty());
}

TEST_F(LookupWindowTest, ShiftArmsTheAlternateActionOfTheNextButtonOnly)
{
    EXPECT_FALSE(ui->TelButton->isEnabled());
    pressShift();
    EXPECT_TRUE(ui->TelButton->isEnabled());
    EXPECT_FALSE(ui->OlcButton->isEnabled()); // no target host name yet
    if (!BTelLogForm)
        BTelLogForm = new TBTelLogForm();
    QTest::mouseClick(ui->TelButton, Qt::LeftButton);
    EXPECT_TRUE(BTelLogForm->isVisible());
    BTelLogForm->hide();

    int exitCode = -1, reboots = 0;
    EndProcessNow = [&](int code) { exitCode = code; };
    RebootMachine = [&](QString &errorText) {
        ++reboots;
        errorText = QStringLiteral("Reboot failure  not allowed");
        return false;
    };
    ui->X_Button->setVisible(true);
    pressShift();
    QTest::mouseClick(ui->X_Button, Qt::LeftButton);
    EXPECT_EQ(reboots, 1);
    EXPECT_EQ(exitCode, -1);
    EXPECT_TRUE(memo().contains(QStringLiteral("Reboot failure  not allowed")));
    QTest::mouseClick(ui->X_Button, Qt::LeftButton);
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(reboots, 1);
}

TEST_F(LookupWindowTest, SaveLogAsksForTheFileAndStartsIt)
{
    ui->SaveCheckBox->setChecked(false);
    EXPECT_FALSE(LogToFile);

    AnswerModal<QFileDialog>([](QFileDialog *dialog) { dialog->reject(); });
    ui->SaveCheckBox->click();
    EXPECT_FALSE(ui->SaveCheckBox->isChecked());
    EXPECT_FALSE(LogToFile);

    const QString chosen = env.file(QStringLiteral("logs/mine"));
    QDir().mkpath(env.file(QStringLiteral("logs")));
    QStringList filters;
    AnswerModal<QFileDialog>([&](QFileDialog *dialog) {
        filters = dialog->nameFilters();
        EXPECT_EQ(dialog->defaultSuffix(), QStringLiteral("txt"));
        dialog->selectFile(chosen);
        static_cast<QDialog *>(dialog)->accept(); // QFileDialog keeps its own accept protected
    });
    ui->SaveCheckBox->click();
    EXPECT_EQ(filters, QStringList({QStringLiteral("Log files (*.txt, *.log) (*.txt *.log)"),
                                    QStringLiteral("すべてのﾌｧｲﾙ (*.*) (*)")}));
    EXPECT_TRUE(ui->SaveCheckBox->isChecked());
    EXPECT_TRUE(LogToFile);
    EXPECT_EQ(LogFileName, QStringLiteral("mine.txt"));
    EXPECT_EQ(LogDirectory, env.file(QStringLiteral("logs")));
    WriteLog(ZERO, QStringLiteral("after the start"));
    const QByteArray text = env.readFile(QStringLiteral("logs/mine.txt"));
    EXPECT_TRUE(text.startsWith("\r\n\r\nKalvex Log Start  << ")) << text.toStdString();
    EXPECT_TRUE(text.endsWith(" >>\r\n\r\nafter the start\r\n")) << text.toStdString();
}

TEST_F(LookupWindowTest, TheAutoCloseTimerWaitsForOtherWindowsThenCloses)
{
    AutoCloseSeconds = 60;
    QWidget other;
    other.setObjectName(QStringLiteral("BTelLogForm"));
    other.show();
    form->AutoCloseTimer->start(0);
    ASSERT_TRUE(WaitUntil([&] { return form->AutoCloseTimer->interval() == 60000; }));
    EXPECT_TRUE(memo().contains(QStringLiteral("***** Auto Close Timer  ")));
    EXPECT_TRUE(memo().contains(QStringLiteral(" [60] *****\nBTelLogForm")));
    EXPECT_FALSE(form->HasClosed());

    other.hide();
    form->AutoCloseTimer->start(0);
    ASSERT_TRUE(WaitUntil([&] { return form->HasClosed(); }));
    AutoCloseSeconds = 0;
}

// A time server on a loopback port of its own: reads the request, then plays
// its part.
class TimeServer {
public:
    explicit TimeServer(std::function<void(plat::SOCKET)> answer)
    {
        listener = plat::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int len = sizeof addr;
        plat::bind(listener, reinterpret_cast<sockaddr *>(&addr), len);
        plat::listen(listener, 1);
        plat::getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len);
        port = ntohs(addr.sin_port);
        thread = std::thread([this, answer] {
            const plat::SOCKET s = plat::accept(listener, nullptr, nullptr);
            char request[2] = {};
            if (plat::recv(s, request, 2, 0) == 2)
                this->request = QByteArray(request, 2);
            answer(s);
            plat::closesocket(s);
        });
    }
    ~TimeServer()
    {
        Finish();
        plat::closesocket(listener);
    }
    void Finish()
    {
        if (thread.joinable())
            thread.join();
    }
    plat::SOCKET listener;
    quint16 port = 0;
    QByteArray request;
    std::thread thread;
};

// The answer is received once: a short one still gives a time, its missing
// bytes taken as 0; a silent server is given up after TimeOutValue.
TEST_F(LookupWindowTest, TheTimeQueryLogsWhatOneReceiveBrings)
{
    const std::pair<QByteArray, const char *> cases[] = {
        {QByteArray("\xE0\x00\x00\x00", 4), "\nNetwork byte order = 000000E0\nHost PC byte order = E0000000\n"
                                           "\nInternet time = 2019/02/02 11:39:44  <Universal time>\nYour PC time  = "},
        {QByteArray("\xE0\x01", 2), "\nNetwork byte order = 000001E0\nHost PC byte order = E0010000\n"},
        {QByteArray(), "*** recv *** Error code = 10060"}, // silent
    };
    const qint32 savedTimeOut = std::exchange(TimeOutValue, 200);
    CurrentHost.IpAddress = QStringLiteral("127.0.0.1");
    CurrentHost.HostName = QStringLiteral("localhost");
    for (const auto &[answer, expected] : cases) {
        ui->LookupMemo->clear();
        TimeServer server([&answer = answer](plat::SOCKET s) {
            char byte; // the silent server holds the line open until the query gives up
            answer.isEmpty() ? plat::recv(s, &byte, 1, 0) : plat::send(s, answer.constData(), int(answer.size()), 0);
        });
        form->TimeServerPort = server.port;
        form->PopupMenu->findChild<QAction *>(QStringLiteral("Time"))->trigger();
        server.Finish();
        EXPECT_EQ(server.request, QByteArray("\r\n"));
        EXPECT_TRUE(memo().contains(QStringLiteral("Timeserver to    [[ localhost ]]")));
        EXPECT_TRUE(memo().contains(QLatin1String(expected))) << memo().toStdString();
        EXPECT_EQ(memo().contains(QStringLiteral("Internet time")), !answer.isEmpty());
    }
    TimeOutValue = savedTimeOut;
}

// Help and F1 open the page at the section of what has the focus (a window's
// help context number, else its class, unless a part names its own); a
// missing page is said in the status bar.
TEST_F(LookupWindowTest, HelpOpensThePageAtTheWindowsSection)
{
    env.writeFile(QStringLiteral("browser"), "#!/bin/sh\necho \"$1\" >> \"$0.txt\"\n");
    QFile::setPermissions(env.file(QStringLiteral("browser")), QFile::ReadOwner | QFile::ExeOwner);
    qputenv("BROWSER", env.file(QStringLiteral("browser")).toUtf8());
    env.writeFile(QStringLiteral("Kalvex.html"), "<html></html>");
    ApplicationHelpFile = env.file(QStringLiteral("Kalvex.hlp"));
    const QString page = QUrl::fromLocalFile(env.file(QStringLiteral("Kalvex.html"))).toString();
    QObject *helpKey = plat::InstallHelpKey(*qApp, ShowHelp);
    TRichView view;
    TBConfigForm config;
    TBEditorForm editor; // its text is a rich view without a help context of its own

    QTest::mouseClick(ui->HelpButton, Qt::LeftButton);
    for (QWidget *w : {static_cast<QWidget *>(ui->HostNameEdit), static_cast<QWidget *>(&view),
                       static_cast<QWidget *>(&config), static_cast<QWidget *>(editor.ui->SendRich->Rich())})
        QTest::keyClick(w, Qt::Key_F1);
    ASSERT_TRUE(WaitUntil([&] { return env.readFile(QStringLiteral("browser.txt")).count('\n') == 5; }));
    QStringList opened = QString::fromUtf8(env.readFile(QStringLiteral("browser.txt"))).split('\n', Qt::SkipEmptyParts);
    opened.sort(); // the browsers run side by side
    EXPECT_EQ(opened, QStringList({page + "#2200", page + "#5001", page + "#TBLookupForm", page + "#TBLookupForm",
                                   page + "#TRichView"}));
    EXPECT_EQ(form->focusWidget(), ui->HostNameEdit);

    QFile::remove(env.file(QStringLiteral("Kalvex.html")));
    QTest::keyClick(ui->HostNameEdit, Qt::Key_F1);
    EXPECT_EQ(status(), "*** Help File not Found : " + env.file(QStringLiteral("Kalvex.html")) + " ***");
    delete helpKey;
}

// The installed page has a section for every anchor that the program opens.
TEST(HelpPage, HasASectionForEveryWindow)
{
    QFile page(plat::HelpPagePath(QLatin1String(HelpFile)));
    ASSERT_TRUE(page.open(QIODevice::ReadOnly));
    const QByteArray html = page.readAll();
    for (const char *anchor : {"TBLookupForm", "TBHostListForm", "TBFingerForm", "2200", "TRichView", "TBSendTelegramForm",
                               "TBRecvTelegramForm", "TBTelLogForm", "4102", "4103", "TBAccountClientForm", "TBOlcClientForm",
                               "TBOlcReadForm", "TBOlcPostForm", "TBOlcLogForm", "5001", "TBViewerListForm", "TBPasswordDlg"})
        EXPECT_TRUE(html.contains(QByteArray("id=\"") + anchor + '"')) << anchor;
}

} // namespace
