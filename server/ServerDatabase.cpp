#include "server/ServerDatabase.h"

#include "base/Text.h"
#include "server/PostgresCatalog.h"
#include "server/PostgresDatabase.h"
#include "server/SqliteDatabase.h"

namespace rda {

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
