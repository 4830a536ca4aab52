// Metadata, stored procedures, server methods, providers and the metadata cache,
// through client datasets against rdaserver on a real SQLite file, checked against
// what SQLite itself reports of the same file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "DatasetTestSupport.h"

namespace rda {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using test::RunUntil;


// The named columns of every row of an open dataset, as text.
std::vector<std::vector<std::string>> Rows(TDataSet& ds, const std::vector<std::string>& fields) {
  std::vector<std::vector<std::string>> rows;
  for (ds.First(); !ds.Eof(); ds.Next()) {
    std::vector<std::string> row;
    for (const std::string& f : fields) row.push_back(ds.FieldByName(f).AsString());
    rows.push_back(std::move(row));
  }
  return rows;
}

class MetaDataTest : public ::testing::Test {
 protected:
  MetaDataTest() : server(test::DemoServerArgs(db.ServerArgs({}))) {}
  void SetUp() override { Connect(s); }
  void Connect(TRdaClientSocket& c) {
    c.SetPort(server.DataPort());
    c.SetUserInterface(&ui);
    c.OnDisconnect = [] {};
    c.OpenAndWait();
    ASSERT_TRUE(c.Active());
  }
  std::unique_ptr<TRdaClientDataSet> Meta(TRdaMetaData request, const std::string& table = "") {
    auto ds = std::make_unique<TRdaClientDataSet>();
    ds->SetRdaClientSocket(&s);
    ds->SetMetaDataRequest(request);
    ds->SetTableName(table);
    ds->Open();
    return ds;
  }
  // What the engine itself reports of the database.
  std::vector<std::vector<std::string>> Sqlite(const std::string& sql) { return db.Rows(sql); }

