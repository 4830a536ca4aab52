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
  lastBlobId_ = Next(lastBlobId_);
  int32_t id = lastBlobId_;
  while (!items_.empty() && id == items_.back()->BlobID()) id = Next(id);
  item->blobId_ = id;
  item->fieldNo_ = fieldNo;
  Append(std::move(item));
  return id;
}

void TRdaBlobList::Append(std::unique_ptr<TRdaBlobListItem> item) {
  items_.reserve(items_.size() + 1);
  index_.reserve(index_.size() + 1);
  item->owner_ = this;
  items_.push_back(std::move(item));
  try {
    Hash(items_.size() - 1);
  } catch (...) {
    items_.pop_back();
    throw;
  }
}

size_t TRdaBlobList::PositionOf(const TRdaBlobListItem* item) const {
  for (size_t i = 0; i < items_.size(); ++i) {
    if (items_[i].get() == item) return i;
  }
  return items_.size();
}

void TRdaBlobList::Hash(size_t position) {
  TRdaBlobListItem* item = items_[position].get();
  const auto [it, added] = index_.try_emplace(Key(item->blobId_, item->fieldNo_), Entry{item, 0});
  ++it->second.count;
  // The first in list order stays the one found.
  if (!added && it->second.first != item && PositionOf(it->second.first) > position) {
    it->second.first = item;
  }
}

void TRdaBlobList::Unhash(size_t position) {
  const TRdaBlobListItem* item = items_[position].get();
  const uint64_t key = Key(item->blobId_, item->fieldNo_);
  const auto it = index_.find(key);
  if (it == index_.end()) return;
  if (--it->second.count == 0) {
    index_.erase(it);
    return;
  }
  if (it->second.first != item) return;
  // The next item with the pair is found next.
  for (size_t i = position + 1; i < items_.size(); ++i) {
    if (Key(items_[i]->blobId_, items_[i]->fieldNo_) == key) {
      it->second.first = items_[i].get();
      return;
    }
  }
}

void TRdaBlobList::Rekey(TRdaBlobListItem& item, int32_t blobId, int32_t fieldNo) {
  const size_t position = PositionOf(&item);
  Unhash(position);
  item.blobId_ = blobId;
  item.fieldNo_ = fieldNo;
  Hash(position);
}

void TRdaBlobListItem::SetBlobID(int32_t v) {
  if (owner_) {
    owner_->Rekey(*this, v, fieldNo_);
  } else {
    blobId_ = v;
  }
}

void TRdaBlobListItem::SetFieldNo(int32_t v) {
  if (owner_) {
    owner_->Rekey(*this, blobId_, v);
  } else {
    fieldNo_ = v;
  }
}

int TRdaBlobList::IndexOfBlob(int32_t blobId, int32_t fieldNo) const {
  const auto it = index_.find(Key(blobId, fieldNo));
  return it == index_.end() ? -1 : static_cast<int>(PositionOf(it->second.first));
}

TMemoryStream* TRdaBlobList::FindBlob(int32_t blobId, int32_t fieldNo) const {
  const auto it = index_.find(Key(blobId, fieldNo));
  return it == index_.end() ? nullptr : &it->second.first->Stream();
}

void TRdaBlobList::DeleteBlob(int32_t blobId, int32_t fieldNo) {
  const int index = IndexOfBlob(blobId, fieldNo);
  if (index < 0) return;
  Unhash(static_cast<size_t>(index));
  items_.erase(items_.begin() + index);
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
    Append(std::move(item));
  }
  reader.ReadListEnd();
}

void TRdaBlobList::SaveToFile(const std::string& fileName) const {
  SaveListToFile(*this, fileName);
}

void TRdaBlobList::LoadFromFile(const std::string& fileName) { LoadListFromFile(*this, fileName); }

}  // namespace rda
