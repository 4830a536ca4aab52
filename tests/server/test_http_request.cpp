// The tunnel's I/O-free parts: the HTTP request parser, the target forms,
// the allow list and the session header codec.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/ByteIO.h"
#include "base/Exception.h"
#include "messaging/RdaBodyTransforms.h"
#include "messaging/RdaStringLine.h"
#include "server/HttpRequest.h"
#include "server/HttpTunnel.h"
#include "server/TunnelCodec.h"
#include "tests/server/TunnelClient.h"

namespace rda {
namespace {

using State = HttpRequestParser::State;
using test::Line;
using test::TunnelClient;

std::string Form2(const std::string& body) {
  return test::HandBuiltPost("/isapi/RdaHttp.dll/Rda?&127.0.0.1&9406", body);
}

std::vector<HttpRequest> Drain(HttpRequestParser& p) {
  std::vector<HttpRequest> out;
  while (p.GetState() == State::kComplete) out.push_back(p.Take());
  return out;
}

TEST(HttpRequestParser, ReadsPipelinedRequestsSplitAtEveryOffset) {
  const std::string body1 = test::FrameOf(std::string("\0\r\n\r\nbinary\xff", 12));
  const std::string second = "POST /x HTTP/1.1\nContent-Length: 3\nConnection: close\n\nabc";
  const std::string stream = "\r\n" + Form2(body1) + second;
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    HttpRequestParser p(4096, 1024);
    p.Append(stream.substr(0, cut));
    std::vector<HttpRequest> got = Drain(p);
    p.Append(stream.substr(cut));
    for (auto& r : Drain(p)) got.push_back(std::move(r));
    ASSERT_EQ(got.size(), 2u) << "cut at " << cut;
    EXPECT_EQ(got[0].target, "/isapi/RdaHttp.dll/Rda?&127.0.0.1&9406");
    EXPECT_EQ(got[0].minorVersion, 0);
    EXPECT_TRUE(got[0].keepAlive);  // HTTP/1.0 with Connection: Keep-Alive
    EXPECT_EQ(got[0].body, body1);
    EXPECT_EQ(got[0].Header("user-agent"), "Mozilla/4.0");
    EXPECT_EQ(got[1].minorVersion, 1);
    EXPECT_FALSE(got[1].keepAlive);
    EXPECT_EQ(got[1].body, "abc");
  }
  // A byte at a time, and the fixed line a proxied client sends without an address.
  HttpRequestParser p(4096, 1024);
  for (char c : std::string("POST RDASHTTP / HTTP/1.0\r\nContent-Length: 1\r\n\r\nZ"))
    p.Append(std::string_view(&c, 1));
  const auto got = Drain(p);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].target, "RDASHTTP /");
  EXPECT_FALSE(got[0].keepAlive);
}

