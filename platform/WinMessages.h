#pragma once
// Window messages between the program's windows and threads, as Qt events.
//
// A window message is one event type (WindowMessageEvent::EventType()) carrying
// the message number and its two parameters. A window reacts to it in its
// event() or customEvent() override. Delivery follows the window's thread:
// called there, the message is handled before the call returns; from any other
// thread it is posted and handled by the window's event loop.
#include <QEvent>
#include <QString>

#include <functional>
#include <QtGlobal>

class QObject;

namespace plat {

class WindowMessageEvent : public QEvent {
public:
    WindowMessageEvent(uint message, qintptr wParam, qintptr lParam);

    static QEvent::Type EventType();

    uint message() const { return message_; }
    qintptr wParam() const { return wParam_; }
    qintptr lParam() const { return lParam_; }
    // The window's answer to a message sent synchronously; 0 unless set.
    qintptr result() const { return result_; }
    void setResult(qintptr result) { result_ = result; }

private:
    uint message_;
    qintptr wParam_;
    qintptr lParam_;
    qintptr result_ = 0;
};

// Sends the message to one object: synchronously on its own thread, posted
// from any other. Answers the window's result when delivered synchronously,
// else 0.
qintptr SendWindowMessage(QObject *target, uint message, qintptr wParam, qintptr lParam);

// Sends the message to every top-level widget of the application, visible or
// not. Off the GUI thread the whole walk is posted to the GUI thread, where
// the widget list can be read safely.
void BroadcastToForms(uint message, qintptr wParam, qintptr lParam);

// A message number for a name, the same for the same name (compared without
// regard to case) for the life of the process, in 0xC000..0xFFFF; 0 once that
// range is used up.
uint RegisterWindowMessage(const QString &name);

// Announces a registered message to the other programs of the desktop: a
// D-Bus signal RegisteredMessage(name, wParam, lParam) on the session bus,
// path "/Kalvex", interface "org.kalvex.Broadcast". Nothing happens where no
// session bus can be reached.
void PostBroadcastMessage(const QString &name, qintptr wParam, qintptr lParam);

// Widgets belong to the GUI thread: work for them goes there. What the
// calling thread wrote before handing the work over is seen by the work, also
// by ThreadSanitizer.
bool IsGuiThread();
// Runs action on the GUI thread: at once when called there, else queued.
void RunOnGuiThread(std::function<void()> action);
// Queues action to the GUI thread, also when called there.
void PostToGuiThread(std::function<void()> action);
// Runs action on the GUI thread and returns when it has run ("synchronized"):
// at once when called there. What action wrote is seen by the caller
// afterwards. Returns without running it when the application has gone or
// drops the work as it ends.
void RunOnGuiThreadAndWait(std::function<void()> action);

} // namespace plat
