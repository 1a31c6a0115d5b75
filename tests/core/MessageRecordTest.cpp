// The 400-byte message record image: offsets, cutting, lying length bytes,
// the header record and the TEL title and rate texts.
#include "core/BRegistr.h"
#include "core/MessageRecord.h"
#include "platform/Cp932.h"
#include "platform/DayDate.h"
#include "platform/WinSock.h"

#include <QtEndian>

#include <gtest/gtest.h>

#include <cstring>

namespace {

namespace O = MessageRecordOffset;

MessageRecord EveryFieldSet()
{
    MessageRecord r;
    r.Number = 0x01020304;
    r.Title = QStringLiteral("Recv  <<Text>>");
    r.Flags = MessageRecord::RichFlag | MessageRecord::HtmlFlag;
    r.ReplyTo = -7;
    r.Address = plat::inet_addr(QStringLiteral("192.168.0.5"));
    r.Handle = QStringLiteral("はなこ");
    r.Channel = 3;
    r.Forwarded = 1;
    r.DateTime = 45000.5;
    r.Start = 65536;
    r.Bytes = 1234;
    r.FileName = QStringLiteral("pic.jpg");
    r.Deleted = 1;
    r.Erased = 1;
    r.AuxText1 = QStringLiteral("OLCP303L");
    r.AuxText2 = QStringLiteral("   1.233");
    r.LinkIndex = 11;
    r.LinkHolder = 12;
    r.UserId = QStringLiteral("USER0001");
    return r;
}

QByteArray ShortAt(const QByteArray &image, int offset)
{
    return image.mid(offset + 1, static_cast<unsigned char>(image[offset]));
}

TEST(MessageRecord, EveryFieldLiesAtItsOffsetAndReservedBytesAreZero)
{
    const MessageRecord r = EveryFieldSet();
    const QByteArray image = r.encode();
    ASSERT_EQ(image.size(), 400);
    const char *p = image.constData();
    EXPECT_EQ(qFromLittleEndian<qint32>(p + O::Number), 0x01020304);
    EXPECT_EQ(image.mid(0, 4), QByteArray("\x04\x03\x02\x01"));
    EXPECT_EQ(ShortAt(image, O::Title), "Recv  <<Text>>");
    EXPECT_EQ(static_cast<unsigned char>(image[O::Flags]), 40);
    EXPECT_EQ(qFromLittleEndian<qint32>(p + O::ReplyTo), -7);
    EXPECT_EQ(image.mid(O::Address, 4), QByteArray("\xC0\xA8\x00\x05", 4)); // network order, as on the wire
    EXPECT_EQ(ShortAt(image, O::Handle), plat::ToCp932(QStringLiteral("はなこ")));
    EXPECT_EQ(image[O::Channel], 3);
    EXPECT_EQ(image[O::Forwarded], 1);
    EXPECT_EQ(qFromLittleEndian<double>(p + O::DateTime), 45000.5);
    EXPECT_EQ(qFromLittleEndian<qint32>(p + O::Start), 65536);
    EXPECT_EQ(qFromLittleEndian<qint32>(p + O::Bytes), 1234);
    EXPECT_EQ(ShortAt(image, O::FileName), "pic.jpg");
    EXPECT_EQ(image[O::Deleted], 1);
    EXPECT_EQ(image[O::Erased], 1);
    EXPECT_EQ(ShortAt(image, O::AuxText1), "OLCP303L");
    EXPECT_EQ(ShortAt(image, O::AuxText2), "   1.233");
    EXPECT_EQ(qFromLittleEndian<qint32>(p + O::LinkIndex), 11);
    EXPECT_EQ(qFromLittleEndian<qint32>(p + O::LinkHolder), 12);
    EXPECT_EQ(ShortAt(image, O::UserId), "USER0001");

    for (const auto &[from, width] : {std::pair{86, 2}, {130, 1}, {132, 48}, {297, 3}, {317, 83}})
        EXPECT_EQ(image.mid(from, width), QByteArray(width, '\0')) << "reserved at " << from;
    EXPECT_EQ(MessageRecord::decode(image), r);
}

TEST(MessageRecord, TextsAreCutToTheirFieldsOnACharacterBoundary)
{
    MessageRecord r;
    r.Title = QString(100, QLatin1Char('t'));
    r.Handle = QStringLiteral("a") + QString(20, QChar(0x3042)); // 1 + 40 bytes
    r.FileName = QString(50, QChar(0x3042));                     // 100 bytes
    r.UserId = QStringLiteral("a") + QString(4, QChar(0x3042));  // 9 bytes
    r.AuxText1 = QStringLiteral("OLCP303Lx");
    const QByteArray image = r.encode();
    EXPECT_EQ(static_cast<unsigned char>(image[O::Title]), 80);
    EXPECT_EQ(static_cast<unsigned char>(image[O::Handle]), 31); // a 32nd byte would split a character
    EXPECT_EQ(image[O::Handle + 32], '\0');
    const MessageRecord back = MessageRecord::decode(image);
    EXPECT_EQ(back.Title, QString(80, QLatin1Char('t')));
    EXPECT_EQ(back.Handle, QStringLiteral("a") + QString(15, QChar(0x3042)));
    EXPECT_EQ(back.FileName, QString(40, QChar(0x3042)));
    EXPECT_EQ(back.UserId, QStringLiteral("a") + QString(3, QChar(0x3042)));
    EXPECT_EQ(back.AuxText1, QStringLiteral("OLCP303L"));
}

TEST(MessageRecord, LyingLengthBytesAndShortImagesAreReadSafely)
{
    QByteArray image = EveryFieldSet().encode();
    image[O::Title] = char(255);
    image[O::UserId] = char(200); // would run past the end of the record
    const MessageRecord r = MessageRecord::decode(image);
    EXPECT_EQ(r.Title.size(), 80);
    EXPECT_TRUE(r.Title.startsWith(QStringLiteral("Recv  <<Text>>")));
    EXPECT_EQ(r.UserId, QStringLiteral("USER0001"));

    const MessageRecord cut = MessageRecord::decode(image.left(90));
    EXPECT_EQ(cut.Flags, 40);
    EXPECT_EQ(cut.Handle, QString());
    EXPECT_EQ(cut.Bytes, 0);
    EXPECT_EQ(MessageRecord::decode(QByteArray()), MessageRecord());
}

TEST(MessageRecord, HeaderRecordCarriesDateVersionAndName)
{
    ProgramVersion = QStringLiteral("Ver.3.03.03031001R");
    const QString today = plat::FormatShortDate(QDateTime::currentDateTime());
    const MessageRecord h = MakeHeaderRecord(QStringLiteral("Teleg000"));

    MessageRecord expected;
    expected.Title = today;
    expected.Handle = QStringLiteral("Ver.3.03.03031001R");
    expected.FileName = QStringLiteral("Teleg000");
    EXPECT_EQ(h, expected);
    EXPECT_EQ(h.Title.size(), 10);
}

TEST(MessageRecord, RateTextAndFileTitles)
{
    EXPECT_EQ(RateText(1263, 1000), QStringLiteral("   1.233"));
    EXPECT_EQ(RateText(1024 * 1024, 1), QStringLiteral("1024000.000"));
    EXPECT_EQ(RateText(0, 5), QStringLiteral("   0.000"));
    EXPECT_EQ(RateText(5000, 0), QStringLiteral("---"));
    EXPECT_EQ(TelTitle::SendFile(RateText(2048, 1000)), QStringLiteral("Send  <<File>> ;    2.000KBytes/s"));
    EXPECT_EQ(TelTitle::RecvFile(QStringLiteral("---")), QStringLiteral("Recv  <<File>> ; ---KBytes/s"));
    EXPECT_EQ(QString::fromLatin1(TelTitle::RecvText) + QLatin1String(TelTitle::SerialChat) +
                  QLatin1String(TelTitle::ForwardTel),
              QStringLiteral("Recv  <<Text>> ; Serial Chat ; Forward TEL"));
}

} // namespace
