#include "server/PostgresDatabase.h"

#include <libpq-fe.h>
#include <poll.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <deque>
#include <unordered_map>

#include "base/Bcd.h"
#include "base/CodePage.h"
#include "base/Text.h"
#include "base/Currency.h"
#include "base/FormatSettings.h"
#include "messaging/RdaParamList.h"
#include "server/PostgresEvents.h"
#include "server/PostgresCatalog.h"
#include "server/SqlText.h"

namespace rda {

namespace {

// How often a wait for PostgreSQL looks at the server-stop flag and the clock.
constexpr int kPollMillis = 50;
// How long a cancelled statement may take to end before its connection is dropped.
constexpr std::chrono::seconds kCancelGrace{10};
// Prepared statements a connection keeps for texts it runs again.
constexpr size_t kStatementCacheSize = 128;

// Type OIDs of PostgreSQL's built-in types (pg_type.dat; fixed for good).
enum : Oid {
  kBoolOid = 16, kByteaOid = 17, kCharOid = 18, kNameOid = 19, kInt8Oid = 20, kInt2Oid = 21,
  kInt4Oid = 23, kTextOid = 25, kOidOid = 26, kFloat4Oid = 700, kFloat8Oid = 701, kUnknownOid = 705,
  kMoneyOid = 790, kBpcharOid = 1042, kVarcharOid = 1043, kDateOid = 1082, kTimeOid = 1083,
  kTimestampOid = 1114, kTimestampTzOid = 1184, kTimeTzOid = 1266, kNumericOid = 1700, kUuidOid = 2950
};

// The first line of libpq's message, without its "ERROR:  " prefix.
std::string FirstLine(const char* message) {
  std::string text = message ? message : "";
  text = text.substr(0, text.find('\n'));
  for (const char* prefix : {"ERROR:  ", "FATAL:  "})
    if (text.rfind(prefix, 0) == 0) text = text.substr(std::strlen(prefix));
  while (!text.empty() && (text.back() == ' ' || text.back() == '\r')) text.pop_back();
  return text.empty() ? "the database connection failed" : text;
}

std::string ResultMessage(const PGresult* res, PGconn* conn) {
  const char* primary = res ? PQresultErrorField(res, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
  if (primary != nullptr && *primary != '\0') return primary;
  return FirstLine(PQerrorMessage(conn));
}

// numeric(p,s) reads back p and s from its modifier.
int NumericPrecision(int typmod) { return ((typmod - 4) >> 16) & 0xffff; }
int NumericScale(int typmod) { return (((typmod - 4) & 0x7ff) ^ 1024) - 1024; }

bool IsIntegerNumeric(Oid type, int typmod) {
  return type == kNumericOid && typmod >= 4 && NumericScale(typmod) <= 0 && NumericPrecision(typmod) <= 18;
}

// money's text in the C locale is "-$1,234.56": the number without the
// currency sign and the group separators.
std::string MoneyText(std::string_view text) {
  std::string out;
  for (const char c : text)
    if ((c >= '0' && c <= '9') || c == '.' || c == '-') out += c;
  return out;
}

// A zone suffix "+HH" as ParseIsoDateTime reads it ("+HH:MM").
std::string ZonedText(std::string_view text) {
  std::string out(text);
  const size_t sign = out.find_last_of("+-");
  if (sign != std::string::npos && sign >= 8 && out.size() - sign == 3) out += ":00";
  return out;
}

struct PgColumn {
  std::string name;
  Oid type = 0;
  int typmod = -1;
  bool expression = false;
};

// A statement prepared on the server under `name`, shared by the
// SqlStatements of the same text.
struct PgPrepared {
  std::string name;
  std::string sql;  // numbered
  std::string key;  // in the connection's cache
  std::vector<std::string> paramNames;
  std::vector<PgColumn> columns;
  uint64_t generation = 0;  // of the connection it was prepared on
  uint64_t epoch = 0;       // the connection's schema changes before it
  uint64_t lastUse = 0;
};

class PgStatement;

class PgConnection final : public SqlConnection {
 public:
  PgConnection(std::string conninfo, const DatabaseLimits& limits)
      : conninfo_(std::move(conninfo)), limits_(limits), self_(std::make_shared<PgConnection*>(this)) {
    BeginRequest();
    // While PostgreSQL cannot be reached (a restart), the session still
    // starts: its statements fail with libpq's message until it is back.
    try {
      Open();
    } catch (const ESqlError&) {
    }
  }
  ~PgConnection() override {
    if (conn_) PQfinish(conn_);
  }

  SqlEngine Engine() const override { return SqlEngine::kPostgres; }

  void BeginRequest() override {
    deadline_ = std::chrono::steady_clock::now() + limits_.queryTimeout;
  }

  SqlStatement Prepare(std::string_view sql, const TRdaParamList* params) override;
  SqlStatement PrepareOne(std::string_view sql) override;
  void Execute(std::string_view sql) override;

  int64_t Changes() override { return changes_; }
  bool InTransaction() override {
    if (!conn_) return false;
    PGTransactionStatusType s = PQtransactionStatus(conn_);
    if (s == PQTRANS_ACTIVE) s = idleStatus_;
    return s == PQTRANS_INTRANS || s == PQTRANS_INERROR;
  }
  // READ COMMITTED: every statement sees what was committed before it began,
  // and an UPDATE or DELETE that meets a row another transaction changed
  // waits for it and checks its condition again on the new row. So a
  // client's optimistic "WHERE key = old values" finds the row changed
  // (nothing updated: a conflict the apply code reports), never a
  // serialization failure the client would have to retry.
  void BeginWrite() override { Execute("BEGIN"); }
  bool IsComplete(std::string_view sql) const override { return SqlTextComplete(sql); }
  bool HasRowIds() const override { return false; }
  std::pair<std::string, int64_t> LastInsertCondition() override {
    throw ESqlError("PostgreSQL has no row ids: an inserted row comes back by RETURNING");
  }

  std::string TypedParameter(const std::string& param, TFieldType type) const override;
  bool TableExists(std::string_view name) override { return !TableColumns(name).empty(); }
  std::vector<std::string> TableColumns(std::string_view table) override;
  std::string TableName(std::string_view name) override;

  std::optional<CatalogQuery> MetaDataQuery(int code, const std::string& a,
                                            const std::string& b) const override {
    return PostgresMetaDataQuery(code, a, b);
  }
  CatalogQuery TextListQuery(const std::string& column, const std::vector<std::string>& texts) const override {
    return PostgresTextListQuery(column, texts);
  }

  // ---- for PgStatement -------------------------------------------------------------

  const DatabaseLimits& Limits() const { return limits_; }
  // What statements hold: it expires with the connection, so a statement
  // that outlives its connection fails instead of reaching into freed memory.
  std::weak_ptr<PgConnection*> Link() const { return self_; }

  // Makes the connection free for `owner` to send a command: an open result
  // of another statement is read into that statement's memory, one left by
  // a statement that went away is read and dropped. Reopens a dropped
  // connection when no transaction was open on it.
  void Claim(PgStatement* owner);
  void Release(PgStatement* owner) {
    if (active_ == owner) active_ = nullptr;
  }
  // The statement went away or was reset while its result was open.
  void Abandon(PgStatement* owner) {
    if (active_ == owner) {
      active_ = nullptr;
      abandoned_ = true;
    }
  }

  // The next result of the running command, waiting with the time limit and
  // the server-stop flag; nullptr when the command is over. An interrupted
  // command still ends with its results (PostgreSQL's cancel error), which
  // Interrupted() then names.
  PGresult* NextResult();
  // The error to raise for a failed result: the interruption when one was
  // asked for, else PostgreSQL's message.
  std::string FailureText(const PGresult* res) const;
  [[noreturn]] void Fail(const PGresult* res) { throw ESqlError(FailureText(res)); }
  // Reads the rest of the running command's results and drops them.
  void Drain();
  void NoteCommand(const PGresult* res) {
    const char* tag = PQcmdStatus(const_cast<PGresult*>(res));
    if (tag == nullptr) return;
    for (const char* k : {"INSERT", "UPDATE", "DELETE", "MERGE"}) {
      if (std::strncmp(tag, k, std::strlen(k)) == 0) {
        const char* n = PQcmdTuples(const_cast<PGresult*>(res));
        changes_ = n && *n ? std::strtoll(n, nullptr, 10) : 0;
        return;
      }
    }
    // A statement prepared before a change of the schema may describe
    // columns that are no more: the texts run after it are prepared again.
    for (const char* k : {"CREATE", "ALTER", "DROP"})
      if (std::strncmp(tag, k, std::strlen(k)) == 0) ++schemaEpoch_;
  }
  // PostgreSQL refused to run a kept statement ("cached plan must not change
  // result type": another session changed a table under it); its text is
  // prepared again next time.
  void Forget(const PgPrepared& p) {
    auto it = cache_.find(p.key);
    if (it != cache_.end() && it->second.get() == &p) cache_.erase(it);
  }
  void CommandDone() {
    interrupt_ = Interrupt::kNone;
    if (conn_) idleStatus_ = PQtransactionStatus(conn_);
  }

  PGconn* Handle() { return conn_; }
  uint64_t Generation() const { return generation_; }
  // The server-side statement for a numbered text: from the cache, or
  // prepared and described now.
  std::shared_ptr<PgPrepared> Prepared(const NumberedSql& numbered);

 private:
  enum class Interrupt { kNone, kTimeout, kStop };

  void Open();
  void EnsureOpen();
  // True when PostgreSQL ended the connection while no command and no
  // transaction was open on it (a restart, a terminated backend): it is
  // opened again before the next command, which would fail on it.
  bool DroppedWhileIdle();
  void CheckInterrupt();
  // Runs one statement to its end with the values of params (by name).
  void RunToEnd(const NumberedSql& numbered, const TRdaParamList* params);
  // Drops cached statements beyond the cache's size that no SqlStatement holds.
  void Evict();

  std::string conninfo_;
  DatabaseLimits limits_;
  PGconn* conn_ = nullptr;
  uint64_t generation_ = 0;
  uint64_t schemaEpoch_ = 0;
  std::chrono::steady_clock::time_point deadline_{};
  Interrupt interrupt_ = Interrupt::kNone;
  std::chrono::steady_clock::time_point cancelledAt_{};
  PGTransactionStatusType idleStatus_ = PQTRANS_IDLE;
  int64_t changes_ = 0;
  PgStatement* active_ = nullptr;
  bool abandoned_ = false;
  static std::string CacheKey(const NumberedSql& numbered);
  std::unordered_map<std::string, std::shared_ptr<PgPrepared>> cache_;
  std::vector<std::string> unused_;  // statement names to deallocate
  uint64_t nextName_ = 0;
  uint64_t useClock_ = 0;
  std::shared_ptr<PgConnection*> self_;
};

// One bound value as libpq takes it.
struct PgValue {
  bool null = true;
  bool binary = false;
  std::string bytes;
};

class PgStatement final : public SqlStatementImpl {
 public:
  PgStatement(PgConnection& c, std::shared_ptr<PgPrepared> prepared)
      : link_(c.Link()), p_(std::move(prepared)), values_(p_->paramNames.size()) {}
  ~PgStatement() override {
    if (auto c = link_.lock()) (*c)->Abandon(this);
  }

  bool Step() override;
  int ColumnCount() const override { return static_cast<int>(p_->columns.size()); }
  std::string ColumnName(int i) const override { return p_->columns.at(static_cast<size_t>(i)).name; }
  std::string DeclaredType(int i) const override {
    const PgColumn& col = p_->columns.at(static_cast<size_t>(i));
    return PostgresDeclaredType(col.type, col.typmod, col.expression);
  }
  SqlRow Row() const override { return row_; }
  int ParameterCount() const override { return static_cast<int>(p_->paramNames.size()); }
  std::string ParameterName(int index) const override {
    return p_->paramNames.at(static_cast<size_t>(index - 1));
  }
  void Bind(int index, const TRdaParamItem& p) override;
  void Reset() override {
    if (auto c = link_.lock()) (*c)->Abandon(this);
    state_ = State::kReady;
    buffered_.clear();
    pendingError_.reset();
    row_.clear();
    for (PgValue& v : values_) v = PgValue{};
  }

  // Binds every parameter that params names.
  void BindByName(const TRdaParamList& params);
  void BindText(int index, std::string utf8) {
    PgValue& v = values_.at(static_cast<size_t>(index - 1));
    v.null = false;
    v.bytes = std::move(utf8);
  }
  // Reads the rest of the open result into memory (another statement needs
  // the connection).
  void Detach();

 private:
  enum class State { kReady, kStreaming, kBuffered, kDone };

  void Send();
  // Handles one result of the open command: true with a row in row_.
  bool Take(PGresult* res);
  SqlRow Convert(const PGresult* res) const;

  PgConnection& Conn() const {
    auto c = link_.lock();
    if (!c) throw ESqlError("the database connection is closed");
    return **c;
  }

  std::weak_ptr<PgConnection*> link_;
  std::shared_ptr<PgPrepared> p_;
  std::vector<PgValue> values_;
  State state_ = State::kReady;
  SqlRow row_;
  std::deque<SqlRow> buffered_;
  std::optional<std::string> pendingError_;
};

// ---- PgConnection ------------------------------------------------------------------

void PgConnection::Open() {
  // A conninfo's own values win over the first two (they come before it).
  const char* keys[] = {"fallback_application_name", "connect_timeout", "dbname", "client_encoding", nullptr};
  const char* values[] = {"rdaserver", "10", conninfo_.c_str(), "UTF8", nullptr};
  PGconn* conn = PQconnectdbParams(keys, values, 1);
  if (conn == nullptr) throw ESqlError("out of memory");
  if (PQstatus(conn) != CONNECTION_OK) {
    const std::string message = FirstLine(PQerrorMessage(conn));
    PQfinish(conn);
    throw ESqlError(message);
  }
  // NOTICEs ("table ... does not exist, skipping") are for people at a
  // console, not for the server's log.
  PQsetNoticeProcessor(conn, [](void*, const char*) {}, nullptr);
  std::string settings =
      "SET DateStyle = ISO; SET TimeZone = 'UTC'; SET IntervalStyle = postgres; SET extra_float_digits = 1; "
      "SET lc_monetary = 'C'; SET bytea_output = 'hex'";
  // A session whose rdaserver went away (killed, cut off) must not keep its
  // transaction's locks for the rest of a long statement: PostgreSQL looks
  // at the client's socket every second while it runs one (version 14 on).
  if (PQserverVersion(conn) >= 140000) settings += "; SET client_connection_check_interval = 1000";
  PGresult* res = PQexec(conn, settings.c_str());
  const bool ok = PQresultStatus(res) == PGRES_COMMAND_OK;
  const std::string message = ok ? std::string() : ResultMessage(res, conn);
  PQclear(res);
  if (!ok) {
    PQfinish(conn);
    throw ESqlError(message);
  }
  conn_ = conn;
  ++generation_;
  cache_.clear();
  unused_.clear();
  active_ = nullptr;
  abandoned_ = false;
  idleStatus_ = PQTRANS_IDLE;
}

void PgConnection::EnsureOpen() {
  if (conn_ && PQstatus(conn_) == CONNECTION_OK) return;
  if (conn_) {
    PQfinish(conn_);
    conn_ = nullptr;
  }
  Open();
}

void PgConnection::CheckInterrupt() {
  if (interrupt_ != Interrupt::kNone) {
    if (std::chrono::steady_clock::now() - cancelledAt_ > kCancelGrace) {
      // PostgreSQL does not answer the cancel: give the connection up.
      PQfinish(conn_);
      conn_ = nullptr;
      active_ = nullptr;
      abandoned_ = false;
    }
    return;
  }
  Interrupt why = Interrupt::kNone;
  if (limits_.cancel && limits_.cancel->load(std::memory_order_relaxed)) why = Interrupt::kStop;
  else if (std::chrono::steady_clock::now() > deadline_) why = Interrupt::kTimeout;
  if (why == Interrupt::kNone) return;
  interrupt_ = why;
  cancelledAt_ = std::chrono::steady_clock::now();
  if (PGcancel* cancel = PQgetCancel(conn_)) {
    char error[256];
    PQcancel(cancel, error, sizeof error);
    PQfreeCancel(cancel);
  }
}

PGresult* PgConnection::NextResult() {
  while (conn_ && PQisBusy(conn_)) {
    CheckInterrupt();
    if (!conn_) break;
    pollfd p{PQsocket(conn_), POLLIN, 0};
    poll(&p, 1, kPollMillis);
    if (!PQconsumeInput(conn_)) break;  // PQgetResult reports the failure
  }
  if (!conn_) return nullptr;
  return PQgetResult(conn_);
}

std::string PgConnection::FailureText(const PGresult* res) const {
  if (interrupt_ == Interrupt::kTimeout)
    return "interrupted: the statement ran longer than the query time limit of " +
           std::to_string(limits_.queryTimeout.count() / 1000) + " s";
  if (interrupt_ == Interrupt::kStop) return "interrupted";
  return conn_ ? ResultMessage(res, conn_) : std::string("the database connection was given up");
}

void PgConnection::Drain() {
  while (PGresult* res = NextResult()) PQclear(res);
  CommandDone();
}

void PgConnection::Claim(PgStatement* owner) {
  if (active_ != nullptr && active_ != owner) {
    PgStatement* other = active_;
    active_ = nullptr;
    other->Detach();
  }
  if (abandoned_) {
    abandoned_ = false;
    Drain();
  }
  if (!conn_ || PQstatus(conn_) != CONNECTION_OK || DroppedWhileIdle()) {
    EnsureOpen();
  } else if (!unused_.empty() && unused_.size() >= 16 && PQtransactionStatus(conn_) != PQTRANS_INERROR) {
    std::string sql;
    for (const std::string& name : unused_) sql += "DEALLOCATE " + name + ";";
    unused_.clear();
    PQclear(PQexec(conn_, sql.c_str()));
  }
  active_ = owner;
}

bool PgConnection::DroppedWhileIdle() {
  if (PQtransactionStatus(conn_) != PQTRANS_IDLE) return false;
  // Nothing is asked, so anything to read is PostgreSQL's last word (the
  // FATAL of a shutdown) or the end of the stream; a notice comes and goes.
  for (int round = 0; round < 4 && PQstatus(conn_) == CONNECTION_OK; ++round) {
    pollfd p{PQsocket(conn_), POLLIN, 0};
    if (poll(&p, 1, 0) <= 0) break;
    PQconsumeInput(conn_);
  }
  return PQstatus(conn_) != CONNECTION_OK;
}

void PgConnection::Evict() {
  while (cache_.size() > kStatementCacheSize) {
    auto oldest = cache_.end();
    for (auto it = cache_.begin(); it != cache_.end(); ++it) {
      if (it->second.use_count() == 1 && (oldest == cache_.end() || it->second->lastUse < oldest->second->lastUse))
        oldest = it;
    }
    if (oldest == cache_.end()) return;
    unused_.push_back(oldest->second->name);
    cache_.erase(oldest);
  }
}

// Statements are kept by their numbered text and their parameters' names:
// "... = :a" and "... = :b" number alike but bind different values.
std::string PgConnection::CacheKey(const NumberedSql& numbered) {
  std::string key = numbered.sql;
  for (const std::string& name : numbered.names) key += '\0' + name;
  return key;
}

std::shared_ptr<PgPrepared> PgConnection::Prepared(const NumberedSql& numbered) {
  std::string key = CacheKey(numbered);
  auto it = cache_.find(key);
  if (it != cache_.end()) {
    if (it->second->generation == generation_ && it->second->epoch == schemaEpoch_) {
      it->second->lastUse = ++useClock_;
      return it->second;
    }
    if (it->second->generation == generation_ && it->second.use_count() == 1) unused_.push_back(it->second->name);
    cache_.erase(it);
  }
  Claim(nullptr);
  auto p = std::make_shared<PgPrepared>();
  p->name = "rda_" + std::to_string(++nextName_);
  p->sql = numbered.sql;
  p->paramNames = numbered.names;
  p->generation = generation_;
  p->epoch = schemaEpoch_;
  p->lastUse = ++useClock_;
  const int n = static_cast<int>(numbered.names.size());
  // PostgreSQL infers each parameter's type from where it stands; one it
  // cannot infer ("SELECT :a") is text, as SQLite would take it.
  std::vector<Oid> types(numbered.names.size(), 0);
  for (int step = 0; step < 2; ++step) {
    const int sent = step == 0 ? PQsendPrepare(conn_, p->name.c_str(), p->sql.c_str(), n, types.data())
                               : PQsendDescribePrepared(conn_, p->name.c_str());
    if (!sent) Fail(nullptr);
    PGresult* failed = nullptr;
    while (PGresult* res = NextResult()) {
      if (PQresultStatus(res) != PGRES_COMMAND_OK && failed == nullptr) {
        failed = res;
        continue;
      }
      if (step == 1 && failed == nullptr) {
        for (int i = 0; i < PQnfields(res); ++i) {
          PgColumn col;
          col.name = PQfname(res, i);
          col.type = PQftype(res, i);
          col.typmod = PQfmod(res, i);
          col.expression = PQftable(res, i) == InvalidOid;
          p->columns.push_back(std::move(col));
        }
      }
      PQclear(res);
    }
    // (Inside a transaction the failure has aborted it: the error stands.)
    if (step == 0 && failed != nullptr && interrupt_ == Interrupt::kNone && PQtransactionStatus(conn_) == PQTRANS_IDLE) {
      const char* state = PQresultErrorField(failed, PG_DIAG_SQLSTATE);
      const std::string message = ResultMessage(failed, conn_);
      const size_t dollar = message.rfind('$');
      const size_t index = dollar == std::string::npos ? 0 : std::strtoul(message.c_str() + dollar + 1, nullptr, 10);
      if (state != nullptr && std::strcmp(state, "42P18") == 0 && index >= 1 && index <= types.size() &&
          types[index - 1] == 0) {
        types[index - 1] = kTextOid;
        PQclear(failed);
        CommandDone();
        --step;
        continue;
      }
    }
    if (failed != nullptr || !conn_) {
      const std::string message = FailureText(failed);
      PQclear(failed);
      CommandDone();
      throw ESqlError(message);
    }
    CommandDone();
  }
  active_ = nullptr;
  p->key = std::move(key);
  cache_[p->key] = p;
  Evict();
  return p;
}

SqlStatement PgConnection::Prepare(std::string_view sql, const TRdaParamList* params) {
  const std::vector<std::string_view> statements = SplitSqlStatements(sql);
  if (statements.empty()) throw ESqlError("Empty SQL statement");
  for (size_t i = 0; i + 1 < statements.size(); ++i) RunToEnd(NumberSqlParameters(statements[i]), params);
  auto stmt = std::make_unique<PgStatement>(*this, Prepared(NumberSqlParameters(statements.back())));
  if (params) stmt->BindByName(*params);
  return SqlStatement(std::move(stmt));
}

SqlStatement PgConnection::PrepareOne(std::string_view sql) {
  const std::vector<std::string_view> statements = SplitSqlStatements(sql);
  if (statements.empty()) throw ESqlError("Empty SQL statement");
  if (statements.size() > 1) throw Exception("One statement per line");
  return SqlStatement(std::make_unique<PgStatement>(*this, Prepared(NumberSqlParameters(statements.front()))));
}

void PgConnection::RunToEnd(const NumberedSql& numbered, const TRdaParamList* params) {
  if (!numbered.names.empty()) {
    PgStatement stmt(*this, Prepared(numbered));
    if (params) stmt.BindByName(*params);
    while (stmt.Step()) {
    }
    return;
  }
  // Without parameters in one round trip, and not kept.
  auto once = std::make_shared<PgPrepared>();
  once->sql = numbered.sql;
  once->paramNames = numbered.names;
  once->generation = generation_;
  PgStatement stmt(*this, once);
  while (stmt.Step()) {
  }
}

void PgConnection::Execute(std::string_view sql) {
  for (std::string_view statement : SplitSqlStatements(sql)) RunToEnd(NumberSqlParameters(statement), nullptr);
}

std::vector<std::string> PgConnection::TableColumns(std::string_view table) {
  PgStatement stmt(*this, Prepared(NumberSqlParameters(PostgresTableColumnsQuery())));
  stmt.BindText(1, std::string(table));
  std::vector<std::string> columns;
  while (stmt.Step()) columns.push_back(stmt.Row().at(0).bytes);
  return columns;
}

std::string PgConnection::TypedParameter(const std::string& param, TFieldType type) const {
  const char* sqlType = "text";
  switch (BindKindOf(type)) {
    case BindKind::kInteger: sqlType = "bigint"; break;
    case BindKind::kBoolean: sqlType = "boolean"; break;
    case BindKind::kFloat: sqlType = "double precision"; break;
    case BindKind::kCurrency: case BindKind::kDecimal: sqlType = "numeric"; break;
    case BindKind::kDate: sqlType = "date"; break;
    case BindKind::kTime: sqlType = "time"; break;
    case BindKind::kDateTime: sqlType = "timestamp"; break;
    case BindKind::kBytes: sqlType = "bytea"; break;
    case BindKind::kText: break;
  }
  return "CAST(" + param + " AS " + sqlType + ")";
}

std::string PgConnection::TableName(std::string_view name) {
  PgStatement stmt(*this, Prepared(NumberSqlParameters(PostgresTableNameQuery())));
  stmt.BindText(1, std::string(name));
  return stmt.Step() ? stmt.Row().at(0).bytes : std::string();
}

// ---- PgStatement -------------------------------------------------------------------

void PgStatement::BindByName(const TRdaParamList& params) {
  for (int i = 0; i < params.Count(); ++i) {
    const TRdaParamItem& item = params.Items(i);
    std::string name = CodePageToUtf8(item.Name());
    if (!name.empty() && std::strchr(":@$", name[0]) != nullptr) name.erase(0, 1);
    for (size_t k = 0; k < p_->paramNames.size(); ++k)
      if (p_->paramNames[k] == name) Bind(static_cast<int>(k + 1), item);
  }
}

void PgStatement::Bind(int index, const TRdaParamItem& p) {
  if (index < 1 || static_cast<size_t>(index) > values_.size())
    throw ESqlError("column index out of range");
  PgValue v;
  if (!p.IsNull()) {
    v.null = false;
    switch (BindKindOf(p.DataType())) {
      case BindKind::kInteger:
        v.bytes = std::to_string(p.AsLargeint());
        break;
      case BindKind::kBoolean:
        // '1' and '0' read as boolean, integer and text alike.
        v.bytes = p.AsBoolean() ? "1" : "0";
        break;
      case BindKind::kFloat: {
        char buf[64];
        const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, p.AsFloat());
        v.bytes = ec == std::errc() ? std::string(buf, end) : "NaN";
        break;
      }
      case BindKind::kCurrency:
        v.bytes = CurrToStr(p.AsCurrency(), FormatSettings{});
        break;
      case BindKind::kDecimal:
        v.bytes = BcdToStr(p.AsFMTBCD(), FormatSettings{});
        break;
      case BindKind::kDate:
      case BindKind::kTime:
      case BindKind::kDateTime:
        v.bytes = FormatIsoDateTime(p.AsDateTime(), p.DataType() == ftTimeStamp ? ftDateTime : p.DataType());
        break;
      case BindKind::kBytes:
        v.binary = true;
        v.bytes = p.StoredValue();
        break;
      case BindKind::kText:
        v.bytes = CodePageToUtf8(p.StoredValue());
        // libpq passes text values up to their first zero byte.
        if (v.bytes.find('\0') != std::string::npos)
          throw ESqlError("invalid byte sequence for encoding \"UTF8\": 0x00");
        break;
    }
    if (v.bytes.size() > static_cast<size_t>(Conn().Limits().maxValueBytes)) throw ESqlError("string or blob too big");
  }
  values_[static_cast<size_t>(index - 1)] = std::move(v);
}

void PgStatement::Send() {
  Conn().Claim(this);
  // A statement prepared on a connection that was opened again since.
  if (!p_->name.empty() && p_->generation != Conn().Generation()) {
    NumberedSql numbered{p_->sql, p_->paramNames};
    std::shared_ptr<PgPrepared> fresh = Conn().Prepared(numbered);
    p_ = fresh;
    Conn().Claim(this);
  }
  const size_t n = values_.size();
  std::vector<const char*> data(n);
  std::vector<int> lengths(n);
  std::vector<int> formats(n);
  for (size_t i = 0; i < n; ++i) {
    const PgValue& v = values_[i];
    data[i] = v.null ? nullptr : v.bytes.c_str();
    lengths[i] = static_cast<int>(v.bytes.size());
    formats[i] = v.binary ? 1 : 0;
  }
  const int count = static_cast<int>(n);
  const int sent =
      p_->name.empty()
          ? PQsendQueryParams(Conn().Handle(), p_->sql.c_str(), count, nullptr, data.data(), lengths.data(),
                              formats.data(), 0)
          : PQsendQueryPrepared(Conn().Handle(), p_->name.c_str(), count, data.data(), lengths.data(),
                                formats.data(), 0);
  if (!sent) {
    Conn().Release(this);
    state_ = State::kDone;
    Conn().Fail(nullptr);
  }
  PQsetSingleRowMode(Conn().Handle());
  state_ = State::kStreaming;
}

bool PgStatement::Take(PGresult* res) {
  std::unique_ptr<PGresult, void (*)(PGresult*)> hold(res, PQclear);
  switch (PQresultStatus(res)) {
    case PGRES_SINGLE_TUPLE:
      row_ = Convert(res);
      return true;
    case PGRES_TUPLES_OK:
    case PGRES_COMMAND_OK:
    case PGRES_EMPTY_QUERY:
      Conn().NoteCommand(res);
      return false;
    case PGRES_COPY_IN:
      PQputCopyEnd(Conn().Handle(), "COPY FROM STDIN is not served");
      return false;
    case PGRES_COPY_OUT: {
      char* buffer = nullptr;
      while (PQgetCopyData(Conn().Handle(), &buffer, 0) > 0) PQfreemem(buffer);
      return false;
    }
    default: {
      // The error ends the command; its other results are read first.
      std::string message;
      try {
        Conn().Fail(res);
      } catch (const ESqlError& e) {
        message = e.what();
      }
      const char* state = PQresultErrorField(res, PG_DIAG_SQLSTATE);
      if (state != nullptr && std::strcmp(state, "0A000") == 0) Conn().Forget(*p_);
      hold.reset();
      Conn().Drain();
      throw ESqlError(message);
    }
  }
}

bool PgStatement::Step() {
  switch (state_) {
    case State::kDone:
      return false;
    case State::kBuffered:
      if (!buffered_.empty()) {
        row_ = std::move(buffered_.front());
        buffered_.pop_front();
        return true;
      }
      state_ = State::kDone;
      if (pendingError_) {
        const std::string message = *pendingError_;
        pendingError_.reset();
        throw ESqlError(message);
      }
      return false;
    case State::kReady:
      Send();
      break;
    case State::kStreaming:
      break;
  }
  try {
    while (PGresult* res = Conn().NextResult()) {
      if (Take(res)) return true;
    }
    if (!Conn().Handle() || PQstatus(Conn().Handle()) != CONNECTION_OK) Conn().Fail(nullptr);
  } catch (...) {
    state_ = State::kDone;
    Conn().Release(this);
    Conn().CommandDone();
    throw;
  }
  state_ = State::kDone;
  Conn().Release(this);
  Conn().CommandDone();
  return false;
}

void PgStatement::Detach() {
  if (state_ != State::kStreaming) return;
  state_ = State::kBuffered;
  // What is kept is bounded as a value is: past that the rest is read and
  // dropped, and the result ends with an error where it was cut.
  const size_t limit = static_cast<size_t>(Conn().Limits().maxValueBytes);
  size_t kept = 0;
  try {
    while (PGresult* res = Conn().NextResult()) {
      if (!Take(res) || pendingError_) continue;
      for (const SqlValue& v : row_) kept += v.bytes.size() + sizeof v;
      if (kept > limit) {
        pendingError_ = "the rest of the open result, over " + std::to_string(limit) +
                        " bytes, was not kept while another statement ran on the connection";
      } else {
        buffered_.push_back(std::move(row_));
      }
    }
    if (!Conn().Handle() || PQstatus(Conn().Handle()) != CONNECTION_OK) Conn().Fail(nullptr);
  } catch (const std::exception& e) {
    if (!pendingError_) pendingError_ = e.what();
  }
  Conn().CommandDone();
}

SqlRow PgStatement::Convert(const PGresult* res) const {
  const int n = PQnfields(res);
  SqlRow row(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    if (PQgetisnull(res, 0, i)) continue;
    SqlValue& v = row[static_cast<size_t>(i)];
    const char* text = PQgetvalue(res, 0, i);
    const size_t length = static_cast<size_t>(PQgetlength(res, 0, i));
    if (length > static_cast<size_t>(Conn().Limits().maxValueBytes)) throw ESqlError("string or blob too big");
    const std::string_view value(text, length);
    const Oid type = PQftype(res, i);
    switch (type) {
      case kInt2Oid:
      case kInt4Oid:
      case kInt8Oid:
      case kOidOid:
        v.storage = SqlValue::kInteger;
        std::from_chars(value.data(), value.data() + value.size(), v.integer);
        break;
      case kFloat4Oid:
      case kFloat8Oid:
        v.storage = SqlValue::kReal;
        std::from_chars(value.data(), value.data() + value.size(), v.real);
        break;
      case kBoolOid:
        v.storage = SqlValue::kInteger;
        v.integer = value == "t" ? 1 : 0;
        break;
      case kByteaOid: {
        size_t size = 0;
        unsigned char* bytes = PQunescapeBytea(reinterpret_cast<const unsigned char*>(text), &size);
        if (bytes == nullptr) throw ESqlError("out of memory");
        v.storage = SqlValue::kBlob;
        v.bytes.assign(reinterpret_cast<const char*>(bytes), size);
        PQfreemem(bytes);
        break;
      }
      case kNumericOid: {
        int64_t whole = 0;
        const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), whole);
        if (IsIntegerNumeric(type, PQfmod(res, i)) && ec == std::errc() && end == value.data() + value.size()) {
          v.storage = SqlValue::kInteger;
          v.integer = whole;
        } else {
          v.storage = SqlValue::kText;
          v.bytes.assign(value);
        }
        break;
      }
      case kMoneyOid:
        v.storage = SqlValue::kText;
        v.bytes = MoneyText(value);
        break;
      case kTimestampTzOid:
      case kTimeTzOid:
        v.storage = SqlValue::kText;
        v.bytes = ZonedText(value);
        break;
      case kUuidOid:
        // The form a GUID field holds: "{0A1B2C3D-...}".
        v.storage = SqlValue::kText;
        v.bytes = "{" + UpperAscii(value) + "}";
        break;
      default:
        v.storage = SqlValue::kText;
        v.bytes.assign(value);
        break;
    }
  }
  return row;
}

