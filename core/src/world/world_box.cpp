// The grid is filled with 16-bit indices while the palette grows chunk by chunk (so no chunk is
// held after it is copied), then narrowed to one byte when the palette allows.
#include "world/world_box.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <unordered_map>

#include "world/biome_ids.h"
#include "world/chunk_decoder.h"
#include "world/legacy_section.h"
#include "world/region_file.h"

namespace kubrel {

namespace {

constexpr uint64_t kMaxBoxBlocks = uint64_t{1} << 32;

// Region files opened once each, by kind ("region", "entities") and region position; a file that
// is not there is remembered as absent. Chunks are inflated into one buffer kept from chunk to
// chunk.
class RegionCache {
 public:
  explicit RegionCache(std::filesystem::path folder) : folder_(std::move(folder)) {}

  // The chunk's NBT (valid until the next call), or none when it is not stored.
  Result<std::optional<std::span<const uint8_t>>> chunk(const char* kind, int32_t cx, int32_t cz) {
    const std::array<int32_t, 2> key{cx >> 5, cz >> 5};
    auto& files = std::string_view(kind) == "region" ? blocks_ : entities_;
    auto found = files.find(key);
    if (found == files.end()) {
      const std::filesystem::path path =
          folder_ / kind / ("r." + std::to_string(key[0]) + "." + std::to_string(key[1]) + ".mca");
      std::optional<RegionFile> file;
      std::error_code ignored;
      if (std::filesystem::exists(path, ignored)) {
        KUBREL_ASSIGN_OR_RETURN(RegionFile opened, RegionFile::open(path));
        file = std::move(opened);
      }
      found = files.emplace(key, std::move(file)).first;
    }
    using Bytes = std::optional<std::span<const uint8_t>>;
    if (!found->second) return Bytes{};
    KUBREL_ASSIGN_OR_RETURN(bool stored,
                            found->second->read_chunk(static_cast<uint32_t>(cx & 31),
                                                      static_cast<uint32_t>(cz & 31), nbt_));
    return stored ? Bytes{nbt_.bytes()} : Bytes{};
  }

 private:
  std::filesystem::path folder_;
  std::map<std::array<int32_t, 2>, std::optional<RegionFile>> blocks_, entities_;
  PageBuffer nbt_;
};

// Names to indices for a palette that grows as chunks are copied in.
struct GrowingPalette {
  std::vector<std::string> names;
  std::unordered_map<std::string, uint16_t> index;

