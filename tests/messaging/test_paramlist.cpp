#include "messaging/RdaParamList.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <functional>
#include <limits>

#include "base/ByteIO.h"

namespace rda {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

std::unique_ptr<TRdaParamList> RoundTrip(const TRdaParamList& list) {
  return TRdaParamList::FromText(list.ToText(false));
}

std::vector<std::string> Names(const TRdaParamList& list) {
  std::vector<std::string> names;
  for (int i = 0; i < list.Count(); ++i) names.push_back(list.Items(i).Name());
  return names;
}

// One record of the text form, built by hand.
std::string Record(std::string_view itemText) {
  std::string out(4, '\0');
  StoreI32LE(out.data(), static_cast<int32_t>(itemText.size()));
  out += itemText;
  return out;
}

template <class E, class F>
std::string MessageOf(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e.Message();
  }
  return "<no exception>";
}

TEST(ParamListText, OneIntegerItemHasTheDocumentedBytes) {
  TRdaParamList list;
  TRdaParamItem& item = list.Add();
  item.SetName("ID");
  item.SetAsInteger(42);

  const std::string expected = std::string("\x0D\x00\x00\x00", 4) + "ID\x06" "3\x06" "1\x06" "0\x06" "2\x06" "42";
  EXPECT_EQ(list.ToText(false), expected);

  auto back = TRdaParamList::FromText(expected);
  ASSERT_EQ(back->Count(), 1);
  EXPECT_EQ(back->Items(0).Name(), "ID");
  EXPECT_EQ(back->Items(0).DataType(), ftInteger);
  EXPECT_EQ(back->Items(0).ParamType(), ptInput);
  EXPECT_FALSE(back->Items(0).IsNull());
  EXPECT_EQ(back->Items(0).AsInteger(), 42);
  EXPECT_EQ(TRdaParamList().ToText(false), "");
  EXPECT_EQ(TRdaParamList::FromText("")->Count(), 0);
}

