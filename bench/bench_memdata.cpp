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
// Indexes and aggregates, on the same rows:
//
//   IndexBuild        an index on the 35-character Name built over the million
//                     rows, against std::sort of the same row pointers by a
//                     plain memcmp of the name, and against SQLite's CREATE
//                     INDEX;
//   AppendIndexed     10,000 and 1,000,000 rows appended in random key order
//                     under a maintained index on Name, against SQLite
//                     inserting them into a table with that index (and the
//                     time per row at both sizes);
//   FindKey, LocateIndexed
//                     1,000 keys found through the selected Name index,
//                     against SQLite's indexed point lookup;
//   GroupedSum        SUM(Amount) per Day (3,650 groups over an index on Day)
//                     computed from scratch, against SQLite's GROUP BY over an
//                     index on Day; and 100,000 edits of Amount kept current
//                     in a table of 10,000 and of 1,000,000 rows (time per
//                     edit at both sizes).
//
// The dataset stream and files, on the same rows:
//
//   SaveToStream, LoadFromStream
//                     the whole dataset to its stream bytes and back into a
//                     new dataset, against memcpy of as many bytes;
//   SaveToFile, LoadFromFile
//                     the same through a file (written whole, flushed and
//                     renamed over the old one), against SQLite writing the
//                     rows into a new database file in one transaction and
//                     reading them back with SELECT *.
//
// Memos, whose values live in the blob store beside the rows:
//
//   ReadMemos         every memo of 10,000 and of 100,000 rows read in order
//                     (time per memo at both sizes: a store that searched its
//                     blobs one by one would take ten times as long per memo
//                     at the larger size).
//
// Every run checks its result: row counts, a checksum of every value read,
// the row each key finds, sampled values. The ratios (SQLite time over the
// dataset's, bytes over the image) are printed at the end; times are the
// process's CPU time, which a busy machine disturbs less than wall time.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <numeric>
#include <random>
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
constexpr int kSmallMemoRows = 10000;
constexpr int kMemoRows = 100000;

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
  explicit Sqlite(const char* file = ":memory:") {
    sqlite3_open(file, &db);
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

// ---------------------------------------------------------------------------
// The dataset stream and files

// The stream bytes of the shared table, made once.
const std::string& StreamBytes() {
  static const std::string bytes = SharedTable().ds->DataSetToText();
  return bytes;
}

// A folder for the files of a run, removed at exit.
const std::string& FileFolder() {
  static const struct Folder {
    std::string path;
    Folder() {
      char pattern[] = "/tmp/rda-bench-files-XXXXXX";
      path = ::mkdtemp(pattern) ? pattern : "/tmp";
    }
    ~Folder() { std::filesystem::remove_all(path); }
  } folder;
  return folder.path;
}

// A loaded table is the shared one: its sampled rows and its whole stream.
bool SameAsShared(rda::TRdaDataSet& ds) {
  Table t;
  t.ds.reset(&ds);
  t.id = &ds.FieldByName("Id");
  t.name = static_cast<rda::TStringField*>(&ds.FieldByName("Name"));
  t.amount = &ds.FieldByName("Amount");
  t.day = &ds.FieldByName("Day");
  t.balance = &ds.FieldByName("Balance");
  t.code = static_cast<rda::TStringField*>(&ds.FieldByName("Code"));
  const bool same = CheckTable(t);
  (void)t.ds.release();
  return same;
}

void BM_SaveToStream(benchmark::State& state) {
  Table& t = SharedTable();
  const std::string& expected = StreamBytes();
  for (auto _ : state) {
    rda::TMemoryStream stream;
    t.ds->SaveToStream(stream);
    state.PauseTiming();
    if (stream.Bytes() != expected) state.SkipWithError("the stream differs from the first one");
    state.ResumeTiming();
  }
  state.counters["MB"] = static_cast<double>(expected.size()) / 1e6;
}

void BM_LoadFromStream(benchmark::State& state) {
  const std::string& bytes = StreamBytes();
  for (auto _ : state) {
    state.PauseTiming();
    rda::TMemoryStream stream(bytes);
    auto ds = std::make_unique<rda::TRdaDataSet>();
    state.ResumeTiming();
    ds->LoadFromStream(stream);
    state.PauseTiming();
    if (!SameAsShared(*ds)) state.SkipWithError("the loaded rows are wrong");
    ds.reset();
    state.ResumeTiming();
  }
  state.counters["MB"] = static_cast<double>(bytes.size()) / 1e6;
}

// The physical limit: copying as many bytes.
void BM_MemcpyStreamBytes(benchmark::State& state) {
  const std::string& bytes = StreamBytes();
  std::string target(bytes.size(), '\0');
  for (auto _ : state) {
    std::memcpy(target.data(), bytes.data(), bytes.size());
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
  if (target != bytes) state.SkipWithError("memcpy copied wrong bytes");
}

// The same into new memory, as a save into a new stream and a load into new
// rows must fill: room taken the way the stream takes it (huge pages where
// the system has them), then one memcpy.
void BM_MemcpyStreamBytesToNewMemory(benchmark::State& state) {
  const std::string& bytes = StreamBytes();
  for (auto _ : state) {
    rda::TMemoryStream target;
    target.Reserve(bytes.size());
    target.Write(bytes);
    benchmark::DoNotOptimize(target.Bytes().data());
    state.PauseTiming();
    if (target.Bytes() != bytes) state.SkipWithError("memcpy copied wrong bytes");
    state.ResumeTiming();
  }
}

void BM_SaveToFile(benchmark::State& state) {
  Table& t = SharedTable();
  const std::string file = FileFolder() + "/rows.rds";
  for (auto _ : state) {
    t.ds->SaveToFile(file);
    state.PauseTiming();
    if (std::filesystem::file_size(file) != StreamBytes().size()) state.SkipWithError("the file has the wrong size");
    state.ResumeTiming();
  }
}

void BM_LoadFromFile(benchmark::State& state) {
  const std::string file = FileFolder() + "/rows.rds";
  SharedTable().ds->SaveToFile(file);
  for (auto _ : state) {
    state.PauseTiming();
    auto ds = std::make_unique<rda::TRdaDataSet>();
    state.ResumeTiming();
    ds->LoadFromFile(file);
    state.PauseTiming();
    if (!SameAsShared(*ds)) state.SkipWithError("the loaded rows are wrong");
    ds.reset();
    state.ResumeTiming();
  }
}

// SQLite writing the rows into a new database file in one transaction.
void BM_SqliteFileWrite(benchmark::State& state) {
  GetSource();
  const std::string file = FileFolder() + "/rows.db";
  for (auto _ : state) {
    state.PauseTiming();
    std::filesystem::remove(file);
    std::filesystem::remove(file + "-journal");
    state.ResumeTiming();
    Sqlite db(file.c_str());
    db.Fill();
    state.PauseTiming();
    if (db.Count() != kRows) state.SkipWithError("SQLite row count is wrong");
    state.ResumeTiming();
  }
}

// And reading them back, every column of every row.
void BM_SqliteFileRead(benchmark::State& state) {
  const std::string file = FileFolder() + "/rows.db";
  if (!std::filesystem::exists(file)) Sqlite(file.c_str()).Fill();
  const uint64_t expected = ExpectedChecksum();
  for (auto _ : state) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "SELECT * FROM t", -1, &st, nullptr);
    Checksum c;
    while (sqlite3_step(st) == SQLITE_ROW) {
      const char* name = reinterpret_cast<const char*>(sqlite3_column_text(st, 1));
      const char* code = reinterpret_cast<const char*>(sqlite3_column_text(st, 5));
      c.AddRow(sqlite3_column_int(st, 0), std::string_view(name, static_cast<size_t>(sqlite3_column_bytes(st, 1))),
               sqlite3_column_double(st, 2), sqlite3_column_double(st, 3), sqlite3_column_int64(st, 4),
               std::string_view(code, static_cast<size_t>(sqlite3_column_bytes(st, 5))));
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    if (c.sum != expected) state.SkipWithError("SQLite read wrong values");
  }
}

// ---------------------------------------------------------------------------
// Memos

// Rows of an integer and a memo of 20 to 60 bytes, made once per size.
rda::TRdaDataSet& MemoTable(int n) {
  static std::map<int, std::unique_ptr<rda::TRdaDataSet>> tables;
  std::unique_ptr<rda::TRdaDataSet>& ds = tables[n];
  if (!ds) {
    ds = std::make_unique<rda::TRdaDataSet>();
    ds->AddField("Id", rda::ftInteger, 0);
    ds->AddField("Note", rda::ftMemo, 0);
    ds->Open();
    rda::TField& id = ds->FieldByName("Id");
    rda::TField& note = ds->FieldByName("Note");
    for (int i = 0; i < n; ++i) {
      ds->Append();
      id.SetAsInteger(i);
      note.SetAsString(std::string(static_cast<size_t>(20 + i % 41), static_cast<char>('a' + i % 26)));
      ds->Post();
    }
  }
  return *ds;
}

void ReadMemos(benchmark::State& state, int n) {
  rda::TRdaDataSet& ds = MemoTable(n);
  rda::TField& note = ds.FieldByName("Note");
  uint64_t expected = 0;
  for (int i = 0; i < n; ++i) expected += static_cast<uint64_t>(20 + i % 41);
  for (auto _ : state) {
    uint64_t bytes = 0;
    for (ds.First(); !ds.Eof(); ds.Next()) bytes += note.AsString().size();
    if (bytes != expected) state.SkipWithError("the memos read are wrong");
  }
}

void BM_ReadMemos10k(benchmark::State& state) { ReadMemos(state, kSmallMemoRows); }
void BM_ReadMemos100k(benchmark::State& state) { ReadMemos(state, kMemoRows); }

// ---------------------------------------------------------------------------
// Indexes and aggregates

constexpr int kSmallRows = 10000;
constexpr int kFindKeys = 1000;
constexpr int kEdits = 100000;

// A fixed random order of 0..n-1: the keys of the appends.
const std::vector<int>& Shuffled(int n) {
  static std::map<int, std::vector<int>> orders;
  std::vector<int>& order = orders[n];
  if (order.empty()) {
    order.resize(static_cast<size_t>(n));
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), std::mt19937(11));
  }
  return order;
}

