#include "core/BClient.h"

#include "core/BCommon.h"
#include "core/BHostlst.h"
#include "core/BLookup.h"
#include "core/BPasswrd.h"
#include "core/BRegistr.h"
#include "core/BServer.h"
#include "core/BUdpServ.h"
#include "core/MessageRecord.h"
#include "platform/Cp932.h"
#include "platform/Sound.h"
#include "platform/WinMessages.h"
#include "tel/BAccLst.h"
#include "tel/BTelLog.h"
#include "tel/BTelServ.h"
#include "ui_BLookup.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QRegularExpression>
#include <QStatusBar>
#include <QThread>
#include <QtEndian>

#include <algorithm>

namespace {

// Peers below this version take passwords transformed, refuse "ACC", and
// send no user-ID line; Stay TEL items from them carry a file-name line.
constexpr int UserIdVersion = 203;
// Capacities of the HostRecord fields that the handshake fills.
constexpr int VersionBytes = 8, HandleBytes = 32, UserIdBytes = 8;
// What the log shows in place of a received password line.
constexpr char MaskedPassword[] = "********";
// The longest wait for a receiver's close after "OFF".
constexpr int MaxDeliveryWaitMs = 30000;

void ShowHostStatus(const HostRecord &host, const char *text)
{
    ShowMainStatus(host.IpAddress + QLatin1String(text));
}

// The lines the server receives are logged as they arrive; a password line
// only masked, so the log never holds a password.
bool RecvLogged(plat::SOCKET s, QByteArray &line, bool secret = false)
{
    if (!RecvString(s, line))
        return false;
    WriteLog(GAMMA, secret ? QString::fromLatin1(MaskedPassword) : plat::FromCp932(line));
    return true;
}

// Both sides compare the ConvertPassword form: an older peer sends the
// password as typed. An empty TELPW lets everybody in; the reply word always.
bool TelPasswordAccepted(const QByteArray &line, int peerVersion)
{
    const QByteArray compared = peerVersion < UserIdVersion ? ConvertPassword(line) : line;
    const QByteArray password = TELPW;
    return password.isEmpty() || compared == password || line == ZRA_VOLT;
}

// The header lines of one Stay TEL item after its user ID line.
bool RecvStayHeader(plat::SOCKET s, int serverVersion, MessageRecord &record)
{
    QString line;
    if (serverVersion < UserIdVersion) {
        if (!RecvString(s, line))
            return false;
        // Kept as it came: whoever uses it as a path checks it there.
        record.FileName = plat::CutText(line, MessageRecordCapacity::FileName);
    }
    if (!RecvString(s, line))
        return false;
    record.Handle = line;
    if (!RecvString(s, line))
        return false;
    record.DateTime = ParseDateText(line);
    return true;
}

// Reads (and drops) whatever still comes until the peer's close. True for a
// clean close within the time, false for a reset, a failure or the time-out.
bool AwaitPeerClose(plat::SOCKET s, int milliseconds)
{
    QElapsedTimer waited;
    waited.start();
    char chunk[256];
    for (qint64 left = milliseconds; left > 0; left = milliseconds - waited.elapsed()) {
        plat::SetReceiveTimeout(s, int(left));
        const int n = plat::recv(s, chunk, sizeof chunk, 0);
        if (n <= 0)
            return n == 0;
    }
    return false;
}

} // namespace

