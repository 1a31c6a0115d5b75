#pragma once
// The OLCP socket primitives: a text line, a 32-bit integer, a file, a memory
// buffer, a connect and an address conversion, on one connected blocking TCP
// stream with no other framing between them.
//
// Wire forms:
//   line     the CP932 bytes and one CR (13); at most 254 bytes before the CR
//   integer  4 bytes, signed, most significant byte first
//   file     an integer N, then exactly N bytes (N = 0: empty or missing file)
//   buffer   an integer N, then N bytes (N = 0: empty buffer)
//
// Every call returns a success flag and reports its failure as one line in the
// activity log at level 1 ("*** recv[String] *** Error code = 10060", ...).
// The socket is left open on failure: the conversation that owns it closes it.
// The calls keep no state; one socket is used by one thread at a time.
#include "platform/WinSock.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QPointer>
#include <QString>

#include <atomic>
#include <span>

#include <netinet/in.h>

class QFile;
class QLabel;
class QProgressBar;

// Longest line SendString sends, CR included.
constexpr int MaxSendLineBytes = 255;
// Longest line RecvString accepts, without its CR.
constexpr int MaxRecvLineBytes = 254;
// File data moves in chunks of at most this many bytes.
constexpr int FileChunkBytes = 8193;
// A received file is handed to the disk in pieces of this many bytes.
constexpr qint64 FileWriteBackBytes = 4 << 20;
// A buffer holds at most this many bytes; it moves in pieces of BufPieceBytes.
constexpr int MaxBufBytes = 65536;
constexpr int BufPieceBytes = 1024;
// Longest text HostToAddr looks at.
constexpr int MaxAddressText = 49;

// The widgets that show a file transfer: the rate in KiB/s and the bytes so
// far. Either may be null or vanish during the transfer. They are touched on
// the GUI thread only, so a transfer may run on any thread.
struct TransferProgress {
    QPointer<QLabel> rateLabel;
    QPointer<QProgressBar> bar;
};

// Dotted IPv4 text -> address in network byte order; INADDR_NONE for anything
// else (no name lookup) and for a text over MaxAddressText characters.
quint32 HostToAddr(const QString &text);

// Every OLCP conversation socket, connected or accepted: the receive time-out
// of TimeOutValue ms and no delay for small writes.
void PrepareOlcpSocket(plat::SOCKET s);

// How long the server's side of a conversation waits, in milliseconds: for
// the whole handshake from the accept; for each line or integer of a command
// from the moment it is awaited, and for a command line from its first byte;
// for the next bytes of a buffer or file. No real peer comes near them once
// it has started something; a peer that idles or drips bytes there is
// dropped. Between commands there is no deadline: a person may be typing
// the next TEL, and only the receive time-out (TimeOutValue) applies. The
// values are a test seam.
struct ServerDeadlineTimes {
    std::atomic<int> HandshakeMs{30000};
    std::atomic<int> ElementMs{30000};
    std::atomic<int> ProgressMs{60000};
};
extern ServerDeadlineTimes ServerDeadlines;

// Puts the server's side of one conversation under ServerDeadlines for as
// long as it lives, on the thread that serves it. The receiving primitives on
// that socket, called on that thread, then fail when a deadline passes; the
// drop is logged once at level 1, and every later receive fails at once with
// nothing more logged. Their failure lines are summarized per line and peer
// (SummarizeLog), as a peer may cause them at will. Client conversations keep
// the receive time-out of PrepareOlcpSocket alone.
class ServedConversation {
public:
    ServedConversation(plat::SOCKET s, const sockaddr_in &peer);
    ~ServedConversation();
    ServedConversation(const ServedConversation &) = delete;
    ServedConversation &operator=(const ServedConversation &) = delete;

    // The handshake is complete: its deadline no longer applies.
    void EndHandshake();

    // The conversation that the calling thread serves on s; null for any
    // other socket.
    static ServedConversation *Of(plat::SOCKET s);
    // Receives may go on until wait has passed, and no longer than the
    // handshake deadline while it applies; Forever leaves only that one.
    void Arm(QDeadlineTimer wait);
    // Logs a failure of a primitive: the drop for a deadline that has passed
    // (error 10060), once; any other failure summarized per peer; nothing
    // for a conversation that gave its slot away.
    void LogFailure(const char *what, int error, const QString &line);

    // The wait for the first byte of a command line (RecvCommand): from now
    // on the conversation waits between commands. False when it has given
    // its slot away.
    bool BeginCommandWait();
    // The command line has started: its deadline runs. False when the
    // conversation gave its slot away meanwhile.
    bool EndCommandWait();

