// What the tunnel tests play the client with: a client's stateless step, a
// raw HTTP connection, and the messages and frames they send and read.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/ByteIO.h"
#include "base/Exception.h"
#include "messaging/RdaBodyTransforms.h"
#include "messaging/RdaStringLine.h"
#include "messaging/RdaWire.h"
#include "server/ServerSession.h"
#include "server/TunnelCodec.h"

namespace rda::test {

inline TRdaStringLine Line(int token, int id, const std::vector<std::string>& fields) {
  TRdaStringLine line;
  line.SetToken(token);
  line.SetMsgId(id);
  for (const auto& f : fields) line.AddField(f);
  return line;
}

inline std::string SelectMessage(int id, const std::string& sql, int rows = -1) {
  return Line(tkSelect, id, {sql, std::to_string(rows), "0", "\x05"}).Compose();
}

inline std::string FetchMessage(int id, int handle, int rows) {
  return Line(tkFetch, id, {std::to_string(handle), std::to_string(rows), "0"}).Compose();
}

inline std::string FrameOf(std::string_view content) { return Framed(content); }

// A client's transforms as the server is configured, with the stateless
// step of a connection that has AddCookie on when stateless is true: the
// header goes in front of each message before encryption and comes off
// each received one before decryption.
struct TunnelClient {
  explicit TunnelClient(const SessionSettings& s, bool stateless = true) {
    if (s.encryption == etDESEncrypt) t.SetDESKey(s.key);
    else t.SetEncryption(s.encryption);
    if (s.zlib) t.SetCompression(acRdaZLib);
    if (!stateless) return;
    t.StatelessStep = [this](std::string& body, bool packup) {
      if (packup) {
        body = (sessionId == 0 ? LoginHeader(user, password) : SessionIdHeader(sessionId)) + body;
      } else {
        const auto header = ReadSessionHeader(body);
        if (!header || header->Kind != shSessionId) throw Exception("Invalid Message");
        sessionId = header->SessionId;
        body.erase(0, kSessionIdFormSize);
      }
    };
  }

  // The stateless step refers to this object.
  TunnelClient(const TunnelClient&) = delete;
  TunnelClient& operator=(const TunnelClient&) = delete;

  // The framed request for a composed message.
  std::string Request(const std::string& message) { return FrameOf(t.PackMessage(message)); }

  // The messages of a response body (or of a whole response, headers
  // first), cut as a client in the transport mode cuts them.
  std::vector<TRdaStringLine> Messages(const std::string& bytes, uint8_t transportMode) {
    TRdaMessageStack stack;
    stack.SetTransportMode(transportMode);
    stack.Append(bytes);
    if (stack.Used() != 0) throw std::runtime_error("a partial frame in the response");
    std::vector<TRdaStringLine> out;
    while (stack.HasMessages()) {
      out.emplace_back();
      out.back().Parse(t.UnpackMessage(stack.PopMessage()));
    }
    return out;
  }

  TRdaBodyTransforms t;
  int32_t sessionId = 0;
  std::string user = "ann";
  std::string password = "pw";
};

struct HttpReply {
  int status = 0;
  std::string head;  // status line and headers, with the empty line
  std::string body;
  std::string Raw() const { return head + body; }
};

// One HTTP connection to 127.0.0.1:port, read with time limits.
class RawHttp {
 public:
  using Millis = std::chrono::milliseconds;

  explicit RawHttp(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ < 0 || connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
      throw std::runtime_error("connect to port " + std::to_string(port) + " failed");
  }
  ~RawHttp() { close(fd_); }
  RawHttp(const RawHttp&) = delete;
  RawHttp& operator=(const RawHttp&) = delete;

  void Send(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n <= 0) throw std::runtime_error("send failed");
      bytes.remove_prefix(static_cast<size_t>(n));
    }
  }

  // The next response: its head, then Content-Length bytes. Raises when it
  // is not complete within limit.
  HttpReply Read(Millis limit = Millis(10000)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    size_t end;
    while ((end = buffer_.find("\r\n\r\n")) == std::string::npos)
      if (!Fill(deadline)) throw std::runtime_error("no response head: " + buffer_);
    HttpReply r;
    r.head = buffer_.substr(0, end + 4);
    r.status = std::stoi(r.head.substr(9, 3));
    size_t length = 0;
    if (const size_t at = r.head.find("\r\nContent-Length: "); at != std::string::npos)
      length = std::stoul(r.head.substr(at + 18));
    while (buffer_.size() < end + 4 + length)
      if (!Fill(deadline)) throw std::runtime_error("the response body is incomplete");
    r.body = buffer_.substr(end + 4, length);
    buffer_.erase(0, end + 4 + length);
    return r;
  }

  // True when the server closes the connection within limit.
  bool ClosedWithin(Millis limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (Fill(deadline)) {
    }
    return closed_;
  }

 private:
  bool Fill(std::chrono::steady_clock::time_point deadline) {
    if (closed_) return false;
    for (;;) {
      const auto left = std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
      char buf[65536];
      const ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        closed_ = true;
        return false;
      }
      buffer_.append(buf, static_cast<size_t>(n));
      return true;
    }
  }

  int fd_ = -1;
  bool closed_ = false;
  std::string buffer_;
};

// An HTTP/1.0 request as a hand-built client writes it (form 2's headers).
inline std::string HandBuiltPost(const std::string& target, const std::string& body) {
  return "POST " + target + " HTTP/1.0\r\n"
         "Accept: */*\r\n"
         "Accept-Language: en-us\r\n"
         "Content-Type: application/x-www-form-urlencoded\r\n"
         "User-Agent: Mozilla/4.0 \r\n"
         "Connection: Keep-Alive\r\n"
         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

}  // namespace rda::test
