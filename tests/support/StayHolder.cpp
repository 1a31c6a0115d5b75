#include "StayHolder.h"

#include <gtest/gtest.h>

namespace testsupport {

void ReadStayCommand(FakePeer &p, const QByteArray &password, const QByteArray &answer)
{
    EXPECT_EQ(p.expectLine(), "STAY\r");
    if (password.isEmpty())
        return;
    EXPECT_EQ(p.expectLine(), password + '\r');
    p.sendLine(answer + '\r');
}

void NameAddressee(FakePeer &p, const QByteArray &userId, const QByteArray &handle)
{
    EXPECT_EQ(p.expectLine(), userId + '\r');
    p.sendLine("ACK\r");
    p.sendLine(handle + '\r');
}

} // namespace testsupport
