// The connection against a loopback peer that the test drives byte by byte: what goes
// on the wire, waits and their ends, disconnects and socket errors.
#include <gtest/gtest.h>

#include <QTcpServer>

#include "ConnectionTestSupport.h"
#include "base/Exception.h"
#include "connection/RdaSmartWait.h"
#include "tests/base/RaisesWith.h"

namespace rda {
namespace {

using test::FakePeer;
using test::Frame;
using test::Msg;
using test::RaisesWith;
using test::RunUntil;

// A port on loopback where nothing listens.
int FreePort() {
  QTcpServer probe;
  probe.listen(QHostAddress::LocalHost, 0);
  return probe.serverPort();
}

class Exchange : public ::testing::Test {
 protected:
  void Open() {
    s.SetPort(peer.Port());
    s.OpenAndWait();
    ASSERT_TRUE(s.Active());
    // The server version request goes out on every connect.
    ASSERT_TRUE(RunUntil([&] { return peer.Frames().size() == 1; }));
    EXPECT_EQ(test::Decode(peer.Frames()[0], &test::Core(s).Transforms()), (Msg{48, 0, {"6", ""}}));
    peer.ClearReceived();
  }
  TRdaStringLine Request(const std::string& text) {
    TRdaStringLine line;
    line.SetToken(52);
    line.AddField(text);
    return line;
  }

