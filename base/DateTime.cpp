#include "base/DateTime.h"

#include <chrono>
#include <cmath>
#include <limits>

#include "base/DecimalText.h"
#include "base/Exception.h"
#include "base/Text.h"

namespace rda {

namespace {

constexpr const char* kInvalidDateEncode = "Invalid argument to date encode";
constexpr const char* kInvalidTimeEncode = "Invalid argument to time encode";
constexpr const char* kInvalidTimeStamp = "Invalid argument to time stamp";

// Days between 0001-01-01 (day 1) and 1970-01-01, the epoch of the civil
// algorithms below (H. Hinnant's days_from_civil / civil_from_days).
constexpr int64_t kUnixDayNumber = 719163;

int64_t DayNumberFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468 + kUnixDayNumber;
}

DateParts CivilFromDayNumber(int64_t day_number) {
  const int64_t z = day_number - kUnixDayNumber + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  const int year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
  return {year, month, day};
}

// A whole-day value and a time of day joined the way TDateTime counts:
// backwards in whole days, forwards within the day.
TDateTime JoinDateTime(double days, double time) { return days >= 0 ? days + time : days - time; }

bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

std::string Padded(int value, int width) {
  std::string digits = std::to_string(value < 0 ? -value : value);
  if (digits.size() < static_cast<size_t>(width)) {
    digits.insert(0, static_cast<size_t>(width) - digits.size(), '0');
  }
  return value < 0 ? "-" + digits : digits;
}

template <size_t N>
const std::string& NameAt(const std::array<std::string, N>& names, int one_based) {
  static const std::string kNone;
  return one_based >= 1 && one_based <= static_cast<int>(N) ? names[static_cast<size_t>(one_based - 1)]
                                                            : kNone;
}

// ---------------------------------------------------------------------------
// Formatting

class DateTimeFormatter {
 public:
  DateTimeFormatter(TDateTime value, const FormatSettings& fs) : fs_(fs) {
    const TTimeStamp ts = DateTimeToTimeStamp(value);
    date_ = ts.Date > 0 ? CivilFromDayNumber(ts.Date) : DateParts{};
    day_of_week_ = static_cast<int>(((int64_t{ts.Date} % 7) + 7) % 7) + 1;
    time_of_day_ = ts.Time;
    time_ = {ts.Time / 3600000, ts.Time / 60000 % 60, ts.Time / 1000 % 60, ts.Time % 1000};
  }

  // Nested formats (c, ddddd, t) are followed two levels deep, so a format
  // that names itself cannot recurse without end.
  void Append(std::string_view pattern, std::string& out, int depth = 0) const {
    if (depth > 2) return;
    char last_token = 0;
    size_t i = 0;
    while (i < pattern.size()) {
      const char c = pattern[i];
      char token = ToUpperAscii(c);
      if (IsLetter(token)) {
        if (token == 'M' && last_token == 'H') token = 'N';
        last_token = token;
      }
      const size_t count = RunLength(pattern, i);
      switch (token) {
        case '"':
        case '\'': {
          const size_t close = pattern.find(c, i + 1);
          const size_t end = close == std::string_view::npos ? pattern.size() : close;
          out.append(pattern.substr(i + 1, end - i - 1));
          i = end == pattern.size() ? end : end + 1;
          continue;
        }
        case 'C':
          Append(fs_.ShortDateFormat, out, depth + 1);
          if (time_of_day_ != 0) {
            out.push_back(' ');
            Append(fs_.LongTimeFormat, out, depth + 1);
          }
          i += 1;
          continue;
        case 'D':
          AppendDay(count, out, depth);
          break;
        case 'M':
          if (count == 1) out += std::to_string(date_.Month);
          else if (count == 2) out += Padded(date_.Month, 2);
          else if (count == 3) out += NameAt(fs_.ShortMonthNames, date_.Month);
          else out += NameAt(fs_.LongMonthNames, date_.Month);
          break;
        case 'Y':
          out += count <= 2 ? Padded(date_.Year % 100, 2) : Padded(date_.Year, 4);
          break;
        case 'H': {
          int hour = time_.Hour;
          if (TwelveHourClock(pattern.substr(i + count))) {
            hour %= 12;
            if (hour == 0) hour = 12;
          }
          out += count == 1 ? std::to_string(hour) : Padded(hour, 2);
          break;
        }
        case 'N':
          out += count == 1 ? std::to_string(time_.Minute) : Padded(time_.Minute, 2);
          break;
        case 'S':
          out += count == 1 ? std::to_string(time_.Second) : Padded(time_.Second, 2);
          break;
        case 'Z':
          out += count <= 2 ? std::to_string(time_.MSec) : Padded(time_.MSec, 3);
          break;
        case 'T':
          Append(count == 1 ? fs_.ShortTimeFormat : fs_.LongTimeFormat, out, depth + 1);
          break;
        case 'A':
          i += AppendMarker(pattern.substr(i), out);
          continue;
        case '/':
          out.push_back(fs_.DateSeparator);
          i += 1;
          continue;
        case ':':
          out.push_back(fs_.TimeSeparator);
          i += 1;
          continue;
        default:
          out.push_back(c);
          i += 1;
          continue;
      }
      i += count;
    }
  }

