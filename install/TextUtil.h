// Text helpers shared by the install utility's readers: ports. Blanks and case go by
// base/Text.h: TrimBlanks (spaces and tabs) for settings lines, the ASCII rule for names
// in settings files, file names and company codes (SameTextAscii, UpperAscii).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/Text.h"

namespace rda {

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
