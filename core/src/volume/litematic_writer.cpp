// Litematica encoding of a volume.
#include "volume/litematic_writer.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "common/block_state.h"
#include "nbt/nbt_entries.h"
#include "nbt/nbt_writer.h"
#include "volume/entity_position.h"
#include "volume/kept_parts.h"
#include "volume/palette_plan.h"
#include "volume/volume_parts.h"

namespace kubrel {

namespace {

constexpr int32_t kOldestVersion = 4;
constexpr int32_t kNewestVersion = 7;
constexpr const char* kDefaultRegionName = "kubrel";
// Longs packed before they are passed to the sink.
constexpr size_t kLongsPerChunk = 8192;

// A region as it is written: its box in the volume, and the Position and Size the file gets.
struct OutRegion {
  std::string name;
  VolumeBox box;
  std::array<int32_t, 3> position{};
  std::array<int32_t, 3> file_size{};
  // Per volume palette index: the id in this region's palette (0, air, for unused entries).
  std::vector<uint32_t> to_file;
  std::vector<uint32_t> states;  // per file id past air: the volume palette index
  uint64_t total_blocks = 0;
  std::vector<const VolumeBlockEntity*> block_entities, block_ticks, fluid_ticks;
  std::vector<const VolumeEntity*> entities;
  // The region read from a file, when this is one.
  const Volume::NamedRegion* source = nullptr;
  // A region that holds its own blocks: them as a volume of the region's box (sharing the
  // volume's palette), which its palette and block states are written from instead of the grid.
  std::optional<Volume> own;

