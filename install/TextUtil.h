// Text helpers shared by the install utility's readers: blanks, ASCII case, ports.
#pragma once

#include <cstdint>
#include <optional>
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

// The port rule of every road a port comes by (command line, settings files, the
// directory, the configuration tab): a port is a number from 1 to 65535. Nothing is
// ever cut to 16 bits (70000 would become 4464, -5 would become 65531).
inline constexpr int kMaxPort = 65535;
inline bool IsPort(int64_t value) { return value >= 1 && value <= kMaxPort; }

// Plain decimal digits that name a port, or nullopt.
inline std::optional<int> PortFromText(std::string_view text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (!IsPort(value)) return std::nullopt;
  return value;
}

}  // namespace rda
