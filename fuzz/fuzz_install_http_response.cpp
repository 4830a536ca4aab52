// The web server's answer to the client download. Input: the response bytes. The
// reader must never take more than the limits allow, and the body it decodes must
// not depend on how the bytes were split: the input is fed whole and again in pieces
// whose sizes come from the input itself, and both runs must agree.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "install/HttpResponseReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  constexpr int64_t kLimit = 1 << 20;

  rda::THttpResponseReader whole(kLimit);
  std::string body1;
  whole.Feed(input, body1);
  whole.CloseEndsBody();

  rda::THttpResponseReader pieces(kLimit);
  std::string body2;
  size_t at = 0;
  size_t step = 1;
  while (at < input.size()) {
    const size_t n = std::min(step, input.size() - at);
    pieces.Feed(input.substr(at, n), body2);
    step = 1 + static_cast<unsigned char>(input[at]) % 17;
    at += n;
  }
  pieces.CloseEndsBody();

  if (whole.Failed() != pieces.Failed() || whole.Complete() != pieces.Complete()) std::abort();
  if (!whole.Failed() && (body1 != body2 || whole.Status() != pieces.Status())) std::abort();
  if (static_cast<int64_t>(body1.size()) > kLimit) std::abort();
  // A body of the announced length, except where the status has none (204, 304).
  if (whole.Complete() && whole.ContentLength() >= 0 && whole.Status() != 204 &&
      whole.Status() != 304 && static_cast<int64_t>(body1.size()) != whole.ContentLength()) {
    std::abort();
  }
  return 0;
}
