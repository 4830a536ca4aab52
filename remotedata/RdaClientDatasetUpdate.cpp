// The client dataset's update SQL: its settings handed to TRdaUpdateSqlWriter.
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
