#include "core/ConnectionWindow.h"

#include "core/BLookup.h"
#include "olc/BReadTrd.h"
#include "platform/WinMessages.h"
#include "tel/BTelServ.h"

#include <QCloseEvent>
#include <QLabel>
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

bool ConnectionWindowState::HandleConnectionMessage(QEvent *event, QLabel *numberLabel, int closeChannel)
{
    if (event->type() != plat::WindowMessageEvent::EventType())
        return false;
    const auto *message = static_cast<plat::WindowMessageEvent *>(event);
    switch (message->message()) {
    case WaitingTelsMessage:
        numberLabel->setText(QString::number(message->lParam() + message->wParam()));
        return true;
    case CloseWindowsMessage:
        // A window already closing may wait for its peer's close: stop that.
        if (Closed)
            BreakConnection();
        else
            Window->close();
        return true;
    case CloseChannelMessage:
        if (closeChannel < 0)
            return false;
        if (message->lParam() == closeChannel)
            Window->close();
        return true;
    default:
        return false;
    }
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
