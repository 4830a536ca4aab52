// The dataset framework driven through the memory dataset: events, states,
// navigation, bookmarks, searching, filtering, structure and data links.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#include "base/ByteIO.h"
#include "tests/memdata/DataSetTestUtil.h"

namespace rda {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using test::Ids;
using test::MessageOf;
using test::People;

// ---------------------------------------------------------------------------
// Events

struct EventCase {
  const char* name;
  std::function<void(TRdaDataSet&)> action;
  std::vector<std::string> expected;
};

TEST(DataSetEvents, EachOperationRunsItsEventsInTheFrameworksOrder) {
  const std::vector<EventCase> cases = {
      {"Close", [](TRdaDataSet& ds) { ds.Close(); }, {"BeforeClose", "AfterClose"}},
      {"Next", [](TRdaDataSet& ds) { ds.Next(); }, {"BeforeScroll", "AfterScroll"}},
      {"Last", [](TRdaDataSet& ds) { ds.Last(); }, {"BeforeScroll", "AfterScroll"}},
      {"Insert",
       [](TRdaDataSet& ds) { ds.Insert(); },
       {"BeforeInsert", "BeforeScroll", "OnNewRecord", "AfterInsert", "AfterScroll"}},
      {"Insert+Post",
       [](TRdaDataSet& ds) {
         ds.Insert();
         ds.FieldByName("Id").SetAsInteger(9);
         ds.Post();
       },
       {"BeforeInsert", "BeforeScroll", "OnNewRecord", "AfterInsert", "AfterScroll",
        "BeforePost", "AfterPost"}},
      {"Insert+Cancel",
       [](TRdaDataSet& ds) {
         ds.Insert();
         ds.Cancel();
       },
       {"BeforeInsert", "BeforeScroll", "OnNewRecord", "AfterInsert", "AfterScroll",
        "BeforeCancel", "AfterCancel"}},
      {"Edit+Post",
       [](TRdaDataSet& ds) {
         ds.Edit();
         ds.FieldByName("Id").SetAsInteger(9);
         ds.Post();
       },
       {"BeforeEdit", "AfterEdit", "BeforePost", "AfterPost"}},
      {"Delete",
       [](TRdaDataSet& ds) { ds.Delete(); },
       {"BeforeDelete", "BeforeScroll", "AfterDelete", "AfterScroll"}},
      // Moving with a modified edit posts it first; an untouched one is cancelled.
      {"Edit modified+Next",
       [](TRdaDataSet& ds) {
         ds.Edit();
         ds.FieldByName("Id").SetAsInteger(9);
         ds.Next();
       },
       {"BeforeEdit", "AfterEdit", "BeforePost", "AfterPost", "BeforeScroll", "AfterScroll"}},
      {"Edit untouched+Next",
       [](TRdaDataSet& ds) {
         ds.Edit();
         ds.Next();
       },
       {"BeforeEdit", "AfterEdit", "BeforeCancel", "AfterCancel", "BeforeScroll",
        "AfterScroll"}},
      // Next on the last row still scrolls (and finds the end); Next at Eof does nothing.
      {"Next past end",
       [](TRdaDataSet& ds) {
         ds.Next();
         ds.Next();
         ds.Next();
       },
       {"BeforeScroll", "AfterScroll", "BeforeScroll", "AfterScroll", "BeforeScroll"}},
  };
  for (const EventCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto ds = People({{1, "a"}, {2, "b"}});
    ds->First();
    std::vector<std::string> log;
    test::RecordEvents(*ds, log);
    c.action(*ds);
    EXPECT_EQ(log, c.expected);
  }
}

TEST(DataSetEvents, OpenRunsAfterScrollOnlyWhenThereIsARecord) {
  for (bool withRows : {false, true}) {
    auto ds = People(withRows ? std::vector<std::pair<int, std::string>>{{1, "a"}}
                              : std::vector<std::pair<int, std::string>>{});
    ds->Close();
    std::vector<std::string> log;
    test::RecordEvents(*ds, log);
    ds->Open();
    std::vector<std::string> expected = {"BeforeOpen", "AfterOpen"};
    if (withRows) expected.push_back("AfterScroll");
    EXPECT_EQ(log, expected) << withRows;
  }
}

TEST(DataSetEvents, EditOfAnEmptyDataSetInserts) {
  auto ds = People({});
  std::vector<std::string> log;
  test::RecordEvents(*ds, log);
  ds->Edit();
  EXPECT_EQ(ds->State(), dsInsert);
  EXPECT_EQ(log.front(), "BeforeInsert");
}

TEST(DataSetEvents, AnEventThatRaisesStopsTheOperation) {
  auto ds = People({{1, "a"}});
  ds->BeforePost = [](TDataSet&) { throw EDatabaseError("refused"); };
  ds->Edit();
  ds->FieldByName("Id").SetAsInteger(5);
  EXPECT_THROW(ds->Post(), EDatabaseError);
  EXPECT_EQ(ds->State(), dsEdit);
  ds->Cancel();
  EXPECT_EQ(ds->FieldByName("Id").AsInteger(), 1);
}

// ---------------------------------------------------------------------------
// States and their errors

TEST(DataSetStates, OperationsOutsideTheirStatesFailWithTheFrameworksTexts) {
  auto ds = People({{1, "a"}});
  ds->SetName("People");
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { ds->FieldByName("Id").SetAsInteger(2); }),
            "People: DataSet Not in Edit or Insert Mode");
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { ds->Post(); }),
            "People: Dataset not in edit or insert mode");
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { ds->FieldByName("Nope"); }),
            "People: Field 'Nope' not found");
  ds->Delete();
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { ds->Delete(); }),
            "People: Cannot perform this operation on an empty dataset");
  ds->Close();
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { ds->Next(); }),
            "People: Cannot perform this operation on a closed dataset");
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { ds->Insert(); }),
            "People: Cannot perform this operation on a closed dataset");
}

