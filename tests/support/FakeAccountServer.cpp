#include "FakeAccountServer.h"

#include "core/BUdpServ.h"
#include "platform/WinSock.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

namespace {

constexpr int DatagramSize = 256;
constexpr int ListLettersVersion = 212;

sockaddr_in Address(const char *dotted, quint16 port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, dotted, &a.sin_addr);
    return a;
}

QByteArray Field(const QByteArray &text, int index)
{
    return text.split('\r').value(index);
}

} // namespace

OlcpLogin OpenAccountServer(FakePeer &p, const AccountServerGreeting &greeting)
{
    OlcpLogin login = ReadOlcpLogin(p, greeting.version);
    p.sendLine("ACK\rACK\r" + greeting.userId + '\r' + greeting.fieldList + '\r');
    if (OlcpVersionNumber(greeting.version) >= ListLettersVersion)
        p.sendLine(greeting.logLetter + '\r' + greeting.userLetter + '\r');
    return login;
}

void ReadAccountCommand(FakePeer &p, const QByteArray &command, const QByteArray &password, const QByteArray &answer)
{
    const QByteArray line = p.expectLine();
    if (line != command + '\r')
        throw FakePeer::Failure("expected " + command.toStdString() + ", got " + line.toStdString());
    if (password.isEmpty())
        return;
    const QByteArray given = p.expectLine();
    if (given != password + '\r')
        throw FakePeer::Failure("unexpected password line");
    p.sendLine(answer + '\r');
}

QByteArrayList ReadFieldLines(FakePeer &p, const QByteArray &fieldList)
{
    QByteArrayList lines;
    for (char letter = 'A'; letter <= 'P'; ++letter) {
        if (fieldList.contains(letter))
            lines.append(p.expectLine().chopped(1));
    }
    return lines;
}

void SendLines(FakePeer &p, const QByteArrayList &lines)
{
    QByteArray all;
    for (const QByteArray &line : lines)
        all += line + '\r';
    p.sendLine(all);
}

void SendVerdict(FakePeer &p, const QByteArray &userId, const QByteArray &level)
{
    p.sendLine(userId + '\r' + level + '\r');
}

void SendList(FakePeer &p, const QList<QByteArrayList> &entries)
{
    for (const QByteArrayList &entry : entries)
        SendLines(p, entry);
    p.sendLine("EOF\r");
}

// ---- UDP side ---------------------------------------------------------------------------

FakeAccountUdp::FakeAccountUdp(const char *address) : fd_(::socket(AF_INET, SOCK_DGRAM, 0))
{
    const sockaddr_in a = Address(address, UdpServerPort);
    if (::bind(fd_, reinterpret_cast<const sockaddr *>(&a), sizeof a) != 0)
        throw FakePeer::Failure("cannot bind the fake account server's UDP port");
    thread_ = std::thread([this] { run(); });
}

FakeAccountUdp::~FakeAccountUdp()
{
    stopping_ = true;
    thread_.join();
    ::close(fd_);
}

void FakeAccountUdp::send(const QByteArray &text, const char *to) const
{
    QByteArray bytes = text;
    bytes.append(QByteArray(DatagramSize - int(bytes.size()), '\0'));
    const sockaddr_in a = Address(to, UdpServerPort);
    ::sendto(fd_, bytes.constData(), size_t(bytes.size()), 0, reinterpret_cast<const sockaddr *>(&a), sizeof a);
}

QList<FakeAccountUdp::Datagram> FakeAccountUdp::received(const QByteArray &command) const
{
    QList<Datagram> matching;
    for (const Datagram &d : received()) {
        if (Field(d.text, 1) == command)
            matching.append(d);
    }
    return matching;
}

void FakeAccountUdp::run()
{
    while (!stopping_) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 20) != 1)
            continue;
        char buffer[2048];
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t n = ::recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from), &length);
        if (n < 0)
            continue;
        char dotted[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &from.sin_addr, dotted, sizeof dotted);
        Datagram d{QByteArray(buffer, int(qstrnlen(buffer, size_t(n)))), int(n), QString::fromLatin1(dotted)};
        QByteArray answer, version;
        QList<Member> members;
        {
            std::lock_guard lock(mutex_);
            received_.push_back(d);
            answer = entityAnswer_;
            version = version_;
            members = members_;
        }
        const QByteArray command = Field(d.text, 1);
        if (command == "ENTITY" && !answer.isEmpty())
            send(version + '\r' + answer + '\r' + Field(d.text, 2) + '\r', dotted);
        if (command == "PRESENCE") {
            for (const Member &m : members)
                send(version + "\rMEMBER\r" + m.address + '\r' + m.userId + '\r' + m.handle + '\r' + m.responseTime +
                         '\r',
                     dotted);
        }
    }
}

bool StartUdpServerOn(const char *address)
{
    const plat::SOCKET s = plat::socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in a = Address(address, UdpServerPort);
    if (plat::bind(s, reinterpret_cast<const sockaddr *>(&a), sizeof a) != 0)
        return false;
    UdpServerSocket = s;
    TBUdpServer::Create(s);
    return true;
}

} // namespace testsupport
