// The zlib wrapper: one call deflates or inflates a whole body.
//
// zlib counts in 32-bit units (uInt), so both directions feed input and offer output in
// slices of at most kSlice bytes; bodies are far smaller, but nothing here relies on it.
#define ZLIB_CONST
#include "messaging/RdaZLib.h"

#include <zlib.h>

#include <algorithm>
#include <limits>

#include "base/Exception.h"
#include "base/ScopeGuard.h"

namespace rda {
namespace {

constexpr size_t kSlice = size_t{1} << 30;

constexpr int kLevel = 1;
constexpr int kWindowBits = 15;  // zlib format (RFC 1950) with a 32 KiB window
constexpr int kMemLevel = 8;

[[noreturn]] void Fail(const char* prefix, int code) {
  throw Exception(std::string(prefix) + zError(code));
}

const Bytef* InPtr(std::string_view s, size_t pos) {
  return reinterpret_cast<const Bytef*>(s.data()) + pos;
}
Bytef* OutPtr(std::string& s, size_t pos) { return reinterpret_cast<Bytef*>(s.data()) + pos; }
uInt SliceOf(size_t n) { return static_cast<uInt>(std::min(n, kSlice)); }

}  // namespace

std::string ZLibCompress(std::string_view data) {
  static constexpr const char* kPrefix = "Compression error: ";
  z_stream zs{};
  int rc = deflateInit2(&zs, kLevel, Z_DEFLATED, kWindowBits, kMemLevel, Z_DEFAULT_STRATEGY);
  if (rc != Z_OK) Fail(kPrefix, rc);
  TScopeGuard end([&zs] { deflateEnd(&zs); });

  // deflateBound is exact enough that the loop below normally runs once.
  std::string out(deflateBound(&zs, static_cast<uLong>(data.size())), '\0');
  size_t inPos = 0, outPos = 0;
  for (;;) {
    const uInt inTake = SliceOf(data.size() - inPos);
    if (outPos == out.size()) out.resize(out.size() + out.size() / 2 + 256);
    const uInt outTake = SliceOf(out.size() - outPos);
    zs.next_in = InPtr(data, inPos);
    zs.avail_in = inTake;
    zs.next_out = OutPtr(out, outPos);
    zs.avail_out = outTake;
    const bool last = inPos + inTake == data.size();
    rc = deflate(&zs, last ? Z_FINISH : Z_NO_FLUSH);
    inPos += inTake - zs.avail_in;
    outPos += outTake - zs.avail_out;
    if (rc == Z_STREAM_END) break;
    // Z_BUF_ERROR only says that no progress was possible this call (output full).
    if (rc != Z_OK && rc != Z_BUF_ERROR) Fail(kPrefix, rc);
  }
  out.resize(outPos);
  return out;
}

std::string ZLibDecompress(std::string_view data, size_t maxSize) {
  static constexpr const char* kPrefix = "Decompression error: ";
  z_stream zs{};
  int rc = inflateInit2(&zs, kWindowBits);
  if (rc != Z_OK) Fail(kPrefix, rc);
  TScopeGuard end([&zs] { inflateEnd(&zs); });

  // One byte over the limit is room enough to notice that the content passes it.
  const size_t cap = maxSize == std::numeric_limits<size_t>::max() ? maxSize : maxSize + 1;
  // Row text shrinks to a fifth or less; start there and double, never beyond the cap.
  std::string out(std::min(cap, std::max<size_t>(4096, data.size() * 4)), '\0');
  size_t inPos = 0, outPos = 0;
  for (;;) {
    if (outPos == out.size()) out.resize(std::min(cap, out.size() * 2));
    const uInt inTake = SliceOf(data.size() - inPos);
    const uInt outTake = SliceOf(out.size() - outPos);
    zs.next_in = InPtr(data, inPos);
    zs.avail_in = inTake;
    zs.next_out = OutPtr(out, outPos);
    zs.avail_out = outTake;
    rc = inflate(&zs, Z_NO_FLUSH);
    inPos += inTake - zs.avail_in;
    outPos += outTake - zs.avail_out;
    if (outPos > maxSize)
      throw Exception(std::string(kPrefix) + "inflated data exceeds " + std::to_string(maxSize) +
                      " bytes");
    if (rc == Z_STREAM_END) break;
    // With output room left, Z_BUF_ERROR means the input ended inside the stream.
    if (rc != Z_OK) Fail(kPrefix, rc);
  }
  out.resize(outPos);
  return out;
}

}  // namespace rda
