// Indexes: order, upkeep, unique keys, selection, key searches and their
// errors. Every dataset here verifies its indexes and aggregates after each
// post, add, delete and cancel (SetVerifyEachChange).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "memdata/RdaRowList.h"
#include "tests/memdata/DataSetTestUtil.h"

namespace rda {
namespace {

using ::testing::ElementsAre;
using test::MessageOf;

struct Row {
  std::optional<int> id;
  std::optional<std::string> name;
  std::optional<double> amount;
  std::optional<std::string> city;
};

// Id (integer), Name (text 20), Amount (float), City (text 20), Notes
// (memo); verifying itself after every change.
std::unique_ptr<TRdaDataSet> Table(const std::vector<Row>& rows) {
  auto ds = std::make_unique<TRdaDataSet>();
  ds->SetName("T");
  ds->AddField("Id", ftInteger, 0);
  ds->AddField("Name", ftString, 20);
  ds->AddField("Amount", ftFloat, 0);
  ds->AddField("City", ftString, 20);
  ds->AddField("Notes", ftMemo, 0);
  ds->Open();
  ds->SetVerifyEachChange(true);
  for (const Row& r : rows) {
    ds->Append();
    if (r.id) ds->FieldByName("Id").SetAsInteger(*r.id);
    if (r.name) ds->FieldByName("Name").SetAsString(*r.name);
    if (r.amount) ds->FieldByName("Amount").SetAsFloat(*r.amount);
    if (r.city) ds->FieldByName("City").SetAsString(*r.city);
    ds->Post();
  }
  return ds;
}

std::vector<Row> Names(std::initializer_list<const char*> names) {
  std::vector<Row> rows;
  int id = 0;
  for (const char* n : names) rows.push_back({++id, n ? std::optional<std::string>(n) : std::nullopt, {}, {}});
  return rows;
}

// The RecordIDs of an index's list, in order.
std::vector<int32_t> Order(const TRdaIndex& index) {
  std::vector<int32_t> ids;
  for (int i = 0; i < index.Count(); ++i) ids.push_back(index.Row(i)->RecordID());
  return ids;
}

// The Id field in view order.
std::vector<int> View(TDataSet& ds) { return test::Ids(ds); }

TRdaIndex& AddIndex(TRdaDataSet& ds, const std::string& name, const std::string& fields,
                    TRdaIndexOptions options = {}) {
  TRdaIndex& index = ds.Indexes().Add();
  index.SetName(name);
  index.SetFields(fields);
  index.SetOptions(options);
  return index;
}

// ---------------------------------------------------------------------------
// Order

TEST(Indexes, ANewIndexIsInactiveUntilActivated) {
  auto ds = Table(Names({"b", "a", "c"}));
  TRdaIndex& index = ds->Indexes().Add();
  EXPECT_EQ(index.Options(), TRdaIndexOptions{ioNonMaintained});
  index.SetFields("Name");
  EXPECT_FALSE(index.Active());
  EXPECT_FALSE(index.Built());
  index.SetActive(true);
  EXPECT_TRUE(index.Active());
  EXPECT_THAT(Order(index), ElementsAre(2, 1, 3));
  ds->AppendRecord({Variant(4), Variant("aa")});
  EXPECT_THAT(Order(index), ElementsAre(2, 4, 1, 3));
  index.SetActive(false);
  EXPECT_FALSE(index.Built());
  EXPECT_EQ(index.Count(), 0);
}

TEST(Indexes, EqualKeysFollowRecordIdentityBuiltOrMaintained) {
  auto ds = Table(Names({"b", "a", "b", "a"}));
  TRdaIndex& up = AddIndex(*ds, "Up", "Name");
  TRdaIndex& down = AddIndex(*ds, "Down", "Name", {ioDescending});
  EXPECT_THAT(Order(up), ElementsAre(2, 4, 1, 3));
  EXPECT_THAT(Order(down), ElementsAre(3, 1, 4, 2));
  // A row added under a maintained index lands where a rebuild puts it.
  ds->AppendRecord({Variant(5), Variant("a")});
  ds->AppendRecord({Variant(6), Variant("b")});
  EXPECT_THAT(Order(up), ElementsAre(2, 4, 5, 1, 3, 6));
  EXPECT_THAT(Order(down), ElementsAre(6, 3, 1, 5, 4, 2));
  const std::vector<int32_t> kept = Order(down);
  down.Rebuild();
  EXPECT_EQ(Order(down), kept);
}

TEST(Indexes, NullsFirstAscendingAndLastDescending) {
  auto ds = Table(Names({"m", nullptr, "a", nullptr}));
  TRdaIndex& up = AddIndex(*ds, "Up", "Name");
  TRdaIndex& down = AddIndex(*ds, "Down", "Name", {ioDescending});
  EXPECT_THAT(Order(up), ElementsAre(2, 4, 3, 1));
  EXPECT_THAT(Order(down), ElementsAre(1, 3, 4, 2));
}

TEST(Indexes, LetterCaseCountsUnlessCaseInsensitive) {
  auto ds = Table(Names({"ada", "Ada", "ADA", "Ab"}));
  TRdaIndex& exact = AddIndex(*ds, "Exact", "Name");
  TRdaIndex& folded = AddIndex(*ds, "Folded", "Name", {ioCaseInsensitive});
  // Ordinal bytes: upper case first; folded: "AB" < "ADA", ties by identity.
  EXPECT_THAT(Order(exact), ElementsAre(3, 4, 2, 1));
  EXPECT_THAT(Order(folded), ElementsAre(4, 1, 2, 3));
}

TEST(Indexes, TolerancesMakeEqualKeys) {
  auto ds = Table({{1, "x", 1.0, {}}});
  AddIndex(*ds, "U", "Amount", {ioUnique});
  ds->Append();
  ds->FieldByName("Amount").SetAsFloat(1.0 + 1e-14);
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { ds->Post(); }), "Violation of unique index U(Amount)");
  ds->FieldByName("Amount").SetAsFloat(1.0 + 1e-12);
  ds->Post();
  EXPECT_EQ(ds->RecordCount(), 2);
}

