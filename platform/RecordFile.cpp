#include "platform/RecordFile.h"
#include "platform/RecordFileTesting.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plat {

std::atomic<bool> testing::SkipSyncs{false};

namespace {

QString ErrnoText(const QString &what, const QString &path)
{
    return what + QStringLiteral(" ") + path + QStringLiteral(" : ") + QString::fromLocal8Bit(std::strerror(errno));
}

// Moves size bytes at offset with pread or pwrite, however many calls it
// takes; false on an error or at the end of the file.
template <typename Buffer, typename Io>
bool TransferAll(Io io, int fd, Buffer *data, qint64 size, qint64 offset)
{
    while (size > 0) {
        const ssize_t n = io(fd, data, static_cast<size_t>(size), offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= n;
        offset += n;
    }
    return true;
}

bool WriteAll(int fd, const char *data, qint64 size, qint64 offset)
{
    return TransferAll(::pwrite, fd, data, size, offset);
}

bool ReadAll(int fd, char *data, qint64 size, qint64 offset)
{
    return TransferAll(::pread, fd, data, size, offset);
}

qint64 SizeOf(int fd)
{
    struct stat st {};
    return ::fstat(fd, &st) == 0 ? static_cast<qint64>(st.st_size) : -1;
}

int OpenExisting(const QString &path, int flags)
{
    int fd;
    do
        fd = ::open(QFile::encodeName(path).constData(), flags | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    return fd;
}

} // namespace

bool SyncFile(int fd)
{
    if (fd < 0) {
        errno = EBADF;
        return false;
    }
    if (testing::SkipSyncs)
        return true;
    int result;
    do
        result = ::fdatasync(fd);
    while (result != 0 && errno == EINTR);
    return result == 0;
}

void SyncFolder(const QString &folder)
{
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        SyncFile(fd);
        ::close(fd);
    }
}

GroupAppend::GroupAppend(std::recursive_mutex &fileLock, int recordSize)
    : fileLock_(fileLock), recordSize_(std::max(recordSize, 1)),
      combiner_([this](const std::vector<Entry *> &batch) {
          // Entries for another file (the pair was switched meanwhile) are
          // written and flushed in a round of their own.
          std::vector<Entry *> rest = batch;
          while (!rest.empty()) {
              std::vector<Entry *> same, other;
              for (Entry *entry : rest)
                  (entry->path == rest.front()->path ? same : other).push_back(entry);
              commit(same);
              rest.swap(other);
          }
      })
{
}

qint64 GroupAppend::append(const QString &path, Image image, QString *error)
{
    std::vector<Entry> entries{Entry(path, std::move(image))};
    appendAll(entries);
    if (entries.front().position < 0 && error)
        *error = entries.front().error;
    return entries.front().position;
}

void GroupAppend::appendAll(std::vector<Entry> &entries)
{
    std::vector<Entry *> jobs;
    for (Entry &entry : entries)
        jobs.push_back(&entry);
    combiner_.run(jobs);
}

QByteArray GroupAppend::images(const std::vector<Entry *> &entries, qint64 first)
{
    QByteArray all;
    qint64 position = first;
    for (Entry *entry : entries) {
        QByteArray bytes;
        if (!entry->image(position, bytes, entry->error))
            continue;
        bytes.append(QByteArray((recordSize_ - bytes.size() % recordSize_) % recordSize_, '\0'));
        entry->position = position;
        position += bytes.size() / recordSize_;
        all += bytes;
    }
    return all;
}

void GroupAppend::commit(const std::vector<Entry *> &entries)
{
    const QString &path = entries.front()->path;
    QString error;
    int fd = -1;
    {
        std::lock_guard lock(fileLock_);
        fd = OpenExisting(path, O_WRONLY);
        struct stat st {};
        if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
            ::close(fd);
            fd = -1;
            errno = EISDIR;
        }
        if (fd < 0) {
            error = ErrnoText(QStringLiteral("Cannot open"), path);
        } else {
            const qint64 offset = SizeOf(fd) / recordSize_ * recordSize_;
            const QByteArray bytes = images(entries, offset / recordSize_);
            if (!WriteAll(fd, bytes.constData(), bytes.size(), offset)) {
                error = ErrnoText(QStringLiteral("Cannot write"), path);
                // Part of it may be there: entries that are not stored
                // leave no records behind to give later ones wrong positions.
                (void)!::ftruncate(fd, offset);
            }
        }
    }
    if (fd >= 0 && error.isEmpty() && !SyncFile(fd))
        error = ErrnoText(QStringLiteral("Cannot sync"), path);
    if (fd >= 0)
        ::close(fd);
    if (error.isEmpty())
        return;
    for (Entry *entry : entries) {
        if (entry->position >= 0 || entry->error.isEmpty())
            entry->error = error;
        entry->position = -1;
    }
}

RecordFile::RecordFile(QString path, int recordSize) : path_(std::move(path)), recordSize_(recordSize) {}

RecordFile::~RecordFile()
{
    close();
}

bool RecordFile::fail(const QString &what)
{
    error_ = ErrnoText(what, path_);
    return false;
}

