// TRdaClientCore: the protocol of a client connection, without Qt and without I/O of
// its own.
//
// The core is everything a connection decides: the settings, the message stack and
// the body transforms, the login and its reply, the state of a waiting request and
// what ends it, dispatch by token to the application's events and to registered
// components, keep-alive, the reply limit and the reconnect timers (as deadlines),
// the HTTP request forms, the reading of hand-built HTTP responses, the stateless
// session header, the Outbox, redirects and disconnects. It is driven from outside:
//
//   bytes in       Readable/Receive (stream bytes, or hand-built HTTP responses),
//                  ReceiveEnd, HttpResponse (form 1), TransportConnected/
//                  TransportDisconnected/TransportError
//   time in        ProcessDeadlines, with the time read from its TRdaClock
//   bytes out      through the transport the driver gives it (Write, EndOfRequest)
//   events out     TRdaClientEvents handlers, components, the user interface
//   deadline out   NextDeadline (and TRdaCoreDriver::DeadlinesChanged when it moves)
//
// Whatever the platform has to do (connect a socket, run the event loop while a caller
// waits, show a dialog, hand a message to a component) the core asks of its
// TRdaCoreDriver. TRdaClientSocket's private side is the Qt driver; the tests and fuzz
// targets drive the core with a driver of their own and a TRdaManualClock.
//
// Waits. A caller that waits (OpenAndWait, a request that wants its reply) has a
// TRdaWait on the core's stack of waits while the driver runs the event loop for it
// (TRdaCoreDriver::RunRequestWait, RunUntil). What happens meanwhile (a reply, a
// disconnect, the reply limit, an error raised by a handler) marks the wait, and the
// caller raises what marked it when the loop returns. An error raised while the core
// handles an event goes to the innermost wait; with none, to OnException, else to the
// user interface's ShowException (ReportError).
//
// Single-threaded: every entry runs on the thread that runs the driver.
#pragma once

#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "connection/RdaClientEvents.h"
#include "connection/RdaClientFiles.h"
#include "connection/RdaClock.h"
#include "connection/RdaComponent.h"
#include "connection/RdaConnectionSettings.h"
#include "connection/RdaHttpTunnel.h"
#include "connection/RdaTransport.h"
#include "connection/RdaUserInterface.h"
#include "connection/RdaWebServer.h"
#include "memdata/RdaCustomDataSet.h"
#include "messaging/RdaBodyTransforms.h"
#include "messaging/RdaParamList.h"
#include "messaging/RdaStringLine.h"
#include "messaging/RdaWire.h"

namespace rda {

class TRdaClientSocket;

// A framed message waiting to be written (blocking mode), or a hand-built HTTP
// request waiting for the socket; `Waits`: its sender waits for the reply.
struct TRdaOutboxEntry {
  std::string Bytes;
  bool Waits = false;
};

// One caller waiting in the core: OpenAndWait (request false) or a request that wants
// its reply.
struct TRdaWait {
  bool request = false;
  bool ended = false;         // a reply (or anything else) ended it
  bool disconnected = false;  // the connection dropped before it ended
  bool timedOut = false;      // ReplyTimeout passed
  std::exception_ptr error;   // raised while it waited; the caller raises it
};

// What the core asks of the platform.
class TRdaCoreDriver {
 public:
  // ---- The carriage ----
  // The transport in use: its events come back into the core through the driver.
  virtual TRdaTransport& Transport() = 0;
  // Selects the platform HTTP client (form 1) or the stream transport for what
  // follows; a change closes the transport in use at once, without events.
  virtual void SelectHttpClient(bool httpClient) = 0;
  // The platform HTTP client while it is selected, else null.
  virtual TRdaHttpClientTransport* HttpClient() = 0;

