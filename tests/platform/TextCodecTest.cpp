// CP932 codec, short strings and the day-count dates.
#include "platform/Cp932.h"
#include "platform/DayDate.h"
#include "platform/ShortString.h"

#include <gtest/gtest.h>

using namespace plat;

TEST(Cp932, RoundTripsJapaneseAndHalfWidthKatakana)
{
    const QString text = QStringLiteral("すでに起動しています ﾒｲﾝ･ﾃﾞｨﾚｸﾄﾘ ①ｱ~\\");
    const QByteArray bytes = ToCp932(text);
    EXPECT_EQ(ToCp932(QStringLiteral("ｱ")), QByteArray("\xB1"));
    EXPECT_EQ(ToCp932(QStringLiteral("①")), QByteArray("\x87\x40"));
    EXPECT_EQ(FromCp932(bytes), text);
}

TEST(Cp932, InvalidBytesBecomeReplacementCharacters)
{
    // A lone lead byte at the end, and a lead byte followed by an invalid trail.
    EXPECT_EQ(FromCp932(QByteArray("ab\x82")), QStringLiteral("ab\uFFFD"));
    const QString s = FromCp932(QByteArray("\x82\x0A" "x", 3));
    EXPECT_TRUE(s.contains(QChar(0xFFFD)));
    EXPECT_TRUE(s.endsWith(QLatin1Char('x')));
    // Characters that CP932 cannot hold turn into "?".
    EXPECT_EQ(ToCp932(QStringLiteral("a\U0001F600b")), QByteArray("a?b"));
}

TEST(Cp932, CutNeverSplitsACharacter)
{
    const QByteArray bytes = ToCp932(QStringLiteral("aあい"));
    EXPECT_EQ(CutCp932(bytes, 2), QByteArray("a"));
    EXPECT_EQ(CutCp932(bytes, 3), ToCp932(QStringLiteral("aあ")));
    EXPECT_EQ(CutCp932(bytes, 100), bytes);
    EXPECT_EQ(CutCp932(bytes, 0), QByteArray());
}

TEST(ShortString, EncodesLengthByteAndClampsOnReading)
{
    const QByteArray s = EncodeShortString(QStringLiteral("あいう"), 5);
    ASSERT_EQ(s.size(), 6);
    EXPECT_EQ(static_cast<unsigned char>(s[0]), 4); // "あい" fits, "う" would be cut in half
    EXPECT_EQ(DecodeShortString(s.constData(), 5), QStringLiteral("あい"));

    QByteArray lying("\xFF" "abc", 4);
    EXPECT_EQ(DecodeShortBytes(lying.constData(), 3), QByteArray("abc"));
}

TEST(DayDate, CountsDaysFromTheEpochWithTimeAsFraction)
{
    const QDateTime noon(QDate(1900, 1, 1), QTime(12, 0));
    EXPECT_DOUBLE_EQ(ToDayDate(noon), 2.5);
    EXPECT_EQ(FromDayDate(2.5), noon);
    EXPECT_EQ(FromDayDate(ToDayDate(QDateTime(QDate(2026, 12, 8), QTime(19, 5, 7)))),
              QDateTime(QDate(2026, 12, 8), QTime(19, 5, 7)));
    // Values that no date can have never crash.
    EXPECT_TRUE(FromDayDate(std::numeric_limits<double>::quiet_NaN()).isValid());
    EXPECT_TRUE(FromDayDate(1e300).isValid());
}

TEST(DayDate, FormatsAndParsesTheFixedFormats)
{
    const QDateTime dt(QDate(1998, 1, 2), QTime(3, 4, 5));
    EXPECT_EQ(FormatShortDate(dt), QStringLiteral("1998/01/02"));
    EXPECT_EQ(FormatLongTime(dt), QStringLiteral("03:04:05"));
    QDateTime parsed;
    ASSERT_TRUE(ParseShortDate(QStringLiteral("98/01/02"), parsed));
    EXPECT_EQ(parsed.date(), QDate(1998, 1, 2));
    ASSERT_TRUE(ParseShortDate(QStringLiteral("2000/01/02 10:20:30"), parsed));
    EXPECT_EQ(parsed, QDateTime(QDate(2000, 1, 2), QTime(10, 20, 30)));
    EXPECT_FALSE(ParseShortDate(QStringLiteral("2000/13/02"), parsed));
    EXPECT_FALSE(ParseShortDate(QStringLiteral("junk"), parsed));
}
