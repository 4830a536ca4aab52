// The indexes and aggregates sections of the dataset stream. Both are raw
// (not tagged); "text" is a u32 byte length and the bytes:
//
//   indexes    := text "TRdaIndexes", u8 switch, text selected, u32 count, index*
//   index      := text "TRdaIndex", text Name, text Fields, u32 options,
//                 u32 state, [u32 n, i32 RecordID * n]      (no rows for ioNatural)
//   aggregates := text "TRdaAggregates", u8 switch, u32 count, aggregate*
//   aggregate  := text "TRdaAggregate", text name (empty: the default one),
//                 text FieldName, u8 AggKind, text IndexName, i32 Level, u8 Active
//
// options: bit n is TRdaIndexOption n (bits 0-5); state: bit 0 built, bit 1 a
// key field changed, bit 2 a key field is calculated. Every other bit must be
// clear. A reader checks each count against the bytes left before it reads
// on (kMin...Bytes below are the least an item can take), and checks a whole
// section before it changes anything.
#include <algorithm>
#include <unordered_set>

#include "base/ByteIO.h"
#include "memdata/RdaAggregates.h"
#include "memdata/RdaCustomDataSet.h"
#include "memdata/RdaIndexes.h"
#include "memdata/RdaStreamError.h"

namespace rda {

namespace {

constexpr const char* kIndexesClass = "TRdaIndexes";
constexpr const char* kIndexClass = "TRdaIndex";
constexpr const char* kAggregatesClass = "TRdaAggregates";
constexpr const char* kAggregateClass = "TRdaAggregate";
constexpr uint32_t kIndexOptionBits = 0x3F;  // ioPrimary .. ioNatural
constexpr uint32_t kIndexStateBits = 0x07;
constexpr uint32_t kStateBuilt = 1;
constexpr uint32_t kStateKeyChanged = 2;
constexpr uint32_t kStateCalculatedKey = 4;
// Four empty texts, the options and the state.
constexpr size_t kMinIndexBytes = 4 * 4 + 4 + 4;
// Four empty texts, the kind, the level and the active byte.
constexpr size_t kMinAggregateBytes = 4 * 4 + 1 + 4 + 1;

// True, past the name, when the stream continues with the class-name text;
// otherwise the position is unchanged. A stream that ends inside the text
// is cut short, not foreign: "Stream read error".
bool ReadClassName(TMemoryStream& stream, std::string_view name, const char* section) {
  std::string expected(4, '\0');
  StoreU32LE(expected.data(), static_cast<uint32_t>(name.size()));
  expected += name;
  const std::string_view rest = stream.Rest();
  if (rest.starts_with(expected)) {
    stream.SetPosition(stream.Position() + expected.size());
    return true;
  }
  if (!rest.empty() && rest.size() < expected.size() && std::string_view(expected).starts_with(rest)) {
    ThrowStreamError(kStreamReadError, section, stream.Position(),
                     "the stream ends inside the section's name");
  }
  return false;
}

void CheckCount(TMemoryStream& stream, const char* section, uint64_t count, size_t minBytes,
                const char* what) {
  if (count > stream.Remaining() / minBytes) {
    ThrowStreamError(kInvalidPropertyValue, section, stream.Position() - 4,
                     std::to_string(count) + " " + what + " cannot be read from the " +
                         std::to_string(stream.Remaining()) + " bytes left");
  }
}

struct IndexDefinition {
  std::string name, fields;
  TRdaIndexOptions options;
  bool built = false;
  std::vector<int32_t> rows;
};

struct AggregateDefinition {
  std::string name, fieldName, indexName;
  TRdaAggKind kind = akCount;
  int level = 0;
  bool active = false;
};

}  // namespace

// ---------------------------------------------------------------------------
// Indexes

void TRdaIndexes::SaveToStream(TMemoryStream& stream) const {
  WriteRawText(stream, kIndexesClass);
  stream.WriteU8(maintained_ ? 1 : 0);
  WriteRawText(stream, selected_ ? std::string_view(selected_->name_) : std::string_view());
  stream.WriteU32(static_cast<uint32_t>(items_.size()));
  std::string ids;
  for (const auto& index : items_) {
    WriteRawText(stream, kIndexClass);
    WriteRawText(stream, index->name_);
    WriteRawText(stream, index->fields_);
    stream.WriteU32(index->options_.Bits() & kIndexOptionBits);
    stream.WriteU32((index->built_ ? kStateBuilt : 0) | (index->keyChanged_ ? kStateKeyChanged : 0) |
                    (index->calculatedKey_ ? kStateCalculatedKey : 0));
    if (index->Natural()) continue;
    const int count = index->list_.Count();
    stream.WriteU32(static_cast<uint32_t>(count));
    // One write for the whole list.
    ids.resize(static_cast<size_t>(count) * 4);
    char* out = ids.data();
    index->list_.ForEach([&out](const TRdaRowRef& ref) {
      StoreI32LE(out, ref.Row->RecordID());
      out += 4;
    });
    stream.Write(ids);
  }
}

void TRdaIndexes::LoadFromStream(TMemoryStream& stream) {
  static constexpr const char* kSection = "indexes";
  Clear();
  if (!ReadClassName(stream, kIndexesClass, kSection)) return;
  bool maintained = true;
  std::string selected;
  std::vector<IndexDefinition> definitions;
  ReadSection(kSection, stream, [&] {
    maintained = stream.ReadU8() != 0;
    selected = ReadRawText(stream, kSection);
    const uint32_t count = stream.ReadU32();
    CheckCount(stream, kSection, count, kMinIndexBytes, "indexes");
    definitions.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
      IndexDefinition d;
      (void)ReadRawText(stream, kSection);  // the class name
      d.name = ReadRawText(stream, kSection);
      d.fields = ReadRawText(stream, kSection);
      const uint32_t options = stream.ReadU32();
      if ((options & ~kIndexOptionBits) != 0) {
        ThrowStreamError(kInvalidPropertyValue, kSection, stream.Position() - 4,
                         "index options " + std::to_string(options) + " outside 0..63");
      }
      d.options = TRdaIndexOptions::FromBits(options);
      const uint32_t state = stream.ReadU32();
      if ((state & ~kIndexStateBits) != 0) {
        ThrowStreamError(kInvalidPropertyValue, kSection, stream.Position() - 4,
                         "index state " + std::to_string(state) + " outside 0..7");
      }
      if (!d.options.Contains(ioNatural)) {
        const uint32_t rows = stream.ReadU32();
        CheckCount(stream, kSection, rows, 4, "rows");
        // The rows themselves are checked when the index takes them
        // (AdoptStoredRows).
        const std::string_view bytes = stream.Read(size_t{rows} * 4);
        d.rows.resize(rows);
        for (uint32_t r = 0; r < rows; ++r) d.rows[r] = LoadI32LE(bytes.data() + size_t{r} * 4);
      }
      d.built = (state & kStateBuilt) != 0;
      definitions.push_back(std::move(d));
    }
  });
  maintained_ = maintained;
  for (IndexDefinition& d : definitions) {
    TRdaIndex& index = Add();
    index.name_ = std::move(d.name);
    index.fields_ = std::move(d.fields);
    index.options_ = d.options;
    index.ParseFields();
    index.storedRows_ = std::move(d.rows);
    index.storedBuilt_ = d.built;
  }
  Changed();
  if (DataSetOpen()) {
    BindFields();
    BuildPending();
    AdoptStoredRows();
  }
  if (!selected.empty()) Select(&IndexByName(selected));
}

