// The server's SQLite side: one shared database and a connection per session.
//
// Database owns the database (a file, or an in-memory database when no file
// is named) and hands out connections. Each session works on its own
// connection on its own thread, so sessions run in parallel:
//   - a file database is switched to WAL mode, so readers never wait for a
//     writer and a writer waits for another writer up to the busy timeout;
//   - the in-memory database is SQLite's "memdb" database under a name
//     unique to this Database object, which every connection of the process
//     can open; the Database keeps one connection of its own open for its
//     whole life, since the memory goes away with the last connection. It
//     uses rollback-journal locking with the same busy timeout.
//
// Every connection is bounded: a statement that runs past the query time
// limit (or past a server stop) is interrupted, values and SQL texts are
// limited to kMaxValueBytes, and ATTACH / DETACH are refused, so a client
// cannot make the server open or create other files.
//
// Not thread-safe: a SqlConnection belongs to one thread at a time; Database
// may be shared (Connect is thread-safe).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/Exception.h"
#include "server/RowPacket.h"

struct sqlite3;
struct sqlite3_stmt;

namespace rda {

class TRdaParamList;
class TRdaParamItem;

// A failure reported by the database, with SQLite's own message (UTF-8).
RDA_DECLARE_EXCEPTION(ESqlError, Exception)

struct DatabaseLimits {
  std::chrono::milliseconds busyTimeout{5000};
  std::chrono::milliseconds queryTimeout{30000};
  int maxValueBytes = 64 * 1024 * 1024;
  // When set and true, running statements are interrupted (server stop).
  const std::atomic<bool>* cancel = nullptr;
};

// Binds p's value to parameter `index` of stmt by p's data type (dates as ISO
// text, texts converted to UTF-8); returns SQLite's result code.
int BindParamValue(sqlite3_stmt* stmt, int index, const TRdaParamItem& p);

// A prepared statement; finalized when destroyed.
class SqlStatement {
 public:
  SqlStatement() = default;
  explicit SqlStatement(sqlite3_stmt* stmt) : stmt_(stmt) {}
  ~SqlStatement();
  SqlStatement(SqlStatement&& other) noexcept : stmt_(other.stmt_) { other.stmt_ = nullptr; }
  SqlStatement& operator=(SqlStatement&& other) noexcept;
  SqlStatement(const SqlStatement&) = delete;
  SqlStatement& operator=(const SqlStatement&) = delete;

  sqlite3_stmt* Get() const { return stmt_; }
  explicit operator bool() const { return stmt_ != nullptr; }

  int ColumnCount() const;
  std::string ColumnName(int i) const;      // UTF-8
  std::string DeclaredType(int i) const;    // empty for an expression
  SqlRow Row() const;                       // the current row's values

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

class SqlConnection {
 public:
  // Opens uri (an SQLite URI) with the limits; raises ESqlError.
  SqlConnection(const std::string& uri, const DatabaseLimits& limits);
  ~SqlConnection();
  SqlConnection(const SqlConnection&) = delete;
  SqlConnection& operator=(const SqlConnection&) = delete;

  // Starts the query time limit for the next request.
  void BeginRequest();

  // Prepares the statements of sql (UTF-8) one after the other; every
  // statement but the last is run to its end, the last is returned before
  // its first step. Parameters of params are bound by name (":name",
  // "@name" or "$name") to every statement that has them; SQL parameters
  // without a value stay NULL. Raises ESqlError with SQLite's message, or
  // "Empty SQL statement" when sql holds no statement.
  SqlStatement Prepare(std::string_view sql, const TRdaParamList* params);

  // Steps the statement: true with a row, false at the end; raises
  // ESqlError (also when the time limit interrupted it).
  bool Step(SqlStatement& stmt);

  // Runs a script of statements to its end; raises ESqlError.
  void Execute(std::string_view sql);

  bool TableExists(std::string_view name);

  sqlite3* Handle() const { return db_; }

 private:
  [[noreturn]] void Fail(int code);
  static int Progress(void* self);
  void Bind(sqlite3_stmt* stmt, const TRdaParamList& params);

  sqlite3* db_ = nullptr;
  DatabaseLimits limits_;
  std::chrono::steady_clock::time_point deadline_{};
  bool timedOut_ = false;
};

class Database {
 public:
  // Opens (creating when missing) the file, or a new in-memory database
  // when file is empty. Raises ESqlError.
  Database(const std::string& file, const DatabaseLimits& limits);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // A new connection to the same database. Raises ESqlError.
  std::unique_ptr<SqlConnection> Connect() const;

  // Runs a script (for --init) on the database's own connection.
  void RunScript(std::string_view sql);

  bool InMemory() const { return inMemory_; }
  const DatabaseLimits& Limits() const { return limits_; }

 private:
  std::string uri_;
  bool inMemory_ = false;
  DatabaseLimits limits_;
  std::unique_ptr<SqlConnection> anchor_;
};

}  // namespace rda
