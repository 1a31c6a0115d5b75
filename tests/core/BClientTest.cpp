// The OLCP handshake from both sides and the Stay TEL fetch, each against a
// scripted peer on a real loopback connection.
#include "core/BClient.h"
#include "core/BCommon.h"
#include "core/BHostlst.h"
#include "core/BLookup.h"
#include "core/BRegistr.h"
#include "core/BServer.h"
#include "platform/Cp932.h"
#include "platform/DayDate.h"
#include "platform/RecordFile.h"
#include "support/OlcpScripts.h"
#include "support/MainWindow.h"
#include "support/TempEnv.h"
#include "tel/BTelLog.h"
#include "tel/BTelServ.h"
#include "ui_BLookup.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QPlainTextEdit>
#include <QStatusBar>

#include <gtest/gtest.h>

#include <netinet/in.h>

#include <array>
#include <ostream>
#include <thread>
#include <vector>

using testsupport::FakePeer;
using testsupport::OlcpLogin;

// Readable texts in failure messages.
static void PrintTo(const QString &text, std::ostream *os)
{
    *os << '"' << text.toStdString() << '"';
}

namespace {

const QByteArray StoredSecret = ConvertPassword("secret"); // the form records and TELPW hold

class Handshake : public testsupport::TempEnvTest {
protected:
    void SetUp() override
    {
        LogLebelNumber = GAMMA;
        RateWindowMs = 0; // every failure shows, also one an earlier test logged a moment ago
        TELPW = QByteArray();
        HostListFile = env.file(QStringLiteral("Kalvex.lst")); // where peers' versions are recorded
        CreateDefaultHostList();
        form = new TBLookupForm(); // the status bar; its memo gets the log
        QCoreApplication::processEvents();
        form->ui->LookupMemo->clear();
    }
    void TearDown() override
    {
        hangUp();
        QCoreApplication::processEvents();
        delete form;
    }

    // Connects s to a scripted server.
    std::unique_ptr<FakePeer> serverPeer(FakePeer::Script script)
    {
        hangUp();
        auto peer = FakePeer::listen(std::move(script));
        int error = -1;
        s = ConnectServer(SOCK_STREAM, QStringLiteral("olcp"), QStringLiteral("tcp"), error,
                          QStringLiteral("127.0.0.1"), peer->port());
        EXPECT_NE(s, plat::INVALID_SOCKET);
        return peer;
    }
    // Lets the script finish: the peer reads until this side hangs up.
    void finish(FakePeer &peer)
    {
        hangUp();
        peer.wait();
    }
    void hangUp()
    {
        if (s != plat::INVALID_SOCKET)
            plat::closesocket(s);
        s = plat::INVALID_SOCKET;
    }
    QString status() const
    {
        QCoreApplication::processEvents();
        return form->ui->L_StatusBar->currentMessage();
    }
    QString logText() const
    {
        QCoreApplication::processEvents();
        return form->ui->LookupMemo->toPlainText();
    }
    static HostRecord Target()
    {
        HostRecord host;
        host.IpAddress = QStringLiteral("127.0.0.1");
        host.Handle = QStringLiteral("たろう");
        host.UserId = QStringLiteral("USER0001");
        host.TelPassword = StoredSecret;
        host.OlcPassword = ConvertPassword("olcpass");
        return host;
    }

