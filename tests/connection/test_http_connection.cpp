// The connection on the hand-built HTTP forms, against a loopback peer that plays the
// web server byte by byte: what goes out, when the next request may go, and how
// malformed or stalled responses end.
#include <gtest/gtest.h>

#include <QElapsedTimer>

#include "ConnectionTestSupport.h"
#include "base/Exception.h"
#include "tests/base/RaisesWith.h"

namespace rda {
namespace {

using test::FakePeer;
using test::Frame;
using test::Msg;
using test::RaisesWith;
using test::RunUntil;

std::string Response(const std::string& body, const std::string& extra = "") {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extra +
         "Content: \r\n\r\n" + body;
}

// A reply that ends the wait of a coded parameter list request (token 28, reply flag 1),
// and the reply text the request returns for it.
std::string ListReply(const std::string& text) {
  return Frame({28, 0, {"9", test::ListText({{"Answer", text}}), "1"}});
}
std::string Answer(const std::string& text) {
  return TRdaParamList::FromText(test::ListText({{"Answer", text}}))->ToText(true);
}

// Complete requests the peer has received, as (request text, body).
std::vector<std::string> Requests(const std::string& received) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (true) {
    const size_t head = received.find("\r\n\r\n", pos);
    if (head == std::string::npos) break;
    const size_t at = received.find("Content-Length: ", pos);
    const size_t length = std::stoul(received.substr(at + 16));
    if (head + 4 + length > received.size()) break;
    out.push_back(received.substr(pos, head + 4 + length - pos));
    pos = head + 4 + length;
  }
  return out;
}

class HandBuilt : public ::testing::Test {
 protected:
  void SetUp() override {
    s.SetUserInterface(&ui);
    s.SetupWebTunnel("127.0.0.1", "10.1.2.3", "isapi/Rdahttp.dll", static_cast<uint16_t>(peer.Port()), 9406);
    s.WebServer().SetWinInet(false);
    s.SetReplyTimeout(2000);
  }
  // Sends a coded parameter list that waits; returns its reply or "raised: <text>".
  std::string Ask(int32_t msgId = 9) {
    try {
      return s.SendCodedParamList(msgId, nullptr, true);
    } catch (const std::exception& e) {
      return std::string("raised: ") + e.what();
    }
  }

  FakePeer peer;
  TRdaClientSocket s;
  test::RecordingUI ui;
};

TEST_F(HandBuilt, RequestsGoOneAtATimeAndEachWaitEndsWithItsResponse) {
  std::string reply;
  peer.onReceive = [&] {
    const auto requests = Requests(peer.Received());
    if (requests.size() == 1 && reply.empty()) {
      reply = "sent";
      peer.Send(Response(""));  // the answer of the message that did not wait: none
    } else if (requests.size() == 2 && reply == "sent") {
      reply = "sent twice";
      peer.Send(Response(ListReply("answer")));
    }
  };
  s.SendCodedMessage(5, "no wait");  // opens the connection, then waits in the Outbox
  EXPECT_EQ(test::Core(s).Outbox().size(), 1u);
  EXPECT_EQ(Ask(), Answer("answer"));
  const auto requests = Requests(peer.Received());
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].substr(0, requests[0].find("\r\n\r\n") + 4),
            "POST /isapi/Rdahttp.dll/Rda?&10.1.2.3&9406 HTTP/1.0\r\n"
            "Accept: */*\r\nAccept-Language: en-us\r\n"
            "Content-Type: application/x-www-form-urlencoded\r\nUser-Agent: Mozilla/4.0 \r\n"
            "Connection: Keep-Alive\r\nContent-Length: " +
                std::to_string(Frame({15, 0, {"5", "no wait"}}).size()) + "\r\n\r\n");
  EXPECT_TRUE(test::Core(s).Outbox().empty());
  EXPECT_EQ(peer.Connections(), 1);
  EXPECT_TRUE(s.Active());
}

