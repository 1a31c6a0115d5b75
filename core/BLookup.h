#pragma once
// The main window TBLookupForm and the process-wide objects that it creates.
#include <QStringList>
#include <QWidget>

#include <array>
#include <atomic>
#include <memory>
#include <cstdint>
#include <mutex>

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

    // Shows the window in its saved place and state (start-up).
    void FormShow();
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

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void FormCreate();
    bool FormCloseQuery();
    void FormClose();
    void FormDestroy();

    void CloseServerSockets();
    void WaitForServerThreads();
    void CloseConnectionWindows();

    std::uint8_t AlternateAction = 0;
    std::uint8_t ExitRequested = 0;
    bool SocketsStarted = false;
    bool Closing = false; // the close sequence runs once
};

extern TBLookupForm *BLookupForm;