  // ---- Waits ----
  // Runs the event loop until `wait` has ended (TRdaClientCore::EndReplyWait calls
  // StopRequestWait) or the application quits.
  virtual void RunRequestWait(TRdaWait& wait) = 0;
  virtual void StopRequestWait() = 0;
  // Runs the event loop until `done` or `limitMs` (0: no limit) or the application
  // quits; WakeWaits makes it look at `done` again.
  virtual void RunUntil(const std::function<bool()>& done, int limitMs) = 0;
  virtual void WakeWaits() = 0;
  // Lets pending events run once (user input held back).
  virtual void ProcessEvents() = 0;

  // ---- Time ----
  // NextDeadline has moved earlier (or a deadline was set where none was).
  virtual void DeadlinesChanged() = 0;

  // ---- The outside ----
  virtual TRdaUserInterface& UserInterface() = 0;
  // The running program's file name, without its folder ("" when unknown).
  virtual std::string ProgramFileName() = 0;
  // The program's command-line parameters, without the program.
  virtual std::vector<std::string> CommandLine() = 0;

  // ---- Components (handed the connection they belong to) ----
  virtual void ToComponent(TRdaComponent& component, const TRdaComponentMessage& message) = 0;
  virtual void OutputParamsToComponent(TRdaComponent& component, TRdaParamList& params) = 0;
  virtual void RowsAffectedToComponent(TRdaComponent& component, int rowsAffected) = 0;
  virtual void ReopenComponent(TRdaComponent& component) = 0;
  virtual void ReconnectedComponent(TRdaComponent& /*component*/) {}

  // ---- The program's files (client updates, the patcher, file segments) ----
  // Null (the default) for a driver that writes no files: what a server sends to be
  // written is then refused with an error.
  virtual TRdaClientFiles* ClientFiles() { return nullptr; }

 protected:
  ~TRdaCoreDriver() = default;
};

class TRdaClientCore {
 public:
  using TimePoint = TRdaClock::TimePoint;

  // `driver`, `events` and `clock` must outlive the core. `owner` is the connection
  // the core works for (what TRdaWebServer::Owner answers); it may be null.
  TRdaClientCore(TRdaCoreDriver& driver, TRdaClientEvents& events, const TRdaClock& clock,
                 TRdaClientSocket* owner = nullptr);
  // Ends every wait and tells registered components and the status display to forget
  // this core (the driver tells the components about the connection first).
  ~TRdaClientCore();
  TRdaClientCore(const TRdaClientCore&) = delete;
  TRdaClientCore& operator=(const TRdaClientCore&) = delete;

  // ---- Settings ------------------------------------------------------------------------

  TRdaConnectionSettings& Settings() { return settings_; }
  const TRdaConnectionSettings& Settings() const { return settings_; }
  TRdaBodyTransforms& Transforms() { return transforms_; }
  const TRdaBodyTransforms& Transforms() const { return transforms_; }
  TRdaWebServer& WebServer() { return webServer_; }
  const TRdaWebServer& WebServer() const { return webServer_; }
  // Setters with an effect (the others write Settings() directly).
  void SetKeepAlivePing(int minutes);
  void SetSQLDialect(TSQLDialect value);
  void SetStatusBar(TRdaStatusDisplay* value);
  TRdaStatusDisplay* StatusBar() const { return statusBar_; }
  // Milliseconds per KeepAlivePing unit (60000: minutes).
  void SetKeepAliveUnit(int ms) { keepAliveUnitMs_ = ms; }

  // ---- State ---------------------------------------------------------------------------

