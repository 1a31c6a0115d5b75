#include "core/BUdpServ.h"

#include "core/BCommon.h"
#include "core/BHostlst.h"
#include "core/BLookup.h"
#include "core/BRegistr.h"
#include "core/BServer.h"
#include "platform/Cp932.h"
#include "platform/DayDate.h"
#include "platform/WinMessages.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QMessageBox>

#include <arpa/inet.h>

#include <cstring>
#include <exception>

plat::SOCKET UdpServerSocket = plat::INVALID_SOCKET;
plat::SOCKET CgiSocket = plat::INVALID_SOCKET;
std::atomic<std::uint8_t> UdpServerAlive{0};
std::array<std::int32_t, ReplySlotCount> ReplySlots{};
plat::Synchronized<AccountListSeams> AccountListSeam;

namespace {

const QString BroadcastAddress = QStringLiteral("255.255.255.255");

// The three fields of a datagram's text.
struct Datagram {
    QString Version;
    QString Command;
    QString Rest;
};

QString Now()
{
    const QDateTime now = QDateTime::currentDateTime();
    return plat::FormatShortDate(now) + QLatin1Char(' ') + plat::FormatLongTime(now);
}

QString Number(qint64 n)
{
    return QString::number(n);
}

// The log line of a failed socket call, with the Windows Sockets number.
void LogSocketFailure(const char *what, int error, const QString &note = {})
{
    WriteLog(ALPHA, QStringLiteral("*** %1 *** Error code = %2").arg(QLatin1String(what)).arg(error) + note);
}

sockaddr_in AddressOf(quint32 address, quint16 port)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = address;
    to.sin_port = htons(port);
    return to;
}

// Sends text as one datagram of DatagramBytes, zeros after the text.
bool SendDatagram(plat::SOCKET s, const sockaddr_in &to, const QByteArray &text)
{
    if (text.size() > MaxDatagramText) {
        WriteLog(ALPHA, QStringLiteral("*** sendto *** Text too long = %1 bytes").arg(text.size()));
        return false;
    }
    char buffer[DatagramBytes] = {};
    std::memcpy(buffer, text.constData(), size_t(text.size()));
    if (plat::sendto(s, buffer, DatagramBytes, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to) ==
        plat::SOCKET_ERROR) {
        // Answers go to addresses that strangers name: summarized.
        SummarizeLog(ALPHA, QStringLiteral("sendto"), plat::inet_ntoa(to.sin_addr.s_addr),
                     QStringLiteral("*** sendto *** Error code = ") + Number(plat::WSAGetLastError()));
        return false;
    }
    return true;
}

// Takes the text before the first CR out of text, with the CR. Without a CR
// the field is empty and text stays whole.
QString TakeField(QString &text)
{
    const int cr = text.indexOf(QLatin1Char('\r'));
    if (cr < 0)
        return {};
    const QString field = text.left(cr);
    text.remove(0, cr + 1);
    return field;
}

Datagram SplitDatagram(QString text)
{
    Datagram d;
    d.Version = TakeField(text);
    d.Command = TakeField(text);
    if (text.endsWith(QLatin1Char('\r')))
        text.chop(1);
    d.Rest = text;
    return d;
}

void LogNoAccountList(const QString &command, const QString &sender)
{
    WriteLog(BETA, QStringLiteral("### ") + command + QStringLiteral(" ; ") + sender +
                       QStringLiteral(" : dropped, the account list does not take it yet"));
}

// ---- the handlers of the datagrams -----------------------------------------

void HandlePresenceReply(const QString &command, const QString &sender, const QString &rest, const QString &version)
{
    const auto onPresenceAnswer = AccountListSeam.value().OnPresenceAnswer;
    if (!onPresenceAnswer)
        return LogNoAccountList(command, sender);
    // The account list has released AccountListLock when it returns, so the
    // host list lock is never taken inside it the wrong way round.
    if (onPresenceAnswer(PresenceAnswer{command, sender, rest, version}))
        CheckOlcpVersion(0, sender, version);
}

