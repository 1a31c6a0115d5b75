#include "olc/BReadTrd.h"

#include "core/BClient.h"
#include "core/BCommon.h"
#include "core/BServer.h"
#include "platform/WinMessages.h"

namespace {

constexpr quint16 OlcpPort = 8011;

} // namespace

TBOlcAccessThread::TBOlcAccessThread(const QString &logWord, const HostRecord &host, std::int32_t serverChannel,
                                     std::weak_ptr<OlcClientHooks> client, HandOver handOver,
                                     ConnectionStartReporter reporter)
    : LogWord(logWord), Host(host), ServerChannel(serverChannel), Client(std::move(client)),
      ShowWindow(std::move(handOver)), Reporter(std::move(reporter))
{
}

void TBOlcAccessThread::run()
{
    RunClientThread(LogWord + QStringLiteral(" Thread"), Reporter, [this] { Execute(); });
}

void TBOlcAccessThread::Execute()
{
    LogConnection(LogWord, Host.HostName, Host.Memo);
    WriteLog(BETA, QStringLiteral("Client Thread = ") + QString::number(reinterpret_cast<quintptr>(this)));

    int error = 0;
    const plat::SOCKET s =
        ConnectServer(SOCK_STREAM, QStringLiteral("olcp"), QStringLiteral("tcp"), error, Host.IpAddress, OlcpPort);
    if (s == plat::INVALID_SOCKET) {
        ClientStatus(QStringLiteral("... Cannot Connect ! ..."));
        return Reporter.Failed();
    }
    QString reply;
    const bool connected = ClientHandshakeWithStay(s, QStringLiteral("OLC"), Host, reply);
    if (!connected)
        ClientStatus(QStringLiteral("... Cannot Handshake ! ..."));
    bool shown = false;
    if (connected && ServiceGranted(reply) && SendInteger(s, ServerChannel))
        SynchronizeWithGui([this, s, &shown] { shown = ShowWindow(s, Host); });
    if (shown)
        return Reporter.Shown();
    plat::closesocket(s);
    Reporter.Failed();
}

bool TBOlcAccessThread::ServiceGranted(const QString &reply)
{
    if (reply == QLatin1String("ACK"))
        return true;
    ClientStatus(reply == QLatin1String("CAN") ? QStringLiteral("... Target OLC Server Busy ! ...")
                                               : QStringLiteral("... On-Line Community not serviced ! ..."));
    return false;
}

void TBOlcAccessThread::ClientStatus(const QString &text)
{
    plat::PostToGuiThread([client = Client, text] {
        if (const auto hooks = client.lock())
            hooks->ShowClientStatus(text);
    });
}

TBOlcReadThread::TBOlcReadThread(const HostRecord &host, std::int32_t serverChannel,
                                 std::weak_ptr<OlcClientHooks> client, HandOver handOver,
                                 ConnectionStartReporter reporter)
    : TBOlcAccessThread(QStringLiteral("OLC\\Read"), host, serverChannel, std::move(client), std::move(handOver),
                        std::move(reporter))
{
    start(QThread::NormalPriority);
}
