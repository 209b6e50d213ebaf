// Replaces the global operator new of one test program to count allocations and record the largest
// one, so tests can show that declared lengths are not trusted and hot paths do not allocate.
// Include it from exactly one source file of a test program (it defines the replacements).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace kubrel::testing::allocation_probe {

inline std::atomic<size_t> count{0};
inline std::atomic<size_t> largest{0};
// Bytes asked for since the last reset (frees are not subtracted).
inline std::atomic<size_t> bytes{0};

inline void reset() {
  count = 0;
  largest = 0;
  bytes = 0;
}

}  // namespace kubrel::testing::allocation_probe

void* operator new(size_t size, const std::nothrow_t&) noexcept {
  namespace probe = kubrel::testing::allocation_probe;
  probe::count.fetch_add(1, std::memory_order_relaxed);
  probe::bytes.fetch_add(size, std::memory_order_relaxed);
  size_t seen = probe::largest.load(std::memory_order_relaxed);
  while (size > seen && !probe::largest.compare_exchange_weak(seen, size)) {
  }
  return std::malloc(size == 0 ? 1 : size);
}
void* operator new(size_t size) {
  if (void* p = operator new(size, std::nothrow)) return p;
  throw std::bad_alloc();
}
// The replaced operator new allocates with malloc, so free is the matching release.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, size_t) noexcept {
  std::free(p);
}
#pragma GCC diagnostic pop