// rest: IP address, user ID, handle and response time, CR-separated; the last
// field takes everything after the third CR.
void HandleMember(const QString &sender, const QString &rest)
{
    const auto onMember = AccountListSeam.value().OnMember;
    if (!onMember)
        return LogNoAccountList(QStringLiteral("MEMBER"), sender);
    QString text = rest;
    MemberEntry member;
    for (QString *field : {&member.IpAddress, &member.UserId, &member.Handle}) {
        const int cr = text.indexOf(QLatin1Char('\r'));
        *field = cr < 0 ? text : text.left(cr);
        text = cr < 0 ? QString() : text.mid(cr + 1);
    }
    member.ResponseTime = text;
    onMember(sender, member);
}

// A QUERY or SCAN costs a stranger a few bytes and its answer is a full
// datagram, to an address the stranger may forge: one address gets at most
// this many answers a second, of both kinds together. True when answer (the
// command sent) may go to address; a refusal is logged, summarized.
constexpr int MaxAnswersPerSecond = 20;

bool AdmitAnswer(const QString &address, const QString &answer)
{
    static RateWindows answers(MaxAnswersPerSecond);
    if (answers.Admit(address).admitted)
        return true;
    SummarizeLog(ALPHA, answer + QStringLiteral(" dropped"), address,
                 QStringLiteral("### ") + answer + QStringLiteral(" dropped ; ") + address +
                     QStringLiteral(" : over %1 a second").arg(MaxAnswersPerSecond));
    return false;
}

// rest: a user ID, CR, and a remainder that goes back in the answer.
void HandleScan(const QString &sender, const QString &rest)
{
    if (!ClientTimer)
        return;
    const auto hasAccountId = AccountListSeam.value().HasAccountId;
    if (!hasAccountId)
        return LogNoAccountList(QStringLiteral("SCAN"), sender);
    const int cr = rest.indexOf(QLatin1Char('\r'));
    const QString id = cr < 0 ? rest : rest.left(cr);
    const QString remainder = cr < 0 ? QString() : rest.mid(cr + 1);
    if (!hasAccountId(id) || !AdmitAnswer(sender, QStringLiteral("ENTITY")))
        return;
    const QString text = QLatin1String(OlcpVersionText) + QStringLiteral("\rENTITY\r") + id +
                         QStringLiteral("\rRe_Entity\r") + remainder + QLatin1Char('\r');
    SendUdpTo(sender, UdpServerPort, plat::ToCp932(text));
}

// 1 while a remote-message box is open: one at a time, so a stranger's
// stream of messages costs one box, not a window each.
std::atomic<bool> RemoteMessageOpen{false};

// Runs on the GUI thread. The text came from a stranger: plain text only, and
// the box is not modal, so nothing waits for it to be closed.
void ShowRemoteMessage(const QString &text)
{
    auto *box = new QMessageBox(QMessageBox::Information, QCoreApplication::applicationName(), text,
                                QMessageBox::Ok);
    box->setObjectName(QStringLiteral("RemoteMessageBox"));
    box->setTextFormat(Qt::PlainText);
    box->setModal(false);
    box->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(box, &QObject::destroyed, [] { RemoteMessageOpen = false; });
    box->show();
}

// Every message goes to the log; it opens a box only when none is open, so
// the UDP thread never queues more than one box for the GUI thread.
void HandleRemoteMessage(const QString &sender, const QString &text)
{
    SummarizeLog(ALPHA, QStringLiteral("RMTDISH"), sender, EscapeControls(text));
    bool open = false;
    if (RemoteMessageOpen.compare_exchange_strong(open, true))
        plat::PostToGuiThread([text] { ShowRemoteMessage(text); });
}

