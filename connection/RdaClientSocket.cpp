// TRdaClientSocket: its Qt driver (TRdaClientSocketPrivate) and the public class,
// whose calls go to the protocol core (RdaClientCore.h).
#include "connection/RdaClientSocket.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>

#include <algorithm>
#include <chrono>

#include "base/ScopeGuard.h"
#include "connection/RdaClientSocketPrivate.h"
#include "connection/RdaGetIP.h"

namespace rda {

namespace {

constexpr char kAddressNotSet[] = "The Server Address and Port have not been set properly.";

}  // namespace

// ---------------------------------------------------------------------------------------
// The driver

TRdaClientSocketPrivate::TRdaClientSocketPrivate(TRdaClientSocket& q)
    : q_(q),
      files_([this] {
        TRdaRunningProgram program;
        program.Path = programFile_ ? *programFile_
                       : QCoreApplication::instance() != nullptr
                           ? QCoreApplication::applicationFilePath().toStdString()
                           : std::string();
        program.Arguments = CommandLine();
        program.WorkingFolder = QDir::currentPath().toStdString();
        program.Pid = QCoreApplication::applicationPid();
        return program;
      }),
      transport_(MakeTcpTransport()),
      core_(*this, q, clock_, &q) {
  transport_->SetEvents(this);
  smartWait_.SetUserInterface(&headless_);
  deadlineTimer_.setSingleShot(true);
  QObject::connect(&deadlineTimer_, &QTimer::timeout, [this] {
    armedFor_.reset();
    core_.ProcessDeadlines();
    ArmDeadlineTimer();
  });
}

TRdaClientSocketPrivate::~TRdaClientSocketPrivate() {
  smartWait_.Stop();
  WakeWaits();
  transport_->SetEvents(nullptr);
  transport_->Abort();
  for (TRdaComponent* component : core_.DetachComponents()) component->ConnectionDestroyed(q_);
}

void TRdaClientSocketPrivate::SetUserInterface(TRdaUserInterface* ui) {
  ui_ = ui;
  smartWait_.SetUserInterface(&UI());
}

// The old transport may be the one whose event is being handled: it goes away once
// the event loop is back, never from inside its own signal.
void TRdaClientSocketPrivate::ReplaceTransport(std::unique_ptr<TRdaTransport> transport) {
  transport_->SetEvents(nullptr);
  transport_->Abort();
  std::shared_ptr<TRdaTransport> old(std::move(transport_));
  QTimer::singleShot(0, &deadlineTimer_, [old] {});
  transport_ = std::move(transport);
  transport_->SetEvents(this);
}

void TRdaClientSocketPrivate::SelectHttpClient(bool httpClient) {
  if (httpClient) {
    std::unique_ptr<TRdaHttpClientTransport> http = MakeHttpClientTransport();
    TRdaHttpClientTransport* client = http.get();
    ReplaceTransport(std::move(http));
    httpClient_ = client;
  } else {
    ReplaceTransport(MakeTcpTransport());
    httpClient_ = nullptr;
  }
}

void TRdaClientSocketPrivate::RunRequestWait(TRdaWait&) {
  smartWait_.SetWaitingCursor(core_.Settings().CursorOnQueries);
  smartWait_.Wait();
}

void TRdaClientSocketPrivate::WakeWaits() {
  for (QEventLoop* loop : loops_) loop->exit(1);
}

void TRdaClientSocketPrivate::RunUntil(const std::function<bool()>& done, int limitMs) {
  QEventLoop loop;
  loops_.push_back(&loop);
  TScopeGuard pop([this] { loops_.pop_back(); });
  bool expired = false;
  QTimer limit;
  if (limitMs > 0) {
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, [&] {
      expired = true;
      loop.exit(1);
    });
    limit.start(limitMs);
  }
  // WakeWaits and the limit end exec with 1; anything else is the application quitting.
  while (!done() && !expired)
    if (loop.exec(QEventLoop::ExcludeUserInputEvents) != 1) break;
}