 private:
  static size_t RunLength(std::string_view pattern, size_t i) {
    size_t j = i + 1;
    while (j < pattern.size() && ToUpperAscii(pattern[j]) == ToUpperAscii(pattern[i])) ++j;
    return j - i;
  }

  // An hour is on the 12-hour clock when an AM/PM marker follows it before
  // the next hour; the first 'a' outside quotes decides.
  static bool TwelveHourClock(std::string_view rest) {
    char quote = 0;
    for (size_t i = 0; i < rest.size(); ++i) {
      const char c = rest[i];
      if (quote != 0) {
        if (c == quote) quote = 0;
      } else if (c == '"' || c == '\'') {
        quote = c;
      } else if (ToUpperAscii(c) == 'H') {
        return false;
      } else if (ToUpperAscii(c) == 'A') {
        return StartsTextAscii(rest.substr(i), "am/pm") ||
               StartsTextAscii(rest.substr(i), "a/p") || StartsTextAscii(rest.substr(i), "ampm");
      }
    }
    return false;
  }

  // "am/pm" and "a/p" copy the marker from the pattern in its case; "ampm"
  // gives the settings' strings. Returns the pattern characters consumed.
  size_t AppendMarker(std::string_view at, std::string& out) const {
    const bool pm = time_.Hour >= 12;
    if (StartsTextAscii(at, "am/pm")) {
      out.append(at.substr(pm ? 3 : 0, 2));
      return 5;
    }
    if (StartsTextAscii(at, "a/p")) {
      out.push_back(at[pm ? 2 : 0]);
      return 3;
    }
    if (StartsTextAscii(at, "ampm")) {
      out += pm ? fs_.TimePMString : fs_.TimeAMString;
      return 4;
    }
    out.push_back(at[0]);
    return 1;
  }

  void AppendDay(size_t count, std::string& out, int depth) const {
    switch (count) {
      case 1: out += std::to_string(date_.Day); break;
      case 2: out += Padded(date_.Day, 2); break;
      case 3: out += NameAt(fs_.ShortDayNames, day_of_week_); break;
      case 4: out += NameAt(fs_.LongDayNames, day_of_week_); break;
      case 5: Append(fs_.ShortDateFormat, out, depth + 1); break;
      default: Append(fs_.LongDateFormat, out, depth + 1); break;
    }
  }

