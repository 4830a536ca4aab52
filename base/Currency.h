// The currency type: a signed 64-bit integer holding the value × 10,000,
// which keeps four decimal places exactly.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/FormatSettings.h"

namespace rda {

struct Currency {
  static constexpr int64_t kScale = 10000;
  int64_t Scaled = 0;  // value × 10,000

  static constexpr Currency FromScaled(int64_t scaled) { return Currency{scaled}; }
  // Rounds to the nearest 1/10,000 (halves away from zero), taking the
  // double as its shortest round-trip decimal text, so 1.00005 gives 1.0001.
  // Raises EConvertError "Floating point overflow" when the value is outside
  // the currency range, "Invalid floating point operation" for a NaN.
  static Currency FromDouble(double value);
  double ToDouble() const { return static_cast<double>(Scaled) / kScale; }

  friend constexpr auto operator<=>(Currency, Currency) = default;
};

// "12.5", "-0.0001", "922337203685477.5807"; no trailing zeros, no thousands.
std::string CurrToStr(Currency value, const FormatSettings& fs = DefaultFormatSettings());
// Exact decimal reading (no double in between) of [sign] digits
// [separator digits] [E [sign] digits], blanks around it allowed; more than
// four decimals are rounded half away from zero. Raises EConvertError
// "'<text>' is not a valid floating point value".
Currency StrToCurr(std::string_view text, const FormatSettings& fs = DefaultFormatSettings());
std::optional<Currency> TryStrToCurr(std::string_view text,
                                     const FormatSettings& fs = DefaultFormatSettings());

}  // namespace rda
