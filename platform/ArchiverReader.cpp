#include "platform/ArchiverReader.h"

#include "platform/ArchiverCommandLine.h"
#include "platform/Cp932.h"
#include "platform/ThreadUtf8Ctype.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringDecoder>
#include <QTemporaryFile>

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

namespace plat {

namespace {

constexpr qsizetype ChunkSize = 64 * 1024;

// libarchive recognises no archive without entries: a ZIP archive that is
// only its end record, an LZH archive that is only its end mark.
bool IsEmptyArchive(const ArchiveSource &source, ArchiveFormat format)
{
    constexpr qsizetype ZipEndSize = 22; // and a comment of at most 65535 bytes
    QByteArray bytes = source.bytes;
    if (!source.path.isEmpty()) {
        QFile file(source.path);
        if (!file.open(QIODevice::ReadOnly) || file.size() > ZipEndSize + 0xFFFF)
            return false;
        bytes = file.readAll();
    }
    if (format == ArchiveFormat::Lzh)
        return bytes == QByteArray(1, '\0');
    const auto word = [&](qsizetype at) { return unsigned(quint8(bytes[at])) | unsigned(quint8(bytes[at + 1])) << 8; };
    return bytes.size() >= ZipEndSize && bytes.startsWith("PK\x05\x06") && word(8) == 0 && word(10) == 0
        && ZipEndSize + word(20) == bytes.size();
}

// One pass over an archive with libarchive.
class ArchivePass {
public:
    ArchivePass(const ArchiveSource &source, ArchiveFormat format) : format_(format)
    {
        // LZH names come converted from CP932 into UTF-8 (the reader insists
        // on a conversion for names that are not ASCII). ZIP names are read
        // as stored and, by a second reader in step, as converted: from
        // UTF-8 when the entry says so, else from CP932.
        archive_ = NewReader(format, format == ArchiveFormat::Lzh ? "lha:hdrcharset=CP932" : nullptr);
        const int opened = Open(archive_, source);
        if (format == ArchiveFormat::Zip && opened == ARCHIVE_OK) {
            names_ = NewReader(format, "zip:hdrcharset=CP932");
            Open(names_, source);
        }
        status_ = opened == ARCHIVE_OK ? int(ArchiverOk)
            : !source.path.isEmpty() && !QFileInfo(source.path).isFile() ? int(ArchiverErrorNoFile)
            : IsEmptyArchive(source, format) ? int(ArchiverNoMoreEntries) : int(ArchiverErrorFormat);
    }
    ~ArchivePass()
    {
        archive_read_free(archive_);
        if (names_)
            archive_read_free(names_);
    }
    ArchivePass(const ArchivePass &) = delete;
    ArchivePass &operator=(const ArchivePass &) = delete;

    // The next entry into entry: ArchiverOk, ArchiverNoMoreEntries or an error.
    int next(ArchiveEntry &entry)
    {
        if (status_ != ArchiverOk)
            return status_;
        struct archive_entry *header = nullptr;
        const int read = archive_read_next_header(archive_, &header);
        if (read == ARCHIVE_EOF)
            return ArchiverNoMoreEntries;
        // A warning (sizes that disagree, a name that does not convert) is
        // as good as damage in an archive from elsewhere.
        if (read != ARCHIVE_OK)
            return status_ = ArchiverErrorFormat;
        if (++count_ > ArchiverMaxEntries)
            return status_ = ArchiverErrorTooLarge;
        Describe(header, ConvertedName(), format_, entry);
        return ArchiverOk;
    }

    // The current entry's data in pieces; stops with the piece callback's
    // non-zero answer. Counts every byte against the total size limit.
    int readData(const std::function<int(const char *data, qsizetype size)> &piece)
    {
        const auto buffer = std::make_unique<char[]>(ChunkSize);
        for (;;) {
            const la_ssize_t got = archive_read_data(archive_, buffer.get(), ChunkSize);
            if (got == 0)
                return ArchiverOk;
            if (got < 0)
                return status_ = ArchiverErrorFormat;
            total_ += got;
            if (total_ > ArchiverMaxTotalSize)
                return status_ = ArchiverErrorTooLarge;
            if (const int answer = piece(buffer.get(), got))
                return answer;
        }
    }

