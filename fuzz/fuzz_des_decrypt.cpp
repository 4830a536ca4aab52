// DES body decoding of received bytes. Input: 8 key bytes, then the body.
// A rejected body raises rda::Exception (expected); a body that decodes must
// encrypt back to a body that decodes to the same bytes.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/Exception.h"
#include "messaging/RdaDES.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t keySize = size < rda::TRdaDESKey::kKeySize ? size : rda::TRdaDESKey::kKeySize;
  const rda::TRdaDESKey key(input.substr(0, keySize));
  try {
    const std::string plain = rda::DESDecryptBody(key, input.substr(keySize));
    if (rda::DESDecryptBody(key, rda::DESEncryptBody(key, plain)) != plain) std::abort();
  } catch (const rda::Exception&) {
  }
  return 0;
}
