#include "platform/ArchiverLzh.h"

#include "platform/ArchiverLh5.h"
#include "platform/Cp932.h"

#include <QDate>
#include <QDateTime>
#include <QTime>

#include <array>
#include <cstdint>
#include <cstring>

namespace plat {

namespace {

constexpr char LzhFolderDelimiter = char(0xFF);
constexpr int ExtHeaderCrc = 0x00;
constexpr int ExtFileName = 0x01;
// Where a level-2 header written here holds its checksum: after the fixed
// part (24 bytes), the first extension's size (2) and type (1).
constexpr qsizetype HeaderCrcAt = 27;
constexpr int ExtFolderName = 0x02;

unsigned Byte(const QByteArray &bytes, qsizetype at)
{
    return static_cast<unsigned char>(bytes[at]);
}

unsigned Word(const QByteArray &bytes, qsizetype at)
{
    return Byte(bytes, at) | Byte(bytes, at + 1) << 8;
}

std::uint32_t Long(const QByteArray &bytes, qsizetype at)
{
    return Word(bytes, at) | std::uint32_t(Word(bytes, at + 2)) << 16;
}

void PutWord(QByteArray &bytes, unsigned value)
{
    bytes += char(value & 0xFF);
    bytes += char(value >> 8 & 0xFF);
}

void PutLong(QByteArray &bytes, std::uint32_t value)
{
    PutWord(bytes, value & 0xFFFF);
    PutWord(bytes, value >> 16);
}

// The checksum of the data of an LZH entry: CRC-16, polynomial 0xA001,
// lowest bit first. Eight bytes at a time: Tables[k][b] is the checksum
// step for the byte b followed by k zero bytes.
unsigned Crc16(const QByteArray &data)
{
    static constexpr auto Tables = [] {
        std::array<std::array<std::uint16_t, 256>, 8> tables{};
        for (unsigned byte = 0; byte < 256; ++byte) {
            unsigned crc = byte;
            for (int bit = 0; bit < 8; ++bit)
                crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
            tables[0][byte] = std::uint16_t(crc);
        }
        for (std::size_t k = 1; k < tables.size(); ++k) {
            for (unsigned byte = 0; byte < 256; ++byte) {
                const unsigned before = tables[k - 1][byte];
                tables[k][byte] = std::uint16_t((before >> 8) ^ tables[0][before & 0xFF]);
            }
        }
        return tables;
    }();
    const auto *bytes = reinterpret_cast<const unsigned char *>(data.constData());
    const qsizetype size = data.size();
    unsigned crc = 0;
    qsizetype at = 0;
    for (; at + 8 <= size; at += 8) {
        crc ^= bytes[at] | unsigned(bytes[at + 1]) << 8;
        crc = Tables[7][crc & 0xFF] ^ Tables[6][crc >> 8] ^ Tables[5][bytes[at + 2]] ^ Tables[4][bytes[at + 3]]
            ^ Tables[3][bytes[at + 4]] ^ Tables[2][bytes[at + 5]] ^ Tables[1][bytes[at + 6]] ^ Tables[0][bytes[at + 7]];
    }
    for (; at < size; ++at)
        crc = (crc >> 8) ^ Tables[0][(crc ^ bytes[at]) & 0xFF];
    return crc;
}

std::time_t FromDosTime(std::uint32_t stamp)
{
    const QDate date(int(stamp >> 25) + 1980, int(stamp >> 21 & 0x0F), int(stamp >> 16 & 0x1F));
    const QTime time(int(stamp >> 11 & 0x1F), int(stamp >> 5 & 0x3F), int(stamp & 0x1F) * 2);
    const QDateTime local(date, time);
    return local.isValid() ? std::time_t(local.toSecsSinceEpoch()) : 0;
}

// A name from a level-0/1 name field: "\" between folders, except as the
// second byte of a double-byte character.
QByteArray FromDosName(const QByteArray &name)
{
    QByteArray result = name;
    for (qsizetype i = 0; i < result.size(); ++i) {
        if (IsCp932LeadByte(static_cast<unsigned char>(result[i])))
            ++i;
        else if (result[i] == '\\')
            result[i] = '/';
    }
    return result;
}

// Reads the chain of extended headers starting at `at` whose first size is
// `size`; takes the file and folder names. False when it leaves `end`.
bool ReadExtensions(const QByteArray &bytes, qsizetype at, unsigned size, qsizetype end, QByteArray &name)
{
    QByteArray folder;
    int guard = 0;
    while (size != 0) {
        if (size < 3 || at + qsizetype(size) > end || ++guard > 256)
            return false;
        const unsigned type = Byte(bytes, at);
        const QByteArray data = bytes.mid(at + 1, size - 3);
        if (type == ExtFileName)
            name = data;
        else if (type == ExtFolderName)
            folder = QByteArray(data).replace(LzhFolderDelimiter, '/');
        at += size;
        size = Word(bytes, at - 2);
    }
    if (!folder.isEmpty() && !folder.endsWith('/'))
        folder += '/';
    name = folder + name;
    return true;
}

// The entry starting at `at`; false when it is not one or is cut short.
bool ScanEntry(const QByteArray &bytes, qsizetype at, LzhRawEntry &entry)
{
    constexpr qsizetype BaseSize = 22;
    if (at + BaseSize > bytes.size() || bytes[at + 2] != '-' || bytes[at + 6] != '-')
        return false;
    const unsigned level = Byte(bytes, at + 20);
    const std::uint32_t packed = Long(bytes, at + 7);
    entry.offset = at;
    qsizetype header = 0;
    if (level == 0 || level == 1) {
        header = qsizetype(Byte(bytes, at)) + 2;
        const unsigned nameLength = Byte(bytes, at + 21);
        if (header < BaseSize + qsizetype(nameLength) || at + header > bytes.size())
            return false;
        entry.name = FromDosName(bytes.mid(at + 22, nameLength));
        entry.modified = FromDosTime(Long(bytes, at + 15));
        if (level == 1 && !ReadExtensions(bytes, at + header, Word(bytes, at + header - 2), bytes.size(), entry.name))
            return false;
    } else if (level == 2) {
        header = qsizetype(Word(bytes, at));
        if (header < 26 || at + header > bytes.size())
            return false;
        entry.name.clear();
        entry.modified = std::time_t(Long(bytes, at + 15));
        if (!ReadExtensions(bytes, at + 26, Word(bytes, at + 24), at + header, entry.name))
            return false;
    } else {
        return false;
    }
    entry.length = header + qsizetype(packed);
    return entry.length <= bytes.size() - at;
}

} // namespace

bool ScanLzh(const QByteArray &archive, std::vector<LzhRawEntry> &entries)
{
    entries.clear();
    qsizetype at = 0;
    while (at < archive.size() && archive[at] != LzhEndMark) {
        LzhRawEntry entry;
        if (!ScanEntry(archive, at, entry))
            return false;
        entries.push_back(entry);
        at += entry.length;
    }
    return true;
}

QByteArray LzhEntry(const QByteArray &name, const QByteArray &data, std::time_t modified)
{
    // Data that does not shrink is stored as it is.
    const QByteArray compressed = CompressLh5(data);
    const bool shrinks = compressed.size() < data.size();
    const QByteArray &packed = shrinks ? compressed : data;
    const qsizetype slash = name.lastIndexOf('/');
    const QByteArray folder = slash < 0 ? QByteArray() : QByteArray(name.left(slash + 1)).replace('/', LzhFolderDelimiter);
    // Each extended header is its type, its data and the size of the next
    // one; the header checksum comes first and is filled in last.
    std::vector<std::pair<int, QByteArray>> extensions{{ExtHeaderCrc, QByteArray(2, '\0')},
                                                       {ExtFileName, name.mid(slash + 1)}};
    if (!folder.isEmpty())
        extensions.emplace_back(ExtFolderName, folder);

    QByteArray header;
    PutWord(header, 0); // total header size, filled in below
    header += shrinks ? "-lh5-" : "-lh0-";
    PutLong(header, std::uint32_t(packed.size()));
    PutLong(header, std::uint32_t(data.size()));
    PutLong(header, std::uint32_t(modified));
    header += char(0x20); // archive attribute
    header += char(2);    // header level
    PutWord(header, Crc16(data));
    header += 'M';        // names are MS-DOS names (CP932)
    for (const auto &[type, value] : extensions) {
        PutWord(header, unsigned(value.size()) + 3);
        header += char(type);
        header += value;
    }
    PutWord(header, 0);
    // A header size whose low byte is 0 would read as the end mark.
    if ((header.size() & 0xFF) == 0)
        header += '\0';
    header[0] = char(header.size() & 0xFF);
    header[1] = char(header.size() >> 8 & 0xFF);
    const unsigned crc = Crc16(header);
    header[HeaderCrcAt] = char(crc & 0xFF);
    header[HeaderCrcAt + 1] = char(crc >> 8);
    return header + packed;
}

} // namespace plat