TEST(DataSetStates, ReadOnlyDataSetRefusesEveryChange) {
  auto ds = People({{1, "a"}});
  ds->SetReadOnly(true);
  for (auto op : std::vector<std::function<void()>>{[&] { ds->Edit(); }, [&] { ds->Insert(); },
                                                    [&] { ds->Append(); }, [&] { ds->Delete(); }}) {
    EXPECT_EQ(MessageOf<EDatabaseError>(op), "Cannot modify a read-only dataset");
    EXPECT_EQ(ds->State(), dsBrowse);
  }
  EXPECT_EQ(ds->RecordCount(), 1);
}

TEST(DataSetStates, PostErrorHandlerCanRetryAbortOrFail) {
  TRdaDataSet ds;
  ds.CreateField("Id", ftInteger).SetRequired(true);
  ds.Open();
  int calls = 0;
  ds.OnPostError = [&](TDataSet& d, EDatabaseError& e, TDataAction& action) {
    EXPECT_STREQ(e.what(), "Field 'Id' must have a value");
    if (++calls == 1) {
      d.FieldByName("Id").SetAsInteger(7);  // mend it and try again
      action = daRetry;
    }
  };
  ds.Append();
  ds.Post();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(ds.FieldByName("Id").AsInteger(), 7);

  ds.OnPostError = [](TDataSet&, EDatabaseError&, TDataAction& action) { action = daAbort; };
  ds.Append();
  EXPECT_THROW(ds.Post(), EAbort);
  EXPECT_EQ(ds.State(), dsInsert);
  ds.OnPostError = nullptr;
  EXPECT_THROW(ds.Post(), EDatabaseError);
  ds.Cancel();
  EXPECT_EQ(ds.RecordCount(), 1);
}

TEST(DataSetStates, CloseDropsAPendingInsert) {
  auto ds = People({{1, "a"}});
  ds->Append();
  ds->FieldByName("Id").SetAsInteger(2);
  ds->Close();
  ds->Open();
  EXPECT_EQ(ds->RecordCount(), 1);
}

// ---------------------------------------------------------------------------
// Navigation

TEST(DataSetNavigation, EmptyDataSetIsAtBothEnds) {
  auto ds = People({});
  for (auto move : std::vector<std::function<void()>>{[&] { ds->First(); }, [&] { ds->Last(); },
                                                      [&] { ds->Next(); }, [&] { ds->Prior(); }}) {
    move();
    EXPECT_TRUE(ds->Bof());
    EXPECT_TRUE(ds->Eof());
    EXPECT_TRUE(ds->IsEmpty());
    EXPECT_EQ(ds->RecNo(), 0);
    EXPECT_EQ(ds->RecordCount(), 0);
    EXPECT_TRUE(ds->FieldByName("Id").IsNull());
  }
}

TEST(DataSetNavigation, MovesStopAtTheEndsAndReportTheDistance) {
  auto ds = People({{1, "a"}, {2, "b"}, {3, "c"}, {4, "d"}, {5, "e"}});
  ds->First();
  EXPECT_TRUE(ds->Bof());
  ds->Prior();
  EXPECT_TRUE(ds->Bof());
  EXPECT_EQ(ds->RecNo(), 1);
  EXPECT_EQ(ds->MoveBy(10), 4);
  EXPECT_TRUE(ds->Eof());
  EXPECT_EQ(ds->RecNo(), 5);
  EXPECT_EQ(ds->FieldByName("Id").AsInteger(), 5);
  EXPECT_EQ(ds->MoveBy(1), 0);
  EXPECT_EQ(ds->MoveBy(-10), -4);
  EXPECT_TRUE(ds->Bof());
  EXPECT_FALSE(ds->Eof());
  ds->SetRecNo(3);
  EXPECT_EQ(ds->FieldByName("Id").AsInteger(), 3);
  EXPECT_FALSE(ds->Bof());
  ds->SetRecNo(99);
  EXPECT_EQ(ds->RecNo(), 5);
  ds->Last();
  EXPECT_TRUE(ds->Eof());
  ds->Prior();
  EXPECT_EQ(ds->FieldByName("Id").AsInteger(), 4);
}