    plat::SOCKET s = plat::INVALID_SOCKET;
    TBLookupForm *form = nullptr;
};

// ---- the client's side ----------------------------------------------------------

TEST_F(Handshake, TheServersAnswerDecides)
{
    struct Case {
        QString command;
        QByteArray answer;
        bool usable;
        QString reply, status;
        QByteArray password; // the line the server read
    };
    const std::vector<Case> cases = {
        // After "ACK" the service's own answer follows: a TEL receiver's "ACK", a busy server's "CAN".
        {QStringLiteral("TEL"), "ACK\rACK\r", true, QStringLiteral("ACK"), QString(), StoredSecret},
        {QStringLiteral("OLC"), "ACK\rCAN\r", true, QStringLiteral("CAN"), QString(), ConvertPassword("olcpass")},
        {QStringLiteral("TEL"), "STAY\r", true, QStringLiteral("STAY"),
         QStringLiteral("127.0.0.1 : Received Stay TEL ..."), StoredSecret},
        {QStringLiteral("TEL"), "NAK\r", false, QStringLiteral("NAK"),
         QStringLiteral("127.0.0.1 : Transmit Password Disagreement ..."), StoredSecret},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.answer.toStdString());
        form->ui->L_StatusBar->clearMessage();
        OlcpLogin sent;
        auto peer = serverPeer([&](FakePeer &p) {
            sent = ReadOlcpLogin(p, "OLCP303S");
            p.sendLine(c.answer);
            p.stall();
        });
        HostRecord host = Target();
        QString reply;
        EXPECT_EQ(ClientHandshake(s, c.command, host, reply), c.usable);
        EXPECT_EQ(reply, c.reply);
        EXPECT_EQ(status(), c.status);
        EXPECT_EQ(host.OlcpVersion, QStringLiteral("OLCP303S"));
        finish(*peer);
        // A newer peer gets the stored password form as it is, and the user ID.
        EXPECT_EQ(sent.version, "OLCP303L");
        EXPECT_EQ(sent.password, c.password);
        EXPECT_EQ(sent.handle, plat::ToCp932(QStringLiteral("たろう")));
        EXPECT_EQ(sent.userId, "USER0001");
    }
}

TEST_F(Handshake, RefusalsBeforeAnyPasswordGoesOut)
{
    struct Case {
        QByteArray serverVersion;
        QString command;
        QByteArray sent; // everything the server reads
        QString status;
    };
    const std::vector<Case> cases = {
        {"HELLO", QStringLiteral("TEL"), "OLCP303L\r", QStringLiteral("127.0.0.1 : Invalid OLCP Version  ...")},
        // A client-only edition serves TELs only; the command line still goes out.
        {"OLCP303L", QStringLiteral("OLC"), "OLCP303L\rOLC\r",
         QStringLiteral("127.0.0.1 : Kalvex_Light ... Server not supported.")},
        {"OLCP303L", QStringLiteral("ACC"), "OLCP303L\rACC\r",
         QStringLiteral("127.0.0.1 : Kalvex_Light ... Server not supported.")},
        {"OLCP202S", QStringLiteral("ACC"), "OLCP303L\r", QStringLiteral("127.0.0.1 : Account Invalid ...")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.serverVersion.toStdString() + " " + c.command.toStdString());
        auto peer = serverPeer([&](FakePeer &p) {
            p.expectLine();
            p.sendLine(c.serverVersion + '\r');
            p.stall();
        });
        HostRecord host = Target();
        QString reply;
        EXPECT_FALSE(ClientHandshake(s, c.command, host, reply));
        EXPECT_EQ(status(), c.status);
        finish(*peer);
        EXPECT_EQ(peer->received(), c.sent);
    }
}

TEST_F(Handshake, OlderPeersGetTheTypedPasswordAndNoUserIdLine)
{
    struct Case {
        QByteArray serverVersion;
        QString command;
        QByteArray telPassword;
        QByteArray expected; // the password line
    };
    const std::vector<Case> cases = {
        // Seven characters, number 202: transformed, not a client-only edition.
        {"OLCP202", QStringLiteral("OLC"), StoredSecret, "olcpass"},
        {"OLCP202", QStringLiteral("TEL"), StoredSecret, "secret"},
        // The reply word is never transformed.
        {"OLCP202", QStringLiteral("TEL"), ZRA_VOLT, ZRA_VOLT},
        // Digits that are no number count as version 0.
        {"OLCPxyzL", QStringLiteral("TEL"), StoredSecret, "secret"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.serverVersion.toStdString() + " " + c.command.toStdString());
        auto peer = serverPeer([&](FakePeer &p) {
            ReadOlcpLogin(p, c.serverVersion);
            p.sendLine("ACK\rACK\r");
            p.stall();
        });
        HostRecord host = Target();
        host.TelPassword = c.telPassword;
        QString reply;
        EXPECT_TRUE(ClientHandshake(s, c.command, host, reply));
        finish(*peer);
        EXPECT_EQ(peer->received(), "OLCP303L\r" + plat::ToCp932(c.command) + '\r' + c.expected + '\r' +
                                        plat::ToCp932(QStringLiteral("たろう")) + '\r');
    }
}

// ---- the server's side ----------------------------------------------------------

