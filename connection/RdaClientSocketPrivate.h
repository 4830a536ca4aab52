// The implementation of TRdaClientSocket. Internal to the library: its own tests, the
// fuzz target of the receive path and the transports include it; applications use
// RdaClientSocket.h.
//
// Invariants:
//   - state_ follows the transport: Connected exactly while the transport is, Inactive
//     once it is idle; Opening and Closing in between.
//   - waiters_ holds one entry per running OpenAndWait / request wait, innermost last.
//     An error raised while handling a socket event goes to the innermost waiter (it
//     raises it when its wait returns); with no waiter it goes to OnException.
//   - The disconnect handling runs once per opened connection (disconnectHandled_).
//   - The message stack holds bytes of the current connection only: it is renewed on
//     every open and after a protocol error that drops the connection.
//   - HTTP tunnelling (TransportMode 1 or 2): with the platform HTTP client (form 1)
//     the transport is a TRdaHttpClientTransport (httpClient_ points at it), else TCP.
//     The hand-built forms keep at most one request on the socket (httpOutstanding_
//     is 0 or 1); the others wait in outbox_ and go, in order, when its response is
//     complete. A request's wait ends when its response is complete.
#pragma once

#include <QTimer>

#include <chrono>
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

#include "connection/RdaClientSocket.h"
#include "connection/RdaComponent.h"
#include "connection/RdaHttpTunnel.h"
#include "connection/RdaSmartWait.h"
#include "connection/RdaTransport.h"
#include "connection/RdaUserInterface.h"
#include "connection/RdaWebServer.h"
#include "messaging/RdaBodyTransforms.h"
#include "messaging/RdaParamList.h"
#include "messaging/RdaStringLine.h"

class QEventLoop;

namespace rda {

// A framed message waiting to be written (blocking mode), or a hand-built HTTP
// request waiting for the socket; `Waits`: its sender waits for the reply.
struct TRdaOutboxEntry {
  std::string Bytes;
  bool Waits = false;
};

class TRdaClientSocketPrivate final : public TRdaTransportEvents {
 public:
  explicit TRdaClientSocketPrivate(TRdaClientSocket& q);
  ~TRdaClientSocketPrivate();

  // ---- Internal entries (tests, fuzzing, transports) --------------------------------

  // The receive path without a socket: appends `bytes` to the message stack and
  // unpacks, parses and dispatches every complete message, exactly as bytes read from
  // the transport are. Raises ERdaProtocolError with the text of the first error (the
  // other messages are still handled); a framing error also drops the connection.
  void ProcessReceivedBytes(std::string_view bytes);
  // Replaces the transport (closing the old one at once). The default is direct TCP.
  void SetTransport(std::unique_ptr<TRdaTransport> transport);
  TRdaTransport& Transport() { return *transport_; }
  // Address steps of Loaded() without connecting: LOCAL, "address:port", a name as
  // Host, then the command-line keys. False when neither address nor host is left.
  bool ApplyAddressRules();
  // Milliseconds per KeepAlivePing unit (60000: minutes).
  void SetKeepAliveUnit(int ms) { keepAliveUnitMs_ = ms; }
  TRdaMessageStack& MessageStack() { return stack_; }
  TRdaBodyTransforms& Transforms() { return transforms_; }
  const std::deque<TRdaOutboxEntry>& Outbox() const { return outbox_; }
  // The hand-built HTTP forms' receive path without a socket: `bytes` as read from the
  // web server or proxy, then (ProcessHttpEnd) the end of the connection. Raises what
  // the read path raises (ERdaProtocolError, the error-page text).
  void ProcessHttpBytes(std::string_view bytes);
  void ProcessHttpEnd();

  // HTTP tunnelling (TRdaWebServer and TRdaClientSocket::SetupWebTunnel).
  void SelectHttpTransport();
  void SelectDirectTcp();
  void SetupWebTunnel(const std::string& webServerAddress, const std::string& dataServerAddress,
                      const std::string& path, uint16_t webServerPort, uint16_t dataServerPort);
  // A registered or bound component is going away.
  void ForgetComponent(TRdaComponent* component);

  // ---- TRdaTransportEvents ---------------------------------------------------------

  void TransportLookup() override;
  void TransportConnecting() override;
  void TransportConnected() override;
  void TransportDisconnected() override;
  void TransportReadyRead() override;
  void TransportBytesWritten() override;
  void TransportError(int code, TErrorEvent kind, bool peerClosed) override;
  void TransportResponse(TRdaHttpResult& result) override;
  void TransportProgress(int64_t expected, int64_t received) override;
  void TransportStatus(uint32_t status) override;

 private:
  friend class TRdaClientSocket;

  // A running OpenAndWait or request wait.
  struct Waiter {
    bool request = false;
    bool ended = false;         // a reply (or anything else) ended it
    bool disconnected = false;  // the connection dropped before it ended
    bool timedOut = false;      // ReplyTimeout passed
    std::exception_ptr error;   // raised while it waited; it raises it
  };

  // Life.
  bool Active() const { return state_ == TRdaConnectionState::Connected; }
  void SetActive(bool value);
  void OpenAndWait();
  void CloseAndWait();
  void DoConnected();
  void SendLogin();
  void HandleDisconnect();
  void DropConnection();
  void SetAnchorStatus(TClientAnchorStatus status);
  std::string AnchorStatusText() const;
  void ShowStatus(const std::string& text);
  void SetKeepAlivePing(int minutes);
  void StartReconnectTimer();
  void EndApplication();
  std::string SocketErrorMessage(int code) const;
  const std::string& OpenTarget() const { return settings_.Address.empty() ? settings_.Host : settings_.Address; }
  void Loaded();

