#pragma once
// The 400-byte record of one host or connection: a record of the host list
// file, the main window's target, every connection window's copy and the
// server's record of an accepted connection.
#include <QByteArray>
#include <QString>

#include <cstdint>

struct HostRecord {
    static constexpr int Size = 400;

    QString IpAddress;          // dotted IPv4 text; the key of the host list
    QString HostName;
    QString Memo;               // in record 0 of the host list: the file signature
    QByteArray TelPassword;     // ConvertPassword form (a reply's copy: the reply word)
    QString Handle;             // the user's own handle towards this host
    QString UserId;             // account user ID
    std::uint8_t SerialChannel = 0;
    QByteArray RmtDishPassword; // ConvertPassword form
    std::uint16_t PeerPort = 0; // server side: the peer's TCP port, host byte order here
    QString OlcName;            // folder of the host's OLC local store
    std::uint8_t OwnChannel = 0;
    std::int32_t HostListIndex = 0; // record number in the host list; 0 = none
    std::uint8_t Channel = 0;
    std::uint8_t ReplyFlag = 0;
    QByteArray OlcPassword;     // ConvertPassword form
    QString OlcpVersion;        // the peer's version string as last seen
    QString ReplyUserId;

    // The exact 400-byte image (little-endian, short strings in CP932, texts cut
    // on a character boundary, unused bytes zero).
    QByteArray encode() const;
    // Reads a 400-byte image; a shorter buffer is read as if zero-filled and
    // length bytes larger than their field are clamped.
    static HostRecord decode(const QByteArray &bytes);

    bool operator==(const HostRecord &) const = default;
};

// Offsets of the fields in the image, for code that patches one field of a
// stored record without decoding the rest.
namespace HostRecordOffset {
constexpr int IpAddress = 0, HostName = 17, Memo = 66, TelPassword = 147, Handle = 156, UserId = 189,
              SerialChannel = 198, RmtDishPassword = 199, PeerPort = 208, OlcName = 237, OwnChannel = 246,
              HostListIndex = 248, Channel = 252, ReplyFlag = 253, OlcPassword = 254, OlcpVersion = 263,
              ReplyUserId = 272;
}
