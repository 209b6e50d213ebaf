// Structure files into volumes: the palette first (wherever it stands in the file), then each
// listed block written into a grid that starts as structure voids.
#include "volume/structure_volume.h"

#include <array>
#include <cstring>
#include <optional>

#include "nbt/nbt_view.h"
#include "volume/volume_parts.h"

namespace kubrel {

namespace {

// The list element at `index` of the list whose head is at `list` (elements of `kind`).
Result<size_t> list_element(std::span<const uint8_t> document, const NbtListRef& list,
                            uint32_t index, int depth) {
  NbtCursor cursor(document, list.first);
  for (uint32_t i = 0; i < index; ++i) KUBREL_TRY(cursor.skip(list.element_kind, depth));
  return cursor.position();
}

// The canonical state texts of one palette (a List of Compounds whose head is at `payload`).
Result<std::vector<std::string>> read_palette(std::span<const uint8_t> document, size_t payload) {
  NbtCursor cursor(document, payload);
  KUBREL_ASSIGN_OR_RETURN(NbtListRef list, cursor.list_head());
  std::vector<std::string> texts;
  if (list.length == 0 || list.element_kind == NbtKind::End) return texts;
  if (list.element_kind != NbtKind::Compound) return fail("the palette is not a List of Compounds");
  size_t at = list.first;
  for (uint32_t i = 0; i < list.length; ++i) {
    NbtEntries<2> keys{{"Name", "Properties"}};
    KUBREL_ASSIGN_OR_RETURN(size_t end, find_entries(document, at, 3, keys));
    if (keys["Name"].kind != NbtKind::String) {
      return fail("palette entry " + std::to_string(i) + " has no 'Name'");
    }
    NbtCursor name(document, keys["Name"].payload);
    KUBREL_ASSIGN_OR_RETURN(std::string state_name, name.text());
    std::vector<Property> properties;
    if (keys["Properties"].kind == NbtKind::Compound) {
      auto read = for_each_entry(document, keys["Properties"].payload, 4,
                                 [&](const NbtTagRef& entry, NbtCursor& value) -> Result<bool> {
                                   if (entry.kind != NbtKind::String) {
                                     return fail("property '" + std::string(entry.name) +
                                                 "' of palette entry " + std::to_string(i) +
                                                 " is not a String");
                                   }
                                   KUBREL_ASSIGN_OR_RETURN(std::string key, nbt_text(entry.name));
                                   KUBREL_ASSIGN_OR_RETURN(std::string text, value.text());
                                   properties.emplace_back(std::move(key), std::move(text));
                                   return true;
                                 });
      if (!read) return std::unexpected(std::move(read.error()));
    }
    texts.push_back(canonical_state_text(state_name, std::move(properties)));
    at = end;
  }
  return texts;
}

// Every palette of a "palettes" list aligned with the volume's palette (see Volume::palettes);
// none when two entries that the chosen palette merges differ in another palette, which this
// model cannot hold.
Result<std::vector<std::vector<std::string>>> aligned_palettes(
    std::span<const uint8_t> document, const NbtListRef& list, const std::vector<uint32_t>& indices,
    const std::vector<std::string>& palette) {
  std::vector<std::vector<std::string>> aligned;
  size_t at = list.first;
  for (uint32_t p = 0; p < list.length; ++p) {
    KUBREL_ASSIGN_OR_RETURN(std::vector<std::string> texts, read_palette(document, at));
    NbtCursor cursor(document, at);
    KUBREL_TRY(cursor.skip(NbtKind::List, 2));
    at = cursor.position();
    if (texts.size() != indices.size()) return std::vector<std::vector<std::string>>{};
    std::vector<std::string>& variant = aligned.emplace_back(palette);
    std::vector<bool> set(palette.size(), false);
    for (size_t i = 0; i < texts.size(); ++i) {
      if (set[indices[i]] && variant[indices[i]] != texts[i])
        return std::vector<std::vector<std::string>>{};
      variant[indices[i]] = std::move(texts[i]);
      set[indices[i]] = true;
    }
  }
  return aligned;
}

struct Placement {
  std::vector<uint32_t> indices;  // volume index of each entry of the chosen palette
  uint32_t void_index = 0;
  uint64_t filled = 0;  // positions written over a void
};

// A block as the game writes it: "pos" (a List of three Ints) and "state" (an Int), in either
// order, and nothing else. Read straight from the bytes, since the generic walk of each block's
// entries is most of a structure's load; anything else (block entity data, other tag types, a
// name twice) gives nullopt, and the generic walk reads that block, so both accept the same.
struct PlainBlock {
  std::array<int32_t, 3> pos{};
  int64_t state = 0;
  size_t end = 0;
};

std::optional<PlainBlock> plain_block(std::span<const uint8_t> document, size_t at) {
  static constexpr uint8_t kPosHead[] = {9, 0, 3, 'p', 'o', 's', 3, 0, 0, 0, 3};
  static constexpr uint8_t kStateHead[] = {3, 0, 5, 's', 't', 'a', 't', 'e'};
  const uint8_t* d = document.data();
  auto int_at = [&](size_t p) {
    return static_cast<int32_t>(uint32_t{d[p]} << 24 | uint32_t{d[p + 1]} << 16 |
                                uint32_t{d[p + 2]} << 8 | uint32_t{d[p + 3]});
  };
  PlainBlock block;
  bool has_pos = false;
  bool has_state = false;
  while (at < document.size()) {
    const size_t left = document.size() - at;
    if (d[at] == 0) {
      if (!has_pos || !has_state) return std::nullopt;
      block.end = at + 1;
      return block;
    }
    if (!has_pos && left >= sizeof(kPosHead) + 12 &&
        std::memcmp(d + at, kPosHead, sizeof(kPosHead)) == 0) {
      at += sizeof(kPosHead);
      for (int axis = 0; axis < 3; ++axis, at += 4) block.pos[axis] = int_at(at);
      has_pos = true;
    } else if (!has_state && left >= sizeof(kStateHead) + 4 &&
               std::memcmp(d + at, kStateHead, sizeof(kStateHead)) == 0) {
      block.state = int_at(at + sizeof(kStateHead));
      at += sizeof(kStateHead) + 4;
      has_state = true;
    } else {
      return std::nullopt;
    }
  }
  return std::nullopt;
}

// The position just past the block list whose head is at `payload`, each plain block stepped
// over by its known layout and any other element by the generic walk.
Result<size_t> skip_blocks(std::span<const uint8_t> document, size_t payload) {
  NbtCursor cursor(document, payload);
  KUBREL_ASSIGN_OR_RETURN(NbtListRef list, cursor.list_head());
  if (list.element_kind != NbtKind::Compound) {
    cursor.seek(payload);
    KUBREL_TRY(cursor.skip(NbtKind::List, 1));
    return cursor.position();
  }
  size_t at = list.first;
  for (uint32_t i = 0; i < list.length; ++i) {
    if (std::optional<PlainBlock> plain = plain_block(document, at)) {
      at = plain->end;
      continue;
    }
    NbtCursor element(document, at);
    KUBREL_TRY(element.skip(NbtKind::Compound, 2));
    at = element.position();
  }
  return at;
}

template <class T>
Status place_blocks(std::span<const uint8_t> document, const NbtTagRef& tag, Volume& volume,
                    Placement& placement) {
  static constexpr std::string_view kDrop[] = {"x", "y", "z"};
  T* grid = reinterpret_cast<T*>(volume.blocks.bytes.data());
  const auto& size = volume.size;
  return for_each_compound(
      document, tag, "blocks", [&](size_t element, uint32_t i) -> Result<size_t> {
        NbtEntries<3> keys{{"pos", "state", "nbt"}};
        std::array<int32_t, 3> pos{};
        int64_t state = 0;
        size_t end = 0;
        if (std::optional<PlainBlock> plain = plain_block(document, element)) {
          pos = plain->pos;
          state = plain->state;
          end = plain->end;
        } else {
          KUBREL_ASSIGN_OR_RETURN(end, find_entries(document, element, 2, keys));
          if (!keys["pos"].found() || !keys["state"].found()) {
            return fail("block " + std::to_string(i) + " has no 'pos' or 'state'");
          }
          KUBREL_ASSIGN_OR_RETURN(pos, read_int_triple(document, keys["pos"]));
          KUBREL_ASSIGN_OR_RETURN(state, read_integer(document, keys["state"]));
        }
        for (int axis = 0; axis < 3; ++axis) {
          if (pos[axis] < 0 || static_cast<uint32_t>(pos[axis]) >= size[axis]) {
            return fail("block " + std::to_string(i) + " at " +
                        BlockPosition{pos[0], pos[1], pos[2]}.debug_string() +
                        " lies outside the box " + box_text(size));
          }
        }
        if (state < 0 || static_cast<uint64_t>(state) >= placement.indices.size()) {
          return fail("block " + std::to_string(i) + " names state " + std::to_string(state) +
                      ", which the palette of " + std::to_string(placement.indices.size()) +
                      " entries does not hold");
        }
        uint64_t at =
            (uint64_t{static_cast<uint32_t>(pos[1])} * size[2] + static_cast<uint32_t>(pos[2])) *
                size[0] +
            static_cast<uint32_t>(pos[0]);
        placement.filled += grid[at] == static_cast<T>(placement.void_index);
        grid[at] = static_cast<T>(placement.indices[static_cast<size_t>(state)]);
        if (keys["nbt"].kind == NbtKind::Compound) {
          NbtCompoundBytes data;
          KUBREL_TRY(copy_entries(document, keys["nbt"].payload, 3, kDrop, data));
          data.push_back(std::byte{0});
          volume.block_entities.push_back({{pos[0], pos[1], pos[2]}, std::move(data)});
        }
        return end;
      });
}

Status read_entities(std::span<const uint8_t> document, const NbtTagRef& tag, Volume& volume) {
  return for_each_compound(
      document, tag, "entities", [&](size_t element, uint32_t i) -> Result<size_t> {
        NbtEntries<3> keys{{"pos", "blockPos", "nbt"}};
        KUBREL_ASSIGN_OR_RETURN(size_t end, find_entries(document, element, 2, keys));
        if (!keys["pos"].found()) return fail("entity " + std::to_string(i) + " has no 'pos'");
        VolumeEntity entity;
        KUBREL_ASSIGN_OR_RETURN(entity.position, read_double_triple(document, keys["pos"]));
        if (keys["blockPos"].found()) {
          KUBREL_ASSIGN_OR_RETURN(auto block, read_int_triple(document, keys["blockPos"]));
          entity.block_position = BlockPosition{block[0], block[1], block[2]};
        }
        if (keys["nbt"].kind == NbtKind::Compound) {
          KUBREL_TRY(copy_entries(document, keys["nbt"].payload, 3, {}, entity.data));
        }
        entity.data.push_back(std::byte{0});
        volume.entities.push_back(std::move(entity));
        return end;
      });
}

Result<Volume> decode(std::span<const uint8_t> document, uint32_t palette_choice) {
  KUBREL_ASSIGN_OR_RETURN(size_t root, nbt_root_compound(document));
  // What the volume holds in its own fields; "author" (1.13-era files) is the file's metadata.
  NbtEntries<7> keys{
      {"size", "palette", "palettes", "blocks", "entities", "DataVersion", "author"}};
  Volume volume;
  // One walk of the top compound both finds the modelled entries and copies the others: skipping
  // the block list twice would cost as much as reading it.
  auto top = for_each_entry(
      document, root, 0, [&](const NbtTagRef& entry, NbtCursor& cursor) -> Result<bool> {
        for (size_t i = 0; i < keys.names.size(); ++i) {
          if (keys.names[i] != entry.name) continue;
          keys.found[i] = entry;
          if (entry.name != "blocks" || entry.kind != NbtKind::List) return false;
          KUBREL_ASSIGN_OR_RETURN(size_t end, skip_blocks(document, entry.payload));
          cursor.seek(end);
          return true;
        }
        KUBREL_TRY(cursor.skip(entry.kind, 1));
        const auto* begin = reinterpret_cast<const std::byte*>(document.data());
        volume.other_tags.insert(volume.other_tags.end(), begin + entry.entry_begin,
                                 begin + cursor.position());
        return true;
      });
  if (!top) return std::unexpected(std::move(top.error()));

  volume.format = VolumeFormat::Structure;
  if (!keys["size"].found()) return fail("'size' is missing");
  KUBREL_ASSIGN_OR_RETURN(auto size, read_int_triple(document, keys["size"]));
  for (int axis = 0; axis < 3; ++axis) {
    if (size[axis] < 0) return fail("'size' has a negative side " + std::to_string(size[axis]));
    volume.size[axis] = static_cast<uint32_t>(size[axis]);
  }
  if (keys["DataVersion"].found()) {
    KUBREL_ASSIGN_OR_RETURN(int64_t data_version, read_integer(document, keys["DataVersion"]));
    volume.data_version = static_cast<int32_t>(data_version);
  }

  if (keys["author"].found()) {
    NbtCursor cursor(document, keys["author"].payload);
    KUBREL_TRY(cursor.skip(keys["author"].kind, 1));
    const auto* begin = reinterpret_cast<const std::byte*>(document.data());
    volume.metadata.assign(begin + keys["author"].entry_begin, begin + cursor.position());
    volume.metadata.push_back(std::byte{0});
  }
  if (!volume.other_tags.empty()) volume.other_tags.push_back(std::byte{0});

  size_t palette_payload = 0;
  const NbtTagRef& palettes = keys["palettes"];
  NbtListRef list;
  if (palettes.kind == NbtKind::List) {
    NbtCursor cursor(document, palettes.payload);
    KUBREL_ASSIGN_OR_RETURN(list, cursor.list_head());
    if (list.element_kind != NbtKind::List && list.length > 0) {
      return fail("'palettes' is not a List of Lists");
    }
    volume.palette_count = list.length;
    if (palette_choice >= list.length) {
      return fail("palette " + std::to_string(palette_choice) +
                  " was asked for, but the file has " + std::to_string(list.length));
    }
    KUBREL_ASSIGN_OR_RETURN(palette_payload, list_element(document, list, palette_choice, 2));
  } else if (keys["palette"].kind == NbtKind::List) {
    if (palette_choice != 0) {
      return fail("palette " + std::to_string(palette_choice) +
                  " was asked for, but the file has 1");
    }
    palette_payload = keys["palette"].payload;
  } else {
    return fail("'palette' is missing");
  }

  PaletteBuilder palette;
  Placement placement;
  KUBREL_ASSIGN_OR_RETURN(std::vector<std::string> texts, read_palette(document, palette_payload));
  for (std::string& text : texts) {
    KUBREL_ASSIGN_OR_RETURN(uint32_t index, palette.index_of(std::move(text)));
    placement.indices.push_back(index);
  }
  std::optional<uint32_t> listed_void = palette.find(kStructureVoidText);
  KUBREL_ASSIGN_OR_RETURN(placement.void_index, palette.index_of(std::string(kStructureVoidText)));
  KUBREL_TRY(allocate_grid(volume.blocks, volume.size, grid_width_for(palette.size()),
                           placement.void_index, document.size()));
  KUBREL_TRY(with_index_type(volume.blocks.width, [&]<class T>(T) {
    return place_blocks<T>(document, keys["blocks"], volume, placement);
  }));
  uint64_t positions = volume.blocks.bytes.size() / volume.blocks.width;
  if (!listed_void && placement.filled == positions) {
    // Every position is listed: the void added for unlisted ones is not needed after all.
    palette.pop_back();
    convert_grid_width(volume.blocks, grid_width_for(palette.size()));
  }
  volume.palette = palette.take();
  if (list.length > 1) {
    KUBREL_ASSIGN_OR_RETURN(volume.palettes,
                            aligned_palettes(document, list, placement.indices, volume.palette));
  }
  KUBREL_TRY(read_entities(document, keys["entities"], volume));
  return volume;
}

}  // namespace

Result<Volume> decode_structure_volume(std::span<const uint8_t> document, uint32_t palette) {
  auto volume = decode(document, palette);
  if (!volume) return fail("structure file: " + volume.error().message);
  return volume;
}

}  // namespace kubrel
