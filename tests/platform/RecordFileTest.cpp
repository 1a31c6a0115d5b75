// Appending and flushing the data files: appends from many threads whose
// writes and flushes are shared, and appends that fail.
#include "platform/RecordFile.h"
#include "support/TempEnv.h"

#include <QDir>
#include <QFile>
#include <QSet>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <mutex>
#include <sys/resource.h>
#include <thread>
#include <vector>

namespace {

class RecordFileTest : public testsupport::TempEnvTest {};

// Many threads append tagged entries to a record file and a byte file; every
// seventh entry is refused by its image. Each stored entry lands whole at the
// position it was given, positions are distinct and rise in each thread's order.
TEST_F(RecordFileTest, GroupAppendsFromManyThreadsLandWholeAtTheirPositions)
{
    const QString text = env.file(QStringLiteral("bodies.txt"));
    plat::RecordFile records(env.file(QStringLiteral("records.dat")), 8);
    ASSERT_TRUE(records.create());
    records.close();
    ASSERT_TRUE(plat::EnsureFileExists(text));
    std::recursive_mutex textLock, recordLock;
    plat::GroupAppend bodies(textLock, 1), indexed(recordLock, 8);

    constexpr int Threads = 12, PerThread = 60;
    std::vector<std::thread> threads;
    std::atomic<int> stored{0};
    for (int t = 0; t < Threads; ++t)
        threads.emplace_back([&, t] {
            qint64 lastAt = -1, lastIndex = -1;
            for (int i = 0; i < PerThread; ++i) {
                const QByteArray tag = QByteArray::number(t * 1000 + i).rightJustified(6, '0');
                const bool refuse = i % 7 == 3;
                QString error;
                const qint64 at = bodies.append(text, [&](qint64, QByteArray &bytes, QString &why) {
                    bytes = tag;
                    why = QStringLiteral("refused");
                    return !refuse;
                }, &error);
                EXPECT_EQ(at < 0, refuse);
                if (refuse) {
                    EXPECT_EQ(error, QStringLiteral("refused"));
                    continue;
                }
                const qint64 index = indexed.append(records.path(), [&](qint64 position, QByteArray &bytes, QString &) {
                    bytes = tag + QByteArray::number(position % 100).rightJustified(2, '0');
                    return true;
                }, &error);
                ASSERT_GE(index, 0) << error.toStdString();
                EXPECT_EQ(plat::ReadFileAt(text, at, 6), tag);
                EXPECT_GT(at, lastAt);
                EXPECT_GT(index, lastIndex);
                lastAt = at;
                lastIndex = index;
                ++stored;
            }
        });
    for (auto &th : threads)
        th.join();

    ASSERT_TRUE(records.open());
    ASSERT_EQ(records.count(), stored.load());
    EXPECT_EQ(plat::FileSize(text), stored * 6);
    QSet<QByteArray> inText, inRecords;
    QByteArray record;
    for (int n = 0; n < stored; ++n) {
        inText.insert(plat::ReadFileAt(text, n * 6, 6));
        ASSERT_TRUE(records.read(n, record));
        EXPECT_EQ(record.mid(6).toInt(), n % 100); // made from the index it was given
        inRecords.insert(record.left(6));
    }
    EXPECT_EQ(inText.size(), stored.load());
    EXPECT_EQ(inRecords, inText);
}

// A write cut short by the file size limit fails the entry and leaves the file
// as it was; a file that cannot be opened fails it with a reason.
TEST_F(RecordFileTest, FailedGroupAppendLeavesNoPartOfItBehind)
{
    plat::RecordFile records(env.file(QStringLiteral("records.dat")), 100);
    ASSERT_TRUE(records.create());
    ASSERT_GE(records.append("first"), 0);
    records.close();
    std::recursive_mutex lock;
    plat::GroupAppend appends(lock, 100);
    const auto threeRecords = [](qint64, QByteArray &bytes, QString &) {
        bytes = QByteArray(300, 'r');
        return true;
    };
    QString error;
    {
        struct rlimit old {};
        ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit small = old;
        small.rlim_cur = 250;
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
        EXPECT_EQ(appends.append(records.path(), threeRecords, &error), -1);
        ::setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldHandler);
    }
    EXPECT_TRUE(error.startsWith(QStringLiteral("Cannot write"))) << error.toStdString();
    EXPECT_EQ(plat::FileSize(records.path()), 100);
    EXPECT_EQ(appends.append(records.path(), threeRecords, &error), 1);
    EXPECT_EQ(appends.append(env.file(QStringLiteral("missing.dat")), threeRecords, &error), -1);
    EXPECT_TRUE(error.startsWith(QStringLiteral("Cannot open"))) << error.toStdString();
}

TEST_F(RecordFileTest, AppendsWhereNoFileCanBeAppendedFailWithAReason)
{
    ASSERT_TRUE(QDir(env.path()).mkdir(QStringLiteral("folder")));
    const struct {
        const char *name;
        QString path;
    } cases[] = {
        {"missing file", env.file(QStringLiteral("missing.txt"))},
        {"missing folder", env.file(QStringLiteral("none/missing.txt"))},
        {"a folder", env.file(QStringLiteral("folder"))},
        {"empty path", QString()},
    };
    for (const auto &c : cases) {
        QString error;
        EXPECT_EQ(plat::AppendToFile(c.path, "x", &error), -1) << c.name;
        EXPECT_FALSE(error.isEmpty()) << c.name;
        plat::ByteFile file(c.path);
        EXPECT_TRUE(!file.open() || file.append("x") < 0 || !file.sync()) << c.name;
    }
    EXPECT_FALSE(QFile::exists(env.file(QStringLiteral("missing.txt"))));
    errno = 0;
    EXPECT_FALSE(plat::SyncFile(-1));
    EXPECT_EQ(errno, EBADF);
}

} // namespace
