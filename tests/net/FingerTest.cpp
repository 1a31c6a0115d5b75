// The finger window against a scripted finger server on port 79: the query
// line on the wire, the answer in the memo and the log file, long and
// stalled answers, a refused connect, a query broken off by closing the
// program; and the user names it refuses.
#include "core/BCommon.h"
#include "core/BFinger.h"
#include "core/BHostlst.h"
#include "core/BLookup.h"
#include "core/BRegistr.h"
#include "support/FakePeer.h"
#include "support/MainWindow.h"
#include "support/TempEnv.h"
#include "ui_BFinger.h"
#include "ui_BLookup.h"

#include <QAction>
#include <QMenu>
#include <QTest>
#include <QTimer>

#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using testsupport::FakePeer;

constexpr quint16 FingerPort = 79;

// A listener on the finger port whose one place in its queue is taken: a
// connect to it gets no answer until it is given up.
class FullListener {
public:
    FullListener()
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(FingerPort);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const auto *name = reinterpret_cast<const sockaddr *>(&address);
        const int on = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on); // earlier queries' ports may wait
        EXPECT_EQ(::bind(listener_, name, sizeof address), 0);
        EXPECT_EQ(::listen(listener_, 0), 0);
        EXPECT_EQ(::connect(filler_, name, sizeof address), 0);
    }
    ~FullListener()
    {
        ::close(filler_);
        ::close(listener_);
    }
    FullListener(const FullListener &) = delete;
    FullListener &operator=(const FullListener &) = delete;

private:
    const int listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    const int filler_ = ::socket(AF_INET, SOCK_STREAM, 0);
};

class FingerTest : public testsupport::TempEnvTest {
protected:
    void SetUp() override
    {
        main = testsupport::StartMainWindow(env);
        BFingerForm = form = new TBFingerForm();
        ui = form->ui.get();
        LogToFile = true;
        LogLebelNumber = DELTA;
        CurrentHost.IpAddress = QStringLiteral("127.0.0.1");
        CurrentHost.HostName = QStringLiteral("target.example");
        // The main window's Finger item hands the target to the window.
        main->findChild<QAction *>(QStringLiteral("Finger"))->trigger();
    }
    void TearDown() override
    {
        BFingerForm = nullptr;
        delete form;
        delete main;
    }

    // A server that reads one query line and answers with answer, then hangs up.
    static std::unique_ptr<FakePeer> Server(const QByteArray &answer)
    {
        return FakePeer::listen(
            [answer](FakePeer &peer) {
                peer.expectLine();
                peer.recvRaw(1);
                peer.sendRaw(answer);
            },
            FingerPort);
    }
    void Query(const QString &user)
    {
        ui->UserNameEdit->setText(user);
        QTest::keyClick(ui->UserNameEdit, Qt::Key_Return);
    }
    QString Memo() const { return ui->FingerMemo->toPlainText(); }
    QString LogFile() const { return QString::fromLatin1(env.readFile(LogFileName)); }

    TBLookupForm *main = nullptr;
    TBFingerForm *form = nullptr;
    Ui::TBFingerForm *ui = nullptr;
};

TEST_F(FingerTest, AnswerReachesTheMemoAndTheLog)
{
    ASSERT_TRUE(form->isVisible());
    EXPECT_EQ(ui->HostNameLabel->text(), QStringLiteral("target.example"));

    auto server = Server("Login: alice\tName: Alice\nNo mail.\x1b[2J\r\n");
    Query(QStringLiteral("alice"));
    server->wait();
    EXPECT_EQ(server->received(), QByteArray("alice\r\n"));
    const QString header = QString(27, QLatin1Char('=')) + QStringLiteral("\nLogin name \"alice@target.example\"\n") +
                           QString(27, QLatin1Char('-'));
    EXPECT_TRUE(Memo().startsWith(header)) << Memo().toStdString();
    // Tabs stay as they came; other control characters show escaped.
    EXPECT_TRUE(Memo().endsWith(QStringLiteral("Login: alice\tName: Alice\nNo mail.\\x1B[2J\n")))
        << Memo().toStdString();
    EXPECT_TRUE(LogFile().contains(QStringLiteral("Login name \"alice@target.example\"\r\n")));
    EXPECT_TRUE(LogFile().contains(QStringLiteral("alice\tName: Alice\r\nNo mail.\\x1B[2J")));
    EXPECT_TRUE(ui->UserNameEdit->text().isEmpty());

    // An empty name asks for the list of users; at level 0 only the header
    // lines and the whole answer show. A TimeOutValue of 0 sets no limit.
    LogLebelNumber = ZERO;
    TimeOutValue = 0;
    ui->FingerMemo->clear();
    server.reset(); // the port is free for the next server
    server = Server(QByteArray("bob  tty1\r\n") + '\0' + "after the NUL");
    Query(QString());
    server->wait();
    EXPECT_EQ(server->received(), QByteArray("\r\n"));
    EXPECT_EQ(Memo(), QString(27, QLatin1Char('=')) + QStringLiteral("\nLogin name \"\"\n") +
                          QString(27, QLatin1Char('-')) + QStringLiteral("\nbob  tty1\n"));
}

