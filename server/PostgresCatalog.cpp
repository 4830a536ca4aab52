#include "server/PostgresCatalog.h"

#include <array>
#include <string>

#include "messaging/RdaWire.h"
#include "server/PostgresDatabase.h"
#include "server/RowPacket.h"

namespace rda {

namespace {

// The built-in types with a declared name of their own (PostgresDeclaredType);
// every other type is declared TEXT.
constexpr std::array<unsigned, 18> kNamedTypes = {16,  17,  18,   19,   20,   21,   23,   25,   26,
                                                  700, 701, 790, 1082, 1083, 1114, 1184, 1266, 2950};
constexpr unsigned kBpchar = 1042;
constexpr unsigned kVarchar = 1043;
constexpr unsigned kNumeric = 1700;

std::string Quote(std::string_view text) {
  std::string out = "'";
  for (const char c : text) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out + "'";
}

std::string Num(int n) { return std::to_string(n); }

ColumnSpec Decided(const std::string& declared) { return DecideColumn("", declared, {}, 0, true); }

// The table :Name names: in the search path's schemas, its exact name
// first, then one that differs in case only.
constexpr char kTableOid[] =
    "(SELECT c.oid FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace WHERE c.relkind IN "
    "('r', 'p', 'v', 'm', 'f') AND n.nspname = ANY (current_schemas(false)) AND lower(c.relname) = "
    "lower(CAST(:Name AS text)) ORDER BY c.relname = CAST(:Name AS text) DESC, "
    "array_position(current_schemas(false), n.nspname) LIMIT 1)";

// The tables the server itself reads and writes (the definition tables,
// RdaUsers and the event table of the servers on one database).
constexpr char kServerTables[] =
    "('rdausers', 'rdaprocedures', 'rdamethods', 'rdaproviders', 'rdaparams', 'rdawaitingmail', 'rda_events')";

// The catalogue's user tables (c, n): not the server's.
constexpr char kUserTable[] =
    "c.relkind IN ('r', 'p') AND n.nspname = ANY (current_schemas(false)) AND lower(c.relname) NOT IN ";

// A column's type (ct.t) and modifier (ct.m), a domain's base type for a
// domain, and numeric's precision (cn.p) and scale (cn.s), from pg_attribute a.
constexpr char kColumnTypeJoins[] =
    " JOIN pg_type ty ON ty.oid = a.atttypid"
    " CROSS JOIN LATERAL (SELECT CASE WHEN ty.typtype = 'd' THEN ty.typbasetype ELSE a.atttypid END AS t,"
    " CASE WHEN ty.typtype = 'd' THEN ty.typtypmod ELSE a.atttypmod END AS m) AS ct"
    " CROSS JOIN LATERAL (SELECT ((ct.m - 4) >> 16) & 65535 AS p, (((ct.m - 4) & 2047) # 1024) - 1024 AS s) AS cn";

// What the server's DecideColumn makes of a column of each type, as SQL over
// ct and cn: the declared name, the field type and the field size. The
// named types are read from DecideColumn itself; the types with arguments
// follow its rules for CHAR(n) and NUMERIC(p,s).
struct ColumnTypeSql {
  std::string declared;
  std::string fieldType;
  std::string fieldSize;
};

const ColumnTypeSql& ColumnType() {
  static const ColumnTypeSql sql = [] {
    std::string declared = "CASE ct.t";
    std::string type = "CASE ct.t";
    std::string size = "CASE ct.t";
    for (const unsigned oid : kNamedTypes) {
      const std::string name = PostgresDeclaredType(oid, -1, false);
      const ColumnSpec spec = Decided(name);
      declared += " WHEN " + std::to_string(oid) + " THEN " + Quote(name);
      type += " WHEN " + std::to_string(oid) + " THEN " + Num(spec.type);
      size += " WHEN " + std::to_string(oid) + " THEN " + Num(spec.size);
    }
    const ColumnSpec text = Decided("TEXT");
    declared += " ELSE 'TEXT' END";
    type += " ELSE " + Num(text.type) + " END";
    size += " ELSE " + Num(text.size) + " END";

    const std::string chars = "ct.t IN (" + std::to_string(kVarchar) + ", " + std::to_string(kBpchar) + ")";
    const std::string open = "ct.m <= 4";
    const ColumnSpec openChars = Decided("VARCHAR");
    const ColumnSpec shortChars = Decided("VARCHAR(1)");
    const ColumnSpec longChars = Decided("VARCHAR(" + Num(kLongestStringField + 1) + ")");
    const std::string longest = Num(kLongestStringField);

    const std::string numeric = "ct.t = " + std::to_string(kNumeric);
    const ColumnSpec plainNumeric = Decided("NUMERIC");
    const ColumnSpec wholeNumeric = Decided("NUMERIC(18,0)");
    const ColumnSpec bcdNumeric = Decided("NUMERIC(19,4)");
    const ColumnSpec fmtNumeric = Decided("NUMERIC(19,5)");
    const std::string whole = "cn.s <= 0 AND cn.p <= 18";

    ColumnTypeSql out;
    out.declared = "CASE WHEN " + chars + " THEN (CASE ct.t WHEN " + std::to_string(kBpchar) +
                   " THEN 'CHAR' ELSE 'VARCHAR' END) || CASE WHEN " + open +
                   " THEN '' ELSE '(' || (ct.m - 4) || ')' END WHEN " + numeric + " THEN CASE WHEN ct.m < 4 THEN "
                   "'NUMERIC' ELSE 'NUMERIC(' || cn.p || ',' || greatest(cn.s, 0) || ')' END ELSE " +
                   declared + " END";
    out.fieldType = "CASE WHEN " + chars + " THEN CASE WHEN " + open + " THEN " + Num(openChars.type) +
                    " WHEN ct.m - 4 > " + longest + " THEN " + Num(longChars.type) + " ELSE " +
                    Num(shortChars.type) + " END WHEN " + numeric + " THEN CASE WHEN ct.m < 4 THEN " +
                    Num(plainNumeric.type) + " WHEN " + whole + " THEN " + Num(wholeNumeric.type) +
                    " WHEN cn.s <= 4 THEN " + Num(bcdNumeric.type) + " ELSE " + Num(fmtNumeric.type) + " END ELSE " +
                    type + " END";
    out.fieldSize = "CASE WHEN " + chars + " THEN CASE WHEN " + open + " THEN " + Num(openChars.size) +
                    " WHEN ct.m - 4 > " + longest + " THEN " + Num(longChars.size) + " ELSE ct.m - 4 END WHEN " +
                    numeric + " THEN CASE WHEN ct.m < 4 THEN " + Num(plainNumeric.size) + " WHEN " + whole +
                    " THEN " + Num(wholeNumeric.size) + " ELSE greatest(cn.s, 1) END ELSE " + size + " END";
    return out;
  }();
  return sql;
}

std::string ParamsOf(const char* kind) {
  return std::string("SELECT Name AS \"Name\", ParamType AS \"ParamType\", DataType AS \"DataType\" FROM RdaParams "
                     "WHERE Kind = '") +
         kind + "' AND lower(Owner) = lower(CAST(:Name AS text)) ORDER BY Position";
}

std::string ForeignKeyAction(const char* column) {
  return std::string("CASE ") + column +
         " WHEN 'c' THEN 'CASCADE' WHEN 'n' THEN 'SET NULL' WHEN 'd' THEN 'SET DEFAULT' WHEN 'r' THEN "
         "'RESTRICT' ELSE 'NO ACTION' END";
}

constexpr char kNamed[] = "coalesce(CAST(:Name AS text), '') = ''";

}  // namespace

std::string_view PostgresDefinitionTablesScript() {
  // One statement, under a lock of its own: rdaservers that start together
  // on a new database would otherwise race in CREATE ... IF NOT EXISTS (the
  // loser fails on PostgreSQL's catalogue), and a failure leaves nothing
  // half made.
  return R"sql(
DO $rda$
BEGIN
  PERFORM pg_advisory_xact_lock(7270621, 1);
  CREATE TABLE IF NOT EXISTS RdaProcedures (
    Name text NOT NULL PRIMARY KEY, SQL text NOT NULL, Description text);
  CREATE UNIQUE INDEX IF NOT EXISTS rdaprocedures_name_nocase ON RdaProcedures (lower(Name));
  CREATE TABLE IF NOT EXISTS RdaMethods (
    Name text NOT NULL PRIMARY KEY, SQL text NOT NULL, KeyFields text, Description text);
  CREATE UNIQUE INDEX IF NOT EXISTS rdamethods_name_nocase ON RdaMethods (lower(Name));
  CREATE TABLE IF NOT EXISTS RdaProviders (
    Name text NOT NULL PRIMARY KEY, SQL text NOT NULL, UpdateTable text, KeyFields text, Description text);
  CREATE UNIQUE INDEX IF NOT EXISTS rdaproviders_name_nocase ON RdaProviders (lower(Name));
  CREATE TABLE IF NOT EXISTS RdaParams (
    Kind text NOT NULL CHECK (Kind IN ('procedure', 'method', 'provider')),
    Owner text NOT NULL, Position integer NOT NULL, Name text NOT NULL,
    ParamType integer NOT NULL DEFAULT 1, DataType integer NOT NULL DEFAULT 1,
    PRIMARY KEY (Kind, Owner, Position));
  CREATE UNIQUE INDEX IF NOT EXISTS rdaparams_owner_nocase ON RdaParams (Kind, lower(Owner), Position);
  CREATE TABLE IF NOT EXISTS RdaWaitingMail (
    Msgid bigint GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY, ToUser text NOT NULL, FromUser text NOT NULL,
    Sent text NOT NULL, Message bytea NOT NULL);
  CREATE INDEX IF NOT EXISTS rdawaitingmail_touser ON RdaWaitingMail (lower(ToUser));
END
$rda$;
)sql";
}

