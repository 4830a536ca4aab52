#include "memdata/store/RdaLargeBlocks.h"

#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <new>

namespace rda {

namespace {

std::atomic<size_t> g_bytesInUse{0};

}  // namespace

void* RdaAllocLargeBlock(size_t bytes) {
  // Mapped with one page of room, then trimmed to the aligned part.
  const size_t mapped = bytes + kRdaLargePage;
  void* memory = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) throw std::bad_alloc();
  const auto begin = reinterpret_cast<uintptr_t>(memory);
  const uintptr_t aligned = (begin + kRdaLargePage - 1) & ~(uintptr_t{kRdaLargePage} - 1);
  if (aligned > begin) ::munmap(memory, aligned - begin);
  const uintptr_t end = begin + mapped;
  if (end > aligned + bytes) ::munmap(reinterpret_cast<void*>(aligned + bytes), end - (aligned + bytes));
  void* block = reinterpret_cast<void*>(aligned);
  (void)::madvise(block, bytes, MADV_HUGEPAGE);
  g_bytesInUse.fetch_add(bytes, std::memory_order_relaxed);
  return block;
}

void RdaFreeLargeBlock(void* block, size_t bytes) {
  if (!block) return;
  ::munmap(block, bytes);
  g_bytesInUse.fetch_sub(bytes, std::memory_order_relaxed);
}

size_t RdaLargeBlockBytesInUse() { return g_bytesInUse.load(std::memory_order_relaxed); }

}  // namespace rda
