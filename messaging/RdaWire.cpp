#include "messaging/RdaWire.h"

#include <algorithm>

#include "base/ByteIO.h"

namespace rda {

namespace {

// A length byte and at most width - 1 characters, filled up with zero bytes to width.
void PutShortString(ByteWriter& w, std::string_view text, size_t width) {
  const std::string_view cut = text.substr(0, std::min(text.size(), width - 1));
  w.PutU8(static_cast<uint8_t>(cut.size()));
  w.PutBytes(cut);
  for (size_t i = cut.size() + 1; i < width; ++i) w.PutU8(0);
}

// The length-prefixed string of a field of width bytes; nothing when the length byte
// claims more than the field holds.
std::optional<std::string> ShortString(std::string_view field, size_t width) {
  const auto length = static_cast<uint8_t>(field[0]);
  if (length > width - 1) return std::nullopt;
  return std::string(field.substr(1, length));
}

}  // namespace

void AppendFrame(std::string& out, std::string_view body) {
  ByteWriter(out).PutI32(static_cast<int32_t>(body.size()));
  out.append(body);
}

std::string Framed(std::string_view body) {
  std::string out;
  out.reserve(kFrameLengthSize + body.size());
  AppendFrame(out, body);
  return out;
}

std::optional<int32_t> FrameLengthAt(std::string_view bytes) {
  if (bytes.size() < kFrameLengthSize) return std::nullopt;
  return LoadI32LE(bytes.data());
}

std::string SessionIdHeader(int32_t sessionId) {
  std::string h;
  ByteWriter w(h);
  w.PutI16(static_cast<int16_t>(kSessionIdFormSize));
  w.PutU8(shSessionId);
  w.PutI32(sessionId);
  return h;
}

std::string LoginHeader(std::string_view userName, std::string_view password) {
  std::string h;
  ByteWriter w(h);
  w.PutI16(static_cast<int16_t>(kLoginFormSize));
  w.PutU8(shLogin);
  w.PutI32(0);
  PutShortString(w, userName, kSessionUserField);
  PutShortString(w, password, kSessionPasswordField);
  return h;
}

std::optional<TRdaSessionHeader> ReadSessionHeader(std::string_view bytes) {
  if (bytes.size() < kSessionIdFormSize) return std::nullopt;
  TRdaSessionHeader h;
  const uint16_t size = LoadU16LE(bytes.data());
  const auto kind = static_cast<uint8_t>(bytes[2]);
  h.SessionId = LoadI32LE(bytes.data() + 3);
  if (size == kSessionIdFormSize && kind == shSessionId) return h;
  if (size != kLoginFormSize || kind != shLogin || h.SessionId != 0 || bytes.size() < kLoginFormSize)
    return std::nullopt;
  auto user = ShortString(bytes.substr(kSessionIdFormSize, kSessionUserField), kSessionUserField);
  auto password = ShortString(bytes.substr(kSessionIdFormSize + kSessionUserField, kSessionPasswordField),
                              kSessionPasswordField);
  if (!user || !password) return std::nullopt;
  h.Kind = shLogin;
  h.UserName = std::move(*user);
  h.Password = std::move(*password);
  return h;
}

}  // namespace rda