// The texts of the first n source rows laid out in that random order, so that
// a run that appends them reads its input in sequence: gathering 35 MB of
// names at random would time the benchmark's own input rather than the engines.
struct ShuffledInput {
  std::vector<int> rows;
  std::string names;
  std::string codes;
  std::string_view Name(int k) const { return {&names[static_cast<size_t>(k) * kNameSize], kNameSize}; }
  std::string_view Code(int k) const { return {&codes[static_cast<size_t>(k) * kCodeSize], kCodeSize}; }
};

const ShuffledInput& ShuffledRows(int n) {
  static std::map<int, ShuffledInput> inputs;
  ShuffledInput& in = inputs[n];
  if (in.rows.empty()) {
    const Source& s = GetSource();
    in.rows = Shuffled(n);
    for (int i : in.rows) {
      in.names.append(s.Name(i));
      in.codes.append(s.Code(i));
    }
  }
  return in;
}

rda::TRdaIndex& AddIndex(rda::TRdaDataSet& ds, const char* name, const char* fields) {
  rda::TRdaIndex& index = ds.Indexes().Add();
  index.SetName(name);
  index.SetFields(fields);
  return index;
}

void DropIndex(rda::TRdaDataSet& ds, const char* name) {
  ds.Indexes().Delete(ds.Indexes().IndexOf(ds.Indexes().FindIndex(name)));
}

