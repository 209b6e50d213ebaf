// Writes a volume as a Litematica document (uncompressed NBT; the caller chooses the sink, usually
// a gzip one). The regions are the ones the volume was read with, each holding the volume's blocks
// inside its box, or one region covering the whole volume when it has none. Each region's palette
// starts with air and holds the states its box uses, its "BlockStates" packed as the format packs
// them (max(2, bit length of (palette size - 1)) bits per position, one continuous little-end-first
// bit stream over the longs). Block entities and pending ticks go to the region whose block the
// reader shows at their position, entities to the region their block falls in (else the first).
//
// Structure void is written as air: no Litematica file holds it (the corpus has none in any
// palette); in a volume it marks positions that belong to no block (a structure file's unlisted
// positions, the gaps between regions), which a region stores as air. Metadata keeps what the
// volume's read metadata holds (name, author, description, times, preview image, any other entry)
// and fills in what describes the regions: EnclosingSize, RegionCount, TotalVolume, TotalBlocks
// (positions holding anything but air, cave air, void air or structure void, as the format counts
// them) and TimeModified.
#pragma once

#include <cstdint>

#include "common/error.h"
#include "io/byte_sink.h"
#include "volume/kept_parts.h"
#include "volume/volume.h"

namespace kubrel {

// The version written for volumes not read from a Litematica file.
inline constexpr int32_t kLitematicWriteVersion = 6;

// Fails for a region outside the volume or past the format's 32-bit sizes, a volume without a
// data version, a block entity that no region holds, a grid index outside the palette, malformed
// record NBT, or a failing sink. Returns what the format could not hold.
[[nodiscard]] Result<NotKept> write_litematic(const Volume& volume, ByteSink& sink);

}  // namespace kubrel
