// Large blocks of memory for the structures that grow to millions of
// entries (the row store's rows, the nodes of the indexes' row lists).
//
// A block is whole 2 MB pages, aligned to 2 MB and asked of the system in
// huge pages where it has them (a hint: elsewhere it is plain memory). A
// large store touched at random places then needs one address translation
// per 2 MB instead of per 4 KB, and filling it takes one page fault per
// 2 MB; on a virtual machine a first touch of 4 KB pages is the larger part
// of appending a row.
//
// The C library's counters (mallinfo) do not see these blocks:
// RdaLargeBlockBytesInUse tells how many bytes they hold. Thread-safe.
#pragma once

#include <cstddef>

namespace rda {

inline constexpr size_t kRdaLargePage = size_t{2} << 20;

// `bytes` rounded up to whole large pages.
constexpr size_t RdaLargeBlockSize(size_t bytes) {
  return (bytes + kRdaLargePage - 1) / kRdaLargePage * kRdaLargePage;
}
// A block of `bytes` (a multiple of kRdaLargePage, not 0), aligned to
// kRdaLargePage and zero; std::bad_alloc when the system has no room.
void* RdaAllocLargeBlock(size_t bytes);
// Returns a block from RdaAllocLargeBlock with the size it was asked with.
void RdaFreeLargeBlock(void* block, size_t bytes);
// The bytes of the blocks allocated and not yet freed.
size_t RdaLargeBlockBytesInUse();

}  // namespace rda