  test::TestDatabase db;
  test::ServerProcess server;
  TRdaClientSocket s;
  test::RecordingUI ui;
};

TEST_F(MetaDataTest, CatalogueAsSQLiteReportsIt) {
  const auto tables = Sqlite(
      "SELECT name FROM sqlite_schema WHERE type = 'table' AND name NOT LIKE 'sqlite%' AND name NOT "
      "LIKE 'Rda%' ORDER BY name");
  ASSERT_GE(tables.size(), 4u);
  EXPECT_EQ(Rows(*Meta(mdTables), {"TableName"}), tables);
  // The server's own tables are system tables.
  const auto system = Rows(*Meta(mdSystemTables), {"TableName"});
  for (const char* own : {"RdaMethods", "RdaParams", "RdaProcedures", "RdaProviders", "RdaWaitingMail"})
    EXPECT_NE(std::find(system.begin(), system.end(), std::vector<std::string>{own}), system.end()) << own;

  for (const auto& t : tables) {
    const std::string& table = t[0];
    SCOPED_TRACE(table);
    std::unique_ptr<TRdaClientDataSet> fields = Meta(mdFields, table);
    EXPECT_EQ(Rows(*fields, {"FieldName", "DeclaredType", "Required", "KeyPosition", "DefaultValue"}),
              Sqlite("SELECT name, type, \"notnull\", pk, dflt_value FROM pragma_table_info('" + table +
                     "') ORDER BY cid"));
    // The field types are those a result of the table is described with.
    TRdaClientDataSet empty;
    empty.SetRdaClientSocket(&s);
    empty.SetSQLText("SELECT * FROM \"" + table + "\" WHERE 0");
    empty.Open();
    ASSERT_EQ(empty.FieldCount(), fields->RecordCount());
    fields->First();
    for (int i = 0; i < empty.FieldCount(); ++i, fields->Next()) {
      EXPECT_EQ(fields->FieldByName("FieldType").AsInteger(), empty.Fields()[i].DataType()) << i;
      EXPECT_EQ(fields->FieldByName("FieldSize").AsInteger(), empty.FieldDefs().Items(i).Size()) << i;
    }
    EXPECT_EQ(Rows(*Meta(mdPrimeKeys, table), {"FieldName"}),
              Sqlite("SELECT name FROM pragma_table_info('" + table + "') WHERE pk > 0 ORDER BY pk"));
    EXPECT_EQ(Rows(*Meta(mdIndexes, table), {"IndexName", "FieldName", "IsUnique"}),
              Sqlite("SELECT l.name, i.name, l.\"unique\" FROM pragma_index_list('" + table +
                     "') l JOIN pragma_index_info(l.name) i ORDER BY l.name, i.seqno"));
    EXPECT_EQ(Rows(*Meta(mdForeignKeys, table), {"FieldName", "RefTable", "RefField"}),
              Sqlite("SELECT \"from\", \"table\", \"to\" FROM pragma_foreign_key_list('" + table +
                     "') ORDER BY id, seq"));
  }
  // The demonstration's contacts do have a foreign key, an index and a trigger.
  EXPECT_THAT(Rows(*Meta(mdForeignKeys, "VNXCONTACTS"), {"FieldName", "RefTable"}),
              ElementsAre(ElementsAre("XCompanyCode", "VNXHOSTS")));
  EXPECT_EQ(Rows(*Meta(mdViews), {"ViewName"}),
            Sqlite("SELECT name FROM sqlite_schema WHERE type = 'view' ORDER BY name"));
  EXPECT_EQ(Rows(*Meta(mdTriggers, "VNXCONTACTS"), {"TriggerName"}),
            Sqlite("SELECT name FROM sqlite_schema WHERE type = 'trigger' AND tbl_name = 'VNXCONTACTS'"));
  EXPECT_EQ(Rows(*Meta(mdDBMSName), {"DBMSName", "Version"}),
            Sqlite("SELECT 'SQLite', sqlite_version()"));
  // Every table's fields at once, as the metadata cache keeps them.
  EXPECT_EQ(Rows(*Meta(mdTableFields), {"TableName", "FieldName"}),
            Sqlite("SELECT m.name, p.name FROM sqlite_schema m JOIN pragma_table_info(m.name) p "
                   "WHERE m.type = 'table' AND m.name NOT LIKE 'sqlite%' AND m.name NOT LIKE 'Rda%' "
                   "ORDER BY m.name, p.cid"));
}

TEST_F(MetaDataTest, RequestFieldsAndServerErrors) {
  test::SentMessages sent(s);
  TRdaClientDataSet ds;
  ds.SetRdaClientSocket(&s);
  ds.SetDataBase("main");
  ds.SetMetaDataRequest(mdTables);
  ds.Open();
  const auto requests = sent.WithToken(tkMetaData);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_THAT(requests[0].fields, ElementsAre("", "", "main", "100"));
  // A metadata request the server refuses (a provider's key fields without a
  // provider) is raised by the connection as it waits.
  TRdaClientDataSet bad;
  bad.SetRdaClientSocket(&s);
  bad.SetMetaDataRequest(mdProviderPrimeFields);
  EXPECT_THAT([&] { bad.Open(); }, ::testing::ThrowsMessage<Exception>(" not found"));
  EXPECT_FALSE(bad.Active());
}

TEST_F(MetaDataTest, StoredProcedureWithOutputParameter) {
  TRdaClientDataSet proc;
  proc.SetRdaClientSocket(&s);
  proc.SetStoredProcedure("CompanyHost");
  ASSERT_EQ(proc.Params().Count(), 2);
  EXPECT_EQ(proc.Params().Items(0).Name(), "Code");
  EXPECT_EQ(proc.Params().Items(1).ParamType(), ptOutput);
  proc.Params().ParamByName("Code").SetAsString("ACME");
  proc.Open();
  EXPECT_THAT(Rows(proc, {"XHost", "XPort"}), ElementsAre(ElementsAre("127.0.0.1", "9407")));
  EXPECT_EQ(proc.Params().ParamByName("HostCount").AsString(),
            Sqlite("SELECT COUNT(*) FROM VNXHOSTS")[0][0]);
  // A procedure the server does not know is the dataset's error.
  TRdaClientDataSet unknown;
  unknown.SetRdaClientSocket(&s);
  unknown.SetStoredProcedure("NoSuchProcedure");
  EXPECT_THAT([&] { unknown.Open(); },
              ::testing::ThrowsMessage<EDatabaseError>(
                  "[RDA SERVER ERROR]Stored procedure NoSuchProcedure not found"));
}

TEST_F(MetaDataTest, ServerMethodWaitsForItsOutputParameters) {
  TRdaClientDataSet method;
  method.SetRdaClientSocket(&s);
  method.SetServerMethod("PortsFrom");
  EXPECT_EQ(method.MetaDataRequest(), mdBusinessObjects);
  ASSERT_EQ(method.Params().Count(), 2);
  method.Params().ParamByName("MinPort").SetAsInteger(9407);
  int received = 0;
  method.OnReceiveParams = [&](TDataSet&) { ++received; };
  method.Open();
  // The open returned only once the output parameter had come.
  EXPECT_EQ(received, 1);
  EXPECT_THAT(Rows(method, {"XCompanyCode"}), ElementsAre(ElementsAre("ACME")));
  EXPECT_EQ(method.Params().ParamByName("Found").AsInteger(), 1);
  EXPECT_EQ(method.Params().ParamByName("MinPort").AsInteger(), 9407);

  TRdaClientDataSet unknown;
  unknown.SetRdaClientSocket(&s);
  EXPECT_THAT([&] { unknown.SetServerMethod("Directory.Nothing"); },
              ::testing::ThrowsMessage<Exception>("Directory.Nothing not found"));
  EXPECT_EQ(unknown.ServerMethod(), "");
}

TEST_F(MetaDataTest, ProviderByNameAndItsKeyFields) {
  TRdaClientDataSet hosts;
  hosts.SetRdaClientSocket(&s);
  hosts.SetProviderName("Hosts");
  EXPECT_EQ(hosts.MetaDataRequest(), mdCustomDataSets);
  EXPECT_EQ(hosts.ServerDataSet(), "RdaProviders.Hosts");
  ASSERT_EQ(hosts.Params().Count(), 1);
  hosts.Params().ParamByName("Pattern").SetAsString("D%");
  hosts.SetRowsToReturn(50);
  int actions = 0;
  hosts.OnCustomServerAction = [&](TRdaBaseClientDataSet&, int& action) {
    ++actions;
    action = 7;
  };
  test::SentMessages sent(s);
  hosts.Open();
  EXPECT_EQ(actions, 1);
  EXPECT_THAT(Rows(hosts, {"XCompanyCode"}), ElementsAre(ElementsAre("DEMO")));
  // The request carried the provider's settings; the dataset's parameters are as they were.
  const auto requests = sent.WithToken(tkMetaData);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].fields[0], "RdaProviders.Hosts");
  EXPECT_EQ(requests[0].fields[3], "111");
  const std::unique_ptr<TRdaParamList> carried = TRdaParamList::FromText(requests[0].fields[1]);
  EXPECT_EQ(carried->ParamByName("RdaPacketRecords").AsInteger(), 50);
  EXPECT_EQ(carried->ParamByName("ServerActionInt").AsInteger(), 7);
  EXPECT_EQ(carried->ParamByName("Provider").AsString(), "Hosts");
  EXPECT_EQ(hosts.Params().Count(), 1);

  hosts.RetrievePrimeKeyFields();
  EXPECT_THAT(hosts.PrimeFields(), ElementsAre("XCompanyCode"));
  TRdaClientDataSet none;
  none.SetRdaClientSocket(&s);
  EXPECT_THAT([&] { none.RetrievePrimeKeyFields(); },
              ::testing::ThrowsMessage<Exception>("Provider Name required!"));
}

