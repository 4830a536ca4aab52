// DES (the Data Encryption Standard, FIPS 46) and the DES message body format.
//
// The cipher is standard DES on 64-bit blocks with the standard tables and bit
// numbering (bit 1 is the most significant bit of the first byte), so any
// conforming implementation on the other end agrees with it byte for byte.
//
// DES message body (what goes on the wire for an encrypted body):
//
//   offset  size              content
//   0       4                 L, the length of the plain body, signed 32-bit little-endian
//   4       8 * ceil(L / 8)   the plain body encrypted block by block (ECB); the last block
//                             is filled up with zero bytes to 8 before it is encrypted
//
// Decoding checks, in this order: at least the 4 length bytes (EReadError
// "Stream read error"); the rest a multiple of 8 bytes (EDESError "Invalid buffer size for
// decryption"); 0 <= L <= the number of encrypted bytes (EDESError, see DESDecryptBody).
// Nothing is read past the end of the input and nothing larger than the input is allocated.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace rda {

// The expanded key of one DES key: the 16 round keys for encryption and the
// same in reverse order for decryption, packed for the fast round function.
// A value type; cheap to copy (256 bytes). Thread-safe for concurrent use once built.
class TRdaDESKey {
 public:
  static constexpr size_t kKeySize = 8;
  static constexpr size_t kBlockSize = 8;

  // Builds the schedule from a key text: its first 8 bytes, padded with zero
  // bytes when it is shorter, are the 64-bit key. The parity bit of each key byte
  // (its lowest bit) is ignored, as DES prescribes.
  explicit TRdaDESKey(std::string_view keyText);

  // Encrypts or decrypts whole blocks. `size` must be a multiple of 8; `in` and `out`
  // may be the same buffer (in-place) but must not otherwise overlap.
  void EncryptBlocks(const char* in, char* out, size_t size) const;
  void DecryptBlocks(const char* in, char* out, size_t size) const;

  // One block as a 64-bit number whose most significant bit is DES bit 1.
  uint64_t EncryptBlock(uint64_t block) const;
  uint64_t DecryptBlock(uint64_t block) const;

 private:
  // Two 32-bit words per round, each holding four 6-bit S-box inputs (see RdaDES.cpp).
  using Schedule = std::array<uint32_t, 32>;
  Schedule encrypt_{};
  Schedule decrypt_{};
};

// Encrypts a plain body into the DES body format above. Raises EDESError when the
// body is too long for its length field (more than 2147483647 bytes).
std::string DESEncryptBody(const TRdaDESKey& key, std::string_view plain);

// Decrypts a DES body and returns exactly the L plain bytes. Raises
// EReadError "Stream read error" when the 4 length bytes are missing,
// EDESError "Invalid buffer size for decryption" when the rest is not whole blocks, and
// EDESError "Invalid length for decryption" when L is negative or larger than the
// encrypted bytes. Surplus whole blocks after the first ceil(L/8) are ignored.
std::string DESDecryptBody(const TRdaDESKey& key, std::string_view body);

}  // namespace rda
