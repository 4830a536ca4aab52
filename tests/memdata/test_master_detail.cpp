// Master/detail: the detail filter, the link's reactions to the master, new
// detail rows, the circular reference check, and a logged detail undone
// across masters.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "DataSetTestUtil.h"
#include "memdata/RdaAuditDataSet.h"

namespace rda {
namespace {

// Customers: Id, Code (text); opened with the rows given.
std::unique_ptr<TRdaDataSet> Masters(const std::vector<std::pair<int, std::string>>& rows) {
  auto ds = std::make_unique<TRdaDataSet>();
  ds->AddField("Id", ftInteger, 0);
  ds->AddField("Code", ftString, 10);
  ds->Open();
  for (const auto& [id, code] : rows) ds->AppendRecord({Variant(id), Variant(code)});
  ds->First();
  return ds;
}

// Orders: Id, CustCode (text), Qty; the rows given as (id, code).
template <class DataSet = TRdaDataSet>
std::unique_ptr<DataSet> Details(const std::vector<std::pair<int, std::string>>& rows) {
  auto ds = std::make_unique<DataSet>();
  ds->AddField("Id", ftInteger, 0);
  ds->AddField("CustCode", ftString, 10);
  ds->AddField("Qty", ftInteger, 0);
  ds->Open();
  for (const auto& [id, code] : rows) ds->AppendRecord({Variant(id), Variant(code), Variant(id * 10)});
  return ds;
}

struct Link {
  std::unique_ptr<TRdaDataSet> master = Masters({{1, "abc"}, {2, "XY"}, {3, "none"}});
  std::unique_ptr<TRdaDataSet> detail =
      Details({{10, "ABC"}, {11, "xy"}, {12, "abc"}, {13, "Xy"}, {14, "abd"}, {15, "aBc"}});
  TDataSource source{master.get()};

