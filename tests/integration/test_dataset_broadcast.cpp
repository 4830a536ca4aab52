// Provider updates and provider broadcasts: client datasets opened through the
// "Hosts" provider of rdaserver on a real database (SQLite or PostgreSQL) send their change logs for
// the server to write (gsServer), and the other clients registered for the
// provider receive the rows and merge them.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "DatasetTestSupport.h"

namespace rda {
namespace {

using test::RunUntil;
using Table = std::vector<std::vector<std::string>>;

Table RowsOf(TDataSet& ds) {
  Table rows;
  for (ds.First(); !ds.Eof(); ds.Next()) {
    rows.push_back({ds.FieldByName("XCompanyCode").AsString(), ds.FieldByName("XHost").AsString(),
                    ds.FieldByName("XPort").AsString()});
  }
  std::sort(rows.begin(), rows.end());
  return rows;
}

void Change(TDataSet& ds, const std::string& code, const char* field, const Variant& value) {
  ASSERT_TRUE(ds.Locate("XCompanyCode", Variant(code)));
  ds.Edit();
  ds.FieldByName(field).SetValue(value);
  ds.Post();
}

void Add(TDataSet& ds, const std::string& code, const std::string& host, int port) {
  ds.Append();
  ds.FieldByName("XCompanyCode").SetAsString(code);
  ds.FieldByName("XHost").SetAsString(host);
  ds.FieldByName("XPort").SetAsInteger(port);
  ds.FieldByName("XLANIPAddress").SetAsString("127.0.0.1");
  ds.Post();
}

// A client: its connection and a dataset over the provider.
struct Client {
  TRdaClientSocket socket;
  std::unique_ptr<TRdaClientDataSet> hosts;
  int broadcasts = 0;  // broadcast datasets received
};

class BroadcastTest : public ::testing::Test {
 protected:
  BroadcastTest() : server(test::DemoServerArgs(db.ServerArgs({}))) {}

  // A connected client whose dataset is open over "Hosts" (every company),
  // with server-side SQL, registered for broadcasts when asked.
  std::unique_ptr<Client> Connect(bool registered, const std::string& filter = "",
                                  TBroadcastAction action = baAuto, int port = 0) {
    auto c = std::make_unique<Client>();
    c->socket.SetPort(port != 0 ? port : server.DataPort());
    c->socket.SetUserInterface(&ui);
    c->socket.OnDisconnect = [] {};
    c->socket.OpenAndWait();
    EXPECT_TRUE(c->socket.Active());
    c->hosts = std::make_unique<TRdaClientDataSet>();
    TRdaClientDataSet& ds = *c->hosts;
    ds.SetRdaClientSocket(&c->socket);
    ds.SetProviderName("Hosts");
    ds.Params().ParamByName("Pattern").SetAsString("%");
    ds.SetSQLGenerateLocation(gsServer);
    ds.SetUpdateMode(upWhereChanged);
    ds.ProviderBroadCast().SetRetrievePrimeKeyFields(true);
    ds.ProviderBroadCast().SetProviderFilter(filter);
    ds.ProviderBroadCast().SetBroadCastAction(action);
    ds.ProviderBroadCast().SetRegisterForBroadCast(registered);
    Client* self = c.get();
    ds.OnProviderBroadCast = [self](TRdaUpdateClientDataSet&, const std::shared_ptr<TRdaDataSet>&) {
      ++self->broadcasts;
    };
    ds.Open();
    EXPECT_EQ(ds.PrimeFields(), std::vector<std::string>{"XCompanyCode"});
    EXPECT_EQ(ds.BroadcastRegistered(), registered);
    return c;
  }
  // Runs statements on the database directly.
  void Sql(const std::string& statements) { db.Script(statements); }
  Table FileRows() { return db.Rows("SELECT XCompanyCode, XHost, XPort FROM VNXHOSTS ORDER BY 1"); }
  // Waits until the server lists the registrations (they are sent without a reply).
  void Settle(Client& c) {
    // A request that waits is answered after every message sent before it.
    TRdaClientDataSet probe;
    probe.SetRdaClientSocket(&c.socket);
    probe.SetSQLText("SELECT 1");
    probe.Open();
  }

