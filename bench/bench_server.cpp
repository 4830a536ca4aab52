// The server answering 50 concurrent clients, each running 1,000 small
// selects over loopback, beside the same selects run by SQLite in-process
// (50 threads, a connection each, prepare-step-finalize per select as the
// server does) in the same run. Reports selects per second of both and
// their ratio. Every answer is checked, so a fast wrong answer fails.
//
// And the tunnel's cost: one client's selects through the HTTP endpoint (a
// stateless session on one kept-alive connection) beside the same selects
// over TCP, in the same run, with the ratio.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/ServerLoad.h"
#include "server/DataServer.h"
#include "tests/server/TunnelClient.h"
#include "tests/support/RawClient.h"

namespace {

using Clock = rda::bench::Steady;
using rda::bench::kHostRows;
using rda::bench::kHostSelect;
using rda::bench::kHostsScript;
using rda::bench::Seconds;

constexpr int kClients = 50;
constexpr int kSelectsPerClient = 1000;

double SqliteRun(const std::string& uri, std::atomic<int>& wrong) {
  std::vector<sqlite3*> dbs(kClients, nullptr);
  for (auto& db : dbs) {
    if (sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK)
      throw std::runtime_error("cannot open the peer's database");
  }
  const double seconds = rda::bench::RunConcurrently(kClients, [&](int i) {
    sqlite3* db = dbs[static_cast<size_t>(i)];
    for (int n = 0; n < kSelectsPerClient; ++n) {
      sqlite3_stmt* stmt = nullptr;
      sqlite3_prepare_v2(db, kHostSelect, -1, &stmt, nullptr);
      int rows = 0;
      while (sqlite3_step(stmt) == SQLITE_ROW) {
        const auto* host = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
        if (std::string(host ? host : "") == "127.0.0.1" && sqlite3_column_int64(stmt, 1) == 9407)
          ++rows;
      }
      sqlite3_finalize(stmt);
      if (rows != 1) ++wrong;
    }
  });
  for (auto* db : dbs) sqlite3_close(db);
  return seconds;
}

void BM_ServerSelects50Clients(benchmark::State& state) {
  rda::ServerOptions options;
  options.port = 0;
  options.logLevel = rda::ServerOptions::LogLevel::kQuiet;
  rda::DataServer server(options);
  server.Start();
  {
    rda::test::RawClient setup(server.DataPort());
    rda::bench::RunScript(setup, kHostsScript);
  }
  // The peer reads a file-less copy of the same table.
  const std::string uri = "file:/bench-server-peer?vfs=memdb";
  sqlite3* keep = nullptr;
  sqlite3_open_v2(uri.c_str(), &keep, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI,
                  nullptr);
  sqlite3_exec(keep, kHostsScript, nullptr, nullptr, nullptr);

  double serverSeconds = 0;
  double sqliteSeconds = 0;
  std::atomic<int> wrong{0};
  for (auto _ : state) {
    serverSeconds = rda::bench::ServerSelects(server.DataPort(), kClients, kSelectsPerClient, wrong);
    sqliteSeconds = SqliteRun(uri, wrong);
    state.SetIterationTime(serverSeconds);
  }
  sqlite3_close(keep);
  server.Stop();
  if (wrong != 0) {
    state.SkipWithError("wrong answers");
    return;
  }
  const double total = static_cast<double>(kClients) * kSelectsPerClient;
  state.counters["server_selects_per_s"] = total / serverSeconds;
  state.counters["sqlite_selects_per_s"] = total / sqliteSeconds;
  state.counters["ratio_to_sqlite"] = sqliteSeconds / serverSeconds;
}
BENCHMARK(BM_ServerSelects50Clients)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

constexpr int kTunnelSelects = 2000;

bool RowsAre(std::vector<rda::TRdaStringLine> answer) {
  if (answer.size() != 2 || answer[0].Token() != 1 || answer[1].Token() != 5) return false;
  answer[1].NextFieldText();
  return answer[1].NextFieldText() == kHostRows;
}

void BM_TunnelSelectsBesideTcp(benchmark::State& state) {
  rda::ServerOptions options;
  options.port = 0;
  options.httpPort = 0;
  options.logLevel = rda::ServerOptions::LogLevel::kQuiet;
  rda::DataServer server(options);
  server.Start();
  rda::test::RawClient tcp(server.DataPort());
  rda::bench::RunScript(tcp, kHostsScript);

  const std::string target = "/isapi/RdaHttp.dll/Rda?&127.0.0.1&" + std::to_string(server.DataPort());
  rda::test::TunnelClient client(options.session);
  rda::test::RawHttp http(server.HttpPort());
  int wrong = 0;
  double tcpSeconds = 0;
  double tunnelSeconds = 0;
  for (auto _ : state) {
    auto start = Clock::now();
    for (int n = 0; n < kTunnelSelects; ++n) {
      rda::TRdaStringLine line = rda::bench::SelectLine(n + 1, kHostSelect);
      tcp.Send(line);
      std::vector<rda::TRdaStringLine> answer;
      answer.push_back(tcp.ReadLine());
      answer.push_back(tcp.ReadLine());
      if (!RowsAre(answer)) ++wrong;
    }
    tcpSeconds = Seconds(start);
    start = Clock::now();
    for (int n = 0; n < kTunnelSelects; ++n) {
      rda::TRdaStringLine line = rda::bench::SelectLine(n + 1, kHostSelect);
      http.Send(rda::test::HandBuiltPost(target, client.Request(line.Compose())));
      if (!RowsAre(client.Messages(http.Read().body, 2))) ++wrong;
    }
    tunnelSeconds = Seconds(start);
    state.SetIterationTime(tunnelSeconds);
  }
  server.Stop();
  if (wrong != 0) {
    state.SkipWithError("wrong answers");
    return;
  }
  state.counters["tcp_selects_per_s"] = kTunnelSelects / tcpSeconds;
  state.counters["tunnel_selects_per_s"] = kTunnelSelects / tunnelSeconds;
  state.counters["tunnel_time_to_tcp"] = tunnelSeconds / tcpSeconds;
}
BENCHMARK(BM_TunnelSelectsBesideTcp)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
