#include "remotedata/RdaUpdateSql.h"

#include <algorithm>
#include <utility>

#include "base/Exception.h"
#include "base/ScopeGuard.h"
#include "base/Text.h"
#include "memdata/RdaAuditDataSet.h"
#include "memdata/RdaParamBridge.h"
#include "memdata/framework/DataSet.h"
#include "memdata/framework/Field.h"

namespace rda {
namespace {

bool IsBytes(TFieldType t) { return t == ftBytes || t == ftVarBytes; }
bool IsBlobKind(TFieldType t) {
  return t == ftBlob || t == ftGraphic || t == ftFmtMemo || t == ftTypedBinary || t == ftOraBlob;
}
bool IsMemoKind(TFieldType t) { return t == ftMemo || t == ftOraClob; }

// Blob-like in a WHERE part: ftBytes, ftVarBytes, ftBlob to ftCursor, ftADT to ftOraClob.
bool BlobLikeForWhere(TFieldType t) {
  const int v = static_cast<int>(t);
  return (v >= ftBytes && v <= ftCursor) || (v >= ftADT && v <= ftOraClob);
}

bool Listed(const std::vector<std::string>& lines, std::string_view name) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& line) { return SameName(line, name); });
}

}  // namespace

TRdaUpdateSqlWriter::TRdaUpdateSqlWriter(TRdaUpdateSqlSettings settings,
                                         const TRdaConnectionSettings& connection,
                                         TRdaSQLCustomFormatEvent onCustomSQLSyntax)
    : settings_(std::move(settings)),
      connection_(connection),
      onCustomSQLSyntax_(std::move(onCustomSQLSyntax)) {}

bool TRdaUpdateSqlWriter::TakesPart(const TField& field) const {
  const TFieldType type = field.DataType();
  const bool autoInc =
      !settings_.AutoIncrementField.empty() && SameName(field.FieldName(), settings_.AutoIncrementField);
  bool takes = field.FieldKind() == fkData && !field.ReadOnly() && !autoInc &&
               !Listed(settings_.NoSQLFields, field.FieldName()) &&
               (type != ftAutoInc || settings_.SQLOptions.Contains(soIgnoreAutoIncrement));
  if (!takes && autoInc && !settings_.OracleSequence.empty()) takes = true;
  if (!takes) return false;
  if (IsBytes(type)) return settings_.SQLOptions.Contains(soFetchBytes) && settings_.LargeValues;
  if (IsBlobKind(type)) return settings_.SQLOptions.Contains(soFetchBlobs) && settings_.LargeValues;
  if (IsMemoKind(type)) return settings_.SQLOptions.Contains(soFetchMemos) && settings_.LargeValues;
  switch (type) {
    case ftParadoxOle:
    case ftDBaseOle:
    case ftCursor:
    case ftADT:
    case ftArray:
    case ftReference:
    case ftDataSet: return false;
    default: return true;
  }
}

bool TRdaUpdateSqlWriter::Changed(const TField& field, const TField& old) const {
  if (settings_.SQLOptions.Contains(soForceChange)) return true;
  if (field.IsNull() != old.IsNull()) return true;
  if (field.IsNull()) return false;
  const auto* text = dynamic_cast<const TStringField*>(&field);
  const auto* oldText = dynamic_cast<const TStringField*>(&old);
  if (text && oldText) return text->AsStringView() != oldText->AsStringView();
  return field.AsString() != old.AsString();
}

const TField* TRdaUpdateSqlWriter::OldOf(const TField& field, TDataSet& log) const {
  const auto it = oldFields_.find(&field);
  return it != oldFields_.end() ? it->second : log.FindField(field.FieldName());
}

const TField& TRdaUpdateSqlWriter::OldValue(const TField& field, TDataSet& log) const {
  const TField* old = OldOf(field, log);
  return old ? *old : log.FieldByName(field.FieldName());  // raises the dataset's error
}

