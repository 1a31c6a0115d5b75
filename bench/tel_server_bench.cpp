// Reliability and speed of receiving TELs on the OLCP port, end to end through
// the TCP server chain into the TEL log: 200 peers sending at once, the rate
// of sequential text TELs, and the throughput of a file TEL against plain TCP
// copies of the same bytes: one that syncs the file once at its end (what a
// receiver that keeps the file durable must at least take when disk and
// network work one after the other) and one that never syncs.
//
//   build/bin/tel_server_bench [letters]   all parts, or those named ("c")
//
// It needs port 8011 to itself, so it runs in a network namespace of its own:
// started plainly, it starts itself again through "unshare -rn" with lo up
// (unprivileged user namespaces and the ip command are needed). With
// KALVEX_BENCH_NETNS set it runs where it is, and port 8011 must be free.
// It prints its figures and takes well under two minutes; its files live in a
// temporary folder that is removed at the end.
#include "bench/BenchPeer.h"
#include "core/BCommon.h"
#include "core/BRegistr.h"
#include "core/BTcpServ.h"
#include "platform/FreeOnTerminateThread.h"
#include "platform/RecordFile.h"
#include "tel/BTelLog.h"
#include "tel/BTelServ.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QHash>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QtEndian>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <latch>
#include <thread>
#include <vector>

