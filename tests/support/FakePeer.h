#pragma once
// A scripted peer on a real TCP connection, for conversation tests. It listens
// on 127.0.0.1 (on a free or a given port) and takes one connection, or
// connects out to 127.0.0.1 or to an IPv4 address given (a NetLab host), and
// then runs its script on a thread of its own. When the
// script returns the peer hangs up.
//
// The script's helpers throw FakePeer::Failure when the connection ends or a
// read waits longer than the time-out; the script stops there and error()
// tells why. Plain POSIX sockets: the sockets layer under test is not used.
#include <QByteArray>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace testsupport {

class FakePeer {
public:
    using Script = std::function<void(FakePeer &)>;
    struct Failure : std::runtime_error {
        using std::runtime_error::runtime_error;
    };

    // Listens on 127.0.0.1:port (0: a free port, see port()), or on another
    // loopback address (a second host on this machine); the script runs once
    // a connection has been accepted.
    static std::unique_ptr<FakePeer> listen(Script script, quint16 port = 0,
                                            const QString &address = QStringLiteral("127.0.0.1"));
    // Connects to 127.0.0.1:port, or to address:port (dotted IPv4), then
    // runs the script.
    static std::unique_ptr<FakePeer> connect(quint16 port, Script script);
    static std::unique_ptr<FakePeer> connect(const QString &address, quint16 port, Script script);

    // Ends a stalled script, waits for it and closes everything.
    ~FakePeer();
    FakePeer(const FakePeer &) = delete;
    FakePeer &operator=(const FakePeer &) = delete;

    quint16 port() const { return port_; }
    // Waits until the script has ended.
    void wait();
    // Everything the peer has read so far.
    QByteArray received() const;
    // Why the script stopped early; empty when it ran through.
    QString error() const;

    // ---- for the script (on the peer's thread) ----
    void setTimeout(int milliseconds) { timeoutMs_ = milliseconds; }
    void sendLine(const QByteArray &bytes); // sends the bytes as given: include the "\r"
    QByteArray expectLine();                // reads through the CR, which is kept
    void sendInt(qint32 value);             // 4 bytes, most significant first
    qint32 recvInt();
    void sendRaw(const QByteArray &bytes);
    QByteArray recvRaw(int count);          // exactly count bytes
    void close();                           // hangs up now
    void stopListening();                   // further connections to the port are refused
    void reset();                           // hangs up with a reset (linger 0), as a receiver that lost a TEL
    // Goes silent, still reading and recording, until the other side closes
    // or the peer is destroyed.
    void stall();

private:
    FakePeer() = default;
    void start(Script script, bool accepting);
    void run(const Script &script, bool accepting);
    void acceptOne();
    void connectOut();
    // Waits until the connection can be read; false when the peer is being
    // destroyed, or (with a time-out) when the time ran out.
    bool waitReadable(int timeoutMs);
    int readSome(char *data, int count); // throws on end of stream
    void fail(const QString &why);       // records and throws

    int listenFd_ = -1;
    int fd_ = -1;
    QString address_ = QStringLiteral("127.0.0.1"); // where connect() goes
    quint16 port_ = 0;
    int timeoutMs_ = 10000;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    QByteArray received_;
    QString error_;
    std::thread thread_;
};

} // namespace testsupport
