// Field descriptions and row data of a select's reply; the formats are at
// the top of RdaRowPacket.h.
#include "remotedata/RdaRowPacket.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "base/Bcd.h"
#include "base/ByteIO.h"
#include "base/Convert.h"
#include "base/Currency.h"
#include "base/DateTime.h"
#include "base/Exception.h"
#include "base/FieldType.h"
#include "base/SqlTimeStamp.h"
#include "base/Text.h"
#include "memdata/store/RdaBlobList.h"
#include "memdata/store/RdaDBList.h"
#include "memdata/store/RdaFList.h"
#include "messaging/RdaWire.h"

namespace rda {

namespace {

// The separators and markers of both texts are those of messaging/RdaWire.h.
static_assert(kBcdBytes == Bcd::kSize);

// What a description item reads as when its parts are missing or low.
constexpr int kDefaultType = ftString;
constexpr int kDefaultSize = 25;

// Date-time numbers inside the calendar the time stamps can hold: day 1
// (0001-01-01) to 9999-12-31.
constexpr double kFirstDay = -static_cast<double>(kDateDelta) + 1;
constexpr double kLastDayEnd = 2958466.0;

[[noreturn]] void Bad(const std::string& what) { throw ERdaProtocolError(what); }

// ---------------------------------------------------------------------------
// Field descriptions

// A name that no earlier field has (compared without regard to case).
std::string UniqueName(const std::string& name, std::vector<std::string>& seen) {
  std::string candidate = name;
  for (int n = 1; std::find(seen.begin(), seen.end(), LowerAscii(candidate)) != seen.end(); ++n)
    candidate = name + "_" + std::to_string(n);
  seen.push_back(LowerAscii(candidate));
  return candidate;
}

// ---------------------------------------------------------------------------
// Row data

// Bytes that end a run of plain text in the row data.
constexpr std::array<bool, 256> kSpecial = [] {
  std::array<bool, 256> t{};
  for (char c : {kValueEnd, kRowEnd, kDoubleMarker, kBinaryMarker, kBcdMarker, kCurrencyMarker})
    t[static_cast<unsigned char>(c)] = true;
  return t;
}();

// The special bytes as bits of a word, for a byte known to be below 9.
constexpr uint32_t kSpecialBelow9 = 1u << kValueEnd | 1u << kRowEnd | 1u << kDoubleMarker |
                                    1u << kBinaryMarker | 1u << kBcdMarker | 1u << kCurrencyMarker;

// The first special byte at or after p, or end. Eight bytes at a time: the
// word test flags every byte below 9 (all special bytes are), and its lowest
// flag is always a real one, so only the flagged bytes are looked at.
[[gnu::always_inline]] inline const char* FindSpecial(const char* p, const char* end) {
  constexpr uint64_t kOnes = 0x0101010101010101u;
  constexpr uint64_t kHigh = 0x8080808080808080u;
  while (end - p >= 8) {
    const uint64_t x = LoadU64LE(p);
    const uint64_t below9 = (x - kOnes * 9) & ~x & kHigh;
    if (below9 == 0) {
      p += 8;
      continue;
    }
    const char* hit = p + std::countr_zero(below9) / 8;
    if ((kSpecialBelow9 >> static_cast<unsigned char>(*hit)) & 1) return hit;
    p = hit + 1;
  }
  while (p < end && !kSpecial[static_cast<unsigned char>(*p)]) ++p;
  return p;
}

// The decimal integer of the text, 0 when it is not one that fits 32 bits
// (as StrToIntDef): plain digits of up to nine take the short way.
int32_t ParseInt32(std::string_view text) {
  if (!text.empty() && text.size() <= 9) {
    uint32_t v = 0;
    for (char c : text) {
      const auto digit = static_cast<uint32_t>(static_cast<unsigned char>(c) - '0');
      if (digit > 9) return StrToIntDef(text, 0);
      v = v * 10 + digit;
    }
    return static_cast<int32_t>(v);
  }
  return StrToIntDef(text, 0);
}

const Bcd& ZeroBcd() {
  static const Bcd zero = StrToBcd("0");
  return zero;
}

}  // namespace

// ---------------------------------------------------------------------------

std::vector<std::string> ParseFieldDescriptions(std::string_view text) {
  std::vector<std::string> lines;
  std::vector<std::string> seen;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find(kRowEnd, pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view item = text.substr(pos, end - pos);
    pos = end + 1;
    // name #2 type #2 size #2; a missing part is the empty text.
    std::string_view parts[3];
    size_t at = 0;
    for (auto& part : parts) {
      if (at > item.size()) break;
      size_t sep = item.find(kValueEnd, at);
      if (sep == std::string_view::npos) sep = item.size();
      part = item.substr(at, sep - at);
      at = sep + 1;
    }
    int type = StrToIntDef(parts[1], 0);
    if (type < 1) type = kDefaultType;
    int size = StrToIntDef(parts[2], 0);
    if (size < 1) size = kDefaultSize;
    const std::string name = UniqueName(std::string(parts[0]), seen);
    if (type > kMaxFieldType) {
      Bad("Field '" + name + "' is described with the unknown type code " + std::to_string(type));
    }
    if (RdaFieldDataSize(static_cast<uint8_t>(type), size) > kRdaMaxFieldBytes) {
      Bad("Field '" + name + "' is described with the size " + std::to_string(size) +
          ", more than a row can hold");
    }
    lines.push_back(name + "," + std::to_string(type) + "," + std::to_string(size));
  }
  return lines;
}

std::string FormatRowDouble(double value, char decimalSeparator) {
  if (value == 0) return {};
  if (!std::isfinite(value)) {
    FormatSettings format;
    format.DecimalSeparator = decimalSeparator;
    return FloatToStr(value, format);
  }
  // Fifteen significant digits and the decimal exponent.
  char sci[32];
  const auto sciEnd = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific, 14).ptr;
  const char* e = std::find(sci, sciEnd, 'e');
  int exponent = 0;
  std::from_chars(e + 1 + (e[1] == '+' ? 1 : 0), sciEnd, exponent);
  if (exponent >= 18) {
    FormatSettings format;
    format.DecimalSeparator = decimalSeparator;
    return FloatToStr(value, format);
  }
  std::string digits;  // plain decimal text with '.'
  if (exponent >= 15) {
    // More integer digits than significant ones: the rest are zeros.
    if (value < 0) digits.push_back('-');
    for (const char* c = sci; c != e; ++c)
      if (*c >= '0' && *c <= '9') digits.push_back(*c);
    digits.append(static_cast<size_t>(exponent - 14), '0');
  } else {
    char fixed[64];
    const int decimals = std::min(14 - exponent, 15);
    const auto fixedEnd = std::to_chars(fixed, fixed + sizeof fixed, value, std::chars_format::fixed, decimals).ptr;
    digits.assign(fixed, fixedEnd);
    if (digits.find('.') != std::string::npos) {
      while (digits.back() == '0') digits.pop_back();
      if (digits.back() == '.') digits.pop_back();
    }
  }
  std::string out;
  std::string_view rest = digits;
  if (rest.front() == '-') {
    out.push_back('-');
    rest.remove_prefix(1);
  }
  // "#" placeholders print no zero before the separator.
  if (rest.size() > 1 && rest[0] == '0' && rest[1] == '.') rest.remove_prefix(1);
  if (rest == "0") return {};  // rounded away entirely
  for (char c : rest) out.push_back(c == '.' ? decimalSeparator : c);
  return out;
}

