// The client dataset against a scripted peer, for the answers rdaserver never
// gives: a packet fetch answered with a new result or with field descriptions,
// and rows that follow a server error. (Everything rdaserver does answer is
// tested against it in tests/integration/test_dataset_*.cpp.)
#include <gtest/gtest.h>

#include <QTimer>

#include <functional>
#include <string>
#include <vector>

#include "base/Exception.h"
#include "remotedata/RdaClientDataset.h"
#include "tests/base/RaisesWith.h"
#include "tests/connection/ConnectionTestSupport.h"
#include "tests/support/QtTestEnvironment.h"

[[maybe_unused]] static ::testing::Environment* const kQt =
    ::testing::AddGlobalTestEnvironment(new rda::test::QtTestEnvironment("test_remotedata"));

namespace rda {
namespace {

using test::Frame;
using test::Msg;

const std::string kDescriptions = "N\x02" "3\x02" "0\x02\x04";
const std::string kTwoRows = "1\x02\x04" "2\x02\x04" "NULL\x04";

// A peer that answers each request with the frames the test gives for it.
class ScriptedPeer {
 public:
  explicit ScriptedPeer(std::vector<std::function<std::string(const Msg&)>> answers)
      : answers_(std::move(answers)) {
    peer_.onReceive = [this] {
      const std::vector<std::string> frames = peer_.Frames();
      for (; handled_ < frames.size(); ++handled_) {
        const Msg request = test::Decode(frames[handled_]);
        requests.push_back(request);
        if (request.token == tkServerUtility || answers_.empty()) continue;  // the server version request
        const std::string reply = answers_.front()(request);
        answers_.erase(answers_.begin());
        peer_.Send(reply);
      }
    };
  }
  int Port() const { return peer_.Port(); }
  test::FakePeer& Peer() { return peer_; }
  std::vector<Msg> requests;

