// The HTTP response reader: bodies by length, chunks and the end of the connection,
// fed in every split; and the responses it must refuse.
#include <gtest/gtest.h>

#include "install/HttpResponseReader.h"

namespace rda {
namespace {

struct Outcome {
  bool complete = false;
  bool failed = false;
  int status = 0;
  std::string body;
};

Outcome FeedInPieces(const std::string& response, size_t cut1, size_t cut2, bool closeAtEnd) {
  THttpResponseReader reader;
  Outcome o;
  reader.Feed(std::string_view(response).substr(0, cut1), o.body);
  reader.Feed(std::string_view(response).substr(cut1, cut2 - cut1), o.body);
  reader.Feed(std::string_view(response).substr(cut2), o.body);
  if (closeAtEnd) reader.CloseEndsBody();
  o.complete = reader.Complete();
  o.failed = reader.Failed();
  o.status = reader.Status();
  return o;
}

TEST(HttpResponseReader, EverySplitGivesTheSameBody) {
  struct Case {
    const char* name;
    std::string response;
    bool closeAtEnd;
    std::string body;
  } cases[] = {
      {"length", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", false, "hello"},
      {"length then more", "HTTP/1.1 200 OK\r\ncontent-length:5\r\n\r\nhelloEXTRA", false,
       "hello"},
      {"chunked",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5;x=1\r\nhello\r\n"
       "1A\r\n abcdefghijklmnopqrstuvwxy\r\n0\r\nTrailer: t\r\n\r\n",
       false, "hello abcdefghijklmnopqrstuvwxy"},
      {"to the end", "HTTP/1.0 200 OK\nServer: x\n\nall of it", true, "all of it"},
      {"interim first", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok",
       false, "ok"},
      {"no body", "HTTP/1.1 204 No Content\r\n\r\n", false, ""},
  };
  for (const Case& c : cases) {
    for (size_t a = 0; a <= c.response.size(); ++a) {
      for (size_t b = a; b <= c.response.size(); b += 3) {
        const Outcome o = FeedInPieces(c.response, a, b, c.closeAtEnd);
        ASSERT_TRUE(o.complete && !o.failed) << c.name << " cut " << a << "," << b;
        ASSERT_EQ(o.body, c.body) << c.name << " cut " << a << "," << b;
      }
    }
  }
}

TEST(HttpResponseReader, IncompleteBodiesStayIncomplete) {
  for (const std::string& response :
       {std::string("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nshort"),
        std::string("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhel")}) {
    const Outcome o = FeedInPieces(response, 0, response.size(), true);
    EXPECT_FALSE(o.complete) << response;
    EXPECT_FALSE(o.failed) << response;
  }
}

TEST(HttpResponseReader, RefusesWhatDoesNotRead) {
  const std::string big(THttpResponseReader::kMaxHeadBytes + 10, 'x');
  struct Case {
    std::string response;
    std::string failure;
  } cases[] = {
      {"HTTP/2 200 OK\r\n\r\n", "the status line does not read"},
      {"HTTP/1.1 2000 OK\r\n\r\n", "the status line does not read"},
      {"\r\n\r\n", "the status line does not read"},
      {"HTTP/1.1 200 OK\r\nno colon\r\n\r\n", "a header line does not read"},
      {"HTTP/1.1 200 OK\r\n folded: x\r\n\r\n", "a header line does not read"},
      {"HTTP/1.1 200 OK\r\nContent-Length : 5\r\n\r\nhello", "a header line does not read"},
      {"HTTP/1.1 600 Beyond\r\n\r\n", "the status line does not read"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 1x\r\n\r\n", "the Content-Length does not read"},
      {"HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n", "the Content-Length does not read"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\n",
       "two different Content-Length headers"},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\n\r\n", "a transfer coding other than chunked"},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", "a chunk size does not read"},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nab\r\n",
       "a chunk does not end with its line end"},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + std::string(2000, '1'),
       "a chunk line is too long"},
      {"HTTP/1.1 200 OK\r\nX: " + big, "the response head is too long"},
      {"HTTP/1.1 101 Switching\r\n\r\n", "the server switched protocols"},
  };
  for (const Case& c : cases) {
    THttpResponseReader reader;
    std::string body;
    EXPECT_FALSE(reader.Feed(c.response, body)) << c.response.substr(0, 60);
    EXPECT_TRUE(reader.Failed());
    EXPECT_EQ(reader.Failure(), c.failure) << c.response.substr(0, 60);
    EXPECT_FALSE(reader.Feed("more", body));  // nothing more is taken
  }
}

TEST(HttpResponseReader, BodyLimitHolds) {
  THttpResponseReader reader(10);
  std::string body;
  EXPECT_FALSE(reader.Feed("HTTP/1.1 200 OK\r\nContent-Length: 11\r\n\r\n", body));
  THttpResponseReader toEnd(10);
  EXPECT_TRUE(toEnd.Feed("HTTP/1.0 200 OK\r\n\r\n0123456789", body));
  EXPECT_FALSE(toEnd.Feed("x", body));
  EXPECT_EQ(toEnd.Failure(), "the body is larger than 10 bytes");
}

}  // namespace
}  // namespace rda