// The row of the index at position p holds source row p (the names ascend with i).
bool IndexHoldsTheNamesInOrder(const rda::TRdaIndex& index, const std::vector<int>& sources) {
  if (index.Count() != static_cast<int>(sources.size())) return false;
  const Source& s = GetSource();
  const int32_t nameField = 1;
  for (int p : {0, 1, index.Count() / 3, index.Count() / 2, index.Count() - 1}) {
    if (index.Row(p)->GetText(nameField) != s.Name(sources[static_cast<size_t>(p)])) return false;
  }
  return true;
}

std::vector<int> Sorted(int n) {
  std::vector<int> v(static_cast<size_t>(n));
  std::iota(v.begin(), v.end(), 0);
  return v;
}

void BM_IndexBuild(benchmark::State& state) {
  Table& t = SharedTable();
  for (auto _ : state) {
    state.PauseTiming();
    rda::TRdaIndex& index = AddIndex(*t.ds, "Build", "Name");
    state.ResumeTiming();
    index.SetActive(true);
    state.PauseTiming();
    if (!IndexHoldsTheNamesInOrder(index, Sorted(kRows))) state.SkipWithError("the index order is wrong");
    DropIndex(*t.ds, "Build");
    state.ResumeTiming();
  }
}

void BM_StdSortRowPointers(benchmark::State& state) {
  Table& t = SharedTable();
  const size_t offset = static_cast<size_t>(t.ds->Store()->FieldList().Items(1).Offset());
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<rda::TRdaDBListItem*> rows = t.ds->Store()->Rows();
    state.ResumeTiming();
    std::sort(rows.begin(), rows.end(), [offset](const rda::TRdaDBListItem* a, const rda::TRdaDBListItem* b) {
      return std::memcmp(a->Data() + offset, b->Data() + offset, kNameSize) < 0;
    });
    state.PauseTiming();
    if (rows.front()->RecordID() != 1 || rows.back()->RecordID() != kRows) state.SkipWithError("std::sort order is wrong");
    state.ResumeTiming();
  }
}

