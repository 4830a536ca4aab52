// Bulk brackets and copying: AppendFrom with row limits, fields and kept
// bookmarks, CloneFrom with definitions, CopyStructure, and the closing
// steps after an error.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "memdata/RdaCustomDataSet.h"
#include "tests/memdata/DataSetTestUtil.h"

namespace rda {
namespace {

using test::Ids;
using test::MessageOf;
using test::People;

std::unique_ptr<TRdaDataSet> Source(int rows) {
  auto ds = std::make_unique<TRdaDataSet>();
  ds->AddField("Id", ftInteger, 0);
  ds->AddField("Name", ftString, 20);
  ds->AddField("Note", ftMemo, 0);
  ds->AddField("Big", ftLargeint, 0);
  ds->AddField("Wide", ftWideString, 10);
  ds->Open();
  for (int i = 1; i <= rows; ++i) {
    ds->Append();
    ds->FieldByName("Id").SetAsInteger(i);
    ds->FieldByName("Name").SetAsString("name " + std::to_string(i));
    ds->FieldByName("Note").SetAsString("note " + std::to_string(i));
    if (i % 2 == 0) ds->FieldByName("Big").SetAsLargeInt(int64_t{1} << 40);
    static_cast<TWideStringField&>(ds->FieldByName("Wide")).SetAsWideString(u"\u4E2D" + std::u16string(1, u'0' + i % 10));
    ds->Post();
  }
  return ds;
}

TEST(DataSetCopy, AppendFromStopsAtTheRowLimitAndLeavesTheSourceWhereItWas) {
  auto source = Source(25);
  source->SetRecNo(7);
  TRdaDataSet target;
  target.CloneFrom(*source, -1, {}, {}, true, false);
  EXPECT_EQ(target.RecordCount(), 0);
  target.AppendFrom(*source, true, 10);
  EXPECT_EQ(target.RecordCount(), 10);
  EXPECT_EQ(source->RecNo(), 7);
  EXPECT_FALSE(source->ControlsDisabled());
  EXPECT_EQ(target.FieldByName("Id").AsInteger(), 1);  // on its first row

  auto four = Source(4);
  four->AppendFrom(*source, true, 10);
  EXPECT_EQ(four->RecordCount(), 10);
  four->Last();
  EXPECT_EQ(four->FieldByName("Id").AsInteger(), 6);
  EXPECT_EQ(source->RecNo(), 7);
}

TEST(DataSetCopy, FieldsAreCopiedByNameAndLargeValuesOnlyWithAllFields) {
  auto source = Source(3);
  TRdaDataSet target;
  target.AddField("Wide", ftWideString, 10);
  target.AddField("Big", ftLargeint, 0);
  target.AddField("Note", ftMemo, 0);
  target.AddField("Id", ftInteger, 0);
  target.AddField("Extra", ftString, 5);
  target.Open();
  target.AppendFrom(*source, false);
  ASSERT_EQ(target.RecordCount(), 3);
  EXPECT_EQ(Ids(target), (std::vector<int>{1, 2, 3}));
  target.First();
  EXPECT_TRUE(target.FieldByName("Note").IsNull());
  EXPECT_EQ(target.BlobStore().Count(), 0);
  // A null 64-bit integer arrives as 0; wide texts keep every character.
  EXPECT_FALSE(target.FieldByName("Big").IsNull());
  EXPECT_EQ(target.FieldByName("Big").AsLargeInt(), 0);
  EXPECT_EQ(static_cast<TWideStringField&>(target.FieldByName("Wide")).AsWideString(), u"\u4E2D1");
  EXPECT_TRUE(target.FieldByName("Extra").IsNull());

  target.EmptyDataSet();
  target.AppendFrom(*source);
  target.Last();
  EXPECT_EQ(target.FieldByName("Note").AsString(), "note 3");
  EXPECT_EQ(target.FieldByName("Big").AsLargeInt(), 0);
  target.Prior();
  EXPECT_EQ(target.FieldByName("Big").AsLargeInt(), int64_t{1} << 40);
}

TEST(DataSetCopy, KeptBookmarksGiveTheSourcesIdentities) {
  auto source = Source(6);
  source->First();
  source->Delete();  // identities 2..6
  source->Next();
  source->Delete();  // 2, 4, 5, 6
  TRdaDataSet target;
  target.CloneFrom(*source, -1, {}, {}, true, true, true);
  std::vector<int32_t> ids;
  for (target.First(); !target.Eof(); target.Next()) ids.push_back(target.CurrentRecordID());
  EXPECT_EQ(ids, (std::vector<int32_t>{2, 4, 5, 6}));
  target.AppendRecord({Variant(99)});
  EXPECT_EQ(target.CurrentRecordID(), 7);
  // Into rows that already hold one of them.
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { target.AppendFrom(*source, true, -1, true, true); }),
            "Bookmark 2 is already in use");
  EXPECT_EQ(target.BulkDepth(), 0);
  EXPECT_EQ(target.VerifyIndexesAndAggregates(), "");
}

