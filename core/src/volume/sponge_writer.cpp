// Sponge schematic encoding of a volume.
#include "volume/sponge_writer.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "io/varint.h"
#include "nbt/nbt_entries.h"
#include "nbt/nbt_writer.h"
#include "volume/entity_position.h"
#include "volume/kept_parts.h"
#include "volume/palette_plan.h"
#include "volume/sponge_biomes.h"

namespace kubrel {

namespace {

constexpr uint32_t kMaxSpongeAxis = 65535;

// The entity or block entity data `data` cut into its String "id" entry and the rest.
struct SplitData {
  std::optional<NbtEntry> id;
  std::vector<NbtEntry> rest;
};

// Without an "id" (Litematica block entities often have none: the game takes it from the block),
// version 3 writes no "Id" and keeps the data whole under "Data", where the format's readers look
// for an "id" of the element's own; version 2 has nowhere to keep that, so it is refused.
Result<SplitData> split_id(const NbtCompoundBytes& data, const std::string& where,
                           bool id_required) {
  auto entries = nbt_compound_entries(data);
  if (!entries) return fail(where + " holds malformed NBT: " + entries.error().message);
  SplitData split{};
  bool found = false;
  for (const NbtEntry& entry : *entries) {
    if (!found && entry.kind == NbtKind::String && nbt_name_is(entry.name, "id")) {
      split.id = entry;
      found = true;
    } else if (!nbt_name_is(entry.name, "Pos")) {  // written from the position
      split.rest.push_back(entry);
    }
  }
  if (!found && id_required) return fail(where + " has no String \"id\"");
  return split;
}

void put_entry(NbtWriter& w, const NbtEntry& entry) {
  w.put_raw({reinterpret_cast<const uint8_t*>(entry.whole.data()), entry.whole.size()});
}

// Id and the other fields: inline (version 2) or under "Data" (version 3), which repeats the
// "id" for readers of Data alone, as the game's own block entity data holds it.
void write_entry_fields(NbtWriter& w, const SplitData& split, int32_t version) {
  if (split.id) {
    w.tag(NbtKind::String, "Id");
    w.put_raw(
        {reinterpret_cast<const uint8_t*>(split.id->payload.data()), split.id->payload.size()});
  }
  if (version >= 3) {
    w.begin_compound("Data");
    if (split.id) put_entry(w, *split.id);
  }
  for (const NbtEntry& entry : split.rest) put_entry(w, entry);
  if (version >= 3) w.end_compound();
}

Status write_block_entities(NbtWriter& w, const Volume& volume, int32_t version) {
  w.begin_list("BlockEntities", NbtKind::Compound,
               static_cast<int32_t>(volume.block_entities.size()));
  for (const VolumeBlockEntity& entity : volume.block_entities) {
    KUBREL_ASSIGN_OR_RETURN(
        SplitData split,
        split_id(entity.data, "block entity at " + entity.position.debug_string(), version < 3));
    int32_t pos[3] = {entity.position.x, entity.position.y, entity.position.z};
    w.int_array("Pos", pos);
    write_entry_fields(w, split, version);
    w.end_compound();
  }
  return {};
}

Status write_entities(NbtWriter& w, const Volume& volume, int32_t version) {
  w.begin_list("Entities", NbtKind::Compound, static_cast<int32_t>(volume.entities.size()));
  for (size_t i = 0; i < volume.entities.size(); ++i) {
    const VolumeEntity& entity = volume.entities[i];
    KUBREL_ASSIGN_OR_RETURN(SplitData split,
                            split_id(entity.data, "entity " + std::to_string(i), true));
    // Version 2 counts entity positions in world coordinates, version 3 from the minimum corner.
    std::array<double, 3> at = entity.position;
    if (version < 3) {
      for (int axis = 0; axis < 3; ++axis) at[axis] += volume.origin[axis];
    }
    at = kept_position(entity.data, at);
    w.double_list("Pos", {at[0], at[1], at[2]});
    write_entry_fields(w, split, version);
    w.end_compound();
  }
  return {};
}

// The id of every position as a VarInt, in the grid's own order (y, z, x), which is the order
// the format stores them in.
Status write_block_ids(NbtWriter& w, const Volume& volume, const PalettePlan& plan,
                       const char* name) {
  // One entry more than the palette, of size 0: where an index outside the palette is looked up
  // (clamped) before the check below refuses the grid.
  const size_t palette_size = plan.file_id.size();
  std::vector<uint32_t> encoded(palette_size + 1, 0);
  std::vector<uint8_t> encoded_size(palette_size + 1, 0);
  bool one_byte_ids = true;
  bool identity = volume.blocks.width == 1;
  for (size_t index = 0; index < palette_size; ++index) {
    uint32_t id = plan.file_id[index];
    if (id >= (1u << 28)) return fail("palette too large for a Sponge schematic");
    identity = identity && id == index;
    uint8_t bytes[4] = {};
    auto size = put_var_int(bytes, id) - bytes;
    std::memcpy(&encoded[index], bytes, 4);
    encoded_size[index] = static_cast<uint8_t>(size);
    one_byte_ids = one_byte_ids && size == 1;
  }
  const uint32_t* encoded_of = encoded.data();
  const uint8_t* size_of = encoded_size.data();
  // One pass finds the largest index and, unless every VarInt is one byte, the array's length.
  uint64_t length = 0;
  uint64_t largest = 0;
  for_each_row(volume, whole_box(volume), [&](const auto* row, uint64_t, uint64_t count) {
    std::remove_cvref_t<decltype(*row)> row_largest = 0;
    if (one_byte_ids) {
      for (uint64_t x = 0; x < count; ++x) row_largest = std::max(row_largest, row[x]);
      length += count;
    } else if (identity) {
      // One-byte indices that are their own ids take two bytes from 128 on: a count the compiler
      // turns into vector compares.
      uint64_t two_byte = 0;
      for (uint64_t x = 0; x < count; ++x) {
        row_largest = std::max(row_largest, row[x]);
        two_byte += row[x] >= 0x80;
      }
      length += count + two_byte;
    } else {
      uint64_t row_length = 0;
      for (uint64_t x = 0; x < count; ++x) {
        row_largest = std::max(row_largest, row[x]);
        row_length += size_of[std::min<uint64_t>(row[x], palette_size)];
      }
      length += row_length;
    }
    largest = std::max<uint64_t>(largest, row_largest);
  });
  KUBREL_TRY(check_largest_index(volume, largest));
  if (length > INT32_MAX) return fail("volume too large for a Sponge block id array");
  w.begin_byte_array(name, static_cast<uint32_t>(length));
  if (identity && one_byte_ids) {
    // Every id is its own one-byte VarInt: the grid is the array.
    const auto& bytes = volume.blocks.bytes;
    w.put_raw({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
    return {};
  }
  // Each entry's VarInt is made once; a cell then costs one four-byte store and an advance by
  // the VarInt's length. The chunk is filled through a local pointer, as the compiler cannot keep
  // a counter in a register across byte stores that may alias it.
  const size_t chunk_size = 64 * 1024 + 4 * (uint64_t{volume.size[0]} + 1);
  std::vector<uint8_t> chunk(chunk_size);
  size_t used = 0;
  for_each_row(volume, whole_box(volume), [&](const auto* row, uint64_t, uint64_t count) {
    uint8_t* out = chunk.data() + used;
    for (uint64_t x = 0; x < count; ++x) {
      std::memcpy(out, &encoded_of[row[x]], 4);
      out += size_of[row[x]];
    }
    used = static_cast<size_t>(out - chunk.data());
    if (used >= 64 * 1024) {
      w.put_raw({chunk.data(), used});
      used = 0;
    }
  });
  w.put_raw({chunk.data(), used});
  return {};
}

void write_palette(NbtWriter& w, const Volume& volume, const PalettePlan& plan) {
  w.begin_compound("Palette");
  for (uint32_t id = 0; id < plan.states.size(); ++id)
    w.int_(volume.palette[plan.states[id]], static_cast<int32_t>(id));
  w.end_compound();
}

// "Metadata": the volume's own (as read, or mapped from another format), with the paste origin
// in the version's spelling: "WEOffsetX/Y/Z" (version 2) or "WorldEdit"."Origin" (version 3).
Status write_metadata(NbtWriter& w, const Volume& volume, int32_t version, NotKept& not_kept) {
  static constexpr std::string_view kPasteOffset[] = {"WEOffsetX", "WEOffsetY", "WEOffsetZ"};
  const bool offsets = version < 3 && volume.paste_origin.has_value();
  std::span<const std::string_view> computed;
  if (offsets) computed = kPasteOffset;
  KUBREL_ASSIGN_OR_RETURN(std::vector<NamedEntry> entries,
                          metadata_for(volume, VolumeFormat::Sponge, computed, not_kept));
  w.begin_compound("Metadata");
  if (entries.empty() && volume.metadata.empty()) w.string("WrittenBy", kWrittenBy);
  const bool origin = version >= 3 && volume.paste_origin.has_value();
  bool origin_written = false;
  for (const NamedEntry& named : entries) {
    if (origin && named.name == "WorldEdit" && named.entry.kind == NbtKind::Compound) {
      auto inner = nbt_compound_entries(named.entry.payload);
      if (!inner) return fail("the volume's metadata is malformed NBT: " + inner.error().message);
      w.begin_compound("WorldEdit");
      for (const NbtEntry& entry : *inner)
        if (!nbt_name_is(entry.name, "Origin")) put_entry(w, entry);
      const BlockPosition& at = *volume.paste_origin;
      const int32_t values[3] = {at.x, at.y, at.z};
      w.int_array("Origin", values);
      w.end_compound();
      origin_written = true;
    } else {
      write_entries(w, std::span(&named, 1));
    }
  }
  if (origin && !origin_written) {
    const BlockPosition& at = *volume.paste_origin;
    const int32_t values[3] = {at.x, at.y, at.z};
    w.begin_compound("WorldEdit");
    w.int_array("Origin", values);
    w.end_compound();
  }
  if (offsets) {
    for (int axis = 0; axis < 3; ++axis)
      w.int_(kPasteOffset[axis], volume.origin[axis] - (*volume.paste_origin)[axis]);
  }
  w.end_compound();
  return {};
}

}  // namespace

Result<NotKept> write_sponge(const Volume& volume, const SpongeWriteOptions& options,
                             ByteSink& sink) {
  static constexpr std::string_view kWritten[] = {
      "Version",  "DataVersion", "Metadata",        "Width",        "Height",    "Length",
      "Offset",   "Blocks",      "PaletteMax",      "Palette",      "BlockData", "BlockEntities",
      "Entities", "Biomes",      "BiomePaletteMax", "BiomePalette", "BiomeData", "TileEntities"};
  const int32_t version = options.version;
  if (version != 2 && version != 3)
    return fail("Sponge schematics are written as version 2 or 3, not " + std::to_string(version));
  KUBREL_TRY(check_grid(volume));
  for (uint32_t axis_size : volume.size) {
    if (axis_size > kMaxSpongeAxis)
      return fail("Sponge schematics hold at most 65535 positions per axis, the volume has " +
                  std::to_string(axis_size));
  }
  KUBREL_ASSIGN_OR_RETURN(int32_t data_version, required_data_version(volume, "Sponge"));
  KUBREL_ASSIGN_OR_RETURN(PalettePlan plan, plan_whole_palette(volume));
  NotKept not_kept;

  NbtWriter w(sink);
  if (version >= 3) {
    w.begin_compound("");
    w.begin_compound("Schematic");
  } else {
    w.begin_compound("Schematic");
  }
  w.int_("Version", version);
  w.int_("DataVersion", data_version);
  KUBREL_TRY(write_metadata(w, volume, version, not_kept));
  // The format's sizes are unsigned 16-bit numbers stored in signed Shorts.
  w.short_("Width", static_cast<int16_t>(volume.size[0]));
  w.short_("Height", static_cast<int16_t>(volume.size[1]));
  w.short_("Length", static_cast<int16_t>(volume.size[2]));
  // Version 3 counts its offset from the paste origin, version 2 stores the corner itself.
  BlockPosition corner = volume.origin;
  if (version >= 3 && volume.paste_origin) {
    for (int axis = 0; axis < 3; ++axis) corner[axis] -= (*volume.paste_origin)[axis];
  }
  int32_t offset[3] = {corner.x, corner.y, corner.z};
  w.int_array("Offset", offset);
  if (version >= 3) {
    w.begin_compound("Blocks");
    write_palette(w, volume, plan);
    KUBREL_TRY(write_block_ids(w, volume, plan, "Data"));
    KUBREL_TRY(write_block_entities(w, volume, version));
    w.end_compound();
  } else {
    w.int_("PaletteMax", static_cast<int32_t>(plan.states.size()));
    write_palette(w, volume, plan);
    KUBREL_TRY(write_block_ids(w, volume, plan, "BlockData"));
    KUBREL_TRY(write_block_entities(w, volume, version));
  }
  KUBREL_TRY(write_entities(w, volume, version));
  if (volume.biomes) {
    KUBREL_ASSIGN_OR_RETURN(bool written, write_sponge_biomes(w, volume, version));
    if (!written) not_kept.push_back("biomes that change with height (version 2 holds columns)");
  }
  KUBREL_TRY(write_other_tags(w, volume.other_tags, volume.format, VolumeFormat::Sponge, kWritten,
                              not_kept));
  w.end_compound();
  if (version >= 3) w.end_compound();
  KUBREL_TRY(w.finish());
  return not_kept;
}

}  // namespace kubrel
