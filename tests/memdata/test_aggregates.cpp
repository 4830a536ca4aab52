// Aggregates: kinds, names, groups, upkeep and their errors. Every dataset
// verifies its indexes and aggregates after each change.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "tests/memdata/DataSetTestUtil.h"

namespace rda {
namespace {

using test::MessageOf;

struct Sale {
  std::optional<std::string> region, city;
  std::optional<double> amount;
};

// Region, City (texts), Amount (float), Qty (integer), Price (FMTBcd).
std::unique_ptr<TRdaDataSet> Sales(const std::vector<Sale>& rows) {
  auto ds = std::make_unique<TRdaDataSet>();
  ds->AddField("Region", ftString, 10);
  ds->AddField("City", ftString, 10);
  ds->AddField("Amount", ftFloat, 0);
  ds->AddField("Qty", ftInteger, 0);
  ds->AddField("Price", ftFMTBcd, 0);
  ds->Open();
  ds->SetVerifyEachChange(true);
  for (const Sale& s : rows) {
    ds->Append();
    if (s.region) ds->FieldByName("Region").SetAsString(*s.region);
    if (s.city) ds->FieldByName("City").SetAsString(*s.city);
    if (s.amount) ds->FieldByName("Amount").SetAsFloat(*s.amount);
    ds->Post();
  }
  return ds;
}

TRdaAggregate& AddAggregate(TRdaDataSet& ds, TRdaAggKind kind, const std::string& field,
                            const std::string& index = "", int level = 0) {
  TRdaAggregate& a = ds.Aggregates().Add();
  a.SetAggKind(kind);
  a.SetFieldName(field);
  a.SetIndexName(index);
  a.SetLevel(level);
  a.SetActive(true);
  return a;
}

TEST(Aggregates, KindsOverValuesAndNulls) {
  auto ds = Sales({{"N", "A", 1}, {"N", "B", {}}, {"S", "C", 2}});
  TRdaAggregate& sum = AddAggregate(*ds, akSum, "Amount");
  TRdaAggregate& avg = AddAggregate(*ds, akAvg, "Amount");
  TRdaAggregate& count = AddAggregate(*ds, akCount, "Amount");
  TRdaAggregate& rows = AddAggregate(*ds, akCount, "");
  TRdaAggregate& min = AddAggregate(*ds, akMin, "Amount");
  TRdaAggregate& max = AddAggregate(*ds, akMax, "City");
  EXPECT_EQ(sum.Value(), Variant(3.0));
  EXPECT_EQ(avg.Value(), Variant(1.5));  // sum 3 over count 2
  EXPECT_EQ(count.Value(), Variant(int32_t{2}));
  EXPECT_EQ(rows.Value(), Variant(int32_t{3}));
  EXPECT_EQ(min.Value(), Variant(1.0));
  EXPECT_EQ(max.Value(), Variant("C"));

  // Only rows the filter accepts count.
  ds->OnFilterRecord = [](TDataSet& d, bool& accept) {
    accept = d.FieldByName("Region").AsString() == "N";
  };
  ds->SetFiltered(true);
  EXPECT_EQ(rows.Value(), Variant(int32_t{2}));
  EXPECT_EQ(sum.Value(), Variant(1.0));
  ds->SetFiltered(false);

  // With no row left: null, and COUNT 0.
  while (!ds->IsEmpty()) ds->Delete();
  EXPECT_TRUE(sum.Value().IsNull());
  EXPECT_TRUE(avg.Value().IsNull());
  EXPECT_TRUE(max.Value().IsNull());
  EXPECT_EQ(rows.Value(), Variant(int32_t{0}));
}

TEST(Aggregates, NamesDefaultToKindAndField) {
  auto ds = Sales({});
  TRdaAggregate& a = ds->Aggregates().Add();
  EXPECT_EQ(a.Name(), "COUNT(*)");
  a.SetName("COUNT(*)");
  a.SetAggKind(akSum);
  a.SetFieldName("Amount");
  EXPECT_EQ(a.Name(), "SUM(Amount)");  // no explicit name was kept
  a.SetName("Total");
  a.SetAggKind(akMax);
  EXPECT_EQ(a.Name(), "Total");
  EXPECT_EQ(ds->Aggregates().Find("total"), &a);
}

TEST(Aggregates, GroupsFollowTheLeadingFieldsOfAnIndex) {
  auto ds = Sales({{"N", "Oslo", 10}, {"S", "Rome", 5}, {"N", "Bergen", 1}, {"S", "Bari", 2}});
  TRdaIndex& index = ds->Indexes().Add();
  index.SetName("ByPlace");
  index.SetFields("Region;City");
  index.SetActive(true);
  TRdaAggregate& byRegion = AddAggregate(*ds, akSum, "Amount", "ByPlace", 1);
  TRdaAggregate& byCity = AddAggregate(*ds, akCount, "", "ByPlace", 2);
  TRdaAggregate& total = AddAggregate(*ds, akSum, "Amount");
  ds->Locate("City", Variant("Oslo"));
  EXPECT_EQ(byRegion.Value(), Variant(11.0));
  EXPECT_EQ(byCity.Value(), Variant(int32_t{1}));
  EXPECT_EQ(total.Value(), Variant(18.0));
  ds->Locate("City", Variant("Rome"));
  EXPECT_EQ(byRegion.Value(), Variant(7.0));

  // Moving Oslo to the south moves its amount from one total to the other.
  ds->Locate("City", Variant("Oslo"));
  ds->Edit();
  ds->FieldByName("Region").SetAsString("S");
  ds->Post();
  EXPECT_EQ(byRegion.Value(), Variant(17.0));
  ds->Locate("City", Variant("Bergen"));
  EXPECT_EQ(byRegion.Value(), Variant(1.0));
  EXPECT_EQ(byRegion.ValueOf(*ds->Store()->Rows()[1]), Variant(17.0));  // Rome's group

  // A new row joins its group, a cancelled one does not.
  ds->AppendRecord({Variant("N"), Variant("Molde"), Variant(4.0)});
  EXPECT_EQ(byRegion.Value(), Variant(5.0));
  ds->Append();
  ds->FieldByName("Region").SetAsString("N");
  ds->FieldByName("Amount").SetAsFloat(100);
  EXPECT_TRUE(byRegion.Value().IsNull());  // no row yet while inserting
  ds->Cancel();
  EXPECT_EQ(byRegion.Value(), Variant(5.0));
}

TEST(Aggregates, RowsTheFilterRejectsDoNotJoinTheGroupsAroundThem) {
  // In index order: N(10, passes), S(1, rejected), S(5, passes). The last
  // row is in S's group even though the row before it did not pass.
  auto ds = Sales({{"N", "a", 10}, {"S", "b", 1}, {"S", "c", 5}});
  TRdaIndex& index = ds->Indexes().Add();
  index.SetName("ByRegion");
  index.SetFields("Region;City");
  index.SetActive(true);
  ds->OnFilterRecord = [](TDataSet& d, bool& accept) {
    accept = d.FieldByName("City").AsString() != "b";
  };
  ds->SetFiltered(true);
  TRdaAggregate& sum = AddAggregate(*ds, akSum, "Amount", "ByRegion", 1);
  ds->Locate("City", Variant("c"));
  EXPECT_EQ(sum.Value(), Variant(5.0));
  // An edit of a field the aggregate does not name still decides whether
  // the row passes the filter.
  ds->Edit();
  ds->FieldByName("City").SetAsString("b");
  ds->Post();
  EXPECT_EQ(ds->RecordCount(), 3);
  ds->Locate("City", Variant("a"));
  EXPECT_EQ(sum.Value(), Variant(10.0));
  EXPECT_TRUE(sum.ValueOf(*ds->Store()->Rows()[2]).IsNull());  // rejected: no group
}

TEST(Aggregates, MinAndMaxFindTheNextWhenTheirValueLeaves) {
  auto ds = Sales({{"N", "a", 3}, {"N", "b", 9}, {"N", "c", 7}});
  TRdaAggregate& max = AddAggregate(*ds, akMax, "Amount");
  TRdaAggregate& min = AddAggregate(*ds, akMin, "Amount");
  EXPECT_EQ(max.Value(), Variant(9.0));
  ds->Locate("City", Variant("b"));
  ds->Delete();
  EXPECT_EQ(max.Value(), Variant(7.0));
  ds->Locate("City", Variant("a"));
  ds->Edit();
  ds->FieldByName("Amount").SetAsFloat(8);
  ds->Post();
  EXPECT_EQ(min.Value(), Variant(7.0));
  EXPECT_EQ(max.Value(), Variant(8.0));
}

// Groups by a date and a boolean are kept by their key values as well as
// through their rows (groups by a float only through their rows): edits in
// place, a group whose last row goes and comes back under the same key, and
// rows moving between groups all keep both in step (each change verified).
TEST(Aggregates, GroupsByExactKeysFollowEditsDeletesAndReturns) {
  auto ds = std::make_unique<TRdaDataSet>();
  ds->AddField("Day", ftDate, 0);
  ds->AddField("Flag", ftBoolean, 0);
  ds->AddField("Qty", ftInteger, 0);
  ds->AddField("Amount", ftFloat, 0);
  ds->Open();
  ds->SetVerifyEachChange(true);
  auto add = [&](double day, bool flag, int32_t qty) {
    ds->AppendRecord({Variant::FromDate(day), Variant(flag), Variant(qty), Variant(qty * 0.5)});
  };
  add(40000, true, 1);
  add(40000, false, 2);
  add(40001, true, 4);
  add(40000, true, 8);
  for (const char* name : {"ByDayFlag", "ByAmount"}) {
    TRdaIndex& index = ds->Indexes().Add();
    index.SetName(name);
    index.SetFields(std::string(name) == "ByAmount" ? "Amount" : "Day;Flag");
    index.SetActive(true);
  }
  TRdaAggregate& byDayFlag = AddAggregate(*ds, akSum, "Qty", "ByDayFlag", 2);
  TRdaAggregate& byDay = AddAggregate(*ds, akAvg, "Qty", "ByDayFlag", 1);
  TRdaAggregate& byAmount = AddAggregate(*ds, akCount, "", "ByAmount", 1);
  auto row = [&](int32_t qty) -> const TRdaDBListItem& {
    EXPECT_TRUE(ds->Locate("Qty", Variant(qty)));
    return *ds->Indexes().ViewRow(ds->Indexes().Position());
  };
  EXPECT_EQ(byDayFlag.ValueOf(row(1)), Variant(int32_t{9}));
  EXPECT_EQ(byDay.ValueOf(row(2)), Variant(11.0 / 3));

  // An edit in place.
  ds->Locate("Qty", Variant(8));
  ds->Edit();
  ds->FieldByName("Qty").SetAsInteger(16);
  ds->FieldByName("Amount").SetAsFloat(0.5);  // into the group of Amount 0.5
  ds->Post();
  EXPECT_EQ(byDayFlag.ValueOf(row(1)), Variant(int32_t{17}));
  EXPECT_EQ(byAmount.ValueOf(row(16)), Variant(int32_t{2}));
  // The group of (40001, true) goes with its one row and comes back.
  ds->Locate("Qty", Variant(4));
  ds->Delete();
  add(40001, true, 32);
  EXPECT_EQ(byDayFlag.ValueOf(row(32)), Variant(int32_t{32}));
  EXPECT_EQ(byDay.ValueOf(row(32)), Variant(32.0));
  // A row moves to another day and flag, emptying its old group.
  ds->Locate("Qty", Variant(2));
  ds->Edit();
  ds->FieldByName("Day").SetAsDateTime(40001);
  ds->FieldByName("Flag").SetAsBoolean(true);
  ds->Post();
  EXPECT_EQ(byDayFlag.ValueOf(row(32)), Variant(int32_t{34}));
  EXPECT_EQ(byDay.ValueOf(row(1)), Variant(17.0 / 2));
  ds->Locate("Qty", Variant(2));
  ds->Edit();
  ds->FieldByName("Day").SetAsDateTime(40000);
  ds->FieldByName("Flag").SetAsBoolean(false);
  ds->Post();
  ds->Edit();
  ds->FieldByName("Qty").SetAsInteger(64);
  ds->Post();
  EXPECT_EQ(byDayFlag.ValueOf(row(64)), Variant(int32_t{64}));
  EXPECT_EQ(ds->VerifyIndexesAndAggregates(), "");
}

TEST(Aggregates, SumsWidenAndKeepTheirKind) {
  auto ds = Sales({});
  ds->AppendRecord({Variant(), Variant(), Variant(), Variant(int32_t{2147483647}), Variant(StrToBcd("0.123456"))});
  ds->AppendRecord({Variant(), Variant(), Variant(), Variant(int32_t{1}), Variant(StrToBcd("1.5"))});
  EXPECT_EQ(AddAggregate(*ds, akSum, "Qty").Value(), Variant(int64_t{2147483648}));
  // Packed decimals add in currency precision and stay packed decimals.
  EXPECT_EQ(AddAggregate(*ds, akSum, "Price").Value().ToString(), "1.6235");
  EXPECT_EQ(AddAggregate(*ds, akSum, "Price").Value().Type(), VarType::Bcd);
}

TEST(Aggregates, ErrorsLeaveTheAggregateUncomputed) {
  auto ds = Sales({{"N", "a", 1}});
  TRdaAggregate& grouped = ds->Aggregates().Add();
  grouped.SetActive(true);
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { grouped.SetIndexName("Nope"); }),
            "Index with name 'Nope' does not found");
  EXPECT_EQ(grouped.IndexName(), "");  // the change is undone
  EXPECT_TRUE(grouped.Computed());
  TRdaAggregate& text = ds->Aggregates().Add();
  text.SetAggKind(akSum);
  EXPECT_EQ(MessageOf<EDatabaseError>([&] {
              text.SetFieldName("Nope");
            }),
            "Field 'Nope' not found");
  text.SetFieldName("City");
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { text.SetActive(true); }),
            "Cannot compute SUM(City): field 'City' is not numeric");
  EXPECT_FALSE(text.Active());
  EXPECT_TRUE(text.Value().IsNull());
}