TEST(DataSetNavigation, InsertGoesBeforeTheCurrentRowAndAppendAtTheEnd) {
  auto ds = People({{1, "a"}, {2, "b"}, {3, "c"}});
  ds->SetRecNo(2);
  ds->InsertRecord({Variant(10), Variant("x")});
  EXPECT_EQ(ds->RecNo(), 2);
  EXPECT_EQ(ds->FieldByName("Id").AsInteger(), 10);
  ds->First();
  ds->Insert();
  ds->FieldByName("Id").SetAsInteger(11);
  ds->Post();
  EXPECT_EQ(ds->RecNo(), 1);
  ds->AppendRecord({Variant(12)});
  EXPECT_EQ(ds->RecNo(), 6);
  EXPECT_THAT(Ids(*ds), ElementsAre(11, 1, 10, 2, 3, 12));
  // Deleting the last row lands on the new last one.
  ds->Last();
  ds->Delete();
  EXPECT_EQ(ds->FieldByName("Id").AsInteger(), 3);
  ds->First();
  ds->Delete();
  EXPECT_EQ(ds->FieldByName("Id").AsInteger(), 1);
}

TEST(DataSetNavigation, CancelledInsertShowsTheRowItStartedOn) {
  auto ds = People({{1, "a"}, {2, "b"}, {3, "c"}});
  ds->SetRecNo(2);
  ds->Insert();
  ds->FieldByName("Id").SetAsInteger(10);
  ds->Cancel();
  EXPECT_EQ(ds->FieldByName("Id").AsInteger(), 2);
  ds->Append();
  ds->Cancel();
  EXPECT_EQ(ds->FieldByName("Id").AsInteger(), 3);
  EXPECT_EQ(ds->RecordCount(), 3);
}

// ---------------------------------------------------------------------------
// Structure, FastFields, discard-on-close

TEST(DataSetStructure, TwoFieldsGiveTheDocumentedImageAndRowsSurviveAReopen) {
  TRdaDataSet ds;
  ds.AddField("N", ftInteger, 0);
  ds.AddField("S", ftString, 20);
  ds.Open();
  EXPECT_EQ(ds.FieldCount(), 2);
  EXPECT_EQ(ds.Store()->RecordSize(), 32);
  EXPECT_EQ(ds.RecordCount(), 0);
  ds.AppendRecord({Variant(1), Variant("one")});
  ds.AppendRecord({Variant(2), Variant("two")});
  ds.Close();
  ds.Open();
  EXPECT_EQ(ds.RecordCount(), 2);
  EXPECT_EQ(ds.FieldByName("S").AsString(), "one");
  // With the flag set, a close discards the stores.
  ds.SetDiscardOnClose(true);
  ds.Close();
  EXPECT_EQ(ds.Store(), nullptr);
  EXPECT_FALSE(ds.DiscardOnClose());
  ds.Open();
  EXPECT_EQ(ds.RecordCount(), 0);
}

// The record buffers of an open dataset are sized by its store's layout: a store
// section with other (here longer) fields cannot be loaded under it, nor the
// layout changed otherwise; the dataset reads on as before. Closed, it can.
TEST(DataSetStructure, AnOpenDatasetsStoreKeepsItsLayout) {
  auto ds = People({{1, "a"}, {2, "b"}});
  TRdaDBList wider;
  wider.AddField("Id", ftInteger, 0);
  wider.AddField("Name", ftString, 4000);
  wider.CalcLayout();
  wider.AddWithID(1)->SetText(1, std::string(4000, 'x'));
  TMemoryStream section;
  wider.SaveToStream(section);
  const std::string text = "Cannot change the layout of a row store while its dataset is open";
  TRdaDBList& store = *ds->Store();
  const int32_t size = store.RecordSize();
  const std::vector<std::pair<const char*, std::function<void()>>> changes = {
      {"load a section", [&] { section.SetPosition(0); store.LoadFromStream(section); }},
      {"add a field", [&] { store.AddField("More", ftString, 100); }},
      {"lay out again", [&] { store.CalcLayout(); }},
      {"clear the descriptions", [&] { store.MutableFieldList().Clear(); }},
  };
  for (const auto& [name, change] : changes) {
    EXPECT_EQ(MessageOf<EDatabaseError>(change), text) << name;
    EXPECT_EQ(store.RecordSize(), size) << name;
    EXPECT_EQ(store.FieldList().Count(), 3) << name;
    EXPECT_EQ(store.Count(), 2) << name;
    EXPECT_EQ(store.Verify(), "") << name;
  }
  EXPECT_THAT(Ids(*ds), ElementsAre(1, 2));
  ds->Last();
  EXPECT_EQ(ds->FieldByName("Name").AsString(), "b");
  ds->Close();
  section.SetPosition(0);
  store.LoadFromStream(section);
  EXPECT_EQ(store.RecordSize(), wider.RecordSize());
}