// ---------------------------------------------------------------------------
// TRdaRowLoader

// How a field's value is stored; one entry per row store field.
enum class TRdaRowLoader::Store : uint8_t {
  kText,
  kWide,
  kInt16,
  kWord,
  kInt32,
  kInt64,
  kBoolean,
  kFloat,
  kBcdCurrency,
  kDate,
  kTime,
  kDateTime,
  kTimeStamp,
  kFmtBcd,
  kBytes,
  kBlob,
  kNothing,
};

TRdaRowLoader::Store TRdaRowLoader::StoreOf(uint8_t dataType) {
  switch (dataType & 0x7F) {
    case ftString:
    case ftFixedChar:
    case ftGuid:
      return Store::kText;
    case ftWideString:
      return Store::kWide;
    case ftSmallint:
      return Store::kInt16;
    case ftWord:
      return Store::kWord;
    case ftInteger:
    case ftAutoInc:
      return Store::kInt32;
    case ftLargeint:
      return Store::kInt64;
    case ftBoolean:
      return Store::kBoolean;
    case ftFloat:
    case ftCurrency:
      return Store::kFloat;
    case ftBCD:
      return Store::kBcdCurrency;
    case ftDate:
      return Store::kDate;
    case ftTime:
      return Store::kTime;
    case ftDateTime:
      return Store::kDateTime;
    case ftTimeStamp:
      return Store::kTimeStamp;
    case ftFMTBcd:
      return Store::kFmtBcd;
    case ftBytes:
    case ftVarBytes:
      return Store::kBytes;
    default:
      return IsRdaBlobFieldType(dataType) ? Store::kBlob : Store::kNothing;
  }
}