void TRdaClientSocketPrivate::ProcessEvents() {
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

// One timer runs to the core's next deadline. A deadline that moved later needs
// nothing: the timer finds nothing due, and runs on to the new one.
void TRdaClientSocketPrivate::DeadlinesChanged() { ArmDeadlineTimer(); }

void TRdaClientSocketPrivate::ArmDeadlineTimer() {
  const std::optional<TRdaClock::TimePoint> next = core_.NextDeadline();
  if (!next) return;
  if (armedFor_ && deadlineTimer_.isActive() && *armedFor_ <= *next) return;
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - clock_.Now());
  armedFor_ = next;
  deadlineTimer_.start(static_cast<int>(std::clamp<int64_t>(wait.count(), 0, INT32_MAX)));
}

std::string TRdaClientSocketPrivate::ProgramFileName() {
  if (programFile_) return QFileInfo(QString::fromStdString(*programFile_)).fileName().toStdString();
  if (QCoreApplication::instance() == nullptr) return {};
  return QFileInfo(QCoreApplication::applicationFilePath()).fileName().toStdString();
}

std::vector<std::string> TRdaClientSocketPrivate::CommandLine() {
  if (commandLine_) return *commandLine_;
  std::vector<std::string> params;
  if (QCoreApplication::instance() != nullptr) {
    const QStringList args = QCoreApplication::arguments();
    for (qsizetype i = 1; i < args.size(); ++i) params.push_back(args[i].toStdString());
  }
  return params;
}

void TRdaClientSocketPrivate::ToComponent(TRdaComponent& component,
                                          const TRdaComponentMessage& message) {
  component.ReceiveMessage(q_, message);
}
void TRdaClientSocketPrivate::OutputParamsToComponent(TRdaComponent& component,
                                                      TRdaParamList& params) {
  component.ReceiveOutputParams(q_, params);
}
void TRdaClientSocketPrivate::RowsAffectedToComponent(TRdaComponent& component, int rowsAffected) {
  component.ReceiveRowsAffected(q_, rowsAffected);
}
void TRdaClientSocketPrivate::ReopenComponent(TRdaComponent& component) { component.Reopen(q_); }
void TRdaClientSocketPrivate::ReconnectedComponent(TRdaComponent& component) { component.Reconnected(q_); }

// Read straight into a buffer that is kept and only grows: the bytes are copied once
// here and once into the message stack, and a large reply allocates nothing per read.
std::string_view TRdaClientSocketPrivate::ReadAll() {
  if (core_.InBlockingExchange()) return {};
  size_t used = 0;
  for (int64_t available; (available = transport_->BytesAvailable()) > 0;) {
    const size_t need = used + static_cast<size_t>(available);
    if (need > readCapacity_) {
      const size_t capacity = std::max(need, readCapacity_ * 2);
      auto grown = std::make_unique_for_overwrite<char[]>(capacity);
      std::copy_n(readBuffer_.get(), used, grown.get());
      readBuffer_ = std::move(grown);
      readCapacity_ = capacity;
    }
    const size_t n = transport_->Read(readBuffer_.get() + used, static_cast<size_t>(available));
    if (n == 0) break;
    used += n;
  }
  return {readBuffer_.get(), used};
}

void TRdaClientSocketPrivate::TransportReadyRead() { core_.Readable(ReadAll()); }

void TRdaClientSocketPrivate::TransportDisconnected() { core_.TransportDisconnected(ReadAll()); }

void TRdaClientSocketPrivate::TransportError(int code, TErrorEvent kind, bool peerClosed) {
  core_.TransportError(code, kind, peerClosed, peerClosed ? ReadAll() : std::string_view());
}

