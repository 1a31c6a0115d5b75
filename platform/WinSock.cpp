#include "platform/WinSock.h"

#include "platform/WinMessages.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace plat {

namespace {

// How long the GUI thread waits in poll() before it processes events again.
constexpr int GuiSliceMs = 10;

thread_local int lastError = 0;
thread_local int blockingDepth = 0;

int Fail(int wsaError)
{
    lastError = wsaError;
    return SOCKET_ERROR;
}

int FailErrno(int err)
{
    return Fail(WsaErrorFromErrno(err));
}

// What this layer knows of one socket. fd stays open while `users` > 0, even
// after closesocket(): see the header.
struct SocketRecord {
    int fd = -1;
    int type = 0;                // SOCK_STREAM or SOCK_DGRAM
    int users = 0;               // calls using fd now; guarded by the table's mutex
    std::atomic<bool> closing{false};
    std::atomic<bool> nonBlocking{false};
    std::atomic<int> receiveTimeoutMs{0};
    // QDeadlineTimer::deadline() of the receive deadline; max() for none.
    std::atomic<qint64> receiveDeadline{std::numeric_limits<qint64>::max()};
};

// Handles start far above any descriptor number (the kernel's default ceiling
// is 1048576), so a SOCKET handed to a system call by mistake names no open
// file there rather than some other one.
constexpr SOCKET FirstHandle = 0x10000000;

struct SocketTable {
    std::mutex mutex;
    std::unordered_map<SOCKET, std::shared_ptr<SocketRecord>> records;
    SOCKET nextHandle = FirstHandle; // never given out twice
};

// Never destroyed: threads may still close sockets while the process exits.
SocketTable &Table()
{
    static auto *table = new SocketTable;
    return *table;
}

// Gives a new descriptor its handle. Handles are not reused, so a call made
// with the handle of a closed socket fails with WSAENOTSOCK even when the
// descriptor's number already belongs to a socket opened since.
SOCKET Register(int fd, int type)
{
    auto rec = std::make_shared<SocketRecord>();
    rec->fd = fd;
    rec->type = type;
    SocketTable &table = Table();
    const std::lock_guard lock(table.mutex);
    // Out of handles after some 1.9 billion sockets: refuse rather than reuse.
    if (table.nextHandle == std::numeric_limits<SOCKET>::max()) {
        ::close(fd);
        return Fail(WSAEMFILE);
    }
    const SOCKET handle = table.nextHandle++;
    table.records[handle] = std::move(rec);
    return handle;
}

// Holds a socket's record for the length of one call, so that its descriptor
// is not closed under the call.
class SocketUse {
public:
    explicit SocketUse(SOCKET s)
    {
        SocketTable &table = Table();
        const std::lock_guard lock(table.mutex);
        const auto it = table.records.find(s);
        if (it == table.records.end())
            return;
        rec_ = it->second;
        ++rec_->users;
    }
    ~SocketUse()
    {
        if (!rec_)
            return;
        bool last;
        {
            SocketTable &table = Table();
            const std::lock_guard lock(table.mutex);
            last = --rec_->users == 0 && rec_->closing;
        }
        if (last)
            ::close(rec_->fd);
    }
    SocketUse(const SocketUse &) = delete;
    SocketUse &operator=(const SocketUse &) = delete;

