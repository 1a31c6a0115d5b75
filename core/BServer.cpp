#include "core/BServer.h"

#include "core/BCommon.h"
#include "core/BRegistr.h"
#include "platform/Cp932.h"
#include "platform/WinMessages.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>
#include <QThread>
#include <QtEndian>

#include <algorithm>
#include <array>
#include <limits>
#include <mutex>
#include <unordered_map>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>

namespace {

constexpr char CR = '\r';
// The file element's count is a signed 32-bit integer.
constexpr qint64 MaxFileBytes = std::numeric_limits<qint32>::max();
// A file that cannot be opened (another program holds it) is tried this often.
constexpr int OpenTries = 50;
constexpr int OpenRetryMs = 100;
// The rate label changes at most this often.
constexpr int RateIntervalMs = 100;

// Between file chunks a window that holds the conversation stays responsive.
void ProcessEventsOnGuiThread()
{
    if (plat::IsGuiThread())
        QCoreApplication::processEvents();
}

// what names the operation and element: "recv[String]", "connect", ...
// error is the Windows Sockets number behind the failure, 0 for none.
void LogFailure(plat::SOCKET s, const char *what, const QString &detail, int error = 0)
{
    const QString line = QStringLiteral("*** ") + QLatin1String(what) + QStringLiteral(" *** ") + detail;
    if (ServedConversation *conversation = ServedConversation::Of(s))
        conversation->LogFailure(what, error, line);
    else
        WriteLog(ALPHA, line);
}

void LogSocketError(plat::SOCKET s, const char *what, int error)
{
    LogFailure(s, what, QStringLiteral("Error code = ") + QString::number(error), error);
}

void LogSocketError(plat::SOCKET s, const char *what)
{
    LogSocketError(s, what, plat::WSAGetLastError());
}

void LogClosed(plat::SOCKET s, const char *what)
{
    LogFailure(s, what, QStringLiteral("Connection closed"));
}

// The deadline of what the calling thread receives on s, when it serves s:
// a Whole element (a line, an integer) must be complete within ElementMs;
// the Pieces of a buffer or file each within ProgressMs of the last; a
// Command line waits for its first byte between commands and is Whole from
// there on.
class ReceiveWait {
public:
    enum Kind { Whole, Pieces, Command };
    ReceiveWait(plat::SOCKET s, Kind kind) : conversation_(ServedConversation::Of(s)), kind_(kind)
    {
        if (conversation_ && kind_ == Whole)
            conversation_->Arm(QDeadlineTimer(ServerDeadlines.ElementMs.load()));
        if (conversation_ && kind_ == Command)
            open_ = conversation_->BeginCommandWait();
    }
    ~ReceiveWait()
    {
        if (!conversation_)
            return;
        // A command line that never came leaves the wait between commands too.
        if (kind_ == Command)
            conversation_->EndCommandWait();
        conversation_->Arm(QDeadlineTimer(QDeadlineTimer::Forever));
    }
    ReceiveWait(const ReceiveWait &) = delete;
    ReceiveWait &operator=(const ReceiveWait &) = delete;

    // False when the conversation gave its slot away: it receives no more.
    bool Open() const { return open_; }

