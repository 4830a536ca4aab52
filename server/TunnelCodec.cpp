#include "server/TunnelCodec.h"

#include <algorithm>

#include "base/ByteIO.h"
#include "messaging/RdaParamList.h"
#include "messaging/RdaZLib.h"

namespace rda {

namespace {

constexpr int kCodedMessage = 15;
constexpr int kLogin = 17;
constexpr int kServerUtility = 48;
constexpr int kAsyncException = 64;
constexpr int kUtilityPing = 19;
constexpr int kPingAnswerMsgId = -99999999;
// Login field 1: the client's login mode, "log in without a dialog".
constexpr int kLoginWithoutDialog = 1;
constexpr char kTunnelApplication[] = "RdaHttp";
// The ping's answer is a line of 50 header bytes and two short fields; with
// DES, zlib and the length fields it stays far below this.
constexpr size_t kMaxPingAnswer = 256;

// A length-prefixed string of at most max characters at p; nothing when the
// length byte claims more.
std::optional<std::string> ShortString(std::string_view field, size_t max) {
  const auto length = static_cast<uint8_t>(field[0]);
  if (length > max) return std::nullopt;
  return std::string(field.substr(1, length));
}

void PutShortString(std::string& out, std::string_view text, size_t max, size_t width) {
  const std::string_view cut = text.substr(0, std::min(text.size(), max));
  out += static_cast<char>(cut.size());
  out += cut;
  out.append(width - 1 - cut.size(), '\0');
}

// Token and id of a well-formed message: the short form, or a line whose
// descriptors lie inside it.
std::optional<std::pair<int, int32_t>> CheckLine(std::string_view m) {
  if (m.size() >= 4 && LoadI32LE(m.data()) == -3) return std::make_pair(43, 0);
  if (m.size() < TRdaStringLine::kHeaderSize) return std::nullopt;
  const auto token = static_cast<uint8_t>(m[0]);
  if (token > TRdaStringLine::MaxToken) return std::nullopt;
  const int64_t fieldBytes = static_cast<int64_t>(m.size() - TRdaStringLine::kHeaderSize);
  for (int i = 0; i < TRdaStringLine::kMaxFields; ++i) {
    const char* d = m.data() + 5 + i * TRdaStringLine::kDescriptorSize;
    const int32_t start = LoadI32LE(d + 1);
    const int32_t end = LoadI32LE(d + 5);
    if (start == 0) break;
    if (start < 1 || end < start || end - 1 > fieldBytes) return std::nullopt;
  }
  return std::make_pair(static_cast<int>(token), LoadI32LE(m.data() + 1));
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
  if (p.size() >= kSessionHeaderSize && LoadU16LE(p.data()) == kSessionHeaderSize && p[2] == 0) {
    message = ReadMessage(p.substr(kSessionHeaderSize));
    if (message) {
      r.header = HeaderKind::kSession;
      r.sessionId = LoadI32LE(p.data() + 3);
      plain.erase(0, kSessionHeaderSize);
    }
  } else if (p.size() >= kLoginHeaderSize && LoadU16LE(p.data()) == kLoginHeaderSize &&
             p[2] == 1 && LoadI32LE(p.data() + 3) == 0) {
    const auto user = ShortString(p.substr(7, 16), kMaxUserName);
    const auto password = ShortString(p.substr(23, 11), kMaxPassword);
    if (user && password) message = ReadMessage(p.substr(kLoginHeaderSize));
    if (message) {
      r.header = HeaderKind::kLogin;
      r.user = *user;
      r.password = *password;
      plain.erase(0, kLoginHeaderSize);
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

std::string TunnelCodec::SessionHeader(int32_t sessionId) {
  std::string h;
  ByteWriter w(h);
  w.PutI16(static_cast<int16_t>(kSessionHeaderSize));
  w.PutU8(0);
  w.PutI32(sessionId);
  return h;
}

std::string TunnelCodec::LoginHeader(std::string_view user, std::string_view password) {
  std::string h;
  ByteWriter w(h);
  w.PutI16(static_cast<int16_t>(kLoginHeaderSize));
  w.PutU8(1);
  w.PutI32(0);
  PutShortString(h, user, kMaxUserName, 16);
  PutShortString(h, password, kMaxPassword, 11);
  return h;
}

std::string TunnelCodec::ClientFrame(std::string_view content, std::optional<int32_t> sessionId,
                                     bool proxied) {
  const size_t size = content.size() + (sessionId ? kSessionHeaderSize : 0) +
                      (proxied ? kProxyPadding : 0);
  std::string frame;
  frame.reserve(4 + size);
  ByteWriter(frame).PutI32(static_cast<int32_t>(size));
  if (proxied) frame.append(kProxyPadding, '\0');
  if (sessionId) frame += SessionHeader(*sessionId);
  frame += content;
  return frame;
}

std::string TunnelCodec::Pack(std::string line) {
  std::string frame;
  const std::string packed = full_.PackMessage(std::move(line));
  ByteWriter(frame).PutI32(static_cast<int32_t>(packed.size()));
  return frame + packed;
}

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
  line.SetToken(kServerUtility);
  line.SetMsgId(componentId);
  line.AddField(kUtilityPing);
  line.AddField("");
  return Pack(line.Compose());
}

std::string TunnelCodec::LoginFrame(std::string_view user, std::string_view password) {
  TRdaStringLine line;
  line.SetToken(kLogin);
  line.AddField(kLoginWithoutDialog);
  line.AddField(user);
  line.AddField(password);
  line.AddField(kTunnelApplication);
  line.AddField("\x02");  // no version, no login parameters
  return Pack(line.Compose());
}

bool TunnelCodec::IsPingAnswer(std::string_view content, int32_t componentId) {
  if (content.size() > kMaxPingAnswer) return false;
  auto line = Unpack(content);
  if (!line || line->Token() != kCodedMessage || line->MsgId() != componentId) return false;
  try {
    return line->NextFieldInteger() == kPingAnswerMsgId;
  } catch (const std::exception&) {
    return false;
  }
}

std::optional<bool> TunnelCodec::LoginVerified(std::string_view content) {
  auto line = Unpack(content);
  if (!line || line->Token() != kLogin) return std::nullopt;
  try {
    return line->NextFieldInteger() == 1;
  } catch (const std::exception&) {
    return false;
  }
}

std::string TunnelCodec::SessionError(int32_t msgId, const std::string& text) {
  TRdaParamList errors;
  errors.CreateParam(ftString, "Error", ptInput).SetAsString(text);
  TRdaStringLine line;
  line.SetToken(kAsyncException);
  line.SetMsgId(msgId);
  line.AddField(errors.ToText(false));
  line.AddField(kSessionErrorToken);
  const std::string frame = Pack(line.Compose());
  return frame.substr(4);
}

}  // namespace rda
