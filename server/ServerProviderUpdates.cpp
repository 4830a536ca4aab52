#include "server/ServerProviderUpdates.h"

#include <algorithm>
#include <functional>
#include <map>
#include <optional>

#include "base/CodePage.h"
#include "base/Convert.h"
#include "base/Exception.h"
#include "base/Text.h"
#include "memdata/RdaAuditDataSet.h"
#include "memdata/RdaCustomDataSet.h"
#include "memdata/RdaParamBridge.h"
#include "messaging/RdaParamList.h"
#include "messaging/RdaWire.h"
#include "server/ServerCatalog.h"
#include "server/ServerSession.h"

namespace rda {

// ---- The registry ------------------------------------------------------------------

std::string ProviderBroadcasts::ProviderOf(const std::string& key) {
  return std::string(TrimBlanks(std::string_view(key).substr(0, key.find('\x02'))));
}

void ProviderBroadcasts::Register(Registration registration) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto id = std::make_pair(registration.sessionId, registration.componentId);
  entries_[id] = std::move(registration);
}

void ProviderBroadcasts::Unregister(int sessionId, int componentId) {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.erase(std::make_pair(sessionId, componentId));
}

void ProviderBroadcasts::Leave(int sessionId) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = entries_.begin(); it != entries_.end();) {
    it = it->first.first == sessionId ? entries_.erase(it) : std::next(it);
  }
}

std::vector<ProviderBroadcasts::Registration> ProviderBroadcasts::For(const std::string& provider,
                                                                      int except) const {
  const std::string name = ProviderOf(provider);
  std::vector<Registration> out;
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& [id, r] : entries_) {
    if (id.first != except && SameTextAscii(ProviderOf(r.provider), name)) out.push_back(r);
  }
  return out;
}

size_t ProviderBroadcasts::Count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.size();
}

// ---- Turning a change log into statements ------------------------------------------

namespace {

// The positions of a conflict list's entries.
enum ConflictEntry {
  ceUpdateTable = 0,
  cePrimeFields,
  ceSqlOptions,
  ceLog,
  ceCurrent,
  ceAutoIncrement,
  ceRefetch,
  ceUpdateMode,
  ceNotWritten,
  ceCount
};

// The update modes: 0 where all, 1 where changed, 2 where key only.
constexpr int kUpWhereChanged = 1;

std::vector<std::string> Lines(std::string_view text) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = TrimBlanks(TrimControls(text.substr(start, end - start)));
    if (!line.empty()) out.emplace_back(line);
    start = end + 1;
  }
  return out;
}

std::vector<std::string> SplitKeys(const std::vector<std::string>& keys) {
  std::vector<std::string> out;
  for (const std::string& k : keys) {
    size_t start = 0;
    while (start <= k.size()) {
      size_t end = k.find(';', start);
      if (end == std::string::npos) end = k.size();
      std::string_view part = TrimBlanks(std::string_view(k).substr(start, end - start));
      if (!part.empty()) out.emplace_back(part);
      start = end + 1;
    }
  }
  return out;
}

bool Contains(const std::vector<std::string>& names, std::string_view name) {
  return std::any_of(names.begin(), names.end(), [&](const std::string& n) { return SameTextAscii(n, name); });
}

std::string Quoted(std::string_view name) {
  std::string out = "\"";
  for (char c : name) {
    out += c;
    if (c == '"') out += '"';
  }
  return out + "\"";
}

bool SameValue(const TRdaParamItem& a, const TRdaParamItem& b) {
  if (a.IsNull() || b.IsNull()) return a.IsNull() == b.IsNull();
  return a.AsString() == b.AsString();
}

// Values compared in a WHERE part: not the large kinds.
bool Comparable(TFieldType type) {
  switch (type) {
    case ftBlob: case ftMemo: case ftGraphic: case ftFmtMemo: case ftParadoxOle: case ftDBaseOle:
    case ftTypedBinary: case ftOraBlob: case ftOraClob: case ftDataSet: case ftCursor:
    case ftReference: case ftADT: case ftArray:
      return false;
    default:
      return true;
  }
}

// One row's values by field name.
using RowValues = std::unique_ptr<TRdaParamList>;

