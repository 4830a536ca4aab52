// The dataset stream: a whole in-memory dataset as bytes, for files, for
// datasets inside parameters and messages, and for nested-dataset values.
//
//   offset  size  meaning
//   0       4     magic number 0x26FEA869 (bytes 69 A8 FE 26)
//   4       4     option bits: bit n set when TRdaStreamSaveOption n is in
//                 StreamOptions (bits 9-31 zero; a reader ignores them)
//   8       ...   only when the dataset had a row store:
//                   field section    (memdata/store/RdaFList.h)
//                   row section      (memdata/store/RdaDBList.h)
//                   blob section     (memdata/store/RdaBlobList.h)
//                   indexes section  with ssIndexes    (RdaIndexesStream.cpp)
//                   aggregates       with ssAggregates (RdaIndexesStream.cpp)
//
// A legacy stream has no header and begins with the field section. The
// reader trusts nothing: every length and count is checked against the bytes
// left before anything is allocated for it, the field layout is checked
// before a row is touched, and an error names the section, the byte and the
// check (RdaStreamError.h). docs/formats/dataset-stream.md has the example
// bytes.
#include <algorithm>
#include <unordered_set>

#include "base/AtomicFile.h"
#include "base/ByteIO.h"
#include "base/ScopeGuard.h"
#include "memdata/RdaCustomDataSet.h"
#include "memdata/RdaStreamError.h"
#include "memdata/ValueGuard.h"
#include "memdata/store/RdaStoredValue.h"
#include "memdata/store/TaggedStream.h"

