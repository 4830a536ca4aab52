// A private PostgreSQL cluster for tests: initdb into a scratch folder,
// postgres on a free loopback port with its socket in that folder, stopped by
// its pid.
//
//   rda::test::PostgresCluster pg;
//   std::string uri = pg.CreateDatabase();  // "postgresql://postgres@127.0.0.1:PORT/rda_test_1"
//   pg.Stop();  pg.Start();                 // the same folder and port again
//
// The cluster trusts every connection, so it listens on 127.0.0.1 only. It is
// set up for tests, not for keeping data: no fsync, small buffers, and
// max_connections 300 so that load tests with a few hundred sessions fit.
// initdb and postgres refuse to run as root: under root they run as the
// user "nobody", which then owns the folder.
//
// The constructor and Start raise std::runtime_error with postgres's log when
// the server does not accept connections within the start limit, and say how
// to install PostgreSQL when its programs are missing. The destructor stops
// the server: SIGINT (a fast shutdown that ends the sessions), up to ten
// seconds, then SIGKILL. The server gets the parent-death signal as the
// other peers do (setpriv keeps it across the change of user), so a crashed
// test leaves no server behind. Header-only; link libpq.
#pragma once

#include <libpq-fe.h>
#include <pwd.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/WebPeers.h"

namespace rda::test {

class PostgresCluster {
 public:
  explicit PostgresCluster(WebMillis startLimit = WebMillis(60000))
      : dir_("rda-pg-"), bin_(BinDir()), startLimit_(startLimit) {
    if (geteuid() == 0) {
      const passwd* nobody = getpwnam("nobody");
      if (nobody == nullptr) throw std::runtime_error("PostgreSQL needs an unprivileged user: there is no user nobody");
      uid_ = nobody->pw_uid;
      gid_ = nobody->pw_gid;
      if (chown(dir_.Path().c_str(), uid_, gid_) != 0)
        throw std::runtime_error("cannot give " + dir_.Path() + " to nobody: " + std::strerror(errno));
    }
    InitDb();
    port_ = detail::StartOnFreePort("PostgreSQL", child_, Log(), [this](int port) { return ServerArgs(port); },
                                    startLimit_);
    AwaitReady();
  }
  ~PostgresCluster() { Stop(); }
  PostgresCluster(const PostgresCluster&) = delete;
  PostgresCluster& operator=(const PostgresCluster&) = delete;

  int Port() const { return port_; }
  pid_t Pid() const { return child_.Pid(); }
  const std::string& Folder() const { return dir_.Path(); }
  std::string LogText() const { return ReadTextFile(Log()); }

  // The URI of a database of the cluster.
  std::string Uri(const std::string& database = "postgres") const {
    return "postgresql://postgres@127.0.0.1:" + std::to_string(port_) + "/" + database;
  }

  // Creates a new empty database and returns its URI.
  std::string CreateDatabase() {
    const std::string name = "rda_test_" + std::to_string(++databases_);
    Exec("CREATE DATABASE " + name);
    return Uri(name);
  }

  // Runs SQL on the cluster's "postgres" database; raises std::runtime_error
  // with PostgreSQL's message.
  void Exec(const std::string& sql, const std::string& database = "postgres") const {
    PGconn* conn = PQconnectdb(Uri(database).c_str());
    std::string error;
    if (PQstatus(conn) != CONNECTION_OK) {
      error = PQerrorMessage(conn);
    } else {
      PGresult* res = PQexec(conn, sql.c_str());
      const ExecStatusType s = PQresultStatus(res);
      if (s != PGRES_COMMAND_OK && s != PGRES_TUPLES_OK) error = PQerrorMessage(conn);
      PQclear(res);
    }
    PQfinish(conn);
    if (!error.empty()) throw std::runtime_error(sql + ": " + error);
  }

  // A fast shutdown: the sessions are ended, the server stops.
  void Stop() { child_.Stop(WebMillis(10000), SIGINT); }

  // Starts the server again on the same folder and port.
  void Start() {
    if (child_.Running()) return;
    child_.Start(ServerArgs(port_), Log());
    AwaitReady();
  }