// ---- Database ----------------------------------------------------------------------

class PgDatabase final : public Database {
 public:
  PgDatabase(std::string conninfo, const DatabaseLimits& limits)
      : conninfo_(std::move(conninfo)), limits_(limits) {
    PgConnection probe(conninfo_, limits_);
    probe.Execute("SELECT 1");  // fails when PostgreSQL cannot be reached
    description_ = DescribeConninfo(conninfo_);
  }

  std::unique_ptr<SqlConnection> Connect() const override {
    return std::make_unique<PgConnection>(conninfo_, limits_);
  }
  void RunScript(std::string_view sql) override {
    PgConnection c(conninfo_, limits_);
    c.BeginRequest();
    c.Execute(sql);
  }
  SqlEngine Engine() const override { return SqlEngine::kPostgres; }
  std::unique_ptr<EventChannel> OpenEventChannel() override { return OpenPostgresEventChannel(conninfo_); }
  std::string Describe() const override { return description_; }
  const DatabaseLimits& Limits() const override { return limits_; }

 private:
  // postgresql://user@host:port/dbname, from what conninfo names (never its password).
  static std::string DescribeConninfo(const std::string& conninfo) {
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), &error);
    if (error) PQfreemem(error);
    if (options == nullptr) return "postgresql://";
    std::unordered_map<std::string, std::string> v;
    for (PQconninfoOption* o = options; o->keyword; ++o)
      if (o->val && *o->val) v[o->keyword] = o->val;
    PQconninfoFree(options);
    std::string text = "postgresql://";
    if (v.count("user")) text += v["user"] + "@";
    text += v.count("host") ? v["host"] : v.count("hostaddr") ? v["hostaddr"] : "";
    if (v.count("port")) text += ":" + v["port"];
    text += "/" + (v.count("dbname") ? v["dbname"] : "");
    return text;
  }

  std::string conninfo_;
  DatabaseLimits limits_;
  std::string description_;
};

}  // namespace

