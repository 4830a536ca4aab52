#include "base/Bcd.h"

#include <algorithm>

#include "base/DecimalText.h"
#include "base/Exception.h"

namespace rda {

namespace {

using detail::Decimal;

constexpr const char* kBcdOverflow = "BCD overflow";
constexpr uint8_t kSignBit = 0x80;
constexpr int kMaxPlaces = 0x3F;

// The digits of a record; nullopt when it is malformed (too many digits or a
// nibble above 9). Zero is never negative.
std::optional<Decimal> BcdToDecimal(const Bcd& value) {
  if (value.Precision > Bcd::kMaxDigits) return std::nullopt;
  Decimal out;
  out.Exponent = -value.Places();
  for (int i = 0; i < value.Precision; ++i) {
    const uint8_t byte = value.Fraction[static_cast<size_t>(i / 2)];
    const int nibble = i % 2 == 0 ? byte >> 4 : byte & 0x0F;
    if (nibble > 9) return std::nullopt;
    out.Digits.push_back(static_cast<char>('0' + nibble));
  }
  out.Negative = value.IsNegative() && !out.IsZero();
  return out;
}

Decimal BcdToDecimalOrZero(const Bcd& value) {
  return BcdToDecimal(value).value_or(Decimal{false, "0", 0});
}

// The normalised record of an exact decimal: integer digits without leading
// zeros, every written fractional digit kept (trailing zeros give the scale)
// unless the record cannot hold them, Precision >= places, at least one
// digit, and zero unsigned. nullopt when the value needs more than 64 digits
// or 63 places.
std::optional<Bcd> DecimalToBcd(Decimal value) {
  std::string& digits = value.Digits;
  size_t places = 0;
  if (value.Exponent > 0) {
    digits.erase(0, digits.find_first_not_of('0'));
    if (digits.size() + static_cast<size_t>(value.Exponent) > Bcd::kMaxDigits) {
      return digits.empty() ? std::optional<Bcd>(Bcd{1, 0, {}}) : std::nullopt;
    }
    digits.append(static_cast<size_t>(value.Exponent), '0');
  } else {
    places = static_cast<size_t>(-int64_t{value.Exponent});
  }
  if (digits.size() < places) digits.insert(0, places - digits.size(), '0');
  size_t leading = 0;
  while (digits.size() - leading > places && digits[leading] == '0') ++leading;
  digits.erase(0, leading);
  while ((digits.size() > Bcd::kMaxDigits || places > kMaxPlaces) && places > 0 &&
         digits.back() == '0') {
    digits.pop_back();
    --places;
  }
  if (digits.empty()) digits.push_back('0');
  if (digits.size() > Bcd::kMaxDigits || places > kMaxPlaces) return std::nullopt;

  Bcd out;
  out.Precision = static_cast<uint8_t>(digits.size());
  out.SignSpecialPlaces = static_cast<uint8_t>(places);
  if (value.Negative && !value.IsZero()) out.SignSpecialPlaces |= kSignBit;
  for (size_t i = 0; i < digits.size(); ++i) {
    const auto nibble = static_cast<uint8_t>(digits[i] - '0');
    out.Fraction[i / 2] |= static_cast<uint8_t>(i % 2 == 0 ? nibble << 4 : nibble);
  }
  return out;
}

// Compares magnitudes of two decimals with exponents <= 0.
int CompareMagnitude(Decimal a, Decimal b) {
  const int32_t places = std::max(-a.Exponent, -b.Exponent);
  a.Digits.append(static_cast<size_t>(places + a.Exponent), '0');
  b.Digits.append(static_cast<size_t>(places + b.Exponent), '0');
  for (std::string* d : {&a.Digits, &b.Digits}) d->erase(0, d->find_first_not_of('0'));
  if (a.Digits.size() != b.Digits.size()) return a.Digits.size() < b.Digits.size() ? -1 : 1;
  const int c = a.Digits.compare(b.Digits);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

}  // namespace

std::string Bcd::ToBytes() const {
  std::string out;
  out.reserve(kSize);
  out.push_back(static_cast<char>(Precision));
  out.push_back(static_cast<char>(SignSpecialPlaces));
  for (uint8_t b : Fraction) out.push_back(static_cast<char>(b));
  return out;
}

Bcd Bcd::FromBytes(std::string_view bytes) {
  if (bytes.size() != kSize) throw EReadError(kStreamReadError);
  Bcd out;
  out.Precision = static_cast<uint8_t>(bytes[0]);
  out.SignSpecialPlaces = static_cast<uint8_t>(bytes[1]);
  for (size_t i = 0; i < out.Fraction.size(); ++i) {
    out.Fraction[i] = static_cast<uint8_t>(bytes[2 + i]);
  }
  return out;
}

std::optional<Bcd> TryStrToBcd(std::string_view text, const FormatSettings& fs) {
  auto decimal = detail::ParseDecimal(text, {fs.DecimalSeparator, false, true});
  if (!decimal) return std::nullopt;
  return DecimalToBcd(std::move(*decimal));
}

Bcd StrToBcd(std::string_view text, const FormatSettings& fs) {
  if (auto v = TryStrToBcd(text, fs)) return *v;
  detail::ThrowNotValid(text, "BCD value");
}

std::string BcdToStr(const Bcd& value, const FormatSettings& fs) {
  return detail::DecimalToText(BcdToDecimalOrZero(value), fs.DecimalSeparator);
}

double BcdToDouble(const Bcd& value) {
  // At most 64 digits: always inside the double range.
  return detail::DecimalToDouble(BcdToDecimalOrZero(value)).value_or(0.0);
}

Bcd DoubleToBcd(double value) {
  auto decimal = detail::DoubleToDecimal(value);
  if (!decimal) throw EConvertError(kBcdOverflow);
  if (decimal->Exponent < -kMaxPlaces) {
    // Below the smallest place: keep 63 places, rounded.
    auto digits =
        detail::RoundToPlaces(*decimal, kMaxPlaces, detail::RoundMode::HalfAwayFromZero, 64);
    decimal = Decimal{decimal->Negative, *digits, -kMaxPlaces};
  }
  if (decimal->IsZero()) return Bcd{1, 0, {}};
  auto out = DecimalToBcd(std::move(*decimal));
  if (!out) throw EConvertError(kBcdOverflow);
  return *out;
}

Currency BcdToCurrency(const Bcd& value) {
  auto scaled = detail::DecimalToScaled(BcdToDecimalOrZero(value), 4,
                                        detail::RoundMode::HalfAwayFromZero);
  if (!scaled) throw EConvertError(kBcdOverflow);
  return Currency::FromScaled(*scaled);
}

Bcd CurrencyToBcd(Currency value) {
  // 19 digits and 4 places always fit.
  return *DecimalToBcd(detail::ScaledToDecimal(value.Scaled, 4));
}

int BcdCompare(const Bcd& a, const Bcd& b) {
  const Decimal da = BcdToDecimalOrZero(a);
  const Decimal db = BcdToDecimalOrZero(b);
  if (da.Negative != db.Negative) {
    // Zero is never negative, so different signs decide unless both are zero.
    return da.Negative ? -1 : 1;
  }
  const int magnitude = CompareMagnitude(da, db);
  return da.Negative ? -magnitude : magnitude;
}

}  // namespace rda
