// Sponge biomes: a palette of names, then VarInt ids decoded one by one. Biome grids are small
// next to block grids (a column's worth, or rarely a grid as large), so no fast path.
#include "volume/sponge_biomes.h"

#include <algorithm>
#include <cstring>

#include "io/varint.h"
#include "volume/volume_parts.h"

namespace kubrel {

namespace {

uint32_t index_at(const IndexGrid& grid, uint64_t at) {
  return with_index_type(grid.width, [&]<class T>(T) -> uint32_t {
    T value;
    std::memcpy(&value, grid.bytes.data() + at * sizeof(T), sizeof(T));
    return value;
  });
}

void put_index(IndexGrid& grid, uint64_t at, uint32_t index) {
  with_index_type(grid.width, [&]<class T>(T) {
    const T value = static_cast<T>(index);
    std::memcpy(grid.bytes.data() + at * sizeof(T), &value, sizeof(T));
  });
}

}  // namespace

Result<Volume::Biomes> decode_sponge_biomes(std::span<const uint8_t> document,
                                            const NbtTagRef& palette, const NbtTagRef& data,
                                            int depth, const Volume& volume, uint32_t height) {
  if (palette.kind != NbtKind::Compound) return fail("the biome palette is not a Compound");
  if (data.kind != NbtKind::ByteArray) return fail("the biome data is not a ByteArray");
  Volume::Biomes biomes;
  biomes.height = height;
  std::vector<std::pair<uint32_t, uint32_t>> ids;  // file id, palette index
  auto read = for_each_entry(document, palette.payload, depth,
                             [&](const NbtTagRef& entry, NbtCursor& cursor) -> Result<bool> {
                               if (entry.kind != NbtKind::Int)
                                 return fail("biome palette entry is not an Int");
                               KUBREL_ASSIGN_OR_RETURN(int32_t id, cursor.number<int32_t>());
                               KUBREL_ASSIGN_OR_RETURN(std::string name, nbt_text(entry.name));
                               ids.emplace_back(static_cast<uint32_t>(id),
                                                static_cast<uint32_t>(biomes.palette.size()));
                               biomes.palette.push_back(std::move(name));
                               return true;
                             });
  if (!read) return std::unexpected(std::move(read.error()));
  std::sort(ids.begin(), ids.end());
  NbtCursor cursor(document, data.payload);
  KUBREL_ASSIGN_OR_RETURN(std::span<const uint8_t> bytes, cursor.array_bytes(NbtKind::ByteArray));
  const uint64_t positions = uint64_t{volume.size[0]} * volume.size[2] * height;
  // Each id takes at least a byte, so a short array cannot make a large grid.
  if (positions > bytes.size() + uint64_t{volume.size[0]} * volume.size[2])
    return fail("the biome data holds fewer ids than the box has positions");
  biomes.grid.width = grid_width_for(biomes.palette.size());
  KUBREL_TRY(biomes.grid.bytes.assign_zeroed(static_cast<size_t>(positions * biomes.grid.width)));
  const uint8_t* p = bytes.data();
  const uint8_t* const end = p + bytes.size();
  for (uint64_t at = 0; at < positions && p < end; ++at) {
    KUBREL_ASSIGN_OR_RETURN(uint32_t id, finish_var_int<uint32_t>(
                                             *p++,
                                             [&]() -> Result<uint8_t> {
                                               if (p == end)
                                                 return fail("the biome data ends inside a VarInt");
                                               return *p++;
                                             },
                                             "the biome data holds a VarInt over 32 bits"));
    auto found = std::lower_bound(ids.begin(), ids.end(), std::pair{id, 0u});
    if (found == ids.end() || found->first != id)
      return fail("biome id " + std::to_string(id) + " is not in the biome palette");
    put_index(biomes.grid, at, found->second);
  }
  return biomes;
}

Result<bool> write_sponge_biomes(NbtWriter& w, const Volume& volume, int32_t version) {
  const Volume::Biomes& biomes = *volume.biomes;
  const uint64_t layer = uint64_t{volume.size[0]} * volume.size[2];
  const uint32_t layers = version >= 3 ? volume.size[1] : 1;
  if (layer * biomes.height * biomes.grid.width != biomes.grid.bytes.size() ||
      (biomes.height != 1 && biomes.height != volume.size[1]))
    return fail("the biome grid does not match the volume's size");
  // A column layout written as layers repeats each column; layers written as columns must agree.
  auto source_at = [&](uint64_t at) { return biomes.height == 1 ? at % layer : at; };
  if (layers == 1) {
    for (uint64_t at = layer; at < layer * biomes.height; ++at)
      if (index_at(biomes.grid, at) != index_at(biomes.grid, at % layer)) return false;
  }
  std::vector<uint8_t> ids;
  uint64_t largest = 0;
  for (uint64_t at = 0; at < layer * layers; ++at) {
    uint32_t index = index_at(biomes.grid, source_at(at));
    largest = std::max<uint64_t>(largest, index);
    uint8_t bytes[5];
    ids.insert(ids.end(), bytes, put_var_int(bytes, index));
  }
  if (layer * layers != 0 && largest >= biomes.palette.size())
    return fail("the biome grid holds an index beyond its palette");
  if (ids.size() > INT32_MAX) return fail("volume too large for a Sponge biome array");
  const auto palette = [&](std::string_view name) {
    w.begin_compound(name);
    for (size_t id = 0; id < biomes.palette.size(); ++id)
      w.int_(biomes.palette[id], static_cast<int32_t>(id));
    w.end_compound();
  };
  if (version >= 3) {
    w.begin_compound("Biomes");
    palette("Palette");
    w.begin_byte_array("Data", static_cast<uint32_t>(ids.size()));
    w.put_raw(ids);
    w.end_compound();
  } else {
    w.int_("BiomePaletteMax", static_cast<int32_t>(biomes.palette.size()));
    palette("BiomePalette");
    w.begin_byte_array("BiomeData", static_cast<uint32_t>(ids.size()));
    w.put_raw(ids);
  }
  return true;
}

}  // namespace kubrel
