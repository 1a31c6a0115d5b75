#pragma once
// The TCP server on the OLCP port: a chain of one-shot threads on one
// listening socket. Each thread waits in accept, starts its successor as soon
// as it has a connection, serves that connection and ends; so several
// connections are served at once and a slow peer never holds up the next.
// The table of open accepted connections (guarded by ConnectionLock) lets the
// main window's close sequence wake them all. A connection that finds
// MaxConnectionsPerAddress from its address in the table is closed at once.
// One that finds the table full takes the entry of the conversation that has
// waited longest between commands, which is dropped (logged once); when none
// waits so, it is closed at once. The handshake and every command are bounded
// by deadlines (ServedConversation), so a peer that idles or drips bytes
// there frees its entry.
#include "platform/FreeOnTerminateThread.h"
#include "platform/WinSock.h"

#include <QThread>

#include <array>
#include <atomic>
#include <cstdint>

#include <netinet/in.h>

constexpr int MaxConnections = 100;
// One address holds at most this many of them; further ones are refused.
constexpr int MaxConnectionsPerAddress = 8;
constexpr quint16 OlcpPort = 8011;

extern plat::SOCKET TcpServerSocket;
// 1 while a server thread waits in accept; a failed accept clears it and ends the chain.
extern std::atomic<std::uint8_t> TcpServerAlive;
// Entries 1..ConnectionCount of ConnectionSockets, in order of acceptance.
extern std::atomic<int> ConnectionCount;
extern std::array<plat::SOCKET, MaxConnections + 1> ConnectionSockets;
// Start parameter H: seconds without a connection until the program closes; 0 off.
extern std::atomic<int> AutoCloseSeconds;

// Start-up, after the settings: arms the auto-close timer, enables TEL
// receiving, frees every channel, opens the listening socket on the OLCP
// port and starts the first server thread. A failure is logged and leaves
// the program running without a TCP server (" : 多重起動" when another
// program holds the port).
void StartTcpServer();

// One link of the chain. It deletes itself once it has ended: it is handed to
// the GUI thread on creation, so its deleteLater runs there after the thread
// has finished, whichever thread created it.
class TBTcpServer final : public plat::FreeOnTerminateThread {
    Q_OBJECT
public:
    // Starts a thread that waits for the next connection on listeningSocket;
    // returns its handle number for the log (the object may be gone already).
    static quintptr Create(plat::SOCKET listeningSocket);

protected:
    void run() override;

private:
    explicit TBTcpServer(plat::SOCKET listeningSocket);
    void Execute();

    plat::SOCKET ListeningSocket;
    plat::SOCKET AcceptedSocket = plat::INVALID_SOCKET;
    sockaddr_in PeerAddress{};
    int AddressLength = sizeof(sockaddr_in);
};