bool TRdaRowLoader::IsDateStore(Store s) {
  return s == Store::kDate || s == Store::kTime || s == Store::kDateTime || s == Store::kTimeStamp;
}

// A field's place in the row image, checked once when the loader is made, so
// that the hot stores write straight into a new row (whose image is all zero:
// every field empty and null).
struct TRdaRowLoader::Column {
  Store store = Store::kNothing;
  size_t offset = 0;    // of the value
  size_t size = 0;      // bytes of the value
  size_t nullByte = 0;  // the byte of the null flag word that holds the field's bit
  uint8_t nullMask = 0;
};

// One value of the row being read: text (in the packet or in scratch_), NULL,
// or a value that was one binary piece and nothing else. Only the members of
// its kind are set.
struct TRdaRowLoader::Value {
  enum Kind : uint8_t { kText, kScratchText, kNull, kDouble, kCurrency, kBcd, kSide };
  Kind kind = kText;
  size_t length = 0;  // kText, kScratchText
  union {
    const char* at = nullptr;  // kText: the text; kBcd: the 34 bytes
    size_t offset;             // kScratchText: where in scratch_
    double number;             // kDouble
    int64_t scaled;            // kCurrency
    size_t side;               // kSide: index in side_
  };
};

TRdaRowLoader::TRdaRowLoader(const TRdaDBList& store, TRdaBlobList& blobs,
                             const FormatSettings& format)
    : blobs_(blobs), format_(format), separator_(format.DecimalSeparator) {
  const TRdaFieldList& fields = store.FieldList();
  recordSize_ = static_cast<size_t>(store.RecordSize());
  const auto flags = static_cast<size_t>(store.NullFlagsOffset());
  columns_.resize(static_cast<size_t>(fields.Count()));
  for (int i = 0; i < fields.Count(); ++i) {
    const TRdaFieldItem& item = fields.Items(i);
    Column& c = columns_[static_cast<size_t>(i)];
    c.store = StoreOf(item.DataType());
    c.offset = static_cast<size_t>(std::max(item.Offset(), 0));
    c.size = static_cast<size_t>(std::max(item.DataSize(), 0));
    c.nullByte = flags + 4 * static_cast<size_t>(i / 32) + static_cast<size_t>(i % 32) / 8;
    c.nullMask = static_cast<uint8_t>(1u << (i % 8));
    if (item.Offset() < 0 || item.DataSize() < 0 || c.offset + c.size > flags || c.nullByte >= recordSize_)
      throw EDatabaseError("The row store's layout does not hold field '" + item.Name() + "'");
  }
  values_.resize(columns_.size());
}

TRdaRowLoader::~TRdaRowLoader() = default;

