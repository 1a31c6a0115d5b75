#pragma once
// The client thread of an account client window: connects to the account
// server's OLCP port, runs the handshake with "ACC" (fetching Stay TELs when
// the server holds some for us), reads the server's greeting and hands the
// connection to the window, which it then shows. Failures go to the main
// window's status bar and end the start (the window stays unshown and is
// released by the start).
#include "core/BLookup.h"
#include "core/HostRecord.h"
#include "platform/FreeOnTerminateThread.h"
#include "tel/BAccCli.h"

#include <QByteArray>
#include <QPointer>

class TBAccClientThread final : public plat::FreeOnTerminateThread {
    Q_OBJECT
public:
    // Starts at once for a prepared window (GUI thread); frees itself when done.
    TBAccClientThread(TBAccountClientForm *window, ConnectionStartReporter reporter);

protected:
    void run() override;

private:
    void Execute();
    // The lines after the server's "ACK": user ID, field list and, from
    // version 212 on, the two access letters.
    bool RecvGreeting(plat::SOCKET s);
    // Hands the connection to the window, which shows; false when the window
    // is gone or closing.
    bool ShowWindow(plat::SOCKET s);

    QPointer<TBAccountClientForm> Window;
    HostRecord Target; // the window's host, updated by the handshake
    AccountGreeting Greeting;
    ConnectionStartReporter Reporter;
};
