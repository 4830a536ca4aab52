// The expression parser: the text of a filter, constraint or default
// expression turned into a tree in the layout of RdaExprTree.h.
//
// The language (keywords in any letter case; texts in the system's code page):
//
//   expression := or
//   or         := and { OR and }
//   and        := not { AND not }
//   not        := NOT not | comparison
//   comparison := sum [ ( = | <> | != | < | <= | > | >= ) sum
//                     | [NOT] LIKE sum
//                     | [NOT] IN ( expression { , expression } )
//                     | IS [NOT] NULL ]
//   sum        := product { ( + | - ) product }
//   product    := unary { ( * | / | DIV | MOD ) unary }
//   unary      := ( - | + ) unary | primary
//   primary    := number | 'text' | TRUE | FALSE
//               | DATE 'yyyy-mm-dd' | TIME 'hh:nn[:ss[.zzz]]'
//               | TIMESTAMP 'yyyy-mm-dd hh:nn[:ss[.zzz]]'
//               | name ( [ expression { , expression } ] )      a function
//               | name | [ any text but a closing bracket ]     a field
//               | ( expression )
//
// Texts double a quote inside ('it''s'). A number without a point or an
// exponent is an integer constant (32-bit when it fits, else 64-bit), any
// other a float. A minus before a number is part of the constant.
//
// What the tree holds:
//   - = <> < > <= >= AND OR + - * / DIV MOD LIKE IN: binary nodes (DIV is
//     the integer division, MOD the remainder); NOT and a leading minus:
//     unary nodes; x IS NULL / x IS NOT NULL: the unary "is blank" / "is
//     not blank" nodes, and so are x = NULL and x <> NULL. NULL has no
//     other use (no constant encoding gives a null).
//   - MIN(a, b) and MAX(a, b): the binary minimum and maximum nodes. The
//     functions UPPER, LOWER, TRIM, TRIMLEFT, TRIMRIGHT (1 or 2 arguments),
//     SUBSTRING (2 or 3), YEAR, MONTH, DAY, HOUR, MINUTE, SECOND, DATE, TIME
//     (1) and GETDATE (none): function nodes, their arguments a list.
//   - A chain of ANDs (or of ORs) becomes a balanced tree, its operands in
//     their order, so that a long list of terms nests only log2(n) deep.
//   - Fields of the dataset: a data field by its field number, any other
//     (calculated, lookup) by name (-1). Without a dataset every field is
//     written by name and not checked.
//   - Filter options: with foCaseInsensitive, = <> and LIKE between operands
//     of which one is a text (a text constant, a text field, or UPPER,
//     LOWER, SUBSTRING or the TRIMs) become compare nodes that ignore case.
//     Unless foNoPartialCompare is given, = or <> against a text constant
//     ending in * (with something before it) compares only the characters
//     before the *: a compare node with that partial length.
//   - The default-expression form (poDefaultExpression) is the assignment
//     of the expression to the target field: a binary assignment node whose
//     operand 2 is the target's field node.
//
// Limits: 512 levels of nesting (of the text and of the tree) and the
// 65,535 bytes of the layout.
//
// Errors are EDatabaseError: "Syntax error at position <n>: expected <what>
// but found <token>" and the others below, positions counting the text's
// characters from 1; an unknown field raises the dataset's "Field '<name>'
// not found".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/EnumSet.h"
#include "memdata/framework/DataSet.h"

namespace rda {

enum TRdaParserOption : uint8_t { poExtendedSyntax, poDefaultExpression };
using TRdaParserOptions = TSet<TRdaParserOption>;

inline constexpr int kRdaExprMaxDepth = 512;

// The tree for text. dataSet (may be nullptr) resolves the field names;
// targetField names the field a default expression assigns to.
std::string RdaParseExpression(const TDataSet* dataSet, std::string_view text,
                               TFilterOptions filterOptions, TRdaParserOptions parserOptions,
                               std::string_view targetField = {});

}  // namespace rda
