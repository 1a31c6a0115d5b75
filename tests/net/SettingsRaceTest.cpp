// Settings that server threads read while the GUI thread changes them: each
// case changes one over and over while peers make the servers on port 8011
// read it. The ThreadSanitizer build fails a case whose reads are not
// synchronized with the changes; every build checks that the peers get through.
#include "core/BClient.h"
#include "core/BCommon.h"
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
#include <unistd.h>

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
        StartUdpServer();
    }
    void TearDown() override
    {
        EXPECT_TRUE(StopServers());
        delete form;
    }

    // send(0 .. Rounds - 1) on a thread of its own, change(round) on the GUI
    // thread meanwhile, until the sends and the threads they started have ended.
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
        EXPECT_TRUE(WaitUntil([&] { // a change each time it looks
            change(round++);
            return sent && plat::FreeOnTerminateThread::Running() == idle;
        }));
        sender.join();
    }

    // A TEL with the reply word, which every TEL password lets in, and the
    // wait for the close, as a sender does: its connection has left the table.
    static void sendTel(const QByteArray &name = {})
    {
        auto peer = FakePeer::connect(8011, [&name](FakePeer &p) {
            SendOlcpLogin(p, {.password = ZRA_VOLT});
            for (int answer = 0; answer < 2; ++answer) // the handshake's and the server's
                EXPECT_EQ(p.expectLine(), "ACK\r");
            if (name.isEmpty())
                SendTextTel(p, "hello");
            else
                EXPECT_EQ(SendFileTel(p, name, "data"), "ACK\r");
            SendTelOff(p);
            p.stall();
        });
        peer->wait();
        EXPECT_EQ(peer->error(), QString());
    }

    TBLookupForm *form = nullptr;
};

TEST_F(SettingsRace, TheTelPasswordChangesWhileHandshakesReadIt)
{
    race([](int) { sendTel(); }, [](int round) { TELPW = round % 2 ? ConvertPassword("SECRET") : QByteArray(); });
    EXPECT_EQ(StoredTels().size(), size_t(Rounds));
}

TEST_F(SettingsRace, TheTelFolderMovesWhileFileTelsArrive)
{
    const QStringList folders{env.file(QStringLiteral("TelA")), env.file(QStringLiteral("TelB"))};
    for (const QString &folder : folders) {
        TelegDirectory = folder;
        ASSERT_TRUE(QDir().mkpath(folder) && OpenTelLogFiles(nullptr));
    }
    race([](int i) { sendTel(QByteArray::number(i) + ".bin"); },
         [&folders](int round) {
             // As the configuration window moves it: under the TEL log's locks.
             const std::unique_lock gate(TelStoreGate);
             const std::lock_guard text(TelTextLock), data(TelDataLock);
             TelegDirectory = folders[round % 2];
         });
    const auto files = [](const QString &folder) { return QDir(folder).entryList({QStringLiteral("*.bin")}).size(); };
    EXPECT_EQ(files(folders[0]) + files(folders[1]), Rounds);
}

TEST_F(SettingsRace, TheChimeChangesWhileTelsArrive)
{
    race([](int) { sendTel(); }, [this](int round) { ArrivalChime = env.file(QString::number(round % 2) + ".wav"); });
    EXPECT_EQ(StoredTels().size(), size_t(Rounds));
}

TEST_F(SettingsRace, TheAutoReplyFileChangesWhileAutoRepliesGoOut)
{
    // The replies go back to 127.0.0.1:8011: to this program, which stores
    // them and, seeing their mark, answers no more.
    env.writeFile(QStringLiteral("0.txt"), "reply 0");
    env.writeFile(QStringLiteral("1.txt"), "reply 1");
    form->ui->AutoreplyCheckBox->setText(QString()); // without a caption its handler opens no editor
    form->ui->AutoreplyCheckBox->setChecked(true);
    form->ui->AutoreplyCheckBox->setText(QStringLiteral("Auto Reply"));
    form->ui->LockCheckBox->setChecked(true);
    race(
        [](int i) {
            sendTel();
            // One address holds only a few connections: its reply first.
            EXPECT_TRUE(WaitUntil([i] { return StoredTels().size() == size_t(2 * i + 2); }));
        },
        [this](int round) { AutoReplyFile = env.file(QString::number(round % 2) + ".txt"); });
}

TEST_F(SettingsRace, TheAccountHandlersComeAndGoWhileAnswersArrive)
{
    auto *list = new TBAccountListForm();
    race(
        [](int i) {
            // From an address of its own (answers are rationed per address):
            // the REPLY to the QUERY tells that the server has handled the rest.
            const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
            const sockaddr_in from{AF_INET, 0, {htonl(INADDR_LOOPBACK + 0x101 + quint32(i))}, {}};
            const sockaddr_in to{AF_INET, htons(8011), {htonl(INADDR_LOOPBACK)}, {}};
            const timeval wait{10, 0};
            ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
            ASSERT_EQ(::bind(s, reinterpret_cast<const sockaddr *>(&from), sizeof from), 0);
            for (const char *text : {"ACK\rUSER\r", "MEMBER\r1\r2\r3\r4\r", "SCAN\rUSER\r", "QUERY\r\r"}) {
                const QByteArray datagram = ("OLCP303L\r" + QByteArray(text)).leftJustified(256, '\0');
                ::sendto(s, datagram.constData(), 256, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
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
