// zlib compression of whole message bodies.
//
// A compressed body is exactly one zlib stream (RFC 1950: two-byte header, deflate
// data, Adler-32 check) with no length field of its own. We deflate at level 1 with a
// 15-bit window, memory level 8 and the default strategy, which is what the peers use;
// any zlib stream inflates.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace rda {

// The most bytes an inflated body may have: the same limit as a received frame, so a
// small compressed body cannot make us allocate more than a frame could hold.
inline constexpr size_t kZLibMaxInflatedSize = 104857600;

// Deflates `data` into one zlib stream. Raises rda::Exception
// "Compression error: " + zlib's text for the failing code (zError).
std::string ZLibCompress(std::string_view data);

// Inflates one zlib stream and returns its content. Raises rda::Exception
// "Decompression error: " + zlib's text for the failing code, for example:
//   "data error"   corrupt deflate data, a wrong header or a wrong Adler-32 check;
//   "buffer error" the stream ends before its end marker and check (truncated or empty);
// and "Decompression error: inflated data exceeds <maxSize> bytes" as soon as the content
// passes `maxSize` (so at most maxSize + 1 bytes are ever held, whatever the ratio).
// Bytes after the end of the stream are ignored, as zlib's own uncompress() does: the
// check has already proved the content whole, and a user-defined block cipher applied
// after compression may leave padding behind the stream.
std::string ZLibDecompress(std::string_view data, size_t maxSize = kZLibMaxInflatedSize);

}  // namespace rda
