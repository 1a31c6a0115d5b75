// Attacks against a real Kalvex_L, and what the program does under each:
//
//  (a) slots and deadlines, three figures:
//      - a TEL typed over two minutes (the conversation opens, the person
//        types, then the TEL goes): is it delivered?
//      - 100 idle and 100 dripping connections from other addresses of the
//        loopback network and 8 from one more, then a normal TEL: how many
//        of those connections the program still holds over time, and how
//        long the normal TEL was kept out until it was stored;
//      - 110 addresses that each keep a conversation alive with a short
//        valid line every 20 s and come back at once when dropped, then a
//        normal TEL: how long it was kept out until it was stored;
//  (b) a flood of 10,000 RMTDISH and 10,000 empty datagrams: the program's
//      memory (RSS) and log growth, and whether SIGTERM then ends it in order;
//  (c) a full disk (a small tmpfs as the TEL folder): is the TEL stored, and
//      does its sender learn that it was not (a reset rather than a clean
//      close after "OFF", which a sender of this system logs as troubled)?
//  (d) SIGKILL while a big file TEL arrives, a restart, and the same name
//      sent again: is it stored?
//
//   build/bin/attack_stress [letters]   all attacks, or those named ("bd")
//
// It starts itself again inside network and mount namespaces of its own
// ("unshare -rnm", lo up), so its traffic never leaves its loopback network
// and the tmpfs is seen by no one else. Each attack starts its own copy of
// Kalvex_L in a temporary folder. It prints what it saw and takes about six
// minutes (the TEL typed over two minutes is waited for in full); nothing
// here fails: the figures are for reading.
#include "bench/BenchPeer.h"
#include "core/MessageRecord.h"
#include "platform/Registry.h"
#include "support/ProgramProcess.h"
#include "support/TempEnv.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <fcntl.h>

#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>

using namespace benchpeer;
using namespace testsupport;

namespace {

constexpr char TelFolder[] = "Telegram";
constexpr char LogFile[] = "Kalvex.log";

quint32 LoopbackHost(int host)
{
    return 0x7f000000u | quint32(host);
}

bool WaitUntil(const std::function<bool()> &done, int limitMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > limitMs)
            return false;
        QThread::msleep(20);
    }
    return true;
}

// The TEL records of a pair's record file, without its header.
qint64 RecordsIn(const QString &dataFile)
{
    return std::max<qint64>(0, QFileInfo(dataFile).size() / MessageRecord::Size - 1);
}

// ---- the program under attack -------------------------------------------------------

class Target {
public:
    // Starts the copy and waits until its TCP server takes connections.
    bool start()
    {
        process_ = program_.start();
        const bool up = program_.waitUntilUp() && WaitUntil(ServerListens, 20000);
        if (!up)
            std::printf("    Kalvex_L did not come up\n");
        return up;
    }
    // After a kill: the settings are saved already, so only the server tells.
    bool restart()
    {
        process_ = program_.start();
        return WaitUntil(ServerListens, 20000);
    }
    pid_t pid() const { return pid_t(process_->processId()); }
    const TempFolder &folder() const { return folder_; }

    qint64 rssKb() const
    {
        QFile status(QStringLiteral("/proc/%1/status").arg(pid()));
        if (!status.open(QIODevice::ReadOnly))
            return -1;
        for (const QByteArray &line : status.readAll().split('\n'))
            if (line.startsWith("VmRSS:"))
                return line.mid(6).trimmed().split(' ').first().toLongLong();
        return -1;
    }
    qint64 logBytes() const { return QFileInfo(folder_.file(QLatin1String(LogFile))).size(); }
    QByteArray log() const { return folder_.readFile(QLatin1String(LogFile)); }
    qint64 storedTels() const
    {
        return RecordsIn(folder_.file(QLatin1String(TelFolder) + QStringLiteral("/Teleg000.dat")));
    }

