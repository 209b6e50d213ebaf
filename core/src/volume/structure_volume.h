// The array decoder of the game's structure files: "size", "palette" (or a "palettes" list of
// palettes, one chosen), "blocks", "entities" and "DataVersion" in any order, old files (before
// the 1.13 block names) included. Positions the file does not list hold
// "minecraft:structure_void", which the game reads as "leave the world as it is".
#pragma once

#include <cstdint>
#include <span>

#include "common/error.h"
#include "volume/volume.h"

namespace kubrel {

// Decodes a whole structure document (decompressed NBT), taking entry `palette` of a "palettes"
// list (a file with a single "palette" has only entry 0). Failures start with "structure file: ".
[[nodiscard]] Result<Volume> decode_structure_volume(std::span<const uint8_t> document,
                                                     uint32_t palette = 0);

}  // namespace kubrel
