// Field objects of every type code: typed setters and getters, the stored
// forms they leave in the row image, nulls, conversions and blob values.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#include "base/ByteIO.h"
#include "base/CodePage.h"
#include "base/Guid.h"
#include "tests/memdata/DataSetTestUtil.h"

namespace rda {
namespace {

using test::MessageOf;

std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

std::string Le64(uint64_t v) {
  std::string out(8, '\0');
  StoreU64LE(out.data(), v);
  return out;
}

std::string Le32(uint32_t v) {
  std::string out(4, '\0');
  StoreU32LE(out.data(), v);
  return out;
}

// A dataset of one field of the type, opened, with one appended record in
// insert state.
std::unique_ptr<TRdaDataSet> OneField(TFieldType type, int size) {
  auto ds = std::make_unique<TRdaDataSet>();
  ds->AddField("F", type, size);
  ds->AddField("Next", ftInteger, 0);
  ds->Open();
  ds->Append();
  ds->FieldByName("Next").SetAsInteger(-1);
  return ds;
}

struct TypeCase {
  const char* name;
  TFieldType type;
  int size;
  std::function<void(TField&)> set;
  std::string stored;    // the field's bytes in the row image
  std::string asString;  // the value read back as text
  Variant value;         // and as a variant
};

TEST(Fields, EveryTypeKeepsItsStoredFormAndReadsBack) {
  const TDateTime day = EncodeDate(2024, 2, 29);
  const TDateTime time = EncodeTime(13, 45, 30, 250);
  const int32_t dayNumber = static_cast<int32_t>(day) + kDateDelta;
  const int32_t ms = ((13 * 60 + 45) * 60 + 30) * 1000 + 250;
  const std::vector<TypeCase> cases = {
      {"string cut to size", ftString, 5, [](TField& f) { f.SetAsString("abcdefg"); }, "abcde",
       "abcde", Variant("abcde")},
      {"string padded", ftString, 5, [](TField& f) { f.SetAsString("ab"); },
       std::string("ab\0\0\0", 5), "ab", Variant("ab")},
      {"fixed char", ftFixedChar, 3, [](TField& f) { f.SetAsInteger(42); },
       std::string("42\0", 3), "42", Variant("42")},
      {"wide string cut to size", ftWideString, 3, [](TField& f) { f.SetAsString("h\xE9llo"); },
       Bytes({'h', 0, 0xE9, 0, 'l', 0}), "h\xE9l", Variant("h\xE9l")},
      {"wide string stops at a zero unit", ftWideString, 3,
       [](TField& f) { static_cast<TWideStringField&>(f).SetAsWideString(std::u16string(u"a\0b", 3)); },
       Bytes({'a', 0, 0, 0, 0, 0}), "a", Variant("a")},
      {"smallint", ftSmallint, 0, [](TField& f) { f.SetAsInteger(-2); }, Bytes({0xFE, 0xFF}), "-2",
       Variant(int16_t{-2})},
      {"integer", ftInteger, 0, [](TField& f) { f.SetAsString("123456"); }, Le32(123456), "123456",
       Variant(123456)},
      {"word", ftWord, 0, [](TField& f) { f.SetAsInteger(65535); }, Bytes({0xFF, 0xFF}), "65535",
       Variant(uint16_t{65535})},
      {"autoinc", ftAutoInc, 0, [](TField& f) { f.SetAsFloat(7.4); }, Le32(7), "7", Variant(7)},
      {"boolean true is all bits", ftBoolean, 0, [](TField& f) { f.SetAsBoolean(true); },
       Bytes({0xFF, 0xFF}), "True", Variant(true)},
      {"boolean from text", ftBoolean, 0, [](TField& f) { f.SetAsString("false"); },
       Bytes({0, 0}), "False", Variant(false)},
      {"float", ftFloat, 0, [](TField& f) { f.SetAsFloat(2.5); }, Le64(std::bit_cast<uint64_t>(2.5)),
       "2.5", Variant(2.5)},
      {"currency keeps a double", ftCurrency, 0,
       [](TField& f) { f.SetAsCurrency(Currency::FromScaled(123456)); },
       Le64(std::bit_cast<uint64_t>(12.3456)), "12.3456", Variant(Currency::FromScaled(123456))},
      {"bcd keeps value x 10000", ftBCD, 0, [](TField& f) { f.SetAsString("-12.3456"); },
       Le64(static_cast<uint64_t>(int64_t{-123456})), "-12.3456",
       Variant(Currency::FromScaled(-123456))},
      {"bcd from a packed decimal", ftBCD, 0, [](TField& f) { f.SetAsBCD(StrToBcd("0.5")); },
       Le64(5000), "0.5", Variant(Currency::FromScaled(5000))},
      {"date keeps the day number", ftDate, 0, [=](TField& f) { f.SetAsDateTime(day + 0.75); },
       Le32(static_cast<uint32_t>(dayNumber)) + std::string(4, '\0'), "2/29/2024",
       Variant::FromDate(day)},
      {"time keeps milliseconds", ftTime, 0, [=](TField& f) { f.SetAsDateTime(time + 3); },
       Le32(ms), "13:45:30", Variant::FromDate(time)},
      {"date-time keeps milliseconds since year 1", ftDateTime, 0,
       [=](TField& f) { f.SetAsDateTime(day + time); },
       Le64(std::bit_cast<uint64_t>(static_cast<double>(dayNumber) * kMSecsPerDay + ms)),
       "2/29/2024 13:45:30", Variant::FromDate(day + time)},
      {"bytes padded", ftBytes, 4, [](TField& f) { f.SetAsString("\x01\x02"); },
       Bytes({1, 2, 0, 0}), Bytes({1, 2, 0, 0}), Variant::FromBytes(Bytes({1, 2, 0, 0}))},
      {"varbytes cut", ftVarBytes, 2, [](TField& f) { f.SetValue(Variant::FromBytes("xyz")); },
       "xy", "xy", Variant::FromBytes("xy")},
      {"largeint", ftLargeint, 0, [](TField& f) { f.SetAsLargeInt(-(int64_t{1} << 40)); },
       Le64(static_cast<uint64_t>(-(int64_t{1} << 40))), "-1099511627776",
       Variant(-(int64_t{1} << 40))},
      {"guid", ftGuid, 38, [](TField& f) { f.SetAsString(kNullGuidText); }, kNullGuidText,
       kNullGuidText, Variant(kNullGuidText)},
      {"time stamp", ftTimeStamp, 0,
       [](TField& f) { static_cast<TSQLTimeStampField&>(f).SetAsSQLTimeStamp({2020, 1, 2, 3, 4, 5, 6}); },
       SqlTimeStamp{2020, 1, 2, 3, 4, 5, 6}.ToBytes(), "1/2/2020 03:04:05",
       Variant(SqlTimeStamp{2020, 1, 2, 3, 4, 5, 6})},
      {"packed decimal", ftFMTBcd, 0, [](TField& f) { f.SetAsString("123.45"); },
       StrToBcd("123.45").ToBytes(), "123.45", Variant(StrToBcd("123.45"))},
  };
  for (const TypeCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto ds = OneField(c.type, c.size);
    TField& f = ds->FieldByName("F");
    EXPECT_TRUE(f.IsNull());
    c.set(f);
    ds->Post();
    // Read back from the row store (the record buffer was re-read).
    const TRdaDBListItem* row = ds->Store()->Items(0);
    EXPECT_EQ(std::string(row->Image().substr(ds->Store()->FieldList().Items(0).Offset(), c.stored.size())),
              c.stored);
    EXPECT_EQ(ds->FieldByName("Next").AsInteger(), -1);  // neighbour untouched
    EXPECT_FALSE(f.IsNull());
    EXPECT_EQ(f.AsString(), c.asString);
    EXPECT_EQ(f.Value(), c.value);
    // A value written back through Value() round-trips.
    ds->Edit();
    f.SetValue(f.Value());
    ds->Post();
    EXPECT_EQ(f.Value(), c.value);
  }
}

TEST(Fields, NullsReadAsEmptyValuesAndClearMakesNull) {
  auto ds = std::make_unique<TRdaDataSet>();
  for (TFieldType t : {ftString, ftInteger, ftFloat, ftDateTime, ftBCD, ftBoolean, ftLargeint,
                       ftMemo, ftWideString, ftFMTBcd}) {
    ds->AddField("F" + std::to_string(static_cast<int>(t)), t, 10);
  }
  ds->Open();
  ds->Append();
  for (int i = 0; i < ds->FieldCount(); ++i) {
    TField& f = ds->Fields()[i];
    SCOPED_TRACE(f.FieldName());
    EXPECT_TRUE(f.IsNull());
    EXPECT_EQ(f.AsString(), "");
    EXPECT_EQ(f.AsInteger(), 0);
    EXPECT_EQ(f.AsFloat(), 0);
    EXPECT_FALSE(f.AsBoolean());
    EXPECT_TRUE(f.Value().IsNull());
    const char* one = f.DataType() == ftBoolean ? "True" : "1";
    f.SetAsString(one);
    EXPECT_FALSE(f.IsNull());
    f.Clear();
    EXPECT_TRUE(f.IsNull());
    f.SetAsString(one);
    f.SetValue(Variant::Null());
    EXPECT_TRUE(f.IsNull());
  }
  ds->Post();
  EXPECT_TRUE(ds->FieldByName("F1").IsNull());
}

TEST(Fields, ConversionsAndRangesFailWithClearErrors) {
  auto ds = std::make_unique<TRdaDataSet>();
  ds->AddField("Small", ftSmallint, 0);
  ds->AddField("Text", ftString, 10);
  ds->AddField("Flag", ftBoolean, 0);
  ds->AddField("Day", ftDate, 0);
  ds->Open();
  ds->Append();
  TField& small = ds->FieldByName("Small");
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { small.SetAsInteger(40000); }),
            "40000 is not a valid value for field 'Small'. The allowed range is -32768 to 32767");
  EXPECT_EQ(MessageOf<EConvertError>([&] { small.SetAsString("12x"); }),
            "'12x' is not a valid integer value");
  EXPECT_EQ(MessageOf<EConvertError>([&] { ds->FieldByName("Flag").SetAsString("maybe"); }),
            "'maybe' is not a valid boolean value");
  EXPECT_TRUE(small.IsNull());
  TField& text = ds->FieldByName("Text");
  text.SetAsString("abc");
  EXPECT_THROW(text.AsInteger(), EConvertError);
  text.SetAsFloat(1.25);
  EXPECT_EQ(text.AsFloat(), 1.25);
  text.SetAsBoolean(true);
  EXPECT_TRUE(text.AsBoolean());
  EXPECT_EQ(text.AsString(), "T");
  TField& day = ds->FieldByName("Day");
  day.SetAsString("12/31/1899");
  EXPECT_EQ(day.AsDateTime(), 1);
  EXPECT_THROW(day.SetAsString("not a date"), EConvertError);
}

