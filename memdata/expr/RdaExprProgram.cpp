#include "memdata/expr/RdaExprProgram.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "base/ByteIO.h"
#include "base/ScopeGuard.h"
#include "base/Text.h"
#include "memdata/RdaCustomDataSet.h"
#include "memdata/expr/RdaExprParser.h"
#include "memdata/store/RdaStoredValue.h"

namespace rda {

enum TRdaExprProgram::Op : uint8_t {
  kConst,        // arg: constant
  kField,        // arg: field
  kFieldLookup,  // arg: field node, looked up at every run (a field that was missing)
  kIsBlank,
  kNotBlank,
  kNot,
  kNeg,
  kCompare,    // aux: = <> > < >= <=
  kAnd,
  kOr,
  kArith,      // aux: + - * / DIV MOD
  kMin,
  kMax,
  kLike,
  kTextEqual,  // aux: = or <>, arg: case-insensitive, extra: partial length
  kTextLike,   // arg: case-insensitive
  kInTest,     // arg: where IN ends; taken when the element equals the value
  kInLast,
  kFunc,       // aux: function, extra: argument count
  kAssign,     // arg: field
  kRaise,      // arg: message
  // A field compared with a constant, in one step: arg field, extra
  // constant, aux the operator (kFieldLike: the length of the pattern's
  // literal start when the pattern is that start and "%" only, else 0).
  kFieldCompare,
  kFieldLike,
  // Before the second operand of AND (aux 0) or OR (aux 1): on a row image,
  // when the first gave false (true), jump to arg, past the operand and the
  // operator. Only before operands that can neither raise nor leave a
  // different null marker, so that skipping them is not seen.
  kSkipIf,
};

namespace {

using Value = TRdaExprValue;

// 128-bit integers hold every currency's scaled value and every integer
// times 10,000.
__extension__ typedef __int128 Int128;

constexpr int kWalkLimit = kRdaExprMaxDepth + 16;

bool Clear(VarType t) { return t == VarType::Empty || t == VarType::Null; }
bool IsInt(VarType t) {
  switch (t) {
    case VarType::ShortInt:
    case VarType::SmallInt:
    case VarType::Integer:
    case VarType::Int64:
    case VarType::Byte:
    case VarType::Word:
    case VarType::LongWord:
      return true;
    default:
      return false;
  }
}
bool IsUnsigned(VarType t) { return t == VarType::Byte || t == VarType::Word || t == VarType::LongWord; }
bool IsReal(VarType t) { return t == VarType::Double || t == VarType::Date; }
// The kinds whose integer results stay Integer when they fit (the value
// type's rule), as far as they reach the fast paths.
bool Narrow(VarType t) {
  return t == VarType::ShortInt || t == VarType::SmallInt || t == VarType::Integer || t == VarType::Byte ||
         t == VarType::Word;
}
int64_t IntValue(const Value& v) { return IsUnsigned(v.type) ? static_cast<int64_t>(v.u) : v.i; }

void SetBool(Value& v, bool b) {
  v.type = VarType::Boolean;
  v.b = b;
}
void SetNull(Value& v) { v.type = VarType::Null; }
void SetInt(Value& v, int64_t r, bool narrow) {
  if (narrow && r >= std::numeric_limits<int32_t>::min() && r <= std::numeric_limits<int32_t>::max()) {
    v.type = VarType::Integer;
  } else {
    v.type = VarType::Int64;
  }
  v.i = r;
}
void SetText(Value& v, std::string_view s) {
  v.type = VarType::String;
  v.s = s;
}

// A value as the value type holds it.
Variant ToVariant(const Value& v) {
  switch (v.type) {
    case VarType::Empty: return Variant();
    case VarType::Null: return Variant::Null();
    case VarType::ShortInt: return Variant(static_cast<int8_t>(v.i));
    case VarType::SmallInt: return Variant(static_cast<int16_t>(v.i));
    case VarType::Integer: return Variant(static_cast<int32_t>(v.i));
    case VarType::Int64: return Variant(v.i);
    case VarType::Byte: return Variant(static_cast<uint8_t>(v.u));
    case VarType::Word: return Variant(static_cast<uint16_t>(v.u));
    case VarType::LongWord: return Variant(static_cast<uint32_t>(v.u));
    case VarType::Double: return Variant(v.d);
    case VarType::Date: return Variant::FromDate(v.d);
    case VarType::Currency: return Variant(Currency::FromScaled(v.i));
    case VarType::Boolean: return Variant(v.b);
    case VarType::String: return Variant(v.s);
    default: return *v.boxed;
  }
}

// A view of a Variant that outlives the value: numbers copied, a text
// viewed, the rest pointed at.
void View(const Variant& src, Value& v) {
  v.type = src.Type();
  switch (v.type) {
    case VarType::Empty:
    case VarType::Null:
      break;
    case VarType::ShortInt:
    case VarType::SmallInt:
    case VarType::Integer:
    case VarType::Int64:
      v.i = src.ToInt64();
      break;
    case VarType::Byte:
    case VarType::Word:
    case VarType::LongWord:
      v.u = static_cast<uint64_t>(src.ToInt64());
      break;
    case VarType::Double:
      v.d = src.ToDouble();
      break;
    case VarType::Date:
      v.d = src.ToDateTime();
      break;
    case VarType::Currency:
      v.i = src.ToCurrency().Scaled;
      break;
    case VarType::Boolean:
      v.b = src.ToBoolean();
      break;
    case VarType::String:
      v.s = src.ToBytes();
      break;
    default:
      v.boxed = &src;
      break;
  }
}

template <typename T>
TVariantRelationship RelationOf(T a, T b) {
  return a < b ? vrLessThan : (b < a ? vrGreaterThan : vrEqual);
}

// The value type's comparison for the pairings it decides without
// converting; false for the others.
bool FastRelation(const Value& a, const Value& b, TVariantRelationship& r) {
  if (a.type == VarType::String && b.type == VarType::String) {
    const int c = a.s.compare(b.s);
    r = c < 0 ? vrLessThan : (c > 0 ? vrGreaterThan : vrEqual);
    return true;
  }
  if (IsInt(a.type) && IsInt(b.type)) {
    r = RelationOf(IntValue(a), IntValue(b));
    return true;
  }
  if ((IsInt(a.type) || IsReal(a.type)) && (IsInt(b.type) || IsReal(b.type))) {
    // Long doubles hold every 64-bit integer exactly.
    const long double x = IsInt(a.type) ? static_cast<long double>(IntValue(a)) : a.d;
    const long double y = IsInt(b.type) ? static_cast<long double>(IntValue(b)) : b.d;
    r = std::isnan(x) || std::isnan(y) ? vrNotEqual : RelationOf(x, y);
    return true;
  }
  if (a.type == VarType::Boolean && b.type == VarType::Boolean) {
    r = RelationOf(a.b, b.b);
    return true;
  }
  if (a.type == VarType::Currency && b.type == VarType::Currency) {
    r = RelationOf(a.i, b.i);
    return true;
  }
  // A currency beside an integer compares exactly, beside a float or a date
  // as a double.
  if ((a.type == VarType::Currency && IsInt(b.type)) || (IsInt(a.type) && b.type == VarType::Currency)) {
    const auto scaled = [](const Value& v) {
      return v.type == VarType::Currency ? static_cast<Int128>(v.i)
                                         : static_cast<Int128>(IntValue(v)) * Currency::kScale;
    };
    r = RelationOf(scaled(a), scaled(b));
    return true;
  }
  if ((a.type == VarType::Currency && IsReal(b.type)) || (IsReal(a.type) && b.type == VarType::Currency)) {
    const auto real = [](const Value& v) {
      return v.type == VarType::Currency ? static_cast<long double>(Currency::FromScaled(v.i).ToDouble())
                                         : static_cast<long double>(v.d);
    };
    const long double x = real(a);
    const long double y = real(b);
    r = std::isnan(x) || std::isnan(y) ? vrNotEqual : RelationOf(x, y);
    return true;
  }
  return false;
}

int ThreeWay(const Value& a, const Value& b) {
  const bool nullA = Clear(a.type);
  const bool nullB = Clear(b.type);
  if (nullA || nullB) return nullA && nullB ? 0 : -1;
  TVariantRelationship r;
  if (!FastRelation(a, b, r)) return RdaExprThreeWay(ToVariant(a), ToVariant(b));
  return r == vrEqual ? 0 : (r == vrGreaterThan ? 1 : -1);
}

// The value type's own comparison (MIN, MAX): its errors pass.
TVariantRelationship Relation(const Value& a, const Value& b) {
  const bool clearA = Clear(a.type);
  const bool clearB = Clear(b.type);
  if (clearA || clearB) return clearA && clearB ? vrEqual : (clearA ? vrLessThan : vrGreaterThan);
  TVariantRelationship r;
  if (FastRelation(a, b, r)) return r;
  return VarCompareValue(ToVariant(a), ToVariant(b));
}

bool Blank(const Value& v) { return Clear(v.type) || (v.type == VarType::String && v.s.empty()); }

int64_t ToInt64(const Value& v) {
  if (IsInt(v.type)) return IntValue(v);
  return ToVariant(v).ToInt64();
}

TDateTime ToDateTime(const Value& v) {
  if (IsReal(v.type)) return v.d;
  return ToVariant(v).ToDateTime();
}

// A data field read from a row image, as its field object would give it
// (the codes PlaceField lets through); false for null.
template <typename Ref>
bool ReadStored(const Ref& ref, const char* record, Value& v) {
  if ((record[ref.nullByte] & ref.nullMask) == 0) {
    SetNull(v);
    return false;
  }
  const char* p = record + ref.offset;
  switch (ref.code) {
    case ftSmallint: v.type = VarType::SmallInt; v.i = static_cast<int16_t>(LoadU16LE(p)); break;
    case ftWord: v.type = VarType::Word; v.u = LoadU16LE(p); break;
    case ftInteger:
    case ftAutoInc: v.type = VarType::Integer; v.i = LoadI32LE(p); break;
    case ftLargeint: v.type = VarType::Int64; v.i = static_cast<int64_t>(LoadU64LE(p)); break;
    case ftBoolean: SetBool(v, LoadU16LE(p) != 0); break;
    case ftFloat: v.type = VarType::Double; v.d = RdaLoadDouble(p); break;
    case ftBCD: v.type = VarType::Currency; v.i = static_cast<int64_t>(LoadU64LE(p)); break;
    case ftDate:
    case ftTime:
    case ftDateTime:
      // A zero date-time reads as the zero date (as the dataset reads it).
      v.type = VarType::Date;
      v.d = ref.code == ftDateTime && LoadU64LE(p) == 0 ? 0.0 : RdaLoadDateTime(ref.code, p);
      break;
    default: SetText(v, RdaLoadText(p, static_cast<size_t>(ref.size))); break;
  }
  return true;
}

// A zero-padded stored text (size bytes, no terminator when full) against a
// text without zeros, as the value type orders texts: by their bytes, a
// prefix first; without looking for the text's end first.
inline int CompareStoredText(const char* p, int32_t size, std::string_view k) {
  const size_t n = std::min(k.size(), static_cast<size_t>(size));
  const int c = n == 0 ? 0 : std::memcmp(p, k.data(), n);
  if (c != 0) return c < 0 ? -1 : 1;  // a zero byte (the text's end) sorts first
  if (k.size() > static_cast<size_t>(size)) return -1;
  return k.size() == static_cast<size_t>(size) || p[k.size()] == 0 ? 0 : 1;
}

// A stored float, date, time or 32-bit integer as a double.
inline double ReadReal(uint8_t code, const char* p) {
  switch (code) {
    case ftFloat: return RdaLoadDouble(p);
    case ftSmallint: return static_cast<int16_t>(LoadU16LE(p));
    case ftWord: return LoadU16LE(p);
    case ftInteger:
    case ftAutoInc: return LoadI32LE(p);
    case ftDateTime:
      if (LoadU64LE(p) == 0) return 0.0;
      [[fallthrough]];
    default: return RdaLoadDateTime(code, p);
  }
}

inline int CompareReal(double x, double y) {
  if (std::isnan(x) || std::isnan(y)) return -1;
  return x < y ? -1 : (y < x ? 1 : 0);
}

double CheckedDouble(double r, double x, double y) {
  if (!std::isfinite(r) && std::isfinite(x) && std::isfinite(y)) throw EOverflow("Floating point overflow");
  return r;
}

}  // namespace

// ---------------------------------------------------------------------------
// Compiling

TRdaExprProgram::TRdaExprProgram(TRdaExpressionTreeReader& reference)
    : reference_(reference), dataSet_(reference.DataSet()) {
  reference_.Prepare();
  tree_ = reference_.Tree();
  Emit(0, 0);
  stack_.resize(static_cast<size_t>(std::max(depth_, 1)));
  text_.resize(code_.size());
  text2_.resize(code_.size());
  boxes_.resize(code_.size());
  constantValues_.resize(constants_.size());
  for (size_t k = 0; k < constants_.size(); ++k) View(constants_[k], constantValues_[k]);
}

void TRdaExprProgram::Push(Op op, int32_t arg, uint8_t aux, uint16_t extra) {
  code_.push_back(Instr{op, aux, extra, arg});
}

// A text field against a text constant: bytes. A float, date, time or
// 32-bit integer field against a constant that a double holds exactly: as
// doubles (the value type compares these as long doubles, with the same
// result).
TRdaExprProgram::Instr::Mode TRdaExprProgram::CompareMode(const FieldRef& ref, const Variant& k, double& real) {
  if (ref.code == 0) return Instr::kAny;
  if (ref.kind == FieldRef::kText) return k.Type() == VarType::String ? Instr::kTextBytes : Instr::kAny;
  const bool realField = ref.code == ftFloat || ref.code == ftDate || ref.code == ftTime || ref.code == ftDateTime ||
                         ref.code == ftSmallint || ref.code == ftWord || ref.code == ftInteger || ref.code == ftAutoInc;
  if (!realField) return Instr::kAny;
  switch (k.Type()) {
    case VarType::SmallInt:
    case VarType::Integer:
    case VarType::Word:
    case VarType::Byte:
    case VarType::ShortInt:
    case VarType::LongWord:
      real = static_cast<double>(k.ToInt64());
      return Instr::kReal;
    case VarType::Double:
      real = k.ToDouble();
      return Instr::kReal;
    case VarType::Date:
      real = k.ToDateTime();
      return Instr::kReal;
    default:
      return Instr::kAny;
  }
}

void TRdaExprProgram::Raise(std::string message) {
  messages_.push_back(std::move(message));
  Push(kRaise, static_cast<int32_t>(messages_.size() - 1));
}

int32_t TRdaExprProgram::FieldIndex(uint16_t node) {
  TField* field = nullptr;
  try {
    field = &RdaExprFieldOf(dataSet_, tree_, node);
  } catch (const EDatabaseError&) {
    return -1;  // the run looks it up, and raises as the walker does
  }
  FieldRef ref{field, FieldRef::kGeneric, VarType::Empty};
  const TFieldType type = field->DataType();
  if (dynamic_cast<const TStringField*>(field) && (type == ftString || type == ftFixedChar || type == ftGuid)) {
    ref.kind = FieldRef::kText;
  } else if (dynamic_cast<const TIntegerField*>(field)) {
    ref.kind = FieldRef::kInteger;
    ref.type = type == ftSmallint ? VarType::SmallInt : (type == ftWord ? VarType::Word : VarType::Integer);
  } else if (dynamic_cast<const TLargeintField*>(field)) {
    ref.kind = FieldRef::kLarge;
  } else if (dynamic_cast<const TCurrencyField*>(field) || dynamic_cast<const TBCDField*>(field)) {
    ref.kind = FieldRef::kCurrency;
  } else if (dynamic_cast<const TFloatField*>(field) && type == ftFloat) {
    ref.kind = FieldRef::kFloat;
  } else if (dynamic_cast<const TDateTimeField*>(field)) {
    ref.kind = FieldRef::kDateTime;
  } else if (dynamic_cast<const TBooleanField*>(field)) {
    ref.kind = FieldRef::kBoolean;
  }
  PlaceField(ref);
  fields_.push_back(ref);
  return static_cast<int32_t>(fields_.size() - 1);
}

// The row layout is fixed while the dataset is open, which is when its
// expressions are compiled.
void TRdaExprProgram::PlaceField(FieldRef& ref) {
  const auto* dataSet = dynamic_cast<const TRdaCustomDataSet*>(&dataSet_);
  const TField& field = *ref.field;
  if (!dataSet || !dataSet->Store() || field.FieldKind() != fkData || field.FieldNo() < 1 ||
      field.FieldNo() > dataSet->Store()->FieldList().Count() || ref.kind == FieldRef::kGeneric) {
    return;
  }
  const int i = field.FieldNo() - 1;
  const TRdaFieldItem& item = dataSet->Store()->FieldList().Items(i);
  const uint8_t code = item.DataType() & 0x7F;
  if (code != field.DataType() || code == ftCurrency) return;  // a currency rounds through its field
  if (ref.kind == FieldRef::kText && item.DataSize() != field.Size()) return;
  ref.code = code;
  ref.offset = item.Offset();
  ref.size = item.DataSize();
  ref.nullByte = dataSet->Store()->NullFlagsOffset() + i / 8;
  ref.nullMask = static_cast<uint8_t>(1u << (i % 8));
}

void TRdaExprProgram::Emit(uint16_t node, int depth) {
  if (depth > kWalkLimit) throw EDatabaseError("Invalid expression tree: its links loop");
  const uint32_t cls = tree_.NodeClass(node);
  const uint32_t op = tree_.Operator(node);
  switch (cls) {
    case ncField: {
      const int32_t field = FieldIndex(node);
      if (field < 0) {
        Push(kFieldLookup, node);
      } else {
        Push(kField, field);
      }
      Grow(1);
      return;
    }
    case ncConst:
      constants_.push_back(RdaExprConstant(tree_, node));
      Push(kConst, static_cast<int32_t>(constants_.size() - 1));
      Grow(1);
      return;
    case ncUnary:
      Emit(tree_.Field(node, 0), depth + 1);
      switch (op) {
        case coIsBlank: Push(kIsBlank); return;
        case coNotBlank: Push(kNotBlank); return;
        case coNot: Push(kNot); return;
        case coMinus: Push(kNeg); return;
        default: Raise(kRdaExprMissingUnary + std::to_string(op)); return;
      }
    case ncBinary: {
      if (op == coAssign) {
        const uint16_t target = tree_.Field(node, 1);
        if (tree_.NodeClass(target) != ncField) {
          Raise(kRdaExprExpectingField);
          Grow(1);
          return;
        }
        Emit(tree_.Field(node, 0), depth + 1);
        // A target that was missing is looked up (and its absence raised)
        // after the value, as the walker does.
        Push(kAssign, FieldIndex(target), 0, target);
        return;
      }
      if (Fused(node, op)) return;
      Emit(tree_.Field(node, 0), depth + 1);
      if (op == coIn) {
        EmitIn(tree_.Field(node, 1), depth + 1);
        return;
      }
      size_t skip = code_.size();
      if ((op == coAnd || op == coOr) && Pure(tree_.Field(node, 1), depth + 1)) {
        Push(kSkipIf, 0, op == coOr ? 1 : 0);
      } else {
        skip = SIZE_MAX;
      }
      Emit(tree_.Field(node, 1), depth + 1);
      Grow(-1);
      if (skip != SIZE_MAX) code_[skip].arg = static_cast<int32_t>(code_.size() + 1);
      switch (op) {
        case coEQ:
        case coNE:
        case coGT:
        case coLT:
        case coGE:
        case coLE:
          Push(kCompare, 0, static_cast<uint8_t>(op));
          return;
        case coAnd: Push(kAnd); return;
        case coOr: Push(kOr); return;
        case coAdd:
        case coSub:
        case coMul:
        case coDiv:
        case coIntDiv:
        case coMod:
          Push(kArith, 0, static_cast<uint8_t>(op));
          return;
        case coMin: Push(kMin); return;
        case coMax: Push(kMax); return;
        case coLike: Push(kLike); return;
        default: Raise(kRdaExprMissingBinary + std::to_string(op)); return;
      }
    }
    case ncCompare: {
      const bool caseInsensitive = tree_.Field(node, 0) != 0;
      const uint16_t partial = tree_.Field(node, 1);
      Emit(tree_.Field(node, 2), depth + 1);
      Emit(tree_.Field(node, 3), depth + 1);
      Grow(-1);
      switch (op) {
        case coEQ:
        case coNE:
          Push(kTextEqual, caseInsensitive, static_cast<uint8_t>(op), partial);
          return;
        case coLike:
          Push(kTextLike, caseInsensitive);
          return;
        default:
          Raise(kRdaExprMissingCompare + std::to_string(op));
          return;
      }
    }
    case ncFunc: {
      if (op != coFunc) {
        Raise(kRdaExprMissingFunction + std::to_string(op));
        Grow(1);
        return;
      }
      const std::string name = UpperAscii(tree_.Name(tree_.Field(node, 0)));
      int count = 0;
      uint16_t element = tree_.Field(node, 1);
      for (size_t steps = 0; element != 0; ++steps, ++count) {
        if (steps > tree_.NodeCount()) throw EDatabaseError("Invalid expression tree: its links loop");
        if (tree_.NodeClass(element) != ncListElem) {
          Emit(element, depth + 1);
          ++count;
          break;
        }
        Emit(tree_.Field(element, 0), depth + 1);
        element = tree_.Field(element, 1);
      }
      const TRdaExprFunction function = RdaExprFunctionByName(name);
      if (function == efUnknown) {
        Raise(kRdaExprUnknownFunction + name);
        return;
      }
      Push(kFunc, 0, function, static_cast<uint16_t>(count));
      Grow(1 - count);
      return;
    }
    default:
      Raise(kRdaExprMissingNodeType + std::to_string(cls));
      Grow(1);
      return;
  }
}

// Whether a subtree becomes fused comparisons of fields read from the row
// image, joined by AND and OR, none of which can raise.
bool TRdaExprProgram::Pure(uint16_t node, int depth) {
  if (depth > kWalkLimit || tree_.NodeClass(node) != ncBinary) return false;
  const uint32_t op = tree_.Operator(node);
  if (op == coAnd || op == coOr) return Pure(tree_.Field(node, 0), depth + 1) && Pure(tree_.Field(node, 1), depth + 1);
  const uint16_t left = tree_.Field(node, 0);
  const uint16_t right = tree_.Field(node, 1);
  if (tree_.NodeClass(left) != ncField || tree_.NodeClass(right) != ncConst) return false;
  const bool comparison = op == coEQ || op == coNE || op == coGT || op == coLT || op == coGE || op == coLE;
  if (!comparison && op != coLike) return false;
  const int32_t field = FieldIndex(left);
  if (field < 0) return false;
  const FieldRef& ref = fields_[static_cast<size_t>(field)];
  const Variant k = RdaExprConstant(tree_, right);
  if (op == coLike) return ref.code != 0 && ref.kind == FieldRef::kText && k.Type() == VarType::String;
  double real;
  switch (CompareMode(ref, k, real)) {
    case Instr::kTextBytes: return true;
    case Instr::kReal: return ref.code != ftDate && ref.code != ftTime && ref.code != ftDateTime;  // those may raise
    default: return false;
  }
}

// A field compared with (or LIKE) a constant: one instruction.
bool TRdaExprProgram::Fused(uint16_t node, uint32_t op) {
  const bool comparison = op == coEQ || op == coNE || op == coGT || op == coLT || op == coGE || op == coLE;
  const uint16_t left = tree_.Field(node, 0);
  const uint16_t right = tree_.Field(node, 1);
  if ((!comparison && op != coLike) || tree_.NodeClass(left) != ncField || tree_.NodeClass(right) != ncConst) {
    return false;
  }
  const int32_t field = FieldIndex(left);
  if (field < 0) return false;
  constants_.push_back(RdaExprConstant(tree_, right));
  const auto constant = static_cast<uint16_t>(constants_.size() - 1);
  if (comparison) {
    Push(kFieldCompare, field, static_cast<uint8_t>(op), constant);
    code_.back().mode = CompareMode(fields_[static_cast<size_t>(field)], constants_.back(), code_.back().real);
  } else {
    // "prefix%" (any number of "%"): the length of the prefix.
    uint8_t prefix = 0;
    if (constants_.back().Type() == VarType::String) {
      const std::string& pattern = constants_.back().ToBytes();
      const size_t wild = pattern.find_first_of("%_");
      if (wild != std::string::npos && wild > 0 && wild <= 255 &&
          pattern.find_first_not_of('%', wild) == std::string::npos) {
        prefix = static_cast<uint8_t>(wild);
      }
    }
    Push(kFieldLike, field, prefix, constant);
  }
  Grow(1);
  return true;
}

// value is on the stack; each element's value is compared in turn, the
// first equal one jumping to the end.
void TRdaExprProgram::EmitIn(uint16_t element, int depth) {
  std::vector<size_t> jumps;
  for (size_t steps = 0;; ++steps) {
    if (steps > tree_.NodeCount()) throw EDatabaseError("Invalid expression tree: its links loop");
    if (tree_.NodeClass(element) != ncListElem) {
      Emit(element, depth);
      break;
    }
    Emit(tree_.Field(element, 0), depth + 1);
    element = tree_.Field(element, 1);
    if (element == 0) break;
    jumps.push_back(code_.size());
    Push(kInTest);
    Grow(-1);
  }
  Push(kInLast);
  Grow(-1);
  for (size_t at : jumps) code_[at].arg = static_cast<int32_t>(code_.size());
}

// ---------------------------------------------------------------------------
// Running

Variant TRdaExprProgram::Evaluate() {
  if (running_) return reference_.Evaluate();
  running_ = true;
  TScopeGuard done([this] { running_ = false; });
  return ToVariant(Run(nullptr));
}

bool TRdaExprProgram::Accepts(const char* record) {
  if (running_) {
    const Variant v = reference_.Evaluate();
    return !v.IsClear() && v.ToBoolean();
  }
  running_ = true;
  TScopeGuard done([this] { running_ = false; });
  const Value& v = Run(record);
  if (v.type == VarType::Boolean) return v.b;
  if (Clear(v.type)) return false;
  return ToVariant(v).ToBoolean();
}

bool TRdaExprProgram::Fetch(const FieldRef& ref, const char* record, Value& v, size_t pc) {
  if (record && ref.code != 0) return ReadStored(ref, record, v);
  if (ref.field->IsNull()) {
    SetNull(v);
    return false;
  }
  ReadField(ref, *ref.field, v, pc);
  return true;
}

void TRdaExprProgram::Keep(Variant value, Value& out, size_t pc) {
  boxes_[pc] = std::move(value);
  View(boxes_[pc], out);
}

std::string_view TRdaExprProgram::TextOf(const Value& v, std::string& scratch) {
  if (v.type == VarType::String) return v.s;
  if (Clear(v.type)) return {};
  scratch = ToVariant(v).ToString();
  return scratch;
}

void TRdaExprProgram::ReadField(const FieldRef& ref, TField& field, Value& out, size_t pc) {
  switch (ref.kind) {
    case FieldRef::kText:
      SetText(out, static_cast<const TStringField&>(field).AsStringView());
      return;
    case FieldRef::kInteger: {
      const int32_t x = field.AsInteger();
      out.type = ref.type;
      if (ref.type == VarType::Word) {
        out.u = static_cast<uint16_t>(x);
      } else {
        out.i = ref.type == VarType::SmallInt ? static_cast<int16_t>(x) : x;
      }
      return;
    }
    case FieldRef::kLarge:
      out.type = VarType::Int64;
      out.i = field.AsLargeInt();
      return;
    case FieldRef::kFloat:
      out.type = VarType::Double;
      out.d = field.AsFloat();
      return;
    case FieldRef::kCurrency:
      out.type = VarType::Currency;
      out.i = field.AsCurrency().Scaled;
      return;
    case FieldRef::kDateTime:
      out.type = VarType::Date;
      out.d = field.AsDateTime();
      return;
    case FieldRef::kBoolean:
      SetBool(out, field.AsBoolean());
      return;
    case FieldRef::kGeneric:
      Keep(field.Value(), out, pc);
      return;
  }
}

// The value type's own operation, for the pairings without a fast path.
void TRdaExprProgram::Fallback(const Instr& in, Value& a, const Value& b, size_t pc) {
  const Variant x = ToVariant(a);
  const Variant y = ToVariant(b);
  Variant r;
  if (in.op == kAnd) {
    r = VarAnd(x, y);
  } else if (in.op == kOr) {
    r = VarOr(x, y);
  } else {
    switch (in.aux) {
      case coAdd: r = x + y; break;
      case coSub: r = x - y; break;
      case coMul: r = x * y; break;
      case coDiv: r = x / y; break;
      case coIntDiv: r = VarIntDiv(x, y); break;
      default: r = VarMod(x, y); break;
    }
  }
  Keep(std::move(r), a, pc);
}

const TRdaExprValue& TRdaExprProgram::Run(const char* record) {
  enum class Marker : uint8_t { kNone, kNull, kNotNull };
  Marker marker = Marker::kNone;
  size_t sp = 0;
  Value* stack = stack_.data();
  const size_t count = code_.size();
  for (size_t pc = 0; pc < count; ++pc) {
    const Instr& in = code_[pc];
    switch (in.op) {
      case kConst:
        stack[sp++] = constantValues_[static_cast<size_t>(in.arg)];
        marker = Marker::kNone;
        break;
      case kField:
        marker = Fetch(fields_[static_cast<size_t>(in.arg)], record, stack[sp++], pc) ? Marker::kNotNull
                                                                                       : Marker::kNull;
        break;
      case kFieldLookup: {
        TField& field = RdaExprFieldOf(dataSet_, tree_, static_cast<uint16_t>(in.arg));
        Value& v = stack[sp++];
        if (field.IsNull()) {
          SetNull(v);
          marker = Marker::kNull;
        } else {
          marker = Marker::kNotNull;
          Keep(field.Value(), v, pc);
        }
        break;
      }
      case kFieldCompare: {
        const FieldRef& ref = fields_[static_cast<size_t>(in.arg)];
        int c;
        if (record && in.mode != Instr::kAny) {
          c = (record[ref.nullByte] & ref.nullMask) == 0 ? -1
              : in.mode == Instr::kTextBytes         ? CompareStoredText(record + ref.offset, ref.size,
                                                                         constantValues_[in.extra].s)
                                                     : CompareReal(ReadReal(ref.code, record + ref.offset), in.real);
        } else {
          Value v;
          Fetch(ref, record, v, pc);
          c = ThreeWay(v, constantValues_[in.extra]);
        }
        SetBool(stack[sp++], RdaExprCompareHolds(in.aux, c));
        marker = Marker::kNone;  // the constant came last
        break;
      }
      case kFieldLike: {
        const FieldRef& ref = fields_[static_cast<size_t>(in.arg)];
        const Value& pattern = constantValues_[in.extra];
        bool match = false;
        if (in.aux != 0 && record && ref.code != 0 && ref.kind == FieldRef::kText) {
          // The pattern is its literal start and "%": the text begins with it.
          match = (record[ref.nullByte] & ref.nullMask) != 0 && in.aux <= ref.size &&
                  std::memcmp(record + ref.offset, pattern.s.data(), in.aux) == 0;
        } else {
          Value v;
          if (Fetch(ref, record, v, pc) && !Clear(pattern.type)) {
            match = RdaExprLike(TextOf(v, text_[pc]), TextOf(pattern, text2_[pc]), false);
          }
        }
        SetBool(stack[sp++], match);
        marker = Marker::kNone;
        break;
      }
      case kIsBlank:
      case kNotBlank: {
        Value& v = stack[sp - 1];
        bool blank = marker == Marker::kNull || Clear(v.type);
        if (!blank) {
          if (v.type == VarType::String) {
            blank = v.s.empty();
          } else if (!IsInt(v.type) && v.type != VarType::Double && v.type != VarType::Currency &&
                     v.type != VarType::Boolean) {
            blank = ToVariant(v).ToString().empty();  // numbers never read as ''
          }
        }
        SetBool(v, in.op == kIsBlank ? blank : !blank);
        break;
      }
      case kNot: {
        Value& v = stack[sp - 1];
        if (v.type == VarType::Boolean) {
          v.b = !v.b;
        } else if (v.type != VarType::Null) {
          Keep(VarNot(ToVariant(v)), v, pc);
        }
        break;
      }
      case kNeg: {
        Value& v = stack[sp - 1];
        if (v.type == VarType::Double) {
          v.d = -v.d;
        } else if (IsInt(v.type) && !IsUnsigned(v.type)) {
          if (v.i == std::numeric_limits<int64_t>::min()) throw EIntOverflow("Integer overflow");
          SetInt(v, -v.i, Narrow(v.type));
        } else {
          Keep(-ToVariant(v), v, pc);
        }
        break;
      }
      case kCompare: {
        const Value& b = stack[--sp];
        Value& a = stack[sp - 1];
        SetBool(a, RdaExprCompareHolds(in.aux, ThreeWay(a, b)));
        break;
      }
      case kAnd:
      case kOr: {
        const Value& b = stack[--sp];
        Value& a = stack[sp - 1];
        if (a.type == VarType::Boolean && b.type == VarType::Boolean) {
          a.b = in.op == kAnd ? (a.b && b.b) : (a.b || b.b);
        } else {
          Fallback(in, a, b, pc);
        }
        break;
      }
      case kArith: {
        const Value& b = stack[--sp];
        Value& a = stack[sp - 1];
        if (a.type == VarType::Null || b.type == VarType::Null) {
          SetNull(a);
          break;
        }
        const bool additive = in.aux == coAdd || in.aux == coSub || in.aux == coMul;
        if (additive && IsInt(a.type) && IsInt(b.type)) {
          const int64_t x = IntValue(a);
          const int64_t y = IntValue(b);
          int64_t r;
          const bool overflow = in.aux == coAdd   ? __builtin_add_overflow(x, y, &r)
                                : in.aux == coSub ? __builtin_sub_overflow(x, y, &r)
                                                  : __builtin_mul_overflow(x, y, &r);
          if (overflow) throw EIntOverflow("Integer overflow");
          SetInt(a, r, Narrow(a.type) && Narrow(b.type));
        } else if (additive && (a.type == VarType::Double || b.type == VarType::Double) &&
                   (a.type == VarType::Double || IsInt(a.type)) && (b.type == VarType::Double || IsInt(b.type))) {
          const double x = a.type == VarType::Double ? a.d : static_cast<double>(IntValue(a));
          const double y = b.type == VarType::Double ? b.d : static_cast<double>(IntValue(b));
          const double r = in.aux == coAdd ? x + y : (in.aux == coSub ? x - y : x * y);
          a.type = VarType::Double;
          a.d = CheckedDouble(r, x, y);
        } else if (in.aux == coAdd && a.type == VarType::String && b.type == VarType::String) {
          std::string& out = text_[pc];
          out.assign(a.s);
          out.append(b.s);
          SetText(a, out);
        } else {
          Fallback(in, a, b, pc);
        }
        break;
      }
      case kMin:
      case kMax: {
        const Value b = stack[--sp];
        Value& a = stack[sp - 1];
        const TVariantRelationship r = Relation(a, b);
        if (r != (in.op == kMin ? vrLessThan : vrGreaterThan)) a = b;
        break;
      }
      case kLike:
      case kTextLike: {
        const Value& b = stack[--sp];
        Value& a = stack[sp - 1];
        if (Clear(a.type) || Clear(b.type)) {
          SetBool(a, false);
          break;
        }
        const bool caseInsensitive = in.op == kTextLike && in.arg != 0;
        SetBool(a, RdaExprLike(TextOf(a, text_[pc]), TextOf(b, text2_[pc]), caseInsensitive));
        break;
      }
      case kTextEqual: {
        const Value& b = stack[--sp];
        Value& a = stack[sp - 1];
        const bool equal = RdaExprTextEqual(TextOf(a, text_[pc]), TextOf(b, text2_[pc]), in.arg != 0, in.extra);
        SetBool(a, in.aux == coEQ ? equal : !equal);
        break;
      }
      case kInTest: {
        const Value& element = stack[--sp];
        Value& value = stack[sp - 1];
        if (ThreeWay(value, element) == 0) {
          SetBool(value, true);
          pc = static_cast<size_t>(in.arg) - 1;
        }
        break;
      }
      case kInLast: {
        const Value& element = stack[--sp];
        Value& value = stack[sp - 1];
        SetBool(value, ThreeWay(value, element) == 0);
        break;
      }
      case kFunc: {
        const size_t n = in.extra;
        Value* args = stack + (sp - n);
        Function(in, args, pc);
        sp = sp - n + 1;
        if (n == 0) marker = Marker::kNone;
        break;
      }
      case kAssign: {
        Value& v = stack[sp - 1];
        TField& field = in.arg >= 0 ? *fields_[static_cast<size_t>(in.arg)].field
                                    : RdaExprFieldOf(dataSet_, tree_, in.extra);
        Variant value = ToVariant(v);
        RdaExprAssign(field, value);
        Keep(std::move(value), v, pc);
        break;
      }
      case kRaise:
        RdaExprError(messages_[static_cast<size_t>(in.arg)]);
      case kSkipIf: {
        const Value& first = stack[sp - 1];
        if (record && first.type == VarType::Boolean && first.b == (in.aux != 0)) {
          pc = static_cast<size_t>(in.arg) - 1;
          marker = Marker::kNone;  // as the skipped comparisons would leave it
        }
        break;
      }
    }
  }
  return stack[0];
}

// The result goes to args[0] (the slot of a function without arguments is
// the next free one).
void TRdaExprProgram::Function(const Instr& in, Value* args, size_t pc) {
  const size_t n = in.extra;
  static const Value kNull = [] {
    Value v;
    v.type = VarType::Null;
    return v;
  }();
  const auto arg = [&](size_t i) -> const Value& { return i < n ? args[i] : kNull; };
  Value r;
  r.type = VarType::Null;
  const auto function = static_cast<TRdaExprFunction>(in.aux);
  switch (function) {
    case efUpper:
    case efLower:
      if (!Blank(arg(0))) {
        const std::string_view text = TextOf(arg(0), text2_[pc]);
        if (function == efUpper) {
          RdaExprUpper(text, text_[pc]);
        } else {
          RdaExprLower(text, text_[pc]);
        }
        SetText(r, text_[pc]);
      }
      break;
    case efSubstring: {
      if (Blank(arg(0)) || Blank(arg(1))) break;
      int64_t length = -1;
      if (n > 2) {
        if (Blank(arg(2))) break;
        length = ToInt64(arg(2));
        if (length <= 0) break;
      }
      const int64_t start = ToInt64(arg(1));
      const std::string_view part = RdaExprSubstring(TextOf(arg(0), text2_[pc]), start, length);
      if (!part.empty()) SetText(r, part);
      break;
    }
    case efTrim:
    case efTrimLeft:
    case efTrimRight: {
      if (Blank(arg(0))) break;
      std::string_view set = " ";
      if (n > 1) {
        if (Blank(arg(1))) break;
        set = TextOf(arg(1), text_[pc]);
      }
      const std::string_view part =
          RdaExprTrim(TextOf(arg(0), text2_[pc]), set, function != efTrimRight, function != efTrimLeft);
      if (!part.empty()) SetText(r, part);
      break;
    }
    case efYear:
    case efMonth:
    case efDay:
    case efHour:
    case efMinute:
    case efSecond:
      if (!Blank(arg(0))) {
        r.type = VarType::Word;
        r.u = RdaExprDatePart(function, ToDateTime(arg(0)));
      }
      break;
    case efGetDate:
      r.type = VarType::Date;
      r.d = reference_.Today();
      break;
    case efDate:
      if (!Blank(arg(0))) {
        r.type = VarType::Integer;
        r.i = RdaExprDayNumber(ToDateTime(arg(0)));
      }
      break;
    case efTime:
      if (!Blank(arg(0))) {
        const double d = ToDateTime(arg(0));
        r.type = VarType::Double;
        r.d = d - std::trunc(d);
      }
      break;
    case efUnknown:
      break;
  }
  args[0] = r;
}

}  // namespace rda