TEST(Indexes, AnIndexWithoutFieldsSortsByRecordID) {
  auto ds = Table(Names({"a", "b", "c"}));
  TRdaIndex& byId = AddIndex(*ds, "ById", "", {ioDescending});
  EXPECT_THAT(Order(byId), ElementsAre(3, 2, 1));
  ds->SetIndexName("ById");
  ds->SetRecNo(2);
  const TBookmark mark = ds->Bookmark();
  ds->First();
  ds->GotoBookmark(mark);
  EXPECT_EQ(ds->FieldByName("Name").AsString(), "b");
}

// ---------------------------------------------------------------------------
// Unique keys

TEST(Indexes, UniqueKeysRefuseDuplicatesAndTheDatasetUndoesThePost) {
  auto ds = Table(Names({"ada", "bob"}));
  AddIndex(*ds, "U", "Name", {ioUnique, ioCaseInsensitive});
  // An insert: the new row goes again, the record stays in insert state.
  ds->Append();
  ds->FieldByName("Name").SetAsString("ADA");
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { ds->Post(); }), "Violation of unique index U(Name)");
  EXPECT_EQ(ds->State(), dsInsert);
  ds->Cancel();
  EXPECT_EQ(ds->RecordCount(), 2);
  // An edit: the row keeps its old value.
  ds->Locate("Name", Variant("bob"));
  ds->Edit();
  ds->FieldByName("Name").SetAsString("Ada");
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { ds->Post(); }), "Violation of unique index U(Name)");
  ds->Cancel();
  EXPECT_EQ(ds->FieldByName("Name").AsString(), "bob");
  EXPECT_EQ(ds->Store()->Count(), 2);
  // AppendRecord in one step fails the same way.
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { ds->AppendRecord({Variant(3), Variant("BOB")}); }),
            "Violation of unique index U(Name)");
  EXPECT_EQ(ds->RecordCount(), 2);
}

