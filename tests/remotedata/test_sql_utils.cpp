// Field values written into SQL text: the rules per type, update syntax, option and
// mask; comparisons with the connection's handler; the INSERT builder. Literals are
// also read back, strings by SQLite and numbers by the C library, to show that what
// is written is the value, byte for byte.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/DateTime.h"
#include "base/Exception.h"
#include "memdata/RdaCustomDataSet.h"
#include "remotedata/RdaSqlUtils.h"
#include "tests/base/RaisesWith.h"

namespace rda {
namespace {

using test::RaisesWith;

const TDateTime kWhen = EncodeDate(2026, 12, 8) + EncodeTime(9, 5, 7, 250);

// A dataset of one row with one field "F" of `type`, set by `set` (left NULL when
// `set` is empty).
std::unique_ptr<TRdaDataSet> OneValue(TFieldType type, int size, const std::function<void(TField&)>& set,
                                      const std::string& name = "F") {
  auto ds = std::make_unique<TRdaDataSet>();
  ds->AddField(name, type, size);
  ds->Open();
  ds->Append();
  if (set) set(ds->FieldByName(name));
  ds->Post();
  return ds;
}

std::function<void(TField&)> Text(std::string s) {
  return [s](TField& f) { f.SetAsString(s); };
}
std::function<void(TField&)> Float(double v) {
  return [v](TField& f) { f.SetAsFloat(v); };
}
std::function<void(TField&)> When(TDateTime v) {
  return [v](TField& f) { f.SetAsDateTime(v); };
}

TRdaConnectionSettings With(TRdaUpdateSQL syntax, TRdaServerSQLOptions options = {}) {
  TRdaConnectionSettings s;
  s.UpdateSQLSyntax = syntax;
  s.SQLOptions = options;
  return s;
}

TEST(SqlValue, ByTypeSyntaxOptionAndMask) {
  TRdaConnectionSettings dateMask = With(usODBC);
  dateMask.DateMaskForSQL = "yyyymmdd";
  TRdaConnectionSettings dateMaskNoQuotes = With(usODBC, {ssNoQuotesInDates});
  dateMaskNoQuotes.DateMaskForSQL = "yyyymmdd";
  TRdaConnectionSettings timeMask = With(usBDE);
  timeMask.TimeMaskForSQL = "hh.nn";
  TRdaConnectionSettings dateTimeMask = With(usAccess);
  dateTimeMask.DateTimeMaskForSQL = "yyyy-mm-dd hh:nn";
  const TDateTime lastMoment = EncodeDate(2026, 12, 31) + EncodeTime(23, 59, 59, 999);

  struct Case {
    const char* what;
    TFieldType type;
    int size;
    std::function<void(TField&)> set;
    TRdaConnectionSettings settings;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"quote doubled", ftString, 20, Text("O'Brien"), {}, "'O''Brien'"},
      {"two quotes doubled", ftString, 20, Text("a''b'"), {}, "'a''''b'''"},
      {"double quotes: text as it is", ftString, 20, Text("O'Brien \"J\""), With(usBDE, {ssDoubleQuoteStrings}),
       "\"O'Brien \"J\"\""},
      {"empty text", ftString, 20, Text(""), {}, "''"},
      {"fixed char", ftFixedChar, 4, Text("ab"), {}, "'ab'"},
      {"boolean", ftBoolean, 0, [](TField& f) { f.SetAsBoolean(true); }, {}, "True"},
      {"boolean as integer", ftBoolean, 0, [](TField& f) { f.SetAsBoolean(false); },
       With(usBDE, {ssBooleanAsInteger}), "0"},
      {"float", ftFloat, 0, Float(2.5), {}, "2.5"},
      {"float zero", ftFloat, 0, Float(0), {}, "0"},
      {"float below one", ftFloat, 0, Float(-0.1), {}, "-0.1"},
      {"tiny float keeps its digits", ftFloat, 0, Float(1e-20), {}, "0.00000000000000000001"},
      {"large float without exponent", ftFloat, 0, Float(1e20), {}, "100000000000000000000"},
      {"integer", ftInteger, 0, [](TField& f) { f.SetAsInteger(-42); }, {}, "-42"},
      {"NULL text", ftString, 20, {}, {}, "NULL"},
      {"NULL date", ftDate, 0, {}, With(usAccess), "NULL"},
      {"NULL memo", ftMemo, 0, {}, {}, "NULL"},
      {"memo is a marker", ftMemo, 0, Text("long"), {}, ":MemoF"},
      {"blob is a marker", ftBlob, 0, Text("x"), {}, ":BlobF"},
      {"graphic", ftGraphic, 0, Text("x"), {}, ":GraphicF"},
      {"bytes", ftBytes, 2, Text("xy"), {}, ":BytesF"},
      {"var bytes", ftVarBytes, 4, Text("xy"), {}, ":VarBytesF"},
      // Dates by update syntax.
      {"BDE: the text form", ftDate, 0, When(kWhen), With(usBDE), "'12/8/2026'"},
      {"BDE, US dates", ftDate, 0, When(kWhen), With(usBDE, {ssUSDatesForLocalSQL}), "'12/08/2026'"},
      {"BDE, US dates, no quotes", ftDate, 0, When(kWhen),
       With(usBDE, {ssUSDatesForLocalSQL, ssNoQuotesInDates}), "12/08/2026"},
      {"BDE, US date-time", ftDateTime, 0, When(kWhen), With(usBDE, {ssUSDatesForLocalSQL}),
       "'12/08/2026 09:05:07'"},
      {"BDE, US dates, a time stays a time", ftTime, 0, When(kWhen), With(usBDE, {ssUSDatesForLocalSQL}),
       "'09:05:07'"},
      {"Access date", ftDate, 0, When(kWhen), With(usAccess, {ssNoQuotesInDates}), "#2026-12-08#"},
      {"Access date-time", ftDateTime, 0, When(kWhen), With(usAccess), "#2026-12-08 09:05:07#"},
      {"Access time", ftTime, 0, When(kWhen), With(usAccess), "#09:05:07#"},
      {"ODBC date", ftDate, 0, When(kWhen), With(usODBC), "'2026-12-08'"},
      {"ODBC time", ftTime, 0, When(kWhen), With(usODBC), "{ts '09:05:07'}"},
      {"ODBC date-time", ftDateTime, 0, When(kWhen), With(usODBC), "{ts '2026-12-08 09:05:07'}"},
      {"old ODBC time separators", ftDateTime, 0, When(kWhen), With(usODBCOld),
       "{ts '2026-12-08 09::05::07'}"},
      {"time stamp as a date-time", ftTimeStamp, 0, When(kWhen), With(usODBC), "{ts '2026-12-08 09:05:07'}"},
      {"milliseconds dropped, never rounded up", ftDateTime, 0, When(lastMoment), With(usODBC),
       "{ts '2026-12-31 23:59:59'}"},
      {"Oracle date", ftDate, 0, When(kWhen), With(usOracle, {ssNoQuotesInDates}), "'08-Dec-2026'"},
      {"Oracle date-time", ftDateTime, 0, When(kWhen), With(usOracle), "'08-Dec-2026 09:05:07'"},
      {"Oracle time keeps the generic form", ftTime, 0, When(kWhen), With(usOracle), "{ts '09:05:07'}"},
      // Masks, each for its own type only.
      {"date mask", ftDate, 0, When(kWhen), dateMask, "'20261208'"},
      {"date mask, no quotes", ftDate, 0, When(kWhen), dateMaskNoQuotes, "20261208"},
      {"date mask leaves date-times alone", ftDateTime, 0, When(kWhen), dateMask, "{ts '2026-12-08 09:05:07'}"},
      {"time mask", ftTime, 0, When(kWhen), timeMask, "'09.05'"},
      {"date-time mask on a time stamp", ftTimeStamp, 0, When(kWhen), dateTimeMask, "'2026-12-08 09:05'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto ds = OneValue(c.type, c.size, c.set);
    EXPECT_EQ(RdaSqlValue(ds->FieldByName("F"), c.settings), c.expected);
  }
}

TEST(SqlValue, MarkersUseTheParameterFormOfTheName) {
  EXPECT_EQ(RdaSqlParamName("Unit Price/Qty $"), "Unit_Price_Qty__");
  EXPECT_EQ(RdaSqlParamName("Name"), "Name");
  auto ds = OneValue(ftBlob, 0, Text("x"), "Unit Price/Qty $");
  EXPECT_EQ(RdaSqlValue(ds->FieldByName("Unit Price/Qty $"), {}), ":BlobUnit_Price_Qty__");
}

// What is written reads back as the value itself: texts through SQLite, numbers
// through the C library.
TEST(SqlValue, LiteralsReadBackAsTheValue) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
  const std::unique_ptr<sqlite3, decltype(&sqlite3_close)> closer(db, &sqlite3_close);
  const std::vector<std::string> texts = {
      "", "'", "''", "O'Brien", "a\"b", "back\\slash\\", "semi;colon", "-- comment", "/* open", "*/",
      "\x01\x09\x0a\x0d\x1f\x7f", "caf\xe9 na\xefve \x80", std::string(7000, '\'') + "end",
  };
  for (const std::string& text : texts) {
    SCOPED_TRACE(text.substr(0, 20));
    auto ds = OneValue(ftString, 8000, Text(text));
    const std::string sql = "SELECT " + RdaSqlValue(ds->FieldByName("F"), {}) + ", 1";
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &st, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_count(st), 2);  // nothing commented out or split off
    const auto* bytes = static_cast<const char*>(sqlite3_column_blob(st, 0));
    EXPECT_TRUE(std::string(bytes ? bytes : "", sqlite3_column_bytes(st, 0)) == text);
    sqlite3_finalize(st);
  }
  for (double v : {2.5, -0.1, 0.1 + 0.2, 1.0 / 3, 1e-20, 123456789.125, -2.5e15, 1e300, 4.9e-324}) {
    auto ds = OneValue(ftFloat, 0, Float(v));
    const std::string literal = RdaSqlValue(ds->FieldByName("F"), {});
    EXPECT_EQ(literal.find_first_of("eE,"), std::string::npos) << literal;
    EXPECT_EQ(std::strtod(literal.c_str(), nullptr), v) << literal;
  }
}

