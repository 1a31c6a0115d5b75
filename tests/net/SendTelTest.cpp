// TEL send windows started from the main window against scripted peers on
// port 8011: every exchange byte-exact on the wire and in the TEL log, the
// Stay TEL exchanges with their dialogs, the starts that fail, and peers and
// closes that break a conversation.
#include "core/BCommon.h"
#include "core/BHostlst.h"
#include "core/BLookup.h"
#include "core/BRegistr.h"
#include "core/BUdpServ.h"
#include "core/RichView.h"
#include "platform/Cp932.h"
#include "platform/FreeOnTerminateThread.h"
#include "platform/RecordFile.h"
#include "platform/WinMessages.h"
#include "platform/WinSock.h"
#include "support/FakePeer.h"
#include "support/MainWindow.h"
#include "support/Modals.h"
#include "support/OlcpScripts.h"
#include "support/StayHolder.h"
#include "support/TempEnv.h"
#include "support/Wait.h"
#include "tel/BSendTel.h"
#include "tel/BTelLog.h"
#include "ui_BEditor.h"
#include "ui_BLookup.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <QtEndian>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

using namespace testsupport;

namespace {

constexpr quint16 OlcpPort = 8011;

QByteArray Int(qint32 value)
{
    QByteArray bytes(4, '\0');
    qToBigEndian(value, bytes.data());
    return bytes;
}

// The buffer element as it is on the wire.
QByteArray Buffer(const QByteArray &bytes)
{
    return Int(qint32(bytes.size())) + bytes;
}

QByteArray RecvBuffer(FakePeer &p)
{
    return p.recvRaw(p.recvInt());
}

// The TEL receiver's side of the opening: the login read, "ACK" from the
// handshake and "ACK" from the receiver.
OlcpLogin OpenAsReceiver(FakePeer &p, const QByteArray &version)
{
    OlcpLogin login = ReadOlcpLogin(p, version);
    p.sendLine("ACK\r");
    p.sendLine("ACK\r");
    return login;
}

class SendTelTest : public TempEnvTest {
protected:
    void SetUp() override
    {
        form = StartMainWindow(env);
        ui = form->ui.get();
        RepeatTransmit = false;
        PlainTransmit = false;
        target.IpAddress = QStringLiteral("127.0.0.1");
        target.HostName = QStringLiteral("peer");
        target.Memo = QStringLiteral("相手のメモ");
        target.Handle = QStringLiteral("me");
        target.UserId = QStringLiteral("MYUSERID");
        target.TelPassword = ConvertPassword("telpw");
    }
    void TearDown() override
    {
        for (TBSendTelegramForm *w : sendWindows())
            w->close();
        EXPECT_TRUE(WaitUntil([this] { return sendWindows().isEmpty() && plat::FreeOnTerminateThread::Running() == 0; }));
        delete form;
    }

    static QList<TBSendTelegramForm *> sendWindows()
    {
        QList<TBSendTelegramForm *> windows;
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (auto *send = qobject_cast<TBSendTelegramForm *>(w))
                windows.append(send);
        }
        return windows;
    }
    // Presses TEL with target as the main window's target; the send window once it shows.
    TBSendTelegramForm *pressTel()
    {
        ui->HostNameEdit->setText(target.IpAddress);
        CurrentHost = target;
        form->LogTargetHost();
        QTest::mouseClick(ui->TelButton, Qt::LeftButton);
        return ShownSendWindow();
    }
    // Sends the window's text (or closes it, empty) and waits until it is released.
    static bool sendAndClose(TBSendTelegramForm *w)
    {
        QPointer<TBSendTelegramForm> window(w);
        QTest::mouseClick(w->ui->SendButton, Qt::LeftButton);
        return WaitUntil([&] { return !window; });
    }
    static void type(TBSendTelegramForm *w, const QString &text) { w->ui->SendRich->Rich()->insertPlainText(text); }
    static QString statusOf(TBSendTelegramForm *w) { return w->ui->SendStatusBar->currentMessage(); }
    QString memo() const { return ui->LookupMemo->toPlainText(); }
    static QByteArray bodyOf(const MessageRecord &r) { return plat::ReadFileAt(TelTextFile(), r.Start, r.Bytes); }