void BM_SqliteCreateIndex(benchmark::State& state) {
  Sqlite& db = SharedSqlite();
  for (auto _ : state) {
    db.Exec("CREATE INDEX bench_build ON t(Name)");
    state.PauseTiming();
    sqlite3_stmt* st = db.Prepare("SELECT count(*) FROM t INDEXED BY bench_build WHERE Name >= ''");
    const bool ok = sqlite3_step(st) == SQLITE_ROW && sqlite3_column_int(st, 0) == kRows;
    sqlite3_finalize(st);
    if (!ok) state.SkipWithError("SQLite's index is wrong");
    db.Exec("DROP INDEX bench_build");
    state.ResumeTiming();
  }
}

void AppendIndexed(benchmark::State& state, int n) {
  const ShuffledInput& in = ShuffledRows(n);
  for (auto _ : state) {
    state.PauseTiming();
    Table t = NewTable();
    AddIndex(*t.ds, "ByName", "Name").SetActive(true);
    state.ResumeTiming();
    for (int k = 0; k < n; ++k) {
      const int i = in.rows[static_cast<size_t>(k)];
      t.ds->Append();
      t.id->SetAsInteger(Source::Id(i));
      t.name->SetAsString(in.Name(k));
      t.amount->SetAsFloat(Source::Amount(i));
      t.day->SetAsDateTime(Source::Day(i));
      t.balance->SetAsCurrency(Source::Balance(i));
      t.code->SetAsString(in.Code(k));
      t.ds->Post();
    }
    state.PauseTiming();
    if (!IndexHoldsTheNamesInOrder(*t.ds->Indexes().FindIndex("ByName"), Sorted(n))) {
      state.SkipWithError("the maintained index is out of order");
    }
    t.ds.reset();
    state.ResumeTiming();
  }
  state.counters["ns/row"] = benchmark::Counter(static_cast<double>(n),
                                                benchmark::Counter::kIsIterationInvariantRate |
                                                    benchmark::Counter::kInvert);
}