TEST(Indexes, AFailedPostPutsEveryIndexBack) {
  auto ds = Table(Names({"a", "b", "c"}));
  TRdaIndex& byId = AddIndex(*ds, "ById", "Id", {ioDescending});
  AddIndex(*ds, "ByName", "Name", {ioUnique});
  ds->Locate("Name", Variant("a"));
  ds->Edit();
  ds->FieldByName("Id").SetAsInteger(10);  // moves the row in ById ...
  ds->FieldByName("Name").SetAsString("c");  // ... but ByName refuses the post
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { ds->Post(); }), "Violation of unique index ByName(Name)");
  EXPECT_THAT(Order(byId), ElementsAre(3, 2, 1));
  EXPECT_EQ(ds->VerifyIndexesAndAggregates(), "");
  // The edit goes on; mended, it posts and moves the row in both indexes.
  ds->FieldByName("Name").SetAsString("d");
  ds->Post();
  EXPECT_THAT(Order(byId), ElementsAre(1, 3, 2));
  EXPECT_EQ(ds->FieldByName("Id").AsInteger(), 10);
  ds->Edit();
  ds->FieldByName("Id").SetAsInteger(1);
  ds->FieldByName("Name").SetAsString("b");
  EXPECT_THROW(ds->Post(), EDatabaseError);
  ds->Cancel();
  EXPECT_EQ(ds->FieldByName("Id").AsInteger(), 10);
  EXPECT_THAT(Order(byId), ElementsAre(1, 3, 2));
}

TEST(Indexes, TwoNullKeysAreEqualInAUniqueIndex) {
  // Our rule, where SQL lets any number of NULLs into a unique index.
  auto ds = Table(Names({nullptr}));
  AddIndex(*ds, "U", "Name", {ioUnique});
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { ds->AppendRecord({Variant(2)}); }),
            "Violation of unique index U(Name)");
}

TEST(Indexes, BuildingAUniqueIndexOverDuplicatesFailsAndLeavesItInactive) {
  auto ds = Table(Names({"a", "b", "a"}));
  TRdaIndex& index = AddIndex(*ds, "Names", "Name");
  ds->SetIndexName("Names");
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { index.SetOptions({ioUnique}); }),
            "Duplicate record in unique index Names(Name)");
  EXPECT_FALSE(index.Active());
  EXPECT_FALSE(index.Selected());
  EXPECT_EQ(ds->IndexName(), "");
  EXPECT_THAT(View(*ds), ElementsAre(1, 2, 3));
}

TEST(Indexes, ThePrimaryKeySeamAddsAnActiveUniqueIndex) {
  auto ds = Table(Names({"a", "b"}));
  TRdaIndex* primary = ds->Indexes().EnsurePrimaryKey("Id");
  ASSERT_NE(primary, nullptr);
  EXPECT_EQ(primary->Name(), "__RDA__PrimaryKey");
  EXPECT_TRUE(primary->Active());
  EXPECT_EQ(ds->Indexes().EnsurePrimaryKey("Name"), primary);  // one is enough
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { ds->AppendRecord({Variant(2)}); }),
            "Violation of unique index __RDA__PrimaryKey(Id)");
}

// ---------------------------------------------------------------------------
// Selection, the view and the cursor

TEST(Indexes, SelectingAndDeselectingKeepTheCursorOnItsRow) {
  auto ds = Table(Names({"d", "b", "a", "c"}));
  AddIndex(*ds, "ByName", "Name");
  ds->Locate("Name", Variant("b"));
  ds->SetIndexName("byname");  // names ignore letter case
  EXPECT_EQ(ds->IndexName(), "ByName");
  EXPECT_EQ(ds->FieldByName("Name").AsString(), "b");
  EXPECT_EQ(ds->RecNo(), 2);
  EXPECT_THAT(View(*ds), ElementsAre(3, 2, 4, 1));
  ds->Locate("Name", Variant("c"));
  ds->SetIndexName("");
  EXPECT_EQ(ds->FieldByName("Name").AsString(), "c");
  EXPECT_EQ(ds->RecNo(), 4);
  EXPECT_THAT(View(*ds), ElementsAre(1, 2, 3, 4));
}

