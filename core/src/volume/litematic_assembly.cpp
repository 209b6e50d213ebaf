// Places checked Litematica regions into one volume: the enclosing box, one merged palette, the
// packed indices unpacked straight into the grid, and the records moved into volume terms.
#include "volume/litematic_assembly.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <unordered_map>

#include "volume/litematic_reader.h"
#include "volume/packed_indices.h"
#include "volume/volume_parts.h"

namespace kubrel {

namespace {

// The index stored for entry `entry` of `region`.
uint32_t index_at(const LitematicRegion& region, uint64_t entry) {
  uint64_t bit = entry * region.bits;
  uint64_t word = bit >> 6;
  unsigned shift = bit & 63;
  uint64_t value = region.block_states[word] >> shift;
  if (shift + region.bits > 64) value |= region.block_states[word + 1] << (64 - shift);
  return static_cast<uint32_t>(value & ((uint64_t{1} << region.bits) - 1));
}

struct Placed {
  const LitematicRegion* region;
  std::array<uint32_t, 3> offset;   // minimum corner from the volume's
  std::vector<uint32_t> to_volume;  // region palette index -> volume palette index
  std::vector<size_t> overlapping;  // regions whose boxes meet this one's, itself included
};

bool boxes_meet(const LitematicRegion& a, const LitematicRegion& b) {
  for (int axis = 0; axis < 3; ++axis) {
    if (a.min[axis] + a.size[axis] <= b.min[axis] || b.min[axis] + b.size[axis] <= a.min[axis])
      return false;
  }
  return true;
}

struct Grid {
  std::array<uint32_t, 3> size;
  uint32_t void_index;
  uint64_t covered = 0;  // positions some region has written
};

std::unexpected<Error> outside_palette(const Placed& placed, uint32_t index) {
  return fail("region \"" + placed.region->name + "\": block state index " + std::to_string(index) +
              " outside its palette of " + std::to_string(placed.to_volume.size()) + " entries");
}

// Whether the one region's indices go into the grid as they are: each is the volume's own.
bool indices_as_they_are(const Placed& placed) {
  for (uint32_t i = 0; i < placed.to_volume.size(); ++i)
    if (placed.to_volume[i] != i) return false;
  return can_unpack_indices(placed.region->bits);
}

// The one region, which is the whole volume, with the volume's own indices: its stream is the
// grid in order, unpacked many at a time.
template <class T>
Status fill_as_they_are(const Placed& placed, T* cells, Grid& grid) {
  const LitematicRegion& region = *placed.region;
  const auto palette_size = static_cast<uint32_t>(placed.to_volume.size());
  std::span<const uint8_t> stream(reinterpret_cast<const uint8_t*>(region.block_states.data()),
                                  region.block_states.size() * sizeof(uint64_t));
  uint64_t entry = unpack_indices(stream, region.bits, region.entries, palette_size, cells);
  // The last few, and a group that holds an index outside the palette, one at a time.
  for (; entry < region.entries; ++entry) {
    uint32_t index = index_at(region, entry);
    if (index >= palette_size) return outside_palette(placed, index);
    cells[entry] = static_cast<T>(index);
  }
  grid.covered += region.entries;
  return {};
}

// The region's palette mapped to volume indices for every value its bits can hold; values past the
// palette map to kOutside, whose top bit no volume index has, so that a row's misses show in one
// OR.
constexpr uint32_t kOutside = UINT32_MAX;
constexpr uint32_t kOutsideBit = 0x80000000;

std::vector<uint32_t> every_value(const Placed& placed) {
  std::vector<uint32_t> table(size_t{1} << placed.region->bits, kOutside);
  std::copy(placed.to_volume.begin(), placed.to_volume.end(), table.begin());
  return table;
}

// Unpacks one region's indices into its rows of the grid. `kMerge` (the region meets an earlier
// one): a position takes the region's block unless it is air over a block already placed.
template <class T, bool kMerge>
Status fill(const Placed& placed, T* cells, Grid& grid) {
  const LitematicRegion& region = *placed.region;
  const unsigned bits = region.bits;
  const uint64_t mask = (uint64_t{1} << bits) - 1;
  // An index is read with one unaligned 8-byte load at its first byte (the longs hold the stream
  // least significant bit first, as the host's bytes do), so the last few, whose load would run
  // past the array, are read word by word.
  const auto* stream = reinterpret_cast<const uint8_t*>(region.block_states.data());
  const uint64_t stream_bytes = region.block_states.size() * sizeof(uint64_t);
  const bool little_endian = std::endian::native == std::endian::little;
  const uint64_t loadable =
      !little_endian || stream_bytes < 8
          ? 0
          : std::min<uint64_t>(region.entries, ((stream_bytes - 7) * 8 + bits - 1) / bits);
  const std::vector<uint32_t> to_volume = every_value(placed);
  const T void_value = static_cast<T>(grid.void_index);
  uint64_t covered = 0;
  uint64_t entry = 0;
  for (uint32_t y = 0; y < region.size[1]; ++y) {
    for (uint32_t z = 0; z < region.size[2]; ++z) {
      T* row = cells + ((uint64_t{placed.offset[1] + y} * grid.size[2] + placed.offset[2] + z) *
                            grid.size[0] +
                        placed.offset[0]);
      uint32_t missing = 0;
      for (uint32_t x = 0; x < region.size[0]; ++x, ++entry) {
        uint64_t index;
        if (entry < loadable) [[likely]] {
          uint64_t bit = entry * bits;
          uint64_t word;
          std::memcpy(&word, stream + (bit >> 3), sizeof(word));
          index = (word >> (bit & 7)) & mask;
        } else {
          index = index_at(region, entry);
        }
        uint32_t volume_index = to_volume[index];
        missing |= volume_index;
        T value = static_cast<T>(volume_index);
        if constexpr (kMerge) {
          bool empty = row[x] == void_value;
          covered += empty;
          if (value != 0 || empty) row[x] = value;
        } else {
          row[x] = value;
        }
      }
      if (missing & kOutsideBit) [[unlikely]] {
        for (uint32_t x = 0; x < region.size[0]; ++x) {
          uint32_t index = index_at(region, entry - region.size[0] + x);
          if (index >= placed.to_volume.size()) return outside_palette(placed, index);
        }
      }
    }
  }
  grid.covered += kMerge ? covered : region.entries;
  return {};
}

template <class T>
Status fill_all(std::vector<Placed>& placed, PageBuffer& bytes, Grid& grid) {
  T* cells = reinterpret_cast<T*>(bytes.data());
  if (placed.size() == 1 && indices_as_they_are(placed[0]))
    return fill_as_they_are(placed[0], cells, grid);
  if (placed.size() > 1) std::fill_n(cells, bytes.size() / sizeof(T), T(grid.void_index));
  for (size_t i = 0; i < placed.size(); ++i) {
    bool meets_earlier = placed[i].overlapping.front() < i;
    Status filled = meets_earlier ? fill<T, true>(placed[i], cells, grid)
                                  : fill<T, false>(placed[i], cells, grid);
    if (!filled) return filled;
  }
  return {};
}

// Whether `placed[k]`'s block at volume position `p` is the one the volume shows: the last region
// holding a non-air block there wins, or the first region covering it when all hold air.
bool region_won(const std::vector<Placed>& placed, size_t k, const std::array<int64_t, 3>& p) {
  std::optional<size_t> first;
  for (auto it = placed[k].overlapping.rbegin(); it != placed[k].overlapping.rend(); ++it) {
    const Placed& other = placed[*it];
    const LitematicRegion& region = *other.region;
    std::array<int64_t, 3> local{};
    bool inside = true;
    for (int axis = 0; axis < 3; ++axis) {
      local[axis] = p[axis] - other.offset[axis];
      inside &= local[axis] >= 0 && local[axis] < region.size[axis];
    }
    if (!inside) continue;
    uint64_t entry = (uint64_t(local[1]) * region.size[2] + uint64_t(local[2])) * region.size[0] +
                     uint64_t(local[0]);
    if (other.to_volume[index_at(region, entry)] != 0) return *it == k;
    first = *it;
  }
  return first == k;
}

// The region's blocks in volume indices over its own box, unpacked a second time: the grid
// shows some other region's where they meet. Every index was checked when the grid was filled.
template <class T>
Status keep_own_blocks(const Placed& placed, IndexGrid& own) {
  const LitematicRegion& region = *placed.region;
  own.width = sizeof(T);
  KUBREL_TRY(own.bytes.assign_zeroed(region.entries * sizeof(T)));
  T* cells = reinterpret_cast<T*>(own.bytes.data());
  for (uint64_t entry = 0; entry < region.entries; ++entry)
    cells[entry] = static_cast<T>(placed.to_volume[index_at(region, entry)]);
  return {};
}

Status keep_own_blocks(const Placed& placed, uint8_t width, IndexGrid& own) {
  switch (width) {
    case 1:
      return keep_own_blocks<uint8_t>(placed, own);
    case 2:
      return keep_own_blocks<uint16_t>(placed, own);
    default:
      return keep_own_blocks<uint32_t>(placed, own);
  }
}

// Block entities must stand inside their region; pending ticks may not (the game schedules
// updates of neighbours, and files hold ticks just outside the box), so theirs are kept as they
// are. Where regions meet, `own` (when given) receives every record inside the region and `out`
// only those whose block the volume shows.
Status place_records(const std::vector<Placed>& placed, size_t k,
                     std::vector<LitematicRecord>& records, const char* what, bool inside_only,
                     std::vector<VolumeBlockEntity>& out,
                     std::vector<VolumeBlockEntity>* own = nullptr) {
  const LitematicRegion& region = *placed[k].region;
  for (LitematicRecord& record : records) {
    std::array<int64_t, 3> p{};
    bool inside = true;
    for (int axis = 0; axis < 3; ++axis) {
      inside &= record.position[axis] >= 0 && uint32_t(record.position[axis]) < region.size[axis];
      p[axis] = int64_t{placed[k].offset[axis]} + record.position[axis];
    }
    auto refuse = [&](const char* why) {
      return fail("region \"" + region.name + "\": a " + what + " at (" +
                  std::to_string(record.position[0]) + ", " + std::to_string(record.position[1]) +
                  ", " + std::to_string(record.position[2]) + ") " + why);
    };
    if (!inside && inside_only) return refuse("outside the region");
    if (std::ranges::any_of(p, [](int64_t v) { return v < INT32_MIN || v > INT32_MAX; }))
      return refuse("beyond the 32-bit range");
    const BlockPosition at{int32_t(p[0]), int32_t(p[1]), int32_t(p[2])};
    const bool meets = inside && placed[k].overlapping.size() > 1;
    if (meets && own != nullptr) own->push_back({at, record.data});
    if (meets && !region_won(placed, k, p)) continue;
    out.push_back({at, std::move(record.data)});
  }
  return {};
}

}  // namespace

Status assemble_litematic(std::vector<LitematicRegion>& regions, Volume& volume) {
  std::array<int64_t, 3> low{INT64_MAX, INT64_MAX, INT64_MAX};
  std::array<int64_t, 3> high{INT64_MIN, INT64_MIN, INT64_MIN};
  uint64_t own_positions = 0;
  for (const LitematicRegion& region : regions) {
    for (int axis = 0; axis < 3; ++axis) {
      low[axis] = std::min(low[axis], region.min[axis]);
      high[axis] = std::max(high[axis], region.min[axis] + region.size[axis]);
    }
    own_positions += region.entries;
  }
  unsigned __int128 positions = 1;
  for (int axis = 0; axis < 3; ++axis) {
    if (high[axis] - low[axis] > UINT32_MAX)
      return fail("the regions span more than 2^32 positions");
    volume.size[axis] = static_cast<uint32_t>(high[axis] - low[axis]);
    positions *= volume.size[axis];
  }
  if (positions > own_positions * kLitematicSpreadFactor + kLitematicSpreadAllowance)
    return fail("the regions spread over " + std::to_string(uint64_t(positions)) +
                " positions, far more than the " + std::to_string(own_positions) + " they hold");
  volume.origin = BlockPosition{int32_t(low[0]), int32_t(low[1]), int32_t(low[2])};
  // Region positions count from the file's own origin, which a placement puts at the player.
  volume.paste_origin = BlockPosition{};

  // One palette for all regions, in order of first appearance after air.
  std::unordered_map<std::string, uint32_t> ids;
  volume.palette = {std::string(kAirText)};
  ids.emplace(kAirText, 0);
  std::vector<Placed> placed(regions.size());
  for (size_t i = 0; i < regions.size(); ++i) {
    placed[i].region = &regions[i];
    for (int axis = 0; axis < 3; ++axis)
      placed[i].offset[axis] = static_cast<uint32_t>(regions[i].min[axis] - low[axis]);
    placed[i].to_volume.reserve(regions[i].palette.size());
    for (const std::string& state : regions[i].palette) {
      auto [it, added] = ids.emplace(state, uint32_t(volume.palette.size()));
      if (added) volume.palette.push_back(state);
      placed[i].to_volume.push_back(it->second);
    }
    for (size_t j = 0; j < regions.size(); ++j) {
      if (j == i || boxes_meet(regions[i], regions[j])) placed[i].overlapping.push_back(j);
    }
  }
  // Several regions may leave gaps; they read as structure void, added only when some remain.
  Grid grid{volume.size, 0};
  bool void_added = false;
  if (regions.size() > 1) {
    auto [it, added] = ids.emplace(kStructureVoidText, uint32_t(volume.palette.size()));
    if (added) volume.palette.emplace_back(kStructureVoidText);
    grid.void_index = it->second;
    void_added = added;
  }
  volume.blocks.width = grid_width_for(volume.palette.size());
  KUBREL_TRY(
      volume.blocks.bytes.assign_zeroed(static_cast<size_t>(positions) * volume.blocks.width));
  switch (volume.blocks.width) {
    case 1:
      KUBREL_TRY(fill_all<uint8_t>(placed, volume.blocks.bytes, grid));
      break;
    case 2:
      KUBREL_TRY(fill_all<uint16_t>(placed, volume.blocks.bytes, grid));
      break;
    default:
      KUBREL_TRY(fill_all<uint32_t>(placed, volume.blocks.bytes, grid));
  }
  if (void_added && grid.covered == positions) {
    volume.palette.pop_back();
    if (grid_width_for(volume.palette.size()) != volume.blocks.width)
      convert_grid_width(volume.blocks, grid_width_for(volume.palette.size()));
  }

  for (size_t k = 0; k < placed.size(); ++k) {
    LitematicRegion& region = regions[k];
    Volume::NamedRegion& named = volume.regions.emplace_back();
    // Only a region that another one meets can differ from the grid; the others cost nothing more.
    const bool meets_another = placed[k].overlapping.size() > 1;
    if (meets_another)
      KUBREL_TRY(keep_own_blocks(placed[k], volume.blocks.width, named.own_blocks));
    KUBREL_TRY(place_records(placed, k, region.tile_entities, "tile entity", true,
                             volume.block_entities,
                             meets_another ? &named.own_block_entities : nullptr));
    KUBREL_TRY(place_records(placed, k, region.block_ticks, "pending block tick", false,
                             volume.pending_block_ticks));
    KUBREL_TRY(place_records(placed, k, region.fluid_ticks, "pending fluid tick", false,
                             volume.pending_fluid_ticks));
    for (LitematicEntity& entity : region.entities) {
      std::array<double, 3> position{};
      for (int axis = 0; axis < 3; ++axis)
        position[axis] = entity.position[axis] + double(region.position[axis] - low[axis]);
      volume.entities.push_back({position, std::move(entity.data), std::nullopt});
    }
    BlockPosition min{int32_t(placed[k].offset[0]), int32_t(placed[k].offset[1]),
                      int32_t(placed[k].offset[2])};
    named.name = region.name;
    named.min = min;
    named.size = region.size;
    named.file_size = region.file_size;
    named.other_tags = std::move(region.other_tags);
    if (!named.other_tags.empty()) named.other_tags.push_back(std::byte{0});
  }
  return {};
}

}  // namespace kubrel
