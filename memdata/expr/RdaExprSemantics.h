// What an expression's nodes mean, in the pieces that the tree walker
// (TRdaExpressionTreeReader) and the compiled form (TRdaExprProgram) share:
// constants, the three-way comparison, the pattern test, the text functions
// on views, the date parts, assignment to a field, and the error texts.
//
// Null rules (they differ from SQL on purpose):
//   - the three-way comparison of two values gives 0 when both are null, -1
//     when exactly one is (so = and > with a null are false, < and <= true),
//     else the value type's order; -1 also when the value type cannot
//     compare the two;
//   - a compare node (the case-insensitive or partial =, <>, LIKE) reads
//     every value as text, a null as '';
//   - LIKE with a null on either side is false;
//   - a function of a blank argument (null, empty, or '') gives null.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "base/DateTime.h"
#include "base/Variant.h"
#include "memdata/expr/RdaExprTree.h"

namespace rda {

class TField;

// ---- Error texts ----
inline constexpr const char* kRdaExprFieldNotFound = "Field does not found:";
inline constexpr const char* kRdaExprMissingUnary = "Missing Unary Expression Eval: ";
inline constexpr const char* kRdaExprMissingBinary = "Missing Binary Expression Eval: ";
inline constexpr const char* kRdaExprMissingCompare = "Missing Extended Expression Eval: ";
inline constexpr const char* kRdaExprMissingFunction = "Missing Functional Expression Eval: ";
inline constexpr const char* kRdaExprMissingNodeType = "Missing nodeType Expression Eval: ";
inline constexpr const char* kRdaExprUnknownFunction = "Unknown function call:";
inline constexpr const char* kRdaExprExpectingField = "Expecting Field node";

// Raises EDatabaseError with the text.
[[noreturn]] void RdaExprError(const std::string& message);

// ---- Constants ----
// The value of a constant node (the encodings at the top of RdaExprTree.h).
Variant RdaExprConstant(const TRdaExprTree& tree, uint16_t node);

// ---- Comparing ----
// The three-way comparison: 0, 1 or -1 by the rules above.
int RdaExprThreeWay(const Variant& a, const Variant& b);
// Whether a comparison operator (= <> > < >= <=) holds for a three-way result.
bool RdaExprCompareHolds(uint32_t op, int threeWay);
// The pattern test on two texts (nulls are the caller's): a pattern of
// exactly "%" matches every text, also an empty one; otherwise an empty
// pattern or text gives false; "_" matches one character, "%" any run, the
// rest themselves (Windows-1252 case folded when asked); no escape.
bool RdaExprLike(std::string_view text, std::string_view pattern, bool caseInsensitive);
// The text comparison of a compare node's = and <>: with partial > 0 only
// the first that many characters of each; case folded by Windows-1252.
bool RdaExprTextEqual(std::string_view a, std::string_view b, bool caseInsensitive, uint16_t partial);

// ---- Functions ----
enum TRdaExprFunction : uint8_t {
  efUnknown,
  efUpper,
  efLower,
  efSubstring,
  efTrim,
  efTrimLeft,
  efTrimRight,
  efYear,
  efMonth,
  efDay,
  efHour,
  efMinute,
  efSecond,
  efGetDate,
  efDate,
  efTime,
};
// By the name, which is upper-cased first.
TRdaExprFunction RdaExprFunctionByName(std::string_view name);
// Null, Empty, or an empty text.
bool RdaExprBlank(const Variant& v);
// UPPER and LOWER in the system's code page, into out.
void RdaExprUpper(std::string_view text, std::string& out);
void RdaExprLower(std::string_view text, std::string& out);
// The characters SUBSTRING takes (a view into text; empty means null).
// start is 1-based (below 1 counts as 1), a negative start counts from the
// end; length < 0 means "to the end".
std::string_view RdaExprSubstring(std::string_view text, int64_t start, int64_t length);
// The text without the characters of set at the start and/or the end.
std::string_view RdaExprTrim(std::string_view text, std::string_view set, bool start, bool end);
// YEAR ... SECOND of a date-time (the function decides which part).
uint16_t RdaExprDatePart(TRdaExprFunction function, TDateTime value);
// DATE: the day number, truncated toward zero; raises EIntOverflow
// "Integer overflow" beyond 32 bits.
int32_t RdaExprDayNumber(double value);
// Today at midnight, from the local clock.
TDateTime RdaExprLocalToday();
using TRdaExprToday = std::function<TDateTime()>;

// ---- Assignment ----
// Assigns a default expression's value to its field: a 64-bit integer field
// is cleared by a null or empty value, takes a small or 32-bit integer as an
// integer and a single, double or currency rounded to the nearest integer
// (halves to even); everything else goes through the field's SetValue.
void RdaExprAssign(TField& field, const Variant& value);

}  // namespace rda
