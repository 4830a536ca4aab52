#include "memdata/framework/DataSet.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "base/ByteIO.h"
#include "memdata/store/RdaStoredValue.h"

namespace rda {

namespace {

TExceptionHandler& ApplicationHandler() {
  static TExceptionHandler handler;
  return handler;
}

bool IsEditMode(TDataSetState s) { return s == dsEdit || s == dsInsert || s == dsSetKey; }

template <typename T>
void EraseOne(std::vector<T*>& list, T* item) {
  auto it = std::find(list.begin(), list.end(), item);
  if (it != list.end()) list.erase(it);
}

}  // namespace

void DatabaseError(const std::string& message, const TDataSet* dataSet) {
  if (dataSet && !dataSet->Name().empty()) throw EDatabaseError(dataSet->Name() + ": " + message);
  throw EDatabaseError(message);
}

void SetApplicationExceptionHandler(TExceptionHandler handler) {
  ApplicationHandler() = std::move(handler);
}

void HandleApplicationException(std::exception_ptr error) {
  if (ApplicationHandler()) {
    ApplicationHandler()(error);
    return;
  }
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "unknown exception\n");
  }
}

// ---------------------------------------------------------------------------
// TDataSet: life and state

TDataSet::TDataSet() = default;

TDataSet::~TDataSet() {
  while (!dataSources_.empty()) dataSources_.back()->SetDataSet(nullptr);
}

void TDataSet::CloseForDestruction() {
  destroying_ = true;
  SetActive(false);
}

void TDataSet::CheckActive() const {
  if (state_ == dsInactive) DatabaseError(SDataSetClosed, this);
}

void TDataSet::CheckInactive() const {
  if (state_ != dsInactive) DatabaseError(SDataSetOpen, this);
}

void TDataSet::CheckCanModify() {
  if (!GetCanModify()) DatabaseError(SDataSetReadOnly, this);
}

void TDataSet::SetState(TDataSetState value) {
  if (state_ == value) return;
  state_ = value;
  modified_ = false;
  Notify(deUpdateState);
}

// Temporary states keep Modified: a calculation or a filter test inside an
// edit must not make the edit look untouched.
TDataSetState TDataSet::SetTempState(TDataSetState value) {
  TDataSetState old = state_;
  state_ = value;
  ++disableCount_;
  return old;
}

void TDataSet::RestoreState(TDataSetState value) {
  state_ = value;
  --disableCount_;
}

void TDataSet::SetActive(bool value) {
  if (value == Active()) return;
  if (value) {
    DoBeforeOpen();
    try {
      OpenCursor();
    } catch (...) {
      state_ = dsInactive;
      CloseCursor();
      throw;
    }
    SetState(dsBrowse);
    DoAfterOpen();
    if (!IsEmpty()) DoAfterScroll();
  } else {
    if (!destroying_) DoBeforeClose();
    SetState(dsInactive);
    CloseCursor();
    if (!destroying_) DoAfterClose();
  }
}

void TDataSet::OpenCursor() {
  defaultFields_ = fields_.Count() == 0;
  InternalOpen();
  AllocateBuffers();
  ClearBuffers();
  FetchRecord(gmNext);
  bof_ = true;
}

void TDataSet::CloseCursor() {
  ClearBuffers();
  FreeBuffers();
  InternalClose();
  defaultFields_ = false;
}

void TDataSet::AllocateBuffers() {
  FreeBuffers();
  buffers_[0] = AllocRecordBuffer();
  buffers_[1] = AllocRecordBuffer();
  tempBuffer_ = AllocRecordBuffer();
}

void TDataSet::FreeBuffers() {
  for (TRecordBuffer* b : {&buffers_[0], &buffers_[1], &tempBuffer_}) {
    if (*b) FreeRecordBuffer(*b);
    *b = nullptr;
  }
  calcBuffer_ = nullptr;
}