    int skipData() { return readData([](const char *, qsizetype) { return 0; }); }

private:
    static void Describe(struct archive_entry *header, const char *converted, ArchiveFormat format,
                         ArchiveEntry &entry)
    {
        const char *name = archive_entry_pathname(header);
        if (format == ArchiveFormat::Zip && !converted) {
            entry.storedName = QByteArray(name ? name : "");
            entry.name = DecodeName(entry.storedName);
        } else {
            entry.name = QString::fromUtf8(converted ? converted : name ? name : "").replace(QLatin1Char('\\'), QLatin1Char('/'));
            entry.storedName = ToCp932(entry.name);
        }
        entry.size = archive_entry_size_is_set(header) ? archive_entry_size(header) : 0;
        entry.modified = archive_entry_mtime(header);
        const auto type = archive_entry_filetype(header);
        if (archive_entry_hardlink(header) || archive_entry_symlink(header) || type == AE_IFLNK)
            entry.kind = 'l';
        else if (type == AE_IFDIR)
            entry.kind = 'd';
        else if (type == AE_IFREG)
            entry.kind = '-';
        else
            entry.kind = 'c';
    }

    // A ZIP name that the converting reader could not take (no CP932, not
    // flagged UTF-8) but is valid UTF-8 was written by an archiver that
    // stores UTF-8 without saying so.
    static QString DecodeName(const QByteArray &stored)
    {
        QString name = FromCp932(stored);
        if (name.contains(QChar::ReplacementCharacter)) {
            QStringDecoder utf8(QStringDecoder::Utf8);
            const QString decoded = utf8.decode(stored);
            if (!utf8.hasError())
                name = decoded;
        }
        return name.replace(QLatin1Char('\\'), QLatin1Char('/'));
    }

    static struct archive *NewReader(ArchiveFormat format, const char *options)
    {
        struct archive *reader = archive_read_new();
        if (format == ArchiveFormat::Zip)
            archive_read_support_format_zip_seekable(reader);
        else
            archive_read_support_format_lha(reader);
        if (options)
            archive_read_set_options(reader, options);
        return reader;
    }

    static int Open(struct archive *reader, const ArchiveSource &source)
    {
        return source.path.isEmpty()
            ? archive_read_open_memory(reader, source.bytes.constData(), size_t(source.bytes.size()))
            : archive_read_open_filename(reader, QFile::encodeName(source.path).constData(), ChunkSize);
    }

    // The name of the entry just read as the converting reader gives it;
    // null when it has none.
    const char *ConvertedName()
    {
        struct archive_entry *header = nullptr;
        if (!names_ || archive_read_next_header(names_, &header) < ARCHIVE_WARN)
            return nullptr;
        return archive_entry_pathname(header);
    }

