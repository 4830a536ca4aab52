// rdaserver's PostgreSQL backend against a private PostgreSQL cluster
// (tests/support/PostgresCluster.h): statements and parameters, the type
// mapping, errors, the time limit and the server stop, transactions and the
// catalogue. The cluster is started once for the suite; every test works
// on a database of its own. A cluster that cannot start fails every test
// with its reason.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "messaging/RdaParamList.h"
#include "messaging/RdaWire.h"
#include "server/PostgresDatabase.h"
#include "server/RowPacket.h"
#include "server/ServerDatabase.h"
#include "server/SqlText.h"
#include "tests/support/PostgresCluster.h"

namespace rda {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

const std::string kDemoScript = std::string(RDA_TEST_DATA_DIR) + "/../../server/demo.postgres.sql";

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// ---- The SQL lexer (no server needed) ---------------------------------------------

TEST(SqlText, SplitsStatementsWhereNothingHidesTheSemicolon) {
  struct Case {
    std::string sql;
    std::vector<std::string> statements;
  };
  const std::vector<Case> cases = {
      {"SELECT 1; SELECT 2", {"SELECT 1", "SELECT 2"}},
      {"  SELECT 1 ;\n\n ; -- only a comment\n ;", {"SELECT 1"}},
      {"SELECT 'a;b'';c'; SELECT 2", {"SELECT 'a;b'';c'", "SELECT 2"}},
      {"SELECT E'it\\'s; fine'; SELECT 2", {"SELECT E'it\\'s; fine'", "SELECT 2"}},
      {"SELECT \"odd;\"\"name\" FROM t; SELECT 2", {"SELECT \"odd;\"\"name\" FROM t", "SELECT 2"}},
      {"SELECT 1 /* a; /* nested; */ still; */; SELECT 2", {"SELECT 1 /* a; /* nested; */ still; */", "SELECT 2"}},
      {"SELECT 1 -- a; comment\n; SELECT 2", {"SELECT 1 -- a; comment", "SELECT 2"}},
      {"CREATE FUNCTION f() RETURNS int AS $$ BEGIN RETURN 1; END $$ LANGUAGE plpgsql; SELECT f()",
       {"CREATE FUNCTION f() RETURNS int AS $$ BEGIN RETURN 1; END $$ LANGUAGE plpgsql", "SELECT f()"}},
      {"SELECT $body$ a; $$ b; $body$; SELECT 2", {"SELECT $body$ a; $$ b; $body$", "SELECT 2"}},
      {"SELECT 'open; literal", {"SELECT 'open; literal"}},
      {"", {}},
  };
  for (const Case& c : cases) {
    const std::vector<std::string_view> got = SplitSqlStatements(c.sql);
    EXPECT_EQ(std::vector<std::string>(got.begin(), got.end()), c.statements) << c.sql;
  }
}

TEST(SqlText, NumbersNamedParametersAndLeavesLiteralsCastsAndQuotesAlone) {
  struct Case {
    std::string sql;
    std::string numbered;
    std::vector<std::string> names;
  };
  const std::vector<Case> cases = {
      {"SELECT * FROM t WHERE a = :a AND b = @b OR c = $c", "SELECT * FROM t WHERE a = $1 AND b = $2 OR c = $3",
       {"a", "b", "c"}},
      {"SELECT :x, :y, :x", "SELECT $1, $2, $1", {"x", "y"}},
      {"SELECT ':x', E':y\\'', \":z\" FROM t WHERE v = :v", "SELECT ':x', E':y\\'', \":z\" FROM t WHERE v = $1", {"v"}},
      {"SELECT a::int, CAST(:n AS text)::varchar", "SELECT a::int, CAST($1 AS text)::varchar", {"n"}},
      {"SELECT 1 -- :no\n, 2 /* :no /* :no */ */, :yes", "SELECT 1 -- :no\n, 2 /* :no /* :no */ */, $1", {"yes"}},
      {"SELECT $t$ :no $t$, $$ @no $$, :yes", "SELECT $t$ :no $t$, $$ @no $$, $1", {"yes"}},
      {"SELECT a <@ b, a @> b, @ -5, :p", "SELECT a <@ b, a @> b, @ -5, $1", {"p"}},
      {"SELECT :Ünï", "SELECT $1", {"Ünï"}},
  };
  for (const Case& c : cases) {
    const NumberedSql got = NumberSqlParameters(c.sql);
    EXPECT_EQ(got.sql, c.numbered) << c.sql;
    EXPECT_EQ(got.names, c.names) << c.sql;
  }
}

// --db names a PostgreSQL database by a URI or a libpq connection string;
// anything else is an SQLite file, whatever it holds.
TEST(OpenDatabase, TheDbTextPicksTheEngine) {
  struct Case {
    const char* db;
    bool postgres;
  } cases[] = {{"postgresql://rda@127.0.0.1:5432/acme", true}, {"postgres://127.0.0.1/acme", true},
               {"POSTGRESQL://h/d", true}, {"host=127.0.0.1 dbname=acme", true}, {" dbname=acme", true},
               {"service=acme", true}, {"/var/lib/rda/acme.db", false}, {"acme.db", false},
               {"a=b.db", false}, {"postgresql.db", false}, {"", false}};
  for (const Case& c : cases) EXPECT_EQ(IsPostgresTarget(c.db), c.postgres) << c.db;
  // Nothing listens on port 1: a clear error, no wait beyond the connect.
  try {
    OpenDatabase("postgresql://rda@127.0.0.1:1/acme?connect_timeout=5", DatabaseLimits{});
    ADD_FAILURE() << "opened";
  } catch (const ESqlError& e) {
    EXPECT_NE(std::string(e.what()).find("127.0.0.1"), std::string::npos) << e.what();
  }
}

TEST(SqlText, CompleteOnlyWithNothingLeftOpen) {
  for (const std::string open : {"SELECT 'a", "SELECT \"a", "SELECT 1 /* a /* b */", "SELECT $x$ a", "SELECT E'a\\'"})
    EXPECT_FALSE(SqlTextComplete(open)) << open;
  for (const std::string whole : {"SELECT 'a''b'", "SELECT 1 -- open comment", "SELECT $x$ a $x$", "UPDATE t SET a = 1"})
    EXPECT_TRUE(SqlTextComplete(whole)) << whole;
}

// ---- Against PostgreSQL -------------------------------------------------------------

class PostgresDatabaseTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    try {
      cluster_ = std::make_unique<test::PostgresCluster>();
    } catch (const std::exception& e) {
      startError_ = e.what();
    }
  }
  static void TearDownTestSuite() { cluster_.reset(); }

  void SetUp() override {
    ASSERT_TRUE(cluster_) << "PostgreSQL could not be started: " << startError_;
    uri_ = cluster_->CreateDatabase();
  }

  std::unique_ptr<Database> Open(DatabaseLimits limits = {}) { return OpenDatabase(uri_, limits); }
  std::unique_ptr<SqlConnection> Connect() {
    if (!db_) db_ = Open();
    return db_->Connect();
  }
  void LoadDemo() {
    if (!db_) db_ = Open();
    db_->RunScript(ReadFile(kDemoScript));
  }

  // Every row of sql, each value as text ("NULL" for NULL).
  static std::vector<std::vector<std::string>> Rows(SqlConnection& c, const std::string& sql,
                                                    const TRdaParamList* params = nullptr) {
    SqlStatement stmt = c.Prepare(sql, params);
    std::vector<std::vector<std::string>> rows;
    while (c.Step(stmt)) rows.push_back(Texts(stmt.Row()));
    return rows;
  }
  static std::vector<std::string> Texts(const SqlRow& row) {
    std::vector<std::string> out;
    for (const SqlValue& v : row) {
      switch (v.storage) {
        case SqlValue::kNull: out.push_back("NULL"); break;
        case SqlValue::kInteger: out.push_back(std::to_string(v.integer)); break;
        case SqlValue::kReal: out.push_back(std::to_string(v.real)); break;
        default: out.push_back(v.bytes); break;
      }
    }
    return out;
  }
  static std::string ErrorOf(const std::function<void()>& run) {
    try {
      run();
    } catch (const std::exception& e) {
      return e.what();
    }
    return "(no error)";
  }

  static std::unique_ptr<test::PostgresCluster> cluster_;
  static std::string startError_;
  std::string uri_;
  std::unique_ptr<Database> db_;
};

