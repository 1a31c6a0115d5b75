#include "platform/WinMessages.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QHash>
#include <QScopeGuard>
#include <QThread>
#include <QWidget>

#include <condition_variable>
#include <deque>
#include <mutex>

namespace plat {

namespace {

// Work for the GUI thread waits in a queue of our own under a std::mutex, and
// Qt's event queue carries only a wake-up. Qt's own locks are invisible to
// ThreadSanitizer (Qt is not built for it); this lock is not, so what a
// thread wrote before handing the work over is seen as written before the
// work runs. The wake-up is a lambda that captures nothing, queued while the
// lock is held: the event that the event filters read is Qt's own, and the
// little that our code builds for it is written before the GUI thread takes
// the lock to run the task.
struct GuiTask {
    std::function<void()> task;
    std::function<void()> ended; // once the task has run or has been dropped
};

// Never destroyed: threads may still post while the program ends.
struct GuiTasks {
    std::mutex mutex;
    std::deque<GuiTask> waiting;
    bool open = false; // while the application exists
};

GuiTasks &Tasks()
{
    static auto *tasks = new GuiTasks;
    return *tasks;
}

// GUI thread: one task per wake-up, in the order posted.
void RunNextTask()
{
    GuiTask next;
    {
        const std::lock_guard lock(Tasks().mutex);
        if (Tasks().waiting.empty())
            return;
        next = std::move(Tasks().waiting.front());
        Tasks().waiting.pop_front();
    }
    const auto ended = qScopeGuard([&next] {
        if (next.ended)
            next.ended();
    });
    next.task();
}

// The application ends: the tasks still waiting are dropped.
void CloseTasks()
{
    std::deque<GuiTask> dropped;
    {
        const std::lock_guard lock(Tasks().mutex);
        Tasks().open = false;
        dropped.swap(Tasks().waiting);
    }
    for (const GuiTask &task : dropped) {
        if (task.ended)
            task.ended();
    }
}

void OpenTasks()
{
    const std::lock_guard lock(Tasks().mutex);
    Tasks().open = true;
    qAddPostRoutine(CloseTasks);
}
Q_COREAPP_STARTUP_FUNCTION(OpenTasks)

// Queues task; ended runs once the task has run or has been dropped.
void PostTask(std::function<void()> task, std::function<void()> ended)
{
    {
        const std::lock_guard lock(Tasks().mutex);
        if (Tasks().open) {
            Tasks().waiting.push_back({std::move(task), std::move(ended)});
            QMetaObject::invokeMethod(QCoreApplication::instance(), [] { RunNextTask(); }, Qt::QueuedConnection);
            return;
        }
    }
    if (ended)
        ended();
}

} // namespace

WindowMessageEvent::WindowMessageEvent(uint message, qintptr wParam, qintptr lParam)
    : QEvent(EventType()), message_(message), wParam_(wParam), lParam_(lParam)
{
}

QEvent::Type WindowMessageEvent::EventType()
{
    static const auto type = QEvent::Type(QEvent::registerEventType());
    return type;
}

qintptr SendWindowMessage(QObject *target, uint message, qintptr wParam, qintptr lParam)
{
    if (!target)
        return 0;
    if (target->thread() == QThread::currentThread()) {
        WindowMessageEvent event(message, wParam, lParam);
        QCoreApplication::sendEvent(target, &event);
        return event.result();
    }
    QCoreApplication::postEvent(target, new WindowMessageEvent(message, wParam, lParam));
    return 0;
}

void BroadcastToForms(uint message, qintptr wParam, qintptr lParam)
{
    QCoreApplication *app = QCoreApplication::instance();
    if (!app)
        return;
    RunOnGuiThread([message, wParam, lParam] {
        for (QWidget *widget : QApplication::topLevelWidgets())
            SendWindowMessage(widget, message, wParam, lParam);
    });
}

uint RegisterWindowMessage(const QString &name)
{
    constexpr uint First = 0xC000;
    constexpr uint Last = 0xFFFF;
    static std::mutex mutex;
    static QHash<QString, uint> ids;
    const std::lock_guard lock(mutex);
    const QString key = name.toCaseFolded();
    if (const auto it = ids.constFind(key); it != ids.cend())
        return it.value();
    const uint id = First + uint(ids.size());
    if (id > Last)
        return 0;
    ids.insert(key, id);
    return id;
}

void PostBroadcastMessage(const QString &name, qintptr wParam, qintptr lParam)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    QDBusMessage signal = QDBusMessage::createSignal(QStringLiteral("/Kalvex"),
                                                     QStringLiteral("org.kalvex.Broadcast"),
                                                     QStringLiteral("RegisteredMessage"));
    signal << name << qlonglong(wParam) << qlonglong(lParam);
    bus.send(signal);
}

bool IsGuiThread()
{
    const QCoreApplication *app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

void RunOnGuiThread(std::function<void()> action)
{
    if (IsGuiThread())
        action();
    else
        PostToGuiThread(std::move(action));
}

void PostToGuiThread(std::function<void()> action)
{
    PostTask(std::move(action), {});
}

void RunOnGuiThreadAndWait(std::function<void()> action)
{
    if (IsGuiThread())
        return action();
    struct {
        std::mutex mutex;
        std::condition_variable signal;
        bool ended = false;
    } wait;
    PostTask(std::move(action), [&wait] {
        // Signalled under the lock: the waiter cannot go (and take wait with
        // it) before this is done with it.
        const std::lock_guard lock(wait.mutex);
        wait.ended = true;
        wait.signal.notify_one();
    });
    std::unique_lock lock(wait.mutex);
    wait.signal.wait(lock, [&wait] { return wait.ended; });
}

} // namespace plat
