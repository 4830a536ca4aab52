// The HTTP carriage of a connection's messages, as bytes: the client's step of the
// stateless session header, the hand-built request texts, and the reading of an HTTP
// response. No I/O and no Qt here: the connection feeds received bytes in and writes
// what comes out, so that every piece can be tested, and fuzzed, as bytes.
//
// The session header's layout and codec are the wire vocabulary's
// (messaging/RdaWire.h). Outgoing messages carry it inside the encryption (in front of
// the compressed body); every reply starts with the 7-byte form in clear, carrying the
// id to use next. Response heads are read by base's HTTP/1.x head parser
// (base/HttpHead.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace rda {

// ---- Session header -------------------------------------------------------------------

// The header a message carries: the log-in form (user name and password cut to 15 and
// 10 characters) when `sessionId` is 0, else the session id form.
std::string SessionHeader(int32_t sessionId, std::string_view userName, std::string_view password);
// Takes the header off a received body and returns the session id it carries. Raises
// rda::Exception "Invalid Message" for a body that does not start with the 7-byte form
// (one shorter than 7 bytes among them).
int32_t TakeSessionHeader(std::string& body);

// ---- Requests -------------------------------------------------------------------------

// The object path of a platform HTTP client request (form 1):
// "/<dll>/RDA?<address>&<port>&<timeout>".
std::string WinInetObjectPath(std::string_view dll, std::string_view address, int port, int timeout);

// Form 2: the hand-built request to the tunnelling extension, body included. Raises
// rda::Exception when `dll` or `address` holds a blank or a control character (they
// would end the request line).
std::string ExtensionRequest(std::string_view dll, std::string_view address, int port,
                             std::string_view frame);

// Form 3: the hand-built request through an HTTP proxy (or straight to the data
// server), body included. `haveAddress` tells whether the connection has an Address
// (else the request line is the fixed "POST RDASHTTP / HTTP/1.0"); a proxy user name or
// password adds "Proxy-Authorization: Basic ...". Raises as ExtensionRequest for an
// address that would break the request.
std::string ProxyRequest(bool haveAddress, std::string_view proxiedAddress, int proxiedPort,
                         std::string_view proxyUserName, std::string_view proxyPassword,
                         std::string_view frame);

// Standard Base64 with "=" padding.
std::string Base64Encode(std::string_view bytes);

// The status bar text of a platform HTTP client status code ("Resolving...", ...;
// "Unknown State" for codes without one).
std::string WinInetStatusText(uint32_t status);

// Status codes the HTTP client transport reports (the values WinInet uses).
enum TRdaWinInetStatus : uint32_t {
  wsConnecting = 20,
  wsConnected = 21,
  wsSendingRequest = 30,
  wsRequestSent = 31,
  wsReceivingResponse = 40,
  wsResponseReceived = 41,
  wsRequestComplete = 100,
  wsRedirect = 110,
};

// ---- Responses ------------------------------------------------------------------------

// True when `text` is an error page of a web server or of the tunnelling extension:
// "10061" or the word "error" (in any case) before its first empty line (anywhere,
// when it has none). Only applied to bodies that are not messages (see below).
bool LooksLikeErrorPage(std::string_view text);

// True when a complete 2xx body is an error page rather than messages: it does not start
// with a frame length (0 to 104857600) and LooksLikeErrorPage. The rule of the reader
// below, for bodies that arrive whole (the platform HTTP client).
bool IsErrorPageBody(std::string_view body);

// What is known of the response being read.
struct TRdaHttpResponseInfo {
  int Status = 0;
  std::string Reason;
  int64_t ContentLength = -1;  // -1: none given (the body ends when the connection does)
  bool KeepAlive = false;      // the connection may carry the next request
  bool ErrorPage = false;      // decided when the response is complete
  std::string PageText;        // the body of an error page, at most kMaxPageText bytes
  int64_t BodyReceived = 0;
};

// Reads HTTP responses from the bytes of a connection, one after the other.
//
// The head (status line and headers, at most kMaxHead bytes) is read and taken off;
// the body ends after Content-Length bytes, or with the connection when there is no
// Content-Length. The body of a 2xx response whose first four bytes are a frame length
// (0 to 104857600) is an answer: its bytes are handed on as they arrive, so that large
// answers stream into the message stack. Any other body is kept (up to kMaxPageText)
// and judged when complete: a status other than 2xx, or a text that LooksLikeErrorPage,
// is an error page; a 2xx text that is neither raises "Invalid block size (n)!" as the
// message stack does for a frame it cannot cut. Binary frames, also frames whose text
// holds "error", are therefore always answers.
//
// Malformed input raises ERdaProtocolError with a text that says which check failed;
// after that the reader must be Reset before further use. Nothing read is ever buffered
// beyond kMaxHead + kMaxPageText bytes.
class TRdaHttpResponseReader {
 public:
  static constexpr size_t kMaxHead = 16384;
  static constexpr size_t kMaxPageText = 16384;

  enum TResult { rrNeedMore, rrComplete };

  // Consumes bytes from the front of `in`; answer body bytes are appended to `answer`.
  // Returns rrComplete when a response has been read completely (it stays in Response()
  // until the next Feed); the bytes after it are left in `in`.
  TResult Feed(std::string_view& in, std::string& answer);
  // The connection has ended. Completes a body that runs to the end of the connection
  // (rrComplete); rrNeedMore when no response had begun. Raises ERdaProtocolError for a
  // response that was cut short.
  TResult EndOfInput(std::string& answer);
  // Some bytes of a response have come and it is not complete.
  bool InProgress() const { return state_ != kIdle && state_ != kDone; }
  const TRdaHttpResponseInfo& Response() const { return info_; }
  void Reset();

 private:
  enum TState { kIdle, kHead, kProbe, kBody, kPage, kDone };

  void ParseHead();
  void StartBody();
  TResult Complete(std::string& answer);
  int64_t Remaining() const;

  TState state_ = kIdle;
  std::string head_;
  std::string probe_;  // the first bytes of a 2xx body, until they show what it is
  bool textBody_ = false;  // a 2xx body that does not start with a frame length
  int32_t firstLength_ = 0;
  TRdaHttpResponseInfo info_;
};

}  // namespace rda
