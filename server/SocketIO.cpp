#include "server/SocketIO.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace rda {

namespace {

constexpr std::chrono::milliseconds kLingerOnClose{250};

}  // namespace

int MillisUntil(SocketClock::time_point deadline) {
  if (deadline == SocketClock::time_point::max()) return -1;
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SocketClock::now());
  return static_cast<int>(std::clamp<int64_t>(left.count(), 0, INT_MAX));
}

std::string ErrnoText() { return ErrnoText(errno); }
std::string ErrnoText(int error) { return std::strerror(error); }

std::string PeerName(const sockaddr_storage& addr) {
  char host[INET6_ADDRSTRLEN] = "?";
  int port = 0;
  if (addr.ss_family == AF_INET) {
    const auto* a = reinterpret_cast<const sockaddr_in*>(&addr);
    inet_ntop(AF_INET, &a->sin_addr, host, sizeof host);
    port = ntohs(a->sin_port);
  } else if (addr.ss_family == AF_INET6) {
    const auto* a = reinterpret_cast<const sockaddr_in6*>(&addr);
    inet_ntop(AF_INET6, &a->sin6_addr, host, sizeof host);
    port = ntohs(a->sin6_port);
  }
  return std::string(host) + ":" + std::to_string(port);
}

bool SendAll(int fd, std::string_view bytes, int stopFd, SocketClock::time_point deadline) {
  while (!bytes.empty()) {
    const ssize_t n = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n > 0) {
      bytes.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    pollfd p[2] = {{fd, POLLOUT, 0}, {stopFd, POLLIN, 0}};
    const int r = poll(p, 2, MillisUntil(deadline));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0 || (p[1].revents & POLLIN)) return false;
  }
  return true;
}

void CloseGracefully(int fd) {
  shutdown(fd, SHUT_WR);
  const auto deadline = SocketClock::now() + kLingerOnClose;
  char buf[4096];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, MillisUntil(deadline)) <= 0) break;
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0 && !(n < 0 && (errno == EINTR || errno == EAGAIN))) break;
  }
  close(fd);
}

int ConnectWithin(const sockaddr_storage& address, socklen_t length,
                  SocketClock::time_point deadline, int stopFd, int& error) {
  const int fd = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    error = errno;
    return -1;
  }
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) return fd;
  if (errno != EINPROGRESS) {
    error = errno;
    close(fd);
    return -1;
  }
  for (;;) {
    pollfd p[2] = {{fd, POLLOUT, 0}, {stopFd, POLLIN, 0}};
    const int r = poll(p, 2, MillisUntil(deadline));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0 || (p[1].revents & POLLIN)) {
      error = r == 0 ? ETIMEDOUT : (r < 0 ? errno : ECANCELED);
      close(fd);
      return -1;
    }
    int soError = 0;
    socklen_t len = sizeof soError;
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len);
    if (soError != 0) {
      error = soError;
      close(fd);
      return -1;
    }
    return fd;
  }
}

}  // namespace rda
