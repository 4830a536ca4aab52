// TRdaRowList: the row list of an index, an ordered sequence of references to
// rows of a store that takes inserts and removals anywhere.
//
// One flat array would move its whole tail on every insert in the middle, so
// a maintained index on a growing store would cost O(n) per row. The list is
// a sequence of blocks instead, each holding up to kBlockCapacity entries in
// order, with a Fenwick tree over the block sizes:
//
//   position -> (block, offset)   O(log blocks), O(1) when it falls in the
//                                 block of the previous access (a scan)
//   insert / erase                O(log blocks) + a move inside one block
//   split / merge of a block      O(blocks) to rebuild the tree, amortised
//                                 over kBlockCapacity / 2 inserts
//
// Each entry carries, besides the row, a 64-bit key that its index derives
// from the row's first key field (RdaIndexes.h): comparing two keys first
// saves reading both rows for most comparisons. The list itself gives keys
// no meaning.
//
// Invariants (Verify checks them): every block but the only one holds at
// least one entry and at most kBlockCapacity; the tree's prefix sums are the
// block sizes' running sums; Count() is their total; the first-key array
// holds each block's first key.
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
  // 4 KB of entries: in a large list an insert reads its block from memory
  // and moves half of it, while smaller blocks would split so often that
  // the O(blocks) rebuilds of the tree took over.
  static constexpr int kBlockCapacity = 256;

  int Count() const { return count_; }
  bool Empty() const { return count_ == 0; }
  // Entry at 0 <= position < Count() (not checked).
  const TRdaRowRef& RefAt(int position) const;
  TRdaDBListItem* At(int position) const { return RefAt(position).Row; }
  // The last entry (the list is not empty).
  const TRdaRowRef& Back() const { return blocks_.back().items.back(); }
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
    for (const Block& b : blocks_) {
      for (const TRdaRowRef& r : b.items) f(r);
    }
  }
  template <typename F>
  void ForEachKey(F&& f) {
    for (Block& b : blocks_) {
      for (TRdaRowRef& r : b.items) f(r);
    }
    RebuildTree();
  }

  // The first position whose entry is not `before` the target, where the
  // entries are ordered and before(entry) holds for a prefix of them. The
  // blocks are searched by their first entries first (their keys kept side
  // by side, so that most steps read no block), then one block: about
  // log2(blocks) + log2(kBlockCapacity) calls, reading one block. When
  // useKeys is set, a block whose first key (shifted right by `shift`
  // bits) differs from `key` is before the target exactly when its key is
  // smaller, without a call.
  template <typename Before>
  int LowerBound(uint64_t key, bool useKeys, Before&& before, int shift = 0) const {
    if (count_ == 0) return 0;
    size_t lo = 0;
    size_t hi = blocks_.size();
    while (lo < hi) {
      const size_t mid = lo + (hi - lo) / 2;
      const uint64_t first = firstKeys_[mid] >> shift;
      const bool isBefore = useKeys && first != key ? first < key : before(blocks_[mid].items.front());
      if (isBefore) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    if (lo == 0) return 0;
    const std::vector<TRdaRowRef>& items = blocks_[lo - 1].items;
    size_t a = 1;  // items[0] is before the target
    size_t z = items.size();
    // A block of a large list is mostly out of the cache, and each step of
    // the search below waits for the one before: ask for the lines of its
    // first four steps at once.
    for (size_t k = 1; k < 16; ++k) __builtin_prefetch(&items[z * k / 16]);
    while (a < z) {
      const size_t mid = a + (z - a) / 2;
      if (before(items[mid])) {
        a = mid + 1;
      } else {
        z = mid;
      }
    }
    // The block is remembered: an insert at the position found needs no
    // second descent.
    cacheBlock_ = static_cast<int>(lo - 1);
    cacheStart_ = StartOf(cacheBlock_);
    return cacheStart_ + static_cast<int>(a);
  }

  // "" when the invariants at the top of this file hold, else what broke.
  std::string Verify() const;

 private:
  struct Block {
    std::vector<TRdaRowRef> items;
  };
  // The block holding `position` and the position of its first entry.
  void Find(int position, int& block, int& start) const;
  // The position of a block's first entry.
  int StartOf(int block) const;
  // The first keys and the tree from the blocks.
  void RebuildTree();
  // The tree alone, after blocks were split, merged or dropped.
  void RebuildSizes();
  void AddToTree(int block, int delta);

  std::vector<Block> blocks_;
  // The key of each block's first entry (0 for an empty block).
  std::vector<uint64_t> firstKeys_;
  std::vector<int> tree_;  // Fenwick tree over the block sizes, 1-based
  int count_ = 0;
  // The block of the last access and its first position (-1: none).
  mutable int cacheBlock_ = -1;
  mutable int cacheStart_ = 0;
};

}  // namespace rda