std::string TRdaUpdateSqlWriter::ColumnName(const TField& field, bool inInsert) const {
  const TRdaServerSQLOptions o = connection_.SQLOptions;
  std::string name = field.FieldName();
  if (o.Contains(ssUseQuotesInFieldNames)) {
    name = "\"" + name + "\"";
  } else if (o.Contains(ssBracketsInFieldNames)) {
    name = "[" + name + "]";
  }
  const bool prefix = inInsert ? o.Contains(ssTableNameInInsertStatments) &&
                                     !o.Contains(ssNoTableNameInUpdateStatements) &&
                                     connection_.UpdateSQLSyntax != usAccess
                               : !o.Contains(ssNoTableNameInUpdateStatements);
  if (prefix && !settings_.UpdateTableName.empty()) name = settings_.UpdateTableName + "." + name;
  return name;
}

bool TRdaUpdateSqlWriter::Terminated() const {
  return connection_.SQLOptions.Contains(ssTerminateWithSemiColon);
}

std::string TRdaUpdateSqlWriter::FreeParamName(const std::string& base) {
  std::string folded = UpperCp1252(base);
  // The usual case: the name is free (no counter kept for it).
  if (paramNames_.insert(folded).second) return base;
  int& next = nextSuffix_.try_emplace(std::move(folded), 2).first->second;
  std::string name;
  do {
    name = base + std::to_string(next++);
  } while (!paramNames_.insert(UpperCp1252(name)).second);
  return name;
}

TRdaParamItem& TRdaUpdateSqlWriter::NewParam(TFieldType type, const std::string& name) {
  if (!params_) params_ = std::make_unique<TRdaParamList>();
  return params_->CreateParam(type, name, ptInput);
}

void TRdaUpdateSqlWriter::AddValueParam(const std::string& name, const TField& field) {
  const TFieldType type = field.DataType();
  if (IsBlobKind(type)) {
    NewParam(ftBlob, name).SetAsBlob(field.IsNull() ? std::string() : field.AsString());
  } else if (IsMemoKind(type)) {
    NewParam(ftMemo, name).SetAsMemo(field.IsNull() ? std::string() : field.AsString());
  } else {
    TRdaParamItem& item = NewParam(type, name);
    AssignFromField(item, field);
  }
}

std::string TRdaUpdateSqlWriter::Insert(TDataSet& data) {
  std::vector<std::string> columns;
  std::vector<std::string> values;
  for (const auto& owned : data.Fields()) {
    TField* field = owned.get();
    if (!TakesPart(*field)) continue;
    const bool sequence =
        !settings_.OracleSequence.empty() && SameName(field->FieldName(), settings_.AutoIncrementField);
    const TFieldType type = field->DataType();
    const bool hasValue =
        sequence || ((type == ftDate || type == ftDateTime) ? !field->IsNull()
                                                            : !field->IsNull() && !field->AsString().empty());
    if (!hasValue) continue;
    columns.push_back(ColumnName(*field, true));
    if (sequence) {
      values.push_back(settings_.OracleSequence + ".NextVal");
    } else {
      const std::string param = FreeParamName(RdaSqlParamName(field->FieldName()));
      values.push_back(" :" + param);
      AddValueParam(param, *field);
    }
  }
  if (columns.empty()) return {};
  return RdaSqlInsert(settings_.UpdateTableName, columns, values,
                      connection_.UpdateSQLSyntax == usAccess || Terminated());
}

std::optional<std::string> TRdaUpdateSqlWriter::Update(TDataSet& data, TDataSet& log) {
  std::string set;
  for (const auto& owned : data.Fields()) {
    TField* field = owned.get();
    if (!TakesPart(*field)) continue;
    const TField* old = OldOf(*field, log);
    if (old && !Changed(*field, *old)) continue;
    const std::string param = FreeParamName(RdaSqlParamName(field->FieldName()));
    set += ColumnName(*field, false) + " = :" + param + ",";
    AddValueParam(param, *field);
  }
  if (set.empty()) return std::nullopt;
  set.pop_back();
  return "UPDATE " + settings_.UpdateTableName + " SET " + set + " " + Where(data, log, false);
}

