// The registry: keys in memory, the REGEDIT4 root files, the file lock and
// atomic replace, and the regedit command.
#include "platform/Cp932.h"
#include "platform/Registry.h"

#include "support/TempEnv.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QProcess>

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

using namespace plat;

namespace {

constexpr int CrashValues = 200;

// With KALVEX_REGISTRY_TEST_WRITER set, this program is not the tests but a
// registry writer for them to kill: "hang" stops inside an edit, "loop" writes
// for ever. It runs before main and never returns.
[[maybe_unused]] const bool writerStarted = [] {
    const QByteArray mode = qgetenv("KALVEX_REGISTRY_TEST_WRITER");
    if (mode == "hang") {
        UpdateRegistry(RootKey::CurrentUser, [](RegKey &root) {
            root.createKey(QStringLiteral("Crash")).writeDWord(QStringLiteral("state"), 2);
            std::puts("editing");
            std::fflush(stdout);
            for (;;)
                pause();
        });
    }
    for (quint32 i = 1; mode == "loop"; ++i) {
        UpdateRegistry(RootKey::CurrentUser, [i](RegKey &root) {
            RegKey &crash = root.createKey(QStringLiteral("Crash"));
            for (int v = 0; v < CrashValues; ++v)
                crash.writeBinary(QStringLiteral("v%1").arg(v), QByteArray(200, static_cast<char>(i)));
        });
        std::printf("%u\n", i);
        std::fflush(stdout);
    }
    return false;
}();

void startWriter(QProcess &writer, const char *mode)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("KALVEX_REGISTRY_TEST_WRITER"), QString::fromLatin1(mode));
    writer.setProcessEnvironment(environment);
    writer.start(QCoreApplication::applicationFilePath(), {});
}

// Every value of the loop writer's key from one and the same pass.
void expectWholeState(const RegistryRead &read)
{
    EXPECT_TRUE(read.problems.isEmpty()) << read.problems.join('\n').toStdString();
    const RegKey *crash = read.root.key(QStringLiteral("Crash"));
    ASSERT_NE(crash, nullptr);
    ASSERT_EQ(crash->valueNames().size(), CrashValues);
    for (int v = 0; v < CrashValues; ++v)
        ASSERT_EQ(crash->readBinary(QStringLiteral("v%1").arg(v)), crash->readBinary(QStringLiteral("v0")));
}

struct RegeditRun {
    int exitCode = -1;
    QString errors;
};

RegeditRun regedit(const QStringList &arguments)
{
    QProcess process;
    process.start(testsupport::BinPath(QStringLiteral("regedit")), arguments);
    process.waitForFinished(60000);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromLocal8Bit(process.readAllStandardError())};
}

class RegistryTest : public testsupport::TempEnvTest {
protected:
    QString filePath() const { return RegistryFilePath(RootKey::CurrentUser); }
};

} // namespace

TEST(RegKey, NamesMatchWithoutRegardToCaseAndKeepTheirFirstCase)
{
    RegKey root(QStringLiteral("HKEY_CURRENT_USER"));
    root.createKey(QStringLiteral("Software\\ZK\\Ärger")).writeString(QStringLiteral("MainDir"), QStringLiteral("a"));
    const RegKey *key = root.key(QStringLiteral("SOFTWARE\\zk\\äRGER"));
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->name(), QStringLiteral("Ärger"));
    EXPECT_EQ(&root.createKey(QStringLiteral("software\\ZK\\ärger")), key);
    EXPECT_EQ(root.subKeyNames(), QStringList{QStringLiteral("Software")});

    root.key(QStringLiteral("software\\zk\\ärger"))->writeString(QStringLiteral("MAINDIR"), QStringLiteral("b"));
    EXPECT_EQ(key->valueNames(), QStringList{QStringLiteral("MainDir")});
    EXPECT_EQ(key->readString(QStringLiteral("maindir")), QStringLiteral("b"));
    EXPECT_EQ(root.key(QStringLiteral("Software\\Missing")), nullptr);
    EXPECT_THROW(root.createKey(QStringLiteral("Bad\nName")), RegistryError);
}

