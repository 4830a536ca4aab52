// TRdaExpression: an expression as the dataset holds it (its filter, a
// constraint or a default): the walker with its tree (the reference) and
// the compiled form it runs.
//
// For a filter it also answers which rows of the view can pass at all. A
// term of the top-level AND chain that compares the leading field of the
// selected index with a constant (=, <, <=, >, >=, or LIKE 'prefix%'; with
// the constant written first only =, > and >=, since "5 < F" is true for a
// null F) is false on a run of rows at either end of the index's order
// (nulls lie first in an ascending index, last in a descending one), so navigation
// jumps over those runs by a binary search instead of testing each row.
// The rows that remain are tested as always, so the rows seen and their
// order are those of a full scan. A false AND term makes the whole
// expression false (or null), whatever the other terms give; a run-time
// error another term would raise on a skipped row is not raised.
//
// The search is used only where the index's order is the comparison's: an
// integer, BCD, date or time field against a number or date constant, or a
// text field (in a case-sensitive index) against a text constant; not for
// floats, which the index counts as equal within a tolerance.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "memdata/RdaCustomDataSet.h"
#include "memdata/expr/RdaExprProgram.h"
#include "memdata/expr/RdaExpressionTreeReader.h"

namespace rda {

class TRdaExpression : public TRdaCompiledExpression {
 public:
  // Parses and compiles; a parse error passes to the caller.
  TRdaExpression(TRdaCustomDataSet& dataSet, std::string text, TRdaExpressionKind kind,
                 TFilterOptions filterOptions, std::string targetField);
  ~TRdaExpression() override;

  Variant Evaluate() override { return program_->Evaluate(); }
  bool Accepts() override { return program_->Accepts(); }
  bool AcceptsRecord(const char* record) override { return program_->Accepts(record); }
  int SkipRejected(int position, int step) override;

  TRdaExpressionTreeReader& Reference() { return reference_; }
  TRdaExprProgram& Program() { return *program_; }
  // GETDATE's today, for both forms.
  void SetToday(TRdaExprToday today) { reference_.SetToday(std::move(today)); }

 private:
  // A top-level AND term: field op constant (the field on the left).
  struct Term {
    TField* field;
    uint32_t op;
    bool nullPasses;  // whether the term is true for a null field
    Variant constant;
    std::string prefix;  // LIKE 'prefix%'
  };
  struct Place {
    bool before;
    bool after;
  };
  void CollectTerms(uint16_t node);
  // The terms on the selected index's leading field that its order serves
  // (kept while the index definitions and selection stay as they were).
  const std::vector<const Term*>& TermsForIndex(const TRdaIndex*& index);
  Place Classify(int position, const std::vector<const Term*>& terms, bool descending) const;

  TRdaCustomDataSet& dataSet_;
  TRdaExpressionTreeReader reference_;
  std::unique_ptr<TRdaExprProgram> program_;
  std::vector<Term> terms_;
  std::vector<const Term*> indexTerms_;
  const TRdaIndex* termsIndex_ = nullptr;
  uint64_t termsGeneration_ = ~uint64_t{0};
};

}  // namespace rda