    // What a send window says in its handshake, as a peer of version reads it.
    QByteArray loginLines(const QByteArray &version) const
    {
        const bool newer = OlcpVersionNumber(version) >= 203;
        return "OLCP303L\rTEL\r" + (newer ? target.TelPassword : QByteArray("telpw")) + "\rme\r" +
               (newer ? QByteArray("MYUSERID\r") : QByteArray());
    }

    TBLookupForm *form = nullptr;
    Ui::TBLookupForm *ui = nullptr;
    HostRecord target;
};

TEST_F(SendTelTest, TextGoesPlainToPeersBelow207AndAsRtfFromThereOnAndTheWindowClosesWithOff)
{
    const QString text = QStringLiteral("こんにちは、ﾃｽﾄです\nsecond line");
    for (const QByteArray &version : {QByteArray("OLCP206"), QByteArray("OLCP303L")}) {
        auto peer = FakePeer::listen(
            [&](FakePeer &p) {
                OpenAsReceiver(p, version);
                EXPECT_EQ(p.expectLine(), "TEXT\r");
                RecvBuffer(p);
                EXPECT_EQ(p.expectLine(), "OFF\r");
            },
            OlcpPort);
        TBSendTelegramForm *w = pressTel();
        ASSERT_TRUE(w) << version.constData();
        EXPECT_EQ(w->windowTitle(), QStringLiteral("Ｋａｌｖｅｘ [ TEL Client ]"));
        EXPECT_EQ(w->ui->TelegramLabel->text(), QStringLiteral("TEL Transmit Window"));
        EXPECT_EQ(w->ui->HostNameLabel->text(), QStringLiteral("peer"));
        EXPECT_EQ(w->ui->MemoLabel->text(), QStringLiteral("相手のメモ"));
        EXPECT_EQ(w->ui->OlcpvLabel->text(), QString::fromLatin1(version));
        EXPECT_EQ(w->ui->ChNumLabel->text(), QStringLiteral("0"));
        EXPECT_EQ(w->focusWidget(), w->ui->SendRich->Rich());
        EXPECT_EQ(ChannelStates[0], 1);
        plat::SendWindowMessage(w, 2025, 0, 2); // a second TEL waits now
        EXPECT_EQ(w->ui->NumberLabel->text(), QStringLiteral("2"));
        // A client-only edition holds no Stay TELs.
        EXPECT_EQ(w->StayButton->isVisible(), version == "OLCP206");

        type(w, text);
        const QByteArray rtf = w->ui->SendRich->SaveToBuffer();
        ASSERT_TRUE(rtf.startsWith("{\\rtf"));
        const QByteArray body = version == "OLCP206" ? plat::ToCp932(QString(text).replace('\n', "\r\n")) : rtf;
        ASSERT_TRUE(sendAndClose(w));
        peer->wait();
        EXPECT_EQ(peer->error(), QString());
        EXPECT_EQ(peer->received(), loginLines(version) + "TEXT\r" + Buffer(body) + "OFF\r");
        EXPECT_EQ(ChannelStates[0], 0);
        // The last sent text is kept as rich text for "Latest".
        EXPECT_EQ(env.readFile(QStringLiteral("Temp/Temp$$$$.txt")), rtf);

        const MessageRecord r = StoredTels().back();
        EXPECT_EQ(r.Title, QStringLiteral("Send  <<Text>>"));
        EXPECT_EQ(r.Flags, 0);
        EXPECT_EQ(r.Handle, QStringLiteral("相手のメモ"));
        EXPECT_EQ(r.AuxText1, QString::fromLatin1(version));
        EXPECT_EQ(bodyOf(r), body);
    }
    EXPECT_TRUE(memo().contains(QStringLiteral("Text sent to   [[ 127.0.0.1 ]]  相手のメモ")));
}

