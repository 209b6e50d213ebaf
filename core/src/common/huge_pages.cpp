#include "common/huge_pages.h"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace kubrel {

namespace {
constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
}

void advise_huge_pages(void* data, size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  auto start = reinterpret_cast<uintptr_t>(data);
  uintptr_t first = (start + kHugePage - 1) & ~(kHugePage - 1);
  uintptr_t end = (start + bytes) & ~(kHugePage - 1);
  if (bytes >= kHugePage && first < end) {
    madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
  }
#else
  (void)data;
  (void)bytes;
#endif
}

void zeroed_with_huge_pages(std::vector<std::byte>& bytes, size_t count) {
  bytes.clear();
  bytes.reserve(count);
  advise_huge_pages(bytes.data(), count);
  bytes.resize(count);
}

}  // namespace kubrel
