// A small select through the HTTP tunnel against the same select over direct TCP, in
// one run, all against one rdaserver (started from the folder of this program):
//
//   1. direct TCP: the client's own connection to the data port;
//   2. form 1: the platform HTTP client (QNetworkAccessManager) posting to the
//      server's tunnelling endpoint, HTTP/1.1 keep-alive; goal at most 3x direct TCP;
//   3. form 2: hand-built HTTP/1.0 requests with Keep-Alive on one socket;
//   4. form 1 through nginx in front of the endpoint, as a company hosts it (for
//      information; skipped when nginx is not installed).
//
// The tunnel runs in stateless mode (session header), so that each request reuses the
// endpoint's session connection to the data server, as the direct connection is
// reused. Every round trip checks the rows it got back.
#include <benchmark/benchmark.h>

#include <QCoreApplication>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "connection/RdaClientSocket.h"
#include "connection/RdaComponent.h"
#include "messaging/RdaStringLine.h"

namespace {
std::string g_binDir;
}
#define RDA_BIN_DIR g_binDir
#include "tests/support/ServerProcess.h"
#include "tests/support/WebPeers.h"

namespace {

const char kSelect[] = "SELECT 'Demo Company Ltd', 6.251";

class Rows : public rda::TRdaComponent {
 public:
  void ReceiveMessage(rda::TRdaClientSocket&, const rda::TRdaComponentMessage& m) override {
    if (m.Token == 5) last = m.Fields[1];
  }
  std::string last;
};

rda::test::ServerProcess& Server() {
  static rda::test::ServerProcess server({"--port", "0", "--http-port", "0", "--quiet", "--user",
                                          "VORNA", "--password", "MARBLEDO"});
  return server;
}

enum class Carriage { kTcp, kForm1, kForm2 };

void Point(rda::TRdaClientSocket& s, Carriage c, int webPort) {
  if (c == Carriage::kTcp) {
    s.SetPort(Server().DataPort());
    return;
  }
  s.SetupWebTunnel("127.0.0.1", "127.0.0.1", "isapi/RdaHttp.dll", static_cast<uint16_t>(webPort),
                   static_cast<uint16_t>(Server().DataPort()));
  s.WebServer().SetWinInet(c == Carriage::kForm1);
  s.WebServer().SetAddCookie(true);
  s.WebServer().SetTimeout(20);
  s.SetUserName("VORNA");
  s.SetPassword("MARBLEDO");
}

void Selects(benchmark::State& state, Carriage c, int webPort) {
  rda::TRdaClientSocket s;
  s.OnDisconnect = [] {};
  Point(s, c, webPort);
  s.OpenAndWait();
  Rows rows;
  const int id = s.ComponentId(&rows);
  auto once = [&] {
    rda::TRdaStringLine select;
    select.SetToken(3);
    select.SetMsgId(id);
    select.AddField(kSelect);
    select.AddField(int32_t{-1});
    select.AddField(int32_t{0});
    select.AddField("");
    rows.last.clear();
    s.SendMessage(select, true);
    return rows.last.find("Demo Company Ltd") != std::string::npos;
  };
  try {
    once();  // the log-in of the session, the first connections
    for (auto _ : state) {
      if (!once()) {
        state.SkipWithError("wrong answer");
        break;
      }
    }
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
  s.CloseAndWait();
}

bool HaveServer(benchmark::State& state) {
  if (std::filesystem::exists(rda::test::ServerProcess::BinaryPath())) return true;
  state.SkipWithError("rdaserver is not beside this program");
  return false;
}

void BM_SelectDirectTcp(benchmark::State& state) {
  if (HaveServer(state)) Selects(state, Carriage::kTcp, 0);
}
void BM_SelectTunnelForm1(benchmark::State& state) {
  if (HaveServer(state)) Selects(state, Carriage::kForm1, Server().HttpPort());
}
void BM_SelectTunnelForm2(benchmark::State& state) {
  if (HaveServer(state)) Selects(state, Carriage::kForm2, Server().HttpPort());
}
void BM_SelectTunnelForm1Nginx(benchmark::State& state) {
  if (!HaveServer(state)) return;
  std::unique_ptr<rda::test::NginxProcess> web;
  try {
    web = std::make_unique<rda::test::NginxProcess>(Server().HttpPort());
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
    return;
  }
  Selects(state, Carriage::kForm1, web->Port());
}

}  // namespace

BENCHMARK(BM_SelectDirectTcp)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(1);
BENCHMARK(BM_SelectTunnelForm1)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(1);
BENCHMARK(BM_SelectTunnelForm2)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(1);
BENCHMARK(BM_SelectTunnelForm1Nginx)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(1);

namespace {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs)
      if (!r.error_occurred) times_[r.run_name.function_name] = r.GetAdjustedRealTime();
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    const auto ratio = [&](const char* a) {
      const char* base = "BM_SelectDirectTcp";
      return times_.count(a) != 0 && times_.count(base) != 0 && times_[base] > 0
                 ? times_[a] / times_[base]
                 : 0.0;
    };
    std::printf("tunnel form 1 (keep-alive) / direct TCP = %.2f (goal <= 3)\n",
                ratio("BM_SelectTunnelForm1"));
    std::printf("tunnel form 2 (keep-alive) / direct TCP = %.2f (for information)\n",
                ratio("BM_SelectTunnelForm2"));
    std::printf("tunnel form 1 through nginx / direct TCP = %.2f (for information)\n",
                ratio("BM_SelectTunnelForm1Nginx"));
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  g_binDir = std::filesystem::absolute(argv[0]).parent_path().string();
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
