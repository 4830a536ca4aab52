// TRdaRowList: the row list of an index, an ordered sequence of references to
// rows of a store that takes inserts and removals anywhere.
//
// One flat array would move its whole tail on every insert in the middle, so
// a maintained index on a growing store would cost O(n) per row. The list is
// a counted B+-tree instead: leaves hold up to kLeafCapacity entries in
// order and are chained both ways; an inner node holds up to kFanout
// children with, for each, the number of entries below it and a copy of its
// first entry. Every path from the root to a leaf has the same length.
//
//   position -> entry     O(log n), O(1) when it falls in the leaf of the
//                         previous access (a scan)
//   insert / erase        O(log n) + a move inside one leaf; a full node
//                         splits in halves, a node that falls below a
//                         quarter joins a neighbour when both fit in three
//                         quarters of one, an emptied node leaves its parent
//   search                one path: the first entries kept in the inner
//                         nodes decide each step, so a search reads one leaf
//
// At a million entries the upper levels stay in the cache and a step reads
// one leaf (about 1 KB) besides them; a search or an insert does no work
// that grows with the list beyond the path. The nodes come from chunks that
// grow with the list up to large blocks (RdaLargeBlocks.h), so that a large
// list spans few pages; a node that goes waits in a free list for the next,
// and the chunks go with Clear (or the list).
//
// Each entry carries, besides the row, a 64-bit key that its index derives
// from the row's first key field (RdaIndexes.h): comparing two keys first
// saves reading both rows for most comparisons. The list itself gives keys
// no meaning.
//
// Invariants (Verify checks them): every leaf is at the same depth; a node
// holds at least one entry or child (an empty list has no nodes) and at
// most its capacity; an inner node's counts are the entries below each
// child and its first entries are its children's first entries; Count() is
// the root's total; the chain of leaves runs through every leaf in order.
//
// Not thread-safe; the rows are observed, not owned.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace rda {

class TRdaDBListItem;

struct TRdaRowRef {
  uint64_t Key = 0;
  TRdaDBListItem* Row = nullptr;
};

class TRdaRowList {
 public:
  // A leaf of 64 entries is 1 KB: a search reads a few of its lines, an
  // insert moves half of it.
  static constexpr int kLeafCapacity = 64;
  static constexpr int kFanout = 32;

  TRdaRowList() = default;
  ~TRdaRowList() = default;
  TRdaRowList(const TRdaRowList&) = delete;
  TRdaRowList& operator=(const TRdaRowList&) = delete;

  int Count() const { return count_; }
  bool Empty() const { return count_ == 0; }
  // Entry at 0 <= position < Count() (not checked).
  const TRdaRowRef& RefAt(int position) const;
  TRdaDBListItem* At(int position) const { return RefAt(position).Row; }
  // The last entry (the list is not empty).
  const TRdaRowRef& Back() const { return tail_->items[tail_->count - 1]; }
  // Inserts before `position` (0..Count()); appends at Count().
  void Insert(int position, TRdaRowRef ref);
  void Erase(int position);
  // Replaces the whole list by `refs`, in their order.
  void Assign(const std::vector<TRdaRowRef>& refs);
  void Clear();

  // Calls f(entry) for every entry in order; f may change the entry's key
  // (not its row) when the list is not const.
  template <typename F>
  void ForEach(F&& f) const {
    for (const Leaf* leaf = head_; leaf; leaf = leaf->next) {
      for (int i = 0; i < leaf->count; ++i) f(leaf->items[i]);
    }
  }
  template <typename F>
  void ForEachKey(F&& f) {
    for (Leaf* leaf = head_; leaf; leaf = leaf->next) {
      for (int i = 0; i < leaf->count; ++i) f(leaf->items[i]);
    }
    if (height_ > 0) RefreshFirsts(root_, height_);
  }

