#include "core/ConnectionWindow.h"

#include <QCloseEvent>
#include <QWidget>

ConnectionWindowState::Conversation::~Conversation()
{
    if (--state_.Busy == 0 && state_.CloseRequested)
        state_.Window->close();
}

bool ConnectionWindowState::ConversationDecidesClose(QCloseEvent *event)
{
    if (Closed || !Started) {
        Closed = true;
        event->accept();
        return true;
    }
    if (Busy) {
        event->ignore();
        Error = CloseRequested = true;
        BreakConnection();
        return true;
    }
    return false;
}

bool ConnectionWindowState::Step(bool ok)
{
    if (!ok)
        Error = true;
    return ok;
}

void ConnectionWindowState::CloseWhenIdle()
{
    if (Busy)
        CloseRequested = true;
    else
        Window->close();
}

void ConnectionWindowState::BreakConnection()
{
    if (Socket != plat::INVALID_SOCKET)
        plat::closesocket(Socket);
    Socket = plat::INVALID_SOCKET;
}
