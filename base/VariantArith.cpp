// The value type's arithmetic, logic and comparison; the rules are tabled at
// the top of Variant.h.
#include <cmath>
#include <limits>

#include "base/Text.h"
#include "base/Variant.h"

namespace rda {

namespace {

// 128-bit integers hold every product of two currency values exactly.
__extension__ typedef __int128 Int128;

constexpr const char* kInvalidOperation = "Invalid variant operation";

// What an operand counts as.
enum class Cls { Empty, Null, Bool, Int, Float, Currency, Bcd, Date, String, Other };

enum class Op { Add, Subtract, Multiply, Divide };
enum class LogicOp { And, Or, Xor };

[[noreturn]] void Invalid() { throw EVariantError(kInvalidOperation); }
[[noreturn]] void IntOverflow() { throw EIntOverflow("Integer overflow"); }
[[noreturn]] void FloatOverflow() { throw EOverflow("Floating point overflow"); }

// The kinds whose integer results stay Integer when they fit.
bool Narrow(VarType t) {
  switch (t) {
    case VarType::Empty:
    case VarType::ShortInt:
    case VarType::SmallInt:
    case VarType::Integer:
    case VarType::Byte:
    case VarType::Word:
    case VarType::Boolean:
      return true;
    default:
      return false;
  }
}

Variant IntResult(int64_t v, bool narrow) {
  if (narrow && v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max()) {
    return Variant(static_cast<int32_t>(v));
  }
  return Variant(v);
}

double CheckedDouble(double r, double x, double y) {
  if (!std::isfinite(r) && std::isfinite(x) && std::isfinite(y)) FloatOverflow();
  return r;
}

// a / b in 128 bits, rounded half away from zero.
Int128 DivideRounded(Int128 a, Int128 b) {
  Int128 q = a / b;
  const Int128 r = a % b;
  const Int128 twice = (r < 0 ? -r : r) * 2;
  if (twice >= (b < 0 ? -b : b)) q += ((a < 0) != (b < 0)) ? -1 : 1;
  return q;
}

Currency CheckedCurrency(Int128 scaled) {
  if (scaled < std::numeric_limits<int64_t>::min() || scaled > std::numeric_limits<int64_t>::max()) {
    FloatOverflow();
  }
  return Currency::FromScaled(static_cast<int64_t>(scaled));
}

TVariantRelationship Relation(int c) {
  return c < 0 ? vrLessThan : (c > 0 ? vrGreaterThan : vrEqual);
}

template <typename T>
TVariantRelationship RelationOf(T a, T b) {
  return a < b ? vrLessThan : (b < a ? vrGreaterThan : vrEqual);
}

}  // namespace

// Reaches into the stored values where the arithmetic needs them.
struct VariantOps {
  static Cls ClassOf(const Variant& v) {
    switch (v.type_) {
      case VarType::Empty: return Cls::Empty;
      case VarType::Null: return Cls::Null;
      case VarType::Boolean: return Cls::Bool;
      case VarType::Single:
      case VarType::Double: return Cls::Float;
      case VarType::Currency: return Cls::Currency;
      case VarType::Bcd: return Cls::Bcd;
      case VarType::Date:
      case VarType::SqlTimeStamp: return Cls::Date;
      case VarType::String: return Cls::String;
      case VarType::Bytes:
      case VarType::Interface: return Cls::Other;
      default: return Cls::Int;
    }
  }
  static bool IsUnsigned(const Variant& v) { return std::holds_alternative<uint64_t>(v.value_); }
  static int64_t Signed(const Variant& v) { return std::get<int64_t>(v.value_); }
  static uint64_t Unsigned(const Variant& v) { return std::get<uint64_t>(v.value_); }
  static const std::string& Text(const Variant& v) { return std::get<std::string>(v.value_); }
  static bool Bool(const Variant& v) { return std::get<bool>(v.value_); }
  [[noreturn]] static void CannotConvert(const Variant& v, VarType to) { v.CannotConvert(to); }

