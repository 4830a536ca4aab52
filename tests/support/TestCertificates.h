// Certificates for TLS tests, made with the openssl command at test time in a
// fresh temporary folder (removed again): a CA, a server certificate for
// localhost and 127.0.0.1 signed by it (with its key), a certificate of the
// same CA and key for another host name, and an unrelated self-signed CA.
#pragma once

#include <stdlib.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace rda::test {

class TestCertificates {
 public:
  TestCertificates() {
    char pattern[] = "/tmp/rda-tls-XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp: " + std::string(std::strerror(errno)));
    dir_ = pattern;
    const std::string d = dir_.string();
    const std::string req = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 ";
    Run(req + "-keyout " + d + "/ca.key -out " + d + "/ca.pem -subj /CN=rda-test-ca");
    Run(req + "-keyout " + d + "/other.key -out " + d + "/other.pem -subj /CN=rda-other-ca");
    Run("openssl req -newkey rsa:2048 -nodes -keyout " + d + "/server.key -out " + d +
        "/server.csr -subj /CN=localhost");
    std::ofstream(dir_ / "san.ext") << "subjectAltName=DNS:localhost,IP:127.0.0.1\n";
    Run("openssl x509 -req -in " + d + "/server.csr -CA " + d + "/ca.pem -CAkey " + d +
        "/ca.key -CAcreateserial -days 2 -extfile " + d + "/san.ext -out " + d + "/server.pem");
    // The same CA's certificate for a host that is not this one, with the same key.
    std::ofstream(dir_ / "elsewhere.ext") << "subjectAltName=DNS:db.example.org\n";
    Run("openssl x509 -req -in " + d + "/server.csr -CA " + d + "/ca.pem -CAkey " + d +
        "/ca.key -CAcreateserial -days 2 -extfile " + d + "/elsewhere.ext -out " + d + "/elsewhere.pem");
  }
  ~TestCertificates() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  TestCertificates(const TestCertificates&) = delete;
  TestCertificates& operator=(const TestCertificates&) = delete;

  std::string Ca() const { return (dir_ / "ca.pem").string(); }
  std::string OtherCa() const { return (dir_ / "other.pem").string(); }
  std::string OtherKey() const { return (dir_ / "other.key").string(); }
  std::string ServerCert() const { return (dir_ / "server.pem").string(); }
  std::string ServerKey() const { return (dir_ / "server.key").string(); }
  // A certificate for db.example.org only, from Ca(), for ServerKey().
  std::string ElsewhereCert() const { return (dir_ / "elsewhere.pem").string(); }

 private:
  static void Run(const std::string& command) {
    const std::string quiet = command + " >/dev/null 2>&1";
    if (std::system(quiet.c_str()) != 0) throw std::runtime_error("failed: " + command);
  }

  std::filesystem::path dir_;
};

}  // namespace rda::test
