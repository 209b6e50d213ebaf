// A box of a dimension read into the volume model: the chunks that meet it decoded one at a time
// and their blocks, biomes, block entities and entities copied in with positions counted from
// the box's minimum corner. The box's lower corner is inclusive and its upper corner exclusive,
// so ((0, 60, 0), (64, 120, 64)) is 64 x 60 x 64 blocks. Chunks (and sections) that are not
// stored read as air.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

#include "common/error.h"
#include "common/geometry.h"
#include "common/legacy_state.h"
#include "volume/volume.h"

namespace kubrel {

struct WorldBox {
  BlockPosition min;
  // Exclusive.
  BlockPosition max;
};

// Reads `box` from the dimension whose region/ (and entities/) folders are in `folder`. Biomes are
// given only when every position of the box has one stored (chunks from 1.18 on); the volume's
// data version is the highest of the chunks read, else `data_version`. A chunk that fails to read
// fails the whole load, its message naming the chunk. With `legacy`, chunks of numeric ids read as
// numbered states named by it; without, they fail.
[[nodiscard]] Result<Volume> load_world_box(const std::filesystem::path& folder,
                                            const WorldBox& box,
                                            std::optional<int32_t> data_version = std::nullopt,
                                            const LegacyNames* legacy = nullptr);

// Reads one chunk whole: its 16 x 16 columns over the sections it stores.
[[nodiscard]] Result<Volume> load_world_chunk(const std::filesystem::path& folder, int32_t cx,
                                              int32_t cz,
                                              std::optional<int32_t> data_version = std::nullopt,
                                              const LegacyNames* legacy = nullptr);

}  // namespace kubrel