RowValues ValuesOf(TDataSet& ds, int skipLeading) {
  auto values = std::make_unique<TRdaParamList>();
  for (int i = skipLeading; i < ds.FieldCount(); ++i) {
    TField& f = ds.Fields()[i];
    TRdaParamItem& item = values->CreateParam(f.DataType(), f.FieldName(), ptInput);
    AssignFromField(item, f);
  }
  return values;
}

// The values to bind, named ":p1", ":p2", ...
class Binder {
 public:
  std::string Add(const TRdaParamItem& value) {
    TRdaParamItem& item = params_.Add();
    item.Assign(value);
    std::string name = ":p" + std::to_string(params_.Count());
    item.SetName(name);
    item.SetParamType(ptInput);
    return name;
  }
  const TRdaParamList& Params() const { return params_; }

 private:
  TRdaParamList params_;
};

// A condition that the column (in SQL) holds the value: "= :pN", or IS NULL for a
// NULL, so that an index on the column serves it on every engine.
std::string Matches(const std::string& column, const TRdaParamItem& value, Binder& bind) {
  return column + (value.IsNull() ? std::string(" IS NULL") : " = " + bind.Add(value));
}

// One log entry as the server reads it.
struct LoggedRow {
  int32_t bookMark = 0;
  int32_t delta = 0;
  RowValues old;      // the values the client started from
  RowValues current;  // the row as the client has it now (none for a delete)
  // The row as written (current with what the table holds after the statement:
  // an auto-increment key, defaults, triggers); none before it is written.
  mutable RowValues written;
};

// What a provider package says, read and checked.
struct ProviderPackage {
  std::string providerKey;
  std::string table;
  std::vector<std::string> keys;
  int updateMode = 2;
  bool readBack = false;  // the client wants inserted rows back (token 35)
  std::vector<std::string> notWritten;
  std::vector<std::string> tableColumns;  // as the catalogue names them
  std::string tableSql;                   // the table's name in SQL, as the catalogue has it
  std::vector<std::pair<std::string, std::pair<TFieldType, int>>> fields;  // the dataset's, in order
  std::vector<LoggedRow> rows;

  // A column of the table in SQL: its name as the catalogue has it, which a
  // client or a definition may write in another case.
  std::string Column(std::string_view name) const {
    for (const std::string& c : tableColumns)
      if (SameTextAscii(c, name)) return Quoted(c);
    return Quoted(name);
  }
};

ProviderPackage ReadProviderPackage(SqlConnection& db, const std::string& key,
                                    const std::string& conflictText) {
  ProviderPackage p;
  p.providerKey = key;
  const std::string name = ProviderBroadcasts::ProviderOf(key);
  std::optional<Definition> def = FindDefinition(db, DefinitionKind::kProvider, name);
  if (!def) throw Exception("Provider " + name + " not found");
  std::unique_ptr<TRdaParamList> list = TRdaParamList::FromText(conflictText);
  if (list->Count() < ceCount) throw Exception("The change package of provider " + name + " is incomplete");
  p.table = def->updateTable.empty() ? list->Items(ceUpdateTable).AsString() : def->updateTable;
  if (p.table.empty()) throw Exception("Provider " + name + " has no update table");
  p.keys = def->keyFields;
  if (p.keys.empty()) p.keys = SplitKeys(Lines(list->Items(cePrimeFields).AsString()));
  if (p.keys.empty()) throw Exception("Provider " + name + " has no key fields");
  p.updateMode = list->Items(ceUpdateMode).AsInteger();
  p.notWritten = Lines(list->Items(ceNotWritten).AsString());
  p.readBack = !TrimBlanks(list->Items(ceAutoIncrement).AsString()).empty() ||
               !Lines(list->Items(ceRefetch).AsString()).empty();
  p.tableColumns = db.TableColumns(CodePageToUtf8(p.table));
  if (p.tableColumns.empty()) throw Exception("Table " + p.table + " not found");
  p.tableSql = Quoted(db.TableName(CodePageToUtf8(p.table)));
  for (const std::string& k : p.keys) {
    if (!Contains(p.tableColumns, k)) throw Exception("Key field " + k + " is not a column of " + p.table);
  }

  std::unique_ptr<TRdaDataSet> log = TextToDataSet(list->Items(ceLog).AsString());
  std::unique_ptr<TRdaDataSet> current = TextToDataSet(list->Items(ceCurrent).AsString());
  if (!log || !current || !log->FindField("BookMark") || !log->FindField("Delta") ||
      !current->FindField("BookMark")) {
    throw Exception("The change package of provider " + name + " does not read");
  }
  for (int i = 1; i < current->FieldCount(); ++i) {
    const TField& f = current->Fields()[i];
    p.fields.push_back({f.FieldName(), {f.DataType(), f.Size()}});
  }
  std::map<int32_t, RowValues> now;
  for (current->First(); !current->Eof(); current->Next()) {
    const int32_t mark = current->FieldByName("BookMark").AsInteger();
    if (mark != 0) now[mark] = ValuesOf(*current, 1);
  }
  const int leading = log->FieldByName("Delta").Index() + 1;
  for (log->First(); !log->Eof(); log->Next()) {
    LoggedRow row;
    row.bookMark = log->FieldByName("BookMark").AsInteger();
    row.delta = log->FieldByName("Delta").AsInteger();
    row.old = ValuesOf(*log, leading);
    if (row.delta != ldDeleted) {
      auto it = now.find(row.bookMark);
      if (it == now.end()) continue;  // the row is gone again: nothing to write
      row.current = std::move(it->second);
    }
    p.rows.push_back(std::move(row));
  }
  return p;
}

