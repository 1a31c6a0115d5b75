// Reliability and speed of the TEL log pair: one writer against 16 concurrent
// ones beside the disk's flush time, a writer killed with SIGKILL in the middle
// of its appends, append throughput and the time to open and count a large
// pair at start-up.
//
//   tel_log_bench                     runs everything and prints the figures
//   tel_log_bench --append-until-killed <folder>
//                                     (internal) the writer that gets killed
#include "core/BLookup.h"
#include "core/BRegistr.h"
#include "platform/RecordFile.h"
#include "tel/BTelLog.h"
#include "tel/BTelServ.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr char ChildSwitch[] = "--append-until-killed";

HostRecord Peer()
{
    HostRecord peer;
    peer.IpAddress = QStringLiteral("192.168.0.5");
    peer.Handle = QStringLiteral("bench");
    peer.UserId = QStringLiteral("BENCH001");
    peer.OlcpVersion = QStringLiteral("OLCP303L");
    return peer;
}

// A body that names its writer and sequence and has a length of its own, so
// that a misplaced, truncated or interleaved body is recognised.
QByteArray BodyFor(int writer, int seq)
{
    const QByteArray tag = QByteArray::number(writer) + '-' + QByteArray::number(seq) + ':';
    return tag + QByteArray(1 + (writer * 131 + seq * 17) % 2000, char('a' + writer % 26));
}

bool StoreBody(const QByteArray &body)
{
    MessageRecord record;
    record.Title = QLatin1String(TelTitle::RecvText);
    record.Bytes = int(body.size());
    return StoreTel(Peer(), record, body);
}

void UsePair(const QString &folder)
{
    TelegDirectory = folder;
    TelegFileName = QStringLiteral("Teleg000");
    TelegPointer = 1;
}

bool OpenPair()
{
    QString error;
    if (OpenTelLogFiles(&error))
        return true;
    std::printf("    cannot open the pair: %s\n", qPrintable(error));
    return false;
}

qint32 Waiting()
{
    std::lock_guard lock(WaitingTelsLock);
    return WaitingTels;
}

struct PairCheck {
    qint64 records = 0;      // TEL records (header not counted)
    qint64 badNumbers = 0;   // Number differs from the index
    qint64 badBodies = 0;    // body not what its tag says
    qint64 overlaps = 0;     // bodies that overlap another
    qint64 gaps = 0;         // text between bodies that no record names (a kill between the two appends)
    qint64 partialBytes = 0; // bytes of a partial trailing record
    qint64 orphanBytes = 0;  // text past the last recorded body
    bool ok() const { return badNumbers == 0 && badBodies == 0 && overlaps == 0; }
};

bool BodyIntact(const QByteArray &body)
{
    const int colon = body.indexOf(':');
    const QList<QByteArray> parts = body.left(colon).split('-');
    return colon > 0 && parts.size() == 2 && body == BodyFor(parts[0].toInt(), parts[1].toInt());
}

// Reads the whole pair back: numbers, bodies, and that no two bodies overlap.
PairCheck CheckPair()
{
    PairCheck check;
    plat::RecordFile file(TelDataFile(), MessageRecord::Size);
    if (!file.open())
        return check;
    const QByteArray text = [] {
        QFile f(TelTextFile());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }();
    QMap<qint64, qint64> bodies;
    QByteArray image;
    for (qint64 i = 1; file.read(i, image); ++i) {
        const MessageRecord r = MessageRecord::decode(image);
        ++check.records;
        check.badNumbers += r.Number != i;
        check.badBodies += !BodyIntact(text.mid(r.Start, r.Bytes));
        bodies.insert(r.Start, r.Bytes);
    }
    qint64 end = 0;
    for (auto it = bodies.cbegin(); it != bodies.cend(); ++it) {
        check.overlaps += it.key() < end;
        check.gaps += it.key() > end;
        end = std::max(end, it.key() + it.value());
    }
    check.partialBytes = QFile(TelDataFile()).size() % MessageRecord::Size;
    check.orphanBytes = text.size() - end;
    return check;
}

void PrintCheck(const PairCheck &c)
{
    std::printf("    records %lld, wrong Number %lld, damaged bodies %lld, overlapping bodies %lld, "
                "unrecorded bodies %lld -> %s\n",
                c.records, c.badNumbers, c.badBodies, c.overlaps, c.gaps, c.ok() ? "OK" : "FAILED");
}

// ---- (a) -------------------------------------------------------------------------

// Stores total TELs from the given number of threads into a fresh pair and
// returns the rate, after checking the pair.
double StoreConcurrently(int threadCount, int total)
{
    QTemporaryDir dir;
    UsePair(dir.path());
    if (!OpenPair())
        return 0;
    QElapsedTimer timer;
    timer.start();
    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t)
        threads.emplace_back([t, threadCount, total, &failed] {
            for (int i = t; i < total; i += threadCount)
                failed += StoreBody(BodyFor(t, i)) ? 0 : 1;
        });
    for (auto &th : threads)
        th.join();
    const double seconds = timer.nsecsElapsed() / 1e9;
    QCoreApplication::processEvents(); // the announcements queued for the GUI thread
    std::printf("    %2d writer(s): %6d TELs in %6.2f s = %7.0f TELs/s, %d failed stores, WaitingTels %d\n",
                threadCount, total, seconds, total / seconds, failed.load(), Waiting());
    PrintCheck(CheckPair());
    return total / seconds;
}

