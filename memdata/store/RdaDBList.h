// The row store: TRdaDBList of TRdaDBListItem.
//
// Every row is one byte image of exactly RecordSize bytes:
//
//   offset            size              meaning
//   0                 DataBytes         field values, field i at Offset(i) with
//                                       DataSize(i) bytes, no gaps (RdaFList.h)
//   DataBytes         1                 spare, zero
//   NullFlagsOffset   4 * NullWordCount null words, u32 little-endian; field i
//   = DataBytes + 1                     has a value when bit (i mod 32) of word
//                                       (i div 32) is set; unused bits are zero
//
//   NullWordCount = FieldCount div 32 + 2
//   RecordSize    = DataBytes + 4 * NullWordCount
//
// A fresh row is all zero, so every field starts null. Example: ftInteger,
// ftString Size 10, ftFloat -> offsets 0, 4, 14; DataBytes 22; the flag word
// at bytes 23..26; RecordSize 30.
//
// Invariants of a store (Verify checks them):
//   - the field offsets are the running sum of the field sizes, and
//     NullWordCount, NullFlagsOffset and RecordSize follow from the fields as
//     above (after CalcLayout; a new store has a zero layout);
//   - every member row has an image of exactly RecordSize bytes: the layout
//     cannot change its size while the store holds rows, and loaded field
//     descriptions and row images are checked before any row is touched;
//   - the store owns its rows; a row's address stays the same for the row's
//     whole life (indexes keep pointers to rows), whatever happens to the
//     others;
//   - positions are insertion positions (or the order the natural index
//     sorted the list into); RecordIDs are NOT checked for uniqueness here:
//     the dataset hands them out and keeps them unique within a store.
//
// Rows are light on purpose (a store may hold millions): a row is an 8-byte
// header followed directly by its image, carved out of blocks that the store
// allocates, and freed slots are reused. The row finds its store through its
// block. Aggregate slots live beside the rows and cost nothing until an
// aggregate asks for them.
//
// Scratch rows (NewScratchRow) are rows of a store that do not join it: their
// RecordID is 2147483647, no callback runs for them, and their image may be
// replaced by a byte string of any length (a whole record buffer of the
// dataset). The caller owns them; they must not be used after their store
// is destroyed (destroying them afterwards is fine).
//
// Errors: a position outside the list raises EListError "List index out of
// bounds (<n>)"; a typed access that does not fit the field or the image
// raises EDatabaseError (texts at the functions).
//
// Not thread-safe.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/Bcd.h"
#include "base/MemoryStream.h"
#include "base/SqlTimeStamp.h"
#include "memdata/store/RdaFList.h"

namespace rda {

class TRdaDBList;
// One shared aggregate value; defined with the aggregates.
class TRdaAggregateValue;
// A row's references to shared aggregate values, one per aggregate slot.
// Only the aggregates read and change it; destroying a row drops them.
// The first kInline references sit in the row's entry itself: an edit under
// a few aggregates then finds its group's value with one read of memory
// fewer, which in a large store is one cache miss per edit.
class TRdaAggregateSlots {
 public:
  using Ref = std::shared_ptr<TRdaAggregateValue>;
  static constexpr size_t kInline = 4;

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // 0 <= i < size() (not checked).
  Ref& operator[](size_t i) { return i < kInline ? inline_[i] : more_[i - kInline]; }
  const Ref& operator[](size_t i) const { return i < kInline ? inline_[i] : more_[i - kInline]; }
  // New references are empty; dropped ones are released.
  void resize(size_t n);
  void assign(size_t n, std::nullptr_t) {
    clear();
    resize(n);
  }
  void clear();
  void push_back(Ref ref) {
    resize(size_ + 1);
    (*this)[size_ - 1] = std::move(ref);
  }

 private:
  // The count first, beside the first references: the check that a row has
  // references and the read of the first one share a cache line.
  size_t size_ = 0;
  // Invariant: the inline references at or past size_ are empty.
  std::array<Ref, kInline> inline_;
  std::vector<Ref> more_;
};

class TRdaDBListItem {
 public:
  TRdaDBListItem(const TRdaDBListItem&) = delete;
  TRdaDBListItem& operator=(const TRdaDBListItem&) = delete;

