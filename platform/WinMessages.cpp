#include "platform/WinMessages.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QHash>
#include <QThread>
#include <QWidget>

#include <mutex>

namespace plat {

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
    if (QCoreApplication *app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, std::move(action), Qt::QueuedConnection);
}

} // namespace plat