// Runs the server's side on the accepted end of a loopback connection from a
// scripted client, on a thread of its own as a server thread would; then
// closes the socket as the server thread does.
class Serving : public Handshake {
protected:
    template <typename Serve>
    std::unique_ptr<FakePeer> serveClient(FakePeer::Script script, Serve serve)
    {
        const plat::SOCKET listener = plat::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof address;
        plat::bind(listener, reinterpret_cast<sockaddr *>(&address), length);
        plat::listen(listener, 1);
        plat::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
        auto peer = FakePeer::connect(ntohs(address.sin_port), std::move(script));
        sockaddr_in from{};
        length = sizeof from;
        const plat::SOCKET accepted = plat::accept(listener, reinterpret_cast<sockaddr *>(&from), &length);
        plat::closesocket(listener);
        EXPECT_NE(accepted, plat::INVALID_SOCKET);
        std::thread server([&] { serve(accepted, from); });
        server.join();
        plat::closesocket(accepted);
        peer->wait();
        return peer;
    }
    std::unique_ptr<FakePeer> serve(FakePeer::Script script)
    {
        return serveClient(std::move(script), [](plat::SOCKET a, const sockaddr_in &from) { ServeConnection(a, from); });
    }
    // The lines of an answered login, as the client reads them.
    static FakePeer::Script Login(const OlcpLogin &login, QByteArray *answer)
    {
        return [login, answer](FakePeer &p) {
            testsupport::SendOlcpLogin(p, login);
            *answer = p.expectLine();
            if (*answer == "ACK\r")
                p.sendLine("OFF\r"); // leaves at once what follows "ACK"
            p.stall();
        };
    }
    static OlcpLogin Client(const QByteArray &version, const QByteArray &password)
    {
        OlcpLogin login;
        login.version = version;
        login.password = password;
        return login;
    }
};

TEST_F(Serving, OnlyAnOlcpPeerAskingForTelGetsAnAnswer)
{
    auto peer = serve([](FakePeer &p) {
        p.sendLine("GET / HTTP/1.0\r");
        p.stall();
    });
    EXPECT_EQ(peer->received(), "NAK\r");

    OlcpLogin login = Client("OLCP303L", StoredSecret);
    login.command = "OLC";
    peer = serve([&](FakePeer &p) {
        testsupport::SendOlcpLogin(p, login);
        p.stall();
    });
    EXPECT_EQ(peer->received(), "OLCP303L\r"); // the version line and nothing more
}

TEST_F(Serving, PasswordFormsAndTheReplyWord)
{
    TELPW = StoredSecret;
    struct Case {
        QByteArray version, password, answer;
    };
    const std::vector<Case> cases = {
        {"OLCP303L", StoredSecret, "ACK\r"},
        {"OLCP303L", "secret", "NAK\r"},
        {"OLCP303L", ZRA_VOLT, "ACK\r"},
        // An older peer sends the password as typed; it is transformed before comparing.
        {"OLCP202", "secret", "ACK\r"},
        {"OLCP202", StoredSecret, "NAK\r"},
        // The reply word is compared as received.
        {"OLCP202", ZRA_VOLT, "ACK\r"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.version.toStdString() + " " + c.password.toHex().toStdString());
        QByteArray answer;
        serve(Login(Client(c.version, c.password), &answer));
        EXPECT_EQ(answer, c.answer);
    }
    TELPW = QByteArray();
    QByteArray answer;
    serve(Login(Client("OLCP303L", "anything"), &answer));
    EXPECT_EQ(answer, "ACK\r");
}

TEST_F(Serving, AWrongPasswordIsAnsweredAfterAllLinesAndLoggedMasked)
{
    TELPW = StoredSecret;
    QByteArray answer;
    auto peer = serve(Login(Client("OLCP303L", "wrong-pw"), &answer));
    EXPECT_EQ(answer, "NAK\r");
    EXPECT_EQ(peer->received(), "OLCP303L\rNAK\r");
    const QStringList lines = logText().split(QLatin1Char('\n'));
    const QStringList expected = {QStringLiteral("OLCP303L"), QStringLiteral("TEL"), QStringLiteral("********"),
                                  QStringLiteral("... TEL Password Disagreement ! ..."), QStringLiteral("tester"),
                                  QStringLiteral("USER0001")};
    EXPECT_EQ(lines.mid(lines.indexOf(QStringLiteral("OLCP303L")), expected.size()), expected);
    EXPECT_FALSE(logText().contains(QStringLiteral("wrong-pw")));
}

