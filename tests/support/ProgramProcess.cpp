#include "ProgramProcess.h"

#include "MainWindow.h"
#include "NetLab.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>

namespace testsupport {

namespace {

// The TEL log pair that a program starting in an empty folder writes.
const QString FirstTelLog = QStringLiteral("Telegram/Teleg000");

// The root as the program in the folder has last saved it.
plat::RegKey SavedRoot(const TempFolder &folder, plat::RootKey root)
{
    QFile file(QDir(folder.registryDir()).filePath(plat::RootKeyName(root) + QStringLiteral(".reg")));
    if (!file.open(QIODevice::ReadOnly))
        return plat::RegKey();
    plat::Regedit4Import parsed = plat::ParseRegedit4(file.readAll());
    return root == plat::RootKey::CurrentUser ? parsed.currentUser : parsed.localMachine;
}

} // namespace

ProgramProcess::ProgramProcess(const TempFolder &folder)
    : folder_(folder), program_(folder.file(QStringLiteral("Kalvex_L")))
{
    if (!QFile::exists(program_)) {
        EXPECT_TRUE(QFile::copy(BinPath(QStringLiteral("Kalvex_L")), program_));
    }
}

ProgramProcess::ProgramProcess(const NetHost &host) : ProgramProcess(host.folder())
{
    host_ = &host;
}

std::unique_ptr<QProcess> ProgramProcess::start(const QStringList &arguments) const
{
    auto p = host_ ? host_->process() : std::make_unique<QProcess>();
    p->setProcessEnvironment(folder_.environment());
    p->start(program_, arguments);
    EXPECT_TRUE(p->waitForStarted(10000));
    return p;
}

bool ProgramProcess::waitUntilUp(plat::RootKey root) const
{
    const QString key = root == plat::RootKey::CurrentUser ? QStringLiteral("Software\\ZK\\Kalvex\\Position")
                                                           : QStringLiteral("SOFTWARE\\ZK\\Kalvex\\Position");
    QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired()) {
        const plat::RegKey saved = SavedRoot(folder_, root);
        const plat::RegKey *position = saved.key(key);
        if (position && position->hasValue(QStringLiteral("MainState")))
            return waitForServers(), true;
        QThread::msleep(50);
    }
    return false;
}

// The settings are saved before the servers start: their banners in the
// activity log tell when both listen (the UDP server starts last). A program
// that keeps no log file is given a moment instead.
void ProgramProcess::waitForServers() const
{
    const QString log = folder_.file(QStringLiteral("Kalvex.log"));
    QDeadlineTimer deadline(5000);
    while (!deadline.hasExpired()) {
        QFile file(log);
        if (file.open(QIODevice::ReadOnly) && file.readAll().contains("UDP Server Thread"))
            return;
        QThread::msleep(20);
    }
}

void ProgramProcess::terminate(QProcess &process)
{
    ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
    EXPECT_TRUE(process.waitForFinished(40000));
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
}

std::vector<MessageRecord> ProgramProcess::storedTels() const
{
    return StoredTels(folder_.file(FirstTelLog + QStringLiteral(".dat")));
}

QByteArray ProgramProcess::storedText(const MessageRecord &tel) const
{
    return folder_.readFile(FirstTelLog + QStringLiteral(".txt")).mid(tel.Start, tel.Bytes);
}

} // namespace testsupport
