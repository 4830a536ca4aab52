#include "server/PasswordHash.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <array>
#include <optional>
#include <vector>

#include "base/Convert.h"
#include "base/Exception.h"

namespace rda {

namespace {

constexpr std::string_view kPrefix = "$pbkdf2-sha256$";
constexpr size_t kSaltBytes = 16;
constexpr size_t kHashBytes = 32;
constexpr int kMaxIterations = 100000000;

std::string Base64(const unsigned char* bytes, size_t size) {
  std::string text(4 * ((size + 2) / 3), '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes, static_cast<int>(size));
  text.resize(static_cast<size_t>(n));
  return text;
}

// The bytes of a base64 text (with its padding), or nothing when it is not one.
std::optional<std::vector<unsigned char>> FromBase64(std::string_view text) {
  if (text.empty() || text.size() % 4 != 0 || text.size() > 1024) return std::nullopt;
  std::vector<unsigned char> bytes(text.size() / 4 * 3);
  const int n = EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                static_cast<int>(text.size()));
  if (n < 0) return std::nullopt;
  size_t size = static_cast<size_t>(n);
  // EVP_DecodeBlock counts the padding as zero bytes.
  for (size_t i = text.size(); i > 0 && text[i - 1] == '='; --i) --size;
  bytes.resize(size);
  return bytes;
}

std::array<unsigned char, kHashBytes> Derive(std::string_view password, const unsigned char* salt,
                                             size_t saltSize, int iterations) {
  std::array<unsigned char, kHashBytes> hash{};
  if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt, static_cast<int>(saltSize),
                        iterations, EVP_sha256(), static_cast<int>(hash.size()), hash.data()) != 1)
    throw Exception("cannot hash a password");
  return hash;
}

struct ParsedHash {
  int iterations = 0;
  std::vector<unsigned char> salt;
  std::vector<unsigned char> hash;
};

std::optional<ParsedHash> Parse(std::string_view stored) {
  if (stored.substr(0, kPrefix.size()) != kPrefix) return std::nullopt;
  stored.remove_prefix(kPrefix.size());
  const size_t a = stored.find('$');
  if (a == std::string_view::npos) return std::nullopt;
  const size_t b = stored.find('$', a + 1);
  if (b == std::string_view::npos) return std::nullopt;
  const std::string_view count = stored.substr(0, a);
  if (count.empty() || count.size() > 9 || count.find_first_not_of("0123456789") != std::string_view::npos)
    return std::nullopt;
  ParsedHash p;
  p.iterations = static_cast<int>(StrToIntDef(count, 0));
  auto salt = FromBase64(stored.substr(a + 1, b - a - 1));
  auto hash = FromBase64(stored.substr(b + 1));
  if (p.iterations < 1 || p.iterations > kMaxIterations || !salt || !hash || hash->size() != kHashBytes)
    return std::nullopt;
  p.salt = std::move(*salt);
  p.hash = std::move(*hash);
  return p;
}

}  // namespace

std::string HashPassword(std::string_view password, int iterations) {
  unsigned char salt[kSaltBytes];
  if (RAND_bytes(salt, sizeof salt) != 1) throw Exception("no random bytes for a password's salt");
  const auto hash = Derive(password, salt, sizeof salt, iterations);
  return std::string(kPrefix) + std::to_string(iterations) + "$" + Base64(salt, sizeof salt) + "$" +
         Base64(hash.data(), hash.size());
}

bool IsPasswordHash(std::string_view stored) { return stored.substr(0, kPrefix.size()) == kPrefix; }

bool VerifyPassword(std::string_view password, std::string_view stored) {
  if (!IsPasswordHash(stored)) return SameSecret(password, stored);
  const std::optional<ParsedHash> p = Parse(stored);
  if (!p) return false;
  const auto hash = Derive(password, p->salt.data(), p->salt.size(), p->iterations);
  return CRYPTO_memcmp(hash.data(), p->hash.data(), hash.size()) == 0;
}

void VerifyNothing(std::string_view password) {
  static const unsigned char salt[kSaltBytes] = {};
  Derive(password, salt, sizeof salt, kPasswordHashIterations);
}

bool SameSecret(std::string_view a, std::string_view b) {
  // Digests first, so that neither the length nor the content shows in the time.
  unsigned char da[SHA256_DIGEST_LENGTH];
  unsigned char db[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(a.data()), a.size(), da);
  SHA256(reinterpret_cast<const unsigned char*>(b.data()), b.size(), db);
  return CRYPTO_memcmp(da, db, sizeof da) == 0;
}

}  // namespace rda
