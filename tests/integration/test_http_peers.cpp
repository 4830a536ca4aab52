// The client's HTTP tunnel with the other real parts a company puts in between: HTTPS
// at nginx with a certificate made for the test (and each certificate option), an HTTP
// proxy that wants a log-in, tinyproxy for the hand-built proxy form, and the status
// texts of the platform HTTP client.
#include <gtest/gtest.h>

#include <QNetworkProxy>

#include <cstdlib>

#include "ClientTestSupport.h"
#include "base/Exception.h"
#include "tests/base/RaisesWith.h"
#include "tests/support/WebPeers.h"

namespace rda {
namespace {

using test::ServerProcess;

const std::string kDemo = std::string(RDA_TEST_DATA_DIR) + "/../../server/demo.sql";
const char kCompanySql[] = "SELECT \"Comp_Name\", \"Version Number\" FROM SY_MASTR";

std::vector<std::string> ServerArgs() {
  return {"--port", "0", "--http-port", "0", "--control-port", "0", "--quiet", "--init", kDemo,
          "--user", "VORNA", "--password", "MARBLEDO"};
}

// Form 1 to the endpoint behind the web server at 127.0.0.1:webPort.
void PointForm1(TRdaClientSocket& s, int webPort, int dataPort) {
  s.SetupWebTunnel("127.0.0.1", "127.0.0.1", "isapi/RdaHttp.dll", static_cast<uint16_t>(webPort),
                   static_cast<uint16_t>(dataPort));
  s.WebServer().SetWinInet(true);
}

// The rows of a select, or the text of what it raised.
std::string SelectRows(TRdaClientSocket& s) {
  test::ResultComponent rows;
  TRdaStringLine select = test::Select(s.ComponentId(&rows), kCompanySql);
  try {
    s.SendMessage(select, true);
  } catch (const std::exception& e) {
    return std::string("raised: ") + e.what();
  }
  return rows.LastRows().value_or("(no rows)");
}

// A key and a self-signed certificate for 127.0.0.1 (or another name), valid from now
// for `days` (negative: expired), made with the openssl command line.
struct Certificate {
  std::string cert, key;
};
Certificate MakeCertificate(const test::TempDir& dir, const std::string& name,
                            const std::string& subject, const std::string& altName, int days) {
  const std::string key = dir.File(name + ".key");
  const std::string csr = dir.File(name + ".csr");
  const std::string cert = dir.File(name + ".pem");
  const std::string ext = dir.Write(name + ".ext", "subjectAltName=" + altName + "\n");
  const std::string make =
      "openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout '" + key +
      "' -out '" + csr + "' -subj '" + subject + "' 2>/dev/null && openssl x509 -req -in '" + csr +
      "' -signkey '" + key + "' -out '" + cert + "' -days " + std::to_string(days) + " -extfile '" +
      ext + "' 2>/dev/null";
  if (std::system(make.c_str()) != 0) throw std::runtime_error("openssl failed: " + make);
  return {cert, key};
}

TEST(HttpTunnelTls, EachCertificateOptionIgnoresItsErrorOnly) {
  ServerProcess server(ServerArgs());
  test::TempDir dir;
  const Certificate good = MakeCertificate(dir, "good", "/CN=127.0.0.1", "IP:127.0.0.1", 2);
  const Certificate otherName =
      MakeCertificate(dir, "name", "/CN=wrong.example", "DNS:wrong.example", 2);
  const Certificate expired = MakeCertificate(dir, "old", "/CN=127.0.0.1", "IP:127.0.0.1", -1);
  struct Case {
    const char* name;
    const Certificate* certificate;
    TRdaSSLOptions options;
    bool works;
  };
  const Case cases[] = {
      {"self-signed", &good, {}, false},
      {"self-signed, CA ignored", &good, {soIgnoreInvalidCertCA}, true},
      {"other name, CA ignored", &otherName, {soIgnoreInvalidCertCA}, false},
      {"other name, CA and name ignored", &otherName, {soIgnoreInvalidCertCA, soIgnoreInvalidCertName}, true},
      {"expired, CA ignored", &expired, {soIgnoreInvalidCertCA}, false},
      {"expired, CA and date ignored", &expired, {soIgnoreInvalidCertCA, soIgnoreInvalidCertDate}, true},
      {"expired, everything but the date ignored", &expired,
       {soIgnoreInvalidCertCA, soIgnoreInvalidCertName}, false},
  };
  const Certificate* running = nullptr;
  std::unique_ptr<test::NginxProcess> web;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (running != c.certificate) {
      test::NginxProcess::Options o;
      o.upstreamPort = server.HttpPort();
      o.certificateFile = c.certificate->cert;
      o.keyFile = c.certificate->key;
      web.reset();
      web = std::make_unique<test::NginxProcess>(o);
      running = c.certificate;
    }
    TRdaClientSocket s;
    PointForm1(s, web->Port(), server.DataPort());
    s.WebServer().SetUseSSL(true);
    s.WebServer().SetSSLOptions(c.options);
    const std::string rows = SelectRows(s);
    if (c.works) {
      EXPECT_NE(rows.find("Demo Company Ltd"), std::string::npos) << rows;
    } else {
      EXPECT_EQ(rows.rfind("raised: SSL handshake failed", 0), 0u) << rows;
    }
  }
  // Plain HTTP to the TLS port is answered by nginx with an error status.
  TRdaClientSocket plain;
  PointForm1(plain, web->Port(), server.DataPort());
  EXPECT_EQ(SelectRows(plain), "raised: Bad Request (400)");
}

// The application's proxy setting, for one test.
class ApplicationProxy {
 public:
  explicit ApplicationProxy(int port) : saved_(QNetworkProxy::applicationProxy()) {
    QNetworkProxy::setApplicationProxy(
        QNetworkProxy(QNetworkProxy::HttpProxy, "127.0.0.1", static_cast<quint16>(port)));
  }
  ~ApplicationProxy() { QNetworkProxy::setApplicationProxy(saved_); }

