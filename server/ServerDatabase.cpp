#include "server/ServerDatabase.h"

#include "base/Text.h"
#include "server/PostgresCatalog.h"
#include "server/PostgresDatabase.h"
#include "server/SqliteDatabase.h"

namespace rda {

BindKind BindKindOf(TFieldType type) {
  switch (type) {
    case ftSmallint: case ftInteger: case ftWord: case ftAutoInc: case ftLargeint: return BindKind::kInteger;
    case ftBoolean: return BindKind::kBoolean;
    case ftFloat: return BindKind::kFloat;
    case ftCurrency: case ftBCD: return BindKind::kCurrency;
    case ftFMTBcd: return BindKind::kDecimal;
    case ftDate: return BindKind::kDate;
    case ftTime: return BindKind::kTime;
    case ftDateTime: case ftTimeStamp: return BindKind::kDateTime;
    case ftBytes: case ftVarBytes: case ftBlob: case ftGraphic: case ftTypedBinary: case ftOraBlob:
      return BindKind::kBytes;
    default: return BindKind::kText;
  }
}

bool IsPostgresTarget(std::string_view db) {
  if (StartsTextAscii(db, "postgresql://") || StartsTextAscii(db, "postgres://")) return true;
  // A libpq connection string: keyword=value pairs, the first one a keyword
  // libpq knows. A file name with '=' in it stays a file.
  for (std::string_view keyword : {"host=", "hostaddr=", "dbname=", "port=", "user=", "service="}) {
    if (StartsTextAscii(TrimBlanks(db), keyword)) return true;
  }
  return false;
}

std::string_view DefinitionTablesScript(SqlEngine engine) {
  return engine == SqlEngine::kSqlite ? SqliteDefinitionTablesScript() : PostgresDefinitionTablesScript();
}

std::unique_ptr<Database> OpenDatabase(const std::string& db, const DatabaseLimits& limits) {
  if (IsPostgresTarget(db)) return OpenPostgresDatabase(db, limits);
  return OpenSqliteDatabase(db, limits);
}

}  // namespace rda
