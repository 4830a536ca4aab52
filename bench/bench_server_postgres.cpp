// rdaserver on PostgreSQL under load, against a private cluster
// (tests/support/PostgresCluster.h) on loopback.
//
// Selects: 200 clients at once, each sending 1,000 small selects to rdaserver
// (in-process, --db the cluster), beside the same selects issued by 200
// direct libpq clients (a connection each, one prepared statement run per
// select) and beside rdaserver on SQLite at the same load, in the same run.
// Every answer is checked. Goal: at least half the rate of direct libpq.
//
// Updates: 50 clients apply small transactions (token 29 statement lists)
// for kApplySeconds: half increment a row of their own, half change two of
// a few shared rows optimistically ("WHERE id = :id AND n = :old"), so that
// they conflict. Each client counts the increments that were committed (an
// acknowledged request); a conflict must come back as an error. Afterwards
// every row must hold exactly the committed increments: nothing lost,
// nothing doubled. A difference fails the run (and the program's exit code).
// RDA_BENCH_APPLY_SECONDS shortens the run for a quick check.
#include <benchmark/benchmark.h>
#include <libpq-fe.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench/BenchReport.h"
#include "bench/ServerLoad.h"
#include "messaging/RdaParamList.h"
#include "server/DataServer.h"
#include "tests/support/PostgresCluster.h"