// The WHERE part for a logged row: its key, and under upWhereAll or
// upWhereChanged the other compared fields, each with the value the client
// started from (NULL-safe).
std::string WherePart(const ProviderPackage& p, const LoggedRow& row, Binder& bind) {
  std::vector<std::string> conditions;
  for (int i = 0; i < row.old->Count(); ++i) {
    const TRdaParamItem& old = row.old->Items(i);
    const bool key = Contains(p.keys, old.Name());
    if (!key) {
      if (!Contains(p.tableColumns, old.Name()) || Contains(p.notWritten, old.Name()) ||
          !Comparable(old.DataType()) || p.updateMode > kUpWhereChanged)
        continue;
      if (p.updateMode == kUpWhereChanged && row.current) {
        const TRdaParamItem* now = row.current->FindParam(old.Name());
        if (now == nullptr || SameValue(*now, old)) continue;
      }
    }
    conditions.push_back(Matches(p.Column(old.Name()), old, bind));
  }
  std::string where;
  for (const std::string& c : conditions) where += (where.empty() ? " WHERE " : " AND ") + c;
  return where;
}

std::string ValueText(const SqlValue& v);

// Types whose value the table's own text or number gives back as it is.
bool TakesTableValue(TFieldType type) {
  switch (type) {
    case ftString: case ftWideString: case ftFixedChar: case ftMemo: case ftSmallint: case ftInteger:
    case ftWord: case ftLargeint: case ftAutoInc: case ftFloat: case ftCurrency: case ftBoolean:
      return true;
    default:
      return false;
  }
}

// The row a statement returned, over the client's values of the row: what
// other clients are sent.
void TakeWrittenRow(const SqlStatement& stmt, const LoggedRow& row) {
  row.written = row.current->Clone();
  const SqlRow values = stmt.Row();
  for (int i = 0; i < stmt.ColumnCount() && static_cast<size_t>(i) < values.size(); ++i) {
    const std::string name = HasHighBytes(stmt.ColumnName(i)) ? Utf8ToCp1252(stmt.ColumnName(i)) : stmt.ColumnName(i);
    TRdaParamItem* item = row.written->FindParam(name);
    if (item == nullptr || !TakesTableValue(item->DataType())) continue;
    const SqlValue& v = values[static_cast<size_t>(i)];
    const TFieldType type = item->DataType();
    try {
      if (v.storage == SqlValue::kNull) {
        item->SetValue(Variant::Null());
        item->SetDataType(type);
      } else if (type == ftBoolean) {
        item->SetAsBoolean(v.storage == SqlValue::kInteger ? v.integer != 0 : SameTextAscii(v.bytes, "TRUE"));
      } else {
        item->SetAsText(ValueText(v));  // read by the item's own type
      }
    } catch (const std::exception&) {
      item->Assign(*row.current->FindParam(name));  // the client's value stands
    }
  }
}

