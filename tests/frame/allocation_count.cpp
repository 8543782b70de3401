// The frame test programs' global operator new and delete, which count the blocks in use
// (allocation_count.h). Under a sanitizer its own operators stay in place and nothing is counted.
#include "tests/frame/allocation_count.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<int64_t> g_live{0};

}  // namespace

namespace frame_test {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)

int64_t LiveAllocations() { return 0; }
bool AllocationsCounted() { return false; }

#else

int64_t LiveAllocations() { return g_live.load(); }
bool AllocationsCounted() { return true; }

#endif

}  // namespace frame_test

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)

namespace {

void* Take(std::size_t size) {
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block != nullptr) ++g_live;
  return block;
}

void Give(void* block) {
  if (block == nullptr) return;
  --g_live;
  std::free(block);
}

}  // namespace

void* operator new(std::size_t size) {
  void* block = Take(size);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Take(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Take(size); }
void operator delete(void* block) noexcept { Give(block); }
void operator delete[](void* block) noexcept { Give(block); }
void operator delete(void* block, std::size_t) noexcept { Give(block); }
void operator delete[](void* block, std::size_t) noexcept { Give(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { Give(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { Give(block); }

#endif
