#include "server/ServerApply.h"

#include <memory>
#include <optional>
#include <unordered_map>

#include "base/CodePage.h"
#include "base/Convert.h"
#include "base/Exception.h"
#include "base/Text.h"
#include "memdata/RdaCustomDataSet.h"
#include "messaging/RdaParamList.h"
#include "messaging/RdaStringLine.h"
#include "messaging/RdaWire.h"
#include "server/RowPacket.h"
#include "server/ServerSession.h"

namespace rda {

namespace {

bool Blank(std::string_view s) { return s.find_first_not_of(" \t\r\n\f") == std::string_view::npos; }

// The first word of a statement, upper case.
std::string Keyword(std::string_view sql) {
  size_t at = sql.find_first_not_of(" \t\r\n\f(");
  if (at == std::string_view::npos) return {};
  size_t end = at;
  while (end < sql.size() && (std::isalpha(static_cast<unsigned char>(sql[end])) != 0)) ++end;
  return UpperAscii(sql.substr(at, end - at));
}

bool StartsTransaction(const std::string& k) { return k == "BEGIN" || k == "START"; }
bool EndsTransaction(const std::string& k) { return k == "COMMIT" || k == "END"; }
bool ControlsTransaction(const std::string& k) {
  return StartsTransaction(k) || EndsTransaction(k) || k == "ROLLBACK" || k == "SAVEPOINT" || k == "RELEASE";
}

// The statements of a list: one per line, except that a line break inside a
// literal (a text value under upWhereChanged) continues the statement. Blank
// lines (an insert with nothing to write) are left out.
std::vector<std::string> SplitStatements(const SqlConnection& db, std::string_view text) {
  std::vector<std::string> out;
  std::string pending;
  while (true) {
    const size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (pending.empty()) pending = std::string(line);
    else pending += "\r\n" + std::string(line);
    if (Blank(pending)) pending.clear();
    else if (db.IsComplete(pending)) out.push_back(std::move(pending)), pending.clear();
    if (nl == std::string_view::npos) break;
    text.remove_prefix(nl + 1);
  }
  if (!pending.empty()) out.push_back(std::move(pending));  // fails at its prepare
  return out;
}

// Parameter values by name; each name hands out its values in list order. A
// statement's own list is short and searched in place; a list shared by many
// statements is indexed by name once.
class ValueQueue {
 public:
  explicit ValueQueue(std::unique_ptr<TRdaParamList> list) : list_(std::move(list)) {
    const int n = list_ ? list_->Count() : 0;
    used_.assign(static_cast<size_t>(n), false);
    if (n <= kScanLimit) return;
    for (int i = 0; i < n; ++i) byName_[Key(list_->Items(i).Name())].items.push_back(i);
  }
  static ValueQueue FromText(const std::string& text) {
    return ValueQueue(text.empty() ? nullptr : TRdaParamList::FromText(text));
  }
  // The next value of `name` (UTF-8, without its ':'), or null when none is left.
  const TRdaParamItem* Take(const std::string& name) {
    if (!list_) return nullptr;
    if (byName_.empty()) {
      const std::string cp = Utf8ToCodePage(name);
      for (size_t i = 0; i < used_.size(); ++i) {
        if (used_[i]) continue;
        std::string_view item = TrimBlanks(list_->Items(static_cast<int>(i)).Name());
        if (!item.empty() && (item[0] == ':' || item[0] == '@' || item[0] == '$')) item.remove_prefix(1);
        if (!SameTextCp1252(item, cp)) continue;
        used_[i] = true;
        return &list_->Items(static_cast<int>(i));
      }
      return nullptr;
    }
    auto it = byName_.find(Key(Utf8ToCodePage(name)));
    if (it == byName_.end() || it->second.next >= it->second.items.size()) return nullptr;
    return &list_->Items(it->second.items[it->second.next++]);
  }