  // A Boolean as Integer -1 or 0, a time stamp as a Date, Empty as Integer
  // 0, and a String as the kind the other operand asks for.
  static Variant Operand(const Variant& v, Cls other) {
    switch (ClassOf(v)) {
      case Cls::Empty: return Variant(int32_t{0});
      case Cls::Bool: return Variant(int32_t{Bool(v) ? -1 : 0});
      case Cls::Date:
        return v.type_ == VarType::Date ? v : Variant::FromDate(v.ToDateTime());
      case Cls::String:
        switch (other) {
          case Cls::Currency: return Variant(v.ToCurrency());
          case Cls::Bcd: return Variant(v.ToBcd());
          case Cls::Date: return Variant::FromDate(v.ToDateTime());
          default: return Variant(v.ToDouble());
        }
      default: return v;
    }
  }

  static Variant Arith(Op op, const Variant& a0, const Variant& b0) {
    if (a0.IsNull() || b0.IsNull()) return Variant::Null();
    const Cls c0 = ClassOf(a0);
    const Cls d0 = ClassOf(b0);
    if (c0 == Cls::Other || d0 == Cls::Other) Invalid();
    if (op == Op::Add && (c0 == Cls::String || c0 == Cls::Empty) &&
        (d0 == Cls::String || d0 == Cls::Empty) && (c0 == Cls::String || d0 == Cls::String)) {
      return Variant((c0 == Cls::String ? Text(a0) : std::string()) +
                     (d0 == Cls::String ? Text(b0) : std::string()));
    }
    const Variant a = Operand(a0, d0);
    const Variant b = Operand(b0, c0);
    const Cls ca = ClassOf(a);
    const Cls cb = ClassOf(b);
    if (ca == Cls::Bcd || cb == Cls::Bcd) {
      const rda::Bcd x = a.ToBcd();
      const rda::Bcd y = b.ToBcd();
      switch (op) {
        case Op::Add: return Variant(BcdAdd(x, y));
        case Op::Subtract: return Variant(BcdSubtract(x, y));
        case Op::Multiply: return Variant(BcdMultiply(x, y));
        case Op::Divide: return Variant(BcdDivide(x, y));
      }
    }
    if (ca == Cls::Date || cb == Cls::Date) {
      const double x = a.ToDouble();
      const double y = b.ToDouble();
      const bool oneDate = (ca == Cls::Date) != (cb == Cls::Date);
      if (op == Op::Add && oneDate) return Variant::FromDate(CheckedDouble(x + y, x, y));
      if (op == Op::Subtract && ca == Cls::Date && cb != Cls::Date) {
        return Variant::FromDate(CheckedDouble(x - y, x, y));
      }
      return DoubleOp(op, x, y);
    }
    if (op == Op::Divide) {
      if (ca == Cls::Currency && cb == Cls::Int) {
        const int64_t y = b.ToInt64();
        if (y == 0) throw EDivByZero("Division by zero");
        return Variant(CheckedCurrency(DivideRounded(a.ToCurrency().Scaled, y)));
      }
      return DoubleOp(op, a.ToDouble(), b.ToDouble());
    }
    if (ca == Cls::Float || cb == Cls::Float) return DoubleOp(op, a.ToDouble(), b.ToDouble());
    if (ca == Cls::Currency || cb == Cls::Currency) {
      const Int128 x = a.ToCurrency().Scaled;
      const Int128 y = b.ToCurrency().Scaled;
      switch (op) {
        case Op::Add: return Variant(CheckedCurrency(x + y));
        case Op::Subtract: return Variant(CheckedCurrency(x - y));
        default: return Variant(CheckedCurrency(DivideRounded(x * y, Currency::kScale)));
      }
    }
    const int64_t x = a.ToInt64();
    const int64_t y = b.ToInt64();
    int64_t r = 0;
    bool overflow = false;
    switch (op) {
      case Op::Add: overflow = __builtin_add_overflow(x, y, &r); break;
      case Op::Subtract: overflow = __builtin_sub_overflow(x, y, &r); break;
      default: overflow = __builtin_mul_overflow(x, y, &r); break;
    }
    if (overflow) IntOverflow();
    return IntResult(r, Narrow(a.type_) && Narrow(b.type_));
  }

  static Variant DoubleOp(Op op, double x, double y) {
    switch (op) {
      case Op::Add: return Variant(CheckedDouble(x + y, x, y));
      case Op::Subtract: return Variant(CheckedDouble(x - y, x, y));
      case Op::Multiply: return Variant(CheckedDouble(x * y, x, y));
      case Op::Divide:
        if (y == 0) {
          if (x == 0 || std::isnan(x)) throw EInvalidOp("Invalid floating point operation");
          throw EZeroDivide("Floating point division by zero");
        }
        return Variant(CheckedDouble(x / y, x, y));
    }
    return Variant(0.0);
  }

