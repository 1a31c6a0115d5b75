#include "platform/WinMessages.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDeadlineTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>
#include <QWidget>

#include <gtest/gtest.h>

#include <functional>
#include <thread>
#include <utility>

namespace {

struct Received {
    uint message;
    qintptr wParam, lParam;
    bool onGuiThread;
};

// A window that records the window messages it is given.
class RecordingForm : public QWidget {
public:
    std::vector<Received> received;

protected:
    bool event(QEvent *e) override
    {
        if (e->type() != plat::WindowMessageEvent::EventType())
            return QWidget::event(e);
        const auto *m = static_cast<plat::WindowMessageEvent *>(e);
        received.push_back({m->message(), m->wParam(), m->lParam(),
                            QThread::currentThread() == qApp->thread()});
        return true;
    }
};

// Processes events until the condition holds; false when it never does.
bool ProcessEventsUntil(const std::function<bool()> &condition)
{
    const QDeadlineTimer limit(10000);
    while (!condition()) {
        if (limit.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

} // namespace

TEST(WinMessages, SentOnTheGuiThreadArriveBeforeTheCallReturns)
{
    RecordingForm form;
    plat::SendWindowMessage(&form, 2025, 0, 3);
    ASSERT_EQ(form.received.size(), 1u);
    EXPECT_EQ(form.received[0].message, 2025u);
    EXPECT_EQ(form.received[0].wParam, 0);
    EXPECT_EQ(form.received[0].lParam, 3);

    RecordingForm hidden, shown;
    shown.show();
    plat::BroadcastToForms(2026, 1, -1);
    for (const RecordingForm *f : {&form, &hidden, &shown}) {
        ASSERT_FALSE(f->received.empty());
        EXPECT_EQ(f->received.back().message, 2026u);
        EXPECT_EQ(f->received.back().lParam, -1);
    }
}

TEST(WinMessages, SentFromAnotherThreadArriveOnTheGuiThread)
{
    RecordingForm form, other;
    std::thread([&] {
        plat::SendWindowMessage(&form, 2027, 0, 5);
        plat::BroadcastToForms(2025, 1, 7);
    }).join();
    EXPECT_TRUE(form.received.empty());
    ASSERT_TRUE(ProcessEventsUntil([&] { return form.received.size() == 2 && other.received.size() == 1; }));
    EXPECT_EQ(form.received[0].message, 2027u);
    EXPECT_EQ(form.received[0].lParam, 5);
    EXPECT_EQ(form.received[1].message, 2025u);
    EXPECT_EQ(other.received[0].wParam, 1);
    EXPECT_EQ(other.received[0].lParam, 7);
    for (const RecordingForm *f : {&form, &other})
        for (const Received &r : f->received)
            EXPECT_TRUE(r.onGuiThread);
}

TEST(WinMessages, RegisteredMessagesAreStablePerName)
{
    const uint open = plat::RegisterWindowMessage(QStringLiteral("Test Open"));
    const uint close = plat::RegisterWindowMessage(QStringLiteral("Test Close"));
    EXPECT_GE(open, 0xC000u);
    EXPECT_LE(open, 0xFFFFu);
    EXPECT_NE(open, close);
    EXPECT_EQ(plat::RegisterWindowMessage(QStringLiteral("Test Open")), open);
    EXPECT_EQ(plat::RegisterWindowMessage(QStringLiteral("TEST OPEN")), open);
    uint fromThread = 0;
    std::thread([&] { fromThread = plat::RegisterWindowMessage(QStringLiteral("Test Close")); }).join();
    EXPECT_EQ(fromThread, close);
}

namespace {

// Receives the broadcasts on a bus connection of its own.
class BroadcastListener : public QObject {
    Q_OBJECT
public:
    QStringList names;
    QList<qlonglong> wParams;

public slots:
    void onMessage(const QString &name, qlonglong wParam, qlonglong lParam)
    {
        names.append(name);
        wParams.append(wParam);
        Q_UNUSED(lParam);
    }
};

} // namespace

TEST(WinMessages, BroadcastIsASignalOnTheSessionBus)
{
    const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
    if (daemon.isEmpty())
        GTEST_SKIP() << "no dbus-daemon";
    // A process connects to its session bus once, on first use.
    static bool busChosen = false;
    if (std::exchange(busChosen, true))
        GTEST_SKIP() << "the session bus of this process is already chosen";
    QProcess bus;
    bus.start(daemon, {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address")});
    ASSERT_TRUE(bus.waitForStarted(10000));
    while (!bus.canReadLine() && bus.waitForReadyRead(10000)) {
    }
    const QByteArray address = bus.readLine().trimmed();
    ASSERT_FALSE(address.isEmpty());
    qputenv("DBUS_SESSION_BUS_ADDRESS", address);

    BroadcastListener listener;
    {
        QDBusConnection connection = QDBusConnection::connectToBus(QString::fromLatin1(address), QStringLiteral("listener"));
        ASSERT_TRUE(connection.isConnected());
        ASSERT_TRUE(connection.connect(QString(), QStringLiteral("/Kalvex"), QStringLiteral("org.kalvex.Broadcast"),
                                       QStringLiteral("RegisteredMessage"), &listener,
                                       SLOT(onMessage(QString, qlonglong, qlonglong))));
    }
    plat::PostBroadcastMessage(QStringLiteral("Kalvex Open"), 1234, 0);
    plat::PostBroadcastMessage(QStringLiteral("Kalvex Close"), 0, 0);
    EXPECT_TRUE(ProcessEventsUntil([&] { return listener.names.size() == 2; }));
    EXPECT_EQ(listener.names, QStringList({QStringLiteral("Kalvex Open"), QStringLiteral("Kalvex Close")}));
    EXPECT_EQ(listener.wParams.value(0), 1234);

    QDBusConnection::disconnectFromBus(QStringLiteral("listener"));
    bus.kill();
    bus.waitForFinished(10000);
    // With the bus gone the broadcast is dropped quietly.
    plat::PostBroadcastMessage(QStringLiteral("Kalvex Close"), 0, 0);
}

#include "WinMessagesTest.moc"