  const FormatSettings& fs_;
  DateParts date_;
  TimeParts time_;
  int day_of_week_ = 0;
  int32_t time_of_day_ = 0;
};

// ---------------------------------------------------------------------------
// Reading

enum class DateOrder { MDY, DMY, YMD };

// The order of the first day, month or year field of the short date format.
DateOrder GetDateOrder(std::string_view format) {
  char quote = 0;
  for (char c : format) {
    if (quote != 0) {
      if (c == quote) quote = 0;
      continue;
    }
    switch (ToUpperAscii(c)) {
      case '"':
      case '\'': quote = c; break;
      case 'D': return DateOrder::DMY;
      case 'M': return DateOrder::MDY;
      case 'Y': return DateOrder::YMD;
      default: break;
    }
  }
  return DateOrder::MDY;
}

// Separators a date may be written with: the date separator, and the
// literal separators of the short date format, so that a date written with
// "dd.mm.yyyy" reads back whatever the date separator is.
std::string DateSeparators(const FormatSettings& fs) {
  std::string out(1, fs.DateSeparator);
  char quote = 0;
  for (char c : fs.ShortDateFormat) {
    if (quote != 0) {
      if (c == quote) quote = 0;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (!IsLetter(c) && c != '/' && !detail::IsBlank(c) && out.find(c) == std::string::npos) {
      out.push_back(c);
    }
  }
  return out;
}

int CurrentYear() {
  using namespace std::chrono;
  return static_cast<int>(year_month_day{floor<days>(system_clock::now())}.year());
}

class Scanner {
 public:
  explicit Scanner(std::string_view text) : text_(text) {}

  void SkipBlanks() {
    while (pos_ < text_.size() && detail::IsBlank(text_[pos_])) ++pos_;
  }
  bool AtEndAfterBlanks() {
    SkipBlanks();
    return pos_ == text_.size();
  }
  // Up to nine digits after optional blanks; `digits` is how many were written.
  bool Number(int& value, int& digits) {
    SkipBlanks();
    value = 0;
    digits = 0;
    while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') {
      if (++digits > 9) return false;
      value = value * 10 + (text_[pos_++] - '0');
    }
    return digits > 0;
  }
  bool Number(int& value) {
    int digits = 0;
    return Number(value, digits);
  }
  // One of the characters after optional blanks; a blank among them is met
  // by the blanks themselves.
  bool OneOf(std::string_view chars) {
    const size_t start = pos_;
    SkipBlanks();
    if (pos_ < text_.size() && chars.find(text_[pos_]) != std::string_view::npos) {
      ++pos_;
      return true;
    }
    return pos_ > start && chars.find(' ') != std::string_view::npos;
  }
  bool Word(std::string_view word) {
    SkipBlanks();
    if (word.empty() || !StartsTextAscii(text_.substr(pos_), word)) return false;
    pos_ += word.size();
    return true;
  }

 private:
  std::string_view text_;
  size_t pos_ = 0;
};

std::optional<TDateTime> ScanDate(Scanner& in, const FormatSettings& fs) {
  const std::string separators = DateSeparators(fs);
  int n[3] = {0, 0, 0};
  int digits[3] = {0, 0, 0};
  if (!in.Number(n[0], digits[0]) || !in.OneOf(separators) || !in.Number(n[1], digits[1])) {
    return std::nullopt;
  }
  const bool has_year = in.OneOf(separators);
  if (has_year && !in.Number(n[2], digits[2])) return std::nullopt;

  int year = 0, month = 0, day = 0, year_digits = 4;
  const DateOrder order = GetDateOrder(fs.ShortDateFormat);
  if (!has_year) {
    // Two numbers: month and day in the format's order, in the current year.
    year = CurrentYear();
    if (order == DateOrder::DMY) {
      day = n[0];
      month = n[1];
    } else {
      month = n[0];
      day = n[1];
    }
  } else if (order == DateOrder::MDY) {
    month = n[0], day = n[1], year = n[2], year_digits = digits[2];
  } else if (order == DateOrder::DMY) {
    day = n[0], month = n[1], year = n[2], year_digits = digits[2];
  } else {
    year = n[0], month = n[1], day = n[2], year_digits = digits[0];
  }
  if (year_digits <= 2) year += CurrentYear() / 100 * 100;
  return TryEncodeDate(year, month, day);
}

// -1 without a marker, else the hour the marker adds (0 or 12).
int ScanMarker(Scanner& in, const FormatSettings& fs) {
  if (in.Word(fs.TimeAMString) || in.Word("AM")) return 0;
  if (in.Word(fs.TimePMString) || in.Word("PM")) return 12;
  return -1;
}

std::optional<TDateTime> ScanTime(Scanner& in, const FormatSettings& fs) {
  int base_hour = ScanMarker(in, fs);
  int hour = 0, minute = 0, second = 0, msec = 0;
  if (!in.Number(hour)) return std::nullopt;
  const std::string time_separator(1, fs.TimeSeparator);
  if (in.OneOf(time_separator)) {
    if (!in.Number(minute)) return std::nullopt;
    if (in.OneOf(time_separator)) {
      if (!in.Number(second)) return std::nullopt;
      // Milliseconds as written by z or zzz: a plain count.
      if (in.OneOf(std::string{'.', fs.DecimalSeparator}) && !in.Number(msec)) {
        return std::nullopt;
      }
    }
  }
  if (base_hour < 0) base_hour = ScanMarker(in, fs);
  if (base_hour >= 0) {
    if (hour == 0 || hour > 12) return std::nullopt;
    hour = hour % 12 + base_hour;
  }
  return TryEncodeTime(hour, minute, second, msec);
}

template <typename Parse>
std::optional<TDateTime> ScanWhole(std::string_view text, Parse parse) {
  Scanner in(text);
  auto value = parse(in);
  if (!value || !in.AtEndAfterBlanks()) return std::nullopt;
  return value;
}

}  // namespace