TEST_F(MetaDataTest, CacheSavedThenLoadedWithoutTheServer) {
  EXPECT_THAT([&] { s.GetCachedMetaData("FServerparamsDataSet"); },
              ::testing::ThrowsMessage<Exception>("MetaData Not Cached!"));
  const test::TempDir scratch("rda-meta-");
  const std::string cacheFile = scratch.File("cache.rds");
  TRdaClientSocket first;
  first.SetCacheMetaDataOptions(smLoadFromFile);
  first.SetCacheMetaDataFileName(cacheFile);
  Connect(first);
  // No file yet: asked of the server, and saved.
  ASSERT_TRUE(RunUntil([&] { return first.MetaDataCached(); }));
  ASSERT_TRUE(std::filesystem::exists(cacheFile));
  EXPECT_THAT([&] { first.GetCachedMetaData("Nothing"); },
              ::testing::ThrowsMessage<Exception>("Nothing not found in cache"));
  EXPECT_EQ(first.GetCachedMetaData("TableFields").RecordCount(),
            static_cast<int>(Sqlite("SELECT 1 FROM sqlite_schema m JOIN pragma_table_info(m.name) p "
                                    "WHERE m.type = 'table' AND m.name NOT LIKE 'sqlite%' AND m.name "
                                    "NOT LIKE 'Rda%'")
                                 .size()));

  // A fresh connection loads the file as it connects, and asks the server nothing.
  TRdaClientSocket second;
  second.SetCacheMetaDataOptions(smLoadFromFile);
  second.SetCacheMetaDataFileName(cacheFile);
  test::SentMessages sent(second);
  Connect(second);
  EXPECT_TRUE(second.MetaDataCached());
  TRdaClientDataSet method;
  method.SetRdaClientSocket(&second);
  method.SetServerMethod("PortsFrom");  // held only with its module
  EXPECT_EQ(method.ServerMethod(), "Directory.PortsFrom");
  EXPECT_EQ(method.Params().Count(), 2);
  TRdaClientDataSet provider;
  provider.SetRdaClientSocket(&second);
  provider.SetProviderName("Hosts");
  EXPECT_EQ(provider.ServerDataSet(), "RdaProviders.Hosts");
  EXPECT_THAT(provider.PrimeFields(), ElementsAre("XCompanyCode"));
  EXPECT_TRUE(sent.WithToken(tkMetaData).empty());
  for (const auto& m : sent.WithToken(tkServerUtility)) EXPECT_NE(m.fields[0], "13");
  TRdaClientDataSet missing;
  missing.SetRdaClientSocket(&second);
  EXPECT_THAT([&] { missing.SetProviderName("Elsewhere"); },
              ::testing::ThrowsMessage<Exception>("Elsewhere not found"));
  // The provider from the cache opens like one found on the server.
  provider.Params().ParamByName("Pattern").SetAsString("%");
  provider.Open();
  EXPECT_EQ(provider.RecordCount(), 2);
}

