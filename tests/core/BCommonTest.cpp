// The activity log (memo, log file, threads) and the shared text helpers.
#include "core/BCommon.h"
#include "core/BRegistr.h"
#include "platform/Cp932.h"
#include "platform/DayDate.h"

#include "support/TempEnv.h"

#include <QCoreApplication>
#include <QFile>
#include <QPlainTextEdit>
#include <QRandomGenerator>
#include <QThread>

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <thread>
#include <vector>

namespace {

class ActivityLog : public testsupport::TempEnvTest {
protected:
    void SetUp() override
    {
        LogLebelNumber = ALPHA;
        LogToFile = false;
        LogDirectory = env.path();
        // Lines that earlier tests lost are told in a file of their own.
        LogFileName = QStringLiteral("Earlier.log");
        LogToFile = true;
        WriteLog(ZERO, QString());
        LogToFile = false;
        LogFileName = QStringLiteral("Kalvex.log");
        memo = std::make_unique<QPlainTextEdit>();
        SetLogMemo(memo.get());
    }

    static QStringList LinesOf(const QPlainTextEdit &edit)
    {
        return edit.document()->isEmpty() ? QStringList() : edit.toPlainText().split(QLatin1Char('\n'));
    }
    QStringList memoLines() const { return LinesOf(*memo); }
    QByteArray logFile() const { return env.readFile(QStringLiteral("Kalvex.log")); }

