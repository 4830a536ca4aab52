// TRdaNestedDataSet: the dataset held in a parent's ftDataSet field.
//
// The field's value is a whole dataset in the stream form (SaveToStream). A
// nested dataset opens that value, lets it be edited and writes it back:
//   - opening needs DataSetField ("DataSetField is undefined !"); a closed
//     parent is opened first, and one that still does not open keeps the
//     nested dataset waiting until it does (the open ends with EAbort);
//     without fields of its own the nested dataset takes the structure of
//     the parent's value;
//   - whenever the parent moves or its record is read again, the rows are
//     those of the parent's current value (LoadFromParent);
//   - when the parent checks its browse mode (a post, a move) while it is
//     editing, changed rows go back into the parent's field
//     (WriteBackToParent);
//   - a change of the nested rows puts a parent in browse state into edit
//     state, so that it is written back and not lost at the parent's next
//     move;
//   - closing writes back and posts a parent that is editing.
// Its change log has "MasterBookMark" (the parent row's RecordID) in front
// and no index; entries of every parent row it visited stay in it.
//
// The parent keeps the nested datasets attached to its fields as observers;
// each side tells the other when it goes.
#pragma once

#include <string>
#include <vector>

#include "memdata/RdaAuditDataSet.h"

namespace rda {

class TRdaNestedDataSet : public TRda2AuditDataset {
 public:
  TRdaNestedDataSet();
  ~TRdaNestedDataSet() override;

  // The parent's ftDataSet field holding this dataset (an observer). Only
  // while closed; the field's dataset must be a memory dataset.
  TField* DataSetField() const { return dataSetField_; }
  void SetDataSetField(TField* field);
  // The parent dataset (DataSetField's), or nullptr.
  TRdaCustomDataSet* Parent() const;
  // Stored for the client datasets' update SQL.
  std::vector<std::string>& PrimeFields() { return primeFields_; }
  const std::string& UpdateTableName() const { return updateTableName_; }
  void SetUpdateTableName(std::string name) { updateTableName_ = std::move(name); }

  // The parent is on a record (browse, edit or a computing state) and its
  // DataSetField holds a value.
  virtual bool ParentHasData();
  // Takes the rows of the parent's current value (or none); when closed,
  // the structure too.
  virtual void LoadFromParent();
  // While the parent edits and this dataset changed since it was loaded or
  // written: its stream replaces the parent field's value.
  void WriteBackToParent();
  // Undoes every logged change, under every parent row: the parent visits
  // each row with entries (its controls disabled), the rows' values are
  // undone and written back and the parent posted, then it returns to its
  // row. Entries of parent rows that are gone are dropped; those of rows
  // the parent's view cannot reach (a filter) stay.
  void CancelUpdates() override;

 protected:
  int32_t LogMasterID() override;
  void DoBeforeOpen() override;
  void DoAfterOpen() override;
  void DoBeforeClose() override;
  void DoBeforeEdit() override;
  void DoBeforeInsert() override;
  void DoBeforeDelete() override;

 private:
  friend class TRdaCustomDataSet;
  // From the parent.
  void ParentScrolled();
  void ParentOpened();
  // The parent or its field goes: the field is forgotten and this dataset
  // closes (its rows came from there).
  void ParentGone();
  void EditParent();
  // The parent; raises "DataSetField is undefined !" without one.
  TRdaCustomDataSet& CheckedParent() const;
  void TakeStructure(const std::string& bytes);

  TField* dataSetField_ = nullptr;
  std::vector<std::string> primeFields_;
  std::string updateTableName_;
  bool waiting_ = false;
  bool loading_ = false;
};

}  // namespace rda