TEST(Indexes, PostingMovesTheRowAndTheCursorFollowsIt) {
  auto ds = Table(Names({"a", "b", "c"}));
  AddIndex(*ds, "ByName", "Name");
  ds->SetIndexName("ByName");
  ds->First();
  ds->Edit();
  ds->FieldByName("Name").SetAsString("z");
  ds->Post();
  EXPECT_THAT(View(*ds), ElementsAre(2, 3, 1));
  ds->Last();
  EXPECT_EQ(ds->FieldByName("Name").AsString(), "z");
  ds->Append();
  ds->FieldByName("Name").SetAsString("bb");
  ds->Post();
  EXPECT_EQ(ds->RecNo(), 2);  // on the new row, in its place
  EXPECT_EQ(ds->FieldByName("Name").AsString(), "bb");
}

TEST(Indexes, DeletingUnderAnIndexKeepsThePositionOrMovesBackFromTheEnd) {
  auto ds = Table(Names({"c", "a", "b"}));
  AddIndex(*ds, "ByName", "Name");
  ds->SetIndexName("ByName");
  ds->SetRecNo(2);  // "b"
  ds->Delete();
  EXPECT_EQ(ds->FieldByName("Name").AsString(), "c");
  ds->Delete();
  EXPECT_EQ(ds->FieldByName("Name").AsString(), "a");
  EXPECT_EQ(ds->RecordCount(), 1);
}

TEST(Indexes, IndexFieldNamesFindsAnIndexOrMakesTheDefaultOne) {
  auto ds = Table({{1, "x", 1, "Oslo"}, {2, "y", 2, "Bergen"}});
  AddIndex(*ds, "ByCity", "City;Name");
  ds->SetIndexFieldNames("city");
  EXPECT_EQ(ds->IndexName(), "ByCity");
  EXPECT_EQ(ds->IndexFieldNames(), "");
  EXPECT_THAT(View(*ds), ElementsAre(2, 1));

  ds->SetIndexFieldNames("Name;Id");
  EXPECT_EQ(ds->IndexName(), "");
  EXPECT_EQ(ds->IndexFieldNames(), "Name;Id");
  ASSERT_NE(ds->Indexes().FindIndex("__RDA__DEFAULT"), nullptr);
  EXPECT_EQ(ds->Indexes().FindIndex("__RDA__DEFAULT")->Options(), TRdaIndexOptions{});
  EXPECT_THAT(View(*ds), ElementsAre(1, 2));
  // "Cit" begins no index's field list (names match whole): a default index
  // over it is tried, and there is no such field.
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { ds->SetIndexFieldNames("Cit"); }),
            "T: Field 'Cit' not found");
  EXPECT_EQ(ds->IndexFieldNames(), "Name;Id");
  ds->SetIndexFieldNames("");
  EXPECT_EQ(ds->IndexName(), "");
  EXPECT_EQ(ds->Indexes().Selected(), nullptr);
}

TEST(Indexes, SortByFieldSortsCaseInsensitiveAndTakesTheDirectionAsked) {
  auto ds = Table(Names({"b", "A", "a", "B"}));
  ds->SortByField("Name");
  EXPECT_EQ(ds->IndexName(), "Name");
  EXPECT_THAT(View(*ds), ElementsAre(2, 3, 1, 4));
  ds->SortByField("Name", true);
  EXPECT_THAT(View(*ds), ElementsAre(4, 1, 3, 2));
  ds->SortByField("Name", false);
  EXPECT_THAT(View(*ds), ElementsAre(2, 3, 1, 4));
  EXPECT_EQ(ds->Indexes().Count(), 1);
}

