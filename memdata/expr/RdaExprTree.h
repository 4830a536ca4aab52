// The expression tree: the byte layout in which a parsed filter, constraint or
// default expression is kept (the layout of the platform's filter
// descriptor), the numbers it uses, and a bounds-checked view for reading it.
//
// All numbers are little-endian.
//
//   header      offset size
//               0      2    version (kRdaExprVersion)
//               2      2    total size: header + node pool + literal pool
//               4      2    node count
//               6      2    start of the node pool (kRdaExprHeaderSize)
//               8      2    start of the literal pool
//
//   node pool   the nodes one after another, the root at node offset 0;
//               every node is its class (32-bit) and operator (32-bit)
//               followed by 16-bit fields:
//
//     class         no  fields after class and operator                 bytes
//     unary          1  operand                                          10
//     binary         2  operand 1, operand 2                             12
//     compare        3  case-insensitive (16-bit Boolean), partial       16
//                       length (0 = whole text), operand 1, operand 2
//     field          4  field number (signed; below 0: look the field    12
//                       up by name), name
//     constant       5  value type, size in bytes, value                 14
//     function      10  name, first argument element (0 = none)          12
//     list element  11  value, next element (0 = last)                   12
//
//   Operands, values and elements are node offsets (from the start of the
//   node pool); names and constant values are literal offsets (from the
//   start of the literal pool). The root sits at node offset 0, so no link
//   points at it and 0 can mean "none".
//
//   literal     NUL-terminated names, and constant values in the encoding of
//   pool        their type:
//
//     type (field type numbers)  stored as
//     1 string                   the characters and a NUL; size = length + 1
//     2 small integer            16-bit signed
//     3 integer, 14 auto-inc     32-bit signed
//     4 word                     16-bit unsigned
//     5 Boolean                  1 byte, 1 = true
//     6 float                    IEEE 64-bit double
//     8 BCD                      the 34-byte packed decimal record (base/Bcd.h)
//     9 date                     32-bit day number, 0001-01-01 = day 1
//     10 time                    32-bit unsigned milliseconds since midnight
//     11 date-time               IEEE 64-bit double: milliseconds since
//                                0001-01-01, days counted as for dates
//     25 large integer           64-bit signed
//     36 time stamp              the 16-byte SQL time-stamp record
//     any other                  nothing read; the value is the type number
//
// The 16-bit offsets and sizes cap a tree at 65,535 bytes.
//
// Stored format: the class, operator and type numbers are never renumbered.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace rda {

// Node classes (stored values, never renumber).
enum TRdaExprNodeClass : uint32_t {
  ncUnary = 1,
  ncBinary = 2,
  ncCompare = 3,
  ncField = 4,
  ncConst = 5,
  ncFunc = 10,
  ncListElem = 11,
};

// Operators (stored values, never renumber).
enum TRdaExprOperator : uint32_t {
  coIsBlank = 1,
  coNotBlank = 2,
  coEQ = 3,
  coNE = 4,
  coGT = 5,
  coLT = 6,
  coGE = 7,
  coLE = 8,
  coNot = 9,
  coAnd = 10,
  coOr = 11,
  coField = 13,
  coConst = 14,
  coMinus = 15,
  coAdd = 16,
  coSub = 17,
  coMul = 18,
  coDiv = 19,
  coIntDiv = 20,
  coMod = 21,
  coMin = 24,
  coMax = 25,
  coLike = 30,
  coIn = 31,
  coFunc = 35,
  coListElem = 36,
  coAssign = 37,
};

inline constexpr uint16_t kRdaExprVersion = 2;
inline constexpr size_t kRdaExprHeaderSize = 5 * 2;
inline constexpr size_t kRdaExprNodeHeader = 4 + 4;  // class, operator
inline constexpr size_t kRdaExprMaxSize = 65535;

// The bytes of a node of that class; 0 for a class without a layout.
size_t RdaExprNodeSize(uint32_t nodeClass);

// The days between 0001-01-01 (day 1) and 1899-12-30 (date-time 0).
inline constexpr int32_t kRdaExprDateDelta = 693594;

// A tree held as its bytes, read with every offset checked. The
// constructor checks the header; reads past the end raise EDatabaseError
// "Invalid expression tree: <what>".
class TRdaExprTree {
 public:
  TRdaExprTree() = default;
  explicit TRdaExprTree(std::string bytes);

  const std::string& Bytes() const { return bytes_; }
  bool Empty() const { return bytes_.empty(); }
  uint16_t NodeCount() const { return nodeCount_; }
  // The bytes of the node pool.
  size_t NodePoolSize() const { return literalStart_ - nodeStart_; }

  uint32_t NodeClass(uint16_t node) const { return U32(NodeAt(node, 4)); }
  uint32_t Operator(uint16_t node) const { return U32(NodeAt(node, 8) + 4); }
  // The i-th 16-bit field after class and operator (i from 0).
  uint16_t Field(uint16_t node, int i) const;
  int16_t SignedField(uint16_t node, int i) const { return static_cast<int16_t>(Field(node, i)); }
  // A NUL-terminated text in the literal pool (without its NUL).
  std::string_view Name(uint16_t offset) const;
  // size bytes of the literal pool from offset.
  std::string_view Literal(uint16_t offset, size_t size) const;

 private:
  const char* NodeAt(uint16_t node, size_t bytes) const;
  static uint32_t U32(const char* p);
  [[noreturn]] static void Invalid(const std::string& what);

  std::string bytes_;
  uint16_t nodeCount_ = 0;
  size_t nodeStart_ = kRdaExprHeaderSize;
  size_t literalStart_ = kRdaExprHeaderSize;
};

}  // namespace rda
