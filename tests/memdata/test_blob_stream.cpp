// Blob values through blob streams: the three modes, the write-back when a
// stream goes, old values on cancel, blob-only stream events, and no blob
// that no row refers to outliving its edit or reaching a saved stream.
#include <gtest/gtest.h>

#include <exception>
#include <memory>
#include <string>

#include "memdata/RdaBlobStream.h"
#include "memdata/RdaCustomDataSet.h"
#include "tests/memdata/DataSetTestUtil.h"

namespace rda {
namespace {

using test::MessageOf;

std::unique_ptr<TRdaDataSet> Notes() {
  auto ds = std::make_unique<TRdaDataSet>();
  ds->AddField("Id", ftInteger, 0);
  ds->AddField("Note", ftMemo, 0);
  ds->AddField("Data", ftBlob, 0);
  ds->Open();
  return ds;
}

void WriteThrough(TRdaCustomDataSet& ds, const char* field, std::string_view bytes) {
  auto stream = ds.CreateBlobStream(ds.FieldByName(field), bmWrite);
  stream->Write(bytes);
}

// The blobs a dataset stream carries (its blob section, read back).
int SavedBlobs(TRdaCustomDataSet& ds) {
  auto copy = TextToDataSet(ds.DataSetToText());
  return copy->BlobStore().Count();
}

TEST(BlobStream, ModesReadWriteAndWriteBackWhenTheStreamGoes) {
  auto ds = Notes();
  ds->AppendRecord({Variant(1), Variant("hello")});
  TField& note = ds->FieldByName("Note");
  {
    auto read = ds->CreateBlobStream(note, bmRead);
    EXPECT_EQ(read->Bytes(), "hello");
    EXPECT_EQ(read->Position(), 0u);
    EXPECT_FALSE(read->Modified());
  }
  ds->Edit();
  {
    auto both = ds->CreateBlobStream(note, bmReadWrite);
    both->SetPosition(1);
    both->Write("ELL");
    EXPECT_TRUE(both->Modified());
    EXPECT_EQ(note.AsString(), "hello");  // not before it goes
  }
  EXPECT_EQ(note.AsString(), "hELLo");
  EXPECT_TRUE(ds->Modified());
  ds->Post();
  EXPECT_EQ(note.AsString(), "hELLo");
  EXPECT_EQ(ds->BlobStore().Count(), 1);
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { ds->CreateBlobStream(ds->FieldByName("Id"), bmRead); }),
            "Field 'Id' is not a blob field");
}

TEST(BlobStream, InsertedRowsWriteNothingForAnEmptyStreamAndReadingCreatesABlob) {
  auto ds = Notes();
  ds->Append();
  { auto empty = ds->CreateBlobStream(ds->FieldByName("Note"), bmWrite); }
  EXPECT_TRUE(ds->FieldByName("Note").IsNull());
  EXPECT_EQ(ds->BlobStore().Count(), 0);
  {
    auto read = ds->CreateBlobStream(ds->FieldByName("Data"), bmRead);
    EXPECT_EQ(read->Size(), 0u);
  }
  EXPECT_FALSE(ds->FieldByName("Data").IsNull());
  EXPECT_EQ(ds->BlobStore().Count(), 1);
  ds->Post();
  EXPECT_EQ(SavedBlobs(*ds), 1);
}

TEST(BlobStream, ACancelledEditRestoresTheOldValuesAndKeepsNoOrphans) {
  auto ds = Notes();
  ds->AppendRecord({Variant(1), Variant("first note")});
  TField& note = ds->FieldByName("Note");
  ds->Edit();
  WriteThrough(*ds, "Note", "rewritten");
  WriteThrough(*ds, "Data", "new blob");  // the row had none
  EXPECT_EQ(note.AsString(), "rewritten");
  EXPECT_EQ(ds->BlobStore().Count(), 2);
  ds->Cancel();
  EXPECT_EQ(note.AsString(), "first note");
  EXPECT_TRUE(ds->FieldByName("Data").IsNull());
  EXPECT_EQ(ds->BlobStore().Count(), 1);

  // Written twice in a new row: the first value goes at the post.
  ds->Append();
  ds->FieldByName("Id").SetAsInteger(2);
  note.SetAsString("draft");
  note.SetAsString("final");
  ds->Post();
  EXPECT_EQ(note.AsString(), "final");
  EXPECT_EQ(ds->BlobStore().Count(), 2);
  // A cancelled insert takes its blobs with it.
  ds->Append();
  note.SetAsString("never posted");
  ds->Cancel();
  EXPECT_EQ(ds->BlobStore().Count(), 2);
  // So does a pending insert dropped by a close.
  ds->Append();
  note.SetAsString("dropped");
  ds->Close();
  ds->Open();
  EXPECT_EQ(ds->BlobStore().Count(), 2);
  EXPECT_EQ(SavedBlobs(*ds), 2);
}