TEST(Indexes, BadDefinitionsFailAndLeaveTheDatasetAsItWas) {
  auto ds = Table(Names({"b", "a"}));
  AddIndex(*ds, "ByName", "Name");
  ds->SetIndexName("ByName");
  ds->Last();
  const int count = ds->Indexes().Count();
  struct Case {
    const char* what;
    std::function<void()> change;
    std::string message;
  } cases[] = {
      {"unknown index", [&] { ds->SetIndexName("Nope"); }, "Index with name 'Nope' does not found"},
      {"sort by a memo", [&] { ds->SortByField("Notes"); },
       "T: Comparison is not supported for field 'Notes'"},
      {"field names with a memo", [&] { ds->SetIndexFieldNames("Name;Notes"); },
       "T: Comparison is not supported for field 'Notes'"},
      {"unknown field", [&] { ds->SetIndexFieldNames("Nope"); }, "T: Field 'Nope' not found"},
      {"fields of an index", [&] { ds->Indexes().FindIndex("ByName")->SetFields("Notes"); },
       "T: Comparison is not supported for field 'Notes'"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MessageOf<EDatabaseError>(c.change), c.message) << c.what;
    EXPECT_EQ(ds->Indexes().Count(), count) << c.what;
    EXPECT_EQ(ds->IndexName(), "ByName") << c.what;
    EXPECT_EQ(ds->Indexes().FindIndex("ByName")->Fields(), "Name") << c.what;
    EXPECT_EQ(ds->FieldByName("Name").AsString(), "b") << c.what;
    EXPECT_EQ(ds->VerifyIndexesAndAggregates(), "") << c.what;
  }
  EXPECT_THAT(View(*ds), ElementsAre(2, 1));
}

TEST(Indexes, ANaturalIndexSortsTheStoreItself) {
  auto ds = Table(Names({"c", "a", "b"}));
  TRdaIndex& natural = AddIndex(*ds, "Natural", "Name", {ioNatural});
  EXPECT_FALSE(natural.Active());  // only while selected
  ds->SetIndexName("Natural");
  EXPECT_THAT(View(*ds), ElementsAre(2, 3, 1));
  ds->AppendRecord({Variant(4), Variant("bb")});
  EXPECT_THAT(View(*ds), ElementsAre(2, 3, 4, 1));
  ds->SetIndexName("");
  // The store keeps the order the index gave it.
  EXPECT_THAT(View(*ds), ElementsAre(2, 3, 4, 1));
  EXPECT_EQ(ds->Store()->Rows()[0]->RecordID(), 2);
}

TEST(Indexes, MaintenanceOffLetsIndexesGoAndOnRebuildsThem) {
  auto ds = Table(Names({"b", "a"}));
  TRdaIndex& index = AddIndex(*ds, "ByName", "Name");
  ds->SetIndexName("ByName");
  ds->Indexes().SetMaintained(false);
  EXPECT_FALSE(index.Built());
  ds->AppendRecord({Variant(3), Variant("0")});
  ds->Indexes().SetMaintained(true);
  EXPECT_TRUE(index.Built());
  EXPECT_THAT(View(*ds), ElementsAre(3, 2, 1));
}

TEST(Indexes, ACalculatedKeyIsKeptInOrder) {
  auto ds = std::make_unique<TRdaDataSet>();
  ds->AddField("Id", ftInteger, 0);
  ds->CreateField("Id", ftInteger);
  ds->CreateField("Neg", ftInteger, 0, fkCalculated);
  ds->OnCalcFields = [](TDataSet& d) {
    d.FieldByName("Neg").SetAsInteger(-d.FieldByName("Id").AsInteger());
  };
  ds->Open();
  ds->SetVerifyEachChange(true);
  for (int i : {2, 5, 1}) ds->AppendRecord({Variant(i)});
  AddIndex(*ds, "ByNeg", "Neg");
  ds->SetIndexName("ByNeg");
  EXPECT_THAT(View(*ds), ElementsAre(5, 2, 1));
  ds->First();
  ds->Edit();
  ds->FieldByName("Id").SetAsInteger(0);
  ds->Post();
  EXPECT_THAT(View(*ds), ElementsAre(2, 1, 0));
  EXPECT_TRUE(ds->Locate("Neg", Variant(-2)));
}

