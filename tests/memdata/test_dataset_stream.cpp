// The dataset stream: the exact bytes of the example, a round trip of every
// field type with index and aggregate definitions, legacy streams, the
// stream event, streams cut at every offset and malformed sections, and
// datasets inside parameters.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/Bcd.h"
#include "base/DateTime.h"
#include "base/Exception.h"
#include "memdata/RdaCustomDataSet.h"
#include "memdata/RdaParamBridge.h"
#include "memdata/RdaStreamError.h"
#include "messaging/RdaParamList.h"
#include "tests/base/RaisesWith.h"
#include "tests/memdata/ByteFixtures.h"
#include "tests/memdata/DataSetTestUtil.h"

namespace rda {
namespace {

using test::MessageOf;
using test::RaisesWith;

using test::Bytes;
// Tagged text (tag 6) and raw text (u32 length).
constexpr auto Short = test::TaggedShort;
std::string Raw(std::string_view text) {
  return Bytes({static_cast<int>(text.size()), 0, 0, 0}) + std::string(text);
}

// The example: two ftInteger fields, one row, default options.
const std::string kHeader = Bytes({0x69, 0xA8, 0xFE, 0x26, 0x88, 0, 0, 0});
const std::string kFields = Short("TRdaFieldList") + Bytes({1}) +
                            Bytes({2, 1, 2, 4, 2, 0, 2, 3}) + Short("A") +
                            Bytes({2, 2, 2, 4, 2, 4, 2, 3}) + Short("B") + Bytes({0});
// A = 7, B = -2; the spare byte; the first null word (both set) and the
// three bytes of the second that fit the 16-byte image.
const std::string kImage =
    Bytes({7, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF, 0, 3, 0, 0, 0, 0, 0, 0});
const std::string kRows = Short("TRdaDBList") + Bytes({1, 2, 1}) + Short(kImage) + Bytes({0});
const std::string kBlobs = Short("TRdaBlobList") + Bytes({1, 0});
const std::string kIndexes = Raw("TRdaIndexes") + Bytes({1}) + Raw("") + Bytes({0, 0, 0, 0});
const std::string kAggregates = Raw("TRdaAggregates") + Bytes({1, 0, 0, 0, 0});
const std::string kExample = kHeader + kFields + kRows + kBlobs + kIndexes + kAggregates;

// A column's texts in view order.
std::vector<std::string> Column(TDataSet& ds, std::string_view name) {
  std::vector<std::string> out;
  for (ds.First(); !ds.Eof(); ds.Next()) out.push_back(ds.FieldByName(name).AsString());
  return out;
}

std::unique_ptr<TRdaDataSet> TwoIntegers() {
  auto ds = std::make_unique<TRdaDataSet>();
  ds->AddField("A", ftInteger, 0);
  ds->AddField("B", ftInteger, 0);
  ds->Open();
  ds->AppendRecord({Variant(7), Variant(-2)});
  return ds;
}

TEST(DataSetStream, TheExampleHasExactBytesAndLoadsBack) {
  auto ds = TwoIntegers();
  EXPECT_EQ(ds->StreamOptions(), (TRdaStreamSaveOptions{ssIndexes, ssAggregates}));
  EXPECT_EQ(ds->DataSetToText(), kExample);

  auto loaded = TextToDataSet(kExample);
  ASSERT_TRUE(loaded);
  EXPECT_TRUE(loaded->Active());
  EXPECT_EQ(loaded->FastFields(), (std::vector<std::string>{"A,3,0", "B,3,0"}));
  EXPECT_EQ(loaded->RecordCount(), 1);
  EXPECT_EQ(loaded->FieldByName("A").AsInteger(), 7);
  EXPECT_EQ(loaded->FieldByName("B").AsInteger(), -2);
  EXPECT_EQ(loaded->CurrentRecordID(), 1);
  EXPECT_EQ(TextToDataSet(""), nullptr);
}

// Every stored type, with blobs, a nested dataset's bytes and wide text.
std::unique_ptr<TRdaDataSet> EveryType() {
  auto ds = std::make_unique<TRdaDataSet>();
  const std::pair<const char*, std::pair<TFieldType, int>> fields[] = {
      {"Str", {ftString, 12}},       {"Small", {ftSmallint, 0}},   {"Int", {ftInteger, 0}},
      {"Word", {ftWord, 0}},         {"Bool", {ftBoolean, 0}},     {"Float", {ftFloat, 0}},
      {"Cur", {ftCurrency, 0}},      {"Bcd", {ftBCD, 0}},          {"Date", {ftDate, 0}},
      {"Time", {ftTime, 0}},         {"DT", {ftDateTime, 0}},      {"Bytes", {ftBytes, 4}},
      {"VarBytes", {ftVarBytes, 6}}, {"Auto", {ftAutoInc, 0}},     {"Blob", {ftBlob, 0}},
      {"Memo", {ftMemo, 0}},         {"Graphic", {ftGraphic, 0}},  {"FmtMemo", {ftFmtMemo, 0}},
      {"Fixed", {ftFixedChar, 5}},   {"Wide", {ftWideString, 8}},  {"Large", {ftLargeint, 0}},
      {"Nested", {ftDataSet, 0}},    {"Guid", {ftGuid, 38}},       {"Stamp", {ftTimeStamp, 0}},
      {"FmtBcd", {ftFMTBcd, 0}},
  };
  for (const auto& [name, type] : fields) ds->AddField(name, type.first, type.second);
  ds->Open();
  const std::string nested = TwoIntegers()->DataSetToText();
  for (int i = 1; i <= 3; ++i) {
    ds->Append();
    ds->FieldByName("Str").SetAsString("row " + std::to_string(i));
    ds->FieldByName("Small").SetAsInteger(-i);
    ds->FieldByName("Int").SetAsInteger(100000 * i);
    ds->FieldByName("Word").SetAsInteger(60000 + i);
    ds->FieldByName("Bool").SetAsBoolean(i % 2 == 1);
    ds->FieldByName("Float").SetAsFloat(i / 3.0);
    ds->FieldByName("Cur").SetAsCurrency(Currency::FromScaled(12345 * i));
    ds->FieldByName("Bcd").SetAsCurrency(Currency::FromScaled(-9876 * i));
    ds->FieldByName("Date").SetAsDateTime(EncodeDate(1999 + i, 2, 28));
    ds->FieldByName("Time").SetAsDateTime(EncodeTime(i, 2, 3, 4));
    ds->FieldByName("DT").SetAsDateTime(EncodeDate(2020, i, 1) + EncodeTime(23, 59, 58, 999));
    ds->FieldByName("Bytes").SetAsString(std::string("\x00\x01\xFF", 3));
    ds->FieldByName("VarBytes").SetAsString(std::string("\x80\x81", 2));
    ds->FieldByName("Auto").SetAsInteger(i);
    ds->FieldByName("Blob").SetAsString(std::string("\x00\x81\x8D\xFE\xFF", 5) + std::to_string(i));
    ds->FieldByName("Memo").SetAsString("caf\xE9 " + std::string(300, 'm'));  // a long text
    if (i != 2) ds->FieldByName("Graphic").SetAsString("GIF89a");
    ds->FieldByName("FmtMemo").SetAsString("{\\rtf1}");
    ds->FieldByName("Fixed").SetAsString("ab");
    static_cast<TWideStringField&>(ds->FieldByName("Wide")).SetAsWideString(u"\u20AC\u4E2D\u00E9x");
    ds->FieldByName("Large").SetAsLargeInt(-(int64_t{1} << 40) * i);
    ds->FieldByName("Nested").SetAsString(nested);
    ds->FieldByName("Guid").SetAsString("{0123ABCD-4567-89EF-0123-456789ABCDE" + std::to_string(i) + "}");
    static_cast<TSQLTimeStampField&>(ds->FieldByName("Stamp"))
        .SetAsSQLTimeStamp(SqlTimeStamp{2024, 5, static_cast<uint16_t>(i), 13, 14, 15, 16});
    ds->FieldByName("FmtBcd").SetAsBCD(StrToBcd("-12345678901234567890.12345" + std::to_string(i)));
    ds->Post();
  }
  TRdaIndex& byStr = ds->Indexes().Add();
  byStr.SetName("ByStr");
  byStr.SetFields("Str");
  byStr.SetOptions({ioDescending, ioCaseInsensitive});
  TRdaIndex& unique = ds->Indexes().Add();
  unique.SetName("ByInt");
  unique.SetFields("Int;Small");
  unique.SetOptions({ioUnique});
  TRdaIndex& kept = ds->Indexes().Add();
  kept.SetName("Kept");
  kept.SetFields("Float");
  kept.SetOptions({ioNonMaintained, ioDescending});
  kept.Rebuild();
  TRdaAggregate& sum = ds->Aggregates().Add();
  sum.SetName("Total");
  sum.SetFieldName("Large");
  sum.SetAggKind(akSum);
  sum.SetActive(true);
  TRdaAggregate& count = ds->Aggregates().Add();
  count.SetFieldName("Memo");
  count.SetAggKind(akCount);
  count.SetIndexName("ByInt");
  count.SetLevel(1);
  count.SetActive(true);
  ds->SetIndexName("ByStr");
  return ds;
}

TEST(DataSetStream, EveryFieldTypeWithItsDefinitionsSurvivesARoundTrip) {
  auto ds = EveryType();
  const std::string bytes = ds->DataSetToText();
  auto loaded = TextToDataSet(bytes);
  ASSERT_TRUE(loaded);
  // The same fields, rows, identities, blobs and definitions write the same bytes.
  EXPECT_TRUE(loaded->DataSetToText() == bytes);
  EXPECT_EQ(loaded->IndexName(), "ByStr");
  ASSERT_EQ(loaded->Indexes().Count(), 3);
  EXPECT_EQ(loaded->Indexes().Items(1).Fields(), "Int;Small");
  EXPECT_EQ(loaded->Indexes().Items(1).Options(), TRdaIndexOptions{ioUnique});
  EXPECT_EQ(loaded->Aggregates().Count(), 2);
  EXPECT_EQ(loaded->Aggregates().Items(0).Value(), Variant(-(int64_t{6} << 40)));
  EXPECT_EQ(loaded->Aggregates().Items(1).Name(), "COUNT(Memo)");
  EXPECT_EQ(loaded->VerifyIndexesAndAggregates(), "");

  // Every value, read through the field objects of both, in the selected order.
  ds->First();
  loaded->First();
  int rows = 0;
  while (!ds->Eof()) {
    ASSERT_FALSE(loaded->Eof());
    EXPECT_EQ(loaded->CurrentRecordID(), ds->CurrentRecordID());
    for (const auto& f : ds->Fields()) {
      const TField& g = loaded->FieldByName(f->FieldName());
      EXPECT_EQ(g.IsNull(), f->IsNull()) << f->FieldName();
      EXPECT_EQ(g.AsString(), f->AsString()) << f->FieldName();
    }
    EXPECT_EQ(static_cast<TWideStringField&>(loaded->FieldByName("Wide")).AsWideString(),
              u"\u20AC\u4E2D\u00E9x");
    ++rows;
    ds->Next();
    loaded->Next();
  }
  EXPECT_EQ(rows, 3);
  EXPECT_EQ(Column(*loaded, "Str"), (std::vector<std::string>{"row 3", "row 2", "row 1"}));
  // A nested dataset's value is a stream of its own.
  auto nested = TextToDataSet(loaded->FieldByName("Nested").AsString());
  ASSERT_TRUE(nested);
  EXPECT_EQ(nested->FieldByName("B").AsInteger(), -2);
  // The next row gets the identity after the largest loaded one.
  loaded->AppendRecord({Variant("row 4"), Variant(-4), Variant(400000)});
  EXPECT_EQ(loaded->CurrentRecordID(), 4);
}

TEST(DataSetStream, ANonMaintainedIndexKeepsItsOrderAndAMaintainedOneIsSortedAgain) {
  auto ds = EveryType();
  auto loaded = TextToDataSet(ds->DataSetToText());
  loaded->SetIndexName("Kept");
  EXPECT_EQ(Column(*loaded, "Int"), (std::vector<std::string>{"300000", "200000", "100000"}));
  // Maintained indexes are sorted when built.
  loaded->SetIndexName("ByInt");
  EXPECT_EQ(Column(*loaded, "Int"), (std::vector<std::string>{"100000", "200000", "300000"}));
  EXPECT_EQ(loaded->VerifyIndexesAndAggregates(), "");
}

TEST(DataSetStream, WithoutIndexesTheSectionIsMissingAndTheLoaderKeepsItsOwn) {
  auto ds = TwoIntegers();
  ds->SetStreamOptions({ssAggregates});
  const std::string bytes = ds->DataSetToText();
  EXPECT_EQ(bytes, Bytes({0x69, 0xA8, 0xFE, 0x26, 0x80, 0, 0, 0}) + kFields + kRows + kBlobs +
                       kAggregates);

  TRdaDataSet target;
  TRdaIndex& mine = target.Indexes().Add();
  mine.SetName("Mine");
  mine.SetFields("B");
  TMemoryStream stream(bytes);
  target.LoadFromStream(stream);
  EXPECT_EQ(target.StreamOptions(), TRdaStreamSaveOptions{ssAggregates});
  ASSERT_EQ(target.Indexes().Count(), 1);
  EXPECT_EQ(target.Indexes().Items(0).Name(), "Mine");
}

TEST(DataSetStream, ALegacyStreamHasFieldsRowsAndBlobsOnly) {
  // No header: fields, rows, blobs, and nothing after them is read.
  const std::string legacy = kFields + kRows + kBlobs + "trailing bytes";
  TRdaDataSet ds;
  TMemoryStream stream(legacy);
  ds.LoadFromStream(stream);
  EXPECT_EQ(ds.StreamOptions(), TRdaStreamSaveOptions{ssRdaLegacy});
  EXPECT_EQ(ds.FieldByName("A").AsInteger(), 7);
  EXPECT_EQ(ds.Indexes().Count(), 0);
  // Having read one, the dataset still recognises a stream with a header.
  TMemoryStream current(kExample);
  ds.LoadFromStream(current);
  EXPECT_EQ(ds.StreamOptions(), (TRdaStreamSaveOptions{ssIndexes, ssAggregates}));
  // Asked for by the caller, no header is looked for.
  ds.SetStreamOptions({ssRdaLegacy});
  TMemoryStream again(legacy);
  ds.LoadFromStream(again);
  EXPECT_EQ(ds.FieldByName("B").AsInteger(), -2);
  TMemoryStream withHeader(kExample);
  EXPECT_TRUE(RaisesWith<EReadError>([&] { ds.LoadRowsFromStream(withHeader); },
                                     "Invalid property value (field section, byte 0: unexpected tag 105)"));
}

TEST(DataSetStream, TheStreamEventSeesTheWholeStreamOnceEachWay) {
  auto ds = TwoIntegers();
  std::vector<std::string> seen;
  // A transform: every byte XOR 0x5A.
  auto flip = [&seen](TRdaCustomDataSet&, TMemoryStream& stream, bool isLoading) {
    seen.push_back(std::string(isLoading ? "load at " : "save at ") + std::to_string(stream.Position()));
    std::string bytes = stream.Bytes();
    for (char& c : bytes) c = static_cast<char>(c ^ 0x5A);
    stream.SetBytes(bytes);
  };
  ds->OnStreamEvent = flip;
  const std::string bytes = ds->DataSetToText();
  ASSERT_EQ(bytes.size(), kExample.size());
  EXPECT_NE(bytes, kExample);
  TRdaDataSet loaded;
  loaded.OnStreamEvent = flip;
  TMemoryStream stream(bytes);
  loaded.LoadFromStream(stream);
  EXPECT_EQ(seen, (std::vector<std::string>{"save at " + std::to_string(kExample.size()), "load at 0"}));
  EXPECT_EQ(loaded.FieldByName("A").AsInteger(), 7);
}

// A stream cut anywhere fails with a stream error, or (cut exactly before
// an optional section) loads without it; either way the dataset holds a
// prefix of the rows, consistent and readable.
void CheckPrefix(TRdaCustomDataSet& ds, TRdaCustomDataSet& full, int rowsRead) {
  ASSERT_EQ(ds.VerifyIndexesAndAggregates(), "");
  TRdaDBList* store = ds.Store();
  ASSERT_NE(store, nullptr);
  ASSERT_EQ(store->Count(), rowsRead);
  for (int i = 0; i < rowsRead; ++i) {
    EXPECT_EQ(store->Items(i)->RecordID(), full.Store()->Items(i)->RecordID());
    EXPECT_EQ(store->Items(i)->Image(), full.Store()->Items(i)->Image());
  }
}

TEST(DataSetStream, AStreamCutAtEveryOffsetFailsCleanly) {
  auto full = EveryType();
  const std::string bytes = full->DataSetToText();
  const size_t indexesAt = bytes.rfind(Raw("TRdaIndexes"));
  const size_t aggregatesAt = bytes.rfind(Raw("TRdaAggregates"));
  ASSERT_NE(indexesAt, std::string::npos);
  for (size_t cut = 0; cut < bytes.size(); ++cut) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    const std::string part = bytes.substr(0, cut);
    TRdaDataSet ds;
    TMemoryStream stream(part);
    const std::string error = MessageOf<EReadError>([&] { ds.LoadFromStream(stream); });
    if (cut == indexesAt || cut == aggregatesAt) {
      EXPECT_EQ(error, "<no exception>");
      EXPECT_EQ(ds.RecordCount(), 3);
      continue;
    }
    ASSERT_TRUE(error.starts_with("Stream read error (") || error.starts_with("Invalid property value ("))
        << error;
    EXPECT_FALSE(ds.Active());
    if (ds.Store() != nullptr && ds.Store()->FieldList().Count() > 0) {
      const int rowsRead = ds.Store()->Count();
      CheckPrefix(ds, *full, rowsRead);
      ds.Open();  // what was read opens and reads
      for (ds.First(); !ds.Eof(); ds.Next()) {
        for (const auto& f : ds.Fields()) (void)f->AsString();
      }
    }
  }
}

TEST(DataSetStream, AnOpenDataSetLoadingACutStreamStaysOpenAndUsable) {
  auto full = EveryType();
  const std::string bytes = full->DataSetToText();
  auto ds = TextToDataSet(bytes);
  ds->SetVerifyEachChange(true);
  for (size_t cut = 9; cut < bytes.size(); cut += 7) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    TMemoryStream stream(bytes.substr(0, cut));
    (void)MessageOf<EReadError>([&] { ds->LoadRowsFromStream(stream); });
    ASSERT_TRUE(ds->Active());
    EXPECT_EQ(ds->VerifyIndexesAndAggregates(), "");
    const int rows = ds->Store()->Count();
    int seen = 0;
    for (ds->First(); !ds->Eof(); ds->Next()) {
      for (const auto& f : ds->Fields()) (void)f->AsString();
      ++seen;
    }
    EXPECT_EQ(seen, rows);
    // New rows get identities no loaded row has.
    ds->Append();
    ds->FieldByName("Int").SetAsInteger(-static_cast<int>(cut));
    ds->Post();
    EXPECT_GT(ds->CurrentRecordID(), 0);
    // And a whole stream puts everything back.
    TMemoryStream whole(bytes);
    ds->LoadRowsFromStream(whole);
    EXPECT_EQ(ds->RecordCount(), 3);
  }
}