void SqliteInsertIndexed(benchmark::State& state, int n) {
  const ShuffledInput& in = ShuffledRows(n);
  for (auto _ : state) {
    state.PauseTiming();
    auto db = std::make_unique<Sqlite>();
    db->Exec("CREATE INDEX by_name ON t(Name)");
    state.ResumeTiming();
    db->Exec("BEGIN");
    sqlite3_stmt* st = db->Prepare("INSERT INTO t VALUES (?, ?, ?, ?, ?, ?)");
    for (int k = 0; k < n; ++k) {
      const int i = in.rows[static_cast<size_t>(k)];
      sqlite3_bind_int(st, 1, Source::Id(i));
      sqlite3_bind_text(st, 2, in.Name(k).data(), kNameSize, SQLITE_STATIC);
      sqlite3_bind_double(st, 3, Source::Amount(i));
      sqlite3_bind_double(st, 4, Source::Day(i));
      sqlite3_bind_int64(st, 5, Source::Balance(i).Scaled);
      sqlite3_bind_text(st, 6, in.Code(k).data(), kCodeSize, SQLITE_STATIC);
      sqlite3_step(st);
      sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    db->Exec("COMMIT");
    state.PauseTiming();
    if (db->Count() != n) state.SkipWithError("SQLite row count is wrong");
    db.reset();
    state.ResumeTiming();
  }
}

void BM_AppendIndexed10k(benchmark::State& state) { AppendIndexed(state, kSmallRows); }
void BM_AppendIndexed1M(benchmark::State& state) { AppendIndexed(state, kRows); }
void BM_SqliteInsertIndexed1M(benchmark::State& state) { SqliteInsertIndexed(state, kRows); }

// SQLite with indexes on Name and Day, for the point lookups and GROUP BY.
Sqlite& IndexedSqlite() {
  static const std::unique_ptr<Sqlite> db = [] {
    auto d = std::make_unique<Sqlite>();
    d->Fill();
    d->Exec("CREATE INDEX by_name ON t(Name)");
    d->Exec("CREATE INDEX by_day ON t(Day)");
    return d;
  }();
  return *db;
}

// The shared table with the Name index selected.
Table& NameIndexedTable() {
  Table& t = SharedTable();
  if (!t.ds->Indexes().FindIndex("ByName")) AddIndex(*t.ds, "ByName", "Name").SetActive(true);
  t.ds->SetIndexName("ByName");
  return t;
}

// The rows of the point lookups, spread at random.
const std::vector<int>& LookupRows() {
  static const std::vector<int> rows = [] {
    std::vector<int> r(Shuffled(kRows).begin(), Shuffled(kRows).begin() + kFindKeys);
    return r;
  }();
  return rows;
}

void BM_FindKey(benchmark::State& state) {
  Table& t = NameIndexedTable();
  std::vector<rda::TVariantArray> keys;
  for (int row : LookupRows()) keys.push_back({rda::Variant(GetSource().Name(row))});
  for (auto _ : state) {
    for (size_t k = 0; k < keys.size(); ++k) {
      if (!t.ds->FindKey(keys[k]) || t.id->AsInteger() != LookupRows()[k]) {
        state.SkipWithError("FindKey found the wrong row");
      }
    }
  }
  state.counters["ns/key"] = benchmark::Counter(kFindKeys, benchmark::Counter::kIsIterationInvariantRate |
                                                               benchmark::Counter::kInvert);
}

void BM_LocateIndexed(benchmark::State& state) {
  Table& t = NameIndexedTable();
  std::vector<rda::Variant> keys;
  for (int row : LookupRows()) keys.emplace_back(GetSource().Name(row));
  for (auto _ : state) {
    for (size_t k = 0; k < keys.size(); ++k) {
      if (!t.ds->Locate("Name", keys[k]) || t.id->AsInteger() != LookupRows()[k]) {
        state.SkipWithError("Locate found the wrong row");
      }
    }
  }
  state.counters["ns/key"] = benchmark::Counter(kFindKeys, benchmark::Counter::kIsIterationInvariantRate |
                                                               benchmark::Counter::kInvert);
}

void BM_SqlitePointLookup(benchmark::State& state) {
  Sqlite& db = IndexedSqlite();
  const Source& s = GetSource();
  sqlite3_stmt* st = db.Prepare("SELECT Id FROM t WHERE Name = ?");
  for (auto _ : state) {
    for (int row : LookupRows()) {
      sqlite3_bind_text(st, 1, s.Name(row).data(), kNameSize, SQLITE_STATIC);
      if (sqlite3_step(st) != SQLITE_ROW || sqlite3_column_int(st, 0) != row) {
        state.SkipWithError("SQLite found the wrong row");
      }
      sqlite3_reset(st);
    }
  }
  sqlite3_finalize(st);
  state.counters["ns/key"] = benchmark::Counter(kFindKeys, benchmark::Counter::kIsIterationInvariantRate |
                                                               benchmark::Counter::kInvert);
}

// SUM(Amount) per Day over an index on Day.
rda::TRdaAggregate& AddDaySum(rda::TRdaDataSet& ds) {
  if (!ds.Indexes().FindIndex("ByDay")) AddIndex(ds, "ByDay", "Day").SetActive(true);
  if (rda::TRdaAggregate* a = ds.Aggregates().Find("DaySum")) return *a;
  rda::TRdaAggregate& sum = ds.Aggregates().Add();
  sum.SetName("DaySum");
  sum.SetAggKind(rda::akSum);
  sum.SetFieldName("Amount");
  sum.SetIndexName("ByDay");
  sum.SetLevel(1);
  sum.SetActive(true);
  return sum;
}

// The day sum of row i's group, added up row by row.
double ExpectedDaySum(int i, int rows) {
  double sum = 0;
  for (int j = i % 3650; j < rows; j += 3650) sum += Source::Amount(j);
  return sum;
}

bool DaySumsHold(Table& t, rda::TRdaAggregate& sum, int rows) {
  for (int i : {0, 1, 1234, rows - 1}) {
    const rda::TRdaDBListItem& row = *t.ds->Store()->Rows()[static_cast<size_t>(i)];
    if (sum.ValueOf(row).ToDouble() != ExpectedDaySum(i, rows)) return false;
  }
  return true;
}

void BM_GroupedSumRecompute(benchmark::State& state) {
  Table& t = SharedTable();
  t.ds->SetIndexName("");
  rda::TRdaAggregate& sum = AddDaySum(*t.ds);
  for (auto _ : state) {
    t.ds->Aggregates().RecomputeAll();
    state.PauseTiming();
    if (!DaySumsHold(t, sum, kRows)) state.SkipWithError("a day sum is wrong");
    state.ResumeTiming();
  }
}

void BM_SqliteGroupBy(benchmark::State& state) {
  Sqlite& db = IndexedSqlite();
  sqlite3_stmt* st = db.Prepare("SELECT Day, SUM(Amount) FROM t GROUP BY Day");
  for (auto _ : state) {
    int groups = 0;
    double first = -1;
    while (sqlite3_step(st) == SQLITE_ROW) {
      if (groups++ == 0) first = sqlite3_column_double(st, 1);
    }
    sqlite3_reset(st);
    if (groups != 3650 || first != ExpectedDaySum(0, kRows)) state.SkipWithError("SQLite's day sums are wrong");
  }
  sqlite3_finalize(st);
}

// kEdits edits of Amount: the first half adds 1 to rows in a random order,
// the second half takes it off again, so the table ends as it began.
void EditAmounts(Table& t, int rows) {
  const std::vector<int>& order = Shuffled(rows);
  for (int k = 0; k < kEdits; ++k) {
    const int i = order[static_cast<size_t>(k % (kEdits / 2)) % order.size()];
    t.ds->SetRecNo(i + 1);
    t.ds->Edit();
    t.amount->SetAsFloat(t.amount->AsFloat() + (k < kEdits / 2 ? 1.0 : -1.0));
    t.ds->Post();
  }
}

void CountEdits(benchmark::State& state) {
  state.counters["ns/edit"] = benchmark::Counter(kEdits, benchmark::Counter::kIsIterationInvariantRate |
                                                             benchmark::Counter::kInvert);
}

// The same edits with no index and no aggregate: what an edit costs in
// itself (finding the row, copying it, posting), at each size.
void PlainEdits(benchmark::State& state, Table& t, int rows) {
  t.ds->SetIndexName("");
  t.ds->Aggregates().Clear();
  t.ds->Indexes().Clear();
  for (auto _ : state) EditAmounts(t, rows);
  CountEdits(state);
}

void GroupedSumEdits(benchmark::State& state, Table& t, int rows) {
  t.ds->SetIndexName("");
  rda::TRdaAggregate& sum = AddDaySum(*t.ds);
  for (auto _ : state) {
    EditAmounts(t, rows);
    state.PauseTiming();
    if (!DaySumsHold(t, sum, rows)) state.SkipWithError("a day sum went wrong");
    state.ResumeTiming();
  }
  CountEdits(state);
}

Table SmallTable() {
  Table t = NewTable();
  const Source& s = GetSource();
  for (int i = 0; i < kSmallRows; ++i) {
    t.ds->AppendRecord({rda::Variant(Source::Id(i)), rda::Variant(s.Name(i)), rda::Variant(Source::Amount(i)),
                        rda::Variant::FromDate(Source::Day(i)), rda::Variant(Source::Balance(i)),
                        rda::Variant(s.Code(i))});
  }
  return t;
}

void BM_PlainEdits10k(benchmark::State& state) {
  Table t = SmallTable();
  PlainEdits(state, t, kSmallRows);
}

void BM_GroupedSumEdits10k(benchmark::State& state) {
  Table t = SmallTable();
  GroupedSumEdits(state, t, kSmallRows);
}

void BM_PlainEdits1M(benchmark::State& state) { PlainEdits(state, SharedTable(), kRows); }

void BM_GroupedSumEdits1M(benchmark::State& state) { GroupedSumEdits(state, SharedTable(), kRows); }

}  // namespace

