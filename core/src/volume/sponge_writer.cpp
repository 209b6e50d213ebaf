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
#include "volume/data_version.h"
#include "volume/palette_plan.h"

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
    } else {
      split.rest.push_back(entry);
    }
  }
  if (!found && id_required) return fail(where + " has no String \"id\"");
  return split;
}

// Pos, Id and the other fields: inline (version 2) or under "Data" (version 3).
void write_entry_fields(NbtWriter& w, const SplitData& split, int32_t version) {
  if (split.id) {
    w.tag(NbtKind::String, "Id");
    w.put_compound_payload(split.id->payload);
  }
  if (version >= 3) w.begin_compound("Data");
  for (const NbtEntry& entry : split.rest) w.put_compound_payload(entry.whole);
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
    w.double_list("Pos", {entity.position[0], entity.position[1], entity.position[2]});
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

}  // namespace

Status write_sponge(const Volume& volume, const SpongeWriteOptions& options, ByteSink& sink) {
  const int32_t version = options.version;
  if (version != 2 && version != 3)
    return fail("Sponge schematics are written as version 2 or 3, not " + std::to_string(version));
  KUBREL_TRY(check_grid(volume));
  for (uint32_t axis_size : volume.size) {
    if (axis_size > kMaxSpongeAxis)
      return fail("Sponge schematics hold at most 65535 positions per axis, the volume has " +
                  std::to_string(axis_size));
  }
  KUBREL_ASSIGN_OR_RETURN(PalettePlan plan, plan_whole_palette(volume));

  NbtWriter w(sink);
  if (version >= 3) {
    w.begin_compound("");
    w.begin_compound("Schematic");
  } else {
    w.begin_compound("Schematic");
  }
  w.int_("Version", version);
  w.int_("DataVersion", volume.data_version.value_or(kDefaultDataVersion));
  w.begin_compound("Metadata");
  w.string("WrittenBy", kWrittenBy);
  w.end_compound();
  // The format's sizes are unsigned 16-bit numbers stored in signed Shorts.
  w.short_("Width", static_cast<int16_t>(volume.size[0]));
  w.short_("Height", static_cast<int16_t>(volume.size[1]));
  w.short_("Length", static_cast<int16_t>(volume.size[2]));
  int32_t offset[3] = {volume.origin.x, volume.origin.y, volume.origin.z};
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
  w.end_compound();
  if (version >= 3) w.end_compound();
  return w.finish();
}

}  // namespace kubrel