    // SIGTERM, as at log-out, and what came of it within 40 s; a program
    // still running then is killed.
    void terminate()
    {
        if (!process_ || process_->state() != QProcess::Running)
            return;
        QElapsedTimer timer;
        timer.start();
        ::kill(pid(), SIGTERM);
        const bool ended = process_->waitForFinished(40000);
        if (!ended) {
            ::kill(pid(), SIGKILL);
            process_->waitForFinished();
        }
        std::printf("    SIGTERM: %s after %lld ms, %s exit (status %d), close line in the log: %s\n",
                    ended ? "ended" : "STILL RUNNING, killed", timer.elapsed(),
                    process_->exitStatus() == QProcess::NormalExit ? "normal" : "crashed", process_->exitCode(),
                    log().contains("***** Kalvex Close *****") ? "yes" : "NO");
        // What the close sequence waited for in vain, if anything.
        for (const QByteArray &line : log().split('\n'))
            if (line.contains("still alive"))
                std::printf("    %s\n", line.trimmed().constData());
    }
    void kill()
    {
        ::kill(pid(), SIGKILL);
        process_->waitForFinished();
    }
    ~Target()
    {
        if (process_ && process_->state() == QProcess::Running)
            kill();
    }

private:
    static bool ServerListens()
    {
        const int fd = ConnectTo(OlcpPort);
        if (fd >= 0)
            ::close(fd);
        return fd >= 0;
    }

    TempFolder folder_;
    ProgramProcess program_{folder_};
    std::unique_ptr<QProcess> process_;
};

// ---- sending a TEL and watching how it ends -----------------------------------------

enum class Ending { Closed, Reset, Silent, Refused };

const char *Describe(Ending e)
{
    switch (e) {
    case Ending::Closed:
        return "closed cleanly after OFF (a sender takes the TEL as delivered)";
    case Ending::Reset:
        return "reset (a sender logs the TEL as troubled)";
    case Ending::Silent:
        return "neither closed nor reset within 30 s";
    case Ending::Refused:
        return "turned away before the TEL was sent";
    }
    return "";
}

// One text TEL from 127.0.0.1, through "OFF" to the end of the connection;
// the person takes typingMs to write it once the conversation is open.
Ending SendOneTel(const QByteArray &body, int typingMs = 0)
{
    int fd = -1;
    if (OpenConversation(fd) != Opened::Ok)
        return Ending::Refused;
    QThread::msleep(ulong(typingMs));
    if (!SendTextTel(fd, body) || !SendAll(fd, QByteArrayLiteral("OFF\r"))) {
        ::close(fd);
        return Ending::Reset;
    }
    const bool closed = WaitForClose(fd);
    const int error = errno;
    ::close(fd);
    if (closed)
        return Ending::Closed;
    return error == EAGAIN || error == EWOULDBLOCK ? Ending::Silent : Ending::Reset;
}

// ---- (a) slots and deadlines ----------------------------------------------------------

// A person who opens the send window and types for two minutes and more.
void TypedSlowly()
{
    constexpr int TypingMs = 125000;
    std::printf("(a1) a TEL typed over %d s: the conversation opens, nothing is said until the TEL goes\n",
                TypingMs / 1000);
    Target target;
    if (!target.start())
        return;
    const qint64 before = target.storedTels();
    const Ending ending = SendOneTel(QByteArrayLiteral("typed over two minutes"), TypingMs);
    std::printf("    connection %s; TEL stored: %s\n", Describe(ending),
                target.storedTels() > before ? "yes" : "NO");
    target.terminate();
}

// Tries a normal TEL from 127.0.0.1 every 500 ms while the program turns it
// away, for up to limitMs; how long after its first try it was stored, -1
// when it was not.
qint64 NormalTelKeptOut(const Target &target, int limitMs, int &tries)
{
    QElapsedTimer took;
    took.start();
    const qint64 before = target.storedTels();
    while (took.elapsed() < limitMs) {
        ++tries;
        if (SendOneTel(QByteArrayLiteral("a normal TEL among attackers")) != Ending::Refused)
            break;
        QThread::msleep(500);
    }
    if (WaitUntil([&] { return target.storedTels() > before; }, int(std::max<qint64>(0, limitMs - took.elapsed()))))
        return took.elapsed();
    return -1;
}