    explicit operator bool() const { return rec_ != nullptr; }
    SocketRecord *operator->() const { return rec_.get(); }
    SocketRecord &operator*() const { return *rec_; }

private:
    std::shared_ptr<SocketRecord> rec_;
};

// A failed system call: a socket being closed reports the close, not what the
// shut-down connection made of the call.
int FailCall(const SocketRecord &rec, int err)
{
    return Fail(rec.closing ? WSAEINTR : WsaErrorFromErrno(err));
}

struct BlockingScope {
    BlockingScope() { ++blockingDepth; }
    ~BlockingScope() { --blockingDepth; }
    BlockingScope(const BlockingScope &) = delete;
    BlockingScope &operator=(const BlockingScope &) = delete;
};

// When a blocking call gives up: no sooner than timeoutMs (0: never) and not
// after the socket's receive deadline, for a receive.
QDeadlineTimer CallDeadline(int timeoutMs, qint64 receiveDeadline = std::numeric_limits<qint64>::max())
{
    QDeadlineTimer deadline = timeoutMs > 0 ? QDeadlineTimer(timeoutMs) : QDeadlineTimer(QDeadlineTimer::Forever);
    if (receiveDeadline != std::numeric_limits<qint64>::max() &&
        (deadline.isForever() || receiveDeadline < deadline.deadline()))
        deadline.setDeadline(receiveDeadline);
    return deadline;
}

// Waits until the socket shows one of the events. Returns 0 then, else the
// error that ends the call: WSAEINTR when the socket is closed meanwhile (the
// close shuts the socket down, which ends the poll), WSAETIMEDOUT once the
// deadline has passed.
int WaitFor(const SocketRecord &rec, short events, const QDeadlineTimer &deadline)
{
    const BlockingScope scope;
    const bool gui = IsGuiThread();
    for (;;) {
        if (rec.closing)
            return WSAEINTR;
        int slice = deadline.isForever() ? -1 : int(deadline.remainingTime());
        if (gui && (slice < 0 || slice > GuiSliceMs))
            slice = GuiSliceMs;
        pollfd fd{rec.fd, events, 0};
        const int n = ::poll(&fd, 1, slice);
        const int err = errno;
        if (rec.closing)
            return WSAEINTR;
        if (n < 0 && err != EINTR)
            return WsaErrorFromErrno(err);
        if (n > 0)
            return 0;
        if (deadline.hasExpired())
            return WSAETIMEDOUT;
        if (gui)
            QCoreApplication::processEvents();
    }
}

// Runs attempt() (a non-blocking system call returning -1 with errno on
// failure) until it no longer reports that it would block, waiting for the
// events in between: the blocking behaviour of every call of this layer.
template <typename Attempt>
int Blocking(const SocketRecord &rec, short events, const QDeadlineTimer &deadline, Attempt attempt)
{
    for (;;) {
        const int n = attempt();
        if (n >= 0)
            return n;
        const int err = errno;
        if (err == EINTR)
            continue;
        if (err != EAGAIN && err != EWOULDBLOCK)
            return FailCall(rec, err);
        if (rec.nonBlocking)
            return Fail(WSAEWOULDBLOCK);
        if (const int waitError = WaitFor(rec, events, deadline))
            return Fail(waitError);
    }
}

// Errors that accept() reports for a connection that died in the queue; the
// listener itself is fine, so a blocking accept waits for the next one.
bool IsDeadPendingConnection(int err)
{
    switch (err) {
    case ECONNABORTED: case EPROTO: case ENETDOWN: case ENOPROTOOPT: case EHOSTDOWN:
    case ENONET: case EHOSTUNREACH: case ENETUNREACH:
        return true;
    default:
        return false;
    }
}

int WsaErrorFromHostError(int hostError)
{
    switch (hostError) {
    case HOST_NOT_FOUND: return WSAHOST_NOT_FOUND;
    case TRY_AGAIN: return WSATRY_AGAIN;
    case NO_DATA: return WSANO_DATA;
    default: return WSANO_RECOVERY;
    }
}

} // namespace

int WSAStartup(quint16 versionRequested, WSADATA *data)
{
    if (!data)
        return WSAEFAULT;
    const int major = versionRequested & 0xFF;
    const int minor = versionRequested >> 8;
    if (major < 1 || (major == 1 && minor < 1))
        return WSAVERNOTSUPPORTED;
    rlimit files{};
    const bool haveLimit = ::getrlimit(RLIMIT_NOFILE, &files) == 0;
    data->wVersion = 0x0101;
    data->wHighVersion = 0x0101;
    data->szDescription = QStringLiteral("Linux BSD sockets (Windows Sockets 1.1 layer)");
    data->szSystemStatus = QStringLiteral("Running");
    data->iMaxSockets = quint16(haveLimit ? std::min<rlim_t>(files.rlim_cur, 0xFFFF) : 0xFFFF);
    data->iMaxUdpDg = 65507; // largest IPv4 UDP payload
    data->lpVendorInfo.clear();
    return 0;
}

int WSACleanup()
{
    return 0;
}

int WSAGetLastError()
{
    return lastError;
}

