// TLS for tests of rdaserver's data port (certificates: TestCertificates.h).
//
// TlsRawClient is a RawClient whose frames travel inside TLS. Its
// constructor does the handshake, verifying the server's certificate
// against caFile and the host name; a failed handshake raises
// std::runtime_error with OpenSSL's reason (for a certificate, its verify
// error). Every socket wait is bounded.
#pragma once

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <stdlib.h>
#include <sys/time.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "server/TlsChannel.h"
#include "tests/support/RawClient.h"
#include "tests/support/TestCertificates.h"

namespace rda::test {

class TlsRawClient : public RawClient {
 public:
  TlsRawClient(int port, const std::string& caFile, const std::string& host,
               Millis limit = Millis(5000))
      : RawClient(port) {
    try {
      Handshake(port, caFile, host, limit);
    } catch (...) {
      Close();
      throw;
    }
  }
  ~TlsRawClient() override { Close(); }

  void Close() override {
    if (ssl_) SSL_free(ssl_);
    ssl_ = nullptr;
    if (ctx_) SSL_CTX_free(ctx_);
    ctx_ = nullptr;
    RawClient::Close();
  }

 private:
  static std::string ErrorText() {
    const std::string text = OpenSslErrors();
    return text.empty() ? "no OpenSSL error" : text;
  }

  void Handshake(int port, const std::string& caFile, const std::string& host, Millis limit) {
    // Blocking reads and writes, each bounded by limit.
    timeval tv{static_cast<time_t>(limit.count() / 1000),
               static_cast<suseconds_t>(limit.count() % 1000 * 1000)};
    setsockopt(Fd(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(Fd(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    ctx_ = SSL_CTX_new(TLS_client_method());
    if (!ctx_) throw std::runtime_error("SSL_CTX_new: " + ErrorText());
    SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
    if (SSL_CTX_load_verify_locations(ctx_, caFile.c_str(), nullptr) != 1)
      throw std::runtime_error("cannot load CA " + caFile + ": " + ErrorText());
    ssl_ = SSL_new(ctx_);
    SSL_set_fd(ssl_, Fd());
    // The server name goes out for a host name only, never for an address;
    // SSL_set1_host checks either against the certificate.
    in6_addr address{};
    if (inet_pton(AF_INET, host.c_str(), &address) != 1 && inet_pton(AF_INET6, host.c_str(), &address) != 1)
      SSL_ctrl(ssl_, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name, const_cast<char*>(host.c_str()));
    SSL_set1_host(ssl_, host.c_str());
    ERR_clear_error();
    if (SSL_connect(ssl_) != 1) {
      const long verify = SSL_get_verify_result(ssl_);
      const std::string reason = verify != X509_V_OK
                                     ? std::string("certificate verify failed: ") +
                                           X509_verify_cert_error_string(verify)
                                     : ErrorText();
      throw std::runtime_error("TLS handshake with port " + std::to_string(port) + " as " + host + " failed: " + reason);
    }
  }

 public:
 protected:
  ssize_t ReadSome(char* buf, size_t size) override {
    size_t n = 0;
    ERR_clear_error();
    if (SSL_read_ex(ssl_, buf, size, &n) == 1) return static_cast<ssize_t>(n);
    const int error = SSL_get_error(ssl_, 0);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
      errno = EAGAIN;
      return -1;
    }
    return 0;  // closed, or failed: either way the stream has ended
  }
  ssize_t WriteSome(const char* data, size_t size) override {
    size_t n = 0;
    ERR_clear_error();
    if (SSL_write_ex(ssl_, data, size, &n) == 1) return static_cast<ssize_t>(n);
    errno = EPIPE;
    return -1;
  }
  bool Buffered() const override { return ssl_ && SSL_pending(ssl_) > 0; }

 private:
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
};

}  // namespace rda::test