    // Any thread: of the conversations served on sockets, ends the one that
    // has waited longest between commands, so that a newcomer takes its slot
    // in a full connection table. Its thread is woken and fails quietly; the
    // caller logs the drop. Returns its socket, or INVALID_SOCKET when none
    // of them waits between commands.
    static plat::SOCKET EvictLongestWaiting(std::span<const plat::SOCKET> sockets);

private:
    const plat::SOCKET socket_;
    const QString peer_;
    QDeadlineTimer handshake_;
    QDeadlineTimer armed_;
    bool dropped_ = false;
    // Guarded by the lock of the served conversations (BServer.cpp): when
    // the wait between commands began, -1 while the conversation does
    // anything else; whether it gave its slot away.
    qint64 waitingSince_ = -1;
    std::atomic<bool> evicted_{false};
    ServedConversation *const outer_;
};

// Receives a command line of a served conversation, as RecvString does. The
// wait for its first byte is the wait between commands (see
// ServedConversation); from that byte on the line is under ElementMs.
bool RecvCommand(plat::SOCKET s, QByteArray &line);

// True when the peer has ended the connection (its close or reset is
// waiting to be read) or the socket is not usable; reads nothing.
bool PeerEnded(plat::SOCKET s);

// A socket connected to hostAddress (dotted text) at the port of the service,
// or defaultPort when the system does not know the service. Its receive
// time-out is TimeOutValue ms, and the connect gives up after that time too
// (10060). INVALID_SOCKET on failure, with errorCode set
// to the Windows Sockets number (10061: refused). connecting, when given,
// holds the socket while the connect is under way, so that a window's close
// can break it off by closing the socket (10004) instead of waiting for it.
plat::SOCKET ConnectServer(int socketType, const QString &serviceName, const QString &protocolName,
                           int &errorCode, const QString &hostAddress, quint16 defaultPort,
                           plat::SOCKET *connecting = nullptr);

// Sends the bytes of one line (up to a NUL) in one call; the caller includes
// the CR. A line over MaxSendLineBytes is refused and nothing is sent.
bool SendString(plat::SOCKET s, const QByteArray &line);
bool SendString(plat::SOCKET s, const QString &line); // converted to CP932
inline bool SendString(plat::SOCKET s, const char *line) // a literal, as UTF-8 text
{
    return SendString(s, QString::fromUtf8(line));
}

// Receives one line, one byte per call so that nothing of the next element is
// consumed; line is its text without the CR, cut at a NUL. Fails when the peer
// closes before the CR or MaxRecvLineBytes + 1 bytes arrive without one.
bool RecvString(plat::SOCKET s, QByteArray &line);
bool RecvString(plat::SOCKET s, QString &line); // converted from CP932

// SendString, then RecvString only when the send succeeded.
bool SendRecvString(plat::SOCKET s, const QByteArray &line, QByteArray &reply);
bool SendRecvString(plat::SOCKET s, const QString &line, QString &reply);

bool SendInteger(plat::SOCKET s, qint32 value);
// Reads all 4 bytes; value is 0 on failure (also when the stream ends early).
bool RecvInteger(plat::SOCKET s, qint32 &value);

// Sends the file element: the integer size, then the file's bytes from
// startOffset on. size -1 stands for the whole file and is replaced by its
// size. A missing file goes out as integer 0 (size becomes 0) and succeeds.
// Fails, before anything is sent, for a file of 2 GiB or more, a size that
// does not fit the wire, or a file that cannot be opened; fails afterwards
// when a send fails or the file ends before size bytes went out.
bool SendFile(plat::SOCKET s, const QString &fileName, qint64 startOffset, qint64 &size);
bool SendFileProgress(plat::SOCKET s, const QString &fileName, qint64 startOffset,
                      const TransferProgress *progress, qint64 &size);

// Receives the file element and writes its bytes to openFile at its current
// position (the caller opens and closes it); size is the announced count.
// The bytes are handed to the disk every FileWriteBackBytes as they arrive,
// so that a caller that syncs the file at its end waits for little more than
// the last of them; they are durable only once the caller has synced. Fails
// on a negative size, when the peer closes early or a write fails.
bool RecvFile(plat::SOCKET s, QFile &openFile, qint64 &size);
bool RecvFileProgress(plat::SOCKET s, QFile &openFile, qint64 &size, const TransferProgress *progress);

// Sends the buffer element with the first length bytes of buffer. A length
// that is negative, over MaxBufBytes or past the buffer's end is refused.
bool SendBuf(plat::SOCKET s, const QByteArray &buffer, int length);
// Receives the buffer element into buffer; length is the announced count.
// capacity is what the caller's buffer holds including the NUL that ends it
// (MaxBufBytes + 1 for a full buffer): a length that does not fit is refused.
// length < 1 leaves an empty buffer. Fails when the stream ends early.
bool RecvBuf(plat::SOCKET s, QByteArray &buffer, int &length, int capacity);