TEST_F(HandBuilt, AConnectionTheServerDoesNotKeepIsReopenedForTheNextRequest) {
  peer.onReceive = [&] {
    if (Requests(peer.Received()).size() == 1) {
      peer.Send(Response(ListReply("one"), "Connection: close\r\n"));
      peer.ClearReceived();
    }
  };
  EXPECT_EQ(Ask(), Answer("one"));
  EXPECT_EQ(Ask(), Answer("one"));
  EXPECT_EQ(peer.Connections(), 2);
  // Answers that run to the end of the connection (no length) end with it.
  peer.onReceive = [&] {
    if (Requests(peer.Received()).size() == 1) {
      peer.Send("HTTP/1.0 200 OK\r\n\r\n" + ListReply("until closed"));
      peer.Close();
      peer.ClearReceived();
    }
  };
  EXPECT_EQ(Ask(), Answer("until closed"));
  EXPECT_TRUE(ui.errors.empty());
}

TEST_F(HandBuilt, ARequestQueuedWhenTheServerHangsUpIsSentAfterReconnecting) {
  peer.onReceive = [&] {
    if (Requests(peer.Received()).empty()) return;
    peer.ClearReceived();
    if (peer.Connections() == 1) {
      peer.Close();  // no answer, no warning
    } else {
      peer.Send(Response(ListReply("after reconnecting")));
    }
  };
  s.SendCodedMessage(5, "first");  // in flight on the first connection
  QElapsedTimer clock;
  clock.start();
  // Queued behind it; the hang-up leaves it in the Outbox, and the reconnect timer
  // opens a new connection half a second later to send it.
  EXPECT_EQ(Ask(), Answer("after reconnecting"));
  EXPECT_GE(clock.elapsed(), 450);
  EXPECT_EQ(peer.Connections(), 2);
  EXPECT_TRUE(test::Core(s).Outbox().empty());
  EXPECT_TRUE(ui.errors.empty());
  // When the waiting request itself is on the wire, its answer is lost with the
  // connection, and nothing is sent again.
  peer.onReceive = [&] {
    if (Requests(peer.Received()).empty()) return;
    peer.ClearReceived();
    peer.Close();
  };
  EXPECT_EQ(Ask(), "raised: Disconnected from server!");
  EXPECT_TRUE(test::Core(s).Outbox().empty());
}

TEST_F(HandBuilt, MalformedResponsesEndTheRequestWithAClearError) {
  struct Case {
    const char* name;
    std::string bytes;
    bool close;
    std::string error;
  };
  const Case cases[] = {
      {"lying length", "HTTP/1.1 200 OK\r\nContent-Length: 500\r\n\r\n" + ListReply("x"), true,
       "raised: The connection was closed after " + std::to_string(ListReply("x").size()) +
           " of the 500 bytes of an HTTP response body"},
      {"no header end", "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n", true,
       "raised: The connection was closed inside an HTTP response header"},
      {"huge header", "HTTP/1.1 200 OK\r\nX-Filler: " + std::string(40000, 'f'), false,
       "raised: The HTTP response header is larger than 16384 bytes"},
      {"no HTTP at all", ListReply("raw frame"), false,
       "raised: The answer of the web server is not an HTTP response"},
      {"cut frame", Response(ListReply("x").substr(0, 10)), false,
       "raised: The HTTP response ended inside a message"},
      {"error page", "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 11\r\n\r\nError 10061", false,
       "raised: 10061: Connection refused.  Verify that a server is available."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    peer.onReceive = [&] {
      if (Requests(peer.Received()).size() != 1) return;
      peer.ClearReceived();
      peer.Send(c.bytes);
      if (c.close) peer.Close();
    };
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(Ask(), c.error);
    EXPECT_LT(clock.elapsed(), 1500);  // not by the reply limit
    // The connection can be used again.
    peer.onReceive = [&] {
      if (Requests(peer.Received()).size() != 1) return;
      peer.ClearReceived();
      peer.Send(Response(ListReply("fine")));
    };
    EXPECT_EQ(Ask(), Answer("fine"));
  }
}

TEST_F(HandBuilt, ABodyThatNeverCompletesIsBounded) {
  s.SetReplyTimeout(300);
  s.OnDisconnect = [] {};
  peer.onReceive = [&] {
    if (Requests(peer.Received()).size() != 1) return;
    peer.ClearReceived();
    peer.Send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + ListReply("first part"));
  };
  EXPECT_EQ(Ask(), "raised: No reply from the server within 300 ms; the connection has been closed.");
  EXPECT_FALSE(s.Active());
  // Nobody waits: the stalled response still ends, and says so.
  std::vector<std::string> errors;
  s.OnException = [&](const std::exception& e) { errors.push_back(e.what()); };
  s.SendCodedMessage(5, "no wait");
  ASSERT_TRUE(RunUntil([&] { return !errors.empty(); }, 3000));
  EXPECT_EQ(errors[0], "No reply from the server within 300 ms; the connection has been closed.");
  EXPECT_FALSE(s.Active());
}

