// Helpers for the expression tests: evaluating through both the walker and
// the compiled form (which must agree), and writing trees by hand.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "base/ByteIO.h"
#include "memdata/expr/RdaExprProgram.h"
#include "memdata/expr/RdaExprTree.h"
#include "memdata/expr/RdaExpression.h"
#include "memdata/expr/RdaExpressionTreeReader.h"
#include "tests/memdata/DataSetTestUtil.h"

namespace rda::test {

// A value or the text of the error it raised instead.
struct Outcome {
  Variant value;
  std::string error;
};

inline Outcome Capture(const std::function<Variant()>& run) {
  try {
    return {run(), {}};
  } catch (const std::exception& e) {
    return {Variant(), e.what()};
  }
}

// Same kind and value (two NaNs count as the same).
inline bool SameValue(const Variant& a, const Variant& b) {
  if (a.Type() != b.Type()) return false;
  if (a.Type() == VarType::Double && std::isnan(a.ToDouble()) && std::isnan(b.ToDouble())) return true;
  return a == b;
}

// Runs both forms of one prepared walker on the record in use; they must
// agree on the value or on the error.
inline Outcome EvaluateBoth(TRdaExpressionTreeReader& reader, TRdaExprProgram& program, const std::string& what) {
  const Outcome walked = Capture([&] { return reader.Evaluate(); });
  const Outcome compiled = Capture([&] { return program.Evaluate(); });
  EXPECT_EQ(walked.error, compiled.error) << what;
  EXPECT_TRUE(SameValue(walked.value, compiled.value))
      << what << ": walker " << VarTypeName(walked.value.Type()) << " " << walked.value.ToString()
      << ", compiled " << VarTypeName(compiled.value.Type()) << " " << compiled.value.ToString();
  return walked;
}

// Parses text against ds (a parse error is the outcome) and evaluates it
// through both forms on the record in use.
inline Outcome Eval(TRdaCustomDataSet& ds, const std::string& text, TFilterOptions options = {},
                    TRdaExpressionKind kind = ekFilter, const std::string& target = {}) {
  std::unique_ptr<TRdaExpression> expr;
  const Outcome parsed = Capture([&] {
    expr = std::make_unique<TRdaExpression>(ds, text, kind, options, target);
    return Variant();
  });
  if (!expr) return parsed;
  return EvaluateBoth(expr->Reference(), expr->Program(), text);
}

// Both forms on a tree given as bytes.
inline Outcome EvalTree(TRdaCustomDataSet& ds, const std::string& bytes) {
  TRdaExpressionTreeReader reader(ds, {}, ekFilter, {}, {});
  reader.SetTree(bytes);
  TRdaExprProgram program(reader);
  return EvaluateBoth(reader, program, "hand-built tree");
}

// A tree written node by node, for layouts the parser does not make. Nodes
// go in the order added; the first is the root.
class TreeBytes {
 public:
  uint16_t Node(uint32_t cls, uint32_t op, std::vector<uint16_t> fields) {
    const uint16_t at = static_cast<uint16_t>(nodes_.size());
    ByteWriter w(nodes_);
    w.PutU32(cls);
    w.PutU32(op);
    for (uint16_t f : fields) w.PutU16(f);
    ++count_;
    return at;
  }
  // Changes field i of the node at offset node.
  void Set(uint16_t node, int i, uint16_t value) { StoreU16LE(nodes_.data() + node + 8 + 2 * i, value); }
  uint16_t Literal(const std::string& bytes) {
    const uint16_t at = static_cast<uint16_t>(literals_.size());
    literals_ += bytes;
    return at;
  }
  std::string Bytes() const {
    std::string out;
    ByteWriter w(out);
    w.PutU16(2);
    w.PutU16(static_cast<uint16_t>(10 + nodes_.size() + literals_.size()));
    w.PutU16(count_);
    w.PutU16(10);
    w.PutU16(static_cast<uint16_t>(10 + nodes_.size()));
    return out + nodes_ + literals_;
  }

 private:
  std::string nodes_;
  std::string literals_;
  uint16_t count_ = 0;
};

// The dataset the expression tests read: every kind of field, opened, with
// the rows given by fill.
inline std::unique_ptr<TRdaDataSet> Kinds() {
  auto ds = std::make_unique<TRdaDataSet>();
  ds->AddField("Id", ftInteger, 0);
  ds->AddField("Name", ftString, 20);
  ds->AddField("Amount", ftFloat, 0);
  ds->AddField("Qty", ftSmallint, 0);
  ds->AddField("Big", ftLargeint, 0);
  ds->AddField("Price", ftCurrency, 0);
  ds->AddField("Cost", ftBCD, 0);
  ds->AddField("Born", ftDate, 0);
  ds->AddField("At", ftDateTime, 0);
  ds->AddField("T", ftTime, 0);
  ds->AddField("Flag", ftBoolean, 0);
  ds->AddField("W", ftWord, 0);
  ds->AddField("Wide", ftWideString, 10);
  ds->Open();
  return ds;
}

}  // namespace rda::test
