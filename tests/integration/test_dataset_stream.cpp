// A delayed select answered as a streamed result (token 42) by a real
// rdaserver: on the wire, and through a client dataset.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DatasetTestSupport.h"

namespace rda {
namespace {

using test::RunUntil;

class DatasetStream : public test::DatasetTest {};

std::vector<std::string> Hosts(TDataSet& ds) {
  std::vector<std::string> out;
  for (ds.First(); !ds.Eof(); ds.Next()) {
    out.push_back(ds.FieldByName("XCompanyCode").AsString() + ":" + ds.FieldByName("XPort").AsString());
  }
  return out;
}

TEST_F(DatasetStream, TheServerStreamsADelayedResult) {
  // On the wire: 42 first, then the descriptions and the rows.
  test::ResultComponent raw;
  const int id = s.ComponentId(&raw);
  TRdaStringLine select = test::Select(id, "SELECT * FROM VNXHOSTS", -1,
                                       static_cast<int>(TRdaSelectSQLOptionSet{soDelayed}.Bits()));
  s.SendMessage(select, true);
  ASSERT_TRUE(RunUntil([&] { return raw.LastRows().has_value(); }));
  ASSERT_EQ(raw.messages.size(), 3u);
  EXPECT_EQ(raw.messages[0].Token, tkBeginStream);
  EXPECT_EQ(raw.messages[1].Token, tkFieldDescriptions);
  // Without soDelayed the answer is the plain one.
  raw.messages.clear();
  TRdaStringLine plain = test::Select(id, "SELECT * FROM VNXHOSTS");
  s.SendMessage(plain, true);
  ASSERT_TRUE(RunUntil([&] { return raw.LastRows().has_value(); }));
  EXPECT_EQ(raw.messages.front().Token, tkFieldDescriptions);
  s.ReleaseComponentId(&raw);

  // A client dataset opens at once and is populated when the rows come.
  TRdaClientDataSet ds;
  ds.SetRdaClientSocket(&s);
  ds.SetSQLOptions({soDelayed});
  ds.SetSQLText("SELECT * FROM VNXHOSTS ORDER BY XPort");
  int populated = 0;
  ds.OnAfterPopulate = [&populated](TDataSet&) { ++populated; };
  ds.Open();
  ASSERT_TRUE(RunUntil([&] { return populated > 0; }));
  EXPECT_EQ(populated, 1);
  EXPECT_TRUE(ds.Active());
  EXPECT_FALSE(ds.AwaitingStreamedResult());
  EXPECT_EQ(Hosts(ds), (std::vector<std::string>{"DEMO:9406", "ACME:9407"}));
  EXPECT_EQ(ds.VerifyIndexesAndAggregates(), "");
  // The dataset works on as any other: a requery streams again.
  ds.Requery();
  ASSERT_TRUE(RunUntil([&] { return populated > 1; }));
  EXPECT_EQ(Hosts(ds).size(), 2u);
  EXPECT_TRUE(errors.empty()) << errors.front();
}

}  // namespace
}  // namespace rda