TRdaRowLoader::Result TRdaRowLoader::Load(std::string_view text, TRdaRowSink& sink) {
  Result result;
  const char* const begin = text.data();
  const char* const end = begin + text.size();
  const char* p = begin;

  while (p < end) {
    if (std::string_view(p, static_cast<size_t>(end - p)).starts_with(kEndRow)) {
      result.EndRowSeen = true;
      break;
    }
    row_ = result.RowsAdded + 1;
    valueCount_ = 0;
    side_.clear();
    scratch_.clear();
    // The values of one row, up to #4.
    for (;;) {
      const char* start = p;
      // Most binary values are one piece alone: read them without a detour.
      if (p < end && (*p == kDoubleMarker || *p == kCurrencyMarker) &&
          static_cast<size_t>(end - p) > 1 + kDoubleBytes &&
          p[1 + kDoubleBytes] == kValueEnd) {
        Value& v = AddValue();
        const uint64_t bits = LoadU64LE(p + 1);
        if (*p == kDoubleMarker) {
          v.kind = Value::kDouble;
          v.number = std::bit_cast<double>(bits);
        } else {
          v.kind = Value::kCurrency;
          v.scaled = static_cast<int64_t>(bits);
        }
        p += 10;
        continue;
      }
      p = FindSpecial(p, end);
      if (p == end) EndsInsideRow();
      if (*p == kValueEnd) {
        Value& v = AddValue();
        v.length = static_cast<size_t>(p - start);
        v.kind = v.length == 1 && *start == kNullValue ? Value::kNull : Value::kText;
        v.at = start;
        ++p;
        continue;
      }
      if (*p == kRowEnd) {  // text after the last #2 is no value
        ++p;
        break;
      }
      if (ReadPieceValue(start, p, end)) break;
    }
    TRdaDBListItem& row = sink.NewRow();
    FillRow(row);
    sink.RowFilled(row);
    ++result.RowsAdded;
    if (OnProgress) OnProgress(text.size(), static_cast<size_t>(p - begin));
  }
  return result;
}

inline TRdaRowLoader::Value& TRdaRowLoader::AddValue() {
  if (static_cast<size_t>(valueCount_) >= columns_.size()) {
    Bad("Row " + std::to_string(row_) + " of a row packet holds more values than the " +
        std::to_string(columns_.size()) + " fields described");
  }
  return values_[static_cast<size_t>(valueCount_++)];
}

void TRdaRowLoader::EndsInsideRow() const {
  Bad("The row data of a row packet ends inside row " + std::to_string(row_));
}

const char* TRdaRowLoader::Take(const char* at, const char* end, size_t n) const {
  if (static_cast<size_t>(end - at) < n) {
    Bad("The row data of a row packet ends inside a binary value of row " + std::to_string(row_));
  }
  return at;
}

bool TRdaRowLoader::ReadPieceValue(const char* start, const char*& p, const char* end) {
  const size_t scratchStart = scratch_.size();
  scratch_.append(start, p);
  bool alone = p == start;
  for (;;) {
    Value piece;
    const char marker = *p++;
    switch (marker) {
      case kDoubleMarker:
        piece.kind = Value::kDouble;
        piece.number = std::bit_cast<double>(LoadU64LE(Take(p, end, kDoubleBytes)));
        p += kDoubleBytes;
        break;
      case kCurrencyMarker:
        piece.kind = Value::kCurrency;
        piece.scaled = static_cast<int64_t>(LoadU64LE(Take(p, end, kCurrencyBytes)));
        p += kCurrencyBytes;
        break;
      case kBcdMarker:
        piece.kind = Value::kBcd;
        piece.at = Take(p, end, kBcdBytes);
        p += kBcdBytes;
        break;
      default: {  // kBinaryMarker
        const int32_t length = LoadI32LE(Take(p, end, kBinaryLengthBytes));
        p += kBinaryLengthBytes;
        if (length > 0) {  // else the piece adds nothing at all
          piece.kind = Value::kSide;
          piece.side = side_.size();
          side_.emplace_back(Take(p, end, static_cast<size_t>(length)), static_cast<size_t>(length));
          p += length;
        }
        break;
      }
    }
    if (alone && piece.kind != Value::kText && p < end && *p == kValueEnd) {
      AddValue() = piece;
      ++p;
      return false;
    }
    alone = false;
    scratch_ += PieceText(piece);
    const char* textStart = p;
    p = FindSpecial(p, end);
    if (p == end) EndsInsideRow();
    scratch_.append(textStart, p);
    if (*p == kValueEnd) {
      Value& v = AddValue();
      v.kind = Value::kScratchText;
      v.offset = scratchStart;
      v.length = scratch_.size() - scratchStart;
      ++p;
      return false;
    }
    if (*p == kRowEnd) {  // not terminated: no value, and the row ends
      scratch_.resize(scratchStart);
      ++p;
      return true;
    }
  }
}