  // Waits and errors.
  void RunLoopUntil(const std::function<bool()>& done, int limitMs);
  void WakeLoops();
  void RequestWait();
  void ReportError(std::exception_ptr error) noexcept;
  void Deliver(std::exception_ptr error) noexcept;
  template <typename F>
  void Guarded(F&& f) noexcept {
    try {
      f();
    } catch (...) {
      ReportError(std::current_exception());
    }
  }

  // Sending.
  void SendMessage(TRdaStringLine& line, bool waitForReply);
  std::string FrameMessage(const std::string& packed) const;
  int64_t WriteRaw(std::string_view bytes);
  std::string BlockingExchange(int timeoutMs);
  void EndReplyWait(bool force);
  void SendCodedMessage(int32_t msgId, const std::string& text);
  std::string SendCodedParamList(int32_t msgId, const TRdaParamList* list, bool wantReply);
  void SendServerUtilityRequest(int32_t code, const std::string& text);
  void SyncTransformEvents();

  // HTTP tunnelling.
  // HTTP framing: requests go as HTTP POSTs and answers come as HTTP responses.
  bool Tunnelling() const { return transportMode_ == 1 || transportMode_ == 2; }
  // HTTP framing without DirectTcp: the web server (or proxy) stands between us and
  // the data server, so every request stands on its own (or on its session header):
  // nothing is logged in on connect, and what is queued survives a closed connection.
  // Mode 1 chosen on the command line keeps DirectTcp: its socket reaches the data
  // server, which logs it in and whose loss is reported like a direct connection's.
  bool TunnelsOverHttp() const { return Tunnelling() && !directTcp_; }
  bool ViaHttpClient() const { return transportMode_ == 2 && webServer_.WinInet(); }
  bool HandBuiltHttp() const {
    return Tunnelling() && !ViaHttpClient() && settings_.ClientType == ctNonBlocking;
  }
  void EnsureTransport();
  void ReplaceTransport(std::unique_ptr<TRdaTransport> transport);
  void CloseNow();
  void StatelessStep(std::string& body, bool packup);
  TRdaHttpRequestSettings HttpRequestSettings();
  void SendThroughHttpClient(const std::string& frame, bool waitForReply);
  void SendHandBuilt(const std::string& frame, bool waitForReply);
  void PumpOutbox();
  void ReadHttpResponse();
  void DeliverAnswer(const std::string& answer);
  void HttpResponseDone(bool pump);
  void CheckHttpReply();
  void ResponseWithoutReply();
  void ShowWinInetStatus(uint32_t status);
  void ArmReplyTimer();
  void RenewStack();
  std::string NoReplyText() const;

  // Receiving.
  void ReceiveFromTransport();
  void ReadAvailable();
  void ReadWithProgress();
  void FinishReceive(std::exception_ptr framingError);
  void ProcessMessages();
  void DispatchMessage(TRdaStringLine& line);
  void DoSqlError(const TRdaComponentMessage& m);
  void DoLoginReply(const TRdaComponentMessage& m);
  void Later(std::function<void()> action);
  void DoReconnect();
  void DoReset();
  void DoRedirect(const TRdaComponentMessage& m);
  void DoTerminate(const TRdaComponentMessage& m);
  void DoCodedParamList(const TRdaComponentMessage& m);
  void DoServerUtilityInfo(const TRdaComponentMessage& m);
  void DoCustomObject(const TRdaComponentMessage& m);
  void DoAsyncException(const TRdaComponentMessage& m);
  void DoDatasetReply(TRdaComponentMessage& m);

  // Components.
  void Remember(TRdaComponent* component);

  TRdaUserInterface& UI() { return ui_ != nullptr ? *ui_ : headless_; }

  TRdaClientSocket& q_;

  // Published settings (the web server's among them).
  TRdaConnectionSettings settings_;
  TRdaBodyTransforms transforms_;
  TRdaStatusDisplay* statusBar_ = nullptr;
  TClientAnchorStatus anchorStatus_ = TACNoAnchor;

  // Connection state.
  TRdaConnectionState state_ = TRdaConnectionState::Inactive;
  uint8_t transportMode_ = 0;
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

  TRdaSmartWait smartWait_;
  TRdaMessageStack stack_;
  std::unique_ptr<TRdaTransport> transport_;
  TRdaHeadlessUserInterface headless_;
  TRdaUserInterface* ui_ = nullptr;
  std::optional<std::vector<std::string>> commandLine_;

  // Frames queued by a blocking connection for the next BlockingExchange, or
  // hand-built HTTP requests waiting for the socket.
  std::deque<TRdaOutboxEntry> outbox_;

  // HTTP tunnelling.
  TRdaWebServer webServer_{&q_, &settings_.WebServer};
  TRdaHttpClientTransport* httpClient_ = nullptr;  // transport_ when it is the HTTP client
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
  bool ownWinInetStatus_ = false;   // show HTTP client steps in the status bar

  // Read progress.
  bool messageStarted_ = true;
  int64_t expectedBytes_ = 0;
  int64_t receivedSoFar_ = 0;

  // Components: (id, component) in registration order; bound datasets.
  std::vector<std::pair<int, TRdaComponent*>> registry_;
  int lastComponentId_ = 0;
  std::vector<TRdaComponent*> datasets_;

  std::vector<Waiter*> waiters_;
  std::vector<QEventLoop*> loops_;  // nested loops of OpenAndWait / CloseAndWait
  QTimer keepAliveTimer_;
  QTimer reconnectTimer_;
  QTimer replyTimer_;
  std::chrono::steady_clock::time_point replyDeadline_;
  int keepAliveUnitMs_ = 60000;
  // Expires when the connection object goes away, so that a receive loop can tell
  // that a handler destroyed it.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace rda
