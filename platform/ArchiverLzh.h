#pragma once
// Our own writer of LZH archives: new entries are compressed ("-lh5-", or
// stored as "-lh0-" when that does not make them smaller) with level-2
// headers; entries of an archive being rewritten are copied byte for byte,
// whatever method and header level they have.
#include <QByteArray>

#include <ctime>
#include <vector>

namespace plat {

// One entry of an LZH archive as it lies in the file.
struct LzhRawEntry {
    qsizetype offset = 0; // where its header starts
    qsizetype length = 0; // header and data
    QByteArray name;      // CP932, "/" between folders
    std::time_t modified = 0;
};

// Finds the entries of an LZH archive (header levels 0 to 2). False when the
// bytes are not one, or end inside an entry.
bool ScanLzh(const QByteArray &archive, std::vector<LzhRawEntry> &entries);

// An entry with a level-2 header, for the CP932 name ("/" between folders).
QByteArray LzhEntry(const QByteArray &name, const QByteArray &data, std::time_t modified);

// What ends an LZH archive.
inline constexpr char LzhEndMark = '\0';

} // namespace plat