TEST_F(SendTelTest, SerialChatSendsTochWithTheChannelAndRepeatModeKeepsTheWindowUntilAnEmptySend)
{
    RepeatTransmit = true;
    target.SerialChannel = 5;
    auto peer = FakePeer::listen(
        [&](FakePeer &p) {
            OpenAsReceiver(p, "OLCP303L");
            for (int i = 0; i < 2; ++i) {
                EXPECT_EQ(p.expectLine(), "TOCH\r");
                EXPECT_EQ(p.recvInt(), 5);
                RecvBuffer(p);
            }
            EXPECT_EQ(p.expectLine(), "OFF\r");
        },
        OlcpPort);
    TBSendTelegramForm *w = pressTel();
    ASSERT_TRUE(w);
    EXPECT_FALSE(w->ui->FileButton->isEnabled());
    EXPECT_FALSE(w->StayButton->isEnabled());
    EXPECT_TRUE(w->ui->RepeatCheckBox->isChecked());
    // A body over 64 KiB is refused before anything goes out; the window stays.
    type(w, QString(70000, QLatin1Char('x')));
    QTest::mouseClick(w->ui->SendButton, Qt::LeftButton);
    ASSERT_TRUE(w->isVisible());
    EXPECT_EQ(statusOf(w), QStringLiteral("*** Text too long : 70000 Bytes (at most 65536 Bytes) ***"));
    w->ui->SendRich->Clear();
    for (const QString &text : {QStringLiteral("ﾁｬｯﾄ 1"), QStringLiteral("チャット 2")}) {
        type(w, text);
        QTest::mouseClick(w->ui->SendButton, Qt::LeftButton);
        ASSERT_TRUE(w->isVisible());
        EXPECT_EQ(statusOf(w), QStringLiteral("Success Transmit"));
        EXPECT_TRUE(w->ui->SendRich->Rich()->toPlainText().isEmpty());
    }
    ASSERT_TRUE(sendAndClose(w));
    peer->wait();
    EXPECT_EQ(peer->error(), QString());
    // Serial chat goes as plain text whatever the peer's version.
    EXPECT_EQ(peer->received(), loginLines("OLCP303L") + "TOCH\r" + Int(5) + Buffer(plat::ToCp932("ﾁｬｯﾄ 1")) +
                                    "TOCH\r" + Int(5) + Buffer(plat::ToCp932("チャット 2")) + "OFF\r");
    const auto tels = StoredTels();
    ASSERT_EQ(tels.size(), 2u);
    EXPECT_EQ(tels[1].Title, QStringLiteral("Send  <<Text>> ; Serial Chat"));
    EXPECT_EQ(tels[1].Flags, MessageRecord::SerialFlag);
    EXPECT_EQ(bodyOf(tels[1]), plat::ToCp932("チャット 2"));
}

// The text typed before File goes first, once: it is not sent again after the
// file choice was cancelled.
TEST_F(SendTelTest, AFileGoesByteExactWithItsProgressShownAndIsLogged)
{
    QByteArray contents(4 * 1024 * 1024, '\0');
    for (int i = 0; i < contents.size(); ++i)
        contents[i] = char((quint32(i) * 7919u) >> 3);
    env.writeFile(QStringLiteral("out/big.bin"), contents);
    QByteArray data, text;
    auto peer = FakePeer::listen(
        [&](FakePeer &p) {
            OpenAsReceiver(p, "OLCP303L");
            EXPECT_EQ(p.expectLine(), "TEXT\r");
            text = RecvBuffer(p);
            EXPECT_EQ(p.expectLine(), "FILE\r");
            EXPECT_EQ(p.expectLine(), "big.bin\r");
            p.sendLine("ACK\r");
            // Read late, so the sender waits with its progress showing.
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            data = p.recvRaw(p.recvInt());
            EXPECT_EQ(p.expectLine(), "OFF\r");
        },
        OlcpPort);
    TBSendTelegramForm *w = pressTel();
    ASSERT_TRUE(w);
    bool barSeen = false;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] { barSeen = barSeen || w->ui->SendBar->isVisible(); });
    watch.start(1);
    // Bold red 10-point text goes as RTF in points (\fs20), bold and red.
    type(w, QStringLiteral("赤い太字"));
    w->ui->SendRich->Rich()->selectAll();
    QFont bold(QStringLiteral("ＭＳ 明朝"), 10);
    bold.setBold(true);
    w->ui->SendRich->ApplyFont(bold, Qt::red);
    // Choosing no file is no failure: the window stays for the next try.
    ModalAnswers answers;
    answers.then(QStringLiteral("OpenDialogF"), [](QWidget *dialog) { static_cast<QDialog *>(dialog)->reject(); })
        .then(QStringLiteral("OpenDialogF"), ChooseFile(env.file(QStringLiteral("out/big.bin"))));
    QTest::mouseClick(w->ui->FileButton, Qt::LeftButton);
    ASSERT_TRUE(w->isVisible());
    EXPECT_TRUE(memo().contains(QStringLiteral("... TEL[File] Canceled (Local Host) ...")));
    EXPECT_TRUE(w->ui->SendRich->Rich()->toPlainText().isEmpty());
    QPointer<TBSendTelegramForm> window(w);
    QTest::mouseClick(w->ui->FileButton, Qt::LeftButton);
    ASSERT_TRUE(WaitUntil([&] { return !window; }));
    watch.stop();
    peer->wait();
    EXPECT_EQ(peer->error(), QString());
    EXPECT_TRUE(barSeen);
    EXPECT_TRUE(data == contents);
    EXPECT_TRUE(text.contains("{\\colortbl ;\\red255\\green0\\blue0;}")) << text.toStdString();
    EXPECT_TRUE(text.contains("\\fs20\\cf1\\b \\'90\\'d4\\'82\\'a2\\'91\\'be\\'8e\\'9a")) << text.toStdString();
    EXPECT_TRUE(peer->received().endsWith("OFF\r"));
    EXPECT_EQ(SendDirectory, env.file(QStringLiteral("out")));

    const MessageRecord r = StoredTels().back();
    EXPECT_TRUE(r.Title.startsWith(QStringLiteral("Send  <<File>> ; "))) << r.Title.toStdString();
    EXPECT_TRUE(r.Title.endsWith(QStringLiteral("KBytes/s")));
    EXPECT_EQ(r.Flags, MessageRecord::FileFlag);
    EXPECT_EQ(r.Bytes, contents.size());
    EXPECT_EQ(r.FileName, QStringLiteral("big.bin"));
    EXPECT_TRUE(r.Title.contains(r.AuxText2)); // the record keeps 8 characters of the rate
    EXPECT_TRUE(memo().contains(QStringLiteral("Sending file ...")));
}