namespace {

using namespace benchpeer;

// What the peers met before they were served.
struct Retries {
    std::atomic<int> refused{0}, unanswered{0};
};

// One conversation that delivers the bodies as text TELs, opened again as
// often as the server turns it away before its handshake.
bool DeliverTexts(const std::vector<QByteArray> &bodies, Retries &retries)
{
    int fd = -1;
    for (int attempt = 0;; ++attempt) {
        const Opened opened = OpenConversation(fd);
        if (opened == Opened::Ok)
            break;
        if (opened == Opened::Failed || attempt == 100)
            return false;
        ++(opened == Opened::Refused ? retries.refused : retries.unanswered);
        QThread::msleep(10);
    }
    for (const QByteArray &body : bodies)
        if (!SendTextTel(fd, body)) {
            ::close(fd);
            return false;
        }
    return CloseConversation(fd);
}

// ---- settings, the server and the event loop ---------------------------------------

// A fresh TEL log pair in its own folder of the temporary folder.
bool UseNewPair(const QTemporaryDir &temp, const QString &name)
{
    TelegDirectory = temp.filePath(name);
    TelegFileName = QStringLiteral("Teleg000");
    TelegPointer = 1;
    QString error;
    if (QDir().mkpath(TelegDirectory) && OpenTelLogFiles(&error))
        return true;
    std::printf("    cannot open the TEL log pair in %s: %s\n", qPrintable(TelegDirectory), qPrintable(error));
    return false;
}

// Runs work on a thread of its own while this (the GUI) thread runs its
// event loop, as the program does while peers talk to it.
void RunWithEventLoop(const std::function<void()> &work)
{
    QEventLoop loop;
    std::thread worker([&] {
        work();
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    worker.join();
}

// Processes events until done() holds; false after limitMs.
bool SpinUntil(const std::function<bool()> &done, int limitMs = 10000)
{
    QElapsedTimer waited;
    waited.start();
    while (!done()) {
        if (waited.elapsed() > limitMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QThread::msleep(1);
    }
    return true;
}

// Every conversation has ended and only the server thread waiting in accept runs.
bool ServerIdle()
{
    return ConnectionCount == 0 && plat::FreeOnTerminateThread::Running() == 1 && TcpServerAlive == 1;
}

int EntriesIn(const char *folder)
{
    return int(QDir(QLatin1String(folder)).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size());
}

struct Usage {
    int descriptors = 0, threads = 0;
    bool operator==(const Usage &) const = default;
};

Usage Measure()
{
    return {EntriesIn("/proc/self/fd"), EntriesIn("/proc/self/task")};
}

// ---- reading the log pair back ----------------------------------------------------

// A body that names its peer and TEL and has a length and contents of its
// own, so that a misplaced, cut or mixed body is recognised.
QByteArray BodyFor(int peer, int tel)
{
    const QByteArray tag = "P" + QByteArray::number(peer) + "-T" + QByteArray::number(tel) + ":";
    QByteArray body = tag + QByteArray(100 + (peer * 37 + tel * 101) % 3000, '\0');
    for (qsizetype i = tag.size(); i < body.size(); ++i)
        body[i] = char('!' + (i * 7 + peer + tel * 13) % 90);
    return body;
}

// The tag of an intact body ("P12-T3"); empty for anything else.
QByteArray TagOf(const QByteArray &body)
{
    const qsizetype colon = body.indexOf(':');
    const QList<QByteArray> parts = body.left(colon).split('-');
    if (colon < 0 || parts.size() != 2 || !parts[0].startsWith('P') || !parts[1].startsWith('T'))
        return {};
    bool peerOk = false, telOk = false;
    const int peer = parts[0].mid(1).toInt(&peerOk), tel = parts[1].mid(1).toInt(&telOk);
    return peerOk && telOk && body == BodyFor(peer, tel) ? body.left(colon) : QByteArray();
}

struct StoredTels {
    QList<MessageRecord> records; // after the header
    QByteArray text;              // the whole text file
    QByteArray bodyOf(const MessageRecord &r) const { return text.mid(r.Start, r.Bytes); }
};

StoredTels ReadPair()
{
    StoredTels stored;
    plat::RecordFile file(TelDataFile(), MessageRecord::Size);
    QByteArray image;
    if (file.open())
        for (qint64 i = 1; file.read(i, image); ++i)
            stored.records.append(MessageRecord::decode(image));
    QFile text(TelTextFile());
    if (text.open(QIODevice::ReadOnly))
        stored.text = text.readAll();
    return stored;
}

// Every expected tag stored exactly once, with an intact text TEL record.
void CheckTextTels(const QSet<QByteArray> &expected)
{
    const StoredTels stored = ReadPair();
    QHash<QByteArray, int> seen;
    int damaged = 0;
    for (const MessageRecord &r : stored.records) {
        const QByteArray tag = TagOf(stored.bodyOf(r));
        if (tag.isEmpty() || r.Title != QLatin1String(TelTitle::RecvText) || r.Flags != 0)
            ++damaged;
        else
            ++seen[tag];
    }
    int missing = 0, duplicated = 0, unknown = 0;
    for (const QByteArray &tag : expected)
        missing += seen.value(tag) == 0;
    for (auto it = seen.cbegin(); it != seen.cend(); ++it) {
        duplicated += it.value() > 1;
        unknown += !expected.contains(it.key());
    }
    const bool ok = stored.records.size() == expected.size() && damaged + missing + duplicated + unknown == 0;
    std::printf("    stored %lld records for %lld TELs: damaged %d, missing %d, stored twice %d, unknown %d -> %s\n",
                qint64(stored.records.size()), qint64(expected.size()), damaged, missing, duplicated, unknown,
                ok ? "OK" : "FAILED");
}

// ---- (a) -------------------------------------------------------------------------

// The GUI thread's worst lateness while the load runs: a timer asks for a
// tick every 10 ms; each tick later than that counts.
class LatencyProbe {
public:
    LatencyProbe()
    {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setInterval(IntervalMs);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            const qint64 now = clock_.nsecsElapsed();
            worstNs_ = std::max(worstNs_, now - last_ - IntervalMs * 1000000LL);
            last_ = now;
            ++ticks_;
        });
        clock_.start();
        timer_.start();
    }
    double worstMs() const { return double(worstNs_) / 1e6; }
    int ticks() const { return ticks_; }

private:
    static constexpr int IntervalMs = 10;
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 last_ = 0, worstNs_ = 0;
    int ticks_ = 0;
};

void ManyPeersAtOnce(const QTemporaryDir &temp)
{
    constexpr int Peers = 200, TelsEach = 10;
    std::printf("(a) %d peers sending at once, %d text TELs each, one conversation per peer\n", Peers, TelsEach);
    if (!UseNewPair(temp, QStringLiteral("a")))
        return;
    SpinUntil(ServerIdle);
    const Usage before = Measure();

    QSet<QByteArray> expected;
    std::vector<std::vector<QByteArray>> bodies(Peers);
    for (int p = 0; p < Peers; ++p)
        for (int t = 0; t < TelsEach; ++t) {
            bodies[size_t(p)].push_back(BodyFor(p, t));
            expected.insert(TagOf(bodies[size_t(p)].back()));
        }

    std::atomic<int> failedPeers{0};
    Retries retries;
    QElapsedTimer timer;
    qint64 elapsedMs = 0;
    double worstMs = 0;
    int ticks = 0;
    {
        const LatencyProbe probe;
        timer.start();
        RunWithEventLoop([&] {
            std::latch start(Peers);
            std::vector<std::thread> peers;
            for (int p = 0; p < Peers; ++p)
                peers.emplace_back([&, p] {
                    start.arrive_and_wait();
                    failedPeers += DeliverTexts(bodies[size_t(p)], retries) ? 0 : 1;
                });
            for (std::thread &peer : peers)
                peer.join();
        });
        elapsedMs = timer.elapsed();
        worstMs = probe.worstMs();
        ticks = probe.ticks();
    }
    std::printf("    %lld ms for %d TELs (%.0f TELs/s); failed peers %d\n", elapsedMs, Peers * TelsEach,
                Peers * TelsEach * 1000.0 / double(std::max<qint64>(elapsedMs, 1)), failedPeers.load());
    std::printf("    connections tried again: %d turned away by the full table, %d without a version line "
                "within %d ms\n",
                retries.refused.load(), retries.unanswered.load(), VersionWaitMs);
    std::printf("    GUI thread: worst lateness of a 10 ms timer %.1f ms (%d ticks)\n", worstMs, ticks);
    CheckTextTels(expected);

    // The server threads end after their peers hung up; their objects are
    // deleted by the event loop.
    const bool drained = SpinUntil(ServerIdle);
    Usage after = Measure();
    SpinUntil([&] { return (after = Measure()) == before; }, 5000);
    std::printf("    descriptors %d before, %d after; threads %d before, %d after%s -> %s\n", before.descriptors,
                after.descriptors, before.threads, after.threads, drained ? "" : " (server not idle)",
                drained && after == before ? "no leak" : "LEAK");
}

// ---- (b) -------------------------------------------------------------------------

void SequentialTexts(const QTemporaryDir &temp)
{
    constexpr int Tels = 2000, BodyBytes = 1024, LimitMs = 20000;
    std::printf("(b) %d text TELs of 1 KiB one after another, one conversation each, until stored "
                "(at most %d s)\n", Tels, LimitMs / 1000);
    if (!UseNewPair(temp, QStringLiteral("b")))
        return;
    SpinUntil(ServerIdle);
    QHash<QByteArray, QByteArray> expected; // tag -> body
    std::vector<QByteArray> bodies;
    for (int t = 0; t < Tels; ++t) {
        QByteArray body = BodyFor(0, t);
        body.resize(BodyBytes, '.');
        bodies.push_back(body);
    }
    std::atomic<int> failed{0};
    Retries retries;
    QElapsedTimer timer;
    timer.start();
    RunWithEventLoop([&] {
        for (const QByteArray &body : bodies) {
            if (timer.elapsed() > LimitMs)
                break;
            failed += DeliverTexts({body}, retries) ? 0 : 1;
            expected.insert(body.left(body.indexOf(':')), body);
        }
    });
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    const qsizetype sent = expected.size();
    std::printf("    %lld TELs in %.2f s: %.0f TELs/s (%.2f ms each); failed %d\n", qint64(sent), seconds,
                double(sent) / seconds, seconds * 1000 / double(sent), failed.load());
    const StoredTels stored = ReadPair();
    QSet<QByteArray> found;
    for (const MessageRecord &r : stored.records) {
        const QByteArray body = stored.bodyOf(r);
        const QByteArray tag = body.left(body.indexOf(':'));
        if (expected.value(tag) == body)
            found.insert(tag);
    }
    std::printf("    stored %lld records, %lld distinct intact bodies -> %s\n", qint64(stored.records.size()),
                qint64(found.size()), stored.records.size() == sent && found.size() == sent ? "OK" : "FAILED");
}

// ---- (c) -------------------------------------------------------------------------

constexpr qint64 FileBytes = 256LL * 1024 * 1024;

// Bytes that do not repeat in any short period, written once.
bool WriteSourceFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    std::vector<quint64> block(1 << 17); // 1 MiB
    quint64 state = 0x9E3779B97F4A7C15ULL;
    for (qint64 written = 0; written < FileBytes; written += qint64(block.size() * sizeof(quint64))) {
        for (quint64 &word : block) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            word = state;
        }
        if (file.write(reinterpret_cast<const char *>(block.data()), qint64(block.size() * sizeof(quint64))) < 0)
            return false;
    }
    return file.flush();
}