 private:
  static constexpr int kScanLimit = 16;
  struct Slot {
    std::vector<int> items;
    size_t next = 0;
  };
  static std::string Key(std::string_view name) {
    name = TrimBlanks(name);
    if (!name.empty() && (name[0] == ':' || name[0] == '@' || name[0] == '$')) name.remove_prefix(1);
    return UpperCp1252(name);
  }

  std::unique_ptr<TRdaParamList> list_;
  std::vector<bool> used_;
  std::unordered_map<std::string, Slot> byName_;
};

// The read-back descriptor a dataset sends with its statements.
struct ReadBack {
  std::string table;
  std::string autoIncrement;
  int kind = 0;
  // Per statement that the dataset sent: the row locator (or "delete") and the
  // client's RecordID of the row.
  std::vector<std::pair<std::string, int32_t>> rows;

  static ReadBack FromText(const std::string& text) {
    ReadBack r;
    if (text.empty()) return r;
    const std::unique_ptr<TRdaParamList> list = TRdaParamList::FromText(text);
    if (list->Count() < 7) throw Exception("The read-back descriptor is incomplete");
    r.table = CodePageToUtf8(list->Items(0).AsString());
    r.autoIncrement = CodePageToUtf8(std::string(TrimBlanks(list->Items(2).AsString())));
    r.kind = list->Items(5).AsInteger();
    for (int i = 7; i + 1 < list->Count(); i += 2)
      r.rows.emplace_back(CodePageToUtf8(list->Items(i).AsString()), list->Items(i + 1).AsInteger());
    return r;
  }
  int32_t RecordIdOf(size_t statement) const {
    return statement < rows.size() ? rows[statement].second : 0;
  }
};

// The statements of one dataset with their parameters and its descriptor.
struct Batch {
  std::vector<std::string> statements;  // UTF-8
  std::vector<ValueQueue> ownValues;    // per statement (token 31); empty: shared
  ReadBack readBack;
};

class Runner {
 public:
  explicit Runner(SqlConnection& db) : db_(db) {}

  void Exec(const char* sql) { db_.Execute(sql); }
  void Begin() {
    nested_ = db_.InTransaction();
    if (nested_) Exec("SAVEPOINT rda_apply");
    else db_.BeginWrite();
  }
  void Commit() { Exec(nested_ ? "RELEASE rda_apply" : "COMMIT"); }
  void Rollback() noexcept {
    if (!db_.InTransaction()) return;  // the engine undid it already
    try {
      Exec(nested_ ? "ROLLBACK TO rda_apply; RELEASE rda_apply" : "ROLLBACK");
    } catch (const std::exception&) {
      // The connection is gone; the transaction went with it.
    }
  }

  // Runs one statement with its values; returns the rows it changed. With
  // `returned`, the statement is an INSERT run with RETURNING *, and its row
  // goes there in stream form. Raises ESqlError, or Exception kConflictText
  // for an UPDATE or DELETE that changed nothing.
  int64_t Run(const std::string& sql, ValueQueue& values, std::optional<std::string>* returned = nullptr) {
    const std::string keyword = Keyword(sql);
    if (ControlsTransaction(keyword))
      throw Exception("A statement list controls its transaction only in its first and last line");
    std::string text = sql;
    if (returned != nullptr) {
      while (!text.empty() && (text.back() == ';' || IsSpace(text.back()))) text.pop_back();
      text += " RETURNING *";
    }
    SqlStatement& stmt = Prepared(text);
    stmt->Reset();
    const int count = stmt->ParameterCount();
    for (int i = 1; i <= count; ++i) {
      const std::string name = stmt->ParameterName(i);
      if (name.empty()) throw Exception("Statements take named parameters only");
      const TRdaParamItem* value = values.Take(name);
      if (value == nullptr) throw Exception("No value for the parameter :" + name);
      stmt->Bind(i, *value);
    }
    while (db_.Step(stmt)) {
      if (returned != nullptr && !*returned) *returned = RowAsStream(stmt);
    }
    const int64_t changed = db_.Changes();
    if (changed == 0 && (keyword == "UPDATE" || keyword == "DELETE")) throw Exception(std::string(kUpdateConflictText));
    return keyword == "INSERT" || keyword == "UPDATE" || keyword == "DELETE" || keyword == "REPLACE" ? changed
                                                                                                      : 0;
  }

