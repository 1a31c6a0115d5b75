#pragma once
// SIGTERM, SIGINT and SIGHUP (a log-out, a kill, Ctrl+C in a terminal) reach
// the GUI thread as a call of onSignal, so the program can close in order
// instead of dying in the middle of a write.
#include <functional>

namespace plat {

// Installs the handlers; call once on the GUI thread after the QApplication exists.
void OnTerminationSignal(std::function<void()> onSignal);

} // namespace plat
