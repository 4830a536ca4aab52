// A small blocking client for tests that talk to rdaserver byte for byte:
// connect to 127.0.0.1:port, send string lines (composed, packed by the
// body transforms, framed with their 4-byte length) or raw bytes, and read
// framed messages back with a time limit.
//
//   rda::test::RawClient c(server.DataPort());
//   rda::TRdaStringLine line;
//   line.SetToken(48); line.AddField(6); line.AddField("");
//   c.Send(line);
//   rda::TRdaStringLine reply = c.ReadLine();   // token 48, code 6, version
//
// Transforms() configures encryption and compression as the server was
// started (--encryption, --key, --zlib). Every read is bounded: a read that
// gets no complete message within its limit raises std::runtime_error, and
// so does a connection the server closed. Header-only, plain POSIX, no Qt.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>

#include "base/ByteIO.h"
#include "messaging/RdaBodyTransforms.h"
#include "messaging/RdaStringLine.h"
#include "messaging/RdaWire.h"

namespace rda::test {

class RawClient {
 public:
  using Millis = std::chrono::milliseconds;

  // Connects to 127.0.0.1:port; raises std::runtime_error when refused.
  explicit RawClient(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw std::runtime_error("socket: " + std::string(std::strerror(errno)));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      const std::string err = std::strerror(errno);
      Close();
      throw std::runtime_error("connect to port " + std::to_string(port) + ": " + err);
    }
    const int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  virtual ~RawClient() { Close(); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  TRdaBodyTransforms& Transforms() { return transforms_; }
  bool IsOpen() const { return fd_ >= 0; }

  // Composes, packs and frames the line and writes it whole.
  void Send(TRdaStringLine& line) { SendRaw(Frame(transforms_.PackMessage(line.Compose()))); }

  // A framed body exactly as given (no transforms).
  static std::string Frame(std::string_view body) { return Framed(body); }

  // Writes bytes as they are; raises when the connection is gone.
  void SendRaw(std::string_view bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t n = WriteSome(bytes.data() + sent, bytes.size() - sent);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) throw std::runtime_error("send: " + std::string(std::strerror(errno)));
      sent += static_cast<size_t>(n);
    }
  }

  // The next message body, unpacked by the transforms.
  std::string ReadBody(Millis limit = Millis(5000)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!stack_.HasMessages()) {
      if (!Fill(deadline)) throw std::runtime_error(eof_ ? "connection closed by the server"
                                                         : "no message within the time limit");
    }
    return transforms_.UnpackMessage(stack_.PopMessage());
  }

  // The next message, parsed.
  TRdaStringLine ReadLine(Millis limit = Millis(5000)) {
    TRdaStringLine line;
    line.Parse(ReadBody(limit));
    return line;
  }

  // True when a complete message is buffered or arrives within limit.
  bool HasMessage(Millis limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!stack_.HasMessages())
      if (!Fill(deadline)) return false;
    return true;
  }

  // Reads up to n bytes as they come, without framing (for the echo
  // service); returns what arrived within limit, fewer bytes when the
  // connection closed first.
  std::string ReceiveRaw(size_t n, Millis limit = Millis(5000)) {
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (got.size() < n && fd_ >= 0) {
      const auto left =
          std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      char buf[4096];
      const ssize_t r = recv(fd_, buf, std::min(sizeof buf, n - got.size()), 0);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) break;
      got.append(buf, static_cast<size_t>(r));
    }
    return got;
  }

  // Waits up to limit for the server to close the connection; received
  // messages meanwhile are dropped. True when it closed.
  bool WaitClosed(Millis limit = Millis(5000)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!eof_) {
      if (!Fill(deadline) && !eof_) return false;
      while (stack_.HasMessages()) stack_.PopMessage();
    }
    return true;
  }

  virtual void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  // Holds back what is sent until Cork(false), so that it leaves in one
  // segment.
  void Cork(bool on) {
    const int value = on ? 1 : 0;
    setsockopt(fd_, IPPROTO_TCP, TCP_CORK, &value, sizeof value);
  }

 protected:
  // The byte stream under the frames (TLS in TlsRawClient): like recv and
  // send; -1 with errno EAGAIN when nothing moved for now.
  virtual ssize_t ReadSome(char* buf, size_t size) { return recv(fd_, buf, size, 0); }
  virtual ssize_t WriteSome(const char* data, size_t size) { return send(fd_, data, size, MSG_NOSIGNAL); }
  // Bytes already received but held below the frames, which poll cannot see.
  virtual bool Buffered() const { return false; }
  int Fd() const { return fd_; }

 private:
  // Reads what arrives before the deadline into the stack; false at the
  // deadline or at the end of the stream.
  bool Fill(std::chrono::steady_clock::time_point deadline) {
    if (fd_ < 0 || eof_) return false;
    for (;;) {
      const auto left =
          std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p{fd_, POLLIN, 0};
      const int r = Buffered() ? 1 : poll(&p, 1, static_cast<int>(left.count()));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return false;
      char buf[65536];
      const ssize_t n = ReadSome(buf, sizeof buf);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) {
        eof_ = true;
        return false;
      }
      stack_.Append(std::string_view(buf, static_cast<size_t>(n)));
      return true;
    }
  }

  int fd_ = -1;
  bool eof_ = false;
  TRdaMessageStack stack_;
  TRdaBodyTransforms transforms_;
};

}  // namespace rda::test
