// Metadata of a database with 200 tables of 20 columns each, in a SQLite file
// served by rdaserver over loopback:
//
//   MetaDataFields  every table's fields through a client dataset (request 125,
//                   one round trip: names, field types, sizes), against
//   SqliteCatalogue the peer: the same read from SQLite's catalogue directly
//                   (sqlite_schema joined with pragma_table_info, in-process);
//   CacheFromServer a connection asking for the metadata cache (48 code 13) and
//                   waiting for it, against
//   CacheFromFile   a connection loading the same cache from its file: no round
//                   trip, and it must be the quicker.
//
// Every run checks its result: 4,000 fields, and the cache's field list of 4,000
// rows. The ratios are printed at the end.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <QCoreApplication>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include <unistd.h>

#include "bench/BenchReport.h"
#include "connection/RdaClientSocket.h"
#include "remotedata/RdaClientDataset.h"
#include "tests/support/ServerProcess.h"

namespace {

constexpr int kTables = 200;
constexpr int kColumns = 20;
constexpr int kFields = kTables * kColumns;

struct World {
  std::string dir;
  std::string file;
  std::string cacheFile;
  std::unique_ptr<rda::test::ServerProcess> server;
  std::unique_ptr<rda::TRdaClientSocket> socket;

  World() {
    char pattern[] = "/tmp/bench_metadata.XXXXXX";
    dir = mkdtemp(pattern);
    file = dir + "/meta.db";
    cacheFile = dir + "/cache.rds";
    Fill();
    server = std::make_unique<rda::test::ServerProcess>(
        std::vector<std::string>{"--port", "0", "--db", file, "--quiet"});
    socket = Connect(rda::smNoCache);
  }
  ~World() {
    socket.reset();
    server.reset();
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((file + suffix).c_str());
    std::remove(cacheFile.c_str());
    rmdir(dir.c_str());
  }
  World(const World&) = delete;
  World& operator=(const World&) = delete;

  std::unique_ptr<rda::TRdaClientSocket> Connect(rda::TServerMetaCacheOptions options) const {
    auto s = std::make_unique<rda::TRdaClientSocket>();
    s->SetPort(server->DataPort());
    s->SetCacheMetaDataOptions(options);
    s->SetCacheMetaDataFileName(cacheFile);
    s->OpenAndWait();
    if (!s->Active()) {
      std::fprintf(stderr, "bench_remotedata_metadata: cannot connect to rdaserver\n");
      std::exit(1);
    }
    return s;
  }

