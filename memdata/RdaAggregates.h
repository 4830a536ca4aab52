// Aggregates: running totals over a dataset's rows (TRdaAggregate) and the
// dataset's collection of them (TRdaAggregates), kept current as rows are
// posted and deleted.
//
// An aggregate keeps a SUM, AVG, COUNT, MIN or MAX of one field over the rows
// that pass the dataset's filter, either over all of them or per group of
// rows that share the first Level fields of the index IndexName. A COUNT
// without a FieldName counts the rows.
//
// Where the values live: every row holds, in its AggregateSlots (RdaDBList.h),
// one reference per slot to a shared TRdaAggregateValue; all rows of a group
// point to the same value, so a change of one row touches one value. An
// aggregate takes one slot (AVG two: the running sum and the running count)
// out of 256; the 257th fails with "Too many aggregates".
//
// Reading a result: Value() gives the value for the group of the dataset's
// current record (for an aggregate without groups, the one total, whatever
// the record), ValueOf(row) for the group of a given row:
//   SUM, MIN, MAX   the value; null when no row of the group has one
//   COUNT           the number of rows with a value (of all rows without a
//                   FieldName) as an Integer; 0 when there are none
//   AVG             sum / count by the value type's division (base/Variant.h);
//                   null when no row of the group has a value
// An aggregate that is not active or not computed (its index is not built,
// its field not bound) reads null. Sums of packed decimals (FMTBcd) are kept
// in currency precision (4 decimals); everything else follows the value
// type's arithmetic, so integer sums widen to Int64 instead of overflowing.
//
// Keyed groups: when every grouping field compares by plain equality
// (integers, dates, times, booleans, texts with or without ASCII case) and
// none is calculated, the aggregate also keeps its groups by their key
// values. An edit that leaves the row in its group then finds the group by
// the row's own values instead of its references: in a large dataset those
// are out of the cache, and reading them would make every edit cost more
// as the dataset grows.
//
// Upkeep: adding a row adds its contribution to its group (found beside it
// in the index, or opened anew); deleting subtracts it; an edit that touches
// the aggregated field, a grouping field or (while filtering) any field moves
// the contribution at the post. MIN and MAX cannot be reduced: when the last
// row holding their value leaves, the group's rows are walked again. Everything is recomputed when the dataset
// opens, when maintenance is switched back on, when the filter changes and
// when the rows are cleared; the aggregates of an index when it is rebuilt.
//
// Invariants of a computed aggregate (Verify checks them): every row that
// passes the filter holds references to its group's values and no other row
// does; the rows of a group share one value object; each value equals what a
// fresh computation gives (doubles within a relative 1e-9, since running
// sums round differently); with keyed groups, the group kept under a row's
// key values is the row's group.
//
// Lifetime: the collection belongs to its dataset; values live as long as a
// row (or the aggregate, for the one total) refers to them. Not thread-safe.
#pragma once

#include <bitset>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/MemoryStream.h"
#include "base/Variant.h"
#include "memdata/framework/DataSet.h"
#include "memdata/store/RdaDBList.h"

namespace rda {

class TRdaCustomDataSet;
class TRdaIndex;
class TRdaIndexes;
class TRdaAggregates;

// Stored values, never renumber.
enum TRdaAggKind : uint8_t { akSum = 0, akAvg = 1, akCount = 2, akMin = 3, akMax = 4 };

// One value shared by the rows of a group.
class TRdaAggregateValue {
 public:
  Variant Value;
  // Rows whose value went into it (for SUM, MIN and MAX: a group of rows
  // without values reads null, however it got there).
  int64_t Contributors = 0;
  // MIN and MAX: how many of them hold the value itself, so that one of
  // several equal extremes can leave without a new walk.
  int64_t AtExtreme = 0;
  // The key the group is kept under (keyed groups, RdaAggregates.h).
  std::string Key;
};

class TRdaAggregate {
 public:
  explicit TRdaAggregate(TRdaAggregates& owner);
  // Releases the aggregate's slots.
  ~TRdaAggregate();
  TRdaAggregate(const TRdaAggregate&) = delete;
  TRdaAggregate& operator=(const TRdaAggregate&) = delete;

