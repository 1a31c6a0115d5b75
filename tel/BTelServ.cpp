#include "tel/BTelServ.h"

#include "core/BClient.h"
#include "core/BCommon.h"
#include "core/BHostlst.h"
#include "core/BLookup.h"
#include "core/BRegistr.h"
#include "core/BServer.h"
#include "core/BTcpServ.h"
#include "core/BUdpServ.h"
#include "platform/Cp932.h"
#include "platform/DayDate.h"
#include "platform/RecordFile.h"
#include "platform/Sound.h"
#include "platform/WinMessages.h"
#include "tel/BTelLog.h"

#include <QByteArrayView>
#include <QDateTime>
#include <QElapsedTimer>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <set>
#include <utility>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

std::atomic<std::uint8_t> TelServerEnabled{0};
qint32 WaitingTels = -1;

namespace {

constexpr char Ack[] = "ACK\r";
constexpr char Nak[] = "NAK\r";
// Byte lengths of the host record fields that "FORWARD" replaces.
constexpr int AddressTextBytes = 16;
constexpr int HandleBytes = 32;

// ---- what a body holds -------------------------------------------------------

// A body that opens a group and names the rich text format before its first
// NUL (what follows a NUL is no longer text).
bool IsRichText(const QByteArray &body)
{
    if (!body.startsWith('{'))
        return false;
    const qsizetype nul = body.indexOf('\0');
    const QByteArrayView text(body.constData(), nul < 0 ? body.size() : nul);
    return text.contains("\\rtf") || text.contains("\\RTF");
}

bool IsHtml(const QByteArray &body)
{
    QByteArray head = body.left(10);
    for (char &c : head)
        if (c >= 'a' && c <= 'z')
            c = char(c - 'a' + 'A');
    return head.startsWith("<!DOCTYPE") || head.startsWith("<HTML");
}

// One text block of at most MaxTelBody bytes. A negative count is no text:
// the peer is out of step with the conversation.
bool RecvTelBody(plat::SOCKET socket, QByteArray &body)
{
    int length = 0;
    if (!RecvBuf(socket, body, length, MaxTelBody + 1))
        return false;
    if (length < 0) {
        WriteLog(ALPHA, QStringLiteral("*** recv[Buf] *** Bad length = ") + QString::number(length));
        return false;
    }
    return true;
}

bool RecvTelText(plat::SOCKET socket, MessageRecord &record, QByteArray &body)
{
    if (!RecvTelBody(socket, body))
        return false;
    record.Title = QString::fromLatin1(TelTitle::RecvText);
    record.Flags = 0;
    record.Bytes = body.size();
    // An earlier file TEL of the conversation left these.
    record.FileName.clear();
    record.AuxText2.clear();
    if (IsRichText(body))
        record.Flags |= MessageRecord::RichFlag;
    if (IsHtml(body))
        record.Flags |= MessageRecord::HtmlFlag;
    if (record.Channel != 0) {
        record.Title += QLatin1String(TelTitle::SerialChat);
        record.Flags |= MessageRecord::SerialFlag;
    }
    if (record.Forwarded != 0)
        record.Title += QLatin1String(TelTitle::ForwardTel);
    return true;
}

// ---- received files ----------------------------------------------------------

// Files being received lie in the TEL folder under a hidden temporary name,
// created exclusively and held under a lock for the whole transfer, and get
// their own name only when complete: a transfer that breaks, even by a kill,
// never leaves a partial file under the name the sender chose.
constexpr char PartPrefix[] = ".kalvex-part-";

bool IsPartName(const QString &name)
{
    return name.startsWith(QLatin1String(PartPrefix));
}

// The text as the log shows it: a peer's control characters never reach it.
QString Printable(const QString &text)
{
    QString shown = text;
    for (QChar &c : shown)
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            c = u'?';
    return shown;
}

QString FileLine(const QString &name, const QString &what)
{
    return QStringLiteral("... File \"") + Printable(name) + QStringLiteral("\" : ") + what + QStringLiteral(" ...");
}

QString ErrnoText()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// One received file on its way into the TEL folder.
class PartFile {
public:
    PartFile() = default;
    PartFile(const PartFile &) = delete;
    PartFile &operator=(const PartFile &) = delete;
    // A transfer that did not reach Commit leaves nothing behind.
    ~PartFile()
    {
        File.close();
        if (!PartPath.isEmpty())
            ::unlink(QFile::encodeName(PartPath).constData());
    }

