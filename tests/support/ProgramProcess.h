#pragma once
// Kalvex_L as a process for tests: a copy of the program in a folder of its
// own (its main directory), started with that folder's registry and named
// mutexes, awaited until its start-up is done, and ended as the desktop ends
// it. The folder is the test's own, or that of a NetLab host, where the copy
// runs in the host's network.
#include "TempEnv.h"
#include "core/MessageRecord.h"
#include "platform/Registry.h"

#include <QProcess>
#include <QStringList>

#include <memory>
#include <vector>

namespace testsupport {

class NetHost;

class ProgramProcess {
public:
    explicit ProgramProcess(const TempFolder &folder);
    explicit ProgramProcess(const NetHost &host);

    // Starts the copy with the given command line.
    std::unique_ptr<QProcess> start(const QStringList &arguments = {}) const;
    // True once the end of start-up has saved the settings under the root
    // and the servers listen.
    bool waitUntilUp(plat::RootKey root = plat::RootKey::CurrentUser) const;
    // SIGTERM, as at log-out: the program closes in order. Expects it to end
    // normally within 40 s.
    static void terminate(QProcess &process);

    // The TELs the program has stored in the TEL log pair of a fresh folder,
    // without its header record, and the text of one of them.
    std::vector<MessageRecord> storedTels() const;
    QByteArray storedText(const MessageRecord &tel) const;

private:
    void waitForServers() const;

    const TempFolder &folder_;
    const NetHost *host_ = nullptr;
    QString program_;
};

} // namespace testsupport
