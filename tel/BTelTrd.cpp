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

constexpr quint16 OlcpPort = 8011;
constexpr char NoAddress[] = "0.0.0.0";
constexpr int ConnectionRefused = 10061;

// Runs action on the GUI thread and waits for it (the thread class's synchronized call).
template <typename Action>
void Synchronize(Action action)
{
    QMetaObject::invokeMethod(qApp, action, Qt::BlockingQueuedConnection);
}

} // namespace

TBTelClientThread::TBTelClientThread(TBSendTelegramForm *window, ConnectionStartReporter reporter)
    : Window(window), Target(window->Target()), Reporter(std::move(reporter))
{
    start(QThread::HighPriority);
}

void TBTelClientThread::run()
{
    // Nothing may escape a thread; the start ends at once (a report after Shown() is ignored).
    try {
        Execute();
    } catch (const std::exception &e) {
        WriteLog(ALPHA, QStringLiteral("*** TEL Client Thread *** ") + QString::fromLocal8Bit(e.what()));
        Reporter.Failed();
    } catch (...) {
        WriteLog(ALPHA, QStringLiteral("*** TEL Client Thread *** Unknown error"));
        Reporter.Failed();
    }
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
    bool connected = ClientHandshake(s, QStringLiteral("TEL"), Target, reply);
    if (connected && reply == QLatin1String("STAY")) {
        Synchronize([this] { AskStayPassword(); });
        connected = SendAccountPassword(s, StayCancel, Target, reply, StayPassword);
    }
    if (connected && ServiceGranted(reply) && ShowWindow(s))
        return Reporter.Shown();
    plat::closesocket(s);
    Reporter.Failed();
}

bool TBTelClientThread::ServiceGranted(const QString &reply) const
{
    if (reply == QLatin1String("ACK"))
        return true;
    ShowMainStatus(Target.IpAddress + (reply == QLatin1String("CAN") ? QStringLiteral(" : Target TEL Server Busy ...")
                                                                      : QStringLiteral(" : TEL not serviced ...")));
    return false;
}

bool TBTelClientThread::ShowWindow(plat::SOCKET s)
{
    bool shown = false;
    Synchronize([this, s, &shown] { shown = Window && Window->StartConversation(s, Target); });
    return shown;
}

void TBTelClientThread::AskStayPassword()
{
    StayCancel = StayPasswordDeclined(StayPassword);
}

