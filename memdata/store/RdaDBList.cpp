#include "memdata/store/RdaDBList.h"

#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <new>
#include <unordered_set>

#include "base/ByteIO.h"
#include "base/CodePage.h"
#include "base/Exception.h"
#include "memdata/store/RdaLargeBlocks.h"
#include "memdata/store/TaggedStream.h"

namespace rda {

// Row memory. A block is this header followed by `capacity` slots of
// `stride` bytes; a slot is a TRdaDBListItem header followed by the image:
//
//   block := Block (padded to kBlockHeader) slot{capacity}
//   slot  := TRdaDBListItem (8 bytes) image (RecordSize bytes) padding to 4
//
// A row's home_ is the byte distance from its block to its slot, which is
// how a row finds its store without a pointer of its own. Each new block
// holds as many slots as all before it, from a few slots up to one large
// page (RdaLargeBlocks.h), so small stores stay small and large ones need
// few allocations and address translations; a block holds at least one
// slot however large. Blocks of a large page or more are large blocks,
// filled with as many slots as their pages hold.
struct TRdaDBList::Block {
  TRdaDBList* owner;
  size_t capacity;
  size_t used = 0;
  // One entry per slot, made when an aggregate first asks for a row's slots.
  std::unique_ptr<TRdaAggregateSlots[]> slots;
  // The size of a large block (0: from operator new).
  size_t largeBytes = 0;
};

namespace {

// Room for the block header, rounded so that slots start 16-byte aligned.
constexpr size_t kBlockHeader = 64;
constexpr size_t kMinBlockSlots = 4;
static_assert(sizeof(TRdaDBListItem) == 8, "a row header is an id and a home word");

[[noreturn]] void ListIndexError(int64_t index) {
  throw EListError("List index out of bounds (" + std::to_string(index) + ")");
}

std::string ImageSizeError(size_t length, int32_t recordSize) {
  return "Row image of " + std::to_string(length) + " bytes does not fit the record size " +
         std::to_string(recordSize);
}

}  // namespace

void TRdaDBList::BlockDeleter::operator()(Block* block) const {
  const size_t largeBytes = block->largeBytes;
  block->~Block();
  if (largeBytes != 0) {
    RdaFreeLargeBlock(block, largeBytes);
  } else {
    ::operator delete(block);
  }
}

// ---------------------------------------------------------------------------
// TRdaDBListItem

TRdaDBList::Block* TRdaDBList::BlockOf(const TRdaDBListItem* row) {
  const char* home = reinterpret_cast<const char*>(row) - row->home_;
  return reinterpret_cast<Block*>(const_cast<char*>(home));
}

TRdaDBList* TRdaDBListItem::Owner() const {
  if (IsScratch()) return static_cast<const TRdaScratchRow*>(this)->owner_;
  return TRdaDBList::BlockOf(this)->owner;
}

int TRdaDBListItem::Index() const { return IsScratch() ? -1 : Owner()->IndexOfRow(this); }

char* TRdaDBListItem::Data() {
  if (IsScratch()) return static_cast<TRdaScratchRow*>(this)->image_.data();
  return reinterpret_cast<char*>(this) + sizeof(TRdaDBListItem);
}

const char* TRdaDBListItem::Data() const { return const_cast<TRdaDBListItem*>(this)->Data(); }

size_t TRdaDBListItem::DataLength() const {
  if (IsScratch()) return static_cast<const TRdaScratchRow*>(this)->image_.size();
  return static_cast<size_t>(Owner()->RecordSize());
}

void TRdaDBListItem::CopyFrom(const char* buffer) {
  const auto size = static_cast<size_t>(Owner()->RecordSize());
  if (IsScratch()) {
    std::string& image = static_cast<TRdaScratchRow*>(this)->image_;
    if (image.size() < size) image.resize(size, '\0');
  }
  std::memcpy(Data(), buffer, size);
}

void TRdaDBListItem::CopyTo(char* buffer) const {
  const auto size = static_cast<size_t>(Owner()->RecordSize());
  const size_t have = std::min(size, DataLength());
  std::memcpy(buffer, Data(), have);
  std::memset(buffer + have, 0, size - have);
}

void TRdaDBListItem::SetImage(std::string_view bytes) {
  const int32_t recordSize = Owner()->RecordSize();
  if (IsScratch()) {
    std::string& image = static_cast<TRdaScratchRow*>(this)->image_;
    image.assign(bytes);
    if (image.size() < static_cast<size_t>(recordSize)) image.resize(recordSize, '\0');
    return;
  }
  if (bytes.size() != static_cast<size_t>(recordSize)) {
    throw EDatabaseError(ImageSizeError(bytes.size(), recordSize));
  }
  std::memcpy(Data(), bytes.data(), bytes.size());
}

std::span<char> TRdaDBListItem::Span(int field, size_t width) {
  const TRdaFieldItem& item = Owner()->FieldList().Items(field);
  const auto size = static_cast<size_t>(item.DataSize());
  if (item.DataSize() < 0 || size < width) {
    throw EDatabaseError("Field '" + item.Name() + "' of " + std::to_string(item.DataSize()) +
                         " bytes cannot hold a value of " + std::to_string(width) + " bytes");
  }
  if (item.Offset() < 0 || static_cast<size_t>(item.Offset()) + size > DataLength()) {
    throw EDatabaseError("Field '" + item.Name() + "' lies outside the row image");
  }
  CheckNullWord(field);
  return {Data() + item.Offset(), size};
}

std::span<const char> TRdaDBListItem::Span(int field, size_t width) const {
  return const_cast<TRdaDBListItem*>(this)->Span(field, width);
}

char* TRdaDBListItem::FieldData(int field) { return Span(field, 0).data(); }

void TRdaDBListItem::CheckNullWord(int field) const {
  // The flag word must lie inside this image, which for a scratch row may
  // have been made before the layout grew.
  const size_t word = static_cast<size_t>(Owner()->NullFlagsOffset()) + 4 * (field / 32);
  if (word + 4 > DataLength()) {
    throw EDatabaseError("The null flag of field " + std::to_string(field) +
                         " lies outside the row image");
  }
}

bool TRdaDBListItem::IsNull(int field) const {
  (void)Span(field, 0);
  return Owner()->IsNullIn(Data(), field);
}

void TRdaDBListItem::MarkNull(int field, bool isNull) { Owner()->SetNullIn(Data(), field, isNull); }

void TRdaDBListItem::SetNull(int field, bool isNull) {
  (void)Span(field, 0);
  MarkNull(field, isNull);
}

void TRdaDBListItem::SetPadded(int field, std::string_view bytes, bool isNull) {
  const std::span<char> out = Span(field, 0);
  const size_t n = std::min(bytes.size(), out.size());
  std::memcpy(out.data(), bytes.data(), n);
  std::memset(out.data() + n, 0, out.size() - n);
  MarkNull(field, isNull);
}

void TRdaDBListItem::SetText(int field, std::string_view text, bool isNull) {
  SetPadded(field, text, isNull);
}

void TRdaDBListItem::SetBytes(int field, std::string_view bytes, bool isNull) {
  SetPadded(field, bytes, isNull);
}

void TRdaDBListItem::SetWideText(int field, std::string_view text, bool isNull) {
  SetWideText(field, Cp1252ToUtf16(text), isNull);
}

void TRdaDBListItem::SetWideText(int field, std::u16string_view text, bool isNull) {
  const std::span<char> out = Span(field, 0);
  std::memset(out.data(), 0, out.size());
  const size_t units = std::min(text.size(), out.size() / 2);
  for (size_t i = 0; i < units && text[i] != u'\0'; ++i) {
    StoreU16LE(out.data() + 2 * i, static_cast<uint16_t>(text[i]));
  }
  MarkNull(field, isNull);
}

void TRdaDBListItem::SetInt16(int field, int16_t value, bool isNull) {
  StoreU16LE(Span(field, 2).data(), static_cast<uint16_t>(value));
  MarkNull(field, isNull);
}

void TRdaDBListItem::SetInt32(int field, int32_t value, bool isNull) {
  StoreI32LE(Span(field, 4).data(), value);
  MarkNull(field, isNull);
}

void TRdaDBListItem::SetInt64(int field, int64_t value, bool isNull) {
  StoreU64LE(Span(field, 8).data(), static_cast<uint64_t>(value));
  MarkNull(field, isNull);
}

void TRdaDBListItem::SetDouble(int field, double value, bool isNull) {
  StoreU64LE(Span(field, 8).data(), std::bit_cast<uint64_t>(value));
  MarkNull(field, isNull);
}

void TRdaDBListItem::SetBcd(int field, const Bcd& value, bool isNull) {
  const std::string bytes = value.ToBytes();
  std::memcpy(Span(field, Bcd::kSize).data(), bytes.data(), Bcd::kSize);
  MarkNull(field, isNull);
}

void TRdaDBListItem::SetTimeStamp(int field, const SqlTimeStamp& value, bool isNull) {
  const std::string bytes = value.ToBytes();
  std::memcpy(Span(field, SqlTimeStamp::kSize).data(), bytes.data(), SqlTimeStamp::kSize);
  MarkNull(field, isNull);
}

int16_t TRdaDBListItem::GetInt16(int field) const {
  return static_cast<int16_t>(LoadU16LE(Span(field, 2).data()));
}

int32_t TRdaDBListItem::GetInt32(int field) const { return LoadI32LE(Span(field, 4).data()); }

int64_t TRdaDBListItem::GetInt64(int field) const {
  return static_cast<int64_t>(LoadU64LE(Span(field, 8).data()));
}

double TRdaDBListItem::GetDouble(int field) const {
  return std::bit_cast<double>(LoadU64LE(Span(field, 8).data()));
}

std::string TRdaDBListItem::GetText(int field) const {
  const std::span<const char> in = Span(field, 0);
  const std::string_view bytes(in.data(), in.size());
  return std::string(bytes.substr(0, bytes.find('\0')));
}

std::u16string TRdaDBListItem::GetWideText(int field) const {
  const std::span<const char> in = Span(field, 0);
  std::u16string out;
  for (size_t i = 0; i + 1 < in.size(); i += 2) {
    const char16_t unit = LoadU16LE(in.data() + i);
    if (unit == u'\0') break;
    out.push_back(unit);
  }
  return out;
}

std::string_view TRdaDBListItem::GetBytes(int field) const {
  const std::span<const char> in = Span(field, 0);
  return {in.data(), in.size()};
}

Bcd TRdaDBListItem::GetBcd(int field) const {
  return Bcd::FromBytes({Span(field, Bcd::kSize).data(), Bcd::kSize});
}

SqlTimeStamp TRdaDBListItem::GetTimeStamp(int field) const {
  return SqlTimeStamp::FromBytes({Span(field, SqlTimeStamp::kSize).data(), SqlTimeStamp::kSize});
}

void TRdaAggregateSlots::resize(size_t n) {
  for (size_t i = n; i < std::min(size_, kInline); ++i) inline_[i].reset();
  more_.resize(n > kInline ? n - kInline : 0);
  size_ = n;
}

void TRdaAggregateSlots::clear() {
  resize(0);
  more_.shrink_to_fit();
}

TRdaAggregateSlots& TRdaDBListItem::AggregateSlots() {
  if (IsScratch()) return static_cast<TRdaScratchRow*>(this)->slots_;
  return Owner()->SlotsOf(this);
}

bool TRdaDBListItem::HasAggregateSlots() const {
  if (IsScratch()) return !static_cast<const TRdaScratchRow*>(this)->slots_.empty();
  return Owner()->HasSlots(this);
}

TRdaScratchRow::TRdaScratchRow(TRdaDBList& owner)
    : TRdaDBListItem(kScratchRecordID, kScratchBit),
      owner_(&owner),
      image_(static_cast<size_t>(owner.RecordSize()), '\0') {}

// ---------------------------------------------------------------------------
// TRdaDBList: layout and row memory

TRdaDBList::TRdaDBList() = default;

// The blocks go with the store; the rows need no destruction of their own
// (their aggregate slots live in the blocks), and no callback runs.
TRdaDBList::~TRdaDBList() = default;

void TRdaDBList::CheckLayoutFree() const {
  if (layoutFixed_) throw EDatabaseError("Cannot change the layout of a row store while its dataset is open");
}

void TRdaDBList::CalcLayout() {
  CheckLayoutFree();
  const int64_t dataBytes = fields_.DataBytes();
  const int64_t wordCount = fields_.Count() / 32 + 2;
  const int64_t recordSize = dataBytes + 4 * wordCount;
  if (recordSize > 0x7FFFFFFF) throw EDatabaseError("Row image too large");
  if (!rows_.empty() && recordSize != recordSize_) {
    throw EDatabaseError("Cannot change the record size of a row store that holds rows");
  }
  fields_.CalcOffsets();
  nullWordCount_ = static_cast<int32_t>(wordCount);
  nullFlagsOffset_ = static_cast<int32_t>(dataBytes + 1);
  recordSize_ = static_cast<int32_t>(recordSize);
  // Without rows the slots can take the new size.
  if (rows_.empty()) ReleaseBlocks();
}

void TRdaDBList::ReleaseBlocks() {
  freeSlots_.clear();
  blocks_.clear();
  stride_ = 0;
  slotsPerBlock_ = 0;
  slotsInBlocks_ = 0;
}

void TRdaDBList::AddBlock(size_t capacity) {
  const size_t bytes = kBlockHeader + capacity * stride_;
  size_t largeBytes = 0;
  void* memory;
  if (capacity >= slotsPerBlock_) {
    // As many slots as the pages hold, while a row's home stays below the
    // scratch bit.
    largeBytes = RdaLargeBlockSize(bytes);
    const size_t most = (size_t{TRdaDBListItem::kScratchBit} - kBlockHeader) / stride_;
    capacity = std::max(capacity, std::min((largeBytes - kBlockHeader) / stride_, most));
    memory = RdaAllocLargeBlock(largeBytes);
  } else {
    memory = ::operator new(bytes);
  }
  std::unique_ptr<Block, BlockDeleter> block(new (memory) Block{this, capacity, 0, nullptr, largeBytes});
  blocks_.push_back(std::move(block));
  slotsInBlocks_ += capacity;
}

TRdaDBListItem* TRdaDBList::NewRow(bool zero) {
  static_assert(sizeof(Block) <= kBlockHeader);
  TRdaDBListItem* row;
  if (!freeSlots_.empty()) {
    row = freeSlots_.back();
    freeSlots_.pop_back();
    row->recordId_ = 0;
  } else {
    if (blocks_.empty()) {
      stride_ = (sizeof(TRdaDBListItem) + static_cast<size_t>(recordSize_) + 3) & ~size_t{3};
      slotsPerBlock_ = std::max<size_t>(1, (kRdaLargePage - kBlockHeader) / stride_);
    }
    if (blocks_.empty() || blocks_.back()->used == blocks_.back()->capacity) {
      AddBlock(std::clamp(slotsInBlocks_, std::min(kMinBlockSlots, slotsPerBlock_), slotsPerBlock_));
    }
    Block* block = blocks_.back().get();
    const size_t home = kBlockHeader + block->used * stride_;
    ++block->used;
    char* slot = reinterpret_cast<char*>(block) + home;
    row = new (slot) TRdaDBListItem(0, static_cast<uint32_t>(home));
  }
  if (zero) std::memset(row->Data(), 0, static_cast<size_t>(recordSize_));
  return row;
}

void TRdaDBList::ReserveRows(size_t count) {
  if (!blocks_.empty() || count < 2 * kMinBlockSlots) return;
  stride_ = (sizeof(TRdaDBListItem) + static_cast<size_t>(recordSize_) + 3) & ~size_t{3};
  slotsPerBlock_ = std::max<size_t>(1, (kRdaLargePage - kBlockHeader) / stride_);
  // A row's home is a distance below the scratch bit.
  const size_t most = (size_t{TRdaDBListItem::kScratchBit} - kBlockHeader) / stride_;
  const size_t capacity = std::min(count, most);
  rows_.reserve(capacity);
  AddBlock(capacity);
  // The list of a million rows is 8 MB of its own: huge pages for it too.
  constexpr uintptr_t kHuge = kRdaLargePage;
  const auto begin = reinterpret_cast<uintptr_t>(rows_.data());
  const uintptr_t first = (begin + kHuge - 1) & ~(kHuge - 1);
  const uintptr_t last = (begin + rows_.capacity() * sizeof(TRdaDBListItem*)) & ~(kHuge - 1);
  if (last > first) (void)::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

void TRdaDBList::ReleaseSlot(TRdaDBListItem* row) {
  Block* block = BlockOf(row);
  if (block->slots) block->slots[(row->home_ - kBlockHeader) / stride_].clear();
  freeSlots_.push_back(row);
}

TRdaAggregateSlots& TRdaDBList::SlotsOf(TRdaDBListItem* row) {
  Block* block = BlockOf(row);
  if (!block->slots) block->slots = std::make_unique<TRdaAggregateSlots[]>(block->capacity);
  return block->slots[(row->home_ - kBlockHeader) / stride_];
}

bool TRdaDBList::HasSlots(const TRdaDBListItem* row) const {
  const Block* block = BlockOf(row);
  return block->slots && !block->slots[(row->home_ - kBlockHeader) / stride_].empty();
}

// ---------------------------------------------------------------------------
// TRdaDBList: rows

TRdaDBListItem* TRdaDBList::Items(int index) const {
  if (index < 0 || index >= Count()) ListIndexError(index);
  return rows_[static_cast<size_t>(index)];
}

TRdaDBListItem* TRdaDBList::AddWithID(int32_t id) { return CreateAt(rows_.size(), id); }

TRdaDBListItem* TRdaDBList::InsertWithID(int position, int32_t id) {
  if (rows_.empty()) return AddWithID(id);
  if (position < 0 || position > Count()) ListIndexError(position);
  return CreateAt(static_cast<size_t>(position), id);
}

TRdaDBListItem* TRdaDBList::CreateAt(size_t position, int32_t id, const char* image) {
  TRdaDBListItem* row = NewRow(image == nullptr || OnItemCreated);
  try {
    rows_.insert(rows_.begin() + static_cast<std::ptrdiff_t>(position), row);
  } catch (...) {
    freeSlots_.push_back(row);
    throw;
  }
  if (OnItemCreated) OnItemCreated(*row);
  row->recordId_ = id;
  if (image != nullptr) std::memcpy(row->Data(), image, static_cast<size_t>(recordSize_));
  return row;
}

int32_t TRdaDBList::MaxID() const {
  int32_t max = 0;
  for (const TRdaDBListItem* row : rows_) max = std::max(max, row->recordId_);
  return max;
}

int TRdaDBList::IndexOfID(int32_t id) const {
  if (rows_.empty()) return -1;
  if (id > 0 && id <= Count() && rows_[static_cast<size_t>(id - 1)]->recordId_ == id) {
    return id - 1;
  }
  // Rows are added in RecordID order and mostly stay so (deletes leave
  // gaps): a binary search finds them; a row put back elsewhere is looked for.
  const auto it = std::lower_bound(rows_.begin(), rows_.end(), id,
                                   [](const TRdaDBListItem* row, int32_t key) { return row->recordId_ < key; });
  if (it != rows_.end() && (*it)->recordId_ == id) return static_cast<int>(it - rows_.begin());
  for (size_t i = 0; i < rows_.size(); ++i) {
    if (rows_[i]->recordId_ == id) return static_cast<int>(i);
  }
  return -1;
}

int TRdaDBList::IndexOfRow(const TRdaDBListItem* row) const {
  const int32_t id = row->recordId_;
  if (id > 0 && id <= Count() && rows_[static_cast<size_t>(id - 1)] == row) return id - 1;
  const int at = IndexOfID(id);
  if (at >= 0 && rows_[static_cast<size_t>(at)] == row) return at;
  // A RecordID shared for a moment (a stream being checked): by address.
  const auto it = std::find(rows_.begin(), rows_.end(), row);
  return it == rows_.end() ? -1 : static_cast<int>(it - rows_.begin());
}

void TRdaDBList::DestroyRow(TRdaDBListItem* row) {
  if (row == nullptr || row->IsScratch() || BlockOf(row)->owner != this) ListIndexError(-1);
  int index = IndexOfRow(row);
  if (index < 0) ListIndexError(-1);
  std::memset(row->Data(), 0, static_cast<size_t>(recordSize_));
  if (OnItemDeleted) {
    OnItemDeleted(*row);
    // The handler may have moved rows; look again.
    if (index >= Count() || rows_[static_cast<size_t>(index)] != row) index = IndexOfRow(row);
    if (index < 0) ListIndexError(-1);
  }
  rows_.erase(rows_.begin() + index);
  ReleaseSlot(row);
}

void TRdaDBList::Clear() {
  if (OnItemDeleted) {
    while (!rows_.empty()) {
      TRdaDBListItem* row = rows_.back();
      std::memset(row->Data(), 0, static_cast<size_t>(recordSize_));
      OnItemDeleted(*row);
      const auto it = std::find(rows_.rbegin(), rows_.rend(), row);
      if (it != rows_.rend()) rows_.erase(std::next(it).base());
      ReleaseSlot(row);
    }
  }
  rows_.clear();
  ReleaseBlocks();
}

bool TRdaDBList::IsNullIn(const char* image, int field) const {
  if (field < 0 || field >= fields_.Count() || field / 32 >= nullWordCount_) ListIndexError(field);
  const uint32_t word = LoadU32LE(image + nullFlagsOffset_ + 4 * (field / 32));
  return (word & (uint32_t{1} << (field % 32))) == 0;
}

void TRdaDBList::SetNullIn(char* image, int field, bool isNull) const {
  if (field < 0 || field >= fields_.Count() || field / 32 >= nullWordCount_) ListIndexError(field);
  char* at = image + nullFlagsOffset_ + 4 * (field / 32);
  const uint32_t bit = uint32_t{1} << (field % 32);
  const uint32_t word = LoadU32LE(at);
  StoreU32LE(at, isNull ? word & ~bit : word | bit);
}

// ---------------------------------------------------------------------------
// TRdaDBList: streams

void TRdaDBList::SaveToStream(TMemoryStream& stream) const {
  fields_.SaveToStream(stream);
  SaveRowsToStream(stream);
}

namespace {

// The bytes of a tagged integer (TaggedStream.h): the smallest tag that holds it.
size_t TaggedIntegerSize(int32_t v) {
  if (v >= -128 && v <= 127) return 2;
  if (v >= -32768 && v <= 32767) return 3;
  return 5;
}

char* PutTaggedInteger(char* out, int32_t v) {
  switch (TaggedIntegerSize(v)) {
    case 2:
      out[0] = static_cast<char>(vaInt8);
      out[1] = static_cast<char>(static_cast<int8_t>(v));
      return out + 2;
    case 3:
      out[0] = static_cast<char>(vaInt16);
      StoreU16LE(out + 1, static_cast<uint16_t>(static_cast<int16_t>(v)));
      return out + 3;
    default:
      out[0] = static_cast<char>(vaInt32);
      StoreU32LE(out + 1, static_cast<uint32_t>(v));
      return out + 5;
  }
}

}  // namespace

// The bytes TaggedWriter would write (an integer, a raw text per row),
// gathered in a chunk that stays in the cache and written a chunk at a time
// into a stream that has room for them all.
void TRdaDBList::SaveRowsToStream(TMemoryStream& stream) const {
  TaggedWriter writer(stream);
  writer.WriteSectionBegin("TRdaDBList");
  const auto image = static_cast<size_t>(recordSize_);
  const bool shortText = image <= 255;
  const size_t textHead = shortText ? 2 : 5;
  const size_t rowMax = 5 + textHead + image;
  stream.Reserve(stream.Position() + rows_.size() * rowMax + 1);
  constexpr size_t kChunk = size_t{1} << 18;
  std::string chunk(std::max(kChunk, rowMax), '\0');
  char* const begin = chunk.data();
  char* out = begin;
  for (const TRdaDBListItem* row : rows_) {
    if (static_cast<size_t>(out - begin) + rowMax > chunk.size()) {
      stream.Write({begin, static_cast<size_t>(out - begin)});
      out = begin;
    }
    out = PutTaggedInteger(out, row->recordId_);
    if (shortText) {
      out[0] = static_cast<char>(vaString);
      out[1] = static_cast<char>(image);
    } else {
      out[0] = static_cast<char>(vaLString);
      StoreU32LE(out + 1, static_cast<uint32_t>(image));
    }
    out += textHead;
    std::memcpy(out, row->Data(), image);
    out += image;
  }
  stream.Write({begin, static_cast<size_t>(out - begin)});
  writer.WriteListEnd();
}

void TRdaDBList::LoadFromStream(TMemoryStream& stream) {
  CheckLayoutFree();
  TRdaFieldList loaded;
  loaded.LoadFromStream(stream);
  const int64_t dataBytes = loaded.CheckLayout();
  if (dataBytes + 4 * (loaded.Count() / 32 + 2) > 0x7FFFFFFF) {
    throw EReadError("Invalid field layout: the row image exceeds 2147483647 bytes");
  }
  Clear();
  fields_ = std::move(loaded);
  CalcLayout();
  LoadRowsFromStream(stream);
}

void TRdaDBList::LoadRowsFromStream(TMemoryStream& stream, LoadedIDs* ids) {
  Clear();
  LoadedIDs seen;
  int32_t last = 0;
  // After each row is added.
  auto note = [&](int32_t id) {
    if (rows_.size() > 1 && id <= last) seen.ascending = false;
    last = id;
    seen.max = std::max(seen.max, id);
  };
  // Also after an error: the rows read so far.
  struct Report {
    LoadedIDs* out;
    const LoadedIDs& seen;
    ~Report() {
      if (out) *out = seen;
    }
  } report{ids, seen};
  TaggedReader reader(stream);
  reader.ReadSectionBegin();
  const auto image = static_cast<size_t>(recordSize_);
  // As many rows as the bytes left can hold at most: room only, the pages
  // are taken as rows fill them.
  const size_t textHead = image <= 255 ? 2 : 5;
  ReserveRows(stream.Remaining() / (2 + textHead + image));
  const std::string_view bytes = stream.View();
  const char* const base = bytes.data();
  const char* const end = base + bytes.size();
  const char* p = base + stream.Position();
  while (p < end && static_cast<uint8_t>(*p) != vaNull) {
    // The common row, read in place: a small identity and a raw image of the
    // record size. Anything else takes the general readers.
    const size_t idSize = *p == vaInt8 ? 2 : *p == vaInt16 ? 3 : *p == vaInt32 ? 5 : 0;
    if (idSize != 0 && static_cast<size_t>(end - p) >= idSize + textHead + image) {
      const char* text = p + idSize;
      const bool raw = image <= 255
                           ? text[0] == vaString && static_cast<uint8_t>(text[1]) == image
                           : text[0] == vaLString && LoadU32LE(text + 1) == image;
      if (raw) {
        const int32_t id = idSize == 2   ? static_cast<int8_t>(p[1])
                           : idSize == 3 ? static_cast<int16_t>(LoadU16LE(p + 1))
                                         : static_cast<int32_t>(LoadU32LE(p + 1));
        CreateAt(rows_.size(), id, text + textHead);
        note(id);
        p = text + textHead + image;
        continue;
      }
    }
    stream.SetPosition(static_cast<size_t>(p - base));
    const int32_t id = reader.ReadInteger();
    const std::string text = reader.ReadText();
    if (text.size() != image) throw EReadError(ImageSizeError(text.size(), recordSize_));
    TRdaDBListItem* row = AddWithID(id);
    std::memcpy(row->Data(), text.data(), text.size());
    note(id);
    p = base + stream.Position();
  }
  stream.SetPosition(static_cast<size_t>(p - base));
  reader.ReadListEnd();
}

void TRdaDBList::SaveToFile(const std::string& fileName) const {
  SaveListToFile(*this, fileName);
}

void TRdaDBList::LoadFromFile(const std::string& fileName) { LoadListFromFile(*this, fileName); }

// ---------------------------------------------------------------------------
// TRdaDBList: invariants

std::string TRdaDBList::Verify() const {
  int64_t dataBytes = 0;
  try {
    dataBytes = fields_.CheckLayout();
  } catch (const EReadError& e) {
    return e.Message();
  }
  const bool laidOut = recordSize_ != 0 || nullWordCount_ != 0 || nullFlagsOffset_ != 0;
  if (laidOut) {
    if (nullWordCount_ != fields_.Count() / 32 + 2) return "NullWordCount does not fit the fields";
    if (nullFlagsOffset_ != dataBytes + 1) return "NullFlagsOffset is not DataBytes + 1";
    if (recordSize_ != dataBytes + 4 * nullWordCount_) {
      return "RecordSize is not DataBytes + 4 * NullWordCount";
    }
  }
  if (!blocks_.empty() &&
      stride_ != ((sizeof(TRdaDBListItem) + static_cast<size_t>(recordSize_) + 3) & ~size_t{3})) {
    return "row slots do not have the size of the record";
  }
  std::unordered_set<const TRdaDBListItem*> seen;
  for (const TRdaDBListItem* row : rows_) {
    if (row == nullptr) return "a null row in the list";
    if (row->IsScratch()) return "a scratch row in the list";
    if (BlockOf(row)->owner != this) return "a row of another store in the list";
    if (!seen.insert(row).second) return "a row is in the list twice";
  }
  for (const TRdaDBListItem* row : freeSlots_) {
    if (seen.count(row) != 0) return "a row in the list is also free";
  }
  size_t used = 0;
  for (const auto& block : blocks_) used += block->used;
  if (used != rows_.size() + freeSlots_.size()) return "row slots are lost";
  return {};
}

}  // namespace rda
