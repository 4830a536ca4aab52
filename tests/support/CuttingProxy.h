// A TCP relay on loopback that passes a client's connection on to a real server and
// cuts it once the server has sent `limit` bytes: what a network that fails in the
// middle of a large answer does. It relays one connection at a time, on a thread of
// its own, and ends with the object (a bounded wait). Plain POSIX, no Qt.
//
//   rda::test::CuttingProxy proxy(server.DataPort(), 64 * 1024);
//   client.SetPort(proxy.Port());
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

namespace rda::test {

class CuttingProxy {
 public:
  CuttingProxy(int serverPort, size_t limit) : serverPort_(serverPort), limit_(limit) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    stop_ = eventfd(0, EFD_CLOEXEC);
    sockaddr_in addr = Loopback(0);
    if (listener_ < 0 || stop_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener_, 4) != 0)
      throw std::runtime_error("CuttingProxy: " + std::string(std::strerror(errno)));
    socklen_t len = sizeof addr;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~CuttingProxy() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(stop_, &one, sizeof one);
    thread_.join();
    close(listener_);
    close(stop_);
  }
  CuttingProxy(const CuttingProxy&) = delete;
  CuttingProxy& operator=(const CuttingProxy&) = delete;

  int Port() const { return port_; }
  // Connections cut after the limit.
  int Cuts() const { return cuts_.load(); }

 private:
  static constexpr int kPollMs = 30000;  // a relay that sees nothing for this long ends

  static sockaddr_in Loopback(int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
  }

  bool Stopped(const pollfd& p) const { return (p.revents & POLLIN) != 0; }

  void Run() {
    for (;;) {
      pollfd p[2] = {{listener_, POLLIN, 0}, {stop_, POLLIN, 0}};
      if (poll(p, 2, -1) < 0 && errno != EINTR) return;
      if (Stopped(p[1])) return;
      if (!(p[0].revents & POLLIN)) continue;
      const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in addr = Loopback(serverPort_);
      if (server >= 0 && connect(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        if (!Relay(client, server)) {
          close(server);
          close(client);
          return;
        }
      }
      if (server >= 0) close(server);
      close(client);
    }
  }

  // Passes bytes both ways until either side closes or the server has sent `limit_`
  // bytes (then both are cut at once, with a reset). False when the proxy stops.
  bool Relay(int client, int server) {
    size_t fromServer = 0;
    char buf[16384];
    for (;;) {
      pollfd p[3] = {{client, POLLIN, 0}, {server, POLLIN, 0}, {stop_, POLLIN, 0}};
      const int r = poll(p, 3, kPollMs);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return true;
      if (Stopped(p[2])) return false;
      for (int side = 0; side < 2; ++side) {
        if (!(p[side].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        const int from = side == 0 ? client : server;
        const int to = side == 0 ? server : client;
        size_t want = sizeof buf;
        if (side == 1) want = std::min(want, limit_ - fromServer);
        const ssize_t n = recv(from, buf, want, 0);
        if (n <= 0) return true;
        if (send(to, buf, static_cast<size_t>(n), MSG_NOSIGNAL) != n) return true;
        if (side == 1 && (fromServer += static_cast<size_t>(n)) >= limit_) {
          Reset(client);
          ++cuts_;
          return true;
        }
      }
    }
  }

  // Closes with a reset, as a connection that broke.
  static void Reset(int fd) {
    linger l{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  }

  int serverPort_;
  size_t limit_;
  int listener_ = -1;
  int stop_ = -1;
  int port_ = 0;
  std::atomic<int> cuts_{0};
  std::thread thread_;
};

}  // namespace rda::test
