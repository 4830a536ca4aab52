// TRdaClientSocket: settings, the connection's life (open, close, connect, login,
// disconnect, socket errors, keep-alive, reconnect) and components. The message
// traffic is in RdaClientSocketExchange.cpp.
#include "connection/RdaClientSocket.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>

#include "base/Convert.h"
#include "connection/RdaClientSocketPrivate.h"
#include "connection/RdaGetIP.h"

namespace rda {

namespace {

constexpr char kBadLogin[] =
    "Bad Login Attempt.  Your User Name and Password was not validated at the server.";
constexpr char kLoginCancelledThreeTimes[] =
    "You have cancelled the Login Dialog three times.  The application will be terminated!";
constexpr char kLoginCancelledQuestion[] =
    "You have cancelled the Login Attempt, would you like to Exit the application?";
constexpr char kAddressNotSet[] = "The Server Address and Port have not been set properly.";
constexpr char kDisconnected[] = "Disconnected from server!";
constexpr int kReconnectIntervalMs = 500;
constexpr int kCloseLimitMs = 5000;

bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

std::string Upper(std::string_view s) {
  std::string u(s);
  for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return u;
}

bool ContainsNoCase(std::string_view text, std::string_view key) {
  return Upper(text).find(Upper(key)) != std::string::npos;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// TRdaClientSocketPrivate: construction and life

TRdaClientSocketPrivate::TRdaClientSocketPrivate(TRdaClientSocket& q)
    : q_(q), transport_(MakeTcpTransport()) {
  transport_->SetEvents(this);
  transforms_.StatelessStep = [this](std::string& body, bool packup) { StatelessStep(body, packup); };
  smartWait_.SetUserInterface(&headless_);
  reconnectTimer_.setInterval(kReconnectIntervalMs);
  QObject::connect(&reconnectTimer_, &QTimer::timeout, [this] {
    // The timer stays on when activating fails, so that it is tried again.
    Guarded([this] {
      SetActive(true);
      reconnectTimer_.stop();
    });
  });
  QObject::connect(&keepAliveTimer_, &QTimer::timeout, [this] {
    Guarded([this] {
      if (Active()) {
        SendCodedMessage(-1, "");
      } else {
        keepAliveTimer_.stop();
      }
    });
  });
  // The reply limit: the timer only checks a deadline that waits and received bytes
  // move, so that a quick exchange does not start and stop a timer each time.
  replyTimer_.setSingleShot(true);
  QObject::connect(&replyTimer_, &QTimer::timeout, [this] {
    bool waiting = false;
    for (Waiter* w : waiters_) waiting = waiting || (w->request && !w->ended);
    // An HTTP response that nobody waits for is bounded as well: it holds the socket
    // (or the request queue) that the next request needs.
    const bool httpPending = Tunnelling() && (httpOutstanding_ > 0 || httpReader_.InProgress());
    if (!waiting && !httpPending) return;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        replyDeadline_ - std::chrono::steady_clock::now());
    if (left.count() > 0) {
      replyTimer_.start(static_cast<int>(left.count()) + 1);
      return;
    }
    if (waiting) {
      for (Waiter* w : waiters_)
        if (w->request && !w->ended) w->timedOut = true;
      EndReplyWait(true);
      return;
    }
    closeRequested_ = true;
    DropConnection();
    ReportError(std::make_exception_ptr(ERdaConnectException(NoReplyText())));
  });
}

TRdaClientSocketPrivate::~TRdaClientSocketPrivate() {
  alive_.reset();
  smartWait_.Stop();
  WakeLoops();
  transport_->SetEvents(nullptr);
  transport_.reset();
  std::vector<TRdaComponent*> known;
  for (auto& [id, component] : registry_) known.push_back(component);
  known.insert(known.end(), datasets_.begin(), datasets_.end());
  std::sort(known.begin(), known.end());
  known.erase(std::unique(known.begin(), known.end()), known.end());
  registry_.clear();
  datasets_.clear();
  for (TRdaComponent* component : known) std::erase(component->connections_, &q_);
  for (TRdaComponent* component : known) component->ConnectionDestroyed(q_);
  if (statusBar_ != nullptr) std::erase(statusBar_->users_, &q_);
}

void TRdaClientSocketPrivate::SetTransport(std::unique_ptr<TRdaTransport> transport) {
  ReplaceTransport(std::move(transport));
  httpClient_ = nullptr;
  state_ = TRdaConnectionState::Inactive;
}

// The old transport may be the one whose event is being handled: it goes away once
// the event loop is back, never from inside its own signal.
void TRdaClientSocketPrivate::ReplaceTransport(std::unique_ptr<TRdaTransport> transport) {
  transport_->SetEvents(nullptr);
  transport_->Abort();
  std::shared_ptr<TRdaTransport> old(std::move(transport_));
  QTimer::singleShot(0, &replyTimer_, [old] {});
  transport_ = std::move(transport);
  transport_->SetEvents(this);
}

// The platform HTTP client form needs its own transport; every other form runs on TCP.
void TRdaClientSocketPrivate::EnsureTransport() {
  const bool want = ViaHttpClient();
  if (want == (httpClient_ != nullptr)) return;
  CloseNow();
  if (want) {
    std::unique_ptr<TRdaHttpClientTransport> http = MakeHttpClientTransport();
    httpClient_ = http.get();
    ReplaceTransport(std::move(http));
  } else {
    httpClient_ = nullptr;
    ReplaceTransport(MakeTcpTransport());
  }
  state_ = TRdaConnectionState::Inactive;
}

// Closes at once, as a close the application asked for (nothing is raised).
void TRdaClientSocketPrivate::CloseNow() {
  if (state_ == TRdaConnectionState::Inactive) return;
  closeRequested_ = true;
  transport_->Abort();
  if (state_ != TRdaConnectionState::Inactive) {
    state_ = TRdaConnectionState::Inactive;
    HandleDisconnect();
  }
}

void TRdaClientSocketPrivate::RenewStack() {
  stack_ = TRdaMessageStack();
  stack_.SetTransportMode(transportMode_);
}

std::string TRdaClientSocketPrivate::NoReplyText() const {
  return "No reply from the server within " + std::to_string(settings_.ReplyTimeout) +
         " ms; the connection has been closed.";
}

void TRdaClientSocketPrivate::SetActive(bool value) {
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
    transport_->Open(OpenTarget(), static_cast<uint16_t>(settings_.Port), settings_.ConnectTimeout);
    return;
  }
  if (state_ == TRdaConnectionState::Inactive) return;
  closeRequested_ = true;
  state_ = TRdaConnectionState::Closing;
  // A connection with nothing left to send closes at once and reports it here.
  transport_->Close();
  if (transport_->IsIdle() && state_ != TRdaConnectionState::Inactive) {
    state_ = TRdaConnectionState::Inactive;
    HandleDisconnect();
  }
}

void TRdaClientSocketPrivate::WakeLoops() {
  for (QEventLoop* loop : loops_) loop->exit(1);
}

void TRdaClientSocketPrivate::RunLoopUntil(const std::function<bool()>& done, int limitMs) {
  QEventLoop loop;
  loops_.push_back(&loop);
  struct Pop {
    std::vector<QEventLoop*>& loops;
    ~Pop() { loops.pop_back(); }
  } pop{loops_};
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
  // WakeLoops and the limit end exec with 1; anything else is the application quitting.
  while (!done() && !expired)
    if (loop.exec(QEventLoop::ExcludeUserInputEvents) != 1) break;
}

void TRdaClientSocketPrivate::OpenAndWait() {
  SetActive(true);
  lastSocketError_ = 0;
  waitingForOpen_ = true;
  Waiter waiter;
  waiters_.push_back(&waiter);
  struct Done {
    TRdaClientSocketPrivate& d;
    ~Done() {
      std::erase(d.waiters_, &waiter);
      d.waitingForOpen_ = false;
    }
    Waiter& waiter;
  } done{*this, waiter};
  RunLoopUntil([&] { return Active() || lastSocketError_ > 0 || !waitingForOpen_ || waiter.error; },
               0);
  if (waiter.error) std::rethrow_exception(waiter.error);
}

void TRdaClientSocketPrivate::CloseAndWait() {
  SetActive(false);
  RunLoopUntil([this] { return transport_->IsIdle(); }, kCloseLimitMs);
  if (!transport_->IsIdle()) transport_->Abort();
  if (state_ != TRdaConnectionState::Inactive) {
    state_ = TRdaConnectionState::Inactive;
    HandleDisconnect();
  }
}

// The connection is closed by us after a protocol error: the error is the report, so
// the disconnect handling raises nothing more.
void TRdaClientSocketPrivate::DropConnection() {
  closeReported_ = true;
  // Whatever the response being read was, it is not to be finished by the close.
  httpReader_.Reset();
  transport_->Abort();
  state_ = TRdaConnectionState::Inactive;
  HandleDisconnect();
  RenewStack();
  httpReader_.Reset();
  httpOutstanding_ = 0;
  httpInFlightWaits_ = false;
}

void TRdaClientSocketPrivate::EndApplication() { UI().TerminateApplication(); }

// ---------------------------------------------------------------------------------------
// Socket events

void TRdaClientSocketPrivate::TransportLookup() {
  Guarded([this] {
    if (q_.OnLookup) q_.OnLookup();
  });
}

void TRdaClientSocketPrivate::TransportConnecting() {
  Guarded([this] {
    if (q_.OnConnecting) q_.OnConnecting();
  });
}

void TRdaClientSocketPrivate::TransportConnected() {
  state_ = TRdaConnectionState::Connected;
  Guarded([this] {
    if (q_.OnConnect) q_.OnConnect();
    DoConnected();
  });
  WakeLoops();
}

void TRdaClientSocketPrivate::TransportDisconnected() {
  // Bytes that arrived with the close are still handled (a blocking exchange reads
  // its own).
  if (!inBlockingExchange_) Guarded([this] {
      ReceiveFromTransport();
      if (HandBuiltHttp()) ProcessHttpEnd();
    });
  state_ = TRdaConnectionState::Inactive;
  Guarded([this] {
    if (q_.OnDisconnect) q_.OnDisconnect();
    HandleDisconnect();
  });
  WakeLoops();
}

void TRdaClientSocketPrivate::TransportBytesWritten() {
  Guarded([this] {
    if (q_.OnWrite) q_.OnWrite();
  });
}

void TRdaClientSocketPrivate::TransportError(int code, TErrorEvent kind, bool peerClosed) {
  if (inBlockingExchange_) {
    // BlockingExchange reports its own failures to its caller.
    lastSocketError_ = code;
    return;
  }
  Guarded([&] {
    bool gone = peerClosed || !transport_->IsConnected();
    if (peerClosed) {
      // Qt reports an orderly close and a reset alike. Between messages it is the
      // server closing (the disconnect handling follows); inside a message the stream
      // was cut, which is what 10054 tells. An HTTP response says itself whether it
      // was cut (ProcessHttpEnd raises then).
      ReceiveFromTransport();
      if (HandBuiltHttp()) {
        ProcessHttpEnd();
        return;
      }
      if (stack_.Used() == 0) return;
    }
    lastSocketError_ = code;
    WakeLoops();
    if (!directTcp_) EndReplyWait(true);
    if (q_.OnError) {
      q_.OnError(kind, code);
      if (gone && transport_->IsIdle() && state_ == TRdaConnectionState::Opening)
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
      if (!peerClosed) transport_->Abort();  // a closing peer is being closed by Qt
      state_ = TRdaConnectionState::Inactive;
      HandleDisconnect();
    }
    const std::string text = SocketErrorMessage(code);
    if (!SocketErrorText(code).empty() && settings_.SQLErrorHandling.Contains(seSocketErrorNoException)) {
      UI().ShowMessage(text);
      return;
    }
    throw ESocketError(text, code);
  });
  WakeLoops();
}

std::string TRdaClientSocketPrivate::SocketErrorMessage(int code) const {
  const std::string text = SocketErrorText(code);
  if (text.empty()) return "Asynchronous socket error " + std::to_string(code);
  return text + " at " + OpenTarget() + " on Port:" + std::to_string(settings_.Port);
}

void TRdaClientSocketPrivate::DoConnected() {
  transforms_.ResetByteTotals();
  wasConnected_ = true;
  // The platform HTTP client "connects" without reaching anything: the state shows
  // the server as reached when its first answer comes (TransportResponse).
  if (!ViaHttpClient()) SetAnchorStatus(TACConnectedToServer);
  if (TunnelsOverHttp()) {
    // Nothing to log in or ask: every request stands on its own (or on its session
    // header). What waits for this connection goes now.
    PumpOutbox();
    return;
  }
  if (settings_.ClientType == ctBlocking) return;
  transforms_.RefreshActiveEncryption();
  if (settings_.ApplicationName.empty() && QCoreApplication::instance() != nullptr)
    settings_.ApplicationName = QFileInfo(QCoreApplication::applicationFilePath()).fileName().toStdString();
  SendLogin();
  for (TRdaComponent* dataset : std::vector<TRdaComponent*>(datasets_))
    if (dataset->TakeDeferredOpen()) dataset->Reopen(q_);
  if (transportMode_ == 0 && Active()) SendServerUtilityRequest(6, "");
  // Mode 1 over a direct socket: requests sent while it was opening go now, behind
  // the login.
  if (HandBuiltHttp()) PumpOutbox();
}

void TRdaClientSocketPrivate::SendLogin() {
  if (settings_.AutoLoginDlg == ltNoChallenge) return;
  if (TunnelsOverHttp()) return;
  if (settings_.AutoLoginDlg == ltLoginDlg) {
    if (!Active()) return;
    int cancels = 0;
    while (true) {
      std::optional<TRdaLoginEntry> entry = UI().LoginDialog();
      if (entry) {
        settings_.UserName = entry->UserName;
        settings_.Password = entry->Password;
        break;
      }
      if (++cancels >= 3) {
        UI().ShowMessage(kLoginCancelledThreeTimes);
        EndApplication();
        return;
      }
      if (UI().AskYesNo(kLoginCancelledQuestion)) {
        EndApplication();
        return;
      }
      if (!Active()) break;
    }
  }
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
  line.SetToken(17);
  line.SetMsgId(0);
  line.AddField(static_cast<int32_t>(settings_.AutoLoginDlg));
  line.AddField(settings_.UserName);
  line.AddField(settings_.Password);
  line.AddField(settings_.ApplicationName);
  line.AddField(settings_.ApplicationVersion + '\x02' + params);
  SendMessage(line, true);
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void TRdaClientSocketPrivate::DoLoginReply(const TRdaComponentMessage& m) {
  EndReplyWait(false);
  const bool verified = m.Integer(1) == 1;
  ++loginAttempts_;
  bool ended = false;
  if (q_.OnLoginParamsAttempt) {
    std::unique_ptr<TRdaParamList> params = TRdaParamList::FromText(m.Fields[1]);
    q_.OnLoginParamsAttempt(verified, *params);
  } else if (q_.OnLoginAttempt) {
    q_.OnLoginAttempt(verified);
  } else if (!verified) {
    UI().ShowMessage(kBadLogin);
    EndApplication();
    ended = true;
  }
  if (verified || settings_.LoginMaxAttempts <= 0 || ended) return;
  if (loginAttempts_ >= settings_.LoginMaxAttempts) {
    UI().ShowMessage(kBadLogin);
    EndApplication();
    return;
  }
  // The next attempt logs in on a new connection: close this one, so that the
  // reconnect also happens when the server keeps a refused client connected.
  SetActive(false);
  StartReconnectTimer();
}

void TRdaClientSocketPrivate::StartReconnectTimer() { reconnectTimer_.start(); }

void TRdaClientSocketPrivate::HandleDisconnect() {
  if (disconnectHandled_) return;
  disconnectHandled_ = true;
  const bool unexpected = !closeRequested_;
  const bool reported = closeReported_;
  SetKeepAlivePing(0);
  transforms_.RefreshActiveEncryption();
  SetAnchorStatus(TACDisconnectedFromServer);
  // A hand-built HTTP request still in the Outbox has not been lost with the
  // connection: its sender goes on waiting while the connection reopens to send it.
  // (Only the request on the wire is lost; one waits at a time, so when that one
  // did not wait, the waiting one is still queued.)
  const bool queuedWaiter =
      HandBuiltHttp() && TunnelsOverHttp() && !(httpOutstanding_ > 0 && httpInFlightWaits_) &&
      std::any_of(outbox_.begin(), outbox_.end(), [](const TRdaOutboxEntry& e) { return e.Waits; });
  if (!queuedWaiter) {
    for (Waiter* w : waiters_)
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
    settings_.Port = colon == std::string::npos ? 0 : StrToIntDef(anchorReturnAddress_.substr(colon + 1), 0);
    SetAnchorStatus(TACConnectedToAnchor);
    StartReconnectTimer();
  }
  transforms_.ResetByteTotals();
  if (!unexpected || reported) return;
  if (q_.OnDisconnect || !directTcp_ || settings_.ClientType == ctBlocking ||
      settings_.SQLErrorHandling.Contains(seNoExceptionOnDisconnect))
    return;
  throw ERdaConnectException(kDisconnected);
}

void TRdaClientSocketPrivate::SetKeepAlivePing(int minutes) {
  settings_.KeepAlivePing = minutes;
  if (minutes <= 0) {
    keepAliveTimer_.stop();
    return;
  }
  const int64_t ms = int64_t{minutes} * keepAliveUnitMs_;
  keepAliveTimer_.start(static_cast<int>(std::min<int64_t>(ms, INT_MAX)));
}

// ---------------------------------------------------------------------------------------
// State texts

void TRdaClientSocketPrivate::SetAnchorStatus(TClientAnchorStatus status) {
  anchorStatus_ = status;
  const std::string text = AnchorStatusText();
  ShowStatus(text);
  if (q_.OnConnectStatusChange) q_.OnConnectStatusChange(text);
}

std::string TRdaClientSocketPrivate::AnchorStatusText() const {
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
      return "Connecting from Anchor to Server " + settings_.Address + ":" + std::to_string(settings_.Port);
  }
  return {};
}

void TRdaClientSocketPrivate::ShowStatus(const std::string& text) {
  if (statusBar_ == nullptr) return;
  if (statusBar_->SimplePanel()) {
    statusBar_->SetSimpleText(text);
  } else {
    statusBar_->SetPanelText(0, text);
  }
}

// ---------------------------------------------------------------------------------------
// HTTP tunnelling: switching the transport

void TRdaClientSocketPrivate::SelectHttpTransport() {
  const bool wasTcp = transportMode_ == 0;
  const bool active = Active();
  transportMode_ = 2;
  stack_.SetTransportMode(2);
  if (!webServer_.RdaServerAddress().empty()) {
    proxiedAddress_ = webServer_.RdaServerAddress();
  } else if (!settings_.Address.empty()) {
    proxiedAddress_ = settings_.Address;
  } else {
    proxiedAddress_ = settings_.Host;
  }
  proxiedPort_ = webServer_.RdaServerPort();
  settings_.Host = webServer_.WebServerAddress();
  settings_.Port = webServer_.WebServerPort();
  directTcp_ = false;
  if (!active) settings_.Address.clear();
  if (statusBar_ != nullptr) {
    if (statusBar_->SimplePanel()) {
      statusBar_->SetSimpleText("");
    } else {
      statusBar_->SetPanelText(0, "");
    }
  }
  if (webServer_.WinInetToStatusBar() && !q_.OnWinInetStatus) ownWinInetStatus_ = true;
  // A connection open to the data server itself cannot carry HTTP requests.
  if (wasTcp) CloseNow();
}

void TRdaClientSocketPrivate::SelectDirectTcp() {
  const bool wasHttp = Tunnelling();
  transportMode_ = 0;
  stack_.SetTransportMode(0);
  settings_.Host.clear();
  settings_.Address.clear();
  const std::string& server = webServer_.RdaServerAddress();
  if (!server.empty() && IsLetter(server[0])) {
    settings_.Host = server;
  } else {
    settings_.Address = server;
  }
  settings_.Port = webServer_.RdaServerPort();
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

void TRdaClientSocketPrivate::SetupWebTunnel(const std::string& webServerAddress,
                                             const std::string& dataServerAddress,
                                             const std::string& path, uint16_t webServerPort,
                                             uint16_t dataServerPort) {
  if (transportMode_ == 0) CloseNow();
  transportMode_ = 2;
  settings_.Address.clear();
  settings_.Host = webServerAddress;
  settings_.Port = webServerPort;
  directTcp_ = false;
  webServer_.SetRdaHttpDll(path);
  webServer_.SetWebServerAddress(webServerAddress);
  webServer_.SetWebServerPort(webServerPort);
  webServer_.SetRdaServerAddress(dataServerAddress);
  webServer_.SetRdaServerPort(dataServerPort);
  proxiedAddress_ = dataServerAddress;
  proxiedPort_ = dataServerPort;
  stack_.SetTransportMode(2);
}

void TRdaClientSocketPrivate::ShowWinInetStatus(uint32_t status) {
  if (statusBar_ != nullptr) statusBar_->SetPanelText(1, WinInetStatusText(status));
}

void TRdaClientSocketPrivate::TransportStatus(uint32_t status) {
  Guarded([&] {
    if (q_.OnWinInetStatus) {
      q_.OnWinInetStatus(status);
    } else if (ownWinInetStatus_) {
      ShowWinInetStatus(status);
    }
  });
}

// ---------------------------------------------------------------------------------------
// Server redirects

void TRdaClientSocketPrivate::DoRedirect(const TRdaComponentMessage& m) {
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

void TRdaClientSocketPrivate::DoReconnect() {
  SetActive(false);
  if (state_ != TRdaConnectionState::Inactive) {
    transport_->Abort();
    state_ = TRdaConnectionState::Inactive;
    HandleDisconnect();
  }
  proxiedAddress_ = settings_.Address;
  proxiedPort_ = settings_.Port;
  SetActive(true);
  SetAnchorStatus(TACConnectedToServer);
}

void TRdaClientSocketPrivate::DoReset() {
  ++loginAttempts_;
  SetAnchorStatus(TACNoAnchor);
  CloseAndWait();
  OpenAndWait();
}

// ---------------------------------------------------------------------------------------
// Connecting at load

bool TRdaClientSocketPrivate::ApplyAddressRules() {
  if (ContainsNoCase(settings_.Address, "LOCAL")) settings_.Address = "127.0.0.1";
  if (settings_.Address.empty() || !IsLetter(settings_.Address[0])) {
    const size_t colon = settings_.Address.find(':');
    // The colon must come after the fifth character ("1.2:99" stays as it is).
    if (colon != std::string::npos && colon >= 5) {
      settings_.Port = StrToIntDef(settings_.Address.substr(colon + 1), 0);
      settings_.Address = settings_.Address.substr(0, colon);
    }
  } else {
    SetActive(false);
    settings_.Host = settings_.Address;
  }
  if (settings_.Address.empty() && settings_.Host.empty()) return false;

  std::vector<std::string> params;
  if (commandLine_) {
    params = *commandLine_;
  } else if (QCoreApplication::instance() != nullptr) {
    const QStringList args = QCoreApplication::arguments();
    for (qsizetype i = 1; i < args.size(); ++i) params.push_back(args[i].toStdString());
  }
  const auto find = [&](std::string_view key) -> const std::string* {
    for (const std::string& p : params)
      if (ContainsNoCase(p, key)) return &p;
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
    transportMode_ = 1;
    stack_.SetTransportMode(1);
  }
  if (const std::string* p = find("ServerProxiedAddress")) proxiedAddress_ = value(*p);
  if (const std::string* p = find("ServerProxiedPort")) proxiedPort_ = StrToIntDef(value(*p), 0);
  if (const std::string* p = find("IPAddress")) settings_.Address = value(*p);
  if (!settings_.Address.empty() && IsLetter(settings_.Address[0])) settings_.Host = settings_.Address;
  if (find("Compression") != nullptr) transforms_.SetCompression(acRdaZLib);
  if (find("Login") != nullptr) settings_.AutoLoginDlg = ltLoginDlg;
  return true;
}

void TRdaClientSocketPrivate::Loaded() {
  switch (settings_.ConnectAction) {
    case caNone:
      return;
    case caUseDesignAddress:
      break;
    case caFastConnect: {
      std::optional<std::string> chosen = AskServerAddress(UI());
      if (!chosen) return;  // cancelled: the application is ending
      settings_.Address = *chosen;
      break;
    }
    case caFastConnectCombo: {
      std::string chosen = ChooseIPAddress(UI(), true);
      if (chosen.empty()) return;  // cancelled: the application is ending
      settings_.Address = chosen;
      break;
    }
    case caCustomConnect:
      settings_.Address.clear();
      settings_.Host.clear();
      settings_.Port = 0;
      if (q_.OnCustomConnect) q_.OnCustomConnect();
      if ((settings_.Address.empty() && settings_.Host.empty()) || settings_.Port == 0) {
        UI().ShowMessage(kAddressNotSet);
        EndApplication();
        return;
      }
      break;
  }
  if (ApplyAddressRules()) SetActive(true);
}

// ---------------------------------------------------------------------------------------
// Components

void TRdaClientSocketPrivate::Remember(TRdaComponent* component) {
  auto& c = component->connections_;
  if (std::find(c.begin(), c.end(), &q_) == c.end()) c.push_back(&q_);
}

void TRdaClientSocketPrivate::ForgetComponent(TRdaComponent* component) {
  std::erase_if(registry_, [&](const auto& entry) { return entry.second == component; });
  std::erase(datasets_, component);
}

TRdaComponent::~TRdaComponent() {
  const std::vector<TRdaClientSocket*> connections = connections_;
  for (TRdaClientSocket* connection : connections) connection->d_->ForgetComponent(this);
}

int32_t TRdaComponentMessage::Integer(int n) const {
  if (n < 1 || n > FieldCount) return 0;
  return StrToInt(Fields[static_cast<size_t>(n - 1)]);
}

// ---------------------------------------------------------------------------------------
// TRdaClientSocket

TRdaClientSocket::TRdaClientSocket() : d_(std::make_unique<TRdaClientSocketPrivate>(*this)) {}
TRdaClientSocket::~TRdaClientSocket() = default;

const TRdaConnectionSettings& TRdaClientSocket::Settings() const { return d_->settings_; }
bool TRdaClientSocket::Active() const { return d_->Active(); }
void TRdaClientSocket::SetActive(bool value) { d_->SetActive(value); }
const std::string& TRdaClientSocket::Address() const { return d_->settings_.Address; }
void TRdaClientSocket::SetAddress(const std::string& value) { d_->settings_.Address = value; }
const std::string& TRdaClientSocket::Host() const { return d_->settings_.Host; }
void TRdaClientSocket::SetHost(const std::string& value) { d_->settings_.Host = value; }
int TRdaClientSocket::Port() const { return d_->settings_.Port; }
void TRdaClientSocket::SetPort(int value) { d_->settings_.Port = value; }
const std::string& TRdaClientSocket::Service() const { return d_->settings_.Service; }
void TRdaClientSocket::SetService(const std::string& value) { d_->settings_.Service = value; }
TClientType TRdaClientSocket::ClientType() const { return d_->settings_.ClientType; }
void TRdaClientSocket::SetClientType(TClientType value) { d_->settings_.ClientType = value; }
TRdaConnectAction TRdaClientSocket::ConnectAction() const { return d_->settings_.ConnectAction; }
void TRdaClientSocket::SetConnectAction(TRdaConnectAction value) { d_->settings_.ConnectAction = value; }
TLoginType TRdaClientSocket::AutoLoginDlg() const { return d_->settings_.AutoLoginDlg; }
void TRdaClientSocket::SetAutoLoginDlg(TLoginType value) { d_->settings_.AutoLoginDlg = value; }
const std::string& TRdaClientSocket::UserName() const { return d_->settings_.UserName; }
void TRdaClientSocket::SetUserName(const std::string& value) { d_->settings_.UserName = value; }
const std::string& TRdaClientSocket::Password() const { return d_->settings_.Password; }
void TRdaClientSocket::SetPassword(const std::string& value) { d_->settings_.Password = value; }
int TRdaClientSocket::LoginMaxAttempts() const { return d_->settings_.LoginMaxAttempts; }
void TRdaClientSocket::SetLoginMaxAttempts(int value) { d_->settings_.LoginMaxAttempts = value; }
const std::string& TRdaClientSocket::ApplicationName() const { return d_->settings_.ApplicationName; }
void TRdaClientSocket::SetApplicationName(const std::string& value) {
  d_->settings_.ApplicationName = value;
}
const std::string& TRdaClientSocket::ApplicationVersion() const {
  return d_->settings_.ApplicationVersion;
}
void TRdaClientSocket::SetApplicationVersion(const std::string& value) {
  d_->settings_.ApplicationVersion = value;
}
const std::string& TRdaClientSocket::PatchFile() const { return d_->settings_.PatchFile; }
void TRdaClientSocket::SetPatchFile(const std::string& value) { d_->settings_.PatchFile = value; }
int TRdaClientSocket::KeepAlivePing() const { return d_->settings_.KeepAlivePing; }
void TRdaClientSocket::SetKeepAlivePing(int minutes) { d_->SetKeepAlivePing(minutes); }
TRdaEncryption TRdaClientSocket::Encryption() const { return d_->transforms_.Encryption(); }
void TRdaClientSocket::SetEncryption(TRdaEncryption value) {
  d_->transforms_.SetEncryption(value);
}
TRdaCompression TRdaClientSocket::Compression() const { return d_->transforms_.Compression(); }
void TRdaClientSocket::SetCompression(TRdaCompression value) {
  d_->transforms_.SetCompression(value);
}
const std::string& TRdaClientSocket::EncryptKeyIn() const {
  return d_->transforms_.EncryptKeyIn();
}
void TRdaClientSocket::SetEncryptKeyIn(const std::string& value) {
  d_->transforms_.SetEncryptKeyIn(value);
}
const std::string& TRdaClientSocket::EncryptKeyOut() const {
  return d_->transforms_.EncryptKeyOut();
}
void TRdaClientSocket::SetEncryptKeyOut(const std::string& value) {
  d_->transforms_.SetEncryptKeyOut(value);
}
TRdaStatusDisplay* TRdaClientSocket::StatusBar() const { return d_->statusBar_; }
void TRdaClientSocket::SetStatusBar(TRdaStatusDisplay* value) {
  if (d_->statusBar_ != nullptr) std::erase(d_->statusBar_->users_, this);
  d_->statusBar_ = value;
  if (value == nullptr) return;
  value->users_.push_back(this);
  d_->ShowStatus(d_->AnchorStatusText());
}
TClientAnchorStatus TRdaClientSocket::AnchorStatus() const { return d_->anchorStatus_; }
std::string TRdaClientSocket::AnchorStatusText() const { return d_->AnchorStatusText(); }
bool TRdaClientSocket::ProgressBar() const { return d_->settings_.ProgressBar; }
void TRdaClientSocket::SetProgressBar(bool value) { d_->settings_.ProgressBar = value; }
TWaitingCursor TRdaClientSocket::CursorOnQueries() const { return d_->settings_.CursorOnQueries; }
void TRdaClientSocket::SetCursorOnQueries(TWaitingCursor value) {
  d_->settings_.CursorOnQueries = value;
  d_->smartWait_.SetWaitingCursor(value);
}
TRdaSQLErrorSet TRdaClientSocket::SQLErrorHandling() const { return d_->settings_.SQLErrorHandling; }
void TRdaClientSocket::SetSQLErrorHandling(TRdaSQLErrorSet value) {
  d_->settings_.SQLErrorHandling = value;
}
TSQLDialect TRdaClientSocket::SQLDialect() const { return d_->settings_.SQLDialect; }
void TRdaClientSocket::SetSQLDialect(TSQLDialect value) {
  d_->settings_.SQLDialect = value;
  switch (value) {
    case sqlNone:
      d_->settings_.SQLOptions = {};
      break;
    case sqlLocalSQL:
    case sqlDBISAM:
      d_->settings_.SQLOptions = {ssUseQuotesInFieldNames, ssUSDatesForLocalSQL};
      break;
    case sqlAccess:
      d_->settings_.SQLOptions = {ssTerminateWithSemiColon};
      break;
    case sqlMSSQLServer:
      d_->settings_.SQLOptions = {ssBooleanAsInteger, ssUseISInNuLLcompares};
      break;
    case sqlOracle:
      d_->settings_.DateMaskForSQL = "DD-MMM-YYYY";
      d_->settings_.DateTimeMaskForSQL = "DD-MMM-YYYY HH:NN:SS";
      break;
    case sqlAdvantage:
      d_->settings_.SQLOptions = {ssUseQuotesInFieldNames, ssNoTableNameInUpdateStatements};
      d_->settings_.DateMaskForSQL = "YYYY-MM-DD";
      d_->settings_.DateTimeMaskForSQL = "YYYY-MM-DD HH:NN:SS";
      break;
    case sqlSQLAnywhere:
    case sqlInterbase:
    case sqlCustom:
      break;
  }
}
TRdaServerSQLOptions TRdaClientSocket::SQLOptions() const { return d_->settings_.SQLOptions; }
void TRdaClientSocket::SetSQLOptions(TRdaServerSQLOptions value) { d_->settings_.SQLOptions = value; }
TRdaUpdateSQL TRdaClientSocket::UpdateSQLSyntax() const { return d_->settings_.UpdateSQLSyntax; }
void TRdaClientSocket::SetUpdateSQLSyntax(TRdaUpdateSQL value) { d_->settings_.UpdateSQLSyntax = value; }
const std::string& TRdaClientSocket::DateMaskForSQL() const { return d_->settings_.DateMaskForSQL; }
void TRdaClientSocket::SetDateMaskForSQL(const std::string& value) {
  d_->settings_.DateMaskForSQL = value;
}
const std::string& TRdaClientSocket::TimeMaskForSQL() const { return d_->settings_.TimeMaskForSQL; }
void TRdaClientSocket::SetTimeMaskForSQL(const std::string& value) {
  d_->settings_.TimeMaskForSQL = value;
}
const std::string& TRdaClientSocket::DateTimeMaskForSQL() const {
  return d_->settings_.DateTimeMaskForSQL;
}
void TRdaClientSocket::SetDateTimeMaskForSQL(const std::string& value) {
  d_->settings_.DateTimeMaskForSQL = value;
}
const std::string& TRdaClientSocket::SQLTransactionStart() const {
  return d_->settings_.SQLTransactionStart;
}
void TRdaClientSocket::SetSQLTransactionStart(const std::string& value) {
  d_->settings_.SQLTransactionStart = value;
}
const std::string& TRdaClientSocket::SQLTransactionEnd() const { return d_->settings_.SQLTransactionEnd; }
void TRdaClientSocket::SetSQLTransactionEnd(const std::string& value) {
  d_->settings_.SQLTransactionEnd = value;
}
TServerMetaCacheOptions TRdaClientSocket::CacheMetaDataOptions() const {
  return d_->settings_.CacheMetaDataOptions;
}
void TRdaClientSocket::SetCacheMetaDataOptions(TServerMetaCacheOptions value) {
  d_->settings_.CacheMetaDataOptions = value;
}
const std::string& TRdaClientSocket::CacheMetaDataFileName() const {
  return d_->settings_.CacheMetaDataFileName;
}
void TRdaClientSocket::SetCacheMetaDataFileName(const std::string& value) {
  d_->settings_.CacheMetaDataFileName = value;
}
const std::string& TRdaClientSocket::DTUserName() const { return d_->settings_.DTUserName; }
void TRdaClientSocket::SetDTUserName(const std::string& value) { d_->settings_.DTUserName = value; }
const std::string& TRdaClientSocket::DTPassword() const { return d_->settings_.DTPassword; }
void TRdaClientSocket::SetDTPassword(const std::string& value) { d_->settings_.DTPassword = value; }
const std::string& TRdaClientSocket::UserKey() const { return d_->settings_.UserKey; }
void TRdaClientSocket::SetUserKey(const std::string& value) { d_->settings_.UserKey = value; }
const std::string& TRdaClientSocket::About() const { return d_->settings_.About; }
void TRdaClientSocket::SetAbout(const std::string& value) { d_->settings_.About = value; }
int TRdaClientSocket::ReplyTimeout() const { return d_->settings_.ReplyTimeout; }
void TRdaClientSocket::SetReplyTimeout(int ms) { d_->settings_.ReplyTimeout = std::max(0, ms); }
int TRdaClientSocket::ConnectTimeout() const { return d_->settings_.ConnectTimeout; }
void TRdaClientSocket::SetConnectTimeout(int ms) {
  d_->settings_.ConnectTimeout = std::max(0, ms);
}
int TRdaClientSocket::BlockingTimeout() const { return d_->settings_.BlockingTimeout; }
void TRdaClientSocket::SetBlockingTimeout(int ms) { d_->settings_.BlockingTimeout = std::max(0, ms); }
int TRdaClientSocket::WriteChunkSize() const { return d_->settings_.WriteChunkSize; }
void TRdaClientSocket::SetWriteChunkSize(int bytes) {
  if (bytes > 0) d_->settings_.WriteChunkSize = bytes;
}

TRdaConnectionState TRdaClientSocket::State() const { return d_->state_; }
uint8_t TRdaClientSocket::TransportMode() const { return d_->transportMode_; }
bool TRdaClientSocket::DirectTcp() const { return d_->directTcp_; }
const std::string& TRdaClientSocket::ProxiedAddress() const { return d_->proxiedAddress_; }
void TRdaClientSocket::SetProxiedAddress(const std::string& value) { d_->proxiedAddress_ = value; }
int TRdaClientSocket::ProxiedPort() const { return d_->proxiedPort_; }
void TRdaClientSocket::SetProxiedPort(int value) { d_->proxiedPort_ = value; }
TRdaWebServer& TRdaClientSocket::WebServer() { return d_->webServer_; }
const TRdaWebServer& TRdaClientSocket::WebServer() const { return d_->webServer_; }
void TRdaClientSocket::SetWebServer(const TRdaWebServer& value) { d_->webServer_.Assign(value); }
void TRdaClientSocket::SetupWebTunnel(const std::string& webServerAddress,
                                      const std::string& dataServerAddress, const std::string& path,
                                      uint16_t webServerPort, uint16_t dataServerPort) {
  d_->SetupWebTunnel(webServerAddress, dataServerAddress, path, webServerPort, dataServerPort);
}
const std::string& TRdaClientSocket::ProxyUserName() const { return d_->settings_.ProxyUserName; }
void TRdaClientSocket::SetProxyUserName(const std::string& value) { d_->settings_.ProxyUserName = value; }
const std::string& TRdaClientSocket::ProxyPassword() const { return d_->settings_.ProxyPassword; }
void TRdaClientSocket::SetProxyPassword(const std::string& value) { d_->settings_.ProxyPassword = value; }
const std::string& TRdaClientSocket::SocksHost() const { return d_->settings_.SocksHost; }
void TRdaClientSocket::SetSocksHost(const std::string& value) { d_->settings_.SocksHost = value; }
int TRdaClientSocket::SocksPort() const { return d_->settings_.SocksPort; }
void TRdaClientSocket::SetSocksPort(int value) { d_->settings_.SocksPort = value; }
TRdaEncryption TRdaClientSocket::ActiveEncryption() const {
  return d_->transforms_.ActiveEncryption();
}
int TRdaClientSocket::PendingReplies() const { return d_->pendingReplies_; }
bool TRdaClientSocket::WaitingForOpen() const { return d_->waitingForOpen_; }
int TRdaClientSocket::LastSocketError() const { return d_->lastSocketError_; }
int TRdaClientSocket::LoginAttempts() const { return d_->loginAttempts_; }
int TRdaClientSocket::ConnectAttempts() const { return d_->connectAttempts_; }
int64_t TRdaClientSocket::BytesOutTotal() const { return d_->transforms_.BytesOutTotal(); }
int64_t TRdaClientSocket::BytesInTotal() const { return d_->transforms_.BytesInTotal(); }
const std::string& TRdaClientSocket::ReplyText() const { return d_->replyText_; }
void TRdaClientSocket::SetReplyText(const std::string& value) { d_->replyText_ = value; }
bool TRdaClientSocket::ReplyIsError() const { return d_->replyIsError_; }
void TRdaClientSocket::SetReplyIsError(bool value) { d_->replyIsError_ = value; }
bool TRdaClientSocket::RaiseSqlImmediately() const { return d_->raiseSqlImmediately_; }
void TRdaClientSocket::SetRaiseSqlImmediately(bool value) { d_->raiseSqlImmediately_ = value; }
bool TRdaClientSocket::CallerTakesErrors() const { return d_->callerTakesErrors_; }
void TRdaClientSocket::SetCallerTakesErrors(bool value) { d_->callerTakesErrors_ = value; }
int32_t TRdaClientSocket::SessionId() const { return d_->sessionId_; }
void TRdaClientSocket::SetSessionId(int32_t id) { d_->sessionId_ = id; }
double TRdaClientSocket::ServerVersion() const { return d_->serverVersion_; }
const std::string& TRdaClientSocket::AnchorReturnAddress() const {
  return d_->anchorReturnAddress_;
}
TRdaParamList& TRdaClientSocket::LoginParams() { return d_->loginParams_; }
TRdaParamList* TRdaClientSocket::TriggerParams() { return d_->triggerParams_.get(); }
void TRdaClientSocket::SetTriggerParams(std::unique_ptr<TRdaParamList> params) {
  d_->triggerParams_ = std::move(params);
}
TRdaSmartWait& TRdaClientSocket::SmartWait() { return d_->smartWait_; }
TRdaUserInterface& TRdaClientSocket::UserInterface() { return d_->UI(); }
void TRdaClientSocket::SetUserInterface(TRdaUserInterface* ui) {
  d_->ui_ = ui;
  d_->smartWait_.SetUserInterface(&d_->UI());
}
void TRdaClientSocket::SetCommandLine(std::vector<std::string> parameters) {
  d_->commandLine_ = std::move(parameters);
}

void TRdaClientSocket::Loaded() { d_->Loaded(); }
void TRdaClientSocket::OpenAndWait() { d_->OpenAndWait(); }
void TRdaClientSocket::CloseAndWait() { d_->CloseAndWait(); }

void TRdaClientSocket::SendMessage(TRdaStringLine& line, bool waitForReply) {
  d_->SendMessage(line, waitForReply);
}
std::string TRdaClientSocket::BlockingExchange(int timeoutMs) {
  return d_->BlockingExchange(timeoutMs);
}
void TRdaClientSocket::EndReplyWait(bool force) { d_->EndReplyWait(force); }
std::string TRdaClientSocket::TakeServerError() {
  if (!d_->replyIsError_) return {};
  std::string error = d_->replyText_.empty() ? std::string() : "[RDA SERVER ERROR]" + d_->replyText_;
  d_->replyText_.clear();
  d_->replyIsError_ = false;
  return error;
}
void TRdaClientSocket::SendCodedMessage(int32_t msgId, const std::string& text) {
  d_->SendCodedMessage(msgId, text);
}
std::string TRdaClientSocket::SendCodedParamList(int32_t msgId, const TRdaParamList* list,
                                                 bool wantReply) {
  return d_->SendCodedParamList(msgId, list, wantReply);
}
void TRdaClientSocket::SendServerUtilityRequest(int32_t code, const std::string& text) {
  d_->SendServerUtilityRequest(code, text);
}

int TRdaClientSocket::ComponentId(TRdaComponent* component) {
  if (component == nullptr) return -1;
  for (const auto& [id, c] : d_->registry_)
    if (c == component) return id;
  const int id = ++d_->lastComponentId_;
  d_->registry_.emplace_back(id, component);
  d_->Remember(component);
  return id;
}

TRdaComponent* TRdaClientSocket::ComponentById(int id) const {
  for (const auto& [i, c] : d_->registry_)
    if (i == id) return c;
  return nullptr;
}

void TRdaClientSocket::ReleaseComponentId(TRdaComponent* component) {
  std::erase_if(d_->registry_, [&](const auto& entry) { return entry.second == component; });
  const auto& bound = d_->datasets_;
  if (component != nullptr && std::find(bound.begin(), bound.end(), component) == bound.end())
    std::erase(component->connections_, this);
}

void TRdaClientSocket::BindDataset(TRdaComponent* dataset) {
  if (dataset == nullptr) return;
  if (std::find(d_->datasets_.begin(), d_->datasets_.end(), dataset) == d_->datasets_.end())
    d_->datasets_.push_back(dataset);
  d_->Remember(dataset);
}

void TRdaClientSocket::UnbindDataset(TRdaComponent* dataset) {
  std::erase(d_->datasets_, dataset);
  // Unknown to the connection now: it must not point back at us.
  const auto& registry = d_->registry_;
  if (dataset != nullptr && std::none_of(registry.begin(), registry.end(),
                                         [&](const auto& entry) { return entry.second == dataset; }))
    std::erase(dataset->connections_, this);
}

std::unique_ptr<TRdaClientSocket> TRdaClientSocket::CloneConnection() {
  auto copy = std::make_unique<TRdaClientSocket>();
  CopyConnectionTo(*copy);
  return copy;
}

void TRdaClientSocket::CopyConnectionTo(TRdaClientSocket& copy) {
  TRdaClientSocketPrivate& s = *d_;
  TRdaClientSocketPrivate& c = *copy.d_;
  TakeSharedSettings(s.settings_, c.settings_);
  c.transportMode_ = s.transportMode_;
  c.stack_.SetTransportMode(s.transportMode_);
  c.proxiedAddress_ = s.proxiedAddress_;
  c.proxiedPort_ = s.proxiedPort_;
  c.directTcp_ = s.directTcp_;
  c.transforms_.SetEncryption(s.transforms_.Encryption());
  try {
    c.transforms_.SetCompression(s.transforms_.Compression());
  } catch (const Exception&) {
    // A refused acRdaCompress is copied as stored; sending reports it.
  }
  c.transforms_.SetEncryptKeyIn(s.transforms_.EncryptKeyIn());
  c.transforms_.SetEncryptKeyOut(s.transforms_.EncryptKeyOut());
  if (s.transforms_.Encryption() == etDESEncrypt) c.transforms_.SetDESKey(s.transforms_.EncryptKeyIn());
  c.transforms_.SetActiveEncryption(s.transforms_.ActiveEncryption());
  if (s.sessionId_ == 0 && c.sessionId_ != 0) {
    s.sessionId_ = c.sessionId_;
  } else {
    c.sessionId_ = s.sessionId_;
  }
  copy.OnEncrypt = OnEncrypt;
  copy.OnDecrypt = OnDecrypt;
  copy.OnCompress = OnCompress;
  copy.OnDecompress = OnDecompress;
  copy.OnSQLError = OnSQLError;
  copy.OnCustomSQLError = OnCustomSQLError;
  copy.OnError = OnError;
  copy.OnDisconnect = OnDisconnect;
  copy.OnReadProgress = OnReadProgress;
  copy.OnWinInetStatus = OnWinInetStatus;
  if (!OnWinInetStatus && s.ownWinInetStatus_) {
    // This connection shows the HTTP client's steps in its own status bar: so do the
    // copy's requests (the private copy of a dataset works for this connection),
    // for as long as this connection lives.
    copy.OnWinInetStatus = [&s, alive = std::weak_ptr<int>(s.alive_)](uint32_t status) {
      if (!alive.expired()) s.ShowWinInetStatus(status);
    };
  }
  copy.OnStatelessPacketEvent = OnStatelessPacketEvent;
  copy.OnLoginParamsAttempt = OnLoginParamsAttempt;
  c.smartWait_.SetRunSynchronize(s.smartWait_.RunSynchronize());
  // The web server settings came with the rest; a copy on the HTTP transport is
  // switched to it as assigning them switches a connection.
  if (c.settings_.WebServer.UseWebServer) c.SelectHttpTransport();
}

}  // namespace rda
