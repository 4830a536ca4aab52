// The client dataset's update SQL: its settings handed to TRdaUpdateSqlWriter.
#include "base/Text.h"
#include "remotedata/RdaClientDataset.h"
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

void TRdaUpdateClientDataSet::SyncPrimaryKeyIndex() {
  std::string fields;  // the names joined with ";", blank lines left out
  bool present = true;
  for (const std::string& line : primeFields_) {
    const std::string name(TrimControls(line));
    if (name.empty()) continue;
    present = present && FindField(name) != nullptr;
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

}  // namespace rda
