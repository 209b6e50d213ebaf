// A world save as a folder: its level.dat (name, data version, game version), its dimensions
// (the overworld at the root, the Nether and the End in DIM-1 and DIM1, and any dimension of the
// newer layout or of a datapack under dimensions/<namespace>/<name>), and the region files and
// chunks each holds.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common/error.h"
#include "common/legacy_state.h"

namespace kubrel {

struct WorldInfo {
  std::optional<int32_t> data_version;
  std::string name;
  // The game's version name ("1.20.1"), where level.dat says.
  std::string game_version;
};

struct WorldDimension {
  // "minecraft:overworld", "minecraft:the_nether", "minecraft:the_end" or "<namespace>:<name>".
  std::string name;
  // The folder that holds its region/ (and entities/) folders.
  std::filesystem::path folder;
};

// What the world's level.dat says; fails when the folder holds none or it cannot be read.
[[nodiscard]] Result<WorldInfo> read_world_info(const std::filesystem::path& world);

// The names level.dat gives numeric block ids (a modded world's map); none for other worlds.
[[nodiscard]] Result<LegacyNames> read_world_legacy_names(const std::filesystem::path& world);

// The dimensions that have a region folder, the three of the game first.
[[nodiscard]] Result<std::vector<WorldDimension>> find_dimensions(
    const std::filesystem::path& world);

// The region files ("r.X.Z.mca") of a dimension's `kind` folder ("region" or "entities"),
// ordered by name.
[[nodiscard]] std::vector<std::filesystem::path> region_files(
    const std::filesystem::path& dimension_folder, std::string_view kind = "region");

// Every chunk present in the dimension's region files, (cx, cz), ordered by file, then z, x.
[[nodiscard]] Result<std::vector<std::array<int32_t, 2>>> dimension_chunks(
    const std::filesystem::path& dimension_folder);

}  // namespace kubrel