BENCHMARK(BM_DataSetAppend)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SqliteInsert)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_DataSetScan)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_SqliteScan)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_DataSetLocate)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SqliteLocate)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Memory)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_IndexBuild)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_StdSortRowPointers)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SqliteCreateIndex)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_AppendIndexed10k)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_AppendIndexed1M)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_SqliteInsertIndexed1M)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_FindKey)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_LocateIndexed)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_SqlitePointLookup)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_GroupedSumRecompute)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_SqliteGroupBy)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_PlainEdits10k)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_GroupedSumEdits10k)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_PlainEdits1M)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_GroupedSumEdits1M)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ReadMemos10k)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_ReadMemos100k)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_SaveToStream)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_LoadFromStream)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_MemcpyStreamBytes)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_MemcpyStreamBytesToNewMemory)->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BM_SaveToFile)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_LoadFromFile)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_SqliteFileWrite)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SqliteFileRead)->Unit(benchmark::kMillisecond)->Iterations(3);

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

// Our time over a limit's (a plain sort), with the most it may be.
void Within(const rda::bench::Results& r, const char* what, const char* ours, const char* limit, double goal) {
  const double ratio = r.Ratio(ours, limit);
  if (ratio <= 0) return;
  std::printf("%s: %.2fx the time (goal <= %.1f: %s)\n", what, ratio, goal, ratio <= goal ? "met" : "missed");
}