std::string PostgresDeclaredType(unsigned type, int typmod, bool expression) {
  switch (type) {
    case kInt2Oid: return expression ? "INTEGER" : "SMALLINT";
    case kInt4Oid: return "INTEGER";
    case kInt8Oid:
    case kOidOid: return expression ? "INTEGER" : "BIGINT";
    case kBoolOid: return "BOOLEAN";
    case kFloat4Oid: return "REAL";
    case kFloat8Oid: return "DOUBLE PRECISION";
    case kNumericOid:
      if (typmod < 4) return "NUMERIC";
      return "NUMERIC(" + std::to_string(NumericPrecision(typmod)) + "," +
             std::to_string(std::max(NumericScale(typmod), 0)) + ")";
    case kMoneyOid: return "MONEY";
    case kVarcharOid:
    case kBpcharOid:
    case kTextOid:
    case kNameOid:
    case kUnknownOid:
      if (expression) return "";
      if (type == kTextOid) return "TEXT";
      if (type == kNameOid) return "VARCHAR(63)";
      if (typmod > 4) return (type == kBpcharOid ? "CHAR(" : "VARCHAR(") + std::to_string(typmod - 4) + ")";
      return type == kBpcharOid ? "CHAR" : "VARCHAR";
    case kCharOid: return "CHAR(1)";
    case kByteaOid: return "BLOB";
    case kDateOid: return "DATE";
    case kTimeOid:
    case kTimeTzOid: return "TIME";
    case kTimestampOid:
    case kTimestampTzOid: return "TIMESTAMP";
    case kUuidOid: return "UUID";
    default: return "TEXT";
  }
}

std::unique_ptr<Database> OpenPostgresDatabase(const std::string& conninfo, const DatabaseLimits& limits) {
  return std::make_unique<PgDatabase>(conninfo, limits);
}

}  // namespace rda
