// The 34-byte packed decimal record (FMT BCD).
//
// Layout, as stored in rows, streams and parameter values:
//
//   offset size  meaning
//   0      1     Precision: number of digits held (1..64)
//   1      1     SignSpecialPlaces: bit 7 sign (1 = negative), bit 6 special,
//                bits 0..5 decimal places (0..63)
//   2      32    Fraction: packed digits, two per byte, high nibble first,
//                most significant digit first; Precision digits are used,
//                the rest are zero
//
// The value is the Precision digits read as an integer, divided by
// 10^places. Conversions to and from decimal text are exact.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/Currency.h"
#include "base/FormatSettings.h"

namespace rda {

struct Bcd {
  static constexpr size_t kSize = 34;
  static constexpr int kMaxDigits = 64;

  uint8_t Precision = 0;
  uint8_t SignSpecialPlaces = 0;
  std::array<uint8_t, 32> Fraction{};

  bool IsNegative() const { return (SignSpecialPlaces & 0x80) != 0; }
  int Places() const { return SignSpecialPlaces & 0x3F; }

  // The 34 stored bytes, and back; FromBytes raises EReadError
  // "Stream read error" unless given exactly 34 bytes.
  std::string ToBytes() const;
  static Bcd FromBytes(std::string_view bytes);

  friend bool operator==(const Bcd&, const Bcd&) = default;
};

// Text such as "-123.4500": optional sign, digits, the settings' decimal
// separator, digits (either side may be empty, not both), blanks around it
// allowed; no exponent; at most 64 significant digits. Raises EConvertError
// "'<text>' is not a valid BCD value".
//
// The result is normalised: leading zeros of the integer part are dropped,
// every written fractional digit is kept (places = digits after the
// separator), Precision = digits held and never below places, zero is never
// negative. "0" -> precision 1, places 0; "007.50" -> 750 with precision 3,
// places 2; "0.05" -> 05 with precision 2, places 2; "-0" equals "0".
// Trailing fractional zeros are dropped only where 64 digits or 63 places
// could not hold them.
Bcd StrToBcd(std::string_view text, const FormatSettings& fs = DefaultFormatSettings());
std::optional<Bcd> TryStrToBcd(std::string_view text,
                               const FormatSettings& fs = DefaultFormatSettings());
// Exact text without leading zeros and without trailing fractional zeros
// ("0", "-12.5"); a record with invalid digits gives "0".
std::string BcdToStr(const Bcd& value, const FormatSettings& fs = DefaultFormatSettings());

// Nearest double; and a double to a Bcd through its shortest exact-round-trip
// text (normalised as above; digits past 63 places are rounded half away from
// zero). DoubleToBcd raises EConvertError "BCD overflow" for a value that
// needs more than 64 digits, an infinity or a NaN.
double BcdToDouble(const Bcd& value);
Bcd DoubleToBcd(double value);
// Currency keeps four places: Bcd with more places is rounded half away from
// zero; BcdToCurrency raises EConvertError "BCD overflow" outside the
// currency range. CurrencyToBcd gives four places ("0.5" -> 5000, places 4).
Currency BcdToCurrency(const Bcd& value);
Bcd CurrencyToBcd(Currency value);
// Numeric comparison (-1, 0, 1), independent of precision and places.
int BcdCompare(const Bcd& a, const Bcd& b);

// Arithmetic. Sums, differences and products are exact (places: the larger
// of the two for + and -, their sum for *) as long as the result fits a
// record; otherwise it is rounded half away from zero to 64 significant
// digits and at most 63 places. A quotient is rounded the same way and loses
// its trailing fractional zeros (1 / 4 gives 0.25). An integer part of more
// than 64 digits raises EConvertError "BCD overflow"; a zero divisor raises
// EDivByZero "Division by zero". Malformed records count as zero.
Bcd BcdAdd(const Bcd& a, const Bcd& b);
Bcd BcdSubtract(const Bcd& a, const Bcd& b);
Bcd BcdMultiply(const Bcd& a, const Bcd& b);
Bcd BcdDivide(const Bcd& a, const Bcd& b);
Bcd BcdNegate(const Bcd& a);

}  // namespace rda
