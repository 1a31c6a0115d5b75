// Two Kalvex_L programs, each in a host of its own on a NetLab, B (10.77.0.2)
// and C (10.77.0.3), beside the test process as 10.77.0.1: TELs reach B over
// TCP 8011 from the test process and from a client running in C, stored with
// their bytes and their senders' addresses, and a query over UDP 8011 goes
// from the main window in the test process to B and B's reply comes back.
#include "core/BLookup.h"
#include "core/BUdpServ.h"
#include "core/MessageRecord.h"
#include "platform/Cp932.h"
#include "platform/WinSock.h"
#include "support/FakePeer.h"
#include "support/MainWindow.h"
#include "support/NetLab.h"
#include "support/OlcpScripts.h"
#include "support/ProgramProcess.h"
#include "support/TelSender.h"
#include "support/TempEnv.h"

#include <QThread>

#include <gtest/gtest.h>

using namespace testsupport;

namespace {

constexpr quint16 OlcpPort = 8011;

class TwoHostsTest : public TempEnvTest {
protected:
    void SetUp() override
    {
        runningB = kalvexB.start();
        runningC = kalvexC.start();
        ASSERT_TRUE(kalvexB.waitUntilUp());
        ASSERT_TRUE(kalvexC.waitUntilUp());
        ASSERT_TRUE(WaitForTcpServer(b.address()));
        ASSERT_TRUE(WaitForTcpServer(c.address()));
    }
    void TearDown() override
    {
        for (QProcess *running : {runningB.get(), runningC.get()}) {
            if (running && running->state() == QProcess::Running)
                ProgramProcess::terminate(*running);
        }
    }

    // A program stores a TEL a moment after its sender has hung up.
    static bool WaitForStored(const ProgramProcess &program, size_t count)
    {
        for (int i = 0; i < 400 && program.storedTels().size() < count; ++i)
            QThread::msleep(25);
        return program.storedTels().size() == count;
    }

    NetLab lab;
    NetHost &b = lab.addHost();
    NetHost &c = lab.addHost();
    ProgramProcess kalvexB{b}, kalvexC{c};
    std::unique_ptr<QProcess> runningB, runningC;
};

TEST_F(TwoHostsTest, TelsFromTheTestProcessAndFromAnotherHostAreStoredWithTheirSenders)
{
    // Second bytes 0x5C ("表", "ソ") and half-width katakana must pass unchanged.
    const QByteArray fromHere = plat::ToCp932(QStringLiteral("表示のテスト ｶﾙﾍﾞｸｽ"));
    auto peer = FakePeer::connect(b.address(), OlcpPort, [&](FakePeer &p) {
        OlcpLogin login;
        login.handle = "lab";
        SendOlcpLogin(p, login);
        EXPECT_EQ(p.expectLine(), "ACK\r");
        EXPECT_EQ(p.expectLine(), "ACK\r");
        SendTextTel(p, fromHere);
        SendTelOff(p);
    });
    peer->wait();
    ASSERT_TRUE(peer->error().isEmpty()) << peer->error().toStdString();
    ASSERT_TRUE(WaitForStored(kalvexB, 1));

    const QByteArray fromC = plat::ToCp932(QStringLiteral("ソフトの予定表\r\n二行目"));
    c.folder().writeFile(QStringLiteral("tel.txt"), fromC);
    ASSERT_TRUE(c.run(BinPath(QStringLiteral("tel_send")),
                      {QStringLiteral("--handle"), QStringLiteral("ｼｰ"), b.address(),
                       c.folder().file(QStringLiteral("tel.txt"))}));
    ASSERT_TRUE(WaitForStored(kalvexB, 2));

    const std::vector<MessageRecord> tels = kalvexB.storedTels();
    EXPECT_EQ(tels[0].Title, QStringLiteral("Recv  <<Text>>"));
    EXPECT_EQ(kalvexB.storedText(tels[0]), fromHere);
    EXPECT_EQ(tels[0].Address, plat::inet_addr(NetLab::ownAddress()));
    EXPECT_EQ(tels[0].Handle, QStringLiteral("lab"));
    EXPECT_EQ(tels[1].Title, QStringLiteral("Recv  <<Text>>"));
    EXPECT_EQ(kalvexB.storedText(tels[1]), fromC);
    EXPECT_EQ(tels[1].Address, plat::inet_addr(c.address()));
    EXPECT_EQ(tels[1].Handle, QStringLiteral("ｼｰ"));
    EXPECT_TRUE(kalvexC.storedTels().empty());
}

TEST_F(TwoHostsTest, AQueryFromTheMainWindowOfTheTestProcessIsAnsweredByB)
{
    const std::unique_ptr<TBLookupForm> form(StartMainWindow(env));
    StartUdpServer();
    ASSERT_NE(UdpServerSocket, plat::INVALID_SOCKET);
    int version = 0;
    EXPECT_TRUE(SendQuery(b.address(), 5, version));
    EXPECT_EQ(version, 303);

    EXPECT_TRUE(StopServers());
}

} // namespace
