// Every message the server sends on its own initiative, pushed through rdaserver's
// control port to a connected client; redirects, reconnects and resets.
#include <gtest/gtest.h>

#include "ClientTestSupport.h"
#include "base/Exception.h"

namespace rda {
namespace {

using test::RunUntil;
using test::ServerProcess;

std::vector<std::string> ServerArgs() { return {"--port", "0", "--control-port", "0", "--quiet"}; }

class Pushed : public ::testing::Test {
 protected:
  Pushed() : server(ServerArgs()) {}
  void SetUp() override {
    s.SetPort(server.DataPort());
    s.SetUserInterface(&ui);
    s.OnDisconnect = [] {};
    s.OnException = [this](const std::exception& e) { errors.push_back(e.what()); };
    s.OnConnectStatusChange = [this](const std::string& t) { states.push_back(t); };
    s.OpenAndWait();
    ASSERT_TRUE(s.Active());
  }
  // Pushes one control command and runs the loop until `done`.
  void Push(const std::string& command, const std::function<bool()>& done) {
    ASSERT_EQ(server.Control(command), "ok") << command;
    ASSERT_TRUE(RunUntil(done)) << command;
  }

  ServerProcess server;
  TRdaClientSocket s;
  test::RecordingUI ui;
  std::vector<std::string> errors;
  std::vector<std::string> states;
};

TEST_F(Pushed, TextsAndCodedMessages) {
  std::vector<std::string> seen;
  const auto add = [&](std::string t) { seen.push_back(std::move(t)); };
  s.OnChatMessage = [&](const std::string& t) { add("chat " + t); };
  s.OnServerBroadcast = [&](const std::string& t) { add("broadcast " + t); };
  s.OnCodedMessage = [&](int32_t id, const std::string& t) { add("coded " + std::to_string(id) + " " + t); };
  s.OnCodedStream = [&](int32_t id, const std::string& b) {
    add("stream " + std::to_string(id) + " " + std::to_string(b.size()));
  };
  s.OnCodedParamList = [&](int32_t id, TRdaParamList& p) {
    add("params " + std::to_string(id) + " " + p.ParamByName("b").AsString());
  };
  Push("chat last hello there", [&] { return seen.size() == 1; });
  Push("broadcast to everyone", [&] { return seen.size() == 2; });
  Push("coded last 7 seven", [&] { return seen.size() == 3; });
  Push("stream last 8 a\\x00b", [&] { return seen.size() == 4; });
  Push("params last 9 a=1 b=two", [&] { return seen.size() == 5; });
  Push("message last in a box", [&] { return ui.messages.size() == 1; });
  // An internal notification is ignored: the chat behind it is the next thing seen.
  ASSERT_EQ(server.Control("raw last 20 0 ignored"), "ok");
  Push("chat last after", [&] { return seen.size() == 6; });
  EXPECT_EQ(seen, (std::vector<std::string>{"chat hello there", "broadcast to everyone",
                                            "coded 7 seven", "stream 8 3", "params 9 two",
                                            "chat after"}));
  EXPECT_EQ(ui.messages, std::vector<std::string>{"in a box"});
  EXPECT_TRUE(errors.empty());
}

TEST_F(Pushed, ServerInformationAndSettings) {
  ASSERT_TRUE(RunUntil([&] { return s.ServerVersion() == 1.0; }));  // asked on connect
  std::vector<int> codes;
  s.OnServerUtilityInfoEvent = [&](int32_t code, TRdaParamList&) { codes.push_back(code); };
  Push("info last 6 ServerVersion:string=3.5", [&] { return s.ServerVersion() == 3.5; });
  Push("settings last DateMaskForSQL=YYYY-MM-DD DateTimeMaskForSQL=\"YYYY-MM-DD HH:NN\" "
       "TimeMaskForSQL=HH:NN SQLOptions=17 UpdateSQLSyntax=4",
       [&] { return s.UpdateSQLSyntax() == usOracle; });
  EXPECT_EQ(s.DateMaskForSQL(), "YYYY-MM-DD");
  EXPECT_EQ(s.DateTimeMaskForSQL(), "YYYY-MM-DD HH:NN");
  EXPECT_EQ(s.TimeMaskForSQL(), "HH:NN");
  EXPECT_EQ(s.SQLOptions(), (TRdaServerSQLOptions{ssUseQuotesInFieldNames, ssTerminateWithSemiColon}));
  // A ping is answered; the server counts the answer.
  Push("ping last", [&] { return test::Clients(server).find("pings=1") != std::string::npos; });
  // Settings without an item: the error is reported, nothing changes.
  Push("settings last DateMaskForSQL=X", [&] { return !errors.empty(); });
  EXPECT_EQ(errors[0], "Parameter Not Found: DateTimeMaskForSQL");
  EXPECT_EQ(s.DateMaskForSQL(), "YYYY-MM-DD");
  EXPECT_EQ(codes, (std::vector<int>{6, 14, 19, 14}));
}

TEST_F(Pushed, CustomObjectsExceptionsAndTerminate) {
  std::string object;
  s.OnCustomObject = [&](int32_t token, const std::string& name, TRdaParamList& p) {
    object = std::to_string(token) + " " + name + " " + p.ParamByName("x").AsString();
  };
  Push("custom last 12 Thing x=1", [&] { return !object.empty(); });
  EXPECT_EQ(object, "12 Thing 1");

  Push("exception last 5 bad things", [&] { return !errors.empty(); });
  EXPECT_EQ(errors[0], "\rbad\rthings");
  std::vector<std::string> handled;
  s.OnServerAsyncException = [&](int32_t token, TRdaParamList& e, bool& h) {
    handled.push_back(std::to_string(token) + " " + std::to_string(e.Count()));
    h = true;
  };
  Push("exception last 6 one", [&] { return !handled.empty(); });
  EXPECT_EQ(handled[0], "6 1");
  EXPECT_EQ(errors.size(), 1u);

  bool keep = true;
  std::vector<std::string> notices;
  s.OnTerminateMessageFromServer = [&](const std::string& t, bool& h) {
    notices.push_back(t);
    h = keep;
  };
  Push("terminate last going down", [&] { return notices.size() == 1; });
  EXPECT_TRUE(s.Active());
  EXPECT_EQ(ui.terminated, 0);
  keep = false;
  Push("terminate last now", [&] { return ui.terminated == 1; });
  EXPECT_EQ(notices, (std::vector<std::string>{"going down", "now"}));
  EXPECT_FALSE(s.Active());
  EXPECT_TRUE(errors.size() == 1);
}

TEST_F(Pushed, RedirectAndBackToTheAnchor) {
  ServerProcess other(ServerArgs());
  ui.logins.push_back(TRdaLoginEntry{"bob", "secret"});
  const std::string anchor = "127.0.0.1:" + std::to_string(server.DataPort());
  Push("redirect last 127.0.0.1 " + std::to_string(other.DataPort()),
       [&] { return s.Active() && s.Port() == other.DataPort(); });
  EXPECT_EQ(s.AnchorReturnAddress(), anchor);
  EXPECT_EQ(ui.loginDialogs, 1);  // the new server gets a login with the dialog
  ASSERT_TRUE(RunUntil([&] { return test::Clients(other).find("user=\"bob\"") != std::string::npos; }));
  EXPECT_NE(std::find(states.begin(), states.end(), "Connecting from Anchor to Server " + anchor),
            states.end());

  // The redirected connection drops: back to the anchor after 500 ms.
  states.clear();
  ASSERT_EQ(other.Control("disconnect last"), "ok");
  ASSERT_TRUE(RunUntil([&] { return s.Active() && s.Port() == server.DataPort(); }));
  EXPECT_EQ(states, (std::vector<std::string>{"Disconnected from Server", "Disconnected, Anchor Available",
                                              "Connected to Server"}));
  EXPECT_TRUE(errors.empty());
}

TEST_F(Pushed, ReconnectAndReset) {
  Push("reconnect last", [&] { return s.Active() && s.ProxiedPort() == server.DataPort(); });
  EXPECT_EQ(s.ProxiedAddress(), "127.0.0.1");
  ASSERT_TRUE(RunUntil([&] { return test::CountOf(test::Clients(server), "127.0.0.1") == 1; }));

  states.clear();
  // Already connected before the reset: wait for the reconnection it causes.
  Push("reset last", [&] { return !states.empty() && states.back() == "Connected to Server"; });
  EXPECT_EQ(s.LoginAttempts(), 1);
  EXPECT_TRUE(s.Active());
  EXPECT_EQ(states, (std::vector<std::string>{"No Connection", "Disconnected from Server",
                                              "Connected to Server"}));
  ASSERT_TRUE(RunUntil([&] { return test::CountOf(test::Clients(server), "127.0.0.1") == 1; }));
  EXPECT_TRUE(errors.empty());
}

}  // namespace
}  // namespace rda
