#include "platform/NamedMutex.h"

#include <QDir>
#include <QFile>
#include <QUrl>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

namespace plat {

namespace {

// The lock file that stands for the mutex name.
QString LockFilePath(const QString &name)
{
    QString dir = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (dir.isEmpty())
        dir = QStringLiteral("/tmp");
    // Percent-encoding keeps distinct names distinct and leaves no "/" in the
    // file name; the suffix keeps "." and ".." from naming a folder.
    const QString fileName = QString::fromLatin1(QUrl::toPercentEncoding(name)) + QStringLiteral(".lock");
    return QDir(dir).filePath(fileName);
}

} // namespace

NamedMutex::NamedMutex(const QString &name)
{
    if (name.isEmpty())
        return;
    // O_NOFOLLOW: in /tmp another user could have placed a link by that name.
    const QByteArray path = QFile::encodeName(LockFilePath(name));
    do {
        fd_ = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    } while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0) {
        lastError_ = ERROR_ACCESS_DENIED;
        return;
    }
    int rc;
    do {
        rc = ::flock(fd_, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        lastError_ = errno == EWOULDBLOCK ? ERROR_ALREADY_EXISTS : ERROR_ACCESS_DENIED;
        ::close(fd_);
        fd_ = -1;
    }
}

NamedMutex::~NamedMutex()
{
    release();
}

void NamedMutex::release()
{
    // The file stays: removing it would let a newcomer lock a fresh file while
    // a late opener still locks the old one.
    if (fd_ < 0)
        return;
    ::close(fd_);
    fd_ = -1;
}

} // namespace plat
