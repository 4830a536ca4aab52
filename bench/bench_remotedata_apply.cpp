// Applying a client dataset's changes through rdaserver (over loopback, on a
// SQLite file in WAL mode), against the peers a user could measure it by:
//
//   ApplyStatementList  10,000 inserted rows of a four-field table (integer key,
//                       35-character text, float, 8-character code) applied as
//                       one statement list with its transaction lines
//                       (ApplyUpdates 1, token 29): from the call to its return,
//                       which takes the SQL generation, the wire and the server's
//                       transaction;
//   ApplyTransaction    the same rows as a transaction over datasets (mode 2,
//                       token 31);
//   SqliteInserts       the peer: sqlite3 in-process on a file of the same schema
//                       (WAL mode, as rdaserver's), the same 10,000 INSERTs
//                       prepared once, bound and stepped in one transaction.
//                       Goal: the apply at >= 0.2x its speed;
//   AfterPost           1,000 single-row posts with umAfterPost, one round trip
//                       each (the statement made, sent, run in its own
//                       transaction, answered), the mean per post, against
//   SmallRoundTrip      the connection benchmark's small request (a coded
//                       parameter list that wants its reply) to the same rdaserver,
//                       and beside it
//   SqliteSingleRowCommit  one row inserted and committed by sqlite3 in-process
//                       (the durable commit, a write to the disk, is most of a post).
//
// Every run checks the file afterwards (row count). Wall-clock times (the
// server works in another process).
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "bench/BenchReport.h"
#include "bench/BenchRows.h"
#include "connection/RdaClientSocket.h"
#include "messaging/RdaParamList.h"
#include "remotedata/RdaClientDataset.h"
#include "tests/support/ServerProcess.h"

namespace {

constexpr int kInsertRows = 10000;
constexpr int kPosts = 1000;
constexpr char kSchema[] =
    "CREATE TABLE Items (Id INTEGER PRIMARY KEY, Name VARCHAR(35), Amount REAL, Code VARCHAR(8))";

using rda::bench::RowAmount;
using rda::bench::RowCode;
using rda::bench::RowName;

void Exec(sqlite3* db, const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    std::fprintf(stderr, "bench_remotedata_apply: %s: %s\n", sql, error ? error : "");
    std::exit(1);
  }
}

struct World {
  std::string dir;
  std::string served;  // rdaserver's file
  std::string local;   // the in-process peer's file
  std::unique_ptr<rda::test::ServerProcess> server;
  std::unique_ptr<rda::TRdaClientSocket> socket;
  sqlite3* check = nullptr;  // the test's own view of the served file
  sqlite3* peer = nullptr;

  World() {
    char pattern[] = "/tmp/bench_remotedata_apply.XXXXXX";
    dir = mkdtemp(pattern);
    served = dir + "/served.db";
    local = dir + "/local.db";
    for (const std::string* f : {&served, &local}) {
      sqlite3* db = f == &served ? Open(*f, check) : Open(*f, peer);
      Exec(db, "PRAGMA journal_mode=WAL");
      Exec(db, kSchema);
    }
    server = std::make_unique<rda::test::ServerProcess>(
        std::vector<std::string>{"--port", "0", "--db", served, "--quiet", "--query-timeout", "600"});
    socket = std::make_unique<rda::TRdaClientSocket>();
    socket->SetPort(server->DataPort());
    socket->SetReplyTimeout(600000);
    // SQLite takes no table name before a column in SET.
    socket->SetSQLOptions({rda::ssNoTableNameInUpdateStatements});
    socket->OpenAndWait();
    if (!socket->Active()) {
      std::fprintf(stderr, "bench_remotedata_apply: cannot connect to rdaserver\n");
      std::exit(1);
    }
  }
  static sqlite3* Open(const std::string& file, sqlite3*& db) {
    if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) std::exit(1);
    sqlite3_busy_timeout(db, 10000);
    return db;
  }
  ~World() {
    socket.reset();
    server.reset();
    sqlite3_close(check);
    sqlite3_close(peer);
    for (const std::string& f : {served, local})
      for (const char* suffix : {"", "-wal", "-shm"}) std::remove((f + suffix).c_str());
    rmdir(dir.c_str());
  }
  int Count(sqlite3* db) const {
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "SELECT count(*) FROM Items", -1, &st, nullptr);
    const int n = sqlite3_step(st) == SQLITE_ROW ? sqlite3_column_int(st, 0) : -1;
    sqlite3_finalize(st);
    return n;
  }
};

World& TheWorld() {
  static World world;
  return world;
}

void OpenItems(rda::TRdaClientDataSet& ds, const char* where) {
  ds.SetRdaClientSocket(TheWorld().socket.get());
  ds.SetSQLText(std::string("SELECT Id, Name, Amount, Code FROM Items ") + where);
  ds.SetUpdateTableName("Items");
  ds.SetPrimeFields({"Id"});
  ds.Open();
}

void AppendRow(rda::TDataSet& ds, int i) {
  ds.AppendRecord({rda::Variant(static_cast<int32_t>(i)), rda::Variant(RowName(i)), rda::Variant(RowAmount(i)),
                   rda::Variant(RowCode(i))});
}

