// SQL text written from field values.
//
// Generated statements carry most values as parameters; a few places write a value
// into the SQL text itself (the conditions of an update by changed fields, a NULL key,
// the row locator of a read-back). These functions do that text work, steered by the
// connection's settings: SQLOptions, UpdateSQLSyntax and the three masks
// (TRdaConnectionSettings), and its OnCustomSQLSyntax handler.
//
// The value of a field, by type (first the connection's handler, then these rules):
//
//   NULL                       NULL
//   texts (ftString, ftFixedChar, ftWideString, ftGuid)
//                              'text' with every ' doubled; with ssDoubleQuoteStrings
//                              "text", the text unchanged
//   ftBoolean                  True / False; with ssBooleanAsInteger 1 / 0
//   ftFloat                    the shortest decimal text that reads back as the same
//                              number, '.' as separator, never an exponent ("2.5", "0")
//   blobs and bytes            a parameter marker, not the value: ":Blob" (ftBlob,
//                              ftTypedBinary, ftOraBlob), ":Memo" (ftMemo, ftOraClob),
//                              ":Graphic", ":FmtMemo", ":Bytes", ":VarBytes", each
//                              followed by the field name's parameter form
//   dates and times            the date rules below
//   any other type             the field's text form, unquoted (numbers)
//
// Date rules (ftDate, ftTime, ftDateTime, ftTimeStamp), first match wins:
//   1. a mask for the field's own type (DateMaskForSQL for ftDate, TimeMaskForSQL for
//      ftTime, DateTimeMaskForSQL for ftDateTime and ftTimeStamp): the value formatted
//      with it (FormatDateTime patterns), in '…' unless ssNoQuotesInDates;
//   2. by UpdateSQLSyntax:
//      usBDE     with ssUSDatesForLocalSQL "MM/DD/YYYY" (dates), "hh:mm:ss" (times),
//                "MM/DD/YYYY hh:mm:ss" (date-times and time stamps); without it the
//                field's text form; both in '…' unless ssNoQuotesInDates
//      usAccess  #YYYY-MM-DD#, #hh:mm:ss#, #YYYY-MM-DD hh:mm:ss#
//      usOracle  'DD-MMM-YYYY', 'DD-MMM-YYYY HH:NN:SS'; times as usODBC
//      usODBC    'YYYY-MM-DD', {ts 'hh:mm:ss'}, {ts 'YYYY-MM-DD hh:mm:ss'}
//      usODBCOld as usODBC with "::" between the parts of a time
//   Hours run 00 to 23; milliseconds are dropped. Month names, the locale's date
//   separator and the text form follow DefaultFormatSettings().
//
// Decisions of our own, where the older rules wrote SQL that cannot be right: a float
// is never written with the locale's decimal comma (it would split the value in two)
// nor rounded to 15 decimals (1e-20 became an empty text); a time stamp is written as
// a date-time wherever a date-time is; a time field under usBDE with
// ssUSDatesForLocalSQL is written as a time, not as the date of day zero; and under
// usAccess a time is a #…# literal rather than bare text.
#pragma once

#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "connection/RdaConnectionSettings.h"

namespace rda {

class TDataSet;
class TField;

// The connection's OnCustomSQLSyntax (connection/RdaClientEvents.h).
using TRdaSQLCustomFormatEvent = std::function<void(
    TDataSet& sender, TDataSet& ds, const std::string& fieldName, std::string& result, bool& handled)>;

// The SQL text of `field`'s current value, by the rules above.
std::string RdaSqlValue(const TField& field, const TRdaConnectionSettings& settings);

// A condition's right-hand side for `fieldName` of `ds`: " = " and the value, or
// " IS NULL" for a NULL value with ssUseISInNuLLcompares. When `custom` is set it is
// asked first (sender `owner`, the dataset the statement is for); a handled result is
// used as it stands, even when empty. Raises the dataset's error for an unknown field.
std::string RdaSqlCompare(TDataSet& owner, TDataSet& ds, std::string_view fieldName,
                          const TRdaConnectionSettings& settings,
                          const TRdaSQLCustomFormatEvent& custom = {});

// The parameter-name form of a field name: each " ", "/" and "$" becomes "_".
std::string RdaSqlParamName(std::string_view fieldName);

// "Insert Into T (a,b)\r Values (v1,v2)" and ";" when `terminate`: the columns trimmed
// of blanks, the values as they stand. Raises EArgumentError without a column or
// when the lists differ in length.
std::string RdaSqlInsert(std::string_view table, std::span<const std::string> columns,
                         std::span<const std::string> values, bool terminate);

}  // namespace rda
