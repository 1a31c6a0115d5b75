#pragma once
// A peer's UDP port that answers version queries: every "QUERY" datagram
// gets the 256-byte "REPLY" an OLCP program of the given version sends back,
// naming the query's slot, to the address and port the query came from.
// Plain POSIX sockets on a thread of its own.
#include <QByteArray>
#include <QtGlobal>

#include <atomic>
#include <thread>

namespace testsupport {

class VersionAnswerer {
public:
    // Binds address:port (dotted text); version is the number the replies
    // state ("OLCP" + version + "L").
    VersionAnswerer(const char *address, quint16 port, int version);
    ~VersionAnswerer();
    VersionAnswerer(const VersionAnswerer &) = delete;
    VersionAnswerer &operator=(const VersionAnswerer &) = delete;

    void setVersion(int version) { version_ = version; }
    // Queries received so far.
    int queries() const { return queries_; }

private:
    void run();
    void answer(const QByteArray &text, const void *sender, unsigned senderLength);

    int fd_ = -1;
    std::atomic<int> version_;
    std::atomic<int> queries_{0};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

} // namespace testsupport
