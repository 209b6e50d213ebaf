// The .schematic decoder: two passes over the id bytes, the first to learn the palette (and so the
// grid's width), the second to write the indices.
#include "volume/schematic_volume.h"

#include <cstring>

#include "common/legacy_state.h"
#include "nbt/nbt_view.h"
#include "volume/volume_parts.h"

namespace kubrel {

namespace {

constexpr std::string_view kModelled[] = {"Width",     "Height",       "Length",    "Blocks",
                                          "Data",      "AddBlocks",    "Add",       "WEOffsetX",
                                          "WEOffsetY", "WEOffsetZ",    "WEOriginX", "WEOriginY",
                                          "WEOriginZ", "TileEntities", "Entities"};

// The id and data of every position, from the arrays as stored.
struct IdArrays {
  std::span<const uint8_t> blocks;
  std::span<const uint8_t> data;
  std::span<const uint8_t> add;
  bool add_per_block = false;  // one byte per position rather than a nibble

  uint32_t id(size_t i) const {
    uint32_t high = 0;
    if (add_per_block) {
      high = add[i] & 0x0F;
    } else if (!add.empty()) {
      high = (i & 1) != 0 ? add[i >> 1] >> 4 : add[i >> 1] & 0x0F;
    }
    return blocks[i] | high << 8;
  }
  uint32_t data_value(size_t i) const { return data[i] & 0x0F; }
};

Result<IdArrays> read_arrays(std::span<const uint8_t> document, const NbtEntries<16>& keys,
                             uint64_t positions) {
  IdArrays arrays;
  KUBREL_ASSIGN_OR_RETURN(arrays.blocks, read_byte_array(document, keys["Blocks"], "Blocks"));
  KUBREL_ASSIGN_OR_RETURN(arrays.data, read_byte_array(document, keys["Data"], "Data"));
  std::string_view add_name = keys["AddBlocks"].found() ? "AddBlocks" : "Add";
  KUBREL_ASSIGN_OR_RETURN(arrays.add, read_byte_array(document, keys[add_name], add_name));
  for (auto [array, name] : {std::pair{arrays.blocks, "Blocks"}, {arrays.data, "Data"}}) {
    if (array.size() != positions)
      return fail(quoted(name) + " holds " + std::to_string(array.size()) +
                  " bytes where the box " + "has " + std::to_string(positions) + " positions");
  }
  // Writers disagree on the high bits' array: nibbles, or a byte per position; its length tells.
  if (!arrays.add.empty() && arrays.add.size() != (positions + 1) / 2) {
    if (arrays.add.size() != positions)
      return fail(quoted(add_name) + " holds " + std::to_string(arrays.add.size()) +
                  " bytes, neither a nibble nor a byte for each of " + std::to_string(positions) +
                  " positions");
    arrays.add_per_block = true;
  }
  return arrays;
}

// Schematica's {name: id} as the names of ids.
Result<LegacyNames> read_mapping(std::span<const uint8_t> document, const NbtTagRef& tag) {
  LegacyNames names;
  if (!tag.found()) return names;
  if (tag.kind != NbtKind::Compound) return fail("'SchematicaMapping' is not a Compound");
  KUBREL_TRY(for_each_entry(document, tag.payload, 1,
                            [&](const NbtTagRef& entry, NbtCursor&) -> Result<bool> {
                              KUBREL_ASSIGN_OR_RETURN(int64_t id, read_integer(document, entry));
                              KUBREL_ASSIGN_OR_RETURN(std::string name, nbt_text(entry.name));
                              if (id >= 0) names.set(static_cast<uint32_t>(id), std::move(name));
                              return false;
                            }));
  return names;
}

Result<NbtCompoundBytes> entries_except(std::span<const uint8_t> document, size_t element,
                                        std::span<const std::string_view> drop) {
  NbtCompoundBytes data;
  KUBREL_TRY(copy_entries(document, element, 2, drop, data));
  data.push_back(std::byte{0});
  return data;
}

Status read_block_entities(std::span<const uint8_t> document, const NbtTagRef& tag,
                           Volume& volume) {
  static constexpr std::string_view kPosition[] = {"x", "y", "z"};
  return for_each_compound(
      document, tag, "TileEntities", [&](size_t element, uint32_t i) -> Result<size_t> {
        NbtEntries<3> keys{{"x", "y", "z"}};
        KUBREL_ASSIGN_OR_RETURN(size_t end, find_entries(document, element, 2, keys));
        BlockPosition position;
        for (int axis = 0; axis < 3; ++axis) {
          if (!keys[kPosition[axis]].found())
            return fail("block entity " + std::to_string(i) + " has no " + quoted(kPosition[axis]));
          KUBREL_ASSIGN_OR_RETURN(int64_t value, read_integer(document, keys[kPosition[axis]]));
          position[axis] = static_cast<int32_t>(value);
        }
        KUBREL_ASSIGN_OR_RETURN(NbtCompoundBytes data,
                                entries_except(document, element, kPosition));
        volume.block_entities.push_back({position, std::move(data)});
        return end;
      });
}

Status read_entities(std::span<const uint8_t> document, const NbtTagRef& tag, Volume& volume) {
  return for_each_compound(
      document, tag, "Entities", [&](size_t element, uint32_t i) -> Result<size_t> {
        NbtEntries<1> keys{{"Pos"}};
        KUBREL_ASSIGN_OR_RETURN(size_t end, find_entries(document, element, 2, keys));
        if (!keys["Pos"].found()) return fail("entity " + std::to_string(i) + " has no 'Pos'");
        KUBREL_ASSIGN_OR_RETURN(auto position, read_double_triple(document, keys["Pos"]));
        KUBREL_ASSIGN_OR_RETURN(NbtCompoundBytes data, entries_except(document, element, {}));
        volume.entities.push_back({position, std::move(data), std::nullopt});
        return end;
      });
}

// An Int (or Short) triple named `prefix` X, Y, Z, when all three are there.
Result<std::optional<BlockPosition>> read_triple(std::span<const uint8_t> document,
                                                 const NbtEntries<16>& keys,
                                                 std::string_view prefix) {
  BlockPosition position;
  for (int axis = 0; axis < 3; ++axis) {
    const NbtTagRef& tag = keys[std::string(prefix) + "XYZ"[axis]];
    if (!tag.found()) return std::nullopt;
    KUBREL_ASSIGN_OR_RETURN(int64_t value, read_integer(document, tag));
    position[axis] = static_cast<int32_t>(value);
  }
  return position;
}

Status decode_grid(const IdArrays& arrays, uint64_t positions, size_t document_bytes,
                   LegacyPalette& palette, Volume& volume) {
  for (uint64_t i = 0; i < positions; ++i) palette.slot(arrays.id(i), arrays.data_value(i));
  const uint8_t width = grid_width_for(palette.states().size());
  KUBREL_TRY(allocate_grid(volume.blocks, volume.size, width, 0, document_bytes));
  with_index_type(width, [&]<class T>(T) {
    auto* out = reinterpret_cast<T*>(volume.blocks.bytes.data());
    for (uint64_t i = 0; i < positions; ++i) {
      auto index = static_cast<T>(palette.slot(arrays.id(i), arrays.data_value(i)));
      std::memcpy(out + i, &index, sizeof(T));
    }
  });
  volume.palette = palette.take();
  return {};
}

Result<Volume> decode(std::span<const uint8_t> document) {
  KUBREL_ASSIGN_OR_RETURN(size_t root, nbt_root_compound(document));
  NbtEntries<16> keys{{"Width", "Height", "Length", "Blocks", "Data", "AddBlocks", "Add",
                       "WEOffsetX", "WEOffsetY", "WEOffsetZ", "WEOriginX", "WEOriginY", "WEOriginZ",
                       "TileEntities", "Entities", "SchematicaMapping"}};
  KUBREL_TRY(find_entries(document, root, 0, keys));
  Volume volume;
  volume.format = VolumeFormat::Schematic;
  KUBREL_ASSIGN_OR_RETURN(volume.size[0], read_dimension(document, keys["Width"], "Width"));
  KUBREL_ASSIGN_OR_RETURN(volume.size[1], read_dimension(document, keys["Height"], "Height"));
  KUBREL_ASSIGN_OR_RETURN(volume.size[2], read_dimension(document, keys["Length"], "Length"));
  KUBREL_ASSIGN_OR_RETURN(uint64_t positions, grid_positions(volume.size, document.size()));
  KUBREL_ASSIGN_OR_RETURN(IdArrays arrays, read_arrays(document, keys, positions));
  KUBREL_ASSIGN_OR_RETURN(auto world_corner, read_triple(document, keys, "WEOrigin"));
  if (world_corner) volume.origin = *world_corner;
  KUBREL_ASSIGN_OR_RETURN(auto offset, read_triple(document, keys, "WEOffset"));
  // The offset is the corner's from where the copy was taken: the paste puts that point at the
  // player.
  if (offset) {
    volume.paste_origin =
        BlockPosition{volume.origin[0] - (*offset)[0], volume.origin[1] - (*offset)[1],
                      volume.origin[2] - (*offset)[2]};
  }
  KUBREL_ASSIGN_OR_RETURN(LegacyNames names, read_mapping(document, keys["SchematicaMapping"]));
  KUBREL_TRY(copy_entries(document, root, 0, kModelled, volume.other_tags));
  if (!volume.other_tags.empty()) volume.other_tags.push_back(std::byte{0});
  KUBREL_TRY(read_block_entities(document, keys["TileEntities"], volume));
  KUBREL_TRY(read_entities(document, keys["Entities"], volume));
  LegacyPalette palette(&names);
  KUBREL_TRY(decode_grid(arrays, positions, document.size(), palette, volume));
  return volume;
}

}  // namespace

Result<Volume> decode_schematic_volume(std::span<const uint8_t> document) {
  auto volume = decode(document);
  if (!volume) return fail("MCEdit schematic: " + volume.error().message);
  return volume;
}

}  // namespace kubrel
