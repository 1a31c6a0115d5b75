#include "core/BLookup.h"

#include "core/BCommon.h"
#include "core/BConfig.h"
#include "core/BEditor.h"
#include "core/BFinger.h"
#include "core/BHostlst.h"
#include "core/BPasswrd.h"
#include "core/BRegistr.h"
#include "core/BServer.h"
#include "core/BTcpServ.h"
#include "core/BUdpServ.h"
#include "olc/BOlcLog.h"
#include "platform/Cp932.h"
#include "platform/DayDate.h"
#include "platform/FreeOnTerminateThread.h"
#include "platform/Help.h"
#include "platform/ModifierKey.h"
#include "platform/WinMessages.h"
#include "platform/WinSock.h"
#include "tel/BAccLst.h"
#include "tel/BRecvTel.h"
#include "tel/BTelLog.h"
#include "tel/BTelServ.h"
#include "ui_BLookup.h"

#include <QApplication>
#include <QCloseEvent>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QHostAddress>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QNetworkInterface>
#include <QPointer>
#include <QProcess>
#include <QScrollBar>
#include <QStatusBar>
#include <QThread>
#include <QTimer>
#include <QtEndian>

#include <algorithm>
#include <climits>
#include <cstdlib>

std::recursive_mutex ConnectionLock;
std::recursive_mutex ReplySlotsLock;
std::recursive_mutex LogLock;
std::recursive_mutex HostListLock;
std::recursive_mutex AccountListLock;
std::recursive_mutex TelDataLock;
std::recursive_mutex TelTextLock;
std::recursive_mutex WaitingTelsLock;

std::atomic<std::uint8_t> StartingUp{0};
QString LocalHostName;
QStringList LocalAddresses;
unsigned OpenMessageId = 0, CloseMessageId = 0;
std::array<std::atomic<std::uint8_t>, ChannelCount> ChannelStates{};

TBLookupForm *BLookupForm = nullptr;


namespace {

template <typename Form>
void FreeWindow(Form *&window)
{
    delete window;
    window = nullptr;
}

} // namespace

std::function<void(int)> EndProcessNow = [](int exitCode) { std::_Exit(exitCode); };
std::function<bool(QString &)> RebootMachine = [](QString &errorText) {
    ExitWindowsWithPrivilege(ExitWindowsFlags::Reboot, errorText);
    return errorText.isEmpty();
};

QStringList GetNetworkCardAddress()
{
    constexpr int MaxAddresses = 10;
    QStringList addresses;
    for (const QNetworkInterface &card : QNetworkInterface::allInterfaces()) {
        for (const QNetworkAddressEntry &entry : card.addressEntries()) {
            const QHostAddress ip = entry.ip();
            if (ip.protocol() != QAbstractSocket::IPv4Protocol || ip.isLoopback() || ip == QHostAddress::AnyIPv4)
                continue;
            if (addresses.size() < MaxAddresses)
                addresses.append(ip.toString());
        }
    }
    return addresses;
}

// ---- connection start ------------------------------------------------------

namespace {

enum StartOutcome : int { Pending, ReportedShown, ReportedFailed };

int FirstFreeChannel()
{
    for (int c = 0; c < ChannelCount; ++c) {
        if (ChannelStates[static_cast<size_t>(c)] == 0)
            return c;
    }
    return -1;
}

void ShowStatus(QStatusBar *statusBar, const QString &text)
{
    if (statusBar)
        statusBar->showMessage(text);
}

bool ProgramClosing()
{
    return !BLookupForm || BLookupForm->HasClosed() || QCoreApplication::closingDown();
}

} // namespace

struct ConnectionStartReporter::State {
    explicit State(int channel) : Channel(channel) {}
    const int Channel;
    std::atomic<int> Outcome{Pending};
};

ConnectionStartReporter::ConnectionStartReporter(std::shared_ptr<State> state) : state_(std::move(state)) {}

ConnectionStartReporter::~ConnectionStartReporter()
{
    if (state_)
        Failed();
}

int ConnectionStartReporter::Channel() const
{
    return state_ ? state_->Channel : -1;
}

void ConnectionStartReporter::Shown()
{
    int pending = Pending;
    if (state_)
        state_->Outcome.compare_exchange_strong(pending, ReportedShown);
}

void ConnectionStartReporter::Failed()
{
    int pending = Pending;
    if (state_ && state_->Outcome.compare_exchange_strong(pending, ReportedFailed))
        ChannelStates[static_cast<size_t>(state_->Channel)] = 0;
}

namespace {

// Processes events until the start has an outcome. The window is held
// weakly: it may be destroyed by any handler that runs meanwhile.
ConnectionStartResult WaitForConnectionWindow(const ConnectionWindowKind &kind, QPointer<QWidget> &window,
                                              const ConnectionStartReporter::State &state)
{
    for (;;) {
        if (!window)
            return ConnectionStartResult::Abandoned;
        if (state.Outcome == ReportedShown || window->isVisible()) {
            if (QWidget *first = kind.FirstControl ? kind.FirstControl(window) : nullptr) {
                window->activateWindow();
                first->setFocus();
            }
            return ConnectionStartResult::Shown;
        }
        // A thread that frees its channel on its own has failed as well.
        if (state.Outcome == ReportedFailed || ChannelStates[static_cast<size_t>(state.Channel)] == 0) {
            window->deleteLater();
            return ConnectionStartResult::Failed;
        }
        if (ProgramClosing()) {
            window->deleteLater();
            return ConnectionStartResult::Abandoned;
        }
        QThread::msleep(1);
        QCoreApplication::processEvents();
    }
}

} // namespace

