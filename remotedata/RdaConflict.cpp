#include "remotedata/RdaConflict.h"

#include <cstring>

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

TRdaConflictList::~TRdaConflictList() {
  try {
    if (!bookmark_.empty() && dataset_.Active() && dataset_.BookmarkValid(bookmark_)) {
      dataset_.GotoBookmark(bookmark_);
    }
  } catch (const std::exception&) {
    // The row stays where the packing left it.
  }
  dataset_.EnableControls();
}

}  // namespace rda
