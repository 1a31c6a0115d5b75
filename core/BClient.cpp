#include "core/BClient.h"

#include "core/BCommon.h"
#include "core/BHostlst.h"
#include "core/BLookup.h"
#include "core/BRegistr.h"
#include "platform/WinMessages.h"
#include "core/BServer.h"
#include "core/MessageRecord.h"
#include "platform/Cp932.h"
#include "platform/Sound.h"
#include "tel/BTelLog.h"
#include "tel/BTelServ.h"
#include "ui_BLookup.h"

#include <QCoreApplication>
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
    return TELPW.isEmpty() || compared == TELPW || line == ZRA_VOLT;
}

// The header lines of one Stay TEL item after its user ID line.
bool RecvStayHeader(plat::SOCKET s, int serverVersion, MessageRecord &record)
{
    QString line;
    if (serverVersion < UserIdVersion) {
        if (!RecvString(s, line))
            return false;
        record.FileName = SafeBaseName(line);
    }
    if (!RecvString(s, line))
        return false;
    record.Handle = line;
    if (!RecvString(s, line))
        return false;
    record.DateTime = ParseDateText(line);
    return true;
}

} // namespace

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
        // A TEL that cannot be stored is reported by StoreTel; the next one may still fit.
        StoreTel(host, record, body);
    }
}
