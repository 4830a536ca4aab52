// The SQLite implementation of the server's database access (ServerDatabase.h),
// the embedded default: one file per company, nothing to install.
//
//   - a file database is switched to WAL mode, so readers never wait for a
//     writer and a writer waits for another writer up to the busy timeout;
//   - the in-memory database is SQLite's "memdb" database under a name
//     unique to this Database object, which every connection of the process
//     can open; the Database keeps one connection of its own open for its
//     whole life, since the memory goes away with the last connection. It
//     uses rollback-journal locking with the same busy timeout.
//
// A connection checks the clock every thousand virtual machine steps for the
// query time limit and the server's stop; ATTACH and DETACH are refused, so
// a client cannot make the server open or create other files.
#pragma once

#include <memory>
#include <string>

#include "server/ServerDatabase.h"

struct sqlite3;

namespace rda {

// Opens (creating when missing) the file, or a new in-memory database when
// file is empty. Raises ESqlError.
std::unique_ptr<Database> OpenSqliteDatabase(const std::string& file, const DatabaseLimits& limits);

// The catalogue functions the SQLite metadata queries use, registered on
// every connection: rda_field_type(declared type) and rda_field_size(declared
// type) give the field type code and size a result column of that declared
// type is sent with.
void RegisterCatalogFunctions(sqlite3* db);

// The SQLite side of the catalogue (SqliteCatalog.cpp); see SqlConnection.
std::string_view SqliteDefinitionTablesScript();
std::optional<CatalogQuery> SqliteMetaDataQuery(int code, const std::string& a, const std::string& b);
CatalogQuery SqliteTextListQuery(const std::string& column, const std::vector<std::string>& texts);

}  // namespace rda
