// The in-memory dataset against SQLite in ":memory:" on 1,000,000 rows of
// six fields (integer, 35-character text, float, date, currency,
// 8-character code):
//
//   Append   Append + set the six fields + Post, row by row, against a
//            prepared INSERT in one transaction;
//   Scan     First..Eof reading every field, against stepping SELECT *;
//   Locate   Locate on the unindexed text field, 100 keys spread over the
//            table, against a prepared full-scan WHERE (both stop at the
//            first match);
//   Memory   heap bytes per row (glibc mallinfo2 before and after filling)
//            against the row image size and against SQLite's
//            sqlite3_memory_used per row.
//
// Every run checks its result: row counts, a checksum of every value read,
// the row each key finds, sampled values. The ratios (SQLite time over the
// dataset's, bytes over the image) are printed at the end; times are the
// process's CPU time, which a busy machine disturbs less than wall time.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bench/BenchReport.h"
#include "bench/BenchRows.h"
#include "memdata/RdaCustomDataSet.h"

namespace {

constexpr int kRows = 1000000;
constexpr int kNameSize = 35;
constexpr int kCodeSize = 8;
constexpr int kLocateKeys = 100;

// The generated values of row i. Texts are made once, outside the timing.
struct Source {
  std::string names;  // kRows * kNameSize
  std::string codes;  // kRows * kCodeSize

