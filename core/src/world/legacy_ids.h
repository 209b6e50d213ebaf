// The names of numeric block ids that a modded world keeps in its level.dat: Forge 1.10 to 1.12
// under "FML"."Registries"."minecraft:blocks"."ids" (a list of {K: name, V: id}), Forge 1.7 under
// "FML"."ItemData" (the same pairs for items and blocks, a block's K starting with byte 1). A
// vanilla world keeps no such map: its blocks keep their bare numbers.
#pragma once

#include <cstdint>
#include <span>

#include "common/error.h"
#include "common/legacy_state.h"

namespace kubrel {

// The map of a level.dat document (decompressed NBT); no names when it holds none. Ids outside
// 0-4095 are left out. Fails on a document that is not NBT or a map of the wrong shape, with
// messages that start with "level.dat: ".
[[nodiscard]] Result<LegacyNames> read_legacy_ids(std::span<const uint8_t> level_dat);

}  // namespace kubrel