void PrintKeptOut(qint64 keptOutMs, int tries, int limitMs)
{
    if (keptOutMs >= 0)
        std::printf("    normal TEL kept out %.1f s: stored %lld ms after its first try (%d tries)\n",
                    keptOutMs / 1000.0, keptOutMs, tries);
    else
        std::printf("    normal TEL NOT stored within %d s (%d tries)\n", limitMs / 1000, tries);
}

// Connections of one kind, each from the address it was opened from.
struct Crowd {
    std::vector<int> fds;

    void connectFrom(int host)
    {
        const int fd = ConnectTo(OlcpPort, LoopbackHost(host));
        if (fd >= 0)
            fds.push_back(fd);
    }
    // Reads away what the program said; false once it has hung up.
    static bool StillOpen(int fd)
    {
        char sink[512];
        for (;;) {
            const ssize_t n = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT);
            if (n > 0)
                continue;
            return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
        }
    }
    int stillOpen() const { return int(std::count_if(fds.cbegin(), fds.cend(), StillOpen)); }
    ~Crowd()
    {
        for (const int fd : fds)
            ::close(fd);
    }
};

// Sends one byte a second to each connection: a correct login for a TEL, then
// a command line that never ends.
class Dripper {
public:
    explicit Dripper(const Crowd &crowd)
        : thread_([&crowd](std::stop_token stop) {
              const QByteArray login = QByteArrayLiteral("OLCP303L\rTEL\r\rdripper\rUSER0001\r");
              for (qsizetype tick = 0; !stop.stop_requested(); ++tick) {
                  const char byte = tick < login.size() ? login[tick] : 'x';
                  for (const int fd : crowd.fds)
                      ::send(fd, &byte, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
                  for (int i = 0; i < 10 && !stop.stop_requested(); ++i)
                      QThread::msleep(100);
              }
          })
    {
    }

private:
    std::jthread thread_;
};

void HeldSlots()
{
    constexpr int LimitMs = 60000;
    std::printf("(a2) 100 idle connections (127.0.0.2-101), 100 dripping ones (127.0.0.102-201, a byte a "
                "second), 8 idle ones from 127.0.0.250; then a normal TEL from 127.0.0.1\n");
    Target target;
    if (!target.start())
        return;
    Crowd idle, dripping, same;
    // Taking turns, so that neither kind fills the table before the other comes.
    for (int i = 0; i < 100; ++i) {
        idle.connectFrom(2 + i);
        dripping.connectFrom(102 + i);
    }
    for (int i = 0; i < 8; ++i)
        same.connectFrom(250);
    std::printf("    connected: idle %zu, dripping %zu, same address %zu\n", idle.fds.size(), dripping.fds.size(),
                same.fds.size());
    const Dripper dripper(dripping);
    QElapsedTimer clock;
    clock.start();

    std::atomic<qint64> keptOutMs{-1};
    int tries = 0;
    std::jthread normal([&] {
        QThread::msleep(2000);
        keptOutMs = NormalTelKeptOut(target, LimitMs, tries);
    });
    for (const int at : {1, 5, 15, 30, 45, 60}) {
        QThread::msleep(ulong(std::max<qint64>(0, at * 1000 - clock.elapsed())));
        std::printf("    after %2d s still open: idle %3d, dripping %3d, same address %d\n", at, idle.stillOpen(),
                    dripping.stillOpen(), same.stillOpen());
    }
    normal.join();
    PrintKeptOut(keptOutMs, tries, LimitMs);
    target.terminate();
}

// Conversations that stay alive: each logs in for TELs from its own address
// and sends "STAY" (a valid line that asks for nothing) every 20 s; one that
// the program drops or refuses comes back within 100 ms.
class KeptAlive {
public:
    static constexpr int LineEveryMs = 20000;

