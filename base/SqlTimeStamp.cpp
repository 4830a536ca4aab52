#include "base/SqlTimeStamp.h"

#include <algorithm>

#include "base/ByteIO.h"
#include "base/Exception.h"

namespace rda {

std::string SqlTimeStamp::ToBytes() const {
  std::string out;
  out.reserve(kSize);
  ByteWriter w(out);
  w.PutI16(Year);
  for (uint16_t field : {Month, Day, Hour, Minute, Second}) w.PutU16(field);
  w.PutU32(Fractions);
  return out;
}

SqlTimeStamp SqlTimeStamp::FromBytes(std::string_view bytes) {
  if (bytes.size() != kSize) throw EReadError(kStreamReadError);
  ByteReader r(bytes);
  SqlTimeStamp ts;
  ts.Year = r.GetI16();
  for (uint16_t* field : {&ts.Month, &ts.Day, &ts.Hour, &ts.Minute, &ts.Second}) {
    *field = r.GetU16();
  }
  ts.Fractions = r.GetU32();
  return ts;
}

TDateTime SqlTimeStampToDateTime(const SqlTimeStamp& ts) {
  if (ts == SqlTimeStamp{}) return 0;
  const TDateTime date = EncodeDate(ts.Year, ts.Month, ts.Day);
  const TDateTime time =
      EncodeTime(ts.Hour, ts.Minute, ts.Second, static_cast<int>(std::min(ts.Fractions, 1000u)));
  return date >= 0 ? date + time : date - time;
}

SqlTimeStamp DateTimeToSqlTimeStamp(TDateTime value) {
  const DateParts d = DecodeDate(value);
  if (d.Year < 1 || d.Year > 9999) throw EConvertError("Invalid argument to date encode");
  const TimeParts t = DecodeTime(value);
  SqlTimeStamp ts;
  ts.Year = static_cast<int16_t>(d.Year);
  ts.Month = static_cast<uint16_t>(d.Month);
  ts.Day = static_cast<uint16_t>(d.Day);
  ts.Hour = static_cast<uint16_t>(t.Hour);
  ts.Minute = static_cast<uint16_t>(t.Minute);
  ts.Second = static_cast<uint16_t>(t.Second);
  ts.Fractions = static_cast<uint32_t>(t.MSec);
  return ts;
}

std::string SqlTimeStampToStr(const SqlTimeStamp& ts, const FormatSettings& fs) {
  if (ts == SqlTimeStamp{}) return "";
  return DateTimeToStr(SqlTimeStampToDateTime(ts), fs);
}

SqlTimeStamp StrToSqlTimeStamp(std::string_view text, const FormatSettings& fs) {
  return DateTimeToSqlTimeStamp(StrToDateTime(text, fs));
}

}  // namespace rda
