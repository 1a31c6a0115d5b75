#pragma once
// The client thread of a TEL send window: connects to the target's OLCP port,
// runs the handshake with "TEL" (fetching Stay TELs when the server holds
// some for us) and hands the connection to the window, which it then shows.
// Connection and handshake failures go to the main window's status bar and
// end the start (the window stays unshown and is released by the start).
#include "core/BLookup.h"
#include "core/HostRecord.h"
#include "platform/FreeOnTerminateThread.h"

#include <QPointer>

class TBSendTelegramForm;

class TBTelClientThread final : public plat::FreeOnTerminateThread {
    Q_OBJECT
public:
    // Starts at once for a prepared window (GUI thread); frees itself when done.
    TBTelClientThread(TBSendTelegramForm *window, ConnectionStartReporter reporter);

protected:
    void run() override;

private:
    void Execute();
    // Hands the connection (INVALID_SOCKET: none) to the window, which shows;
    // false when the window is gone or closing.
    bool ShowWindow(plat::SOCKET s);

    QPointer<TBSendTelegramForm> Window;
    HostRecord Target; // the window's target, updated by the handshake
    ConnectionStartReporter Reporter;
};
