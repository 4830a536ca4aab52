// Byte fixtures of the stream tests: bytes by value and tagged short texts.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace rda::test {

inline std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

// Text with tag 6 (TaggedStream.h): the tag, the length byte and the text.
inline std::string TaggedShort(std::string_view text) {
  return Bytes({6, static_cast<int>(text.size())}) + std::string(text);
}

}  // namespace rda::test
