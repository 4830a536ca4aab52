#include "memdata/store/RdaBlobList.h"

#include <algorithm>

#include "base/Exception.h"
#include "memdata/store/TaggedStream.h"

namespace rda {

namespace {

// Identities wrap at the 32-bit limits as the stored numbers do.
int32_t Next(int32_t id) { return static_cast<int32_t>(static_cast<uint32_t>(id) + 1u); }

}  // namespace

TRdaBlobListItem& TRdaBlobList::Items(int index) const {
  if (index < 0 || index >= Count()) {
    throw EListError("List index out of bounds (" + std::to_string(index) + ")");
  }
  return *items_[static_cast<size_t>(index)];
}

int32_t TRdaBlobList::AddBlob(const TMemoryStream* source, int32_t fieldNo) {
  return AddBlob(source != nullptr ? std::string_view(source->Bytes()) : std::string_view(),
                 fieldNo);
}

int32_t TRdaBlobList::AddBlob(std::string_view bytes, int32_t fieldNo) {
  auto item = std::make_unique<TRdaBlobListItem>();
  item->Stream().SetBytes(std::string(bytes));
  items_.reserve(items_.size() + 1);
  lastBlobId_ = Next(lastBlobId_);
  int32_t id = lastBlobId_;
  while (!items_.empty() && id == items_.back()->BlobID()) id = Next(id);
  item->SetBlobID(id);
  item->SetFieldNo(fieldNo);
  items_.push_back(std::move(item));
  return id;
}

int TRdaBlobList::IndexOfBlob(int32_t blobId, int32_t fieldNo) const {
  for (size_t i = 0; i < items_.size(); ++i) {
    if (items_[i]->BlobID() == blobId && items_[i]->FieldNo() == fieldNo) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

TMemoryStream* TRdaBlobList::FindBlob(int32_t blobId, int32_t fieldNo) const {
  const int index = IndexOfBlob(blobId, fieldNo);
  return index < 0 ? nullptr : &items_[static_cast<size_t>(index)]->Stream();
}

void TRdaBlobList::DeleteBlob(int32_t blobId, int32_t fieldNo) {
  const int index = IndexOfBlob(blobId, fieldNo);
  if (index >= 0) items_.erase(items_.begin() + index);
}

int32_t TRdaBlobList::MaxID() const {
  int32_t max = 0;
  for (const auto& item : items_) max = std::max(max, item->BlobID());
  return max;
}

void TRdaBlobList::SaveToStream(TMemoryStream& stream) const {
  TaggedWriter writer(stream);
  writer.WriteSectionBegin("TRdaBlobList");
  for (const auto& item : items_) {
    writer.WriteInteger(item->BlobID());
    writer.WriteInteger(item->FieldNo());
    writer.WriteConvertingText(item->Stream().Bytes());
  }
  writer.WriteListEnd();
}

void TRdaBlobList::LoadFromStream(TMemoryStream& stream) {
  Clear();
  // However the section ends, new identities must stay above the loaded ones.
  struct SetLast {
    TRdaBlobList& list;
    ~SetLast() { list.lastBlobId_ = Next(list.MaxID()); }
  } setLast{*this};
  TaggedReader reader(stream);
  reader.ReadSectionBegin();
  while (!reader.EndOfList()) {
    auto item = std::make_unique<TRdaBlobListItem>();
    item->SetBlobID(reader.ReadInteger());
    item->SetFieldNo(reader.ReadInteger());
    item->Stream().SetBytes(reader.ReadText());
    items_.push_back(std::move(item));
  }
  reader.ReadListEnd();
}

void TRdaBlobList::SaveToFile(const std::string& fileName) const {
  SaveListToFile(*this, fileName);
}

void TRdaBlobList::LoadFromFile(const std::string& fileName) { LoadListFromFile(*this, fileName); }

}  // namespace rda
