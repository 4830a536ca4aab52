#include "memdata/RdaCustomDataSet.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>

#include "base/ByteIO.h"
#include "base/Convert.h"
#include "memdata/RdaNestedDataSet.h"
#include "memdata/ValueGuard.h"
#include "memdata/expr/RdaDataSetExpressions.h"
#include "memdata/expr/RdaExpression.h"
#include "memdata/store/RdaStoredValue.h"

namespace rda {

namespace {

constexpr int kBookmarkSize = 4;
constexpr const char* kNotEditing = "DataSet Not in Edit or Insert Mode";
constexpr const char* kBookmarkNotFound = "Bookmark not found";

// The large-value codes whose values an edit keeps for a cancel, limited
// to those that have storage.
bool KeepsOldValue(int type) {
  return type == ftBytes || type == ftVarBytes || IsRdaBlobFieldType(static_cast<uint8_t>(type));
}

// memcpy with the common widths spelled out, so they compile to moves.
inline void CopyBytes(char* dst, const char* src, size_t n) {
  switch (n) {
    case 2:
      std::memcpy(dst, src, 2);
      break;
    case 4:
      std::memcpy(dst, src, 4);
      break;
    case 8:
      std::memcpy(dst, src, 8);
      break;
    default:
      std::memcpy(dst, src, n);
      break;
  }
}

template <typename T>
int Sign(T a, T b) {
  return a < b ? -1 : (a > b ? 1 : 0);
}

}  // namespace

// ---------------------------------------------------------------------------
// Automatic calculated fields

TFieldType AutoCalcFieldTypeToFieldType(TAutoCreateCalcFieldType type) {
  static constexpr TFieldType kTypes[] = {
      ftString, ftInteger,  ftSmallint, ftWord, ftFloat, ftCurrency,  ftBCD,
      ftFMTBcd, ftBoolean,  ftDateTime, ftDate, ftTime,  ftLargeint, ftWideString,
  };
  return kTypes[static_cast<size_t>(type)];
}

void TAutoCreateCalcField::SetActive(bool value) {
  if (value && fieldName_.find_first_not_of(" \t\r\n") == std::string::npos) {
    throw EDatabaseError("FieldName is required");
  }
  active_ = value;
}

void TAutoCreateCalcField::SetDataType(TAutoCreateCalcFieldType type) {
  bool textNow = type == cfString || type == cfWideString;
  bool textBefore = dataType_ == cfString || dataType_ == cfWideString;
  if (textNow && !textBefore) size_ = 20;
  dataType_ = type;
}

TAutoCreateCalcField& TAutoCreateCalcFields::Add() {
  auto item = std::make_unique<TAutoCreateCalcField>();
  item->fieldName_ = "AutoCalc" + std::to_string(++added_);
  items_.push_back(std::move(item));
  return *items_.back();
}

// ---------------------------------------------------------------------------
// Creation, structure

TRdaCustomDataSet::TRdaCustomDataSet() { SetObjectView(true); }

TRdaCustomDataSet::~TRdaCustomDataSet() {
  tearingDown_ = true;
  ownedNested_.clear();
  while (!nested_.empty()) DetachNested(nested_.back());
  CloseForDestruction();
  DetachBlobStreams();
  // The definitions go while the store still holds the rows they refer to.
  aggregates_.Clear();
  indexes_.Clear();
  aggregates_.Attach(nullptr);
}

TRdaDataSet::~TRdaDataSet() = default;

void TRdaCustomDataSet::AddField(std::string_view name, TFieldType dataType, int size) {
  if (dataType == ftGuid) size = 38;
  fastFields_.push_back(std::string(name) + "," + std::to_string(static_cast<int>(dataType)) + "," +
                        std::to_string(size));
}

TRdaFastField TRdaCustomDataSet::ParseFastField(std::string_view line) {
  auto fail = [&]() -> TRdaFastField {
    throw EDatabaseError("Invalid FastFields line '" + std::string(line) + "'");
  };
  size_t sizeComma = line.rfind(',');
  if (sizeComma == std::string_view::npos || sizeComma == 0) return fail();
  size_t typeComma = line.rfind(',', sizeComma - 1);
  if (typeComma == std::string_view::npos) return fail();
  std::optional<int32_t> type = TryStrToInt(line.substr(typeComma + 1, sizeComma - typeComma - 1));
  std::optional<int32_t> size = TryStrToInt(line.substr(sizeComma + 1));
  if (!type || !size || *type < 0 || *type > 255 || *size < 0) return fail();
  return TRdaFastField{std::string(line.substr(0, typeComma)), *type, *size};
}

void TRdaCustomDataSet::DiscardStore() {
  CheckInactive();
  scratchRow_.reset();
  detailKey_.reset();
  detailKeyIndex_ = nullptr;
  IndexesStoreChanged(nullptr);
  store_.reset();
  discardOnClose_ = false;
  blobs_.Clear();
}

// Makes sure a row store exists and describes the fields: from the field
// objects when there is no FastFields list, else from the list. The
// descriptions are made and laid out aside: a definition the store refuses
// leaves the store, its descriptions and the field definitions as they were.
void TRdaCustomDataSet::Prepare(bool clearDefinitions) {
  cursorOpen_ = false;
  const bool describedNone = !store_ || store_->FieldList().Count() == 0;
  std::optional<TRdaFieldList> described;
  // Only into an empty description list: describing the same fields again
  // at every open would change the layout of rows that survived a close.
  if (FieldCount() > 0 && fastFields_.empty() && describedNone) {
    described.emplace();
    for (const auto& f : Fields()) {
      if (f->InCalcArea() || f->FieldKind() == fkAggregate) continue;
      described->AddField(f->FieldName(), f->DataType(), f->Size());
    }
  }
  const bool fromFastFields = !fastFields_.empty() && (FieldCount() == 0 || describedNone);
  if (fromFastFields) {
    described.emplace();
    for (const std::string& line : fastFields_) {
      const TRdaFastField f = ParseFastField(line);
      described->AddField(f.Name, static_cast<uint8_t>(f.Type), f.Size);
    }
  }
  if (described) described->CalcOffsets();

  const bool madeStore = !store_;
  if (madeStore) {
    store_ = std::make_unique<TRdaDBList>();
    IndexesStoreChanged(store_.get());
  }
  std::optional<TRdaFieldList> before;
  try {
    if (described) {
      before = store_->FieldList();
      store_->MutableFieldList() = std::move(*described);
    }
    store_->CalcLayout();
  } catch (...) {
    if (before) store_->MutableFieldList() = std::move(*before);
    if (madeStore) {
      IndexesStoreChanged(nullptr);
      store_.reset();
    }
    throw;
  }
  if (fromFastFields && clearDefinitions) FieldDefs().Clear();
}

TRdaDBList& TRdaCustomDataSet::PrepareStore() {
  CheckInactive();
  Prepare(true);
  return *store_;
}

TRdaDBListItem& TRdaCustomDataSet::AppendLoadedRow() {
  if (!store_) DatabaseError("No row store to load rows into", this);
  if (!cursorOpen_ && !loadIdsSynced_) {
    nextRecordId_ = std::max({nextRecordId_, store_->Count(), store_->MaxID()});
    loadIdsSynced_ = true;
  }
  return *store_->AddWithID(++nextRecordId_);
}

void TRdaCustomDataSet::LoadedRowFilled(TRdaDBListItem& row) {
  try {
    IndexRowAdded(row);
  } catch (...) {
    store_->DestroyRow(&row);
    throw;
  }
}

void TRdaCustomDataSet::InternalInitFieldDefs() {
  if (!store_) return;
  FieldDefs().Clear();
  const TRdaFieldList& list = store_->FieldList();
  for (int i = 0; i < list.Count(); ++i) {
    const TRdaFieldItem& d = list.Items(i);
    FieldDefs().Add(d.Name(), static_cast<TFieldType>(d.DataType() & 0x7F),
                    RdaDeclaredSize(d.DataType(), d.DataSize()), false, i + 1);
  }
}

void TRdaCustomDataSet::InternalOpen() {
  DetailFieldsChanged();
  if (!store_ || FieldDefs().Count() == 0) Prepare(true);
  if (fastFields_.empty() && FieldCount() > 0) Prepare(false);
  cursor_ = -1;
  // Above every identity present, so that no RecordID is handed out twice
  // (a load has just made it so).
  nextRecordId_ = openingLoaded_ ? std::max<int32_t>(nextRecordId_, store_->Count())
                                 : std::max<int32_t>(store_->Count(), store_->MaxID());
  if (FieldDefs().Count() == 0) InternalInitFieldDefs();
  const TRdaFieldList& list = store_->FieldList();
  imageSize_ = store_->RecordSize() + 4 * (list.Count() / 32 + 1);
  if (DefaultFields()) {
    CreateFields();
  } else {
    CheckPersistentFields();
  }
  CreateAutoCalcFields();
  BindFields(true);

  slots_.clear();
  for (int i = 0; i < list.Count(); ++i) {
    const TRdaFieldItem& d = list.Items(i);
    FieldSlot s;
    s.offset = d.Offset();
    s.dataSize = d.DataSize();
    s.type = d.DataType() & 0x7F;
    s.kind = IsRdaTextFieldType(s.type) ? skText : (IsRdaUnstoredFieldType(s.type) ? skUnstored : skCopy);
    s.nullByte = store_->NullFlagsOffset() + i / 8;
    s.nullMask = static_cast<uint8_t>(1u << (i % 8));
    slots_.push_back(s);
  }
  bookmarkOffset_ = imageSize_;
  calcAreaOffset_ = imageSize_ + kBookmarkSize + 1;
  bufferSize_ = calcAreaOffset_ + CalcFieldsSize();
  cursorOpen_ = FieldCount() > 0;
  // The buffers and slots above follow the store's layout from here on.
  store_->SetLayoutFixed(true);
  keyBuffers_.assign(kKeyBufferCount, std::string(static_cast<size_t>(bufferSize_ + kKeyHeader), '\0'));
  CompileExpressions();
  if (!Filter().empty()) CompileFilter();
  // The indexes are built before the first record is read, so that it is
  // read in the selected index's order; the aggregates follow once the
  // filter can run (DoAfterOpen).
  {
    // The aggregates of the indexes built here wait for DoAfterOpen, when
    // the filter's buffers exist.
    ValueGuard<bool> deferred(aggregatesDeferred_, true);
    BeforeIndexesBind();
    indexes_.BindFields();
    indexes_.BuildPending();
  }
}

void TRdaCustomDataSet::CheckPersistentFields() {
  if (FieldDefs().Count() == 0) {
    DestroyFields();
    return;
  }
  for (const auto& f : Fields()) {
    TFieldKind kind = f->FieldKind();
    if (kind != fkData && kind != fkInternalCalc && kind != fkAggregate) continue;
    const TFieldDef* def = FieldDefs().FindDef(f->FieldName());
    bool ok = def && (def->DataType() == f->DataType() ||
                      (IsRdaIntegerFieldType(def->DataType()) && IsRdaIntegerFieldType(f->DataType())));
    if (!ok) throw EDatabaseError(Name() + ":Field '" + f->FieldName() + "' not found");
  }
}

void TRdaCustomDataSet::CreateAutoCalcFields() {
  autoCalcFieldObjects_.clear();
  for (int i = 0; i < autoCalcFields_.Count(); ++i) {
    const TAutoCreateCalcField& item = autoCalcFields_.Items(i);
    if (!item.Active()) continue;
    TField& f = CreateField(item.FieldName(), AutoCalcFieldTypeToFieldType(item.DataType()),
                            item.Size(), fkCalculated);
    f.SetName(item.FieldName());
    f.SetVisible(item.Visible());
    autoCalcFieldObjects_.push_back(&f);
  }
}

void TRdaCustomDataSet::DestroyAutoCalcFields() {
  for (TField* f : autoCalcFieldObjects_) RemoveField(f);
  autoCalcFieldObjects_.clear();
}

void TRdaCustomDataSet::InternalClose() {
  DetailFieldsChanged();
  // A pending edit is dropped with the close: so are the blobs it added.
  DropEditBlobs(nullptr);
  DetachBlobStreams();
  if (store_) store_->SetLayoutFixed(false);
  filter_.reset();
  FreeCompiledExpressions();
  keyBuffers_.clear();
  slots_.clear();
  oldValues_.clear();
  if (discardOnClose_) DiscardStore();
  nextRecordId_ = 0;
  loadIdsSynced_ = false;
  cursor_ = -1;
  BindFields(false);
  if (DefaultFields()) {
    DestroyFields();
    autoCalcFieldObjects_.clear();
  } else {
    DestroyAutoCalcFields();
  }
  cursorOpen_ = false;
}

// ---------------------------------------------------------------------------
// Buffers and bookmarks

TRecordBuffer TRdaCustomDataSet::AllocRecordBuffer() {
  return new char[static_cast<size_t>(bufferSize_)]();
}

void TRdaCustomDataSet::FreeRecordBuffer(TRecordBuffer& buffer) {
  delete[] buffer;
  buffer = nullptr;
}

TBookmark TRdaCustomDataSet::GetBookmarkData(const char* buffer) const {
  return TBookmark(buffer + bookmarkOffset_, kBookmarkSize);
}

TBookmark TRdaCustomDataSet::BookmarkOfRecordID(int32_t id) {
  TBookmark bookmark(kBookmarkSize, '\0');
  StoreI32LE(bookmark.data(), id);
  return bookmark;
}

void TRdaCustomDataSet::SetBookmarkData(char* buffer, const TBookmark& bookmark) {
  std::memset(buffer + bookmarkOffset_, 0, kBookmarkSize);
  std::memcpy(buffer + bookmarkOffset_, bookmark.data(),
              std::min<size_t>(bookmark.size(), kBookmarkSize));
}

TBookmarkFlag TRdaCustomDataSet::GetBookmarkFlag(const char* buffer) const {
  return static_cast<TBookmarkFlag>(buffer[bookmarkOffset_ + kBookmarkSize]);
}

void TRdaCustomDataSet::SetBookmarkFlag(char* buffer, TBookmarkFlag flag) {
  buffer[bookmarkOffset_ + kBookmarkSize] = static_cast<char>(flag);
}

void TRdaCustomDataSet::InternalInitRecord(char* buffer) {
  std::memset(buffer, 0, static_cast<size_t>(imageSize_));
}

void TRdaCustomDataSet::ClearCalcFields(char* buffer) {
  if (CalcFieldsSize() == 0) return;
  std::memset(buffer + calcAreaOffset_, 0, static_cast<size_t>(CalcFieldsSize()));
}

bool TRdaCustomDataSet::BookmarkValid(const TBookmark& bookmark) {
  if (bookmark.size() < kBookmarkSize || !store_) return false;
  return ViewPositionOfID(LoadI32LE(bookmark.data())) >= 0;
}

int TRdaCustomDataSet::CompareBookmarks(const TBookmark& a, const TBookmark& b) {
  bool hasA = a.size() >= kBookmarkSize;
  bool hasB = b.size() >= kBookmarkSize;
  if (!hasA && !hasB) return 0;
  if (!hasB) return -1;
  if (!hasA) return 1;
  return Sign(LoadI32LE(a.data()), LoadI32LE(b.data()));
}

int32_t TRdaCustomDataSet::CurrentRecordID() {
  TBookmark bookmark = Bookmark();
  return bookmark.size() >= kBookmarkSize ? LoadI32LE(bookmark.data()) : -1;
}

bool TRdaCustomDataSet::BookmarkTextValid(std::string_view text) {
  if (text.size() < kBookmarkSize) return false;
  return BookmarkValid(TBookmark(text.substr(0, kBookmarkSize)));
}

void TRdaCustomDataSet::InternalGotoBookmark(const TBookmark& bookmark) {
  if (bookmark.size() < kBookmarkSize) throw ERdaBookMarkError(kBookmarkNotFound);
  int32_t id = LoadI32LE(bookmark.data());
  TRdaDBListItem* row = CursorRow();
  if (!row || row->RecordID() != id) {
    SetCursor(ViewPositionOfID(id));
    row = CursorRow();
  }
  if (!row || row->RecordID() != id) throw ERdaBookMarkError(kBookmarkNotFound);
}

void TRdaCustomDataSet::InternalSetToRecord(const char* buffer) {
  InternalGotoBookmark(GetBookmarkData(buffer));
}

// ---------------------------------------------------------------------------
// The view and the cursor

void TRdaCustomDataSet::SetCursor(int position) {
  cursor_ = position < 0 ? -1 : std::min(position, ViewCount());
}

TRdaDBListItem* TRdaCustomDataSet::CursorRow() const {
  if (cursor_ < 0 || cursor_ >= ViewCount()) return nullptr;
  return ViewRow(cursor_);
}

int TRdaCustomDataSet::GetRecordCount() { return ViewCount(); }

// 0 without a current record (an empty view, or every row filtered out).
int TRdaCustomDataSet::GetRecNo() {
  UpdateCursorPos();
  CheckActive();
  return IsEmpty() ? 0 : cursor_ + 1;
}

void TRdaCustomDataSet::SetRecNoImpl(int value) {
  CheckBrowseMode();
  int count = ViewCount();
  if (count == 0) return;
  int position = std::clamp(value - 1, 0, count - 1);
  if (position + 1 == RecNo()) return;
  DoBeforeScroll();
  cursor_ = position;
  Resync({rmCenter});
  DoAfterScroll();
}

// ---------------------------------------------------------------------------
// Navigation

TGetResult TRdaCustomDataSet::GetRecord(char* buffer, TGetMode mode, bool /*doCheck*/) {
  const int count = ViewCount();
  if (count == 0) return grEOF;
  // A filter passes over the rows it can tell it rejects without testing
  // them (a search of the selected index).
  TRdaCompiledExpression* skip = filter_ && (Filtered() || findMode_) ? filter_.get() : nullptr;
  // A detail ordered by its master's field ends where the master's rows do.
  const TRdaIndex* detailOrder = mode != gmCurrent && detailKeyIndex_ ? DetailOrder() : nullptr;
  // A filter that fails leaves the cursor on the row it was on, which passed.
  const int start = cursor_;
  try {
    for (;;) {
      switch (mode) {
        case gmCurrent:
          if (cursor_ >= count) return grEOF;
          if (cursor_ < 0) return grBOF;
          break;
        case gmNext:
          if (cursor_ >= count - 1) return grEOF;
          ++cursor_;
          if (skip) {
            const int next = skip->SkipRejected(cursor_, 1);
            if (next >= count) {
              cursor_ = count - 1;
              return grEOF;
            }
            cursor_ = next;
          }
          break;
        case gmPrior:
          if (cursor_ <= 0) return grBOF;
          // From past the end, the prior row is the last one.
          cursor_ = std::min(cursor_, count) - 1;
          if (skip) {
            const int prior = skip->SkipRejected(cursor_, -1);
            if (prior < 0) {
              cursor_ = 0;
              return grBOF;
            }
            cursor_ = prior;
          }
          break;
      }
      const TRdaDBListItem* row = ViewRow(cursor_);
      row->CopyTo(buffer);
      StoreI32LE(buffer + bookmarkOffset_, row->RecordID());
      buffer[bookmarkOffset_ + kBookmarkSize] = static_cast<char>(bfCurrent);
      if (CalcFieldsSize() > 0) GetCalcFields(buffer);
      if (RecordAccepted(buffer)) return grOK;
      if (mode == gmCurrent) return grError;
      if (detailOrder && PastDetailRows(*detailOrder, *row, mode)) return mode == gmNext ? grEOF : grBOF;
    }
  } catch (...) {
    cursor_ = start;
    throw;
  }
}

// ---------------------------------------------------------------------------
// Filtering

bool TRdaCustomDataSet::RecordAccepted(char* buffer) {
  if (!Filtered() && !findMode_ && !DetailFilterActive()) return true;
  return TestRecord(buffer);
}

bool TRdaCustomDataSet::TestRecord(char* buffer) {
  const bool detail = DetailFilterActive();
  const bool filtering = Filtered() || findMode_;
  TempStateScope state(*this, dsFilter);
  ValueGuard<char*> record(filterBuffer_, buffer);
  bool accept = true;
  if (detail) accept = DetailRowMatches();
  if (accept && filtering && filter_) {
    try {
      accept = filter_->AcceptsRecord(buffer);
    } catch (...) {
      filter_.reset();
      TDataSet::SetFilteredImpl(false);
      throw;
    }
  }
  if (accept && filtering && OnFilterRecord) OnFilterRecord(*this, accept);
  return accept;
}

bool TRdaCustomDataSet::RowAccepted(std::string_view image) {
  if (!DetailFilterActive() && !Filtered()) return true;
  const size_t recordSize = static_cast<size_t>(store_->RecordSize());
  if (image.size() != recordSize && image.size() != static_cast<size_t>(bufferSize_)) {
    DatabaseError("Direct read buffer length mismatch", this);
  }
  char* temp = TempBuffer();
  std::memcpy(temp, image.data(), image.size());
  ValueGuard<bool> direct(directRead_, true);
  if (image.size() == recordSize && CalcFieldsSize() > 0) GetCalcFields(temp);
  return RecordAccepted(temp);
}

void TRdaCustomDataSet::CompileFilter() {
  filter_ = CompileExpression(Filter(), ekFilter, std::string());
}

void TRdaCustomDataSet::SetFilteredImpl(bool value) {
  if (value == Filtered()) return;
  if (!Active()) {
    TDataSet::SetFilteredImpl(value);
    return;
  }
  CheckBrowseMode();
  // A filter discarded when it failed is compiled again, not ignored.
  if (value && !filter_ && !Filter().empty()) CompileFilter();
  TDataSet::SetFilteredImpl(value);
  AggregatesRecompute();
  Refresh();
}

void TRdaCustomDataSet::SetFilterText(std::string text) {
  if (!Active()) {
    TDataSet::SetFilterText(std::move(text));
    return;
  }
  CheckBrowseMode();
  // Compile before taking the text, so a text that does not compile leaves
  // the filter as it was.
  std::unique_ptr<TRdaCompiledExpression> compiled;
  if (!text.empty()) compiled = CompileExpression(text, ekFilter, std::string());
  TDataSet::SetFilterText(std::move(text));
  filter_ = std::move(compiled);
  if (Filtered()) {
    AggregatesRecompute();
    Refresh();
  }
}

void TRdaCustomDataSet::SetFilterOptionsImpl(TFilterOptions options) {
  if (options == FilterOptions()) return;
  if (!Active()) {
    TDataSet::SetFilterOptionsImpl(options);
    return;
  }
  CheckBrowseMode();
  TDataSet::SetFilterOptionsImpl(options);
  if (!Filter().empty()) CompileFilter();
  if (Filtered()) {
    AggregatesRecompute();
    Refresh();
  }
}

// ---------------------------------------------------------------------------
// Reading and writing fields

inline char* TRdaCustomDataSet::RecordInUse() const {
  if (scratchMode_ || directRead_) return TempBuffer();
  switch (State()) {
    case dsBrowse:
      return IsEmpty() ? nullptr : ActiveBuffer();
    case dsEdit:
    case dsInsert:
      return ActiveBuffer();
    case dsSetKey:
      return keyBuffers_.empty() ? nullptr : const_cast<char*>(keyBuffers_[0].data()) + kKeyHeader;
    case dsCalcFields:
      return CalcBuffer();
    case dsFilter:
      return filterBuffer_;
    default:
      return nullptr;
  }
}

// The errors of the field paths, kept out of line so those stay lean.
void TRdaCustomDataSet::ThrowFieldOffsetError(const TField& field) const {
  DatabaseError("Field Offset Error " + field.FieldName(), this);
}

void TRdaCustomDataSet::ThrowNotEditing() const { DatabaseError(kNotEditing, this); }

void TRdaCustomDataSet::ThrowNotComparable(const TField& field) const {
  DatabaseError("Comparison is not supported for field '" + field.FieldName() + "'", this);
}

void TRdaCustomDataSet::ThrowNotIndexed(const TField& field) const {
  DatabaseError("Field '" + field.DisplayName() + "' is not indexed and cannot be modified", this);
}

const TRdaCustomDataSet::FieldSlot& TRdaCustomDataSet::SlotOf(const TField& field) const {
  int no = field.FieldNo();
  if (no < 1 || static_cast<size_t>(no) > slots_.size()) ThrowFieldOffsetError(field);
  return slots_[static_cast<size_t>(no - 1)];
}

void TRdaCustomDataSet::SetNullIn(char* image, const FieldSlot& slot, bool isNull) const {
  if (isNull) {
    image[slot.nullByte] = static_cast<char>(image[slot.nullByte] & ~slot.nullMask);
  } else {
    image[slot.nullByte] = static_cast<char>(image[slot.nullByte] | slot.nullMask);
  }
}

bool TRdaCustomDataSet::GetFieldData(const TField& field, void* buffer) {
  const char* record = RecordInUse();
  if (field.InCalcArea()) {
    if (!record) return false;
    const char* p = record + calcAreaOffset_ + field.Offset();
    if (p[0] == 0) return false;
    if (buffer) std::memcpy(buffer, p + 1, static_cast<size_t>(field.DataSize()));
    return true;
  }
  if (!cursorOpen_ || !record) return false;
  const FieldSlot& s = SlotOf(field);
  const bool hasValue = !IsNullIn(record, s);
  if (!buffer) return hasValue;
  const char* src = record + s.offset;
  char* dst = static_cast<char*>(buffer);
  const int type = field.DataType();
  if (type != s.type && IsRdaIntegerFieldType(type) && IsRdaIntegerFieldType(s.type)) {
    RdaStoreInteger(type, dst, RdaLoadInteger(s.type, src));
    return hasValue;
  }
  switch (s.kind) {
    case skText: {
      // The field's buffer holds its size plus a terminator.
      size_t n = std::min<size_t>(static_cast<size_t>(s.dataSize),
                                  static_cast<size_t>(std::max(field.DataSize() - 1, 0)));
      std::memcpy(dst, src, n);
      dst[n] = '\0';
      break;
    }
    case skCopy:
      CopyBytes(dst, src, std::min<size_t>(static_cast<size_t>(s.dataSize),
                                           static_cast<size_t>(field.DataSize())));
      break;
    case skUnstored:
      return false;
  }
  return hasValue;
}

// Puts the stored form (nullptr: null) into record; true for a data field.
inline bool TRdaCustomDataSet::WriteField(TField& field, const void* buffer, char* record) {
  if (field.InCalcArea()) {
    char* p = record + calcAreaOffset_ + field.Offset();
    p[0] = buffer ? 1 : 0;
    if (buffer) std::memcpy(p + 1, buffer, static_cast<size_t>(field.DataSize()));
    return false;
  }
  const FieldSlot& s = SlotOf(field);
  if (buffer) {
    const char* src = static_cast<const char*>(buffer);
    char* dst = record + s.offset;
    const int type = field.DataType();
    if (type != s.type && IsRdaIntegerFieldType(type) && IsRdaIntegerFieldType(s.type)) {
      RdaStoreInteger(s.type, dst, RdaLoadInteger(type, src));
    } else {
      size_t n = std::min<size_t>(static_cast<size_t>(s.dataSize),
                                  static_cast<size_t>(field.DataSize()));
      CopyBytes(dst, src, n);
      if (n < static_cast<size_t>(s.dataSize)) std::memset(dst + n, 0, s.dataSize - n);
    }
  }
  SetNullIn(record, s, buffer == nullptr);
  return true;
}

void TRdaCustomDataSet::SetFieldData(TField& field, const void* buffer) {
  // Scratch records take values without checks, validation, events or
  // index upkeep.
  if (scratchMode_) {
    if (char* record = RecordInUse()) WriteField(field, buffer, record);
    return;
  }
  const TDataSetState state = State();
  switch (state) {
    case dsEdit:
    case dsInsert:
    case dsSetKey:
    case dsCalcFields:
    case dsFilter:
    case dsNewValue:
    case dsInternalCalc:
      break;
    default:
      ThrowNotEditing();
  }
  if (state == dsSetKey && !GetIsIndexField(field)) ThrowNotIndexed(field);
  // Validation with nothing to check (no handler, no constraints) is skipped.
  if ((state == dsEdit || state == dsInsert) && field.FieldKind() == fkData &&
      (field.OnValidate || fieldConstraintsActive_)) {
    field.Validate(buffer);
  }
  char* record = RecordInUse();
  if (!record) return;
  const bool dataField = WriteField(field, buffer, record);
  if (dataField && (state == dsEdit || state == dsInsert)) IndexFieldChanged(field);
  if (state == dsSetKey) KeyFieldAssigned(field);
  if (state != dsCalcFields && state != dsFilter && state != dsNewValue) {
    DataEvent(deFieldChange, &field);
  }
}

void TRdaCustomDataSet::DataConvert(const TField& field, const void* source, void* dest,
                                    bool toNative) {
  // A zero stored date-time is the zero date rather than a day before year 1.
  if (!toNative && field.DataType() == ftDateTime &&
      LoadU64LE(static_cast<const char*>(source)) == 0) {
    TDateTime zero = 0;
    std::memcpy(dest, &zero, sizeof zero);
    return;
  }
  TDataSet::DataConvert(field, source, dest, toNative);
}

void TRdaCustomDataSet::DoFieldValidate(TField& field) {
  if (constraintsDisabled_ == 0) CheckFieldConstraints(field);
  TDataSet::DoFieldValidate(field);
}

bool TRdaCustomDataSet::GetIsIndexField(const TField& field) const {
  if (!IndexSelected()) return false;
  for (TField* f : SelectedIndexFields()) {
    if (f == &field || SameName(f->FieldName(), field.FieldName())) return true;
  }
  return false;
}

void TRdaCustomDataSet::DataEvent(TDataEvent event, TField* field, int info) {
  if (event == deCheckBrowseMode) {
    TDataSet::DataEvent(event, field, info);
    WriteBackNested();
    return;
  }
  if (!nested_.empty()) NestedEvent(event);
  if (event == deFieldChange && State() == dsSetKey && field && field->InCalcArea() &&
      GetIsIndexField(*field)) {
    SetModified(true);
  }
  TDataSet::DataEvent(event, field, info);
}

// ---------------------------------------------------------------------------
// Posting, adding, deleting

void TRdaCustomDataSet::InternalInsert() { IndexRowInsertStarting(); }

void TRdaCustomDataSet::InternalEdit() {
  TRdaDBListItem* row = CursorRow();
  if (!row) DatabaseError(SRecordNotFound, this);
  IndexRowEditStarting(*row);
}

void TRdaCustomDataSet::InternalCancel() {
  DropEditBlobs(nullptr);
  IndexRowEditCancelled();
  CheckVerified();
}

void TRdaCustomDataSet::InternalPost() {
  TDataSet::InternalPost();
  if (State() == dsEdit) {
    TRdaDBListItem* row = CursorRow();
    if (!row) DatabaseError(SRecordNotFound, this);
    savedImage_.assign(row->Data(), static_cast<size_t>(store_->RecordSize()));
    row->CopyFrom(ActiveBuffer());
    try {
      IndexRowPosted(*row, savedImage_.data());
    } catch (...) {
      row->CopyFrom(savedImage_.data());
      IndexRowPostUndone(*row);
      throw;
    }
  } else {
    const int32_t id = nextRecordId_ + 1;
    const bool insertHere = GetBookmarkFlag(ActiveBuffer()) == bfInserted && !IndexSelected();
    TRdaDBListItem* row = insertHere ? store_->InsertWithID(std::max(cursor_, 0), id)
                                     : store_->AddWithID(id);
    nextRecordId_ = id;
    if (!insertHere) cursor_ = store_->Count() - 1;
    row->CopyFrom(ActiveBuffer());
    try {
      IndexRowAdded(*row);
    } catch (...) {
      store_->DestroyRow(row);
      throw;
    }
  }
  modifiedSinceSaved_ = true;
  oldValues_.clear();
  DropEditBlobs(ActiveBuffer());
  CheckVerified();
}

void TRdaCustomDataSet::InternalAddRecord(const char* buffer, bool append) {
  IndexRowInsertStarting();
  const int32_t id = nextRecordId_ + 1;
  TRdaDBListItem* row;
  if (append || IndexSelected()) {
    InternalLast();
    row = store_->AddWithID(id);
    cursor_ = store_->Count() - 1;
  } else {
    row = store_->InsertWithID(std::max(cursor_, 0), id);
  }
  nextRecordId_ = id;
  row->CopyFrom(buffer);
  try {
    IndexRowAdded(*row);
  } catch (...) {
    store_->DestroyRow(row);
    throw;
  }
  modifiedSinceSaved_ = true;
  DropEditBlobs(buffer);
  CheckVerified();
}

void TRdaCustomDataSet::InternalDelete() {
  TRdaDBListItem* row = CursorRow();
  if (!row) DatabaseError(SRecordNotFound, this);
  const TRdaFieldList& list = store_->FieldList();
  for (int i = 0; i < list.Count(); ++i) {
    if (IsRdaBlobFieldType(list.Items(i).DataType() & 0x7F)) {
      blobs_.DeleteBlob(row->GetInt32(i), i + 1);
    }
  }
  modifiedSinceSaved_ = true;
  IndexRowRemoving(*row);
  store_->DestroyRow(row);
  CheckVerified();
}

void TRdaCustomDataSet::Post() {
  TDataSet::Post();
  if (State() == dsSetKey) SetState(dsBrowse);
}

void TRdaCustomDataSet::Cancel() {
  TDataSet::Cancel();
  if (State() == dsSetKey) SetState(dsBrowse);
}

void TRdaCustomDataSet::EmptyDataSet() {
  if (!Active()) return;
  CheckBrowseMode();
  DoBeforeScroll();
  store_->Clear();
  blobs_.Clear();
  editBlobs_.clear();
  oldValues_.clear();
  indexes_.SetPosition(-1);  // the row it stood on is gone: the rebuild must not read it
  IndexesRebuild();
  AggregatesRecompute();
  cursor_ = -1;
  Resync({});
  CheckVerified();
  DoAfterScroll();
}

void TRdaCustomDataSet::ClearRows() {
  if (store_) store_->Clear();
  blobs_.Clear();
  editBlobs_.clear();
  indexes_.SetPosition(-1);  // the row it stood on is gone: the rebuild must not read it
  IndexesRebuild();
  AggregatesRecompute();
  nextRecordId_ = 0;
  cursor_ = -1;
  if (Active() && State() == dsBrowse) {
    ClearBuffers();
    Resync({});
  }
}

// ---------------------------------------------------------------------------
// Expressions

std::unique_ptr<TRdaCompiledExpression> TRdaCustomDataSet::CompileExpression(
    const std::string& text, TRdaExpressionKind kind, const std::string& targetField) {
  return std::make_unique<TRdaExpression>(*this, text, kind, kind == ekFilter ? FilterOptions() : TFilterOptions{},
                                          targetField);
}

void TRdaCustomDataSet::CompileExpressions() {
  fieldConstraintsActive_ = false;
  if (!expressions_) expressions_ = std::make_unique<TRdaDataSetExpressions>(*this);
  expressions_->Compile();
  fieldConstraintsActive_ = expressions_->HasFieldConstraints();
}

void TRdaCustomDataSet::FreeCompiledExpressions() {
  fieldConstraintsActive_ = false;
  if (expressions_) expressions_->Free();
}

void TRdaCustomDataSet::CheckFieldConstraints(TField& field) {
  if (expressions_) expressions_->CheckField(field);
}

void TRdaCustomDataSet::CheckRecordConstraints() {
  if (expressions_) expressions_->CheckRecord();
}

void TRdaCustomDataSet::ApplyDefaults(bool calculatedFields) {
  if (expressions_) expressions_->ApplyDefaults(calculatedFields);
}

// ---------------------------------------------------------------------------
// Blob values

// The blob identity in the record in use, whether the field is null or not.
int32_t TRdaCustomDataSet::BlobIdOf(TField& field) {
  const char* record = RecordInUse();
  if (!record || field.InCalcArea()) return 0;
  const FieldSlot& s = SlotOf(field);
  return s.dataSize >= 4 ? LoadI32LE(record + s.offset) : 0;
}

TMemoryStream* TRdaCustomDataSet::ReadBlob(TField& field) {
  if (!Active()) return nullptr;
  TMemoryStream* stream = nullptr;
  switch (State()) {
    case dsEdit:
      stream = blobs_.FindBlob(BlobIdOf(field), field.FieldNo());
      break;
    case dsInsert:
      stream = blobs_.FindBlob(BlobIdOf(field), field.FieldNo());
      if (!stream) {
        char id[8] = {};  // wide enough for any stored integer
        int32_t newId = blobs_.AddBlob(std::string_view(), field.FieldNo());
        NoteEditBlob(newId, field.FieldNo());
        StoreI32LE(id, newId);
        SetFieldData(field, id);
        stream = blobs_.FindBlob(newId, field.FieldNo());
      }
      break;
    default:
      if (IsEmpty()) return nullptr;
      stream = blobs_.FindBlob(BlobIdOf(field), field.FieldNo());
      break;
  }
  if (!stream) return nullptr;
  stream->SetPosition(0);
  if (streamOptions_.Contains(ssBlobOnlyStreamEvent) && OnStreamEvent) {
    // The handler gets a copy: run on the stored bytes it would change them
    // at every read.
    blobEventCopy_.SetBytes(stream->Bytes());
    RunBlobStreamEvent(blobEventCopy_, true);
    return &blobEventCopy_;
  }
  return stream;
}

void TRdaCustomDataSet::WriteBlob(TField& field, std::string_view bytes) {
  const TDataSetState state = State();
  if (state != dsEdit && state != dsInsert) ThrowNotEditing();
  TMemoryStream transformed;
  if (streamOptions_.Contains(ssBlobOnlyStreamEvent) && OnStreamEvent) {
    transformed.SetBytes(std::string(bytes));
    RunBlobStreamEvent(transformed, false);
    bytes = transformed.Bytes();
  }
  int32_t id = BlobIdOf(field);
  char idBytes[8] = {};  // wide enough for any stored integer
  if (id < 1 || state == dsInsert) {
    if (!bytes.empty() || state != dsInsert) {
      id = blobs_.AddBlob(bytes, field.FieldNo());
      NoteEditBlob(id, field.FieldNo());
      StoreI32LE(idBytes, id);
      SetFieldData(field, idBytes);
    }
  } else if (TMemoryStream* stream = blobs_.FindBlob(id, field.FieldNo())) {
    stream->SetBytes(std::string(bytes));
  }
  if (bytes.empty()) {
    SetFieldData(field, nullptr);
  } else {
    StoreI32LE(idBytes, id);
    SetFieldData(field, idBytes);
  }
}

std::string TRdaCustomDataSet::ReadBlobData(TField& field) {
  TMemoryStream* stream = ReadBlob(field);
  return stream ? stream->Bytes() : std::string();
}

void TRdaCustomDataSet::WriteBlobData(TField& field, std::string_view bytes) {
  WriteBlob(field, bytes);
}

// Blob bytes change in the blob store at once, so an edit keeps the large
// values it may change and a cancel writes them back.
void TRdaCustomDataSet::SaveOldValues() {
  oldValues_.clear();
  for (const auto& f : Fields()) {
    if (f->ReadOnly() || f->InCalcArea() || !KeepsOldValue(f->DataType())) continue;
    // A blob field without a blob has nothing in the store an edit could
    // change; writing its empty value back would only add an empty blob.
    if (f->IsBlob() && BlobIdOf(*f) < 1) continue;
    oldValues_.emplace_back(f->AsString(), f.get());
  }
}

void TRdaCustomDataSet::RestoreOldValues() {
  auto saved = std::move(oldValues_);
  oldValues_.clear();
  for (auto& [value, field] : saved) {
    if (field->IsBlob()) {
      WriteBlob(*field, value);
    } else {
      field->SetAsString(value);
    }
  }
}

// ---------------------------------------------------------------------------
// Event wrappers

void TRdaCustomDataSet::DoBeforeOpen() {
  if (UserEvents()) TDataSet::DoBeforeOpen();
}

void TRdaCustomDataSet::DoAfterOpen() {
  // The aggregates first, so that the user's AfterOpen reads them computed.
  IndexesBindFields();
  if (UserEvents()) TDataSet::DoAfterOpen();
  if (!nested_.empty()) OpenWaitingNested();
}

void TRdaCustomDataSet::DoBeforeClose() {
  if (!nested_.empty()) CloseNested();
  if (UserEvents()) TDataSet::DoBeforeClose();
}

void TRdaCustomDataSet::DoAfterClose() {
  IndexesUnbindFields();
  if (UserEvents()) TDataSet::DoAfterClose();
}

void TRdaCustomDataSet::DoBeforeInsert() {
  if (UserEvents()) TDataSet::DoBeforeInsert();
}

void TRdaCustomDataSet::DoAfterInsert() {
  if (UserEvents() && !copying_) TDataSet::DoAfterInsert();
}

void TRdaCustomDataSet::DoBeforeEdit() {
  if (!UserEvents()) return;
  SaveOldValues();
  TDataSet::DoBeforeEdit();
}

void TRdaCustomDataSet::DoAfterEdit() {
  if (UserEvents()) TDataSet::DoAfterEdit();
}

void TRdaCustomDataSet::DoBeforePost() {
  if (constraintsDisabled_ == 0) CheckRecordConstraints();
  if (UserEvents()) TDataSet::DoBeforePost();
}

void TRdaCustomDataSet::DoAfterPost() {
  if (UserEvents()) TDataSet::DoAfterPost();
}

void TRdaCustomDataSet::DoBeforeCancel() {
  if (UserEvents()) TDataSet::DoBeforeCancel();
  if (State() == dsEdit) RestoreOldValues();
  oldValues_.clear();
  // A cancelled insert leaves no row to refer to its blobs (an edit's go in
  // InternalCancel, after the old values are back).
  if (State() == dsInsert) DropEditBlobs(nullptr);
}

void TRdaCustomDataSet::DoAfterCancel() {
  if (UserEvents()) TDataSet::DoAfterCancel();
}

void TRdaCustomDataSet::DoBeforeDelete() {
  if (UserEvents()) TDataSet::DoBeforeDelete();
}

void TRdaCustomDataSet::DoAfterDelete() {
  if (UserEvents()) TDataSet::DoAfterDelete();
}

void TRdaCustomDataSet::DoBeforeScroll() {
  if (ScrollEventsOn()) TDataSet::DoBeforeScroll();
}

void TRdaCustomDataSet::DoAfterScroll() {
  if (ScrollEventsOn()) TDataSet::DoAfterScroll();
}

void TRdaCustomDataSet::DoOnCalcFields() {
  ApplyDefaults(true);
  if (UserEvents()) TDataSet::DoOnCalcFields();
}

void TRdaCustomDataSet::DoOnNewRecord() {
  if (copying_ || !UserEvents()) return;
  {
    bool autoCalc = AutoCalcFields();
    SetAutoCalcFields(false);
    try {
      ApplyDefaults(false);
    } catch (...) {
      SetAutoCalcFields(autoCalc);
      throw;
    }
    SetAutoCalcFields(autoCalc);
  }
  GetCalcFields(ActiveBuffer());
  CopyMasterFields();
  TDataSet::DoOnNewRecord();
}

// ---------------------------------------------------------------------------
// Indexes and aggregates

const std::vector<TField*>& TRdaCustomDataSet::SelectedIndexFields() const {
  static const std::vector<TField*> kNone;
  const TRdaIndex* index = indexes_.Selected();
  return index ? index->KeyFields() : kNone;
}

void TRdaCustomDataSet::IndexRowAdded(TRdaDBListItem& row) {
  indexes_.RowAdded(row);
  try {
    aggregates_.RowAdded(row);
  } catch (...) {
    indexes_.RowRemoving(row);
    throw;
  }
}

void TRdaCustomDataSet::IndexRowEditStarting(TRdaDBListItem& row) {
  indexes_.RowEditStarting(row);
  aggregates_.RowEditStarting(row);
}

void TRdaCustomDataSet::IndexRowEditCancelled() {
  indexes_.RowEditCancelled();
  aggregates_.RowEditCancelled();
}

void TRdaCustomDataSet::IndexRowPosted(TRdaDBListItem& row, const char* oldImage) {
  aggregatesPosting_ = false;
  indexes_.RowPosted(row, oldImage);
  // The indexes took the row: from here a failure may have moved totals.
  aggregatesPosting_ = true;
  aggregates_.RowPosted(row);
}

void TRdaCustomDataSet::IndexRowPostUndone(TRdaDBListItem& row) {
  indexes_.RowPostUndone(row);
  if (!aggregatesPosting_) return;  // the aggregates were not reached
  try {
    aggregates_.RecomputeAll();
  } catch (...) {
    // The post's own error goes on; an aggregate that cannot be computed
    // stays uncomputed.
  }
  // The edit goes on with the old image in the row: a post tried again
  // re-places every aggregate's contribution.
  aggregates_.RowEditStarting(row);
  aggregates_.MarkEdited();
}

void TRdaCustomDataSet::IndexRowRemoving(TRdaDBListItem& row) {
  aggregates_.RowRemoving(row);
  indexes_.RowRemoving(row);
}

void TRdaCustomDataSet::IndexFieldChanged(TField& field) {
  indexes_.FieldChanged(field);
  aggregates_.FieldChanged(field);
}

void TRdaCustomDataSet::AggregatesRecomputeForIndex(std::string_view indexName) {
  if (!aggregatesDeferred_) aggregates_.RecomputeForIndex(indexName);
}

void TRdaCustomDataSet::IndexesBindFields() {
  aggregates_.BindFields();
  aggregates_.RecomputeAll();
}

void TRdaCustomDataSet::IndexesUnbindFields() {
  aggregates_.UnbindFields();
  indexes_.UnbindFields();
}

void TRdaCustomDataSet::IndexesStoreChanged(TRdaDBList* store) {
  indexes_.Attach(store);
  aggregates_.Attach(store);
}

bool TRdaCustomDataSet::LocateByIndex(const TRdaDBListItem& keyRow,
                                      const std::vector<TField*>& keyFields,
                                      TLocateOptions options, int& position) {
  bool found = false;
  int at = -1;
  if (!indexes_.LocateRow(keyRow, keyFields, options, found, at)) return false;
  position = found ? at : -1;
  return true;
}

int TRdaCustomDataSet::SearchSelectedIndex(const TRdaDBListItem& keyRow, int keyCount, bool nearest,
                                           bool& exact) {
  TRdaIndex* index = indexes_.Selected();
  if (!index) DatabaseError("No index currently active", this);
  if (!index->Built()) index->Rebuild();
  int position = -1;
  exact = index->SearchIndex(keyRow, keyCount > 0 ? keyCount : -1, IndexSearchFlags(*index),
                             nearest ? smNearest : 0, position) == 0;
  return position;
}

void TRdaCustomDataSet::MaterializeRow(const TRdaDBListItem& row, char* buffer) {
  row.CopyTo(buffer);
  const auto recordSize = static_cast<size_t>(store_->RecordSize());
  std::memset(buffer + recordSize, 0, static_cast<size_t>(imageSize_) - recordSize);
  ClearCalcFields(buffer);
  if (CalcFieldsSize() > 0) GetCalcFields(buffer);
}

TRdaDBListItem* TRdaCustomDataSet::AggregateRow() {
  if (!Active() || State() == dsInsert || IsEmpty()) return nullptr;
  UpdateCursorPos();
  return CursorRow();
}

void TRdaCustomDataSet::SetIndexes(const TRdaIndexes& other) {
  Close();
  indexes_.AssignDefinitions(other);
}

void TRdaCustomDataSet::SetAggregates(const TRdaAggregates& other) {
  aggregates_.AssignDefinitions(other);
}

std::string TRdaCustomDataSet::IndexName() const {
  const TRdaIndex* index = indexes_.Selected();
  if (!index || SameName(index->Name(), kRdaDefaultIndexName)) return {};
  return index->Name();
}

void TRdaCustomDataSet::SetIndexName(std::string_view name) {
  // An empty name deselects whatever is selected, "__RDA__DEFAULT" too
  // (which reads as an empty name).
  if (name.empty()) {
    indexes_.Select(nullptr);
    return;
  }
  const TRdaIndex* selected = indexes_.Selected();
  if (selected && SameName(selected->Name(), name)) return;
  indexes_.Select(&indexes_.IndexByName(name));
}

std::string TRdaCustomDataSet::IndexFieldNames() const {
  const TRdaIndex* index = indexes_.Selected();
  if (index && SameName(index->Name(), kRdaDefaultIndexName)) return index->Fields();
  return {};
}

void TRdaCustomDataSet::SetIndexFieldNames(std::string_view fields) {
  if (SplitFieldNames(fields).empty()) {
    indexes_.Select(nullptr);
    return;
  }
  int keyCount = -1;
  if (TRdaIndex* index = indexes_.FindIndexFor(fields, {}, 0, keyCount)) {
    indexes_.Select(index);
    return;
  }
  TRdaIndex* index = indexes_.FindIndex(kRdaDefaultIndexName);
  const bool added = index == nullptr;
  if (added) {
    index = &indexes_.Add();
    index->SetName(kRdaDefaultIndexName);
  }
  const std::string oldFields = index->Fields();
  const TRdaIndexOptions oldOptions = index->Options();
  try {
    index->SetFields(std::string(fields));
    index->SetOptions({});
    indexes_.Select(index, true);
  } catch (...) {
    if (added) {
      indexes_.Delete(indexes_.IndexOf(index));
    } else {
      try {
        index->SetFields(oldFields);
        index->SetOptions(oldOptions);
      } catch (...) {
        // They were sound before; the first error is the one to report.
      }
    }
    throw;
  }
}

void TRdaCustomDataSet::SortByField(std::string_view fieldName, bool descending) {
  TRdaIndexOptions options{ioCaseInsensitive};
  if (descending) options.Include(ioDescending);
  TRdaIndex* index = indexes_.FindIndex(fieldName);
  const bool added = index == nullptr;
  try {
    if (added) {
      index = &indexes_.Add();
      index->SetName(std::string(fieldName));
      index->SetFields(std::string(fieldName));
      index->SetOptions(options);
    } else if (SameName(index->Fields(), fieldName) &&
               index->Options().Contains(ioDescending) != descending) {
      // The index of an earlier sort by this field: the direction asked now.
      TRdaIndexOptions changed = index->Options();
      if (descending) {
        changed.Include(ioDescending);
      } else {
        changed.Exclude(ioDescending);
      }
      index->SetOptions(changed);
    }
    SetIndexName(fieldName);
  } catch (...) {
    if (added && index) indexes_.Delete(indexes_.IndexOf(index));
    throw;
  }
}

std::string TRdaCustomDataSet::VerifyIndexesAndAggregates() const {
  if (store_) {
    if (std::string e = store_->Verify(); !e.empty()) return "row store: " + e;
  }
  if (std::string e = indexes_.Verify(); !e.empty()) return e;
  return aggregates_.Verify();
}

void TRdaCustomDataSet::CheckVerified() {
  if (!verifyEachChange_) return;
  if (std::string e = VerifyIndexesAndAggregates(); !e.empty()) {
    DatabaseError("Index or aggregate check failed: " + e, this);
  }
}

}  // namespace rda
