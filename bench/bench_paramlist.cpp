// The text form of a parameter list of 1,000,000 mixed items (texts,
// integers, floats, currency, dates, booleans, nulls, blobs holding the
// separator byte), written and read back, against memcpy of the same bytes
// (the physical limit of touching them once). Reports items per second and
// prints each direction's throughput over memcpy's. Every run checks its
// result: the written text must equal the reference, the list read back
// must have every item and the sampled values.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "bench/BenchReport.h"
#include "messaging/RdaParamList.h"

namespace {

constexpr int kItems = 1000000;

void Fill(rda::TRdaParamItem& item, int i) {
  item.SetName("P" + std::to_string(i));
  switch (i % 8) {
    case 0: item.SetAsString("customer name " + std::to_string(i)); break;
    case 1: item.SetAsInteger(i); break;
    case 2: item.SetAsFloat(i * 0.5); break;
    case 3: item.SetAsCurrency(rda::Currency::FromScaled(i * 10001LL)); break;
    case 4: item.SetAsDateTime(45000.0 + i / 86400.0); break;
    case 5: item.SetAsBoolean(i % 3 == 0); break;
    case 6: item.SetDataType(rda::ftString); break;  // null
    default: item.SetAsBlob(std::string("\x06\x00\x01", 3) + std::to_string(i)); break;
  }
}

struct Workload {
  rda::TRdaParamList list;
  std::string text;
};

const Workload& GetWorkload() {
  static const std::unique_ptr<Workload> w = [] {
    auto out = std::make_unique<Workload>();
    for (int i = 0; i < kItems; ++i) Fill(out->list.Add(), i);
    out->text = out->list.ToText(false);
    return out;
  }();
  return *w;
}

// Sampled items of a list read back, against the values they were made with.
bool Check(const rda::TRdaParamList& list) {
  if (list.Count() != kItems) return false;
  for (int i : {0, 1, 2, 3, 4, 5, 6, 7, 123457, 500002, kItems - 1}) {
    const rda::TRdaParamItem& item = list.Items(i);
    if (item.Name() != "P" + std::to_string(i)) return false;
    rda::TRdaParamItem expected;
    Fill(expected, i);
    expected.SetParamType(rda::ptInput);
    if (!(item == expected)) return false;
  }
  return list.Items(2).AsFloat() == 1.0 && list.Items(1).AsInteger() == 1 &&
         list.Items(6).IsNull();
}

void BM_Memcpy(benchmark::State& state) {
  const Workload& w = GetWorkload();
  std::string dest(w.text.size(), '\0');
  for (auto _ : state) {
    std::memcpy(dest.data(), w.text.data(), w.text.size());
    benchmark::DoNotOptimize(dest.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(w.text.size()));
}

void BM_ToText(benchmark::State& state) {
  const Workload& w = GetWorkload();
  for (auto _ : state) {
    std::string text = w.list.ToText(false);
    state.PauseTiming();
    if (text != w.text) state.SkipWithError("text form differs from the reference");
    state.ResumeTiming();
  }
  state.counters["items/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kItems,
                         benchmark::Counter::kIsRate);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(w.text.size()));
}

void BM_FromText(benchmark::State& state) {
  const Workload& w = GetWorkload();
  for (auto _ : state) {
    auto list = rda::TRdaParamList::FromText(w.text);
    state.PauseTiming();
    if (!Check(*list)) state.SkipWithError("list read back is wrong");
    list.reset();
    state.ResumeTiming();
  }
  state.counters["items/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kItems,
                         benchmark::Counter::kIsRate);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(w.text.size()));
}

}  // namespace

BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ToText)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FromText)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv) {
  return rda::bench::Run(argc, argv, rda::bench::Clock::kReal, [](const rda::bench::Results& r) {
    if (const double ratio = r.Ratio("BM_Memcpy", "BM_ToText"); ratio > 0)
      std::printf("ToText throughput / memcpy throughput = %.3f\n", ratio);
    if (const double ratio = r.Ratio("BM_Memcpy", "BM_FromText"); ratio > 0)
      std::printf("FromText throughput / memcpy throughput = %.3f\n", ratio);
  });
}
