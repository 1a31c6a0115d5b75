// Appending and flushing the data files: appends from many threads, each
// flushed by a flush that others may share, and paths that cannot be appended to.
#include "platform/RecordFile.h"
#include "support/TempEnv.h"

#include <QDir>
#include <QFile>
#include <QSet>

#include <gtest/gtest.h>

#include <cerrno>
#include <mutex>
#include <thread>
#include <vector>

namespace {

class RecordFileTest : public testsupport::TempEnvTest {};

TEST_F(RecordFileTest, ConcurrentAppendsEachSyncedLandWholeInBothKindsOfFile)
{
    const QString text = env.file(QStringLiteral("bodies.txt"));
    plat::RecordFile records(env.file(QStringLiteral("records.dat")), 8);
    ASSERT_TRUE(records.create());
    records.close();
    ASSERT_TRUE(plat::EnsureFileExists(text));

    constexpr int Threads = 12, PerThread = 60;
    std::mutex textLock, recordLock; // a file's writes never run at once; its flushes may
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < PerThread; ++i) {
                const QByteArray tag = QByteArray::number(t * 1000 + i).rightJustified(8, '0');
                plat::ByteFile body(text);
                qint64 at = -1;
                {
                    std::lock_guard lock(textLock);
                    ASSERT_TRUE(body.open());
                    at = body.append(tag);
                }
                EXPECT_EQ(at % 8, 0);
                EXPECT_TRUE(body.sync()) << body.errorString().toStdString();
                plat::RecordFile record(records.path(), 8);
                {
                    std::lock_guard lock(recordLock);
                    ASSERT_TRUE(record.open());
                    ASSERT_GE(record.append(tag), 0);
                }
                EXPECT_TRUE(record.sync()) << record.errorString().toStdString();
            }
        });
    for (auto &th : threads)
        th.join();

    ASSERT_TRUE(records.open());
    ASSERT_EQ(records.count(), Threads * PerThread);
    QByteArray all = plat::ReadFileAt(text, 0, Threads * PerThread * 8), record;
    ASSERT_EQ(all.size(), Threads * PerThread * 8);
    QSet<QByteArray> inText, inRecords;
    for (int n = 0; n < Threads * PerThread; ++n) {
        inText.insert(all.mid(n * 8, 8));
        ASSERT_TRUE(records.read(n, record));
        inRecords.insert(record);
    }
    EXPECT_EQ(inText.size(), Threads * PerThread);
    EXPECT_EQ(inRecords, inText);
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