int WsaErrorFromErrno(int err)
{
    switch (err) {
    case EINTR: return WSAEINTR;
    case EACCES: case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE: case ENFILE: return WSAEMFILE;
    case EAGAIN: return WSAEWOULDBLOCK;
    case EINPROGRESS: return WSAEINPROGRESS;
    case EALREADY: return WSAEALREADY;
    case ENOTSOCK: case EBADF: return WSAENOTSOCK;
    case EDESTADDRREQ: return WSAEDESTADDRREQ;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EPROTOTYPE: return WSAEPROTOTYPE;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSAENETRESET;
    case ECONNABORTED: return WSAECONNABORTED;
    case ECONNRESET: case EPIPE: return WSAECONNRESET;
    case ENOBUFS: case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case EHOSTDOWN: return WSAEHOSTDOWN;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    default: return WSASYSCALLFAILURE;
    }
}

SOCKET socket(int af, int type, int protocol)
{
    type &= ~(SOCK_NONBLOCK | SOCK_CLOEXEC);
    const int fd = ::socket(af, type | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
    if (fd < 0)
        return FailErrno(errno);
    return Register(fd, type);
}

int bind(SOCKET s, const sockaddr *name, int namelen)
{
    const SocketUse use(s);
    if (!use)
        return Fail(WSAENOTSOCK);
    if (::bind(use->fd, name, socklen_t(namelen)) != 0)
        return FailErrno(errno);
    return 0;
}

int listen(SOCKET s, int backlog)
{
    const SocketUse use(s);
    if (!use)
        return Fail(WSAENOTSOCK);
    if (::listen(use->fd, backlog) != 0)
        return FailErrno(errno);
    return 0;
}

SOCKET accept(SOCKET s, sockaddr *addr, int *addrlen)
{
    const SocketUse use(s);
    if (!use)
        return Fail(WSAENOTSOCK);
    if (use->type != SOCK_STREAM)
        return Fail(WSAEOPNOTSUPP);
    if (addrlen && *addrlen < 0)
        return Fail(WSAEFAULT);
    socklen_t len = 0;
    const int fd = Blocking(*use, POLLIN, CallDeadline(0), [&] {
        len = addrlen ? socklen_t(*addrlen) : 0;
        const int r = ::accept4(use->fd, addr, addrlen ? &len : nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (r < 0 && IsDeadPendingConnection(errno))
            errno = EAGAIN;
        return r;
    });
    if (fd == SOCKET_ERROR)
        return INVALID_SOCKET;
    if (addrlen)
        *addrlen = int(len);
    return Register(fd, SOCK_STREAM);
}

int connect(SOCKET s, const sockaddr *name, int namelen)
{
    const SocketUse use(s);
    if (!use)
        return Fail(WSAENOTSOCK);
    if (::connect(use->fd, name, socklen_t(namelen)) == 0)
        return 0;
    // A non-blocking connect goes on in the background, also when interrupted.
    if (errno != EINPROGRESS && errno != EINTR)
        return FailCall(*use, errno);
    if (use->nonBlocking)
        return Fail(WSAEWOULDBLOCK);
    if (const int waitError = WaitFor(*use, POLLOUT, CallDeadline(use->receiveTimeoutMs)))
        return Fail(waitError);
    int soError = 0;
    socklen_t len = sizeof soError;
    if (::getsockopt(use->fd, SOL_SOCKET, SO_ERROR, &soError, &len) != 0)
        soError = errno;
    return soError ? FailCall(*use, soError) : 0;
}

int send(SOCKET s, const char *buf, int len, int flags)
{
    const SocketUse use(s);
    if (!use)
        return Fail(WSAENOTSOCK);
    if (len < 0)
        return Fail(WSAEINVAL);
    int sent = 0;
    do {
        const int n = Blocking(*use, POLLOUT, CallDeadline(0), [&] {
            return int(::send(use->fd, buf + sent, size_t(len - sent), flags | MSG_NOSIGNAL | MSG_DONTWAIT));
        });
        if (n == SOCKET_ERROR)
            return sent > 0 ? sent : SOCKET_ERROR;
        sent += n;
    } while (sent < len);
    return sent;
}

int recv(SOCKET s, char *buf, int len, int flags)
{
    return recvfrom(s, buf, len, flags, nullptr, nullptr);
}

int sendto(SOCKET s, const char *buf, int len, int flags, const sockaddr *to, int tolen)
{
    const SocketUse use(s);
    if (!use)
        return Fail(WSAENOTSOCK);
    if (len < 0)
        return Fail(WSAEINVAL);
    return Blocking(*use, POLLOUT, CallDeadline(0), [&] {
        return int(::sendto(use->fd, buf, size_t(len), flags | MSG_NOSIGNAL | MSG_DONTWAIT, to, socklen_t(tolen)));
    });
}

int recvfrom(SOCKET s, char *buf, int len, int flags, sockaddr *from, int *fromlen)
{
    const SocketUse use(s);
    if (!use)
        return Fail(WSAENOTSOCK);
    if (len < 0 || (fromlen && *fromlen < 0))
        return Fail(WSAEFAULT);
    iovec iov{buf, size_t(len)};
    msghdr msg{};
    const QDeadlineTimer deadline = CallDeadline(use->receiveTimeoutMs, use->receiveDeadline);
    // A deadline that has passed ends the exchange, also with data waiting.
    if (deadline.hasExpired())
        return Fail(WSAETIMEDOUT);
    const int n = Blocking(*use, POLLIN, deadline, [&] {
        msg = msghdr{};
        msg.msg_name = fromlen ? from : nullptr;
        msg.msg_namelen = fromlen ? socklen_t(*fromlen) : 0;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        return int(::recvmsg(use->fd, &msg, flags | MSG_DONTWAIT));
    });
    if (n == SOCKET_ERROR)
        return n;
    if (n == 0 && len > 0 && use->closing)
        return Fail(WSAEINTR);
    if (fromlen)
        *fromlen = int(msg.msg_namelen);
    if (msg.msg_flags & MSG_TRUNC)
        return Fail(WSAEMSGSIZE);
    return n;
}

int shutdown(SOCKET s, int how)
{
    const SocketUse use(s);
    if (!use)
        return Fail(WSAENOTSOCK);
    if (::shutdown(use->fd, how) != 0)
        return FailErrno(errno);
    return 0;
}

int closesocket(SOCKET s)
{
    std::shared_ptr<SocketRecord> rec;
    {
        SocketTable &table = Table();
        const std::lock_guard lock(table.mutex);
        const auto it = table.records.find(s);
        if (it == table.records.end())
            return Fail(WSAENOTSOCK);
        rec = std::move(it->second);
        table.records.erase(it);
        rec->closing = true;
        if (rec->users > 0) {
            // Shutting the socket down wakes the calls still using it, also
            // on a datagram socket; the last of them closes the descriptor.
            // Done under the lock, before that can happen.
            ::shutdown(rec->fd, SHUT_RDWR);
            return 0;
        }
    }
    ::close(rec->fd);
    return 0;
}

int setsockopt(SOCKET s, int level, int optname, const void *optval, int optlen)
{
    const SocketUse use(s);
    if (!use)
        return Fail(WSAENOTSOCK);
    if (!optval || optlen < 0)
        return Fail(WSAEFAULT);
    if (level == SOL_SOCKET && optname == SO_RCVTIMEO) {
        // Milliseconds, as a 32-bit number; the wait itself is ours.
        if (optlen != int(sizeof(int)))
            return Fail(WSAEFAULT);
        use->receiveTimeoutMs = std::max(0, *static_cast<const int *>(optval));
        return 0;
    }
    if (level == SOL_SOCKET && (optname == SO_REUSEADDR || optname == SO_REUSEPORT) && use->type != SOCK_STREAM)
        return Fail(WSAEOPNOTSUPP);
    if (::setsockopt(use->fd, level, optname, optval, socklen_t(optlen)) != 0)
        return FailErrno(errno);
    return 0;
}

int getsockname(SOCKET s, sockaddr *name, int *namelen)
{
    const SocketUse use(s);
    if (!use)
        return Fail(WSAENOTSOCK);
    if (!namelen || *namelen < 0)
        return Fail(WSAEFAULT);
    socklen_t len = socklen_t(*namelen);
    if (::getsockname(use->fd, name, &len) != 0)
        return FailErrno(errno);
    *namelen = int(len);
    return 0;
}

int ioctlsocket(SOCKET s, long cmd, unsigned long *argp)
{
    const SocketUse use(s);
    if (!use)
        return Fail(WSAENOTSOCK);
    if (!argp)
        return Fail(WSAEFAULT);
    if (cmd != long(FIONBIO))
        return Fail(WSAEINVAL);
    use->nonBlocking = *argp != 0;
    return 0;
}

int gethostname(char *name, int namelen)
{
    if (!name || namelen <= 0)
        return Fail(WSAEFAULT);
    if (::gethostname(name, size_t(namelen)) != 0)
        return Fail(errno == ENAMETOOLONG ? WSAEFAULT : WsaErrorFromErrno(errno));
    name[namelen - 1] = '\0';
    return 0;
}

int SetReceiveTimeout(SOCKET s, int milliseconds)
{
    return setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &milliseconds, sizeof milliseconds);
}

int SetReceiveDeadline(SOCKET s, QDeadlineTimer deadline)
{
    const SocketUse use(s);
    if (!use)
        return Fail(WSAENOTSOCK);
    use->receiveDeadline = deadline.isForever() ? std::numeric_limits<qint64>::max() : deadline.deadline();
    return 0;
}

int EnableAddressReuse(SOCKET s)
{
    const int on = 1;
    return setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

bool InBlockingCall()
{
    return blockingDepth > 0;
}

quint32 inet_addr(const QString &dotted)
{
    if (dotted.contains(QChar(0)))
        return INADDR_NONE;
    return ::inet_addr(dotted.toLatin1().constData());
}

QString inet_ntoa(quint32 address)
{
    in_addr in{};
    in.s_addr = address;
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &in, text, sizeof text);
    return QString::fromLatin1(text);
}

namespace {

// Runs one of the re-entrant resolver calls (name or address), growing its
// work buffer while the resolver asks for more room.
template <typename Lookup>
std::optional<HostEntry> ResolveHost(Lookup lookup)
{
    constexpr size_t MaxBuffer = size_t(1) << 20;
    std::vector<char> buffer(8192);
    for (;;) {
        hostent entry{};
        hostent *found = nullptr;
        int hostError = 0;
        const int rc = lookup(&entry, buffer.data(), buffer.size(), &found, &hostError);
        if (rc == ERANGE && buffer.size() < MaxBuffer) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (rc == 0 && found && found->h_addrtype == AF_INET)
            return HostEntryFrom(*found);
        lastError = rc == 0 || rc == ENOENT ? WsaErrorFromHostError(hostError ? hostError : HOST_NOT_FOUND)
                                            : WsaErrorFromErrno(rc);
        return std::nullopt;
    }
}

} // namespace

HostEntry HostEntryFrom(const ::hostent &found)
{
    HostEntry entry;
    entry.officialName = QString::fromUtf8(found.h_name ? found.h_name : "");
    for (char **alias = found.h_aliases; alias && *alias; ++alias) {
        const QString name = QString::fromUtf8(*alias);
        if (!name.isEmpty() && name != entry.officialName && !entry.aliases.contains(name))
            entry.aliases.append(name);
    }
    entry.addressType = found.h_addrtype;
    entry.addressLength = found.h_length;
    if (found.h_addrtype != AF_INET || found.h_length != 4)
        return entry;
    for (char **address = found.h_addr_list; address && *address; ++address) {
        quint32 value = 0;
        std::memcpy(&value, *address, sizeof value);
        if (!entry.addresses.contains(value))
            entry.addresses.append(value);
    }
    return entry;
}

std::optional<HostEntry> GetHostByName(const QString &name)
{
    const QByteArray text = name.toUtf8();
    if (text.isEmpty() || text.contains('\0')) {
        lastError = WSAHOST_NOT_FOUND;
        return std::nullopt;
    }
    return ResolveHost([&](hostent *entry, char *buffer, size_t size, hostent **found, int *hostError) {
        return ::gethostbyname2_r(text.constData(), AF_INET, entry, buffer, size, found, hostError);
    });
}

std::optional<HostEntry> GetHostByAddr(quint32 address)
{
    return ResolveHost([&](hostent *entry, char *buffer, size_t size, hostent **found, int *hostError) {
        return ::gethostbyaddr_r(&address, sizeof address, AF_INET, entry, buffer, size, found, hostError);
    });
}

quint16 GetServicePort(const QString &service, const QString &protocol, quint16 defaultPort)
{
    if (service.isEmpty())
        return defaultPort;
    const QByteArray name = service.toLatin1();
    const QByteArray proto = protocol.toLatin1();
    servent entry{};
    servent *found = nullptr;
    char buffer[1024];
    ::getservbyname_r(name.constData(), proto.isEmpty() ? nullptr : proto.constData(), &entry, buffer,
                      sizeof buffer, &found);
    return found ? ntohs(quint16(found->s_port)) : defaultPort;
}

} // namespace plat