TEST_F(SendTelTest, TheStayButtonAuthorizesOnceRefusesAShortUserIdAndSendsToTheConfirmedAddressee)
{
    auto peer = FakePeer::listen(
        [&](FakePeer &p) {
            OpenAsReceiver(p, "OLCP303");
            ReadStayCommand(p, ConvertPassword("acct"));
            EXPECT_EQ(p.expectLine(), "CAN\r");
            ReadStayCommand(p, QByteArray());
            NameAddressee(p, "PARTNER1", plat::ToCp932(QStringLiteral("相棒")));
            EXPECT_EQ(p.expectLine(), "TEXT\r");
            RecvBuffer(p);
            EXPECT_EQ(p.expectLine(), "OFF\r");
        },
        OlcpPort);
    TBSendTelegramForm *w = pressTel();
    ASSERT_TRUE(w);
    ASSERT_TRUE(w->StayButton->isVisible());

    {
        ModalAnswers answers;
        answers.then(QStringLiteral("TBPasswordDlg"), EnterPassword(QStringLiteral("acct")))
            .then(QStringLiteral("TBPasswordDlg"), EnterPassword(QStringLiteral("PARTNR7")));
        QTest::mouseClick(w->StayButton, Qt::LeftButton);
        EXPECT_TRUE(answers.done());
        EXPECT_EQ(statusOf(w), QStringLiteral("Cancelled Stay TEL"));
    }
    QString question;
    {
        ModalAnswers answers;
        answers.then(QStringLiteral("TBPasswordDlg"), EnterPassword(QStringLiteral("PARTNER1")))
            .then(QStringLiteral("StayHandleQuestion"), [&](QWidget *box) {
                question = static_cast<QMessageBox *>(box)->text();
                PressButton(QMessageBox::Yes)(box);
            });
        QTest::mouseClick(w->StayButton, Qt::LeftButton);
        EXPECT_TRUE(answers.done());
    }
    EXPECT_EQ(question, QStringLiteral("PARTNER1 のﾊﾝﾄﾞﾙは \"相棒\" です.よろしいですか?"));
    EXPECT_EQ(statusOf(w), QStringLiteral("Send to PARTNER1 <<相棒>>"));
    EXPECT_EQ(w->ui->BottomPanel2->text(), QStringLiteral(" ***  Stay TEL Mode  ***"));
    EXPECT_FALSE(w->StayButton->isEnabled());
    EXPECT_FALSE(w->ui->FileButton->isEnabled());

    type(w, QStringLiteral("留守中に"));
    ASSERT_TRUE(sendAndClose(w));
    peer->wait();
    EXPECT_EQ(peer->error(), QString());
    const MessageRecord r = StoredTels().back();
    EXPECT_EQ(r.Title, QStringLiteral("Send  <<Text>> ; Stay TEL"));
    EXPECT_TRUE(r.Flags & MessageRecord::StayFlag);
    EXPECT_EQ(r.UserId, QStringLiteral("PARTNER1"));
    EXPECT_EQ(r.Handle, QStringLiteral("相棒"));
}

