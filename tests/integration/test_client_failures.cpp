// The client when things go wrong on the server's side: a server killed in the middle
// of a reply, a port where nothing listens, a server that stops answering.
#include <gtest/gtest.h>

#include <signal.h>

#include "ClientTestSupport.h"
#include "base/Exception.h"
#include "tests/base/RaisesWith.h"

namespace rda {
namespace {

using test::RunUntil;
using test::ServerProcess;

std::vector<std::string> ServerArgs() { return {"--port", "0", "--quiet"}; }

TEST(ClientFailures, ServerKilledInTheMiddleOfAReply) {
  ServerProcess server(ServerArgs());
  TRdaClientSocket s;
  s.SetPort(server.DataPort());
  s.OnDisconnect = [] {};
  s.OpenAndWait();
  ASSERT_TRUE(s.Active());
  test::ResultComponent rows;
  // About 30 MB of rows: far more than the socket buffers between the two hold.
  TRdaStringLine select = test::Select(
      s.ComponentId(&rows),
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 250000) "
      "SELECT i, printf('%0100d', i) FROM n");
  s.SetProgressBar(true);
  bool armed = false;  // progress ends with (0, 0) after writing the request
  bool killed = false;
  s.OnReadProgress = [&](int64_t expected, int64_t received) {
    if (expected == 0 && received == 0) armed = true;
    if (armed && received > 0 && !killed) {
      killed = true;
      server.Kill();
    }
  };
  try {
    s.SendMessage(select, true);
    FAIL() << "nothing raised";
  } catch (const ESocketError& e) {
    EXPECT_EQ(e.ErrorCode(), 10054);
    EXPECT_EQ(std::string(e.what()),
              "10054: Software caused connection abort.  The server terminated the connection. It "
              "is possible that the server has terminated. at 127.0.0.1 on Port:" +
                  std::to_string(server.DataPort()));
  }
  EXPECT_TRUE(killed);
  EXPECT_FALSE(s.Active());
  EXPECT_FALSE(rows.LastRows().has_value());
  EXPECT_EQ(s.AnchorStatusText(), "Disconnected from Server");
}

TEST(ClientFailures, ServerKilledBeforeTheRequest) {
  ServerProcess server(ServerArgs());
  TRdaClientSocket s;
  s.SetPort(server.DataPort());
  s.OnDisconnect = [] {};
  s.OpenAndWait();
  ASSERT_TRUE(s.Active());
  server.Kill();
  // Whether the write already fails or the loss shows while waiting: the request
  // ends at once with the loss, not by the reply limit.
  TRdaStringLine select = test::Select(1, "SELECT 1");
  EXPECT_TRUE(test::RaisesWith<ERdaConnectException>([&] { s.SendMessage(select, true); },
                                                     "Disconnected from server!"));
  EXPECT_FALSE(s.Active());
}

TEST(ClientFailures, RefusedPort) {
  int port = 0;
  {
    ServerProcess server(ServerArgs());
    port = server.DataPort();
  }
  TRdaClientSocket s;
  s.SetPort(port);
  EXPECT_TRUE(test::RaisesWith<ESocketError>(
      [&] { s.OpenAndWait(); },
      "10061: Connection refused.  Verify that a server is available. at 127.0.0.1 on Port:" +
          std::to_string(port)));
  EXPECT_FALSE(s.Active());
}

TEST(ClientFailures, ServerThatStopsAnsweringEndsTheWait) {
  ServerProcess server(ServerArgs());
  TRdaClientSocket s;
  s.SetPort(server.DataPort());
  s.SetReplyTimeout(400);
  s.OnDisconnect = [] {};
  s.OpenAndWait();
  ASSERT_TRUE(s.Active());
  ASSERT_EQ(kill(server.Pid(), SIGSTOP), 0);
  TRdaStringLine select = test::Select(1, "SELECT 1");
  EXPECT_TRUE(test::RaisesWith<ERdaConnectException>(
      [&] { s.SendMessage(select, true); },
      "No reply from the server within 400 ms; the connection has been closed."));
  ASSERT_EQ(kill(server.Pid(), SIGCONT), 0);
  EXPECT_FALSE(s.Active());
  // A new connection works.
  s.OpenAndWait();
  EXPECT_TRUE(s.Active());
}

}  // namespace
}  // namespace rda
