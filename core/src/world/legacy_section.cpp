// Numbered sections and the old chunk layout around them, walked in place over the chunk's NBT.
#include "world/legacy_section.h"

#include "nbt/nbt_view.h"

namespace kubrel {

namespace {

constexpr size_t kNibbles = kLegacySectionBlocks / 2;
constexpr size_t kColumns = 256;

uint32_t nibble(std::span<const uint8_t> nibbles, size_t i) {
  uint8_t both = nibbles[i >> 1];
  return (i & 1) != 0 ? both >> 4 : both & 0x0F;
}

Status check_length(std::span<const uint8_t> array, size_t expected, std::string_view name) {
  if (array.size() == expected) return {};
  return fail(quoted(name) + " holds " + std::to_string(array.size()) + " bytes, not " +
              std::to_string(expected));
}

Result<LegacySection> read_section(std::span<const uint8_t> document, const NbtEntries<4>& keys,
                                   LegacyPalette& palette) {
  LegacySection section;
  if (!keys["Y"].found()) return fail("it has no 'Y'");
  KUBREL_ASSIGN_OR_RETURN(int64_t y, read_integer(document, keys["Y"]));
  section.y = static_cast<int32_t>(y);
  LegacySectionArrays arrays;
  KUBREL_ASSIGN_OR_RETURN(arrays.blocks, read_byte_array(document, keys["Blocks"], "Blocks"));
  KUBREL_ASSIGN_OR_RETURN(arrays.add, read_byte_array(document, keys["Add"], "Add"));
  KUBREL_ASSIGN_OR_RETURN(arrays.data, read_byte_array(document, keys["Data"], "Data"));
  if (keys["Add"].found()) KUBREL_TRY(check_length(arrays.add, kNibbles, "Add"));
  KUBREL_TRY(decode_legacy_section(arrays, palette, section.indices));
  return section;
}

Status read_sections(std::span<const uint8_t> document, const NbtTagRef& tag, int depth,
                     LegacyPalette& palette, LegacyChunk& chunk) {
  return for_each_compound(
      document, tag, "Sections", [&](size_t element, uint32_t i) -> Result<size_t> {
        NbtEntries<4> keys{{"Y", "Blocks", "Add", "Data"}};
        KUBREL_ASSIGN_OR_RETURN(size_t end, find_entries(document, element, depth, keys));
        if (!keys["Blocks"].found()) return end;  // a section of light alone
        auto section = read_section(document, keys, palette);
        if (!section) return fail("section " + std::to_string(i) + ": " + section.error().message);
        chunk.sections.push_back(*section);
        return end;
      });
}

// A compound's entries, except those `drop` names, closed by an End tag.
Result<NbtCompoundBytes> entries_except(std::span<const uint8_t> document, size_t element,
                                        int depth, std::span<const std::string_view> drop) {
  NbtCompoundBytes data;
  KUBREL_TRY(copy_entries(document, element, depth, drop, data));
  data.push_back(std::byte{0});
  return data;
}

Status read_block_entities(std::span<const uint8_t> document, const NbtTagRef& tag, int depth,
                           LegacyChunk& chunk) {
  static constexpr std::string_view kPosition[] = {"x", "y", "z"};
  return for_each_compound(
      document, tag, "TileEntities", [&](size_t element, uint32_t i) -> Result<size_t> {
        NbtEntries<3> keys{{"x", "y", "z"}};
        KUBREL_ASSIGN_OR_RETURN(size_t end, find_entries(document, element, depth, keys));
        BlockPosition position;
        for (int axis = 0; axis < 3; ++axis) {
          const NbtTagRef& coordinate = keys[kPosition[axis]];
          if (!coordinate.found())
            return fail("block entity " + std::to_string(i) + " has no " + quoted(kPosition[axis]));
          KUBREL_ASSIGN_OR_RETURN(int64_t value, read_integer(document, coordinate));
          position[axis] = static_cast<int32_t>(value);
        }
        KUBREL_ASSIGN_OR_RETURN(NbtCompoundBytes data,
                                entries_except(document, element, depth, kPosition));
        chunk.block_entities.push_back({position, std::move(data)});
        return end;
      });
}

Status read_entities(std::span<const uint8_t> document, const NbtTagRef& tag, int depth,
                     LegacyChunk& chunk) {
  return for_each_compound(
      document, tag, "Entities", [&](size_t element, uint32_t i) -> Result<size_t> {
        NbtEntries<1> keys{{"Pos"}};
        KUBREL_ASSIGN_OR_RETURN(size_t end, find_entries(document, element, depth, keys));
        if (!keys["Pos"].found()) return fail("entity " + std::to_string(i) + " has no 'Pos'");
        KUBREL_ASSIGN_OR_RETURN(auto position, read_double_triple(document, keys["Pos"]));
        KUBREL_ASSIGN_OR_RETURN(NbtCompoundBytes data,
                                entries_except(document, element, depth, {}));
        chunk.entities.push_back({position, std::move(data), std::nullopt});
        return end;
      });
}

}  // namespace

Result<std::vector<int32_t>> read_numeric_biomes(std::span<const uint8_t> document,
                                                 const NbtTagRef& tag) {
  std::vector<int32_t> biomes;
  if (!tag.found()) return biomes;
  if (tag.kind != NbtKind::ByteArray && tag.kind != NbtKind::IntArray)
    return fail("'Biomes' is neither a ByteArray nor an IntArray");
  NbtCursor cursor(document, tag.payload);
  KUBREL_ASSIGN_OR_RETURN(std::span<const uint8_t> raw, cursor.array_bytes(tag.kind));
  const size_t width = tag.kind == NbtKind::ByteArray ? 1 : 4;
  const size_t count = raw.size() / width;
  if (raw.size() % width != 0 || (count != kColumns && (width == 1 || count != kBiomeCells))) {
    return fail("'Biomes' holds " + std::to_string(count) + " entries, not 256 or 1024");
  }
  biomes.resize(count);
  for (size_t i = 0; i < count; ++i) {
    if (width == 1) {
      biomes[i] = raw[i];
    } else {
      const uint8_t* p = raw.data() + 4 * i;
      biomes[i] = static_cast<int32_t>(uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 |
                                       uint32_t{p[2]} << 8 | uint32_t{p[3]});
    }
  }
  return biomes;
}

namespace {

Result<std::optional<int32_t>> optional_integer(std::span<const uint8_t> document,
                                                const NbtTagRef& tag) {
  if (!tag.found()) return std::nullopt;
  KUBREL_ASSIGN_OR_RETURN(int64_t value, read_integer(document, tag));
  return static_cast<int32_t>(value);
}

Result<LegacyChunk> decode_level(std::span<const uint8_t> document, size_t level, int depth,
                                 LegacyPalette& palette) {
  palette.reset();
  NbtEntries<6> keys{{"xPos", "zPos", "Sections", "TileEntities", "Entities", "Biomes"}};
  KUBREL_TRY(find_entries(document, level, depth, keys));
  LegacyChunk chunk;
  KUBREL_ASSIGN_OR_RETURN(chunk.x, optional_integer(document, keys["xPos"]));
  KUBREL_ASSIGN_OR_RETURN(chunk.z, optional_integer(document, keys["zPos"]));
  KUBREL_TRY(read_sections(document, keys["Sections"], depth + 2, palette, chunk));
  KUBREL_TRY(read_block_entities(document, keys["TileEntities"], depth + 2, chunk));
  KUBREL_TRY(read_entities(document, keys["Entities"], depth + 2, chunk));
  KUBREL_ASSIGN_OR_RETURN(chunk.biomes, read_numeric_biomes(document, keys["Biomes"]));
  chunk.palette = palette.take();
  return chunk;
}

template <class T>
Result<T> as_chunk_error(Result<T> result) {
  if (!result) return fail("legacy chunk: " + result.error().message);
  return result;
}

}  // namespace

Status decode_legacy_section(const LegacySectionArrays& arrays, LegacyPalette& palette,
                             std::span<uint16_t, kLegacySectionBlocks> indices) {
  KUBREL_TRY(check_length(arrays.blocks, kLegacySectionBlocks, "Blocks"));
  KUBREL_TRY(check_length(arrays.data, kNibbles, "Data"));
  if (!arrays.add.empty()) KUBREL_TRY(check_length(arrays.add, kNibbles, "Add"));
  const bool add = !arrays.add.empty();
  for (size_t i = 0; i < kLegacySectionBlocks; ++i) {
    uint32_t id = arrays.blocks[i];
    if (add) id |= nibble(arrays.add, i) << 8;
    // At most 4096 ids x 16 data values, less air's 15 other data values: the slot fits.
    indices[i] = static_cast<uint16_t>(palette.slot(id, nibble(arrays.data, i)));
  }
  return {};
}

Result<LegacyChunk> decode_legacy_level(std::span<const uint8_t> document, size_t level, int depth,
                                        LegacyPalette& palette) {
  return as_chunk_error(decode_level(document, level, depth, palette));
}

Result<LegacyChunk> decode_legacy_chunk(std::span<const uint8_t> document, LegacyPalette& palette) {
  auto decoded = [&]() -> Result<LegacyChunk> {
    KUBREL_ASSIGN_OR_RETURN(size_t root, nbt_root_compound(document));
    NbtEntries<1> keys{{"Level"}};
    KUBREL_TRY(find_entries(document, root, 0, keys));
    if (keys["Level"].kind != NbtKind::Compound) return fail("no 'Level' compound");
    return decode_level(document, keys["Level"].payload, 1, palette);
  };
  return as_chunk_error(decoded());
}

}  // namespace kubrel
