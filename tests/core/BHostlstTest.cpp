// The host list file: default list, foreign and unopenable files, searching
// and recording peer versions from many threads.
#include "core/BCommon.h"
#include "core/BHostlst.h"
#include "core/BLookup.h"
#include "core/BRegistr.h"
#include "platform/DayDate.h"

#include "support/TempEnv.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QPlainTextEdit>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <memory>
#include <thread>
#include <vector>

namespace {

const QString VersionText = QStringLiteral("Ver.3.03.03031001R");

// A short string field built by hand: length byte, text, zeros up to the capacity.
QByteArray Field(const QByteArray &text, int capacity)
{
    QByteArray field(1, static_cast<char>(text.size()));
    field += text;
    return field + QByteArray(capacity + 1 - field.size(), '\0');
}

QByteArray Image(std::initializer_list<std::pair<int, QByteArray>> fields)
{
    QByteArray image(HostRecord::Size, '\0');
    for (const auto &[offset, bytes] : fields)
        image.replace(offset, bytes.size(), bytes);
    return image;
}

QByteArray HeaderImage(const QByteArray &signature)
{
    return Image({{0, Field("2024/05/01", 16)}, {17, Field(VersionText.toLatin1(), 48)}, {66, Field(signature, 80)}});
}

QByteArray HostImage(const QByteArray &address, const QByteArray &name)
{
    return Image({{0, Field(address, 16)}, {17, Field(name, 48)}, {263, Field("OLCP300L", 8)}});
}

class HostListTest : public testsupport::TempEnvTest {
protected:
    void SetUp() override
    {
        ListDirectory = MainDirectory = env.path();
        ListFileName = QStringLiteral("Kalvex.lst");
        ProgramVersion = VersionText;
        LocalHostName = QStringLiteral("kalvex-pc");
        LocalAddresses = {QStringLiteral("192.168.1.5"), QStringLiteral("10.0.0.2")};
        ReqVersionUp = false;
        LogLebelNumber = ALPHA;

        memo = std::make_unique<QPlainTextEdit>();
        SetLogMemo(memo.get());
    }

    QStringList logLines() const { return memo->toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts); }
    QByteArray listBytes() const { return env.readFile(ListFileName); }
    QByteArray record(int index) const { return listBytes().mid(index * HostRecord::Size, HostRecord::Size); }

    // Writes a list and loads it as start-up does.
    void loadList(const QList<QByteArray> &hosts)
    {
        QByteArray bytes = HeaderImage("Kalvex.lst");
        for (const QByteArray &host : hosts)
            bytes += host;
        env.writeFile(ListFileName, bytes);
        LoadHostList();
        ASSERT_EQ(HostListCount, hosts.size() + 1);
    }

    std::unique_ptr<QPlainTextEdit> memo;
};

bool IsTodaysHeader(const QByteArray &header)
{
    // Either side of midnight is fine.
    const QByteArray today = plat::FormatShortDate(QDateTime::currentDateTime()).toLatin1();
    const QByteArray yesterday = plat::FormatShortDate(QDateTime::currentDateTime().addDays(-1)).toLatin1();
    for (const QByteArray &date : {today, yesterday}) {
        if (header == Image({{0, Field(date, 16)}, {17, Field(VersionText.toLatin1(), 48)}, {66, Field("Kalvex.lst", 80)}}))
            return true;
    }
    return false;
}

// --- The default list -----------------------------------------------------