// Every typed setter: the stored form it writes, and the value read back
// through the text form.
TEST(ParamListText, EveryDataTypeRoundTrips) {
  const Bcd bcd = StrToBcd("-1234567.890123");
  const SqlTimeStamp ts{2024, 2, 29, 23, 59, 58, 123};
  const std::string guid = "{0123ABCD-4567-89EF-0123-456789ABCDEF}";
  const std::string bytes("\x00\x01\x06\xFF", 4);
  struct Case {
    const char* what;
    std::function<void(TRdaParamItem&)> set;
    TFieldType type;
    size_t storedSize;  // 0: don't check
    char tag;           // first stored byte, 0: don't check
    std::function<bool(const TRdaParamItem&)> check;
  };
  const Case cases[] = {
      {"string", [](auto& p) { p.SetAsString("h\xE9llo"); }, ftString, 5, 0,
       [](auto& p) { return p.AsString() == "h\xE9llo"; }},
      {"memo", [](auto& p) { p.SetAsMemo("a\r\nb"); }, ftMemo, 4, 0,
       [](auto& p) { return p.AsMemo() == "a\r\nb"; }},
      {"blob", [&](auto& p) { p.SetAsBlob(bytes); }, ftBlob, 4, 0,
       [&](auto& p) { return p.AsBlob() == bytes && p.AsStream() == bytes; }},
      {"smallint", [](auto& p) { p.SetAsSmallint(-32768); }, ftSmallint, 6, '-',
       [](auto& p) { return p.AsSmallint() == -32768; }},
      {"word", [](auto& p) { p.SetAsWord(65535); }, ftWord, 5, '6',
       [](auto& p) { return p.AsWord() == 65535; }},
      {"integer", [](auto& p) { p.SetAsInteger(INT32_MIN); }, ftInteger, 11, '-',
       [](auto& p) { return p.AsInteger() == INT32_MIN; }},
      {"largeint", [](auto& p) { p.SetAsLargeint(INT64_MAX); }, ftLargeint, 19, '9',
       [](auto& p) { return p.AsLargeint() == INT64_MAX; }},
      {"boolean", [](auto& p) { p.SetAsBoolean(true); }, ftBoolean, 4, 'T',
       [](auto& p) { return p.AsBoolean(); }},
      {"float", [](auto& p) { p.SetAsFloat(-2.5e-300); }, ftFloat, 9, '\x05',
       [](auto& p) { return p.AsFloat() == -2.5e-300; }},
      {"date", [](auto& p) { p.SetAsDate(45000); }, ftDate, 9, '\x05',
       [](auto& p) { return p.AsDate() == 45000; }},
      {"time", [](auto& p) { p.SetAsTime(0.75); }, ftTime, 9, '\x05',
       [](auto& p) { return p.AsTime() == 0.75; }},
      {"datetime", [](auto& p) { p.SetAsDateTime(-1.25); }, ftDateTime, 9, '\x05',
       [](auto& p) { return p.AsDateTime() == -1.25; }},
      {"currency", [](auto& p) { p.SetAsCurrency(Currency::FromScaled(-922337203685477580)); },
       ftCurrency, 9, '\x08',
       [](auto& p) { return p.AsCurrency().Scaled == -922337203685477580; }},
      {"bcd", [](auto& p) { p.SetAsBCD(Currency::FromScaled(125000)); }, ftBCD, 9, '\x08',
       [](auto& p) { return p.AsBCD().Scaled == 125000; }},
      {"fmtbcd", [&](auto& p) { p.SetAsFMTBCD(bcd); }, ftFMTBcd, 35, '\x07',
       [&](auto& p) { return p.AsFMTBCD() == bcd; }},
      {"timestamp", [&](auto& p) { p.SetAsSQLTimeStamp(ts); }, ftTimeStamp, 17, '\x09',
       [&](auto& p) { return p.AsSQLTimeStamp() == ts; }},
      {"guid", [&](auto& p) { p.SetAsGuid(guid); }, ftGuid, 38, '{',
       [&](auto& p) { return p.AsGuid() == guid && p.AsString() == guid; }},
      {"bytes", [&](auto& p) { p.SetValue(Variant::FromBytes(bytes)); }, ftBytes, 4, 0,
       [&](auto& p) { return p.Value() == Variant::FromBytes(bytes); }},
      {"varbytes", [&](auto& p) { p.SetDataType(ftVarBytes); p.SetValue(Variant::FromBytes(bytes)); },
       ftVarBytes, 4, 0, [&](auto& p) { return p.AsString() == bytes; }},
      {"idispatch", [](auto& p) { p.SetValue(Variant::FromInterface(123456789)); }, ftIDispatch,
       9, '1', [](auto& p) { return p.Value() == Variant::FromInterface(123456789); }},
      {"autoinc", [](auto& p) { p.SetDataType(ftAutoInc); p.SetAsText("77"); }, ftAutoInc, 2, '7',
       [](auto& p) { return p.AsInteger() == 77; }},
      {"oraclob", [](auto& p) { p.SetDataType(ftOraClob); p.SetAsText("clob"); }, ftOraClob, 4, 'c',
       [](auto& p) { return p.AsMemo() == "clob"; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TRdaParamList list;
    list.Add().SetName("before");
    TRdaParamItem& item = list.Add();
    item.SetName(c.what);
    c.set(item);
    list.Add().SetName("after");
    EXPECT_EQ(item.DataType(), c.type);
    EXPECT_FALSE(item.IsNull());
    EXPECT_EQ(item.StoredValue().size(), c.storedSize);
    if (c.tag) {
      EXPECT_EQ(item.StoredValue()[0], c.tag);
    }

    auto back = RoundTrip(list);
    ASSERT_EQ(back->Count(), 3);
    EXPECT_TRUE(*back == list);
    EXPECT_TRUE(c.check(back->Items(1)));
  }
}

TEST(ParamListText, ValuesKeepEveryByteAndEveryBit) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  const double doubles[] = {0.1, -0.0, std::nextafter(1.0, 2.0), 5e-324,
                            std::numeric_limits<double>::max(),
                            std::bit_cast<double>(uint64_t{0x7FF8000000000123})};
  TRdaParamList list;
  list.Add().SetAsBlob(all);
  list.Add().SetAsString("\x06\x06name\x06");
  for (double d : doubles) list.Add().SetAsFloat(d);

  auto back = RoundTrip(list);
  ASSERT_EQ(back->Count(), list.Count());
  EXPECT_EQ(back->Items(0).AsBlob(), all);
  EXPECT_EQ(back->Items(1).AsString(), "\x06\x06name\x06");
  for (size_t i = 0; i < std::size(doubles); ++i)
    EXPECT_EQ(std::bit_cast<uint64_t>(back->Items(static_cast<int>(i) + 2).AsFloat()),
              std::bit_cast<uint64_t>(doubles[i]))
        << i;
}

TEST(ParamListText, InputsOnlyKeepsInputAndInputOutput) {
  TRdaParamList list;
  const TRdaParamType types[] = {ptUnknown, ptInput, ptOutput, ptInputOutput, ptResult};
  for (TRdaParamType t : types) list.CreateParam(ftString, "p" + std::to_string(t), t);
  EXPECT_THAT(Names(*TRdaParamList::FromText(list.ToText(true))), ElementsAre("p1", "p3"));
  EXPECT_EQ(TRdaParamList::FromText(list.ToText(false))->Count(), 5);
}

TEST(ParamListText, TaggedFormsAreReadLeniently) {
  std::string raw8(8, '\0');
  StoreU64LE(raw8.data(), std::bit_cast<uint64_t>(2.5));
  std::string cur8(8, '\0');
  StoreU64LE(cur8.data(), 35000);
  const SqlTimeStamp ts{1999, 12, 31, 1, 2, 3, 4};
  const Bcd bcd = StrToBcd("42.5");
  auto item = [](int type, std::string_view value) {
    return Record("x\x06" + std::to_string(type) + "\x06" "1\x06" "0\x06" +
                  std::to_string(value.size()) + "\x06" + std::string(value));
  };
  const std::string text = item(ftFloat, raw8) + item(ftDate, "\x05" "abc") +
                           item(ftCurrency, cur8) + item(ftBCD, "\x05" + cur8) +
                           item(ftTimeStamp, ts.ToBytes()) + item(ftFMTBcd, bcd.ToBytes()) +
                           item(ftFMTBcd, "\x07" "short") + item(ftInteger, "12abc");
  auto list = TRdaParamList::FromText(text);
  ASSERT_EQ(list->Count(), 8);
  EXPECT_EQ(list->Items(0).AsFloat(), 2.5);
  EXPECT_EQ(list->Items(1).AsDate(), 0);
  EXPECT_EQ(list->Items(2).AsCurrency().Scaled, 35000);
  EXPECT_EQ(list->Items(3).AsBCD().Scaled, 0);  // wrong tag
  EXPECT_EQ(list->Items(4).AsSQLTimeStamp(), ts);
  EXPECT_EQ(list->Items(5).AsFMTBCD(), bcd);
  EXPECT_EQ(list->Items(6).AsFMTBCD(), Bcd{});
  EXPECT_EQ(list->Items(7).AsInteger(), 0);
}

TEST(ParamListText, HeaderNumbersAreLenientAndTypesKeptAsRead) {
  // Missing parts, a type this system does not know, a null item that
  // still carries bytes.
  const std::string text = Record("bare") + Record("t\x06" "40\x06" "9\x06" "0\x06" "1\x06" "z") +
                           Record("n\x06" "1\x06" "1\x06" "7\x06" "3\x06" "abc") +
                           Record("q\x06" "x\x06" "y\x06" "0\x06" "2\x06" "okEXTRA");
  auto list = TRdaParamList::FromText(text);
  ASSERT_EQ(list->Count(), 4);
  EXPECT_EQ(list->Items(0).Name(), "bare");
  EXPECT_EQ(list->Items(0).DataType(), ftUnknown);
  EXPECT_EQ(list->Items(0).ParamType(), ptUnknown);
  EXPECT_FALSE(list->Items(0).IsNull());
  EXPECT_EQ(static_cast<int>(list->Items(1).DataType()), 40);
  EXPECT_EQ(static_cast<int>(list->Items(1).ParamType()), 9);
  EXPECT_EQ(list->Items(1).AsString(), "z");
  EXPECT_TRUE(list->Items(2).IsNull());
  EXPECT_EQ(list->Items(2).StoredValue(), "");
  EXPECT_EQ(list->Items(3).DataType(), ftUnknown);
  EXPECT_EQ(list->Items(3).StoredValue(), "ok");
  // What is read is written back the same way.
  EXPECT_TRUE(*RoundTrip(*list) == *list);
}

TEST(ParamListText, MalformedTextRaisesAndMakesNoList) {
  const std::string good = Record("a\x06" "1\x06" "1\x06" "0\x06" "1\x06" "v");
  std::string negative(4, '\0');
  StoreI32LE(negative.data(), -1);
  struct Case {
    const char* what;
    std::string text;
    const char* says;
  };
  const Case cases[] = {
      {"length cut short", good + std::string("\x05\x00", 2), "cut short"},
      {"negative record length", good + negative + "abcd", "negative record length -1"},
      {"record past the end", good.substr(0, good.size() - 1), "claims 11 bytes, 10 remain"},
      {"negative value length", Record("a\x06" "1\x06" "1\x06" "0\x06" "-3\x06" "abc"),
       "negative value length -3"},
      {"value past the record", Record("a\x06" "1\x06" "1\x06" "0\x06" "4\x06" "abc") + good,
       "value length 4 runs past"},
      {"value without its separator", Record("a\x06" "1\x06" "1\x06" "0\x06" "2"),
       "value length 2 runs past"},
      {"huge value length", Record("a\x06" "1\x06" "1\x06" "0\x06" "2147483648\x06" "x"),
       "runs past"},
      {"data type beyond a byte", Record("a\x06" "256\x06" "1\x06" "0\x06" "0\x06"),
       "data type 256 out of range"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string message = MessageOf<ERdaParamException>([&] { TRdaParamList::FromText(c.text); });
    EXPECT_THAT(message, StartsWith("Invalid parameter list text: "));
    EXPECT_THAT(message, HasSubstr(c.says));
  }
}

TEST(ParamListText, NameWithSeparatorIsRefusedOnWrite) {
  TRdaParamList list;
  list.Add().SetName("a\x06" "b");
  EXPECT_THROW(list.ToText(false), ERdaParamException);
}

TEST(ParamList, DefaultNamesCountOnAcrossClearAndDelete) {
  TRdaParamList list;
  EXPECT_EQ(list.Add().Name(), "Param0");
  EXPECT_EQ(list.Add().Name(), "Param1");
  list.Delete(0);
  list.Clear();
  TRdaParamItem& item = list.Add();
  EXPECT_EQ(item.Name(), "Param2");
  EXPECT_EQ(item.ParamType(), ptInput);
  EXPECT_EQ(item.DataType(), ftUnknown);
  EXPECT_TRUE(item.IsNull());
  EXPECT_EQ(item.Size(), 0);
}

TEST(ParamList, FindParamTrimsStoredNamesOnly) {
  TRdaParamList list;
  list.Add().SetName(" Id\t");
  list.Add().SetName("ID");
  EXPECT_EQ(list.FindParam("id"), &list.Items(0));
  EXPECT_EQ(list.FindParam(" id"), nullptr);
  EXPECT_EQ(list.FindParam("i"), nullptr);
  EXPECT_EQ(&list.ParamByName("iD"), &list.Items(0));
  EXPECT_EQ(MessageOf<ERdaParamException>([&] { list.ParamByName("nope"); }),
            "Parameter Not Found: nope");

  EXPECT_TRUE(list.DeleteParam("ID"));
  EXPECT_THAT(Names(list), ElementsAre("ID"));
  EXPECT_FALSE(list.DeleteParam("other"));
  // Case folding follows the system's code page.
  list.Add().SetName("\xC9t\xE9");
  EXPECT_EQ(list.FindParam("\xE9T\xC9"), &list.Items(1));
}

TEST(ParamList, FastAddNamesByPositionAndUpdatesByName) {
  TRdaParamList list;
  list.FastAdd(Variant(int32_t{1}));
  list.FastAdd(Variant("two"));
  EXPECT_THAT(Names(list), ElementsAre("FastAdd0", "FastAdd1"));
  EXPECT_EQ(list.Items(1).AsString(), "two");
  EXPECT_EQ(list.Items(1).ParamType(), ptInput);

  list.FastAdd("fastadd0", Variant(2.5));
  EXPECT_EQ(list.Count(), 2);
  EXPECT_EQ(list.Items(0).DataType(), ftFloat);
  list.FastAdd("new", Variant(true));
  EXPECT_THAT(Names(list), ElementsAre("FastAdd0", "FastAdd1", "new"));
  EXPECT_TRUE(list.Items(2).AsBoolean());
}

TEST(ParamList, ItemsIsChecked) {
  TRdaParamList list;
  list.Add();
  EXPECT_EQ(MessageOf<ERdaParamException>([&] { list.Items(-1); }), "Index -1 Out of bounds");
  EXPECT_EQ(MessageOf<ERdaParamException>([&] { list.Items(1); }), "Index 1 Out of bounds");
  EXPECT_EQ(MessageOf<ERdaParamException>([&] { list.AssignItem(5, list.Items(0)); }),
            "Index 5 Out of bounds");
}

TEST(ParamList, CopiesAreDeepAndCopyValuesMatchesByName) {
  TRdaParamList list;
  list.CreateParam(ftString, "a", ptOutput).SetAsString("one");
  list.Items(0).SetSize(20);
  list.CreateParam(ftInteger, "b", ptInput).SetAsInteger(2);

  auto clone = list.Clone();
  EXPECT_TRUE(*clone == list);
  EXPECT_EQ(clone->Items(0).Size(), 20);
  EXPECT_EQ(clone->Items(0).Collection(), clone.get());
  clone->Items(0).SetAsString("changed");
  EXPECT_EQ(list.Items(0).AsString(), "one");

  list.CopyTo(list, false);  // into itself: doubles once, then stops
  EXPECT_THAT(Names(list), ElementsAre("a", "b", "a", "b"));

  TRdaParamList target;
  target.Add().SetName("B");
  target.Add().SetName("c");
  list.CopyValuesTo(target);
  EXPECT_EQ(target.Items(0).Name(), "b");  // the whole item is assigned, name too
  EXPECT_EQ(target.Items(0).AsInteger(), 2);
  EXPECT_TRUE(target.Items(1).IsNull());

  target.AssignItem(1, list.Items(0));
  EXPECT_TRUE(target.Items(1) == list.Items(0));
  target.CopyTo(list, true);
  EXPECT_THAT(Names(list), ElementsAre("b", "a"));
}

TEST(ParamItem, NullAndSizeInvariants) {
  TRdaParamList list;
  TRdaParamItem& item = list.Add();
  item.SetName("s");
  item.SetAsString("x");
  item.SetAsString("");
  EXPECT_TRUE(item.IsNull());
  EXPECT_EQ(item.AsString(), "");
  EXPECT_EQ(list.ToText(false), Record("s\x06" "1\x06" "1\x06" "1\x06" "0\x06"));

  item.SetAsInteger(5);
  item.SetIsNull(false);
  EXPECT_EQ(item.AsInteger(), 5);
  item.SetIsNull(true);
  EXPECT_EQ(item.StoredValue(), "");
  item.SetIsNull(false);  // stays empty
  EXPECT_EQ(item.StoredValue(), "");

  item.SetIsNull(true);
  EXPECT_EQ(item.AsInteger(), 0);
  EXPECT_EQ(item.AsFloat(), 0);
  EXPECT_FALSE(item.AsBoolean());
  EXPECT_EQ(item.AsCurrency().Scaled, 0);
  EXPECT_EQ(item.AsSQLTimeStamp(), SqlTimeStamp{});
  EXPECT_EQ(item.AsStream(), "");
  EXPECT_TRUE(item.Value().IsNull());
  item.SetDataType(ftGuid);
  EXPECT_EQ(item.AsString(), kNullGuidText);
  EXPECT_EQ(item.AsGuid(), kNullGuidText);
  item.SetAsGuid("{too-short}");
  EXPECT_EQ(item.DataType(), ftGuid);
  EXPECT_TRUE(item.IsNull());
  item.SetAsMemo("");
  EXPECT_TRUE(item.IsNull());
  EXPECT_EQ(item.DataType(), ftMemo);

  // Size: only sized types, only >= 0.
  item.SetSize(10);
  EXPECT_EQ(item.Size(), 10);
  item.SetSize(-1);
  EXPECT_EQ(item.Size(), 10);
  item.SetAsInteger(1);
  item.SetSize(4);
  EXPECT_EQ(item.Size(), 10);
}

TEST(ParamItem, DisplayNameRefusesDuplicatesNameDoesNot) {
  TRdaParamList list;
  list.Add().SetName("Code");
  TRdaParamItem& other = list.Add();
  EXPECT_EQ(MessageOf<Exception>([&] { other.SetDisplayName("CODE"); }),
            "Error: Duplicate Param Name");
  EXPECT_EQ(other.Name(), "Param1");
  other.SetDisplayName("Param1");  // its own name is no duplicate
  other.SetName("code");
  EXPECT_EQ(other.DisplayName(), "code");
  list.Items(0).SetDisplayName("x");  // free now
  EXPECT_EQ(list.Items(0).Index(), 0);
  EXPECT_EQ(other.Index(), 1);
}

TEST(ParamItem, GettersConvertOtherTypes) {
  TRdaParamItem item;
  item.SetAsFloat(1.5);
  EXPECT_EQ(item.AsString(), "1.5");
  EXPECT_EQ(item.AsCurrency().Scaled, 15000);
  item.SetAsInteger(42);
  EXPECT_EQ(item.AsString(), "42");
  EXPECT_EQ(item.AsFloat(), 42.0);
  item.SetAsBoolean(false);
  EXPECT_EQ(item.AsString(), "False");
  item.SetAsString("17");
  EXPECT_EQ(item.AsInteger(), 17);
  item.SetAsString("seventeen");
  EXPECT_THROW(item.AsInteger(), EVariantError);
  item.SetAsSQLTimeStamp(SqlTimeStamp{2000, 1, 1, 12, 0, 0, 0});
  EXPECT_EQ(item.AsDateTime(), EncodeDate(2000, 1, 1) + 0.5);
  item.SetAsDateTime(EncodeDate(2001, 2, 3));
  EXPECT_EQ(item.AsSQLTimeStamp(), (SqlTimeStamp{2001, 2, 3, 0, 0, 0, 0}));
  item.SetAsCurrency(Currency::FromScaled(-5));
  EXPECT_EQ(BcdToStr(item.AsFMTBCD()), "-0.0005");
}

TEST(ParamItem, SetAsTextByType) {
  struct Case {
    TFieldType type;
    const char* text;
    TFieldType after;
    std::function<bool(const TRdaParamItem&)> check;
  };
  const Case cases[] = {
      {ftUnknown, "abc", ftString, [](auto& p) { return p.AsString() == "abc"; }},
      {ftFixedChar, "abc", ftString, [](auto& p) { return p.AsString() == "abc"; }},
      {ftGuid, "{x}", ftString, [](auto& p) { return p.AsString() == "{x}"; }},
      {ftSmallint, "-5", ftSmallint, [](auto& p) { return p.AsSmallint() == -5; }},
      {ftWord, "65535", ftWord, [](auto& p) { return p.AsWord() == 65535; }},
      {ftInteger, "2147483647", ftInteger, [](auto& p) { return p.AsInteger() == INT32_MAX; }},
      {ftLargeint, "-9000000000", ftLargeint,
       [](auto& p) { return p.AsLargeint() == -9000000000; }},
      {ftBoolean, " true ", ftBoolean, [](auto& p) { return p.AsBoolean(); }},
      {ftBoolean, "yes", ftBoolean, [](auto& p) { return !p.AsBoolean() && !p.IsNull(); }},
      {ftFloat, "1.25E2", ftFloat, [](auto& p) { return p.AsFloat() == 125; }},
      {ftCurrency, "12.3456", ftCurrency, [](auto& p) { return p.AsCurrency().Scaled == 123456; }},
      {ftBCD, "-0.5", ftBCD, [](auto& p) { return p.AsBCD().Scaled == -5000; }},
      {ftDate, "3/15/2024", ftDate, [](auto& p) { return p.AsDate() == EncodeDate(2024, 3, 15); }},
      {ftTime, "18:00:00", ftTime, [](auto& p) { return p.AsTime() == 0.75; }},
      {ftDateTime, "1/2/2000 06:00:00", ftDateTime,
       [](auto& p) { return p.AsDateTime() == EncodeDate(2000, 1, 2) + 0.25; }},
      {ftMemo, "m", ftMemo, [](auto& p) { return p.AsMemo() == "m"; }},
      {ftOraBlob, "b", ftOraBlob, [](auto& p) { return p.AsBlob() == "b"; }},
      {ftTimeStamp, "1/2/2000 06:00:00", ftTimeStamp,
       [](auto& p) { return p.AsSQLTimeStamp() == SqlTimeStamp{2000, 1, 2, 6, 0, 0, 0}; }},
      {ftFMTBcd, "123.4500", ftFMTBcd, [](auto& p) { return BcdToStr(p.AsFMTBCD()) == "123.45"; }},
      {ftCursor, "x", ftCursor, [](auto& p) { return p.IsNull(); }},
      {ftInteger, "", ftInteger, [](auto& p) { return p.IsNull(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.text) + " as type " + std::to_string(c.type));
    TRdaParamItem item;
    item.SetAsInteger(9);  // an earlier value must not survive
    item.SetDataType(c.type);
    item.SetAsText(c.text);
    EXPECT_EQ(item.DataType(), c.after);
    EXPECT_TRUE(c.check(item));
  }

  const std::pair<TFieldType, const char*> bad[] = {
      {ftInteger, "12x"}, {ftInteger, " 1"},        {ftSmallint, "40000"}, {ftWord, "-1"},
      {ftFloat, "1,5"},   {ftDate, "2024-13-45"},    {ftFMTBcd, "abc"},     {ftCurrency, "1e"},
      {ftLargeint, "9223372036854775808"}};
  for (const auto& [type, text] : bad) {
    SCOPED_TRACE(text);
    TRdaParamItem item;
    item.SetName("Amount");
    item.SetDataType(type);
    EXPECT_EQ(MessageOf<Exception>([&] { item.SetAsText(text); }),
              "Unable to call SetAsText for Amount");
    EXPECT_TRUE(item.IsNull());
    EXPECT_EQ(item.DataType(), type);
  }
}

TEST(ParamItem, SetValueChoosesTheTypeByKind) {
  struct Case {
    Variant value;
    TFieldType before;
    TFieldType after;
    Variant expected;  // Value() afterwards
  };
  const Bcd bcd = StrToBcd("1.5");
  const SqlTimeStamp ts{2000, 1, 1, 0, 0, 0, 0};
  const Case cases[] = {
      {Variant::Null(), ftFloat, ftFloat, Variant::Null()},
      {Variant(int8_t{-1}), ftUnknown, ftSmallint, Variant(int16_t{-1})},
      {Variant(int16_t{-1}), ftString, ftSmallint, Variant(int16_t{-1})},
      {Variant(int16_t{-1}), ftInteger, ftInteger, Variant(int32_t{-1})},
      {Variant(uint8_t{200}), ftUnknown, ftSmallint, Variant(int16_t{200})},
      {Variant(int32_t{-70000}), ftUnknown, ftInteger, Variant(int32_t{-70000})},
      {Variant(float{0.5f}), ftUnknown, ftFloat, Variant(0.5)},
      {Variant(2.0), ftUnknown, ftFloat, Variant(2.0)},
      {Variant(Currency::FromScaled(1)), ftUnknown, ftCurrency, Variant(Currency::FromScaled(1))},
      {Variant::FromDate(1.5), ftDate, ftDateTime, Variant::FromDate(1.5)},
      {Variant("s"), ftUnknown, ftString, Variant("s")},
      {Variant(""), ftInteger, ftString, Variant::Null()},
      {Variant(true), ftUnknown, ftBoolean, Variant(true)},
      {Variant(uint16_t{65535}), ftUnknown, ftWord, Variant(uint16_t{65535})},
      {Variant(uint32_t{4000000000u}), ftUnknown, ftLargeint, Variant(int64_t{4000000000})},
      {Variant(int64_t{-1}), ftUnknown, ftLargeint, Variant(int64_t{-1})},
      {Variant(uint64_t{1}), ftUnknown, ftLargeint, Variant(int64_t{1})},
      {Variant(bcd), ftUnknown, ftFMTBcd, Variant(bcd)},
      {Variant(ts), ftUnknown, ftTimeStamp, Variant(ts)},
      {Variant::FromBytes("ab"), ftString, ftBytes, Variant::FromBytes("ab")},
      {Variant::FromBytes(""), ftVarBytes, ftVarBytes, Variant::FromBytes("")},
      {Variant::FromInterface(7), ftUnknown, ftIDispatch, Variant::FromInterface(7)},
      {Variant(), ftInteger, ftUnknown, Variant::Null()},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(i);
    TRdaParamItem item;
    item.SetAsString("old");
    item.SetDataType(c.before);
    item.SetValue(c.value);
    EXPECT_EQ(item.DataType(), c.after);
    EXPECT_EQ(item.IsNull(), c.expected.IsNull());
    EXPECT_TRUE(item.Value() == c.expected);
  }
}

TEST(ParamsFromSQL, FindsDistinctNamesOutsideQuotes) {
  struct Case {
    const char* sql;
    std::vector<std::string> names;
  };
  const Case cases[] = {
      {"select * from t", {}},
      {"select * from t where a = :a and b = ':x' or c = :a", {"a"}},
      {"where a=:a) and b=:b", {"a", "b"}},
      {"where f(:a)x and b=1", {"ax"}},
      {"where a=:a;\r\nand b=:B*2 and c=:b-1", {"a", "B", "b"}},
      {"where a=:a.b=c\nd and e = :", {"a.b=cd", ""}},
      {"where a=: and b=:,", {""}},
      {"x=:a'q' ", {"aq"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    TRdaParamList list;
    list.Add().SetName("old");
    int messages = 0;
    list.OnShowMessage = [&](const std::string&) { ++messages; };
    list.ParamsFromSQL(c.sql);
    EXPECT_EQ(Names(list), c.names);
    EXPECT_EQ(messages, 0);
    for (int i = 0; i < list.Count(); ++i) {
      EXPECT_EQ(list.Items(i).ParamType(), ptInput);
      EXPECT_EQ(list.Items(i).DataType(), ftUnknown);
      EXPECT_FALSE(list.Items(i).IsNull());
    }
  }

  TRdaParamList list;
  list.ParamsFromSQL(std::vector<std::string>{"select :a", "from t where b = :b"});
  EXPECT_THAT(Names(list), ElementsAre("a", "b"));
}

TEST(ParamsFromSQL, QuotesAtTheEnd) {
  TRdaParamList list;
  std::vector<std::string> messages;
  list.OnShowMessage = [&](const std::string& text) { messages.push_back(text); };
  list.ParamsFromSQL("select * from t where a = :a and b = 'closed'");
  EXPECT_TRUE(messages.empty());
  EXPECT_THAT(Names(list), ElementsAre("a"));

  list.ParamsFromSQL("select * from t where a = :a and b = 'open :c");
  EXPECT_THAT(messages, ElementsAre("There is an open quote in your SQL String"));
  EXPECT_THAT(Names(list), ElementsAre("a"));
}

TEST(ParamsFromSQL, NamesRunTogetherRaise) {
  TRdaParamList list;
  list.Add().SetName("kept");
  EXPECT_EQ(MessageOf<Exception>([&] { list.ParamsFromSQL("where a = :a:b"); }),
            "Please check Syntax :param:param must be :param:param");
  EXPECT_THAT(Names(list), ElementsAre("kept"));
}

TEST(ParamsFromDesignList, ReadsLinesAndReportsFailures) {
  TRdaParamList list;
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { list.ParamsFromDesignList(nullptr); }),
            "Nil list pass to prepare from design list");

  const std::vector<std::string> lines = {"id\x06" "1\x06" "3", "name\x06" "2\x06" "0",
                                          "x\x06" "4\x06" "38"};
  list.ParamsFromDesignList(&lines);
  ASSERT_EQ(list.Count(), 3);
  EXPECT_EQ(list.Items(0).Name(), "id");
  EXPECT_EQ(list.Items(0).ParamType(), ptInput);
  EXPECT_EQ(list.Items(0).DataType(), ftInteger);
  EXPECT_EQ(list.Items(0).Size(), 0);
  EXPECT_TRUE(list.Items(0).IsNull());
  EXPECT_EQ(list.Items(1).ParamType(), ptOutput);
  EXPECT_EQ(list.Items(1).DataType(), ftString);
  EXPECT_EQ(list.Items(1).Size(), 50);
  EXPECT_EQ(list.Items(2).DataType(), ftString);

  const std::vector<std::string> bad = {"id\x06" "1\x06" "3", "name\x06" "two\x06" "1"};
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { list.ParamsFromDesignList(&bad); }),
            "Problem created params from id\x06" "1\x06" "3\r\nname\x06" "two\x06" "1\r\n");
  EXPECT_EQ(list.Count(), 3);
  const std::vector<std::string> short_line = {"id\x06" "1"};
  EXPECT_THROW(list.ParamsFromDesignList(&short_line), EDatabaseError);
}

}  // namespace
}  // namespace rda