  // The first position whose entry is not `before` the target, where the
  // entries are ordered and before(entry) holds for a prefix of them: one
  // path from the root, each inner node searched by its children's first
  // entries, then one leaf. When useKeys is set, an entry whose key
  // (shifted right by `shift` bits) differs from `key` is before the target
  // exactly when its key is smaller, without a call.
  template <typename Before>
  int LowerBound(uint64_t key, bool useKeys, Before&& before, int shift = 0) const {
    if (count_ == 0) return 0;
    auto isBefore = [&](const TRdaRowRef& e) {
      const uint64_t k = e.Key >> shift;
      return useKeys && k != key ? k < key : before(e);
    };
    const void* node = root_;
    int base = 0;
    for (int level = height_; level > 0; --level) {
      const Inner* inner = static_cast<const Inner*>(node);
      const int lo = FirstNotBefore(inner->firsts, 0, inner->count, isBefore);
      // Below the root a child is entered only when its first entry is
      // before the target, so lo is 0 only at the root.
      if (lo == 0) return 0;
      for (int i = 0; i < lo - 1; ++i) base += inner->sizes[i];
      node = inner->children[lo - 1];
      if (level == 1) PrefetchLeaf(node);
    }
    const Leaf* leaf = static_cast<const Leaf*>(node);
    // Below an inner node, items[0] is before the target.
    const int a = FirstNotBefore(leaf->items, height_ > 0 ? 1 : 0, leaf->count, isBefore);
    // The leaf is remembered: reading the entries found needs no descent.
    cacheLeaf_ = leaf;
    cacheStart_ = base;
    return base + a;
  }

  // "" when the invariants at the top of this file hold, else what broke.
  std::string Verify() const;

 private:
  struct Leaf {
    int count = 0;
    Leaf* prev = nullptr;
    Leaf* next = nullptr;
    // One more than the capacity: an insert lands before the split.
    TRdaRowRef items[kLeafCapacity + 1];
  };
  struct Inner {
    int count = 0;
    int sizes[kFanout + 1];
    TRdaRowRef firsts[kFanout + 1];
    void* children[kFanout + 1];
  };
  // Node memory (see the top of this file).
  class NodePool {
   public:
    NodePool() = default;
    ~NodePool() { Release(); }
    NodePool(const NodePool&) = delete;
    NodePool& operator=(const NodePool&) = delete;
    void* Take();
    void Give(void* node);
    // Frees every chunk (no node may be used after).
    void Release();
    size_t Slots() const { return slots_; }

   private:
    struct Chunk {
      void* memory;
      size_t bytes;
      bool large;
    };
    std::vector<Chunk> chunks_;
    char* next_ = nullptr;
    char* end_ = nullptr;
    void* free_ = nullptr;
    size_t slots_ = 0;  // nodes the chunks hold
  };
  Leaf* NewLeaf();
  Inner* NewInner();
  void Free(Leaf* leaf);
  void Free(Inner* inner);

  // The inner nodes of a descent, root first, and the child taken in each.
  struct Path {
    static constexpr int kMaxHeight = 16;
    Inner* nodes[kMaxHeight];
    int index[kMaxHeight];
  };

  // The first index in [lo, hi) whose entry is not before the target (hi
  // when all are).
  template <typename IsBefore>
  static int FirstNotBefore(const TRdaRowRef* entries, int lo, int hi, IsBefore& isBefore) {
    while (lo < hi) {
      const int mid = lo + (hi - lo) / 2;
      if (isBefore(entries[mid])) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    return lo;
  }
  // Asks for a leaf's lines at once: a leaf of a large list is mostly out
  // of the cache, and each step of its search waits for the one before.
  static void PrefetchLeaf(const void* leaf) {
    const char* p = static_cast<const char*>(leaf);
    for (size_t at = 0; at < sizeof(Leaf); at += 64) __builtin_prefetch(p + at);
  }
  // Descends to the leaf holding `position` (for an insert: where it goes,
  // Count() for the end); fills the path and returns the leaf with the
  // position of its first entry.
  Leaf* Descend(int position, bool insert, Path& path, int& start) const;
  // After a node's first entry changed: the copies above it, as far as it
  // is a first child.
  void FixFirsts(const Path& path, int level);
  // Splits the full node at `level` of the path (0: the leaf) and makes
  // room above it as far as needed.
  void Split(Path& path, int level, void* node);
  // The node at `level` lost entries or children: joins a neighbour or
  // leaves its parent when it should, and shrinks the root.
  void Rebalance(Path& path, int level, void* node);
  void RemoveChild(Path& path, int level, int child);
  void Unlink(Leaf* leaf);
  const TRdaRowRef& FirstOf(const void* node, int level) const;
  const TRdaRowRef& RefreshFirsts(void* node, int level);
  std::string VerifyNode(const void* node, int level, int& total, const Leaf*& expectNext) const;

  NodePool pool_;
  void* root_ = nullptr;
  int height_ = 0;  // inner levels above the leaves
  int count_ = 0;
  Leaf* head_ = nullptr;
  Leaf* tail_ = nullptr;
  // The leaf of the last access and its first position (nullptr: none).
  mutable const Leaf* cacheLeaf_ = nullptr;
  mutable int cacheStart_ = 0;
};

}  // namespace rda
