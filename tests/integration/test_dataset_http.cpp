// The client dataset through the HTTP tunnel: rdaserver's tunnelling endpoint
// behind a real nginx, a connection set up as the install utility sets it up for
// HTTP (stateless, etRdaEncrypt), once through the platform HTTP client and once
// with hand-built requests. The dataset works through a private copy of the
// connection named after it.
#include <gtest/gtest.h>

#include "DatasetTestSupport.h"
#include "base/Exception.h"
#include "messaging/RdaWire.h"
#include "tests/base/RaisesWith.h"
#include "tests/support/WebPeers.h"

namespace rda {
namespace {

enum Form { kPlatformClient = 1, kHandBuilt = 2 };

class DatasetOverHttp : public ::testing::TestWithParam<Form> {
 protected:
  DatasetOverHttp()
      : server(test::DemoServerArgs({"--http-port", "0", "--encryption", "rda", "--user", "VORNA",
                                     "--password", "MARBLEDO"})),
        web(server.HttpPort()) {}
  void SetUp() override {
    s.SetUserInterface(&ui);
    s.SetEncryption(etRdaEncrypt);
    s.SetUserName("VORNA");
    s.SetPassword("MARBLEDO");
    s.SetupWebTunnel("127.0.0.1", "127.0.0.1", "isapi/RdaHttp.dll", static_cast<uint16_t>(web.Port()),
                     static_cast<uint16_t>(server.DataPort()));
    s.WebServer().SetAddCookie(true);
    s.WebServer().SetWinInet(GetParam() == kPlatformClient);
    s.OpenAndWait();
  }
  int Posts() { return test::CountOf(web.AccessLog(), "POST /isapi/RdaHttp.dll/"); }

