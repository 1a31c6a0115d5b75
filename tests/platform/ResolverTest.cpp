// What the name lookups hand back from the system's resolver: the official
// name, the aliases and the IPv4 addresses, and nothing odd.
#include "platform/WinSock.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <vector>

namespace {

// A resolver answer built by hand: names and addresses as the C library lays
// them out (null-terminated pointer lists).
struct FakeHostent {
    FakeHostent(const char *name, std::vector<const char *> aliasList, std::vector<quint32> addressList,
                int family = AF_INET, int length = 4)
        : aliases(std::move(aliasList)), addresses(std::move(addressList))
    {
        for (const char *alias : aliases)
            aliasPointers.push_back(const_cast<char *>(alias));
        aliasPointers.push_back(nullptr);
        for (quint32 &address : addresses)
            addressPointers.push_back(reinterpret_cast<char *>(&address));
        addressPointers.push_back(nullptr);
        entry.h_name = const_cast<char *>(name);
        entry.h_aliases = aliasPointers.data();
        entry.h_addrtype = family;
        entry.h_length = length;
        entry.h_addr_list = addressPointers.data();
    }
    std::vector<const char *> aliases;
    std::vector<quint32> addresses;
    std::vector<char *> aliasPointers, addressPointers;
    hostent entry{};
};

} // namespace

TEST(Resolver, EntriesCarryAliasesAndSkipWhatIsOdd)
{
    const quint32 a = htonl(0x0A000001), b = htonl(0x0A000002);
    struct Case {
        const char *what;
        FakeHostent found;
        QString officialName;
        QStringList aliases;
        QList<quint32> addresses;
    };
    const Case cases[] = {
        {"aliases in order", {"www.example.test", {"web", "alias.example.test"}, {a, b}},
         QStringLiteral("www.example.test"), {QStringLiteral("web"), QStringLiteral("alias.example.test")}, {a, b}},
        {"empty, repeated and official names among the aliases",
         {"host", {"", "host", "x", "x"}, {a, a, b}}, QStringLiteral("host"), {QStringLiteral("x")}, {a, b}},
        {"no name, no aliases, no addresses", {nullptr, {}, {}}, QString(), {}, {}},
        {"addresses of another family are left out", {"six", {"v6"}, {a}, AF_INET6, 16},
         QStringLiteral("six"), {QStringLiteral("v6")}, {}},
    };
    for (const Case &c : cases) {
        const plat::HostEntry entry = plat::HostEntryFrom(c.found.entry);
        EXPECT_EQ(entry.officialName, c.officialName) << c.what;
        EXPECT_EQ(entry.aliases, c.aliases) << c.what;
        EXPECT_EQ(entry.addresses, c.addresses) << c.what;
    }
}

TEST(Resolver, LookupsOfNothingFailWithTheResolversError)
{
    for (const QString &name : {QString(), QStringLiteral("no-such-host.invalid"), QString::fromLatin1("local\0host", 10)}) {
        EXPECT_FALSE(plat::GetHostByName(name).has_value()) << name.toStdString();
        const int error = plat::WSAGetLastError();
        EXPECT_TRUE(error >= plat::WSAHOST_NOT_FOUND && error <= plat::WSANO_DATA) << error;
    }
    const auto loopback = plat::GetHostByName(QStringLiteral("localhost"));
    ASSERT_TRUE(loopback.has_value());
    EXPECT_EQ(loopback->addressLength, 4);
    EXPECT_TRUE(loopback->addresses.contains(htonl(INADDR_LOOPBACK)));
}