std::unique_ptr<test::PostgresCluster> PostgresDatabaseTest::cluster_;
std::string PostgresDatabaseTest::startError_;

TEST_F(PostgresDatabaseTest, ScriptRunsEveryStatementAndReturnsTheLastWithParametersByName) {
  auto c = Connect();
  EXPECT_EQ(c->Engine(), SqlEngine::kPostgres);
  TRdaParamList params;
  params.CreateParam(ftInteger, "v", ptInput).SetAsInteger(5);
  params.CreateParam(ftString, ":w", ptInput).SetAsString("it's");
  params.CreateParam(ftString, "unused", ptInput).SetAsString("x");
  EXPECT_EQ(Rows(*c,
                 "CREATE TABLE a (x int, y text, z text); INSERT INTO a VALUES (:v, :w, :missing);"
                 "INSERT INTO a VALUES (@v + 1, $w, ':v'); SELECT x, y, z, ':v' AS lit FROM a ORDER BY x",
                 &params),
            (std::vector<std::vector<std::string>>{{"5", "it's", "NULL", ":v"}, {"6", "it's", ":v", ":v"}}));
  // A parameter nothing gives a type to is text, as SQLite takes it.
  EXPECT_EQ(Rows(*c, "SELECT :w AS w", &params), (std::vector<std::vector<std::string>>{{"it's"}}));
  // Texts that differ in their parameters' names only are statements of their own.
  EXPECT_EQ(Rows(*c, "SELECT CAST(:v AS text)", &params), (std::vector<std::vector<std::string>>{{"5"}}));
  EXPECT_EQ(Rows(*c, "SELECT CAST(:w AS text)", &params), (std::vector<std::vector<std::string>>{{"it's"}}));
  EXPECT_EQ(ErrorOf([&] { c->Prepare("  -- nothing\n ; /* here */ ", nullptr); }), "Empty SQL statement");
  EXPECT_EQ(ErrorOf([&] { c->PrepareOne("SELECT 1; SELECT 2"); }), "One statement per line");
  EXPECT_EQ(ErrorOf([&] { c->Prepare("SELECT * FROM no_such_table", nullptr); }),
            "relation \"no_such_table\" does not exist");
}

