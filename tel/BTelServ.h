#pragma once
// The receiving side of TELs: the conversation after the server handshake
// has accepted "TEL", and the counting and announcing of an arrival.
#include "core/HostRecord.h"
#include "core/MessageRecord.h"
#include "platform/WinSock.h"
#include "tel/BTelLog.h"

#include <QByteArray>
#include <QtGlobal>

#include <atomic>
#include <cstdint>

// Whether TELs are accepted (set when the TCP server starts).
extern std::atomic<std::uint8_t> TelServerEnabled;

// Holds the TEL conversation on an accepted socket whose handshake answered
// "ACK": reads commands until "OFF" and stores each TEL; a command it does not
// know is skipped. Between commands it waits as long as the receive time-out
// allows (RecvCommand). A conversation that broke off or lost a TEL (not
// stored) leaves the socket set to reset when the caller closes it, so that
// the sender does not take it as delivered. Files arrive under a temporary
// name and take their own only when complete and synced.
void ServeTel(plat::SOCKET socket, HostRecord &connection);

// Removes from the TEL folder the temporaries of received files that a
// killed program left behind; those of transfers still running stay.
void RemoveLeftoverTelParts();

// Receives a Stay TEL's text into body and fills the record for it.
bool RecvStayTelText(plat::SOCKET socket, MessageRecord &record, QByteArray &body);

// Window message telling every form the number of unread TELs: wParam 0 when
// a TEL was stored (lParam = the unread count), wParam 1 when the receive
// window showed one (lParam = the unread count minus 1). A form that shows
// the number shows lParam + wParam.
constexpr unsigned WaitingTelsMessage = 2025;

// Received TELs not yet shown; guarded by WaitingTelsLock. -1 until the TEL
// log pair has been opened and counted at start-up.
extern qint32 WaitingTels;

// Counts one more unread TEL, tells every form the new count (message 2025,
// wParam 0) and, when asked, plays the ArrivalChime (the beep when none is
// set). Returns the count that this arrival made, so that the caller decides
// on its own TEL's place even when other TELs arrive right after it.
qint32 NotifyTelArrival(bool playChime);

// Peers from this version on take text TELs as RTF; older ones get plain text.
constexpr int RichTextVersion = 207;

// What an auto reply adds to its handle. A TEL whose handle ends in it is
// never answered automatically, so two programs in auto-reply mode do not
// answer each other for ever.
inline constexpr char AutoReplyMark[] = " [Auto Reply]";

// Answers the sender of a stored TEL over a connection of its own, as a
// reply: the reply word ZRA_VOLT as password, the handle of the sender's host
// list entry + AutoReplyMark. The message is AutoReplyFile when set, else the
// plain message file for a peer whose handshake states a version below 207
// and the rich one from 207 on. A message file that is missing or larger than
// a TEL body is not sent (logged). Does nothing once the TEL has been shown
// (WaitingTels 0) or when it is itself an auto reply. Failures end it after a
// log line, and so does a message that the peer does not confirm by closing
// cleanly after "OFF". Blocks for the whole conversation: never on the GUI
// thread.
void SendAutoReply(const StoredTel &tel);

// Passes a stored TEL on to target with "FORWARD", naming the TEL's first
// sender; a file TEL passes only a note with the file's name. Only a target
// whose UDP answer (within 3 s) states version 209 or later is contacted, and
// never the host that delivered the TEL or its first sender, so a TEL cannot
// go round between two forwarding programs. Does nothing once the TEL has
// been shown. A TEL the target does not confirm is logged as not delivered.
// Blocks like SendAutoReply: never on the GUI thread.
void ForwardTel(const StoredTel &tel, const HostRecord &target);

// Closing the program: wakes every auto reply and forward still holding its
// outgoing conversation, so that it fails at once instead of waiting for its
// peer.
void CloseFollowUpSockets();
