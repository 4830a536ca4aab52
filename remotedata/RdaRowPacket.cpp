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
#include "memdata/RdaBlobList.h"
#include "memdata/RdaDBList.h"
#include "memdata/RdaFList.h"

namespace rda {

namespace {

// The separators and markers of both texts.
constexpr char kValueEnd = '\x02';
constexpr char kNullValue = '\x03';
constexpr char kRowEnd = '\x04';
constexpr char kDoublePiece = '\x05';
constexpr char kSidePiece = '\x06';
constexpr char kBcdPiece = '\x07';
constexpr char kCurrencyPiece = '\x08';
constexpr char kEndRow[] = "NULL\x04";
constexpr size_t kEndRowSize = 5;

constexpr size_t kDoubleSize = 8;
constexpr size_t kSideLengthSize = 4;
constexpr size_t kCurrencySize = 8;

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

std::string LowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

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
  for (char c : {kValueEnd, kRowEnd, kDoublePiece, kSidePiece, kBcdPiece, kCurrencyPiece})
    t[static_cast<unsigned char>(c)] = true;
  return t;
}();

// The first special byte at or after p, or end. Eight bytes at a time: the
// word test flags every byte below 9 (all special bytes are), and its lowest
// flag is always a real one, so only the flagged bytes are looked at.
const char* FindSpecial(const char* p, const char* end) {
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
    if (kSpecial[static_cast<unsigned char>(*hit)]) return hit;
    p = hit + 1;
  }
  while (p < end && !kSpecial[static_cast<unsigned char>(*p)]) ++p;
  return p;
}