  TRdaConnectionState State() const { return state_; }
  bool Active() const { return state_ == TRdaConnectionState::Connected; }
  uint8_t TransportMode() const { return transportMode_; }
  bool DirectTcp() const { return directTcp_; }
  const std::string& ProxiedAddress() const { return proxiedAddress_; }
  void SetProxiedAddress(const std::string& value) { proxiedAddress_ = value; }
  int ProxiedPort() const { return proxiedPort_; }
  void SetProxiedPort(int value) { proxiedPort_ = value; }
  int PendingReplies() const { return pendingReplies_; }
  bool WaitingForOpen() const { return waitingForOpen_; }
  int LastSocketError() const { return lastSocketError_; }
  int LoginAttempts() const { return loginAttempts_; }
  int ConnectAttempts() const { return connectAttempts_; }
  const std::string& ReplyText() const { return replyText_; }
  void SetReplyText(const std::string& value) { replyText_ = value; }
  bool ReplyIsError() const { return replyIsError_; }
  void SetReplyIsError(bool value) { replyIsError_ = value; }
  bool RaiseSqlImmediately() const { return raiseSqlImmediately_; }
  void SetRaiseSqlImmediately(bool value) { raiseSqlImmediately_ = value; }
  bool CallerTakesErrors() const { return callerTakesErrors_; }
  void SetCallerTakesErrors(bool value) { callerTakesErrors_ = value; }
  int32_t SessionId() const { return sessionId_; }
  void SetSessionId(int32_t id) { sessionId_ = id; }
  double ServerVersion() const { return serverVersion_; }
  const std::string& AnchorReturnAddress() const { return anchorReturnAddress_; }
  TClientAnchorStatus AnchorStatus() const { return anchorStatus_; }
  std::string AnchorStatusText() const;
  TRdaParamList& LoginParams() { return loginParams_; }
  TRdaParamList* TriggerParams() { return triggerParams_.get(); }
  void SetTriggerParams(std::unique_ptr<TRdaParamList> params) { triggerParams_ = std::move(params); }
  TRdaMessageStack& MessageStack() { return stack_; }
  const std::deque<TRdaOutboxEntry>& Outbox() const { return outbox_; }
  // A request waits for its reply (and nothing has ended its wait yet).
  bool RequestWaiting() const;
  // A blocking exchange runs: it reads the transport itself.
  bool InBlockingExchange() const { return inBlockingExchange_; }
  // From the start of a server-pushed client update (token 39) until its file (token
  // 38) has come, or the connection was lost first.
  bool UpdateInProgress() const { return updateInProgress_; }

  // ---- Life ----------------------------------------------------------------------------

  void SetActive(bool value);
  void OpenAndWait();
  void CloseAndWait();
  // Address steps of Loaded() without connecting: LOCAL, "address:port", a name as
  // Host, then the command-line keys. False when neither address nor host is left.
  bool ApplyAddressRules();

  // HTTP tunnelling (TRdaWebServer and TRdaClientSocket::SetupWebTunnel).
  void SelectHttpTransport();
  void SelectDirectTcp();
  void SetupWebTunnel(const std::string& webServerAddress, const std::string& dataServerAddress,
                      const std::string& path, uint16_t webServerPort, uint16_t dataServerPort);

  // ---- Requests and replies ------------------------------------------------------------

  void SendMessage(TRdaStringLine& line, bool waitForReply);
  std::string BlockingExchange(int timeoutMs);
  void EndReplyWait(bool force);
  std::string TakeServerError();
  void SendCodedMessage(int32_t msgId, const std::string& text);
  std::string SendCodedParamList(int32_t msgId, const TRdaParamList* list, bool wantReply);
  void SendServerUtilityRequest(int32_t code, const std::string& text);

  // ---- Instant messaging and the metadata cache (RdaClientCoreLists.cpp) -------------

  // The datasets the server's lists fill; null until the first list came. They
  // live as long as the core (a new user list replaces the rows, not the dataset).
  TRdaDataSet* Contacts() const { return contacts_.get(); }
  TRdaDataSet* UserList() const { return userList_.get(); }
  TRdaDataSet* WaitingMail() const { return waitingMail_.get(); }
  // Whether a metadata cache is held, and its entry `name` (raises Exception
  // "MetaData Not Cached!" without a cache, name + " not found in cache"
  // without that entry). The dataset lives until the next cache replaces it.
  bool MetaDataCached() const { return !metaCache_.empty(); }
  TRdaDataSet& GetCachedMetaData(std::string_view name);
  // After a verified login, or after connecting without a login: loads the
  // cache file or asks the server, as CacheMetaDataOptions says.
  void StartMetaDataCache();
  // Takes a cache dataset (rows: name, dataset stream) as the new cache.
  void SetMetaDataCache(TRdaDataSet& cache);

  // ---- Components ----------------------------------------------------------------------

