// The client datasets: requests, replies, packets and close.
#include "remotedata/RdaClientDataset.h"

#include <algorithm>
#include <utility>

#include "base/Exception.h"
#include "base/ScopeGuard.h"
#include "base/Text.h"
#include "connection/RdaSmartWait.h"
#include "memdata/RdaComponentStream.h"
#include "memdata/ValueGuard.h"
#include "messaging/RdaStringLine.h"
#include "messaging/RdaWire.h"
#include "remotedata/RdaRowPacket.h"

namespace rda {

namespace {

constexpr char kNoConnection[] = "No RdaClientSocket Assigned.";
constexpr char kNotUsable[] = "No Socket! or Socket Not Active";

std::string JoinLines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

}  // namespace

std::string TSuitCaseData::LastUpdate() const {
  return lastUpdate_ == 0 ? std::string() : DateToStr(lastUpdate_);
}

// Hands the loader's rows to the dataset's row store.
class TRdaBaseClientDataSet::Loading final : public TRdaRowSink {
 public:
  explicit Loading(TRdaBaseClientDataSet& dataSet) : dataSet_(dataSet) {}
  TRdaDBListItem& NewRow() override { return dataSet_.AppendLoadedRow(); }
  void RowFilled(TRdaDBListItem& row) override { dataSet_.LoadedRowFilled(row); }

