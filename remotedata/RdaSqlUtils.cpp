#include "remotedata/RdaSqlUtils.h"

#include <charconv>
#include <cstdio>

#include "base/DateTime.h"
#include "base/Exception.h"
#include "base/FormatSettings.h"
#include "base/Text.h"
#include "memdata/framework/DataSet.h"
#include "memdata/framework/Field.h"

namespace rda {
namespace {

bool IsDateType(TFieldType type) {
  return type == ftDate || type == ftTime || type == ftDateTime || type == ftTimeStamp;
}

bool HasTime(TFieldType type) { return type == ftDateTime || type == ftTimeStamp; }

std::string Quoted(std::string text, char quote) {
  text.insert(text.begin(), quote);
  text.push_back(quote);
  return text;
}

std::string IsoDate(TDateTime value) {
  const DateParts d = DecodeDate(value);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", d.Year, d.Month, d.Day);
  return buf;
}

std::string IsoTime(TDateTime value, std::string_view separator) {
  const TimeParts t = DecodeTime(value);
  char buf[48];
  const int sep = static_cast<int>(separator.size());
  std::snprintf(buf, sizeof buf, "%02d%.*s%02d%.*s%02d", t.Hour, sep, separator.data(), t.Minute, sep,
                separator.data(), t.Second);
  return buf;
}

// The generic literal of a date or time: 'date', {ts 'time'}, {ts 'date time'}.
std::string OdbcDateLiteral(TFieldType type, TDateTime value, TRdaUpdateSQL syntax) {
  const std::string_view sep = syntax == usODBCOld ? "::" : ":";
  if (type == ftDate) return Quoted(IsoDate(value), '\'');
  if (type == ftTime) return "{ts '" + IsoTime(value, sep) + "'}";
  return "{ts '" + IsoDate(value) + " " + IsoTime(value, sep) + "'}";
}

// The shortest decimal text that reads back as `value`, '.' as separator.
std::string FloatLiteral(double value) {
  if (value == 0) return "0";
  char buf[400];  // fixed notation of the largest double has 309 digits
  const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
  return std::string(buf, res.ptr);
}

std::string DateValue(const TField& field, const TRdaConnectionSettings& s) {
  const TFieldType type = field.DataType();
  const TDateTime value = field.AsDateTime();
  const bool quoteDates = !s.SQLOptions.Contains(ssNoQuotesInDates);
  auto maybeQuoted = [&](std::string text) { return quoteDates ? Quoted(std::move(text), '\'') : text; };

  const std::string* mask = type == ftDate   ? &s.DateMaskForSQL
                            : type == ftTime ? &s.TimeMaskForSQL
                                             : &s.DateTimeMaskForSQL;
  if (!mask->empty()) return maybeQuoted(FormatDateTime(*mask, value));

  switch (s.UpdateSQLSyntax) {
    case usBDE: {
      if (!s.SQLOptions.Contains(ssUSDatesForLocalSQL)) return maybeQuoted(field.AsString());
      const FormatSettings& fs = DefaultFormatSettings();
      std::string text = FormatDateTime(type == ftDate   ? "mm/dd/yyyy"
                                        : type == ftTime ? "hh:nn:ss"
                                                         : "mm/dd/yyyy hh:nn:ss",
                                        value, fs);
      for (char& c : text) {
        if (c == fs.DateSeparator) c = '/';
      }
      return maybeQuoted(std::move(text));
    }
    case usAccess:
      if (type == ftDate) return "#" + IsoDate(value) + "#";
      if (type == ftTime) return "#" + IsoTime(value, ":") + "#";
      return "#" + IsoDate(value) + " " + IsoTime(value, ":") + "#";
    case usOracle:
      if (type == ftDate) return Quoted(FormatDateTime("dd-mmm-yyyy", value), '\'');
      if (HasTime(type)) return Quoted(FormatDateTime("dd-mmm-yyyy hh:nn:ss", value), '\'');
      return OdbcDateLiteral(type, value, s.UpdateSQLSyntax);
    case usODBC:
    case usODBCOld:
      break;
  }
  return OdbcDateLiteral(type, value, s.UpdateSQLSyntax);
}

// The parameter marker written in place of a large value, or nullptr.
const char* MarkerOf(TFieldType type) {
  switch (type) {
    case ftBytes: return ":Bytes";
    case ftVarBytes: return ":VarBytes";
    case ftBlob: case ftTypedBinary: case ftOraBlob: return ":Blob";
    case ftMemo: case ftOraClob: return ":Memo";
    case ftGraphic: return ":Graphic";
    case ftFmtMemo: return ":FmtMemo";
    default: return nullptr;
  }
}

}  // namespace

std::string RdaSqlValue(const TField& field, const TRdaConnectionSettings& s) {
  const TFieldType type = field.DataType();
  if (field.IsNull()) return "NULL";
  if (const char* marker = MarkerOf(type)) return marker + RdaSqlParamName(field.FieldName());
  if (IsDateType(type)) return DateValue(field, s);
  switch (type) {
    case ftString: case ftFixedChar: case ftWideString: case ftGuid: {
      std::string text = field.AsString();
      if (s.SQLOptions.Contains(ssDoubleQuoteStrings)) return Quoted(std::move(text), '"');
      std::string out;
      out.reserve(text.size() + 2);
      out.push_back('\'');
      for (char c : text) {
        out.push_back(c);
        if (c == '\'') out.push_back('\'');
      }
      out.push_back('\'');
      return out;
    }
    case ftBoolean:
      if (s.SQLOptions.Contains(ssBooleanAsInteger)) return field.AsBoolean() ? "1" : "0";
      return field.AsString();
    case ftFloat:
      return FloatLiteral(field.AsFloat());
    default:
      return field.AsString();
  }
}

std::string RdaSqlCompare(TDataSet& owner, TDataSet& ds, std::string_view fieldName,
                          const TRdaConnectionSettings& settings, const TRdaSQLCustomFormatEvent& custom) {
  const TField& field = ds.FieldByName(fieldName);
  const char* op = field.IsNull() && settings.SQLOptions.Contains(ssUseISInNuLLcompares) ? " IS " : " = ";
  if (custom) {
    std::string result;
    bool handled = false;
    custom(owner, ds, field.FieldName(), result, handled);
    if (handled) return op + result;
  }
  return op + RdaSqlValue(field, settings);
}

std::string RdaSqlParamName(std::string_view fieldName) {
  std::string name(fieldName);
  for (char& c : name) {
    if (c == ' ' || c == '/' || c == '$') c = '_';
  }
  return name;
}

std::string RdaSqlInsert(std::string_view table, std::span<const std::string> columns,
                         std::span<const std::string> values, bool terminate) {
  if (columns.empty()) throw EDatabaseError("An INSERT statement needs at least one column");
  if (columns.size() != values.size()) {
    throw EDatabaseError("An INSERT statement has " + std::to_string(columns.size()) + " columns and " +
                         std::to_string(values.size()) + " values");
  }
  std::string sql = "Insert Into ";
  sql += table;
  sql += " (";
  for (size_t i = 0; i < columns.size(); ++i) {
    if (i > 0) sql += ',';
    sql += TrimControls(columns[i]);
  }
  sql += ")\r Values (";
  for (size_t i = 0; i < values.size(); ++i) {
    if (i > 0) sql += ',';
    sql += values[i];
  }
  sql += ')';
  if (terminate) sql += ';';
  return sql;
}

}  // namespace rda
