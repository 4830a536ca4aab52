// Provider updates (the change log sent for the server to write) and provider
// broadcasts (the changes other clients made through the same provider, merged
// into this dataset's rows).
#include <algorithm>
#include <optional>

#include "base/Exception.h"
#include "base/ScopeGuard.h"
#include "base/Text.h"
#include "messaging/RdaStringLine.h"
#include "messaging/RdaWire.h"
#include "remotedata/RdaClientDataset.h"
#include "remotedata/RdaConflict.h"

namespace rda {
namespace {

constexpr int kLeadingBroadcastFields = 2;  // "RdaChange" and the sender's id

bool SameFieldValue(const TField& a, const TField& b) {
  if (a.IsNull() || b.IsNull()) return a.IsNull() == b.IsNull();
  return a.AsString() == b.AsString();
}

void CopyValue(const TField& from, TField& to) {
  const bool readOnly = to.ReadOnly();
  to.SetReadOnly(false);
  TScopeGuard back([&] { to.SetReadOnly(readOnly); });
  if (from.IsNull()) to.Clear();
  else to.SetValue(from.Value());
}

// Appends the current row of source to target (made with source's fields when
// missing).
void AppendCurrentRow(std::unique_ptr<TRdaDataSet>& target, TRdaDataSet& source) {
  if (!target) {
    target = std::make_unique<TRdaDataSet>();
    target->CopyStructure(source, true);
    target->Open();
  }
  target->Append();
  for (int i = 0; i < source.FieldCount() && i < target->FieldCount(); ++i) {
    CopyValue(source.Fields()[i], target->Fields()[i]);
  }
  target->Post();
}

}  // namespace

// ---- Settings ----------------------------------------------------------------------

void TProviderBroadCastOptions::SetRegisterForBroadCast(bool value) {
  if (registerForBroadCast_ == value) return;
  registerForBroadCast_ = value;
  if (owner_.IsLoadingOrDesigning() || !owner_.Active()) return;  // the open registers
  if (value && !owner_.BroadcastRegistered()) owner_.RegisterProviderBroadcast();
  if (!value && owner_.BroadcastRegistered()) owner_.UnregisterProviderBroadcast();
}

void TProviderBroadCastOptions::SetProviderFilter(std::string value) {
  if (providerFilter_ == value) return;
  providerFilter_ = std::move(value);
  if (owner_.IsLoadingOrDesigning() || !owner_.BroadcastRegistered()) return;
  owner_.UnregisterProviderBroadcast();
  owner_.RegisterProviderBroadcast();
}

void TProviderBroadCastOptions::SetBroadCastAction(TBroadcastAction value) {
  const TBroadcastAction was = broadCastAction_;
  broadCastAction_ = value;
  if (was == baCache && value == baAuto) owner_.ApplyCachedBroadcasts();
}

// ---- The dataset -------------------------------------------------------------------

TRdaUpdateClientDataSet::TRdaUpdateClientDataSet() : broadcast_(std::make_unique<TRdaBroadcastState>()) {}

TRdaUpdateClientDataSet::~TRdaUpdateClientDataSet() = default;

std::string TRdaUpdateClientDataSet::ProviderKey() const {
  if (ServerMethod().empty()) return ProviderName();
  return ProviderName() + '\x02' + ServerMethod();
}

void TRdaUpdateClientDataSet::RegisterProviderBroadcast() {
  TRdaClientSocket* connection = RdaClientSocket();
  if (!Usable(connection)) throw EDatabaseError("No Socket! or Socket Not Active");
  const std::string key = ProviderKey();
  if (TrimBlanks(key).empty()) throw Exception("Provider required!");
  TRdaStringLine line;
  line.SetToken(tkProviderBroadcast);
  line.SetMsgId(connection->ComponentId(this));
  line.AddField(int32_t{1});
  line.AddField(int32_t{0});
  line.AddField(key);
  line.AddField(broadcastOptions_.ProviderFilter());
  connection->SendMessage(line, false);
  broadcast_->registered = true;
}

void TRdaUpdateClientDataSet::UnregisterProviderBroadcast() {
  TRdaClientSocket* connection = RdaClientSocket();
  if (Usable(connection)) {
    TRdaStringLine line;
    line.SetToken(tkProviderBroadcast);
    line.SetMsgId(connection->ComponentId(this));
    line.AddField(int32_t{0});
    line.AddField(int32_t{0});
    line.AddField(ProviderKey());
    line.AddField(std::string());
    connection->SendMessage(line, false);
  }
  broadcast_->registered = false;
}

void TRdaUpdateClientDataSet::Reconnected(TRdaClientSocket& connection) {
  if (!broadcast_->registered || !Active() || &connection != RdaClientSocket()) return;
  try {
    RegisterProviderBroadcast();
  } catch (const std::exception&) {
    broadcast_->registered = false;  // the next open registers
  }
}

int TRdaUpdateClientDataSet::CachedBroadcastRows() const {
  int n = 0;
  if (broadcast_->cache) n += broadcast_->cache->RecordCount();
  if (broadcast_->editRowCache) n += broadcast_->editRowCache->RecordCount();
  return n;
}

void TRdaUpdateClientDataSet::AfterPopulate() {
  TRdaBaseClientDataSet::AfterPopulate();
  if (!ProviderName().empty() && broadcastOptions_.RegisterForBroadCast() && !broadcast_->registered &&
      !IsLoadingOrDesigning()) {
    RegisterProviderBroadcast();
  }
  ApplyCachedBroadcasts();
  if (broadcastOptions_.RetrievePrimeKeyFields() && PrimeFields().empty()) RetrievePrimeKeyFields();
}

void TRdaUpdateClientDataSet::InternalClose() {
  if (broadcast_->registered) {
    try {
      UnregisterProviderBroadcast();
    } catch (const std::exception&) {
      // A close always completes; the server forgets the registration with
      // the connection anyway.
    }
    broadcast_->registered = false;
  }
  TRdaBaseClientDataSet::InternalClose();
}

// After a post (DoAfterPost, RdaApplyUpdates.cpp) or a cancel.
void TRdaUpdateClientDataSet::BroadcastsAfterEdit() {
  if (broadcast_->applying > 0 || broadcastOptions_.BroadCastAction() == baCache) return;
  ApplyCachedBroadcasts();
}

void TRdaUpdateClientDataSet::DoAfterCancel() {
  TRdaBaseClientDataSet::DoAfterCancel();
  BroadcastsAfterEdit();
}

// The edit is over (posted or cancelled): the edit row's broadcasts apply
// first, like any other (merged with what the user changed when the row is
// still logged), then the rest in arrival order.
void TRdaUpdateClientDataSet::ApplyCachedBroadcasts() {
  std::lock_guard<std::recursive_mutex> lock(broadcast_->lock);
  if (!Active() || State() != dsBrowse) return;
  if (broadcast_->editRowCache) {
    std::unique_ptr<TRdaDataSet> rows = std::move(broadcast_->editRowCache);
    if (broadcast_->cache) rows->AppendFrom(*broadcast_->cache);
    broadcast_->cache = std::move(rows);
  }
  if (!broadcast_->cache) return;
  std::shared_ptr<TRdaDataSet> rows(std::move(broadcast_->cache));
  ApplyBroadcast(std::move(rows));
}

// ---- Receiving ---------------------------------------------------------------------

void TRdaUpdateClientDataSet::ReceiveProviderBroadcast(const std::string& text) {
  if (!Active()) return;
  std::unique_ptr<TRdaDataSet> d = TextToDataSet(text);
  if (!d || d->FieldCount() < kLeadingBroadcastFields || !d->FindField("RdaChange")) {
    throw ERdaProtocolError("A provider broadcast that is not a broadcast dataset");
  }
  HandleBroadcast(std::move(d));
}

void TRdaUpdateClientDataSet::HandleBroadcast(std::unique_ptr<TRdaDataSet> d) {
  switch (broadcastOptions_.BroadCastAction()) {
    case baIgnore:
      return;
    case baCache:
      CacheBroadcast(std::move(d));
      return;
    case baAuto:
      // Moving through the rows would post the user's unfinished edit, so a
      // broadcast that comes while the dataset is not browsing waits for the
      // post or cancel, and so does one that comes while rows still load.
      if (State() != dsBrowse || OpenInProgress() || AwaitingStreamedResult()) {
        CacheBroadcast(std::move(d));
      } else {
        ApplyBroadcast(std::shared_ptr<TRdaDataSet>(std::move(d)));
      }
      return;
  }
}

void TRdaUpdateClientDataSet::CacheBroadcast(std::unique_ptr<TRdaDataSet> d) {
  std::lock_guard<std::recursive_mutex> lock(broadcast_->lock);
  if (State() == dsEdit || State() == dsInsert) {
    for (d->First(); !d->Eof();) {
      if (!MatchesEditRow(*d)) {
        d->Next();
        continue;
      }
      if (broadcastOptions_.MergeEditRowBroadcasts()) {
        MergeIntoEditRow(*d);
      } else {
        AppendCurrentRow(broadcast_->editRowCache, *d);
      }
      d->Delete();
    }
  }
  if (d->IsEmpty()) return;
  if (!broadcast_->cache) {
    broadcast_->cache = std::move(d);
  } else {
    broadcast_->cache->AppendFrom(*d);
  }
}

// ---- Applying ----------------------------------------------------------------------

bool TRdaUpdateClientDataSet::LocateByPrimeFields(TRdaDataSet& d) {
  if (PrimeFields().empty()) return false;
  std::string names;
  TVariantArray values;
  for (const std::string& key : PrimeFields()) {
    const TField* f = d.FindField(key);
    if (f == nullptr) return false;
    names += (names.empty() ? "" : ";") + key;
    values.push_back(f->IsNull() ? Variant::Null() : f->Value());
  }
  return Locate(names, values, {});
}

bool TRdaUpdateClientDataSet::MatchesEditRow(TRdaDataSet& d) {
  if (PrimeFields().empty()) return false;
  for (const std::string& key : PrimeFields()) {
    const TField* from = d.FindField(key);
    const TField* here = FindField(key);
    if (from == nullptr || here == nullptr || !SameFieldValue(*from, *here)) return false;
  }
  return true;
}

// A broadcast for a row that has a log entry (a row changed here too). Each
// field the user did not change takes the server's value, in the row and as
// the value the change started from; a field the user changed keeps both, so
// that applying still compares with what the user started from and a change
// of the same field by both sides is reported as a conflict instead of being
// overwritten. onlyFields: just these (the merge of the edit row has decided).
void TRdaUpdateClientDataSet::MergeLoggedRow(TRdaDataSet& d, const std::vector<std::string>* onlyFields) {
  std::vector<std::pair<const TField*, std::pair<TField*, TField*>>> take;  // incoming, (row, logged)
  std::lock_guard<std::recursive_mutex> lock(LogLock());
  TRdaDataSet* log = ChangeLog();
  if (log == nullptr || !LocateLogEntry()) return;
  for (int i = kLeadingBroadcastFields; i < d.FieldCount(); ++i) {
    const TField& incoming = d.Fields()[i];
    if (onlyFields != nullptr &&
        std::none_of(onlyFields->begin(), onlyFields->end(),
                     [&](const std::string& n) { return SameTextAscii(n, incoming.FieldName()); })) {
      continue;
    }
    TField* here = FindField(incoming.FieldName());
    TField* old = log->FindField(incoming.FieldName());
    if (here == nullptr || old == nullptr || here->FieldKind() != fkData || old->Index() < LeadingLogFields()) continue;
    if (SameFieldValue(*old, incoming)) continue;
    if (onlyFields == nullptr && !SameFieldValue(*here, *old)) continue;  // changed here: left for applying
    take.push_back({&incoming, {here, old}});
  }
  if (take.empty()) return;
  log->Edit();
  for (auto& [incoming, to] : take) CopyValue(*incoming, *to.second);
  log->Post();
  if (onlyFields != nullptr) return;  // the edit row has its values already
  const bool started = State() == dsBrowse;
  if (started) Edit();
  for (auto& [incoming, to] : take) CopyValue(*incoming, *to.first);
  if (started) Post();
}

void TRdaUpdateClientDataSet::ApplyBroadcast(std::shared_ptr<TRdaDataSet> d) {
  DisableControls();
  BeforeBroadcast();
  const bool filtered = Filtered();
  const bool readOnly = ReadOnly();
  const TRdaUpdateMethod method = UpdateMethod();
  const std::string bookmark = IsEmpty() ? std::string() : Bookmark();
  SetFiltered(false);
  SetReadOnly(false);
  SetUpdateMethod(umManual);
  ++broadcast_->applying;
  TScopeGuard restore([&] {
    --broadcast_->applying;
    SetUpdateMethod(method);
    SetReadOnly(readOnly);
    try {
      if (!bookmark.empty() && BookmarkValid(bookmark)) GotoBookmark(bookmark);
      if (filtered) SetFiltered(true);
    } catch (const std::exception&) {
      // The row went with the broadcast; the cursor stays where it is.
    }
    AfterBroadcast();
    EnableControls();
  });
  if (OnProviderBroadCast) OnProviderBroadCast(*this, d);
  if (OnProviderBroadCast && !broadcastOptions_.AutoUpdate()) return;
  std::lock_guard<std::recursive_mutex> lock(broadcast_->lock);
  for (d->First(); !d->Eof(); d->Next()) ApplyBroadcastRow(*d);
}

void TRdaUpdateClientDataSet::ApplyBroadcastRow(TRdaDataSet& d) {
  const int change = d.FieldByName("RdaChange").AsInteger();
  const bool found = LocateByPrimeFields(d);
  // A row changed here too: merged field by field (MergeLoggedRow), or through
  // the change list with MergeEditRowBroadcasts.
  if (found && LocateLogEntry()) {
    if (broadcastOptions_.MergeEditRowBroadcasts()) MergeIntoEditRow(d);
    else MergeLoggedRow(d, nullptr);
    return;
  }
  bool handled = false;
  if (OnProviderBroadCastBeforeApplyRow) OnProviderBroadCastBeforeApplyRow(*this, d, handled);
  if (!handled) {
    auto copy = [&] {
      for (int i = kLeadingBroadcastFields; i < d.FieldCount(); ++i) {
        if (TField* to = FindField(d.Fields()[i].FieldName()); to != nullptr && to->FieldKind() == fkData) {
          CopyValue(d.Fields()[i], *to);
        }
      }
    };
    // A value the field refuses leaves no half-written row behind.
    auto write = [&] {
      try {
        copy();
        Post();
      } catch (...) {
        Cancel();
        throw;
      }
    };
    if (change == 1) {
      if (found) Delete();
    } else if (change == 2) {
      if (!found) {
        Append();
        write();
      }
    } else if (found) {
      Edit();
      write();
    }
  }
  if (OnProviderBroadCastAfterApplyRow) OnProviderBroadCastAfterApplyRow(*this, d);
}

void TRdaUpdateClientDataSet::MergeIntoEditRow(TRdaDataSet& d) {
  bool handled = false;
  if (OnProviderBroadCastBeforeApplyRow) OnProviderBroadCastBeforeApplyRow(*this, d, handled);
  if (handled) return;
  if (d.FieldByName("RdaChange").AsInteger() == 1) {
    if (OnProviderBroadCastDeleteEditRow) OnProviderBroadCastDeleteEditRow(*this, d, handled);
    if (handled) return;
    if (State() == dsEdit || State() == dsInsert) Cancel();
    if (!IsEmpty() && LocateByPrimeFields(d)) Delete();
    return;
  }
  auto changes = std::make_shared<TRdaDataSet>();
  changes->AddField("Field", ftBlob, 0);
  changes->AddField("OldValue", ftBlob, 0);
  changes->AddField("NewValue", ftBlob, 0);
  changes->AddField("EditChanged", ftBoolean, 0);
  changes->AddField("Apply", ftBoolean, 0);
  changes->Open();
  {
    std::lock_guard<std::recursive_mutex> lock(LogLock());
    TRdaDataSet* log = ChangeLog();
    const bool logged = log != nullptr && LocateLogEntry();
    for (int i = kLeadingBroadcastFields; i < d.FieldCount(); ++i) {
      const TField& incoming = d.Fields()[i];
      const TField* here = FindField(incoming.FieldName());
      const TField* old = logged ? log->FindField(incoming.FieldName()) : here;
      if (here == nullptr || old == nullptr || SameFieldValue(*old, incoming)) continue;
      changes->Append();
      changes->FieldByName("Field").SetAsString(incoming.FieldName());
      if (!old->IsNull()) changes->FieldByName("OldValue").SetAsString(old->AsString());
      if (!incoming.IsNull()) changes->FieldByName("NewValue").SetAsString(incoming.AsString());
      const bool editChanged = !SameFieldValue(*here, *old);
      changes->FieldByName("EditChanged").SetAsBoolean(editChanged);
      changes->FieldByName("Apply").SetAsBoolean(!editChanged);
      changes->Post();
    }
  }
  handled = false;
  if (OnProviderBroadCastEditRow) OnProviderBroadCastEditRow(*this, changes, handled);
  if (!handled) {
    std::vector<std::string> applied;
    const bool started = State() == dsBrowse;
    if (started) Edit();
    for (changes->First(); !changes->Eof(); changes->Next()) {
      if (!changes->FieldByName("Apply").AsBoolean()) continue;
      applied.push_back(changes->FieldByName("Field").AsString());
      TField& to = FieldByName(applied.back());
      const TField& value = changes->FieldByName("NewValue");
      if (value.IsNull()) to.Clear();
      else to.SetAsString(value.AsString());
    }
    if (started) Post();
    // The fields taken are the server's now, also as the values the change
    // started from.
    MergeLoggedRow(d, &applied);
  }
  if (OnProviderBroadCastAfterApplyRow) OnProviderBroadCastAfterApplyRow(*this, d);
}

// ---- Provider updates --------------------------------------------------------------

namespace {

// A server's error text split into what a person reads and the details for the
// client behind kErrorDetailMarker (null when there are none or they do not read).
struct ServerError {
  std::string text;
  std::unique_ptr<TRdaParamList> details;
};

ServerError SplitServerError(const std::string& error) {
  ServerError e;
  const size_t at = error.find(kErrorDetailMarker);
  e.text = error.substr(0, at);
  if (at == std::string::npos) return e;
  if (std::optional<std::string> bytes = FromHexDigits(std::string_view(error).substr(at + 1))) {
    try {
      e.details = TRdaParamList::FromText(*bytes);
    } catch (const std::exception&) {
      // The text alone tells what failed.
    }
  }
  return e;
}

std::string WithoutServerPrefix(const std::string& text) {
  static constexpr std::string_view kPrefix = "[RDA SERVER ERROR]";
  return text.rfind(kPrefix, 0) == 0 ? text.substr(kPrefix.size()) : text;
}

}  // namespace

void TRdaUpdateClientDataSet::ApplyProviderUpdates(int mode) {
  if (State() == dsEdit || State() == dsInsert) Post();
  if (!HasPendingChange()) return;
  TRdaClientSocket* connection = RdaClientSocket();
  if (!Usable(connection)) throw EDatabaseError("No RdaclientSocket or it is not connected!");
  if (mode == 3) {
    ApplyProvidersInTransaction(*connection, {this}, true);
    return;
  }
  const int id = connection->ComponentId(this);
  TRdaConflictList list(*this);
  TRdaStringLine line;
  line.SetToken(tkApplyUpdates);
  line.SetMsgId(id);
  line.AddField(ProviderKey());
  line.AddField(list.ToText(false));
  line.AddField(GetDataBase());
  line.AddField(RefetchDescriptor(false));
  line.AddField(int32_t{0});
  const std::string error = Exchange(*connection, line, true);
  if (!error.empty()) {
    ServerError e = SplitServerError(error);
    broadcast_->conflicts = e.details ? list.ConflictRows(*e.details, id) : nullptr;
    throw EDatabaseError("[RDA] Transaction Failed! \r" + e.text);
  }
  broadcast_->conflicts.reset();
  ClearLog();
}

void ApplyProvidersInTransaction(TRdaClientSocket& connection, const std::vector<TRdaUpdateClientDataSet*>& datasets,
                                 bool commitAnySuccess) {
  if (datasets.empty()) return;
  for (TRdaUpdateClientDataSet* ds : datasets) {
    if (ds->State() == dsEdit || ds->State() == dsInsert) ds->Post();
  }
  if (!TRdaUpdateClientDataSet::Usable(&connection)) throw EDatabaseError("No Socket! or Socket Not Active");
  TRdaParamList settings;
  settings.CreateParam(ftString, "ClientSocket", ptInput).SetAsString(connection.LoginParams().ToText(false));
  TRdaParamList packages;
  struct Sending {
    TRdaUpdateClientDataSet* ds;
    int id;
    std::unique_ptr<TRdaConflictList> list;
  };
  std::vector<Sending> sending;
  for (TRdaUpdateClientDataSet* ds : datasets) {
    const int id = connection.ComponentId(ds);
    // The flag travels with a copy: the dataset's own parameters stay as they are.
    std::unique_ptr<TRdaParamList> params = ds->Params().Clone();
    if (commitAnySuccess) params->FastAdd("~ProviderCommitAnySuccess", Variant(true));
    settings.CreateParam(ftString, std::to_string(id), ptInput).SetAsString(params->ToText(false));
    if (!ds->HasPendingChange()) continue;
    auto list = std::make_unique<TRdaConflictList>(*ds);
    if (!list->HasEntries()) continue;
    TRdaParamList package;
    package.CreateParam(ftString, std::to_string(id), ptInput).SetAsString(ds->GetDataBase());
    package.FastAdd(Variant(ds->ProviderKey()));
    package.FastAdd(Variant(list->ToText(false)));
    package.FastAdd(Variant(ds->RefetchDescriptor(false)));
    packages.FastAdd(Variant(package.ToText(false)));
    sending.push_back({ds, id, std::move(list)});
  }
  if (sending.empty()) return;
  TRdaStringLine line;
  line.SetToken(tkProviderTransaction);
  line.SetMsgId(connection.ComponentId(datasets.front()));
  line.AddField("Provider transaction" + std::string(1, '\x02') + settings.ToText(false));
  line.AddField(packages.ToText(true));
  const std::string error = datasets.front()->Exchange(connection, line, true);
  if (error.empty()) {
    if (!connection.Active() && connection.ClientType() != ctBlocking) return;  // no telling what happened
    for (Sending& s : sending) {
      s.ds->broadcast_->conflicts.reset();
      s.ds->ClearLog();
    }
    return;
  }
  ServerError e = SplitServerError(error);
  for (Sending& s : sending) {
    s.ds->broadcast_->conflicts = e.details ? s.list->ConflictRows(*e.details, s.id) : nullptr;
    const TRdaParamItem* failed = e.details ? e.details->FindParam("Failed." + std::to_string(s.id)) : nullptr;
    if (!commitAnySuccess || !e.details) continue;  // nothing was committed
    // The rows that went through leave the log; the failed ones stay.
    std::vector<int32_t> keep;
    if (failed != nullptr) {
      std::unique_ptr<TRdaParamList> rows = TRdaParamList::FromText(failed->AsString());
      for (int i = 0; i < rows->Count(); ++i) keep.push_back(rows->Items(i).AsInteger());
    }
    s.list.reset();  // the dataset back on its row before its log changes
    s.ds->ClearLogExcept(keep);
  }
  // Failed rows: their messages, each followed by CR; anything else as the
  // server said it.
  throw Exception(commitAnySuccess && e.details ? WithoutServerPrefix(e.text) : e.text);
}

}  // namespace rda
