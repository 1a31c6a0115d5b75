#include "ProgramProcess.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>

namespace testsupport {

ProgramProcess::ProgramProcess(const TempEnv &env) : program_(env.file(QStringLiteral("Kalvex_L")))
{
    if (!QFile::exists(program_)) {
        EXPECT_TRUE(QFile::copy(BinPath(QStringLiteral("Kalvex_L")), program_));
    }
}

std::unique_ptr<QProcess> ProgramProcess::start(const QStringList &arguments) const
{
    auto p = std::make_unique<QProcess>();
    p->setProcessChannelMode(QProcess::SeparateChannels);
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
        const plat::RegistryRead read = plat::LoadRegistry(root);
        const plat::RegKey *position = read.root.key(key);
        if (position && position->hasValue(QStringLiteral("MainState")))
            return true;
        QThread::msleep(50);
    }
    return false;
}

void ProgramProcess::terminate(QProcess &process)
{
    ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
    EXPECT_TRUE(process.waitForFinished(40000));
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
}

} // namespace testsupport