std::string TRdaRowLoader::PieceText(const Value& piece) const {
  const FormatSettings& format = format_;
  switch (piece.kind) {
    case Value::kDouble:
      return FormatRowDouble(piece.number, separator_);
    case Value::kCurrency:
      return CurrToStr(Currency::FromScaled(piece.scaled), format);
    case Value::kBcd:
      return BcdToStr(Bcd::FromBytes({piece.at, Bcd::kSize}), format);
    case Value::kSide:
      return std::to_string(piece.side);
    default:
      return {};
  }
}

void TRdaRowLoader::FillRow(TRdaDBListItem& row) {
  if (row.DataLength() != recordSize_) throw EDatabaseError("A new row does not have the store's record size");
  Target t{row, row.Data()};
  const int count = static_cast<int>(columns_.size());
  for (int i = 0; i < count; ++i) {
    const Column& column = columns_[static_cast<size_t>(i)];
    if (column.store == Store::kNothing) continue;
    if (i < valueCount_) {
      StoreValue(t, i, column, values_[static_cast<size_t>(i)]);
    } else {
      StoreText(t, i, column, {});  // no terminated value: the empty text
    }
  }
}

// The stores of the common kinds, straight into the new row's image.
inline void TRdaRowLoader::SetFlag(const Target& t, const Column& c) {
  t.image[c.nullByte] = static_cast<char>(static_cast<uint8_t>(t.image[c.nullByte]) | c.nullMask);
}

inline void TRdaRowLoader::PutBytes(const Target& t, const Column& c, std::string_view bytes) {
  const size_t n = std::min(bytes.size(), c.size);
  if (n > 0) std::memcpy(t.image + c.offset, bytes.data(), n);
  SetFlag(t, c);
}

inline void TRdaRowLoader::PutU16(const Target& t, const Column& c, uint16_t v) {
  if (c.size >= 2) StoreU16LE(t.image + c.offset, v);
  SetFlag(t, c);
}

inline void TRdaRowLoader::PutU32(const Target& t, const Column& c, uint32_t v) {
  if (c.size >= 4) StoreU32LE(t.image + c.offset, v);
  SetFlag(t, c);
}

inline void TRdaRowLoader::PutU64(const Target& t, const Column& c, uint64_t v) {
  if (c.size >= 8) StoreU64LE(t.image + c.offset, v);
  SetFlag(t, c);
}

void TRdaRowLoader::StoreValue(const Target& t, int field, const Column& column, const Value& value) {
  const Store store = column.store;
  // Binary pieces that reach a field of their own kind directly.
  switch (value.kind) {
    case Value::kNull:
      return;  // every field of a new row is null already
    case Value::kText:
      StoreText(t, field, column, {value.at, value.length});
      return;
    case Value::kScratchText:
      StoreText(t, field, column, std::string_view(scratch_).substr(value.offset, value.length));
      return;
    case Value::kDouble:
      if (store == Store::kFloat) {
        PutU64(t, column, std::bit_cast<uint64_t>(value.number));
        return;
      }
      if (IsDateStore(store)) {
        StoreDate(t, field, column, value.number);
        return;
      }
      break;
    case Value::kCurrency:
      if (store == Store::kBcdCurrency) {
        PutU64(t, column, static_cast<uint64_t>(value.scaled));
        return;
      }
      if (store == Store::kFloat) {
        PutU64(t, column, std::bit_cast<uint64_t>(static_cast<double>(value.scaled) / Currency::kScale));
        return;
      }
      break;
    case Value::kSide:
      if (store == Store::kBytes || store == Store::kBlob) {
        StoreBytes(t, field, column, side_[value.side]);
        return;
      }
      break;
    case Value::kBcd:
      break;
  }
  // Everything else goes through its text.
  StoreText(t, field, column, PieceText(value));
}