void ResetOnClose(plat::SOCKET s)
{
    const linger reset{1, 0};
    plat::setsockopt(s, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
}

bool SendOffConfirmed(plat::SOCKET s)
{
    // A receiver closes only after "OFF": a close (or reset) that is already
    // there before it was sent means the receiver died or gave up.
    if (PeerEnded(s) || !SendString(s, "OFF\r") || plat::shutdown(s, SHUT_WR) != 0)
        return false;
    return AwaitPeerClose(s, TimeOutValue > 0 ? std::min(TimeOutValue, MaxDeliveryWaitMs) : MaxDeliveryWaitMs);
}

bool IsLightEdition(const QString &storedVersion)
{
    return storedVersion.size() == VersionBytes && storedVersion.endsWith(QLatin1Char('L'));
}

void OnMainWindow(std::function<void(TBLookupForm &)> action)
{
    // BLookupForm is read on the GUI thread only: the window may be gone by
    // the time a queued call runs.
    plat::RunOnGuiThread([action = std::move(action)] {
        if (BLookupForm)
            action(*BLookupForm);
    });
}

void ShowMainStatus(const QString &text)
{
    OnMainWindow([text](TBLookupForm &form) { form.ui->L_StatusBar->showMessage(text); });
}

bool ClientHandshake(plat::SOCKET s, const QString &command, HostRecord &host, QString &reply)
{
    if (!SendRecvString(s, QLatin1String(OlcpVersionText) + QLatin1Char('\r'), reply))
        return false;
    if (!reply.startsWith(QLatin1String("OLCP"))) {
        ShowHostStatus(host, " : Invalid OLCP Version  ...");
        return false;
    }
    host.OlcpVersion = plat::CutText(reply, VersionBytes);
    CheckOlcpVersion(host.HostListIndex, host.IpAddress, reply);
    const int version = PeerVersionNumber(reply);

    if (IsLightEdition(host.OlcpVersion) && command != QLatin1String("TEL")) {
        ShowHostStatus(host, " : Kalvex_Light ... Server not supported.");
        SendString(s, command + QLatin1Char('\r'));
        return false;
    }
    if (command == QLatin1String("ACC") && version < UserIdVersion) {
        ShowHostStatus(host, " : Account Invalid ...");
        return false;
    }
    QByteArray password = command == QLatin1String("ACC")   ? QByteArray()
                          : command == QLatin1String("TEL") ? host.TelPassword
                                                            : host.OlcPassword;
    if (version < UserIdVersion && password != ZRA_VOLT)
        password = ConvertPassword(password);

    QByteArray lines = plat::ToCp932(command) + '\r' + password + '\r' +
                       plat::CutCp932(plat::ToCp932(host.Handle), HandleBytes) + '\r';
    if (version >= UserIdVersion)
        lines += plat::CutCp932(plat::ToCp932(host.UserId), UserIdBytes) + '\r';
    QByteArray answer;
    const bool answered = SendRecvString(s, lines, answer);
    reply = plat::FromCp932(answer);
    if (!answered)
        return false;

    if (reply == QLatin1String("ACK"))
        return RecvString(s, reply); // "ACK" when served, "CAN" when busy; a TEL receiver says "ACK" or "NAK"
    if (reply == QLatin1String("STAY")) {
        plat::PlaySoundFile(ArrivalChime); // an empty setting beeps
        ShowHostStatus(host, " : Received Stay TEL ...");
        return true;
    }
    ShowHostStatus(host, " : Transmit Password Disagreement ...");
    return false;
}

bool ServerHandshake(plat::SOCKET s, const sockaddr_in &peer, HostRecord &connection)
{
    connection = HostRecord();
    connection.IpAddress = plat::inet_ntoa(peer.sin_addr.s_addr);
    connection.PeerPort = qFromBigEndian(peer.sin_port);

    QByteArray version;
    if (!RecvLogged(s, version))
        return false;
    if (!version.startsWith("OLCP")) {
        SendString(s, QByteArray("NAK\r"));
        return false;
    }
    const QString versionText = plat::FromCp932(version);
    connection.OlcpVersion = plat::CutText(version, VersionBytes);
    CheckOlcpVersion(0, connection.IpAddress, versionText);
    const int peerVersion = PeerVersionNumber(versionText);
    if (!SendString(s, QLatin1String(OlcpVersionText) + QLatin1Char('\r')))
        return false;

    // Any other service gets no answer at all.
    QByteArray command;
    if (!RecvLogged(s, command) || command != "TEL")
        return false;
    QByteArray password;
    if (!RecvLogged(s, password, true))
        return false;
    const bool accepted = TelPasswordAccepted(password, peerVersion);
    if (!accepted)
        WriteLog(ALPHA, QStringLiteral("... ") + plat::FromCp932(command) + QStringLiteral(" Password Disagreement ! ..."));

    // The answer goes out only after every line of the client has been read.
    QByteArray handle;
    if (!RecvLogged(s, handle))
        return false;
    connection.Handle = plat::CutText(handle, HandleBytes);
    if (peerVersion >= UserIdVersion) {
        QByteArray userId;
        if (!RecvLogged(s, userId))
            return false;
        if (accepted && userId.size() == UserIdBytes)
            connection.UserId = plat::FromCp932(userId);
    }
    if (!accepted) {
        SendString(s, QByteArray("NAK\r"));
        return false;
    }
    return SendString(s, QByteArray("ACK\r"));
}

void ServeConnection(plat::SOCKET s, const sockaddr_in &peer)
{
    PrepareOlcpSocket(s);
    ServedConversation conversation(s, peer);
    HostRecord connection;
    if (!ServerHandshake(s, peer, connection))
        return;
    conversation.EndHandshake();
    ServeTel(s, connection);
}

bool SendAccountPassword(plat::SOCKET s, bool cancel, HostRecord &host, QString &reply, const QByteArray &password)
{
    ShowMainStatus(QString());
    if (cancel)
        return SendRecvString(s, QStringLiteral("CAN\r"), reply);
    QByteArray answer;
    const bool answered = SendRecvString(s, password + '\r', answer);
    reply = plat::FromCp932(answer);
    if (answered && reply == QLatin1String("ACK"))
        RecvStayTels(s, host);
    else
        ShowMainStatus(host.UserId + QStringLiteral(" : Account Password Disagreement ..."));
    return false;
}

bool RecvStayTels(plat::SOCKET s, HostRecord &host)
{
    const int serverVersion = PeerVersionNumber(host.OlcpVersion);
    for (;;) {
        MessageRecord record;
        QByteArray body;
        QString userId;
        if (!RecvString(s, userId))
            return false;
        if (userId == QLatin1String("EOF"))
            return true;
        record.UserId = userId;
        if (!RecvStayHeader(s, serverVersion, record) || !RecvStayTelText(s, record, body))
            return false;
        // The server learns from the reset that the fetch did not take them all.
        if (!StoreTel(host, record, body)) {
            ResetOnClose(s);
            return false;
        }
    }
}

// How soon the account list's next presence pass comes while a client connects (ms).
constexpr int ClientThreadEntityInterval = 500;

void SynchronizeWithGui(const std::function<void()> &action)
{
    plat::RunOnGuiThreadAndWait(action);
}

void RunClientThread(const QString &threadName, ConnectionStartReporter &reporter,
                     const std::function<void()> &body)
{
    try {
        body();
    } catch (const std::exception &e) {
        WriteLog(ALPHA, QStringLiteral("*** ") + threadName + QStringLiteral(" *** ") + QString::fromLocal8Bit(e.what()));
        reporter.Failed();
    } catch (...) {
        WriteLog(ALPHA, QStringLiteral("*** ") + threadName + QStringLiteral(" *** Unknown error"));
        reporter.Failed();
    }
}

plat::SOCKET OpenClientConnection(const QString &command, HostRecord &target, QString &reply)
{
    constexpr quint16 OlcpPort = 8011;
    constexpr int ConnectionRefused = 10061;
    int error = 0;
    const plat::SOCKET s = ConnectServer(SOCK_STREAM, QStringLiteral("olcp"), QStringLiteral("tcp"), error,
                                         target.IpAddress, OlcpPort);
    if (s == plat::INVALID_SOCKET) {
        // Nobody listens there: ask the Remote Dish service to start the program.
        if (error == ConnectionRefused)
            SendRemoteRequest(target.IpAddress, target.RmtDishPassword);
        return plat::INVALID_SOCKET;
    }
    if (ClientHandshakeWithStay(s, command, target, reply))
        return s;
    plat::closesocket(s);
    return plat::INVALID_SOCKET;
}

bool ClientHandshakeWithStay(plat::SOCKET s, const QString &command, HostRecord &target, QString &reply)
{
    if (!ClientHandshake(s, command, target, reply))
        return false;
    if (reply != QLatin1String("STAY"))
        return true;
    bool cancel = false;
    QByteArray password;
    SynchronizeWithGui([&] { cancel = StayPasswordDeclined(password); });
    return SendAccountPassword(s, cancel, target, reply, password);
}

bool ServiceGranted(const QString &reply, const HostRecord &target, const QString &busyServer,
                    const QString &service)
{
    if (reply == QLatin1String("ACK"))
        return true;
    ShowMainStatus(target.IpAddress + QStringLiteral(" : ") +
                   (reply == QLatin1String("CAN") ? busyServer : service + QStringLiteral(" not serviced")) +
                   QStringLiteral(" ..."));
    return false;
}

bool StayPasswordDeclined(QByteArray &password)
{
    password.clear();
    QMessageBox question(QMessageBox::Information, QCoreApplication::applicationName(),
                         QStringLiteral("Stay TEL が着信しています. ｱｶｳﾝﾄ･ﾊﾟｽﾜｰﾄﾞ の入力が必要です.\r\n今すぐ受信しますか?"),
                         QMessageBox::Yes | QMessageBox::No);
    question.setObjectName(QStringLiteral("StayQuestion"));
    if (question.exec() != QMessageBox::Yes)
        return true;
    const QString label = QStringLiteral("ｱｶｳﾝﾄ･ﾊﾟｽﾜｰﾄﾞ");
    return !ShowPasswordDialog(nullptr, label, QString(), password, true, label, QLatin1Char('*')) ||
           password.isEmpty();
}

void ShortenEntityInterval()
{
    plat::RunOnGuiThread([] {
        if (BAccountListForm)
            BAccountListForm->SetEntityInterval(ClientThreadEntityInterval);
    });
}