bool RecordFile::open()
{
    close();
    fd_ = OpenExisting(path_, O_RDWR);
    if (fd_ < 0)
        return fail(QStringLiteral("Cannot open"));
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        close();
        errno = EISDIR;
        return fail(QStringLiteral("Not a file:"));
    }
    return true;
}

bool RecordFile::create()
{
    close();
    fd_ = ::open(QFile::encodeName(path_).constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd_ < 0)
        return fail(QStringLiteral("Cannot create"));
    return true;
}

bool RecordFile::exists() const
{
    struct stat st {};
    return ::stat(QFile::encodeName(path_).constData(), &st) == 0;
}

void RecordFile::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

qint64 RecordFile::count() const
{
    const qint64 size = fd_ >= 0 ? SizeOf(fd_) : -1;
    return size < 0 ? 0 : size / recordSize_;
}

bool RecordFile::read(qint64 index, QByteArray &record) const
{
    if (fd_ < 0 || index < 0 || index >= count())
        return false;
    record.resize(recordSize_);
    return ReadAll(fd_, record.data(), recordSize_, index * recordSize_);
}

qint64 RecordFile::readBlock(qint64 first, qint64 most, QByteArray &records) const
{
    const qint64 n = first < 0 ? 0 : std::min(most, count() - first);
    records.resize(static_cast<qsizetype>(std::max<qint64>(n, 0) * recordSize_));
    if (n > 0 && ReadAll(fd_, records.data(), records.size(), first * recordSize_))
        return n;
    records.clear();
    return 0;
}

bool RecordFile::write(qint64 index, const QByteArray &record)
{
    if (fd_ < 0 || index < 0 || index > count()) {
        error_ = QStringLiteral("Record %1 out of range in %2").arg(index).arg(path_);
        return false;
    }
    QByteArray bytes = record.left(recordSize_);
    bytes.append(QByteArray(recordSize_ - bytes.size(), '\0'));
    if (!WriteAll(fd_, bytes.constData(), recordSize_, index * recordSize_))
        return fail(QStringLiteral("Cannot write"));
    return true;
}

qint64 RecordFile::append(const QByteArray &record)
{
    const qint64 index = count();
    return write(index, record) ? index : -1;
}

bool RecordFile::truncate(qint64 records)
{
    if (fd_ < 0 || records < 0 || ::ftruncate(fd_, records * recordSize_) != 0)
        return fail(QStringLiteral("Cannot truncate"));
    return true;
}

bool RecordFile::sync()
{
    if (!SyncFile(fd_))
        return fail(QStringLiteral("Cannot sync"));
    return true;
}

ByteFile::ByteFile(QString path) : path_(std::move(path)) {}

ByteFile::~ByteFile()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool ByteFile::fail(const QString &what)
{
    error_ = ErrnoText(what, path_);
    return false;
}

bool ByteFile::open()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = OpenExisting(path_, O_WRONLY);
    return fd_ >= 0 || fail(QStringLiteral("Cannot open"));
}

qint64 ByteFile::size() const
{
    return fd_ >= 0 ? SizeOf(fd_) : -1;
}

qint64 ByteFile::append(const QByteArray &bytes)
{
    const qint64 offset = size();
    if (offset < 0 || !WriteAll(fd_, bytes.constData(), bytes.size(), offset)) {
        fail(QStringLiteral("Cannot append to"));
        return -1;
    }
    return offset;
}

bool ByteFile::sync()
{
    return SyncFile(fd_) || fail(QStringLiteral("Cannot sync"));
}

bool EnsureFileExists(const QString &path, QString *error)
{
    const QByteArray name = QFile::encodeName(path);
    int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ::close(fd);
        return true;
    }
    struct stat st {};
    if (errno == EEXIST && ::stat(name.constData(), &st) == 0 && S_ISREG(st.st_mode))
        return true;
    if (error)
        *error = ErrnoText(QStringLiteral("Cannot create"), path);
    return false;
}

qint64 AppendToFile(const QString &path, const QByteArray &bytes, QString *error)
{
    ByteFile file(path);
    const qint64 offset = file.open() ? file.append(bytes) : -1;
    if (offset >= 0 && file.sync())
        return offset;
    if (error)
        *error = file.errorString();
    return -1;
}

QByteArray ReadFileAt(const QString &path, qint64 offset, qint64 length)
{
    if (offset < 0 || length <= 0)
        return {};
    const int fd = OpenExisting(path, O_RDONLY);
    if (fd < 0)
        return {};
    const qint64 size = SizeOf(fd);
    QByteArray bytes;
    if (size > offset) {
        bytes.resize(static_cast<qsizetype>(std::min(length, size - offset)));
        if (!ReadAll(fd, bytes.data(), bytes.size(), offset))
            bytes.clear();
    }
    ::close(fd);
    return bytes;
}

qint64 FileSize(const QString &path)
{
    const int fd = OpenExisting(path, O_RDONLY);
    if (fd < 0)
        return -1;
    const qint64 size = SizeOf(fd);
    ::close(fd);
    return size;
}

} // namespace plat