TEST_F(PostgresDatabaseTest, PreparedOnceRunsAgainWithNewValuesAndCountsChanges) {
  auto c = Connect();
  c->Execute("CREATE TABLE n (k int PRIMARY KEY, v text)");
  SqlStatement insert = c->PrepareOne("INSERT INTO n VALUES (:k, :v);");
  ASSERT_EQ(insert->ParameterCount(), 2);
  EXPECT_EQ(insert->ParameterName(1), "k");
  EXPECT_EQ(insert->ParameterName(2), "v");
  for (int k = 1; k <= 3; ++k) {
    TRdaParamItem key;
    key.SetAsInteger(k);
    TRdaParamItem value;
    value.SetAsString("v" + std::to_string(k));
    insert->Reset();
    insert->Bind(1, key);
    insert->Bind(2, value);
    EXPECT_FALSE(c->Step(insert));
    EXPECT_EQ(c->Changes(), 1);
  }
  c->Execute("UPDATE n SET v = 'w' WHERE k >= 2");
  EXPECT_EQ(c->Changes(), 2);
  Rows(*c, "SELECT * FROM n");
  EXPECT_EQ(c->Changes(), 2) << "a select leaves the count of the last change";
  // Reset clears the values: unbound parameters are NULL.
  insert->Reset();
  TRdaParamItem key;
  key.SetAsInteger(9);
  insert->Bind(1, key);
  EXPECT_FALSE(c->Step(insert));
  EXPECT_EQ(Rows(*c, "SELECT v FROM n WHERE k = 9"), (std::vector<std::vector<std::string>>{{"NULL"}}));
}

TEST_F(PostgresDatabaseTest, AKeptStatementFollowsAChangeOfItsTable) {
  auto c = Connect();
  auto other = Connect();
  c->Execute("CREATE TABLE k (a int); INSERT INTO k VALUES (1)");
  const auto columns = [&](SqlConnection& on) {
    SqlStatement stmt = on.Prepare("SELECT * FROM k", nullptr);
    on.Step(stmt);
    return stmt.ColumnCount();
  };
  EXPECT_EQ(columns(*c), 1);
  c->Execute("ALTER TABLE k ADD COLUMN b int");
  EXPECT_EQ(columns(*c), 2);
  // Changed by another session: PostgreSQL refuses the kept statement once.
  other->Execute("ALTER TABLE k ADD COLUMN c int");
  EXPECT_EQ(ErrorOf([&] { columns(*c); }), "cached plan must not change result type");
  EXPECT_EQ(columns(*c), 3);
}

TEST_F(PostgresDatabaseTest, AnOpenResultKeepsItsRowsWhileOtherStatementsRun) {
  auto c = Connect();
  c->Execute("CREATE TABLE r AS SELECT g AS i FROM generate_series(1, 5) g");
  SqlStatement open = c->Prepare("SELECT i FROM r ORDER BY i", nullptr);
  ASSERT_TRUE(c->Step(open));
  EXPECT_EQ(open.Row().at(0).integer, 1);
  c->Execute("DELETE FROM r");
  EXPECT_EQ(c->Changes(), 5);
  std::vector<int64_t> rest;
  while (c->Step(open)) rest.push_back(open.Row().at(0).integer);
  EXPECT_THAT(rest, ElementsAre(2, 3, 4, 5));

  // What is kept for the open result is bounded as a value is.
  DatabaseLimits small;
  small.maxValueBytes = 4000;
  auto bounded = Open(small)->Connect();
  SqlStatement big = bounded->Prepare("SELECT g, repeat('x', 1000) FROM generate_series(1, 100) g", nullptr);
  ASSERT_TRUE(bounded->Step(big));
  bounded->Execute("SELECT 1");
  int64_t last = 1;
  const std::string error = ErrorOf([&] {
    while (bounded->Step(big)) last = big.Row().at(0).integer;
  });
  EXPECT_GE(last, 2);
  EXPECT_LT(last, 5);
  EXPECT_THAT(error, HasSubstr("was not kept while another statement ran"));
  EXPECT_EQ(Rows(*bounded, "SELECT 2"), (std::vector<std::vector<std::string>>{{"2"}}));
}

