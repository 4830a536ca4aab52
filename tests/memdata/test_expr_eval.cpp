// What expressions evaluate to, every case through the tree walker and the
// compiled form (which must agree on the value and its kind, or on the
// error): the null rules, operators, functions, patterns, errors, and the
// layouts the parser never writes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/memdata/ExprTestUtil.h"

namespace rda {
namespace {

using test::Eval;
using test::EvalTree;
using test::Kinds;
using test::SameValue;
using test::TreeBytes;

struct Case {
  const char* text;
  Variant expected;
  TFilterOptions options = {};
};

// Each case through both forms; a Boolean one also as the filter of the
// dataset's one row, where the compiled form reads the row image itself.
void ExpectCases(TRdaCustomDataSet& ds, const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    const test::Outcome out = Eval(ds, c.text, c.options);
    EXPECT_EQ(out.error, "") << c.text;
    EXPECT_TRUE(SameValue(out.value, c.expected))
        << c.text << ": got " << VarTypeName(out.value.Type()) << " " << out.value.ToString() << ", expected "
        << VarTypeName(c.expected.Type()) << " " << c.expected.ToString();
    if (c.expected.Type() != VarType::Boolean || ds.RecordCount() != 1) continue;
    ds.SetFilterOptions(c.options);
    ds.SetFilter(c.text);
    ds.SetFiltered(true);
    ds.First();
    EXPECT_EQ(!ds.IsEmpty(), c.expected.ToBoolean()) << "as a filter: " << c.text;
    ds.SetFiltered(false);
    ds.SetFilter("");
  }
}

Variant DateValue(double d) { return Variant::FromDate(d); }

// Id 2, Name Ada, Amount 2.5, Qty 3, Big 10, Price 1.25, Cost 3.5,
// Born 2004-01-01, At 2004-01-01 18:00, T 06:00, Flag true, W 7, Wide "Wide".
std::unique_ptr<TRdaDataSet> OneFullRow() {
  auto ds = Kinds();
  ds->Append();
  ds->FieldByName("Id").SetAsInteger(2);
  ds->FieldByName("Name").SetAsString("Ada");
  ds->FieldByName("Amount").SetAsFloat(2.5);
  ds->FieldByName("Qty").SetAsInteger(3);
  ds->FieldByName("Big").SetAsLargeInt(10);
  ds->FieldByName("Price").SetAsCurrency(Currency::FromScaled(12500));
  ds->FieldByName("Cost").SetAsCurrency(Currency::FromScaled(35000));
  ds->FieldByName("Born").SetAsDateTime(EncodeDate(2004, 1, 1));
  ds->FieldByName("At").SetAsDateTime(EncodeDate(2004, 1, 1) + 0.75);
  ds->FieldByName("T").SetAsDateTime(0.25);
  ds->FieldByName("Flag").SetAsBoolean(true);
  ds->FieldByName("W").SetAsInteger(7);
  ds->FieldByName("Wide").SetAsString("Wide");
  ds->Post();
  return ds;
}

TEST(ExprEval, NullsCompareLowAndReadAsEmptyTextOnlyInCompareNodes) {
  auto ds = Kinds();
  ds->AppendRecord({Variant(1)});  // every other field null
  const TFilterOptions ci{foCaseInsensitive};
  ExpectCases(*ds, {
                       {"Amount = 1", Variant(false)},
                       {"Amount <> 1", Variant(true)},
                       {"Amount < 1", Variant(true)},
                       {"Amount <= 1", Variant(true)},
                       {"Amount > 1", Variant(false)},
                       {"Amount >= 1", Variant(false)},
                       {"1 < Amount", Variant(true)},
                       {"1 > Amount", Variant(false)},
                       {"Amount = Qty", Variant(true)},  // both null
                       {"Amount IS NULL", Variant(true)},
                       {"Amount IS NOT NULL", Variant(false)},
                       {"Amount = NULL", Variant(true)},
                       {"Name = ''", Variant(false)},
                       {"Name = ''", Variant(true), ci},  // a compare node reads null as ''
                       {"Name <> ''", Variant(true)},
                       {"Name LIKE '%'", Variant(false)},
                       {"Amount IN (1, 2)", Variant(false)},
                       {"Amount + 1", Variant::Null()},
                       {"Amount + 1 > 0", Variant(false)},
                       {"UPPER(Name)", Variant::Null()},
                       {"UPPER(Name) IS NULL", Variant(true)},
                       {"Flag AND TRUE", Variant::Null()},
                       {"NOT (Amount > 1)", Variant(true)},
                       {"MIN(Amount, 1)", Variant::Null()},
                   });
}

TEST(ExprEval, IsNullIsTrueForAnEmptyText) {
  auto ds = Kinds();
  ds->AppendRecord({Variant(1), Variant("")});
  ExpectCases(*ds, {{"Name IS NULL", Variant(true)}, {"Name = ''", Variant(true)}, {"Name LIKE '%'", Variant(true)}});
}

TEST(ExprEval, OperatorsKeepTheValueTypesKinds) {
  auto ds = OneFullRow();
  ExpectCases(*ds, {
                       {"Id + 1", Variant(int32_t{3})},
                       {"Qty * 2", Variant(int32_t{6})},
                       {"W + 1", Variant(int32_t{8})},
                       {"Big + 1", Variant(int64_t{11})},
                       {"Amount * 2", Variant(5.0)},
                       {"Amount / 2", Variant(1.25)},
                       {"Id / 2", Variant(1.0)},
                       {"Amount - Id", Variant(0.5)},
                       {"7 DIV 2", Variant(int32_t{3})},
                       {"-7 MOD 3", Variant(int32_t{-1})},
                       {"Price * 2", Variant(Currency::FromScaled(25000))},
                       {"Cost + 1", Variant(Currency::FromScaled(45000))},
                       {"Born + 1", DateValue(37988)},
                       {"'a' + 'b'", Variant("ab")},
                       {"Name + '!'", Variant("Ada!")},
                       {"2147483647 + 1", Variant(int64_t{2147483648})},
                       {"NOT Flag", Variant(false)},
                       {"NOT 5", Variant(int32_t{-6})},
                       {"-Amount", Variant(-2.5)},
                       {"-Qty", Variant(int32_t{-3})},
                       {"MIN(Id, 1)", Variant(int32_t{1})},
                       {"MAX(Amount, Id)", Variant(2.5)},
                       {"MIN('b', 'a')", Variant("a")},
                       {"Id > 1 AND Name = 'Ada'", Variant(true)},
                       {"TRUE OR FALSE", Variant(true)},
                       {"Id AND 3", Variant(int32_t{2})},
                       {"Id IN (1, 2, 3)", Variant(true)},
                       {"Name IN ('x', 'y')", Variant(false)},
                       {"Name NOT IN ('x', 'y')", Variant(true)},
                       {"Amount = 5 / 2", Variant(true)},
                       {"Born = DATE '2004-01-01'", Variant(true)},
                       {"At > TIMESTAMP '2004-01-01 12:00'", Variant(true)},
                       {"T = TIME '06:00'", Variant(true)},
                       {"TIMESTAMP '2004-01-01 00:00'", DateValue(37987.0)},
                       {"Wide = 'Wide'", Variant(true)},
                       {"Flag = TRUE", Variant(true)},
                       {"Id IS NOT NULL", Variant(true)},
                       {"'10' > 9", Variant(true)},  // the text read as a number
                       {"'abc' > 9", Variant(false)},  // no comparison: -1
                       {"'abc' < 9", Variant(true)},
                   });
}

TEST(ExprEval, FunctionsFollowTheirTable) {
  auto ds = OneFullRow();
  ExpectCases(*ds, {
                       {"UPPER(Name)", Variant("ADA")},
                       {"LOWER(Name)", Variant("ada")},
                       {"LOWER('ABC')", Variant("abc")},
                       {"UPPER('\xe9t\xe9')", Variant("\xc9T\xc9")},  // Windows-1252 letters
                       {"UPPER('')", Variant::Null()},
                       {"SUBSTRING('ABCDEF', -2)", Variant("EF")},
                       {"SUBSTRING('ABCDEF', -2, 0)", Variant::Null()},
                       {"SUBSTRING('ABCDEF', -2, 1)", Variant("E")},
                       {"SUBSTRING('ABCDEF', 2, 3)", Variant("BCD")},
                       {"SUBSTRING('ABCDEF', 0, 2)", Variant("AB")},
                       {"SUBSTRING('ABCDEF', 5, 10)", Variant("EF")},
                       {"SUBSTRING('ABCDEF', 9)", Variant::Null()},
                       {"SUBSTRING('ABCDEF', '')", Variant::Null()},
                       {"SUBSTRING(Name, 2)", Variant("da")},
                       {"SUBSTRING(12345, 2, 2)", Variant("23")},
                       {"TRIM('xxAxx', 'x')", Variant("A")},
                       {"TRIM('xxx', 'x')", Variant::Null()},
                       {"TRIMLEFT('  a  ')", Variant("a  ")},
                       {"TRIMRIGHT('  a  ')", Variant("  a")},
                       {"TRIM('  ')", Variant::Null()},
                       {"TRIM('a', '')", Variant::Null()},
                       {"YEAR(Born)", Variant(uint16_t{2004})},
                       {"MONTH(At)", Variant(uint16_t{1})},
                       {"DAY(Born)", Variant(uint16_t{1})},
                       {"HOUR(At)", Variant(uint16_t{18})},
                       {"MINUTE(T)", Variant(uint16_t{0})},
                       {"HOUR(T)", Variant(uint16_t{6})},
                       {"SECOND(At)", Variant(uint16_t{0})},
                       {"YEAR(Amount)", Variant(uint16_t{1900})},  // a number is a date-time
                       {"YEAR('')", Variant::Null()},
                       {"DATE(At)", Variant(int32_t{37987})},
                       {"TIME(At)", Variant(0.75)},
                       {"DATE(-1.5)", Variant(int32_t{-1})},
                   });
}

TEST(ExprEval, GetDateIsTodayAtMidnightFromTheClockGiven) {
  auto ds = OneFullRow();
  TRdaExpression expr(*ds, "GETDATE()", ekFilter, {}, {});
  expr.SetToday([] { return EncodeDate(2021, 6, 30); });
  const test::Outcome out = test::EvaluateBoth(expr.Reference(), expr.Program(), "GETDATE()");
  EXPECT_TRUE(SameValue(out.value, DateValue(EncodeDate(2021, 6, 30))));
  // The local clock's today has no time of day.
  EXPECT_TRUE(SameValue(Eval(*ds, "TIME(GETDATE())").value, Variant(0.0)));
}

TEST(ExprEval, PatternsMatchWithoutEscapes) {
  auto ds = OneFullRow();
  const TFilterOptions ci{foCaseInsensitive};
  ExpectCases(*ds, {
                       {"'' LIKE '%'", Variant(true)},
                       {"'' LIKE '%%'", Variant(false)},
                       {"'' LIKE ''", Variant(false)},
                       {"'a' LIKE ''", Variant(false)},
                       {"'ABC' LIKE 'A_C'", Variant(true)},
                       {"'ABBC' LIKE 'A_C'", Variant(false)},
                       {"'AC' LIKE 'A%C'", Variant(true)},
                       {"'ABBBC' LIKE 'A%C'", Variant(true)},
                       {"'A' LIKE 'A%'", Variant(true)},
                       {"'ABCBC' LIKE '%BC'", Variant(true)},
                       {"'ABCB' LIKE '%BC'", Variant(false)},
                       {"'AXBC' LIKE '%X_X%'", Variant(false)},
                       {"'AXBXC' LIKE '%X_XC'", Variant(true)},
                       {"'a%b' LIKE 'a\\%b'", Variant(false)},  // no escape character
                       {"'abc' LIKE 'A%'", Variant(false)},
                       {"'abc' LIKE 'A%'", Variant(true), ci},
                       {"Name LIKE 'a_A'", Variant(true), ci},
                       {"12 LIKE '1%'", Variant(true)},
                   });
}

TEST(ExprEval, FilterOptionsMakeCompareNodes) {
  auto ds = OneFullRow();
  const TFilterOptions ci{foCaseInsensitive};
  const TFilterOptions literal{foNoPartialCompare};
  ExpectCases(*ds, {
                       {"Name = 'ADA'", Variant(false)},
                       {"Name = 'ADA'", Variant(true), ci},
                       {"Name <> 'ADA'", Variant(false), ci},
                       {"Name = 'Ad*'", Variant(true)},
                       {"Name = 'ad*'", Variant(true), ci},
                       {"Name <> 'Ad*'", Variant(false)},
                       {"Name = 'Ad*'", Variant(false), literal},
                       {"'Ad*' = Name", Variant(true)},
                       {"Name = '*'", Variant(false)},  // nothing before the *: compared as it is
                       {"Id = '2'", Variant(true), ci},  // compared as texts
                   });
}

TEST(ExprEval, ValueTypeErrorsPassUnchanged) {
  auto ds = OneFullRow();
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"'x' + 1", "Could not convert variant of type (String) into type (Double)"},
      {"Name + 1", "Could not convert variant of type (String) into type (Double)"},
      {"1 / 0", "Floating point division by zero"},
      {"0 / 0", "Invalid floating point operation"},
      {"1 DIV 0", "Division by zero"},
      {"9223372036854775807 + 1", "Integer overflow"},
      {"YEAR('abc')", "Could not convert variant of type (String) into type (Date)"},
      {"MIN('abc', 1)", "Could not convert variant of type (String) into type (Double)"},
  };
  for (const auto& [text, error] : cases) EXPECT_EQ(Eval(*ds, text).error, error) << text;
}