TEST_F(Serving, TheConnectionRecordKeepsOnlyAUserIdOfEightCharacters)
{
    HostRecord connection;
    bool served = false;
    auto handshake = [&](plat::SOCKET a, const sockaddr_in &from) { served = ServerHandshake(a, from, connection); };
    OlcpLogin login = Client("OLCP303L", StoredSecret);
    login.handle = QByteArray(40, 'h');
    QByteArray answer;
    serveClient(Login(login, &answer), handshake);
    EXPECT_TRUE(served);
    EXPECT_EQ(connection.IpAddress, QStringLiteral("127.0.0.1"));
    EXPECT_NE(connection.PeerPort, 0);
    EXPECT_EQ(connection.OlcpVersion, QStringLiteral("OLCP303L"));
    EXPECT_EQ(connection.Handle, QString(32, QLatin1Char('h')));
    EXPECT_EQ(connection.UserId, QStringLiteral("USER0001"));

    // A user-ID line of another length is read and dropped: the answer still comes.
    login.userId = "USER001";
    serveClient(Login(login, &answer), handshake);
    EXPECT_TRUE(served);
    EXPECT_EQ(answer, "ACK\r");
    EXPECT_EQ(connection.UserId, QString());
}

TEST_F(Serving, APeerThatHangsUpOrFallsSilentEndsTheHandshake)
{
    auto peer = serve([](FakePeer &p) {
        p.sendLine("OLCP303L\r");
        p.expectLine();
        p.sendLine("TEL\r");
    });
    EXPECT_EQ(peer->received(), "OLCP303L\r");

    TimeOutValue = 200;
    peer = serve([](FakePeer &p) {
        p.sendLine("OLCP303L\r");
        p.stall();
    });
    EXPECT_TRUE(logText().contains(QStringLiteral("*** recv[String] *** Error code = 10060")));
}

// ---- the Stay TEL fetch ---------------------------------------------------------

class StayFetch : public Handshake {
protected:
    void SetUp() override
    {
        Handshake::SetUp();
        TelegDirectory = env.path();
        TelegFileName = QStringLiteral("Teleg000");
        QString error;
        ASSERT_TRUE(OpenTelLogFiles(&error)) << error.toStdString();
    }
    static HostRecord Holder(const QString &version)
    {
        HostRecord host = Target();
        host.OlcpVersion = version;
        return host;
    }
};

TEST_F(StayFetch, TheAccountPasswordFetchesEveryTelUpToEof)
{
    testsupport::StayItem first;
    first.userId = "FROM0001";
    first.handle = plat::ToCp932(QStringLiteral("はなこ"));
    first.text = plat::ToCp932(QStringLiteral("留守中の伝言"));
    testsupport::StayItem second;
    second.userId = "FROM0002";
    second.dateTime = "2023/12/31 23:59:58";
    second.text = "{\\rtf1 rich}";
    auto peer = serverPeer([&](FakePeer &p) {
        EXPECT_EQ(p.expectLine(), "account\r");
        p.sendLine("ACK\r");
        testsupport::SendStayItem(p, 303, first);
        testsupport::SendStayItem(p, 303, second);
        p.sendLine("EOF\r");
        p.stall();
    });
    HostRecord host = Holder(QStringLiteral("OLCP303S"));
    QString reply;
    EXPECT_FALSE(SendAccountPassword(s, false, host, reply, "account")); // the fetch ends the connection
    EXPECT_EQ(reply, QStringLiteral("ACK"));
    finish(*peer);
    EXPECT_EQ(peer->error(), QString());

    const auto tels = testsupport::StoredTels();
    ASSERT_EQ(tels.size(), 2u);
    EXPECT_EQ(tels[0].UserId, QStringLiteral("FROM0001"));
    EXPECT_EQ(tels[0].Handle, QStringLiteral("はなこ"));
    EXPECT_EQ(plat::FormatShortDate(plat::FromDayDate(tels[0].DateTime)), QStringLiteral("2024/05/06"));
    EXPECT_EQ(plat::FormatLongTime(plat::FromDayDate(tels[0].DateTime)), QStringLiteral("07:08:09"));
    EXPECT_TRUE(tels[0].Flags & MessageRecord::StayFlag);
    EXPECT_EQ(tels[0].AuxText2, QStringLiteral("USER0001")); // fetched under this user ID
    EXPECT_EQ(plat::ReadFileAt(TelTextFile(), tels[0].Start, tels[0].Bytes), first.text);
    EXPECT_EQ(tels[1].UserId, QStringLiteral("FROM0002"));
    EXPECT_EQ(plat::ReadFileAt(TelTextFile(), tels[1].Start, tels[1].Bytes), second.text);
}