  test::TestDatabase db;
  test::ServerProcess server;
  test::RecordingUI ui;
};

// A change applied through the provider reaches every other registered client,
// with its filter, and merges into its rows; never the client that made it.
TEST_F(BroadcastTest, AChangeReachesTheOtherClientsNotItsSender) {
  auto a = Connect(true);
  auto b = Connect(true);
  auto filtered = Connect(true, "XPort > 9500");
  auto unregistered = Connect(false);
  Settle(*a), Settle(*b), Settle(*filtered);

  TRdaClientDataSet& ds = *a->hosts;
  Change(ds, "ACME", "XHost", Variant("acme.example"));
  Add(ds, "ZED", "zed.example", 9600);
  ASSERT_TRUE(ds.Locate("XCompanyCode", Variant("DEMO")));
  ds.Delete();
  ds.ApplyProviderUpdates(2);
  EXPECT_FALSE(ds.HasPendingChange());

  const Table expected = {{"ACME", "acme.example", "9407"}, {"ZED", "zed.example", "9600"}};
  EXPECT_EQ(FileRows(), expected);
  ASSERT_TRUE(RunUntil([&] { return RowsOf(*b->hosts) == expected; })) << RowsOf(*b->hosts).size();
  EXPECT_FALSE(b->hosts->HasPendingChange());  // merged without logging
  EXPECT_EQ(b->broadcasts, 1);
  // Only the inserted row passes XPort > 9500: DEMO stays, ACME keeps its host.
  ASSERT_TRUE(RunUntil([&] { return filtered->broadcasts == 1; }));
  EXPECT_EQ(RowsOf(*filtered->hosts),
            (Table{{"ACME", "127.0.0.1", "9407"}, {"DEMO", "127.0.0.1", "9406"}, {"ZED", "zed.example", "9600"}}));

  // b's own change comes back to a; a's first change never did.
  Change(*b->hosts, "ZED", "XPort", Variant(int32_t{9601}));
  b->hosts->ApplyProviderUpdates(2);
  const Table both = {{"ACME", "acme.example", "9407"}, {"ZED", "zed.example", "9601"}};
  ASSERT_TRUE(RunUntil([&] { return RowsOf(ds) == both; }));
  EXPECT_EQ(a->broadcasts, 1);
  EXPECT_EQ(b->broadcasts, 1);
  EXPECT_EQ(unregistered->broadcasts, 0);
  EXPECT_EQ(RowsOf(*unregistered->hosts).size(), 2u);  // as it was opened
}

// A failing row rolls the whole change back: the database is as before, the log is
// kept for another try, and nothing is broadcast.
TEST_F(BroadcastTest, AFailingRowLeavesTheFileAndTheLog) {
  auto a = Connect(true);
  auto b = Connect(true);
  Settle(*b);
  const Table before = FileRows();
  TRdaClientDataSet& ds = *a->hosts;
  Change(ds, "ACME", "XHost", Variant("acme.example"));
  // A key the table gets from someone else after the rows were read.
  Sql("INSERT INTO VNXHOSTS VALUES ('TAKEN', 'elsewhere', 1, '127.0.0.1')");
  const Table taken = FileRows();
  Add(ds, "NEW", "new.example", 9500);
  Change(ds, "NEW", "XCompanyCode", Variant("TAKEN"));
  try {
    ds.ApplyProviderUpdates(2);
    FAIL() << "applied";
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("[RDA] Transaction Failed! \r[RDA SERVER ERROR]", 0), 0u) << e.what();
    EXPECT_NE(std::string(e.what()).find(test::EngineText("UNIQUE", "unique constraint")), std::string::npos) << e.what();
  }
  EXPECT_EQ(FileRows(), taken);
  EXPECT_TRUE(ds.HasPendingChange());
  Sql("DELETE FROM VNXHOSTS WHERE XCompanyCode = 'TAKEN'");
  EXPECT_EQ(FileRows(), before);

