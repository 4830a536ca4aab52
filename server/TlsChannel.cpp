#include "server/TlsChannel.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>

#include <cerrno>

#include "base/Exception.h"
#include "server/SocketIO.h"

namespace rda {

std::string OpenSslErrors() {
  std::string text;
  while (const unsigned long code = ERR_get_error()) {
    char buf[256];
    ERR_error_string_n(code, buf, sizeof buf);
    if (!text.empty()) text += "; ";
    text += buf;
  }
  return text;
}

TlsContext::TlsContext(const std::string& certFile, const std::string& keyFile) {
  ERR_clear_error();
  ctx_ = SSL_CTX_new(TLS_server_method());
  if (!ctx_) throw Exception("cannot set up TLS: " + OpenSslErrors());
  SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
  // A client that closes without a close notification has only ended its
  // session: frames carry their own lengths, so nothing is cut unseen.
  SSL_CTX_set_options(ctx_, SSL_OP_IGNORE_UNEXPECTED_EOF);
  SSL_CTX_set_mode(ctx_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // Read what the socket holds in one go rather than a record header and then
  // its body: a small request costs one receive instead of three.
  SSL_CTX_set_read_ahead(ctx_, 1);
  if (SSL_CTX_use_certificate_chain_file(ctx_, certFile.c_str()) != 1) {
    const std::string errors = OpenSslErrors();
    SSL_CTX_free(ctx_);
    throw Exception("--tls-cert " + certFile + " is not a usable certificate (PEM): " + errors);
  }
  if (SSL_CTX_use_PrivateKey_file(ctx_, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
    const std::string errors = OpenSslErrors();
    SSL_CTX_free(ctx_);
    throw Exception("--tls-key " + keyFile + " is not a usable private key (PEM): " + errors);
  }
  if (SSL_CTX_check_private_key(ctx_) != 1) {
    const std::string errors = OpenSslErrors();
    SSL_CTX_free(ctx_);
    throw Exception("--tls-key " + keyFile + " does not belong to the certificate in --tls-cert " +
                    certFile + ": " + errors);
  }
}

TlsContext::~TlsContext() { SSL_CTX_free(ctx_); }

TlsChannel::TlsChannel(const TlsContext& context, int fd)
    : readEvents_(POLLIN), writeEvents_(POLLOUT) {
  ssl_ = SSL_new(context.Get());
  if (!ssl_ || SSL_set_fd(ssl_, fd) != 1) {
    SSL_free(ssl_);
    throw Exception("cannot start TLS: " + OpenSslErrors());
  }
  SSL_set_accept_state(ssl_);
}

TlsChannel::~TlsChannel() { SSL_free(ssl_); }

TlsChannel::Result TlsChannel::Settle(int ret, short& events, const char* what) {
  const int savedErrno = errno;
  switch (SSL_get_error(ssl_, ret)) {
    case SSL_ERROR_WANT_READ:
      events = POLLIN;
      return Result::kAgain;
    case SSL_ERROR_WANT_WRITE:
      events = POLLOUT;
      return Result::kAgain;
    case SSL_ERROR_ZERO_RETURN:
      return Result::kClosed;
    case SSL_ERROR_SYSCALL: {
      const std::string errors = OpenSslErrors();
      if (errors.empty() && savedErrno == 0) {
        // The peer closed the socket without a close notification.
        if (established_) return Result::kClosed;
        error_ = "TLS handshake failed: the client closed the connection";
        failed_ = true;
        return Result::kFailed;
      }
      error_ = std::string(established_ ? what : "TLS handshake") + " failed: " +
               (errors.empty() ? ErrnoText(savedErrno) : errors);
      failed_ = true;
      return Result::kFailed;
    }
    default: {
      const std::string errors = OpenSslErrors();
      error_ = std::string(established_ ? what : "TLS handshake") + " failed: " +
               (errors.empty() ? std::string("unknown TLS error") : errors);
      failed_ = true;
      return Result::kFailed;
    }
  }
}

TlsChannel::Result TlsChannel::Read(char* buf, size_t size, size_t& count) {
  count = 0;
  ERR_clear_error();
  errno = 0;
  const int ret = SSL_read_ex(ssl_, buf, size, &count);
  starved_ = ret != 1;
  if (ret == 1) {
    established_ = true;
    readEvents_ = POLLIN;
    return Result::kDone;
  }
  return Settle(ret, readEvents_, "TLS receive");
}

TlsChannel::Result TlsChannel::Write(const char* data, size_t size, size_t& count) {
  count = 0;
  ERR_clear_error();
  errno = 0;
  const int ret = SSL_write_ex(ssl_, data, size, &count);
  if (ret == 1) {
    established_ = true;
    writeEvents_ = POLLOUT;
    return Result::kDone;
  }
  return Settle(ret, writeEvents_, "TLS send");
}

// With read-ahead, whole records may wait unprocessed behind the one just read;
// after a read that found too little, what waits is part of a record, and only
// the socket can bring the rest.
bool TlsChannel::Buffered() const {
  return SSL_pending(ssl_) > 0 || (!starved_ && SSL_has_pending(ssl_) == 1);
}

bool TlsChannel::HandshakeDone() const { return established_; }

void TlsChannel::Shutdown() {
  // After a fatal error OpenSSL must not send anything more.
  if (failed_ || !established_) return;
  ERR_clear_error();
  SSL_shutdown(ssl_);
  ERR_clear_error();
}

}  // namespace rda
