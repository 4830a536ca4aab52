// TRdaConflictList: a client dataset's changes packed for the server to turn
// into SQL itself (SQLGenerateLocation gsServer, ApplyUpdates modes 2 and 3).
//
// The list's entries, in this order, each without a name of its own ("FastAdd"
// followed by its position):
//   0 UpdateTableName                          ftString
//   1 PrimeFields, each line + CR LF           ftString
//   2 SQLOptions as a number                   ftInteger
//   3 the change log copy, dataset stream      ftString
//   4 the current values, dataset stream       ftString
//   5 AutoIncrementField                       ftString
//   6 RefetchOnInsert, each line + CR LF       ftString
//   7 UpdateMode                               ftSmallint
//   8 the fields the server must not write     ftString
//     (read-only, calculated and lookup fields
//     in field order, then AutoIncrementField)
//
// The current values: a hidden integer "BookMark" and a copy of every data
// field; one row per log entry: the row's RecordID and values for an edited or
// inserted row that is still there, "BookMark" 0 and no values for a deleted
// one; entries whose row is gone are left out.
//
// An edited row's blob-like values that did not change are left empty in
// both the log copy and the current values, except blobs with soFetchBlobs and
// memos with soFetchMemos.
//
// Creating the list moves through the dataset with its controls disabled and
// its filter off; the destructor switches the filter back on, puts the dataset
// back on its row and enables the controls again.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "memdata/RdaCustomDataSet.h"
#include "messaging/RdaParamList.h"

namespace rda {

class TRdaUpdateClientDataSet;

class TRdaConflictList : public TRdaParamList {
 public:
  explicit TRdaConflictList(TRdaUpdateClientDataSet& dataset);
  ~TRdaConflictList() override;

  // The copy of the change log and the current values (owned by the list).
  TRdaDataSet& LogCopy() { return *log_; }
  TRdaDataSet& CurrentValues() { return *current_; }
  const std::vector<std::string>& NotWrittenFields() const { return notWritten_; }
  // Whether any entry was packed (no log, or an empty one: false).
  bool HasEntries() const { return entries_ > 0; }
  // The conflicts the server reported for this dataset (items
  // "Conflict.<componentId>.<BookMark>" of an error's details, each the row as
  // the server holds it now): one row per field of each such row with
  // "BookMark", "Field", "OriginalValue" (what the change started from),
  // "LocalValue" (what it wants; NULL for a delete), "ServerValue" (NULL when
  // the row is gone) and "Changed" (the local value is not the original).
  // Null when the details hold none.
  std::unique_ptr<TRdaDataSet> ConflictRows(const TRdaParamList& details, int componentId);

 private:
  void BlankUnchangedBlobs();

  TRdaUpdateClientDataSet& dataset_;
  std::string bookmark_;
  bool filtered_ = false;
  std::unique_ptr<TRdaDataSet> log_;
  std::unique_ptr<TRdaDataSet> current_;
  std::vector<std::string> notWritten_;
  int entries_ = 0;
};

}  // namespace rda