TEST(DataSetStructure, FastFieldsLinesSplitAtTheLastTwoCommas) {
  struct Case {
    const char* line;
    const char* name;
    int type, size;
  };
  for (const Case& c : std::vector<Case>{{"CompanyName,1,35", "CompanyName", 1, 35},
                                         {"Amount, net,6,0", "Amount, net", 6, 0},
                                         {",,3,0", ",", 3, 0},
                                         {",3,0", "", 3, 0}}) {
    TRdaFastField f = TRdaCustomDataSet::ParseFastField(c.line);
    EXPECT_EQ(f.Name, c.name) << c.line;
    EXPECT_EQ(f.Type, c.type) << c.line;
    EXPECT_EQ(f.Size, c.size) << c.line;
  }
  for (const char* bad : {"Name", "Name,1", "Name,x,1", "Name,1,-1", "Name,300,0", "Name,1,"}) {
    EXPECT_EQ(MessageOf<EDatabaseError>([&] { TRdaCustomDataSet::ParseFastField(bad); }),
              std::string("Invalid FastFields line '") + bad + "'");
  }

  TRdaDataSet ds;
  ds.AddField("Amount, net", ftFloat, 0);
  ds.AddField("Id", ftGuid, 10);
  EXPECT_THAT(ds.FastFields(), ElementsAre("Amount, net,6,0", "Id,35,38"));
  ds.Open();
  EXPECT_EQ(ds.FieldByName("Amount, net").DataType(), ftFloat);
  EXPECT_EQ(ds.FieldDefs().Items(1).Size(), 38);
}

TEST(DataSetStructure, RecordIdsAreNeverHandedOutTwice) {
  auto ds = People({{1, "a"}, {2, "b"}, {3, "c"}});
  ds->Last();
  ds->Delete();
  ds->AppendRecord({Variant(4)});
  EXPECT_EQ(ds->CurrentRecordID(), 4);
  ds->Close();
  ds->Open();
  ds->AppendRecord({Variant(5)});
  EXPECT_EQ(ds->CurrentRecordID(), 5);
  // ClearRows starts again at 1; EmptyDataSet keeps counting.
  ds->ClearRows();
  EXPECT_TRUE(ds->IsEmpty());
  ds->AppendRecord({Variant(6)});
  EXPECT_EQ(ds->CurrentRecordID(), 1);
  ds->EmptyDataSet();
  ds->AppendRecord({Variant(7)});
  EXPECT_EQ(ds->CurrentRecordID(), 2);
}

TEST(DataSetStructure, PersistentFieldsMustMatchTheDefinitions) {
  TRdaDataSet ds;
  ds.SetName("T");
  ds.AddField("A", ftInteger, 0);
  ds.CreateField("A", ftSmallint);  // the integer kinds go together
  ds.Open();
  ds.AppendRecord({Variant(-5)});
  EXPECT_EQ(ds.FieldByName("A").AsInteger(), -5);
  ds.Close();
  ds.CreateField("B", ftString, 5);
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { ds.Open(); }), "T:Field 'B' not found");
  EXPECT_FALSE(ds.Active());
}

TEST(DataSetStructure, PersistentFieldsDefineTheStoreWithoutFastFields) {
  TRdaDataSet ds;
  ds.CreateField("Id", ftInteger);
  ds.CreateField("Name", ftString, 10);
  ds.CreateField("Twice", ftInteger, 0, fkCalculated);
  ds.OnCalcFields = [](TDataSet& d) {
    d.FieldByName("Twice").SetAsInteger(d.FieldByName("Id").AsInteger() * 2);
  };
  for (int round = 0; round < 2; ++round) {
    ds.Open();
    ds.AppendRecord({Variant(21), Variant("x")});
    EXPECT_EQ(ds.FieldByName("Twice").AsInteger(), 42);
    ds.Close();
  }
  EXPECT_EQ(ds.Store()->FieldList().Count(), 2);  // described once, no calculated column
  ds.Open();
  EXPECT_EQ(ds.RecordCount(), 2);
}

// A definition the store refuses leaves the dataset as it was: once the
// definition is mended, the dataset opens with every field.
TEST(DataSetStructure, ARefusedDefinitionLeavesTheStructureAsItWas) {
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, int>> texts;  // ftString fields and sizes
    std::string error;
  };
  const Case cases[] = {
      {"a field too large", {{"A", 5}, {"Big", 2000000000}, {"C", 5}},
       "Invalid size 2000000000 for field 'Big'"},
      {"a row too large", {{"A", 5}, {"Big", 600000000}, {"C", 600000000}}, "Row image too large"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (bool fast : {false, true}) {
      TRdaDataSet ds;
      for (const auto& [name, size] : c.texts) {
        if (fast) {
          ds.AddField(name, ftString, size);
        } else {
          ds.CreateField(name, ftString, size);
        }
      }
      EXPECT_EQ(MessageOf<EDatabaseError>([&] { ds.Open(); }), c.error);
      EXPECT_FALSE(ds.Active());
      EXPECT_EQ(ds.Store(), nullptr);
      if (fast) {
        ds.SetFastFields({"A,1,5", "Big,1,5", "C,1,5"});
      } else {
        for (const auto& f : ds.Fields()) f->SetSize(5);
      }
      ds.Open();
      ds.AppendRecord({Variant("a"), Variant("b"), Variant("c")});
      EXPECT_EQ(ds.Store()->FieldList().Count(), 3);
      EXPECT_EQ(ds.FieldByName("C").AsString(), "c");
    }
  }
}

