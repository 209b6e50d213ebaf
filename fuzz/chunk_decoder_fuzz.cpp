// Fuzzes the chunk decoder over a raw chunk document, with and without its records, and the
// entity chunk decoder over the same bytes: every section it gives holds indices within its
// palette.
#include <span>

#include "fuzz_drain.h"
#include "world/chunk_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> input(data, size);
  for (bool records : {true, false}) {
    auto chunk = kubrel::decode_chunk(input, 1, -1, {.records = records, .biomes = records});
    if (!chunk) {
      KUBREL_FUZZ_CHECK(chunk.error().message.starts_with("chunk at (1, -1): "));
      continue;
    }
    for (const auto& section : chunk->sections) {
      KUBREL_FUZZ_CHECK(!section.palette.empty());
      KUBREL_FUZZ_CHECK(section.indices.empty() || section.indices.size() == 4096);
      for (uint16_t index : section.indices) KUBREL_FUZZ_CHECK(index < section.palette.size());
      for (uint8_t index : section.biome_indices) {
        KUBREL_FUZZ_CHECK(index < section.biome_palette.size());
      }
    }
  }
  (void)kubrel::decode_entity_chunk(input, 0, 0);
  return 0;
}