ConnectionStartResult StartConnectionWindow(const ConnectionWindowKind &kind, HostRecord &host, QStatusBar *statusBar)
{
    const int c = FirstFreeChannel();
    if (c < 0) {
        ShowStatus(statusBar, QStringLiteral("*** All Channels Busy! ***"));
        return ConnectionStartResult::AllChannelsBusy;
    }
    if (!kind.CreateWindow || !kind.StartThread) {
        ShowStatus(statusBar, QStringLiteral("*** The ") + kind.Name + QStringLiteral(" is not available yet ***"));
        return ConnectionStartResult::NotAvailable;
    }
    host.Channel = static_cast<std::uint8_t>(c);
    ChannelStates[static_cast<size_t>(c)] = kind.State;
    const auto state = std::make_shared<ConnectionStartReporter::State>(c);
    QPointer<QWidget> window;
    try {
        window = kind.CreateWindow(host);
        if (window) {
            window->hide();
            // Should the thread not start, its reporter is dropped: the start fails.
            kind.StartThread(window, ConnectionStartReporter(state));
        }
    } catch (const std::exception &e) {
        WriteLog(ALPHA, QStringLiteral("*** ") + kind.Name + QStringLiteral(" *** ") + QString::fromLocal8Bit(e.what()));
    } catch (...) {
        WriteLog(ALPHA, QStringLiteral("*** ") + kind.Name + QStringLiteral(" *** Unknown error"));
    }
    if (!window) {
        ConnectionStartReporter{state}.Failed();
        return ConnectionStartResult::Failed;
    }
    return WaitForConnectionWindow(kind, window, *state);
}

bool PeerVersionAppropriate(const QString &version)
{
    constexpr int OldestFitVersion = 201;
    if (version.isEmpty())
        return true;
    return version.startsWith(QLatin1String("OLCP")) && PeerVersionNumber(version) >= OldestFitVersion;
}

// ---- the main window: life cycle -------------------------------------------------

TBLookupForm::TBLookupForm(QWidget *parent)
    : QWidget(parent), ui(std::make_unique<Ui::TBLookupForm>()), PopupMenu(new QMenu(this)),
      AutoCloseTimer(new QTimer(this))
{
    ui->setupUi(this);
    PopupMenu->setObjectName(QStringLiteral("PopupMenu"));
    for (auto [name, caption] : {std::pair{"WsaData", "WSAdata"}, {"Finger", "Finger"}, {"Time", "TimeServer"}})
        PopupMenu->addAction(QLatin1String(caption))->setObjectName(QLatin1String(name));
    AutoCloseTimer->setObjectName(QStringLiteral("AutoCloseTimer"));
    ConnectHandlers();
    FormCreate();
}

TBLookupForm::~TBLookupForm()
{
    FormDestroy();
    if (BLookupForm == this)
        BLookupForm = nullptr;
}

// Windows Sockets, the host name and addresses, the registered messages.
// The critical sections are process-wide objects that exist from the start.
void TBLookupForm::FormCreate()
{
    BLookupForm = this;
    SetLogMemo(ui->LookupMemo);
    if (plat::WSAStartup(0x0101, &WsaData) != 0) {
        QMessageBox box(QMessageBox::NoIcon, QApplication::applicationName(),
                        QStringLiteral("Error! *** Could not load Windows Socket DLL\n\nPush [Exit]"), QMessageBox::Ok, this);
        box.exec();
        return;
    }
    SocketsStarted = true;
    RegistryRootKey = plat::RootKey::CurrentUser;
    RegistryKeyPath = QStringLiteral("Software\\ZK\\");
    char hostName[101] = {};
    plat::gethostname(hostName, static_cast<int>(sizeof hostName) - 1);
    LocalHostName = QString::fromLocal8Bit(hostName);
    LocalAddresses = GetNetworkCardAddress();
    OpenMessageId = plat::RegisterWindowMessage(QStringLiteral("Kalvex Open"));
    CloseMessageId = plat::RegisterWindowMessage(QStringLiteral("Kalvex Close"));
    // Times are always written "hh:mm:ss" (plat::FormatLongTime), whatever the locale.
}

// Shows the main window as saved: place, size and the state that start
// parameter G asks for (else the saved one).
void TBLookupForm::FormShow()
{
    ui->LookupLabel1->setText(QStringLiteral("Kalvex - Light"));
    PlaceFrame(QRect(MainPosition.Left, MainPosition.Top, MainPosition.Width, MainPosition.Height));
    const QString g = StartParameter('G');
    WindowState state = MainPosition.State;
    if (g.startsWith(QLatin1Char('1')))
        state = WindowState::Minimized;
    else if (g.startsWith(QLatin1Char('2')))
        state = WindowState::Maximized;
    setWindowState(state == WindowState::Minimized   ? Qt::WindowMinimized
                   : state == WindowState::Maximized ? Qt::WindowMaximized
                                                     : Qt::WindowNoState);
    ui->BottomPanel2->setVisible(false);
    ui->QueryButton->setVisible(true);
    ui->OlcpvLabel->setText(QLatin1String(OlcpVersionText));
    AlternateAction = 0;
    ExitRequested = 0;
    ForwardHost = HostRecord{}; // no forward target survives a restart
    // Shown for the first time, the log shows where its cursor is: at its end.
    ui->LookupMemo->moveCursor(QTextCursor::End);
    show();
    FitPendingFrame(); // a frame known as soon as the window exists
}

