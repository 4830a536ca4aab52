#include "memdata/store/RdaFList.h"

#include <string>

#include "base/Exception.h"
#include "memdata/store/TaggedStream.h"

namespace rda {

namespace {

int Code(uint8_t dataType) { return dataType & 0x7F; }

bool IsKnownCode(int code) { return code <= kMaxFieldType; }

[[noreturn]] void LayoutError(const std::string& what) {
  throw EReadError("Invalid field layout: " + what);
}

}  // namespace

TRdaFieldItem& TRdaFieldList::Items(int index) {
  if (index < 0 || index >= Count()) {
    throw EListError("List index out of bounds (" + std::to_string(index) + ")");
  }
  return items_[static_cast<size_t>(index)];
}

const TRdaFieldItem& TRdaFieldList::Items(int index) const {
  return const_cast<TRdaFieldList*>(this)->Items(index);
}

TRdaFieldItem& TRdaFieldList::Add() { return items_.emplace_back(); }

TRdaFieldItem& TRdaFieldList::AddField(std::string_view name, uint8_t dataType, int32_t size) {
  const int64_t bytes = RdaFieldDataSize(dataType, size);
  if (bytes < 0 || bytes > kMaxDataBytes) {
    throw EDatabaseError("Invalid size " + std::to_string(size) + " for field '" +
                         std::string(name) + "'");
  }
  TRdaFieldItem& item = Add();
  item.SetName(std::string(name));
  item.SetDataType(dataType);
  item.SetFieldNo(Count());
  item.SetDataSize(static_cast<int32_t>(bytes));
  return item;
}

int32_t TRdaFieldList::DataBytes() const {
  int64_t total = 0;
  for (const TRdaFieldItem& item : items_) {
    if (item.DataSize() < 0) {
      throw EDatabaseError("Invalid size " + std::to_string(item.DataSize()) + " for field '" +
                           item.Name() + "'");
    }
    total += item.DataSize();
  }
  if (total > kMaxDataBytes) throw EDatabaseError("Row image too large");
  return static_cast<int32_t>(total);
}

int32_t TRdaFieldList::CalcOffsets() {
  (void)DataBytes();
  int32_t offset = 0;
  for (TRdaFieldItem& item : items_) {
    item.SetOffset(offset);
    offset += item.DataSize();
  }
  return offset;
}

int32_t TRdaFieldList::CheckLayout() const {
  int64_t offset = 0;
  for (const TRdaFieldItem& item : items_) {
    const std::string field = "field '" + item.Name() + "'";
    const int code = Code(item.DataType());
    const int32_t size = item.DataSize();
    if (size < 0) LayoutError(field + " has a negative size " + std::to_string(size));
    if (IsKnownCode(code)) {
      const int width = RdaFixedFieldWidth(item.DataType());
      if (width >= 0 && size != width) {
        LayoutError(field + " of type " + std::to_string(code) + " takes " +
                    std::to_string(width) + " bytes, not " + std::to_string(size));
      }
      if (code == ftWideString && size % 2 != 0) {
        LayoutError(field + " holds wide text in an odd " + std::to_string(size) + " bytes");
      }
    }
    if (item.Offset() != offset) {
      LayoutError(field + " is at offset " + std::to_string(item.Offset()) + ", not " +
                  std::to_string(offset));
    }
    offset += size;
    if (offset > kMaxDataBytes) LayoutError("the row image exceeds " +
                                            std::to_string(kMaxDataBytes) + " bytes");
  }
  return static_cast<int32_t>(offset);
}

void TRdaFieldList::SaveToStream(TMemoryStream& stream) const {
  TaggedWriter writer(stream);
  writer.WriteSectionBegin("TRdaFieldList");
  for (const TRdaFieldItem& item : items_) {
    writer.WriteInteger(item.FieldNo());
    writer.WriteInteger(item.DataSize());
    writer.WriteInteger(item.Offset());
    writer.WriteInteger(item.DataType());
    writer.WriteRawText(item.Name());
  }
  writer.WriteListEnd();
}

void TRdaFieldList::LoadFromStream(TMemoryStream& stream) {
  Clear();
  TaggedReader reader(stream);
  reader.ReadSectionBegin();
  while (!reader.EndOfList()) {
    // An item joins the list only once all its values are read.
    TRdaFieldItem item;
    item.SetFieldNo(reader.ReadInteger());
    item.SetDataSize(reader.ReadInteger());
    item.SetOffset(reader.ReadInteger());
    // The type is one byte; a wider stored number keeps its low byte.
    item.SetDataType(static_cast<uint8_t>(reader.ReadInteger()));
    item.SetName(reader.ReadText());
    items_.push_back(std::move(item));
  }
  reader.ReadListEnd();
}

void TRdaFieldList::SaveToFile(const std::string& fileName) const {
  SaveListToFile(*this, fileName);
}

void TRdaFieldList::LoadFromFile(const std::string& fileName) { LoadListFromFile(*this, fileName); }

}  // namespace rda
