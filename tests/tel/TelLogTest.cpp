// The TEL log pair: opening and counting, storing received and sent TELs,
// failures that must not count an arrival, the follow-up decision and
// concurrent stores.
#include "core/BCommon.h"
#include "core/BHostlst.h"
#include "core/BLookup.h"
#include "core/BRegistr.h"
#include "platform/Cp932.h"
#include "platform/DayDate.h"
#include "platform/FreeOnTerminateThread.h"
#include "platform/RecordFile.h"
#include "platform/WinMessages.h"
#include "platform/WinSock.h"
#include "support/TempEnv.h"
#include "tel/BTelLog.h"
#include "tel/BTelServ.h"
#include "ui_BLookup.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QMap>
#include <QSet>
#include <QPlainTextEdit>
#include <QThread>

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

class TelLog : public testsupport::TempEnvTest {
protected:
    void SetUp() override
    {
        TelegDirectory = env.path();
        TelegFileName = QStringLiteral("Teleg000");
        ProgramVersion = QStringLiteral("Ver.3.03.03031001R");
        TelegPointer = 1;
        LogLebelNumber = ALPHA;
        TelFollowUp = {};
        memo = std::make_unique<QPlainTextEdit>();
        SetLogMemo(memo.get());
    }
    void TearDown() override
    {
        QCoreApplication::processEvents(); // queued decisions of this test
        delete form;
    }

    void openPair()
    {
        QString error;
        ASSERT_TRUE(OpenTelLogFiles(&error)) << error.toStdString();
    }
    std::vector<MessageRecord> records() const
    {
        plat::RecordFile file(TelDataFile(), MessageRecord::Size);
        std::vector<MessageRecord> all;
        QByteArray image;
        if (file.open())
            for (qint64 i = 0; file.read(i, image); ++i)
                all.push_back(MessageRecord::decode(image));
        return all;
    }
    static QByteArray bodyOf(const MessageRecord &r) { return plat::ReadFileAt(TelTextFile(), r.Start, r.Bytes); }
    QString memoText() const { return memo->toPlainText(); }
    qint32 waiting() const
    {
        std::lock_guard lock(WaitingTelsLock);
        return WaitingTels;
    }

    static HostRecord Peer()
    {
        HostRecord peer;
        peer.IpAddress = QStringLiteral("192.168.0.5");
        peer.Handle = QStringLiteral("たろう");
        peer.UserId = QStringLiteral("USER0001");
        peer.OlcpVersion = QStringLiteral("OLCP303L");
        return peer;
    }
    static MessageRecord TextTel(int bytes, std::uint8_t flags = 0)
    {
        MessageRecord r;
        r.Title = QLatin1String(TelTitle::RecvText);
        r.Flags = flags;
        r.Bytes = bytes;
        return r;
    }
    bool store(const QByteArray &body, std::uint8_t flags = 0)
    {
        return StoreTel(Peer(), TextTel(int(body.size()), flags), body);
    }

    std::unique_ptr<QPlainTextEdit> memo;
    TBLookupForm *form = nullptr;
};

TEST_F(TelLog, NewPairHoldsTheHeaderAndTelsFollowFromOne)
{
    openPair();
    EXPECT_EQ(QFile(TelDataFile()).size(), 400);
    EXPECT_EQ(QFile(TelTextFile()).size(), 0);
    EXPECT_EQ(QFile(TelDataFile()).permissions() & (QFile::ReadOther | QFile::ReadGroup), 0);
    const MessageRecord header = records().at(0);
    EXPECT_EQ(header.Number, 0);
    EXPECT_EQ(header.Title, plat::FormatShortDate(QDateTime::currentDateTime()));
    EXPECT_EQ(header.Handle, QStringLiteral("Ver.3.03.03031001R"));
    EXPECT_EQ(header.FileName, QStringLiteral("Teleg000"));
    EXPECT_EQ(waiting(), 0);
    EXPECT_EQ(TelegPointer, 1);

    ASSERT_TRUE(store("hello"));
    ASSERT_TRUE(store(plat::ToCp932(QStringLiteral("二通目"))));
    MessageRecord file = TextTel(123456, MessageRecord::FileFlag);
    file.Title = TelTitle::RecvFile(QStringLiteral("   2.000"));
    file.FileName = QStringLiteral("pic.jpg");
    ASSERT_TRUE(StoreTel(Peer(), file, QByteArray("ignored")));

    const auto all = records();
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(QFile(TelTextFile()).size(), 11); // the file TEL stored no body
    for (int i = 1; i <= 3; ++i)
        EXPECT_EQ(all[i].Number, i);
    EXPECT_EQ(all[1].Start, 0);
    EXPECT_EQ(all[2].Start, 5);
    EXPECT_EQ(bodyOf(all[2]), plat::ToCp932(QStringLiteral("二通目")));
    EXPECT_EQ(all[3].Start, 0);
    EXPECT_EQ(all[3].Bytes, 123456);
    EXPECT_EQ(all[3].FileName, QStringLiteral("pic.jpg"));
    const MessageRecord &r = all[1];
    EXPECT_EQ(r.Address, plat::inet_addr(QStringLiteral("192.168.0.5")));
    EXPECT_EQ(r.Handle, QStringLiteral("たろう"));
    EXPECT_EQ(r.UserId, QStringLiteral("USER0001"));
    EXPECT_EQ(r.AuxText1, QStringLiteral("OLCP303L"));
    EXPECT_LT(std::abs(r.DateTime - plat::DayDateNow()), 1.0 / 24 / 60);
    EXPECT_EQ(waiting(), 3);
}