void TDataSet::ClearBuffers() {
  recordCount_ = 0;
  currentRecord_ = -1;
  bof_ = true;
  eof_ = true;
}

template <typename Operation>
void TDataSet::CheckOperation(Operation&& operation, const TDataSetErrorEvent& onError) {
  for (;;) {
    try {
      operation();
      return;
    } catch (EDatabaseError& e) {
      TDataAction action = daFail;
      if (onError) onError(*this, e, action);
      if (action == daFail) throw;
      if (action == daAbort) throw EAbort(SOperationAborted);
    }
  }
}

// ---------------------------------------------------------------------------
// Fetching

void TDataSet::SetCurrentRecord() {
  if (currentRecord_ == 0) return;
  char* buffer = buffers_[0];
  switch (GetBookmarkFlag(buffer)) {
    case bfCurrent:
    case bfInserted:
      InternalSetToRecord(buffer);
      break;
    case bfBOF:
      InternalFirst();
      break;
    case bfEOF:
      InternalLast();
      break;
  }
  currentRecord_ = 0;
}

void TDataSet::UpdateCursorPos() {
  if (recordCount_ > 0) SetCurrentRecord();
}

// The record is read into the fetch buffer, which then becomes the active
// one: one copy per move.
bool TDataSet::FetchRecord(TGetMode mode) {
  if (recordCount_ > 0) SetCurrentRecord();
  if (GetRecord(buffers_[1], mode, true) != grOK) {
    CursorPosChanged();
    return false;
  }
  std::swap(buffers_[0], buffers_[1]);
  if (recordCount_ == 0) bof_ = eof_ = false;
  recordCount_ = 1;
  currentRecord_ = 0;
  return true;
}

void TDataSet::Resync(TResyncMode mode) {
  if (mode.Contains(rmExact)) {
    CursorPosChanged();
    if (GetRecord(buffers_[1], gmCurrent, true) != grOK) DatabaseError(SRecordNotFound, this);
  } else if (GetRecord(buffers_[1], gmCurrent, false) != grOK &&
             GetRecord(buffers_[1], gmNext, false) != grOK &&
             GetRecord(buffers_[1], gmPrior, false) != grOK) {
    ClearBuffers();
    Notify(deDataSetChange);
    return;
  }
  std::swap(buffers_[0], buffers_[1]);
  recordCount_ = 1;
  currentRecord_ = 0;
  bof_ = eof_ = false;
  Notify(deDataSetChange);
}

// ---------------------------------------------------------------------------
// Navigation

void TDataSet::First() { MoveToEnd(true); }
void TDataSet::Last() { MoveToEnd(false); }

void TDataSet::MoveToEnd(bool first) {
  CheckBrowseMode();
  DoBeforeScroll();
  ClearBuffers();
  std::exception_ptr error;
  try {
    if (first) {
      InternalFirst();
      FetchRecord(gmNext);
    } else {
      InternalLast();
      FetchRecord(gmPrior);
    }
  } catch (...) {
    error = std::current_exception();
  }
  (first ? bof_ : eof_) = true;
  Notify(deDataSetChange);
  if (error) std::rethrow_exception(error);
  DoAfterScroll();
}

int TDataSet::MoveBy(int distance) {
  CheckBrowseMode();
  int moved = 0;
  DoBeforeScroll();
  if ((distance > 0 && !eof_) || (distance < 0 && !bof_)) {
    bof_ = eof_ = false;
    try {
      for (; distance > 0; --distance, ++moved) {
        if (!FetchRecord(gmNext)) {
          eof_ = true;
          break;
        }
      }
      for (; distance < 0; ++distance, --moved) {
        if (!FetchRecord(gmPrior)) {
          bof_ = true;
          break;
        }
      }
    } catch (...) {
      Notify(deDataSetScroll, nullptr, moved);
      throw;
    }
    Notify(deDataSetScroll, nullptr, moved);
    DoAfterScroll();
  }
  return moved;
}

