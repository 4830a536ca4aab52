#include "base/ByteIO.h"

#include <bit>

namespace rda {

int32_t ReadI32At(std::string_view data, size_t offset) {
  if (offset > data.size() || data.size() - offset < 4) throw EReadError(kStreamReadError);
  return LoadI32LE(data.data() + offset);
}

void ByteWriter::PutU16(uint16_t v) {
  char b[2];
  StoreU16LE(b, v);
  out_.append(b, 2);
}

void ByteWriter::PutU32(uint32_t v) {
  char b[4];
  StoreU32LE(b, v);
  out_.append(b, 4);
}

void ByteWriter::PutU64(uint64_t v) {
  char b[8];
  StoreU64LE(b, v);
  out_.append(b, 8);
}

void ByteWriter::PutDouble(double v) { PutU64(std::bit_cast<uint64_t>(v)); }

const char* ByteReader::Take(size_t n) {
  if (n > Remaining()) throw EReadError(kStreamReadError);
  const char* p = data_.data() + pos_;
  pos_ += n;
  return p;
}

uint8_t ByteReader::GetU8() { return static_cast<uint8_t>(*Take(1)); }
uint16_t ByteReader::GetU16() { return LoadU16LE(Take(2)); }
uint32_t ByteReader::GetU32() { return LoadU32LE(Take(4)); }
uint64_t ByteReader::GetU64() { return LoadU64LE(Take(8)); }
double ByteReader::GetDouble() { return std::bit_cast<double>(GetU64()); }

std::string_view ByteReader::GetBytes(size_t n) {
  const char* p = Take(n);
  return {p, n};
}

uint8_t ByteReader::PeekU8() const {
  if (AtEnd()) throw EReadError(kStreamReadError);
  return static_cast<uint8_t>(data_[pos_]);
}

}  // namespace rda
