// Little-endian byte reading and writing.
//
// Wire messages, parameter lists and dataset streams are byte strings. They
// are read and written only through these helpers: every read is checked
// against the end of the data (EReadError "Stream read error"), and no code
// casts pointers into buffers.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "base/Exception.h"

namespace rda {

// Unchecked loads and stores at a raw position; callers have checked the range.
inline uint16_t LoadU16LE(const char* p) {
  const auto* b = reinterpret_cast<const unsigned char*>(p);
  return static_cast<uint16_t>(b[0] | (b[1] << 8));
}
inline uint32_t LoadU32LE(const char* p) {
  const auto* b = reinterpret_cast<const unsigned char*>(p);
  return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
         (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
}
inline uint64_t LoadU64LE(const char* p) {
  return static_cast<uint64_t>(LoadU32LE(p)) | (static_cast<uint64_t>(LoadU32LE(p + 4)) << 32);
}
inline int32_t LoadI32LE(const char* p) { return static_cast<int32_t>(LoadU32LE(p)); }

inline void StoreU16LE(char* p, uint16_t v) {
  p[0] = static_cast<char>(v & 0xFF);
  p[1] = static_cast<char>(v >> 8);
}
inline void StoreU32LE(char* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}
inline void StoreU64LE(char* p, uint64_t v) {
  StoreU32LE(p, static_cast<uint32_t>(v));
  StoreU32LE(p + 4, static_cast<uint32_t>(v >> 32));
}
inline void StoreI32LE(char* p, int32_t v) { StoreU32LE(p, static_cast<uint32_t>(v)); }

// Checked reads at a fixed offset of a byte string.
int32_t ReadI32At(std::string_view data, size_t offset);

// Appends little-endian values to a byte string it does not own.
class ByteWriter {
 public:
  explicit ByteWriter(std::string& out) : out_(out) {}

  void PutU8(uint8_t v) { out_.push_back(static_cast<char>(v)); }
  void PutI8(int8_t v) { PutU8(static_cast<uint8_t>(v)); }
  void PutU16(uint16_t v);
  void PutI16(int16_t v) { PutU16(static_cast<uint16_t>(v)); }
  void PutU32(uint32_t v);
  void PutI32(int32_t v) { PutU32(static_cast<uint32_t>(v)); }
  void PutU64(uint64_t v);
  void PutI64(int64_t v) { PutU64(static_cast<uint64_t>(v)); }
  void PutDouble(double v);
  void PutBytes(std::string_view bytes) { out_.append(bytes); }

  std::string& Out() { return out_; }

 private:
  std::string& out_;
};

// Reads little-endian values from a byte string it does not own; the data
// must stay alive while the reader is used. Every read past the end raises
// EReadError "Stream read error" and leaves the position unchanged.
class ByteReader {
 public:
  explicit ByteReader(std::string_view data) : data_(data) {}

  uint8_t GetU8();
  int8_t GetI8() { return static_cast<int8_t>(GetU8()); }
  uint16_t GetU16();
  int16_t GetI16() { return static_cast<int16_t>(GetU16()); }
  uint32_t GetU32();
  int32_t GetI32() { return static_cast<int32_t>(GetU32()); }
  uint64_t GetU64();
  int64_t GetI64() { return static_cast<int64_t>(GetU64()); }
  double GetDouble();
  std::string_view GetBytes(size_t n);
  void Skip(size_t n) { GetBytes(n); }
  // Looks at the next byte without moving; raises at the end.
  uint8_t PeekU8() const;

  size_t Position() const { return pos_; }
  size_t Remaining() const { return data_.size() - pos_; }
  bool AtEnd() const { return pos_ >= data_.size(); }
  std::string_view Rest() const { return data_.substr(pos_); }

 private:
  const char* Take(size_t n);

  std::string_view data_;
  size_t pos_ = 0;
};

}  // namespace rda