  int32_t RecordID() const { return recordId_; }
  void SetRecordID(int32_t id) { recordId_ = id; }
  // The store the row belongs to (a scratch row: the store it was made for).
  TRdaDBList* Owner() const;
  bool IsScratch() const { return (home_ & kScratchBit) != 0; }
  // Position in the store, found the fast way (RecordID - 1 first, then a
  // search); -1 for a scratch row.
  int Index() const;

  // The image: RecordSize bytes for a member row; any length of at least
  // RecordSize for a scratch row. The pointer stays valid for the row's life
  // (a scratch row: until SetImage).
  char* Data();
  const char* Data() const;
  size_t DataLength() const;
  std::string_view Image() const { return {Data(), DataLength()}; }
  // Copies RecordSize bytes in from / out to a buffer of at least that size.
  void CopyFrom(const char* buffer);
  void CopyTo(char* buffer) const;
  // Replaces the image by `bytes`. A scratch row takes any length (shorter
  // images are zero-padded to RecordSize so that field access stays inside
  // them); a member row only exactly RecordSize bytes, else EDatabaseError
  // "Row image of <n> bytes does not fit the record size <m>".
  void SetImage(std::string_view bytes);

  // Address of field i's bytes in the image.
  char* FieldData(int field);

  // Null flags; a set flag means the field has a value.
  bool IsNull(int field) const;
  void SetNull(int field, bool isNull);

  // Typed setters. Each writes only the field's own bytes and ends by
  // setting the field's flag: IsNull clears it, otherwise it is set.
  //
  // Text (codes 1, 23, 35): zero the field, copy the first
  // min(length, DataSize) bytes; no terminator when the text fills it.
  void SetText(int field, std::string_view text, bool isNull = false);
  // Wide text (code 24): zero the field, copy at most Size code units of the
  // text, stopping after a zero unit. The 8-bit form is converted from the
  // system's code page.
  void SetWideText(int field, std::string_view text, bool isNull = false);
  void SetWideText(int field, std::u16string_view text, bool isNull = false);
  // Bytes (codes 12, 13): zero the field, copy min(length, DataSize) bytes.
  void SetBytes(int field, std::string_view bytes, bool isNull = false);
  // Codes 2, 4, 5 (boolean true is -1).
  void SetInt16(int field, int16_t value, bool isNull = false);
  void SetBoolean(int field, bool value, bool isNull = false) {
    SetInt16(field, value ? int16_t{-1} : int16_t{0}, isNull);
  }
  // Codes 3, 10, 14 and the BlobID of blob-like codes.
  void SetInt32(int field, int32_t value, bool isNull = false);
  // Codes 8 (value * 10000) and 25.
  void SetInt64(int field, int64_t value, bool isNull = false);
  // Codes 6, 7, 9, 11: the caller supplies the stored form (RdaFList.h).
  void SetDouble(int field, double value, bool isNull = false);
  // Code 37.
  void SetBcd(int field, const Bcd& value, bool isNull = false);
  // Code 36.
  void SetTimeStamp(int field, const SqlTimeStamp& value, bool isNull = false);

  // Typed getters of the stored forms (they do not look at the null flag).
  int16_t GetInt16(int field) const;
  int32_t GetInt32(int field) const;
  int64_t GetInt64(int field) const;
  double GetDouble(int field) const;
  // The bytes of the field up to the first zero byte.
  std::string GetText(int field) const;
  // The code units of the field up to the first zero unit.
  std::u16string GetWideText(int field) const;
  // All DataSize bytes of the field.
  std::string_view GetBytes(int field) const;
  Bcd GetBcd(int field) const;
  SqlTimeStamp GetTimeStamp(int field) const;

  // The row's aggregate references (allocated on first use).
  TRdaAggregateSlots& AggregateSlots();
  bool HasAggregateSlots() const;

 protected:
  static constexpr uint32_t kScratchBit = 0x80000000u;
  TRdaDBListItem(int32_t recordId, uint32_t home) : recordId_(recordId), home_(home) {}
  ~TRdaDBListItem() = default;

 private:
  friend class TRdaDBList;
  friend class TRdaScratchRow;

