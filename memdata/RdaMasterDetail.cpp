// Master/detail: TRdaDataLink and the detail side of TRdaCustomDataSet.
//
// A detail dataset shows the rows whose DetailFilter fields hold, as text and
// without regard to letter case, the values of the master's MasterFields in
// the master's current record; new rows start with those values. The link
// reacts to the master (RdaCustomDataSet.h).
#include <string>

#include "base/CodePage.h"
#include "base/Text.h"
#include "memdata/RdaCustomDataSet.h"
#include "memdata/store/RdaStoredValue.h"

namespace rda {

namespace {

constexpr const char* kCircularReference = "Circular Reference to DataSource";

}  // namespace

// ---------------------------------------------------------------------------
// TRdaDataLink

void TRdaDataLink::SetMasterFields(std::string names) {
  masterFields_ = std::move(names);
  ReadFields();
}

void TRdaDataLink::ReadFields() {
  fields_.clear();
  TDataSet* master = DataSet();
  if (master && master->Active()) {
    for (const std::string& name : TRdaCustomDataSet::SplitFieldNames(masterFields_)) {
      fields_.push_back(master->FindField(name));
    }
  }
  detail_.DetailFieldsChanged();
}

bool TRdaDataLink::Follows() const {
  return (detail_.Active() || detail_.FollowsMasterWhileClosed()) && !detail_.IsLoadingOrDesigning();
}

void TRdaDataLink::ActiveChanged() {
  ReadFields();
  if (Follows()) detail_.MasterChanged();
}

void TRdaDataLink::LayoutChanged() {
  ReadFields();
  if (Follows()) detail_.MasterChanged();
}

// Only a change of the whole record (a move, a post, a refresh) reaches the
// detail; the master's field edits wait for its post.
void TRdaDataLink::RecordChanged(TField* field) {
  if (!field && Follows()) detail_.MasterChanged();
}

void TRdaDataLink::CheckBrowseMode() {
  if (detail_.Active()) detail_.CheckBrowseMode();
}

// ---------------------------------------------------------------------------
// The detail side

void TRdaCustomDataSet::SetMasterSource(TDataSource* source) {
  // Walk up the chain of masters: meeting this dataset would make a loop.
  for (TDataSource* s = source; s && s->DataSet();) {
    TDataSet* master = s->DataSet();
    if (master == this) DatabaseError(kCircularReference, this);
    auto* custom = dynamic_cast<TRdaCustomDataSet*>(master);
    s = custom ? custom->MasterSource() : nullptr;
  }
  masterLink_.SetDataSource(source);
  DetailFieldsChanged();
}

void TRdaCustomDataSet::SetDetailFilter(std::string names) {
  detailFilter_ = std::move(names);
  DetailFieldsChanged();
}

bool TRdaCustomDataSet::DetailFilterActive() const {
  return detailFilterSuspended_ == 0 && masterLink_.DataSet() != nullptr &&
         !masterLink_.MasterFields().empty() && !detailFilter_.empty();
}

const std::vector<std::pair<TField*, TField*>>& TRdaCustomDataSet::DetailPairs() {
  if (detailPairsValid_) return detailPairs_;
  detailPairs_.clear();
  const std::vector<TField*>& masters = masterLink_.Fields();
  const std::vector<std::string> names = SplitFieldNames(detailFilter_);
  for (size_t i = 0; i < masters.size() && i < names.size(); ++i) {
    TField* mine = FindField(names[i]);
    if (mine && masters[i]) detailPairs_.emplace_back(mine, masters[i]);
  }
  detailPairsValid_ = true;
  return detailPairs_;
}

bool TRdaCustomDataSet::DetailRowMatches() {
  for (const auto& [mine, master] : DetailPairs()) {
    if (!SameTextCp1252(mine->AsString(), master->AsString())) return false;
  }
  return true;
}

void TRdaCustomDataSet::CopyMasterFields() {
  if (!masterLink_.DataSet() || masterLink_.MasterFields().empty()) return;
  for (const auto& [mine, master] : DetailPairs()) {
    if (master->IsNull()) {
      mine->Clear();
    } else if (master->DataType() == ftLargeint) {
      mine->SetAsLargeInt(master->AsLargeInt());
    } else {
      mine->SetValue(master->Value());
    }
  }
}

// The selected index when it orders the rows by the first detail field in a
// way that keeps the rows matching one master value together: a number, or
// a text sorted without regard to case (ASCII case folding: so only for a
// master text of ASCII letters, whose matches are its case variants); an
// empty master value matches null and empty rows, which need not stand
// together. nullptr when the index cannot tell; else masterText holds the
// master's value as text.
const TRdaIndex* TRdaCustomDataSet::DetailOrderIndex(std::string& masterText) {
  const TRdaIndex* index = Indexes().Selected();
  const std::vector<std::pair<TField*, TField*>>& pairs = DetailPairs();
  if (!index || pairs.empty()) return nullptr;
  const std::vector<TField*>& keys = SelectedIndexFields();
  TField* mine = pairs.front().first;
  const auto type = static_cast<uint8_t>(mine->DataType());
  const bool grouped = IsRdaIntegerFieldType(type) ||
                       (IsRdaTextFieldType(type) && index->Options().Contains(ioCaseInsensitive));
  if (keys.empty() || keys.front() != mine || !grouped || mine->InCalcArea()) return nullptr;
  masterText = pairs.front().second->AsString();
  if (masterText.empty() || HasHighBytes(masterText)) return nullptr;
  return index;
}

// With an ordering index, the detail's first row is found by a search: the
// view position where the master's value starts; -1 when the index cannot
// tell. The master's value is kept (detailKey_) for GetRecord, which stops
// at the end of the master's rows instead of testing every row after them.
int TRdaCustomDataSet::DetailStartByIndex() {
  detailKeyIndex_ = nullptr;
  std::string text;
  const TRdaIndex* index = DetailOrderIndex(text);
  if (!index) return -1;
  const std::pair<TField*, TField*>& pair = DetailPairs().front();
  FillScratchRow({pair.first}, {pair.second->Value()});
  if (!detailKey_) detailKey_ = store_->NewScratchRow();
  detailKey_->SetImage(std::string_view(scratchRow_->Data(), static_cast<size_t>(store_->RecordSize())));
  detailKeyText_ = std::move(text);
  detailKeyIndex_ = index;
  if (Filtered()) return -1;
  bool exact = false;
  return SearchSelectedIndex(*scratchRow_, 1, true, exact);
}

// The ordering index whose detail key holds the master's current value, or
// nullptr.
const TRdaIndex* TRdaCustomDataSet::DetailOrder() {
  if (!detailKeyIndex_ || !DetailFilterActive()) return nullptr;
  std::string text;
  return DetailOrderIndex(text) == detailKeyIndex_ && text == detailKeyText_ ? detailKeyIndex_ : nullptr;
}

// Whether row stands past the master's rows in the direction of the move
// (gmNext: after them, gmPrior: before them).
bool TRdaCustomDataSet::PastDetailRows(const TRdaIndex& order, const TRdaDBListItem& row, TGetMode mode) {
  const int c = order.CompareRows(row, *detailKey_, IndexSearchFlags(order), 1);
  return mode == gmNext ? c > 0 : c < 0;
}

int TRdaCustomDataSet::DetailBound(const TRdaIndex& order, bool last) {
  if (!order.Built()) return -1;
  int position = -1;
  const bool exact = order.SearchIndex(*detailKey_, 1, IndexSearchFlags(order),
                                       smNearest | (last ? smLast : 0), position) == 0;
  if (position < 0) return -1;
  return last && exact ? position + 1 : position;
}

void TRdaCustomDataSet::InternalFirst() {
  cursor_ = -1;
  if (const TRdaIndex* order = DetailOrder()) {
    const int start = DetailBound(*order, false);
    if (start > 0) cursor_ = start - 1;
  }
}

void TRdaCustomDataSet::InternalLast() {
  cursor_ = ViewCount();
  if (const TRdaIndex* order = DetailOrder()) {
    const int end = DetailBound(*order, true);
    if (end >= 0 && end < cursor_) cursor_ = end;
  }
}

void TRdaCustomDataSet::MasterChanged() {
  if (DetailFilterActive()) {
    CheckBrowseMode();
    // Another master record: the detail's rows are others, shown from the
    // first (found through the index when it can tell where that is).
    int start = -1;
    try {
      start = DetailStartByIndex();
    } catch (const EDatabaseError&) {
      start = -1;  // a value the key cannot hold: the scan decides
    }
    SetCursor(start > 0 ? start : -1);
    AggregatesRecompute();
    // Read from the cursor just set, not from the row the dataset was on.
    InternalRefresh();
    Resync({});
    return;
  }
  Refresh();
}

}  // namespace rda
