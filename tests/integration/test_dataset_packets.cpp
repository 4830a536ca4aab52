// Packets of a client dataset against a real rdaserver (fetching on scrolling, on
// Last and by FetchNextPacket, closing the server's result), and what a dataset
// does with messages the server's control port pushes at it: rows of its own,
// replies for an unknown component, and broken replies.
#include <gtest/gtest.h>

#include <exception>
#include <string>
#include <vector>

#include "DatasetTestSupport.h"
#include "memdata/RdaComponentStream.h"
#include "base/Exception.h"
#include "tests/base/RaisesWith.h"

namespace rda {
namespace {

using test::RunUntil;
using test::SentMessages;

class DatasetPackets : public test::DatasetTest {
 protected:
  void SetUp() override {
    test::DatasetTest::SetUp();
    Execute(
        "CREATE TABLE Numbers (n INTEGER, label VARCHAR(10));"
        "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 25) "
        "INSERT INTO Numbers SELECT x, 'row ' || x FROM c");
    ds.SetRdaClientSocket(&s);
    ds.SetSQL({"SELECT n, label FROM Numbers ORDER BY n"});
    ds.SetRowsToReturn(10);
    ds.OnAfterPacketFetch = [this](TRdaBaseClientDataSet&, int rows) { fetched.push_back(rows); };
  }
  int N() { return ds.FieldByName("n").AsInteger(); }

  TRdaClientDataSet ds;
  std::vector<int> fetched;
};

TEST_F(DatasetPackets, ScrollingPastTheLastRowFetchesTheNextPacket) {
  SentMessages sent(s);
  ds.Open();
  EXPECT_EQ(ds.RecordCount(), 10);
  const int32_t handle = ds.CursorHandle();
  EXPECT_GT(handle, 0);
  ds.MoveBy(9);
  EXPECT_EQ(N(), 10);
  EXPECT_TRUE(sent.WithToken(33).empty());
  ds.Next();  // past row 10
  EXPECT_EQ(N(), 11);
  EXPECT_EQ(ds.RecordCount(), 20);
  const auto fetches = sent.WithToken(33);
  ASSERT_EQ(fetches.size(), 1u);
  EXPECT_EQ(fetches[0].id, s.ComponentId(&ds));
  EXPECT_EQ(fetches[0].fields,
            (std::vector<std::string>{std::to_string(handle), "10", "4"}));  // soPackets
  ds.MoveBy(10);  // past row 20: the last packet, 5 rows
  EXPECT_EQ(N(), 21);
  EXPECT_EQ(ds.RecordCount(), 25);
  EXPECT_EQ(ds.CursorHandle(), -1);
  EXPECT_EQ(fetched, (std::vector<int>{10, 5}));
  ds.MoveBy(10);  // past the last row: nothing more is asked
  EXPECT_TRUE(ds.Eof());
  EXPECT_EQ(N(), 25);
  EXPECT_EQ(sent.WithToken(33).size(), 2u);
}

TEST_F(DatasetPackets, LastFetchesOnePacketOnlyWithAutoFetchPackets) {
  ds.SetAutoFetchPackets(false);
  ds.Open();
  ds.Last();
  EXPECT_EQ(N(), 10);
  EXPECT_TRUE(fetched.empty());
  ds.SetAutoFetchPackets(true);
  ds.Last();
  EXPECT_EQ(N(), 20);
  EXPECT_EQ(fetched, std::vector<int>{10});
  ds.Last();
  EXPECT_EQ(N(), 25);
}

TEST_F(DatasetPackets, FetchNextPacketCountsTheRowsAdded) {
  EXPECT_EQ(ds.FetchNextPacket(), 0);  // closed
  ds.Open();
  EXPECT_EQ(ds.FetchNextPacket(), 10);
  EXPECT_EQ(ds.FetchNextPacket(), 5);
  EXPECT_EQ(ds.FetchNextPacket(), 0);
  EXPECT_EQ(fetched, (std::vector<int>{10, 5}));
  EXPECT_EQ(N(), 1);  // the cursor stays where it was
}

TEST_F(DatasetPackets, CloseDropsTheServersResultAndTheComponentId) {
  SentMessages sent(s);
  ds.Open();
  const int id = s.ComponentId(&ds);
  ds.Close();
  const auto closes = sent.WithToken(34);
  ASSERT_EQ(closes.size(), 1u);
  EXPECT_EQ(closes[0].fields, (std::vector<std::string>{std::to_string(id), "0"}));
  EXPECT_EQ(ds.CursorHandle(), 0);
  EXPECT_EQ(s.ComponentById(id), nullptr);
  ds.Open();  // under a new id
  EXPECT_NE(s.ComponentId(&ds), id);
  EXPECT_EQ(ds.RecordCount(), 10);
}

// Messages pushed by the server's control port to the dataset of the test.
class DatasetPushed : public test::DatasetTest {
 protected:
  void SetUp() override {
    test::DatasetTest::SetUp();
    Execute("CREATE TABLE One (s VARCHAR(10), n INTEGER); INSERT INTO One VALUES ('a', 1)");
    ds.SetRdaClientSocket(&s);
    ds.SetSQL({"SELECT s, n FROM One"});
    ds.Open();
    ASSERT_EQ(ds.RecordCount(), 1);
    id = std::to_string(s.ComponentId(&ds));
  }
  // Pushes a message and waits until the client has handled it: a marker row of
  // its own follows it, and the wait is for that row, since the pushed message may
  // add rows itself. The server sends in order, so once the marker is read the
  // message before it has been handled too.
  void Push(const std::string& fields, const std::string& token = "5", const std::string& to = "") {
    ASSERT_EQ(server.Control("raw last " + token + " " + (to.empty() ? id : to) + " " + fields), "ok");
    const std::string marker = "marker" + std::to_string(++markers_);
    ASSERT_EQ(server.Control("raw last 5 " + id + " -1 " + marker + "\\x02\\x04 0"), "ok");
    ASSERT_TRUE(RunUntil([&] {
      ds.Last();
      return ds.FieldByName("s").AsString() == marker;
    }));
  }

