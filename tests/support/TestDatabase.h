// The database a test starts rdaserver on, on the engine the test run is for:
// SQLite (the default) or PostgreSQL when RDA_TEST_BACKEND=postgres.
//
//   rda::test::TestDatabase db;                       // a fresh, empty database
//   db.Script("CREATE TABLE Items (Id INTEGER PRIMARY KEY, Name VARCHAR(40))");
//   rda::test::ServerProcess server(db.ServerArgs({"--port", "0"}));
//   auto rows = db.Rows("SELECT Name FROM Items ORDER BY Id");  // as text
//
// SQLite: a file in a scratch folder of its own, removed with the object.
// PostgreSQL: a new database in the test cluster, named after the process
// and a counter. The cluster is the one the test run started (ctest's
// fixture writes its URI to $RDA_TEST_PG_DIR/uri), else a private cluster
// this process starts on first use and stops at its end (PostgresCluster.h).
// A cluster that cannot start fails the test with PostgreSQL's own message:
// nothing is skipped.
//
// Script and Rows work through a connection of the test's own, beside the
// server's; Rows gives every value as text, NULL as `null`. The demonstration
// script for the engine is DemoScript().
#pragma once

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/PostgresCluster.h"

#ifndef RDA_TEST_DATA_DIR
#error "TestDatabase.h needs RDA_TEST_DATA_DIR"
#endif

namespace rda::test {

enum class Backend { kSqlite, kPostgres };

// The engine of this test run, from RDA_TEST_BACKEND ("sqlite" or "postgres").
inline Backend TestBackend() {
  const char* name = std::getenv("RDA_TEST_BACKEND");
  if (name == nullptr || *name == '\0' || std::string(name) == "sqlite") return Backend::kSqlite;
  if (std::string(name) == "postgres") return Backend::kPostgres;
  throw std::runtime_error("RDA_TEST_BACKEND must be sqlite or postgres, not " + std::string(name));
}
inline bool OnPostgres() { return TestBackend() == Backend::kPostgres; }

// An unquoted name as the engine keeps it: PostgreSQL folds it to lower case
// (a result's column "Id" of "SELECT Id" is "id" there).
inline std::string Folded(std::string name) {
  if (OnPostgres())
    for (char& c : name) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return name;
}

// The engine's text for the same fault: SQLite's or PostgreSQL's.
inline std::string EngineText(const std::string& sqlite, const std::string& postgres) {
  return OnPostgres() ? postgres : sqlite;
}

using TextRows = std::vector<std::vector<std::string>>;

namespace detail {

// An open libpq connection, closed with the object; raises on failure.
class PgConnection {
 public:
  explicit PgConnection(const std::string& uri) : conn_(PQconnectdb(uri.c_str())) {
    if (PQstatus(conn_) != CONNECTION_OK) {
      const std::string message = PQerrorMessage(conn_);
      PQfinish(conn_);
      throw std::runtime_error("cannot connect to " + uri + ": " + message);
    }
    PQsetNoticeProcessor(conn_, [](void*, const char*) {}, nullptr);
  }
  ~PgConnection() { PQfinish(conn_); }
  PgConnection(const PgConnection&) = delete;
  PgConnection& operator=(const PgConnection&) = delete;

  // Runs sql (one or more statements); the last statement's rows as text.
  TextRows Run(const std::string& sql, const char* null) {
    TextRows rows;
    if (PQsendQuery(conn_, sql.c_str()) == 0) throw std::runtime_error(PQerrorMessage(conn_));
    std::string error;
    while (PGresult* r = PQgetResult(conn_)) {
      const ExecStatusType status = PQresultStatus(r);
      if (status == PGRES_TUPLES_OK) {
        rows.clear();
        for (int i = 0; i < PQntuples(r); ++i) {
          std::vector<std::string> row;
          for (int j = 0; j < PQnfields(r); ++j)
            row.emplace_back(PQgetisnull(r, i, j) ? null : PQgetvalue(r, i, j));
          rows.push_back(std::move(row));
        }
      } else if (status != PGRES_COMMAND_OK && error.empty()) {
        error = PQresultErrorMessage(r);
      }
      PQclear(r);
    }
    if (!error.empty()) throw std::runtime_error(error);
    return rows;
  }