void ApplyInserts(benchmark::State& state, int mode) {
  World& w = TheWorld();
  for (auto _ : state) {
    state.PauseTiming();
    Exec(w.check, "DELETE FROM Items");
    // A fresh dataset, as an application has one: its rows' identities run
    // from 1, which is where the row store finds them first.
    auto ds = std::make_unique<rda::TRdaClientDataSet>();
    OpenItems(*ds, "WHERE 0");
    ds->SetUpdateMethod(rda::umCached);
    ds->BeginBulk();
    for (int i = 0; i < kInsertRows; ++i) AppendRow(*ds, i);
    ds->EndBulk();
    state.ResumeTiming();
    ds->ApplyUpdates(mode);
    state.PauseTiming();
    const bool ok = w.Count(w.check) == kInsertRows && !ds->HasPendingChange();
    ds.reset();
    state.ResumeTiming();
    if (!ok) {
      state.SkipWithError("the rows did not all go in");
      break;
    }
  }
  state.counters["rows/s"] = benchmark::Counter(static_cast<double>(kInsertRows) * static_cast<double>(state.iterations()),
                                                benchmark::Counter::kIsRate);
}

void BM_ApplyStatementList(benchmark::State& state) { ApplyInserts(state, 1); }
void BM_ApplyTransaction(benchmark::State& state) { ApplyInserts(state, 2); }

void BM_SqliteInserts(benchmark::State& state) {
  World& w = TheWorld();
  sqlite3* db = w.peer;
  for (auto _ : state) {
    state.PauseTiming();
    Exec(db, "DELETE FROM Items");
    state.ResumeTiming();
    Exec(db, "BEGIN IMMEDIATE");
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO Items (Id, Name, Amount, Code) VALUES (?, ?, ?, ?)", -1, &st, nullptr);
    for (int i = 0; i < kInsertRows; ++i) {
      const std::string name = RowName(i);
      const std::string code = RowCode(i);
      sqlite3_bind_int(st, 1, i);
      sqlite3_bind_text(st, 2, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
      sqlite3_bind_double(st, 3, RowAmount(i));
      sqlite3_bind_text(st, 4, code.data(), static_cast<int>(code.size()), SQLITE_TRANSIENT);
      sqlite3_step(st);
      sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    Exec(db, "COMMIT");
    state.PauseTiming();
    if (w.Count(db) != kInsertRows) {
      state.SkipWithError("the rows did not all go in");
      break;
    }
    state.ResumeTiming();
  }
  state.counters["rows/s"] = benchmark::Counter(static_cast<double>(kInsertRows) * static_cast<double>(state.iterations()),
                                                benchmark::Counter::kIsRate);
}

void BM_AfterPost(benchmark::State& state) {
  World& w = TheWorld();
  Exec(w.check, "DELETE FROM Items");
  rda::TRdaClientDataSet ds;
  OpenItems(ds, "");
  ds.SetUpdateMethod(rda::umAfterPost);
  int i = 0;
  for (auto _ : state) AppendRow(ds, i++);
  if (w.Count(w.check) != i || ds.HasPendingChange()) state.SkipWithError("the posts did not all go in");
}

// The peer's share of a post: one row inserted and committed by sqlite3 in-process.
void BM_SqliteSingleRowCommit(benchmark::State& state) {
  World& w = TheWorld();
  Exec(w.peer, "DELETE FROM Items");
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(w.peer, "INSERT INTO Items (Id, Name, Amount, Code) VALUES (?, ?, ?, ?)", -1, &st, nullptr);
  int i = 0;
  for (auto _ : state) {
    const std::string name = RowName(i);
    const std::string code = RowCode(i);
    Exec(w.peer, "BEGIN IMMEDIATE");
    sqlite3_bind_int(st, 1, i++);
    sqlite3_bind_text(st, 2, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
    sqlite3_bind_double(st, 3, RowAmount(i));
    sqlite3_bind_text(st, 4, code.data(), static_cast<int>(code.size()), SQLITE_TRANSIENT);
    sqlite3_step(st);
    sqlite3_reset(st);
    Exec(w.peer, "COMMIT");
  }
  sqlite3_finalize(st);
  if (w.Count(w.peer) != i) state.SkipWithError("the rows did not all go in");
}

void BM_SmallRoundTrip(benchmark::State& state) {
  rda::TRdaClientSocket& s = *TheWorld().socket;
  rda::TRdaParamList list;
  list.CreateParam(rda::ftString, "Small", rda::ptInput).SetAsString("a small request");
  const std::string expected = list.ToText(true);
  for (auto _ : state) {
    if (s.SendCodedParamList(1, &list, true) != expected) {
      state.SkipWithError("wrong answer");
      break;
    }
  }
}

BENCHMARK(BM_ApplyStatementList)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_ApplyTransaction)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_SqliteInserts)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_AfterPost)->Unit(benchmark::kMicrosecond)->UseRealTime()->Iterations(kPosts);
BENCHMARK(BM_SqliteSingleRowCommit)->Unit(benchmark::kMicrosecond)->UseRealTime()->Iterations(kPosts);
BENCHMARK(BM_SmallRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime()->Iterations(kPosts);

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  return rda::bench::Run(argc, argv, rda::bench::Clock::kReal, [](const rda::bench::Results& r) {
    std::printf("10,000 inserts: sqlite3 in-process / apply as a statement list = %.2f of its speed (goal >= 0.2)\n",
                r.Ratio("BM_SqliteInserts", "BM_ApplyStatementList"));
    std::printf("10,000 inserts: sqlite3 in-process / apply as a transaction over datasets = %.2f of its speed "
                "(goal >= 0.2)\n",
                r.Ratio("BM_SqliteInserts", "BM_ApplyTransaction"));
    std::printf("umAfterPost: mean post round trip / small-request round trip = %.2f (for information)\n",
                r.Ratio("BM_AfterPost", "BM_SmallRoundTrip"));
    const double parts = r.Time("BM_SmallRoundTrip") + r.Time("BM_SqliteSingleRowCommit");
    std::printf("umAfterPost: mean post round trip / (small round trip + one-row commit in-process) = %.2f "
                "(for information)\n",
                parts > 0 ? r.Time("BM_AfterPost") / parts : 0.0);
  });
}