// The settings keep the outer rectangle: the frame goes to its place, and
// the window gets the size that makes its frame as large as asked. Before the
// window manager has framed the window the frame's size is unknown; the size
// is then fitted once the frame is known (FitPendingFrame).
void TBLookupForm::PlaceFrame(const QRect &outer)
{
    move(outer.topLeft());
    const QSize frame = frameGeometry().size() - geometry().size();
    resize(outer.size() - frame);
    PendingFrame.reset();
    if (frame == QSize(0, 0))
        PendingFrame = outer;
}

void TBLookupForm::FitPendingFrame()
{
    if (!PendingFrame || !isVisible() || windowState() != Qt::WindowNoState)
        return;
    const QSize frame = frameGeometry().size() - geometry().size();
    if (frame == QSize(0, 0))
        return; // not framed (yet)
    const QRect outer = *PendingFrame;
    PendingFrame.reset();
    resize(outer.size() - frame);
    move(outer.topLeft());
}

QRect TBLookupForm::OuterNormalRect() const
{
    const QRect client = normalGeometry().isValid() ? normalGeometry() : geometry();
    const QRect frame = frameGeometry(), inner = geometry();
    return client.adjusted(frame.left() - inner.left(), frame.top() - inner.top(), frame.right() - inner.right(),
                           frame.bottom() - inner.bottom());
}

bool TBLookupForm::FormCloseQuery()
{
    const bool mayClose = !(StartingUp && !ExitRequested);
    ExitRequested = 0;
    return mayClose;
}

void TBLookupForm::closeEvent(QCloseEvent *event)
{
    // A second request while the close sequence waits (or the auto-close timer
    // firing then) is ignored: the sequence runs once.
    if (Closing || !FormCloseQuery()) {
        event->ignore();
        return;
    }
    Closing = true;
    FormClose();
    event->accept();
    QApplication::quit();
}

void TBLookupForm::ExitButtonClick()
{
    ExitRequested = 1;
    close();
}

void TBLookupForm::FormClose()
{
    const QDateTime now = QDateTime::currentDateTime();
    WriteLog(ZERO, QStringLiteral("\r\n***** Kalvex Close *****  ") + plat::FormatShortDate(now) + QLatin1Char(' ') +
                       plat::FormatLongTime(now));
    plat::CloseHelp();
    SaveSettingsReported();
    if (BAccountListForm)
        BAccountListForm->SendQuitToAccounts();
    CloseServerSockets();
    WaitForServerThreads();
    CloseConnectionWindows();
    FreeWindow(BRecvTelegramForm);
    FreeWindow(BOlcLogForm);
    FreeWindow(BTelLogForm);
}

// Closing wakes every thread blocked on these sockets (the socket layer shuts
// them down), so each conversation fails and each server chain ends. A time
// or finger query still waiting for its answer ends the same way.
void TBLookupForm::CloseServerSockets()
{
    if (BFingerForm)
        BFingerForm->BreakQuery();
    CloseAllConnections();
    CloseFollowUpSockets();
    for (plat::SOCKET *s : {&TcpServerSocket, &UdpServerSocket, &CgiSocket, &TimeSocket}) {
        if (*s != plat::INVALID_SOCKET)
            plat::closesocket(*s);
    }
    TimeSocket = plat::INVALID_SOCKET;
}

// Waits, keeping the windows alive, until both server chains have ended and
// no accepted connection remains; after CloseWaitLimitMs it logs what is
// still running and ends anyway, so closing can never hang for ever.
void TBLookupForm::WaitForServerThreads()
{
    QElapsedTimer waited;
    waited.start();
    while (TcpServerAlive || UdpServerAlive || ConnectionCount > 0 || plat::FreeOnTerminateThread::Running() > 0) {
        if (waited.elapsed() > CloseWaitLimitMs) {
            WriteLog(ALPHA,
                     QStringLiteral("*** Close : still alive after %1 s : TCP server %2, UDP server %3, connections %4, threads %5")
                         .arg(CloseWaitLimitMs / 1000)
                         .arg(int(TcpServerAlive))
                         .arg(int(UdpServerAlive))
                         .arg(int(ConnectionCount))
                         .arg(plat::FreeOnTerminateThread::Running()));
            return;
        }
        QThread::msleep(1);
        QApplication::processEvents();
    }
}

// The open TEL send, OLC client and account client windows close on this message.
void TBLookupForm::CloseConnectionWindows()
{
    static const QStringList kinds = {QStringLiteral("TBSendTelegramForm"), QStringLiteral("TBOlcClientForm"),
                                      QStringLiteral("TBAccountClientForm")};
    // A window may go away while another handles the message: hold them weakly.
    QList<QPointer<QWidget>> windows;
    for (QWidget *w : QApplication::topLevelWidgets())
        windows.append(w);
    for (const QPointer<QWidget> &w : windows) {
        if (w && kinds.contains(QLatin1String(w->metaObject()->className())))
            plat::SendWindowMessage(w, CloseWindowsMessage, 0, 0);
    }
}

void TBLookupForm::FormDestroy()
{
    plat::PostBroadcastMessage(QStringLiteral("Kalvex Close"), 0, 0);
    LocalAddresses.clear();
    SetLogMemo(nullptr);
    if (SocketsStarted)
        plat::WSACleanup();
}

// ---- the main window: handlers ------------------------------------------------------

