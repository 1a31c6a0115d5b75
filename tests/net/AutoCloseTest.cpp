// Start parameter H: the program closes itself after H seconds with no
// connection open, and an open connection holds the close until it ends.
#include "support/FakePeer.h"
#include "support/OlcpScripts.h"
#include "support/ProgramProcess.h"
#include "support/TempEnv.h"

#include <QFile>

#include <gtest/gtest.h>

using namespace testsupport;

namespace {

class AutoCloseTest : public TempEnvTest {
protected:
    std::unique_ptr<QProcess> startWithH(int seconds)
    {
        auto p = program.start({QStringLiteral("-H%1").arg(seconds)});
        EXPECT_TRUE(program.waitUntilUp());
        return p;
    }
    ProgramProcess program{env};
};

TEST_F(AutoCloseTest, ClosesByItselfWithNoConnectionOpen)
{
    auto p = startWithH(2);
    ASSERT_TRUE(p->waitForFinished(15000));
    EXPECT_EQ(p->exitStatus(), QProcess::NormalExit);
    const QByteArray log = env.readFile(QStringLiteral("Kalvex.log"));
    EXPECT_TRUE(log.contains("***** Auto Close Timer  "));
    EXPECT_TRUE(log.contains(" [2] *****"));
    EXPECT_TRUE(log.contains("***** Kalvex Close *****"));
}

TEST_F(AutoCloseTest, AnOpenConnectionHoldsTheCloseUntilItEnds)
{
    // The timer runs from the server's start: time enough for a busy machine
    // to connect the peer before it.
    auto p = startWithH(4);
    // A peer that logs in and then stays silent until it is let go.
    auto peer = FakePeer::connect(8011, [](FakePeer &f) {
        SendOlcpLogin(f, OlcpLogin{});
        f.expectLine();
        f.expectLine();
        f.stall();
    });
    EXPECT_FALSE(p->waitForFinished(5000)); // past the timer's time
    EXPECT_EQ(p->state(), QProcess::Running);
    peer.reset();
    ASSERT_TRUE(p->waitForFinished(15000));
    EXPECT_EQ(p->exitStatus(), QProcess::NormalExit);
}

} // namespace
