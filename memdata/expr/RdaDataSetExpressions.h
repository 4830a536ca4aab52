// The constraints and default expressions of a dataset, compiled at open
// and freed at close.
//
// Sources, and the names their evaluators are kept under (#255 is the
// byte 0xFF):
//
//   record constraint i, CustomConstraint    #255 "CC" i   record constraint
//   record constraint i, ImportedConstraint  #255 "CI" i   record constraint
//   field F, CustomConstraint                F #255 "CC"   field constraint
//   field F, ImportedConstraint              F #255 "CI"   field constraint
//   field F, DefaultExpression               F #255 "D"    default expression
//
// Compiling goes through the record constraints in order (custom, then
// imported), then every field in order (custom, imported, default). A text
// that does not compile fails the open with its source's message ("Failed
// to compile field [F] default expression\n[<the parser's message>]" ...),
// except an imported record constraint from the dictionary, which is
// skipped.
//
// Checking (nothing while the dataset's constraints are disabled): a
// constraint passes only when it evaluates to true; null or empty fails.
// Before a post every record constraint, then every field's; on a field's
// validation that field's, reading the value being written. A constraint
// whose text was set after the open has no evaluator: a custom one fails
// with "Check expression does not found", an imported one is skipped.
//
// Defaults: new records evaluate the defaults of their data fields, the
// computing of calculated fields those of the calculated fields (before
// OnCalcFields); each assigns its value to its field.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "memdata/RdaCustomDataSet.h"

namespace rda {

class TRdaDataSetExpressions {
 public:
  explicit TRdaDataSetExpressions(TRdaCustomDataSet& dataSet) : dataSet_(dataSet) {}

  // Frees what was compiled, then compiles every source; raises the
  // source's compile error (nothing stays compiled then).
  void Compile();
  void Free();
  bool HasFieldConstraints() const { return fieldConstraints_; }

  // Record constraints, then the constraints of every field.
  void CheckRecord();
  void CheckField(TField& field);
  // The defaults of the data fields (calculated = false) or of the
  // calculated ones.
  void ApplyDefaults(bool calculated);

  // The evaluator kept under a name; nullptr when none is.
  TRdaCompiledExpression* Find(const std::string& name) const;

 private:
  void Add(const std::string& name, const std::string& text, TRdaExpressionKind kind,
           const std::string& field, const std::string& failure, bool skipFailure = false);
  // Raises message with the stored error text unless the evaluator of name
  // gives true. missingFails: a custom constraint without an evaluator.
  void Check(const std::string& name, bool missingFails, const std::string& message,
             const std::string& errorText);

  TRdaCustomDataSet& dataSet_;
  std::map<std::string, std::unique_ptr<TRdaCompiledExpression>> evaluators_;
  bool recordConstraints_ = false;
  bool fieldConstraints_ = false;
  bool defaults_ = false;
};

}  // namespace rda
