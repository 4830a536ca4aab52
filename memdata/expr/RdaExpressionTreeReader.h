// TRdaExpressionTreeReader: the evaluator of one filter, constraint or
// default expression. It has the text parsed into a tree once (Prepare) and
// then walks the tree, node by node, against the dataset's record in use.
//
// This walker is the reference for what every node means: it reads the
// layout exactly as RdaExprTree.h states it and keeps no state between
// evaluations. The dataset runs the compiled form of the same tree
// (RdaExprProgram.h), which must agree with it; the tests run every case
// through both.
//
// Evaluating a node:
//   - a null marker (none / field null / field not null) is reset when a
//     node starts and set by a field node, so that "is blank" can tell a
//     null field from an empty text;
//   - both operands of a binary node are always evaluated (AND and OR take
//     no short cut), except that IN stops at the first element that
//     compares equal, and an assignment only evaluates its value;
//   - comparisons use the three-way comparison (RdaExprSemantics.h);
//   - arithmetic, logic, MIN and MAX are the value type's (base/Variant.h);
//   - errors are EDatabaseError with the texts of RdaExprSemantics.h, and
//     the value type's own errors pass unchanged.
//
// The dataset must outlive the evaluator; the field objects are looked up
// at every evaluation.
#pragma once

#include <cstdint>
#include <string>

#include "base/Variant.h"
#include "memdata/RdaCustomDataSet.h"
#include "memdata/expr/RdaExprSemantics.h"
#include "memdata/expr/RdaExprTree.h"

namespace rda {

class TRdaExpressionTreeReader {
 public:
  // kind ekDefaultExpression parses the text as an assignment to targetField.
  TRdaExpressionTreeReader(TDataSet& dataSet, std::string targetField, TRdaExpressionKind kind,
                           TFilterOptions filterOptions, std::string text);

  // Parses the text (once); a parse error passes to the caller.
  void Prepare();
  // Takes a tree made elsewhere instead of parsing (its header is checked).
  void SetTree(std::string bytes) { tree_ = TRdaExprTree(std::move(bytes)); }
  // The value of the tree for the dataset's record in use.
  Variant Evaluate();

  const TRdaExprTree& Tree() const { return tree_; }
  TDataSet& DataSet() const { return *dataSet_; }
  TRdaExpressionKind Kind() const { return kind_; }
  const std::string& Text() const { return text_; }
  const std::string& TargetField() const { return targetField_; }
  TFilterOptions FilterOptions() const { return filterOptions_; }
  // Where GETDATE takes today from (the local clock unless set).
  void SetToday(TRdaExprToday today) { today_ = std::move(today); }
  TDateTime Today() const { return today_(); }

 private:
  enum class Marker : uint8_t { kNone, kNull, kNotNull };

  Variant Node(uint16_t node, int depth);
  Variant FieldValue(uint16_t node);
  Variant Unary(uint16_t node, int depth);
  Variant Binary(uint16_t node, int depth);
  Variant In(const Variant& value, uint16_t list, int depth);
  Variant Assign(uint16_t node, int depth);
  Variant Compare(uint16_t node, int depth);
  Variant Function(uint16_t node, int depth);

  TDataSet* dataSet_;
  std::string targetField_;
  TRdaExpressionKind kind_;
  TFilterOptions filterOptions_;
  std::string text_;
  TRdaExprTree tree_;
  TRdaExprToday today_;
  Marker marker_ = Marker::kNone;
};

// The field a field node names: by name for a negative number, else the
// first field of the dataset whose field number it is (EDatabaseError
// "Field does not found:<n>" when none is).
TField& RdaExprFieldOf(TDataSet& dataSet, const TRdaExprTree& tree, uint16_t node);

}  // namespace rda