void TDataSet::Refresh() {
  CheckBrowseMode();
  UpdateCursorPos();
  InternalRefresh();
  Resync({});
}

void TDataSet::CheckBrowseMode() {
  CheckActive();
  Notify(deCheckBrowseMode);
  switch (state_) {
    case dsEdit:
    case dsInsert:
      UpdateRecord();
      if (modified_) {
        Post();
      } else {
        Cancel();
      }
      break;
    case dsSetKey:
      Post();
      break;
    default:
      break;
  }
}

// ---------------------------------------------------------------------------
// Editing

void TDataSet::BeginInsertAppend() {
  CheckBrowseMode();
  CheckCanModify();
  DoBeforeInsert();
  DoBeforeScroll();
}

void TDataSet::EndInsertAppend() {
  SetState(dsInsert);
  try {
    DoOnNewRecord();
  } catch (...) {
    UpdateCursorPos();
    SetState(dsBrowse);
    Resync({});
    throw;
  }
  modified_ = false;
  Notify(deDataSetChange);
  DoAfterInsert();
  DoAfterScroll();
}

// A new record starts in the active buffer: zeroed, calculated area
// cleared, flagged. An inserted record remembers the bookmark of the record
// it goes before, so the cursor can find its place again.
void TDataSet::InsertOrAppend(bool append) {
  BeginInsertAppend();
  char* buffer = buffers_[0];
  if (append) {
    ClearBuffers();
    InternalInitRecord(buffer);
    ClearCalcFields(buffer);
    SetBookmarkFlag(buffer, bfEOF);
    recordCount_ = 1;
    bof_ = false;
    InternalLast();
    currentRecord_ = 0;
  } else {
    TBookmark old = Bookmark();
    bool empty = recordCount_ == 0;
    InternalInitRecord(buffer);
    ClearCalcFields(buffer);
    SetBookmarkFlag(buffer, bfInserted);
    if (empty) {
      SetBookmarkFlag(buffer, bfBOF);
    } else {
      SetBookmarkData(buffer, old);
    }
    recordCount_ = 1;
    currentRecord_ = -1;
  }
  appending_ = append;
  InternalInsert();
  EndInsertAppend();
}

void TDataSet::Insert() { InsertOrAppend(false); }
void TDataSet::Append() { InsertOrAppend(true); }

void TDataSet::Edit() {
  if (state_ == dsEdit || state_ == dsInsert) return;
  if (recordCount_ == 0) {
    Insert();
    return;
  }
  CheckBrowseMode();
  CheckCanModify();
  DoBeforeEdit();
  CheckOperation(
      [this] {
        UpdateCursorPos();
        InternalEdit();
      },
      OnEditError);
  GetCalcFields(buffers_[0]);
  SetState(dsEdit);
  Notify(deRecordChange);
  DoAfterEdit();
}

void TDataSet::UpdateRecord() {
  if (!IsEditMode(state_)) DatabaseError(SNotEditing, this);
  Notify(deUpdateRecord);
}

void TDataSet::Post() {
  UpdateRecord();
  if (state_ == dsEdit || state_ == dsInsert) PostRecord(false);
}

void TDataSet::PostRecord(bool add) {
  Notify(deCheckBrowseMode);
  DoBeforePost();
  CheckOperation(
      [this, add] {
        UpdateCursorPos();
        if (add) {
          InternalAddRecord(buffers_[0], appending_);
        } else {
          InternalPost();
        }
      },
      OnPostError);
  SetState(dsBrowse);
  Resync({});
  DoAfterPost();
}

void TDataSet::Cancel() {
  if (state_ != dsEdit && state_ != dsInsert) return;
  Notify(deCheckBrowseMode);
  DoBeforeCancel();
  UpdateCursorPos();
  if (state_ == dsEdit) InternalCancel();
  SetState(dsBrowse);
  Resync({});
  DoAfterCancel();
}

