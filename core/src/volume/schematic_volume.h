// The array decoder of MCEdit and Schematica ".schematic" files, the numeric-id schematics of
// before 1.13: a "Schematic" root with Width, Height and Length, "Blocks" (one id byte per
// position, ordered y, z, x like the volume's grid), "Data" (one data value per position), high id
// bits in "AddBlocks" (nibbles, the low half first) or "Add" (a nibble array too, or one byte per
// position), "TileEntities" and "Entities" positioned from the minimum corner, the paste offset
// of "WEOffsetX/Y/Z" and the world corner of "WEOriginX/Y/Z", and Schematica's
// "SchematicaMapping" {name: id}, which names the ids. Blocks become legacy states
// (common/legacy_state.h); no modern format writes them.
#pragma once

#include <cstdint>
#include <span>

#include "common/error.h"
#include "volume/volume.h"

namespace kubrel {

// Decodes a whole .schematic document (decompressed NBT). Failures start with "MCEdit schematic: ".
[[nodiscard]] Result<Volume> decode_schematic_volume(std::span<const uint8_t> document);

}  // namespace kubrel
