#pragma once
// Kalvex_L as a process for tests: a copy of the program in the test's own
// folder (its main directory), started, awaited until its start-up is done,
// and ended as the desktop ends it.
#include "TempEnv.h"
#include "platform/Registry.h"

#include <QProcess>
#include <QStringList>

#include <memory>

namespace testsupport {

class ProgramProcess {
public:
    explicit ProgramProcess(const TempEnv &env);

    // Starts the copy with the given command line.
    std::unique_ptr<QProcess> start(const QStringList &arguments = {}) const;
    // True once the end of start-up has saved the settings under the root.
    bool waitUntilUp(plat::RootKey root = plat::RootKey::CurrentUser) const;
    // SIGTERM, as at log-out: the program closes in order. Expects it to end
    // normally within 40 s.
    static void terminate(QProcess &process);

private:
    QString program_;
};

} // namespace testsupport
