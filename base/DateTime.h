// Date and time values.
//
// A TDateTime is a double counting days since 1899-12-30 00:00; the fraction
// is the time of day (0.5 = noon). Negative values count backwards in whole
// days, with the fraction still meaning the time of that day
// (-1.25 = 1899-12-29 06:00).
//
// Rows and streams keep dates in two other forms, joined in TTimeStamp:
//   Date: day number, 0001-01-01 being day 1
//   Time: milliseconds since midnight
// and "milliseconds" = Date × 86,400,000 + Time as one double.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/FormatSettings.h"

namespace rda {

using TDateTime = double;

inline constexpr int32_t kDateDelta = 693594;  // days from 0001-01-01 (day 1) to 1899-12-30
inline constexpr int32_t kMSecsPerDay = 86400000;

struct TTimeStamp {
  int32_t Time = 0;  // milliseconds since midnight
  int32_t Date = 0;  // days, 0001-01-01 = 1
  friend bool operator==(const TTimeStamp&, const TTimeStamp&) = default;
};

struct DateParts {
  int Year = 0, Month = 0, Day = 0;
};
struct TimeParts {
  int Hour = 0, Minute = 0, Second = 0, MSec = 0;
};

bool IsLeapYear(int year);
int DaysInMonth(int year, int month);

// Raise EConvertError "Invalid argument to date encode" /
// "Invalid argument to time encode" on values out of range.
TDateTime EncodeDate(int year, int month, int day);
TDateTime EncodeTime(int hour, int minute, int second, int msec);
std::optional<TDateTime> TryEncodeDate(int year, int month, int day);
std::optional<TDateTime> TryEncodeTime(int hour, int minute, int second, int msec);
DateParts DecodeDate(TDateTime value);
TimeParts DecodeTime(TDateTime value);
// Day of week, 1 = Sunday .. 7 = Saturday.
int DayOfWeek(TDateTime value);
// DecodeDate gives all zeros for a value before 0001-01-01. Decoding,
// formatting and DayOfWeek go through DateTimeToTimeStamp and raise as it does.

// Conversions to and from the stored forms; the time is rounded to the
// nearest millisecond, and a time that rounds up to midnight is the start of
// the next day. DateTimeToTimeStamp raises EConvertError "Invalid argument to
// time stamp" for a non-finite value or a day number beyond 32 bits;
// TimeStampToDateTime raises EConvertError "'<Date>.<Time>' is not a valid
// timestamp" unless Date >= 1 and 0 <= Time < 86,400,000.
TTimeStamp DateTimeToTimeStamp(TDateTime value);
TDateTime TimeStampToDateTime(TTimeStamp ts);
double TimeStampToMSecs(TTimeStamp ts);
// Raises EConvertError "Invalid argument to time stamp" for a negative or
// non-finite value.
TTimeStamp MSecsToTimeStamp(double msecs);

// Formatting with the system's patterns (case-insensitive):
//   d dd ddd dddd   day, two-digit day, short and long day name
//   ddddd dddddd    short date, long date format
//   m mm mmm mmmm   month (as minutes when the last letter before was h),
//                   short and long name
//   yy yyyy         year (yy: last two digits)
//   h hh n nn s ss  hour, minute, second; z zzz milliseconds
//   am/pm a/p ampm  12-hour clock with the marker (am/pm and a/p in the case
//                   written; ampm the settings' strings); an h is on the
//                   12-hour clock when a marker follows before the next h
//   t tt            short, long time format
//   c  short date + long time, the time left out at midnight
//   /  date separator;  :  time separator
//   "text" 'text'   literal text; any other character is copied
std::string FormatDateTime(std::string_view pattern, TDateTime value,
                           const FormatSettings& fs = DefaultFormatSettings());
// Short date; long time; short date plus long time (the time left out at midnight).
std::string DateToStr(TDateTime value, const FormatSettings& fs = DefaultFormatSettings());
std::string TimeToStr(TDateTime value, const FormatSettings& fs = DefaultFormatSettings());
std::string DateTimeToStr(TDateTime value, const FormatSettings& fs = DefaultFormatSettings());

// Reading follows the order of day, month and year in ShortDateFormat,
// with the date separator or a separator written literally in
// ShortDateFormat ("dd.mm.yyyy"); blanks around the parts are allowed. A year
// of one or two digits is taken in the current century; with only two
// numbers they are month and day (in the format's order) of the current
// year. Times are h[:n[:s[.z]]] with z a count of milliseconds (as z and zzz
// write it) after '.' or the decimal separator, and an optional AM/PM marker
// (the settings' strings or "AM"/"PM", any case) before or after; with a
// marker the hour is 1..12. StrToDateTime takes a date, a date and a time,
// or a time alone.
// Raise EConvertError "'<text>' is not a valid date" / "... time" /
// "... date and time".
TDateTime StrToDate(std::string_view text, const FormatSettings& fs = DefaultFormatSettings());
TDateTime StrToTime(std::string_view text, const FormatSettings& fs = DefaultFormatSettings());
TDateTime StrToDateTime(std::string_view text,
                        const FormatSettings& fs = DefaultFormatSettings());
std::optional<TDateTime> TryStrToDate(std::string_view text,
                                      const FormatSettings& fs = DefaultFormatSettings());
std::optional<TDateTime> TryStrToTime(std::string_view text,
                                      const FormatSettings& fs = DefaultFormatSettings());
std::optional<TDateTime> TryStrToDateTime(std::string_view text,
                                          const FormatSettings& fs = DefaultFormatSettings());

}  // namespace rda
