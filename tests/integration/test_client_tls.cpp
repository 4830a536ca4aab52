// The client's TLS against a real rdaserver started with --tls-cert/--tls-key:
// selects over a verified connection (both client types, by name and by
// address), connects refused with a clear error for what cannot be trusted, and
// each side's mistake about the other (a plain client on a TLS port, a TLS
// client on a plain port or one that never answers) ending in an error within a
// bounded time.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ClientTestSupport.h"
#include "base/Exception.h"
#include "connection/RdaTransport.h"
#include "tests/base/RaisesWith.h"
#include "tests/support/TestCertificates.h"

namespace rda {
namespace {

using test::ServerProcess;
using test::TestCertificates;

const std::string kDemo = std::string(RDA_TEST_DATA_DIR) + "/../../server/demo.sql";
const char kCompanySql[] = "SELECT \"Comp_Name\", \"Version Number\" FROM SY_MASTR";

std::vector<std::string> ServerArgs(std::vector<std::string> extra = {}) {
  std::vector<std::string> args = {"--port", "0", "--control-port", "0", "--quiet", "--init", kDemo};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

std::vector<std::string> TlsServerArgs(const std::string& cert, const std::string& key) {
  return ServerArgs({"--tls-cert", cert, "--tls-key", key, "--handshake-timeout", "3"});
}

class ClientTls : public ::testing::Test {
 protected:
  // A connection to `port` at `address`, TLS on with `caFile` when it is not
  // null, failing a connect within five seconds.
  void Configure(TRdaClientSocket& s, int port, const std::string& address, const std::string* caFile) {
    s.SetUserInterface(&ui);
    s.OnDisconnect = [] {};
    s.SetAddress(address);
    s.SetPort(port);
    s.SetConnectTimeout(5000);
    s.SetReplyTimeout(10000);
    if (caFile != nullptr) {
      s.SetUseTls(true);
      s.SetTlsCaFile(*caFile);
    }
  }

  std::string PlainRows() {
    ServerProcess plain(ServerArgs());
    TRdaClientSocket s;
    Configure(s, plain.DataPort(), "127.0.0.1", nullptr);
    s.OpenAndWait();
    EXPECT_TRUE(s.Active());
    test::ResultComponent rows;
    return test::SelectRows(s, rows, s.ComponentId(&rows), kCompanySql);
  }

  TestCertificates certs;
  test::RecordingUI ui;
};

TEST_F(ClientTls, SelectsOverAVerifiedConnectionAnswerAsOverPlainTcp) {
  const std::string expected = PlainRows();
  ASSERT_NE(expected.find("Demo Company Ltd"), std::string::npos) << expected;
  ServerProcess server(TlsServerArgs(certs.ServerCert(), certs.ServerKey()));
  const std::string ca = certs.Ca();
  for (const std::string address : {"localhost", "127.0.0.1"}) {
    SCOPED_TRACE(address);
    TRdaClientSocket s;
    Configure(s, server.DataPort(), address, &ca);
    s.OpenAndWait();
    ASSERT_TRUE(s.Active()) << s.LastSocketError();
    ASSERT_TRUE(test::RunUntil([&] { return s.ServerVersion() != 0; }));
    test::ResultComponent rows;
    const int id = s.ComponentId(&rows);
    EXPECT_EQ(test::SelectRows(s, rows, id, kCompanySql), expected);
    // A reply of many TLS records.
    const std::string big = test::SelectRows(s, rows, id, "select '" + std::string(100000, 'x') + "' as big");
    EXPECT_NE(big.find(std::string(100000, 'x')), std::string::npos);
    s.CloseAndWait();
    EXPECT_FALSE(s.Active());
  }

  // The blocking client type: one short TLS connection per exchange.
  TRdaClientSocket b;
  Configure(b, server.DataPort(), "127.0.0.1", &ca);
  b.SetClientType(ctBlocking);
  test::ResultComponent rows;
  TRdaStringLine select = test::Select(b.ComponentId(&rows), kCompanySql);
  b.SendMessage(select, true);
  EXPECT_EQ(b.BlockingExchange(5000), "");
  EXPECT_EQ(rows.LastRows().value_or("(no row packet)"), expected);
}

TEST_F(ClientTls, WhatCannotBeTrustedIsRefusedWithItsReason) {
  ServerProcess server(TlsServerArgs(certs.ServerCert(), certs.ServerKey()));
  ServerProcess elsewhere(TlsServerArgs(certs.ElsewhereCert(), certs.ServerKey()));
  const std::string missing = certs.Ca() + ".missing";
  const std::string key = certs.ServerKey();  // a PEM file without a certificate
  struct Case {
    const char* name;
    int port;
    std::string ca;
    int code;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {"another CA", server.DataPort(), certs.OtherCa(), kInternetInvalidCa,
       "The issuer certificate of a locally looked up certificate could not be found; "
       "No certificates could be verified"},
      {"a certificate for another host", elsewhere.DataPort(), certs.Ca(), kInternetSecCertCnInvalid,
       "The host name did not match any of the valid hosts for this certificate"},
      {"a CA file that is not there", server.DataPort(), missing, kInternetSecurityChannelError,
       "the CA file " + missing + " holds no PEM certificate"},
      {"a CA file without a certificate", server.DataPort(), key, kInternetSecurityChannelError,
       "the CA file " + key + " holds no PEM certificate"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TRdaClientSocket s;
    Configure(s, c.port, "127.0.0.1", &c.ca);
    int disconnects = 0;  // a connection that never came up is not lost either
    s.OnDisconnect = [&] { ++disconnects; };
    try {
      s.OpenAndWait();
      ADD_FAILURE() << "the connect succeeded";
    } catch (const ESocketError& e) {
      EXPECT_EQ(e.ErrorCode(), c.code);
      EXPECT_EQ(std::string(e.what()), "The secure connection to 127.0.0.1 on Port:" + std::to_string(c.port) +
                                           " failed: " + c.reason);
    }
    EXPECT_FALSE(s.Active());
    EXPECT_EQ(s.LastSocketError(), c.code);
    EXPECT_EQ(disconnects, 0);

    // The blocking client type raises the same from its exchange.
    TRdaClientSocket b;
    Configure(b, c.port, "127.0.0.1", &c.ca);
    b.SetClientType(ctBlocking);
    EXPECT_TRUE(test::RaisesWith<Exception>(
        [&] { b.SendCodedMessage(5, "blocking"); },
        "The secure connection to 127.0.0.1 on Port:" + std::to_string(c.port) + " failed: " + c.reason));
    EXPECT_FALSE(b.Active());
  }
  // Nothing was let through: the server holds no session.
  EXPECT_TRUE(test::RunUntil([&] { return test::Clients(server) == "ok"; }));
}

TEST_F(ClientTls, EachSidesMistakeAboutTheOtherEndsInAnErrorNotAHang) {
  ServerProcess tlsServer(TlsServerArgs(certs.ServerCert(), certs.ServerKey()));
  ServerProcess plainServer(ServerArgs());

  // A plain client on the TLS port: the server closes at the client's first frame,
  // and a request that waits learns that the connection is gone.
  TRdaClientSocket plain;
  Configure(plain, tlsServer.DataPort(), "127.0.0.1", nullptr);
  EXPECT_TRUE(test::RaisesWith<ERdaConnectException>(
      [&] {
        plain.OpenAndWait();
        test::ResultComponent rows;
        TRdaStringLine select = test::Select(plain.ComponentId(&rows), kCompanySql);
        plain.SendMessage(select, true);
      },
      "Disconnected from server!"));
  EXPECT_FALSE(plain.Active());

  // A TLS client on the plain port: the server tells its hello from a frame and
  // closes at once, and the client says what to look at.
  const std::string ca = certs.Ca();
  TRdaClientSocket secure;
  Configure(secure, plainServer.DataPort(), "127.0.0.1", &ca);
  secure.SetConnectTimeout(20000);
  EXPECT_TRUE(test::RaisesWith<ESocketError>(
      [&] { secure.OpenAndWait(); },
      "The secure connection to 127.0.0.1 on Port:" + std::to_string(plainServer.DataPort()) +
          " failed: the server closed the connection during the TLS handshake (is it a TLS port?)"));
  EXPECT_EQ(secure.LastSocketError(), kInternetSecurityChannelError);

  // A port that takes the connection and never answers: the connect limit ends
  // the handshake.
  const int silent = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(silent, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&address), size), 0);
  ASSERT_EQ(listen(silent, 1), 0);
  ASSERT_EQ(getsockname(silent, reinterpret_cast<sockaddr*>(&address), &size), 0);
  const int silentPort = ntohs(address.sin_port);
  TRdaClientSocket waiting;
  Configure(waiting, silentPort, "127.0.0.1", &ca);
  waiting.SetConnectTimeout(1000);
  EXPECT_TRUE(test::RaisesWith<ESocketError>(
      [&] { waiting.OpenAndWait(); },
      "The secure connection to 127.0.0.1 on Port:" + std::to_string(silentPort) +
          " failed: the server did not complete the TLS handshake within 1000 ms (is it a TLS port?)"));
  EXPECT_FALSE(waiting.Active());
  close(silent);
  EXPECT_FALSE(secure.Active());
}

}  // namespace
}  // namespace rda