TEST(BlobStream, BlobsNoRowRefersToAreNotSaved) {
  auto ds = Notes();
  ds->AppendRecord({Variant(1), Variant("kept")});
  ds->BlobStore().AddBlob(std::string_view("nobody's"), 2);
  EXPECT_EQ(ds->BlobStore().Count(), 2);
  auto copy = TextToDataSet(ds->DataSetToText());
  ASSERT_EQ(copy->BlobStore().Count(), 1);
  // The referenced blob keeps its identity.
  EXPECT_EQ(copy->BlobStore().Items(0).BlobID(), ds->BlobStore().Items(0).BlobID());
  EXPECT_EQ(copy->FieldByName("Note").AsString(), "kept");
}

TEST(BlobStream, AFailedWriteBackGoesToTheApplicationsHandler) {
  auto ds = Notes();
  ds->AppendRecord({Variant(1), Variant("old")});
  ds->SetStreamOptions({ssBlobOnlyStreamEvent});
  ds->OnStreamEvent = [](TRdaCustomDataSet&, TMemoryStream&, bool isLoading) {
    if (!isLoading) throw EDatabaseError("disk on fire");
  };
  std::string handled;
  SetApplicationExceptionHandler([&handled](std::exception_ptr e) {
    try {
      std::rethrow_exception(e);
    } catch (const std::exception& x) {
      handled = x.what();
    }
  });
  ds->Edit();
  EXPECT_NO_THROW(WriteThrough(*ds, "Note", "new"));
  SetApplicationExceptionHandler(nullptr);
  EXPECT_EQ(handled, "disk on fire");
  EXPECT_EQ(ds->FieldByName("Note").AsString(), "old");
}

TEST(BlobStream, AStreamOutlivingItsDataSetWritesNothing) {
  auto ds = Notes();
  ds->AppendRecord({Variant(1), Variant("old")});
  ds->Edit();
  auto stream = ds->CreateBlobStream(ds->FieldByName("Note"), bmWrite);
  stream->Write("late");
  ds->Close();
  EXPECT_EQ(stream->DataSet(), nullptr);
  stream.reset();
  ds->Open();
  EXPECT_EQ(ds->FieldByName("Note").AsString(), "old");
  auto other = ds->CreateBlobStream(ds->FieldByName("Note"), bmRead);
  ds.reset();
  EXPECT_EQ(other->DataSet(), nullptr);
  EXPECT_EQ(other->Bytes(), "old");
}

TEST(BlobStream, BlobOnlyStreamEventsTransformEachValueOnItsWay) {
  // Stored reversed, read forwards: every read gives the same value.
  auto reverse = [](TRdaCustomDataSet&, TMemoryStream& s, bool) {
    std::string b = s.Bytes();
    s.SetBytes(std::string(b.rbegin(), b.rend()));
  };
  auto ds = Notes();
  ds->SetStreamOptions({ssIndexes, ssAggregates, ssBlobOnlyStreamEvent});
  ds->OnStreamEvent = reverse;
  ds->AppendRecord({Variant(1), Variant("abc")});
  EXPECT_EQ(ds->BlobStore().Items(0).Stream().Bytes(), "cba");
  EXPECT_EQ(ds->FieldByName("Note").AsString(), "abc");
  EXPECT_EQ(ds->FieldByName("Note").AsString(), "abc");
  // The whole stream is not transformed; its blobs stay as stored.
  const std::string bytes = ds->DataSetToText();
  EXPECT_NE(bytes.find("cba"), std::string::npos);
  TRdaDataSet loaded;
  loaded.SetStreamOptions({ssBlobOnlyStreamEvent});
  loaded.OnStreamEvent = reverse;
  TMemoryStream stream(bytes);
  loaded.LoadFromStream(stream);
  EXPECT_EQ(loaded.FieldByName("Note").AsString(), "abc");
  // A cancelled edit writes the old value back through the event too.
  loaded.Edit();
  loaded.FieldByName("Note").SetAsString("xyz");
  loaded.Cancel();
  EXPECT_EQ(loaded.FieldByName("Note").AsString(), "abc");
  EXPECT_EQ(loaded.BlobStore().Items(0).Stream().Bytes(), "cba");
}

}  // namespace
}  // namespace rda