TEST(DataSetStream, MalformedStreamsNameTheSectionAndTheCheck) {
  const size_t rowsAt = kHeader.size() + kFields.size();
  const size_t indexesAt = rowsAt + kRows.size() + kBlobs.size();
  const size_t aggregatesAt = indexesAt + kIndexes.size();
  struct Case {
    const char* what;
    std::string bytes;
    std::string error;
  };
  const std::string badInteger = Bytes({2, 1, 2, 3, 2, 0, 2, 3});  // ftInteger of 3 bytes
  const Case cases[] = {
      {"a header cut short", kHeader.substr(0, 3),
       "Stream read error (header section, byte 0: a value runs past the end of the stream)"},
      {"a wrong tag in the field section",
       kHeader + Short("TRdaFieldList") + Bytes({1, 7}),
       "Invalid property value (field section, byte 24: unexpected tag 7)"},
      {"a field layout that does not add up",
       kHeader + Short("TRdaFieldList") + Bytes({1}) + badInteger + Short("A") + Bytes({0}) + kRows,
       "Invalid field layout: field 'A' of type 3 takes 4 bytes, not 3 (field section, byte 36)"},
      {"a row image longer than the stream",
       kHeader + kFields + Short("TRdaDBList") + Bytes({1, 2, 1, 12, 0xFF, 0xFF, 0xFF, 0x7F}),
       "Stream read error (row section, byte " + std::to_string(rowsAt + 20) +
           ": a value runs past the end of the stream)"},
      {"a row image of the wrong size",
       kHeader + kFields + Short("TRdaDBList") + Bytes({1, 2, 1}) + Short("short") + Bytes({0}),
       "Row image of 5 bytes does not fit the record size 16 (row section, byte " +
           std::to_string(rowsAt + 22) + ")"},
      {"a RecordID twice",
       kHeader + kFields + Short("TRdaDBList") + Bytes({1, 2, 1}) + Short(kImage) + Bytes({2, 1}) +
           Short(kImage) + Bytes({0}) + kBlobs,
       "Invalid property value (row section: RecordID 1 appears twice)"},
      {"more indexes than bytes",
       kHeader + kFields + kRows + kBlobs + Raw("TRdaIndexes") + Bytes({1}) + Raw("") +
           Bytes({0xFF, 0xFF, 0xFF, 0xFF}) + kAggregates,
       "Invalid property value (indexes section, byte " + std::to_string(indexesAt + 20) +
           ": 4294967295 indexes cannot be read from the 23 bytes left)"},
      {"index options beyond the known ones",
       kHeader + kFields + kRows + kBlobs + Raw("TRdaIndexes") + Bytes({1}) + Raw("") +
           Bytes({1, 0, 0, 0}) + Raw("TRdaIndex") + Raw("I") + Raw("A") + Bytes({0, 1, 0, 0}) +
           Bytes({0, 0, 0, 0, 0, 0, 0, 0}),
       "Invalid property value (indexes section, byte " + std::to_string(indexesAt + 47) +
           ": index options 256 outside 0..63)"},
      {"an aggregate kind that does not exist",
       kHeader + kFields + kRows + kBlobs + kIndexes + Raw("TRdaAggregates") + Bytes({1, 1, 0, 0, 0}) +
           Raw("TRdaAggregate") + Raw("") + Raw("A") + Bytes({9}) + Raw("") + Bytes({0, 0, 0, 0, 1}),
       "Invalid property value (aggregates section, byte " + std::to_string(aggregatesAt + 49) +
           ": aggregate kind 9 outside 0..4)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TRdaDataSet ds;
    TMemoryStream stream(c.bytes);
    EXPECT_TRUE(RaisesWith<EReadError>([&] { ds.LoadFromStream(stream); }, c.error));
  }
  // A selected index that is not there, and one naming an unknown field.
  TRdaDataSet ds;
  TMemoryStream unknown(kHeader + kFields + kRows + kBlobs + Raw("TRdaIndexes") + Bytes({1}) +
                        Raw("Gone") + Bytes({0, 0, 0, 0}) + kAggregates);
  EXPECT_TRUE(RaisesWith<EDatabaseError>([&] { ds.LoadFromStream(unknown); },
                                         "Index with name 'Gone' does not found"));
  TMemoryStream field(kHeader + kFields + kRows + kBlobs + Raw("TRdaIndexes") + Bytes({1}) + Raw("") +
                      Bytes({1, 0, 0, 0}) + Raw("TRdaIndex") + Raw("I") + Raw("Nope") +
                      Bytes({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}) + kAggregates);
  EXPECT_TRUE(RaisesWith<EDatabaseError>([&] { ds.LoadFromStream(field); }, "Field 'Nope' not found"));
}

TEST(DataSetStream, RowsLoadOnlyIntoTheSameLayout) {
  auto ds = test::People({{1, "Ada"}, {2, "Grace"}});
  TMemoryStream other(kExample);
  EXPECT_TRUE(RaisesWith<EReadError>(
      [&] { ds->LoadRowsFromStream(other); },
      "Invalid field layout: 2 fields where the dataset has 3 (field section: the stream's fields "
      "do not fit the dataset's)"));
  EXPECT_EQ(test::Ids(*ds), (std::vector<int>{1, 2}));  // untouched

  // Same layout: the rows are replaced and the dataset is on the first one.
  auto source = test::People({{5, "Edsger"}, {6, "Barbara"}, {7, "Niklaus"}});
  TMemoryStream rows(source->DataSetToText());
  ds->Last();
  ds->LoadRowsFromStream(rows);
  EXPECT_TRUE(ds->Active());
  EXPECT_EQ(ds->FieldByName("Id").AsInteger(), 5);
  EXPECT_EQ(test::Ids(*ds), (std::vector<int>{5, 6, 7}));
}

TEST(DataSetStream, ADataSetTravelsInsideAParameterList) {
  auto ds = EveryType();
  TRdaParamList list;
  TRdaParamItem& item = list.Add();
  item.SetName("Rows");
  SetAsDataSet(item, *ds);
  EXPECT_EQ(item.DataType(), ftDataSet);
  // Through the text form of the list and back.
  std::unique_ptr<TRdaParamList> back = TRdaParamList::FromText(list.ToText(false));
  std::unique_ptr<TRdaDataSet> carried = AsDataSet(back->ParamByName("Rows"));
  ASSERT_TRUE(carried);
  EXPECT_TRUE(carried->DataSetToText() == ds->DataSetToText());
  TRdaParamItem empty;
  EXPECT_EQ(AsDataSet(empty), nullptr);
}

}  // namespace
}  // namespace rda