void TRdaClientSocketPrivate::Loaded() {
  TRdaConnectionSettings& s = core_.Settings();
  switch (s.ConnectAction) {
    case caNone:
      return;
    case caUseDesignAddress:
      break;
    case caFastConnect: {
      std::optional<std::string> chosen = AskServerAddress(UI());
      if (!chosen) return;  // cancelled: the application is ending
      s.Address = *chosen;
      break;
    }
    case caFastConnectCombo: {
      std::string chosen = ChooseIPAddress(UI(), true);
      if (chosen.empty()) return;  // cancelled: the application is ending
      s.Address = chosen;
      break;
    }
    case caCustomConnect:
      s.Address.clear();
      s.Host.clear();
      s.Port = 0;
      if (q_.OnCustomConnect) q_.OnCustomConnect();
      if ((s.Address.empty() && s.Host.empty()) || s.Port == 0) {
        UI().ShowMessage(kAddressNotSet);
        UI().TerminateApplication();
        return;
      }
      break;
  }
  if (core_.ApplyAddressRules()) core_.SetActive(true);
}

// ---------------------------------------------------------------------------------------
// TRdaClientSocket

TRdaClientSocket::TRdaClientSocket() : d_(std::make_unique<TRdaClientSocketPrivate>(*this)) {}
TRdaClientSocket::~TRdaClientSocket() = default;

TRdaClientCore& TRdaClientSocket::C() { return d_->Core(); }
const TRdaClientCore& TRdaClientSocket::C() const { return d_->Core(); }

