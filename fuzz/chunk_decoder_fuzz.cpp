// Fuzzes the chunk decoder over a raw chunk document, with and without its records, and the
// entity chunk decoder over the same bytes: every section it gives holds indices within its
// palette, and its quick walk gives what the checked walk alone gives, failures word for word,
// whether its decoder is fresh or kept from the inputs before (whose storage it reuses).
#include <span>

#include "fuzz_drain.h"
#include "world/chunk_decoder.h"

namespace {

bool same_chunk(const kubrel::DecodedChunk& a, const kubrel::DecodedChunk& b) {
  if (a.data_version != b.data_version || a.sections.size() != b.sections.size() ||
      a.block_entities.size() != b.block_entities.size() ||
      a.entities.size() != b.entities.size() || a.world_surface != b.world_surface ||
      a.sections != b.sections) {
    return false;
  }
  for (size_t i = 0; i < a.block_entities.size(); ++i) {
    if (a.block_entities[i].data != b.block_entities[i].data) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> input(data, size);
  static kubrel::ChunkDecoder kept[2] = {kubrel::ChunkDecoder({.records = false, .biomes = false}),
                                         kubrel::ChunkDecoder({})};
  for (bool records : {true, false}) {
    const kubrel::ChunkDecodeOptions options{.records = records, .biomes = records};
    auto chunk = kubrel::decode_chunk(input, 1, -1, options);
    auto checked = kubrel::decode_chunk_checked(input, 1, -1, options);
    auto reused = kept[records].decode(input, 1, -1);
    KUBREL_FUZZ_CHECK(chunk.has_value() == checked.has_value() &&
                      reused.has_value() == checked.has_value());
    if (!chunk) {
      KUBREL_FUZZ_CHECK(chunk.error().message == checked.error().message &&
                        reused.error().message == checked.error().message);
      KUBREL_FUZZ_CHECK(chunk.error().message.starts_with("chunk at (1, -1): "));
      continue;
    }
    KUBREL_FUZZ_CHECK(same_chunk(*chunk, *checked) && same_chunk(**reused, *checked));
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
