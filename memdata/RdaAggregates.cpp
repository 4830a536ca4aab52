#include "memdata/RdaAggregates.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "base/Currency.h"
#include "memdata/RdaCustomDataSet.h"
#include "memdata/RdaIndexes.h"
#include "memdata/store/RdaStoredValue.h"

namespace rda {

namespace {

const char* KindName(TRdaAggKind kind) {
  switch (kind) {
    case akSum: return "SUM";
    case akAvg: return "AVG";
    case akCount: return "COUNT";
    case akMin: return "MIN";
    case akMax: return "MAX";
  }
  return "COUNT";
}

bool IsNumericType(uint8_t type) {
  switch (type & 0x7F) {
    case ftSmallint: case ftInteger: case ftWord: case ftFloat: case ftCurrency: case ftBCD:
    case ftAutoInc: case ftLargeint: case ftFMTBcd:
      return true;
    default:
      return false;
  }
}

Variant CountValue(int64_t n) {
  if (n <= INT32_MAX) return Variant(static_cast<int32_t>(n));
  return Variant(n);
}

// a + x or a - x; with a packed decimal on either side in currency
// precision, giving a packed decimal.
Variant Combine(const Variant& a, const Variant& x, bool subtract) {
  if (a.Type() == VarType::Bcd || x.Type() == VarType::Bcd) {
    const int64_t p = a.ToCurrency().Scaled;
    const int64_t q = x.ToCurrency().Scaled;
    int64_t r;
    if (subtract ? __builtin_sub_overflow(p, q, &r) : __builtin_add_overflow(p, q, &r)) {
      throw EOverflow("Floating point overflow");
    }
    return Variant(CurrencyToBcd(Currency::FromScaled(r)));
  }
  return subtract ? a - x : a + x;
}

bool Close(const Variant& a, const Variant& b) {
  if (a.IsClear() || b.IsClear()) return a.IsClear() == b.IsClear();
  if (a.IsFloat() || b.IsFloat()) {
    const double x = a.ToDouble();
    const double y = b.ToDouble();
    return std::fabs(x - y) <= 1e-9 * std::max({1.0, std::fabs(x), std::fabs(y)});
  }
  return VarSameValue(a, b);
}

}  // namespace

// ---------------------------------------------------------------------------
// TRdaAggregate: definition

TRdaAggregate::TRdaAggregate(TRdaAggregates& owner) : owner_(&owner) {}

TRdaAggregate::~TRdaAggregate() {
  try {
    Release();
  } catch (...) {
    // Releasing drops references only; nothing here raises.
  }
}

TRdaCustomDataSet& TRdaAggregate::DataSet() const { return *owner_->dataSet_; }

std::string TRdaAggregate::DefaultName() const {
  return std::string(KindName(kind_)) + "(" + (fieldName_.empty() ? "*" : fieldName_) + ")";
}

std::string TRdaAggregate::Name() const { return name_.empty() ? DefaultName() : name_; }

void TRdaAggregate::SetName(std::string name) {
  name_ = name == DefaultName() ? std::string() : std::move(name);
}

template <typename ChangeFn, typename UndoFn>
void TRdaAggregate::Change(ChangeFn&& change, UndoFn&& undo) {
  change();
  if (!DataSet().IsCursorOpen()) return;
  auto apply = [this] {
    TRdaAggregates& owner = *owner_;
    owner.BindOne(*this);
    Recompute();
  };
  try {
    apply();
  } catch (...) {
    undo();
    try {
      apply();
    } catch (...) {
      Release();
    }
    throw;
  }
}

void TRdaAggregate::SetFieldName(std::string name) {
  std::string old = fieldName_;
  Change([&] { fieldName_ = std::move(name); }, [&] { fieldName_ = old; });
}

void TRdaAggregate::SetAggKind(TRdaAggKind kind) {
  const TRdaAggKind old = kind_;
  Change([&] { kind_ = kind; }, [&] { kind_ = old; });
}

void TRdaAggregate::SetIndexName(std::string name) {
  std::string old = indexName_;
  const int oldLevel = level_;
  Change(
      [&] {
        indexName_ = std::move(name);
        if (indexName_.empty()) level_ = 0;
      },
      [&] {
        indexName_ = old;
        level_ = oldLevel;
      });
}

void TRdaAggregate::SetLevel(int level) {
  const int old = level_;
  Change([&] { level_ = indexName_.empty() ? 0 : std::max(level, 0); }, [&] { level_ = old; });
}

void TRdaAggregate::SetActive(bool value) {
  const bool old = active_;
  Change([&] { active_ = value; }, [&] { active_ = old; });
}

// ---------------------------------------------------------------------------
// TRdaAggregate: computing

// Looked up by name once per change of the index definitions.
TRdaIndex* TRdaAggregate::GroupIndex() const {
  if (indexName_.empty()) return nullptr;
  const uint64_t generation = owner_->indexes_->Generation();
  if (groupIndexGeneration_ != generation) {
    groupIndex_ = owner_->indexes_->FindIndex(indexName_);
    groupIndexGeneration_ = generation;
  }
  return groupIndex_;
}

bool TRdaAggregate::Usable(bool raise) const {
  if (!active_ || !owner_->maintained_ || !DataSet().IsCursorOpen() || !DataSet().Active()) {
    return false;
  }
  if (!field_ && !(kind_ == akCount && fieldName_.empty())) return false;
  if (indexName_.empty()) return true;
  TRdaIndex* index = GroupIndex();
  if (!index) {
    if (raise) owner_->indexes_->IndexByName(indexName_);
    return false;
  }
  return index->Active() && index->Built();
}

bool TRdaAggregate::Passes(const TRdaDBListItem& row) const {
  TRdaCustomDataSet& ds = DataSet();
  if (!ds.Filtered() && !ds.DetailFilterActive()) return true;
  return ds.RowAccepted(row.Image());
}

Variant TRdaAggregate::Contribution(const TRdaDBListItem& row) const {
  if (!field_) return Variant(int32_t{1});
  const char* image = row.Data();
  if (calculated_) {
    DataSet().MaterializeRow(row, buffer_.data());
    image = buffer_.data();
    if (image[offset_ - 1] == 0) return Variant::Null();
  } else if ((image[nullByte_] & nullMask_) == 0) {
    return Variant::Null();
  }
  return RdaLoadValue(type_, image + offset_, size_);
}

bool TRdaAggregate::HoldsGroup(const TRdaDBListItem& row) const {
  if (valueSlot_ < 0 || !row.HasAggregateSlots()) return false;
  const TRdaAggregateSlots& slots = const_cast<TRdaDBListItem&>(row).AggregateSlots();
  return static_cast<size_t>(valueSlot_) < slots.size() && slots[static_cast<size_t>(valueSlot_)];
}

bool TRdaAggregate::SameGroup(const TRdaIndex& index, const TRdaDBListItem& a,
                              const TRdaDBListItem& b) const {
  const int flags = index.Options().Contains(ioCaseInsensitive) ? cfCaseInsensitive : 0;
  return index.CompareRows(a, b, flags, level_) == 0;
}

void TRdaAggregate::Add(TRdaAggregateValue& value, TRdaAggregateValue* count, const Variant& x) const {
  if (x.IsClear()) return;
  switch (kind_) {
    case akSum:
    case akAvg:
      if (value.Contributors == 0 || value.Value.IsClear()) {
        value.Value = x;
      } else if (value.Value.Type() == VarType::Bcd || x.Type() == VarType::Bcd) {
        value.Value = Combine(value.Value, x, false);
      } else {
        value.Value += x;  // computed before it is stored: a failure changes nothing
      }
      if (count) count->Value = CountValue(++count->Contributors);
      break;
    case akCount:
      value.Value = CountValue(value.Contributors + 1);
      break;
    case akMin:
    case akMax:
      if (value.Contributors == 0) {
        value.Value = x;
        value.AtExtreme = 1;
      } else {
        const TVariantRelationship r = VarCompareValue(x, value.Value);
        if ((kind_ == akMin && r == vrLessThan) || (kind_ == akMax && r == vrGreaterThan)) {
          value.Value = x;
          value.AtExtreme = 1;
        } else if (r == vrEqual) {
          ++value.AtExtreme;
        }
      }
      break;
  }
  ++value.Contributors;
}

bool TRdaAggregate::Remove(TRdaAggregateValue& value, TRdaAggregateValue* count, const Variant& x) const {
  if (x.IsClear() || value.Contributors == 0) return true;
  switch (kind_) {
    case akSum:
    case akAvg:
      if (value.Contributors == 1) {
        value.Value = Variant::Null();
      } else if (value.Value.Type() == VarType::Bcd || x.Type() == VarType::Bcd) {
        value.Value = Combine(value.Value, x, true);
      } else {
        value.Value -= x;  // computed before it is stored: a failure changes nothing
      }
      if (count && count->Contributors > 0) count->Value = CountValue(--count->Contributors);
      break;
    case akCount:
      value.Value = CountValue(value.Contributors - 1);
      break;
    case akMin:
    case akMax:
      if (value.Contributors == 1) {
        value.Value = Variant::Null();
        value.AtExtreme = 0;
      } else if (VarCompareValue(x, value.Value) == vrEqual && --value.AtExtreme == 0) {
        // The group's only extreme leaves: only a new walk finds the next.
        --value.Contributors;
        return false;
      }
      break;
  }
  --value.Contributors;
  return true;
}

void TRdaAggregate::RecomputeGroup(TRdaAggregateValue& value) {
  TRdaAggregateValue fresh;
  if (kind_ == akCount) fresh.Value = Variant(int32_t{0});
  const size_t v = static_cast<size_t>(valueSlot_);
  for (TRdaDBListItem* row : owner_->store_->Rows()) {
    if (HoldsGroup(*row) && row->AggregateSlots()[v].get() == &value) {
      Add(fresh, nullptr, Contribution(*row));
    }
  }
  value = std::move(fresh);
}

void TRdaAggregate::Walk(const std::function<void(TRdaDBListItem&, bool, bool)>& f) const {
  TRdaDBList* store = owner_->store_;
  if (!store) return;
  if (!Grouped()) {
    for (TRdaDBListItem* row : store->Rows()) f(*row, Passes(*row), false);
    return;
  }
  const TRdaIndex& index = *GroupIndex();
  // A passing row starts a group unless it belongs to the group of the last
  // passing row (rows between them that did not pass do not join groups).
  const TRdaDBListItem* last = nullptr;
  for (int i = 0; i < index.Count(); ++i) {
    TRdaDBListItem& row = *index.Row(i);
    const bool passes = Passes(row);
    if (!passes) {
      f(row, false, false);
      continue;
    }
    f(row, true, last == nullptr || !SameGroup(index, *last, row));
    last = &row;
  }
}

void TRdaAggregate::Release() {
  if (valueSlot_ >= 0) owner_->ReleaseSlot(valueSlot_);
  if (countSlot_ >= 0) owner_->ReleaseSlot(countSlot_);
  valueSlot_ = countSlot_ = -1;
  total_.reset();
  totalCount_.reset();
  keyed_ = false;
  groupsByKey_.clear();
  computed_ = false;
  editMark_ = false;
  editRow_ = nullptr;
  editKeyed_ = false;
}

void TRdaAggregate::Recompute() {
  Release();
  if (!Usable(true)) return;
  if ((kind_ == akSum || kind_ == akAvg) && field_ && !IsNumericType(type_)) {
    DatabaseError("Cannot compute " + Name() + ": field '" + fieldName_ + "' is not numeric");
  }
  valueSlot_ = owner_->TakeSlot();
  try {
    keyed_ = KeyableGroups();
    if (kind_ == akAvg) countSlot_ = owner_->TakeSlot();
    std::shared_ptr<TRdaAggregateValue> group;
    std::shared_ptr<TRdaAggregateValue> count;
    const size_t v = static_cast<size_t>(valueSlot_);
    const size_t c = static_cast<size_t>(countSlot_);
    Walk([&](TRdaDBListItem& row, bool passes, bool starts) {
      if (!passes) return;
      if (starts || !group) {
        group = std::make_shared<TRdaAggregateValue>();
        if (kind_ == akCount) group->Value = Variant(int32_t{0});
        if (kind_ == akAvg) {
          count = std::make_shared<TRdaAggregateValue>();
          count->Value = Variant(int32_t{0});
        }
        KeepKeyed(row, group.get(), count.get());
      }
      Add(*group, count.get(), Contribution(row));
      TRdaAggregateSlots& slots = row.AggregateSlots();
      slots[v] = group;
      if (count) slots[c] = count;
    });
    if (!Grouped()) {
      total_ = std::move(group);
      totalCount_ = std::move(count);
    }
  } catch (...) {
    Release();
    throw;
  }
  computed_ = true;
}

bool TRdaAggregate::Join(TRdaDBListItem& row) {
  const Variant x = Contribution(row);
  std::shared_ptr<TRdaAggregateValue> group;
  std::shared_ptr<TRdaAggregateValue> count;
  if (Grouped()) {
    const TRdaIndex& index = *GroupIndex();
    const int position = index.PositionOf(row);
    if (position < 0) return false;
    // The nearest row of the same group that holds the group's values.
    auto look = [&](int from, int step) {
      for (int i = from; i >= 0 && i < index.Count(); i += step) {
        TRdaDBListItem& other = *index.Row(i);
        if (!SameGroup(index, other, row)) return;
        if (HoldsGroup(other)) {
          TRdaAggregateSlots& slots = other.AggregateSlots();
          group = slots[static_cast<size_t>(valueSlot_)];
          if (countSlot_ >= 0) count = slots[static_cast<size_t>(countSlot_)];
          return;
        }
      }
    };
    look(position - 1, -1);
    if (!group) look(position + 1, 1);
  } else {
    group = total_;
    count = totalCount_;
  }
  if (!group) {
    group = std::make_shared<TRdaAggregateValue>();
    if (kind_ == akCount) group->Value = Variant(int32_t{0});
    if (kind_ == akAvg) {
      count = std::make_shared<TRdaAggregateValue>();
      count->Value = Variant(int32_t{0});
    }
    KeepKeyed(row, group.get(), count.get());
  }
  Add(*group, count.get(), x);
  TRdaAggregateSlots& slots = row.AggregateSlots();
  slots[static_cast<size_t>(valueSlot_)] = group;
  if (countSlot_ >= 0) slots[static_cast<size_t>(countSlot_)] = count;
  if (!Grouped()) {
    total_ = std::move(group);
    totalCount_ = std::move(count);
  }
  return true;
}

void TRdaAggregate::Update(TRdaDBListItem& row, const Variant& old, const KeyedGroup* keyed) {
  TRdaAggregateValue* value;
  TRdaAggregateValue* count;
  if (!keyed) keyed = FindKeyed(row);
  if (keyed) {
    value = keyed->value;
    count = keyed->count;
  } else {
    TRdaAggregateSlots& slots = row.AggregateSlots();
    value = slots[static_cast<size_t>(valueSlot_)].get();
    count = countSlot_ >= 0 ? slots[static_cast<size_t>(countSlot_)].get() : nullptr;
  }
  TRdaAggregateValue& group = *value;
  if (!Remove(group, count, old)) {
    // The walk meets the row with its new value already.
    RecomputeGroup(group);
    return;
  }
  Add(group, count, Contribution(row));
}

void TRdaAggregate::Leave(TRdaDBListItem& row, const Variant& x) {
  if (!HoldsGroup(row)) return;
  TRdaAggregateSlots& slots = row.AggregateSlots();
  // The row's references go first, so that a new walk of the group no
  // longer meets it.
  const std::shared_ptr<TRdaAggregateValue> group = std::move(slots[static_cast<size_t>(valueSlot_)]);
  std::shared_ptr<TRdaAggregateValue> count;
  if (countSlot_ >= 0) count = std::move(slots[static_cast<size_t>(countSlot_)]);
  if (keyed_ && group.use_count() == 1) {
    // The group's last row left: its key goes with it.
    const auto it = groupsByKey_.find(group->Key);
    if (it != groupsByKey_.end() && it->second.value == group.get()) groupsByKey_.erase(it);
    return;
  }
  if (!Remove(*group, count.get(), x)) RecomputeGroup(*group);
}

// ---------------------------------------------------------------------------
// TRdaAggregate: keyed groups

bool TRdaAggregate::KeyableGroups() const {
  if (!Grouped()) return false;
  const TRdaIndex* index = GroupIndex();
  if (!index || index->calculatedKey_) return false;
  const size_t n = std::min(index->parts_.size(), static_cast<size_t>(level_));
  for (size_t i = 0; i < n; ++i) {
    const TRdaIndex::KeyPart& p = index->parts_[i];
    if (p.calculated) return false;
    switch (p.type & 0x7F) {
      case ftString: case ftFixedChar: case ftGuid: case ftSmallint: case ftInteger: case ftWord:
      case ftAutoInc: case ftLargeint: case ftBCD: case ftDate: case ftTime: case ftBoolean:
        break;
      default:
        // Tolerances (floats, date-times, time stamps) and collations do
        // not make equal values equal bytes.
        return false;
    }
  }
  return n > 0;
}

// The grouping fields' values as bytes that are equal exactly when the
// index compares the values equal: per field a null flag, then a text's
// length and (folded) bytes, a boolean's truth or an integer's 8 bytes.
const std::string& TRdaAggregate::GroupKey(const TRdaIndex& index, const char* image) const {
  const bool fold = index.Options().Contains(ioCaseInsensitive);
  std::string& key = keyBuffer_;
  key.clear();
  const size_t n = std::min(index.parts_.size(), static_cast<size_t>(level_));
  for (size_t i = 0; i < n; ++i) {
    const TRdaIndex::KeyPart& p = index.parts_[i];
    if ((image[p.nullByte] & p.nullMask) == 0) {
      key.push_back('\0');
      continue;
    }
    key.push_back('\1');
    const char* value = image + p.offset;
    switch (p.type & 0x7F) {
      case ftString: case ftFixedChar: case ftGuid: {
        const std::string_view text = RdaLoadText(value, p.size);
        const auto length = static_cast<uint32_t>(text.size());
        key.append(reinterpret_cast<const char*>(&length), sizeof length);
        for (const char c : text) {
          key.push_back(fold ? static_cast<char>(RdaFoldAscii(static_cast<unsigned char>(c))) : c);
        }
        break;
      }
      case ftBoolean:
        key.push_back(RdaLoadInteger(p.type, value) != 0 ? '\1' : '\0');
        break;
      default: {
        const int64_t v = RdaLoadInteger(p.type, value);
        key.append(reinterpret_cast<const char*>(&v), sizeof v);
        break;
      }
    }
  }
  return key;
}

const TRdaAggregate::KeyedGroup* TRdaAggregate::FindKeyed(const TRdaDBListItem& row) const {
  const TRdaIndex* index = keyed_ ? GroupIndex() : nullptr;
  if (!index) return nullptr;
  const auto it = groupsByKey_.find(GroupKey(*index, row.Data()));
  return it == groupsByKey_.end() ? nullptr : &it->second;
}

void TRdaAggregate::KeepKeyed(const TRdaDBListItem& row, TRdaAggregateValue* value, TRdaAggregateValue* count) {
  const TRdaIndex* index = keyed_ ? GroupIndex() : nullptr;
  if (!index) return;
  value->Key = GroupKey(*index, row.Data());
  groupsByKey_[value->Key] = {value, count};
}

// ---------------------------------------------------------------------------
// TRdaAggregate: reading

Variant TRdaAggregate::Read(const TRdaAggregateValue* value, const TRdaAggregateValue* count) const {
  switch (kind_) {
    case akCount:
      return value ? value->Value : Variant(int32_t{0});
    case akAvg:
      if (!value || !count || value->Contributors == 0 || count->Contributors == 0) return Variant::Null();
      return value->Value / count->Value;
    default:
      if (!value || value->Contributors == 0) return Variant::Null();
      return value->Value;
  }
}

Variant TRdaAggregate::ValueOf(const TRdaDBListItem& row) const {
  if (!active_ || !computed_) return Variant::Null();
  if (!Grouped()) return Read(total_.get(), totalCount_.get());
  if (!HoldsGroup(row)) return Variant::Null();
  TRdaAggregateSlots& slots = const_cast<TRdaDBListItem&>(row).AggregateSlots();
  return Read(slots[static_cast<size_t>(valueSlot_)].get(),
              countSlot_ >= 0 ? slots[static_cast<size_t>(countSlot_)].get() : nullptr);
}

Variant TRdaAggregate::Value() const {
  if (!active_ || !computed_) return Variant::Null();
  if (!Grouped()) return Read(total_.get(), totalCount_.get());
  const TRdaDBListItem* row = DataSet().AggregateRow();
  return row ? ValueOf(*row) : Variant::Null();
}

std::string TRdaAggregate::Verify() const {
  if (!computed_) return {};
  const std::string where = "aggregate " + Name() + ": ";
  // A fresh computation beside the kept one.
  struct Group {
    TRdaAggregateValue value, count;
    const TRdaAggregateValue* kept = nullptr;
    const TRdaAggregateValue* keptCount = nullptr;
  };
  std::vector<Group> groups;
  std::string fault;
  const size_t v = static_cast<size_t>(valueSlot_);
  Walk([&](TRdaDBListItem& row, bool passes, bool starts) {
    if (!fault.empty()) return;
    const bool holds = HoldsGroup(row);
    if (!passes) {
      if (holds) fault = "a row the filter rejects holds a group";
      return;
    }
    if (!holds) {
      fault = "a passing row holds no group";
      return;
    }
    if (starts || groups.empty()) {
      groups.emplace_back();
      if (kind_ == akCount) groups.back().value.Value = Variant(int32_t{0});
      if (kind_ == akAvg) groups.back().count.Value = Variant(int32_t{0});
    }
    Group& g = groups.back();
    Add(g.value, kind_ == akAvg ? &g.count : nullptr, Contribution(row));
    const TRdaAggregateValue* kept = row.AggregateSlots()[v].get();
    if (keyed_) {
      const KeyedGroup* keyed = FindKeyed(row);
      if (!keyed || keyed->value != kept) fault = "the group kept under a row's key is not the row's";
    }
    if (g.kept == nullptr) {
      g.kept = kept;
      if (countSlot_ >= 0) g.keptCount = row.AggregateSlots()[static_cast<size_t>(countSlot_)].get();
      for (size_t i = 0; i + 1 < groups.size(); ++i) {
        if (groups[i].kept == kept) fault = "two groups share one value";
      }
    } else if (g.kept != kept) {
      fault = "the rows of one group hold different values";
    }
  });
  if (!fault.empty()) return where + fault;
  for (const Group& g : groups) {
    const Variant expected = Read(&g.value, kind_ == akAvg ? &g.count : nullptr);
    const Variant actual = Read(g.kept, g.keptCount);
    if (!Close(expected, actual)) {
      return where + "holds " + actual.ToString() + " where a fresh computation gives " +
             expected.ToString();
    }
  }
  if (!Grouped() && !groups.empty() && groups.front().kept != total_.get()) {
    return where + "the total is not the rows' group";
  }
  return {};
}

// ---------------------------------------------------------------------------
// TRdaAggregates

TRdaAggregates::TRdaAggregates(TRdaCustomDataSet& dataSet, TRdaIndexes& indexes)
    : dataSet_(&dataSet), indexes_(&indexes) {}

TRdaAggregates::~TRdaAggregates() {
  items_.clear();
  if (store_) {
    store_->OnItemCreated = nullptr;
    store_->OnItemDeleted = nullptr;
  }
}

TRdaAggregate& TRdaAggregates::Items(int index) const {
  if (index < 0 || index >= Count()) {
    throw EListError("List index out of bounds (" + std::to_string(index) + ")");
  }
  return *items_[static_cast<size_t>(index)];
}

TRdaAggregate* TRdaAggregates::Find(std::string_view name) const {
  for (const auto& a : items_) {
    if (SameName(a->Name(), name)) return a.get();
  }
  return nullptr;
}

TRdaAggregate& TRdaAggregates::Add() {
  items_.push_back(std::make_unique<TRdaAggregate>(*this));
  return *items_.back();
}

void TRdaAggregates::Delete(int index) {
  Items(index);
  items_.erase(items_.begin() + index);
}

void TRdaAggregates::Clear() { items_.clear(); }

void TRdaAggregates::AssignDefinitions(const TRdaAggregates& other) {
  Clear();
  for (const auto& source : other.items_) {
    TRdaAggregate& a = Add();
    a.name_ = source->name_;
    a.fieldName_ = source->fieldName_;
    a.kind_ = source->kind_;
    a.indexName_ = source->indexName_;
    a.level_ = source->level_;
    a.active_ = source->active_;
  }
  if (dataSet_->IsCursorOpen()) {
    BindFields();
    RecomputeAll();
  }
}

int TRdaAggregates::TakeSlot() {
  int slot = 0;
  while (slot < kMaxSlots && slots_.test(static_cast<size_t>(slot))) ++slot;
  if (slot == kMaxSlots) DatabaseError("Too many aggregates");
  slots_.set(static_cast<size_t>(slot));
  if (store_) {
    if (slot >= capacity_) {
      capacity_ = slot + 4;
      for (TRdaDBListItem* row : store_->Rows()) row->AggregateSlots().resize(static_cast<size_t>(capacity_));
    } else {
      for (TRdaDBListItem* row : store_->Rows()) row->AggregateSlots()[static_cast<size_t>(slot)].reset();
    }
  }
  return slot;
}

void TRdaAggregates::ReleaseSlot(int slot) {
  slots_.reset(static_cast<size_t>(slot));
  if (!store_) return;
  for (TRdaDBListItem* row : store_->Rows()) {
    if (!row->HasAggregateSlots()) continue;
    TRdaAggregateSlots& slots = row->AggregateSlots();
    if (static_cast<size_t>(slot) < slots.size()) slots[static_cast<size_t>(slot)].reset();
  }
}

void TRdaAggregates::BindOne(TRdaAggregate& a) {
  TRdaCustomDataSet& ds = *dataSet_;
  a.field_ = nullptr;
  if (a.fieldName_.empty() || !ds.IsCursorOpen()) return;
  TField& f = ds.FieldByName(a.fieldName_);
  a.type_ = static_cast<uint8_t>(f.DataType());
  if (f.InCalcArea()) {
    a.calculated_ = true;
    a.offset_ = ds.calcAreaOffset_ + f.Offset() + 1;
    a.size_ = static_cast<size_t>(IsRdaTextFieldType(a.type_) ? f.Size() : f.DataSize());
    a.buffer_.assign(static_cast<size_t>(ds.bufferSize_), '\0');
  } else {
    const TRdaCustomDataSet::FieldSlot& s = ds.SlotOf(f);
    a.calculated_ = false;
    a.offset_ = s.offset;
    a.nullByte_ = s.nullByte;
    a.nullMask_ = s.nullMask;
    a.type_ = s.type;
    a.size_ = static_cast<size_t>(s.dataSize);
  }
  a.field_ = &f;
}

void TRdaAggregates::BindFields() {
  for (const auto& a : items_) BindOne(*a);
}

void TRdaAggregates::UnbindFields() {
  for (const auto& a : items_) {
    a->Release();
    a->field_ = nullptr;
  }
}

void TRdaAggregates::Attach(TRdaDBList* store) {
  if (store_ && store_ != store) {
    store_->OnItemCreated = nullptr;
    store_->OnItemDeleted = nullptr;
  }
  // The old store's rows are gone or going: their slots with them.
  store_ = nullptr;
  for (const auto& a : items_) a->Release();
  slots_.reset();
  capacity_ = 0;
  store_ = store;
  if (!store_) return;
  store_->OnItemCreated = [this](TRdaDBListItem& row) {
    if (capacity_ > 0) row.AggregateSlots().assign(static_cast<size_t>(capacity_), nullptr);
  };
  store_->OnItemDeleted = [](TRdaDBListItem& row) {
    if (row.HasAggregateSlots()) row.AggregateSlots().clear();
  };
}

void TRdaAggregates::SetMaintained(bool value) {
  maintained_ = value;
  RecomputeAll();
}

void TRdaAggregates::RecomputeAll() {
  std::exception_ptr first;
  for (const auto& a : items_) {
    try {
      a->Recompute();
    } catch (...) {
      if (!first) first = std::current_exception();
    }
  }
  if (first) std::rethrow_exception(first);
}

void TRdaAggregates::RecomputeForIndex(std::string_view indexName) {
  for (const auto& a : items_) {
    if (!a->indexName_.empty() && SameName(a->indexName_, indexName)) a->Recompute();
  }
}

void TRdaAggregates::RowAdded(TRdaDBListItem& row) {
  std::vector<TRdaAggregate*> joined;
  try {
    for (const auto& a : items_) {
      if (!a->computed_ || !a->Usable(false)) {
        a->computed_ = false;
        continue;
      }
      if (!a->Passes(row)) continue;
      if (a->Join(row)) {
        joined.push_back(a.get());
      } else {
        a->computed_ = false;
      }
    }
  } catch (...) {
    for (TRdaAggregate* a : joined) a->Leave(row, a->Contribution(row));
    throw;
  }
}

void TRdaAggregates::RowEditStarting(TRdaDBListItem& row) {
  const bool unfiltered = !dataSet_->Filtered() && !dataSet_->DetailFilterActive();
  for (const auto& a : items_) {
    a->editMark_ = false;
    a->editRegroup_ = false;
    a->editRow_ = nullptr;
    a->editKeyed_ = false;
    if (!a->computed_ || !a->Usable(false)) continue;
    a->editRow_ = &row;
    // Unfiltered, every row holds its group: with keyed groups the row's
    // references need not be read, and the group's value is asked for now.
    if (a->keyed_ && unfiltered) {
      if (const TRdaAggregate::KeyedGroup* keyed = a->FindKeyed(row)) {
        a->editGroup_ = *keyed;
        a->editKeyed_ = true;
        __builtin_prefetch(keyed->value);
      }
    }
    a->editJoined_ = a->editKeyed_ || a->HoldsGroup(row);
    a->editValue_ = a->editJoined_ ? a->Contribution(row) : Variant::Null();
  }
}

void TRdaAggregates::RowEditCancelled() {
  for (const auto& a : items_) {
    a->editMark_ = false;
    a->editKeyed_ = false;
    a->editRow_ = nullptr;
    a->editValue_ = Variant::Null();
  }
}

void TRdaAggregates::MarkEdited() {
  for (const auto& a : items_) a->editMark_ = a->editRegroup_ = a->editRow_ != nullptr;
}

void TRdaAggregates::FieldChanged(TField& field) {
  TRdaCustomDataSet& ds = *dataSet_;
  // While filtering, any change may decide whether the row passes.
  const bool filtering = ds.Filtered() || ds.DetailFilterActive();
  for (const auto& a : items_) {
    const bool own = &field == a->field_ || (a->field_ && a->field_->FieldKind() != fkData);
    bool grouping = false;
    if (a->Grouped()) {
      if (const TRdaIndex* index = a->GroupIndex()) {
        const std::vector<TField*>& keys = index->KeyFields();
        const size_t n = std::min(keys.size(), static_cast<size_t>(a->level_));
        grouping = index->calculatedKey_ ||
                   (field.FieldKind() == fkData &&
                    std::find(keys.begin(), keys.begin() + static_cast<std::ptrdiff_t>(n), &field) !=
                        keys.begin() + static_cast<std::ptrdiff_t>(n));
      }
    }
    if (filtering || grouping) a->editRegroup_ = true;
    if (filtering || grouping || own) a->editMark_ = true;
  }
}

void TRdaAggregates::RowPosted(TRdaDBListItem& row) {
  for (const auto& a : items_) {
    const bool marked = a->editMark_ && a->editRow_ == &row;
    const bool keyed = a->editKeyed_;
    a->editMark_ = false;
    a->editRow_ = nullptr;
    a->editKeyed_ = false;
    if (!a->computed_ || !a->Usable(false)) {
      a->computed_ = false;
      continue;
    }
    if (!marked) continue;
    const bool passes = a->Passes(row);
    if (a->editJoined_ && passes && !a->editRegroup_) {
      // Still in its group: only the value changes there.
      a->Update(row, a->editValue_, keyed ? &a->editGroup_ : nullptr);
      continue;
    }
    if (a->editJoined_) a->Leave(row, a->editValue_);
    if (passes && !a->Join(row)) a->computed_ = false;
  }
}

void TRdaAggregates::RowRemoving(TRdaDBListItem& row) {
  for (const auto& a : items_) {
    if (!a->computed_ || !a->Usable(false)) {
      a->computed_ = false;
      continue;
    }
    a->Leave(row, a->Contribution(row));
  }
}

std::string TRdaAggregates::Verify() const {
  for (const auto& a : items_) {
    if (std::string e = a->Verify(); !e.empty()) return e;
  }
  // Slots taken are exactly the computed aggregates' slots.
  std::bitset<kMaxSlots> used;
  for (const auto& a : items_) {
    if (a->valueSlot_ >= 0) used.set(static_cast<size_t>(a->valueSlot_));
    if (a->countSlot_ >= 0) used.set(static_cast<size_t>(a->countSlot_));
  }
  if (used != slots_) return "aggregate slots are taken that no aggregate holds";
  return {};
}

}  // namespace rda
