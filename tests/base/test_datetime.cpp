// Dates and times: the three stored forms, formatting and reading, SQL time stamps.
#include <chrono>
#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "base/DateTime.h"
#include "base/Exception.h"
#include "base/SqlTimeStamp.h"
#include "tests/base/RaisesWith.h"

namespace rda {
namespace {

using test::RaisesWith;

struct Moment {
  int year, month, day, hour, minute, second, msec;
  int32_t day_number;
  double date_time;  // the expected TDateTime
};

// Edges of the calendar and of the day, before and after 1899-12-30.
const Moment kMoments[] = {
    {1, 1, 1, 0, 0, 0, 0, 1, -693593.0},
    {1, 1, 1, 23, 59, 59, 999, 1, -693593.0 - 86399999.0 / 86400000},
    {1899, 12, 29, 6, 0, 0, 0, 693593, -1.25},
    {1899, 12, 30, 0, 0, 0, 0, 693594, 0.0},
    {1899, 12, 30, 12, 0, 0, 0, 693594, 0.5},
    {1900, 1, 1, 0, 0, 0, 1, 693596, 2 + 1.0 / 86400000},
    {1970, 1, 1, 0, 0, 0, 0, 719163, 25569.0},
    {2000, 2, 29, 12, 0, 0, 0, 730179, 36585.5},
    {9999, 12, 31, 23, 59, 59, 999, 3652059, 2958465 + 86399999.0 / 86400000},
};

TDateTime Encode(const Moment& m) {
  const TDateTime date = EncodeDate(m.year, m.month, m.day);
  const TDateTime time = EncodeTime(m.hour, m.minute, m.second, m.msec);
  return date >= 0 ? date + time : date - time;
}

TEST(DateTime, StoredFormsRoundTripAtTheEdges) {
  for (const Moment& m : kMoments) {
    SCOPED_TRACE(std::to_string(m.year) + "-" + std::to_string(m.month) + "-" +
                 std::to_string(m.day) + " " + std::to_string(m.hour));
    const TDateTime value = Encode(m);
    EXPECT_DOUBLE_EQ(value, m.date_time);
    const int32_t ms = ((m.hour * 60 + m.minute) * 60 + m.second) * 1000 + m.msec;
    const TTimeStamp ts = DateTimeToTimeStamp(value);
    EXPECT_EQ(ts, (TTimeStamp{ms, m.day_number}));
    EXPECT_EQ(DateTimeToTimeStamp(TimeStampToDateTime(ts)), ts);
    const double msecs = TimeStampToMSecs(ts);
    EXPECT_EQ(msecs, static_cast<double>(m.day_number) * kMSecsPerDay + ms);
    EXPECT_EQ(MSecsToTimeStamp(msecs), ts);

    const DateParts d = DecodeDate(value);
    EXPECT_EQ(d.Year, m.year);
    EXPECT_EQ(d.Month, m.month);
    EXPECT_EQ(d.Day, m.day);
    const TimeParts t = DecodeTime(value);
    EXPECT_EQ(t.Hour, m.hour);
    EXPECT_EQ(t.Minute, m.minute);
    EXPECT_EQ(t.Second, m.second);
    EXPECT_EQ(t.MSec, m.msec);
  }
}

TEST(DateTime, TimeRoundsToTheNearestMillisecondAndCarriesIntoTheDay) {
  // Half a millisecond before midnight belongs to the next day, on either
  // side of 1899-12-30.
  const double almost = 1 - 0.4 / kMSecsPerDay;
  EXPECT_EQ(DateTimeToTimeStamp(almost), (TTimeStamp{0, kDateDelta + 1}));
  EXPECT_EQ(DateTimeToTimeStamp(-1 - almost), (TTimeStamp{0, kDateDelta}));
  EXPECT_EQ(DateTimeToTimeStamp(0.6 / kMSecsPerDay), (TTimeStamp{1, kDateDelta}));
  // -0.25 and 0.25 are the same moment.
  EXPECT_EQ(DateTimeToTimeStamp(-0.25), DateTimeToTimeStamp(0.25));
  EXPECT_EQ(MSecsToTimeStamp(86399999.6), (TTimeStamp{0, 1}));
}

TEST(DateTime, RejectsValuesOutsideTheCalendar) {
  const char* date_error = "Invalid argument to date encode";
  const char* time_error = "Invalid argument to time encode";
  const char* stamp_error = "Invalid argument to time stamp";
  EXPECT_TRUE(RaisesWith<EConvertError>([] { EncodeDate(0, 1, 1); }, date_error));
  EXPECT_TRUE(RaisesWith<EConvertError>([] { EncodeDate(10000, 1, 1); }, date_error));
  EXPECT_TRUE(RaisesWith<EConvertError>([] { EncodeDate(2023, 2, 29); }, date_error));
  EXPECT_TRUE(RaisesWith<EConvertError>([] { EncodeDate(2024, 13, 1); }, date_error));
  EXPECT_TRUE(RaisesWith<EConvertError>([] { EncodeDate(2024, 4, 0); }, date_error));
  EXPECT_TRUE(RaisesWith<EConvertError>([] { EncodeTime(24, 0, 0, 0); }, time_error));
  EXPECT_TRUE(RaisesWith<EConvertError>([] { EncodeTime(0, 60, 0, 0); }, time_error));
  EXPECT_TRUE(RaisesWith<EConvertError>([] { EncodeTime(0, 0, 0, 1000); }, time_error));
  EXPECT_TRUE(RaisesWith<EConvertError>([] { EncodeTime(0, 0, -1, 0); }, time_error));
  EXPECT_TRUE(RaisesWith<EConvertError>([] { MSecsToTimeStamp(-1); }, stamp_error));
  EXPECT_TRUE(RaisesWith<EConvertError>([] { MSecsToTimeStamp(std::nan("")); }, stamp_error));
  EXPECT_TRUE(RaisesWith<EConvertError>([] { MSecsToTimeStamp(1e30); }, stamp_error));
  EXPECT_TRUE(RaisesWith<EConvertError>([] { DateTimeToTimeStamp(1e300); }, stamp_error));
  EXPECT_TRUE(RaisesWith<EConvertError>(
      [] { DateTimeToTimeStamp(std::numeric_limits<double>::infinity()); }, stamp_error));
  EXPECT_TRUE(RaisesWith<EConvertError>([] { TimeStampToDateTime({-1, 5}); },
                                        "'5.-1' is not a valid timestamp"));
  EXPECT_TRUE(RaisesWith<EConvertError>([] { TimeStampToDateTime({0, 0}); },
                                        "'0.0' is not a valid timestamp"));
  EXPECT_THROW(TimeStampToDateTime({kMSecsPerDay, 5}), EConvertError);
  EXPECT_EQ(DecodeDate(-700000).Year, 0);  // before day 1: no date

  EXPECT_FALSE(IsLeapYear(1900));
  EXPECT_TRUE(IsLeapYear(2000));
  EXPECT_FALSE(IsLeapYear(2023));
  EXPECT_EQ(DaysInMonth(2024, 2), 29);
  EXPECT_EQ(DaysInMonth(2023, 2), 28);
}

TEST(DateTime, DayOfWeek) {
  EXPECT_EQ(DayOfWeek(0), 7);                       // 1899-12-30, a Saturday
  EXPECT_EQ(DayOfWeek(EncodeDate(1, 1, 1)), 2);     // Monday
  EXPECT_EQ(DayOfWeek(EncodeDate(2024, 1, 1)), 2);  // Monday
  EXPECT_EQ(DayOfWeek(-1.5), 6);                    // 1899-12-29, a Friday
}

TEST(FormatDateTime, Patterns) {
  // Tuesday 2024-03-05 14:07:09.045
  const TDateTime t = EncodeDate(2024, 3, 5) + EncodeTime(14, 7, 9, 45);
  const TDateTime morning = EncodeDate(2024, 3, 5) + EncodeTime(0, 30, 0, 0);
  struct Case {
    const char* pattern;
    TDateTime value;
    const char* text;
  };
  const Case cases[] = {
      {"yyyy-mm-dd hh:nn:ss.zzz", t, "2024-03-05 14:07:09.045"},
      {"d/m/yy", t, "5/3/24"},
      {"YY", t, "24"},
      {"dddd, mmmm d", t, "Tuesday, March 5"},
      {"ddd mmm", t, "Tue Mar"},
      {"hh:mm", t, "14:07"},  // m after h is the minute
      {"h:n:s z", t, "14:7:9 45"},
      {"h:nn am/pm", t, "2:07 pm"},
      {"h:nn AM/PM", t, "2:07 PM"},
      {"h a/p", t, "2 p"},
      {"hh ampm", t, "02 PM"},
      {"h:nn am/pm", morning, "12:30 am"},
      {"hh 'h' mm", t, "14 h 07"},  // quoted text keeps mm the minute
      {"hh x mm", t, "14 x 03"},    // another letter makes it the month again
      {"c", t, "3/5/2024 14:07:09"},
      {"c", EncodeDate(2024, 3, 5), "3/5/2024"},
      {"ddddd", t, "3/5/2024"},
      {"dddddd", t, "Tuesday, March 5, 2024"},
      {"t|tt", t, "14:07|14:07:09"},
      {"'yyyy' \"mm\" yyyy", t, "yyyy mm 2024"},
      {"yyyy-mm-dd hh:nn", -1.25, "1899-12-29 06:00"},
      {"yyyy-mm-dd", -693593.0, "0001-01-01"},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatDateTime(c.pattern, c.value), c.text) << c.pattern;

  FormatSettings self_referring;  // must not recurse without end
  self_referring.ShortDateFormat = "c";
  self_referring.LongTimeFormat = "tt";
  EXPECT_NO_THROW(DateTimeToStr(t, self_referring));
}

FormatSettings German() {
  FormatSettings fs;
  fs.DecimalSeparator = ',';
  fs.ThousandSeparator = '.';
  fs.DateSeparator = '.';
  fs.ShortDateFormat = "dd/mm/yyyy";
  fs.LongTimeFormat = "hh:nn:ss.zzz";
  return fs;
}

TEST(StrToDateTime, RoundTripsWithNonDefaultSettings) {
  FormatSettings literal_dots;  // the separator written into the format
  literal_dots.ShortDateFormat = "dd.mm.yyyy";
  literal_dots.LongTimeFormat = "hh:nn:ss.zzz";
  FormatSettings iso;
  iso.DateSeparator = '-';
  iso.ShortDateFormat = "yyyy/mm/dd";
  iso.LongTimeFormat = "hh:nn:ss.zzz";
  FormatSettings us_clock;
  us_clock.LongTimeFormat = "h:nn:ss.zzz AM/PM";
  const FormatSettings settings[] = {German(), literal_dots, iso, us_clock};

  for (const FormatSettings& fs : settings) {
    for (const Moment& m : kMoments) {
      const TDateTime value = Encode(m);
      const std::string text = DateTimeToStr(value, fs);
      SCOPED_TRACE(text);
      EXPECT_EQ(DateTimeToTimeStamp(StrToDateTime(text, fs)), DateTimeToTimeStamp(value));
      EXPECT_EQ(StrToDate(DateToStr(value, fs), fs), std::trunc(value));
      EXPECT_EQ(DateTimeToTimeStamp(StrToTime(TimeToStr(value, fs), fs)).Time,
                DateTimeToTimeStamp(value).Time);
    }
  }
  EXPECT_EQ(DateTimeToStr(Encode(kMoments[2]), German()), "29.12.1899 06:00:00.000");
  EXPECT_EQ(StrToDateTime("29.12.1899 06:00", German()), -1.25);
}

TEST(StrToDateTime, ReadsDatesInTheFormatsOrder) {
  const int year = static_cast<int>(std::chrono::year_month_day{
      std::chrono::floor<std::chrono::days>(std::chrono::system_clock::now())}.year());
  const FormatSettings us;
  FormatSettings dmy;
  dmy.ShortDateFormat = "d/m/yyyy";
  struct Case {
    const char* text;
    const FormatSettings& fs;
    std::optional<TDateTime> value;
  };
  const Case cases[] = {
      {"3/5/2024", us, EncodeDate(2024, 3, 5)},
      {" 3 / 5 / 2024 ", us, EncodeDate(2024, 3, 5)},
      {"3/5/2024", dmy, EncodeDate(2024, 5, 3)},
      {"3/5", us, EncodeDate(year, 3, 5)},
      {"3/5", dmy, EncodeDate(year, 5, 3)},
      {"3/5/24", us, EncodeDate(year / 100 * 100 + 24, 3, 5)},
      {"3/5/0024", us, EncodeDate(24, 3, 5)},  // four digits are taken as written
      {"13/5/2024", us, std::nullopt},
      {"2/30/2024", us, std::nullopt},
      {"3/5/2024/", us, std::nullopt},
      {"3-5-2024", us, std::nullopt},
      {"3/5/10000", us, std::nullopt},
      {"", us, std::nullopt},
      {"3", us, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(TryStrToDate(c.text, c.fs), c.value);
  }
  EXPECT_TRUE(RaisesWith<EConvertError>([] { StrToDate("x"); }, "'x' is not a valid date"));
}

TEST(StrToDateTime, ReadsTimesWithAndWithoutMarkers) {
  struct Case {
    const char* text;
    std::optional<TDateTime> value;
  };
  const Case cases[] = {
      {"14:07", EncodeTime(14, 7, 0, 0)},
      {"14", EncodeTime(14, 0, 0, 0)},
      {"14:07:09.045", EncodeTime(14, 7, 9, 45)},
      {"2:07 PM", EncodeTime(14, 7, 0, 0)},
      {"2:07pm", EncodeTime(14, 7, 0, 0)},
      {"PM 2:07", EncodeTime(14, 7, 0, 0)},
      {"12:00 AM", 0.0},
      {"12:00 PM", 0.5},
      {"0:30 AM", std::nullopt},
      {"13:00 PM", std::nullopt},
      {"24:00", std::nullopt},
      {"14:60", std::nullopt},
      {"14:", std::nullopt},
      {"14:07:09.1000", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(TryStrToTime(c.text), c.value);
  }
  EXPECT_TRUE(RaisesWith<EConvertError>([] { StrToTime("1:2:3:4"); },
                                        "'1:2:3:4' is not a valid time"));

  EXPECT_EQ(StrToDateTime("3/5/2024 2:07 PM"), EncodeDate(2024, 3, 5) + EncodeTime(14, 7, 0, 0));
  EXPECT_EQ(StrToDateTime("3/5/2024"), EncodeDate(2024, 3, 5));
  EXPECT_EQ(StrToDateTime("14:07"), EncodeTime(14, 7, 0, 0));
  EXPECT_TRUE(RaisesWith<EConvertError>([] { StrToDateTime("3/5/2024 x"); },
                                        "'3/5/2024 x' is not a valid date and time"));
  EXPECT_FALSE(TryStrToDateTime("3/5/2024 14:07 14:08").has_value());
}

TEST(SqlTimeStamp, BytesAreLittleEndianFields) {
  const SqlTimeStamp ts{2024, 3, 5, 14, 7, 9, 45};
  const std::string bytes = ts.ToBytes();
  EXPECT_EQ(bytes, std::string("\xE8\x07\x03\x00\x05\x00\x0E\x00\x07\x00\x09\x00\x2D\x00\x00\x00",
                               16));
  EXPECT_EQ(SqlTimeStamp::FromBytes(bytes), ts);
  const SqlTimeStamp negative_year{-1, 1, 1, 0, 0, 0, 0x01020304};
  EXPECT_EQ(negative_year.ToBytes().substr(0, 2), "\xFF\xFF");
  EXPECT_EQ(SqlTimeStamp::FromBytes(negative_year.ToBytes()), negative_year);
  EXPECT_TRUE(RaisesWith<EReadError>([&] { SqlTimeStamp::FromBytes(bytes.substr(0, 15)); },
                                     "Stream read error"));
}

TEST(SqlTimeStamp, ConvertsToAndFromDateTime) {
  for (const Moment& m : kMoments) {
    const TDateTime value = Encode(m);
    const SqlTimeStamp ts = DateTimeToSqlTimeStamp(value);
    EXPECT_EQ(ts, (SqlTimeStamp{static_cast<int16_t>(m.year), static_cast<uint16_t>(m.month),
                                static_cast<uint16_t>(m.day), static_cast<uint16_t>(m.hour),
                                static_cast<uint16_t>(m.minute), static_cast<uint16_t>(m.second),
                                static_cast<uint32_t>(m.msec)}));
    EXPECT_EQ(DateTimeToTimeStamp(SqlTimeStampToDateTime(ts)), DateTimeToTimeStamp(value));
  }
  EXPECT_EQ(SqlTimeStampToDateTime(SqlTimeStamp{}), 0.0);
  EXPECT_EQ(SqlTimeStampToStr(SqlTimeStamp{}), "");
  EXPECT_TRUE(RaisesWith<EConvertError>(
      [] { SqlTimeStampToDateTime({2024, 13, 1, 0, 0, 0, 0}); }, "Invalid argument to date encode"));
  EXPECT_TRUE(RaisesWith<EConvertError>(
      [] { SqlTimeStampToDateTime({2024, 1, 1, 0, 0, 0, 1000}); },
      "Invalid argument to time encode"));
  EXPECT_THROW(DateTimeToSqlTimeStamp(3000000.0), EConvertError);  // past 9999

  const SqlTimeStamp ts{2024, 3, 5, 14, 7, 9, 0};
  EXPECT_EQ(SqlTimeStampToStr(ts), "3/5/2024 14:07:09");
  EXPECT_EQ(StrToSqlTimeStamp("3/5/2024 14:07:09"), ts);
  EXPECT_EQ(StrToSqlTimeStamp(SqlTimeStampToStr(ts, German()), German()), ts);
}

}  // namespace
}  // namespace rda