    std::unique_ptr<QPlainTextEdit> memo;
};

TEST_F(ActivityLog, LevelDecidesWhatIsShownAndSaveLogDecidesTheFile)
{
    WriteLog(ZERO, QStringLiteral("zero"));
    WriteLog(ALPHA, QStringLiteral("one"));
    WriteLog(BETA, QStringLiteral("two"));
    ShowLog(ALPHA, QStringLiteral("shown"));
    ShowLog(GAMMA, QStringLiteral("not shown"));
    EXPECT_EQ(memoLines(), QStringList({"zero", "one", "shown"}));
    EXPECT_FALSE(QFile::exists(env.file(QStringLiteral("Kalvex.log"))));

    LogToFile = true;
    WriteLog(ALPHA, QStringLiteral("受信 saved"));
    WriteLog(BETA, QStringLiteral("filtered"));
    ShowLog(ZERO, QStringLiteral("memo only"));
    EXPECT_EQ(logFile(), plat::ToCp932(QStringLiteral("受信 saved")) + "\r\n");
    EXPECT_EQ(memoLines().mid(3), QStringList({"受信 saved", "memo only"}));

    EXPECT_EQ(LogLevelFromName(QStringLiteral("ZERO")), 0);
    EXPECT_EQ(LogLevelFromName(QStringLiteral("DELTA")), 4);
    EXPECT_EQ(LogLevelFromName(QStringLiteral("delta")), -1);
}

TEST_F(ActivityLog, CrLfAroundTextsBreakMemoLinesAndStayAsIsInTheFile)
{
    LogToFile = true;
    const QString stars(35, QLatin1Char('*'));
    const QString dashes(35, QLatin1Char('-'));
    LogBanner(QStringLiteral("Kalvex Close"));
    LogConnection(QStringLiteral("TEL     "), QStringLiteral("10.0.0.7"), QStringLiteral("host"));

    EXPECT_EQ(memoLines(), QStringList({"", stars, "Kalvex Close", stars, "", "", dashes,
                                        "TEL      to    [[ 10.0.0.7 ]]  host", dashes}));
    const QByteArray s = stars.toLatin1(), d = dashes.toLatin1();
    EXPECT_EQ(logFile(), "\r\n" + s + "\r\nKalvex Close\r\n" + s + "\r\n\r\n" + "\r\n" + d +
                             "\r\nTEL      to    [[ 10.0.0.7 ]]  host\r\n" + d + "\r\n");
}

TEST_F(ActivityLog, ExistingLogFileIsAppendedToNeverTruncated)
{
    env.writeFile(QStringLiteral("Kalvex.log"), "old line\r\n");
    LogToFile = true;
    WriteLog(ZERO, QStringLiteral("new line"));
    EXPECT_TRUE(AppendLogFileLine(env.file(QStringLiteral("Kalvex.log")), QStringLiteral("direct")));
    EXPECT_EQ(logFile(), QByteArray("old line\r\nnew line\r\ndirect\r\n"));
    EXPECT_TRUE(LogToFile);
}

TEST_F(ActivityLog, AFullDiskLosesLinesButNotSaveLogAndTheLossIsToldWhenWritingWorksAgain)
{
    LogToFile = true;
    WriteLog(ZERO, QStringLiteral("before"));
    // Every write to this device fails as on a full disk.
    const QString savedDirectory = LogDirectory;
    LogDirectory = QStringLiteral("/dev");
    LogFileName = QStringLiteral("full");
    std::thread worker([] {
        WriteLog(ZERO, QStringLiteral("lost 1"));
        WriteLog(ZERO, QStringLiteral("lost 2"));
    });
    worker.join();
    EXPECT_NO_THROW(WriteLog(ZERO, QStringLiteral("lost 3")));
    EXPECT_TRUE(LogToFile);
    EXPECT_EQ(LostLogLines(), 3);

    LogDirectory = savedDirectory;
    LogFileName = QStringLiteral("Kalvex.log");
    WriteLog(ZERO, QStringLiteral("after"));
    WriteLog(ZERO, QStringLiteral("after 2"));
    QCoreApplication::processEvents();
    EXPECT_EQ(LostLogLines(), 0);
    EXPECT_EQ(logFile(), "before\r\n*** Log File Error : 3 lines lost ***\r\nafter\r\nafter 2\r\n");
    // The memo says so once, unless an earlier test has said so of this file already.
    QStringList lines = memoLines();
    EXPECT_LE(lines.removeAll(QStringLiteral("*** Log File Error : /dev/full : lines are lost ***")), 1);
    EXPECT_EQ(lines, QStringList({"before", "lost 1", "lost 2", "lost 3", "after", "after 2"}));
}

TEST_F(ActivityLog, TextFromPeersCannotForgeLinesOrReachATerminal)
{
    LogToFile = true;
    const char *const cases[][2] = {
        {"handle\nKalvex Close", "handle\\x0AKalvex Close"},
        {"\x1b[2J\x1b]0;title\x07", "\\x1B[2J\\x1B]0;title\\x07"},
        {"lone\rtab\tdel\x7f", "lone\\x0Dtab\\x09del\\x7F"},
        {"受信ﾃｽﾄ", "受信ﾃｽﾄ"},
    };
    QByteArray expected;
    for (const auto &c : cases) {
        WriteLog(ALPHA, QString::fromUtf8(c[0]));
        expected += plat::ToCp932(QString::fromUtf8(c[1])) + "\r\n";
    }
    // Text known to come from a peer is escaped whole, CR LF too.
    WriteLog(ALPHA, EscapeControls(QStringLiteral("\r\n*** Kalvex Close")));
    expected += "\\x0D\\x0A*** Kalvex Close\r\n";
    EXPECT_EQ(logFile(), expected);
    EXPECT_EQ(plat::ToCp932(memoLines().join(QLatin1Char('\n'))) + "\n", QByteArray(expected).replace("\r\n", "\n"));
}

TEST_F(ActivityLog, LinesFromThreadsAllArriveInEachThreadsOrder)
{
    constexpr int threadCount = 4, linesPerThread = 250;
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < linesPerThread; ++i)
                WriteLog(ZERO, QStringLiteral("%1 %2").arg(t).arg(i));
        });
    for (std::thread &thread : threads)
        thread.join();
    // The GUI thread's own line comes after every line already written.
    WriteLog(ZERO, QStringLiteral("gui"));
    QCoreApplication::processEvents();

    const QStringList lines = memoLines();
    ASSERT_EQ(lines.size(), threadCount * linesPerThread + 1);
    EXPECT_EQ(lines.last(), QStringLiteral("gui"));
    std::vector<int> next(threadCount, 0);
    for (const QString &line : lines.mid(0, lines.size() - 1)) {
        const QStringList parts = line.split(QLatin1Char(' '));
        ASSERT_EQ(parts.size(), 2) << line.toStdString();
        const int t = parts[0].toInt();
        ASSERT_TRUE(t >= 0 && t < threadCount);
        EXPECT_EQ(parts[1].toInt(), next[t]++) << "thread " << t;
    }
}

TEST_F(ActivityLog, LinesWaitForTheMemoAndADestroyedMemoDropsThem)
{
    SetLogMemo(nullptr);
    WriteLog(ZERO, QStringLiteral("early"));
    std::thread([] { WriteLog(ZERO, QStringLiteral("from thread")); }).join();
    QCoreApplication::processEvents();

    QPlainTextEdit later;
    SetLogMemo(&later);
    EXPECT_EQ(LinesOf(later), QStringList({"early", "from thread"}));

    memo.reset();
    SetLogMemo(nullptr);
    {
        auto gone = std::make_unique<QPlainTextEdit>();
        SetLogMemo(gone.get());
    }
    WriteLog(ZERO, QStringLiteral("dropped"));
    std::thread([] { WriteLog(ZERO, QStringLiteral("dropped too")); }).join();
    QCoreApplication::processEvents();
    QPlainTextEdit next;
    SetLogMemo(&next);
    EXPECT_TRUE(LinesOf(next).isEmpty());
}