    // Names cross libarchive as UTF-8 whatever the user's locale: first, so
    // that it is in force when the options set up their conversions.
    ThreadUtf8Ctype utf8_;
    struct archive *archive_ = nullptr;
    struct archive *names_ = nullptr;
    ArchiveFormat format_;
    int status_ = ArchiverOk;
    int count_ = 0;
    qint64 total_ = 0;
};

bool MatchHere(QStringView pattern, QStringView name, bool classes)
{
    while (!pattern.isEmpty()) {
        const QChar p = pattern.front();
        if (p == QLatin1Char('*')) {
            pattern = pattern.mid(1);
            for (qsizetype skip = 0; skip <= name.size(); ++skip) {
                if (MatchHere(pattern, name.mid(skip), classes))
                    return true;
            }
            return false;
        }
        if (name.isEmpty())
            return false;
        if (p == QLatin1Char('[') && classes) {
            const qsizetype close = pattern.indexOf(QLatin1Char(']'), 2);
            if (close > 0) {
                const QStringView set = pattern.mid(1, close - 1);
                if (!set.contains(name.front(), Qt::CaseInsensitive))
                    return false;
                pattern = pattern.mid(close + 1);
                name = name.mid(1);
                continue;
            }
        }
        if (p != QLatin1Char('?') && p.toCaseFolded() != name.front().toCaseFolded())
            return false;
        pattern = pattern.mid(1);
        name = name.mid(1);
    }
    return name.isEmpty();
}

// True when the folder, links resolved, lies within the root.
bool StaysInside(const QString &canonicalRoot, const QString &folder)
{
    const QString canonical = QFileInfo(folder).canonicalFilePath();
    return !canonical.isEmpty()
        && (canonical == canonicalRoot || canonical.startsWith(canonicalRoot + QLatin1Char('/')));
}

// What one extraction changed, undone when it fails: the files it wrote,
// removed again or, where one replaced a file that was there, the old file
// put back (it waits beside it until the extraction has succeeded), and the
// folders it made.
class ExtractionTrail {
public:
    ~ExtractionTrail()
    {
        for (auto it = files_.crbegin(); it != files_.crend(); ++it) {
            if (kept_) {
                if (!it->aside.isEmpty())
                    QFile::remove(it->aside);
            } else if (it->aside.isEmpty()) {
                QFile::remove(it->path);
            } else {
                std::rename(QFile::encodeName(it->aside).constData(), QFile::encodeName(it->path).constData());
            }
        }
        for (auto it = folders_.crbegin(); !kept_ && it != folders_.crend(); ++it)
            QDir().rmdir(*it);
    }
    void keep() { kept_ = true; }