  Source() : names(static_cast<size_t>(kRows) * kNameSize, ' '), codes(static_cast<size_t>(kRows) * kCodeSize, '0') {
    for (int i = 0; i < kRows; ++i) {
      std::memcpy(&names[static_cast<size_t>(i) * kNameSize], rda::bench::RowName(i).data(), kNameSize);
      std::memcpy(&codes[static_cast<size_t>(i) * kCodeSize], rda::bench::RowCode(i).data(), kCodeSize);
    }
  }
  std::string_view Name(int i) const { return {&names[static_cast<size_t>(i) * kNameSize], kNameSize}; }
  std::string_view Code(int i) const { return {&codes[static_cast<size_t>(i) * kCodeSize], kCodeSize}; }
  static int32_t Id(int i) { return i; }
  static double Amount(int i) { return rda::bench::RowAmount(i); }
  static double Day(int i) { return rda::bench::RowDay(i); }
  static rda::Currency Balance(int i) { return rda::Currency::FromScaled(rda::bench::RowBalance(i)); }
};

const Source& GetSource() {
  static const Source source;
  return source;
}

using rda::bench::Checksum;

uint64_t ExpectedChecksum() {
  static const uint64_t sum = [] {
    const Source& s = GetSource();
    Checksum c;
    for (int i = 0; i < kRows; ++i) {
      c.AddRow(Source::Id(i), s.Name(i), Source::Amount(i), Source::Day(i),
               Source::Balance(i).Scaled, s.Code(i));
    }
    return c.sum;
  }();
  return sum;
}

// ---------------------------------------------------------------------------
// The dataset

struct Table {
  std::unique_ptr<rda::TRdaDataSet> ds;
  rda::TField *id, *amount, *day, *balance;
  rda::TStringField *name, *code;
};

Table NewTable() {
  Table t;
  t.ds = std::make_unique<rda::TRdaDataSet>();
  t.ds->AddField("Id", rda::ftInteger, 0);
  t.ds->AddField("Name", rda::ftString, kNameSize);
  t.ds->AddField("Amount", rda::ftFloat, 0);
  t.ds->AddField("Day", rda::ftDate, 0);
  t.ds->AddField("Balance", rda::ftCurrency, 0);
  t.ds->AddField("Code", rda::ftString, kCodeSize);
  t.ds->Open();
  // Resolved once: the loops below use the field objects directly.
  t.id = &t.ds->FieldByName("Id");
  t.name = static_cast<rda::TStringField*>(&t.ds->FieldByName("Name"));
  t.amount = &t.ds->FieldByName("Amount");
  t.day = &t.ds->FieldByName("Day");
  t.balance = &t.ds->FieldByName("Balance");
  t.code = static_cast<rda::TStringField*>(&t.ds->FieldByName("Code"));
  return t;
}

void Fill(Table& t) {
  const Source& s = GetSource();
  for (int i = 0; i < kRows; ++i) {
    t.ds->Append();
    t.id->SetAsInteger(Source::Id(i));
    t.name->SetAsString(s.Name(i));
    t.amount->SetAsFloat(Source::Amount(i));
    t.day->SetAsDateTime(Source::Day(i));
    t.balance->SetAsCurrency(Source::Balance(i));
    t.code->SetAsString(s.Code(i));
    t.ds->Post();
  }
}

bool CheckTable(Table& t) {
  if (t.ds->RecordCount() != kRows) return false;
  for (int i : {0, 1, 4711, 500000, kRows - 1}) {
    t.ds->SetRecNo(i + 1);
    if (t.id->AsInteger() != i || t.name->AsString() != GetSource().Name(i) ||
        t.day->AsDateTime() != Source::Day(i) || t.balance->AsCurrency() != Source::Balance(i)) {
      return false;
    }
  }
  return true;
}

Table& SharedTable() {
  static Table t = [] {
    Table table = NewTable();
    Fill(table);
    return table;
  }();
  return t;
}

// ---------------------------------------------------------------------------
// SQLite

struct Sqlite {
  sqlite3* db = nullptr;
  Sqlite() {
    sqlite3_open(":memory:", &db);
    Exec("CREATE TABLE t (Id INTEGER, Name TEXT, Amount REAL, Day REAL, Balance INTEGER, Code TEXT)");
  }
  ~Sqlite() { sqlite3_close(db); }
  Sqlite(const Sqlite&) = delete;
  Sqlite& operator=(const Sqlite&) = delete;
  void Exec(const char* sql) const { sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }
  sqlite3_stmt* Prepare(const char* sql) const {
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, sql, -1, &st, nullptr);
    return st;
  }
  void Fill() const {
    const Source& s = GetSource();
    Exec("BEGIN");
    sqlite3_stmt* st = Prepare("INSERT INTO t VALUES (?, ?, ?, ?, ?, ?)");
    for (int i = 0; i < kRows; ++i) {
      sqlite3_bind_int(st, 1, Source::Id(i));
      sqlite3_bind_text(st, 2, s.Name(i).data(), kNameSize, SQLITE_STATIC);
      sqlite3_bind_double(st, 3, Source::Amount(i));
      sqlite3_bind_double(st, 4, Source::Day(i));
      sqlite3_bind_int64(st, 5, Source::Balance(i).Scaled);
      sqlite3_bind_text(st, 6, s.Code(i).data(), kCodeSize, SQLITE_STATIC);
      sqlite3_step(st);
      sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    Exec("COMMIT");
  }
  int Count() const {
    sqlite3_stmt* st = Prepare("SELECT count(*) FROM t");
    sqlite3_step(st);
    int n = sqlite3_column_int(st, 0);
    sqlite3_finalize(st);
    return n;
  }
};

Sqlite& SharedSqlite() {
  static const std::unique_ptr<Sqlite> db = [] {
    auto d = std::make_unique<Sqlite>();
    d->Fill();
    return d;
  }();
  return *db;
}

// The key of probe k: rows spread evenly, so a scan covers half the table
// on average.
int KeyRow(int k) { return static_cast<int>((static_cast<int64_t>(k) * kRows + kRows / 2) / kLocateKeys); }

// ---------------------------------------------------------------------------

void BM_DataSetAppend(benchmark::State& state) {
  GetSource();
  for (auto _ : state) {
    state.PauseTiming();
    Table t = NewTable();
    state.ResumeTiming();
    Fill(t);
    state.PauseTiming();
    if (!CheckTable(t)) state.SkipWithError("dataset rows are wrong");
    t.ds.reset();
    state.ResumeTiming();
  }
  state.counters["rows/s"] = benchmark::Counter(static_cast<double>(state.iterations()) * kRows,
                                                benchmark::Counter::kIsRate);
}

void BM_SqliteInsert(benchmark::State& state) {
  GetSource();
  for (auto _ : state) {
    state.PauseTiming();
    auto db = std::make_unique<Sqlite>();
    state.ResumeTiming();
    db->Fill();
    state.PauseTiming();
    if (db->Count() != kRows) state.SkipWithError("SQLite row count is wrong");
    db.reset();
    state.ResumeTiming();
  }
  state.counters["rows/s"] = benchmark::Counter(static_cast<double>(state.iterations()) * kRows,
                                                benchmark::Counter::kIsRate);
}

void BM_DataSetScan(benchmark::State& state) {
  Table& t = SharedTable();
  const uint64_t expected = ExpectedChecksum();
  for (auto _ : state) {
    Checksum c;
    t.ds->First();
    while (!t.ds->Eof()) {
      c.AddRow(t.id->AsInteger(), t.name->AsStringView(), t.amount->AsFloat(),
               t.day->AsDateTime(), t.balance->AsCurrency().Scaled, t.code->AsStringView());
      t.ds->Next();
    }
    if (c.sum != expected) state.SkipWithError("dataset scan read wrong values");
  }
  state.counters["rows/s"] = benchmark::Counter(static_cast<double>(state.iterations()) * kRows,
                                                benchmark::Counter::kIsRate);
}

void BM_SqliteScan(benchmark::State& state) {
  Sqlite& db = SharedSqlite();
  const uint64_t expected = ExpectedChecksum();
  sqlite3_stmt* st = db.Prepare("SELECT * FROM t");
  for (auto _ : state) {
    Checksum c;
    while (sqlite3_step(st) == SQLITE_ROW) {
      const char* name = reinterpret_cast<const char*>(sqlite3_column_text(st, 1));
      std::string_view nameView(name, static_cast<size_t>(sqlite3_column_bytes(st, 1)));
      const char* code = reinterpret_cast<const char*>(sqlite3_column_text(st, 5));
      std::string_view codeView(code, static_cast<size_t>(sqlite3_column_bytes(st, 5)));
      c.AddRow(sqlite3_column_int(st, 0), nameView, sqlite3_column_double(st, 2),
               sqlite3_column_double(st, 3), sqlite3_column_int64(st, 4), codeView);
    }
    sqlite3_reset(st);
    if (c.sum != expected) state.SkipWithError("SQLite scan read wrong values");
  }
  sqlite3_finalize(st);
  state.counters["rows/s"] = benchmark::Counter(static_cast<double>(state.iterations()) * kRows,
                                                benchmark::Counter::kIsRate);
}

void BM_DataSetLocate(benchmark::State& state) {
  Table& t = SharedTable();
  const Source& s = GetSource();
  for (auto _ : state) {
    for (int k = 0; k < kLocateKeys; ++k) {
      int row = KeyRow(k);
      if (!t.ds->Locate("Name", rda::Variant(s.Name(row))) || t.id->AsInteger() != row) {
        state.SkipWithError("Locate found the wrong row");
      }
    }
  }
  state.counters["locates/s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * kLocateKeys, benchmark::Counter::kIsRate);
}

void BM_SqliteLocate(benchmark::State& state) {
  Sqlite& db = SharedSqlite();
  const Source& s = GetSource();
  sqlite3_stmt* st = db.Prepare("SELECT Id FROM t WHERE Name = ?");
  for (auto _ : state) {
    for (int k = 0; k < kLocateKeys; ++k) {
      int row = KeyRow(k);
      sqlite3_bind_text(st, 1, s.Name(row).data(), kNameSize, SQLITE_STATIC);
      if (sqlite3_step(st) != SQLITE_ROW || sqlite3_column_int(st, 0) != row) {
        state.SkipWithError("SQLite found the wrong row");
      }
      sqlite3_reset(st);
    }
  }
  sqlite3_finalize(st);
  state.counters["locates/s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * kLocateKeys, benchmark::Counter::kIsRate);
}

double g_bytesPerRow = 0, g_imageSize = 0, g_sqliteBytesPerRow = 0;

void BM_Memory(benchmark::State& state) {
  GetSource();
  for (auto _ : state) {
    size_t before = rda::bench::HeapInUse();
    Table t = NewTable();
    Fill(t);
    size_t after = rda::bench::HeapInUse();
    if (!CheckTable(t)) state.SkipWithError("dataset rows are wrong");
    g_bytesPerRow = static_cast<double>(after - before) / kRows;
    g_imageSize = t.ds->Store()->RecordSize();
    t.ds.reset();

    sqlite3_int64 sqliteBefore = sqlite3_memory_used();
    auto db = std::make_unique<Sqlite>();
    db->Fill();
    g_sqliteBytesPerRow = static_cast<double>(sqlite3_memory_used() - sqliteBefore) / kRows;
    if (db->Count() != kRows) state.SkipWithError("SQLite row count is wrong");
  }
  state.counters["bytes/row"] = g_bytesPerRow;
  state.counters["image"] = g_imageSize;
  state.counters["sqlite bytes/row"] = g_sqliteBytesPerRow;
}

}  // namespace

BENCHMARK(BM_DataSetAppend)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SqliteInsert)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_DataSetScan)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_SqliteScan)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_DataSetLocate)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SqliteLocate)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Memory)->Unit(benchmark::kMillisecond)->Iterations(1);