// A REPLY's rest names the slot of the query it answers. It is stored only in
// a slot 0..20 whose query still waits, and only a real version (above 0):
// anything else from the network must not free or fake a slot.
bool StoreReply(const QString &rest, const QString &version)
{
    if (rest.isEmpty() || rest.size() > 2)
        return false;
    const int slot = VersionNumber(rest);
    const int number = PeerVersionNumber(version);
    if (slot < 0 || slot >= ReplySlotCount || number <= 0)
        return false;
    std::lock_guard lock(ReplySlotsLock);
    if (ReplySlots[size_t(slot)] != -1)
        return false;
    ReplySlots[size_t(slot)] = number;
    return true;
}

// The answer goes back to the address and port the query came from.
void AnswerQuery(plat::SOCKET s, const sockaddr_in &sender, const QString &rest)
{
    if (!AdmitAnswer(plat::inet_ntoa(sender.sin_addr.s_addr), QStringLiteral("REPLY")))
        return;
    const QString slot = rest == QLatin1String("BROADCAST") ? QString() : rest;
    SendDatagram(s, sender, plat::ToCp932(QLatin1String(OlcpVersionText) + QStringLiteral("\rREPLY\r") + slot +
                                          QLatin1Char('\r')));
}

void Dispatch(plat::SOCKET s, const sockaddr_in &senderAddress, const Datagram &d)
{
    const QString sender = plat::inet_ntoa(senderAddress.sin_addr.s_addr);
    const QString &command = d.Command;
    if (command == QLatin1String("FROMCGI") || command == QLatin1String("QUIT") ||
        command == QLatin1String("PRESENCE") ||
        (command == QLatin1String("ENTITY") && d.Rest.contains(QLatin1Char('\r'))))
        return;
    if (command == QLatin1String("ACK") || command == QLatin1String("NAK"))
        return HandlePresenceReply(command, sender, d.Rest, d.Version);
    if (command == QLatin1String("MEMBER"))
        return HandleMember(sender, d.Rest);
    if (command == QLatin1String("SCAN"))
        return HandleScan(sender, d.Rest);
    if (command == QLatin1String("RMTDISH"))
        return HandleRemoteMessage(sender, d.Rest);
    int level = BETA;
    if (command == QLatin1String("REPLY") && !StoreReply(d.Rest, d.Version))
        level = ALPHA;
    SummarizeLog(level, EscapeControls(command), sender,
                 EscapeControls(QStringLiteral("### ") + command + QStringLiteral(" ; ") + sender +
                                QStringLiteral(" ; ") + d.Version + QStringLiteral(" ; ") + Now() +
                                QStringLiteral(" : ") + d.Rest),
                 true);
    if (command == QLatin1String("QUERY"))
        AnswerQuery(s, senderAddress, d.Rest);
}

// ---- reply slots -----------------------------------------------------------

// The first free slot, now marked waiting; -1 when all are taken.
int TakeReplySlot()
{
    std::lock_guard lock(ReplySlotsLock);
    for (int slot = 0; slot < ReplySlotCount; ++slot) {
        if (ReplySlots[size_t(slot)] == 0) {
            ReplySlots[size_t(slot)] = -1;
            return slot;
        }
    }
    return -1;
}

std::int32_t ReadReplySlot(int slot)
{
    std::lock_guard lock(ReplySlotsLock);
    return ReplySlots[size_t(slot)];
}

// Frees the slot and returns what it held, in one step, so that no answer
// slips in between.
std::int32_t FreeReplySlot(int slot)
{
    std::lock_guard lock(ReplySlotsLock);
    const std::int32_t value = ReplySlots[size_t(slot)];
    ReplySlots[size_t(slot)] = 0;
    return value;
}

void WaitForReply(int slot, int seconds)
{
    const bool gui = plat::IsGuiThread();
    QElapsedTimer waited;
    waited.start();
    while (ReadReplySlot(slot) <= 0 && waited.elapsed() <= qint64(seconds) * 1000) {
        QThread::msleep(1);
        if (gui)
            QCoreApplication::processEvents();
    }
}

