// One chunk of a world save from its NBT: the blocks of each 16-block section as a palette of
// state texts and one index per block, its biomes, block entities and entities, for every layout
// from 1.13 on: the "Level"-wrapped one (indices spanning longs before data version 2529, padded
// per long from it on) and the root-level one of 1.18 and later (sections from any y, a palette
// of one entry with no data). Chunks that hold numeric block ids (before 1.13) are refused with a
// message naming their version, unless the caller reads them as numbered states.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/error.h"
#include "common/legacy_state.h"
#include "volume/volume.h"

namespace kubrel {

// The data version from which block-state indices no longer span two longs.
inline constexpr int32_t kPaddedIndicesVersion = 2529;
// The first data version whose chunks hold named block states.
inline constexpr int32_t kNamedStatesVersion = 1451;

struct ChunkSection {
  // The section's y (block y / 16).
  int32_t y = 0;
  // Canonical state texts, as the chunk lists them.
  std::vector<std::string> palette;
  // One index into `palette` per block, ordered y, z, x (4096); empty when the palette has one
  // entry, which then fills the section.
  std::vector<uint16_t> indices;
  // Biomes of 4 x 4 x 4 cells (1.18 on): names, and 64 indices ordered y, z, x; indices empty
  // when one biome fills the section, and the palette empty when the section stores none.
  std::vector<std::string> biome_palette;
  std::vector<uint8_t> biome_indices;

  bool operator==(const ChunkSection&) const = default;
};

struct DecodedChunk {
  std::optional<int32_t> data_version;
  // Sections that hold blocks, in the chunk's order; light-only sections are left out.
  std::vector<ChunkSection> sections;
  // Positions in world coordinates.
  std::vector<VolumeBlockEntity> block_entities;
  std::vector<VolumeEntity> entities;
  // Biomes stored as numbers before 1.18 (world/legacy_section.h: 256 per column or 1024 per
  // cell), named through world/biome_ids.h, or kept as numbers in a chunk of numbered blocks;
  // empty when the chunk stores none or biomes are not kept.
  std::vector<int32_t> numeric_biomes;
  bool biomes_numbered = false;
  // The stored WORLD_SURFACE heightmap, its longs as they stand, when the chunk has one.
  std::vector<int64_t> world_surface;
};

struct ChunkDecodeOptions {
  // Whether block entities, entities and heightmaps are kept (a count needs none of them).
  bool records = true;
  // Whether biomes are kept.
  bool biomes = true;
  // Chunks of numeric ids are read into this palette (named by its map) as numbered states,
  // when given; refused otherwise.
  LegacyPalette* legacy = nullptr;
};

// Decodes the chunk at (cx, cz) (for messages) from its uncompressed NBT. Failures start with
// "chunk at (cx, cz): ".
[[nodiscard]] Result<DecodedChunk> decode_chunk(std::span<const uint8_t> nbt, int32_t cx,
                                                int32_t cz, const ChunkDecodeOptions& options = {});

// The same by the checked walk alone, which the decoder hands every chunk out of the ordinary (and
// which words every failure); for tests that hold the two walks to the same results.
[[nodiscard]] Result<DecodedChunk> decode_chunk_checked(std::span<const uint8_t> nbt, int32_t cx,
                                                        int32_t cz,
                                                        const ChunkDecodeOptions& options = {});

// Decodes chunk after chunk (those of a region file, say), each into the storage the one before
// it used, and with the texts of the palette entries it has met kept by their bytes: a chunk whose
// sections are all air or stone then costs no allocation and no text built. The results, and the
// failures, are decode_chunk's.
class ChunkDecoder {
 public:
  explicit ChunkDecoder(const ChunkDecodeOptions& options = {});
  ~ChunkDecoder();
  ChunkDecoder(const ChunkDecoder&) = delete;
  ChunkDecoder& operator=(const ChunkDecoder&) = delete;

  // The chunk at (cx, cz), valid until the next call (its records may be moved out).
  [[nodiscard]] Result<DecodedChunk*> decode(std::span<const uint8_t> nbt, int32_t cx, int32_t cz);

  struct StateTexts;

 private:
  ChunkDecodeOptions options_;
  DecodedChunk chunk_;
  std::unique_ptr<StateTexts> texts_;
};

// The entities of an entity chunk (the "Entities" list of the files in `entities/`), positions in
// world coordinates.
[[nodiscard]] Result<std::vector<VolumeEntity>> decode_entity_chunk(std::span<const uint8_t> nbt,
                                                                    int32_t cx, int32_t cz);

// Unpacks `count` indices of `bits` bits from big-endian longs: spanning long boundaries, or
// padded with each long holding floor(64 / bits) of them. Fails when the longs are too few.
[[nodiscard]] Status unpack_longs(std::span<const uint8_t> longs, unsigned bits, bool spanning,
                                  size_t count, uint16_t* out);

}  // namespace kubrel
