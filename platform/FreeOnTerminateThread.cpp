#include "platform/FreeOnTerminateThread.h"

#include "platform/WinMessages.h"

#include <QCoreApplication>

namespace plat {

FreeOnTerminateThread::FreeOnTerminateThread()
{
    ++running_;
    // Counted off in the thread itself as it finishes: the deletion that
    // follows waits for an event loop, which shut-down may not run again.
    // The deletion goes to the GUI thread through PostToGuiThread, which
    // hands it everything the thread wrote.
    connect(
        this, &QThread::finished, this,
        [this] {
            --running_;
            PostToGuiThread([this] { deleteLater(); });
        },
        Qt::DirectConnection);
    if (QCoreApplication *app = QCoreApplication::instance())
        moveToThread(app->thread());
}

} // namespace plat
