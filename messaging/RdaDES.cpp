// DES with combined S-box/permutation tables and 32-bit halves.
//
// How the fast form relates to the standard description:
//
// - Both halves are kept rotated left by one bit from their standard value for the whole
//   sixteen rounds. Then the expansion E needs no table: the eight 6-bit S-box inputs of
//   the standard are the bit groups 1..6, 5..10, ... of R, and with R rotated left by one,
//   the inputs of S2, S4, S6 and S8 are the low six bits of the bytes of R, and those of
//   S1, S3, S5 and S7 the low six bits of the bytes of R rotated right by four more.
// - Each round key is therefore stored as two words whose bytes hold the matching six key
//   bits: word 0 = S1 S3 S5 S7 inputs, word 1 = S2 S4 S6 S8 inputs, most significant byte
//   first.
// - kSP[n][x] is the output of S-box n+1 for the 6-bit input x, put through the
//   permutation P and rotated left by one, so that f(R, K) is eight lookups OR-ed.
// - The initial and final permutations are done with a few masked bit-swaps instead of
//   64 single-bit moves; the swaps leave the halves in the rotated form described above.
//
// The tables below are the standard's (FIPS 46), from which the combined tables are
// computed at compile time.
#include "messaging/RdaDES.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "base/ByteIO.h"
#include "base/Exception.h"

