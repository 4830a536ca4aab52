#include "base/Variant.h"

#include <cmath>
#include <limits>

#include "base/Convert.h"
#include "base/DecimalText.h"
#include "base/Text.h"

namespace rda {

namespace {

bool IsSignedKind(VarType t) {
  return t == VarType::ShortInt || t == VarType::SmallInt || t == VarType::Integer ||
         t == VarType::Int64;
}

bool IsUnsignedKind(VarType t) {
  return t == VarType::Byte || t == VarType::Word || t == VarType::LongWord ||
         t == VarType::UInt64;
}

// Float to integer as the platform's variants round: to nearest, halves to even.
std::optional<int64_t> RoundToInt64(double v) {
  if (!std::isfinite(v)) return std::nullopt;
  double r = std::floor(v);
  const double diff = v - r;
  if (diff > 0.5 || (diff == 0.5 && std::fmod(r, 2.0) != 0)) r += 1;
  // 2^63 is exact as a double; every double below it converts.
  if (r < -9223372036854775808.0 || r >= 9223372036854775808.0) return std::nullopt;
  return static_cast<int64_t>(r);
}

// The exact decimal of a number text (blanks around it allowed, an
// exponent too), so that "12345678901234567890.4" converts without a double.
std::optional<detail::Decimal> NumberText(const std::string& text, const FormatSettings& fs) {
  return detail::ParseDecimal(text, {fs.DecimalSeparator, true, true});
}

detail::Decimal BcdDecimal(const Bcd& value) {
  static const FormatSettings kInvariant;
  return *NumberText(BcdToStr(value, kInvariant), kInvariant);
}

}  // namespace

const char* VarTypeName(VarType type) {
  switch (type) {
    case VarType::Empty: return "Empty";
    case VarType::Null: return "Null";
    case VarType::ShortInt: return "ShortInt";
    case VarType::SmallInt: return "Smallint";
    case VarType::Integer: return "Integer";
    case VarType::Int64: return "Int64";
    case VarType::Byte: return "Byte";
    case VarType::Word: return "Word";
    case VarType::LongWord: return "LongWord";
    case VarType::UInt64: return "UInt64";
    case VarType::Single: return "Single";
    case VarType::Double: return "Double";
    case VarType::Currency: return "Currency";
    case VarType::Date: return "Date";
    case VarType::Boolean: return "Boolean";
    case VarType::String: return "String";
    case VarType::Bcd: return "FMTBcd";
    case VarType::SqlTimeStamp: return "SQLTimeStamp";
    case VarType::Bytes: return "Array Byte";
    case VarType::Interface: return "Dispatch";
  }
  return "Unknown";
}

Variant Variant::FromDate(TDateTime v) {
  Variant out(VarType::Date);
  out.value_ = v;
  return out;
}

Variant Variant::FromBytes(std::string bytes) {
  Variant out(VarType::Bytes);
  out.value_ = std::move(bytes);
  return out;
}

Variant Variant::FromInterface(int64_t reference) {
  Variant out(VarType::Interface);
  out.value_ = reference;
  return out;
}

bool Variant::IsOrdinal() const { return IsSignedKind(type_) || IsUnsignedKind(type_); }

void Variant::CannotConvert(VarType to) const {
  throw EVariantError(std::string("Could not convert variant of type (") + VarTypeName(type_) +
                      ") into type (" + VarTypeName(to) + ")");
}

bool operator==(const Variant& a, const Variant& b) {
  return a.type_ == b.type_ && a.value_ == b.value_;
}

std::string Variant::ToString(const FormatSettings& fs) const {
  switch (type_) {
    case VarType::Empty:
    case VarType::Null: return "";
    case VarType::Single: return detail::FormatGeneral(std::get<double>(value_), 7, fs.DecimalSeparator);
    case VarType::Double: return FloatToStr(std::get<double>(value_), fs);
    case VarType::Currency: return CurrToStr(std::get<rda::Currency>(value_), fs);
    case VarType::Date: return DateTimeToStr(std::get<double>(value_), fs);
    case VarType::Boolean: return std::get<bool>(value_) ? "True" : "False";
    case VarType::String:
    case VarType::Bytes: return std::get<std::string>(value_);
    case VarType::Bcd: return BcdToStr(std::get<rda::Bcd>(value_), fs);
    case VarType::SqlTimeStamp: return SqlTimeStampToStr(std::get<rda::SqlTimeStamp>(value_), fs);
    case VarType::Interface: return std::to_string(std::get<int64_t>(value_));
    default: break;
  }
  if (IsSignedKind(type_)) return std::to_string(std::get<int64_t>(value_));
  return std::to_string(std::get<uint64_t>(value_));
}

int64_t Variant::ToInt64(const FormatSettings& fs) const {
  std::optional<int64_t> out;
  switch (type_) {
    case VarType::Single:
    case VarType::Double:
    case VarType::Date: out = RoundToInt64(std::get<double>(value_)); break;
    case VarType::Currency:
      out = detail::DecimalToScaled(detail::ScaledToDecimal(std::get<rda::Currency>(value_).Scaled, 4),
                                    0, detail::RoundMode::HalfEven);
      break;
    case VarType::Boolean: out = std::get<bool>(value_) ? -1 : 0; break;
    case VarType::String:
      if (auto d = NumberText(std::get<std::string>(value_), fs)) {
        out = detail::DecimalToScaled(*d, 0, detail::RoundMode::HalfEven);
      }
      break;
    case VarType::Bcd:
      out = detail::DecimalToScaled(BcdDecimal(std::get<rda::Bcd>(value_)), 0,
                                    detail::RoundMode::HalfEven);
      break;
    case VarType::SqlTimeStamp:
      out = RoundToInt64(SqlTimeStampToDateTime(std::get<rda::SqlTimeStamp>(value_)));
      break;
    case VarType::Interface: out = std::get<int64_t>(value_); break;
    default:
      if (IsSignedKind(type_)) {
        out = std::get<int64_t>(value_);
      } else if (IsUnsignedKind(type_)) {
        const uint64_t u = std::get<uint64_t>(value_);
        if (u <= uint64_t{std::numeric_limits<int64_t>::max()}) out = static_cast<int64_t>(u);
      }
      break;
  }
  if (!out) CannotConvert(VarType::Int64);
  return *out;
}

int32_t Variant::ToInt32(const FormatSettings& fs) const {
  int64_t v = 0;
  try {
    v = ToInt64(fs);
  } catch (const EVariantError&) {
    CannotConvert(VarType::Integer);
  }
  if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max()) {
    CannotConvert(VarType::Integer);
  }
  return static_cast<int32_t>(v);
}

