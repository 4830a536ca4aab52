#include "memdata/RdaNestedDataSet.h"

#include <algorithm>

#include "base/ScopeGuard.h"
#include "memdata/ValueGuard.h"
#include "memdata/store/RdaStoredValue.h"

namespace rda {

namespace {

constexpr const char* kNoDataSetField = "DataSetField is undefined !";

}  // namespace

// ---------------------------------------------------------------------------
// The parent's side

TRdaNestedDataSet& TRdaCustomDataSet::NestedDataSetOf(TField& field) {
  for (TRdaNestedDataSet* nested : nested_) {
    if (nested->DataSetField() == &field) return *nested;
  }
  auto made = std::make_unique<TRdaNestedDataSet>();
  made->SetDataSetField(&field);
  ownedNested_.push_back(std::move(made));
  return *ownedNested_.back();
}

void TRdaCustomDataSet::AttachNested(TRdaNestedDataSet* nested) {
  if (std::find(nested_.begin(), nested_.end(), nested) == nested_.end()) nested_.push_back(nested);
  // A nested dataset follows every move, also without a data source.
  observesAllDataEvents_ = true;
}

void TRdaCustomDataSet::DetachNested(TRdaNestedDataSet* nested) {
  nested_.erase(std::remove(nested_.begin(), nested_.end(), nested), nested_.end());
  nested->ParentGone();
}

void TRdaCustomDataSet::NestedEvent(TDataEvent event) {
  if (event != deDataSetChange && event != deDataSetScroll) return;
  // A handler may detach one: walk a copy.
  const std::vector<TRdaNestedDataSet*> nested = nested_;
  for (TRdaNestedDataSet* n : nested) n->ParentScrolled();
}

void TRdaCustomDataSet::WriteBackNested() {
  const std::vector<TRdaNestedDataSet*> nested = nested_;
  for (TRdaNestedDataSet* n : nested) n->WriteBackToParent();
}

void TRdaCustomDataSet::OpenWaitingNested() {
  const std::vector<TRdaNestedDataSet*> nested = nested_;
  for (TRdaNestedDataSet* n : nested) n->ParentOpened();
}

void TRdaCustomDataSet::CloseNested() {
  const std::vector<TRdaNestedDataSet*> nested = nested_;
  for (TRdaNestedDataSet* n : nested) n->Close();
  // Field objects made at open go at the close: so do the nested datasets
  // over them.
  if (DefaultFields()) {
    ownedNested_.clear();
    while (!nested_.empty()) DetachNested(nested_.back());
  }
}

// ---------------------------------------------------------------------------
// TRdaNestedDataSet

TRdaNestedDataSet::TRdaNestedDataSet() { SetLeadingLogFields(3); }

TRdaNestedDataSet::~TRdaNestedDataSet() {
  CloseForDestruction();
  if (TRdaCustomDataSet* parent = Parent()) parent->DetachNested(this);
}

TRdaCustomDataSet* TRdaNestedDataSet::Parent() const {
  return dataSetField_ ? dynamic_cast<TRdaCustomDataSet*>(dataSetField_->DataSet()) : nullptr;
}

TRdaCustomDataSet& TRdaNestedDataSet::CheckedParent() const {
  TRdaCustomDataSet* parent = Parent();
  if (!parent) DatabaseError(kNoDataSetField, this);
  return *parent;
}

void TRdaNestedDataSet::SetDataSetField(TField* field) {
  if (field == dataSetField_) return;
  CheckInactive();
  TRdaCustomDataSet* parent = field ? dynamic_cast<TRdaCustomDataSet*>(field->DataSet()) : nullptr;
  if (field && !parent) DatabaseError("Field '" + field->FieldName() + "' is not in a memory dataset", this);
  if (TRdaCustomDataSet* old = Parent()) old->DetachNested(this);
  waiting_ = false;
  dataSetField_ = field;
  if (parent) parent->AttachNested(this);
}

bool TRdaNestedDataSet::ParentHasData() {
  TRdaCustomDataSet* parent = Parent();
  if (!parent) return false;
  switch (parent->State()) {
    case dsBrowse:
    case dsEdit:
    case dsCalcFields:
    case dsFilter:
    case dsNewValue:
    case dsOldValue:
    case dsCurValue:
    case dsBlockRead:
    case dsInternalCalc:
      return !parent->IsEmpty() && !dataSetField_->IsNull();
    default:
      return false;
  }
}

int32_t TRdaNestedDataSet::LogMasterID() {
  TRdaCustomDataSet* parent = Parent();
  return parent && parent->Active() ? parent->CurrentRecordID() : 0;
}

// The fields of the parent's value, as they are stored there.
void TRdaNestedDataSet::TakeStructure(const std::string& bytes) {
  std::unique_ptr<TRdaDataSet> value = TextToDataSet(bytes);
  if (!value || !value->Store()) return;
  const TRdaFieldList& fields = value->Store()->FieldList();
  std::vector<std::string> lines;
  for (int i = 0; i < fields.Count(); ++i) {
    const TRdaFieldItem& f = fields.Items(i);
    const uint8_t type = f.DataType() & 0x7F;
    lines.push_back(f.Name() + "," + std::to_string(type) + "," +
                    std::to_string(RdaDeclaredSize(type, f.DataSize())));
  }
  SetFastFields(std::move(lines));
}

void TRdaNestedDataSet::LoadFromParent() {
  TRdaCustomDataSet& parent = CheckedParent();
  DisableControls();
  TScopeGuard enable([this] { EnableControls(); });
  ValueGuard<bool> loading(loading_, true);
  if (ParentHasData()) {
    const std::string bytes = parent.ReadBlobData(*dataSetField_);
    TMemoryStream stream;
    stream.SetBytes(bytes);
    if (Active()) {
      LoadRowsFromStream(stream);
    } else {
      LoadFromStream(stream);
    }
  } else if (Active()) {
    ClearRows();
  }
  RowsReplaced();
  SetModifiedSinceSaved(false);
}

void TRdaNestedDataSet::ParentGone() {
  dataSetField_ = nullptr;
  waiting_ = false;
  Close();
}

void TRdaNestedDataSet::ParentScrolled() {
  if (Active() && !loading_) LoadFromParent();
}

void TRdaNestedDataSet::ParentOpened() {
  if (!waiting_) return;
  waiting_ = false;
  Open();
}

void TRdaNestedDataSet::DoBeforeOpen() {
  if (!loading_) {
    TRdaCustomDataSet& parent = CheckedParent();
    if (!parent.Active()) parent.Open();
    if (!parent.Active()) {
      // The parent opens later (its open waits for a server): this dataset
      // opens with it.
      waiting_ = true;
      throw EAbort(SOperationAborted);
    }
    if (FieldCount() == 0 && FastFields().empty() && ParentHasData()) {
      TakeStructure(parent.ReadBlobData(*dataSetField_));
    }
  }
  TRda2AuditDataset::DoBeforeOpen();
}

void TRdaNestedDataSet::DoAfterOpen() {
  TRda2AuditDataset::DoAfterOpen();
  if (!loading_) LoadFromParent();
}

void TRdaNestedDataSet::WriteBackToParent() {
  TRdaCustomDataSet* parent = Parent();
  if (!parent || !Active()) return;
  // A pending edit of the rows belongs to what goes back.
  if (State() == dsEdit || State() == dsInsert) CheckBrowseMode();
  const TDataSetState state = parent->State();
  if ((state != dsEdit && state != dsInsert) || !ModifiedSinceSaved()) return;
  DisableControls();
  TScopeGuard enable([this] { EnableControls(); });
  TMemoryStream stream;
  SaveToStream(stream);
  parent->WriteBlob(*dataSetField_, stream.Bytes());
  SetModifiedSinceSaved(false);
}

void TRdaNestedDataSet::CancelUpdates() {
  TRdaCustomDataSet* parent = Parent();
  if (!Active() || !parent || !parent->Active()) {
    TRda2AuditDataset::CancelUpdates();
    return;
  }
  PostPendingEdit();
  const int32_t home = LogMasterID();
  std::vector<int32_t> others = LoggedMasters();
  others.erase(std::remove(others.begin(), others.end(), home), others.end());
  if (!others.empty()) {
    // This dataset's rows go into the parent first, so the visits lose nothing.
    parent->CheckBrowseMode();
    parent->DisableControls();
    TScopeGuard enable([parent] { parent->EnableControls(); });
    TScopeGuard back([parent, home] {
      const TBookmark bookmark = TRdaCustomDataSet::BookmarkOfRecordID(home);
      if (parent->Active() && parent->BookmarkValid(bookmark)) parent->GotoBookmark(bookmark);
    });
    for (const int32_t master : others) {
      const TBookmark bookmark = TRdaCustomDataSet::BookmarkOfRecordID(master);
      if (parent->BookmarkValid(bookmark)) {
        parent->GotoBookmark(bookmark);  // loads that row's value here
        TRda2AuditDataset::CancelUpdates();
        parent->CheckBrowseMode();  // and writes it back undone
      } else if (!parent->Store() || parent->Store()->IndexOfID(master) < 0) {
        DropEntriesOf(master);  // the parent row went, with its value
      }
    }
  }
  TRda2AuditDataset::CancelUpdates();
}

void TRdaNestedDataSet::DoBeforeClose() {
  waiting_ = false;
  TRdaCustomDataSet* parent = Parent();
  if (parent && (parent->State() == dsEdit || parent->State() == dsInsert)) {
    WriteBackToParent();
    parent->Post();
  }
  TRda2AuditDataset::DoBeforeClose();
}

// Changing the rows changes the parent's value: a parent at rest starts an
// edit, so that its next post or move writes the rows back instead of
// reading the old value over them.
void TRdaNestedDataSet::EditParent() {
  TRdaCustomDataSet* parent = Parent();
  if (parent && parent->State() == dsBrowse && !parent->IsEmpty() && !loading_) parent->Edit();
}

void TRdaNestedDataSet::DoBeforeEdit() {
  EditParent();
  TRda2AuditDataset::DoBeforeEdit();
}

void TRdaNestedDataSet::DoBeforeInsert() {
  EditParent();
  TRda2AuditDataset::DoBeforeInsert();
}

void TRdaNestedDataSet::DoBeforeDelete() {
  EditParent();
  TRda2AuditDataset::DoBeforeDelete();
}

}  // namespace rda
