#include "server/HttpRequest.h"

#include <algorithm>
#include <cctype>

#include "base/HttpHead.h"
#include "base/Text.h"

namespace rda {

namespace {

// A decimal number up to max, or nothing.
std::optional<size_t> ReadDecimal(std::string_view s, size_t max) {
  if (s.empty() || !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  size_t v = 0;
  for (char c : s) {
    v = v * 10 + static_cast<size_t>(c - '0');
    if (v > max) return std::nullopt;
  }
  return v;
}

// The status a head that does not read is answered with.
int StatusOf(THttpHeadError error) {
  switch (error) {
    case THttpHeadError::Version: return 505;
    case THttpHeadError::TooManyFields: return 431;
    default: return 400;
  }
}

}  // namespace

std::optional<std::string> HttpRequest::Header(std::string_view name) const {
  for (const auto& [n, v] : headers)
    if (SameTextAscii(n, name)) return v;
  return std::nullopt;
}

std::string_view HttpReason(int status) {
  switch (status) {
    case 100: return "Continue";
    case 200: return "OK";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 411: return "Length Required";
    case 413: return "Payload Too Large";
    case 417: return "Expectation Failed";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    case 505: return "HTTP Version Not Supported";
    default: return "Error";
  }
}

HttpRequestParser::State HttpRequestParser::Fail(int status, std::string detail) {
  state_ = State::kFailed;
  error_ = {status, std::move(detail)};
  buffer_.clear();
  head_.reset();
  return state_;
}

HttpRequestParser::State HttpRequestParser::Append(std::string_view bytes) {
  if (state_ == State::kFailed) return state_;
  buffer_.append(bytes);
  if (state_ == State::kComplete) return state_;  // the next request waits for Take
  return Advance();
}

HttpRequestParser::State HttpRequestParser::Finish() {
  if (state_ == State::kNeedMore && Started()) {
    return Fail(400, head_ ? "the body ended after " + std::to_string(buffer_.size()) + " of " +
                                 std::to_string(bodyLength_) + " bytes"
                           : "the request ended inside its head");
  }
  return state_;
}

bool HttpRequestParser::ContinueDue() {
  const bool due = continueDue_ && state_ == State::kNeedMore;
  continueDue_ = false;
  return due;
}

HttpRequest HttpRequestParser::Take() {
  HttpRequest request = std::move(*head_);
  head_.reset();
  state_ = State::kNeedMore;
  Advance();
  return request;
}

HttpRequestParser::State HttpRequestParser::Advance() {
  if (!head_) {
    // Empty lines in front of a request are skipped, a few of them.
    size_t skipped = 0;
    while (skipped < kMaxEmptyLinesBefore && !buffer_.empty() &&
           (buffer_.front() == '\n' || buffer_.rfind("\r\n", 0) == 0)) {
      buffer_.erase(0, buffer_.front() == '\n' ? 1 : 2);
      scanFrom_ = 0;
      ++skipped;
    }
    if (buffer_.empty() || (buffer_.size() == 1 && buffer_[0] == '\r')) return state_;
    // Only the bytes a head may have are searched.
    const std::string_view window =
        std::string_view(buffer_).substr(0, std::min(buffer_.size(), maxHeadBytes_ + 3));
    const size_t bodyStart = FindHttpHeadEnd(window, scanFrom_);
    scanFrom_ = window.size();
    if (bodyStart == std::string::npos) {
      if (buffer_.size() > maxHeadBytes_)
        return Fail(431, "the request head is larger than " + std::to_string(maxHeadBytes_) +
                             " bytes");
      return state_;
    }
    if (bodyStart > maxHeadBytes_)
      return Fail(431, "the request head is larger than " + std::to_string(maxHeadBytes_) +
                           " bytes");
    if (ReadHead(std::string_view(buffer_).substr(0, bodyStart)) == State::kFailed) return state_;
    buffer_.erase(0, bodyStart);
    scanFrom_ = 0;
    continueDue_ = head_->expectContinue;
  }
  if (buffer_.size() < bodyLength_) return state_;
  head_->body = buffer_.substr(0, bodyLength_);
  buffer_.erase(0, bodyLength_);
  continueDue_ = false;
  state_ = State::kComplete;
  return state_;
}

HttpRequestParser::State HttpRequestParser::ReadHead(std::string_view head) {
  THttpHeadResult read = ParseHttpRequestHead(head);
  if (!read.Ok()) return Fail(StatusOf(read.Error), read.Detail);
  THttpHead& h = read.Head;
  HttpRequest r;
  r.method = std::move(h.Method);
  r.target = std::move(h.Target);
  // Later minor versions speak as HTTP/1.1, and are answered so.
  r.minorVersion = std::min(h.MinorVersion, 1);
  r.keepAlive = h.KeepAlive;
  if (const auto expect = h.Field("Expect")) {
    if (!SameTextAscii(*expect, "100-continue")) return Fail(417, "only 100-continue is expected");
    r.expectContinue = r.minorVersion == 1;
  }
  r.headers = std::move(h.Fields);
  if (r.method != "POST") return Fail(405, "only POST requests carry messages");
  if (h.HasTransferEncoding)
    return Fail(411, "bodies must come with Content-Length, not Transfer-Encoding");
  if (h.ContentLength < 0) return Fail(411, "the request has no Content-Length");
  if (static_cast<uint64_t>(h.ContentLength) > maxBodyBytes_)
    return Fail(413, "the body is larger than " + std::to_string(maxBodyBytes_) + " bytes");
  bodyLength_ = static_cast<size_t>(h.ContentLength);
  head_ = std::move(r);
  return state_;
}

std::string HttpResponse(int minorVersion, int status, bool keepAlive, std::string_view contentType,
                         std::string_view body, const std::vector<std::string>& extraHeaders) {
  std::string out = minorVersion == 1 ? "HTTP/1.1 " : "HTTP/1.0 ";
  out += std::to_string(status);
  out += ' ';
  out += HttpReason(status);
  out += "\r\nContent-Type: ";
  out += contentType;
  out += "\r\nContent-Length: ";
  out += std::to_string(body.size());
  // HTTP/1.1 keeps a connection open unless told otherwise; every header byte
  // counts here, as some HTTP clients read a response's head a byte at a time.
  if (!keepAlive) {
    out += "\r\nConnection: close\r\n";
  } else if (minorVersion == 1) {
    out += "\r\n";
  } else {
    out += "\r\nConnection: keep-alive\r\n";
  }
  for (const auto& h : extraHeaders) out += h + "\r\n";
  out += "\r\n";
  out += body;
  return out;
}

std::string HttpErrorResponse(int minorVersion, const HttpError& error, bool keepAlive) {
  std::string body = "Error " + std::to_string(error.status) + " " +
                     std::string(HttpReason(error.status)) + ": " + error.detail + "\r\n\r\n";
  std::vector<std::string> extra;
  if (error.status == 405) extra.push_back("Allow: POST");
  return HttpResponse(minorVersion, error.status, keepAlive, "text/plain", body, extra);
}

namespace {

bool IsHostChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_' ||
         c == ':';
}

}  // namespace

TunnelTargetResult ParseTunnelTarget(std::string_view target, std::string_view extensionPath) {
  TunnelTargetResult result;
  auto fail = [&](int status, std::string detail) {
    result.error = {status, std::move(detail)};
    return result;
  };
  // An absolute target, as a proxy would pass it on: keep its path.
  if (target.size() > 7 && StartsTextAscii(target, "http://")) {
    const size_t slash = target.find('/', 7);
    if (slash == std::string_view::npos) return fail(404, "the target names no extension");
    target.remove_prefix(slash);
  }
  const size_t question = target.find('?');
  const std::string_view path = target.substr(0, question);
  std::string expected = "/";
  expected += extensionPath;
  if (!SameTextAscii(path, expected + "/rda"))
    return fail(404, "the tunnel answers at " + expected + "/RDA");
  if (question == std::string_view::npos)
    return fail(400, "the request names no data server (a query is missing)");

  std::vector<std::string_view> parts;
  std::string_view query = target.substr(question + 1);
  for (;;) {
    const size_t amp = query.find('&');
    parts.push_back(query.substr(0, amp));
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  constexpr char kForms[] = "the query is <address>&<port>&<timeout> or &<address>&<port>";
  if (parts.size() != 3) return fail(400, kForms);
  TunnelTarget t;
  std::string_view address, port;
  if (parts[0].empty()) {
    t.form = 2;
    address = parts[1];
    port = parts[2];
  } else {
    t.form = 1;
    address = parts[0];
    port = parts[1];
    const auto timeout = ReadDecimal(parts[2], 65535);
    if (!timeout) return fail(400, "the time-out is not a number from 0 to 65535");
    t.timeoutSeconds = static_cast<int>(*timeout);
  }
  if (address.size() > 2 && address.front() == '[' && address.back() == ']')
    address = address.substr(1, address.size() - 2);
  if (address.empty() || address.size() > 255 ||
      !std::all_of(address.begin(), address.end(), IsHostChar))
    return fail(400, "the data server's address is not a host name or address");
  const auto portNumber = ReadDecimal(port, 65535);
  if (!portNumber || *portNumber == 0 || port.size() > 5)
    return fail(400, "the data server's port is not a number from 1 to 65535");
  t.address = address;
  t.port = static_cast<int>(*portNumber);
  result.target = std::move(t);
  return result;
}

}  // namespace rda