// The platform HTTP client (form 1) against a loopback peer that plays the web server.
class HttpClient : public ::testing::Test {
 protected:
  void SetUp() override {
    s.SetUserInterface(&ui);
    s.SetupWebTunnel("127.0.0.1", "10.1.2.3", "isapi/RdaHttp.dll", static_cast<uint16_t>(peer.Port()), 9406);
  }

  FakePeer peer;
  TRdaClientSocket s;
  test::RecordingUI ui;
};

// A body that stops arriving ends by the reply limit, a response cut short is an
// error; neither hangs.
TEST_F(HttpClient, StalledAndCutResponsesEnd) {
  s.SetReplyTimeout(300);
  bool cut = false;
  peer.onReceive = [&] {
    if (peer.Received().find("\r\n\r\n") == std::string::npos) return;
    peer.ClearReceived();
    peer.Send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + ListReply("part"));
    if (cut) peer.Close();
  };
  EXPECT_TRUE(RaisesWith<ERdaConnectException>(
      [&] { s.SendCodedParamList(9, nullptr, true); },
      "No reply from the server within 300 ms; the connection has been closed."));
  cut = true;
  try {
    s.SendCodedParamList(9, nullptr, true);
    ADD_FAILURE() << "nothing raised";
  } catch (const Exception& e) {
    EXPECT_NE(std::string(e.what()).find("closed"), std::string::npos) << e.what();
  }
  EXPECT_TRUE(test::Core(s).Outbox().empty());
}

// The platform HTTP client's request is the system's: the request line with the
// object path, the agent, the accepted type, and what HTTP/1.1 needs (Host and
// Content-Length); no content type or other defaults of the HTTP library. The next
// request goes over the same connection.
TEST_F(HttpClient, RequestsCarryOnlyTheSystemsHeadersAndKeepTheConnection) {
  s.WebServer().SetTimeout(20);
  std::vector<std::string> heads;
  peer.onReceive = [&] {
    const auto requests = Requests(peer.Received());
    if (requests.empty()) return;
    heads.push_back(requests[0].substr(0, requests[0].find("\r\n\r\n")));
    peer.ClearReceived();
    peer.Send(Response(ListReply("answer")));
  };
  EXPECT_EQ(s.SendCodedParamList(9, nullptr, true), Answer("answer"));
  EXPECT_EQ(s.SendCodedParamList(9, nullptr, true), Answer("answer"));
  ASSERT_EQ(heads.size(), 2u);
  EXPECT_EQ(heads[0], heads[1]);
  std::vector<std::string> lines;
  for (size_t pos = 0; pos <= heads[0].size();) {
    const size_t end = std::min(heads[0].find("\r\n", pos), heads[0].size());
    lines.push_back(heads[0].substr(pos, end - pos));
    pos = end + 2;
  }
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "POST /isapi/RdaHttp.dll/RDA?10.1.2.3&9406&20 HTTP/1.1");
  std::sort(lines.begin() + 1, lines.end());
  const std::string body = Frame({28, 0, {"9", "", "1"}});
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()),
            (std::vector<std::string>{"Accept: application/octet-stream",
                                      "Content-Length: " + std::to_string(body.size()),
                                      "Host: 127.0.0.1:" + std::to_string(peer.Port()),
                                      "User-Agent: Rda 2"}));
  EXPECT_EQ(peer.Connections(), 1);
}

