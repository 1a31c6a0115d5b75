#include "platform/NamedMutex.h"

#include "support/TempEnv.h"

#include <QCoreApplication>
#include <QProcess>

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>

namespace {

constexpr char HolderVariable[] = "KALVEX_TEST_MUTEX_HOLDER";

// Started again by the tests below with HolderVariable naming a mutex, this
// program is a second process that takes the mutex, prints its error number
// and holds it until its standard input closes or it is killed. It does so
// before main() runs, so it needs neither the application nor the tests.
bool RunAsMutexHolder()
{
    if (!qEnvironmentVariableIsSet(HolderVariable))
        return false;
    const plat::NamedMutex mutex(qEnvironmentVariable(HolderVariable));
    std::printf("%d\n", mutex.lastError());
    std::fflush(stdout);
    char byte;
    while (::read(STDIN_FILENO, &byte, 1) > 0) {
    }
    ::_exit(0);
}

[[maybe_unused]] const bool ranAsHolder = RunAsMutexHolder();

// A second process holding the named mutex while it runs.
class Holder {
public:
    explicit Holder(const QString &name)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QString::fromLatin1(HolderVariable), name);
        process_.setProcessEnvironment(environment);
        process_.start(QCoreApplication::applicationFilePath(), {});
        EXPECT_TRUE(process_.waitForStarted(10000));
        while (!process_.canReadLine() && process_.waitForReadyRead(10000)) {
        }
        lastError_ = process_.readLine().trimmed().toInt();
    }
    ~Holder()
    {
        process_.kill();
        process_.waitForFinished(10000);
    }
    Holder(const Holder &) = delete;
    Holder &operator=(const Holder &) = delete;

    int lastError() const { return lastError_; }
    // Ends the holder as a crash would: the kernel alone releases the lock.
    void kill()
    {
        process_.kill();
        EXPECT_TRUE(process_.waitForFinished(10000));
    }

private:
    QProcess process_;
    int lastError_ = -1;
};

class NamedMutexTest : public testsupport::TempEnvTest {};

} // namespace

TEST_F(NamedMutexTest, SecondHolderSeesItAlreadyExistsAndFirstKeepsIt)
{
    const QString name = QStringLiteral("OLCP Test Mutex");
    plat::NamedMutex first(name);
    EXPECT_EQ(first.lastError(), 0);
    EXPECT_FALSE(first.alreadyExists());

    EXPECT_EQ(Holder(name).lastError(), plat::ERROR_ALREADY_EXISTS);
    // The refused holder took nothing away: a later one is refused too, in
    // this process as well as in another.
    EXPECT_EQ(Holder(name).lastError(), plat::ERROR_ALREADY_EXISTS);
    const plat::NamedMutex again(name);
    EXPECT_TRUE(again.alreadyExists());
    // Names that differ only in a character that cannot be in a file name
    // are still different mutexes.
    EXPECT_EQ(plat::NamedMutex(QStringLiteral("OLCP Test/Mutex")).lastError(), 0);

    first.release();
    EXPECT_EQ(Holder(name).lastError(), 0);
}

TEST_F(NamedMutexTest, ReleasedWhenTheHolderDies)
{
    const QString name = QStringLiteral("OLCP Test Mutex");
    Holder holder(name);
    ASSERT_EQ(holder.lastError(), 0);
    EXPECT_EQ(plat::NamedMutex(name).lastError(), plat::ERROR_ALREADY_EXISTS);

    holder.kill();
    const plat::NamedMutex after(name);
    EXPECT_EQ(after.lastError(), 0);
}
