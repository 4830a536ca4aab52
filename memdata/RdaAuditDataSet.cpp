#include "memdata/RdaAuditDataSet.h"

#include <algorithm>
#include <cstring>

#include "base/ByteIO.h"
#include "base/ScopeGuard.h"
#include "memdata/ValueGuard.h"
#include "memdata/store/RdaStoredValue.h"

namespace rda {

namespace {

constexpr const char* kSavePointInvalid = "Save point is no longer valid";

// Bytes of a text column up to its first zero.
std::string_view TextOf(const char* p, size_t size) {
  return std::string_view(p, strnlen(p, size));
}

// Code units of a wide text column up to its first zero unit, as bytes.
std::string_view WideTextOf(const char* p, size_t size) {
  size_t n = 0;
  while (n + 1 < size && (p[n] != 0 || p[n + 1] != 0)) n += 2;
  return std::string_view(p, n);
}

}  // namespace

// ---------------------------------------------------------------------------
// TRdaChangeLog

TRdaChangeLog::~TRdaChangeLog() = default;

void TRdaChangeLog::RowFilled(TRdaDBListItem& row) {
  Unsort();
  LoadedRowFilled(row);
  Follow();
}

void TRdaChangeLog::RemoveRow(TRdaDBListItem& row) {
  Unsort();
  IndexRowRemoving(row);
  Store()->DestroyRow(&row);
  Follow();
}

void TRdaChangeLog::RowKeyChanging(TRdaDBListItem& row) {
  Unsort();
  IndexRowRemoving(row);
}

// Keeping "Prime" in order at every logged change would cost as much as
// the change itself; it is switched off while the log changes and built
// again, once, when the log is next looked at.
void TRdaChangeLog::Unsort() {
  if (!sorted_) return;
  sorted_ = false;
  TRdaIndex* prime = Indexes().FindIndex(kPrimeIndexName);
  if (!prime) return;
  SetIndexName("");
  prime->SetOptions({ioNonMaintained});
}

void TRdaChangeLog::Sync() {
  if (!sorted_) {
    if (TRdaIndex* prime = Indexes().FindIndex(kPrimeIndexName)) {
      prime->SetOptions({});
      SetIndexName(kPrimeIndexName);
    }
    sorted_ = true;
    stale_ = true;
  }
  if (!stale_) return;
  stale_ = false;
  if (Active() && State() == dsBrowse) Resync({});
}

void TRdaChangeLog::GotoRow(TRdaDBListItem& row) {
  Sync();
  const int position = IndexSelected() ? Indexes().Selected()->PositionOf(row)
                                       : Store()->IndexOfRow(&row);
  SetCursor(position);
  stale_ = true;
  Sync();
}

// ---------------------------------------------------------------------------
// Creation

TRda2CustomAuditDataSet::TRda2CustomAuditDataSet() = default;

TRda2CustomAuditDataSet::~TRda2CustomAuditDataSet() {
  // Closing here, while this class's steps still exist.
  CloseForDestruction();
}

void TRda2CustomAuditDataSet::CreateLog() {
  std::lock_guard lock(logLock_);
  log_.reset();
  entries_.clear();
  pendingEntry_ = nullptr;
  currentEntryId_ = -1;
  auto log = std::make_unique<TRdaChangeLog>();
  log->SetDiscardOnClose(true);
  if (leading_ == 3) log->AddField("MasterBookMark", ftInteger, 0);
  log->AddField("BookMark", ftInteger, 0);
  log->AddField("Delta", ftInteger, 0);
  const TRdaFieldList& columns = Store()->FieldList();
  blobColumns_.clear();
  columnFields_.assign(static_cast<size_t>(columns.Count()), nullptr);
  for (int i = 0; i < columns.Count(); ++i) {
    const TRdaFieldItem& c = columns.Items(i);
    const uint8_t type = c.DataType() & 0x7F;
    // Wide texts keep their type: an 8-bit copy would lose what the code
    // page cannot hold, and undoing would not give the original back.
    log->AddField(c.Name(), static_cast<TFieldType>(type), RdaDeclaredSize(type, c.DataSize()));
    if (IsRdaBlobFieldType(type)) blobColumns_.push_back(i);
    columnFields_[static_cast<size_t>(i)] = FindFieldByNumber(i + 1);
  }
  if (leading_ == 2) {
    TRdaIndex& prime = log->Indexes().Add();
    prime.SetName(TRdaChangeLog::kPrimeIndexName);
    prime.SetFields("BookMark");
    prime.SetOptions({ioNonMaintained});
  }
  log->Open();
  log_ = std::move(log);
  CheckLogLayout();
}

TRdaDataSet* TRda2CustomAuditDataSet::ChangeLog() {
  // Sorting the log and reading its record again change it: under the lock.
  std::lock_guard lock(logLock_);
  if (log_) log_->Sync();
  return log_.get();
}

// The log's columns after the leading ones lie exactly as the dataset's
// (same types and sizes), so values move between them as bytes.
void TRda2CustomAuditDataSet::CheckLogLayout() const {
  const TRdaFieldList& mine = Store()->FieldList();
  const TRdaFieldList& theirs = log_->Store()->FieldList();
  bool ok = theirs.Count() == mine.Count() + leading_;
  for (int i = 0; ok && i < mine.Count(); ++i) {
    const TRdaFieldItem& a = mine.Items(i);
    const TRdaFieldItem& b = theirs.Items(i + leading_);
    ok = b.DataSize() == a.DataSize() && b.Offset() == a.Offset() + 4 * leading_;
  }
  if (!ok) DatabaseError("The change log does not match the dataset's columns", this);
}

void TRda2CustomAuditDataSet::EnsureLog() {
  if (!log_ || log_->Store()->FieldList().Count() != Store()->FieldList().Count() + leading_) {
    CreateLog();
  }
}

// ---------------------------------------------------------------------------
// Entries

int64_t TRda2CustomAuditDataSet::EntryKey(int32_t master, int32_t id) const {
  return (static_cast<int64_t>(master) << 32) | static_cast<uint32_t>(id);
}

TRdaDBListItem* TRda2CustomAuditDataSet::FindEntry(int32_t master, int32_t id) const {
  auto it = entries_.find(EntryKey(master, id));
  return it == entries_.end() ? nullptr : it->second;
}

TRdaDBListItem* TRda2CustomAuditDataSet::CurrentEntry() {
  return currentEntryId_ < 0 ? nullptr : FindEntry(currentEntryMaster_, currentEntryId_);
}

int32_t TRda2CustomAuditDataSet::EntryDelta(const TRdaDBListItem& entry) const {
  return entry.GetInt32(leading_ - 1);
}

int32_t TRda2CustomAuditDataSet::EntryBookMark(const TRdaDBListItem& entry) const {
  return entry.GetInt32(leading_ - 2);
}

int32_t TRda2CustomAuditDataSet::EntryMaster(const TRdaDBListItem& entry) const {
  return leading_ == 3 ? entry.GetInt32(0) : 0;
}

TRda2CustomAuditDataSet::RowValues TRda2CustomAuditDataSet::CaptureImage(const char* image) {
  const TRdaDBList& store = *Store();
  RowValues values;
  values.image.assign(image, static_cast<size_t>(store.RecordSize()));
  if (blobColumns_.empty()) return values;
  values.blobs.reserve(blobColumns_.size());
  for (int column : blobColumns_) {
    std::string bytes;
    if (!store.IsNullIn(image, column)) {
      const int32_t blobId = LoadI32LE(image + store.FieldList().Items(column).Offset());
      if (const TMemoryStream* s = BlobStore().FindBlob(blobId, column + 1)) bytes = s->Bytes();
    }
    values.blobs.push_back(std::move(bytes));
  }
  return values;
}

TRda2CustomAuditDataSet::RowValues TRda2CustomAuditDataSet::EntryValues(
    const TRdaDBListItem& entry) const {
  const TRdaDBList& mine = *Store();
  const TRdaDBList& logStore = *log_->Store();
  RowValues values;
  values.image.assign(static_cast<size_t>(mine.RecordSize()), '\0');
  char* image = values.image.data();
  std::memcpy(image, entry.Data() + 4 * leading_, static_cast<size_t>(mine.NullFlagsOffset() - 1));
  const int columns = mine.FieldList().Count();
  for (int i = 0; i < columns; ++i) {
    mine.SetNullIn(image, i, logStore.IsNullIn(entry.Data(), i + leading_));
  }
  for (int column : blobColumns_) {
    std::string bytes;
    const int logColumn = column + leading_;
    if (!logStore.IsNullIn(entry.Data(), logColumn)) {
      if (const TMemoryStream* s = log_->BlobStore().FindBlob(entry.GetInt32(logColumn), logColumn + 1)) {
        bytes = s->Bytes();
      }
    }
    values.blobs.push_back(std::move(bytes));
  }
  return values;
}

TRda2CustomAuditDataSet::LogEntry TRda2CustomAuditDataSet::CaptureEntry(
    const TRdaDBListItem& entry) const {
  return LogEntry{EntryDelta(entry), EntryValues(entry)};
}

TRdaDBListItem& TRda2CustomAuditDataSet::AddEntry(int32_t master, int32_t id, int32_t delta,
                                                  const RowValues& values) {
  return AddEntry(master, id, delta, values.image.data(), &values.blobs);
}

TRdaDBListItem& TRda2CustomAuditDataSet::AddEntry(int32_t master, int32_t id, int32_t delta,
                                                  const char* image,
                                                  const std::vector<std::string>* blobs) {
  const TRdaDBList& mine = *Store();
  const TRdaDBList& logStore = *log_->Store();
  TRdaDBListItem& row = log_->AppendLoadedRow();
  if (leading_ == 3) row.SetInt32(0, master);
  row.SetInt32(leading_ - 2, id);
  row.SetInt32(leading_ - 1, delta);
  char* data = row.Data();
  std::memcpy(data + 4 * leading_, image, static_cast<size_t>(mine.NullFlagsOffset() - 1));
  const int columns = mine.FieldList().Count();
  for (int i = 0; i < columns; ++i) logStore.SetNullIn(data, i + leading_, mine.IsNullIn(image, i));
  for (size_t k = 0; k < blobColumns_.size(); ++k) {
    const int column = blobColumns_[k];
    const int logColumn = column + leading_;
    if (logStore.IsNullIn(data, logColumn)) continue;
    std::string_view bytes;
    if (blobs) {
      bytes = (*blobs)[k];
    } else if (const TMemoryStream* s = BlobStore().FindBlob(
                   LoadI32LE(image + mine.FieldList().Items(column).Offset()), column + 1)) {
      bytes = s->Bytes();
    }
    row.SetInt32(logColumn, log_->BlobStore().AddBlob(bytes, logColumn + 1));
  }
  FillLogExtra(row);
  try {
    log_->RowFilled(row);
  } catch (...) {
    // The log's own index refused it (it has no unique key, so only memory).
    for (int column : blobColumns_) {
      log_->BlobStore().DeleteBlob(row.GetInt32(column + leading_), column + leading_ + 1);
    }
    throw;
  }
  entries_[EntryKey(master, id)] = &row;
  currentEntryId_ = id;
  currentEntryMaster_ = master;
  return row;
}

void TRda2CustomAuditDataSet::RemoveEntry(TRdaDBListItem& entry) {
  const TRdaDBList& logStore = *log_->Store();
  for (int column : blobColumns_) {
    const int logColumn = column + leading_;
    if (!logStore.IsNullIn(entry.Data(), logColumn)) {
      log_->BlobStore().DeleteBlob(entry.GetInt32(logColumn), logColumn + 1);
    }
  }
  entries_.erase(EntryKey(EntryMaster(entry), EntryBookMark(entry)));
  if (&entry == pendingEntry_) pendingEntry_ = nullptr;
  log_->RemoveRow(entry);
}

void TRda2CustomAuditDataSet::SetEntryBookMark(TRdaDBListItem& entry, int32_t id) {
  const int32_t master = EntryMaster(entry);
  entries_.erase(EntryKey(master, EntryBookMark(entry)));
  log_->RowKeyChanging(entry);
  entry.SetInt32(leading_ - 2, id);
  log_->RowKeyChanged(entry);
  log_->Follow();
  entries_[EntryKey(master, id)] = &entry;
  if (currentEntryMaster_ == master) currentEntryId_ = id;
}

void TRda2CustomAuditDataSet::RestoreEntry(int32_t master, int32_t id,
                                           const std::optional<LogEntry>& state) {
  if (TRdaDBListItem* existing = FindEntry(master, id)) RemoveEntry(*existing);
  if (state) AddEntry(master, id, state->delta, state->values);
}

bool TRda2CustomAuditDataSet::SameAsEntry(const char* image, const TRdaDBListItem& entry) const {
  const TRdaDBList& mine = *Store();
  const TRdaDBList& logStore = *log_->Store();
  const TRdaFieldList& columns = mine.FieldList();
  const char* logged = entry.Data() + 4 * leading_;
  for (int i = 0; i < columns.Count(); ++i) {
    const bool isNull = mine.IsNullIn(image, i);
    if (isNull != logStore.IsNullIn(entry.Data(), i + leading_)) return false;
    if (isNull) continue;
    const TRdaFieldItem& c = columns.Items(i);
    const uint8_t type = c.DataType() & 0x7F;
    const char* a = image + c.Offset();
    const char* b = logged + c.Offset();
    const auto size = static_cast<size_t>(c.DataSize());
    if (IsRdaTextFieldType(type)) {
      if (TextOf(a, size) != TextOf(b, size)) return false;
    } else if (type == ftWideString) {
      if (WideTextOf(a, size) != WideTextOf(b, size)) return false;
    } else if (IsRdaBlobFieldType(type)) {
      const TMemoryStream* x =
          const_cast<TRda2CustomAuditDataSet*>(this)->BlobStore().FindBlob(LoadI32LE(a), i + 1);
      const TMemoryStream* y = log_->BlobStore().FindBlob(LoadI32LE(b), i + leading_ + 1);
      if ((x ? x->Bytes() : std::string()) != (y ? y->Bytes() : std::string())) return false;
    } else if (std::memcmp(a, b, size) != 0) {
      return false;
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// Logging: the dataset's steps

void TRda2CustomAuditDataSet::DoBeforeEdit() {
  // The user's handler first: one that aborts the edit leaves no entry.
  TRdaCustomDataSet::DoBeforeEdit();
  if (!Logging() || undoing_ > 0) return;
  std::lock_guard lock(logLock_);
  EnsureLog();
  const int32_t id = CurrentRecordID();
  const int32_t master = LogMasterID();
  TRdaDBListItem* entry = FindEntry(master, id);
  JournalRecord& record = NewPendingRecord(JournalOp::Edit, master, id);
  hadEntry_ = entry != nullptr;
  if (entry) {
    record.before = CaptureImage(ActiveBuffer());
    record.entryBefore = CaptureEntry(*entry);
    currentEntryId_ = id;
    currentEntryMaster_ = master;
  } else {
    // The new entry holds the values from before the edit; the journal
    // finds them there (the entry stays as long as the record can be undone).
    entry = &AddEntry(master, id, ldModified, ActiveBuffer(), nullptr);
  }
  pendingEntry_ = entry;
  pending_ = Pending::Edit;
  pendingId_ = id;
  pendingMaster_ = master;
  dropAtPost_ = false;
}

void TRda2CustomAuditDataSet::DoAfterInsert() {
  // Logged before the user's handler, which may already fill or post the row.
  if (Logging() && undoing_ == 0) {
    std::lock_guard lock(logLock_);
    EnsureLog();
    const int32_t id = LastRecordID() + 1;
    const int32_t master = LogMasterID();
    // An entry under an identity not yet given out is stale (rows cleared).
    if (TRdaDBListItem* stale = FindEntry(master, id)) RemoveEntry(*stale);
    AddEntry(master, id, ldInserted, ActiveBuffer(), nullptr);
    NewPendingRecord(JournalOp::Insert, master, id);
    pending_ = Pending::Insert;
    pendingId_ = id;
    pendingMaster_ = master;
    hadEntry_ = false;
    dropAtPost_ = false;
  }
  TRdaCustomDataSet::DoAfterInsert();
}

void TRda2CustomAuditDataSet::DoBeforePost() {
  TRdaCustomDataSet::DoBeforePost();
  dropAtPost_ = false;
  if (pending_ != Pending::Edit || State() != dsEdit || !log_) return;
  const TRdaDBListItem* entry = pendingEntry_;
  // Posting the row as its entry holds it leaves nothing to log; the entry
  // goes once the post has succeeded (a failed post keeps the edit going).
  dropAtPost_ = entry && EntryDelta(*entry) == ldModified && SameAsEntry(ActiveBuffer(), *entry);
}

void TRda2CustomAuditDataSet::DoAfterPost() {
  if (pending_ != Pending::None) {
    std::lock_guard lock(logLock_);
    JournalRecord* record = &pendingRecord_;
    const Pending pending = pending_;
    pending_ = Pending::None;
    if (log_) {
      if (pending == Pending::Edit) {
        if (dropAtPost_ && pendingEntry_) RemoveEntry(*pendingEntry_);
        // An unchanged row without an entry before: nothing happened.
        if (!(dropAtPost_ && !hadEntry_)) journal_.push_back(std::move(*record));
      } else {
        // The row has the identity foreseen at the insert, unless something
        // added rows meanwhile: the entry follows the row.
        const int32_t id = LastRecordID();
        if (id != pendingId_) {
          if (TRdaDBListItem* entry = FindEntry(pendingMaster_, pendingId_)) SetEntryBookMark(*entry, id);
        }
        record->id = id;
        journal_.push_back(std::move(*record));
      }
    }
    dropAtPost_ = false;
    hadEntry_ = false;
  } else if (undoing_ == 0) {
    UnloggedChange();
  }
  TRdaCustomDataSet::DoAfterPost();
}

void TRda2CustomAuditDataSet::DoAfterCancel() {
  if (pending_ != Pending::None) {
    std::lock_guard lock(logLock_);
    // The entry this edit or insert made goes; one from before stays.
    if (!hadEntry_ && log_) {
      if (TRdaDBListItem* entry = FindEntry(pendingMaster_, pendingId_)) RemoveEntry(*entry);
    }
    pending_ = Pending::None;
  }
  hadEntry_ = false;
  dropAtPost_ = false;
  TRdaCustomDataSet::DoAfterCancel();
}

void TRda2CustomAuditDataSet::InternalDelete() {
  if (!Logging() || undoing_ > 0) {
    if (undoing_ == 0) UnloggedChange();
    TRdaCustomDataSet::InternalDelete();
    return;
  }
  std::lock_guard lock(logLock_);
  EnsureLog();
  TRdaDBListItem* row = CursorRow();
  if (!row) DatabaseError(SRecordNotFound, this);
  JournalRecord record;
  record.op = JournalOp::Delete;
  record.master = LogMasterID();
  record.id = row->RecordID();
  record.position = Store()->IndexOfRow(row);
  record.before = CaptureImage(row->Data());
  TRdaDBListItem* entry = FindEntry(record.master, record.id);
  if (entry) record.entryBefore = CaptureEntry(*entry);
  // The log changes first and is put back when the delete fails, so that a
  // row that stays never has a "deleted" entry.
  if (entry && EntryDelta(*entry) == ldInserted) {
    RemoveEntry(*entry);
  } else if (entry) {
    entry->SetInt32(leading_ - 1, ldDeleted);
    log_->Follow();
    currentEntryId_ = record.id;
    currentEntryMaster_ = record.master;
  } else {
    AddEntry(record.master, record.id, ldDeleted, record.before);
  }
  try {
    TRdaCustomDataSet::InternalDelete();
  } catch (...) {
    RestoreEntry(record.master, record.id, record.entryBefore);
    throw;
  }
  journal_.push_back(std::move(record));
}

void TRda2CustomAuditDataSet::InternalClose() {
  TRdaCustomDataSet::InternalClose();
  std::lock_guard lock(logLock_);
  log_.reset();
  entries_.clear();
  pendingEntry_ = nullptr;
  columnFields_.clear();
  currentEntryId_ = -1;
  pending_ = Pending::None;
  ResetJournal();
}

void TRda2CustomAuditDataSet::ClearRows() {
  TRdaCustomDataSet::ClearRows();
  std::lock_guard lock(logLock_);
  ResetJournal();
}

// ---------------------------------------------------------------------------
// Reading the log

bool TRda2CustomAuditDataSet::HasLogEntry() {
  return log_ && FindEntry(LogMasterID(), CurrentRecordID()) != nullptr;
}

bool TRda2CustomAuditDataSet::LocateLogEntry() {
  if (!log_) return false;
  TRdaDBListItem* entry = FindEntry(LogMasterID(), CurrentRecordID());
  if (!entry) return false;
  currentEntryId_ = EntryBookMark(*entry);
  currentEntryMaster_ = EntryMaster(*entry);
  log_->GotoRow(*entry);
  return true;
}

TUpdateStatus TRda2CustomAuditDataSet::UpdateStatus() {
  if (State() == dsInsert) return usInserted;
  if (!log_) return usUnmodified;
  const TRdaDBListItem* entry = FindEntry(LogMasterID(), CurrentRecordID());
  if (!entry) return usUnmodified;
  switch (EntryDelta(*entry)) {
    case ldInserted:
      return usInserted;
    case ldModified:
      if (State() != dsEdit) return usModified;
      return SameAsEntry(ActiveBuffer(), *entry) ? usUnmodified : usModified;
    default:
      return usUnmodified;
  }
}

void TRda2CustomAuditDataSet::SetInsertedBookMark() {
  std::lock_guard lock(logLock_);
  TRdaDBListItem* entry = log_ ? CurrentEntry() : nullptr;
  if (entry && EntryDelta(*entry) == ldInserted && EntryBookMark(*entry) == 0) {
    SetEntryBookMark(*entry, CurrentRecordID());
  }
}

bool TRda2CustomAuditDataSet::HasPendingChange() {
  if (!log_ || entries_.empty()) return false;
  if (State() != dsEdit) return true;
  const TRdaDBListItem* entry = CurrentEntry();
  if (!entry || EntryDelta(*entry) != ldModified || entries_.size() >= 2) return true;
  return Modified() && !SameAsEntry(ActiveBuffer(), *entry);
}

bool TRda2CustomAuditDataSet::GotoLoggedRow() {
  const TRdaDBListItem* entry = log_ ? CurrentEntry() : nullptr;
  return entry && GotoRowID(EntryBookMark(*entry));
}

void TRda2CustomAuditDataSet::GotoDeletedPosition() {
  const TRdaDBListItem* entry = log_ ? CurrentEntry() : nullptr;
  First();
  if (!entry) return;
  const int32_t id = EntryBookMark(*entry);
  while (!Eof() && CurrentRecordID() < id) Next();
}

std::string TRda2CustomAuditDataSet::VerifyLog() {
  if (!log_) return entries_.empty() ? "" : "entries without a log";
  const TRdaDBList& logStore = *log_->Store();
  if (static_cast<size_t>(logStore.Count()) != entries_.size()) {
    return "the log holds " + std::to_string(logStore.Count()) + " rows for " +
           std::to_string(entries_.size()) + " entries";
  }
  for (const TRdaDBListItem* entry : logStore.Rows()) {
    const int32_t id = EntryBookMark(*entry);
    auto it = entries_.find(EntryKey(EntryMaster(*entry), id));
    if (it == entries_.end() || it->second != entry) {
      return "two entries or a lost one for row " + std::to_string(id);
    }
    const bool pendingInsert = pending_ == Pending::Insert && id == pendingId_;
    const bool present = Store()->IndexOfID(id) >= 0;
    const int32_t delta = EntryDelta(*entry);
    if (delta == ldDeleted ? present : (!present && !pendingInsert)) {
      return "entry of kind " + std::to_string(delta) + " for row " + std::to_string(id) +
             (present ? " that is there" : " that is gone");
    }
  }
  return log_->VerifyIndexesAndAggregates();
}

// ---------------------------------------------------------------------------
// Undo

void TRda2CustomAuditDataSet::PostPendingEdit() {
  if (State() != dsEdit && State() != dsInsert) return;
  ValueGuard<int> internal(internalOperation_, internalOperation_ + 1);
  Post();
}

// Moves to the row without scroll events; false when it is not there.
bool TRda2CustomAuditDataSet::GotoRowID(int32_t id) {
  TRdaDBList* store = Store();
  const int at = store ? store->IndexOfID(id) : -1;
  if (at < 0) return false;
  TRdaDBListItem* row = store->Rows()[static_cast<size_t>(at)];
  const int position = IndexSelected() ? Indexes().Selected()->PositionOf(*row) : at;
  if (position < 0) return false;
  SetCursor(position);
  Resync({rmExact});
  return true;
}

void TRda2CustomAuditDataSet::WriteValues(const RowValues& values) {
  const TRdaFieldList& columns = Store()->FieldList();
  const TRdaDBList& store = *Store();
  const char* image = values.image.data();
  size_t blob = 0;
  for (int i = 0; i < columns.Count(); ++i) {
    const TRdaFieldItem& c = columns.Items(i);
    const uint8_t type = c.DataType() & 0x7F;
    TField* field = columnFields_[static_cast<size_t>(i)];
    const bool isBlob = IsRdaBlobFieldType(type);
    if (!field) {
      if (isBlob) ++blob;
      continue;
    }
    if (isBlob) {
      WriteBlob(*field, values.blobs[blob++]);
      continue;
    }
    if (store.IsNullIn(image, i)) {
      SetFieldData(*field, nullptr);
      continue;
    }
    const auto size = static_cast<size_t>(c.DataSize());
    scratch_.assign(std::max(size, static_cast<size_t>(field->DataSize())) + 1, '\0');
    if (field->DataType() != type && IsRdaIntegerFieldType(type) &&
        IsRdaIntegerFieldType(static_cast<uint8_t>(field->DataType()))) {
      RdaStoreInteger(static_cast<uint8_t>(field->DataType()), scratch_.data(),
                      RdaLoadInteger(type, image + c.Offset()));
    } else {
      std::memcpy(scratch_.data(), image + c.Offset(), size);
    }
    SetFieldData(*field, scratch_.data());
  }
}

void TRda2CustomAuditDataSet::WriteAndPost(const RowValues& values) {
  try {
    WriteValues(values);
    Post();
  } catch (...) {
    Cancel();
    throw;
  }
}

void TRda2CustomAuditDataSet::RewriteCurrentRow(const RowValues& values) {
  Edit();
  WriteAndPost(values);
}

int32_t TRda2CustomAuditDataSet::RestoreRow(const RowValues& values, int position) {
  Append();
  WriteAndPost(values);
  const int32_t id = LastRecordID();
  std::vector<TRdaDBListItem*>& rows = Store()->Rows();
  const TRdaIndex* selected = Indexes().Selected();
  const bool natural = selected && selected->Options().Contains(ioNatural);
  if (position >= 0 && !natural && !rows.empty() && rows.back()->RecordID() == id &&
      static_cast<size_t>(position) < rows.size() - 1) {
    // Added last; back to where it stood.
    std::rotate(rows.begin() + position, rows.end() - 1, rows.end());
    GotoRowID(id);
  }
  return id;
}

void TRda2CustomAuditDataSet::DeleteCurrentRowUnlogged() { Delete(); }

int32_t TRda2CustomAuditDataSet::Resolve(int32_t id) const {
  for (auto it = remap_.find(id); it != remap_.end(); it = remap_.find(id)) id = it->second;
  return id;
}

TRda2CustomAuditDataSet::JournalRecord& TRda2CustomAuditDataSet::NewPendingRecord(JournalOp op,
                                                                                  int32_t master,
                                                                                  int32_t id) {
  JournalRecord& record = pendingRecord_;
  record.op = op;
  record.master = master;
  record.id = id;
  record.position = -1;
  record.before.image.clear();
  record.before.blobs.clear();
  record.entryBefore.reset();
  return record;
}

void TRda2CustomAuditDataSet::UndoRecord(JournalRecord& record, bool entries) {
  // Without upkeep of the log, an entry from before the change is still put
  // back: the older records of its row read their values there.
  entries = entries || record.entryBefore.has_value();
  switch (record.op) {
    case JournalOp::Edit: {
      const int32_t id = Resolve(record.id);
      if (record.before.image.empty()) {
        // The first edit of the row: its entry, made then, holds the values.
        if (const TRdaDBListItem* entry = FindEntry(record.master, id)) {
          record.before = EntryValues(*entry);
        }
      }
      if (!record.before.image.empty() && GotoRowID(id)) RewriteCurrentRow(record.before);
      if (entries) RestoreEntry(record.master, id, record.entryBefore);
      break;
    }
    case JournalOp::Insert: {
      const int32_t id = Resolve(record.id);
      if (GotoRowID(id)) DeleteCurrentRowUnlogged();
      if (entries) RestoreEntry(record.master, id, std::nullopt);
      break;
    }
    case JournalOp::Delete: {
      if (entries) RestoreEntry(record.master, record.id, std::nullopt);
      const int32_t id = RestoreRow(record.before, record.position);
      remap_[record.id] = id;
      if (entries) RestoreEntry(record.master, id, record.entryBefore);
      break;
    }
  }
}

void TRda2CustomAuditDataSet::UndoJournalTo(size_t size, bool entries) {
  while (journal_.size() > size) {
    JournalRecord record = std::move(journal_.back());
    journal_.pop_back();
    UndoRecord(record, entries);
  }
}

// The entries no journal record covers (a log made elsewhere, or changes
// from before an unlogged one), undone from the log alone: inserted rows
// go, modified rows take their logged values, deleted rows come back before
// the first row whose original RecordID is not below theirs.
void TRda2CustomAuditDataSet::WalkLogBack(int32_t master) {
  struct Item {
    int32_t id;
    int32_t master;
    int32_t delta;
  };
  std::vector<Item> items;
  items.reserve(entries_.size());
  for (const auto& [key, entry] : entries_) {
    if (EntryMaster(*entry) == master) items.push_back({EntryBookMark(*entry), master, EntryDelta(*entry)});
  }
  std::sort(items.begin(), items.end(), [](const Item& a, const Item& b) { return a.id < b.id; });
  for (const Item& item : items) {
    if (item.delta == ldInserted && GotoRowID(item.id)) DeleteCurrentRowUnlogged();
  }
  for (const Item& item : items) {
    if (item.delta != ldModified || !GotoRowID(item.id)) continue;
    RewriteCurrentRow(EntryValues(*FindEntry(item.master, item.id)));
  }
  // Rows given back here keep their original identity for the placing of
  // the rows after them.
  std::unordered_map<int32_t, int32_t> original;
  for (const Item& item : items) {
    if (item.delta != ldDeleted) continue;
    const std::vector<TRdaDBListItem*>& rows = Store()->Rows();
    int position = 0;
    for (; position < static_cast<int>(rows.size()); ++position) {
      const int32_t id = rows[static_cast<size_t>(position)]->RecordID();
      auto it = original.find(id);
      if ((it == original.end() ? id : it->second) >= item.id) break;
    }
    const int32_t id = RestoreRow(EntryValues(*FindEntry(item.master, item.id)), position);
    original[id] = item.id;
  }
}

void TRda2CustomAuditDataSet::ResetJournal() {
  journal_.clear();
  remap_.clear();
  ++generation_;
  journalCoversLog_ = entries_.empty();
}

void TRda2CustomAuditDataSet::UnloggedChange() {
  if (!journal_.empty()) ResetJournal();
}

// Undoing runs with the controls disabled, the user's events and the
// constraints off, the filter off (every row must be reachable) and nothing
// logged; the cursor goes back to its row when that is still there.
class TRda2CustomAuditDataSet::UndoScope {
 public:
  explicit UndoScope(TRda2CustomAuditDataSet& ds) : ds_(ds) {
    ds_.DisableControls();
    ++ds_.internalOperation_;
    ++ds_.undoing_;
    ds_.DisableConstraints();
    ++ds_.detailFilterSuspended_;
    filtered_ = ds_.Filtered();
    id_ = ds_.CurrentRecordID();
    try {
      if (filtered_) ds_.SetFiltered(false);
    } catch (...) {
      Leave();
      throw;
    }
  }
  ~UndoScope() {
    try {
      if (filtered_) ds_.SetFiltered(true);
    } catch (...) {
      // The filter compiled before; what it raises now has been raised to
      // the reader already.
    }
    Leave();
    try {
      const int32_t id = ds_.Resolve(id_);
      if (!(id_ >= 0 && ds_.GotoRowID(id))) ds_.First();
    } catch (...) {
      // The row is filtered out now: the cursor stays where the filter put it.
    }
  }
  UndoScope(const UndoScope&) = delete;
  UndoScope& operator=(const UndoScope&) = delete;

 private:
  void Leave() {
    --ds_.detailFilterSuspended_;
    ds_.EnableConstraints();
    --ds_.undoing_;
    --ds_.internalOperation_;
    ds_.EnableControls();
  }
  TRda2CustomAuditDataSet& ds_;
  bool filtered_ = false;
  int32_t id_ = -1;
};

bool TRda2CustomAuditDataSet::RevertRecord() {
  if (!log_ || !Active()) return false;
  std::lock_guard lock(logLock_);
  if (State() == dsInsert) {
    const TRdaDBListItem* entry = FindEntry(pendingMaster_, pendingId_);
    if (pending_ == Pending::Insert && entry && EntryDelta(*entry) == ldInserted) {
      currentEntryId_ = pendingId_;
      Cancel();  // the row being inserted goes with its entry
      return false;
    }
  }
  // An edit in progress ends first: what it started is dropped.
  if (State() == dsEdit || State() == dsInsert) Cancel();
  if (!LocateLogEntry()) return false;
  TRdaDBListItem* entry = CurrentEntry();
  JournalRecord record;
  record.op = JournalOp::Edit;
  record.master = EntryMaster(*entry);
  record.id = EntryBookMark(*entry);
  record.before = CaptureImage(ActiveBuffer());
  record.entryBefore = CaptureEntry(*entry);
  {
    ValueGuard<int> undoing(undoing_, undoing_ + 1);
    ValueGuard<int> internal(internalOperation_, internalOperation_ + 1);
    DisableControls();
    TScopeGuard enable([this] { EnableControls(); });
    RewriteCurrentRow(record.entryBefore->values);
  }
  entry = FindEntry(record.master, record.id);
  bool remains = true;
  if (entry && EntryDelta(*entry) == ldModified && SameAsEntry(ActiveBuffer(), *entry)) {
    RemoveEntry(*entry);
    remains = false;
  }
  journal_.push_back(std::move(record));
  return remains;
}

void TRda2CustomAuditDataSet::CancelUpdates() {
  if (!Active()) return;
  PostPendingEdit();
  std::lock_guard lock(logLock_);
  if (!log_ || (entries_.empty() && journal_.empty())) {
    ResetJournal();
    return;
  }
  // Entries logged under other masters (other parent rows of a nested
  // dataset) are not this view's rows: they stay.
  const int32_t master = LogMasterID();
  TScopeGuard clear([this, master] {
    if (log_) {
      const std::vector<int32_t> masters = LoggedMasters();
      if (masters.size() > 1 || (masters.size() == 1 && masters.front() != master)) {
        DropEntriesOf(master);
      } else {
        log_->ClearRows();
        entries_.clear();
      }
    }
    pendingEntry_ = nullptr;
    currentEntryId_ = -1;
    ResetJournal();
  });
  UndoScope scope(*this);
  if (journalCoversLog_) {
    // The journal began with an empty log: undone, it leaves the log empty,
    // so the entries need no upkeep on the way.
    UndoJournalTo(0, false);
  } else {
    UndoJournalTo(0, true);
    WalkLogBack(master);
  }
}

std::vector<int32_t> TRda2CustomAuditDataSet::LoggedMasters() {
  std::lock_guard lock(logLock_);
  std::vector<int32_t> masters;
  for (const auto& [key, entry] : entries_) masters.push_back(EntryMaster(*entry));
  std::sort(masters.begin(), masters.end());
  masters.erase(std::unique(masters.begin(), masters.end()), masters.end());
  return masters;
}

void TRda2CustomAuditDataSet::DropEntriesOf(int32_t master) {
  std::lock_guard lock(logLock_);
  const bool current = currentEntryMaster_ == master;
  // Journal records of those rows would undo into entries that are gone.
  if (RemoveEntriesIf([&](const TRdaDBListItem& entry) { return EntryMaster(entry) == master; }) == 0) return;
  if (current) currentEntryId_ = -1;
  ResetJournal();
}

size_t TRda2CustomAuditDataSet::RemoveEntriesIf(const std::function<bool(const TRdaDBListItem&)>& gone) {
  std::vector<TRdaDBListItem*> drop;
  for (const auto& [key, entry] : entries_) {
    if (gone(*entry)) drop.push_back(entry);
  }
  for (TRdaDBListItem* entry : drop) RemoveEntry(*entry);
  return drop.size();
}

int64_t TRda2CustomAuditDataSet::SavePoint() {
  return (static_cast<int64_t>(generation_) << 32) | static_cast<int64_t>(journal_.size());
}

void TRda2CustomAuditDataSet::SetSavePoint(int64_t marker) {
  CheckActive();
  PostPendingEdit();
  std::lock_guard lock(logLock_);
  const auto generation = static_cast<uint32_t>(static_cast<uint64_t>(marker) >> 32);
  const auto size = static_cast<uint64_t>(marker) & 0xFFFFFFFFu;
  if (generation != generation_ || size > journal_.size()) DatabaseError(kSavePointInvalid, this);
  if (size == journal_.size()) return;
  TScopeGuard broken([this] { ResetJournal(); });
  UndoScope scope(*this);
  UndoJournalTo(static_cast<size_t>(size), true);
  broken.Dismiss();
}

void TRda2CustomAuditDataSet::ClearLog() {
  std::lock_guard lock(logLock_);
  // ClearRows starts the log's identities at 1 again, which keeps its rows
  // where the row store looks for them first.
  if (log_) log_->ClearRows();
  entries_.clear();
  pendingEntry_ = nullptr;
  currentEntryId_ = -1;
  ResetJournal();
}

void TRda2CustomAuditDataSet::ClearLogEntries(const std::function<bool(int32_t bookmark)>& applied) {
  std::lock_guard lock(logLock_);
  if (!log_) return;
  RemoveEntriesIf([&](const TRdaDBListItem& entry) { return applied(EntryBookMark(entry)); });
  currentEntryId_ = -1;
  ResetJournal();
}

void TRda2CustomAuditDataSet::SaveLogToStream(TMemoryStream& stream) {
  std::lock_guard lock(logLock_);
  EnsureLog();
  ChangeLog()->SaveToStream(stream);
}

void TRda2CustomAuditDataSet::LoadLogFromStream(TMemoryStream& stream) {
  std::lock_guard lock(logLock_);
  CreateLog();
  log_->LoadRowsFromStream(stream);
  for (TRdaDBListItem* row : log_->Store()->Rows()) entries_[EntryKey(EntryMaster(*row), EntryBookMark(*row))] = row;
  log_->Follow();
  currentEntryId_ = -1;
  ResetJournal();
}

void TRda2CustomAuditDataSet::ClearLogExcept(const std::vector<int32_t>& keep) {
  ClearLogEntries([&keep](int32_t bookmark) { return std::find(keep.begin(), keep.end(), bookmark) == keep.end(); });
}

void TRda2CustomAuditDataSet::EmptyDataSet() {
  if (!Active()) return;
  PostPendingEdit();
  {
    ValueGuard<TRdaUpdateMethod> manual(updateMethod_, umManual);
    ValueGuard<int> undoing(undoing_, undoing_ + 1);
    TRdaCustomDataSet::EmptyDataSet();
  }
  ClearLog();
}

}  // namespace rda
