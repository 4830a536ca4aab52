#include "server/PostgresEvents.h"

#include <libpq-fe.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <random>
#include <thread>

#include "messaging/RdaParamList.h"

namespace rda {

namespace {

constexpr char kChannel[] = "rda_change";
constexpr int kPublishesBetweenCleanups = 64;

// Events stay this long for listeners that read them late.
constexpr char kCleanup[] = "DELETE FROM rda_events WHERE at < now() - interval '5 minutes'";

// A connection to the database conninfo names, given up after ten seconds.
// Its notices (and the message of a server shutting down) are not for the
// server's log: what matters is logged where it is handled.
PGconn* ConnectTo(const std::string& conninfo) {
  const char* keys[] = {"dbname", "connect_timeout", "application_name", nullptr};
  const char* values[] = {conninfo.c_str(), "10", "rdaserver events", nullptr};
  PGconn* conn = PQconnectdbParams(keys, values, 1);
  PQsetNoticeProcessor(conn, [](void*, const char*) {}, nullptr);
  return conn;
}

// A name for this server among the others: its process and a random number.
std::string InstanceName() {
  std::random_device random;
  char text[48];
  std::snprintf(text, sizeof text, "%d-%08x%08x", static_cast<int>(getpid()), random(), random());
  return text;
}

class PostgresEventChannel final : public EventChannel {
 public:
  explicit PostgresEventChannel(std::string conninfo) : conninfo_(std::move(conninfo)), instance_(InstanceName()) {
    PGconn* conn = ConnectTo(conninfo_);
    PGresult* r = PQstatus(conn) == CONNECTION_OK
                      ? PQexec(conn,
                               // Under a lock: servers starting together would race in
                               // CREATE TABLE IF NOT EXISTS.
                               "DO $rda$ BEGIN PERFORM pg_advisory_xact_lock(7270621, 2); "
                               "CREATE TABLE IF NOT EXISTS rda_events (id bigint GENERATED ALWAYS AS IDENTITY "
                               "PRIMARY KEY, origin text NOT NULL, body bytea NOT NULL, at timestamptz NOT NULL "
                               "DEFAULT now()); END $rda$")
                      : nullptr;
    const bool ok = r != nullptr && PQresultStatus(r) == PGRES_COMMAND_OK;
    const std::string message = PQerrorMessage(conn);
    PQclear(r);
    PQfinish(conn);
    if (!ok) throw ESqlError("cannot make the event table rda_events: " + message);
  }

  ~PostgresEventChannel() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    if (listener_.joinable()) listener_.join();
  }

  void Publish(SqlConnection& db, const std::string& event) override {
    TRdaParamList params;
    params.CreateParam(ftString, "origin", ptInput).SetAsString(instance_);
    params.CreateParam(ftBlob, "body", ptInput).SetAsBlob(event);
    SqlStatement stmt = db.Prepare(
        "WITH e AS (INSERT INTO rda_events (origin, body) VALUES (:origin, :body) RETURNING id) "
        "SELECT pg_notify('rda_change', CAST(:origin AS text) || ' ' || CAST(id AS text)) FROM e",
        &params);
    while (db.Step(stmt)) {
    }
    if (++published_ % kPublishesBetweenCleanups == 0) db.Execute(kCleanup);
  }

  void Listen(std::function<void(const std::string&)> deliver,
              std::function<void(const std::string&)> log) override {
    listener_ = std::thread([this, deliver = std::move(deliver), log = std::move(log)] { Run(deliver, log); });
  }

 private:
  bool Stopped() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stop_;
  }

  // Waits up to `limit` for the channel to stop; true when it did.
  bool WaitStop(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return wake_.wait_for(lock, limit, [this] { return stop_; });
  }

  void Run(const std::function<void(const std::string&)>& deliver,
           const std::function<void(const std::string&)>& log) {
    bool reported = false;
    while (!Stopped()) {
      PGconn* conn = ConnectTo(conninfo_);
      PGresult* r = PQstatus(conn) == CONNECTION_OK ? PQexec(conn, "LISTEN rda_change") : nullptr;
      const bool ok = r != nullptr && PQresultStatus(r) == PGRES_COMMAND_OK;
      PQclear(r);
      if (!ok) {
        if (!reported) log(std::string("provider broadcasts from other servers stopped: ") + PQerrorMessage(conn));
        reported = true;
        PQfinish(conn);
        if (WaitStop(std::chrono::seconds(1))) return;
        continue;
      }
      if (reported) log("provider broadcasts from other servers resumed");
      reported = false;
      Serve(conn, deliver, log);
      PQfinish(conn);
    }
  }

  // Hands the other servers' events to deliver until the connection fails or
  // the channel stops.
  void Serve(PGconn* conn, const std::function<void(const std::string&)>& deliver,
             const std::function<void(const std::string&)>& log) {
    while (!Stopped()) {
      pollfd pfd{PQsocket(conn), POLLIN, 0};
      if (poll(&pfd, 1, 200) < 0 && errno != EINTR) return;
      if (PQconsumeInput(conn) == 0) {
        log(std::string("provider broadcasts from other servers stopped: ") + PQerrorMessage(conn));
        return;
      }
      while (PGnotify* n = PQnotifies(conn)) {
        const std::string payload = n->extra != nullptr ? n->extra : "";
        const bool ours = std::string(n->relname) != kChannel;
        PQfreemem(n);
        const size_t space = payload.rfind(' ');
        if (ours || space == std::string::npos || payload.compare(0, space, instance_) == 0) continue;
        const std::string id = payload.substr(space + 1);
        const char* values[] = {id.c_str()};
        PGresult* r = PQexecParams(conn, "SELECT body FROM rda_events WHERE id = CAST($1 AS bigint)", 1, nullptr,
                                   values, nullptr, nullptr, 1);
        if (PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1) {
          const std::string event(PQgetvalue(r, 0, 0), static_cast<size_t>(PQgetlength(r, 0, 0)));
          PQclear(r);
          try {
            deliver(event);
          } catch (const std::exception& e) {
            log(std::string("a provider broadcast from another server failed: ") + e.what());
          }
        } else {
          log(std::string("a provider broadcast from another server is gone: ") + PQresultErrorMessage(r));
          PQclear(r);
        }
      }
      if (PQstatus(conn) != CONNECTION_OK) return;
    }
  }

  const std::string conninfo_;
  const std::string instance_;
  std::atomic<int> published_{0};
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread listener_;
};

}  // namespace

std::unique_ptr<EventChannel> OpenPostgresEventChannel(const std::string& conninfo) {
  return std::make_unique<PostgresEventChannel>(conninfo);
}

}  // namespace rda
