#include "base/Text.h"

#include <algorithm>

namespace rda {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsControlOrSpace(char c) { return static_cast<unsigned char>(c) <= ' '; }

template <typename Pred>
std::string_view TrimIf(std::string_view text, Pred drop) {
  while (!text.empty() && drop(text.front())) text.remove_prefix(1);
  while (!text.empty() && drop(text.back())) text.remove_suffix(1);
  return text;
}

template <typename Fold>
bool SameFolded(std::string_view a, std::string_view b, Fold fold) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [fold](char x, char y) { return fold(x) == fold(y); });
}

template <typename Fold>
std::string Folded(std::string_view text, Fold fold) {
  std::string out(text);
  for (char& c : out) c = fold(c);
  return out;
}

}  // namespace

std::string_view TrimBlanks(std::string_view text) { return TrimIf(text, IsBlank); }
std::string_view TrimControls(std::string_view text) { return TrimIf(text, IsControlOrSpace); }

std::string UpperAscii(std::string_view text) { return Folded(text, ToUpperAscii); }
std::string LowerAscii(std::string_view text) { return Folded(text, ToLowerAscii); }

bool SameTextAscii(std::string_view a, std::string_view b) { return SameFolded(a, b, ToUpperAscii); }

int CompareTextAscii(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const auto x = static_cast<unsigned char>(ToUpperAscii(a[i]));
    const auto y = static_cast<unsigned char>(ToUpperAscii(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

bool StartsTextAscii(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && SameTextAscii(text.substr(0, prefix.size()), prefix);
}

size_t FindTextAscii(std::string_view text, std::string_view word) {
  if (word.size() > text.size()) return std::string_view::npos;
  const auto at = std::search(text.begin(), text.end(), word.begin(), word.end(),
                              [](char x, char y) { return ToUpperAscii(x) == ToUpperAscii(y); });
  return at == text.end() && !word.empty() ? std::string_view::npos
                                           : static_cast<size_t>(at - text.begin());
}

char ToLowerCp1252(char c) {
  const auto b = static_cast<unsigned char>(c);
  if (b >= 'A' && b <= 'Z') return static_cast<char>(b + 32);
  if (b >= 0xC0 && b <= 0xDE && b != 0xD7) return static_cast<char>(b + 32);
  switch (b) {
    case 0x8A: case 0x8C: case 0x8E: return static_cast<char>(b + 0x10);
    case 0x9F: return static_cast<char>(0xFF);
    default: return c;
  }
}

char ToUpperCp1252(char c) {
  const auto b = static_cast<unsigned char>(c);
  if (b >= 'a' && b <= 'z') return static_cast<char>(b - 32);
  if (b >= 0xE0 && b <= 0xFE && b != 0xF7) return static_cast<char>(b - 32);
  switch (b) {
    case 0x9A: case 0x9C: case 0x9E: return static_cast<char>(b - 0x10);
    case 0xFF: return static_cast<char>(0x9F);
    default: return c;
  }
}

std::string UpperCp1252(std::string_view text) { return Folded(text, ToUpperCp1252); }
std::string LowerCp1252(std::string_view text) { return Folded(text, ToLowerCp1252); }

bool SameTextCp1252(std::string_view a, std::string_view b) { return SameFolded(a, b, ToLowerCp1252); }

}  // namespace rda
