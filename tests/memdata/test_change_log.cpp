// The change log of TRda2AuditDataset: the logging rules, UpdateStatus,
// RevertRecord, CancelUpdates and save points, with a randomized run checked
// against a simple model.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "DataSetTestUtil.h"
#include "memdata/RdaAuditDataSet.h"

namespace rda {
namespace {

// Id, Name (text 12), Score (float), Memo (blob text); logging on.
std::unique_ptr<TRda2AuditDataset> Audited(int rows) {
  auto ds = std::make_unique<TRda2AuditDataset>();
  ds->AddField("Id", ftInteger, 0);
  ds->AddField("Name", ftString, 12);
  ds->AddField("Score", ftFloat, 0);
  ds->AddField("Memo", ftMemo, 0);
  ds->SetUpdateMethod(umManual);
  ds->Open();
  for (int i = 1; i <= rows; ++i) {
    ds->AppendRecord({Variant(i), Variant("n" + std::to_string(i)), Variant(i * 0.5),
                      i % 3 == 0 ? Variant::Null() : Variant("memo " + std::to_string(i))});
  }
  ds->SetUpdateMethod(umCached);
  ds->First();
  return ds;
}

// A row's values as text, nulls marked.
using RowText = std::vector<std::string>;

RowText CurrentRow(TDataSet& ds) {
  RowText row;
  for (int i = 0; i < ds.FieldCount(); ++i) {
    TField& f = ds.Fields()[i];
    row.push_back(f.IsNull() ? "<null>" : f.AsString());
  }
  return row;
}

// Every row in store order (no index, no filter), the view put back after.
std::vector<RowText> StoreRows(TRdaCustomDataSet& ds) {
  const std::string index = ds.IndexFieldNames();
  const bool filtered = ds.Filtered();
  ds.SetIndexFieldNames("");
  ds.SetFiltered(false);
  std::vector<RowText> rows;
  for (ds.First(); !ds.Eof(); ds.Next()) rows.push_back(CurrentRow(ds));
  ds.SetIndexFieldNames(index);
  ds.SetFiltered(filtered);
  return rows;
}

int LogCount(TRda2CustomAuditDataSet& ds) {
  return ds.ChangeLog() ? ds.ChangeLog()->RecordCount() : 0;
}

bool GotoId(TDataSet& ds, int id) { return ds.Locate("Id", Variant(id)); }

void EditName(TDataSet& ds, int id, const std::string& name) {
  ASSERT_TRUE(GotoId(ds, id));
  ds.Edit();
  ds.FieldByName("Name").SetAsString(name);
  ds.Post();
}

// ---------------------------------------------------------------------------
// The rules

TEST(ChangeLog, LogLayoutIsBookMarkDeltaThenTheColumns) {
  auto ds = Audited(3);
  EditName(*ds, 2, "x");
  TRdaDataSet& log = *ds->ChangeLog();
  std::vector<std::string> names;
  for (int i = 0; i < log.FieldCount(); ++i) names.push_back(log.Fields()[i].FieldName());
  EXPECT_EQ(names, (std::vector<std::string>{"BookMark", "Delta", "Id", "Name", "Score", "Memo"}));
  EXPECT_EQ(log.IndexName(), "Prime");
  EXPECT_EQ(log.FieldByName("Delta").AsInteger(), 0);
  EXPECT_EQ(log.FieldByName("Name").AsString(), "n2");
  EXPECT_EQ(log.FieldByName("Memo").AsString(), "memo 2");
}

TEST(ChangeLog, EditingTwiceKeepsTheFirstOriginals) {
  auto ds = Audited(3);
  EditName(*ds, 2, "first");
  EditName(*ds, 2, "second");
  ASSERT_EQ(LogCount(*ds), 1);
  EXPECT_EQ(ds->ChangeLog()->FieldByName("Name").AsString(), "n2");
  EXPECT_EQ(ds->UpdateStatus(), usModified);
}

TEST(ChangeLog, UnchangedPostAndEditBackToOriginalLeaveNoEntry) {
  auto ds = Audited(3);
  ASSERT_TRUE(GotoId(*ds, 1));
  ds->Edit();
  ds->FieldByName("Name").SetAsString("n1");  // the value it had
  ds->Post();
  EXPECT_EQ(LogCount(*ds), 0);
  EditName(*ds, 1, "changed");
  EXPECT_EQ(LogCount(*ds), 1);
  EditName(*ds, 1, "n1");
  EXPECT_EQ(LogCount(*ds), 0);
  EXPECT_EQ(ds->UpdateStatus(), usUnmodified);
}

TEST(ChangeLog, DeletesAndInserts) {
  auto ds = Audited(4);
  // An inserted row deleted again leaves no trace.
  ds->Append();
  ds->FieldByName("Id").SetAsInteger(9);
  EXPECT_EQ(ds->UpdateStatus(), usInserted);
  ds->Post();
  EXPECT_EQ(ds->UpdateStatus(), usInserted);
  EXPECT_EQ(LogCount(*ds), 1);
  ASSERT_TRUE(GotoId(*ds, 9));
  ds->Delete();
  EXPECT_EQ(LogCount(*ds), 0);
  // A deleted row that was edited keeps its originals, now as kind 1.
  EditName(*ds, 3, "edited");
  ASSERT_TRUE(GotoId(*ds, 3));
  ds->Delete();
  ASSERT_EQ(LogCount(*ds), 1);
  TRdaDataSet& log = *ds->ChangeLog();
  log.First();
  EXPECT_EQ(log.FieldByName("Delta").AsInteger(), 1);
  EXPECT_EQ(log.FieldByName("Name").AsString(), "n3");
  EXPECT_EQ(ds->VerifyLog(), "");
}

TEST(ChangeLog, CancelRemovesOnlyWhatTheEditStarted) {
  auto ds = Audited(3);
  ds->Insert();
  EXPECT_EQ(LogCount(*ds), 1);
  ds->Cancel();
  EXPECT_EQ(LogCount(*ds), 0);
  ASSERT_TRUE(GotoId(*ds, 2));
  ds->Edit();
  ds->FieldByName("Name").SetAsString("x");
  ds->Cancel();
  EXPECT_EQ(LogCount(*ds), 0);
  EditName(*ds, 2, "kept");
  ds->Edit();
  ds->FieldByName("Name").SetAsString("dropped");
  ds->Cancel();
  ASSERT_EQ(LogCount(*ds), 1);
  EXPECT_EQ(ds->FieldByName("Name").AsString(), "kept");
  EXPECT_EQ(ds->ChangeLog()->FieldByName("Name").AsString(), "n2");
}

TEST(ChangeLog, UpdateStatusInEditStateComparesWithTheLog) {
  auto ds = Audited(2);
  ASSERT_TRUE(GotoId(*ds, 1));
  ds->Edit();
  EXPECT_EQ(ds->UpdateStatus(), usUnmodified);
  EXPECT_FALSE(ds->HasPendingChange());
  ds->FieldByName("Memo").SetAsString("other memo");
  EXPECT_EQ(ds->UpdateStatus(), usModified);
  EXPECT_TRUE(ds->HasPendingChange());
  ds->FieldByName("Memo").SetAsString("memo 1");
  EXPECT_EQ(ds->UpdateStatus(), usUnmodified);
  ds->Cancel();
  EXPECT_FALSE(ds->HasPendingChange());
}

TEST(ChangeLog, ManualUpdateMethodLogsNothing) {
  auto ds = Audited(3);
  ds->SetUpdateMethod(umManual);
  EditName(*ds, 1, "x");
  ds->Delete();
  ds->AppendRecord({Variant(7)});
  EXPECT_EQ(LogCount(*ds), 0);
}

TEST(ChangeLog, CancelUpdatesAfterEditInsertAndDelete) {
  auto ds = Audited(5);
  const std::vector<RowText> original = StoreRows(*ds);
  EditName(*ds, 2, "edited");
  ASSERT_TRUE(GotoId(*ds, 4));
  ds->Insert();
  ds->FieldByName("Id").SetAsInteger(40);
  ds->Post();
  ASSERT_TRUE(GotoId(*ds, 3));
  ds->Delete();
  ASSERT_TRUE(GotoId(*ds, 4));
  ds->Delete();
  ASSERT_EQ(LogCount(*ds), 4);
  ds->CancelUpdates();
  EXPECT_EQ(StoreRows(*ds), original);
  EXPECT_EQ(LogCount(*ds), 0);
  ASSERT_TRUE(GotoId(*ds, 3));
  EXPECT_GT(ds->CurrentRecordID(), 5);  // back with a new identity
}

// A change made without logging ends the journal: the log alone then undoes
// what it holds, and the deleted rows still go back in their order.
TEST(ChangeLog, CancelUpdatesAfterAnUnloggedChangeWalksTheLog) {
  auto ds = Audited(6);
  std::vector<RowText> expected = StoreRows(*ds);
  EditName(*ds, 2, "edited");
  ASSERT_TRUE(GotoId(*ds, 3));
  ds->Delete();
  ASSERT_TRUE(GotoId(*ds, 4));
  ds->Delete();
  ds->AppendRecord({Variant(70)});
  ds->SetUpdateMethod(umManual);
  EditName(*ds, 6, "unlogged");
  ds->SetUpdateMethod(umCached);
  expected[5][1] = "unlogged";
  ds->CancelUpdates();
  EXPECT_EQ(StoreRows(*ds), expected);
  EXPECT_EQ(LogCount(*ds), 0);
}

TEST(ChangeLog, RevertRecordUndoesOneRow) {
  auto ds = Audited(3);
  EditName(*ds, 1, "one");
  EditName(*ds, 2, "two");
  ASSERT_TRUE(GotoId(*ds, 2));
  EXPECT_FALSE(ds->RevertRecord());
  EXPECT_EQ(ds->FieldByName("Name").AsString(), "n2");
  EXPECT_EQ(LogCount(*ds), 1);
  EXPECT_EQ(ds->UpdateStatus(), usUnmodified);
  EXPECT_EQ(ds->VerifyLog(), "");
  // An insert in progress is dropped.
  ds->Append();
  EXPECT_FALSE(ds->RevertRecord());
  EXPECT_EQ(ds->State(), dsBrowse);
  EXPECT_EQ(LogCount(*ds), 1);
}

TEST(ChangeLog, EmptyDataSetAndClearLogEmptyTheLog) {
  auto ds = Audited(3);
  EditName(*ds, 1, "x");
  const int64_t marker = ds->SavePoint();
  EditName(*ds, 2, "y");
  ds->ClearLog();
  EXPECT_EQ(LogCount(*ds), 0);
  EXPECT_EQ(test::MessageOf<EDatabaseError>([&] { ds->SetSavePoint(marker); }),
            "Save point is no longer valid");
  EditName(*ds, 3, "z");
  ds->EmptyDataSet();
  EXPECT_TRUE(ds->IsEmpty());
  EXPECT_EQ(LogCount(*ds), 0);
}

TEST(ChangeLog, SavePointUndoesLaterChangesOnly) {
  auto ds = Audited(6);
  EditName(*ds, 1, "before");
  const std::vector<RowText> atMarker = StoreRows(*ds);
  const int64_t marker = ds->SavePoint();
  EditName(*ds, 1, "after");
  EditName(*ds, 2, "after");
  ASSERT_TRUE(GotoId(*ds, 3));
  ds->Delete();
  ds->AppendRecord({Variant(60)});
  ds->SetSavePoint(marker);
  EXPECT_EQ(StoreRows(*ds), atMarker);
  EXPECT_EQ(LogCount(*ds), 1);
  ASSERT_TRUE(GotoId(*ds, 1));
  EXPECT_EQ(ds->UpdateStatus(), usModified);
  EXPECT_EQ(ds->ChangeLog()->FieldByName("Name").AsString(), "n1");
  EXPECT_EQ(ds->VerifyLog(), "");
}

// ---------------------------------------------------------------------------
// The randomized run

// What the log should hold, kept beside the dataset: the original values of
// every row there at the start, by RecordID, and which rows were inserted.
struct Model {
  std::map<int32_t, RowText> original;  // rows there at the start
  std::set<int32_t> inserted;           // rows added since
  std::set<int32_t> deleted;            // original rows gone

