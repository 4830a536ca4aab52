// HTTP/1.0 and HTTP/1.1 requests as the tunnel reads them, without any I/O:
// bytes go in, complete requests (or the HTTP error that ends the
// connection) come out, and responses are built as bytes.
//
// What is accepted:
//
//   request   = head body
//   head      = a request head as base/HttpHead.h reads it
//   body      = exactly Content-Length bytes
//
// The head follows the rules of base/HttpHead.h, which every HTTP reader of
// the project shares: a bare LF ends a line as well as CRLF, and the target
// is everything between the first and the last blank of the request line,
// so that the fixed line a proxied client sends without an address
// ("POST RDASHTTP / HTTP/1.0") reads too. Up to four empty lines before a
// request are skipped. HTTP/1.2 and later minor versions are answered as
// HTTP/1.1.
//
// What is refused, and how (the connection ends after each of these):
//
//   head (request line and headers) over maxHeadBytes, or over 100 lines  431
//   a request line or header line that does not read                     400
//   a version other than HTTP/1.x                                         505
//   a method other than POST                                              405
//   Transfer-Encoding (bodies must announce their length)                 411
//   no Content-Length, or one that is not a decimal number                411 / 400
//   two Content-Length headers that differ                                400
//   Content-Length over maxBodyBytes                                      413
//   Expect with anything but 100-continue                                 417
//
// The time a request may take to arrive is the caller's business (it owns
// the clock); Finish() turns the end of the input into a 400 when a request
// was under way.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/HttpHead.h"

namespace rda {

struct HttpRequest {
  std::string method;
  std::string target;
  int minorVersion = 0;  // HTTP/1.<minorVersion>
  std::vector<std::pair<std::string, std::string>> headers;  // as received
  std::string body;
  bool keepAlive = false;  // the connection stays open after the response
  bool expectContinue = false;

  // The first header of that name (compared without regard to case).
  std::optional<std::string> Header(std::string_view name) const;
};

// An HTTP error that ends the request (and the connection).
struct HttpError {
  int status = 400;
  std::string detail;  // what was wrong, for the response body and the log
};

// The reason phrase of a status code ("Not Found"); "Error" for unknown codes.
std::string_view HttpReason(int status);

class HttpRequestParser {
 public:
  static constexpr size_t kMaxHeaderLines = THttpHead::kMaxFields;
  static constexpr size_t kMaxEmptyLinesBefore = 4;

  HttpRequestParser(size_t maxHeadBytes, size_t maxBodyBytes)
      : maxHeadBytes_(maxHeadBytes), maxBodyBytes_(maxBodyBytes) {}

  enum class State { kNeedMore, kComplete, kFailed };

  // Adds received bytes and reads as far as they go. Nothing more is taken
  // once the state is kFailed.
  State Append(std::string_view bytes);
  State GetState() const { return state_; }

  // The end of the input: a request under way becomes a 400.
  State Finish();

  // True while bytes of a request are buffered (a request has begun).
  bool Started() const { return !buffer_.empty() || head_.has_value(); }
  // True once the head of the current request is read (its body may still
  // be arriving).
  bool HeadRead() const { return head_.has_value(); }
  // True once per request whose head asks for "100 Continue" while its body
  // is still missing: the caller sends that interim response now.
  bool ContinueDue();

  // Requires kComplete: hands out the request and goes on with the bytes
  // after it (a pipelined next request).
  HttpRequest Take();
  // Requires kFailed.
  const HttpError& Error() const { return error_; }

 private:
  State Fail(int status, std::string detail);
  State Advance();
  State ReadHead(std::string_view head);

  size_t maxHeadBytes_;
  size_t maxBodyBytes_;
  State state_ = State::kNeedMore;
  std::string buffer_;                 // bytes not yet consumed
  std::optional<HttpRequest> head_;    // the head read, the body still arriving
  size_t bodyLength_ = 0;
  size_t scanFrom_ = 0;  // where the search for the head's end goes on
  bool continueDue_ = false;
  HttpError error_;
};

// Builds a response. The body goes with a Content-Length header; extra
// header lines ("Name: value", without CRLF) come after the standard ones.
std::string HttpResponse(int minorVersion, int status, bool keepAlive, std::string_view contentType,
                         std::string_view body, const std::vector<std::string>& extraHeaders = {});

// The plain-text response for an error: the body is "Error <status>
// <reason>: <detail>" followed by a blank line, so that a client that looks
// for the word "error" in front of the first empty line finds it.
std::string HttpErrorResponse(int minorVersion, const HttpError& error, bool keepAlive);

// Where a tunnelled request wants to go, read from its target:
//
//   form 1: /<path>/RDA?<address>&<port>&<timeout>
//   form 2: /<path>/Rda?&<address>&<port>
//
// <path> is the extension path, compared (like "RDA") without regard to
// case, as the web servers of the system's home platform do. An absolute
// target ("http://host:port/...") is read by its path. <address> is a host
// name or a numeric address (IPv6 in brackets), <port> 1..65535, <timeout>
// 0..65535 seconds. Raises nothing: a target that is not the extension
// gives 404, a query that does not read gives 400.
struct TunnelTarget {
  int form = 0;  // 1 or 2
  std::string address;  // as given, brackets removed
  int port = 0;
  int timeoutSeconds = 0;  // form 1 only; 0 = none given
};

struct TunnelTargetResult {
  std::optional<TunnelTarget> target;
  HttpError error;  // when target is empty
};

TunnelTargetResult ParseTunnelTarget(std::string_view target, std::string_view extensionPath);

}  // namespace rda