// ---------------------------------------------------------------------------
// Calculated fields

TEST(DataSetCalcFields, CalculatedOnReadAndAfterEachChange) {
  auto ds = std::make_unique<TRdaDataSet>();
  ds->AddField("Id", ftInteger, 0);
  ds->CreateField("Id", ftInteger);
  ds->CreateField("Label", ftString, 10, fkCalculated);
  int calcs = 0;
  ds->OnCalcFields = [&](TDataSet& d) {
    ++calcs;
    if (!d.FieldByName("Id").IsNull()) {
      d.FieldByName("Label").SetAsString("#" + d.FieldByName("Id").AsString());
    }
  };
  ds->Open();
  ds->Append();
  EXPECT_TRUE(ds->FieldByName("Label").IsNull());
  ds->FieldByName("Id").SetAsInteger(7);
  EXPECT_EQ(ds->FieldByName("Label").AsString(), "#7");
  ds->Post();
  ds->Edit();
  ds->FieldByName("Id").SetAsInteger(8);
  EXPECT_EQ(ds->FieldByName("Label").AsString(), "#8");
  ds->SetAutoCalcFields(false);
  ds->FieldByName("Id").SetAsInteger(9);
  EXPECT_EQ(ds->FieldByName("Label").AsString(), "#8");
  ds->Post();
  EXPECT_EQ(ds->FieldByName("Label").AsString(), "#9");  // read back on the post
  EXPECT_GT(calcs, 3);
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { ds->FieldByName("Label").SetAsString("x"); }),
            "DataSet Not in Edit or Insert Mode");
}

TEST(DataSetCalcFields, LookupFieldTakesTheValueFromAnotherDataSet) {
  auto names = People({{1, "one"}, {2, "two"}});
  TRdaDataSet orders;
  orders.AddField("PersonId", ftInteger, 0);
  orders.CreateField("PersonId", ftInteger);
  TField& who = orders.CreateField("Who", ftString, 20, fkLookup);
  who.LookupDataSet = names.get();
  who.KeyFields = "PersonId";
  who.LookupKeyFields = "Id";
  who.LookupResultField = "Name";
  orders.Open();
  orders.AppendRecord({Variant(2)});
  orders.AppendRecord({Variant(3)});
  EXPECT_TRUE(orders.FieldByName("Who").IsNull());
  orders.First();
  EXPECT_EQ(orders.FieldByName("Who").AsString(), "two");
}

TEST(AutoCreateCalcFields, ItemsFollowTheirRulesAndBecomeCalculatedFields) {
  TRdaDataSet ds;
  ds.AddField("Id", ftInteger, 0);
  TAutoCreateCalcFields& items = ds.AutoCreateCalcFields();
  TAutoCreateCalcField& a = items.Add();
  TAutoCreateCalcField& b = items.Add();
  EXPECT_EQ(a.FieldName(), "AutoCalc1");
  EXPECT_EQ(b.FieldName(), "AutoCalc2");
  EXPECT_EQ(a.DataType(), cfInteger);
  EXPECT_TRUE(a.Visible());
  b.SetSize(5);
  b.SetDataType(cfString);
  EXPECT_EQ(b.Size(), 20);
  b.SetSize(8);
  b.SetDataType(cfWideString);  // text to text keeps the size
  EXPECT_EQ(b.Size(), 8);
  b.SetVisible(false);
  b.SetFieldName("  ");
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { b.SetActive(true); }), "FieldName is required");
  EXPECT_FALSE(b.Active());
  b.SetFieldName("Wide");
  b.SetActive(true);
  a.SetActive(true);
  ds.OnCalcFields = [](TDataSet& d) {
    d.FieldByName("AutoCalc1").SetAsInteger(d.FieldByName("Id").AsInteger() + 1);
  };
  for (int round = 0; round < 2; ++round) {
    ds.Open();
    EXPECT_EQ(ds.FieldCount(), 3);
    TField& wide = ds.FieldByName("Wide");
    EXPECT_EQ(wide.FieldKind(), fkCalculated);
    EXPECT_EQ(wide.DataType(), ftWideString);
    EXPECT_EQ(wide.Size(), 8);
    EXPECT_EQ(wide.Name(), "Wide");
    EXPECT_FALSE(wide.Visible());
    ds.AppendRecord({Variant(4)});
    EXPECT_EQ(ds.FieldByName("AutoCalc1").AsInteger(), 5);
    ds.Close();
  }
}

