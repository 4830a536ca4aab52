#include "memdata/RdaIndexes.h"

#include <algorithm>
#include <cstring>

#include "memdata/RdaCustomDataSet.h"
#include "memdata/store/RdaStoredValue.h"

namespace rda {

int IndexSearchFlags(const TRdaIndex& index) {
  int flags = 0;
  if (index.Options().Contains(ioDescending)) flags |= cfDescending;
  if (index.Options().Contains(ioCaseInsensitive)) flags |= cfCaseInsensitive;
  return flags;
}

namespace {

template <typename T>
int Sign(T a, T b) {
  return a < b ? -1 : (a > b ? 1 : 0);
}

// Whether the names of `list` begin with the names of `prefix` (ASCII
// letter case ignored, blanks around names ignored).
bool NamesBeginWith(const std::vector<std::string>& list, const std::vector<std::string>& prefix) {
  if (prefix.size() > list.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (!SameName(list[i], prefix[i])) return false;
  }
  return true;
}

// Codes whose comparison counts values within a tolerance as equal: not a
// strict weak order, so they are sorted by merging, which never reads
// outside the list whatever the comparison says.
bool HasTolerance(uint8_t type) {
  switch (type & 0x7F) {
    case ftFloat: case ftCurrency: case ftDateTime: case ftTimeStamp:
      return true;
    default:
      return false;
  }
}

// Whether a text key begins with the shared prefix, so that KeyOf can stand
// for it.
bool SharesPrefix(const std::string& prefix, std::string_view text, bool fold) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (fold) c = RdaFoldAscii(c);
    if (c != static_cast<unsigned char>(prefix[i])) return false;
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// TRdaIndex: definition

TRdaIndex::TRdaIndex(TRdaIndexes& owner) : owner_(&owner) {}

TRdaIndex::~TRdaIndex() = default;

TRdaCustomDataSet& TRdaIndex::DataSet() const { return owner_->DataSet(); }

void TRdaIndex::SetName(std::string name) {
  name_ = std::move(name);
  owner_->Changed();
}

bool TRdaIndex::Selected() const { return owner_->selected_ == this; }

void TRdaIndex::SetSelected(bool value) {
  if (value) {
    owner_->Select(this);
  } else if (Selected()) {
    owner_->Select(nullptr);
  }
}

bool TRdaIndex::Active() const {
  if (Natural() && !Selected()) return false;
  if (options_.Contains(ioNonMaintained) && !Selected()) return false;
  if (!owner_->maintained_ && !(names_.empty() && owner_->keepFieldlessActive_)) return false;
  return names_.empty() || !bound_.empty();
}

int TRdaIndex::SortFlags() const { return cfTieBreak | IndexSearchFlags(*this); }

void TRdaIndex::ParseFields() { names_ = TRdaCustomDataSet::SplitFieldNames(fields_); }

void TRdaIndex::SetFields(std::string fields) {
  if (fields == fields_) return;
  std::string previous = std::move(fields_);
  fields_ = std::move(fields);
  ParseFields();
  owner_->Changed();
  auto apply = [this] {
    Unbind();
    Bind();
    if (Active() && owner_->DataSetOpen()) {
      Rebuild();
    } else {
      Invalidate();
    }
  };
  try {
    apply();
  } catch (...) {
    fields_ = std::move(previous);
    ParseFields();
    owner_->Changed();
    try {
      apply();
    } catch (...) {
      Invalidate();
    }
    throw;
  }
}

void TRdaIndex::SetOptions(TRdaIndexOptions options) {
  if (options == options_) return;
  const bool wasNatural = Natural();
  options_ = options;
  owner_->Changed();
  if (wasNatural != Natural()) list_.Clear();
  if (!(Active() && owner_->DataSetOpen())) {
    Invalidate();
    return;
  }
  try {
    Rebuild();
  } catch (...) {
    options_.Include(ioNonMaintained);
    Invalidate();
    if (Selected()) {
      owner_->selected_ = nullptr;
      owner_->position_ = -1;
    }
    owner_->Changed();
    throw;
  }
}

void TRdaIndex::SetActive(bool value) {
  TRdaIndexOptions options = options_;
  if (value) {
    options.Exclude(ioNonMaintained);
  } else {
    options.Include(ioNonMaintained);
  }
  SetOptions(options);
}

void TRdaIndex::Bind() {
  TRdaCustomDataSet& ds = DataSet();
  if (names_.empty() || !bound_.empty() || !ds.IsCursorOpen()) return;
  std::vector<TField*> fields;
  std::vector<KeyPart> parts;
  bool calculated = false;
  for (const std::string& name : names_) {
    TField& f = ds.FieldByName(name);
    if (!IsRdaComparableFieldType(f.DataType())) ds.ThrowNotComparable(f);
    KeyPart p;
    p.field = &f;
    p.type = static_cast<uint8_t>(f.DataType());
    if (f.InCalcArea()) {
      p.calculated = true;
      p.offset = ds.calcAreaOffset_ + f.Offset() + 1;
      p.size = static_cast<size_t>(IsRdaTextFieldType(p.type) ? f.Size() : f.DataSize());
    } else {
      const TRdaCustomDataSet::FieldSlot& s = ds.SlotOf(f);
      p.offset = s.offset;
      p.nullByte = s.nullByte;
      p.nullMask = s.nullMask;
      p.type = s.type;
      p.size = static_cast<size_t>(s.dataSize);
    }
    if (f.FieldKind() != fkData) calculated = true;
    fields.push_back(&f);
    parts.push_back(p);
  }
  bound_ = std::move(fields);
  parts_ = std::move(parts);
  calculatedKey_ = calculated;
  keyKind_ = kkNone;
  if (!calculatedKey_) {
    switch (parts_[0].type & 0x7F) {
      case ftString: case ftFixedChar: case ftGuid:
        keyKind_ = kkText;
        break;
      case ftSmallint: case ftInteger: case ftWord: case ftAutoInc: case ftLargeint: case ftBCD:
      case ftDate: case ftTime:
        keyKind_ = kkSigned;
        break;
      case ftBoolean:
        keyKind_ = kkBoolean;
        break;
      default:
        break;
    }
  }
  // A single field of at most 32 bits keys the whole order with the
  // identity (while every identity is at least 0).
  identityKeyFits_ = parts_.size() == 1 &&
                     (keyKind_ == kkBoolean ||
                      (keyKind_ == kkSigned && RdaFieldDataSize(parts_[0].type, 0) <= 4) ||
                      (keyKind_ == kkSigned && (parts_[0].type & 0x7F) == ftDate));
  keyHasIdentity_ = false;
  if (calculatedKey_) {
    for (std::string& b : buffers_) b.assign(static_cast<size_t>(ds.bufferSize_), '\0');
  }
  owner_->Changed();
}

void TRdaIndex::Unbind() {
  bound_.clear();
  parts_.clear();
  calculatedKey_ = false;
  keyKind_ = kkNone;
  identityKeyFits_ = false;
  keyHasIdentity_ = false;
  for (std::string& b : buffers_) b.clear();
}

void TRdaIndex::Invalidate() {
  if (!Natural()) list_.Clear();
  built_ = false;
  textPrefix_.clear();
  textPrefixSet_ = false;
  editPosition_ = -1;
  editMoved_ = false;
}

void TRdaIndex::BeginUpdate() {
  if (updateCount_++ == 0 && Selected()) rememberedId_ = owner_->CurrentRecordID();
}

void TRdaIndex::EndUpdate() {
  if (--updateCount_ > 0 || !Selected()) return;
  TRdaCustomDataSet& ds = DataSet();
  if (ds.tearingDown_) return;
  owner_->position_ = rememberedId_ >= 0 ? owner_->ViewPositionOfID(rememberedId_) : -1;
  if (ds.Active() && ds.State() == dsBrowse && !ds.IsEmpty()) ds.Resync({});
}

// ---------------------------------------------------------------------------
// TRdaIndex: comparing

const char* TRdaIndex::Image(const TRdaDBListItem& row, int slot) const {
  if (!calculatedKey_ || row.IsScratch()) return row.Data();
  std::string& buffer = buffers_[slot];
  DataSet().MaterializeRow(row, buffer.data());
  return buffer.data();
}

int TRdaIndex::CompareImages(const char* a, const char* b, int32_t idA, int32_t idB, int flags,
                             int keyCount) const {
  const size_t n = keyCount < 0 ? parts_.size() : std::min(parts_.size(), static_cast<size_t>(keyCount));
  const bool caseInsensitive = (flags & cfCaseInsensitive) != 0;
  const bool partial = (flags & cfPartial) != 0;
  int r = 0;
  for (size_t i = 0; i < n && r == 0; ++i) {
    const KeyPart& p = parts_[i];
    bool nullA, nullB;
    if (p.calculated) {
      nullA = a[p.offset - 1] == 0;
      nullB = b[p.offset - 1] == 0;
    } else {
      nullA = (a[p.nullByte] & p.nullMask) == 0;
      nullB = (b[p.nullByte] & p.nullMask) == 0;
    }
    if (nullA || nullB) {
      r = nullA == nullB ? 0 : (nullA ? -1 : 1);
    } else {
      r = RdaCompareStored(p.type, a + p.offset, b + p.offset, p.size, caseInsensitive, partial);
    }
  }
  if (r == 0 && ((flags & cfTieBreak) != 0 || parts_.empty())) r = Sign(idA, idB);
  return (flags & cfDescending) != 0 ? -r : r;
}

int TRdaIndex::CompareRows(const TRdaDBListItem& a, const TRdaDBListItem& b, int flags,
                           int keyCount) const {
  return CompareImages(Image(a, 0), Image(b, 1), a.RecordID(), b.RecordID(), flags, keyCount);
}

// The entry key: the first key field's order in 64 bits, so that two
// different keys decide a comparison without reading the rows. Null is 0;
// texts give the 8 (folded) bytes after the prefix every key shares,
// integers their value with the sign bit flipped, booleans 1 and 2. A
// descending index inverts the bits. Equal keys say nothing.
uint64_t TRdaIndex::KeyOf(const char* image, int32_t id) const {
  if (keyKind_ == kkNone) return 0;
  const KeyPart& p = parts_[0];
  uint64_t key = 0;
  if ((image[p.nullByte] & p.nullMask) != 0) {
    const char* value = image + p.offset;
    switch (keyKind_) {
      case kkText: {
        const std::string_view text = RdaLoadText(value, p.size);
        const bool fold = options_.Contains(ioCaseInsensitive);
        for (size_t i = 0; i < 8; ++i) {
          const size_t at = textPrefix_.size() + i;
          unsigned char c = at < text.size() ? static_cast<unsigned char>(text[at]) : 0;
          if (fold) c = RdaFoldAscii(c);
          key = (key << 8) | c;
        }
        break;
      }
      case kkSigned: {
        const int64_t v = RdaLoadInteger(p.type, value);
        // With the identity: a value of at most 32 bits, from 1 up (0 is null).
        key = keyHasIdentity_ ? static_cast<uint64_t>(v + 2147483648LL) + 1
                              : static_cast<uint64_t>(v) ^ (uint64_t{1} << 63);
        break;
      }
      case kkBoolean:
        key = RdaLoadInteger(ftBoolean, value) != 0 ? 2 : 1;
        break;
      default:
        break;
    }
  }
  if (keyHasIdentity_) {
    // The value in 33 bits above the identity's 31: the whole sort order,
    // ties included, in one number.
    key = (key << kIdentityBits) | (static_cast<uint64_t>(id) & 0x7FFFFFFF);
  }
  return options_.Contains(ioDescending) ? ~key : key;
}

bool TRdaIndex::KeysDecide(int flags) const {
  return keyKind_ != kkNone && !Natural() && (flags & cfPartial) == 0 &&
         ((flags & cfCaseInsensitive) != 0) == options_.Contains(ioCaseInsensitive) &&
         ((flags & cfDescending) != 0) == options_.Contains(ioDescending);
}

void TRdaIndex::FitTextPrefix(const char* image) {
  if (keyKind_ != kkText) return;
  const KeyPart& p = parts_[0];
  if ((image[p.nullByte] & p.nullMask) == 0) return;
  const std::string_view text = RdaLoadText(image + p.offset, p.size);
  const bool fold = options_.Contains(ioCaseInsensitive);
  if (!textPrefixSet_) {
    textPrefix_.clear();
    for (char c : text) {
      textPrefix_.push_back(fold ? static_cast<char>(RdaFoldAscii(static_cast<unsigned char>(c))) : c);
    }
    textPrefixSet_ = true;
    if (!list_.Empty()) RecomputeKeys();
    return;
  }
  if (SharesPrefix(textPrefix_, text, fold)) return;
  size_t common = 0;
  while (common < textPrefix_.size() && common < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[common]);
    if (fold) c = RdaFoldAscii(c);
    if (c != static_cast<unsigned char>(textPrefix_[common])) break;
    ++common;
  }
  textPrefix_.resize(common);
  RecomputeKeys();
}

void TRdaIndex::RecomputeKeys() {
  list_.ForEachKey([this](TRdaRowRef& ref) { ref.Key = KeyOf(ref.Row->Data(), ref.Row->RecordID()); });
}

// ---------------------------------------------------------------------------
// TRdaIndex: the list

int TRdaIndex::Count() const {
  if (Natural()) return owner_->store_ ? owner_->store_->Count() : 0;
  return list_.Count();
}

TRdaDBListItem* TRdaIndex::Row(int position) const {
  if (Natural()) return owner_->store_->Rows()[static_cast<size_t>(position)];
  return list_.At(position);
}

int TRdaIndex::InsertPosition(const TRdaDBListItem& row, uint64_t key) const {
  return InsertPosition(Image(row, 0), row.RecordID(), key);
}

int TRdaIndex::InsertPosition(const char* image, int32_t id, uint64_t key) const {
  const int flags = SortFlags();
  const bool useKeys = KeysDecide(flags);
  auto before = [&](const TRdaRowRef& e) {
    if (useKeys && e.Key != key) return e.Key < key;
    return CompareImages(Image(*e.Row, 1), image, e.Row->RecordID(), id, flags, -1) < 0;
  };
  // Rows often come in key order: try the end first.
  const int count = list_.Count();
  if (count > 0 && before(list_.Back())) return count;
  return list_.LowerBound(key, useKeys, before);
}

bool TRdaIndex::UniqueClash(const TRdaDBListItem& row, int position) const {
  const int flags = SortFlags() & ~cfTieBreak;
  for (int at : {position - 1, position}) {
    if (at < 0 || at >= Count()) continue;
    const TRdaDBListItem* other = Row(at);
    if (other != &row && CompareRows(row, *other, flags, -1) == 0) return true;
  }
  return false;
}

int TRdaIndex::PositionOf(const TRdaDBListItem& row) const {
  if (Natural()) return owner_->store_ ? owner_->store_->IndexOfRow(&row) : -1;
  if (list_.Empty()) return -1;
  // A listed row shares the text prefix, so its key is its entry's key.
  const int position = InsertPosition(row, KeyOf(Image(row, 0), row.RecordID()));
  if (position < list_.Count() && list_.At(position) == &row) return position;
  if (position > 0 && list_.At(position - 1) == &row) return position - 1;
  // The row's key changed behind the index's back (a calculated key):
  // look for it.
  for (int i = 0; i < list_.Count(); ++i) {
    if (list_.At(i) == &row) return i;
  }
  return -1;
}

void TRdaIndex::Rebuild() {
  if (Natural() && !Selected()) return;
  BeginUpdate();
  try {
    Invalidate();
    TRdaCustomDataSet& ds = DataSet();
    TRdaDBList* store = owner_->store_;
    if (owner_->DataSetOpen() && store && (names_.empty() || !bound_.empty())) {
      ds.BeforeIndexBuild();
      const int flags = SortFlags();
      const bool merge = std::any_of(parts_.begin(), parts_.end(),
                                     [](const KeyPart& p) { return HasTolerance(p.type); });
      const int uniqueFlags = flags & ~cfTieBreak;
      auto clash = [&](const TRdaDBListItem& a, const TRdaDBListItem& b) {
        return CompareRows(a, b, uniqueFlags, -1) == 0;
      };
      if (Natural()) {
        std::vector<TRdaDBListItem*>& rows = store->Rows();
        auto less = [&](const TRdaDBListItem* a, const TRdaDBListItem* b) {
          return CompareRows(*a, *b, flags, -1) < 0;
        };
        if (merge) {
          std::stable_sort(rows.begin(), rows.end(), less);
        } else {
          std::sort(rows.begin(), rows.end(), less);
        }
        if (Unique()) {
          for (size_t i = 1; i < rows.size(); ++i) {
            if (clash(*rows[i - 1], *rows[i])) {
              DatabaseError("Duplicate record in unique index " + UniqueName());
            }
          }
        }
      } else {
        // Identities below 0 (rows loaded from outside) do not fit a key.
        keyHasIdentity_ = identityKeyFits_ &&
                          std::none_of(store->Rows().begin(), store->Rows().end(),
                                       [](const TRdaDBListItem* r) { return r->RecordID() < 0; });
        // The text prefix every key shares, then the keys.
        if (keyKind_ == kkText) {
          for (const TRdaDBListItem* row : store->Rows()) FitTextPrefix(row->Data());
        }
        std::vector<TRdaRowRef> refs;
        refs.reserve(static_cast<size_t>(store->Count()));
        for (TRdaDBListItem* row : store->Rows()) refs.push_back({KeyOf(Image(*row, 0), row->RecordID()), row});
        const bool useKeys = KeysDecide(flags);
        auto less = [&](const TRdaRowRef& a, const TRdaRowRef& b) {
          if (useKeys && a.Key != b.Key) return a.Key < b.Key;
          return CompareImages(Image(*a.Row, 0), Image(*b.Row, 1), a.Row->RecordID(),
                               b.Row->RecordID(), flags, -1) < 0;
        };
        if (merge) {
          std::stable_sort(refs.begin(), refs.end(), less);
        } else {
          std::sort(refs.begin(), refs.end(), less);
        }
        if (Unique()) {
          for (size_t i = 1; i < refs.size(); ++i) {
            if ((!useKeys || SearchPart(refs[i - 1].Key) == SearchPart(refs[i].Key)) &&
                clash(*refs[i - 1].Row, *refs[i].Row)) {
              DatabaseError("Duplicate record in unique index " + UniqueName());
            }
          }
        }
        list_.Assign(refs);
      }
      built_ = true;
      owner_->Changed();
      ds.AggregatesRecomputeForIndex(name_);
    }
  } catch (...) {
    Invalidate();
    --updateCount_;
    throw;
  }
  EndUpdate();
}

// ---------------------------------------------------------------------------
// TRdaIndex: upkeep

void TRdaIndex::PlaceNatural(TRdaDBListItem& row) {
  std::vector<TRdaDBListItem*>& rows = owner_->store_->Rows();
  const int from = owner_->store_->IndexOfRow(&row);
  if (from < 0) return;
  rows.erase(rows.begin() + from);
  const int flags = SortFlags();
  const auto at = std::lower_bound(rows.begin(), rows.end(), &row,
                                   [&](const TRdaDBListItem* a, const TRdaDBListItem* b) {
                                     return CompareRows(*a, *b, flags, -1) < 0;
                                   });
  const int to = static_cast<int>(at - rows.begin());
  rows.insert(at, &row);
  const int uniqueFlags = flags & ~cfTieBreak;
  for (int other : {to - 1, to + 1}) {
    if (!Unique() || other < 0 || other >= static_cast<int>(rows.size())) continue;
    if (CompareRows(row, *rows[static_cast<size_t>(other)], uniqueFlags, -1) == 0) {
      rows.erase(rows.begin() + to);
      rows.insert(rows.begin() + from, &row);
      DatabaseError("Violation of unique index " + UniqueName());
    }
  }
}

void TRdaIndex::RowAdded(TRdaDBListItem& row) {
  keyChanged_ = false;
  if (Natural()) {
    PlaceNatural(row);
    return;
  }
  FitIdentity(row);
  FitTextPrefix(row.Data());
  const uint64_t key = KeyOf(Image(row, 0), row.RecordID());
  const int position = InsertPosition(row, key);
  if (Unique() && UniqueClash(row, position)) {
    DatabaseError("Violation of unique index " + UniqueName());
  }
  list_.Insert(position, {key, &row});
}

void TRdaIndex::FitIdentity(const TRdaDBListItem& row) {
  if (keyHasIdentity_ && row.RecordID() < 0) {
    keyHasIdentity_ = false;
    RecomputeKeys();
  }
}

// The row's place is looked up only when its key moves it (RowPosted, by
// the image it had); a calculated key may change with anything, so its
// place is remembered now.
void TRdaIndex::RowEditStarting(TRdaDBListItem& row) {
  editMoved_ = false;
  editPosition_ = -1;
  if (!calculatedKey_ && !Natural()) return;
  editPosition_ = PositionOf(row);
  if (editPosition_ < 0) Invalidate();
}

// The key-changed flag stays set until the row is in place: a post that
// fails and is tried again moves the row then.
void TRdaIndex::RowPosted(TRdaDBListItem& row, const char* oldImage) {
  editMoved_ = false;
  if (!keyChanged_ && !calculatedKey_) return;
  if (Natural()) {
    editPosition_ = owner_->store_->IndexOfRow(&row);
    PlaceNatural(row);
    keyChanged_ = false;
    editMoved_ = true;
    return;
  }
  if (editPosition_ < 0 || editPosition_ >= list_.Count() || list_.At(editPosition_) != &row) {
    // Where the image the row had put it.
    editPosition_ = -1;
    if (oldImage && !calculatedKey_) {
      const int at = InsertPosition(oldImage, row.RecordID(), KeyOf(oldImage, row.RecordID()));
      if (at < list_.Count() && list_.At(at) == &row) editPosition_ = at;
    }
    for (int i = 0; editPosition_ < 0 && i < list_.Count(); ++i) {
      if (list_.At(i) == &row) editPosition_ = i;
    }
    if (editPosition_ < 0) {
      Invalidate();
      return;
    }
  }
  const TRdaRowRef old = list_.RefAt(editPosition_);
  list_.Erase(editPosition_);
  FitTextPrefix(row.Data());
  const uint64_t key = KeyOf(Image(row, 0), row.RecordID());
  const int position = InsertPosition(row, key);
  if (Unique() && UniqueClash(row, position)) {
    list_.Insert(editPosition_, old);
    DatabaseError("Violation of unique index " + UniqueName());
  }
  list_.Insert(position, {key, &row});
  keyChanged_ = false;
  editMoved_ = true;
}

void TRdaIndex::RowPostUndone(TRdaDBListItem& row) {
  if (!editMoved_) return;
  editMoved_ = false;
  // The edit goes on: a post tried again moves the row again.
  keyChanged_ = true;
  if (Natural()) {
    std::vector<TRdaDBListItem*>& rows = owner_->store_->Rows();
    const int at = owner_->store_->IndexOfRow(&row);
    if (at < 0 || editPosition_ < 0) return;
    rows.erase(rows.begin() + at);
    rows.insert(rows.begin() + std::min<int>(editPosition_, static_cast<int>(rows.size())), &row);
    return;
  }
  const int at = PositionOf(row);
  if (at >= 0) list_.Erase(at);
  // The image is the old one again: its key, and its old place.
  const uint64_t key = KeyOf(Image(row, 0), row.RecordID());
  editPosition_ = InsertPosition(row, key);
  list_.Insert(editPosition_, {key, &row});
}

void TRdaIndex::RowRemoving(TRdaDBListItem& row) {
  if (Natural()) return;
  const int position = PositionOf(row);
  if (position < 0) {
    Invalidate();
    return;
  }
  list_.Erase(position);
}

// The list is searched for the first row that does not come before the key
// (one lower bound, by the entry keys where they decide); the equal rows from
// there on are the matches.
int TRdaIndex::SearchIndex(const TRdaDBListItem& keyRow, int keyCount, int flags, int mode,
                           int& position) const {
  const int count = Count();
  position = -1;
  if (count == 0) return 1;
  const char* keyImage = Image(keyRow, 0);
  uint64_t key = 0;
  bool useKeys = KeysDecide(flags);
  if (useKeys && keyKind_ == kkText) {
    // The key stands for the text only when it has the shared prefix.
    const KeyPart& p = parts_[0];
    const bool null = (keyImage[p.nullByte] & p.nullMask) == 0;
    useKeys = null || SharesPrefix(textPrefix_, RdaLoadText(keyImage + p.offset, p.size),
                                   options_.Contains(ioCaseInsensitive));
  }
  if (useKeys) key = SearchPart(KeyOf(keyImage, keyRow.RecordID()));
  const bool descending = (flags & cfDescending) != 0;
  const bool skipKeyRow = (mode & smSkipKeyRow) != 0;
  const bool filtered = (mode & smFiltered) != 0;
  TRdaCustomDataSet& ds = DataSet();

  // The key against a row of the list (with its entry key when there is one).
  auto compareRow = [&](const TRdaDBListItem& row, uint64_t entryKey) {
    if (useKeys) {
      const uint64_t entry = SearchPart(entryKey);
      if (entry != key) return key < entry ? -1 : 1;
    }
    return CompareImages(keyImage, Image(row, 1), keyRow.RecordID(), row.RecordID(), flags, keyCount);
  };
  auto compare = [&](int at) {
    return compareRow(*Row(at), Natural() ? 0 : list_.RefAt(at).Key);
  };
  auto passes = [&](int at) { return !filtered || ds.RowAccepted(Row(at)->Image()); };
  auto isKeyRow = [&](int at) { return skipKeyRow && Row(at) == &keyRow; };

  int first;
  if (Natural()) {
    const std::vector<TRdaDBListItem*>& rows = owner_->store_->Rows();
    first = static_cast<int>(std::partition_point(rows.begin(), rows.end(),
                                                  [&](const TRdaDBListItem* r) {
                                                    return compareRow(*r, 0) > 0;
                                                  }) -
                             rows.begin());
  } else {
    first = list_.LowerBound(key, useKeys, [&](const TRdaRowRef& e) { return compareRow(*e.Row, e.Key) > 0; },
                             keyHasIdentity_ ? kIdentityBits : 0);
  }
  // The equal rows (the key row itself passed over when asked).
  int end = first;
  while (end < count && compare(end) == 0) ++end;
  bool equal = false;
  for (int at = first; at < end && !equal; ++at) equal = !isKeyRow(at);

  if (!equal) {
    position = first;
    if ((mode & smNearest) != 0 && descending) position = first - 1;
    if (position < 0 || position >= count) return 1;
    const int step = descending ? -1 : 1;
    while (position >= 0 && position < count && (isKeyRow(position) || !passes(position))) {
      position += step;
    }
    if (position < 0 || position >= count) position = descending ? -1 : count;
    return 1;
  }
  // The first of them that passes (the last with smLast).
  const bool last = (mode & smLast) != 0;
  for (int i = 0; i < end - first; ++i) {
    const int at = last ? end - 1 - i : first + i;
    if (!isKeyRow(at) && passes(at)) {
      position = at;
      return 0;
    }
  }
  // None passes: a unique index searched with all its fields still names
  // its one row.
  if (Unique() && (keyCount < 0 || static_cast<size_t>(keyCount) >= parts_.size())) {
    for (int at = first; at < end; ++at) {
      if (!isKeyRow(at)) {
        position = at;
        return 0;
      }
    }
  }
  return descending ? -1 : 1;
}

std::string TRdaIndex::Verify() const {
  if (!built_) return {};
  const std::string where = "index " + name_ + ": ";
  const TRdaDBList* store = owner_->store_;
  if (!store) return where + "built without a store";
  if (!Natural()) {
    if (std::string e = list_.Verify(); !e.empty()) return where + e;
    if (list_.Count() != store->Count()) return where + "does not hold every row of the store";
    std::vector<const TRdaDBListItem*> listed;
    listed.reserve(static_cast<size_t>(list_.Count()));
    bool keys = true;
    list_.ForEach([&](const TRdaRowRef& ref) {
      listed.push_back(ref.Row);
      if (!calculatedKey_ && ref.Key != KeyOf(ref.Row->Data(), ref.Row->RecordID())) keys = false;
    });
    std::vector<const TRdaDBListItem*> stored(store->Rows().begin(), store->Rows().end());
    std::sort(listed.begin(), listed.end());
    std::sort(stored.begin(), stored.end());
    if (listed != stored) {
      if (std::adjacent_find(listed.begin(), listed.end()) != listed.end()) {
        return where + "holds a row twice";
      }
      return where + "holds a row that is not in the store";
    }
    if (!keys) return where + "an entry's key is not its row's";
  }
  const int flags = SortFlags();
  for (int i = 1; i < Count(); ++i) {
    if (CompareRows(*Row(i - 1), *Row(i), flags, -1) >= 0) {
      return where + "rows " + std::to_string(i - 1) + " and " + std::to_string(i) + " are out of order";
    }
    if (Unique() && CompareRows(*Row(i - 1), *Row(i), flags & ~cfTieBreak, -1) == 0) {
      return where + "two equal keys in a unique index";
    }
  }
  return {};
}

// ---------------------------------------------------------------------------
// TRdaIndexes

TRdaIndexes::TRdaIndexes(TRdaCustomDataSet& dataSet) : dataSet_(&dataSet) {}

TRdaIndexes::~TRdaIndexes() {
  selected_ = nullptr;
  items_.clear();
}

bool TRdaIndexes::DataSetOpen() const { return dataSet_->IsCursorOpen(); }

TRdaIndex& TRdaIndexes::Items(int index) const {
  if (index < 0 || index >= Count()) {
    throw EListError("List index out of bounds (" + std::to_string(index) + ")");
  }
  return *items_[static_cast<size_t>(index)];
}

TRdaIndex* TRdaIndexes::FindIndex(std::string_view name) const {
  for (const auto& index : items_) {
    if (SameName(index->name_, name)) return index.get();
  }
  return nullptr;
}

TRdaIndex& TRdaIndexes::IndexByName(std::string_view name) const {
  TRdaIndex* index = FindIndex(name);
  if (!index) DatabaseError("Index with name '" + std::string(name) + "' does not found");
  return *index;
}

TRdaIndex& TRdaIndexes::Add() {
  items_.push_back(std::make_unique<TRdaIndex>(*this));
  Changed();
  return *items_.back();
}

TRdaIndex& TRdaIndexes::FindOrAdd(std::string_view name) {
  if (TRdaIndex* index = FindIndex(name)) return *index;
  TRdaIndex& index = Add();
  index.SetName(std::string(name));
  return index;
}

int TRdaIndexes::IndexOf(const TRdaIndex* index) const {
  for (size_t i = 0; i < items_.size(); ++i) {
    if (items_[i].get() == index) return static_cast<int>(i);
  }
  return -1;
}

void TRdaIndexes::Delete(int index) {
  TRdaIndex& item = Items(index);
  if (selected_ == &item) Select(nullptr);
  items_.erase(items_.begin() + index);
  Changed();
}

void TRdaIndexes::Clear() {
  if (selected_) Select(nullptr);
  items_.clear();
  Changed();
}

void TRdaIndexes::AssignDefinitions(const TRdaIndexes& other) {
  Clear();
  for (const auto& source : other.items_) {
    TRdaIndex& index = Add();
    index.name_ = source->name_;
    index.fields_ = source->fields_;
    index.options_ = source->options_;
    index.ParseFields();
  }
  Changed();
}

TRdaIndex* TRdaIndexes::EnsurePrimaryKey(std::string_view fields) {
  for (const auto& index : items_) {
    if (index->options_.Contains(ioPrimary)) return index.get();
  }
  if (SplitNames(fields).empty()) return nullptr;
  TRdaIndex& index = Add();
  index.SetName(kRdaPrimaryKeyIndexName);
  try {
    index.SetFields(std::string(fields));
    index.SetOptions({ioPrimary});
  } catch (...) {
    Delete(IndexOf(&index));
    throw;
  }
  return &index;
}

std::vector<std::string> TRdaIndexes::SplitNames(std::string_view fields) {
  return TRdaCustomDataSet::SplitFieldNames(fields);
}

TRdaIndex* TRdaIndexes::Selected() const { return selected_; }

void TRdaIndexes::Select(TRdaIndex* index, bool forced) {
  if (index == selected_ && !forced) return;
  TRdaCustomDataSet& ds = *dataSet_;
  if (ds.Active()) {
    ds.CheckBrowseMode();
    if (OnIndexChanged) OnIndexChanged();
  }
  const int32_t id = CurrentRecordID();
  TRdaIndex* previous = selected_;
  selected_ = index;
  Changed();
  if (index && DataSetOpen()) {
    // The update bracket keeps Rebuild from moving the cursor: this does.
    ++index->updateCount_;
    try {
      index->Bind();
      if (!index->built_ || index->Natural()) index->Rebuild();
    } catch (...) {
      --index->updateCount_;
      selected_ = previous;
      Changed();
      throw;
    }
    --index->updateCount_;
  }
  position_ = id >= 0 ? ViewPositionOfID(id) : -1;
  if (ds.Active() && ds.State() == dsBrowse) ds.Resync({});
}

TRdaIndex* TRdaIndexes::FindIndexFor(std::string_view fields, TRdaIndexOptions required,
                                     int activeFilter, int& keyCount) const {
  return FindIndexExcluding(fields, required, {}, activeFilter, keyCount);
}

TRdaIndex* TRdaIndexes::FindIndexExcluding(std::string_view fields, TRdaIndexOptions required,
                                           TRdaIndexOptions excluded, int activeFilter,
                                           int& keyCount) const {
  required.Exclude(ioNonMaintained);
  const std::vector<std::string> names = SplitNames(fields);
  for (const auto& index : items_) {
    const uint32_t options = index->options_.Bits();
    if ((options & required.Bits()) != required.Bits()) continue;
    if ((options & excluded.Bits()) != 0) continue;
    if (activeFilter > 0 && !index->Active()) continue;
    if (activeFilter < 0 && index->Active()) continue;
    if (index->Natural() && !index->Selected()) continue;
    if (!names.empty() && !NamesBeginWith(index->names_, names)) continue;
    keyCount = index->names_.size() == names.size() ? -1 : static_cast<int>(names.size());
    return index.get();
  }
  keyCount = -1;
  return nullptr;
}

// ---- The cursor and the current view ----

int TRdaIndexes::ViewCount() const {
  if (selected_ && selected_->built_) return selected_->Count();
  return store_ ? store_->Count() : 0;
}

TRdaDBListItem* TRdaIndexes::ViewRow(int position) const {
  if (selected_ && selected_->built_) return selected_->Row(position);
  return store_->Rows()[static_cast<size_t>(position)];
}

void TRdaIndexes::SetPosition(int position) {
  position_ = position < 0 ? -1 : std::min(position, ViewCount());
}

TRdaDBListItem& TRdaIndexes::CurrentRow() const {
  if (position_ < 0 || position_ >= ViewCount()) {
    DatabaseError("No record at position " + std::to_string(position_));
  }
  return *ViewRow(position_);
}

int32_t TRdaIndexes::CurrentRecordID() const {
  if (position_ < 0 || position_ >= ViewCount()) return -1;
  return ViewRow(position_)->RecordID();
}

int TRdaIndexes::ViewPositionOfID(int32_t id) const {
  if (!store_) return -1;
  if (!selected_ || !selected_->built_ || selected_->Natural()) return store_->IndexOfID(id);
  // The store finds the row, the index its place by the row's key.
  const int at = store_->IndexOfID(id);
  return at < 0 ? -1 : selected_->PositionOf(*store_->Rows()[static_cast<size_t>(at)]);
}

void TRdaIndexes::GotoRecordID(int32_t id) {
  const int position = ViewPositionOfID(id);
  if (position >= 0) position_ = position;
}

void TRdaIndexes::AfterSelectedMoved(const TRdaIndex& index, const TRdaDBListItem& row) {
  if (&index == selected_ && index.built_) position_ = index.PositionOf(row);
}

// ---- Upkeep ----

void TRdaIndexes::RowAdded(TRdaDBListItem& row) {
  if (!DataSetOpen()) {
    for (const auto& index : items_) index->Invalidate();
    return;
  }
  std::vector<TRdaIndex*> done;
  try {
    for (const auto& index : items_) {
      if (index->Active() && index->built_) {
        index->RowAdded(row);
        done.push_back(index.get());
      } else {
        index->Invalidate();
      }
    }
  } catch (...) {
    for (TRdaIndex* index : done) index->RowRemoving(row);
    throw;
  }
  if (selected_) AfterSelectedMoved(*selected_, row);
}

void TRdaIndexes::RowEditStarting(TRdaDBListItem& row) {
  for (const auto& index : items_) {
    if (index->Active() && index->built_) index->RowEditStarting(row);
  }
}

void TRdaIndexes::RowEditCancelled() {
  for (const auto& index : items_) {
    if (index.get() == selected_ && index->built_ && index->editPosition_ >= 0) {
      position_ = index->editPosition_;
    }
    index->editPosition_ = -1;
    index->editMoved_ = false;
    index->keyChanged_ = false;
  }
}

void TRdaIndexes::RowInsertStarting() {
  for (const auto& index : items_) {
    index->editPosition_ = -1;
    index->editMoved_ = false;
  }
}

void TRdaIndexes::RowPosted(TRdaDBListItem& row, const char* oldImage) {
  if (!DataSetOpen()) return;
  for (const auto& index : items_) {
    if (index->Active() && index->built_) {
      index->RowPosted(row, oldImage);
    } else {
      index->Invalidate();
    }
  }
  if (selected_) AfterSelectedMoved(*selected_, row);
}

void TRdaIndexes::RowPostUndone(TRdaDBListItem& row) {
  for (const auto& index : items_) {
    if (index->built_) index->RowPostUndone(row);
  }
  if (selected_) AfterSelectedMoved(*selected_, row);
}

void TRdaIndexes::RowRemoving(TRdaDBListItem& row) {
  if (!DataSetOpen()) {
    for (const auto& index : items_) index->Invalidate();
    return;
  }
  for (const auto& index : items_) {
    if (index->Active() && index->built_) {
      index->RowRemoving(row);
    } else {
      index->Invalidate();
    }
  }
  if (selected_ && selected_->built_ && !selected_->Natural()) {
    // The cursor keeps its position, or moves back from past the last row.
    position_ = std::min(position_, selected_->Count() - 1);
  }
}

void TRdaIndexes::FieldChanged(TField& field) {
  if (field.FieldKind() != fkData) return;
  for (const auto& index : items_) {
    if (std::find(index->bound_.begin(), index->bound_.end(), &field) != index->bound_.end()) {
      index->keyChanged_ = true;
    }
  }
}

void TRdaIndexes::RebuildAll() {
  for (const auto& index : items_) {
    if (index->Active()) {
      index->Rebuild();
    } else {
      index->Invalidate();
    }
  }
}

void TRdaIndexes::BuildPending() {
  for (const auto& index : items_) {
    if (index->Active() && !index->built_) index->Rebuild();
  }
}

void TRdaIndexes::BindFields() {
  dataSet_->BeforeIndexBuild();
  for (const auto& index : items_) index->Bind();
}

void TRdaIndexes::UnbindFields() {
  for (const auto& index : items_) {
    index->Invalidate();
    index->Unbind();
  }
  position_ = -1;
  Changed();
}

void TRdaIndexes::Attach(TRdaDBList* store) {
  for (const auto& index : items_) index->Invalidate();
  store_ = store;
  position_ = -1;
  Changed();
}

void TRdaIndexes::Detach() { Attach(nullptr); }

void TRdaIndexes::SetMaintained(bool value, bool keepFieldlessActive) {
  maintained_ = value;
  keepFieldlessActive_ = keepFieldlessActive;
  Changed();
  for (const auto& index : items_) {
    if (!index->Active()) index->Invalidate();
  }
  if (value && DataSetOpen()) BuildPending();
}

bool TRdaIndexes::LocateRow(const TRdaDBListItem& keyRow, const std::vector<TField*>& keyFields,
                            TLocateOptions options, bool& found, int& position) {
  const bool caseInsensitive = options.Contains(loCaseInsensitive);
  const bool partial = options.Contains(loPartialKey);
  std::string names;
  for (const TField* f : keyFields) {
    if (!names.empty()) names.push_back(';');
    names += f->FieldName();
  }
  if (locateGeneration_ != generation_ || locateCaseInsensitive_ != caseInsensitive ||
      locateFields_ != names) {
    // A case-sensitive search takes no case-insensitive index: it would
    // find texts that differ in case.
    locateIndex_ = FindIndexExcluding(
        names, caseInsensitive ? TRdaIndexOptions{ioCaseInsensitive} : TRdaIndexOptions{},
        caseInsensitive ? TRdaIndexOptions{} : TRdaIndexOptions{ioCaseInsensitive}, 1,
        locateKeyCount_);
    locateFields_ = std::move(names);
    locateCaseInsensitive_ = caseInsensitive;
    locateGeneration_ = generation_;
  }
  TRdaIndex* index = locateIndex_;
  if (!index || !index->built_) return false;
  const bool selected = index == selected_;
  if (!selected && !(!partial && locateKeyCount_ < 0 && index->Unique())) return false;
  int flags = IndexSearchFlags(*index);
  if (caseInsensitive) flags |= cfCaseInsensitive;
  if (partial) flags |= cfPartial;
  int at = -1;
  found = index->SearchIndex(keyRow, locateKeyCount_, flags, smFiltered, at) == 0;
  if (found && !selected) {
    at = ViewPositionOfID(index->Row(at)->RecordID());
    found = at >= 0;
  }
  position = at;
  return true;
}

std::string TRdaIndexes::Verify() const {
  for (const auto& index : items_) {
    if (std::string e = index->Verify(); !e.empty()) return e;
  }
  if (selected_ && IndexOf(selected_) < 0) return "the selected index is not in the collection";
  return {};
}

}  // namespace rda
