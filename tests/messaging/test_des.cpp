// DES against published known answers, and the length-prefixed body format.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

#include "base/ByteIO.h"
#include "base/Exception.h"
#include "messaging/RdaDES.h"

namespace rda {
namespace {

std::string KeyBytes(uint64_t key) {
  std::string s(8, '\0');
  for (int i = 0; i < 8; ++i) s[i] = static_cast<char>(key >> (56 - 8 * i));
  return s;
}

std::string Hex(const std::string& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) out += {digits[c >> 4], digits[c & 15]};
  return out;
}

struct KnownAnswer {
  uint64_t key, plain, cipher;
};

// FIPS 81 (ECB example), the textbook key schedule example, the NBS variable-plaintext
// and variable-key tables (key 01..01 is the all-zero key once parity is dropped), and
// two of the classic mixed vectors.
constexpr KnownAnswer kKnownAnswers[] = {
    {0x0123456789ABCDEF, 0x4E6F772069732074, 0x3FA40E8A984D4815},  // "Now is t"
    {0x133457799BBCDFF1, 0x0123456789ABCDEF, 0x85E813540F0AB405},
    {0x0101010101010101, 0x8000000000000000, 0x95F8A5E5DD31D900},
    {0x0101010101010101, 0x4000000000000000, 0xDD7F121CA5015619},
    {0x0101010101010101, 0x2000000000000000, 0x2E8653104F3834EA},
    {0x0101010101010101, 0x0000000000000001, 0x166B40B44ABA4BD6},
    {0x8001010101010101, 0x0000000000000000, 0x95A8D72813DAA94D},
    {0x4001010101010101, 0x0000000000000000, 0x0EEC1487DD8C26D5},
    {0x0101010101010180, 0x0000000000000000, 0x9CC62DF43B6EED74},
    {0x7CA110454A1A6E57, 0x01A1D6D039776742, 0x690F5B0D9A26939B},
    {0x0131D9619DC1376E, 0x5CD54CA83DEF57DA, 0x7A389D10354BD271},
};

TEST(DES, KnownAnswersBothWays) {
  for (const auto& v : kKnownAnswers) {
    SCOPED_TRACE(Hex(KeyBytes(v.key)));
    const TRdaDESKey key(KeyBytes(v.key));
    EXPECT_EQ(key.EncryptBlock(v.plain), v.cipher);
    EXPECT_EQ(key.DecryptBlock(v.cipher), v.plain);
  }
}

TEST(DES, FipsEcbExampleThroughTheBlockBuffers) {
  // Three blocks: the paired path and the single-block tail both take part.
  const TRdaDESKey key(KeyBytes(0x0123456789ABCDEF));
  const std::string plain = "Now is the time for all ";
  std::string cipher(plain.size(), '\0');
  key.EncryptBlocks(plain.data(), cipher.data(), plain.size());
  EXPECT_EQ(Hex(cipher), "3FA40E8A984D48156A271787AB8883F9893D51EC4B563B53");
  key.DecryptBlocks(cipher.data(), cipher.data(), cipher.size());  // in place
  EXPECT_EQ(cipher, plain);
}

TEST(DES, BufferPathAgreesWithSingleBlocks) {
  std::mt19937_64 rng(42);
  const TRdaDESKey key(KeyBytes(rng()));
  std::string plain(8 * 37, '\0');
  for (char& c : plain) c = static_cast<char>(rng());
  std::string cipher(plain.size(), '\0');
  key.EncryptBlocks(plain.data(), cipher.data(), plain.size());
  for (size_t i = 0; i < plain.size(); i += 8) {
    uint64_t block = 0, expected = 0;
    for (int b = 0; b < 8; ++b) {
      block = (block << 8) | static_cast<unsigned char>(plain[i + b]);
      expected = (expected << 8) | static_cast<unsigned char>(cipher[i + b]);
    }
    ASSERT_EQ(key.EncryptBlock(block), expected) << "block " << i / 8;
  }
}

TEST(DES, KeyTextRules) {
  const uint64_t block = 0x0123456789ABCDEF;
  // Parity bits (the low bit of every key byte) take no part.
  EXPECT_EQ(TRdaDESKey(KeyBytes(0x0123456789ABCDEF)).EncryptBlock(block),
            TRdaDESKey(KeyBytes(0x0022446688AACCEE)).EncryptBlock(block));
  // Only the first 8 bytes count; shorter texts are padded with zero bytes.
  EXPECT_EQ(TRdaDESKey("secretke").EncryptBlock(block),
            TRdaDESKey("secretkey and more").EncryptBlock(block));
  EXPECT_EQ(TRdaDESKey("abc").EncryptBlock(block),
            TRdaDESKey(std::string("abc\0\0\0\0\0", 8)).EncryptBlock(block));
  EXPECT_NE(TRdaDESKey("abc").EncryptBlock(block), TRdaDESKey("abd").EncryptBlock(block));
}

TEST(DESBody, LayoutAndRoundTrip) {
  const TRdaDESKey key("password");
  EXPECT_EQ(DESEncryptBody(key, ""), std::string(4, '\0'));

  for (size_t n : {0u, 1u, 7u, 8u, 9u, 16u, 17u, 100u}) {
    SCOPED_TRACE(n);
    std::string plain(n, '\0');
    for (size_t i = 0; i < n; ++i) plain[i] = static_cast<char>(i * 37 + 1);
    const std::string body = DESEncryptBody(key, plain);
    ASSERT_EQ(body.size(), 4 + (n + 7) / 8 * 8);
    EXPECT_EQ(LoadI32LE(body.data()), static_cast<int32_t>(n));
    EXPECT_EQ(DESDecryptBody(key, body), plain);
  }

  // The last block of a 9-byte body is its ninth byte and seven zero bytes.
  const std::string body = DESEncryptBody(key, "123456789");
  std::string last = body.substr(12);
  key.DecryptBlocks(last.data(), last.data(), 8);
  EXPECT_EQ(last, std::string("9\0\0\0\0\0\0\0", 8));
}

TEST(DESBody, MalformedBodiesAreRejected) {
  const TRdaDESKey key("password");
  const std::string block = DESEncryptBody(key, "12345678").substr(4);
  auto withLength = [&](int32_t length, const std::string& rest) {
    std::string s(4, '\0');
    StoreI32LE(s.data(), length);
    return s + rest;
  };
  struct Case {
    const char* name;
    std::string body;
    const char* message;  // EReadError for the stream error, else EDESError
  };
  const Case cases[] = {
      {"empty", "", "Stream read error"},
      {"three length bytes", "\x01\x02\x03", "Stream read error"},
      {"partial block", withLength(7, block.substr(0, 7)), "Invalid buffer size for decryption"},
      {"block and a byte", withLength(8, block + "x"), "Invalid buffer size for decryption"},
      {"negative length", withLength(-1, block), "Invalid length for decryption"},
      {"length past the data", withLength(9, block), "Invalid length for decryption"},
      {"huge length", withLength(0x7FFFFFFF, block), "Invalid length for decryption"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      DESDecryptBody(key, c.body);
      ADD_FAILURE() << "no exception";
    } catch (const EReadError& e) {
      EXPECT_STREQ(e.what(), c.message);
      EXPECT_STREQ(c.message, kStreamReadError);
    } catch (const EDESError& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
  // A length shorter than the blocks keeps only its bytes.
  EXPECT_EQ(DESDecryptBody(key, withLength(3, block + block)), "123");
}

}  // namespace
}  // namespace rda
