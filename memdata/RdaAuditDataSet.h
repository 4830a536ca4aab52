// The change log: TRda2CustomAuditDataSet, a memory dataset that remembers
// the original values of every row it changes, and TRda2AuditDataset, which
// publishes the update method.
//
// The log (ChangeLog) is a second memory dataset with one row per changed
// row of the dataset:
//
//   field            type        meaning
//   "MasterBookMark" ftInteger   only in a nested dataset's log: the parent
//                                row's RecordID
//   "BookMark"       ftInteger   the RecordID of the changed row
//   "Delta"          ftInteger   0 modified, 1 deleted, 2 inserted
//   then every column of the dataset's rows, same name, type and size: the
//   row's values before its first change (for an insert, its values when the
//   insert started)
//
// The log of a TRda2CustomAuditDataSet keeps the index "Prime" on
// "BookMark" and shows its rows in that order. While rows are being logged
// the index rests; ChangeLog() builds and selects it once before handing the
// log out, so a reader always finds it maintained and selected.
//
// Invariants while the dataset is open (VerifyLog checks them):
//   - the log holds at most one entry per row of the dataset;
//   - an entry of kind 0 or 2 names a row of the dataset, an entry of kind 1
//     a row that is gone;
//   - undoing every change (CancelUpdates) gives back the rows the dataset
//     had when the log was last empty, with their values and in their order
//     (deleted rows come back with new RecordIDs), as long as every change
//     since then was logged;
//   - a save point (SavePoint) stays valid until the log is cleared or
//     emptied, a change is made without logging, or the dataset closes.
//
// Rules of logging (while the update method is not umManual):
//   - an edit logs the row's values when the edit starts, unless the row
//     already has an entry (its first original values stay); a post that
//     leaves the row as its entry holds drops the entry; a cancelled edit
//     drops the entry the edit made;
//   - an insert logs kind 2; a cancelled insert drops it;
//   - a delete turns an entry of kind 2 into nothing (an inserted row that is
//     deleted leaves no trace), any other entry into kind 1 with its
//     original values, and logs kind 1 for a row without one. The delete is
//     logged only once it has happened.
//
// Undo. Beside the log the dataset keeps a journal of every logged change
// in order (the row's values and its log entry before the change, and the
// place of a deleted row), so that undoing runs the changes backwards
// exactly: CancelUpdates undoes them all (and then, for entries the journal
// does not cover, such as a log loaded from elsewhere, walks the log), and
// SetSavePoint undoes those made after a save point.
//
// Thread safety: every change to the log is made while LogLock() is held, so
// that code on another thread that reads the log under the same lock never
// sees a half-made change. Everything else belongs to the dataset's thread.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "memdata/RdaCustomDataSet.h"

namespace rda {

// Stored values, never renumber.
enum TRdaUpdateMethod : uint8_t { umManual = 0, umCached = 1, umAfterPost = 2 };

// A change log's kinds of entry ("Delta").
enum TRdaLogDelta : int32_t { ldModified = 0, ldDeleted = 1, ldInserted = 2 };

class TRda2CustomAuditDataSet;

// The change log's dataset. It is an ordinary TRdaDataSet to readers; its
// rows are made and removed only by its audited dataset.
class TRdaChangeLog : public TRdaDataSet {
 public:
  ~TRdaChangeLog() override;

 private:
  friend class TRda2CustomAuditDataSet;
  // Takes a new row (filled by the caller) into the indexes; removes one.
  void RowFilled(TRdaDBListItem& row);
  void RemoveRow(TRdaDBListItem& row);
  // The row's key changed: out of the indexes and back in.
  void RowKeyChanging(TRdaDBListItem& row);
  void RowKeyChanged(TRdaDBListItem& row) { IndexRowAdded(row); }
  // The rows changed behind the cursor: the buffers are read again before
  // the log is handed out (ChangeLog), not at every change.
  void Follow() { stale_ = true; }
  // Before the log is handed out: "Prime" maintained, built and selected,
  // and the buffers read again.
  void Sync();
  // Before a change: "Prime" is deselected and not maintained until Sync.
  void Unsort();
  // Puts the cursor on a row (no scroll events).
  void GotoRow(TRdaDBListItem& row);

  static constexpr const char* kPrimeIndexName = "Prime";
  bool stale_ = false;
  bool sorted_ = false;
};

class TRda2CustomAuditDataSet : public TRdaCustomDataSet {
 public:
  TRda2CustomAuditDataSet();
  ~TRda2CustomAuditDataSet() override;