TEST_F(HostListTest, AFreshListHoldsTheHeaderAndThisMachineByteForByteWithMode0600)
{
    LoadHostList();

    EXPECT_EQ(HostListFile, env.path() + QStringLiteral("/Kalvex.lst"));
    ASSERT_EQ(listBytes().size(), 2 * HostRecord::Size);
    EXPECT_TRUE(IsTodaysHeader(record(0)));
    EXPECT_EQ(record(1), Image({{0, Field("192.168.1.5", 16)},
                                {17, Field("kalvex-pc", 48)},
                                {66, Field("Your Local Machine", 80)},
                                {263, Field("OLCP303L", 8)}}));
    EXPECT_EQ(HostListCount, 2);
    const QStringList row = {"", "", "", "192.168.1.5", "kalvex-pc", "", "Your Local Machine", "OLCP303L"};
    EXPECT_EQ(HostListRows(), QList<QStringList>{row});

    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(HostListFile).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    // The temporary file it was written through is gone.
    EXPECT_EQ(QDir(env.path()).entryList(QDir::Files), QStringList({"Kalvex.lst"}));
    EXPECT_TRUE(logLines().isEmpty());
}

TEST_F(HostListTest, WithoutAnAddressOnlyTheHeaderIsWritten)
{
    LocalAddresses.clear();
    ListDirectory = env.file(QStringLiteral("no such folder"));
    LoadHostList();

    // A missing list folder falls back to the main folder.
    EXPECT_EQ(ListDirectory, env.path());
    ASSERT_EQ(listBytes().size(), HostRecord::Size);
    EXPECT_TRUE(IsTodaysHeader(record(0)));
    EXPECT_EQ(HostListCount, 1);
    EXPECT_TRUE(HostListRows().isEmpty());
}

// --- Files that are not a usable list --------------------------------------

TEST_F(HostListTest, AFileWithoutTheExactSignatureIsKeptAsBadAndReplaced)
{
    const QList<QByteArray> foreign = {
        HeaderImage("kalvex.lst") + HostImage("10.1.1.1", "old"), // differs only in case
        HeaderImage("Kalvex.lst2"),
        HeaderImage("Kalvex.ls"),
        QByteArray("Kalvex.lst"), // shorter than one record
        QByteArray(),
    };
    for (const QByteArray &bytes : foreign) {
        SCOPED_TRACE(bytes.toHex().left(40).toStdString());
        QFile::remove(env.file(QStringLiteral("Kalvex.lst.bad")));
        env.writeFile(ListFileName, bytes);
        memo->clear();

        LoadHostList();

        EXPECT_EQ(env.readFile(QStringLiteral("Kalvex.lst.bad")), bytes);
        ASSERT_EQ(listBytes().size(), 2 * HostRecord::Size);
        EXPECT_TRUE(IsTodaysHeader(record(0)));
        EXPECT_EQ(HostListCount, 2);
        ASSERT_FALSE(logLines().isEmpty());
        EXPECT_EQ(logLines().first(), QStringLiteral("Host List File : Data Error !"));
    }
}

TEST_F(HostListTest, AValidListIsKeptWhateverItsNameAndAnUnopenablePathIsLeftAlone)
{
    ListFileName = QStringLiteral("Other.lst");
    const QByteArray list = HeaderImage("Kalvex.lst") + HostImage("10.1.1.1", "a") + HostImage("10.1.1.2", "b");
    env.writeFile(ListFileName, list);
    LoadHostList();
    EXPECT_EQ(HostListCount, 3);
    EXPECT_EQ(listBytes(), list);
    EXPECT_EQ(HostListRows().size(), 2);
    EXPECT_TRUE(logLines().isEmpty());

    // A folder where the list should be: reported, not replaced, nothing loaded.
    ListFileName = QStringLiteral("Folder.lst");
    ASSERT_TRUE(QDir(env.path()).mkpath(QStringLiteral("Folder.lst/inside")));
    LoadHostList();
    EXPECT_EQ(HostListCount, 0);
    EXPECT_TRUE(QFileInfo(env.file(QStringLiteral("Folder.lst/inside"))).isDir());
    EXPECT_FALSE(QFileInfo::exists(env.file(QStringLiteral("Folder.lst.bad"))));
    const QStringList lines = logLines();
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[0].startsWith(QStringLiteral("Host List File : "))) << lines[0].toStdString();
    EXPECT_TRUE(lines[1].contains(QStringLiteral("empty")));
    EXPECT_TRUE(HostListRows().isEmpty());
    HostRecord found;
    EXPECT_EQ(FindHostRecord(QStringLiteral("10.1.1.1"), 1, found), 0);
}