TEST_F(StayFetch, OlderHoldersSendAFileNameLineAndLooseDates)
{
    const double before = plat::DayDateNow();
    testsupport::StayItem item;
    item.fileName = "C:\\TEMP\\..\\note\x01.txt";
    item.dateTime = "someday";
    item.text = "old";
    auto peer = serverPeer([&](FakePeer &p) {
        testsupport::SendStayItem(p, 202, item);
        item.fileName = "..";
        testsupport::SendStayItem(p, 202, item);
        p.sendLine("EOF\r");
        p.stall();
    });
    HostRecord host = Holder(QStringLiteral("OLCP202"));
    EXPECT_TRUE(RecvStayTels(s, host));
    finish(*peer);
    const auto tels = testsupport::StoredTels();
    ASSERT_EQ(tels.size(), 2u);
    // Kept as the holder sent it; used as a path it is refused (SafeBaseName).
    EXPECT_EQ(tels[0].FileName, QStringLiteral("C:\\TEMP\\..\\note\x01.txt"));
    EXPECT_GE(tels[0].DateTime, before); // a date that does not read is the time of arrival
    EXPECT_EQ(tels[1].FileName, QStringLiteral(".."));

    // A holder that hangs up inside an item: the TELs before it stay stored.
    peer = serverPeer([&](FakePeer &p) {
        testsupport::SendStayItem(p, 202, item);
        p.sendLine("FROM0003\rname\r");
    });
    EXPECT_FALSE(RecvStayTels(s, host));
    finish(*peer);
    EXPECT_EQ(testsupport::StoredTels().size(), 3u);

    // A TEL the log cannot take ends the fetch with a reset; the user is told.
    ASSERT_TRUE(QFile::remove(TelTextFile()));
    ASSERT_TRUE(QDir().mkdir(TelTextFile()));
    peer = serverPeer([&](FakePeer &p) {
        testsupport::SendStayItem(p, 202, item);
        p.sendLine("EOF\r");
        p.expectLine(); // nothing comes: the close or the reset ends it
    });
    EXPECT_FALSE(RecvStayTels(s, host));
    finish(*peer);
    EXPECT_TRUE(peer->error().contains(QStringLiteral("reset"))) << peer->error().toStdString();
    EXPECT_EQ(testsupport::StoredTels().size(), 3u);
    EXPECT_TRUE(status().contains(QStringLiteral("compact or change it in the TEL log window")));
}

TEST_F(StayFetch, DecliningGoesOnAsAfterAckAndAWrongPasswordStoresNothing)
{
    form->ui->L_StatusBar->showMessage(QStringLiteral("127.0.0.1 : Received Stay TEL ..."));
    auto peer = serverPeer([](FakePeer &p) {
        EXPECT_EQ(p.expectLine(), "CAN\r");
        p.sendLine("ACK\r");
        p.stall();
    });
    HostRecord host = Holder(QStringLiteral("OLCP303S"));
    QString reply;
    EXPECT_TRUE(SendAccountPassword(s, true, host, reply, "unused"));
    EXPECT_EQ(reply, QStringLiteral("ACK"));
    EXPECT_EQ(status(), QString());
    finish(*peer);
    EXPECT_EQ(peer->received(), "CAN\r");

    peer = serverPeer([](FakePeer &p) {
        p.expectLine();
        p.sendLine("NAK\r");
        p.stall();
    });
    EXPECT_FALSE(SendAccountPassword(s, false, host, reply, "wrong"));
    EXPECT_EQ(status(), QStringLiteral("USER0001 : Account Password Disagreement ..."));
    finish(*peer);
    EXPECT_TRUE(testsupport::StoredTels().empty());
}

} // namespace
