#pragma once
// Windows Sockets 1.1 on BSD sockets (IPv4, blocking).
//
// The calls below keep the shape and the error numbers that the programs
// expect: a failed call returns SOCKET_ERROR (or INVALID_SOCKET) and
// WSAGetLastError() gives the Windows Sockets number of the calling thread's
// last failure.
//
// Blocking. Every socket is non-blocking underneath; a blocking call waits in
// poll() on the socket. So:
//  - on the GUI thread a blocking call waits in short slices and processes the
//    application's pending events in between (the blocking hook): a window that
//    holds a conversation never freezes the program. While it waits, a handler
//    may run that would delete the window owning the call: such code asks
//    InBlockingCall() and defers the deletion (deleteLater) or the close.
//  - off the GUI thread a blocking call simply blocks.
//  - a receive time-out set with SetReceiveTimeout() (or SO_RCVTIMEO through
//    setsockopt, in milliseconds) ends recv/recvfrom with WSAETIMEDOUT, and
//    so does a receive deadline (SetReceiveDeadline), whichever comes first.
//
// Handles. A SOCKET is a handle of this layer, not a descriptor: handles are
// never given out twice in the life of the process, while Linux hands a
// closed descriptor's number to the next socket at once. So a thread that
// calls in with a socket that another thread has just closed fails, instead
// of landing on a socket opened since. Never pass a SOCKET to the system's
// own calls.
//
// Closing. closesocket() may be called from any thread, also while other
// threads are blocked on the socket (this is how servers are stopped): it
// shuts the socket down at once, which wakes every blocked call, and these
// fail with WSAEINTR. The descriptor itself is closed only when the last
// call still using it has returned, so that no call still running reaches a
// new socket under the same descriptor number. From the moment closesocket()
// returns, the handle is unknown to this layer: further calls on it fail with
// WSAENOTSOCK.
//
// Only sockets made by socket() and accept() here are known to these calls.
// Call them qualified (plat::send): unqualified, the system's functions of the
// same names are found too, through the types of the arguments.
#include <QDeadlineTimer>
#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <netdb.h> // hostent
#include <netinet/in.h>
#include <sys/ioctl.h> // FIONBIO
#include <sys/socket.h>

#include <optional>

namespace plat {

using SOCKET = int;
constexpr SOCKET INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;

// Windows Sockets error numbers.
constexpr int WSAEINTR = 10004;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSAVERNOTSUPPORTED = 10092;
constexpr int WSASYSCALLFAILURE = 10107;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;

struct WSADATA {
    quint16 wVersion = 0;      // low byte major, high byte minor: 1.1 is 0x0101
    quint16 wHighVersion = 0;
    QString szDescription;
    QString szSystemStatus;
    quint16 iMaxSockets = 0;
    quint16 iMaxUdpDg = 0;
    QString lpVendorInfo;      // empty: there is no vendor text
};

// Starts the layer for the given version (0x0101 for 1.1); 0 on success.
int WSAStartup(quint16 versionRequested, WSADATA *data);
int WSACleanup();

// The Windows Sockets number of the calling thread's last failure.
int WSAGetLastError();
// The Windows Sockets number for an errno value.
int WsaErrorFromErrno(int err);

SOCKET socket(int af, int type, int protocol);
int bind(SOCKET s, const sockaddr *name, int namelen);
int listen(SOCKET s, int backlog);
SOCKET accept(SOCKET s, sockaddr *addr, int *addrlen);
// A blocking connect gives up with WSAETIMEDOUT after the socket's receive
// time-out, when one is set (SetReceiveTimeout before the call).
int connect(SOCKET s, const sockaddr *name, int namelen);
// Blocking send returns only when every byte is handed to the system; a
// failure after part of the data went out returns the part's length and sets
// the error.
int send(SOCKET s, const char *buf, int len, int flags);
// recv() and recvfrom() return 0 when a stream's peer has closed.
int recv(SOCKET s, char *buf, int len, int flags);
int sendto(SOCKET s, const char *buf, int len, int flags, const sockaddr *to, int tolen);
// A datagram longer than len fills the buffer and fails with WSAEMSGSIZE.
int recvfrom(SOCKET s, char *buf, int len, int flags, sockaddr *from, int *fromlen);
int shutdown(SOCKET s, int how);
int closesocket(SOCKET s);
int setsockopt(SOCKET s, int level, int optname, const void *optval, int optlen);
int getsockname(SOCKET s, sockaddr *name, int *namelen);
// FIONBIO with a non-zero value makes the socket's calls return
// WSAEWOULDBLOCK where they would wait.
int ioctlsocket(SOCKET s, long cmd, unsigned long *argp);
int gethostname(char *name, int namelen);

// Receive time-out of recv/recvfrom in milliseconds; 0 waits for ever.
int SetReceiveTimeout(SOCKET s, int milliseconds);
// A moment after which recv/recvfrom on the socket fail with WSAETIMEDOUT
// (without waiting, once it has passed), whatever the receive time-out;
// QDeadlineTimer::Forever lifts it. A conversation uses it to bound a whole
// exchange that takes several receives.
int SetReceiveDeadline(SOCKET s, QDeadlineTimer deadline);
// SO_REUSEADDR, for TCP listeners only: a restarted program gets its port back
// at once, while a second program listening on it still fails with
// WSAEADDRINUSE. Refused (WSAEOPNOTSUPP) on other sockets: on a datagram
// socket it would let a second program bind the same port.
int EnableAddressReuse(SOCKET s);

// True while the calling thread waits inside a blocking call of this layer
// (on the GUI thread: events are being processed from inside that call).
bool InBlockingCall();

// Dotted-decimal text -> IPv4 address in network byte order; INADDR_NONE
// when the text is no address. No name lookup.
quint32 inet_addr(const QString &dotted);
// IPv4 address in network byte order -> dotted-decimal text.
QString inet_ntoa(quint32 address);

// What a host lookup found: the official (canonical) name, the other names
// the resolver knows for the host (hosts file aliases, DNS alias names) and
// its IPv4 addresses.
struct HostEntry {
    QString officialName;
    QStringList aliases;
    QList<quint32> addresses; // network byte order, in the resolver's order
    int addressType = AF_INET;
    int addressLength = 4;
};

// The entry that the system's resolver returned (family AF_INET only; other
// addresses are left out; an empty name, alias or a duplicate is skipped).
HostEntry HostEntryFrom(const ::hostent &found);

// Forward and reverse lookups; nothing on failure, with the error
// (WSAHOST_NOT_FOUND .. WSANO_DATA) for WSAGetLastError().
std::optional<HostEntry> GetHostByName(const QString &name);
std::optional<HostEntry> GetHostByAddr(quint32 address);

// Port (host byte order) of a named service, such as "time" or "olcp", for
// the protocol ("tcp", "udp", or empty for any); defaultPort when the
// system's service list does not name it.
quint16 GetServicePort(const QString &service, const QString &protocol, quint16 defaultPort);

} // namespace plat
