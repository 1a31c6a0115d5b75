#pragma once
// A thread that frees itself when it has finished, as connection and server
// threads do. It may be created by another such thread that is about to end,
// so the object lives in the GUI thread, whose event loop deletes it once
// finished. Running() counts the threads created and not yet finished, so
// that shut-down can wait until none runs any more.
#include <QThread>

#include <atomic>

namespace plat {

class FreeOnTerminateThread : public QThread {
public:
    FreeOnTerminateThread();

    static int Running() { return running_; }

private:
    static inline std::atomic<int> running_{0};
};

} // namespace plat
