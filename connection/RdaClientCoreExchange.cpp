// TRdaClientCore: the message traffic. Sending (compose, pack, frame, write in
// pieces), the reply wait and its limit, the blocking exchange, the HTTP forms, and
// the receive path (cut, unpack, parse, dispatch) with the handling of every token the
// server sends.
#include <algorithm>

#include "base/ByteIO.h"
#include "base/Convert.h"
#include "base/FormatSettings.h"
#include "base/ScopeGuard.h"
#include "connection/RdaClientCore.h"
#include "messaging/RdaZLib.h"

namespace rda {

namespace {

constexpr char kDisconnected[] = "Disconnected from server!";
constexpr char kNotConnected[] = "Not Connected to Server";
constexpr char kAlreadyWaiting[] = "A request is already waiting for its reply.";
constexpr char kResponseWithoutReply[] =
    "The server's HTTP response held no reply to the request; the connection has been closed.";
constexpr size_t kReadBlock = 4096;

// The server's version text as a number. The text may use another decimal separator
// than ours: when it has none of ours, its first character that is not a digit or a
// sign is taken as the separator. Text that is no number gives 0.
double ServerVersionNumber(const std::string& text) {
  FormatSettings fs = DefaultFormatSettings();
  if (text.find(fs.DecimalSeparator) == std::string::npos) {
    for (char c : text) {
      if ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == ' ') continue;
      fs.DecimalSeparator = c;
      break;
    }
  }
  return TryStrToFloat(text, fs).value_or(0.0);
}

// The fields of a parsed message, as many as its header lists.
TRdaComponentMessage ReadMessage(TRdaStringLine& line) {
  TRdaComponentMessage m;
  m.Token = line.Token() & kTokenMask;
  m.ComponentId = line.MsgId();
  const int count = line.FieldCount();
  // The last field (rows, a reply text) may be large: it takes over the line's buffer.
  for (int i = 0; i < count; ++i)
    m.Fields[static_cast<size_t>(i)] = i + 1 < count ? line.NextFieldText() : line.TakeNextFieldText();
  m.FieldCount = count;
  return m;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Errors and waits

void TRdaClientCore::ReportError(std::exception_ptr error) noexcept {
  if (!waits_.empty() && !waits_.back()->error) {
    waits_.back()->error = std::move(error);
    EndReplyWait(true);
    driver_.WakeWaits();
    return;
  }
  Deliver(std::move(error));
}

void TRdaClientCore::Deliver(std::exception_ptr error) noexcept {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    try {
      if (events_.OnException) {
        events_.OnException(e);
      } else {
        driver_.UserInterface().ShowException(e);
      }
    } catch (...) {
      // A failing error handler has nowhere left to report to.
    }
  } catch (...) {
  }
}

void TRdaClientCore::EndReplyWait(bool force) {
  if (!force) replyArrived_ = true;
  waitingForOpen_ = false;
  // A hand-built HTTP response ends its request's wait when it is complete (so that a
  // response cut after its reply still reaches its own sender); the reply inside it
  // does not end the wait early.
  if (!force && HandBuiltHttp() && httpInFlightWaits_ && httpReader_.InProgress()) return;
  if (pendingReplies_ > 0) --pendingReplies_;
  if (force || pendingReplies_ == 0) {
    driver_.StopRequestWait();
    for (TRdaWait* w : waits_)
      if (w->request) w->ended = true;
  }
  callerTakesErrors_ = false;
  driver_.WakeWaits();
}

void TRdaClientCore::RequestWait() {
  if (settings_.ClientType == ctBlocking) return;
  ++pendingReplies_;
  TRdaWait wait;
  wait.request = true;
  waits_.push_back(&wait);
  TScopeGuard pop([&] { std::erase(waits_, &wait); });
  ArmReplyDeadline();
  driver_.RunRequestWait(wait);
  if (wait.error) std::rethrow_exception(wait.error);
  if (wait.timedOut) {
    pendingReplies_ = 0;
    if (Active() || state_ == TRdaConnectionState::Opening) {
      closeRequested_ = true;
      DropConnection();
    }
    throw ERdaConnectException(NoReplyText());
  }
  if (wait.disconnected) throw ERdaConnectException(kDisconnected);
}

bool TRdaClientCore::RequestWaiting() const {
  return std::any_of(waits_.begin(), waits_.end(),
                     [](const TRdaWait* w) { return w->request && !w->ended; });
}

std::string TRdaClientCore::NoReplyText() const {
  return "No reply from the server within " + std::to_string(settings_.ReplyTimeout) +
         " ms; the connection has been closed.";
}

// The reply limit: waits and received bytes move the deadline on, so that a quick
// exchange does not arm and disarm anything each time.
void TRdaClientCore::ArmReplyDeadline() {
  if (settings_.ReplyTimeout <= 0) return;
  SetDeadline(replyDeadline_, clock_.Now() + std::chrono::milliseconds(settings_.ReplyTimeout));
}

// Silence is what the limit counts: received bytes start it again.
void TRdaClientCore::PushReplyDeadline() {
  if (replyDeadline_) replyDeadline_ = clock_.Now() + std::chrono::milliseconds(settings_.ReplyTimeout);
}

void TRdaClientCore::ReplyDeadlinePassed() {
  const bool waiting = RequestWaiting();
  // An HTTP response that nobody waits for is bounded as well: it holds the socket
  // (or the request queue) that the next request needs.
  const bool httpPending = Tunnelling() && (httpOutstanding_ > 0 || httpReader_.InProgress());
  replyDeadline_.reset();
  if (!waiting && !httpPending) return;
  if (waiting) {
    for (TRdaWait* w : waits_)
      if (w->request && !w->ended) w->timedOut = true;
    EndReplyWait(true);
    return;
  }
  closeRequested_ = true;
  DropConnection();
  ReportError(std::make_exception_ptr(ERdaConnectException(NoReplyText())));
}

std::string TRdaClientCore::TakeServerError() {
  if (!replyIsError_) return {};
  std::string error = replyText_.empty() ? std::string() : "[RDA SERVER ERROR]" + replyText_;
  replyText_.clear();
  replyIsError_ = false;
  return error;
}

// ---------------------------------------------------------------------------------------
// Sending

void TRdaClientCore::SyncTransformEvents() {
  transforms_.OnEncrypt = events_.OnEncrypt;
  transforms_.OnDecrypt = events_.OnDecrypt;
  transforms_.OnCompress = events_.OnCompress;
  transforms_.OnDecompress = events_.OnDecompress;
  transforms_.OnBytesOutEvent = events_.OnBytesOutEvent;
  transforms_.OnBytesInEvent = events_.OnBytesInEvent;
  transforms_.OnStatelessPacketEvent = events_.OnStatelessPacketEvent;
}

std::string TRdaClientCore::FrameMessage(const std::string& packed) const {
  // The peer refuses frames above its limit and drops the connection; refuse first.
  if (!IsFrameLength(static_cast<int64_t>(packed.size())))
    throw ERdaProtocolError("Invalid block size (" + std::to_string(packed.size()) + ")!");
  return Framed(packed);
}

void TRdaClientCore::SendMessage(TRdaStringLine& line, bool waitForReply) {
  // One request waits at a time. Messages that do not wait still go out meanwhile:
  // the server answers in order, and nothing they bring back ends the wait.
  if (waitForReply && RequestWaiting()) throw ERdaConnectException(kAlreadyWaiting);
  if (waitForReply) waitingComponent_ = line.MsgId();
  SyncTransformEvents();
  const std::string frame = FrameMessage(transforms_.PackMessage(line.Compose()));
  if (settings_.ClientType == ctBlocking) {
    if (Active()) {
      WriteRaw(frame);
    } else {
      outbox_.push_back({frame, false});
    }
    return;
  }
  if (ViaHttpClient()) {
    SendThroughHttpClient(frame, waitForReply);
    return;
  }
  if (Tunnelling()) {
    SendHandBuilt(frame, waitForReply);
    return;
  }
  const int64_t written = WriteRaw(frame);
  driver_.Transport().EndOfRequest(waitForReply);
  if (!waitForReply) return;
  // Waiting for the reply to a request that never left, or on a connection that was
  // lost while it was written, would only end by the reply limit.
  if (written < static_cast<int64_t>(frame.size())) throw Exception(kNotConnected);
  if (!Active()) throw ERdaConnectException(kDisconnected);
  RequestWait();
}

int64_t TRdaClientCore::WriteRaw(std::string_view bytes) {
  const bool progress = settings_.ProgressBar && events_.OnReadProgress;
  const auto total = static_cast<int64_t>(bytes.size());
  if (progress) events_.OnReadProgress(total, 0);
  TScopeGuard end([&] {
    if (progress && events_.OnReadProgress) events_.OnReadProgress(0, 0);
  });
  size_t pos = 0;
  while (pos < bytes.size()) {
    const size_t piece = std::min(bytes.size() - pos, static_cast<size_t>(settings_.WriteChunkSize));
    const int64_t n = driver_.Transport().Write(bytes.substr(pos, piece));
    if (n <= 0) break;  // not connected: the rest is dropped
    pos += static_cast<size_t>(n);
    if (progress) events_.OnReadProgress(total, n);
  }
  driver_.Transport().Flush();
  return static_cast<int64_t>(pos);
}

std::string TRdaClientCore::BlockingExchange(int timeoutMs) {
  if (outbox_.empty()) throw Exception("No Data to send!");
  std::string request(kBlockingPrefix);
  for (const TRdaOutboxEntry& entry : outbox_) request += entry.Bytes;

  inBlockingExchange_ = true;
  bool received = false;
  TScopeGuard finish([this] {
    inBlockingExchange_ = false;
    if (!driver_.Transport().IsIdle()) {
      closeRequested_ = true;
      driver_.Transport().Abort();
    }
    if (state_ != TRdaConnectionState::Inactive) {
      state_ = TRdaConnectionState::Inactive;
      closeRequested_ = true;
      try {
        HandleDisconnect();
      } catch (...) {
        // The exchange reports its own outcome.
      }
    }
  });

  lastSocketError_ = 0;
  SetActive(true);
  TRdaTransport& transport = driver_.Transport();
  if (!transport.WaitForConnected(timeoutMs) || !transport.IsConnected()) {
    const int code = lastSocketError_ != 0 ? lastSocketError_ : kWSAETIMEDOUT;
    outbox_.clear();
    throw Exception(SocketErrorMessage(code));
  }
  size_t pos = 0;
  while (pos < request.size() && transport.IsConnected()) {
    const int64_t n = transport.Write(std::string_view(request).substr(pos));
    if (n <= 0) break;
    pos += static_cast<size_t>(n);
  }
  while (transport.BytesToWrite() > 0 && transport.IsConnected())
    if (!transport.WaitForBytesWritten(timeoutMs)) break;

  std::exception_ptr first;
  std::string bytes;
  while (true) {
    if (transport.BytesAvailable() == 0 && !transport.WaitForReadyRead(timeoutMs) &&
        transport.BytesAvailable() == 0)
      break;
    if (!received) {
      // The server has the request: it must not go out a second time.
      received = true;
      outbox_.clear();
    }
    try {
      bytes.clear();
      ReadAvailable(transport, bytes);
      Receive(bytes);
    } catch (...) {
      if (!first) first = std::current_exception();
    }
    if (!transport.IsConnected() && transport.BytesAvailable() == 0) break;
  }
  if (first) std::rethrow_exception(first);
  if (!received) throw Exception("Blocking Socket Time out");
  std::string reply = std::move(replyText_);
  replyText_.clear();
  return reply;
}

void TRdaClientCore::SendCodedMessage(int32_t msgId, const std::string& text) {
  TRdaStringLine line;
  line.SetToken(tkCodedMessage);
  line.SetMsgId(0);
  line.AddField(msgId);
  line.AddField(text);
  SendMessage(line, false);
  if (settings_.ClientType == ctBlocking) {
    const std::string reply = BlockingExchange(settings_.BlockingTimeout);
    if (!reply.empty()) throw Exception(reply);
  }
}

std::string TRdaClientCore::SendCodedParamList(int32_t msgId, const TRdaParamList* list,
                                                        bool wantReply) {
  if (settings_.ClientType == ctNonBlocking && directTcp_ && transportMode_ == tmDirectTcp && !Active())
    throw Exception(kNotConnected);
  TRdaStringLine line;
  line.SetToken(tkCodedParamList);
  line.SetMsgId(0);
  line.AddField(msgId);
  line.AddField(list != nullptr ? list->ToText(false) : std::string());
  line.AddField(wantReply ? 1 : 0);
  SendMessage(line, wantReply);
  if (!wantReply) return {};
  if (settings_.ClientType == ctBlocking) return BlockingExchange(settings_.BlockingTimeout);
  std::string reply = std::move(replyText_);
  replyText_.clear();
  return reply;
}

void TRdaClientCore::SendServerUtilityRequest(int32_t code, const std::string& text) {
  TRdaStringLine line;
  line.SetToken(tkServerUtility);
  line.SetMsgId(0);
  line.AddField(code);
  line.AddField(text);
  SendMessage(line, false);
}

// ---------------------------------------------------------------------------------------
// Receiving

void TRdaClientCore::Readable(std::string_view bytes) {
  if (inBlockingExchange_) return;  // the exchange reads for itself
  Guarded([&] {
    if (events_.OnRead) events_.OnRead();
    // The reply limit counts silence, not the length of a reply that is arriving.
    PushReplyDeadline();
    Receive(bytes);
  });
}

void TRdaClientCore::Receive(std::string_view bytes) {
  if (HandBuiltHttp()) {
    ProcessHttpBytes(bytes);
    return;
  }
  ReceiveStream(bytes);
}

void TRdaClientCore::ReceiveStream(std::string_view bytes) {
  std::exception_ptr framing;
  try {
    if (settings_.ProgressBar || updateInProgress_) {
      AppendWithProgress(bytes);
    } else {
      stack_.Append(bytes);
    }
  } catch (const std::exception& e) {
    framing = std::make_exception_ptr(ERdaProtocolError(e.what()));
  }
  FinishReceive(framing);
}

// The bytes of one read, in the blocks of a socket read: the first block of a message
// says how long it is, and every further block reports how much of it has come.
void TRdaClientCore::AppendWithProgress(std::string_view bytes) {
  if (bytes.empty()) return;
  int64_t earlier = 0;  // bytes of the earlier blocks of this read
  size_t n = std::min(bytes.size(), kReadBlock);
  if (messageStarted_) {
    // A read that starts a frame starts with its length; when the frame began in an
    // earlier read (behind the message before it), the stack knows its size.
    const int64_t pending = stack_.PendingFrameSize();
    if (pending > 0) {
      messageStarted_ = false;
      MessageSizeKnown(pending);
    } else if (n >= 4 && stack_.Used() == 0) {
      messageStarted_ = false;
      MessageSizeKnown(int64_t{LoadI32LE(bytes.data())} + static_cast<int64_t>(kFrameLengthSize));
    }
  }
  stack_.Append(bytes.substr(0, n));
  for (size_t pos = n; pos < bytes.size(); pos += n) {
    earlier += static_cast<int64_t>(n);
    n = std::min(bytes.size() - pos, kReadBlock);
    ReadProgress(earlier + receivedSoFar_);
    stack_.Append(bytes.substr(pos, n));
  }
  receivedSoFar_ += earlier + static_cast<int64_t>(n);
}

void TRdaClientCore::ReadProgress(int64_t received) {
  if (updateInProgress_) {
    UpdateProgress(received);
  } else if (events_.OnReadProgress) {
    events_.OnReadProgress(expectedBytes_, received);
  }
}

// Handles every complete message; a framing error drops the connection, because
// nothing after it can be cut reliably. The first error is raised at the end.
void TRdaClientCore::FinishReceive(std::exception_ptr framingError) {
  const std::weak_ptr<int> alive = alive_;
  std::exception_ptr first;
  try {
    ProcessMessages();
  } catch (...) {
    first = std::current_exception();
  }
  if (alive.expired()) return;  // a handler destroyed the connection
  if (framingError) {
    DropConnection();
    std::rethrow_exception(framingError);
  }
  if (first) std::rethrow_exception(first);
}

void TRdaClientCore::ProcessMessages() {
  const std::weak_ptr<int> alive = alive_;
  std::exception_ptr first;
  while (stack_.HasMessages()) {
    std::string body = stack_.PopMessage();
    messageStarted_ = true;
    receivedSoFar_ = 0;
    try {
      if (updateInProgress_) {
        UpdateProgress(0);
      } else if (settings_.ProgressBar && events_.OnReadProgress) {
        events_.OnReadProgress(0, 0);
      }
      SyncTransformEvents();
      std::string plain = transforms_.UnpackMessage(std::move(body));
      if (!plain.empty()) {
        TRdaStringLine line;
        line.Parse(std::move(plain));
        DispatchMessage(line);
      }
    } catch (const std::exception& e) {
      if (!first) first = std::make_exception_ptr(ERdaProtocolError(e.what()));
    } catch (...) {
      if (!first) first = std::make_exception_ptr(ERdaProtocolError("Unknown error"));
    }
    if (alive.expired()) return;
  }
  if (first) std::rethrow_exception(first);
}

// ---------------------------------------------------------------------------------------
// HTTP tunnelling: sending

void TRdaClientCore::StatelessStep(std::string& body, bool packup) {
  if (!webServer_.AddCookie()) return;
  if (packup) {
    body.insert(0, SessionHeader(sessionId_, settings_.UserName, settings_.Password));
  } else {
    sessionId_ = TakeSessionHeader(body);
  }
}

TRdaHttpRequestSettings TRdaClientCore::HttpRequestSettings() {
  TRdaHttpRequestSettings s;
  const bool ssl = webServer_.UseSSL();
  int port = webServer_.WebServerPort();
  // HTTPS on the plain HTTP port cannot be meant: the HTTPS port is taken instead.
  if (port == 0) port = 80;
  if (ssl && port == 80) port = 443;
  std::string host = settings_.Host.empty() ? settings_.Address : settings_.Host;
  if (host.find(':') != std::string::npos && host.front() != '[') host = "[" + host + "]";
  s.Url = std::string(ssl ? "https://" : "http://") + host + ":" + std::to_string(port) +
          WinInetObjectPath(webServer_.RdaHttpDll(), proxiedAddress_, proxiedPort_,
                            webServer_.Timeout());
  const TRdaSSLOptions options = webServer_.SSLOptions();
  s.IgnoreCertDate = options.Contains(soIgnoreInvalidCertDate);
  s.IgnoreCertName = options.Contains(soIgnoreInvalidCertName);
  s.IgnoreCertCA = options.Contains(soIgnoreInvalidCertCA);
  s.SocksHost = settings_.SocksHost;
  s.SocksPort = settings_.SocksPort;
  s.AskProxyLogin = [this](const std::string& proxy, std::string& user, std::string& password) {
    std::optional<TRdaLoginEntry> entry = driver_.UserInterface().ProxyLoginDialog(proxy);
    if (!entry) return false;
    user = entry->UserName;
    password = entry->Password;
    return true;
  };
  s.ReportSteps = events_.OnWinInetStatus || ownWinInetStatus_;
  s.ReportProgress = settings_.ProgressBar && events_.OnReadProgress;
  return s;
}

// Form 1: each message is one request of the platform HTTP client; nothing needs to
// be connected first.
void TRdaClientCore::SendThroughHttpClient(const std::string& frame, bool waitForReply) {
  EnsureTransport();
  if (state_ == TRdaConnectionState::Inactive) SetActive(true);
  TRdaHttpClientTransport* client = driver_.HttpClient();
  if (!Active() || client == nullptr) throw Exception(kNotConnected);
  client->SetRequestSettings(HttpRequestSettings());
  if (waitForReply) replyArrived_ = false;
  WriteRaw(frame);
  ++httpOutstanding_;
  driver_.Transport().EndOfRequest(waitForReply);
  ArmReplyDeadline();
  if (waitForReply) RequestWait();
}

// Forms 2 and 3: the request text goes on the socket when it is free, else waits in
// the Outbox; a closed connection opens itself to send it.
void TRdaClientCore::SendHandBuilt(const std::string& frame, bool waitForReply) {
  EnsureTransport();
  std::string request =
      transportMode_ == tmHttpProxy
          ? ProxyRequest(!settings_.Address.empty(), proxiedAddress_, proxiedPort_, settings_.ProxyUserName,
                         settings_.ProxyPassword, frame)
          : ExtensionRequest(webServer_.RdaHttpDll(), proxiedAddress_, proxiedPort_, frame);
  outbox_.push_back({std::move(request), waitForReply});
  PumpOutbox();
  if (waitForReply) RequestWait();
}

void TRdaClientCore::PumpOutbox() {
  if (!HandBuiltHttp() || httpOutstanding_ > 0 || outbox_.empty()) return;
  if (!Active()) {
    // Opening or closing: the connect or the disconnect handling goes on from there.
    if (state_ == TRdaConnectionState::Inactive) SetActive(true);
    return;
  }
  TRdaOutboxEntry entry = std::move(outbox_.front());
  outbox_.pop_front();
  httpOutstanding_ = 1;
  httpInFlightWaits_ = entry.Waits;
  if (entry.Waits) replyArrived_ = false;
  ArmReplyDeadline();
  if (WriteRaw(entry.Bytes) < static_cast<int64_t>(entry.Bytes.size())) {
    httpOutstanding_ = 0;
    throw Exception(kNotConnected);
  }
}

// ---------------------------------------------------------------------------------------
// HTTP tunnelling: receiving

void TRdaClientCore::ProcessHttpBytes(std::string_view bytes) {
  const std::weak_ptr<int> alive = alive_;
  std::exception_ptr first;
  std::string_view in = bytes;
  while (!in.empty()) {
    std::string answer;
    TRdaHttpResponseReader::TResult result = TRdaHttpResponseReader::rrNeedMore;
    try {
      result = httpReader_.Feed(in, answer);
    } catch (const std::exception& e) {
      // Nothing after a malformed response can be read reliably.
      DropConnection();
      throw ERdaProtocolError(e.what());
    }
    if (settings_.ProgressBar && events_.OnReadProgress && httpReader_.Response().Status != 0) {
      const TRdaHttpResponseInfo& info = httpReader_.Response();
      events_.OnReadProgress(std::max<int64_t>(info.ContentLength, 0), info.BodyReceived);
    }
    try {
      if (!answer.empty()) DeliverAnswer(answer);
    } catch (...) {
      if (!first) first = std::current_exception();
    }
    if (alive.expired()) return;
    if (state_ == TRdaConnectionState::Inactive && !httpReader_.InProgress() &&
        result != TRdaHttpResponseReader::rrComplete)
      break;  // a framing error dropped the connection
    if (result == TRdaHttpResponseReader::rrComplete) {
      try {
        HttpResponseDone(true);
      } catch (...) {
        if (!first) first = std::current_exception();
      }
      if (alive.expired()) return;
      if (state_ != TRdaConnectionState::Connected) break;
    }
  }
  if (first) std::rethrow_exception(first);
}

void TRdaClientCore::ReceiveEnd() {
  std::string answer;
  TRdaHttpResponseReader::TResult result = TRdaHttpResponseReader::rrNeedMore;
  try {
    result = httpReader_.EndOfInput(answer);
  } catch (...) {
    httpReader_.Reset();
    httpOutstanding_ = 0;
    httpInFlightWaits_ = false;
    RenewStack();
    throw;
  }
  if (result != TRdaHttpResponseReader::rrComplete) return;
  std::exception_ptr first;
  try {
    if (!answer.empty()) DeliverAnswer(answer);
  } catch (...) {
    first = std::current_exception();
  }
  // The connection is going: the disconnect handling sends what is queued.
  HttpResponseDone(false);
  if (first) std::rethrow_exception(first);
}

void TRdaClientCore::DeliverAnswer(const std::string& answer) {
  std::exception_ptr framing;
  try {
    stack_.Append(answer);
  } catch (const std::exception& e) {
    framing = std::make_exception_ptr(ERdaProtocolError(e.what()));
  }
  FinishReceive(framing);
}

// One response is complete: its messages have been handled.
void TRdaClientCore::HttpResponseDone(bool pump) {
  const bool waits = httpInFlightWaits_;
  const bool errorPage = httpReader_.Response().ErrorPage;
  const bool keepAlive = httpReader_.Response().KeepAlive;
  httpOutstanding_ = 0;
  httpInFlightWaits_ = false;
  httpReader_.Reset();
  if (errorPage) {
    CheckHttpReply();
    return;
  }
  const bool cut = stack_.Used() != 0;
  if (cut) RenewStack();
  if (waits && !cut && !replyArrived_) ResponseWithoutReply();
  if (waits) EndReplyWait(true);
  // The server closes a connection it does not keep: close it here first, so that
  // the next request is not written into it.
  if (!keepAlive && state_ == TRdaConnectionState::Connected) SetActive(false);
  if (pump) PumpOutbox();
  if (cut) throw ERdaProtocolError("The HTTP response ended inside a message");
}

// The web server or the extension answered with an error page instead of messages:
// the request cannot have reached the data server.
void TRdaClientCore::CheckHttpReply() {
  EndReplyWait(true);
  if (state_ != TRdaConnectionState::Inactive) DropConnection();
  const std::string text = SocketErrorText(10061);
  if (events_.OnCustomSQLError) {
    TRdaParamList list;
    list.Add().SetAsString(text);
    events_.OnCustomSQLError(list);
    return;
  }
  throw ERdaConnectException(text);
}

// A complete response that carried nothing ending the wait of its request (an empty
// body, or only frames for other components or pushed messages): the request went
// unanswered, which must not read as an empty result. Whatever reply may still come
// for it belongs to no one, so the web server connections and the tunnel session
// are given up and the next request starts afresh.
void TRdaClientCore::ResponseWithoutReply() {
  sessionId_ = 0;
  if (state_ != TRdaConnectionState::Inactive) {
    closeRequested_ = true;
    DropConnection();
  }
  throw ERdaConnectException(kResponseWithoutReply);
}

void TRdaClientCore::HttpResponse(TRdaHttpResult& result) {
  httpOutstanding_ = std::max(0, httpOutstanding_ - 1);
  PushReplyDeadline();
  Guarded([&] {
    const bool failed = !result.Error.empty() || IsErrorPageBody(result.Body);
    const TClientAnchorStatus reached = failed ? TACDisconnectedFromServer : TACConnectedToServer;
    if (anchorStatus_ != reached) SetAnchorStatus(reached);
    if (!result.Error.empty()) throw Exception(result.Error);
    if (IsErrorPageBody(result.Body)) {
      CheckHttpReply();
      return;
    }
    ReceiveStream(result.Body);
    if (stack_.Used() != 0) {
      RenewStack();
      throw ERdaProtocolError("The HTTP response ended inside a message");
    }
    if (result.Waits && !replyArrived_) ResponseWithoutReply();
  });
  if (result.Waits) EndReplyWait(true);
  driver_.WakeWaits();
}

void TRdaClientCore::HttpProgress(int64_t expected, int64_t received) {
  PushReplyDeadline();
  Guarded([&] {
    if (settings_.ProgressBar && events_.OnReadProgress) events_.OnReadProgress(expected, received);
  });
}

// ---------------------------------------------------------------------------------------
// Dispatch

void TRdaClientCore::DispatchMessage(TRdaStringLine& line) {
  const int token = line.Token() & kTokenMask;
  if (token == tkShortForm) return;
  TRdaComponentMessage m = ReadMessage(line);
  const std::string& f1 = m.Fields[0];
  switch (token) {
    case tkAcknowledge:
    case tkAcknowledge2:
    case tkAcknowledge3:
    case tkAcknowledge4:
      EndReplyWait(false);
      break;
    case tkSqlError:
      DoSqlError(m);
      break;
    case tkChatText:
      if (events_.OnChatMessage) events_.OnChatMessage(f1);
      break;
    case tkUserMessage:
    case tkUserMessage2:
      driver_.UserInterface().ShowMessage(f1);
      break;
    case tkBroadcast:
      if (events_.OnServerBroadcast) events_.OnServerBroadcast(f1);
      break;
    case tkCodedMessage:
      if (events_.OnCodedMessage) events_.OnCodedMessage(m.Integer(1), m.Fields[1]);
      break;
    case tkCodedStream:
      if (events_.OnCodedStream) events_.OnCodedStream(m.Integer(1), m.Fields[1]);
      break;
    case tkLogin:
      DoLoginReply(m);
      break;
    case tkReconnect:
      Later([this] { DoReconnect(); });
      break;
    case tkReset:
      Later([this] { DoReset(); });
      break;
    case tkBlobNotUpdated:
      EndReplyWait(false);
      if (!f1.empty()) throw ERdaSQLException("Blob Did Not Update On the Server\r" + f1);
      break;
    case tkTerminate:
      DoTerminate(m);
      break;
    case tkCodedParamList:
    case tkDataSetParamList:
      DoCodedParamList(m);
      break;
    case tkRedirect:
      Later([this, m] { DoRedirect(m); });
      break;
    case tkServerUtility:
      DoServerUtilityInfo(m);
      break;
    case tkCustomObject:
      DoCustomObject(m);
      break;
    case tkReplyText:
      EndReplyWait(false);
      replyText_ = std::move(m.Fields[0]);
      break;
    case tkReplyText2:
      replyText_ = std::move(m.Fields[0]);
      EndReplyWait(false);
      break;
    case tkAsyncException:
      DoAsyncException(m);
      break;
    case tkClientUpdateStart:
      DoUpdateStart();
      break;
    case tkClientUpdateFile:
      DoUpdateFile(m);
      break;
    case tkFieldDescriptions:
    case tkRowPacket:
    case tkFieldDescriptions2:
    case tkRowPacket2:
    case tkBlobContents:
    case tkFieldProperties:
    case tkCursorHandle:
    case tkRefetchedRows:
    case tkBeginStream:
    case tkProviderBroadcast:
    case tkBroadcastDataSets:
      DoDatasetReply(m);
      break;
    default:
      // 20 and 23 (internal notifications), and every token a server does not send.
      break;
  }
}

void TRdaClientCore::DoSqlError(const TRdaComponentMessage& m) {
  replyIsError_ = true;
  std::string text = m.Fields[0];
  const bool callerTakes = callerTakesErrors_;
  EndReplyWait(false);
  if (text.find(kErrorListMarker) != std::string::npos) {
    std::unique_ptr<TRdaParamList> list = TRdaParamList::FromText(std::string_view(text).substr(1));
    if (events_.OnCustomSQLError) {
      events_.OnCustomSQLError(*list);
      return;
    }
    text = list->Count() > 0 ? list->Items(0).AsString() : std::string();
  }
  if (text.empty() || text == kEndRow) return;
  if (settings_.SQLErrorHandling.Contains(seToStatusBar) && settings_.SQLErrorHandling.Contains(seAsExceptions) &&
      statusBar_ != nullptr)
    statusBar_->SetPanelText(1, text);
  if (events_.OnSQLError) events_.OnSQLError(text);
  if (!settings_.SQLErrorHandling.Contains(seAsExceptions)) return;
  replyText_ = text;
  if (callerTakes) return;
  if (raiseSqlImmediately_) {
    replyText_.clear();
    raiseSqlImmediately_ = false;
    throw ERdaSQLException(text);
  }
}

void TRdaClientCore::DoTerminate(const TRdaComponentMessage& m) {
  bool handled = false;
  if (events_.OnTerminateMessageFromServer) events_.OnTerminateMessageFromServer(m.Fields[0], handled);
  if (handled) return;
  SetActive(false);
  EndApplication();
}

void TRdaClientCore::DoCodedParamList(const TRdaComponentMessage& m) {
  const int32_t msgId = m.Integer(1);
  std::unique_ptr<TRdaParamList> params = TRdaParamList::FromText(m.Fields[1]);
  const int32_t replyFlag = m.Integer(3);
  switch (msgId) {
    case miInstantMessage:
      if (events_.OnInstantMessage) {
        const TRdaParamItem* id = params->FindParam("Msgid");
        const int32_t instantId = id != nullptr ? id->AsInteger() : 0;
        params->DeleteParam("Msgid");
        events_.OnInstantMessage(instantId, *params);
      }
      break;
    case miRowsAffected: {
      const TRdaParamItem* dataset = params->FindParam("DatasetId");
      const TRdaParamItem* rows = params->FindParam("RowsAffected");
      TRdaComponent* component = dataset != nullptr ? ComponentById(dataset->AsInteger()) : nullptr;
      if (component != nullptr)
        driver_.RowsAffectedToComponent(*component, rows != nullptr ? rows->AsInteger() : 0);
      break;
    }
    case miFileSegment:
      DoFileSegment(*params);
      break;
    case miContacts:
    case miWaitingMessages:
      DoInstantLists(*params, msgId == miWaitingMessages);
      break;
    case miUserStatus:
      DoUserStatus(*params);
      break;
    default:
      if (m.Token == tkDataSetParamList) {
        TRdaComponent* component = ComponentById(m.ComponentId);
        if (component == nullptr) return;
        if (component->AwaitsOutputParams()) EndReplyWait(false);
        driver_.OutputParamsToComponent(*component, *params);
        return;
      }
      break;
  }
  if (replyFlag > 0) {
    EndReplyWait(false);
    replyText_ = params->ToText(true);
  } else if (msgId != miFileSegment && msgId != miRowsAffected) {
    if (events_.OnCodedParamList) events_.OnCodedParamList(msgId, *params);
  }
}

void TRdaClientCore::DoServerUtilityInfo(const TRdaComponentMessage& m) {
  const int32_t code = m.Integer(1);
  std::unique_ptr<TRdaParamList> params = TRdaParamList::FromText(m.Fields[1]);
  if (events_.OnServerUtilityInfoEvent) events_.OnServerUtilityInfoEvent(code, *params);
  switch (code) {
    case suServerVersion:
      if (params->Count() > 0) serverVersion_ = ServerVersionNumber(params->Items(0).AsString());
      break;
    case suServerSettings: {
      // All or nothing: a missing item raises before anything changes.
      std::string dateMask = params->ParamByName("DateMaskForSQL").AsString();
      std::string dateTimeMask = params->ParamByName("DateTimeMaskForSQL").AsString();
      std::string timeMask = params->ParamByName("TimeMaskForSQL").AsString();
      const int32_t options = params->ParamByName("SQLOptions").AsInteger();
      const int32_t syntax = params->ParamByName("UpdateSQLSyntax").AsInteger();
      settings_.DateMaskForSQL = std::move(dateMask);
      settings_.DateTimeMaskForSQL = std::move(dateTimeMask);
      settings_.TimeMaskForSQL = std::move(timeMask);
      settings_.SQLOptions = TRdaServerSQLOptions::FromBits(static_cast<uint32_t>(options) & 0xFFFF);
      settings_.UpdateSQLSyntax = static_cast<TRdaUpdateSQL>(syntax & 0xFF);
      break;
    }
    case suPing:
      SendCodedMessage(miPingAnswer, std::string(kPingAnswerText));
      break;
    case suPatcher:
      DoPatcher(*params);
      break;
    case suMetaDataCache:
      DoMetaDataCache(*params);
      break;
    default:
      // Other codes only fire the event.
      break;
  }
}

void TRdaClientCore::DoCustomObject(const TRdaComponentMessage& m) {
  const int32_t token = m.Integer(1);
  std::unique_ptr<TRdaParamList> object = TRdaParamList::FromText(m.Fields[1]);
  const std::string& name = m.Fields[2];
  const int32_t replyFlag = m.Integer(4);
  if (replyFlag < 1) {
    if (events_.OnCustomObject) events_.OnCustomObject(token, name, *object);
    return;
  }
  EndReplyWait(false);
  if (replyFlag == 2000) throw Exception(object->Count() > 0 ? object->Items(0).AsString() : "");
  replyText_ = object->ToText(true);
}

void TRdaClientCore::DoAsyncException(const TRdaComponentMessage& m) {
  EndReplyWait(false);
  std::unique_ptr<TRdaParamList> errors = TRdaParamList::FromText(m.Fields[0]);
  const int32_t errorToken = m.Integer(2);
  if (errorToken == kSessionErrorToken &&
      settings_.SQLErrorHandling.Contains(seRouteCookieErrorsToLogin) && events_.OnLoginParamsAttempt) {
    events_.OnLoginParamsAttempt(false, *errors);
  } else {
    bool handled = false;
    if (events_.OnServerAsyncException) events_.OnServerAsyncException(errorToken, *errors, handled);
    if (!handled) {
      std::string text;
      for (int i = 0; i < errors->Count(); ++i) text += "\r" + errors->Items(i).AsString();
      throw Exception(errors->Count() == 0 ? std::string("Server Error") : text);
    }
  }
  if (errorToken == kSessionErrorToken) sessionId_ = 0;
}

void TRdaClientCore::DoDatasetReply(TRdaComponentMessage& m) {
  if (m.Token == tkBroadcastDataSets) {
    // Several broadcast datasets, each named by the id of the component it is
    // for: each goes on as a broadcast of its own.
    std::unique_ptr<TRdaParamList> list = TRdaParamList::FromText(m.Fields[0]);
    for (int i = 0; i < list->Count(); ++i) {
      const int32_t id = StrToIntDef(list->Items(i).Name(), 0);
      TRdaComponent* target = ComponentById(id);
      if (target == nullptr) continue;
      TRdaComponentMessage one;
      one.Token = tkProviderBroadcast;
      one.ComponentId = id;
      one.FieldCount = 1;
      one.Fields[0] = list->Items(i).AsString();
      driver_.ToComponent(*target, one);
    }
    return;
  }
  TRdaComponent* component = ComponentById(m.ComponentId);
  if (component == nullptr) return;  // a reply for a component we do not know
  const bool awaited = m.ComponentId == waitingComponent_;
  switch (m.Token) {
    case tkRowPacket:
    case tkRowPacket2: {
      const TRdaCompression compression = transforms_.Compression();
      if (m.Integer(3) != 0 && compression != acRdaCompress && compression != acUserDefined)
        m.Fields[1] = ZLibDecompress(m.Fields[1]);
      driver_.ToComponent(*component, m);
      if (awaited && !component->AwaitsOutputParams()) EndReplyWait(false);
      break;
    }
    case tkBlobContents:
      if (m.Integer(3) == 1) {
        replyText_ = m.Fields[3];
      } else {
        driver_.ToComponent(*component, m);
      }
      if (awaited) EndReplyWait(false);
      break;
    case tkBeginStream:
      if (awaited) EndReplyWait(false);
      driver_.ToComponent(*component, m);
      break;
    default:
      driver_.ToComponent(*component, m);
      break;
  }
}

}  // namespace rda
