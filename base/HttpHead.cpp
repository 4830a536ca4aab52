#include "base/HttpHead.h"

#include <algorithm>

#include "base/Text.h"

namespace rda {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The characters of a field name or a method (a token).
bool IsTokenChar(char c) {
  if (IsDigit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool IsToken(std::string_view s) { return !s.empty() && std::all_of(s.begin(), s.end(), IsTokenChar); }

// Does the comma-separated list hold the token?
bool ListHas(std::string_view list, std::string_view token) {
  while (!list.empty()) {
    const size_t comma = list.find(',');
    if (SameTextAscii(TrimBlanks(list.substr(0, comma)), token)) return true;
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  return false;
}

// The lines of a head up to its empty line, without their ends.
std::vector<std::string_view> HeadLines(std::string_view head) {
  std::vector<std::string_view> lines;
  while (!head.empty()) {
    const size_t lf = head.find('\n');
    std::string_view line = head.substr(0, lf);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) break;
    lines.push_back(line);
    if (lf == std::string_view::npos) break;
    head.remove_prefix(lf + 1);
  }
  return lines;
}

THttpHeadResult Failed(THttpHeadError error, std::string detail) {
  THttpHeadResult r;
  r.Error = error;
  r.Detail = std::move(detail);
  return r;
}

// "HTTP/1.<digit>": the minor version, or -1 when the text is another
// version of HTTP, or -2 when it is no version at all.
int ReadVersion(std::string_view text) {
  if (text.size() == 8 && text.substr(0, 7) == "HTTP/1." && IsDigit(text[7])) return text[7] - '0';
  return text.substr(0, std::min<size_t>(text.size(), 5)) == "HTTP/" ? -1 : -2;
}

// The field lines after the start line, into r.Head; false when one fails.
bool ReadFields(const std::vector<std::string_view>& lines, THttpHeadResult& r) {
  THttpHead& h = r.Head;
  if (lines.size() > THttpHead::kMaxFields + 1) {
    r = Failed(THttpHeadError::TooManyFields,
               "the head has more than " + std::to_string(THttpHead::kMaxFields) + " header lines");
    return false;
  }
  bool sawLength = false;
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos || !IsToken(line.substr(0, colon))) {
      r = Failed(THttpHeadError::FieldLine, "a header line does not read");
      return false;
    }
    const std::string_view name = line.substr(0, colon);
    const std::string_view value = TrimBlanks(line.substr(colon + 1));
    if (value.find_first_of(std::string_view("\0\r", 2)) != std::string_view::npos) {
      r = Failed(THttpHeadError::FieldLine, "a header line does not read");
      return false;
    }
    if (SameTextAscii(name, "Content-Length")) {
      if (value.empty() || value.size() > 18 || !std::all_of(value.begin(), value.end(), IsDigit)) {
        r = Failed(THttpHeadError::ContentLength, "the Content-Length does not read");
        return false;
      }
      int64_t n = 0;
      for (char c : value) n = n * 10 + (c - '0');
      if (sawLength && n != h.ContentLength) {
        r = Failed(THttpHeadError::TwoLengths, "two different Content-Length headers");
        return false;
      }
      h.ContentLength = n;
      sawLength = true;
    } else if (SameTextAscii(name, "Transfer-Encoding")) {
      if (h.HasTransferEncoding) h.TransferEncoding += ", ";
      h.HasTransferEncoding = true;
      h.TransferEncoding += value;
    }
    h.Fields.emplace_back(std::string(name), std::string(value));
  }
  if (h.HasTransferEncoding) {
    h.Chunked = SameTextAscii(h.TransferEncoding, "chunked");
    h.ContentLength = -1;
  }
  h.KeepAlive = !h.FieldHasToken("Connection", "close") &&
                (h.MinorVersion >= 1 || h.FieldHasToken("Connection", "keep-alive"));
  return true;
}

}  // namespace

size_t FindHttpHeadEnd(std::string_view bytes, size_t from) {
  for (size_t i = bytes.find('\n', from > 3 ? from - 3 : 0); i != std::string_view::npos;
       i = bytes.find('\n', i + 1)) {
    // A line of nothing (or a lone CR) after this LF ends the head.
    size_t next = i + 1;
    if (next < bytes.size() && bytes[next] == '\r') ++next;
    if (next < bytes.size() && bytes[next] == '\n') return next + 1;
  }
  return std::string_view::npos;
}

std::optional<std::string> THttpHead::Field(std::string_view name) const {
  for (const auto& [n, v] : Fields)
    if (SameTextAscii(n, name)) return v;
  return std::nullopt;
}

bool THttpHead::FieldHasToken(std::string_view name, std::string_view token) const {
  for (const auto& [n, v] : Fields)
    if (SameTextAscii(n, name) && ListHas(v, token)) return true;
  return false;
}

THttpHeadResult ParseHttpResponseHead(std::string_view head) {
  const std::vector<std::string_view> lines = HeadLines(head);
  if (lines.empty()) return Failed(THttpHeadError::StartLine, "the status line does not read");
  // "HTTP/1.x NNN[ reason]"
  const std::string_view line = lines.front();
  const int minor = ReadVersion(line.substr(0, line.find(' ')));
  if (minor == -1) return Failed(THttpHeadError::Version, "the status line does not read");
  if (minor < 0 || line.size() < 12 || line[8] != ' ' || !IsDigit(line[9]) || !IsDigit(line[10]) ||
      !IsDigit(line[11]) || (line.size() > 12 && line[12] != ' '))
    return Failed(THttpHeadError::StartLine, "the status line does not read");
  const int status = (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0');
  if (status < 100 || status > 599) return Failed(THttpHeadError::StartLine, "the status line does not read");
  THttpHeadResult r;
  r.Head.MinorVersion = minor;
  r.Head.Status = status;
  if (line.size() > 13) r.Head.Reason = line.substr(13);
  ReadFields(lines, r);
  return r;
}

THttpHeadResult ParseHttpRequestHead(std::string_view head) {
  const std::vector<std::string_view> lines = HeadLines(head);
  constexpr char kNoRequestLine[] = "the request line does not read as method, target and version";
  if (lines.empty()) return Failed(THttpHeadError::StartLine, kNoRequestLine);
  const std::string_view line = lines.front();
  const size_t firstBlank = line.find(' ');
  const size_t lastBlank = line.rfind(' ');
  if (firstBlank == std::string_view::npos || lastBlank == firstBlank)
    return Failed(THttpHeadError::StartLine, kNoRequestLine);
  THttpHeadResult r;
  r.Head.Method = line.substr(0, firstBlank);
  r.Head.Target = TrimBlanks(line.substr(firstBlank + 1, lastBlank - firstBlank - 1));
  if (!IsToken(r.Head.Method) || r.Head.Target.empty())
    return Failed(THttpHeadError::StartLine, kNoRequestLine);
  if (r.Head.Target.find_first_of(std::string_view("\0\r\t", 3)) != std::string::npos)
    return Failed(THttpHeadError::StartLine, "the request target holds control characters");
  const int minor = ReadVersion(line.substr(lastBlank + 1));
  if (minor == -1) return Failed(THttpHeadError::Version, "the request is not HTTP/1.x");
  if (minor < 0) return Failed(THttpHeadError::StartLine, "the request line does not end with an HTTP version");
  r.Head.MinorVersion = minor;
  ReadFields(lines, r);
  return r;
}

}  // namespace rda