namespace {

constexpr char AutoReplyCaption[] = "Auto Reply";
constexpr char ForwardCaption[] = "Forward";
constexpr char OwnerPasswordLabel[] = "ｵｰﾅｰ･ﾊﾟｽﾜｰﾄﾞ (8文字以内)";

// The host list and finger windows' components that this window fills come
// with those windows' own code; they are reached by their names, and left
// alone while a window does not have them.
template <typename Widget>
Widget *ComponentOf(QWidget *window, const char *name)
{
    return window ? window->findChild<Widget *>(QLatin1String(name)) : nullptr;
}

template <typename Widget, typename Action>
void WithComponent(QWidget *window, const char *name, Action action)
{
    if (Widget *w = ComponentOf<Widget>(window, name))
        action(w);
}

void SetHostListEdit(const char *name, const QString &text)
{
    WithComponent<QLineEdit>(BHostListForm, name, [&](QLineEdit *edit) { edit->setText(text); });
}

void SetCaption(QCheckBox *box, const char *caption, const QColor &colour)
{
    box->setText(QLatin1String(caption));
    QPalette palette = box->palette();
    palette.setColor(QPalette::WindowText, colour);
    palette.setColor(QPalette::ButtonText, colour);
    box->setPalette(palette);
}

void ShowInFront(QWidget *window)
{
    if (!window)
        return;
    window->show();
    window->raise();
    window->activateWindow();
}

QString DateTimeText(const QDateTime &dt)
{
    return plat::FormatShortDate(dt) + QLatin1Char(' ') + plat::FormatLongTime(dt);
}

} // namespace

void TBLookupForm::ConnectHandlers()
{
    // The log shows its newest line while its view is at the end; a user who
    // scrolls up keeps the view where it is until scrolling back down.
    QScrollBar *logBar = ui->LookupMemo->verticalScrollBar();
    connect(logBar, &QScrollBar::valueChanged, this,
            [this, logBar](int value) { FollowLog = value == logBar->maximum(); });
    connect(logBar, &QScrollBar::rangeChanged, this, [this, logBar](int, int maximum) {
        if (FollowLog)
            logBar->setValue(maximum);
    });
    connect(ui->HostNameEdit, &QLineEdit::textChanged, this, &TBLookupForm::HostNameEditChange);
    // HostNameEditKeyPress: Enter runs the lookup, and the edit keeps the key.
    connect(ui->HostNameEdit, &QLineEdit::returnPressed, this, &TBLookupForm::LookupHost);
    // The check boxes' handlers run whenever their state changes, also when
    // the program changes it (start-up and the other handlers rely on that).
    connect(ui->SaveCheckBox, &QCheckBox::toggled, this, &TBLookupForm::SaveCheckBoxClick);
    connect(ui->AutoreplyCheckBox, &QCheckBox::toggled, this, &TBLookupForm::AutoreplyCheckBoxClick);
    connect(ui->LockCheckBox, &QCheckBox::toggled, this, &TBLookupForm::LockCheckBoxClick);
    const std::pair<QPushButton *, void (TBLookupForm::*)()> buttons[] = {
        {ui->LookupButton, &TBLookupForm::LookupButtonClick},   {ui->ClearButton, &TBLookupForm::ClearButtonClick},
        {ui->HostListButton, &TBLookupForm::HostListButtonClick}, {ui->ConfigButton, &TBLookupForm::ConfigButtonClick},
        {ui->AccListButton, &TBLookupForm::AccListButtonClick}, {ui->OriginButton, &TBLookupForm::OriginButtonClick},
        {ui->TelButton, &TBLookupForm::TelButtonClick},         {ui->OlcButton, &TBLookupForm::OlcButtonClick},
        {ui->AccountButton, &TBLookupForm::AccountButtonClick}, {ui->QueryButton, &TBLookupForm::QueryButtonClick},
        {ui->EditorButton, &TBLookupForm::EditorButtonClick},   {ui->HelpButton, &TBLookupForm::HelpButtonClick},
        {ui->ExitButton, &TBLookupForm::ExitButtonClick},       {ui->X_Button, &TBLookupForm::X_ButtonClick},
    };
    for (const auto &[button, handler] : buttons)
        connect(button, &QPushButton::clicked, this, handler);
    connect(AutoCloseTimer, &QTimer::timeout, this, &TBLookupForm::AutoCloseTimerTimer);
    connect(PopupMenu->findChild<QAction *>(QStringLiteral("WsaData")), &QAction::triggered, this,
            &TBLookupForm::WSAdataClick);
    connect(PopupMenu->findChild<QAction *>(QStringLiteral("Finger")), &QAction::triggered, this,
            &TBLookupForm::FingerClick);
    connect(PopupMenu->findChild<QAction *>(QStringLiteral("Time")), &QAction::triggered, this,
            &TBLookupForm::TimeClick);
    // Keys reach the window before its controls (for the Shift flag), and the
    // counter label reacts to clicks.
    installEventFilter(this);
    for (QWidget *child : findChildren<QWidget *>())
        child->installEventFilter(this);
}

bool TBLookupForm::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::KeyPress)
        FormKeyDown(static_cast<const QKeyEvent *>(event));
    else if (watched == ui->RecvNumLabel && event->type() == QEvent::MouseButtonRelease)
        WaitingClick();
    return QWidget::eventFilter(watched, event);
}

// A move or resize may be the window manager framing the window. Message
// 2025: the number of unread TELs changed.
bool TBLookupForm::event(QEvent *event)
{
    if (event->type() == QEvent::Move || event->type() == QEvent::Resize)
        FitPendingFrame();
    if (event->type() == plat::WindowMessageEvent::EventType()) {
        const auto *message = static_cast<const plat::WindowMessageEvent *>(event);
        if (message->message() == WaitingTelsMessage) {
            const qintptr waiting = message->lParam() + (message->wParam() == 1 ? 1 : 0);
            ui->RecvNumLabel->setText(QStringLiteral("[ %1 ]").arg(waiting));
        }
    }
    return QWidget::event(event);
}

