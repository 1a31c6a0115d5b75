#pragma once
// Waiting in a test while the program's own events go on.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QThread>

namespace testsupport {

// Processes events (deferred deletions included) until done() holds or
// limitMs have passed; done()'s last answer.
template <typename Condition>
bool WaitUntil(Condition done, int limitMs = 20000)
{
    QElapsedTimer waited;
    waited.start();
    while (!done()) {
        if (waited.elapsed() > limitMs)
            return done();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QThread::msleep(1);
    }
    return true;
}

} // namespace testsupport
