#include "olc/BReadTrd.h"

#include "core/BClient.h"
#include "core/BCommon.h"
#include "core/BPasswrd.h"
#include "core/BServer.h"

#include <QCoreApplication>
#include <QMessageBox>

namespace {

constexpr quint16 OlcpPort = 8011;

// Runs action on the GUI thread and waits for it (the thread class's synchronized call).
template <typename Action>
void Synchronize(Action action)
{
    QMetaObject::invokeMethod(qApp, action, Qt::BlockingQueuedConnection);
}

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
    // Nothing may escape a thread; the start ends at once (a report after Shown() is ignored).
    try {
        Execute();
    } catch (const std::exception &e) {
        WriteLog(ALPHA, QStringLiteral("*** ") + LogWord + QStringLiteral(" Thread *** ") +
                            QString::fromLocal8Bit(e.what()));
        Reporter.Failed();
    } catch (...) {
        WriteLog(ALPHA, QStringLiteral("*** ") + LogWord + QStringLiteral(" Thread *** Unknown error"));
        Reporter.Failed();
    }
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
    bool connected = ClientHandshake(s, QStringLiteral("OLC"), Host, reply);
    if (connected && reply == QLatin1String("STAY")) {
        Synchronize([this] { AskStayPassword(); });
        connected = SendAccountPassword(s, StayCancel, Host, reply, StayPassword);
    }
    if (!connected)
        ClientStatus(QStringLiteral("... Cannot Handshake ! ..."));
    bool shown = false;
    if (connected && ServiceGranted(reply) && SendInteger(s, ServerChannel))
        Synchronize([this, s, &shown] { shown = ShowWindow(s, Host); });
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
    QMetaObject::invokeMethod(qApp, [client = Client, text] {
        if (const auto hooks = client.lock())
            hooks->ShowClientStatus(text);
    });
}

void TBOlcAccessThread::AskStayPassword()
{
    StayCancel = false;
    StayPassword.clear();
    QMessageBox question(QMessageBox::Information, QCoreApplication::applicationName(),
                         QStringLiteral("Stay TEL が着信しています. ｱｶｳﾝﾄ･ﾊﾟｽﾜｰﾄﾞ の入力が必要です.\r\n今すぐ受信しますか?"),
                         QMessageBox::Yes | QMessageBox::No);
    question.setObjectName(QStringLiteral("StayQuestion"));
    if (question.exec() != QMessageBox::Yes) {
        StayCancel = true;
        return;
    }
    const QString label = QStringLiteral("ｱｶｳﾝﾄ･ﾊﾟｽﾜｰﾄﾞ");
    if (!ShowPasswordDialog(nullptr, label, QString(), StayPassword, true, label, QLatin1Char('*')) ||
        StayPassword.isEmpty())
        StayCancel = true;
}

TBOlcReadThread::TBOlcReadThread(const HostRecord &host, std::int32_t serverChannel,
                                 std::weak_ptr<OlcClientHooks> client, HandOver handOver,
                                 ConnectionStartReporter reporter)
    : TBOlcAccessThread(QStringLiteral("OLC\\Read"), host, serverChannel, std::move(client), std::move(handOver),
                        std::move(reporter))
{
    start(QThread::NormalPriority);
}
