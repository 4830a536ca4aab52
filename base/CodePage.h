// The system's 8-bit code page, Windows-1252, and conversions between it,
// UTF-8 and UTF-16.
//
// The five bytes 0x81, 0x8D, 0x8F, 0x90 and 0x9D are undefined in
// Windows-1252; like the Windows converter, they map to the C1 control
// characters of the same value so that every byte survives a round trip.
// Characters that the code page cannot hold become '?'; invalid UTF-8 or an
// unpaired surrogate becomes '?' in 8-bit output and U+FFFD in UTF-8 or
// UTF-16 output: one replacement for each maximal ill-formed part (a
// truncated sequence is one, an overlong or surrogate form one per byte).
#pragma once

#include <string>
#include <string_view>

namespace rda {

char16_t Cp1252ToUnicode(unsigned char byte);
// The byte for a code point, or '?' when the code page has none.
char UnicodeToCp1252(char32_t code_point);

std::string Cp1252ToUtf8(std::string_view bytes);
std::string Utf8ToCp1252(std::string_view utf8);
std::u16string Cp1252ToUtf16(std::string_view bytes);
std::string Utf16ToCp1252(std::u16string_view text);
std::string Utf16ToUtf8(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view utf8);

// True when some byte is 0x80 or above, that is when the UTF-8 form of the
// text would differ from its bytes.
bool HasHighBytes(std::string_view bytes);

// The conversions above for texts that are mostly ASCII: a text without a
// high byte is returned as it is, without a pass over its characters.
inline std::string CodePageToUtf8(const std::string& text) {
  return HasHighBytes(text) ? Cp1252ToUtf8(text) : text;
}
inline std::string Utf8ToCodePage(const std::string& text) {
  return HasHighBytes(text) ? Utf8ToCp1252(text) : text;
}

}  // namespace rda
