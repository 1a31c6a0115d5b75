// The OLCP socket primitives against a scripted peer on a real loopback connection.
#include "core/BCommon.h"
#include "core/BRegistr.h"
#include "core/BServer.h"
#include "platform/Cp932.h"

#include "support/FakePeer.h"
#include "support/TempEnv.h"

#include <QCoreApplication>
#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <chrono>
#include <ostream>
#include <thread>

using testsupport::FakePeer;

// Readable texts in failure messages.
static void PrintTo(const QString &text, std::ostream *os)
{
    *os << '"' << text.toStdString() << '"';
}

namespace {

QByteArray Pattern(int size)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = char(i * 7 + i / 251);
    return bytes;
}

QByteArray Int(qint32 value)
{
    const qint32 cell = htonl(quint32(value));
    return QByteArray(reinterpret_cast<const char *>(&cell), 4);
}

void Pause()
{
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
}

class Framing : public testsupport::TempEnvTest {
protected:
    void SetUp() override
    {
        LogToFile = false;
        LogLebelNumber = ALPHA;
        SetLogMemo(&memo_);
    }
    void TearDown() override
    {
        hangUp();
    }

    // Connects s to a new peer that runs the script.
    std::unique_ptr<FakePeer> talkTo(FakePeer::Script script)
    {
        hangUp();
        auto peer = FakePeer::listen(std::move(script));
        int error = -1;
        s = ConnectServer(SOCK_STREAM, QStringLiteral("olcp"), QStringLiteral("tcp"), error,
                          QStringLiteral("127.0.0.1"), peer->port());
        EXPECT_NE(s, plat::INVALID_SOCKET);
        EXPECT_EQ(error, 0);
        return peer;
    }
    void hangUp()
    {
        if (s != plat::INVALID_SOCKET)
            plat::closesocket(s);
        s = plat::INVALID_SOCKET;
    }
    QStringList logLines()
    {
        QCoreApplication::processEvents();
        return memo_.toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    // The failure lines logged so far, and forgets them.
    QStringList failures()
    {
        const QStringList lines = logLines().filter(QRegularExpression(QStringLiteral("^\\*\\*\\* ")));
        memo_.clear();
        return lines;
    }
    QString tempFile(const QString &name, const QByteArray &bytes)
    {
        env.writeFile(name, bytes);
        return env.file(name);
    }

    plat::SOCKET s = plat::INVALID_SOCKET;

private:
    QPlainTextEdit memo_;
};

TEST_F(Framing, LinesOfUpTo254BytesLeaveTheNextElementOnTheStream)
{
    const QByteArray longest(MaxRecvLineBytes, 'a');
    auto peer = talkTo([&](FakePeer &p) {
        p.sendLine(longest + "\r");
        p.sendLine(plat::ToCp932(QStringLiteral("受信ﾃｽﾄ\r")));
        p.sendRaw(QByteArray("ab\0cd\r", 6));
        p.sendInt(-7);
        EXPECT_EQ(p.expectLine(), "HELLO\r");
        p.sendLine("\r");
    });
    QByteArray bytes;
    QString text, reply;
    qint32 value = 0;
    EXPECT_TRUE(RecvString(s, bytes));
    EXPECT_EQ(bytes, longest);
    EXPECT_TRUE(RecvString(s, text));
    EXPECT_EQ(text, QStringLiteral("受信ﾃｽﾄ"));
    EXPECT_TRUE(RecvString(s, bytes));
    EXPECT_EQ(bytes, "ab");
    EXPECT_TRUE(RecvInteger(s, value));
    EXPECT_EQ(value, -7);
    EXPECT_TRUE(SendRecvString(s, QStringLiteral("HELLO\r"), reply));
    EXPECT_EQ(reply, QString());
    peer->wait();
    EXPECT_EQ(peer->error(), QString());
    EXPECT_EQ(failures(), QStringList());
}

TEST_F(Framing, OverlongUnfinishedAndSilentLinesFail)
{
    const QString loop = QStringLiteral("*** recv[String] *** Infinite Loop (Failure?)");
    QByteArray line = "x";
    char next = 0;

    // The 255th byte ends the read, CR or not: the CR after it stays unread.
    auto peer = talkTo([](FakePeer &p) { p.sendLine(QByteArray(MaxRecvLineBytes + 1, 'a') + "\r"); });
    EXPECT_FALSE(RecvString(s, line));
    EXPECT_EQ(line, QByteArray());
    EXPECT_EQ(plat::recv(s, &next, 1, 0), 1);
    EXPECT_EQ(next, '\r');
    EXPECT_EQ(failures(), QStringList({loop}));

    // A peer that hangs up mid-line fails the read at once.
    peer = talkTo([](FakePeer &p) { p.sendRaw("abc"); });
    EXPECT_FALSE(RecvString(s, line));
    EXPECT_EQ(failures(), QStringList({loop}));

    // A silent peer is given up after TimeOutValue ms.
    TimeOutValue = 200;
    peer = talkTo([](FakePeer &p) { p.stall(); });
    EXPECT_FALSE(RecvString(s, line));
    EXPECT_EQ(failures(), QStringList({"*** recv[String] *** Error code = 10060"}));
}

TEST_F(Framing, SendStringRefusesLinesOver255Bytes)
{
    const QByteArray longest = QByteArray(MaxSendLineBytes - 1, 'b') + "\r";
    auto peer = talkTo([&](FakePeer &p) {
        EXPECT_EQ(p.expectLine(), longest);
        EXPECT_EQ(p.expectLine(), "NEXT\r");
    });
    EXPECT_TRUE(SendString(s, longest));
    EXPECT_FALSE(SendString(s, longest + "c"));
    EXPECT_FALSE(SendString(s, QString(200, QChar(0x3042)))); // 400 bytes in CP932
    EXPECT_TRUE(SendString(s, "NEXT\r"));
    peer->wait();
    EXPECT_EQ(peer->error(), QString());
    EXPECT_EQ(failures(), QStringList({"*** send[String] *** Line too long (256 bytes)",
                                       "*** send[String] *** Line too long (400 bytes)"}));
}

TEST_F(Framing, IntegersCompleteShortReadsAndFailWhenTheStreamEnds)
{
    auto peer = talkTo([](FakePeer &p) {
        p.sendRaw("\x01\x02");
        Pause();
        p.sendRaw("\x03\x04");
        p.sendInt(-2);
        EXPECT_EQ(p.recvInt(), 0x11223344);
        p.sendRaw("\x7f\x7f");
    });
    qint32 value = 0;
    EXPECT_TRUE(RecvInteger(s, value));
    EXPECT_EQ(value, 0x01020304);
    EXPECT_TRUE(RecvInteger(s, value));
    EXPECT_EQ(value, -2);
    EXPECT_TRUE(SendInteger(s, 0x11223344));
    EXPECT_FALSE(RecvInteger(s, value));
    EXPECT_EQ(value, 0);
    EXPECT_EQ(failures(), QStringList({"*** recv[Integer] *** Connection closed"}));
}

TEST_F(Framing, SendFileAnnouncesTheSizeAndSendsTheBytesFromTheOffset)
{
    const QList<int> sizes = {1, FileChunkBytes, FileChunkBytes + 1, 3 * FileChunkBytes + 5};
    auto peer = talkTo([&](FakePeer &p) {
        for (int size : sizes) {
            EXPECT_EQ(p.recvInt(), size);
            EXPECT_EQ(p.recvRaw(size), Pattern(size));
        }
        EXPECT_EQ(p.recvInt(), 6);
        EXPECT_EQ(p.recvRaw(6), "456789");
        EXPECT_EQ(p.recvInt(), 0);
    });
    for (int size : sizes) {
        qint64 announced = -1;
        EXPECT_TRUE(SendFile(s, tempFile(QStringLiteral("f%1").arg(size), Pattern(size)), 0, announced));
        EXPECT_EQ(announced, size);
    }
    qint64 part = 6;
    EXPECT_TRUE(SendFile(s, tempFile(QStringLiteral("digits"), "0123456789"), 4, part));
    qint64 missing = -1;
    EXPECT_TRUE(SendFile(s, env.file(QStringLiteral("missing")), 0, missing));
    EXPECT_EQ(missing, 0);
    peer->wait();
    EXPECT_EQ(peer->error(), QString());
    EXPECT_EQ(failures(), QStringList());
}

TEST_F(Framing, SendFileRefusesHugeFilesAndFailsWhenTheFileEndsEarly)
{
    const QString huge = env.file(QStringLiteral("huge"));
    {
        QFile sparse(huge);
        ASSERT_TRUE(sparse.open(QIODevice::WriteOnly));
        ASSERT_TRUE(sparse.resize(qint64(1) << 31));
    }
    auto peer = talkTo([](FakePeer &p) { p.stall(); });
    qint64 size = -1;
    EXPECT_FALSE(SendFile(s, huge, 0, size));
    size = 100;
    EXPECT_FALSE(SendFile(s, tempFile(QStringLiteral("short"), "0123456789"), 0, size));
    hangUp();
    peer->wait();
    EXPECT_EQ(peer->received(), Int(100) + "0123456789");
    EXPECT_EQ(failures(), QStringList({"*** send[File] *** Too large : " + huge,
                                       "*** send[File] *** File ended early : " + env.file(QStringLiteral("short"))}));
}

TEST_F(Framing, RecvFileAppendsTheAnnouncedBytesAndRefusesWhatWentWrong)
{
    // Past the first piece handed to the disk while the file arrives.
    const QByteArray data = Pattern(int(FileWriteBackBytes) + FileChunkBytes + 1);
    auto peer = talkTo([&](FakePeer &p) {
        p.sendInt(data.size());
        p.sendRaw(data);
        p.sendInt(0);
        p.sendInt(-5);
        p.sendInt(10);
        p.sendRaw(Pattern(10));
        p.sendInt(100);
        p.sendRaw(Pattern(10));
    });
    QFile file(env.file(QStringLiteral("received")));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    qint64 size = 0;
    EXPECT_TRUE(RecvFile(s, file, size));
    EXPECT_EQ(size, data.size());
    EXPECT_TRUE(RecvFile(s, file, size));
    EXPECT_EQ(size, 0);
    EXPECT_FALSE(RecvFile(s, file, size));
    EXPECT_EQ(size, -5);
    file.flush();
    EXPECT_EQ(env.readFile(QStringLiteral("received")), data);
    EXPECT_EQ(failures(), QStringList({"*** recv[File] *** Bad size = -5"}));

    QFile full(QStringLiteral("/dev/full"));
    ASSERT_TRUE(full.open(QIODevice::WriteOnly));
    EXPECT_FALSE(RecvFile(s, full, size));
    EXPECT_TRUE(failures().value(0).startsWith(QStringLiteral("*** recv[File] *** Write error : ")));

    EXPECT_FALSE(RecvFile(s, file, size));
    EXPECT_EQ(failures(), QStringList({"*** recv[File] *** Connection closed"}));
}

TEST_F(Framing, ProgressIsShownOnTheGuiThreadAndHiddenAtTheEnd)
{
    QLabel rate;
    QProgressBar bar;
    bar.hide();
    const TransferProgress progress{&rate, &bar};
    QList<bool> shownAtUpdate;
    QObject::connect(&bar, &QProgressBar::valueChanged, [&](int value) {
        if (value > 0)
            shownAtUpdate.append(!bar.isHidden());
    });

    // Sending on the GUI thread.
    const QByteArray data = Pattern(20000);
    auto peer = talkTo([&](FakePeer &p) {
        EXPECT_EQ(p.recvInt(), data.size());
        EXPECT_EQ(p.recvRaw(data.size()), data);
        // Receiving on another thread: a pause lets the rate be measured.
        p.sendInt(data.size());
        p.sendRaw(data.left(10000));
        Pause();
        p.sendRaw(data.mid(10000));
    });
    qint64 size = -1;
    EXPECT_TRUE(SendFileProgress(s, tempFile(QStringLiteral("f"), data), 0, &progress, size));
    EXPECT_EQ(bar.maximum(), data.size());
    EXPECT_EQ(bar.value(), data.size());
    EXPECT_TRUE(bar.isHidden());
    EXPECT_EQ(shownAtUpdate, QList<bool>({true, true, true}));

    bar.reset();
    shownAtUpdate.clear();
    QFile file(env.file(QStringLiteral("received")));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    bool ok = false;
    std::thread receiver([&] { ok = RecvFileProgress(s, file, size, &progress); });
    receiver.join();
    EXPECT_TRUE(ok);
    EXPECT_TRUE(shownAtUpdate.isEmpty()); // nothing touched the widgets from the receiving thread
    QCoreApplication::processEvents();
    EXPECT_EQ(bar.value(), data.size());
    EXPECT_TRUE(bar.isHidden());
    EXPECT_FALSE(shownAtUpdate.contains(false));
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^ *\\d+\\.\\d{3}$")).match(rate.text()).hasMatch()) << rate.text().toStdString();
    EXPECT_GE(rate.text().size(), 8);
}

TEST_F(Framing, BuffersRoundTripAndRefuseWhatDoesNotFit)
{
    const QByteArray full = Pattern(MaxBufBytes);
    auto peer = talkTo([&](FakePeer &p) {
        p.sendInt(p.recvInt());
        p.sendRaw(p.recvRaw(MaxBufBytes));
        EXPECT_EQ(p.recvInt(), 3);
        EXPECT_EQ(p.recvRaw(3), full.left(3));
        EXPECT_EQ(p.recvInt(), 0);
        p.sendInt(0);
        p.sendInt(MaxBufBytes);
        p.sendInt(10);
        p.sendRaw("1234");
    });
    QByteArray buffer;
    int length = -1;
    EXPECT_TRUE(SendBuf(s, full, MaxBufBytes));
    EXPECT_TRUE(RecvBuf(s, buffer, length, MaxBufBytes + 1));
    EXPECT_EQ(length, MaxBufBytes);
    EXPECT_EQ(buffer, full);

    EXPECT_FALSE(SendBuf(s, full + "x", MaxBufBytes + 1));
    EXPECT_FALSE(SendBuf(s, "abc", 4));
    EXPECT_TRUE(SendBuf(s, full, 3));
    EXPECT_TRUE(SendBuf(s, QByteArray(), 0));

    EXPECT_TRUE(RecvBuf(s, buffer, length, MaxBufBytes + 1));
    EXPECT_EQ(length, 0);
    EXPECT_EQ(buffer, QByteArray());
    EXPECT_FALSE(RecvBuf(s, buffer, length, MaxBufBytes)); // no room for the NUL
    EXPECT_FALSE(RecvBuf(s, buffer, length, MaxBufBytes + 1));
    EXPECT_EQ(buffer, "1234");
    EXPECT_EQ(failures(), QStringList({"*** send[Buf] *** Bad length = 65537", "*** send[Buf] *** Bad length = 4",
                                       "*** recv[Buf] *** Bad length = 65536",
                                       "*** recv[Buf] *** Connection closed"}));
}

TEST_F(Framing, ConnectServerLogsItsStepsAndReportsFailures)
{
    EXPECT_EQ(HostToAddr(QStringLiteral("127.0.0.1")), htonl(INADDR_LOOPBACK));
    EXPECT_EQ(HostToAddr(QStringLiteral("127.0.0.1").leftJustified(MaxAddressText)), htonl(INADDR_LOOPBACK));
    EXPECT_EQ(HostToAddr(QStringLiteral("127.0.0.1").leftJustified(MaxAddressText + 1)), INADDR_NONE);
    EXPECT_EQ(HostToAddr(QStringLiteral("localhost")), INADDR_NONE);

    LogLebelNumber = BETA;
    auto peer = talkTo([](FakePeer &) {});
    const QStringList lines = logLines();
    ASSERT_EQ(lines.size(), 4);
    EXPECT_EQ(lines[0], QStringLiteral("Client Socket = %1").arg(s));
    EXPECT_EQ(lines[1], QStringLiteral("Server Port   = %1").arg(peer->port()));
    EXPECT_TRUE(lines[2].startsWith(QStringLiteral("Client Port   = ")));
    EXPECT_EQ(lines[3], QStringLiteral("Success connect !!"));
    failures();

    // A bound port that does not listen refuses.
    const int closed = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t addressLength = sizeof address;
    ASSERT_EQ(::bind(closed, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ::getsockname(closed, reinterpret_cast<sockaddr *>(&address), &addressLength);
    int error = 0;
    EXPECT_EQ(ConnectServer(SOCK_STREAM, QStringLiteral("olcp"), QStringLiteral("tcp"), error,
                            QStringLiteral("127.0.0.1"), ntohs(address.sin_port)),
              plat::INVALID_SOCKET);
    ::close(closed);
    EXPECT_EQ(error, plat::WSAECONNREFUSED);
    EXPECT_EQ(failures(), QStringList({"*** connect *** Error code = 10061"}));

    // A name is not looked up: the connect fails.
    EXPECT_EQ(ConnectServer(SOCK_STREAM, QStringLiteral("olcp"), QStringLiteral("tcp"), error,
                            QStringLiteral("localhost"), 8011),
              plat::INVALID_SOCKET);
    EXPECT_NE(error, 0);
    EXPECT_EQ(failures(), QStringList({QStringLiteral("*** connect *** Error code = %1").arg(error)}));
}

} // namespace