    // Checks the announced name and opens the temporary for it. On refusal,
    // reason is the log line.
    bool Open(const QString &name, QString &reason)
    {
        if (SafeBaseName(name).isEmpty() || IsPartName(name)) {
            reason = FileLine(name, QStringLiteral("unsafe name"));
            return false;
        }
        // One folder for the whole transfer, whatever the settings do meanwhile.
        Folder = TelegDirectory;
        Path = Folder + QLatin1Char('/') + name;
        struct stat existing;
        if (::lstat(QFile::encodeName(Path).constData(), &existing) == 0 || errno != ENOENT) {
            reason = FileLine(name, QStringLiteral("cannot Rewrite"));
            return false;
        }
        for (int attempt = 0; attempt < 8; ++attempt) {
            const QString part = Folder + QLatin1Char('/') + QLatin1String(PartPrefix) +
                                 QString::number(QRandomGenerator::system()->generate64(), 16);
            const int fd = ::open(QFile::encodeName(part).constData(),
                                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
            if (fd < 0 && errno == EEXIST)
                continue;
            if (fd < 0)
                break;
            PartPath = part;
            // Held until the file is closed: start-up removes only what no transfer holds.
            if (::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
                File.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle))
                return true;
            ::close(fd);
            break;
        }
        reason = FileLine(name, QStringLiteral("cannot Create (") + ErrnoText() + u')');
        return false;
    }

    QFile &Data() { return File; }