  // Corrected, the same log goes through.
  ASSERT_TRUE(ds.Locate("XHost", Variant("new.example")));
  ds.Edit();
  ds.FieldByName("XCompanyCode").SetAsString("NEW");
  ds.Post();
  ds.ApplyProviderUpdates(2);
  const Table after = {{"ACME", "acme.example", "9407"}, {"DEMO", "127.0.0.1", "9406"}, {"NEW", "new.example", "9500"}};
  EXPECT_EQ(FileRows(), after);
  ASSERT_TRUE(RunUntil([&] { return RowsOf(*b->hosts) == after; }));
  EXPECT_EQ(b->broadcasts, 1);  // only the change that went through
}

// Two clients change one row: the second one's change is a conflict (the row
// is not what it started from), reported, never written over the first.
TEST_F(BroadcastTest, AConflictIsReportedNotOverwritten) {
  auto a = Connect(false);
  auto b = Connect(false);
  Change(*a->hosts, "ACME", "XHost", Variant("first.example"));
  a->hosts->ApplyProviderUpdates(2);
  Change(*b->hosts, "ACME", "XHost", Variant("second.example"));
  Change(*b->hosts, "DEMO", "XPort", Variant(int32_t{1}));
  try {
    b->hosts->ApplyProviderUpdates(2);
    FAIL() << "applied";
  } catch (const EDatabaseError& e) {
    EXPECT_NE(std::string(e.what()).find("changed by another user"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("ACME"), std::string::npos) << e.what();
  }
  EXPECT_EQ(FileRows(), (Table{{"ACME", "first.example", "9407"}, {"DEMO", "127.0.0.1", "9406"}}));
  EXPECT_TRUE(b->hosts->HasPendingChange());
  // The three values of each field of the row, for the user to choose from.
  TRdaDataSet* conflicts = b->hosts->ProviderConflicts();
  ASSERT_NE(conflicts, nullptr);
  Table fields;
  for (conflicts->First(); !conflicts->Eof(); conflicts->Next()) {
    fields.push_back({conflicts->FieldByName("Field").AsString(), conflicts->FieldByName("OriginalValue").AsString(),
                      conflicts->FieldByName("LocalValue").AsString(), conflicts->FieldByName("ServerValue").AsString(),
                      conflicts->FieldByName("Changed").AsString()});
  }
  EXPECT_EQ(fields, (Table{{test::Folded("XCompanyCode"), "ACME", "ACME", "ACME", "False"},
                           {test::Folded("XHost"), "127.0.0.1", "second.example", "first.example", "True"},
                           {test::Folded("XPort"), "9407", "9407", "9407", "False"},
                           {test::Folded("XLANIPAddress"), "127.0.0.1", "127.0.0.1", "127.0.0.1", "False"}}));
  // Resolved by taking the server's row and applying again: nothing is left.
  b->hosts->CancelUpdates();
  b->hosts->Requery();
  Change(*b->hosts, "ACME", "XHost", Variant("second.example"));
  b->hosts->ApplyProviderUpdates(2);
  EXPECT_EQ(b->hosts->ProviderConflicts(), nullptr);
  EXPECT_EQ(FileRows(), (Table{{"ACME", "second.example", "9407"}, {"DEMO", "127.0.0.1", "9406"}}));
}

// A registered client whose row changed locally and on the server: the fields
// it did not change take the server's values (also as the values its change
// started from), so that its own change then applies without a conflict and
// without undoing the other's.
TEST_F(BroadcastTest, ABroadcastMergesIntoALocallyChangedRow) {
  auto a = Connect(true);
  auto b = Connect(true);
  Settle(*a), Settle(*b);
  Change(*b->hosts, "ACME", "XHost", Variant("b.example"));  // logged, not applied
  Change(*a->hosts, "ACME", "XPort", Variant(int32_t{7000}));
  a->hosts->ApplyProviderUpdates(2);
  ASSERT_TRUE(RunUntil([&] { return b->broadcasts == 1; }));
  EXPECT_EQ(RowsOf(*b->hosts), (Table{{"ACME", "b.example", "7000"}, {"DEMO", "127.0.0.1", "9406"}}));
  b->hosts->ApplyProviderUpdates(2);
  EXPECT_EQ(FileRows(), (Table{{"ACME", "b.example", "7000"}, {"DEMO", "127.0.0.1", "9406"}}));
}

// While a row is edited the broadcasts wait (CacheBroadcastsWhenEdit); after
// the post they apply, the edited row's merged with what the user changed.
TEST_F(BroadcastTest, BroadcastsWaitForTheEditAndApplyAfterThePost) {
  auto a = Connect(true);
  auto b = Connect(true);
  Settle(*b);
  TRdaClientDataSet& bd = *b->hosts;
  bd.ProviderBroadCast().SetCacheBroadcastsWhenEdit(true);
  ASSERT_TRUE(bd.Locate("XCompanyCode", Variant("ACME")));
  bd.Edit();
  bd.FieldByName("XHost").SetAsString("b.example");
  Change(*a->hosts, "ACME", "XPort", Variant(int32_t{7000}));
  Change(*a->hosts, "DEMO", "XHost", Variant("demo.example"));
  a->hosts->ApplyProviderUpdates(2);
  ASSERT_TRUE(RunUntil([&] { return bd.CachedBroadcastRows() == 2; }));
  EXPECT_EQ(bd.State(), dsEdit);
  EXPECT_EQ(bd.FieldByName("XHost").AsString(), "b.example");
  EXPECT_EQ(bd.FieldByName("XPort").AsInteger(), 9407);
  bd.Post();
  EXPECT_EQ(bd.CachedBroadcastRows(), 0);
  const Table merged = {{"ACME", "b.example", "7000"}, {"DEMO", "demo.example", "9406"}};
  EXPECT_EQ(RowsOf(bd), merged);
  bd.ApplyProviderUpdates(2);
  EXPECT_EQ(FileRows(), merged);
}

// MergeEditRowBroadcasts: a broadcast for the row being edited comes as a
// change list; what the user did not change is taken into the edit, what both
// changed stays the user's and applying it is a conflict.
TEST_F(BroadcastTest, TheEditRowMergesThroughItsChangeList) {
  auto a = Connect(true);
  auto b = Connect(true);
  Settle(*b);
  TRdaClientDataSet& bd = *b->hosts;
  bd.ProviderBroadCast().SetMergeEditRowBroadcasts(true);
  Table changes;
  bd.OnProviderBroadCastEditRow = [&](TRdaUpdateClientDataSet&, const std::shared_ptr<TRdaDataSet>& list, bool&) {
    for (list->First(); !list->Eof(); list->Next()) {
      changes.push_back({list->FieldByName("Field").AsString(), list->FieldByName("OldValue").AsString(),
                         list->FieldByName("NewValue").AsString(), list->FieldByName("EditChanged").AsString(),
                         list->FieldByName("Apply").AsString()});
    }
  };
  ASSERT_TRUE(bd.Locate("XCompanyCode", Variant("ACME")));
  bd.Edit();
  bd.FieldByName("XHost").SetAsString("b.example");
  Change(*a->hosts, "ACME", "XHost", Variant("a.example"));
  Change(*a->hosts, "ACME", "XPort", Variant(int32_t{7000}));
  a->hosts->ApplyProviderUpdates(2);
  ASSERT_TRUE(RunUntil([&] { return !changes.empty(); }));
  EXPECT_EQ(changes, (Table{{test::Folded("XHost"), "127.0.0.1", "a.example", "True", "False"},
                            {test::Folded("XPort"), "9407", "7000", "False", "True"}}));
  EXPECT_EQ(bd.State(), dsEdit);
  EXPECT_EQ(bd.FieldByName("XHost").AsString(), "b.example");
  EXPECT_EQ(bd.FieldByName("XPort").AsInteger(), 7000);
  bd.Post();
  EXPECT_THROW(bd.ApplyProviderUpdates(2), EDatabaseError);
  EXPECT_EQ(FileRows(), (Table{{"ACME", "a.example", "7000"}, {"DEMO", "127.0.0.1", "9406"}}));
  EXPECT_TRUE(bd.HasPendingChange());
}

// baCache keeps broadcasts until the rows are fetched again or the action
// becomes baAuto; an insert of a row the dataset already has is not added twice.
TEST_F(BroadcastTest, CachedBroadcastsApplyLater) {
  auto a = Connect(true);
  auto b = Connect(true, "", baCache);
  Settle(*b);
  TRdaClientDataSet& bd = *b->hosts;
  const Table original = RowsOf(bd);
  Change(*a->hosts, "ACME", "XPort", Variant(int32_t{7000}));
  a->hosts->ApplyProviderUpdates(2);
  ASSERT_TRUE(RunUntil([&] { return bd.CachedBroadcastRows() == 1; }));
  EXPECT_EQ(RowsOf(bd), original);
  bd.ProviderBroadCast().SetBroadCastAction(baAuto);
  EXPECT_EQ(RowsOf(bd), FileRows());
  EXPECT_EQ(bd.CachedBroadcastRows(), 0);

  bd.ProviderBroadCast().SetBroadCastAction(baCache);
  Add(*a->hosts, "ZED", "zed.example", 9600);
  a->hosts->ApplyProviderUpdates(2);
  ASSERT_TRUE(RunUntil([&] { return bd.CachedBroadcastRows() == 1; }));
  bd.Requery();  // ZED comes with the rows, then its cached insert applies
  EXPECT_EQ(bd.CachedBroadcastRows(), 0);
  EXPECT_EQ(RowsOf(bd), FileRows());
  EXPECT_EQ(b->broadcasts, 2);
  EXPECT_TRUE(bd.BroadcastRegistered());

  bd.ProviderBroadCast().SetBroadCastAction(baIgnore);
  Change(*a->hosts, "ZED", "XPort", Variant(int32_t{9601}));
  a->hosts->ApplyProviderUpdates(2);
  Change(*b->hosts, "DEMO", "XPort", Variant(int32_t{1}));  // a's answer comes after a's broadcast to b
  b->hosts->ApplyProviderUpdates(2);
  ASSERT_TRUE(RunUntil([&] { return a->broadcasts == 1; }));
  Settle(*b);
  EXPECT_EQ(b->broadcasts, 2);
  EXPECT_EQ(bd.CachedBroadcastRows(), 0);
}

// One client with two datasets registered for the provider gets one message
// with a dataset for each (token 55), each through its own filter.
TEST_F(BroadcastTest, SeveralDatasetsOfOneClient) {
  auto a = Connect(true);
  auto b = Connect(true);
  TRdaClientDataSet second;
  second.SetRdaClientSocket(&b->socket);
  second.SetProviderName("Hosts");
  second.Params().ParamByName("Pattern").SetAsString("%");
  second.SetPrimeFields({"XCompanyCode"});
  second.ProviderBroadCast().SetProviderFilter("XCompanyCode = 'DEMO'");
  second.ProviderBroadCast().SetRegisterForBroadCast(true);
  second.Open();
  Settle(*b);
  Change(*a->hosts, "ACME", "XPort", Variant(int32_t{7000}));
  Change(*a->hosts, "DEMO", "XPort", Variant(int32_t{7001}));
  a->hosts->ApplyProviderUpdates(2);
  const Table changed = {{"ACME", "127.0.0.1", "7000"}, {"DEMO", "127.0.0.1", "7001"}};
  ASSERT_TRUE(RunUntil([&] { return RowsOf(*b->hosts) == changed; }));
  EXPECT_EQ(RowsOf(second), (Table{{"ACME", "127.0.0.1", "9407"}, {"DEMO", "127.0.0.1", "7001"}}));
}

// Registration messages: token 44 with 1 / 0, the provider and the filter; a
// new filter re-registers; closing unregisters.
TEST_F(BroadcastTest, RegistrationMessages) {
  auto a = Connect(true, "XPort > 1");
  test::SentMessages sent(a->socket);
  const int id = a->socket.ComponentId(a->hosts.get());
  a->hosts->ProviderBroadCast().SetProviderFilter("XPort > 2");
  a->hosts->Close();
  std::vector<test::Msg> registrations = sent.WithToken(tkProviderBroadcast);
  ASSERT_EQ(registrations.size(), 3u);
  EXPECT_EQ(registrations[0].id, id);
  EXPECT_EQ(registrations[0].fields, (std::vector<std::string>{"0", "0", "Hosts", ""}));
  EXPECT_EQ(registrations[1].fields, (std::vector<std::string>{"1", "0", "Hosts", "XPort > 2"}));
  EXPECT_EQ(registrations[2].fields, (std::vector<std::string>{"0", "0", "Hosts", ""}));
  EXPECT_FALSE(a->hosts->BroadcastRegistered());

  TRdaClientDataSet none;
  try {
    none.RegisterProviderBroadcast();
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "No Socket! or Socket Not Active");
  }
  none.SetRdaClientSocket(&a->socket);
  try {
    none.RegisterProviderBroadcast();
    FAIL();
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Provider required!");
  }
}

// A provider transaction over two datasets (token 45): all or nothing, or,
// with commit-any-success, the rows that go through are kept and leave the
// logs while the failed ones stay.
TEST_F(BroadcastTest, AProviderTransactionOverTwoDatasets) {
  Sql("INSERT INTO RdaProviders VALUES ('Contacts', 'SELECT * FROM VNXCONTACTS ORDER BY ContactId', "
      "'VNXCONTACTS', 'ContactId', 'Contacts')");
  auto a = Connect(false);
  auto b = Connect(true);
  Settle(*b);
  TRdaClientDataSet contacts;
  contacts.SetRdaClientSocket(&a->socket);
  contacts.SetProviderName("Contacts");
  contacts.SetSQLGenerateLocation(gsServer);
  contacts.ProviderBroadCast().SetRetrievePrimeKeyFields(true);
  contacts.Open();
  const auto contactRows = [&] { return db.Rows("SELECT ContactId, ContactName FROM VNXCONTACTS ORDER BY 1"); };
  // Someone else takes the keys 98 and 99 after the rows were read: the dataset
  // cannot know.
  Sql("INSERT INTO VNXCONTACTS (ContactId, XCompanyCode, ContactName) VALUES (98, 'DEMO', 'Taken'), "
      "(99, 'DEMO', 'Elsewhere')");
  const Table hostsBefore = FileRows();
  const Table contactsBefore = contactRows();

  TRdaClientDataSet& hosts = *a->hosts;
  Change(hosts, "ACME", "XPort", Variant(int32_t{7000}));
  contacts.Append();
  contacts.FieldByName("ContactId").SetAsInteger(99);  // taken on the server
  contacts.FieldByName("XCompanyCode").SetAsString("DEMO");
  contacts.FieldByName("ContactName").SetAsString("Second Dana");
  contacts.Post();
  test::SentMessages sent(a->socket);
  EXPECT_THROW(ApplyProvidersInTransaction(a->socket, {&hosts, &contacts}, false), Exception);
  EXPECT_EQ(FileRows(), hostsBefore);
  EXPECT_EQ(contactRows(), contactsBefore);
  EXPECT_TRUE(hosts.HasPendingChange());
  EXPECT_TRUE(contacts.HasPendingChange());

  try {
    ApplyProvidersInTransaction(a->socket, {&hosts, &contacts}, true);
    FAIL() << "applied";
  } catch (const Exception& e) {
    const std::string text = e.what();
    EXPECT_NE(text.find(test::EngineText("UNIQUE", "unique constraint")), std::string::npos) << text;
    EXPECT_EQ(text.back(), '\r');
    EXPECT_EQ(text.find("[RDA SERVER ERROR]"), std::string::npos) << text;
  }
  EXPECT_EQ(FileRows(), (Table{{"ACME", "127.0.0.1", "7000"}, {"DEMO", "127.0.0.1", "9406"}}));
  EXPECT_EQ(contactRows(), contactsBefore);
  EXPECT_FALSE(hosts.HasPendingChange());
  EXPECT_TRUE(contacts.HasPendingChange());
  EXPECT_EQ(contacts.Params().FindParam("~ProviderCommitAnySuccess"), nullptr);
  ASSERT_TRUE(RunUntil([&] { return RowsOf(*b->hosts) == FileRows(); }));  // what was committed is broadcast

  const std::vector<test::Msg> requests = sent.WithToken(tkProviderTransaction);
  ASSERT_EQ(requests.size(), 2u);
  for (const test::Msg& m : requests) EXPECT_EQ(m.fields[0].rfind(std::string("Provider transaction\x02"), 0), 0u);
  EXPECT_EQ(requests[0].fields[0].find("~ProviderCommitAnySuccess"), std::string::npos);
  EXPECT_NE(requests[1].fields[0].find("~ProviderCommitAnySuccess"), std::string::npos);

  // Mode 3 of one dataset: the good row goes, the failed one stays.
  contacts.Edit();
  contacts.FieldByName("ContactId").SetAsInteger(3);
  contacts.Post();
  ASSERT_TRUE(contacts.Locate("ContactId", Variant(int32_t{2})));
  contacts.Edit();
  contacts.FieldByName("ContactId").SetAsInteger(98);  // taken as well
  contacts.Post();
  EXPECT_THROW(contacts.ApplyProviderUpdates(3), Exception);
  EXPECT_EQ(contactRows(), (Table{{"1", "Dana Demo"}, {"2", "Arthur Acme"}, {"3", "Second Dana"}, {"98", "Taken"},
                                  {"99", "Elsewhere"}}));
  TRdaDataSet* log = contacts.ChangeLog();
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(log->RecordCount(), 1);  // the key change that failed
}

// The package of token 36: nine entries without names of their own, the log
// and the current values as datasets.
TEST_F(BroadcastTest, TheChangePackage) {
  auto a = Connect(false);
  TRdaClientDataSet& ds = *a->hosts;
  ds.SetUpdateTableName("VNXHOSTS");
  ds.SetAutoIncrementField("XPort");
  ds.FieldByName("XLANIPAddress").SetReadOnly(true);
  Change(ds, "ACME", "XHost", Variant("acme.example"));
  const int32_t acme = ds.CurrentRecordID();
  ASSERT_TRUE(ds.Locate("XCompanyCode", Variant("DEMO")));
  ds.Delete();
  test::SentMessages sent(a->socket);
  ds.ApplyUpdates(2);  // with gsServer: the provider's update
  const std::vector<test::Msg> m = sent.WithToken(tkApplyUpdates);
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].id, a->socket.ComponentId(&ds));
  ASSERT_EQ(m[0].fields.size(), 5u);
  EXPECT_EQ(m[0].fields[0], "Hosts");
  EXPECT_EQ(m[0].fields[4], "0");
  std::unique_ptr<TRdaParamList> list = TRdaParamList::FromText(m[0].fields[1]);
  ASSERT_EQ(list->Count(), 9);
  const std::vector<TFieldType> types = {ftString, ftString, ftInteger, ftString, ftString,
                                         ftString, ftString, ftSmallint, ftString};
  for (int i = 0; i < 9; ++i) {
    EXPECT_EQ(list->Items(i).Name(), "FastAdd" + std::to_string(i));
    EXPECT_EQ(list->Items(i).DataType(), types[static_cast<size_t>(i)]) << i;
  }
  EXPECT_EQ(list->Items(0).AsString(), "VNXHOSTS");
  EXPECT_EQ(list->Items(1).AsString(), "XCompanyCode\r\n");
  EXPECT_EQ(list->Items(5).AsString(), "XPort");
  EXPECT_EQ(list->Items(7).AsInteger(), upWhereChanged);
  // The fields not written: the dataset's names, and the auto-increment field as set.
  EXPECT_EQ(list->Items(8).AsString(), test::Folded("XLANIPAddress") + "\r\nXPort\r\n");
  std::unique_ptr<TRdaDataSet> log = TextToDataSet(list->Items(3).AsString());
  std::unique_ptr<TRdaDataSet> now = TextToDataSet(list->Items(4).AsString());
  ASSERT_TRUE(log && now);
  Table logRows, nowRows;
  for (log->First(); !log->Eof(); log->Next()) {
    logRows.push_back({log->FieldByName("Delta").AsString(), log->FieldByName("XCompanyCode").AsString(),
                       log->FieldByName("XHost").AsString()});
  }
  for (now->First(); !now->Eof(); now->Next()) {
    nowRows.push_back({now->FieldByName("BookMark").AsString(), now->FieldByName("XCompanyCode").AsString(),
                       now->FieldByName("XHost").AsString()});
  }
  // In the order of the rows' RecordIDs (ACME came first).
  EXPECT_EQ(logRows, (Table{{"0", "ACME", "127.0.0.1"}, {"1", "DEMO", "127.0.0.1"}}));
  EXPECT_EQ(nowRows, (Table{{std::to_string(acme), "ACME", "acme.example"}, {"0", "", ""}}));
  EXPECT_EQ(FileRows(), (Table{{"ACME", "acme.example", "9407"}}));
}

