// The client's HTTP tunnel against a real rdaserver behind a real nginx: the install
// utility's road without its window (set up for HTTP, open, select, close), through
// the platform HTTP client (form 1) and hand-built requests (form 2), stateless
// sessions, the message transforms inside the tunnel, and the web server's and the
// extension's refusals.
#include <gtest/gtest.h>

#include "ClientTestSupport.h"
#include "base/Exception.h"
#include "connection/RdaClientSocketPrivate.h"
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
  std::string Rows(const std::string& sql) {
    TRdaStringLine select = test::Select(id, sql);
    dataset.messages.clear();
    s.SendMessage(select, true);
    return dataset.LastRows().value_or("(no row packet)");
  }

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
  EXPECT_EQ(test::CountOf(web.AccessLog(), "POST /isapi/RdaHttp.dll/"), 2) << web.AccessLog();
  s.CloseAndWait();
  EXPECT_FALSE(s.Active());
  EXPECT_TRUE(ui.errors.empty());
}

INSTANTIATE_TEST_SUITE_P(Client, HttpTunnel, ::testing::Values(kForm1, kForm2), FormName);

}  // namespace
}  // namespace rda
