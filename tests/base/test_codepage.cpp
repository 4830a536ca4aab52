// Windows-1252 against UTF-8 and UTF-16, and the GUID text form.
#include <string>

#include <gtest/gtest.h>

#include "base/CodePage.h"
#include "base/Exception.h"
#include "base/Guid.h"
#include "tests/base/RaisesWith.h"

namespace rda {
namespace {

using test::RaisesWith;

std::string AllBytes() {
  std::string s;
  for (int b = 0; b < 256; ++b) s.push_back(static_cast<char>(b));
  return s;
}

TEST(CodePage, EveryByteRoundTripsThroughUtf8AndUtf16) {
  for (int b = 0; b < 256; ++b) {
    SCOPED_TRACE(b);
    const std::string one(1, static_cast<char>(b));
    const std::string utf8 = Cp1252ToUtf8(one);
    const std::u16string utf16 = Cp1252ToUtf16(one);
    ASSERT_EQ(utf16.size(), 1u);
    EXPECT_EQ(utf16[0], Cp1252ToUnicode(static_cast<unsigned char>(b)));
    EXPECT_EQ(Utf8ToCp1252(utf8), one);
    EXPECT_EQ(Utf16ToCp1252(utf16), one);
    EXPECT_EQ(Utf8ToUtf16(utf8), utf16);
    EXPECT_EQ(Utf16ToUtf8(utf16), utf8);
    EXPECT_EQ(HasHighBytes(one), b >= 0x80);
    EXPECT_EQ(utf8 == one, b < 0x80);
  }
  const std::string all = AllBytes();
  EXPECT_EQ(Utf8ToCp1252(Cp1252ToUtf8(all)), all);
  EXPECT_EQ(Utf16ToCp1252(Cp1252ToUtf16(all)), all);
}

TEST(CodePage, MapsTheHighRangeAsWindowsDoes) {
  struct Case {
    unsigned char byte;
    char16_t unicode;
    const char* utf8;
  };
  const Case cases[] = {
      {0x80, 0x20AC, "\xE2\x82\xAC"},  // euro sign
      {0x81, 0x0081, "\xC2\x81"},      // undefined: its own C1 control
      {0x8D, 0x008D, "\xC2\x8D"},
      {0x8F, 0x008F, "\xC2\x8F"},
      {0x90, 0x0090, "\xC2\x90"},
      {0x9D, 0x009D, "\xC2\x9D"},
      {0x8A, 0x0160, "\xC5\xA0"},
      {0x99, 0x2122, "\xE2\x84\xA2"},
      {0x9F, 0x0178, "\xC5\xB8"},
      {0xA0, 0x00A0, "\xC2\xA0"},
      {0xE9, 0x00E9, "\xC3\xA9"},
      {0xFF, 0x00FF, "\xC3\xBF"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(int{c.byte});
    EXPECT_EQ(Cp1252ToUnicode(c.byte), c.unicode);
    EXPECT_EQ(Cp1252ToUtf8(std::string(1, static_cast<char>(c.byte))), c.utf8);
    EXPECT_EQ(UnicodeToCp1252(c.unicode), static_cast<char>(c.byte));
  }
  // Code points the page has no byte for.
  for (char32_t cp : {0x0080u, 0x0082u, 0x009Fu, 0x0100u, 0x20ADu, 0xFFFDu, 0x1F600u}) {
    EXPECT_EQ(UnicodeToCp1252(cp), '?') << static_cast<unsigned>(cp);
  }
}

TEST(CodePage, IllFormedInputBecomesReplacementCharacters) {
  struct Case {
    std::string utf8;
    std::string cp1252;
  };
  const Case cases[] = {
      {"caf\xC3\xA9", "caf\xE9"},
      {"\xE2\x82\xAC", "\x80"},
      {"\xF0\x9F\x98\x80", "?"},      // a character the page lacks
      {"a\xC3", "a?"},                // truncated at the end
      {"a\xE2\x82" "b", "a?b"},       // truncated sequence: one replacement
      {"\xC0\x80", "??"},             // overlong NUL
      {"\xE0\x80\xAF", "???"},        // overlong slash
      {"\xED\xA0\x80", "???"},        // an encoded surrogate
      {"\xF4\x90\x80\x80", "????"},   // above U+10FFFF
      {"\x80" "x", "?x"},             // lone continuation byte
      {"\xFF\xFE", "??"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.utf8);
    EXPECT_EQ(Utf8ToCp1252(c.utf8), c.cp1252);
    // UTF-16 output marks the same places with U+FFFD.
    const std::u16string utf16 = Utf8ToUtf16(c.utf8);
    std::string marked;
    for (char16_t u : utf16) marked.push_back(u == 0xFFFD ? '?' : UnicodeToCp1252(u));
    if (c.utf8 != "\xF0\x9F\x98\x80") {  // the emoji is two UTF-16 units
      EXPECT_EQ(marked, c.cp1252);
    }
  }
  EXPECT_EQ(Utf8ToUtf16("\xF0\x9F\x98\x80"), (std::u16string{0xD83D, 0xDE00}));
  EXPECT_EQ(Utf16ToUtf8(std::u16string{0xD83D, 0xDE00}), "\xF0\x9F\x98\x80");

  const std::u16string unpaired[] = {{0xD800}, {u'a', 0xDC00}, {0xDE00, 0xD83D}, {0xD83D, u'x'}};
  const std::string expected_utf8[] = {"\xEF\xBF\xBD", "a\xEF\xBF\xBD",
                                       "\xEF\xBF\xBD\xEF\xBF\xBD", "\xEF\xBF\xBDx"};
  const std::string expected_cp1252[] = {"?", "a?", "??", "?x"};
  for (size_t i = 0; i < std::size(unpaired); ++i) {
    EXPECT_EQ(Utf16ToUtf8(unpaired[i]), expected_utf8[i]);
    EXPECT_EQ(Utf16ToCp1252(unpaired[i]), expected_cp1252[i]);
  }
}

TEST(Guid, TextRoundTripAndRejects) {
  const Guid g{0x01234567, 0x89AB, 0xCDEF, {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0xAA, 0xFF}};
  const std::string text = "{01234567-89AB-CDEF-0011-22334455AAFF}";
  EXPECT_EQ(GuidToString(g), text);
  EXPECT_EQ(StringToGuid(text), g);
  EXPECT_EQ(StringToGuid("{01234567-89ab-cdef-0011-22334455aaff}"), g);
  EXPECT_EQ(GuidToString(Guid{}), kNullGuidText);
  EXPECT_EQ(GuidToString(StringToGuid(kNullGuidText)), kNullGuidText);

  const char* invalid[] = {
      "",
      "01234567-89AB-CDEF-0011-22334455AAFF",
      "{01234567-89AB-CDEF-0011-22334455AAFF",
      "{01234567-89AB-CDEF-0011-22334455AAF}",
      "{01234567-89AB-CDEF-0011-22334455AAFFF}",
      "{01234567+89AB-CDEF-0011-22334455AAFF}",
      "{0123456G-89AB-CDEF-0011-22334455AAFF}",
      "{01234567-89AB-CDEF-001122334455AAFF-}",
      "(01234567-89AB-CDEF-0011-22334455AAFF)",
  };
  for (const char* t : invalid) EXPECT_FALSE(TryStringToGuid(t).has_value()) << t;
  EXPECT_TRUE(RaisesWith<EConvertError>([] { StringToGuid("{x}"); },
                                        "'{x}' is not a valid GUID value"));
}

}  // namespace
}  // namespace rda