    void BeforeReceive()
    {
        if (conversation_ && kind_ == Pieces)
            conversation_->Arm(QDeadlineTimer(ServerDeadlines.ProgressMs.load()));
    }
    // A byte has come: a command line runs from here on. False as Open().
    bool Received()
    {
        if (!conversation_ || kind_ != Command)
            return true;
        kind_ = Whole;
        open_ = conversation_->EndCommandWait();
        conversation_->Arm(QDeadlineTimer(ServerDeadlines.ElementMs.load()));
        return open_;
    }

private:
    ServedConversation *const conversation_;
    Kind kind_;
    bool open_ = true;
};

// Sends len bytes in calls of at most piece bytes.
bool SendAll(plat::SOCKET s, const char *data, int len, int piece, const char *what)
{
    for (int sent = 0; sent < len;) {
        const int count = std::min(piece, len - sent);
        if (plat::send(s, data + sent, count, 0) != count) {
            LogSocketError(s, what);
            return false;
        }
        sent += count;
    }
    return true;
}

// Receives exactly len bytes in calls of at most piece bytes; received tells
// how many arrived, also on failure.
bool RecvAll(plat::SOCKET s, char *data, int len, int piece, ReceiveWait::Kind kind, const char *what, int &received)
{
    ReceiveWait wait(s, kind);
    for (received = 0; received < len;) {
        wait.BeforeReceive();
        const int n = plat::recv(s, data + received, std::min(piece, len - received), 0);
        if (n <= 0) {
            n < 0 ? LogSocketError(s, what) : LogClosed(s, what);
            return false;
        }
        received += n;
    }
    return true;
}

// Shows a transfer in its widgets, from whatever thread moves the data: the
// bar spans the total, shows while the transfer runs and hides at its end.
class ProgressShow {
public:
    ProgressShow(const TransferProgress *progress, qint64 total)
        : active_(progress != nullptr), widgets_(progress ? *progress : TransferProgress{})
    {
        if (!active_)
            return;
        plat::RunOnGuiThread([w = widgets_, total] {
            if (!w.bar)
                return;
            w.bar->setRange(0, int(total));
            w.bar->setValue(0);
            w.bar->show();
        });
        tick_.start();
    }
    ~ProgressShow()
    {
        if (active_)
            plat::RunOnGuiThread([w = widgets_] {
                if (w.bar)
                    w.bar->hide();
            });
    }
    ProgressShow(const ProgressShow &) = delete;
    ProgressShow &operator=(const ProgressShow &) = delete;

    // A chunk of bytes went through; done is the total so far.
    void add(qint64 bytes, qint64 done)
    {
        if (!active_)
            return;
        count_ += bytes;
        QString rate;
        const qint64 elapsed = tick_.elapsed();
        if (elapsed > RateIntervalMs) {
            rate = QStringLiteral("%1").arg(double(count_) / double(elapsed) * 1000.0 / 1024.0, 8, 'f', 3);
            count_ = 0;
            tick_.restart();
        }
        plat::RunOnGuiThread([w = widgets_, rate, done] {
            if (!rate.isNull() && w.rateLabel)
                w.rateLabel->setText(rate);
            if (w.bar)
                w.bar->setValue(int(done));
        });
    }

private:
    bool active_;
    TransferProgress widgets_;
    QElapsedTimer tick_;
    qint64 count_ = 0;
};

// Starts writing a received file back to the disk while it still arrives, a
// piece at a time, so that a receiver that makes the file durable at its end
// (a TEL's file, before its record is stored) waits only for the last piece:
// the disk works while the network does, instead of after it. Nothing here
// waits for the disk; a failure of it shows in the write or the receiver's
// sync.
class WriteBehind {
public:
    explicit WriteBehind(QFile &file) : file_(file), from_(file.pos()) {}

    // count more bytes were written; false when they cannot be handed on.
    bool add(qint64 count)
    {
        pending_ += count;
        if (pending_ < FileWriteBackBytes)
            return true;
        if (!file_.flush())
            return false;
        if (file_.handle() >= 0)
            ::sync_file_range(file_.handle(), from_, pending_, SYNC_FILE_RANGE_WRITE);
        from_ += pending_;
        pending_ = 0;
        return true;
    }

private:
    QFile &file_;
    qint64 from_;
    qint64 pending_ = 0;
};

void WaitBeforeOpenRetry()
{
    if (!plat::IsGuiThread()) {
        QThread::msleep(OpenRetryMs);
        return;
    }
    const QDeadlineTimer deadline(OpenRetryMs);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents();
        QThread::msleep(10);
    }
}

