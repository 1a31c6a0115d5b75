#include "core/BLookup.h"

#include "core/BCommon.h"
#include "core/BRegistr.h"
#include "core/BTcpServ.h"
#include "core/BUdpServ.h"
#include "olc/BOlcLog.h"
#include "platform/DelphiDate.h"
#include "platform/FreeOnTerminateThread.h"
#include "platform/Help.h"
#include "platform/WinMessages.h"
#include "platform/WinSock.h"
#include "tel/BRecvTel.h"
#include "tel/BTelLog.h"
#include "ui_BLookup.h"

#include <QApplication>
#include <QCloseEvent>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QMessageBox>
#include <QNetworkInterface>
#include <QPointer>
#include <QThread>
#include <QTimer>

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

TBLookupForm::TBLookupForm(QWidget *parent)
    : QWidget(parent), ui(std::make_unique<Ui::TBLookupForm>()), AutoCloseTimer(new QTimer(this))
{
    ui->setupUi(this);
    connect(ui->ExitButton, &QPushButton::clicked, this, &TBLookupForm::ExitButtonClick);
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
    plat::WSADATA data;
    if (plat::WSAStartup(0x0101, &data) != 0) {
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
    setGeometry(MainPosition.Left, MainPosition.Top, MainPosition.Width, MainPosition.Height);
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
    show();
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
    CloseServerSockets();
    WaitForServerThreads();
    CloseConnectionWindows();
    FreeWindow(BRecvTelegramForm);
    FreeWindow(BOlcLogForm);
    FreeWindow(BTelLogForm);
}

// Closing wakes every thread blocked on these sockets (the socket layer shuts
// them down), so each conversation fails and each server chain ends.
void TBLookupForm::CloseServerSockets()
{
    if (ConnectionCount > 0) {
        std::lock_guard guard(ConnectionLock);
        for (int i = 1; i <= ConnectionCount && i <= MaxConnections; ++i)
            plat::closesocket(ConnectionSockets[static_cast<size_t>(i)]);
    }
    for (plat::SOCKET *s : {&TcpServerSocket, &UdpServerSocket, &CgiSocket}) {
        if (*s != plat::INVALID_SOCKET)
            plat::closesocket(*s);
    }
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