TEST_F(PostgresDatabaseTest, ColumnsMapToTheFieldTypesOfTheTable) {
  auto c = Connect();
  c->Execute(
      "CREATE TABLE t (s smallint, i integer, b bigint, o oid, f boolean, r real, d double precision, "
      "n numeric, nw numeric(10,0), n2 numeric(12,2), n6 numeric(20,6), m money, vc varchar(12), v varchar, "
      "ch char(3), tx text, nm name, by bytea, dt date, tm time, tt timetz, ts timestamp, tz timestamptz, "
      "u uuid, j json)");
  c->Execute(
      "INSERT INTO t VALUES (-7, 70000, 5000000000, 42, true, 1.5, 0.1, 1.25, 1234567890, 12.34, 1.123456, "
      "'-1234.56', 'twelve', 'free', 'ab', 'long text', 'nm', '\\x00ff', '2024-02-29', '13:14:15.5', "
      "'13:14:15+02', '2024-02-29 13:14:15', '2024-02-29 13:14:15.25+00', "
      "'a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11', '{\"a\": 1}')");
  c->Execute("INSERT INTO t (s) VALUES (NULL)");
  SqlStatement stmt = c->Prepare("SELECT * FROM t ORDER BY s NULLS LAST", nullptr);
  std::vector<SqlRow> rows;
  while (c->Step(stmt)) rows.push_back(stmt.Row());
  ASSERT_EQ(rows.size(), 2u);
  struct Expect {
    std::string declared;
    TFieldType type;
    int size;
  };
  const std::vector<Expect> expected = {
      {"SMALLINT", ftSmallint, 0},        {"INTEGER", ftInteger, 0},    {"BIGINT", ftLargeint, 0},
      {"BIGINT", ftLargeint, 0},          {"BOOLEAN", ftBoolean, 0},    {"REAL", ftFloat, 0},
      {"DOUBLE PRECISION", ftFloat, 0},   {"NUMERIC", ftFloat, 0},      {"NUMERIC(10,0)", ftInteger, 0},
      {"NUMERIC(12,2)", ftBCD, 2},        {"NUMERIC(20,6)", ftFMTBcd, 6}, {"MONEY", ftCurrency, 0},
      {"VARCHAR(12)", ftString, 12},      {"VARCHAR", ftString, kOpenStringSize}, {"CHAR(3)", ftString, 3},
      {"TEXT", ftString, kOpenStringSize}, {"VARCHAR(63)", ftString, 63}, {"BLOB", ftBlob, 0},
      {"DATE", ftDate, 0},                {"TIME", ftTime, 0},          {"TIME", ftTime, 0},
      {"TIMESTAMP", ftDateTime, 0},       {"TIMESTAMP", ftDateTime, 0}, {"UUID", ftGuid, 38},
      {"TEXT", ftString, kOpenStringSize},
  };
  ASSERT_EQ(stmt.ColumnCount(), static_cast<int>(expected.size()));
  for (size_t i = 0; i < expected.size(); ++i) {
    const int col = static_cast<int>(i);
    EXPECT_EQ(stmt.DeclaredType(col), expected[i].declared) << stmt.ColumnName(col);
    const ColumnSpec spec = DecideColumn(stmt.ColumnName(col), stmt.DeclaredType(col), rows, i, true);
    EXPECT_EQ(spec.type, expected[i].type) << stmt.ColumnName(col);
    EXPECT_EQ(spec.size, expected[i].size) << stmt.ColumnName(col);
    EXPECT_EQ(rows[1][i].storage, SqlValue::kNull) << stmt.ColumnName(col);
  }
  const SqlRow& r = rows[0];
  EXPECT_EQ(r[4].integer, 1);
  EXPECT_EQ(r[8].storage, SqlValue::kInteger);
  EXPECT_EQ(r[8].integer, 1234567890);
  EXPECT_EQ(r[11].bytes, "-1234.56");
  EXPECT_EQ(r[17].bytes, std::string("\x00\xff", 2));
  EXPECT_EQ(ParseIsoDateTime(r[22].bytes), ParseIsoDateTime("2024-02-29 13:14:15.25"));
}

