// The SQLite side of the catalogue: the definition tables' schema and the
// queries that answer metadata requests from sqlite_schema and the pragma
// functions.
#include <sqlite3.h>

#include <cstdio>

#include "server/RowPacket.h"
#include "server/ServerCatalog.h"
#include "server/SqliteDatabase.h"

namespace rda {

namespace {

// The catalogue's user tables: not SQLite's own, not the server's.
constexpr char kUserTable[] =
    "m.type = 'table' AND m.name NOT LIKE 'sqlite\\_%' ESCAPE '\\' AND m.name NOT IN "
    "('RdaUsers', 'RdaProcedures', 'RdaMethods', 'RdaProviders', 'RdaParams', 'RdaWaitingMail')";

void FieldTypeFunction(sqlite3_context* context, int argc, sqlite3_value** argv, bool size) {
  const unsigned char* text = argc > 0 ? sqlite3_value_text(argv[0]) : nullptr;
  const std::string declared = text != nullptr ? reinterpret_cast<const char*>(text) : "";
  const ColumnSpec spec = DecideColumn("", declared, {}, 0, true);
  sqlite3_result_int(context, size ? spec.size : static_cast<int>(spec.type));
}

// A JSON array of texts, for json_each (UTF-8 in, UTF-8 out).
std::string JsonTextArray(const std::vector<std::string>& texts) {
  std::string json = "[";
  for (const std::string& t : texts) {
    if (json.size() > 1) json += ',';
    json += '"';
    for (const unsigned char c : t) {
      if (c == '"' || c == '\\') {
        json += '\\';
        json += static_cast<char>(c);
      } else if (c < 0x20) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\u%04x", c);
        json += buf;
      } else {
        json += static_cast<char>(c);
      }
    }
    json += '"';
  }
  return json + "]";
}

}  // namespace

std::string_view SqliteDefinitionTablesScript() {
  return R"sql(
CREATE TABLE IF NOT EXISTS "RdaProcedures" (
  "Name" TEXT NOT NULL PRIMARY KEY COLLATE NOCASE, "SQL" TEXT NOT NULL, "Description" TEXT);
CREATE TABLE IF NOT EXISTS "RdaMethods" (
  "Name" TEXT NOT NULL PRIMARY KEY COLLATE NOCASE, "SQL" TEXT NOT NULL, "KeyFields" TEXT,
  "Description" TEXT);
CREATE TABLE IF NOT EXISTS "RdaProviders" (
  "Name" TEXT NOT NULL PRIMARY KEY COLLATE NOCASE, "SQL" TEXT NOT NULL, "UpdateTable" TEXT,
  "KeyFields" TEXT, "Description" TEXT);
CREATE TABLE IF NOT EXISTS "RdaParams" (
  "Kind" TEXT NOT NULL CHECK ("Kind" IN ('procedure', 'method', 'provider')),
  "Owner" TEXT NOT NULL COLLATE NOCASE, "Position" INTEGER NOT NULL, "Name" TEXT NOT NULL,
  "ParamType" INTEGER NOT NULL DEFAULT 1, "DataType" INTEGER NOT NULL DEFAULT 1,
  PRIMARY KEY ("Kind", "Owner", "Position"));
CREATE TABLE IF NOT EXISTS "RdaWaitingMail" (
  "Msgid" INTEGER PRIMARY KEY, "ToUser" TEXT NOT NULL COLLATE NOCASE, "FromUser" TEXT NOT NULL,
  "Sent" TEXT NOT NULL, "Message" BLOB NOT NULL);
)sql";
}

void RegisterCatalogFunctions(sqlite3* db) {
  sqlite3_create_function_v2(
      db, "rda_field_type", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
      [](sqlite3_context* c, int n, sqlite3_value** v) { FieldTypeFunction(c, n, v, false); }, nullptr,
      nullptr, nullptr);
  sqlite3_create_function_v2(
      db, "rda_field_size", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
      [](sqlite3_context* c, int n, sqlite3_value** v) { FieldTypeFunction(c, n, v, true); }, nullptr,
      nullptr, nullptr);
}

