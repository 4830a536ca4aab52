// Passwords at rest: a salted, slow hash (PBKDF2-HMAC-SHA-256 from OpenSSL)
// kept as one self-describing text,
//
//   $pbkdf2-sha256$ITERATIONS$SALT$HASH     (salt and hash in base64)
//
// so that a stronger setting later still reads the texts written before it.
// Every comparison takes a time that does not depend on where the texts
// differ.
#pragma once

#include <string>
#include <string_view>

namespace rda {

inline constexpr int kPasswordHashIterations = 210000;

// A new hash of password with a fresh random salt. Raises rda::Exception when
// the system gives no random bytes.
std::string HashPassword(std::string_view password, int iterations = kPasswordHashIterations);

// True when stored is a hash text (of any setting this server reads);
// otherwise it is a password kept in clear by an older version.
bool IsPasswordHash(std::string_view stored);

// Whether password matches stored, a hash text or a clear-text password.
// A malformed hash text matches nothing.
bool VerifyPassword(std::string_view password, std::string_view stored);

// Spends the time of a verification against a hash, for a user that does not
// exist, so that the answer does not tell which names do.
void VerifyNothing(std::string_view password);

// Equality of two secrets in a time that depends on neither's content.
bool SameSecret(std::string_view a, std::string_view b);

}  // namespace rda
