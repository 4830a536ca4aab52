#include "server/RowPacket.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cmath>
#include <limits>

#include "base/Bcd.h"
#include "base/ByteIO.h"
#include "base/CodePage.h"
#include "base/Convert.h"
#include "base/Currency.h"
#include "base/Exception.h"
#include "base/Text.h"

namespace rda {

namespace {


constexpr double kUnixEpochAsDateTime = 25569.0;        // 1970-01-01, days since 1899-12-30
constexpr double kJulianDayOfDateTimeZero = 2415018.5;  // julian day of 1899-12-30 00:00
constexpr double kSecondsPerDay = 86400.0;

// What a declared type asks for, before the known values refine it.
enum class Kind { kAuto, kBoolean, kDate, kTime, kDateTime, kGuid, kCurrency, kDecimal,
                  kInteger, kFloat, kString, kMemo, kBlob };

struct Declared {
  Kind kind = Kind::kAuto;
  TFieldType integerBase = ftInteger;  // narrowest integer type for kInteger
  int length = 0;                      // CHAR(n); 0 when not given
  int scale = -1;                      // DECIMAL(p, s); -1 when not given
};

bool Has(std::string_view upper, std::string_view word) {
  return upper.find(word) != std::string_view::npos;
}

// The numbers in "NAME(a)" or "NAME(a, b)"; first is 0 and second -1 when absent.
void ReadTypeArguments(std::string_view text, int& first, int& second) {
  first = 0;
  second = -1;
  const size_t open = text.find('(');
  if (open == std::string_view::npos) return;
  std::string_view inside = text.substr(open + 1);
  inside = inside.substr(0, inside.find(')'));
  const size_t comma = inside.find(',');
  first = std::clamp(StrToIntDef(TrimBlanks(inside.substr(0, comma)), 0), 0, 1 << 20);
  if (comma != std::string_view::npos)
    second = std::clamp(StrToIntDef(TrimBlanks(inside.substr(comma + 1)), -1), -1, 63);
}

// SQLite's own affinity rules decide integer, text, blob and real; the names
// it does not know (dates, money, booleans, GUIDs) are looked for first.
Declared ReadDeclared(std::string_view declared) {
  const std::string upper = UpperAscii(declared);
  Declared d;
  int first = 0;
  int second = -1;
  ReadTypeArguments(upper, first, second);
  if (upper.empty()) return d;
  if (Has(upper, "BOOL")) {
    d.kind = Kind::kBoolean;
  } else if (Has(upper, "DATETIME") || Has(upper, "TIMESTAMP")) {
    d.kind = Kind::kDateTime;
  } else if (Has(upper, "DATE")) {
    d.kind = Kind::kDate;
  } else if (Has(upper, "TIME")) {
    d.kind = Kind::kTime;
  } else if (Has(upper, "GUID") || Has(upper, "UUID") || Has(upper, "UNIQUEIDENTIFIER")) {
    d.kind = Kind::kGuid;
  } else if (Has(upper, "MONEY") || Has(upper, "CURRENCY")) {
    d.kind = Kind::kCurrency;
  } else if (Has(upper, "DEC") || Has(upper, "NUMERIC")) {
    // Without a scale a NUMERIC column holds SQLite integers and reals.
    if (second < 0) {
      d.kind = Kind::kFloat;
    } else if (second == 0 && first <= 18) {
      d.kind = Kind::kInteger;
    } else {
      d.kind = Kind::kDecimal;
      d.scale = second;
    }
  } else if (Has(upper, "INT")) {
    d.kind = Kind::kInteger;
    if (Has(upper, "BIGINT") || Has(upper, "INT8")) {
      d.integerBase = ftLargeint;
    } else if (Has(upper, "SMALLINT") || Has(upper, "TINYINT") || Has(upper, "INT2")) {
      d.integerBase = ftSmallint;
    }
  } else if (Has(upper, "CLOB") || Has(upper, "MEMO") || Has(upper, "LONGTEXT")) {
    d.kind = Kind::kMemo;
  } else if (Has(upper, "CHAR") || Has(upper, "TEXT")) {
    d.kind = Kind::kString;
    d.length = first;
  } else if (Has(upper, "BLOB") || Has(upper, "BINARY") || Has(upper, "BYTEA") ||
             Has(upper, "IMAGE")) {
    d.kind = Kind::kBlob;
  } else if (Has(upper, "REAL") || Has(upper, "FLOA") || Has(upper, "DOUB")) {
    d.kind = Kind::kFloat;
  }
  return d;
}

// ---- Reading values as a kind (the same readers decide and encode) --------

std::optional<int64_t> AsInteger(const SqlValue& v) {
  switch (v.storage) {
    case SqlValue::kInteger:
      return v.integer;
    case SqlValue::kReal:
      if (!std::isfinite(v.real) || v.real >= 9.2233720368547758e18 || v.real < -9.2233720368547758e18)
        return std::nullopt;
      return static_cast<int64_t>(v.real);
    case SqlValue::kText:
      return TryStrToInt64(v.bytes);
    default:
      return std::nullopt;
  }
}

std::optional<double> TextToDouble(std::string_view text) {
  text = TrimBlanks(text);
  if (text.empty()) return std::nullopt;
  double d = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), d);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return d;
}