  const Volume& grid(const Volume& volume) const { return own ? *own : volume; }
  VolumeBox grid_box() const { return own ? whole_box(*own) : box; }
};

bool is_air_name(std::string_view text) {
  return is_air_state_name(text.substr(0, text.find('[')));
}

Result<std::vector<OutRegion>> plan_regions(const Volume& volume) {
  std::vector<OutRegion> out;
  if (volume.regions.empty()) {
    OutRegion whole;
    whole.name = kDefaultRegionName;
    whole.box = whole_box(volume);
    for (int axis = 0; axis < 3; ++axis) whole.file_size[axis] = int32_t(volume.size[axis]);
    out.push_back(std::move(whole));
  }
  for (const Volume::NamedRegion& region : volume.regions) {
    OutRegion planned;
    planned.name = region.name;
    planned.source = &region;
    const int32_t min[3] = {region.min.x, region.min.y, region.min.z};
    for (int axis = 0; axis < 3; ++axis) {
      if (min[axis] < 0 || uint64_t(min[axis]) + region.size[axis] > volume.size[axis])
        return fail("region \"" + region.name + "\" lies outside the volume");
      planned.box.min[axis] = uint32_t(min[axis]);
      planned.box.size[axis] = region.size[axis];
      bool far_end = region.file_size[axis] < 0;
      planned.file_size[axis] = far_end ? -int32_t(region.size[axis]) : int32_t(region.size[axis]);
    }
    if (!region.own_blocks.bytes.empty()) {
      Volume& own = planned.own.emplace();
      own.size = region.size;
      own.palette = volume.palette;
      own.blocks = region.own_blocks;
      if (!check_grid(own))
        return fail("region \"" + region.name + "\": its own blocks do not cover its box");
    }
    out.push_back(std::move(planned));
  }
  // Positions count from the paste origin, which a placement puts at the player.
  const BlockPosition anchor = volume.paste_origin.value_or(BlockPosition{});
  const int64_t origin[3] = {int64_t{volume.origin.x} - anchor.x,
                             int64_t{volume.origin.y} - anchor.y,
                             int64_t{volume.origin.z} - anchor.z};
  for (OutRegion& region : out) {
    for (int axis = 0; axis < 3; ++axis) {
      if (region.box.size[axis] == 0 || region.box.size[axis] > uint32_t(INT32_MAX))
        return fail("region \"" + region.name + "\" has " + std::to_string(region.box.size[axis]) +
                    " positions on an axis; Litematica sizes run from 1 to 2^31 - 1");
      int64_t corner = origin[axis] + region.box.min[axis];
      if (region.file_size[axis] < 0) corner += region.box.size[axis] - 1;
      if (corner < INT32_MIN || corner > INT32_MAX)
        return fail("region \"" + region.name + "\" lies beyond the 32-bit range");
      region.position[axis] = int32_t(corner);
    }
  }
  return out;
}

// The palette of one region: air first, then each state its box uses, structure void as air.
Status plan_region_palette(const Volume& volume, OutRegion& region) {
  KUBREL_ASSIGN_OR_RETURN(PalettePlan plan, plan_palette(region.grid(volume), region.grid_box(),
                                                         {kAirText, kStructureVoidText}));
  region.to_file.assign(volume.palette.size(), 0);
  for (uint32_t index = 0; index < volume.palette.size(); ++index) {
    if (plan.file_id[index] == kNotWritten) continue;
    region.to_file[index] = plan.file_id[index] + 1;
    if (!is_air_name(volume.palette[index])) region.total_blocks += plan.uses[index];
  }
  region.states = std::move(plan.states);
  return {};
}

void write_palette(NbtWriter& w, const Volume& volume, const OutRegion& region) {
  w.begin_list("BlockStatePalette", NbtKind::Compound, int32_t(region.states.size() + 1));
  w.string("Name", kAirText);
  w.end_compound();
  for (uint32_t index : region.states) write_state_compound(w, volume.palette[index]);
}

// The box's ids as one bit stream, each long filled from its least significant bit.
Status write_block_states(NbtWriter& w, const Volume& volume, const OutRegion& region) {
  const unsigned bits = std::max(2u, unsigned(std::bit_width(region.states.size())));
  const uint64_t longs = (region.box.count() * bits + 63) / 64;
  const Volume& grid = region.grid(volume);
  if (longs > uint64_t(INT32_MAX)) return fail("region \"" + region.name + "\" is too large");
  w.tag(NbtKind::LongArray, "BlockStates");
  w.put_int(int32_t(longs));
  std::vector<uint64_t> chunk;
  chunk.reserve(kLongsPerChunk);
  auto flush = [&] {
    for (uint64_t& value : chunk) {
      if constexpr (std::endian::native == std::endian::little) value = std::byteswap(value);
    }
    w.put_raw({reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size() * 8});
    chunk.clear();
  };
  const uint32_t* to_file = region.to_file.data();
  uint64_t current = 0;
  unsigned used = 0;
  for_each_row(grid, region.grid_box(), [&](const auto* row, uint64_t, uint64_t count) {
    for (uint64_t x = 0; x < count; ++x) {
      const uint64_t id = to_file[row[x]];
      current |= id << used;
      used += bits;
      if (used >= 64) {
        chunk.push_back(current);
        if (chunk.size() == kLongsPerChunk) flush();
        used -= 64;
        current = used == 0 ? 0 : id >> (bits - used);
      }
    }
  });
  if (used > 0) chunk.push_back(current);
  flush();
  return {};
}

// The region whose block the reader shows at `p`: the last one holding a non-air block there, or
// the first covering it when every one holds air. Every region holds the volume's block, so the
// block alone decides. Regions that hold their own blocks are the only ones covering a position
// another covers, so the answer matters only where it is a region without them.
OutRegion* owner_of(std::vector<OutRegion>& regions, const Volume& volume, const BlockPosition& p) {
  OutRegion* first = nullptr;
  OutRegion* last = nullptr;
  for (OutRegion& region : regions) {
    if (!region.box.contains(p.x, p.y, p.z)) continue;
    if (first == nullptr) first = &region;
    last = &region;
  }
  if (first == nullptr) return nullptr;
  uint64_t cell = (uint64_t(p.y) * volume.size[2] + uint64_t(p.z)) * volume.size[0] + uint64_t(p.x);
  return first->to_file[grid_index(volume.blocks, cell)] != 0 ? last : first;
}

Status assign_records(const Volume& volume, std::vector<OutRegion>& regions) {
  for (const VolumeBlockEntity& entity : volume.block_entities) {
    OutRegion* owner = owner_of(regions, volume, entity.position);
    if (owner == nullptr)
      return fail("the block entity at " + entity.position.debug_string() + " lies in no region");
    // A region with its own blocks writes its own block entities; the volume's are what it shows.
    if (!owner->own) owner->block_entities.push_back(&entity);
  }
  for (OutRegion& region : regions) {
    if (!region.own) continue;
    for (const VolumeBlockEntity& entity : region.source->own_block_entities) {
      if (!region.box.contains(entity.position.x, entity.position.y, entity.position.z))
        return fail("region \"" + region.name + "\": its block entity at " +
                    entity.position.debug_string() + " lies outside it");
      region.block_entities.push_back(&entity);
    }
  }
  // Ticks may stand just outside every box (updates of neighbours); the first region takes those.
  for (const VolumeBlockEntity& tick : volume.pending_block_ticks) {
    OutRegion* owner = owner_of(regions, volume, tick.position);
    (owner ? owner : &regions[0])->block_ticks.push_back(&tick);
  }
  for (const VolumeBlockEntity& tick : volume.pending_fluid_ticks) {
    OutRegion* owner = owner_of(regions, volume, tick.position);
    (owner ? owner : &regions[0])->fluid_ticks.push_back(&tick);
  }
  for (const VolumeEntity& entity : volume.entities) {
    OutRegion* owner = &regions[0];
    for (OutRegion& region : regions) {
      if (region.box.contains(block_coordinate(entity.position[0]),
                              block_coordinate(entity.position[1]),
                              block_coordinate(entity.position[2]))) {
        owner = &region;
        break;
      }
    }
    owner->entities.push_back(&entity);
  }
  return {};
}

Status check_payload(const NbtCompoundBytes& data, const std::string& what) {
  if (auto entries = nbt_compound_entries(data); !entries)
    return fail(what + " holds malformed NBT: " + entries.error().message);
  return {};
}

// Records tied to a block: "x", "y", "z" from the region's minimum corner, then their data.
Status write_block_records(NbtWriter& w, std::string_view name, const OutRegion& region,
                           const std::vector<const VolumeBlockEntity*>& records) {
  w.begin_list(name, NbtKind::Compound, int32_t(records.size()));
  for (const VolumeBlockEntity* record : records) {
    KUBREL_TRY(check_payload(record->data,
                             std::string(name) + " entry at " + record->position.debug_string()));
    w.int_("x", int32_t(int64_t{record->position.x} - region.box.min[0]));
    w.int_("y", int32_t(int64_t{record->position.y} - region.box.min[1]));
    w.int_("z", int32_t(int64_t{record->position.z} - region.box.min[2]));
    w.put_compound_payload(record->data);
  }
  return {};
}

// Entities: "Pos" from the region's "Position" corner, then their data.
Status write_entities(NbtWriter& w, const Volume& volume, const OutRegion& region) {
  const BlockPosition anchor = volume.paste_origin.value_or(BlockPosition{});
  double corner[3];
  for (int axis = 0; axis < 3; ++axis)
    corner[axis] = double(int64_t{region.position[axis]} + anchor[axis] - volume.origin[axis]);
  w.begin_list("Entities", NbtKind::Compound, int32_t(region.entities.size()));
  for (const VolumeEntity* entity : region.entities) {
    // One parse of the data serves the check, the kept "Pos" and the copy of the rest.
    auto entries = nbt_compound_entries(entity->data);
    if (!entries) return fail("an entity holds malformed NBT: " + entries.error().message);
    const auto& p = entity->position;
    auto at = kept_position(*entries, {p[0] - corner[0], p[1] - corner[1], p[2] - corner[2]});
    w.double_list("Pos", {at[0], at[1], at[2]});
    for (const NbtEntry& entry : *entries)
      if (!nbt_name_is(entry.name, "Pos")) w.put_compound_payload(entry.whole);
    w.end_compound();
  }
  return {};
}

void write_xyz(NbtWriter& w, std::string_view name, const std::array<int32_t, 3>& v) {
  w.begin_compound(name);
  w.int_("x", v[0]);
  w.int_("y", v[1]);
  w.int_("z", v[2]);
  w.end_compound();
}

// The kind of the metadata entry `name` of a volume read from a Litematica file; End otherwise.
NbtKind metadata_kind(const Volume& volume, std::string_view name) {
  if (volume.format != VolumeFormat::Litematic) return NbtKind::End;
  auto entries = nbt_compound_entries(volume.metadata);
  if (!entries) return NbtKind::End;
  for (const NbtEntry& entry : *entries)
    if (nbt_name_is(entry.name, name)) return entry.kind;
  return NbtKind::End;
}

// The read metadata's entries, then the ones that describe what is written.
Status write_metadata(NbtWriter& w, const Volume& volume, const std::vector<OutRegion>& regions,
                      NotKept& not_kept) {
  static constexpr std::string_view kFilledIn[] = {"EnclosingSize", "RegionCount", "TotalVolume",
                                                   "TotalBlocks", "TimeModified"};
  std::array<int64_t, 3> low{INT64_MAX, INT64_MAX, INT64_MAX};
  std::array<int64_t, 3> high{INT64_MIN, INT64_MIN, INT64_MIN};
  uint64_t total_volume = 0;
  uint64_t total_blocks = 0;
  for (const OutRegion& region : regions) {
    for (int axis = 0; axis < 3; ++axis) {
      low[axis] = std::min<int64_t>(low[axis], region.box.min[axis]);
      high[axis] =
          std::max<int64_t>(high[axis], int64_t{region.box.min[axis]} + region.box.size[axis]);
    }
    total_volume += region.box.count();
    total_blocks += region.total_blocks;
  }
  std::array<int32_t, 3> enclosing{};
  for (int axis = 0; axis < 3; ++axis) enclosing[axis] = int32_t(high[axis] - low[axis]);
  const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  KUBREL_ASSIGN_OR_RETURN(std::vector<NamedEntry> entries,
                          metadata_for(volume, VolumeFormat::Litematic, kFilledIn, not_kept));
  // Litematica shows these; a volume that brings none gets them made up.
  bool has_name = false, has_author = false, has_description = false, has_created = false;
  w.begin_compound("Metadata");
  for (const NamedEntry& named : entries) {
    has_name |= named.name == "Name";
    has_author |= named.name == "Author";
    has_description |= named.name == "Description";
    has_created |= named.name == "TimeCreated";
  }
  write_entries(w, entries);
  if (!has_name) w.string("Name", regions.size() == 1 ? regions[0].name : kDefaultRegionName);
  if (!has_author) w.string("Author", kWrittenBy);
  if (!has_description) w.string("Description", "");
  if (!has_created) w.long_("TimeCreated", now);
  w.long_("TimeModified", now);
  write_xyz(w, "EnclosingSize", enclosing);
  w.int_("RegionCount", int32_t(regions.size()));
  // The format's counts are Ints (Longs in some files, kept so); a larger volume saturates them.
  const auto count = [&](std::string_view name, uint64_t value) {
    if (metadata_kind(volume, name) == NbtKind::Long)
      w.long_(name, int64_t(std::min<uint64_t>(value, INT64_MAX)));
    else
      w.int_(name, int32_t(std::min<uint64_t>(value, INT32_MAX)));
  };
  count("TotalVolume", total_volume);
  count("TotalBlocks", total_blocks);
  w.end_compound();
  return {};
}

}  // namespace

Result<NotKept> write_litematic(const Volume& volume, ByteSink& sink) {
  static constexpr std::string_view kWrittenRoot[] = {
      "Version", "SubVersion", "MinecraftDataVersion", "Metadata", "Regions"};
  static constexpr std::string_view kWrittenRegion[] = {
      "Position",     "Size",     "BlockStatePalette", "BlockStates",
      "TileEntities", "Entities", "PendingBlockTicks", "PendingFluidTicks"};
  KUBREL_TRY(check_grid(volume));
  KUBREL_ASSIGN_OR_RETURN(int32_t data_version, required_data_version(volume, "Litematica"));
  NotKept not_kept;
  KUBREL_ASSIGN_OR_RETURN(std::vector<OutRegion> regions, plan_regions(volume));
  for (OutRegion& region : regions) KUBREL_TRY(plan_region_palette(volume, region));
  KUBREL_TRY(assign_records(volume, regions));

  const bool read_here = volume.format == VolumeFormat::Litematic &&
                         volume.version >= kOldestVersion && volume.version <= kNewestVersion;
  NbtWriter w(sink);
  w.begin_compound("");
  w.int_("Version", read_here ? volume.version : kLitematicWriteVersion);
  if (read_here && volume.sub_version) w.int_("SubVersion", *volume.sub_version);
  w.int_("MinecraftDataVersion", data_version);
  KUBREL_TRY(write_metadata(w, volume, regions, not_kept));
  w.begin_compound("Regions");
  for (const OutRegion& region : regions) {
    w.begin_compound(region.name);
    write_xyz(w, "Position", region.position);
    write_xyz(w, "Size", region.file_size);
    write_palette(w, volume, region);
    KUBREL_TRY(write_block_states(w, volume, region));
    KUBREL_TRY(write_block_records(w, "TileEntities", region, region.block_entities));
    KUBREL_TRY(write_entities(w, volume, region));
    KUBREL_TRY(write_block_records(w, "PendingBlockTicks", region, region.block_ticks));
    KUBREL_TRY(write_block_records(w, "PendingFluidTicks", region, region.fluid_ticks));
    if (region.source != nullptr) {
      KUBREL_TRY(write_other_tags(w, region.source->other_tags, volume.format,
                                  VolumeFormat::Litematic, kWrittenRegion, not_kept));
    }
    w.end_compound();
  }
  w.end_compound();
  KUBREL_TRY(write_other_tags(w, volume.other_tags, volume.format, VolumeFormat::Litematic,
                              kWrittenRoot, not_kept));
  w.end_compound();
  KUBREL_TRY(w.finish());
  return not_kept;
}

}  // namespace kubrel
