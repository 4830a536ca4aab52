// Field descriptions of a row store: TRdaFieldItem and TRdaFieldList.
//
// A description says where one field's value sits in every row image of a
// store (see RdaDBList.h for the image) and how many bytes it takes; the
// bytes of each type code, and the reverse mapping from bytes back to the
// declared Size, are tabled in RdaStoredValue.h.
//
// Invariants after CalcOffsets: field i has FieldNo i + 1 when it was added
// with AddField (loaded descriptions keep the stored FieldNo), and Offset is
// the sum of the DataSize of the fields before it. CheckLayout verifies the
// offsets and sizes of descriptions that came from outside.
//
// Not thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/FieldType.h"
#include "base/MemoryStream.h"
#include "memdata/store/RdaStoredValue.h"

namespace rda {

class TRdaFieldItem {
 public:
  // 1-based position, set by AddField to the list's count.
  int32_t FieldNo() const { return fieldNo_; }
  void SetFieldNo(int32_t v) { fieldNo_ = v; }
  // Bytes the value takes in a row image.
  int32_t DataSize() const { return dataSize_; }
  void SetDataSize(int32_t v) { dataSize_ = v; }
  // Byte offset of the value in a row image.
  int32_t Offset() const { return offset_; }
  void SetOffset(int32_t v) { offset_ = v; }
  // The type code byte as given (high bit kept).
  uint8_t DataType() const { return dataType_; }
  void SetDataType(uint8_t v) { dataType_ = v; }
  // The field name exactly as given (case kept).
  const std::string& Name() const { return name_; }
  void SetName(std::string v) { name_ = std::move(v); }

  friend bool operator==(const TRdaFieldItem&, const TRdaFieldItem&) = default;

 private:
  int32_t fieldNo_ = 0;
  int32_t dataSize_ = 0;
  int32_t offset_ = 0;
  uint8_t dataType_ = 0;
  std::string name_;
};

class TRdaFieldList {
 public:
  // The most data bytes a layout may describe (1 GiB): far above any real
  // row, and low enough that offsets, the spare byte and the null words
  // stay inside 32-bit arithmetic.
  static constexpr int64_t kMaxDataBytes = int64_t{1} << 30;

  int Count() const { return static_cast<int>(items_.size()); }
  // Item at a 0-based position; EListError "List index out of bounds (%d)"
  // otherwise. References stay valid until the list gains or loses items.
  TRdaFieldItem& Items(int index);
  const TRdaFieldItem& Items(int index) const;
  const std::vector<TRdaFieldItem>& All() const { return items_; }

  // Appends a new description with all numbers 0 and an empty name.
  TRdaFieldItem& Add();
  // Appends a description: FieldNo = the new count, DataSize from the type
  // table, Offset 0 until CalcOffsets. Raises EDatabaseError "Invalid size
  // <size> for field '<name>'" for a negative size of a sized type or a
  // size whose bytes do not fit a 32-bit offset.
  TRdaFieldItem& AddField(std::string_view name, uint8_t dataType, int32_t size);
  // The sum of the sizes, with the checks of CalcOffsets; changes nothing.
  int32_t DataBytes() const;
  // Sets every Offset to the sum of the sizes before it and returns the
  // total (the data bytes of a row image). Raises EDatabaseError "Invalid
  // size <n> for field '<name>'" for a negative DataSize and "Row image too
  // large" when the total exceeds kMaxDataBytes (nothing is changed then).
  int32_t CalcOffsets();
  void Clear() { items_.clear(); }

  // Checks descriptions read from outside before any row image is laid out
  // by them, and returns the data bytes. Each field must have a DataSize of
  // at least 0 that its type allows (the fixed width for fixed-size codes,
  // an even count for ftWideString, any count for codes the system does not
  // know) and its Offset must be the sum of the sizes before it, within
  // kMaxDataBytes. Raises EReadError "Invalid field layout: <what>".
  int32_t CheckLayout() const;

  // The field section: text "TRdaFieldList", tag 1, per item the integers
  // FieldNo, DataSize, Offset, DataType and the raw text Name, tag 0.
  void SaveToStream(TMemoryStream& stream) const;
  // Clears the list and reads a field section, leaving the stream right
  // after it. Descriptions keep the numbers read (no layout check here); the
  // descriptions read completely before an error stay in the list. Errors as in
  // TaggedStream.h.
  void LoadFromStream(TMemoryStream& stream);
  void SaveToFile(const std::string& fileName) const;
  void LoadFromFile(const std::string& fileName);

  friend bool operator==(const TRdaFieldList&, const TRdaFieldList&) = default;

 private:
  std::vector<TRdaFieldItem> items_;
};

}  // namespace rda