void TDataSet::Delete() {
  CheckActive();
  if (state_ == dsInsert || state_ == dsSetKey) {
    Cancel();
    return;
  }
  if (recordCount_ == 0) DatabaseError(SDataSetEmpty, this);
  CheckCanModify();
  Notify(deCheckBrowseMode);
  DoBeforeDelete();
  DoBeforeScroll();
  CheckOperation(
      [this] {
        UpdateCursorPos();
        InternalDelete();
      },
      OnDeleteError);
  SetState(dsBrowse);
  Resync({});
  DoAfterDelete();
  DoAfterScroll();
}

void TDataSet::SetFields(const TVariantArray& values) {
  size_t n = std::min(values.size(), static_cast<size_t>(fields_.Count()));
  for (size_t i = 0; i < n; ++i) {
    if (!values[i].IsEmpty()) fields_[static_cast<int>(i)].SetValue(values[i]);
  }
}

void TDataSet::AddRecordFromValues(const TVariantArray& values, bool append) {
  InsertOrAppend(append);
  try {
    SetFields(values);
    UpdateRecord();
    PostRecord(true);
  } catch (...) {
    if (state_ == dsInsert) Cancel();
    throw;
  }
}

void TDataSet::InsertRecord(const TVariantArray& values) { AddRecordFromValues(values, false); }
void TDataSet::AppendRecord(const TVariantArray& values) { AddRecordFromValues(values, true); }

void TDataSet::InternalPost() {
  if (requiredFields_ == 0) return;
  for (const auto& f : fields_) {
    if (f->Required() && f->FieldKind() == fkData && f->IsNull()) {
      DatabaseError("Field '" + f->DisplayName() + "' must have a value", this);
    }
  }
}

void TDataSet::InternalHandleException() { HandleApplicationException(std::current_exception()); }

// ---------------------------------------------------------------------------
// Fields

TField& TDataSet::FieldByName(std::string_view name) const {
  TField* f = fields_.FindField(name);
  if (!f) DatabaseError("Field '" + std::string(name) + "' not found", this);
  return *f;
}

TField* TDataSet::FindFieldByNumber(int fieldNo) const {
  for (const auto& f : fields_) {
    if (f->FieldNo() == fieldNo && !f->InCalcArea()) return f.get();
  }
  return nullptr;
}

std::vector<std::string> TDataSet::SplitFieldNames(std::string_view names) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= names.size()) {
    size_t end = names.find(';', start);
    if (end == std::string_view::npos) end = names.size();
    std::string_view part = names.substr(start, end - start);
    while (!part.empty() && part.front() == ' ') part.remove_prefix(1);
    while (!part.empty() && part.back() == ' ') part.remove_suffix(1);
    if (!part.empty()) out.emplace_back(part);
    start = end + 1;
  }
  return out;
}

std::vector<TField*> TDataSet::GetFieldList(std::string_view names) const {
  std::vector<TField*> out;
  for (const std::string& name : SplitFieldNames(names)) out.push_back(&FieldByName(name));
  return out;
}

TVariantArray TDataSet::FieldValues(std::string_view names) const {
  TVariantArray out;
  for (TField* f : GetFieldList(names)) out.push_back(f->Value());
  return out;
}

TField& TDataSet::CreateField(std::string fieldName, TFieldType type, int size, TFieldKind kind) {
  CheckInactive();
  if (fields_.FindField(fieldName)) DatabaseError("Duplicate field name '" + fieldName + "'", this);
  std::unique_ptr<TField> field = CreateFieldObject(type, size);
  field->fieldName_ = std::move(fieldName);
  field->fieldKind_ = kind;
  field->dataSet_ = this;
  fields_.items_.push_back(std::move(field));
  return *fields_.items_.back();
}

void TDataSet::CreateFields() {
  for (int i = 0; i < fieldDefs_.Count(); ++i) {
    const TFieldDef& def = fieldDefs_.Items(i);
    std::unique_ptr<TField> field = CreateFieldObject(def.DataType(), def.Size());
    field->fieldName_ = def.Name();
    field->required_ = def.Required();
    field->dataSet_ = this;
    fields_.items_.push_back(std::move(field));
  }
}

