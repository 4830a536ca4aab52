// The server's database access: one interface, one implementation per engine.
//
// Database stands for the database the server was started on and hands out
// connections; each session works on its own SqlConnection on its own
// thread, so sessions run in parallel. OpenDatabase picks the engine from
// the --db text:
//   - a file path (or nothing, for a new in-memory database) is SQLite, the
//     embedded default (server/SqliteDatabase.h);
//   - a "postgresql://" or "postgres://" URI, or a libpq connection string
//     ("host=... dbname=..."), is PostgreSQL (server/PostgresDatabase.h).
//
// Every connection is bounded: a statement that runs past the query time
// limit (or past a server stop) is interrupted, values and SQL texts are
// limited to maxValueBytes, and a client cannot make the server open other
// files or databases.
//
// What differs between the engines' SQL is behind the connection as well:
// the catalogue queries of the metadata requests, the definition tables'
// schema, how a write transaction starts and how an inserted row is found.
// The rest of the server writes SQL both engines accept.
//
// Not thread-safe: a SqlConnection belongs to one thread at a time; Database
// may be shared (Connect is thread-safe).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/Exception.h"
#include "base/FieldType.h"
#include "server/RowPacket.h"

namespace rda {

class TRdaParamList;
class TRdaParamItem;

// A failure reported by the database, with the engine's own message (UTF-8).
RDA_DECLARE_EXCEPTION(ESqlError, Exception)

struct DatabaseLimits {
  std::chrono::milliseconds busyTimeout{5000};
  std::chrono::milliseconds queryTimeout{30000};
  int maxValueBytes = 64 * 1024 * 1024;
  // When set and true, running statements are interrupted (server stop).
  const std::atomic<bool>* cancel = nullptr;
};

enum class SqlEngine { kSqlite, kPostgres };

// How a parameter's value goes to the database, by its field type: the
// engines bind each kind in their own way.
enum class BindKind { kInteger, kBoolean, kFloat, kCurrency, kDecimal, kDate, kTime, kDateTime, kBytes, kText };
BindKind BindKindOf(TFieldType type);

// A request's SQL and the parameters to bind to it.
struct CatalogQuery {
  std::string sql;
  std::vector<std::pair<std::string, std::string>> texts;  // bound as text by name
};

// One prepared statement of an engine; see SqlStatement.
class SqlStatementImpl {
 public:
  virtual ~SqlStatementImpl() = default;
  // Runs the statement or fetches its next row: true with a row, false at
  // the end. Raises ESqlError.
  virtual bool Step() = 0;
  virtual int ColumnCount() const = 0;
  virtual std::string ColumnName(int i) const = 0;    // UTF-8
  virtual std::string DeclaredType(int i) const = 0;  // SQL type name; empty for an expression
  virtual SqlRow Row() const = 0;
  // The statement's parameters, 1-based, by name without the leading ':',
  // '@' or '$' (empty for a positional parameter).
  virtual int ParameterCount() const = 0;
  virtual std::string ParameterName(int index) const = 0;
  // Binds p's value (texts converted to UTF-8, dates as ISO text or the
  // engine's date types) to parameter `index`. Raises ESqlError.
  virtual void Bind(int index, const TRdaParamItem& p) = 0;
  // Makes the statement ready to run again; bound values are cleared.
  virtual void Reset() = 0;
};

// A prepared statement; a value that owns its engine statement.
class SqlStatement {
 public:
  SqlStatement() = default;
  explicit SqlStatement(std::unique_ptr<SqlStatementImpl> impl) : impl_(std::move(impl)) {}

  explicit operator bool() const { return impl_ != nullptr; }
  SqlStatementImpl* operator->() const { return impl_.get(); }

  int ColumnCount() const { return impl_ ? impl_->ColumnCount() : 0; }
  std::string ColumnName(int i) const { return impl_->ColumnName(i); }
  std::string DeclaredType(int i) const { return impl_->DeclaredType(i); }
  SqlRow Row() const { return impl_->Row(); }  // the current row's values

 private:
  std::unique_ptr<SqlStatementImpl> impl_;
};

class SqlConnection {
 public:
  virtual ~SqlConnection() = default;
  SqlConnection() = default;
  SqlConnection(const SqlConnection&) = delete;
  SqlConnection& operator=(const SqlConnection&) = delete;

  virtual SqlEngine Engine() const = 0;

  // Starts the query time limit for the next request.
  virtual void BeginRequest() = 0;

  // Prepares the statements of sql (UTF-8) one after the other; every
  // statement but the last is run to its end, the last is returned before
  // its first step. Parameters of params are bound by name (":name",
  // "@name" or "$name") to every statement that has them; SQL parameters
  // without a value stay NULL. Raises ESqlError with the engine's message, or
  // "Empty SQL statement" when sql holds no statement.
  virtual SqlStatement Prepare(std::string_view sql, const TRdaParamList* params) = 0;