// Time per unit of one run over another's.
void PerRow(const rda::bench::Results& r, const char* what, const char* big, int bigUnits, const char* small,
            int smallUnits, double goal) {
  const double a = r.Time(big) / bigUnits;
  const double b = r.Time(small) / smallUnits;
  if (a <= 0 || b <= 0) return;
  if (goal <= 0) {
    std::printf("%s: %.2f (%.0f ns and %.0f ns)\n", what, a / b, a * 1e6, b * 1e6);
    return;
  }
  std::printf("%s: %.2f (%.0f ns and %.0f ns; goal <= %.1f: %s)\n", what, a / b, a * 1e6, b * 1e6, goal,
              a / b <= goal ? "met" : "missed");
}

// What keeping the grouped SUM current adds to an edit, at both sizes: the
// edits with it less the same edits without it.
void Upkeep(const rda::bench::Results& r, int edits) {
  const double big = (r.Time("BM_GroupedSumEdits1M") - r.Time("BM_PlainEdits1M")) / edits * 1e6;
  const double small = (r.Time("BM_GroupedSumEdits10k") - r.Time("BM_PlainEdits10k")) / edits * 1e6;
  if (r.Time("BM_PlainEdits1M") <= 0 || r.Time("BM_PlainEdits10k") <= 0 || small <= 0) return;
  std::printf("Grouped SUM upkeep per edit (edits with it less edits without): %.0f ns at 1,000,000 rows, "
              "%.0f ns at 10,000: %.2f (goal: the same, <= 1.5: %s)\n",
              big, small, big / small, big / small <= 1.5 ? "met" : "missed");
}

}  // namespace

