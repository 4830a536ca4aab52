// The master/detail, nested dataset and change log examples of
// docs/datasets.md, as written there, with the results the page states.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "memdata/RdaAuditDataSet.h"
#include "memdata/RdaNestedDataSet.h"

namespace {

std::vector<std::string> Column(rda::TDataSet& ds, const char* field) {
  std::vector<std::string> values;
  for (ds.First(); !ds.Eof(); ds.Next()) values.push_back(ds.FieldByName(field).AsString());
  return values;
}

TEST(DocsChangeLog, MasterAndDetail) {
  rda::TRdaDataSet customers;
  customers.AddField("Code", rda::ftString, 10);
  customers.Open();
  customers.AppendRecord({rda::Variant("ACME")});
  customers.AppendRecord({rda::Variant("BOLT")});
  customers.First();

  rda::TRdaDataSet orders;
  orders.AddField("Customer", rda::ftString, 10);
  orders.AddField("Qty", rda::ftInteger, 0);
  orders.Open();
  orders.AppendRecord({rda::Variant("acme"), rda::Variant(5)});
  orders.AppendRecord({rda::Variant("BOLT"), rda::Variant(7)});
  orders.AppendRecord({rda::Variant("ACME"), rda::Variant(9)});

  rda::TDataSource customerSource(&customers);
  orders.SetMasterFields("Code");
  orders.SetDetailFilter("Customer");
  orders.SetMasterSource(&customerSource);
  EXPECT_EQ(Column(orders, "Qty"), (std::vector<std::string>{"5", "9"}));
  customers.Next();
  EXPECT_EQ(Column(orders, "Qty"), (std::vector<std::string>{"7"}));
  orders.Append();
  EXPECT_EQ(orders.FieldByName("Customer").AsString(), "BOLT");
  orders.Cancel();
}

TEST(DocsChangeLog, NestedDataSet) {
  rda::TRdaDataSet lines;
  lines.AddField("Part", rda::ftString, 10);
  lines.Open();
  lines.AppendRecord({rda::Variant("bolt")});

  rda::TRdaDataSet invoices;
  invoices.AddField("No", rda::ftInteger, 0);
  invoices.AddField("Lines", rda::ftDataSet, 0);
  invoices.Open();
  invoices.AppendRecord({rda::Variant(1), rda::Variant(lines.DataSetToText())});

  rda::TRdaNestedDataSet& nested = invoices.NestedDataSetOf(invoices.FieldByName("Lines"));
  nested.Open();
  EXPECT_EQ(Column(nested, "Part"), (std::vector<std::string>{"bolt"}));
  nested.AppendRecord({rda::Variant("nut")});
  EXPECT_EQ(invoices.State(), rda::dsEdit);
  invoices.Post();
  auto stored = rda::TextToDataSet(invoices.FieldByName("Lines").AsString());
  EXPECT_EQ(Column(*stored, "Part"), (std::vector<std::string>{"bolt", "nut"}));
}

TEST(DocsChangeLog, ChangeLogAndSavePoint) {
  rda::TRda2AuditDataset stock;
  stock.AddField("Item", rda::ftString, 10);
  stock.AddField("Qty", rda::ftInteger, 0);
  stock.SetUpdateMethod(rda::umManual);  // the rows to start from are not changes
  stock.Open();
  stock.AppendRecord({rda::Variant("bolt"), rda::Variant(10)});
  stock.AppendRecord({rda::Variant("nut"), rda::Variant(20)});
  stock.SetUpdateMethod(rda::umCached);

  stock.First();
  stock.Edit();
  stock.FieldByName("Qty").SetAsInteger(11);
  stock.Post();
  EXPECT_EQ(stock.UpdateStatus(), rda::usModified);
  stock.Last();
  stock.Delete();
  rda::TRdaDataSet& log = *stock.ChangeLog();
  EXPECT_EQ(Column(log, "Item"), (std::vector<std::string>{"bolt", "nut"}));
  EXPECT_EQ(Column(log, "Delta"), (std::vector<std::string>{"0", "1"}));
  EXPECT_EQ(Column(log, "Qty"), (std::vector<std::string>{"10", "20"}));
  stock.CancelUpdates();
  EXPECT_EQ(Column(stock, "Qty"), (std::vector<std::string>{"10", "20"}));
  EXPECT_EQ(stock.ChangeLog()->RecordCount(), 0);

  const int64_t mark = stock.SavePoint();
  stock.First();
  stock.Delete();
  stock.AppendRecord({rda::Variant("washer"), rda::Variant(1)});
  stock.SetSavePoint(mark);
  EXPECT_EQ(Column(stock, "Item"), (std::vector<std::string>{"bolt", "nut"}));
  EXPECT_EQ(stock.ChangeLog()->RecordCount(), 0);
}

}  // namespace
