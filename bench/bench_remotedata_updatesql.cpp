// Update SQL for 100,000 logged changes: generating the statements with their
// parameters (the statement parameter list a transaction sends, and the text form),
// beside SQLite executing the same statements on a table of the same rows, each
// statement prepared, bound and run as a server does. Goal: generating is not the
// slow half (generation / execution < 1).
#include <sqlite3.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench/BenchReport.h"
#include "memdata/RdaAuditDataSet.h"
#include "remotedata/RdaUpdateSql.h"

namespace {

using namespace rda;

constexpr int kRows = 100000;

struct Fixture {
  std::unique_ptr<TRda2AuditDataset> ds = std::make_unique<TRda2AuditDataset>();
  TRdaConnectionSettings connection;
  TRdaUpdateSqlSettings settings;

  Fixture() {
    ds->AddField("CustomerID", ftInteger, 0);
    ds->AddField("Company", ftString, 40);
    ds->AddField("City", ftString, 30);
    ds->AddField("Price", ftFloat, 0);
    ds->SetUpdateMethod(umManual);
    ds->Open();
    for (int i = 1; i <= kRows; ++i) {
      ds->AppendRecord({Variant(i), Variant("Company " + std::to_string(i)), Variant("City " + std::to_string(i % 97)),
                        Variant(i * 0.25)});
    }
    ds->SetUpdateMethod(umCached);
    for (ds->First(); !ds->Eof(); ds->Next()) {
      ds->Edit();
      ds->FieldByName("Company").SetAsString("Changed " + ds->FieldByName("CustomerID").AsString());
      ds->FieldByName("Price").SetAsFloat(ds->FieldByName("Price").AsFloat() + 1);
      ds->Post();
    }
    connection.SQLOptions = {ssNoTableNameInUpdateStatements};
    settings.UpdateTableName = "Customers";
    settings.PrimeFields = {"CustomerID"};
  }
};

Fixture& TheFixture() {
  static Fixture f;
  return f;
}

void BM_GenerateStatementParams(benchmark::State& state) {
  Fixture& f = TheFixture();
  for (auto _ : state) {
    TRdaUpdateSqlWriter w(f.settings, f.connection);
    auto list = w.StatementParams(*f.ds);
    if (list->Count() != kRows) state.SkipWithError("wrong statement count");
    benchmark::DoNotOptimize(list);
  }
  state.SetItemsProcessed(state.iterations() * kRows);
}

void BM_GenerateStatementList(benchmark::State& state) {
  Fixture& f = TheFixture();
  for (auto _ : state) {
    TRdaUpdateSqlWriter w(f.settings, f.connection);
    auto lines = w.StatementList(*f.ds);
    if (lines.size() != kRows + 2) state.SkipWithError("wrong statement count");
    benchmark::DoNotOptimize(lines);
  }
  state.SetItemsProcessed(state.iterations() * kRows);
}

// The statements decoded once: SQL text and the values to bind.
struct Statement {
  std::string sql;
  std::string company;
  double price;
  int key;
};

void BM_SqliteExecute(benchmark::State& state) {
  Fixture& f = TheFixture();
  std::vector<Statement> statements;
  {
    TRdaUpdateSqlWriter w(f.settings, f.connection);
    auto list = w.StatementParams(*f.ds);
    for (int i = 0; i < list->Count(); ++i) {
      auto params = TRdaParamList::FromText(list->Items(i).AsString());
      statements.push_back({list->Items(i).Name(), params->ParamByName("Company").AsString(),
                            params->ParamByName("Price").AsFloat(), params->ParamByName("Key_CustomerID").AsInteger()});
    }
  }
  sqlite3* db = nullptr;
  sqlite3_open(":memory:", &db);
  sqlite3_exec(db, "CREATE TABLE Customers (CustomerID INTEGER PRIMARY KEY, Company TEXT, City TEXT, Price REAL)",
               nullptr, nullptr, nullptr);
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO Customers VALUES (?, ?, ?, ?)", -1, &insert, nullptr);
  for (int i = 1; i <= kRows; ++i) {
    const std::string company = "Company " + std::to_string(i);
    const std::string city = "City " + std::to_string(i % 97);
    sqlite3_bind_int(insert, 1, i);
    sqlite3_bind_text(insert, 2, company.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert, 3, city.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_double(insert, 4, i * 0.25);
    sqlite3_step(insert);
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);

  for (auto _ : state) {
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    int changed = 0;
    for (const Statement& s : statements) {
      sqlite3_stmt* st = nullptr;
      sqlite3_prepare_v2(db, s.sql.c_str(), static_cast<int>(s.sql.size()), &st, nullptr);
      sqlite3_bind_text(st, sqlite3_bind_parameter_index(st, ":Company"), s.company.c_str(),
                        static_cast<int>(s.company.size()), SQLITE_STATIC);
      sqlite3_bind_double(st, sqlite3_bind_parameter_index(st, ":Price"), s.price);
      sqlite3_bind_int(st, sqlite3_bind_parameter_index(st, ":Key_CustomerID"), s.key);
      if (sqlite3_step(st) == SQLITE_DONE) changed += sqlite3_changes(db);
      sqlite3_finalize(st);
    }
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    if (changed != kRows) state.SkipWithError("the statements did not each change one row");
  }
  sqlite3_close(db);
  state.SetItemsProcessed(state.iterations() * kRows);
}

BENCHMARK(BM_GenerateStatementParams)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_GenerateStatementList)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_SqliteExecute)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  return rda::bench::Run(argc, argv, rda::bench::Clock::kCpu, [](const rda::bench::Results& r) {
    const double params = r.Time("BM_GenerateStatementParams");
    if (params > 0) {
      std::printf("Generating %d UPDATE statements with their parameters: %.1f ms, %.0f statements per second\n",
                  kRows, params, kRows / (params / 1000));
    }
    const double ratio = r.Ratio("BM_GenerateStatementParams", "BM_SqliteExecute");
    std::printf("generation / SQLite executing them = %.2f (goal < 1: %s); text form / SQLite = %.2f\n", ratio,
                ratio > 0 && ratio < 1 ? "met" : "missed", r.Ratio("BM_GenerateStatementList", "BM_SqliteExecute"));
  });
}
