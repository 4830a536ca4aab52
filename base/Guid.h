// GUIDs and their 38-character text form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace rda {

struct Guid {
  static constexpr size_t kTextLength = 38;

  uint32_t D1 = 0;
  uint16_t D2 = 0, D3 = 0;
  std::array<uint8_t, 8> D4{};

  friend bool operator==(const Guid&, const Guid&) = default;
};

inline constexpr const char* kNullGuidText = "{00000000-0000-0000-0000-000000000000}";

// Upper-case hexadecimal in braces.
std::string GuidToString(const Guid& guid);
// Accepts either case; raises EConvertError "'<text>' is not a valid GUID value".
Guid StringToGuid(std::string_view text);
std::optional<Guid> TryStringToGuid(std::string_view text);

}  // namespace rda
