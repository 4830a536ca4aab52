#include "memdata/expr/RdaExprSemantics.h"

#include <array>
#include <cmath>
#include <ctime>
#include <limits>

#include "base/ByteIO.h"
#include "base/FieldType.h"
#include "base/Text.h"
#include "memdata/framework/Field.h"

namespace rda {

namespace {

// Windows-1252 upper case of every byte, made once.
const std::array<unsigned char, 256>& UpperTable() {
  static const std::array<unsigned char, 256> table = [] {
    std::array<unsigned char, 256> t{};
    for (int c = 0; c < 256; ++c) {
      t[static_cast<size_t>(c)] = static_cast<unsigned char>(ToUpperCp1252(static_cast<char>(c)));
    }
    return t;
  }();
  return table;
}

template <bool kFold>
bool LikeMatch(std::string_view text, std::string_view pattern) {
  const auto& upper = UpperTable();
  const auto same = [&](char a, char b) {
    if constexpr (kFold) {
      return upper[static_cast<unsigned char>(a)] == upper[static_cast<unsigned char>(b)];
    } else {
      return a == b;
    }
  };
  // Walks both; on a mismatch after a "%", the rest of the pattern is tried
  // one position further along the text.
  size_t t = 0;
  size_t p = 0;
  size_t starPattern = std::string_view::npos;
  size_t starText = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '%') {
      starPattern = ++p;
      starText = t;
    } else if (p < pattern.size() && (pattern[p] == '_' || same(pattern[p], text[t]))) {
      ++p;
      ++t;
    } else if (starPattern != std::string_view::npos) {
      p = starPattern;
      t = ++starText;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '%') ++p;
  return p == pattern.size();
}

}  // namespace

void RdaExprError(const std::string& message) { throw EDatabaseError(message); }

Variant RdaExprConstant(const TRdaExprTree& tree, uint16_t node) {
  const uint16_t type = tree.Field(node, 0);
  const uint16_t size = tree.Field(node, 1);
  const uint16_t at = tree.Field(node, 2);
  const auto bytes = [&](size_t n) { return tree.Literal(at, n).data(); };
  switch (type) {
    case ftString: {
      const std::string_view s = tree.Literal(at, size);
      return Variant(std::string(s.substr(0, s.find('\0'))));
    }
    case ftSmallint:
      return Variant(static_cast<int16_t>(LoadU16LE(bytes(2))));
    case ftInteger:
    case ftAutoInc:
      return Variant(LoadI32LE(bytes(4)));
    case ftWord:
      return Variant(LoadU16LE(bytes(2)));
    case ftBoolean:
      return Variant(*bytes(1) == 1);
    case ftFloat: {
      const uint64_t bits = LoadU64LE(bytes(8));
      double d;
      std::memcpy(&d, &bits, sizeof d);
      return Variant(d);
    }
    case ftBCD:
      return Variant(Bcd::FromBytes(tree.Literal(at, Bcd::kSize)));
    case ftDate:
      return Variant::FromDate(static_cast<double>(LoadI32LE(bytes(4))) - kRdaExprDateDelta);
    case ftTime:
      return Variant::FromDate(static_cast<double>(LoadU32LE(bytes(4))) / kMSecsPerDay);
    case ftDateTime: {
      const uint64_t bits = LoadU64LE(bytes(8));
      double ms;
      std::memcpy(&ms, &bits, sizeof ms);
      return Variant::FromDate(ms / kMSecsPerDay - kRdaExprDateDelta);
    }
    case ftLargeint:
      return Variant(static_cast<int64_t>(LoadU64LE(bytes(8))));
    case ftTimeStamp:
      return Variant(SqlTimeStamp::FromBytes(tree.Literal(at, SqlTimeStamp::kSize)));
    default:
      return Variant(type);
  }
}

int RdaExprThreeWay(const Variant& a, const Variant& b) {
  const bool nullA = a.IsClear();
  const bool nullB = b.IsClear();
  if (nullA || nullB) return nullA && nullB ? 0 : -1;
  try {
    switch (VarCompareValue(a, b)) {
      case vrEqual: return 0;
      case vrGreaterThan: return 1;
      default: return -1;
    }
  } catch (const Exception&) {
    return -1;
  }
}

bool RdaExprCompareHolds(uint32_t op, int c) {
  switch (op) {
    case coEQ: return c == 0;
    case coNE: return c != 0;
    case coGT: return c == 1;
    case coLT: return c == -1;
    case coGE: return c == 0 || c == 1;
    case coLE: return c == 0 || c == -1;
    default: return false;
  }
}

bool RdaExprLike(std::string_view text, std::string_view pattern, bool caseInsensitive) {
  if (pattern == "%") return true;
  if (pattern.empty() || text.empty()) return false;
  return caseInsensitive ? LikeMatch<true>(text, pattern) : LikeMatch<false>(text, pattern);
}