// A response that keeps arriving, slower than the reply limit in all but that it never
// goes quiet for that long, is read to its end, also when nobody follows the progress.
TEST_F(HttpClient, AResponseThatKeepsArrivingOutlastsTheReplyLimit) {
  s.SetReplyTimeout(500);
  const std::string body = ListReply("slow");
  size_t sent = 0;
  QTimer drip;
  QObject::connect(&drip, &QTimer::timeout, [&] {
    if (sent < body.size()) peer.Send(body.substr(sent++, 1));
  });
  peer.onReceive = [&] {
    if (Requests(peer.Received()).empty()) return;
    peer.ClearReceived();
    peer.Send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n");
    drip.start(12);  // well over a second for the whole body
  };
  QElapsedTimer clock;
  clock.start();
  EXPECT_EQ(s.SendCodedParamList(9, nullptr, true), Answer("slow"));
  EXPECT_GT(clock.elapsed(), 500);
}

// A redirect is followed with the same request (307 keeps the POST and its body), and
// reported as its own step.
TEST_F(HttpClient, RedirectsAreFollowedAndReported) {
  std::vector<uint32_t> steps;
  s.OnWinInetStatus = [&](uint32_t status) { steps.push_back(status); };
  std::vector<std::string> requestLines;
  peer.onReceive = [&] {
    const auto requests = Requests(peer.Received());
    if (requests.empty()) return;
    requestLines.push_back(requests[0].substr(0, requests[0].find("\r\n")));
    const bool firstBody = requests[0].find("\r\n\r\n") + 4 < requests[0].size();
    peer.ClearReceived();
    if (requestLines.size() == 1) {
      peer.Send("HTTP/1.1 307 Temporary Redirect\r\nLocation: /moved/RDA?10.1.2.3&9406&5\r\n"
                "Content-Length: 0\r\n\r\n");
    } else {
      peer.Send(firstBody ? Response(ListReply("moved")) : "HTTP/1.1 400 Bad Request\r\n\r\n");
    }
  };
  EXPECT_EQ(s.SendCodedParamList(9, nullptr, true), Answer("moved"));
  EXPECT_EQ(requestLines, (std::vector<std::string>{"POST /isapi/RdaHttp.dll/RDA?10.1.2.3&9406&5 HTTP/1.1",
                                                    "POST /moved/RDA?10.1.2.3&9406&5 HTTP/1.1"}));
  EXPECT_EQ(steps, (std::vector<uint32_t>{wsSendingRequest, wsConnecting, wsRequestSent, wsRedirect,
                                          wsRequestSent, wsReceivingResponse, wsResponseReceived,
                                          wsRequestComplete}));
}

// A complete response that holds no reply for the waiting request (an endpoint that
// reached no server in time answers 200 with nothing; another may send only what was
// pushed for others) fails the request instead of reading as an empty answer, on both
// forms; the session is given up, and the reply that comes late is nobody's.
class ResponseWithoutReply : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    s.SetUserInterface(&ui);
    s.SetupWebTunnel("127.0.0.1", "127.0.0.1", "isapi/RdaHttp.dll", static_cast<uint16_t>(peer.Port()), 9406);
    s.WebServer().SetWinInet(GetParam());
    s.OnChatMessage = [this](const std::string& text) { chats.push_back(text); };
  }
  // Answers the first complete request with `first`, then at once, on the same
  // connection, sends a response nobody asked for with the late reply; every later
  // request gets its own reply.
  void AnswerFirstWith(const std::string& first) {
    answered_ = 0;
    peer.onReceive = [this, first] {
      if (Requests(peer.Received()).empty()) return;
      peer.ClearReceived();
      if (answered_++ == 0) {
        peer.Send(Response(first) + Response(ListReply("late")));
      } else {
        peer.Send(Response(ListReply("own")));
      }
    };
  }
  std::string Ask() {
    try {
      return s.SendCodedParamList(9, nullptr, true);
    } catch (const ERdaConnectException& e) {
      return std::string("raised: ") + e.what();
    }
  }

  FakePeer peer;
  TRdaClientSocket s;
  test::RecordingUI ui;
  std::vector<std::string> chats;

 private:
  int answered_ = 0;
};

