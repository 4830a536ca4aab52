#include "install/HttpResponseReader.h"

#include <algorithm>

#include "base/HttpHead.h"
#include "base/Text.h"

namespace rda {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool THttpResponseReader::Fail(std::string why) {
  state_ = kFailed;
  failure_ = std::move(why);
  pending_.clear();
  return false;
}

bool THttpResponseReader::ParseHead(std::string_view head) {
  const THttpHeadResult read = ParseHttpResponseHead(head);
  if (!read.Ok()) return Fail(read.Detail);
  status_ = read.Head.Status;
  if (read.Head.HasTransferEncoding && !read.Head.Chunked)
    return Fail("a transfer coding other than chunked");
  chunked_ = read.Head.Chunked;
  contentLength_ = read.Head.ContentLength;
  return true;
}

bool THttpResponseReader::NextLine(std::string& line, bool& haveLine) {
  // Called with the bytes already appended to pending_ by TakeBody.
  haveLine = false;
  const size_t nl = pending_.find('\n');
  if (nl == std::string::npos) {
    if (pending_.size() > kMaxChunkLine) return Fail("a chunk line is too long");
    return true;
  }
  if (nl > kMaxChunkLine) return Fail("a chunk line is too long");
  line.assign(pending_, 0, nl);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  pending_.erase(0, nl + 1);
  haveLine = true;
  return true;
}

bool THttpResponseReader::TakeBody(std::string_view bytes, std::string& body) {
  size_t trailerBytes = 0;
  while (state_ != kDone && state_ != kFailed) {
    switch (state_) {
      case kBody: {
        if (bytes.empty()) return true;
        const size_t n =
            static_cast<size_t>(std::min<int64_t>(contentLength_ - bodyBytes_,
                                                  static_cast<int64_t>(bytes.size())));
        body.append(bytes.substr(0, n));
        bodyBytes_ += static_cast<int64_t>(n);
        bytes.remove_prefix(n);
        if (bodyBytes_ == contentLength_) state_ = kDone;
        break;
      }
      case kToEnd:
        if (bodyBytes_ + static_cast<int64_t>(bytes.size()) > maxBody_) {
          return Fail("the body is larger than " + std::to_string(maxBody_) + " bytes");
        }
        body.append(bytes);
        bodyBytes_ += static_cast<int64_t>(bytes.size());
        return true;
      case kChunkData: {
        if (bytes.empty()) return true;
        const size_t n = static_cast<size_t>(
            std::min<int64_t>(chunkLeft_, static_cast<int64_t>(bytes.size())));
        body.append(bytes.substr(0, n));
        bodyBytes_ += static_cast<int64_t>(n);
        chunkLeft_ -= static_cast<int64_t>(n);
        bytes.remove_prefix(n);
        if (chunkLeft_ == 0) state_ = kChunkEnd;
        break;
      }
      case kChunkSize:
      case kChunkEnd:
      case kTrailer: {
        // Line-oriented states: move bytes up to the next line end into pending_.
        const size_t nl = bytes.find('\n');
        const size_t take = nl == std::string_view::npos ? bytes.size() : nl + 1;
        pending_.append(bytes.substr(0, std::min(take, kMaxChunkLine + 2)));
        if (take > kMaxChunkLine + 2) return Fail("a chunk line is too long");
        bytes.remove_prefix(take);
        std::string line;
        bool haveLine = false;
        if (!NextLine(line, haveLine)) return false;
        if (!haveLine) return true;
        if (state_ == kChunkEnd) {
          if (!line.empty()) return Fail("a chunk does not end with its line end");
          state_ = kChunkSize;
        } else if (state_ == kTrailer) {
          trailerBytes += line.size();
          if (trailerBytes > kMaxHeadBytes) return Fail("the trailer is too long");
          if (line.empty()) state_ = kDone;
        } else {
          std::string_view size = line;
          const size_t semi = size.find(';');
          if (semi != std::string_view::npos) size = size.substr(0, semi);
          size = TrimBlanks(size);
          if (size.empty() || size.size() > 15) return Fail("a chunk size does not read");
          int64_t n = 0;
          for (char c : size) {
            int d;
            if (IsDigit(c)) {
              d = c - '0';
            } else if (c >= 'a' && c <= 'f') {
              d = c - 'a' + 10;
            } else if (c >= 'A' && c <= 'F') {
              d = c - 'A' + 10;
            } else {
              return Fail("a chunk size does not read");
            }
            n = n * 16 + d;
          }
          if (bodyBytes_ + n > maxBody_) {
            return Fail("the body is larger than " + std::to_string(maxBody_) + " bytes");
          }
          chunkLeft_ = n;
          state_ = n == 0 ? kTrailer : kChunkData;
        }
        break;
      }
      default:
        return true;
    }
  }
  return state_ != kFailed;
}

bool THttpResponseReader::Feed(std::string_view bytes, std::string& body) {
  if (state_ == kFailed) return false;
  if (state_ == kDone) return true;
  std::string carry;
  while (state_ == kHead) {
    const size_t before = pending_.size();
    pending_.append(bytes);
    bytes = {};
    const size_t end = FindHttpHeadEnd(pending_, before);
    if (end == std::string::npos) {
      if (pending_.size() > kMaxHeadBytes) return Fail("the response head is too long");
      return true;
    }
    if (end > kMaxHeadBytes) return Fail("the response head is too long");
    if (!ParseHead(std::string_view(pending_).substr(0, end))) return false;
    carry = pending_.substr(end);
    pending_.clear();
    bytes = carry;
    if (status_ >= 100 && status_ <= 199) {
      if (status_ == 101) return Fail("the server switched protocols");
      continue;  // an interim response; the final one follows
    }
    if (status_ == 204 || status_ == 304 || (!chunked_ && contentLength_ == 0)) {
      state_ = kDone;
    } else if (chunked_) {
      state_ = kChunkSize;
    } else if (contentLength_ > 0) {
      if (contentLength_ > maxBody_) {
        return Fail("the body is larger than " + std::to_string(maxBody_) + " bytes");
      }
      state_ = kBody;
    } else {
      state_ = kToEnd;
    }
  }
  return TakeBody(bytes, body);
}

void THttpResponseReader::CloseEndsBody() {
  if (state_ == kToEnd) state_ = kDone;
}

}  // namespace rda