const TRdaConnectionSettings& TRdaClientSocket::Settings() const { return C().Settings(); }
bool TRdaClientSocket::Active() const { return C().Active(); }
void TRdaClientSocket::SetActive(bool value) { C().SetActive(value); }
const std::string& TRdaClientSocket::Address() const { return C().Settings().Address; }
void TRdaClientSocket::SetAddress(const std::string& value) { C().Settings().Address = value; }
const std::string& TRdaClientSocket::Host() const { return C().Settings().Host; }
void TRdaClientSocket::SetHost(const std::string& value) { C().Settings().Host = value; }
int TRdaClientSocket::Port() const { return C().Settings().Port; }
void TRdaClientSocket::SetPort(int value) { C().Settings().Port = value; }
const std::string& TRdaClientSocket::Service() const { return C().Settings().Service; }
void TRdaClientSocket::SetService(const std::string& value) { C().Settings().Service = value; }
TClientType TRdaClientSocket::ClientType() const { return C().Settings().ClientType; }
void TRdaClientSocket::SetClientType(TClientType value) { C().Settings().ClientType = value; }
TRdaConnectAction TRdaClientSocket::ConnectAction() const { return C().Settings().ConnectAction; }
void TRdaClientSocket::SetConnectAction(TRdaConnectAction value) { C().Settings().ConnectAction = value; }
TLoginType TRdaClientSocket::AutoLoginDlg() const { return C().Settings().AutoLoginDlg; }
void TRdaClientSocket::SetAutoLoginDlg(TLoginType value) { C().Settings().AutoLoginDlg = value; }
const std::string& TRdaClientSocket::UserName() const { return C().Settings().UserName; }
void TRdaClientSocket::SetUserName(const std::string& value) { C().Settings().UserName = value; }
const std::string& TRdaClientSocket::Password() const { return C().Settings().Password; }
void TRdaClientSocket::SetPassword(const std::string& value) { C().Settings().Password = value; }
int TRdaClientSocket::LoginMaxAttempts() const { return C().Settings().LoginMaxAttempts; }
void TRdaClientSocket::SetLoginMaxAttempts(int value) { C().Settings().LoginMaxAttempts = value; }
const std::string& TRdaClientSocket::ApplicationName() const { return C().Settings().ApplicationName; }
void TRdaClientSocket::SetApplicationName(const std::string& value) {
  C().Settings().ApplicationName = value;
}
const std::string& TRdaClientSocket::ApplicationVersion() const {
  return C().Settings().ApplicationVersion;
}
void TRdaClientSocket::SetApplicationVersion(const std::string& value) {
  C().Settings().ApplicationVersion = value;
}
const std::string& TRdaClientSocket::PatchFile() const { return C().Settings().PatchFile; }
void TRdaClientSocket::SetPatchFile(const std::string& value) { C().Settings().PatchFile = value; }
int TRdaClientSocket::KeepAlivePing() const { return C().Settings().KeepAlivePing; }
void TRdaClientSocket::SetKeepAlivePing(int minutes) { C().SetKeepAlivePing(minutes); }
TRdaEncryption TRdaClientSocket::Encryption() const { return C().Transforms().Encryption(); }
void TRdaClientSocket::SetEncryption(TRdaEncryption value) {
  C().Transforms().SetEncryption(value);
}
TRdaCompression TRdaClientSocket::Compression() const { return C().Transforms().Compression(); }
void TRdaClientSocket::SetCompression(TRdaCompression value) {
  C().Transforms().SetCompression(value);
}
const std::string& TRdaClientSocket::EncryptKeyIn() const {
  return C().Transforms().EncryptKeyIn();
}
void TRdaClientSocket::SetEncryptKeyIn(const std::string& value) {
  C().Transforms().SetEncryptKeyIn(value);
}
const std::string& TRdaClientSocket::EncryptKeyOut() const {
  return C().Transforms().EncryptKeyOut();
}
void TRdaClientSocket::SetEncryptKeyOut(const std::string& value) {
  C().Transforms().SetEncryptKeyOut(value);
}
TRdaStatusDisplay* TRdaClientSocket::StatusBar() const { return C().StatusBar(); }
void TRdaClientSocket::SetStatusBar(TRdaStatusDisplay* value) { C().SetStatusBar(value); }
TClientAnchorStatus TRdaClientSocket::AnchorStatus() const { return C().AnchorStatus(); }
std::string TRdaClientSocket::AnchorStatusText() const { return C().AnchorStatusText(); }
bool TRdaClientSocket::ProgressBar() const { return C().Settings().ProgressBar; }
void TRdaClientSocket::SetProgressBar(bool value) { C().Settings().ProgressBar = value; }
TWaitingCursor TRdaClientSocket::CursorOnQueries() const { return C().Settings().CursorOnQueries; }
void TRdaClientSocket::SetCursorOnQueries(TWaitingCursor value) {
  C().Settings().CursorOnQueries = value;
  d_->SmartWait().SetWaitingCursor(value);
}
TRdaSQLErrorSet TRdaClientSocket::SQLErrorHandling() const { return C().Settings().SQLErrorHandling; }
void TRdaClientSocket::SetSQLErrorHandling(TRdaSQLErrorSet value) {
  C().Settings().SQLErrorHandling = value;
}
TSQLDialect TRdaClientSocket::SQLDialect() const { return C().Settings().SQLDialect; }
void TRdaClientSocket::SetSQLDialect(TSQLDialect value) { C().SetSQLDialect(value); }
TRdaServerSQLOptions TRdaClientSocket::SQLOptions() const { return C().Settings().SQLOptions; }
void TRdaClientSocket::SetSQLOptions(TRdaServerSQLOptions value) { C().Settings().SQLOptions = value; }
TRdaUpdateSQL TRdaClientSocket::UpdateSQLSyntax() const { return C().Settings().UpdateSQLSyntax; }
void TRdaClientSocket::SetUpdateSQLSyntax(TRdaUpdateSQL value) { C().Settings().UpdateSQLSyntax = value; }
const std::string& TRdaClientSocket::DateMaskForSQL() const { return C().Settings().DateMaskForSQL; }
void TRdaClientSocket::SetDateMaskForSQL(const std::string& value) {
  C().Settings().DateMaskForSQL = value;
}
const std::string& TRdaClientSocket::TimeMaskForSQL() const { return C().Settings().TimeMaskForSQL; }
void TRdaClientSocket::SetTimeMaskForSQL(const std::string& value) {
  C().Settings().TimeMaskForSQL = value;
}
const std::string& TRdaClientSocket::DateTimeMaskForSQL() const {
  return C().Settings().DateTimeMaskForSQL;
}
void TRdaClientSocket::SetDateTimeMaskForSQL(const std::string& value) {
  C().Settings().DateTimeMaskForSQL = value;
}
const std::string& TRdaClientSocket::SQLTransactionStart() const {
  return C().Settings().SQLTransactionStart;
}
void TRdaClientSocket::SetSQLTransactionStart(const std::string& value) {
  C().Settings().SQLTransactionStart = value;
}
const std::string& TRdaClientSocket::SQLTransactionEnd() const { return C().Settings().SQLTransactionEnd; }
void TRdaClientSocket::SetSQLTransactionEnd(const std::string& value) {
  C().Settings().SQLTransactionEnd = value;
}
TServerMetaCacheOptions TRdaClientSocket::CacheMetaDataOptions() const {
  return C().Settings().CacheMetaDataOptions;
}
void TRdaClientSocket::SetCacheMetaDataOptions(TServerMetaCacheOptions value) {
  C().Settings().CacheMetaDataOptions = value;
}
const std::string& TRdaClientSocket::CacheMetaDataFileName() const {
  return C().Settings().CacheMetaDataFileName;
}
void TRdaClientSocket::SetCacheMetaDataFileName(const std::string& value) {
  C().Settings().CacheMetaDataFileName = value;
}
const std::string& TRdaClientSocket::DTUserName() const { return C().Settings().DTUserName; }
void TRdaClientSocket::SetDTUserName(const std::string& value) { C().Settings().DTUserName = value; }
const std::string& TRdaClientSocket::DTPassword() const { return C().Settings().DTPassword; }
void TRdaClientSocket::SetDTPassword(const std::string& value) { C().Settings().DTPassword = value; }
const std::string& TRdaClientSocket::UserKey() const { return C().Settings().UserKey; }
void TRdaClientSocket::SetUserKey(const std::string& value) { C().Settings().UserKey = value; }
const std::string& TRdaClientSocket::About() const { return C().Settings().About; }
void TRdaClientSocket::SetAbout(const std::string& value) { C().Settings().About = value; }
int TRdaClientSocket::ReplyTimeout() const { return C().Settings().ReplyTimeout; }
void TRdaClientSocket::SetReplyTimeout(int ms) { C().Settings().ReplyTimeout = std::max(0, ms); }
int TRdaClientSocket::ConnectTimeout() const { return C().Settings().ConnectTimeout; }
void TRdaClientSocket::SetConnectTimeout(int ms) {
  C().Settings().ConnectTimeout = std::max(0, ms);
}
int TRdaClientSocket::BlockingTimeout() const { return C().Settings().BlockingTimeout; }
void TRdaClientSocket::SetBlockingTimeout(int ms) { C().Settings().BlockingTimeout = std::max(0, ms); }
int TRdaClientSocket::WriteChunkSize() const { return C().Settings().WriteChunkSize; }
void TRdaClientSocket::SetWriteChunkSize(int bytes) {
  if (bytes > 0) C().Settings().WriteChunkSize = bytes;
}
bool TRdaClientSocket::UseTls() const { return C().Settings().Tls.Enabled; }
void TRdaClientSocket::SetUseTls(bool value) { C().Settings().Tls.Enabled = value; }
const std::string& TRdaClientSocket::TlsCaFile() const { return C().Settings().Tls.CaFile; }
void TRdaClientSocket::SetTlsCaFile(const std::string& value) { C().Settings().Tls.CaFile = value; }

