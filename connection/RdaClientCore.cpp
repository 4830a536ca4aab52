// TRdaClientCore: the connection's life (open, close, connect, login, disconnect,
// socket errors, keep-alive, reconnect, redirects), the switching of transports, the
// connect at load, components, copying and the deadlines. The message traffic is in
// RdaClientCoreExchange.cpp.
#include "connection/RdaClientCore.h"

#include <algorithm>
#include <chrono>
#include <climits>

#include "base/Convert.h"
#include "base/ScopeGuard.h"
#include "base/Text.h"

namespace rda {

namespace {

constexpr char kBadLogin[] =
    "Bad Login Attempt.  Your User Name and Password was not validated at the server.";
constexpr char kLoginCancelledThreeTimes[] =
    "You have cancelled the Login Dialog three times.  The application will be terminated!";
constexpr char kLoginCancelledQuestion[] =
    "You have cancelled the Login Attempt, would you like to Exit the application?";
constexpr char kDisconnected[] = "Disconnected from server!";
constexpr std::chrono::milliseconds kReconnectInterval{500};
constexpr int kCloseLimitMs = 5000;
constexpr int kLoginCancelsToEnd = 3;

bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

}  // namespace

std::string SocketErrorText(int code) {
  switch (code) {
    case kWSAECONNABORTED:
      return "10053: Software caused connection abort.  The server terminated the connection. "
             "It is possible that the server has terminated.";
    case kWSAECONNRESET:
      return "10054: Software caused connection abort.  The server terminated the connection. "
             "It is possible that the server has terminated.";
    case kWSAECONNREFUSED:
      return "10061: Connection refused.  Verify that a server is available.";
    case kWSAEHOSTUNREACH:
      return "10065: The client cannot reach the destination network. Verify that your target "
             "network is available and that a firewall is not blocking your protocol and port";
    default:
      return {};
  }
}

// ---------------------------------------------------------------------------------------
// Construction

TRdaClientCore::TRdaClientCore(TRdaCoreDriver& driver, TRdaClientEvents& events,
                               const TRdaClock& clock, TRdaClientSocket* owner)
    : driver_(driver), events_(events), clock_(clock), webServer_(owner, this, &settings_.WebServer) {
  transforms_.StatelessStep = [this](std::string& body, bool packup) { StatelessStep(body, packup); };
}

TRdaClientCore::~TRdaClientCore() {
  alive_.reset();
  for (TRdaWait* w : waits_) w->ended = true;
  DetachComponents();
  if (statusBar_ != nullptr) std::erase(statusBar_->users_, this);
}

// ---------------------------------------------------------------------------------------
// Settings with an effect

void TRdaClientCore::SetKeepAlivePing(int minutes) {
  settings_.KeepAlivePing = minutes;
  if (minutes <= 0) {
    keepAliveDeadline_.reset();
    return;
  }
  const int64_t ms = std::min<int64_t>(int64_t{minutes} * keepAliveUnitMs_, INT_MAX);
  SetDeadline(keepAliveDeadline_, clock_.Now() + std::chrono::milliseconds(ms));
}

void TRdaClientCore::SetSQLDialect(TSQLDialect value) {
  settings_.SQLDialect = value;
  switch (value) {
    case sqlNone:
      settings_.SQLOptions = {};
      break;
    case sqlLocalSQL:
    case sqlDBISAM:
      settings_.SQLOptions = {ssUseQuotesInFieldNames, ssUSDatesForLocalSQL};
      break;
    case sqlAccess:
      settings_.SQLOptions = {ssTerminateWithSemiColon};
      break;
    case sqlMSSQLServer:
      settings_.SQLOptions = {ssBooleanAsInteger, ssUseISInNuLLcompares};
      break;
    case sqlOracle:
      settings_.DateMaskForSQL = "DD-MMM-YYYY";
      settings_.DateTimeMaskForSQL = "DD-MMM-YYYY HH:NN:SS";
      break;
    case sqlAdvantage:
      settings_.SQLOptions = {ssUseQuotesInFieldNames, ssNoTableNameInUpdateStatements};
      settings_.DateMaskForSQL = "YYYY-MM-DD";
      settings_.DateTimeMaskForSQL = "YYYY-MM-DD HH:NN:SS";
      break;
    case sqlSQLAnywhere:
    case sqlInterbase:
    case sqlCustom:
      break;
  }
}

void TRdaClientCore::SetStatusBar(TRdaStatusDisplay* value) {
  if (statusBar_ != nullptr) std::erase(statusBar_->users_, this);
  statusBar_ = value;
  if (value == nullptr) return;
  value->users_.push_back(this);
  ShowStatus(AnchorStatusText());
}

// ---------------------------------------------------------------------------------------
// Life

// The platform HTTP client form needs its own transport; every other form runs on a
// stream.
void TRdaClientCore::EnsureTransport() {
  const bool want = ViaHttpClient();
  if (want == httpClientSelected_) return;
  CloseNow();
  driver_.SelectHttpClient(want);
  httpClientSelected_ = want;
  state_ = TRdaConnectionState::Inactive;
}

// Closes at once, as a close the application asked for (nothing is raised).
void TRdaClientCore::CloseNow() {
  if (state_ == TRdaConnectionState::Inactive) return;
  closeRequested_ = true;
  driver_.Transport().Abort();
  if (state_ != TRdaConnectionState::Inactive) {
    state_ = TRdaConnectionState::Inactive;
    HandleDisconnect();
  }
}

void TRdaClientCore::RenewStack() {
  stack_ = TRdaMessageStack();
  stack_.SetTransportMode(transportMode_);
}

void TRdaClientCore::SetActive(bool value) {
  if (value) {
    if (state_ != TRdaConnectionState::Inactive) return;
    EnsureTransport();
    closeRequested_ = false;
    closeReported_ = false;
    disconnectHandled_ = false;
    wasConnected_ = false;
    RenewStack();
    httpReader_.Reset();
    messageStarted_ = true;
    receivedSoFar_ = 0;
    ++connectAttempts_;
    state_ = TRdaConnectionState::Opening;
    // TLS belongs to the direct connection to the data server; a web server or proxy
    // in between is spoken to in plain HTTP (or HTTPS by the platform HTTP client).
    const bool tls = settings_.Tls.Enabled && transportMode_ == tmDirectTcp;
    driver_.Transport().Open(OpenTarget(), static_cast<uint16_t>(settings_.Port),
                             settings_.ConnectTimeout, tls ? settings_.Tls : TRdaTlsSettings{});
    return;
  }
  if (state_ == TRdaConnectionState::Inactive) return;
  closeRequested_ = true;
  state_ = TRdaConnectionState::Closing;
  // A connection with nothing left to send closes at once and reports it here.
  TRdaTransport& transport = driver_.Transport();
  transport.Close();
  if (transport.IsIdle() && state_ != TRdaConnectionState::Inactive) {
    state_ = TRdaConnectionState::Inactive;
    HandleDisconnect();
  }
}

void TRdaClientCore::OpenAndWait() {
  SetActive(true);
  lastSocketError_ = 0;
  waitingForOpen_ = true;
  TRdaWait wait;
  waits_.push_back(&wait);
  TScopeGuard done([&] {
    std::erase(waits_, &wait);
    waitingForOpen_ = false;
  });
  driver_.RunUntil(
      [&] { return Active() || lastSocketError_ > 0 || !waitingForOpen_ || wait.error; }, 0);
  if (wait.error) std::rethrow_exception(wait.error);
}

void TRdaClientCore::CloseAndWait() {
  SetActive(false);
  driver_.RunUntil([this] { return driver_.Transport().IsIdle(); }, kCloseLimitMs);
  if (!driver_.Transport().IsIdle()) driver_.Transport().Abort();
  if (state_ != TRdaConnectionState::Inactive) {
    state_ = TRdaConnectionState::Inactive;
    HandleDisconnect();
  }
}

// The connection is closed by us after a protocol error: the error is the report, so
// the disconnect handling raises nothing more.
void TRdaClientCore::DropConnection() {
  closeReported_ = true;
  // Whatever the response being read was, it is not to be finished by the close.
  httpReader_.Reset();
  driver_.Transport().Abort();
  state_ = TRdaConnectionState::Inactive;
  HandleDisconnect();
  RenewStack();
  httpReader_.Reset();
  httpOutstanding_ = 0;
  httpInFlightWaits_ = false;
}

void TRdaClientCore::EndApplication() { driver_.UserInterface().TerminateApplication(); }

// ---------------------------------------------------------------------------------------
// Transport events

void TRdaClientCore::TransportLookup() {
  Guarded([this] {
    if (events_.OnLookup) events_.OnLookup();
  });
}

void TRdaClientCore::TransportConnecting() {
  Guarded([this] {
    if (events_.OnConnecting) events_.OnConnecting();
  });
}

void TRdaClientCore::TransportConnected() {
  state_ = TRdaConnectionState::Connected;
  Guarded([this] {
    if (events_.OnConnect) events_.OnConnect();
    DoConnected();
  });
  driver_.WakeWaits();
}

void TRdaClientCore::TransportDisconnected(std::string_view lastBytes) {
  // Bytes that arrived with the close are still handled (a blocking exchange reads
  // its own).
  if (!inBlockingExchange_) Guarded([&] {
      if (!lastBytes.empty()) Receive(lastBytes);
      if (HandBuiltHttp()) ReceiveEnd();
    });
  state_ = TRdaConnectionState::Inactive;
  Guarded([this] {
    if (events_.OnDisconnect) events_.OnDisconnect();
    HandleDisconnect();
  });
  driver_.WakeWaits();
}

void TRdaClientCore::TransportBytesWritten() {
  Guarded([this] {
    if (events_.OnWrite) events_.OnWrite();
  });
}

void TRdaClientCore::TransportError(int code, TErrorEvent kind, bool peerClosed,
                                    std::string_view lastBytes) {
  if (inBlockingExchange_) {
    // BlockingExchange reports its own failures to its caller.
    lastSocketError_ = code;
    return;
  }
  Guarded([&] {
    TRdaTransport& transport = driver_.Transport();
    const bool gone = peerClosed || !transport.IsConnected();
    if (peerClosed) {
      // A peer closing and a peer resetting look alike. Between messages it is the
      // server closing (the disconnect handling follows); inside a message the stream
      // was cut, which is what 10054 tells. An HTTP response says itself whether it
      // was cut (ReceiveEnd raises then).
      if (!lastBytes.empty()) Receive(lastBytes);
      if (HandBuiltHttp()) {
        ReceiveEnd();
        return;
      }
      if (stack_.Used() == 0) return;
    }
    lastSocketError_ = code;
    driver_.WakeWaits();
    if (!directTcp_) EndReplyWait(true);
    if (events_.OnError) {
      events_.OnError(kind, code);
      if (gone && transport.IsIdle() && state_ == TRdaConnectionState::Opening)
        state_ = TRdaConnectionState::Inactive;
      return;  // the handler counts as handling the error
    }
    // Requests queued for a web server or proxy that cannot be reached are not
    // retried: their sender has this error.
    if (gone && !wasConnected_ && Tunnelling()) outbox_.clear();
    EndReplyWait(true);
    if (gone) {
      connectAttempts_ = std::max(0, connectAttempts_ - 1);
      closeReported_ = true;  // the socket error below is the report
      if (!peerClosed) transport.Abort();  // a closing peer is being closed already
      state_ = TRdaConnectionState::Inactive;
      HandleDisconnect();
    }
    const std::string text = SocketErrorMessage(code);
    if (!SocketErrorText(code).empty() && settings_.SQLErrorHandling.Contains(seSocketErrorNoException)) {
      driver_.UserInterface().ShowMessage(text);
      return;
    }
    throw ESocketError(text, code);
  });
  driver_.WakeWaits();
}

std::string TRdaClientCore::SocketErrorMessage(int code) const {
  if (IsTlsErrorCode(code))
    return "The secure connection to " + OpenTarget() + " on Port:" + std::to_string(settings_.Port) +
           " failed: " + driver_.Transport().LastErrorText();
  const std::string text = SocketErrorText(code);
  if (text.empty()) return "Asynchronous socket error " + std::to_string(code);
  return text + " at " + OpenTarget() + " on Port:" + std::to_string(settings_.Port);
}

void TRdaClientCore::DoConnected() {
  transforms_.ResetByteTotals();
  wasConnected_ = true;
  // The platform HTTP client "connects" without reaching anything: the state shows
  // the server as reached when its first answer comes (HttpResponse).
  if (!ViaHttpClient()) SetAnchorStatus(TACConnectedToServer);
  if (TunnelsOverHttp()) {
    // Nothing to log in or ask: every request stands on its own (or on its session
    // header). What waits for this connection goes now.
    PumpOutbox();
    return;
  }
  if (settings_.ClientType == ctBlocking) return;
  transforms_.RefreshActiveEncryption();
  if (settings_.ApplicationName.empty()) settings_.ApplicationName = driver_.ProgramFileName();
  SendLogin();
  for (TRdaComponent* dataset : std::vector<TRdaComponent*>(datasets_))
    if (dataset->TakeDeferredOpen()) driver_.ReopenComponent(*dataset);
  for (const auto& [id, component] : std::vector<std::pair<int, TRdaComponent*>>(registry_))
    driver_.ReconnectedComponent(*component);
  if (transportMode_ == tmDirectTcp && Active()) SendServerUtilityRequest(suServerVersion, "");
  // Without a login the metadata cache is asked for now; else after the login.
  if (settings_.AutoLoginDlg == ltNoChallenge) StartMetaDataCache();
  // Mode 1 over a direct socket: requests sent while it was opening go now, behind
  // the login.
  if (HandBuiltHttp()) PumpOutbox();
}

void TRdaClientCore::SendLogin() {
  if (settings_.AutoLoginDlg == ltNoChallenge) return;
  if (TunnelsOverHttp()) return;
  TRdaUserInterface& ui = driver_.UserInterface();
  if (settings_.AutoLoginDlg == ltLoginDlg) {
    if (!Active()) return;
    int cancels = 0;
    while (true) {
      std::optional<TRdaLoginEntry> entry = ui.LoginDialog();
      if (entry) {
        settings_.UserName = entry->UserName;
        settings_.Password = entry->Password;
        break;
      }
      if (++cancels >= kLoginCancelsToEnd) {
        ui.ShowMessage(kLoginCancelledThreeTimes);
        EndApplication();
        return;
      }
      if (ui.AskYesNo(kLoginCancelledQuestion)) {
        EndApplication();
        return;
      }
      if (!Active()) break;
    }
  }
  PutNeedPatcher();
  std::string params;
  if (triggerParams_) {
    std::unique_ptr<TRdaParamList> copy = loginParams_.Clone();
    TRdaParamItem& trigger = copy->Add();
    trigger.SetName("~RdaTrigger");
    trigger.SetAsString(triggerParams_->ToText(false));
    params = copy->ToText(false);
  } else {
    params = loginParams_.ToText(false);
  }
  TRdaStringLine line;
  line.SetToken(tkLogin);
  line.SetMsgId(0);
  line.AddField(static_cast<int32_t>(settings_.AutoLoginDlg));
  line.AddField(settings_.UserName);
  line.AddField(settings_.Password);
  line.AddField(settings_.ApplicationName);
  line.AddField(settings_.ApplicationVersion + kLoginParamsSeparator + params);
  SendMessage(line, true);
  driver_.ProcessEvents();
}

void TRdaClientCore::DoLoginReply(const TRdaComponentMessage& m) {
  EndReplyWait(false);
  const bool verified = m.Integer(1) == kLoginVerified;
  ++loginAttempts_;
  bool ended = false;
  std::unique_ptr<TRdaParamList> params;
  if (verified || events_.OnLoginParamsAttempt) params = TRdaParamList::FromText(m.Fields[1]);
  // The server's lists (contacts, users, waiting mail) are the connection's, not
  // the handler's.
  if (verified) DoInstantLists(*params, true);
  if (events_.OnLoginParamsAttempt) {
    events_.OnLoginParamsAttempt(verified, *params);
  } else if (events_.OnLoginAttempt) {
    events_.OnLoginAttempt(verified);
  } else if (!verified) {
    driver_.UserInterface().ShowMessage(kBadLogin);
    EndApplication();
    ended = true;
  }
  if (verified) StartMetaDataCache();
  if (verified || settings_.LoginMaxAttempts <= 0 || ended) return;
  if (loginAttempts_ >= settings_.LoginMaxAttempts) {
    driver_.UserInterface().ShowMessage(kBadLogin);
    EndApplication();
    return;
  }
  // The next attempt logs in on a new connection: close this one, so that the
  // reconnect also happens when the server keeps a refused client connected.
  SetActive(false);
  StartReconnectTimer();
}

void TRdaClientCore::HandleDisconnect() {
  if (disconnectHandled_) return;
  disconnectHandled_ = true;
  const bool unexpected = !closeRequested_;
  const bool reported = closeReported_;
  SetKeepAlivePing(0);
  transforms_.RefreshActiveEncryption();
  // Over a tunnel the connection comes and goes between requests; a transfer is
  // lost with a direct connection only.
  if (directTcp_) AbandonTransfers();
  SetAnchorStatus(TACDisconnectedFromServer);
  // A hand-built HTTP request still in the Outbox has not been lost with the
  // connection: its sender goes on waiting while the connection reopens to send it.
  // (Only the request on the wire is lost; one waits at a time, so when that one
  // did not wait, the waiting one is still queued.)
  const bool queuedWaiter =
      HandBuiltHttp() && TunnelsOverHttp() && !(httpOutstanding_ > 0 && httpInFlightWaits_) &&
      std::any_of(outbox_.begin(), outbox_.end(), [](const TRdaOutboxEntry& e) { return e.Waits; });
  if (!queuedWaiter) {
    for (TRdaWait* w : waits_)
      if (w->request && !w->ended) w->disconnected = true;
    EndReplyWait(true);
  }
  if (HandBuiltHttp()) {
    httpOutstanding_ = 0;
    httpInFlightWaits_ = false;
    httpReader_.Reset();
    // Over a direct socket a lost connection is reported, not reopened to send
    // what was queued: that went with it.
    if (directTcp_ && !closeRequested_) outbox_.clear();
  }
  if (TunnelsOverHttp() && !outbox_.empty() && wasConnected_) StartReconnectTimer();
  if (unexpected && !anchorReturnAddress_.empty()) {
    const size_t colon = anchorReturnAddress_.find(':');
    settings_.Address = anchorReturnAddress_.substr(0, colon);
    settings_.Port =
        colon == std::string::npos ? 0 : StrToIntDef(anchorReturnAddress_.substr(colon + 1), 0);
    SetAnchorStatus(TACConnectedToAnchor);
    StartReconnectTimer();
  }
  transforms_.ResetByteTotals();
  if (!unexpected || reported) return;
  if (events_.OnDisconnect || !directTcp_ || settings_.ClientType == ctBlocking ||
      settings_.SQLErrorHandling.Contains(seNoExceptionOnDisconnect))
    return;
  throw ERdaConnectException(kDisconnected);
}

// ---------------------------------------------------------------------------------------
// State texts

void TRdaClientCore::SetAnchorStatus(TClientAnchorStatus status) {
  anchorStatus_ = status;
  const std::string text = AnchorStatusText();
  ShowStatus(text);
  if (events_.OnConnectStatusChange) events_.OnConnectStatusChange(text);
}

std::string TRdaClientCore::AnchorStatusText() const {
  switch (anchorStatus_) {
    case TACNoAnchor:
      return "No Connection";
    case TACConnectedToAnchor:
      return Active() ? "Connected to Anchor" : "Disconnected, Anchor Available";
    case TACConnectedToServer:
      return "Connected to Server";
    case TACDisconnectedFromAnchor:
      return "Disconnected from Anchor, attempting to Reconnect";
    case TACDisconnectedFromServer:
      return "Disconnected from Server";
    case TAAnchorReDirect:
      return "Connecting from Anchor to Server " + settings_.Address + ":" +
             std::to_string(settings_.Port);
  }
  return {};
}

void TRdaClientCore::ShowStatus(const std::string& text) {
  if (statusBar_ == nullptr) return;
  if (statusBar_->SimplePanel()) {
    statusBar_->SetSimpleText(text);
  } else {
    statusBar_->SetPanelText(0, text);
  }
}

void TRdaClientCore::ShowWinInetStatus(uint32_t status) {
  if (statusBar_ != nullptr) statusBar_->SetPanelText(1, WinInetStatusText(status));
}

void TRdaClientCore::HttpStatus(uint32_t status) {
  Guarded([&] {
    if (events_.OnWinInetStatus) {
      events_.OnWinInetStatus(status);
    } else if (ownWinInetStatus_) {
      ShowWinInetStatus(status);
    }
  });
}

// ---------------------------------------------------------------------------------------
// HTTP tunnelling: switching the transport

void TRdaClientCore::SelectHttpTransport() {
  const bool wasTcp = transportMode_ == tmDirectTcp;
  const bool active = Active();
  transportMode_ = tmHttpWebServer;
  stack_.SetTransportMode(tmHttpWebServer);
  const TRdaWebServerSettings& web = settings_.WebServer;
  if (!web.RdaServerAddress.empty()) {
    proxiedAddress_ = web.RdaServerAddress;
  } else if (!settings_.Address.empty()) {
    proxiedAddress_ = settings_.Address;
  } else {
    proxiedAddress_ = settings_.Host;
  }
  proxiedPort_ = web.RdaServerPort;
  settings_.Host = web.WebServerAddress;
  settings_.Port = web.WebServerPort;
  directTcp_ = false;
  if (!active) settings_.Address.clear();
  if (statusBar_ != nullptr) {
    if (statusBar_->SimplePanel()) {
      statusBar_->SetSimpleText("");
    } else {
      statusBar_->SetPanelText(0, "");
    }
  }
  if (web.WinInetToStatusBar && !events_.OnWinInetStatus) ownWinInetStatus_ = true;
  // A connection open to the data server itself cannot carry HTTP requests.
  if (wasTcp) CloseNow();
}

void TRdaClientCore::SelectDirectTcp() {
  const bool wasHttp = Tunnelling();
  transportMode_ = tmDirectTcp;
  stack_.SetTransportMode(tmDirectTcp);
  settings_.Host.clear();
  settings_.Address.clear();
  const std::string& server = settings_.WebServer.RdaServerAddress;
  if (!server.empty() && IsLetter(server[0])) {
    settings_.Host = server;
  } else {
    settings_.Address = server;
  }
  settings_.Port = settings_.WebServer.RdaServerPort;
  directTcp_ = true;
  proxiedAddress_.clear();
  proxiedPort_ = 0;
  settings_.ClientType = ctNonBlocking;
  ownWinInetStatus_ = false;
  if (wasHttp) {
    CloseNow();
    outbox_.clear();  // HTTP requests: not for a data server's socket
    httpReader_.Reset();
    httpOutstanding_ = 0;
  }
}

void TRdaClientCore::SetupWebTunnel(const std::string& webServerAddress,
                                    const std::string& dataServerAddress, const std::string& path,
                                    uint16_t webServerPort, uint16_t dataServerPort) {
  if (transportMode_ == tmDirectTcp) CloseNow();
  transportMode_ = tmHttpWebServer;
  settings_.Address.clear();
  settings_.Host = webServerAddress;
  settings_.Port = webServerPort;
  directTcp_ = false;
  TRdaWebServerSettings& web = settings_.WebServer;
  web.RdaHttpDll = path;
  web.WebServerAddress = webServerAddress;
  web.WebServerPort = webServerPort;
  web.RdaServerAddress = dataServerAddress;
  web.RdaServerPort = dataServerPort;
  proxiedAddress_ = dataServerAddress;
  proxiedPort_ = dataServerPort;
  stack_.SetTransportMode(tmHttpWebServer);
}

// ---------------------------------------------------------------------------------------
// Server redirects

void TRdaClientCore::DoRedirect(const TRdaComponentMessage& m) {
  const std::string returnAddress = settings_.Address + ":" + std::to_string(settings_.Port);
  std::unique_ptr<TRdaParamList> list = TRdaParamList::FromText(m.Fields[0]);
  const std::string target = list->Items(0).AsString();
  anchorReturnAddress_ = returnAddress;
  SetAnchorStatus(TAAnchorReDirect);
  SetActive(false);
  CloseAndWait();
  const size_t colon = target.find(':');
  settings_.Address = target.substr(0, colon);
  settings_.Port = colon == std::string::npos ? 0 : StrToIntDef(target.substr(colon + 1), 0);
  settings_.AutoLoginDlg = ltLoginDlg;
  SetActive(true);
}

void TRdaClientCore::DoReconnect() {
  SetActive(false);
  if (state_ != TRdaConnectionState::Inactive) {
    driver_.Transport().Abort();
    state_ = TRdaConnectionState::Inactive;
    HandleDisconnect();
  }
  proxiedAddress_ = settings_.Address;
  proxiedPort_ = settings_.Port;
  SetActive(true);
  SetAnchorStatus(TACConnectedToServer);
}

void TRdaClientCore::DoReset() {
  ++loginAttempts_;
  SetAnchorStatus(TACNoAnchor);
  CloseAndWait();
  OpenAndWait();
}

// ---------------------------------------------------------------------------------------
// Connecting at load

bool TRdaClientCore::ApplyAddressRules() {
  std::string& address = settings_.Address;
  if (ContainsTextAscii(address, "LOCAL")) address = "127.0.0.1";
  if (address.empty() || !IsLetter(address[0])) {
    const size_t colon = address.find(':');
    // The colon must come after the fifth character ("1.2:99" stays as it is).
    if (colon != std::string::npos && colon >= 5) {
      settings_.Port = StrToIntDef(address.substr(colon + 1), 0);
      address = address.substr(0, colon);
    }
  } else {
    SetActive(false);
    settings_.Host = address;
  }
  if (address.empty() && settings_.Host.empty()) return false;

  const std::vector<std::string> params = driver_.CommandLine();
  const auto find = [&](std::string_view key) -> const std::string* {
    for (const std::string& p : params)
      if (ContainsTextAscii(p, key)) return &p;
    return nullptr;
  };
  const auto value = [](const std::string& p) {
    const size_t eq = p.find('=');
    return eq == std::string::npos ? p : p.substr(eq + 1);
  };
  if (const std::string* p = find("Port=")) {
    // The port is read at fixed positions: characters 6 to 10.
    const int v = p->size() > 5 ? StrToIntDef(p->substr(5, 5), 0) : 0;
    if (v > 0) settings_.Port = v;
  }
  if (find("HTTP") != nullptr) {
    transportMode_ = tmHttpProxy;
    stack_.SetTransportMode(tmHttpProxy);
  }
  if (const std::string* p = find("ServerProxiedAddress")) proxiedAddress_ = value(*p);
  if (const std::string* p = find("ServerProxiedPort")) proxiedPort_ = StrToIntDef(value(*p), 0);
  if (const std::string* p = find("IPAddress")) address = value(*p);
  if (!address.empty() && IsLetter(address[0])) settings_.Host = address;
  if (find("Compression") != nullptr) transforms_.SetCompression(acRdaZLib);
  if (find("Login") != nullptr) settings_.AutoLoginDlg = ltLoginDlg;
  return true;
}

// ---------------------------------------------------------------------------------------
// Components

int TRdaClientCore::ComponentId(TRdaComponent* component) {
  if (component == nullptr) return -1;
  for (const auto& [id, c] : registry_)
    if (c == component) return id;
  const int id = ++lastComponentId_;
  registry_.emplace_back(id, component);
  Remember(component);
  return id;
}

TRdaComponent* TRdaClientCore::ComponentById(int id) const {
  for (const auto& [i, c] : registry_)
    if (i == id) return c;
  return nullptr;
}

void TRdaClientCore::ReleaseComponentId(TRdaComponent* component) {
  std::erase_if(registry_, [&](const auto& entry) { return entry.second == component; });
  if (component != nullptr && std::find(datasets_.begin(), datasets_.end(), component) == datasets_.end())
    std::erase(component->connections_, this);
}

void TRdaClientCore::BindDataset(TRdaComponent* dataset) {
  if (dataset == nullptr) return;
  if (std::find(datasets_.begin(), datasets_.end(), dataset) == datasets_.end())
    datasets_.push_back(dataset);
  Remember(dataset);
}

void TRdaClientCore::UnbindDataset(TRdaComponent* dataset) {
  std::erase(datasets_, dataset);
  // Unknown to the connection now: it must not point back at us.
  if (dataset != nullptr && std::none_of(registry_.begin(), registry_.end(),
                                         [&](const auto& entry) { return entry.second == dataset; }))
    std::erase(dataset->connections_, this);
}

std::vector<TRdaComponent*> TRdaClientCore::KnownComponents() const {
  std::vector<TRdaComponent*> known;
  for (const auto& [id, component] : registry_) known.push_back(component);
  known.insert(known.end(), datasets_.begin(), datasets_.end());
  std::sort(known.begin(), known.end());
  known.erase(std::unique(known.begin(), known.end()), known.end());
  return known;
}

std::vector<TRdaComponent*> TRdaClientCore::DetachComponents() {
  const std::vector<TRdaComponent*> known = KnownComponents();
  registry_.clear();
  datasets_.clear();
  for (TRdaComponent* component : known) std::erase(component->connections_, this);
  return known;
}

void TRdaClientCore::Remember(TRdaComponent* component) {
  auto& c = component->connections_;
  if (std::find(c.begin(), c.end(), this) == c.end()) c.push_back(this);
}

void TRdaClientCore::ForgetComponent(TRdaComponent* component) {
  std::erase_if(registry_, [&](const auto& entry) { return entry.second == component; });
  std::erase(datasets_, component);
}

TRdaComponent::~TRdaComponent() {
  const std::vector<TRdaClientCore*> connections = connections_;
  for (TRdaClientCore* connection : connections) connection->ForgetComponent(this);
}

int32_t TRdaComponentMessage::Integer(int n) const {
  if (n < 1 || n > FieldCount) return 0;
  return StrToInt(Fields[static_cast<size_t>(n - 1)]);
}

TRdaStatusDisplay::~TRdaStatusDisplay() {
  const std::vector<TRdaClientCore*> users = users_;
  for (TRdaClientCore* user : users) user->SetStatusBar(nullptr);
}

// ---------------------------------------------------------------------------------------
// Copying

void TRdaClientCore::CopyTo(TRdaClientCore& c) {
  TakeSharedSettings(settings_, c.settings_);
  c.transportMode_ = transportMode_;
  c.stack_.SetTransportMode(transportMode_);
  c.proxiedAddress_ = proxiedAddress_;
  c.proxiedPort_ = proxiedPort_;
  c.directTcp_ = directTcp_;
  c.transforms_.SetEncryption(transforms_.Encryption());
  try {
    c.transforms_.SetCompression(transforms_.Compression());
  } catch (const Exception&) {
    // A refused acRdaCompress is copied as stored; sending reports it.
  }
  c.transforms_.SetEncryptKeyIn(transforms_.EncryptKeyIn());
  c.transforms_.SetEncryptKeyOut(transforms_.EncryptKeyOut());
  if (transforms_.Encryption() == etDESEncrypt) c.transforms_.SetDESKey(transforms_.EncryptKeyIn());
  c.transforms_.SetActiveEncryption(transforms_.ActiveEncryption());
  if (sessionId_ == 0 && c.sessionId_ != 0) {
    sessionId_ = c.sessionId_;
  } else {
    c.sessionId_ = sessionId_;
  }
  // The web server settings came with the rest; a copy on the HTTP transport is
  // switched to it as assigning them switches a connection.
  if (c.settings_.WebServer.UseWebServer) c.SelectHttpTransport();
}

// ---------------------------------------------------------------------------------------
// Deadlines

void TRdaClientCore::SetDeadline(std::optional<TimePoint>& deadline, TimePoint at) {
  const std::optional<TimePoint> before = NextDeadline();
  deadline = at;
  if (!before || at < *before) driver_.DeadlinesChanged();
}

void TRdaClientCore::StartReconnectTimer() {
  SetDeadline(reconnectDeadline_, clock_.Now() + kReconnectInterval);
}

void TRdaClientCore::Later(std::function<void()> action) {
  const bool first = later_.empty();
  later_.push_back(std::move(action));
  if (first) driver_.DeadlinesChanged();
}

std::optional<TRdaClientCore::TimePoint> TRdaClientCore::NextDeadline() const {
  if (!later_.empty()) return clock_.Now();
  std::optional<TimePoint> next;
  for (const std::optional<TimePoint>* d : {&replyDeadline_, &keepAliveDeadline_, &reconnectDeadline_})
    if (*d && (!next || **d < *next)) next = **d;
  return next;
}

void TRdaClientCore::ProcessDeadlines() {
  const std::weak_ptr<int> alive = alive_;
  // What server messages asked for, in order.
  while (!later_.empty()) {
    std::function<void()> action = std::move(later_.front());
    later_.pop_front();
    Guarded(action);
    if (alive.expired()) return;
  }
  const TimePoint now = clock_.Now();
  if (replyDeadline_ && *replyDeadline_ <= now) ReplyDeadlinePassed();
  if (alive.expired()) return;
  if (reconnectDeadline_ && *reconnectDeadline_ <= now) {
    // Tried again every half second while activating fails.
    reconnectDeadline_ = now + kReconnectInterval;
    Guarded([this] {
      SetActive(true);
      reconnectDeadline_.reset();
    });
  }
  if (alive.expired()) return;
  if (keepAliveDeadline_ && *keepAliveDeadline_ <= now) {
    if (Active()) {
      const int64_t ms = std::min<int64_t>(int64_t{settings_.KeepAlivePing} * keepAliveUnitMs_, INT_MAX);
      keepAliveDeadline_ = now + std::chrono::milliseconds(ms);
      Guarded([this] { SendCodedMessage(miKeepAlive, ""); });
    } else {
      keepAliveDeadline_.reset();
    }
  }
}

}  // namespace rda
