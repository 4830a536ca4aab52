// The change log and master/detail on the 1,000,000-row dataset.
//
//   BM_EditsManual       100,000 edits (move to the row, Edit, one field, Post)
//                        with the update method umManual: nothing logged
//   BM_EditsLogged       the same edits with umCached: each logged, and the
//                        log then handed out once (ChangeLog)
//   BM_CancelUpdates     undoing those 100,000 logged changes
//   BM_DetailScroll*     scrolls of a 1,000-row master over a 100,000-row
//                        detail, without and with an index on the detail
//                        field (reported per scroll)
//
// Goals: logged edits <= 3x the unlogged ones; CancelUpdates <= 2x the time
// the logged edits took. Each benchmark checks its result.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/BenchReport.h"
#include "bench/BenchRows.h"
#include "memdata/RdaAuditDataSet.h"

namespace {

constexpr int kRows = 1000000;
constexpr int kEdits = 100000;

struct Table {
  std::unique_ptr<rda::TRda2AuditDataset> ds;
  rda::TField* amount = nullptr;
};

// The rows of the other dataset benchmarks, filled without logging.
Table& SharedTable() {
  static Table shared = [] {
    Table t;
    t.ds = std::make_unique<rda::TRda2AuditDataset>();
    rda::TRda2AuditDataset& ds = *t.ds;
    ds.AddField("Id", rda::ftInteger, 0);
    ds.AddField("Name", rda::ftString, 35);
    ds.AddField("Amount", rda::ftFloat, 0);
    ds.AddField("Day", rda::ftDate, 0);
    ds.AddField("Balance", rda::ftCurrency, 0);
    ds.AddField("Code", rda::ftString, 8);
    ds.SetUpdateMethod(rda::umManual);
    ds.Open();
    rda::TField& id = ds.FieldByName("Id");
    rda::TField& name = ds.FieldByName("Name");
    rda::TField& amount = ds.FieldByName("Amount");
    rda::TField& day = ds.FieldByName("Day");
    rda::TField& balance = ds.FieldByName("Balance");
    rda::TField& code = ds.FieldByName("Code");
    for (int i = 0; i < kRows; ++i) {
      ds.Append();
      id.SetAsInteger(i);
      name.SetAsString(rda::bench::RowName(i));
      amount.SetAsFloat(rda::bench::RowAmount(i));
      day.SetAsDateTime(rda::bench::RowDay(i));
      balance.SetAsCurrency(rda::Currency::FromScaled(rda::bench::RowBalance(i)));
      code.SetAsString(rda::bench::RowCode(i));
      ds.Post();
    }
    t.amount = &amount;
    return t;
  }();
  return shared;
}

// kEdits distinct rows in a fixed random order.
const std::vector<int>& EditedRows() {
  static const std::vector<int> rows = [] {
    std::vector<int> all(kRows);
    for (int i = 0; i < kRows; ++i) all[static_cast<size_t>(i)] = i;
    std::shuffle(all.begin(), all.end(), std::mt19937(16));
    all.resize(kEdits);
    return all;
  }();
  return rows;
}

void MakeEdits(Table& t) {
  for (int i : EditedRows()) {
    t.ds->SetRecNo(i + 1);
    t.ds->Edit();
    t.amount->SetAsFloat(t.amount->AsFloat() + 1.0);
    t.ds->Post();
  }
}

// The amounts are the generated ones again (after undoing) or one more.
bool AmountsAre(Table& t, double offset) {
  for (int k = 0; k < kEdits; k += 997) {
    const int i = EditedRows()[static_cast<size_t>(k)];
    t.ds->SetRecNo(i + 1);
    if (t.amount->AsFloat() != rda::bench::RowAmount(i) + offset) return false;
  }
  return true;
}

int LogRows(Table& t) { return t.ds->ChangeLog() ? t.ds->ChangeLog()->RecordCount() : 0; }

void BM_EditsManual(benchmark::State& state) {
  Table& t = SharedTable();
  t.ds->SetUpdateMethod(rda::umManual);
  for (auto _ : state) {
    MakeEdits(t);
    state.PauseTiming();
    const bool ok = AmountsAre(t, 1.0) && LogRows(t) == 0;
    // Back to the generated amounts, unlogged.
    for (int i : EditedRows()) {
      t.ds->SetRecNo(i + 1);
      t.ds->Edit();
      t.amount->SetAsFloat(rda::bench::RowAmount(i));
      t.ds->Post();
    }
    if (!ok) state.SkipWithError("the edits did not land");
    state.ResumeTiming();
  }
}

void BM_EditsLogged(benchmark::State& state) {
  Table& t = SharedTable();
  t.ds->SetUpdateMethod(rda::umCached);
  for (auto _ : state) {
    MakeEdits(t);
    // The log as a reader gets it (its index is built when it is handed out).
    benchmark::DoNotOptimize(t.ds->ChangeLog());
    state.PauseTiming();
    const bool ok = AmountsAre(t, 1.0) && LogRows(t) == kEdits && t.ds->VerifyLog().empty();
    t.ds->CancelUpdates();
    if (!ok) state.SkipWithError("the edits were not logged");
    state.ResumeTiming();
  }
}

void BM_CancelUpdates(benchmark::State& state) {
  Table& t = SharedTable();
  t.ds->SetUpdateMethod(rda::umCached);
  for (auto _ : state) {
    state.PauseTiming();
    MakeEdits(t);
    state.ResumeTiming();
    t.ds->CancelUpdates();
    state.PauseTiming();
    if (!AmountsAre(t, 0.0) || LogRows(t) != 0) state.SkipWithError("CancelUpdates left changes");
    state.ResumeTiming();
  }
}

// A master of 1,000 customers and a detail of 100,000 orders, 100 per
// customer, stored customer by customer.
constexpr int kMasters = 1000;
constexpr int kDetails = 100000;
constexpr int kScrolls = 20;

struct MasterDetail {
  rda::TRdaDataSet master;
  rda::TRdaDataSet detail;
  rda::TDataSource source{&master};

