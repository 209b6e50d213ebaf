// Fuzzes the numbered chunk decoder over a raw chunk document, and the level.dat id maps over the
// same bytes, with one palette reused across inputs as a world reader reuses it across chunks.
// A decoded chunk must hold air first and only indices inside its palette.
#include <cstdlib>
#include <span>

#include "world/legacy_ids.h"
#include "world/legacy_section.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static kubrel::LegacyPalette palette;
  std::span<const uint8_t> document(data, size);
  auto names = kubrel::read_legacy_ids(document);
  if (!names && names.error().message.empty()) std::abort();
  auto chunk = kubrel::decode_legacy_chunk(document, palette);
  if (!chunk) {
    if (chunk.error().message.empty()) std::abort();
    return 0;
  }
  if (chunk->palette.empty() || chunk->palette[0] != "minecraft:air") std::abort();
  for (const auto& section : chunk->sections) {
    for (uint16_t index : section.indices) {
      if (index >= chunk->palette.size()) std::abort();
    }
  }
  if (!chunk->biomes.empty() && chunk->biomes.size() != 256) std::abort();
  return 0;
}
