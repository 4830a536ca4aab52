// Applying a client dataset's change log on the server.
//
//   mode 0, 1 (and above 3)  the statement list (token 29), mode 0 without its
//                            transaction lines; an error runs the post-error step:
//                            without OnPostError every change is undone
//                            (CancelUpdates) and EDatabaseError raised with the
//                            server's text; with it the handler decides (daFail
//                            and daAbort revert the current row, daRetry keeps
//                            it) and nothing is raised
//   mode 2                   one transaction (token 31); an error raises
//                            EDatabaseError "[RDA] Transaction Failed! " CR + text
//                            and the log stays as it was
//   mode 3                   a transaction that commits what succeeds: the rows
//                            that went in leave the log, the failed ones stay and
//                            their messages are raised together
//
// The log is emptied only after the server said the changes are in. A connection
// that drops while the reply is awaited raises the connection's error and leaves
// the log alone; after reconnecting the data tells whether the transaction went in
// (it is all there or not at all).
//
// A conflict (the server found no row for an UPDATE or DELETE: another user
// changed or deleted it since it was read) fails the apply like any error, and the
// rows concerned are looked up again: Conflicts() and the ERdaUpdateConflict handed
// to OnPostError (or raised) carry, per row, the values the client started from,
// the values it wants and the values the server holds now.
#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "base/Text.h"
#include "base/ScopeGuard.h"
#include "memdata/ValueGuard.h"
#include "memdata/RdaParamBridge.h"
#include "messaging/RdaStringLine.h"
#include "remotedata/RdaClientDataset.h"
#include "remotedata/RdaUpdateSql.h"