bool RdaExprTextEqual(std::string_view a, std::string_view b, bool caseInsensitive, uint16_t partial) {
  if (partial > 0) {
    a = a.substr(0, partial);
    b = b.substr(0, partial);
  }
  if (a.size() != b.size()) return false;
  if (!caseInsensitive) return a == b;
  const auto& upper = UpperTable();
  for (size_t i = 0; i < a.size(); ++i) {
    if (upper[static_cast<unsigned char>(a[i])] != upper[static_cast<unsigned char>(b[i])]) return false;
  }
  return true;
}

TRdaExprFunction RdaExprFunctionByName(std::string_view name) {
  static constexpr std::pair<const char*, TRdaExprFunction> kNames[] = {
      {"UPPER", efUpper},       {"LOWER", efLower},   {"SUBSTRING", efSubstring},
      {"TRIM", efTrim},         {"TRIMLEFT", efTrimLeft}, {"TRIMRIGHT", efTrimRight},
      {"YEAR", efYear},         {"MONTH", efMonth},   {"DAY", efDay},
      {"HOUR", efHour},         {"MINUTE", efMinute}, {"SECOND", efSecond},
      {"GETDATE", efGetDate},   {"DATE", efDate},     {"TIME", efTime},
  };
  for (const auto& [text, function] : kNames) {
    if (SameTextAscii(name, text)) return function;
  }
  return efUnknown;
}

bool RdaExprBlank(const Variant& v) {
  return v.IsClear() || (v.Type() == VarType::String && v.ToBytes().empty());
}

void RdaExprUpper(std::string_view text, std::string& out) {
  const auto& upper = UpperTable();
  out.resize(text.size());
  for (size_t i = 0; i < text.size(); ++i) out[i] = static_cast<char>(upper[static_cast<unsigned char>(text[i])]);
}

void RdaExprLower(std::string_view text, std::string& out) {
  out.resize(text.size());
  for (size_t i = 0; i < text.size(); ++i) out[i] = ToLowerCp1252(text[i]);
}

std::string_view RdaExprSubstring(std::string_view text, int64_t start, int64_t length) {
  const int64_t size = static_cast<int64_t>(text.size());
  if (start < 0) start += size + 1;
  if (length < 0) length = size;
  // The platform's copy: a start before the first character starts at it.
  const int64_t from = start < 1 ? 0 : start - 1;
  if (from >= size) return {};
  const int64_t count = std::min(length, size - from);
  return text.substr(static_cast<size_t>(from), static_cast<size_t>(count));
}

std::string_view RdaExprTrim(std::string_view text, std::string_view set, bool start, bool end) {
  if (start) {
    const size_t first = text.find_first_not_of(set);
    text = first == std::string_view::npos ? std::string_view() : text.substr(first);
  }
  if (end) {
    const size_t last = text.find_last_not_of(set);
    text = last == std::string_view::npos ? std::string_view() : text.substr(0, last + 1);
  }
  return text;
}

uint16_t RdaExprDatePart(TRdaExprFunction function, TDateTime value) {
  switch (function) {
    case efYear: return static_cast<uint16_t>(DecodeDate(value).Year);
    case efMonth: return static_cast<uint16_t>(DecodeDate(value).Month);
    case efDay: return static_cast<uint16_t>(DecodeDate(value).Day);
    case efHour: return static_cast<uint16_t>(DecodeTime(value).Hour);
    case efMinute: return static_cast<uint16_t>(DecodeTime(value).Minute);
    case efSecond: return static_cast<uint16_t>(DecodeTime(value).Second);
    default: return 0;
  }
}

int32_t RdaExprDayNumber(double value) {
  const double day = std::trunc(value);
  if (!(day >= std::numeric_limits<int32_t>::min() && day <= std::numeric_limits<int32_t>::max())) {
    throw EIntOverflow("Integer overflow");
  }
  return static_cast<int32_t>(day);
}

TDateTime RdaExprLocalToday() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return EncodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
}

void RdaExprAssign(TField& field, const Variant& value) {
  if (field.DataType() == ftLargeint) {
    if (value.IsClear()) {
      field.Clear();
      return;
    }
    switch (value.Type()) {
      case VarType::ShortInt:
      case VarType::SmallInt:
      case VarType::Integer:
      case VarType::Byte:
      case VarType::Word:
        field.SetAsInteger(value.ToInt32());
        return;
      case VarType::Single:
      case VarType::Double:
      case VarType::Currency:
        field.SetAsLargeInt(value.ToInt64());  // to the nearest, halves to even
        return;
      default:
        break;
    }
  }
  field.SetValue(value);
}

}  // namespace rda
