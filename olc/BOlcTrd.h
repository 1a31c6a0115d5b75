#pragma once
// The client thread of an OLC client window: connects to the server's OLCP
// port, runs the handshake with "OLC" (fetching Stay TELs when the server
// holds some for us), learns the server channel from servers above version
// 200 and hands the connection to the window, which it then shows. From
// then on the window holds the conversation on the GUI thread. Connection and
// handshake failures go to the main window's status bar and end the start
// (the window stays unshown and is released by the start).
#include "core/BLookup.h"
#include "core/HostRecord.h"
#include "platform/FreeOnTerminateThread.h"
#include "platform/WinSock.h"

#include <QPointer>

class TBOlcClientForm;

class TBOlcClientThread final : public plat::FreeOnTerminateThread {
    Q_OBJECT
public:
    // Starts at once for a prepared window (GUI thread); frees itself when done.
    TBOlcClientThread(TBOlcClientForm *window, ConnectionStartReporter reporter);

protected:
    void run() override;

private:
    void Execute();
    // The server channel: servers above version 200 tell it after the integer 0.
    bool ExchangeServerChannel(plat::SOCKET s);
    // Hands the connection to the window, which shows; false when the window
    // is gone or closing.
    bool ShowWindow(plat::SOCKET s);

    QPointer<TBOlcClientForm> Window;
    HostRecord Target; // the window's target, updated by the handshake
    ConnectionStartReporter Reporter;
    qint32 ServerChannel = 0;
};
