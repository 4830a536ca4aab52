#include "memdata/RdaRowList.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "memdata/store/RdaLargeBlocks.h"

namespace rda {

namespace {

// Nodes filled by Assign: three quarters full, so that inserts after a
// build split late.
constexpr int kAssignLeafFill = TRdaRowList::kLeafCapacity * 3 / 4;
constexpr int kAssignFanout = TRdaRowList::kFanout * 3 / 4;

// A node below a quarter of its capacity joins a neighbour when the two fit
// in three quarters of one (so that the joined node does not split again at
// once).
constexpr int Underfull(int capacity) { return capacity / 4; }
constexpr int JoinLimit(int capacity) { return capacity * 3 / 4; }

}  // namespace

// ---- Node memory ----

namespace {

// Every node takes one slot of whole cache lines, leaf or inner.
template <typename A, typename B>
constexpr size_t NodeBytes() {
  return (std::max(sizeof(A), sizeof(B)) + 63) / 64 * 64;
}
constexpr size_t kFirstChunkNodes = 4;

}  // namespace

void* TRdaRowList::NodePool::Take() {
  if (free_) {
    void* node = free_;
    free_ = *static_cast<void**>(node);
    return node;
  }
  constexpr size_t kNode = NodeBytes<Leaf, Inner>();
  if (next_ == end_) {
    // Each chunk holds as many nodes as all before it, up to a large block.
    size_t bytes = std::max(slots_, kFirstChunkNodes) * kNode;
    Chunk chunk{nullptr, 0, bytes >= kRdaLargePage};
    if (chunk.large) {
      bytes = kRdaLargePage;
      chunk.memory = RdaAllocLargeBlock(bytes);
    } else {
      chunk.memory = ::operator new(bytes, std::align_val_t{64});
    }
    chunk.bytes = bytes;
    try {
      chunks_.push_back(chunk);
    } catch (...) {
      if (chunk.large) {
        RdaFreeLargeBlock(chunk.memory, bytes);
      } else {
        ::operator delete(chunk.memory, std::align_val_t{64});
      }
      throw;
    }
    next_ = static_cast<char*>(chunk.memory);
    end_ = next_ + bytes / kNode * kNode;
    slots_ += bytes / kNode;
  }
  void* node = next_;
  next_ += kNode;
  return node;
}

void TRdaRowList::NodePool::Give(void* node) {
  *static_cast<void**>(node) = free_;
  free_ = node;
}

void TRdaRowList::NodePool::Release() {
  for (const Chunk& chunk : chunks_) {
    if (chunk.large) {
      RdaFreeLargeBlock(chunk.memory, chunk.bytes);
    } else {
      ::operator delete(chunk.memory, std::align_val_t{64});
    }
  }
  chunks_.clear();
  next_ = end_ = nullptr;
  free_ = nullptr;
  slots_ = 0;
}

TRdaRowList::Leaf* TRdaRowList::NewLeaf() { return new (pool_.Take()) Leaf; }
TRdaRowList::Inner* TRdaRowList::NewInner() { return new (pool_.Take()) Inner; }
void TRdaRowList::Free(Leaf* leaf) { pool_.Give(leaf); }
void TRdaRowList::Free(Inner* inner) { pool_.Give(inner); }

// ---- The tree ----

void TRdaRowList::Clear() {
  pool_.Release();
  root_ = nullptr;
  height_ = 0;
  count_ = 0;
  head_ = tail_ = nullptr;
  cacheLeaf_ = nullptr;
}

const TRdaRowRef& TRdaRowList::FirstOf(const void* node, int level) const {
  return level == 0 ? static_cast<const Leaf*>(node)->items[0] : static_cast<const Inner*>(node)->firsts[0];
}

TRdaRowList::Leaf* TRdaRowList::Descend(int position, bool insert, Path& path, int& start) const {
  void* node = root_;
  start = 0;
  // An insert at a child's end goes to that child, so that an append
  // changes no first entry; an end position to the end of the last child.
  const int past = insert ? 1 : 0;
  for (int level = height_; level > 0; --level) {
    Inner* inner = static_cast<Inner*>(node);
    int i = 0;
    while (i < inner->count - 1 && position - start >= inner->sizes[i] + past) start += inner->sizes[i++];
    path.nodes[height_ - level] = inner;
    path.index[height_ - level] = i;
    node = inner->children[i];
  }
  return static_cast<Leaf*>(node);
}

const TRdaRowRef& TRdaRowList::RefAt(int position) const {
  if (cacheLeaf_ && position >= cacheStart_ && position < cacheStart_ + cacheLeaf_->count) {
    return cacheLeaf_->items[position - cacheStart_];
  }
  const void* node = root_;
  int start = 0;
  for (int level = height_; level > 0; --level) {
    const Inner* inner = static_cast<const Inner*>(node);
    int i = 0;
    while (position - start >= inner->sizes[i]) start += inner->sizes[i++];
    node = inner->children[i];
  }
  const Leaf* leaf = static_cast<const Leaf*>(node);
  cacheLeaf_ = leaf;
  cacheStart_ = start;
  return leaf->items[position - start];
}

// The path holds the inner nodes from the root (path level 0) down; tree
// level L (0: the leaves) has its parent at path level height_ - L - 1.
void TRdaRowList::FixFirsts(const Path& path, int level) {
  for (int l = level; l < height_; ++l) {
    const int p = height_ - l - 1;
    Inner* parent = path.nodes[p];
    const int i = path.index[p];
    const void* child = parent->children[i];
    parent->firsts[i] = FirstOf(child, l);
    if (i != 0) return;
  }
}

void TRdaRowList::Insert(int position, TRdaRowRef ref) {
  if (!root_) {
    Leaf* leaf = NewLeaf();
    root_ = head_ = tail_ = leaf;
    height_ = 0;
  }
  Path path;
  int start;
  Leaf* leaf = Descend(position, true, path, start);
  const int offset = position - start;
  std::memmove(&leaf->items[offset + 1], &leaf->items[offset],
               static_cast<size_t>(leaf->count - offset) * sizeof(TRdaRowRef));
  leaf->items[offset] = ref;
  ++leaf->count;
  ++count_;
  for (int p = 0; p < height_; ++p) ++path.nodes[p]->sizes[path.index[p]];
  if (offset == 0) FixFirsts(path, 0);
  if (leaf->count > kLeafCapacity) {
    Split(path, 0, leaf);
    cacheLeaf_ = nullptr;
  } else {
    cacheLeaf_ = leaf;
    cacheStart_ = start;
  }
}

void TRdaRowList::Split(Path& path, int level, void* node) {
  void* sibling;
  int moved;
  TRdaRowRef first;
  if (level == 0) {
    Leaf* leaf = static_cast<Leaf*>(node);
    Leaf* right = NewLeaf();
    const int keep = leaf->count / 2;
    moved = leaf->count - keep;
    std::memcpy(right->items, &leaf->items[keep], static_cast<size_t>(moved) * sizeof(TRdaRowRef));
    right->count = moved;
    leaf->count = keep;
    right->prev = leaf;
    right->next = leaf->next;
    if (leaf->next) {
      leaf->next->prev = right;
    } else {
      tail_ = right;
    }
    leaf->next = right;
    sibling = right;
    first = right->items[0];
  } else {
    Inner* inner = static_cast<Inner*>(node);
    Inner* right = NewInner();
    const int keep = inner->count / 2;
    const int children = inner->count - keep;
    moved = 0;
    for (int i = 0; i < children; ++i) {
      right->sizes[i] = inner->sizes[keep + i];
      right->firsts[i] = inner->firsts[keep + i];
      right->children[i] = inner->children[keep + i];
      moved += right->sizes[i];
    }
    right->count = children;
    inner->count = keep;
    sibling = right;
    first = right->firsts[0];
  }
  if (level == height_) {
    // The root split: a new root above the two halves.
    Inner* root = NewInner();
    root->count = 2;
    root->children[0] = node;
    root->sizes[0] = count_ - moved;
    root->firsts[0] = FirstOf(node, level);
    root->children[1] = sibling;
    root->sizes[1] = moved;
    root->firsts[1] = first;
    root_ = root;
    ++height_;
    return;
  }
  const int p = height_ - level - 1;
  Inner* parent = path.nodes[p];
  const int at = path.index[p] + 1;
  for (int i = parent->count; i > at; --i) {
    parent->sizes[i] = parent->sizes[i - 1];
    parent->firsts[i] = parent->firsts[i - 1];
    parent->children[i] = parent->children[i - 1];
  }
  parent->sizes[at - 1] -= moved;
  parent->sizes[at] = moved;
  parent->firsts[at] = first;
  parent->children[at] = sibling;
  ++parent->count;
  if (parent->count > kFanout) Split(path, level + 1, parent);
}

void TRdaRowList::Unlink(Leaf* leaf) {
  if (leaf->prev) {
    leaf->prev->next = leaf->next;
  } else {
    head_ = leaf->next;
  }
  if (leaf->next) {
    leaf->next->prev = leaf->prev;
  } else {
    tail_ = leaf->prev;
  }
}

void TRdaRowList::Erase(int position) {
  Path path;
  int start;
  Leaf* leaf = Descend(position, false, path, start);
  const int offset = position - start;
  std::memmove(&leaf->items[offset], &leaf->items[offset + 1],
               static_cast<size_t>(leaf->count - offset - 1) * sizeof(TRdaRowRef));
  --leaf->count;
  --count_;
  for (int p = 0; p < height_; ++p) --path.nodes[p]->sizes[path.index[p]];
  cacheLeaf_ = nullptr;
  if (count_ == 0) {
    Clear();
    return;
  }
  if (offset == 0 && leaf->count > 0) FixFirsts(path, 0);
  if (leaf->count >= Underfull(kLeafCapacity)) {
    cacheLeaf_ = leaf;
    cacheStart_ = start;
    return;
  }
  Rebalance(path, 0, leaf);
}

void TRdaRowList::RemoveChild(Path& path, int level, int child) {
  // `level` is the tree level of the parent losing the child.
  const int p = height_ - level;
  Inner* parent = path.nodes[p];
  for (int i = child; i + 1 < parent->count; ++i) {
    parent->sizes[i] = parent->sizes[i + 1];
    parent->firsts[i] = parent->firsts[i + 1];
    parent->children[i] = parent->children[i + 1];
  }
  --parent->count;
  if (parent->count > 0 && child == 0) FixFirsts(path, level);
  Rebalance(path, level, parent);
}

void TRdaRowList::Rebalance(Path& path, int level, void* node) {
  if (level == height_) {
    // The root: an inner root with one child gives way to it.
    while (height_ > 0 && static_cast<Inner*>(root_)->count == 1) {
      Inner* old = static_cast<Inner*>(root_);
      root_ = old->children[0];
      --height_;
      Free(old);
    }
    return;
  }
  const int capacity = level == 0 ? kLeafCapacity : kFanout;
  const int size = level == 0 ? static_cast<Leaf*>(node)->count : static_cast<Inner*>(node)->count;
  const int p = height_ - level - 1;
  Inner* parent = path.nodes[p];
  const int at = path.index[p];
  if (size == 0) {
    if (level == 0) {
      Unlink(static_cast<Leaf*>(node));
      Free(static_cast<Leaf*>(node));
    } else {
      Free(static_cast<Inner*>(node));
    }
    RemoveChild(path, level + 1, at);
    return;
  }
  if (size >= Underfull(capacity)) return;
  // Join with the smaller neighbour when both fit: the right one of the
  // pair moves into the left one.
  int left = -1;
  auto sizeOf = [&](int i) {
    return level == 0 ? static_cast<Leaf*>(parent->children[i])->count : static_cast<Inner*>(parent->children[i])->count;
  };
  if (at > 0 && (at + 1 >= parent->count || sizeOf(at - 1) <= sizeOf(at + 1))) {
    left = at - 1;
  } else if (at + 1 < parent->count) {
    left = at;
  }
  if (left < 0 || sizeOf(left) + sizeOf(left + 1) > JoinLimit(capacity)) return;
  void* into = parent->children[left];
  void* from = parent->children[left + 1];
  if (level == 0) {
    Leaf* a = static_cast<Leaf*>(into);
    Leaf* b = static_cast<Leaf*>(from);
    std::memcpy(&a->items[a->count], b->items, static_cast<size_t>(b->count) * sizeof(TRdaRowRef));
    a->count += b->count;
    Unlink(b);
    Free(b);
  } else {
    Inner* a = static_cast<Inner*>(into);
    Inner* b = static_cast<Inner*>(from);
    for (int i = 0; i < b->count; ++i) {
      a->sizes[a->count + i] = b->sizes[i];
      a->firsts[a->count + i] = b->firsts[i];
      a->children[a->count + i] = b->children[i];
    }
    a->count += b->count;
    Free(b);
  }
  parent->sizes[left] += parent->sizes[left + 1];
  // The joined node keeps the left one's first entry: nothing above changes
  // but the parent's list of children.
  RemoveChild(path, level + 1, left + 1);
}

void TRdaRowList::Assign(const std::vector<TRdaRowRef>& refs) {
  Clear();
  if (refs.empty()) return;
  // The leaves, then each level above from the one below.
  std::vector<void*> nodes;
  std::vector<int> sizes;
  for (size_t i = 0; i < refs.size(); i += kAssignLeafFill) {
    Leaf* leaf = NewLeaf();
    const size_t n = std::min(refs.size() - i, static_cast<size_t>(kAssignLeafFill));
    std::copy_n(refs.begin() + static_cast<std::ptrdiff_t>(i), n, leaf->items);
    leaf->count = static_cast<int>(n);
    leaf->prev = tail_;
    if (tail_) {
      tail_->next = leaf;
    } else {
      head_ = leaf;
    }
    tail_ = leaf;
    nodes.push_back(leaf);
    sizes.push_back(leaf->count);
  }
  count_ = static_cast<int>(refs.size());
  int level = 0;
  while (nodes.size() > 1) {
    std::vector<void*> up;
    std::vector<int> upSizes;
    for (size_t i = 0; i < nodes.size(); i += kAssignFanout) {
      Inner* inner = NewInner();
      const size_t n = std::min(nodes.size() - i, static_cast<size_t>(kAssignFanout));
      int total = 0;
      for (size_t c = 0; c < n; ++c) {
        inner->children[c] = nodes[i + c];
        inner->sizes[c] = sizes[i + c];
        inner->firsts[c] = FirstOf(nodes[i + c], level);
        total += sizes[i + c];
      }
      inner->count = static_cast<int>(n);
      up.push_back(inner);
      upSizes.push_back(total);
    }
    nodes = std::move(up);
    sizes = std::move(upSizes);
    ++level;
  }
  root_ = nodes.empty() ? nullptr : nodes.front();
  height_ = level;
}

const TRdaRowRef& TRdaRowList::RefreshFirsts(void* node, int level) {
  if (level == 0) return static_cast<Leaf*>(node)->items[0];
  Inner* inner = static_cast<Inner*>(node);
  for (int i = 0; i < inner->count; ++i) inner->firsts[i] = RefreshFirsts(inner->children[i], level - 1);
  return inner->firsts[0];
}

std::string TRdaRowList::VerifyNode(const void* node, int level, int& total, const Leaf*& expectNext) const {
  if (level == 0) {
    const Leaf* leaf = static_cast<const Leaf*>(node);
    if (leaf->count < 1 || leaf->count > kLeafCapacity) return "a leaf is empty or over its capacity";
    if (leaf != expectNext) return "the chain of leaves is not the tree's order";
    for (int i = 0; i < leaf->count; ++i) {
      if (leaf->items[i].Row == nullptr) return "a null row in the list";
    }
    expectNext = leaf->next;
    total = leaf->count;
    return {};
  }
  const Inner* inner = static_cast<const Inner*>(node);
  if (inner->count < 1 || inner->count > kFanout) return "an inner node is empty or over its capacity";
  total = 0;
  for (int i = 0; i < inner->count; ++i) {
    int below = 0;
    if (std::string e = VerifyNode(inner->children[i], level - 1, below, expectNext); !e.empty()) return e;
    if (below != inner->sizes[i]) return "an inner node's count is not the entries below it";
    const TRdaRowRef& first = FirstOf(inner->children[i], level - 1);
    if (first.Key != inner->firsts[i].Key || first.Row != inner->firsts[i].Row) {
      return "an inner node's first entry is not its child's";
    }
    total += below;
  }
  return {};
}

std::string TRdaRowList::Verify() const {
  if (!root_) {
    if (count_ != 0 || head_ || tail_ || height_ != 0) return "an empty list keeps nodes or a count";
    return {};
  }
  if (height_ >= Path::kMaxHeight) return "the tree is too high";
  const Leaf* expectNext = head_;
  if (head_ && head_->prev) return "the first leaf has a predecessor";
  int total = 0;
  if (std::string e = VerifyNode(root_, height_, total, expectNext); !e.empty()) return e;
  if (expectNext != nullptr) return "the chain of leaves runs past the tree";
  if (total != count_) return "the count is not the leaves' total";
  for (const Leaf* leaf = head_; leaf; leaf = leaf->next) {
    if (leaf->next ? leaf->next->prev != leaf : tail_ != leaf) return "the chain of leaves is broken backwards";
  }
  return {};
}

}  // namespace rda