  // Both operands as Int64 for div, mod and the bitwise operations; the
  // texts "True" and "False" count as -1 and 0.
  static int64_t IntOperand(const Variant& v) {
    if (ClassOf(v) == Cls::Other) Invalid();
    if (ClassOf(v) == Cls::String) {
      bool flag;
      if (BooleanText(v, flag)) return flag ? -1 : 0;
    }
    return v.IsEmpty() ? 0 : v.ToInt64();
  }

  static Variant IntDivide(bool remainder, const Variant& a, const Variant& b) {
    if (a.IsNull() || b.IsNull()) return Variant::Null();
    const int64_t x = IntOperand(a);
    const int64_t y = IntOperand(b);
    if (y == 0) throw EDivByZero("Division by zero");
    const bool narrow = Narrow(a.type_) && Narrow(b.type_);
    if (x == std::numeric_limits<int64_t>::min() && y == -1) {
      if (remainder) return IntResult(0, narrow);
      IntOverflow();
    }
    return IntResult(remainder ? x % y : x / y, narrow);
  }

  static bool BooleanText(const Variant& v, bool& value) {
    if (ClassOf(v) == Cls::Bool) {
      value = Bool(v);
      return true;
    }
    if (ClassOf(v) != Cls::String) return false;
    const std::string_view word = TrimBlanks(Text(v));
    if (SameTextAscii(word, "TRUE")) {
      value = true;
      return true;
    }
    if (SameTextAscii(word, "FALSE")) {
      value = false;
      return true;
    }
    return false;
  }

  static Variant Logic(LogicOp op, const Variant& a, const Variant& b) {
    if (a.IsNull() || b.IsNull()) return Variant::Null();
    bool x, y;
    if (BooleanText(a, x) && BooleanText(b, y)) {
      switch (op) {
        case LogicOp::And: return Variant(x && y);
        case LogicOp::Or: return Variant(x || y);
        case LogicOp::Xor: return Variant(x != y);
      }
    }
    const int64_t i = IntOperand(a);
    const int64_t j = IntOperand(b);
    const bool narrow = Narrow(a.type_) && Narrow(b.type_);
    switch (op) {
      case LogicOp::And: return IntResult(i & j, narrow);
      case LogicOp::Or: return IntResult(i | j, narrow);
      case LogicOp::Xor: return IntResult(i ^ j, narrow);
    }
    return Variant::Null();
  }

  static Variant Negate(const Variant& a) {
    switch (ClassOf(a)) {
      case Cls::Null: return Variant::Null();
      case Cls::Empty: return Variant(int32_t{0});
      case Cls::Other: Invalid();
      case Cls::Bool: return Variant(int32_t{Bool(a) ? 1 : 0});
      case Cls::Float:
        if (a.type_ == VarType::Single) return Variant(static_cast<float>(-a.ToDouble()));
        return Variant(-a.ToDouble());
      case Cls::Currency: {
        const int64_t s = a.ToCurrency().Scaled;
        if (s == std::numeric_limits<int64_t>::min()) FloatOverflow();
        return Variant(Currency::FromScaled(-s));
      }
      case Cls::Bcd: return Variant(BcdNegate(a.ToBcd()));
      case Cls::Date: return Variant::FromDate(-a.ToDateTime());
      case Cls::String: return Variant(-a.ToDouble());
      case Cls::Int: break;
    }
    const int64_t v = a.ToInt64();
    if (v == std::numeric_limits<int64_t>::min()) IntOverflow();
    return IntResult(-v, Narrow(a.type_));
  }

  static Variant Not(const Variant& a) {
    if (a.IsNull()) return Variant::Null();
    bool flag;
    if (BooleanText(a, flag)) return Variant(!flag);
    return IntResult(~IntOperand(a), Narrow(a.type_));
  }

  // A String read as the kind of the other side, for comparing.
  static Variant CompareOperand(const Variant& v, Cls other) {
    if (ClassOf(v) == Cls::String && other == Cls::Bool) return Variant(v.ToBoolean());
    return Operand(v, other);
  }

