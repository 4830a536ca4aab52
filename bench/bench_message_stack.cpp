// The message stack cutting 1 GiB of frames (bodies from 60 bytes to 1 MiB,
// log-uniform) fed in random-sized pieces, against memcpy of the same bytes
// in the same pieces. The ratio printed is our throughput over memcpy's.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "base/ByteIO.h"
#include "bench/BenchReport.h"
#include "messaging/RdaStringLine.h"

namespace {

constexpr size_t kStreamBytes = 64u << 20;   // one pass
constexpr int kPasses = 16;                   // 16 × 64 MiB = 1 GiB per iteration

struct Workload {
  std::string stream;
  std::vector<size_t> pieces;  // sizes of the reads the bytes arrive in
  size_t messages = 0;
  size_t body_bytes = 0;
};

const Workload& GetWorkload() {
  static const Workload w = [] {
    Workload out;
    std::mt19937_64 rng(2026);
    std::uniform_real_distribution<double> log_size(std::log(60.0), std::log(1048576.0));
    out.stream.reserve(kStreamBytes + (2u << 20));
    while (out.stream.size() < kStreamBytes) {
      const auto n = static_cast<size_t>(std::exp(log_size(rng)));
      rda::ByteWriter(out.stream).PutI32(static_cast<int32_t>(n));
      out.stream.append(n, static_cast<char>('a' + out.messages % 26));
      ++out.messages;
      out.body_bytes += n;
    }
    std::uniform_int_distribution<size_t> piece(1, 65536);
    for (size_t pos = 0; pos < out.stream.size();) {
      const size_t n = std::min(piece(rng), out.stream.size() - pos);
      out.pieces.push_back(n);
      pos += n;
    }
    return out;
  }();
  return w;
}

void BM_Memcpy(benchmark::State& state) {
  const Workload& w = GetWorkload();
  std::string dest(w.stream.size(), '\0');
  for (auto _ : state) {
    for (int pass = 0; pass < kPasses; ++pass) {
      size_t pos = 0;
      for (size_t n : w.pieces) {
        std::memcpy(dest.data() + pos, w.stream.data() + pos, n);
        pos += n;
      }
      benchmark::DoNotOptimize(dest.data());
      benchmark::ClobberMemory();
    }
  }
  state.SetBytesProcessed(state.iterations() * kPasses * static_cast<int64_t>(w.stream.size()));
}

void BM_MessageStack(benchmark::State& state) {
  const Workload& w = GetWorkload();
  for (auto _ : state) {
    size_t messages = 0, bytes = 0;
    for (int pass = 0; pass < kPasses; ++pass) {
      rda::TRdaMessageStack stack;
      size_t pos = 0;
      for (size_t n : w.pieces) {
        stack.Append(std::string_view(w.stream).substr(pos, n));
        pos += n;
        while (stack.HasMessages()) {
          const std::string body = stack.PopMessage();
          bytes += body.size();
          ++messages;
        }
      }
    }
    if (messages != w.messages * kPasses || bytes != w.body_bytes * kPasses)
      state.SkipWithError("wrong messages cut");
  }
  state.SetBytesProcessed(state.iterations() * kPasses * static_cast<int64_t>(w.stream.size()));
}

}  // namespace

BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_MessageStack)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

int main(int argc, char** argv) {
  return rda::bench::Run(argc, argv, rda::bench::Clock::kReal, [](const rda::bench::Results& r) {
    if (const double ratio = r.Ratio("BM_Memcpy", "BM_MessageStack"); ratio > 0)
      std::printf("message stack throughput / memcpy throughput = %.2f (goal >= 0.30)\n", ratio);
  });
}
