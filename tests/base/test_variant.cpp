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

}  // namespace
}  // namespace rda