// --- Searching --------------------------------------------------------------

TEST_F(HostListTest, FindHostRecordSearchesFromTheStartIndexAndNeverMatchesTheHeader)
{
    loadList({HostImage("10.0.0.1", "first"), HostImage("10.0.0.2", "other"), HostImage("10.0.0.1", "second")});
    HostRecord found;
    EXPECT_EQ(FindHostRecord(QStringLiteral("10.0.0.1"), 1, found), 1);
    EXPECT_EQ(found.HostName, QStringLiteral("first"));
    EXPECT_EQ(FindHostRecord(QStringLiteral("10.0.0.1"), 2, found), 3);
    EXPECT_EQ(found.HostName, QStringLiteral("second"));
    EXPECT_EQ(FindHostRecord(QStringLiteral("10.0.0.2"), 0, found), 2);

    EXPECT_EQ(FindHostRecord(QStringLiteral("10.0.0.1"), 4, found), 0);
    EXPECT_EQ(found, HostRecord());
    found.Memo = QStringLiteral("stale");
    EXPECT_EQ(FindHostRecord(QStringLiteral("10.0.0.9"), 1, found), 0);
    EXPECT_EQ(found, HostRecord());
    // Record 0 carries a date in its address field.
    EXPECT_EQ(FindHostRecord(QStringLiteral("2024/05/01"), 0, found), 0);
    EXPECT_EQ(found, HostRecord());
}

TEST_F(HostListTest, AListWithOnlyTheHeaderFindsNothing)
{
    loadList({});
    HostRecord found;
    found.IpAddress = QStringLiteral("x");
    EXPECT_EQ(FindHostRecord(QStringLiteral("2024/05/01"), 1, found), 0);
    EXPECT_EQ(found, HostRecord());
    EXPECT_FALSE(RewriteHostVersion(0, QStringLiteral("10.0.0.1"), QStringLiteral("OLCP303L")));
    EXPECT_EQ(listBytes(), HeaderImage("Kalvex.lst"));
}

// --- Recording peer versions ------------------------------------------------

TEST_F(HostListTest, OnlyAPeerTwoEditionsAheadAsksForAnUpdate)
{
    loadList({HostImage("10.0.0.1", "a")});
    for (const char *version : {"OLCP304L", "OLCP303L", "OLCP3", "OLCPxyzL", "OL"})
        CheckOlcpVersion(1, QStringLiteral("10.0.0.1"), QString::fromLatin1(version));
    EXPECT_FALSE(ReqVersionUp);
    CheckOlcpVersion(1, QStringLiteral("10.0.0.1"), QStringLiteral("OLCP305L"));
    EXPECT_TRUE(ReqVersionUp);
    EXPECT_EQ(record(1).mid(263, 9), Field("OLCP305L", 8));
}

