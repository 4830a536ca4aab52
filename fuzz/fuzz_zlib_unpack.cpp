// zlib inflate of received bodies. A rejected body raises rda::Exception (expected); a
// body that inflates must survive a deflate/inflate round trip unchanged.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/Exception.h"
#include "messaging/RdaZLib.h"

namespace {
// Far below the frame limit, so that the fuzzer spends its time on the decoder and not
// on filling memory; the limit itself is the same code path.
constexpr size_t kLimit = size_t{1} << 20;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  try {
    const std::string plain = rda::ZLibDecompress(input, kLimit);
    if (plain.size() > kLimit) std::abort();
    if (rda::ZLibDecompress(rda::ZLibCompress(plain), kLimit) != plain) std::abort();
  } catch (const rda::Exception&) {
  }
  return 0;
}