// ---------------------------------------------------------------------------
// Bookmarks

TEST(DataSetBookmarks, BookmarkFindsItsRowAcrossChangesUntilTheRowIsGone) {
  auto ds = People({{1, "a"}, {2, "b"}, {3, "c"}});
  ds->SetRecNo(2);
  TBookmark mark = ds->Bookmark();
  ASSERT_EQ(mark.size(), 4u);
  EXPECT_EQ(LoadI32LE(mark.data()), 2);
  ds->First();
  ds->InsertRecord({Variant(0)});
  ds->Last();
  ds->GotoBookmark(mark);
  EXPECT_EQ(ds->FieldByName("Id").AsInteger(), 2);
  EXPECT_EQ(ds->RecNo(), 3);
  EXPECT_TRUE(ds->BookmarkValid(mark));
  EXPECT_TRUE(ds->BookmarkTextValid(mark + "tail"));
  ds->Delete();
  EXPECT_FALSE(ds->BookmarkValid(mark));
  EXPECT_EQ(MessageOf<ERdaBookMarkError>([&] { ds->GotoBookmark(mark); }), "Bookmark not found");
  EXPECT_FALSE(ds->BookmarkTextValid(""));
  EXPECT_FALSE(ds->BookmarkTextValid("ab"));
  EXPECT_FALSE(ds->BookmarkValid(TBookmark()));
}

TEST(DataSetBookmarks, CompareBookmarksOrdersByRecordId) {
  auto ds = People({{1, "a"}, {2, "b"}});
  auto mark = [](int32_t id) {
    TBookmark b(4, '\0');
    StoreI32LE(b.data(), id);
    return b;
  };
  struct Case {
    TBookmark a, b;
    int expected;
  };
  for (const Case& c : std::vector<Case>{{"", "", 0},
                                         {mark(1), "", -1},
                                         {"", mark(1), 1},
                                         {mark(1), mark(2), -1},
                                         {mark(2), mark(2), 0},
                                         {mark(300), mark(2), 1},
                                         {mark(-1), mark(1), -1}}) {
    EXPECT_EQ(ds->CompareBookmarks(c.a, c.b), c.expected);
  }
  ds->Insert();
  EXPECT_TRUE(ds->Bookmark().empty());  // an inserted record has none yet
  EXPECT_EQ(ds->CurrentRecordID(), -1);
}

// ---------------------------------------------------------------------------
// Searching

TEST(DataSetSearch, LocateHonoursItsOptions) {
  auto ds = People({{1, "Anna"}, {2, "Bert"}, {3, "bertha"}, {4, "Carl"}});
  struct Case {
    const char* fields;
    TVariantArray values;
    TLocateOptions options;
    int expectedId;  // 0: not found
  };
  const std::vector<Case> cases = {
      {"Name", {Variant("Bert")}, {}, 2},
      {"Name", {Variant("bert")}, {}, 0},
      {"Name", {Variant("bert")}, {loCaseInsensitive}, 2},
      {"Name", {Variant("berth")}, {loPartialKey}, 3},
      {"Name", {Variant("BERT")}, {loCaseInsensitive, loPartialKey}, 2},
      {"Name", {Variant("Car")}, {}, 0},
      {"Name", {Variant("Carlos")}, {loPartialKey}, 0},
      {"Id;Name", {Variant(3), Variant("bertha")}, {}, 3},
      {"Id;Name", {Variant(3), Variant("Bert")}, {}, 0},
      {"Score", {Variant(6.0)}, {}, 4},
      {"Id", {Variant("4")}, {}, 4},
      {"Id", {Variant::Null()}, {}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fields);
    ds->SetRecNo(2);
    bool found = ds->Locate(c.fields, c.values, c.options);
    EXPECT_EQ(found, c.expectedId != 0);
    EXPECT_EQ(ds->FieldByName("Id").AsInteger(), found ? c.expectedId : 2);
  }
}

TEST(DataSetSearch, LookupReadsWithoutMovingTheCursor) {
  auto ds = People({{1, "Anna"}, {2, "Bert"}});
  ds->First();
  std::vector<std::string> log;
  test::RecordEvents(*ds, log);
  EXPECT_EQ(ds->Lookup("Name", Variant("Bert"), "Id"), Variant(2));
  EXPECT_TRUE(ds->Lookup("Name", Variant("Nobody"), "Id").IsNull());
  TVariantArray both = ds->LookupValues("Id", {Variant(2)}, "Name;Score");
  EXPECT_THAT(both, ElementsAre(Variant("Bert"), Variant(3.0)));
  EXPECT_EQ(ds->FieldByName("Id").AsInteger(), 1);
  EXPECT_EQ(ds->RecNo(), 1);
  EXPECT_EQ(ds->State(), dsBrowse);
  EXPECT_TRUE(log.empty());
  EXPECT_THROW(ds->Lookup("Id", Variant(1), "Name;Score"), EDatabaseError);
}

