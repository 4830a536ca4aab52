// The client dataset's update SQL: its settings handed to TRdaUpdateSqlWriter.
#include "remotedata/RdaClientDataset.h"

#include <algorithm>

#include "base/Text.h"
#include "remotedata/RdaUpdateSql.h"

namespace rda {
namespace {

// The settings a dataset without a connection writes with.
const TRdaConnectionSettings& DefaultConnectionSettings() {
  static const TRdaConnectionSettings defaults;
  return defaults;
}

TRdaUpdateSqlWriter WriterFor(TRdaUpdateClientDataSet& ds, bool generatingList) {
  TRdaUpdateSqlSettings s;
  s.UpdateTableName = ds.UpdateTableName();
  s.PrimeFields = ds.PrimeFields();
  s.NoSQLFields = ds.NoSQLFields();
  s.AutoIncrementField = ds.AutoIncrementField();
  s.OracleSequence = ds.OracleSequence();
  s.UpdateMode = ds.UpdateMode();
  s.SQLOptions = ds.SQLOptions();
  s.LargeValues = generatingList || ds.UpdateMethod() != umManual;
  const TRdaClientSocket* connection = ds.RdaClientSocket();
  if (!connection) return TRdaUpdateSqlWriter(std::move(s), DefaultConnectionSettings());
  return TRdaUpdateSqlWriter(std::move(s), connection->Settings(), connection->OnCustomSQLSyntax);
}

}  // namespace

void TRdaUpdateClientDataSet::SetPrimeFields(std::vector<std::string> lines) {
  primeFields_ = std::move(lines);
  if (Active()) SyncPrimaryKeyIndex();
}

void TRdaUpdateClientDataSet::SetAutoIncrementField(std::string value) {
  autoIncrementField_ = std::move(value);
  if (Active()) SyncPrimaryKeyIndex();
}

void TRdaUpdateClientDataSet::SyncPrimaryKeyIndex() {
  std::string fields;  // the names joined with ";", blank lines left out
  bool present = true;
  for (const std::string& line : primeFields_) {
    const std::string name(TrimControls(line));
    if (name.empty()) continue;
    present = present && FindField(name) != nullptr;
    // A key the server hands out: new rows have none (NULL) until applied.
    if (!autoIncrementField_.empty() && SameName(name, autoIncrementField_)) present = false;
    if (!fields.empty()) fields += ';';
    fields += name;
  }
  if (!present) fields.clear();
  TRdaIndexes& indexes = Indexes();
  if (TRdaIndex* own = indexes.FindIndex(kRdaPrimaryKeyIndexName)) {
    if (own->Fields() == fields) return;
    // The one made here follows the prime fields.
    indexes.Delete(indexes.IndexOf(own));
  }
  if (!fields.empty()) indexes.EnsurePrimaryKey(fields);
}

void TRdaUpdateClientDataSet::SetSQLGenerateLocation(TGenerateSQLLocation value) {
  sqlGenerateLocation_ = value;
  if (value == gsServer) SetUpdateMethod(umCached);
}

std::vector<std::string> TRdaUpdateClientDataSet::GeneratedSQL(std::unique_ptr<TRdaParamList>* params) {
  TRdaUpdateSqlWriter writer = WriterFor(*this, false);
  std::vector<std::string> lines = writer.StatementList(*this);
  if (params) *params = writer.TakeParams();
  return lines;
}

std::unique_ptr<TRdaParamList> TRdaUpdateClientDataSet::GeneratedStatementParams() {
  return WriterFor(*this, true).StatementParams(*this);
}

std::string TRdaUpdateClientDataSet::RefetchDescriptor(bool always) {
  auto listed = [](const std::string& name, const std::vector<std::string>& lines) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return SameTextAscii(l, name); });
  };
  int16_t kind = 0;
  if (!autoIncrementField_.empty() && listed(autoIncrementField_, primeFields_) &&
      listed(autoIncrementField_, refetchOnInsert_)) {
    kind = 1;
  } else if (!primeFields_.empty() && !refetchOnInsert_.empty()) {
    kind = 2;
  }
  if (kind == 0 && !always) return {};
  auto lines = [](const std::vector<std::string>& l) {
    std::string text;
    for (const std::string& line : l) text += line + "\r\n";
    return text;
  };
  TRdaParamList list;
  auto add = [&list](TFieldType type) -> TRdaParamItem& {
    return list.CreateParam(type, "FastAdd" + std::to_string(list.Count()), ptInput);
  };
  add(ftString).SetAsString(updateTableName_);
  add(ftString).SetAsString(GetDataBase());
  add(ftString).SetAsString(autoIncrementField_);
  add(ftString).SetAsString(lines(refetchOnInsert_));
  add(ftString).SetAsString(lines(primeFields_));
  add(ftSmallint).SetAsInteger(kind);
  add(ftString).SetAsString(oracleSequence_);
  for (const TRdaUpdateSqlWriter::StatementRow& row : WriterFor(*this, true).StatementRows(*this)) {
    add(ftString).SetAsString(row.Delta == ldDeleted ? std::string("delete") : row.Locator);
    add(ftInteger).SetAsInteger(row.BookMark);
  }
  return list.ToText(false);
}

}  // namespace rda