TEST(Indexes, AssigningIndexesCopiesTheDefinitionsAndClosesTheDataset) {
  auto source = Table(Names({"b", "a"}));
  AddIndex(*source, "ByName", "Name", {ioDescending});
  AddIndex(*source, "Unused", "City", {ioNonMaintained});
  source->SetIndexName("ByName");
  auto target = Table(Names({"x", "z", "y"}));
  target->SetIndexes(source->Indexes());
  EXPECT_FALSE(target->Active());
  ASSERT_EQ(target->Indexes().Count(), 2);
  EXPECT_EQ(target->Indexes().Items(0).Fields(), "Name");
  EXPECT_EQ(target->Indexes().Items(0).Options(), TRdaIndexOptions{ioDescending});
  EXPECT_EQ(target->Indexes().Items(1).Options(), TRdaIndexOptions{ioNonMaintained});
  EXPECT_EQ(target->IndexName(), "");  // the selection is not copied
  target->Open();
  target->SetIndexName("ByName");
  EXPECT_THAT(View(*target), ElementsAre(2, 3, 1));
}

// ---------------------------------------------------------------------------
// Key searches

TEST(Indexes, FindKeyGotoKeyAndGotoNearest) {
  auto ds = Table({{1, "Ada", 1, "Oslo"},
                   {2, "Bob", 2, "Oslo"},
                   {3, "Eve", 3, "Bergen"},
                   {4, "bob", 4, "Bergen"}});
  AddIndex(*ds, "ByName", "Name", {ioCaseInsensitive});
  AddIndex(*ds, "ByCityName", "City;Name", {ioDescending});
  ds->SetIndexName("ByName");
  EXPECT_TRUE(ds->FindKey({Variant("BOB")}));
  EXPECT_EQ(ds->FieldByName("Id").AsInteger(), 2);  // the first of the equal keys
  EXPECT_FALSE(ds->FindKey({Variant("Carl")}));
  EXPECT_EQ(ds->FieldByName("Id").AsInteger(), 2);  // did not move
  ds->SetKey();
  ds->FieldByName("Name").SetAsString("Carl");
  EXPECT_FALSE(ds->GotoNearest());
  EXPECT_EQ(ds->FieldByName("Name").AsString(), "Eve");  // where "Carl" would go
  ds->EditKey();
  ds->FieldByName("Name").SetAsString("Zed");
  ds->GotoNearest();
  EXPECT_EQ(ds->FieldByName("Name").AsString(), "Eve");  // at most the last row

  ds->SetIndexName("ByCityName");
  EXPECT_THAT(View(*ds), ElementsAre(2, 1, 4, 3));
  // One value of two key fields: the first row of that city.
  EXPECT_TRUE(ds->FindKey({Variant("Bergen")}));
  EXPECT_EQ(ds->FieldByName("Id").AsInteger(), 4);
  EXPECT_TRUE(ds->FindKey({Variant("Oslo"), Variant("Ada")}));
  EXPECT_EQ(ds->FieldByName("Id").AsInteger(), 1);
  ds->SetKey();
  ds->FieldByName("City").SetAsString("Paris");
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { ds->FieldByName("Id").SetAsInteger(1); }),
            "T: Field 'Id' is not indexed and cannot be modified");
  ds->GotoNearest();  // descending: before "Oslo"
  EXPECT_EQ(ds->FieldByName("Id").AsInteger(), 2);
}

TEST(Indexes, SearchModesOnTheIndex) {
  auto ds = Table(Names({"a", "b", "b", "b", "c"}));
  TRdaIndex& index = AddIndex(*ds, "ByName", "Name");
  const TRdaDBListItem& third = *index.Row(2);  // the middle "b", RecordID 3
  int position = -1;
  EXPECT_EQ(index.SearchIndex(third, -1, 0, 0, position), 0);
  EXPECT_EQ(position, 1);
  EXPECT_EQ(index.SearchIndex(third, -1, 0, smLast, position), 0);
  EXPECT_EQ(position, 3);
  // Only rows the filter accepts.
  ds->OnFilterRecord = [](TDataSet& d, bool& accept) { accept = d.FieldByName("Id").AsInteger() != 2; };
  ds->SetFiltered(true);
  EXPECT_EQ(index.SearchIndex(third, -1, 0, smFiltered, position), 0);
  EXPECT_EQ(position, 2);
  ds->SetFiltered(false);
  // The key row itself passed over: its equals still match; alone, none.
  EXPECT_EQ(index.SearchIndex(third, -1, 0, smSkipKeyRow, position), 0);
  EXPECT_NE(index.Row(position), &third);
  const TRdaDBListItem& last = *index.Row(4);
  EXPECT_EQ(index.SearchIndex(last, -1, 0, smSkipKeyRow, position), 1);
  EXPECT_EQ(index.SearchIndex(last, -1, 0, smSkipKeyRow | smNearest, position), 1);
  EXPECT_EQ(position, 5);  // after the last row
}