    // Makes the folder and the missing ones above it, noting each made.
    // With a root, a folder that is there already must lie within it (a
    // link to elsewhere is not followed), so nothing is made outside.
    bool makeFolder(const QString &path, const QString &canonicalRoot = {})
    {
        const QFileInfo info(path);
        if (info.isDir())
            return canonicalRoot.isEmpty() || StaysInside(canonicalRoot, path);
        if (info.exists() || info.isSymLink())
            return false;
        const QString parent = info.path();
        if (parent != path && !makeFolder(parent, canonicalRoot))
            return false;
        if (!QDir().mkdir(path))
            return false;
        folders_.append(path);
        return true;
    }
    // Notes a file about to be written at path, first moving a file that
    // is there aside. False when that fails, or something else is there.
    bool makeRoomFor(const QString &path)
    {
        Written written{path, {}};
        const QFileInfo info(path);
        if (info.exists()) {
            QTemporaryFile aside(path + QStringLiteral(".old-XXXXXX"));
            aside.setAutoRemove(false);
            if (!info.isFile() || !aside.open())
                return false;
            written.aside = aside.fileName();
            if (std::rename(QFile::encodeName(path).constData(), QFile::encodeName(written.aside).constData()) != 0) {
                aside.remove();
                return false;
            }
        }
        files_.push_back(written);
        return true;
    }

private:
    struct Written {
        QString path;
        QString aside; // the file that was there before; empty for none
    };
    std::vector<Written> files_;
    QStringList folders_;
    bool kept_ = false;
};

void CopyName(char *target, std::size_t size, const QByteArray &name)
{
    const QByteArray cut = CutCp932(name, int(size) - 1);
    std::memcpy(target, cut.constData(), size_t(cut.size()));
    target[cut.size()] = '\0';
}

// True for a plain file or folder whose name stays below the folder.
bool MayExtract(const ArchiveEntry &entry)
{
    return (entry.kind == '-' || entry.kind == 'd') && IsSafeEntryName(entry.name);
}

// Checks every entry before anything is written.
int CheckEntries(const std::vector<ArchiveEntry> &entries)
{
    qint64 total = 0;
    for (const ArchiveEntry &entry : entries) {
        if (!MayExtract(entry))
            return ArchiverErrorUnsafe;
        total += std::max<qint64>(0, entry.size);
        if (entry.size < 0 || total > ArchiverMaxTotalSize)
            return ArchiverErrorTooLarge;
    }
    return ArchiverOk;
}

// Where an entry goes below the folder; empty when it would leave it.
QString TargetPath(const QString &root, const ArchiveEntry &entry, bool junkPaths)
{
    const QString relative = junkPaths ? entry.name.section(QLatin1Char('/'), -1, -1, QString::SectionSkipEmpty)
                                       : QDir::cleanPath(entry.name);
    if (relative.isEmpty() || relative == QLatin1String("."))
        return {};
    return QDir::cleanPath(root + QLatin1Char('/') + relative);
}

int WriteEntry(ArchivePass &pass, const ArchiveEntry &entry, const QString &target,
               const ArchiverProgress &progress, ExtractionTrail &trail)
{
    ArchiverExtractingInfo info{};
    info.fileSize = std::uint32_t(std::min<qint64>(entry.size, 0xFFFFFFFF));
    CopyName(info.sourceFileName, sizeof info.sourceFileName, entry.storedName);
    CopyName(info.destFileName, sizeof info.destFileName, target.toUtf8());
    if (progress && progress(ArchiverExtractBegin, info))
        return ArchiverErrorAborted;
    // A link in the file's place would have the new file written where it points.
    if (QFileInfo(target).isSymLink())
        return ArchiverErrorWrite;
    QSaveFile file(target);
    if (!file.open(QIODevice::WriteOnly))
        return ArchiverErrorWrite;
    const int read = pass.readData([&](const char *data, qsizetype size) {
        if (file.write(data, size) != size)
            return int(ArchiverErrorWrite);
        info.writeSize = std::uint32_t(std::min<qint64>(qint64(info.writeSize) + size, 0xFFFFFFFF));
        return progress && progress(ArchiverExtractInProcess, info) ? int(ArchiverErrorAborted) : int(ArchiverOk);
    });
    if (read != ArchiverOk) {
        file.cancelWriting();
        return read;
    }
    if (!trail.makeRoomFor(target)) {
        file.cancelWriting();
        return ArchiverErrorWrite;
    }
    if (!file.commit())
        return ArchiverErrorWrite;
    QFile written(target);
    if (written.open(QIODevice::Append))
        written.setFileTime(QDateTime::fromSecsSinceEpoch(entry.modified), QFileDevice::FileModificationTime);
    return ArchiverOk;
}

int ExtractChecked(const ArchiverExtraction &extraction, ExtractionTrail &trail)
{
    const QString root = QDir::cleanPath(QFileInfo(extraction.directory.isEmpty() ? QStringLiteral(".")
                                                                                  : extraction.directory)
                                             .absoluteFilePath());
    if (!trail.makeFolder(root))
        return ArchiverErrorWrite;
    const QString canonicalRoot = QFileInfo(root).canonicalFilePath();
    ArchivePass pass(extraction.source, extraction.format);
    ArchiveEntry entry;
    int found = 0;
    for (int read; (read = pass.next(entry)) != ArchiverNoMoreEntries;) {
        if (read != ArchiverOk)
            return read;
        // Checked again as written: the file is read a second time.
        if (!MayExtract(entry))
            return ArchiverErrorUnsafe;
        const QString target = TargetPath(root, entry, extraction.junkPaths);
        if (!extraction.names.matches(entry.name) || target.isEmpty() || (entry.kind == 'd' && extraction.junkPaths)) {
            if (const int skipped = pass.skipData())
                return skipped;
            continue;
        }
        ++found;
        const QString folder = entry.kind == 'd' ? target : QFileInfo(target).path();
        if (!trail.makeFolder(folder, canonicalRoot))
            return ArchiverErrorWrite;
        if (entry.kind == 'd')
            continue;
        if (const int written = WriteEntry(pass, entry, target, extraction.progress, trail))
            return written;
    }
    return found > 0 || extraction.names.patterns.isEmpty() ? int(ArchiverOk) : int(ArchiverErrorNoMatch);
}

} // namespace

bool ArchiverNamePatterns::matches(const QString &name) const
{
    if (patterns.isEmpty())
        return true;
    return std::any_of(patterns.cbegin(), patterns.cend(), [&](const QByteArray &pattern) {
        return MatchHere(ArchiverPath(pattern), name, classes);
    });
}

bool IsSafeEntryName(const QString &name)
{
    if (name.isEmpty() || name.startsWith(QLatin1Char('/')))
        return false;
    if (name.size() >= 2 && name[1] == QLatin1Char(':') && name[0].isLetter())
        return false;
    for (const QChar c : name) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            return false;
    }
    const QStringList steps = name.split(QLatin1Char('/'));
    return !steps.contains(QStringLiteral(".."));
}

