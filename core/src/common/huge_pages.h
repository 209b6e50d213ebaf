// Large buffers that a decoder fills at once (a volume's grid, an inflated document) are backed by
// 2 MiB pages where the system allows it: a fresh 40 MB grid otherwise costs ten thousand page
// faults, a large share of a whole load.
#pragma once

#include <cstddef>

namespace kubrel {

// Asks the kernel to back the whole 2 MiB pages of the mapping around [data, data + bytes) with
// huge pages when they are first touched. Only advice: without support it does nothing, and what
// the buffer holds never changes.
void advise_huge_pages(void* data, size_t bytes);

}  // namespace kubrel
