// Large buffers that a decoder fills at once (a volume's grid, an inflated document) are backed by
// 2 MiB pages where the system allows it: a fresh 40 MB grid otherwise costs ten thousand page
// faults, a large share of a whole load.
#pragma once

#include <cstddef>
#include <vector>

namespace kubrel {

// Asks the kernel to back the whole 2 MiB pages of the mapping around [data, data + bytes) with
// huge pages when they are first touched. Only advice: without support it does nothing, and what
// the buffer holds never changes.
void advise_huge_pages(void* data, size_t bytes);

// `bytes` holds `count` zero bytes, its storage advised as above before the zeros are written.
void zeroed_with_huge_pages(std::vector<std::byte>& bytes, size_t count);

}  // namespace kubrel