bool SameContents(const QString &a, const QString &b)
{
    QFile fa(a), fb(b);
    if (!fa.open(QIODevice::ReadOnly) || !fb.open(QIODevice::ReadOnly) || fa.size() != fb.size())
        return false;
    while (!fa.atEnd())
        if (fa.read(1 << 20) != fb.read(1 << 20))
            return false;
    return true;
}

// Sends the file's bytes in chunks of ChunkBytes.
bool SendFileChunks(int fd, const QString &path)
{
    const int in = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return false;
    std::vector<char> chunk(ChunkBytes);
    bool ok = true;
    for (;;) {
        const ssize_t n = ::read(in, chunk.data(), chunk.size());
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        if (!SendAll(fd, chunk.data(), size_t(n))) {
            ok = false;
            break;
        }
    }
    ::close(in);
    return ok;
}

// The file as a "FILE" TEL, until the server has stored its record.
bool SendFileTel(const QString &source, const QByteArray &name)
{
    int fd = -1;
    if (OpenConversation(fd) != Opened::Ok)
        return false;
    const bool sent = SendAll(fd, "FILE\r" + name + "\r") && Expect(fd, QByteArrayLiteral("ACK\r")) &&
                      SendInteger(fd, qint32(FileBytes)) && SendFileChunks(fd, source);
    if (!sent) {
        ::close(fd);
        return false;
    }
    return CloseConversation(fd);
}