TEST(HttpRequestParser, RefusesMalformedRequestsWithTheirStatus) {
  struct Case {
    std::string bytes;
    int status;
  };
  const std::string big(5000, 'a');
  const std::vector<Case> cases = {
      {"GET /isapi HTTP/1.1\r\nContent-Length: 0\r\n\r\n", 405},
      {"POST / HTTP/1.1\r\n\r\n", 411},
      {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", 411},
      {"POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n", 400},
      {"POST / HTTP/1.1\r\nContent-Length: 1x\r\n\r\n", 400},
      {"POST / HTTP/1.1\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\n", 400},
      {"POST / HTTP/1.1\r\nContent-Length: 1025\r\n\r\n", 413},
      {"POST / HTTP/1.1\r\nContent-Length: 99999999999999999999999\r\n\r\n", 400},
      {"POST / HTTP/1.1\r\nX-Big: " + big + "\r\n\r\n", 431},
      {"POST / HTTP/1.1\r\nX-Big: " + big, 431},  // no end of the head in sight
      {"POST / HTTP/2.0\r\n\r\n", 505},
      {"POST /\r\n\r\n", 400},
      {"\x16\x03\x01 hello\r\n\r\n", 400},
      {"POST / HTTP/1.1\r\nno colon here\r\n\r\n", 400},
      {"POST / HTTP/1.1\r\nBad Name: x\r\n\r\n", 400},
      {"POST / HTTP/1.1\r\n folded: x\r\n\r\n", 400},
      {"POST / HTTP/1.1\r\nExpect: magic\r\nContent-Length: 1\r\n\r\n", 417},
      {"\n\n\n\n\n\n", 400},
  };
  for (const auto& c : cases) {
    HttpRequestParser p(4096, 1024);
    EXPECT_EQ(p.Append(c.bytes), State::kFailed) << c.bytes.substr(0, 60);
    EXPECT_EQ(p.Error().status, c.status) << c.bytes.substr(0, 60) << ": " << p.Error().detail;
    EXPECT_EQ(p.Append("POST / HTTP/1.1\r\nContent-Length: 0\r\n\r\n"), State::kFailed);
  }

  // The end of the input inside a request; a clean end between requests is no error.
  for (const std::string partial : {"POST / HT", "POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\nab"}) {
    HttpRequestParser p(4096, 1024);
    p.Append(partial);
    EXPECT_EQ(p.Finish(), State::kFailed);
    EXPECT_EQ(p.Error().status, 400);
  }
  HttpRequestParser idle(4096, 1024);
  EXPECT_EQ(idle.Finish(), State::kNeedMore);
}

TEST(HttpRequestParser, AsksForContinueOncePerRequest) {
  HttpRequestParser p(4096, 1024);
  p.Append("POST / HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 4\r\n\r\n");
  EXPECT_TRUE(p.ContinueDue());
  EXPECT_FALSE(p.ContinueDue());
  p.Append("body");
  EXPECT_EQ(Drain(p).size(), 1u);
  // HTTP/1.0 knows no 100 Continue; a body already there needs none.
  p.Append("POST / HTTP/1.0\r\nExpect: 100-continue\r\nContent-Length: 4\r\n\r\n");
  EXPECT_FALSE(p.ContinueDue());
  p.Append("bodyPOST / HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 1\r\n\r\nX");
  EXPECT_FALSE(p.ContinueDue());
  EXPECT_EQ(Drain(p).size(), 2u);
}

TEST(HttpResponses, ErrorPagesSayErrorBeforeTheirEmptyLine) {
  const std::string r = HttpErrorResponse(0, HttpError{403, "not here"}, true);
  EXPECT_EQ(r,
            "HTTP/1.0 403 Forbidden\r\nContent-Type: text/plain\r\nContent-Length: 33\r\n"
            "Connection: keep-alive\r\n\r\nError 403 Forbidden: not here\r\n\r\n");
  EXPECT_NE(HttpErrorResponse(1, HttpError{405, "x"}, false).find("\r\nAllow: POST\r\n"),
            std::string::npos);
  // HTTP/1.1 keeps the connection without saying so and says when it closes.
  EXPECT_EQ(HttpResponse(1, 200, true, "text/plain", "ok", {}),
            "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n\r\nok");
  EXPECT_NE(HttpResponse(1, 200, false, "text/plain", "ok", {}).find("\r\nConnection: close\r\n"),
            std::string::npos);
}

TEST(TunnelTarget, ReadsBothQueryFormsUnderTheExtensionPath) {
  struct Case {
    std::string target;
    int status;  // 0 = read
    int form;
    std::string address;
    int port;
    int timeout;
  };
  const std::vector<Case> cases = {
      {"/isapi/RdaHttp.dll/RDA?127.0.0.1&9406&20", 0, 1, "127.0.0.1", 9406, 20},
      {"/isapi/Rdahttp.dll/RDA?127.0.0.1&9406&20", 0, 1, "127.0.0.1", 9406, 20},
      {"/ISAPI/RDAHTTP.DLL/rda?&db.example.com&9399", 0, 2, "db.example.com", 9399, 0},
      {"/isapi/RdaHttp.dll/Rda?&[::1]&9406", 0, 2, "::1", 9406, 0},
      {"http://web:80/isapi/RdaHttp.dll/RDA?host&1&0", 0, 1, "host", 1, 0},
      {"/scripts/Rdahttp.dll/RDA?127.0.0.1&9406&20", 404, 0, "", 0, 0},
      {"/isapi/RdaHttp.dll/RDAX?127.0.0.1&9406&20", 404, 0, "", 0, 0},
      {"/isapi/RdaHttp.dll/RDA", 400, 0, "", 0, 0},
      {"/isapi/RdaHttp.dll/RDA?127.0.0.1&9406", 400, 0, "", 0, 0},
      {"/isapi/RdaHttp.dll/RDA?127.0.0.1&9406&20&1", 400, 0, "", 0, 0},
      {"/isapi/RdaHttp.dll/RDA?127.0.0.1&0&20", 400, 0, "", 0, 0},
      {"/isapi/RdaHttp.dll/RDA?127.0.0.1&65536&20", 400, 0, "", 0, 0},
      {"/isapi/RdaHttp.dll/RDA?127.0.0.1&+80&20", 400, 0, "", 0, 0},
      {"/isapi/RdaHttp.dll/RDA?127.0.0.1&9406&-1", 400, 0, "", 0, 0},
      {"/isapi/RdaHttp.dll/Rda?&&9406", 400, 0, "", 0, 0},
      {"/isapi/RdaHttp.dll/Rda?&evil/host&9406", 400, 0, "", 0, 0},
      {"/isapi/RdaHttp.dll/Rda?&a%20b&9406", 400, 0, "", 0, 0},
  };
  for (const auto& c : cases) {
    const TunnelTargetResult r = ParseTunnelTarget(c.target, "isapi/RdaHttp.dll");
    if (c.status) {
      EXPECT_FALSE(r.target) << c.target;
      EXPECT_EQ(r.error.status, c.status) << c.target;
      continue;
    }
    ASSERT_TRUE(r.target) << c.target << ": " << r.error.detail;
    EXPECT_EQ(r.target->form, c.form) << c.target;
    EXPECT_EQ(r.target->address, c.address) << c.target;
    EXPECT_EQ(r.target->port, c.port) << c.target;
    EXPECT_EQ(r.target->timeoutSeconds, c.timeout) << c.target;
  }
}

TEST(TunnelDestinations, OnlyListedPlacesAreFound) {
  const TunnelDestination self = SelfDestination("127.0.0.1", 9406);
  const std::vector<TunnelDestination> allowed = {
      self, ResolveDestination("[::1]:9000", self), ResolveDestination("10.1.2.3:9407", self)};
  struct Case {
    std::string address;
    int port;
    int index;  // -1 = refused
  };
  const std::vector<Case> cases = {
      {"127.0.0.1", 9406, 0}, {"LocalHost", 9406, 0},         {"127.0.0.1", 9407, -1},
      {"127.0.0.2", 9406, -1}, {"127.1", 9406, -1},           {"::1", 9000, 1},
      {"0:0:0:0:0:0:0:1", 9000, 1}, {"::1", 9406, -1},        {"10.1.2.3", 9407, 2},
      {"10.1.2.3", 9406, -1}, {"evil.example.com", 9406, -1}, {"", 9406, -1},
  };
  for (const auto& c : cases) {
    const TunnelDestination* d = FindDestination(allowed, c.address, c.port);
    EXPECT_EQ(d ? static_cast<int>(d - allowed.data()) : -1, c.index) << c.address << ":" << c.port;
  }
  EXPECT_EQ(ResolveDestination("self", self).key, self.key);
  // A server bound to every address is reached on loopback.
  const TunnelDestination any = SelfDestination("0.0.0.0", 9406);
  EXPECT_EQ(any.key, "127.0.0.1:9406");
  EXPECT_TRUE(FindDestination({any}, "localhost", 9406));
  for (const std::string bad : {"host", "host:", "host:0", "host:70000", ":9406", "::1:9406",
                                "[::1]9406", "host:9x"}) {
    EXPECT_THROW(ResolveDestination(bad, self), Exception) << bad;
  }
}

TEST(TunnelCodec, SessionHeadersHaveTheirByteLayout) {
  EXPECT_EQ(SessionIdHeader(-2), std::string("\x07\x00\x00\xfe\xff\xff\xff", 7));
  EXPECT_EQ(LoginHeader("ann", "pw"),
            std::string("\x22\x00\x01\0\0\0\0\x03" "ann", 11) + std::string(12, '\0') + "\x02pw" +
                std::string(8, '\0'));
}

TEST(TunnelCodec, TakesTheSessionHeaderOffUnderEveryTransform) {
  for (int mode = 0; mode < 6; ++mode) {
    SessionSettings s;
    s.encryption = mode % 3 == 0 ? etNoEncryption : mode % 3 == 1 ? etRdaEncrypt : etDESEncrypt;
    s.key = "tunnelky";
    s.zlib = mode >= 3;
    SCOPED_TRACE("mode " + std::to_string(mode));
    TunnelCodec codec(s, 1 << 20);
    TunnelClient client(s);
    client.user = "a user name longer than 15";
    client.password = "0123456789ABC";
    TunnelClient plainClient(s, false);  // the same transforms without a header
    TRdaBodyTransforms& plain = plainClient.t;

    const std::string message = Line(tkSelect, 7, {"select 1", "-1", "0", "\x05"}).Compose();
    // Log-in form: the names are cut as the client cuts them.
    TunnelCodec::Request r = codec.ReadRequest(client.t.PackMessage(message));
    EXPECT_EQ(r.header, TunnelCodec::HeaderKind::kLogin);
    EXPECT_EQ(r.user, "a user name lon");
    EXPECT_EQ(r.password, "0123456789");
    EXPECT_EQ(plain.UnpackMessage(r.content), message);
    EXPECT_EQ(r.token, tkSelect);
    EXPECT_EQ(r.msgId, 7);

    client.sessionId = 123456789;
    r = codec.ReadRequest(client.t.PackMessage(message));
    EXPECT_EQ(r.header, TunnelCodec::HeaderKind::kSession);
    EXPECT_EQ(r.sessionId, 123456789);
    EXPECT_EQ(plain.UnpackMessage(r.content), message);

    // Without a header the content goes on as it came; so does what does
    // not decode at all.
    const std::string packed = plain.PackMessage(message);
    r = codec.ReadRequest(packed);
    EXPECT_EQ(r.header, TunnelCodec::HeaderKind::kNone);
    EXPECT_EQ(r.content, packed);
    EXPECT_EQ(r.token, tkSelect);
    r = codec.ReadRequest("\x01\x02\x03");
    EXPECT_EQ(r.header, TunnelCodec::HeaderKind::kNone);
    EXPECT_EQ(r.content, "\x01\x02\x03");
    EXPECT_FALSE(r.token);

    // Answers: the session header in clear in front of what the server sent,
    // and five more bytes for a proxied client, which it drops.
    for (uint8_t transport : {1, 2}) {
      TRdaMessageStack stack;
      stack.SetTransportMode(transport);
      const std::string answer = plain.PackMessage(Line(tkCodedMessage, 7, {"42", "text"}).Compose());
      stack.Append(TunnelCodec::ClientFrame(answer, 555, transport == 1) +
                   TunnelCodec::ClientFrame(codec.SessionError(9, "gone"), 0, transport == 1));
      ASSERT_EQ(stack.Count(), 2u);
      TRdaStringLine got;
      got.Parse(client.t.UnpackMessage(stack.PopMessage()));
      EXPECT_EQ(client.sessionId, 555);
      EXPECT_EQ(got.Token(), tkCodedMessage);
      EXPECT_EQ(got.NextFieldText(), "42");
      got.Parse(client.t.UnpackMessage(stack.PopMessage()));
      EXPECT_EQ(client.sessionId, 0);
      EXPECT_EQ(got.Token(), tkAsyncException);
      EXPECT_EQ(got.MsgId(), 9);
      got.NextFieldText();
      EXPECT_EQ(got.NextFieldInteger(), kSessionErrorToken);
    }
  }
}

TEST(TunnelCodec, PlainLinesThatLookLikeHeadersStayPlain) {
  TunnelCodec codec(SessionSettings{}, 1 << 20);
  // Closing the cursors of component 256 starts 22 00 01 00 00, as a
  // log-in header does.
  for (const auto& message : {Line(tkCloseCursor, 256, {}).Compose(), Line(tkCloseCursor, 256, {"5"}).Compose(),
                              Line(tkCloseCursor, 256, {"", ""}).Compose()}) {
    const TunnelCodec::Request r = codec.ReadRequest(message);
    EXPECT_EQ(r.header, TunnelCodec::HeaderKind::kNone);
    EXPECT_EQ(r.content, message);
  }
}

}  // namespace
}  // namespace rda
