// HTTP/1.x heads: where they end in pieces of bytes, what they say, and the
// ones every reader refuses.
#include <gtest/gtest.h>

#include <string>

#include "base/HttpHead.h"

namespace rda {
namespace {

TEST(HttpHead, EndIsFoundInEverySplitWithCrLfOrBareLf) {
  for (const std::string& head : {std::string("HTTP/1.1 200 OK\r\nA: b\r\n\r\n"),
                                 std::string("HTTP/1.0 200 OK\nA: b\n\n"),
                                 std::string("HTTP/1.0 200 OK\r\nA: b\n\r\n")}) {
    const std::string bytes = head + "\r\n\r\nbody";
    EXPECT_EQ(FindHttpHeadEnd(bytes), head.size()) << head;
    for (size_t cut = 0; cut <= bytes.size(); ++cut) {
      // As a reader gets it: the first piece, then the whole, resuming where it stopped.
      const size_t first = FindHttpHeadEnd(std::string_view(bytes).substr(0, cut));
      const size_t end = first != std::string_view::npos ? first : FindHttpHeadEnd(bytes, cut);
      ASSERT_EQ(end, head.size()) << head << " cut " << cut;
    }
  }
  EXPECT_EQ(FindHttpHeadEnd("HTTP/1.1 200 OK\r\nA: b\r\n"), std::string_view::npos);
  EXPECT_EQ(FindHttpHeadEnd("HTTP/1.1 200 OK\r\n\rX\r\n"), std::string_view::npos);
}

TEST(HttpHead, ResponsesSayStatusBodyAndConnection) {
  struct Case {
    std::string head;
    int status;
    std::string reason;
    int64_t length;
    bool chunked;
    bool keepAlive;
  } cases[] = {
      {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n", 200, "OK", 5, false, true},
      {"HTTP/1.0 404 Not Found\r\ncontent-length:  12 \r\n\r\n", 404, "Not Found", 12, false, false},
      {"HTTP/1.0 200 OK\r\nConnection: Keep-Alive\r\n\r\n", 200, "OK", -1, false, true},
      {"HTTP/1.1 200 OK\r\nConnection: keep-alive, close\r\n\r\n", 200, "OK", -1, false, false},
      {"HTTP/1.1 200\r\nConnection: closed\r\n\r\n", 200, "", -1, false, true},  // a token, not a word
      {"HTTP/1.1 200 OK\r\nContent-Length: 3\r\nTransfer-Encoding: Chunked\r\n\r\n", 200, "OK",
       -1, true, true},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n", 200, "OK", -1, false, true},
      {"HTTP/1.1 100 Continue\n\n", 100, "Continue", -1, false, true},
      {"HTTP/1.1 503 \r\nContent-Length: 0\r\nContent-Length: 0\r\n\r\n", 503, "", 0, false, true},
      {"HTTP/1.9 200 OK\r\n\r\n", 200, "OK", -1, false, true},
  };
  for (const Case& c : cases) {
    const THttpHeadResult r = ParseHttpResponseHead(c.head);
    ASSERT_TRUE(r.Ok()) << c.head << ": " << r.Detail;
    EXPECT_EQ(r.Head.Status, c.status) << c.head;
    EXPECT_EQ(r.Head.Reason, c.reason) << c.head;
    EXPECT_EQ(r.Head.ContentLength, c.length) << c.head;
    EXPECT_EQ(r.Head.Chunked, c.chunked) << c.head;
    EXPECT_EQ(r.Head.KeepAlive, c.keepAlive) << c.head;
  }
  const THttpHeadResult r =
      ParseHttpResponseHead("HTTP/1.1 200 OK\r\nX-A: 1\r\nx-a: 2\r\nVary: a, B\r\n\r\nX-Body: no");
  EXPECT_EQ(r.Head.Field("X-a"), "1");
  EXPECT_FALSE(r.Head.Field("X-Body"));  // nothing after the empty line is read
  EXPECT_TRUE(r.Head.FieldHasToken("vary", "b"));
  EXPECT_EQ(r.Head.Fields.size(), 3u);
}

TEST(HttpHead, HeadsThatDoNotReadAreRefusedWithTheCheckThatFailed) {
  using E = THttpHeadError;
  struct Case {
    std::string head;
    E error;
  } responses[] = {
      {"", E::StartLine},
      {"HTTP/1.1 2000 OK\r\n\r\n", E::StartLine},
      {"HTTP/1.1 099 Low\r\n\r\n", E::StartLine},
      {"HTTP/1.1 600 High\r\n\r\n", E::StartLine},
      {"HTTP/1.1 20 OK\r\n\r\n", E::StartLine},
      {"HTTP/1.1  200 OK\r\n\r\n", E::StartLine},
      {"http/1.1 200 OK\r\n\r\n", E::StartLine},
      {"SSH-2.0-OpenSSH\r\n\r\n", E::StartLine},
      {"HTTP/2 200 OK\r\n\r\n", E::Version},
      {"HTTP/1.1 200 OK\r\nno colon\r\n\r\n", E::FieldLine},
      {"HTTP/1.1 200 OK\r\n folded: x\r\n\r\n", E::FieldLine},
      {"HTTP/1.1 200 OK\r\nContent-Length : 5\r\n\r\n", E::FieldLine},
      {"HTTP/1.1 200 OK\r\n: empty name\r\n\r\n", E::FieldLine},
      {"HTTP/1.1 200 OK\r\nX: a\rb\r\n\r\n", E::FieldLine},
      {"HTTP/1.1 200 OK\r\nContent-Length: 1x\r\n\r\n", E::ContentLength},
      {"HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n", E::ContentLength},
      {"HTTP/1.1 200 OK\r\nContent-Length: 5, 5\r\n\r\n", E::ContentLength},
      {"HTTP/1.1 200 OK\r\nContent-Length:\r\n\r\n", E::ContentLength},
      {"HTTP/1.1 200 OK\r\nContent-Length: 1234567890123456789\r\n\r\n", E::ContentLength},
      {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\n", E::TwoLengths},
  };
  for (const Case& c : responses) {
    const THttpHeadResult r = ParseHttpResponseHead(c.head);
    EXPECT_EQ(r.Error, c.error) << c.head << ": " << r.Detail;
    EXPECT_FALSE(r.Detail.empty()) << c.head;
  }
  std::string many = "HTTP/1.1 200 OK\r\n";
  for (size_t i = 0; i < THttpHead::kMaxFields; ++i) many += "X: y\r\n";
  EXPECT_TRUE(ParseHttpResponseHead(many + "\r\n").Ok());
  EXPECT_EQ(ParseHttpResponseHead(many + "X: y\r\n\r\n").Error, E::TooManyFields);
  // The largest length that reads: 18 digits.
  EXPECT_EQ(ParseHttpResponseHead("HTTP/1.1 200 OK\r\nContent-Length: 999999999999999999\r\n\r\n")
                .Head.ContentLength,
            999999999999999999);
}

TEST(HttpHead, RequestLinesTakeTheTargetBetweenTheOuterBlanks) {
  struct Case {
    std::string head;
    THttpHeadError error;
    std::string target;
    int minor;
  } cases[] = {
      {"POST /isapi/Rdahttp.dll/Rda?&127.0.0.1&9406 HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n",
       THttpHeadError::None, "/isapi/Rdahttp.dll/Rda?&127.0.0.1&9406", 0},
      {"POST RDASHTTP / HTTP/1.0\r\n\r\n", THttpHeadError::None, "RDASHTTP /", 0},
      {"GET / HTTP/1.1\n\n", THttpHeadError::None, "/", 1},
      {"POST /\r\n\r\n", THttpHeadError::StartLine, "", 0},
      {"P(ST / HTTP/1.1\r\n\r\n", THttpHeadError::StartLine, "", 0},
      {"POST /a\tb HTTP/1.1\r\n\r\n", THttpHeadError::StartLine, "", 0},
      {"POST / HTTP/2.0\r\n\r\n", THttpHeadError::Version, "", 0},
      {"POST / FTP/1.0\r\n\r\n", THttpHeadError::StartLine, "", 0},
      {"POST / HTTP/1.1\r\nBad Name: x\r\n\r\n", THttpHeadError::FieldLine, "", 0},
  };
  for (const Case& c : cases) {
    const THttpHeadResult r = ParseHttpRequestHead(c.head);
    EXPECT_EQ(r.Error, c.error) << c.head << ": " << r.Detail;
    if (!r.Ok()) continue;
    EXPECT_EQ(r.Head.Target, c.target);
    EXPECT_EQ(r.Head.MinorVersion, c.minor);
  }
  EXPECT_TRUE(ParseHttpRequestHead(cases[0].head).Head.KeepAlive);
  EXPECT_FALSE(ParseHttpRequestHead(cases[1].head).Head.KeepAlive);
  EXPECT_TRUE(ParseHttpRequestHead(cases[2].head).Head.KeepAlive);
}

}  // namespace
}  // namespace rda