// ---- sockets of the server -------------------------------------------------

bool OpenCgiSocket()
{
    const plat::SOCKET s = plat::socket(AF_INET, SOCK_DGRAM, 0);
    if (s == plat::INVALID_SOCKET) {
        LogSocketFailure("UDP Client socket", plat::WSAGetLastError());
        return false;
    }
    sockaddr_in address = AddressOf(INADDR_ANY, 0);
    int length = sizeof address;
    if (plat::bind(s, reinterpret_cast<const sockaddr *>(&address), sizeof address) == plat::SOCKET_ERROR ||
        plat::getsockname(s, reinterpret_cast<sockaddr *>(&address), &length) == plat::SOCKET_ERROR) {
        LogSocketFailure("UDP Client bind", plat::WSAGetLastError());
        plat::closesocket(s);
        return false;
    }
    CgiSocket = s;
    WriteLog(GAMMA, QStringLiteral("UDP to CGI Port   Number   = ") + Number(ntohs(address.sin_port)));
    WriteLog(GAMMA, QStringLiteral("UDP to CGI Socket Number   = ") + Number(s) + QStringLiteral("\r\n"));
    return true;
}

// The socket on port 8011, or INVALID_SOCKET after a logged failure.
plat::SOCKET OpenServerSocket()
{
    const plat::SOCKET s = plat::socket(AF_INET, SOCK_DGRAM, 0);
    if (s == plat::INVALID_SOCKET) {
        LogSocketFailure("UDP Server socket", plat::WSAGetLastError());
        return s;
    }
    WriteLog(GAMMA, QStringLiteral("UDP Server Port   Number   = ") + Number(UdpServerPort));
    WriteLog(GAMMA, QStringLiteral("UDP Server Socket Number   = ") + Number(s));
    const sockaddr_in address = AddressOf(INADDR_ANY, UdpServerPort);
    if (plat::bind(s, reinterpret_cast<const sockaddr *>(&address), sizeof address) == plat::SOCKET_ERROR) {
        const int error = plat::WSAGetLastError();
        LogSocketFailure("UDP Server bind", error,
                         error == plat::WSAEADDRINUSE ? QStringLiteral(" : 多重起動") : QString());
        plat::closesocket(s);
        return plat::INVALID_SOCKET;
    }
    const int on = 1;
    if (plat::setsockopt(s, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) == plat::SOCKET_ERROR) {
        LogSocketFailure("UDP setsocket", plat::WSAGetLastError());
        plat::closesocket(s);
        return plat::INVALID_SOCKET;
    }
    return s;
}

} // namespace

void StartUdpServer()
{
    if (!OpenCgiSocket())
        return;
    UdpServerAlive = 0;
    {
        std::lock_guard lock(ReplySlotsLock);
        ReplySlots.fill(0);
    }
    const plat::SOCKET s = OpenServerSocket();
    if (s == plat::INVALID_SOCKET)
        return;
    UdpServerSocket = s;
    const TBUdpServer *server = TBUdpServer::Create(s);
    LogBanner(QStringLiteral("UDP Server Thread ; Server_Socket: ") + Number(s) + QStringLiteral(" ; Thread_Handle: ") +
              Number(qint64(quintptr(server))) + QStringLiteral(" ; ") + Now());
}

bool SendUdpTo(const QString &hostAddress, quint16 port, const QByteArray &text)
{
    const quint32 address = HostToAddr(hostAddress);
    // HostToAddr's "no address" is the broadcast address itself.
    if (address == INADDR_NONE && hostAddress != BroadcastAddress) {
        WriteLog(ALPHA, QStringLiteral("*** sendto *** Invalid address = ") + hostAddress.left(MaxAddressText));
        return false;
    }
    return SendDatagram(UdpServerSocket, AddressOf(address, port), text);
}