TEST(RegKey, OrdersTypesAndDeletions)
{
    RegKey root;
    for (const char *name : {"b", "C", "a"})
        root.createKey(QString::fromLatin1(name));
    EXPECT_EQ(root.subKeyNames(), (QStringList{"a", "b", "C"}));

    RegKey &key = *root.key(QStringLiteral("a"));
    key.writeString(QStringLiteral("z"), QStringLiteral("1"));
    key.writeString(QStringLiteral("a"), QStringLiteral("2"));
    key.writeString(QStringLiteral("m"), QStringLiteral("3"));
    key.writeDWord(QStringLiteral("A"), 5); // replaces type and data in place
    EXPECT_EQ(key.valueNames(), (QStringList{"z", "a", "m"}));
    EXPECT_EQ(key.readDWord(QStringLiteral("a")), 5u);
    EXPECT_FALSE(key.readString(QStringLiteral("a")));
    EXPECT_FALSE(key.readBinary(QStringLiteral("z")));
    EXPECT_FALSE(key.readMultiString(QStringLiteral("z")));
    EXPECT_FALSE(key.readDWord(QStringLiteral("missing")));

    EXPECT_TRUE(key.deleteValue(QStringLiteral("Z")));
    EXPECT_FALSE(key.deleteValue(QStringLiteral("z")));
    EXPECT_EQ(key.valueNames(), (QStringList{"a", "m"}));

    root.createKey(QStringLiteral("b\\deep\\deeper"));
    EXPECT_TRUE(root.deleteKey(QStringLiteral("B")));
    EXPECT_FALSE(root.deleteKey(QStringLiteral("b\\deep")));
    EXPECT_FALSE(root.deleteKey(QString()));
    EXPECT_EQ(root.subKeyNames(), (QStringList{"a", "C"}));
}

TEST_F(RegistryTest, TypedValuesRoundTripThroughTheFile)
{
    qputenv("KALVEX_REGISTRY_DIR", env.file(QStringLiteral("new/registry")).toUtf8());
    RegKey expected(QStringLiteral("HKEY_CURRENT_USER"));
    const auto fill = [](RegKey &root) {
        RegKey &key = root.createKey(QStringLiteral("Software\\ZK\\Kalvex"));
        key.writeString(QStringLiteral("Text"), QStringLiteral("C:\\Kalvex \"q\" ソ表 ﾒｲﾝ･ﾃﾞｨﾚｸﾄﾘ"));
        key.writeString(QString(), QStringLiteral("default"));
        key.writeString(QStringLiteral("Lines"), QStringLiteral("a\r\nb\n"));
        key.writeDWord(QStringLiteral("N"), 10);
        key.writeDWord(QStringLiteral("Max"), 0xFFFFFFFF);
        QByteArray all;
        for (int b = 0; b < 256; ++b)
            all += static_cast<char>(b);
        key.writeBinary(QStringLiteral("All"), all);
        key.writeBinary(QStringLiteral("B"), QByteArray("\x01\x02\xff"));
        key.writeMultiString(QStringLiteral("M"), {QStringLiteral("a"), QStringLiteral("b")});
        key.writeMultiString(QStringLiteral("Multi"), {QStringLiteral("一"), QString(), QStringLiteral("ﾃｽﾄ\\")});
        key.writeMultiString(QStringLiteral("None"), {});
        root.createKey(QStringLiteral("Empty\\Leaf"));
    };
    fill(expected);
    UpdateRegistry(RootKey::CurrentUser, fill);

    const RegistryRead read = LoadRegistry(RootKey::CurrentUser);
    EXPECT_TRUE(read.problems.isEmpty()) << read.problems.join('\n').toStdString();
    EXPECT_EQ(read.root, expected);

    const QByteArray file = env.readFile(QStringLiteral("new/registry/HKEY_CURRENT_USER.reg"));
    EXPECT_TRUE(file.startsWith("REGEDIT4\r\n\r\n"));
    EXPECT_EQ(file.count('\n'), file.count("\r\n"));
    EXPECT_TRUE(file.contains(ToCp932(QStringLiteral("[HKEY_CURRENT_USER\\Software\\ZK\\Kalvex]\r\n"
                                                      "\"Text\"=\"C:\\\\Kalvex \\\"q\\\" ソ表 ﾒｲﾝ･ﾃﾞｨﾚｸﾄﾘ\"\r\n"
                                                      "@=\"default\"\r\n"))));
    EXPECT_TRUE(file.contains("\"N\"=dword:0000000a\r\n\"Max\"=dword:ffffffff\r\n"));
    EXPECT_TRUE(file.contains("\"B\"=hex:01,02,ff\r\n\"M\"=hex(7):61,00,62,00,00\r\n"));
    EXPECT_TRUE(file.contains("[HKEY_CURRENT_USER\\Empty\\Leaf]\r\n"));

    struct stat folder = {}, root = {};
    ASSERT_EQ(stat(QFile::encodeName(RegistryDirectory()).constData(), &folder), 0);
    ASSERT_EQ(stat(QFile::encodeName(filePath()).constData(), &root), 0);
    EXPECT_EQ(folder.st_mode & 0777, 0700u);
    EXPECT_EQ(root.st_mode & 0777, 0600u);
}

