// Nested datasets: opening through the parent, following its moves, writing
// back, the parent's edit state, and the errors.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "DataSetTestUtil.h"
#include "memdata/RdaNestedDataSet.h"

namespace rda {
namespace {

// A dataset value of items (Name, Qty) in the stream form.
std::string Items(const std::vector<std::pair<std::string, int>>& rows) {
  TRdaDataSet items;
  items.AddField("Name", ftString, 10);
  items.AddField("Qty", ftInteger, 0);
  items.Open();
  for (const auto& [name, qty] : rows) items.AppendRecord({Variant(name), Variant(qty)});
  return items.DataSetToText();
}

// Orders: Id and Items (ftDataSet); order 3 has no items. With persistent
// field objects they outlive a close.
std::unique_ptr<TRdaDataSet> Orders(bool persistent = false) {
  auto ds = std::make_unique<TRdaDataSet>();
  ds->AddField("Id", ftInteger, 0);
  ds->AddField("Items", ftDataSet, 0);
  if (persistent) {
    ds->CreateField("Id", ftInteger);
    ds->CreateField("Items", ftDataSet);
  }
  ds->Open();
  ds->AppendRecord({Variant(1), Variant(Items({{"bolt", 5}, {"nut", 7}}))});
  ds->AppendRecord({Variant(2), Variant(Items({{"gear", 1}}))});
  ds->AppendRecord({Variant(3)});
  ds->First();
  return ds;
}

std::vector<std::string> Names(TDataSet& ds) {
  std::vector<std::string> names;
  for (ds.First(); !ds.Eof(); ds.Next()) names.push_back(ds.FieldByName("Name").AsString());
  return names;
}

// The names in the parent's stored value of its current record.
std::vector<std::string> StoredNames(TDataSet& parent) {
  std::unique_ptr<TRdaDataSet> value = TextToDataSet(parent.FieldByName("Items").AsString());
  return value ? Names(*value) : std::vector<std::string>{};
}

TEST(NestedDataSet, OpensFromTheParentAndFollowsItsMoves) {
  auto orders = Orders();
  TRdaNestedDataSet items;
  items.SetDataSetField(&orders->FieldByName("Items"));
  items.Open();
  EXPECT_EQ(items.FieldCount(), 2);
  EXPECT_EQ(Names(items), (std::vector<std::string>{"bolt", "nut"}));
  orders->Next();
  EXPECT_EQ(Names(items), (std::vector<std::string>{"gear"}));
  orders->Next();
  EXPECT_TRUE(items.IsEmpty());
  orders->First();
  EXPECT_EQ(Names(items), (std::vector<std::string>{"bolt", "nut"}));
}

TEST(NestedDataSet, AClosedParentIsOpenedFirst) {
  auto orders = Orders(true);
  orders->Close();
  TRdaNestedDataSet& items = orders->NestedDataSetOf(orders->FieldByName("Items"));
  EXPECT_EQ(&items, &orders->NestedDataSetOf(orders->FieldByName("Items")));
  items.Open();
  EXPECT_TRUE(orders->Active());
  EXPECT_EQ(Names(items), (std::vector<std::string>{"bolt", "nut"}));
}

TEST(NestedDataSet, EditedWhileTheParentEditsItIsWrittenBackAtThePost) {
  auto orders = Orders();
  TRdaNestedDataSet items;
  items.SetDataSetField(&orders->FieldByName("Items"));
  items.Open();
  orders->Edit();
  items.Last();
  items.Edit();
  items.FieldByName("Name").SetAsString("washer");
  items.Post();
  orders->Post();
  EXPECT_EQ(StoredNames(*orders), (std::vector<std::string>{"bolt", "washer"}));
  orders->Next();
  orders->First();
  EXPECT_EQ(Names(items), (std::vector<std::string>{"bolt", "washer"}));
}

// A change of the rows starts the parent's edit: the parent's next move
// writes the rows back instead of reading the old value over them.
TEST(NestedDataSet, ChangingTheRowsOfAParentAtRestKeepsThem) {
  auto orders = Orders();
  TRdaNestedDataSet items;
  items.SetDataSetField(&orders->FieldByName("Items"));
  items.Open();
  orders->Next();
  items.AppendRecord({Variant("spring"), Variant(2)});
  EXPECT_EQ(orders->State(), dsEdit);
  orders->Next();  // posts the order with its items
  orders->Prior();
  EXPECT_EQ(Names(items), (std::vector<std::string>{"gear", "spring"}));
  EXPECT_EQ(StoredNames(*orders), (std::vector<std::string>{"gear", "spring"}));
  // An order that had none gets a value.
  orders->Last();
  items.Close();
  items.Open();
  items.AppendRecord({Variant("pin"), Variant(9)});
  items.Close();  // writes back and posts the order
  EXPECT_EQ(orders->State(), dsBrowse);
  EXPECT_EQ(StoredNames(*orders), (std::vector<std::string>{"pin"}));
}

TEST(NestedDataSet, LogsWithTheParentRow) {
  auto orders = Orders();
  TRdaNestedDataSet items;
  items.SetDataSetField(&orders->FieldByName("Items"));
  items.Open();
  items.Edit();
  items.FieldByName("Qty").SetAsInteger(50);
  items.Post();
  TRdaDataSet& log = *items.ChangeLog();
  ASSERT_EQ(log.RecordCount(), 1);
  EXPECT_EQ(log.Fields()[0].FieldName(), "MasterBookMark");
  EXPECT_EQ(log.FieldByName("MasterBookMark").AsInteger(), orders->CurrentRecordID());
  EXPECT_EQ(log.FieldByName("Qty").AsInteger(), 5);
  EXPECT_EQ(items.UpdateStatus(), usModified);
}

TEST(NestedDataSet, WithoutAFieldItIsAnError) {
  TRdaNestedDataSet items;
  EXPECT_EQ(test::MessageOf<EDatabaseError>([&] { items.Open(); }), "DataSetField is undefined !");
  EXPECT_EQ(test::MessageOf<EDatabaseError>([&] { items.LoadFromParent(); }),
            "DataSetField is undefined !");
  EXPECT_FALSE(items.Active());
}

TEST(NestedDataSet, EachSideSurvivesTheOther) {
  auto items = std::make_unique<TRdaNestedDataSet>();
  {
    auto orders = Orders();
    items->SetDataSetField(&orders->FieldByName("Items"));
    items->Open();
  }
  EXPECT_EQ(items->DataSetField(), nullptr);
  EXPECT_FALSE(items->Active());
  auto orders = Orders();
  items->SetDataSetField(&orders->FieldByName("Items"));
  items->Open();
  items.reset();
  orders->Next();  // nothing attached any more
  EXPECT_EQ(orders->FieldByName("Id").AsInteger(), 2);
  // Field objects made at the open go with the close, and so does the
  // nested dataset over one.
  TRdaNestedDataSet other;
  other.SetDataSetField(&orders->FieldByName("Items"));
  other.Open();
  orders->Close();
  EXPECT_EQ(other.DataSetField(), nullptr);
  EXPECT_FALSE(other.Active());
}

// Undoing everything reaches the rows of every parent row that was changed,
// not only the current one; a parent row deleted meanwhile takes its
// entries with it.
TEST(NestedDataSet, CancelUpdatesUndoesTheChangesUnderEveryParentRow) {
  auto orders = Orders();
  orders->AppendRecord({Variant(4), Variant(Items({{"cog", 3}}))});
  orders->First();
  TRdaNestedDataSet items;
  items.SetDataSetField(&orders->FieldByName("Items"));
  items.Open();
  items.Delete();  // order 1: bolt deleted, nut 7 -> 70
  items.Edit();
  items.FieldByName("Qty").SetAsInteger(70);
  items.Post();
  orders->Next();  // order 2: spring added, gear renamed
  items.AppendRecord({Variant("spring"), Variant(2)});
  items.First();
  items.Edit();
  items.FieldByName("Name").SetAsString("wheel");
  items.Post();
  orders->Last();  // order 4: cog deleted, then the order itself
  items.First();
  items.Delete();
  orders->Post();
  orders->Delete();
  orders->First();
  orders->Next();  // back on order 2
  ASSERT_EQ(Names(items), (std::vector<std::string>{"wheel", "spring"}));

  items.CancelUpdates();
  EXPECT_EQ(orders->FieldByName("Id").AsInteger(), 2);
  EXPECT_EQ(Names(items), (std::vector<std::string>{"gear"}));
  orders->CheckBrowseMode();  // the current order takes its undone rows like any change
  EXPECT_EQ(StoredNames(*orders), (std::vector<std::string>{"gear"}));
  ASSERT_NE(items.ChangeLog(), nullptr);
  EXPECT_EQ(items.ChangeLog()->RecordCount(), 0);
  orders->First();
  EXPECT_EQ(Names(items), (std::vector<std::string>{"bolt", "nut"}));
  EXPECT_EQ(StoredNames(*orders), (std::vector<std::string>{"bolt", "nut"}));
  items.Last();
  EXPECT_EQ(items.FieldByName("Qty").AsInteger(), 7);
  EXPECT_EQ(items.VerifyLog(), "");
}

}  // namespace
}  // namespace rda
