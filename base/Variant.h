// Variant: the small typed value that parameter values, field values and
// lookups pass around.
//
// A variant is unassigned, null, or holds one value of the kinds below. The
// kind is kept apart from the value, so an 8-bit integer and a 64-bit one
// stay distinguishable (parameter lists choose their data type by it).
// Conversions between kinds follow the platform's variant rules: numbers
// widen and narrow freely, text converts to numbers, dates and booleans
// with the given FormatSettings, and a conversion that cannot be made
// raises EVariantError "Could not convert variant of type (<from>) into
// type (<to>)" (for example from a null or from text that is no number).
//
// The rules in detail:
// - Null and Empty convert only to text ("").
// - Floats, dates and currency round to integers to the nearest, halves to
//   even; every conversion is range-checked (UInt64 above the Int64 range,
//   Int64 beyond the currency range, 1e100 to BCD all raise).
// - Boolean is -1 (true) or 0 as a number or currency; it is no date.
// - Text to a number is read exactly with the settings' decimal separator
//   (blanks around it and an exponent allowed): "2.5" -> 2 as an integer.
//   Text to Boolean: "True"/"False" in any case, or a number (non-zero is
//   true). Text to a date: StrToDateTime. Text to BCD: StrToBcd.
// - A Single shows seven significant digits as text, a Double fifteen.
// - Bytes convert only to text (the bytes themselves) and to bytes.
// - Interface converts to its reference as an integer or decimal text only.
//
// Arithmetic, logic and comparison (the operators and Var... functions at
// the end of this file) follow these rules:
//
//   operands    Null in either operand gives Null (comparisons aside). Empty
//               counts as Integer 0 (as "" beside a String for +). Bytes and
//               Interface take part in no operation: EVariantError
//               "Invalid variant operation". Boolean counts as Integer -1 or 0,
//               SqlTimeStamp as a Date.
//   strings     String + String concatenates. Otherwise a String is read as
//               the other side's kind: Currency, Bcd or a date-time beside
//               those, a Double beside anything else (and both sides are
//               Doubles when both are Strings); text that is no number fails
//               with the conversion error ("Could not convert variant of type
//               (String) into type (Double)").
//
//   + - *       the operands, after the above   result
//               any Bcd                          Bcd, exact (Bcd.h: rounded to
//                                                64 digits only when too long)
//               Date + number, number + Date,    Date
//               Date - number
//               any other Date (Date - Date ...) Double
//               any Single or Double             Double
//               any Currency (with integers)     Currency, exact (products
//                                                rounded half away from zero
//                                                to 4 places)
//               integers                         Integer when both are of the
//                                                kinds up to 32 bits (ShortInt,
//                                                SmallInt, Integer, Byte, Word,
//                                                Boolean) and the result fits,
//                                                else Int64
//   /           any Bcd: Bcd (Bcd.h); Currency / integer: Currency rounded
//               half away from zero to 4 places; everything else: Double.
//   div, mod    both operands as Int64 (ToInt64: floats round half to even);
//               the result kind as for integer +; mod takes the dividend's sign.
//   - (unary)   integers as integer + (Boolean gives Integer), Single and
//               Double keep their kind, Currency, Bcd and Date too, a String
//               gives a Double.
//   and or xor  two Booleans (or the texts "True" and "False" in any case)
//   not         give a Boolean; otherwise both are Int64 (as for div) and the
//               bits are combined, the result kind as for integer +.
//
//   failures    an integer result beyond Int64: EIntOverflow "Integer overflow";
//               Currency beyond its range or a Double that overflows:
//               EOverflow "Floating point overflow"; Bcd beyond 64 integer
//               digits: EConvertError "BCD overflow"; x / 0 in Doubles:
//               EZeroDivide "Floating point division by zero", and 0 / 0:
//               EInvalidOp "Invalid floating point operation"; a zero divisor
//               of Currency, Bcd, div or mod: EDivByZero "Division by zero".
//
//   comparing   VarCompareValue orders Null and Empty before every value and
//               equal to each other; Strings by their bytes (case counts);
//               Booleans false before true; numbers by value across kinds,
//               exactly where both are integers, Currency or Bcd (a Double
//               beside a Bcd by its shortest exact decimal), else as Doubles;
//               Dates by their date-time value; a String beside another kind
//               is read as that kind (as for arithmetic). Two Bytes compare by
//               their bytes, two Interfaces by reference; any other pairing
//               with them raises "Invalid variant operation". A NaN is
//               vrNotEqual to everything.
//   operator==  stays "same kind and same value"; VarSameValue is the
//               comparison by value (Integer 1 and Double 1.0 are the same).
//   VarAsType   converts with the To... accessors above into a variant of
//               the asked kind; Null and Empty stay as they are.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "base/Bcd.h"
#include "base/Currency.h"
#include "base/DateTime.h"
#include "base/Exception.h"
#include "base/FormatSettings.h"
#include "base/SqlTimeStamp.h"