TEST_F(HostListTest, IndexZeroAStaleIndexOrOnePastTheEndRewriteEveryHostWithTheAddress)
{
    const QByteArray a1 = HostImage("10.0.0.1", "a1"), b = HostImage("10.0.0.2", "b"), a2 = HostImage("10.0.0.1", "a2");
    loadList({a1, b, a2});
    const auto versionOf = [this](int index) { return record(index).mid(263, 9); };

    CheckOlcpVersion(0, QStringLiteral("10.0.0.1"), QStringLiteral("OLCP304A"));
    EXPECT_EQ(versionOf(1), Field("OLCP304A", 8));
    EXPECT_EQ(versionOf(2), Field("OLCP300L", 8));
    EXPECT_EQ(versionOf(3), Field("OLCP304A", 8));

    // Record 2 now belongs to another host: the version goes to 10.0.0.1's records.
    EXPECT_TRUE(RewriteHostVersion(2, QStringLiteral("10.0.0.1"), QStringLiteral("OLCP304B")));
    EXPECT_EQ(versionOf(1), Field("OLCP304B", 8));
    EXPECT_EQ(versionOf(2), Field("OLCP300L", 8));
    EXPECT_EQ(versionOf(3), Field("OLCP304B", 8));

    EXPECT_TRUE(RewriteHostVersion(9, QStringLiteral("10.0.0.2"), QStringLiteral("OLCP304C")));
    EXPECT_EQ(versionOf(2), Field("OLCP304C", 8));

    // A matching index rewrites that host alone; a long version is cut to 8 bytes.
    EXPECT_TRUE(RewriteHostVersion(3, QStringLiteral("10.0.0.1"), QStringLiteral("OLCP304DEF")));
    EXPECT_EQ(versionOf(1), Field("OLCP304B", 8));
    EXPECT_EQ(versionOf(3), Field("OLCP304D", 8));

    EXPECT_FALSE(RewriteHostVersion(1, QStringLiteral("10.9.9.9"), QStringLiteral("OLCP304E")));
    EXPECT_EQ(listBytes().size(), 4 * HostRecord::Size);
}

TEST_F(HostListTest, RewritingTheVersionLeavesEveryOtherByteOfTheRecordAsItWas)
{
    // Odd bytes everywhere (invalid CP932, oversized length bytes, non-zero
    // reserved areas) except the address that the rewrite looks for.
    QByteArray odd(HostRecord::Size, '\0');
    for (int i = 0; i < odd.size(); ++i)
        odd[i] = static_cast<char>(0x80 + (i * 37) % 128);
    odd.replace(0, 17, Field("10.0.0.1", 16).replace(12, 5, QByteArray("\xFF\x81\xFE\x00\x9F", 5)));
    loadList({HostImage("10.0.0.2", "b"), odd});

    for (int index : {2, 0}) {
        ASSERT_TRUE(RewriteHostVersion(index, QStringLiteral("10.0.0.1"), QStringLiteral("OLCP306L")));
        QByteArray expected = odd;
        expected.replace(263, 9, Field("OLCP306L", 8));
        EXPECT_EQ(record(2), expected) << "index " << index;
        EXPECT_EQ(record(1), HostImage("10.0.0.2", "b"));
    }
}

TEST_F(HostListTest, VersionsRecordedFromManyThreadsAtOnceLeaveAValidList)
{
    QList<QByteArray> hosts;
    for (int i = 1; i <= 20; ++i)
        hosts.append(HostImage("10.0.0." + QByteArray::number(i % 5), "host" + QByteArray::number(i)));
    loadList(hosts);

    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t] {
            for (int n = 0; n < 40; ++n) {
                const int index = (t + n) % 22; // 0, the hosts and one past the end
                const QString address = QStringLiteral("10.0.0.%1").arg(n % 5);
                CheckOlcpVersion(index, address, QStringLiteral("OLCP30%1T").arg(t));
                HostRecord found;
                FindHostRecord(address, n % 20, found);
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();

    ASSERT_EQ(listBytes().size(), 21 * HostRecord::Size);
    EXPECT_EQ(record(0), HeaderImage("Kalvex.lst"));
    for (int i = 1; i <= 20; ++i) {
        QByteArray image = record(i);
        const QByteArray version = image.mid(263, 9);
        EXPECT_TRUE(version == Field("OLCP300L", 8) || (version.startsWith("\x08OLCP30") && version.endsWith("T")))
            << version.toHex().toStdString();
        image.replace(263, 9, Field("OLCP300L", 8));
        EXPECT_EQ(image, hosts[i - 1]) << "host " << i;
    }
    EXPECT_TRUE(ReqVersionUp); // threads 5 to 7 send 305 to 307
}

} // namespace
