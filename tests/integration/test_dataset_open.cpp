// The client dataset against a real rdaserver: the install utility's queries with
// etRdaEncrypt, empty results, server errors, parameters of every type through
// the server and back, the SQL text and what it sends, deferred opens, blocking
// connections, and the connection going away first.
#include <gtest/gtest.h>

#include <cmath>

#include "DatasetTestSupport.h"
#include "base/Bcd.h"
#include "base/DateTime.h"
#include "base/Exception.h"
#include "tests/base/RaisesWith.h"

namespace rda {
namespace {

using test::DatasetTest;
using test::RunUntil;
using test::SentMessages;
using test::ServerProcess;

TEST(DatasetInstallQueries, CompanyAndDirectoryOverAnEncryptedConnection) {
  ServerProcess server(test::DemoServerArgs({"--encryption", "rda"}));
  TRdaClientSocket s;
  s.SetPort(server.DataPort());
  s.SetEncryption(etRdaEncrypt);
  s.OpenAndWait();
  ASSERT_TRUE(s.Active());

  TRdaClientDataSet company;
  company.SetName("DataSet");
  company.SetRdaClientSocket(&s);
  company.SetFastFields({"CompanyName,1,35", "VersionNumber,1,8"});  // replaced by the reply
  company.SetSQL({"Select T.\"Comp_Name\", T.\"Version Number\" From SY_MASTR T"});
  company.Open();
  ASSERT_FALSE(company.IsEmpty());
  EXPECT_EQ(company.FieldByName("Comp_Name").AsString(), "Demo Company Ltd");
  EXPECT_EQ(company.FieldByName("Version Number").AsString(), "6.251");
  EXPECT_EQ(company.FastFields(), (std::vector<std::string>{"Comp_Name,1,35", "Version Number,1,8"}));
  company.Close();

  // The directory look-up: a dataset made for the step, two SQL lines.
  for (const auto& [code, host] : {std::pair{"DEMO", "127.0.0.1"}, std::pair{"NOBODY", ""}}) {
    TRdaClientDataSet directory;
    directory.SetRdaClientSocket(&s);
    directory.SetSQL({"Select * From VNXHOSTS", std::string("Where XCompanyCode = '") + code + "'"});
    directory.Open();
    EXPECT_EQ(directory.IsEmpty(), *host == '\0') << code;
    if (!directory.IsEmpty()) {
      EXPECT_EQ(directory.FieldByName("XHost").AsString(), host);
      EXPECT_EQ(directory.FieldByName("XPort").AsInteger(), 9406);
      EXPECT_EQ(directory.FieldByName("XLANIPAddress").AsString(), "127.0.0.1");
    }
    EXPECT_EQ(directory.FieldCount(), 4);  // an empty result has its fields
  }
}

TEST_F(DatasetTest, SendsTheSelectWithLinesOrderAndParameters) {
  SentMessages sent(s);
  TRdaClientDataSet ds;
  ds.SetRdaClientSocket(&s);
  ds.SetDataBase("Company");
  ds.SetSQL({"Select * From VNXHOSTS", "Where XCompanyCode <> :Code"});
  ds.Params().ParamByName("Code").SetAsString("NONE");
  ds.SetOrderBy("  XCompanyCode ");
  ds.SetAscending(false);
  ds.SetSQLOptions({soFetchMemos, soCompress});
  ds.Open();
  const auto selects = sent.WithToken(3);
  ASSERT_EQ(selects.size(), 1u);
  EXPECT_EQ(selects[0].id, s.ComponentId(&ds));
  ASSERT_EQ(selects[0].fields.size(), 4u);
  EXPECT_EQ(selects[0].fields[0],
            "Select * From VNXHOSTS\r\nWhere XCompanyCode <> :Code\r\n ORDER BY XCompanyCode DESC");
  EXPECT_EQ(selects[0].fields[1], "-1");
  EXPECT_EQ(selects[0].fields[2], "33");  // bits 0 and 5
  EXPECT_EQ(selects[0].fields[3], "Company\x05" + ds.Params().ToText(true));
  // Ordered by the server, and inflated on the way in.
  ASSERT_EQ(ds.RecordCount(), 2);
  EXPECT_EQ(ds.FieldByName("XCompanyCode").AsString(), "DEMO");
  ds.Last();
  EXPECT_EQ(ds.FieldByName("XCompanyCode").AsString(), "ACME");
}

// The alternative select (token 46: database first, then the SQL, rows and options
// with the memo and blob bits) gets the same answer; RowsToReturn 0 asks for the
// field descriptions only and opens empty at once, and the connection serves the
// next request as before.
TEST_F(DatasetTest, AlternativeSelectAndDescriptionsOnly) {
  SentMessages sent(s);
  s.SetReplyTimeout(5000);  // a wait that ran to the limit would raise
  TRdaClientDataSet ds;
  ds.SetRdaClientSocket(&s);
  ds.SetDataBase("Company");
  ds.SetSQL({"Select XCompanyCode, XPort From VNXHOSTS Order By XPort"});
  ds.SetSQLOptions({soCyclopsSQL});
  ds.Open();
  const auto selects = sent.WithToken(46);
  ASSERT_EQ(selects.size(), 1u);
  EXPECT_EQ(selects[0].id, s.ComponentId(&ds));
  // The options carry soCyclopsSQL (bit 4) with the memo and blob bits.
  EXPECT_EQ(selects[0].fields, (std::vector<std::string>{"Company", "Select XCompanyCode, XPort From VNXHOSTS "
                                                         "Order By XPort\r\n", "-1", "19"}));
  EXPECT_TRUE(sent.WithToken(3).empty());
  ASSERT_EQ(ds.RecordCount(), 2);
  EXPECT_EQ(ds.FieldByName("XCompanyCode").AsString(), "DEMO");
  EXPECT_EQ(ds.FieldByName("XPort").AsInteger(), 9406);

  for (const bool alternative : {false, true}) {
    SCOPED_TRACE(alternative ? "token 46" : "token 3");
    ds.Close();
    ds.SetSQLOptions(alternative ? TRdaSelectSQLOptionSet{soCyclopsSQL} : TRdaSelectSQLOptionSet{});
    ds.SetRowsToReturn(0);
    ds.Open();
    EXPECT_TRUE(ds.Active());
    ASSERT_EQ(ds.FieldCount(), 2);
    EXPECT_EQ(ds.Fields()[1].FieldName(), test::Folded("XPort"));
    EXPECT_TRUE(ds.IsEmpty());
    // Whatever else the server sent for it does not end the next request's wait.
    TRdaClientDataSet next;
    next.SetRdaClientSocket(&s);
    next.SetSQL({"Select \"Comp_Name\" From SY_MASTR"});
    next.Open();
    EXPECT_EQ(next.FieldByName("Comp_Name").AsString(), "Demo Company Ltd");
  }
  EXPECT_TRUE(errors.empty());
}

TEST_F(DatasetTest, ServerErrorClosesAndRaisesItsText) {
  TRdaClientDataSet ds;
  ds.SetName("qryMisc");
  ds.SetRdaClientSocket(&s);
  ds.SetSQL({"Select * From NoSuchTable"});
  EXPECT_TRUE(test::RaisesWith<EDatabaseError>(
      [&] { ds.Open(); },
      test::EngineText("[RDA SERVER ERROR]no such table: NoSuchTable",
                       "[RDA SERVER ERROR]relation \"nosuchtable\" does not exist")));
  EXPECT_FALSE(ds.Active());
  EXPECT_FALSE(ds.OpenInProgress());
  // The connection and the dataset go on.
  ds.SetSQL({"Select \"Comp_Name\" From SY_MASTR"});
  ds.Open();
  EXPECT_EQ(ds.FieldByName("Comp_Name").AsString(), "Demo Company Ltd");
}

TEST_F(DatasetTest, ParametersOfEveryTypeComeBackThroughTheServer) {
  // The same columns in each engine's own type names (PostgreSQL's REAL has
  // single precision, its MONEY two decimals).
  Execute(test::EngineText(
      "CREATE TABLE Everything (s VARCHAR(20), w VARCHAR(20), sm SMALLINT, i INTEGER, big BIGINT, "
      "b BOOLEAN, f REAL, cur MONEY, bcd DECIMAL(10,2), fmt DECIMAL(24,6), d DATE, t TIME, "
      "dt DATETIME, bl BLOB, memo CLOB, g GUID, n VARCHAR(5))",
      "CREATE TABLE Everything (s VARCHAR(20), w VARCHAR(20), sm SMALLINT, i INTEGER, big BIGINT, "
      "b BOOLEAN, f DOUBLE PRECISION, cur MONEY, bcd DECIMAL(10,2), fmt DECIMAL(24,6), d DATE, t TIME, "
      "dt TIMESTAMP, bl BYTEA, memo TEXT, g UUID, n VARCHAR(5))"));
  TRdaClientDataSet ins;
  ins.SetRdaClientSocket(&s);
  ins.SetSQLText(
      "INSERT INTO Everything VALUES (:s, :w, :sm, :i, :big, :b, :f, :cur, :bcd, :fmt, :d, :t, :dt, "
      ":bl, :memo, :g, :n);\r\nSELECT * FROM Everything");
  TRdaParamList& p = ins.Params();
  ASSERT_EQ(p.Count(), 17);
  const std::string blob("\x00\x01\x02\x04\x05\xff", 6);
  const TDateTime day = EncodeDate(2024, 2, 29);
  const TDateTime time = EncodeTime(13, 45, 30, 0);
  p.ParamByName("s").SetAsString("caf\xe9 au lait");
  p.ParamByName("w").SetAsString("plain");
  p.ParamByName("w").SetDataType(ftWideString);
  p.ParamByName("sm").SetAsSmallint(-1234);
  p.ParamByName("i").SetAsInteger(2000000000);
  p.ParamByName("big").SetAsLargeint(-9000000000123);
  p.ParamByName("b").SetAsInteger(1);
  p.ParamByName("f").SetAsFloat(6.62607015e-34);
  p.ParamByName("cur").SetAsCurrency(Currency::FromScaled(-1234500));
  p.ParamByName("bcd").SetAsBCD(Currency::FromScaled(9876500));
  p.ParamByName("fmt").SetAsFMTBCD(StrToBcd("123456.125"));
  p.ParamByName("d").SetAsDate(day);
  p.ParamByName("t").SetAsTime(time);
  p.ParamByName("dt").SetAsDateTime(day + time);
  p.ParamByName("bl").SetAsBlob(blob);
  p.ParamByName("memo").SetAsMemo(std::string(10000, 'm'));
  p.ParamByName("g").SetAsGuid("{0A1B2C3D-0000-4000-8000-00000000ABCD}");
  p.ParamByName("n").SetIsNull(true);
  p.ParamByName("n").SetDataType(ftString);
  ins.Open();
  ASSERT_EQ(ins.RecordCount(), 1);

  struct Expect {
    const char* field;
    TFieldType type;
  } types[] = {{"s", ftString},  {"w", ftString},   {"sm", ftSmallint}, {"i", ftInteger},
               {"big", ftLargeint}, {"b", ftBoolean}, {"f", ftFloat},    {"cur", ftCurrency},
               {"bcd", ftBCD},   {"fmt", ftFMTBcd}, {"d", ftDate},      {"t", ftTime},
               {"dt", ftDateTime}, {"bl", ftBlob},  {"memo", ftMemo},   {"g", ftGuid}};
  for (const Expect& e : types) EXPECT_EQ(ins.FieldByName(e.field).DataType(), e.type) << e.field;
  EXPECT_EQ(ins.FieldByName("s").AsString(), "caf\xe9 au lait");
  EXPECT_EQ(ins.FieldByName("w").AsString(), "plain");
  EXPECT_EQ(ins.FieldByName("sm").AsInteger(), -1234);
  EXPECT_EQ(ins.FieldByName("i").AsInteger(), 2000000000);
  EXPECT_EQ(ins.FieldByName("big").AsLargeInt(), -9000000000123);
  EXPECT_TRUE(ins.FieldByName("b").AsBoolean());
  EXPECT_EQ(ins.FieldByName("f").AsFloat(), 6.62607015e-34);  // every digit
  EXPECT_EQ(ins.FieldByName("cur").AsCurrency().Scaled, -1234500);
  EXPECT_EQ(ins.FieldByName("bcd").AsCurrency().Scaled, 9876500);
  EXPECT_EQ(ins.FieldByName("fmt").AsString(), "123456.125");
  EXPECT_EQ(ins.FieldByName("d").AsDateTime(), day);
  EXPECT_NEAR(ins.FieldByName("t").AsDateTime(), time, 1e-9);
  EXPECT_NEAR(ins.FieldByName("dt").AsDateTime(), day + time, 1e-9);
  EXPECT_EQ(ins.ReadBlobData(ins.FieldByName("bl")), blob);
  EXPECT_EQ(ins.ReadBlobData(ins.FieldByName("memo")), std::string(10000, 'm'));
  EXPECT_EQ(ins.FieldByName("g").AsString(), "{0A1B2C3D-0000-4000-8000-00000000ABCD}");
  EXPECT_TRUE(ins.FieldByName("n").IsNull());
}

TEST_F(DatasetTest, NullsEmptyTextsEmptyBlobsAndZeroDoubles) {
  Execute(test::EngineText(
      "CREATE TABLE Edges (n INTEGER, s VARCHAR(10), f REAL, bl BLOB);"
      "INSERT INTO Edges VALUES (1, NULL, 0.0, x''), (2, '', NULL, NULL), (3, 'x', -0.0, x'00')",
      "CREATE TABLE Edges (n INTEGER, s VARCHAR(10), f REAL, bl BYTEA);"
      "INSERT INTO Edges VALUES (1, NULL, 0.0, '\\x'), (2, '', NULL, NULL), (3, 'x', -0.0, '\\x00')"));
  TRdaClientDataSet ds;
  ds.SetRdaClientSocket(&s);
  ds.SetSQL({"SELECT s, f, bl FROM Edges ORDER BY n"});
  ds.Open();
  ASSERT_EQ(ds.RecordCount(), 3);
  TField& text = ds.FieldByName("s");
  TField& number = ds.FieldByName("f");
  TField& blob = ds.FieldByName("bl");
  EXPECT_TRUE(text.IsNull());     // #3
  EXPECT_FALSE(number.IsNull());  // #5 with zero: an empty text, read as 0
  EXPECT_EQ(number.AsFloat(), 0.0);
  EXPECT_TRUE(blob.IsNull());  // #6 with length 0: no entry
  ds.Next();
  EXPECT_FALSE(text.IsNull());  // an empty text is not NULL
  EXPECT_EQ(text.AsString(), "");
  EXPECT_TRUE(number.IsNull());
  ds.Next();
  EXPECT_EQ(ds.ReadBlobData(blob), std::string(1, '\0'));
}

TEST_F(DatasetTest, SettingTheSameSqlKeepsTheDatasetOpen) {
  TRdaClientDataSet ds;
  ds.SetRdaClientSocket(&s);
  ds.SetSQL({"SELECT * FROM VNXHOSTS WHERE XPort > :Low"});
  ds.Params().ParamByName("Low").SetAsInteger(9000);
  ds.Open();
  ds.SetSQL({"SELECT * FROM VNXHOSTS WHERE XPort > :Low"});
  EXPECT_TRUE(ds.Active());
  // Another text closes; parameters that stay keep their values.
  ds.SetSQL({"SELECT * FROM VNXHOSTS WHERE XPort > :Low AND XCompanyCode <> :Code"});
  EXPECT_FALSE(ds.Active());
  ASSERT_EQ(ds.Params().Count(), 2);
  EXPECT_EQ(ds.Params().ParamByName("Low").AsInteger(), 9000);
  ds.Params().ParamByName("Code").SetAsString("DEMO");
  ds.Open();
  EXPECT_EQ(ds.RecordCount(), 1);
  ds.SetTableName("SY_MASTR");
  EXPECT_EQ(ds.SQL(), std::vector<std::string>{"SELECT * FROM SY_MASTR"});
  EXPECT_EQ(ds.Params().Count(), 0);
  ds.Requery();
  EXPECT_EQ(ds.FieldByName("Version Number").AsString(), "6.251");
}

TEST(DatasetDeferred, OpenOnAClosedConnectionWaitsForTheConnect) {
  ServerProcess server(test::DemoServerArgs());
  TRdaClientSocket s;
  s.SetPort(server.DataPort());
  TRdaClientDataSet ds;
  ds.SetRdaClientSocket(&s);
  ds.SetFastFields({"Comp_Name,1,35"});
  ds.SetSQL({"SELECT \"Comp_Name\" FROM SY_MASTR"});
  int populated = 0;
  ds.OnAfterPopulate = [&](TDataSet&) { ++populated; };
  ds.Open();  // nothing is sent
  EXPECT_FALSE(ds.Active());
  EXPECT_TRUE(ds.DeferredOpen());
  EXPECT_TRUE(test::RaisesWith<EDatabaseError>([&] { ds.Requery(); }, "No Socket! or Socket Not Active"));
  s.OpenAndWait();  // connecting reopens it
  ASSERT_TRUE(ds.Active());
  EXPECT_FALSE(ds.DeferredOpen());
  EXPECT_EQ(ds.FieldByName("Comp_Name").AsString(), "Demo Company Ltd");
  EXPECT_EQ(populated, 1);
}

TEST(DatasetWithoutConnection, RaisesAndTheConnectionMayGoFirst) {
  TRdaClientDataSet ds;
  ds.SetSQL({"SELECT 1"});
  EXPECT_TRUE(test::RaisesWith<EDatabaseError>([&] { ds.Open(); }, "No RdaClientSocket Assigned."));
  {
    TRdaClientSocket s;
    ds.SetRdaClientSocket(&s);
    ds.Open();  // deferred: bound to the connection
    EXPECT_TRUE(ds.DeferredOpen());
  }
  EXPECT_EQ(ds.RdaClientSocket(), nullptr);
  EXPECT_FALSE(ds.DeferredOpen());
}

TEST(DatasetBlocking, RunsTheExchangeOfItsOwnRequests) {
  ServerProcess server(test::DemoServerArgs());
  TRdaClientSocket b;
  b.SetClientType(ctBlocking);
  b.SetPort(server.DataPort());
  TRdaClientDataSet ds;
  ds.SetRdaClientSocket(&b);
  ds.SetSQL({"SELECT * FROM VNXHOSTS ORDER BY XPort"});
  ds.Open();
  ASSERT_TRUE(ds.Active());
  EXPECT_FALSE(b.Active());  // one short connection per exchange
  EXPECT_EQ(ds.RecordCount(), 2);
  EXPECT_EQ(ds.FieldByName("XCompanyCode").AsString(), "DEMO");
  ds.SetSQL({"SELECT * FROM Missing"});
  EXPECT_TRUE(test::RaisesWith<EDatabaseError>([&] { ds.Open(); },
                                               test::EngineText("[RDA SERVER ERROR]no such table: Missing",
                                                                 "[RDA SERVER ERROR]relation \"missing\" does not exist")));
}

}  // namespace
}  // namespace rda
