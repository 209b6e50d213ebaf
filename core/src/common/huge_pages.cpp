#include "common/huge_pages.h"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace kubrel {

namespace {
constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
constexpr uintptr_t kSmallPage = 4096;
}  // namespace

void advise_huge_pages(void* data, size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (bytes < kHugePage) return;
  // The advice covers whole small pages, rounded outwards: advising only the 2 MiB-aligned middle
  // would split the buffer's mapping in three, and the kernel cannot then move it in one piece
  // when the buffer grows (realloc falls back to copying). Only 2 MiB-aligned stretches get huge
  // pages either way.
  auto start = reinterpret_cast<uintptr_t>(data);
  uintptr_t first = start & ~(kSmallPage - 1);
  uintptr_t end = (start + bytes + kSmallPage - 1) & ~(kSmallPage - 1);
  madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
#else
  (void)data;
  (void)bytes;
#endif
}

}  // namespace kubrel
