#pragma once
// Files of fixed-size records and plain byte files, as the system's data files
// are kept: each operation opens the file, does its work and closes it again.
//
// A file is created only when it does not exist: one that exists but cannot be
// opened (permissions, a folder in its place) is reported and left untouched,
// never truncated. A trailing partial record (a write cut short) is ignored.
#include <QByteArray>
#include <QString>

#include <condition_variable>
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

// Appends to a file from many threads at once, each append returning only
// when what it appended is durable, with the flushes shared (group commit).
//
// A thread queues its entry and waits. The first thread that finds no leader
// leads: it takes every entry queued for the same file so far and, inside the
// file's lock, gives each its position, writes them all with one write,
// releases the lock, flushes once and then wakes the whole batch. Entries
// queued meanwhile wait for the next leader, whose single flush covers all of
// them. The file is addressed in units of recordSize bytes (1 for a plain
// byte file): the first entry of a batch takes the number of whole units in
// the file (a partial trailing record is overwritten), each following one the
// position after the one before it.
//
// An entry that its image refuses fails alone. A failed open, write or flush
// fails every entry of the batch; a failed write leaves the file as it was.
class GroupAppend {
public:
    // Makes the bytes an entry appends at the position it is given (padded to
    // whole units); false, with error set, refuses the entry.
    using Image = std::function<bool(qint64 position, QByteArray &bytes, QString &error)>;

    // fileLock guards every write of the file, here and elsewhere.
    GroupAppend(std::recursive_mutex &fileLock, int recordSize);
    GroupAppend(const GroupAppend &) = delete;
    GroupAppend &operator=(const GroupAppend &) = delete;

    // The entry's position once it is durable, -1 with error set otherwise.
    // The path must name an existing file.
    qint64 append(const QString &path, Image image, QString *error);

private:
    struct Entry {
        QString path;
        Image image;
        qint64 position = -1;
        QString error;
        bool done = false;
    };

    std::vector<Entry *> takeBatch();
    void commit(const std::vector<Entry *> &batch);
    // The positions of the batch's entries, and their bytes end to end.
    QByteArray images(const std::vector<Entry *> &batch, qint64 first);

    std::recursive_mutex &fileLock_;
    const int recordSize_;
    std::mutex queueLock_;
    std::condition_variable batchDone_;
    std::vector<Entry *> queue_;
    bool leading_ = false;
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