 private:
  TRdaBaseClientDataSet& dataSet_;
};

// ---------------------------------------------------------------------------------------
// Life

TRdaBaseClientDataSet::TRdaBaseClientDataSet() { SetUpdateMethodValue(umManual); }

TRdaBaseClientDataSet::~TRdaBaseClientDataSet() {
  // Our own close (the server's result, the private connection) must run while
  // this class still exists.
  CloseForDestruction();
  if (connection_ != nullptr) connection_->UnbindDataset(this);
}

TRdaClientDataSet::~TRdaClientDataSet() = default;

void TRdaBaseClientDataSet::SetRdaClientSocket(TRdaClientSocket* connection) {
  if (connection == connection_) return;
  if (connection_ != nullptr && deferredOpen_) connection_->UnbindDataset(this);
  deferredOpen_ = false;
  connection_ = connection;
}

void TRdaBaseClientDataSet::ConnectionDestroyed(TRdaClientSocket& connection) {
  if (&connection != connection_) return;  // the private copy, while it is freed
  connection_ = nullptr;
  deferredOpen_ = false;
  // The copy shows through the original's user interface: it goes with it.
  private_.reset();
}

bool TRdaBaseClientDataSet::TunnelsOverHttp(const TRdaClientSocket& connection) {
  return connection.TransportMode() != 0 && !connection.DirectTcp();
}

bool TRdaBaseClientDataSet::Usable(const TRdaClientSocket* connection) {
  return connection != nullptr && (connection->Active() || connection->ClientType() == ctBlocking ||
                                   TunnelsOverHttp(*connection));
}

TRdaClientSocket* TRdaBaseClientDataSet::GetConnection() {
  if (connection_ == nullptr || !TunnelsOverHttp(*connection_)) return connection_;
  if (!private_) {
    private_ = connection_->CloneConnection();
    private_->SetUserInterface(&connection_->UserInterface());
    privateName_ = Name() + "Socket";
  } else {
    connection_->CopyConnectionTo(*private_);
  }
  return private_.get();
}

TRdaClientSocket* TRdaBaseClientDataSet::CurrentConnection() const {
  return private_ ? private_.get() : connection_;
}

// ---------------------------------------------------------------------------------------
// SQL and parameters

void TRdaBaseClientDataSet::SetSQL(std::vector<std::string> lines) {
  metaDataRequest_ = mdNormalQuery;
  const std::string text = JoinLines(lines);
  if (!text.empty() && text == SQLText()) return;
  sql_ = std::move(lines);
  Close();
  tableName_.clear();
  SQLChanged();
}

void TRdaBaseClientDataSet::SetSQLText(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.emplace_back(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  SetSQL(std::move(lines));
}

std::string TRdaBaseClientDataSet::SQLText() const { return JoinLines(sql_); }

void TRdaBaseClientDataSet::AddSQL(std::string line) {
  sql_.push_back(std::move(line));
  SQLChanged();
}

void TRdaBaseClientDataSet::ClearSQL() {
  sql_.clear();
  SQLChanged();
}

void TRdaBaseClientDataSet::SQLChanged() {
  if (SQLText().find(':') == std::string::npos) {
    params_.Clear();
  } else {
    RebuildParams();
  }
}

void TRdaBaseClientDataSet::RebuildParams() {
  // A stored procedure's parameters come from the server.
  if (!storedProcedure_.empty()) return;
  const std::unique_ptr<TRdaParamList> old = params_.Clone();
  params_.ParamsFromSQL(sql_);
  for (int i = 0; i < old->Count(); ++i) {
    const TRdaParamItem& item = old->Items(i);
    if (TRdaParamItem* kept = params_.FindParam(item.Name())) kept->Assign(item);
  }
}

void TRdaBaseClientDataSet::SetParams(const TRdaParamList& params) { params.CopyTo(params_, true); }

void TRdaBaseClientDataSet::SetOrderBy(std::string_view value) { orderBy_ = TrimControls(value); }

void TRdaBaseClientDataSet::SetTableName(std::string value) {
  if (value == tableName_) return;
  storedProcedure_.clear();
  params_.Clear();
  if (metaDataRequest_ == mdNormalQuery && !value.empty()) {
    sql_ = {"SELECT * FROM " + value};
    SQLChanged();
  }
  tableName_ = std::move(value);
}

std::string TRdaBaseClientDataSet::SelectText() const {
  std::string text = SQLText();
  if (!orderBy_.empty()) text += " ORDER BY " + orderBy_ + (ascending_ ? " ASC" : " DESC");
  return text;
}

uint32_t TRdaBaseClientDataSet::OptionsValue(const TRdaClientSocket& connection,
                                             TRdaSelectSQLOptionSet extra) const {
  TRdaSelectSQLOptionSet options = sqlOptions_ + extra;
  const TRdaCompression compression = connection.Compression();
  // Whole messages are compressed already.
  if (compression == acRdaCompress || compression == acUserDefined) options.Exclude(soCompress);
  return options.Bits() & 0xFFFF;
}

// ---------------------------------------------------------------------------------------
// Open

void TRdaBaseClientDataSet::DoBeforeOpen() {
  openInProgress_ = true;
  if (!reloading_) delayed_ = sqlOptions_.Contains(soDelayed);
  try {
    TRdaCustomDataSet::DoBeforeOpen();
  } catch (...) {
    openInProgress_ = false;
    throw;
  }
}

void TRdaBaseClientDataSet::InternalOpen() {
  std::string error;
  // Working from a file, or opening with a streamed result's rows: no request.
  if (!suitCaseData_.Active() && !receiveStream_) {
    if (connection_ == nullptr) throw EDatabaseError(kNoConnection);
    error = RequestStep();
  }
  TRdaCustomDataSet::InternalOpen();
  if (!error.empty()) throw EDatabaseError(error);
}

std::string TRdaBaseClientDataSet::RequestStep() {
  if (deferredOpen_ && !private_) return {};
  if (ParamsDifferFromMaster()) TakeParamsFromMaster();
  const bool somethingToRun = !sql_.empty() || metaDataRequest_ != mdNormalQuery ||
                              !storedProcedure_.empty() || !serverMethod_.empty();
  if (!somethingToRun || !Usable(connection_)) return {};
  TRdaClientSocket* connection = GetConnection();
  // The first that applies: a provider's dataset or another metadata request,
  // a stored procedure, the SQL.
  if (!serverDataSet_.empty() || metaDataRequest_ != mdNormalQuery) return MetaDataRequestStep(*connection);
  if (!storedProcedure_.empty()) return StoredProcedureStep(*connection);
  return Select(*connection);
}

std::string TRdaBaseClientDataSet::Select(TRdaClientSocket& connection) {
  TRdaStringLine line;
  if (sqlOptions_.Contains(soCyclopsSQL)) {
    line.SetToken(tkSelectAlternative);
    line.SetMsgId(connection.ComponentId(this));
    line.AddField(GetDataBase());
    line.AddField(SelectText());
    line.AddField(int32_t{rowsToReturn_});
    line.AddField(static_cast<int32_t>(OptionsValue(connection, {soFetchMemos, soFetchBlobs})));
  } else {
    line.SetToken(tkSelect);
    line.SetMsgId(connection.ComponentId(this));
    line.AddField(SelectText());
    line.AddField(int32_t{rowsToReturn_});
    line.AddField(static_cast<int32_t>(OptionsValue(connection, {})));
    line.AddField(GetDataBase() + kParamsSeparator + params_.ToText(true));
  }
  descriptionsOnly_ = rowsToReturn_ == 0;
  // A new result: the server drops the old one of this dataset.
  cursorHandle_ = 0;
  return Exchange(connection, line, !sqlOptions_.Contains(soNoWait));
}

std::string TRdaBaseClientDataSet::Exchange(TRdaClientSocket& connection, TRdaStringLine& line,
                                            bool wait) {
  connection.SetReplyIsError(false);
  connection.SetCallerTakesErrors(true);
  connection.SetRaiseSqlImmediately(true);
  TScopeGuard clear([&connection] { connection.SetRaiseSqlImmediately(false); });
  if (connection.ClientType() == ctBlocking) {
    // A blocking connection is not connected between exchanges: the request is
    // queued and this dataset runs the exchange that carries it.
    connection.SendMessage(line, false);
    std::string reply = connection.BlockingExchange(connection.BlockingTimeout());
    if (!connection.ReplyIsError() || reply.empty()) return {};
    connection.SetReplyIsError(false);
    return "[RDA SERVER ERROR]" + reply;
  }
  connection.SendMessage(line, wait);
  return wait ? connection.TakeServerError() : std::string();
}

void TRdaBaseClientDataSet::DoAfterOpen() {
  // The open is over also when an event handler below raises.
  TScopeGuard over([this] { openInProgress_ = false; });
  TRdaCustomDataSet::DoAfterOpen();
  if (reloading_) return;
  if (suitCaseData_.Active() && !suitCaseData_.FileName().empty()) {
    TRdaCustomDataSet::LoadRowsFromFile(suitCaseData_.FileName());
  }
  ApplyFieldPropertiesReceived();
  TRdaClientSocket* connection = connection_;
  const bool usable = Usable(connection);
  if ((usable || suitCaseData_.Active()) && !delayed_) AfterPopulate();
  if (!suitCaseData_.Active() && connection != nullptr && !usable) {
    Close();
    if (connection->ClientType() != ctBlocking) {
      deferredOpen_ = true;
      connection->BindDataset(this);
    }
  }
  openInProgress_ = false;
  ApplyQueuedPackets();
}

void TRdaBaseClientDataSet::ApplyFieldPropertiesReceived() {
  if (fieldProperties_.empty()) return;
  const std::string properties = std::move(fieldProperties_);
  fieldProperties_.clear();
  try {
    ApplyFieldProperties(*this, properties);
  } catch (const Exception&) {
    // Display properties the client cannot read do not undo the open.
    HandleApplicationException(std::current_exception());
    return;
  }
  if (Active()) Refresh();
}

void TRdaBaseClientDataSet::ApplyQueuedPackets() {
  if (queuedPackets_.empty()) return;
  // A dataset that closed itself again (no usable connection) takes none.
  if (!Active()) {
    queuedPackets_.clear();
    return;
  }
  const std::vector<std::pair<std::string, int32_t>> packets = std::move(queuedPackets_);
  queuedPackets_.clear();
  BeginBulk();
  try {
    for (const auto& [rows, indicator] : packets) ReceiveRows(indicator, rows);
  } catch (...) {
    EndBulk();
    throw;
  }
  EndBulk();
  if (receiveStream_) FinishStreamedResult();
}

void TRdaBaseClientDataSet::FinishStreamedResult() {
  {
    ValueGuard<bool> reloading(reloading_, true);
    ValueGuard<int> internal(internalOperation_, internalOperation_ + 1);
    TMemoryStream& stream = *receiveStream_;
    stream.Clear();
    SaveToStream(stream);
    stream.SetPosition(0);
    LoadFromStream(stream);
    if (Active()) {
      Refresh();
    } else {
      Open();
    }
  }
  receiveStream_.reset();
  delayed_ = false;
  AfterPopulate();
}

void TRdaBaseClientDataSet::AfterPopulate() {
  // The master moved on while these rows were on their way: it is read
  // again, and its record change asks for the rows of its new values.
  TDataSet* master = MasterLink().DataSet();
  if (master && !refreshingMaster_ && ParamsDifferFromMaster() && !master->Eof()) {
    ValueGuard<bool> refreshing(refreshingMaster_, true);
    master->Refresh();
  }
  IndexesRebuild();
  if (!Filtered() && OnAfterPopulate) OnAfterPopulate(*this);
}

bool TRdaBaseClientDataSet::TakeDeferredOpen() {
  return std::exchange(deferredOpen_, false);
}

void TRdaBaseClientDataSet::Reopen(TRdaClientSocket& /*connection*/) { Open(); }

// ---------------------------------------------------------------------------------------
// Replies

void TRdaBaseClientDataSet::ReceiveMessage(TRdaClientSocket& connection,
                                           const TRdaComponentMessage& message) {
  ++receiving_;
  TScopeGuard done([this] { --receiving_; });
  switch (message.Token) {
    case tkFieldDescriptions:
    case tkFieldDescriptions2:
      ReceiveFieldDescriptions(message.Fields[0]);
      // Asked for the descriptions only: they are the whole answer (an empty
      // result). A row packet that a server may still send behind them is for
      // this dataset alone and ends nobody else's wait.
      if (descriptionsOnly_ && !fetching_) connection.EndReplyWait(false);
      break;
    case tkRowPacket:
    case tkRowPacket2:
      // The rows of a request the server refused, or of a stale one.
      if (connection.ReplyIsError()) break;
      if (openInProgress_ && receiveStream_) {
        queuedPackets_.emplace_back(message.Fields[1], message.Integer(1));
        break;
      }
      ReceiveRows(message.Integer(1), message.Fields[1]);
      if (receiveStream_) FinishStreamedResult();
      break;
    case tkFieldProperties:
      fieldProperties_ = message.Fields[0];
      // Properties that come after the open apply at once.
      if (Active() && !openInProgress_) ApplyFieldPropertiesReceived();
      break;
    case tkCursorHandle:
      cursorHandle_ = message.Integer(1);
      break;
    case tkBeginStream:
      receiveStream_ = std::make_unique<TMemoryStream>();
      break;
    case tkBlobContents:
      // An error text (flag 1) stays with the connection.
      if (message.Integer(3) != 1 && OnReceiveBlobStream) {
        TMemoryStream stream(message.Fields[3]);
        OnReceiveBlobStream(connection, tableName_, message.Fields[1], stream);
      }
      break;
    case tkProviderBroadcast:
      ReceiveProviderBroadcast(message.Fields[0]);
      break;
    default:
      break;  // replies of requests this dataset does not send yet
  }
}

void TRdaBaseClientDataSet::ReceiveFieldDescriptions(const std::string& text) {
  // Read first: a text that does not read changes nothing.
  std::vector<std::string> lines = ParseFieldDescriptions(text);
  if (Active()) {
    // Closing under a fetch would pull the rows from under the cursor's move.
    if (fetching_) throw ERdaProtocolError("Field descriptions came as the answer to a packet fetch");
    Close();
  }
  SetFastFields(std::move(lines));
  if (Store() != nullptr) DiscardStore();
  FieldDefs().Clear();
  PrepareStore();
  SetDiscardOnClose(true);
}

void TRdaBaseClientDataSet::ReceiveRows(int32_t indicator, const std::string& rows) {
  const bool fresh = indicator >= 0;
  if (fresh && fetching_) {
    throw ERdaProtocolError("A packet fetch was answered with a new result (packet indicator " +
                            std::to_string(indicator) + ")");
  }
  if (fresh && Active() && State() != dsBrowse) {
    throw ERdaProtocolError("A new result arrived while the dataset was being edited");
  }
  delayed_ = false;
  if (Store() == nullptr) {
    PrepareStore();
    SetDiscardOnClose(true);
  }
  if (indicator > 0) cursorHandle_ = indicator;
  if (fresh) {
    // A new result replaces the rows: changes logged against the old ones
    // would name rows that now hold other values.
    if (Active()) ClearLog();
    ClearRows();
  }
  if (indicator == piLastPacket) cursorHandle_ = -1;
  const int before = Store()->Count();
  // Descriptions only: what the server sends besides them is not loaded.
  if (!(fresh && descriptionsOnly_)) {
    TRdaRowLoader loader(*Store(), BlobStore());
    if (OnQueryProgress && (showQueryProgress_ == sqShowOnly || showQueryProgress_ == sqShowAllowCancel))
      loader.OnProgress = OnQueryProgress;
    Loading sink(*this);
    loader.Load(rows, sink);
  }
  if (indicator == piMorePackets || indicator == piLastPacket) rowsFetched_ = Store()->Count() - before;
  if (fresh && Active()) Resync({});
}

// ---------------------------------------------------------------------------------------
// Packets

bool TRdaBaseClientDataSet::CanFetchMore() const {
  return cursorHandle_ > 0 && rowsToReturn_ > 0 && receiving_ == 0 && !fetching_ &&
         Usable(CurrentConnection());
}

int TRdaBaseClientDataSet::FetchPacket() {
  rowsFetched_ = 0;
  TRdaClientSocket* connection = CurrentConnection();
  if (connection == nullptr) throw EDatabaseError(kNoConnection);
  TRdaStringLine line;
  line.SetToken(tkFetch);
  line.SetMsgId(connection->ComponentId(this));
  line.AddField(cursorHandle_);
  line.AddField(int32_t{rowsToReturn_});
  line.AddField(static_cast<int32_t>(OptionsValue(*connection, {soPackets})));
  std::string error;
  {
    const bool wasFetching = std::exchange(fetching_, true);
    TScopeGuard restore([this, wasFetching] { fetching_ = wasFetching; });
    error = Exchange(*connection, line, true);
  }
  if (!error.empty()) throw EDatabaseError(error);
  if (OnAfterPacketFetch) OnAfterPacketFetch(*this, rowsFetched_);
  return rowsFetched_;
}

int TRdaBaseClientDataSet::FetchNextPacket() {
  rowsFetched_ = 0;
  if (cursorHandle_ > 0 && rowsToReturn_ > 0 && Active()) FetchPacket();
  return rowsFetched_;
}

TGetResult TRdaBaseClientDataSet::GetRecord(char* buffer, TGetMode mode, bool doCheck) {
  TGetResult result = TRdaCustomDataSet::GetRecord(buffer, mode, doCheck);
  if (result == grEOF && mode == gmNext && CanFetchMore()) {
    FetchPacket();
    result = TRdaCustomDataSet::GetRecord(buffer, mode, doCheck);
  }
  return result;
}

void TRdaBaseClientDataSet::InternalLast() {
  if (autoFetchPackets_ && CanFetchMore()) FetchPacket();
  TRdaCustomDataSet::InternalLast();
}

// ---------------------------------------------------------------------------------------
// Requery and close

// ---------------------------------------------------------------------------------------
// Detail datasets: the master's values are the statement's parameters

// The parameter named by the i-th DetailFilter name and the master field named
// by the i-th MasterFields name, for each position where both exist.
std::vector<std::pair<TRdaParamItem*, TField*>> TRdaBaseClientDataSet::MasterParams() {
  std::vector<std::pair<TRdaParamItem*, TField*>> pairs;
  TDataSet* master = MasterLink().DataSet();
  if (!master || !master->Active()) return pairs;
  const std::vector<std::string> mine = SplitFieldNames(DetailFilter());
  const std::vector<std::string> theirs = SplitFieldNames(MasterFields());
  for (int i = 0; i < params_.Count(); ++i) {
    const auto at = static_cast<size_t>(i);
    if (at >= mine.size() || at >= theirs.size()) continue;
    TRdaParamItem* param = params_.FindParam(mine[at]);
    TField* field = master->FindField(theirs[at]);
    if (param && field) pairs.emplace_back(param, field);
  }
  return pairs;
}

void TRdaBaseClientDataSet::TakeParamsFromMaster() {
  for (auto [param, field] : MasterParams()) {
    switch (field->DataType()) {
      case ftInteger:
        param->SetAsInteger(field->AsInteger());
        break;
      case ftDate:
        param->SetAsDate(field->AsDateTime());
        break;
      case ftDateTime:
        param->SetAsDateTime(field->AsDateTime());
        break;
      default:
        param->SetAsString(field->AsString());
        break;
    }
  }
}

bool TRdaBaseClientDataSet::ParamsDifferFromMaster() {
  TDataSet* master = MasterLink().DataSet();
  if (params_.Count() == 0 || !master || !master->Active() || MasterFields().empty()) return false;
  if (master->Eof() && master->Bof()) return true;
  for (auto [param, field] : MasterParams()) {
    const std::string text = field->AsString();
    if (!text.empty() && text != param->AsString()) return true;
  }
  return false;
}

// The detail's rows are the server's answer for the master's values, so no
// row is filtered here.
bool TRdaBaseClientDataSet::DetailFilterActive() const { return false; }

void TRdaBaseClientDataSet::MasterChanged() {
  if (!Active()) {
    // An open put off until the connection works: the master's move starts
    // it once it does.
    if (deferredOpen_ && Usable(connection_)) {
      deferredOpen_ = false;
      Open();
    }
    return;
  }
  TDataSet* master = MasterLink().DataSet();
  if (!master || MasterFields().empty()) {
    TRda2CustomAuditDataSet::MasterChanged();
    return;
  }
  const TDataSetState state = master->State();
  if (state == dsInsert) {
    // A new master has no details yet.
    ClearLog();
    ClearRows();
    TakeParamsFromMaster();
    return;
  }
  if (state == dsEdit || state == dsSetKey || !ParamsDifferFromMaster()) return;
  if (master->IsEmpty()) {
    EmptyDataSet();
    if (params_.Count() > 0) params_.Items(0).SetIsNull(true);
    return;
  }
  TakeParamsFromMaster();
  Requery();
}

void TRdaBaseClientDataSet::Requery() {
  if (connection_ != nullptr && connection_->SmartWait().Waiting()) return;
  if (!Usable(connection_)) throw EDatabaseError(kNotUsable);
  const bool filtered = Filtered();
  DisableControls();
  try {
    Close();
    SetFiltered(false);
    Open();
  } catch (...) {
    SetFiltered(filtered);
    EnableControls();
    throw;
  }
  SetFiltered(filtered);
  EnableControls();
}

void TRdaBaseClientDataSet::CloseServerCursor() {
  TRdaClientSocket* connection = CurrentConnection();
  if (cursorHandle_ == 0 || !Usable(connection)) return;
  const int id = connection->ComponentId(this);
  TRdaStringLine line;
  line.SetToken(tkCloseCursor);
  line.SetMsgId(id);
  line.AddField(int32_t{id});
  line.AddField(int32_t{0});
  connection->SendMessage(line, false);
  connection->ReleaseComponentId(this);
  cursorHandle_ = 0;
}

void TRdaBaseClientDataSet::InternalClose() {
  if (!reloading_) {
    try {
      CloseServerCursor();
    } catch (const Exception&) {
      // The server drops the result with the connection anyway; a close always
      // completes.
    }
    cursorHandle_ = 0;
  }
  TRda2CustomAuditDataSet::InternalClose();
  openInProgress_ = false;
  // Not under a streamed result's reload: its messages may come through the
  // private connection.
  if (!reloading_) private_.reset();
}

// ---------------------------------------------------------------------------------------
// Files

void TRdaBaseClientDataSet::LoadRowsFromFile(const std::string& fileName) {
  const bool wasActive = suitCaseData_.Active();
  const std::string wasName = suitCaseData_.FileName();
  TScopeGuard restore([&] {
    suitCaseData_.SetActive(wasActive);
    suitCaseData_.SetFileName(wasName);
  });
  Close();
  suitCaseData_.SetActive(true);
  suitCaseData_.SetFileName(fileName);
  Open();
}

void TRdaBaseClientDataSet::LoadFromFile(const std::string& fileName) {
  const bool wasActive = suitCaseData_.Active();
  const std::string wasName = suitCaseData_.FileName();
  TScopeGuard restore([&] {
    suitCaseData_.SetActive(wasActive);
    suitCaseData_.SetFileName(wasName);
  });
  suitCaseData_.SetFileName(std::string());
  suitCaseData_.SetActive(true);
  Open();
  TRdaCustomDataSet::LoadFromFile(fileName);
  LoadRowsFromFile(fileName);
}

}  // namespace rda