namespace rda {

RDA_DECLARE_EXCEPTION(EVariantError, Exception)

enum class VarType : uint8_t {
  Empty,         // unassigned
  Null,
  ShortInt,      // int8_t
  SmallInt,      // int16_t
  Integer,       // int32_t
  Int64,         // int64_t
  Byte,          // uint8_t
  Word,          // uint16_t
  LongWord,      // uint32_t
  UInt64,        // uint64_t
  Single,        // float
  Double,        // double
  Currency,      // rda::Currency
  Date,          // TDateTime
  Boolean,       // bool
  String,        // 8-bit text in the system's code page
  Bcd,           // rda::Bcd
  SqlTimeStamp,  // rda::SqlTimeStamp
  Bytes,         // byte array
  Interface,     // an in-process interface reference, as a number
};

// The platform's name of a kind, as used in conversion errors ("String", "Double", ...).
const char* VarTypeName(VarType type);

class Variant {
 public:
  Variant() = default;  // Empty
  Variant(int8_t v) : type_(VarType::ShortInt), value_(int64_t{v}) {}
  Variant(int16_t v) : type_(VarType::SmallInt), value_(int64_t{v}) {}
  Variant(int32_t v) : type_(VarType::Integer), value_(int64_t{v}) {}
  Variant(int64_t v) : type_(VarType::Int64), value_(v) {}
  Variant(uint8_t v) : type_(VarType::Byte), value_(uint64_t{v}) {}
  Variant(uint16_t v) : type_(VarType::Word), value_(uint64_t{v}) {}
  Variant(uint32_t v) : type_(VarType::LongWord), value_(uint64_t{v}) {}
  Variant(uint64_t v) : type_(VarType::UInt64), value_(v) {}
  Variant(float v) : type_(VarType::Single), value_(double{v}) {}
  Variant(double v) : type_(VarType::Double), value_(v) {}
  Variant(rda::Currency v) : type_(VarType::Currency), value_(v) {}
  Variant(bool v) : type_(VarType::Boolean), value_(v) {}
  Variant(std::string v) : type_(VarType::String), value_(std::move(v)) {}
  Variant(std::string_view v) : Variant(std::string(v)) {}
  Variant(const char* v) : Variant(std::string(v)) {}
  Variant(const rda::Bcd& v) : type_(VarType::Bcd), value_(v) {}
  Variant(const rda::SqlTimeStamp& v) : type_(VarType::SqlTimeStamp), value_(v) {}

  static Variant Null() { return Variant(VarType::Null); }
  static Variant FromDate(TDateTime v);
  static Variant FromBytes(std::string bytes);
  static Variant FromInterface(int64_t reference);

  VarType Type() const { return type_; }
  bool IsNull() const { return type_ == VarType::Null; }
  bool IsEmpty() const { return type_ == VarType::Empty; }
  // Null or Empty.
  bool IsClear() const { return IsNull() || IsEmpty(); }
  bool IsOrdinal() const;  // any of the integer kinds
  bool IsFloat() const { return type_ == VarType::Single || type_ == VarType::Double; }

  // Conversions; see the rules above. ToString of a null or empty variant
  // gives "" (as a field's text does); the others raise for null and empty.
  std::string ToString(const FormatSettings& fs = DefaultFormatSettings()) const;
  int64_t ToInt64(const FormatSettings& fs = DefaultFormatSettings()) const;
  int32_t ToInt32(const FormatSettings& fs = DefaultFormatSettings()) const;
  double ToDouble(const FormatSettings& fs = DefaultFormatSettings()) const;
  bool ToBoolean(const FormatSettings& fs = DefaultFormatSettings()) const;
  rda::Currency ToCurrency(const FormatSettings& fs = DefaultFormatSettings()) const;
  TDateTime ToDateTime(const FormatSettings& fs = DefaultFormatSettings()) const;
  rda::Bcd ToBcd(const FormatSettings& fs = DefaultFormatSettings()) const;
  rda::SqlTimeStamp ToSqlTimeStamp(const FormatSettings& fs = DefaultFormatSettings()) const;
  // The bytes of a Bytes or String variant; raises for other kinds.
  const std::string& ToBytes() const;

  // Same kind and same value (a Single and a Double holding 1.5 differ).
  friend bool operator==(const Variant& a, const Variant& b);

  // The value plus / minus another (the rules at the top). Two Doubles, two
  // integers and two Currency values are added in place; everything else
  // as the operators.
  Variant& operator+=(const Variant& other);
  Variant& operator-=(const Variant& other);

 private:
  explicit Variant(VarType type) : type_(type) {}

  // Signed integers and Date/Single/Double share their slots: int64_t for
  // signed kinds and Interface, uint64_t for unsigned, double for floats and dates.
  using Storage = std::variant<std::monostate, int64_t, uint64_t, double, bool, rda::Currency,
                               std::string, rda::Bcd, rda::SqlTimeStamp>;
  [[noreturn]] void CannotConvert(VarType to) const;
  friend struct VariantOps;

  VarType type_ = VarType::Empty;
  Storage value_;
};

// ---- Arithmetic, logic and comparison (rules at the top of this file) ----

Variant operator+(const Variant& a, const Variant& b);
Variant operator-(const Variant& a, const Variant& b);
Variant operator*(const Variant& a, const Variant& b);
Variant operator/(const Variant& a, const Variant& b);
Variant operator-(const Variant& a);
// Integer division and remainder.
Variant VarIntDiv(const Variant& a, const Variant& b);
Variant VarMod(const Variant& a, const Variant& b);
Variant VarAnd(const Variant& a, const Variant& b);
Variant VarOr(const Variant& a, const Variant& b);
Variant VarXor(const Variant& a, const Variant& b);
Variant VarNot(const Variant& a);

enum TVariantRelationship : uint8_t { vrEqual, vrLessThan, vrGreaterThan, vrNotEqual };
TVariantRelationship VarCompareValue(const Variant& a, const Variant& b);
bool VarSameValue(const Variant& a, const Variant& b);
Variant VarAsType(const Variant& value, VarType to,
                  const FormatSettings& fs = DefaultFormatSettings());

}  // namespace rda