std::optional<double> AsDouble(const SqlValue& v) {
  switch (v.storage) {
    case SqlValue::kInteger:
      return static_cast<double>(v.integer);
    case SqlValue::kReal:
      return v.real;
    case SqlValue::kText:
      return TextToDouble(v.bytes);
    default:
      return std::nullopt;
  }
}

std::optional<bool> AsBoolean(const SqlValue& v) {
  switch (v.storage) {
    case SqlValue::kInteger:
      return v.integer != 0;
    case SqlValue::kReal:
      return v.real != 0;
    case SqlValue::kText: {
      const std::string t = LowerAscii(TrimBlanks(v.bytes));
      if (t == "1" || t == "true" || t == "t" || t == "yes" || t == "y") return true;
      if (t == "0" || t == "false" || t == "f" || t == "no" || t == "n") return false;
      return std::nullopt;
    }
    default:
      return std::nullopt;
  }
}

std::optional<Currency> AsCurrency(const SqlValue& v) {
  try {
    switch (v.storage) {
      case SqlValue::kInteger:
        if (v.integer > std::numeric_limits<int64_t>::max() / Currency::kScale ||
            v.integer < std::numeric_limits<int64_t>::min() / Currency::kScale)
          return std::nullopt;
        return Currency::FromScaled(v.integer * Currency::kScale);
      case SqlValue::kReal:
        return Currency::FromDouble(v.real);
      case SqlValue::kText:
        return TryStrToCurr(TrimBlanks(v.bytes));
      default:
        return std::nullopt;
    }
  } catch (const Exception&) {
    return std::nullopt;
  }
}

std::optional<Bcd> AsBcd(const SqlValue& v) {
  try {
    switch (v.storage) {
      case SqlValue::kInteger:
        return StrToBcd(IntToStr(v.integer));
      case SqlValue::kReal:
        return DoubleToBcd(v.real);
      case SqlValue::kText:
        return TryStrToBcd(TrimBlanks(v.bytes));
      default:
        return std::nullopt;
    }
  } catch (const Exception&) {
    return std::nullopt;
  }
}

// SQLite's three date forms: ISO text, a julian day number (real) and unix
// seconds (integer).
std::optional<TDateTime> AsDateTime(const SqlValue& v) {
  switch (v.storage) {
    case SqlValue::kInteger:
      return kUnixEpochAsDateTime + static_cast<double>(v.integer) / kSecondsPerDay;
    case SqlValue::kReal:
      if (!std::isfinite(v.real)) return std::nullopt;
      return v.real - kJulianDayOfDateTimeZero;
    case SqlValue::kText:
      return ParseIsoDateTime(TrimBlanks(v.bytes));
    default:
      return std::nullopt;
  }
}

std::string RealToText(double d) {
  char buf[64];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d);
  return ec == std::errc() ? std::string(buf, end) : std::string();
}

// The value as text in the system's code page.
std::string AsText(const SqlValue& v) {
  switch (v.storage) {
    case SqlValue::kInteger:
      return IntToStr(v.integer);
    case SqlValue::kReal:
      return RealToText(v.real);
    case SqlValue::kText:
      return HasHighBytes(v.bytes) ? Utf8ToCp1252(v.bytes) : v.bytes;
    case SqlValue::kBlob:
      return v.bytes;
    default:
      return {};
  }
}