TEST(Fields, ZeroStoredDateTimeReadsAsTheZeroDate) {
  auto ds = OneField(ftDateTime, 0);
  ds->Post();
  ds->Store()->Items(0)->SetDouble(0, 0.0);  // a value that is present but zero
  ds->Refresh();
  EXPECT_FALSE(ds->FieldByName("F").IsNull());
  EXPECT_EQ(ds->FieldByName("F").AsDateTime(), 0);
}

TEST(Fields, ValidationSeesThePendingValueAndCanRefuseIt) {
  auto ds = OneField(ftInteger, 0);
  TField& f = ds->FieldByName("F");
  std::vector<int> seen;
  f.OnValidate = [&](TField& field) {
    seen.push_back(field.IsNull() ? -100 : field.AsInteger());
    if (!field.IsNull() && field.AsInteger() < 0) throw EDatabaseError("negative");
  };
  int changes = 0;
  f.OnChange = [&](TField&) { ++changes; };
  f.SetAsInteger(5);
  EXPECT_THROW(f.SetAsInteger(-5), EDatabaseError);
  EXPECT_EQ(f.AsInteger(), 5);
  f.Clear();
  EXPECT_THAT(seen, ::testing::ElementsAre(5, -5, -100));
  EXPECT_EQ(changes, 2);
  EXPECT_TRUE(ds->Modified());
}