// The row events: a handled row is left alone; without AutoUpdate a handler's
// broadcast changes no row; a row deleted elsewhere while it is edited may be kept.
TEST_F(BroadcastTest, RowEventsDecide) {
  auto a = Connect(true);
  auto b = Connect(true);
  Settle(*b);
  TRdaClientDataSet& bd = *b->hosts;
  std::vector<std::string> after;
  bd.OnProviderBroadCastBeforeApplyRow = [](TRdaUpdateClientDataSet&, TRdaDataSet& d, bool& handled) {
    handled = d.FieldByName("XCompanyCode").AsString() == "DEMO";
  };
  bd.OnProviderBroadCastAfterApplyRow = [&](TRdaUpdateClientDataSet&, TRdaDataSet& d) {
    after.push_back(d.FieldByName("XCompanyCode").AsString());
  };
  Change(*a->hosts, "ACME", "XPort", Variant(int32_t{7000}));
  Change(*a->hosts, "DEMO", "XPort", Variant(int32_t{7001}));
  a->hosts->ApplyProviderUpdates(2);
  ASSERT_TRUE(RunUntil([&] { return after.size() == 2; }));
  EXPECT_EQ(RowsOf(bd), (Table{{"ACME", "127.0.0.1", "7000"}, {"DEMO", "127.0.0.1", "9406"}}));

  bd.ProviderBroadCast().SetAutoUpdate(false);
  Change(*a->hosts, "ACME", "XPort", Variant(int32_t{7002}));
  a->hosts->ApplyProviderUpdates(2);
  ASSERT_TRUE(RunUntil([&] { return b->broadcasts == 2; }));
  EXPECT_EQ(RowsOf(bd)[0], (std::vector<std::string>{"ACME", "127.0.0.1", "7000"}));

  bd.ProviderBroadCast().SetAutoUpdate(true);
  bd.ProviderBroadCast().SetMergeEditRowBroadcasts(true);
  bool askedToDelete = false;
  bd.OnProviderBroadCastDeleteEditRow = [&](TRdaUpdateClientDataSet&, TRdaDataSet&, bool& handled) {
    askedToDelete = handled = true;
  };
  ASSERT_TRUE(bd.Locate("XCompanyCode", Variant("ACME")));
  bd.Edit();
  bd.FieldByName("XHost").SetAsString("kept.example");
  ASSERT_TRUE(a->hosts->Locate("XCompanyCode", Variant("ACME")));
  a->hosts->Delete();
  a->hosts->ApplyProviderUpdates(2);
  ASSERT_TRUE(RunUntil([&] { return askedToDelete; }));
  EXPECT_EQ(bd.State(), dsEdit);
  EXPECT_EQ(bd.FieldByName("XHost").AsString(), "kept.example");
}