// The bytes a blob-like field carries: blobs and UTF-8 text as stored.
std::string AsBytes(const SqlValue& v) {
  return v.storage == SqlValue::kText || v.storage == SqlValue::kBlob ? v.bytes : AsText(v);
}

// ---- Refining a kind by the known values ------------------------------------

TFieldType NarrowestInteger(TFieldType base, int64_t lo, int64_t hi) {
  auto fits = [&](int64_t min, int64_t max) { return lo >= min && hi <= max; };
  if (base == ftSmallint && fits(INT16_MIN, INT16_MAX)) return ftSmallint;
  if (base != ftLargeint && fits(INT32_MIN, INT32_MAX)) return ftInteger;
  return ftLargeint;
}

struct Known {
  const std::vector<SqlRow>& rows;
  size_t column;

  template <typename Pred>
  bool All(Pred pred) const {
    for (const auto& row : rows) {
      const SqlValue& v = row[column];
      if (v.storage != SqlValue::kNull && !pred(v)) return false;
    }
    return true;
  }
  bool AnyStorage(SqlValue::Storage s) const {
    return !All([s](const SqlValue& v) { return v.storage != s; });
  }
  SqlValue::Storage FirstStorage() const {
    for (const auto& row : rows)
      if (row[column].storage != SqlValue::kNull) return row[column].storage;
    return SqlValue::kNull;
  }
  size_t LongestText() const {
    size_t n = 0;
    All([&n](const SqlValue& v) {
      n = std::max(n, AsText(v).size());
      return true;
    });
    return n;
  }
};

// open: the column may later hold longer text than the known values (more
// packets to come, or a text column without a declared length that a client
// edits).
ColumnSpec StringColumn(ColumnSpec spec, const Known& known, int declaredLength, bool open) {
  size_t size = std::max<size_t>(static_cast<size_t>(declaredLength), known.LongestText());
  if (open && declaredLength == 0) size = std::max<size_t>(size, kOpenStringSize);
  if (size > static_cast<size_t>(kLongestStringField)) {
    spec.type = ftMemo;
    spec.size = 0;
    return spec;
  }
  spec.type = ftString;
  spec.size = static_cast<int>(std::max<size_t>(size, 1));
  return spec;
}

}  // namespace

ColumnSpec DecideColumn(std::string_view name, std::string_view declared,
                        const std::vector<SqlRow>& rows, size_t column, bool complete) {
  ColumnSpec spec;
  spec.name = HasHighBytes(name) ? Utf8ToCp1252(name) : std::string(name);
  const Known known{rows, column};
  Declared d = ReadDeclared(declared);
  const bool declaredText = d.kind == Kind::kString;
  // A blob among the known values keeps its bytes only as a blob.
  if (d.kind != Kind::kMemo && known.AnyStorage(SqlValue::kBlob)) d.kind = Kind::kBlob;
  if (d.kind == Kind::kAuto) {
    switch (known.FirstStorage()) {
      case SqlValue::kInteger: d.kind = Kind::kInteger; break;
      case SqlValue::kReal: d.kind = Kind::kFloat; break;
      default: d.kind = Kind::kString; break;
    }
  }

  switch (d.kind) {
    case Kind::kInteger: {
      if (known.AnyStorage(SqlValue::kText)) return StringColumn(spec, known, 0, !complete);
      if (known.AnyStorage(SqlValue::kReal)) {
        spec.type = ftFloat;
        return spec;
      }
      int64_t lo = 0;
      int64_t hi = 0;
      known.All([&](const SqlValue& v) {
        lo = std::min(lo, v.integer);
        hi = std::max(hi, v.integer);
        return true;
      });
      spec.type = complete ? NarrowestInteger(d.integerBase, lo, hi) : ftLargeint;
      return spec;
    }
    case Kind::kFloat:
      if (!known.All([](const SqlValue& v) { return AsDouble(v).has_value(); }))
        return StringColumn(spec, known, 0, !complete);
      spec.type = ftFloat;
      return spec;
    case Kind::kBoolean:
      if (!known.All([](const SqlValue& v) { return AsBoolean(v).has_value(); }))
        return StringColumn(spec, known, 0, !complete);
      spec.type = ftBoolean;
      return spec;
    case Kind::kDate:
    case Kind::kTime:
    case Kind::kDateTime:
      if (!known.All([](const SqlValue& v) { return AsDateTime(v).has_value(); }))
        return StringColumn(spec, known, 0, !complete);
      spec.type = d.kind == Kind::kDate ? ftDate : d.kind == Kind::kTime ? ftTime : ftDateTime;
      return spec;
    case Kind::kCurrency:
      if (!known.All([](const SqlValue& v) { return AsCurrency(v).has_value(); })) {
        if (known.All([](const SqlValue& v) { return AsBcd(v).has_value(); })) {
          spec.type = ftFMTBcd;
          spec.size = 4;
          return spec;
        }
        return StringColumn(spec, known, 0, !complete);
      }
      spec.type = ftCurrency;
      return spec;
    case Kind::kDecimal: {
      int places = d.scale;
      const bool readable = known.All([&places](const SqlValue& v) {
        const auto b = AsBcd(v);
        if (b) places = std::max(places, b->Places());
        return b.has_value();
      });
      if (!readable) return StringColumn(spec, known, 0, !complete);
      // ftBCD holds four places; more need the packed decimal.
      spec.type = places <= 4 ? ftBCD : ftFMTBcd;
      spec.size = std::max(places, 1);
      return spec;
    }
    case Kind::kGuid:
      if (known.LongestText() > 38) return StringColumn(spec, known, 0, !complete);
      spec.type = ftGuid;
      spec.size = 38;
      return spec;
    case Kind::kMemo:
      spec.type = ftMemo;
      return spec;
    case Kind::kBlob:
      spec.type = ftBlob;
      return spec;
    case Kind::kString:
    case Kind::kAuto:
      break;
  }
  return StringColumn(spec, known, d.length, !complete || declaredText);
}

