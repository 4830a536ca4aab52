#include "base/CodePage.h"

namespace rda {

namespace {

// Bytes 0x80..0x9F; the rest of the code page is Latin-1. The five
// undefined bytes keep their own value (C1 controls).
constexpr char16_t kHighControls[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80-87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88-8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90-97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98-9F
};

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t cp) {
  auto put = [&out](unsigned v) { out.push_back(static_cast<char>(v)); };
  if (cp < 0x80) {
    put(cp);
  } else if (cp < 0x800) {
    put(0xC0 | (cp >> 6));
    put(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    put(0xE0 | (cp >> 12));
    put(0x80 | ((cp >> 6) & 0x3F));
    put(0x80 | (cp & 0x3F));
  } else {
    put(0xF0 | (cp >> 18));
    put(0x80 | ((cp >> 12) & 0x3F));
    put(0x80 | ((cp >> 6) & 0x3F));
    put(0x80 | (cp & 0x3F));
  }
}

void AppendUtf16(std::u16string& out, char32_t cp) {
  if (cp < 0x10000) {
    out.push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
}

// Decodes the code point at `pos` and moves past it. An ill-formed sequence
// gives kReplacement and moves past its longest valid start (at least one
// byte), so one bad byte costs one replacement and never hides the next
// character.
char32_t NextUtf8(std::string_view s, size_t& pos) {
  const auto byte = [&s](size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char lead = byte(pos++);
  if (lead < 0x80) return lead;
  int length = 0;
  char32_t cp = 0;
  unsigned char low = 0x80, high = 0xBF;  // range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, cp = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, cp = lead & 0x07;
    if (lead == 0xF0) low = 0x90;   // no overlong forms
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return kReplacement;
  }
  for (int i = 1; i < length; ++i) {
    if (pos >= s.size()) return kReplacement;
    const unsigned char next = byte(pos);
    if (i == 1 ? (next < low || next > high) : (next < 0x80 || next > 0xBF)) return kReplacement;
    cp = (cp << 6) | (next & 0x3F);
    ++pos;
  }
  return cp;
}

// Decodes the code point at `pos` and moves past it; an unpaired surrogate
// gives kReplacement.
char32_t NextUtf16(std::u16string_view s, size_t& pos) {
  const char16_t unit = s[pos++];
  if (unit < 0xD800 || unit > 0xDFFF) return unit;
  if (unit <= 0xDBFF && pos < s.size() && s[pos] >= 0xDC00 && s[pos] <= 0xDFFF) {
    return 0x10000 + ((char32_t{unit} - 0xD800) << 10) + (s[pos++] - 0xDC00);
  }
  return kReplacement;
}

template <typename Out, typename Text, typename Next, typename Append>
Out Transcode(Text text, Next next, Append append) {
  Out out;
  out.reserve(text.size());
  for (size_t pos = 0; pos < text.size();) append(out, next(text, pos));
  return out;
}

void AppendCp1252(std::string& out, char32_t cp) { out.push_back(UnicodeToCp1252(cp)); }

char32_t NextCp1252(std::string_view s, size_t& pos) {
  return Cp1252ToUnicode(static_cast<unsigned char>(s[pos++]));
}

}  // namespace

char16_t Cp1252ToUnicode(unsigned char byte) {
  return byte >= 0x80 && byte <= 0x9F ? kHighControls[byte - 0x80] : char16_t{byte};
}

char UnicodeToCp1252(char32_t code_point) {
  if (code_point < 0x80 || (code_point >= 0xA0 && code_point <= 0xFF)) {
    return static_cast<char>(code_point);
  }
  for (unsigned i = 0; i < 32; ++i) {
    if (kHighControls[i] == code_point) return static_cast<char>(0x80 + i);
  }
  return '?';
}

std::string Cp1252ToUtf8(std::string_view bytes) {
  return Transcode<std::string>(bytes, NextCp1252, AppendUtf8);
}

std::string Utf8ToCp1252(std::string_view utf8) {
  return Transcode<std::string>(utf8, NextUtf8, AppendCp1252);
}

std::u16string Cp1252ToUtf16(std::string_view bytes) {
  return Transcode<std::u16string>(bytes, NextCp1252, AppendUtf16);
}

std::string Utf16ToCp1252(std::u16string_view text) {
  return Transcode<std::string>(text, NextUtf16, AppendCp1252);
}

std::string Utf16ToUtf8(std::u16string_view text) {
  return Transcode<std::string>(text, NextUtf16, AppendUtf8);
}

std::u16string Utf8ToUtf16(std::string_view utf8) {
  return Transcode<std::u16string>(utf8, NextUtf8, AppendUtf16);
}

bool HasHighBytes(std::string_view bytes) {
  for (char c : bytes) {
    if (static_cast<unsigned char>(c) >= 0x80) return true;
  }
  return false;
}

}  // namespace rda
