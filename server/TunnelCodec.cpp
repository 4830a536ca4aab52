#include "server/TunnelCodec.h"

#include <algorithm>

#include "base/ByteIO.h"
#include "messaging/RdaParamList.h"
#include "messaging/RdaWire.h"
#include "messaging/RdaZLib.h"

namespace rda {

namespace {

// Login field 1: the client's login mode, "log in without a dialog".
constexpr int kLoginWithoutDialog = 1;
constexpr char kTunnelApplication[] = "RdaHttp";
// The ping's answer is a line of 50 header bytes and two short fields; with
// DES, zlib and the length fields it stays far below this.
constexpr size_t kMaxPingAnswer = 256;

// Token and id of a well-formed message: the short form, or a line whose
// descriptors lie inside it.
std::optional<std::pair<int, int32_t>> CheckLine(std::string_view m) {
  if (!TRdaStringLine::IsWellFormed(m)) return std::nullopt;
  if (FrameLengthAt(m) == kMarkerShortForm) return std::make_pair(int{tkShortForm}, 0);
  return std::make_pair(static_cast<int>(static_cast<uint8_t>(m[0])),
                        m.size() >= 5 ? LoadI32LE(m.data() + 1) : 0);
}

}  // namespace

TunnelCodec::TunnelCodec(const SessionSettings& settings, size_t maxMessage)
    : zlib_(settings.zlib), maxMessage_(maxMessage) {
  if (settings.encryption == etDESEncrypt) {
    crypt_.SetDESKey(settings.key);
    full_.SetDESKey(settings.key);
  } else {
    crypt_.SetEncryption(settings.encryption);
    full_.SetEncryption(settings.encryption);
  }
  if (zlib_) full_.SetCompression(acRdaZLib);
}

std::optional<std::pair<int, int32_t>> TunnelCodec::ReadMessage(std::string_view compressed) const {
  if (!zlib_) return CheckLine(compressed);
  try {
    return CheckLine(ZLibDecompress(compressed, maxMessage_));
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

TunnelCodec::Request TunnelCodec::ReadRequest(std::string_view content) {
  Request r;
  r.content = content;
  std::string plain;
  try {
    plain = crypt_.UnpackMessage(std::string(content));
  } catch (const std::exception&) {
    return r;  // not in the server's encryption: forwarded as it is
  }
  const std::string_view p = plain;
  std::optional<std::pair<int, int32_t>> message;
  if (const auto h = ReadSessionHeader(p)) {
    message = ReadMessage(p.substr(h->Size()));
    if (message) {
      r.header = h->Kind == shLogin ? HeaderKind::kLogin : HeaderKind::kSession;
      r.sessionId = h->SessionId;
      r.user = h->UserName;
      r.password = h->Password;
      plain.erase(0, h->Size());
    }
  }
  if (r.header == HeaderKind::kNone) {
    message = ReadMessage(p);
  } else {
    try {
      r.content = crypt_.PackMessage(std::move(plain));
    } catch (const std::exception&) {
      // Whatever decrypted encrypts again; should it not, forward as it came.
      r = Request{};
      r.content = content;
      return r;
    }
  }
  if (message) {
    r.token = message->first;
    r.msgId = message->second;
  }
  return r;
}

std::string TunnelCodec::ClientFrame(std::string_view content, std::optional<int32_t> sessionId,
                                     bool proxied) {
  std::string inner;
  inner.reserve((proxied ? kProxyPadding : 0) + (sessionId ? kSessionIdFormSize : 0) + content.size());
  if (proxied) inner.append(kProxyPadding, '\0');
  if (sessionId) inner += SessionIdHeader(*sessionId);
  inner += content;
  return Framed(inner);
}

std::string TunnelCodec::Pack(std::string line) { return Framed(full_.PackMessage(std::move(line))); }

std::optional<TRdaStringLine> TunnelCodec::Unpack(std::string_view content) {
  try {
    std::string body = full_.UnpackMessage(std::string(content));
    if (!CheckLine(body)) return std::nullopt;
    TRdaStringLine line;
    line.Parse(std::move(body));
    return line;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::string TunnelCodec::PingFrame(int32_t componentId) {
  TRdaStringLine line;
  line.SetToken(tkServerUtility);
  line.SetMsgId(componentId);
  line.AddField(suPing);
  line.AddField("");
  return Pack(line.Compose());
}

std::string TunnelCodec::LoginFrame(std::string_view user, std::string_view password) {
  TRdaStringLine line;
  line.SetToken(tkLogin);
  line.AddField(kLoginWithoutDialog);
  line.AddField(user);
  line.AddField(password);
  line.AddField(kTunnelApplication);
  line.AddField(std::string(1, kLoginParamsSeparator));  // no version, no login parameters
  return Pack(line.Compose());
}

bool TunnelCodec::IsPingAnswer(std::string_view content, int32_t componentId) {
  if (content.size() > kMaxPingAnswer) return false;
  auto line = Unpack(content);
  if (!line || line->Token() != tkCodedMessage || line->MsgId() != componentId) return false;
  try {
    return line->NextFieldInteger() == miPingAnswer;
  } catch (const std::exception&) {
    return false;
  }
}

std::optional<bool> TunnelCodec::LoginVerified(std::string_view content) {
  auto line = Unpack(content);
  if (!line || line->Token() != tkLogin) return std::nullopt;
  try {
    return line->NextFieldInteger() == kLoginVerified;
  } catch (const std::exception&) {
    return false;
  }
}

std::string TunnelCodec::SessionError(int32_t msgId, const std::string& text) {
  TRdaParamList errors;
  errors.CreateParam(ftString, "Error", ptInput).SetAsString(text);
  TRdaStringLine line;
  line.SetToken(tkAsyncException);
  line.SetMsgId(msgId);
  line.AddField(errors.ToText(false));
  line.AddField(kSessionErrorToken);
  return full_.PackMessage(line.Compose());
}

}  // namespace rda