    // Makes the complete file durable and gives it its name, never replacing
    // a file that took the name meanwhile; the name is durable too before the
    // record that names it is stored. Most of the file went to the disk while
    // it arrived (RecvFile), so the sync waits for little more than its end.
    bool Commit(const QString &name, QString &reason)
    {
        if (!File.flush() || !plat::SyncFile(File.handle())) {
            reason = FileLine(name, QStringLiteral("cannot Write (") + ErrnoText() + u')');
            return false;
        }
        if (::link(QFile::encodeName(PartPath).constData(), QFile::encodeName(Path).constData()) != 0) {
            reason = FileLine(name, errno == EEXIST ? QStringLiteral("cannot Rewrite")
                                                    : QStringLiteral("cannot Create (") + ErrnoText() + u')');
            return false;
        }
        File.close();
        ::unlink(QFile::encodeName(PartPath).constData());
        PartPath.clear();
        plat::SyncFolder(Folder);
        return true;
    }

private:
    QFile File;
    QString Folder, Path, PartPath;
};

// Receives one announced file into the TEL folder and fills the record for
// it. False when the name was refused, the transfer broke or the file could
// not be kept.
bool RecvTelFile(plat::SOCKET socket, MessageRecord &record)
{
    QByteArray nameBytes;
    if (!RecvString(socket, nameBytes))
        return false;
    const QString name = plat::FromCp932(nameBytes);
    PartFile part;
    QString reason;
    if (!part.Open(name, reason)) {
        if (SendString(socket, Nak))
            WriteLog(ALPHA, reason);
        return false;
    }
    if (!SendString(socket, Ack))
        return false;
    WriteLog(ALPHA, QStringLiteral("Receiving file ..."));
    QElapsedTimer timer;
    timer.start();
    qint64 size = 0;
    const bool received = RecvFile(socket, part.Data(), size);
    const qint64 elapsed = timer.elapsed();
    if (!received)
        return false;
    if (!part.Commit(name, reason)) {
        WriteLog(ALPHA, reason);
        return false;
    }
    const QString rate = RateText(size, elapsed);
    record.Title = TelTitle::RecvFile(rate);
    record.Flags = MessageRecord::FileFlag | (record.Flags & MessageRecord::SerialFlag);
    record.Bytes = static_cast<std::int32_t>(size);
    record.AuxText2 = rate;
    record.FileName = name;
    return true;
}

// ---- the command loop ----------------------------------------------------------

// "FORWARD": the first sender's address and handle, then the text. They
// stand in for the connection's own for the rest of the conversation.
bool RecvForwardTel(plat::SOCKET socket, HostRecord &connection, MessageRecord &record, QByteArray &body)
{
    QByteArray address, handle;
    if (!RecvString(socket, address) || !RecvString(socket, handle))
        return false;
    connection.IpAddress = plat::CutText(address, AddressTextBytes);
    connection.Handle = plat::CutText(handle, HandleBytes);
    record.Forwarded = 1;
    return RecvTelText(socket, record, body);
}

// "FRPORT" (and "TOCH", which serial chat senders use alike): the serial
// chat channel, then the text.
bool RecvSerialTel(plat::SOCKET socket, MessageRecord &record, QByteArray &body)
{
    qint32 channel = 0;
    if (!RecvInteger(socket, channel))
        return false;
    record.Channel = static_cast<std::uint8_t>(channel & 0xFF);
    return RecvTelText(socket, record, body);
}

enum class Step { Failed, TelReceived, Nothing, Unknown };

Step Serve(plat::SOCKET socket, const QByteArray &command, HostRecord &connection, MessageRecord &record,
           QByteArray &body)
{
    bool ok;
    if (command == "FILE")
        ok = RecvTelFile(socket, record);
    else if (command == "TEXT")
        ok = RecvTelText(socket, record, body);
    else if (command == "FORWARD")
        ok = RecvForwardTel(socket, connection, record, body);
    else if (command == "FRPORT" || command == "TOCH")
        ok = RecvSerialTel(socket, record, body);
    else if (command == "STAY")
        return Step::Nothing;
    else
        return Step::Unknown;
    return ok ? Step::TelReceived : Step::Failed;
}

QString NowText()
{
    const QDateTime now = QDateTime::currentDateTime();
    return plat::FormatShortDate(now) + QLatin1Char(' ') + plat::FormatLongTime(now);
}

void LogAnswer(const HostRecord &connection, const char *answer)
{
    LogBanner(QStringLiteral("TEL      from  [[ ") + connection.IpAddress + QStringLiteral(" : ") +
              QString::number(connection.PeerPort) + QStringLiteral(" ]]  ") + connection.Handle +
              QStringLiteral("\r\nResponse: ") + QLatin1String(answer, 3) + QStringLiteral("  ") + NowText());
}

// ---- auto reply and forward ------------------------------------------------------

// Peers from this version on receive "FORWARD".
constexpr int ForwardVersion = 209;
constexpr int ForwardQuerySeconds = 3;

bool TelStillWaiting()
{
    std::lock_guard lock(WaitingTelsLock);
    return WaitingTels > 0;
}

// The handle is cut so that the mark always fits the handle field whole:
// only a whole mark tells the receiver not to answer.
QString MarkedHandle(const QString &handle)
{
    const int room = HandleBytes - int(sizeof AutoReplyMark - 1);
    return plat::CutText(handle, room) + QLatin1String(AutoReplyMark);
}

// The outgoing connections of auto replies and forwards, so that closing the
// program can wake a follow-up that waits on a silent peer.
std::mutex FollowUpSocketsLock;
std::set<plat::SOCKET> FollowUpSockets;

// An outgoing follow-up connection, known to CloseFollowUpSockets for as long
// as it is open.
class FollowUpConnection {
public:
    explicit FollowUpConnection(const QString &address)
    {
        int error = 0;
        Socket = ConnectServer(SOCK_STREAM, QStringLiteral("olcp"), QStringLiteral("tcp"), error, address, OlcpPort);
        if (Socket != plat::INVALID_SOCKET) {
            std::lock_guard guard(FollowUpSocketsLock);
            FollowUpSockets.insert(Socket);
        }
    }
    ~FollowUpConnection()
    {
        if (Socket == plat::INVALID_SOCKET)
            return;
        {
            std::lock_guard guard(FollowUpSocketsLock);
            FollowUpSockets.erase(Socket);
        }
        plat::closesocket(Socket);
    }
    FollowUpConnection(const FollowUpConnection &) = delete;
    FollowUpConnection &operator=(const FollowUpConnection &) = delete;