void TRdaIndexes::AdoptStoredRows() {
  for (const auto& owned : items_) {
    TRdaIndex& index = *owned;
    const std::vector<int32_t> ids = std::move(index.storedRows_);
    const bool built = index.storedBuilt_;
    index.storedRows_.clear();
    index.storedBuilt_ = false;
    // Active indexes were sorted; a natural one's list is the store's.
    if (!built || index.Active() || index.Natural() || !DataSetOpen() || store_ == nullptr) continue;
    if (ids.size() != static_cast<size_t>(store_->Count())) continue;
    if (!index.names_.empty() && index.bound_.empty()) continue;
    std::vector<TRdaDBListItem*> rows;
    rows.reserve(ids.size());
    std::unordered_set<int32_t> seen;
    seen.reserve(ids.size());
    bool sound = true;
    for (const int32_t id : ids) {
      const int at = store_->IndexOfID(id);
      if (at < 0 || !seen.insert(id).second) {
        sound = false;
        break;
      }
      rows.push_back(store_->Rows()[static_cast<size_t>(at)]);
    }
    // The stored order must be the index's own: strictly ascending under its
    // flags, and without equal keys in a unique index.
    const int flags = index.SortFlags();
    for (size_t i = 1; sound && i < rows.size(); ++i) {
      sound = index.CompareRows(*rows[i - 1], *rows[i], flags, -1) < 0 &&
              !(index.Unique() && index.CompareRows(*rows[i - 1], *rows[i], flags & ~cfTieBreak, -1) == 0);
    }
    if (!sound) continue;
    index.Invalidate();
    index.keyHasIdentity_ = index.identityKeyFits_ &&
                            std::none_of(ids.begin(), ids.end(), [](int32_t id) { return id < 0; });
    if (index.keyKind_ == TRdaIndex::kkText) {
      for (const TRdaDBListItem* row : rows) index.FitTextPrefix(row->Data());
    }
    std::vector<TRdaRowRef> refs;
    refs.reserve(rows.size());
    for (TRdaDBListItem* row : rows) refs.push_back({index.KeyOf(index.Image(*row, 0), row->RecordID()), row});
    index.list_.Assign(refs);
    index.built_ = true;
    Changed();
  }
}

