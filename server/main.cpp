// rdaserver: the reference data server. See ServerUsage() (--help) and
// docs/server.md.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "server/DataServer.h"
#include "server/ServerOptions.h"

int main(int argc, char** argv) {
  rda::ServerOptions options;
  try {
    options = rda::ParseServerOptions(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "rdaserver: %s\n", e.what());
    return 2;
  }
  if (options.help) {
    std::fputs(rda::ServerUsage().c_str(), stdout);
    return 0;
  }

  // Writes to a closed socket fail with EPIPE instead of ending the server;
  // SIGTERM and SIGINT are taken by sigwait below, on this thread only (the
  // mask is inherited by every thread the server starts).
  signal(SIGPIPE, SIG_IGN);
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  bool clean = true;
  try {
    rda::DataServer server(options);
    server.Start();
    std::printf("%s\n", server.ReadyLine().c_str());
    std::fflush(stdout);
    int received = 0;
    sigwait(&stopSignals, &received);
    if (options.logLevel != rda::ServerOptions::LogLevel::kQuiet)
      std::fprintf(stderr, "rdaserver: stopping (signal %d)\n", received);
    clean = server.Stop();
    // Threads that did not end in time still use the server; leave
    // without running destructors under them.
    if (!clean) {
      std::fflush(stderr);
      _exit(0);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "rdaserver: %s\n", e.what());
    return 1;
  }
  return 0;
}
