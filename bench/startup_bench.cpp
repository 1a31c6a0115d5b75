// How long a real Kalvex_L takes from its start until its TCP server listens
// on port 8011, with a TEL log pair of 100,000 received TELs of which the
// last 50,000 are unread (start-up counts them and goes into Lock mode),
// against a start in an empty folder (which creates the folders, the
// settings and an empty pair) and a start with a pair of the header alone
// (what counting costs beyond that). Each start gets a fresh folder of its
// own; the three take turns in a new order each round, three rounds, and
// each ratio is printed with its smallest, middle and largest value.
//
//   build/bin/startup_bench
//
// Every start has start parameter E "1", so that the notice about unread
// TELs does not wait for a click. It starts itself again inside a network
// namespace of its own ("unshare -rn", lo up), so that port 8011 is its own;
// with KALVEX_BENCH_NETNS set it runs where it is, and the port must be free.
#include "bench/BenchPeer.h"
#include "core/MessageRecord.h"
#include "platform/Registry.h"
#include "support/ProgramProcess.h"
#include "support/TempEnv.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdio>
#include <memory>
#include <vector>

using namespace benchpeer;
using namespace testsupport;

namespace {

constexpr int Tels = 100000, Unread = 50000, Rounds = 3;
constexpr char Arguments[] = "-E1";
constexpr char DirectoryKey[] = "Software\\ZK\\Kalvex\\Directory", Pointer[] = "TelegPointer";
constexpr quint32 FirstUnread = Tels - Unread + 1;

// What the folder holds before the start.
enum class Kind { EmptyFolder, EmptyLog, FullLog };
constexpr std::array<Kind, 3> Kinds = {Kind::EmptyFolder, Kind::EmptyLog, Kind::FullLog};

// The program in the folder reads and saves its settings there.
void UseRegistryOf(const TempFolder &folder)
{
    qputenv("KALVEX_REGISTRY_DIR", folder.registryDir().toLocal8Bit());
}

// The preparation is made durable, so that no write-back of it runs under
// the measure.
bool MadeDurable(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadWrite) && ::fdatasync(file.handle()) == 0;
}

// The TEL log pair of the folder's first start, holding its header and tels
// received text TELs of a hundred bytes each; the program's TelegPointer
// names the first of the last Unread of them.
bool WriteTelLog(const TempFolder &folder, int tels)
{
    QByteArray records = MakeHeaderRecord(QStringLiteral("Teleg000")).encode();
    QByteArray text;
    records.reserve(qsizetype(tels + 1) * MessageRecord::Size);
    for (int i = 1; i <= tels; ++i) {
        const QByteArray body = QByteArray::number(i).rightJustified(99, '.') + '\n';
        MessageRecord r;
        r.Number = i;
        r.Title = QLatin1String(TelTitle::RecvText);
        r.Handle = QStringLiteral("bench");
        r.Start = qint32(text.size());
        r.Bytes = qint32(body.size());
        records += r.encode();
        text += body;
    }
    for (const auto &[name, bytes] : {std::pair{QStringLiteral("Telegram/Teleg000.dat"), records},
                                      std::pair{QStringLiteral("Telegram/Teleg000.txt"), text}}) {
        folder.writeFile(name, bytes);
        if (!MadeDurable(folder.file(name)))
            return false;
    }
    UseRegistryOf(folder);
    plat::UpdateRegistry(plat::RootKey::CurrentUser, [tels](plat::RegKey &root) {
        root.createKey(QLatin1String(DirectoryKey))
            .writeDWord(QLatin1String(Pointer), tels > 0 ? FirstUnread : 1);
    });
    return true;
}

// The pointer as the program saved it: past the end of the log, it would
// have been moved to the end, with nothing unread.
bool PointerKept(const TempFolder &folder)
{
    UseRegistryOf(folder);
    const plat::RegistryRead saved = plat::LoadRegistry(plat::RootKey::CurrentUser);
    const plat::RegKey *key = saved.root.key(QLatin1String(DirectoryKey));
    return key && key->readDWord(QLatin1String(Pointer)) == FirstUnread;
}

