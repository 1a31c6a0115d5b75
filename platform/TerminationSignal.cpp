#include "platform/TerminationSignal.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace plat {
namespace {

int signalPipe[2] = {-1, -1};

// Only async-signal-safe work here: one byte into the pipe.
void HandleSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(signalPipe[1], &byte, 1);
}

} // namespace

void OnTerminationSignal(std::function<void()> onSignal)
{
    if (signalPipe[0] >= 0 || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [onSignal = std::move(onSignal)] {
        char buffer[16];
        [[maybe_unused]] ssize_t n = ::read(signalPipe[0], buffer, sizeof buffer);
        onSignal();
    });
    struct sigaction action {};
    action.sa_handler = HandleSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(sig, &action, nullptr);
}

} // namespace plat