std::string FieldDescriptions(const std::vector<ColumnSpec>& columns) {
  std::string out;
  for (const auto& c : columns) {
    std::string tail;
    tail += kValueEnd;
    tail += IntToStr(c.type);
    tail += kValueEnd;
    tail += IntToStr(c.size);
    tail += kValueEnd;
    tail += kRowEnd;
    std::string name = c.name.substr(0, kMaxDescriptionItem - tail.size());
    // The separators cannot stand inside a name.
    std::replace_if(name.begin(), name.end(), [](char ch) { return ch == kValueEnd || ch == kRowEnd; },
                    '_');
    out += name;
    out += tail;
  }
  return out;
}

namespace {

void AppendSafeText(std::string& out, std::string_view text) {
  const size_t start = out.size();
  out.append(text);
  for (size_t i = start; i < out.size(); ++i)
    if (out[i] >= kValueEnd && out[i] <= kCurrencyMarker) out[i] = '?';
}

void AppendBinary(std::string& out, std::string_view bytes) {
  out.push_back(kBinaryMarker);
  ByteWriter w(out);
  w.PutI32(static_cast<int32_t>(std::min<size_t>(bytes.size(), INT32_MAX)));
  w.PutBytes(bytes.substr(0, INT32_MAX));
}

void AppendDouble(std::string& out, double d) {
  out.push_back(kDoubleMarker);
  ByteWriter(out).PutDouble(d);
}

void AppendValue(std::string& out, const ColumnSpec& c, const SqlValue& v) {
  if (v.storage == SqlValue::kNull) {
    out.push_back(kNullValue);
    return;
  }
  switch (c.type) {
    case ftSmallint:
    case ftInteger:
    case ftLargeint:
    case ftWord:
    case ftAutoInc: {
      const auto i = AsInteger(v);
      if (i) out += IntToStr(*i);
      else AppendSafeText(out, AsText(v));
      return;
    }
    case ftBoolean: {
      const auto b = AsBoolean(v);
      out.push_back(b.value_or(false) ? '1' : '0');
      return;
    }
    case ftFloat: {
      const auto d = AsDouble(v);
      if (d) AppendDouble(out, *d);
      else out.push_back(kNullValue);
      return;
    }
    case ftDate:
    case ftTime:
    case ftDateTime: {
      const auto d = AsDateTime(v);
      if (d) AppendDouble(out, *d);
      else out.push_back(kNullValue);
      return;
    }
    case ftCurrency: {
      const auto cur = AsCurrency(v);
      if (!cur) {
        out.push_back(kNullValue);
        return;
      }
      out.push_back(kCurrencyMarker);
      ByteWriter(out).PutI64(cur->Scaled);
      return;
    }
    case ftBCD:
    case ftFMTBcd: {
      const auto b = AsBcd(v);
      if (!b) {
        out.push_back(kNullValue);
        return;
      }
      out.push_back(kBcdMarker);
      out += b->ToBytes();
      return;
    }
    case ftMemo:
      AppendBinary(out, AsText(v));
      return;
    case ftBlob:
      AppendBinary(out, AsBytes(v));
      return;
    default:
      AppendSafeText(out, AsText(v));
      return;
  }
}

}  // namespace