// Shift alone arms the alternate action of the next TEL, OLC, HostList,
// Editor, Query or X action; pressing Shift by itself is enough.
void TBLookupForm::FormKeyDown(const QKeyEvent *event)
{
    if (plat::ArmingModifier(*event) != Qt::ShiftModifier)
        return;
    AlternateAction = 1;
    ui->TelButton->setEnabled(true);
    if (!CurrentHost.HostName.isEmpty())
        ui->OlcButton->setEnabled(true);
}

bool TBLookupForm::TakeAlternateAction()
{
    const bool armed = AlternateAction != 0;
    AlternateAction = 0;
    return armed;
}

void TBLookupForm::HostNameEditChange()
{
    ++LookupSerial; // a lookup still running was for another text
    DisableHostButtons();
}

void TBLookupForm::LookupButtonClick()
{
    ui->L_StatusBar->clearMessage();
    LookupHost();
}

void TBLookupForm::ClearButtonClick()
{
    ui->L_StatusBar->clearMessage();
    ui->HostNameEdit->clear();
    ui->HostNameEdit->setFocus();
}

// Save Log: checking the box (by the user) asks where the log goes.
void TBLookupForm::SaveCheckBoxClick()
{
    QCheckBox *box = ui->SaveCheckBox;
    if (box->isChecked() && box->isEnabled()) {
        QFileDialog dialog(this, QString(), LogDirectory);
        dialog.setObjectName(QStringLiteral("SaveDialog"));
        dialog.setOptions(QFileDialog::DontUseNativeDialog | QFileDialog::DontConfirmOverwrite |
                          QFileDialog::HideNameFilterDetails);
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setDefaultSuffix(QStringLiteral("txt"));
        // The shown names keep their own pattern texts; the patterns that
        // apply follow in the last parentheses.
        dialog.setNameFilters({QStringLiteral("Log files (*.txt, *.log) (*.txt *.log)"),
                               QStringLiteral("すべてのﾌｧｲﾙ (*.*) (*)")});
        dialog.selectFile(LogFileName);
        const bool chosen = dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty();
        if (!chosen || !StartLogFileFromDialog(dialog.selectedFiles().constFirst()))
            box->setChecked(false); // runs this handler again, unchecked
    }
    LogToFile = box->isChecked();
    ui->HostNameEdit->setFocus();
}

// The chosen file gets the start lines and becomes the log file.
bool TBLookupForm::StartLogFileFromDialog(const QString &path)
{
    std::lock_guard guard(LogLock);
    if (!AppendLogStartLines(path)) {
        WriteLog(ALPHA, QStringLiteral("*** Log File Error : ") + path);
        return false;
    }
    const QFileInfo file(path);
    LogFileName = file.fileName();
    LogDirectory = file.absolutePath();
    return true;
}

void TBLookupForm::AutoreplyCheckBoxClick()
{
    QCheckBox *box = ui->AutoreplyCheckBox;
    if (box->isChecked() && box->text() == QLatin1String(AutoReplyCaption)) {
        LogConnection(QStringLiteral("AutoReply"), QStringLiteral("everybody"), QString());
        // The editor checks the box and Lock again once the message is saved.
        box->setEnabled(false);
        ShowInFront(BEditorForm);
    } else if (!box->isChecked() && box->text() == QLatin1String(ForwardCaption)) {
        ForwardHost = HostRecord{};
        SetCaption(box, AutoReplyCaption, Qt::black);
        WithComponent<QLabel>(BHostListForm, "ForwardIpLabel", [](QLabel *label) { label->clear(); });
        WithComponent<QLabel>(BHostListForm, "ForwardLabel", [](QLabel *label) { label->hide(); });
    }
}

void TBLookupForm::StartForwardMode()
{
    SetCaption(ui->AutoreplyCheckBox, ForwardCaption, QColor(255, 0, 255));
    ui->AutoreplyCheckBox->setChecked(true);
    ui->LockCheckBox->setChecked(true);
}

// While Lock is checked arriving TELs are only counted; unchecking it ends
// auto-reply (or forward) mode and opens the waiting TELs.
void TBLookupForm::LockCheckBoxClick()
{
    if (ui->LockCheckBox->isChecked()) {
        ui->RecvNumLabel->setVisible(true);
        return;
    }
    ui->RecvNumLabel->setVisible(false);
    ui->AutoreplyCheckBox->setChecked(false);
    OpenReceiveWindow();
}

void TBLookupForm::OpenReceiveWindow()
{
    qint32 waiting = 0;
    {
        std::lock_guard guard(WaitingTelsLock);
        waiting = WaitingTels;
    }
    if (waiting > 0 && OwnerPasswordGiven())
        ShowInFront(BRecvTelegramForm);
}

void TBLookupForm::WaitingClick()
{
    OpenReceiveWindow();
}

// True when no owner password is set, or the one typed matches it. A wrong
// one is not remarked on.
bool TBLookupForm::OwnerPasswordGiven()
{
    if (MySelfPW.value().isEmpty())
        return true;
    QByteArray entry;
    return ShowPasswordDialog(this, QString(), QString(), entry, false, QString::fromUtf8(OwnerPasswordLabel),
                              QLatin1Char('*')) &&
           PasswordMatches(entry, MySelfPW);
}

