// The data versions a region file's chunks were written with. The game converts a chunk only when
// it loads it again, so an old world holds chunks of every version it was played in; this reads
// each chunk's own "DataVersion" without decoding its sections.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "common/error.h"
#include "world/region_file.h"

namespace kubrel {

struct ChunkVersions {
  // (data version, chunks), ascending; std::nullopt first for chunks that hold none (before 1.9).
  std::vector<std::pair<std::optional<int32_t>, uint32_t>> counts;
  // Chunks that could not be read.
  uint32_t unreadable = 0;
};

ChunkVersions count_chunk_versions(const RegionFile& file);
[[nodiscard]] Result<ChunkVersions> count_chunk_versions(const std::filesystem::path& path);

}  // namespace kubrel
