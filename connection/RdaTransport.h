// The transport under a connection: how bytes reach the server and come back.
//
// A connection composes, packs and frames messages, and cuts received bytes into
// messages again, without knowing what carries them. It talks to one TRdaTransport,
// shaped like a stream socket: open, write, read, close, and events for each step.
// Direct TCP is TRdaTcpTransport over QTcpSocket. The HTTP carriages plug in behind
// the same interface:
//   - the hand-built request forms run on a TCP transport; the connection wraps each
//     frame in its request text, and the message stack strips the response headers;
//   - the platform HTTP client form is a second implementation
//     (MakeHttpClientTransport): Write collects one request body, EndOfRequest posts
//     it, and the response comes back whole through TransportResponse; the codec
//     above is the same.
//
// Error codes are the system's Winsock numbers (10061 connection refused, ...), so
// that the connection's error texts do not depend on the platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "base/Exception.h"
#include "connection/RdaConnectionSettings.h"

namespace rda {

// The Winsock error codes the connection reports (its texts do not depend on the
// platform).
inline constexpr int kWSAEACCES = 10013;
inline constexpr int kWSAEINVAL = 10022;
inline constexpr int kWSAEWOULDBLOCK = 10035;
inline constexpr int kWSAEINPROGRESS = 10036;
inline constexpr int kWSAEMSGSIZE = 10040;
inline constexpr int kWSAEOPNOTSUPP = 10045;
inline constexpr int kWSAEADDRINUSE = 10048;
inline constexpr int kWSAEADDRNOTAVAIL = 10049;
inline constexpr int kWSAECONNABORTED = 10053;
inline constexpr int kWSAECONNRESET = 10054;
inline constexpr int kWSAENOBUFS = 10055;
inline constexpr int kWSAETIMEDOUT = 10060;
inline constexpr int kWSAECONNREFUSED = 10061;
inline constexpr int kWSAEHOSTUNREACH = 10065;
inline constexpr int kWSAHOST_NOT_FOUND = 11001;

// A TLS connection that could not be made secure, in WinInet's numbers for the same
// failures (the HTTP carriage's steps are WinInet's too); LastErrorText says what was
// wrong.
inline constexpr int kInternetSecCertDateInvalid = 12037;  // expired or not yet valid
inline constexpr int kInternetSecCertCnInvalid = 12038;    // names another host
inline constexpr int kInternetInvalidCa = 12045;           // not from a trusted issuer
inline constexpr int kInternetSecurityChannelError = 12157;  // the handshake failed
inline bool IsTlsErrorCode(int code) {
  return code == kInternetSecCertDateInvalid || code == kInternetSecCertCnInvalid ||
         code == kInternetInvalidCa || code == kInternetSecurityChannelError;
}

// A socket error with its Winsock-style code.
class ESocketError : public Exception {
 public:
  ESocketError(std::string message, int code) : Exception(std::move(message)), code_(code) {}
  int ErrorCode() const noexcept { return code_; }

 private:
  int code_;
};

// What a socket was doing when an error happened (passed to OnError).
enum TErrorEvent : uint8_t { eeGeneral, eeSend, eeReceive, eeConnect, eeDisconnect, eeAccept, eeLookup };

// One request of a request-response transport, as it ended.
struct TRdaHttpResult {
  bool Waits = false;  // the request was sent by a caller that waits for its reply
  int Status = 0;      // the HTTP status; 0 when none came
  std::string Body;    // the response body (2xx only)
  // Empty on success; else why the request failed: a network or TLS error in the
  // platform's words, or "<reason> (<status>)" for a status of 300 or above.
  std::string Error;
};

// The receiver of a transport's events (the connection). Events arrive on the
// thread that owns the transport, from its event loop, or synchronously from the
// blocking calls below.
class TRdaTransportEvents {
 public:
  virtual void TransportLookup() = 0;
  virtual void TransportConnecting() = 0;
  virtual void TransportConnected() = 0;
  // The connection is closed, by either side; follows an error that ended it.
  virtual void TransportDisconnected() = 0;
  virtual void TransportReadyRead() = 0;
  virtual void TransportBytesWritten() = 0;
  // A socket error: its Winsock code and what the socket was doing. `peerClosed` marks
  // the peer closing its end (whether orderly or by a reset cannot be told apart).
  virtual void TransportError(int code, TErrorEvent kind, bool peerClosed) = 0;

  // Request-response transports only.
  // One request has ended, in the order the requests were made.
  virtual void TransportResponse(TRdaHttpResult& /*result*/) {}
  // Bytes of the current response so far, and how many are expected (0: unknown).
  virtual void TransportProgress(int64_t /*expected*/, int64_t /*received*/) {}
  // A step of the current request, as a WinInet status code (RdaHttpTunnel.h).
  virtual void TransportStatus(uint32_t /*status*/) {}

 protected:
  ~TRdaTransportEvents() = default;
};

class TRdaTransport {
 public:
  virtual ~TRdaTransport() = default;

  // Where events go; not owned. Set before Open.
  void SetEvents(TRdaTransportEvents* events) { events_ = events; }