TRdaConnectionState TRdaClientSocket::State() const { return C().State(); }
uint8_t TRdaClientSocket::TransportMode() const { return C().TransportMode(); }
bool TRdaClientSocket::DirectTcp() const { return C().DirectTcp(); }
const std::string& TRdaClientSocket::ProxiedAddress() const { return C().ProxiedAddress(); }
void TRdaClientSocket::SetProxiedAddress(const std::string& value) { C().SetProxiedAddress(value); }
int TRdaClientSocket::ProxiedPort() const { return C().ProxiedPort(); }
void TRdaClientSocket::SetProxiedPort(int value) { C().SetProxiedPort(value); }
TRdaWebServer& TRdaClientSocket::WebServer() { return C().WebServer(); }
const TRdaWebServer& TRdaClientSocket::WebServer() const { return C().WebServer(); }
void TRdaClientSocket::SetWebServer(const TRdaWebServer& value) { C().WebServer().Assign(value); }
void TRdaClientSocket::SetupWebTunnel(const std::string& webServerAddress,
                                      const std::string& dataServerAddress, const std::string& path,
                                      uint16_t webServerPort, uint16_t dataServerPort) {
  C().SetupWebTunnel(webServerAddress, dataServerAddress, path, webServerPort, dataServerPort);
}
const std::string& TRdaClientSocket::ProxyUserName() const { return C().Settings().ProxyUserName; }
void TRdaClientSocket::SetProxyUserName(const std::string& value) { C().Settings().ProxyUserName = value; }
const std::string& TRdaClientSocket::ProxyPassword() const { return C().Settings().ProxyPassword; }
void TRdaClientSocket::SetProxyPassword(const std::string& value) { C().Settings().ProxyPassword = value; }
const std::string& TRdaClientSocket::SocksHost() const { return C().Settings().SocksHost; }
void TRdaClientSocket::SetSocksHost(const std::string& value) { C().Settings().SocksHost = value; }
int TRdaClientSocket::SocksPort() const { return C().Settings().SocksPort; }
void TRdaClientSocket::SetSocksPort(int value) { C().Settings().SocksPort = value; }
TRdaEncryption TRdaClientSocket::ActiveEncryption() const {
  return C().Transforms().ActiveEncryption();
}
int TRdaClientSocket::PendingReplies() const { return C().PendingReplies(); }
bool TRdaClientSocket::WaitingForOpen() const { return C().WaitingForOpen(); }
int TRdaClientSocket::LastSocketError() const { return C().LastSocketError(); }
int TRdaClientSocket::LoginAttempts() const { return C().LoginAttempts(); }
int TRdaClientSocket::ConnectAttempts() const { return C().ConnectAttempts(); }
int64_t TRdaClientSocket::BytesOutTotal() const { return C().Transforms().BytesOutTotal(); }
int64_t TRdaClientSocket::BytesInTotal() const { return C().Transforms().BytesInTotal(); }
const std::string& TRdaClientSocket::ReplyText() const { return C().ReplyText(); }
void TRdaClientSocket::SetReplyText(const std::string& value) { C().SetReplyText(value); }
bool TRdaClientSocket::ReplyIsError() const { return C().ReplyIsError(); }
void TRdaClientSocket::SetReplyIsError(bool value) { C().SetReplyIsError(value); }
bool TRdaClientSocket::RaiseSqlImmediately() const { return C().RaiseSqlImmediately(); }
void TRdaClientSocket::SetRaiseSqlImmediately(bool value) { C().SetRaiseSqlImmediately(value); }
bool TRdaClientSocket::CallerTakesErrors() const { return C().CallerTakesErrors(); }
void TRdaClientSocket::SetCallerTakesErrors(bool value) { C().SetCallerTakesErrors(value); }
int32_t TRdaClientSocket::SessionId() const { return C().SessionId(); }
void TRdaClientSocket::SetSessionId(int32_t id) { C().SetSessionId(id); }
double TRdaClientSocket::ServerVersion() const { return C().ServerVersion(); }
const std::string& TRdaClientSocket::AnchorReturnAddress() const {
  return C().AnchorReturnAddress();
}
TRdaParamList& TRdaClientSocket::LoginParams() { return C().LoginParams(); }
TRdaDataSet* TRdaClientSocket::Contacts() const { return C().Contacts(); }
TRdaDataSet* TRdaClientSocket::UserList() const { return C().UserList(); }
TRdaDataSet* TRdaClientSocket::WaitingMail() const { return C().WaitingMail(); }
bool TRdaClientSocket::MetaDataCached() const { return C().MetaDataCached(); }
TRdaDataSet& TRdaClientSocket::GetCachedMetaData(std::string_view name) {
  return C().GetCachedMetaData(name);
}
TRdaParamList* TRdaClientSocket::TriggerParams() { return C().TriggerParams(); }
void TRdaClientSocket::SetTriggerParams(std::unique_ptr<TRdaParamList> params) {
  C().SetTriggerParams(std::move(params));
}
TRdaSmartWait& TRdaClientSocket::SmartWait() { return d_->SmartWait(); }
TRdaUserInterface& TRdaClientSocket::UserInterface() { return d_->UI(); }
void TRdaClientSocket::SetUserInterface(TRdaUserInterface* ui) {
  d_->SetUserInterface(ui);
}
void TRdaClientSocket::SetCommandLine(std::vector<std::string> parameters) {
  d_->SetCommandLine(std::move(parameters));
}
void TRdaClientSocket::SetProgramFile(std::string path) { d_->SetProgramFile(std::move(path)); }
bool TRdaClientSocket::UpdateInProgress() const { return C().UpdateInProgress(); }

