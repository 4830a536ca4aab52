// Variant kinds, the conversion matrix and its errors.
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "base/Convert.h"
#include "base/Variant.h"
#include "tests/base/RaisesWith.h"

namespace rda {
namespace {

using test::RaisesWith;

// Converts through the accessor for `to` and shows the result as text, so
// one table can hold every target kind.
std::string ConvertToText(const Variant& v, VarType to, const FormatSettings& fs) {
  switch (to) {
    case VarType::Int64: return std::to_string(v.ToInt64(fs));
    case VarType::Integer: return std::to_string(v.ToInt32(fs));
    case VarType::Double: return FloatToStr(v.ToDouble(fs), fs);
    case VarType::Boolean: return v.ToBoolean(fs) ? "True" : "False";
    case VarType::Currency: return CurrToStr(v.ToCurrency(fs), fs);
    case VarType::Date: return FormatDateTime("yyyy-mm-dd hh:nn:ss.zzz", v.ToDateTime(fs), fs);
    case VarType::Bcd: return BcdToStr(v.ToBcd(fs), fs);
    case VarType::SqlTimeStamp: {
      const SqlTimeStamp ts = v.ToSqlTimeStamp(fs);
      return FormatDateTime("yyyy-mm-dd hh:nn:ss.zzz", SqlTimeStampToDateTime(ts), fs);
    }
    case VarType::String: return v.ToString(fs);
    case VarType::Bytes: return v.ToBytes();
    default: return "?";
  }
}

struct Conversion {
  Variant from;
  VarType to;
  std::optional<std::string> text;  // nullopt: the conversion raises
};

void Check(const Conversion& c, const FormatSettings& fs = DefaultFormatSettings()) {
  const std::string label =
      std::string(VarTypeName(c.from.Type())) + " -> " + VarTypeName(c.to);
  if (c.text) {
    EXPECT_EQ(ConvertToText(c.from, c.to, fs), *c.text) << label;
  } else {
    EXPECT_TRUE(RaisesWith<EVariantError>(
        [&] { ConvertToText(c.from, c.to, fs); },
        std::string("Could not convert variant of type (") + VarTypeName(c.from.Type()) +
            ") into type (" + VarTypeName(c.to) + ")"))
        << label;
  }
}

const auto kNone = std::nullopt;

TEST(Variant, NumbersWidenNarrowAndRound) {
  const uint64_t u64_max = std::numeric_limits<uint64_t>::max();
  const int64_t i64_min = std::numeric_limits<int64_t>::min();
  const Conversion cases[] = {
      {Variant(int8_t{-5}), VarType::Int64, "-5"},
      {Variant(uint8_t{255}), VarType::Integer, "255"},
      {Variant(uint64_t{u64_max}), VarType::Int64, kNone},
      {Variant(uint64_t{u64_max}), VarType::Double, "1.84467440737096E19"},
      {Variant(uint64_t{u64_max}), VarType::Bcd, "18446744073709551615"},
      {Variant(int64_t{i64_min}), VarType::Bcd, "-9223372036854775808"},
      {Variant(int64_t{i64_min}), VarType::Integer, kNone},
      {Variant(int64_t{i64_min}), VarType::Currency, kNone},
      {Variant(int64_t{922337203685477}), VarType::Currency, "922337203685477"},
      {Variant(uint32_t{4294967295u}), VarType::Integer, kNone},
      {Variant(2.5), VarType::Int64, "2"},  // halves to even
      {Variant(3.5), VarType::Int64, "4"},
      {Variant(-2.5), VarType::Integer, "-2"},
      {Variant(2.6f), VarType::Integer, "3"},
      {Variant(1e19), VarType::Int64, kNone},
      {Variant(std::numeric_limits<double>::quiet_NaN()), VarType::Int64, kNone},
      {Variant(0.1f), VarType::String, "0.1"},  // a Single shows its own precision
      {Variant(double{0.1f}), VarType::String, "0.100000001490116"},
      {Variant(1e300), VarType::Currency, kNone},
      {Variant(1e100), VarType::Bcd, kNone},
      {Variant(0.1), VarType::Bcd, "0.1"},
      {Variant(Currency::FromScaled(125000)), VarType::Int64, "12"},
      {Variant(Currency::FromScaled(135000)), VarType::Int64, "14"},
      {Variant(Currency::FromScaled(-5)), VarType::Double, "-0.0005"},
      {Variant(Currency::FromScaled(-5)), VarType::Bcd, "-0.0005"},
      {Variant(StrToBcd("-7.5")), VarType::Int64, "-8"},
      {Variant(StrToBcd("12345678901234567890.5")), VarType::Int64, kNone},
      {Variant(StrToBcd("1.23455")), VarType::Currency, "1.2346"},
      {Variant(StrToBcd("1" + std::string(30, '0'))), VarType::Currency, kNone},
      {Variant(StrToBcd("0.000")), VarType::Boolean, "False"},
      {Variant(true), VarType::Int64, "-1"},
      {Variant(true), VarType::Double, "-1"},
      {Variant(false), VarType::Currency, "0"},
      {Variant(int16_t{0}), VarType::Boolean, "False"},
      {Variant(uint16_t{7}), VarType::Boolean, "True"},
      {Variant(-0.5), VarType::Boolean, "True"},
      {Variant::FromInterface(1234), VarType::Int64, "1234"},
      {Variant::FromInterface(1234), VarType::String, "1234"},
      {Variant::FromInterface(1234), VarType::Double, kNone},
  };
  for (const Conversion& c : cases) Check(c);
}

TEST(Variant, TextConvertsWithTheSettings) {
  const Conversion cases[] = {
      {Variant("  42 "), VarType::Integer, "42"},
      {Variant("2147483648"), VarType::Integer, kNone},
      {Variant("2147483648"), VarType::Int64, "2147483648"},
      {Variant("9223372036854775807.4"), VarType::Int64, "9223372036854775807"},
      {Variant("2.5"), VarType::Int64, "2"},
      {Variant("abc"), VarType::Double, kNone},
      {Variant("1.5"), VarType::Double, "1.5"},
      {Variant("1e400"), VarType::Double, kNone},
      {Variant(""), VarType::Int64, kNone},
      {Variant("true"), VarType::Boolean, "True"},
      {Variant(" FALSE "), VarType::Boolean, "False"},
      {Variant("0"), VarType::Boolean, "False"},
      {Variant("2.5"), VarType::Boolean, "True"},
      {Variant("yes"), VarType::Boolean, kNone},
      {Variant("922337203685477.5807"), VarType::Currency, "922337203685477.5807"},
      {Variant("922337203685477.5808"), VarType::Currency, kNone},
      {Variant("-0.00"), VarType::Bcd, "0"},
      {Variant("1e5"), VarType::Bcd, kNone},
      {Variant("3/5/2024 14:07"), VarType::Date, "2024-03-05 14:07:00.000"},
      {Variant("3/5/2024 14:07"), VarType::SqlTimeStamp, "2024-03-05 14:07:00.000"},
      {Variant("14:07"), VarType::Date, "1899-12-30 14:07:00.000"},
      {Variant("not a date"), VarType::Date, kNone},
      {Variant("not a date"), VarType::SqlTimeStamp, kNone},
      {Variant("abc"), VarType::Bytes, "abc"},
  };
  for (const Conversion& c : cases) Check(c);

  FormatSettings comma;
  comma.DecimalSeparator = ',';
  comma.DateSeparator = '.';
  comma.ShortDateFormat = "dd/mm/yyyy";
  const Conversion local[] = {
      {Variant("1,5"), VarType::Double, "1,5"},
      {Variant("1.5"), VarType::Double, kNone},
      {Variant("-12,34567"), VarType::Currency, "-12,3457"},
      {Variant("0,10"), VarType::Bcd, "0,1"},
      {Variant(1.5), VarType::String, "1,5"},
      {Variant("05.03.2024"), VarType::Date, "2024-03-05 00:00:00.000"},
      {Variant::FromDate(EncodeDate(2024, 3, 5)), VarType::String, "05.03.2024"},
  };
  for (const Conversion& c : local) Check(c, comma);
}

TEST(Variant, NullEmptyAndOtherKindsThatDoNotConvert) {
  const Variant bytes = Variant::FromBytes(std::string("\x00\xFF", 2));
  const Variant date = Variant::FromDate(EncodeDate(2024, 3, 5) + 0.5);
  const SqlTimeStamp ts{2024, 3, 5, 12, 0, 0, 0};
  const Conversion cases[] = {
      {Variant::Null(), VarType::String, ""},
      {Variant(), VarType::String, ""},
      {Variant::Null(), VarType::Int64, kNone},
      {Variant::Null(), VarType::Integer, kNone},
      {Variant::Null(), VarType::Boolean, kNone},
      {Variant(), VarType::Double, kNone},
      {Variant(), VarType::Date, kNone},
      {Variant::Null(), VarType::Bytes, kNone},
      {bytes, VarType::Bytes, std::string("\x00\xFF", 2)},
      {bytes, VarType::String, std::string("\x00\xFF", 2)},
      {bytes, VarType::Double, kNone},
      {bytes, VarType::SqlTimeStamp, kNone},
      {Variant(true), VarType::Date, kNone},
      {Variant(true), VarType::SqlTimeStamp, kNone},
      {Variant(true), VarType::String, "True"},
      {Variant(1.5), VarType::Bytes, kNone},
      {date, VarType::String, "3/5/2024 12:00:00"},
      {date, VarType::SqlTimeStamp, "2024-03-05 12:00:00.000"},
      {date, VarType::Double, "45356.5"},
      {Variant(ts), VarType::Date, "2024-03-05 12:00:00.000"},
      {Variant(ts), VarType::String, "3/5/2024 12:00:00"},
      {Variant(ts), VarType::Bcd, kNone},
      {Variant(1e7), VarType::SqlTimeStamp, kNone},  // past the year 9999
  };
  for (const Conversion& c : cases) Check(c);
  EXPECT_EQ(std::string(VarTypeName(VarType::SmallInt)), "Smallint");
  EXPECT_EQ(std::string(VarTypeName(VarType::Bcd)), "FMTBcd");
}

TEST(Variant, EqualityKeepsTheKind) {
  EXPECT_EQ(Variant("a"), Variant(std::string("a")));
  EXPECT_NE(Variant(1.5f), Variant(1.5));
  EXPECT_NE(Variant(int32_t{1}), Variant(int64_t{1}));
  EXPECT_NE(Variant(uint8_t{1}), Variant(int8_t{1}));
  EXPECT_NE(Variant::FromBytes("a"), Variant("a"));
  EXPECT_NE(Variant::FromDate(1.0), Variant(1.0));
  EXPECT_EQ(Variant::Null(), Variant::Null());
  EXPECT_NE(Variant(), Variant::Null());
  EXPECT_EQ(Variant(StrToBcd("1.5")), Variant(StrToBcd("1.5")));

  EXPECT_TRUE(Variant(uint64_t{1}).IsOrdinal());
  EXPECT_FALSE(Variant(true).IsOrdinal());
  EXPECT_TRUE(Variant(1.5f).IsFloat());
  EXPECT_FALSE(Variant::FromDate(1).IsFloat());
  EXPECT_TRUE(Variant::Null().IsClear());
  EXPECT_TRUE(Variant().IsClear());
  EXPECT_FALSE(Variant("").IsClear());
}

// ---------------------------------------------------------------------------
// Arithmetic, logic and comparison

// A result as "<kind> <text>", or the message of what it raised, so one
// table holds values and failures of every kind.
template <typename F>
std::string Outcome(F&& operation) {
  try {
    const Variant v = operation();
    return std::string(VarTypeName(v.Type())) + " " + v.ToString();
  } catch (const std::exception& e) {
    return std::string("raises ") + e.what();
  }
}

Variant V(int32_t v) { return Variant(v); }
Variant Cur(const char* text) { return Variant(StrToCurr(text)); }
Variant B(const char* text) { return Variant(StrToBcd(text)); }
Variant D(TDateTime v) { return Variant::FromDate(v); }

struct Binary {
  Variant a;
  char op;  // + - * / d (div) m (mod) & (and) | (or) ^ (xor)
  Variant b;
  std::string outcome;
};

Variant Apply(const Binary& c) {
  switch (c.op) {
    case '+': return c.a + c.b;
    case '-': return c.a - c.b;
    case '*': return c.a * c.b;
    case '/': return c.a / c.b;
    case 'd': return VarIntDiv(c.a, c.b);
    case 'm': return VarMod(c.a, c.b);
    case '&': return VarAnd(c.a, c.b);
    case '|': return VarOr(c.a, c.b);
    default: return VarXor(c.a, c.b);
  }
}

TEST(VariantArithmetic, TheRulesTable) {
  const int64_t i64max = std::numeric_limits<int64_t>::max();
  const Binary cases[] = {
      // integers: Integer while the kinds are narrow and the result fits
      {V(2), '+', V(3), "Integer 5"},
      {V(2147483647), '+', V(1), "Int64 2147483648"},
      {Variant(uint8_t{200}), '+', Variant(uint8_t{100}), "Integer 300"},
      {Variant(int16_t{-2}), '*', Variant(uint16_t{3}), "Integer -6"},
      {Variant(int64_t{1}), '+', V(1), "Int64 2"},
      {Variant(i64max), '+', V(1), "raises Integer overflow"},
      {Variant(i64max), '*', V(2), "raises Integer overflow"},
      {Variant(true), '+', V(1), "Integer 0"},
      {V(7), '/', V(2), "Double 3.5"},
      // floats, currency, BCD
      {Variant(1.5), '+', V(1), "Double 2.5"},
      {Variant(1.5f), '*', Variant(2.0f), "Double 3"},
      {Cur("1.5"), '+', V(2), "Currency 3.5"},
      {Cur("0.0001"), '*', Cur("0.5"), "Currency 0.0001"},  // half away from zero
      {Cur("-0.0001"), '*', Cur("0.5"), "Currency -0.0001"},
      {Cur("10"), '/', V(3), "Currency 3.3333"},
      {Cur("1"), '/', Cur("4"), "Double 0.25"},
      {Cur("1.5"), '+', Variant(0.25), "Double 1.75"},
      {Cur("922337203685477"), '+', Cur("1"), "raises Floating point overflow"},
      {B("0.1"), '+', Variant(0.2), "FMTBcd 0.3"},
      {B("1.25"), '*', B("-0.2"), "FMTBcd -0.25"},
      {B("1"), '/', V(4), "FMTBcd 0.25"},
      {B("2"), '/', B("3"), "FMTBcd 0." + std::string(62, '6') + "7"},
      {B("12345678901234567890"), '*', Cur("2.5"), "FMTBcd 30864197253086419725"},
      {B("1"), '/', B("0"), "raises Division by zero"},
      {B(("9" + std::string(63, '9')).c_str()), '+', V(1), "raises BCD overflow"},
      // dates
      {D(45000), '+', V(1), "Date 3/16/2023"},  // day 45000 is 3/15/2023
      {V(1), '+', D(45000), "Date 3/16/2023"},
      {D(45000.5), '-', Variant(0.5), "Date 3/15/2023"},
      {D(45001), '-', D(45000), "Double 1"},
      {D(2), '*', V(2), "Double 4"},
      // texts
      {Variant("ab"), '+', Variant("cd"), "String abcd"},
      {Variant("2"), '+', V(3), "Double 5"},
      {Variant("2"), '*', Variant("3"), "Double 6"},
      {Variant("1.25"), '+', Cur("1"), "Currency 2.25"},
      {Variant("x"), '+', V(1), "raises Could not convert variant of type (String) into type (Double)"},
      // null, empty, the kinds without arithmetic
      {Variant::Null(), '+', V(1), "Null "},
      {V(1), '/', Variant::Null(), "Null "},
      {Variant(), '+', V(5), "Integer 5"},
      {Variant(), '+', Variant("a"), "String a"},
      {Variant::FromBytes("a"), '+', V(1), "raises Invalid variant operation"},
      // division by zero and overflow of doubles
      {Variant(1.0), '/', V(0), "raises Floating point division by zero"},
      {V(0), '/', V(0), "raises Invalid floating point operation"},
      {Cur("1"), '/', V(0), "raises Division by zero"},
      {Variant(1e308), '*', V(10), "raises Floating point overflow"},
      // div and mod
      {V(7), 'd', V(2), "Integer 3"},
      {V(-7), 'd', V(2), "Integer -3"},
      {V(-7), 'm', V(2), "Integer -1"},
      {Variant(7.5), 'd', V(2), "Int64 4"},  // 7.5 rounds to 8
      {Variant("9"), 'm', V(4), "Int64 1"},
      {V(1), 'd', V(0), "raises Division by zero"},
      {V(1), 'm', Variant(0.2), "raises Division by zero"},
      {Variant(std::numeric_limits<int64_t>::min()), 'd', V(-1), "raises Integer overflow"},
      // logic
      {Variant(true), '&', Variant(false), "Boolean False"},
      {Variant("True"), '|', Variant(false), "Boolean True"},
      {Variant(true), '^', Variant(true), "Boolean False"},
      {V(6), '&', V(3), "Integer 2"},
      {V(6), '|', Variant(int64_t{1}), "Int64 7"},
      {Variant(true), '&', V(6), "Integer 6"},
      {Variant::Null(), '&', Variant(false), "Null "},
  };
  for (const Binary& c : cases) {
    EXPECT_EQ(Outcome([&] { return Apply(c); }), c.outcome)
        << VarTypeName(c.a.Type()) << " " << c.op << " " << VarTypeName(c.b.Type());
  }
}

TEST(VariantArithmetic, NegationAndNot) {
  const std::pair<Variant, std::string> negations[] = {
      {V(5), "Integer -5"},
      {Variant(std::numeric_limits<int64_t>::min()), "raises Integer overflow"},
      {Variant(true), "Integer 1"},
      {Variant(uint16_t{7}), "Integer -7"},
      {Variant(2.5f), "Single -2.5"},
      {Cur("1.5"), "Currency -1.5"},
      {B("0.10"), "FMTBcd -0.1"},
      {B("0"), "FMTBcd 0"},
      {Variant("2"), "Double -2"},
      {Variant::Null(), "Null "},
      {Variant::FromBytes("x"), "raises Invalid variant operation"},
  };
  for (const auto& [v, outcome] : negations) {
    EXPECT_EQ(Outcome([&] { return -v; }), outcome) << VarTypeName(v.Type());
  }
  EXPECT_EQ(VarNot(Variant(true)), Variant(false));
  EXPECT_EQ(VarNot(Variant(" false ")), Variant(true));
  EXPECT_EQ(VarNot(V(0)), V(-1));
  EXPECT_TRUE(VarNot(Variant::Null()).IsNull());
}

TEST(VariantArithmetic, InPlaceSumsMatchTheOperators) {
  // The aggregates keep totals with +=; each kind must land where + lands.
  const std::pair<Variant, Variant> sums[] = {
      {Variant(1.25), Variant(2.5)},
      {Variant(int64_t{5}), Variant(int64_t{-7})},
      {V(2147483647), V(1)},
      {Cur("1.5"), Cur("0.0001")},
      {B("0.1"), Variant(0.2)},
      {Variant(), V(3)},
  };
  for (const auto& [a, b] : sums) {
    Variant sum = a;
    sum += b;
    EXPECT_EQ(sum, a + b) << VarTypeName(a.Type());
    Variant difference = a;
    difference -= b;
    EXPECT_EQ(difference, a - b) << VarTypeName(a.Type());
  }
  Variant big(std::numeric_limits<int64_t>::max());
  EXPECT_TRUE(RaisesWith<EIntOverflow>([&] { big += Variant(int64_t{1}); }, "Integer overflow"));
  EXPECT_EQ(big, Variant(std::numeric_limits<int64_t>::max()));  // unchanged
}

TEST(VariantArithmetic, CompareValueAcrossKinds) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const struct {
    Variant a, b;
    TVariantRelationship expected;
  } cases[] = {
      {Variant::Null(), Variant::Null(), vrEqual},
      {Variant(), Variant::Null(), vrEqual},
      {Variant::Null(), V(-100), vrLessThan},
      {V(0), Variant::Null(), vrGreaterThan},
      {V(1), Variant(1.0), vrEqual},
      {Variant(int64_t{9007199254740993}), Variant(9007199254740992.0), vrGreaterThan},
      {Variant(std::numeric_limits<uint64_t>::max()), Variant(int64_t{-1}), vrGreaterThan},
      {Variant(std::numeric_limits<uint64_t>::max()), Variant(std::numeric_limits<int64_t>::max()),
       vrGreaterThan},
      {Cur("1.5"), V(1), vrGreaterThan},
      {Cur("2"), Variant(int64_t{2}), vrEqual},
      {B("0.1"), Variant(0.1), vrEqual},
      {B("0.1000000000000000000001"), Variant(0.1), vrGreaterThan},
      {Variant("a"), Variant("B"), vrGreaterThan},
      {Variant("abc"), Variant("abd"), vrLessThan},
      {Variant("\xe9"), Variant("z"), vrGreaterThan},  // bytes are unsigned
      {Variant("10"), V(9), vrGreaterThan},
      {Variant(false), Variant(true), vrLessThan},
      {Variant(true), Variant("true"), vrEqual},
      {D(45000), D(45000.5), vrLessThan},
      {D(45000), V(45000), vrEqual},
      {Variant(nan), V(1), vrNotEqual},
      {Variant::FromBytes("b"), Variant::FromBytes("a"), vrGreaterThan},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(VarCompareValue(c.a, c.b), c.expected)
        << VarTypeName(c.a.Type()) << " vs " << VarTypeName(c.b.Type());
  }
  EXPECT_TRUE(VarSameValue(V(1), Variant(1.0)));
  EXPECT_NE(V(1), Variant(1.0));  // operator== keeps the kind
  EXPECT_TRUE(RaisesWith<EVariantError>([] { VarCompareValue(Variant::FromBytes("a"), V(1)); },
                                        "Invalid variant operation"));
  EXPECT_TRUE(RaisesWith<EVariantError>(
      [] { VarCompareValue(Variant("x"), V(1)); },
      "Could not convert variant of type (String) into type (Double)"));
}

TEST(VariantArithmetic, AsTypeConvertsAndKeepsNull) {
  EXPECT_EQ(VarAsType(Variant("12"), VarType::Integer), V(12));
  EXPECT_EQ(VarAsType(Variant(2.5), VarType::Currency), Cur("2.5"));
  EXPECT_EQ(VarAsType(V(3), VarType::Bcd), B("3"));
  EXPECT_EQ(VarAsType(Cur("1.5"), VarType::String), Variant("1.5"));
  EXPECT_EQ(VarAsType(Variant("3/5/2024"), VarType::Date), D(EncodeDate(2024, 3, 5)));
  EXPECT_EQ(VarAsType(B("7.5"), VarType::Double), Variant(7.5));
  EXPECT_TRUE(VarAsType(Variant::Null(), VarType::Integer).IsNull());
  EXPECT_TRUE(VarAsType(Variant(), VarType::String).IsEmpty());
  EXPECT_TRUE(RaisesWith<EVariantError>([] { VarAsType(V(300), VarType::Byte); },
                                        "Could not convert variant of type (Integer) into type (Byte)"));
  EXPECT_TRUE(RaisesWith<EVariantError>([] { VarAsType(Variant("x"), VarType::Int64); },
                                        "Could not convert variant of type (String) into type (Int64)"));
}

}  // namespace
}  // namespace rda
