// Fuzzes the region file over raw bytes: the location table, every chunk it names through each
// compression, and the promise that a chunk's failure names its position; a chunk read into a
// buffer kept from input to input reads the same.
#include <algorithm>
#include <span>
#include <vector>

#include "fuzz_drain.h"
#include "world/region_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto file =
      kubrel::RegionFile::from_bytes(std::vector<uint8_t>(data, data + size), {}, {64, -32});
  for (const auto& [x, z] : file.chunks()) {
    auto read = file.read_chunk(x, z);
    KUBREL_FUZZ_CHECK(read ? read->has_value() : read.error().message.starts_with("chunk at ("));
    if (read) KUBREL_FUZZ_CHECK((*read)->size() <= kubrel::kMaxChunkNbt);
    static kubrel::PageBuffer kept;
    auto into = file.read_chunk(x, z, kept);
    KUBREL_FUZZ_CHECK(into.has_value() == read.has_value());
    if (read) KUBREL_FUZZ_CHECK(std::ranges::equal(kept.bytes(), (*read)->bytes()));
    if (!read) KUBREL_FUZZ_CHECK(into.error().message == read.error().message);
  }
  // The payload decoders alone, over the input after a first byte that picks one.
  if (size > 0) {
    auto inflated = kubrel::decompress_chunk(data[0] & 7, std::span(data + 1, size - 1), 1 << 20);
    if (inflated) KUBREL_FUZZ_CHECK(inflated->size() <= (size_t{1} << 20));
  }
  return 0;
}