bool IsLeapYear(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int DaysInMonth(int year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

std::optional<TDateTime> TryEncodeDate(int year, int month, int day) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > DaysInMonth(year, month)) {
    return std::nullopt;
  }
  return static_cast<double>(DayNumberFromCivil(year, month, day) - kDateDelta);
}

std::optional<TDateTime> TryEncodeTime(int hour, int minute, int second, int msec) {
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 ||
      msec < 0 || msec > 999) {
    return std::nullopt;
  }
  return (hour * 3600000 + minute * 60000 + second * 1000 + msec) / double{kMSecsPerDay};
}

TDateTime EncodeDate(int year, int month, int day) {
  if (auto v = TryEncodeDate(year, month, day)) return *v;
  throw EConvertError(kInvalidDateEncode);
}

TDateTime EncodeTime(int hour, int minute, int second, int msec) {
  if (auto v = TryEncodeTime(hour, minute, second, msec)) return *v;
  throw EConvertError(kInvalidTimeEncode);
}

DateParts DecodeDate(TDateTime value) {
  const TTimeStamp ts = DateTimeToTimeStamp(value);
  return ts.Date > 0 ? CivilFromDayNumber(ts.Date) : DateParts{};
}

TimeParts DecodeTime(TDateTime value) {
  const int32_t ms = DateTimeToTimeStamp(value).Time;
  return {ms / 3600000, ms / 60000 % 60, ms / 1000 % 60, ms % 1000};
}

int DayOfWeek(TDateTime value) {
  return static_cast<int>(((int64_t{DateTimeToTimeStamp(value).Date} % 7) + 7) % 7) + 1;
}

