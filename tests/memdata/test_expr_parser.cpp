// The parser: the tree bytes of a handful of expressions against fixtures
// written by hand from the layout, its syntax errors (position and what it
// expected), and its limits.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "memdata/expr/RdaExprParser.h"
#include "tests/memdata/ExprTestUtil.h"

namespace rda {
namespace {

using test::Kinds;

// "02 00 3f" -> the bytes.
std::string Hex(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    if (text[i] == ' ' || text[i] == '\n') {
      ++i;
      continue;
    }
    out.push_back(static_cast<char>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
    i += 2;
  }
  return out;
}

std::string Parse(const TDataSet& ds, const std::string& text, TFilterOptions options = {},
                  TRdaParserOptions parser = {poExtendedSyntax}, const std::string& target = {}) {
  return RdaParseExpression(&ds, text, options, parser, target);
}

std::string ParseError(const TDataSet* ds, const std::string& text) {
  try {
    RdaParseExpression(ds, text, {}, {poExtendedSyntax});
  } catch (const EDatabaseError& e) {
    return e.what();
  }
  return "<parsed>";
}

// Field numbers in Kinds(): Id 1, Name 2, Amount 3, Qty 4, Big 5, Born 8.
TEST(ExprParser, WritesTheLayoutByteForByte) {
  auto ds = Kinds();
  struct Fixture {
    const char* text;
    TFilterOptions options;
    const char* bytes;
  };
  const Fixture fixtures[] = {
      {"Id = 5", {},
       // header: version 2, 55 bytes, 3 nodes, nodes at 10, literals at 48
       "0200 3700 0300 0A00 3000"
       "02000000 03000000 0C00 1800"        // @0  binary =, @12, @24
       "04000000 0D000000 0100 0000"        // @12 field 1, name at 0
       "05000000 0E000000 0300 0400 0300"   // @24 constant integer, 4 bytes at 3
       "496400 05000000"},                  // "Id", 5
      {"Name IN ('a', 'b')", {},
       "0200 5F00 0600 0A00 5600"
       "02000000 1F000000 0C00 1800"        // @0  binary IN, @12, first element @24
       "04000000 0D000000 0200 0000"        // @12 field 2
       "0B000000 24000000 2400 3200"        // @24 element: value @36, next @50
       "05000000 0E000000 0100 0200 0500"   // @36 'a'
       "0B000000 24000000 3E00 0000"        // @50 element: value @62, last
       "05000000 0E000000 0100 0200 0700"   // @62 'b'
       "4E616D6500 6100 6200"},
      {"Name = 'Ab*'", {},
       "0200 3C00 0300 0A00 3400"
       "03000000 03000000 0000 0200 1000 1C00"  // @0 compare =, case, 2 characters, @16, @28
       "04000000 0D000000 0200 0000"
       "05000000 0E000000 0100 0300 0500"       // 'Ab' (the * dropped)
       "4E616D6500 416200"},
      {"UPPER(Name) LIKE 'A%'", {foCaseInsensitive},
       "0200 5A00 0500 0A00 4C00"
       "03000000 1E000000 0100 0000 1000 3400"  // @0 compare LIKE, ignoring case, @16, @52
       "0A000000 23000000 0000 1C00"            // @16 function "UPPER", arguments @28
       "0B000000 24000000 2800 0000"            // @28 element: value @40
       "04000000 0D000000 0200 0600"            // @40 field 2, name at 6
       "05000000 0E000000 0100 0300 0B00"       // @52 'A%'
       "555050455200 4E616D6500 412500"},
      {"NOT (Born >= DATE '2004-01-01') OR -Amount > 1.5", {},
       "0200 8E00 0900 0A00 7600"
       "02000000 0B000000 0C00 3C00"        // @0  OR, @12, @60
       "01000000 09000000 1600"             // @12 NOT, @22
       "02000000 07000000 2200 2E00"        // @22 >=, @34, @46
       "04000000 0D000000 0800 0000"        // @34 field 8
       "05000000 0E000000 0900 0400 0500"   // @46 date, 4 bytes at 5
       "02000000 05000000 4800 5E00"        // @60 >, @72, @94
       "01000000 0F000000 5200"             // @72 minus, @82
       "04000000 0D000000 0300 0900"        // @82 field 3, name at 9
       "05000000 0E000000 0600 0800 1000"   // @94 float, 8 bytes at 16
       "426F726E00 BD290B00 416D6F756E7400 000000000000F83F"},  // day 731581 = 2004-01-01
  };
  for (const Fixture& f : fixtures) {
    EXPECT_EQ(Parse(*ds, f.text, f.options), Hex(f.bytes)) << f.text;
  }
  // The default-expression form: the value assigned to the target's field node.
  EXPECT_EQ(Parse(*ds, "Qty * 2", {}, {poExtendedSyntax, poDefaultExpression}, "Big"),
            Hex("0200 5400 0500 0A00 4800"
                "02000000 25000000 0C00 3200"       // @0  assignment, value @12, field @50
                "02000000 12000000 1800 2400"       // @12 *, @24, @36
                "04000000 0D000000 0400 0000"       // @24 field 4 "Qty"
                "05000000 0E000000 0300 0400 0400"  // @36 integer 2
                "04000000 0D000000 0500 0800"       // @50 field 5 "Big"
                "51747900 02000000 42696700"));
}

TEST(ExprParser, WritesWhatEachConstructMeans) {
  auto ds = Kinds();
  const auto root = [&](const std::string& text, TFilterOptions options = {}) {
    const TRdaExprTree tree(Parse(*ds, text, options));
    return std::make_pair(tree.NodeClass(0), tree.Operator(0));
  };
  using P = std::pair<uint32_t, uint32_t>;
  EXPECT_EQ(root("Id IS NULL"), P(ncUnary, coIsBlank));
  EXPECT_EQ(root("NULL <> Id"), P(ncUnary, coNotBlank));
  EXPECT_EQ(root("Id NOT IN (1)"), P(ncUnary, coNot));
  EXPECT_EQ(root("MAX(Id, 2)"), P(ncBinary, coMax));
  EXPECT_EQ(root("Id DIV 2"), P(ncBinary, coIntDiv));
  EXPECT_EQ(root("Id MOD 2"), P(ncBinary, coMod));
  EXPECT_EQ(root("Id <> 1"), P(ncBinary, coNE));
  EXPECT_EQ(root("Id != 1"), P(ncBinary, coNE));
  EXPECT_EQ(root("Id = 1", {foCaseInsensitive}), P(ncBinary, coEQ));  // no text on either side
  EXPECT_EQ(root("[Name] LIKE 'a'", {foCaseInsensitive}), P(ncCompare, coLike));
  EXPECT_EQ(root("- -Id"), P(ncUnary, coMinus));
  // Numbers: 32-bit, 64-bit, float; a minus belongs to the constant.
  const auto constant = [&](const std::string& text) {
    const TRdaExprTree tree(Parse(*ds, text));
    return std::make_pair(tree.NodeClass(0), uint32_t{tree.Field(0, 0)});
  };
  EXPECT_EQ(constant("-2147483648"), P(ncConst, ftInteger));
  EXPECT_EQ(constant("2147483648"), P(ncConst, ftLargeint));
  EXPECT_EQ(constant("-9223372036854775808"), P(ncConst, ftLargeint));
  EXPECT_EQ(constant("9223372036854775808"), P(ncConst, ftFloat));
  EXPECT_EQ(constant("1e3"), P(ncConst, ftFloat));
  EXPECT_EQ(constant(".5"), P(ncConst, ftFloat));
  EXPECT_EQ(constant("TRUE"), P(ncConst, ftBoolean));
  EXPECT_EQ(constant("TIME '23:59:59.999'"), P(ncConst, ftTime));
  // Field names in brackets may hold blanks and name keywords.
  TRdaDataSet spaced;
  spaced.AddField("Order Date", ftInteger, 0);
  spaced.AddField("And", ftInteger, 0);
  spaced.Open();
  EXPECT_EQ(TRdaExprTree(Parse(spaced, "[Order Date] = [And]")).NodeCount(), 3);
  // Equal literals are written once: one "Id" for ten field nodes.
  const TRdaExprTree ids(Parse(*ds, "Id=1 or Id=2 or Id=3 or Id=4 or Id=5 or Id=6 or Id=7 or Id=8 or Id=9 or Id=1"));
  EXPECT_EQ(ids.Bytes().size(), 10 + ids.NodePoolSize() + 3 + 9 * 4);
}

TEST(ExprParser, SyntaxErrorsSayWhereAndWhatWasExpected) {
  auto ds = Kinds();
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"", "Syntax error at position 1: expected an operand but found end of text"},
      {"Id =", "Syntax error at position 5: expected an operand but found end of text"},
      {"(Id = 1", "Syntax error at position 8: expected ')' but found end of text"},
      {"Id = 1)", "Syntax error at position 7: expected an operator or the end of the text but found ')'"},
      {"Id = 1 2", "Syntax error at position 8: expected an operator or the end of the text but found '2'"},
      {"Id = 'abc", "Syntax error at position 6: the text has no closing quote"},
      {"[Id = 1", "Syntax error at position 1: the field name has no closing ]"},
      {"[] = 1", "Syntax error at position 1: empty field name []"},
      {"Id # 1", "Syntax error at position 4: unexpected character '#'"},
      {"Id = \"a\"", "Syntax error at position 6: unexpected character '\"'"},
      {"12abc", "Syntax error at position 3: a number runs into a name"},
      {"1e999", "Syntax error at position 1: the number 1e999 is out of range"},
      {"Id = AND", "Syntax error at position 6: expected an operand but found 'AND' (a field of that name is written [AND])"},
      {"Id NOT 5", "Syntax error at position 8: expected LIKE or IN after NOT but found '5'"},
      {"Id IS 5", "Syntax error at position 7: expected NULL but found '5'"},
      {"Id IN 1", "Syntax error at position 7: expected '(' but found '1'"},
      {"Id IN (1,", "Syntax error at position 10: expected an operand but found end of text"},
      {"FOO(1)", "Syntax error at position 1: unknown function FOO"},
      {"UPPER(1, 2)", "Syntax error at position 1: UPPER takes 1 argument, not 2"},
      {"SUBSTRING('a')", "Syntax error at position 1: SUBSTRING takes 2 or 3 arguments, not 1"},
      {"GETDATE(1)", "Syntax error at position 1: GETDATE takes 0 arguments, not 1"},
      {"Id = NULL + 1", "Syntax error at position 6: NULL can only be compared with = or <>, or tested with IS NULL"},
      {"NULL", "Syntax error at position 1: NULL can only be compared with = or <>, or tested with IS NULL"},
      {"Id < NULL", "Syntax error at position 6: NULL can only be compared with = or <>, or tested with IS NULL"},
      {"DATE '2004-13-01'", "Syntax error at position 1: '2004-13-01' is no date (yyyy-mm-dd)"},
      {"TIME '25:00'", "Syntax error at position 1: '25:00' is no time (hh:nn[:ss[.zzz]])"},
      {"TIMESTAMP '2004-01-01'", "Syntax error at position 1: '2004-01-01' is no time stamp (yyyy-mm-dd hh:nn[:ss[.zzz]])"},
      {"Nope = 1", "Field 'Nope' not found"},
      {"[No pe] = 1", "Field 'No pe' not found"},
  };
  for (const auto& [text, error] : cases) EXPECT_EQ(ParseError(ds.get(), text), error) << text;
  // A named dataset names itself in its own errors.
  ds->Close();
  ds->SetName("People");
  ds->Open();
  EXPECT_EQ(ParseError(ds.get(), "Nope = 1"), "People: Field 'Nope' not found");
  // Without a dataset names are not checked.
  EXPECT_EQ(ParseError(nullptr, "Nope = 1"), "<parsed>");
}

