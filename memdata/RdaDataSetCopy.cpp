// Bulk filling and copying: BeginBulk/EndBulk, CopyStructure,
// ClearStructure, CloneFrom and AppendFrom.
#include <exception>

#include "base/ByteIO.h"
#include "memdata/RdaCustomDataSet.h"
#include "memdata/ValueGuard.h"
#include "memdata/store/RdaStoredValue.h"

namespace rda {

namespace {

// What a bulk bracket saves of the maintenance switches.
constexpr int kBulkIndexes = 4;
constexpr int kBulkFieldless = 2;
constexpr int kBulkAggregates = 1;

// The codes whose values AppendFrom copies only with allFields: bytes,
// blobs, memos and the other large values (12, 13, 15-22, 26-31).
bool IsLargeValueType(int type) {
  return type == 12 || type == 13 || (type >= 15 && type <= 22) || (type >= 26 && type <= 31);
}

bool Listed(const std::vector<std::string>& names, const std::string& name) {
  for (const std::string& n : names) {
    if (SameName(n, name)) return true;
  }
  return false;
}

std::string FastFieldLine(const std::string& name, int type, int size) {
  if (type == ftGuid) size = 38;
  return name + "," + std::to_string(type) + "," + std::to_string(size);
}

// Runs each closing step, keeping the first error to raise at the end.
class ClosingSteps {
 public:
  template <typename F>
  void Run(F&& step) {
    try {
      step();
    } catch (...) {
      if (!error_) error_ = std::current_exception();
    }
  }
  void Finish() {
    if (error_) std::rethrow_exception(error_);
  }