namespace rda {
namespace {

constexpr char kNoConnection[] = "No RdaclientSocket or it is not connected!";
constexpr char kNotUsable[] = "No Socket! or Socket Not Active";
constexpr char kServerError[] = "[RDA SERVER ERROR]";

bool UsableConnection(const TRdaClientSocket* c) {
  return c != nullptr &&
         (c->Active() || c->ClientType() == ctBlocking || (c->TransportMode() != 0 && !c->DirectTcp()));
}

bool Editing(const TDataSet& ds) { return ds.State() == dsEdit || ds.State() == dsInsert; }

// Sends a request that waits for its reply; returns the server's error text.
std::string ApplyExchange(TRdaClientSocket& c, TRdaStringLine& line) {
  c.SetReplyIsError(false);
  c.SetCallerTakesErrors(true);
  if (c.ClientType() == ctBlocking) {
    c.SendMessage(line, false);
    std::string reply = c.BlockingExchange(c.BlockingTimeout());
    const bool failed = c.ReplyIsError();
    c.SetReplyIsError(false);
    if (!failed) return {};
    return kServerError + reply;
  }
  c.SendMessage(line, true);
  const bool failed = c.ReplyIsError();
  std::string error = c.TakeServerError();
  // A refusal whose text the connection did not keep is still a refusal.
  if (failed && error.empty()) error = std::string(kServerError) + "the server refused the changes";
  return error;
}

bool SameValue(const Variant& a, const Variant& b) {
  if (a.IsNull() || b.IsNull()) return a.IsNull() == b.IsNull();
  return a.ToString() == b.ToString();
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Triggers

void TRdaUpdateClientDataSet::DoAfterPost() {
  TRdaBaseClientDataSet::DoAfterPost();
  // Undoing and other internal writes are not the user's posts.
  if (applying_ == 0 && internalOperation_ == 0 && UpdateMethod() == umAfterPost && !IsLoadingOrDesigning()) {
    SetInsertedBookMark();
    ApplyUpdates(0);
  }
  BroadcastsAfterEdit();
}

void TRdaUpdateClientDataSet::DoAfterDelete() {
  TRdaBaseClientDataSet::DoAfterDelete();
  if (applying_ > 0 || internalOperation_ > 0 || UpdateMethod() != umAfterPost || IsLoadingOrDesigning()) return;
  ApplyUpdates(0);
}

// ---------------------------------------------------------------------------------------
// ApplyUpdates

void TRdaUpdateClientDataSet::ApplyUpdates(int mode, std::string& error) {
  error.clear();
  ValueGuard<int> busy(applying_, applying_ + 1);
  // No scroll events while the log is walked (also on failure).
  ValueGuard<TDataSetNotifyEvent> beforeScroll(BeforeScroll, nullptr);
  ValueGuard<TDataSetNotifyEvent> afterScroll(AfterScroll, nullptr);
  if (!HasPendingChange()) return;
  if (Editing(*this)) Post();
  if (!UsableConnection(RdaClientSocket())) throw EDatabaseError(kNoConnection);
  TRdaClientSocket& connection = *GetConnection();
  conflicts_.clear();
  const std::string name = connection.Address() + " Transaction";
  if (SQLGenerateLocation() == gsServer && (mode == 2 || mode == 3)) {
    // The server writes the SQL from the log (the provider's tokens 36 and 45).
    ApplyProviderUpdates(mode);
    return;
  }
  if (mode == 2) {
    error = ApplyDataSetsInTransaction(connection, name, {this}, false);
    if (error.empty()) return;
    const std::string text = "[RDA] Transaction Failed! \r" + error;
    if (!conflicts_.empty()) throw ERdaUpdateConflict(text, conflicts_);
    throw EDatabaseError(text);
  }
  if (mode == 3) {
    ApplyPartialSuccess(connection, name + '\x02', error);
    return;
  }
  ApplyStatementList(connection, mode, error);
}

void TRdaUpdateClientDataSet::ApplyStatementList(TRdaClientSocket& connection, int mode, std::string& error) {
  // A filtered dataset shows every row meanwhile and stands on the row just
  // logged, so that the post-error step reverts that row even when the filter
  // hides it; the filter and the former row come back afterwards.
  const bool filtered = Filtered();
  const TBookmark former = IsEmpty() ? TBookmark() : Bookmark();
  TScopeGuard refilter([&] {
    if (!filtered || !Active()) return;
    SetFiltered(true);
    if (!former.empty() && BookmarkValid(former)) GotoBookmark(former);
  });
  if (filtered) {
    SetFiltered(false);
    GotoLoggedRow();
  }
  std::unique_ptr<TRdaParamList> params;
  std::vector<std::string> lines = GeneratedSQL(&params);
  if (mode == 0 && lines.size() >= 2) {
    lines.pop_back();
    lines.erase(lines.begin());
  }
  const size_t frame = mode == 0 ? 0 : 1;
  const bool statements =
      lines.size() > 2 * frame &&
      std::any_of(lines.begin() + static_cast<std::ptrdiff_t>(frame), lines.end() - static_cast<std::ptrdiff_t>(frame),
                  [](const std::string& l) { return !TrimBlanks(l).empty(); });
  if (statements) {
    std::string text;
    for (const std::string& l : lines) text += l + "\r\n";
    TRdaStringLine line;
    line.SetToken(tkExecuteSql);
    line.SetMsgId(connection.ComponentId(this));
    line.AddField(text);
    line.AddField(params && params->Count() > 0 ? params->ToText(false) : std::string());
    line.AddField(GetDataBase());
    line.AddField(RefetchDescriptor(false));
    params.reset();
    rowsAffected_ = 0;
    error = ApplyExchange(connection, line);
  }
  if (!error.empty()) {
    PostErrorStep(error);
    return;
  }
  ClearLog();
}

void TRdaUpdateClientDataSet::PostErrorStep(const std::string& error) {
  if (error.find(kUpdateConflictText) != std::string::npos) conflicts_ = FindConflicts();
  if (!OnPostError) {
    CancelUpdates();
    ClearLog();
    if (!conflicts_.empty()) throw ERdaUpdateConflict(error, conflicts_);
    throw EDatabaseError(error);
  }
  const TBookmark before = IsEmpty() ? TBookmark() : Bookmark();
  TDataAction action = daFail;
  try {
    if (conflicts_.empty()) {
      EDatabaseError e(error);
      OnPostError(*this, e, action);
    } else {
      ERdaUpdateConflict e(error, conflicts_);
      OnPostError(*this, e, action);
    }
  } catch (...) {
    // The handler's decision so far stands.
  }
  if (action == daRetry) {
    if (!before.empty() && BookmarkValid(before)) GotoBookmark(before);
  } else {
    RevertRecord();
  }
}

void TRdaUpdateClientDataSet::ApplyPartialSuccess(TRdaClientSocket& connection, const std::string& name,
                                                  std::string& error) {
  error = ApplyDataSetsInTransaction(connection, name, {this}, false);
  if (error.empty()) return;
  const size_t at = error.find(kServerError);
  const std::string rest = at == std::string::npos ? error : error.substr(at + std::strlen(kServerError));
  if (rest.empty() || rest[0] != '\x04') throw EDatabaseError(kServerError + rest);
  const std::unique_ptr<TRdaParamList> failed = TRdaParamList::FromText(std::string_view(rest).substr(1));
  std::unordered_set<int32_t> kept;
  std::string messages;
  for (int i = 0; i < failed->Count(); ++i) {
    kept.insert(failed->Items(i).AsInteger());
    std::string message = failed->Items(i).Name();
    while (!message.empty() && message.back() == ' ') message.pop_back();
    messages += message + "\r";
  }
  ClearLogEntries([&kept](int32_t bookmark) { return !kept.contains(bookmark); });
  if (!kept.empty()) throw EDatabaseError(messages);
}

std::string ApplyDataSetsInTransaction(TRdaClientSocket& connection, const std::string& name,
                                       const std::vector<TRdaUpdateClientDataSet*>& datasets, bool raiseErrors) {
  for (TRdaUpdateClientDataSet* ds : datasets) {
    if (Editing(*ds)) ds->Post();
  }
  if (!UsableConnection(&connection)) throw EDatabaseError(kNotUsable);
  if (datasets.empty()) return {};
  // The commit-what-succeeds form needs every row's RecordID back with its failure.
  const bool partial = !name.empty() && name.back() == '\x02';
  TRdaParamList statements;
  TRdaParamList readBacks;
  for (TRdaUpdateClientDataSet* ds : datasets) {
    ds->conflicts_.clear();
    const std::unique_ptr<TRdaParamList> own = ds->GeneratedStatementParams();
    own->CopyTo(statements, false);
    readBacks.CreateParam(ftString, std::to_string(connection.ComponentId(ds)) + "." + std::to_string(own->Count()),
                          ptInput)
        .SetAsString(ds->RefetchDescriptor(partial));
  }
  std::string error;
  if (statements.Count() > 0) {
    TRdaStringLine line;
    line.SetToken(tkTransaction);
    line.SetMsgId(connection.ComponentId(datasets.front()));
    line.AddField(name);
    line.AddField(statements.ToText(true));
    line.AddField(datasets.back()->GetDataBase());
    line.AddField(readBacks.ToText(true));
    for (TRdaUpdateClientDataSet* ds : datasets) ds->rowsAffected_ = 0;
    error = ApplyExchange(connection, line);
  }
  if (error.empty()) {
    if (connection.Active() || connection.ClientType() == ctBlocking) {
      for (TRdaUpdateClientDataSet* ds : datasets) ds->ClearLog();
    }
    return error;
  }
  if (error.find(kUpdateConflictText) != std::string::npos) {
    for (TRdaUpdateClientDataSet* ds : datasets) ds->conflicts_ = ds->FindConflicts();
  }
  if (raiseErrors) throw Exception(error);
  return error;
}

// ---------------------------------------------------------------------------------------
// Conflicts

std::vector<TRdaUpdateConflict> TRdaUpdateClientDataSet::FindConflicts() {
  std::vector<TRdaUpdateConflict> conflicts;
  TRdaDataSet* log = ChangeLog();
  if (!log || log->RecordCount() == 0 || PrimeFields().empty() || UpdateTableName().empty() ||
      !UsableConnection(RdaClientSocket()))
    return conflicts;
  // The server's row now, found by the key the client read.
  TRdaClientDataSet probe;
  probe.SetRdaClientSocket(RdaClientSocket());
  probe.SetDataBase(GetDataBase());
  std::string sql = "SELECT * FROM " + UpdateTableName() + " WHERE ";
  for (size_t i = 0; i < PrimeFields().size(); ++i)
    sql += (i > 0 ? " AND " : "") + PrimeFields()[i] + " = :RdaKey" + std::to_string(i);
  probe.SetSQLText(sql);

  DisableControls();
  const TBookmark here = IsEmpty() ? TBookmark() : Bookmark();
  TScopeGuard restore([&] {
    if (!here.empty() && BookmarkValid(here)) GotoBookmark(here);
    EnableControls();
  });
  const TField& delta = log->FieldByName("Delta");
  const TField& bookmark = log->FieldByName("BookMark");
  for (log->First(); !log->Eof(); log->Next()) {
    const int32_t kind = delta.AsInteger();
    if (kind != ldModified && kind != ldDeleted) continue;
    for (size_t i = 0; i < PrimeFields().size(); ++i)
      AssignFromField(probe.Params().ParamByName("RdaKey" + std::to_string(i)), log->FieldByName(PrimeFields()[i]));
    probe.Close();
    probe.Open();
    const bool exists = !probe.IsEmpty();
    const bool hasRow = kind == ldModified && BookmarkValid(BookmarkOfRecordID(bookmark.AsInteger()));
    if (hasRow) GotoBookmark(BookmarkOfRecordID(bookmark.AsInteger()));
    TRdaUpdateConflict c;
    c.RecordID = bookmark.AsInteger();
    c.Delta = kind;
    bool differs = !exists;
    for (const auto& field : Fields()) {
      const TField* old = log->FindField(field->FieldName());
      if (!old || field->FieldKind() != fkData) continue;
      c.Fields.push_back(field->FieldName());
      c.Original.push_back(old->Value());
      if (hasRow) c.Local.push_back(field->Value());
      const TField* now = exists ? probe.FindField(field->FieldName()) : nullptr;
      if (exists) c.Server.push_back(now ? now->Value() : Variant::Null());
      // The fields the statement compared: every one under upWhereAll, the keys
      // and the changed ones under upWhereChanged, the keys under upWhereKeyOnly.
      const bool key = std::any_of(PrimeFields().begin(), PrimeFields().end(),
                                   [&](const std::string& k) { return SameTextAscii(k, field->FieldName()); });
      const bool compared = UpdateMode() == upWhereAll || key ||
                            (UpdateMode() == upWhereChanged &&
                             (kind == ldDeleted || (hasRow && !SameValue(field->Value(), old->Value()))));
      if (exists && now && compared && !SameValue(now->Value(), old->Value())) differs = true;
    }
    if (differs) conflicts.push_back(std::move(c));
  }
  return conflicts;
}

// ---------------------------------------------------------------------------------------
// The log in saved streams

namespace {
bool CarriesLog(TRdaUpdateClientDataSet& ds) {
  return ds.SuitCaseData().SaveCachedUpdates() && !ds.StreamOptions().Contains(ssCachedUpdates);
}
}  // namespace

void TRdaUpdateClientDataSet::SaveToStream(TMemoryStream& stream) {
  TRdaBaseClientDataSet::SaveToStream(stream);
  if (CarriesLog(*this) && Active()) SaveLogToStream(stream);
}

void TRdaUpdateClientDataSet::LoadFromStream(TMemoryStream& stream) {
  TRdaBaseClientDataSet::LoadFromStream(stream);
  if (CarriesLog(*this) && Active() && stream.Position() < stream.Size()) LoadLogFromStream(stream);
}

// ---------------------------------------------------------------------------------------
// Replies

void TRdaUpdateClientDataSet::ReceiveMessage(TRdaClientSocket& connection, const TRdaComponentMessage& message) {
  if (message.Token == tkRefetchedRows) {
    ApplyRefetchedRows(message.Fields[0]);
    return;
  }
  TRdaBaseClientDataSet::ReceiveMessage(connection, message);
}

void TRdaUpdateClientDataSet::ReceiveRowsAffected(TRdaClientSocket& /*connection*/, int rowsAffected) {
  rowsAffected_ = rowsAffected;
}

void TRdaUpdateClientDataSet::ApplyRefetchedRows(const std::string& text) {
  if (!Active() || text.empty()) return;
  const std::unique_ptr<TRdaParamList> pairs = TRdaParamList::FromText(text);
  std::vector<std::string> bookmarks;
  {
    std::lock_guard<std::recursive_mutex> lock(LogLock());
    // The values come from the server: not logged, not sent again, not checked.
    ValueGuard<int> busy(applying_, applying_ + 1);
    const TRdaUpdateMethod method = UpdateMethod();
    SetUpdateMethodValue(umManual);
    const bool readOnly = ReadOnly();
    SetReadOnly(false);
    const bool filtered = Filtered();
    DisableControls();
    ValueGuard<TDataSetNotifyEvent> beforeEdit(BeforeEdit, nullptr);
    ValueGuard<TDataSetNotifyEvent> afterEdit(AfterEdit, nullptr);
    ValueGuard<TDataSetNotifyEvent> beforePost(BeforePost, nullptr);
    ValueGuard<TDataSetNotifyEvent> afterPost(AfterPost, nullptr);
    if (filtered) SetFiltered(false);
    const TBookmark here = IsEmpty() ? TBookmark() : Bookmark();
    TScopeGuard restore([&] {
      if (Editing(*this)) Cancel();
      if (filtered) SetFiltered(true);
      if (!here.empty() && BookmarkValid(here)) GotoBookmark(here);
      SetReadOnly(readOnly);
      SetUpdateMethodValue(method);
      EnableControls();
    });
    for (int i = 0; i + 1 < pairs->Count(); i += 2) {
      const std::unique_ptr<TRdaDataSet> row = AsDataSet(pairs->Items(i));
      const int32_t id = pairs->Items(i + 1).AsInteger();
      const TBookmark target = BookmarkOfRecordID(id);
      if (!row || row->IsEmpty() || !BookmarkValid(target)) continue;
      GotoBookmark(target);
      Edit();
      std::vector<std::string> names;
      if (SQLGenerateLocation() == gsServer) {
        for (const auto& f : row->Fields()) names.push_back(f->FieldName());
      } else {
        for (const std::string& n : RefetchOnInsert()) names.emplace_back(TrimBlanks(n));
      }
      for (const std::string& n : names) {
        TField* into = FindField(n);
        const TField* source = row->FindField(n);
        if (into && source) into->SetValue(source->Value());
      }
      Post();
      bookmarks.push_back(target);
    }
  }
  if (AfterRefetchOnInsert && !bookmarks.empty()) AfterRefetchOnInsert(*this, bookmarks);
}

}  // namespace rda