// Writes one logged row; returns false for a conflict (the row was changed or
// removed meanwhile). Raises what the database raises.
bool WriteLoggedRow(SqlConnection& db, const ProviderPackage& p, const LoggedRow& row) {
  Binder bind;
  std::string sql;
  auto writable = [&](const TRdaParamItem& item) {
    return Contains(p.tableColumns, item.Name()) && !Contains(p.notWritten, item.Name());
  };
  if (row.delta == ldInserted) {
    std::string names, values;
    for (int i = 0; i < row.current->Count(); ++i) {
      const TRdaParamItem& v = row.current->Items(i);
      if (!writable(v) || v.IsNull()) continue;
      names += (names.empty() ? "" : ", ") + p.Column(v.Name());
      values += (values.empty() ? "" : ", ") + bind.Add(v);
    }
    sql = names.empty() ? "INSERT INTO " + p.tableSql + " DEFAULT VALUES"
                        : "INSERT INTO " + p.tableSql + " (" + names + ") VALUES (" + values + ")";
  } else if (row.delta == ldModified) {
    std::string sets;
    for (int i = 0; i < row.current->Count(); ++i) {
      const TRdaParamItem& v = row.current->Items(i);
      const TRdaParamItem* old = row.old->FindParam(v.Name());
      if (!writable(v) || (old != nullptr && SameValue(*old, v))) continue;
      sets += (sets.empty() ? "" : ", ") + p.Column(v.Name()) + " = " + bind.Add(v);
    }
    if (sets.empty()) return true;
    sql = "UPDATE " + p.tableSql + " SET " + sets + WherePart(p, row, bind);
  } else if (row.delta == ldDeleted) {
    sql = "DELETE FROM " + p.tableSql + WherePart(p, row, bind);
  } else {
    throw Exception("Unknown change kind " + std::to_string(row.delta));
  }
  if (row.delta != ldDeleted) sql += " RETURNING *";
  SqlStatement stmt = db.Prepare(sql, &bind.Params());
  bool returned = false;
  while (db.Step(stmt)) {
    if (!returned) TakeWrittenRow(stmt, row);
    returned = true;
  }
  if (row.delta == ldDeleted) return db.Changes() > 0;
  return returned;
}

std::string RowDescription(const ProviderPackage& p, const LoggedRow& row) {
  static const char* kinds[] = {"update", "delete", "insert"};
  std::string text = std::string(row.delta >= 0 && row.delta <= 2 ? kinds[row.delta] : "change") +
                     " of " + p.table + " where ";
  const TRdaParamList& values = row.delta == ldInserted ? *row.current : *row.old;
  bool first = true;
  for (const std::string& k : p.keys) {
    const TRdaParamItem* v = values.FindParam(k);
    text += (first ? "" : " and ") + k + " = " + (v == nullptr || v->IsNull() ? "NULL" : "'" + v->AsString() + "'");
    first = false;
  }
  return text;
}

std::string ConflictText(const ProviderPackage& p, const LoggedRow& row) {
  return "The row was changed by another user: " + RowDescription(p, row);
}

// ---- Broadcasts --------------------------------------------------------------------

// A dataset with integer fields in front, then the package's fields.
void OpenRowsDataSet(TRdaDataSet& ds, const ProviderPackage& p, const std::vector<std::string>& leading) {
  for (const std::string& name : leading) ds.AddField(name, ftInteger, 0);
  for (const auto& [name, type] : p.fields) ds.AddField(name, type.first, type.second);
  ds.Open();
}

// A row: the leading integers, then the values by field name.
void AppendRow(TRdaDataSet& ds, int leading, const TRdaParamList& values, const std::vector<int32_t>& front) {
  ds.Append();
  for (size_t i = 0; i < front.size(); ++i) ds.Fields()[static_cast<int>(i)].SetAsInteger(front[i]);
  for (int i = 0; i < values.Count(); ++i) {
    if (TField* f = ds.FindField(values.Items(i).Name()); f != nullptr && f->Index() >= leading) {
      AssignToField(values.Items(i), *f);
    }
  }
  ds.Post();
}

