// The core's timers, on a manual clock: the reply limit, the keep-alive, the 500 ms
// reconnect that sends what a web server's close left queued, and the reconnect after
// a refused login. Each is checked a millisecond before and at its time.
#include <gtest/gtest.h>

#include "CoreTestSupport.h"
#include "base/Exception.h"
#include "tests/base/RaisesWith.h"

namespace rda {
namespace {

using std::chrono::milliseconds;
using test::Frame;
using test::Msg;
using test::RaisesWith;

class CoreTime : public ::testing::Test, public test::CoreFixture {
 protected:
  void ConnectDirect() {
    core.SetActive(true);
    Connect();
    driver.stream.written.clear();  // the server version request of every connect
  }
  TRdaStringLine Request(const std::string& text) {
    TRdaStringLine line;
    line.SetToken(52);
    line.AddField(text);
    return line;
  }
};

TEST_F(CoreTime, TheReplyLimitCountsSilenceToTheMillisecond) {
  ConnectDirect();
  ASSERT_EQ(core.Settings().ReplyTimeout, 60000);
  const std::string reply = Frame({61, 0, {"late but whole"}});
  driver.whileWaiting = [&](TRdaWait& wait) {
    Pass(milliseconds(59999));
    EXPECT_FALSE(wait.ended);
    // Part of the reply: the silence starts again.
    core.Readable(reply.substr(0, 10));
    Pass(milliseconds(59999));
    EXPECT_FALSE(wait.ended);
    core.Readable(reply.substr(10));
    EXPECT_TRUE(wait.ended);
  };
  TRdaStringLine answered = Request("answered in time");
  core.SendMessage(answered, true);
  EXPECT_EQ(core.ReplyText(), "late but whole");

  // Silent for the whole limit: the wait ends at 60000 ms exactly, the connection is
  // closed (a late reply would end the next request's wait), and the request raises.
  driver.whileWaiting = [&](TRdaWait& wait) {
    Pass(milliseconds(59999));
    EXPECT_FALSE(wait.ended);
    Pass(milliseconds(1));
    EXPECT_TRUE(wait.ended);
    EXPECT_TRUE(wait.timedOut);
  };
  TRdaStringLine silent = Request("never answered");
  EXPECT_TRUE(RaisesWith<ERdaConnectException>(
      [&] { core.SendMessage(silent, true); },
      "No reply from the server within 60000 ms; the connection has been closed."));
  EXPECT_EQ(core.State(), TRdaConnectionState::Inactive);
  EXPECT_EQ(driver.stream.aborts, 1);
  EXPECT_EQ(core.PendingReplies(), 0);
}

TEST_F(CoreTime, KeepAliveGoesOutEveryIntervalWhileConnected) {
  core.Transforms().SetEncryption(etRdaEncrypt);
  ConnectDirect();
  core.SetKeepAlivePing(2);
  EXPECT_EQ(UntilNextDeadline(), 120000);
  Pass(milliseconds(119999));
  EXPECT_TRUE(Sent().empty());
  Pass(milliseconds(1));
  TRdaBodyTransforms server;
  server.SetEncryption(etRdaEncrypt);
  EXPECT_EQ(Sent(&server), (std::vector<Msg>{{15, 0, {"-1", ""}}}));
  Pass(milliseconds(120000));
  EXPECT_EQ(Sent(&server), (std::vector<Msg>{{15, 0, {"-1", ""}}}));
  // Losing the connection ends the keep-alive (as KeepAlivePing 0 does).
  events.OnDisconnect = [] {};
  PeerCloses();
  EXPECT_EQ(core.Settings().KeepAlivePing, 0);
  Pass(milliseconds(240000));
  EXPECT_TRUE(Sent().empty());
  EXPECT_EQ(UntilNextDeadline(), -1);
}

// A hand-built request queued behind one the web server never answered: when the
// server closes the connection, the queued request is sent on a new connection
// 500 ms later, and its sender goes on waiting for it.
TEST_F(CoreTime, AQueuedRequestIsSentHalfASecondAfterTheWebServerCloses) {
  core.SetupWebTunnel("127.0.0.1", "10.1.2.3", "isapi/RdaHttp.dll", 8080, 9406);
  core.WebServer().SetWinInet(false);
  core.SendCodedMessage(5, "first");  // opens the connection; sent once it is up
  Connect();
  ASSERT_EQ(driver.stream.opens, std::vector<std::string>{"127.0.0.1:8080"});
  const std::string answer = Frame({28, 0, {"9", test::ListText({{"Answer", "after"}}), "1"}});
  driver.whileWaiting = [&](TRdaWait& wait) {
    EXPECT_EQ(driver.stream.written.rfind("POST /isapi/RdaHttp.dll/Rda?&10.1.2.3&9406 HTTP/1.0", 0), 0u);
    driver.stream.written.clear();
    PeerCloses();  // no answer, no warning
    EXPECT_FALSE(wait.ended);
    EXPECT_EQ(UntilNextDeadline(), 500);
    Pass(milliseconds(499));
    EXPECT_EQ(driver.stream.opens.size(), 1u);
    Pass(milliseconds(1));
    EXPECT_EQ(driver.stream.opens.size(), 2u);
    Connect();
    EXPECT_NE(driver.stream.written.find("Content-Length: "), std::string::npos);
    core.Readable("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(answer.size()) +
                  "\r\n\r\n" + answer);
    EXPECT_TRUE(wait.ended);
  };
  EXPECT_EQ(core.SendCodedParamList(9, nullptr, true),
            TRdaParamList::FromText(test::ListText({{"Answer", "after"}}))->ToText(true));
  EXPECT_TRUE(core.Outbox().empty());
  EXPECT_TRUE(driver.ui.errors.empty());
}

// A refused login below LoginMaxAttempts closes the connection and connects again
// 500 ms later; the refusal that reaches the limit ends the application, and nothing
// is tried after it.
TEST_F(CoreTime, ARefusedLoginReconnectsAfterHalfASecondUntilTheLimit) {
  core.Settings().AutoLoginDlg = ltLoginNoDlg;
  core.Settings().UserName = "ann";
  core.Settings().LoginMaxAttempts = 3;
  events.OnDisconnect = [] {};
  int refusals = 0;
  events.OnLoginAttempt = [&](bool ok) { refusals += ok ? 0 : 1; };
  driver.whileWaiting = [&](TRdaWait&) {
    EXPECT_EQ(Sent()[0].token, 17);  // the login
    core.Readable(Frame({17, 0, {"0", ""}}));
  };
  core.SetActive(true);
  Connect();
  for (int attempt = 2; attempt <= 3; ++attempt) {
    EXPECT_EQ(refusals, attempt - 1);
    EXPECT_EQ(core.State(), TRdaConnectionState::Inactive);
    EXPECT_TRUE(core.ReconnectScheduled());
    EXPECT_EQ(UntilNextDeadline(), 500);
    Pass(milliseconds(499));
    EXPECT_EQ(driver.stream.opens.size(), static_cast<size_t>(attempt - 1));
    Pass(milliseconds(1));
    ASSERT_EQ(driver.stream.opens.size(), static_cast<size_t>(attempt));
    Connect();
  }
  EXPECT_EQ(refusals, 3);
  EXPECT_EQ(core.LoginAttempts(), 3);
  EXPECT_EQ(driver.ui.terminated, 1);
  EXPECT_EQ(driver.ui.messages, std::vector<std::string>{"Bad Login Attempt.  Your User Name and "
                                                         "Password was not validated at the server."});
  EXPECT_FALSE(core.ReconnectScheduled());
  Pass(milliseconds(60000));
  EXPECT_EQ(driver.stream.opens.size(), 3u);
}

}  // namespace
}  // namespace rda