  int ComponentId(TRdaComponent* component);
  TRdaComponent* ComponentById(int id) const;
  void ReleaseComponentId(TRdaComponent* component);
  void BindDataset(TRdaComponent* dataset);
  void UnbindDataset(TRdaComponent* dataset);
  // Every component registered or bound, each once.
  std::vector<TRdaComponent*> KnownComponents() const;
  // Forgets every component (for a connection that is going away) and returns them,
  // each once, so that the connection can tell them.
  std::vector<TRdaComponent*> DetachComponents();
  // A registered or bound component is going away.
  void ForgetComponent(TRdaComponent* component);

  // The copying step of a connection into `copy`'s core: the shared settings, the
  // transport, the transforms and the session (a source without a session id takes
  // the copy's). The events are the connection's to copy.
  void CopyTo(TRdaClientCore& copy);

  // ---- Transport events in -------------------------------------------------------------

  void TransportLookup();
  void TransportConnecting();
  void TransportConnected();
  // The transport is closed; `lastBytes` arrived with the close.
  void TransportDisconnected(std::string_view lastBytes);
  void TransportBytesWritten();
  // A socket error. `lastBytes`: what the peer sent before closing (peerClosed).
  void TransportError(int code, TErrorEvent kind, bool peerClosed, std::string_view lastBytes);
  // Bytes read from the transport (OnRead, and the reply limit starts again).
  void Readable(std::string_view bytes);
  // Form 1: one request ended; its steps and its progress.
  void HttpResponse(TRdaHttpResult& result);
  void HttpProgress(int64_t expected, int64_t received);
  void HttpStatus(uint32_t status);
  // Shows a platform HTTP client step in panel 1 of the status bar; true while the
  // connection does so for want of an OnWinInetStatus handler.
  void ShowWinInetStatus(uint32_t status);
  bool ShowsWinInetStatus() const { return ownWinInetStatus_; }

  // The receive paths themselves (also for tests and fuzzing): received stream bytes
  // (cut, unpacked, parsed and dispatched, or read as HTTP responses in the hand-built
  // forms), and the end of the connection for a hand-built HTTP response. Raise
  // ERdaProtocolError (the other messages are still handled); a framing error drops
  // the connection.
  void Receive(std::string_view bytes);
  void ReceiveEnd();

  // ---- Time ----------------------------------------------------------------------------

  // The earliest time something is due (the reply limit, a keep-alive, a reconnect, a
  // server message's move of the connection), or nothing.
  std::optional<TimePoint> NextDeadline() const;
  // Does what is due now.
  void ProcessDeadlines();
  // A connect is to be tried again (a refused login below the limit, the return to an
  // anchor, requests queued for a web server that closed).
  bool ReconnectScheduled() const { return reconnectDeadline_.has_value(); }

  // ---- Errors --------------------------------------------------------------------------

  // An error raised while an event was handled: to the innermost wait, else to
  // OnException, else to the user interface.
  void ReportError(std::exception_ptr error) noexcept;
  template <typename F>
  void Guarded(F&& f) noexcept {
    try {
      f();
    } catch (...) {
      ReportError(std::current_exception());
    }
  }
  // Expires when the core goes away, so that a caller can tell that a handler
  // destroyed the connection.
  std::weak_ptr<int> AliveToken() const { return alive_; }

 private:
  // Life.
  void DoConnected();
  void SendLogin();
  void HandleDisconnect();
  void DropConnection();
  void CloseNow();
  void EnsureTransport();
  void RenewStack();
  void SetAnchorStatus(TClientAnchorStatus status);
  void ShowStatus(const std::string& text);
  void EndApplication();
  std::string SocketErrorMessage(int code) const;
  const std::string& OpenTarget() const {
    return settings_.Address.empty() ? settings_.Host : settings_.Address;
  }
  void DoReconnect();
  void DoReset();
  void DoRedirect(const TRdaComponentMessage& m);

  // Waits.
  void RequestWait();
  void Deliver(std::exception_ptr error) noexcept;
  std::string NoReplyText() const;