  TUpdateStatus StatusOf(int32_t id, const RowText& now) const {
    if (inserted.count(id)) return usInserted;
    return original.at(id) == now ? usUnmodified : usModified;
  }
};

struct RunState {
  Model model;
  std::vector<RowText> rows;
};

class RandomRun {
 public:
  RandomRun(unsigned seed, TRda2AuditDataset& ds) : rng_(seed), ds_(ds) {
    ds_.SetFilter("Score > 3");
    for (ds_.First(); !ds_.Eof(); ds_.Next()) {
      state_.model.original[ds_.CurrentRecordID()] = CurrentRow(ds_);
    }
  }

  RunState& State() { return state_; }

  // One random step; the view (filter, index) changes now and then.
  void Step() {
    const int what = Pick(100);
    if (what < 4) {
      ds_.SetFiltered(!ds_.Filtered());
    } else if (what < 8) {
      ds_.SetIndexFieldNames(ds_.IndexFieldNames().empty() ? "Name" : "");
    } else if (what < 55) {
      Edit();
    } else if (what < 75) {
      Insert();
    } else {
      Delete();
    }
  }

  // The log against the model: the number of entries, the log's own checks
  // and the current row's status.
  void Check() {
    ASSERT_EQ(ds_.VerifyLog(), "");
    std::map<int32_t, RowText> now = AllRows();
    int expected = 0;
    for (const auto& [id, row] : state_.model.original) {
      auto it = now.find(id);
      if (it != now.end() && it->second != row) ++expected;
    }
    expected += static_cast<int>(state_.model.inserted.size() + state_.model.deleted.size());
    ASSERT_EQ(LogCount(ds_), expected);
    if (!ds_.IsEmpty()) {
      const int32_t id = ds_.CurrentRecordID();
      ASSERT_EQ(ds_.UpdateStatus(), state_.model.StatusOf(id, CurrentRow(ds_))) << "row " << id;
    }
  }

