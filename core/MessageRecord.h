#pragma once
// The 400-byte record of one stored message: a TEL of the TEL log (sent or
// received) or a message of the On-Line Community local store. The body never
// lives in the record: it lies in the store's text file at Start, Bytes long.
#include <QByteArray>
#include <QString>

#include <cstdint>

struct MessageRecord {
    static constexpr int Size = 400;

    // Flags bits.
    static constexpr std::uint8_t FileFlag = 1;   // a file TEL / file message: Bytes is the file's size
    static constexpr std::uint8_t LinkFlag = 2;   // an OLC link message
    static constexpr std::uint8_t StayFlag = 4;   // a Stay TEL (delivered through a server)
    static constexpr std::uint8_t RichFlag = 8;   // the body is rich text
    static constexpr std::uint8_t SerialFlag = 16; // a serial chat TEL
    static constexpr std::uint8_t HtmlFlag = 32;  // the body is an HTML document

    std::int32_t Number = 0;    // TEL: the record's own index; OLC: the message number; header: 0
    QString Title;              // TEL: the kind text (TelTitle below); header: the creation date
    std::uint8_t Flags = 0;
    std::int32_t ReplyTo = 0;   // OLC: the message this one answers
    // The four address bytes exactly as stored, read into a uint32 without
    // swapping: the value is in network byte order, as plat::inet_addr
    // returns it and a socket address holds it.
    std::uint32_t Address = 0;
    QString Handle;             // header: the program's version text
    std::uint8_t Channel = 0;   // TEL received: the serial chat channel, 0 for none
    std::uint8_t Forwarded = 0; // TEL received through "FORWARD"
    double DateTime = 0;        // days since 1899-12-30
    std::int32_t Start = 0;     // body offset in the text file (OLC: -1 while not downloaded)
    std::int32_t Bytes = 0;     // body length, or the file's size
    QString FileName;           // header: the store's base name or board name
    std::uint8_t Deleted = 0;   // OLC: the server reported it deleted
    std::uint8_t Erased = 0;    // erase mark of the log windows
    QString AuxText1;           // TEL: the peer's version string
    QString AuxText2;           // TEL: the rate text of a file, or a Stay TEL's fetch user ID
    std::int32_t LinkIndex = 0;
    std::int32_t LinkHolder = 0;
    QString UserId;

    // The exact 400-byte image (little-endian, short strings in CP932, texts
    // cut on a character boundary, reserved bytes zero).
    QByteArray encode() const;
    // Reads a 400-byte image; a shorter buffer is read as if zero-filled and
    // length bytes larger than their field are clamped.
    static MessageRecord decode(const QByteArray &bytes);

    bool operator==(const MessageRecord &) const = default;
};

// Offsets of the fields in the image, for code that reads or patches one
// field of a stored record without decoding the rest.
namespace MessageRecordOffset {
constexpr int Number = 0, Title = 4, Flags = 85, ReplyTo = 88, Address = 92, Handle = 96, Channel = 129,
              Forwarded = 131, DateTime = 180, Start = 188, Bytes = 192, FileName = 196, Deleted = 277,
              Erased = 278, AuxText1 = 279, AuxText2 = 288, LinkIndex = 300, LinkHolder = 304, UserId = 308;
}

// Byte capacities of the text fields.
namespace MessageRecordCapacity {
constexpr int Title = 80, Handle = 32, FileName = 80, AuxText1 = 8, AuxText2 = 8, UserId = 8;
}

// Record 0 of a record file, written when the file is created: Title the
// creation date ("yyyy/MM/dd"), Handle the program's version text, FileName
// the given name (the store's base name or board name), all else zero.
MessageRecord MakeHeaderRecord(const QString &fileNameText);

// The kind texts of TEL titles (two blanks after "Send" and "Recv"). Suffixes
// are appended in this order: serial chat before forward.
namespace TelTitle {
inline constexpr char SendText[] = "Send  <<Text>>";
inline constexpr char RecvText[] = "Recv  <<Text>>";
inline constexpr char RecvStayText[] = "Recv  <<Text>> ; Stay TEL";
inline constexpr char SerialChat[] = " ; Serial Chat";
inline constexpr char ForwardTel[] = " ; Forward TEL";
inline constexpr char StayTel[] = " ; Stay TEL";
// "Send  <<File>> ; " + rate + "KBytes/s" (the rate text has no blank after it).
QString SendFile(const QString &rate);
QString RecvFile(const QString &rate);
} // namespace TelTitle

// A transfer's speed in kilobytes per second, right-aligned in 8 characters
// with 3 decimals ("   1.234"); "---" when it took no measurable time.
QString RateText(qint64 bytes, qint64 milliseconds);