  Link() {
    detail->SetMasterFields("Code");
    detail->SetDetailFilter("CustCode");
    detail->SetMasterSource(&source);
  }
};

TEST(MasterDetail, DetailShowsTheRowsOfTheMasterRecordIgnoringCase) {
  Link link;
  EXPECT_TRUE(link.detail->DetailFilterActive());
  EXPECT_EQ(test::Ids(*link.detail), (std::vector<int>{10, 12, 15}));
  link.master->Next();  // "XY", the detail having walked to its end
  EXPECT_EQ(link.detail->FieldByName("Id").AsInteger(), 11);  // from the first row
  EXPECT_EQ(test::Ids(*link.detail), (std::vector<int>{11, 13}));
  link.master->Next();  // "none"
  EXPECT_TRUE(link.detail->IsEmpty());
  link.master->First();
  EXPECT_EQ(link.detail->FieldByName("Id").AsInteger(), 10);  // from the first row
}

TEST(MasterDetail, FilterIsOffUntilAllThreeAreSet) {
  Link link;
  link.detail->SetDetailFilter("");
  EXPECT_FALSE(link.detail->DetailFilterActive());
  link.detail->Refresh();
  EXPECT_EQ(test::Ids(*link.detail).size(), 6u);
  link.detail->SetDetailFilter("CustCode");
  link.detail->SetMasterSource(nullptr);
  EXPECT_FALSE(link.detail->DetailFilterActive());
}

TEST(MasterDetail, NewDetailRowsTakeTheMasterValues) {
  Link link;
  link.master->Next();
  link.detail->Append();
  EXPECT_EQ(link.detail->FieldByName("CustCode").AsString(), "XY");
  link.detail->FieldByName("Id").SetAsInteger(16);
  link.detail->Post();
  EXPECT_EQ(test::Ids(*link.detail), (std::vector<int>{11, 13, 16}));
}

TEST(MasterDetail, IntegerKeysAndAnIndexedDetail) {
  auto master = Masters({{1, "a"}, {2, "b"}});
  auto detail = std::make_unique<TRdaDataSet>();
  detail->AddField("Id", ftInteger, 0);
  detail->AddField("CustId", ftLargeint, 0);
  detail->Open();
  for (int i : {30, 20, 10, 25}) detail->AppendRecord({Variant(i), Variant(int64_t{i == 25 ? 2 : 1})});
  TDataSource source(master.get());
  detail->SetMasterFields("Id");
  detail->SetDetailFilter("CustId");
  detail->SetMasterSource(&source);
  detail->SetIndexFieldNames("Id");
  EXPECT_EQ(test::Ids(*detail), (std::vector<int>{10, 20, 30}));
  master->Next();
  EXPECT_EQ(test::Ids(*detail), (std::vector<int>{25}));
  detail->Append();
  EXPECT_EQ(detail->FieldByName("CustId").AsLargeInt(), 2);
  detail->Cancel();
  // Ordered by the detail field: the index finds where the master's rows
  // begin, and the view is the same.
  detail->SetIndexFieldNames("CustId;Id");
  master->First();
  EXPECT_EQ(detail->FieldByName("Id").AsInteger(), 10);
  EXPECT_EQ(test::Ids(*detail), (std::vector<int>{10, 20, 30}));
  master->Next();
  EXPECT_EQ(detail->FieldByName("Id").AsInteger(), 25);
  EXPECT_EQ(test::Ids(*detail), (std::vector<int>{25}));
}

// The Id column walking back from the last row.
std::vector<int> IdsBackwards(TDataSet& ds) {
  std::vector<int> ids;
  for (ds.Last(); !ds.Bof(); ds.Prior()) ids.push_back(ds.FieldByName("Id").AsInteger());
  return ids;
}

// Ordered by the detail field without regard to case, the master's rows
// stand together: walking either way ends at their edge, and a master text
// whose case variants do not stand together (letters beyond ASCII) is
// still found in full.
TEST(MasterDetail, AnOrderedDetailEndsWhereTheMasterRowsDo) {
  Link link;
  link.detail->AppendRecord({Variant(16), Variant("\xC4rger"), Variant(0)});
  link.detail->AppendRecord({Variant(17), Variant("\xD6zil"), Variant(0)});
  link.detail->AppendRecord({Variant(18), Variant("\xE4rger"), Variant(0)});
  link.master->AppendRecord({Variant(4), Variant("\xE4rger")});
  TRdaIndex& byCode = link.detail->Indexes().Add();
  byCode.SetName("ByCode");
  byCode.SetFields("CustCode");
  byCode.SetOptions({ioCaseInsensitive});
  link.detail->SetIndexName("ByCode");
  const std::vector<std::pair<std::vector<int>, std::vector<int>>> expected = {
      {{10, 12, 15}, {15, 12, 10}}, {{11, 13}, {13, 11}}, {{}, {}}, {{16, 18}, {18, 16}}};
  link.master->First();
  for (const auto& [forwards, backwards] : expected) {
    SCOPED_TRACE(link.master->FieldByName("Code").AsString());
    // after the move, on the first of the master's rows
    if (!forwards.empty()) {
      EXPECT_EQ(link.detail->FieldByName("Id").AsInteger(), forwards.front());
    }
    EXPECT_EQ(test::Ids(*link.detail), forwards);
    EXPECT_EQ(IdsBackwards(*link.detail), backwards);
    link.master->Next();
  }
  // A detail row whose key moves into the master's rows is part of them.
  link.master->First();
  link.detail->First();
  link.detail->Edit();
  link.detail->FieldByName("Qty").SetAsInteger(1);
  link.detail->Post();
  link.master->Next();  // "XY"
  link.detail->First();
  link.detail->Edit();
  link.detail->FieldByName("CustCode").SetAsString("ABC");
  link.detail->Post();
  link.master->First();
  EXPECT_EQ(test::Ids(*link.detail), (std::vector<int>{10, 11, 12, 15}));
  EXPECT_EQ(IdsBackwards(*link.detail), (std::vector<int>{15, 12, 11, 10}));
}

TEST(MasterDetail, MasterMovingPostsThePendingDetailEdit) {
  Link link;
  link.detail->Edit();
  link.detail->FieldByName("Qty").SetAsInteger(999);
  link.master->Next();
  EXPECT_EQ(link.detail->State(), dsBrowse);
  link.master->First();
  EXPECT_TRUE(link.detail->Locate("Id", Variant(10)));
  EXPECT_EQ(link.detail->FieldByName("Qty").AsInteger(), 999);
}

TEST(MasterDetail, MasterEditsReachTheDetailAtThePost) {
  Link link;
  link.master->Edit();
  link.detail->Last();
  link.master->FieldByName("Code").SetAsString("xy");
  EXPECT_EQ(link.detail->FieldByName("Id").AsInteger(), 15);  // not refreshed yet
  link.master->Post();
  EXPECT_EQ(link.detail->FieldByName("Id").AsInteger(), 11);
  EXPECT_EQ(test::Ids(*link.detail), (std::vector<int>{11, 13}));
}

TEST(MasterDetail, LinkFollowsTheMasterOpeningAndItsFieldNames) {
  Link link;
  link.master->Close();
  link.master->Open();
  EXPECT_EQ(test::Ids(*link.detail), (std::vector<int>{10, 12, 15}));
  link.master->Next();
  link.detail->SetMasterFields("Id");  // "2" in CustCode: none
  link.detail->Refresh();
  EXPECT_TRUE(link.detail->IsEmpty());
}

TEST(MasterDetail, CircularReferenceIsRefused) {
  auto a = Masters({{1, "x"}});
  auto b = Masters({{1, "x"}});
  auto c = Masters({{1, "x"}});
  TDataSource sa(a.get()), sb(b.get()), sc(c.get());
  EXPECT_EQ(test::MessageOf<EDatabaseError>([&] { a->SetMasterSource(&sa); }),
            "Circular Reference to DataSource");
  b->SetMasterSource(&sa);
  c->SetMasterSource(&sb);
  EXPECT_EQ(test::MessageOf<EDatabaseError>([&] { a->SetMasterSource(&sc); }),
            "Circular Reference to DataSource");
  EXPECT_EQ(a->MasterSource(), nullptr);
}

// Undoing reaches the rows of every master, not only those in view.
TEST(MasterDetail, CancelUpdatesOfALoggedDetailAcrossMasters) {
  auto master = Masters({{1, "abc"}, {2, "XY"}});
  auto detail = Details<TRda2AuditDataset>({{10, "abc"}, {11, "xy"}, {12, "abc"}});
  detail->ClearLog();  // the rows to start from
  TDataSource source(master.get());
  detail->SetMasterFields("Code");
  detail->SetDetailFilter("CustCode");
  detail->SetMasterSource(&source);
  detail->Delete();  // 10
  master->Next();
  detail->Edit();
  detail->FieldByName("Qty").SetAsInteger(1);
  detail->Post();
  detail->AppendRecord({Variant(13)});
  detail->CancelUpdates();

  EXPECT_EQ(test::Ids(*detail), (std::vector<int>{11}));
  EXPECT_EQ(detail->FieldByName("Qty").AsInteger(), 110);
  master->First();
  EXPECT_EQ(test::Ids(*detail), (std::vector<int>{10, 12}));
}

}  // namespace
}  // namespace rda