double Variant::ToDouble(const FormatSettings& fs) const {
  switch (type_) {
    case VarType::Single:
    case VarType::Double:
    case VarType::Date: return std::get<double>(value_);
    case VarType::Currency: return std::get<rda::Currency>(value_).ToDouble();
    case VarType::Boolean: return std::get<bool>(value_) ? -1.0 : 0.0;
    case VarType::String:
      if (auto v = TryStrToFloat(std::get<std::string>(value_), fs)) return *v;
      break;
    case VarType::Bcd: return BcdToDouble(std::get<rda::Bcd>(value_));
    case VarType::SqlTimeStamp:
      return SqlTimeStampToDateTime(std::get<rda::SqlTimeStamp>(value_));
    default:
      if (IsSignedKind(type_)) return static_cast<double>(std::get<int64_t>(value_));
      if (IsUnsignedKind(type_)) return static_cast<double>(std::get<uint64_t>(value_));
      break;
  }
  CannotConvert(VarType::Double);
}

bool Variant::ToBoolean(const FormatSettings& fs) const {
  switch (type_) {
    case VarType::Single:
    case VarType::Double:
    case VarType::Date: return std::get<double>(value_) != 0;
    case VarType::Currency: return std::get<rda::Currency>(value_).Scaled != 0;
    case VarType::Boolean: return std::get<bool>(value_);
    case VarType::String: {
      const std::string& text = std::get<std::string>(value_);
      const std::string_view word = TrimBlanks(text);
      if (SameTextAscii(word, "TRUE")) return true;
      if (SameTextAscii(word, "FALSE")) return false;
      if (auto d = NumberText(text, fs)) return !d->IsZero();
      break;
    }
    case VarType::Bcd: return !BcdDecimal(std::get<rda::Bcd>(value_)).IsZero();
    default:
      if (IsSignedKind(type_)) return std::get<int64_t>(value_) != 0;
      if (IsUnsignedKind(type_)) return std::get<uint64_t>(value_) != 0;
      break;
  }
  CannotConvert(VarType::Boolean);
}