TEST_F(SendTelTest, AReplyToAStayTelNamesItsSenderAtOnceAndCancelNamesItAgain)
{
    target.ReplyFlag = 1;
    target.ReplyUserId = QStringLiteral("SENDER01");
    target.Memo = QStringLiteral("sender");
    auto peer = FakePeer::listen(
        [&](FakePeer &p) {
            OpenAsReceiver(p, "OLCP303");
            for (const char *line : {"STAY\r", "\r", "SENDER01\r", "CAN\r", "STAY\r", "SENDER01\r", "TEXT\r"})
                EXPECT_EQ(p.expectLine(), line);
            RecvBuffer(p);
            EXPECT_EQ(p.expectLine(), "OFF\r");
        },
        OlcpPort);
    HostRecord host = target;
    ASSERT_EQ(StartConnectionWindow(TelSendWindowKind, host, ui->L_StatusBar), ConnectionStartResult::Shown);
    TBSendTelegramForm *w = ShownSendWindow();
    ASSERT_TRUE(w);
    EXPECT_EQ(w->ui->TelegramLabel->text(), QStringLiteral("TEL Reply Window"));
    EXPECT_EQ(w->ui->MemoLabel->text(), QStringLiteral("SENDER01"));
    EXPECT_EQ(statusOf(w), QStringLiteral("Reply to SENDER01 <<sender>>"));

    type(w, QStringLiteral("discarded"));
    QTest::mouseClick(w->ui->CancelButton, Qt::LeftButton);
    EXPECT_TRUE(w->ui->SendRich->Rich()->toPlainText().isEmpty());
    EXPECT_EQ(w->ui->BottomPanel2->text(), QStringLiteral(" ***  Stay TEL Mode  ***"));

    type(w, QStringLiteral("お返事"));
    ASSERT_TRUE(sendAndClose(w));
    peer->wait();
    EXPECT_EQ(peer->error(), QString());
    const MessageRecord r = StoredTels().back();
    EXPECT_EQ(r.Title, QStringLiteral("Send  <<Text>> ; Stay TEL"));
    EXPECT_EQ(r.UserId, QStringLiteral("SENDER01"));
}

TEST_F(SendTelTest, AStayAnswerToTheHandshakeAsksTheUserAndFetchesOrDeclines)
{
    // Declined: "CAN", and the conversation goes on as after "ACK".
    auto declined = FakePeer::listen(
        [&](FakePeer &p) {
            ReadOlcpLogin(p, "OLCP303");
            p.sendLine("STAY\r");
            EXPECT_EQ(p.expectLine(), "CAN\r");
            p.sendLine("ACK\r");
            EXPECT_EQ(p.expectLine(), "OFF\r");
        },
        OlcpPort);
    QString question;
    {
        ModalAnswers answers;
        answers.then(QStringLiteral("StayQuestion"), [&](QWidget *box) {
            question = static_cast<QMessageBox *>(box)->text();
            PressButton(QMessageBox::No)(box);
        });
        TBSendTelegramForm *w = pressTel();
        ASSERT_TRUE(w);
        QPointer<TBSendTelegramForm> window(w);
        QTest::mouseClick(w->ui->ExitButton, Qt::LeftButton);
        ASSERT_TRUE(WaitUntil([&] { return !window; }));
    }
    declined->wait();
    EXPECT_EQ(declined->error(), QString());
    EXPECT_EQ(question, QStringLiteral("Stay TEL が着信しています. ｱｶｳﾝﾄ･ﾊﾟｽﾜｰﾄﾞ の入力が必要です.\r\n今すぐ受信しますか?"));
    EXPECT_TRUE(memo().contains(QStringLiteral("... TEL Canceled (Local Host) ...")));
    declined.reset(); // frees the port

    // Fetched: the Stay TELs are stored and the connection ends; no window shows.
    auto fetched = FakePeer::listen(
        [&](FakePeer &p) {
            ReadOlcpLogin(p, "OLCP303");
            p.sendLine("STAY\r");
            EXPECT_EQ(p.expectLine(), ConvertPassword("acct") + '\r');
            p.sendLine("ACK\r");
            StayItem item;
            item.userId = "FRIEND01";
            item.text = plat::ToCp932(QStringLiteral("預かりTEL"));
            SendStayItem(p, 303, item);
            p.sendLine("EOF\r");
        },
        OlcpPort);
    ModalAnswers answers;
    answers.then(QStringLiteral("StayQuestion"), PressButton(QMessageBox::Yes))
        .then(QStringLiteral("TBPasswordDlg"), EnterPassword(QStringLiteral("acct")));
    EXPECT_EQ(pressTel(), nullptr);
    fetched->wait();
    EXPECT_EQ(fetched->error(), QString());
    EXPECT_EQ(ChannelStates[0], 0);
    const MessageRecord r = StoredTels().back();
    EXPECT_TRUE(r.Flags & MessageRecord::StayFlag);
    EXPECT_EQ(bodyOf(r), plat::ToCp932(QStringLiteral("預かりTEL")));
}