  FakePeer peer;
  TRdaClientSocket s;
  test::RecordingUI ui;
};

TEST_F(Exchange, KeepAliveIsACodedMessageInTheConfiguredForm) {
  s.SetEncryption(etRdaEncrypt);
  s.SetCompression(acRdaZLib);
  Open();
  test::Core(s).SetKeepAliveUnit(30);
  s.SetKeepAlivePing(1);
  ASSERT_TRUE(RunUntil([&] { return !peer.Frames().empty(); }));
  TRdaBodyTransforms server;
  server.SetEncryption(etRdaEncrypt);
  server.SetCompression(acRdaZLib);
  EXPECT_EQ(test::Decode(peer.Frames()[0], &server), (Msg{15, 0, {"-1", ""}}));
  s.SetKeepAlivePing(0);
}

TEST_F(Exchange, RequestWaitEndsWithTheReplyAndWritesInPieces) {
  Open();
  std::vector<std::pair<int64_t, int64_t>> progress;
  s.SetProgressBar(true);
  s.OnReadProgress = [&](int64_t expected, int64_t received) { progress.emplace_back(expected, received); };
  peer.onReceive = [&] {
    if (!peer.Frames().empty()) peer.Send(Frame({61, 0, {"the answer"}}));
  };
  TRdaStringLine line = Request(std::string(10000, 'q'));
  s.SendMessage(line, true);
  EXPECT_EQ(s.ReplyText(), "the answer");
  EXPECT_EQ(s.PendingReplies(), 0);
  // Written in three pieces of at most 4096 bytes, reported before, after each, and at
  // the end; then the reading of the reply.
  const int64_t total = 4 + 50 + 10000;
  ASSERT_GE(progress.size(), 5u);
  EXPECT_EQ(progress[0], std::make_pair(total, int64_t{0}));
  EXPECT_EQ(progress[1], std::make_pair(total, int64_t{4096}));
  EXPECT_EQ(progress[3], std::make_pair(total, total - 8192));
  EXPECT_EQ(progress[4], std::make_pair(int64_t{0}, int64_t{0}));
}

TEST_F(Exchange, ASecondWaitingRequestIsRefusedWhileOneWaits) {
  Open();
  std::string inner;
  peer.onReceive = [&] {
    if (peer.Frames().size() == 1) {
      peer.onReceive = nullptr;
      // Arrives during the first wait; its handler tries a second request.
      peer.Send(Frame({8, 0, {"chat"}}));
    }
  };
  s.OnChatMessage = [&](const std::string&) {
    TRdaStringLine second = Request("second");
    try {
      s.SendMessage(second, true);
    } catch (const ERdaConnectException& e) {
      inner = e.what();
    }
    TRdaStringLine note = Request("not waiting");
    s.SendMessage(note, false);  // messages that do not wait still go out
    peer.Send(Frame({4, 0, {}}));
  };
  TRdaStringLine first = Request("first");
  s.SendMessage(first, true);
  EXPECT_EQ(inner, "A request is already waiting for its reply.");
  ASSERT_TRUE(RunUntil([&] { return peer.Frames().size() == 2; }));
  EXPECT_EQ(test::Decode(peer.Frames()[1]), (Msg{52, 0, {"not waiting"}}));
}

TEST_F(Exchange, SilentServerEndsTheWaitAfterTheReplyLimit) {
  Open();
  s.SetReplyTimeout(500);
  s.OnDisconnect = [] {};
  TRdaStringLine line = Request("never answered");
  EXPECT_TRUE(RaisesWith<ERdaConnectException>(
      [&] { s.SendMessage(line, true); },
      "No reply from the server within 500 ms; the connection has been closed."));
  EXPECT_FALSE(s.Active());
  EXPECT_EQ(s.PendingReplies(), 0);
  // A reply that comes in pieces keeps the wait alive past the limit.
  peer.ClearReceived();
  s.OpenAndWait();
  ASSERT_TRUE(s.Active());
  ASSERT_TRUE(RunUntil([&] { return peer.Connections() == 2 && peer.Frames().size() == 1; }));
  peer.ClearReceived();
  const std::string reply = Frame({61, 0, {"slow"}});
  size_t sentBytes = 0;
  QTimer drip;
  QObject::connect(&drip, &QTimer::timeout, [&] {
    if (sentBytes < reply.size()) peer.Send(reply.substr(sentBytes++, 1));
  });
  peer.onReceive = [&] { drip.start(10); };  // about 60 bytes x 10 ms > 500 ms
  TRdaStringLine slow = Request("slow");
  s.SendMessage(slow, true);
  EXPECT_EQ(s.ReplyText(), "slow");
}

TEST_F(Exchange, LostConnectionEndsTheWaitAndIsReported) {
  Open();
  std::vector<std::string> errors;
  s.OnException = [&](const std::exception& e) { errors.push_back(e.what()); };
  peer.onReceive = [&] { peer.Close(); };
  TRdaStringLine line = Request("x");
  EXPECT_TRUE(RaisesWith<ERdaConnectException>([&] { s.SendMessage(line, true); },
                                                "Disconnected from server!"));
  EXPECT_FALSE(s.Active());
  EXPECT_EQ(s.AnchorStatusText(), "Disconnected from Server");
  EXPECT_TRUE(errors.empty());  // the waiting caller got it
  peer.onReceive = nullptr;

  // Idle, without an OnDisconnect handler: reported through OnException.
  s.OpenAndWait();
  ASSERT_TRUE(RunUntil([&] { return peer.Connected(); }));
  peer.Close();
  ASSERT_TRUE(RunUntil([&] { return !errors.empty(); }));
  EXPECT_EQ(errors, std::vector<std::string>{"Disconnected from server!"});
  // With a handler, nothing is raised.
  s.OnDisconnect = [] {};
  s.OpenAndWait();
  ASSERT_TRUE(RunUntil([&] { return peer.Connected(); }));
  peer.Close();
  ASSERT_TRUE(RunUntil([&] { return !s.Active(); }));
  EXPECT_EQ(errors.size(), 1u);
}

TEST_F(Exchange, StreamCutInsideAMessageIsError10054) {
  Open();
  peer.onReceive = [&] {
    peer.Send(Frame({61, 0, {"cut short"}}).substr(0, 20));
    peer.Close();
  };
  TRdaStringLine line = Request("x");
  try {
    s.SendMessage(line, true);
    FAIL() << "nothing raised";
  } catch (const ESocketError& e) {
    EXPECT_EQ(e.ErrorCode(), 10054);
    EXPECT_EQ(std::string(e.what()),
              "10054: Software caused connection abort.  The server terminated the connection. "
              "It is possible that the server has terminated. at 127.0.0.1 on Port:" +
                  std::to_string(peer.Port()));
  }
  EXPECT_FALSE(s.Active());
}

TEST_F(Exchange, RefusedPort) {
  const int port = FreePort();
  s.SetPort(port);
  EXPECT_TRUE(RaisesWith<ESocketError>(
      [&] { s.OpenAndWait(); },
      "10061: Connection refused.  Verify that a server is available. at 127.0.0.1 on Port:" +
          std::to_string(port)));
  EXPECT_FALSE(s.Active());
  EXPECT_EQ(s.LastSocketError(), 10061);
  EXPECT_EQ(s.ConnectAttempts(), 0);

  // Shown instead of raised when asked; handled by OnError, only recorded.
  s.SetUserInterface(&ui);
  s.SetSQLErrorHandling({seAsExceptions, seSocketErrorNoException});
  s.OpenAndWait();
  EXPECT_EQ(ui.messages.size(), 1u);
  std::vector<int> codes;
  s.OnError = [&](TErrorEvent kind, int code) {
    EXPECT_EQ(kind, eeConnect);
    codes.push_back(code);
  };
  s.OpenAndWait();
  EXPECT_EQ(codes, std::vector<int>{10061});
  EXPECT_EQ(s.State(), TRdaConnectionState::Inactive);
  EXPECT_EQ(ui.messages.size(), 1u);
}

TEST_F(Exchange, CodedParameterListWaitsForItsAnswer) {
  EXPECT_TRUE(RaisesWith<Exception>([&] { s.SendCodedParamList(1, nullptr, true); },
                                    "Not Connected to Server"));
  Open();
  TRdaParamList answer;
  answer.CreateParam(ftString, "R", ptInput).SetAsString("done");
  peer.onReceive = [&] {
    if (!peer.Frames().empty()) peer.Send(Frame({28, 0, {"9", answer.ToText(false), "1"}}));
  };
  TRdaParamList args;
  args.CreateParam(ftInteger, "N", ptInput).SetAsInteger(5);
  EXPECT_EQ(s.SendCodedParamList(9, &args, true), answer.ToText(true));
  EXPECT_EQ(s.ReplyText(), "");
  EXPECT_EQ(test::Decode(peer.Frames()[0]), (Msg{28, 0, {"9", args.ToText(false), "1"}}));
}

TEST_F(Exchange, BlockingExchangeRunsOneShortConnection) {
  s.SetClientType(ctBlocking);
  s.SetPort(peer.Port());
  s.OnDisconnect = [] {};
  TRdaStringLine line = Request("blocking");
  s.SendMessage(line, false);
  ASSERT_EQ(test::Core(s).Outbox().size(), 1u);
  // A peer that never answers: time-out, connection closed, queue kept.
  EXPECT_TRUE(RaisesWith<Exception>([&] { s.BlockingExchange(200); }, "Blocking Socket Time out"));
  EXPECT_FALSE(s.Active());
  EXPECT_EQ(test::Core(s).Outbox().size(), 1u);
  ASSERT_TRUE(RunUntil([&] { return peer.Received().size() >= 4; }));
  EXPECT_EQ(peer.Received().substr(0, 4), "\xFF\xFF\xFF\xFF");

  // A peer that answers and closes: the reply text comes back, the queue is empty.
  const std::string request = std::string("\xFF\xFF\xFF\xFF") + Frame({52, 0, {"blocking"}});
  {
    test::ThreadPeer answering(request.size(), Frame({61, 0, {"blocking reply"}}));
    s.SetPort(answering.Port());
    EXPECT_EQ(s.BlockingExchange(2000), "blocking reply");
    EXPECT_TRUE(test::Core(s).Outbox().empty());
    EXPECT_FALSE(s.Active());
    EXPECT_EQ(answering.Received(), request);
  }

  // Nothing listening: the queue is cleared and the open error raised.
  s.SendMessage(line, false);
  s.SetPort(FreePort());
  EXPECT_THROW(s.BlockingExchange(500), Exception);
  EXPECT_TRUE(test::Core(s).Outbox().empty());
}

}  // namespace
}  // namespace rda