  // Prepares exactly one statement, kept ready for many runs (bind by
  // index, Step, Reset). Raises ESqlError, or Exception "One statement per
  // line" when more follows it.
  virtual SqlStatement PrepareOne(std::string_view sql) = 0;

  // Steps the statement: true with a row, false at the end; raises
  // ESqlError (also when the time limit interrupted it).
  bool Step(SqlStatement& stmt) { return stmt->Step(); }

  // Runs a script of statements to its end; raises ESqlError.
  virtual void Execute(std::string_view sql) = 0;

  // The rows the last INSERT, UPDATE or DELETE changed.
  virtual int64_t Changes() = 0;
  // True while a transaction is open.
  virtual bool InTransaction() = 0;
  // Starts a transaction that will write: it takes what it needs to write
  // at once where the engine can, so that no statement fails half-way for
  // want of a lock.
  virtual void BeginWrite() = 0;
  // Whether `sql` is a whole statement: no literal, quoted name or comment
  // left open.
  virtual bool IsComplete(std::string_view sql) const = 0;

  // Whether the engine names every row by a row id. With row ids, the row
  // the last INSERT added is found by LastInsertCondition: a condition and the
  // value of its parameter :rda_rowid ("rowid = :rda_rowid"). Without them, an
  // INSERT whose row is wanted returns it itself (RETURNING *).
  virtual bool HasRowIds() const = 0;
  virtual std::pair<std::string, int64_t> LastInsertCondition() = 0;

  // A parameter that stands alone ("SELECT :p1 AS x"), where nothing around
  // it tells its type: as SQL that gives it the type of its value's field
  // type. Engines that type a parameter by its bound value return it as it is.
  virtual std::string TypedParameter(const std::string& param, TFieldType type) const = 0;

  virtual bool TableExists(std::string_view name) = 0;
  // The table's or view's name as the catalogue holds it, found without
  // regard to case (a quoted name must match it exactly on some engines);
  // empty when there is none.
  virtual std::string TableName(std::string_view name) = 0;
  // The table's column names in order (UTF-8); empty when there is no such table.
  virtual std::vector<std::string> TableColumns(std::string_view table) = 0;

  // The query that answers a metadata request code (100..126) with the
  // request's two strings (a: a table, procedure, method or provider name;
  // b: the provider name of 113). Codes that need more than SQL (111, 112,
  // 119, 126) and unknown codes give nothing.
  virtual std::optional<CatalogQuery> MetaDataQuery(int code, const std::string& a,
                                                    const std::string& b) const = 0;
  // The query that lists texts under one column name.
  virtual CatalogQuery TextListQuery(const std::string& column,
                                     const std::vector<std::string>& texts) const = 0;
};

// Events between the servers that share one database (provider broadcasts
// to the clients of the other servers). Publish hands an event to every
// other server's listener after the publisher's commit; a server does not
// hear its own events. Delivery is best effort: events published while a
// listener is cut off from the database are not delivered to it.
class EventChannel {
 public:
  virtual ~EventChannel() = default;
  // Publishes through the session's connection (outside a transaction).
  // Raises ESqlError.
  virtual void Publish(SqlConnection& db, const std::string& event) = 0;
  // Starts handing the other servers' events to `deliver`, on a thread of
  // the channel's own, until the channel is destroyed; `log` hears about
  // lost and regained connections.
  virtual void Listen(std::function<void(const std::string& event)> deliver,
                      std::function<void(const std::string& text)> log) = 0;
};

class Database {
 public:
  virtual ~Database() = default;
  Database() = default;
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // A new connection to the same database. Raises ESqlError.
  virtual std::unique_ptr<SqlConnection> Connect() const = 0;
  // Runs a script (for --init), every statement to its end. Raises ESqlError.
  virtual void RunScript(std::string_view sql) = 0;

  virtual SqlEngine Engine() const = 0;
  // The channel to the other servers on this database; nullptr where the
  // engine has none (an SQLite file is shared by no notification mechanism).
  virtual std::unique_ptr<EventChannel> OpenEventChannel() { return nullptr; }
  // How the database is named in messages (a file, "(in memory)", or a URI
  // without its password).
  virtual std::string Describe() const = 0;
  virtual const DatabaseLimits& Limits() const = 0;
};

// The script that makes the definition tables the server reads
// (ServerCatalog.h) where a database lacks them; the server runs it at start.
std::string_view DefinitionTablesScript(SqlEngine engine);

// True when `db` names a PostgreSQL database rather than an SQLite file.
bool IsPostgresTarget(std::string_view db);

// Opens the database `db` names (see above), creating an SQLite file when
// missing. Raises ESqlError.
std::unique_ptr<Database> OpenDatabase(const std::string& db, const DatabaseLimits& limits);

}  // namespace rda