void TBLookupForm::HostListButtonClick()
{
    ui->L_StatusBar->clearMessage();
    const QString text = ui->HostNameEdit->text();
    if (AlternateAction && HostToAddr(text) != INADDR_NONE) {
        SetHostListEdit("IpAddrEdit", text);
        AlternateAction = 0;
    }
    if (!BHostListForm)
        return;
    if (BHostListForm->isVisible())
        BHostListForm->hide();
    ShowInFront(BHostListForm);
}

void TBLookupForm::ConfigButtonClick()
{
    ui->L_StatusBar->clearMessage();
    ShowInFront(BConfigForm);
}

void TBLookupForm::AccListButtonClick()
{
    ShowInFront(BAccountListForm);
}

void TBLookupForm::OriginButtonClick()
{
    ui->L_StatusBar->clearMessage();
    PopupMenu->popup(frameGeometry().topLeft() + QPoint(10, 356));
}

bool TBLookupForm::PeerVersionChecked()
{
    if (PeerVersionAppropriate(CurrentHost.OlcpVersion))
        return true;
    ui->L_StatusBar->showMessage(CurrentHost.IpAddress + QStringLiteral(" : OLCP Version not Appropriate ..."));
    return false;
}

void TBLookupForm::TelButtonClick()
{
    ui->L_StatusBar->clearMessage();
    if (TakeAlternateAction()) {
        if (OwnerPasswordGiven())
            ShowInFront(BTelLogForm);
        return;
    }
    if (ui->HostNameEdit->text().isEmpty() || !PeerVersionChecked())
        return;
    // Sending a TEL ends auto-reply or forward mode.
    ui->AutoreplyCheckBox->setChecked(false);
    CurrentHost.ReplyFlag = 0;
    StartConnectionWindow(TelSendWindowKind, CurrentHost, ui->L_StatusBar);
}

void TBLookupForm::OlcButtonClick()
{
    ui->L_StatusBar->clearMessage();
    if (CurrentHost.OlcName.isEmpty()) {
        ui->L_StatusBar->showMessage(QStringLiteral("*** Not setting Target Remote Host OLC-Name ***"));
        return;
    }
    if (CurrentHost.Handle.isEmpty()) {
        ui->L_StatusBar->showMessage(QStringLiteral("*** Not setting Your Handle ***"));
        return;
    }
    // Shift: browse the host's local OLC store offline.
    if (TakeAlternateAction()) {
        if (BOlcLogForm)
            BOlcLogForm->Host = CurrentHost;
        ShowInFront(BOlcLogForm);
        return;
    }
    if (ui->HostNameEdit->text().isEmpty() || !PeerVersionChecked())
        return;
    StartConnectionWindow(OlcClientWindowKind, CurrentHost, ui->L_StatusBar);
}

void TBLookupForm::AccountButtonClick()
{
    ui->L_StatusBar->clearMessage();
    if (ui->HostNameEdit->text().isEmpty() || !PeerVersionChecked())
        return;
    StartConnectionWindow(AccountClientWindowKind, CurrentHost, ui->L_StatusBar);
}

// Shift: asks every program on the local network; else the target alone,
// without waiting (the REPLY shows in the log).
void TBLookupForm::QueryButtonClick()
{
    ui->L_StatusBar->clearMessage();
    if (TakeAlternateAction()) {
        WriteLog(ALPHA, QStringLiteral("\r\nBroadcast Query"));
        SendUdpTo(QStringLiteral("255.255.255.255"), UdpServerPort, QByteArray(OlcpVersionText) + "\rQUERY\rBROADCAST\r");
        return;
    }
    int version = 0;
    SendQuery(CurrentHost.IpAddress, 0, version);
}

// Shift with a custom editor set: that editor on the recent text.
void TBLookupForm::EditorButtonClick()
{
    if (AlternateAction && !CustomEditor.value().isEmpty()) {
        AlternateAction = 0;
        if (!QProcess::startDetached(CustomEditor, {TextDirectory + QStringLiteral("/Recent.txt")}))
            WriteLog(ALPHA, QStringLiteral("*** Editor *** Could not start ") + CustomEditor);
        return;
    }
    ShowInFront(BEditorForm);
}

void TBLookupForm::HelpButtonClick()
{
    ui->L_StatusBar->clearMessage();
    ShowHelp(this);
    ui->HostNameEdit->setFocus();
}

// Maintenance mode only: ends the program at once, or with Shift restarts
// the machine by force.
void TBLookupForm::X_ButtonClick()
{
    if (!TakeAlternateAction()) {
        EndProcessNow(0);
        return;
    }
    QString errorText;
    if (!RebootMachine(errorText))
        WriteLog(ALPHA, errorText);
}

// Start parameter H: the program closes by itself once only the main window
// is left open; another open window holds it off for another period.
void TBLookupForm::AutoCloseTimerTimer()
{
    WriteLog(ZERO, QStringLiteral("\r\n***** Auto Close Timer  ") + plat::FormatLongTime(QDateTime::currentDateTime()) +
                       QStringLiteral(" [") + QString::number(AutoCloseSeconds) + QStringLiteral("] *****"));
    // Message boxes left open (notices, remote messages) are not the program's windows.
    for (QWidget *w : QApplication::topLevelWidgets()) {
        const Qt::WindowType type = w->windowType();
        if (w == this || !w->isVisible() || (type != Qt::Window && type != Qt::Dialog) || qobject_cast<QMessageBox *>(w))
            continue;
        WriteLog(ZERO, w->objectName());
        AutoCloseTimer->start(int(std::min<qint64>(qint64(AutoCloseSeconds) * 1000, INT_MAX)));
        return;
    }
    close();
}

