#include "platform/ArchiverPack.h"

#include "platform/ArchiverCommandLine.h"
#include "platform/ArchiverLzh.h"
#include "platform/Cp932.h"
#include "platform/ThreadUtf8Ctype.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSaveFile>
#include <QSet>

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>

namespace plat {

namespace {

struct PackItem {
    QString path;          // the file on disk
    QByteArray storedName; // its entry name (CP932, "/" between folders)
    std::time_t modified = 0;
};

struct PackList {
    std::vector<PackItem> items;
    QSet<QString> names; // case-folded
    int result = ArchiverOk;
};

struct OldEntry {
    QString name;
    std::time_t modified = 0;
    bool keep = true;
};

bool HasWildcard(const QString &name, bool classes)
{
    return name.contains(QLatin1Char('*')) || name.contains(QLatin1Char('?'))
        || (classes && name.contains(QLatin1Char('[')));
}

// An entry for the file, named by its path below the base folder (by its
// file name alone when junking paths, or when it lies outside the base), so
// that no name we write leads out of the folder it is extracted into.
// A name met twice goes in once. A name that CP932 cannot hold fails the
// whole pack: it would be stored as another name.
void AddFile(const QFileInfo &file, const QDir &base, bool junkPaths, PackList &list)
{
    QString relative = base.relativeFilePath(file.absoluteFilePath());
    if (junkPaths || relative.startsWith(QLatin1String("../")) || QDir::isAbsolutePath(relative))
        relative = file.fileName();
    if (!FitsCp932(relative)) {
        list.result = ArchiverErrorName;
        return;
    }
    if (list.names.contains(relative.toCaseFolded()))
        return;
    list.names.insert(relative.toCaseFolded());
    list.items.push_back({file.absoluteFilePath(), ToCp932(relative), std::time_t(file.lastModified().toSecsSinceEpoch())});
}

void AddPath(const QFileInfo &found, const ArchiverPacking &packing, const QDir &base, PackList &list)
{
    if (found.isFile()) {
        AddFile(found, base, packing.junkPaths, list);
    } else if (found.isDir() && packing.recurse) {
        // In name order, so that the same files make the same archive.
        QFileInfoList below;
        QDirIterator it(found.absoluteFilePath(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            it.next();
            below.append(it.fileInfo());
        }
        std::sort(below.begin(), below.end(), [](const QFileInfo &a, const QFileInfo &b) {
            return a.absoluteFilePath() < b.absoluteFilePath();
        });
        for (const QFileInfo &file : std::as_const(below))
            AddFile(file, base, packing.junkPaths, list);
    }
}

// The files the names stand for, relative to the base folder (the current
// one when none is given); a wildcard in the last part of a name matches
// within its folder. 0 or an ArchiverResult code.
int CollectFiles(const ArchiverPacking &packing, std::vector<PackItem> &items)
{
    PackList list;
    const QDir base(packing.baseDirectory.isEmpty() ? QDir::currentPath()
                                                    : QFileInfo(packing.baseDirectory).absoluteFilePath());
    for (const QByteArray &name : packing.names.patterns) {
        const QFileInfo info(base.absoluteFilePath(ArchiverPath(name)));
        if (!HasWildcard(info.fileName(), packing.names.classes)) {
            AddPath(info, packing, base, list);
            continue;
        }
        const ArchiverNamePatterns pattern{{ToCp932(info.fileName())}, packing.names.classes};
        const QFileInfoList candidates =
            QDir(info.absolutePath()).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
        for (const QFileInfo &candidate : candidates) {
            if (pattern.matches(candidate.fileName()))
                AddPath(candidate, packing, base, list);
        }
    }
    items = std::move(list.items);
    return list.result;
}

// Decides which old entries stay and which files go in, by the mode.
int Choose(const ArchiverPacking &packing, std::vector<OldEntry> &old, std::vector<PackItem> &items)
{
    if (packing.mode == PackMode::Delete) {
        // No names would match every entry: a delete names what it deletes.
        if (packing.names.patterns.isEmpty())
            return ArchiverErrorCommand;
        bool any = false;
        for (OldEntry &entry : old) {
            entry.keep = !packing.names.matches(entry.name);
            any = any || !entry.keep;
        }
        return any ? int(ArchiverOk) : int(ArchiverErrorNoMatch);
    }
    if (items.empty())
        return ArchiverErrorNoFile;
    QHash<QString, std::size_t> byName; // case-folded name -> first old entry of that name
    for (std::size_t i = old.size(); i-- > 0;)
        byName.insert(old[i].name.toCaseFolded(), i);
    std::vector<PackItem> chosen;
    for (const PackItem &item : items) {
        const auto same = byName.constFind(FromCp932(item.storedName).toCaseFolded());
        const bool exists = same != byName.cend();
        const bool newer = !exists || item.modified > old[same.value()].modified;
        const bool take = packing.mode == PackMode::Add || (packing.mode == PackMode::Update && newer)
            || (packing.mode == PackMode::Freshen && exists && newer);
        if (!take)
            continue;
        if (exists)
            old[same.value()].keep = false;
        chosen.push_back(item);
    }
    items = std::move(chosen);
    return ArchiverOk;
}

bool ReadFile(const QString &path, QByteArray &data)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > ArchiverMaxTotalSize)
        return false;
    data = file.readAll();
    return true;
}

int WriteLzh(const QByteArray &oldBytes, const std::vector<LzhRawEntry> &raw, const std::vector<OldEntry> &old,
             const std::vector<PackItem> &items, QSaveFile &out)
{
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (old[i].keep)
            out.write(oldBytes.constData() + raw[i].offset, raw[i].length);
    }
    for (const PackItem &item : items) {
        QByteArray data;
        if (!ReadFile(item.path, data))
            return ArchiverErrorNoFile;
        out.write(LzhEntry(item.storedName, data, item.modified));
    }
    out.write(&LzhEndMark, 1);
    return ArchiverOk;
}

