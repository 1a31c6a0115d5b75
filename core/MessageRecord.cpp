#include "core/MessageRecord.h"

#include "core/BRegistr.h"
#include "platform/DayDate.h"
#include "platform/RecordImage.h"
#include "platform/ShortString.h"


#include <cstring>

namespace {

namespace O = MessageRecordOffset;
namespace C = MessageRecordCapacity;

void PutText(QByteArray &image, int offset, const QString &text, int capacity)
{
    plat::PutField(image, offset, plat::EncodeShortString(text, capacity));
}

QString GetText(const QByteArray &image, int offset, int capacity)
{
    return plat::DecodeShortString(image.constData() + offset, capacity);
}

} // namespace

QByteArray MessageRecord::encode() const
{
    QByteArray image(Size, '\0');
    plat::PutLE<qint32>(image, O::Number, Number);
    PutText(image, O::Title, Title, C::Title);
    image[O::Flags] = static_cast<char>(Flags);
    plat::PutLE<qint32>(image, O::ReplyTo, ReplyTo);
    // Network byte order already: the bytes go in as they lie in memory.
    std::memcpy(image.data() + O::Address, &Address, sizeof Address);
    PutText(image, O::Handle, Handle, C::Handle);
    image[O::Channel] = static_cast<char>(Channel);
    image[O::Forwarded] = static_cast<char>(Forwarded);
    plat::PutLE<double>(image, O::DateTime, DateTime);
    plat::PutLE<qint32>(image, O::Start, Start);
    plat::PutLE<qint32>(image, O::Bytes, Bytes);
    PutText(image, O::FileName, FileName, C::FileName);
    image[O::Deleted] = static_cast<char>(Deleted);
    image[O::Erased] = static_cast<char>(Erased);
    PutText(image, O::AuxText1, AuxText1, C::AuxText1);
    PutText(image, O::AuxText2, AuxText2, C::AuxText2);
    plat::PutLE<qint32>(image, O::LinkIndex, LinkIndex);
    plat::PutLE<qint32>(image, O::LinkHolder, LinkHolder);
    PutText(image, O::UserId, UserId, C::UserId);
    return image;
}

MessageRecord MessageRecord::decode(const QByteArray &bytes)
{
    QByteArray image = bytes.left(Size);
    image.append(QByteArray(Size - image.size(), '\0'));
    MessageRecord r;
    r.Number = plat::GetLE<qint32>(image, O::Number);
    r.Title = GetText(image, O::Title, C::Title);
    r.Flags = static_cast<std::uint8_t>(image[O::Flags]);
    r.ReplyTo = plat::GetLE<qint32>(image, O::ReplyTo);
    std::memcpy(&r.Address, image.constData() + O::Address, sizeof r.Address);
    r.Handle = GetText(image, O::Handle, C::Handle);
    r.Channel = static_cast<std::uint8_t>(image[O::Channel]);
    r.Forwarded = static_cast<std::uint8_t>(image[O::Forwarded]);
    r.DateTime = plat::GetLE<double>(image, O::DateTime);
    r.Start = plat::GetLE<qint32>(image, O::Start);
    r.Bytes = plat::GetLE<qint32>(image, O::Bytes);
    r.FileName = GetText(image, O::FileName, C::FileName);
    r.Deleted = static_cast<std::uint8_t>(image[O::Deleted]);
    r.Erased = static_cast<std::uint8_t>(image[O::Erased]);
    r.AuxText1 = GetText(image, O::AuxText1, C::AuxText1);
    r.AuxText2 = GetText(image, O::AuxText2, C::AuxText2);
    r.LinkIndex = plat::GetLE<qint32>(image, O::LinkIndex);
    r.LinkHolder = plat::GetLE<qint32>(image, O::LinkHolder);
    r.UserId = GetText(image, O::UserId, C::UserId);
    return r;
}

MessageRecord MakeHeaderRecord(const QString &fileNameText)
{
    MessageRecord header;
    header.Title = plat::FormatShortDate(QDateTime::currentDateTime());
    header.Handle = HeaderVersionText();
    header.FileName = fileNameText;
    return header;
}

namespace TelTitle {

QString SendFile(const QString &rate)
{
    return QStringLiteral("Send  <<File>> ; ") + rate + QStringLiteral("KBytes/s");
}

QString RecvFile(const QString &rate)
{
    return QStringLiteral("Recv  <<File>> ; ") + rate + QStringLiteral("KBytes/s");
}

} // namespace TelTitle

QString RateText(qint64 bytes, qint64 milliseconds)
{
    if (milliseconds <= 0)
        return QStringLiteral("---");
    const double kilobytesPerSecond = double(bytes) / double(milliseconds) * 1000.0 / 1024.0;
    return QStringLiteral("%1").arg(kilobytesPerSecond, 8, 'f', 3);
}