void TRdaClientSocket::Loaded() { d_->Loaded(); }
void TRdaClientSocket::OpenAndWait() { C().OpenAndWait(); }
void TRdaClientSocket::CloseAndWait() { C().CloseAndWait(); }

void TRdaClientSocket::SendMessage(TRdaStringLine& line, bool waitForReply) {
  C().SendMessage(line, waitForReply);
}
std::string TRdaClientSocket::BlockingExchange(int timeoutMs) {
  return C().BlockingExchange(timeoutMs);
}
void TRdaClientSocket::EndReplyWait(bool force) { C().EndReplyWait(force); }
std::string TRdaClientSocket::TakeServerError() { return C().TakeServerError(); }
void TRdaClientSocket::SendCodedMessage(int32_t msgId, const std::string& text) {
  C().SendCodedMessage(msgId, text);
}
std::string TRdaClientSocket::SendCodedParamList(int32_t msgId, const TRdaParamList* list,
                                                 bool wantReply) {
  return C().SendCodedParamList(msgId, list, wantReply);
}
void TRdaClientSocket::SendServerUtilityRequest(int32_t code, const std::string& text) {
  C().SendServerUtilityRequest(code, text);
}

int TRdaClientSocket::ComponentId(TRdaComponent* component) { return C().ComponentId(component); }
TRdaComponent* TRdaClientSocket::ComponentById(int id) const { return C().ComponentById(id); }
void TRdaClientSocket::ReleaseComponentId(TRdaComponent* component) {
  C().ReleaseComponentId(component);
}
void TRdaClientSocket::BindDataset(TRdaComponent* dataset) { C().BindDataset(dataset); }
void TRdaClientSocket::UnbindDataset(TRdaComponent* dataset) { C().UnbindDataset(dataset); }

