#include "core/BTcpServ.h"

#include "core/BClient.h"
#include "core/BCommon.h"
#include "core/BLookup.h"
#include "core/BRegistr.h"
#include "core/BServer.h"
#include "platform/DayDate.h"
#include "tel/BTelServ.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QThread>
#include <QTimer>
#include <QtEndian>

#include <algorithm>
#include <climits>
#include <exception>
#include <mutex>
#include <optional>
#include <span>

#include <unistd.h>

plat::SOCKET TcpServerSocket = plat::INVALID_SOCKET;
std::atomic<std::uint8_t> TcpServerAlive{0};
std::atomic<int> ConnectionCount{0};
std::array<plat::SOCKET, MaxConnections + 1> ConnectionSockets{};
std::atomic<int> AutoCloseSeconds{0};
bool ConnectionsClosed = false;

namespace {

// Connections not yet accepted wait here. A backlog as small as 5 leaves
// peers that arrive together hanging in a handshake that never starts.
constexpr int ListenBacklog = SOMAXCONN;

void LogServerError(const char *call, int error, const char *remark = "")
{
    WriteLog(ALPHA, QStringLiteral("*** TCP ") + QLatin1String(call) + QStringLiteral(" *** Error code = ") +
                        QString::number(error) + QString::fromUtf8(remark));
}

// The timer belongs to the main window's thread; server threads reach it
// through queued calls, which run in the order they were made.
// 0 milliseconds stops it.
void SetAutoCloseTimer(int milliseconds)
{
    OnMainWindow([milliseconds](TBLookupForm &form) {
        form.AutoCloseTimer->setInterval(milliseconds);
        if (milliseconds > 0)
            form.AutoCloseTimer->start();
        else
            form.AutoCloseTimer->stop();
    });
}

void ArmAutoCloseTimer()
{
    const qint64 milliseconds = qint64(AutoCloseSeconds) * 1000;
    SetAutoCloseTimer(int(std::min<qint64>(milliseconds, INT_MAX)));
}

// The peer address of each entry of ConnectionSockets, guarded by ConnectionLock.
std::array<quint32, MaxConnections + 1> ConnectionPeers{};

// Why a connection found no entry: none, or the table or its address's share is full.
enum class Refusal { None, TableFull, AddressFull, Closing };

// Removes entry i of the table (1..ConnectionCount); under ConnectionLock.
void RemoveEntry(int i)
{
    const int count = ConnectionCount;
    std::move(ConnectionSockets.begin() + i + 1, ConnectionSockets.begin() + count + 1, ConnectionSockets.begin() + i);
    std::move(ConnectionPeers.begin() + i + 1, ConnectionPeers.begin() + count + 1, ConnectionPeers.begin() + i);
    ConnectionSockets[size_t(count)] = plat::INVALID_SOCKET;
    ConnectionCount = count - 1;
}

// The entry of s, 0 when it has none; under ConnectionLock.
int EntryOf(plat::SOCKET s)
{
    const auto first = ConnectionSockets.begin() + 1, last = first + ConnectionCount;
    const auto entry = std::find(first, last, s);
    return entry == last ? 0 : int(entry - ConnectionSockets.begin());
}

// Gives s an entry. A full table gives it the entry of the conversation that
// has waited longest between commands, whose peer is then evictedPeer: idle
// peers cannot keep others out, while a conversation that has begun
// something is never taken.
Refusal AddConnection(plat::SOCKET s, quint32 peer, std::optional<quint32> &evictedPeer)
{
    std::lock_guard guard(ConnectionLock);
    if (ConnectionsClosed)
        return Refusal::Closing;
    const auto first = ConnectionPeers.begin() + 1;
    if (std::count(first, first + ConnectionCount, peer) >= MaxConnectionsPerAddress)
        return Refusal::AddressFull;
    if (ConnectionCount >= MaxConnections) {
        const plat::SOCKET evicted = ServedConversation::EvictLongestWaiting(
            std::span<const plat::SOCKET>(ConnectionSockets.data() + 1, size_t(ConnectionCount.load())));
        if (evicted == plat::INVALID_SOCKET)
            return Refusal::TableFull;
        const int entry = EntryOf(evicted);
        evictedPeer = ConnectionPeers[size_t(entry)];
        RemoveEntry(entry);
    }
    const int count = ConnectionCount;
    ConnectionSockets[size_t(count + 1)] = s;
    ConnectionPeers[size_t(count + 1)] = peer;
    ConnectionCount = count + 1;
    return Refusal::None;
}

// Removes the entry before the socket is closed: the close sequence closes
// what the table holds, and a closed descriptor's number soon belongs to the
// next connection. A conversation that gave its entry to a newcomer has none.
void RemoveConnection(plat::SOCKET s)
{
    std::lock_guard guard(ConnectionLock);
    const int entry = EntryOf(s);
    if (entry == 0)
        return;
    RemoveEntry(entry);
    // Armed inside the lock, so a connection accepted meanwhile stops the
    // timer only after this arming.
    if (ConnectionCount == 0 && AutoCloseSeconds > 0)
        ArmAutoCloseTimer();
}

// A refused connection is closed at once; peers can cause these lines at
// will, so they are summarized.
void LogRefusal(Refusal refusal, const QString &address)
{
    const bool tableFull = refusal == Refusal::TableFull;
    SummarizeLog(ALPHA, QStringLiteral("TCP refused"), address,
                 QStringLiteral("*** TCP accept   *** Too many connections%1 (%2) : %3 refused")
                     .arg(tableFull ? QString() : QStringLiteral(" from one address"))
                     .arg(tableFull ? MaxConnections : MaxConnectionsPerAddress)
                     .arg(address));
}

// The conversation that gave its entry to a newcomer is dropped without a
// line of its own; summarized like the refusals.
void LogEviction(const QString &evicted, const QString &newcomer)
{
    SummarizeLog(ALPHA, QStringLiteral("TCP evicted"), evicted,
                 QStringLiteral("*** TCP accept   *** Too many connections (%1) : %2 waited longest, dropped for %3")
                     .arg(MaxConnections)
                     .arg(evicted, newcomer));
}

// An exception never leaves a server thread: it is logged, and the caller's
// clean-up still runs.
template <typename F>
void Guarded(F work)
{
    try {
        work();
    } catch (const std::exception &e) {
        WriteLog(ALPHA, QStringLiteral("*** TCP Thread *** ") + QString::fromLocal8Bit(e.what()));
    } catch (...) {
        WriteLog(ALPHA, QStringLiteral("*** TCP Thread *** Unknown error"));
    }
}

QString NowText()
{
    const QDateTime now = QDateTime::currentDateTime();
    return plat::FormatShortDate(now) + QLatin1Char(' ') + plat::FormatLongTime(now);
}

// Pauses after a failed accept until the process can open descriptors again.
// A new thread needs some of its own (the wake-up of its event dispatcher),
// and starting one while none are left would end the program: peers that use
// up the descriptors must only delay the server. False when the listening
// socket was closed meanwhile: the program is closing.
bool WaitForDescriptors(plat::SOCKET listeningSocket)
{
    for (;;) {
        QThread::msleep(100);
        sockaddr_in name{};
        int length = sizeof name;
        if (plat::getsockname(listeningSocket, reinterpret_cast<sockaddr *>(&name), &length) != 0)
            return false;
        int probe[2];
        if (::pipe(probe) == 0) {
            ::close(probe[0]);
            ::close(probe[1]);
            return true;
        }
    }
}

} // namespace

