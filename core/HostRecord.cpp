#include "core/HostRecord.h"

#include "platform/ShortString.h"

#include <QtEndian>

#include <cstring>

namespace {

void PutText(QByteArray &image, int offset, const QString &text, int capacity)
{
    const QByteArray field = plat::EncodeShortString(text, capacity);
    std::memcpy(image.data() + offset, field.constData(), static_cast<size_t>(field.size()));
}

void PutBytes(QByteArray &image, int offset, const QByteArray &bytes, int capacity)
{
    // Password bytes are raw: cut by bytes, not by characters.
    const QByteArray cut = bytes.left(capacity);
    image[offset] = static_cast<char>(cut.size());
    std::memcpy(image.data() + offset + 1, cut.constData(), static_cast<size_t>(cut.size()));
}

QString GetText(const QByteArray &image, int offset, int capacity)
{
    return plat::DecodeShortString(image.constData() + offset, capacity);
}

QByteArray GetBytes(const QByteArray &image, int offset, int capacity)
{
    return plat::DecodeShortBytes(image.constData() + offset, capacity);
}

} // namespace

QByteArray HostRecord::encode() const
{
    namespace O = HostRecordOffset;
    QByteArray image(Size, '\0');
    PutText(image, O::IpAddress, IpAddress, 16);
    PutText(image, O::HostName, HostName, 48);
    PutText(image, O::Memo, Memo, 80);
    PutBytes(image, O::TelPassword, TelPassword, 8);
    PutText(image, O::Handle, Handle, 32);
    PutText(image, O::UserId, UserId, 8);
    image[O::SerialChannel] = static_cast<char>(SerialChannel);
    PutBytes(image, O::RmtDishPassword, RmtDishPassword, 8);
    qToBigEndian<quint16>(PeerPort, image.data() + O::PeerPort);
    PutText(image, O::OlcName, OlcName, 8);
    image[O::OwnChannel] = static_cast<char>(OwnChannel);
    qToLittleEndian<qint32>(HostListIndex, image.data() + O::HostListIndex);
    image[O::Channel] = static_cast<char>(Channel);
    image[O::ReplyFlag] = static_cast<char>(ReplyFlag);
    PutBytes(image, O::OlcPassword, OlcPassword, 8);
    PutText(image, O::OlcpVersion, OlcpVersion, 8);
    PutText(image, O::ReplyUserId, ReplyUserId, 8);
    return image;
}

HostRecord HostRecord::decode(const QByteArray &bytes)
{
    namespace O = HostRecordOffset;
    QByteArray image = bytes.left(Size);
    image.append(QByteArray(Size - image.size(), '\0'));
    HostRecord r;
    r.IpAddress = GetText(image, O::IpAddress, 16);
    r.HostName = GetText(image, O::HostName, 48);
    r.Memo = GetText(image, O::Memo, 80);
    r.TelPassword = GetBytes(image, O::TelPassword, 8);
    r.Handle = GetText(image, O::Handle, 32);
    r.UserId = GetText(image, O::UserId, 8);
    r.SerialChannel = static_cast<std::uint8_t>(image[O::SerialChannel]);
    r.RmtDishPassword = GetBytes(image, O::RmtDishPassword, 8);
    r.PeerPort = qFromBigEndian<quint16>(image.constData() + O::PeerPort);
    r.OlcName = GetText(image, O::OlcName, 8);
    r.OwnChannel = static_cast<std::uint8_t>(image[O::OwnChannel]);
    r.HostListIndex = qFromLittleEndian<qint32>(image.constData() + O::HostListIndex);
    r.Channel = static_cast<std::uint8_t>(image[O::Channel]);
    r.ReplyFlag = static_cast<std::uint8_t>(image[O::ReplyFlag]);
    r.OlcPassword = GetBytes(image, O::OlcPassword, 8);
    r.OlcpVersion = GetText(image, O::OlcpVersion, 8);
    r.ReplyUserId = GetText(image, O::ReplyUserId, 8);
    return r;
}