    KeptAlive(int first, int count)
        : thread_([this, first, count](std::stop_token stop) {
              std::vector<Peer> peers(static_cast<size_t>(count));
              QElapsedTimer clock;
              clock.start();
              for (int i = 0; i < count; ++i) {
                  peers[size_t(i)].host = LoopbackHost(first + i);
                  // Spread over the period, as independent peers would be.
                  peers[size_t(i)].nextLineMs = qint64(i) * LineEveryMs / count;
              }
              while (!stop.stop_requested()) {
                  int open = 0;
                  for (Peer &peer : peers) {
                      if (peer.fd >= 0 && !Crowd::StillOpen(peer.fd)) {
                          ::close(peer.fd);
                          peer.fd = -1;
                          ++dropped_;
                      }
                      if (peer.fd < 0 && (peer.fd = ConnectTo(OlcpPort, peer.host)) >= 0)
                          SendAll(peer.fd, QByteArrayLiteral("OLCP303L\rTEL\r\rkept alive\rUSER0001\r"));
                      if (peer.fd >= 0 && clock.elapsed() >= peer.nextLineMs) {
                          SendAll(peer.fd, QByteArrayLiteral("STAY\r"));
                          peer.nextLineMs += LineEveryMs;
                      }
                      open += peer.fd >= 0;
                  }
                  open_ = open;
                  QThread::msleep(100);
              }
              for (const Peer &peer : peers)
                  if (peer.fd >= 0)
                      ::close(peer.fd);
          })
    {
    }
    int open() const { return open_; }
    int dropped() const { return dropped_; }

private:
    struct Peer {
        int fd = -1;
        quint32 host = 0;
        qint64 nextLineMs = 0;
    };
    std::atomic<int> open_{0}, dropped_{0};
    std::jthread thread_;
};

void KeptAliveSlots()
{
    constexpr int Count = 110, WarmUpMs = 25000, LimitMs = 90000;
    std::printf("(a3) %d addresses (127.0.0.2-%d) each keep a TEL conversation alive with \"STAY\" every %d s "
                "and come back when dropped; after %d s a normal TEL from 127.0.0.1\n",
                Count, Count + 1, KeptAlive::LineEveryMs / 1000, WarmUpMs / 1000);
    Target target;
    if (!target.start())
        return;
    const KeptAlive attackers(2, Count);
    QThread::msleep(WarmUpMs);
    std::printf("    after %d s: %d connections open, %d dropped so far\n", WarmUpMs / 1000, attackers.open(),
                attackers.dropped());
    int tries = 0;
    const qint64 keptOutMs = NormalTelKeptOut(target, LimitMs, tries);
    PrintKeptOut(keptOutMs, tries, LimitMs);
    std::printf("    meanwhile %d connections open, %d dropped in all; log lines of conversations that gave "
                "their entry away: %lld\n",
                attackers.open(), attackers.dropped(), qint64(target.log().count("waited longest, dropped")));
    target.terminate();
}

void Slots()
{
    TypedSlowly();
    HeldSlots();
    KeptAliveSlots();
}

// ---- (b) datagram flood -----------------------------------------------------------------

// Sends count datagrams to the program's UDP port; returns how many went out.
int SendDatagrams(int count, const std::function<QByteArray(int)> &datagram)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(OlcpPort);
    to.sin_addr.s_addr = htonl(LoopbackHost(1));
    int sent = 0;
    for (int i = 0; i < count; ++i) {
        const QByteArray bytes = datagram(i);
        sent += ::sendto(fd, bytes.constData(), size_t(bytes.size()), 0, reinterpret_cast<sockaddr *>(&to),
                         sizeof to) == bytes.size();
        if (i % 200 == 199)
            QThread::msleep(10); // a flood, but not one the loopback drops
    }
    ::close(fd);
    return sent;
}

