// Trimming and case folding by their rules: which bytes each rule touches.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "base/Text.h"

namespace rda {
namespace {

TEST(Text, TrimRulesDifferOnlyInControlBytes) {
  struct Case {
    std::string text;
    std::string blanks;    // TrimBlanks
    std::string controls;  // TrimControls
  } cases[] = {
      {" \tab c\t ", "ab c", "ab c"},
      {"\r\nname\x01", "\r\nname\x01", "name"},
      {std::string("\0 x \0", 5), std::string("\0 x \0", 5), "x"},
      {"\xA0x\xA0", "\xA0x\xA0", "\xA0x\xA0"},  // a no-break space is no blank
      {"   ", "", ""},
      {"", "", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TrimBlanks(c.text), c.blanks) << c.text;
    EXPECT_EQ(TrimControls(c.text), c.controls) << c.text;
  }
}

TEST(Text, AsciiRuleFoldsOnlyTheLatinAlphabet) {
  EXPECT_TRUE(SameTextAscii("Content-Length", "cONTENT-lENGTH"));
  EXPECT_FALSE(SameTextAscii("\xC9T\xC9", "\xE9t\xE9"));  // ETE in Windows-1252
  EXPECT_FALSE(SameTextAscii("[", "{"));                // 0x5B and 0x7B differ by 32 too
  EXPECT_FALSE(SameTextAscii("ab", "abc"));
  EXPECT_EQ(UpperAscii("a\xE9z{"), "A\xE9Z{");
  EXPECT_EQ(LowerAscii("A\xC9Z@"), "a\xC9z@");
  for (int b = 0; b < 256; ++b) {
    const char c = static_cast<char>(b);
    const bool letter = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z');
    EXPECT_EQ(ToUpperAscii(c) != ToLowerAscii(c), letter) << b;
  }

  // Letters fold to upper case before bytes compare as unsigned: '_' (0x5F) sorts
  // after 'a' (as 0x41), and 0xE9 after every ASCII byte.
  struct Order {
    std::string a, b;
    int sign;
  } orders[] = {{"abc", "ABD", -1}, {"B", "a", 1}, {"abc", "ABC", 0}, {"ab", "abc", -1},
                {"\xE9", "z", 1}, {"_", "a", 1}};
  auto sign = [](int v) { return (v > 0) - (v < 0); };
  for (const Order& o : orders) {
    EXPECT_EQ(sign(CompareTextAscii(o.a, o.b)), o.sign) << o.a << " " << o.b;
    EXPECT_EQ(sign(CompareTextAscii(o.b, o.a)), -o.sign) << o.b << " " << o.a;
  }

  EXPECT_TRUE(StartsTextAscii("http/1.1 200", "HTTP/"));
  EXPECT_FALSE(StartsTextAscii("HTT", "HTTP/"));
  EXPECT_TRUE(StartsTextAscii("x", ""));
  EXPECT_EQ(FindTextAscii("<h1>Server ERROR</h1>", "error"), 11u);
  EXPECT_EQ(FindTextAscii("errand", "error"), std::string_view::npos);
  EXPECT_EQ(FindTextAscii("err", "error"), std::string_view::npos);
  EXPECT_EQ(FindTextAscii("abc", ""), 0u);
  EXPECT_TRUE(ContainsTextAscii("LocalHost", "LOCAL"));
}

TEST(Text, Cp1252RuleFoldsTheCodePagesLetterPairs) {
  // Upper and lower forms beyond ASCII: Latin-1 letters and the four pairs in 0x80..0x9F.
  const std::pair<int, int> pairs[] = {{0xC0, 0xE0}, {0xC9, 0xE9}, {0xD6, 0xF6}, {0xD8, 0xF8},
                                       {0xDE, 0xFE}, {0x8A, 0x9A}, {0x8C, 0x9C}, {0x8E, 0x9E},
                                       {0x9F, 0xFF}, {'Q', 'q'}};
  for (const auto& [upper, lower] : pairs) {
    const std::string u(1, static_cast<char>(upper));
    const std::string l(1, static_cast<char>(lower));
    EXPECT_EQ(LowerCp1252(u), l) << upper;
    EXPECT_EQ(UpperCp1252(l), u) << lower;
    EXPECT_TRUE(SameTextCp1252(u, l)) << upper;
  }
  // Every byte: folding either way lands in the same class, and only letters move.
  std::set<int> moved;
  for (int b = 0; b < 256; ++b) {
    const char c = static_cast<char>(b);
    EXPECT_EQ(ToLowerCp1252(ToUpperCp1252(c)), ToLowerCp1252(c)) << b;
    EXPECT_EQ(ToUpperCp1252(ToLowerCp1252(c)), ToUpperCp1252(c)) << b;
    if (ToLowerCp1252(c) != c || ToUpperCp1252(c) != c) moved.insert(b);
  }
  EXPECT_EQ(moved.size(), 2u * (26 + 30 + 4));
  for (int unpaired : {0xD7, 0xF7, 0xDF, 0xB5, 0x80, 0x9D, 0x40, 0x5B})
    EXPECT_EQ(moved.count(unpaired), 0u) << unpaired;
  EXPECT_TRUE(SameTextCp1252("Stra\xDF" "e \xC5NGSTR\xD6M", "STRA\xDF" "E \xE5ngstr\xF6m"));
  EXPECT_FALSE(SameTextCp1252("\xD7", "\xF7"));  // the multiplication and division signs
}

}  // namespace
}  // namespace rda
