// Provider updates and broadcasts at the session level: two sessions on one
// in-memory database share the broadcast registry; packages are built here as
// a client builds them (the change log and the current values as dataset
// streams), and packages that do not read are answered with an error.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/ByteIO.h"
#include "memdata/RdaCustomDataSet.h"
#include "messaging/RdaBodyTransforms.h"
#include "messaging/RdaParamList.h"
#include "messaging/RdaStringLine.h"
#include "messaging/RdaWire.h"
#include "server/ServerCatalog.h"
#include "server/ServerProviderUpdates.h"
#include "server/ServerSession.h"

namespace rda {
namespace {

constexpr const char* kScript =
    "CREATE TABLE Items (Id INTEGER PRIMARY KEY, Name TEXT NOT NULL, Qty INTEGER);"
    "INSERT INTO Items VALUES (1, 'one', 10), (2, 'two', 20);"
    "INSERT INTO RdaProviders VALUES ('Items', 'SELECT * FROM Items', 'Items', 'Id', '');";

struct Reply {
  int token = 0;
  int id = 0;
  std::vector<std::string> fields;
};

// A client's session with the requests it sends and the pushes it gets.
struct Peer {
  std::unique_ptr<ServerSession> session;
  std::vector<std::string> pushed;  // composed lines
};

class ProviderUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    settings_.broadcasts = &broadcasts_;
    db_ = OpenDatabase("", limits_);
    db_->RunScript(DefinitionTablesScript(db_->Engine()));
    db_->RunScript(kScript);
    for (int i = 0; i < 2; ++i) {
      peers_[i].session = std::make_unique<ServerSession>(settings_, db_->Connect(), i + 1, "test");
      peers_[i].session->OnPush = [this, i](std::string body) { peers_[i].pushed.push_back(std::move(body)); };
    }
  }

  std::vector<Reply> Ask(int peer, TRdaStringLine& line) {
    TRdaBodyTransforms t;
    TRdaMessageStack stack;
    stack.Append(peers_[peer].session->Receive(Framed(t.PackMessage(line.Compose()))));
    std::vector<Reply> replies;
    while (stack.HasMessages()) replies.push_back(Parse(t.UnpackMessage(stack.PopMessage())));
    return replies;
  }
  static Reply Parse(std::string body) {
    TRdaStringLine line;
    line.Parse(std::move(body));
    Reply r{line.Token(), line.MsgId(), {}};
    for (int k = line.FieldCount(); k > 0; --k) r.fields.push_back(line.NextFieldText());
    return r;
  }
  void Register(int peer, int component, const std::string& filter) {
    TRdaStringLine line;
    line.SetToken(tkProviderBroadcast);
    line.SetMsgId(component);
    line.AddField(int32_t{1});
    line.AddField(int32_t{0});
    line.AddField(std::string("Items"));
    line.AddField(filter);
    EXPECT_TRUE(Ask(peer, line).empty());
  }
  std::vector<Reply> Update(int peer, const std::string& key, const std::string& package) {
    TRdaStringLine line;
    line.SetToken(tkApplyUpdates);
    line.SetMsgId(7);
    line.AddField(key);
    line.AddField(package);
    line.AddField(std::string());
    line.AddField(std::string());
    line.AddField(int32_t{0});
    return Ask(peer, line);
  }
  std::string Rows() {
    TRdaStringLine line;
    line.SetToken(tkSelect);
    line.SetMsgId(9);
    line.AddField(std::string("SELECT group_concat(Id || ':' || Name || ':' || ifnull(Qty, 'null'), ' ') FROM Items"));
    line.AddField(int32_t{-1});
    line.AddField(int32_t{0});
    line.AddField(std::string());
    std::vector<Reply> r = Ask(0, line);
    if (r.size() != 2) return "no result";
    const std::string& rows = r[1].fields[1];
    return rows.substr(0, rows.find('\x02'));  // the one value of the one row
  }

  DatabaseLimits limits_;
  SessionSettings settings_;
  ProviderBroadcasts broadcasts_;
  std::unique_ptr<Database> db_;
  Peer peers_[2];
};

// A package as a client makes it: an edit of row 1 (Qty 10 -> 11), the
// deletion of row 2 and an insert whose key the table gives; the others are
// sent the key.
std::string Package(const std::string& autoIncrement = "") {
  TRdaDataSet log;
  log.AddField("BookMark", ftInteger, 0);
  log.AddField("Delta", ftInteger, 0);
  TRdaDataSet now;
  now.AddField("BookMark", ftInteger, 0);
  for (TRdaDataSet* ds : {&log, &now}) {
    ds->AddField("Id", ftInteger, 0);
    ds->AddField("Name", ftString, 20);
    ds->AddField("Qty", ftInteger, 0);
    ds->Open();
  }
  auto row = [](TRdaDataSet& ds, std::vector<Variant> values) {
    ds.Append();
    for (size_t i = 0; i < values.size(); ++i) ds.Fields()[static_cast<int>(i)].SetValue(values[i]);
    ds.Post();
  };
  row(log, {int32_t{1}, int32_t{0}, int32_t{1}, "one", int32_t{10}});
  row(log, {int32_t{2}, int32_t{1}, int32_t{2}, "two", int32_t{20}});
  row(log, {int32_t{3}, int32_t{2}, Variant::Null(), Variant::Null(), Variant::Null()});
  row(now, {int32_t{1}, int32_t{1}, "one", int32_t{11}});
  row(now, {int32_t{0}});
  row(now, {int32_t{3}, Variant::Null(), "three", Variant::Null()});  // the table gives the key
  TRdaParamList list;
  list.FastAdd(Variant("Items"));
  list.FastAdd(Variant("Id\r\n"));
  list.FastAdd(Variant(int32_t{0}));
  list.FastAdd(Variant(log.DataSetToText()));
  list.FastAdd(Variant(now.DataSetToText()));
  list.FastAdd(Variant(autoIncrement));
  list.FastAdd(Variant(""));
  list.FastAdd(Variant(int16_t{1}));
  list.FastAdd(Variant(""));
  return list.ToText(false);
}