void TDataSet::DestroyFields() {
  CheckInactive();
  fields_.items_.clear();
}

void TDataSet::RemoveField(TField* field) {
  CheckInactive();
  auto& items = fields_.items_;
  auto it = std::find_if(items.begin(), items.end(), [field](auto& p) { return p.get() == field; });
  if (it != items.end()) items.erase(it);
}

// Data fields take their column from the definition of the same name;
// calculated and lookup fields are laid out in the calculated area, each as
// a has-value byte followed by its stored form.
void TDataSet::BindFields(bool binding) {
  calcFieldsSize_ = 0;
  requiredFields_ = 0;
  for (const auto& f : fields_) {
    if (binding && f->Required()) ++requiredFields_;
    if (!binding) {
      f->fieldNo_ = 0;
      f->offset_ = 0;
    } else if (f->InCalcArea()) {
      f->fieldNo_ = 0;
      f->offset_ = calcFieldsSize_;
      calcFieldsSize_ += f->DataSize() + 1;
    } else {
      f->fieldNo_ = fieldDefs_.Find(f->FieldName()).FieldNo();
    }
  }
}

void TDataSet::GetCalcFields(char* buffer) {
  if (calcFieldsSize_ == 0) return;
  TempStateScope temp(*this, dsCalcFields);
  CalculateFields(buffer);
}

void TDataSet::CalculateFields(char* buffer) {
  calcBuffer_ = buffer;
  if (state_ != dsInternalCalc) {
    ClearCalcFields(buffer);
    for (const auto& f : fields_) {
      if (f->FieldKind() == fkLookup) CalcLookupValue(*f);
    }
  }
  DoOnCalcFields();
}

void TDataSet::CalcLookupValue(TField& field) {
  TDataSet* lookup = field.LookupDataSet;
  if (!lookup || !lookup->Active()) return;
  field.SetValue(
      lookup->Lookup(field.LookupKeyFields, FieldValues(field.KeyFields), field.LookupResultField));
}

void TDataSet::DataConvert(const TField& field, const void* source, void* dest, bool toNative) {
  const char* src = static_cast<const char*>(source);
  char* dst = static_cast<char*>(dest);
  switch (field.DataType()) {
    case ftDate:
    case ftTime:
    case ftDateTime: {
      TDateTime value;
      if (toNative) {
        std::memcpy(&value, source, sizeof value);
        RdaStoreDateTime(field.DataType(), value, dst);
      } else {
        value = RdaLoadDateTime(field.DataType(), src);
        std::memcpy(dest, &value, sizeof value);
      }
      break;
    }
    case ftBCD: {
      // The stored form is the currency value itself.
      Currency value;
      if (toNative) {
        std::memcpy(&value, source, sizeof value);
        StoreU64LE(dst, static_cast<uint64_t>(value.Scaled));
      } else {
        value.Scaled = static_cast<int64_t>(LoadU64LE(src));
        std::memcpy(dest, &value, sizeof value);
      }
      break;
    }
    case ftWideString: {
      // At most Size code units; a zero unit ends the text.
      const size_t size = static_cast<size_t>(field.Size());
      if (toNative) {
        const auto& text = *static_cast<const std::u16string*>(source);
        std::memset(dst, 0, size * 2);
        for (size_t i = 0; i < size && i < text.size(); ++i) {
          StoreU16LE(dst + 2 * i, static_cast<uint16_t>(text[i]));
          if (text[i] == 0) break;
        }
      } else {
        *static_cast<std::u16string*>(dest) = RdaLoadWideText(src, size * 2);
      }
      break;
    }
    default:
      std::memcpy(dest, source, static_cast<size_t>(field.DataSize()));
      break;
  }
}

void TDataSet::DoFieldValidate(TField& field) {
  if (field.OnValidate) field.OnValidate(field);
}

