#include "base/DecimalText.h"

#include <charconv>
#include <cmath>

#include "base/Exception.h"
#include "base/Text.h"

namespace rda::detail {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string_view StripLeadingZeros(std::string_view digits) {
  size_t first = digits.find_first_not_of('0');
  return first == std::string_view::npos ? std::string_view() : digits.substr(first);
}

int64_t Clamp(int64_t v, int64_t limit) { return v > limit ? limit : (v < -limit ? -limit : v); }

// Adds one unit in the last place of a digit string.
void IncrementDigits(std::string& digits) {
  for (size_t i = digits.size(); i-- > 0;) {
    if (digits[i] != '9') {
      ++digits[i];
      return;
    }
    digits[i] = '0';
  }
  digits.insert(digits.begin(), '1');
}

}  // namespace

void ThrowNotValid(std::string_view text, std::string_view what) {
  throw EConvertError("'" + std::string(text) + "' is not a valid " + std::string(what));
}

std::optional<Decimal> ParseDecimal(std::string_view text, DecimalSyntax syntax) {
  if (syntax.TrimBlanks) text = TrimBlanks(text);
  Decimal result;
  size_t i = 0;
  const size_t n = text.size();
  if (i < n && (text[i] == '+' || text[i] == '-')) result.Negative = text[i++] == '-';
  while (i < n && IsDigit(text[i])) result.Digits.push_back(text[i++]);
  int64_t fraction_digits = 0;
  if (i < n && text[i] == syntax.Separator) {
    ++i;
    while (i < n && IsDigit(text[i])) {
      result.Digits.push_back(text[i++]);
      ++fraction_digits;
    }
  }
  if (result.Digits.empty()) return std::nullopt;
  int64_t exponent = -Clamp(fraction_digits, kMaxDecimalExponent);
  if (syntax.AllowExponent && i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool negative_exponent = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) negative_exponent = text[i++] == '-';
    if (i == n || !IsDigit(text[i])) return std::nullopt;
    int64_t written = 0;
    while (i < n && IsDigit(text[i])) {
      written = Clamp(written * 10 + (text[i++] - '0'), kMaxDecimalExponent);
    }
    exponent += negative_exponent ? -written : written;
  }
  if (i != n) return std::nullopt;
  result.Exponent = static_cast<int32_t>(Clamp(exponent, kMaxDecimalExponent));
  return result;
}

std::optional<std::string> RoundToPlaces(const Decimal& value, int places, RoundMode mode,
                                         size_t max_digits) {
  std::string_view digits = StripLeadingZeros(value.Digits);
  if (digits.empty()) return std::string();
  const int64_t shift = int64_t{value.Exponent} + places;
  if (shift >= 0) {
    if (digits.size() + static_cast<uint64_t>(shift) > max_digits) return std::nullopt;
    std::string out(digits);
    out.append(static_cast<size_t>(shift), '0');
    return out;
  }
  const uint64_t drop = static_cast<uint64_t>(-shift);
  // Everything dropped: the value is below a tenth of a unit, so it rounds to zero.
  if (drop > digits.size()) return std::string();
  const size_t keep = digits.size() - static_cast<size_t>(drop);
  std::string kept(digits.substr(0, keep));
  const char first_dropped = digits[keep];
  const bool rest_nonzero =
      digits.substr(keep + 1).find_first_not_of('0') != std::string_view::npos;
  bool up;
  if (mode == RoundMode::HalfAwayFromZero) {
    up = first_dropped >= '5';
  } else {
    const bool last_odd = !kept.empty() && (kept.back() - '0') % 2 == 1;
    up = first_dropped > '5' || (first_dropped == '5' && (rest_nonzero || last_odd));
  }
  if (up) IncrementDigits(kept);
  kept = std::string(StripLeadingZeros(kept));
  if (kept.size() > max_digits) return std::nullopt;
  return kept;
}

