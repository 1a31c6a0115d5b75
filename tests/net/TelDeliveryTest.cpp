// A running Kalvex_L receives TELs from a scripted peer on port 8011: every
// kind is stored byte-exact, the refused cases are refused, and the program
// closes in order while a silent peer holds a connection.
#include "core/BCommon.h"
#include "core/MessageRecord.h"
#include "platform/Cp932.h"
#include "platform/Registry.h"
#include "platform/WinSock.h"
#include "support/FakePeer.h"
#include "support/OlcpScripts.h"
#include "support/ProgramProcess.h"
#include "support/TelSender.h"
#include "support/TempEnv.h"

#include <QFile>
#include <QThread>

#include <gtest/gtest.h>
#include <netinet/in.h>

using namespace testsupport;

namespace {

constexpr quint16 OlcpPort = 8011;

class TelDeliveryTest : public TempEnvTest {
protected:
    void SetUp() override { startProgram(); }
    void startProgram()
    {
        process = program.start();
        ASSERT_TRUE(program.waitUntilUp());
        ASSERT_TRUE(waitForServer());
    }
    // The TCP server comes up at the end of start-up.
    static bool waitForServer()
    {
        for (int i = 0; i < 400; ++i) {
            plat::SOCKET s = plat::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_port = htons(OlcpPort);
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            const bool up = plat::connect(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
            plat::closesocket(s);
            if (up)
                return true;
            QThread::msleep(25);
        }
        return false;
    }
    void TearDown() override
    {
        if (process && process->state() == QProcess::Running)
            ProgramProcess::terminate(*process);
    }

    // Logs in as a TEL sender and runs the rest of the script after the two
    // answers of the handshake and the TEL receiver.
    std::unique_ptr<FakePeer> deliver(const std::function<void(FakePeer &)> &tels, const OlcpLogin &login = {})
    {
        return FakePeer::connect(OlcpPort, [tels, login](FakePeer &p) {
            SendOlcpLogin(p, login);
            EXPECT_EQ(p.expectLine(), "ACK\r");
            EXPECT_EQ(p.expectLine(), "ACK\r");
            tels(p);
        });
    }

    std::vector<MessageRecord> stored() const
    {
        std::vector<MessageRecord> records;
        const QByteArray dat = env.readFile(QStringLiteral("Telegram/Teleg000.dat"));
        for (int i = MessageRecord::Size; i + MessageRecord::Size <= dat.size(); i += MessageRecord::Size)
            records.push_back(MessageRecord::decode(dat.mid(i, MessageRecord::Size)));
        return records;
    }
    QByteArray body(const MessageRecord &r) const
    {
        return env.readFile(QStringLiteral("Telegram/Teleg000.txt")).mid(r.Start, r.Bytes);
    }
    // The program stores a TEL a moment after the peer has sent it.
    bool waitForStored(size_t count) const
    {
        for (int i = 0; i < 200 && stored().size() < count; ++i)
            QThread::msleep(25);
        return stored().size() == count;
    }

    ProgramProcess program{env};
    std::unique_ptr<QProcess> process;
};

TEST_F(TelDeliveryTest, EveryKindOfTelIsStoredByteExactAndLogged)
{
    const QByteArray text = plat::ToCp932(QStringLiteral("こんにちは ﾃｽﾄ"));
    const QByteArray rtf = "{\\rtf1\\ansi\\ansicpg932 {\\b bold}\\par}";
    const QByteArray html = "<HTML><body>page</body></HTML>";
    const QByteArray file(20000, '\x5a');
    auto peer = deliver([&](FakePeer &p) {
        SendTextTel(p, text);
        SendTextTel(p, rtf);
        SendTextTel(p, html);
        SendForwardTel(p, "10.1.2.3", "first", "forwarded");
        SendSerialTel(p, 7, "chat");
        EXPECT_EQ(SendFileTel(p, "picture.bin", file), "ACK\r");
        SendTelOff(p);
    });
    peer->wait();
    ASSERT_TRUE(peer->error().isEmpty()) << peer->error().toStdString();
    ASSERT_TRUE(waitForStored(6));
    const auto r = stored();
    for (size_t i = 0; i < r.size(); ++i)
        EXPECT_EQ(r[i].Number, static_cast<qint32>(i + 1));
    EXPECT_EQ(r[0].Title, QStringLiteral("Recv  <<Text>>"));
    EXPECT_EQ(body(r[0]), text);
    EXPECT_EQ(r[0].Handle, QStringLiteral("tester"));
    EXPECT_EQ(r[0].UserId, QStringLiteral("USER0001"));
    EXPECT_EQ(r[0].AuxText1, QStringLiteral("OLCP303L"));
    EXPECT_EQ(r[0].Address, plat::inet_addr(QStringLiteral("127.0.0.1")));
    EXPECT_EQ(r[1].Flags, MessageRecord::RichFlag);
    EXPECT_EQ(body(r[1]), rtf);
    EXPECT_EQ(r[2].Flags, MessageRecord::HtmlFlag);
    EXPECT_EQ(r[3].Title, QStringLiteral("Recv  <<Text>> ; Forward TEL"));
    EXPECT_EQ(r[3].Address, plat::inet_addr(QStringLiteral("10.1.2.3")));
    EXPECT_EQ(r[3].Handle, QStringLiteral("first"));
    EXPECT_EQ(r[4].Title, QStringLiteral("Recv  <<Text>> ; Serial Chat ; Forward TEL"));
    EXPECT_EQ(r[4].Channel, 7);
    EXPECT_TRUE(r[5].Flags & MessageRecord::FileFlag);
    EXPECT_EQ(r[5].Start, 0);
    EXPECT_EQ(r[5].Bytes, file.size());
    EXPECT_EQ(r[5].FileName, QStringLiteral("picture.bin"));
    EXPECT_TRUE(r[5].Title.startsWith(QStringLiteral("Recv  <<File>> ; ")));
    EXPECT_EQ(env.readFile(QStringLiteral("Telegram/picture.bin")), file);
    // The banner follows the record into the log.
    auto banners = [&] { return env.readFile(QStringLiteral("Kalvex.log")).count("TEL      from  [[ "); };
    for (int i = 0; i < 200 && banners() < 6; ++i)
        QThread::msleep(25);
    EXPECT_EQ(banners(), 6);
}

TEST_F(TelDeliveryTest, RefusedCasesAreRefused)
{
    auto notOlcp = FakePeer::connect(OlcpPort, [](FakePeer &p) {
        p.sendLine("HELLO\r");
        EXPECT_EQ(p.expectLine(), "NAK\r");
    });
    notOlcp->wait();
    EXPECT_TRUE(notOlcp->error().isEmpty()) << notOlcp->error().toStdString();

    // A command this edition does not serve gets no answer: the server hangs up.
    auto wrongCommand = FakePeer::connect(OlcpPort, [](FakePeer &p) {
        OlcpLogin login;
        login.command = "OLC";
        SendOlcpLogin(p, login);
        p.expectLine();
    });
    wrongCommand->wait();
    EXPECT_FALSE(wrongCommand->error().isEmpty());
    EXPECT_FALSE(wrongCommand->received().contains("ACK"));

    // Existing and hostile file names.
    auto files = deliver([](FakePeer &p) {
        EXPECT_EQ(SendFileTel(p, "once.txt", "1"), "ACK\r");
        EXPECT_EQ(SendFileTel(p, "once.txt", "2"), "NAK\r");
    });
    files->wait();
    auto hostile = deliver([](FakePeer &p) { EXPECT_EQ(SendFileTel(p, "../escape.txt", "x"), "NAK\r"); });
    hostile->wait();
    EXPECT_FALSE(QFile::exists(env.file(QStringLiteral("escape.txt"))));
    EXPECT_EQ(env.readFile(QStringLiteral("Telegram/once.txt")), QByteArray("1"));
    ASSERT_TRUE(waitForStored(1));
}

TEST_F(TelDeliveryTest, AWrongPasswordIsRefusedAfterAllLines)
{
    ProgramProcess::terminate(*process);
    // This host's TEL password, stored as the settings keep it.
    plat::UpdateRegistry(plat::RootKey::CurrentUser, [](plat::RegKey &root) {
        root.createKey(QStringLiteral("Software\\ZK\\Kalvex\\Security"))
            .writeString(QStringLiteral("TELPW"),
                         QString::fromLatin1(EncodeStoredPassword(HexEncode(ConvertPassword("secret")))));
    });
    startProgram();
    auto peer = FakePeer::connect(OlcpPort, [](FakePeer &p) {
        OlcpLogin login;
        login.password = ConvertPassword("wrong");
        SendOlcpLogin(p, login);
        EXPECT_EQ(p.expectLine(), "NAK\r");
    });
    peer->wait();
    EXPECT_TRUE(peer->error().isEmpty()) << peer->error().toStdString();
    OlcpLogin right;
    right.password = ConvertPassword("secret");
    auto accepted = deliver([](FakePeer &p) { SendTextTel(p, "let in"); SendTelOff(p); }, right);
    accepted->wait();
    EXPECT_TRUE(accepted->error().isEmpty()) << accepted->error().toStdString();
    ASSERT_TRUE(waitForStored(1));
    EXPECT_EQ(body(stored()[0]), QByteArray("let in"));
}

TEST_F(TelDeliveryTest, ClosingWithASilentPeerConnectedEndsInOrder)
{
    auto peer = deliver([](FakePeer &p) { p.stall(); });
    QThread::msleep(300);
    ProgramProcess::terminate(*process);
    EXPECT_TRUE(env.readFile(QStringLiteral("Kalvex.log")).contains("***** Kalvex Close *****"));
}

} // namespace
