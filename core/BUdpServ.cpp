#include "core/BUdpServ.h"

plat::SOCKET UdpServerSocket = plat::INVALID_SOCKET;
plat::SOCKET CgiSocket = plat::INVALID_SOCKET;
std::atomic<std::uint8_t> UdpServerAlive{0};