int PackLzh(const ArchiverPacking &packing, std::vector<PackItem> &items, QSaveFile &out)
{
    QByteArray oldBytes;
    std::vector<LzhRawEntry> raw;
    if (QFileInfo::exists(packing.archive)
        && (!ReadFile(packing.archive, oldBytes) || !ScanLzh(oldBytes, raw) || raw.size() > ArchiverMaxEntries))
        return ArchiverErrorFormat;
    std::vector<OldEntry> old;
    for (const LzhRawEntry &entry : raw)
        old.push_back({FromCp932(entry.name), entry.modified});
    if (const int chosen = Choose(packing, old, items))
        return chosen;
    return WriteLzh(oldBytes, raw, old, items, out);
}

// Writes ZIP entries into a QSaveFile through libarchive.
class ZipWriter {
public:
    ZipWriter(QSaveFile &out, bool store) : archive_(archive_write_new())
    {
        archive_write_set_format_zip(archive_);
        archive_write_set_bytes_in_last_block(archive_, 1); // no padding after the archive
        archive_write_set_options(archive_, store ? "zip:compression=store" : "zip:compression=deflate");
        // Names are handed over in UTF-8 and stored as CP932.
        archive_write_set_options(archive_, "zip:hdrcharset=CP932");
        ok_ = archive_write_open(archive_, &out, nullptr, &ZipWriter::Write, nullptr) == ARCHIVE_OK;
    }
    ~ZipWriter() { archive_write_free(archive_); }
    ZipWriter(const ZipWriter &) = delete;
    ZipWriter &operator=(const ZipWriter &) = delete;

    bool add(const QString &name, const QByteArray &data, std::time_t modified)
    {
        archive_entry *entry = archive_entry_new();
        archive_entry_copy_pathname(entry, name.toUtf8().constData());
        archive_entry_set_filetype(entry, AE_IFREG);
        archive_entry_set_perm(entry, 0644);
        archive_entry_set_size(entry, data.size());
        archive_entry_set_mtime(entry, modified, 0);
        ok_ = ok_ && archive_write_header(archive_, entry) == ARCHIVE_OK
            && (data.isEmpty() || archive_write_data(archive_, data.constData(), size_t(data.size())) == data.size());
        archive_entry_free(entry);
        return ok_;
    }
    bool finish() { return ok_ && archive_write_close(archive_) == ARCHIVE_OK; }

private:
    static la_ssize_t Write(struct archive *, void *client, const void *buffer, size_t length)
    {
        auto *out = static_cast<QSaveFile *>(client);
        return out->write(static_cast<const char *>(buffer), qint64(length)) == qint64(length) ? la_ssize_t(length) : -1;
    }

    // Names cross libarchive as UTF-8 whatever the user's locale: first, so
    // that it is in force when the options set up their conversions.
    ThreadUtf8Ctype utf8_;
    struct archive *archive_;
    bool ok_ = false;
};

int PackZip(const ArchiverPacking &packing, std::vector<PackItem> &items, QSaveFile &out)
{
    const ArchiveSource source{packing.archive, {}};
    std::vector<ArchiveEntry> entries;
    const bool exists = QFileInfo::exists(packing.archive);
    if (exists) {
        if (const int listed = ListArchive(source, ArchiveFormat::Zip, entries))
            return listed;
    }
    std::vector<OldEntry> old;
    for (const ArchiveEntry &entry : entries)
        old.push_back({entry.name, entry.modified});
    if (const int chosen = Choose(packing, old, items))
        return chosen;
    ZipWriter writer(out, packing.store);
    std::size_t index = 0;
    if (exists) {
        const int copied = ReadArchiveEntries(source, ArchiveFormat::Zip, [&](const ArchiveEntry &entry, const QByteArray &data) {
            const bool keep = old[index++].keep && entry.kind == '-';
            return !keep || writer.add(entry.name, data, entry.modified) ? 0 : int(ArchiverErrorWrite);
        });
        if (copied)
            return copied;
    }
    for (const PackItem &item : items) {
        QByteArray data;
        if (!ReadFile(item.path, data))
            return ArchiverErrorNoFile;
        if (!writer.add(FromCp932(item.storedName), data, item.modified))
            return ArchiverErrorWrite;
    }
    return writer.finish() ? int(ArchiverOk) : int(ArchiverErrorWrite);
}

} // namespace

int PackArchive(const ArchiverPacking &packing)
{
    std::vector<PackItem> items;
    if (packing.mode != PackMode::Delete) {
        if (const int collected = CollectFiles(packing, items))
            return collected;
    }
    // A wildcard may also name the archive itself, which is being replaced.
    const QString archivePath = QFileInfo(packing.archive).absoluteFilePath();
    std::erase_if(items, [&](const PackItem &item) { return item.path == archivePath; });
    qint64 total = 0;
    for (const PackItem &item : items)
        total += QFileInfo(item.path).size();
    if (total > ArchiverMaxTotalSize || items.size() > std::size_t(ArchiverMaxEntries))
        return ArchiverErrorTooLarge;
    QSaveFile out(packing.archive);
    if (!out.open(QIODevice::WriteOnly))
        return ArchiverErrorWrite;
    const int result = packing.format == ArchiveFormat::Lzh ? PackLzh(packing, items, out) : PackZip(packing, items, out);
    if (result != ArchiverOk) {
        out.cancelWriting();
        return result;
    }
    return out.commit() ? int(ArchiverOk) : int(ArchiverErrorWrite);
}

} // namespace plat
