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
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "server/DataServer.h"
#include "tests/server/TunnelClient.h"
#include "tests/support/RawClient.h"

namespace {

constexpr int kClients = 50;
constexpr int kSelectsPerClient = 1000;
constexpr char kScript[] =
    "CREATE TABLE hosts (code VARCHAR(10) PRIMARY KEY, host VARCHAR(64), port INTEGER);"
    "INSERT INTO hosts VALUES ('DEMO', '127.0.0.1', 9406), ('ACME', '127.0.0.1', 9407),"
    "  ('ZETA', '127.0.0.1', 9408);";
constexpr char kSelect[] = "SELECT host, port FROM hosts WHERE code = 'ACME'";
const std::string kExpectedRows = "127.0.0.1\x02" "9407\x02\x04NULL\x04";

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Runs work(i) on kClients threads at once; returns the wall time.
template <typename Work>
double RunConcurrently(Work work) {
  std::vector<std::thread> threads;
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back([&, i] {
      ++ready;
      while (!go) std::this_thread::yield();
      work(i);
    });
  }
  while (ready < kClients) std::this_thread::yield();
  const auto start = Clock::now();
  go = true;
  for (auto& t : threads) t.join();
  return Seconds(start);
}

// The script goes in through a client, as any other SQL would.
void RunScript(rda::test::RawClient& c) {
  rda::TRdaStringLine line;
  line.SetToken(rda::tkSelect);
  line.AddField(std::string(kScript) + "SELECT 1");
  line.AddField(-1);
  line.AddField(0);
  line.AddField("");
  c.Send(line);
  c.ReadLine();
  c.ReadLine();
}

double ServerRun(int port, std::atomic<int>& wrong) {
  // Connect first, so that only the selects are timed.
  std::vector<std::unique_ptr<rda::test::RawClient>> clients;
  for (int i = 0; i < kClients; ++i) clients.push_back(std::make_unique<rda::test::RawClient>(port));
  return RunConcurrently([&](int i) {
    rda::test::RawClient& c = *clients[static_cast<size_t>(i)];
    for (int n = 0; n < kSelectsPerClient; ++n) {
      rda::TRdaStringLine request;
      request.SetToken(rda::tkSelect);
      request.SetMsgId(n + 1);
      request.AddField(kSelect);
      request.AddField(-1);
      request.AddField(0);
      request.AddField("");
      c.Send(request);
      rda::TRdaStringLine fields = c.ReadLine();
      rda::TRdaStringLine packet = c.ReadLine();
      packet.NextFieldText();
      if (fields.Token() != 1 || packet.Token() != 5 || packet.NextFieldText() != kExpectedRows)
        ++wrong;
    }
  });
}

double SqliteRun(const std::string& uri, std::atomic<int>& wrong) {
  std::vector<sqlite3*> dbs(kClients, nullptr);
  for (auto& db : dbs) {
    if (sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK)
      throw std::runtime_error("cannot open the peer's database");
  }
  const double seconds = RunConcurrently([&](int i) {
    sqlite3* db = dbs[static_cast<size_t>(i)];
    for (int n = 0; n < kSelectsPerClient; ++n) {
      sqlite3_stmt* stmt = nullptr;
      sqlite3_prepare_v2(db, kSelect, -1, &stmt, nullptr);
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
    RunScript(setup);
  }
  // The peer reads a file-less copy of the same table.
  const std::string uri = "file:/bench-server-peer?vfs=memdb";
  sqlite3* keep = nullptr;
  sqlite3_open_v2(uri.c_str(), &keep, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI,
                  nullptr);
  sqlite3_exec(keep, kScript, nullptr, nullptr, nullptr);

  double serverSeconds = 0;
  double sqliteSeconds = 0;
  std::atomic<int> wrong{0};
  for (auto _ : state) {
    serverSeconds = ServerRun(server.DataPort(), wrong);
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

rda::TRdaStringLine SelectLine(int id) {
  rda::TRdaStringLine line;
  line.SetToken(rda::tkSelect);
  line.SetMsgId(id);
  line.AddField(kSelect);
  line.AddField(-1);
  line.AddField(0);
  line.AddField("");
  return line;
}

bool RowsAre(std::vector<rda::TRdaStringLine> answer) {
  if (answer.size() != 2 || answer[0].Token() != 1 || answer[1].Token() != 5) return false;
  answer[1].NextFieldText();
  return answer[1].NextFieldText() == kExpectedRows;
}

void BM_TunnelSelectsBesideTcp(benchmark::State& state) {
  rda::ServerOptions options;
  options.port = 0;
  options.httpPort = 0;
  options.logLevel = rda::ServerOptions::LogLevel::kQuiet;
  rda::DataServer server(options);
  server.Start();
  rda::test::RawClient tcp(server.DataPort());
  RunScript(tcp);

  const std::string target = "/isapi/RdaHttp.dll/Rda?&127.0.0.1&" + std::to_string(server.DataPort());
  rda::test::TunnelClient client(options.session);
  rda::test::RawHttp http(server.HttpPort());
  int wrong = 0;
  double tcpSeconds = 0;
  double tunnelSeconds = 0;
  for (auto _ : state) {
    auto start = Clock::now();
    for (int n = 0; n < kTunnelSelects; ++n) {
      rda::TRdaStringLine line = SelectLine(n + 1);
      tcp.Send(line);
      std::vector<rda::TRdaStringLine> answer;
      answer.push_back(tcp.ReadLine());
      answer.push_back(tcp.ReadLine());
      if (!RowsAre(answer)) ++wrong;
    }
    tcpSeconds = Seconds(start);
    start = Clock::now();
    for (int n = 0; n < kTunnelSelects; ++n) {
      rda::TRdaStringLine line = SelectLine(n + 1);
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