// The references: the same bytes from file to file over a plain loopback
// TCP connection, in chunks of the same size on both ends. With syncAtEnd the
// receiver makes the file durable with one fdatasync once its last byte is in
// and before it closes, as a receiver must before it says the file arrived:
// the disk waits for the network and then the network for the disk (the
// serial limit). Without it the copy never syncs.
bool CopyOverTcp(const QString &source, const QString &target, bool syncAtEnd)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(listener, 1) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        if (listener >= 0)
            ::close(listener);
        return false;
    }
    bool received = false;
    std::thread receiver([&] {
        const int fd = ::accept(listener, nullptr, nullptr);
        const int out = ::open(QFile::encodeName(target).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        std::vector<char> chunk(ChunkBytes);
        qint64 total = 0;
        for (ssize_t n; fd >= 0 && out >= 0 && (n = ::recv(fd, chunk.data(), chunk.size(), 0)) > 0; total += n)
            if (::write(out, chunk.data(), size_t(n)) != n)
                break;
        received = total == FileBytes && (!syncAtEnd || ::fdatasync(out) == 0);
        if (out >= 0)
            ::close(out);
        if (fd >= 0)
            ::close(fd);
    });
    const int fd = ConnectTo(ntohs(address.sin_port));
    const bool sent = fd >= 0 && SendFileChunks(fd, source);
    if (fd >= 0)
        ::close(fd);
    receiver.join();
    ::close(listener);
    return sent && received;
}

// Seconds that transfer took, or a negative number when it failed.
double Timed(const std::function<bool()> &transfer)
{
    QElapsedTimer timer;
    timer.start();
    bool ok = false;
    RunWithEventLoop([&] { ok = transfer(); });
    return ok ? double(timer.nsecsElapsed()) / 1e9 : -1;
}

// The stored file TEL: one record naming the file with its size, and the
// file itself byte for byte.
bool FileTelStored(const QString &source, const QByteArray &name)
{
    const StoredTels stored = ReadPair();
    const QString received = TelegDirectory + QLatin1Char('/') + QLatin1String(name);
    return stored.records.size() == 1 && stored.records[0].FileName == QLatin1String(name) &&
           stored.records[0].Bytes == FileBytes && (stored.records[0].Flags & MessageRecord::FileFlag) &&
           SameContents(source, received);
}