  static TVariantRelationship Compare(const Variant& a0, const Variant& b0) {
    const bool clearA = a0.IsClear();
    const bool clearB = b0.IsClear();
    if (clearA || clearB) return clearA && clearB ? vrEqual : (clearA ? vrLessThan : vrGreaterThan);
    Cls ca = ClassOf(a0);
    Cls cb = ClassOf(b0);
    if (ca == Cls::Other || cb == Cls::Other) {
      if (a0.type_ == VarType::Bytes && b0.type_ == VarType::Bytes) {
        return Relation(Text(a0).compare(Text(b0)));
      }
      if (a0.type_ == VarType::Interface && b0.type_ == VarType::Interface) {
        return RelationOf(Signed(a0), Signed(b0));
      }
      Invalid();
    }
    if (ca == Cls::String && cb == Cls::String) return Relation(Text(a0).compare(Text(b0)));
    if (ca == Cls::Bool && cb == Cls::Bool) return RelationOf(Bool(a0), Bool(b0));
    if (ca == Cls::Bool && cb == Cls::String) return RelationOf(Bool(a0), b0.ToBoolean());
    if (ca == Cls::String && cb == Cls::Bool) return RelationOf(a0.ToBoolean(), Bool(b0));
    const Variant a = CompareOperand(a0, cb);
    const Variant b = CompareOperand(b0, ca);
    ca = ClassOf(a);
    cb = ClassOf(b);
    if (ca == Cls::Bcd || cb == Cls::Bcd) {
      if (ca == Cls::Float && std::isnan(a.ToDouble())) return vrNotEqual;
      if (cb == Cls::Float && std::isnan(b.ToDouble())) return vrNotEqual;
      if (ca == Cls::Float && std::isinf(a.ToDouble())) return a.ToDouble() < 0 ? vrLessThan : vrGreaterThan;
      if (cb == Cls::Float && std::isinf(b.ToDouble())) return b.ToDouble() < 0 ? vrGreaterThan : vrLessThan;
      return Relation(BcdCompare(a.ToBcd(), b.ToBcd()));
    }
    if (ca == Cls::Float || cb == Cls::Float || ca == Cls::Date || cb == Cls::Date) {
      // Long doubles hold every Int64 exactly.
      const long double x = ca == Cls::Int ? IntAsLongDouble(a) : a.ToDouble();
      const long double y = cb == Cls::Int ? IntAsLongDouble(b) : b.ToDouble();
      if (std::isnan(x) || std::isnan(y)) return vrNotEqual;
      return RelationOf(x, y);
    }
    if (ca == Cls::Currency || cb == Cls::Currency) {
      return RelationOf(ScaledOf(a), ScaledOf(b));
    }
    if (IsUnsigned(a) || IsUnsigned(b)) {
      // Compare as 128-bit integers: both signs and the whole unsigned range.
      const Int128 x = IsUnsigned(a) ? Int128(Unsigned(a)) : Int128(Signed(a));
      const Int128 y = IsUnsigned(b) ? Int128(Unsigned(b)) : Int128(Signed(b));
      return RelationOf(x, y);
    }
    return RelationOf(Signed(a), Signed(b));
  }

  static long double IntAsLongDouble(const Variant& v) {
    return IsUnsigned(v) ? static_cast<long double>(Unsigned(v)) : static_cast<long double>(Signed(v));
  }

  // A Currency's scaled value, or an integer times 10,000, in 128 bits.
  static Int128 ScaledOf(const Variant& v) {
    if (ClassOf(v) == Cls::Currency) return v.ToCurrency().Scaled;
    const Int128 i = IsUnsigned(v) ? Int128(Unsigned(v)) : Int128(Signed(v));
    return i * Currency::kScale;
  }