 private:
  int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

  // Every row by RecordID, read with the filter off; the cursor goes back.
  std::map<int32_t, RowText> AllRows() {
    const TBookmark mark = ds_.Bookmark();
    const bool filtered = ds_.Filtered();
    ds_.SetFiltered(false);
    std::map<int32_t, RowText> rows;
    for (ds_.First(); !ds_.Eof(); ds_.Next()) rows[ds_.CurrentRecordID()] = CurrentRow(ds_);
    if (!mark.empty()) ds_.GotoBookmark(mark);
    ds_.SetFiltered(filtered);
    return rows;
  }

  // Moves to a random row of the view; false when the view is empty.
  bool Somewhere() {
    ds_.First();
    if (ds_.IsEmpty()) return false;
    ds_.MoveBy(Pick(12));
    return true;
  }

  void Fill() {
    static const char* kNames[] = {"n1", "n2", "n3", "alpha", "beta", "gamma"};
    const int field = Pick(3);
    if (field == 0) ds_.FieldByName("Name").SetAsString(kNames[Pick(6)]);
    if (field == 1) ds_.FieldByName("Score").SetAsFloat(Pick(10) * 0.5);
    if (field == 2) {
      if (Pick(3) == 0) {
        ds_.FieldByName("Memo").Clear();
      } else {
        ds_.FieldByName("Memo").SetAsString("memo " + std::to_string(Pick(8)));
      }
    }
  }

