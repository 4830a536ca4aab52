// Helpers for the client dataset's tests against a real rdaserver: a server with
// the demonstration tables, a connected connection, and a record of the messages
// the connection sends.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "ClientTestSupport.h"
#include "tests/support/TestDatabase.h"
#include "remotedata/RdaClientDataset.h"

extern char** environ;

namespace rda::test {

inline std::string DemoScript() { return TestDatabase::DemoScript(); }

// A server on the demonstration tables, on this run's engine: SQLite in memory
// unless extra names a --db, PostgreSQL in a new database of the test cluster.
inline std::vector<std::string> DemoServerArgs(std::vector<std::string> extra = {}) {
  std::vector<std::string> args = {"--port", "0", "--control-port", "0", "--quiet", "--init", DemoScript()};
  args.insert(args.end(), extra.begin(), extra.end());
  if (OnPostgres() && std::find(args.begin(), args.end(), "--db") == args.end()) {
    TestDatabase db;  // the database stays in the cluster after the object
    args = db.ServerArgs(std::move(args));
  }
  return args;
}

// Every message the connection sends, decoded (before encryption).
struct SentMessages {
  explicit SentMessages(TRdaClientSocket& s) : socket(s) {
    s.OnBytesOutEvent = [this](const std::string& body, int64_t, int64_t) { all.push_back(Decode(body)); };
  }
  ~SentMessages() { socket.OnBytesOutEvent = nullptr; }
  SentMessages(const SentMessages&) = delete;
  SentMessages& operator=(const SentMessages&) = delete;
  std::vector<Msg> WithToken(int token) const {
    std::vector<Msg> out;
    for (const Msg& m : all)
      if (m.token == token) out.push_back(m);
    return out;
  }
  TRdaClientSocket& socket;
  std::vector<Msg> all;
};

// A server with the demonstration tables and a connection to it.
class DatasetTest : public ::testing::Test {
 protected:
  explicit DatasetTest(std::vector<std::string> extra = {}) : server(DemoServerArgs(std::move(extra))) {}
  void SetUp() override {
    s.SetPort(server.DataPort());
    s.SetUserInterface(&ui);
    s.OnDisconnect = [] {};
    s.OnException = [this](const std::exception& e) { errors.push_back(e.what()); };
    s.OpenAndWait();
    ASSERT_TRUE(s.Active());
  }
  // Runs statements that return nothing through a dataset of their own.
  void Execute(const std::string& sql) {
    TRdaClientDataSet ds;
    ds.SetRdaClientSocket(&s);
    ds.SetSQLText(sql + "; SELECT 1");
    ds.Open();
  }

  ServerProcess server;
  TRdaClientSocket s;
  RecordingUI ui;
  std::vector<std::string> errors;  // raised while nobody waited
};

// rdaquery as a process.
struct Outcome {
  int status = -1;  // the exit code; -1 when it did not exit by itself in time
  std::string out;
  std::string err;
};

// Runs rdaquery with the arguments, standard input empty, for at most 20 s.
inline Outcome RunQuery(const std::vector<std::string>& args) {
  std::vector<std::string> storage = {std::string(RDA_BIN_DIR) + "/rdaquery"};
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : storage) argv.push_back(a.data());
  argv.push_back(nullptr);
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), ::environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  Outcome o;
  if (spawned != 0) {
    close(out[0]);
    close(err[0]);
    return o;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open = 2;
  while (open > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || poll(fds, 2, static_cast<int>(left.count())) <= 0) break;
    for (pollfd& p : fds) {
      if (p.fd < 0 || (p.revents & (POLLIN | POLLHUP)) == 0) continue;
      char buf[4096];
      const ssize_t n = read(p.fd, buf, sizeof buf);
      if (n > 0) {
        (p.fd == out[0] ? o.out : o.err).append(buf, static_cast<size_t>(n));
      } else {
        p.fd = -1;
        --open;
      }
    }
  }
  if (open > 0) kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  if (open == 0 && WIFEXITED(status)) o.status = WEXITSTATUS(status);
  close(out[0]);
  close(err[0]);
  return o;
}

}  // namespace rda::test