TEST_F(RegistryTest, MalformedLinesAreReportedAndTheFileKeptBeforeARewrite)
{
    // LF line ends are read too; lines 9 (binary junk) and 16 (1 MiB) are added below.
    const QByteArray original = QByteArray(R"(REGEDIT4

"early"="x"
[HKEY_CURRENT_USER\Good]
"a"="1"
this is garbage
"bad"="x\q"
"hex"=hex:01,zz
)") + QByteArray("\0\xff\x82 junk\n", 9) + R"("b"=hex:01,\
  02
[HKEY_LOCAL_MACHINE\Other]
"c"="lost"
[HKEY_CURRENT_USER\Good\Sub]
"d"=dword:123456789
)" + QByteArray(1 << 20, 'x') + "\n\"e\"=dword:1\n";
    env.writeFile(QStringLiteral("registry/HKEY_CURRENT_USER.reg"), original);

    const RegistryRead read = LoadRegistry(RootKey::CurrentUser);
    EXPECT_EQ(read.problems.join('|').toStdString(),
              "line 3: value outside a key|line 6: not a key or value|line 7: bad escape|"
              "line 8: bad hex data|line 9: invalid CP932 text|line 12: key of another root|"
              "line 13: value outside a key|line 15: bad dword|line 16: not a key or value");
    const auto expectGoodKeys = [](const RegKey &root) {
        EXPECT_EQ(root.key(QStringLiteral("Good"))->readString(QStringLiteral("a")), QStringLiteral("1"));
        EXPECT_EQ(root.key(QStringLiteral("Good"))->readBinary(QStringLiteral("b")), QByteArray("\x01\x02"));
        EXPECT_EQ(root.key(QStringLiteral("Good\\Sub"))->readDWord(QStringLiteral("e")), 1u);
    };
    expectGoodKeys(read.root);

    UpdateRegistry(RootKey::CurrentUser, [](RegKey &root) { root.writeDWord(QStringLiteral("added"), 1); });
    EXPECT_EQ(env.readFile(QStringLiteral("registry/HKEY_CURRENT_USER.reg.bad")), original);
    const RegistryRead after = LoadRegistry(RootKey::CurrentUser);
    EXPECT_TRUE(after.problems.isEmpty());
    expectGoodKeys(after.root);
    EXPECT_EQ(after.root.readDWord(QStringLiteral("added")), 1u);

    // A later bad file never overwrites the earlier copy.
    env.writeFile(QStringLiteral("registry/HKEY_CURRENT_USER.reg"), "garbage");
    UpdateRegistry(RootKey::CurrentUser, [](RegKey &) {});
    EXPECT_EQ(env.readFile(QStringLiteral("registry/HKEY_CURRENT_USER.reg.bad")), original);
    EXPECT_EQ(env.readFile(QStringLiteral("registry/HKEY_CURRENT_USER.reg.bad.2")), QByteArray("garbage"));
}

TEST(Regedit4, DeletionsFollowTheLineOrderAndRootsStaySeparate)
{
    const Regedit4Import import = ParseRegedit4("REGEDIT4\r\n\r\n"
                                                "[HKEY_CURRENT_USER\\A\\Old]\r\n\"x\"=\"1\"\r\n"
                                                "[-HKEY_CURRENT_USER\\A\\Old]\r\n"
                                                "[-hkey_current_user\\A\\Gone]\r\n"
                                                "[HKEY_CURRENT_USER\\A\\Gone\\New]\r\n@=\"2\"\r\n"
                                                "[HKEY_LOCAL_MACHINE\\M]\r\n\"z\"=\"3\"\r\n"
                                                "[-HKEY_CURRENT_USER]\r\n"
                                                "[HKEY_CLASSES_ROOT\\X]\r\n");
    EXPECT_EQ(import.deletedCurrentUser, (QStringList{"A\\Old", "A\\Gone"}));
    EXPECT_TRUE(import.deletedLocalMachine.isEmpty());
    EXPECT_EQ(import.currentUser.key(QStringLiteral("A\\Old")), nullptr);
    EXPECT_EQ(import.currentUser.key(QStringLiteral("A\\Gone\\New"))->readString(QString()), QStringLiteral("2"));
    EXPECT_EQ(import.localMachine.key(QStringLiteral("M"))->readString(QStringLiteral("z")), QStringLiteral("3"));
    EXPECT_EQ(import.problems.join('|').toStdString(), "line 11: a root key cannot be deleted|line 12: unknown root key");
}

