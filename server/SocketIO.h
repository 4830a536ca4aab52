// Small helpers for the server's non-blocking sockets: bounded writes,
// bounded connects, graceful closes. Every wait also ends when stopFd (an
// eventfd that becomes readable when the server stops) fires.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <string>
#include <string_view>

namespace rda {

using SocketClock = std::chrono::steady_clock;

// Milliseconds from now until deadline for poll(): -1 for time_point::max(),
// 0 once it has passed.
int MillisUntil(SocketClock::time_point deadline);

std::string ErrnoText();
std::string ErrnoText(int error);

// "address:port" of a socket address.
std::string PeerName(const sockaddr_storage& addr);

// Writes all bytes to a non-blocking socket, waiting for room until
// deadline. False when the peer is gone, the deadline passed or the server
// stops.
bool SendAll(int fd, std::string_view bytes, int stopFd, SocketClock::time_point deadline);

// Ends a connection so that the answers already sent reach the peer: a
// close with unread input would reset the connection and could discard them.
void CloseGracefully(int fd);

// A non-blocking TCP connection to address, made before deadline. Returns
// the socket, or -1 with the errno value of the failure in error (ETIMEDOUT
// at the deadline, ECANCELED when the server stops).
int ConnectWithin(const sockaddr_storage& address, socklen_t length,
                  SocketClock::time_point deadline, int stopFd, int& error);

}  // namespace rda
