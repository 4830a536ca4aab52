#include "server/SqliteDatabase.h"

#include <sqlite3.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "base/CodePage.h"
#include "messaging/RdaParamList.h"

namespace rda {

namespace {

// How many virtual machine steps run between two looks at the clock.
constexpr int kProgressSteps = 1000;

std::atomic<int> memoryDatabaseCount{0};

// A client's SQL may read and write the database it was given, never
// attach another file.
int Authorize(void*, int action, const char*, const char*, const char*, const char*) {
  return action == SQLITE_ATTACH || action == SQLITE_DETACH ? SQLITE_DENY : SQLITE_OK;
}

bool IsSqlSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f'; }
bool Blank(std::string_view s) { return s.find_first_not_of(" \t\r\n\f") == std::string_view::npos; }

// Binds p's value to parameter `index` of stmt by p's data type (dates as ISO
// text, texts converted to UTF-8); returns SQLite's result code.
int BindParamValue(sqlite3_stmt* stmt, int index, const TRdaParamItem& p);

class SqliteConnection;

class SqliteStatement final : public SqlStatementImpl {
 public:
  SqliteStatement(SqliteConnection& db, sqlite3_stmt* stmt) : db_(db), stmt_(stmt) {}
  ~SqliteStatement() override { sqlite3_finalize(stmt_); }
  SqliteStatement(const SqliteStatement&) = delete;
  SqliteStatement& operator=(const SqliteStatement&) = delete;

  bool Step() override;
  int ColumnCount() const override { return sqlite3_column_count(stmt_); }
  std::string ColumnName(int i) const override {
    const char* name = sqlite3_column_name(stmt_, i);
    return name ? name : "";
  }
  std::string DeclaredType(int i) const override {
    const char* type = sqlite3_column_decltype(stmt_, i);
    return type ? type : "";
  }
  SqlRow Row() const override;
  int ParameterCount() const override { return sqlite3_bind_parameter_count(stmt_); }
  std::string ParameterName(int index) const override {
    const char* raw = sqlite3_bind_parameter_name(stmt_, index);
    return raw != nullptr && raw[0] != '?' ? raw + 1 : "";
  }
  void Bind(int index, const TRdaParamItem& p) override;
  void Reset() override {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }

  sqlite3_stmt* Get() const { return stmt_; }

 private:
  SqliteConnection& db_;
  sqlite3_stmt* stmt_;
};

class SqliteConnection final : public SqlConnection {
 public:
  SqliteConnection(const std::string& uri, const DatabaseLimits& limits);
  ~SqliteConnection() override { sqlite3_close_v2(db_); }

  SqlEngine Engine() const override { return SqlEngine::kSqlite; }
  void BeginRequest() override {
    deadline_ = std::chrono::steady_clock::now() + limits_.queryTimeout;
    timedOut_ = false;
  }
  SqlStatement Prepare(std::string_view sql, const TRdaParamList* params) override;
  SqlStatement PrepareOne(std::string_view sql) override;
  void Execute(std::string_view sql) override;
  int64_t Changes() override { return sqlite3_changes64(db_); }
  bool InTransaction() override { return sqlite3_get_autocommit(db_) == 0; }
  // Takes the write lock at once, so that the busy timeout covers waiting for
  // another writer.
  void BeginWrite() override { Execute("BEGIN IMMEDIATE"); }
  bool IsComplete(std::string_view sql) const override {
    std::string probe(sql);
    const size_t last = probe.find_last_not_of(" \t\r\n\f");
    if (last == std::string::npos || probe[last] != ';') probe += ";";
    return sqlite3_complete(probe.c_str()) != 0;
  }
  bool HasRowIds() const override { return true; }
  std::pair<std::string, int64_t> LastInsertCondition() override {
    return std::make_pair(std::string("rowid = :rda_rowid"), static_cast<int64_t>(sqlite3_last_insert_rowid(db_)));
  }
  std::string TypedParameter(const std::string& param, TFieldType) const override { return param; }
  bool TableExists(std::string_view name) override;
  std::string TableName(std::string_view name) override;
  std::vector<std::string> TableColumns(std::string_view table) override;
  std::optional<CatalogQuery> MetaDataQuery(int code, const std::string& a, const std::string& b) const override {
    return SqliteMetaDataQuery(code, a, b);
  }
  CatalogQuery TextListQuery(const std::string& column, const std::vector<std::string>& texts) const override {
    return SqliteTextListQuery(column, texts);
  }

