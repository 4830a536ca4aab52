// The reply parser without a connection: field descriptions, the double
// pattern, row data with every piece, the conversion by field type, and bad
// input given as byte fixtures.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <limits>
#include <string>
#include <vector>

#include "base/Bcd.h"
#include "base/ByteIO.h"
#include "base/DateTime.h"
#include "base/Exception.h"
#include "base/SqlTimeStamp.h"
#include "memdata/store/RdaBlobList.h"
#include "memdata/store/RdaDBList.h"
#include "remotedata/RdaRowPacket.h"
#include "tests/base/RaisesWith.h"

namespace rda {
namespace {

using test::RaisesWith;
using namespace std::string_literals;

// Pieces of the row data.
std::string Dbl(double v) {
  std::string s = "\x05";
  ByteWriter(s).PutDouble(v);
  return s;
}
std::string Cur(int64_t scaled) {
  std::string s = "\x08";
  ByteWriter(s).PutI64(scaled);
  return s;
}
std::string BcdPiece(const char* text) { return "\x07" + StrToBcd(text).ToBytes(); }
std::string Side(std::string_view bytes) {
  std::string s = "\x06";
  ByteWriter w(s);
  w.PutI32(static_cast<int32_t>(bytes.size()));
  w.PutBytes(bytes);
  return s;
}
std::string SideLength(int32_t length) {
  std::string s = "\x06";
  ByteWriter(s).PutI32(length);
  return s;
}
const std::string V = "\x02";   // value end
const std::string R = "\x04";   // row end
const std::string N = "\x03";   // NULL value
const std::string End = "NULL\x04";

struct Field {
  const char* name;
  TFieldType type;
  int size;
};

// A row store with the fields, loaded from rows text.
class Loaded {
 public:
  explicit Loaded(std::vector<Field> fields) {
    for (const Field& f : fields) store.AddField(f.name, f.type, f.size);
    store.CalcLayout();
    loader = std::make_unique<TRdaRowLoader>(store, blobs);
  }
  TRdaRowLoader::Result Load(const std::string& text) { return loader->Load(text, sink); }
  TRdaDBListItem& Row(int i) { return *store.Items(i); }

  struct Sink : TRdaRowSink {
    explicit Sink(TRdaDBList& s) : store(s) {}
    TRdaDBListItem& NewRow() override { return *store.AddWithID(++next); }
    void RowFilled(TRdaDBListItem&) override { ++filled; }
    TRdaDBList& store;
    int32_t next = 0;
    int filled = 0;
  };

