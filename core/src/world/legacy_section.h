// Chunks of the numeric-id era (data version below 1451, or none): a section's "Blocks" bytes,
// "Add" and "Data" nibbles turned into palette indices, and the old "Level" layout around them
// (its sections, block entities, entities and column biomes).
//
// A section holds 16 x 16 x 16 blocks in YZX order, index y * 256 + z * 16 + x: block i has the
// id Blocks[i] + 256 * (nibble i of Add) and the data nibble i of Data, nibble i being the low
// half of byte i / 2 when i is even, the high half when odd.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/error.h"
#include "common/legacy_state.h"
#include "nbt/nbt_view.h"
#include "volume/volume.h"

namespace kubrel {

inline constexpr size_t kLegacySectionBlocks = 4096;

// The arrays of one section as stored: `add` empty when the section has none.
struct LegacySectionArrays {
  std::span<const uint8_t> blocks;  // 4096 bytes
  std::span<const uint8_t> add;     // 2048 bytes, or none
  std::span<const uint8_t> data;    // 2048 bytes
};

// Fills `indices` (YZX order) with the palette slot of every block of the section, adding new
// (id, data) pairs to `palette`. Fails, changing nothing, when an array has the wrong length.
[[nodiscard]] Status decode_legacy_section(const LegacySectionArrays& arrays,
                                           LegacyPalette& palette,
                                           std::span<uint16_t, kLegacySectionBlocks> indices);

struct LegacySection {
  int32_t y = 0;  // the section's "Y": it covers blocks y * 16 to y * 16 + 15
  std::array<uint16_t, kLegacySectionBlocks> indices{};  // into LegacyChunk::palette, YZX
};

// One decoded chunk. Positions are in world coordinates, as the chunk stores them.
struct LegacyChunk {
  std::optional<int32_t> x;  // "xPos" and "zPos", the chunk's coordinates
  std::optional<int32_t> z;
  // Entry 0 is "minecraft:air"; the others are legacy states (common/legacy_state.h).
  std::vector<std::string> palette;
  // The sections that hold "Blocks", in file order; a chunk of none holds only air.
  std::vector<LegacySection> sections;
  // Each block entity's "x", "y", "z", and its compound without them (keeping its "id").
  std::vector<VolumeBlockEntity> block_entities;
  // Each entity's "Pos", and its whole compound.
  std::vector<VolumeEntity> entities;
  // One biome id per column, index z * 16 + x; empty when the chunk stores none.
  std::vector<int32_t> biomes;
};

// One biome id per column of 1.13-1.17 chunks up to 1.14, and of older ones.
inline constexpr size_t kBiomeColumns = 256;
// One biome id per 4 x 4 x 4 cell of y 0 to 255 in 1.15-1.17 chunks.
inline constexpr size_t kBiomeCells = 1024;

// The numbers of a chunk's "Biomes": 256 (a ByteArray or IntArray, index z * 16 + x) or 1024 (an
// IntArray, index (y / 4 * 4 + z / 4) * 4 + x / 4); empty when `tag` is absent. Fails on any
// other length or kind.
[[nodiscard]] Result<std::vector<int32_t>> read_numeric_biomes(std::span<const uint8_t> document,
                                                               const NbtTagRef& tag);

// Decodes a whole chunk document (its root holding the "Level" compound), as a region file's
// chunk decompresses to. `palette` names the ids (through the names it was made with) and is
// reused across chunks: it is emptied for each one, so a caller keeps one per thread.
// Failures start with "legacy chunk: ".
[[nodiscard]] Result<LegacyChunk> decode_legacy_chunk(std::span<const uint8_t> document,
                                                      LegacyPalette& palette);

// The same from the "Level" compound whose payload starts at `level` in `document`, `depth`
// compounds deep, for a caller that has already walked the root.
[[nodiscard]] Result<LegacyChunk> decode_legacy_level(std::span<const uint8_t> document,
                                                      size_t level, int depth,
                                                      LegacyPalette& palette);

}  // namespace kubrel