TTimeStamp DateTimeToTimeStamp(TDateTime value) {
  if (!std::isfinite(value)) throw EConvertError(kInvalidTimeStamp);
  const double whole = std::trunc(value);
  const double day = whole + kDateDelta;
  // One day of headroom for the carry of a time that rounds up to midnight.
  if (day < std::numeric_limits<int32_t>::min() || day >= std::numeric_limits<int32_t>::max()) {
    throw EConvertError(kInvalidTimeStamp);
  }
  auto date = static_cast<int32_t>(day);
  auto time = static_cast<int32_t>(std::llround(std::fabs(value - whole) * kMSecsPerDay));
  if (time >= kMSecsPerDay) {
    // Rounded up to the next midnight: that is the next day, whichever way
    // the whole days count.
    time -= kMSecsPerDay;
    ++date;
  }
  return {time, date};
}

TDateTime TimeStampToDateTime(TTimeStamp ts) {
  if (ts.Date <= 0 || ts.Time < 0 || ts.Time >= kMSecsPerDay) {
    throw EConvertError("'" + std::to_string(ts.Date) + "." + std::to_string(ts.Time) +
                        "' is not a valid timestamp");
  }
  return JoinDateTime(static_cast<double>(int64_t{ts.Date} - kDateDelta),
                      ts.Time / double{kMSecsPerDay});
}

double TimeStampToMSecs(TTimeStamp ts) {
  return static_cast<double>(ts.Date) * kMSecsPerDay + ts.Time;
}

TTimeStamp MSecsToTimeStamp(double msecs) {
  if (!std::isfinite(msecs) || msecs < 0) throw EConvertError(kInvalidTimeStamp);
  const double rounded = std::round(msecs);
  if (rounded >= (double{std::numeric_limits<int32_t>::max()} + 1) * kMSecsPerDay) {
    throw EConvertError(kInvalidTimeStamp);
  }
  const auto total = static_cast<int64_t>(rounded);
  return {static_cast<int32_t>(total % kMSecsPerDay), static_cast<int32_t>(total / kMSecsPerDay)};
}

std::string FormatDateTime(std::string_view pattern, TDateTime value, const FormatSettings& fs) {
  std::string out;
  DateTimeFormatter(value, fs).Append(pattern, out);
  return out;
}

std::string DateToStr(TDateTime value, const FormatSettings& fs) {
  return FormatDateTime(fs.ShortDateFormat, value, fs);
}

std::string TimeToStr(TDateTime value, const FormatSettings& fs) {
  return FormatDateTime(fs.LongTimeFormat, value, fs);
}

std::string DateTimeToStr(TDateTime value, const FormatSettings& fs) {
  return FormatDateTime("c", value, fs);
}

std::optional<TDateTime> TryStrToDate(std::string_view text, const FormatSettings& fs) {
  return ScanWhole(text, [&](Scanner& in) { return ScanDate(in, fs); });
}

std::optional<TDateTime> TryStrToTime(std::string_view text, const FormatSettings& fs) {
  return ScanWhole(text, [&](Scanner& in) { return ScanTime(in, fs); });
}

std::optional<TDateTime> TryStrToDateTime(std::string_view text, const FormatSettings& fs) {
  auto both = ScanWhole(text, [&](Scanner& in) -> std::optional<TDateTime> {
    auto date = ScanDate(in, fs);
    if (!date) return std::nullopt;
    if (in.AtEndAfterBlanks()) return date;
    auto time = ScanTime(in, fs);
    if (!time) return std::nullopt;
    return JoinDateTime(*date, *time);
  });
  return both ? both : TryStrToTime(text, fs);
}

TDateTime StrToDate(std::string_view text, const FormatSettings& fs) {
  if (auto v = TryStrToDate(text, fs)) return *v;
  detail::ThrowNotValid(text, "date");
}

TDateTime StrToTime(std::string_view text, const FormatSettings& fs) {
  if (auto v = TryStrToTime(text, fs)) return *v;
  detail::ThrowNotValid(text, "time");
}

TDateTime StrToDateTime(std::string_view text, const FormatSettings& fs) {
  if (auto v = TryStrToDateTime(text, fs)) return *v;
  detail::ThrowNotValid(text, "date and time");
}

}  // namespace rda