namespace rda {
namespace {

constexpr uint8_t kPC1[56] = {57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18,
                              10, 2,  59, 51, 43, 35, 27, 19, 11, 3,  60, 52, 44, 36,
                              63, 55, 47, 39, 31, 23, 15, 7,  62, 54, 46, 38, 30, 22,
                              14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};

constexpr uint8_t kPC2[48] = {14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10,
                              23, 19, 12, 4,  26, 8,  16, 7,  27, 20, 13, 2,
                              41, 52, 31, 37, 47, 55, 30, 40, 51, 45, 33, 48,
                              44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};

constexpr uint8_t kShifts[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

constexpr uint8_t kP[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
                            2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25};

// kS[n][16 * row + column]
constexpr uint8_t kS[8][64] = {
    {14, 4,  13, 1, 2,  15, 11, 8,  3,  10, 6,  12, 5,  9,  0, 7,
     0,  15, 7,  4, 14, 2,  13, 1,  10, 6,  12, 11, 9,  5,  3, 8,
     4,  1,  14, 8, 13, 6,  2,  11, 15, 12, 9,  7,  3,  10, 5, 0,
     15, 12, 8,  2, 4,  9,  1,  7,  5,  11, 3,  14, 10, 0,  6, 13},
    {15, 1,  8,  14, 6,  11, 3,  4,  9,  7, 2,  13, 12, 0, 5,  10,
     3,  13, 4,  7,  15, 2,  8,  14, 12, 0, 1,  10, 6,  9, 11, 5,
     0,  14, 7,  11, 10, 4,  13, 1,  5,  8, 12, 6,  9,  3, 2,  15,
     13, 8,  10, 1,  3,  15, 4,  2,  11, 6, 7,  12, 0,  5, 14, 9},
    {10, 0,  9,  14, 6, 3,  15, 5,  1,  13, 12, 7,  11, 4,  2,  8,
     13, 7,  0,  9,  3, 4,  6,  10, 2,  8,  5,  14, 12, 11, 15, 1,
     13, 6,  4,  9,  8, 15, 3,  0,  11, 1,  2,  12, 5,  10, 14, 7,
     1,  10, 13, 0,  6, 9,  8,  7,  4,  15, 14, 3,  11, 5,  2,  12},
    {7,  13, 14, 3, 0,  6,  9,  10, 1,  2, 8, 5,  11, 12, 4,  15,
     13, 8,  11, 5, 6,  15, 0,  3,  4,  7, 2, 12, 1,  10, 14, 9,
     10, 6,  9,  0, 12, 11, 7,  13, 15, 1, 3, 14, 5,  2,  8,  4,
     3,  15, 0,  6, 10, 1,  13, 8,  9,  4, 5, 11, 12, 7,  2,  14},
    {2,  12, 4,  1,  7,  10, 11, 6,  8,  5,  3,  15, 13, 0, 14, 9,
     14, 11, 2,  12, 4,  7,  13, 1,  5,  0,  15, 10, 3,  9, 8,  6,
     4,  2,  1,  11, 10, 13, 7,  8,  15, 9,  12, 5,  6,  3, 0,  14,
     11, 8,  12, 7,  1,  14, 2,  13, 6,  15, 0,  9,  10, 4, 5,  3},
    {12, 1,  10, 15, 9, 2,  6,  8,  0,  13, 3,  4,  14, 7,  5,  11,
     10, 15, 4,  2,  7, 12, 9,  5,  6,  1,  13, 14, 0,  11, 3,  8,
     9,  14, 15, 5,  2, 8,  12, 3,  7,  0,  4,  10, 1,  13, 11, 6,
     4,  3,  2,  12, 9, 5,  15, 10, 11, 14, 1,  7,  6,  0,  8,  13},
    {4,  11, 2,  14, 15, 0, 8,  13, 3,  12, 9, 7,  5,  10, 6, 1,
     13, 0,  11, 7,  4,  9, 1,  10, 14, 3,  5, 12, 2,  15, 8, 6,
     1,  4,  11, 13, 12, 3, 7,  14, 10, 15, 6, 8,  0,  5,  9, 2,
     6,  11, 13, 8,  1,  4, 10, 7,  9,  5,  0, 15, 14, 2,  3, 12},
    {13, 2,  8,  4, 6,  15, 11, 1,  10, 9,  3,  14, 5,  0,  12, 7,
     1,  15, 13, 8, 10, 3,  7,  4,  12, 5,  6,  11, 0,  14, 9,  2,
     7,  11, 4,  1, 9,  12, 14, 2,  0,  6,  10, 13, 15, 3,  5,  8,
     2,  1,  14, 7, 4,  10, 8,  13, 15, 12, 9,  0,  3,  5,  6,  11}};

constexpr uint32_t Rotl(uint32_t v, int n) { return (v << n) | (v >> (32 - n)); }

using SPTables = std::array<std::array<uint32_t, 64>, 8>;

constexpr SPTables MakeSPTables() {
  SPTables sp{};
  for (int n = 0; n < 8; ++n) {
    for (uint32_t x = 0; x < 64; ++x) {
      // x holds the six input bits b1..b6 with b1 as its bit 5: row b1b6, column b2..b5.
      const uint32_t row = ((x >> 4) & 2) | (x & 1);
      const uint32_t column = (x >> 1) & 0xF;
      const uint32_t s = kS[n][16 * row + column];
      const uint32_t placed = s << (28 - 4 * n);  // bits 4n+1..4n+4, bit 1 = MSB
      uint32_t permuted = 0;
      for (int i = 0; i < 32; ++i)
        if (placed & (0x80000000u >> (kP[i] - 1))) permuted |= 0x80000000u >> i;
      sp[n][x] = Rotl(permuted, 1);
    }
  }
  return sp;
}

alignas(64) constexpr SPTables kSP = MakeSPTables();

inline uint32_t LoadBE32(const char* p) {
  const auto* b = reinterpret_cast<const unsigned char*>(p);
  return (static_cast<uint32_t>(b[0]) << 24) | (static_cast<uint32_t>(b[1]) << 16) |
         (static_cast<uint32_t>(b[2]) << 8) | static_cast<uint32_t>(b[3]);
}

inline void StoreBE32(char* p, uint32_t v) {
  p[0] = static_cast<char>(v >> 24);
  p[1] = static_cast<char>(v >> 16);
  p[2] = static_cast<char>(v >> 8);
  p[3] = static_cast<char>(v);
}

// Swaps the bits of `a` selected by mask << shift with the bits of `b` selected by mask.
inline void SwapBits(uint32_t& a, uint32_t& b, int shift, uint32_t mask) {
  const uint32_t t = ((a >> shift) ^ b) & mask;
  b ^= t;
  a ^= t << shift;
}

// Initial permutation; leaves both halves rotated left by one.
inline void InitialPermutation(uint32_t& l, uint32_t& r) {
  SwapBits(l, r, 4, 0x0F0F0F0Fu);
  SwapBits(l, r, 16, 0x0000FFFFu);
  SwapBits(r, l, 2, 0x33333333u);
  SwapBits(r, l, 8, 0x00FF00FFu);
  r = Rotl(r, 1);
  SwapBits(l, r, 0, 0xAAAAAAAAu);
  l = Rotl(l, 1);
}

// Inverse of InitialPermutation: its steps undone in reverse order.
inline void FinalPermutation(uint32_t& l, uint32_t& r) {
  l = Rotl(l, 31);
  SwapBits(l, r, 0, 0xAAAAAAAAu);
  r = Rotl(r, 31);
  SwapBits(r, l, 8, 0x00FF00FFu);
  SwapBits(r, l, 2, 0x33333333u);
  SwapBits(l, r, 16, 0x0000FFFFu);
  SwapBits(l, r, 4, 0x0F0F0F0Fu);
}

// f(R, K) for one round with the round key k[0], k[1].
inline uint32_t F(uint32_t r, const uint32_t* k) {
  const uint32_t a = Rotl(r, 28) ^ k[0];
  const uint32_t b = r ^ k[1];
  return kSP[0][(a >> 24) & 0x3F] | kSP[2][(a >> 16) & 0x3F] | kSP[4][(a >> 8) & 0x3F] |
         kSP[6][a & 0x3F] | kSP[1][(b >> 24) & 0x3F] | kSP[3][(b >> 16) & 0x3F] |
         kSP[5][(b >> 8) & 0x3F] | kSP[7][b & 0x3F];
}

// Sixteen rounds on one block in the rotated form; the result is the pre-output R16 L16
// returned as (l, r) = (R16, L16), ready for the final permutation.
inline void Rounds(const uint32_t* ks, uint32_t& l, uint32_t& r) {
#pragma GCC unroll 8
  for (int i = 0; i < 32; i += 4) {
    l ^= F(r, ks + i);
    r ^= F(l, ks + i + 2);
  }
  std::swap(l, r);
}

// Two independent blocks side by side: the CPU overlaps their table lookups.
inline void Rounds2(const uint32_t* ks, uint32_t& l0, uint32_t& r0, uint32_t& l1, uint32_t& r1) {
#pragma GCC unroll 8
  for (int i = 0; i < 32; i += 4) {
    l0 ^= F(r0, ks + i);
    l1 ^= F(r1, ks + i);
    r0 ^= F(l0, ks + i + 2);
    r1 ^= F(l1, ks + i + 2);
  }
  std::swap(l0, r0);
  std::swap(l1, r1);
}

void CryptBlocks(const uint32_t* ks, const char* in, char* out, size_t size) {
  size_t pos = 0;
  for (; pos + 16 <= size; pos += 16) {
    uint32_t l0 = LoadBE32(in + pos), r0 = LoadBE32(in + pos + 4);
    uint32_t l1 = LoadBE32(in + pos + 8), r1 = LoadBE32(in + pos + 12);
    InitialPermutation(l0, r0);
    InitialPermutation(l1, r1);
    Rounds2(ks, l0, r0, l1, r1);
    FinalPermutation(l0, r0);
    FinalPermutation(l1, r1);
    StoreBE32(out + pos, l0);
    StoreBE32(out + pos + 4, r0);
    StoreBE32(out + pos + 8, l1);
    StoreBE32(out + pos + 12, r1);
  }
  for (; pos + 8 <= size; pos += 8) {
    uint32_t l = LoadBE32(in + pos), r = LoadBE32(in + pos + 4);
    InitialPermutation(l, r);
    Rounds(ks, l, r);
    FinalPermutation(l, r);
    StoreBE32(out + pos, l);
    StoreBE32(out + pos + 4, r);
  }
}

uint64_t CryptBlock(const uint32_t* ks, uint64_t block) {
  uint32_t l = static_cast<uint32_t>(block >> 32), r = static_cast<uint32_t>(block);
  InitialPermutation(l, r);
  Rounds(ks, l, r);
  FinalPermutation(l, r);
  return (static_cast<uint64_t>(l) << 32) | r;
}

}  // namespace

TRdaDESKey::TRdaDESKey(std::string_view keyText) {
  unsigned char key[kKeySize] = {};
  std::memcpy(key, keyText.data(), std::min(keyText.size(), kKeySize));
  auto keyBit = [&](int bit) {  // 1-based, bit 1 = MSB of key[0]
    return (key[(bit - 1) / 8] >> (7 - (bit - 1) % 8)) & 1u;
  };
  // C and D as 28-bit numbers, PC1's first bit in their bit 27.
  uint32_t c = 0, d = 0;
  for (int i = 0; i < 28; ++i) {
    c |= keyBit(kPC1[i]) << (27 - i);
    d |= keyBit(kPC1[28 + i]) << (27 - i);
  }
  for (int round = 0; round < 16; ++round) {
    for (int s = 0; s < kShifts[round]; ++s) {
      c = ((c << 1) | (c >> 27)) & 0x0FFFFFFFu;
      d = ((d << 1) | (d >> 27)) & 0x0FFFFFFFu;
    }
    auto cdBit = [&](int bit) {  // 1-based over C then D
      return bit <= 28 ? (c >> (28 - bit)) & 1u : (d >> (56 - bit)) & 1u;
    };
    uint32_t groups[8] = {};  // the six key bits for S-box n+1, first bit highest
    for (int i = 0; i < 48; ++i) groups[i / 6] |= cdBit(kPC2[i]) << (5 - i % 6);
    encrypt_[2 * round] = (groups[0] << 24) | (groups[2] << 16) | (groups[4] << 8) | groups[6];
    encrypt_[2 * round + 1] = (groups[1] << 24) | (groups[3] << 16) | (groups[5] << 8) | groups[7];
  }
  for (int round = 0; round < 16; ++round) {
    decrypt_[2 * round] = encrypt_[2 * (15 - round)];
    decrypt_[2 * round + 1] = encrypt_[2 * (15 - round) + 1];
  }
}

void TRdaDESKey::EncryptBlocks(const char* in, char* out, size_t size) const {
  CryptBlocks(encrypt_.data(), in, out, size);
}

void TRdaDESKey::DecryptBlocks(const char* in, char* out, size_t size) const {
  CryptBlocks(decrypt_.data(), in, out, size);
}

uint64_t TRdaDESKey::EncryptBlock(uint64_t block) const {
  return CryptBlock(encrypt_.data(), block);
}

uint64_t TRdaDESKey::DecryptBlock(uint64_t block) const {
  return CryptBlock(decrypt_.data(), block);
}

namespace {
constexpr size_t kLengthSize = 4;  // the signed 32-bit plain length in front
constexpr size_t kBlock = TRdaDESKey::kBlockSize;
}  // namespace

std::string DESEncryptBody(const TRdaDESKey& key, std::string_view plain) {
  if (plain.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max()))
    throw EDESError("Message body too large for DES encryption");
  const size_t whole = plain.size() / kBlock * kBlock;
  const size_t tail = plain.size() - whole;
  std::string out(kLengthSize + whole + (tail ? kBlock : 0), '\0');
  StoreI32LE(out.data(), static_cast<int32_t>(plain.size()));
  key.EncryptBlocks(plain.data(), out.data() + kLengthSize, whole);
  if (tail) {
    char last[kBlock] = {};
    std::memcpy(last, plain.data() + whole, tail);
    key.EncryptBlocks(last, out.data() + kLengthSize + whole, kBlock);
  }
  return out;
}

std::string DESDecryptBody(const TRdaDESKey& key, std::string_view body) {
  if (body.size() < kLengthSize) throw EReadError(kStreamReadError);
  const size_t encrypted = body.size() - kLengthSize;
  if (encrypted % kBlock != 0) throw EDESError("Invalid buffer size for decryption");
  const int32_t length = LoadI32LE(body.data());
  if (length < 0 || static_cast<size_t>(length) > encrypted)
    throw EDESError("Invalid length for decryption");
  const size_t plain = static_cast<size_t>(length);
  std::string out((plain + kBlock - 1) / kBlock * kBlock, '\0');
  key.DecryptBlocks(body.data() + kLengthSize, out.data(), out.size());
  out.resize(plain);
  return out;
}

}  // namespace rda