std::string_view PostgresTableColumnsQuery() {
  static const std::string sql = std::string("SELECT CAST(a.attname AS text) FROM pg_attribute a WHERE a.attrelid = ") +
                                 kTableOid + " AND a.attnum > 0 AND NOT a.attisdropped ORDER BY a.attnum";
  return sql;
}

std::string_view PostgresTableNameQuery() {
  static const std::string sql = std::string("SELECT CAST(c.relname AS text) FROM pg_class c WHERE c.oid = ") + kTableOid;
  return sql;
}

std::optional<CatalogQuery> PostgresMetaDataQuery(int code, const std::string& a, const std::string& b) {
  CatalogQuery q;
  q.texts = {{"Name", a}, {"Detail", b}};
  const ColumnTypeSql& type = ColumnType();
  const std::string tableOid = kTableOid;
  const std::string userTable = std::string(kUserTable) + kServerTables;
  const std::string named = kNamed;
  const std::string inPath = "n.nspname = ANY (current_schemas(false))";
  switch (code) {
    case mrTables:
      q.sql = "SELECT CAST(c.relname AS text) AS \"TableName\" FROM pg_class c JOIN pg_namespace n ON n.oid = "
              "c.relnamespace WHERE " + userTable + " ORDER BY 1";
      break;
    case mrIndexes:
      q.sql =
          "SELECT CAST(ic.relname AS text) AS \"IndexName\", CAST(t.relname AS text) AS \"TableName\", "
          "CAST(a.attname AS text) AS \"FieldName\", k.n AS \"Position\", CASE WHEN x.indisunique THEN 1 ELSE 0 "
          "END AS \"IsUnique\", CASE WHEN x.indisprimary THEN 'pk' WHEN EXISTS (SELECT 1 FROM pg_constraint u "
          "WHERE u.conindid = x.indexrelid AND u.contype = 'u') THEN 'u' ELSE 'c' END AS \"Origin\" FROM pg_index "
          "x JOIN pg_class t ON t.oid = x.indrelid JOIN pg_class ic ON ic.oid = x.indexrelid CROSS JOIN LATERAL "
          "unnest(CAST(x.indkey AS int2[])) WITH ORDINALITY AS k(attnum, n) LEFT JOIN pg_attribute a ON "
          "a.attrelid = t.oid AND a.attnum = k.attnum WHERE x.indrelid = " + tableOid + " ORDER BY 1, 4";
      break;
    case mrFields:
    case mrVCLFields:
      q.sql = "SELECT CAST(a.attname AS text) AS \"FieldName\", " + type.fieldType + " AS \"FieldType\", " +
              type.fieldSize + " AS \"FieldSize\", row_number() OVER (ORDER BY a.attnum) AS \"Position\", " +
              type.declared + " AS \"DeclaredType\", CASE WHEN a.attnotnull THEN 1 ELSE 0 END AS \"Required\", "
              "coalesce(array_position(pk.conkey, a.attnum), 0) AS \"KeyPosition\", pg_get_expr(d.adbin, "
              "d.adrelid) AS \"DefaultValue\" FROM pg_attribute a" + kColumnTypeJoins +
              " LEFT JOIN pg_constraint pk ON pk.conrelid = a.attrelid AND pk.contype = 'p' LEFT JOIN pg_attrdef d "
              "ON d.adrelid = a.attrelid AND d.adnum = a.attnum WHERE a.attrelid = " + tableOid +
              " AND a.attnum > 0 AND NOT a.attisdropped ORDER BY a.attnum";
      break;
    case mrViews:
      q.sql = "SELECT CAST(c.relname AS text) AS \"ViewName\", 'CREATE VIEW ' || quote_ident(c.relname) || ' AS' "
              "|| pg_get_viewdef(c.oid) AS \"Definition\" FROM pg_class c JOIN pg_namespace n ON n.oid = "
              "c.relnamespace WHERE c.relkind IN ('v', 'm') AND " + inPath + " ORDER BY 1";
      break;
    case mrStoredProcs:
      q.sql = "SELECT Name AS \"Name\", Description AS \"Description\" FROM RdaProcedures ORDER BY lower(Name), Name";
      break;
    case mrForeignKeys:
      q.sql = "SELECT CAST(dense_rank() OVER (ORDER BY con.conname) - 1 AS integer) AS \"ForeignKeyId\", k.n AS "
              "\"Position\", CAST(a.attname AS text) AS \"FieldName\", CAST(rt.relname AS text) AS \"RefTable\", "
              "CAST(ra.attname AS text) AS \"RefField\", " + ForeignKeyAction("con.confupdtype") +
              " AS \"OnUpdate\", " + ForeignKeyAction("con.confdeltype") +
              " AS \"OnDelete\" FROM pg_constraint con CROSS JOIN LATERAL unnest(con.conkey, con.confkey) WITH "
              "ORDINALITY AS k(attnum, refnum, n) JOIN pg_attribute a ON a.attrelid = con.conrelid AND a.attnum = "
              "k.attnum JOIN pg_class rt ON rt.oid = con.confrelid JOIN pg_attribute ra ON ra.attrelid = "
              "con.confrelid AND ra.attnum = k.refnum WHERE con.contype = 'f' AND con.conrelid = " + tableOid +
              " ORDER BY 1, 2";
      break;
    case mrSystemTables:
      q.sql = "SELECT CAST(c.relname AS text) AS \"TableName\" FROM pg_class c JOIN pg_namespace n ON n.oid = "
              "c.relnamespace WHERE c.relkind IN ('r', 'p') AND ((" + inPath + " AND lower(c.relname) IN "
              + std::string(kServerTables) + ") OR "
              "n.nspname = 'pg_catalog') ORDER BY 1";
      break;
    case mrDBMSName:
      q.sql = "SELECT 'PostgreSQL' AS \"DBMSName\", current_setting('server_version') AS \"Version\"";
      break;
    case mrPrimeKeys:
      q.sql = "SELECT CAST(a.attname AS text) AS \"FieldName\", k.n AS \"Position\" FROM pg_constraint con CROSS "
              "JOIN LATERAL unnest(con.conkey) WITH ORDINALITY AS k(attnum, n) JOIN pg_attribute a ON a.attrelid "
              "= con.conrelid AND a.attnum = k.attnum WHERE con.contype = 'p' AND con.conrelid = " + tableOid +
              " ORDER BY 2";
      break;
    case mrStoredProcColumns:
      q.sql = ParamsOf("procedure");
      break;
    case mrServerDataSets:
      q.sql = "SELECT Name AS \"DataSetName\", UpdateTable AS \"UpdateTable\", Description AS \"Description\" "
              "FROM RdaProviders ORDER BY lower(Name), Name";
      break;
    case mrProviders:
      q.sql = "SELECT 'RdaProviders' AS \"ModuleName\", Name AS \"DataSetName\", UpdateTable AS \"UpdateTable\" "
              "FROM RdaProviders WHERE coalesce(CAST(:Detail AS text), '') = '' OR lower(Name) = "
              "lower(CAST(:Detail AS text)) ORDER BY lower(Name), Name";
      break;
    case mrProviderParams:
      q.sql = ParamsOf("provider");
      break;
    case mrOtherMetaData:
      q.sql = "SELECT o.* FROM (SELECT CASE c.relkind WHEN 'i' THEN 'index' WHEN 'v' THEN 'view' WHEN 'm' THEN "
              "'view' WHEN 'S' THEN 'sequence' ELSE 'table' END AS \"ObjectType\", CAST(c.relname AS text) AS "
              "\"Name\", CAST(coalesce(it.relname, c.relname) AS text) AS \"TableName\", CASE c.relkind WHEN 'i' "
              "THEN pg_get_indexdef(c.oid) WHEN 'v' THEN 'CREATE VIEW ' || quote_ident(c.relname) || ' AS' || "
              "pg_get_viewdef(c.oid) WHEN 'm' THEN 'CREATE MATERIALIZED VIEW ' || quote_ident(c.relname) || ' AS' "
              "|| pg_get_viewdef(c.oid) END AS \"Definition\" FROM pg_class c JOIN pg_namespace n ON n.oid = "
              "c.relnamespace LEFT JOIN pg_index x ON x.indexrelid = c.oid LEFT JOIN pg_class it ON it.oid = "
              "x.indrelid WHERE " + inPath + " AND c.relkind IN ('r', 'p', 'v', 'm', 'i', 'S', 'f') UNION ALL "
              "SELECT 'trigger', CAST(g.tgname AS text), CAST(c.relname AS text), pg_get_triggerdef(g.oid) FROM "
              "pg_trigger g JOIN pg_class c ON c.oid = g.tgrelid JOIN pg_namespace n ON n.oid = c.relnamespace "
              "WHERE NOT g.tgisinternal AND " + inPath + ") AS o ORDER BY 1, 2";
      break;
    case mrBusinessObjectNames:
      q.sql = "SELECT DISTINCT CASE WHEN strpos(Name, '.') > 0 THEN split_part(Name, '.', 1) ELSE '' END AS "
              "\"ModuleName\" FROM RdaMethods ORDER BY 1";
      break;
    case mrAliasedBizObjectMethods:
      q.sql = "SELECT Name AS \"Name\", Description AS \"Description\" FROM RdaMethods ORDER BY lower(Name), Name";
      break;
    case mrProviderUpdateTables:
      q.sql = "SELECT UpdateTable AS \"UpdateTable\" FROM RdaProviders WHERE lower(Name) = lower(CAST(:Name AS text))";
      break;
    case mrTriggers:
      q.sql = "SELECT CAST(g.tgname AS text) AS \"TriggerName\", CAST(c.relname AS text) AS \"TableName\", "
              "pg_get_triggerdef(g.oid) AS \"Definition\" FROM pg_trigger g JOIN pg_class c ON c.oid = g.tgrelid "
              "JOIN pg_namespace n ON n.oid = c.relnamespace WHERE NOT g.tgisinternal AND " + inPath + " AND (" +
              named + " OR lower(c.relname) = lower(CAST(:Name AS text))) ORDER BY 1";
      break;
    case mrTableFields:
      q.sql = "SELECT CAST(c.relname AS text) AS \"TableName\", CAST(a.attname AS text) AS \"FieldName\", " +
              type.fieldType + " AS \"FieldType\", " + type.fieldSize + " AS \"FieldSize\", row_number() OVER "
              "(PARTITION BY c.oid ORDER BY a.attnum) AS \"Position\" FROM pg_class c JOIN pg_namespace n ON n.oid "
              "= c.relnamespace JOIN pg_attribute a ON a.attrelid = c.oid AND a.attnum > 0 AND NOT "
              "a.attisdropped" + kColumnTypeJoins + " WHERE " + userTable + " AND (" + named +
              " OR lower(c.relname) = lower(CAST(:Name AS text))) ORDER BY c.relname, a.attnum";
      break;
    default:
      return std::nullopt;
  }
  return q;
}

CatalogQuery PostgresTextListQuery(const std::string& column, const std::vector<std::string>& texts) {
  // An array literal: every element in double quotes, '"' and '\' escaped.
  std::string list = "{";
  for (const std::string& t : texts) {
    if (list.size() > 1) list += ',';
    list += '"';
    for (const char c : t) {
      if (c == '"' || c == '\\') list += '\\';
      list += c;
    }
    list += '"';
  }
  list += '}';
  std::string quoted;
  for (const char c : column) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  CatalogQuery q;
  q.sql = "SELECT u.t AS \"" + quoted + "\" FROM unnest(CAST(:List AS text[])) WITH ORDINALITY AS u(t, n) ORDER BY u.n";
  q.texts = {{"List", list}};
  return q;
}

}  // namespace rda