// A form that notes each unread-count message and how many TELs the record
// file held when it came.
class CountWatcher : public QWidget {
public:
    QList<std::pair<qintptr, qint64>> seen;

protected:
    bool event(QEvent *e) override
    {
        if (e->type() != plat::WindowMessageEvent::EventType())
            return QWidget::event(e);
        const auto *m = static_cast<plat::WindowMessageEvent *>(e);
        if (m->message() == WaitingTelsMessage && m->wParam() == 0)
            seen.append({m->lParam(), QFile(TelDataFile()).size() / MessageRecord::Size - 1});
        return true;
    }
};

TEST_F(TelLog, EveryFormLearnsTheCountOnlyOnceTheTelIsStored)
{
    openPair();
    CountWatcher watcher;
    ASSERT_TRUE(store("one"));
    ASSERT_TRUE(store("two"));
    std::thread server([this] { EXPECT_TRUE(store("three")); });
    server.join();
    QCoreApplication::processEvents();
    EXPECT_EQ(watcher.seen, (QList<std::pair<qintptr, qint64>>{{1, 1}, {2, 2}, {3, 3}}));
}

TEST_F(TelLog, StayTelKeepsWhatTheFetchDelivered)
{
    openPair();
    MessageRecord stay = TextTel(4, MessageRecord::StayFlag);
    stay.Title = QLatin1String(TelTitle::RecvStayText);
    stay.Handle = QStringLiteral("sender");
    stay.UserId = QStringLiteral("SENDER01");
    stay.DateTime = 45000.25;
    ASSERT_TRUE(StoreTel(Peer(), stay, "stay"));
    const MessageRecord r = records().at(1);
    EXPECT_EQ(r.Handle, QStringLiteral("sender"));
    EXPECT_EQ(r.UserId, QStringLiteral("SENDER01"));
    EXPECT_EQ(r.DateTime, 45000.25);
    EXPECT_EQ(r.AuxText2, QStringLiteral("USER0001"));
    EXPECT_TRUE(memoText().contains(QStringLiteral("Stay TEL from  [[ USER0001 : 192.168.0.5 ]]  sender\n       4Bytes  2023/03/15 06:00:00")));
}

TEST_F(TelLog, TelegPointerIsClampedAndReceivedTelsFromItAreCounted)
{
    openPair();
    ASSERT_TRUE(store("one"));                                         // 1 Recv
    SentTel sent;
    sent.target.IpAddress = QStringLiteral("10.1.2.3");
    sent.text = "sent";
    MessageRecord out;
    out.Title = QLatin1String(TelTitle::SendText);
    out.Bytes = 4;
    ASSERT_TRUE(LogSentTel(sent, out));                                // 2 Send
    ASSERT_TRUE(store("three"));                                       // 3 Recv
    // A write cut short by a crash leaves a partial record: it is not counted.
    ASSERT_GE(plat::AppendToFile(TelDataFile(), QByteArray(100, 'x')), 0);

    for (const qint32 pointer : {0, -5, 5, 100}) {
        TelegPointer = pointer;
        openPair();
        EXPECT_EQ(TelegPointer, 4) << pointer;
        EXPECT_EQ(waiting(), 0) << pointer;
    }
    for (const auto &[pointer, pending] : {std::pair{1, 2}, {2, 1}, {3, 1}, {4, 0}}) {
        TelegPointer = pointer;
        openPair();
        EXPECT_EQ(TelegPointer, pointer);
        EXPECT_EQ(waiting(), pending) << pointer;
    }
    EXPECT_EQ(records().size(), 4u); // reopening never rewrote anything
}