  test::ServerProcess server;
  test::NginxProcess web;
  TRdaClientSocket s;
  test::RecordingUI ui;
};

TEST_P(DatasetOverHttp, InstallQueriesGoThroughAPrivateConnection) {
  TRdaClientDataSet company;
  company.SetName("DataSet");
  company.SetRdaClientSocket(&s);
  company.SetSQL({"Select T.\"Comp_Name\", T.\"Version Number\" From SY_MASTR T"});
  for (int round = 0; round < 2; ++round) {  // each open makes its own copy
    const int posts = Posts();
    company.Open();
    ASSERT_NE(company.PrivateConnection(), nullptr);
    EXPECT_EQ(company.PrivateConnectionName(), "DataSetSocket");
    EXPECT_EQ(company.GetConnection(), company.PrivateConnection());
    EXPECT_EQ(company.FieldByName("Comp_Name").AsString(), "Demo Company Ltd");
    EXPECT_EQ(company.FieldByName("Version Number").AsString(), "6.251");
    // Through the web server (which logs a request once it is over).
    EXPECT_TRUE(test::RunUntil([&] { return Posts() > posts; }));
    company.Close();
    EXPECT_EQ(company.PrivateConnection(), nullptr);
  }

  for (const auto& [code, port] : {std::pair{"DEMO", 9406}, std::pair{"ACME", 9407}, std::pair{"NONE", 0}}) {
    TRdaClientDataSet directory;
    directory.SetName("Directory");
    directory.SetRdaClientSocket(&s);
    directory.SetSQL({"Select * From VNXHOSTS", std::string("Where XCompanyCode = '") + code + "'"});
    directory.Open();
    EXPECT_EQ(directory.IsEmpty(), port == 0) << code;
    if (port != 0) {
      EXPECT_EQ(directory.FieldByName("XPort").AsInteger(), port);
    }
    EXPECT_EQ(directory.FieldCount(), 4);
  }
  EXPECT_TRUE(ui.errors.empty());
}

TEST_P(DatasetOverHttp, PacketsAndErrorsTravelTheTunnel) {
  TRdaClientDataSet ds;
  ds.SetName("qryMisc");
  ds.SetRdaClientSocket(&s);
  ds.SetSQL({"SELECT XCompanyCode FROM VNXHOSTS ORDER BY XPort"});
  ds.SetRowsToReturn(1);
  ds.Open();
  EXPECT_EQ(ds.RecordCount(), 1);
  ds.Next();  // fetched through the same private connection
  EXPECT_EQ(ds.FieldByName("XCompanyCode").AsString(), "ACME");
  EXPECT_EQ(ds.RecordCount(), 2);
  ds.SetSQL({"SELECT * FROM Elsewhere"});
  EXPECT_TRUE(test::RaisesWith<EDatabaseError>([&] { ds.Open(); },
                                               test::EngineText("[RDA SERVER ERROR]no such table: Elsewhere",
                                                                 "[RDA SERVER ERROR]relation \"elsewhere\" does not exist")));
  EXPECT_EQ(ds.PrivateConnection(), nullptr);
}

// rdaquery tunnels through the platform HTTP client only.
class RdaQueryOverHttp : public DatasetOverHttp {};

TEST_P(RdaQueryOverHttp, TunnelsWithHttp) {
  const int posts = Posts();
  const test::Outcome o = test::RunQuery({"--http", "127.0.0.1:" + std::to_string(web.Port()), "--port",
                                          std::to_string(server.DataPort()), "--encryption", "rda", "--user",
                                          "VORNA", "--password", "MARBLEDO", "--csv",
                                          "SELECT XCompanyCode FROM VNXHOSTS ORDER BY XPort"});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "XCompanyCode\r\nDEMO\r\nACME\r\n");
  EXPECT_TRUE(test::RunUntil([&] { return Posts() > posts; }));
}

// The install utility's HTTP test as the user watches it: the connection set up for
// HTTP with its status bar, a dataset working through its private copy. Panel 1 follows
// the HTTP client's steps of the copy's requests; panel 0 says the server is reached
// only once it answered, and never while the web server refuses.
class StatusPanels : public TRdaStatusDisplay {
 public:
  bool SimplePanel() const override { return false; }
  void SetSimpleText(const std::string&) override {}
  void SetPanelText(int panel, const std::string& text) override {
    (panel == 0 ? state : steps).push_back(text);
  }
  std::vector<std::string> state, steps;
};

TEST(DatasetOverHttpStatus, PanelsShowWhatReallyHappens) {
  test::ServerProcess server(test::DemoServerArgs({"--http-port", "0"}));
  test::NginxProcess web(server.HttpPort());
  const int refusing = test::FreeLoopbackPort();  // nothing listens there
  for (const int port : {web.Port(), refusing}) {
    SCOPED_TRACE(port == refusing ? "refused" : "reached");
    TRdaClientSocket s;
    test::RecordingUI ui;
    StatusPanels panels;
    s.SetUserInterface(&ui);
    s.SetStatusBar(&panels);
    TRdaWebServer& w = s.WebServer();
    w.SetRdaServerAddress("127.0.0.1");
    w.SetRdaServerPort(server.DataPort());
    w.SetWebServerAddress("127.0.0.1");
    w.SetWebServerPort(port);
    w.SetRdaHttpDll("isapi/RdaHttp.dll");
    w.SetAddCookie(true);
    w.SetWinInetToStatusBar(true);
    w.SetWinInet(true);
    w.SetUseWebServer(true);
    s.OpenAndWait();
    panels.state.clear();
    TRdaClientDataSet ds;
    ds.SetName("DataSet");
    ds.SetRdaClientSocket(&s);
    ds.SetSQL({"SELECT XCompanyCode FROM VNXHOSTS"});
    if (port == refusing) {
      EXPECT_THROW(ds.Open(), Exception);
      EXPECT_EQ(panels.state, std::vector<std::string>{});
      EXPECT_EQ(panels.steps, (std::vector<std::string>{"Sending Request...", "Connecting...", "Request Complete"}));
    } else {
      ds.Open();
      EXPECT_FALSE(ds.IsEmpty());
      EXPECT_EQ(panels.state, std::vector<std::string>{});
      EXPECT_EQ(panels.steps, (std::vector<std::string>{"Sending Request...", "Connecting...", "Request Sent",
                                                        "Receiving Response...", "Response Received",
                                                        "Request Complete"}));
    }
    s.CloseAndWait();
    EXPECT_EQ(panels.state, std::vector<std::string>{"Disconnected from Server"});
  }
}

// Web servers that answer a request completely and yet bring no reply for it: one
// answers 200 with nothing (as an endpoint does that reached no data server in
// time), one only with a row packet for another component. nginx plays both.
class AnswerWithoutReply : public ::testing::TestWithParam<Form> {
 protected:
  AnswerWithoutReply() : server(test::DemoServerArgs({"--http-port", "0"})), web(Options()) {}
  test::NginxProcess::Options Options() {
    std::filesystem::create_directories(files.File("others/RdaHttp.dll"));
    // Stateless, as the install utility and rdaquery tunnel: the session header in
    // front of the message.
    const std::string frame =
        Framed(SessionIdHeader(1234) + test::Compose({tkRowPacket, 4711, {"-1", "x\x02\x04", "0"}}));
    for (const char* object : {"Rda", "RDA"})  // the hand-built form's and the HTTP client's
      files.Write(std::string("others/RdaHttp.dll/") + object, frame);
    test::NginxProcess::Options o;
    o.upstreamPort = server.HttpPort();
    // A POST to a file is refused with 405 by nginx's file handler; answered with
    // the file instead.
    o.extraServerConfig = "    location /silent/ { return 200 \"\"; }\n"
                          "    location /others/ { root " + files.Path() + "; error_page 405 =200 $uri; }\n";
    return o;
  }

