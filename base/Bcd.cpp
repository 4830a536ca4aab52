#include "base/Bcd.h"

#include <algorithm>
#include <vector>

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

// Magnitudes as digit strings without leading zeros ("0" for zero).
std::string Strip(std::string digits) {
  digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size() - 1));
  return digits.empty() ? "0" : digits;
}

int CompareDigits(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  const int c = a.compare(b);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

std::string AddDigits(const std::string& a, const std::string& b) {
  std::string out;
  int carry = 0;
  for (size_t i = 0; i < std::max(a.size(), b.size()) || carry; ++i) {
    int d = carry;
    if (i < a.size()) d += a[a.size() - 1 - i] - '0';
    if (i < b.size()) d += b[b.size() - 1 - i] - '0';
    out.push_back(static_cast<char>('0' + d % 10));
    carry = d / 10;
  }
  std::reverse(out.begin(), out.end());
  return Strip(std::move(out));
}

// a - b for a >= b.
std::string SubtractDigits(const std::string& a, const std::string& b) {
  std::string out;
  int borrow = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    int d = (a[a.size() - 1 - i] - '0') - borrow - (i < b.size() ? b[b.size() - 1 - i] - '0' : 0);
    borrow = d < 0 ? 1 : 0;
    out.push_back(static_cast<char>('0' + d + 10 * borrow));
  }
  std::reverse(out.begin(), out.end());
  return Strip(std::move(out));
}

std::string MultiplyDigits(const std::string& a, const std::string& b) {
  std::vector<int> acc(a.size() + b.size(), 0);
  for (size_t i = 0; i < a.size(); ++i) {
    for (size_t j = 0; j < b.size(); ++j) {
      acc[i + j + 1] += (a[i] - '0') * (b[j] - '0');
    }
  }
  for (size_t k = acc.size() - 1; k > 0; --k) {
    acc[k - 1] += acc[k] / 10;
    acc[k] %= 10;
  }
  std::string out;
  for (int d : acc) out.push_back(static_cast<char>('0' + d));
  return Strip(std::move(out));
}

// floor(n / d) for d > 0, digit by digit.
std::string DivideDigits(const std::string& n, const std::string& d) {
  std::string quotient;
  std::string rest = "0";
  for (char c : n) {
    rest = Strip(rest + c);
    int digit = 0;
    while (CompareDigits(rest, d) >= 0) {
      rest = SubtractDigits(rest, d);
      ++digit;
    }
    quotient.push_back(static_cast<char>('0' + digit));
  }
  return Strip(std::move(quotient));
}

// A record's value with its digits stripped.
Decimal Operand(const Bcd& value) {
  Decimal d = BcdToDecimalOrZero(value);
  d.Digits = Strip(std::move(d.Digits));
  return d;
}

// The record of an exact result, rounded half away from zero to 64
// significant digits and 63 places where it does not fit as it is.
Bcd FitResult(Decimal value) {
  value.Digits = Strip(std::move(value.Digits));
  if (value.Digits == "0") return Bcd{1, 0, {}};
  const int64_t places = -int64_t{value.Exponent};
  const int64_t integerDigits = static_cast<int64_t>(value.Digits.size()) - places;
  if (integerDigits > Bcd::kMaxDigits) throw EConvertError(kBcdOverflow);
  const int64_t keep = std::min<int64_t>({places, kMaxPlaces, Bcd::kMaxDigits - std::max<int64_t>(integerDigits, 0)});
  if (keep < places) {
    auto digits = detail::RoundToPlaces(value, static_cast<int>(keep),
                                        detail::RoundMode::HalfAwayFromZero, Bcd::kMaxDigits + 1);
    value = Decimal{value.Negative, digits ? *digits : "0", static_cast<int32_t>(-keep)};
    if (value.Digits.empty()) value.Digits.push_back('0');
  }
  auto out = DecimalToBcd(std::move(value));
  if (!out) throw EConvertError(kBcdOverflow);
  return *out;
}

