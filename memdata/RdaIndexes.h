// Indexes: sorted views over a dataset's rows (TRdaIndex), and the dataset's
// collection of them (TRdaIndexes), which knows the selected index, holds
// the cursor of the current view and keeps every maintained index in order
// as rows are posted and deleted.
//
// An index is a list of references to the row store's rows, sorted by one or
// more fields (Fields: names separated by ";"), ascending or descending, with
// texts compared with or without regard to ASCII letter case. Equal keys are
// ordered by RecordID (reversed in a descending index), so the order is total
// and does not depend on the order in which rows came: a row added under a
// maintained index lands where a rebuild would put it. An index without
// fields sorts by RecordID.
//
// The field comparison (RdaStoredValue.h) puts nulls first, counts doubles
// and date-times within 1e-13 and time stamps within a millisecond as equal,
// folds ASCII letters when case-insensitive, and collates wide texts by the
// locale. A field of a type without a comparison (blob-like, unstored) fails
// with "Comparison is not supported for field '<name>'".
//
// Options (TRdaIndexOptions; stored as one byte, bit n for value n, so the
// values are never renumbered):
//   ioPrimary, ioUnique   the key must be unique: a second row with an equal
//                         key fails with "Violation of unique index
//                         <Name>(<Fields>)" and the dataset undoes the post;
//                         two nulls count as equal keys
//   ioDescending          the whole order reversed
//   ioCaseInsensitive     texts compare without regard to ASCII letter case
//   ioNonMaintained       the index is not kept in order (not active) ...
//   ioNatural             ... the index's list is the row store's own list:
//                         sorting it reorders the store; active only while
//                         selected
//
// An index is active (kept in order, usable for searches) when it is
// maintained (no ioNonMaintained), the collection's maintenance switch is on
// (or it has no fields and the collection keeps those active), its fields are
// bound to the dataset's field objects, and it is not ioNatural unless
// selected. The selected index is always kept in order while it is selected,
// ioNonMaintained or not: the dataset shows its rows, and a view that is not
// kept would show no rows or stale ones.
//
// Invariants of a built index (Verify checks them): its list holds every row
// of the store exactly once; neighbouring entries compare strictly in order
// under the sort flags (tie-break included); a unique index has no two equal
// keys; every entry's key is the one its row gives (KeyOf).
//
// Lifetime: the collection belongs to its dataset and lives as long as it;
// the lists observe rows owned by the row store, which tells the collection
// (Attach/Detach) before it goes. Not thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/MemoryStream.h"
#include "memdata/RdaRowList.h"
#include "memdata/framework/DataSet.h"
#include "memdata/store/RdaDBList.h"

namespace rda {

class TRdaCustomDataSet;
class TRdaIndexes;

enum TRdaIndexOption : uint8_t {
  ioPrimary = 0,
  ioUnique = 1,
  ioDescending = 2,
  ioCaseInsensitive = 3,
  ioNonMaintained = 4,
  ioNatural = 5,
};
using TRdaIndexOptions = TSet<TRdaIndexOption>;

// The flags of a row comparison (CompareRows) and the modes of a search
// (SearchIndex).
enum : int {
  cfDescending = 1,
  cfPartial = 2,
  cfCaseInsensitive = 4,
  cfTieBreak = 16,
};
enum : int {
  smNearest = 1,     // no exact match: the position where the key would go
  smFiltered = 2,    // only rows the dataset's filter accepts
  smLast = 4,        // the last of equal rows instead of the first
  smSkipKeyRow = 8,  // the key row itself may be in the list and is passed over
};

class TRdaIndex;
// The cf... flags of a search through index: its direction and case.
int IndexSearchFlags(const TRdaIndex& index);

// The name of the index IndexFieldNames makes.
inline constexpr const char* kRdaDefaultIndexName = "__RDA__DEFAULT";
// The name of the index a client dataset keeps over its prime fields.
inline constexpr const char* kRdaPrimaryKeyIndexName = "__RDA__PrimaryKey";

class TRdaIndex {
 public:
  explicit TRdaIndex(TRdaIndexes& owner);
  ~TRdaIndex();
  TRdaIndex(const TRdaIndex&) = delete;
  TRdaIndex& operator=(const TRdaIndex&) = delete;