TEST(DataSetSearch, KeySearchesNeedASelectedIndex) {
  auto ds = People({{1, "a"}});
  for (auto op : std::vector<std::function<void()>>{[&] { ds->FindKey({Variant(1)}); },
                                                    [&] { ds->GotoKey(); },
                                                    [&] { ds->GotoNearest(); }}) {
    EXPECT_EQ(MessageOf<EDatabaseError>(op), "No index currently active");
  }
}

// ---------------------------------------------------------------------------
// Filtering

TEST(DataSetFilter, OnFilterRecordHidesRowsThatRecordCountStillCounts) {
  auto ds = People({{1, "a"}, {2, "b"}, {3, "c"}, {4, "d"}, {5, "e"}});
  int tests = 0;
  ds->OnFilterRecord = [&](TDataSet& d, bool& accept) {
    ++tests;
    accept = d.FieldByName("Id").AsInteger() % 2 == 1;
  };
  EXPECT_THAT(Ids(*ds), ElementsAre(1, 2, 3, 4, 5));
  EXPECT_EQ(tests, 0);  // not filtered yet
  ds->SetFiltered(true);
  EXPECT_THAT(Ids(*ds), ElementsAre(1, 3, 5));
  EXPECT_GT(tests, 0);
  EXPECT_EQ(ds->RecordCount(), 5);
  ds->Last();
  ds->Prior();
  EXPECT_EQ(ds->FieldByName("Id").AsInteger(), 3);
  // Editing the current row into a rejected one moves on without an error.
  ds->Edit();
  ds->FieldByName("Id").SetAsInteger(30);
  ds->Post();
  EXPECT_EQ(ds->FieldByName("Id").AsInteger(), 5);
  EXPECT_FALSE(ds->Locate("Id", Variant(30)));
  EXPECT_TRUE(ds->Locate("Id", Variant(1)));
  ds->SetOnFilterRecord([](TDataSet&, bool& accept) { accept = false; });
  ds->Refresh();
  EXPECT_TRUE(ds->IsEmpty());
  EXPECT_TRUE(ds->Eof());
  ds->SetFiltered(false);
  EXPECT_EQ(ds->RecordCount(), 5);
  EXPECT_FALSE(ds->IsEmpty());
}

TEST(DataSetFilter, FindRecordUsesTheFilterEvenWhenNotFiltered) {
  auto ds = People({{1, "a"}, {2, "b"}, {3, "c"}, {4, "d"}});
  ds->OnFilterRecord = [](TDataSet& d, bool& accept) {
    accept = d.FieldByName("Id").AsInteger() % 2 == 0;
  };
  EXPECT_TRUE(ds->FindFirst());
  EXPECT_EQ(ds->FieldByName("Id").AsInteger(), 2);
  EXPECT_TRUE(ds->FindNext());
  EXPECT_EQ(ds->FieldByName("Id").AsInteger(), 4);
  EXPECT_FALSE(ds->FindNext());
  EXPECT_FALSE(ds->Found());
  EXPECT_EQ(ds->FieldByName("Id").AsInteger(), 4);
  EXPECT_TRUE(ds->FindPrior());
  EXPECT_EQ(ds->FieldByName("Id").AsInteger(), 2);
  EXPECT_TRUE(ds->FindLast());
  EXPECT_EQ(ds->FieldByName("Id").AsInteger(), 4);
  ds->Next();  // the cursor follows the buffers again after a failed search
  EXPECT_TRUE(ds->Eof());
  EXPECT_THAT(Ids(*ds), ElementsAre(1, 2, 3, 4));
}

TEST(DataSetFilter, FilterTextsAndConstraintsThatDoNotParseAreRefused) {
  auto ds = People({{1, "a"}, {2, "b"}});
  ds->SetFiltered(true);
  ds->SetFilter("Id > 1");
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { ds->SetFilter("Id >"); }),
            "Syntax error at position 5: expected an operand but found end of text");
  EXPECT_EQ(ds->Filter(), "Id > 1");
  EXPECT_TRUE(ds->Active());
  EXPECT_THAT(Ids(*ds), ElementsAre(2));
  ds->Close();
  ds->SetFilter("Id >");
  EXPECT_THROW(ds->Open(), EDatabaseError);
  EXPECT_FALSE(ds->Active());
  ds->SetFilter("");
  ds->Constraints().Add().CustomConstraint = "Id >";
  EXPECT_THROW(ds->Open(), EDatabaseError);
  EXPECT_FALSE(ds->Active());
}

// A dataset whose filter expressions are small functions of the record in
// use, standing in for the expression evaluator.
class ExpressionDataSet : public TRdaDataSet {
 public:
  std::function<Variant(TDataSet&)> expression;

 protected:
  std::unique_ptr<TRdaCompiledExpression> CompileExpression(const std::string&, TRdaExpressionKind,
                                                            const std::string&) override {
    struct Compiled : TRdaCompiledExpression {
      ExpressionDataSet* ds;
      explicit Compiled(ExpressionDataSet* d) : ds(d) {}
      Variant Evaluate() override { return ds->expression(*ds); }
    };
    return std::make_unique<Compiled>(this);
  }
};