void CloseAllConnections()
{
    std::lock_guard guard(ConnectionLock);
    ConnectionsClosed = true;
    for (int i = 1; i <= ConnectionCount; ++i)
        plat::closesocket(ConnectionSockets[size_t(i)]);
}

void StartTcpServer()
{
    TcpServerAlive = 0;
    {
        std::lock_guard guard(ConnectionLock);
        ConnectionsClosed = false;
    }
    ConnectionCount = 0;
    AutoCloseSeconds = std::max(0, StartParameter('H').trimmed().toInt());
    if (AutoCloseSeconds > 0)
        ArmAutoCloseTimer();
    TelServerEnabled = 1;
    for (std::atomic<std::uint8_t> &channel : ChannelStates)
        channel = 0;

    const plat::SOCKET s = plat::socket(AF_INET, SOCK_STREAM, 0);
    if (s == plat::INVALID_SOCKET) {
        LogServerError("socket", plat::WSAGetLastError());
        return;
    }
    WriteLog(GAMMA, QStringLiteral("TCP Server Port   Number   = ") + QString::number(OlcpPort));
    WriteLog(GAMMA, QStringLiteral("TCP Server Socket Number   = ") + QString::number(s));
    // A restarted program gets its port back at once; a second one still fails.
    plat::EnableAddressReuse(s);

    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = qToBigEndian<quint32>(INADDR_ANY);
    local.sin_port = qToBigEndian(OlcpPort);
    if (plat::bind(s, reinterpret_cast<const sockaddr *>(&local), sizeof local) == plat::SOCKET_ERROR) {
        const int error = plat::WSAGetLastError();
        LogServerError("bind", error, error == plat::WSAEADDRINUSE ? " : 多重起動" : "");
        plat::closesocket(s);
        return;
    }
    if (plat::listen(s, ListenBacklog) == plat::SOCKET_ERROR) {
        LogServerError("listen", plat::WSAGetLastError());
        plat::closesocket(s);
        return;
    }
    TcpServerSocket = s;
    const quintptr thread = TBTcpServer::Create(s);
    LogBanner(QStringLiteral("TCP Server Thread ; Server_Socket: ") + QString::number(s) +
              QStringLiteral(" ; Thread_Handle: ") + QString::number(thread) + QStringLiteral(" ; ") + NowText());
}