// A changed row that the dataset's filter hides is sent all the same (without
// its current values the server would skip it, and the cleared log lose it).
TEST_F(BroadcastTest, AFilteredOutRowIsSent) {
  auto a = Connect(false);
  TRdaClientDataSet& ds = *a->hosts;
  Change(ds, "ACME", "XPort", Variant(int32_t{7000}));
  ds.SetOnFilterRecord([](TDataSet& d, bool& accept) { accept = d.FieldByName("XPort").AsInteger() > 8000; });
  ds.SetFiltered(true);
  ASSERT_EQ(RowsOf(ds).size(), 1u);
  ds.ApplyProviderUpdates(2);
  EXPECT_EQ(FileRows(), (Table{{"ACME", "127.0.0.1", "7000"}, {"DEMO", "127.0.0.1", "9406"}}));
  EXPECT_TRUE(ds.Filtered());
  EXPECT_FALSE(ds.HasPendingChange());
}

// The server killed while a provider update is on its way or running: the
// client gets an error and keeps its log, and the database, opened again, holds
// the whole change or none of it.
TEST_F(BroadcastTest, AServerKilledDuringAnUpdateLeavesAllOrNothing) {
  auto a = Connect(false);
  TRdaClientDataSet& ds = *a->hosts;
  constexpr int kRows = 3000;
  for (int i = 0; i < kRows; ++i) Add(ds, "K" + std::to_string(i), "k.example", i);
  bool killed = false;
  a->socket.OnBytesOutEvent = [&](const std::string&, int64_t, int64_t) {
    if (!killed) server.Kill();
    killed = true;
  };
  EXPECT_ANY_THROW(ds.ApplyProviderUpdates(2));
  a->socket.OnBytesOutEvent = nullptr;
  EXPECT_TRUE(killed);
  EXPECT_TRUE(ds.HasPendingChange());
  EXPECT_EQ(ds.ChangeLog()->RecordCount(), kRows);

  test::ServerProcess again({"--port", "0", "--control-port", "0", "--quiet", "--db", db.Target()});
  const std::string count = db.Rows("SELECT count(*) FROM VNXHOSTS").at(0).at(0);
  EXPECT_TRUE(count == "2" || count == std::to_string(kRows + 2)) << count;
}

