// The host entry made from the resolver's answer: official name, aliases and
// IPv4 addresses, with nothing odd let through.
#include "platform/WinSock.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <vector>

TEST(Resolver, EntriesCarryTheAliasesAndSkipWhatIsOdd)
{
    quint32 a = htonl(0x0A000001), b = htonl(0x0A000002);
    struct Case {
        const char *name;
        std::vector<char *> aliases; // null-terminated, as the C library lays them out
        std::vector<char *> addresses;
        int family;
        QStringList expectedAliases;
        QList<quint32> expectedAddresses;
    };
    char web[] = "web", other[] = "other.test", empty[] = "", host[] = "host";
    auto *pa = reinterpret_cast<char *>(&a), *pb = reinterpret_cast<char *>(&b);
    const Case cases[] = {
        {"host", {web, other, nullptr}, {pa, pb, nullptr}, AF_INET, {"web", "other.test"}, {a, b}},
        {"host", {empty, host, web, web, nullptr}, {pa, pa, nullptr}, AF_INET, {"web"}, {a}},
        {nullptr, {nullptr}, {nullptr}, AF_INET, {}, {}},
        {"six", {web, nullptr}, {pa, nullptr}, AF_INET6, {"web"}, {}},
    };
    for (const Case &c : cases) {
        hostent found{};
        found.h_name = const_cast<char *>(c.name);
        found.h_aliases = const_cast<char **>(c.aliases.data());
        found.h_addrtype = c.family;
        found.h_length = c.family == AF_INET ? 4 : 16;
        found.h_addr_list = const_cast<char **>(c.addresses.data());
        const plat::HostEntry entry = plat::HostEntryFrom(found);
        EXPECT_EQ(entry.officialName, QString::fromLatin1(c.name));
        EXPECT_EQ(entry.aliases, c.expectedAliases) << c.name;
        EXPECT_EQ(entry.addresses, c.expectedAddresses) << c.name;
    }
    EXPECT_FALSE(plat::GetHostByName(QString::fromLatin1("local\0host", 10)).has_value());
    EXPECT_EQ(plat::WSAGetLastError(), plat::WSAHOST_NOT_FOUND);
}