// Both operands at the smaller exponent.
void Align(Decimal& a, Decimal& b) {
  const int32_t exponent = std::min(a.Exponent, b.Exponent);
  for (Decimal* d : {&a, &b}) {
    if (d->Digits != "0") d->Digits.append(static_cast<size_t>(d->Exponent - exponent), '0');
    d->Exponent = exponent;
  }
}

Decimal SignedSum(Decimal a, Decimal b) {
  Align(a, b);
  Decimal out{a.Negative, {}, a.Exponent};
  if (a.Negative == b.Negative) {
    out.Digits = AddDigits(a.Digits, b.Digits);
  } else if (CompareDigits(a.Digits, b.Digits) >= 0) {
    out.Digits = SubtractDigits(a.Digits, b.Digits);
  } else {
    out.Negative = b.Negative;
    out.Digits = SubtractDigits(b.Digits, a.Digits);
  }
  out.Negative = out.Negative && out.Digits != "0";
  return out;
}

}  // namespace

Bcd BcdAdd(const Bcd& a, const Bcd& b) { return FitResult(SignedSum(Operand(a), Operand(b))); }

Bcd BcdSubtract(const Bcd& a, const Bcd& b) {
  Decimal negated = Operand(b);
  negated.Negative = !negated.Negative && negated.Digits != "0";
  return FitResult(SignedSum(Operand(a), std::move(negated)));
}

Bcd BcdMultiply(const Bcd& a, const Bcd& b) {
  const Decimal x = Operand(a);
  const Decimal y = Operand(b);
  Decimal product{x.Negative != y.Negative, MultiplyDigits(x.Digits, y.Digits),
                  x.Exponent + y.Exponent};
  product.Negative = product.Negative && product.Digits != "0";
  return FitResult(std::move(product));
}

Bcd BcdDivide(const Bcd& a, const Bcd& b) {
  const Decimal x = Operand(a);
  const Decimal y = Operand(b);
  if (y.Digits == "0") throw EDivByZero("Division by zero");
  if (x.Digits == "0") return Bcd{1, 0, {}};
  // Digits of the quotient before the point, at most one too many.
  const int64_t integerDigits = (static_cast<int64_t>(x.Digits.size()) + x.Exponent) -
                                (static_cast<int64_t>(y.Digits.size()) + y.Exponent) + 1;
  if (integerDigits > Bcd::kMaxDigits + 1) throw EConvertError(kBcdOverflow);
  // As many places as keep the quotient within 64 digits (one fewer when
  // the estimate was one too many), so that it is rounded only once.
  const int64_t places = std::clamp<int64_t>(
      Bcd::kMaxDigits - std::max<int64_t>(integerDigits, 0), 0, kMaxPlaces);
  // x / y to `places` places and one more digit for the rounding:
  // floor(x.Digits * 10^shift / y.Digits).
  const int64_t shift = int64_t{x.Exponent} - y.Exponent + places + 1;
  std::string numerator = x.Digits;
  if (shift >= 0) {
    numerator.append(static_cast<size_t>(shift), '0');
  } else {
    numerator = static_cast<int64_t>(numerator.size()) > -shift
                    ? numerator.substr(0, numerator.size() - static_cast<size_t>(-shift))
                    : "0";
  }
  std::string quotient = DivideDigits(numerator, y.Digits);
  // The extra digit rounds half away from zero, then goes.
  const bool up = quotient.back() >= '5';
  quotient = quotient.size() > 1 ? quotient.substr(0, quotient.size() - 1) : "0";
  if (up) quotient = AddDigits(quotient, "1");
  Decimal out{x.Negative != y.Negative, Strip(std::move(quotient)), static_cast<int32_t>(-places)};
  // A quotient keeps no trailing fractional zeros.
  while (out.Exponent < 0 && out.Digits.size() > 1 && out.Digits.back() == '0') {
    out.Digits.pop_back();
    ++out.Exponent;
  }
  out.Negative = out.Negative && out.Digits != "0";
  return FitResult(std::move(out));
}

Bcd BcdNegate(const Bcd& a) {
  Bcd out = a;
  if (BcdCompare(a, Bcd{1, 0, {}}) != 0) out.SignSpecialPlaces ^= kSignBit;
  return out;
}

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