    plat::SOCKET Socket = plat::INVALID_SOCKET;
};

QString AutoReplyMessageFile(int peerVersion)
{
    if (const QString file = AutoReplyFile; !file.isEmpty())
        return file;
    return peerVersion < RichTextVersion ? AutoReplyPlainFile : AutoReplyRichFile;
}

// The receiver takes the message as one text block of at most MaxTelBody
// bytes, so a larger file would break its conversation; and a missing file
// (no message saved yet) would arrive as an empty TEL that tells the sender
// nothing. Neither is sent.
bool ReadAutoReplyMessage(const QString &path, QByteArray &message)
{
    QFile file(path);
    const auto refuse = [&path](const QString &why) {
        WriteLog(ALPHA, QStringLiteral("... AutoReply message \"") + path + QStringLiteral("\" : ") + why +
                            QStringLiteral(" ..."));
        return false;
    };
    if (!file.open(QIODevice::ReadOnly))
        return refuse(QStringLiteral("cannot Read"));
    message = file.read(MaxTelBody + 1);
    if (file.error() != QFileDevice::NoError)
        return refuse(QStringLiteral("cannot Read"));
    if (message.size() > MaxTelBody)
        return refuse(QStringLiteral("over %1 Bytes").arg(MaxTelBody));
    return true;
}

// A TEL of a follow-up that its receiver did not confirm after "OFF".
void LogNotDelivered(const QString &what, const QString &address)
{
    WriteLog(ALPHA, QStringLiteral("... TEL Troubled (Remote Host) ..."));
    WriteLog(ALPHA, QStringLiteral("... ") + what + QStringLiteral(" to [[ ") + address +
                        QStringLiteral(" ]] not delivered ..."));
}

// After the receiver's "ACK": the message as a text block (the count, then
// the bytes: the same bytes the file element puts on the wire), then "OFF".
void SendAutoReplyMessage(plat::SOCKET s, const HostRecord &host)
{
    QByteArray message;
    if (!ReadAutoReplyMessage(AutoReplyMessageFile(PeerVersionNumber(host.OlcpVersion)), message)) {
        SendString(s, "OFF\r");
        return;
    }
    if (!SendString(s, "TEXT\r") || !SendBuf(s, message, int(message.size())))
        return;
    LogBanner(QStringLiteral("AutoReply done  ") + NowText() + QStringLiteral("  ") +
              QString::number(message.size()) + QStringLiteral("Bytes"));
    if (!SendOffConfirmed(s))
        LogNotDelivered(QStringLiteral("AutoReply"), host.IpAddress);
}

// The handshake and what follows its answer. A failed handshake has
// reported itself already.
void HoldAutoReply(plat::SOCKET s, HostRecord &host)
{
    QString answer;
    if (!ClientHandshake(s, QStringLiteral("TEL"), host, answer))
        return;
    if (answer == QLatin1String("ACK"))
        SendAutoReplyMessage(s, host);
    else if (answer == QLatin1String("CAN"))
        WriteLog(ALPHA, QStringLiteral("... Target TEL Server Busy ! ..."));
    else
        WriteLog(ALPHA, QStringLiteral("... TEL not serviced ! ..."));
}

// "FORWARD", the first sender's address and handle, the text (up to its first
// NUL) and "OFF". A file stays here: only a note with its name goes on.
void SendForwardedTel(plat::SOCKET s, const StoredTel &tel, const QString &target)
{
    const MessageRecord &r = tel.record;
    const QByteArray text = (r.Flags & MessageRecord::FileFlag)
                                ? plat::ToCp932(QStringLiteral("\r\n【ファイル受信】 << ") + r.FileName + QStringLiteral(" >>"))
                                : tel.body;
    const qsizetype nul = text.indexOf('\0');
    if (SendString(s, "FORWARD\r") &&
        SendString(s, plat::inet_ntoa(r.Address) + QLatin1Char('\r') + r.Handle + QLatin1Char('\r')) &&
        SendBuf(s, text, int(nul < 0 ? text.size() : nul)) && !SendOffConfirmed(s))
        LogNotDelivered(QStringLiteral("Forward"), target);
}

// Reads commands until "OFF" and stores each TEL. False when the
// conversation broke off or a TEL of it could not be stored (logged).
bool HoldTelConversation(plat::SOCKET socket, HostRecord &connection, MessageRecord &record, QByteArray &body,
                         const QString &deliveredBy)
{
    int stored = 0;
    bool unknownLogged = false;
    for (;;) {
        QByteArray command;
        // The sender's user may be typing the next TEL: the wait for a
        // command has no deadline of its own.
        if (!RecvCommand(socket, command))
            return false;
        if (command == "OFF")
            break;
        switch (Serve(socket, command, connection, record, body)) {
        case Step::Failed:
            return false;
        case Step::Nothing:
            continue;
        case Step::Unknown:
            // Read on: the next line may be a command again. Logged once, so
            // that a peer sending nonsense cannot fill the log.
            if (!std::exchange(unknownLogged, true))
                WriteLog(ALPHA, QStringLiteral("... Unknown TEL Command (Remote Host) : \"") +
                                    Printable(plat::FromCp932(command)) + QStringLiteral("\" ..."));
            continue;
        case Step::TelReceived:
            if (!StoreTel(connection, record, body, deliveredBy))
                return false;
            ++stored;
        }
    }
    if (stored == 0)
        WriteLog(ALPHA, QStringLiteral("... TEL Canceled (Remote Host) ..."));
    return true;
}

} // namespace