TEST(Aggregates, The257thSlotFails) {
  auto ds = Sales({{"N", "a", 1}, {"S", "b", 2}});
  // AVG takes two slots: 128 of them fill all 256.
  for (int i = 0; i < 128; ++i) AddAggregate(*ds, akAvg, "Amount");
  TRdaAggregate& more = ds->Aggregates().Add();
  more.SetFieldName("Amount");
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { more.SetActive(true); }), "Too many aggregates");
  EXPECT_FALSE(more.Computed());
  EXPECT_EQ(ds->Aggregates().Items(127).Value(), Variant(1.5));
  // Releasing one makes room.
  ds->Aggregates().Delete(0);
  more.SetActive(true);
  EXPECT_EQ(more.Value(), Variant(int32_t{2}));
  ds->AppendRecord({Variant("N"), Variant("c"), Variant(3.0)});
  EXPECT_EQ(more.Value(), Variant(int32_t{3}));
}

TEST(Aggregates, OpeningComputesAndClosingDropsThem) {
  auto ds = Sales({{"N", "a", 1}, {"S", "b", 2}});
  TRdaAggregate& sum = AddAggregate(*ds, akSum, "Amount");
  ds->Close();
  EXPECT_TRUE(sum.Value().IsNull());
  ds->AfterOpen = [&](TDataSet&) { EXPECT_EQ(sum.Value(), Variant(3.0)); };
  ds->Open();
  EXPECT_EQ(sum.Value(), Variant(3.0));
  ds->Aggregates().SetMaintained(false);
  EXPECT_TRUE(sum.Value().IsNull());
  ds->Aggregates().SetMaintained(true);
  EXPECT_EQ(sum.Value(), Variant(3.0));
  ds->EmptyDataSet();
  EXPECT_TRUE(sum.Value().IsNull());
}

TEST(Aggregates, AReopenComputesGroupedCountsThroughTheFilter) {
  auto ds = Sales({{"N", "a", 1}, {"N", "b", 2}, {"S", "c", 3}});
  TRdaIndex& index = ds->Indexes().Add();
  index.SetName("ByRegion");
  index.SetFields("Region");
  index.SetActive(true);
  TRdaAggregate& rows = AddAggregate(*ds, akCount, "", "ByRegion", 1);
  ds->OnFilterRecord = [](TDataSet& d, bool& accept) { accept = d.FieldByName("City").AsString() != "b"; };
  ds->SetFiltered(true);
  ds->Close();
  ds->Open();  // the index is built before the first record, the counts after
  EXPECT_EQ(rows.Value(), Variant(int32_t{1}));
  ds->Last();
  EXPECT_EQ(rows.Value(), Variant(int32_t{1}));
  EXPECT_EQ(ds->VerifyIndexesAndAggregates(), "");
}

}  // namespace
}  // namespace rda
