// TLS on one non-blocking data connection. The same frames travel inside;
// the handshake runs on the first reads. OpenSSL's "want read"/"want write"
// answers are kept as the poll events that let the operation go on.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

using SSL_CTX = struct ssl_ctx_st;
using SSL = struct ssl_st;

namespace rda {

// OpenSSL's queued errors as one line, oldest first; empties the queue.
std::string OpenSslErrors();

// The server's TLS settings, made once at start: TLS 1.2 or later with the
// given certificate chain and private key. Throws Exception with a message
// naming the file when either cannot be used.
class TlsContext {
 public:
  TlsContext(const std::string& certFile, const std::string& keyFile);
  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  SSL_CTX* Get() const { return ctx_; }

 private:
  SSL_CTX* ctx_ = nullptr;
};

class TlsChannel {
 public:
  enum class Result {
    kDone,    // bytes moved (count set)
    kAgain,   // wait for Events() on the socket, then call again
    kClosed,  // the peer ended the TLS session
    kFailed,  // see Error()
  };

  // Server side of a TLS session on fd (not owned).
  TlsChannel(const TlsContext& context, int fd);
  ~TlsChannel();
  TlsChannel(const TlsChannel&) = delete;
  TlsChannel& operator=(const TlsChannel&) = delete;

  Result Read(char* buf, size_t size, size_t& count);
  Result Write(const char* data, size_t size, size_t& count);

  // Poll events the last Read or Write that answered kAgain waits for.
  short ReadEvents() const { return readEvents_; }
  short WriteEvents() const { return writeEvents_; }
  // Bytes held inside the channel, which poll cannot see: decrypted, or
  // records read ahead that the last read did not come to.
  bool Buffered() const;
  bool HandshakeDone() const;
  const std::string& Error() const { return error_; }

  // Sends the close notification if the socket takes it now; never waits.
  void Shutdown();

 private:
  Result Settle(int ret, short& events, const char* what);

  SSL* ssl_ = nullptr;
  short readEvents_;
  short writeEvents_;
  std::string error_;
  bool failed_ = false;
  // Bytes have moved both ways: the handshake is over (OpenSSL's own
  // state goes back into "init" while it sends session tickets).
  bool established_ = false;
  // The last read wanted more than the channel holds.
  bool starved_ = false;
};

}  // namespace rda
