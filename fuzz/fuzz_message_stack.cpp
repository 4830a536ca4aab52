// Feeds arbitrary bytes to the message stack in pieces whose sizes come
// from the input itself, in each transport mode, and pops every message.
// The same bytes fed whole must give the same messages.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "base/Exception.h"
#include "messaging/RdaStringLine.h"

namespace {

struct Outcome {
  std::vector<std::string> messages;
  bool failed = false;
};

Outcome Feed(std::string_view bytes, uint8_t mode, std::string_view sizes) {
  rda::TRdaMessageStack stack;
  stack.SetTransportMode(mode);
  Outcome out;
  size_t pos = 0;
  size_t k = 0;
  while (pos < bytes.size()) {
    size_t n = bytes.size() - pos;
    if (!sizes.empty()) n = 1 + static_cast<uint8_t>(sizes[k++ % sizes.size()]) % 64;
    try {
      stack.Append(bytes.substr(pos, n));
    } catch (const rda::Exception&) {
      out.failed = true;
    }
    pos += std::min(n, bytes.size() - pos);
    while (stack.HasMessages()) out.messages.push_back(stack.PopMessage());
    if (out.failed) break;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t mode = data[0] % 3;
  const size_t split = data[1];
  std::string_view rest(reinterpret_cast<const char*>(data) + 2, size - 2);
  const std::string_view sizes = rest.substr(0, std::min(split, rest.size()));
  const std::string_view bytes = rest.substr(sizes.size());

  const Outcome whole = Feed(bytes, mode, {});
  const Outcome pieces = Feed(bytes, mode, sizes.empty() ? std::string_view("\x05", 1) : sizes);
  // Without an error, the cut cannot depend on how the bytes arrived. (In
  // the HTTP modes a header search may legitimately see a shorter prefix.)
  if (mode == 0 && !whole.failed && !pieces.failed && whole.messages != pieces.messages) abort();
  return 0;
}