  // ---- The log ----
  // The log, or nullptr before the first logged change (or CreateLog). Take
  // it from here after the dataset changed: its current record is read
  // again then.
  TRdaDataSet* ChangeLog();
  // Held for every change to the log.
  std::recursive_mutex& LogLock() { return logLock_; }
  // The number of log fields in front of the row's own (2; 3 in a nested
  // dataset's log).
  int LeadingLogFields() const { return leading_; }
  // Empties the log (after its changes went elsewhere); save points taken
  // before are no longer valid.
  void ClearLog();
  // Removes the entries whose row (by "BookMark") `applied` accepts, for
  // changes that went elsewhere while the others did not; save points taken
  // before are no longer valid.
  void ClearLogEntries(const std::function<bool(int32_t bookmark)>& applied);
  // The log in dataset stream form (made empty first when there is none), and
  // back: the stream's log replaces this one (its columns must lie as the
  // dataset's; EReadError before anything changes otherwise). Save points
  // taken before are no longer valid.
  void SaveLogToStream(TMemoryStream& stream);
  void LoadLogFromStream(TMemoryStream& stream);
  // Empties the log but for the entries of the rows whose "BookMark" is in
  // keep (the others' changes went elsewhere, a partial success); save points
  // taken before are no longer valid.
  void ClearLogExcept(const std::vector<int32_t>& keep);
  // The row's state from the log: usInserted while inserting; usUnmodified
  // without an entry; else by the entry's kind (0: usModified, except in
  // edit state while every value equals the logged one; 1: usUnmodified;
  // 2: usInserted).
  TUpdateStatus UpdateStatus() override;
  // Undoes the current row's changes; true when its entry remains.
  virtual bool RevertRecord();
  // Undoes every logged change and empties the log. (Only the entries of the
  // current LogMasterID: a nested dataset visits its parent's rows for the
  // others.)
  virtual void CancelUpdates();
  // Posts a pending edit, empties the dataset without logging and the log.
  void EmptyDataSet() override;
  // When the log's current entry is an insert whose "BookMark" is 0, it gets
  // the current row's RecordID.
  void SetInsertedBookMark();
  // Whether the log holds a change that is not merely the edit in progress
  // left unchanged.
  bool HasPendingChange();
  // Moves the dataset to the row of the log's current entry; false when the
  // row is not there.
  bool GotoLoggedRow();
  // Moves the dataset to where the row of the log's current entry stood
  // when it was deleted: the first row, then forward past rows whose
  // RecordID is below the logged one.
  virtual void GotoDeletedPosition();
  // The log's invariants (one entry per row, kinds that fit the rows, the
  // index): "" when they hold, else the first fault. For tests.
  std::string VerifyLog();

  // ---- Save points ----
  // A marker of the log's state now (a pending edit is not part of it).
  int64_t SavePoint();
  // Undoes every logged change made after the marker, newest first, and
  // puts the log back as it was then. A pending edit is posted first.
  // Raises EDatabaseError "Save point is no longer valid" for a marker from
  // before ClearLog, EmptyDataSet, CancelUpdates, a change made without
  // logging or a close, or one already undone past.
  void SetSavePoint(int64_t marker);

 protected:
  TRdaUpdateMethod UpdateMethodValue() const { return updateMethod_; }
  // 3 for a log with "MasterBookMark" in front (and no index).
  void SetLeadingLogFields(int count) { leading_ = count; }
  // The rows were replaced without logging: the journal goes.
  void RowsReplaced() { ResetJournal(); }
  void SetUpdateMethodValue(TRdaUpdateMethod value) { updateMethod_ = value; }
  // The distinct LogMasterID values of the log's entries, ascending.
  std::vector<int32_t> LoggedMasters();
  // Removes the entries logged under master without undoing them.
  void DropEntriesOf(int32_t master);
  // Posts an edit or insert in progress.
  void PostPendingEdit();

  // ---- The log's steps (virtual for the nested dataset) ----
  // Fills the extra leading fields of a new log row (the nested dataset's
  // "MasterBookMark"); nothing here.
  virtual void FillLogExtra(TRdaDBListItem& /*logRow*/) {}
  // The value of the extra leading field for the current row; 0 here.
  virtual int32_t LogMasterID() { return 0; }
  // Discards an old log and makes a new one for the current structure.
  virtual void CreateLog();
  // Positions the log on the current row's entry; false when it has none
  // (the log then stays where it was).
  virtual bool LocateLogEntry();
  virtual bool HasLogEntry();

  // ---- Hooks into the dataset's steps ----
  void DoBeforeEdit() override;
  void DoAfterInsert() override;
  void DoBeforePost() override;
  void DoAfterPost() override;
  void DoAfterCancel() override;
  void InternalDelete() override;
  void InternalClose() override;
  void ClearRows() override;

 private:
  enum class JournalOp : uint8_t { Edit, Insert, Delete };
  // The values of one row: an image of the dataset's row layout (RecordSize
  // bytes) and the bytes of its blob columns, in blob-column order (empty for
  // a null one), since blob identities mean nothing outside their store.
  struct RowValues {
    std::string image;
    std::vector<std::string> blobs;
  };

  // A log entry as it was at some moment.
  struct LogEntry {
    int32_t delta = 0;
    RowValues values;
  };

  // One logged change: enough to undo it exactly.
  //   Edit    the row's values and its entry before the edit (the values
  //           only when it had an entry: else the entry the edit made holds them)
  //   Insert  the new row's RecordID (it had no entry before)
  //   Delete  the row's values, its store position and its entry before
  struct JournalRecord {
    JournalOp op = JournalOp::Edit;
    int32_t master = 0;
    int32_t id = 0;
    int position = -1;
    RowValues before;
    std::optional<LogEntry> entryBefore;
  };

