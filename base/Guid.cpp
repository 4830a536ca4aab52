#include "base/Guid.h"

#include "base/DecimalText.h"

namespace rda {

namespace {

// Positions of the dashes in "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"; every
// other position between the braces holds a hexadecimal digit, in pairs.
constexpr size_t kDashes[] = {9, 14, 19, 24};

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The 16 bytes in text order: D1, D2, D3 most significant first, then D4.
std::array<uint8_t, 16> TextOrder(const Guid& g) {
  std::array<uint8_t, 16> b{};
  for (int i = 0; i < 4; ++i) b[static_cast<size_t>(i)] = static_cast<uint8_t>(g.D1 >> (24 - 8 * i));
  b[4] = static_cast<uint8_t>(g.D2 >> 8);
  b[5] = static_cast<uint8_t>(g.D2);
  b[6] = static_cast<uint8_t>(g.D3 >> 8);
  b[7] = static_cast<uint8_t>(g.D3);
  for (size_t i = 0; i < 8; ++i) b[8 + i] = g.D4[i];
  return b;
}

bool IsDashPosition(size_t pos) {
  for (size_t dash : kDashes) {
    if (pos == dash) return true;
  }
  return false;
}

}  // namespace

std::string GuidToString(const Guid& guid) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const auto bytes = TextOrder(guid);
  std::string out = "{";
  size_t byte = 0;
  while (out.size() < Guid::kTextLength - 1) {
    if (IsDashPosition(out.size())) {
      out.push_back('-');
      continue;
    }
    out.push_back(kHex[bytes[byte] >> 4]);
    out.push_back(kHex[bytes[byte] & 0x0F]);
    ++byte;
  }
  out.push_back('}');
  return out;
}

std::optional<Guid> TryStringToGuid(std::string_view text) {
  if (text.size() != Guid::kTextLength || text.front() != '{' || text.back() != '}') return std::nullopt;
  std::array<uint8_t, 16> bytes{};
  size_t byte = 0;
  for (size_t pos = 1; pos < Guid::kTextLength - 1;) {
    if (IsDashPosition(pos)) {
      if (text[pos] != '-') return std::nullopt;
      ++pos;
      continue;
    }
    const int high = HexValue(text[pos]);
    const int low = HexValue(text[pos + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes[byte++] = static_cast<uint8_t>(high << 4 | low);
    pos += 2;
  }
  Guid g;
  for (size_t i = 0; i < 4; ++i) g.D1 = g.D1 << 8 | bytes[i];
  g.D2 = static_cast<uint16_t>(bytes[4] << 8 | bytes[5]);
  g.D3 = static_cast<uint16_t>(bytes[6] << 8 | bytes[7]);
  for (size_t i = 0; i < 8; ++i) g.D4[i] = bytes[8 + i];
  return g;
}

Guid StringToGuid(std::string_view text) {
  if (auto g = TryStringToGuid(text)) return *g;
  detail::ThrowNotValid(text, "GUID value");
}

}  // namespace rda
