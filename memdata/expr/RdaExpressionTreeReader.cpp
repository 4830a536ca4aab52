#include "memdata/expr/RdaExpressionTreeReader.h"

#include <cmath>
#include <vector>

#include "base/Text.h"
#include "memdata/expr/RdaExprParser.h"

namespace rda {

namespace {

// A tree from the parser nests at most kRdaExprMaxDepth deep; a deeper walk
// means links that loop.
constexpr int kWalkLimit = kRdaExprMaxDepth + 16;

[[noreturn]] void Looping() { throw EDatabaseError("Invalid expression tree: its links loop"); }

}  // namespace

TField& RdaExprFieldOf(TDataSet& dataSet, const TRdaExprTree& tree, uint16_t node) {
  const int16_t number = tree.SignedField(node, 0);
  if (number < 0) return dataSet.FieldByName(tree.Name(tree.Field(node, 1)));
  for (const auto& f : dataSet.Fields()) {
    if (f->FieldNo() == number) return *f;
  }
  RdaExprError(kRdaExprFieldNotFound + std::to_string(number));
}

TRdaExpressionTreeReader::TRdaExpressionTreeReader(TDataSet& dataSet, std::string targetField,
                                                   TRdaExpressionKind kind,
                                                   TFilterOptions filterOptions, std::string text)
    : dataSet_(&dataSet),
      targetField_(std::move(targetField)),
      kind_(kind),
      filterOptions_(filterOptions),
      text_(std::move(text)),
      today_(RdaExprLocalToday) {}

void TRdaExpressionTreeReader::Prepare() {
  if (!tree_.Empty()) return;
  TRdaParserOptions options{poExtendedSyntax};
  if (kind_ == ekDefaultExpression) options.Include(poDefaultExpression);
  tree_ = TRdaExprTree(RdaParseExpression(dataSet_, text_, filterOptions_, options, targetField_));
}

Variant TRdaExpressionTreeReader::Evaluate() {
  Prepare();
  return Node(0, 0);
}

Variant TRdaExpressionTreeReader::Node(uint16_t node, int depth) {
  if (depth > kWalkLimit) Looping();
  marker_ = Marker::kNone;
  const uint32_t cls = tree_.NodeClass(node);
  switch (cls) {
    case ncField:
      return FieldValue(node);
    case ncConst:
      return RdaExprConstant(tree_, node);
    case ncUnary:
      return Unary(node, depth);
    case ncBinary:
      return Binary(node, depth);
    case ncCompare:
      return Compare(node, depth);
    case ncFunc:
      return Function(node, depth);
    default:
      RdaExprError(kRdaExprMissingNodeType + std::to_string(cls));
  }
}

Variant TRdaExpressionTreeReader::FieldValue(uint16_t node) {
  TField& field = RdaExprFieldOf(*dataSet_, tree_, node);
  const bool isNull = field.IsNull();
  marker_ = isNull ? Marker::kNull : Marker::kNotNull;
  return isNull ? Variant::Null() : field.Value();
}

Variant TRdaExpressionTreeReader::Unary(uint16_t node, int depth) {
  const uint32_t op = tree_.Operator(node);
  const Variant v = Node(tree_.Field(node, 0), depth + 1);
  switch (op) {
    case coIsBlank:
    case coNotBlank: {
      const bool blank = marker_ == Marker::kNull || v.ToString().empty();
      return Variant(op == coIsBlank ? blank : !blank);
    }
    case coNot:
      return VarNot(v);
    case coMinus:
      return -v;
    default:
      RdaExprError(kRdaExprMissingUnary + std::to_string(op));
  }
}

Variant TRdaExpressionTreeReader::Binary(uint16_t node, int depth) {
  const uint32_t op = tree_.Operator(node);
  if (op == coAssign) return Assign(node, depth);
  const Variant a = Node(tree_.Field(node, 0), depth + 1);
  if (op == coIn) return In(a, tree_.Field(node, 1), depth + 1);
  const Variant b = Node(tree_.Field(node, 1), depth + 1);
  switch (op) {
    case coEQ:
    case coNE:
    case coGT:
    case coLT:
    case coGE:
    case coLE:
      return Variant(RdaExprCompareHolds(op, RdaExprThreeWay(a, b)));
    case coAnd: return VarAnd(a, b);
    case coOr: return VarOr(a, b);
    case coAdd: return a + b;
    case coSub: return a - b;
    case coMul: return a * b;
    case coDiv: return a / b;
    case coIntDiv: return VarIntDiv(a, b);
    case coMod: return VarMod(a, b);
    case coMin: return VarCompareValue(a, b) == vrLessThan ? a : b;
    case coMax: return VarCompareValue(a, b) == vrGreaterThan ? a : b;
    case coLike:
      if (a.IsClear() || b.IsClear()) return Variant(false);
      return Variant(RdaExprLike(a.ToString(), b.ToString(), false));
    default:
      RdaExprError(kRdaExprMissingBinary + std::to_string(op));
  }
}

// The elements of the list are evaluated one by one until one equals value.
Variant TRdaExpressionTreeReader::In(const Variant& value, uint16_t element, int depth) {
  for (size_t steps = 0;; ++steps) {
    if (steps > tree_.NodeCount()) Looping();
    if (tree_.NodeClass(element) != ncListElem) {
      return Variant(RdaExprThreeWay(value, Node(element, depth)) == 0);
    }
    if (RdaExprThreeWay(value, Node(tree_.Field(element, 0), depth + 1)) == 0) return Variant(true);
    element = tree_.Field(element, 1);
    if (element == 0) return Variant(false);
  }
}

Variant TRdaExpressionTreeReader::Assign(uint16_t node, int depth) {
  const uint16_t target = tree_.Field(node, 1);
  if (tree_.NodeClass(target) != ncField) RdaExprError(kRdaExprExpectingField);
  Variant v = Node(tree_.Field(node, 0), depth + 1);
  RdaExprAssign(RdaExprFieldOf(*dataSet_, tree_, target), v);
  return v;
}

Variant TRdaExpressionTreeReader::Compare(uint16_t node, int depth) {
  const uint32_t op = tree_.Operator(node);
  const bool caseInsensitive = tree_.Field(node, 0) != 0;
  const uint16_t partial = tree_.Field(node, 1);
  const Variant a = Node(tree_.Field(node, 2), depth + 1);
  const Variant b = Node(tree_.Field(node, 3), depth + 1);
  switch (op) {
    case coEQ:
    case coNE: {
      const bool equal = RdaExprTextEqual(a.ToString(), b.ToString(), caseInsensitive, partial);
      return Variant(op == coEQ ? equal : !equal);
    }
    case coLike:
      if (a.IsClear() || b.IsClear()) return Variant(false);
      return Variant(RdaExprLike(a.ToString(), b.ToString(), caseInsensitive));
    default:
      RdaExprError(kRdaExprMissingCompare + std::to_string(op));
  }
}

Variant TRdaExpressionTreeReader::Function(uint16_t node, int depth) {
  const uint32_t op = tree_.Operator(node);
  if (op != coFunc) RdaExprError(kRdaExprMissingFunction + std::to_string(op));
  const std::string name = UpperAscii(tree_.Name(tree_.Field(node, 0)));
  std::vector<Variant> args;
  uint16_t element = tree_.Field(node, 1);
  for (size_t steps = 0; element != 0; ++steps) {
    if (steps > tree_.NodeCount()) Looping();
    if (tree_.NodeClass(element) != ncListElem) {
      args.push_back(Node(element, depth + 1));
      break;
    }
    args.push_back(Node(tree_.Field(element, 0), depth + 1));
    element = tree_.Field(element, 1);
  }
  static const Variant kNull = Variant::Null();
  const auto arg = [&](size_t i) -> const Variant& { return i < args.size() ? args[i] : kNull; };
  const TRdaExprFunction function = RdaExprFunctionByName(name);
  switch (function) {
    case efUpper:
    case efLower: {
      if (RdaExprBlank(arg(0))) return Variant::Null();
      std::string out;
      if (function == efUpper) {
        RdaExprUpper(arg(0).ToString(), out);
      } else {
        RdaExprLower(arg(0).ToString(), out);
      }
      return Variant(std::move(out));
    }
    case efSubstring: {
      if (RdaExprBlank(arg(0)) || RdaExprBlank(arg(1))) return Variant::Null();
      int64_t length = -1;
      if (args.size() > 2) {
        if (RdaExprBlank(arg(2))) return Variant::Null();
        length = arg(2).ToInt64();
        if (length <= 0) return Variant::Null();
      }
      const int64_t start = arg(1).ToInt64();
      const std::string text = arg(0).ToString();
      const std::string_view part = RdaExprSubstring(text, start, length);
      return part.empty() ? Variant::Null() : Variant(part);
    }
    case efTrim:
    case efTrimLeft:
    case efTrimRight: {
      if (RdaExprBlank(arg(0))) return Variant::Null();
      std::string set = " ";
      if (args.size() > 1) {
        if (RdaExprBlank(arg(1))) return Variant::Null();
        set = arg(1).ToString();
      }
      const std::string text = arg(0).ToString();
      const std::string_view part =
          RdaExprTrim(text, set, function != efTrimRight, function != efTrimLeft);
      return part.empty() ? Variant::Null() : Variant(part);
    }
    case efYear:
    case efMonth:
    case efDay:
    case efHour:
    case efMinute:
    case efSecond:
      if (RdaExprBlank(arg(0))) return Variant::Null();
      return Variant(RdaExprDatePart(function, arg(0).ToDateTime()));
    case efGetDate:
      return Variant::FromDate(today_());
    case efDate:
      if (RdaExprBlank(arg(0))) return Variant::Null();
      return Variant(RdaExprDayNumber(arg(0).ToDateTime()));
    case efTime: {
      if (RdaExprBlank(arg(0))) return Variant::Null();
      const double d = arg(0).ToDateTime();
      return Variant(d - std::trunc(d));
    }
    case efUnknown:
      break;
  }
  RdaExprError(kRdaExprUnknownFunction + name);
}

}  // namespace rda
