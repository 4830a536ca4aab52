// The text forms of a result: the column type mapping, what text values
// become, and the date forms the date fields read. (The markers of a whole
// row are checked byte for byte in test_session.cpp.)
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "server/RowPacket.h"

namespace rda {
namespace {

SqlValue Int(int64_t v) {
  SqlValue s;
  s.storage = SqlValue::kInteger;
  s.integer = v;
  return s;
}
SqlValue Real(double v) {
  SqlValue s;
  s.storage = SqlValue::kReal;
  s.real = v;
  return s;
}
SqlValue Text(std::string v) {
  SqlValue s;
  s.storage = SqlValue::kText;
  s.bytes = std::move(v);
  return s;
}
SqlValue Blob(std::string v) {
  SqlValue s = Text(std::move(v));
  s.storage = SqlValue::kBlob;
  return s;
}
SqlValue Null() { return SqlValue{}; }

struct MappingCase {
  const char* declared;
  std::vector<SqlValue> values;
  bool complete;
  TFieldType type;
  int size;
};

TEST(RowPacket, DeclaredTypesAndKnownValuesDecideTheFieldType) {
  const std::vector<MappingCase> cases = {
      {"INTEGER", {Int(1), Int(-70000)}, true, ftInteger, 0},
      {"INTEGER", {Int(1LL << 40)}, true, ftLargeint, 0},
      // Later packets could hold wider values, which no field could take then.
      {"INTEGER", {Int(1)}, false, ftLargeint, 0},
      {"SMALLINT", {Int(300)}, true, ftSmallint, 0},
      {"SMALLINT", {Int(40000)}, true, ftInteger, 0},
      {"BIGINT", {Int(1)}, true, ftLargeint, 0},
      {"INTEGER", {Int(1), Real(2.5)}, true, ftFloat, 0},
      {"INTEGER", {Text("n/a")}, true, ftString, 3},
      {"REAL", {Real(1.5)}, true, ftFloat, 0},
      {"DOUBLE PRECISION", {Text("oops")}, true, ftString, 4},
      {"NUMERIC", {Int(3)}, true, ftFloat, 0},
      {"DECIMAL(10,2)", {Real(12.34)}, true, ftBCD, 2},
      {"DECIMAL(10,2)", {Real(1.23456)}, true, ftFMTBcd, 5},
      {"NUMERIC(20,6)", {Int(1)}, true, ftFMTBcd, 6},
      {"DECIMAL(9,0)", {Int(5)}, true, ftInteger, 0},
      {"MONEY", {Real(2.5)}, true, ftCurrency, 0},
      {"BOOLEAN", {Int(1), Text("false")}, true, ftBoolean, 0},
      {"BOOLEAN", {Text("maybe")}, true, ftString, 5},
      {"DATE", {Text("2024-01-31")}, true, ftDate, 0},
      {"TIME", {Text("12:30:00")}, true, ftTime, 0},
      {"DATETIME", {Text("2024-01-31 12:00:00"), Real(2460341.0), Int(0)}, true, ftDateTime, 0},
      {"TIMESTAMP", {Text("last tuesday")}, true, ftString, 12},
      {"VARCHAR(35)", {Text("Demo")}, true, ftString, 35},
      {"VARCHAR(3)", {Text("longer")}, true, ftString, 6},
      // A text column without a length: room for edits longer than what was read.
      {"TEXT", {Text("\xc3\xa9t\xc3\xa9")}, true, ftString, kOpenStringSize},
      {"TEXT", {Text(std::string(300, 'x'))}, true, ftString, 300},
      {"VARCHAR(300)", {Text("\xc3\xa9t\xc3\xa9")}, true, ftString, 300},
      {"TEXT", {Null()}, true, ftString, kOpenStringSize},
      {"TEXT", {Text("ab")}, false, ftString, kOpenStringSize},
      {"TEXT", {Text(std::string(kLongestStringField + 1, 'x'))}, true, ftMemo, 0},
      {"CLOB", {Text("x")}, true, ftMemo, 0},
      {"BLOB", {Blob("\x01")}, true, ftBlob, 0},
      {"VARCHAR(10)", {Blob("\x01\x02")}, true, ftBlob, 0},
      {"GUID", {Text("{00000000-0000-0000-0000-000000000000}")}, true, ftGuid, 38},
      // No declared type (an expression): the stored values decide.
      {"", {Int(7)}, true, ftInteger, 0},
      {"", {Null(), Real(0.5)}, true, ftFloat, 0},
      {"", {Text("abc")}, true, ftString, 3},
      {"", {Text("\xc3\xa9t\xc3\xa9")}, true, ftString, 3},  // sized in the code page
      {"", {}, true, ftString, 1},
  };
  for (const auto& c : cases) {
    std::vector<SqlRow> rows;
    for (const auto& v : c.values) rows.push_back({v});
    const ColumnSpec spec = DecideColumn("c", c.declared, rows, 0, c.complete);
    EXPECT_EQ(spec.type, c.type) << c.declared;
    EXPECT_EQ(spec.size, c.size) << c.declared;
  }
}

TEST(RowPacket, TextCannotCarryTheFormatBytes) {
  // Bytes 2..8 would end the value or start a marker inside it.
  std::string text;
  AppendRow(text, {{"s", ftString, 20}}, {Text(std::string("a\x02" "b\x04" "c\x05" "d\x03", 8))});
  EXPECT_EQ(text, "a?b?c?d?\x02\x04");
  // A value that is only #3 would read as NULL.
  text.clear();
  AppendRow(text, {{"s", ftString, 1}}, {Text("\x03")});
  EXPECT_EQ(text, "?\x02\x04");
}

TEST(RowPacket, TextIsSentInTheSystemCodePage) {
  std::string text;
  AppendRow(text, {{"s", ftString, 10}, {"u", ftString, 1}},
            {Text("M\xc3\xbcller \xe2\x82\xac"), Text("\xe4\xb8\xad")});
  EXPECT_EQ(text, "M\xfcller \x80\x02?\x02\x04");
}

TEST(RowPacket, FieldDescriptionsAndLongNames) {
  const std::string d = FieldDescriptions({{"CompanyName", ftString, 35}, {"XPort", ftInteger, 0}});
  EXPECT_EQ(d, "CompanyName\x02" "1\x02" "35\x02\x04XPort\x02" "3\x02" "0\x02\x04");
  const std::string longName = FieldDescriptions({{std::string(300, 'n'), ftLargeint, 0}});
  EXPECT_EQ(longName.size(), kMaxDescriptionItem);
  EXPECT_EQ(longName.substr(longName.size() - 7), "\x02" "25\x02" "0\x02\x04");
  EXPECT_EQ(FieldDescriptions({{"a\x02" "b", ftString, 1}}), "a_b\x02" "1\x02" "1\x02\x04");
}

TEST(RowPacket, DatesInEverySqliteForm) {
  std::string text;
  const std::vector<ColumnSpec> date = {{"d", ftDate, 0}};
  AppendRow(text, date, {Int(86400)});        // unix seconds: 1970-01-02
  AppendRow(text, date, {Real(2415018.5)});   // julian day of 1899-12-30
  AppendRow(text, date, {Text("not a date")});
  EXPECT_EQ(text, std::string("\x05\x00\x00\x00\x00\x80\xf8\xd8\x40\x02\x04", 11) +
                      std::string("\x05\x00\x00\x00\x00\x00\x00\x00\x00\x02\x04", 11) +
                      "\x03\x02\x04");
}

TEST(RowPacket, IsoDateTexts) {
  struct Case {
    const char* text;
    std::optional<double> value;
  };
  const std::vector<Case> cases = {
      {"2024-01-31", 45322.0},
      {"2024-01-31 12:00", 45322.5},
      {"2024-01-31T06:00:00.000Z", 45322.25},
      {"2024-01-31 18:00:00+02:00", 45322.75},
      {"1899-12-29 06:00:00", -1.25},  // before day 0 the fraction still runs forwards
      {"12:00:00", 0.5},
      {"2024-02-30", std::nullopt},
      {"2024-01-31 25:00", std::nullopt},
      {"2024-1-31", std::nullopt},
      {"2024-01-31 12:00 trailing", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    const auto v = ParseIsoDateTime(c.text);
    ASSERT_EQ(v.has_value(), c.value.has_value()) << c.text;
    if (v) {
      EXPECT_DOUBLE_EQ(*v, *c.value) << c.text;
    }
  }
  EXPECT_EQ(FormatIsoDateTime(45322.5, ftDateTime), "2024-01-31 12:00:00");
  EXPECT_EQ(FormatIsoDateTime(45322.5, ftDate), "2024-01-31");
  EXPECT_EQ(FormatIsoDateTime(0.25 + 1.0 / 86400000 * 5, ftTime), "06:00:00.005");
}

}  // namespace
}  // namespace rda
