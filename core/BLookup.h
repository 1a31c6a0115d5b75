#pragma once
// The main window TBLookupForm and the process-wide objects that it creates;
// how every connection window is started on a channel; the main window's
// network tools.
#include "core/HostRecord.h"
#include "platform/WinSock.h"

#include <QRect>
#include <QStringList>
#include <QWidget>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

class QKeyEvent;
class QMenu;
class QStatusBar;
class QTimer;

// The eight critical sections shared by every subsystem (re-entrant, as
// Windows critical sections are). Lock order where two are held:
// AccountListLock before HostListLock; TelTextLock before TelDataLock.
extern std::recursive_mutex ConnectionLock;
extern std::recursive_mutex ReplySlotsLock;
extern std::recursive_mutex LogLock;
extern std::recursive_mutex HostListLock;
extern std::recursive_mutex AccountListLock;
extern std::recursive_mutex TelDataLock;
extern std::recursive_mutex TelTextLock;
extern std::recursive_mutex WaitingTelsLock;

// 1 from the first step of start-up until just before "Kalvex Open".
extern std::atomic<std::uint8_t> StartingUp;
extern QString LocalHostName;
extern QStringList LocalAddresses;
extern unsigned OpenMessageId, CloseMessageId;

// The channels of the connection windows (0..20): 0 free, else the kind of
// window on it (1 TEL send, 2 OLC client, 3 OLC read, 4 OLC post, 5 account
// client). No lock: each byte has one owner at a time.
constexpr int ChannelCount = 21;
extern std::array<std::atomic<std::uint8_t>, ChannelCount> ChannelStates;

// Window message sent to the connection windows when the main window closes.
constexpr unsigned CloseWindowsMessage = 2026;

// This machine's IPv4 interface addresses in the order found: loopback and
// 0.0.0.0 left out, at most 10.
QStringList GetNetworkCardAddress();

// ---- connection start ------------------------------------------------------
//
// Every connection window (TEL send, OLC client, account client, and the
// windows that the account list, the receive window, the OLC client and the
// reader open) starts the same way: on the first free channel, hidden, with
// its own copy of the target host record, while a client thread connects and
// runs the handshake. The thread then shows the window, or gives the channel
// back when the connection fails.

// How a client thread tells the waiting start how it went. The thread keeps
// its reporter for its whole run and reaches the window only through a
// QPointer (the window may be released while it runs):
//  - Shown() once it has shown the window;
//  - Failed() when the connection or handshake failed: this frees the
//    channel, so the thread never frees it itself.
// A reporter dropped without either (an early return, an exception) reports
// Failed(), so the wait always ends. Callable from any thread; the first
// report counts.
class ConnectionStartReporter {
public:
    struct State;
    explicit ConnectionStartReporter(std::shared_ptr<State> state);
    ConnectionStartReporter(ConnectionStartReporter &&other) noexcept = default;
    ConnectionStartReporter &operator=(ConnectionStartReporter &&) = delete;
    ~ConnectionStartReporter();

    int Channel() const;
    void Shown();
    void Failed();

private:
    std::shared_ptr<State> state_;
};

// One kind of connection window, as its own code describes it.
struct ConnectionWindowKind {
    QString Name;            // for the status bar: "TEL send window"
    std::uint8_t State = 0;  // its ChannelStates value (1 TEL send, 2 OLC client, ...)
    // Creates the window hidden, holding its own copy of host (whose Channel
    // is set). Unset while the window does not exist in the program yet.
    std::function<QWidget *(const HostRecord &host)> CreateWindow;
    // Creates and starts the client thread for the window (and keeps it in the
    // kind's thread global).
    std::function<void(QWidget *window, ConnectionStartReporter reporter)> StartThread;
    // The control that has the focus once the window shows (null: none).
    std::function<QWidget *(QWidget *window)> FirstControl;
};

// Filled by the code of each window; unset members mean "not available yet".
extern ConnectionWindowKind TelSendWindowKind;      // TBSendTelegramForm, TBTelClientThread (tel/BSendTel.cpp)
extern ConnectionWindowKind OlcClientWindowKind;    // TBOlcClientForm, TBOlcClientThread
extern ConnectionWindowKind AccountClientWindowKind; // TBAccountClientForm, TBAccClientThread

enum class ConnectionStartResult {
    AllChannelsBusy, // nothing started: "*** All Channels Busy! ***"
    NotAvailable,    // the kind has no window yet; said in the status bar
    Shown,           // the window shows, its first control has the focus
    Failed,          // the thread gave up; the hidden window is released
    Abandoned,       // the program closed, or the window went away, during the wait
};

// Starts a window of kind on the first free channel for host (host.Channel
// becomes that channel) and waits, processing events, until the thread has
// shown the window or failed, the window is gone, or the program is closing.
// The status texts of the start itself go to statusBar. GUI thread.
ConnectionStartResult StartConnectionWindow(const ConnectionWindowKind &kind, HostRecord &host,
                                            QStatusBar *statusBar);

// A peer's version text is fit for a connection when it is empty or begins
// with "OLCP" followed by a number of at least 201.
bool PeerVersionAppropriate(const QString &version);

// ---- the main window ---------------------------------------------------------

// Ends the process at once (X button): no close sequence, no saving. Tests
// replace it.
extern std::function<void(int exitCode)> EndProcessNow;
// Restarts the machine by force (X button with Shift); false with the reason
// in errorText. By default asks the system's login manager over D-Bus. Tests
// replace it.
extern std::function<bool(QString &errorText)> RebootMachine;

