// Writes a volume, or a box inside it, as the game's structure file document (uncompressed NBT):
// "DataVersion" (when the volume has one), "size", "palette" ({Name, Properties}; "palettes", each
// aligned with the volume's palette, for a volume read with several), "blocks" ({pos, state} with
// the block entity data under "nbt", byte for byte), "entities" ({pos, blockPos, nbt}), "author"
// from the metadata, and the other tags of a volume read from a structure file. Air is listed,
// since placing a structure replaces what it lists; positions holding "minecraft:structure_void"
// are left out, which is how the game says "leave the world as it is" there.
//
// The game's structure blocks load at most 48 positions per axis; structure_pieces cuts a larger
// volume into boxes of at most that size, each written as a structure of its own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/error.h"
#include "io/byte_sink.h"
#include "volume/kept_parts.h"
#include "volume/palette_plan.h"
#include "volume/volume.h"

namespace kubrel {

inline constexpr uint32_t kDefaultPieceSize = 48;

// The box `box` of `volume` (the whole volume by default). Positions are written relative to the
// box. A block entity belongs to the box that holds its position; an entity to the box that holds
// its position rounded down and moved into the volume. Fails for a block entity the format cannot
// hold (outside the volume, on a position left out, or a second one at a position), a box outside
// the volume, or a failing sink. Returns what the format could not hold.
[[nodiscard]] Result<NotKept> write_structure(const Volume& volume, const VolumeBox& box,
                                              ByteSink& sink);
[[nodiscard]] inline Result<NotKept> write_structure(const Volume& volume, ByteSink& sink) {
  return write_structure(volume, whole_box(volume), sink);
}

// The boxes of at most `piece_size` (at least 1) positions per axis that tile the volume, x
// fastest, then z, then y. A volume without positions gives one empty box.
std::vector<VolumeBox> structure_pieces(const Volume& volume,
                                        uint32_t piece_size = kDefaultPieceSize);

// "x_y_z" of the box's minimum corner: the name that places a piece.
std::string piece_name(const VolumeBox& box);

}  // namespace kubrel