// The examples of docs/client-datasets.md, as written there.
TEST_F(MetaDataTest, DocsExamples) {
  TRdaClientSocket& connection = s;
  rda::TRdaClientDataSet fields;
  fields.SetRdaClientSocket(&connection);
  fields.SetMetaDataRequest(rda::mdFields);
  fields.SetTableName("VNXHOSTS");
  fields.Open();
  EXPECT_EQ(fields.RecordCount(), 4);

  rda::TRdaClientDataSet proc;
  proc.SetRdaClientSocket(&connection);
  proc.SetStoredProcedure("CompanyHost");
  proc.Params().ParamByName("Code").SetAsString("DEMO");
  proc.Open();
  int hosts = proc.Params().ParamByName("HostCount").AsInteger();
  EXPECT_EQ(hosts, 2);

  rda::TRdaClientDataSet provider;
  provider.SetRdaClientSocket(&connection);
  provider.SetProviderName("Hosts");
  provider.Params().ParamByName("Pattern").SetAsString("%");
  provider.Open();
  provider.RetrievePrimeKeyFields();
  EXPECT_THAT(provider.PrimeFields(), ElementsAre("XCompanyCode"));

  rda::TRdaClientDataSet method;
  method.SetRdaClientSocket(&connection);
  method.SetServerMethod("Directory.PortsFrom");
  method.Params().ParamByName("MinPort").SetAsInteger(9400);
  bool outputs = false;
  method.OnReceiveParams = [&outputs](rda::TDataSet&) { outputs = true; };
  method.Open();
  int found = method.Params().ParamByName("Found").AsInteger();
  EXPECT_EQ(found, 2);
  EXPECT_TRUE(outputs);
}

// Lines of a text without their CR.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

TEST_F(MetaDataTest, RdaqueryPrintsTablesAndFields) {
  const std::string port = std::to_string(server.DataPort());
  test::Outcome o = test::RunQuery({"--port", port, "--csv", "--tables"});
  ASSERT_EQ(o.status, 0) << o.err;
  std::vector<std::string> expected = {"TableName"};
  for (const auto& t : Sqlite("SELECT name FROM sqlite_schema WHERE type = 'table' AND name NOT LIKE "
                              "'sqlite%' AND name NOT LIKE 'Rda%' ORDER BY name"))
    expected.push_back(t[0]);
  EXPECT_EQ(Lines(o.out), expected);

  o = test::RunQuery({"--port", port, "--csv", "--fields", "VNXHOSTS"});
  ASSERT_EQ(o.status, 0) << o.err;
  const std::vector<std::string> lines = Lines(o.out);
  ASSERT_EQ(lines.size(), 5u) << o.out;
  EXPECT_EQ(lines[0].rfind("FieldName,FieldType,FieldSize,Position,DeclaredType", 0), 0u) << lines[0];
  EXPECT_EQ(lines[1].rfind("XCompanyCode,1,10,1,VARCHAR(10)", 0), 0u) << lines[1];

  for (const std::vector<std::string>& bad : {std::vector<std::string>{"--fields"},
                                              std::vector<std::string>{"--tables", "SELECT", "1"},
                                              std::vector<std::string>{"--tables", "--views"}}) {
    std::vector<std::string> args = {"--port", port};
    args.insert(args.end(), bad.begin(), bad.end());
    EXPECT_EQ(test::RunQuery(args).status, 2) << bad[0];
  }
}

}  // namespace
}  // namespace rda