// The rows read back after the inserts of a package that asks for them
// (AutoIncrementField or RefetchOnInsert set): pairs of a one-row dataset with
// the row as the table holds it and the row's RecordID on the client, as the
// text of token 35; "" when there are none.
std::string ReadBackText(const ProviderPackage& p, const std::vector<const LoggedRow*>& written) {
  if (!p.readBack) return {};
  TRdaParamList pairs;
  for (const LoggedRow* row : written) {
    if (row->delta != ldInserted || !row->written) continue;
    TRdaDataSet ds;
    OpenRowsDataSet(ds, p, {});
    AppendRow(ds, 0, *row->written, {});
    pairs.FastAdd(Variant(ds.DataSetToText()));
    pairs.FastAdd(Variant(row->bookMark));
  }
  return pairs.Count() == 0 ? std::string() : pairs.ToText(false);
}

// The rows written, as a change event (see DeliverChange).
std::string ChangeEvent(const ProviderPackage& p, const std::vector<const LoggedRow*>& rows, int origin) {
  TRdaDataSet ds;
  OpenRowsDataSet(ds, p, {"RdaChange", "RdaClientId"});
  for (const LoggedRow* row : rows) {
    const TRdaParamList& values = row->delta == ldDeleted ? *row->old : row->written ? *row->written : *row->current;
    AppendRow(ds, 2, values, {row->delta == ldModified ? 0 : row->delta == ldDeleted ? 1 : 2, origin});
  }
  TRdaParamList event;
  event.CreateParam(ftString, "Provider", ptInput).SetAsString(p.providerKey);
  event.CreateParam(ftInteger, "Origin", ptInput).SetAsInteger(origin);
  event.CreateParam(ftMemo, "Rows", ptInput).SetAsMemo(ds.DataSetToText());
  return event.ToText(false);
}

std::string ValueText(const SqlValue& v) {
  switch (v.storage) {
    case SqlValue::kInteger: return std::to_string(v.integer);
    case SqlValue::kReal: return FloatToStr(v.real);
    case SqlValue::kText: return Utf8ToCodePage(v.bytes);
    default: return v.bytes;
  }
}

// The row as the server holds it now, found by the key the client started
// from: a list of its columns as texts (NULL as a null item); empty when the
// row is gone.
std::string ServerRowText(SqlConnection& db, const ProviderPackage& p, const LoggedRow& row) {
  Binder bind;
  std::string where;
  for (const std::string& k : p.keys) {
    const TRdaParamItem* v = row.old->FindParam(k);
    if (v == nullptr) return {};
    where += (where.empty() ? " WHERE " : " AND ") + Matches(p.Column(k), *v, bind);
  }
  SqlStatement stmt = db.Prepare("SELECT * FROM " + p.tableSql + where, &bind.Params());
  TRdaParamList list;
  if (db.Step(stmt)) {
    const SqlRow values = stmt.Row();
    for (int i = 0; i < stmt.ColumnCount() && static_cast<size_t>(i) < values.size(); ++i) {
      TRdaParamItem& item = list.CreateParam(ftString, Utf8ToCodePage(stmt.ColumnName(i)), ptInput);
      if (values[static_cast<size_t>(i)].storage != SqlValue::kNull) item.SetAsString(ValueText(values[static_cast<size_t>(i)]));
    }
  }
  return list.ToText(false);
}

// A row that could not be written.
struct RowFailure {
  int component = 0;
  int32_t bookMark = 0;
  std::string message;     // UTF-8
  bool conflict = false;
  std::string serverRow;   // for a conflict: ServerRowText
};

class RowFailed : public Exception {
 public:
  explicit RowFailed(RowFailure f) : Exception(f.message), failure(std::move(f)) {}
  RowFailure failure;
};

// One dataset's package within a request.
struct PackageRun {
  int component = 0;
  ProviderPackage package;
  std::vector<const LoggedRow*> written;
};