  // The explicit name, or "SUM(Field)", "COUNT(*)", ... Setting the default
  // name keeps no explicit one.
  std::string Name() const;
  void SetName(std::string name);
  std::string DefaultName() const;
  // Every property change recomputes the aggregate. A change that makes
  // the recomputation fail (an unknown field or index, too many
  // aggregates) is undone and the error goes on.
  const std::string& FieldName() const { return fieldName_; }
  void SetFieldName(std::string name);
  TRdaAggKind AggKind() const { return kind_; }
  void SetAggKind(TRdaAggKind kind);
  // The index whose first Level fields form the groups; empty: one group.
  const std::string& IndexName() const { return indexName_; }
  void SetIndexName(std::string name);
  // Forced to 0 while IndexName is empty.
  int Level() const { return indexName_.empty() ? 0 : level_; }
  void SetLevel(int level);
  bool Active() const { return active_; }
  void SetActive(bool value);
  bool Computed() const { return computed_; }

  // The result (see the top of this file).
  Variant Value() const;
  Variant ValueOf(const TRdaDBListItem& row) const;

  // "" when the invariants at the top of this file hold, else what broke.
  std::string Verify() const;

 private:
  friend class TRdaAggregates;

  TRdaCustomDataSet& DataSet() const;
  bool Grouped() const { return !indexName_.empty() && level_ > 0; }
  // Whether upkeep applies; with `raise`, an IndexName without its index
  // fails with "Index with name '<name>' does not found".
  bool Usable(bool raise) const;
  TRdaIndex* GroupIndex() const;
  // A row's value for the aggregate (1 for a COUNT without field; null
  // when the field is null).
  Variant Contribution(const TRdaDBListItem& row) const;
  bool Passes(const TRdaDBListItem& row) const;
  bool HoldsGroup(const TRdaDBListItem& row) const;
  bool SameGroup(const TRdaIndex& index, const TRdaDBListItem& a, const TRdaDBListItem& b) const;
  void Add(TRdaAggregateValue& value, TRdaAggregateValue* count, const Variant& x) const;
  // False when the value cannot be reduced (MIN, MAX losing their only
  // extreme): RecomputeGroup then finds the next.
  bool Remove(TRdaAggregateValue& value, TRdaAggregateValue* count, const Variant& x) const;
  // Computes one group's value again from the rows that hold it.
  void RecomputeGroup(TRdaAggregateValue& value);
  // Puts a passing row into its group (found beside it, or new) and adds its
  // contribution; false when a grouped row is not in its index.
  bool Join(TRdaDBListItem& row);
  // A row that stays in its group: its old contribution out, the new in
  // (keyed: its keyed group when known).
  struct KeyedGroup;
  void Update(TRdaDBListItem& row, const Variant& old, const KeyedGroup* keyed);
  // Takes the row out of its group (x: its contribution when it joined).
  void Leave(TRdaDBListItem& row, const Variant& x);
  // Keyed groups (see the top of this file): whether the grouping fields
  // allow them, a row image's key under the group index, the group kept under it (nullptr when
  // none is), and a new group to keep.
  bool KeyableGroups() const;
  const std::string& GroupKey(const TRdaIndex& index, const char* image) const;
  struct KeyedGroup {
    TRdaAggregateValue* value;
    TRdaAggregateValue* count;
  };
  const KeyedGroup* FindKeyed(const TRdaDBListItem& row) const;
  void KeepKeyed(const TRdaDBListItem& row, TRdaAggregateValue* value, TRdaAggregateValue* count);
  void Recompute();
  void Release();
  // Runs a property change: recompute, or undo it and raise.
  template <typename Change, typename Undo>
  void Change(Change&& change, Undo&& undo);
  // Walks the rows in grouping order: f(row, passes, startsGroup).
  void Walk(const std::function<void(TRdaDBListItem&, bool, bool)>& f) const;
  Variant Read(const TRdaAggregateValue* value, const TRdaAggregateValue* count) const;