TEST_F(RegistryTest, FailuresLeaveTheFileAlone)
{
    UpdateRegistry(RootKey::CurrentUser, [](RegKey &root) { root.writeDWord(QStringLiteral("kept"), 1); });
    const QByteArray before = env.readFile(QStringLiteral("registry/HKEY_CURRENT_USER.reg"));
    EXPECT_THROW(UpdateRegistry(RootKey::CurrentUser,
                                [](RegKey &root) {
                                    root.writeDWord(QStringLiteral("kept"), 2);
                                    throw std::runtime_error("edit failed");
                                }),
                 std::runtime_error);
    EXPECT_EQ(env.readFile(QStringLiteral("registry/HKEY_CURRENT_USER.reg")), before);

    // A file that cannot be read (here: a folder in its place) is never taken as empty.
    QDir(RegistryDirectory()).mkdir(QStringLiteral("HKEY_LOCAL_MACHINE.reg"));
    EXPECT_THROW(LoadRegistry(RootKey::LocalMachine), RegistryError);
    bool edited = false;
    EXPECT_THROW(UpdateRegistry(RootKey::LocalMachine, [&](RegKey &) { edited = true; }), RegistryError);
    EXPECT_FALSE(edited);
    EXPECT_TRUE(QFileInfo(RegistryFilePath(RootKey::LocalMachine)).isDir());
}

TEST_F(RegistryTest, RegeditExportsAndImportsASubtree)
{
    UpdateRegistry(RootKey::CurrentUser, [](RegKey &root) {
        RegKey &dir = root.createKey(QStringLiteral("Software\\ZK\\Kalvex\\Directory"));
        dir.writeString(QStringLiteral("Main"), QStringLiteral("/home/ｶﾙ"));
        dir.writeDWord(QStringLiteral("TelegPointer"), 7);
        root.createKey(QStringLiteral("Software\\ZK\\Kalvex\\Empty"));
        root.createKey(QStringLiteral("Software\\Other")).writeString(QStringLiteral("x"), QStringLiteral("y"));
    });
    const RegKey saved = *LoadRegistry(RootKey::CurrentUser).root.key(QStringLiteral("Software\\ZK"));

    const QString exported = env.file(QStringLiteral("kalvex.reg"));
    EXPECT_EQ(regedit({QStringLiteral("/e"), exported, QStringLiteral("hkey_current_user\\software\\zk\\kalvex")}).exitCode, 0);
    const QByteArray text = env.readFile(QStringLiteral("kalvex.reg"));
    EXPECT_TRUE(text.startsWith("REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\ZK\\Kalvex]\r\n\r\n"));
    EXPECT_FALSE(text.contains("Other"));

    UpdateRegistry(RootKey::CurrentUser, [](RegKey &root) { root.deleteKey(QStringLiteral("Software\\ZK")); });
    EXPECT_EQ(regedit({QStringLiteral("/s"), exported}).exitCode, 0);
    EXPECT_EQ(*LoadRegistry(RootKey::CurrentUser).root.key(QStringLiteral("Software\\ZK")), saved);
    // Without /s the editor asks first: "no" merges nothing, "yes" merges.
    UpdateRegistry(RootKey::CurrentUser, [](RegKey &root) { root.deleteKey(QStringLiteral("Software\\ZK")); });
    qputenv("KALVEX_REGEDIT_ANSWER", "no");
    EXPECT_NE(regedit({exported}).exitCode, 0);
    EXPECT_EQ(LoadRegistry(RootKey::CurrentUser).root.key(QStringLiteral("Software\\ZK")), nullptr);
    qputenv("KALVEX_REGEDIT_ANSWER", "yes");
    EXPECT_EQ(regedit({exported}).exitCode, 0);
    EXPECT_EQ(*LoadRegistry(RootKey::CurrentUser).root.key(QStringLiteral("Software\\ZK")), saved);
    qunsetenv("KALVEX_REGEDIT_ANSWER");

    env.writeFile(QStringLiteral("delete.reg"), "REGEDIT4\r\n\r\ngarbage\r\n[-HKEY_CURRENT_USER\\Software\\Other]\r\n");
    const RegeditRun run = regedit({QStringLiteral("/s"), env.file(QStringLiteral("delete.reg"))});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(run.errors.contains(QStringLiteral("line 3: not a key or value"))) << run.errors.toStdString();
    EXPECT_EQ(LoadRegistry(RootKey::CurrentUser).root.key(QStringLiteral("Software\\Other")), nullptr);
    EXPECT_FALSE(QFileInfo::exists(RegistryFilePath(RootKey::LocalMachine)));

    EXPECT_NE(regedit({QStringLiteral("/e"), exported, QStringLiteral("HKEY_CURRENT_USER\\Missing")}).exitCode, 0);
    EXPECT_NE(regedit({QStringLiteral("/s"), env.file(QStringLiteral("missing.reg"))}).exitCode, 0);
    EXPECT_NE(regedit({}).exitCode, 0);
}

