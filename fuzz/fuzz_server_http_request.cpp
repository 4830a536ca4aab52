// Feeds arbitrary bytes to the tunnel's request side: the HTTP request
// parser in pieces whose size the input chooses, then, for every complete
// request, the target forms and the session header codec under the
// transforms the input chooses. Whatever comes in, the parser must end in a
// request whose body has its announced length or in one of its error
// statuses, and the codec must hand on either the content as it came or a
// content that still decodes to a well-formed message.
//
// Input: byte 0 = mode (bits 0-1: 0 none, 1 +4, 2 DES, 3 none; bit 2: zlib),
// byte 1 = piece size (0 = all at once), then the bytes a client sends.
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

#include "base/ByteIO.h"
#include "fuzz/ServerFuzzModes.h"
#include "messaging/RdaBodyTransforms.h"
#include "messaging/RdaWire.h"
#include "server/HttpRequest.h"
#include "server/ServerSession.h"
#include "server/TunnelCodec.h"

namespace {

constexpr size_t kMaxHead = 4096;
constexpr size_t kMaxBody = 1 << 16;

void CheckRequest(const rda::HttpRequest& r, rda::TunnelCodec& codec, rda::TRdaBodyTransforms& crypt) {
  const auto length = r.Header("Content-Length");
  if (!length || r.body.size() != std::stoul(*length)) abort();
  if (r.method != "POST" || r.minorVersion < 0 || r.minorVersion > 1) abort();

  const rda::TunnelTargetResult t = rda::ParseTunnelTarget(r.target, "isapi/RdaHttp.dll");
  if (t.target) {
    if (t.target->port < 1 || t.target->port > 65535 || t.target->address.empty()) abort();
    if (t.target->form != 1 && t.target->form != 2) abort();
  } else if (t.error.status != 400 && t.error.status != 404) {
    abort();
  }
  if (r.body.size() < rda::kFrameLengthSize) return;
  const std::string_view content = std::string_view(r.body).substr(rda::kFrameLengthSize);
  const rda::TunnelCodec::Request q = codec.ReadRequest(content);
  if (q.header == rda::TunnelCodec::HeaderKind::kNone) {
    if (q.content != content) abort();
  } else {
    // Taken off the header, the content decrypts to what followed it.
    const std::string plain = crypt.UnpackMessage(q.content);
    const std::string original = crypt.UnpackMessage(std::string(content));
    const size_t header = q.header == rda::TunnelCodec::HeaderKind::kLogin
                              ? rda::kLoginFormSize
                              : rda::kSessionIdFormSize;
    if (original.substr(header) != plain) abort();
    if (q.user.size() > rda::kMaxSessionUserName) abort();
    if (q.password.size() > rda::kMaxSessionPassword) abort();
    if (!q.token) abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t mode = data[0];
  const size_t piece = data[1];
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 2, size - 2);

  const rda::SessionSettings settings = rda::fuzz::SettingsForMode(mode);
  rda::TunnelCodec codec(settings, kMaxBody);
  rda::TRdaBodyTransforms crypt;  // encryption only, as the codec takes headers off
  rda::fuzz::ConfigureLike(crypt, settings, false);

  static const std::set<int> kStatuses = {400, 405, 411, 413, 417, 431, 505};
  rda::HttpRequestParser parser(kMaxHead, kMaxBody);
  size_t pos = 0;
  while (pos < bytes.size()) {
    const size_t n = piece == 0 ? bytes.size() - pos : std::min(piece, bytes.size() - pos);
    parser.Append(bytes.substr(pos, n));
    pos += n;
    parser.ContinueDue();
    while (parser.GetState() == rda::HttpRequestParser::State::kComplete)
      CheckRequest(parser.Take(), codec, crypt);
    if (parser.GetState() == rda::HttpRequestParser::State::kFailed) break;
  }
  if (parser.Finish() == rda::HttpRequestParser::State::kFailed) {
    if (!kStatuses.count(parser.Error().status)) abort();
    const std::string page = rda::HttpErrorResponse(1, parser.Error(), false);
    if (page.find("\r\n\r\nError ") == std::string::npos) abort();
  }
  return 0;
}
