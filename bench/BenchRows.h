// The rows both dataset benchmarks work on (the in-memory dataset's and the client
// dataset's over rdaserver): the values of row i, one checksum over everything a
// scan reads, and the heap in use for the memory figures.
#pragma once

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "memdata/store/RdaLargeBlocks.h"

namespace rda::bench {

inline std::string RowName(int i) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "Customer %09d of the north region", i);
  return buf;
}
inline std::string RowCode(int i) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "C%07d", i);
  return buf;
}
inline double RowAmount(int i) { return i * 0.25; }
inline double RowDay(int i) { return 40000.0 + i % 3650; }
// The balance in ten-thousandths (a currency's scaled value).
inline int64_t RowBalance(int i) { return int64_t{i} * 137; }

// One number over the fields of every row read, the same for a benchmark and its peer.
struct Checksum {
  uint64_t sum = 0;
  void Add(uint64_t v) { sum = sum * 1000003 + v; }
  void AddRow(int64_t id, std::string_view name, double amount, double day, int64_t balance,
              std::string_view code) {
    Add(static_cast<uint64_t>(id));
    Add(name.size() * 131 + static_cast<unsigned char>(name.empty() ? 0 : name.back()));
    Add(static_cast<uint64_t>(amount * 4));
    Add(static_cast<uint64_t>(day));
    Add(static_cast<uint64_t>(balance));
    Add(static_cast<uint64_t>(static_cast<unsigned char>(code.empty() ? 0 : code.back())));
  }
};

// Bytes of the heap in use (0 where the C library cannot tell): the chunks
// handed out, the large allocations the C library maps on their own and the
// engine's large blocks, which it maps itself.
inline size_t HeapInUse() {
#if defined(__GLIBC__)
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd + RdaLargeBlockBytesInUse();
#else
  return 0;
#endif
}

}  // namespace rda::bench
