#pragma once
// Files of fixed-size records and plain byte files, as the system's data files
// are kept: each operation opens the file, does its work and closes it again.
//
// A file is created only when it does not exist: one that exists but cannot be
// opened (permissions, a folder in its place) is reported and left untouched,
// never truncated. A trailing partial record (a write cut short) is ignored.
#include <QByteArray>
#include <QString>

#include "platform/Combiner.h"

#include <functional>
#include <mutex>
#include <vector>

namespace plat {

class RecordFile {
public:
    RecordFile(QString path, int recordSize);
    ~RecordFile();
    RecordFile(const RecordFile &) = delete;
    RecordFile &operator=(const RecordFile &) = delete;

    const QString &path() const { return path_; }
    int recordSize() const { return recordSize_; }

    // Opens an existing file for reading and writing; false when it is missing
    // or cannot be opened (exists() tells which).
    bool open();
    // Creates the file when it does not exist and opens it; false when it
    // exists already or cannot be created.
    bool create();
    bool exists() const;
    void close();
    bool isOpen() const { return fd_ >= 0; }

    // Whole records in the file.
    qint64 count() const;
    // Reads record index; false past the end or on an error.
    bool read(qint64 index, QByteArray &record) const;
    // Reads up to most whole records from index first on with one call, their
    // images end to end in records; the number read, 0 past the end or on an
    // error. For going through many records, one block at a time.
    qint64 readBlock(qint64 first, qint64 most, QByteArray &records) const;
    // Writes record index (at most one past the end); the record is padded or
    // cut to the record size.
    bool write(qint64 index, const QByteArray &record);
    // Appends after the last whole record (a partial one is overwritten) and
    // returns the new record's index, -1 on an error.
    qint64 append(const QByteArray &record);
    bool truncate(qint64 records);
    // Makes what was written durable (data written before a crash of the
    // machine survives it).
    bool sync();

    QString errorString() const { return error_; }

private:
    bool fail(const QString &what);

    QString path_;
    int recordSize_;
    int fd_ = -1;
    QString error_;
};

// Makes everything written to the file behind fd before the call durable.
// Sets errno on failure.
bool SyncFile(int fd);

// Makes the names in folder durable: an entry just created, renamed into it or
// removed. Best effort: a failure leaves the files themselves in place and
// readable, so callers go on.
void SyncFolder(const QString &folder);

// Appends to a file from many threads at once, each append returning only
// when what it appended is durable, with the writes and flushes shared (group
// commit, through a Combiner): a batch's entries for one file get their
// positions and are written with one write inside the file's lock, then one
// flush outside it covers them all. The file is addressed in units of
// recordSize bytes (1 for a plain byte file): the first entry of a batch takes
// the number of whole units in the file (a partial trailing record is
// overwritten), each following one the position after the one before it.
//
// An entry that its image refuses fails alone. A failed open, write or flush
// fails every entry of its batch; a failed write leaves the file as it was.
class GroupAppend {
public:
    // Makes the bytes an entry appends at the position it is given (padded to
    // whole units); false, with error set, refuses the entry.
    using Image = std::function<bool(qint64 position, QByteArray &bytes, QString &error)>;
    struct Entry {
        Entry(QString path, Image image) : path(std::move(path)), image(std::move(image)) {}
        QString path;          // an existing file
        Image image;
        qint64 position = -1;  // once durable; -1 with error set otherwise
        QString error;
    };

    // fileLock guards every write of the file, here and elsewhere.
    GroupAppend(std::recursive_mutex &fileLock, int recordSize);
    GroupAppend(const GroupAppend &) = delete;
    GroupAppend &operator=(const GroupAppend &) = delete;

    // The entry's position once it is durable, -1 with error set otherwise.
    qint64 append(const QString &path, Image image, QString *error);
    // Appends the entries, in their order, as one part of a batch.
    void appendAll(std::vector<Entry> &entries);

private:
    void commit(const std::vector<Entry *> &entries);
    // The positions of the entries, and their bytes end to end.
    QByteArray images(const std::vector<Entry *> &entries, qint64 first);

    std::recursive_mutex &fileLock_;
    const int recordSize_;
    Combiner<Entry> combiner_;
};

// Plain byte files (the text files of bodies).

// A plain byte file open for appending.
class ByteFile {
public:
    explicit ByteFile(QString path);
    ~ByteFile();
    ByteFile(const ByteFile &) = delete;
    ByteFile &operator=(const ByteFile &) = delete;

    // Opens an existing regular file for writing; a missing file is an error.
    bool open();
    qint64 size() const; // -1 when not open
    // Writes bytes at the end; returns the offset at which they start, -1 on an error.
    qint64 append(const QByteArray &bytes);
    bool sync();

    QString errorString() const { return error_; }

private:
    bool fail(const QString &what);

    QString path_;
    int fd_ = -1;
    QString error_;
};

// Creates the file empty when it does not exist; true when it exists afterwards
// as a regular file.
bool EnsureFileExists(const QString &path, QString *error = nullptr);
// Appends bytes to an existing file and makes them durable; returns the offset
// at which they start, -1 on an error (a missing file is an error).
qint64 AppendToFile(const QString &path, const QByteArray &bytes, QString *error = nullptr);
// Reads at most length bytes at offset, bounded by the file's size; a negative
// offset or length reads nothing.
QByteArray ReadFileAt(const QString &path, qint64 offset, qint64 length);
qint64 FileSize(const QString &path); // -1 when it cannot be read

} // namespace plat
