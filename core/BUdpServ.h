#pragma once
// The UDP server: one datagram socket on port 8011 that receives the short
// OLCP datagrams (QUERY and REPLY probes, presence answers, member lists and
// scans from account servers, remote messages) and sends every outgoing one.
//
// A datagram is always 256 bytes on the wire: a NUL-terminated CP932 text of
// CR-separated fields (the sender's version "OLCP...", the command, the rest),
// zeros after it.
//
// Strangers can send datagrams from forged addresses at any rate, so: one
// address gets at most 20 answers (REPLY to QUERY, ENTITY to SCAN) a second,
// one remote-message box is open at a time (further messages go to the log),
// and the log lines that datagrams cause are summarized (SummarizeLog) with
// their text escaped. The account list takes an ACK or NAK only as the answer
// to an ENTITY it sent.
//
// A chain of one-shot TBUdpServer threads receives the datagrams: each waits
// for one, handles it and starts its successor. Only the closing of the socket
// ends the chain (shut-down closes UdpServerSocket and waits for
// UdpServerAlive to clear); a bad datagram or a transient receive error is
// logged and the next one is awaited.
#include "platform/FreeOnTerminateThread.h"
#include "platform/Synchronized.h"
#include "platform/WinSock.h"

#include <QByteArray>
#include <QString>
#include <QThread>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>

constexpr quint16 UdpServerPort = 8011;
// The Remote Dish service of a peer, which starts its program on request.
constexpr quint16 RemoteDishPort = 8013;
// Bytes of every datagram on the wire; its text holds at most one less, for the NUL.
constexpr int DatagramBytes = 256;
constexpr int MaxDatagramText = DatagramBytes - 1;
constexpr int ReplySlotCount = 21;

extern plat::SOCKET UdpServerSocket;
// Bound to an ephemeral port and closed at shut-down; nothing is sent or
// received on it.
extern plat::SOCKET CgiSocket;
// 1 from the start of the chain until it has ended.
extern std::atomic<std::uint8_t> UdpServerAlive;

// The slots that queries wait in, guarded by ReplySlotsLock: 0 free, -1 a
// query waits, above 0 the version number (303 for "OLCP303L") of the peer
// that answered.
extern std::array<std::int32_t, ReplySlotCount> ReplySlots;

// What an ACK or NAK datagram (an account server's answer to ENTITY) tells
// the account list.
struct PresenceAnswer {
    QString Command;       // "ACK" or "NAK"
    QString SenderAddress; // the account server, dotted text
    QString UserId;
    QString Version;       // the server's version string, such as "OLCP303L"
};

// One MEMBER datagram: a user present at the account server that sent it.
struct MemberEntry {
    QString IpAddress;
    QString UserId;
    QString Handle;
    QString ResponseTime;
};

// Where the datagram handlers hand over to the account list window, which
// installs these before the UDP server starts and clears them once it has
// ended; each datagram's handler works on a copy taken as it arrives. While a
// member is unset, its datagrams are logged and dropped. All of them are
// called on the UDP server thread: they must not touch widgets from there
// (queue that work to the GUI thread), and must not wait for the GUI thread,
// which may itself be waiting for the chain to end.
struct AccountListSeams {
    // Marks the answer in every account row of that server and user ID, when
    // an ENTITY sent there awaits it (once per ENTITY). Returns true when the server's version differed from the one recorded
    // for such a row and has been stored in Account.lst; the handler then
    // records it in the host list (CheckOlcpVersion).
    std::function<bool(const PresenceAnswer &)> OnPresenceAnswer;
    // A member sent by serverAddress; taken only when that is the server the
    // presence list was asked of.
    std::function<void(const QString &serverAddress, const MemberEntry &)> OnMember;
    // True when the account list holds an entry with this user ID (a SCAN
    // for it is answered with ENTITY).
    std::function<bool(const QString &userId)> HasAccountId;
};
extern plat::Synchronized<AccountListSeams> AccountListSeam;

// Start-up: creates CgiSocket and UdpServerSocket (port 8011, broadcast
// allowed, no address reuse so a second program cannot bind it) and starts the
// chain. A failure is logged and leaves the server off.
void StartUdpServer();

// Sends text (CP932 bytes, at most MaxDatagramText) as one 256-byte datagram
// from UdpServerSocket to port of hostAddress (dotted text;
// "255.255.255.255" broadcasts). Callable from any thread. False, with a log
// line, for a longer text, an address that does not read, or a failed send.
bool SendUdpTo(const QString &hostAddress, quint16 port, const QByteArray &text);

// Asks hostAddress whether an OLCP program runs there. With seconds > 0 the
// query takes a reply slot and waits up to that long for the REPLY; true then,
// with version set to the peer's version number. On the GUI thread the wait
// processes events, so the program stays responsive. With seconds <= 0 the
// query asks for no answer and the result is false at once; it is false too
// when all slots are taken (nothing is sent then) or the send fails.
bool SendQuery(const QString &hostAddress, int seconds, int &version);

// Asks the Remote Dish service (UDP port 8013) of hostAddress to start its
// program; password is the target's Remote Dish password as stored (raw).
bool SendRemoteRequest(const QString &hostAddress, const QByteArray &password);

// One link of the chain: waits for one datagram on its socket, handles it and
// starts the next link. The thread object lives in the GUI thread and deletes
// itself there once its thread has finished (finished -> deleteLater), so a
// link never deletes the QThread it runs in, and no link is left behind while
// the GUI event loop runs.
class TBUdpServer : public plat::FreeOnTerminateThread {
    Q_OBJECT
public:
    // Sets UdpServerAlive and starts a link on the socket. The pointer is for
    // logging only: the object deletes itself.
    static TBUdpServer *Create(plat::SOCKET socket);

protected:
    void run() override;

private:
    explicit TBUdpServer(plat::SOCKET socket);
    // Receives and handles one datagram; false when the socket is being closed.
    bool Execute();

    const plat::SOCKET Socket;
};