  // Sending.
  std::string FrameMessage(const std::string& packed) const;
  int64_t WriteRaw(std::string_view bytes);
  void SyncTransformEvents();

  // HTTP tunnelling.
  bool Tunnelling() const { return transportMode_ == tmHttpProxy || transportMode_ == tmHttpWebServer; }
  // HTTP framing without DirectTcp: the web server (or proxy) stands between us and
  // the data server, so every request stands on its own (or on its session header):
  // nothing is logged in on connect, and what is queued survives a closed connection.
  // Mode 1 chosen on the command line keeps DirectTcp: its socket reaches the data
  // server, which logs it in and whose loss is reported like a direct connection's.
  bool TunnelsOverHttp() const { return Tunnelling() && !directTcp_; }
  bool ViaHttpClient() const { return transportMode_ == tmHttpWebServer && settings_.WebServer.WinInet; }
  bool HandBuiltHttp() const {
    return Tunnelling() && !ViaHttpClient() && settings_.ClientType == ctNonBlocking;
  }
  void StatelessStep(std::string& body, bool packup);
  TRdaHttpRequestSettings HttpRequestSettings();
  void SendThroughHttpClient(const std::string& frame, bool waitForReply);
  void SendHandBuilt(const std::string& frame, bool waitForReply);
  void PumpOutbox();
  void ProcessHttpBytes(std::string_view bytes);
  void DeliverAnswer(const std::string& answer);
  void HttpResponseDone(bool pump);
  void CheckHttpReply();
  void ResponseWithoutReply();

  // Receiving.
  void ReceiveStream(std::string_view bytes);
  void AppendWithProgress(std::string_view bytes);
  void FinishReceive(std::exception_ptr framingError);
  void ProcessMessages();
  void DispatchMessage(TRdaStringLine& line);
  void DoSqlError(const TRdaComponentMessage& m);
  void DoLoginReply(const TRdaComponentMessage& m);
  void DoTerminate(const TRdaComponentMessage& m);
  void DoCodedParamList(const TRdaComponentMessage& m);
  void DoServerUtilityInfo(const TRdaComponentMessage& m);
  void DoCustomObject(const TRdaComponentMessage& m);
  void DoAsyncException(const TRdaComponentMessage& m);
  void DoDatasetReply(TRdaComponentMessage& m);
  // The user, contact and waiting-mail lists of a coded parameter list or of
  // the server parameters of a login; the items they came in are removed.
  void DoInstantLists(TRdaParamList& params, bool waiting);
  void DoUserStatus(const TRdaParamList& params);
  void DoMetaDataCache(const TRdaParamList& params);

  // Client updates and file segments (RdaClientCoreUpdate.cpp).
  TRdaClientFiles& Files();
  void PutNeedPatcher();
  void DoUpdateStart();
  void DoUpdateFile(const TRdaComponentMessage& m);
  void DoPatcher(const TRdaParamList& params);
  void DoFileSegment(const TRdaParamList& params);
  // The progress of a message being received: its size once known, and then the
  // bytes of it received so far (to the update window during an update, else to
  // OnReadProgress).
  void MessageSizeKnown(int64_t size);
  void ReadProgress(int64_t received);
  void UpdateProgress(int64_t received);
  // The connection is gone: an update that was arriving has failed, and files that
  // were arriving in segments are dropped.
  void AbandonTransfers();

  // Deadlines.
  void Later(std::function<void()> action);
  void StartReconnectTimer();
  void ArmReplyDeadline();
  void PushReplyDeadline();
  void SetDeadline(std::optional<TimePoint>& deadline, TimePoint at);
  void ReplyDeadlinePassed();

  void Remember(TRdaComponent* component);

  TRdaCoreDriver& driver_;
  TRdaClientEvents& events_;
  const TRdaClock& clock_;

  TRdaConnectionSettings settings_;
  TRdaWebServer webServer_;
  TRdaBodyTransforms transforms_;
  TRdaStatusDisplay* statusBar_ = nullptr;
  TClientAnchorStatus anchorStatus_ = TACNoAnchor;