int ListArchive(const ArchiveSource &source, ArchiveFormat format, std::vector<ArchiveEntry> &entries)
{
    entries.clear();
    ArchivePass pass(source, format);
    ArchiveEntry entry;
    for (int read; (read = pass.next(entry)) != ArchiverNoMoreEntries;) {
        if (read != ArchiverOk)
            return read;
        entries.push_back(entry);
    }
    return ArchiverOk;
}

int TestArchive(const ArchiveSource &source, ArchiveFormat format)
{
    return ReadArchiveEntries(source, format, [](const ArchiveEntry &, const QByteArray &) { return 0; });
}

int ExtractArchiveEntries(const ArchiverExtraction &extraction)
{
    std::vector<ArchiveEntry> entries;
    if (const int listed = ListArchive(extraction.source, extraction.format, entries))
        return listed;
    if (const int checked = CheckEntries(entries))
        return checked;
    ExtractionTrail trail;
    const int result = ExtractChecked(extraction, trail);
    if (result == ArchiverOk) {
        trail.keep();
        ArchiverExtractingInfo info{};
        if (extraction.progress)
            extraction.progress(ArchiverExtractEnd, info);
    }
    return result;
}

int ExtractEntryToMemory(const ArchiveSource &source, ArchiveFormat format, const ArchiverNamePatterns &names,
                         unsigned char *buffer, std::uint32_t bufferSize, std::uint32_t *written)
{
    std::uint32_t count = 0;
    bool found = false;
    const int result = ReadArchiveEntries(source, format, [&](const ArchiveEntry &entry, const QByteArray &data) {
        if (entry.kind != '-' || !names.matches(entry.name))
            return 0;
        found = true;
        count = std::uint32_t(std::min<qint64>(data.size(), bufferSize));
        if (buffer && count > 0)
            std::memcpy(buffer, data.constData(), count);
        return data.size() > qint64(bufferSize) ? int(ArchiverErrorBuffer) : 1;
    });
    if (written)
        *written = count;
    if (result == 1)
        return ArchiverOk;
    return result != ArchiverOk ? result : found ? int(ArchiverOk) : int(ArchiverErrorNoMatch);
}

int ReadArchiveEntries(const ArchiveSource &source, ArchiveFormat format,
                       const std::function<int(const ArchiveEntry &entry, const QByteArray &data)> &visit)
{
    ArchivePass pass(source, format);
    ArchiveEntry entry;
    for (int read; (read = pass.next(entry)) != ArchiverNoMoreEntries;) {
        if (read != ArchiverOk)
            return read;
        QByteArray data;
        if (const int got = pass.readData([&](const char *piece, qsizetype size) {
                data.append(piece, size);
                return 0;
            }))
            return got;
        if (const int answer = visit(entry, data))
            return answer;
    }
    return ArchiverOk;
}

} // namespace plat
