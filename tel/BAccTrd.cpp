#include "tel/BAccTrd.h"

#include "core/BClient.h"
#include "core/BCommon.h"
#include "core/BServer.h"
#include "core/BUdpServ.h"
#include "platform/Cp932.h"

#include <QCoreApplication>

namespace {

// Servers from this version on send the access letters of their lists.
constexpr int ListLettersVersion = 212;

// The first character of an access-letter line; 'A' (everybody) for an empty one.
char AccessLetter(const QString &line)
{
    return line.isEmpty() ? 'A' : char(line.at(0).toLatin1());
}

} // namespace

ConnectionWindowKind AccountClientWindowKind{
    QStringLiteral("account client window"), 5,
    [](const HostRecord &host) -> QWidget * { return new TBAccountClientForm(host); },
    [](QWidget *window, ConnectionStartReporter reporter) {
        new TBAccClientThread(static_cast<TBAccountClientForm *>(window), std::move(reporter));
    },
    {}};

TBAccClientThread::TBAccClientThread(TBAccountClientForm *window, ConnectionStartReporter reporter)
    : Window(window), Target(window->Host()), Reporter(std::move(reporter))
{
    start(QThread::HighPriority);
}

void TBAccClientThread::run()
{
    RunClientThread(QStringLiteral("Account Client Thread"), Reporter, [this] { Execute(); });
}

void TBAccClientThread::Execute()
{
    ShortenEntityInterval();
    LogConnection(QStringLiteral("Account "), Target.HostName, Target.Memo);
    WriteLog(BETA, QStringLiteral("Client Thread = ") + QString::number(reinterpret_cast<quintptr>(this)));

    QString reply;
    const plat::SOCKET s = OpenClientConnection(QStringLiteral("ACC"), Target, reply);
    if (s == plat::INVALID_SOCKET)
        return Reporter.Failed();
    if (ServiceGranted(reply, Target, QStringLiteral("Target Account Server Busy"), QStringLiteral("Account")) &&
        RecvGreeting(s) && ShowWindow(s))
        return Reporter.Shown();
    plat::closesocket(s);
    Reporter.Failed();
}

bool TBAccClientThread::RecvGreeting(plat::SOCKET s)
{
    if (!RecvString(s, Greeting.UserId) || !RecvString(s, Greeting.FieldList))
        return false;
    // The user ID names the account's file: one that cannot is a refusal.
    Greeting.UserId = plat::CutText(Greeting.UserId, AccountRecord::UserIdBytes);
    if (!Greeting.UserId.isEmpty() && SafeBaseName(Greeting.UserId).isEmpty()) {
        WriteLog(ALPHA, QStringLiteral("*** Account : unusable user ID from the server : ") +
                            EscapeControls(Greeting.UserId));
        ShowMainStatus(Target.IpAddress + QStringLiteral(" : Account not serviced ..."));
        return false;
    }
    if (PeerVersionNumber(Target.OlcpVersion) < ListLettersVersion)
        return true;
    QString logLetter, userLetter;
    if (!RecvString(s, logLetter) || !RecvString(s, userLetter))
        return false;
    Greeting.LogListLetter = AccessLetter(logLetter);
    Greeting.UserListLetter = AccessLetter(userLetter);
    return true;
}

bool TBAccClientThread::ShowWindow(plat::SOCKET s)
{
    bool shown = false;
    SynchronizeWithGui([this, s, &shown] { shown = Window && Window->StartConversation(s, Target, Greeting); });
    return shown;
}