  TRdaIndexes& Collection() const { return *owner_; }
  const std::string& Name() const { return name_; }
  void SetName(std::string name);
  // Field names separated by ";" (blanks around a name are ignored).
  // Setting them binds them (the dataset's "Field '<name>' not found" for an
  // unknown name) and rebuilds an active index; on any failure the previous
  // fields are back and the error goes on.
  const std::string& Fields() const { return fields_; }
  void SetFields(std::string fields);
  TRdaIndexOptions Options() const { return options_; }
  // Switches between the own list and the store's (ioNatural) and rebuilds
  // when active; when that rebuild fails the index is made inactive (and no
  // longer selected) and the error goes on.
  void SetOptions(TRdaIndexOptions options);
  bool Active() const;
  // Removes or adds ioNonMaintained (SetOptions).
  void SetActive(bool value);
  bool Selected() const;
  void SetSelected(bool value);
  bool Unique() const {
    return options_.Contains(ioPrimary) || options_.Contains(ioUnique);
  }
  // The list is complete and sorted.
  bool Built() const { return built_; }
  // The bound field objects of Fields, in order (empty while unbound).
  const std::vector<TField*>& KeyFields() const { return bound_; }

  // The list: Count rows, position 0 first.
  int Count() const;
  TRdaDBListItem* Row(int position) const;
  // The position of a row of the list, found by its key (O(log n)); -1 when
  // the row is not in the list.
  int PositionOf(const TRdaDBListItem& row) const;

  // -1, 0 or 1: row a against row b by the first keyCount fields (all for -1)
  // with the cf... flags. Either may be a scratch row holding a record buffer.
  int CompareRows(const TRdaDBListItem& a, const TRdaDBListItem& b, int flags, int keyCount) const;
  // Searches the list for keyRow's key (the first keyCount fields, -1 all)
  // with the cf... flags and sm... modes. Returns 0 for an exact match and
  // sets position; otherwise 1 (-1 for a descending search that ran out) and
  // the position where the key would go (nearest), or -1.
  int SearchIndex(const TRdaDBListItem& keyRow, int keyCount, int flags, int mode,
                  int& position) const;
  // Sorts the list anew (the store's own list for ioNatural); raises
  // "Duplicate record in unique index <Name>(<Fields>)" for a unique index
  // with two equal keys, leaving the index unbuilt.
  void Rebuild();

  // "" when the invariants at the top of this file hold, else what broke.
  std::string Verify() const;

 private:
  friend class TRdaIndexes;
  friend class TRdaAggregates;
  friend class TRdaAggregate;

  // One bound key field: where its value sits in a row image or record
  // buffer, and how it compares.
  struct KeyPart {
    TField* field = nullptr;
    bool calculated = false;
    int32_t offset = 0;    // the value (a calculated field: after its has-value byte)
    int32_t nullByte = 0;  // data fields: the null flag's byte and bit
    uint8_t nullMask = 0;
    uint8_t type = 0;
    size_t size = 0;
  };
  // What the entries' 64-bit keys are made of (the first key field).
  enum KeyKind : uint8_t { kkNone, kkText, kkSigned, kkUnsigned, kkBoolean };

  TRdaCustomDataSet& DataSet() const;
  bool Natural() const { return options_.Contains(ioNatural); }
  int SortFlags() const;
  void ParseFields();
  // Binds the names to field objects and lays out the key parts; raises for
  // an unknown name or a field without a comparison, leaving the binding
  // as it was.
  void Bind();
  void Unbind();
  // The image the comparison reads for a row: its own bytes, or a record
  // buffer with its calculated fields computed (slot 0 or 1) when a key
  // field is calculated.
  const char* Image(const TRdaDBListItem& row, int slot) const;
  int CompareImages(const char* a, const char* b, int32_t idA, int32_t idB, int flags,
                    int keyCount) const;
  // The entry key of an image (the row's identity too, for keys that hold
  // it), and whether keys may decide a comparison made with these flags.
  uint64_t KeyOf(const char* image, int32_t id) const;
  bool KeysDecide(int flags) const;
  // The part of a key a search without the identity tie-break compares.
  uint64_t SearchPart(uint64_t key) const {
    return keyHasIdentity_ ? key >> kIdentityBits : key;
  }
  static constexpr int kIdentityBits = 31;
  // A row with an identity below 0 turns the identity out of the keys.
  void FitIdentity(const TRdaDBListItem& row);
  // Widens the shared text prefix for a key that does not have it (all
  // entries get new keys).
  void FitTextPrefix(const char* image);
  void RecomputeKeys();
  // Where a row goes in the sorted list (the first entry after it).
  int InsertPosition(const TRdaDBListItem& row, uint64_t key) const;
  int InsertPosition(const char* image, int32_t id, uint64_t key) const;
  // An equal key beside that position, for the unique check.
  bool UniqueClash(const TRdaDBListItem& row, int position) const;
  std::string UniqueName() const { return name_ + "(" + fields_ + ")"; }
  // The upkeep of an active index (TRdaIndexes applies them to each).
  void RowAdded(TRdaDBListItem& row);
  void RowEditStarting(TRdaDBListItem& row);
  // Moves the row to where its posted key belongs (oldImage: the row's
  // image before the post, which tells where it is); undone on failure.
  void RowPosted(TRdaDBListItem& row, const char* oldImage);
  // After a failed post the row's image is the old one again: back to the
  // remembered position.
  void RowPostUndone(TRdaDBListItem& row);
  void RowRemoving(TRdaDBListItem& row);
  // Natural index: moves a row of the store to its sorted place.
  void PlaceNatural(TRdaDBListItem& row);
  void Invalidate();
  void BeginUpdate();
  void EndUpdate();