  // Starts connecting to a host name or dotted address; the outcome arrives as
  // TransportConnected or TransportError. A connect that neither succeeds nor fails
  // within `connectTimeoutMs` (0 = the system's own limit) is reported as 10060.
  // With `tls.Enabled` the connection is up only once the TLS handshake and the
  // checks of the server's certificate have passed (a stream transport's business; a
  // request-response transport ignores it).
  virtual void Open(const std::string& host, uint16_t port, int connectTimeoutMs,
                    const TRdaTlsSettings& tls) = 0;
  // Closes gracefully: bytes already written still go out; TransportDisconnected
  // follows (at once when nothing is pending).
  virtual void Close() = 0;
  // Closes at once, dropping pending bytes.
  virtual void Abort() = 0;
  virtual bool IsConnected() const = 0;
  // Neither connecting, connected nor closing.
  virtual bool IsIdle() const = 0;

  // Hands bytes to the transport; returns how many it took (0: not connected).
  virtual int64_t Write(std::string_view bytes) = 0;
  // Starts sending what Write took without waiting for the event loop.
  virtual void Flush() = 0;
  // Marks the end of one framed request (after its last Write). A stream transport
  // has nothing to do; a request-response transport sends the request now.
  virtual void EndOfRequest(bool /*waitsForReply*/) {}
  virtual int64_t BytesAvailable() const = 0;
  // Reads up to `max` bytes of what has arrived; never blocks.
  virtual size_t Read(char* buffer, size_t max) = 0;

  // Blocking use (the blocking client type): each waits at most `ms` milliseconds
  // and returns false on time-out or error. A transport without blocking use keeps
  // these as they are: nothing is ever ready.
  virtual bool WaitForConnected(int /*ms*/) { return false; }
  virtual bool WaitForBytesWritten(int /*ms*/) { return false; }
  virtual bool WaitForReadyRead(int /*ms*/) { return false; }
  virtual int64_t BytesToWrite() const { return 0; }

  // The Winsock code and the platform's text of the last error.
  virtual int LastErrorCode() const = 0;
  virtual std::string LastErrorText() const = 0;

 protected:
  TRdaTransportEvents* events_ = nullptr;
};

// Appends everything `transport` has received so far to `out`.
inline void ReadAvailable(TRdaTransport& transport, std::string& out) {
  char block[65536];
  while (transport.BytesAvailable() > 0) {
    const size_t n = transport.Read(block, sizeof block);
    if (n == 0) break;
    out.append(block, n);
  }
}

// Direct TCP over QTcpSocket, or QSslSocket when an Open asks for TLS.
std::unique_ptr<TRdaTransport> MakeTcpTransport();

// How the platform HTTP client makes the next request (form 1 of the tunnel).
struct TRdaHttpRequestSettings {
  std::string Url;             // http[s]://host:port/path?query, as sent
  std::string Agent = "Rda 2";
  bool IgnoreCertDate = false;  // certificate errors to ignore (HTTPS)
  bool IgnoreCertName = false;
  bool IgnoreCertCA = false;
  std::string SocksHost;  // a SOCKS 5 proxy, when not empty
  int SocksPort = 0;
  // Asked when a proxy wants a log-in (status 407), with the proxy's "host:port";
  // fills in a user name and password and returns true to try again. Asked at most
  // kMaxProxyLogins times per request; then the request fails with its 407.
  std::function<bool(const std::string& proxy, std::string& user, std::string& password)>
      AskProxyLogin;
  // Who listens. The steps (TransportStatus) are reported only when someone shows them.
  // The progress (TransportProgress) comes as the response arrives when the application
  // follows it, and otherwise only now and then, so that the reply limit still sees a
  // long response arriving: a short exchange then costs the connection's thread no
  // wake-up but the one for the result.
  bool ReportSteps = true;
  bool ReportProgress = true;
};
constexpr int kMaxProxyLogins = 3;

// The platform HTTP client (libcurl on a worker thread) as a transport. Open connects
// nothing: it makes the transport usable at once (TransportConnected comes before
// Open returns), and HTTP keeps its own connections. Each EndOfRequest posts the
// bytes written since the last one as one request, with the settings in force then;
// requests run one at a time in order, and each ends with TransportResponse. Close
// lets the running and queued requests finish first; Abort drops them without events.
// The blocking calls are not available (they return false).
class TRdaHttpClientTransport : public TRdaTransport {
 public:
  virtual void SetRequestSettings(TRdaHttpRequestSettings settings) = 0;
  // Requests posted and not yet ended.
  virtual int Outstanding() const = 0;
};
std::unique_ptr<TRdaHttpClientTransport> MakeHttpClientTransport();

// The Winsock code for a QAbstractSocket::SocketError value (passed as an int so that
// this header needs no Qt). `connected` tells whether the connection had been up.
int WinsockCodeForSocketError(int qtSocketError, bool connected);

// The system's text for the socket errors it explains itself (10053, 10054, 10061,
// 10065); empty for every other code. (Part of the protocol core, as are the types
// above; the transports themselves are the Qt driver's.)
std::string SocketErrorText(int code);

}  // namespace rda
