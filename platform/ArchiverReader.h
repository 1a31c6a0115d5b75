#pragma once
// Reading LZH and ZIP archives for the built-in archiver libraries, and
// extracting them safely.
//
// An archive is extracted only when every entry it holds may be: a name that
// is absolute, has a drive prefix or a ".." step, a link, a device or any
// other kind than file and folder refuses the whole archive before anything
// is written, and so do more than ArchiverMaxEntries entries or more than
// ArchiverMaxTotalSize bytes in all. Files are written through a temporary
// file each, with the user's default permissions (the archive's are not
// restored, nor owners), replacing a file of the same name (there is no one
// to ask); a link already in the folder is never followed out of it. When
// extraction fails midway, what it wrote is removed again and the files it
// replaced are put back.
//
// ZIP names are CP932 unless the entry flags them UTF-8; an unflagged name
// that is no CP932 but valid UTF-8 is taken as UTF-8. An archive without
// entries is a valid archive.
#include "platform/ArchiverInfo.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <ctime>
#include <functional>
#include <vector>

namespace plat {

enum class ArchiveFormat { Lzh, Zip };

// Where an archive is read from: a file, or bytes in memory when path is empty.
struct ArchiveSource {
    QString path;
    QByteArray bytes;
};

struct ArchiveEntry {
    QByteArray storedName; // as the archive holds it (CP932)
    QString name;          // decoded, "/" between folders
    char kind = '-';       // '-' file, 'd' folder, 'l' link, 'c' any other kind
    qint64 size = 0;       // declared size
    std::time_t modified = 0;
};

// Names of entries to act on, as a command line gives them. Empty: all.
// "*" and "?" are wildcards; with classes, "[...]" is a set of characters
// (so "[[]" is a plain "["). Compared without regard to case.
struct ArchiverNamePatterns {
    QList<QByteArray> patterns;
    bool classes = false;

    bool matches(const QString &name) const;
};

// Answers whether to stop, for one progress report.
using ArchiverProgress = std::function<bool(unsigned state, ArchiverExtractingInfo &info)>;

struct ArchiverExtraction {
    ArchiveSource source;
    ArchiveFormat format = ArchiveFormat::Zip;
    QString directory;
    ArchiverNamePatterns names;
    bool junkPaths = false;
    ArchiverProgress progress;
};

// True for a name that stays below the folder it is extracted into.
bool IsSafeEntryName(const QString &name);

// Reads every entry's header. 0 or an ArchiverResult code.
int ListArchive(const ArchiveSource &source, ArchiveFormat format, std::vector<ArchiveEntry> &entries);

// Reads every entry's header and data (checking what the format checks).
int TestArchive(const ArchiveSource &source, ArchiveFormat format);

// Extracts the matching entries. 0 or an ArchiverResult code.
int ExtractArchiveEntries(const ArchiverExtraction &extraction);

// The first matching file entry into the buffer; written is its byte count.
int ExtractEntryToMemory(const ArchiveSource &source, ArchiveFormat format, const ArchiverNamePatterns &names,
                         unsigned char *buffer, std::uint32_t bufferSize, std::uint32_t *written);

// Every matching file entry with its data, for rewriting an archive; stops
// with the callback's non-zero answer.
int ReadArchiveEntries(const ArchiveSource &source, ArchiveFormat format,
                       const std::function<int(const ArchiveEntry &entry, const QByteArray &data)> &visit);

} // namespace plat