  TRdaIndexes* owner_;
  std::string name_;
  std::string fields_;
  TRdaIndexOptions options_{ioNonMaintained};
  TRdaRowList list_;
  std::vector<std::string> names_;
  std::vector<TField*> bound_;
  std::vector<KeyPart> parts_;
  bool built_ = false;
  bool keyChanged_ = false;
  bool calculatedKey_ = false;
  // The place of the row under edit when known (-1: found at the post).
  int editPosition_ = -1;
  bool editMoved_ = false;
  int updateCount_ = 0;
  int32_t rememberedId_ = -1;
  KeyKind keyKind_ = kkNone;
  // The key holds the identity below the value: one field of at most 32
  // bits (identityKeyFits_) over rows whose identities are at least 0.
  bool identityKeyFits_ = false;
  bool keyHasIdentity_ = false;
  // Texts: every non-null key of the list begins with these (folded) bytes;
  // the entry key is the 8 bytes after them.
  std::string textPrefix_;
  bool textPrefixSet_ = false;
  // Record buffers for indexes with calculated key fields.
  mutable std::string buffers_[2];
  // The rows a dataset stream listed for the index (built, as it said),
  // until AdoptStoredRows takes or drops them.
  std::vector<int32_t> storedRows_;
  bool storedBuilt_ = false;
};

class TRdaIndexes {
 public:
  explicit TRdaIndexes(TRdaCustomDataSet& dataSet);
  ~TRdaIndexes();
  TRdaIndexes(const TRdaIndexes&) = delete;
  TRdaIndexes& operator=(const TRdaIndexes&) = delete;

  TRdaCustomDataSet& DataSet() const { return *dataSet_; }
  int Count() const { return static_cast<int>(items_.size()); }
  TRdaIndex& Items(int index) const;
  // By name, ignoring ASCII letter case; nullptr when absent.
  TRdaIndex* FindIndex(std::string_view name) const;
  // Raises "Index with name '<name>' does not found".
  TRdaIndex& IndexByName(std::string_view name) const;
  // A new index (inactive: Options [ioNonMaintained], no name, no fields).
  TRdaIndex& Add();
  TRdaIndex& FindOrAdd(std::string_view name);
  // Destroys the index (deselecting it when selected).
  void Delete(int index);
  void Clear();
  int IndexOf(const TRdaIndex* index) const;
  // Copies the definitions (Name, Fields, Options) of another collection;
  // the selection is dropped.
  void AssignDefinitions(const TRdaIndexes& other);

  // When prime fields are known and no ioPrimary index exists yet: adds the
  // active index "__RDA__PrimaryKey" over them with [ioPrimary], so that
  // posting a duplicate key fails. Returns the primary index (nullptr when
  // fields is empty). Client datasets call it once their prime fields are set.
  TRdaIndex* EnsurePrimaryKey(std::string_view fields);

  // ---- Selection and the current view ----
  TRdaIndex* Selected() const;
  // Selects index (nullptr: none): checks browse mode, keeps the cursor on
  // its row, builds what the view needs and refreshes an active dataset.
  // Nothing happens when it is already selected, unless forced. A failing
  // build leaves the previous selection.
  void Select(TRdaIndex* index, bool forced = false);
  // The first index, in collection order, that has every option of required
  // but ioNonMaintained, that is active (activeFilter > 0) or inactive (< 0)
  // when asked, is not ioNatural unless selected, and whose Fields begin with
  // fields (upper case; at the end of the list or at a ";"; any index for an
  // empty fields). keyCount: -1 when both lists have as many names, else the
  // number of names in fields.
  TRdaIndex* FindIndexFor(std::string_view fields, TRdaIndexOptions required, int activeFilter,
                          int& keyCount) const;

