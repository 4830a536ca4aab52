// Text to number conversions, strict and lenient, as the system uses them.
//
// Strict conversions accept an optional sign and decimal digits only (no
// blanks, no hexadecimal) and raise EConvertError
// "'<text>' is not a valid integer value" (or "... floating point value")
// on anything else, including a value outside the target's range. Lenient
// conversions never raise: text that is not a number gives the default.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/FormatSettings.h"

namespace rda {

// Strict.
int32_t StrToInt(std::string_view text);
int64_t StrToInt64(std::string_view text);
std::optional<int32_t> TryStrToInt(std::string_view text);
std::optional<int64_t> TryStrToInt64(std::string_view text);

// Lenient: text that is not a number (or is out of range) gives def.
int32_t StrToIntDef(std::string_view text, int32_t def = 0);
int64_t StrToInt64Def(std::string_view text, int64_t def = 0);

std::string IntToStr(int64_t value);

// Floating point text with the settings' decimal separator; an exponent
// ("1.5E10") is accepted, surrounding blanks are ignored. Raises
// EConvertError "'<text>' is not a valid floating point value".
double StrToFloat(std::string_view text, const FormatSettings& fs = DefaultFormatSettings());
std::optional<double> TryStrToFloat(std::string_view text,
                                    const FormatSettings& fs = DefaultFormatSettings());
// The shortest general form with at most 15 significant digits: 0.1 -> "0.1",
// 1e20 -> "1E20", 42 -> "42".
std::string FloatToStr(double value, const FormatSettings& fs = DefaultFormatSettings());

}  // namespace rda
