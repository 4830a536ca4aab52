// The client against a real rdaserver on loopback: connecting, the server version,
// logins, selects, SQL errors, keep-alive, coded messages, the blocking exchange, and
// each message transform on both ends.
#include <gtest/gtest.h>

#include <signal.h>

#include <regex>

#include "ClientTestSupport.h"
#include "base/Exception.h"
#include "tests/base/RaisesWith.h"

namespace rda {
namespace {

using test::RunUntil;
using test::ServerProcess;

const std::string kDemo = std::string(RDA_TEST_DATA_DIR) + "/../../server/demo.sql";
const char kCompanySql[] = "SELECT \"Comp_Name\", \"Version Number\" FROM SY_MASTR";
constexpr int kOptionCompress = 1 << 5;

std::vector<std::string> ServerArgs(std::vector<std::string> extra = {}) {
  std::vector<std::string> args = {"--port", "0", "--control-port", "0", "--quiet", "--init", kDemo};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

int Counter(const std::string& clients, const std::string& name) {
  std::smatch m;
  if (!std::regex_search(clients, m, std::regex(name + "=(\\d+)"))) return -1;
  return std::stoi(m[1]);
}

TEST(ClientSession, ConnectReadsTheServerVersionAndCloses) {
  ServerProcess server(ServerArgs({"--version", "6,75"}));
  TRdaClientSocket s;
  s.SetPort(server.DataPort());
  std::vector<std::string> states;
  s.OnConnectStatusChange = [&](const std::string& t) { states.push_back(t); };
  s.OpenAndWait();
  ASSERT_TRUE(s.Active());
  // Asked on connect without waiting; a comma as separator reads as well.
  ASSERT_TRUE(RunUntil([&] { return s.ServerVersion() != 0; }));
  EXPECT_DOUBLE_EQ(s.ServerVersion(), 6.75);
  EXPECT_EQ(test::CountOf(test::Clients(server), "login=none"), 1);
  s.CloseAndWait();
  EXPECT_FALSE(s.Active());
  EXPECT_EQ(states, (std::vector<std::string>{"Connected to Server", "Disconnected from Server"}));
  ASSERT_TRUE(RunUntil([&] { return test::Clients(server) == "ok"; }));
}

TEST(ClientSession, LoginAcceptedAndRefused) {
  ServerProcess server(ServerArgs({"--user", "ann", "--password", "pw", "--require-login"}));
  {
    TRdaClientSocket s;
    s.SetPort(server.DataPort());
    s.SetAutoLoginDlg(ltLoginNoDlg);
    s.SetUserName("ann");
    s.SetPassword("pw");
    s.SetApplicationVersion("6.251");
    std::vector<bool> verdicts;
    s.OnLoginAttempt = [&](bool ok) { verdicts.push_back(ok); };
    s.OpenAndWait();  // returns after the login reply
    ASSERT_TRUE(s.Active());
    EXPECT_EQ(verdicts, std::vector<bool>{true});
    const std::string clients = test::Clients(server);
    EXPECT_NE(clients.find("user=\"ann\" app=\"test_integration\" version=\"6.251\" login=verified"),
              std::string::npos)
        << clients;
  }
  // Refused three times: two reconnects 500 ms apart, then the application is ended.
  TRdaClientSocket s;
  test::RecordingUI ui;
  s.SetUserInterface(&ui);
  s.SetPort(server.DataPort());
  s.SetAutoLoginDlg(ltLoginNoDlg);
  s.SetUserName("ann");
  s.SetPassword("wrong");
  s.SetLoginMaxAttempts(3);
  s.OnDisconnect = [] {};
  int refusals = 0;
  s.OnLoginAttempt = [&](bool ok) { refusals += ok ? 0 : 1; };
  s.OpenAndWait();
  EXPECT_EQ(refusals, 1);
  ASSERT_TRUE(RunUntil([&] { return ui.terminated == 1; }));
  EXPECT_EQ(refusals, 3);
  EXPECT_EQ(s.LoginAttempts(), 3);
  EXPECT_EQ(ui.messages, std::vector<std::string>{"Bad Login Attempt.  Your User Name and "
                                                  "Password was not validated at the server."});
  // The server closes a refused client; after that nothing is due that could connect
  // again.
  ASSERT_TRUE(RunUntil([&] { return !s.Active(); }));
  EXPECT_FALSE(test::Core(s).ReconnectScheduled());
  EXPECT_EQ(refusals, 3);
  EXPECT_FALSE(s.Active());
}

class Connected : public ::testing::Test {
 protected:
  explicit Connected(std::vector<std::string> extra = {}) : server(ServerArgs(std::move(extra))) {}
  void SetUp() override {
    s.SetPort(server.DataPort());
    s.SetUserInterface(&ui);
    s.OnDisconnect = [] {};
    s.OpenAndWait();
    ASSERT_TRUE(s.Active());
    id = s.ComponentId(&dataset);
  }
  std::string Rows(const std::string& sql, int options = 0) {
    return test::SelectRows(s, dataset, id, sql, options);
  }

  ServerProcess server;
  TRdaClientSocket s;
  test::RecordingUI ui;
  test::ResultComponent dataset;
  int id = 0;
};

TEST_F(Connected, SelectRepliesReachTheComponent) {
  const std::string rows = Rows(kCompanySql);
  ASSERT_EQ(dataset.messages.size(), 2u);
  EXPECT_EQ(dataset.messages[0].Token, 1);
  EXPECT_EQ(dataset.messages[0].ComponentId, id);
  EXPECT_NE(dataset.messages[0].Fields[0].find("Comp_Name"), std::string::npos);
  EXPECT_NE(dataset.messages[0].Fields[0].find("Version Number"), std::string::npos);
  EXPECT_NE(rows.find("Demo Company Ltd"), std::string::npos) << rows;
  EXPECT_NE(rows.find("6.251"), std::string::npos) << rows;
  // A compressed packet reaches the component inflated: the same rows.
  EXPECT_EQ(Rows(kCompanySql, kOptionCompress), rows);
  EXPECT_EQ(dataset.messages.back().Fields[2], "1");
}

TEST_F(Connected, SqlErrorForTheCallerOrRaisedAtOnce) {
  s.SetCallerTakesErrors(true);
  Rows("SELECT * FROM Nope");
  EXPECT_EQ(s.TakeServerError(), "[RDA SERVER ERROR]no such table: Nope");
  s.SetRaiseSqlImmediately(true);
  EXPECT_TRUE(test::RaisesWith<ERdaProtocolError>([&] { Rows("SELECT * FROM Nope"); },
                                                  "no such table: Nope"));
  // The connection goes on.
  EXPECT_NE(Rows(kCompanySql).find("Demo Company Ltd"), std::string::npos);
}

TEST_F(Connected, KeepAliveReachesTheServer) {
  test::Core(s).SetKeepAliveUnit(40);
  s.SetKeepAlivePing(1);
  ASSERT_TRUE(RunUntil([&] { return Counter(test::Clients(server), "keepalives") >= 2; }));
  s.SetKeepAlivePing(0);
}

TEST_F(Connected, CodedMessagesBothWays) {
  std::vector<std::string> coded;
  s.OnCodedMessage = [&](int32_t msgId, const std::string& t) {
    coded.push_back(std::to_string(msgId) + " " + t);
  };
  s.SendCodedMessage(5, "to the server");  // the server echoes it
  ASSERT_TRUE(RunUntil([&] { return coded.size() == 1; }));
  EXPECT_EQ(server.Control("coded last 7 from the server"), "ok");
  ASSERT_TRUE(RunUntil([&] { return coded.size() == 2; }));
  EXPECT_EQ(coded[0], "5 to the server");
  EXPECT_EQ(coded[1], "7 from the server");

  TRdaParamList args;
  args.CreateParam(ftString, "Name", ptInput).SetAsString("value");
  args.CreateParam(ftInteger, "Back", ptOutput).SetAsInteger(3);
  EXPECT_EQ(s.SendCodedParamList(9, &args, true), args.ToText(true));
  std::vector<std::string> lists;
  s.OnCodedParamList = [&](int32_t msgId, TRdaParamList& p) {
    lists.push_back(std::to_string(msgId) + " " + p.ParamByName("Name").AsString());
  };
  EXPECT_EQ(s.SendCodedParamList(10, &args, false), "");
  ASSERT_TRUE(RunUntil([&] { return !lists.empty(); }));
  EXPECT_EQ(lists[0], "10 value");
}

TEST_F(Connected, BlockingExchangeAndItsTimeOut) {
  TRdaClientSocket b;
  b.SetClientType(ctBlocking);
  b.SetPort(server.DataPort());
  std::vector<std::string> coded;
  b.OnCodedMessage = [&](int32_t msgId, const std::string& t) {
    coded.push_back(std::to_string(msgId) + " " + t);
  };
  b.SendCodedMessage(5, "blocking");  // one short connection, answered, closed
  EXPECT_EQ(coded, std::vector<std::string>{"5 blocking"});
  EXPECT_FALSE(b.Active());

  test::ResultComponent rows;
  TRdaStringLine select = test::Select(b.ComponentId(&rows), kCompanySql);
  b.SendMessage(select, true);  // queued
  EXPECT_EQ(b.BlockingExchange(5000), "");
  EXPECT_NE(rows.LastRows().value_or("").find("Demo Company Ltd"), std::string::npos);

  // A server that does not answer: the time-out closes the connection and keeps the
  // queue, which goes out with the next exchange.
  TRdaStringLine again = test::Select(b.ComponentId(&rows), kCompanySql);
  b.SendMessage(again, true);
  ASSERT_EQ(kill(server.Pid(), SIGSTOP), 0);
  EXPECT_TRUE(test::RaisesWith<Exception>([&] { b.BlockingExchange(300); },
                                          "Blocking Socket Time out"));
  ASSERT_EQ(kill(server.Pid(), SIGCONT), 0);
  EXPECT_FALSE(b.Active());
  EXPECT_EQ(test::Core(b).Outbox().size(), 1u);
  rows.messages.clear();
  EXPECT_EQ(b.BlockingExchange(5000), "");
  EXPECT_TRUE(rows.LastRows().has_value());
}

struct TransformCase {
  const char* name;
  std::vector<std::string> serverArgs;
  TRdaEncryption encryption;
  bool zlib;
  friend void PrintTo(const TransformCase& c, std::ostream* os) { *os << c.name; }
};

class Transforms : public ::testing::TestWithParam<TransformCase> {};

TEST_P(Transforms, BothEndsAgree) {
  const TransformCase& c = GetParam();
  ServerProcess server(ServerArgs(c.serverArgs));
  TRdaClientSocket s;
  s.SetPort(server.DataPort());
  s.SetEncryption(c.encryption);
  if (c.encryption == etDESEncrypt) s.SetEncryptKeyIn("secret12");
  if (c.zlib) s.SetCompression(acRdaZLib);
  s.OpenAndWait();
  ASSERT_TRUE(s.Active());
  ASSERT_TRUE(RunUntil([&] { return s.ServerVersion() == 1.0; }));
  test::ResultComponent rows;
  TRdaStringLine select = test::Select(s.ComponentId(&rows), kCompanySql);
  s.SendMessage(select, true);
  EXPECT_NE(rows.LastRows().value_or("").find("Demo Company Ltd"), std::string::npos);
  TRdaParamList args;
  args.CreateParam(ftString, "Text", ptInput).SetAsString(std::string(3000, 'z'));
  EXPECT_EQ(s.SendCodedParamList(1, &args, true), args.ToText(true));
}

INSTANTIATE_TEST_SUITE_P(
    Client, Transforms,
    ::testing::Values(TransformCase{"Plus4", {"--encryption", "rda"}, etRdaEncrypt, false},
                      TransformCase{"Des", {"--encryption", "des", "--key", "secret12"}, etDESEncrypt, false},
                      TransformCase{"Zlib", {"--zlib"}, etNoEncryption, true},
                      TransformCase{"DesZlib", {"--encryption", "des", "--key", "secret12", "--zlib"},
                                    etDESEncrypt, true}),
    [](const ::testing::TestParamInfo<TransformCase>& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace rda