  class UndoScope;

  bool Logging() const { return updateMethod_ != umManual && !IsLoadingOrDesigning(); }
  void EnsureLog();
  int64_t EntryKey(int32_t master, int32_t id) const;
  TRdaDBListItem* FindEntry(int32_t master, int32_t id) const;
  TRdaDBListItem* CurrentEntry();
  int32_t EntryDelta(const TRdaDBListItem& entry) const;
  int32_t EntryBookMark(const TRdaDBListItem& entry) const;
  int32_t EntryMaster(const TRdaDBListItem& entry) const;
  // Row values: an image of the dataset's row layout with the bytes of its
  // blobs.
  RowValues CaptureImage(const char* image);
  RowValues EntryValues(const TRdaDBListItem& entry) const;
  LogEntry CaptureEntry(const TRdaDBListItem& entry) const;
  TRdaDBListItem& AddEntry(int32_t master, int32_t id, int32_t delta, const RowValues& values);
  // The same from an image of the dataset's layout, with its blobs' bytes
  // (nullptr: read from the dataset's blob store).
  TRdaDBListItem& AddEntry(int32_t master, int32_t id, int32_t delta, const char* image,
                           const std::vector<std::string>* blobs);
  // The record of the edit or insert starting now (one object, reused).
  JournalRecord& NewPendingRecord(JournalOp op, int32_t master, int32_t id);
  void RemoveEntry(TRdaDBListItem& entry);
  // Removes the entries `gone` accepts; how many.
  size_t RemoveEntriesIf(const std::function<bool(const TRdaDBListItem&)>& gone);
  void SetEntryBookMark(TRdaDBListItem& entry, int32_t id);
  // Puts the entry for the row back to a captured state (none: no entry).
  void RestoreEntry(int32_t master, int32_t id, const std::optional<LogEntry>& state);
  // Whether the record buffer's values equal the entry's.
  bool SameAsEntry(const char* image, const TRdaDBListItem& entry) const;
  void CheckLogLayout() const;

  // ---- Undo ----
  bool GotoRowID(int32_t id);
  // Writes values into the fields of the record being edited or inserted.
  void WriteValues(const RowValues& values);
  // WriteValues and Post; a failure cancels.
  void WriteAndPost(const RowValues& values);
  // Edits the current row to hold values, without logging.
  void RewriteCurrentRow(const RowValues& values);
  // Adds a row with values at store position (-1: where the view puts it);
  // returns its RecordID.
  int32_t RestoreRow(const RowValues& values, int position);
  void DeleteCurrentRowUnlogged();
  // Undoes the journal's records back to size, newest first; with entries
  // the log is put back as it was at each step, else it is left alone.
  void UndoJournalTo(size_t size, bool entries);
  void UndoRecord(JournalRecord& record, bool entries);
  // The entries of master only.
  void WalkLogBack(int32_t master);
  int32_t Resolve(int32_t id) const;
  void ResetJournal();
  // A change the journal cannot undo: the journal goes.
  void UnloggedChange();

  std::unique_ptr<TRdaChangeLog> log_;
  std::recursive_mutex logLock_;
  TRdaUpdateMethod updateMethod_ = umCached;
  int leading_ = 2;
  // Entries by (master, BookMark).
  std::unordered_map<int64_t, TRdaDBListItem*> entries_;
  // The dataset's columns that hold blobs, and the field object of each
  // column (nullptr for a column without one), as of the log's creation.
  std::vector<int> blobColumns_;
  std::vector<TField*> columnFields_;
  std::string scratch_;

  // The edit or insert in progress.
  enum class Pending : uint8_t { None, Edit, Insert };
  Pending pending_ = Pending::None;
  bool hadEntry_ = false;       // the row had an entry before this edit
  bool dropAtPost_ = false;     // the post leaves the row as logged
  int32_t pendingId_ = 0;       // the edited row, or the id an insert gets
  int32_t pendingMaster_ = 0;
  JournalRecord pendingRecord_;
  // The entry of the row being edited (set while an edit is logged).
  TRdaDBListItem* pendingEntry_ = nullptr;
  // The log entry of the last change (the log's "current entry").
  int32_t currentEntryId_ = -1;
  int32_t currentEntryMaster_ = 0;

  std::deque<JournalRecord> journal_;
  // Ids of rows given back by an undo, old -> new.
  std::unordered_map<int32_t, int32_t> remap_;
  uint32_t generation_ = 1;
  // The log was empty when the journal began.
  bool journalCoversLog_ = true;
  // Set while this dataset undoes: its own edits are not logged.
  int undoing_ = 0;
};

// The audited memory dataset with its update method published.
class TRda2AuditDataset : public TRda2CustomAuditDataSet {
 public:
  // [umCached] umManual logs nothing.
  TRdaUpdateMethod UpdateMethod() const { return UpdateMethodValue(); }
  void SetUpdateMethod(TRdaUpdateMethod value) { SetUpdateMethodValue(value); }
};

}  // namespace rda
