// The PostgreSQL side of the catalogue: the definition tables' schema and
// the queries that answer metadata requests from pg_catalog.
//
// Names. PostgreSQL folds unquoted names to lower case and keeps quoted ones
// as written, while the server's own SQL and most clients write names
// unquoted in any case ("SELECT Name, SQL FROM RdaProcedures"). So the
// definition tables and RdaUsers are made with unquoted names (stored in
// lower case), which every unquoted spelling reaches. Names are compared
// without regard to case (lower() on both sides), as SQLite's NOCASE
// columns do, and a unique index on lower("name") keeps two definitions
// from differing in case only. A table that a request names is looked up
// in the schemas of the search path, its exact name first, then without
// regard to case.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/ServerDatabase.h"

namespace rda {

std::string_view PostgresDefinitionTablesScript();
std::optional<CatalogQuery> PostgresMetaDataQuery(int code, const std::string& a, const std::string& b);
CatalogQuery PostgresTextListQuery(const std::string& column, const std::vector<std::string>& texts);
// The column names of the table :Name, in order (one column, UTF-8).
std::string_view PostgresTableColumnsQuery();
// The table's name as pg_class holds it, by :Name.
std::string_view PostgresTableNameQuery();

}  // namespace rda