  void Fill() const {
    sqlite3* db = nullptr;
    sqlite3_open(file.c_str(), &db);
    std::string script = "BEGIN;";
    const char* types[] = {"INTEGER", "VARCHAR(35)", "REAL", "DATE", "MONEY"};
    for (int t = 0; t < kTables; ++t) {
      script += "CREATE TABLE T" + std::to_string(t) + " (";
      for (int c = 0; c < kColumns; ++c)
        script += (c ? ", " : "") + std::string("C") + std::to_string(c) + " " + types[c % 5] +
                  (c == 0 ? " PRIMARY KEY" : "");
      script += ");";
    }
    script += "COMMIT;";
    sqlite3_exec(db, script.c_str(), nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }
};

World& TheWorld() {
  static World world;
  return world;
}

using Clock = std::chrono::steady_clock;
double Ms(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void BM_MetaDataFields(benchmark::State& state) {
  World& w = TheWorld();
  for (auto _ : state) {
    const auto start = Clock::now();
    rda::TRdaClientDataSet ds;
    ds.SetRdaClientSocket(w.socket.get());
    ds.SetMetaDataRequest(rda::mdTableFields);
    ds.Open();
    const int rows = ds.RecordCount();
    state.SetIterationTime(Ms(start) / 1000);
    if (rows != kFields) state.SkipWithError("wrong number of fields");
  }
}

void BM_SqliteCatalogue(benchmark::State& state) {
  World& w = TheWorld();
  for (auto _ : state) {
    const auto start = Clock::now();
    sqlite3* db = nullptr;
    sqlite3_open_v2(w.file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT m.name, p.name, p.type, p.cid FROM sqlite_schema m JOIN "
                       "pragma_table_info(m.name) p WHERE m.type = 'table' AND m.name NOT LIKE 'sqlite%' AND "
                       "m.name NOT LIKE 'Rda%' ORDER BY m.name, p.cid",
                       -1, &stmt, nullptr);
    int rows = 0;
    size_t bytes = 0;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      ++rows;
      bytes += static_cast<size_t>(sqlite3_column_bytes(stmt, 1) + sqlite3_column_bytes(stmt, 2));
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    state.SetIterationTime(Ms(start) / 1000);
    benchmark::DoNotOptimize(bytes);
    if (rows != kFields) state.SkipWithError("wrong number of fields");
  }
}

bool CacheComplete(rda::TRdaClientSocket& s) {
  return s.MetaDataCached() && s.GetCachedMetaData("TableFields").RecordCount() == kFields;
}

void BM_CacheFromServer(benchmark::State& state) {
  World& w = TheWorld();
  for (auto _ : state) {
    std::remove(w.cacheFile.c_str());
    const auto start = Clock::now();
    // No file: the connection asks the server and saves the answer.
    std::unique_ptr<rda::TRdaClientSocket> s = w.Connect(rda::smLoadFromFile);
    const auto limit = Clock::now() + std::chrono::seconds(60);
    while (!s->MetaDataCached() && Clock::now() < limit)
      QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    state.SetIterationTime(Ms(start) / 1000);
    if (!CacheComplete(*s)) state.SkipWithError("the cache did not come");
  }
}

void BM_CacheFromFile(benchmark::State& state) {
  World& w = TheWorld();
  if (access(w.cacheFile.c_str(), R_OK) != 0) {
    std::unique_ptr<rda::TRdaClientSocket> s = w.Connect(rda::smLoadFromFile);
    while (!s->MetaDataCached()) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  for (auto _ : state) {
    const auto start = Clock::now();
    std::unique_ptr<rda::TRdaClientSocket> s = w.Connect(rda::smLoadFromFile);
    state.SetIterationTime(Ms(start) / 1000);
    if (!CacheComplete(*s)) state.SkipWithError("the cache was not loaded");
  }
}

BENCHMARK(BM_MetaDataFields)->Unit(benchmark::kMillisecond)->Iterations(10)->UseManualTime();
BENCHMARK(BM_SqliteCatalogue)->Unit(benchmark::kMillisecond)->Iterations(10)->UseManualTime();
BENCHMARK(BM_CacheFromServer)->Unit(benchmark::kMillisecond)->Iterations(5)->UseManualTime();
BENCHMARK(BM_CacheFromFile)->Unit(benchmark::kMillisecond)->Iterations(5)->UseManualTime();

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  return rda::bench::Run(argc, argv, rda::bench::Clock::kReal, [](const rda::bench::Results& r) {
    std::printf("Fields of %d tables x %d columns through rdaserver: %.2f ms, SQLite's catalogue "
                "directly: %.2f ms; ratio %.2f\n",
                kTables, kColumns, r.Time("BM_MetaDataFields"), r.Time("BM_SqliteCatalogue"),
                r.Ratio("BM_MetaDataFields", "BM_SqliteCatalogue"));
    const double fromFile = r.Time("BM_CacheFromFile");
    const double fromServer = r.Time("BM_CacheFromServer");
    std::printf("Metadata cache: connect and load from its file %.2f ms, connect and ask the server "
                "%.2f ms; file / server %.2f (goal < 1: %s)\n",
                fromFile, fromServer, r.Ratio("BM_CacheFromFile", "BM_CacheFromServer"),
                fromFile > 0 && fromServer > 0 && fromFile < fromServer ? "met" : "NOT met");
  });
}