  TRdaAggregates* owner_;
  std::string name_;
  std::string fieldName_;
  TRdaAggKind kind_ = akCount;
  std::string indexName_;
  int level_ = 0;
  bool active_ = false;
  int valueSlot_ = -1;
  int countSlot_ = -1;
  bool computed_ = false;
  bool editMark_ = false;
  // The edit may move the row to another group (a grouping field changed,
  // or filtering decides anew).
  bool editRegroup_ = false;
  TRdaDBListItem* editRow_ = nullptr;
  Variant editValue_;
  bool editJoined_ = false;
  TField* field_ = nullptr;
  // Where the field's value sits (as the indexes' key parts).
  bool calculated_ = false;
  int32_t offset_ = 0;
  int32_t nullByte_ = 0;
  uint8_t nullMask_ = 0;
  uint8_t type_ = 0;
  size_t size_ = 0;
  // The one group of an aggregate without groups (and its count for AVG).
  std::shared_ptr<TRdaAggregateValue> total_;
  std::shared_ptr<TRdaAggregateValue> totalCount_;
  mutable std::string buffer_;
  // The groups by key while keyed_ (they are owned by their rows: an entry
  // whose group has no row left is never read, and goes when the group does).
  bool keyed_ = false;
  std::unordered_map<std::string, KeyedGroup> groupsByKey_;
  // The keyed group of the row under edit, found when the edit starts
  // (editKeyed_), so that the post finds its value in the cache.
  bool editKeyed_ = false;
  KeyedGroup editGroup_{};
  mutable std::string keyBuffer_;
  // GroupIndex's lookup, valid while the indexes' generation is the same.
  mutable TRdaIndex* groupIndex_ = nullptr;
  mutable uint64_t groupIndexGeneration_ = ~uint64_t{0};
};

class TRdaAggregates {
 public:
  static constexpr int kMaxSlots = 256;

  TRdaAggregates(TRdaCustomDataSet& dataSet, TRdaIndexes& indexes);
  ~TRdaAggregates();
  TRdaAggregates(const TRdaAggregates&) = delete;
  TRdaAggregates& operator=(const TRdaAggregates&) = delete;

  int Count() const { return static_cast<int>(items_.size()); }
  TRdaAggregate& Items(int index) const;
  // By Name (explicit or default), ignoring ASCII letter case.
  TRdaAggregate* Find(std::string_view name) const;
  // A new aggregate: COUNT(*), inactive.
  TRdaAggregate& Add();
  void Delete(int index);
  void Clear();
  // Copies the definitions (explicit name, FieldName, AggKind, IndexName,
  // Level, Active) of another collection and recomputes.
  void AssignDefinitions(const TRdaAggregates& other);

  // ---- Upkeep (usable aggregates; the others lose their computed flag) ----
  void RowAdded(TRdaDBListItem& row);
  void RowEditStarting(TRdaDBListItem& row);
  void RowEditCancelled();
  // Marks every aggregate remembering the row under edit as touched by it.
  void MarkEdited();
  void RowPosted(TRdaDBListItem& row);
  void RowRemoving(TRdaDBListItem& row);
  void FieldChanged(TField& field);
  void RecomputeAll();
  void RecomputeForIndex(std::string_view indexName);
  void BindFields();
  void UnbindFields();
  // Installs the store's row callbacks (a new row gets empty slots, a
  // destroyed row drops its references).
  void Attach(TRdaDBList* store);
  bool Maintained() const { return maintained_; }
  // Changing it recomputes every aggregate.
  void SetMaintained(bool value);

  std::string Verify() const;

  // The aggregates section of the dataset stream (RdaIndexesStream.cpp): the
  // switch and per aggregate its definition. LoadFromStream replaces the
  // definitions (an absent section leaves none and the position where it
  // was), checked whole first; on an open dataset they are bound (the
  // dataset's "Field '<name>' not found") and computed. Stream errors are
  // EReadError.
  void SaveToStream(TMemoryStream& stream) const;
  void LoadFromStream(TMemoryStream& stream);

 private:
  friend class TRdaAggregate;
  // The lowest free slot, emptied in every row; "Too many aggregates" when
  // all 256 are taken.
  int TakeSlot();
  void ReleaseSlot(int slot);
  // Binds an aggregate's FieldName to its field object (the dataset's
  // "Field '<name>' not found" for an unknown one) and lays out where the
  // value sits.
  void BindOne(TRdaAggregate& aggregate);

  TRdaCustomDataSet* dataSet_;
  TRdaIndexes* indexes_;
  std::vector<std::unique_ptr<TRdaAggregate>> items_;
  std::bitset<kMaxSlots> slots_;
  bool maintained_ = true;
  TRdaDBList* store_ = nullptr;
  int capacity_ = 0;
};

}  // namespace rda