  // Connection state.
  TRdaConnectionState state_ = TRdaConnectionState::Inactive;
  uint8_t transportMode_ = tmDirectTcp;
  bool directTcp_ = true;
  std::string proxiedAddress_;
  int proxiedPort_ = 0;
  int pendingReplies_ = 0;
  bool waitingForOpen_ = false;
  int lastSocketError_ = 0;
  int loginAttempts_ = 0;
  int connectAttempts_ = 0;
  std::string replyText_;
  bool replyIsError_ = false;
  bool raiseSqlImmediately_ = false;
  bool callerTakesErrors_ = false;
  int32_t sessionId_ = 0;
  double serverVersion_ = 0;
  std::string anchorReturnAddress_;
  TRdaParamList loginParams_;
  std::unique_ptr<TRdaParamList> triggerParams_;
  // True from an application's (or our own) close until the next open: the
  // disconnect that follows is expected and raises nothing.
  bool closeRequested_ = false;
  // True when an error closed the connection and was reported as such: the
  // disconnect handling raises nothing more (it still goes back to an anchor).
  bool closeReported_ = false;
  bool disconnectHandled_ = true;
  bool inBlockingExchange_ = false;
  bool httpClientSelected_ = false;  // the driver's transport is the platform HTTP client

  TRdaMessageStack stack_;
  // Frames queued by a blocking connection for the next BlockingExchange, or
  // hand-built HTTP requests waiting for the socket.
  std::deque<TRdaOutboxEntry> outbox_;

  // HTTP tunnelling.
  TRdaHttpResponseReader httpReader_;
  int httpOutstanding_ = 0;         // requests sent whose response has not ended
  bool httpInFlightWaits_ = false;  // the hand-built request on the socket waits
  bool wasConnected_ = false;       // the current (or last) open reached the server
  // Set by every message that ends (or counts down) a reply wait; cleared when a
  // waiting request goes out through the tunnel, so that a complete HTTP response
  // that brought no reply for it is told apart from an answered one.
  bool replyArrived_ = false;
  // The component id of the last request sent to wait for its reply: a dataset
  // reply ends a wait only when it is for that component, so that what arrives late
  // for one dataset (or is pushed at another) never ends the wait of the next.
  int32_t waitingComponent_ = 0;
  bool ownWinInetStatus_ = false;  // show HTTP client steps in the status bar

  // Read progress.
  bool messageStarted_ = true;
  int64_t expectedBytes_ = 0;
  int64_t receivedSoFar_ = 0;

  // A server-pushed update: its start, and what its window shows.
  bool updateInProgress_ = false;
  TimePoint updateStart_{};
  TRdaUpdateProgress updateView_;
  // Files arriving in segments, by their LocalFileName, until their last segment.
  std::vector<std::pair<std::string, std::unique_ptr<TRdaFileSink>>> fileSegments_;

  // Components: (id, component) in registration order; bound datasets.
  std::vector<std::pair<int, TRdaComponent*>> registry_;
  int lastComponentId_ = 0;
  std::vector<TRdaComponent*> datasets_;

  std::vector<TRdaWait*> waits_;  // innermost last

  // Instant messaging and the metadata cache.
  std::unique_ptr<TRdaDataSet> contacts_;
  std::unique_ptr<TRdaDataSet> userList_;
  std::unique_ptr<TRdaDataSet> waitingMail_;
  std::vector<std::pair<std::string, std::unique_ptr<TRdaDataSet>>> metaCache_;
  std::string pendingCacheFile_;  // where the next cache from the server is saved

  // Deadlines. The reply limit counts silence: every byte received moves it on.
  std::optional<TimePoint> replyDeadline_;
  std::optional<TimePoint> keepAliveDeadline_;
  std::optional<TimePoint> reconnectDeadline_;
  // Work a server message asked for, done once the receive path has returned (a
  // redirect, reconnect or reset closes and opens the connection).
  std::deque<std::function<void()>> later_;
  int keepAliveUnitMs_ = 60000;

  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace rda
