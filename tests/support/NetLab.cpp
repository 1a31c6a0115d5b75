#include "NetLab.h"

#include <QByteArray>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <stdexcept>
#include <thread>

namespace testsupport {

namespace {

constexpr const char *Bridge = "kalvex0";
constexpr const char *Subnet = "10.77.0.";
constexpr int OwnHostNumber = 1;
constexpr int PrefixLength = 24;
// The host's end of its veth pair.
constexpr const char *HostInterface = "eth0";

QString HostAddress(int number)
{
    return QLatin1String(Subnet) + QString::number(number);
}

// The lab's end of the veth pair of host number.
QByteArray LabEnd(int number)
{
    return "kveth" + QByteArray::number(number);
}

// Runs a prepared process to its end; a failure says why in the test's output.
bool RunToEnd(QProcess &process, const QString &program, const QStringList &arguments, const QByteArray &input)
{
    process.start(program, arguments);
    if (!process.waitForStarted(10000)) {
        ADD_FAILURE() << program.toStdString() << ": " << process.errorString().toStdString();
        return false;
    }
    process.write(input);
    process.closeWriteChannel();
    const bool ended = process.waitForFinished(20000);
    if (ended && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        return true;
    ADD_FAILURE() << program.toStdString() << " " << arguments.join(QLatin1Char(' ')).toStdString() << " failed ("
                  << (ended ? process.exitCode() : -1) << "): " << process.readAllStandardError().toStdString();
    return false;
}

// Runs "ip -batch -" in the test's own namespace.
bool RunIpHere(const QByteArray &commands)
{
    QProcess ip;
    return RunToEnd(ip, QStringLiteral("ip"), {QStringLiteral("-batch"), QStringLiteral("-")}, commands);
}

// A namespace made for the test has no interface up but lo until the lab
// adds its own (the kernel may add tunnel devices, which stay down). Any
// other means the test runs in a namespace that is not its own, and the lab
// would change a network that others use.
bool OnlyLoopbackUp()
{
    ifaddrs *interfaces = nullptr;
    if (::getifaddrs(&interfaces) != 0)
        return false;
    bool onlyLo = true;
    for (const ifaddrs *i = interfaces; i; i = i->ifa_next)
        onlyLo = onlyLo && (qstrcmp(i->ifa_name, "lo") == 0 || !(i->ifa_flags & IFF_UP));
    ::freeifaddrs(interfaces);
    return onlyLo;
}

// A new network namespace, held by the returned descriptor. A thread of its
// own makes it: the network namespace belongs to each thread, so the test's
// other threads stay where they are.
int NewNetworkNamespace()
{
    int fd = -1;
    std::thread maker([&fd] {
        if (::unshare(CLONE_NEWNET) == 0)
            fd = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    });
    maker.join();
    return fd;
}

} // namespace

// ---- NetHost ----------------------------------------------------------------

NetHost::NetHost(int netns, QString address) : netns_(netns), address_(std::move(address)) {}

NetHost::~NetHost()
{
    ::close(netns_);
}

std::unique_ptr<QProcess> NetHost::process() const
{
    auto process = std::make_unique<QProcess>();
    process->setProcessEnvironment(folder_.environment());
    // Runs in the child between fork and exec: only async-signal-safe calls.
    // The program dies with the thread that started it, so nothing outlives
    // a test that crashed.
    process->setChildProcessModifier([netns = netns_] {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::setns(netns, CLONE_NEWNET) != 0) {
            static const char why[] = "cannot enter the host's network namespace\n";
            [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, why, sizeof why - 1);
            ::_exit(127);
        }
    });
    return process;
}

std::unique_ptr<QProcess> NetHost::start(const QString &program, const QStringList &arguments) const
{
    auto p = process();
    p->start(program, arguments);
    EXPECT_TRUE(p->waitForStarted(10000)) << program.toStdString() << ": " << p->errorString().toStdString();
    return p;
}

bool NetHost::run(const QString &program, const QStringList &arguments, const QByteArray &input) const
{
    return RunToEnd(*process(), program, arguments, input);
}

// ---- NetLab -----------------------------------------------------------------

QString NetLab::ownAddress()
{
    return HostAddress(OwnHostNumber);
}

NetLab::NetLab()
{
    if (!OnlyLoopbackUp())
        throw std::runtime_error("NetLab needs a network namespace of the test's own (tests/support/in-netns)");
    RunIpHere(QStringLiteral("link add %1 type bridge\n"
                             "addr add %2/%3 dev %1\n"
                             "link set %1 up\n")
                  .arg(QLatin1String(Bridge), ownAddress())
                  .arg(PrefixLength)
                  .toLatin1());
}

// The links go at once, so that a next lab in this namespace finds only lo
// (a namespace and its end of a link are removed later by the kernel).
NetLab::~NetLab()
{
    QByteArray commands;
    for (int number = OwnHostNumber + 1; number <= OwnHostNumber + int(hosts_.size()); ++number)
        commands += "link del " + LabEnd(number) + "\n";
    RunIpHere(commands + "link del " + Bridge + "\n");
}

NetHost &NetLab::addHost()
{
    const int number = OwnHostNumber + 1 + int(hosts_.size());
    const int netns = NewNetworkNamespace();
    if (netns < 0)
        throw std::runtime_error("cannot make a network namespace for a host");
    hosts_.push_back(std::unique_ptr<NetHost>(new NetHost(netns, HostAddress(number))));
    NetHost &host = *hosts_.back();
    // ip opens the namespace through this process's descriptor.
    RunIpHere(QStringLiteral("link add %1 type veth peer name %2 netns /proc/%3/fd/%4\n"
                             "link set %1 master %5 up\n")
                  .arg(QLatin1String(LabEnd(number)), QLatin1String(HostInterface))
                  .arg(::getpid())
                  .arg(netns)
                  .arg(QLatin1String(Bridge))
                  .toLatin1());
    host.run(QStringLiteral("ip"), {QStringLiteral("-batch"), QStringLiteral("-")},
             QStringLiteral("addr add %1/%2 dev %3\n"
                            "link set %3 up\n"
                            "link set lo up\n")
                 .arg(host.address())
                 .arg(PrefixLength)
                 .arg(QLatin1String(HostInterface))
                 .toLatin1());
    return host;
}

bool WaitForTcpServer(const QString &address, quint16 port)
{
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.toLatin1().constData(), &server.sin_addr) != 1)
        return false;
    for (int attempt = 0; attempt < 400; ++attempt) {
        const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool up = ::connect(s, reinterpret_cast<const sockaddr *>(&server), sizeof server) == 0;
        ::close(s);
        if (up)
            return true;
        ::usleep(25000);
    }
    return false;
}

} // namespace testsupport
