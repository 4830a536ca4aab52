// The tagged stream sections of the field, row and blob stores: exact bytes,
// both text encodings, files, and what malformed input gets.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/Exception.h"
#include "memdata/store/RdaBlobList.h"
#include "memdata/store/RdaDBList.h"
#include "memdata/store/TaggedStream.h"
#include "tests/base/RaisesWith.h"
#include "tests/memdata/ByteFixtures.h"

namespace rda {
namespace {

using test::RaisesWith;

using test::Bytes;
// Text with tag 6: the length byte and the text.
constexpr auto Short = test::TaggedShort;

// The tiny store of the fixture: ID ftInteger, N ftString 3, and one row
// (RecordID 1, ID 5, N "ab").
void FillTiny(TRdaDBList& store) {
  store.AddField("ID", ftInteger, 0);
  store.AddField("N", ftString, 3);
  store.CalcLayout();
  TRdaDBListItem* row = store.AddWithID(1);
  row->SetInt32(0, 5);
  row->SetText(1, "ab");
}

const std::string kTinyFields = Short("TRdaFieldList") + Bytes({1}) +
                                Bytes({2, 1, 2, 4, 2, 0, 2, 3}) + Short("ID") +
                                Bytes({2, 2, 2, 3, 2, 4, 2, 1}) + Short("N") + Bytes({0});
const std::string kTinyRowImage = Bytes({5, 0, 0, 0, 'a', 'b', 0, 0, 3, 0, 0, 0, 0, 0, 0});
const std::string kTinyRows =
    Short("TRdaDBList") + Bytes({1, 2, 1}) + Short(kTinyRowImage) + Bytes({0});
const std::string kTinyStore = kTinyFields + kTinyRows;

TEST(RdaSections, TinyStoreHasExactBytes) {
  TRdaDBList store;
  FillTiny(store);
  TMemoryStream stream;
  store.SaveToStream(stream);
  EXPECT_EQ(stream.Bytes(), kTinyStore);

  TRdaDBList loaded;
  TMemoryStream in(kTinyStore);
  loaded.LoadFromStream(in);
  EXPECT_EQ(in.Remaining(), 0u);
  EXPECT_EQ(loaded.FieldList(), store.FieldList());
  EXPECT_EQ(loaded.RecordSize(), 15);
  ASSERT_EQ(loaded.Count(), 1);
  EXPECT_EQ(loaded.Items(0)->RecordID(), 1);
  EXPECT_EQ(loaded.Items(0)->Image(), kTinyRowImage);
  EXPECT_EQ(loaded.Verify(), "");
}

TEST(RdaSections, IntegersTakeTheSmallestTag) {
  struct Case {
    int32_t value;
    std::string bytes;
  };
  const Case cases[] = {
      {-128, Bytes({2, 0x80})},
      {127, Bytes({2, 0x7F})},
      {-129, Bytes({3, 0x7F, 0xFF})},
      {32767, Bytes({3, 0xFF, 0x7F})},
      {32768, Bytes({4, 0, 0x80, 0, 0})},
      {-32769, Bytes({4, 0xFF, 0x7F, 0xFF, 0xFF})},
      {INT32_MIN, Bytes({4, 0, 0, 0, 0x80})},
  };
  for (const Case& c : cases) {
    TMemoryStream stream;
    TaggedWriter(stream).WriteInteger(c.value);
    EXPECT_EQ(stream.Bytes(), c.bytes) << c.value;
    stream.SetPosition(0);
    EXPECT_EQ(TaggedReader(stream).ReadInteger(), c.value);
  }
}

TEST(RdaSections, RowImageOf300BytesUsesTag12) {
  TRdaDBList store;
  store.AddField("Big", ftString, 292);
  store.CalcLayout();
  ASSERT_EQ(store.RecordSize(), 300);
  store.AddWithID(1)->SetText(0, "x");
  TMemoryStream stream;
  store.SaveRowsToStream(stream);
  const std::string head = Short("TRdaDBList") + Bytes({1, 2, 1, 12, 0x2C, 0x01, 0, 0, 'x'});
  EXPECT_EQ(stream.Bytes().substr(0, head.size()), head);
  EXPECT_EQ(stream.Size(), head.size() - 1 + 300 + 1);
}

TEST(RdaSections, BlobTextTagsAndExactBytes) {
  TRdaBlobList blobs;
  blobs.AddBlob(std::string_view("x\xE9"), 3);
  TMemoryStream stream;
  blobs.SaveToStream(stream);
  EXPECT_EQ(stream.Bytes(), Short("TRdaBlobList") +
                                Bytes({1, 2, 1, 2, 3, 20, 3, 0, 0, 0, 'x', 0xC3, 0xA9, 0}));

  struct Case {
    std::string bytes;
    int tag;
  };
  std::string every;
  for (int b = 0; b < 256; ++b) every.push_back(static_cast<char>(b));
  const Case cases[] = {{"plain", 6}, {std::string(300, 'a'), 12}, {every, 20},
                        {std::string("\x81\x8D\x8F\x90\x9D"), 20}, {"", 6}};
  for (const Case& c : cases) {
    TRdaBlobList list;
    list.AddBlob(c.bytes, 1);
    TMemoryStream out;
    list.SaveToStream(out);
    EXPECT_EQ(static_cast<uint8_t>(out.Bytes()[Short("TRdaBlobList").size() + 5]), c.tag);
    out.SetPosition(0);
    TRdaBlobList back;
    back.LoadFromStream(out);
    ASSERT_NE(back.FindBlob(1, 1), nullptr);
    EXPECT_EQ(back.FindBlob(1, 1)->Bytes(), c.bytes);
  }
}

TEST(RdaSections, WideTextIsReadBackThroughTheCodePage) {
  // One blob whose text is tag 18: U+20AC, 'A', U+4E2D (not in the code page).
  const std::string section = Short("TRdaBlobList") +
                              Bytes({1, 2, 4, 2, 1, 18, 3, 0, 0, 0, 0xAC, 0x20, 'A', 0, 0x2D,
                                     0x4E, 0});
  TMemoryStream stream(section);
  TRdaBlobList blobs;
  blobs.LoadFromStream(stream);
  ASSERT_EQ(blobs.Count(), 1);
  EXPECT_EQ(blobs.Items(0).Stream().Bytes(), "\x80" "A?");
}

TEST(RdaSections, BlobIdentities) {
  TRdaBlobList blobs;
  EXPECT_EQ(blobs.AddBlob(nullptr, 1), 1);
  EXPECT_EQ(blobs.AddBlob(nullptr, 1), 2);
  EXPECT_EQ(blobs.AddBlob(nullptr, 2), 3);
  blobs.Items(2).SetBlobID(5);
  EXPECT_EQ(blobs.MaxID(), 5);
  TMemoryStream stream;
  blobs.SaveToStream(stream);
  stream.SetPosition(0);
  TRdaBlobList loaded;
  loaded.LoadFromStream(stream);
  EXPECT_EQ(loaded.LastBlobID(), 6);
  EXPECT_EQ(loaded.AddBlob(nullptr, 1), 7);

  // A candidate equal to the last item's identity is passed over, without
  // moving LastBlobID.
  TRdaBlobList bump;
  bump.AddBlob(nullptr, 1);
  bump.Items(0).SetBlobID(2);
  EXPECT_EQ(bump.AddBlob(nullptr, 1), 3);
  EXPECT_EQ(bump.LastBlobID(), 2);

  // Found by the pair, first in list order.
  TMemoryStream source(std::string("data"));
  source.SetPosition(2);
  const int32_t id = bump.AddBlob(&source, 4);
  EXPECT_EQ(bump.FindBlob(id, 4)->Bytes(), "data");
  EXPECT_EQ(bump.FindBlob(id, 5), nullptr);
  EXPECT_EQ(bump.IndexOfBlob(id, 4), 2);
  bump.DeleteBlob(id, 5);
  EXPECT_EQ(bump.Count(), 3);
  bump.DeleteBlob(id, 4);
  EXPECT_EQ(bump.IndexOfBlob(id, 4), -1);
}

// The pair finds the first item in list order whatever happened to the list:
// items that share a pair (a stream may hold them), deletes, and items given
// other pairs. Each step is checked against a walk of the list.
TEST(RdaSections, BlobsAreFoundByThePairFirstInListOrder) {
  // (BlobID, FieldNo) of a loaded section: pairs repeat.
  const std::vector<std::pair<int, int>> pairs = {{1, 1}, {2, 1}, {1, 1}, {1, 2}, {2, 1}, {1, 1}};
  std::string section = Short("TRdaBlobList") + Bytes({1});
  for (size_t i = 0; i < pairs.size(); ++i) {
    section += Bytes({2, pairs[i].first, 2, pairs[i].second}) + Short("v" + std::to_string(i));
  }
  section += Bytes({0});
  TMemoryStream stream(section);
  TRdaBlobList blobs;
  blobs.LoadFromStream(stream);
  ASSERT_EQ(blobs.Count(), 6);

  auto check = [&](const std::string& step) {
    SCOPED_TRACE(step);
    for (int id = 0; id <= 4; ++id) {
      for (int field = 1; field <= 3; ++field) {
        int first = -1;
        for (int i = 0; i < blobs.Count() && first < 0; ++i) {
          if (blobs.Items(i).BlobID() == id && blobs.Items(i).FieldNo() == field) first = i;
        }
        EXPECT_EQ(blobs.IndexOfBlob(id, field), first) << id << "," << field;
        EXPECT_EQ(blobs.FindBlob(id, field), first < 0 ? nullptr : &blobs.Items(first).Stream());
      }
    }
  };
  check("loaded");
  blobs.DeleteBlob(1, 1);  // the first of three
  check("first (1,1) deleted");
  // Now (2,1) (1,1) (1,2) (2,1) (1,1).
  blobs.Items(2).SetBlobID(4);   // (1,2) becomes (4,2)
  blobs.Items(0).SetFieldNo(2);  // the first (2,1) becomes (2,2)
  check("re-keyed");
  blobs.Items(4).SetBlobID(2);   // the last (1,1) becomes a second (2,1)
  blobs.Items(3).SetFieldNo(3);  // and the first (2,1) moves away from it
  check("re-keyed again");
  blobs.Items(1).SetBlobID(2);   // a (2,1) ahead of the one found so far
  check("ahead");
  blobs.DeleteBlob(2, 2);
  blobs.DeleteBlob(2, 2);  // none left
  check("(2,2) deleted");
  const int32_t id = blobs.AddBlob(std::string_view("new"), 1);
  check("added");
  EXPECT_EQ(blobs.FindBlob(id, 1)->Bytes(), "new");
  blobs.Clear();
  check("cleared");
}

TEST(RdaSections, SectionsFollowOneAnother) {
  TRdaDBList store;
  FillTiny(store);
  TRdaBlobList blobs;
  blobs.AddBlob(std::string_view("blob"), 2);
  TMemoryStream stream;
  store.SaveToStream(stream);
  blobs.SaveToStream(stream);
  stream.Write("tail");
  stream.SetPosition(0);

  TRdaDBList store2;
  TRdaBlobList blobs2;
  store2.LoadFromStream(stream);
  EXPECT_EQ(stream.Position(), kTinyStore.size());
  blobs2.LoadFromStream(stream);
  EXPECT_EQ(stream.Rest(), "tail");
  EXPECT_EQ(blobs2.FindBlob(1, 2)->Bytes(), "blob");
}

TEST(RdaSections, FilesRoundTripAndReportOpenErrors) {
  const std::string dir = ::testing::TempDir();
  const std::string path = dir + "/rda_sections_store.bin";
  TRdaDBList store;
  FillTiny(store);
  store.SaveToFile(path);
  TRdaDBList loaded;
  loaded.LoadFromFile(path);
  ASSERT_EQ(loaded.Count(), 1);
  EXPECT_EQ(loaded.Items(0)->Image(), kTinyRowImage);
  std::remove(path.c_str());

  const std::string missing = dir + "/rda_no_such_file.bin";
  EXPECT_TRUE(RaisesWith<EFOpenError>(
      [&] { loaded.LoadFromFile(missing); },
      "Cannot open file \"" + missing + "\". No such file or directory"));
  EXPECT_TRUE(RaisesWith<EFOpenError>([&] { loaded.LoadFromFile(dir); },
                                      "Cannot open file \"" + dir + "\". Is a directory"));
  const std::string nowhere = dir + "/rda_no_such_dir/x.bin";
  EXPECT_TRUE(RaisesWith<EFCreateError>(
      [&] { store.SaveToFile(nowhere); },
      "Cannot create file \"" + nowhere + "\". No such file or directory"));
  EXPECT_EQ(loaded.Count(), 1);
}

// --- malformed input -------------------------------------------------------

TEST(RdaSectionsMalformed, TruncatedAnywhereIsAReadError) {
  TRdaDBList store;
  FillTiny(store);
  store.AddWithID(2)->SetText(1, "cd");
  TRdaBlobList blobs;
  blobs.AddBlob(std::string_view("\xFF\xFE blob"), 2);
  TMemoryStream full;
  store.SaveToStream(full);
  const size_t storeEnd = full.Size();
  blobs.SaveToStream(full);
  const std::string& bytes = full.Bytes();
  const size_t secondRowEnd = storeEnd - 1;
  const size_t firstRowEnd = secondRowEnd - (2 + 2 + 15);  // id, tag and length, image
  for (size_t n = 0; n < bytes.size(); ++n) {
    TMemoryStream stream(bytes.substr(0, n));
    TRdaDBList s;
    TRdaBlobList b;
    ASSERT_TRUE(RaisesWith<EReadError>(
        [&] {
          s.LoadFromStream(stream);
          b.LoadFromStream(stream);
        },
        "Stream read error"))
        << "cut at " << n;
    // Rows read completely before the cut stay.
    const int rows = n >= secondRowEnd ? 2 : n >= firstRowEnd ? 1 : 0;
    ASSERT_EQ(s.Count(), rows) << "cut at " << n;
    ASSERT_EQ(s.Verify(), "");
  }
}

// Field sections built from explicit values, for layouts that do not fit.
struct FieldSpec {
  int32_t fieldNo, dataSize, offset, dataType;
  std::string name;
};

std::string FieldSection(const std::vector<FieldSpec>& fields) {
  TMemoryStream stream;
  TaggedWriter writer(stream);
  writer.WriteSectionBegin("TRdaFieldList");
  for (const FieldSpec& f : fields) {
    writer.WriteInteger(f.fieldNo);
    writer.WriteInteger(f.dataSize);
    writer.WriteInteger(f.offset);
    writer.WriteInteger(f.dataType);
    writer.WriteRawText(f.name);
  }
  writer.WriteListEnd();
  return stream.TakeBytes();
}

TEST(RdaSectionsMalformed, EachBadInputGetsItsError) {
  const std::string emptyRows = Short("TRdaDBList") + Bytes({1, 0});
  const std::string rowHead = kTinyFields + Short("TRdaDBList") + Bytes({1, 2, 1});
  auto patched = [](std::string s, size_t at, int byte) {
    s[at] = static_cast<char>(byte);
    return s;
  };
  const size_t firstItem = Short("TRdaFieldList").size() + 1;
  struct Case {
    const char* what;
    std::string bytes;
    std::string message;
  };
  const std::string invalid = "Invalid property value";
  const std::string readError = "Stream read error";
  const Case cases[] = {
      {"class name with an integer tag", patched(kTinyStore, 0, 2), invalid},
      {"list start missing", patched(kTinyStore, firstItem - 1, 2), invalid},
      {"FieldNo as text", patched(kTinyStore, firstItem, 6), invalid},
      {"unknown tag 5", patched(kTinyStore, firstItem, 5), invalid},
      {"Name as integer", patched(kTinyStore, firstItem + 8, 2), invalid},
      {"row image as integer", rowHead + Bytes({4, 0, 0, 0, 0, 0}), invalid},
      {"list end missing", rowHead + Short(kTinyRowImage) + Bytes({1}), invalid},
      {"negative length", rowHead + Bytes({12, 0xFF, 0xFF, 0xFF, 0xFF, 0}), readError},
      {"huge length", rowHead + Bytes({12, 0xFF, 0xFF, 0xFF, 0x7F, 0}), readError},
      {"huge UTF-8 length", rowHead + Bytes({20, 0, 0, 0, 0x40, 0}), readError},
      {"huge UTF-16 length", rowHead + Bytes({18, 0, 0, 0, 0x40, 'a', 0}), readError},
      {"short row image", rowHead + Short(kTinyRowImage.substr(1)) + Bytes({0}),
       "Row image of 14 bytes does not fit the record size 15"},
      {"offset not the running sum",
       FieldSection({{1, 4, 0, ftInteger, "ID"}, {2, 3, 5, ftString, "N"}}) + emptyRows,
       "Invalid field layout: field 'N' is at offset 5, not 4"},
      {"fixed size that does not fit the type",
       FieldSection({{1, 2, 0, ftInteger, "ID"}}) + emptyRows,
       "Invalid field layout: field 'ID' of type 3 takes 4 bytes, not 2"},
      {"negative size", FieldSection({{1, -4, 0, ftString, "S"}}) + emptyRows,
       "Invalid field layout: field 'S' has a negative size -4"},
      {"odd wide text", FieldSection({{1, 5, 0, ftWideString, "W"}}) + emptyRows,
       "Invalid field layout: field 'W' holds wide text in an odd 5 bytes"},
      {"image beyond the limit",
       FieldSection({{1, 0x40000000, 0, ftString, "A"}, {2, 1, 0x40000000, ftBytes, "B"}}) +
           emptyRows,
       "Invalid field layout: the row image exceeds 1073741824 bytes"},
  };
  for (const Case& c : cases) {
    TRdaDBList store;
    TMemoryStream stream(c.bytes);
    EXPECT_TRUE(RaisesWith<EReadError>([&] { store.LoadFromStream(stream); }, c.message))
        << c.what;
    EXPECT_EQ(store.Verify(), "") << c.what;
  }
}

TEST(RdaSectionsMalformed, AFieldListThatDoesNotFitLeavesTheStoreAlone) {
  TRdaDBList store;
  FillTiny(store);
  TMemoryStream stream(FieldSection({{1, 4, 0, ftInteger, "ID"}, {2, 3, 3, ftString, "N"}}) +
                       kTinyRows);
  EXPECT_THROW(store.LoadFromStream(stream), EReadError);
  EXPECT_EQ(store.Count(), 1);
  EXPECT_EQ(store.FieldList().Items(1).Offset(), 4);
  EXPECT_EQ(store.Items(0)->Image(), kTinyRowImage);
  EXPECT_EQ(store.Verify(), "");
}

TEST(RdaSectionsMalformed, UnknownTypesKeepTheirStoredSize) {
  // A newer peer's type code: its bytes are carried as they are.
  TRdaDBList store;
  TMemoryStream stream(FieldSection({{1, 6, 0, 99, "New"}, {2, 4, 6, 0x80 | ftInteger, "I"}}) +
                       Short("TRdaDBList") + Bytes({1, 0}));
  store.LoadFromStream(stream);
  EXPECT_EQ(store.RecordSize(), 18);
  EXPECT_EQ(store.Verify(), "");
}

}  // namespace
}  // namespace rda
