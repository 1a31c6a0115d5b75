#pragma once
// A small IPv4 network for end-to-end tests, built inside the test's own
// network namespace (the suite runs under tests/support/in-netns, so the
// test is root of a user namespace of its own and may change its network).
//
// The test's namespace gets a bridge with 10.77.0.1/24: the test process
// itself is that host, so a main window started in the test, its servers and
// its fake peers are 10.77.0.1 to the others. Every host added is a network
// namespace of its own, joined to the bridge by a veth pair, with the next
// address 10.77.0.N/24 and lo up, and a folder of its own for the programs
// started there (their main directory, registry and named mutexes).
//
//   NetLab lab;
//   NetHost &b = lab.addHost();                      // 10.77.0.2
//   ProgramProcess kalvexB(b);                       // Kalvex_L copy in b.folder()
//   auto running = kalvexB.start({"-F1reply.txt"});  // runs in b's network
//   kalvexB.waitUntilUp(); WaitForTcpServer(b.address());
//   auto tool = b.start(BinPath("tel_send"), {...}); // any program in b's network
//   kalvexB.storedTels();                            // b's TEL log
//
// The namespaces are held by the lab alone: once it is gone and the programs
// started in them have ended, they vanish with their links. A program started
// in a host is killed should the test process die without ending it.
#include "TempEnv.h"

#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

namespace testsupport {

class NetHost {
public:
    ~NetHost();
    NetHost(const NetHost &) = delete;
    NetHost &operator=(const NetHost &) = delete;

    QString address() const { return address_; }
    const TempFolder &folder() const { return folder_; }

    // A process that enters the host's network when started, with the host
    // folder's environment; program and arguments are the caller's.
    std::unique_ptr<QProcess> process() const;
    // Starts a program in the host and waits until it runs.
    std::unique_ptr<QProcess> start(const QString &program, const QStringList &arguments) const;
    // Runs a program in the host to its end; true when it exited with 0.
    // Its standard error goes to the test's failure message otherwise.
    bool run(const QString &program, const QStringList &arguments, const QByteArray &input = {}) const;

private:
    friend class NetLab;
    NetHost(int netns, QString address);

    int netns_; // the namespace, open for as long as the host lives
    QString address_;
    TempFolder folder_;
};

class NetLab {
public:
    // The test process's own address on the bridge.
    static QString ownAddress();

    // Sets up the bridge; a failure (also: running outside a namespace of the
    // test's own, where the machine's network would be changed) fails the test.
    NetLab();
    ~NetLab();
    NetLab(const NetLab &) = delete;
    NetLab &operator=(const NetLab &) = delete;

    // A new host on the bridge with the next address, 10.77.0.2 first.
    NetHost &addHost();

private:
    std::vector<std::unique_ptr<NetHost>> hosts_;
};

// True once a TCP server accepts connections at address:port (within 10 s).
bool WaitForTcpServer(const QString &address, quint16 port = 8011);

} // namespace testsupport
