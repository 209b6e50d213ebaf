// How many blocks of each state one region file holds, for the whole file, per y level or per
// chunk section, without building a volume: each section's indices are counted against its own
// palette and only the palette's names are looked up. Stored air counts like any other state;
// sections a chunk does not store are not counted. A chunk that fails to read is reported and
// the others are counted.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "common/error.h"
#include "common/legacy_state.h"
#include "world/region_file.h"

namespace kubrel {

enum class CountBy : uint8_t { World, Y, Chunk };

struct RegionCounts {
  std::vector<std::string> states;
  // One row per key, one column per state: counts[row * states.size() + state].
  std::vector<uint64_t> counts;
  // The rows' keys: none for World (one row), the y of each level for Y (ascending), (cx, sy, cz)
  // of each section for Chunk (in file order).
  std::vector<std::array<int32_t, 3>> keys;
  struct ChunkError {
    int32_t cx = 0, cz = 0;
    std::string message;
  };
  std::vector<ChunkError> errors;
};

// With `legacy`, chunks of numeric ids count as numbered states named by it; without, each is an
// error.
[[nodiscard]] RegionCounts count_region(const RegionFile& file, CountBy by,
                                        const LegacyNames* legacy = nullptr);
[[nodiscard]] Result<RegionCounts> count_region(const std::filesystem::path& path, CountBy by,
                                                const LegacyNames* legacy = nullptr);

}  // namespace kubrel