int main(int argc, char** argv) {
  return rda::bench::Run(argc, argv, rda::bench::Clock::kCpu, [](const rda::bench::Results& r) {
    SpeedUp(r, "Append + Post vs prepared INSERT", "BM_SqliteInsert", "BM_DataSetAppend", 3);
    SpeedUp(r, "Scan reading every field vs SELECT *", "BM_SqliteScan", "BM_DataSetScan", 3);
    SpeedUp(r, "Locate on unindexed text vs full-scan WHERE", "BM_SqliteLocate", "BM_DataSetLocate", 0);
    Within(r, "Index build on Name vs std::sort of the row pointers", "BM_IndexBuild", "BM_StdSortRowPointers", 1.5);
    SpeedUp(r, "Index build on Name vs CREATE INDEX", "BM_SqliteCreateIndex", "BM_IndexBuild", 2);
    SpeedUp(r, "1,000,000 appends under an index vs INSERT into an indexed table", "BM_SqliteInsertIndexed1M",
            "BM_AppendIndexed1M", 2);
    PerRow(r, "Appends under an index: time per row at 1,000,000 over at 10,000", "BM_AppendIndexed1M", kRows,
           "BM_AppendIndexed10k", kSmallRows, 2);
    SpeedUp(r, "FindKey vs indexed point lookup", "BM_SqlitePointLookup", "BM_FindKey", 4);
    SpeedUp(r, "Locate through the index vs indexed point lookup", "BM_SqlitePointLookup", "BM_LocateIndexed", 4);
    SpeedUp(r, "Grouped SUM from scratch vs GROUP BY", "BM_SqliteGroupBy", "BM_GroupedSumRecompute", 2);
    PerRow(r, "Edits under a grouped SUM: time per edit at 1,000,000 rows over at 10,000", "BM_GroupedSumEdits1M",
           kEdits, "BM_GroupedSumEdits10k", kEdits, 0);
    Upkeep(r, kEdits);
    PerRow(r, "Reading every memo: time per memo at 100,000 rows over at 10,000", "BM_ReadMemos100k", kMemoRows,
           "BM_ReadMemos10k", kSmallMemoRows, 2);
    // memcpy's time over ours: the share of the copying speed reached, against
    // a copy into memory already touched and into new memory.
    for (const char* bm : {"BM_SaveToStream", "BM_LoadFromStream"}) {
      const double warm = r.Ratio("BM_MemcpyStreamBytes", bm);
      const double fresh = r.Ratio("BM_MemcpyStreamBytesToNewMemory", bm);
      if (warm > 0 && fresh > 0) {
        std::printf("%s: %.2fx the speed of memcpy of the stream's bytes into touched memory, %.2fx into new "
                    "memory (goal >= 0.25: %s / %s)\n",
                    bm + 3, warm, fresh, warm >= 0.25 ? "met" : "missed", fresh >= 0.25 ? "met" : "missed");
      }
    }
    SpeedUp(r, "SaveToFile vs a new SQLite database file in one transaction", "BM_SqliteFileWrite",
            "BM_SaveToFile", 5);
    SpeedUp(r, "LoadFromFile vs reading the SQLite file back", "BM_SqliteFileRead", "BM_LoadFromFile", 5);
    const double ours = r.Time("BM_SaveToFile") + r.Time("BM_LoadFromFile");
    const double peer = r.Time("BM_SqliteFileWrite") + r.Time("BM_SqliteFileRead");
    if (ours > 0 && r.Time("BM_SqliteFileWrite") > 0 && r.Time("BM_SqliteFileRead") > 0) {
      std::printf("SaveToFile + LoadFromFile vs SQLite writing and reading back: dataset %.2fx faster (goal >= 5: %s)\n",
                  peer / ours, peer / ours >= 5 ? "met" : "missed");
    }
    if (g_imageSize > 0) {
      std::printf("Memory: %.1f bytes per row, row image %.0f bytes: %.3fx the image (goal <= 1.3: %s)\n",
                  g_bytesPerRow, g_imageSize, g_bytesPerRow / g_imageSize,
                  g_bytesPerRow / g_imageSize <= 1.3 ? "met" : "missed");
      std::printf("Memory: SQLite %.1f bytes per row: the dataset uses %.3fx SQLite's memory\n",
                  g_sqliteBytesPerRow, g_bytesPerRow / g_sqliteBytesPerRow);
    }
  });
}
