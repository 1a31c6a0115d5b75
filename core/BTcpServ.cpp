#include "core/BTcpServ.h"

plat::SOCKET TcpServerSocket = plat::INVALID_SOCKET;
std::atomic<std::uint8_t> TcpServerAlive{0};
std::atomic<int> ConnectionCount{0};
std::array<plat::SOCKET, MaxConnections + 1> ConnectionSockets{};