 private:
  // Where initdb and postgres are: pg_config's folder, else the newest
  // /usr/lib/postgresql/N/bin.
  static std::string BinDir() {
    std::vector<std::string> candidates;
    if (FILE* p = popen("pg_config --bindir 2>/dev/null", "r")) {
      char line[4096] = {};
      if (fgets(line, sizeof line, p) != nullptr) {
        std::string dir = line;
        while (!dir.empty() && (dir.back() == '\n' || dir.back() == '\r')) dir.pop_back();
        candidates.push_back(dir);
      }
      pclose(p);
    }
    std::vector<std::string> installed;
    std::error_code ignored;
    for (const auto& e : std::filesystem::directory_iterator("/usr/lib/postgresql", ignored))
      installed.push_back((e.path() / "bin").string());
    std::sort(installed.begin(), installed.end(), [](const std::string& a, const std::string& b) {
      return a.size() != b.size() ? a.size() > b.size() : a > b;
    });
    candidates.insert(candidates.end(), installed.begin(), installed.end());
    for (const std::string& dir : candidates) {
      if (access((dir + "/initdb").c_str(), X_OK) == 0 && access((dir + "/postgres").c_str(), X_OK) == 0)
        return dir;
    }
    throw std::runtime_error(
        "PostgreSQL server binaries not found (initdb and postgres, in pg_config --bindir or "
        "/usr/lib/postgresql/*/bin): run ./run.sh setup");
  }

  std::string Log() const { return dir_.File("postgres.log"); }
  std::string DataDir() const { return dir_.File("data"); }

  // argv run as the cluster's owner.
  std::vector<std::string> AsOwner(std::vector<std::string> argv) const {
    if (geteuid() != 0) return argv;
    std::vector<std::string> out = {FindProgram("setpriv"), "--reuid=" + std::to_string(uid_),
                                    "--regid=" + std::to_string(gid_), "--clear-groups", "--pdeathsig", "keep",
                                    "--"};
    out.insert(out.end(), argv.begin(), argv.end());
    return out;
  }

  void InitDb() {
    ChildProcess initdb(AsOwner({bin_ + "/initdb", "-D", DataDir(), "-U", "postgres", "--auth=trust", "-E", "UTF8",
                                 "--locale=C", "--no-sync", "--no-instructions"}),
                        Log());
    const auto deadline = std::chrono::steady_clock::now() + startLimit_;
    while (initdb.Running() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(WebMillis(20));
    initdb.Stop();
    if (access((DataDir() + "/PG_VERSION").c_str(), F_OK) != 0 ||
        access((DataDir() + "/postgresql.conf").c_str(), F_OK) != 0)
      throw std::runtime_error("initdb failed: " + LogText());
  }

  std::vector<std::string> ServerArgs(int port) const {
    return AsOwner({bin_ + "/postgres", "-D", DataDir(), "-p", std::to_string(port),
                    "-c", "listen_addresses=127.0.0.1", "-c", "unix_socket_directories=" + dir_.Path(),
                    "-c", "max_connections=300", "-c", "shared_buffers=32MB", "-c", "fsync=off",
                    "-c", "synchronous_commit=off", "-c", "full_page_writes=off", "-c", "wal_level=minimal",
                    "-c", "max_wal_senders=0", "-c", "logging_collector=off", "-c", "huge_pages=off"});
  }

  // Up once PostgreSQL answers a connection (it listens before it is ready).
  void AwaitReady() {
    const auto deadline = std::chrono::steady_clock::now() + startLimit_;
    const std::string conninfo = Uri() + "?connect_timeout=5";
    while (std::chrono::steady_clock::now() < deadline) {
      if (!child_.Running()) throw std::runtime_error("PostgreSQL ended while starting: " + LogText());
      if (PQping(conninfo.c_str()) == PQPING_OK) return;
      std::this_thread::sleep_for(WebMillis(20));
    }
    child_.Stop(WebMillis(5000), SIGINT);
    throw std::runtime_error("PostgreSQL did not accept connections within the start limit: " + LogText());
  }

  TempDir dir_;
  std::string bin_;
  WebMillis startLimit_;
  uid_t uid_ = 0;
  gid_t gid_ = 0;
  ChildProcess child_;
  int port_ = 0;
  int databases_ = 0;
};

}  // namespace rda::test