// What a host lookup found, handed from the resolving thread to the window.
struct HostLookupResult {
    QString Text;          // what was looked up
    bool Dotted = false;   // Text was a dotted IPv4 address
    quint32 Address = 0;   // that address, network byte order
    std::optional<plat::HostEntry> Entry;
    int Error = 0;         // the resolver's error when nothing was found
};

namespace Ui {
class TBLookupForm;
}

class TBLookupForm : public QWidget {
    Q_OBJECT
public:
    explicit TBLookupForm(QWidget *parent = nullptr);
    ~TBLookupForm() override;

    // The window's components: public, because other windows fill and read them directly.
    const std::unique_ptr<Ui::TBLookupForm> ui;
    // The Origin button's menu: WsaData "WSAdata", Finger "Finger", Time "TimeServer".
    QMenu *const PopupMenu;

    // Shows the window in its saved place and state (start-up).
    void FormShow();
    // The window's outer rectangle (title bar and border included) in its
    // normal state: what the settings keep as its place and size.
    QRect OuterNormalRect() const;
    // Closes the program as the Exit button does (also on a termination signal).
    void ExitButtonClick();
    // True once the close sequence has run (it may run during start-up).
    bool HasClosed() const { return Closing; }

    // The longest the close sequence waits for the server and connection
    // threads before it ends anyway (milliseconds).
    int CloseWaitLimitMs = 30000;

    // Closes the program after start parameter H seconds without a connection;
    // armed and stopped by the TCP server on this window's thread.
    QTimer *const AutoCloseTimer;

    // Looks up HostNameEdit's text on a thread of its own; the result
    // arrives on this window's thread and announces the target (or the
    // failure). An edit or a newer lookup meanwhile makes it void.
    void LookupHost();
    // Announces CurrentHost as the target and enables the host buttons (also
    // after the host list window picked a host).
    void LogTargetHost();
    // Forward mode (the host list window chose ForwardHost): the auto-reply
    // box reads "Forward" in magenta and is checked, and so is Lock.
    void StartForwardMode();
    // Disables Origin, TEL, OLC and Account until the next target.
    void DisableHostButtons();
    // Shows the receive window when TELs wait, behind the owner password.
    void OpenReceiveWindow();
    // The time protocol against CurrentHost; results go to the log.
    void QueryTimeServer();

    // The time query's port; 0 uses the "time" service (37 when the system
    // does not know it). Tests point it at a local server.
    quint16 TimeServerPort = 0;

protected:
    void closeEvent(QCloseEvent *event) override;
    bool event(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void FormCreate();
    void PlaceFrame(const QRect &outer);
    void FitPendingFrame();
    bool FormCloseQuery();
    void FormClose();
    void FormDestroy();

    void CloseServerSockets();
    void WaitForServerThreads();
    void CloseConnectionWindows();

    void ConnectHandlers();
    void FormKeyDown(const QKeyEvent *event);
    void HostNameEditChange();
    void LookupButtonClick();
    void ClearButtonClick();
    void SaveCheckBoxClick();
    void AutoreplyCheckBoxClick();
    void LockCheckBoxClick();
    void WaitingClick();
    void HostListButtonClick();
    void ConfigButtonClick();
    void AccListButtonClick();
    void OriginButtonClick();
    void TelButtonClick();
    void OlcButtonClick();
    void AccountButtonClick();
    void QueryButtonClick();
    void EditorButtonClick();
    void HelpButtonClick();
    void X_ButtonClick();
    void AutoCloseTimerTimer();
    void WSAdataClick();
    void FingerClick();
    void TimeClick();

    bool OwnerPasswordGiven();
    bool TakeAlternateAction();
    bool PeerVersionChecked();
    bool StartLogFileFromDialog(const QString &path);
    void ShowLookupResult(const HostLookupResult &result);
    void ShowHostEntry(const plat::HostEntry &entry);
    void LogInternetTime(const unsigned char (&answer)[4]);

    // The outer rectangle asked for until the window manager has framed the
    // window (the frame's size is unknown before).
    std::optional<QRect> PendingFrame;
    std::uint8_t AlternateAction = 0;
    std::uint8_t ExitRequested = 0;
    bool SocketsStarted = false;
    bool Closing = false; // the close sequence runs once
    bool FollowLog = true; // the log's view stays at its newest line
    plat::WSADATA WsaData;
    // Counts lookups and edits: a lookup's result counts only while it is the latest.
    quint64 LookupSerial = 0;
    // The time query's socket while it runs (closed by the close sequence too).
    plat::SOCKET TimeSocket = plat::INVALID_SOCKET;
};

extern TBLookupForm *BLookupForm;

// ---- help ------------------------------------------------------------------

// The help file, as the program names it (its page is "Kalvex.html").
constexpr char HelpFile[] = "Kalvex.hlp";
// The application's help file: HelpFile beside the program unless pointed
// elsewhere (tests).
extern QString ApplicationHelpFile;

// The help page's anchor for widget: the nearest of it and its parents that
// names a section of its own (plat::HelpContextProperty), else its window's
// help context number, else its window's class name.
QString HelpAnchorFor(const QWidget *widget);

// Opens the help at widget's anchor. A missing help page is said in the
// status bar of widget's window, or of the main window when that has none.
void ShowHelp(QWidget *widget);