void TRdaRowLoader::StoreBytes(const Target& t, int field, const Column& column, std::string_view bytes) {
  if (column.store == Store::kBytes) {
    PutBytes(t, column, bytes);
  } else {
    PutU32(t, column, static_cast<uint32_t>(blobs_.AddBlob(bytes, field + 1)));
  }
}

void TRdaRowLoader::StoreDate(const Target& t, int field, const Column& column, double d) {
  if (!(std::isfinite(d) && d >= kFirstDay && d < kLastDayEnd)) d = 0;
  switch (column.store) {
    case Store::kTimeStamp:
      t.row.SetTimeStamp(field, d == 0 ? SqlTimeStamp{} : DateTimeToSqlTimeStamp(d));
      return;
    case Store::kDate:
      // The day number from 0001-01-01 in the first four bytes; a whole day
      // needs no time of day.
      PutU64(t, column, static_cast<uint32_t>(d == std::trunc(d) ? static_cast<int32_t>(d) + kDateDelta
                                                                 : DateTimeToTimeStamp(d).Date));
      return;
    case Store::kTime:
      PutU32(t, column, static_cast<uint32_t>(DateTimeToTimeStamp(d).Time));
      return;
    default:
      PutU64(t, column, std::bit_cast<uint64_t>(TimeStampToMSecs(DateTimeToTimeStamp(d))));
      return;
  }
}

void TRdaRowLoader::StoreText(const Target& t, int field, const Column& column, std::string_view text) {
  switch (column.store) {
    case Store::kText:
      PutBytes(t, column, text);
      return;
    case Store::kWide:
      t.row.SetWideText(field, text);
      return;
    case Store::kInt16: {
      const int32_t v = ParseInt32(text);
      PutU16(t, column, static_cast<uint16_t>(v >= INT16_MIN && v <= INT16_MAX ? v : 0));
      return;
    }
    case Store::kWord: {
      const int32_t v = ParseInt32(text);
      PutU16(t, column, static_cast<uint16_t>(v >= 0 && v <= UINT16_MAX ? v : 0));
      return;
    }
    case Store::kInt32:
      PutU32(t, column, static_cast<uint32_t>(ParseInt32(text)));
      return;
    case Store::kInt64:
      PutU64(t, column, static_cast<uint64_t>(StrToInt64Def(text, 0)));
      return;
    case Store::kBoolean:
      PutU16(t, column, text == "1" ? 0xFFFF : 0);  // true is all bits set
      return;
    case Store::kFloat:
      PutU64(t, column, std::bit_cast<uint64_t>(TryStrToFloat(text, format_).value_or(0.0)));
      return;
    case Store::kBcdCurrency:
      PutU64(t, column, static_cast<uint64_t>(TryStrToCurr(text, format_).value_or(Currency{}).Scaled));
      return;
    case Store::kFmtBcd:
      t.row.SetBcd(field, TryStrToBcd(text, format_).value_or(ZeroBcd()));
      return;
    case Store::kDate:
    case Store::kTime:
    case Store::kDateTime:
    case Store::kTimeStamp:
      StoreDate(t, field, column, TryStrToFloat(text, format_).value_or(0.0));
      return;
    case Store::kBytes:
    case Store::kBlob: {
      // The text is an index into the side list; empty, or no such entry: NULL.
      const std::optional<int32_t> index = text.empty() ? std::nullopt : TryStrToInt(text);
      if (index && *index >= 0 && static_cast<size_t>(*index) < side_.size())
        StoreBytes(t, field, column, side_[static_cast<size_t>(*index)]);
      return;
    }
    case Store::kNothing:
      return;
  }
}

}  // namespace rda
