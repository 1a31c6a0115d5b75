// The guard that keeps what one test case does to the program's globals from
// the next case: it puts the globals back and ends what the case left running.
#include "core/BCommon.h"
#include "core/BHostlst.h"
#include "core/BLookup.h"
#include "core/BRegistr.h"
#include "core/BUdpServ.h"
#include "platform/FreeOnTerminateThread.h"
#include "platform/WinSock.h"
#include "support/ProgramState.h"
#include "support/Wait.h"

#include <QPlainTextEdit>
#include <QPointer>

#include <gtest/gtest.h>

#include <netinet/in.h>

namespace {

TEST(ProgramStateGuard, PutsTheGlobalsBackAndEndsWhatTheCaseLeftRunning)
{
    const QString directory = TelegDirectory;
    const int level = LogLebelNumber;
    const std::uint8_t channel = ChannelStates[5];
    const QString target = CurrentHost.IpAddress;
    const QByteArray password = TELPW;
    QPointer<QWidget> window;
    QPlainTextEdit laterMemo;
    {
        testsupport::ProgramStateGuard guard;
        TelegDirectory = QStringLiteral("/elsewhere");
        LogLebelNumber = DELTA;
        ChannelStates[5] = 1;
        CurrentHost.IpAddress = QStringLiteral("10.0.0.9");
        TELPW = "changed";
        window = new QWidget();
        window->show();
        // A UDP server chain still waiting for a datagram, and a log line
        // that no memo has taken yet.
        const plat::SOCKET s = plat::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(plat::bind(s, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
        UdpServerSocket = s;
        TBUdpServer::Create(s);
        ASSERT_TRUE(testsupport::WaitUntil([] { return UdpServerAlive == 1; }));
        SetLogMemo(nullptr);
        ShowLog(ZERO, QStringLiteral("left behind"));
    }
    EXPECT_EQ(TelegDirectory, directory);
    EXPECT_EQ(LogLebelNumber, level);
    EXPECT_EQ(ChannelStates[5], channel);
    EXPECT_EQ(CurrentHost.IpAddress, target);
    EXPECT_EQ(TELPW, password);
    EXPECT_TRUE(window.isNull());
    EXPECT_EQ(UdpServerSocket, plat::INVALID_SOCKET);
    EXPECT_EQ(UdpServerAlive, 0);
    EXPECT_EQ(plat::FreeOnTerminateThread::Running(), 0);
    SetLogMemo(&laterMemo);
    EXPECT_FALSE(laterMemo.toPlainText().contains(QStringLiteral("left behind")));
    SetLogMemo(nullptr);
}

} // namespace
