// A detail client dataset against a real rdaserver: its parameters come from
// the master's current record, and a master move runs the statement again.
#include <gtest/gtest.h>

#include "DatasetTestSupport.h"

namespace rda {
namespace {

using test::DatasetTest;
using test::SentMessages;

TEST_F(DatasetTest, DetailTakesItsParametersFromTheMasterAndFollowsIt) {
  TRdaClientDataSet master;
  master.SetRdaClientSocket(&s);
  master.SetSQLText("Select XCompanyCode From VNXHOSTS Order By XCompanyCode");
  master.Open();
  ASSERT_EQ(master.RecordCount(), 2);
  TDataSource source(&master);

  SentMessages sent(s);
  TRdaClientDataSet detail;
  detail.SetRdaClientSocket(&s);
  detail.SetSQLText("Select XCompanyCode, XHost From VNXHOSTS Where XCompanyCode = :Code");
  detail.SetMasterFields("XCompanyCode");
  detail.SetDetailFilter("Code");
  detail.SetMasterSource(&source);
  detail.Open();
  EXPECT_EQ(detail.Params().ParamByName("Code").AsString(), "ACME");
  ASSERT_EQ(detail.RecordCount(), 1);
  EXPECT_EQ(detail.FieldByName("XCompanyCode").AsString(), "ACME");

  master.Next();
  EXPECT_EQ(detail.Params().ParamByName("Code").AsString(), "DEMO");
  ASSERT_EQ(detail.RecordCount(), 1);
  EXPECT_EQ(detail.FieldByName("XCompanyCode").AsString(), "DEMO");
  EXPECT_EQ(sent.WithToken(3).size(), 2u);

  // The same record again (a refresh) asks nothing of the server.
  master.Refresh();
  EXPECT_EQ(sent.WithToken(3).size(), 2u);

  // A new master record has no details yet.
  master.Append();
  EXPECT_TRUE(detail.IsEmpty());
  master.Cancel();
}

}  // namespace
}  // namespace rda