  // The inserted row (by the new row id or the client's locator) as a dataset in
  // stream form; nullopt when it is not found.
  std::optional<std::string> ReadInserted(const ReadBack& rb, const std::string& locator) {
    if (rb.table.empty()) return std::nullopt;
    std::string sql = "SELECT * FROM " + rb.table;
    TRdaParamList params;
    if (rb.kind == 1) {
      const auto [condition, rowId] = db_.LastInsertCondition();
      sql += " WHERE " + condition;
      params.CreateParam(ftLargeint, "rda_rowid", ptInput).SetAsLargeint(rowId);
    } else {
      std::string where = locator;
      while (!where.empty() && (where.back() == ';' || where.back() == ' ')) where.pop_back();
      if (!StartsTextAscii(TrimBlanks(where), "Where ")) return std::nullopt;
      sql += " " + where;
    }
    SqlStatement stmt = db_.Prepare(sql, &params);
    if (!db_.Step(stmt)) return std::nullopt;
    return RowAsStream(stmt);
  }

 private:
  static bool IsStringKind(TFieldType t) { return t == ftString || t == ftFixedChar || t == ftWideString; }
  static bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f'; }

  // The statement's current row as a dataset in stream form.
  static std::string RowAsStream(const SqlStatement& stmt) {
    std::vector<SqlRow> rows{stmt.Row()};
    TRdaDataSet ds;
    std::vector<ColumnSpec> columns;
    for (int i = 0; i < stmt.ColumnCount(); ++i) {
      columns.push_back(DecideColumn(stmt.ColumnName(i), stmt.DeclaredType(i), rows, static_cast<size_t>(i), true));
      const ColumnSpec& c = columns.back();
      ds.AddField(c.name, c.type, IsStringKind(c.type) ? std::max(c.size, 1) : c.size);
    }
    ds.Open();
    TVariantArray values;
    for (const SqlValue& v : rows.front()) {
      switch (v.storage) {
        case SqlValue::kInteger: values.emplace_back(v.integer); break;
        case SqlValue::kReal: values.emplace_back(v.real); break;
        case SqlValue::kText: values.emplace_back(Utf8ToCodePage(v.bytes)); break;
        case SqlValue::kBlob: values.emplace_back(v.bytes); break;
        default: values.push_back(Variant::Null()); break;
      }
    }
    ds.AppendRecord(values);
    return ds.DataSetToText();
  }

  SqlStatement& Prepared(const std::string& sql) {
    auto it = cache_.find(sql);
    if (it != cache_.end()) return it->second;
    return cache_.emplace(sql, db_.PrepareOne(sql)).first->second;
  }