TEST_F(RegistryTest, ParallelImportsLoseNothing)
{
    constexpr int perWriter = 50;
    const std::array<QString, 2> prefixes{QStringLiteral("a"), QStringLiteral("b")};
    for (const QString &prefix : prefixes) {
        for (int i = 0; i < perWriter; ++i) {
            env.writeFile(QStringLiteral("imports/%1%2.reg").arg(prefix).arg(i),
                          QStringLiteral("REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Race]\r\n\"%1%2\"=dword:%2\r\n")
                              .arg(prefix)
                              .arg(i)
                              .toLatin1());
        }
    }
    const QString script =
        QStringLiteral("i=0; while [ $i -lt %1 ]; do \"$0\" /s \"$1$i.reg\" || exit 1; i=$((i+1)); done").arg(perWriter);
    std::array<QProcess, 2> writers;
    for (size_t n = 0; n < writers.size(); ++n) {
        writers[n].start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), script, testsupport::BinPath(QStringLiteral("regedit")),
                                                     env.file(QStringLiteral("imports/")) + prefixes[n]});
    }
    for (QProcess &writer : writers) {
        ASSERT_TRUE(writer.waitForFinished(300000));
        EXPECT_EQ(writer.exitCode(), 0) << writer.readAllStandardError().toStdString();
    }
    const RegistryRead read = LoadRegistry(RootKey::CurrentUser);
    ASSERT_NE(read.root.key(QStringLiteral("Race")), nullptr);
    EXPECT_EQ(read.root.key(QStringLiteral("Race"))->valueNames().size(), 2 * perWriter);
}

TEST_F(RegistryTest, AKilledWriterLeavesAWholeFileAndNoLock)
{
    UpdateRegistry(RootKey::CurrentUser, [](RegKey &root) { root.createKey(QStringLiteral("Crash")).writeDWord(QStringLiteral("state"), 1); });
    {
        QProcess writer;
        startWriter(writer, "hang");
        while (!writer.readAllStandardOutput().contains("editing"))
            ASSERT_TRUE(writer.waitForReadyRead(30000));
        writer.kill();
        writer.waitForFinished();
    }
    EXPECT_EQ(LoadRegistry(RootKey::CurrentUser).root.key(QStringLiteral("Crash"))->readDWord(QStringLiteral("state")), 1u);
    // The dead writer's lock is taken over at once.
    UpdateRegistry(RootKey::CurrentUser, [](RegKey &root) { root.deleteKey(QStringLiteral("Crash")); });

    // Killed at whatever point it has reached; readers meanwhile see whole files only.
    QProcess writer;
    startWriter(writer, "loop");
    ASSERT_TRUE(writer.waitForReadyRead(30000));
    for (qsizetype passes = 0; passes < 100; passes += writer.readAllStandardOutput().count('\n')) {
        ASSERT_NE(writer.state(), QProcess::NotRunning);
        expectWholeState(LoadRegistry(RootKey::CurrentUser));
        writer.waitForReadyRead(0);
    }
    writer.kill();
    writer.waitForFinished();
    expectWholeState(LoadRegistry(RootKey::CurrentUser));
    UpdateRegistry(RootKey::CurrentUser, [](RegKey &root) { root.writeDWord(QStringLiteral("after"), 1); });

    // An owner that died before writing its process id leaves an empty lock
    // file; once older than the wait for a lock it must not block anyone.
    QFile lockFile(filePath() + QStringLiteral(".lock"));
    ASSERT_TRUE(lockFile.open(QIODevice::WriteOnly));
    lockFile.setFileTime(QDateTime::currentDateTime().addSecs(-10), QFileDevice::FileModificationTime);
    lockFile.close();
    UpdateRegistry(RootKey::CurrentUser, [](RegKey &root) { root.writeDWord(QStringLiteral("after"), 2); });
}
