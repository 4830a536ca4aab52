#include "base/Convert.h"

#include <limits>

#include "base/DecimalText.h"

namespace rda {

namespace {

// Optional sign and decimal digits, nothing else; the range is checked
// while the digits accumulate so no intermediate can overflow.
template <typename T>
std::optional<T> ParseStrictInt(std::string_view text) {
  size_t i = 0;
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    i = 1;
  }
  if (i == text.size()) return std::nullopt;
  using U = std::make_unsigned_t<T>;
  const U limit = negative ? U(U(std::numeric_limits<T>::max()) + 1)
                           : U(std::numeric_limits<T>::max());
  U magnitude = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return std::nullopt;
    const U digit = U(c - '0');
    if (magnitude > (limit - digit) / 10) return std::nullopt;
    magnitude = U(magnitude * 10 + digit);
  }
  return negative ? T(U(0) - magnitude) : T(magnitude);
}

}  // namespace

std::optional<int32_t> TryStrToInt(std::string_view text) { return ParseStrictInt<int32_t>(text); }

std::optional<int64_t> TryStrToInt64(std::string_view text) {
  return ParseStrictInt<int64_t>(text);
}

int32_t StrToInt(std::string_view text) {
  if (auto v = TryStrToInt(text)) return *v;
  detail::ThrowNotValid(text, "integer value");
}

int64_t StrToInt64(std::string_view text) {
  if (auto v = TryStrToInt64(text)) return *v;
  detail::ThrowNotValid(text, "integer value");
}

int32_t StrToIntDef(std::string_view text, int32_t def) { return TryStrToInt(text).value_or(def); }

int64_t StrToInt64Def(std::string_view text, int64_t def) {
  return TryStrToInt64(text).value_or(def);
}

std::string IntToStr(int64_t value) { return std::to_string(value); }

std::optional<double> TryStrToFloat(std::string_view text, const FormatSettings& fs) {
  auto decimal = detail::ParseDecimal(text, {fs.DecimalSeparator, true, true});
  if (!decimal) return std::nullopt;
  return detail::DecimalToDouble(*decimal);
}

double StrToFloat(std::string_view text, const FormatSettings& fs) {
  if (auto v = TryStrToFloat(text, fs)) return *v;
  detail::ThrowNotValid(text, "floating point value");
}

std::string FloatToStr(double value, const FormatSettings& fs) {
  return detail::FormatGeneral(value, 15, fs.DecimalSeparator);
}

}  // namespace rda