  // The bytes of field i (all DataSize of them), checked to lie inside the
  // image with the field's null word, and to hold at least `width` bytes.
  // Every access goes through it first, so a refused one writes nothing.
  std::span<char> Span(int field, size_t width);
  std::span<const char> Span(int field, size_t width) const;
  // Zeroes the field and copies the first bytes of `bytes` that fit.
  void SetPadded(int field, std::string_view bytes, bool isNull);
  void CheckNullWord(int field) const;
  // Sets or clears the flag of a field that Span has checked.
  void MarkNull(int field, bool isNull);

  int32_t recordId_;
  // A member row: the byte distance back to its block. A scratch row: the
  // scratch bit.
  uint32_t home_;
};

// A row made for a store that does not join it (see the top of this file).
class TRdaScratchRow : public TRdaDBListItem {
 public:
  static constexpr int32_t kScratchRecordID = 0x7FFFFFFF;
  explicit TRdaScratchRow(TRdaDBList& owner);
  ~TRdaScratchRow() = default;

 private:
  friend class TRdaDBListItem;
  TRdaDBList* owner_;
  std::string image_;
  TRdaAggregateSlots slots_;
};

class TRdaDBList {
 public:
  TRdaDBList();
  // Destroys the field list and then every row, without OnItemDeleted.
  ~TRdaDBList();
  TRdaDBList(const TRdaDBList&) = delete;
  TRdaDBList& operator=(const TRdaDBList&) = delete;

  // Layout, valid after CalcLayout (zero before).
  int32_t RecordSize() const { return recordSize_; }
  int32_t NullFlagsOffset() const { return nullFlagsOffset_; }
  int32_t NullWordCount() const { return nullWordCount_; }

  const TRdaFieldList& FieldList() const { return fields_; }
  // The descriptions for changing them; raises while the layout is fixed.
  TRdaFieldList& MutableFieldList() {
    CheckLayoutFree();
    return fields_;
  }
  TRdaFieldItem& AddField(std::string_view name, uint8_t dataType, int32_t size) {
    return MutableFieldList().AddField(name, dataType, size);
  }

  // An open dataset fixes the layout of its store: its record buffers and field
  // slots were sized by it. While fixed, everything that would change the field
  // descriptions or the layout (MutableFieldList, AddField, CalcLayout,
  // LoadFromStream, LoadFromFile) raises EDatabaseError "Cannot change the
  // layout of a row store while its dataset is open" and changes nothing.
  // Rows may still come and go.
  void SetLayoutFixed(bool fixed) { layoutFixed_ = fixed; }
  bool LayoutFixed() const { return layoutFixed_; }
  // Computes NullWordCount, the offsets, NullFlagsOffset and RecordSize.
  // Run after the last field is added and before rows are created. While
  // the store holds rows the record size cannot change: EDatabaseError
  // "Cannot change the record size of a row store that holds rows" (the
  // layout is then unchanged). Errors of CalcOffsets pass through.
  void CalcLayout();

  // Run with a row created as a member (image zero-filled, RecordID still 0)
  // and with a member row about to be destroyed (before it leaves the list).
  // Not run for scratch rows, nor when the whole store is destroyed.
  std::function<void(TRdaDBListItem&)> OnItemCreated;
  std::function<void(TRdaDBListItem&)> OnItemDeleted;

  int Count() const { return static_cast<int>(rows_.size()); }
  TRdaDBListItem* Items(int index) const;  // checked
  // The list of rows in store order. It may be reordered in place (the
  // natural index sorts it); rows are added and removed only through the
  // store.
  std::vector<TRdaDBListItem*>& Rows() { return rows_; }
  const std::vector<TRdaDBListItem*>& Rows() const { return rows_; }

  // Appends a member row with the given RecordID.
  TRdaDBListItem* AddWithID(int32_t id);
  // Inserts a member row at 0-based `position` (0..Count); on an empty store
  // any position appends.
  TRdaDBListItem* InsertWithID(int position, int32_t id);
  // The largest RecordID present, and 0 when none is above 0.
  int32_t MaxID() const;
  // Position of the row with `id`, -1 when absent: position id - 1 when
  // that row has it, else the first in a scan.
  int IndexOfID(int32_t id) const;
  // Position of a member row (fast form), -1 when it is not in the list.
  int IndexOfRow(const TRdaDBListItem* row) const;

