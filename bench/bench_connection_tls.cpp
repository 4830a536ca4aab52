// TLS on a direct connection against plain TCP, after the handshake, in one run:
//
//   1. A small request and its answer (a coded parameter list that wants a reply)
//      through TRdaClientSocket to rdaserver: with UseTls and the test CA, against
//      the same client without TLS. Goal: at most 1.5x the plain round trip.
//   2. A small select and its rows from a bare client (OpenSSL, blocking socket)
//      to rdaserver over TLS, against the same client over plain TCP: what TLS
//      costs the server and the wire alone, for information.
//
// Both servers are rdaserver processes started from the folder of this program on
// loopback, one with --tls-cert/--tls-key and one without; the certificates are
// made by openssl for the run. Connecting (and the handshake) is not timed.
#include <benchmark/benchmark.h>

#include <QCoreApplication>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "bench/BenchReport.h"
#include "bench/ClientRoundTrip.h"
#include "bench/ServerLoad.h"
#include "connection/RdaClientSocket.h"

// rdaserver lives beside this program; ServerProcess finds it through RDA_BIN_DIR.
namespace {
std::string g_binDir;
}
#define RDA_BIN_DIR g_binDir
#include "tests/support/ServerProcess.h"
#include "tests/support/TlsRawClient.h"

namespace {

using rda::test::ServerProcess;

// The two servers, each with the table of the selects, and the certificates,
// made once for the run.
struct Servers {
  rda::test::TestCertificates certs;
  ServerProcess plain{{"--port", "0", "--quiet"}};
  ServerProcess tls{{"--port", "0", "--quiet", "--tls-cert", certs.ServerCert(), "--tls-key", certs.ServerKey()}};
  Servers() {
    rda::test::RawClient setupPlain(plain.DataPort());
    rda::bench::RunScript(setupPlain, rda::bench::kHostsScript);
    rda::test::TlsRawClient setupTls(tls.DataPort(), certs.Ca(), "127.0.0.1");
    rda::bench::RunScript(setupTls, rda::bench::kHostsScript);
  }
};

Servers* TheServers(benchmark::State& state) {
  static std::optional<Servers> servers;
  if (servers) return &*servers;
  if (!std::filesystem::exists(ServerProcess::BinaryPath())) {
    state.SkipWithError("rdaserver is not beside this program");
    return nullptr;
  }
  try {
    servers.emplace();
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
    return nullptr;
  }
  return &*servers;
}

void ClientRoundTrips(benchmark::State& state, bool tls) {
  Servers* servers = TheServers(state);
  if (servers == nullptr) return;
  rda::TRdaClientSocket s;
  s.SetPort(tls ? servers->tls.DataPort() : servers->plain.DataPort());
  s.SetUseTls(tls);
  s.SetTlsCaFile(servers->certs.Ca());
  rda::bench::ClientRoundTrips(state, s);
}

void BM_ClientRoundTripPlain(benchmark::State& state) { ClientRoundTrips(state, false); }
void BM_ClientRoundTripTls(benchmark::State& state) { ClientRoundTrips(state, true); }

void RawSelects(benchmark::State& state, rda::test::RawClient& client) {
  for (auto _ : state) {
    rda::TRdaStringLine select = rda::bench::SelectLine(1, rda::bench::kHostSelect);
    client.Send(select);
    const std::string rows = rda::bench::ReadRows(client);
    if (rows != rda::bench::kHostRows) {
      state.SkipWithError("wrong answer");
      break;
    }
  }
}

void BM_RawSelectPlain(benchmark::State& state) {
  Servers* servers = TheServers(state);
  if (servers == nullptr) return;
  rda::test::RawClient client(servers->plain.DataPort());
  RawSelects(state, client);
}

void BM_RawSelectTls(benchmark::State& state) {
  Servers* servers = TheServers(state);
  if (servers == nullptr) return;
  rda::test::TlsRawClient client(servers->tls.DataPort(), servers->certs.Ca(), "127.0.0.1");
  RawSelects(state, client);
}

}  // namespace

BENCHMARK(BM_ClientRoundTripPlain)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_ClientRoundTripTls)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_RawSelectPlain)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_RawSelectTls)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(2);

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  g_binDir = std::filesystem::absolute(argv[0]).parent_path().string();
  return rda::bench::Run(argc, argv, rda::bench::Clock::kReal, [](const rda::bench::Results& r) {
    std::printf("client round trip over TLS / over plain TCP = %.2f (goal <= 1.5)\n",
                r.Ratio("BM_ClientRoundTripTls", "BM_ClientRoundTripPlain"));
    std::printf("bare select over TLS / over plain TCP = %.2f (for information)\n",
                r.Ratio("BM_RawSelectTls", "BM_RawSelectPlain"));
  });
}