  sqlite3* Handle() const { return db_; }
  [[noreturn]] void Fail(int code);

 private:
  static int Progress(void* self);
  // One statement with `text` bound to its parameter ?1.
  SqlStatement PrepareWithText(const char* sql, std::string_view text);
  void Bind(sqlite3_stmt* stmt, const TRdaParamList& params);

  sqlite3* db_ = nullptr;
  DatabaseLimits limits_;
  std::chrono::steady_clock::time_point deadline_{};
  bool timedOut_ = false;
};

class SqliteDatabase final : public Database {
 public:
  SqliteDatabase(const std::string& file, const DatabaseLimits& limits);

  std::unique_ptr<SqlConnection> Connect() const override {
    return std::make_unique<SqliteConnection>(uri_, limits_);
  }
  void RunScript(std::string_view sql) override;
  SqlEngine Engine() const override { return SqlEngine::kSqlite; }
  std::string Describe() const override { return inMemory_ ? "(in memory)" : file_; }
  const DatabaseLimits& Limits() const override { return limits_; }

 private:
  std::string file_;
  std::string uri_;
  bool inMemory_ = false;
  DatabaseLimits limits_;
  std::unique_ptr<SqliteConnection> anchor_;
};

}  // namespace

// ---- SqliteStatement ---------------------------------------------------------------

namespace {

bool SqliteStatement::Step() {
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  db_.Fail(rc);
}

SqlRow SqliteStatement::Row() const {
  const int n = ColumnCount();
  SqlRow row(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    SqlValue& v = row[static_cast<size_t>(i)];
    switch (sqlite3_column_type(stmt_, i)) {
      case SQLITE_INTEGER:
        v.storage = SqlValue::kInteger;
        v.integer = sqlite3_column_int64(stmt_, i);
        break;
      case SQLITE_FLOAT:
        v.storage = SqlValue::kReal;
        v.real = sqlite3_column_double(stmt_, i);
        break;
      case SQLITE_TEXT: {
        v.storage = SqlValue::kText;
        const auto* p = sqlite3_column_text(stmt_, i);
        const int len = sqlite3_column_bytes(stmt_, i);
        if (p) v.bytes.assign(reinterpret_cast<const char*>(p), static_cast<size_t>(len));
        break;
      }
      case SQLITE_BLOB: {
        v.storage = SqlValue::kBlob;
        const void* p = sqlite3_column_blob(stmt_, i);
        const int len = sqlite3_column_bytes(stmt_, i);
        if (p) v.bytes.assign(static_cast<const char*>(p), static_cast<size_t>(len));
        break;
      }
      default:
        break;
    }
  }
  return row;
}

void SqliteStatement::Bind(int index, const TRdaParamItem& p) {
  if (BindParamValue(stmt_, index, p) != SQLITE_OK) throw ESqlError(sqlite3_errmsg(db_.Handle()));
}

// ---- SqliteConnection --------------------------------------------------------------

SqliteConnection::SqliteConnection(const std::string& uri, const DatabaseLimits& limits) : limits_(limits) {
  const int rc = sqlite3_open_v2(uri.c_str(), &db_,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI |
                                     SQLITE_OPEN_NOMUTEX,
                                 nullptr);
  if (rc != SQLITE_OK) {
    const std::string message = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    sqlite3_close(db_);
    db_ = nullptr;
    throw ESqlError(message);
  }
  sqlite3_extended_result_codes(db_, 0);
  sqlite3_busy_timeout(db_, static_cast<int>(limits_.busyTimeout.count()));
  sqlite3_limit(db_, SQLITE_LIMIT_LENGTH, limits_.maxValueBytes);
  sqlite3_limit(db_, SQLITE_LIMIT_SQL_LENGTH, limits_.maxValueBytes);
  sqlite3_limit(db_, SQLITE_LIMIT_ATTACHED, 0);
  sqlite3_set_authorizer(db_, Authorize, nullptr);
  sqlite3_progress_handler(db_, kProgressSteps, Progress, this);
  RegisterCatalogFunctions(db_);
  BeginRequest();
}

int SqliteConnection::Progress(void* self) {
  auto* c = static_cast<SqliteConnection*>(self);
  if (c->limits_.cancel && c->limits_.cancel->load(std::memory_order_relaxed)) return 1;
  if (std::chrono::steady_clock::now() > c->deadline_) {
    c->timedOut_ = true;
    return 1;
  }
  return 0;
}

void SqliteConnection::Fail(int code) {
  if (code == SQLITE_INTERRUPT && timedOut_) {
    throw ESqlError("interrupted: the statement ran longer than the query time limit of " +
                    std::to_string(limits_.queryTimeout.count() / 1000) + " s");
  }
  throw ESqlError(sqlite3_errmsg(db_));
}

int BindParamValue(sqlite3_stmt* stmt, int index, const TRdaParamItem& p) {
  if (p.IsNull()) return sqlite3_bind_null(stmt, index);
  const BindKind kind = BindKindOf(p.DataType());
  switch (kind) {
    case BindKind::kInteger: return sqlite3_bind_int64(stmt, index, p.AsLargeint());
    case BindKind::kBoolean: return sqlite3_bind_int(stmt, index, p.AsBoolean() ? 1 : 0);
    case BindKind::kFloat:
    case BindKind::kCurrency: return sqlite3_bind_double(stmt, index, p.AsFloat());
    case BindKind::kDecimal: return sqlite3_bind_double(stmt, index, BcdToDouble(p.AsFMTBCD()));
    case BindKind::kDate:
    case BindKind::kTime:
    case BindKind::kDateTime: {
      // Dates are stored as ISO text, so a bound date compares with them.
      const TFieldType form = kind == BindKind::kDate ? ftDate : kind == BindKind::kTime ? ftTime : ftDateTime;
      const std::string iso = FormatIsoDateTime(p.AsDateTime(), form);
      return sqlite3_bind_text(stmt, index, iso.data(), static_cast<int>(iso.size()), SQLITE_TRANSIENT);
    }
    case BindKind::kBytes: {
      const std::string& bytes = p.StoredValue();
      return sqlite3_bind_blob64(stmt, index, bytes.data(), bytes.size(), SQLITE_TRANSIENT);
    }
    case BindKind::kText:
      break;
  }
  const std::string text = CodePageToUtf8(p.StoredValue());
  return sqlite3_bind_text64(stmt, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
}

void SqliteConnection::Bind(sqlite3_stmt* stmt, const TRdaParamList& params) {
  for (int i = 0; i < params.Count(); ++i) {
    const TRdaParamItem& p = params.Items(i);
    int index = 0;
    if (!p.Name().empty() && std::strchr(":@$", p.Name()[0]) != nullptr) {
      index = sqlite3_bind_parameter_index(stmt, CodePageToUtf8(p.Name()).c_str());
    } else {
      for (const char* prefix : {":", "@", "$"}) {
        index = sqlite3_bind_parameter_index(stmt, (prefix + CodePageToUtf8(p.Name())).c_str());
        if (index != 0) break;
      }
    }
    if (index == 0) continue;
    const int rc = BindParamValue(stmt, index, p);
    if (rc != SQLITE_OK) Fail(rc);
  }
}

SqlStatement SqliteConnection::Prepare(std::string_view sql, const TRdaParamList* params) {
  // SQLite reads a text only up to a zero byte, so that is where it ends.
  sql = sql.substr(0, sql.find('\0'));
  std::unique_ptr<SqliteStatement> last;
  const char* tail = sql.data();
  const char* end = sql.data() + sql.size();
  while (tail < end) {
    // Run the statement prepared before, now that another one follows.
    if (last) {
      while (last->Step()) {
      }
      last.reset();
    }
    sqlite3_stmt* stmt = nullptr;
    const char* next = nullptr;
    const int rc = sqlite3_prepare_v2(db_, tail, static_cast<int>(end - tail), &stmt, &next);
    if (rc != SQLITE_OK) Fail(rc);
    auto prepared = stmt != nullptr ? std::make_unique<SqliteStatement>(*this, stmt) : nullptr;
    if (next == nullptr || next <= tail) break;  // no progress: nothing more to read
    tail = next;
    if (!prepared) continue;  // only blanks or a comment
    if (params) Bind(prepared->Get(), *params);
    last = std::move(prepared);
    while (tail < end && IsSqlSpace(*tail)) ++tail;
  }
  if (!last) throw ESqlError("Empty SQL statement");
  return SqlStatement(std::move(last));
}

SqlStatement SqliteConnection::PrepareOne(std::string_view sql) {
  sqlite3_stmt* raw = nullptr;
  const char* tail = nullptr;
  const int rc = sqlite3_prepare_v3(db_, sql.data(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT,
                                    &raw, &tail);
  if (rc != SQLITE_OK) {
    sqlite3_finalize(raw);
    Fail(rc);
  }
  if (raw == nullptr) throw Exception("Empty SQL statement");
  SqlStatement stmt(std::make_unique<SqliteStatement>(*this, raw));
  if (tail != nullptr && !Blank(std::string_view(tail, static_cast<size_t>(sql.data() + sql.size() - tail))) &&
      std::string_view(tail).find_first_not_of("; \t\r\n\f") != std::string_view::npos)
    throw Exception("One statement per line");
  return stmt;
}

void SqliteConnection::Execute(std::string_view sql) {
  if (Blank(sql)) return;
  SqlStatement last = Prepare(sql, nullptr);
  while (Step(last)) {
  }
}

SqlStatement SqliteConnection::PrepareWithText(const char* sql, std::string_view text) {
  sqlite3_stmt* raw = nullptr;
  const int rc = sqlite3_prepare_v2(db_, sql, -1, &raw, nullptr);
  auto stmt = std::make_unique<SqliteStatement>(*this, raw);
  if (rc != SQLITE_OK) Fail(rc);
  sqlite3_bind_text(raw, 1, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  return SqlStatement(std::move(stmt));
}

bool SqliteConnection::TableExists(std::string_view name) {
  SqlStatement stmt =
      PrepareWithText("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1 COLLATE NOCASE", name);
  return Step(stmt);
}

std::string SqliteConnection::TableName(std::string_view name) {
  SqlStatement stmt = PrepareWithText(
      "SELECT name FROM sqlite_master WHERE type IN ('table', 'view') AND name = ?1 COLLATE NOCASE", name);
  return Step(stmt) ? stmt.Row().at(0).bytes : std::string();
}

std::vector<std::string> SqliteConnection::TableColumns(std::string_view table) {
  SqlStatement stmt = PrepareWithText("SELECT name FROM pragma_table_info(?1)", table);
  std::vector<std::string> columns;
  while (Step(stmt)) columns.push_back(stmt.Row().at(0).bytes);
  return columns;
}

// ---- SqliteDatabase ----------------------------------------------------------------

SqliteDatabase::SqliteDatabase(const std::string& file, const DatabaseLimits& limits)
    : file_(file), limits_(limits) {
  if (file.empty()) {
    inMemory_ = true;
    uri_ = "file:/rdaserver-" + std::to_string(getpid()) + "-" +
           std::to_string(memoryDatabaseCount.fetch_add(1)) + "?vfs=memdb";
  } else {
    // A URI keeps file names with '?' or '#' literal.
    char* uri = sqlite3_mprintf("file:%s", file.c_str());
    std::string encoded;
    for (const char* p = uri; *p; ++p) {
      if (*p == '?' || *p == '#' || *p == '%') {
        char buf[4];
        std::snprintf(buf, sizeof buf, "%%%02X", static_cast<unsigned char>(*p));
        encoded += buf;
      } else {
        encoded += *p;
      }
    }
    sqlite3_free(uri);
    uri_ = encoded;
  }
  anchor_ = std::make_unique<SqliteConnection>(uri_, limits_);
  if (!inMemory_) anchor_->Execute("PRAGMA journal_mode=WAL");
}

void SqliteDatabase::RunScript(std::string_view sql) {
  anchor_->BeginRequest();
  // sqlite3_exec runs every statement of a script, including trailing ones
  // after the last statement that returns rows.
  char* error = nullptr;
  const std::string text(sql);
  if (sqlite3_exec(anchor_->Handle(), text.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string message = error ? error : "script failed";
    sqlite3_free(error);
    throw ESqlError(message);
  }
}

}  // namespace

std::unique_ptr<Database> OpenSqliteDatabase(const std::string& file, const DatabaseLimits& limits) {
  return std::make_unique<SqliteDatabase>(file, limits);
}

}  // namespace rda