// An edited row's unchanged blob travels empty on both sides (and the server
// leaves it as it is); with soFetchBlobs it is sent.
TEST_F(BroadcastTest, UnchangedBlobsAreNotSent) {
  Sql(test::EngineText("CREATE TABLE Notes (Id INTEGER PRIMARY KEY, Title TEXT, Data BLOB);"
                       "INSERT INTO Notes VALUES (1, 'one', x'00010203');",
                       "CREATE TABLE Notes (Id INTEGER PRIMARY KEY, Title TEXT, Data BYTEA);"
                       "INSERT INTO Notes VALUES (1, 'one', '\\x00010203');") +
      "INSERT INTO RdaProviders VALUES ('Notes', 'SELECT * FROM Notes', 'Notes', 'Id', '');");
  auto a = Connect(false);
  for (bool fetchBlobs : {false, true}) {
    SCOPED_TRACE(fetchBlobs);
    TRdaClientDataSet notes;
    notes.SetRdaClientSocket(&a->socket);
    notes.SetProviderName("Notes");
    notes.SetSQLGenerateLocation(gsServer);
    notes.SetPrimeFields({"Id"});
    if (fetchBlobs) notes.SetSQLOptions({soFetchBlobs});
    notes.Open();
    ASSERT_EQ(notes.FieldByName("Data").DataType(), ftBlob);
    notes.Edit();
    notes.FieldByName("Title").SetAsString(fetchBlobs ? "two" : "uno");  // the field holds 3
    notes.Post();
    ASSERT_TRUE(notes.HasPendingChange());
    test::SentMessages sent(a->socket);
    notes.ApplyProviderUpdates(2);
    const std::vector<test::Msg> m = sent.WithToken(tkApplyUpdates);
    ASSERT_EQ(m.size(), 1u);
    std::unique_ptr<TRdaParamList> list = TRdaParamList::FromText(m[0].fields[1]);
    std::unique_ptr<TRdaDataSet> log = TextToDataSet(list->Items(3).AsString());
    std::unique_ptr<TRdaDataSet> now = TextToDataSet(list->Items(4).AsString());
    log->First();
    now->First();
    EXPECT_EQ(log->FieldByName("Data").IsNull(), !fetchBlobs);
    EXPECT_EQ(now->FieldByName("Data").IsNull(), !fetchBlobs);
    EXPECT_EQ(db.Rows(test::EngineText("SELECT Title, hex(Data) FROM Notes",
                                      "SELECT Title, upper(encode(Data, 'hex')) FROM Notes")),
              (Table{{fetchBlobs ? "two" : "uno", "00010203"}}));
  }
}