// The physical limit of one writer: each TEL flushes the text file and then
// the record file, so one writer cannot beat two appends with fdatasync each.
double AppendAndSyncSeconds()
{
    constexpr int Rounds = 500;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("probe"));
    QString error;
    if (!plat::EnsureFileExists(path, &error))
        return 0;
    const QByteArray bytes(400, 'p');
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < Rounds; ++i)
        plat::AppendToFile(path, bytes);
    return timer.nsecsElapsed() / 1e9 / Rounds;
}

void ConcurrentAppends()
{
    constexpr int Threads = 16, Total = 10000, Single = 3000;
    std::printf("(a) one writer storing %d TELs, then %d threads storing %d TELs, each into a fresh pair\n", Single,
                Threads, Total);
    const double one = StoreConcurrently(1, Single);
    const double many = StoreConcurrently(Threads, Total);
    const double flush = AppendAndSyncSeconds();
    std::printf("    one append + fdatasync on this disk: %.3f ms, so one writer can reach at most %.0f TELs/s\n",
                flush * 1000, flush > 0 ? 1 / (2 * flush) : 0.0);
    std::printf("    %d writers / one writer = %.2f (aim >= 3.00)\n", Threads, one > 0 ? many / one : 0.0);
}

// ---- (b) -------------------------------------------------------------------------

[[noreturn]] void AppendUntilKilled(const QString &folder)
{
    UsePair(folder);
    if (!OpenPair())
        std::exit(1);
    const int writer = int(QCoreApplication::applicationPid() % 100);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([writer, t] {
            for (int i = 0;; ++i)
                StoreBody(BodyFor(writer * 4 + t, i));
        });
    for (auto &th : threads)
        th.join();
    std::exit(0);
}

qint64 RecordCount()
{
    return QFile(TelDataFile()).size() / MessageRecord::Size;
}

// Starts the writer, lets it append for about half a second once it has
// begun, then kills it.
bool RunAndKillWriter(const QString &folder)
{
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {QLatin1String(ChildSwitch), folder});
    if (!child.waitForStarted())
        return false;
    QElapsedTimer waited;
    waited.start();
    while (RecordCount() < 2 && waited.elapsed() < 10000)
        QThread::msleep(5);
    QThread::msleep(500);
    ::kill(pid_t(child.processId()), SIGKILL);
    child.waitForFinished();
    return child.exitStatus() == QProcess::CrashExit;
}

void KilledWriter()
{
    constexpr int Rounds = 3;
    std::printf("(b) a writer of 4 threads killed with SIGKILL after ~0.5 s, %d times on one pair\n", Rounds);
    QTemporaryDir dir;
    UsePair(dir.path());
    for (int round = 1; round <= Rounds; ++round) {
        if (!RunAndKillWriter(dir.path())) {
            std::printf("    round %d: the writer did not run or was not killed\n", round);
            return;
        }
        UsePair(dir.path());
        const bool opened = OpenPair();
        const PairCheck c = CheckPair();
        std::printf("    round %d: pair opens %s, WaitingTels %d for %lld complete records (%s); partial record "
                    "bytes %lld, unrecorded text at the end %lld bytes\n",
                    round, opened ? "yes" : "NO", Waiting(), c.records, Waiting() == c.records ? "right" : "WRONG",
                    c.partialBytes, c.orphanBytes);
        PrintCheck(c);
    }
}

// ---- (c) -------------------------------------------------------------------------

double AppendTels(int count, int from)
{
    const QByteArray filler(1024 - 16, 'k');
    QElapsedTimer timer;
    timer.start();
    for (int i = from; i < from + count; ++i) {
        QByteArray body = QByteArray::number(i).rightJustified(15, '0') + ':' + filler; // 1 KiB
        StoreBody(body);
    }
    return timer.nsecsElapsed() / 1e9;
}

// The best of three openings, so that a stray delay does not hide the trend.
double OpenAndCount()
{
    double best = 1e9;
    for (int i = 0; i < 3; ++i) {
        TelegPointer = 1; // everything pending: every record is read
        QElapsedTimer timer;
        timer.start();
        OpenPair();
        best = std::min(best, timer.nsecsElapsed() / 1e9);
    }
    return best;
}

void Throughput()
{
    constexpr int Half = 50000;
    std::printf("(c) appending text TELs of 1 KiB on one thread, then opening and counting the pair\n");
    QTemporaryDir dir;
    UsePair(dir.path());
    OpenPair();
    const double firstHalf = AppendTels(Half, 0);
    const double open50 = OpenAndCount();
    const qint32 waiting50 = Waiting();
    const double secondHalf = AppendTels(Half, Half);
    const double open100 = OpenAndCount();
    const double all = firstHalf + secondHalf;
    std::printf("    append  50,000: %7.2f s  %8.0f TELs/s\n", firstHalf, Half / firstHalf);
    std::printf("    append 100,000: %7.2f s  %8.0f TELs/s (the second 50,000 alone: %.0f TELs/s)\n", all,
                2 * Half / all, Half / secondHalf);
    std::printf("    time ratio 100,000 / 50,000 = %.2f (2.00 is linear)\n", all / firstHalf);
    std::printf("    open and count  50,000 records: %7.1f ms (WaitingTels %d)\n", open50 * 1000, waiting50);
    std::printf("    open and count 100,000 records: %7.1f ms (WaitingTels %d)\n", open100 * 1000, Waiting());
    std::printf("    time ratio 100,000 / 50,000 = %.2f (2.00 is linear)\n", open100 / open50);
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ProgramVersion = QStringLiteral("Ver.bench");
    // No memo is set: banner lines wait in the log's capped queue and are dropped.
    if (argc == 3 && qstrcmp(argv[1], ChildSwitch) == 0)
        AppendUntilKilled(QString::fromLocal8Bit(argv[2]));
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    ConcurrentAppends();
    KilledWriter();
    Throughput();
    return 0;
}