std::optional<CatalogQuery> SqliteMetaDataQuery(int code, const std::string& a, const std::string& b) {
  CatalogQuery q;
  q.texts = {{"Name", a}, {"Detail", b}};
  const std::string userTable = kUserTable;
  const std::string fields =
      "SELECT p.name AS FieldName, rda_field_type(p.type) AS FieldType, rda_field_size(p.type) AS "
      "FieldSize, p.cid + 1 AS Position, p.type AS DeclaredType, p.\"notnull\" AS Required, p.pk AS "
      "KeyPosition, p.dflt_value AS DefaultValue FROM pragma_table_info(:Name) p ORDER BY p.cid";
  const std::string params =
      "SELECT Name, ParamType, DataType FROM RdaParams WHERE Kind = '%s' AND Owner = :Name "
      "COLLATE NOCASE ORDER BY Position";
  auto paramsOf = [&params](const char* kind) {
    char buf[256];
    std::snprintf(buf, sizeof buf, params.c_str(), kind);
    return std::string(buf);
  };
  switch (code) {
    case mrTables:  // tables
      q.sql = "SELECT m.name AS TableName FROM sqlite_schema m WHERE " + userTable + " ORDER BY m.name";
      break;
    case mrIndexes:  // indexes
      q.sql =
          "SELECT l.name AS IndexName, :Name AS TableName, i.name AS FieldName, i.seqno + 1 AS "
          "Position, l.\"unique\" AS IsUnique, l.origin AS Origin FROM pragma_index_list(:Name) l "
          "JOIN pragma_index_info(l.name) i ORDER BY l.name, i.seqno";
      break;
    case mrFields:  // fields
    case mrVCLFields:  // fields as the dataset defines them
      q.sql = fields;
      break;
    case mrViews:  // views
      q.sql = "SELECT name AS ViewName, sql AS Definition FROM sqlite_schema WHERE type = 'view' "
              "ORDER BY name";
      break;
    case mrStoredProcs:  // stored procedures
      q.sql = "SELECT Name, Description FROM RdaProcedures ORDER BY Name";
      break;
    case mrForeignKeys:  // foreign keys
      q.sql =
          "SELECT id AS ForeignKeyId, seq + 1 AS Position, \"from\" AS FieldName, \"table\" AS "
          "RefTable, \"to\" AS RefField, on_update AS OnUpdate, on_delete AS OnDelete FROM "
          "pragma_foreign_key_list(:Name) ORDER BY id, seq";
      break;
    case mrSystemTables:  // system tables
      q.sql =
          "SELECT name AS TableName FROM sqlite_schema WHERE type = 'table' AND (name LIKE "
          "'sqlite\\_%' ESCAPE '\\' OR name IN ('RdaUsers', 'RdaProcedures', 'RdaMethods', "
          "'RdaProviders', 'RdaParams', 'RdaWaitingMail')) ORDER BY name";
      break;
    case mrDBMSName:  // DBMS name
      q.sql = "SELECT 'SQLite' AS DBMSName, sqlite_version() AS Version";
      break;
    case mrPrimeKeys:  // primary key
      q.sql = "SELECT name AS FieldName, pk AS Position FROM pragma_table_info(:Name) WHERE pk > 0 "
              "ORDER BY pk";
      break;
    case mrStoredProcColumns:  // parameters of a stored procedure
      q.sql = paramsOf("procedure");
      break;
    case mrServerDataSets:  // server datasets: the providers
      q.sql = "SELECT Name AS DataSetName, UpdateTable, Description FROM RdaProviders ORDER BY Name";
      break;
    case mrProviders:  // providers (all, or the one named by the second string)
      q.sql =
          "SELECT 'RdaProviders' AS ModuleName, Name AS DataSetName, UpdateTable FROM RdaProviders "
          "WHERE ifnull(:Detail, '') = '' OR Name = :Detail ORDER BY Name";
      break;
    case mrProviderParams:  // parameters of a provider
      q.sql = paramsOf("provider");
      break;
    case mrOtherMetaData:  // everything the catalogue holds
      q.sql = "SELECT type AS ObjectType, name AS Name, tbl_name AS TableName, sql AS Definition "
              "FROM sqlite_schema ORDER BY type, name";
      break;
    case mrBusinessObjectNames:  // modules of the server methods
      q.sql =
          "SELECT DISTINCT CASE WHEN instr(Name, '.') > 0 THEN substr(Name, 1, instr(Name, '.') - 1) "
          "ELSE '' END AS ModuleName FROM RdaMethods ORDER BY 1";
      break;
    case mrAliasedBizObjectMethods:  // server methods with their module names
      q.sql = "SELECT Name, Description FROM RdaMethods ORDER BY Name";
      break;
    case mrProviderUpdateTables:  // update table of a provider
      q.sql = "SELECT UpdateTable FROM RdaProviders WHERE Name = :Name";
      break;
    case mrTriggers:  // triggers (of one table, or all)
      q.sql =
          "SELECT name AS TriggerName, tbl_name AS TableName, sql AS Definition FROM sqlite_schema "
          "WHERE type = 'trigger' AND (ifnull(:Name, '') = '' OR tbl_name = :Name COLLATE NOCASE) ORDER BY name";
      break;
    case mrTableFields:  // the fields of every table (or of one)
      q.sql =
          "SELECT m.name AS TableName, p.name AS FieldName, rda_field_type(p.type) AS FieldType, "
          "rda_field_size(p.type) AS FieldSize, p.cid + 1 AS Position FROM sqlite_schema m JOIN "
          "pragma_table_info(m.name) p WHERE " + userTable +
          " AND (ifnull(:Name, '') = '' OR m.name = :Name COLLATE NOCASE) ORDER BY m.name, p.cid";
      break;
    default:
      return std::nullopt;
  }
  return q;
}

CatalogQuery SqliteTextListQuery(const std::string& column, const std::vector<std::string>& texts) {
  CatalogQuery q;
  std::string quoted;
  for (const char c : column) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  q.sql = "SELECT CAST(value AS TEXT) AS \"" + quoted + "\" FROM json_each(:List) ORDER BY key";
  q.texts = {{"List", JsonTextArray(texts)}};
  return q;
}

}  // namespace rda
