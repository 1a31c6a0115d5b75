// Kalvex_L as a process: once per machine, first start, close sequence.
#include "core/HostRecord.h"
#include "platform/Registry.h"
#include "support/ProgramProcess.h"
#include "support/TempEnv.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QThread>

#include <csignal>

using testsupport::TempEnvTest;

namespace {

class ProgramMainTest : public TempEnvTest {
protected:
    std::unique_ptr<QProcess> start(const QStringList &arguments = {}) { return program.start(arguments); }
    bool waitUntilUp(plat::RootKey root = plat::RootKey::CurrentUser) { return program.waitUntilUp(root); }
    static void terminate(QProcess &p) { testsupport::ProgramProcess::terminate(p); }

    plat::RegKey settings(plat::RootKey root = plat::RootKey::CurrentUser)
    {
        const QString path = root == plat::RootKey::CurrentUser ? QStringLiteral("Software\\ZK\\Kalvex")
                                                                : QStringLiteral("SOFTWARE\\ZK\\Kalvex");
        const plat::RegistryRead read = plat::LoadRegistry(root);
        const plat::RegKey *k = read.root.key(path);
        return k ? *k : plat::RegKey();
    }

    testsupport::ProgramProcess program{env};
};

TEST_F(ProgramMainTest, SecondStartSaysItRunsAlreadyAndLeavesTheFirstAlone)
{
    auto first = start();
    ASSERT_TRUE(waitUntilUp());

    auto second = start();
    QByteArray said;
    QDeadlineTimer deadline(15000);
    while (!said.contains("すでに起動しています") && !deadline.hasExpired()) {
        second->waitForReadyRead(200);
        said += second->readAllStandardError();
    }
    EXPECT_TRUE(said.contains("すでに起動しています"));
    second->kill();
    second->waitForFinished();

    EXPECT_EQ(first->state(), QProcess::Running);
    terminate(*first);
    EXPECT_TRUE(env.readFile(QStringLiteral("Kalvex.log")).contains("***** Kalvex Close *****"));
}

TEST_F(ProgramMainTest, FirstStartWritesTheSettingsAndCloseSavesThemAgain)
{
    auto p = start();
    ASSERT_TRUE(waitUntilUp());
    // The second save, at close, rewrites the key: mark a value to see it happen.
    plat::UpdateRegistry(plat::RootKey::CurrentUser, [](plat::RegKey &root) {
        root.createKey(QStringLiteral("Software\\ZK\\Kalvex\\Position")).writeDWord(QStringLiteral("MainWidth"), 1);
    });
    terminate(*p);

    const plat::RegKey key = settings();
    EXPECT_EQ(key.key(QStringLiteral("Directory"))->readString(QStringLiteral("MainDirectory")), env.path());
    EXPECT_EQ(key.key(QStringLiteral("Security"))->readString(QStringLiteral("Version")), QStringLiteral("OLCP303L"));
    EXPECT_EQ(key.key(QStringLiteral("Position"))->readDWord(QStringLiteral("MainWidth")), 550u);
    const QByteArray log = env.readFile(QStringLiteral("Kalvex.log"));
    EXPECT_TRUE(log.contains("Kalvex Log Start  << "));
    EXPECT_TRUE(log.contains("Kalvex Installed : Ver.3.03.03031001R"));
    EXPECT_TRUE(log.contains("***** Kalvex Close *****"));
    // The data files of a first start.
    EXPECT_EQ(env.readFile(QStringLiteral("Telegram/Teleg000.dat")).size(), 400);
    const QByteArray list = env.readFile(QStringLiteral("Kalvex.lst"));
    ASSERT_GE(list.size(), HostRecord::Size);
    EXPECT_EQ(HostRecord::decode(list).Memo, QStringLiteral("Kalvex.lst"));
}

TEST_F(ProgramMainTest, IniChoiceTwoKeepsEverythingUnderTheLocalMachine)
{
    env.writeFile(QStringLiteral("Kalvex.ini"), "[Registry]\r\nKalvex=2\r\n");
    auto p = start();
    ASSERT_TRUE(waitUntilUp(plat::RootKey::LocalMachine));
    terminate(*p);
    EXPECT_TRUE(settings(plat::RootKey::LocalMachine).key(QStringLiteral("Directory")));
    EXPECT_FALSE(plat::LoadRegistry(plat::RootKey::CurrentUser).root.key(QStringLiteral("Software\\ZK\\Kalvex")));
}

TEST_F(ProgramMainTest, StartParameterGLeavesTheSavedStateAlone)
{
    auto p = start({QStringLiteral("-G2")});
    ASSERT_TRUE(waitUntilUp());
    terminate(*p);
    EXPECT_EQ(settings().key(QStringLiteral("Position"))->readDWord(QStringLiteral("MainState")), 0u);
}

TEST_F(ProgramMainTest, JunkInTheIniFileRegistryAndCommandLineStillStarts)
{
    env.writeFile(QStringLiteral("Kalvex.ini"), QByteArray("[Registry]\r\nKalvex=\xff\xfe\r\n[Parameter]\r\nG=\x81\r\n\0\0", 40));
    env.writeFile(QStringLiteral("registry/HKEY_CURRENT_USER.reg"),
                  "REGEDIT4\r\n\r\ngarbage line\r\n[HKEY_CURRENT_USER\\Software\\ZK\\Kalvex\\Position]\r\n"
                  "\"MainTop\"=\"not a number\"\r\n\"MainState\"=dword:zz\r\n");
    auto p = start({QStringLiteral("-"), QStringLiteral("/"), QStringLiteral("-Q"), QStringLiteral("--H--"),
                    QStringLiteral("-Hxyz")});
    ASSERT_TRUE(waitUntilUp());
    terminate(*p);
    EXPECT_TRUE(QFile::exists(env.file(QStringLiteral("registry/HKEY_CURRENT_USER.reg.bad"))));
}

} // namespace