TEST(ExprEval, InStopsAtTheFirstEqualElement) {
  auto ds = OneFullRow();  // Id 2
  EXPECT_TRUE(SameValue(Eval(*ds, "Id IN (1, 2, 'x' + 1)").value, Variant(true)));
  EXPECT_EQ(Eval(*ds, "Id IN (1, 3, 'x' + 1)").error,
            "Could not convert variant of type (String) into type (Double)");
  // AND and OR take no short cut.
  EXPECT_NE(Eval(*ds, "FALSE AND 'x' + 1 > 0").error, "");
  EXPECT_NE(Eval(*ds, "TRUE OR 'x' + 1 > 0").error, "");
}

TEST(ExprEval, DefaultExpressionsAssignWithTheirRounding) {
  auto ds = OneFullRow();
  const std::vector<std::pair<const char*, Variant>> cases = {
      {"3.5", Variant(int64_t{4})},
      {"2.5", Variant(int64_t{2})},
      {"-2.5", Variant(int64_t{-2})},
      {"7", Variant(int64_t{7})},
      {"Price", Variant(int64_t{1})},  // currency 1.25
      {"9000000000", Variant(int64_t{9000000000})},
      {"'12'", Variant(int64_t{12})},
      {"SUBSTRING('a', 5)", Variant::Null()},  // null clears
  };
  for (const auto& [text, stored] : cases) {
    ds->Edit();
    const test::Outcome out = Eval(*ds, text, {}, ekDefaultExpression, "Big");
    EXPECT_EQ(out.error, "") << text;
    EXPECT_TRUE(SameValue(ds->FieldByName("Big").Value(), stored))
        << text << ": stored " << ds->FieldByName("Big").AsString();
    ds->Cancel();
  }
  // Other fields take the value as it is.
  ds->Edit();
  EXPECT_EQ(Eval(*ds, "'Bea' + 'trice'", {}, ekDefaultExpression, "Name").error, "");
  EXPECT_EQ(ds->FieldByName("Name").AsString(), "Beatrice");
  EXPECT_EQ(Eval(*ds, "Qty * 2.5", {}, ekDefaultExpression, "Amount").error, "");
  EXPECT_EQ(ds->FieldByName("Amount").AsFloat(), 7.5);
  ds->Cancel();
}