// Writes every package's rows in one transaction. All or nothing: the first
// row that fails rolls everything back and raises RowFailed. With anySuccess
// each row is a savepoint of its own: a failing row is rolled back alone and
// reported, the others are committed.
std::vector<RowFailure> WritePackages(SqlConnection& db, std::vector<PackageRun>& runs, bool anySuccess,
                                      const std::function<void(const std::string&)>& log) {
  std::vector<RowFailure> failures;
  db.BeginWrite();
  try {
    for (PackageRun& run : runs) {
      for (const LoggedRow& row : run.package.rows) {
        if (anySuccess) db.Execute("SAVEPOINT rda_row");
        std::optional<RowFailure> failed;
        try {
          if (!WriteLoggedRow(db, run.package, row)) {
            failed = RowFailure{run.component, row.bookMark, ConflictText(run.package, row), true,
                                ServerRowText(db, run.package, row)};
          }
        } catch (const std::exception& e) {
          failed = RowFailure{run.component, row.bookMark,
                              std::string(e.what()) + " (" + RowDescription(run.package, row) + ")", false, {}};
        }
        if (failed && !anySuccess) throw RowFailed(std::move(*failed));
        if (failed) {
          db.Execute("ROLLBACK TO rda_row");
          db.Execute("RELEASE rda_row");
          failures.push_back(std::move(*failed));
          continue;
        }
        if (anySuccess) db.Execute("RELEASE rda_row");
        run.written.push_back(&row);
      }
    }
    db.Execute("COMMIT");
  } catch (...) {
    try {
      db.Execute("ROLLBACK");
    } catch (const std::exception& e) {
      log(std::string("rollback failed: ") + e.what());
    }
    throw;
  }
  return failures;
}

// The error text for failed rows: their messages, each followed by CR, then
// the details for the client (kErrorDetailMarker).
std::string FailureText(const std::vector<RowFailure>& failures, bool listFailed) {
  std::string text;
  TRdaParamList detail;
  std::map<int, std::unique_ptr<TRdaParamList>> failed;
  for (const RowFailure& f : failures) {
    text += f.message + (failures.size() > 1 || listFailed ? "\r" : "");
    if (listFailed) {
      auto& rows = failed[f.component];
      if (!rows) rows = std::make_unique<TRdaParamList>();
      rows->CreateParam(ftInteger, Utf8ToCodePage(f.message), ptInput).SetAsInteger(f.bookMark);
    }
    if (f.conflict) {
      detail.CreateParam(ftString, "Conflict." + std::to_string(f.component) + "." + std::to_string(f.bookMark), ptInput)
          .SetAsString(f.serverRow);
    }
  }
  for (auto& [component, rows] : failed) {
    detail.CreateParam(ftString, "Failed." + std::to_string(component), ptInput).SetAsString(rows->ToText(false));
  }
  return text + kErrorDetailMarker + HexDigits(detail.ToText(false));
}

// Writes the packages and pushes what was written to the other clients;
// returns the error text for the client ("" when every row went through).
std::string WriteAndBroadcast(SqlConnection& db, std::vector<PackageRun>& runs, bool anySuccess,
                              const ProviderBroadcasts* broadcasts, int origin,
                              const std::function<void(const std::string&)>& log,
                              std::vector<std::pair<int, std::string>>& readBacks) {
  std::vector<RowFailure> failures;
  try {
    failures = WritePackages(db, runs, anySuccess, log);
  } catch (const RowFailed& e) {
    return FailureText({e.failure}, false);
  }
  for (const PackageRun& run : runs) {
    if (std::string text = ReadBackText(run.package, run.written); !text.empty()) {
      readBacks.push_back({run.component, std::move(text)});
    }
    if (broadcasts == nullptr || run.written.empty()) continue;
    const std::string event = ChangeEvent(run.package, run.written, origin);
    DeliverChange(db, *broadcasts, event, origin, log);
    if (broadcasts->publish) broadcasts->publish(db, event);
  }
  return failures.empty() ? std::string() : FailureText(failures, true);
}

}  // namespace