namespace {

using Clock = rda::bench::Steady;
using rda::bench::kHostRows;
using rda::bench::kHostSelect;
using rda::bench::kHostsScript;
using rda::test::RawClient;

constexpr int kSelectClients = 200;
constexpr int kSelectsPerClient = 1000;
constexpr int kApplyClients = 50;  // half on rows of their own, half on the shared rows
constexpr int kApplySeconds = 30;
constexpr int kSharedRows = 4;
constexpr int kFirstSharedId = 1001;

// Set when a run found a wrong answer or a wrong total: the exit code says so.
std::atomic<bool> failed{false};

void Fail(benchmark::State& state, const std::string& why) {
  failed = true;
  std::fprintf(stderr, "FAILED: %s\n", why.c_str());
  state.SkipWithError(why.c_str());
}

// The cluster of the whole run, started on first use.
rda::test::PostgresCluster& Cluster() {
  static rda::test::PostgresCluster cluster;
  return cluster;
}

std::unique_ptr<rda::DataServer> StartServer(const std::string& db, int maxClients) {
  rda::ServerOptions options;
  options.port = 0;
  options.db = db;
  options.maxClients = maxClients;
  options.logLevel = rda::ServerOptions::LogLevel::kQuiet;
  auto server = std::make_unique<rda::DataServer>(options);
  server->Start();
  return server;
}

// Waits until at most `most` client sessions are open on the cluster: the
// sessions of a run that ended leave before the next run's open.
void AwaitSessionsBelow(int most) {
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  PGconn* conn = PQconnectdb(Cluster().Uri().c_str());
  for (;;) {
    PGresult* r = PQexec(conn, "SELECT count(*) FROM pg_stat_activity WHERE backend_type = 'client backend'");
    const int open = PQresultStatus(r) == PGRES_TUPLES_OK ? std::atoi(PQgetvalue(r, 0, 0)) : -1;
    PQclear(r);
    if ((open >= 0 && open <= most) || Clock::now() > deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  PQfinish(conn);
}

// The peer: one libpq connection per client, the select prepared once on
// each and run kSelectsPerClient times.
double LibpqSelects(const std::string& uri, std::atomic<int>& wrong) {
  std::vector<PGconn*> conns;
  for (int i = 0; i < kSelectClients; ++i) {
    PGconn* conn = PQconnectdb(uri.c_str());
    if (PQstatus(conn) != CONNECTION_OK) {
      const std::string message = PQerrorMessage(conn);
      PQfinish(conn);
      for (PGconn* c : conns) PQfinish(c);
      throw std::runtime_error("libpq peer: " + message);
    }
    PGresult* r = PQprepare(conn, "hosts", kHostSelect, 0, nullptr);
    if (PQresultStatus(r) != PGRES_COMMAND_OK) ++wrong;
    PQclear(r);
    conns.push_back(conn);
  }
  const double seconds = rda::bench::RunConcurrently(kSelectClients, [&](int i) {
    PGconn* conn = conns[static_cast<size_t>(i)];
    for (int n = 0; n < kSelectsPerClient; ++n) {
      PGresult* r = PQexecPrepared(conn, "hosts", 0, nullptr, nullptr, nullptr, 0);
      if (PQresultStatus(r) != PGRES_TUPLES_OK || PQntuples(r) != 1 ||
          std::string(PQgetvalue(r, 0, 0)) != "127.0.0.1" || std::string(PQgetvalue(r, 0, 1)) != "9407")
        ++wrong;
      PQclear(r);
    }
  });
  for (PGconn* c : conns) PQfinish(c);
  return seconds;
}

void BM_Selects200ClientsPostgres(benchmark::State& state) {
  double serverSeconds = 0;
  double libpqSeconds = 0;
  double sqliteSeconds = 0;
  std::atomic<int> wrong{0};
  try {
    const std::string uri = Cluster().CreateDatabase();
    for (auto _ : state) {
      {
        auto server = StartServer(uri, kSelectClients + 10);
        RawClient setup(server->DataPort());
        rda::bench::RunScript(setup, kHostsScript);
        libpqSeconds = LibpqSelects(uri, wrong);
        AwaitSessionsBelow(10);
        serverSeconds = rda::bench::ServerSelects(server->DataPort(), kSelectClients, kSelectsPerClient, wrong);
        server->Stop();
      }
      {
        auto server = StartServer("", kSelectClients + 10);
        RawClient setup(server->DataPort());
        rda::bench::RunScript(setup, kHostsScript);
        sqliteSeconds = rda::bench::ServerSelects(server->DataPort(), kSelectClients, kSelectsPerClient, wrong);
        server->Stop();
      }
      state.SetIterationTime(serverSeconds);
    }
  } catch (const std::exception& e) {
    Fail(state, e.what());
    return;
  }
  if (wrong != 0) {
    Fail(state, std::to_string(wrong.load()) + " wrong answers or failed clients");
    return;
  }
  const double total = static_cast<double>(kSelectClients) * kSelectsPerClient;
  state.counters["server_pg_selects_per_s"] = total / serverSeconds;
  state.counters["libpq_selects_per_s"] = total / libpqSeconds;
  state.counters["server_sqlite_selects_per_s"] = total / sqliteSeconds;
  state.counters["ratio_to_libpq"] = libpqSeconds / serverSeconds;
  state.counters["ratio_to_sqlite_server"] = sqliteSeconds / serverSeconds;
}
BENCHMARK(BM_Selects200ClientsPostgres)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// ---- Updates -------------------------------------------------------------------

int ApplySeconds() {
  const char* text = std::getenv("RDA_BENCH_APPLY_SECONDS");
  const int seconds = text != nullptr ? std::atoi(text) : 0;
  return seconds > 0 ? seconds : kApplySeconds;
}

std::string CountersScript() {
  std::string script = "CREATE TABLE counters (id INTEGER PRIMARY KEY, n INTEGER NOT NULL);INSERT INTO counters VALUES ";
  for (int id = 1; id <= kApplyClients / 2; ++id) script += "(" + std::to_string(id) + ", 0), ";
  for (int k = 0; k < kSharedRows; ++k) script += "(" + std::to_string(kFirstSharedId + k) + ", 0), ";
  script.resize(script.size() - 2);
  return script + ";";
}

// What the clients of a run saw, added up.
struct ApplyTally {
  std::atomic<int64_t> commits{0};
  std::atomic<int64_t> conflicts{0};
  std::atomic<int64_t> errors{0};      // other failures, reported as errors
  std::atomic<int64_t> unexpected{0};  // an answer that is neither: a fault
  std::string firstError;
  std::mutex mutex;
  std::vector<int64_t> committed = std::vector<int64_t>(kFirstSharedId + kSharedRows, 0);  // by row id

  void Error(const std::string& text) {
    ++errors;
    std::lock_guard<std::mutex> lock(mutex);
    if (firstError.empty()) firstError = text;
  }
};

rda::TRdaStringLine ExecuteLine(int id, const std::string& statements, const rda::TRdaParamList& params) {
  rda::TRdaStringLine line;
  line.SetToken(rda::tkExecuteSql);
  line.SetMsgId(id);
  line.AddField(statements);
  line.AddField(params.ToText(false));
  line.AddField("");
  line.AddField("");
  return line;
}

// Sends a statement list and reads its answer: true when it was committed
// and changed `rows` rows. A refusal counts as a conflict or an error; an
// acknowledgement with fewer rows changed counts as unexpected (a silent
// loss).
bool Apply(RawClient& c, rda::TRdaStringLine& line, int rows, ApplyTally& tally) {
  c.Send(line);
  rda::TRdaStringLine answer = c.ReadLine(std::chrono::seconds(60));
  if (answer.Token() == rda::tkSqlError) {
    const std::string text = answer.NextFieldText();
    if (text.rfind(std::string(rda::kUpdateConflictText), 0) == 0) ++tally.conflicts;
    else tally.Error(text);
    return false;
  }
  if (answer.Token() != rda::tkCodedParamList || answer.NextFieldInteger() != rda::miRowsAffected) {
    ++tally.unexpected;
    return false;
  }
  const auto counted = rda::TRdaParamList::FromText(answer.NextFieldText());
  const int changed = counted->ParamByName("RowsAffected").AsInteger();
  if (c.ReadLine(std::chrono::seconds(60)).Token() != rda::tkAcknowledge || changed != rows) {
    ++tally.unexpected;
    return false;
  }
  return true;
}

// Splits a row text into its rows' values (texts; NULL values read as "").
std::vector<std::vector<std::string>> ParseRows(const std::string& text) {
  std::vector<std::vector<std::string>> rows;
  std::vector<std::string> row;
  std::string value;
  for (const char ch : text) {
    if (ch == '\x02') {
      row.push_back(value == "\x03" ? "" : value);
      value.clear();
    } else if (ch == '\x04') {
      if (value == "NULL" && row.empty()) break;
      rows.push_back(std::move(row));
      row.clear();
      value.clear();
    } else {
      value += ch;
    }
  }
  return rows;
}

void ApplyClient(int port, int client, Clock::time_point end, ApplyTally& tally) {
  RawClient c(port);
  std::vector<int64_t> committed(tally.committed.size(), 0);
  std::mt19937 random(static_cast<unsigned>(client));
  const bool own = client < kApplyClients / 2;
  int id = 0;
  try {
    while (Clock::now() < end) {
      rda::TRdaParamList params;
      if (own) {
        const int row = client + 1;
        params.CreateParam(rda::ftInteger, "id", rda::ptInput).SetAsInteger(row);
        rda::TRdaStringLine line = ExecuteLine(++id, "UPDATE counters SET n = n + 1 WHERE id = :id\r\n", params);
        if (Apply(c, line, 1, tally)) {
          ++committed[static_cast<size_t>(row)];
          ++tally.commits;
        }
        continue;
      }
      // Two distinct shared rows, in ascending order so that two clients
      // never wait for each other in a circle.
      int a = kFirstSharedId + static_cast<int>(random() % kSharedRows);
      int b = kFirstSharedId + static_cast<int>(random() % (kSharedRows - 1));
      if (b >= a) ++b;
      if (a > b) std::swap(a, b);
      rda::TRdaStringLine select =
          rda::bench::SelectLine(++id, "SELECT x.n, y.n FROM counters x, counters y WHERE x.id = " +
                                           std::to_string(a) + " AND y.id = " + std::to_string(b));
      c.Send(select);
      const auto rows = ParseRows(rda::bench::ReadRows(c));
      if (rows.size() != 1 || rows[0].size() != 2) {
        tally.Error("the shared rows could not be read");
        continue;
      }
      const int oldA = std::atoi(rows[0][0].c_str());
      const int oldB = std::atoi(rows[0][1].c_str());
      params.CreateParam(rda::ftInteger, "new1", rda::ptInput).SetAsInteger(oldA + 1);
      params.CreateParam(rda::ftInteger, "id1", rda::ptInput).SetAsInteger(a);
      params.CreateParam(rda::ftInteger, "old1", rda::ptInput).SetAsInteger(oldA);
      params.CreateParam(rda::ftInteger, "new2", rda::ptInput).SetAsInteger(oldB + 1);
      params.CreateParam(rda::ftInteger, "id2", rda::ptInput).SetAsInteger(b);
      params.CreateParam(rda::ftInteger, "old2", rda::ptInput).SetAsInteger(oldB);
      rda::TRdaStringLine line = ExecuteLine(++id,
                                             "UPDATE counters SET n = :new1 WHERE id = :id1 AND n = :old1\r\n"
                                             "UPDATE counters SET n = :new2 WHERE id = :id2 AND n = :old2\r\n",
                                             params);
      if (Apply(c, line, 2, tally)) {
        ++committed[static_cast<size_t>(a)];
        ++committed[static_cast<size_t>(b)];
        ++tally.commits;
      }
    }
  } catch (const std::exception& e) {
    tally.Error(std::string("client failed: ") + e.what());
  }
  std::lock_guard<std::mutex> lock(tally.mutex);
  for (size_t i = 0; i < committed.size(); ++i) tally.committed[i] += committed[i];
}

// Runs the clients against the server on `db` and checks the table after.
void ApplyUpdates(benchmark::State& state, const std::string& db) {
  ApplyTally tally;
  double seconds = 0;
  std::vector<std::string> differences;
  try {
    for (auto _ : state) {
      auto server = StartServer(db, kApplyClients + 10);
      RawClient setup(server->DataPort());
      rda::bench::RunScript(setup, CountersScript());
      const auto end = Clock::now() + std::chrono::seconds(ApplySeconds());
      seconds = rda::bench::RunConcurrently(
          kApplyClients, [&](int i) { ApplyClient(server->DataPort(), i, end, tally); });
      rda::TRdaStringLine select = rda::bench::SelectLine(1, "SELECT id, n FROM counters ORDER BY id");
      setup.Send(select);
      const auto rows = ParseRows(rda::bench::ReadRows(setup));
      if (rows.size() != static_cast<size_t>(kApplyClients / 2 + kSharedRows))
        differences.push_back("the table has " + std::to_string(rows.size()) + " rows");
      for (const auto& row : rows) {
        const size_t id = static_cast<size_t>(std::atoi(row.at(0).c_str()));
        const int64_t n = std::atoll(row.at(1).c_str());
        const int64_t want = id < tally.committed.size() ? tally.committed[id] : -1;
        if (n != want)
          differences.push_back("row " + std::to_string(id) + " holds " + std::to_string(n) + ", committed " +
                                std::to_string(want));
      }
      server->Stop();
      state.SetIterationTime(seconds);
    }
  } catch (const std::exception& e) {
    Fail(state, e.what());
    return;
  }
  state.counters["commits"] = static_cast<double>(tally.commits);
  state.counters["commits_per_s"] = static_cast<double>(tally.commits) / seconds;
  state.counters["conflicts"] = static_cast<double>(tally.conflicts);
  state.counters["errors"] = static_cast<double>(tally.errors);
  state.counters["totals_equal"] = differences.empty() ? 1 : 0;
  if (!tally.firstError.empty()) std::fprintf(stderr, "first error: %s\n", tally.firstError.c_str());
  if (!differences.empty()) {
    std::string why = "the table does not hold the committed changes:";
    for (const std::string& d : differences) why += " " + d + ";";
    Fail(state, why);
  } else if (tally.unexpected != 0) {
    Fail(state, std::to_string(tally.unexpected.load()) + " requests answered neither with a commit nor an error");
  } else if (tally.conflicts == 0) {
    Fail(state, "no conflict on the shared rows: the optimistic check was not exercised");
  }
}

void BM_ApplyUpdates50ClientsPostgres(benchmark::State& state) {
  try {
    ApplyUpdates(state, Cluster().CreateDatabase());
  } catch (const std::exception& e) {
    Fail(state, e.what());
  }
}
BENCHMARK(BM_ApplyUpdates50ClientsPostgres)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_ApplyUpdates50ClientsSqlite(benchmark::State& state) {
  rda::test::TempDir dir("rda-bench-");
  ApplyUpdates(state, dir.File("counters.db"));
}
BENCHMARK(BM_ApplyUpdates50ClientsSqlite)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  const int rc = rda::bench::Run(argc, argv, rda::bench::Clock::kReal, [](const rda::bench::Results& r) {
    const std::string selects = "BM_Selects200ClientsPostgres";
    if (r.Counter(selects, "ratio_to_libpq") > 0) {
      std::printf("rdaserver on PostgreSQL / direct libpq = %.2f (goal >= 0.5)\n", r.Counter(selects, "ratio_to_libpq"));
      std::printf("rdaserver on PostgreSQL / rdaserver on SQLite = %.2f\n",
                  r.Counter(selects, "ratio_to_sqlite_server"));
    }
    for (const char* name : {"BM_ApplyUpdates50ClientsPostgres", "BM_ApplyUpdates50ClientsSqlite"}) {
      if (r.Counter(name, "totals_equal") > 0)
        std::printf("%s: %.0f commits/s, %.0f conflicts, totals equal\n", name, r.Counter(name, "commits_per_s"),
                    r.Counter(name, "conflicts"));
    }
  });
  return failed ? 1 : rc;
}
