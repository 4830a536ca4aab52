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

 private:
  explicit Variant(VarType type) : type_(type) {}

  // Signed integers and Date/Single/Double share their slots: int64_t for
  // signed kinds and Interface, uint64_t for unsigned, double for floats and dates.
  using Storage = std::variant<std::monostate, int64_t, uint64_t, double, bool, rda::Currency,
                               std::string, rda::Bcd, rda::SqlTimeStamp>;
  [[noreturn]] void CannotConvert(VarType to) const;

  VarType type_ = VarType::Empty;
  Storage value_;
};

}  // namespace rda