// A long log is read in blocks: every received TEL from the pointer on
// counts, across the blocks, and a partial last record that looks received
// does not.
TEST_F(TelLog, LongLogIsCountedAcrossItsBlocks)
{
    openPair();
    constexpr qint64 Tels = 5000;
    MessageRecord r;
    QByteArray images;
    for (qint64 i = 1; i <= Tels; ++i) {
        r.Title = QLatin1String(i % 3 ? TelTitle::RecvText : TelTitle::SendText);
        images += r.encode();
    }
    ASSERT_GE(plat::AppendToFile(TelDataFile(), images + r.encode().left(100)), 0);
    for (const qint64 pointer : {1, 2047, 2048, 2049, 4097, 5000}) {
        TelegPointer = qint32(pointer);
        openPair();
        EXPECT_EQ(waiting(), (Tels - pointer + 1) - (Tels / 3 - (pointer - 1) / 3)) << pointer;
    }
}

TEST_F(TelLog, RecordFileThatCannotBeOpenedIsReportedAndLeftAlone)
{
    ASSERT_TRUE(QDir(env.path()).mkdir(QStringLiteral("Teleg000.dat")));
    env.writeFile(QStringLiteral("Teleg000.dat/keep"), "history");
    QString error;
    EXPECT_FALSE(OpenTelLogFiles(&error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_TRUE(QFileInfo(TelDataFile()).isDir());
    EXPECT_EQ(env.readFile(QStringLiteral("Teleg000.dat/keep")), "history");

    // A record file left empty by a crash right after its creation gets its header.
    QDir(TelDataFile()).removeRecursively();
    env.writeFile(QStringLiteral("Teleg000.dat"), {});
    openPair();
    EXPECT_EQ(records().size(), 1u);
}

TEST_F(TelLog, FailedStoreIsLoggedAndNeverCounted)
{
    openPair();
    int shown = 0;
    TelFollowUp.ShowReceiveWindow = [&shown] { ++shown; };
    QFile::remove(TelTextFile());
    EXPECT_FALSE(store("lost"));
    EXPECT_TRUE(memoText().contains(QStringLiteral("*** TEL Store Error : Cannot open ")));

    ASSERT_TRUE(plat::EnsureFileExists(TelTextFile()));
    QFile::remove(TelDataFile());
    ASSERT_TRUE(QDir(env.path()).mkdir(QStringLiteral("Teleg000.dat")));
    EXPECT_FALSE(store("lost too"));
    QDir(TelDataFile()).removeRecursively();

    openPair();
    EXPECT_FALSE(store(QByteArray(MaxTelBody + 1, 'x')));
    EXPECT_FALSE(StoreTel(Peer(), TextTel(10), "short"));
    // Told once for each opening of the pair, until a TEL is stored again.
    EXPECT_EQ(memoText().count(QStringLiteral("*** TEL Store Error")), 2);
    EXPECT_EQ(memoText().count(QStringLiteral("compact or change it in the TEL log window")), 2);
    EXPECT_EQ(records().size(), 1u);
    EXPECT_EQ(waiting(), 0);
    QCoreApplication::processEvents();
    EXPECT_EQ(shown, 0);
}

TEST_F(TelLog, ReceivedTextAndSentFileBannersReadExactly)
{
    openPair();
    ASSERT_TRUE(store("hello"));
    const MessageRecord in = records().at(1);

    SentTel sent;
    sent.target.IpAddress = QStringLiteral("10.1.2.3");
    sent.target.Memo = QStringLiteral("相手のメモ");
    sent.target.OlcpVersion = QStringLiteral("OLCP302L");
    MessageRecord file;
    file.Title = TelTitle::SendFile(QStringLiteral("   2.000"));
    file.Flags = MessageRecord::FileFlag;
    file.Bytes = 2048;
    file.AuxText2 = QStringLiteral("   2.000");
    file.FileName = QStringLiteral("pic.jpg");
    ASSERT_TRUE(LogSentTel(sent, file));
    const MessageRecord out = records().at(2);
    EXPECT_EQ(out.Start, 0);
    EXPECT_EQ(out.Handle, QStringLiteral("相手のメモ"));
    EXPECT_EQ(out.AuxText1, QStringLiteral("OLCP302L"));

    const auto when = [](const MessageRecord &r) {
        const QDateTime t = plat::FromDayDate(r.DateTime);
        return plat::FormatShortDate(t) + QLatin1Char(' ') + plat::FormatLongTime(t);
    };
    const QString stars(35, QLatin1Char('*'));
    const QStringList expected = {QString(), stars, QStringLiteral("TEL      from  [[ 192.168.0.5 ]]  たろう"),
                                  QStringLiteral("       5Bytes  ") + when(in), stars, QString(),
                                  QString(), stars, QStringLiteral("File sent to   [[ 10.1.2.3 ]]  相手のメモ"),
                                  QStringLiteral("    2048Bytes  ") + when(out),
                                  QStringLiteral("Ratio =    2.000 KBytes/s ;     \"pic.jpg\""), stars, QString()};
    EXPECT_EQ(memoText().split(QLatin1Char('\n')), expected);
}

TEST_F(TelLog, SentTelModesSetAddresseeAndLocalModeWritesNoBanner)
{
    openPair();
    SentTel sent;
    sent.target.IpAddress = QStringLiteral("localhost");
    sent.target.ReplyUserId = QStringLiteral("PARTNER1");
    sent.text = "body of the stay tel, longer than Bytes";
    sent.stayMode = true;
    sent.addresseeUserId = QStringLiteral("ABSENT01");
    sent.addresseeHandle = QStringLiteral("留守の人");
    MessageRecord text;
    text.Title = QLatin1String(TelTitle::SendText);
    text.Bytes = 4;
    ASSERT_TRUE(LogSentTel(sent, text));
    sent.stayMode = false;
    sent.serialChat = sent.localMode = true;
    text.Flags = MessageRecord::SerialFlag;
    text.Title = QLatin1String(TelTitle::SendText) + QLatin1String(TelTitle::SerialChat);
    memo->clear();
    ASSERT_TRUE(LogSentTel(sent, text));
    EXPECT_EQ(memoText(), QString());

    const auto all = records();
    EXPECT_EQ(all[1].Title, QStringLiteral("Send  <<Text>> ; Stay TEL"));
    EXPECT_EQ(all[1].Flags, MessageRecord::StayFlag);
    EXPECT_EQ(all[1].UserId, QStringLiteral("ABSENT01"));
    EXPECT_EQ(all[1].Handle, QStringLiteral("留守の人"));
    EXPECT_EQ(all[1].Address, plat::inet_addr(QStringLiteral("127.0.0.1"))); // a host name is resolved
    EXPECT_EQ(bodyOf(all[1]), "body");
    EXPECT_EQ(all[2].UserId, QStringLiteral("PARTNER1"));
    EXPECT_EQ(all[2].Start, 4);
    EXPECT_EQ(waiting(), 0); // sent TELs are never unread
}

class TelDecision : public TelLog {
protected:
    void SetUp() override
    {
        TelLog::SetUp();
        form = new TBLookupForm();
        openPair();
        TelFollowUp.ShowReceiveWindow = [this] { record(QStringLiteral("show")); };
        TelFollowUp.SendAutoReply = [this](const StoredTel &tel) {
            record(QStringLiteral("reply %1 from %2").arg(plat::inet_ntoa(tel.record.Address), tel.deliveredBy));
        };
        TelFollowUp.ForwardTel = [this](const StoredTel &tel, const HostRecord &target) {
            record(QStringLiteral("forward %1 to %2 ").arg(tel.record.Number).arg(target.IpAddress) +
                   QString::fromLatin1(tel.body));
        };
    }
    void TearDown() override
    {
        settle();
        TelLog::TearDown();
    }
    void setBoxes(bool lock, bool autoReply, const QString &caption = QStringLiteral("Auto Reply"))
    {
        form->ui->LockCheckBox->setChecked(lock);
        form->ui->AutoreplyCheckBox->setChecked(autoReply);
        form->ui->AutoreplyCheckBox->setText(caption);
    }
    // Runs the queued decisions and waits for the follow-up threads they started.
    static void settle()
    {
        for (int i = 0; i < 10000; ++i) {
            QCoreApplication::processEvents();
            if (plat::FreeOnTerminateThread::Running() == 0)
                return;
            QThread::msleep(1);
        }
        ADD_FAILURE() << "follow-up threads still running";
    }
    void record(const QString &call)
    {
        std::lock_guard lock(mutex);
        calls << call;
        if (QThread::currentThread() == QCoreApplication::instance()->thread())
            onGuiThread << call;
    }
    QStringList recorded()
    {
        settle();
        std::lock_guard lock(mutex);
        return calls;
    }

    std::mutex mutex;
    QStringList calls, onGuiThread;
};

TEST_F(TelDecision, FirstUnreadShowsTheWindowLaterOnesAreAnsweredOrForwardedOffTheGuiThread)
{
    setBoxes(false, true);
    ASSERT_TRUE(store("first"));
    EXPECT_EQ(recorded(), QStringList({"show"})); // only unread TEL: never answered
    ASSERT_TRUE(store("second"));
    EXPECT_EQ(recorded().last(), QStringLiteral("reply 192.168.0.5 from 192.168.0.5"));
    // The forward target is the one set when the TEL arrived.
    ForwardHost.IpAddress = QStringLiteral("10.0.0.9");
    setBoxes(false, true, QStringLiteral("Forward"));
    ASSERT_TRUE(store("third"));
    ForwardHost = HostRecord{};
    EXPECT_EQ(recorded().last(), QStringLiteral("forward 3 to 10.0.0.9 third"));
    ASSERT_TRUE(store("stay", MessageRecord::StayFlag));
    ASSERT_TRUE(store("serial", MessageRecord::SerialFlag));
    setBoxes(false, false);
    ASSERT_TRUE(store("not answered"));
    EXPECT_EQ(recorded().size(), 3);
    EXPECT_EQ(onGuiThread, QStringList({"show"}));

    // A forwarded TEL names its first sender; the host that delivered it is passed on.
    setBoxes(true, true);
    HostRecord firstSender = Peer();
    firstSender.IpAddress = QStringLiteral("10.1.2.3");
    ASSERT_TRUE(StoreTel(firstSender, TextTel(3), "fwd", QStringLiteral("192.168.0.5")));
    EXPECT_EQ(recorded().last(), QStringLiteral("reply 10.1.2.3 from 192.168.0.5"));
}

TEST_F(TelDecision, LockKeepsTheWindowShutAndUnsetSeamsDoNothing)
{
    setBoxes(true, false);
    ASSERT_TRUE(store("locked"));
    EXPECT_EQ(recorded(), QStringList());
    TelFollowUp = {};
    setBoxes(false, true);
    ASSERT_TRUE(store("waits in the log"));
    setBoxes(true, true);
    ASSERT_TRUE(store("waits too"));
    settle();
    EXPECT_EQ(records().size(), 4u);
}

TEST_F(TelDecision, StoreOnAnotherThreadDecidesOnTheGuiThread)
{
    setBoxes(false, false);
    QThread *decidedOn = nullptr;
    TelFollowUp.ShowReceiveWindow = [&decidedOn] { decidedOn = QThread::currentThread(); };
    std::thread server([this] { EXPECT_TRUE(store("from a server thread")); });
    server.join();
    EXPECT_EQ(decidedOn, nullptr);
    QCoreApplication::processEvents();
    EXPECT_EQ(decidedOn, QCoreApplication::instance()->thread());
}

TEST_F(TelLog, ConcurrentStoresKeepNumbersAndBodiesIntact)
{
    openPair();
    // Enough threads that stores meet while flushing and share flushes.
    constexpr int Threads = 16, PerThread = 40;
    // Each body names its TEL and has its own length, so a mixed-up offset or
    // an interleaved write shows.
    const auto bodyFor = [](int t, int i) {
        const QByteArray tag = QByteArray::number(t * 1000 + i) + ':';
        return tag + QByteArray(1 + (t * 37 + i * 11) % 300, char('a' + t));
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < PerThread; ++i)
                EXPECT_TRUE(store(bodyFor(t, i)));
        });
    for (auto &th : threads)
        th.join();

    const auto all = records();
    ASSERT_EQ(all.size(), size_t(Threads * PerThread + 1));
    QSet<int> seen;
    QMap<qint64, qint64> bodies; // Start -> Bytes
    std::vector<int> lastOfThread(Threads, -1);
    for (size_t n = 1; n < all.size(); ++n) {
        const MessageRecord &r = all[n];
        EXPECT_EQ(r.Number, int(n));
        const QByteArray body = bodyOf(r);
        const int id = body.left(body.indexOf(':')).toInt();
        ASSERT_EQ(body, bodyFor(id / 1000, id % 1000));
        // One thread's TELs are stored in the order it stored them.
        EXPECT_LT(lastOfThread[size_t(id / 1000)], id % 1000);
        lastOfThread[size_t(id / 1000)] = id % 1000;
        seen.insert(id);
        bodies.insert(r.Start, r.Bytes);
    }
    EXPECT_EQ(seen.size(), Threads * PerThread);
    // Bodies lie end to end, none overlapping another.
    qint64 end = 0;
    for (auto it = bodies.cbegin(); it != bodies.cend(); ++it) {
        EXPECT_EQ(it.key(), end);
        end = it.key() + it.value();
    }
    EXPECT_EQ(QFile(TelTextFile()).size(), end);
    EXPECT_EQ(waiting(), Threads * PerThread);
}

} // namespace