 private:
  PGconn* conn_;
};

// The URI of the test cluster's maintenance database, ending in "/postgres":
// the cluster of the test run when it answers, else this process's own.
inline const std::string& PostgresAdminUri() {
  static const std::string uri = []() -> std::string {
    const char* dir = std::getenv("RDA_TEST_PG_DIR");
#ifdef RDA_TEST_PG_CLUSTER
    if (dir == nullptr || *dir == '\0') dir = RDA_TEST_PG_CLUSTER;
#endif
    if (dir != nullptr && *dir != '\0') {
      std::ifstream in(std::filesystem::path(dir) / "uri");
      std::string line;
      if (std::getline(in, line) && !line.empty()) {
        PGconn* probe = PQconnectdb(line.c_str());
        const bool up = PQstatus(probe) == CONNECTION_OK;
        PQfinish(probe);
        if (up) return line;
      }
    }
    static PostgresCluster cluster;  // this process's own, stopped at exit
    return cluster.Uri();
  }();
  return uri;
}

}  // namespace detail

class TestDatabase {
 public:
  TestDatabase() {
    static std::atomic<int> counter{0};
    const std::string name = "rda_" + std::to_string(getpid()) + "_" + std::to_string(counter++);
    if (OnPostgres()) {
      const std::string& admin = detail::PostgresAdminUri();
      detail::PgConnection(admin).Run("CREATE DATABASE " + name, "");
      target_ = admin.substr(0, admin.rfind('/') + 1) + name;
    } else {
      dir_ = std::make_unique<TempDir>("rda-db-");
      target_ = dir_->File("test.db");
    }
  }
  TestDatabase(const TestDatabase&) = delete;
  TestDatabase& operator=(const TestDatabase&) = delete;

  // What --db names: the SQLite file or the PostgreSQL URI.
  const std::string& Target() const { return target_; }

  // args with "--db TARGET" added.
  std::vector<std::string> ServerArgs(std::vector<std::string> args) const {
    args.push_back("--db");
    args.push_back(target_);
    return args;
  }

  // Runs a script of statements; a failure fails the test with the engine's message.
  void Script(const std::string& sql) const {
    if (OnPostgres()) {
      try {
        detail::PgConnection(target_).Run(sql, "");
      } catch (const std::exception& e) {
        ADD_FAILURE() << e.what() << "\n  in: " << sql;
      }
      return;
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(target_.c_str(), &db), SQLITE_OK);
    sqlite3_busy_timeout(db, 10000);
    char* error = nullptr;
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
    const std::string message = error ? error : "";
    sqlite3_free(error);
    sqlite3_close(db);
    EXPECT_EQ(rc, SQLITE_OK) << message << "\n  in: " << sql;
  }

  // The rows of a query, every value as text (`null` for NULL).
  TextRows Rows(const std::string& sql, const char* null = "") const {
    if (OnPostgres()) {
      try {
        return detail::PgConnection(target_).Run(sql, null);
      } catch (const std::exception& e) {
        ADD_FAILURE() << e.what() << "\n  in: " << sql;
        return {};
      }
    }
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open_v2(target_.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_busy_timeout(db, 10000);
    sqlite3_stmt* stmt = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    TextRows rows;
    while (stmt != nullptr && sqlite3_step(stmt) == SQLITE_ROW) {
      std::vector<std::string> row;
      for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
        const unsigned char* t = sqlite3_column_text(stmt, i);
        row.emplace_back(t != nullptr ? reinterpret_cast<const char*>(t) : null);
      }
      rows.push_back(std::move(row));
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return rows;
  }

  // The demonstration script for this run's engine.
  static std::string DemoScript() {
    return std::string(RDA_TEST_DATA_DIR) + "/../../server/" + (OnPostgres() ? "demo.postgres.sql" : "demo.sql");
  }

 private:
  std::unique_ptr<TempDir> dir_;  // SQLite's file
  std::string target_;
};

}  // namespace rda::test
