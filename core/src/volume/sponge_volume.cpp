// Sponge schematics into volumes. The palette maps the file's ids to volume indices through a
// dense table, so that the one loop that runs per position only decodes a VarInt, looks it up and
// stores it.
#include "volume/sponge_volume.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <unordered_map>

#include "io/varint.h"
#include "nbt/nbt_view.h"
#include "volume/one_byte_ids.h"
#include "volume/sponge_biomes.h"
#include "volume/volume_parts.h"

namespace kubrel {

namespace {

constexpr uint32_t kAbsent = UINT32_MAX;

// The entries of the top compound that the volume holds in its own fields; any other is kept in
// other_tags. "Materials" marks the legacy layout, which is refused.
constexpr std::string_view kModelled[] = {
    "Version",  "DataVersion", "Width",        "Height",          "Length",        "Offset",
    "Palette",  "PaletteMax",  "BlockData",    "Blocks",          "BlockEntities", "TileEntities",
    "Entities", "Metadata",    "BiomePalette", "BiomePaletteMax", "BiomeData",     "Biomes"};

// The file's palette ids mapped to volume indices: a dense table for ids up to a bound that the
// palette's own size sets, a map for any id beyond it (which no known writer produces).
struct IdTable {
  std::vector<uint32_t> dense;
  std::unordered_map<uint32_t, uint32_t> sparse;

  uint32_t lookup(uint32_t id) const { return id < dense.size() ? dense[id] : lookup_slow(id); }

