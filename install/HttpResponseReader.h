// THttpResponseReader: takes the bytes of one HTTP/1.x response to a GET as they
// arrive and tells what they are: the status, the announced length, the body bytes
// (chunked bodies decoded) and whether the response is complete. No I/O.
//
//   response  = *(interim) final
//   interim   = head with a 1xx status; skipped (101 fails: nothing was upgraded)
//   head      = a response head as base/HttpHead.h reads it, at most kMaxHeadBytes
//   final     = head body
//   body      = Content-Length bytes                   when Content-Length is given
//             | chunked                                when Transfer-Encoding: chunked
//             | bytes up to the end of the connection  otherwise (CloseEndsBody)
//   chunked   = *(hex-size [;ext] CRLF data CRLF) "0" [;ext] CRLF *(trailer CRLF) CRLF
//
// The head follows the rules every HTTP reader of the project shares (base/HttpHead.h):
// lines may end with LF alone, header names compare without regard to ASCII case, a
// header line that does not read fails the response. A response to GET with status
// 204 or 304 has no body.
//
// Bad input: a head over kMaxHeadBytes, a head that base/HttpHead.h refuses (its text
// says which check failed: "the status line does not read", "a header line does not
// read", "the Content-Length does not read", "two different Content-Length headers"),
// a transfer coding other than chunked, a chunk size that does not read or a chunk
// line over 1 KiB, and a body over the reader's limit put the reader into the failed
// state with Failure() saying which check failed; it takes no more bytes then.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace rda {

class THttpResponseReader {
 public:
  static constexpr size_t kMaxHeadBytes = 64 * 1024;
  static constexpr size_t kMaxChunkLine = 1024;

  explicit THttpResponseReader(int64_t maxBody = int64_t{1} << 30) : maxBody_(maxBody) {}

  // Takes the next received bytes; body bytes decoded from them are appended to
  // `body`. Bytes after a complete response are ignored. Returns false once failed.
  bool Feed(std::string_view bytes, std::string& body);
  // The connection ended: completes a body that runs to the end of the connection.
  void CloseEndsBody();

  bool HeadDone() const { return state_ != kHead && state_ != kFailed; }
  int Status() const { return status_; }
  bool Success() const { return status_ >= 200 && status_ <= 299; }
  // The announced body length; -1 when none was announced (chunked or to the end).
  int64_t ContentLength() const { return contentLength_; }
  int64_t BodyBytes() const { return bodyBytes_; }
  bool Complete() const { return state_ == kDone; }
  bool Failed() const { return state_ == kFailed; }
  const std::string& Failure() const { return failure_; }

 private:
  enum State : uint8_t { kHead, kBody, kToEnd, kChunkSize, kChunkData, kChunkEnd, kTrailer,
                         kDone, kFailed };
  bool Fail(std::string why);
  bool ParseHead(std::string_view head);
  bool TakeBody(std::string_view bytes, std::string& body);
  // Takes one line (without its end) off pending_ when a whole line is there.
  bool NextLine(std::string& line, bool& haveLine);

  State state_ = kHead;
  std::string pending_;  // head bytes, or an incomplete chunk line
  int status_ = 0;
  int64_t contentLength_ = -1;
  int64_t bodyBytes_ = 0;
  int64_t chunkLeft_ = 0;
  int64_t maxBody_;
  bool chunked_ = false;
  std::string failure_;
};

}  // namespace rda
