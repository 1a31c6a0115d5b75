// The main window's close sequence: it wakes and waits for the server and
// connection threads, runs once, and never hangs or loses the settings.
#include "core/BLookup.h"
#include "core/BRegistr.h"
#include "core/BTcpServ.h"
#include "core/BUdpServ.h"
#include "platform/WinSock.h"
#include "support/MainWindow.h"
#include "support/TempEnv.h"
#include "tel/BRecvTel.h"
#include "ui_BLookup.h"

#include <QApplication>
#include <QPlainTextEdit>
#include <QTimer>

#include <netinet/in.h>
#include <thread>

using testsupport::TempEnvTest;

namespace {

class CloseTest : public TempEnvTest {
protected:
    void SetUp() override
    {
        form = testsupport::StartMainWindow(env);
    }
    void TearDown() override
    {
        delete form;
        // The flags these cases fake have no server behind them to clear them.
        TcpServerAlive = 0;
        UdpServerAlive = 0;
        ConnectionCount = 0;
    }
    int memoCount(const QString &text) const { return form->ui->LookupMemo->toPlainText().count(text); }

    TBLookupForm *form = nullptr;
};

// A connected pair on loopback: the accepted end is what a server thread would hold.
std::pair<plat::SOCKET, plat::SOCKET> ConnectedPair()
{
    plat::SOCKET listener = plat::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof addr;
    plat::bind(listener, reinterpret_cast<sockaddr *>(&addr), len);
    plat::listen(listener, 1);
    plat::getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len);
    plat::SOCKET client = plat::socket(AF_INET, SOCK_STREAM, 0);
    plat::connect(client, reinterpret_cast<sockaddr *>(&addr), len);
    plat::SOCKET served = plat::accept(listener, nullptr, nullptr);
    plat::closesocket(listener);
    return {served, client};
}

TEST_F(CloseTest, ClosingWakesABlockedConnectionAndWaitsForIt)
{
    auto [served, client] = ConnectedPair();
    ConnectionSockets[1] = served;
    ConnectionCount = 1;
    // A connection thread blocked in a receive that its peer never answers.
    std::thread connection([s = served] {
        char byte;
        plat::recv(s, &byte, 1, 0);
        std::lock_guard guard(ConnectionLock);
        ConnectionCount = ConnectionCount - 1;
    });
    form->ExitButtonClick();
    connection.join();
    EXPECT_EQ(ConnectionCount, 0);
    EXPECT_TRUE(form->HasClosed());
    EXPECT_EQ(BRecvTelegramForm, nullptr);
    EXPECT_EQ(memoCount(QStringLiteral("***** Kalvex Close *****")), 1);
    EXPECT_EQ(memoCount(QStringLiteral("still alive")), 0);
    plat::closesocket(client);
}

TEST_F(CloseTest, TheWaitEndsAfterItsLimitAndSaysWhatIsStillAlive)
{
    TcpServerAlive = 1;
    form->CloseWaitLimitMs = 100;
    form->ExitButtonClick();
    EXPECT_TRUE(form->HasClosed());
    EXPECT_EQ(memoCount(QStringLiteral("still alive after 0 s : TCP server 1, UDP server 0, connections 0, threads 0")), 1);
}

TEST_F(CloseTest, ASecondCloseRequestDuringTheWaitIsIgnored)
{
    UdpServerAlive = 1;
    QTimer::singleShot(20, form, [this] { form->close(); });
    QTimer::singleShot(80, [] { UdpServerAlive = 0; });
    form->ExitButtonClick();
    EXPECT_EQ(memoCount(QStringLiteral("***** Kalvex Close *****")), 1);
}

TEST_F(CloseTest, DuringStartUpOnlyTheExitButtonCloses)
{
    StartingUp = 1;
    form->close();
    EXPECT_FALSE(form->HasClosed());
    EXPECT_TRUE(form->isVisible());
    form->ExitButtonClick();
    EXPECT_TRUE(form->HasClosed());
}

TEST_F(CloseTest, ARegistryWriteErrorAtCloseIsReportedAndTheServersStillStop)
{
    // The registry folder turns into a file: every write now fails.
    env.writeFile(QStringLiteral("blocked"), "x");
    qputenv("KALVEX_REGISTRY_DIR", env.file(QStringLiteral("blocked/registry")).toUtf8());
    QString shown;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (QWidget *box = QApplication::activeModalWidget()) {
            shown = box->findChild<QLabel *>(QStringLiteral("qt_msgbox_label"))->text();
            box->close();
        }
    });
    closer.start(10);
    TcpServerAlive = 1;
    QTimer::singleShot(50, [] { TcpServerAlive = 0; });
    form->ExitButtonClick();
    EXPECT_TRUE(form->HasClosed());
    EXPECT_TRUE(shown.startsWith(QStringLiteral("*** Registry Write Error : ")));
    EXPECT_EQ(memoCount(QStringLiteral("*** Registry Write Error : ")), 1);
    EXPECT_EQ(TcpServerAlive, 0);
}

TEST(LocalAddresses, AreIPv4CardAddressesWithoutLoopback)
{
    const QStringList addresses = GetNetworkCardAddress();
    EXPECT_LE(addresses.size(), 10);
    for (const QString &a : addresses) {
        EXPECT_NE(a, QStringLiteral("127.0.0.1"));
        EXPECT_NE(a, QStringLiteral("0.0.0.0"));
        EXPECT_NE(plat::inet_addr(a), INADDR_NONE) << a.toStdString();
    }
}

} // namespace