// How a field's value is stored; one entry per row store field.
enum class Store : uint8_t {
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

Store StoreOf(uint8_t dataType) {
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

bool IsDateStore(Store s) {
  return s == Store::kDate || s == Store::kTime || s == Store::kDateTime || s == Store::kTimeStamp;
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

struct TRdaRowLoader::Column {
  Store store = Store::kNothing;
};

// One value of the row being read: text (in the packet or in scratch_), NULL,
// or a value that was one binary piece and nothing else.
struct TRdaRowLoader::Value {
  enum Kind : uint8_t { kText, kScratchText, kNull, kDouble, kCurrency, kBcd, kSide };
  Kind kind = kText;
  const char* at = nullptr;  // kText: the text; kBcd: the 34 bytes
  size_t offset = 0;         // kScratchText: where in scratch_
  size_t length = 0;         // kText, kScratchText
  double number = 0;         // kDouble
  int64_t scaled = 0;        // kCurrency
  int side = 0;              // kSide: index in side_
};

TRdaRowLoader::TRdaRowLoader(const TRdaDBList& store, TRdaBlobList& blobs,
                             const FormatSettings& format)
    : blobs_(blobs), format_(format), separator_(format.DecimalSeparator) {
  const TRdaFieldList& fields = store.FieldList();
  columns_.resize(static_cast<size_t>(fields.Count()));
  for (int i = 0; i < fields.Count(); ++i)
    columns_[static_cast<size_t>(i)].store = StoreOf(fields.Items(i).DataType());
  values_.resize(columns_.size());
}

TRdaRowLoader::~TRdaRowLoader() = default;

TRdaRowLoader::Result TRdaRowLoader::Load(std::string_view text, TRdaRowSink& sink) {
  Result result;
  const char* const begin = text.data();
  const char* const end = begin + text.size();
  const char* p = begin;

  while (p < end) {
    if (static_cast<size_t>(end - p) >= kEndRowSize && std::memcmp(p, kEndRow, kEndRowSize) == 0) {
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

TRdaRowLoader::Value& TRdaRowLoader::AddValue() {
  if (static_cast<size_t>(valueCount_) >= columns_.size()) {
    Bad("Row " + std::to_string(row_) + " of a row packet holds more values than the " +
        std::to_string(columns_.size()) + " fields described");
  }
  Value& v = values_[static_cast<size_t>(valueCount_++)];
  v = Value{};
  return v;
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
      case kDoublePiece:
        piece.kind = Value::kDouble;
        piece.number = std::bit_cast<double>(LoadU64LE(Take(p, end, kDoubleSize)));
        p += kDoubleSize;
        break;
      case kCurrencyPiece:
        piece.kind = Value::kCurrency;
        piece.scaled = static_cast<int64_t>(LoadU64LE(Take(p, end, kCurrencySize)));
        p += kCurrencySize;
        break;
      case kBcdPiece:
        piece.kind = Value::kBcd;
        piece.at = Take(p, end, Bcd::kSize);
        p += Bcd::kSize;
        break;
      default: {  // kSidePiece
        const int32_t length = LoadI32LE(Take(p, end, kSideLengthSize));
        p += kSideLengthSize;
        if (length > 0) {  // else the piece adds nothing at all
          piece.kind = Value::kSide;
          piece.side = static_cast<int>(side_.size());
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
  static const Value kEmpty;
  const int count = static_cast<int>(columns_.size());
  for (int i = 0; i < count; ++i) {
    const Column& column = columns_[static_cast<size_t>(i)];
    if (column.store == Store::kNothing) continue;
    StoreValue(row, i, column, i < valueCount_ ? values_[static_cast<size_t>(i)] : kEmpty);
  }
}

void TRdaRowLoader::StoreValue(TRdaDBListItem& row, int field, const Column& column,
                               const Value& value) {
  const Store store = column.store;
  // The NULL value: every field is null in a new row already.
  if (value.kind == Value::kNull) return;

  // Binary pieces that reach a field of their own kind directly.
  double number = 0;
  bool haveNumber = false;
  switch (value.kind) {
    case Value::kDouble:
      if (store == Store::kFloat || IsDateStore(store)) {
        number = value.number;
        haveNumber = true;
      }
      break;
    case Value::kCurrency:
      if (store == Store::kBcdCurrency) {
        row.SetInt64(field, value.scaled);
        return;
      }
      if (store == Store::kFloat) {
        number = static_cast<double>(value.scaled) / Currency::kScale;
        haveNumber = true;
      }
      break;
    case Value::kSide:
      if (store == Store::kBytes) {
        row.SetBytes(field, side_[static_cast<size_t>(value.side)]);
        return;
      }
      if (store == Store::kBlob) {
        row.SetInt32(field, blobs_.AddBlob(side_[static_cast<size_t>(value.side)], field + 1));
        return;
      }
      break;
    default:
      break;
  }

  // Everything else goes through its text.
  std::string converted;
  std::string_view text;
  if (!haveNumber) {
    switch (value.kind) {
      case Value::kText:
        text = {value.at, value.length};
        break;
      case Value::kScratchText:
        text = std::string_view(scratch_).substr(value.offset, value.length);
        break;
      default:
        converted = PieceText(value);
        break;
    }
    if (!converted.empty()) text = converted;
  }
  const FormatSettings& format = format_;

  switch (store) {
    case Store::kText:
      row.SetText(field, text);
      return;
    case Store::kWide:
      row.SetWideText(field, text);
      return;
    case Store::kInt16: {
      const int32_t v = StrToIntDef(text, 0);
      row.SetInt16(field, v >= INT16_MIN && v <= INT16_MAX ? static_cast<int16_t>(v) : int16_t{0});
      return;
    }
    case Store::kWord: {
      const int32_t v = StrToIntDef(text, 0);
      row.SetInt16(field, static_cast<int16_t>(v >= 0 && v <= UINT16_MAX ? static_cast<uint16_t>(v) : 0));
      return;
    }
    case Store::kInt32:
      row.SetInt32(field, StrToIntDef(text, 0));
      return;
    case Store::kInt64:
      row.SetInt64(field, StrToInt64Def(text, 0));
      return;
    case Store::kBoolean:
      row.SetBoolean(field, text == "1");
      return;
    case Store::kFloat:
      row.SetDouble(field, haveNumber ? number : TryStrToFloat(text, format).value_or(0.0));
      return;
    case Store::kBcdCurrency:
      row.SetInt64(field, TryStrToCurr(text, format).value_or(Currency{}).Scaled);
      return;
    case Store::kFmtBcd:
      row.SetBcd(field, TryStrToBcd(text, format).value_or(ZeroBcd()));
      return;
    case Store::kDate:
    case Store::kTime:
    case Store::kDateTime:
    case Store::kTimeStamp: {
      double d = haveNumber ? number : TryStrToFloat(text, format).value_or(0.0);
      if (!(std::isfinite(d) && d >= kFirstDay && d < kLastDayEnd)) d = 0;
      if (store == Store::kTimeStamp) {
        row.SetTimeStamp(field, d == 0 ? SqlTimeStamp{} : DateTimeToSqlTimeStamp(d));
        return;
      }
      const TTimeStamp ts = DateTimeToTimeStamp(d);
      if (store == Store::kDate) {
        row.SetInt64(field, static_cast<int64_t>(static_cast<uint32_t>(ts.Date)));
      } else if (store == Store::kTime) {
        row.SetInt32(field, ts.Time);
      } else {
        row.SetDouble(field, TimeStampToMSecs(ts));
      }
      return;
    }
    case Store::kBytes:
    case Store::kBlob: {
      if (text.empty()) return;  // NULL
      const std::optional<int32_t> index = TryStrToInt(text);
      if (!index || *index < 0 || static_cast<size_t>(*index) >= side_.size()) return;  // NULL
      const std::string_view bytes = side_[static_cast<size_t>(*index)];
      if (store == Store::kBytes) {
        row.SetBytes(field, bytes);
      } else {
        row.SetInt32(field, blobs_.AddBlob(bytes, field + 1));
      }
      return;
    }
    case Store::kNothing:
      return;
  }
}

}  // namespace rda