  // The cursor: a position in the current view, -1 before the first row,
  // ViewCount() after the last.
  int Position() const { return position_; }
  void SetPosition(int position);
  int& PositionRef() { return position_; }
  int ViewCount() const;
  TRdaDBListItem* ViewRow(int position) const;
  // Raises "No record at position <n>" when the position holds no row.
  TRdaDBListItem& CurrentRow() const;
  int32_t CurrentRecordID() const;
  // Moves to the row with that identity when the view has it.
  void GotoRecordID(int32_t id);
  // The view position of the row with that identity; -1 when absent.
  int ViewPositionOfID(int32_t id) const;

  // ---- Upkeep, applied to every index in collection order; the cursor
  // follows the row in the selected index. Each leaves every index as it
  // was when it fails. ----
  void RowAdded(TRdaDBListItem& row);
  void RowEditStarting(TRdaDBListItem& row);
  void RowEditCancelled();
  void RowInsertStarting();
  // oldImage: the row's image before the post (RecordSize bytes).
  void RowPosted(TRdaDBListItem& row, const char* oldImage);
  void RowPostUndone(TRdaDBListItem& row);
  void RowRemoving(TRdaDBListItem& row);
  void FieldChanged(TField& field);

  void RebuildAll();
  // Builds every active index that is not built.
  void BuildPending();
  void BindFields();
  void UnbindFields();
  void Attach(TRdaDBList* store);
  void Detach();
  TRdaDBList* Store() const { return store_; }
  bool Maintained() const { return maintained_; }
  // Indexes without fields stay active while maintenance is off.
  bool KeepFieldlessActive() const { return keepFieldlessActive_; }
  // Switching maintenance back on rebuilds the active indexes.
  void SetMaintained(bool value, bool keepFieldlessActive = false);

  // The first row of the current view whose keyFields equal keyRow's
  // (options: loCaseInsensitive, loPartialKey) and that the filter accepts,
  // through an index where one can serve: the selected index, or an active
  // unique one whose fields the key covers (not partial). False when no
  // index serves; then found says nothing and the caller scans.
  bool LocateRow(const TRdaDBListItem& keyRow, const std::vector<TField*>& keyFields,
                 TLocateOptions options, bool& found, int& position);

  // Run when the selected index is rebuilt or replaced (the dataset drops
  // its range bounds there).
  std::function<void()> OnIndexChanged;

  // The indexes section of the dataset stream (RdaIndexesStream.cpp; layout
  // in docs/formats/dataset-stream.md): the switch, the selected name and per
  // index its definition, state flags and rows. LoadFromStream replaces the
  // definitions: a stream that does not begin with the section's class name
  // leaves the collection empty and the position where it was. The section is
  // checked whole before anything is replaced; active indexes are sorted
  // anew, the others may keep their stored rows (AdoptStoredRows). On an
  // open dataset the indexes are bound and built at once (the dataset's
  // "Field '<name>' not found" for an unknown field); an unknown selected
  // name fails with "Index with name '<name>' does not found". Stream
  // errors are EReadError.
  void SaveToStream(TMemoryStream& stream) const;
  void LoadFromStream(TMemoryStream& stream);
  // Once the dataset is open after a load: an index that is not kept in
  // order (not active) takes the rows the stream listed for it, in their
  // order, when the stream said it was built, they are the store's rows
  // each once and they are in the index's order; any other keeps no list
  // until it is built. The stored rows are dropped either way.
  void AdoptStoredRows();

  // "" when every built index holds its invariants, else the first fault.
  std::string Verify() const;
  // Counts every change of the definitions or the selection (searches cache
  // what they found by it).
  uint64_t Generation() const { return generation_; }

 private:
  friend class TRdaIndex;
  void Changed() { ++generation_; }
  // The dataset is open (its fields are bound and its layout fixed).
  bool DataSetOpen() const;
  // FindIndexFor that also passes over indexes with any excluded option.
  TRdaIndex* FindIndexExcluding(std::string_view fields, TRdaIndexOptions required,
                                TRdaIndexOptions excluded, int activeFilter, int& keyCount) const;
  static std::vector<std::string> SplitNames(std::string_view fields);
  void AfterSelectedMoved(const TRdaIndex& index, const TRdaDBListItem& row);

  TRdaCustomDataSet* dataSet_;
  std::vector<std::unique_ptr<TRdaIndex>> items_;
  TRdaIndex* selected_ = nullptr;
  int position_ = -1;
  bool maintained_ = true;
  bool keepFieldlessActive_ = false;
  TRdaDBList* store_ = nullptr;
  uint64_t generation_ = 0;
  // LocateRow's last choice, by key fields and case.
  std::string locateFields_;
  bool locateCaseInsensitive_ = false;
  uint64_t locateGeneration_ = ~uint64_t{0};
  TRdaIndex* locateIndex_ = nullptr;
  int locateKeyCount_ = -1;
};

}  // namespace rda
