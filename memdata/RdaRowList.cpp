#include "memdata/RdaRowList.h"

#include <algorithm>
#include <bit>

namespace rda {

namespace {

// Blocks filled by Assign: three quarters full, so that inserts after a
// build split late.
constexpr int kAssignFill = TRdaRowList::kBlockCapacity * 3 / 4;
// A block this small merges with a neighbour when both fit in half a block.
constexpr int kMergeBelow = TRdaRowList::kBlockCapacity / 8;

}  // namespace

void TRdaRowList::RebuildTree() {
  const size_t n = blocks_.size();
  firstKeys_.resize(n);
  for (size_t i = 0; i < n; ++i) firstKeys_[i] = blocks_[i].items.empty() ? 0 : blocks_[i].items.front().Key;
  RebuildSizes();
}

// The block sizes sit in the block array itself: rebuilding the tree reads no
// block's entries, which a large list mostly has out of the cache.
void TRdaRowList::RebuildSizes() {
  const size_t n = blocks_.size();
  tree_.assign(n + 1, 0);
  for (size_t i = 1; i <= n; ++i) {
    tree_[i] += static_cast<int>(blocks_[i - 1].items.size());
    const size_t parent = i + (i & (~i + 1));
    if (parent <= n) tree_[parent] += tree_[i];
  }
  cacheBlock_ = -1;
}

void TRdaRowList::AddToTree(int block, int delta) {
  for (size_t i = static_cast<size_t>(block) + 1; i < tree_.size(); i += i & (~i + 1)) {
    tree_[i] += delta;
  }
}

void TRdaRowList::Find(int position, int& block, int& start) const {
  if (cacheBlock_ >= 0 && position >= cacheStart_ &&
      position < cacheStart_ + static_cast<int>(blocks_[static_cast<size_t>(cacheBlock_)].items.size())) {
    block = cacheBlock_;
    start = cacheStart_;
    return;
  }
  // The Fenwick descent: the last block whose preceding entries are at most
  // `position`.
  const size_t n = blocks_.size();
  size_t index = 0;
  int before = 0;
  for (size_t step = std::bit_floor(n); step > 0; step >>= 1) {
    const size_t next = index + step;
    if (next <= n && before + tree_[next] <= position) {
      index = next;
      before += tree_[next];
    }
  }
  block = static_cast<int>(index);
  start = before;
  cacheBlock_ = block;
  cacheStart_ = start;
}

int TRdaRowList::StartOf(int block) const {
  int sum = 0;
  for (size_t i = static_cast<size_t>(block); i > 0; i -= i & (~i + 1)) sum += tree_[i];
  return sum;
}

const TRdaRowRef& TRdaRowList::RefAt(int position) const {
  int block, start;
  Find(position, block, start);
  return blocks_[static_cast<size_t>(block)].items[static_cast<size_t>(position - start)];
}

void TRdaRowList::Insert(int position, TRdaRowRef ref) {
  if (blocks_.empty()) {
    blocks_.push_back(Block{});
    blocks_.back().items.reserve(kBlockCapacity + 1);
    RebuildTree();
  }
  int block, start;
  if (position >= count_) {
    block = static_cast<int>(blocks_.size()) - 1;
    start = count_ - static_cast<int>(blocks_.back().items.size());
  } else {
    Find(position, block, start);
  }
  std::vector<TRdaRowRef>& items = blocks_[static_cast<size_t>(block)].items;
  items.insert(items.begin() + (position - start), ref);
  firstKeys_[static_cast<size_t>(block)] = items.front().Key;
  ++count_;
  if (static_cast<int>(items.size()) > kBlockCapacity) {
    // Split in halves; the tree is rebuilt for the new block.
    Block tail;
    tail.items.reserve(kBlockCapacity + 1);
    const auto middle = items.begin() + static_cast<std::ptrdiff_t>(items.size() / 2);
    tail.items.assign(middle, items.end());
    items.erase(middle, items.end());
    firstKeys_.insert(firstKeys_.begin() + block + 1, tail.items.front().Key);
    blocks_.insert(blocks_.begin() + block + 1, std::move(tail));
    RebuildSizes();
  } else {
    AddToTree(block, 1);
    cacheBlock_ = block;
    cacheStart_ = start;
  }
}

void TRdaRowList::Erase(int position) {
  int block, start;
  Find(position, block, start);
  std::vector<TRdaRowRef>& items = blocks_[static_cast<size_t>(block)].items;
  items.erase(items.begin() + (position - start));
  if (!items.empty()) firstKeys_[static_cast<size_t>(block)] = items.front().Key;
  --count_;
  const int size = static_cast<int>(items.size());
  if (size == 0 && blocks_.size() > 1) {
    blocks_.erase(blocks_.begin() + block);
    firstKeys_.erase(firstKeys_.begin() + block);
    RebuildSizes();
    return;
  }
  if (size < kMergeBelow && blocks_.size() > 1) {
    // Merge with the smaller neighbour when both fit in half a block.
    const int left = block - 1;
    const int right = block + 1 < static_cast<int>(blocks_.size()) ? block + 1 : -1;
    int other = -1;
    if (left >= 0 && (right < 0 || blocks_[static_cast<size_t>(left)].items.size() <=
                                       blocks_[static_cast<size_t>(right)].items.size())) {
      other = left;
    } else {
      other = right;
    }
    if (other >= 0 &&
        size + static_cast<int>(blocks_[static_cast<size_t>(other)].items.size()) <= kBlockCapacity / 2) {
      const int first = std::min(block, other);
      std::vector<TRdaRowRef>& into = blocks_[static_cast<size_t>(first)].items;
      const std::vector<TRdaRowRef>& from = blocks_[static_cast<size_t>(first + 1)].items;
      into.insert(into.end(), from.begin(), from.end());
      blocks_.erase(blocks_.begin() + first + 1);
      firstKeys_.erase(firstKeys_.begin() + first + 1);
      RebuildSizes();
      return;
    }
  }
  AddToTree(block, -1);
  cacheBlock_ = block;
  cacheStart_ = start;
}

void TRdaRowList::Assign(const std::vector<TRdaRowRef>& refs) {
  blocks_.clear();
  for (size_t i = 0; i < refs.size(); i += kAssignFill) {
    Block b;
    b.items.reserve(kBlockCapacity + 1);
    b.items.assign(refs.begin() + static_cast<std::ptrdiff_t>(i),
                   refs.begin() + static_cast<std::ptrdiff_t>(std::min(refs.size(), i + kAssignFill)));
    blocks_.push_back(std::move(b));
  }
  count_ = static_cast<int>(refs.size());
  RebuildTree();
}

void TRdaRowList::Clear() {
  blocks_.clear();
  firstKeys_.clear();
  tree_.clear();
  count_ = 0;
  cacheBlock_ = -1;
}

std::string TRdaRowList::Verify() const {
  if (tree_.size() != blocks_.size() + 1 && !(blocks_.empty() && tree_.empty())) {
    return "the block tree does not fit the blocks";
  }
  if (firstKeys_.size() != blocks_.size()) return "the first keys do not fit the blocks";
  int total = 0;
  for (size_t i = 0; i < blocks_.size(); ++i) {
    const int size = static_cast<int>(blocks_[i].items.size());
    if (size > kBlockCapacity) return "a block holds more than its capacity";
    if (size == 0 && blocks_.size() > 1) return "an empty block among others";
    total += size;
    // The tree's prefix sum up to block i must be the running total.
    int sum = 0;
    for (size_t j = i + 1; j > 0; j -= j & (~j + 1)) sum += tree_[j];
    if (sum != total) return "the block tree's sums are wrong";
    for (const TRdaRowRef& r : blocks_[i].items) {
      if (r.Row == nullptr) return "a null row in the list";
    }
    if (size > 0 && firstKeys_[i] != blocks_[i].items.front().Key) {
      return "a block's first key is not kept";
    }
  }
  if (total != count_) return "the count is not the blocks' total";
  return {};
}

}  // namespace rda
