// Filter expressions on the in-memory dataset against SQLite in ":memory:",
// on 1,000,000 rows of the six fields of bench_memdata (integer, 35-character
// text, float, date, currency, 8-character code). The names here begin with
// one of 26 letters in turn, so that a prefix selects one row in 26.
//
//   Filter3        a full pass over the view filtered by
//                  Amount > 100 and Name like 'A%' and Code <> 'X'
//                  (First..Eof reading every field of the rows that pass),
//                  against stepping SELECT * ... WHERE the same (LIKE made
//                  case-sensitive, as ours is);
//   Filter10       the same with a ten-term expression;
//   Narrowed       Filter3 with an active index on Name selected: the
//                  filter passes over the rows a search of the index shows
//                  it rejects; against Filter3's full scan;
//   Parse1000      parsing and compiling an OR of 1,000 comparisons of a
//                  field with a text (about the most the 64 KiB tree layout
//                  holds: some 1,100);
//   Parse10000     the same with 10,000 comparisons, which the layout cannot
//                  hold: the time to the parser's clear error.
//
// Every run checks its result: the rows that pass (count and a checksum of
// every value read, the same whatever the order) against the numbers the
// rows were made from, and the parser's outcome. The allocations made while
// the filter runs are counted (a replaced operator new) and reported per
// row. Times are CPU times; the ratios are printed at the end.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "bench/BenchReport.h"
#include "bench/BenchRows.h"
#include "memdata/RdaCustomDataSet.h"
#include "memdata/expr/RdaExpression.h"

namespace {

std::atomic<uint64_t> allocations{0};

}  // namespace

// The replacements pair with each other; GCC cannot see that through the
// inlining of the standard library and warns of a mismatch.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

constexpr int kRows = 1000000;
constexpr int kNameSize = 35;
constexpr int kCodeSize = 8;

const char kFilter3[] = "Amount > 100 and Name like 'A%' and Code <> 'X'";
const char kFilter3Sql[] = "Amount > 100 AND Name LIKE 'A%' AND Code <> 'X'";
const char kFilter10[] =
    "Amount > 100 and Name like 'A%' and Code <> 'X' and Id >= 0 and Day > 30000 and "
    "Balance >= 0 and Id <> 5 and Amount < 1000000000 and Code like 'C%' and Name <> 'Z'";
const char kFilter10Sql[] =
    "Amount > 100 AND Name LIKE 'A%' AND Code <> 'X' AND Id >= 0 AND Day > 30000 AND "
    "Balance >= 0 AND Id <> 5 AND Amount < 1000000000 AND Code LIKE 'C%' AND Name <> 'Z'";

std::string Name(int i) {
  std::string n = rda::bench::RowName(i);
  n[0] = static_cast<char>('A' + i % 26);
  return n.substr(0, kNameSize);
}

// The rows both filters pass: count and an order-free checksum.
struct Passed {
  int64_t rows = 0;
  uint64_t sum = 0;
  void Add(int64_t id, std::string_view name, double amount, double day, int64_t balance,
           std::string_view code) {
    rda::bench::Checksum c;
    c.AddRow(id, name, amount, day, balance, code);
    ++rows;
    sum += c.sum;
  }
  bool operator==(const Passed&) const = default;
};

// Filter3's rows (the ten-term filter passes the same ones here).
const Passed& Expected() {
  static const Passed passed = [] {
    Passed p;
    for (int i = 0; i < kRows; ++i) {
      const std::string name = Name(i);
      if (rda::bench::RowAmount(i) > 100 && name[0] == 'A') {
        p.Add(i, name, rda::bench::RowAmount(i), rda::bench::RowDay(i), rda::bench::RowBalance(i),
              rda::bench::RowCode(i));
      }
    }
    return p;
  }();
  return passed;
}

struct Table {
  rda::TRdaDataSet ds;
  rda::TField *id, *amount, *day, *balance;
  rda::TStringField *name, *code;