// Seconds of a copy over TCP into a new file of the folder, which is
// removed again; a negative number when it failed or came out different.
double TimedCopy(const QTemporaryDir &temp, const QString &source, bool syncAtEnd)
{
    const QString copy = temp.filePath(QStringLiteral("copy.bin"));
    const double seconds = Timed([&] { return CopyOverTcp(source, copy, syncAtEnd); });
    const bool intact = seconds > 0 && SameContents(source, copy);
    QFile::remove(copy);
    return intact ? seconds : -1;
}

// Smallest, middle and largest of the figures.
void PrintSpread(const char *what, std::vector<double> figures, const char *aim)
{
    std::sort(figures.begin(), figures.end());
    std::printf("    %s: min %.2f / median %.2f / max %.2f%s\n", what, figures.front(),
                figures[figures.size() / 2], figures.back(), aim);
}

void FileThroughput(const QTemporaryDir &temp)
{
    constexpr int Rounds = 3;
    constexpr double MiB = 1024.0 * 1024.0;
    std::printf("(c) a 256 MiB file TEL in chunks of %d bytes against plain TCP copies of it, %d rounds: one copy "
                "followed by one fdatasync of the file (the serial limit), one that never syncs\n",
                ChunkBytes, Rounds);
    const QString source = temp.filePath(QStringLiteral("source.bin"));
    if (!WriteSourceFile(source)) {
        std::printf("    cannot write %s\n", qPrintable(source));
        return;
    }
    const QByteArray name = "received.bin";
    std::vector<double> toSerial, toNever;
    for (int round = 1; round <= Rounds; ++round) {
        const double serial = TimedCopy(temp, source, true);

        if (!UseNewPair(temp, QStringLiteral("c%1").arg(round)))
            return;
        SpinUntil(ServerIdle);
        const double tel = Timed([&] { return SendFileTel(source, name); });
        const bool stored = tel > 0 && FileTelStored(source, name);
        QDir(TelegDirectory).removeRecursively();

        const double never = TimedCopy(temp, source, false);
        const auto rate = [](double seconds) { return seconds > 0 ? FileBytes / MiB / seconds : 0.0; };
        std::printf("    round %d: file TEL %6.1f MiB/s (%s), copy + fdatasync %6.1f MiB/s (%s), copy never "
                    "syncing %6.1f MiB/s (%s)\n",
                    round, rate(tel), stored ? "stored intact" : "FAILED", rate(serial),
                    serial > 0 ? "intact" : "FAILED", rate(never), never > 0 ? "intact" : "FAILED");
        if (!stored || serial <= 0 || never <= 0)
            break;
        toSerial.push_back(serial / tel);
        toNever.push_back(never / tel);
    }
    QFile::remove(source);
    if (toSerial.size() != size_t(Rounds))
        return;
    PrintSpread("file TEL / (copy + one fdatasync)", toSerial, " (aim >= 1.10)");
    PrintSpread("file TEL / copy never syncing   ", toNever, "");
}

} // namespace

int main(int argc, char **argv)
{
    EnterOwnNamespace(argc, argv, "-rn");
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    ProgramVersion = QStringLiteral("Ver.bench");
    // A peer that stalls is dropped after half a minute; these never do.
    TimeOutValue = 30000;
    // No memo is set: log lines wait in the log's capped queue and are dropped.
    QTemporaryDir temp;
    if (!temp.isValid() || !UseNewPair(temp, QStringLiteral("start")))
        return 1;
    StartTcpServer();
    if (TcpServerAlive != 1) {
        std::printf("the TCP server did not start on port %d\n", OlcpPort);
        return 1;
    }
    // "tel_server_bench c" runs only (c).
    const QByteArray chosen = argc > 1 ? QByteArray(argv[1]) : QByteArrayLiteral("abc");
    const std::pair<char, void (*)(const QTemporaryDir &)> parts[] = {
        {'a', ManyPeersAtOnce}, {'b', SequentialTexts}, {'c', FileThroughput}};
    for (const auto &[letter, part] : parts)
        if (chosen.contains(letter))
            part(temp);
    return 0;
}