std::optional<int64_t> DecimalToScaled(const Decimal& value, int places, RoundMode mode) {
  auto digits = RoundToPlaces(value, places, mode, 19);
  if (!digits) return std::nullopt;
  uint64_t magnitude = 0;  // 19 digits always fit in 64 unsigned bits
  for (char c : *digits) magnitude = magnitude * 10 + static_cast<uint64_t>(c - '0');
  const uint64_t limit = uint64_t{1} << 63;  // |INT64_MIN|
  if (value.Negative) {
    if (magnitude > limit) return std::nullopt;
    return static_cast<int64_t>(0 - magnitude);
  }
  if (magnitude >= limit) return std::nullopt;
  return static_cast<int64_t>(magnitude);
}

Decimal ScaledToDecimal(int64_t scaled, int places) {
  const uint64_t magnitude =
      scaled < 0 ? 0 - static_cast<uint64_t>(scaled) : static_cast<uint64_t>(scaled);
  return Decimal{scaled < 0, std::to_string(magnitude), -places};
}

std::string DecimalToText(const Decimal& value, char separator) {
  const std::string_view digits = StripLeadingZeros(value.Digits);
  if (digits.empty()) return "0";
  std::string integer;
  std::string fraction;
  if (value.Exponent >= 0) {
    integer = std::string(digits);
    integer.append(static_cast<size_t>(value.Exponent), '0');
  } else {
    const size_t places = static_cast<size_t>(-int64_t{value.Exponent});
    if (digits.size() > places) {
      integer = std::string(digits.substr(0, digits.size() - places));
      fraction = std::string(digits.substr(digits.size() - places));
    } else {
      fraction = std::string(places - digits.size(), '0');
      fraction.append(digits);
    }
  }
  while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
  if (integer.empty()) integer = "0";
  std::string out;
  if (value.Negative) out.push_back('-');
  out += integer;
  if (!fraction.empty()) {
    out.push_back(separator);
    out += fraction;
  }
  return out;
}

std::string FormatGeneral(double value, int precision, char separator) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value > 0 ? "INF" : "-INF";
  if (value == 0) return "0";
  // d.ddde±XX, correctly rounded to `precision` significant digits.
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific,
                           precision - 1);
  std::string_view text(buf, static_cast<size_t>(res.ptr - buf));
  const size_t e = text.find('e');
  Decimal mantissa = *ParseDecimal(text.substr(0, e), DecimalSyntax{});
  int exponent = 0;
  std::string_view exp_text = text.substr(e + 1);
  if (exp_text.front() == '+') exp_text.remove_prefix(1);
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);
  std::string& digits = mantissa.Digits;
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();

  if (exponent < -5 || exponent >= precision) {
    std::string out = mantissa.Negative ? "-" : "";
    out.push_back(digits[0]);
    if (digits.size() > 1) {
      out.push_back(separator);
      out.append(digits, 1);
    }
    return out + "E" + std::to_string(exponent);
  }
  mantissa.Exponent = exponent - static_cast<int>(digits.size() - 1);
  return DecimalToText(mantissa, separator);
}

std::optional<double> DecimalToDouble(const Decimal& value) {
  const std::string_view digits = StripLeadingZeros(value.Digits);
  const double zero = value.Negative ? -0.0 : 0.0;
  if (digits.empty()) return zero;
  std::string text(digits);
  text += "e" + std::to_string(value.Exponent);
  double result = 0;
  auto res = std::from_chars(text.data(), text.data() + text.size(), result);
  if (res.ec == std::errc::result_out_of_range) {
    // Out of range one way or the other: the position of the leading digit tells which.
    const int64_t magnitude = int64_t{value.Exponent} + static_cast<int64_t>(digits.size()) - 1;
    if (magnitude < 0) return zero;
    return std::nullopt;
  }
  if (res.ec != std::errc() || std::isinf(result)) return std::nullopt;
  return value.Negative ? -result : result;
}

std::optional<Decimal> DoubleToDecimal(double value) {
  if (!std::isfinite(value)) return std::nullopt;
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, value);
  return ParseDecimal(std::string_view(buf, static_cast<size_t>(res.ptr - buf)),
                      DecimalSyntax{'.', true, false});
}

}  // namespace rda::detail
