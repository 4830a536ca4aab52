#include "base/Currency.h"

#include <cmath>

#include "base/DecimalText.h"
#include "base/Exception.h"

namespace rda {

Currency Currency::FromDouble(double value) {
  if (std::isnan(value)) throw EConvertError("Invalid floating point operation");
  // Through the shortest text that reads back as the same double, so that
  // 1.00005 rounds as written (up) and not as its binary neighbour below.
  if (auto decimal = detail::DoubleToDecimal(value)) {
    if (auto scaled = detail::DecimalToScaled(*decimal, 4, detail::RoundMode::HalfAwayFromZero)) {
      return FromScaled(*scaled);
    }
  }
  throw EConvertError("Floating point overflow");
}

std::string CurrToStr(Currency value, const FormatSettings& fs) {
  return detail::DecimalToText(detail::ScaledToDecimal(value.Scaled, 4), fs.DecimalSeparator);
}

std::optional<Currency> TryStrToCurr(std::string_view text, const FormatSettings& fs) {
  auto decimal = detail::ParseDecimal(text, {fs.DecimalSeparator, true, true});
  if (!decimal) return std::nullopt;
  auto scaled = detail::DecimalToScaled(*decimal, 4, detail::RoundMode::HalfAwayFromZero);
  if (!scaled) return std::nullopt;
  return Currency::FromScaled(*scaled);
}

Currency StrToCurr(std::string_view text, const FormatSettings& fs) {
  if (auto v = TryStrToCurr(text, fs)) return *v;
  detail::ThrowNotValid(text, "floating point value");
}

}  // namespace rda