// ---------------------------------------------------------------------------
// Aggregates

void TRdaAggregates::SaveToStream(TMemoryStream& stream) const {
  WriteRawText(stream, kAggregatesClass);
  stream.WriteU8(maintained_ ? 1 : 0);
  stream.WriteU32(static_cast<uint32_t>(items_.size()));
  for (const auto& a : items_) {
    WriteRawText(stream, kAggregateClass);
    WriteRawText(stream, a->name_);
    WriteRawText(stream, a->fieldName_);
    stream.WriteU8(static_cast<uint8_t>(a->kind_));
    WriteRawText(stream, a->indexName_);
    stream.WriteI32(a->level_);
    stream.WriteU8(a->active_ ? 1 : 0);
  }
}

void TRdaAggregates::LoadFromStream(TMemoryStream& stream) {
  static constexpr const char* kSection = "aggregates";
  Clear();
  if (!ReadClassName(stream, kAggregatesClass, kSection)) return;
  bool maintained = true;
  std::vector<AggregateDefinition> definitions;
  ReadSection(kSection, stream, [&] {
    maintained = stream.ReadU8() != 0;
    const uint32_t count = stream.ReadU32();
    CheckCount(stream, kSection, count, kMinAggregateBytes, "aggregates");
    if (count > static_cast<uint32_t>(kMaxSlots)) {
      ThrowStreamError(kInvalidPropertyValue, kSection, stream.Position() - 4,
                       std::to_string(count) + " aggregates, more than " +
                           std::to_string(kMaxSlots) + " slots hold");
    }
    for (uint32_t i = 0; i < count; ++i) {
      AggregateDefinition d;
      (void)ReadRawText(stream, kSection);  // the class name
      d.name = ReadRawText(stream, kSection);
      d.fieldName = ReadRawText(stream, kSection);
      const uint8_t kind = stream.ReadU8();
      if (kind > akMax) {
        ThrowStreamError(kInvalidPropertyValue, kSection, stream.Position() - 1,
                         "aggregate kind " + std::to_string(kind) + " outside 0..4");
      }
      d.kind = static_cast<TRdaAggKind>(kind);
      d.indexName = ReadRawText(stream, kSection);
      d.level = stream.ReadI32();
      if (d.level < 0) {
        ThrowStreamError(kInvalidPropertyValue, kSection, stream.Position() - 4,
                         "aggregate level " + std::to_string(d.level) + " below 0");
      }
      d.active = stream.ReadU8() != 0;
      definitions.push_back(std::move(d));
    }
  });
  maintained_ = maintained;
  for (AggregateDefinition& d : definitions) {
    TRdaAggregate& a = Add();
    a.name_ = std::move(d.name);
    a.fieldName_ = std::move(d.fieldName);
    a.kind_ = d.kind;
    a.indexName_ = std::move(d.indexName);
    a.level_ = d.level;
    a.active_ = d.active;
  }
  if (dataSet_->IsCursorOpen()) {
    BindFields();
    RecomputeAll();
  }
}

}  // namespace rda