std::unique_ptr<TRdaClientSocket> TRdaClientSocket::CloneConnection() {
  auto copy = std::make_unique<TRdaClientSocket>();
  CopyConnectionTo(*copy);
  return copy;
}

void TRdaClientSocket::CopyConnectionTo(TRdaClientSocket& copy) {
  C().CopyTo(copy.C());
  copy.OnEncrypt = OnEncrypt;
  copy.OnDecrypt = OnDecrypt;
  copy.OnCompress = OnCompress;
  copy.OnDecompress = OnDecompress;
  copy.OnSQLError = OnSQLError;
  copy.OnCustomSQLError = OnCustomSQLError;
  copy.OnCustomSQLSyntax = OnCustomSQLSyntax;
  copy.OnError = OnError;
  copy.OnDisconnect = OnDisconnect;
  copy.OnReadProgress = OnReadProgress;
  copy.OnWinInetStatus = OnWinInetStatus;
  if (!OnWinInetStatus && C().ShowsWinInetStatus()) {
    // This connection shows the HTTP client's steps in its own status bar: so do the
    // copy's requests (the private copy of a dataset works for this connection),
    // for as long as this connection lives.
    copy.OnWinInetStatus = [core = &C(), alive = C().AliveToken()](uint32_t status) {
      if (!alive.expired()) core->ShowWinInetStatus(status);
    };
  }
  copy.OnStatelessPacketEvent = OnStatelessPacketEvent;
  copy.OnLoginParamsAttempt = OnLoginParamsAttempt;
  copy.SmartWait().SetRunSynchronize(SmartWait().RunSynchronize());
}

}  // namespace rda