void DeliverChange(SqlConnection& db, const ProviderBroadcasts& broadcasts, const std::string& event, int except,
                   const std::function<void(const std::string&)>& log) {
  const std::unique_ptr<TRdaParamList> e = TRdaParamList::FromText(event);
  const TRdaParamItem* provider = e->FindParam("Provider");
  const TRdaParamItem* rowsText = e->FindParam("Rows");
  if (provider == nullptr || rowsText == nullptr) throw Exception("A change event lacks its provider or rows");
  const std::vector<ProviderBroadcasts::Registration> targets = broadcasts.For(provider->AsString(), except);
  if (targets.empty()) return;
  const std::unique_ptr<TRdaDataSet> rows = TextToDataSet(rowsText->AsString());
  if (rows->FieldCount() < 2) throw Exception("A change event's rows lack their leading fields");
  // Each row's change kind and client, and its own fields by name.
  std::vector<std::pair<std::vector<int32_t>, RowValues>> values;
  for (rows->First(); !rows->Eof(); rows->Next()) {
    values.emplace_back(std::vector<int32_t>{rows->Fields()[0].AsInteger(), rows->Fields()[1].AsInteger()},
                        ValuesOf(*rows, 2));
  }
  // Which rows pass a filter: the database evaluates it over the row's values
  // named as the dataset's fields.
  auto passes = [&](const std::string& filter, const TRdaParamList& row) {
    if (TrimBlanks(filter).empty()) return true;
    Binder bind;
    std::string columns;
    for (int i = 0; i < row.Count(); ++i)
      columns += (columns.empty() ? "" : ", ") + db.TypedParameter(bind.Add(row.Items(i)), row.Items(i).DataType()) +
                 " AS " + Quoted(row.Items(i).Name());
    SqlStatement stmt = db.Prepare("SELECT 1 FROM (SELECT " + columns + ") AS rda_row WHERE (" + filter + ")",
                                   &bind.Params());
    return db.Step(stmt);
  };
  std::map<int, std::vector<std::pair<int, std::string>>> bySession;
  std::map<int, ProviderBroadcasts::Push> pushes;
  for (const ProviderBroadcasts::Registration& r : targets) {
    TRdaDataSet ds;
    for (int i = 0; i < rows->FieldCount(); ++i)
      ds.AddField(rows->Fields()[i].FieldName(), rows->Fields()[i].DataType(), rows->FieldDefs().Items(i).Size());
    ds.Open();
    int count = 0;
    for (const auto& [front, row] : values) {
      try {
        if (!passes(r.filter, *row)) continue;
      } catch (const std::exception& ex) {
        log("provider broadcast filter \"" + r.filter + "\" failed: " + ex.what());
        continue;
      }
      AppendRow(ds, 2, *row, front);
      ++count;
    }
    if (count == 0) continue;
    bySession[r.sessionId].push_back({r.componentId, ds.DataSetToText()});
    pushes[r.sessionId] = r.push;
  }
  for (auto& [session, sets] : bySession) {
    TRdaStringLine line;
    if (sets.size() == 1) {
      line.SetToken(tkProviderBroadcast);
      line.SetMsgId(sets[0].first);
      line.AddField(sets[0].second);
    } else {
      TRdaParamList list;
      for (auto& [component, text] : sets) {
        list.CreateParam(ftString, std::to_string(component), ptInput).SetAsString(text);
      }
      line.SetToken(tkBroadcastDataSets);
      line.SetMsgId(0);
      line.AddField(list.ToText(false));
    }
    if (pushes[session]) pushes[session](line.Compose());
  }
}

void ServerSession::ReplyToProviderWrite(int id, const std::string& error,
                                         const std::vector<std::pair<int, std::string>>& readBacks,
                                         std::string& out) {
  // The rows read back come first, so that they are in place when the reply
  // ends the client's wait.
  for (const auto& [component, text] : readBacks) {
    TRdaStringLine line;
    line.SetToken(tkRefetchedRows);
    line.SetMsgId(component);
    line.AddField(text);
    Send(line, out);
  }
  if (!error.empty()) {
    SendError(id, error, out);
    return;
  }
  TRdaStringLine ack;
  ack.SetToken(tkAcknowledge);
  ack.SetMsgId(id);
  Send(ack, out);
}

// ---- Requests ----------------------------------------------------------------------