// ---- the main window: network tools -------------------------------------------------

namespace {

// The lookup looks at no more of the edit's text than this.
constexpr int MaxLookupText = 79;

// The resolver may take long: a lookup runs on a thread of its own.
class TBLookupThread final : public plat::FreeOnTerminateThread {
public:
    explicit TBLookupThread(std::function<void()> work) : Work(std::move(work)) {}

protected:
    void run() override
    {
        try {
            Work();
        } catch (...) {
            WriteLog(ALPHA, QStringLiteral("*** Lookup *** Unknown error"));
        }
    }

private:
    const std::function<void()> Work;
};

HostLookupResult ResolveHost(const QString &text)
{
    HostLookupResult result;
    result.Text = text;
    result.Address = plat::inet_addr(text);
    result.Dotted = result.Address != INADDR_NONE;
    result.Entry = result.Dotted ? plat::GetHostByAddr(result.Address) : plat::GetHostByName(text);
    if (!result.Entry)
        result.Error = plat::WSAGetLastError();
    return result;
}

} // namespace

void TBLookupForm::LookupHost()
{
    const QString text = ui->HostNameEdit->text().left(MaxLookupText);
    WriteLog(ZERO, QStringLiteral("\r\n==========================="));
    WriteLog(ZERO, text);
    WriteLog(ZERO, QStringLiteral("---------------------------"));
    CurrentHost = HostRecord{};
    DisableHostButtons(); // until the lookup has an answer
    const quint64 serial = ++LookupSerial;
    auto *thread = new TBLookupThread([text, serial, self = QPointer<TBLookupForm>(this)]() mutable {
        plat::PostToGuiThread([result = ResolveHost(text), serial, self = std::move(self)] {
            if (self && self->LookupSerial == serial)
                self->ShowLookupResult(result);
        });
    });
    thread->start();
}

void TBLookupForm::ShowLookupResult(const HostLookupResult &result)
{
    CurrentHost = HostRecord{};
    if (result.Entry)
        ShowHostEntry(*result.Entry);
    if (result.Dotted) {
        // A dotted address becomes the target even without a name.
        if (!result.Entry) {
            WriteLog(ZERO, QStringLiteral("*** gethostbyaddr *** Error code = ") + QString::number(result.Error));
            CurrentHost.IpAddress = plat::inet_ntoa(result.Address);
            CurrentHost.HostName = CurrentHost.IpAddress;
            SetHostListEdit("IpAddrEdit", CurrentHost.IpAddress);
            for (const char *edit : {"HostNameEdit", "HandleEdit", "MemoEdit"})
                SetHostListEdit(edit, QString());
        }
        LogTargetHost();
    } else if (result.Entry) {
        LogTargetHost();
    } else {
        WriteLog(ZERO, QStringLiteral("*** gethostbyname *** Error code = ") + QString::number(result.Error));
        DisableHostButtons();
    }
}

void TBLookupForm::ShowHostEntry(const plat::HostEntry &entry)
{
    const QString firstAddress = entry.addresses.isEmpty() ? QString() : plat::inet_ntoa(entry.addresses.first());
    CurrentHost.IpAddress = firstAddress;
    WriteLog(ZERO, QStringLiteral("Host name & Alias list"));
    WriteLog(ZERO, QStringLiteral("* ") + entry.officialName);
    for (const QString &alias : entry.aliases)
        WriteLog(ZERO, QStringLiteral("+ ") + alias);
    WriteLog(ZERO, QStringLiteral("Address type   = ") + QString::number(entry.addressType));
    WriteLog(ZERO, QStringLiteral("Address length = ") + QString::number(entry.addressLength));
    WriteLog(ZERO, QStringLiteral("Host IP address list"));
    for (const quint32 address : entry.addresses)
        WriteLog(ZERO, QStringLiteral("# ") + plat::inet_ntoa(address));
    constexpr int HostNameBytes = 48;
    CurrentHost.HostName = plat::CutText(entry.officialName, HostNameBytes);
    SetHostListEdit("HostNameEdit", CurrentHost.HostName);
    SetHostListEdit("IpAddrEdit", firstAddress);
    SetHostListEdit("HandleEdit", QString());
    SetHostListEdit("MemoEdit", QString());
}

void TBLookupForm::LogTargetHost()
{
    ++LookupSerial; // a lookup still running no longer names the target
    WriteLog(ZERO, QStringLiteral("\r\nTarget Remote Host : [[ ") + CurrentHost.HostName + QStringLiteral(" ]]"));
    for (QPushButton *button : {ui->OriginButton, ui->TelButton, ui->OlcButton, ui->AccountButton})
        button->setEnabled(true);
    ui->TelButton->setFocus();
}

void TBLookupForm::DisableHostButtons()
{
    for (QPushButton *button : {ui->OriginButton, ui->TelButton, ui->OlcButton, ui->AccountButton})
        button->setEnabled(false);
}

void TBLookupForm::WSAdataClick()
{
    const auto hex = [](quint16 word) { return QStringLiteral("%1").arg(word, 2, 16, QLatin1Char('0')).toUpper(); };
    const QString stars = QStringLiteral("***************************");
    WriteLog(ZERO, QStringLiteral("\r\n") + stars);
    WriteLog(ZERO, QStringLiteral("WSA Data"));
    WriteLog(ZERO, stars);
    WriteLog(ZERO, QStringLiteral("Version      : ") + hex(WsaData.wVersion));
    WriteLog(ZERO, QStringLiteral("High Version : ") + hex(WsaData.wHighVersion));
    WriteLog(ZERO, QStringLiteral("Description  : ") + WsaData.szDescription);
    WriteLog(ZERO, QStringLiteral("System Status: ") + WsaData.szSystemStatus);
    WriteLog(ZERO, QStringLiteral("Max Sockets  : ") + QString::number(WsaData.iMaxSockets));
    WriteLog(ZERO, QStringLiteral("Max UDP Dg   : ") + QString::number(WsaData.iMaxUdpDg));
    WriteLog(ZERO, QStringLiteral("Vendor Info  : ") + WsaData.lpVendorInfo);
    ui->HostNameEdit->setFocus();
}