  // Destroys a member row: clears its image, runs OnItemDeleted, removes it
  // from the list and frees it. A row that is not a member of this store
  // raises EListError "List index out of bounds (-1)".
  void DestroyRow(TRdaDBListItem* row);
  void Delete(int index) { DestroyRow(Items(index)); }
  // Destroys every row, last first, each as DestroyRow does.
  void Clear();

  std::unique_ptr<TRdaScratchRow> NewScratchRow() {
    return std::make_unique<TRdaScratchRow>(*this);
  }

  // Null flags of any image laid out by this store (a row image or a longer
  // record buffer holding one at its start).
  bool IsNullIn(const char* image, int field) const;
  void SetNullIn(char* image, int field, bool isNull) const;

  // The field section (RdaFList.h) followed by the row section:
  //   text "TRdaDBList", tag 1, per row: integer RecordID, raw text image,
  //   tag 0.
  void SaveToStream(TMemoryStream& stream) const;
  // Reads the field section and checks it (TRdaFieldList::CheckLayout);
  // only when it is sound are the rows cleared (with OnItemDeleted), the
  // descriptions replaced and the layout computed; then reads the row
  // section. A failing field section leaves the store as it was. Errors as
  // for LoadRowsFromStream.
  void LoadFromStream(TMemoryStream& stream);
  void SaveRowsToStream(TMemoryStream& stream) const;
  // Clears the rows and reads a row section into the current layout. Each
  // image must be exactly RecordSize bytes, else EReadError "Row image of
  // <n> bytes does not fit the record size <m>". Rows read before an error
  // stay; a row is added only once its values are read. Other errors as in
  // TaggedStream.h. With `ids`, what the rows read (also before an error)
  // have as RecordIDs, so that the caller need not walk them again.
  struct LoadedIDs {
    int32_t max = 0;         // as MaxID
    bool ascending = true;   // each above the one before
  };
  void LoadRowsFromStream(TMemoryStream& stream, LoadedIDs* ids = nullptr);
  void SaveToFile(const std::string& fileName) const;
  void LoadFromFile(const std::string& fileName);

  // Checks the invariants at the top of this file; returns "" when they
  // hold, else a description of the first broken one. For tests and
  // debugging: it walks every row.
  std::string Verify() const;

 private:
  friend class TRdaDBListItem;
  struct Block;
  struct BlockDeleter {
    void operator()(Block* block) const;
  };

  void CheckLayoutFree() const;
  // Creates a member row at `position` (0..Count), runs OnItemCreated, then
  // sets the RecordID.
  // With an image (RecordSize bytes), the row takes it instead of zeros
  // (after OnItemCreated, when there is one).
  TRdaDBListItem* CreateAt(size_t position, int32_t id, const char* image = nullptr);
  TRdaDBListItem* NewRow(bool zero = true);
  // Allocates a block of `capacity` slots at the end of blocks_.
  void AddBlock(size_t capacity);
  // Before a load into an empty store: one block with room for up to count
  // rows, asked of the system in huge pages where it has them (a million
  // rows are then a few faults instead of tens of thousands).
  void ReserveRows(size_t count);
  void ReleaseSlot(TRdaDBListItem* row);
  void ReleaseBlocks();
  static Block* BlockOf(const TRdaDBListItem* row);
  TRdaAggregateSlots& SlotsOf(TRdaDBListItem* row);
  bool HasSlots(const TRdaDBListItem* row) const;

  TRdaFieldList fields_;
  int32_t recordSize_ = 0;
  int32_t nullFlagsOffset_ = 0;
  int32_t nullWordCount_ = 0;
  bool layoutFixed_ = false;

  std::vector<TRdaDBListItem*> rows_;
  // Row memory: blocks of equal-sized slots (header + image).
  std::vector<std::unique_ptr<Block, BlockDeleter>> blocks_;
  std::vector<TRdaDBListItem*> freeSlots_;
  size_t stride_ = 0;          // bytes per slot, fixed while blocks exist
  size_t slotsPerBlock_ = 0;
  size_t slotsInBlocks_ = 0;   // the capacities of all blocks added up
};

}  // namespace rda
