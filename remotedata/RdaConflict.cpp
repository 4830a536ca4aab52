#include "remotedata/RdaConflict.h"

#include <cstring>

#include "base/Convert.h"
#include "base/Text.h"
#include "remotedata/RdaClientDataset.h"

namespace rda {
namespace {

std::string JoinLines(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& l : lines) out += l + "\r\n";
  return out;
}

std::string RecordIDBookmark(int32_t id) {
  std::string b(4, '\0');
  const uint32_t u = static_cast<uint32_t>(id);
  for (int i = 0; i < 4; ++i) b[static_cast<size_t>(i)] = static_cast<char>((u >> (8 * i)) & 0xFF);
  return b;
}

}  // namespace

TRdaConflictList::TRdaConflictList(TRdaUpdateClientDataSet& dataset) : dataset_(dataset) {
  dataset_.DisableControls();
  if (dataset_.Active() && !dataset_.IsEmpty()) bookmark_ = dataset_.Bookmark();
  // A row the filter hides is still a changed row: without its current values
  // the server would skip it and the change would be lost with the log.
  filtered_ = dataset_.Filtered();
  if (filtered_) dataset_.SetFiltered(false);

  for (int i = 0; i < dataset_.FieldCount(); ++i) {
    const TField& f = dataset_.Fields()[i];
    if (f.ReadOnly() || f.FieldKind() != fkData) notWritten_.push_back(f.FieldName());
  }
  const std::string& autoInc = dataset_.AutoIncrementField();
  if (!autoInc.empty()) {
    bool listed = false;
    for (const std::string& n : notWritten_) listed = listed || SameTextAscii(n, autoInc);
    if (!listed) notWritten_.push_back(autoInc);
  }

  current_ = std::make_unique<TRdaDataSet>();
  current_->AddField("BookMark", ftInteger, 0);
  for (int i = 0; i < dataset_.FieldCount(); ++i) {
    const TField& f = dataset_.Fields()[i];
    if (f.FieldKind() == fkData) current_->AddField(f.FieldName(), f.DataType(), f.Size());
  }
  current_->Open();
  current_->FieldByName("BookMark").SetVisible(false);

  TRdaDataSet* log = dataset_.ChangeLog();
  log_ = log != nullptr ? TextToDataSet(log->DataSetToText()) : nullptr;
  if (!log_) {
    log_ = std::make_unique<TRdaDataSet>();
    log_->AddField("BookMark", ftInteger, 0);
    log_->AddField("Delta", ftInteger, 0);
    log_->Open();
  }
  for (log_->First(); !log_->Eof(); log_->Next()) {
    const int32_t id = log_->FieldByName("BookMark").AsInteger();
    const int32_t delta = log_->FieldByName("Delta").AsInteger();
    if (delta == ldDeleted) {
      current_->Append();
      current_->FieldByName("BookMark").SetAsInteger(0);
      current_->Post();
      ++entries_;
      continue;
    }
    const std::string mark = RecordIDBookmark(id);
    if (!dataset_.BookmarkValid(mark)) continue;  // the row is gone
    dataset_.GotoBookmark(mark);
    current_->Append();
    current_->FieldByName("BookMark").SetAsInteger(id);
    for (int i = 1; i < current_->FieldCount(); ++i) {
      TField& to = current_->Fields()[i];
      const TField& from = dataset_.FieldByName(to.FieldName());
      if (from.IsNull()) to.Clear();
      else to.SetValue(from.Value());
    }
    current_->Post();
    ++entries_;
  }

  BlankUnchangedBlobs();

  FastAdd(Variant(dataset_.UpdateTableName()));
  FastAdd(Variant(JoinLines(dataset_.PrimeFields())));
  FastAdd(Variant(static_cast<int32_t>(dataset_.SQLOptions().Bits() & 0xFFFF)));
  FastAdd(Variant(log_->DataSetToText()));
  FastAdd(Variant(current_->DataSetToText()));
  FastAdd(Variant(autoInc));
  FastAdd(Variant(JoinLines(dataset_.RefetchOnInsert())));
  FastAdd(Variant(int16_t{0})).SetAsSmallint(static_cast<int32_t>(dataset_.UpdateMode()));
  FastAdd(Variant(JoinLines(notWritten_)));
}

