#include "tel/BTelTrd.h"

#include "core/BClient.h"
#include "core/BCommon.h"
#include "core/BLookup.h"
#include "core/BServer.h"
#include "core/BUdpServ.h"
#include "platform/WinMessages.h"
#include "tel/BSendTel.h"

#include <QCoreApplication>

namespace {

constexpr char NoAddress[] = "0.0.0.0";

} // namespace

TBTelClientThread::TBTelClientThread(TBSendTelegramForm *window, ConnectionStartReporter reporter)
    : Window(window), Target(window->Target()), Reporter(std::move(reporter))
{
    start(QThread::HighPriority);
}

void TBTelClientThread::run()
{
    RunClientThread(QStringLiteral("TEL Client Thread"), Reporter, [this] { Execute(); });
}

void TBTelClientThread::Execute()
{
    ShortenEntityInterval();
    // A target "0.0.0.0" gets no connection: the window shows at once and its
    // channel is free again (the window never frees it).
    if (Target.IpAddress == QLatin1String(NoAddress)) {
        if (ShowWindow(plat::INVALID_SOCKET)) {
            const int channel = Reporter.Channel();
            Reporter.Shown();
            ChannelStates[static_cast<size_t>(channel)] = 0;
        }
        return;
    }
    LogConnection(QStringLiteral("TEL     "), Target.HostName, Target.Memo);
    WriteLog(BETA, QStringLiteral("Client Thread = ") + QString::number(reinterpret_cast<quintptr>(this)));

    QString reply;
    const plat::SOCKET s = OpenClientConnection(QStringLiteral("TEL"), Target, reply);
    if (s == plat::INVALID_SOCKET)
        return Reporter.Failed();
    if (ServiceGranted(reply, Target, QStringLiteral("Target TEL Server Busy"), QStringLiteral("TEL")) && ShowWindow(s))
        return Reporter.Shown();
    plat::closesocket(s);
    Reporter.Failed();
}

bool TBTelClientThread::ShowWindow(plat::SOCKET s)
{
    bool shown = false;
    SynchronizeWithGui([this, s, &shown] { shown = Window && Window->StartConversation(s, Target); });
    return shown;
}
