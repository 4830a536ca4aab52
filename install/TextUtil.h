// Text helpers shared by the install utility's readers: blanks, ASCII case.
#pragma once

#include <string>
#include <string_view>

namespace rda {

// Without the blanks and tabs around it.
inline std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

inline char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

// Equal without regard to ASCII case (names in settings files, HTTP headers, files).
inline bool SameTextIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  }
  return true;
}

// ASCII upper case (company codes and file names compare this way).
inline std::string UpperCase(std::string_view text) {
  std::string s(text);
  for (char& c : s) c = AsciiUpper(c);
  return s;
}

}  // namespace rda
