// Integer, float and currency text conversions.
#include <cmath>
#include <limits>
#include <optional>

#include <gtest/gtest.h>

#include "base/Convert.h"
#include "base/Currency.h"
#include "base/Exception.h"
#include "tests/base/RaisesWith.h"

namespace rda {
namespace {

using test::RaisesWith;

FormatSettings CommaDecimal() {
  FormatSettings fs;
  fs.DecimalSeparator = ',';
  fs.ThousandSeparator = '.';
  return fs;
}

TEST(StrToInt, StrictAcceptsSignAndDigitsOnlyLenientFallsBack) {
  struct Case {
    const char* text;
    std::optional<int32_t> value;
  };
  const Case cases[] = {
      {"0", 0},
      {"+5", 5},
      {"-5", -5},
      {"00012", 12},
      {"2147483647", 2147483647},
      {"-2147483648", std::numeric_limits<int32_t>::min()},
      {"2147483648", std::nullopt},
      {"-2147483649", std::nullopt},
      {"99999999999999999999", std::nullopt},
      {"", std::nullopt},
      {"-", std::nullopt},
      {"+", std::nullopt},
      {"+-1", std::nullopt},
      {" 5", std::nullopt},
      {"5 ", std::nullopt},
      {"0x10", std::nullopt},
      {"$10", std::nullopt},
      {"1.0", std::nullopt},
      {"1e3", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(TryStrToInt(c.text), c.value);
    EXPECT_EQ(StrToIntDef(c.text, -7), c.value.value_or(-7));
    if (c.value) {
      EXPECT_EQ(StrToInt(c.text), *c.value);
    } else {
      EXPECT_TRUE(RaisesWith<EConvertError>([&] { StrToInt(c.text); },
                                            "'" + std::string(c.text) +
                                                "' is not a valid integer value"));
    }
  }
}

TEST(StrToInt64, FullRangeAndOverflow) {
  struct Case {
    const char* text;
    std::optional<int64_t> value;
  };
  const Case cases[] = {
      {"9223372036854775807", std::numeric_limits<int64_t>::max()},
      {"-9223372036854775808", std::numeric_limits<int64_t>::min()},
      {"+0009223372036854775807", std::numeric_limits<int64_t>::max()},
      {"9223372036854775808", std::nullopt},
      {"-9223372036854775809", std::nullopt},
      {"18446744073709551616", std::nullopt},
      {"-", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(TryStrToInt64(c.text), c.value);
    EXPECT_EQ(StrToInt64Def(c.text, 3), c.value.value_or(3));
  }
  EXPECT_TRUE(RaisesWith<EConvertError>([] { StrToInt64("12a"); },
                                        "'12a' is not a valid integer value"));
  EXPECT_EQ(IntToStr(std::numeric_limits<int64_t>::min()), "-9223372036854775808");
}

TEST(StrToFloat, ReadsWithTheSettingsSeparator) {
  const FormatSettings dot;
  const FormatSettings comma = CommaDecimal();
  struct Case {
    const char* text;
    const FormatSettings& fs;
    std::optional<double> value;
  };
  const Case cases[] = {
      {"1.5", dot, 1.5},
      {" 2.5e3 ", dot, 2500.0},
      {"-0.125", dot, -0.125},
      {".5", dot, 0.5},
      {"5.", dot, 5.0},
      {"+1E+2", dot, 100.0},
      {"0.1", dot, 0.1},  // correctly rounded, not accumulated
      {"123456789012345678901234567890", dot, 1.2345678901234568e29},
      {"1e-400", dot, 0.0},  // below the smallest double
      {"1e400", dot, std::nullopt},
      {"1,5", dot, std::nullopt},
      {"1,5", comma, 1.5},
      {"1.5", comma, std::nullopt},
      {"inf", dot, std::nullopt},
      {"nan", dot, std::nullopt},
      {"", dot, std::nullopt},
      {".", dot, std::nullopt},
      {"e5", dot, std::nullopt},
      {"1e", dot, std::nullopt},
      {"1 000", dot, std::nullopt},
      {"1,000.5", dot, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(TryStrToFloat(c.text, c.fs), c.value);
  }
  EXPECT_TRUE(RaisesWith<EConvertError>([&] { StrToFloat("1.5x", dot); },
                                        "'1.5x' is not a valid floating point value"));
}

TEST(FloatToStr, ShortestGeneralFormWithFifteenDigits) {
  struct Case {
    double value;
    const char* text;
  };
  const Case cases[] = {
      {0.1, "0.1"},
      {1e20, "1E20"},
      {42, "42"},
      {-1.5, "-1.5"},
      {0.0, "0"},
      {-0.0, "0"},
      {1e14, "100000000000000"},
      {1e15, "1E15"},
      {0.00001, "0.00001"},
      {0.000001, "1E-6"},
      {1.5e-7, "1.5E-7"},
      {1.0 / 3, "0.333333333333333"},
      {2.0 / 3, "0.666666666666667"},
      {123456789012345678.0, "1.23456789012346E17"},
      {0.1f, "0.100000001490116"},
      {std::numeric_limits<double>::quiet_NaN(), "NAN"},
      {std::numeric_limits<double>::infinity(), "INF"},
      {-std::numeric_limits<double>::infinity(), "-INF"},
  };
  for (const Case& c : cases) EXPECT_EQ(FloatToStr(c.value), c.text) << c.text;
  EXPECT_EQ(FloatToStr(-12.75, CommaDecimal()), "-12,75");
  EXPECT_EQ(FloatToStr(2.5e-9, CommaDecimal()), "2,5E-9");
}

TEST(Currency, TextRoundTripsAtTheExtremes) {
  const int64_t max = std::numeric_limits<int64_t>::max();
  const int64_t min = std::numeric_limits<int64_t>::min();
  struct Case {
    int64_t scaled;
    const char* text;
  };
  const Case cases[] = {
      {0, "0"},
      {10000, "1"},
      {125000, "12.5"},
      {-1, "-0.0001"},
      {-10001, "-1.0001"},
      {max, "922337203685477.5807"},
      {min, "-922337203685477.5808"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(CurrToStr(Currency::FromScaled(c.scaled)), c.text);
    EXPECT_EQ(StrToCurr(c.text).Scaled, c.scaled);
  }
  EXPECT_EQ(CurrToStr(Currency::FromScaled(-125000), CommaDecimal()), "-12,5");
  EXPECT_EQ(StrToCurr("-12,5", CommaDecimal()).Scaled, -125000);
}

TEST(Currency, ReadsExactlyAndRoundsHalfAwayFromZero) {
  struct Case {
    const char* text;
    std::optional<int64_t> scaled;
  };
  const Case cases[] = {
      {"0.00005", 1},
      {"-0.00005", -1},
      {"0.0000499999999999999999", 0},
      {"1.23456", 12346},
      {"2.00015", 20002},
      {" 7 ", 70000},
      {"1e3", 10000000},
      {"922337203685477.58074", std::numeric_limits<int64_t>::max()},
      {"922337203685477.58075", std::nullopt},  // rounds past the top
      {"922337203685477.5808", std::nullopt},
      {"-922337203685477.5809", std::nullopt},
      {"1e20", std::nullopt},
      {"", std::nullopt},
      {"abc", std::nullopt},
      {"1,5", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto v = TryStrToCurr(c.text);
    ASSERT_EQ(v.has_value(), c.scaled.has_value());
    if (v) {
      EXPECT_EQ(v->Scaled, *c.scaled);
    }
  }
  EXPECT_TRUE(RaisesWith<EConvertError>([] { StrToCurr("12..5"); },
                                        "'12..5' is not a valid floating point value"));
}

TEST(Currency, FromDoubleRoundsTheWrittenValue) {
  // 1.00005 is stored a little below itself; it still rounds as written.
  EXPECT_EQ(Currency::FromDouble(1.00005).Scaled, 10001);
  EXPECT_EQ(Currency::FromDouble(-2.5).Scaled, -25000);
  EXPECT_EQ(Currency::FromDouble(0.1).Scaled, 1000);
  EXPECT_EQ(Currency::FromDouble(922337203685477.0).Scaled, 9223372036854770000);
  EXPECT_DOUBLE_EQ(Currency::FromScaled(-125).ToDouble(), -0.0125);
  EXPECT_TRUE(RaisesWith<EConvertError>([] { Currency::FromDouble(1e15); },
                                        "Floating point overflow"));
  EXPECT_THROW(Currency::FromDouble(std::nan("")), EConvertError);
}

}  // namespace
}  // namespace rda
