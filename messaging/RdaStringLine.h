// String lines and the message stack.
//
// Every message between client and data server is a string line: a token
// byte saying what the message is, the 32-bit id of the client component it
// concerns, and up to five fields of arbitrary bytes. On the wire:
//
//   offset size  field
//   0      1     token
//   1      4     component id (signed, little-endian)
//   5      9     field descriptor 1   (type: 1 byte, start: i32, end: i32)
//   14     9     field descriptor 2
//   23     9     field descriptor 3
//   32     9     field descriptor 4
//   41     9     field descriptor 5
//   50     n     field bytes, concatenated in field order
//
// Start and end are 1-based positions counted from the first byte after the
// header; a field's bytes run from start up to but not including end. A
// descriptor with no field behind it is all zeros; a start of 0 ends the
// field list. Nothing inside a field is escaped.
//
// Short form: a received message whose first four bytes read -3 (FD FF FF
// FF), or whose token byte is 43, has no header: it is token 43 and only
// its first four bytes are dropped.
//
// Tokens, markers and frame rules are named in RdaWire.h.
//
// The codec does no I/O: TRdaStringLine turns fields into bytes and back,
// TRdaMessageStack turns received bytes into framed messages.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "messaging/RdaWire.h"

namespace rda {

class TRdaStringLine {
 public:
  static constexpr int MinToken = 0;
  static constexpr int MaxToken = 70;
  static constexpr int kMaxFields = 5;
  static constexpr size_t kDescriptorSize = 1 + 4 + 4;
  static constexpr size_t kHeaderSize = 1 + 4 + kMaxFields * kDescriptorSize;  // 50
  static constexpr uint8_t kShortFormToken = tkShortForm;

  // Field type codes a sender may give (wire values, never renumber). Readers
  // never look at them.
  enum TLineFieldType : uint8_t {
    lfText = 0,     // bytes unchanged
    lfLines = 1,    // a string list: each line followed by CR LF
    lfLines2 = 2,   // as lfLines
    lfStream = 3,   // the whole content of a stream
    lfInteger = 6,  // decimal text
  };

  TRdaStringLine() = default;

  // Raises EStringLineException "BAD TOKEN VALUE" outside MinToken..MaxToken.
  void SetToken(int token);
  uint8_t Token() const { return token_; }
  void SetMsgId(int32_t id) { msgId_ = id; }
  int32_t MsgId() const { return msgId_; }
  // Fields added while building, or read so far while parsing (wraps to 0).
  int FieldIndex() const { return fieldIndex_; }
  // After parsing: how many fields the header names (the descriptors before the
  // first whose start is 0); 0 for the short form.
  int FieldCount() const;

  // Whether a message reads as a string line: the short form, or a header whose
  // token is at most MaxToken and whose descriptors all point inside the message.
  // Parse and the field readers check the same as they go; this checks a message
  // whole, without taking it apart.
  static bool IsWellFormed(std::string_view message);

  // Building. Each call appends one field; the sixth raises
  // EStringLineException "RDASTRINGLINE ERROR: Sending more the MaxFields!
  // Server & client may need to be rebuilt." and leaves the first five.
  void AddField(std::string_view text) { AddRawField(lfText, text); }
  void AddField(int32_t value);
  void AddField(const char* text) { AddField(std::string_view(text)); }
  void AddField(const std::string& text) { AddField(std::string_view(text)); }
  void AddLinesField(const std::vector<std::string>& lines, TLineFieldType type = lfLines);
  void AddStreamField(std::string_view content) { AddRawField(lfStream, content); }
  // Appends bytes already in the wire form of their type code; a code other
  // than 0, 1, 2, 3 and 6 raises EStringLineException
  // "RDASTRINGLINE ERROR: Bad DataType." and adds nothing.
  void AddRawField(uint8_t type, std::string_view bytes);

  // The whole message (header and field bytes); leaves the line empty and
  // ready for the next message (token and id are kept).
  std::string Compose();

  // Takes a received message apart. A message shorter than the header that
  // is not in the short form raises EStringLineException; so does a short
  // form of fewer than 4 bytes.
  void Parse(std::string message);

  // Reading the next field; after the last field reading starts again at
  // field 1. A descriptor that points outside the message raises
  // EStringLineException. NextFieldInteger raises EConvertError for text
  // that is not an optional sign and digits.
  std::string NextFieldText();
  int32_t NextFieldInteger();
  std::string NextFieldStream() { return NextFieldText(); }
  // As NextFieldText, but a field that runs to the end of the message takes
  // over the line's buffer instead of being copied (a large reply is not
  // copied again); the line then holds no message any more until the next
  // Parse. Other fields are copied as by NextFieldText.
  std::string TakeNextFieldText();

