// Field descriptions, row layout, typed row access and the row store's life
// cycle.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/Exception.h"
#include "memdata/store/RdaDBList.h"
#include "memdata/store/RdaLargeBlocks.h"
#include "tests/base/RaisesWith.h"

namespace rda {
namespace {

using test::RaisesWith;

std::string Hex(std::string_view bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out += ' ';
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

TEST(RdaFieldList, DataSizesFollowTheTypeTable) {
  struct Case {
    uint8_t type;
    int32_t size;
    int32_t bytes;
    int32_t declared;
  };
  const Case cases[] = {
      {ftString, 10, 10, 10},     {ftFixedChar, 3, 3, 3},       {ftGuid, 38, 38, 38},
      {ftWideString, 10, 20, 10}, {ftBytes, 5, 5, 5},           {ftVarBytes, 6, 6, 6},
      {ftSmallint, 99, 2, 0},     {ftBoolean, 0, 2, 0},         {ftInteger, 0, 4, 0},
      {ftTime, 0, 4, 0},          {ftBCD, 0, 8, 0},             {ftDate, 0, 8, 0},
      {ftDateTime, 0, 8, 0},      {ftLargeint, 0, 8, 0},        {ftMemo, 0, 4, 0},
      {ftDataSet, 0, 4, 4},       {ftOraClob, 0, 4, 0},         {ftCursor, 7, 0, 0},
      {ftVariant, 0, 0, 0},       {ftTimeStamp, 0, 16, 0},      {ftFMTBcd, 0, 34, 0},
      {0x80 | ftInteger, 0, 4, 0}, {0x80 | ftString, 7, 7, 7},  {50, 9, 0, 0},
  };
  TRdaFieldList list;
  for (const Case& c : cases) {
    const TRdaFieldItem& item = list.AddField("F", c.type, c.size);
    EXPECT_EQ(item.DataSize(), c.bytes) << "type " << int{c.type};
    EXPECT_EQ(item.FieldNo(), list.Count());
    EXPECT_EQ(item.DataType(), c.type);
    EXPECT_EQ(RdaDeclaredSize(c.type, c.bytes), c.declared) << "type " << int{c.type};
  }
}

TEST(RdaFieldList, NegativeOrHugeSizeIsRefused) {
  TRdaFieldList list;
  EXPECT_TRUE(RaisesWith<EDatabaseError>([&] { list.AddField("Name", ftString, -1); },
                                         "Invalid size -1 for field 'Name'"));
  EXPECT_TRUE(RaisesWith<EDatabaseError>([&] { list.AddField("W", ftWideString, 0x7FFFFFFF); },
                                         "Invalid size 2147483647 for field 'W'"));
  EXPECT_EQ(list.Count(), 0);
  EXPECT_TRUE(RaisesWith<EListError>([&] { list.Items(0); }, "List index out of bounds (0)"));
}

TEST(RdaDBList, LayoutSizesFollowTheFieldCount) {
  struct Case {
    int fields;
    int32_t words;
  };
  for (const Case c : {Case{0, 2}, Case{31, 2}, Case{32, 3}, Case{64, 4}}) {
    TRdaDBList store;
    for (int i = 0; i < c.fields; ++i) store.AddField("F" + std::to_string(i), ftInteger, 0);
    store.CalcLayout();
    EXPECT_EQ(store.NullWordCount(), c.words) << c.fields;
    EXPECT_EQ(store.NullFlagsOffset(), 4 * c.fields + 1);
    EXPECT_EQ(store.RecordSize(), 4 * c.fields + 4 * c.words);
    EXPECT_EQ(store.Verify(), "");
  }
}

TEST(RdaDBList, ThreeFieldExampleLayout) {
  TRdaDBList store;
  store.AddField("A", ftInteger, 0);
  store.AddField("B", ftString, 10);
  store.AddField("C", ftFloat, 0);
  store.CalcLayout();
  EXPECT_EQ(store.FieldList().Items(0).Offset(), 0);
  EXPECT_EQ(store.FieldList().Items(1).Offset(), 4);
  EXPECT_EQ(store.FieldList().Items(2).Offset(), 14);
  EXPECT_EQ(store.NullFlagsOffset(), 23);
  EXPECT_EQ(store.RecordSize(), 30);

  TRdaDBListItem* row = store.AddWithID(1);
  EXPECT_EQ(row->Image(), std::string(30, '\0'));
  EXPECT_TRUE(row->IsNull(0) && row->IsNull(1) && row->IsNull(2));
  row->SetDouble(2, 1.5);
  row->SetInt32(0, 7);
  EXPECT_EQ(Hex(row->Image().substr(22)), "00 05 00 00 00 00 00 00");
  row->SetInt32(0, 0, /*isNull=*/true);
  EXPECT_TRUE(row->IsNull(0));
  EXPECT_FALSE(row->IsNull(2));
  EXPECT_EQ(store.Verify(), "");
}

TEST(RdaDBList, VerifyReportsABrokenLayout) {
  TRdaDBList store;
  store.AddField("A", ftInteger, 0);
  store.AddField("B", ftString, 4);
  store.CalcLayout();
  store.MutableFieldList().Items(1).SetOffset(3);
  EXPECT_EQ(store.Verify(), "Invalid field layout: field 'B' is at offset 3, not 4");
  store.MutableFieldList().Items(1).SetOffset(4);
  store.AddField("C", ftInteger, 0).SetOffset(8);  // added without CalcLayout
  EXPECT_EQ(store.Verify(), "NullFlagsOffset is not DataBytes + 1");
}

// A store with a text field between two integers, to see what a write of
// one field does to its neighbours.
class RowAccess : public ::testing::Test {
 protected:
  void SetUp() override {
    store_.AddField("Before", ftInteger, 0);
    store_.AddField("Text", ftString, 5);
    store_.AddField("Wide", ftWideString, 3);
    store_.AddField("After", ftInteger, 0);
    store_.CalcLayout();
    row_ = store_.AddWithID(1);
    row_->SetInt32(0, -1);
    row_->SetInt32(3, -1);
  }
  // The images of fields 0 and 3 must stay all ones.
  void ExpectNeighboursIntact() {
    EXPECT_EQ(row_->GetInt32(0), -1);
    EXPECT_EQ(row_->GetInt32(3), -1);
  }
  TRdaDBList store_;
  TRdaDBListItem* row_ = nullptr;
};

TEST_F(RowAccess, TextFillsTheFieldWithoutTerminator) {
  row_->SetText(1, "abcde");
  EXPECT_EQ(row_->GetBytes(1), "abcde");
  row_->SetText(1, "abcdefgh");
  EXPECT_EQ(row_->GetBytes(1), "abcde");
  row_->SetText(1, "xy");
  EXPECT_EQ(row_->GetBytes(1), std::string("xy\0\0\0", 5));
  EXPECT_EQ(row_->GetText(1), "xy");
  EXPECT_FALSE(row_->IsNull(1));
  ExpectNeighboursIntact();
}

TEST_F(RowAccess, WideTextIsCutToSizeCodeUnits) {
  row_->SetWideText(2, std::u16string_view(u"h\u00e9llo"));
  EXPECT_EQ(row_->GetWideText(2), u"h\u00e9l");
  EXPECT_EQ(Hex(row_->GetBytes(2)), "68 00 E9 00 6C 00");
  row_->SetWideText(2, std::u16string_view(u"a\0b", 3));
  EXPECT_EQ(Hex(row_->GetBytes(2)), "61 00 00 00 00 00");
  row_->SetWideText(2, std::string_view("\x80z"));  // the euro sign in the 8-bit code page
  EXPECT_EQ(row_->GetWideText(2), u"\u20acz");
  ExpectNeighboursIntact();
}

TEST(RdaDBListItem, TypedValuesRoundTrip) {
  TRdaDBList store;
  store.AddField("S", ftSmallint, 0);
  store.AddField("B", ftBoolean, 0);
  store.AddField("L", ftLargeint, 0);
  store.AddField("F", ftFloat, 0);
  store.AddField("Y", ftBytes, 3);
  store.AddField("T", ftTimeStamp, 0);
  store.AddField("D", ftFMTBcd, 0);
  store.CalcLayout();
  TRdaDBListItem* row = store.AddWithID(1);
  row->SetInt16(0, -2);
  row->SetBoolean(1, true);
  row->SetInt64(2, -1234567890123);
  row->SetDouble(3, 0.25);
  row->SetBytes(4, std::string("\0\xff", 2));
  SqlTimeStamp ts;
  ts.Year = 2024, ts.Month = 2, ts.Day = 29, ts.Fractions = 7;
  row->SetTimeStamp(5, ts);
  const Bcd bcd = StrToBcd("-12.5");
  row->SetBcd(6, bcd);
  EXPECT_EQ(row->GetInt16(0), -2);
  EXPECT_EQ(Hex(row->GetBytes(1)), "FF FF");
  EXPECT_EQ(row->GetInt64(2), -1234567890123);
  EXPECT_EQ(row->GetDouble(3), 0.25);
  EXPECT_EQ(row->GetBytes(4), std::string("\0\xff\0", 3));
  EXPECT_EQ(row->GetTimeStamp(5), ts);
  EXPECT_EQ(row->GetBcd(6), bcd);
  for (int i = 0; i < 7; ++i) EXPECT_FALSE(row->IsNull(i)) << i;
  EXPECT_EQ(store.Verify(), "");
}

TEST_F(RowAccess, AccessOutsideTheFieldIsRefused) {
  EXPECT_TRUE(RaisesWith<EDatabaseError>(
      [&] { row_->SetInt64(0, 1); }, "Field 'Before' of 4 bytes cannot hold a value of 8 bytes"));
  EXPECT_TRUE(RaisesWith<EListError>([&] { row_->SetInt32(4, 1); },
                                     "List index out of bounds (4)"));
  EXPECT_TRUE(RaisesWith<EListError>([&] { (void)row_->IsNull(-1); },
                                     "List index out of bounds (-1)"));
  ExpectNeighboursIntact();
}

TEST(RdaDBList, LayoutCannotChangeSizeUnderRows) {
  TRdaDBList store;
  store.AddField("A", ftInteger, 0);
  store.CalcLayout();
  store.AddWithID(1);
  store.CalcLayout();  // the same layout again is fine
  store.AddField("B", ftInteger, 0);
  EXPECT_TRUE(RaisesWith<EDatabaseError>(
      [&] { store.CalcLayout(); }, "Cannot change the record size of a row store that holds rows"));
  EXPECT_EQ(store.RecordSize(), 12);
  store.Clear();
  store.CalcLayout();
  EXPECT_EQ(store.RecordSize(), 16);
  EXPECT_EQ(store.AddWithID(1)->DataLength(), 16u);
  EXPECT_EQ(store.Verify(), "");
}

TEST(RdaDBList, InsertIntoAnEmptyStoreAppends) {
  TRdaDBList store;
  store.CalcLayout();
  TRdaDBListItem* first = store.InsertWithID(7, 10);
  EXPECT_EQ(store.Count(), 1);
  EXPECT_EQ(first->RecordID(), 10);
  TRdaDBListItem* front = store.InsertWithID(0, 11);
  EXPECT_EQ(store.Items(0), front);
  EXPECT_EQ(store.Items(1), first);
  EXPECT_TRUE(RaisesWith<EListError>([&] { store.InsertWithID(3, 12); },
                                     "List index out of bounds (3)"));
  EXPECT_EQ(store.Count(), 2);
  EXPECT_EQ(store.Verify(), "");
}

TEST(RdaDBList, IndexOfIDScansWhenTheHintMisses) {
  TRdaDBList store;
  store.CalcLayout();
  EXPECT_EQ(store.IndexOfID(1), -1);
  EXPECT_EQ(store.MaxID(), 0);
  for (int32_t id = 1; id <= 3; ++id) store.AddWithID(id);
  TRdaDBListItem* third = store.Items(2);
  store.DestroyRow(store.Items(1));
  EXPECT_EQ(store.IndexOfID(3), 1);
  EXPECT_EQ(third->Index(), 1);
  EXPECT_EQ(store.IndexOfID(2), -1);
  EXPECT_EQ(store.IndexOfID(1), 0);
  EXPECT_EQ(store.MaxID(), 3);
  EXPECT_EQ(store.Verify(), "");
}

TEST(RdaDBList, CallbacksRunForMemberRowsOnly) {
  std::vector<std::string> events;
  {
    TRdaDBList store;
    store.AddField("A", ftInteger, 0);
    store.CalcLayout();
    store.OnItemCreated = [&](TRdaDBListItem& row) {
      events.push_back("created " + std::to_string(row.RecordID()) + " at " +
                       std::to_string(row.Index()) + (row.IsNull(0) ? " null" : " set"));
    };
    store.OnItemDeleted = [&](TRdaDBListItem& row) {
      events.push_back("deleted " + std::to_string(row.RecordID()));
    };
    store.AddWithID(1);
    store.InsertWithID(0, 2);
    store.AddWithID(3);
    std::unique_ptr<TRdaScratchRow> scratch = store.NewScratchRow();
    EXPECT_EQ(scratch->RecordID(), 2147483647);
    EXPECT_EQ(scratch->Index(), -1);
    scratch.reset();
    store.DestroyRow(store.Items(0));
    EXPECT_TRUE(RaisesWith<EListError>([&] { store.DestroyRow(store.NewScratchRow().get()); },
                                       "List index out of bounds (-1)"));
    events.push_back("store destroyed");
  }
  EXPECT_EQ(events, (std::vector<std::string>{"created 0 at 0 null", "created 0 at 0 null",
                                              "created 0 at 2 null", "deleted 2",
                                              "store destroyed"}));
  events.clear();
  TRdaDBList store;
  store.CalcLayout();
  store.OnItemDeleted = [&](TRdaDBListItem& row) {
    events.push_back("deleted " + std::to_string(row.RecordID()));
  };
  store.AddWithID(1);
  store.AddWithID(2);
  store.Clear();
  EXPECT_EQ(events, (std::vector<std::string>{"deleted 2", "deleted 1"}));
}

TEST(RdaDBList, ScratchRowsTakeImagesOfAnyLength) {
  TRdaDBList store;
  store.AddField("A", ftInteger, 0);
  store.AddField("B", ftString, 2);
  store.CalcLayout();
  std::unique_ptr<TRdaScratchRow> key = store.NewScratchRow();
  EXPECT_EQ(key->DataLength(), 14u);
  EXPECT_EQ(key->Owner(), &store);
  key->SetInt32(0, 42);
  EXPECT_FALSE(key->IsNull(0));
  // A record buffer is longer than the row image.
  const std::string buffer = std::string(key->Image()) + std::string(10, 'x');
  key->SetImage(buffer);
  EXPECT_EQ(key->Image(), buffer);
  key->SetImage("ab");  // padded so that field access stays inside
  EXPECT_EQ(key->DataLength(), 14u);
  key->SetText(1, "zz");
  EXPECT_EQ(key->GetText(1), "zz");
  EXPECT_EQ(store.Count(), 0);

  TRdaDBListItem* row = store.AddWithID(1);
  char image[14];
  key->CopyTo(image);
  row->CopyFrom(image);
  EXPECT_EQ(row->GetText(1), "zz");
  EXPECT_TRUE(RaisesWith<EDatabaseError>([&] { row->SetImage("ab"); },
                                         "Row image of 2 bytes does not fit the record size 14"));
}

TEST(RdaDBList, AScratchRowMadeBeforeTheLayoutGrewStaysInBounds) {
  TRdaDBList store;
  store.AddField("A", ftInteger, 0);
  store.CalcLayout();
  std::unique_ptr<TRdaScratchRow> key = store.NewScratchRow();
  for (int i = 0; i < 40; ++i) store.AddField("B" + std::to_string(i), ftInteger, 0);
  store.CalcLayout();
  const std::string before(key->Image());
  EXPECT_TRUE(RaisesWith<EDatabaseError>([&] { key->SetInt32(1, 1); },
                                         "The null flag of field 1 lies outside the row image"));
  EXPECT_TRUE(RaisesWith<EDatabaseError>([&] { key->SetInt32(3, 1); },
                                         "Field 'B2' lies outside the row image"));
  EXPECT_EQ(key->Image(), before);
  key->SetImage("");  // padded to the new record size
  key->SetInt32(40, 1);
  EXPECT_FALSE(key->IsNull(40));
}

// A store of an integer A and a text B of textSize bytes, and `count` rows
// numbered 1.. in A, with B full.
std::vector<TRdaDBListItem*> FillNumbered(TRdaDBList& store, int32_t textSize, int32_t count) {
  store.AddField("A", ftInteger, 0);
  store.AddField("B", ftString, textSize);
  store.CalcLayout();
  std::vector<TRdaDBListItem*> rows;
  for (int32_t id = 1; id <= count; ++id) {
    TRdaDBListItem* row = store.AddWithID(id);
    row->SetInt32(0, id);
    row->SetText(1, std::string(static_cast<size_t>(textSize), 'r'));
    rows.push_back(row);
  }
  return rows;
}

TEST(RdaDBList, RowsKeepTheirAddressAndFreedSlotsComeBackClean) {
  TRdaDBList store;
  const std::vector<TRdaDBListItem*> rows = FillNumbered(store, 100, 3000);
  // Aggregate references are released with their row.
  auto token = std::make_shared<int>(0);
  rows[10]->AggregateSlots().push_back(std::shared_ptr<TRdaAggregateValue>(token, nullptr));
  EXPECT_EQ(token.use_count(), 2);
  for (size_t i = 0; i < rows.size(); i += 2) store.DestroyRow(rows[i]);
  EXPECT_EQ(token.use_count(), 1);
  for (size_t i = 1; i < rows.size(); i += 2) {
    ASSERT_EQ(rows[i]->GetInt32(0), static_cast<int32_t>(i + 1));
    ASSERT_EQ(store.Items(static_cast<int>(i / 2)), rows[i]);
  }
  for (int32_t id = 5000; id < 5100; ++id) {
    TRdaDBListItem* row = store.AddWithID(id);
    ASSERT_EQ(row->Image(), std::string(static_cast<size_t>(store.RecordSize()), '\0'));
    ASSERT_FALSE(row->HasAggregateSlots());
  }
  EXPECT_EQ(store.Count(), 1600);
  EXPECT_EQ(store.Verify(), "");
}

// A store past a few thousand rows takes its rows in large blocks: rows in
// them behave as any (values, addresses, reused slots, aggregate
// references), and the blocks go back with Clear and with the store.
TEST(RdaDBList, LargeStoresTakeLargeBlocksAndGiveThemBack) {
  const size_t before = RdaLargeBlockBytesInUse();
  {
    TRdaDBList store;
    const std::vector<TRdaDBListItem*> rows = FillNumbered(store, 1000, 12000);
    const size_t large = RdaLargeBlockBytesInUse() - before;
    // About 12 MB of rows: most of it in large blocks, none of them idle.
    EXPECT_GE(large, size_t{6} << 20);
    EXPECT_EQ(large % kRdaLargePage, 0u);
    EXPECT_LT(large, size_t{12000} * 1024 + 2 * kRdaLargePage);
    auto token = std::make_shared<int>(0);
    rows.back()->AggregateSlots().push_back(std::shared_ptr<TRdaAggregateValue>(token, nullptr));
    store.DestroyRow(rows.back());
    EXPECT_EQ(token.use_count(), 1);
    // The freed slot comes back clean, before any new block.
    TRdaDBListItem* again = store.AddWithID(20000);
    EXPECT_EQ(again, rows.back());
    EXPECT_TRUE(again->IsNull(0));
    EXPECT_FALSE(again->HasAggregateSlots());
    for (size_t i = 0; i + 1 < rows.size(); i += 997) ASSERT_EQ(rows[i]->GetInt32(0), static_cast<int32_t>(i + 1));
    EXPECT_EQ(store.Verify(), "");
    store.Clear();
    EXPECT_EQ(RdaLargeBlockBytesInUse(), before);
    // A row larger than a large page still gets a block of its own.
    store.MutableFieldList().Clear();
    store.AddField("Big", ftBytes, static_cast<int32_t>(3 * kRdaLargePage));
    store.CalcLayout();
    store.AddWithID(1)->SetBytes(0, std::string(100, 'b'));
    store.AddWithID(2);
    EXPECT_EQ(store.Items(0)->GetBytes(0).substr(0, 100), std::string(100, 'b'));
    EXPECT_EQ(store.Verify(), "");
  }
  EXPECT_EQ(RdaLargeBlockBytesInUse(), before);
}

TEST(RdaDBList, DestroyingTheStoreReleasesAggregateReferences) {
  auto token = std::make_shared<int>(0);
  {
    TRdaDBList store;
    store.CalcLayout();
    store.AddWithID(1)->AggregateSlots().push_back(
        std::shared_ptr<TRdaAggregateValue>(token, nullptr));
    EXPECT_EQ(token.use_count(), 2);
  }
  EXPECT_EQ(token.use_count(), 1);
}

}  // namespace
}  // namespace rda