  void Edit() {
    if (!Somewhere()) return;
    ds_.Edit();
    for (int n = Pick(3) + 1; n > 0; --n) Fill();
    if (Pick(5) == 0) {
      ds_.Cancel();
    } else {
      ds_.Post();
    }
  }

  void Insert() {
    Somewhere();
    const int32_t id = ds_.LastRecordID() + 1;
    if (Pick(2) == 0) {
      ds_.Insert();
    } else {
      ds_.Append();
    }
    ds_.FieldByName("Id").SetAsInteger(1000 + id);
    Fill();
    if (Pick(5) == 0) {
      ds_.Cancel();
      return;
    }
    ds_.Post();
    state_.model.inserted.insert(id);
  }

  void Delete() {
    if (!Somewhere()) return;
    const int32_t id = ds_.CurrentRecordID();
    ds_.Delete();
    if (state_.model.inserted.erase(id) == 0) state_.model.deleted.insert(id);
  }

  std::mt19937 rng_;
  TRda2AuditDataset& ds_;
  RunState state_;
};

std::set<int32_t> Ids(const std::map<int32_t, RowText>& rows) {
  std::set<int32_t> ids;
  for (const auto& [id, row] : rows) ids.insert(id);
  return ids;
}

// 60 rows checked after every change; the seed is printed so that a failure
// can be run again.
std::unique_ptr<TRda2AuditDataset> RandomSubject(unsigned seed) {
  std::printf("seed %u\n", seed);
  auto ds = Audited(60);
  ds->SetVerifyEachChange(true);
  return ds;
}

class ChangeLogRandom : public ::testing::TestWithParam<unsigned> {};

TEST_P(ChangeLogRandom, CancelUpdatesGivesBackTheOriginalRows) {
  const unsigned seed = GetParam();
  auto ds = RandomSubject(seed);
  const std::vector<RowText> original = StoreRows(*ds);
  RandomRun run(seed, *ds);
  for (int step = 0; step < 2500; ++step) {
    run.Step();
    ASSERT_NO_FATAL_FAILURE(run.Check()) << "seed " << seed << " step " << step;
  }
  ds->CancelUpdates();
  EXPECT_EQ(StoreRows(*ds), original) << "seed " << seed;
  EXPECT_EQ(LogCount(*ds), 0);
  EXPECT_EQ(ds->VerifyLog(), "");
}

TEST_P(ChangeLogRandom, SavePointGivesBackTheRowsAndTheLogOfItsMoment) {
  const unsigned seed = GetParam();
  auto ds = RandomSubject(seed);
  const std::vector<RowText> original = StoreRows(*ds);
  RandomRun run(seed, *ds);
  std::mt19937 rng(seed ^ 0x5eedu);
  const int markAt = std::uniform_int_distribution<int>(0, 1500)(rng);
  std::vector<RowText> atMark;
  int logAtMark = 0;
  Model modelAtMark;
  int64_t marker = 0;
  for (int step = 0; step < 2000; ++step) {
    if (step == markAt) {
      atMark = StoreRows(*ds);
      logAtMark = LogCount(*ds);
      modelAtMark = run.State().model;
      marker = ds->SavePoint();
    }
    run.Step();
    ASSERT_NO_FATAL_FAILURE(run.Check()) << "seed " << seed << " step " << step;
  }
  ds->SetSavePoint(marker);
  EXPECT_EQ(StoreRows(*ds), atMark) << "seed " << seed << " mark at " << markAt;
  EXPECT_EQ(LogCount(*ds), logAtMark);
  ASSERT_EQ(ds->VerifyLog(), "");
  // The same log: every inserted and deleted row of the mark's moment, by
  // kind (inserted rows kept their identities; nothing of theirs was undone).
  int inserted = 0, deleted = 0;
  TRdaDataSet& log = *ds->ChangeLog();
  for (log.First(); !log.Eof(); log.Next()) {
    const int delta = log.FieldByName("Delta").AsInteger();
    inserted += delta == 2;
    deleted += delta == 1;
  }
  EXPECT_EQ(inserted, static_cast<int>(modelAtMark.inserted.size()));
  EXPECT_EQ(deleted, static_cast<int>(modelAtMark.deleted.size()));
  EXPECT_EQ(Ids(modelAtMark.original), Ids(run.State().model.original));
  // And from there all the way back.
  ds->CancelUpdates();
  EXPECT_EQ(StoreRows(*ds), original) << "seed " << seed;
  EXPECT_EQ(LogCount(*ds), 0);
}

INSTANTIATE_TEST_SUITE_P(Seeds, ChangeLogRandom, ::testing::Values(1u, 2u, 3u, 20261210u));

// A partial success: the entries of the rows that were applied go, the others
// stay whole, and undoing afterwards undoes only what stayed.
TEST(ChangeLog, ClearLogExceptKeepsTheFailedRows) {
  auto ds = Audited(4);
  EditName(*ds, 1, "one");
  EditName(*ds, 2, "two");
  ASSERT_TRUE(GotoId(*ds, 3));
  ds->Delete();
  ds->AppendRecord({Variant(5), Variant("five"), Variant(2.5), Variant::Null()});
  ASSERT_EQ(LogCount(*ds), 4);
  ASSERT_TRUE(GotoId(*ds, 2));
  const int32_t two = ds->CurrentRecordID();
  ASSERT_TRUE(GotoId(*ds, 5));
  const int32_t five = ds->CurrentRecordID();
  ds->ClearLogExcept({two, five});
  EXPECT_EQ(ds->VerifyLog(), "");
  TRdaDataSet* log = ds->ChangeLog();
  std::vector<std::string> kept;
  for (log->First(); !log->Eof(); log->Next()) {
    kept.push_back(log->FieldByName("Delta").AsString() + " " + log->FieldByName("Name").AsString());
  }
  EXPECT_EQ(kept, (std::vector<std::string>{"0 n2", "2 "}));
  ds->CancelUpdates();
  EXPECT_EQ(StoreRows(*ds), (std::vector<RowText>{{"1", "one", "0.5", "memo 1"},
                                                  {"2", "n2", "1", "memo 2"},
                                                  {"4", "n4", "2", "memo 4"}}));
}

}  // namespace
}  // namespace rda
