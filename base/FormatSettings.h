// Locale settings used to format and read numbers and dates as text.
//
// The system formatted numbers and dates with the desktop's regional
// settings. Here one FormatSettings object stands for them. Its defaults are
// those of the US English desktop the system was built for, with a 24-hour
// clock so that texts read back unambiguously:
//
//   DecimalSeparator  '.'        ThousandSeparator ','
//   DateSeparator     '/'        TimeSeparator     ':'
//   ShortDateFormat   "m/d/yyyy" LongDateFormat    "dddd, mmmm d, yyyy"
//   ShortTimeFormat   "hh:nn"    LongTimeFormat    "hh:nn:ss"
//   TimeAMString "AM", TimePMString "PM", English month and day names.
//
// Functions that format or read text take a FormatSettings argument that
// defaults to DefaultFormatSettings(), the process-wide object an
// application may change once at start-up (the library never changes it).
#pragma once

#include <array>
#include <string>

namespace rda {

struct FormatSettings {
  char DecimalSeparator = '.';
  char ThousandSeparator = ',';
  char DateSeparator = '/';
  char TimeSeparator = ':';
  std::string ShortDateFormat = "m/d/yyyy";
  std::string LongDateFormat = "dddd, mmmm d, yyyy";
  std::string ShortTimeFormat = "hh:nn";
  std::string LongTimeFormat = "hh:nn:ss";
  std::string TimeAMString = "AM";
  std::string TimePMString = "PM";
  std::array<std::string, 12> ShortMonthNames{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::array<std::string, 12> LongMonthNames{"January", "February", "March",     "April",
                                             "May",     "June",     "July",      "August",
                                             "September", "October", "November", "December"};
  std::array<std::string, 7> ShortDayNames{"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  std::array<std::string, 7> LongDayNames{"Sunday",   "Monday", "Tuesday", "Wednesday",
                                          "Thursday", "Friday", "Saturday"};
};

// The process-wide settings; an application may change them before it
// starts working, never while other code formats.
FormatSettings& DefaultFormatSettings();

}  // namespace rda