// A folder with its copy of the program, prepared for one kind of start.
struct Prepared {
    explicit Prepared(Kind kind)
        : program(folder),
          ok(MadeDurable(folder.file(QStringLiteral("Kalvex_L"))) &&
             (kind == Kind::EmptyFolder || WriteTelLog(folder, kind == Kind::FullLog ? Tels : 0)))
    {
    }
    const TempFolder folder;
    const ProgramProcess program;
    const bool ok;
};

bool Listens()
{
    const int fd = ConnectTo(OlcpPort);
    if (fd >= 0)
        ::close(fd);
    return fd >= 0;
}

// Seconds from the start of the program until port 8011 listens; negative
// when it did not within 20 s. The program is ended in order afterwards.
double StartUp(const Prepared &prepared)
{
    QElapsedTimer timer;
    timer.start();
    const std::unique_ptr<QProcess> process = prepared.program.start({QLatin1String(Arguments)});
    while (!Listens() && timer.elapsed() < 20000)
        QThread::usleep(500);
    const double seconds = timer.elapsed() < 20000 ? double(timer.nsecsElapsed()) / 1e9 : -1;
    // Its start-up finishes first, or it would close in the middle of it.
    prepared.program.waitUntilUp();
    ::kill(pid_t(process->processId()), SIGTERM);
    if (!process->waitForFinished(40000)) {
        ::kill(pid_t(process->processId()), SIGKILL);
        process->waitForFinished();
    }
    return seconds;
}

void PrintSpread(const char *what, std::vector<double> figures, const char *aim)
{
    std::sort(figures.begin(), figures.end());
    std::printf("    %s: min %.2f / median %.2f / max %.2f%s\n", what, figures.front(), figures[figures.size() / 2],
                figures.back(), aim);
}

} // namespace

int main(int argc, char **argv)
{
    EnterOwnNamespace(argc, argv, "-rn");
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::printf("start-up of Kalvex_L until port %d listens, %d rounds: a TEL log of %d TELs, %d of them unread, "
                "against an empty folder and a TEL log of the header alone\n",
                OlcpPort, Rounds, Tels, Unread);
    std::vector<double> toEmptyFolder, toEmptyLog;
    for (int round = 0; round < Rounds; ++round) {
        std::array<double, Kinds.size()> seconds{};
        std::array<Kind, Kinds.size()> order = Kinds;
        std::rotate(order.begin(), order.begin() + round % int(order.size()), order.end());
        bool pointerKept = true;
        for (const Kind kind : order) {
            const Prepared prepared(kind);
            if (!prepared.ok) {
                std::printf("    cannot prepare %s\n", qPrintable(prepared.folder.path()));
                return 1;
            }
            seconds[size_t(kind)] = StartUp(prepared);
            if (kind == Kind::FullLog)
                pointerKept = PointerKept(prepared.folder);
        }
        const double emptyFolder = seconds[size_t(Kind::EmptyFolder)], emptyLog = seconds[size_t(Kind::EmptyLog)],
                     fullLog = seconds[size_t(Kind::FullLog)];
        std::printf("    round %d: empty folder %.3f s, TEL log of the header alone %.3f s, TEL log of %d TELs "
                    "%.3f s%s\n",
                    round + 1, emptyFolder, emptyLog, Tels, fullLog,
                    pointerKept ? "" : " (TelegPointer moved: the log was not read as written)");
        if (std::min({emptyFolder, emptyLog, fullLog}) <= 0 || !pointerKept)
            return 1;
        toEmptyFolder.push_back(fullLog / emptyFolder);
        toEmptyLog.push_back(fullLog / emptyLog);
    }
    PrintSpread("with the TEL log / empty folder     ", toEmptyFolder, " (aim <= 1.30)");
    PrintSpread("with the TEL log / header-only log  ", toEmptyLog, "");
    return 0;
}
