#pragma once
// The OLCP handshake that opens every TCP conversation, from both sides, and
// the fetch of Stay TELs after a server answered "STAY".
//
// Client: version lines are swapped, then the client names its service and
// sends its password line, its handle and, to peers of version 203 or more,
// its user ID; the server answers "ACK", "NAK" or "STAY". Server: this
// program's own side, which accepts "TEL" only.
//
// Passwords travel in their ConvertPassword form to peers of version 203 or
// more, and transformed once more (the password as typed) to older ones. They
// are raw bytes throughout.
#include "core/BLookup.h"
#include "core/HostRecord.h"
#include "platform/WinSock.h"

#include <QByteArray>
#include <QString>

#include <functional>

#include <netinet/in.h>

class TBLookupForm;

// Sent as the TEL password by a client that answers a TEL (reply or auto
// reply); never transformed, and accepted by a server in place of its TEL
// password.
inline constexpr char ZRA_VOLT[] = "ZRA_VOLT";

// A client-only edition answers with 8 characters ending in "L" ("OLCP303L"):
// it takes TELs but holds no Stay TELs and serves no OLC or account service.
bool IsLightEdition(const QString &storedVersion);

// Runs the client's side on a connected socket. command is "TEL", "OLC" or
// "ACC". host is the target; its OlcpVersion becomes the server's version
// line. True when the connection can be used: reply then holds "STAY" or the
// line that followed the server's "ACK". On false the reason is in the main
// window's status bar (or in the log, for a failed send or receive).
bool ClientHandshake(plat::SOCKET s, const QString &command, HostRecord &host, QString &reply);

// The server's side of the handshake on an accepted socket: fills connection
// (the peer's address and port, version, handle, and the user ID when the
// password was accepted and the line is 8 characters long) and answers. True
// when it answered "ACK" to "TEL". Every received line is logged at level 3,
// the password line masked.
bool ServerHandshake(plat::SOCKET s, const sockaddr_in &peer, HostRecord &connection);

// Runs ServerHandshake on an accepted socket and, after its "ACK", the TEL
// conversation (ServeTel), under the deadlines of a served conversation
// (ServedConversation): an idle or dripping peer is dropped. The
// caller closes the socket: the TCP server thread first removes it from the
// connection table.
void ServeConnection(plat::SOCKET s, const sockaddr_in &peer);

// After a "STAY" answer: with cancel set, declines the Stay TELs ("CAN") and
// is true when the conversation goes on as after "ACK"; otherwise sends the
// account password line (raw bytes, without its CR) and, when the server
// accepts it, fetches and stores the Stay TELs. The result is then false:
// the caller ends the connection after a fetch.
bool SendAccountPassword(plat::SOCKET s, bool cancel, HostRecord &host, QString &reply, const QByteArray &password);

// Receives Stay TEL items until "EOF" and stores each in the TEL log. host is
// the server's record; its version decides whether an item carries a file-name
// line. False when a receive failed.
bool RecvStayTels(plat::SOCKET s, HostRecord &host);

// Makes the coming close of s a reset instead of a clean close. A TEL
// receiver ends so a conversation in which a TEL was not stored: the
// protocol has no answer per TEL, so its sender learns it from the close.
void ResetOnClose(plat::SOCKET s);

// The sender's end of a TEL conversation: "OFF", then this side is shut down
// and the peer's close awaited (TimeOutValue, at most 30 s). True only when
// the peer closed cleanly after "OFF", which a receiver does once every TEL
// of the conversation is stored; a reset, a time-out or a peer gone before
// "OFF" leaves the TELs unconfirmed. The caller closes the socket.
bool SendOffConfirmed(plat::SOCKET s);

// Runs action with the main window on the GUI thread: at once when called
// there, else queued. Nothing happens when there is no main window (any more)
// by then.
void OnMainWindow(std::function<void(TBLookupForm &)> action);

// Shows text in the main window's status bar, from any thread.
void ShowMainStatus(const QString &text);

// Runs action on the GUI thread and waits for it (the thread class's
// synchronized call); from a client thread only.
void SynchronizeWithGui(const std::function<void()> &action);

// Runs a client thread's body. Nothing may escape a thread: what the body
// throws is logged under threadName ("TEL Client Thread") and fails the start
// (a report after Shown() is ignored).
void RunClientThread(const QString &threadName, ConnectionStartReporter &reporter,
                     const std::function<void()> &body);

// A client thread's connection up to the server's answer to command ("TEL",
// "OLC", "ACC"): connects to the target's OLCP port (asking its Remote Dish
// service to start the program when nobody listens there), runs the
// handshake and, when the server holds Stay TELs for us, asks the user and
// fetches them. Returns the socket with the server's answer in reply, or
// INVALID_SOCKET (nothing left open) when the connection cannot be used.
plat::SOCKET OpenClientConnection(const QString &command, HostRecord &target, QString &reply);

// The handshake part of OpenClientConnection on a connected socket (client
// thread): the handshake for command, then the Stay question and fetch when
// the server holds Stay TELs. False when the connection cannot be used.
bool ClientHandshakeWithStay(plat::SOCKET s, const QString &command, HostRecord &target, QString &reply);

// True for the server's answer "ACK"; any other answer is said in the main
// window's status bar: "<address> : <busyServer> ..." for "CAN" (the server
// is busy), "<address> : <service> not serviced ..." otherwise.
bool ServiceGranted(const QString &reply, const HostRecord &target, const QString &busyServer,
                    const QString &service);

// GUI thread: asks whether the Stay TELs that a server holds are to be
// fetched now, and their account password (ConvertPassword form). True when
// the user declined, cancelled or gave no password.
bool StayPasswordDeclined(QByteArray &password);

// A client thread that starts makes the account list's next presence pass
// come soon (the account list window's entity timer; from any thread).
void ShortenEntityInterval();