  Table() {
    ds.AddField("Id", rda::ftInteger, 0);
    ds.AddField("Name", rda::ftString, kNameSize);
    ds.AddField("Amount", rda::ftFloat, 0);
    ds.AddField("Day", rda::ftDate, 0);
    ds.AddField("Balance", rda::ftCurrency, 0);
    ds.AddField("Code", rda::ftString, kCodeSize);
    ds.Open();
    id = &ds.FieldByName("Id");
    name = static_cast<rda::TStringField*>(&ds.FieldByName("Name"));
    amount = &ds.FieldByName("Amount");
    day = &ds.FieldByName("Day");
    balance = &ds.FieldByName("Balance");
    code = static_cast<rda::TStringField*>(&ds.FieldByName("Code"));
    for (int i = 0; i < kRows; ++i) {
      ds.Append();
      id->SetAsInteger(i);
      name->SetAsString(Name(i));
      amount->SetAsFloat(rda::bench::RowAmount(i));
      day->SetAsDateTime(rda::bench::RowDay(i));
      balance->SetAsCurrency(rda::Currency::FromScaled(rda::bench::RowBalance(i)));
      code->SetAsString(rda::bench::RowCode(i));
      ds.Post();
    }
    rda::TRdaIndex& byName = ds.Indexes().Add();
    byName.SetName("ByName");
    byName.SetFields("Name");
    byName.SetActive(true);
  }

  // One pass over the filtered view.
  Passed Pass() {
    Passed p;
    for (ds.First(); !ds.Eof(); ds.Next()) {
      p.Add(id->AsInteger(), name->AsStringView(), amount->AsFloat(), day->AsDateTime(),
            balance->AsCurrency().Scaled, code->AsStringView());
    }
    return p;
  }
};

Table& SharedTable() {
  static Table t;
  return t;
}

