// Helpers of the install utility's tests: servers on the ports the install utility
// expects (the echo service at data port + 10000), and the test program's Qt
// application (offscreen).
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/GuiTestEnvironment.h"
#include "tests/support/ServerProcess.h"
#include "tests/support/WebPeers.h"

namespace rda::test {

// True when 127.0.0.1:port can be bound now.
inline bool LoopbackPortFree(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

// rdaserver with the echo service where the install utility probes for it: on data
// port + 10000. Picks a data port whose echo port is free too, and tries again with
// another when another process took one of them first.
inline std::unique_ptr<ServerProcess> StartServerWithEcho(std::vector<std::string> args) {
  std::string why;
  for (int attempt = 0; attempt < 20; ++attempt) {
    const int port = FreeLoopbackPort();
    if (port > 55535 || !LoopbackPortFree(port + 10000)) continue;
    std::vector<std::string> all{"--port", std::to_string(port), "--echo"};
    all.insert(all.end(), args.begin(), args.end());
    try {
      auto server = std::make_unique<ServerProcess>(all);
      if (server->EchoPort() == port + 10000) return server;
      why = "echo on " + std::to_string(server->EchoPort());
    } catch (const std::exception& e) {
      why = e.what();
    }
  }
  throw std::runtime_error("could not start rdaserver with its echo service: " + why);
}

}  // namespace rda::test