  static Variant AsType(const Variant& v, VarType to, const FormatSettings& fs) {
    if (v.IsClear() || v.type_ == to) return v;
    auto ranged = [&](int64_t min, int64_t max) {
      int64_t i = 0;
      try {
        i = v.ToInt64(fs);
      } catch (const EVariantError&) {
        CannotConvert(v, to);
      }
      if (i < min || i > max) CannotConvert(v, to);
      return i;
    };
    switch (to) {
      case VarType::ShortInt: return Variant(static_cast<int8_t>(ranged(INT8_MIN, INT8_MAX)));
      case VarType::SmallInt: return Variant(static_cast<int16_t>(ranged(INT16_MIN, INT16_MAX)));
      case VarType::Integer: return Variant(static_cast<int32_t>(ranged(INT32_MIN, INT32_MAX)));
      case VarType::Int64: return Variant(v.ToInt64(fs));
      case VarType::Byte: return Variant(static_cast<uint8_t>(ranged(0, UINT8_MAX)));
      case VarType::Word: return Variant(static_cast<uint16_t>(ranged(0, UINT16_MAX)));
      case VarType::LongWord: return Variant(static_cast<uint32_t>(ranged(0, UINT32_MAX)));
      case VarType::UInt64:
        return Variant(static_cast<uint64_t>(ranged(0, std::numeric_limits<int64_t>::max())));
      case VarType::Single: return Variant(static_cast<float>(v.ToDouble(fs)));
      case VarType::Double: return Variant(v.ToDouble(fs));
      case VarType::Currency: return Variant(v.ToCurrency(fs));
      case VarType::Date: return Variant::FromDate(v.ToDateTime(fs));
      case VarType::Boolean: return Variant(v.ToBoolean(fs));
      case VarType::String: return Variant(v.ToString(fs));
      case VarType::Bcd: return Variant(v.ToBcd(fs));
      case VarType::SqlTimeStamp: return Variant(v.ToSqlTimeStamp(fs));
      case VarType::Bytes: return Variant::FromBytes(v.ToBytes());
      default: CannotConvert(v, to);
    }
  }

  static bool AddInPlace(Variant& a, const Variant& b, bool subtract) {
    if (a.type_ != b.type_) return false;
    switch (a.type_) {
      case VarType::Double: {
        double& x = std::get<double>(a.value_);
        const double y = std::get<double>(b.value_);
        x = CheckedDouble(subtract ? x - y : x + y, x, y);
        return true;
      }
      case VarType::Int64: {
        int64_t& x = std::get<int64_t>(a.value_);
        const int64_t y = std::get<int64_t>(b.value_);
        int64_t r;
        if (subtract ? __builtin_sub_overflow(x, y, &r) : __builtin_add_overflow(x, y, &r)) {
          IntOverflow();
        }
        x = r;
        return true;
      }
      case VarType::Currency: {
        int64_t& x = std::get<rda::Currency>(a.value_).Scaled;
        const int64_t y = std::get<rda::Currency>(b.value_).Scaled;
        int64_t r;
        if (subtract ? __builtin_sub_overflow(x, y, &r) : __builtin_add_overflow(x, y, &r)) {
          FloatOverflow();
        }
        x = r;
        return true;
      }
      default:
        return false;
    }
  }
};

Variant& Variant::operator+=(const Variant& other) {
  if (!VariantOps::AddInPlace(*this, other, false)) *this = *this + other;
  return *this;
}

Variant& Variant::operator-=(const Variant& other) {
  if (!VariantOps::AddInPlace(*this, other, true)) *this = *this - other;
  return *this;
}

Variant operator+(const Variant& a, const Variant& b) { return VariantOps::Arith(Op::Add, a, b); }
Variant operator-(const Variant& a, const Variant& b) {
  return VariantOps::Arith(Op::Subtract, a, b);
}
Variant operator*(const Variant& a, const Variant& b) {
  return VariantOps::Arith(Op::Multiply, a, b);
}
Variant operator/(const Variant& a, const Variant& b) { return VariantOps::Arith(Op::Divide, a, b); }
Variant operator-(const Variant& a) { return VariantOps::Negate(a); }
Variant VarIntDiv(const Variant& a, const Variant& b) { return VariantOps::IntDivide(false, a, b); }
Variant VarMod(const Variant& a, const Variant& b) { return VariantOps::IntDivide(true, a, b); }
Variant VarAnd(const Variant& a, const Variant& b) { return VariantOps::Logic(LogicOp::And, a, b); }
Variant VarOr(const Variant& a, const Variant& b) { return VariantOps::Logic(LogicOp::Or, a, b); }
Variant VarXor(const Variant& a, const Variant& b) { return VariantOps::Logic(LogicOp::Xor, a, b); }
Variant VarNot(const Variant& a) { return VariantOps::Not(a); }

TVariantRelationship VarCompareValue(const Variant& a, const Variant& b) {
  return VariantOps::Compare(a, b);
}

bool VarSameValue(const Variant& a, const Variant& b) { return VarCompareValue(a, b) == vrEqual; }

Variant VarAsType(const Variant& value, VarType to, const FormatSettings& fs) {
  return VariantOps::AsType(value, to, fs);
}

}  // namespace rda
