#pragma once
// The UDP server's shared state: the datagram socket on port 8011, the socket
// of the CGI requests, and the flag of the thread that waits for a datagram.
#include "platform/WinSock.h"

#include <atomic>
#include <cstdint>

extern plat::SOCKET UdpServerSocket;
extern plat::SOCKET CgiSocket;
extern std::atomic<std::uint8_t> UdpServerAlive;
