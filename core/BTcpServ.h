#pragma once
// The TCP server's shared state: its listening socket, the flag of the thread
// that waits in accept, and the table of open accepted connections (guarded
// by ConnectionLock).
#include "platform/WinSock.h"

#include <array>
#include <atomic>
#include <cstdint>

constexpr int MaxConnections = 100;

extern plat::SOCKET TcpServerSocket;
extern std::atomic<std::uint8_t> TcpServerAlive;
// Entries 1..ConnectionCount of ConnectionSockets, in order of acceptance.
extern std::atomic<int> ConnectionCount;
extern std::array<plat::SOCKET, MaxConnections + 1> ConnectionSockets;