void TBLookupForm::FingerClick()
{
    LogConnection(QStringLiteral("Finger"), CurrentHost.HostName, QString());
    if (!BFingerForm)
        return;
    BFingerForm->SetTarget(CurrentHost);
    ShowInFront(BFingerForm);
}

void TBLookupForm::TimeClick()
{
    QueryTimeServer();
    ui->HostNameEdit->setFocus();
}

// The time protocol: after CR LF the server sends the seconds since
// 1900-01-01 00:00 UTC as 4 bytes, most significant first. The answer is
// received once; bytes that a short answer lacks count as 0. The socket
// calls keep the window responsive while they wait (at most TimeOutValue);
// one query runs at a time.
void TBLookupForm::QueryTimeServer()
{
    constexpr quint16 TimeProtocolPort = 37;
    if (TimeSocket != plat::INVALID_SOCKET)
        return;
    LogConnection(QStringLiteral("Timeserver"), CurrentHost.HostName, QString());
    int error = 0;
    const plat::SOCKET s =
        TimeServerPort ? ConnectServer(SOCK_STREAM, QString(), QStringLiteral("tcp"), error, CurrentHost.IpAddress, TimeServerPort)
                       : ConnectServer(SOCK_STREAM, QStringLiteral("time"), QStringLiteral("tcp"), error,
                                       CurrentHost.IpAddress, TimeProtocolPort);
    if (s == plat::INVALID_SOCKET)
        return; // ConnectServer has logged why
    TimeSocket = s;
    plat::SetReceiveTimeout(s, TimeOutValue);

    unsigned char answer[4] = {};
    bool answered = false;
    if (plat::send(s, "\r\n", 2, 0) != 2)
        WriteLog(ALPHA, QStringLiteral("*** send *** Error code = ") + QString::number(plat::WSAGetLastError()));
    else if (plat::recv(s, reinterpret_cast<char *>(answer), int(sizeof answer), 0) < 0)
        WriteLog(ALPHA, QStringLiteral("*** recv *** Error code = ") + QString::number(plat::WSAGetLastError()));
    else
        answered = true;
    if (TimeSocket == s) { // else the close sequence has closed it
        plat::closesocket(s);
        TimeSocket = plat::INVALID_SOCKET;
    }
    if (answered)
        LogInternetTime(answer);
}

void TBLookupForm::LogInternetTime(const unsigned char (&answer)[4])
{
    // raw is the count as it lies in this PC's (little-endian) memory.
    const quint32 raw = qFromLittleEndian<quint32>(answer);
    const quint32 seconds = qFromBigEndian<quint32>(answer);
    const auto hex8 = [](quint32 v) { return QStringLiteral("%1").arg(v, 8, 16, QLatin1Char('0')).toUpper(); };
    WriteLog(ZERO, QStringLiteral("\r\nNetwork byte order = ") + hex8(raw));
    WriteLog(ZERO, QStringLiteral("Host PC byte order = ") + hex8(seconds));
    // Day 2 of the system's day count is 1900-01-01.
    constexpr quint32 SecondsPerDay = 86400;
    const double days = double(seconds % SecondsPerDay) / SecondsPerDay + seconds / SecondsPerDay + 2;
    WriteLog(ZERO, QStringLiteral("\r\nInternet time = ") + DateTimeText(plat::FromDayDate(days)) +
                       QStringLiteral("  <Universal time>"));
    WriteLog(ZERO, QStringLiteral("Your PC time  = ") + DateTimeText(QDateTime::currentDateTime()));
}

// ---- help ----------------------------------------------------------------------

namespace {

// The windows whose help context has a number; any other window's section is
// named by its class.
const std::pair<const char *, const char *> HelpContexts[] = {
    {"TBEditorForm", "2200"},
    {"TBAccountListForm", "4102"},
    {"TBConfigForm", "5001"},
};

} // namespace

QString HelpAnchorFor(const QWidget *widget)
{
    if (!widget)
        return {};
    for (const QWidget *w = widget; w; w = w->isWindow() ? nullptr : w->parentWidget()) {
        const QVariant own = w->property(plat::HelpContextProperty);
        if (own.isValid() && !own.toString().isEmpty())
            return own.toString();
    }
    const char *className = widget->window()->metaObject()->className();
    for (const auto &[name, context] : HelpContexts) {
        if (qstrcmp(name, className) == 0)
            return QLatin1String(context);
    }
    return QLatin1String(className);
}

QString ApplicationHelpFile = QLatin1String(HelpFile);

void ShowHelp(QWidget *widget)
{
    if (plat::OpenHelp(ApplicationHelpFile, HelpAnchorFor(widget)))
        return;
    QStatusBar *bar = widget ? widget->window()->findChild<QStatusBar *>() : nullptr;
    if (!bar && BLookupForm)
        bar = BLookupForm->ui->L_StatusBar;
    if (bar)
        bar->showMessage(plat::HelpFailureText(ApplicationHelpFile));
}
