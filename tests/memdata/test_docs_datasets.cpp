// The examples of docs/datasets.md, as written there, with the results the
// page states.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <stdlib.h>

#include <filesystem>
#include <memory>

#include "memdata/RdaBlobStream.h"
#include "memdata/RdaCustomDataSet.h"

namespace {

using ::testing::ElementsAre;

TEST(DocsDatasets, CalculatedFieldExample) {
  rda::TRdaDataSet orders;
  orders.AddField("Qty", rda::ftInteger, 0);
  orders.AddField("Price", rda::ftFloat, 0);
  orders.CreateField("Qty", rda::ftInteger);
  orders.CreateField("Price", rda::ftFloat);
  orders.CreateField("Total", rda::ftFloat, 0, rda::fkCalculated);
  orders.OnCalcFields = [](rda::TDataSet& ds) {
    ds.FieldByName("Total").SetAsFloat(ds.FieldByName("Qty").AsInteger() *
                                       ds.FieldByName("Price").AsFloat());
  };
  orders.Open();
  orders.AppendRecord({rda::Variant(3), rda::Variant(2.5)});
  EXPECT_EQ(orders.FieldByName("Total").AsFloat(), 7.5);
}

TEST(DocsDatasets, DefineFillNavigateEditSearch) {
  rda::TRdaDataSet people;
  people.AddField("Id", rda::ftInteger, 0);
  people.AddField("Name", rda::ftString, 30);
  people.AddField("Born", rda::ftDate, 0);
  people.AddField("Balance", rda::ftBCD, 0);
  people.Open();

  rda::TField& id = people.FieldByName("Id");
  rda::TField& name = people.FieldByName("Name");
  rda::TField& born = people.FieldByName("Born");
  const char* names[] = {"Ada", "Grace", "Edsger"};
  for (int i = 0; i < 3; ++i) {
    people.Append();
    id.SetAsInteger(i + 1);
    name.SetAsString(names[i]);
    born.SetAsDateTime(rda::EncodeDate(1900 + 10 * i, 1, 1));
    people.Post();
  }
  people.AppendRecord({rda::Variant(4), rda::Variant("Barbara")});  // the same in one call
  EXPECT_TRUE(people.FieldByName("Born").IsNull());

  std::vector<std::string> seen;
  for (people.First(); !people.Eof(); people.Next()) {
    seen.push_back(name.AsString());
  }
  EXPECT_THAT(seen, ElementsAre("Ada", "Grace", "Edsger", "Barbara"));
  people.Last();
  people.Prior();  // on "Edsger"; people.RecNo() == 3
  EXPECT_EQ(name.AsString(), "Edsger");
  EXPECT_EQ(people.RecNo(), 3);
  people.SetRecNo(1);  // on "Ada"
  EXPECT_EQ(name.AsString(), "Ada");

  rda::TBookmark mark = people.Bookmark();  // on "Ada"
  people.Last();
  people.GotoBookmark(mark);  // on "Ada" again
  EXPECT_EQ(name.AsString(), "Ada");

  people.Edit();
  name.SetAsString("Ada Lovelace");
  people.Post();  // or people.Cancel() to drop the change
  EXPECT_EQ(name.AsString(), "Ada Lovelace");

  people.Last();
  people.Delete();  // "Barbara" is gone; the cursor is on "Edsger"
  EXPECT_EQ(name.AsString(), "Edsger");
  EXPECT_EQ(people.RecordCount(), 3);

  bool found = people.Locate("Name", rda::Variant("grace"), {rda::loCaseInsensitive});
  // found, and the cursor is on "Grace"
  EXPECT_TRUE(found);
  EXPECT_EQ(name.AsString(), "Grace");
  found = people.Locate("Name", rda::Variant("Eds"), {rda::loPartialKey});  // "Edsger"
  EXPECT_TRUE(found);
  EXPECT_EQ(name.AsString(), "Edsger");
  rda::Variant birth = people.Lookup("Id", rda::Variant(2), "Born");  // the cursor stays put
  EXPECT_EQ(birth, rda::Variant::FromDate(rda::EncodeDate(1910, 1, 1)));
  EXPECT_EQ(name.AsString(), "Edsger");

  people.OnFilterRecord = [&](rda::TDataSet&, bool& accept) { accept = id.AsInteger() != 2; };
  people.SetFiltered(true);  // "Grace" is hidden; RecordCount() still counts her
  EXPECT_FALSE(people.Locate("Name", rda::Variant("Grace")));
  EXPECT_EQ(people.RecordCount(), 3);
  people.SetFiltered(false);
  EXPECT_TRUE(people.Locate("Id;Name", {rda::Variant(1), rda::Variant("Ada Lovelace")}, {}));

  rda::TRdaIndex& byName = people.Indexes().Add();  // inactive until it gets options
  byName.SetName("ByName");
  byName.SetFields("Name");                          // names separated by ";"
  byName.SetOptions({rda::ioCaseInsensitive});       // kept in order, letters folded
  people.SetIndexName("ByName");
  // the view: "Ada Lovelace", "Edsger", "Grace"
  seen.clear();
  for (people.First(); !people.Eof(); people.Next()) seen.push_back(name.AsString());
  EXPECT_THAT(seen, ElementsAre("Ada Lovelace", "Edsger", "Grace"));

  people.SetIndexFieldNames("Born;Name");  // the first index over these fields, or "__RDA__DEFAULT"
  // people.IndexName() == "" (the default index), people.IndexFieldNames() == "Born;Name"
  EXPECT_EQ(people.IndexName(), "");
  EXPECT_EQ(people.IndexFieldNames(), "Born;Name");
  people.SortByField("Name", /*descending=*/true);  // an index named "Name", case-insensitive
  EXPECT_EQ(people.IndexName(), "Name");
  people.First();
  EXPECT_EQ(name.AsString(), "Grace");
  people.SetIndexName("");  // back to the order the rows were added in
  people.First();
  EXPECT_EQ(name.AsString(), "Ada Lovelace");

  people.SetIndexName("ByName");
  found = people.FindKey({rda::Variant("GRACE")});  // true, on "Grace" (the index folds case)
  EXPECT_TRUE(found);
  EXPECT_EQ(name.AsString(), "Grace");
  people.SetKey();
  name.SetAsString("C");
  people.GotoNearest();  // on "Edsger", the first row at or after "C"
  EXPECT_EQ(name.AsString(), "Edsger");

  people.Close();
  people.Open();
  EXPECT_EQ(people.RecordCount(), 3);
}

TEST(DocsDatasets, Aggregates) {
  rda::TRdaDataSet sales;
  sales.AddField("Region", rda::ftString, 10);
  sales.AddField("Amount", rda::ftFloat, 0);
  sales.Open();
  sales.AppendRecord({rda::Variant("North"), rda::Variant(10.0)});
  sales.AppendRecord({rda::Variant("South"), rda::Variant(5.0)});
  sales.AppendRecord({rda::Variant("North"), rda::Variant(2.5)});

  rda::TRdaAggregate& total = sales.Aggregates().Add();  // COUNT(*) until told otherwise
  total.SetAggKind(rda::akSum);
  total.SetFieldName("Amount");
  total.SetActive(true);
  // total.Name() == "SUM(Amount)", total.Value() == Variant(17.5)
  EXPECT_EQ(total.Name(), "SUM(Amount)");
  EXPECT_EQ(total.Value(), rda::Variant(17.5));

  rda::TRdaIndex& byRegion = sales.Indexes().Add();
  byRegion.SetName("ByRegion");
  byRegion.SetFields("Region");
  byRegion.SetActive(true);
  rda::TRdaAggregate& perRegion = sales.Aggregates().Add();
  perRegion.SetAggKind(rda::akAvg);
  perRegion.SetFieldName("Amount");
  perRegion.SetIndexName("ByRegion");
  perRegion.SetLevel(1);
  perRegion.SetActive(true);
  sales.Locate("Region", rda::Variant("North"));
  // perRegion.Value() == Variant(6.25): (10 + 2.5) / 2
  EXPECT_EQ(perRegion.Value(), rda::Variant(6.25));
}

TEST(DocsDatasets, SaveLoadAndCopy) {
  rda::TRdaDataSet people;
  people.AddField("Id", rda::ftInteger, 0);
  people.AddField("Name", rda::ftString, 30);
  people.AddField("Notes", rda::ftMemo, 0);
  people.Open();
  for (int i = 1; i <= 3; ++i) people.AppendRecord({rda::Variant(i), rda::Variant("p" + std::to_string(i))});
  char pattern[] = "/tmp/rda-docs-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const std::string folder = pattern;

  const std::string file = folder + "/people.rds";
  people.SaveToFile(file);  // a temporary file, flushed, then renamed over the old one

  rda::TRdaDataSet copy;
  copy.LoadFromFile(file);  // fields, rows and definitions; opens the dataset
  EXPECT_EQ(copy.RecordCount(), people.RecordCount());

  std::string bytes = people.DataSetToText();  // the same bytes, in memory
  std::unique_ptr<rda::TRdaDataSet> again = rda::TextToDataSet(bytes);
  EXPECT_EQ(again->RecordCount(), 3);
  std::filesystem::remove_all(folder);

  rda::TRdaDataSet& ds = people;
  ds.Edit();
  {
    auto notes = ds.CreateBlobStream(ds.FieldByName("Notes"), rda::bmWrite);
    notes->Write("written through a stream");
  }  // now the field's value
  EXPECT_EQ(ds.FieldByName("Notes").AsString(), "written through a stream");
  ds.Post();

  rda::TRdaDataSet firstTwo;
  firstTwo.CloneFrom(people, 2);  // the structure, then at most 2 rows
  EXPECT_EQ(firstTwo.RecordCount(), 2);
}

}  // namespace
