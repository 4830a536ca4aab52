#include "memdata/expr/RdaDataSetExpressions.h"

#include "base/Exception.h"

namespace rda {

namespace {

const std::string kMark(1, '\xFF');

std::string RecordName(const char* kind, int i) { return kMark + kind + std::to_string(i); }
std::string FieldName(const TField& f, const char* kind) { return f.FieldName() + kMark + kind; }

// A message with "%s" filled in.
std::string Filled(const std::string& format, const std::string& value) {
  const size_t at = format.find("%s");
  return at == std::string::npos ? format : format.substr(0, at) + value + format.substr(at + 2);
}

}  // namespace

void TRdaDataSetExpressions::Free() {
  evaluators_.clear();
  recordConstraints_ = fieldConstraints_ = defaults_ = false;
}

void TRdaDataSetExpressions::Add(const std::string& name, const std::string& text,
                                 TRdaExpressionKind kind, const std::string& field,
                                 const std::string& failure, bool skipFailure) {
  std::unique_ptr<TRdaCompiledExpression> evaluator;
  try {
    evaluator = dataSet_.CompileExpression(text, kind, field);
  } catch (const Exception& e) {
    if (skipFailure) return;
    Free();
    DatabaseError(Filled(failure, e.Message()), &dataSet_);
  }
  if (!evaluators_.emplace(name, std::move(evaluator)).second) {
    Free();
    throw EListError("String list does not allow duplicates");
  }
  switch (kind) {
    case ekRecordConstraint: recordConstraints_ = true; break;
    case ekFieldConstraint: fieldConstraints_ = true; break;
    default: defaults_ = true; break;
  }
}

void TRdaDataSetExpressions::Compile() {
  Free();
  const TCheckConstraints& constraints = dataSet_.Constraints();
  for (int i = 0; i < constraints.Count(); ++i) {
    const TCheckConstraint& c = constraints.Items(i);
    if (!c.CustomConstraint.empty()) {
      Add(RecordName("CC", i), c.CustomConstraint, ekRecordConstraint, std::string(),
          "Failed to compile custom record constraint\n[%s]");
    }
    if (!c.ImportedConstraint.empty()) {
      // One from the dictionary that does not compile is left out.
      Add(RecordName("CI", i), c.ImportedConstraint, ekRecordConstraint, std::string(),
          "Failed to compile imported record constraint\n[%s]", c.FromDictionary);
    }
  }
  for (const auto& f : dataSet_.Fields()) {
    const std::string prefix = "Failed to compile field [" + f->FieldName() + "] ";
    if (!f->CustomConstraint.empty()) {
      Add(FieldName(*f, "CC"), f->CustomConstraint, ekFieldConstraint, f->FieldName(),
          prefix + "custom constraint\n[%s]");
    }
    if (!f->ImportedConstraint.empty()) {
      Add(FieldName(*f, "CI"), f->ImportedConstraint, ekFieldConstraint, f->FieldName(),
          prefix + "imported constraint\n[%s]");
    }
    if (!f->DefaultExpression.empty()) {
      Add(FieldName(*f, "D"), f->DefaultExpression, ekDefaultExpression, f->FieldName(),
          prefix + "default expression\n[%s]");
    }
  }
}

TRdaCompiledExpression* TRdaDataSetExpressions::Find(const std::string& name) const {
  const auto it = evaluators_.find(name);
  return it == evaluators_.end() ? nullptr : it->second.get();
}

void TRdaDataSetExpressions::Check(const std::string& name, bool missingFails, const std::string& message,
                                   const std::string& errorText) {
  TRdaCompiledExpression* evaluator = Find(name);
  if (!evaluator) {
    if (missingFails) DatabaseError("Check expression does not found", &dataSet_);
    return;
  }
  const Variant v = evaluator->Evaluate();
  if (v.IsClear() || VarNot(v).ToBoolean()) DatabaseError(Filled(message, errorText), &dataSet_);
}

void TRdaDataSetExpressions::CheckRecord() {
  if (recordConstraints_) {
    const TCheckConstraints& constraints = dataSet_.Constraints();
    for (int i = 0; i < constraints.Count(); ++i) {
      const TCheckConstraint& c = constraints.Items(i);
      if (!c.CustomConstraint.empty()) {
        Check(RecordName("CC", i), true, "Record custom constraint failed.\n[%s]", c.ErrorMessage);
      }
      if (!c.ImportedConstraint.empty()) {
        Check(RecordName("CI", i), false, "Record imported constraint failed.\n[%s]", c.ErrorMessage);
      }
    }
  }
  if (fieldConstraints_) {
    for (const auto& f : dataSet_.Fields()) CheckField(*f);
  }
}

void TRdaDataSetExpressions::CheckField(TField& field) {
  if (!fieldConstraints_) return;
  const std::string prefix = "Field [" + field.DisplayLabel() + "] ";
  if (!field.CustomConstraint.empty()) {
    Check(FieldName(field, "CC"), true, prefix + "custom constraint failed.\n[%s]", field.ConstraintErrorMessage);
  }
  if (!field.ImportedConstraint.empty()) {
    Check(FieldName(field, "CI"), false, prefix + "imported constraint failed.\n[%s]",
          field.ConstraintErrorMessage);
  }
}

void TRdaDataSetExpressions::ApplyDefaults(bool calculated) {
  if (!defaults_) return;
  for (const auto& f : dataSet_.Fields()) {
    if (f->DefaultExpression.empty() || f->FieldKind() != (calculated ? fkCalculated : fkData)) continue;
    TRdaCompiledExpression* evaluator = Find(FieldName(*f, "D"));
    if (!evaluator) DatabaseError(Filled("Default expression for field [%s] does not found", f->FieldName()), &dataSet_);
    try {
      evaluator->Evaluate();  // assigns the value to its field
    } catch (const Exception& e) {
      DatabaseError("Default expression evaluation for field [" + f->FieldName() + "] failed.\n[" + e.Message() +
                        "])",
                    &dataSet_);
    }
  }
}

}  // namespace rda