 private:
  std::exception_ptr error_;
};

}  // namespace

// ---------------------------------------------------------------------------
// The bulk bracket

void TRdaCustomDataSet::BeginBulk() {
  DisableControls();
  try {
    if (!Active()) Open();
  } catch (...) {
    EnableControls();
    throw;
  }
  DisableConstraints();
  bulkStack_.push_back((indexes_.Maintained() ? kBulkIndexes : 0) |
                       (indexes_.KeepFieldlessActive() ? kBulkFieldless : 0) |
                       (aggregates_.Maintained() ? kBulkAggregates : 0));
  indexes_.SetMaintained(false, true);
  aggregates_.SetMaintained(false);
}

void TRdaCustomDataSet::EndBulk() {
  if (bulkStack_.empty()) return;
  const int saved = bulkStack_.back();
  bulkStack_.pop_back();
  ClosingSteps steps;
  // Switched back on (the outermost End), the indexes are built and the
  // totals computed, once.
  steps.Run([&] {
    indexes_.SetMaintained((saved & kBulkIndexes) != 0, (saved & kBulkFieldless) != 0);
  });
  steps.Run([&] { aggregates_.SetMaintained((saved & kBulkAggregates) != 0); });
  EnableConstraints();
  EnableControls();
  steps.Finish();
}

// ---------------------------------------------------------------------------
// Structure

void TRdaCustomDataSet::CopyStructure(TDataSet& source, bool rebuild) {
  const TFields& mine = Fields();
  const TFields& theirs = source.Fields();
  bool match = mine.Count() > 0 && mine.Count() == theirs.Count();
  for (int i = 0; match && i < mine.Count(); ++i) {
    const TField& a = mine[i];
    const TField& b = theirs[i];
    match = SameName(a.FieldName(), b.FieldName()) && a.DataType() == b.DataType() &&
            a.Size() == b.Size();
  }
  if (rebuild) {
    if (match) {
      fastFields_.clear();
    } else {
      ClearStructure();
    }
  }
  if (match) return;
  for (const auto& f : theirs) {
    if (f->FieldKind() == fkAggregate) continue;
    int type = f->DataType() % 128;
    // The copy keeps 8-bit texts only.
    if (type == ftWideString) type = ftString;
    fastFields_.push_back(FastFieldLine(f->FieldName(), type, f->Size()));
  }
}

void TRdaCustomDataSet::ClearStructure() {
  if (!Active()) {
    ValueGuard<int> internal(internalOperation_, internalOperation_ + 1);
    try {
      Open();
    } catch (...) {
      // A dataset that cannot open has no more to clear.
    }
  }
  indexes_.Clear();
  aggregates_.Clear();
  Constraints().Clear();
  discardOnClose_ = true;
  Close();
  DestroyFields();
  autoCalcFieldObjects_.clear();
  FieldDefs().Clear();
  fastFields_.clear();
  DiscardStore();
}

// ---------------------------------------------------------------------------
// Copying

void TRdaCustomDataSet::CloneFrom(TDataSet& source, int rowLimit,
                                  const std::vector<std::string>& excludeFields,
                                  const std::vector<std::string>& includeFields, bool fromFirst,
                                  bool copyRows, bool keepBookmarks) {
  if (&source == this) DatabaseError("A dataset cannot be cloned from itself", this);
  ValueGuard<bool> copying(copying_, true);
  ClearStructure();
  for (const auto& f : source.Fields()) {
    if (f->FieldKind() == fkAggregate || Listed(excludeFields, f->FieldName())) continue;
    if (!includeFields.empty() && !Listed(includeFields, f->FieldName())) continue;
    fastFields_.push_back(FastFieldLine(f->FieldName(), f->DataType() % 128, f->Size()));
  }
  Open();
  auto* other = dynamic_cast<TRdaCustomDataSet*>(&source);
  if (other != nullptr && excludeFields.empty() && includeFields.empty()) {
    indexes_.AssignDefinitions(other->indexes_);
    indexes_.BindFields();
    indexes_.BuildPending();
    aggregates_.AssignDefinitions(other->aggregates_);
    for (int i = 0; i < other->Constraints().Count(); ++i) {
      Constraints().Add() = other->Constraints().Items(i);
    }
  }
  if (copyRows) {
    ValueGuard<int> internal(internalOperation_, internalOperation_ + 1);
    AppendFrom(source, true, rowLimit, fromFirst, keepBookmarks);
  }
}

// Gives a posted row another RecordID: out of the indexes and totals, the
// new identity, back in.
void TRdaCustomDataSet::GiveRecordID(TRdaDBListItem& row, int32_t id) {
  if (row.RecordID() == id) return;
  if (store_->IndexOfID(id) >= 0) {
    DatabaseError("Bookmark " + std::to_string(id) + " is already in use", this);
  }
  IndexRowRemoving(row);
  row.SetRecordID(id);
  IndexRowAdded(row);
  nextRecordId_ = std::max(nextRecordId_, id);
  StoreI32LE(ActiveBuffer() + bookmarkOffset_, id);
}

void TRdaCustomDataSet::AppendFrom(TDataSet& source, bool allFields, int rowLimit, bool fromFirst,
                                   bool keepBookmarks) {
  if (&source == this) DatabaseError("A dataset cannot append its own rows", this);
  if (!source.Active() || source.IsEmpty()) return;
  BeginBulk();
  const TBookmark mark = source.Bookmark();
  source.DisableControls();
  std::exception_ptr error;
  try {
    // The fields both have, by name, resolved once.
    struct Pair {
      TField* to;
      const TField* from;
      bool wide;
    };
    std::vector<Pair> pairs;
    for (const auto& f : Fields()) {
      if (f->InCalcArea() || f->FieldKind() == fkAggregate) continue;
      const TField* from = source.FindField(f->FieldName());
      if (from == nullptr) continue;
      if (!allFields && (IsLargeValueType(f->DataType()) || IsLargeValueType(from->DataType()))) {
        continue;
      }
      pairs.push_back({f.get(), from, f->DataType() == ftWideString || from->DataType() == ftWideString});
    }
    if (fromFirst) source.First();
    while (!source.Eof()) {
      if (rowLimit >= 0 && store_->Count() >= rowLimit) break;
      Append();
      for (const Pair& p : pairs) {
        // Wide texts through their text and 64-bit integers through their
        // value (a null arrives as "" or 0); the rest keeps null as null.
        if (p.wide) {
          auto* to = dynamic_cast<TWideStringField*>(p.to);
          auto* from = dynamic_cast<const TWideStringField*>(p.from);
          if (to != nullptr && from != nullptr) {
            to->SetAsWideString(from->AsWideString());
          } else {
            p.to->SetAsString(p.from->AsString());
          }
        } else if (p.from->DataType() == ftLargeint) {
          p.to->SetAsLargeInt(p.from->AsLargeInt());
        } else {
          p.to->Assign(*p.from);
        }
      }
      Post();
      if (keepBookmarks) {
        const TBookmark bookmark = source.Bookmark();
        if (bookmark.size() >= 4) {
          GiveRecordID(*store_->Items(store_->Count() - 1), LoadI32LE(bookmark.data()));
        }
      }
      source.Next();
    }
  } catch (...) {
    error = std::current_exception();
    if (State() == dsInsert || State() == dsEdit) {
      try {
        Cancel();
      } catch (...) {
      }
    }
  }
  ClosingSteps steps;
  steps.Run([&] { First(); });
  steps.Run([&] { EndBulk(); });
  steps.Run([&] {
    if (!mark.empty() && source.BookmarkValid(mark)) source.GotoBookmark(mark);
  });
  source.EnableControls();
  if (error) std::rethrow_exception(error);
  steps.Finish();
}

}  // namespace rda