TEST(DataSetCopy, CloneFromTakesStructureDefinitionsAndRows) {
  auto source = People({{3, "Grace"}, {1, "Ada"}, {2, "Edsger"}});
  TRdaIndex& byName = source->Indexes().Add();
  byName.SetName("ByName");
  byName.SetFields("Name");
  byName.SetOptions({});
  TRdaAggregate& total = source->Aggregates().Add();
  total.SetFieldName("Score");
  total.SetAggKind(akSum);
  total.SetActive(true);
  source->Constraints().Add().CustomConstraint = "";

  TRdaDataSet clone;
  clone.AddField("Old", ftInteger, 0);
  clone.CloneFrom(*source);
  EXPECT_EQ(clone.FastFields(), (std::vector<std::string>{"Id,3,0", "Name,1,20", "Score,6,0"}));
  EXPECT_EQ(clone.RecordCount(), 3);
  ASSERT_EQ(clone.Indexes().Count(), 1);
  clone.SetIndexName("ByName");
  EXPECT_EQ(Ids(clone), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(clone.Aggregates().Items(0).Value(), Variant(9.0));
  EXPECT_EQ(clone.Constraints().Count(), 1);

  // With field lists: only those fields, no definitions.
  TRdaDataSet some;
  some.CloneFrom(*source, 2, {"score"}, {"Id", "Score", "Name"});
  EXPECT_EQ(some.FastFields(), (std::vector<std::string>{"Id,3,0", "Name,1,20"}));
  EXPECT_EQ(some.RecordCount(), 2);
  EXPECT_EQ(some.Indexes().Count(), 0);
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { some.CloneFrom(some); }),
            "A dataset cannot be cloned from itself");
}

TEST(DataSetCopy, CopyStructureAppendsLinesUnlessTheFieldsMatch) {
  auto source = Source(1);
  TRdaDataSet target;
  target.CopyStructure(*source, false);
  EXPECT_EQ(target.FastFields(),
            (std::vector<std::string>{"Id,3,0", "Name,1,20", "Note,16,0", "Big,25,0", "Wide,1,10"}));
  // Matching fields change nothing; with rebuild the lines go.
  auto same = Source(1);
  const std::vector<std::string> before = same->FastFields();
  same->CopyStructure(*source, false);
  EXPECT_EQ(same->FastFields(), before);
  same->CopyStructure(*source, true);
  EXPECT_TRUE(same->FastFields().empty());
  // Different fields with rebuild: the structure goes first.
  auto people = People({{1, "Ada"}});
  people->CopyStructure(*source, true);
  EXPECT_FALSE(people->Active());
  EXPECT_EQ(people->FieldCount(), 0);
  EXPECT_EQ(people->FastFields().size(), 5u);
  people->Open();
  EXPECT_EQ(people->RecordCount(), 0);
}

TEST(DataSetCopy, BulkBracketsNestAndRebuildOnlyAtTheOutermostEnd) {
  auto ds = People({{2, "b"}, {1, "a"}});
  TRdaIndex& byId = ds->Indexes().Add();
  byId.SetName("ById");
  byId.SetFields("Id");
  byId.SetOptions({});
  ds->SetIndexName("ById");
  TRdaAggregate& count = ds->Aggregates().Add();
  count.SetAggKind(akCount);
  count.SetActive(true);
  ASSERT_TRUE(byId.Built());

  ds->BeginBulk();
  ds->BeginBulk();
  EXPECT_TRUE(ds->ConstraintsDisabled());
  EXPECT_TRUE(ds->ControlsDisabled());
  ds->AppendRecord({Variant(0), Variant("z")});
  EXPECT_FALSE(byId.Built());
  EXPECT_FALSE(count.Computed());
  ds->EndBulk();
  EXPECT_FALSE(byId.Built());
  EXPECT_FALSE(count.Computed());
  EXPECT_TRUE(ds->ConstraintsDisabled());
  ds->EndBulk();
  EXPECT_TRUE(byId.Built());
  EXPECT_TRUE(count.Computed());
  EXPECT_EQ(count.Value(), Variant(3));
  EXPECT_FALSE(ds->ConstraintsDisabled());
  EXPECT_FALSE(ds->ControlsDisabled());
  EXPECT_EQ(Ids(*ds), (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(ds->VerifyIndexesAndAggregates(), "");
}

TEST(DataSetCopy, AFailingCopyStillRunsTheClosingSteps) {
  auto source = Source(5);
  source->SetRecNo(4);
  TRdaDataSet target;
  target.CloneFrom(*source, -1, {}, {}, true, false);
  TRdaIndex& byName = target.Indexes().Add();
  byName.SetName("ByName");
  byName.SetFields("Name");
  byName.SetOptions({ioDescending});
  target.SetIndexName("ByName");
  int posts = 0;
  target.BeforePost = [&posts](TDataSet&) {
    if (++posts == 3) throw EDatabaseError("third row refused");
  };
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { target.AppendFrom(*source); }), "third row refused");
  EXPECT_EQ(target.State(), dsBrowse);
  EXPECT_EQ(target.RecordCount(), 2);
  EXPECT_EQ(target.BulkDepth(), 0);
  EXPECT_FALSE(target.ControlsDisabled());
  EXPECT_TRUE(byName.Built());
  EXPECT_EQ(source->RecNo(), 4);
  EXPECT_FALSE(source->ControlsDisabled());
  EXPECT_EQ(target.BlobStore().Count(), 2);  // the refused row's memo went with it
}

}  // namespace
}  // namespace rda
