// The text forms of a query result that the server sends: field
// descriptions (token 1) and row packets (token 5), and the mapping of
// SQLite's declared column types and stored values onto field type codes.
//
// The marker bytes are those of messaging/RdaWire.h (kValueEnd #2, kNullValue #3,
// kRowEnd #4, kDoubleMarker #5, kBinaryMarker #6, kBcdMarker #7, kCurrencyMarker #8).
//
// Field descriptions: one item per column, each ended by #4:
//
//   item := name #2 type #2 size #2 #4
//
// type is the field type code in decimal, size the field size in decimal
// (0 where the type has no size; the client reads a size below 1 as 25).
// An item is at most 255 bytes: longer names are cut.
//
// Row text: one row after the other, then the end row "NULL" #4.
//
//   row   := (value #2)* #4
//   value := text | #3 (NULL)
//          | #5 double:8                 (ftFloat, the date kinds)
//          | #6 length:i32 bytes:length  (ftBlob, ftMemo: an entry of the
//                                         packet's side list)
//          | #7 bcd:34                   (ftBCD, ftFMTBcd)
//          | #8 currency:i64             (ftCurrency, value x 10000)
//
// All numbers little-endian. Text values are in the system's code page
// (Windows-1252); the bytes #2..#8, which the row text cannot carry inside a
// text value, are replaced by '?'. Dates travel as TDateTime doubles (days
// since 1899-12-30).
//
// Type mapping (docs/server.md has the table): the declared type decides
// the kind; the rows known when the descriptions are written (the first
// packet) refine it, so that no known value is lost: an integer column
// whose values do not fit 16 or 32 bits widens, a numeric or date column
// holding text that does not read as its kind becomes ftString, and a
// string column's size covers its longest known value. When later packets
// follow (an incomplete first packet), integer columns are ftLargeint,
// because later values cannot widen the field any more, and undeclared string
// sizes are at least kOpenStringSize. So is a column declared as text without
// a length (TEXT) in every result: a client edits into the field, and a size
// cut to the longest value read would cut its edits.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/DateTime.h"
#include "base/FieldType.h"
#include "messaging/RdaWire.h"

namespace rda {

// One value as the database returned it.
struct SqlValue {
  enum Storage : uint8_t { kNull, kInteger, kReal, kText, kBlob };
  Storage storage = kNull;
  int64_t integer = 0;
  double real = 0;
  std::string bytes;  // UTF-8 text or blob bytes
};
using SqlRow = std::vector<SqlValue>;

struct ColumnSpec {
  std::string name;  // in the system's code page
  TFieldType type = ftString;
  int size = 0;
};

// Sizes that steer the mapping.
inline constexpr int kOpenStringSize = 255;      // text without a length that may grow
inline constexpr int kLongestStringField = 8192;  // longer known text is sent as ftMemo

// The column's field type and size from its declared type (empty for an
// expression) and the values of column `column` in the known rows; complete
// is true when those rows are the whole result. `name` is UTF-8.
ColumnSpec DecideColumn(std::string_view name, std::string_view declared,
                        const std::vector<SqlRow>& rows, size_t column, bool complete);

// The field description text for the columns.
std::string FieldDescriptions(const std::vector<ColumnSpec>& columns);

// Appends one row (its values and the closing #4) in the columns' types.
void AppendRow(std::string& out, const std::vector<ColumnSpec>& columns, const SqlRow& row);
// Appends the end row "NULL" #4.
void AppendEndRow(std::string& out);

// Reads an ISO 8601 date, date-time or time text as SQLite writes them:
// "YYYY-MM-DD", "YYYY-MM-DD HH:MM[:SS[.fff]]" (or with 'T'), "HH:MM[:SS[.fff]]";
// a trailing "Z" or "+HH:MM"/"-HH:MM" is ignored. nullopt for anything else.
std::optional<TDateTime> ParseIsoDateTime(std::string_view text);
// The ISO form of a TDateTime for the date kinds (the form parameters are
// bound in): "YYYY-MM-DD", "HH:MM:SS[.fff]", "YYYY-MM-DD HH:MM:SS[.fff]".
std::string FormatIsoDateTime(TDateTime value, TFieldType kind);

}  // namespace rda
