#include "memdata/expr/RdaExprTree.h"

#include "base/ByteIO.h"
#include "base/Exception.h"

namespace rda {

size_t RdaExprNodeSize(uint32_t nodeClass) {
  switch (nodeClass) {
    case ncUnary: return kRdaExprNodeHeader + 1 * 2;
    case ncBinary: return kRdaExprNodeHeader + 2 * 2;
    case ncCompare: return kRdaExprNodeHeader + 4 * 2;
    case ncField: return kRdaExprNodeHeader + 2 * 2;
    case ncConst: return kRdaExprNodeHeader + 3 * 2;
    case ncFunc: return kRdaExprNodeHeader + 2 * 2;
    case ncListElem: return kRdaExprNodeHeader + 2 * 2;
    default: return 0;
  }
}

TRdaExprTree::TRdaExprTree(std::string bytes) : bytes_(std::move(bytes)) {
  if (bytes_.size() < kRdaExprHeaderSize) Invalid("shorter than its header");
  const char* p = bytes_.data();
  const size_t total = LoadU16LE(p + 2);
  nodeCount_ = LoadU16LE(p + 4);
  nodeStart_ = LoadU16LE(p + 6);
  literalStart_ = LoadU16LE(p + 8);
  if (total != bytes_.size()) Invalid("its size is not the size in its header");
  if (nodeStart_ < kRdaExprHeaderSize || literalStart_ < nodeStart_ || literalStart_ > total) {
    Invalid("its pools do not follow its header");
  }
  if (literalStart_ == nodeStart_) Invalid("it has no root node");
}

const char* TRdaExprTree::NodeAt(uint16_t node, size_t bytes) const {
  if (node + bytes > NodePoolSize()) Invalid("node " + std::to_string(node) + " lies outside the node pool");
  return bytes_.data() + nodeStart_ + node;
}

uint32_t TRdaExprTree::U32(const char* p) { return LoadU32LE(p); }

uint16_t TRdaExprTree::Field(uint16_t node, int i) const {
  const size_t at = kRdaExprNodeHeader + 2 * static_cast<size_t>(i);
  return LoadU16LE(NodeAt(node, at + 2) + at);
}

std::string_view TRdaExprTree::Name(uint16_t offset) const {
  const std::string_view pool = std::string_view(bytes_).substr(literalStart_);
  if (offset >= pool.size()) Invalid("a name lies outside the literal pool");
  const size_t end = pool.find('\0', offset);
  if (end == std::string_view::npos) Invalid("a name has no terminating NUL");
  return pool.substr(offset, end - offset);
}

std::string_view TRdaExprTree::Literal(uint16_t offset, size_t size) const {
  const std::string_view pool = std::string_view(bytes_).substr(literalStart_);
  if (offset + size > pool.size()) Invalid("a constant lies outside the literal pool");
  return pool.substr(offset, size);
}

void TRdaExprTree::Invalid(const std::string& what) {
  throw EDatabaseError("Invalid expression tree: " + what);
}

}  // namespace rda
