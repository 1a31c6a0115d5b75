#include "olc/BOlcTrd.h"

#include "core/BClient.h"
#include "core/BCommon.h"
#include "core/BServer.h"
#include "core/BUdpServ.h"
#include "olc/BOlcCli.h"

#include <QCoreApplication>

namespace {

constexpr int ServerChannelVersion = 200; // servers above it tell their channel

} // namespace

TBOlcClientThread::TBOlcClientThread(TBOlcClientForm *window, ConnectionStartReporter reporter)
    : Window(window), Target(window->Target()), Reporter(std::move(reporter))
{
    start(QThread::HighPriority);
}

void TBOlcClientThread::run()
{
    RunClientThread(QStringLiteral("OLC Client Thread"), Reporter, [this] { Execute(); });
}

void TBOlcClientThread::Execute()
{
    ShortenEntityInterval();
    LogConnection(QStringLiteral("OLC     "), Target.HostName, Target.Memo);
    WriteLog(BETA, QStringLiteral("Client Thread = ") + QString::number(reinterpret_cast<quintptr>(this)));

    QString reply;
    const plat::SOCKET s = OpenClientConnection(QStringLiteral("OLC"), Target, reply);
    if (s == plat::INVALID_SOCKET)
        return Reporter.Failed();
    WriteLog(BETA, QStringLiteral("@@@ Target OLCPV = ") + Target.OlcpVersion);
    if (ServiceGranted(reply, Target, QStringLiteral("Target OLC Server Busy"), QStringLiteral("On-Line Community")) &&
        ExchangeServerChannel(s) && ShowWindow(s))
        return Reporter.Shown();
    plat::closesocket(s);
    Reporter.Failed();
}

bool TBOlcClientThread::ExchangeServerChannel(plat::SOCKET s)
{
    ServerChannel = 0;
    if (PeerVersionNumber(Target.OlcpVersion) <= ServerChannelVersion)
        return true;
    return SendInteger(s, 0) && RecvInteger(s, ServerChannel);
}

bool TBOlcClientThread::ShowWindow(plat::SOCKET s)
{
    bool shown = false;
    SynchronizeWithGui([this, s, &shown] { shown = Window && Window->StartConversation(s, Target, ServerChannel); });
    return shown;
}
