#include "server/ServerDatabase.h"

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

// Parameter texts arrive in the system's code page; the database holds UTF-8.
std::string ToUtf8(const std::string& text) { return HasHighBytes(text) ? Cp1252ToUtf8(text) : text; }

}  // namespace

// ---- SqlStatement ------------------------------------------------------------------

SqlStatement::~SqlStatement() { sqlite3_finalize(stmt_); }

SqlStatement& SqlStatement::operator=(SqlStatement&& other) noexcept {
  if (this != &other) {
    sqlite3_finalize(stmt_);
    stmt_ = other.stmt_;
    other.stmt_ = nullptr;
  }
  return *this;
}

int SqlStatement::ColumnCount() const { return stmt_ ? sqlite3_column_count(stmt_) : 0; }

std::string SqlStatement::ColumnName(int i) const {
  const char* name = sqlite3_column_name(stmt_, i);
  return name ? name : "";
}

std::string SqlStatement::DeclaredType(int i) const {
  const char* type = sqlite3_column_decltype(stmt_, i);
  return type ? type : "";
}

SqlRow SqlStatement::Row() const {
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

// ---- SqlConnection -----------------------------------------------------------------

SqlConnection::SqlConnection(const std::string& uri, const DatabaseLimits& limits)
    : limits_(limits) {
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
  BeginRequest();
}

SqlConnection::~SqlConnection() { sqlite3_close_v2(db_); }

void SqlConnection::BeginRequest() {
  deadline_ = std::chrono::steady_clock::now() + limits_.queryTimeout;
  timedOut_ = false;
}

int SqlConnection::Progress(void* self) {
  auto* c = static_cast<SqlConnection*>(self);
  if (c->limits_.cancel && c->limits_.cancel->load(std::memory_order_relaxed)) return 1;
  if (std::chrono::steady_clock::now() > c->deadline_) {
    c->timedOut_ = true;
    return 1;
  }
  return 0;
}

void SqlConnection::Fail(int code) {
  if (code == SQLITE_INTERRUPT && timedOut_) {
    throw ESqlError("interrupted: the statement ran longer than the query time limit of " +
                    std::to_string(limits_.queryTimeout.count() / 1000) + " s");
  }
  throw ESqlError(sqlite3_errmsg(db_));
}

int BindParamValue(sqlite3_stmt* stmt, int index, const TRdaParamItem& p) {
  int rc = SQLITE_OK;
  if (p.IsNull()) {
    rc = sqlite3_bind_null(stmt, index);
  } else {
    switch (p.DataType()) {
      case ftSmallint:
      case ftInteger:
      case ftWord:
      case ftAutoInc:
      case ftLargeint:
        rc = sqlite3_bind_int64(stmt, index, p.AsLargeint());
        break;
      case ftBoolean:
        rc = sqlite3_bind_int(stmt, index, p.AsBoolean() ? 1 : 0);
        break;
      case ftFloat:
      case ftCurrency:
      case ftBCD:
        rc = sqlite3_bind_double(stmt, index, p.AsFloat());
        break;
      case ftFMTBcd:
        rc = sqlite3_bind_double(stmt, index, BcdToDouble(p.AsFMTBCD()));
        break;
      case ftDate:
      case ftTime:
      case ftDateTime:
      case ftTimeStamp: {
        // Dates are stored as ISO text, so a bound date compares with them.
        const TFieldType kind = p.DataType() == ftTimeStamp ? ftDateTime : p.DataType();
        const std::string iso = FormatIsoDateTime(p.AsDateTime(), kind);
        rc = sqlite3_bind_text(stmt, index, iso.data(), static_cast<int>(iso.size()),
                               SQLITE_TRANSIENT);
        break;
      }
      case ftBytes:
      case ftVarBytes:
      case ftBlob:
      case ftGraphic:
      case ftTypedBinary:
      case ftOraBlob: {
        const std::string& bytes = p.StoredValue();
        rc = sqlite3_bind_blob64(stmt, index, bytes.data(), bytes.size(), SQLITE_TRANSIENT);
        break;
      }
      default: {
        const std::string text = ToUtf8(p.StoredValue());
        rc = sqlite3_bind_text64(stmt, index, text.data(), text.size(), SQLITE_TRANSIENT,
                                 SQLITE_UTF8);
        break;
      }
    }
  }
  return rc;
}

void SqlConnection::Bind(sqlite3_stmt* stmt, const TRdaParamList& params) {
  for (int i = 0; i < params.Count(); ++i) {
    const TRdaParamItem& p = params.Items(i);
    int index = 0;
    if (!p.Name().empty() && std::strchr(":@$", p.Name()[0]) != nullptr) {
      index = sqlite3_bind_parameter_index(stmt, ToUtf8(p.Name()).c_str());
    } else {
      for (const char* prefix : {":", "@", "$"}) {
        index = sqlite3_bind_parameter_index(stmt, (prefix + ToUtf8(p.Name())).c_str());
        if (index != 0) break;
      }
    }
    if (index == 0) continue;
    const int rc = BindParamValue(stmt, index, p);
    if (rc != SQLITE_OK) Fail(rc);
  }
}

SqlStatement SqlConnection::Prepare(std::string_view sql, const TRdaParamList* params) {
  // SQLite reads a text only up to a zero byte, so that is where it ends.
  sql = sql.substr(0, sql.find('\0'));
  SqlStatement last;
  const char* tail = sql.data();
  const char* end = sql.data() + sql.size();
  while (tail < end) {
    // Run the statement prepared before, now that another one follows.
    if (last) {
      while (Step(last)) {
      }
      last = SqlStatement();
    }
    sqlite3_stmt* stmt = nullptr;
    const char* next = nullptr;
    const int rc = sqlite3_prepare_v2(db_, tail, static_cast<int>(end - tail), &stmt, &next);
    if (rc != SQLITE_OK) Fail(rc);
    SqlStatement prepared(stmt);
    if (next == nullptr || next <= tail) break;  // no progress: nothing more to read
    tail = next;
    if (!prepared) continue;  // only blanks or a comment
    if (params) Bind(prepared.Get(), *params);
    last = std::move(prepared);
    while (tail < end && IsSqlSpace(*tail)) ++tail;
  }
  if (!last) throw ESqlError("Empty SQL statement");
  return last;
}

bool SqlConnection::Step(SqlStatement& stmt) {
  const int rc = sqlite3_step(stmt.Get());
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  Fail(rc);
}

void SqlConnection::Execute(std::string_view sql) {
  if (sql.find_first_not_of(" \t\r\n\f") == std::string_view::npos) return;
  SqlStatement last = Prepare(sql, nullptr);
  while (Step(last)) {
  }
}

bool SqlConnection::TableExists(std::string_view name) {
  SqlStatement stmt = Prepare("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1 "
                              "COLLATE NOCASE", nullptr);
  sqlite3_bind_text(stmt.Get(), 1, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
  return Step(stmt);
}

// ---- Database ----------------------------------------------------------------------

Database::Database(const std::string& file, const DatabaseLimits& limits) : limits_(limits) {
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
  anchor_ = std::make_unique<SqlConnection>(uri_, limits_);
  if (!inMemory_) anchor_->Execute("PRAGMA journal_mode=WAL");
}

Database::~Database() = default;

std::unique_ptr<SqlConnection> Database::Connect() const {
  return std::make_unique<SqlConnection>(uri_, limits_);
}

void Database::RunScript(std::string_view sql) {
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

}  // namespace rda
