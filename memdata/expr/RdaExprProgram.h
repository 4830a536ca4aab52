// TRdaExprProgram: an expression tree compiled once into a flat form that
// runs per record without walking the tree and, for values of the usual
// kinds, without allocating.
//
// The form: the nodes in evaluation order (operands before their operator)
// as instructions over a value stack; IN is a run of tests that jump to the
// end at the first equal element. Values on the stack are TRdaExprValue:
// the kind of the value type (base/Variant.h) with numbers held in place
// and texts as views into the record's field buffers, the constants, or a
// text buffer that belongs to the instruction that made it. Everything a
// run changes (stack, buffers) is kept aside in the program and reused by
// the next run.
//
// Meaning: exactly the walker's (RdaExpressionTreeReader.h), node by node,
// null marker included. Numbers, dates, Booleans and texts take fast paths
// written to the value type's rules; every other pairing converts to
// Variant and uses the value type's own operation (which may allocate).
// Errors: the walker's, raised at the same point of the evaluation.
//
// The field objects are resolved when compiling: the program must not
// outlive them (the dataset compiles its expressions at open and frees
// them at close). A program is not re-entrant; a nested run (an expression
// evaluated while it is evaluating) is handed to the walker.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/Variant.h"
#include "memdata/expr/RdaExpressionTreeReader.h"
#include "memdata/expr/RdaExprSemantics.h"
#include "memdata/expr/RdaExprTree.h"

namespace rda {

// One value of a run: the value type's kind and the value.
struct TRdaExprValue {
  VarType type = VarType::Empty;
  union {
    int64_t i = 0;  // signed integers; Currency: the scaled value
    uint64_t u;     // Byte, Word, LongWord
    double d;       // Double, Date
    bool b;         // Boolean
  };
  std::string_view s;              // String
  const Variant* boxed = nullptr;  // Single, UInt64, Bcd, SqlTimeStamp, Bytes, Interface
};

class TRdaExprProgram {
 public:
  // Compiles the tree of a prepared walker; keeps the walker for nested runs.
  explicit TRdaExprProgram(TRdaExpressionTreeReader& reference);
  TRdaExprProgram(const TRdaExprProgram&) = delete;
  TRdaExprProgram& operator=(const TRdaExprProgram&) = delete;

  // The value for the dataset's record in use.
  Variant Evaluate();
  // A filter's answer: the value is neither null nor empty and reads as true.
  // record, when given, is the record in use as a record buffer of the
  // dataset (its row image first): the data fields are then read from it
  // directly instead of through their field objects.
  bool Accepts(const char* record = nullptr);

  // Instructions, and the deepest the stack gets (for tests and benchmarks).
  size_t Size() const { return code_.size(); }
  size_t StackDepth() const { return stack_.size(); }

 private:
  enum Op : uint8_t;
  struct Instr {
    Op op;
    uint8_t aux;
    uint16_t extra;
    int32_t arg;
    // kFieldCompare on a row image: how the field meets the constant.
    enum Mode : uint8_t { kAny, kTextBytes, kReal } mode = kAny;
    double real = 0;  // kReal: the constant
  };
  // How a field's value is read: through the typed accessor of its class,
  // giving the kind its Value() gives, or through Value() itself.
  struct FieldRef {
    enum Kind : uint8_t { kGeneric, kText, kInteger, kLarge, kFloat, kCurrency, kDateTime, kBoolean };
    TField* field;
    Kind kind;
    VarType type;
    // Where a data field lies in a row image, when it can be read there with
    // the result its field object gives (code 0: it cannot).
    uint8_t code = 0;
    uint8_t nullMask = 0;
    int32_t nullByte = 0;
    int32_t offset = 0;
    int32_t size = 0;
  };

  // Compiling
  void Emit(uint16_t node, int depth);
  void EmitIn(uint16_t element, int depth);
  bool Fused(uint16_t node, uint32_t op);
  bool Pure(uint16_t node, int depth);
  void Push(Op op, int32_t arg = 0, uint8_t aux = 0, uint16_t extra = 0);
  // The fastest exact way a field of ref compares with constant k.
  static Instr::Mode CompareMode(const FieldRef& ref, const Variant& k, double& real);
  // The stack grows (or shrinks) by n values.
  void Grow(int n) {
    stackNow_ += n;
    depth_ = std::max(depth_, stackNow_);
  }
  void Raise(std::string message);
  int32_t FieldIndex(uint16_t node);

  // Running
  const TRdaExprValue& Run(const char* record);
  void ReadField(const FieldRef& ref, TField& field, TRdaExprValue& out, size_t pc);
  // A field's value (from record when it can be read there); false for null.
  bool Fetch(const FieldRef& ref, const char* record, TRdaExprValue& v, size_t pc);
  void PlaceField(FieldRef& ref);
  void Function(const Instr& in, TRdaExprValue* args, size_t pc);
  void Fallback(const Instr& in, TRdaExprValue& a, const TRdaExprValue& b, size_t pc);
  std::string_view TextOf(const TRdaExprValue& v, std::string& scratch);
  void Keep(Variant value, TRdaExprValue& out, size_t pc);

  TRdaExpressionTreeReader& reference_;
  TDataSet& dataSet_;
  TRdaExprTree tree_;
  std::vector<Instr> code_;
  std::vector<FieldRef> fields_;
  std::deque<Variant> constants_;
  std::vector<TRdaExprValue> constantValues_;
  std::vector<std::string> messages_;
  int depth_ = 0;
  int stackNow_ = 0;
  // Kept aside for the runs.
  std::vector<TRdaExprValue> stack_;
  std::vector<std::string> text_;   // per instruction: the text it made
  std::vector<std::string> text2_;  // per instruction: a second operand's text
  std::vector<Variant> boxes_;      // per instruction: a value kept as a Variant
  bool running_ = false;
};

}  // namespace rda
