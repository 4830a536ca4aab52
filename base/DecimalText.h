// Exact decimal numbers as digit strings: the common ground of the text
// conversions of floats, currency and BCD. Internal to base/.
//
// A Decimal is Digits × 10^Exponent with a sign; Digits holds '0'..'9' only
// and may have leading zeros. Nothing here goes through a double, so texts
// convert to currency and BCD exactly.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace rda::detail {

struct Decimal {
  bool Negative = false;
  std::string Digits;
  int32_t Exponent = 0;

  bool IsZero() const { return Digits.find_first_not_of('0') == std::string::npos; }
};

// Exponents are saturated at this magnitude while reading; any number that
// far out is beyond every target type, so the value is not changed in effect.
inline constexpr int32_t kMaxDecimalExponent = 1000000;

struct DecimalSyntax {
  char Separator = '.';
  bool AllowExponent = false;  // "1.5E10", "2e-3"
  bool TrimBlanks = false;     // blanks (spaces, tabs) around the number
};

// Reads [sign] digits [separator digits] [E [sign] digits]; at least one
// mantissa digit is required, on either side of the separator. Nothing else
// is accepted.
std::optional<Decimal> ParseDecimal(std::string_view text, DecimalSyntax syntax);

enum class RoundMode { HalfAwayFromZero, HalfEven };

// The magnitude rounded to `places` decimals, as the digits of an integer
// counting units of 10^-places, without leading zeros ("" for zero).
// Returns nullopt when the result would have more than max_digits digits.
std::optional<std::string> RoundToPlaces(const Decimal& value, int places, RoundMode mode,
                                         size_t max_digits);

// The value rounded to `places` decimals as an integer count of 10^-places;
// nullopt when that does not fit in int64_t.
std::optional<int64_t> DecimalToScaled(const Decimal& value, int places, RoundMode mode);

// The signed integer `scaled` / 10^places as a Decimal.
Decimal ScaledToDecimal(int64_t scaled, int places);

// Plain text without exponent, leading zeros or trailing fractional zeros:
// "0", "-12.5", "0.001".
std::string DecimalToText(const Decimal& value, char separator);

// General-format text of a double with at most `precision` significant
// digits; exponent form ("1E20", "1.5E-7") when the exponent is below -5 or
// at least `precision`. "NAN", "INF" and "-INF" for the special values.
std::string FormatGeneral(double value, int precision, char separator);

// The nearest double to an exact decimal (the digits are not limited).
// nullopt when the value is beyond the double range; tiny values give zero.
std::optional<double> DecimalToDouble(const Decimal& value);

// The shortest decimal that reads back as the same double; nullopt for
// infinities and NaN.
std::optional<Decimal> DoubleToDecimal(double value);

// Raises EConvertError "'<text>' is not a valid <what>", the common form of
// the conversion errors ("integer value", "date", "BCD value", ...).
[[noreturn]] void ThrowNotValid(std::string_view text, std::string_view what);

// True for a space or a tab.
inline bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace rda::detail
