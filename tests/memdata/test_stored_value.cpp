// The per-type stored values: sizes, loading and the comparison table.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "base/ByteIO.h"
#include "base/SqlTimeStamp.h"
#include "memdata/store/RdaStoredValue.h"

namespace {

using namespace rda;

std::string Int16(int16_t v) {
  std::string s(2, '\0');
  StoreU16LE(s.data(), static_cast<uint16_t>(v));
  return s;
}
std::string Int32(int32_t v) {
  std::string s(4, '\0');
  StoreI32LE(s.data(), v);
  return s;
}
std::string Int64(int64_t v) {
  std::string s(8, '\0');
  StoreU64LE(s.data(), static_cast<uint64_t>(v));
  return s;
}
std::string Double(double v) {
  std::string s(8, '\0');
  RdaStoreDouble(s.data(), v);
  return s;
}
std::string Text(std::string_view t, size_t size) {
  std::string s(size, '\0');
  std::memcpy(s.data(), t.data(), std::min(t.size(), size));
  return s;
}
std::string Wide(std::u16string_view t, size_t units) {
  std::string s(units * 2, '\0');
  for (size_t i = 0; i < t.size() && i < units; ++i) StoreU16LE(s.data() + 2 * i, t[i]);
  return s;
}
// The fraction counts milliseconds (base/SqlTimeStamp.h).
std::string Stamp(int second, uint32_t fraction) {
  SqlTimeStamp ts;
  ts.Year = 2024;
  ts.Month = 5;
  ts.Day = 17;
  ts.Hour = 10;
  ts.Minute = 30;
  ts.Second = static_cast<uint16_t>(second);
  ts.Fractions = fraction;
  return ts.ToBytes();
}

struct Case {
  const char* what;
  uint8_t type;
  std::string a, b;
  bool caseInsensitive, partial;
  int expected;
};

TEST(StoredValue, CompareTable) {
  const Case cases[] = {
      {"text ordinal, upper before lower", ftString, Text("B", 8), Text("a", 8), false, false, -1},
      {"text folded", ftString, Text("abc", 8), Text("ABC", 8), true, false, 0},
      {"text prefix first", ftFixedChar, Text("ab", 8), Text("abc", 8), false, false, -1},
      {"text partial cuts b", ftString, Text("ab", 8), Text("abc", 8), false, true, 0},
      {"text bytes above 0x7f unsigned", ftGuid, Text("\xe9", 4), Text("z", 4), false, false, 1},
      {"text ends at a zero", ftString, Text(std::string("a\0b", 3), 4),
       Text(std::string("a\0c", 3), 4), false, false, 0},
      {"smallint signed", ftSmallint, Int16(-1), Int16(1), false, false, -1},
      {"word unsigned", ftWord, Int16(-1), Int16(1), false, false, 1},
      {"boolean false first", ftBoolean, Int16(-1), Int16(0), false, false, 1},
      {"boolean any set bit is true", ftBoolean, Int16(1), Int16(-1), false, false, 0},
      {"integer", ftInteger, Int32(-5), Int32(3), false, false, -1},
      {"largeint", ftLargeint, Int64(int64_t{1} << 40), Int64(1), false, false, 1},
      {"bcd exact", ftBCD, Int64(10001), Int64(10000), false, false, 1},
      {"doubles within 1e-13", ftFloat, Double(1.0), Double(1.0 + 1e-14), false, false, 0},
      {"doubles beyond 1e-13", ftFloat, Double(0.0), Double(1e-12), false, false, -1},
      {"currency as double", ftCurrency, Double(2.5), Double(-2.5), false, false, 1},
      {"date days", ftDate, Int32(700000) + Int32(0), Int32(700001) + Int32(0), false, false, -1},
      {"time ms", ftTime, Int32(1000), Int32(999), false, false, 1},
      {"bytes all of them", ftBytes, Text(std::string("a\0b", 3), 3),
       Text(std::string("a\0c", 3), 3), false, false, -1},
      {"time stamps equal", ftTimeStamp, Stamp(1, 7), Stamp(1, 7), false, false, 0},
      {"time stamps 2 ms apart", ftTimeStamp, Stamp(1, 0), Stamp(1, 2), false, false, -1},
      {"wide by collation, not code units", ftWideString, Wide(u"a", 4), Wide(u"B", 4), false,
       false, -1},
      {"wide accents before the next letter", ftWideString, Wide(u"\u00e9", 4), Wide(u"f", 4),
       false, false, -1},
      {"wide case-blind", ftWideString, Wide(u"stra\u00dfe", 8), Wide(u"STRA\u00dfE", 8), true,
       false, 0},
      {"wide case counts", ftWideString, Wide(u"abc", 4), Wide(u"ABC", 4), false, false, -1},
      {"wide partial", ftWideString, Wide(u"ab", 4), Wide(u"abz", 4), false, true, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RdaCompareStored(c.type, c.a.data(), c.b.data(), c.a.size(), c.caseInsensitive,
                               c.partial),
              c.expected)
        << c.what;
    // Swapping the sides reverses the result (partial keys aside).
    if (!c.partial) {
      EXPECT_EQ(RdaCompareStored(c.type, c.b.data(), c.a.data(), c.a.size(), c.caseInsensitive,
                                 false),
                -c.expected)
          << c.what << " (swapped)";
    }
  }
}

TEST(StoredValue, ComparableCodesAreExactlyTheTable) {
  int comparable = 0;
  for (int code = 0; code < 128; ++code) {
    if (IsRdaComparableFieldType(static_cast<uint8_t>(code))) ++comparable;
  }
  EXPECT_EQ(comparable, 20);
  for (uint8_t code : {ftBlob, ftMemo, ftDataSet, ftUnknown, ftVariant, ftCursor}) {
    EXPECT_FALSE(IsRdaComparableFieldType(code)) << int{code};
  }
  // The high bit is ignored.
  EXPECT_TRUE(IsRdaComparableFieldType(0x80 | ftInteger));
}

TEST(StoredValue, SizesAndValues) {
  EXPECT_EQ(RdaFieldDataSize(ftString, 10), 10);
  EXPECT_EQ(RdaFieldBufferSize(ftString, 10), 11);
  EXPECT_EQ(RdaFieldDataSize(ftWideString, 10), 20);
  EXPECT_EQ(RdaDeclaredSize(ftWideString, 20), 10);
  EXPECT_EQ(RdaFieldDataSize(ftFMTBcd, 0), 34);
  EXPECT_EQ(RdaFixedFieldWidth(ftGuid), -1);
  EXPECT_EQ(RdaLoadValue(ftSmallint, Int16(-7).data(), 2), Variant(int16_t{-7}));
  EXPECT_EQ(RdaLoadValue(ftBCD, Int64(12345).data(), 8), Variant(Currency::FromScaled(12345)));
  EXPECT_EQ(RdaLoadValue(ftString, Text("abc", 8).data(), 8), Variant("abc"));
  EXPECT_EQ(RdaLoadValue(ftDate, (Int32(kDateDelta + 2) + Int32(0)).data(), 8),
            Variant::FromDate(2.0));
  EXPECT_TRUE(RdaLoadValue(ftBlob, Int32(1).data(), 4).IsNull());
  char stored[8] = {};
  RdaStoreDateTime(ftDateTime, 1.5, stored);
  EXPECT_EQ(RdaLoadDateTime(ftDateTime, stored), 1.5);
}

}  // namespace
