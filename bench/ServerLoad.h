// What the server benchmarks share: many clients started at once, the small
// table they read, the select they send and the check of its answer.
//
//   rda::test::RawClient setup(port);
//   rda::bench::RunScript(setup, rda::bench::kHostsScript);
//   std::atomic<int> wrong{0};
//   double seconds = rda::bench::ServerSelects(port, 50, 1000, wrong);
//
// A fast wrong answer must not pass for speed: every answer is checked and
// counted in `wrong` when it is not the one row the table holds.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "messaging/RdaWire.h"
#include "tests/support/RawClient.h"

namespace rda::bench {

// A script both engines accept.
inline constexpr char kHostsScript[] =
    "CREATE TABLE hosts (code VARCHAR(10) PRIMARY KEY, host VARCHAR(64), port INTEGER);"
    "INSERT INTO hosts VALUES ('DEMO', '127.0.0.1', 9406), ('ACME', '127.0.0.1', 9407),"
    "  ('ZETA', '127.0.0.1', 9408);";
inline constexpr char kHostSelect[] = "SELECT host, port FROM hosts WHERE code = 'ACME'";
// The row text of kHostSelect's answer: one row, then the end row.
inline const std::string kHostRows = "127.0.0.1\x02" "9407\x02\x04NULL\x04";

using Steady = std::chrono::steady_clock;

inline double Seconds(Steady::time_point start) {
  return std::chrono::duration<double>(Steady::now() - start).count();
}

// Runs work(i) for i in [0, threads) on as many threads at once; returns the
// wall time from the moment all of them are ready.
template <typename Work>
double RunConcurrently(int threads, Work work) {
  std::vector<std::thread> running;
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  for (int i = 0; i < threads; ++i) {
    running.emplace_back([&, i] {
      ++ready;
      while (!go) std::this_thread::yield();
      work(i);
    });
  }
  while (ready < threads) std::this_thread::yield();
  const auto start = Steady::now();
  go = true;
  for (auto& t : running) t.join();
  return Seconds(start);
}

// A select request of the whole result.
inline TRdaStringLine SelectLine(int id, const std::string& sql) {
  TRdaStringLine line;
  line.SetToken(tkSelect);
  line.SetMsgId(id);
  line.AddField(sql);
  line.AddField(-1);
  line.AddField(0);
  line.AddField("");
  return line;
}

// Runs a script through a client, as any other SQL would go in; raises
// std::runtime_error with the server's message when it fails.
inline void RunScript(test::RawClient& c, const std::string& script) {
  TRdaStringLine line = SelectLine(1, script + "SELECT 1");
  c.Send(line);
  TRdaStringLine first = c.ReadLine(std::chrono::seconds(30));
  if (first.Token() != tkFieldDescriptions) throw std::runtime_error("the script failed: " + first.NextFieldText());
  c.ReadLine();
}

// The row text of a select's answer (field descriptions, then one packet);
// empty when the answer is anything else.
inline std::string ReadRows(test::RawClient& c) {
  TRdaStringLine fields = c.ReadLine(std::chrono::seconds(30));
  if (fields.Token() != tkFieldDescriptions) return {};
  TRdaStringLine packet = c.ReadLine(std::chrono::seconds(30));
  if (packet.Token() != tkRowPacket) return {};
  packet.NextFieldText();
  return packet.NextFieldText();
}

// `clients` connections to the server each send `selects` kHostSelect one
// after the other; returns the wall time of the selects. Connecting is not
// timed: each client's session has answered a first select (so it has its
// database connection) before the clock starts. A wrong answer, or a failed
// client, counts in `wrong`.
inline double ServerSelects(int port, int clients, int selects, std::atomic<int>& wrong) {
  std::vector<std::unique_ptr<test::RawClient>> connections;
  for (int i = 0; i < clients; ++i) {
    connections.push_back(std::make_unique<test::RawClient>(port));
    TRdaStringLine first = SelectLine(1, kHostSelect);
    connections.back()->Send(first);
    if (ReadRows(*connections.back()) != kHostRows) ++wrong;
  }
  return RunConcurrently(clients, [&](int i) {
    test::RawClient& c = *connections[static_cast<size_t>(i)];
    try {
      for (int n = 0; n < selects; ++n) {
        TRdaStringLine request = SelectLine(n + 1, kHostSelect);
        c.Send(request);
        if (ReadRows(c) != kHostRows) ++wrong;
      }
    } catch (const std::exception&) {
      ++wrong;
    }
  });
}

}  // namespace rda::bench