namespace {

// The dataset's speed-up over SQLite for one pair, with its goal when it has one.
void SpeedUp(const rda::bench::Results& r, const char* what, const char* peer, const char* ours,
             double goal) {
  const double ratio = r.Ratio(peer, ours);
  if (ratio <= 0) return;
  if (goal > 0) {
    std::printf("%s: dataset %.2fx faster than SQLite (goal >= %.0f: %s)\n", what, ratio, goal,
                ratio >= goal ? "met" : "missed");
  } else {
    std::printf("%s: dataset %.2fx faster than SQLite\n", what, ratio);
  }
}

}  // namespace

int main(int argc, char** argv) {
  return rda::bench::Run(argc, argv, rda::bench::Clock::kCpu, [](const rda::bench::Results& r) {
    SpeedUp(r, "Append + Post vs prepared INSERT", "BM_SqliteInsert", "BM_DataSetAppend", 3);
    SpeedUp(r, "Scan reading every field vs SELECT *", "BM_SqliteScan", "BM_DataSetScan", 3);
    SpeedUp(r, "Locate on unindexed text vs full-scan WHERE", "BM_SqliteLocate", "BM_DataSetLocate", 0);
    if (g_imageSize > 0) {
      std::printf("Memory: %.1f bytes per row, row image %.0f bytes: %.3fx the image (goal <= 1.3: %s)\n",
                  g_bytesPerRow, g_imageSize, g_bytesPerRow / g_imageSize,
                  g_bytesPerRow / g_imageSize <= 1.3 ? "met" : "missed");
      std::printf("Memory: SQLite %.1f bytes per row: the dataset uses %.3fx SQLite's memory\n",
                  g_sqliteBytesPerRow, g_bytesPerRow / g_sqliteBytesPerRow);
    }
  });
}