void ServerSession::ProviderRegistration(int id, const std::vector<std::string>& f) {
  if (settings_.broadcasts == nullptr || (settings_.requireLogin && !verified_)) return;
  const bool registering = StrToIntDef(f.size() > 0 ? f[0] : "", 0) == 1;
  if (!registering) {
    settings_.broadcasts->Unregister(id_, id);
    return;
  }
  ProviderBroadcasts::Registration r;
  r.sessionId = id_;
  r.componentId = id;
  r.provider = f.size() > 2 ? f[2] : std::string();
  r.filter = f.size() > 3 ? f[3] : std::string();
  r.push = OnPush;
  if (TrimBlanks(r.provider).empty() || !r.push) return;
  if (!TrimBlanks(r.filter).empty()) {
    // A filter must compile over the provider's fields; its fields are not
    // known here, so only the expression's own syntax is checked.
    try {
      SqlStatement check = db_->Prepare("SELECT 1 WHERE 1 = 0 AND (" + r.filter + ")", nullptr);
      db_->Step(check);
    } catch (const std::exception& e) {
      const std::string text = e.what();
      // Unknown column names are fine here: they are the dataset's fields.
      if (text.find("no such column") == std::string::npos &&
          !(text.find("column") != std::string::npos && text.find("does not exist") != std::string::npos)) {
        Log("provider broadcast registration refused, filter \"" + r.filter + "\": " + text);
        return;
      }
    }
  }
  settings_.broadcasts->Register(std::move(r));
}

void ServerSession::ProviderUpdate(int id, const std::vector<std::string>& f, std::string& out) {
  db_->BeginRequest();
  std::vector<PackageRun> runs(1);
  runs[0].component = id;
  runs[0].package = ReadProviderPackage(*db_, f.size() > 0 ? f[0] : "", f.size() > 1 ? f[1] : "");
  std::vector<std::pair<int, std::string>> readBacks;
  const std::string error =
      WriteAndBroadcast(*db_, runs, false, settings_.broadcasts, id_, [this](const std::string& t) { Log(t); }, readBacks);
  ReplyToProviderWrite(id, error, readBacks, out);
}

void ServerSession::ProviderTransaction(int id, const std::vector<std::string>& f, std::string& out) {
  db_->BeginRequest();
  // "Provider transaction" #2 the settings: the login's parameters and, per
  // dataset named by its component id, its provider parameters.
  const std::string& head = f.size() > 0 ? f[0] : std::string();
  const size_t mark = head.find('\x02');
  bool anySuccess = false;
  if (mark != std::string::npos) {
    std::unique_ptr<TRdaParamList> settings = TRdaParamList::FromText(std::string_view(head).substr(mark + 1));
    for (int i = 0; i < settings->Count(); ++i) {
      if (SameTextAscii(settings->Items(i).Name(), "ClientSocket")) continue;
      std::unique_ptr<TRdaParamList> params = TRdaParamList::FromText(settings->Items(i).AsString());
      const TRdaParamItem* flag = params->FindParam("~ProviderCommitAnySuccess");
      anySuccess = anySuccess || (flag != nullptr && !flag->IsNull() && flag->AsBoolean());
    }
  }
  std::vector<PackageRun> runs;
  std::unique_ptr<TRdaParamList> packages = TRdaParamList::FromText(f.size() > 1 ? f[1] : "");
  for (int i = 0; i < packages->Count(); ++i) {
    std::unique_ptr<TRdaParamList> package = TRdaParamList::FromText(packages->Items(i).AsString());
    if (package->Count() < 3) throw Exception("A provider package is incomplete");
    PackageRun run;
    run.component = StrToIntDef(package->Items(0).Name(), 0);
    run.package = ReadProviderPackage(*db_, package->Items(1).AsString(), package->Items(2).AsString());
    runs.push_back(std::move(run));
  }
  std::vector<std::pair<int, std::string>> readBacks;
  const std::string error = WriteAndBroadcast(*db_, runs, anySuccess, settings_.broadcasts, id_,
                                              [this](const std::string& t) { Log(t); }, readBacks);
  ReplyToProviderWrite(id, error, readBacks, out);
}

}  // namespace rda