// Another program may hold the file for a moment; it is not waited for without end.
bool OpenForReading(QFile &file)
{
    for (int attempt = 1;; ++attempt) {
        if (file.open(QIODevice::ReadOnly))
            return true;
        if (attempt == OpenTries)
            return false;
        WaitBeforeOpenRetry();
    }
}

// Reads up to max bytes at offset, with the file open only for this read.
// -1 when it cannot be opened or read.
qint64 ReadChunk(const QString &fileName, qint64 offset, char *data, qint64 max)
{
    QFile file(fileName);
    if (!OpenForReading(file) || !file.seek(offset))
        return -1;
    return file.read(data, max);
}

} // namespace

ServerDeadlineTimes ServerDeadlines;

namespace {
// The innermost conversation the calling thread serves.
thread_local ServedConversation *servedHere = nullptr;

// Every served conversation by its socket, for the connection table's
// threads; the lock also guards each one's wait between commands.
std::mutex ServedLock;
std::unordered_map<plat::SOCKET, ServedConversation *> ServedBySocket;

qint64 Now()
{
    return QDeadlineTimer::current().deadline();
}
} // namespace

ServedConversation::ServedConversation(plat::SOCKET s, const sockaddr_in &peer)
    : socket_(s),
      peer_(plat::inet_ntoa(peer.sin_addr.s_addr)),
      handshake_(ServerDeadlines.HandshakeMs.load()),
      outer_(servedHere)
{
    servedHere = this;
    Arm(QDeadlineTimer(QDeadlineTimer::Forever));
    std::lock_guard guard(ServedLock);
    ServedBySocket[s] = this;
}

ServedConversation::~ServedConversation()
{
    {
        std::lock_guard guard(ServedLock);
        if (const auto it = ServedBySocket.find(socket_); it != ServedBySocket.end() && it->second == this)
            ServedBySocket.erase(it);
    }
    servedHere = outer_;
    plat::SetReceiveDeadline(socket_, QDeadlineTimer(QDeadlineTimer::Forever));
}

void ServedConversation::EndHandshake()
{
    handshake_ = QDeadlineTimer(QDeadlineTimer::Forever);
    Arm(handshake_);
}

ServedConversation *ServedConversation::Of(plat::SOCKET s)
{
    for (ServedConversation *c = servedHere; c; c = c->outer_)
        if (c->socket_ == s)
            return c;
    return nullptr;
}

void ServedConversation::Arm(QDeadlineTimer wait)
{
    // Once dropped, the conversation receives nothing more.
    armed_ = dropped_ || evicted_ ? QDeadlineTimer(0) : std::min(wait, handshake_);
    plat::SetReceiveDeadline(socket_, armed_);
}

void ServedConversation::LogFailure(const char *what, int error, const QString &line)
{
    if (dropped_ || evicted_)
        return;
    // Compared in whole milliseconds, as the socket layer keeps the deadline.
    QString shown = line;
    if (error == plat::WSAETIMEDOUT && QDeadlineTimer::current().deadline() >= armed_.deadline()) {
        dropped_ = true;
        Arm(armed_);
        shown = QStringLiteral("*** ") + QLatin1String(what) + QStringLiteral(" *** Deadline passed : ") + peer_ +
                QStringLiteral(" dropped");
    }
    // Only the same line from the same peer is held back: each kind of failure shows.
    SummarizeLog(ALPHA, shown, peer_, shown);
}

bool ServedConversation::BeginCommandWait()
{
    std::lock_guard guard(ServedLock);
    if (evicted_)
        return false;
    waitingSince_ = Now();
    return true;
}

bool ServedConversation::EndCommandWait()
{
    std::lock_guard guard(ServedLock);
    waitingSince_ = -1;
    return !evicted_;
}