TBTcpServer::TBTcpServer(plat::SOCKET listeningSocket) : ListeningSocket(listeningSocket) {}

quintptr TBTcpServer::Create(plat::SOCKET listeningSocket)
{
    TcpServerAlive = 1;
    auto *thread = new TBTcpServer(listeningSocket);
    const quintptr handle = reinterpret_cast<quintptr>(thread);
    thread->start();
    return handle;
}

void TBTcpServer::run()
{
    Guarded([this] { Execute(); });
}

void TBTcpServer::Execute()
{
    AcceptedSocket = plat::accept(ListeningSocket, reinterpret_cast<sockaddr *>(&PeerAddress), &AddressLength);
    if (AcceptedSocket == plat::INVALID_SOCKET) {
        const int error = plat::WSAGetLastError();
        // Closed under the waiting accept: the program is closing.
        if (error == plat::WSAEINTR || error == plat::WSAENOTSOCK) {
            LogServerError("accept  ", error, error == plat::WSAEINTR ? " : ソケット破棄" : "");
            TcpServerAlive = 0;
            return;
        }
        // Peers can cause this one (used-up descriptors) as often as they connect.
        SummarizeLog(ALPHA, QStringLiteral("TCP accept"), QString(),
                     QStringLiteral("*** TCP accept   *** Error code = ") + QString::number(error));
        // Any other failure (descriptors used up, a connection gone before it
        // was taken) passes: the server keeps accepting after a short pause.
        if (WaitForDescriptors(ListeningSocket))
            TBTcpServer::Create(ListeningSocket);
        else
            TcpServerAlive = 0;
        return;
    }
    const QString address = plat::inet_ntoa(PeerAddress.sin_addr.s_addr);
    std::optional<quint32> evictedPeer;
    if (const Refusal refusal = AddConnection(AcceptedSocket, PeerAddress.sin_addr.s_addr, evictedPeer);
        refusal == Refusal::Closing) {
        // The program is closing: the chain ends here, with the listening socket.
        plat::closesocket(AcceptedSocket);
        TcpServerAlive = 0;
        return;
    } else if (refusal != Refusal::None) {
        TBTcpServer::Create(ListeningSocket);
        LogRefusal(refusal, address);
        plat::closesocket(AcceptedSocket);
        return;
    }
    if (evictedPeer)
        LogEviction(plat::inet_ntoa(*evictedPeer), address);
    SetAutoCloseTimer(0);
    const quintptr successor = TBTcpServer::Create(ListeningSocket);
    WriteLog(BETA, QStringLiteral("\r\nTCP Thread_Socket = ") + QString::number(AcceptedSocket));
    WriteLog(BETA, QStringLiteral("TCP Thread_Handle = ") + QString::number(successor));
    ShowMainStatus(QStringLiteral("Connected (Remote Host: ") + address + QStringLiteral(" ) ..."));
    Guarded([this] { ServeConnection(AcceptedSocket, PeerAddress); });
    RemoveConnection(AcceptedSocket);
    plat::closesocket(AcceptedSocket);
}