// Trees the parser does not write: each error text, the constant types
// without a decoding, fields by number.
TEST(ExprEval, LayoutsOutsideTheParserGiveTheirErrors) {
  auto ds = OneFullRow();
  const auto constInt = [](TreeBytes& t) {
    const uint16_t lit = t.Literal(std::string("\x05\0\0\0", 4));
    return t.Node(ncConst, coConst, {ftInteger, 4, lit});
  };
  std::vector<std::pair<std::string, std::string>> cases;
  {
    TreeBytes t;
    t.Node(ncUnary, 77, {10});
    constInt(t);
    cases.emplace_back(t.Bytes(), "Missing Unary Expression Eval: 77");
  }
  {
    TreeBytes t;
    t.Node(ncBinary, 99, {12, 12});
    constInt(t);
    cases.emplace_back(t.Bytes(), "Missing Binary Expression Eval: 99");
  }
  {
    TreeBytes t;
    t.Node(ncCompare, coGT, {0, 0, 16, 16});
    constInt(t);
    cases.emplace_back(t.Bytes(), "Missing Extended Expression Eval: 5");
  }
  {
    TreeBytes t;
    const uint16_t name = t.Literal(std::string("UPPER\0", 6));
    t.Node(ncFunc, 1, {name, 0});
    cases.emplace_back(t.Bytes(), "Missing Functional Expression Eval: 1");
  }
  {
    TreeBytes t;
    const uint16_t name = t.Literal(std::string("foo\0", 4));
    t.Node(ncFunc, coFunc, {name, 0});
    cases.emplace_back(t.Bytes(), "Unknown function call:FOO");
  }
  {
    TreeBytes t;
    t.Node(8, 0, {0, 0});
    cases.emplace_back(t.Bytes(), "Missing nodeType Expression Eval: 8");
  }
  {
    TreeBytes t;
    t.Node(ncListElem, coListElem, {12, 0});
    constInt(t);
    cases.emplace_back(t.Bytes(), "Missing nodeType Expression Eval: 11");
  }
  {
    TreeBytes t;
    t.Node(ncBinary, coAssign, {12, 12});
    constInt(t);
    cases.emplace_back(t.Bytes(), "Expecting Field node");
  }
  {
    TreeBytes t;
    const uint16_t name = t.Literal(std::string("Id\0", 3));
    t.Node(ncField, coField, {42, name});
    cases.emplace_back(t.Bytes(), "Field does not found:42");
  }
  {
    TreeBytes t;
    const uint16_t name = t.Literal(std::string("Nope\0", 5));
    t.Node(ncField, coField, {0xFFFF, name});
    cases.emplace_back(t.Bytes(), "Field 'Nope' not found");
  }
  for (const auto& [bytes, error] : cases) EXPECT_EQ(EvalTree(*ds, bytes).error, error);

  // A field by number and by name; a constant of a type without a decoding
  // is its type number.
  TreeBytes byNumber;
  byNumber.Node(ncField, coField, {2, byNumber.Literal(std::string("whatever\0", 9))});
  EXPECT_TRUE(SameValue(EvalTree(*ds, byNumber.Bytes()).value, Variant("Ada")));
  TreeBytes byName;
  byName.Node(ncField, coField, {0xFFFF, byName.Literal(std::string("name\0", 5))});
  EXPECT_TRUE(SameValue(EvalTree(*ds, byName.Bytes()).value, Variant("Ada")));
  TreeBytes currency;
  currency.Node(ncConst, coConst, {ftCurrency, 8, currency.Literal(std::string(8, '\1'))});
  EXPECT_TRUE(SameValue(EvalTree(*ds, currency.Bytes()).value, Variant(uint16_t{7})));
  // IN whose second operand is one value rather than a list.
  TreeBytes single;
  single.Node(ncBinary, coIn, {12, 26});
  single.Node(ncConst, coConst, {ftInteger, 4, single.Literal(std::string("\x05\0\0\0", 4))});
  single.Node(ncConst, coConst, {ftInteger, 4, 0});
  EXPECT_TRUE(SameValue(EvalTree(*ds, single.Bytes()).value, Variant(true)));
}

TEST(ExprEval, LinksThatLoopAreRefusedNotFollowed) {
  auto ds = OneFullRow();
  TreeBytes t;
  t.Node(ncUnary, coNot, {0});  // its own operand
  EXPECT_EQ(test::Capture([&] { return EvalTree(*ds, t.Bytes()).value; }).error,
            "Invalid expression tree: its links loop");
  TreeBytes outside;
  outside.Node(ncUnary, coNot, {200});
  EXPECT_EQ(test::Capture([&] { return EvalTree(*ds, outside.Bytes()).value; }).error,
            "Invalid expression tree: node 200 lies outside the node pool");
}

}  // namespace
}  // namespace rda