void Flood()
{
    constexpr int Count = 10000;
    std::printf("(b) a flood of %d RMTDISH and %d empty datagrams, then SIGTERM\n", Count, Count);
    Target target;
    if (!target.start())
        return;
    const auto report = [&](const char *when, qint64 rss0, qint64 log0) {
        QThread::msleep(3000); // what was queued is handled
        std::printf("    %-26s RSS %7lld KiB (%+lld), log %9lld bytes (%+lld)\n", when, target.rssKb(),
                    target.rssKb() - rss0, target.logBytes(), target.logBytes() - log0);
    };
    const qint64 rss = target.rssKb(), log = target.logBytes();
    std::printf("    %-26s RSS %7lld KiB, log %9lld bytes\n", "before:", rss, log);
    const int remote = SendDatagrams(
        Count, [](int i) { return "OLCP303L\rRMTDISH\rremote message " + QByteArray::number(i) + "\r"; });
    report(qPrintable(QStringLiteral("after %1 RMTDISH:").arg(remote)), rss, log);
    const int empty = SendDatagrams(Count, [](int) { return QByteArray(); });
    report(qPrintable(QStringLiteral("after %1 empty ones:").arg(empty)), rss, log);
    target.terminate();
}

// ---- (c) a full disk --------------------------------------------------------------------

// A tmpfs of the given size on the folder, in this program's mount namespace.
bool MountSmallDisk(const QString &folder, int kib)
{
    QDir().mkpath(folder);
    return QProcess::execute(QStringLiteral("mount"), {QStringLiteral("-t"), QStringLiteral("tmpfs"),
                                                       QStringLiteral("-o"), QStringLiteral("size=%1k").arg(kib),
                                                       QStringLiteral("tmpfs"), folder}) == 0;
}

// Fills the rest of the disk of the folder; the bytes written.
qint64 FillDisk(const QString &folder)
{
    const int fd = ::open(QFile::encodeName(folder + QStringLiteral("/filler")).constData(),
                          O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    const QByteArray block(4096, 'f');
    qint64 written = 0;
    for (ssize_t n = 0; fd >= 0 && (n = ::write(fd, block.constData(), size_t(block.size()))) > 0;)
        written += n;
    if (fd >= 0)
        ::close(fd);
    return written;
}

// The tmpfs goes before its folder does, or the folder cannot be removed.
struct Unmounted {
    QString folder;
    ~Unmounted() { QProcess::execute(QStringLiteral("umount"), {QStringLiteral("-l"), folder}); }
};

void FullDisk()
{
    std::printf("(c) a TEL of 32 KiB while the TEL folder's disk (a tmpfs of 512 KiB) is full\n");
    Target target;
    const QString disk = target.folder().file(QStringLiteral("small-disk"));
    if (!MountSmallDisk(disk, 512)) {
        std::printf("    cannot mount a tmpfs on %s\n", qPrintable(disk));
        return;
    }
    const Unmounted unmounted{disk};
    // The program reads its registry from its folder: point its TEL folder there.
    const QByteArray registry = qgetenv("KALVEX_REGISTRY_DIR");
    qputenv("KALVEX_REGISTRY_DIR", target.folder().registryDir().toLocal8Bit());
    plat::UpdateRegistry(plat::RootKey::CurrentUser, [&](plat::RegKey &root) {
        root.createKey(QStringLiteral("Software\\ZK\\Kalvex\\Directory"))
            .writeString(QStringLiteral("TelegDirectory"), disk);
    });
    qputenv("KALVEX_REGISTRY_DIR", registry);
    if (!target.start())
        return;
    const QString pair = disk + QStringLiteral("/Teleg000.dat");
    std::printf("    TEL log pair on the small disk: %s; filler written: %lld KiB\n",
                QFile::exists(pair) ? "yes" : "NO", FillDisk(disk) / 1024);
    const QByteArray body(32 * 1024, 'b');
    const Ending full = SendOneTel(body);
    QThread::msleep(500);
    std::printf("    disk full:  connection %s; TELs stored %lld\n", Describe(full), RecordsIn(pair));
    QFile::remove(disk + QStringLiteral("/filler"));
    const Ending freed = SendOneTel(body);
    QThread::msleep(500);
    std::printf("    disk freed: connection %s; TELs stored %lld\n", Describe(freed), RecordsIn(pair));
    target.terminate();
}

// ---- (d) SIGKILL in the middle of a file ------------------------------------------------

// Sends "FILE" for name and, on "ACK", announces size bytes and sends sent of
// them. Returns the answer line; fd stays open for the caller.
QByteArray StartFileTel(int &fd, const QByteArray &name, qint32 size, qint64 sent)
{
    if (OpenConversation(fd) != Opened::Ok)
        return "no conversation";
    if (!SendAll(fd, "FILE\r" + name + "\r"))
        return "FILE not sent";
    QByteArray answer(4, '\0');
    if (::recv(fd, answer.data(), 4, MSG_WAITALL) != 4)
        return "no answer";
    if (answer != "ACK\r")
        return answer.trimmed();
    const QByteArray chunk(ChunkBytes, 'k');
    bool ok = SendInteger(fd, size);
    for (qint64 done = 0; ok && done < sent; done += chunk.size())
        ok = SendAll(fd, chunk.left(int(std::min<qint64>(chunk.size(), sent - done))));
    return ok ? "ACK" : "ACK, then the transfer broke";
}

QString FolderEntries(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name).join(QStringLiteral(", "));
}