TEST(SqlCompare, OperatorNullsAndTheApplicationsHandler) {
  auto ds = OneValue(ftInteger, 0, [](TField& f) { f.SetAsInteger(5); });
  auto nulls = OneValue(ftInteger, 0, {});
  TRdaDataSet owner;
  EXPECT_EQ(RdaSqlCompare(owner, *ds, "f", {}), " = 5");
  EXPECT_EQ(RdaSqlCompare(owner, *nulls, "F", {}), " = NULL");
  EXPECT_EQ(RdaSqlCompare(owner, *nulls, "F", With(usBDE, {ssUseISInNuLLcompares})), " IS NULL");

  // The handler sees who asks and for what; a handled answer stands as it is.
  std::vector<std::string> seen;
  TRdaSQLCustomFormatEvent custom = [&](TDataSet& sender, TDataSet& from, const std::string& name,
                                        std::string& result, bool& handled) {
    EXPECT_EQ(&sender, &owner);
    seen.push_back(name + (&from == ds.get() ? " of ds" : " of nulls") + (result.empty() ? "" : " with text"));
    if (&from == nulls.get()) {
      result = "CURRENT_DATE";
      handled = true;
    }
  };
  EXPECT_EQ(RdaSqlCompare(owner, *ds, "F", {}, custom), " = 5");
  EXPECT_EQ(RdaSqlCompare(owner, *nulls, "F", With(usBDE, {ssUseISInNuLLcompares}), custom), " IS CURRENT_DATE");
  EXPECT_EQ(seen, (std::vector<std::string>{"F of ds", "F of nulls"}));

  EXPECT_THROW(RdaSqlCompare(owner, *ds, "Missing", {}), EDatabaseError);
}

TEST(SqlInsert, ColumnsTrimmedValuesAsTheyStand) {
  const std::vector<std::string> columns = {" Id ", "\tName"};
  const std::vector<std::string> values = {" :Id", " 'x'"};
  EXPECT_EQ(RdaSqlInsert("People", columns, values, false), "Insert Into People (Id,Name)\r Values ( :Id, 'x')");
  EXPECT_EQ(RdaSqlInsert("People", columns, values, true), "Insert Into People (Id,Name)\r Values ( :Id, 'x');");
  EXPECT_TRUE(RaisesWith<EDatabaseError>([] { RdaSqlInsert("T", {}, {}, false); },
                                         "An INSERT statement needs at least one column"));
  EXPECT_TRUE(RaisesWith<EDatabaseError>(
      [&] { RdaSqlInsert("T", columns, std::vector<std::string>{"1"}, false); },
      "An INSERT statement has 2 columns and 1 values"));
}

}  // namespace
}  // namespace rda
