// rdaserver: the reference data server. See ServerUsage() (--help) and
// docs/server.md.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "server/DataServer.h"
#include "server/ServerOptions.h"
#include "server/UserTable.h"

namespace {

// --add-user: the password is the first line of standard input.
int AddUser(const rda::ServerOptions& options) {
  std::string password;
  if (!std::getline(std::cin, password)) {
    std::fprintf(stderr, "rdaserver: --add-user reads the password from standard input (one line)\n");
    return 2;
  }
  if (!password.empty() && password.back() == '\r') password.pop_back();
  if (password.empty()) {
    std::fprintf(stderr, "rdaserver: --add-user needs a password that is not empty\n");
    return 2;
  }
  try {
    rda::DatabaseLimits limits;
    const std::unique_ptr<rda::Database> database = rda::OpenDatabase(options.db, limits);
    rda::WriteUser(*database->Connect(), options.addUser, password);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "rdaserver: cannot add user %s: %s\n", options.addUser.c_str(), e.what());
    return 1;
  }
  if (options.logLevel != rda::ServerOptions::LogLevel::kQuiet)
    std::fprintf(stderr, "rdaserver: user %s written\n", options.addUser.c_str());
  return 0;
}

}  // namespace

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
  if (!options.addUser.empty()) return AddUser(options);

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
