#include "memdata/store/TaggedStream.h"

#include "base/ByteIO.h"
#include "base/CodePage.h"
#include "base/Exception.h"

namespace rda {

void TaggedWriter::WriteInteger(int32_t value) {
  if (value >= -128 && value <= 127) {
    stream_.WriteU8(vaInt8);
    stream_.WriteI8(static_cast<int8_t>(value));
  } else if (value >= -32768 && value <= 32767) {
    stream_.WriteU8(vaInt16);
    stream_.WriteI16(static_cast<int16_t>(value));
  } else {
    stream_.WriteU8(vaInt32);
    stream_.WriteI32(value);
  }
}

void TaggedWriter::WriteRawText(std::string_view bytes) {
  if (bytes.size() <= 255) {
    stream_.WriteU8(vaString);
    stream_.WriteU8(static_cast<uint8_t>(bytes.size()));
  } else {
    stream_.WriteU8(vaLString);
    stream_.WriteU32(static_cast<uint32_t>(bytes.size()));
  }
  stream_.Write(bytes);
}

void TaggedWriter::WriteConvertingText(std::string_view bytes) {
  if (!HasHighBytes(bytes)) {
    WriteRawText(bytes);
    return;
  }
  const std::string utf8 = Cp1252ToUtf8(bytes);
  stream_.WriteU8(vaUTF8String);
  stream_.WriteU32(static_cast<uint32_t>(utf8.size()));
  stream_.Write(utf8);
}

void TaggedWriter::WriteSectionBegin(std::string_view className) {
  WriteRawText(className);
  WriteListBegin();
}

namespace {

[[noreturn]] void InvalidValue() { throw EReadError(kInvalidPropertyValue); }

// A 32-bit length that must fit in the bytes that remain, `unit` bytes each.
size_t ReadLength(TMemoryStream& stream, size_t unit) {
  const int32_t length = stream.ReadI32();
  if (length < 0 || static_cast<size_t>(length) > stream.Remaining() / unit) {
    throw EReadError(kStreamReadError);
  }
  return static_cast<size_t>(length);
}

}  // namespace

void TaggedReader::ReadListBegin() {
  if (stream_.ReadU8() != vaList) InvalidValue();
}

void TaggedReader::ReadListEnd() {
  if (stream_.ReadU8() != vaNull) InvalidValue();
}

bool TaggedReader::EndOfList() const { return stream_.PeekU8() == vaNull; }

int32_t TaggedReader::ReadInteger() {
  switch (stream_.ReadU8()) {
    case vaInt8: return stream_.ReadI8();
    case vaInt16: return stream_.ReadI16();
    case vaInt32: return stream_.ReadI32();
    default: InvalidValue();
  }
}

std::string TaggedReader::ReadText() {
  switch (stream_.ReadU8()) {
    case vaString: return std::string(stream_.Read(stream_.ReadU8()));
    case vaLString: return std::string(stream_.Read(ReadLength(stream_, 1)));
    case vaUTF8String: return Utf8ToCp1252(stream_.Read(ReadLength(stream_, 1)));
    case vaWString: {
      const std::string_view bytes = stream_.Read(2 * ReadLength(stream_, 2));
      std::u16string units(bytes.size() / 2, u'\0');
      for (size_t i = 0; i < units.size(); ++i) units[i] = LoadU16LE(bytes.data() + 2 * i);
      return Utf16ToCp1252(units);
    }
    default: InvalidValue();
  }
}

void TaggedReader::ReadSectionBegin() {
  (void)ReadText();
  ReadListBegin();
}

}  // namespace rda