namespace rda {

namespace {

constexpr uint32_t kStreamMagic = 0x26FEA869;
constexpr size_t kMagicSize = 4;
constexpr uint32_t kOptionBits = 0x1FF;  // ssRdaLegacy .. ssCustom

}  // namespace

// ---------------------------------------------------------------------------
// Errors and raw texts

void ThrowStreamError(const std::string& text, const char* section, size_t position,
                      const std::string& check) {
  throw EDataSetStreamError(text + " (" + section + " section, byte " + std::to_string(position) +
                            ": " + check + ")");
}

void RethrowInSection(const EReadError& error, const char* section, const TMemoryStream& stream) {
  const std::string& text = error.Message();
  const size_t position = stream.Position();
  if (text == kStreamReadError) {
    ThrowStreamError(text, section, position, "a value runs past the end of the stream");
  }
  if (text == kInvalidPropertyValue && position > 0 && position <= stream.Size()) {
    // The tag readers fail right after the tag they do not take.
    const auto tag = static_cast<uint8_t>(stream.View()[position - 1]);
    ThrowStreamError(text, section, position - 1, "unexpected tag " + std::to_string(tag));
  }
  throw EDataSetStreamError(text + " (" + section + " section, byte " + std::to_string(position) +
                            ")");
}

std::string ReadRawText(TMemoryStream& stream, const char* section) {
  const uint32_t length = stream.ReadU32();
  if (length > stream.Remaining()) {
    ThrowStreamError(kStreamReadError, section, stream.Position() - 4,
                     "a text of " + std::to_string(length) + " bytes runs past the end of the stream");
  }
  return std::string(stream.Read(length));
}

void WriteRawText(TMemoryStream& stream, std::string_view text) {
  stream.WriteU32(static_cast<uint32_t>(text.size()));
  stream.Write(text);
}

// ---------------------------------------------------------------------------
// Options, header, event

void TRdaCustomDataSet::SetStreamOptions(TRdaStreamSaveOptions options) {
  streamOptions_ = options;
  headerless_ = options.Contains(ssRdaLegacy);
}

void TRdaCustomDataSet::WriteStreamHeader(TMemoryStream& stream) {
  stream.WriteU32(kStreamMagic);
  stream.WriteU32(streamOptions_.Bits() & kOptionBits);
}

void TRdaCustomDataSet::ReadStreamHeader(TMemoryStream& stream) {
  ReadSection("header", stream, [&] {
    if (stream.ReadU32() == kStreamMagic) {
      streamOptions_ = TRdaStreamSaveOptions::FromBits(stream.ReadU32() & kOptionBits);
    } else {
      streamOptions_ = {ssRdaLegacy};
      stream.SetPosition(stream.Position() - kMagicSize);
    }
  });
  // What a stream says about itself holds for that stream only: the next
  // load looks for a header again.
  headerless_ = false;
}

void TRdaCustomDataSet::DoStreamEvent(TMemoryStream& stream, bool isLoading) {
  if (!OnStreamEvent) return;
  OnStreamEvent(*this, stream, isLoading);
  if (isLoading) stream.SetPosition(0);
}

// ---------------------------------------------------------------------------
// Saving

void TRdaCustomDataSet::SaveToStream(TMemoryStream& stream) {
  WriteStreamHeader(stream);
  if (store_) {
    store_->SaveToStream(stream);
    WriteBlobSection(stream);
    if (streamOptions_.Contains(ssIndexes)) indexes_.SaveToStream(stream);
    if (streamOptions_.Contains(ssAggregates)) aggregates_.SaveToStream(stream);
    // A pending edit is not posted behind the caller's back.
    if (Active() && State() == dsBrowse) Refresh();
  }
  if (!streamOptions_.Contains(ssBlobOnlyStreamEvent)) DoStreamEvent(stream, false);
}

// Only the blobs that rows refer to (by the identity in the row, whatever
// its null flag): a blob nobody refers to is not part of the dataset.
void TRdaCustomDataSet::WriteBlobSection(TMemoryStream& stream) const {
  TaggedWriter writer(stream);
  writer.WriteSectionBegin("TRdaBlobList");
  const TRdaFieldList& fields = store_->FieldList();
  std::vector<int> blobFields;
  for (int i = 0; i < fields.Count(); ++i) {
    if (IsRdaBlobFieldType(fields.Items(i).DataType()) && fields.Items(i).DataSize() >= 4) {
      blobFields.push_back(i);
    }
  }
  if (!blobFields.empty() && blobs_.Count() > 0) {
    auto key = [](int32_t id, int32_t fieldNo) {
      return (static_cast<uint64_t>(static_cast<uint32_t>(fieldNo)) << 32) | static_cast<uint32_t>(id);
    };
    std::unordered_set<uint64_t> referenced;
    referenced.reserve(static_cast<size_t>(store_->Count()) * blobFields.size());
    for (const TRdaDBListItem* row : store_->Rows()) {
      for (int i : blobFields) referenced.insert(key(row->GetInt32(i), i + 1));
    }
    for (int b = 0; b < blobs_.Count(); ++b) {
      const TRdaBlobListItem& item = blobs_.Items(b);
      if (!referenced.erase(key(item.BlobID(), item.FieldNo()))) continue;
      writer.WriteInteger(item.BlobID());
      writer.WriteInteger(item.FieldNo());
      writer.WriteConvertingText(item.Stream().Bytes());
    }
  }
  writer.WriteListEnd();
}

std::string TRdaCustomDataSet::DataSetToText() {
  TMemoryStream stream;
  SaveToStream(stream);
  return stream.TakeBytes();
}

void TRdaCustomDataSet::SaveToFile(const std::string& fileName) {
  TMemoryStream stream;
  SaveToStream(stream);
  SaveFileAtomically(fileName, stream.Bytes());
}

// ---------------------------------------------------------------------------
// Loading

// The layout the dataset's own structure gives its rows: an open dataset's
// store, else FastFields, else the store's descriptions or the field objects.
// False when the dataset has no structure yet (it takes the stream's).
bool TRdaCustomDataSet::ExpectedLayout(TRdaFieldList& out) const {
  if (store_ && store_->LayoutFixed()) {
    out = store_->FieldList();
    return true;
  }
  if (!fastFields_.empty()) {
    for (const std::string& line : fastFields_) {
      const TRdaFastField f = ParseFastField(line);
      out.AddField(f.Name, static_cast<uint8_t>(f.Type), f.Size);
    }
  } else if (store_ && store_->FieldList().Count() > 0) {
    out = store_->FieldList();
  } else {
    for (const auto& f : Fields()) {
      if (f->InCalcArea() || f->FieldKind() == fkAggregate) continue;
      out.AddField(f->FieldName(), static_cast<uint8_t>(f->DataType()), f->Size());
    }
  }
  if (out.Count() == 0) return false;
  out.CalcOffsets();
  return true;
}

void TRdaCustomDataSet::CheckStreamLayout(const TRdaFieldList& loaded) const {
  TRdaFieldList expected;
  if (!ExpectedLayout(expected)) return;
  auto mismatch = [](const std::string& what) {
    throw EDataSetStreamError("Invalid field layout: " + what +
                              " (field section: the stream's fields do not fit the dataset's)");
  };
  if (loaded.Count() != expected.Count()) {
    mismatch(std::to_string(loaded.Count()) + " fields where the dataset has " +
             std::to_string(expected.Count()));
  }
  for (int i = 0; i < loaded.Count(); ++i) {
    const TRdaFieldItem& a = loaded.Items(i);
    const TRdaFieldItem& b = expected.Items(i);
    if ((a.DataType() & 0x7F) != (b.DataType() & 0x7F) || a.DataSize() != b.DataSize()) {
      mismatch("field " + std::to_string(i + 1) + " '" + a.Name() + "' is type " +
               std::to_string(a.DataType() & 0x7F) + " of " + std::to_string(a.DataSize()) +
               " bytes where the dataset's '" + b.Name() + "' is type " +
               std::to_string(b.DataType() & 0x7F) + " of " + std::to_string(b.DataSize()));
    }
  }
}

// The field and row sections. The field section is read and checked whole
// before any row goes; the rows read before an error stay.
void TRdaCustomDataSet::LoadStoreSections(TMemoryStream& stream) {
  TRdaFieldList loaded;
  ReadSection("field", stream, [&] {
    loaded.LoadFromStream(stream);
    loaded.CheckLayout();
  });
  if (takingStructure_) {
    // The structure is rebuilt from the descriptions (FastFields): each must
    // name a field type and give it back the same bytes.
    for (const TRdaFieldItem& d : loaded.All()) {
      const uint8_t type = d.DataType();
      if ((type & 0x7F) > ftFMTBcd ||
          RdaFieldDataSize(type, RdaDeclaredSize(type, d.DataSize())) != d.DataSize()) {
        throw EDataSetStreamError("Invalid field layout: field '" + d.Name() + "' of type " +
                                  std::to_string(type) + " and " + std::to_string(d.DataSize()) +
                                  " bytes is no field a dataset can open (field section)");
      }
    }
  } else {
    CheckStreamLayout(loaded);
  }
  // The index lists let go of the rows before the rows go.
  IndexesStoreChanged(store_.get());
  store_->Clear();
  if (!store_->LayoutFixed()) {
    store_->MutableFieldList() = std::move(loaded);
    ReadSection("field", stream, [&] { store_->CalcLayout(); });
  }
  TRdaDBList::LoadedIDs ids;
  ReadSection("row", stream, [&] { store_->LoadRowsFromStream(stream, &ids); });

  // RecordIDs are bookmarks: each must be unique. Most streams hold them
  // ascending, which the reader has seen: no set, no second walk.
  if (ids.ascending) {
    loadedMaxId_ = ids.max;
    return;
  }
  const std::vector<TRdaDBListItem*>& rows = store_->Rows();
  std::unordered_set<int32_t> seen;
  seen.reserve(rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    const int32_t id = rows[i]->RecordID();
    if (!seen.insert(id).second) {
      // The rows before the repeated one stay, as after any broken row.
      while (store_->Count() > static_cast<int>(i)) store_->Delete(store_->Count() - 1);
      throw EDataSetStreamError(std::string(kInvalidPropertyValue) +
                                " (row section: RecordID " + std::to_string(id) +
                                " appears twice)");
    }
  }
  loadedMaxId_ = ids.max;
}

void TRdaCustomDataSet::ReadBlobSection(TMemoryStream& stream) {
  blobs_.Clear();
  editBlobs_.clear();
  oldValues_.clear();
  ReadSection("blob", stream, [&] { blobs_.LoadFromStream(stream); });
}

void TRdaCustomDataSet::LoadRowsFromStream(TMemoryStream& stream) {
  if (!headerless_) {
    if (!streamOptions_.Contains(ssBlobOnlyStreamEvent)) DoStreamEvent(stream, true);
    ReadStreamHeader(stream);
  }
  if (!store_) return;
  if (Active()) CheckBrowseMode();
  nextRecordId_ = 0;
  loadIdsSynced_ = false;
  loadedMaxId_ = -1;
  // However the load ends, the identities handed out next stay above the
  // loaded ones, and an open dataset's indexes and totals follow its rows.
  TScopeGuard settle([this] { SettleLoadedRows(false); });
  LoadStoreSections(stream);
  ReadBlobSection(stream);
  if (streamOptions_.Contains(ssIndexes)) indexes_.LoadFromStream(stream);
  if (streamOptions_.Contains(ssAggregates)) aggregates_.LoadFromStream(stream);
  settle.Dismiss();
  SettleLoadedRows(true);
}

// After a load: the next identity, and an open dataset's indexes, totals and
// cursor. After an error the load's own error goes on, so nothing here may
// raise then.
void TRdaCustomDataSet::SettleLoadedRows(bool loaded) {
  // Identities are unique and none is above the largest: the next one is free.
  const int32_t maxId = loaded && loadedMaxId_ >= 0 ? loadedMaxId_ : store_->MaxID();
  loadedMaxId_ = -1;
  nextRecordId_ = std::max(store_->Count(), maxId);
  if (!Active()) return;
  if (loaded) {
    indexes_.BuildPending();
    AggregatesRecompute();
    First();
    Refresh();
    return;
  }
  try {
    indexes_.BuildPending();
    AggregatesRecompute();
  } catch (...) {
    // An index that cannot be built stays unbuilt.
  }
  cursor_ = -1;
  try {
    Resync({});
  } catch (...) {
  }
}

void TRdaCustomDataSet::LoadFromStream(TMemoryStream& stream) {
  DisableControls();
  TScopeGuard enable([this] { EnableControls(); });
  Close();
  fastFields_.clear();
  FieldDefs().Clear();
  scratchRow_.reset();
  IndexesStoreChanged(nullptr);
  store_ = std::make_unique<TRdaDBList>();
  IndexesStoreChanged(store_.get());
  {
    ValueGuard<bool> taking(takingStructure_, true);
    LoadRowsFromStream(stream);
  }
  const TRdaFieldList& loaded = store_->FieldList();
  std::vector<std::string> lines;
  lines.reserve(static_cast<size_t>(loaded.Count()));
  for (const TRdaFieldItem& d : loaded.All()) {
    lines.push_back(d.Name() + "," + std::to_string(d.DataType()) + "," +
                    std::to_string(RdaDeclaredSize(d.DataType(), d.DataSize())));
  }
  fastFields_ = std::move(lines);
  Prepare(false);
  {
    ValueGuard<bool> settled(openingLoaded_, true);
    Open();
  }
  indexes_.AdoptStoredRows();
  Refresh();
}

namespace {

// The whole file, read in place where the system can map it; a file that
// cannot be read is reported by name (the reason stays with the system).
void ReadDataSetFile(const std::string& fileName, TMemoryStream& stream) {
  try {
    stream.MapFile(fileName);
  } catch (const Exception&) {
    DatabaseError("Unable to load from " + fileName);
  }
}

}  // namespace

void TRdaCustomDataSet::LoadFromFile(const std::string& fileName) {
  TMemoryStream stream;
  ReadDataSetFile(fileName, stream);
  LoadFromStream(stream);
  Refresh();
}

void TRdaCustomDataSet::LoadRowsFromFile(const std::string& fileName) {
  TMemoryStream stream;
  ReadDataSetFile(fileName, stream);
  LoadRowsFromStream(stream);
}

std::unique_ptr<TRdaDataSet> TextToDataSet(std::string_view text) {
  if (text.empty()) return nullptr;
  auto ds = std::make_unique<TRdaDataSet>();
  TMemoryStream stream{std::string(text)};
  ds->LoadFromStream(stream);
  return ds;
}

}  // namespace rda