  MasterDetail() {
    master.AddField("Id", rda::ftInteger, 0);
    master.AddField("Name", rda::ftString, 35);
    master.Open();
    for (int i = 0; i < kMasters; ++i) master.AppendRecord({rda::Variant(i), rda::Variant(rda::bench::RowName(i))});
    detail.AddField("Id", rda::ftInteger, 0);
    detail.AddField("CustId", rda::ftInteger, 0);
    detail.AddField("Amount", rda::ftFloat, 0);
    detail.Open();
    rda::TField& id = detail.FieldByName("Id");
    rda::TField& cust = detail.FieldByName("CustId");
    rda::TField& amount = detail.FieldByName("Amount");
    for (int i = 0; i < kDetails; ++i) {
      detail.Append();
      id.SetAsInteger(i);
      cust.SetAsInteger(i / (kDetails / kMasters));
      amount.SetAsFloat(rda::bench::RowAmount(i));
      detail.Post();
    }
    detail.SetMasterFields("Id");
    detail.SetDetailFilter("CustId");
    detail.SetMasterSource(&source);
  }
};

// kScrolls master moves spread over the master's rows; each refreshes the
// detail, which must then stand on the first order of the customer.
void DetailScrolls(benchmark::State& state, bool indexed) {
  MasterDetail md;
  md.detail.SetIndexFieldNames(indexed ? "CustId" : "");
  rda::TField& cust = md.detail.FieldByName("CustId");
  for (auto _ : state) {
    for (int k = 0; k < kScrolls; ++k) {
      const int row = (k * 997) % kMasters;
      md.master.SetRecNo(row + 1);
      if (cust.AsInteger() != row || md.detail.FieldByName("Id").AsInteger() != row * 100) {
        state.SkipWithError("the detail is not on the customer's first order");
        break;
      }
    }
  }
  // Seconds per scroll (the summary prints it in milliseconds).
  state.counters["per scroll"] = benchmark::Counter(
      kScrolls, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_DetailScroll(benchmark::State& state) { DetailScrolls(state, false); }
void BM_DetailScrollIndexed(benchmark::State& state) { DetailScrolls(state, true); }

// The same moves, each followed by a walk through the customer's orders to
// the end of the detail: with the index the walk ends at the last order
// instead of testing every order after it.
void DetailWalks(benchmark::State& state, bool indexed) {
  MasterDetail md;
  md.detail.SetIndexFieldNames(indexed ? "CustId" : "");
  for (auto _ : state) {
    for (int k = 0; k < kScrolls; ++k) {
      md.master.SetRecNo((k * 997) % kMasters + 1);
      int orders = 0;
      for (md.detail.First(); !md.detail.Eof(); md.detail.Next()) ++orders;
      if (orders != kDetails / kMasters) {
        state.SkipWithError("the walk did not see the customer's orders");
        break;
      }
    }
  }
  state.counters["per scroll"] = benchmark::Counter(
      kScrolls, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_DetailWalk(benchmark::State& state) { DetailWalks(state, false); }
void BM_DetailWalkIndexed(benchmark::State& state) { DetailWalks(state, true); }

}  // namespace

BENCHMARK(BM_DetailScroll)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_DetailScrollIndexed)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_DetailWalk)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_DetailWalkIndexed)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_EditsManual)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_EditsLogged)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_CancelUpdates)->Unit(benchmark::kMillisecond)->Iterations(3);

int main(int argc, char** argv) {
  return rda::bench::Run(argc, argv, rda::bench::Clock::kCpu, [](const rda::bench::Results& r) {
    const double logged = r.Ratio("BM_EditsLogged", "BM_EditsManual");
    std::printf("100,000 edits logged / with umManual = %.2f (goal <= 3: %s)\n", logged,
                logged > 0 && logged <= 3 ? "met" : "missed");
    const double cancel = r.Ratio("BM_CancelUpdates", "BM_EditsLogged");
    std::printf("CancelUpdates of 100,000 changes / making them = %.2f (goal <= 2: %s)\n", cancel,
                cancel > 0 && cancel <= 2 ? "met" : "missed");
    std::printf("One master scroll over a 100,000-row detail: %.3f ms without an index on the detail "
                "field, %.4f ms with one\n",
                r.Time("BM_DetailScroll") / kScrolls, r.Time("BM_DetailScrollIndexed") / kScrolls);
    std::printf("One master scroll and a walk through its 100 orders to the end: %.3f ms without an "
                "index, %.4f ms with one\n",
                r.Time("BM_DetailWalk") / kScrolls, r.Time("BM_DetailWalkIndexed") / kScrolls);
  });
}
