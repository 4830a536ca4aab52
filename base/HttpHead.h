// HTTP/1.x message heads, read without any I/O: where a head ends in the
// received bytes, and what its start line and header fields say. One set of
// rules for every reader of HTTP in the project: the connection's tunnel
// responses, the install utility's downloads and the server's tunnel
// requests. Bodies (lengths, chunks, the end of the connection) stay with
// each reader; the head says which kind of body follows.
//
//   head          = start-line *( field-line ) empty-line
//   status-line   = "HTTP/1." DIGIT SP 3DIGIT [ SP reason ]     (responses)
//   request-line  = method SP target SP "HTTP/1." DIGIT          (requests)
//   field-line    = name ":" OWS value OWS
//
// The rules, where the readers before this one differed:
//   - A line ends with CR LF or with a bare LF (a recipient may take LF
//     alone, and some servers and scripts send it).
//   - "HTTP" is upper case, as the protocol spells it; the version is 1.x
//     (HTTP/2 and later are not text and cannot be read here).
//   - A status is three digits from 100 to 599.
//   - A request line's target is everything between its first and its last
//     blank, so that the fixed line "POST RDASHTTP / HTTP/1.0" that a
//     proxied client sends reads (target "RDASHTTP /").
//   - Every field line must read: a name of token characters, a colon, a
//     value without NUL or CR. A line without a colon, a name with a blank
//     (also before the colon) and a folded line (starting with a blank) are
//     refused, never skipped: a field that one reader skips and another
//     reads is how requests are smuggled.
//   - At most kMaxFields field lines.
//   - Content-Length is 1 to 18 decimal digits; repeated, it must repeat the
//     same number. Under Transfer-Encoding it does not count.
//   - Transfer-Encoding is recorded as given; Chunked is true when the only
//     coding is "chunked" (any case). What to do with other codings is the
//     reader's business (the server and the connection refuse any coding).
//   - Connection is a list of tokens: "close" ends the connection after this
//     message, whatever else the list says; otherwise HTTP/1.1 and later
//     keep it open, HTTP/1.0 only with "keep-alive".
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace rda {

// The offset just past the empty line that ends a head in bytes, or npos when
// the end has not arrived. Bytes before `from` are known to hold no end (a
// caller that appends pieces passes the size it searched before); a few
// bytes before it are looked at again, so that an end split over two pieces
// is found.
size_t FindHttpHeadEnd(std::string_view bytes, size_t from = 0);

// Which check a head failed.
enum class THttpHeadError : uint8_t {
  None,
  StartLine,      // the status line or request line does not read
  Version,        // an HTTP version other than 1.x
  FieldLine,      // a field line does not read (no colon, folded, bad name or value)
  ContentLength,  // Content-Length is not a decimal number of at most 18 digits
  TwoLengths,     // two Content-Length fields that differ
  TooManyFields,  // more than kMaxFields field lines
};

struct THttpHead {
  static constexpr size_t kMaxFields = 100;

  int MinorVersion = 0;  // HTTP/1.<MinorVersion>
  // Responses.
  int Status = 0;
  std::string Reason;
  // Requests.
  std::string Method;
  std::string Target;

  // The field lines as received (values without the blanks around them).
  std::vector<std::pair<std::string, std::string>> Fields;
  int64_t ContentLength = -1;     // -1: none, or none that counts (Transfer-Encoding)
  bool HasTransferEncoding = false;
  std::string TransferEncoding;   // the codings as given, the fields joined by ", "
  bool Chunked = false;           // the one coding is chunked
  bool KeepAlive = false;         // by the version and the Connection field

  // The value of the first field of that name (compared without regard to
  // ASCII case).
  std::optional<std::string> Field(std::string_view name) const;
  // Whether a field of that name holds the token in its comma-separated
  // list (without regard to ASCII case).
  bool FieldHasToken(std::string_view name, std::string_view token) const;
};

struct THttpHeadResult {
  THttpHeadError Error = THttpHeadError::None;
  std::string Detail;  // which check failed, in words; empty on success
  THttpHead Head;
  bool Ok() const { return Error == THttpHeadError::None; }
};

// Read a response or request head: the bytes up to the end FindHttpHeadEnd
// found (the empty line may be included or left off; nothing after the
// first empty line is read).
THttpHeadResult ParseHttpResponseHead(std::string_view head);
THttpHeadResult ParseHttpRequestHead(std::string_view head);

}  // namespace rda
