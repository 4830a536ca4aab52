// The examples of docs/datasets.md, as written there, with the results the
// page states.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

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

  people.Close();
  people.Open();
  EXPECT_EQ(people.RecordCount(), 3);
}

}  // namespace
