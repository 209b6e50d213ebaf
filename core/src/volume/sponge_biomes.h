// The biomes of Sponge schematics: version 2's one biome per column ("BiomePalette",
// "BiomePaletteMax", "BiomeData") and version 3's one per position ("Biomes" {"Palette",
// "Data"}), both a palette of names and VarInt ids in the blocks' order. Read into the volume's
// biome grid and written back in either layout, so that converting between the two versions keeps
// them (a version 3 grid that varies with height has no version 2 form: the writer says so).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/error.h"
#include "nbt/nbt_view.h"
#include "nbt/nbt_writer.h"
#include "volume/volume.h"

namespace kubrel {

// Decodes biomes whose palette compound is `palette` and whose id array is `data`, over
// `height` layers of the volume's x-z footprint (1 for columns). Ids past the end of a short
// array read as the first palette entry.
[[nodiscard]] Result<Volume::Biomes> decode_sponge_biomes(std::span<const uint8_t> document,
                                                          const NbtTagRef& palette,
                                                          const NbtTagRef& data, int depth,
                                                          const Volume& volume, uint32_t height);

// Writes the volume's biomes in the layout of `version` (2: the three root entries, 3: the
// "Biomes" compound). Returns false, writing nothing, when version 2 cannot hold them (a biome
// that changes with height in some column).
[[nodiscard]] Result<bool> write_sponge_biomes(NbtWriter& w, const Volume& volume, int32_t version);

}  // namespace kubrel
