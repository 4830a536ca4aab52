// Client datasets and dataset files against a real rdaserver: a result saved
// to a file and read back without a server, rows loaded from a file into a
// connected dataset, and SuitCaseData.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "DatasetTestSupport.h"

namespace rda {
namespace {

std::vector<std::string> Hosts(TDataSet& ds) {
  std::vector<std::string> out;
  for (ds.First(); !ds.Eof(); ds.Next()) {
    out.push_back(ds.FieldByName("XCompanyCode").AsString() + ":" + ds.FieldByName("XPort").AsString());
  }
  return out;
}

class DatasetFilesFromServer : public test::DatasetTest {
 protected:
  void SetUp() override {
    test::DatasetTest::SetUp();
    char pattern[] = "/tmp/rda-client-files-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir = pattern;
    file = dir + "/hosts.rds";
  }
  void TearDown() override { std::filesystem::remove_all(dir); }
  std::string dir;
  std::string file;
};

TEST_F(DatasetFilesFromServer, AResultSavedToAFileLoadsWithoutAServer) {
  TRdaClientDataSet ds;
  ds.SetRdaClientSocket(&s);
  ds.SetSQLText("SELECT * FROM VNXHOSTS ORDER BY XPort");
  ds.Open();
  ds.SaveToFile(file);

  // No connection at all: LoadFromFile takes fields and rows from the file.
  TRdaClientDataSet offline;
  offline.LoadFromFile(file);
  EXPECT_TRUE(offline.Active());
  EXPECT_EQ(Hosts(offline), (std::vector<std::string>{"DEMO:9406", "ACME:9407"}));
  EXPECT_FALSE(offline.SuitCaseData().Active());
  EXPECT_EQ(offline.SuitCaseData().FileName(), "");

  // Working from the file: an open sends nothing and shows the file's rows.
  TRdaClientDataSet suitcase;
  suitcase.SetFastFields(offline.FastFields());
  suitcase.SuitCaseData().SetActive(true);
  suitcase.SuitCaseData().SetFileName(file);
  suitcase.Open();
  EXPECT_EQ(Hosts(suitcase).size(), 2u);

  // Rows from a file into the connected dataset: no request goes out.
  test::SentMessages sent(s);
  ds.Edit();
  ds.FieldByName("XHost").SetAsString("changed");
  ds.Post();
  ds.LoadRowsFromFile(file);
  EXPECT_TRUE(sent.WithToken(tkSelect).empty());
  ds.First();
  EXPECT_EQ(ds.FieldByName("XHost").AsString(), "127.0.0.1");
  EXPECT_EQ(Hosts(ds).size(), 2u);
  EXPECT_FALSE(ds.SuitCaseData().Active());

  // A file that is not there: the dataset stays as it was.
  try {
    offline.LoadFromFile(dir + "/none.rds");
    ADD_FAILURE() << "no error";
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), "Unable to load from " + dir + "/none.rds");
  }
  EXPECT_EQ(Hosts(offline).size(), 2u);
}

}  // namespace
}  // namespace rda