TEST(Indexes, LocateSearchesThroughAnIndexWhereOneServes) {
  auto ds = Table(Names({"b", "a", "c", "a"}));
  AddIndex(*ds, "U", "Id", {ioUnique});
  AddIndex(*ds, "Folded", "Name", {ioCaseInsensitive});
  // A unique index not selected: the row is found and shown in the view.
  EXPECT_TRUE(ds->Locate("Id", Variant(3)));
  EXPECT_EQ(ds->RecNo(), 3);
  EXPECT_FALSE(ds->Locate("Id", Variant(9)));
  ds->SetIndexName("Folded");
  EXPECT_TRUE(ds->Locate("Name", Variant("A"), {loCaseInsensitive}));
  EXPECT_EQ(ds->FieldByName("Id").AsInteger(), 2);  // the first of the view
  EXPECT_TRUE(ds->Locate("Name", Variant("C"), {loCaseInsensitive, loPartialKey}));
  // A case-sensitive Locate does not take the case-insensitive index.
  EXPECT_FALSE(ds->Locate("Name", Variant("A")));
  EXPECT_TRUE(ds->Locate("Name", Variant("a")));
  EXPECT_EQ(ds->Lookup("Id", Variant(4), "Name"), Variant("a"));
}

// ---------------------------------------------------------------------------
// The row list

TEST(RowList, InsertsAndErasesAnywhereLikeAFlatArray) {
  std::mt19937 random(7);
  TRdaRowList list;
  std::vector<uintptr_t> model;
  auto row = [](uintptr_t v) { return reinterpret_cast<TRdaDBListItem*>(v * 8 + 8); };
  for (int step = 0; step < 20000; ++step) {
    const int count = static_cast<int>(model.size());
    if (count == 0 || random() % 3 != 0) {
      const int at = static_cast<int>(random() % static_cast<unsigned>(count + 1));
      list.Insert(at, {static_cast<uint64_t>(step), row(static_cast<uintptr_t>(step))});
      model.insert(model.begin() + at, static_cast<uintptr_t>(step));
    } else {
      const int at = static_cast<int>(random() % static_cast<unsigned>(count));
      list.Erase(at);
      model.erase(model.begin() + at);
    }
    if (step % 997 == 0) {
      ASSERT_EQ(list.Verify(), "");
      ASSERT_EQ(list.Count(), static_cast<int>(model.size()));
      for (size_t i = 0; i < model.size(); ++i) {
        ASSERT_EQ(list.At(static_cast<int>(i)), row(model[i])) << i;
      }
    }
  }
  // Erasing down to nothing merges and drops blocks.
  while (list.Count() > 0) list.Erase(list.Count() / 2);
  EXPECT_EQ(list.Verify(), "");
}

