#include "FakePeer.h"

#include <QtEndian>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace testsupport {

namespace {

// How often a waiting peer looks whether it is being destroyed.
constexpr int SliceMs = 20;

sockaddr_in Loopback(quint16 port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

QString SystemError(const char *call)
{
    return QString::fromLatin1(call) + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

std::unique_ptr<FakePeer> FakePeer::listen(Script script, quint16 port, const QString &bindAddress)
{
    std::unique_ptr<FakePeer> peer(new FakePeer);
    peer->listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(peer->listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address = Loopback(port);
    socklen_t length = sizeof address;
    if (::inet_pton(AF_INET, bindAddress.toLatin1().constData(), &address.sin_addr) != 1)
        ADD_FAILURE() << "not an IPv4 address: " << bindAddress.toStdString();
    if (::bind(peer->listenFd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
        || ::listen(peer->listenFd_, 1) != 0
        || ::getsockname(peer->listenFd_, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        ADD_FAILURE() << "fake peer cannot listen: " << SystemError("listen").toStdString();
    peer->port_ = ntohs(address.sin_port);
    peer->start(std::move(script), true);
    return peer;
}

std::unique_ptr<FakePeer> FakePeer::connect(quint16 port, Script script)
{
    return connect(QStringLiteral("127.0.0.1"), port, std::move(script));
}

std::unique_ptr<FakePeer> FakePeer::connect(const QString &address, quint16 port, Script script)
{
    std::unique_ptr<FakePeer> peer(new FakePeer);
    peer->address_ = address;
    peer->port_ = port;
    peer->start(std::move(script), false);
    return peer;
}

FakePeer::~FakePeer()
{
    stopping_ = true;
    wait();
    if (listenFd_ >= 0)
        ::close(listenFd_);
}

void FakePeer::start(Script script, bool accepting)
{
    thread_ = std::thread([this, script = std::move(script), accepting] { run(script, accepting); });
}

void FakePeer::run(const Script &script, bool accepting)
{
    try {
        accepting ? acceptOne() : connectOut();
        script(*this);
    } catch (const Failure &) {
        // recorded by fail()
    } catch (const std::exception &e) {
        const std::lock_guard lock(mutex_);
        error_ = QString::fromLocal8Bit(e.what());
    }
    close();
}

void FakePeer::acceptOne()
{
    pollfd waiting{listenFd_, POLLIN, 0};
    for (int waited = 0; ::poll(&waiting, 1, SliceMs) == 0; waited += SliceMs)
        if (stopping_ || waited >= timeoutMs_)
            fail(QStringLiteral("no connection came"));
    fd_ = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd_ < 0)
        fail(SystemError("accept"));
}

void FakePeer::stopListening()
{
    if (listenFd_ >= 0)
        ::close(std::exchange(listenFd_, -1));
}

void FakePeer::connectOut()
{
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(port_);
    if (::inet_pton(AF_INET, address_.toLatin1().constData(), &address.sin_addr) != 1)
        fail(QStringLiteral("not an IPv4 address: ") + address_);
    if (::connect(fd_, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
        fail(SystemError("connect"));
}

void FakePeer::wait()
{
    if (thread_.joinable())
        thread_.join();
}

QByteArray FakePeer::received() const
{
    const std::lock_guard lock(mutex_);
    return received_;
}

QString FakePeer::error() const
{
    const std::lock_guard lock(mutex_);
    return error_;
}

void FakePeer::fail(const QString &why)
{
    {
        const std::lock_guard lock(mutex_);
        error_ = why;
    }
    throw Failure(why.toStdString());
}

bool FakePeer::waitReadable(int timeoutMs)
{
    pollfd waiting{fd_, POLLIN, 0};
    for (int waited = 0; !stopping_; waited += SliceMs) {
        if (::poll(&waiting, 1, SliceMs) > 0)
            return true;
        if (timeoutMs > 0 && waited >= timeoutMs)
            return false;
    }
    return false;
}

int FakePeer::readSome(char *data, int count)
{
    if (fd_ < 0)
        fail(QStringLiteral("read after close"));
    if (!waitReadable(timeoutMs_))
        fail(QStringLiteral("read timed out"));
    const ssize_t n = ::recv(fd_, data, size_t(count), 0);
    if (n < 0)
        fail(SystemError("recv"));
    if (n == 0)
        fail(QStringLiteral("closed by the other side"));
    const std::lock_guard lock(mutex_);
    received_.append(data, n);
    return int(n);
}

void FakePeer::sendRaw(const QByteArray &bytes)
{
    for (qsizetype sent = 0; sent < bytes.size();) {
        const ssize_t n = fd_ < 0 ? -1 : ::send(fd_, bytes.constData() + sent, size_t(bytes.size() - sent), MSG_NOSIGNAL);
        if (n < 0)
            fail(SystemError("send"));
        sent += n;
    }
}

void FakePeer::sendLine(const QByteArray &bytes)
{
    sendRaw(bytes);
}

QByteArray FakePeer::expectLine()
{
    QByteArray line;
    char c = 0;
    do {
        readSome(&c, 1);
        line.append(c);
    } while (c != '\r');
    return line;
}

void FakePeer::sendInt(qint32 value)
{
    const qint32 cell = qToBigEndian(value);
    sendRaw(QByteArray(reinterpret_cast<const char *>(&cell), sizeof cell));
}

qint32 FakePeer::recvInt()
{
    return qFromBigEndian<qint32>(recvRaw(4).constData());
}

QByteArray FakePeer::recvRaw(int count)
{
    QByteArray bytes(count, '\0');
    for (int got = 0; got < count;)
        got += readSome(bytes.data() + got, count - got);
    return bytes;
}

void FakePeer::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

void FakePeer::reset()
{
    if (fd_ >= 0) {
        const linger abort{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    close();
}

void FakePeer::stall()
{
    char data[4096];
    while (fd_ >= 0 && waitReadable(0)) {
        const ssize_t n = ::recv(fd_, data, sizeof data, 0);
        if (n <= 0)
            return;
        const std::lock_guard lock(mutex_);
        received_.append(data, n);
    }
}

} // namespace testsupport