  TRdaClientDataSet ds;
  std::string id;

 private:
  int markers_ = 0;
};

TEST_F(DatasetPushed, RowsWithEveryEdgeAreRead) {
  // The last value without its #2 reads as the empty text; #3 is NULL.
  Push("-1 x\\x027\\x04\\x03\\x02\\x03\\x02\\x04NULL\\x04 0");
  ASSERT_EQ(ds.RecordCount(), 4);
  ds.SetRecNo(2);
  EXPECT_EQ(ds.FieldByName("s").AsString(), "x");
  EXPECT_FALSE(ds.FieldByName("n").IsNull());
  EXPECT_EQ(ds.FieldByName("n").AsInteger(), 0);
  ds.Next();
  EXPECT_TRUE(ds.FieldByName("s").IsNull());
  EXPECT_TRUE(ds.FieldByName("n").IsNull());
  EXPECT_TRUE(errors.empty());
}

TEST_F(DatasetPushed, AReplyForAnUnknownComponentIsDropped) {
  Push("0 lost\\x022\\x02\\x04 0", "5", "4711");
  Push("gone\\x022\\x02\\x02\\x04", "1", "4711");
  EXPECT_EQ(ds.RecordCount(), 3);  // the two markers only
  EXPECT_EQ(ds.FieldCount(), 2);
  EXPECT_TRUE(errors.empty());
}

TEST_F(DatasetPushed, PacketIndicatorsOutOfOrderReadSafely) {
  Push("-2 late\\x022\\x02\\x04 0");  // a last packet nobody asked for: appended
  EXPECT_EQ(ds.CursorHandle(), -1);
  EXPECT_EQ(ds.RecordCount(), 3);
  // A positive indicator is a new result with a cursor: the rows are replaced.
  ASSERT_EQ(server.Control("raw last 5 " + id + " 99 new\\x025\\x02\\x04 0"), "ok");
  ASSERT_TRUE(RunUntil([&] { return ds.CursorHandle() == 99; }));
  EXPECT_EQ(ds.RecordCount(), 1);
  EXPECT_EQ(ds.FieldByName("s").AsString(), "new");  // shown at once
  // Scrolling past it asks the server for cursor 99, which it does not know:
  // an empty last packet.
  ds.SetRowsToReturn(10);
  ds.Next();
  EXPECT_EQ(ds.CursorHandle(), -1);
  EXPECT_EQ(ds.RecordCount(), 1);
  EXPECT_TRUE(errors.empty());
}

TEST_F(DatasetPushed, AStreamedResultReloadsTheDatasetWithItsRows) {
  int populated = 0;
  ds.OnAfterPopulate = [&populated](TDataSet&) { ++populated; };
  // 42 announces the result; the next row packet (the marker) is its rows.
  Push("", "42");
  EXPECT_FALSE(ds.AwaitingStreamedResult());
  EXPECT_EQ(populated, 1);
  EXPECT_TRUE(ds.Active());
  EXPECT_EQ(ds.RecordCount(), 2);
  ds.First();
  EXPECT_EQ(ds.FieldByName("s").AsString(), "a");
  EXPECT_EQ(ds.VerifyIndexesAndAggregates(), "");
  // Packets after it are plain ones again.
  Push("-1 b\\x022\\x02\\x04 0");
  EXPECT_EQ(ds.RecordCount(), 4);
  EXPECT_EQ(populated, 1);
  EXPECT_TRUE(errors.empty());
}

// A control-port word holding any bytes.
std::string Escaped(const std::string& bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) out += std::string("\\x") + kHex[c >> 4] + kHex[c & 15];
  return out;
}

TEST_F(DatasetPushed, FieldPropertiesApplyToTheFieldsOfTheirNames) {
  TRdaDataSet shape;
  shape.AddField("s", ftString, 10);
  shape.Open();
  TField& source = shape.FieldByName("s");
  source.SetDisplayLabel("Short name");
  source.SetDisplayWidth(12);
  source.SetAlignment(taCenter);
  Push(Escaped(WriteFieldComponent(source, "TStringField", "dss")), "26");
  const TField& field = ds.FieldByName("s");
  EXPECT_EQ(field.DisplayLabel(), "Short name");
  EXPECT_EQ(field.DisplayWidth(), 12);
  EXPECT_EQ(field.Alignment(), taCenter);
  EXPECT_EQ(ds.FieldByName("n").DisplayLabel(), "n");
  // A stream that does not read goes to the application's handler; the
  // fields and the dataset stay as they are.
  std::vector<std::string> handled;
  SetApplicationExceptionHandler([&handled](std::exception_ptr e) {
    try {
      std::rethrow_exception(e);
    } catch (const std::exception& x) {
      handled.push_back(x.what());
    }
  });
  Push(Escaped(WriteFieldComponent(source, "TStringField", "dss").substr(0, 20)), "26");
  SetApplicationExceptionHandler(nullptr);
  EXPECT_EQ(handled, std::vector<std::string>{"Stream read error"});
  EXPECT_EQ(field.DisplayLabel(), "Short name");
  EXPECT_TRUE(ds.Active());
  EXPECT_TRUE(errors.empty());
}

TEST_F(DatasetPushed, BrokenRepliesRaiseAndChangeNothingBeforeThem) {
  struct Case {
    std::string token;
    std::string fields;
    std::string error;
  } cases[] = {
      {"5", "-1 a\\x021\\x02b\\x02\\x04 0", "Row 1 of a row packet holds more values than the 2 fields described"},
      {"5", "-1 \\x06\\x10\\x00\\x00\\x00ab\\x02\\x04 0",
       "The row data of a row packet ends inside a binary value of row 1"},
      {"5", "-1 a\\x02 0", "The row data of a row packet ends inside row 1"},
      {"5", "-1 notzlib 1", ""},  // the inflater's own text
      {"1", "X\\x0299\\x020\\x02\\x04", "Field 'X' is described with the unknown type code 99"},
  };
  int markers = 0;
  for (const Case& c : cases) {
    errors.clear();
    Push(c.fields, c.token);
    ++markers;
    ASSERT_EQ(errors.size(), 1u) << c.fields;
    if (!c.error.empty()) {
      EXPECT_EQ(errors[0], c.error);
    }
    EXPECT_EQ(ds.RecordCount(), 1 + markers) << c.fields;
    EXPECT_EQ(ds.FieldCount(), 2);
  }
}

}  // namespace
}  // namespace rda