TEST_F(PostgresDatabaseTest, ExpressionsAreDeclaredAsSqliteDeclaresThem) {
  auto c = Connect();
  SqlStatement stmt = c->Prepare("SELECT count(*) AS n, 'abc' AS t, 1.5::numeric AS x, now()::date AS d", nullptr);
  ASSERT_TRUE(c->Step(stmt));
  EXPECT_EQ(stmt.DeclaredType(0), "INTEGER");
  EXPECT_EQ(stmt.DeclaredType(1), "");
  EXPECT_EQ(stmt.DeclaredType(2), "NUMERIC");
  EXPECT_EQ(stmt.DeclaredType(3), "DATE");
  const std::vector<SqlRow> rows{stmt.Row()};
  EXPECT_EQ(DecideColumn("n", stmt.DeclaredType(0), rows, 0, true).type, ftInteger);
  EXPECT_EQ(DecideColumn("t", stmt.DeclaredType(1), rows, 1, true).size, 3);
}

TEST_F(PostgresDatabaseTest, ValuesOfEveryParameterTypeRoundTrip) {
  auto c = Connect();
  c->Execute(
      "CREATE TABLE p (i bigint, f double precision, b boolean, c numeric(19,4), n numeric(30,10), d date, "
      "t timestamp, s text, y bytea, bi integer)");
  std::string allBytes;
  for (int i = 0; i < 256; ++i) allBytes += static_cast<char>(i);
  TRdaParamList params;
  params.CreateParam(ftLargeint, "i", ptInput).SetAsLargeint(-9007199254740993LL);
  params.CreateParam(ftFloat, "f", ptInput).SetAsFloat(0.1);
  params.CreateParam(ftBoolean, "b", ptInput).SetAsBoolean(true);
  params.CreateParam(ftCurrency, "c", ptInput).SetAsCurrency(Currency::FromScaled(-12345678));
  params.CreateParam(ftFMTBcd, "n", ptInput).SetAsFMTBCD(StrToBcd("12345678901234567890.0123456789"));
  params.CreateParam(ftDate, "d", ptInput).SetAsDate(*ParseIsoDateTime("2024-02-29"));
  params.CreateParam(ftDateTime, "t", ptInput).SetAsDateTime(*ParseIsoDateTime("1999-12-31 23:59:58.5"));
  params.CreateParam(ftString, "s", ptInput).SetAsString("caf\xe9 \x80");  // Windows-1252
  params.CreateParam(ftBlob, "y", ptInput).SetAsBlob(allBytes);
  params.CreateParam(ftBoolean, "bi", ptInput).SetAsBoolean(true);
  SqlStatement insert = c->Prepare("INSERT INTO p VALUES (:i, :f, :b, :c, :n, :d, :t, :s, :y, :bi)", &params);
  EXPECT_FALSE(c->Step(insert));
  SqlStatement read = c->Prepare("SELECT * FROM p", nullptr);
  ASSERT_TRUE(c->Step(read));
  const SqlRow r = read.Row();
  EXPECT_EQ(r[0].integer, -9007199254740993LL);
  EXPECT_EQ(r[1].real, 0.1);
  EXPECT_EQ(r[2].integer, 1);
  EXPECT_EQ(r[3].bytes, "-1234.5678");
  EXPECT_EQ(r[4].bytes, "12345678901234567890.0123456789");
  EXPECT_EQ(r[5].bytes, "2024-02-29");
  EXPECT_EQ(r[6].bytes, "1999-12-31 23:59:58.5");
  EXPECT_EQ(r[7].bytes, "caf\xc3\xa9 \xe2\x82\xac");
  EXPECT_EQ(r[8].storage, SqlValue::kBlob);
  EXPECT_EQ(r[8].bytes, allBytes);
  EXPECT_EQ(r[9].integer, 1);
  EXPECT_FALSE(c->Step(read));
  // A zero byte in a text cannot reach PostgreSQL: refused, never cut.
  TRdaParamList zero;
  zero.CreateParam(ftString, "s", ptInput).SetAsString(std::string("a\0b", 3));
  EXPECT_THAT(ErrorOf([&] { c->Prepare("SELECT CAST(:s AS text)", &zero); }), HasSubstr("0x00"));
}

TEST_F(PostgresDatabaseTest, AFailedStatementLeavesTheTransactionOpenUntilRolledBack) {
  auto c = Connect();
  c->Execute("CREATE TABLE tx (k int PRIMARY KEY)");
  EXPECT_FALSE(c->InTransaction());
  c->BeginWrite();
  EXPECT_TRUE(c->InTransaction());
  c->Execute("INSERT INTO tx VALUES (1)");
  EXPECT_EQ(ErrorOf([&] { c->Execute("INSERT INTO tx VALUES (1)"); }),
            "duplicate key value violates unique constraint \"tx_pkey\"");
  EXPECT_TRUE(c->InTransaction());
  EXPECT_EQ(ErrorOf([&] { c->Execute("SELECT 1"); }),
            "current transaction is aborted, commands ignored until end of transaction block");
  c->Execute("ROLLBACK");
  EXPECT_FALSE(c->InTransaction());
  EXPECT_EQ(Rows(*c, "SELECT count(*) FROM tx"), (std::vector<std::vector<std::string>>{{"0"}}));
}

