// The position a writer gives an entity. A volume counts entity positions from its minimum
// corner, while files count them from their own frame (a region's corner, the world), so a
// position read and written back goes through two additions that may round its last bit. The data
// keeps the "Pos" the file stored; a writer that lands within rounding of it writes those doubles.
#pragma once

#include <array>
#include <span>

#include "nbt/nbt_entries.h"
#include "volume/volume.h"

namespace kubrel {

// `wanted`, or the three doubles of the data's "Pos" where each is within a few units of the last
// place of `wanted`'s.
std::array<double, 3> kept_position(const NbtCompoundBytes& data, std::array<double, 3> wanted);
// The same over the data's entries, for a writer that has them already.
std::array<double, 3> kept_position(std::span<const NbtEntry> entries,
                                    std::array<double, 3> wanted);

}  // namespace kubrel
