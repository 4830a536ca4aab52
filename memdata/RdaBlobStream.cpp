// Blob streams, and the dataset's bookkeeping of the blobs an edit adds.
#include "memdata/RdaBlobStream.h"

#include <algorithm>
#include <exception>

#include "base/ByteIO.h"

namespace rda {

TRdaBlobStream::TRdaBlobStream(TRdaCustomDataSet& dataSet, TField& field, TBlobStreamMode mode)
    : dataSet_(&dataSet), field_(&field), fieldNo_(field.FieldNo()), mode_(mode) {
  if (mode == bmWrite) {
    modified_ = true;
  } else if (TMemoryStream* value = dataSet.ReadBlob(field)) {
    stream_.SetBytes(value->Bytes());
  }
  dataSet.blobStreams_.push_back(this);
}

TRdaBlobStream::~TRdaBlobStream() {
  if (dataSet_ == nullptr) return;
  TRdaCustomDataSet& ds = *dataSet_;
  std::erase(ds.blobStreams_, this);
  const TDataSetState state = ds.State();
  if (!modified_ || (state != dsEdit && state != dsInsert)) return;
  try {
    ds.WriteBlob(*field_, stream_.Bytes());
  } catch (...) {
    HandleApplicationException(std::current_exception());
  }
}

void TRdaBlobStream::Write(std::string_view bytes) {
  stream_.Write(bytes);
  modified_ = true;
}

void TRdaBlobStream::SetSize(size_t size) {
  stream_.SetSize(size);
  modified_ = true;
}

void TRdaBlobStream::SetBytes(std::string bytes) {
  stream_.SetBytes(std::move(bytes));
  modified_ = true;
}

// ---------------------------------------------------------------------------
// The dataset's side

std::unique_ptr<TRdaBlobStream> TRdaCustomDataSet::CreateBlobStream(TField& field,
                                                                    TBlobStreamMode mode) {
  if (!field.IsBlob()) DatabaseError("Field '" + field.FieldName() + "' is not a blob field", this);
  return std::make_unique<TRdaBlobStream>(*this, field, mode);
}

void TRdaCustomDataSet::DetachBlobStreams() {
  for (TRdaBlobStream* stream : blobStreams_) stream->CutLoose();
  blobStreams_.clear();
}

void TRdaCustomDataSet::DropEditBlobs(const char* keptImage) {
  if (editBlobs_.empty()) return;
  for (const auto& [id, fieldNo] : editBlobs_) {
    bool kept = false;
    if (keptImage != nullptr && fieldNo >= 1 && static_cast<size_t>(fieldNo) <= slots_.size()) {
      const FieldSlot& s = slots_[static_cast<size_t>(fieldNo - 1)];
      kept = s.dataSize >= 4 && LoadI32LE(keptImage + s.offset) == id;
    }
    if (!kept) blobs_.DeleteBlob(id, fieldNo);
  }
  editBlobs_.clear();
}

void TRdaCustomDataSet::RunBlobStreamEvent(TMemoryStream& blob, bool isLoading) {
  blob.SetPosition(isLoading ? 0 : blob.Size());
  OnStreamEvent(*this, blob, isLoading);
  blob.SetPosition(0);
}

}  // namespace rda
