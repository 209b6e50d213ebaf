// The second half of reading a Litematica file: regions as the document held them (checked, with
// their packed block states still packed) placed into one Volume. Internal to the reader.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "common/error.h"
#include "volume/volume.h"

namespace kubrel {

// A record tied to a block (a block entity or a pending tick): the "x", "y", "z" it was stored
// with, counted from the region's minimum corner, and the rest of its compound.
struct LitematicRecord {
  std::array<int32_t, 3> position{};
  NbtCompoundBytes data;
};

// An entity: its "Pos", counted from the region's "Position", and the rest of its compound.
struct LitematicEntity {
  std::array<double, 3> position{};
  NbtCompoundBytes data;
};

struct LitematicRegion {
  std::string name;
  std::array<int32_t, 3> position{};
  std::array<int32_t, 3> file_size{};
  // The box in the file's frame: minimum corner and positions per axis.
  std::array<int64_t, 3> min{};
  std::array<uint32_t, 3> size{};
  uint64_t entries = 0;
  // Canonical state texts, indexed as BlockStates indexes them.
  std::vector<std::string> palette;
  unsigned bits = 2;
  std::vector<uint64_t> block_states;  // host byte order
  std::vector<LitematicRecord> tile_entities;
  std::vector<LitematicRecord> block_ticks;
  std::vector<LitematicRecord> fluid_ticks;
  std::vector<LitematicEntity> entities;
  // The members this model does not hold, as a compound payload without its End tag.
  NbtCompoundBytes other_tags;
};

// Places `regions` (each already checked: its BlockStates holds exactly `entries` indices of `bits`
// bits) into `volume`, filling its origin, size, palette, blocks, records and region list.
[[nodiscard]] Status assemble_litematic(std::vector<LitematicRegion>& regions, Volume& volume);

}  // namespace kubrel
