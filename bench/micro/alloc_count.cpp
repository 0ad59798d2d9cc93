#include "micro/alloc_count.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<uint64_t> gAllocs{0};
std::atomic<uint64_t> gAllocBytes{0};
}  // namespace

namespace dvbench {
uint64_t AllocCount() { return gAllocs.load(std::memory_order_relaxed); }
uint64_t AllocBytes() { return gAllocBytes.load(std::memory_order_relaxed); }
}  // namespace dvbench

void* operator new(std::size_t n) {
  gAllocs.fetch_add(1, std::memory_order_relaxed);
  gAllocBytes.fetch_add(n, std::memory_order_relaxed);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