std::string TRdaUpdateSqlWriter::Where(TDataSet& data, TDataSet& log, bool deleted) {
  std::vector<std::string> conditions;
  // "T.f = :Key_f" with the old value as a parameter; an old NULL compared with IS
  // when the connection says so (no parameter then).
  auto byParameter = [&](const TField& field) {
    const TField& old = OldValue(field, log);
    const std::string column = ColumnName(field, false);
    if (old.IsNull() && connection_.SQLOptions.Contains(ssUseISInNuLLcompares)) {
      conditions.push_back(column + RdaSqlCompare(data, log, field.FieldName(), connection_, onCustomSQLSyntax_));
      return;
    }
    const std::string param = FreeParamName("Key_" + RdaSqlParamName(field.FieldName()));
    conditions.push_back(column + " = :" + param);
    AssignFromField(NewParam(old.DataType(), param), old);
  };
  auto comparable = [](const TField& field) { return !BlobLikeForWhere(field.DataType()) && !field.ReadOnly(); };
  switch (settings_.UpdateMode) {
    case upWhereKeyOnly:
      for (const std::string& key : settings_.PrimeFields) byParameter(data.FieldByName(key));
      break;
    case upWhereAll:
      for (const auto& field : data.Fields()) {
        if (comparable(*field)) byParameter(*field);
      }
      break;
    case upWhereChanged:
      for (const auto& field : data.Fields()) {
        if (!comparable(*field)) continue;
        const TField& old = OldValue(*field, log);
        if (!deleted && !Listed(settings_.PrimeFields, field->FieldName()) && !Changed(*field, old)) continue;
        conditions.push_back(ColumnName(*field, false) +
                             RdaSqlCompare(data, log, field->FieldName(), connection_, onCustomSQLSyntax_));
      }
      break;
  }
  if (conditions.empty()) {
    throw EDatabaseError("No WHERE condition can be written for a change to " + settings_.UpdateTableName +
                         ": no key field or comparable field");
  }
  std::string where = " Where ";
  for (size_t i = 0; i < conditions.size(); ++i) {
    if (i > 0) where += " AND ";
    where += conditions[i];
  }
  // Under upWhereAll and upWhereChanged the list is built with " AND " after each
  // condition and the last "AND " cut off, which leaves one blank at the end.
  if (settings_.UpdateMode != upWhereKeyOnly) where += ' ';
  if (Terminated()) where += ';';
  return where;
}

std::optional<std::string> TRdaUpdateSqlWriter::Statement(int32_t delta, TDataSet& data, TDataSet& log) {
  switch (delta) {
    case ldInserted: return Insert(data);
    case ldModified: return Update(data, log);
    case ldDeleted: return "DELETE FROM " + settings_.UpdateTableName + " " + Where(data, log, true);
    default: return std::nullopt;
  }
}

std::unique_ptr<TRdaParamList> TRdaUpdateSqlWriter::TakeParams() {
  paramNames_.clear();
  nextSuffix_.clear();
  return std::move(params_);
}

