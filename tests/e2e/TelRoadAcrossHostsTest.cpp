// The whole road of a TEL between hosts of a NetLab, with the program in the
// test process as host 10.77.0.1 and Kalvex_L programs on the others: an
// arriving TEL pops up the receive window and Reply reaches the sender with
// the reply word; a program in auto-reply mode answers a TEL with its reply
// file but never an auto reply; a program in forward mode passes a TEL on to
// its forward host and never back to the sender.
#include "core/BCommon.h"
#include "core/BLookup.h"
#include "core/BRegistr.h"
#include "core/BTcpServ.h"
#include "core/BHostlst.h"
#include "core/BUdpServ.h"
#include "core/MessageRecord.h"
#include "core/RichView.h"
#include "platform/Cp932.h"
#include "platform/RecordFile.h"
#include "platform/WinSock.h"
#include "support/FakePeer.h"
#include "support/MainWindow.h"
#include "support/NetLab.h"
#include "support/OlcpScripts.h"
#include "support/ProgramProcess.h"
#include "support/TelSender.h"
#include "support/TempEnv.h"
#include "support/Typing.h"
#include "support/Wait.h"
#include "tel/BRecvTel.h"
#include "tel/BSendTel.h"
#include "tel/BTelLog.h"
#include "ui_BEditor.h"
#include "ui_BLookup.h"
#include "ui_BRecvTel.h"

#include <QApplication>
#include <QCheckBox>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTextEdit>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>

using namespace testsupport;

namespace {

constexpr quint16 OlcpPort = 8011;

// The program in the test process with its TCP and UDP servers: host 10.77.0.1.
class TelRoad : public TempEnvTest {
protected:
    void SetUp() override
    {
        form = StartMainWindow(env);
        ui = form->ui.get();
        RepeatTransmit = false;
        StartTcpServer();
        StartUdpServer();
        ASSERT_TRUE(WaitForTcpServer(NetLab::ownAddress()));
    }
    void TearDown() override
    {
        if (TBSendTelegramForm *w = ShownSendWindow())
            w->close();
        EXPECT_TRUE(StopServers());
        delete form;
        for (QProcess *running : programs) {
            if (running->state() == QProcess::Running)
                ProgramProcess::terminate(*running);
        }
    }

    // Starts Kalvex_L on host with arguments and waits until it serves TELs.
    void startProgram(const ProgramProcess &program, const NetHost &host, const QStringList &arguments = {})
    {
        started.push_back(program.start(arguments));
        programs.push_back(started.back().get());
        ASSERT_TRUE(program.waitUntilUp());
        ASSERT_TRUE(WaitForTcpServer(host.address()));
    }
    // Sends a TEL from inside host to address with the command-line client.
    static void sendFrom(const NetHost &host, const QString &address, const QByteArray &body,
                         const QString &handle = QStringLiteral("sender"))
    {
        host.folder().writeFile(QStringLiteral("tel.txt"), body);
        ASSERT_TRUE(host.run(BinPath(QStringLiteral("tel_send")),
                             {QStringLiteral("--handle"), handle, address, host.folder().file(QStringLiteral("tel.txt"))}));
    }
    // Types text into the send window that shows and sends it; true once the
    // window has closed.
    static bool typeAndSend(const QString &text)
    {
        QPointer<TBSendTelegramForm> w = ShownSendWindow();
        if (!w)
            return false;
        TypeText(w->ui->SendRich->Rich(), text);
        QTest::mouseClick(w->ui->SendButton, Qt::LeftButton);
        return WaitUntil([&] { return !w; }, 20000);
    }
    static QString TelText(const QByteArray &body)
    {
        TRichView view;
        view.LoadFromBuffer(body);
        return view.Rich()->toPlainText();
    }

