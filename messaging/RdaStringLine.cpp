#include "messaging/RdaStringLine.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "base/ByteIO.h"
#include "base/Convert.h"
#include "base/Exception.h"
#include "base/Text.h"

namespace rda {

namespace {

constexpr char kMaxFieldsError[] =
    "RDASTRINGLINE ERROR: Sending more the MaxFields!  Server & client may need to be rebuilt.";
constexpr char kBadDataTypeError[] = "RDASTRINGLINE ERROR: Bad DataType.";
constexpr char kShortMessageError[] =
    "RDASTRINGLINE ERROR: Message shorter than its header.";
constexpr char kBadDescriptorError[] =
    "RDASTRINGLINE ERROR: Field descriptor outside the message.";

// Where descriptor `index` (1-based) starts in a header.
constexpr size_t DescriptorOffset(int index) {
  return 1 + 4 + static_cast<size_t>(index - 1) * TRdaStringLine::kDescriptorSize;
}

bool IsShortForm(std::string_view message) {
  return message.size() >= 4 && (LoadI32LE(message.data()) == kMarkerShortForm ||
                                 static_cast<uint8_t>(message[0]) == TRdaStringLine::kShortFormToken);
}

bool IsKnownFieldType(uint8_t type) {
  switch (type) {
    case TRdaStringLine::lfText:
    case TRdaStringLine::lfLines:
    case TRdaStringLine::lfLines2:
    case TRdaStringLine::lfStream:
    case TRdaStringLine::lfInteger:
      return true;
    default:
      return false;
  }
}

}  // namespace

void TRdaStringLine::SetToken(int token) {
  if (token < MinToken || token > MaxToken) throw EStringLineException("BAD TOKEN VALUE");
  token_ = static_cast<uint8_t>(token);
}

TRdaStringLine::Descriptor TRdaStringLine::DescriptorAt(int index) const {
  const char* p = header_.data() + DescriptorOffset(index);
  return {static_cast<uint8_t>(p[0]), LoadI32LE(p + 1), LoadI32LE(p + 5)};
}

void TRdaStringLine::SetDescriptor(int index, const Descriptor& d) {
  char* p = header_.data() + DescriptorOffset(index);
  p[0] = static_cast<char>(d.type);
  StoreI32LE(p + 1, d.start);
  StoreI32LE(p + 5, d.end);
}

void TRdaStringLine::BeginFields() {
  // The first field of a line starts a new message: fields and descriptors
  // go, the token and the id stay.
  data_.assign(kHeaderSize, '\0');
  bodyOffset_ = kHeaderSize;
  std::fill(header_.begin() + DescriptorOffset(1), header_.end(), '\0');
}

void TRdaStringLine::AddRawField(uint8_t type, std::string_view bytes) {
  if (fieldIndex_ == 0) BeginFields();
  if (fieldIndex_ >= kMaxFields) throw EStringLineException(kMaxFieldsError);
  if (!IsKnownFieldType(type)) throw EStringLineException(kBadDataTypeError);
  if (FieldBytes() + bytes.size() >= static_cast<size_t>(INT32_MAX))
    throw EStringLineException("RDASTRINGLINE ERROR: Message too large.");
  ++fieldIndex_;
  const auto start = static_cast<int32_t>(FieldBytes() + 1);
  data_.append(bytes);
  SetDescriptor(fieldIndex_, {type, start, static_cast<int32_t>(FieldBytes() + 1)});
}

void TRdaStringLine::AddField(int32_t value) { AddRawField(lfInteger, IntToStr(value)); }

void TRdaStringLine::AddLinesField(const std::vector<std::string>& lines, TLineFieldType type) {
  std::string text;
  for (const auto& line : lines) {
    text += line;
    text += "\r\n";
  }
  AddRawField(type, text);
}

std::string TRdaStringLine::Compose() {
  if (fieldIndex_ == 0 && bodyOffset_ != kHeaderSize) BeginFields();  // a line without fields
  header_[0] = static_cast<char>(token_);
  StoreI32LE(header_.data() + 1, msgId_);
  std::memcpy(data_.data(), header_.data(), kHeaderSize);
  std::string message = std::move(data_);
  data_.clear();
  bodyOffset_ = 0;
  fieldIndex_ = 0;
  return message;
}

void TRdaStringLine::Parse(std::string message) {
  header_.fill('\0');
  const bool short_form = IsShortForm(message);
  if (!short_form && message.size() < kHeaderSize) throw EStringLineException(kShortMessageError);
  if (message.size() < 4) throw EStringLineException(kShortMessageError);
  std::memcpy(header_.data(), message.data(), std::min(message.size(), kHeaderSize));
  token_ = short_form ? kShortFormToken : static_cast<uint8_t>(header_[0]);
  msgId_ = LoadI32LE(header_.data() + 1);
  fieldIndex_ = 0;
  data_ = std::move(message);
  bodyOffset_ = short_form ? 4 : kHeaderSize;
}

int TRdaStringLine::FieldCount() const {
  if (token_ == kShortFormToken) return 0;
  int count = 0;
  while (count < kMaxFields && DescriptorAt(count + 1).start != 0) ++count;
  return count;
}

bool TRdaStringLine::IsWellFormed(std::string_view m) {
  if (IsShortForm(m)) return true;
  if (m.size() < kHeaderSize || static_cast<uint8_t>(m[0]) > MaxToken) return false;
  const auto fieldBytes = static_cast<int64_t>(m.size() - kHeaderSize);
  for (int i = 1; i <= kMaxFields; ++i) {
    const char* d = m.data() + DescriptorOffset(i);
    const int32_t start = LoadI32LE(d + 1);
    const int32_t end = LoadI32LE(d + 5);
    if (start == 0) break;
    if (start < 1 || end < start || end - 1 > fieldBytes) return false;
  }
  return true;
}

TRdaStringLine::FieldRange TRdaStringLine::NextField() {
  ++fieldIndex_;
  const Descriptor d = DescriptorAt(fieldIndex_);
  if (fieldIndex_ == kMaxFields || DescriptorAt(fieldIndex_ + 1).start == 0) fieldIndex_ = 0;
  if (d.start == 0 && d.end == 0) return {false, 0, 0};  // no field here
  const auto size = static_cast<int64_t>(FieldBytes());
  if (d.start < 1 || d.end < d.start || d.end - 1 > size)
    throw EStringLineException(kBadDescriptorError);
  return {true, bodyOffset_ + static_cast<size_t>(d.start - 1), static_cast<size_t>(d.end - d.start)};
}

std::string TRdaStringLine::NextFieldText() {
  const FieldRange f = NextField();
  return f.present ? data_.substr(f.offset, f.length) : std::string();
}

std::string TRdaStringLine::TakeNextFieldText() {
  const FieldRange f = NextField();
  if (!f.present) return {};
  if (f.offset + f.length != data_.size()) return data_.substr(f.offset, f.length);
  std::string field = std::move(data_);
  data_ = std::string();
  header_.fill('\0');
  bodyOffset_ = 0;
  fieldIndex_ = 0;
  field.erase(0, f.offset);
  return field;
}

int32_t TRdaStringLine::NextFieldInteger() { return StrToInt(NextFieldText()); }

// ---------------------------------------------------------------------------
// TRdaMessageStack

namespace {

bool StartsWithHttp(std::string_view bytes) { return StartsTextAscii(bytes, "HTTP/"); }

bool IsHttpMode(uint8_t mode) { return mode == tmHttpProxy || mode == tmHttpWebServer; }

// A large message body is written once, front to back, into fresh memory;
// on Linux, backing it with huge pages saves most of the page faults that
// otherwise dominate receiving it. Only the whole pages inside the buffer
// are advised; the advice is a hint and its failure harmless.
void AdviseLargeBuffer([[maybe_unused]] char* data, [[maybe_unused]] size_t size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr size_t kHugePage = 2u << 20;
  if (size < 2 * kHugePage) return;
  const auto begin = reinterpret_cast<uintptr_t>(data);
  const uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
  const uintptr_t last = (begin + size) & ~(kHugePage - 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#endif
}

[[noreturn]] void InvalidBlockSize(int64_t size) {
  throw ERdaProtocolError("Invalid block size (" + std::to_string(size) + ")!");
}

}  // namespace

size_t TRdaMessageStack::Used() const {
  return buffer_.size() - bufferOffset_ + (hasPending_ ? pending_.size() + kFrameLengthSize : 0);
}

// The frame behind kMarkerExtended: the marker, 4 bytes, a flag byte (bit 0: the
// HTTP headers may come first), 7 bytes, the extra length E (i32), then E + 8 bytes
// before the frame length.
constexpr int64_t kExtendedHeaderSize = 20;
constexpr size_t kExtendedFlagOffset = 8;
constexpr size_t kExtendedLengthOffset = 16;
constexpr int64_t kExtendedExtraBytes = 8;

TRdaMessageStack::Cut TRdaMessageStack::CutOne(std::string_view v) const {
  constexpr auto kLength = static_cast<int64_t>(kFrameLengthSize);
  const size_t used = v.size();
  // Another sender's -1 -2 prefix: drop the -1 and look again.
  if (used >= 2 * kFrameLengthSize && LoadI32LE(v.data()) == kMarkerBlocking &&
      LoadI32LE(v.data() + kFrameLengthSize) == kMarkerExtended)
    return {CutResult::kDroppedMarker};
  if (used <= kFrameLengthSize) return {};

  int64_t skip = 0;
  int64_t extra = 0;
  bool marked = false;
  const int32_t first = LoadI32LE(v.data());
  if (first == kMarkerBlocking) {
    marked = true;
    skip = kLength;
  } else if (first == kMarkerExtended) {
    if (static_cast<int64_t>(used) < kExtendedHeaderSize) return {};
    marked = (static_cast<uint8_t>(v[kExtendedFlagOffset]) & 1) == 1;
    const int32_t e = LoadI32LE(v.data() + kExtendedLengthOffset);
    // A negative or oversized extra length would make the frame's extent
    // meaningless; refuse it like any other bad length.
    if (!IsFrameLength(e)) InvalidBlockSize(e);
    if (e > 0 && static_cast<int64_t>(used) < e + kExtendedHeaderSize) return {};
    extra = e + kExtendedExtraBytes;
    skip = kLength;
  }

  if ((IsHttpMode(transportMode_) || marked) && StartsWithHttp(v)) {
    const size_t i = v.find(kHttpContentMarker);
    if (i != std::string_view::npos) {
      skip += static_cast<int64_t>(i + kHttpContentMarker.size());
    } else if (used < kMaxHttpHeader) {
      return {};  // the headers are still arriving
    }
  }

  if (skip + kLength + extra > static_cast<int64_t>(used)) return {};
  const int32_t size = LoadI32LE(v.data() + skip);
  const bool plain = skip == 0 && extra == 0;
  skip += extra + kLength;
  if (!IsFrameLength(size)) InvalidBlockSize(size);
  const int64_t total = size + skip;
  if (total > static_cast<int64_t>(used)) return {CutResult::kNeedMore, total, plain};
  return {CutResult::kMessage, total, plain};
}

void TRdaMessageStack::CutMessages(std::string_view bytes, size_t& pos) {
  for (;;) {
    const std::string_view rest = bytes.substr(pos);
    const Cut cut = CutOne(rest);
    switch (cut.result) {
      case CutResult::kDroppedMarker:
        pos += 4;
        continue;
      case CutResult::kMessage:
        if (cut.plain) {
          items_.push_back({std::string(rest.substr(kFrameLengthSize, static_cast<size_t>(cut.total) - kFrameLengthSize)), true});
        } else {
          items_.push_back({std::string(rest.substr(0, static_cast<size_t>(cut.total))), false});
        }
        pos += static_cast<size_t>(cut.total);
        continue;
      case CutResult::kNeedMore:
        if (cut.plain && cut.total > 0) {
          // The body's size is known: collect it in place from here on.
          const std::string_view body = rest.substr(kFrameLengthSize);
          pendingNeed_ = static_cast<size_t>(cut.total) - kFrameLengthSize;
          pending_.clear();
          pending_.reserve(pendingNeed_);
          AdviseLargeBuffer(pending_.data(), pendingNeed_);
          pending_.append(body);
          pendingNeed_ -= body.size();
          hasPending_ = true;
          pos = bytes.size();
        }
        return;
    }
  }
}

size_t TRdaMessageStack::FillPending(std::string_view bytes) {
  const size_t take = std::min(bytes.size(), pendingNeed_);
  pending_.append(bytes.substr(0, take));
  pendingNeed_ -= take;
  if (pendingNeed_ == 0) {
    items_.push_back({std::move(pending_), true});
    pending_ = std::string();
    hasPending_ = false;
  }
  return take;
}

void TRdaMessageStack::Append(std::string_view bytes) {
  if (bytes.empty()) return;
  if (hasPending_) {
    bytes.remove_prefix(FillPending(bytes));
    if (bytes.empty()) return;
  }
  if (bufferOffset_ == buffer_.size()) {
    // Nothing buffered: cut straight from the received bytes and keep only
    // the incomplete tail.
    buffer_.clear();
    bufferOffset_ = 0;
    size_t consumed = 0;
    try {
      CutMessages(bytes, consumed);
    } catch (...) {
      // Keep the offending bytes, so the next append fails the same way.
      buffer_.assign(bytes.substr(consumed));
      throw;
    }
    buffer_.assign(bytes.substr(consumed));
    return;
  }
  buffer_.append(bytes);
  size_t consumed = 0;
  try {
    CutMessages(std::string_view(buffer_).substr(bufferOffset_), consumed);
  } catch (...) {
    bufferOffset_ += consumed;  // messages cut before the bad frame stay cut
    throw;
  }
  bufferOffset_ += consumed;
  if (bufferOffset_ == buffer_.size()) {
    buffer_.clear();
    bufferOffset_ = 0;
  } else if (bufferOffset_ > 0) {
    buffer_.erase(0, bufferOffset_);
    bufferOffset_ = 0;
  }
}

std::string TRdaMessageStack::PopMessage() {
  Item item = std::move(items_.front());
  items_.pop_front();
  std::string& m = item.bytes;
  size_t cut = 0;
  if (!item.length_removed) {
    if (IsHttpMode(transportMode_) && StartsWithHttp(m)) {
      const size_t end =
          std::string_view(m).substr(0, std::min(m.size(), kMaxHttpHeader)).find("\r\n\r\n");
      if (end != std::string::npos) cut = end + 4;
    }
    cut += kFrameLengthSize;
  }
  if (transportMode_ == tmHttpProxy) cut += kProxyPadding;
  m.erase(0, std::min(cut, m.size()));
  return std::move(m);
}

}  // namespace rda
