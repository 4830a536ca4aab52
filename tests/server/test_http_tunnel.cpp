// The HTTP tunnel of rdaserver as a process, reached directly, behind a real
// nginx, through a real tinyproxy and by curl as a third-party client.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "messaging/RdaParamList.h"
#include "tests/server/TunnelClient.h"
#include "tests/support/RawClient.h"
#include "tests/support/ServerProcess.h"
#include "tests/support/WebPeers.h"

namespace rda {
namespace {

using test::FetchMessage;
using test::HandBuiltPost;
using test::RawHttp;
using test::RunCurl;
using test::SelectMessage;
using test::ServerProcess;
using test::TunnelClient;
using Millis = std::chrono::milliseconds;

const std::string kDemoScript = std::string(RDA_TEST_DATA_DIR) + "/../../server/demo.sql";
const std::string kCompanyQuery = "Select \"Comp_Name\", \"Version Number\" From SY_MASTR";
const std::string kCompanyRows = "Demo Company Ltd\x02" "6.251\x02\x04NULL\x04";
const std::string kHostsQuery = "Select XCompanyCode From VNXHOSTS Order By 1";
const std::string kThreeRowsQuery =
    "Select XCompanyCode From VNXHOSTS Union All Select 'ZZZ' Order By 1";

std::string Form1(int dataPort, int timeout = 20) {
  return "/isapi/RdaHttp.dll/RDA?127.0.0.1&" + std::to_string(dataPort) + "&" +
         std::to_string(timeout);
}
std::string Form2(int dataPort) { return "/isapi/RdaHttp.dll/Rda?&127.0.0.1&" + std::to_string(dataPort); }

// The rows text of a select's answer: field descriptions, then the packet.
std::string RowsOf(const std::vector<TRdaStringLine>& answer, int* indicator = nullptr) {
  if (answer.size() != 2 || answer[0].Token() != 1 || answer[1].Token() != 5)
    return "unexpected answer of " + std::to_string(answer.size()) + " messages";
  TRdaStringLine packet = answer[1];
  const int i = packet.NextFieldInteger();
  if (indicator) *indicator = i;
  return packet.NextFieldText();
}

// The error token and first text of a token 64 message.
std::pair<int, std::string> AsyncError(TRdaStringLine line) {
  EXPECT_EQ(line.Token(), tkAsyncException);
  auto list = TRdaParamList::FromText(line.NextFieldText());
  const int token = line.NextFieldInteger();
  return {token, list->Count() ? list->Items(0).AsString() : ""};
}

SessionSettings Plus4() {
  SessionSettings s;
  s.encryption = etRdaEncrypt;
  return s;
}

TEST(HttpTunnel, CurlGetsWellFormedFramesDirectlyAndThroughNginx) {
  ServerProcess server({"--port", "0", "--http-port", "0", "--init", kDemoScript, "--encryption",
                        "rda", "--quiet"});
  test::NginxProcess web(server.HttpPort());
  test::TempDir dir;
  TunnelClient client(Plus4(), false);
  const std::string select = dir.Write("select.bin", client.Request(SelectMessage(1, kCompanyQuery)));
  // Over 1 KiB, so that curl asks for 100 Continue first.
  const std::string bigSelect = dir.Write(
      "big.bin", client.Request(SelectMessage(2, kCompanyQuery + " -- " + std::string(3000, 'x'))));
  const std::string direct = "http://127.0.0.1:" + std::to_string(server.HttpPort());
  const int port = server.DataPort();

  struct Case {
    std::string url;
    std::string file;
    bool withHeaders;  // the whole response goes to the client's message stack
  };
  const std::vector<Case> cases = {
      {direct + Form1(port), select, true},
      {direct + Form2(port), bigSelect, false},
      {web.Url("/isapi/Rdahttp.dll/RDA?127.0.0.1&" + std::to_string(port) + "&20"), select, false},
      {web.Url(Form2(port)), bigSelect, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    const auto r = RunCurl({"-s", "--fail", c.withHeaders ? "-i" : "-s", "--data-binary",
                            "@" + c.file, c.url});
    ASSERT_EQ(r.exitCode, 0) << r.err << web.ErrorLog();
    EXPECT_EQ(RowsOf(client.Messages(r.out, 2)), kCompanyRows);
  }
  // Outside the extension's folder the web server answers by itself.
  const auto notFound = RunCurl({"-s", "-o", "/dev/null", "-w", "%{http_code}", "--data-binary",
                                 "@" + select, web.Url("/scripts/Rdahttp.dll/RDA?127.0.0.1&1&1")});
  EXPECT_EQ(notFound.out, "404");
}

TEST(HttpTunnel, StatelessSessionsKeepTheServerStateOnAKeptAliveConnection) {
  SessionSettings des;
  des.encryption = etDESEncrypt;
  des.key = "tunnel!";
  ServerProcess server({"--port", "0", "--http-port", "0", "--init", kDemoScript, "--encryption",
                        "des", "--key", "tunnel!", "--user", "VORNA", "--password", "MARBLEDO",
                        "--control-port", "0", "--quiet"});
  const std::string target = Form2(server.DataPort());
  TunnelClient client(des);
  client.user = "VORNA";
  client.password = "MARBLEDO";

  // Log-in header: one row now, a cursor for the rest.
  RawHttp http(server.HttpPort());
  http.Send(HandBuiltPost(target, client.Request(SelectMessage(4, kThreeRowsQuery, 1))));
  test::HttpReply reply = http.Read();
  ASSERT_EQ(reply.status, 200) << reply.Raw();
  EXPECT_NE(reply.head.find("\r\nConnection: keep-alive\r\n"), std::string::npos);
  EXPECT_NE(reply.head.find("\r\nContent:\r\n\r\n"), std::string::npos);
  int cursor = 0;
  EXPECT_EQ(RowsOf(client.Messages(reply.body, 2), &cursor), "ACME\x02\x04NULL\x04");
  EXPECT_GT(cursor, 0);
  const int32_t session = client.sessionId;
  EXPECT_NE(session, 0);
  const std::string clients = server.Control("clients");
  EXPECT_NE(clients.find("user=\"VORNA\" app=\"RdaHttp\" version=\"\" login=verified"),
            std::string::npos) << clients;

  // The session id form, on the same connection: the cursor lives on.
  http.Send(HandBuiltPost(target, client.Request(FetchMessage(4, cursor, 1))));
  reply = http.Read();
  ASSERT_EQ(reply.status, 200) << reply.Raw();
  const auto fetched = client.Messages(reply.body, 2);
  ASSERT_EQ(fetched.size(), 1u);
  TRdaStringLine packet = fetched[0];
  EXPECT_EQ(packet.NextFieldInteger(), -1);  // more may follow
  EXPECT_EQ(packet.NextFieldText(), "DEMO\x02\x04NULL\x04");
  EXPECT_EQ(client.sessionId, session);

  // A refused log-in and an id nobody has are session errors, with id 0.
  TunnelClient intruder(des);
  intruder.user = "VORNA";
  intruder.password = "guess";
  TunnelClient guesser(des);
  guesser.sessionId = session ^ 0x5a5a5a;
  for (TunnelClient* c : {&intruder, &guesser}) {
    RawHttp other(server.HttpPort());
    other.Send(HandBuiltPost(target, c->Request(FetchMessage(4, cursor, 1))));
    reply = other.Read();
    ASSERT_EQ(reply.status, 200) << reply.Raw();
    const auto answer = c->Messages(reply.body, 2);
    ASSERT_EQ(answer.size(), 1u);
    EXPECT_EQ(answer[0].MsgId(), 4);
    EXPECT_EQ(AsyncError(answer[0]).first, kSessionErrorToken);
    EXPECT_EQ(c->sessionId, 0);
  }
  // The session was not disturbed by either.
  http.Send(HandBuiltPost(target, client.Request(FetchMessage(4, cursor, 1))));
  reply = http.Read();
  packet = client.Messages(reply.body, 2).at(0);
  EXPECT_EQ(packet.NextFieldInteger(), -2);
  EXPECT_EQ(packet.NextFieldText(), "ZZZ\x02\x04NULL\x04");
}

TEST(HttpTunnel, IdleSessionsEndWithTheirServerConnection) {
  ServerProcess server({"--port", "0", "--http-port", "0", "--http-session-idle", "1",
                        "--control-port", "0", "--quiet"});
  TunnelClient client(SessionSettings{});
  auto post = [&] {
    RawHttp http(server.HttpPort());
    http.Send(HandBuiltPost(Form2(server.DataPort()), client.Request(SelectMessage(1, "select 1"))));
    return client.Messages(http.Read().body, 2);
  };
  EXPECT_EQ(RowsOf(post()), "1\x02\x04NULL\x04");
  EXPECT_NE(client.sessionId, 0);
  EXPECT_NE(server.Control("clients").find("user=\"ann\""), std::string::npos);
  // The session idles out (after a second) and the tunnel's connection goes with it.
  EXPECT_EQ(server.ControlUntil("clients", "ok"), "ok");
  const auto answer = post();
  ASSERT_EQ(answer.size(), 1u);
  EXPECT_EQ(AsyncError(answer[0]).first, kSessionErrorToken);
  EXPECT_EQ(client.sessionId, 0);
  EXPECT_EQ(RowsOf(post()), "1\x02\x04NULL\x04");  // a new log-in opens a new session
}

// A listening socket that nobody is expected to connect to.
struct Listener {
  Listener() {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    listen(fd, 4);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
  }
  ~Listener() { close(fd); }
  bool Connected() const {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 300) > 0;
  }
  int fd;
  int port;
};

TEST(HttpTunnel, RequestsForOtherServersAreRefusedAndNothingIsForwarded) {
  ServerProcess other({"--port", "0", "--control-port", "0", "--quiet"});
  ServerProcess server({"--port", "0", "--http-port", "0", "--quiet"});
  Listener listener;
  TunnelClient client(SessionSettings{});
  const std::string request = client.Request(SelectMessage(1, "select 1"));
  const std::string otherPort = std::to_string(other.DataPort());
  for (const std::string& target :
       {"/isapi/RdaHttp.dll/RDA?127.0.0.1&" + otherPort + "&5",
        "/isapi/RdaHttp.dll/Rda?&localhost&" + std::to_string(listener.port),
        "/isapi/RdaHttp.dll/Rda?&127.0.0.2&" + std::to_string(server.DataPort())}) {
    RawHttp http(server.HttpPort());
    http.Send(HandBuiltPost(target, request));
    const test::HttpReply reply = http.Read();
    EXPECT_EQ(reply.status, 403) << target;
    EXPECT_EQ(reply.body.rfind("Error 403 Forbidden: ", 0), 0u) << reply.body;
  }
  EXPECT_FALSE(listener.Connected());
  EXPECT_EQ(other.Control("clients"), "ok");

  // Allowed by name, the same request reaches the other server, and the
  // server itself is no longer allowed.
  ServerProcess gateway({"--port", "0", "--http-port", "0", "--http-allow",
                         "127.0.0.1:" + otherPort, "--quiet"});
  RawHttp http(gateway.HttpPort());
  http.Send(HandBuiltPost("/isapi/RdaHttp.dll/RDA?127.0.0.1&" + otherPort + "&5", request));
  test::HttpReply reply = http.Read();
  EXPECT_EQ(RowsOf(client.Messages(reply.body, 2)), "1\x02\x04NULL\x04");
  EXPECT_NE(other.Control("clients").find("user=\"ann\""), std::string::npos);
  http.Send(HandBuiltPost(Form2(gateway.DataPort()), request));
  EXPECT_EQ(http.Read().status, 403);
}

TEST(HttpTunnel, ProxiedPostsToTheDataPortAreAnsweredInHttp) {
  ServerProcess server({"--port", "0", "--init", kDemoScript, "--quiet"});
  test::TinyproxyProcess proxy;
  test::TempDir dir;
  const std::string url = "http://127.0.0.1:" + std::to_string(server.DataPort()) + "/";
  auto viaProxy = [&](TunnelClient& c, const std::string& message) {
    const std::string file = dir.Write("request.bin", c.Request(message));
    const auto r = RunCurl({"-s", "--fail", "-x", proxy.Url(), "--data-binary", "@" + file, url});
    EXPECT_EQ(r.exitCode, 0) << r.err << proxy.Log();
    return c.Messages(r.out, 1);
  };
  TunnelClient plain(SessionSettings{}, false);
  EXPECT_EQ(RowsOf(viaProxy(plain, SelectMessage(1, kCompanyQuery))), kCompanyRows);
  // Without a proxy the client's stack gets the whole response and cuts it
  // after the "Content:" line.
  const std::string file = dir.Write("direct.bin", plain.Request(SelectMessage(1, kCompanyQuery)));
  const auto unproxied = RunCurl({"-s", "-i", "--fail", "--data-binary", "@" + file, url});
  ASSERT_EQ(unproxied.exitCode, 0) << unproxied.err;
  EXPECT_EQ(RowsOf(plain.Messages(unproxied.out, 1)), kCompanyRows);

  // Sessions carry the server's state across the proxy's connections.
  TunnelClient stateless(SessionSettings{});
  int cursor = 0;
  EXPECT_EQ(RowsOf(viaProxy(stateless, SelectMessage(2, kHostsQuery, 1)), &cursor),
            "ACME\x02\x04NULL\x04");
  EXPECT_NE(stateless.sessionId, 0);
  const auto fetched = viaProxy(stateless, FetchMessage(2, cursor, 5));
  ASSERT_EQ(fetched.size(), 1u);
  TRdaStringLine packet = fetched[0];
  EXPECT_EQ(packet.NextFieldInteger(), -2);
  EXPECT_EQ(packet.NextFieldText(), "DEMO\x02\x04NULL\x04");

  // The data port still speaks frames to everyone else.
  test::RawClient direct(server.DataPort());
  TRdaStringLine select = test::Line(tkSelect, 3, {kCompanyQuery, "-1", "0", "\x05"});
  direct.Send(select);
  EXPECT_EQ(direct.ReadLine().Token(), tkFieldDescriptions);
}

TEST(HttpTunnel, MalformedRequestsEndQuicklyAndOtherSessionsGoOn) {
  ServerProcess server({"--port", "0", "--http-port", "0", "--init", kDemoScript,
                        "--handshake-timeout", "1", "--quiet"});
  const std::string form1 = Form1(server.DataPort(), 5);
  TunnelClient client(SessionSettings{});
  RawHttp session(server.HttpPort());
  session.Send(HandBuiltPost(form1, client.Request(SelectMessage(8, kHostsQuery, 1))));
  int cursor = 0;
  ASSERT_EQ(RowsOf(client.Messages(session.Read().body, 2), &cursor), "ACME\x02\x04NULL\x04");

  const std::string frame = client.Request(SelectMessage(9, "select 1"));
  const std::string head = "POST " + form1 + " HTTP/1.1\r\n";
  struct Case {
    std::string bytes;
    int status;
  };
  const std::vector<Case> cases = {
      {head + "Content-Length: 10\r\n", 408},                              // no end of the head
      {head + "X-Big: " + std::string(20000, 'b') + "\r\n\r\n", 431},      // a huge head
      {head + "Content-Length: 1000\r\n\r\n" + frame, 408},                // the body never completes
      {head + "Content-Length: 4\r\n\r\n" + frame, 400},                   // a short length
      {head + "Content-Length: 5\r\n\r\n" + std::string("\x02\0\0\0\x03", 5), 400},  // not a frame
      {"POST /isapi/RdaHttp.dll/RDA?127.0.0.1 HTTP/1.1\r\nContent-Length: 0\r\n\r\n", 400},
      {"POST /isapi/Other.dll/RDA?127.0.0.1&1&1 HTTP/1.1\r\nContent-Length: 0\r\n\r\n", 404},
      {"GET " + form1 + " HTTP/1.1\r\n\r\n", 405},
      {head + "Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 411},
      {std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03\r\n\r\n", 15), 400},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes.substr(0, 80));
    RawHttp bad(server.HttpPort());
    bad.Send(c.bytes);
    const test::HttpReply reply = bad.Read(Millis(5000));
    EXPECT_EQ(reply.status, c.status) << reply.body;
    EXPECT_EQ(reply.body.rfind("Error ", 0), 0u) << reply.body;
    // Errors that leave the stream unreadable end the connection.
    if (c.status != 404 && c.status != 400) {
      EXPECT_TRUE(bad.ClosedWithin(Millis(3000)));
    }
  }

  session.Send(HandBuiltPost(form1, client.Request(FetchMessage(8, cursor, 5))));
  const auto fetched = client.Messages(session.Read().body, 2);
  ASSERT_EQ(fetched.size(), 1u);
  TRdaStringLine packet = fetched[0];
  EXPECT_EQ(packet.NextFieldInteger(), -2);
  EXPECT_EQ(packet.NextFieldText(), "DEMO\x02\x04NULL\x04");
}

}  // namespace
}  // namespace rda
