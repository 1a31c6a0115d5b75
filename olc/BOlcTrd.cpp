#include "olc/BOlcTrd.h"

#include "core/BClient.h"
#include "core/BCommon.h"
#include "core/BServer.h"
#include "core/BUdpServ.h"
#include "olc/BOlcCli.h"

#include <QCoreApplication>

namespace {

constexpr quint16 OlcpPort = 8011;
constexpr int ConnectionRefused = 10061;
constexpr int ServerChannelVersion = 200; // servers above it tell their channel

// Runs action on the GUI thread and waits for it (the thread class's synchronized call).
template <typename Action>
void Synchronize(Action action)
{
    QMetaObject::invokeMethod(qApp, action, Qt::BlockingQueuedConnection);
}

} // namespace

TBOlcClientThread::TBOlcClientThread(TBOlcClientForm *window, ConnectionStartReporter reporter)
    : Window(window), Target(window->Target()), Reporter(std::move(reporter))
{
    start(QThread::HighPriority);
}

void TBOlcClientThread::run()
{
    // Nothing may escape a thread; the start ends at once (a report after Shown() is ignored).
    try {
        Execute();
    } catch (const std::exception &e) {
        WriteLog(ALPHA, QStringLiteral("*** OLC Client Thread *** ") + QString::fromLocal8Bit(e.what()));
        Reporter.Failed();
    } catch (...) {
        WriteLog(ALPHA, QStringLiteral("*** OLC Client Thread *** Unknown error"));
        Reporter.Failed();
    }
}

void TBOlcClientThread::Execute()
{
    ShortenEntityInterval();
    LogConnection(QStringLiteral("OLC     "), Target.HostName, Target.Memo);
    WriteLog(BETA, QStringLiteral("Client Thread = ") + QString::number(reinterpret_cast<quintptr>(this)));

    int error = 0;
    const plat::SOCKET s = ConnectServer(SOCK_STREAM, QStringLiteral("olcp"), QStringLiteral("tcp"), error,
                                         Target.IpAddress, OlcpPort);
    if (s == plat::INVALID_SOCKET) {
        // Nobody listens there: ask the Remote Dish service to start the program.
        if (error == ConnectionRefused)
            SendRemoteRequest(Target.IpAddress, Target.RmtDishPassword);
        return Reporter.Failed();
    }
    QString reply;
    bool connected = ClientHandshake(s, QStringLiteral("OLC"), Target, reply);
    if (connected && reply == QLatin1String("STAY")) {
        Synchronize([this] { AskStayPassword(); });
        connected = SendAccountPassword(s, StayCancel, Target, reply, StayPassword);
    }
    if (connected)
        WriteLog(BETA, QStringLiteral("@@@ Target OLCPV = ") + Target.OlcpVersion);
    if (connected && ServiceGranted(reply) && ExchangeServerChannel(s) && ShowWindow(s))
        return Reporter.Shown();
    plat::closesocket(s);
    Reporter.Failed();
}

bool TBOlcClientThread::ServiceGranted(const QString &reply) const
{
    if (reply == QLatin1String("ACK"))
        return true;
    ShowMainStatus(Target.IpAddress + (reply == QLatin1String("CAN") ? QStringLiteral(" : Target OLC Server Busy ...")
                                                                      : QStringLiteral(" : On-Line Community not serviced ...")));
    return false;
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
    Synchronize([this, s, &shown] { shown = Window && Window->StartConversation(s, Target, ServerChannel); });
    return shown;
}

void TBOlcClientThread::AskStayPassword()
{
    StayCancel = StayPasswordDeclined(StayPassword);
}