  TRdaDBList store;
  TRdaBlobList blobs;
  Sink sink{store};
  std::unique_ptr<TRdaRowLoader> loader;
};

// ---------------------------------------------------------------------------
// Field descriptions

TEST(FieldDescriptions, ItemsBecomeFastFieldsLines) {
  const std::string text = "Comp_Name\x02" "1\x02" "35\x02\x04" "Version Number\x02" "1\x02" "8\x02\x04"
                           "Id\x02" "3\x02" "0\x02\x04";
  EXPECT_EQ(ParseFieldDescriptions(text),
            (std::vector<std::string>{"Comp_Name,1,35", "Version Number,1,8", "Id,3,25"}));
  EXPECT_TRUE(ParseFieldDescriptions("").empty());
}

TEST(FieldDescriptions, LowAndMissingPartsTakeTheDefaults) {
  struct Case {
    std::string item;
    std::string line;
  } cases[] = {
      {"A\x02" "0\x02" "10\x02", "A,1,10"},     // type below 1
      {"A\x02" "x\x02" "10\x02", "A,1,10"},     // type not a number
      {"A\x02" "6\x02" "-4\x02", "A,6,25"},     // size below 1
      {"A\x02" "6\x02", "A,6,25"},              // size missing
      {"A", "A,1,25"},                          // only a name
      {"a,b\x02" "6\x02" "0\x02", "a,b,6,25"},  // a comma stays in the name
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseFieldDescriptions(c.item + "\x04"), std::vector<std::string>{c.line}) << c.line;
  }
}

TEST(FieldDescriptions, RepeatedNamesGetASuffix) {
  const std::string item = "\x02" "3\x02" "0\x02\x04";
  EXPECT_EQ(ParseFieldDescriptions("id" + item + "ID" + item + "id_1" + item + "id" + item),
            (std::vector<std::string>{"id,3,25", "ID_1,3,25", "id_1_1,3,25", "id_2,3,25"}));
}

TEST(FieldDescriptions, UnknownTypeAndHugeSizeAreRefused) {
  EXPECT_TRUE(RaisesWith<ERdaProtocolError>(
      [] { ParseFieldDescriptions("X\x02" "38\x02" "0\x02\x04"); },
      "Field 'X' is described with the unknown type code 38"));
  EXPECT_TRUE(RaisesWith<ERdaProtocolError>(
      [] { ParseFieldDescriptions("T\x02" "1\x02" "2000000\x02\x04"); },
      "Field 'T' is described with the size 2000000, more than a row can hold"));
  // A fixed-size type ignores its size.
  EXPECT_EQ(ParseFieldDescriptions("I\x02" "3\x02" "2000000\x02\x04"),
            std::vector<std::string>{"I,3,2000000"});
}

// ---------------------------------------------------------------------------
// The double pattern

TEST(RowDouble, FollowsThePattern) {
  struct Case {
    double value;
    const char* text;
  } cases[] = {
      {0.0, ""},
      {-0.0, ""},
      {0.5, ".5"},
      {-0.5, "-.5"},
      {12.25, "12.25"},
      {100, "100"},
      {0.1 + 0.2, ".3"},                       // 15 significant digits
      {1.0 / 3, ".333333333333333"},           // 15 decimals
      {123456.789, "123456.789"},
      {1e-16, ""},                             // below the 15th decimal
      {3e-15, ".000000000000003"},
      {123456789012345678.0, "123456789012346000"},
      {1e20, "1E20"},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatRowDouble(c.value, '.'), c.text) << c.value;
  EXPECT_EQ(FormatRowDouble(-1234.5, ','), "-1234,5");
  EXPECT_EQ(FormatRowDouble(std::numeric_limits<double>::infinity(), '.'), "INF");
}

// ---------------------------------------------------------------------------
// Rows

TEST(RowData, TextValuesNullsAndTheEndRow) {
  Loaded t({{"S", ftString, 10}, {"I", ftInteger, 0}, {"F", ftFloat, 0}});
  const auto result =
      t.Load("abc" + V + "42" + V + "1.5" + V + R +  // a full row
             N + V + N + V + N + V + R +               // every value NULL
             "" + V + "x" + V + R +                    // empty text; F has no value
             "a" + V + "7" + V + "2.5" + R +           // the last value is not terminated
             End + "ignored" + V + R);
  EXPECT_TRUE(result.EndRowSeen);
  ASSERT_EQ(result.RowsAdded, 4);
  ASSERT_EQ(t.store.Count(), 4);
  EXPECT_EQ(t.Row(0).GetText(0), "abc");
  EXPECT_EQ(t.Row(0).GetInt32(1), 42);
  EXPECT_EQ(t.Row(0).GetDouble(2), 1.5);
  for (int f = 0; f < 3; ++f) EXPECT_TRUE(t.Row(1).IsNull(f)) << f;
  // An empty text is a value; text that is no number reads 0; a field without
  // a value reads the empty text, which is 0 for a number, not NULL.
  EXPECT_FALSE(t.Row(2).IsNull(0));
  EXPECT_EQ(t.Row(2).GetText(0), "");
  EXPECT_FALSE(t.Row(2).IsNull(1));
  EXPECT_EQ(t.Row(2).GetInt32(1), 0);
  EXPECT_FALSE(t.Row(2).IsNull(2));
  EXPECT_EQ(t.Row(3).GetInt32(1), 7);
  EXPECT_FALSE(t.Row(3).IsNull(2));
  EXPECT_EQ(t.Row(3).GetDouble(2), 0.0);
  EXPECT_EQ(t.sink.filled, 4);
  EXPECT_EQ(t.store.Verify(), "");
}

TEST(RowData, EmptyResultIsTheEndRowAlone) {
  Loaded t({{"S", ftString, 10}});
  const auto result = t.Load(End);
  EXPECT_TRUE(result.EndRowSeen);
  EXPECT_EQ(result.RowsAdded, 0);
  EXPECT_EQ(t.store.Count(), 0);
}

TEST(RowData, BinaryPiecesAloneKeepEveryDigit) {
  Loaded t({{"F", ftFloat, 0}, {"C", ftCurrency, 0}, {"B", ftBCD, 4}, {"M", ftFMTBcd, 6},
            {"D", ftDateTime, 0}, {"S", ftString, 40}});
  const double tiny = 6.62607015e-34;
  const double third = 1.0 / 3;
  t.Load(Dbl(tiny) + V + Cur(123456) + V + Cur(-98765) + V + BcdPiece("-12.345678") + V +
         Dbl(45000.25) + V + Dbl(third) + V + R);
  TRdaDBListItem& row = t.Row(0);
  EXPECT_EQ(row.GetDouble(0), tiny);
  EXPECT_EQ(row.GetDouble(1), 12.3456);
  EXPECT_EQ(row.GetInt64(2), -98765);
  EXPECT_EQ(BcdToStr(row.GetBcd(3)), "-12.345678");
  EXPECT_EQ(row.GetDouble(4), TimeStampToMSecs(DateTimeToTimeStamp(45000.25)));
  EXPECT_EQ(row.GetText(5), ".333333333333333");  // a text field gets the pattern's text
}

TEST(RowData, PiecesInsideTextBecomeText) {
  Loaded t({{"S", ftString, 60}, {"F", ftFloat, 0}, {"I", ftInteger, 0}});
  t.Load("a" + Dbl(2.5) + "b" + Cur(15000) + "c" + BcdPiece("7.25") + V +  // mixed
         "1" + Dbl(0.5) + V +                                              // "1.5"
         Dbl(12) + "3" + V + R);                                           // "123"
  EXPECT_EQ(t.Row(0).GetText(0), "a2.5b1.5c7.25");
  EXPECT_EQ(t.Row(0).GetDouble(1), 1.5);
  EXPECT_EQ(t.Row(0).GetInt32(2), 123);
}

TEST(RowData, ZeroDoubleIsEmptyTextAndZeroNumber) {
  Loaded t({{"F", ftFloat, 0}, {"S", ftString, 10}, {"I", ftInteger, 0}});
  t.Load(Dbl(0) + V + Dbl(0) + V + Dbl(0) + V + R);
  EXPECT_FALSE(t.Row(0).IsNull(0));
  EXPECT_EQ(t.Row(0).GetDouble(0), 0.0);
  EXPECT_FALSE(t.Row(0).IsNull(1));
  EXPECT_EQ(t.Row(0).GetText(1), "");
  EXPECT_EQ(t.Row(0).GetInt32(2), 0);
}

TEST(RowData, SideListEntriesFeedBytesAndBlobsPerRow) {
  Loaded t({{"B", ftBlob, 0}, {"Y", ftBytes, 4}, {"M", ftMemo, 0}, {"S", ftString, 10}});
  const std::string binary("\x00\x02\x04\xff", 4);  // separators inside a piece are bytes
  t.Load(Side(binary) + V + Side("wxyz!") + V + Side("memo text") + V + Side("q") + V + R +
         SideLength(0) + V + SideLength(-5) + V + "" + V + "0" + V + R +  // no entries: NULL
         "1" + Side("first") + V + Side("second") + V + "0" + V + "" + V + R);
  ASSERT_EQ(t.store.Count(), 3);
  TRdaDBListItem& r0 = t.Row(0);
  EXPECT_EQ(t.blobs.FindBlob(r0.GetInt32(0), 1)->Bytes(), binary);
  EXPECT_EQ(r0.GetBytes(1), "wxyz");  // cut to the field's size
  EXPECT_EQ(t.blobs.FindBlob(r0.GetInt32(2), 3)->Bytes(), "memo text");
  EXPECT_EQ(r0.GetText(3), "3");  // a text field shows the entry's index
  TRdaDBListItem& r1 = t.Row(1);
  EXPECT_TRUE(r1.IsNull(0));
  EXPECT_TRUE(r1.IsNull(1));
  EXPECT_TRUE(r1.IsNull(2));  // empty text
  EXPECT_EQ(r1.GetText(3), "0");
  // The side list starts again with each row; "1" + piece reads as index 10,
  // which this row does not have.
  TRdaDBListItem& r2 = t.Row(2);
  EXPECT_TRUE(r2.IsNull(0));
  EXPECT_EQ(r2.GetBytes(1).substr(0, 4), "seco");
  EXPECT_EQ(t.blobs.FindBlob(r2.GetInt32(2), 3)->Bytes(), "first");
  EXPECT_EQ(t.blobs.Count(), 3);
}

TEST(RowData, ConversionByFieldType) {
  struct Case {
    TFieldType type;
    std::string text;
    std::function<bool(TRdaDBListItem&)> check;
    const char* what;
  };
  const double day = 45000.75;
  const std::vector<Case> cases = {
      {ftSmallint, "-32768", [](auto& r) { return r.GetInt16(0) == -32768; }, "smallint"},
      {ftSmallint, "70000", [](auto& r) { return r.GetInt16(0) == 0; }, "smallint out of range"},
      {ftWord, "65535", [](auto& r) { return static_cast<uint16_t>(r.GetInt16(0)) == 65535; }, "word"},
      {ftWord, "-1", [](auto& r) { return r.GetInt16(0) == 0; }, "word below 0"},
      {ftInteger, " 5", [](auto& r) { return r.GetInt32(0) == 0; }, "integer with a blank"},
      {ftAutoInc, "2147483647", [](auto& r) { return r.GetInt32(0) == 2147483647; }, "autoinc"},
      {ftLargeint, "-9000000000", [](auto& r) { return r.GetInt64(0) == -9000000000; }, "largeint"},
      {ftBoolean, "1", [](auto& r) { return r.GetInt16(0) == -1; }, "true"},
      {ftBoolean, "True", [](auto& r) { return r.GetInt16(0) == 0 && !r.IsNull(0); }, "only 1 is true"},
      {ftFloat, "1.5E3", [](auto& r) { return r.GetDouble(0) == 1500; }, "float"},
      {ftFloat, "abc", [](auto& r) { return r.GetDouble(0) == 0; }, "float unreadable"},
      {ftBCD, "12.34567", [](auto& r) { return r.GetInt64(0) == 123457; }, "bcd as currency"},
      {ftFMTBcd, "x", [](auto& r) { return BcdToStr(r.GetBcd(0)) == "0"; }, "fmtbcd unreadable"},
      {ftDate, "45000.75",
       [](auto& r) { return r.GetInt64(0) == 45000 + kDateDelta; }, "date"},
      {ftTime, ".5", [](auto& r) { return r.GetInt32(0) == 43200000; }, "time"},
      {ftDateTime, "45000.75",
       [&](auto& r) { return r.GetDouble(0) == TimeStampToMSecs(DateTimeToTimeStamp(day)); }, "datetime"},
      {ftDateTime, "1e300",
       [](auto& r) { return r.GetDouble(0) == TimeStampToMSecs(DateTimeToTimeStamp(0)); }, "outside the calendar"},
      {ftTimeStamp, "", [](auto& r) { return r.GetTimeStamp(0) == SqlTimeStamp{} && !r.IsNull(0); }, "zero stamp"},
      {ftTimeStamp, "45000.75",
       [&](auto& r) { return r.GetTimeStamp(0) == DateTimeToSqlTimeStamp(day); }, "time stamp"},
      {ftWideString, "caf\xe9", [](auto& r) { return r.GetWideText(0) == u"caf\u00e9"; }, "wide text"},
      {ftGuid, "{00000000-0000-0000-0000-000000000001}",
       [](auto& r) { return r.GetText(0) == "{00000000-0000-0000-0000-000000000001}"; }, "guid"},
      {ftCursor, "1", [](auto& r) { return r.IsNull(0); }, "unstored type"},
  };
  for (const Case& c : cases) {
    Loaded t({{"X", c.type, c.type == ftGuid ? 38 : 10}});
    t.Load(c.text + V + R);
    ASSERT_EQ(t.store.Count(), 1) << c.what;
    EXPECT_TRUE(c.check(t.Row(0))) << c.what;
  }
}

// ---------------------------------------------------------------------------
// Bad input: a clear error, the rows before it kept, nothing read outside.

TEST(RowData, BadInputRaisesAndKeepsTheRowsBefore) {
  const std::string good = "a" + V + R;
  struct Case {
    std::string bad;
    const char* message;
  } cases[] = {
      {"a" + V + "b" + V + R, "Row 2 of a row packet holds more values than the 1 fields described"},
      {SideLength(100) + "short", "The row data of a row packet ends inside a binary value of row 2"},
      {"\x05\x01\x02", "The row data of a row packet ends inside a binary value of row 2"},
      {"x" + BcdPiece("1").substr(0, 20), "The row data of a row packet ends inside a binary value of row 2"},
      {"\x08" "1234567", "The row data of a row packet ends inside a binary value of row 2"},
      {"abc" + V + "def", "The row data of a row packet ends inside row 2"},
      {Dbl(1.5), "The row data of a row packet ends inside row 2"},
  };
  for (const Case& c : cases) {
    Loaded t({{"S", ftString, 10}});
    EXPECT_TRUE(RaisesWith<ERdaProtocolError>([&] { t.Load(good + c.bad); }, c.message)) << c.message;
    EXPECT_EQ(t.store.Count(), 1) << c.message;
    EXPECT_EQ(t.sink.filled, 1);
  }
}

TEST(RowData, ATruncatedPacketNeverReadsPastItsEnd) {
  // Every prefix of a packet with every piece either loads or raises
  // ERdaProtocolError; the sanitizer builds check that nothing is read
  // beyond the prefix (each prefix is copied to a buffer of its own size).
  const std::string packet = "t" + Dbl(1.25) + V + Cur(5) + V + BcdPiece("3.5") + V +
                             Side("blob") + V + N + V + R + End;
  for (size_t n = 0; n <= packet.size(); ++n) {
    Loaded t({{"S", ftString, 10}, {"C", ftCurrency, 0}, {"B", ftFMTBcd, 4}, {"L", ftBlob, 0},
              {"I", ftInteger, 0}});
    const std::unique_ptr<char[]> copy(new char[n == 0 ? 1 : n]);
    std::memcpy(copy.get(), packet.data(), n);
    try {
      t.loader->Load(std::string_view(copy.get(), n), t.sink);
    } catch (const ERdaProtocolError&) {
    }
    EXPECT_LE(t.store.Count(), 1);
  }
}

}  // namespace
}  // namespace rda
