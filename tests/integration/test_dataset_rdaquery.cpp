// rdaquery run as a process against a real rdaserver: tables, CSV, parameters,
// packets, timings, a server error and a bad command line.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "DatasetTestSupport.h"

extern char** environ;

namespace rda {
namespace {

struct Outcome {
  int status = -1;  // the exit code; -1 when it did not exit by itself in time
  std::string out;
  std::string err;
};

// Runs rdaquery with the arguments, standard input empty, for at most 20 s.
Outcome RunQuery(const std::vector<std::string>& args) {
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
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
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

class RdaQuery : public ::testing::Test {
 protected:
  RdaQuery() : server(test::DemoServerArgs({"--encryption", "rda"})) {}
  std::vector<std::string> Args(std::vector<std::string> more) {
    std::vector<std::string> args = {"--port", std::to_string(server.DataPort()), "--encryption", "rda"};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }
  test::ServerProcess server;
};

TEST_F(RdaQuery, PrintsAnAlignedTable) {
  const Outcome o = RunQuery(Args({"SELECT", "XCompanyCode,", "XPort,", "NULL AS Missing", "FROM", "VNXHOSTS",
                                   "ORDER BY XPort"}));
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out,
            "XCompanyCode | XPort | Missing\n"
            "-------------+-------+--------\n"
            "DEMO         |  9406 | (null) \n"
            "ACME         |  9407 | (null) \n"
            "(2 rows)\n");
}

TEST_F(RdaQuery, PrintsCsvWithParametersAndPackets) {
  const Outcome o = RunQuery(Args({"--csv", "--packet", "1", "--param", "code=ACME", "--param", "low:int=9000",
                                   "SELECT XHost, 'say \"hi\", ok' AS Quote, '' AS Empty, NULL AS Missing "
                                   "FROM VNXHOSTS WHERE XCompanyCode <> :code AND XPort > :low"}));
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "XHost,Quote,Empty,Missing\r\n127.0.0.1,\"say \"\"hi\"\", ok\",\"\",\r\n");
}

TEST_F(RdaQuery, TimesTheFirstAndTheLastRow) {
  const Outcome o = RunQuery(Args({"--time", "--packet", "1", "SELECT * FROM VNXHOSTS"}));
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find("(2 rows)\nconnect: "), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("\nfirst row: "), std::string::npos) << o.out;
  EXPECT_NE(o.out.find(" ms\nlast row: "), std::string::npos) << o.out;
}

TEST_F(RdaQuery, ErrorsGoToStandardErrorWithAnExitStatus) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {Args({"SELECT * FROM Nowhere"}), 1, "rdaquery: [RDA SERVER ERROR]no such table: Nowhere\n"},
      {Args({"--param", "x=1", "SELECT 1"}), 2, "rdaquery: the statement has no parameter :x\n"},
      {Args({"--packet", "0", "SELECT 1"}), 2,
       "rdaquery: --packet needs a number of at least 1, not '0'\nTry rdaquery --help.\n"},
      {Args({}), 2, "rdaquery: no SQL given\nTry rdaquery --help.\n"},
  };
  for (const Case& c : cases) {
    const Outcome o = RunQuery(c.args);
    EXPECT_EQ(o.status, c.status) << c.err;
    EXPECT_EQ(o.err, c.err);
    EXPECT_EQ(o.out, "");
  }
  // No server on the port: a connection error.
  const Outcome refused = RunQuery({"--port", "1", "SELECT 1"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err.rfind("rdaquery: ", 0), 0u) << refused.err;
}

TEST(RdaQueryHelp, DocumentsEveryOption) {
  const Outcome o = RunQuery({"--help"});
  EXPECT_EQ(o.status, 0);
  for (const char* option : {"--host", "--port", "--http", "--path", "--encryption", "--key", "--zlib", "--user",
                             "--password", "--timeout", "--database", "--param", "--packet", "--file", "--csv",
                             "--null", "--max-width", "--time"})
    EXPECT_NE(o.out.find(std::string(" ") + option + " "), std::string::npos) << option;
}

}  // namespace
}  // namespace rda