TEST_F(ProviderUpdateTest, WritesThePackageAndPushesItToTheRegisteredOthers) {
  Register(1, 42, "");
  Register(0, 5, "");  // the sender's own registration gets nothing
  std::vector<Reply> r = Update(0, "Items", Package());
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].token, tkAcknowledge);
  EXPECT_EQ(Rows(), "1:one:11 2:three:null");  // the key after the deletion of 2
  EXPECT_TRUE(peers_[0].pushed.empty());
  ASSERT_EQ(peers_[1].pushed.size(), 1u);
  Reply push = Parse(peers_[1].pushed[0]);
  EXPECT_EQ(push.token, tkProviderBroadcast);
  EXPECT_EQ(push.id, 42);
  std::unique_ptr<TRdaDataSet> d = TextToDataSet(push.fields.at(0));
  ASSERT_NE(d, nullptr);
  std::vector<std::string> rows;
  for (d->First(); !d->Eof(); d->Next()) {
    rows.push_back(d->FieldByName("RdaChange").AsString() + " " + d->FieldByName("Id").AsString() + " " +
                   d->FieldByName("Name").AsString() + " " + d->FieldByName("Qty").AsString() + " " +
                   d->FieldByName("RdaClientId").AsString());
  }
  EXPECT_EQ(rows, (std::vector<std::string>{"0 1 one 11 1", "1 2 two 20 1", "2 2 three  1"}));
}

// With an auto-increment field the inserted rows come back (token 35, before
// the acknowledgement): the row as the table holds it, with the client's RecordID.
TEST_F(ProviderUpdateTest, InsertedRowsComeBackWithTheirKeys) {
  std::vector<Reply> r = Update(0, "Items", Package("Id"));
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].token, tkRefetchedRows);
  EXPECT_EQ(r[0].id, 7);
  EXPECT_EQ(r[1].token, tkAcknowledge);
  std::unique_ptr<TRdaParamList> pairs = TRdaParamList::FromText(r[0].fields.at(0));
  ASSERT_EQ(pairs->Count(), 2);
  EXPECT_EQ(pairs->Items(1).AsInteger(), 3);  // the RecordID the client gave the new row
  std::unique_ptr<TRdaDataSet> row = TextToDataSet(pairs->Items(0).AsString());
  ASSERT_NE(row, nullptr);
  ASSERT_EQ(row->RecordCount(), 1);
  EXPECT_EQ(row->FieldByName("Id").AsInteger(), 2);
  EXPECT_EQ(row->FieldByName("Name").AsString(), "three");
}

TEST_F(ProviderUpdateTest, FiltersDecideWhichRowsAClientGets) {
  Register(1, 42, "Qty >= 11 AND Name <> 'two'");
  Update(0, "Items", Package());
  ASSERT_EQ(peers_[1].pushed.size(), 1u);
  std::unique_ptr<TRdaDataSet> d = TextToDataSet(Parse(peers_[1].pushed[0]).fields.at(0));
  ASSERT_EQ(d->RecordCount(), 1);
  EXPECT_EQ(d->FieldByName("Id").AsInteger(), 1);
  // A filter that is not SQL is not registered.
  const size_t before = broadcasts_.Count();
  Register(1, 43, "Qty >>> (");
  EXPECT_EQ(broadcasts_.Count(), before);
  // Unregistering and leaving drop registrations.
  TRdaStringLine off;
  off.SetToken(tkProviderBroadcast);
  off.SetMsgId(42);
  off.AddField(int32_t{0});
  off.AddField(int32_t{0});
  off.AddField(std::string("Items"));
  off.AddField(std::string());
  Ask(1, off);
  EXPECT_EQ(broadcasts_.Count(), before - 1);
  Register(1, 44, "");
  peers_[1].session.reset();
  EXPECT_EQ(broadcasts_.Count(), before - 1);
}

struct BadPackage {
  const char* name;
  std::string key;
  std::string package;
  const char* error;  // part of the answer's text
};

TEST_F(ProviderUpdateTest, PackagesThatDoNotReadAreAnsweredWithAnError) {
  TRdaParamList short_;
  short_.FastAdd(Variant("Items"));
  TRdaParamList badLog;
  for (int i = 0; i < 9; ++i) badLog.FastAdd(Variant(i == 3 || i == 4 ? std::string("not a dataset") : std::string()));
  const std::vector<BadPackage> cases = {
      {"unknown provider", "Nothing", Package(), "Provider Nothing not found"},
      {"not a list", "Items", std::string("\xff\xff\xff\x7f" "x", 5), "Invalid parameter list"},
      {"too few entries", "Items", short_.ToText(false), "incomplete"},
      {"not datasets", "Items", badLog.ToText(false), ""},
  };
  for (const BadPackage& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Reply> r = Update(0, c.key, c.package);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].token, tkSqlError);
    EXPECT_NE(r[0].fields.at(0).find(c.error), std::string::npos) << r[0].fields.at(0);
  }
  EXPECT_EQ(Rows(), "1:one:10 2:two:20");  // nothing written, the session goes on
}

}  // namespace
}  // namespace rda