// An edited row's blobs that did not change need not travel twice: both sides
// go empty (the server writes only values that differ). Blobs and memos the
// dataset fetches (soFetchBlobs, soFetchMemos) are kept.
void TRdaConflictList::BlankUnchangedBlobs() {
  const TRdaSelectSQLOptionSet options = dataset_.SQLOptions();
  auto kept = [&](TFieldType type) {
    return ((type == ftBlob || type == ftOraBlob) && options.Contains(soFetchBlobs)) ||
           ((type == ftMemo || type == ftOraClob) && options.Contains(soFetchMemos));
  };
  for (log_->First(); !log_->Eof(); log_->Next()) {
    if (log_->FieldByName("Delta").AsInteger() != ldModified) continue;
    const Variant mark(log_->FieldByName("BookMark").AsInteger());
    if (!current_->Locate("BookMark", mark)) continue;
    std::vector<std::string> blank;
    for (int i = 1; i < current_->FieldCount(); ++i) {
      const TField& now = current_->Fields()[i];
      const TField* old = log_->FindField(now.FieldName());
      if (!now.IsBlob() || old == nullptr || kept(now.DataType())) continue;
      if (now.IsNull() == old->IsNull() && (now.IsNull() || now.AsString() == old->AsString())) {
        blank.push_back(now.FieldName());
      }
    }
    if (blank.empty()) continue;
    log_->Edit();
    current_->Edit();
    for (const std::string& name : blank) {
      log_->FieldByName(name).Clear();
      current_->FieldByName(name).Clear();
    }
    log_->Post();
    current_->Post();
  }
}

std::unique_ptr<TRdaDataSet> TRdaConflictList::ConflictRows(const TRdaParamList& details, int componentId) {
  const std::string prefix = "Conflict." + std::to_string(componentId) + ".";
  std::unique_ptr<TRdaDataSet> rows;
  for (int i = 0; i < details.Count(); ++i) {
    const TRdaParamItem& item = details.Items(i);
    if (!StartsTextAscii(item.Name(), prefix)) continue;
    const int32_t bookMark = StrToIntDef(item.Name().substr(prefix.size()), 0);
    std::unique_ptr<TRdaParamList> server = TRdaParamList::FromText(item.AsString());
    if (!rows) {
      rows = std::make_unique<TRdaDataSet>();
      rows->AddField("BookMark", ftInteger, 0);
      rows->AddField("Field", ftString, 64);
      rows->AddField("OriginalValue", ftMemo, 0);
      rows->AddField("LocalValue", ftMemo, 0);
      rows->AddField("ServerValue", ftMemo, 0);
      rows->AddField("Changed", ftBoolean, 0);
      rows->Open();
    }
    const bool logged = log_->Locate("BookMark", Variant(bookMark));
    const bool deleted = logged && log_->FieldByName("Delta").AsInteger() == ldDeleted;
    const bool present = !deleted && current_->Locate("BookMark", Variant(bookMark));
    for (int f = 1; f < current_->FieldCount(); ++f) {
      const std::string& name = current_->Fields()[f].FieldName();
      const TField* original = logged ? log_->FindField(name) : nullptr;
      const TField* local = present ? &current_->Fields()[f] : nullptr;
      const TRdaParamItem* now = server->FindParam(name);
      rows->Append();
      rows->FieldByName("BookMark").SetAsInteger(bookMark);
      rows->FieldByName("Field").SetAsString(name);
      if (original != nullptr && !original->IsNull()) rows->FieldByName("OriginalValue").SetAsString(original->AsString());
      if (local != nullptr && !local->IsNull()) rows->FieldByName("LocalValue").SetAsString(local->AsString());
      if (now != nullptr && !now->IsNull()) rows->FieldByName("ServerValue").SetAsString(now->AsString());
      const bool changed = local == nullptr || original == nullptr || original->IsNull() != local->IsNull() ||
                           original->AsString() != local->AsString();
      rows->FieldByName("Changed").SetAsBoolean(changed);
      rows->Post();
    }
  }
  return rows;
}

TRdaConflictList::~TRdaConflictList() {
  try {
    if (filtered_) dataset_.SetFiltered(true);
    if (!bookmark_.empty() && dataset_.Active() && dataset_.BookmarkValid(bookmark_)) {
      dataset_.GotoBookmark(bookmark_);
    }
  } catch (const std::exception&) {
    // The row stays where the packing left it.
  }
  dataset_.EnableControls();
}

}  // namespace rda