// A connection that connects again is a new server session: the registered
// dataset registers again and receives broadcasts as before.
TEST_F(BroadcastTest, RegistrationsAreMadeAgainAfterAReconnect) {
  auto a = Connect(false);
  auto b = Connect(true);
  Settle(*b);
  const int port = server.DataPort();
  server.Kill();
  ASSERT_TRUE(RunUntil([&] { return !a->socket.Active() && !b->socket.Active(); }));
  test::ServerProcess again({"--port", std::to_string(port), "--control-port", "0", "--quiet", "--db", db.Target()});
  for (Client* c : {a.get(), b.get()}) {
    c->socket.OpenAndWait();
    ASSERT_TRUE(c->socket.Active());
  }
  Settle(*b);
  ASSERT_TRUE(b->hosts->Active());
  Change(*a->hosts, "ACME", "XPort", Variant(int32_t{7000}));
  a->hosts->ApplyProviderUpdates(2);
  ASSERT_TRUE(RunUntil([&] { return RowsOf(*b->hosts) == FileRows(); }));
  EXPECT_EQ(b->broadcasts, 1);
}

// Two rdaservers on one PostgreSQL database: a change written through one
// reaches the registered clients of the other (PostgreSQL's NOTIFY).
TEST_F(BroadcastTest, AChangeReachesTheClientsOfAnotherServerOnTheSameDatabase) {
  if (!test::OnPostgres()) GTEST_SKIP() << "an SQLite file tells the other servers on it nothing (docs/server.md)";
  test::ServerProcess other({"--port", "0", "--quiet", "--db", db.Target()});
  auto there = Connect(true, "", baAuto, other.DataPort());
  auto here = Connect(false);
  Settle(*there);
  Change(*here->hosts, "ACME", "XPort", Variant(int32_t{7100}));
  here->hosts->ApplyProviderUpdates(2);
  ASSERT_TRUE(RunUntil([&] { return there->broadcasts == 1; }));
  EXPECT_EQ(RowsOf(*there->hosts), FileRows());
  EXPECT_FALSE(there->hosts->HasPendingChange());  // merged without logging
  EXPECT_EQ(here->broadcasts, 0);                  // never to the client that made it
}

}  // namespace
}  // namespace rda