  SqlConnection& db_;
  bool nested_ = false;
  std::unordered_map<std::string, SqlStatement> cache_;
};

std::string Located(const std::string& message, size_t index, size_t count, const std::string& sql) {
  return message + "\r\nStatement " + std::to_string(index + 1) + " of " + std::to_string(count) + ": " + sql;
}

// Runs the batches in one transaction. With commitWhatSucceeds each statement
// has its own save point and a failure is noted instead of raised.
ApplyResult RunBatches(SqlConnection& db, std::vector<Batch>& batches, ValueQueue* shared,
                       bool commitWhatSucceeds) {
  ApplyResult result;
  size_t total = 0;
  for (const Batch& b : batches) total += b.statements.size();
  Runner runner(db);
  runner.Begin();
  size_t index = 0;
  try {
    for (Batch& b : batches) {
      for (size_t k = 0; k < b.statements.size(); ++k, ++index) {
        const std::string& sql = b.statements[k];
        ValueQueue& values = b.ownValues.empty() ? *shared : b.ownValues[k];
        // The inserted row goes back to the client: found by its row id or its
        // locator after the insert, or returned by the insert itself.
        const bool wanted = b.readBack.kind != 0 && Keyword(sql) == "INSERT" && k < b.readBack.rows.size();
        const bool returning = wanted && b.readBack.kind == 1 && !db.HasRowIds();
        std::optional<std::string> returned;
        try {
          if (commitWhatSucceeds) runner.Exec("SAVEPOINT rda_row");
          result.rowsAffected += runner.Run(sql, values, returning ? &returned : nullptr);
          if (commitWhatSucceeds) runner.Exec("RELEASE rda_row");
        } catch (const std::exception& e) {
          if (!commitWhatSucceeds || !db.InTransaction()) throw;
          runner.Exec("ROLLBACK TO rda_row; RELEASE rda_row");
          result.failed.emplace_back(Utf8ToCodePage(Located(e.what(), index, total, sql)), b.readBack.RecordIdOf(k));
          continue;
        }
        if (wanted && !returning) returned = runner.ReadInserted(b.readBack, b.readBack.rows[k].first);
        if (returned) result.readBack.emplace_back(std::move(*returned), b.readBack.rows[k].second);
      }
    }
    runner.Commit();
  } catch (const std::exception& e) {
    runner.Rollback();
    if (index < total) {
      const Batch* owner = nullptr;
      size_t k = index;
      for (const Batch& b : batches) {
        if (k < b.statements.size()) {
          owner = &b;
          break;
        }
        k -= b.statements.size();
      }
      throw Exception(Located(e.what(), index, total, owner ? owner->statements[k] : std::string()));
    }
    throw;
  }
  return result;
}

}  // namespace

ApplyResult RunStatementList(SqlConnection& db, const std::string& text, const std::string& params,
                             const std::string& readBack) {
  std::vector<Batch> batches(1);
  Batch& batch = batches.front();
  batch.statements = SplitStatements(db, CodePageToUtf8(text));
  batch.readBack = ReadBack::FromText(readBack);
  std::vector<std::string>& s = batch.statements;
  // The list's own transaction lines frame the one transaction every request is.
  if (s.size() >= 2 && StartsTransaction(Keyword(s.front())) && EndsTransaction(Keyword(s.back()))) {
    s.pop_back();
    s.erase(s.begin());
  }
  ValueQueue shared = ValueQueue::FromText(params);
  if (s.empty()) return {};
  return RunBatches(db, batches, &shared, false);
}

ApplyResult RunTransaction(SqlConnection& db, const std::string& name, const std::string& statements,
                           const std::string& readBackList) {
  const bool commitWhatSucceeds = !name.empty() && name.back() == '\x02';
  const std::unique_ptr<TRdaParamList> list =
      statements.empty() ? std::make_unique<TRdaParamList>() : TRdaParamList::FromText(statements);
  const std::unique_ptr<TRdaParamList> readBacks =
      readBackList.empty() ? std::make_unique<TRdaParamList>() : TRdaParamList::FromText(readBackList);
  std::vector<Batch> batches;
  int next = 0;
  auto take = [&](int count, const std::string& descriptor) {
    Batch b;
    b.readBack = ReadBack::FromText(descriptor);
    for (int i = 0; i < count && next < list->Count(); ++i, ++next) {
      const TRdaParamItem& item = list->Items(next);
      b.statements.push_back(CodePageToUtf8(item.Name()));
      b.ownValues.push_back(ValueQueue::FromText(item.StoredValue()));
    }
    if (!b.statements.empty()) batches.push_back(std::move(b));
  };
  // Each dataset's descriptor is named "<id>.<number of its statements>".
  for (int i = 0; i < readBacks->Count(); ++i) {
    const std::string& n = readBacks->Items(i).Name();
    const size_t dot = n.rfind('.');
    const int count = dot == std::string::npos ? -1 : StrToIntDef(n.substr(dot + 1), -1);
    if (count < 0) throw Exception("The read-back list names a dataset without its statement count: " + n);
    take(count, readBacks->Items(i).StoredValue());
  }
  take(list->Count() - next, std::string());
  if (batches.empty()) return {};
  return RunBatches(db, batches, nullptr, commitWhatSucceeds);
}

std::string PartialSuccessText(const std::vector<std::pair<std::string, int32_t>>& failed) {
  TRdaParamList list;
  for (const auto& [message, id] : failed) {
    const int32_t recordId = id;  // a lambda below takes it
    std::string name = message;
    for (char& c : name) {
      if (c == kErrorListMarker || c == '\x06') c = '?';
    }
    // A record starts with its length in four bytes; blanks after the message
    // (which the client trims) keep each of them off 02.
    auto record = [&] {
      TRdaParamList one;
      one.CreateParam(ftInteger, name, ptInput).SetAsInteger(recordId);
      return one.ToText(false);
    };
    while (record().find(kErrorListMarker) != std::string::npos) name += ' ';
    list.CreateParam(ftInteger, name, ptInput).SetAsInteger(recordId);
  }
  std::string text = "\x04" + list.ToText(false);
  if (text.find(kErrorListMarker) != std::string::npos)
    throw Exception("internal: a partial-success list would read as an error list");
  return text;
}

// ---- The session's side ------------------------------------------------------------------

namespace {

TRdaStringLine Line(int token, int id) {
  TRdaStringLine line;
  line.SetToken(token);
  line.SetMsgId(id);
  return line;
}

}  // namespace

void ServerSession::SendApplied(int id, const ApplyResult& result, std::string& out) {
  TRdaParamList counted;
  counted.CreateParam(ftInteger, "DatasetId", ptInput).SetAsInteger(id);
  counted.CreateParam(ftInteger, "RowsAffected", ptInput)
      .SetAsInteger(static_cast<int32_t>(std::min<int64_t>(result.rowsAffected, INT32_MAX)));
  TRdaStringLine rows = Line(tkCodedParamList, id);
  rows.AddField(int32_t{miRowsAffected});
  rows.AddField(counted.ToText(false));
  rows.AddField(0);
  Send(rows, out);
  if (!result.readBack.empty()) {
    TRdaParamList pairs;
    int n = 0;
    for (const auto& [stream, recordId] : result.readBack) {
      pairs.CreateParam(ftBlob, "FastAdd" + std::to_string(n++), ptInput).SetAsBlob(stream);
      pairs.CreateParam(ftInteger, "FastAdd" + std::to_string(n++), ptInput).SetAsInteger(recordId);
    }
    TRdaStringLine line = Line(tkRefetchedRows, id);
    line.AddField(pairs.ToText(false));
    Send(line, out);
  }
  if (!result.failed.empty()) {
    // Sent as it is: the list's bytes must reach the client unchanged.
    TRdaStringLine error = Line(tkSqlError, id);
    error.AddField(PartialSuccessText(result.failed));
    Send(error, out);
    return;
  }
  TRdaStringLine ack = Line(tkAcknowledge, id);
  Send(ack, out);
}

void ServerSession::ApplyChanges(int token, int id, const std::vector<std::string>& f, std::string& out) {
  auto field = [&f](size_t i) { return i < f.size() ? f[i] : std::string(); };
  try {
    db_->BeginRequest();
    SendApplied(id,
                token == tkTransaction ? RunTransaction(*db_, field(0), field(1), field(3))
                                       : RunStatementList(*db_, field(0), field(1), field(3)),
                out);
  } catch (const std::exception& e) {
    out.clear();
    SendError(id, e.what(), out);
  }
}

}  // namespace rda
