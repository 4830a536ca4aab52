// The message side of the HTTP tunnel, without any I/O: what the tunnel
// reads in a request's frame and what it writes into a response's frames.
//
// Session header (stateless HTTP clients): messaging/RdaWire.h has its
// layout and its codec, which client and server share.
//
// A stateless client puts the header in front of its (compressed) message
// and encrypts the two together; every message it receives starts with the
// 7-byte form in clear, in front of the encrypted message:
//
//   request frame content   = encrypt( header + compress(line) )
//   answer frame content    = header7(session id) + encrypt( compress(line) )
//
// The data server behind the tunnel knows nothing of headers: it gets
// encrypt(compress(line)) and answers in kind. So the tunnel decrypts a
// request, takes the header off, encrypts again, and puts the 7-byte form
// in front of each answer. It uses the server's own transforms, which must
// be those of the data servers it forwards to.
//
// A request is read as stateless when its decrypted content starts with a
// header of one of the two forms and what follows it is a well-formed
// message (a string line whose descriptors stay inside it, or the short
// form). A plain string line cannot pass for a header: the 7-byte form
// would need token 7, which no client sends, and the log-in form needs
// bytes 5 and 6 to be zero, which are the type and first start byte of a
// line's first descriptor (a start is at least 1).
//
// Answers through a proxy (request form 3, sent to the data port) carry
// five more bytes: the client drops five bytes in front of each message it
// takes out of such a response, so each frame there is
//
//   length(5 + n) + 5 zero bytes + the n bytes above.
//
// The end of an answer: after each request the tunnel sends the data
// server a ping (server utility request, code 19) under a component id of
// its own. A data server answers the requests of one connection in order,
// so the ping's answer (token 15, that id) comes after every answer to the
// request; the tunnel keeps it for itself.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "messaging/RdaBodyTransforms.h"
#include "messaging/RdaStringLine.h"
#include "server/ServerSession.h"

namespace rda {

class TunnelCodec {
 public:
  enum class HeaderKind { kNone, kSession, kLogin };

  struct Request {
    HeaderKind header = HeaderKind::kNone;
    int32_t sessionId = 0;
    std::string user;      // log-in form
    std::string password;  // log-in form
    std::string content;   // the frame content for the data server
    // Of the message, when it could be read (the server's transforms fit).
    std::optional<int> token;
    int32_t msgId = 0;
  };

  // Uses the transforms of settings (encryption, key, zlib); maxMessage
  // bounds an inflated message. One codec serves one thread.
  TunnelCodec(const SessionSettings& settings, size_t maxMessage);

  // Reads the content of a request's frame (without its length). Never
  // raises: content that does not decode is forwarded as it came, as a
  // request without a header.
  Request ReadRequest(std::string_view content);

  // The frame for the client of one answer frame's content from the data
  // server: the 7-byte header in front when the client is stateless
  // (sessionId given), the proxy padding when proxied.
  static std::string ClientFrame(std::string_view content, std::optional<int32_t> sessionId,
                                 bool proxied);

  // Framed messages for the data server: the end-of-answer ping, a log-in.
  std::string PingFrame(int32_t componentId);
  std::string LoginFrame(std::string_view user, std::string_view password);

  // Is this answer content the ping's answer for componentId? Cheap for
  // anything larger than such an answer can be.
  bool IsPingAnswer(std::string_view content, int32_t componentId);
  // For a login answer (token 17): whether it verified the user; nothing
  // for any other message.
  std::optional<bool> LoginVerified(std::string_view content);

  // The content of an asynchronous exception (token 64) with the error token
  // of a session error (kSessionErrorToken) and one error text, for the
  // request's component.
  std::string SessionError(int32_t msgId, const std::string& text);

 private:
  std::string Pack(std::string line);
  // The message of an answer, or nothing when it does not decode.
  std::optional<TRdaStringLine> Unpack(std::string_view content);
  // Inflates (when the server compresses) and checks a message; the token
  // and id when it is well formed.
  std::optional<std::pair<int, int32_t>> ReadMessage(std::string_view compressed) const;

  // Encryption only (no compression): for taking the header off.
  TRdaBodyTransforms crypt_;
  // The full transforms: for the messages the tunnel makes and reads.
  TRdaBodyTransforms full_;
  bool zlib_;
  size_t maxMessage_;
};

}  // namespace rda