 private:
  test::FakePeer peer_;
  std::vector<std::function<std::string(const Msg&)>> answers_;
  size_t handled_ = 0;
};

std::string Rows(int32_t id, int indicator, const std::string& rows) {
  return Frame(Msg{5, id, {std::to_string(indicator), rows, "0"}});
}

class DatasetAgainstAPeer : public ::testing::Test {
 protected:
  void Open(ScriptedPeer& peer) {
    s.SetPort(peer.Port());
    s.OpenAndWait();
    ASSERT_TRUE(s.Active());
    ds.SetRdaClientSocket(&s);
    ds.SetSQL({"SELECT N FROM T"});
    ds.SetRowsToReturn(2);
  }
  TRdaClientSocket s;
  TRdaClientDataSet ds;
};

TEST_F(DatasetAgainstAPeer, AFetchAnsweredWithANewResultRaisesAndKeepsTheRows) {
  for (const std::string& answer : {std::string("new"), std::string("descriptions")}) {
    ScriptedPeer peer({
        [](const Msg& m) { return Frame(Msg{1, m.id, {kDescriptions}}) + Rows(m.id, 7, kTwoRows); },
        [&](const Msg& m) {
          return answer == "new" ? Rows(m.id, 0, kTwoRows) : Frame(Msg{1, m.id, {kDescriptions}});
        },
    });
    Open(peer);
    ds.Open();
    ds.Next();
    const std::string error = answer == "new" ? "A packet fetch was answered with a new result (packet indicator 0)"
                                              : "Field descriptions came as the answer to a packet fetch";
    EXPECT_TRUE(test::RaisesWith<ERdaProtocolError>([&] { ds.Next(); }, error));
    ASSERT_EQ(peer.requests.back().token, tkFetch);
    EXPECT_EQ(peer.requests.back().fields, (std::vector<std::string>{"7", "2", "4"}));
    EXPECT_TRUE(ds.Active());
    EXPECT_EQ(ds.RecordCount(), 2);
    EXPECT_EQ(ds.FieldByName("N").AsInteger(), 2);
    ds.Close();
    s.CloseAndWait();
  }
}

// RowsToReturn 0 asks for the field descriptions only, and a server may send
// nothing else: the open ends with them, not at the reply limit. A row packet
// that another server sends behind them later belongs to that dataset and does not
// end the wait of the request that waits by then.
TEST_F(DatasetAgainstAPeer, DescriptionsAloneEndTheOpenAndALatePacketEndsNoOtherWait) {
  int32_t first = 0;
  test::FakePeer* raw = nullptr;
  ScriptedPeer peer({
      [&](const Msg& m) {
        first = m.id;
        return Frame(Msg{1, m.id, {kDescriptions}});
      },
      [&](const Msg& m) {
        // The late packet of the first dataset now; the answer a moment later,
        // in a read of its own.
        QTimer::singleShot(100, [&raw, id = m.id] {
          raw->Send(Frame(Msg{1, id, {kDescriptions}}) + Rows(id, 0, kTwoRows));
        });
        return Rows(first, 0, "NULL\x04");
      },
  });
  raw = &peer.Peer();
  Open(peer);
  s.SetReplyTimeout(5000);
  ds.SetRowsToReturn(0);
  ds.Open();
  EXPECT_TRUE(ds.Active());
  EXPECT_EQ(ds.FastFields(), std::vector<std::string>{"N,3,25"});
  EXPECT_TRUE(ds.IsEmpty());
  TRdaClientDataSet other;
  other.SetRdaClientSocket(&s);
  other.SetSQL({"SELECT N FROM T"});
  other.Open();
  EXPECT_EQ(other.RecordCount(), 2);
  EXPECT_TRUE(ds.IsEmpty());
}

TEST_F(DatasetAgainstAPeer, RowsAfterAServerErrorAreNotLoaded) {
  ScriptedPeer peer({[](const Msg& m) {
    return Frame(Msg{6, m.id, {"boom"}}) + Frame(Msg{1, m.id, {kDescriptions}}) + Rows(m.id, 0, kTwoRows);
  }});
  Open(peer);
  int rowsLoaded = 0;
  ds.SetShowQueryProgress(sqShowOnly);
  ds.OnQueryProgress = [&](size_t, size_t) { ++rowsLoaded; };
  EXPECT_TRUE(test::RaisesWith<EDatabaseError>([&] { ds.Open(); }, "[RDA SERVER ERROR]boom"));
  EXPECT_FALSE(ds.Active());
  EXPECT_EQ(ds.FastFields(), std::vector<std::string>{"N,3,25"});  // the descriptions came
  EXPECT_EQ(rowsLoaded, 0);
}

}  // namespace
}  // namespace rda

