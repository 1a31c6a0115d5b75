#pragma once
// An account server as the account client and the account list meet it.
//
// TCP side, for FakePeer scripts (the helpers throw FakePeer::Failure when the
// connection ends): the handshake with "ACC" and the greeting, the password
// step of each button, the record lines, the verdict, and the log and user
// lists.
//
// UDP side (FakeAccountUdp): a datagram socket on port 8011 of its own
// address that records what arrives, answers ENTITY with ACK or NAK and
// PRESENCE with MEMBER datagrams. Plain POSIX sockets on a thread of its own.
#include "FakePeer.h"
#include "OlcpScripts.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QList>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace testsupport {

struct AccountServerGreeting {
    QByteArray version = "OLCP303";
    QByteArray userId;          // empty: a new account
    QByteArray fieldList = "ABCDEFGHIJKLMNOP";
    QByteArray logLetter = "C"; // sent from version 212 on
    QByteArray userLetter = "B";
};

// Reads the client's login ("ACC"), answers "ACK" twice and sends the
// greeting. Returns the login as read.
OlcpLogin OpenAccountServer(FakePeer &p, const AccountServerGreeting &greeting);

// Reads a button's command line and, with a password expected (the line as
// it goes on the wire, without its CR), the password line, answered with
// answer. An empty password means the client is already authorized.
void ReadAccountCommand(FakePeer &p, const QByteArray &command, const QByteArray &password = {},
                        const QByteArray &answer = "ACK");

// The field lines of fieldList as the client sends them, without their CRs.
QByteArrayList ReadFieldLines(FakePeer &p, const QByteArray &fieldList);
// Sends lines, each with a CR.
void SendLines(FakePeer &p, const QByteArrayList &lines);
// A saved account: the user ID and the access letter.
void SendVerdict(FakePeer &p, const QByteArray &userId, const QByteArray &level);

// Entries of five lines each, then "EOF".
void SendList(FakePeer &p, const QList<QByteArrayList> &entries);

class FakeAccountUdp {
public:
    struct Datagram {
        QByteArray text; // up to the first zero
        int size = 0;
        QString from;
    };
    struct Member {
        QByteArray address, userId, handle, responseTime;
    };

    // Binds address:8011 (dotted text).
    explicit FakeAccountUdp(const char *address);
    ~FakeAccountUdp();
    FakeAccountUdp(const FakeAccountUdp &) = delete;
    FakeAccountUdp &operator=(const FakeAccountUdp &) = delete;

    // ENTITY gets this answer ("ACK", "NAK"; empty: none) in the server's version.
    void answerEntity(const QByteArray &answer, const QByteArray &version = "OLCP303")
    {
        std::lock_guard lock(mutex_);
        entityAnswer_ = answer;
        version_ = version;
    }
    // PRESENCE gets one MEMBER datagram per member.
    void setMembers(const QList<Member> &members)
    {
        std::lock_guard lock(mutex_);
        members_ = members;
    }
    // Sends text (padded to 256 bytes) from this server to address:8011.
    void send(const QByteArray &text, const char *to) const;

    // A list of its own, copied under the lock: a list shared with the
    // server thread would be copied or moved there while the test reads it.
    QList<Datagram> received() const
    {
        std::lock_guard lock(mutex_);
        return QList<Datagram>(received_.begin(), received_.end());
    }
    // The received datagrams whose command (second field) is command.
    QList<Datagram> received(const QByteArray &command) const;

private:
    void run();

    int fd_ = -1;
    mutable std::mutex mutex_;
    QByteArray entityAnswer_ = "ACK";
    QByteArray version_ = "OLCP303";
    QList<Member> members_;
    std::vector<Datagram> received_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// Starts the program's UDP server chain on a socket bound to address:8011
// alone, so that a fake server can take port 8011 of another address.
bool StartUdpServerOn(const char *address);

} // namespace testsupport