void TRdaUpdateSqlWriter::WalkLog(TRda2CustomAuditDataSet& ds,
                                  const std::function<void(std::optional<std::string>)>& each) {
  ds.CheckBrowseMode();
  TRdaDataSet* log = ds.ChangeLog();
  if (!log || log->RecordCount() == 0) return;
  std::lock_guard<std::recursive_mutex> lock(ds.LogLock());
  ds.DisableControls();
  const bool filtered = ds.Filtered();
  const TBookmark here = ds.IsEmpty() ? TBookmark() : ds.Bookmark();
  TScopeGuard restore([&] {
    try {
      if (filtered) ds.SetFiltered(true);
      if (!here.empty() && ds.BookmarkValid(here)) ds.GotoBookmark(here);
    } catch (...) {
      // The rows are as they were; only the cursor may stand elsewhere.
    }
    ds.EnableControls();
  });
  if (filtered) ds.SetFiltered(false);
  const TField& deltaField = log->FieldByName("Delta");
  const TField& idField = log->FieldByName("BookMark");
  // Each data field's copy in the log, looked up once for the whole walk.
  oldFields_.clear();
  for (const auto& field : ds.Fields()) oldFields_.emplace(field.get(), log->FindField(field->FieldName()));
  TScopeGuard forget([this] { oldFields_.clear(); });
  for (log->First(); !log->Eof(); log->Next()) {
    const int32_t delta = deltaField.AsInteger();
    if (delta == ldModified || delta == ldInserted) {
      // Entries of rows that were never given a RecordID, or that are gone, name
      // no row to take the new values from.
      const int32_t id = idField.AsInteger();
      if (id <= 0) continue;
      const TBookmark row = TRdaCustomDataSet::BookmarkOfRecordID(id);
      if (!ds.BookmarkValid(row)) continue;
      ds.GotoBookmark(row);
    }
    each(Statement(delta, ds, *log));
  }
}

std::vector<std::string> TRdaUpdateSqlWriter::StatementList(TRda2CustomAuditDataSet& ds) {
  std::vector<std::string> lines;
  lines.push_back(connection_.SQLTransactionStart.empty() ? "BEGIN TRANSACTION" : connection_.SQLTransactionStart);
  WalkLog(ds, [&](std::optional<std::string> statement) {
    if (statement) lines.push_back(std::move(*statement));
  });
  lines.push_back(connection_.SQLTransactionEnd.empty() ? "COMMIT" : connection_.SQLTransactionEnd);
  return lines;
}

std::vector<TRdaUpdateSqlWriter::StatementRow> TRdaUpdateSqlWriter::StatementRows(TRda2CustomAuditDataSet& ds) {
  std::vector<StatementRow> rows;
  TRdaDataSet* log = ds.ChangeLog();
  if (!log) return rows;
  WalkLog(ds, [&](std::optional<std::string> statement) {
    if (!statement || statement->empty()) return;
    StatementRow row;
    row.Delta = log->FieldByName("Delta").AsInteger();
    row.BookMark = log->FieldByName("BookMark").AsInteger();
    if (row.Delta != ldDeleted) {
      row.Locator = " Where ";
      for (size_t i = 0; i < settings_.PrimeFields.size(); ++i) {
        const TField& key = ds.FieldByName(settings_.PrimeFields[i]);
        if (i > 0) row.Locator += " AND ";
        row.Locator += ColumnName(key, false) +
                       RdaSqlCompare(ds, ds, key.FieldName(), connection_, onCustomSQLSyntax_);
      }
      if (Terminated()) row.Locator += ';';
    }
    rows.push_back(std::move(row));
  });
  TakeParams();
  return rows;
}

std::unique_ptr<TRdaParamList> TRdaUpdateSqlWriter::StatementParams(TRda2CustomAuditDataSet& ds) {
  auto statements = std::make_unique<TRdaParamList>();
  const bool largeValues = settings_.LargeValues;
  settings_.LargeValues = true;
  TScopeGuard putBack([&] { settings_.LargeValues = largeValues; });
  TakeParams();
  // One list for every statement's own parameters, emptied after each.
  const auto startOver = [this] {
    if (params_) params_->Clear();
    paramNames_.clear();
    nextSuffix_.clear();
  };
  WalkLog(ds, [&](std::optional<std::string> statement) {
    if (!statement || statement->empty()) return;
    TRdaParamItem& item = statements->CreateParam(ftString, *statement, ptInput);
    item.SetAsString(params_ && params_->Count() > 0 ? params_->ToText(true) : std::string());
    startOver();
  });
  TakeParams();
  return statements;
}

}  // namespace rda