TEST(Fields, TextHooksAndAssign) {
  auto ds = OneField(ftString, 10);
  TField& f = ds->FieldByName("F");
  f.OnSetText = [](TField& field, std::string_view text) { field.SetAsString("<" + std::string(text) + ">"); };
  f.OnGetText = [](TField& field, std::string& text, bool display) {
    text = display ? "shown " + field.AsString() : field.AsString();
  };
  f.SetText("x");
  EXPECT_EQ(f.Text(), "<x>");
  EXPECT_EQ(f.DisplayText(), "shown <x>");
  TField& next = ds->FieldByName("Next");
  EXPECT_THROW(next.Assign(f), EVariantError);  // "<x>" is no number
  EXPECT_EQ(next.AsInteger(), -1);
  f.SetAsString("12");
  next.Assign(f);
  EXPECT_EQ(next.AsInteger(), 12);
}

// ---------------------------------------------------------------------------
// Blobs

TEST(BlobFields, ValuesLiveInTheBlobStoreAndACancelRestoresThem) {
  TRdaDataSet ds;
  ds.AddField("Id", ftInteger, 0);
  ds.AddField("Note", ftMemo, 0);
  ds.AddField("Data", ftBlob, 0);
  ds.Open();
  ds.AppendRecord({Variant(1), Variant("first note")});
  TField& note = ds.FieldByName("Note");
  EXPECT_EQ(note.AsString(), "first note");
  EXPECT_EQ(note.Value(), Variant("first note"));
  EXPECT_TRUE(ds.FieldByName("Data").IsNull());
  EXPECT_EQ(ds.BlobStore().Count(), 1);

  ds.Edit();
  note.SetAsString("rewritten");
  EXPECT_EQ(note.AsString(), "rewritten");
  ds.Cancel();
  EXPECT_EQ(note.AsString(), "first note");
  ds.Edit();
  note.SetAsString("kept");
  ds.Post();
  EXPECT_EQ(note.AsString(), "kept");
  EXPECT_EQ(ds.BlobStore().Count(), 1);  // replaced in place

  // An empty value in insert state stores nothing; reading there creates one.
  ds.Append();
  ds.FieldByName("Data").SetAsString("");
  EXPECT_TRUE(ds.FieldByName("Data").IsNull());
  EXPECT_EQ(ds.BlobStore().Count(), 1);
  TMemoryStream* created = ds.ReadBlob(ds.FieldByName("Data"));
  ASSERT_NE(created, nullptr);
  EXPECT_EQ(created->Size(), 0u);
  EXPECT_FALSE(ds.FieldByName("Data").IsNull());
  ds.Post();
  EXPECT_EQ(ds.BlobStore().Count(), 2);

  ds.First();
  ds.Delete();  // the row's blobs go with it
  EXPECT_EQ(ds.BlobStore().Count(), 1);
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { ds.WriteBlob(note, "x"); }),
            "DataSet Not in Edit or Insert Mode");
}

TEST(BlobFields, BlobAndUnstoredFieldsCannotBeSearchedOrSet) {
  TRdaDataSet ds;
  ds.AddField("Note", ftMemo, 0);
  ds.AddField("V", ftVariant, 0);
  ds.Open();
  ds.AppendRecord({Variant("x")});
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { ds.Locate("Note", Variant("x")); }),
            "Comparison is not supported for field 'Note'");
  EXPECT_EQ(ds.BlobStore().Count(), 1);
  ds.Edit();
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { ds.FieldByName("V").SetAsInteger(1); }),
            "Cannot access field 'V' as type Variant");
  EXPECT_TRUE(ds.FieldByName("V").IsNull());
}

TEST(Fields, EveryTypeCodeHasAFieldClass) {
  for (int code = 0; code <= kMaxFieldType; ++code) {
    auto f = CreateFieldObject(static_cast<TFieldType>(code), 4);
    EXPECT_EQ(f->DataType(), code);
  }
  EXPECT_EQ(MessageOf<EDatabaseError>([] { CreateFieldObject(static_cast<TFieldType>(38), 0); }),
            "Unknown field type 38");
}

}  // namespace
}  // namespace rda