void KilledMidFile()
{
    constexpr qint32 Big = 64 << 20, Half = 16 << 20, Small = 1 << 20;
    std::printf("(d) SIGKILL after 16 MiB of a 64 MiB file TEL \"big.bin\", a restart, and \"big.bin\" again\n");
    Target target;
    if (!target.start())
        return;
    const QString folder = target.folder().file(QLatin1String(TelFolder));
    int fd = -1;
    const QByteArray first = StartFileTel(fd, "big.bin", Big, Half);
    QThread::msleep(300); // the program takes in what was sent
    target.kill();
    ::close(fd);
    std::printf("    first try: %s; killed; TEL folder: %s\n", first.constData(), qPrintable(FolderEntries(folder)));
    if (!target.restart()) {
        std::printf("    Kalvex_L did not come up again\n");
        return;
    }
    std::printf("    after the restart the TEL folder holds: %s\n", qPrintable(FolderEntries(folder)));
    const qint64 before = target.storedTels();
    const QByteArray again = StartFileTel(fd, "big.bin", Small, Small);
    const bool closed = again == "ACK" && CloseConversation(fd);
    if (!closed && fd >= 0)
        ::close(fd);
    WaitUntil([&] { return target.storedTels() > before; }, 5000);
    std::printf("    second try (1 MiB): answer %s; TEL stored: %s; big.bin holds %lld bytes\n", again.constData(),
                target.storedTels() > before ? "yes" : "NO",
                QFileInfo(folder + QStringLiteral("/big.bin")).size());
    target.terminate();
}

} // namespace

int main(int argc, char **argv)
{
    EnterOwnNamespace(argc, argv, "-rnm");
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::signal(SIGPIPE, SIG_IGN);
    QElapsedTimer total;
    total.start();
    // "attack_stress bd" runs only (b) and (d).
    const QByteArray chosen = argc > 1 ? QByteArray(argv[1]) : QByteArrayLiteral("abcd");
    const std::pair<char, void (*)()> attacks[] = {
        {'a', Slots}, {'b', Flood}, {'c', FullDisk}, {'d', KilledMidFile}};
    for (const auto &[letter, attack] : attacks)
        if (chosen.contains(letter))
            attack();
    std::printf("done in %.0f s\n", total.elapsed() / 1000.0);
    return 0;
}