TEST(TextHelpers, ZeroPaddingAndNumbers)
{
    EXPECT_EQ(ZeroPad(QStringLiteral("7"), 3), QStringLiteral("007"));
    EXPECT_EQ(ZeroPad(QStringLiteral("12345"), 3), QStringLiteral("345"));
    EXPECT_EQ(IntToZeroStr(42, 5), QStringLiteral("00042"));
    EXPECT_EQ(IntToZeroStr(123456, 5), QStringLiteral("23456"));
    EXPECT_EQ(VersionNumber(QStringLiteral("303")), 303);
    EXPECT_EQ(VersionNumber(QStringLiteral("3a0")), 0);
    EXPECT_EQ(VersionNumber(QString()), 0);
}

TEST(TextHelpers, PadStringCountsBytesAndNeverSplitsACharacter)
{
    EXPECT_EQ(PadString(QStringLiteral("ab"), 5, true), QStringLiteral("ab   "));
    EXPECT_EQ(PadString(QStringLiteral("ab"), 5, false), QStringLiteral("   ab"));
    EXPECT_EQ(PadString(QStringLiteral("あ"), 4, true), QStringLiteral("あ  "));
    EXPECT_EQ(PadString(QStringLiteral("abcdef"), 4, true), QStringLiteral("abcd"));
    // The 2nd byte starts "あ": it becomes a blank.
    EXPECT_EQ(PadString(QStringLiteral("aあい"), 2, true), QStringLiteral("a "));
    EXPECT_EQ(PadString(QStringLiteral("aあい"), 3, false), QStringLiteral("aあ"));
    // "ａ" ends in 0x81, a byte that could also lead: it is a trail here and stays.
    EXPECT_EQ(PadString(QStringLiteral("ａｂ"), 2, true), QStringLiteral("ａ"));
    EXPECT_EQ(PadString(QStringLiteral("ａｂ"), 3, true), QStringLiteral("ａ "));
}

TEST(TextHelpers, ParseDateTextReadsTwoDigitYearsAndFallsBackToNow)
{
    const double expected1998 = plat::ToDayDate(QDateTime(QDate(1998, 1, 2), QTime(0, 0)));
    EXPECT_EQ(ParseDateText(QStringLiteral("98/01/02")), expected1998);
    EXPECT_EQ(ParseDateText(QStringLiteral("1998/01/02")), expected1998);
    EXPECT_EQ(ParseDateText(QStringLiteral("2000/01/02")),
              plat::ToDayDate(QDateTime(QDate(2000, 1, 2), QTime(0, 0))));
    for (const char *junk : {"", "junk", "9/", "2000/13/40", "99/99/99"})
        EXPECT_LT(std::fabs(ParseDateText(QString::fromLatin1(junk)) - plat::DayDateNow()), 1.0) << junk;
}

TEST(Passwords, ConvertPasswordIsItsOwnInverse)
{
    EXPECT_EQ(ConvertPassword("abc"), QByteArray("\xEF\xEF\xEF"));
    EXPECT_EQ(ConvertPassword(ConvertPassword("abc")), QByteArray("abc"));
}

TEST(Passwords, StoredFormRoundTripsWhateverTheRandomDigits)
{
    EXPECT_TRUE(EncodeStoredPassword(QByteArray()).isEmpty());
    for (int length = 1; length <= 8; ++length) {
        for (int round = 0; round < 200; ++round) {
            QByteArray password(length, '\0');
            for (char &c : password)
                c = static_cast<char>(QRandomGenerator::global()->bounded(0x21, 0x7F));
            // The settings keep passwords in their converted form.
            const QByteArray converted = ConvertPassword(password);
            const QByteArray stored = EncodeStoredPassword(HexEncode(converted));
            ASSERT_EQ(stored.size(), 40);
            for (char c : stored)
                ASSERT_TRUE(std::isxdigit(static_cast<unsigned char>(c))) << stored.constData();
            ASSERT_EQ(HexDecode(DecodeStoredPassword(stored)), converted) << stored.constData();
        }
    }
}

TEST(Passwords, MalformedStoredTextsDecodeBounded)
{
    EXPECT_TRUE(DecodeStoredPassword(QByteArray()).isEmpty());
    EXPECT_TRUE(DecodeStoredPassword("1F00").isEmpty());
    EXPECT_TRUE(DecodeStoredPassword("ZZZZZZZZZZ").isEmpty());
    EXPECT_TRUE(DecodeStoredPassword("2AZ0A1B2").isEmpty()); // even header, length digit not hex
    // The header claims 16 characters; the body holds two.
    EXPECT_EQ(DecodeStoredPassword("1F00A1B2"), QByteArray("12"));
    EXPECT_EQ(DecodeStoredPassword("1F00A"), QByteArray());
    // More body than the header claims: only L characters.
    EXPECT_EQ(DecodeStoredPassword("3000A1B2C3D4"), QByteArray("1"));

    EXPECT_EQ(HexEncode("\x01\xAB"), QByteArray("01AB"));
    EXPECT_EQ(HexDecode("41ab4"), QByteArray("A\xAB"));
    EXPECT_EQ(HexDecode("4G42"), QByteArray("\0B", 2));
    EXPECT_EQ(HexDecode("4"), QByteArray());
}

} // namespace