rda::Currency Variant::ToCurrency(const FormatSettings& fs) const {
  constexpr int64_t kMaxUnits = std::numeric_limits<int64_t>::max() / rda::Currency::kScale;
  try {
    switch (type_) {
      case VarType::Single:
      case VarType::Double:
      case VarType::Date: return rda::Currency::FromDouble(std::get<double>(value_));
      case VarType::Currency: return std::get<rda::Currency>(value_);
      case VarType::Boolean:
        return rda::Currency::FromScaled(std::get<bool>(value_) ? -rda::Currency::kScale : 0);
      case VarType::String:
        if (auto v = TryStrToCurr(std::get<std::string>(value_), fs)) return *v;
        break;
      case VarType::Bcd: return BcdToCurrency(std::get<rda::Bcd>(value_));
      case VarType::SqlTimeStamp:
        return rda::Currency::FromDouble(SqlTimeStampToDateTime(std::get<rda::SqlTimeStamp>(value_)));
      default:
        if (IsSignedKind(type_)) {
          const int64_t v = std::get<int64_t>(value_);
          if (v >= -kMaxUnits && v <= kMaxUnits) return rda::Currency::FromScaled(v * rda::Currency::kScale);
        } else if (IsUnsignedKind(type_)) {
          const uint64_t v = std::get<uint64_t>(value_);
          if (v <= uint64_t{kMaxUnits}) {
            return rda::Currency::FromScaled(static_cast<int64_t>(v) * rda::Currency::kScale);
          }
        }
        break;
    }
  } catch (const EConvertError&) {
    // Out of the currency range: reported as the variant's conversion failure.
  }
  CannotConvert(VarType::Currency);
}

TDateTime Variant::ToDateTime(const FormatSettings& fs) const {
  switch (type_) {
    case VarType::Single:
    case VarType::Double:
    case VarType::Date: return std::get<double>(value_);
    case VarType::Currency: return std::get<rda::Currency>(value_).ToDouble();
    case VarType::String:
      if (auto v = TryStrToDateTime(std::get<std::string>(value_), fs)) return *v;
      break;
    case VarType::Bcd: return BcdToDouble(std::get<rda::Bcd>(value_));
    case VarType::SqlTimeStamp:
      return SqlTimeStampToDateTime(std::get<rda::SqlTimeStamp>(value_));
    default:
      if (IsOrdinal()) return ToDouble(fs);
      break;
  }
  CannotConvert(VarType::Date);
}

rda::Bcd Variant::ToBcd(const FormatSettings& fs) const {
  try {
    switch (type_) {
      case VarType::Single:
      case VarType::Double:
      case VarType::Date: return DoubleToBcd(std::get<double>(value_));
      case VarType::Currency: return CurrencyToBcd(std::get<rda::Currency>(value_));
      case VarType::String:
        if (auto v = TryStrToBcd(std::get<std::string>(value_), fs)) return *v;
        break;
      case VarType::Bcd: return std::get<rda::Bcd>(value_);
      default:
        // Integers through their decimal text: exact for every 64-bit value.
        if (IsOrdinal()) return StrToBcd(ToString(fs), fs);
        break;
    }
  } catch (const EConvertError&) {
    // More digits than a BCD holds.
  }
  CannotConvert(VarType::Bcd);
}

rda::SqlTimeStamp Variant::ToSqlTimeStamp(const FormatSettings& fs) const {
  if (type_ == VarType::SqlTimeStamp) return std::get<rda::SqlTimeStamp>(value_);
  if (type_ != VarType::Boolean) {
    try {
      return DateTimeToSqlTimeStamp(ToDateTime(fs));
    } catch (const EVariantError&) {
      // Not a date: reported below with the target kind.
    } catch (const EConvertError&) {
      // A date outside the years 1..9999.
    }
  }
  CannotConvert(VarType::SqlTimeStamp);
}

const std::string& Variant::ToBytes() const {
  if (type_ != VarType::Bytes && type_ != VarType::String) CannotConvert(VarType::Bytes);
  return std::get<std::string>(value_);
}

}  // namespace rda
