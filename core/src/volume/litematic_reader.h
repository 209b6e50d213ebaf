// Reads a Litematica schematic (.litematic) into a Volume: every named region placed by its
// position in one volume covering their enclosing box, or one region alone.
//
// The volume: positions that no region covers hold "minecraft:structure_void"; where regions
// overlap, a later region's non-air blocks win over an earlier one's, and a block entity or
// pending tick inside its region is kept only where its region's block won (ticks just outside
// their region, which files hold, are kept as they are). Block entities, entities and pending
// ticks keep their exact NBT (the format's position keys removed, positions counted from the
// volume's minimum corner); the "Metadata" compound is kept as it is stored. `origin` is the
// enclosing box's minimum corner in the file's frame (the frame of the regions' "Position").
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "common/error.h"
#include "io/byte_source.h"
#include "volume/volume.h"

namespace kubrel {

// The most regions a file may hold: overlaps are resolved pairwise, so the count must stay small.
inline constexpr size_t kMaxLitematicRegions = 4096;
// A volume may hold at most this many positions more than its regions' own positions times
// kLitematicSpreadFactor: regions far apart would otherwise make a tiny file claim a huge grid.
inline constexpr uint64_t kLitematicSpreadAllowance = uint64_t{1} << 20;
inline constexpr uint64_t kLitematicSpreadFactor = 64;

struct LitematicReadOptions {
  // Reads only the region of this name; the volume then covers that region's box alone.
  std::optional<std::string> region;
};

// Decodes a whole document from `source`: a gzip member of NBT, or the NBT itself (told apart by
// the first two bytes). Fails with one message naming the fault (and the region it is in) for a
// document that is not a Litematica file of versions 4 to 7, is damaged, or describes more than
// its bytes hold.
[[nodiscard]] Result<Volume> read_litematic(std::unique_ptr<ByteSource> source,
                                            const LitematicReadOptions& options = {});

}  // namespace kubrel
