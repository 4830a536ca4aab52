#include "remotedata/RdaUpdateSql.h"

#include <algorithm>
#include <utility>

#include "base/Exception.h"
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
  return !field.IsNull() && field.AsString() != old.AsString();
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

TRdaParamList& TRdaUpdateSqlWriter::List() {
  if (!params_) params_ = std::make_unique<TRdaParamList>();
  return *params_;
}

void TRdaUpdateSqlWriter::AddValueParam(const std::string& name, const TField& field) {
  const TFieldType type = field.DataType();
  if (IsBlobKind(type)) {
    List().CreateParam(ftBlob, name, ptInput).SetAsBlob(field.IsNull() ? std::string() : field.AsString());
  } else if (IsMemoKind(type)) {
    List().CreateParam(ftMemo, name, ptInput).SetAsMemo(field.IsNull() ? std::string() : field.AsString());
  } else {
    TRdaParamItem& item = List().CreateParam(type, name, ptInput);
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
      const std::string param = RdaSqlParamName(field->FieldName());
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
    const TField* old = log.FindField(field->FieldName());
    if (old && !Changed(*field, *old)) continue;
    const std::string param = RdaSqlParamName(field->FieldName());
    set += ColumnName(*field, false) + " = :" + param + ",";
    AddValueParam(param, *field);
  }
  if (set.empty()) return std::nullopt;
  set.pop_back();
  return "UPDATE " + settings_.UpdateTableName + " SET " + set + " " + Where(data, log, false);
}

std::string TRdaUpdateSqlWriter::Where(TDataSet& data, TDataSet& log, bool deleted) {
  std::vector<std::string> conditions;
  switch (settings_.UpdateMode) {
    case upWhereKeyOnly:
      for (const std::string& key : settings_.PrimeFields) {
        const TField& old = log.FieldByName(key);
        const std::string column = ColumnName(data.FieldByName(key), false);
        if (old.IsNull() && connection_.SQLOptions.Contains(ssUseISInNuLLcompares)) {
          conditions.push_back(column + RdaSqlCompare(data, log, key, connection_, onCustomSQLSyntax_));
          continue;
        }
        std::string param = "Key_" + RdaSqlParamName(old.FieldName());
        for (int n = 2; List().FindParam(param); ++n) param += std::to_string(n);
        conditions.push_back(column + " = :" + param);
        TRdaParamItem& item = List().CreateParam(old.DataType(), param, ptInput);
        AssignFromField(item, old);
      }
      break;
    case upWhereAll:
      for (const auto& owned : data.Fields()) {
        TField* field = owned.get();
        if (BlobLikeForWhere(field->DataType()) || field->ReadOnly()) continue;
        const TField& old = log.FieldByName(field->FieldName());
        const std::string param = "Key_" + RdaSqlParamName(field->FieldName());
        conditions.push_back(ColumnName(*field, false) + " = :" + param);
        TRdaParamItem& item = List().CreateParam(old.DataType(), param, ptInput);
        AssignFromField(item, old);
      }
      break;
    case upWhereChanged:
      for (const auto& owned : data.Fields()) {
        TField* field = owned.get();
        if (BlobLikeForWhere(field->DataType()) || field->ReadOnly()) continue;
        const TField& old = log.FieldByName(field->FieldName());
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
    case kLogInserted: return Insert(data);
    case kLogEdited: return Update(data, log);
    case kLogDeleted: return "DELETE FROM " + settings_.UpdateTableName + " " + Where(data, log, true);
    default: return std::nullopt;
  }
}

}  // namespace rda
