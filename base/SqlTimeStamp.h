// The SQL time stamp record: 16 bytes, little-endian:
//
//   offset size  field
//   0      2     Year (signed)
//   2      2     Month      4  2  Day      6  2  Hour
//   8      2     Minute    10  2  Second  (all unsigned 16-bit)
//   12     4     Fractions (unsigned 32-bit, milliseconds)
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/DateTime.h"

namespace rda {

struct SqlTimeStamp {
  static constexpr size_t kSize = 16;

  int16_t Year = 0;
  uint16_t Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0;
  uint32_t Fractions = 0;

  std::string ToBytes() const;
  // Raises EReadError "Stream read error" unless given exactly 16 bytes.
  static SqlTimeStamp FromBytes(std::string_view bytes);

  friend bool operator==(const SqlTimeStamp&, const SqlTimeStamp&) = default;
};

// An all-zero record is the null time stamp and converts to 0. Otherwise
// the fields must form a valid date and time, else EConvertError
// "Invalid argument to date encode" / "... time encode".
TDateTime SqlTimeStampToDateTime(const SqlTimeStamp& ts);
// Raises EConvertError "Invalid argument to date encode" for a date outside
// the years 1..9999 (the record could not be read back).
SqlTimeStamp DateTimeToSqlTimeStamp(TDateTime value);
// Text in the form of DateTimeToStr (the null time stamp gives ""), and read
// back with StrToDateTime.
std::string SqlTimeStampToStr(const SqlTimeStamp& ts,
                              const FormatSettings& fs = DefaultFormatSettings());
SqlTimeStamp StrToSqlTimeStamp(std::string_view text,
                               const FormatSettings& fs = DefaultFormatSettings());

}  // namespace rda
