// The game's biome numbers of 1.13 to 1.17, by the names those versions gave them.
#include "world/biome_ids.h"

#include <array>
#include <string_view>

namespace kubrel {

namespace {

struct BiomeId {
  int32_t id;
  std::string_view name;
};

// Sorted by id; the gaps are numbers the game never used.
constexpr std::array<BiomeId, 81> kBiomes{{
    {0, "ocean"},
    {1, "plains"},
    {2, "desert"},
    {3, "mountains"},
    {4, "forest"},
    {5, "taiga"},
    {6, "swamp"},
    {7, "river"},
    {8, "nether"},
    {9, "the_end"},
    {10, "frozen_ocean"},
    {11, "frozen_river"},
    {12, "snowy_tundra"},
    {13, "snowy_mountains"},
    {14, "mushroom_fields"},
    {15, "mushroom_field_shore"},
    {16, "beach"},
    {17, "desert_hills"},
    {18, "wooded_hills"},
    {19, "taiga_hills"},
    {20, "mountain_edge"},
    {21, "jungle"},
    {22, "jungle_hills"},
    {23, "jungle_edge"},
    {24, "deep_ocean"},
    {25, "stone_shore"},
    {26, "snowy_beach"},
    {27, "birch_forest"},
    {28, "birch_forest_hills"},
    {29, "dark_forest"},
    {30, "snowy_taiga"},
    {31, "snowy_taiga_hills"},
    {32, "giant_tree_taiga"},
    {33, "giant_tree_taiga_hills"},
    {34, "wooded_mountains"},
    {35, "savanna"},
    {36, "savanna_plateau"},
    {37, "badlands"},
    {38, "wooded_badlands_plateau"},
    {39, "badlands_plateau"},
    {40, "small_end_islands"},
    {41, "end_midlands"},
    {42, "end_highlands"},
    {43, "end_barrens"},
    {44, "warm_ocean"},
    {45, "lukewarm_ocean"},
    {46, "cold_ocean"},
    {47, "deep_warm_ocean"},
    {48, "deep_lukewarm_ocean"},
    {49, "deep_cold_ocean"},
    {50, "deep_frozen_ocean"},
    {127, "the_void"},
    {129, "sunflower_plains"},
    {130, "desert_lakes"},
    {131, "gravelly_mountains"},
    {132, "flower_forest"},
    {133, "taiga_mountains"},
    {134, "swamp_hills"},
    {140, "ice_spikes"},
    {149, "modified_jungle"},
    {151, "modified_jungle_edge"},
    {155, "tall_birch_forest"},
    {156, "tall_birch_hills"},
    {157, "dark_forest_hills"},
    {158, "snowy_taiga_mountains"},
    {160, "giant_spruce_taiga"},
    {161, "giant_spruce_taiga_hills"},
    {162, "modified_gravelly_mountains"},
    {163, "shattered_savanna"},
    {164, "shattered_savanna_plateau"},
    {165, "eroded_badlands"},
    {166, "modified_wooded_badlands_plateau"},
    {167, "modified_badlands_plateau"},
    {168, "bamboo_jungle"},
    {169, "bamboo_jungle_hills"},
    {170, "soul_sand_valley"},
    {171, "crimson_forest"},
    {172, "warped_forest"},
    {173, "basalt_deltas"},
    {174, "dripstone_caves"},
    {175, "lush_caves"},
}};

}  // namespace

std::string named_biome(int32_t id, int32_t data_version) {
  if (id == 8 && data_version >= kNetherWastesVersion) return "minecraft:nether_wastes";
  size_t low = 0, high = kBiomes.size();
  while (low < high) {
    const size_t mid = (low + high) / 2;
    if (kBiomes[mid].id < id) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  if (low == kBiomes.size() || kBiomes[low].id != id) return numbered_biome(id);
  return "minecraft:" + std::string(kBiomes[low].name);
}

std::string numbered_biome(int32_t id) {
  return "#" + std::to_string(id);
}

}  // namespace kubrel
