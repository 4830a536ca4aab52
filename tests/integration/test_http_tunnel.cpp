// The client's HTTP tunnel against a real rdaserver behind a real nginx: the install
// utility's road without its window (set up for HTTP, open, select, close), through
// the platform HTTP client (form 1) and hand-built requests (form 2), stateless
// sessions, the message transforms inside the tunnel, and the web server's and the
// extension's refusals.
#include <gtest/gtest.h>

#include "ClientTestSupport.h"
#include "base/Exception.h"
#include "tests/base/RaisesWith.h"
#include "tests/support/WebPeers.h"

namespace rda {
namespace {

using test::RunUntil;
using test::ServerProcess;

const std::string kDemo = std::string(RDA_TEST_DATA_DIR) + "/../../server/demo.sql";
const char kCompanySql[] = "SELECT \"Comp_Name\", \"Version Number\" FROM SY_MASTR";
const char kRefused[] = "10061: Connection refused.  Verify that a server is available.";

std::vector<std::string> ServerArgs(std::vector<std::string> extra = {}) {
  std::vector<std::string> args = {"--port", "0", "--http-port", "0", "--control-port", "0",
                                   "--quiet", "--init", kDemo, "--user", "VORNA",
                                   "--password", "MARBLEDO"};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

enum Form { kForm1 = 1, kForm2 = 2 };
std::string FormName(const ::testing::TestParamInfo<Form>& p) {
  return p.param == kForm1 ? "Form1" : "Form2";
}

// The install utility's SetupServer for "HTTP": the data server as the web server
// sees it, the web server, the extension path, stateless mode with its log-in.
void SetupServerForHttp(TRdaClientSocket& s, int dataPort, int webPort, Form form) {
  s.SetAutoLoginDlg(ltNoChallenge);
  s.SetAddress("127.0.0.1");
  s.SetHost("");
  s.SetPort(dataPort);
  TRdaWebServer& w = s.WebServer();
  w.SetRdaServerAddress("127.0.0.1");
  w.SetRdaServerPort(static_cast<uint16_t>(dataPort));
  w.SetWebServerAddress("127.0.0.1");
  w.SetWebServerPort(static_cast<uint16_t>(webPort));
  w.SetRdaHttpDll("isapi/RdaHttp.dll");
  s.SetUserName("VORNA");
  s.SetPassword("MARBLEDO");
  w.SetAddCookie(true);
  w.SetTimeout(20);
  w.SetWinInetToStatusBar(true);
  w.SetWinInet(form == kForm1);
  w.SetUseWebServer(true);
}

class HttpTunnel : public ::testing::TestWithParam<Form> {
 protected:
  explicit HttpTunnel(std::vector<std::string> extra = {})
      : server(ServerArgs(std::move(extra))), web(server.HttpPort()) {}
  void SetUp() override {
    s.SetUserInterface(&ui);
    SetupServerForHttp(s, server.DataPort(), web.Port(), GetParam());
    id = s.ComponentId(&dataset);
  }
  std::string Rows(const std::string& sql) { return test::SelectRows(s, dataset, id, sql); }

  ServerProcess server;
  test::NginxProcess web;
  TRdaClientSocket s;
  test::RecordingUI ui;
  test::ResultComponent dataset;
  int id = 0;
};

TEST_P(HttpTunnel, InstallRoadSelectsThroughTheWebServer) {
  EXPECT_EQ(s.TransportMode(), 2);
  EXPECT_FALSE(s.DirectTcp());
  EXPECT_EQ(s.Host(), "127.0.0.1");
  EXPECT_EQ(s.Address(), "");
  EXPECT_EQ(s.Port(), web.Port());
  EXPECT_EQ(s.ProxiedAddress(), "127.0.0.1");
  EXPECT_EQ(s.ProxiedPort(), server.DataPort());
  std::vector<std::string> headers;  // the first bytes of each outgoing body
  s.OnStatelessPacketEvent = [&](std::string& body, bool packup) {
    if (packup) headers.push_back(body.substr(0, 3));
  };
  s.OpenAndWait();
  EXPECT_TRUE(s.Active());
  const std::string rows = Rows(kCompanySql);
  EXPECT_NE(rows.find("Demo Company Ltd"), std::string::npos) << rows;
  const int32_t session = s.SessionId();
  EXPECT_NE(session, 0);
  EXPECT_NE(Rows("SELECT 1").find("1"), std::string::npos);
  EXPECT_EQ(s.SessionId(), session);
  // A log-in header first, then the session's id.
  EXPECT_EQ(headers, (std::vector<std::string>{std::string("\x22\x00\x01", 3),
                                               std::string("\x07\x00\x00", 3)}));
  const std::string clients = test::Clients(server);
  EXPECT_EQ(test::CountOf(clients, "user=\"VORNA\" app=\"RdaHttp\""), 1) << clients;
  // Every request went through nginx.
  EXPECT_EQ(web.AwaitLogged("POST /isapi/RdaHttp.dll/", 2), 2) << web.AccessLog();
  s.CloseAndWait();
  EXPECT_FALSE(s.Active());
  EXPECT_TRUE(ui.errors.empty());
}


// ---- The connection's scenarios once over TCP and once over each tunnel form ---------

enum Carriage { kTcp, kTunnelForm1, kTunnelForm2 };
std::string CarriageName(const ::testing::TestParamInfo<Carriage>& p) {
  static const char* const kNames[] = {"Tcp", "TunnelForm1", "TunnelForm2"};
  return kNames[p.param];
}

// A connection to `server` directly, or through `web` in front of its endpoint.
void Point(TRdaClientSocket& s, Carriage c, const ServerProcess& server, const test::NginxProcess& web) {
  if (c == kTcp) {
    s.SetPort(server.DataPort());
    return;
  }
  s.SetupWebTunnel("127.0.0.1", "127.0.0.1", "isapi/RdaHttp.dll", static_cast<uint16_t>(web.Port()),
                   static_cast<uint16_t>(server.DataPort()));
  s.WebServer().SetWinInet(c == kTunnelForm1);
}

class OverEveryCarriage : public ::testing::TestWithParam<Carriage> {
 protected:
  OverEveryCarriage() : server(ServerArgs()), web(server.HttpPort()) {}
  void SetUp() override {
    s.SetUserInterface(&ui);
    s.OnDisconnect = [] {};
    Point(s, GetParam(), server, web);
    s.OpenAndWait();
    ASSERT_TRUE(s.Active());
    id = s.ComponentId(&dataset);
  }
  std::string Rows(const std::string& sql, int options = 0) {
    return test::SelectRows(s, dataset, id, sql, options);
  }

  ServerProcess server;
  test::NginxProcess web;
  TRdaClientSocket s;
  test::RecordingUI ui;
  test::ResultComponent dataset;
  int id = 0;
};

TEST_P(OverEveryCarriage, SelectRepliesReachTheComponent) {
  const std::string rows = Rows(kCompanySql);
  ASSERT_EQ(dataset.messages.size(), 2u);
  EXPECT_EQ(dataset.messages[0].Token, 1);
  EXPECT_EQ(dataset.messages[0].ComponentId, id);
  EXPECT_NE(rows.find("Demo Company Ltd"), std::string::npos) << rows;
  // A compressed packet arrives inflated: the same rows.
  EXPECT_EQ(Rows(kCompanySql, 1 << 5), rows);
  EXPECT_EQ(dataset.messages.back().Fields[2], "1");
  // Two megabytes of rows in one answer, arriving in many pieces: more than
  // the server buffers before it answers the tunnel's next request.
  const int n = 20000;
  const std::string big = Rows(
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " + std::to_string(n) + ") "
      "SELECT i, printf('%0100d', i) FROM n");
  EXPECT_GT(big.size(), 100u * n);
  EXPECT_NE(big.find(std::string(100 - std::to_string(n).size(), '0') + std::to_string(n)), std::string::npos);
}

// A SQL error whose text says "error" is an answer like any other, not an error page.
TEST_P(OverEveryCarriage, SqlErrorTextsAreAnswers) {
  s.SetCallerTakesErrors(true);
  Rows("SELEC 1");
  EXPECT_EQ(s.TakeServerError(), "[RDA SERVER ERROR]near \"SELEC\": syntax error");
  s.SetRaiseSqlImmediately(true);
  EXPECT_TRUE(test::RaisesWith<ERdaProtocolError>([&] { Rows("SELEC 1"); },
                                                  "near \"SELEC\": syntax error"));
  EXPECT_TRUE(s.Active());
  EXPECT_NE(Rows(kCompanySql).find("Demo Company Ltd"), std::string::npos);
}

TEST_P(OverEveryCarriage, CodedParamListsComeBack) {
  TRdaParamList args;
  args.CreateParam(ftString, "Name", ptInput).SetAsString(std::string(3000, 'v'));
  args.CreateParam(ftInteger, "Back", ptOutput).SetAsInteger(3);
  EXPECT_EQ(s.SendCodedParamList(9, &args, true), args.ToText(true));
  EXPECT_EQ(s.SendCodedParamList(9, &args, true), args.ToText(true));
}

INSTANTIATE_TEST_SUITE_P(Client, OverEveryCarriage,
                         ::testing::Values(kTcp, kTunnelForm1, kTunnelForm2), CarriageName);

struct TransformCase {
  const char* name;
  std::vector<std::string> serverArgs;
  TRdaEncryption encryption;
  bool zlib;
};

// +4 and DES inside the tunnel, with the stateless header inside the encryption.
TEST_P(HttpTunnel, TransformsInsideTheTunnel) {
  const TransformCase cases[] = {
      {"Plus4", {"--encryption", "rda"}, etRdaEncrypt, false},
      {"Des", {"--encryption", "des", "--key", "tunnel!"}, etDESEncrypt, false},
      {"DesZlib", {"--encryption", "des", "--key", "tunnel!", "--zlib"}, etDESEncrypt, true},
  };
  for (const TransformCase& c : cases) {
    SCOPED_TRACE(c.name);
    ServerProcess other(ServerArgs(c.serverArgs));
    test::NginxProcess otherWeb(other.HttpPort());
    TRdaClientSocket t;
    t.SetUserInterface(&ui);
    SetupServerForHttp(t, other.DataPort(), otherWeb.Port(), GetParam());
    t.SetEncryption(c.encryption);
    if (c.encryption == etDESEncrypt) t.SetEncryptKeyIn("tunnel!");
    if (c.zlib) t.SetCompression(acRdaZLib);
    test::ResultComponent rows;
    TRdaStringLine select = test::Select(t.ComponentId(&rows), kCompanySql);
    t.SendMessage(select, true);
    EXPECT_NE(rows.LastRows().value_or("").find("Demo Company Ltd"), std::string::npos);
    EXPECT_NE(t.SessionId(), 0);
    TRdaParamList args;
    args.CreateParam(ftString, "Text", ptInput).SetAsString(std::string(3000, 'z'));
    EXPECT_EQ(t.SendCodedParamList(1, &args, true), args.ToText(true));
    EXPECT_EQ(test::CountOf(test::Clients(other), "user=\"VORNA\" app=\"RdaHttp\""), 1);
  }
}

// The web server's own 404 and the extension's refusal of a data server it does not
// serve: form 1 raises the status, the hand-built form sees an error page.
TEST_P(HttpTunnel, RefusalsOfTheWebServerAndTheExtension) {
  const bool form1 = GetParam() == kForm1;
  std::vector<std::string> customErrors;
  s.WebServer().SetRdaHttpDll("scripts/Rdahttp.dll");  // outside the proxied folder
  s.OnDisconnect = [] {};
  TRdaStringLine select = test::Select(id, kCompanySql);
  if (form1) {
    EXPECT_TRUE(test::RaisesWith<Exception>([&] { s.SendMessage(select, true); }, "Not Found (404)"));
  } else {
    EXPECT_TRUE(test::RaisesWith<ERdaConnectException>([&] { s.SendMessage(select, true); }, kRefused));
    EXPECT_FALSE(s.Active());
  }
  // Another data server than the endpoint serves: an HTTP error whose page says
  // "Error 403 Forbidden"; nothing reaches the other server.
  ServerProcess other(ServerArgs());
  s.WebServer().SetRdaHttpDll("isapi/RdaHttp.dll");
  s.SetProxiedPort(other.DataPort());
  s.OnCustomSQLError = [&](TRdaParamList& list) { customErrors.push_back(list.Items(0).AsString()); };
  TRdaStringLine again = test::Select(id, kCompanySql);
  if (form1) {
    EXPECT_TRUE(test::RaisesWith<Exception>([&] { s.SendMessage(again, true); }, "Forbidden (403)"));
  } else {
    s.SendMessage(again, true);  // the error goes to OnCustomSQLError
    EXPECT_EQ(customErrors, std::vector<std::string>{kRefused});
    EXPECT_FALSE(s.Active());
  }
  EXPECT_EQ(other.Control("clients"), "ok");
  EXPECT_FALSE(dataset.LastRows().has_value());
  // The right address works again on the same connection object.
  s.SetProxiedPort(server.DataPort());
  EXPECT_NE(Rows(kCompanySql).find("Demo Company Ltd"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Client, HttpTunnel, ::testing::Values(kForm1, kForm2), FormName);

}  // namespace
}  // namespace rda