  // While building: the field bytes so far; after parsing: the bytes after
  // the header (after the four bytes of the short form).
  std::string_view Buffer() const { return std::string_view(data_).substr(bodyOffset_); }
  // The 50 header bytes (after composing or parsing).
  std::string_view Header() const { return {header_.data(), header_.size()}; }

 private:
  struct Descriptor {
    uint8_t type;
    int32_t start;
    int32_t end;
  };
  Descriptor DescriptorAt(int index) const;  // 1-based
  // The next field's position in data_ and its length, checked; advances
  // the field index. present is false when the descriptor names no field.
  struct FieldRange {
    bool present;
    size_t offset;
    size_t length;
  };
  FieldRange NextField();
  void SetDescriptor(int index, const Descriptor& d);
  void BeginFields();
  size_t FieldBytes() const { return data_.size() - bodyOffset_; }

  uint8_t token_ = 0;
  int32_t msgId_ = 0;
  int fieldIndex_ = 0;
  std::array<char, kHeaderSize> header_{};
  // While building, data_ keeps kHeaderSize spare bytes in front, so that
  // Compose writes the header in place instead of copying the fields.
  std::string data_;
  size_t bodyOffset_ = 0;
};

// Collects received bytes and cuts them into complete framed messages.
//
// A direct TCP frame is a 4-byte little-endian length L followed by L
// bytes. The stack also understands the frames of the other senders of the
// format: the -1 and -2 markers in front of a frame and, in the HTTP
// transport modes, HTTP response headers ending in "Content:\r\n\r\n".
// Several messages in one append and one message spread over many appends
// are both handled.
//
// Limits: a frame length outside 0..104857600 raises ERdaProtocolError
// "Invalid block size (%d)!"; the offending bytes stay buffered, so every
// later append raises again and the connection has to be dropped. HTTP
// headers are waited for up to kMaxHttpHeader bytes. So what the stack
// buffers never exceeds one frame limit plus one header.
class TRdaMessageStack {
 public:
  static constexpr int32_t kMaxBlockSize = kMaxFrameBody;
  static constexpr size_t kMaxHttpHeader = 16384;

  // TRdaTransportMode: 0 = direct TCP, 1 and 2 = the HTTP transports.
  void SetTransportMode(uint8_t mode) { transportMode_ = mode; }
  uint8_t TransportMode() const { return transportMode_; }

  // Adds received bytes and cuts out every complete message.
  void Append(std::string_view bytes);

  bool HasMessages() const { return !items_.empty(); }
  size_t Count() const { return items_.size(); }
  // Bytes received that do not yet form a complete message.
  size_t Used() const;
  // The whole size (its 4 length bytes included) of the plain frame being received,
  // once its length has come; 0 when no such frame is in progress.
  int64_t PendingFrameSize() const {
    return hasPending_ ? static_cast<int64_t>(pending_.size() + pendingNeed_ + kFrameLengthSize) : 0;
  }

  // Removes the oldest complete message and returns its body, with the
  // frame (and any HTTP headers) removed. Requires HasMessages().
  std::string PopMessage();

 private:
  struct Item {
    std::string bytes;
    bool length_removed;  // the 4 length bytes were dropped when cutting
  };
  enum class CutResult { kNeedMore, kMessage, kDroppedMarker };
  struct Cut {
    CutResult result = CutResult::kNeedMore;
    int64_t total = 0;   // bytes of the whole frame, when known
    bool plain = false;  // only the 4-byte length in front of the body
  };

  Cut CutOne(std::string_view bytes) const;
  // Cuts what it can from the front of bytes, advancing pos past every
  // message taken (also when a later frame raises).
  void CutMessages(std::string_view bytes, size_t& pos);
  size_t FillPending(std::string_view bytes);

  uint8_t transportMode_ = 0;
  std::deque<Item> items_;
  // Bytes received but not yet cut, from bufferOffset_ on.
  std::string buffer_;
  size_t bufferOffset_ = 0;
  // A plain frame whose length is known but whose body is still arriving:
  // the body goes straight here, sized once, without passing through buffer_.
  std::string pending_;
  size_t pendingNeed_ = 0;
  bool hasPending_ = false;
};

}  // namespace rda
