// Text helpers, each named by the rule it follows, so that a caller says
// which rule it means instead of writing its own loop.
//
// Trimming:
//
//   TrimBlanks    spaces and tabs: HTTP's optional white space, INI lines,
//                 numbers in text, SQL type names
//   TrimControls  every byte up to and including the space (0x00..0x20),
//                 control bytes too: the platform's Trim, used for names
//                 and texts the system trims
//
// Case folding, on bytes:
//
//   Ascii   only the letters A..Z and a..z pair up. For protocol words
//           (HTTP names and tokens, "TRUE"), file names, codes and field
//           names: what the platform compares "without regard to case"
//           when the text is a name of the protocol or the file system.
//   Cp1252  the system's code page, Windows-1252: the ASCII letters, the
//           Latin-1 letters 0xC0..0xDE <-> 0xE0..0xFE (not 0xD7 x and 0xF7
//           division), and the pairs 0x8A/0x9A (S caron), 0x8C/0x9C (OE),
//           0x8E/0x9E (Z caron) and 0x9F/0xFF (Y diaeresis). 0xDF (sharp s)
//           and 0xB5 (micro) have no pair. For texts that users type and
//           the system compares as text (parameter names).
//
// Everything here works on bytes and never looks at the C locale.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace rda {

// ---- Trimming --------------------------------------------------------------------------

// Without the spaces and tabs around it.
std::string_view TrimBlanks(std::string_view text);
// Without the bytes 0x00..0x20 around it.
std::string_view TrimControls(std::string_view text);

// ---- ASCII case ------------------------------------------------------------------------

constexpr char ToUpperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }
constexpr char ToLowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }
std::string UpperAscii(std::string_view text);
std::string LowerAscii(std::string_view text);

// Equal without regard to ASCII case.
bool SameTextAscii(std::string_view a, std::string_view b);
// Below 0, 0 or above 0 as a sorts before, with or after b, comparing the bytes
// as unsigned after folding ASCII letters to upper case; a prefix sorts first.
int CompareTextAscii(std::string_view a, std::string_view b);
// text begins with prefix, without regard to ASCII case (an empty prefix begins
// every text).
bool StartsTextAscii(std::string_view text, std::string_view prefix);
// The offset of the first place where word occurs in text without regard to ASCII
// case, or npos (0 for an empty word).
size_t FindTextAscii(std::string_view text, std::string_view word);
inline bool ContainsTextAscii(std::string_view text, std::string_view word) {
  return FindTextAscii(text, word) != std::string_view::npos;
}

// ---- Windows-1252 case -----------------------------------------------------------------

char ToUpperCp1252(char c);
char ToLowerCp1252(char c);
std::string UpperCp1252(std::string_view text);
std::string LowerCp1252(std::string_view text);
// Equal without regard to Windows-1252 case.
bool SameTextCp1252(std::string_view a, std::string_view b);

}  // namespace rda