namespace rda {
namespace {

// The change-logging base: a client dataset logs nothing until its update
// method asks for it, and then undoes what it logged.
TEST_F(DatasetAgainstAPeer, EditsAreLoggedOnlyWhenTheUpdateMethodAsks) {
  ScriptedPeer peer({[](const Msg& m) { return Frame(Msg{1, m.id, {kDescriptions}}) + Rows(m.id, 0, kTwoRows); }});
  Open(peer);
  ds.SetRowsToReturn(-1);
  ds.Open();
  ASSERT_EQ(ds.RecordCount(), 2);
  EXPECT_EQ(ds.UpdateMethod(), umManual);
  ds.Edit();
  ds.FieldByName("N").SetAsInteger(5);
  ds.Post();
  EXPECT_EQ(ds.ChangeLog(), nullptr);
  ds.SetUpdateMethod(umCached);
  ds.Last();
  ds.Edit();
  ds.FieldByName("N").SetAsInteger(9);
  ds.Post();
  ASSERT_NE(ds.ChangeLog(), nullptr);
  EXPECT_EQ(ds.ChangeLog()->RecordCount(), 1);
  EXPECT_EQ(ds.UpdateStatus(), usModified);
  ds.CancelUpdates();
  ds.Last();
  EXPECT_EQ(ds.FieldByName("N").AsInteger(), 2);
  ds.First();
  EXPECT_EQ(ds.FieldByName("N").AsInteger(), 5);  // not logged, so not undone
  ds.Close();
  EXPECT_EQ(ds.ChangeLog(), nullptr);
}


// A new result the server sends on its own replaces the rows: what was logged
// against the old rows goes with them (their RecordIDs now name new rows).
TEST_F(DatasetAgainstAPeer, ANewResultEmptiesTheLogWithTheRows) {
  ScriptedPeer peer({[](const Msg& m) { return Frame(Msg{1, m.id, {kDescriptions}}) + Rows(m.id, 0, kTwoRows); }});
  Open(peer);
  ds.SetRowsToReturn(-1);
  ds.Open();
  ds.SetUpdateMethod(umCached);
  ds.Edit();
  ds.FieldByName("N").SetAsInteger(5);
  ds.Post();
  ASSERT_EQ(ds.ChangeLog()->RecordCount(), 1);
  const int32_t id = peer.requests.back().id;
  peer.Peer().Send(Rows(id, 0, "7\x02\x04" "8\x02\x04" "9\x02\x04"));
  ASSERT_TRUE(test::RunUntil([&] { return ds.RecordCount() == 3; }));
  EXPECT_EQ(ds.ChangeLog()->RecordCount(), 0);
  ds.First();
  EXPECT_EQ(ds.UpdateStatus(), usUnmodified);
  ds.CancelUpdates();  // nothing of the old rows is undone into the new ones
  EXPECT_EQ(ds.FieldByName("N").AsInteger(), 7);
}


// Prime fields make the primary index: a second row with the same key fails at
// its post, and a key field the rows lack leaves the index aside.
TEST_F(DatasetAgainstAPeer, PrimeFieldsMakeAPrimaryIndexThatRefusesDuplicates) {
  ScriptedPeer peer({[](const Msg& m) { return Frame(Msg{1, m.id, {kDescriptions}}) + Rows(m.id, 0, kTwoRows); },
                     [](const Msg& m) { return Frame(Msg{1, m.id, {kDescriptions}}) + Rows(m.id, 0, kTwoRows); }});
  Open(peer);
  ds.SetRowsToReturn(-1);
  ds.SetPrimeFields({"N", ""});
  ds.Open();
  TRdaIndex* primary = ds.Indexes().FindIndex("__RDA__PrimaryKey");
  ASSERT_NE(primary, nullptr);
  EXPECT_EQ(primary->Fields(), "N");
  EXPECT_TRUE(primary->Active());
  ds.Locate("N", {Variant(2)}, {});
  ds.Edit();
  ds.FieldByName("N").SetAsInteger(1);
  EXPECT_TRUE(test::RaisesWith<EDatabaseError>([&] { ds.Post(); }, "Violation of unique index __RDA__PrimaryKey(N)"));
  ds.Cancel();
  EXPECT_EQ(ds.FieldByName("N").AsInteger(), 2);
  ds.Append();
  ds.FieldByName("N").SetAsInteger(3);
  ds.Post();  // a new key is fine
  EXPECT_TRUE(ds.Locate("N", {Variant(3)}, {}));
  ds.Close();

  ds.SetPrimeFields({"CustomerID"});  // not among the result's fields
  ds.Open();
  EXPECT_EQ(ds.RecordCount(), 2);
  EXPECT_EQ(ds.Indexes().FindIndex("__RDA__PrimaryKey"), nullptr);
  ds.SetPrimeFields({"N"});  // while open: at once
  ASSERT_NE(ds.Indexes().FindIndex("__RDA__PrimaryKey"), nullptr);
  EXPECT_TRUE(ds.Indexes().FindIndex("__RDA__PrimaryKey")->Active());
  ds.SetPrimeFields({});
  EXPECT_EQ(ds.Indexes().FindIndex("__RDA__PrimaryKey"), nullptr);
}

}  // namespace
}  // namespace rda
