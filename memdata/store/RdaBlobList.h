// The blob store: the values of blob-like fields, which live outside the
// rows. A row holds only the BlobID; a value is found by the pair
// (BlobID, FieldNo), the first match in list order. The pairs are hashed:
// finding a value takes the same time however many the store holds (deleting
// one still moves the list behind it up).
//
// Identities: AddBlob raises LastBlobID by one and takes it as the
// candidate; while the list is not empty and the candidate equals the BlobID
// of the last item, the candidate (not LastBlobID) goes up by one. After a
// load LastBlobID is MaxID + 1, so the first blob added then gets MaxID + 2
// (loaded 1, 2, 5 -> next 7). The arithmetic wraps at the 32-bit limits as
// the stored identities do.
//
// Blob section:
//   text "TRdaBlobList", tag 1, per item: integer BlobID, integer FieldNo,
//   converting text holding all the blob's bytes (TaggedStream.h), tag 0.
//
// Not thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/MemoryStream.h"

namespace rda {

class TRdaBlobList;

class TRdaBlobListItem {
 public:
  TRdaBlobListItem() = default;
  TRdaBlobListItem(const TRdaBlobListItem&) = delete;
  TRdaBlobListItem& operator=(const TRdaBlobListItem&) = delete;

  int32_t BlobID() const { return blobId_; }
  // An item of a list is found under its new pair from then on.
  void SetBlobID(int32_t v);
  // 1-based field position the blob belongs to.
  int32_t FieldNo() const { return fieldNo_; }
  void SetFieldNo(int32_t v);
  // The blob's bytes, owned by the item.
  TMemoryStream& Stream() { return stream_; }
  const TMemoryStream& Stream() const { return stream_; }

 private:
  friend class TRdaBlobList;
  int32_t blobId_ = -1;
  int32_t fieldNo_ = -1;
  TMemoryStream stream_;
  // The list the item belongs to, which keeps its pairs hashed.
  TRdaBlobList* owner_ = nullptr;
};

class TRdaBlobList {
 public:
  int Count() const { return static_cast<int>(items_.size()); }
  // Checked: EListError "List index out of bounds (<n>)". Items keep their
  // address until destroyed.
  TRdaBlobListItem& Items(int index) const;

  int32_t LastBlobID() const { return lastBlobId_; }
  void SetLastBlobID(int32_t v) { lastBlobId_ = v; }

  // Appends an item with the next identity, `fieldNo` and a copy of the
  // source's whole content (from its beginning; the source is not moved),
  // or an empty stream when there is no source. Returns the identity.
  int32_t AddBlob(const TMemoryStream* source, int32_t fieldNo);
  int32_t AddBlob(std::string_view bytes, int32_t fieldNo);
  // The stream of the first item with both values, or nullptr.
  TMemoryStream* FindBlob(int32_t blobId, int32_t fieldNo) const;
  // Destroys the first matching item; nothing when none matches.
  void DeleteBlob(int32_t blobId, int32_t fieldNo);
  int IndexOfBlob(int32_t blobId, int32_t fieldNo) const;
  // The largest BlobID, and 0 when none is above 0.
  int32_t MaxID() const;
  // Destroys every item; LastBlobID is kept.
  void Clear() {
    items_.clear();
    index_.clear();
  }

  void SaveToStream(TMemoryStream& stream) const;
  // Clears the list and reads a blob section, leaving the stream right after
  // it. Items read before an error stay, and LastBlobID becomes MaxID + 1
  // also then, so new identities never meet loaded ones. Errors as in
  // TaggedStream.h.
  void LoadFromStream(TMemoryStream& stream);
  void SaveToFile(const std::string& fileName) const;
  void LoadFromFile(const std::string& fileName);

 private:
  friend class TRdaBlobListItem;
  // Every pair present: its first item in list order and how many have it.
  struct Entry {
    TRdaBlobListItem* first;
    size_t count;
  };
  static uint64_t Key(int32_t blobId, int32_t fieldNo) {
    return (uint64_t{static_cast<uint32_t>(fieldNo)} << 32) | static_cast<uint32_t>(blobId);
  }
  // Appends an item whose pair is set.
  void Append(std::unique_ptr<TRdaBlobListItem> item);
  size_t PositionOf(const TRdaBlobListItem* item) const;
  // Forgets the item at `position` in the hash (the list still holds it).
  void Unhash(size_t position);
  // Hashes the item at `position` under its pair.
  void Hash(size_t position);
  void Rekey(TRdaBlobListItem& item, int32_t blobId, int32_t fieldNo);

  std::vector<std::unique_ptr<TRdaBlobListItem>> items_;
  std::unordered_map<uint64_t, Entry> index_;
  int32_t lastBlobId_ = 0;
};

}  // namespace rda
