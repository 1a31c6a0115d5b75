#include "platform/FreeOnTerminateThread.h"

#include <QCoreApplication>

namespace plat {

FreeOnTerminateThread::FreeOnTerminateThread()
{
    ++running_;
    // Counted off in the thread itself as it finishes: the deletion that
    // follows waits for an event loop, which shut-down may not run again.
    connect(this, &QThread::finished, this, [] { --running_; }, Qt::DirectConnection);
    if (QCoreApplication *app = QCoreApplication::instance())
        moveToThread(app->thread());
    connect(this, &QThread::finished, this, &QObject::deleteLater);
}

} // namespace plat