 private:
  QNetworkProxy saved_;
};

class ProxyLoginUI : public test::RecordingUI {
 public:
  std::optional<TRdaLoginEntry> ProxyLoginDialog(const std::string& proxy) override {
    asked.push_back(proxy);
    return answer;
  }
  std::vector<std::string> asked;
  std::optional<TRdaLoginEntry> answer;
};

// nginx as the proxy (it takes absolute request targets) that wants Basic "user:pw".
TEST(HttpTunnelProxy, AProxyLogInIsAskedForAndRetried) {
  ServerProcess server(ServerArgs());
  test::NginxProcess::Options o;
  o.upstreamPort = server.HttpPort();
  o.extraServerConfig =
      "    add_header Proxy-Authenticate 'Basic realm=\"rda\"' always;\n"
      "    if ($http_proxy_authorization != \"Basic dXNlcjpwdw==\") { return 407; }\n";
  test::NginxProcess proxy(o);
  ApplicationProxy useProxy(proxy.Port());
  const std::string where = "127.0.0.1:" + std::to_string(proxy.Port());

  TRdaClientSocket s;
  ProxyLoginUI ui;
  ui.answer = TRdaLoginEntry{"user", "pw"};
  s.SetUserInterface(&ui);
  PointForm1(s, proxy.Port(), server.DataPort());
  EXPECT_NE(SelectRows(s).find("Demo Company Ltd"), std::string::npos);
  EXPECT_EQ(ui.asked, std::vector<std::string>{where});
  EXPECT_NE(SelectRows(s).find("Demo Company Ltd"), std::string::npos);
  EXPECT_EQ(ui.asked.size(), 1u);  // the log-in is kept for the proxy

  // Wrong answers are asked again, a bounded number of times; then the 407 stands.
  TRdaClientSocket t;
  ProxyLoginUI wrong;
  wrong.answer = TRdaLoginEntry{"user", "guess"};
  t.SetUserInterface(&wrong);
  PointForm1(t, proxy.Port(), server.DataPort());
  EXPECT_EQ(SelectRows(t), "raised: Proxy Authentication Required (407)");
  EXPECT_GE(wrong.asked.size(), 2u);
  EXPECT_LE(wrong.asked.size(), static_cast<size_t>(kMaxProxyLogins));
  // Cancelled: no retry.
  TRdaClientSocket u;
  ProxyLoginUI cancel;
  u.SetUserInterface(&cancel);
  PointForm1(u, proxy.Port(), server.DataPort());
  EXPECT_EQ(SelectRows(u), "raised: Proxy Authentication Required (407)");
  EXPECT_EQ(cancel.asked.size(), 1u);
}

// Form 3: the connection talks to tinyproxy, which forwards each hand-built request to
// the data port; set up as the "HTTP" command-line key does.
TEST(HttpTunnelProxy, HandBuiltRequestsThroughTinyproxy) {
  ServerProcess server(ServerArgs());
  test::TinyproxyProcess proxy;
  TRdaClientSocket s;
  test::RecordingUI ui;
  s.SetUserInterface(&ui);
  s.SetConnectAction(caUseDesignAddress);
  s.SetAddress("127.0.0.1");
  s.SetPort(proxy.Port());
  s.SetCommandLine({"HTTP", "ServerProxiedAddress=127.0.0.1",
                    "ServerProxiedPort=" + std::to_string(server.DataPort())});
  s.Loaded();
  EXPECT_EQ(s.TransportMode(), 1);
  EXPECT_EQ(s.ProxiedPort(), server.DataPort());
  EXPECT_NE(SelectRows(s).find("Demo Company Ltd"), std::string::npos) << SelectRows(s);
  // Stateless: one log-in at the data server, then the session goes on through the
  // proxy's separate connections.
  s.WebServer().SetAddCookie(true);
  s.SetUserName("VORNA");
  s.SetPassword("MARBLEDO");
  s.SetProxyUserName("proxyuser");  // tinyproxy lets the authorisation pass unasked
  EXPECT_NE(SelectRows(s).find("Demo Company Ltd"), std::string::npos) << SelectRows(s);
  const int32_t session = s.SessionId();
  EXPECT_NE(session, 0);
  EXPECT_NE(SelectRows(s).find("Demo Company Ltd"), std::string::npos);
  EXPECT_EQ(s.SessionId(), session);
  EXPECT_EQ(test::CountOf(test::Clients(server), "user=\"VORNA\""), 1);
  const std::string request = "POST http://127.0.0.1:" + std::to_string(server.DataPort()) + "/ HTTP/1.0";
  // tinyproxy relays a kept-alive connection without reading it again, so it logs
  // only the requests that open a connection.
  EXPECT_TRUE(test::RunUntil([&] { return test::CountOf(proxy.Log(), request) >= 1; }, 3000))
      << proxy.Log();
  EXPECT_TRUE(ui.errors.empty());
}

// Mode 1 as the "HTTP" command-line key selects it, straight at the data port: the
// socket reaches the data server itself (DirectTcp stays on), so the login goes out
// on connect as over TCP, and a connection lost unasked is reported as one.
TEST(HttpTunnelProxy, CommandLineModeLogsInOnConnectAndReportsALostConnection) {
  ServerProcess server({"--port", "0", "--control-port", "0", "--quiet", "--init", kDemo, "--user", "ann",
                        "--password", "pw"});
  TRdaClientSocket s;
  test::RecordingUI ui;
  s.SetUserInterface(&ui);
  s.SetConnectAction(caUseDesignAddress);
  s.SetAddress("127.0.0.1");
  s.SetPort(server.DataPort());
  s.SetCommandLine({"HTTP", "ServerProxiedAddress=127.0.0.1",
                    "ServerProxiedPort=" + std::to_string(server.DataPort())});
  s.SetAutoLoginDlg(ltLoginNoDlg);
  s.SetUserName("ann");
  s.SetPassword("pw");
  std::vector<bool> verdicts;
  s.OnLoginAttempt = [&](bool ok) { verdicts.push_back(ok); };
  std::vector<std::string> errors;
  s.OnException = [&](const std::exception& e) { errors.push_back(e.what()); };
  s.Loaded();
  EXPECT_EQ(s.TransportMode(), 1);
  EXPECT_TRUE(s.DirectTcp());
  // The server verified the login it got on connect.
  ASSERT_TRUE(test::RunUntil([&] { return !verdicts.empty(); }));
  EXPECT_EQ(verdicts, std::vector<bool>{true});
  EXPECT_NE(SelectRows(s).find("Demo Company Ltd"), std::string::npos);

  // The server drops the connection while nothing is asked.
  server.Kill();
  ASSERT_TRUE(test::RunUntil([&] { return !errors.empty(); }));
  EXPECT_EQ(errors, std::vector<std::string>{"Disconnected from server!"});
  EXPECT_FALSE(s.Active());
  EXPECT_TRUE(ui.errors.empty());
}

class RecordingStatusBar : public TRdaStatusDisplay {
 public:
  bool SimplePanel() const override { return false; }
  void SetSimpleText(const std::string&) override {}
  void SetPanelText(int panel, const std::string& text) override {
    if (panel == 1) texts.push_back(text);
  }
  std::vector<std::string> texts;
};

TEST(HttpTunnelStatus, TheHttpClientsStepsReachTheStatusBar) {
  ServerProcess server(ServerArgs());
  test::NginxProcess web(server.HttpPort());
  TRdaClientSocket s;
  RecordingStatusBar bar;
  s.SetStatusBar(&bar);
  PointForm1(s, web.Port(), server.DataPort());
  s.WebServer().SetWinInetToStatusBar(true);
  s.WebServer().SetUseWebServer(true);
  EXPECT_NE(SelectRows(s).find("Demo Company Ltd"), std::string::npos);
  EXPECT_EQ(bar.texts, (std::vector<std::string>{"Sending Request...", "Connecting...",
                                                 "Request Sent", "Receiving Response...",
                                                 "Response Received", "Request Complete"}));
  // A handler of the application's takes the codes instead.
  std::vector<uint32_t> codes;
  s.OnWinInetStatus = [&](uint32_t code) { codes.push_back(code); };
  bar.texts.clear();
  EXPECT_NE(SelectRows(s).find("Demo Company Ltd"), std::string::npos);
  EXPECT_TRUE(bar.texts.empty());
  EXPECT_EQ(codes, (std::vector<uint32_t>{30, 31, 40, 41, 100}));  // the connection is kept
}

}  // namespace
}  // namespace rda
