#pragma once
// Files of fixed-size records and plain byte files, as the system's data files
// are kept: each operation opens the file, does its work and closes it again.
//
// A file is created only when it does not exist: one that exists but cannot be
// opened (permissions, a folder in its place) is reported and left untouched,
// never truncated. A trailing partial record (a write cut short) is ignored.
#include <QByteArray>
#include <QString>

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
    // machine survives it). Threads syncing the same file at once share the
    // flush (SyncFile below).
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
// Threads that sync the same file at once share one fdatasync: the first runs
// it for all that wait; those arriving while it runs wait for the next one,
// which covers all of them. So concurrent writers of one file pay about one
// flush per round rather than one each. Sets errno on failure.
bool SyncFile(int fd);

// Plain byte files (the text files of bodies).

// A plain byte file open for appending, so that the append may happen inside
// a lock and the flush after it, outside.
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
