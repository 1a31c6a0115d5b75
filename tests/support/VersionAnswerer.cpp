#include "VersionAnswerer.h"

#include <QList>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

namespace {

constexpr int DatagramBytes = 256;
// How often the waiting thread looks whether it is being destroyed.
constexpr int SliceMs = 20;

} // namespace

VersionAnswerer::VersionAnswerer(const char *address, quint16 port, int version)
    : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)), version_(version)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &a.sin_addr);
    if (::bind(fd_, reinterpret_cast<const sockaddr *>(&a), sizeof a) != 0)
        ADD_FAILURE() << "version answerer cannot bind " << address << ":" << port;
    thread_ = std::thread([this] { run(); });
}

VersionAnswerer::~VersionAnswerer()
{
    stopping_ = true;
    thread_.join();
    ::close(fd_);
}

void VersionAnswerer::run()
{
    pollfd waiting{fd_, POLLIN, 0};
    while (!stopping_) {
        if (::poll(&waiting, 1, SliceMs) != 1)
            continue;
        char buffer[2048];
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t n = ::recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from), &length);
        if (n > 0)
            answer(QByteArray(buffer, int(qstrnlen(buffer, size_t(n)))), &from, length);
    }
}

void VersionAnswerer::answer(const QByteArray &text, const void *sender, unsigned senderLength)
{
    const QList<QByteArray> fields = text.split('\r');
    if (fields.value(1) != "QUERY")
        return;
    ++queries_;
    QByteArray reply = "OLCP" + QByteArray::number(int(version_)) + "L\rREPLY\r" + fields.value(2) + "\r";
    reply.append(QByteArray(DatagramBytes - reply.size(), '\0'));
    ::sendto(fd_, reply.constData(), size_t(reply.size()), 0, static_cast<const sockaddr *>(sender), senderLength);
}

} // namespace testsupport