    NetLab lab;
    TBLookupForm *form = nullptr;
    Ui::TBLookupForm *ui = nullptr;
    std::vector<std::unique_ptr<QProcess>> started;
    std::vector<QProcess *> programs;
};

TEST_F(TelRoad, AnArrivingTelPopsUpTheReceiveWindowAndReplyReachesTheSenderWithTheReplyWord)
{
    NetHost &a = lab.addHost();
    // A accepts TELs only with its password, or with the reply word.
    a.folder().writeFile(
        QStringLiteral("registry/HKEY_CURRENT_USER.reg"),
        "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\ZK\\Kalvex\\Security]\r\n\"Version\"=\"x\"\r\n\"TELPW\"=\"" +
            EncodeStoredPassword(HexEncode(ConvertPassword("secret"))) + "\"\r\n\r\n");
    ProgramProcess kalvexA(a);
    startProgram(kalvexA, a);

    const QString text = QStringLiteral("お元気ですか? ﾃｽﾄ");
    sendFrom(a, NetLab::ownAddress(), plat::ToCp932(text));
    ASSERT_TRUE(WaitUntil([] { return BRecvTelegramForm && BRecvTelegramForm->isVisible(); }, 20000));
    Ui::TBRecvTelegramForm &recv = *BRecvTelegramForm->ui;
    EXPECT_EQ(recv.RecvRich->Rich()->toPlainText(), text);
    EXPECT_EQ(recv.HostNameLabel->text(), a.address());
    EXPECT_EQ(recv.HandleLabel->text(), QStringLiteral("sender"));

    // A refuses a TEL without its password ...
    auto stranger = FakePeer::connect(a.address(), OlcpPort, [](FakePeer &p) {
        SendOlcpLogin(p, OlcpLogin{});
        EXPECT_EQ(p.expectLine(), "NAK\r");
    });
    stranger->wait();
    EXPECT_EQ(stranger->error(), QString());

    // ... but takes the reply.
    QTest::mouseClick(recv.ReplyButton, Qt::LeftButton);
    ASSERT_TRUE(typeAndSend(QStringLiteral("元気です")));
    ASSERT_TRUE(WaitUntil([&] { return kalvexA.storedTels().size() == 1; }, 20000));
    const MessageRecord reply = kalvexA.storedTels().front();
    EXPECT_EQ(reply.Title, QStringLiteral("Recv  <<Text>>"));
    EXPECT_EQ(reply.Address, plat::inet_addr(NetLab::ownAddress()));
    EXPECT_TRUE(reply.Handle.endsWith(QStringLiteral(" [Reply]"))) << reply.Handle.toStdString();
    EXPECT_EQ(TelText(kalvexA.storedText(reply)), QStringLiteral("元気です"));
    EXPECT_EQ(StoredTels().back().Title, QStringLiteral("Send  <<Text>>"));
}

TEST_F(TelRoad, AProgramInAutoReplyModeAnswersWithItsFileButNeverAnAutoReply)
{
    NetHost &b = lab.addHost();
    const QByteArray answer = plat::ToCp932(QStringLiteral("ただいま留守にしています"));
    b.folder().writeFile(QStringLiteral("reply.txt"), answer);
    ProgramProcess kalvexB(b);
    startProgram(kalvexB, b, {QStringLiteral("-F1reply.txt")});

    // A TEL from the user here, sent from the main window.
    ui->HostNameEdit->setText(b.address());
    QTest::keyClick(ui->HostNameEdit, Qt::Key_Return);
    ASSERT_TRUE(WaitUntil([this] { return ui->TelButton->isEnabled(); }));
    ui->LockCheckBox->setChecked(true); // the answer waits in the log
    QTest::mouseClick(ui->TelButton, Qt::LeftButton);
    ASSERT_TRUE(typeAndSend(QStringLiteral("いますか?")));

    ASSERT_TRUE(WaitUntil([] { return StoredTels().size() == 2; }, 20000));
    // The answer may be stored before or after the record of the TEL sent.
    std::vector<MessageRecord> stored = StoredTels();
    std::sort(stored.begin(), stored.end(), [](const MessageRecord &x, const MessageRecord &y) { return x.Title < y.Title; });
    EXPECT_EQ(stored.back().Title, QStringLiteral("Send  <<Text>>"));
    const MessageRecord autoReply = stored.front();
    EXPECT_EQ(autoReply.Title, QStringLiteral("Recv  <<Text>>"));
    EXPECT_EQ(autoReply.Address, plat::inet_addr(b.address()));
    EXPECT_TRUE(autoReply.Handle.endsWith(QStringLiteral(" [Auto Reply]"))) << autoReply.Handle.toStdString();
    EXPECT_EQ(plat::ReadFileAt(TelTextFile(), autoReply.Start, autoReply.Bytes), answer);

    // An auto reply from here gets no answer.
    auto peer = FakePeer::connect(b.address(), OlcpPort, [](FakePeer &p) {
        OlcpLogin login;
        login.handle = "someone [Auto Reply]";
        SendOlcpLogin(p, login);
        EXPECT_EQ(p.expectLine(), "ACK\r");
        EXPECT_EQ(p.expectLine(), "ACK\r");
        SendTextTel(p, "auto");
        SendTelOff(p);
    });
    peer->wait();
    EXPECT_EQ(peer->error(), QString());
    ASSERT_TRUE(WaitUntil([&] { return kalvexB.storedTels().size() == 2; }));
    QThread::sleep(2);
    QCoreApplication::processEvents();
    EXPECT_EQ(StoredTels().size(), 2u);
}

TEST_F(TelRoad, AProgramInForwardModePassesATelToItsForwardHostAndNeverBack)
{
    NetHost &a = lab.addHost();
    NetHost &c = lab.addHost();
    ProgramProcess kalvexA(a), kalvexC(c);
    startProgram(kalvexA, a);
    startProgram(kalvexC, c);

    // Forward mode here, to C.
    ForwardHost = HostRecord{};
    ForwardHost.IpAddress = c.address();
    ForwardHost.Handle = QStringLiteral("forwarder");
    ui->AutoreplyCheckBox->setText(QStringLiteral("Forward"));
    ui->AutoreplyCheckBox->setChecked(true);
    ui->LockCheckBox->setChecked(true);

    const QByteArray body = plat::ToCp932(QStringLiteral("転送してください"));
    sendFrom(a, NetLab::ownAddress(), body, QStringLiteral("first"));
    ASSERT_TRUE(WaitUntil([&] { return kalvexC.storedTels().size() == 1; }, 20000));
    const MessageRecord forwarded = kalvexC.storedTels().front();
    EXPECT_EQ(forwarded.Title, QStringLiteral("Recv  <<Text>> ; Forward TEL"));
    EXPECT_EQ(forwarded.Address, plat::inet_addr(a.address())); // the first sender
    EXPECT_EQ(forwarded.Handle, QStringLiteral("first"));
    EXPECT_EQ(kalvexC.storedText(forwarded), body);

    // With A itself as the forward host, its TEL does not go back to it.
    ForwardHost.IpAddress = a.address();
    sendFrom(a, NetLab::ownAddress(), body, QStringLiteral("first"));
    ASSERT_TRUE(WaitUntil([] { return StoredTels().size() == 2; }));
    QThread::sleep(2);
    EXPECT_TRUE(kalvexA.storedTels().empty());
    EXPECT_EQ(kalvexC.storedTels().size(), 1u);
}

} // namespace
