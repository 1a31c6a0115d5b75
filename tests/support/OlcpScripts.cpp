#include "OlcpScripts.h"

namespace testsupport {

namespace {

constexpr int UserIdVersion = 203;

QByteArray WithoutCr(const QByteArray &line)
{
    return line.endsWith('\r') ? line.chopped(1) : line;
}

} // namespace

int OlcpVersionNumber(const QByteArray &versionLine)
{
    return versionLine.mid(4, 3).toInt();
}

QByteArray SendOlcpLogin(FakePeer &p, const OlcpLogin &login)
{
    p.sendLine(login.version + '\r');
    const QByteArray serverVersion = WithoutCr(p.expectLine());
    // An older client knows no user-ID line; a newer one sends it only to a newer server.
    const bool userIdLine = OlcpVersionNumber(login.version) >= UserIdVersion &&
                            OlcpVersionNumber(serverVersion) >= UserIdVersion;
    p.sendLine(login.command + '\r' + login.password + '\r' + login.handle + '\r' +
               (userIdLine ? login.userId + '\r' : QByteArray()));
    return serverVersion;
}

OlcpLogin ReadOlcpLogin(FakePeer &p, const QByteArray &serverVersion)
{
    OlcpLogin login;
    login.version = WithoutCr(p.expectLine());
    p.sendLine(serverVersion + '\r');
    login.command = WithoutCr(p.expectLine());
    login.password = WithoutCr(p.expectLine());
    login.handle = WithoutCr(p.expectLine());
    login.userId = OlcpVersionNumber(serverVersion) >= UserIdVersion ? WithoutCr(p.expectLine()) : QByteArray();
    return login;
}

void SendStayItem(FakePeer &p, int serverVersion, const StayItem &item)
{
    p.sendLine(item.userId + '\r');
    if (serverVersion < UserIdVersion)
        p.sendLine(item.fileName + '\r');
    p.sendLine(item.handle + '\r' + item.dateTime + '\r');
    p.sendInt(qint32(item.text.size()));
    p.sendRaw(item.text);
}

} // namespace testsupport