TEST(ExprParser, NestingAndSizeHaveClearLimits) {
  auto ds = Kinds();
  const auto repeat = [](const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
  };
  // 512 levels parse; one more is refused, by parentheses, NOT or a chain.
  EXPECT_EQ(ParseError(ds.get(), repeat("(", 511) + "1" + repeat(")", 511)), "<parsed>");
  EXPECT_EQ(ParseError(ds.get(), repeat("(", 600) + "1" + repeat(")", 600)),
            "Expression nested too deeply at position 513 (more than 512 levels)");
  EXPECT_EQ(ParseError(ds.get(), repeat("NOT ", 100000) + "TRUE"),
            "Expression nested too deeply at position 2045 (more than 512 levels)");
  EXPECT_EQ(ParseError(ds.get(), repeat("-", 100000) + "Id"),
            "Expression nested too deeply at position 512 (more than 512 levels)");
  EXPECT_EQ(ParseError(ds.get(), "1" + repeat("+1", 600)),
            "Expression nested too deeply at position 1024 (more than 512 levels)");
  // A chain of ORs is balanced: a thousand terms nest ten deep and evaluate.
  std::string terms = "Id = 0";
  for (int i = 1; i < 1000; ++i) terms += " OR Id = " + std::to_string(i);
  ds->AppendRecord({Variant(999)});
  EXPECT_TRUE(test::SameValue(test::Eval(*ds, terms).value, Variant(true)));
  // Past the 65,535 bytes of the layout: an error, not a crash.
  std::string many = "Id = 0";
  for (int i = 1; i < 10000; ++i) many += " OR Id = " + std::to_string(i);
  const std::string error = ParseError(ds.get(), many);
  EXPECT_EQ(error.rfind("Expression too large: its tree takes ", 0), 0U) << error;
  EXPECT_NE(error.find(" bytes, at most 65535"), std::string::npos) << error;
}

}  // namespace
}  // namespace rda