TEST_F(FingerTest, LongStalledAndRefusedAnswersEndTheQuery)
{
    LogLebelNumber = ZERO;
    auto server = Server(QByteArray(6000, 'x'));
    Query(QStringLiteral("many"));
    server->wait();
    EXPECT_TRUE(Memo().endsWith(QString(FingerBufferSize, QLatin1Char('x'))));
    EXPECT_FALSE(Memo().contains(QString(FingerBufferSize + 1, QLatin1Char('x'))));

    // A server that answers part and then goes silent is given up after TimeOutValue.
    LogLebelNumber = ALPHA;
    TimeOutValue = 300;
    ui->FingerMemo->clear();
    server.reset();
    server = FakePeer::listen(
        [](FakePeer &peer) {
            peer.expectLine();
            peer.sendRaw("partial answer");
            peer.stall();
        },
        FingerPort);
    Query(QStringLiteral("slow"));
    EXPECT_TRUE(Memo().contains(QStringLiteral("*** recv *** Error code = 10060"))) << Memo().toStdString();
    EXPECT_TRUE(Memo().endsWith(QStringLiteral("partial answer")));
    server.reset();

    // Nobody listening: the query controls are disabled until the main window
    // opens it again; the name stays.
    Query(QStringLiteral("nobody"));
    EXPECT_EQ(ui->UserNameEdit->text(), QStringLiteral("nobody"));
    EXPECT_FALSE(ui->UserNameEdit->isEnabled());
    EXPECT_FALSE(ui->FingerButton->isEnabled());
    main->findChild<QAction *>(QStringLiteral("Finger"))->trigger();
    EXPECT_TRUE(ui->UserNameEdit->isEnabled());

    // A host that does not answer is given up after TimeOutValue too.
    const FullListener silentHost;
    QElapsedTimer waited;
    waited.start();
    Query(QStringLiteral("nobody"));
    EXPECT_LT(waited.elapsed(), 5000);
    EXPECT_FALSE(ui->UserNameEdit->isEnabled());
}

// Closing the program while a server stalls ends the query at once, long
// before the time-out.
TEST_F(FingerTest, ClosingTheProgramBreaksAQuery)
{
    TimeOutValue = 60000;
    auto server = FakePeer::listen(
        [](FakePeer &peer) {
            peer.expectLine();
            peer.sendRaw("partial answer");
            peer.stall();
        },
        FingerPort);
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, main, [this] {
        if (Memo().contains(QStringLiteral("partial answer")))
            main->ExitButtonClick();
    });
    closer.start(10);
    Query(QStringLiteral("slow"));
    EXPECT_TRUE(main->HasClosed());
    EXPECT_TRUE(Memo().contains(QStringLiteral("*** recv *** Error code = 10004"))) << Memo().toStdString();
    EXPECT_TRUE(Memo().endsWith(QStringLiteral("partial answer")));
}

// So does closing it while the connect waits for a host that does not answer.
TEST_F(FingerTest, ClosingTheProgramBreaksAConnect)
{
    TimeOutValue = 60000;
    const FullListener silentHost;
    QTimer::singleShot(300, main, [this] { main->ExitButtonClick(); });
    QElapsedTimer waited;
    waited.start();
    Query(QStringLiteral("slow"));
    EXPECT_LT(waited.elapsed(), 5000);
    EXPECT_TRUE(main->HasClosed());
    EXPECT_FALSE(Memo().contains(QStringLiteral("Login name")));
}

// User names that are refused before anything is sent.
TEST_F(FingerTest, OverlongUserNamesAreRefused)
{
    LogLebelNumber = ZERO; // the refusal shows whatever the level
    auto server = Server("unused");
    for (const QString &name : {QString(MaxFingerUserName + 1, QLatin1Char('u')),
                                QString(MaxFingerUserName / 2 + 1, QChar(0x3042))}) {
        ui->FingerMemo->clear();
        Query(name);
        EXPECT_TRUE(Memo().contains(QStringLiteral("*** User name too long"))) << Memo().toStdString();
        EXPECT_FALSE(Memo().contains(QStringLiteral("Login name")));
        EXPECT_EQ(ui->UserNameEdit->text(), name);
    }
    // The longest name that fits goes out whole.
    Query(QString(MaxFingerUserName, QLatin1Char('u')));
    server->wait();
    EXPECT_EQ(server->received(), QByteArray(MaxFingerUserName, 'u') + "\r\n");
}

} // namespace
