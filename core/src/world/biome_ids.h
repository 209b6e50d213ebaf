// Names of the numeric biome ids that chunks stored before 1.18: 1.13 to 1.17 kept the game's own
// registry numbers in "Biomes" (one per column up to 1.14, one per 4 x 4 x 4 cell from 1.15), and
// older chunks the same numbers per column. Within 1.13-1.17 the numbers of the game's biomes did
// not change, and only one name did (8, "nether" until the nether's biomes arrived in 1.16).
//
// An id the game never gave a biome (a mod's, or any id of a chunk read as numbered) is kept as
// its number, "#id", which no namespaced name can be mistaken for.
#pragma once

#include <cstdint>
#include <string>

namespace kubrel {

// The data version from which biome 8 is "minecraft:nether_wastes".
inline constexpr int32_t kNetherWastesVersion = 2504;

// The name of biome `id` in a chunk of data version `data_version` (1.13 to 1.17).
std::string named_biome(int32_t id, int32_t data_version);

// The kept number of biome `id`: "#id".
std::string numbered_biome(int32_t id);

}  // namespace kubrel