plat::SOCKET ServedConversation::EvictLongestWaiting(std::span<const plat::SOCKET> sockets)
{
    plat::SOCKET evicted = plat::INVALID_SOCKET;
    {
        std::lock_guard guard(ServedLock);
        ServedConversation *longest = nullptr;
        for (const plat::SOCKET s : sockets) {
            const auto it = ServedBySocket.find(s);
            ServedConversation *c = it == ServedBySocket.end() ? nullptr : it->second;
            if (c && c->waitingSince_ >= 0 && !c->evicted_ && (!longest || c->waitingSince_ < longest->waitingSince_))
                longest = c;
        }
        if (!longest)
            return plat::INVALID_SOCKET;
        // Decided under the lock: a conversation whose command has begun is
        // never taken.
        longest->evicted_ = true;
        longest->waitingSince_ = -1;
        evicted = longest->socket_;
    }
    // Wakes its thread from the wait. A handle is never given out twice, so
    // this is safe also when that thread has closed it meanwhile.
    plat::shutdown(evicted, SHUT_RDWR);
    return evicted;
}

quint32 HostToAddr(const QString &text)
{
    if (text.size() > MaxAddressText)
        return INADDR_NONE;
    return plat::inet_addr(text);
}

void PrepareOlcpSocket(plat::SOCKET s)
{
    // A silent peer must not hold the conversation's thread or window for ever.
    plat::SetReceiveTimeout(s, TimeOutValue);
    // Conversations are short lines that wait for an answer: sent at once,
    // not held back for the peer's delayed acknowledgement.
    const int on = 1;
    plat::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

bool PeerEnded(plat::SOCKET s)
{
    unsigned long nonBlocking = 1;
    plat::ioctlsocket(s, FIONBIO, &nonBlocking);
    char byte = 0;
    const int n = plat::recv(s, &byte, 1, MSG_PEEK);
    const bool ended = n == 0 || (n < 0 && plat::WSAGetLastError() != plat::WSAEWOULDBLOCK);
    nonBlocking = 0;
    plat::ioctlsocket(s, FIONBIO, &nonBlocking);
    return ended;
}

plat::SOCKET ConnectServer(int socketType, const QString &serviceName, const QString &protocolName,
                           int &errorCode, const QString &hostAddress, quint16 defaultPort,
                           plat::SOCKET *connecting)
{
    errorCode = 0;
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = HostToAddr(hostAddress);

    const plat::SOCKET s = plat::socket(AF_INET, socketType, 0);
    if (s == plat::INVALID_SOCKET) {
        errorCode = plat::WSAGetLastError();
        LogSocketError(s, "socket", errorCode);
        return plat::INVALID_SOCKET;
    }
    WriteLog(BETA, QStringLiteral("Client Socket = ") + QString::number(s));

    const quint16 port = plat::GetServicePort(serviceName, protocolName, defaultPort);
    WriteLog(BETA, QStringLiteral("Server Port   = ") + QString::number(port));
    server.sin_port = qToBigEndian(port);
    // Set before the connect, which then gives up after the same time.
    PrepareOlcpSocket(s);

    if (connecting)
        *connecting = s;
    if (plat::connect(s, reinterpret_cast<const sockaddr *>(&server), sizeof server) == plat::SOCKET_ERROR) {
        errorCode = plat::WSAGetLastError();
        LogSocketError(s, "connect", errorCode);
        plat::closesocket(s); // a handle is never reused: harmless when the break closed it already
        if (connecting)
            *connecting = plat::INVALID_SOCKET;
        return plat::INVALID_SOCKET;
    }
    sockaddr_in local{};
    int localLength = sizeof local;
    plat::getsockname(s, reinterpret_cast<sockaddr *>(&local), &localLength);
    WriteLog(BETA, QStringLiteral("Client Port   = ") + QString::number(qFromBigEndian(local.sin_port)));
    WriteLog(ALPHA, QStringLiteral("\r\nSuccess connect !!"));
    return s;
}

bool SendString(plat::SOCKET s, const QByteArray &line)
{
    QByteArray bytes = line;
    if (const qsizetype nul = bytes.indexOf('\0'); nul >= 0)
        bytes.truncate(nul);
    if (bytes.size() > MaxSendLineBytes) {
        LogFailure(s, "send[String]", QStringLiteral("Line too long (%1 bytes)").arg(bytes.size()));
        return false;
    }
    return SendAll(s, bytes.constData(), int(bytes.size()), MaxSendLineBytes, "send[String]");
}

bool SendString(plat::SOCKET s, const QString &line)
{
    return SendString(s, plat::ToCp932(line));
}

namespace {

bool RecvLine(plat::SOCKET s, QByteArray &line, ReceiveWait::Kind kind)
{
    line.clear();
    QByteArray received;
    received.reserve(MaxRecvLineBytes);
    ReceiveWait wait(s, kind);
    // A conversation that gave its slot away fails quietly: its drop is logged.
    if (!wait.Open())
        return false;
    for (;;) {
        char c = 0;
        const int n = plat::recv(s, &c, 1, 0);
        if (n < 0) {
            LogSocketError(s, "recv[String]");
            return false;
        }
        // A peer that closed will send no CR, nor one after the longest line.
        if (n == 0 || (c != CR && received.size() == MaxRecvLineBytes)) {
            LogFailure(s, "recv[String]", QStringLiteral("Infinite Loop (Failure?)"));
            return false;
        }
        if (!wait.Received())
            return false;
        if (c == CR)
            break;
        received.append(c);
    }
    if (const qsizetype nul = received.indexOf('\0'); nul >= 0)
        received.truncate(nul);
    line = received;
    return true;
}

} // namespace

bool RecvString(plat::SOCKET s, QByteArray &line)
{
    return RecvLine(s, line, ReceiveWait::Whole);
}

bool RecvCommand(plat::SOCKET s, QByteArray &line)
{
    return RecvLine(s, line, ReceiveWait::Command);
}

bool RecvString(plat::SOCKET s, QString &line)
{
    QByteArray bytes;
    const bool ok = RecvString(s, bytes);
    line = plat::FromCp932(bytes);
    return ok;
}

bool SendRecvString(plat::SOCKET s, const QByteArray &line, QByteArray &reply)
{
    return SendString(s, line) && RecvString(s, reply);
}

bool SendRecvString(plat::SOCKET s, const QString &line, QString &reply)
{
    return SendString(s, line) && RecvString(s, reply);
}

bool SendInteger(plat::SOCKET s, qint32 value)
{
    const qint32 cell = qToBigEndian(value);
    return SendAll(s, reinterpret_cast<const char *>(&cell), sizeof cell, sizeof cell, "send[Integer]");
}

bool RecvInteger(plat::SOCKET s, qint32 &value)
{
    value = 0;
    char cell[4] = {};
    int received = 0;
    if (!RecvAll(s, cell, sizeof cell, sizeof cell, ReceiveWait::Whole, "recv[Integer]", received))
        return false;
    value = qFromBigEndian<qint32>(cell);
    return true;
}

bool SendFile(plat::SOCKET s, const QString &fileName, qint64 startOffset, qint64 &size)
{
    return SendFileProgress(s, fileName, startOffset, nullptr, size);
}

bool SendFileProgress(plat::SOCKET s, const QString &fileName, qint64 startOffset,
                      const TransferProgress *progress, qint64 &size)
{
    if (!QFileInfo::exists(fileName)) {
        size = 0;
        return SendInteger(s, 0);
    }
    qint64 fileSize = 0;
    {
        QFile file(fileName);
        if (!OpenForReading(file)) {
            LogFailure(s, "send[File]", QStringLiteral("Cannot open : ") + fileName);
            return false;
        }
        fileSize = file.size();
    }
    if (size == -1)
        size = fileSize;
    // Refused before the count goes out, so the stream stays in step.
    if (fileSize > MaxFileBytes || size < 0 || size > MaxFileBytes || startOffset < 0) {
        LogFailure(s, "send[File]", QStringLiteral("Too large : ") + fileName);
        return false;
    }
    if (!SendInteger(s, qint32(size)))
        return false;

    ProgressShow shown(progress, fileSize);
    std::array<char, FileChunkBytes> chunk;
    qint64 offset = startOffset;
    for (qint64 sent = 0; sent < size;) {
        const qint64 count = ReadChunk(fileName, offset, chunk.data(), std::min<qint64>(size - sent, FileChunkBytes));
        if (count <= 0) {
            // The peer waits for bytes that will not come: the conversation is lost.
            LogFailure(s, "send[File]", (count < 0 ? QStringLiteral("Cannot read : ")
                                                : QStringLiteral("File ended early : ")) + fileName);
            return false;
        }
        offset += count;
        if (!SendAll(s, chunk.data(), int(count), int(count), "send[File]"))
            return false;
        sent += count;
        shown.add(count, sent);
        ProcessEventsOnGuiThread();
    }
    return true;
}

bool RecvFile(plat::SOCKET s, QFile &openFile, qint64 &size)
{
    return RecvFileProgress(s, openFile, size, nullptr);
}

bool RecvFileProgress(plat::SOCKET s, QFile &openFile, qint64 &size, const TransferProgress *progress)
{
    qint32 announced = 0;
    const bool ok = RecvInteger(s, announced);
    size = announced;
    if (!ok)
        return false;
    if (announced < 0) {
        LogFailure(s, "recv[File]", QStringLiteral("Bad size = ") + QString::number(announced));
        return false;
    }
    if (announced == 0)
        return true;

    ProgressShow shown(progress, announced);
    WriteBehind written(openFile);
    std::array<char, FileChunkBytes> chunk;
    ReceiveWait wait(s, ReceiveWait::Pieces);
    for (qint64 received = 0; received < announced;) {
        wait.BeforeReceive();
        const int n = plat::recv(s, chunk.data(), int(std::min<qint64>(announced - received, FileChunkBytes)), 0);
        if (n <= 0) {
            n < 0 ? LogSocketError(s, "recv[File]") : LogClosed(s, "recv[File]");
            return false;
        }
        if (openFile.write(chunk.data(), n) != n || !written.add(n)) {
            LogFailure(s, "recv[File]", QStringLiteral("Write error : ") + openFile.errorString());
            return false;
        }
        received += n;
        shown.add(n, received);
        ProcessEventsOnGuiThread();
    }
    // A full disk may show only when the file's own buffer is written out.
    if (!openFile.flush()) {
        LogFailure(s, "recv[File]", QStringLiteral("Write error : ") + openFile.errorString());
        return false;
    }
    return true;
}

bool SendBuf(plat::SOCKET s, const QByteArray &buffer, int length)
{
    if (length < 0 || length > MaxBufBytes || length > buffer.size()) {
        LogFailure(s, "send[Buf]", QStringLiteral("Bad length = ") + QString::number(length));
        return false;
    }
    return SendInteger(s, length) && SendAll(s, buffer.constData(), length, BufPieceBytes, "send[Buf]");
}

bool RecvBuf(plat::SOCKET s, QByteArray &buffer, int &length, int capacity)
{
    buffer.clear();
    qint32 announced = 0;
    const bool ok = RecvInteger(s, announced);
    length = announced;
    if (!ok || announced < 1)
        return ok;
    // The bytes and the NUL after them must fit the caller's buffer.
    if (announced > std::min(MaxBufBytes, capacity - 1)) {
        LogFailure(s, "recv[Buf]", QStringLiteral("Bad length = ") + QString::number(announced));
        return false;
    }
    buffer.resize(announced);
    int received = 0;
    const bool complete = RecvAll(s, buffer.data(), announced, BufPieceBytes, ReceiveWait::Pieces, "recv[Buf]", received);
    buffer.truncate(received);
    return complete;
}