TEST_F(PostgresDatabaseTest, TheTimeLimitInterruptsALongStatementAndTheConnectionGoesOn) {
  DatabaseLimits limits;
  limits.queryTimeout = std::chrono::milliseconds(1000);
  auto db = Open(limits);
  auto c = db->Connect();
  c->BeginRequest();
  SqlStatement sleep = c->Prepare("SELECT pg_sleep(60)", nullptr);
  EXPECT_EQ(ErrorOf([&] { c->Step(sleep); }),
            "interrupted: the statement ran longer than the query time limit of 1 s");
  c->BeginRequest();
  EXPECT_EQ(Rows(*c, "SELECT 2"), (std::vector<std::vector<std::string>>{{"2"}}));
}

TEST_F(PostgresDatabaseTest, TheServerStopInterruptsARunningStatement) {
  std::atomic<bool> stop{false};
  DatabaseLimits limits;
  limits.cancel = &stop;
  auto db = Open(limits);
  auto c = db->Connect();
  auto watcher = db->Connect();
  std::string error;
  std::thread runner([&] { error = ErrorOf([&] { c->Execute("SELECT pg_sleep(60) /* rda stop test */"); }); });
  // Stop once the statement runs on the server.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (;;) {
    if (std::chrono::steady_clock::now() > deadline) {
      stop = true;
      runner.join();
      FAIL() << "the statement did not start: " << error;
    }
    watcher->BeginRequest();
    const auto running = Rows(*watcher,
                              "SELECT count(*) FROM pg_stat_activity WHERE state = 'active' AND query LIKE "
                              "'%rda stop test%' AND pid <> pg_backend_pid()");
    if (running.at(0).at(0) == "1") break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  stop = true;
  runner.join();
  EXPECT_EQ(error, "interrupted");
}

TEST_F(PostgresDatabaseTest, TablesAreFoundWithoutRegardToCase) {
  LoadDemo();
  auto c = Connect();
  const std::vector<std::string> hosts = {"xcompanycode", "xhost", "xport", "xlanipaddress"};
  EXPECT_EQ(c->TableColumns("VNXHOSTS"), hosts);
  EXPECT_EQ(c->TableColumns("vnxhosts"), hosts);
  EXPECT_EQ(c->TableColumns("Sy_Mastr"), (std::vector<std::string>{"Comp_Name", "Version Number"}));
  EXPECT_TRUE(c->TableExists("RdaProcedures"));
  EXPECT_FALSE(c->TableExists("NoSuchTable"));
  EXPECT_TRUE(c->TableColumns("NoSuchTable").empty());
  // The install utility's queries, as it sends them.
  EXPECT_EQ(Rows(*c, "Select T.\"Comp_Name\", T.\"Version Number\" From SY_MASTR T"),
            (std::vector<std::vector<std::string>>{{"Demo Company Ltd", "6.251"}}));
  EXPECT_EQ(Rows(*c, "Select * From VNXHOSTS\r\nWhere XCompanyCode = 'ACME'\r\n"),
            (std::vector<std::vector<std::string>>{{"ACME", "127.0.0.1", "9407", "127.0.0.1"}}));
  EXPECT_EQ(Rows(*c, "Select CompanyCode,CompanyName,VersionNumber From SYMASTER"),
            (std::vector<std::vector<std::string>>{{"DEMO", "Demo Company Ltd", "6.251"}}));
  // The server's own SQL on its definition tables.
  EXPECT_EQ(Rows(*c, "SELECT Name, SQL FROM RdaProcedures WHERE lower(Name) = lower('companyhost')").size(), 1u);
  // The trigger stamps a change.
  c->Execute("UPDATE VNXCONTACTS SET Phone = '555-0101' WHERE ContactId = 1");
  EXPECT_NE(Rows(*c, "SELECT Changed FROM VNXCONTACTS WHERE ContactId = 1").at(0).at(0), "NULL");
  c->Execute("INSERT INTO VNXCONTACTS (XCompanyCode, ContactName) VALUES ('DEMO', 'Next')");
  EXPECT_EQ(Rows(*c, "SELECT ContactId FROM VNXCONTACTS WHERE ContactName = 'Next'").at(0).at(0), "3");
}