TEST(DataSetFilter, CompiledFilterDecidesAndAFailingOneSwitchesFilteringOff) {
  ExpressionDataSet ds;
  ds.AddField("Id", ftInteger, 0);
  ds.Open();
  for (int i = 1; i <= 4; ++i) ds.AppendRecord({Variant(i)});
  ds.expression = [](TDataSet& d) {
    EXPECT_EQ(d.State(), dsFilter);
    return d.FieldByName("Id").IsNull() ? Variant::Null() : Variant(d.FieldByName("Id").AsInteger() > 2);
  };
  ds.SetFilter("Id > 2");
  ds.SetFiltered(true);
  EXPECT_THAT(Ids(ds), ElementsAre(3, 4));
  // OnFilterRecord still has its say after the expression.
  ds.OnFilterRecord = [](TDataSet& d, bool& accept) { accept = d.FieldByName("Id").AsInteger() != 4; };
  EXPECT_THAT(Ids(ds), ElementsAre(3));
  ds.OnFilterRecord = nullptr;

  ds.expression = [](TDataSet&) -> Variant { throw EDatabaseError("cannot evaluate"); };
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { ds.First(); }), "cannot evaluate");
  EXPECT_FALSE(ds.Filtered());
  EXPECT_THAT(Ids(ds), ElementsAre(1, 2, 3, 4));
}

TEST(DataSetFilter, RowsOutsideTheCursorAreTestedTheSameWay) {
  auto ds = People({{1, "a"}, {2, "b"}});
  ds->OnFilterRecord = [](TDataSet& d, bool& accept) { accept = d.FieldByName("Id").AsInteger() == 2; };
  ds->SetFiltered(true);
  TRdaDBList& store = *ds->Store();
  EXPECT_FALSE(ds->RowAccepted(store.Items(0)->Image()));
  EXPECT_TRUE(ds->RowAccepted(store.Items(1)->Image()));
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { ds->RowAccepted("short"); }),
            "Direct read buffer length mismatch");
  EXPECT_EQ(ds->FieldByName("Id").AsInteger(), 2);  // the record in use is untouched
}

// ---------------------------------------------------------------------------
// Data links

class RecordingLink : public TDataLink {
 public:
  std::vector<std::string> log;

 protected:
  void ActiveChanged() override { log.push_back(Active() ? "active" : "inactive"); }
  void EditingChanged() override { log.push_back(Editing() ? "editing" : "browsing"); }
  void DataSetChanged() override { log.push_back("changed"); }
  void DataSetScrolled(int distance) override { log.push_back("scrolled " + std::to_string(distance)); }
  void RecordChanged(TField* field) override {
    log.push_back("record " + (field ? field->FieldName() : std::string("*")));
  }
  void UpdateData() override { log.push_back("update"); }
};

TEST(DataLinks, LinksHearEveryChangeOfTheDataSet) {
  auto ds = People({{1, "a"}, {2, "b"}});
  ds->Close();
  TDataSource source(ds.get());
  RecordingLink link;
  link.SetDataSource(&source);
  std::vector<TDataSetState> states;
  source.OnStateChange = [&](TDataSource& s) { states.push_back(s.State()); };
  ds->Open();
  ds->Next();
  ds->Edit();
  ds->FieldByName("Name").SetAsString("z");
  ds->Post();
  EXPECT_THAT(link.log, ElementsAre("active", "scrolled 1", "editing", "record *", "record Name",
                                    "update", "browsing", "changed"));
  EXPECT_THAT(states, ElementsAre(dsBrowse, dsEdit, dsBrowse));
  EXPECT_EQ(link.RecordCount(), 1);

  link.log.clear();
  ds->DisableControls();
  ds->First();
  ds->Next();
  ds->Edit();
  ds->Cancel();
  EXPECT_TRUE(link.log.empty());
  ds->EnableControls();
  EXPECT_THAT(link.log, ElementsAre("changed"));

  link.log.clear();
  EXPECT_TRUE(link.Edit());
  EXPECT_EQ(ds->State(), dsEdit);
  ds->Cancel();
  ds.reset();  // the source lets go of a destroyed dataset
  EXPECT_EQ(source.DataSet(), nullptr);
  EXPECT_EQ(link.DataSet(), nullptr);
  EXPECT_THAT(link.log, ElementsAre("editing", "record *", "browsing", "changed", "inactive"));
}

TEST(DataLinks, DestroyedSourceDetachesItsLinks) {
  auto ds = People({{1, "a"}});
  RecordingLink link;
  {
    TDataSource source(ds.get());
    link.SetDataSource(&source);
    EXPECT_TRUE(link.Active());
  }
  EXPECT_EQ(link.DataSource(), nullptr);
  EXPECT_FALSE(link.Active());
  EXPECT_TRUE(ds->DataSources().empty());
  ds->Next();  // nothing left to notify
}

}  // namespace
}  // namespace rda
