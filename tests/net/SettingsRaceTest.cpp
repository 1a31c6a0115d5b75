// Settings that the program's server threads read while the GUI thread
// changes them. Each case keeps changing one setting on the GUI thread while
// peers make the servers on port 8011 read it, one conversation or datagram
// after another. The ThreadSanitizer build (scripts/test) fails a case whose
// reads are not synchronized with the changes; every build checks that the
// conversations still go through.
#include "core/BClient.h"
#include "core/BCommon.h"
#include "core/BLookup.h"
#include "core/BRegistr.h"
#include "core/BTcpServ.h"
#include "core/BUdpServ.h"
#include "platform/FreeOnTerminateThread.h"
#include "support/FakePeer.h"
#include "support/MainWindow.h"
#include "support/OlcpScripts.h"
#include "support/TelSender.h"
#include "support/TempEnv.h"
#include "support/Wait.h"
#include "tel/BAccLst.h"
#include "tel/BTelLog.h"
#include "ui_BLookup.h"

#include <QDir>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>

using namespace testsupport;

namespace {

constexpr int Rounds = 40;

class SettingsRace : public TempEnvTest {
protected:
    void SetUp() override
    {
        form = StartMainWindow(env);
        LogLebelNumber = ALPHA;
        StartTcpServer();
        ASSERT_EQ(TcpServerAlive, 1);
    }
    void TearDown() override
    {
        EXPECT_TRUE(StopServers());
        delete form;
    }

    // Runs send(i) for i = 0 .. Rounds - 1 on a thread of its own while
    // change(round) runs on the GUI thread over and over, until the sends and
    // the threads they started have ended.
    static void race(const std::function<void(int)> &send, const std::function<void(int)> &change)
    {
        const int idle = plat::FreeOnTerminateThread::Running();
        std::atomic<bool> sent{false};
        std::thread sender([&] {
            for (int i = 0; i < Rounds; ++i)
                send(i);
            sent = true;
        });
        int round = 0;
        // One change each time the condition is looked at.
        EXPECT_TRUE(WaitUntil([&] {
            change(round++);
            return sent && plat::FreeOnTerminateThread::Running() == idle;
        }));
        sender.join();
    }

    // One TEL conversation with the server on port 8011 that logs in with the
    // reply word (which every TEL password lets in); its script runs after the
    // handshake's and the server's "ACK", and then the peer waits for the
    // server's close, as a sender does: the connection has left the table.
    static void converse(const FakePeer::Script &script)
    {
        auto peer = FakePeer::connect(8011, [&script](FakePeer &p) {
            SendOlcpLogin(p, {.password = ZRA_VOLT});
            if (p.expectLine() == "ACK\r" && p.expectLine() == "ACK\r")
                script(p);
            p.stall();
        });
        peer->wait();
        EXPECT_EQ(peer->error(), QString());
    }

    static void textTel(FakePeer &p)
    {
        SendTextTel(p, "hello");
        SendTelOff(p);
    }

    TBLookupForm *form = nullptr;
};

TEST_F(SettingsRace, TheTelPasswordChangesWhileHandshakesReadIt)
{
    race([](int) { converse(textTel); }, [](int round) { TELPW = round % 2 ? ConvertPassword("SECRET") : QByteArray(); });
    EXPECT_EQ(StoredTels().size(), size_t(Rounds));
}

TEST_F(SettingsRace, TheTelFolderMovesWhileFileTelsArrive)
{
    const QStringList folders{env.file(QStringLiteral("TelA")), env.file(QStringLiteral("TelB"))};
    for (const QString &folder : folders) {
        ASSERT_TRUE(QDir().mkpath(folder));
        TelegDirectory = folder;
        ASSERT_TRUE(OpenTelLogFiles(nullptr));
    }
    race(
        [](int i) {
            converse([i](FakePeer &p) {
                EXPECT_EQ(SendFileTel(p, QByteArray::number(i) + ".bin", "data"), "ACK\r");
                SendTelOff(p);
            });
        },
        [&folders](int round) {
            // As the configuration window moves it: under the TEL log's locks.
            const std::unique_lock gate(TelStoreGate);
            const std::lock_guard text(TelTextLock);
            const std::lock_guard data(TelDataLock);
            TelegDirectory = folders[round % 2];
        });
    qsizetype files = 0;
    for (const QString &folder : folders)
        files += QDir(folder).entryList({QStringLiteral("*.bin")}, QDir::Files).size();
    EXPECT_EQ(files, Rounds);
}

TEST_F(SettingsRace, TheChimeChangesWhileTelsArrive)
{
    race([](int) { converse(textTel); },
         [this](int round) { ArrivalChime = env.file(round % 2 ? QStringLiteral("a.wav") : QStringLiteral("b.wav")); });
    EXPECT_EQ(StoredTels().size(), size_t(Rounds));
}

TEST_F(SettingsRace, TheAutoReplyFileChangesWhileAutoRepliesGoOut)
{
    // The auto replies go back to the sender's address, 127.0.0.1:8011: to
    // this program, which stores them and, seeing the mark, answers no more.
    env.writeFile(QStringLiteral("a.txt"), "reply a");
    env.writeFile(QStringLiteral("b.txt"), "reply b");
    QCheckBox *autoReply = form->ui->AutoreplyCheckBox;
    autoReply->setText(QString()); // without a caption its handler leaves the editor closed
    autoReply->setChecked(true);
    autoReply->setText(QStringLiteral("Auto Reply"));
    form->ui->LockCheckBox->setChecked(true);
    race(
        [](int i) {
            converse(textTel);
            // One address holds only a few connections: its reply first.
            EXPECT_TRUE(WaitUntil([i] { return StoredTels().size() == size_t(2 * i + 2); }));
        },
        [this](int round) { AutoReplyFile = env.file(round % 2 ? QStringLiteral("a.txt") : QStringLiteral("b.txt")); });
}

TEST_F(SettingsRace, TheAccountHandlersComeAndGoWhileAnswersArrive)
{
    StartUdpServer();
    ASSERT_EQ(UdpServerAlive, 1);
    auto *list = new TBAccountListForm();
    race(
        [](int i) {
            // The answers and a query from an address of their own (queries
            // are answered a few times a second per address): the REPLY
            // tells that the server has handled them all.
            const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
            sockaddr_in from{}, to{};
            from.sin_family = to.sin_family = AF_INET;
            from.sin_addr.s_addr = htonl(INADDR_LOOPBACK + 0x100 + 1 + quint32(i));
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            to.sin_port = htons(8011);
            const timeval wait{10, 0};
            ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
            ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr *>(&from), sizeof from), 0);
            for (const char *text : {"OLCP303L\rACK\rUSER\r", "OLCP303L\rMEMBER\r1\r2\r3\r4\r",
                                     "OLCP303L\rSCAN\rUSER\r", "OLCP303L\rQUERY\r\r"}) {
                const QByteArray datagram = QByteArray(text).leftJustified(256, '\0');
                ::sendto(s, datagram.constData(), datagram.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
            }
            char reply[256];
            EXPECT_EQ(::recv(s, reply, sizeof reply, 0), 256);
            ::close(s);
        },
        [&list](int round) {
            // As start-up installs them and the window's end clears them.
            if (round % 2 == 0) {
                list->InstallSeams();
            } else {
                delete list;
                list = new TBAccountListForm();
            }
        });
    delete list;
}

} // namespace