struct Sqlite {
  sqlite3* db = nullptr;
  Sqlite() {
    sqlite3_open(":memory:", &db);
    sqlite3_exec(db, "PRAGMA case_sensitive_like = ON", nullptr, nullptr, nullptr);
    sqlite3_exec(db, "CREATE TABLE t (Id INTEGER, Name TEXT, Amount REAL, Day REAL, Balance INTEGER, Code TEXT)",
                 nullptr, nullptr, nullptr);
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO t VALUES (?, ?, ?, ?, ?, ?)", -1, &st, nullptr);
    for (int i = 0; i < kRows; ++i) {
      const std::string name = Name(i);
      const std::string code = rda::bench::RowCode(i);
      sqlite3_bind_int(st, 1, i);
      sqlite3_bind_text(st, 2, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
      sqlite3_bind_double(st, 3, rda::bench::RowAmount(i));
      sqlite3_bind_double(st, 4, rda::bench::RowDay(i));
      sqlite3_bind_int64(st, 5, rda::bench::RowBalance(i));
      sqlite3_bind_text(st, 6, code.data(), static_cast<int>(code.size()), SQLITE_TRANSIENT);
      sqlite3_step(st);
      sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  }
  ~Sqlite() { sqlite3_close(db); }
  Sqlite(const Sqlite&) = delete;
  Sqlite& operator=(const Sqlite&) = delete;

  Passed Select(sqlite3_stmt* st) const {
    Passed p;
    while (sqlite3_step(st) == SQLITE_ROW) {
      const auto text = [&](int column) {
        return std::string_view(reinterpret_cast<const char*>(sqlite3_column_text(st, column)),
                                static_cast<size_t>(sqlite3_column_bytes(st, column)));
      };
      p.Add(sqlite3_column_int(st, 0), text(1), sqlite3_column_double(st, 2), sqlite3_column_double(st, 3),
            sqlite3_column_int64(st, 4), text(5));
    }
    sqlite3_reset(st);
    return p;
  }
};

Sqlite& SharedSqlite() {
  static Sqlite db;
  return db;
}

void RunFilter(benchmark::State& state, const char* filter, bool narrowed) {
  Table& t = SharedTable();
  const Passed& expected = Expected();
  t.ds.SetFiltered(false);
  t.ds.SetIndexName(narrowed ? "ByName" : "");
  t.ds.SetFilter(filter);
  t.ds.SetFiltered(true);
  t.Pass();  // the compiled form's buffers are made on its first rows
  uint64_t allocated = 0;
  for (auto _ : state) {
    const uint64_t before = allocations.load();
    const Passed p = t.Pass();
    allocated += allocations.load() - before;
    if (!(p == expected)) state.SkipWithError("the filtered view holds the wrong rows");
  }
  t.ds.SetFiltered(false);
  t.ds.SetIndexName("");
  state.counters["rows passed"] = static_cast<double>(expected.rows);
  state.counters["allocs/row"] =
      static_cast<double>(allocated) / static_cast<double>(state.iterations()) / kRows;
}

void RunSqlite(benchmark::State& state, const char* where) {
  Sqlite& db = SharedSqlite();
  const Passed& expected = Expected();
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db.db, (std::string("SELECT * FROM t WHERE ") + where).c_str(), -1, &st, nullptr);
  for (auto _ : state) {
    if (!(db.Select(st) == expected)) state.SkipWithError("SQLite passed the wrong rows");
  }
  sqlite3_finalize(st);
}

void BM_Filter3(benchmark::State& state) { RunFilter(state, kFilter3, false); }
void BM_SqliteWhere3(benchmark::State& state) { RunSqlite(state, kFilter3Sql); }
void BM_Filter10(benchmark::State& state) { RunFilter(state, kFilter10, false); }
void BM_SqliteWhere10(benchmark::State& state) { RunSqlite(state, kFilter10Sql); }
void BM_Filter3Narrowed(benchmark::State& state) { RunFilter(state, kFilter3, true); }

std::string OrOfComparisons(int terms) {
  std::string text = "Code = 'C0000000'";
  char term[40];
  for (int i = 1; i < terms; ++i) {
    std::snprintf(term, sizeof term, " or Code = 'C%07d'", i);
    text += term;
  }
  return text;
}

void BM_Parse1000(benchmark::State& state) {
  Table& t = SharedTable();
  const std::string text = OrOfComparisons(1000);
  for (auto _ : state) {
    rda::TRdaExpression expr(t.ds, text, rda::ekFilter, {}, {});
    // 1,000 comparisons of three nodes and 999 ORs; one instruction per
    // comparison and per OR at the least.
    if (expr.Reference().Tree().NodeCount() != 3999 || expr.Program().Size() < 1999) {
      state.SkipWithError("the tree or the program is short");
    }
  }
  state.counters["text bytes"] = static_cast<double>(text.size());
}

void BM_Parse10000(benchmark::State& state) {
  Table& t = SharedTable();
  const std::string text = OrOfComparisons(10000);
  for (auto _ : state) {
    try {
      rda::TRdaExpression expr(t.ds, text, rda::ekFilter, {}, {});
      state.SkipWithError("a 10,000-term tree cannot fit the layout");
    } catch (const rda::EDatabaseError& e) {
      if (std::string_view(e.what()).rfind("Expression too large", 0) != 0) state.SkipWithError(e.what());
    }
  }
  state.counters["text bytes"] = static_cast<double>(text.size());
}

}  // namespace

BENCHMARK(BM_Filter3)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_SqliteWhere3)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_Filter10)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_SqliteWhere10)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_Filter3Narrowed)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_Parse1000)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_Parse10000)->Unit(benchmark::kMillisecond)->Iterations(5);

int main(int argc, char** argv) {
  return rda::bench::Run(argc, argv, rda::bench::Clock::kCpu, [](const rda::bench::Results& r) {
    const auto ratio = [&](const char* what, const char* peer, const char* ours, const char* goal) {
      const double x = r.Ratio(peer, ours);
      std::printf("%-58s %6.2fx %s\n", what, x, goal);
    };
    std::printf("\n");
    ratio("3-term filter, full pass: SQLite time / ours", "BM_SqliteWhere3", "BM_Filter3", "(goal >= 1.5)");
    ratio("10-term filter, full pass: SQLite time / ours", "BM_SqliteWhere10", "BM_Filter10", "(reported)");
    ratio("3-term filter narrowed by the Name index: full scan / narrowed", "BM_Filter3", "BM_Filter3Narrowed",
          "(gain)");
    std::printf("%-58s %9.3f ms\n", "parse and compile 1,000 terms", r.Time("BM_Parse1000"));
    std::printf("%-58s %9.3f ms\n", "parse 10,000 terms to the size error", r.Time("BM_Parse10000"));
  });
}
