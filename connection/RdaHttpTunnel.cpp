#include "connection/RdaHttpTunnel.h"

#include <algorithm>

#include "base/ByteIO.h"
#include "base/Exception.h"
#include "base/HttpHead.h"
#include "base/Text.h"
#include "messaging/RdaWire.h"

namespace rda {

namespace {

constexpr char kCrLf[] = "\r\n";
constexpr std::string_view kBlankLine = "\r\n\r\n";

// Request line parts may not end the line or the request.
void CheckRequestPart(std::string_view part) {
  for (char c : part)
    if (static_cast<unsigned char>(c) <= ' ' || c == '\x7F')
      throw Exception("The HTTP request cannot be built: \"" + std::string(part) +
                      "\" holds a blank or a control character");
}

std::string PortText(int port) { return port > 0 ? std::to_string(port) : std::string(); }

[[noreturn]] void Malformed(const std::string& what) { throw ERdaProtocolError(what); }

}  // namespace

// ---------------------------------------------------------------------------------------
// Session header

std::string SessionHeader(int32_t sessionId, std::string_view userName, std::string_view password) {
  return sessionId != 0 ? SessionIdHeader(sessionId) : LoginHeader(userName, password);
}

int32_t TakeSessionHeader(std::string& body) {
  const std::optional<TRdaSessionHeader> header = ReadSessionHeader(body);
  if (!header || header->Kind != shSessionId) throw Exception("Invalid Message");
  body.erase(0, kSessionIdFormSize);
  return header->SessionId;
}

// ---------------------------------------------------------------------------------------
// Requests

std::string WinInetObjectPath(std::string_view dll, std::string_view address, int port, int timeout) {
  return "/" + std::string(dll) + "/RDA?" + std::string(address) + "&" + std::to_string(port) + "&" +
         std::to_string(timeout);
}

std::string ExtensionRequest(std::string_view dll, std::string_view address, int port,
                             std::string_view frame) {
  CheckRequestPart(dll);
  CheckRequestPart(address);
  std::string r;
  r.reserve(256 + frame.size());
  r += "POST /" + std::string(dll) + "/Rda?&" + std::string(address) + "&" + std::to_string(port) +
       " HTTP/1.0" + kCrLf;
  r += "Accept: */*\r\n";
  r += "Accept-Language: en-us\r\n";
  r += "Content-Type: application/x-www-form-urlencoded\r\n";
  r += "User-Agent: Mozilla/4.0 \r\n";
  r += "Connection: Keep-Alive\r\n";
  r += "Content-Length: " + std::to_string(frame.size()) + kCrLf;
  r += kCrLf;
  r += frame;
  return r;
}

std::string ProxyRequest(bool haveAddress, std::string_view proxiedAddress, int proxiedPort,
                         std::string_view proxyUserName, std::string_view proxyPassword,
                         std::string_view frame) {
  CheckRequestPart(proxiedAddress);
  const std::string port = PortText(proxiedPort);
  std::string r;
  r.reserve(320 + frame.size());
  if (haveAddress) {
    r += "POST http://" + std::string(proxiedAddress) + ":" + port + "/ HTTP/1.0\r\n";
  } else {
    r += "POST RDASHTTP / HTTP/1.0\r\n";
  }
  r += "Accept: */*\r\n";
  r += "Accept-Language: en-us\r\n";
  r += "Content-Type: application/x-www-form-urlencoded\r\n";
  r += "User-Agent: Mozilla/4.0 \r\n";
  if (!proxiedAddress.empty()) {
    r += "HOST: " + std::string(proxiedAddress) + (port.empty() ? "" : ":" + port) + kCrLf;
  } else {
    r += "Host: localhost\r\n";
  }
  if (!proxyUserName.empty() || !proxyPassword.empty())
    r += "Proxy-Authorization: Basic " +
         Base64Encode(std::string(proxyUserName) + ":" + std::string(proxyPassword)) + kCrLf;
  r += "Connection: Keep-Alive\r\n";
  r += "Content-Length: " + std::to_string(frame.size()) + kCrLf;
  r += kCrLf;
  r += frame;
  return r;
}

std::string Base64Encode(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t v = (uint32_t{static_cast<uint8_t>(bytes[i])} << 16) |
                       (uint32_t{static_cast<uint8_t>(bytes[i + 1])} << 8) |
                       static_cast<uint8_t>(bytes[i + 2]);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  const size_t rest = bytes.size() - i;
  if (rest > 0) {
    uint32_t v = uint32_t{static_cast<uint8_t>(bytes[i])} << 16;
    if (rest == 2) v |= uint32_t{static_cast<uint8_t>(bytes[i + 1])} << 8;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string WinInetStatusText(uint32_t status) {
  switch (status) {
    case 10:
      return "Resolving...";
    case 11:
      return "Resolved";
    case 20:
    case 60:
      return "Connecting...";
    case 21:
      return "Connected";
    case 30:
      return "Sending Request...";
    case 31:
      return "Request Sent";
    case 40:
      return "Receiving Response...";
    case 41:
      return "Response Received";
    case 42:
    case 43:
      return "Invalid";
    case 50:
      return "Closing Connection";
    case 51:
      return "Connection Closed";
    case 70:
      return "";
    case 100:
      return "Request Complete";
    case 110:
      return "Redirecting";
    case 120:
      return "Intermediate Response";
    case 200:
      return "State Change";
    default:
      return "Unknown State";
  }
}

// ---------------------------------------------------------------------------------------
// Responses

bool LooksLikeErrorPage(std::string_view text) {
  const size_t blank = text.find(kBlankLine);
  const size_t limit = blank == std::string_view::npos ? text.size() : blank;
  const size_t code = text.find("10061");
  if (code != std::string_view::npos && code < limit) return true;
  return FindTextAscii(text.substr(0, limit), "error") != std::string_view::npos;
}

bool IsErrorPageBody(std::string_view body) {
  if (const std::optional<int32_t> length = FrameLengthAt(body); length && IsFrameLength(*length))
    return false;
  return LooksLikeErrorPage(body.substr(0, std::min(body.size(), TRdaHttpResponseReader::kMaxPageText)));
}

void TRdaHttpResponseReader::Reset() {
  state_ = kIdle;
  head_.clear();
  probe_.clear();
  textBody_ = false;
  firstLength_ = 0;
  info_ = TRdaHttpResponseInfo();
}

int64_t TRdaHttpResponseReader::Remaining() const {
  if (info_.ContentLength < 0) return INT64_MAX;
  return info_.ContentLength - info_.BodyReceived;
}

void TRdaHttpResponseReader::ParseHead() {
  const THttpHeadResult read = ParseHttpResponseHead(head_);
  switch (read.Error) {
    case THttpHeadError::None:
      break;
    case THttpHeadError::StartLine:
    case THttpHeadError::Version:
      Malformed("The HTTP response has no valid status line");
    case THttpHeadError::FieldLine:
      Malformed("The HTTP response has a header line that does not read");
    case THttpHeadError::ContentLength:
    case THttpHeadError::TwoLengths:
      Malformed("The HTTP response has an invalid Content-Length");
    case THttpHeadError::TooManyFields:
      Malformed("The HTTP response has more than " + std::to_string(THttpHead::kMaxFields) +
                " header lines");
  }
  const THttpHead& head = read.Head;
  // The requests are HTTP/1.0: an answer in any coding is not for this client.
  if (head.HasTransferEncoding)
    Malformed("The HTTP response uses a transfer encoding that this client does not read");
  info_.Status = head.Status;
  info_.Reason = head.Reason;
  info_.ContentLength = head.ContentLength;
  // Without a length the body runs to the end of the connection.
  info_.KeepAlive = head.KeepAlive && head.ContentLength >= 0;
}

void TRdaHttpResponseReader::StartBody() {
  const bool empty = info_.Status == 204 || info_.Status == 304 || info_.ContentLength == 0;
  if (empty) info_.ContentLength = 0;
  state_ = info_.Status >= 200 && info_.Status < 300 ? kProbe : kPage;
}

TRdaHttpResponseReader::TResult TRdaHttpResponseReader::Complete(std::string& answer) {
  if (state_ == kProbe && !probe_.empty()) {
    // Fewer than four bytes: no frame, perhaps a very short page.
    info_.PageText = probe_;
    textBody_ = true;
    firstLength_ = -1;
    state_ = kPage;
  }
  if (state_ == kPage) {
    if (info_.Status < 200 || info_.Status >= 300) {
      info_.ErrorPage = true;
    } else if (textBody_) {
      info_.ErrorPage = LooksLikeErrorPage(info_.PageText);
      if (!info_.ErrorPage) {
        if (info_.PageText.size() < 4) {
          // Too short for a frame: the message stack reports what is missing.
          answer += info_.PageText;
        } else {
          state_ = kDone;
          Malformed("Invalid block size (" + std::to_string(firstLength_) + ")!");
        }
      }
    }
  }
  state_ = kDone;
  return rrComplete;
}

TRdaHttpResponseReader::TResult TRdaHttpResponseReader::Feed(std::string_view& in,
                                                             std::string& answer) {
  if (state_ == kDone) Reset();
  while (!in.empty()) {
    switch (state_) {
      case kDone:
        return rrComplete;
      case kIdle:
        state_ = kHead;
        [[fallthrough]];
      case kHead: {
        const size_t old = head_.size();
        const size_t take = std::min(in.size(), kMaxHead - old);
        head_.append(in.substr(0, take));
        // A head begins as HTTP spells it; anything else is not worth reading on.
        constexpr std::string_view kHttp = "HTTP/";
        for (size_t i = old; i < std::min(head_.size(), kHttp.size()); ++i)
          if (head_[i] != kHttp[i]) Malformed("The answer of the web server is not an HTTP response");
        const size_t end = FindHttpHeadEnd(head_, old);
        if (end == std::string::npos) {
          in.remove_prefix(take);
          if (head_.size() >= kMaxHead)
            Malformed("The HTTP response header is larger than " + std::to_string(kMaxHead) +
                      " bytes");
          return rrNeedMore;
        }
        in.remove_prefix(end - old);
        head_.resize(end);
        ParseHead();
        if (info_.Status < 200) {
          // An interim response (100 Continue): the real one follows.
          info_ = TRdaHttpResponseInfo();
          head_.clear();
          state_ = kIdle;
          continue;
        }
        StartBody();
        if (Remaining() == 0) return Complete(answer);
        continue;
      }
      case kProbe: {
        const size_t take = static_cast<size_t>(
            std::min<int64_t>({Remaining(), static_cast<int64_t>(in.size()),
                               static_cast<int64_t>(4 - probe_.size())}));
        probe_.append(in.substr(0, take));
        in.remove_prefix(take);
        info_.BodyReceived += static_cast<int64_t>(take);
        if (probe_.size() == 4) {
          firstLength_ = LoadI32LE(probe_.data());
          if (IsFrameLength(firstLength_)) {
            answer += probe_;
            state_ = kBody;
          } else {
            textBody_ = true;
            info_.PageText = probe_;
            state_ = kPage;
          }
          probe_.clear();
        }
        if (Remaining() == 0) return Complete(answer);
        continue;
      }
      case kBody:
      case kPage: {
        const size_t take =
            static_cast<size_t>(std::min<int64_t>(Remaining(), static_cast<int64_t>(in.size())));
        if (state_ == kBody) {
          answer.append(in.substr(0, take));
        } else if (info_.PageText.size() < kMaxPageText) {
          info_.PageText.append(in.substr(0, std::min(take, kMaxPageText - info_.PageText.size())));
        }
        in.remove_prefix(take);
        info_.BodyReceived += static_cast<int64_t>(take);
        if (Remaining() == 0) return Complete(answer);
        continue;
      }
    }
  }
  return state_ == kDone ? rrComplete : rrNeedMore;
}

TRdaHttpResponseReader::TResult TRdaHttpResponseReader::EndOfInput(std::string& answer) {
  switch (state_) {
    case kIdle:
    case kDone:
      return rrNeedMore;
    case kHead:
      state_ = kDone;
      Malformed("The connection was closed inside an HTTP response header");
    case kProbe:
    case kBody:
    case kPage:
      if (info_.ContentLength >= 0 && Remaining() > 0) {
        state_ = kDone;
        Malformed("The connection was closed after " + std::to_string(info_.BodyReceived) +
                  " of the " + std::to_string(info_.ContentLength) +
                  " bytes of an HTTP response body");
      }
      return Complete(answer);
  }
  return rrNeedMore;
}

}  // namespace rda
