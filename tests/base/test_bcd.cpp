// The packed decimal record: its bytes, exact text conversions and arithmetic views.
#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "base/Bcd.h"
#include "base/Exception.h"
#include "tests/base/RaisesWith.h"

namespace rda {
namespace {

using test::RaisesWith;

std::string Repeat(char c, size_t n) { return std::string(n, c); }

TEST(StrToBcd, NormalisesAndRoundTripsTrickyTexts) {
  struct Case {
    std::string text;
    int precision;
    int places;
    bool negative;
    std::string back;  // BcdToStr of the result
  };
  const Case cases[] = {
      {"0", 1, 0, false, "0"},
      {"-0", 1, 0, false, "0"},  // zero is never negative
      {"-0.00", 2, 2, false, "0"},
      {"007.50", 3, 2, false, "7.5"},
      {"-123.4500", 7, 4, true, "-123.45"},
      {" +42 ", 2, 0, false, "42"},
      {".5", 1, 1, false, "0.5"},
      {"5.", 1, 0, false, "5"},
      {"0.05", 2, 2, false, "0.05"},
      {"-0.000001", 6, 6, true, "-0.000001"},
      {Repeat('9', 64), 64, 0, false, Repeat('9', 64)},
      {"-" + Repeat('0', 10) + Repeat('9', 64), 64, 0, true, "-" + Repeat('9', 64)},
      {"0." + Repeat('1', 63), 63, 63, false, "0." + Repeat('1', 63)},
      {"1." + Repeat('0', 63), 64, 63, false, "1"},
      // Trailing zeros give way when the record cannot hold them all.
      {"12." + Repeat('0', 70), 64, 62, false, "12"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const Bcd b = StrToBcd(c.text);
    EXPECT_EQ(b.Precision, c.precision);
    EXPECT_EQ(b.Places(), c.places);
    EXPECT_EQ(b.IsNegative(), c.negative);
    EXPECT_EQ((b.SignSpecialPlaces & 0x40), 0);
    EXPECT_EQ(BcdToStr(b), c.back);
    EXPECT_EQ(BcdCompare(StrToBcd(BcdToStr(b)), b), 0);
  }
}

TEST(StrToBcd, RejectsWhatIsNotAPlainDecimal) {
  const std::string cases[] = {
      "",  "-", ".", "+.", "1.2.3", "1e5", "abc", "1,5", "- 1", "1 2", "0x10",
      "1" + Repeat('0', 64),          // 65 digits
      "0." + Repeat('0', 63) + "1",   // 64 places
  };
  for (const std::string& text : cases) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(TryStrToBcd(text).has_value());
  }
  EXPECT_TRUE(RaisesWith<EConvertError>([] { StrToBcd("12a"); }, "'12a' is not a valid BCD value"));

  FormatSettings comma;
  comma.DecimalSeparator = ',';
  EXPECT_EQ(BcdToStr(StrToBcd("-1,25", comma), comma), "-1,25");
  EXPECT_FALSE(TryStrToBcd("1.25", comma).has_value());
}

TEST(Bcd, BytesArePackedHighNibbleFirst) {
  const Bcd b = StrToBcd("-123.45");
  const std::string bytes = b.ToBytes();
  ASSERT_EQ(bytes.size(), Bcd::kSize);
  EXPECT_EQ(bytes.substr(0, 5), std::string("\x05\x82\x12\x34\x50", 5));
  EXPECT_EQ(bytes.substr(5), std::string(29, '\0'));
  EXPECT_EQ(Bcd::FromBytes(bytes), b);
  EXPECT_TRUE(RaisesWith<EReadError>([&] { Bcd::FromBytes(bytes.substr(1)); },
                                     "Stream read error"));
  EXPECT_THROW(Bcd::FromBytes(bytes + '\0'), EReadError);
}

TEST(Bcd, MalformedRecordsReadAsZeroAndOddScalesStillExact) {
  Bcd bad_nibble;
  bad_nibble.Precision = 2;
  bad_nibble.Fraction[0] = 0x1A;
  Bcd too_long;
  too_long.Precision = 65;
  too_long.Fraction.fill(0x11);
  EXPECT_EQ(BcdToStr(bad_nibble), "0");
  EXPECT_EQ(BcdToStr(too_long), "0");
  EXPECT_EQ(BcdToDouble(too_long), 0.0);

  Bcd more_places_than_digits;  // 12 with three places
  more_places_than_digits.Precision = 2;
  more_places_than_digits.SignSpecialPlaces = 0x83;
  more_places_than_digits.Fraction[0] = 0x12;
  EXPECT_EQ(BcdToStr(more_places_than_digits), "-0.012");

  Bcd empty;  // precision 0
  EXPECT_EQ(BcdToStr(empty), "0");
}

TEST(BcdCompare, IgnoresPrecisionAndPlaces) {
  struct Case {
    const char* a;
    const char* b;
    int expected;
  };
  const Case cases[] = {
      {"1.50", "1.5", 0},    {"-0", "0.000", 0},      {"-1", "0.5", -1},
      {"-2", "-10", 1},      {"100", "99.999", 1},    {"0.001", "0.0009", 1},
      {"-0.001", "-0.0009", -1}, {"12", "120", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
    EXPECT_EQ(BcdCompare(StrToBcd(c.a), StrToBcd(c.b)), c.expected);
    EXPECT_EQ(BcdCompare(StrToBcd(c.b), StrToBcd(c.a)), -c.expected);
  }
}

TEST(Bcd, DoubleConversions) {
  EXPECT_EQ(BcdToDouble(StrToBcd("0.1")), 0.1);
  EXPECT_EQ(BcdToDouble(StrToBcd("-" + Repeat('9', 64))), -1e64);
  EXPECT_EQ(BcdToDouble(StrToBcd("0." + Repeat('0', 62) + "1")), 1e-63);

  struct Case {
    double value;
    std::string text;
  };
  const Case cases[] = {
      {0.1, "0.1"},
      {-2.5, "-2.5"},
      {0.0, "0"},
      {-0.0, "0"},
      {1e20, "100000000000000000000"},
      {123456.789, "123456.789"},
      {1e-70, "0"},  // below the smallest place
      {6e-64, "0." + Repeat('0', 62) + "1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const Bcd b = DoubleToBcd(c.value);
    EXPECT_EQ(BcdToStr(b), c.text);
    EXPECT_LE(b.Places(), 63);
  }
  EXPECT_EQ(DoubleToBcd(0.1).Precision, 1);
  EXPECT_TRUE(RaisesWith<EConvertError>([] { DoubleToBcd(1e100); }, "BCD overflow"));
  EXPECT_THROW(DoubleToBcd(std::numeric_limits<double>::infinity()), EConvertError);
  EXPECT_THROW(DoubleToBcd(std::nan("")), EConvertError);
}

TEST(Bcd, CurrencyConversions) {
  EXPECT_EQ(BcdToCurrency(StrToBcd("1.23455")).Scaled, 12346);
  EXPECT_EQ(BcdToCurrency(StrToBcd("-1.23455")).Scaled, -12346);
  EXPECT_EQ(BcdToCurrency(StrToBcd("-922337203685477.5808")).Scaled,
            std::numeric_limits<int64_t>::min());
  EXPECT_TRUE(RaisesWith<EConvertError>([] { BcdToCurrency(StrToBcd("922337203685477.5808")); },
                                        "BCD overflow"));

  const Bcd min = CurrencyToBcd(Currency::FromScaled(std::numeric_limits<int64_t>::min()));
  EXPECT_EQ(BcdToStr(min), "-922337203685477.5808");
  EXPECT_EQ(min.Precision, 19);
  EXPECT_EQ(min.Places(), 4);
  const Bcd half = CurrencyToBcd(Currency::FromScaled(5000));  // keeps the four places
  EXPECT_EQ(half.Precision, 4);
  EXPECT_EQ(half.Places(), 4);
  EXPECT_EQ(BcdToStr(half), "0.5");
}

}  // namespace
}  // namespace rda
