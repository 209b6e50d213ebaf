// level.dat is small gzip NBT; it is read in place, and only the three values wanted.
#include "world/world_folder.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <system_error>

#include "nbt/nbt_view.h"
#include "world/legacy_ids.h"
#include "world/region_file.h"

namespace kubrel {

namespace {

constexpr size_t kMaxLevelDat = size_t{64} << 20;

bool is_dir(const std::filesystem::path& path) {
  std::error_code ignored;
  return std::filesystem::is_directory(path, ignored);
}

Result<std::string> string_value(std::span<const uint8_t> doc, const NbtTagRef& tag) {
  if (tag.kind != NbtKind::String) return std::string();
  NbtCursor cursor(doc, tag.payload);
  return cursor.text();
}

// The world's level.dat, inflated.
Result<PageBuffer> read_level_dat(const std::filesystem::path& world) {
  const std::filesystem::path level = world / "level.dat";
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(level.c_str(), "rb"), &std::fclose);
  if (!file) return fail(world.string() + " holds no readable level.dat: not a world folder");
  std::vector<uint8_t> bytes;
  uint8_t block[1 << 14];
  for (size_t got; (got = std::fread(block, 1, sizeof(block), file.get())) > 0;) {
    if (bytes.size() + got > kMaxLevelDat) return fail(level.string() + ": too large");
    bytes.insert(bytes.end(), block, block + got);
  }
  auto inflated = decompress_chunk(1, bytes, kMaxLevelDat);
  if (!inflated) return fail(level.string() + ": " + inflated.error().message);
  return inflated;
}

}  // namespace

Result<LegacyNames> read_world_legacy_names(const std::filesystem::path& world) {
  KUBREL_ASSIGN_OR_RETURN(PageBuffer level, read_level_dat(world));
  return read_legacy_ids(level.bytes());
}

Result<WorldInfo> read_world_info(const std::filesystem::path& world) {
  KUBREL_ASSIGN_OR_RETURN(PageBuffer inflated, read_level_dat(world));
  const std::span<const uint8_t> doc = inflated.bytes();
  WorldInfo info;
  auto read = [&]() -> Status {
    KUBREL_ASSIGN_OR_RETURN(size_t root, nbt_root_compound(doc));
    NbtEntries<1> top{{"Data"}};
    KUBREL_TRY(as_status(find_entries(doc, root, 1, top)));
    if (top["Data"].kind != NbtKind::Compound) return fail("no Data compound");
    NbtEntries<3> data{{"DataVersion", "LevelName", "Version"}};
    KUBREL_TRY(as_status(find_entries(doc, top["Data"].payload, 2, data)));
    if (data["DataVersion"].found()) {
      KUBREL_ASSIGN_OR_RETURN(int64_t version, read_integer(doc, data["DataVersion"]));
      info.data_version = static_cast<int32_t>(version);
    }
    KUBREL_ASSIGN_OR_RETURN(info.name, string_value(doc, data["LevelName"]));
    if (data["Version"].kind == NbtKind::Compound) {
      NbtEntries<1> version{{"Name"}};
      KUBREL_TRY(as_status(find_entries(doc, data["Version"].payload, 3, version)));
      KUBREL_ASSIGN_OR_RETURN(info.game_version, string_value(doc, version["Name"]));
    }
    return {};
  }();
  if (!read) return fail((world / "level.dat").string() + ": " + read.error().message);
  return info;
}

Result<std::vector<WorldDimension>> find_dimensions(const std::filesystem::path& world) {
  KUBREL_TRY(as_status(read_world_info(world)));
  std::vector<WorldDimension> found;
  auto add = [&](std::string name, std::filesystem::path folder) {
    if (!is_dir(folder / "region")) return;
    for (const WorldDimension& known : found) {
      if (known.name == name) return;
    }
    found.push_back({std::move(name), std::move(folder)});
  };
  add("minecraft:overworld", world);
  add("minecraft:the_nether", world / "DIM-1");
  add("minecraft:the_end", world / "DIM1");
  const std::filesystem::path dimensions = world / "dimensions";
  if (is_dir(dimensions)) {
    std::vector<std::pair<std::string, std::filesystem::path>> named;
    std::error_code error;
    for (const auto& space : std::filesystem::directory_iterator(dimensions, error)) {
      if (!space.is_directory()) continue;
      // A dimension may nest its name in folders ("<ns>/a/b" is "<ns>:a/b"); two levels are
      // looked at, which the game and datapacks use.
      for (const auto& dim : std::filesystem::directory_iterator(space.path(), error)) {
        if (!dim.is_directory()) continue;
        named.emplace_back(space.path().filename().string() + ":" + dim.path().filename().string(),
                           dim.path());
      }
    }
    std::sort(named.begin(), named.end());
    // The game's own three keep their order at the front.
    for (const char* own : {"minecraft:overworld", "minecraft:the_nether", "minecraft:the_end"}) {
      for (const auto& [name, folder] : named) {
        if (name == own) add(name, folder);
      }
    }
    for (const auto& [name, folder] : named) add(name, folder);
  }
  return found;
}

std::vector<std::filesystem::path> region_files(const std::filesystem::path& dimension_folder,
                                                std::string_view kind) {
  std::vector<std::filesystem::path> files;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(dimension_folder / kind, error)) {
    if (entry.is_regular_file() && region_origin(entry.path().filename().string())) {
      files.push_back(entry.path());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

Result<std::vector<std::array<int32_t, 2>>> dimension_chunks(
    const std::filesystem::path& dimension_folder) {
  std::vector<std::array<int32_t, 2>> chunks;
  for (const auto& path : region_files(dimension_folder)) {
    KUBREL_ASSIGN_OR_RETURN(RegionFile file, RegionFile::open_table(path));
    for (const auto& [x, z] : file.chunks()) {
      chunks.push_back(
          {file.origin()[0] + static_cast<int32_t>(x), file.origin()[1] + static_cast<int32_t>(z)});
    }
  }
  return chunks;
}

}  // namespace kubrel