  uint32_t lookup_slow(uint32_t id) const {
    auto it = sparse.find(id);
    return it == sparse.end() ? kAbsent : it->second;
  }
};

std::unexpected<Error> sponge_error(std::string_view message) {
  return fail("Sponge schematic: " + std::string(message));
}

template <class T>
Result<T> sponge_try(Result<T> result) {
  if (!result) return sponge_error(result.error().message);
  return result;
}

std::string position_text(uint64_t index, const std::array<uint32_t, 3>& size) {
  uint64_t x = index % size[0];
  uint64_t z = (index / size[0]) % size[2];
  uint64_t y = index / (uint64_t{size[0]} * size[2]);
  // Appended piece by piece: g++ 12 cannot prove `"(" + std::string` in bounds and warns.
  std::string text = "(";
  text.append(std::to_string(x)).append(", ").append(std::to_string(y)).append(", ");
  return text.append(std::to_string(z)).append(")");
}

// Volume indices of the one-byte ids (below 128), kAbsent where the palette has none: nearly every
// id of a real file is one byte, so the decoder maps sixteen of them at a time from this table.
std::array<uint32_t, 128> one_byte_indices(const IdTable& table) {
  std::array<uint32_t, 128> indices;
  for (uint32_t id = 0; id < 128; ++id) {
    indices[id] = table.lookup(id);
  }
  return indices;
}

// Decodes the VarInt ids of `data` into `out` (sized for every position of the box) and returns
// how many there were; positions past them keep their index 0 (air).
template <class T>
Result<uint64_t> decode_ids(std::span<const uint8_t> data, const IdTable& table, T* out,
                            const std::array<uint32_t, 3>& size) {
  constexpr size_t kGroup = 16;
  constexpr uint64_t kHighBits = 0x8080808080808080;
  // kAbsent has its top bit set and no palette index does, so one OR over a group finds a miss.
  constexpr uint32_t kMissBit = 0x80000000;
  static_assert((kAbsent & kMissBit) != 0);
  const uint64_t positions = uint64_t{size[0]} * size[1] * size[2];
  const std::array<uint32_t, 128> small = one_byte_indices(table);
  uint32_t bound = 0;
  while (bound < 128 && small[bound] != kAbsent) ++bound;
  const OneByteIdMap permuted(small, bound);
  const uint8_t* p = data.data();
  const uint8_t* const end = p + data.size();
  const uint32_t* dense = table.dense.data();
  const size_t dense_size = table.dense.size();
  uint64_t count = 0;
  while (p < end) {
    size_t mapped = permuted.map(p, std::min<uint64_t>(end - p, positions - count), out + count);
    p += mapped;
    count += mapped;
    // Groups of sixteen one-byte ids; a group that holds a longer VarInt, or an id the palette
    // lacks, goes through the loop below one id at a time, which also words the error. Ids are
    // taken one at a time up to the end of the first longer VarInt (at least one id), so that the
    // group paths are not tried again at every id before it.
    const uint8_t* one_by_one_until = p + 1;
    while (end - p >= static_cast<ptrdiff_t>(kGroup) && positions - count >= kGroup) {
      uint64_t low, high;
      std::memcpy(&low, p, 8);
      std::memcpy(&high, p + 8, 8);
      const uint64_t continued_low = low & kHighBits, continued_high = high & kHighBits;
      if (continued_low | continued_high) {
        // Where the first longer VarInt starts (a host of another byte order only lands
        // elsewhere in the group, which changes the pace, not the ids).
        size_t first = continued_low ? std::countr_zero(continued_low) / 8
                                     : 8 + std::countr_zero(continued_high) / 8;
        one_by_one_until = p + first + 1;
        break;
      }
      uint32_t missing = 0;
      T group[kGroup];
      for (size_t i = 0; i < kGroup; ++i) {
        uint32_t index = small[p[i]];
        missing |= index;
        group[i] = static_cast<T>(index);
      }
      if (missing & kMissBit) break;
      std::memcpy(out + count, group, sizeof(group));
      p += kGroup;
      count += kGroup;
    }
    while (p < end && p < one_by_one_until) {
      uint32_t id = *p++;
      if (id & kVarIntContinue) [[unlikely]] {
        id &= 0x7F;
        for (int shift = 7;; shift += 7) {
          if (p == end) return fail("block data ends inside a VarInt");
          uint8_t byte = *p++;
          if (shift == 28 && (byte & 0xF0)) return fail("block data holds a VarInt over 32 bits");
          id |= static_cast<uint32_t>(byte & 0x7F) << shift;
          if (!(byte & kVarIntContinue)) break;
        }
      }
      if (count == positions) [[unlikely]] {
        return fail("block data holds more ids than the " + std::to_string(positions) +
                    " positions of the box " + box_text(size));
      }
      uint32_t index = id < dense_size ? dense[id] : table.lookup_slow(id);
      if (index == kAbsent) [[unlikely]] {
        return fail("block id " + std::to_string(id) + " at " + position_text(count, size) +
                    " is not in the palette");
      }
      out[count++] = static_cast<T>(index);
    }
  }
  return count;
}

// Decodes `data` (the id array inside `document`, or empty) into the grid of `positions`
// indices. With `owned` the grid takes over the document's pages: written from their start while
// the ids are read further on, each index lands on bytes already read as long as the ids start at
// least (width - 1) bytes per position into the buffer, which room made in front ensures.
Status decode_grid(std::span<const uint8_t> document, std::span<const uint8_t> data,
                   PageBuffer* owned, const IdTable& table, uint64_t positions, Volume& volume) {
  const uint8_t width = volume.blocks.width;
  const size_t grid_bytes = static_cast<size_t>(positions) * width;
  PageBuffer& grid = volume.blocks.bytes;
  const bool in_place = owned != nullptr && !data.empty();
  if (!in_place) {
    KUBREL_TRY(grid.assign_zeroed(grid_bytes));
  } else {
    size_t data_at = static_cast<size_t>(data.data() - document.data());
    const uint64_t lead = uint64_t{width - 1u} * positions;
    if (data_at < lead) {
      KUBREL_ASSIGN_OR_RETURN(size_t room, owned->make_room_in_front(lead - data_at));
      data_at += room;
    }
    const size_t held = owned->size();
    KUBREL_TRY(owned->resize_for_overwrite(std::max(held, grid_bytes)));
    data = {reinterpret_cast<const uint8_t*>(owned->data()) + data_at, data.size()};
    grid = std::move(*owned);
  }
  return with_index_type(width, [&]<class T>(T) -> Status {
    auto* out = reinterpret_cast<T*>(grid.data());
    KUBREL_ASSIGN_OR_RETURN(uint64_t count, decode_ids(data, table, out, volume.size));
    // Positions past the ids are air; in a taken-over buffer they still hold document bytes.
    if (in_place) std::memset(out + count, 0, (positions - count) * sizeof(T));
    KUBREL_TRY(grid.resize_for_overwrite(grid_bytes));
    return grid.shrink_to_fit();
  });
}

// Reads the palette compound into `palette` and returns the file's ids mapped to its indices.
Result<IdTable> read_palette(std::span<const uint8_t> document, const NbtTagRef& tag, int depth,
                             PaletteBuilder& palette) {
  if (tag.kind != NbtKind::Compound) return fail("'Palette' is not a Compound");
  std::vector<std::pair<uint32_t, uint32_t>> ids;
  auto read = for_each_entry(
      document, tag.payload, depth, [&](const NbtTagRef& entry, NbtCursor& cursor) -> Result<bool> {
        if (entry.kind != NbtKind::Int) {
          return fail("palette entry '" + std::string(entry.name) + "' is not an Int");
        }
        KUBREL_ASSIGN_OR_RETURN(int32_t id, cursor.number<int32_t>());
        KUBREL_ASSIGN_OR_RETURN(std::string text, nbt_text(entry.name));
        KUBREL_ASSIGN_OR_RETURN(std::string canonical, canonical_state_text(text));
        KUBREL_ASSIGN_OR_RETURN(uint32_t index, palette.index_of(std::move(canonical)));
        ids.emplace_back(static_cast<uint32_t>(id), index);
        return true;
      });
  if (!read) return std::unexpected(std::move(read.error()));
  IdTable table;
  uint32_t max_id = 0;
  for (const auto& entry : ids) max_id = std::max(max_id, entry.first);
  const uint64_t dense_limit = 4 * uint64_t{ids.size()} + 65536;
  table.dense.assign(static_cast<size_t>(std::min<uint64_t>(uint64_t{max_id} + 1, dense_limit)),
                     kAbsent);
  for (const auto& [id, index] : ids) {
    if (id < table.dense.size()) {
      table.dense[id] = index;
    } else {
      table.sparse[id] = index;
    }
  }
  return table;
}

// The data of one block entity or entity in the game's form: "id" first (from "Id", else the
// element's own "id"), then the entries of "Data" when `nested` (version 3), then the element's
// other entries (all of them in versions 1 and 2; in version 3 those some writers put beside
// "Data"); `drop` names the entries left out besides the id keys.
Result<NbtCompoundBytes> game_form(std::span<const uint8_t> document, size_t element, int depth,
                                   bool nested, std::span<const std::string_view> drop) {
  NbtEntries<3> keys{{"Id", "id", "Data"}};
  KUBREL_TRY(find_entries(document, element, depth, keys));
  const NbtTagRef* id = keys["Id"].kind == NbtKind::String   ? &keys["Id"]
                        : keys["id"].kind == NbtKind::String ? &keys["id"]
                                                             : nullptr;
  NbtCompoundBytes data;
  std::vector<std::string_view> dropped(drop.begin(), drop.end());
  if (id) {
    NbtCursor cursor(document, id->payload);
    KUBREL_ASSIGN_OR_RETURN(std::string_view value, cursor.raw_text());
    append_string_entry("id", value, data);
    dropped.push_back("id");
  }
  dropped.push_back("Id");
  if (nested && keys["Data"].kind == NbtKind::Compound) {
    const size_t inner = keys["Data"].payload;
    KUBREL_TRY(copy_entries(document, inner, depth + 1, dropped, data));
    // What Data holds wins over a field of the same name beside it.
    KUBREL_TRY(for_each_entry(document, inner, depth + 1,
                              [&](const NbtTagRef& entry, NbtCursor&) -> Result<bool> {
                                dropped.push_back(entry.name);
                                return false;
                              }));
    dropped.push_back("Data");
  }
  KUBREL_TRY(copy_entries(document, element, depth, dropped, data));
  data.push_back(std::byte{0});
  return data;
}

Status read_block_entities(std::span<const uint8_t> document, const NbtTagRef& tag,
                           std::string_view name, Volume& volume) {
  static constexpr std::string_view kDrop[] = {"Pos", "x", "y", "z"};
  return for_each_compound(document, tag, name, [&](size_t element, uint32_t i) -> Result<size_t> {
    NbtEntries<4> keys{{"Pos", "x", "y", "z"}};
    KUBREL_ASSIGN_OR_RETURN(size_t end, find_entries(document, element, 2, keys));
    BlockPosition position;
    if (keys["Pos"].found()) {
      KUBREL_ASSIGN_OR_RETURN(auto pos, read_int_triple(document, keys["Pos"]));
      position = {pos[0], pos[1], pos[2]};
    } else if (keys["x"].found() && keys["y"].found() && keys["z"].found()) {
      for (int axis = 0; axis < 3; ++axis) {
        KUBREL_ASSIGN_OR_RETURN(int64_t value,
                                read_integer(document, keys[std::array{"x", "y", "z"}[axis]]));
        position[axis] = static_cast<int32_t>(value);
      }
    } else {
      return fail("block entity " + std::to_string(i) + " has no 'Pos'");
    }
    KUBREL_ASSIGN_OR_RETURN(NbtCompoundBytes data,
                            game_form(document, element, 2, volume.version >= 3, kDrop));
    volume.block_entities.push_back({position, std::move(data)});
    return end;
  });
}

// Version 2 stores entity positions in world coordinates (its writers put the paintings of a
// build at Offset plus their place in it), version 3 from the minimum corner.
Status read_entities(std::span<const uint8_t> document, const NbtTagRef& tag,
                     const BlockPosition& world_corner, Volume& volume) {
  auto each = [&](size_t element, uint32_t i) -> Result<size_t> {
    NbtEntries<1> keys{{"Pos"}};
    KUBREL_ASSIGN_OR_RETURN(size_t end, find_entries(document, element, 2, keys));
    if (!keys["Pos"].found()) return fail("entity " + std::to_string(i) + " has no 'Pos'");
    KUBREL_ASSIGN_OR_RETURN(auto position, read_double_triple(document, keys["Pos"]));
    for (int axis = 0; axis < 3; ++axis) position[axis] -= world_corner[axis];
    KUBREL_ASSIGN_OR_RETURN(NbtCompoundBytes data,
                            game_form(document, element, 2, volume.version >= 3, {}));
    volume.entities.push_back({position, std::move(data), std::nullopt});
    return end;
  };
  return for_each_compound(document, tag, "Entities", each);
}

// The metadata compound's payload, and the paste origin it gives: version 3 names it in
// "WorldEdit"."Origin" (its Offset then counts from it), versions 1 and 2 give the minimum
// corner's offset from it as "WEOffsetX/Y/Z".
Status read_metadata(std::span<const uint8_t> document, const NbtTagRef& tag, int depth,
                     Volume& volume) {
  if (!tag.found()) return {};
  if (tag.kind != NbtKind::Compound) return fail("'Metadata' is not a Compound");
  KUBREL_TRY(copy_entries(document, tag.payload, depth, {}, volume.metadata));
  volume.metadata.push_back(std::byte{0});
  NbtEntries<4> keys{{"WEOffsetX", "WEOffsetY", "WEOffsetZ", "WorldEdit"}};
  KUBREL_TRY(find_entries(document, tag.payload, depth, keys));
  if (volume.version >= 3 && keys["WorldEdit"].kind == NbtKind::Compound) {
    NbtEntries<1> origin{{"Origin"}};
    KUBREL_TRY(find_entries(document, keys["WorldEdit"].payload, depth + 1, origin));
    if (origin["Origin"].kind == NbtKind::IntArray) {
      KUBREL_ASSIGN_OR_RETURN(auto at, read_int_triple(document, origin["Origin"]));
      volume.paste_origin = BlockPosition{at[0], at[1], at[2]};
      for (int axis = 0; axis < 3; ++axis) volume.origin[axis] += at[axis];
    }
  } else if (volume.version < 3 && keys["WEOffsetX"].kind == NbtKind::Int &&
             keys["WEOffsetY"].kind == NbtKind::Int && keys["WEOffsetZ"].kind == NbtKind::Int) {
    BlockPosition at = volume.origin;
    for (int axis = 0; axis < 3; ++axis) {
      KUBREL_ASSIGN_OR_RETURN(
          int64_t offset,
          read_integer(document, keys[std::array{"WEOffsetX", "WEOffsetY", "WEOffsetZ"}[axis]]));
      at[axis] = static_cast<int32_t>(int64_t{at[axis]} - offset);
    }
    volume.paste_origin = at;
  }
  return {};
}

// The biomes of either layout, when the file has them.
Status read_biomes(std::span<const uint8_t> document, const NbtTagRef& version_3,
                   const NbtTagRef& palette_2, const NbtTagRef& data_2, int depth, Volume& volume) {
  if (version_3.kind == NbtKind::Compound) {
    NbtEntries<2> inner{{"Palette", "Data"}};
    KUBREL_TRY(find_entries(document, version_3.payload, depth + 1, inner));
    KUBREL_ASSIGN_OR_RETURN(
        volume.biomes, decode_sponge_biomes(document, inner["Palette"], inner["Data"], depth + 2,
                                            volume, volume.size[1]));
  } else if (palette_2.found() && data_2.found()) {
    KUBREL_ASSIGN_OR_RETURN(
        volume.biomes, decode_sponge_biomes(document, palette_2, data_2, depth + 1, volume, 1));
  }
  return {};
}

// `owned`, when given, holds the document's bytes, which the grid may then take over.
Result<Volume> decode(std::span<const uint8_t> document, PageBuffer* owned) {
  KUBREL_ASSIGN_OR_RETURN(size_t root, nbt_root_compound(document));
  NbtEntries<18> keys{{"Schematic", "Version", "DataVersion", "Width", "Height", "Length", "Offset",
                       "Palette", "BlockData", "Blocks", "BlockEntities", "TileEntities",
                       "Entities", "Materials", "Metadata", "Biomes", "BiomePalette", "BiomeData"}};
  KUBREL_TRY(find_entries(document, root, 0, keys));
  int depth = 0;
  size_t top = root;
  if (keys["Schematic"].kind == NbtKind::Compound) {
    size_t nested = keys["Schematic"].payload;
    top = nested;
    keys.found = {};
    KUBREL_TRY(find_entries(document, nested, 1, keys));
    depth = 1;
  }
  const NbtTagRef& blocks = keys["Blocks"];
  if (blocks.kind == NbtKind::ByteArray) {
    return fail(kLegacyMcEditMessage);
  }
  if (blocks.found() && blocks.kind != NbtKind::Compound) {
    return fail("'Blocks' is not a Compound");
  }

  Volume volume;
  volume.format = VolumeFormat::Sponge;
  if (keys["Version"].found()) {
    KUBREL_ASSIGN_OR_RETURN(int64_t version, read_integer(document, keys["Version"]));
    volume.version = static_cast<int32_t>(version);
  } else {
    volume.version = blocks.found() ? 3 : (keys["DataVersion"].found() ? 2 : 1);
  }
  if (keys["DataVersion"].found()) {
    KUBREL_ASSIGN_OR_RETURN(int64_t data_version, read_integer(document, keys["DataVersion"]));
    volume.data_version = static_cast<int32_t>(data_version);
  }
  KUBREL_ASSIGN_OR_RETURN(volume.size[0], read_dimension(document, keys["Width"], "Width"));
  KUBREL_ASSIGN_OR_RETURN(volume.size[1], read_dimension(document, keys["Height"], "Height"));
  KUBREL_ASSIGN_OR_RETURN(volume.size[2], read_dimension(document, keys["Length"], "Length"));
  if (keys["Offset"].found()) {
    KUBREL_ASSIGN_OR_RETURN(auto offset, read_int_triple(document, keys["Offset"]));
    volume.origin = {offset[0], offset[1], offset[2]};
  }

  // Version 3 keeps the palette, the ids and the block entities inside "Blocks".
  NbtTagRef palette_tag = keys["Palette"];
  NbtTagRef data_tag = keys["BlockData"];
  NbtTagRef block_entities = keys["BlockEntities"];
  std::string_view block_entities_name = "BlockEntities";
  if (!block_entities.found()) {
    block_entities = keys["TileEntities"];
    block_entities_name = "TileEntities";
  }
  int container_depth = depth;
  if (blocks.found()) {
    NbtEntries<3> inner{{"Palette", "Data", "BlockEntities"}};
    KUBREL_TRY(find_entries(document, blocks.payload, depth + 1, inner));
    palette_tag = inner["Palette"];
    data_tag = inner["Data"];
    block_entities = inner["BlockEntities"];
    block_entities_name = "BlockEntities";
    container_depth = depth + 1;
  }

  PaletteBuilder palette;
  IdTable table;
  if (palette_tag.found()) {
    KUBREL_ASSIGN_OR_RETURN(table,
                            read_palette(document, palette_tag, container_depth + 1, palette));
  } else if (data_tag.found()) {
    return fail("'Palette' is missing");
  }
  KUBREL_ASSIGN_OR_RETURN(uint64_t positions, grid_positions(volume.size, document.size()));
  std::span<const uint8_t> data;
  if (data_tag.found()) {
    if (data_tag.kind != NbtKind::ByteArray) return fail("the block data is not a ByteArray");
    NbtCursor cursor(document, data_tag.payload);
    KUBREL_ASSIGN_OR_RETURN(data, cursor.array_bytes(NbtKind::ByteArray));
  }
  volume.blocks.width = grid_width_for(palette.size());
  volume.palette = palette.take();
  // Everything else first: ids decoded in place overwrite the document.
  const BlockPosition world_corner = volume.version >= 3 ? BlockPosition{} : volume.origin;
  KUBREL_TRY(read_metadata(document, keys["Metadata"], depth + 1, volume));
  KUBREL_TRY(read_biomes(document, keys["Biomes"], keys["BiomePalette"], keys["BiomeData"], depth,
                         volume));
  KUBREL_TRY(copy_entries(document, top, depth, kModelled, volume.other_tags));
  if (!volume.other_tags.empty()) volume.other_tags.push_back(std::byte{0});
  KUBREL_TRY(read_block_entities(document, block_entities, block_entities_name, volume));
  KUBREL_TRY(read_entities(document, keys["Entities"], world_corner, volume));
  KUBREL_TRY(decode_grid(document, data, owned, table, positions, volume));
  return volume;
}

}  // namespace

Result<Volume> decode_sponge_volume(std::span<const uint8_t> document) {
  return sponge_try(decode(document, nullptr));
}

Result<Volume> decode_sponge_volume(PageBuffer document) {
  return sponge_try(decode(document.bytes(), &document));
}

}  // namespace kubrel