void ServeTel(plat::SOCKET socket, HostRecord &connection)
{
    // "FORWARD" replaces the connection's address with the first sender's.
    const QString deliveredBy = connection.IpAddress;
    // Cleared once: "FRPORT" and "FORWARD" hold for the rest of the conversation.
    MessageRecord record;
    QByteArray body;
    const bool enabled = TelServerEnabled != 0;
    const char *answer = enabled ? Ack : Nak;
    const bool answered = SendString(socket, answer);
    if (LogLebelNumber > ALPHA)
        LogAnswer(connection, answer);
    if (!enabled || !answered)
        return;
    if (HoldTelConversation(socket, connection, record, body, deliveredBy))
        return;
    // Only a conversation that reached "OFF" with every TEL stored is closed
    // cleanly: its sender takes that close as the TELs' delivery.
    ResetOnClose(socket);
}

bool RecvStayTelText(plat::SOCKET socket, MessageRecord &record, QByteArray &body)
{
    if (!RecvTelBody(socket, body))
        return false;
    record.Title = QString::fromLatin1(TelTitle::RecvStayText);
    record.Flags |= MessageRecord::StayFlag;
    record.Bytes = body.size();
    if (IsRichText(body))
        record.Flags |= MessageRecord::RichFlag;
    return true;
}

qint32 NotifyTelArrival(bool playChime)
{
    qint32 count;
    {
        std::lock_guard lock(WaitingTelsLock);
        // Before the start-up count (-1) an arrival still counts as the first.
        WaitingTels = std::max(WaitingTels, 0) + 1;
        count = WaitingTels;
    }
    // Handled at once on the GUI thread, posted to it from a server thread.
    plat::BroadcastToForms(WaitingTelsMessage, 0, count);
    if (playChime)
        plat::PlaySoundFile(ArrivalChime); // an empty setting beeps
    return count;
}

void SendAutoReply(const StoredTel &tel)
{
    if (!TelStillWaiting())
        return;
    if (tel.record.Handle.endsWith(QLatin1String(AutoReplyMark))) {
        WriteLog(BETA, QStringLiteral("... AutoReply skipped : TEL from an auto reply ..."));
        return;
    }
    // A first sender's address that did not read is stored as 0.0.0.0, which
    // a connect would take for this very machine.
    if (tel.record.Address == 0) {
        WriteLog(BETA, QStringLiteral("... AutoReply skipped : no sender address ..."));
        return;
    }
    const QString address = plat::inet_ntoa(tel.record.Address);
    HostRecord host;
    host.HostListIndex = FindHostRecord(address, 1, host);
    LogConnection(QStringLiteral("AutoReply"), address, host.Memo);
    host.Handle = MarkedHandle(host.Handle);
    host.IpAddress = address;
    const FollowUpConnection connection(address);
    if (connection.Socket == plat::INVALID_SOCKET)
        return;
    host.TelPassword = ZRA_VOLT;
    HoldAutoReply(connection.Socket, host);
}

void ForwardTel(const StoredTel &tel, const HostRecord &target)
{
    if (!TelStillWaiting())
        return;
    const quint32 to = HostToAddr(target.IpAddress);
    if (to == tel.record.Address || to == HostToAddr(tel.deliveredBy)) {
        WriteLog(BETA, QStringLiteral("... Forward skipped : [[ ") + target.IpAddress +
                           QStringLiteral(" ]] sent this TEL ..."));
        return;
    }
    int version = 0;
    if (!SendQuery(target.IpAddress, ForwardQuerySeconds, version) || version < ForwardVersion)
        return;
    LogConnection(QStringLiteral("Forward "), target.IpAddress,
                  QStringLiteral("from <<") + tel.record.Handle + QStringLiteral(">>"));
    const FollowUpConnection connection(target.IpAddress);
    if (connection.Socket == plat::INVALID_SOCKET)
        return;
    HostRecord host = target;
    QString answer;
    if (ClientHandshake(connection.Socket, QStringLiteral("TEL"), host, answer) && answer == QLatin1String("ACK"))
        SendForwardedTel(connection.Socket, tel, target.IpAddress);
}

void CloseFollowUpSockets()
{
    std::lock_guard guard(FollowUpSocketsLock);
    for (const plat::SOCKET s : FollowUpSockets)
        plat::closesocket(s);
}

void RemoveLeftoverTelParts()
{
    const QDir folder(TelegDirectory);
    const QStringList parts =
        folder.entryList({QLatin1String(PartPrefix) + u'*'}, QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : parts) {
        const QByteArray path = QFile::encodeName(folder.filePath(name));
        const int fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            continue;
        // A running transfer holds its lock; only what a killed one left is free.
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::unlink(path.constData()) == 0)
            WriteLog(BETA, QStringLiteral("Removed unfinished received file ") + name);
        ::close(fd);
    }
}
