// Tagged values: the byte form of the field, row and blob sections of the
// dataset stream.
//
// A section is a sequence of tagged values, each one tag byte and its value:
//
//   tag  meaning       value bytes
//   0    end of list   none
//   1    start of list none
//   2    integer       1 byte, signed
//   3    integer       2 bytes, signed, little-endian
//   4    integer       4 bytes, signed, little-endian
//   6    text          length:u8, then length bytes
//   12   text          length:i32, then length bytes
//   18   text          length:i32 in code units, then UTF-16LE code units
//   20   text          length:i32, then length bytes of UTF-8
//
//   section := text(class name) 01 item* 00
//
// Integers are written with the smallest of tags 2, 3, 4 that holds them.
// Texts are byte strings in the system's 8-bit code page (Windows-1252) and
// are written either
//   raw:        tag 6 (at most 255 bytes) or tag 12, the bytes unchanged; or
//   converting: tag 20 with the UTF-8 form when some byte is 0x80 or above,
//               otherwise raw.
// A text reader takes tags 6 and 12 as they are and converts tags 18 and 20
// back to the code page, which gives every byte back that the converting
// writer wrote.
//
// Errors (EReadError): a tag that the reader does not take -> "Invalid
// property value"; a value that runs past the end of the stream, or a
// negative length -> "Stream read error". A length is checked against the
// bytes that remain before anything is allocated for it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/MemoryStream.h"

namespace rda {

enum TValueTag : uint8_t {
  vaNull = 0,
  vaList = 1,
  vaInt8 = 2,
  vaInt16 = 3,
  vaInt32 = 4,
  vaString = 6,
  vaLString = 12,
  vaWString = 18,
  vaUTF8String = 20,
};

inline constexpr const char* kInvalidPropertyValue = "Invalid property value";

// Writes tagged values at the stream's position. The stream must outlive
// the writer.
class TaggedWriter {
 public:
  explicit TaggedWriter(TMemoryStream& stream) : stream_(stream) {}

  void WriteListBegin() { stream_.WriteU8(vaList); }
  void WriteListEnd() { stream_.WriteU8(vaNull); }
  void WriteInteger(int32_t value);
  void WriteRawText(std::string_view bytes);
  void WriteConvertingText(std::string_view bytes);
  // The section frame: the class name (raw) and the start of the list. The
  // caller writes the items and then WriteListEnd.
  void WriteSectionBegin(std::string_view className);

 private:
  TMemoryStream& stream_;
};

// Reads tagged values from the stream's position. The stream must outlive
// the reader. After an error the position is somewhere inside the value
// that failed.
class TaggedReader {
 public:
  explicit TaggedReader(TMemoryStream& stream) : stream_(stream) {}

  void ReadListBegin();
  void ReadListEnd();
  // True when the next tag is 0 (end of list); does not move.
  bool EndOfList() const;
  int32_t ReadInteger();
  std::string ReadText();
  // Reads and ignores the class-name text, then the start of the list.
  void ReadSectionBegin();

 private:
  TMemoryStream& stream_;
};

// The file form of a list is its stream written whole to the file and read
// whole from it (errors as in base/MemoryStream.h).
template <typename List>
void SaveListToFile(const List& list, const std::string& fileName) {
  TMemoryStream stream;
  list.SaveToStream(stream);
  stream.SaveToFile(fileName);
}

template <typename List>
void LoadListFromFile(List& list, const std::string& fileName) {
  TMemoryStream stream;
  stream.LoadFromFile(fileName);
  list.LoadFromStream(stream);
}

}  // namespace rda