bool SendQuery(const QString &hostAddress, int seconds, int &version)
{
    QByteArray text = QByteArray(OlcpVersionText) + "\rQUERY\r";
    if (seconds <= 0) {
        SendUdpTo(hostAddress, UdpServerPort, text + "\r");
        return false;
    }
    const int slot = TakeReplySlot();
    if (slot < 0)
        return false;
    if (SendUdpTo(hostAddress, UdpServerPort, text + QByteArray::number(slot) + "\r"))
        WaitForReply(slot, seconds);
    const std::int32_t answer = FreeReplySlot(slot);
    if (answer <= 0)
        return false;
    version = answer;
    return true;
}

bool SendRemoteRequest(const QString &hostAddress, const QByteArray &password)
{
    const QByteArray text = QByteArray(OlcpVersionText) + "\rREQUEST\r" + QByteArray::number(UdpServerPort) +
                            "\rKALVEX\r\r" + password + "\r";
    if (!SendUdpTo(hostAddress, RemoteDishPort, text))
        return false;
    WriteLog(ALPHA, plat::FormatLongTime(QDateTime::currentDateTime()) + QStringLiteral(" : Send REQUEST to Remote Dish"));
    return true;
}

// ---- the chain ---------------------------------------------------------------

TBUdpServer::TBUdpServer(plat::SOCKET socket) : Socket(socket) {}

TBUdpServer *TBUdpServer::Create(plat::SOCKET socket)
{
    auto *server = new TBUdpServer(socket);
    UdpServerAlive = 1;
    server->start();
    return server;
}

void TBUdpServer::run()
{
    bool goOn = true;
    try {
        goOn = Execute();
    } catch (const std::exception &e) {
        WriteLog(ALPHA, QStringLiteral("*** UDP Server *** ") + QString::fromLocal8Bit(e.what()));
    } catch (...) {
        WriteLog(ALPHA, QStringLiteral("*** UDP Server *** Unknown error"));
    }
    if (!goOn) {
        UdpServerAlive = 0;
        return;
    }
    const TBUdpServer *next = Create(Socket);
    WriteLog(GAMMA, QStringLiteral("\r\nUDP Thread_Handle = ") + Number(qint64(quintptr(next))));
}

bool TBUdpServer::Execute()
{
    char buffer[DatagramBytes];
    sockaddr_in sender{};
    int senderLength = sizeof sender;
    const int n = plat::recvfrom(Socket, buffer, DatagramBytes, 0, reinterpret_cast<sockaddr *>(&sender), &senderLength);
    if (n == plat::SOCKET_ERROR) {
        // Only a socket being closed ends the chain (10004 wakes a waiting
        // call, 10038 meets a call made after the close); an oversized
        // datagram (10040) or any other error is dropped.
        const int error = plat::WSAGetLastError();
        if (error == plat::WSAEINTR || error == plat::WSAENOTSOCK) {
            LogSocketFailure("UDP recvfrom", error, error == plat::WSAEINTR ? QStringLiteral(" : ソケット破棄") : QString());
            return false;
        }
        SummarizeLog(ALPHA, QStringLiteral("UDP recvfrom"), plat::inet_ntoa(sender.sin_addr.s_addr),
                     QStringLiteral("*** UDP recvfrom *** Error code = ") + Number(error));
        return true;
    }
    if (n == 0) {
        const QString address = plat::inet_ntoa(sender.sin_addr.s_addr);
        SummarizeLog(ALPHA, QStringLiteral("UDP empty"), address,
                     QStringLiteral("*** UDP recvfrom *** Empty datagram from ") + address);
        return true;
    }
    const QByteArray bytes(buffer, int(qstrnlen(buffer, size_t(n))));
    if (bytes.startsWith("OLCP"))
        Dispatch(Socket, sender, SplitDatagram(plat::FromCp932(bytes)));
    return true;
}