  Result<uint16_t> add(const std::string& name) {
    auto [at, fresh] = index.try_emplace(name, static_cast<uint16_t>(names.size()));
    if (fresh) {
      if (names.size() > UINT16_MAX) return fail("more than 65536 distinct states in the box");
      names.push_back(name);
    }
    return at->second;
  }
};

// The 16-bit grid as the narrowest grid that holds its palette.
Result<IndexGrid> narrowed(PageBuffer wide, size_t palette_size) {
  IndexGrid grid;
  if (palette_size > 256) {
    grid.width = 2;
    grid.bytes = std::move(wide);
    return grid;
  }
  const size_t count = wide.size() / 2;
  KUBREL_TRY(grid.bytes.resize_for_overwrite(count));
  const auto* from = reinterpret_cast<const uint16_t*>(wide.data());
  auto* to = reinterpret_cast<uint8_t*>(grid.bytes.data());
  for (size_t i = 0; i < count; ++i) to[i] = static_cast<uint8_t>(from[i]);
  grid.width = 1;
  return grid;
}

bool inside(const WorldBox& box, int64_t x, int64_t y, int64_t z) {
  return x >= box.min.x && x < box.max.x && y >= box.min.y && y < box.max.y && z >= box.min.z &&
         z < box.max.z;
}

}  // namespace

namespace {
// The part of a box that one chunk covers: x and z in world coordinates, upper bounds exclusive.
struct ChunkColumns {
  int32_t cx, cz, x0, x1, z0, z1;
};

// Fills the box's biomes over `columns` from a chunk's numeric biomes, at every height of the box
// (1.15-1.17 cells cover y 0 to 255; the game reads the nearest cell above and below them);
// returns how many positions were filled.
Result<size_t> fill_numeric_biomes(const DecodedChunk& chunk, const WorldBox& box,
                                   const ChunkColumns& columns, GrowingPalette& palette,
                                   uint16_t* cells) {
  const std::vector<int32_t>& ids = chunk.numeric_biomes;
  std::unordered_map<int32_t, uint16_t> known;
  std::vector<uint16_t> slots(ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    auto [at, fresh] = known.try_emplace(ids[i], uint16_t{0});
    if (fresh) {
      const std::string name = chunk.biomes_numbered
                                   ? numbered_biome(ids[i])
                                   : named_biome(ids[i], chunk.data_version.value_or(0));
      KUBREL_ASSIGN_OR_RETURN(at->second, palette.add(name));
    }
    slots[i] = at->second;
  }
  const bool per_cell = ids.size() == kBiomeCells;
  const int64_t sx = int64_t{box.max.x} - box.min.x, sz = int64_t{box.max.z} - box.min.z;
  size_t filled = 0;
  for (int64_t y = box.min.y; y < box.max.y; ++y) {
    const int64_t cell_y = std::clamp<int64_t>(y >> 2, 0, 63);
    for (int32_t z = columns.z0; z < columns.z1; ++z) {
      const int32_t lz = z - columns.cz * 16;
      const size_t row = static_cast<size_t>(((y - box.min.y) * sz + (z - box.min.z)) * sx);
      for (int32_t x = columns.x0; x < columns.x1; ++x) {
        const int32_t lx = x - columns.cx * 16;
        const size_t slot = per_cell ? static_cast<size_t>((cell_y * 4 + lz / 4) * 4 + lx / 4)
                                     : static_cast<size_t>(lz * 16 + lx);
        cells[row + static_cast<size_t>(x - box.min.x)] = slots[slot];
        ++filled;
      }
    }
  }
  return filled;
}

// `held`: the chunk the decoder holds already, when a caller had to look at it first; it is not
// read again.
Result<Volume> load_box(RegionCache& regions, ChunkDecoder& decoder, const WorldBox& box,
                        std::optional<int32_t> data_version,
                        std::optional<std::array<int32_t, 2>> held = std::nullopt,
                        DecodedChunk* held_chunk = nullptr) {
  const int64_t sx = int64_t{box.max.x} - box.min.x, sy = int64_t{box.max.y} - box.min.y,
                sz = int64_t{box.max.z} - box.min.z;
  if (sx <= 0 || sy <= 0 || sz <= 0) return fail("an empty box: its upper corner is exclusive");
  if (static_cast<uint64_t>(sx) * static_cast<uint64_t>(sy) * static_cast<uint64_t>(sz) >
      kMaxBoxBlocks) {
    return fail("a box of more than 2^32 blocks");
  }
  const size_t total = static_cast<size_t>(sx * sy * sz);
  Volume volume;
  volume.format = VolumeFormat::Sponge;
  volume.version = 3;
  volume.origin = box.min;
  volume.size = {static_cast<uint32_t>(sx), static_cast<uint32_t>(sy), static_cast<uint32_t>(sz)};
  GrowingPalette blocks, biomes;
  KUBREL_TRY(blocks.add("minecraft:air"));
  PageBuffer grid, biome_grid;
  KUBREL_TRY(grid.assign_zeroed(total * 2));
  KUBREL_TRY(biome_grid.assign_zeroed(total * 2));
  auto* cells = reinterpret_cast<uint16_t*>(grid.data());
  auto* biome_cells = reinterpret_cast<uint16_t*>(biome_grid.data());
  size_t biomes_stored = 0;
  std::optional<int32_t> newest;
  for (int32_t cz = box.min.z >> 4; cz <= (box.max.z - 1) >> 4; ++cz) {
    for (int32_t cx = box.min.x >> 4; cx <= (box.max.x - 1) >> 4; ++cx) {
      DecodedChunk* stored = nullptr;
      if (held && (*held)[0] == cx && (*held)[1] == cz) {
        stored = held_chunk;
      } else {
        KUBREL_ASSIGN_OR_RETURN(auto nbt, regions.chunk("region", cx, cz));
        if (nbt) {
          KUBREL_ASSIGN_OR_RETURN(stored, decoder.decode(*nbt, cx, cz));
        }
      }
      std::vector<VolumeEntity> entities;
      if (stored) {
        DecodedChunk& chunk = *stored;
        if (chunk.data_version && (!newest || *chunk.data_version > *newest)) {
          newest = chunk.data_version;
        }
        const int32_t x0 = std::max(box.min.x, cx * 16), x1 = std::min(box.max.x, cx * 16 + 16);
        const int32_t z0 = std::max(box.min.z, cz * 16), z1 = std::min(box.max.z, cz * 16 + 16);
        for (const ChunkSection& section : chunk.sections) {
          const int64_t base = int64_t{section.y} * 16;
          const int64_t y0 = std::max<int64_t>(box.min.y, base),
                        y1 = std::min<int64_t>(box.max.y, base + 16);
          if (y0 >= y1) continue;
          uint16_t remap[4096];
          for (size_t i = 0; i < section.palette.size(); ++i) {
            KUBREL_ASSIGN_OR_RETURN(remap[i], blocks.add(section.palette[i]));
          }
          uint16_t biome_remap[256];
          for (size_t i = 0; i < section.biome_palette.size(); ++i) {
            KUBREL_ASSIGN_OR_RETURN(biome_remap[i], biomes.add(section.biome_palette[i]));
          }
          const bool has_biomes = !section.biome_palette.empty();
          for (int64_t y = y0; y < y1; ++y) {
            const int64_t ly = y - base;
            for (int32_t z = z0; z < z1; ++z) {
              const int32_t lz = z - cz * 16;
              const size_t row = static_cast<size_t>(((y - box.min.y) * sz + (z - box.min.z)) * sx);
              for (int32_t x = x0; x < x1; ++x) {
                const int32_t lx = x - cx * 16;
                const size_t at = row + static_cast<size_t>(x - box.min.x);
                cells[at] = section.indices.empty()
                                ? remap[0]
                                : remap[section.indices[(ly * 16 + lz) * 16 + lx]];
                if (has_biomes) {
                  const size_t cell = ((ly / 4) * 4 + lz / 4) * 4 + lx / 4;
                  biome_cells[at] = section.biome_indices.empty()
                                        ? biome_remap[0]
                                        : biome_remap[section.biome_indices[cell]];
                  ++biomes_stored;
                }
              }
            }
          }
        }
        if (!chunk.numeric_biomes.empty()) {
          KUBREL_ASSIGN_OR_RETURN(
              size_t filled,
              fill_numeric_biomes(chunk, box, {cx, cz, x0, x1, z0, z1}, biomes, biome_cells));
          biomes_stored += filled;
        }
        for (VolumeBlockEntity& entity : chunk.block_entities) {
          const BlockPosition p = entity.position;
          if (!inside(box, p.x, p.y, p.z)) continue;
          entity.position = {p.x - box.min.x, p.y - box.min.y, p.z - box.min.z};
          volume.block_entities.push_back(std::move(entity));
        }
        entities = std::move(chunk.entities);
      }
      KUBREL_ASSIGN_OR_RETURN(auto entity_nbt, regions.chunk("entities", cx, cz));
      if (entity_nbt) {
        KUBREL_ASSIGN_OR_RETURN(std::vector<VolumeEntity> more,
                                decode_entity_chunk(*entity_nbt, cx, cz));
        for (VolumeEntity& entity : more) entities.push_back(std::move(entity));
      }
      for (VolumeEntity& entity : entities) {
        const auto& p = entity.position;
        if (!std::isfinite(p[0]) || !std::isfinite(p[1]) || !std::isfinite(p[2]) ||
            !inside(box, static_cast<int64_t>(std::floor(p[0])),
                    static_cast<int64_t>(std::floor(p[1])),
                    static_cast<int64_t>(std::floor(p[2])))) {
          continue;
        }
        entity.position = {p[0] - box.min.x, p[1] - box.min.y, p[2] - box.min.z};
        volume.entities.push_back(std::move(entity));
      }
    }
  }
  volume.data_version = newest ? newest : data_version;
  const size_t palette_size = blocks.names.size();
  volume.palette = std::move(blocks.names);
  KUBREL_ASSIGN_OR_RETURN(volume.blocks, narrowed(std::move(grid), palette_size));
  if (biomes_stored == total) {
    Volume::Biomes stored;
    stored.height = volume.size[1];
    const size_t biome_count = biomes.names.size();
    stored.palette = std::move(biomes.names);
    KUBREL_ASSIGN_OR_RETURN(stored.grid, narrowed(std::move(biome_grid), biome_count));
    volume.biomes = std::move(stored);
  }
  return volume;
}

}  // namespace

Result<Volume> load_world_box(const std::filesystem::path& folder, const WorldBox& box,
                              std::optional<int32_t> data_version, const LegacyNames* legacy) {
  std::optional<LegacyPalette> numbered;
  if (legacy) numbered.emplace(legacy);
  ChunkDecoder decoder({.legacy = numbered ? &*numbered : nullptr});
  RegionCache regions(folder);
  return load_box(regions, decoder, box, data_version);
}

Result<Volume> load_world_chunk(const std::filesystem::path& folder, int32_t cx, int32_t cz,
                                std::optional<int32_t> data_version, const LegacyNames* legacy) {
  std::optional<LegacyPalette> numbered;
  if (legacy) numbered.emplace(legacy);
  ChunkDecoder decoder({.legacy = numbered ? &*numbered : nullptr});
  RegionCache regions(folder);
  KUBREL_ASSIGN_OR_RETURN(auto nbt, regions.chunk("region", cx, cz));
  if (!nbt) {
    return fail("no chunk at (" + std::to_string(cx) + ", " + std::to_string(cz) + ")");
  }
  KUBREL_ASSIGN_OR_RETURN(DecodedChunk * chunk, decoder.decode(*nbt, cx, cz));
  // A chunk that stores no sections reads as one section of air at y 0..15.
  int32_t low = 0, high = 0;
  for (size_t i = 0; i < chunk->sections.size(); ++i) {
    const int32_t y = chunk->sections[i].y;
    low = i == 0 ? y : std::min(low, y);
    high = i == 0 ? y : std::max(high, y);
  }
  const WorldBox box{{cx * 16, low * 16, cz * 16}, {cx * 16 + 16, high * 16 + 16, cz * 16 + 16}};
  return load_box(regions, decoder, box, data_version, std::array{cx, cz}, chunk);
}

}  // namespace kubrel
