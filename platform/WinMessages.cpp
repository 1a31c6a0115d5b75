#include "platform/WinMessages.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QHash>
#include <QScopeGuard>
#include <QThread>
#include <QWidget>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>

namespace plat {

namespace {

// Work for the GUI thread waits in a queue of our own under a std::mutex, and
// Qt's event queue carries only a wake-up, a queued call by name that Qt
// builds itself. Qt's own locks are invisible to ThreadSanitizer (Qt is not
// built for it); this lock is not, so what a thread wrote before handing the
// work over is seen as written before the work runs. And no event that our
// code built passes the event filters, which read every event.
struct GuiTask {
    std::function<void()> task;
    std::function<void()> ended; // once the task has run or has been dropped
};

class GuiTaskQueue : public QObject {
    Q_OBJECT
public:
    // Drops the tasks that still wait: the application ends.
    ~GuiTaskQueue() override;
    void post(GuiTask task);

private:
    // One task per wake-up, in the order posted.
    Q_INVOKABLE void runNext();

    std::mutex mutex_;
    std::deque<GuiTask> tasks_;
};

// Lives in the GUI thread, from the application's construction to its end.
std::atomic<GuiTaskQueue *> TaskQueue{nullptr};

void CreateTaskQueue()
{
    auto *queue = new GuiTaskQueue;
    queue->setParent(QCoreApplication::instance());
    TaskQueue = queue;
}
Q_COREAPP_STARTUP_FUNCTION(CreateTaskQueue)

GuiTaskQueue::~GuiTaskQueue()
{
    TaskQueue = nullptr;
    std::deque<GuiTask> dropped;
    {
        const std::lock_guard lock(mutex_);
        dropped.swap(tasks_);
    }
    for (const GuiTask &task : dropped) {
        if (task.ended)
            task.ended();
    }
}

void GuiTaskQueue::post(GuiTask task)
{
    // The wake-up too under the lock, as it reads this object: the lock
    // orders that before the object's end.
    const std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
    QMetaObject::invokeMethod(this, "runNext", Qt::QueuedConnection);
}

void GuiTaskQueue::runNext()
{
    GuiTask next;
    {
        const std::lock_guard lock(mutex_);
        if (tasks_.empty())
            return;
        next = std::move(tasks_.front());
        tasks_.pop_front();
    }
    const auto ended = qScopeGuard([&next] {
        if (next.ended)
            next.ended();
    });
    next.task();
}

// Queues task; ended runs once the task has run or has been dropped.
void PostTask(std::function<void()> task, std::function<void()> ended)
{
    if (GuiTaskQueue *queue = TaskQueue)
        queue->post({std::move(task), std::move(ended)});
    else if (ended)
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

#include "WinMessages.moc"
