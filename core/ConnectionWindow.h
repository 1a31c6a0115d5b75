#pragma once
// What every connection window (TEL send, account client, OLC client, OLC
// reader and post windows) keeps of its conversation, and the rules they
// share for closing while it runs.
//
// The conversation runs on the GUI thread: a socket call waits with the
// sockets layer's blocking hook, so other handlers (a close among them) run
// meanwhile. A close then breaks the connection so that the call returns,
// and the window closes once the outermost handler has unwound.
#include "platform/WinSock.h"

class QCloseEvent;
class QEvent;
class QLabel;
class QWidget;

class ConnectionWindowState {
public:
    explicit ConnectionWindowState(QWidget *window) : Window(window) {}
    ConnectionWindowState(const ConnectionWindowState &) = delete;
    ConnectionWindowState &operator=(const ConnectionWindowState &) = delete;

protected:
    // Marks the window as inside its conversation for the life of a handler:
    // a close requested meanwhile runs once the outermost handler has returned.
    class Conversation {
    public:
        explicit Conversation(ConnectionWindowState &state) : state_(state) { ++state_.Busy; }
        ~Conversation();
        Conversation(const Conversation &) = delete;
        Conversation &operator=(const Conversation &) = delete;

    private:
        ConnectionWindowState &state_;
    };

    // The part of a close that the conversation decides; true when it did
    // (event accepted or ignored). A window not yet handed over (its thread
    // still owns the connection and the channel) or closed already closes at
    // once; during a socket call the connection is broken, the error flag set
    // and the close waits for the call to unwind. False: the window's own
    // closing runs.
    bool ConversationDecidesClose(QCloseEvent *event);
    // The window messages every connection window answers: 2025 shows the
    // unread TEL count in numberLabel, 2026 (the program closes) closes the
    // window, or breaks the connection of one already closing, and 2027
    // closes it when its lParam is closeChannel (-1: the window takes none).
    // True when event was one of them.
    bool HandleConnectionMessage(QEvent *event, QLabel *numberLabel, int closeChannel = -1);
    // A failed send or receive sets the error flag; ok passes through.
    bool Step(bool ok);
    // Closes now, or once the pending socket call has returned.
    void CloseWhenIdle();
    void BreakConnection();

    plat::SOCKET Socket = plat::INVALID_SOCKET;
    int Busy = 0;                 // depth of handlers inside the conversation
    bool Started = false;         // the thread handed the conversation over
    bool Error = false;           // a send or receive failed: nothing more goes out
    bool CloseRequested = false;
    bool Closed = false;

private:
    QWidget *const Window;
};