void AppendRow(std::string& out, const std::vector<ColumnSpec>& columns, const SqlRow& row) {
  for (size_t i = 0; i < columns.size(); ++i) {
    if (i < row.size()) AppendValue(out, columns[i], row[i]);
    out.push_back(kValueEnd);
  }
  out.push_back(kRowEnd);
}

void AppendEndRow(std::string& out) { out += kEndRow; }

// ---- ISO dates ----------------------------------------------------------------

namespace {

class IsoReader {
 public:
  explicit IsoReader(std::string_view s) : s_(s) {}
  bool Digits(size_t n, int& value) {
    if (pos_ + n > s_.size()) return false;
    value = 0;
    for (size_t i = 0; i < n; ++i) {
      const char c = s_[pos_ + i];
      if (c < '0' || c > '9') return false;
      value = value * 10 + (c - '0');
    }
    pos_ += n;
    return true;
  }
  bool Take(char c) {
    if (pos_ < s_.size() && s_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  bool AtEnd() const { return pos_ >= s_.size(); }
  char Peek() const { return AtEnd() ? '\0' : s_[pos_]; }
  size_t Position() const { return pos_; }

  // HH:MM[:SS[.fff...]] as a fraction of a day.
  std::optional<double> Time() {
    int h = 0, m = 0, sec = 0, ms = 0;
    if (!Digits(2, h) || !Take(':') || !Digits(2, m)) return std::nullopt;
    if (Take(':')) {
      if (!Digits(2, sec)) return std::nullopt;
      if (Take('.')) {
        int scale = 100;
        bool any = false;
        while (!AtEnd() && Peek() >= '0' && Peek() <= '9') {
          ms += (Peek() - '0') * scale;
          scale /= 10;
          ++pos_;
          any = true;
        }
        if (!any) return std::nullopt;
      }
    }
    return TryEncodeTime(h, m, sec, ms);
  }

  // An optional zone suffix, which is dropped; true when the text ends there.
  bool ZoneAndEnd() {
    if (Take('Z')) return AtEnd();
    if (Peek() == '+' || Peek() == '-') {
      ++pos_;
      int h = 0, m = 0;
      if (!Digits(2, h) || !Take(':') || !Digits(2, m)) return false;
    }
    return AtEnd();
  }

 private:
  std::string_view s_;
  size_t pos_ = 0;
};

}  // namespace

std::optional<TDateTime> ParseIsoDateTime(std::string_view text) {
  IsoReader r(text);
  int y = 0, mo = 0, d = 0;
  if (text.size() >= 5 && text[2] == ':') {
    const auto t = r.Time();
    if (!t || !r.ZoneAndEnd()) return std::nullopt;
    return *t;
  }
  if (!r.Digits(4, y) || !r.Take('-') || !r.Digits(2, mo) || !r.Take('-') || !r.Digits(2, d))
    return std::nullopt;
  const auto date = TryEncodeDate(y, mo, d);
  if (!date) return std::nullopt;
  double time = 0;
  if (r.Take(' ') || r.Take('T')) {
    const auto t = r.Time();
    if (!t) return std::nullopt;
    time = *t;
  }
  if (!r.ZoneAndEnd()) return std::nullopt;
  // Before 1899-12-30 the day counts backwards but the fraction still
  // runs forwards through the day.
  return *date >= 0 ? *date + time : *date - time;
}

std::string FormatIsoDateTime(TDateTime value, TFieldType kind) {
  char buf[64];
  const DateParts dp = DecodeDate(value);
  const TimeParts tp = DecodeTime(value);
  std::string date;
  std::string time;
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", dp.Year, dp.Month, dp.Day);
  date = buf;
  if (tp.MSec != 0)
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", tp.Hour, tp.Minute, tp.Second, tp.MSec);
  else
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", tp.Hour, tp.Minute, tp.Second);
  time = buf;
  if (kind == ftDate) return date;
  if (kind == ftTime) return time;
  return date + " " + time;
}

}  // namespace rda