TEST_P(ResponseWithoutReply, FailsTheRequestAndTheNextOneGetsItsOwnReply) {
  const std::string raised =
      "raised: The server's HTTP response held no reply to the request; the connection has been closed.";
  const struct {
    const char* name;
    std::string body;
  } cases[] = {
      {"empty body", ""},
      {"frames for others only",
       Frame({5, 4711, {"-1", "x\x02\x04", "0"}}) + Frame({8, 0, {"pushed chat"}})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    s.SetSessionId(77);
    AnswerFirstWith(c.body);
    EXPECT_EQ(Ask(), raised);
    EXPECT_EQ(s.SessionId(), 0);
    EXPECT_EQ(Ask(), Answer("own"));  // not the late one
  }
  EXPECT_EQ(chats, std::vector<std::string>{"pushed chat"});  // what came was still handled
  EXPECT_TRUE(ui.errors.empty());
}

INSTANTIATE_TEST_SUITE_P(Forms, ResponseWithoutReply, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& p) {
                           return std::string(p.param ? "PlatformClient" : "HandBuilt");
                         });

TEST(WebServerSettings, SwitchingTransportsAndAssign) {
  TRdaClientSocket s;
  s.SetAddress("192.168.1.7");
  s.SetPort(9406);
  TRdaWebServer& w = s.WebServer();
  w.SetWebServerAddress("web.example");
  w.SetWebServerPort(8080);
  w.SetUseWebServer(true);
  EXPECT_EQ(s.TransportMode(), 2);
  EXPECT_FALSE(s.DirectTcp());
  EXPECT_EQ(s.ProxiedAddress(), "192.168.1.7");  // no RdaServerAddress: the Address
  EXPECT_EQ(s.ProxiedPort(), 9000);
  EXPECT_EQ(s.Host(), "web.example");
  EXPECT_EQ(s.Address(), "");
  EXPECT_EQ(s.Port(), 8080);

  w.SetRdaServerAddress("db.example");
  w.SetRdaServerPort(9406);
  w.SetUseWebServer(false);
  EXPECT_EQ(s.TransportMode(), 0);
  EXPECT_TRUE(s.DirectTcp());
  EXPECT_EQ(s.Host(), "db.example");  // a name goes to Host
  EXPECT_EQ(s.Address(), "");
  EXPECT_EQ(s.Port(), 9406);
  EXPECT_EQ(s.ProxiedAddress(), "");
  EXPECT_EQ(s.ProxiedPort(), 0);

  TRdaWebServer settings;
  settings.SetAddCookie(true);
  settings.SetWinInet(false);
  settings.SetUseSSL(true);
  settings.SetSSLOptions({soIgnoreInvalidCertName});
  settings.SetRdaServerAddress("10.0.0.9");
  settings.SetRdaServerPort(9399);
  settings.SetWebServerAddress("10.0.0.1");
  settings.SetWebServerPort(80);
  settings.SetRdaHttpDll("isapi/RdaHttp.dll");
  settings.SetTimeout(20);
  settings.SetProxyUserName("p");
  settings.SetAuthenticate(true);
  settings.SetUseWebServer(true);
  s.SetWebServer(settings);
  EXPECT_EQ(w.Owner(), &s);
  EXPECT_TRUE(w.AddCookie() && !w.WinInet() && w.UseSSL() && w.Authenticate());
  EXPECT_TRUE(w.SSLOptions() == TRdaSSLOptions{soIgnoreInvalidCertName});
  EXPECT_EQ(w.RdaHttpDll(), "isapi/RdaHttp.dll");
  EXPECT_EQ(w.Timeout(), 20);
  EXPECT_EQ(w.ProxyUserName(), "p");
  EXPECT_EQ(s.TransportMode(), 2);  // the copied UseWebServer switched the connection
  EXPECT_EQ(s.ProxiedAddress(), "10.0.0.9");
  EXPECT_EQ(s.ProxiedPort(), 9399);
  EXPECT_EQ(s.Host(), "10.0.0.1");
  // A clone carries the settings and the transport.
  auto clone = s.CloneConnection();
  EXPECT_EQ(clone->TransportMode(), 2);
  EXPECT_EQ(clone->WebServer().RdaHttpDll(), "isapi/RdaHttp.dll");
  EXPECT_EQ(clone->ProxiedPort(), 9399);
}

}  // namespace
}  // namespace rda