  test::TempDir files{"rda-others-"};
  test::ServerProcess server;
  test::NginxProcess web;
};

TEST_P(AnswerWithoutReply, ASelectFailsInsteadOfOpeningEmpty) {
  for (const std::string path : {"silent/RdaHttp.dll", "others/RdaHttp.dll"}) {
    SCOPED_TRACE(path);
    TRdaClientSocket s;
    test::RecordingUI ui;
    s.SetUserInterface(&ui);
    s.SetupWebTunnel("127.0.0.1", "127.0.0.1", path, static_cast<uint16_t>(web.Port()),
                     static_cast<uint16_t>(server.DataPort()));
    s.WebServer().SetWinInet(GetParam() == kPlatformClient);
    s.WebServer().SetAddCookie(true);
    s.OpenAndWait();
    TRdaClientDataSet ds;
    ds.SetRdaClientSocket(&s);
    ds.SetSQL({"SELECT * FROM VNXHOSTS"});
    EXPECT_TRUE(test::RaisesWith<ERdaConnectException>(
        [&] { ds.Open(); },
        "The server's HTTP response held no reply to the request; the connection has been closed."));
    EXPECT_FALSE(ds.Active());
  }
}

// rdaquery tunnels through the platform HTTP client only.
class RdaQueryWithoutReply : public AnswerWithoutReply {};

TEST_P(RdaQueryWithoutReply, SaysSoAndFails) {
  for (const std::string path : {"silent/RdaHttp.dll", "others/RdaHttp.dll"}) {
    const test::Outcome o = test::RunQuery({"--http", "127.0.0.1:" + std::to_string(web.Port()), "--path", path,
                                            "--port", std::to_string(server.DataPort()), "SELECT * FROM VNXHOSTS"});
    EXPECT_EQ(o.status, 1) << path;
    EXPECT_EQ(o.out, "") << path;
    EXPECT_NE(o.err.find("held no reply to the request"), std::string::npos) << path << ": " << o.err;
  }
}

INSTANTIATE_TEST_SUITE_P(Forms, AnswerWithoutReply, ::testing::Values(kPlatformClient, kHandBuilt),
                         [](const ::testing::TestParamInfo<Form>& p) {
                           return std::string(p.param == kPlatformClient ? "PlatformClient" : "HandBuilt");
                         });

INSTANTIATE_TEST_SUITE_P(PlatformClient, RdaQueryWithoutReply, ::testing::Values(kPlatformClient));
INSTANTIATE_TEST_SUITE_P(PlatformClient, RdaQueryOverHttp, ::testing::Values(kPlatformClient));
INSTANTIATE_TEST_SUITE_P(Forms, DatasetOverHttp, ::testing::Values(kPlatformClient, kHandBuilt),
                         [](const ::testing::TestParamInfo<Form>& p) {
                           return std::string(p.param == kPlatformClient ? "PlatformClient" : "HandBuilt");
                         });

}  // namespace
}  // namespace rda