TEST_F(PostgresDatabaseTest, EveryMetadataQueryRunsOnTheDemoAndFieldTypesMatchTheRowPackets) {
  LoadDemo();
  auto c = Connect();
  c->Execute(DefinitionTablesScript(SqlEngine::kPostgres));
  c->Execute(
      "CREATE TABLE kinds (s smallint, b bigint, f boolean, n numeric, nw numeric(10,0), n2 numeric(12,2), "
      "n6 numeric(20,6), big numeric(30,0), m money, vc varchar(12), v varchar, wide varchar(9000), ch char(3), "
      "c1 char, tx text, by bytea, dt date, tm time, ts timestamptz, u uuid, j jsonb, a int[])");
  auto run = [&](int code, const std::string& a, const std::string& b = "") {
    const std::optional<CatalogQuery> q = c->MetaDataQuery(code, a, b);
    EXPECT_TRUE(q.has_value()) << code;
    TRdaParamList params;
    for (const auto& [name, value] : q->texts) params.CreateParam(ftString, name, ptInput).SetAsString(value);
    std::vector<std::string> names;
    SqlStatement stmt = c->Prepare(q->sql, &params);
    for (int i = 0; i < stmt.ColumnCount(); ++i) names.push_back(stmt.ColumnName(i));
    std::vector<std::vector<std::string>> rows;
    while (c->Step(stmt)) rows.push_back(Texts(stmt.Row()));
    return std::make_pair(names, rows);
  };
  for (int code = mrTables; code <= mrStatelessUserList; ++code) {
    if (!c->MetaDataQuery(code, "", "")) continue;
    for (const std::string name : {"VNXCONTACTS", "CompanyHost", ""}) {
      EXPECT_NO_THROW(run(code, name, "Hosts")) << code << " " << name;
    }
  }
  c->Execute("CREATE TABLE rda_events (id int)");
  EXPECT_EQ(run(mrTables, "").second,
            (std::vector<std::vector<std::string>>{{"kinds"}, {"sy_mastr"}, {"symaster"}, {"vnxcontacts"}, {"vnxhosts"}}));
  const auto system = run(mrSystemTables, "").second;
  for (const std::string table : {"rda_events", "rdaprocedures", "pg_class"})
    EXPECT_THAT(system, ::testing::Contains(ElementsAre(table)));
  EXPECT_EQ(run(mrDBMSName, "").second.at(0).at(0), "PostgreSQL");
  EXPECT_EQ(run(mrPrimeKeys, "vnxhosts").second, (std::vector<std::vector<std::string>>{{"xcompanycode", "1"}}));
  const auto fk = run(mrForeignKeys, "VNXCONTACTS");
  EXPECT_THAT(fk.first, ElementsAre("ForeignKeyId", "Position", "FieldName", "RefTable", "RefField", "OnUpdate", "OnDelete"));
  EXPECT_EQ(fk.second, (std::vector<std::vector<std::string>>{
                           {"0", "1", "xcompanycode", "vnxhosts", "xcompanycode", "NO ACTION", "CASCADE"}}));
  EXPECT_EQ(run(mrTriggers, "vnxcontacts").second.at(0).at(0), "vnxcontacts_changed");
  EXPECT_EQ(run(mrStoredProcColumns, "COMPANYHOST").second,
            (std::vector<std::vector<std::string>>{{"Code", "1", "1"}, {"HostCount", "2", "3"}}));
  EXPECT_EQ(run(mrProviders, "", "hosts").second,
            (std::vector<std::vector<std::string>>{{"RdaProviders", "Hosts", "VNXHOSTS"}}));
  EXPECT_EQ(run(mrBusinessObjectNames, "").second, (std::vector<std::vector<std::string>>{{"Directory"}}));
  const auto indexes = run(mrIndexes, "vnxcontacts").second;
  EXPECT_EQ(indexes.at(0), (std::vector<std::string>{"vnxcontacts_company", "vnxcontacts", "xcompanycode", "1", "0", "c"}));
  const auto list = c->TextListQuery("Item", {"b\"1", "a\\2", "c,3"});
  TRdaParamList listParams;
  listParams.CreateParam(ftString, "List", ptInput).SetAsString(list.texts.at(0).second);
  EXPECT_EQ(Rows(*c, list.sql, &listParams), (std::vector<std::vector<std::string>>{{"b\"1"}, {"a\\2"}, {"c,3"}}));

  // The field types the metadata gives are those the row packets of the
  // same columns are sent with.
  const auto fields = run(mrFields, "KINDS");
  ASSERT_THAT(fields.first, ElementsAre("FieldName", "FieldType", "FieldSize", "Position", "DeclaredType",
                                        "Required", "KeyPosition", "DefaultValue"));
  SqlStatement select = c->Prepare("SELECT * FROM kinds", nullptr);
  ASSERT_EQ(fields.second.size(), static_cast<size_t>(select.ColumnCount()));
  for (int i = 0; i < select.ColumnCount(); ++i) {
    const std::vector<std::string>& f = fields.second[static_cast<size_t>(i)];
    const ColumnSpec spec = DecideColumn(select.ColumnName(i), select.DeclaredType(i), {}, 0, true);
    EXPECT_EQ(f[0], select.ColumnName(i));
    EXPECT_EQ(f[4], select.DeclaredType(i)) << f[0];
    EXPECT_EQ(f[1], std::to_string(spec.type)) << f[0];
    EXPECT_EQ(f[2], std::to_string(spec.size)) << f[0];
    EXPECT_EQ(f[3], std::to_string(i + 1));
  }
  const auto tableFields = run(mrTableFields, "kinds").second;
  ASSERT_EQ(tableFields.size(), fields.second.size());
  for (size_t i = 0; i < tableFields.size(); ++i) {
    EXPECT_EQ(tableFields[i][2], fields.second[i][1]);
    EXPECT_EQ(tableFields[i][3], fields.second[i][2]);
  }
}

