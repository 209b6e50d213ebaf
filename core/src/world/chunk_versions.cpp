// Only the root compound's entries are visited: each chunk still costs its inflate, which is what
// makes this a pass of its own rather than part of listing a world.
#include "world/chunk_versions.h"

#include <map>

#include "nbt/nbt_view.h"

namespace kubrel {

namespace {

Result<std::optional<int32_t>> data_version_of(std::span<const uint8_t> nbt) {
  KUBREL_ASSIGN_OR_RETURN(size_t root, nbt_root_compound(nbt));
  NbtEntries<1> entries{{"DataVersion"}};
  KUBREL_TRY(as_status(find_entries(nbt, root, 1, entries)));
  if (!entries["DataVersion"].found()) return std::optional<int32_t>{};
  KUBREL_ASSIGN_OR_RETURN(int64_t version, read_integer(nbt, entries["DataVersion"]));
  if (version < INT32_MIN || version > INT32_MAX) return fail("a data version out of range");
  return std::optional<int32_t>{static_cast<int32_t>(version)};
}

}  // namespace

ChunkVersions count_chunk_versions(const RegionFile& file) {
  std::map<std::optional<int32_t>, uint32_t> counts;
  ChunkVersions out;
  // One buffer for every chunk: each inflates into the room the one before it left.
  PageBuffer nbt;
  for (const auto& [x, z] : file.chunks()) {
    auto present = file.read_chunk(x, z, nbt);
    if (!present || !*present) {
      out.unreadable += present ? 0 : 1;
      continue;
    }
    auto version = data_version_of(nbt.bytes());
    if (!version) {
      ++out.unreadable;
      continue;
    }
    ++counts[*version];
  }
  out.counts.assign(counts.begin(), counts.end());
  return out;
}

Result<ChunkVersions> count_chunk_versions(const std::filesystem::path& path) {
  KUBREL_ASSIGN_OR_RETURN(RegionFile file, RegionFile::open(path));
  return count_chunk_versions(file);
}

}  // namespace kubrel