TEST_F(SendTelTest, AStartThatFailsSaysWhyInTheMainWindowAndFreesTheChannel)
{
    for (const auto &[answer, status] : {std::pair{QByteArray("CAN\r"), " : Target TEL Server Busy ..."},
                                         std::pair{QByteArray("NAK\r"), " : TEL not serviced ..."}}) {
        auto peer = FakePeer::listen(
            [answer = answer](FakePeer &p) {
                ReadOlcpLogin(p, "OLCP303L");
                p.sendLine("ACK\r");
                p.sendLine(answer);
                p.stall();
            },
            OlcpPort);
        EXPECT_EQ(pressTel(), nullptr);
        EXPECT_TRUE(WaitUntil([&] { return ui->L_StatusBar->currentMessage() == QStringLiteral("127.0.0.1") + status; }))
            << ui->L_StatusBar->currentMessage().toStdString();
        EXPECT_EQ(ChannelStates[0], 0);
        EXPECT_TRUE(WaitUntil([] { return sendWindows().isEmpty(); }));
    }

    // Nobody listens: the Remote Dish service is asked to start the program there.
    const int dish = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(RemoteDishPort);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(dish, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    target.RmtDishPassword = "dish";
    StartUdpServer(); // the request goes out through its socket
    EXPECT_EQ(pressTel(), nullptr);
    for (plat::SOCKET *s : {&UdpServerSocket, &CgiSocket}) {
        plat::closesocket(*s);
        *s = plat::INVALID_SOCKET;
    }
    EXPECT_TRUE(WaitUntil([] { return UdpServerAlive == 0; }));
    char datagram[300] = {};
    timeval wait{5, 0};
    setsockopt(dish, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    const auto got = ::recv(dish, datagram, sizeof datagram, 0);
    ::close(dish);
    ASSERT_GT(got, 0);
    EXPECT_EQ(QByteArray(datagram), "OLCP303L\rREQUEST\r8011\rKALVEX\r\rdish\r"); // zero-padded
    EXPECT_EQ(ChannelStates[0], 0);
}

// A conversation that the peer ends under a TEL leaves the window open with
// the user's text: it says that the TEL was not delivered, and only closes.
TEST_F(SendTelTest, AConversationThePeerEndsKeepsTheTextAndACloseDuringATransferEndsTheWindowWithoutOff)
{
    // The receiver gives up while the user is still typing.
    std::atomic<bool> typing{false};
    auto gone = FakePeer::listen(
        [&](FakePeer &p) {
            OpenAsReceiver(p, "OLCP303L");
            while (!typing)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            p.reset();
        },
        OlcpPort);
    TBSendTelegramForm *w = pressTel();
    ASSERT_TRUE(w);
    QPointer<TBSendTelegramForm> window(w);
    type(w, QStringLiteral("長い文章"));
    typing = true;
    gone->wait();
    QTest::mouseClick(w->ui->SendButton, Qt::LeftButton);
    ASSERT_TRUE(window && w->isVisible());
    EXPECT_EQ(w->ui->SendRich->Rich()->toPlainText(), QStringLiteral("長い文章"));
    EXPECT_EQ(statusOf(w), QStringLiteral("Troubled Transmit : TEL not delivered"));
    EXPECT_FALSE(w->ui->SendButton->isEnabled());
    EXPECT_FALSE(w->ui->FileButton->isEnabled());
    EXPECT_TRUE(memo().contains(QStringLiteral("... TEL Troubled (Remote Host) ...")));
    EXPECT_TRUE(memo().contains(QStringLiteral("... not delivered to [[ 127.0.0.1 ]] : Send  <<Text>>  ")));
    EXPECT_EQ(gone->received(), loginLines("OLCP303L")); // no TEXT went out
    QTest::mouseClick(w->ui->ExitButton, Qt::LeftButton);
    ASSERT_TRUE(WaitUntil([&] { return !window; }));
    EXPECT_FALSE(memo().contains(QStringLiteral("Canceled (Local Host)")));
    EXPECT_EQ(ChannelStates[0], 0);
    gone.reset(); // frees the port

    env.writeFile(QStringLiteral("small.txt"), "small");
    auto hangsUp = FakePeer::listen(
        [&](FakePeer &p) {
            OpenAsReceiver(p, "OLCP303L");
            EXPECT_EQ(p.expectLine(), "FILE\r");
            EXPECT_EQ(p.expectLine(), "small.txt\r");
            p.close();
        },
        OlcpPort);
    w = pressTel();
    ASSERT_TRUE(w);
    window = w;
    {
        ModalAnswers answers;
        answers.then(QStringLiteral("OpenDialogF"), ChooseFile(env.file(QStringLiteral("small.txt"))));
        QTest::mouseClick(w->ui->FileButton, Qt::LeftButton);
    }
    EXPECT_EQ(statusOf(w), QStringLiteral("Troubled Transmit : TEL not delivered"));
    QTest::mouseClick(w->ui->ExitButton, Qt::LeftButton);
    ASSERT_TRUE(WaitUntil([&] { return !window; }));
    hangsUp->wait();
    EXPECT_EQ(ChannelStates[0], 0);
    EXPECT_TRUE(memo().contains(QStringLiteral("*** recv[String] ***")));
    hangsUp.reset(); // frees the port

    // The main window closing (message 2026) while a file waits to go out.
    env.writeFile(QStringLiteral("huge.bin"), QByteArray(64 * 1024 * 1024, 'x'));
    std::atomic<bool> closed{false};
    auto stalls = FakePeer::listen(
        [&](FakePeer &p) {
            OpenAsReceiver(p, "OLCP303L");
            EXPECT_EQ(p.expectLine(), "FILE\r");
            EXPECT_EQ(p.expectLine(), "huge.bin\r");
            p.sendLine("ACK\r");
            while (!closed)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            p.stall();
        },
        OlcpPort);
    w = pressTel();
    ASSERT_TRUE(w);
    window = w;
    ModalAnswers answers;
    answers.then(QStringLiteral("OpenDialogF"), ChooseFile(env.file(QStringLiteral("huge.bin"))));
    QTimer::singleShot(500, w, [w] { plat::SendWindowMessage(w, CloseWindowsMessage, 0, 0); });
    QTest::mouseClick(w->ui->FileButton, Qt::LeftButton);
    ASSERT_TRUE(WaitUntil([&] { return !window; }));
    closed = true;
    stalls->wait();
    EXPECT_EQ(ChannelStates[0], 0);
    EXPECT_FALSE(stalls->received().endsWith("OFF\r"));
    EXPECT_TRUE(StoredTels().empty());
}

// The receiver confirms the TELs of a conversation only by closing cleanly
// after "OFF". Every other ending leaves their "Send" records with a log line
// each that says they were not delivered, and the main window says so.
TEST_F(SendTelTest, OnlyACleanCloseAfterOffConfirmsTheTels)
{
    enum class Ending { Close, Reset, Silence, GoneBeforeOff };
    struct Case { const char *name; Ending ending; bool delivered; };
    const qint32 savedTimeOut = TimeOutValue;
    TimeOutValue = 300; // the silent receiver is given up after this
    RepeatTransmit = true;
    const QString troubled = QStringLiteral("127.0.0.1 : ... TEL Troubled (Remote Host) ...");
    for (const Case &c : {Case{"close", Ending::Close, true}, Case{"reset", Ending::Reset, false},
                          Case{"silence", Ending::Silence, false},
                          Case{"gone before OFF", Ending::GoneBeforeOff, false}}) {
        SCOPED_TRACE(c.name);
        ui->L_StatusBar->clearMessage();
        ui->LookupMemo->clear();
        std::atomic<bool> givenUp{false};
        auto peer = FakePeer::listen(
            [&](FakePeer &p) {
                OpenAsReceiver(p, "OLCP303L");
                EXPECT_EQ(p.expectLine(), "TEXT\r");
                RecvBuffer(p);
                if (c.ending == Ending::GoneBeforeOff)
                    return;
                EXPECT_EQ(p.expectLine(), "OFF\r");
                if (c.ending == Ending::Reset)
                    p.reset();
                // Silent until the sender has given up, however long that takes it (10 s at most).
                for (int i = 0; c.ending == Ending::Silence && !givenUp && i < 1000; ++i)
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
            },
            OlcpPort);
        TBSendTelegramForm *w = pressTel();
        ASSERT_TRUE(w);
        const QPointer<TBSendTelegramForm> window(w);
        const size_t before = StoredTels().size();
        type(w, QStringLiteral("first"));
        QTest::mouseClick(w->ui->SendButton, Qt::LeftButton);
        ASSERT_EQ(statusOf(w), QStringLiteral("Success Transmit"));
        if (c.ending == Ending::GoneBeforeOff)
            peer->wait();
        QTest::mouseClick(w->ui->ExitButton, Qt::LeftButton);
        EXPECT_TRUE(WaitUntil([&] { return !window; }));
        givenUp = true;
        peer->wait();

        EXPECT_EQ(StoredTels().size(), before + 1); // the "Send" record stays either way
        EXPECT_EQ(ChannelStates[0], 0);
        const QString log = memo();
        EXPECT_EQ(log.contains(QStringLiteral("... TEL Troubled (Remote Host) ...")), !c.delivered);
        EXPECT_EQ(log.count(QStringLiteral("... not delivered to [[ 127.0.0.1 ]] : Send  <<Text>>  ")),
                  c.delivered ? 0 : 1);
        EXPECT_EQ(ui->L_StatusBar->currentMessage() == troubled, !c.delivered);
    }
    TimeOutValue = savedTimeOut;
}

TEST_F(SendTelTest, ATargetWithoutAddressGetsNoConnectionAndSerialChatToItStaysLocal)
{
    // Serial chat to "0.0.0.0": the window shows at once, its channel is free
    // again, and the text is only logged.
    target.IpAddress = QStringLiteral("0.0.0.0");
    target.SerialChannel = 3;
    HostRecord host = target;
    ASSERT_EQ(StartConnectionWindow(TelSendWindowKind, host, ui->L_StatusBar), ConnectionStartResult::Shown);
    EXPECT_EQ(ChannelStates[0], 0);
    ChannelStates[0] = 2; // another window takes the channel meanwhile
    TBSendTelegramForm *w = ShownSendWindow();
    ASSERT_TRUE(w);
    type(w, QStringLiteral("ローカル"));
    ASSERT_TRUE(sendAndClose(w));
    EXPECT_EQ(ChannelStates[0], 2); // still the other window's
    const MessageRecord r = StoredTels().back();
    EXPECT_EQ(r.Title, QStringLiteral("Send  <<Text>> ; Serial Chat"));
    EXPECT_EQ(bodyOf(r), plat::ToCp932(QStringLiteral("ローカル")));
    EXPECT_FALSE(memo().contains(QStringLiteral("Text sent to")));

    // Any other TEL to it has no connection to go over: it is not delivered,
    // and the window keeps it.
    ChannelStates[0] = 0;
    host = target;
    host.SerialChannel = 0;
    ASSERT_EQ(StartConnectionWindow(TelSendWindowKind, host, ui->L_StatusBar), ConnectionStartResult::Shown);
    w = ShownSendWindow();
    ASSERT_TRUE(w);
    type(w, QStringLiteral("nowhere"));
    QTest::mouseClick(w->ui->SendButton, Qt::LeftButton);
    EXPECT_EQ(statusOf(w), QStringLiteral("Troubled Transmit : TEL not delivered"));
    EXPECT_EQ(w->ui->SendRich->Rich()->toPlainText(), QStringLiteral("nowhere"));
    w->close();
    EXPECT_EQ(StoredTels().size(), 1u);
}

} // namespace