TEST_F(PostgresDatabaseTest, ServersStartingTogetherMakeTheDefinitionTablesOnce) {
  auto db = Open();
  std::vector<std::string> errors(6);
  std::vector<std::thread> servers;
  for (size_t i = 0; i < errors.size(); ++i)
    servers.emplace_back([&, i] { errors[i] = ErrorOf([&] { db->RunScript(DefinitionTablesScript(SqlEngine::kPostgres)); }); });
  for (std::thread& t : servers) t.join();
  for (const std::string& e : errors) EXPECT_EQ(e, "(no error)");
  auto c = db->Connect();
  for (const char* table : {"RdaProcedures", "RdaMethods", "RdaProviders", "RdaParams", "RdaWaitingMail"})
    EXPECT_TRUE(c->TableExists(table)) << table;
  c->Execute("INSERT INTO RdaProcedures (Name, SQL) VALUES ('One', 'SELECT 1')");
  EXPECT_EQ(ErrorOf([&] { c->Execute("INSERT INTO RdaProcedures (Name, SQL) VALUES ('ONE', 'SELECT 1')"); }),
            "duplicate key value violates unique constraint \"rdaprocedures_name_nocase\"");
}

TEST_F(PostgresDatabaseTest, AConnectionPostgresDroppedIsOpenedAgainForTheNextStatement) {
  auto c = Connect();
  auto admin = Connect();
  // pg_terminate_backend with a time limit returns once the backend is gone.
  auto terminate = [&](const std::string& pid) {
    EXPECT_EQ(Rows(*admin, "SELECT pg_terminate_backend(" + pid + ", 10000)"),
              (std::vector<std::vector<std::string>>{{"1"}}));
  };
  // Dropped while idle: the next statement runs on a new connection.
  const std::string pid = Rows(*c, "SELECT pg_backend_pid()").at(0).at(0);
  terminate(pid);
  const std::string second = Rows(*c, "SELECT pg_backend_pid()").at(0).at(0);
  EXPECT_NE(second, pid);
  // Dropped in a transaction: the statement that finds it gone fails with
  // libpq's message, the transaction is gone, and the next one runs again.
  c->Execute("BEGIN");
  c->Execute("SELECT 1");
  ASSERT_TRUE(c->InTransaction());
  terminate(second);
  EXPECT_THAT(ErrorOf([&] { Rows(*c, "SELECT 1"); }), HasSubstr("terminating connection"));
  EXPECT_FALSE(c->InTransaction());
  EXPECT_EQ(Rows(*c, "SELECT 1"), (std::vector<std::vector<std::string>>{{"1"}}));
}

TEST_F(PostgresDatabaseTest, WhilePostgresIsDownStatementsFailClearlyAndWorkAgainOnceItIsBack) {
  auto before = Connect();
  EXPECT_EQ(Rows(*before, "SELECT 1"), (std::vector<std::vector<std::string>>{{"1"}}));
  cluster_->Stop();
  EXPECT_NE(ErrorOf([&] { Rows(*before, "SELECT 1"); }), "(no error)");
  // A session that begins now gets its connection once PostgreSQL is back.
  std::unique_ptr<SqlConnection> during;
  ASSERT_NO_THROW(during = db_->Connect());
  EXPECT_THAT(ErrorOf([&] { Rows(*during, "SELECT 1"); }), HasSubstr("Connection refused"));
  cluster_->Start();
  for (SqlConnection* c : {before.get(), during.get()})
    EXPECT_EQ(Rows(*c, "SELECT 1"), (std::vector<std::vector<std::string>>{{"1"}}));
}

TEST_F(PostgresDatabaseTest, DescribesTheDatabaseWithoutItsPassword) {
  auto db = OpenDatabase(uri_ + "?password=secret&application_name=x", {});
  EXPECT_EQ(db->Describe().find("secret"), std::string::npos);
  EXPECT_THAT(db->Describe(), HasSubstr("127.0.0.1:" + std::to_string(cluster_->Port())));
  EXPECT_THAT(ErrorOf([&] { OpenDatabase(cluster_->Uri("no_such_database"), {}); }),
              HasSubstr("no_such_database"));
}

}  // namespace
}  // namespace rda