std::string TDataSet::ReadBlobData(TField& field) {
  DatabaseError("Field '" + field.DisplayName() + "' has no blob storage", this);
}

void TDataSet::WriteBlobData(TField& field, std::string_view) {
  DatabaseError("Field '" + field.DisplayName() + "' has no blob storage", this);
}

// ---------------------------------------------------------------------------
// Bookmarks, searching, filtering

TBookmark TDataSet::Bookmark() {
  if ((state_ == dsBrowse || state_ == dsEdit || state_ == dsInsert) && recordCount_ > 0 &&
      GetBookmarkFlag(buffers_[0]) == bfCurrent) {
    return GetBookmarkData(buffers_[0]);
  }
  return {};
}

void TDataSet::GotoBookmark(const TBookmark& bookmark) {
  if (bookmark.empty()) return;
  CheckBrowseMode();
  DoBeforeScroll();
  InternalGotoBookmark(bookmark);
  Resync({rmExact, rmCenter});
  DoAfterScroll();
}

bool TDataSet::BookmarkValid(const TBookmark&) { return false; }

int TDataSet::CompareBookmarks(const TBookmark& a, const TBookmark& b) {
  if (a.empty() || b.empty()) return a.empty() == b.empty() ? 0 : (a.empty() ? -1 : 1);
  int c = a.compare(b);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

Variant TDataSet::Lookup(std::string_view keyFields, const TVariantArray& keyValues,
                         std::string_view resultField) {
  FieldByName(resultField);  // one field name only
  TVariantArray values = LookupValues(keyFields, keyValues, resultField);
  return values.empty() ? Variant::Null() : values.front();
}

void TDataSet::SetOnFilterRecord(std::function<void(TDataSet&, bool&)> handler) {
  OnFilterRecord = std::move(handler);
  FilterRecordEventChanged();
}

// ---------------------------------------------------------------------------
// Events to sources and links

// Kept small: it runs for every field write and state change, and most
// datasets have no sources listening. The field work and the notification
// are tail calls, so the common path saves no registers.
void TDataSet::DataEvent(TDataEvent event, TField* field, int info) {
  if (event == deFieldChange && field) return FieldChangeEvent(*field, info);
  if (disableCount_ != 0) {
    if (event == deLayoutChange) enableEvent_ = deLayoutChange;
    return;
  }
  if (!dataSources_.empty() && state_ != dsBlockRead) NotifySources(event, field, info);
}

void TDataSet::FieldChangeEvent(TField& field, int info) {
  const TFieldKind kind = field.FieldKind();
  if (kind == fkData || kind == fkInternalCalc) modified_ = true;
  if (state_ != dsSetKey && kind == fkData && calcFieldsSize_ > 0 && autoCalcFields_) {
    CalculateFields(buffers_[0]);
  }
  field.Change();
  if (disableCount_ == 0 && !dataSources_.empty() && state_ != dsBlockRead) {
    NotifySources(deFieldChange, &field, info);
  }
}

// A handler may detach a source: walk by index and re-check the bound.
void TDataSet::NotifySources(TDataEvent event, TField* field, int info) {
  for (size_t i = 0; i < dataSources_.size(); ++i) dataSources_[i]->DataEvent(event, field, info);
}

void TDataSet::DisableControls() {
  if (disableCount_ == 0) {
    disableState_ = state_;
    enableEvent_ = deDataSetChange;
  }
  ++disableCount_;
}

void TDataSet::EnableControls() {
  if (disableCount_ == 0) return;
  if (--disableCount_ != 0) return;
  if (disableState_ != state_) Notify(deUpdateState);
  if (disableState_ != dsInactive && state_ != dsInactive) DataEvent(enableEvent_);
}

// ---------------------------------------------------------------------------
// TDataSource

TDataSource::~TDataSource() {
  OnStateChange = nullptr;
  SetDataSet(nullptr);
  while (!links_.empty()) links_.back()->SetDataSource(nullptr);
}

void TDataSource::SetDataSet(TDataSet* dataSet) {
  if (dataSet == dataSet_) return;
  if (dataSet_) EraseOne(dataSet_->dataSources_, this);
  dataSet_ = dataSet;
  if (dataSet_) dataSet_->dataSources_.push_back(this);
  UpdateState();
}

void TDataSource::SetEnabled(bool value) {
  enabled_ = value;
  UpdateState();
}

void TDataSource::UpdateState() {
  TDataSetState s = (dataSet_ && enabled_) ? dataSet_->State() : dsInactive;
  if (s == state_) return;
  state_ = s;
  NotifyLinks(deUpdateState, nullptr, 0);
  if (OnStateChange) OnStateChange(*this);
}

void TDataSource::NotifyLinks(TDataEvent event, TField* field, int info) {
  for (size_t i = 0; i < links_.size(); ++i) links_[i]->DataEvent(event, field, info);
}

void TDataSource::DataEvent(TDataEvent event, TField* field, int info) {
  if (event == deUpdateState) {
    UpdateState();
    return;
  }
  if (state_ == dsInactive) return;
  NotifyLinks(event, field, info);
  switch (event) {
    case deFieldChange:
    case deRecordChange:
      if (OnDataChange) OnDataChange(*this, field);
      break;
    case deDataSetChange:
    case deDataSetScroll:
    case deLayoutChange:
      if (OnDataChange) OnDataChange(*this, nullptr);
      break;
    case deUpdateRecord:
      if (OnUpdateData) OnUpdateData(*this);
      break;
    default:
      break;
  }
}

// ---------------------------------------------------------------------------
// TDataLink

TDataLink::~TDataLink() {
  if (dataSource_) EraseOne(dataSource_->links_, this);
}

void TDataLink::SetDataSource(TDataSource* source) {
  if (source == dataSource_) return;
  if (dataSource_) EraseOne(dataSource_->links_, this);
  dataSource_ = source;
  if (dataSource_) dataSource_->links_.push_back(this);
  UpdateState();
}

void TDataLink::SetReadOnly(bool value) {
  readOnly_ = value;
  UpdateState();
}

void TDataLink::UpdateState() {
  TDataSetState s = dataSource_ ? dataSource_->State() : dsInactive;
  bool active = s != dsInactive;
  bool editing = IsEditMode(s) && !readOnly_;
  if (active != active_) {
    active_ = active;
    ActiveChanged();
  }
  if (editing != editing_) {
    editing_ = editing;
    EditingChanged();
  }
}

bool TDataLink::Edit() {
  if (dataSource_ && dataSource_->AutoEdit() && !readOnly_ && dataSource_->State() == dsBrowse) {
    dataSource_->DataSet()->Edit();
  }
  return editing_;
}

void TDataLink::UpdateRecord() {
  updating_ = true;
  try {
    UpdateData();
  } catch (...) {
    updating_ = false;
    throw;
  }
  updating_ = false;
}

int TDataLink::RecordCount() const {
  TDataSet* ds = DataSet();
  return (active_ && ds && !ds->IsEmpty()) ? 1 : 0;
}

void TDataLink::DataEvent(TDataEvent event, TField* field, int info) {
  if (event == deUpdateState) {
    UpdateState();
    return;
  }
  if (!active_) return;
  switch (event) {
    case deFieldChange:
    case deRecordChange:
      if (!updating_) RecordChanged(field);
      break;
    case deDataSetChange:
      DataSetChanged();
      break;
    case deDataSetScroll:
      DataSetScrolled(info);
      break;
    case deLayoutChange:
      LayoutChanged();
      break;
    case deUpdateRecord:
      UpdateRecord();
      break;
    case deCheckBrowseMode:
      CheckBrowseMode();
      break;
    case deFocusControl:
      FocusControl(field);
      break;
    default:
      break;
  }
}

}  // namespace rda