// The tree's edges: lists built whole at the sizes where a level begins,
// then grown at the front (every first entry above changes) and at the
// back, and emptied from the front, the back and the middle, so that nodes
// split, join and leave at every level; new keys for every entry keep the
// first entries above in step.
TEST(RowList, SplitsJoinsAndFirstEntriesHoldAtTheEdgesOfEachLevel) {
  auto row = [](uint64_t v) { return reinterpret_cast<TRdaDBListItem*>(v * 8 + 8); };
  const int leaf = TRdaRowList::kLeafCapacity * 3 / 4;  // a leaf filled by Assign
  const int fan = TRdaRowList::kFanout * 3 / 4;
  for (const int size : {0, 1, leaf, leaf + 1, leaf * fan, leaf * fan + 1, leaf * fan * fan + 1}) {
    for (int way = 0; way < 3; ++way) {
      SCOPED_TRACE(testing::Message() << size << " entries, way " << way);
      TRdaRowList list;
      std::vector<uint64_t> model;
      std::vector<TRdaRowRef> refs;
      for (int i = 0; i < size; ++i) {
        refs.push_back({uint64_t{1} << 40 | static_cast<uint64_t>(i), row(static_cast<uint64_t>(i))});
        model.push_back(refs.back().Key);
      }
      list.Assign(refs);
      ASSERT_EQ(list.Verify(), "");
      auto check = [&] {
        ASSERT_EQ(list.Verify(), "");
        ASSERT_EQ(list.Count(), static_cast<int>(model.size()));
        std::vector<uint64_t> seen;
        list.ForEach([&](const TRdaRowRef& r) { seen.push_back(r.Key); });
        ASSERT_EQ(seen, model);
        if (!model.empty()) {
          EXPECT_EQ(list.Back().Key, model.back());
        }
      };
      // Grown by two leaves' worth at the front and at the back.
      std::vector<uint64_t> front;
      for (uint64_t k = 2 * TRdaRowList::kLeafCapacity; k-- > 0;) {
        list.Insert(0, {k, row(k)});
        front.push_back(k);
        const uint64_t last = uint64_t{2} << 40 | (2 * TRdaRowList::kLeafCapacity - k);
        list.Insert(list.Count(), {last, row(k)});
        model.push_back(last);
      }
      std::reverse(front.begin(), front.end());
      model.insert(model.begin(), front.begin(), front.end());
      check();
      list.ForEachKey([](TRdaRowRef& r) { r.Key = r.Key * 2 + 1; });
      for (uint64_t& k : model) k = k * 2 + 1;
      check();
      // Emptied one way; each search still lands where a flat array says.
      while (!model.empty()) {
        const int at = way == 0 ? 0 : way == 1 ? static_cast<int>(model.size()) - 1 : static_cast<int>(model.size()) / 2;
        list.Erase(at);
        model.erase(model.begin() + at);
        if (model.size() % 61 == 0) {
          check();
          const uint64_t key = model.empty() ? 0 : model[model.size() / 3];
          EXPECT_EQ(list.LowerBound(key, true, [&](const TRdaRowRef& e) { return e.Key < key; }),
                    model.empty() ? 0 : static_cast<int>(model.size() / 3));
        }
      }
      check();
    }
  }
}

// Kept in key order by its own search, through splits and merges, against
// std::lower_bound on a sorted array: the position found (by the keys alone
// or by the call) and the entry then inserted there.
TEST(RowList, LowerBoundKeepsKeyOrderThroughSplitsAndMerges) {
  std::mt19937 random(5);
  TRdaRowList list;
  std::vector<uint64_t> model;
  auto check = [&] {
    ASSERT_EQ(list.Verify(), "");
    ASSERT_EQ(list.Count(), static_cast<int>(model.size()));
    for (size_t i = 0; i < model.size(); ++i) ASSERT_EQ(list.RefAt(static_cast<int>(i)).Key, model[i]) << i;
  };
  // Grows (one erase in five), then shrinks at random places to a few rows.
  for (int step = 0; step < 40000 && (step < 20000 || model.size() > 10); ++step) {
    // Few distinct keys, so that equal keys meet the call.
    const uint64_t key = random() % 4000;
    const bool useKeys = step % 2 == 0;
    const int at = list.LowerBound(key, useKeys, [&](const TRdaRowRef& e) { return e.Key < key; });
    const auto expected = std::lower_bound(model.begin(), model.end(), key);
    ASSERT_EQ(at, expected - model.begin()) << step;
    if (step < 20000 && step % 5 != 0) {
      list.Insert(at, {key, reinterpret_cast<TRdaDBListItem*>(uintptr_t{8} * (key + 1))});
      model.insert(expected, key);
    } else if (!model.empty()) {
      const int gone = static_cast<int>(random() % model.size());
      list.Erase(gone);
      model.erase(model.begin() + gone);
    }
    if (step % 499 == 0) check();
  }
  check();
}

}  // namespace
}  // namespace rda
