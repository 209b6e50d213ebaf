// Walks the chunk's NBT in place (no tree is built): only the tags named here are read, the
// block states and biomes straight from the document's long arrays. Two walks share the reading
// of indices and records: a quick one for the chunks the game writes, which steps over what it
// does not need by sizes alone and takes palette texts from those it has met, and the checked
// one, through the NBT cursor, for everything the quick one gives up on, which words what is
// wrong.
#include "world/chunk_decoder.h"

#include <bit>
#include <cstring>
#include <functional>
#include <string_view>
#include <unordered_map>

#include "common/state_text.h"
#include "nbt/nbt_view.h"
#include "world/legacy_section.h"
#include "world/quick_nbt.h"

namespace kubrel {

namespace {

constexpr size_t kSectionBlocks = 4096;
constexpr size_t kSectionCells = 64;

unsigned bits_for(size_t palette_size) {
  return palette_size <= 1 ? 0 : static_cast<unsigned>(std::bit_width(palette_size - 1));
}

uint64_t long_at(std::span<const uint8_t> longs, size_t i) {
  uint64_t value;
  std::memcpy(&value, longs.data() + i * 8, 8);
  return std::byteswap(value);
}

// One palette entry {Name, Properties: {key: value}} as a canonical state text.
Result<size_t> read_state(std::span<const uint8_t> doc, size_t payload, int depth,
                          std::string& text) {
  std::string name;
  bool named = false;
  std::vector<Property> properties;
  KUBREL_ASSIGN_OR_RETURN(
      size_t end,
      for_each_entry(
          doc, payload, depth, [&](const NbtTagRef& entry, NbtCursor& at) -> Result<bool> {
            if (entry.name == "Name" && entry.kind == NbtKind::String) {
              KUBREL_ASSIGN_OR_RETURN(name, at.text());
              named = true;
              return true;
            }
            if (entry.name != "Properties" || entry.kind != NbtKind::Compound) return false;
            KUBREL_ASSIGN_OR_RETURN(
                size_t after,
                for_each_entry(doc, entry.payload, depth + 1,
                               [&](const NbtTagRef& pair, NbtCursor& value_at) -> Result<bool> {
                                 if (pair.kind != NbtKind::String) {
                                   return fail("a block property that is not a String");
                                 }
                                 KUBREL_ASSIGN_OR_RETURN(std::string key, nbt_text(pair.name));
                                 KUBREL_ASSIGN_OR_RETURN(std::string value, value_at.text());
                                 properties.emplace_back(std::move(key), std::move(value));
                                 return true;
                               }));
            at.seek(after);
            return true;
          }));
  if (!named || name.empty()) return fail("a palette entry without a Name");
  text = canonical_state_text(name, std::move(properties));
  return end;
}

// A List of state compounds (block palettes) or of Strings (biome palettes).
Status read_palette(std::span<const uint8_t> doc, const NbtTagRef& tag, int depth,
                    std::vector<std::string>& out) {
  if (tag.kind != NbtKind::List) return fail("a palette that is not a List");
  NbtCursor cursor(doc, tag.payload);
  KUBREL_ASSIGN_OR_RETURN(NbtListRef list, cursor.list_head());
  if (list.length == 0) return {};
  if (list.length > 4096) return fail("a palette of more than 4096 entries");
  cursor.seek(list.first);
  for (uint32_t i = 0; i < list.length; ++i) {
    std::string text;
    if (list.element_kind == NbtKind::String) {
      KUBREL_ASSIGN_OR_RETURN(text, cursor.text());
    } else if (list.element_kind == NbtKind::Compound) {
      KUBREL_ASSIGN_OR_RETURN(size_t end, read_state(doc, cursor.position(), depth + 1, text));
      cursor.seek(end);
    } else {
      return fail("a palette of neither states nor names");
    }
    out.push_back(std::move(text));
  }
  return {};
}

// The indices of `count` entries over `palette_size` names from the LongArray `data`.
Status read_indices(std::span<const uint8_t> doc, const NbtTagRef& data, size_t palette_size,
                    unsigned min_bits, bool spanning, size_t count, std::vector<uint16_t>& out) {
  if (data.kind != NbtKind::LongArray) return fail("indices that are not a LongArray");
  NbtCursor cursor(doc, data.payload);
  KUBREL_ASSIGN_OR_RETURN(std::span<const uint8_t> longs, cursor.array_bytes(NbtKind::LongArray));
  unsigned bits = std::max(min_bits, bits_for(palette_size));
  // Before padding the stream's length alone says how wide its indices are.
  if (spanning && longs.size() / 8 * 64 == count * (longs.size() / 8 * 64 / count) &&
      longs.size() / 8 * 64 / count > bits) {
    bits = static_cast<unsigned>(longs.size() / 8 * 64 / count);
  }
  if (bits > 16) return fail("indices wider than 16 bits");
  out.resize(count);
  KUBREL_TRY(unpack_longs(longs, bits, spanning, count, out.data()));
  for (uint16_t index : out) {
    if (index >= palette_size) {
      return fail("index " + std::to_string(index) + " past a palette of " +
                  std::to_string(palette_size));
    }
  }
  return {};
}

Status read_biomes(std::span<const uint8_t> doc, const NbtTagRef& tag, int depth,
                   ChunkSection& section) {
  if (tag.kind != NbtKind::Compound) return fail("biomes that are not a Compound");
  NbtEntries<2> parts{{"palette", "data"}};
  KUBREL_TRY(as_status(find_entries(doc, tag.payload, depth + 1, parts)));
  if (!parts["palette"].found()) return {};
  KUBREL_TRY(read_palette(doc, parts["palette"], depth + 1, section.biome_palette));
  if (section.biome_palette.size() <= 1) return {};
  if (!parts["data"].found()) return fail("biomes of several names without data");
  std::vector<uint16_t> wide;
  KUBREL_TRY(read_indices(doc, parts["data"], section.biome_palette.size(), 1, false, kSectionCells,
                          wide));
  if (section.biome_palette.size() > 256) return fail("more than 256 biomes in a section");
  section.biome_indices.assign(wide.begin(), wide.end());
  return {};
}

Status read_section(std::span<const uint8_t> doc, size_t payload, int depth, bool spanning,
                    const ChunkDecodeOptions& options, std::vector<ChunkSection>& out,
                    bool& legacy) {
  NbtEntries<6> parts{{"Y", "Palette", "BlockStates", "block_states", "biomes", "Blocks"}};
  KUBREL_TRY(as_status(find_entries(doc, payload, depth, parts)));
  if (parts["Blocks"].found()) {
    legacy = true;
    return {};
  }
  ChunkSection section;
  KUBREL_ASSIGN_OR_RETURN(int64_t y, read_integer(doc, parts["Y"]));
  if (y < -(1 << 20) || y > (1 << 20)) return fail("a section y out of range");
  section.y = static_cast<int32_t>(y);
  NbtTagRef palette = parts["Palette"];
  NbtTagRef data = parts["BlockStates"];
  if (parts["block_states"].found()) {
    if (parts["block_states"].kind != NbtKind::Compound) return fail("block_states not a Compound");
    NbtEntries<2> states{{"palette", "data"}};
    KUBREL_TRY(as_status(find_entries(doc, parts["block_states"].payload, depth + 1, states)));
    palette = states["palette"];
    data = states["data"];
  }
  if (options.biomes && parts["biomes"].found()) {
    KUBREL_TRY(read_biomes(doc, parts["biomes"], depth, section));
  }
  // A section of light alone has no palette, and holds no blocks.
  if (!palette.found()) return {};
  KUBREL_TRY(read_palette(doc, palette, depth, section.palette));
  if (section.palette.empty()) return {};
  // One state fills the section whatever its indices say (the game writes none; older versions
  // and some tools write zeros, or an empty array).
  if (section.palette.size() > 1) {
    if (!data.found()) return fail("section " + std::to_string(y) + " has no block indices");
    auto read = read_indices(doc, data, section.palette.size(), 4, spanning, kSectionBlocks,
                             section.indices);
    if (!read) return fail("section " + std::to_string(y) + ": " + read.error().message);
  }
  out.push_back(std::move(section));
  return {};
}

Result<size_t> read_block_entity(std::span<const uint8_t> doc, size_t at, int depth,
                                 std::vector<VolumeBlockEntity>& out) {
  NbtEntries<3> xyz{{"x", "y", "z"}};
  KUBREL_ASSIGN_OR_RETURN(size_t end, find_entries(doc, at, depth, xyz));
  VolumeBlockEntity entity;
  int64_t p[3];
  for (int i = 0; i < 3; ++i) {
    KUBREL_ASSIGN_OR_RETURN(p[i], read_integer(doc, xyz.found[i]));
    if (p[i] < INT32_MIN || p[i] > INT32_MAX) return fail("a block entity position out of range");
  }
  entity.position = {static_cast<int32_t>(p[0]), static_cast<int32_t>(p[1]),
                     static_cast<int32_t>(p[2])};
  static constexpr std::string_view kDrop[] = {"x", "y", "z"};
  KUBREL_TRY(copy_entries(doc, at, depth, kDrop, entity.data));
  entity.data.push_back(std::byte{0});
  out.push_back(std::move(entity));
  return end;
}

Result<size_t> read_entity(std::span<const uint8_t> doc, size_t at, int depth,
                           std::vector<VolumeEntity>& out) {
  NbtEntries<1> pos{{"Pos"}};
  KUBREL_ASSIGN_OR_RETURN(size_t end, find_entries(doc, at, depth, pos));
  VolumeEntity entity;
  KUBREL_ASSIGN_OR_RETURN(entity.position, read_double_triple(doc, pos["Pos"]));
  KUBREL_TRY(copy_entries(doc, at, depth, {}, entity.data));
  entity.data.push_back(std::byte{0});
  out.push_back(std::move(entity));
  return end;
}

Status read_entities(std::span<const uint8_t> doc, const NbtTagRef& tag, int depth,
                     std::vector<VolumeEntity>& out) {
  return for_each_compound(doc, tag, "Entities", [&](size_t at, uint32_t) {
    return read_entity(doc, at, depth + 1, out);
  });
}

Status read_world_surface(std::span<const uint8_t> doc, const NbtTagRef& tag, int depth,
                          std::vector<int64_t>& out) {
  if (!tag.found() || tag.kind != NbtKind::Compound) return {};
  NbtEntries<1> surface{{"WORLD_SURFACE"}};
  KUBREL_TRY(as_status(find_entries(doc, tag.payload, depth + 1, surface)));
  if (surface["WORLD_SURFACE"].kind != NbtKind::LongArray) return {};
  NbtCursor cursor(doc, surface["WORLD_SURFACE"].payload);
  KUBREL_ASSIGN_OR_RETURN(std::span<const uint8_t> longs, cursor.array_bytes(NbtKind::LongArray));
  out.resize(longs.size() / 8);
  for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<int64_t>(long_at(longs, i));
  return {};
}

// A chunk of numeric ids, its blocks as numbered states: every section shares the chunk's palette.
Result<DecodedChunk> numbered_chunk(std::span<const uint8_t> doc, std::optional<int32_t> version,
                                    const ChunkDecodeOptions& options) {
  KUBREL_ASSIGN_OR_RETURN(LegacyChunk numbered, decode_legacy_chunk(doc, *options.legacy));
  DecodedChunk chunk;
  chunk.data_version = version;
  chunk.sections.reserve(numbered.sections.size());
  for (const LegacySection& stored : numbered.sections) {
    ChunkSection& section = chunk.sections.emplace_back();
    section.y = stored.y;
    section.palette = numbered.palette;
    section.indices.assign(stored.indices.begin(), stored.indices.end());
  }
  if (options.biomes) {
    chunk.numeric_biomes = std::move(numbered.biomes);
    chunk.biomes_numbered = true;
  }
  if (options.records) {
    chunk.block_entities = std::move(numbered.block_entities);
    chunk.entities = std::move(numbered.entities);
  }
  return chunk;
}

// Where a chunk keeps its parts: at its root, or inside "Level" under other names in the older
// layout (found by `find_level`, which returns a Status).
struct ChunkParts {
  NbtTagRef sections, block_entities, entities, heightmaps;
  int depth = 1;
  // The biome numbers of the older layout; none at the root.
  NbtTagRef biomes = {};
};

template <class FindLevel>
Result<ChunkParts> chunk_parts(const NbtEntries<6>& top, FindLevel&& find_level) {
  if (top["Level"].kind != NbtKind::Compound) {
    return ChunkParts{top["sections"], top["block_entities"], top["Entities"], top["Heightmaps"]};
  }
  NbtEntries<5> level{{"Sections", "TileEntities", "Entities", "Heightmaps", "Biomes"}};
  KUBREL_TRY(find_level(top["Level"].payload, level));
  return ChunkParts{
      level["Sections"], level["TileEntities"], level["Entities"], level["Heightmaps"], 2,
      level["Biomes"]};
}

Result<DecodedChunk> decode_body(std::span<const uint8_t> doc, const ChunkDecodeOptions& options) {
  KUBREL_ASSIGN_OR_RETURN(size_t root, nbt_root_compound(doc));
  NbtEntries<6> top{
      {"DataVersion", "Level", "sections", "block_entities", "Entities", "Heightmaps"}};
  KUBREL_TRY(as_status(find_entries(doc, root, 1, top)));
  DecodedChunk chunk;
  if (top["DataVersion"].found()) {
    KUBREL_ASSIGN_OR_RETURN(int64_t version, read_integer(doc, top["DataVersion"]));
    chunk.data_version = static_cast<int32_t>(version);
  }
  KUBREL_ASSIGN_OR_RETURN(ChunkParts parts, chunk_parts(top, [&](size_t at, NbtEntries<5>& level) {
                            return as_status(find_entries(doc, at, 2, level));
                          }));
  const auto& [sections, block_entities, entities, heightmaps, depth, biomes] = parts;
  const bool spanning = chunk.data_version.value_or(0) < kPaddedIndicesVersion;
  bool legacy = false;
  KUBREL_TRY(
      for_each_compound(doc, sections, "sections", [&](size_t at, uint32_t) -> Result<size_t> {
        KUBREL_TRY(read_section(doc, at, depth + 1, spanning, options, chunk.sections, legacy));
        NbtCursor skip(doc, at);
        KUBREL_TRY(skip.skip(NbtKind::Compound, depth + 1));
        return skip.position();
      }));
  if (legacy && options.legacy) return numbered_chunk(doc, chunk.data_version, options);
  if (legacy) {
    if (chunk.data_version) {
      return fail("it is from before 1.13 (data version " + std::to_string(*chunk.data_version) +
                  "); pass legacy=True to read its numeric block ids");
    }
    return fail(
        "it holds numeric block ids (Blocks/Data sections, no data version); pass "
        "legacy=True to read them");
  }
  if (options.biomes) {
    KUBREL_ASSIGN_OR_RETURN(chunk.numeric_biomes, read_numeric_biomes(doc, biomes));
  }
  if (options.records) {
    KUBREL_TRY(for_each_compound(doc, block_entities, "block_entities", [&](size_t at, uint32_t) {
      return read_block_entity(doc, at, depth + 1, chunk.block_entities);
    }));
    KUBREL_TRY(read_entities(doc, entities, depth, chunk.entities));
    KUBREL_TRY(read_world_surface(doc, heightmaps, depth, chunk.world_surface));
  }
  return chunk;
}

std::string chunk_prefix(int32_t cx, int32_t cz) {
  return "chunk at (" + std::to_string(cx) + ", " + std::to_string(cz) + "): ";
}

}  // namespace

Status unpack_longs(std::span<const uint8_t> longs, unsigned bits, bool spanning, size_t count,
                    uint16_t* out) {
  if (bits == 0 || bits > 16) return fail("indices of " + std::to_string(bits) + " bits");
  const size_t have = longs.size() / 8;
  const uint64_t mask = (uint64_t{1} << bits) - 1;
  if (spanning) {
    if (have * 64 < count * bits) return fail("too few longs for the indices");
    for (size_t i = 0; i < count; ++i) {
      const size_t bit = i * bits;
      const size_t word = bit / 64, shift = bit % 64;
      uint64_t value = long_at(longs, word) >> shift;
      if (shift + bits > 64) value |= long_at(longs, word + 1) << (64 - shift);
      out[i] = static_cast<uint16_t>(value & mask);
    }
    return {};
  }
  const size_t per_long = 64 / bits;
  if (have < (count + per_long - 1) / per_long) return fail("too few longs for the indices");
  size_t i = 0;
  for (size_t word = 0; i < count; ++word) {
    uint64_t value = long_at(longs, word);
    for (size_t k = 0; k < per_long && i < count; ++k, ++i) {
      out[i] = static_cast<uint16_t>(value & mask);
      value >>= bits;
    }
  }
  return {};
}

Result<DecodedChunk> decode_chunk_checked(std::span<const uint8_t> nbt, int32_t cx, int32_t cz,
                                          const ChunkDecodeOptions& options) {
  auto chunk = decode_body(nbt, options);
  if (!chunk) return fail(chunk_prefix(cx, cz) + chunk.error().message);
  return chunk;
}

Result<DecodedChunk> decode_chunk(std::span<const uint8_t> nbt, int32_t cx, int32_t cz,
                                  const ChunkDecodeOptions& options) {
  ChunkDecoder decoder(options);
  KUBREL_ASSIGN_OR_RETURN(DecodedChunk * chunk, decoder.decode(nbt, cx, cz));
  return std::move(*chunk);
}

// Palette entries' texts by the bytes of their compounds, which alone decide the text. Bounded,
// so that a hostile file of endless distinct states costs no more than a fixed table.
struct ChunkDecoder::StateTexts {
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view bytes) const { return std::hash<std::string_view>{}(bytes); }
  };
  static constexpr size_t kMost = 4096;
  std::unordered_map<std::string, std::string, Hash, std::equal_to<>> texts;
  // The entry met last (most sections of a chunk hold the same one), found without a hash.
  const std::pair<const std::string, std::string>* last = nullptr;
  // Scratch for the entry being read.
  std::vector<Property> properties;
};

namespace {

constexpr uint8_t kCompound = 10, kString = 8;

// The head of the List at `at`: its element kind and count, when the walk can take it (a count
// that is not negative and that the bytes left could hold).
bool quick_list(const QuickNbt& walk, size_t at, uint8_t& element, uint32_t& length) {
  if (!walk.has(at, 5)) return false;
  element = *walk.at(at);
  length = walk.u32(at + 1);
  return element <= 12 && !(length >> 31) && walk.has(at + 5, length) &&
         (length == 0 || element != 0);
}

// The canonical text of the state compound at `at`, from the table when its bytes were met
// before; the offset past the compound, 0 when the walk gives up.
size_t quick_state(const QuickNbt& walk, size_t at, int depth, ChunkDecoder::StateTexts& texts,
                   std::string& text) {
  const size_t end = walk.skip(kCompound, at, depth);
  if (!end) return 0;
  const std::string_view bytes(reinterpret_cast<const char*>(walk.at(at)), end - at);
  if (texts.last && texts.last->first == bytes) {
    text.assign(texts.last->second);
    return end;
  }
  if (auto known = texts.texts.find(bytes); known != texts.texts.end()) {
    texts.last = &*known;
    text.assign(known->second);
    return end;
  }
  std::string_view name;
  bool named = false;
  texts.properties.clear();
  const bool read =
      walk.entries(at, depth, [&](uint8_t kind, std::string_view key, size_t payload) -> size_t {
        if (key == "Name" && kind == kString) {
          named = walk.ascii_text(payload, name);
          return named ? 0 : kQuickGiveUp;
        }
        if (key != "Properties" || kind != kCompound) return 0;
        const size_t after =
            walk.entries(payload, depth + 1,
                         [&](uint8_t value_kind, std::string_view property, size_t value_at) {
                           std::string_view value;
                           for (char c : property) {
                             if (static_cast<unsigned char>(c) >= 0x80) return kQuickGiveUp;
                           }
                           if (value_kind != kString || !walk.ascii_text(value_at, value)) {
                             return kQuickGiveUp;
                           }
                           texts.properties.emplace_back(property, value);
                           return value_at + 2 + value.size();
                         });
        return after ? after : kQuickGiveUp;
      }) != 0;
  if (!read || !named || name.empty()) return 0;
  text = canonical_state_text(name, texts.properties);
  if (texts.texts.size() >= ChunkDecoder::StateTexts::kMost) texts.texts.clear();
  texts.last = &*texts.texts.emplace(bytes, text).first;
  return end;
}

// A block palette into `out` (its strings' room kept): false when the walk gives up.
bool quick_palette(const QuickNbt& walk, size_t at, int depth, ChunkDecoder::StateTexts& texts,
                   std::vector<std::string>& out) {
  uint8_t element = 0;
  uint32_t length = 0;
  if (!quick_list(walk, at, element, length) || length > 4096) return false;
  if (length > 0 && element != kCompound && element != kString) return false;
  out.resize(length);
  at += 5;
  for (std::string& text : out) {
    if (element == kString) {
      std::string_view raw;
      if (!walk.ascii_text(at, raw)) return false;
      text.assign(raw);
      at += 2 + raw.size();
    } else if (!(at = quick_state(walk, at, depth + 1, texts, text))) {
      return false;
    }
  }
  return true;
}

// Fills `entries` from the compound at `at`, as find_entries does: the offset past it, 0 when the
// walk gives up. `inner` may read an entry's payload itself (returning the offset past it).
template <size_t N, class Inner>
size_t quick_find(const QuickNbt& walk, size_t at, int depth, NbtEntries<N>& entries,
                  Inner&& inner) {
  return walk.entries(at, depth, [&](uint8_t kind, std::string_view name, size_t payload) {
    for (size_t i = 0; i < N; ++i) {
      const std::string_view want = entries.names[i];
      // The first byte settles most comparisons without a call.
      if (want.size() == name.size() && want[0] == name[0] && want == name) {
        entries.found[i] = {static_cast<NbtKind>(kind), name, payload};
      }
    }
    return inner(kind, name, payload);
  });
}

template <size_t N>
size_t quick_find(const QuickNbt& walk, size_t at, int depth, NbtEntries<N>& entries) {
  return quick_find(walk, at, depth, entries,
                    [](uint8_t, std::string_view, size_t) { return size_t{0}; });
}

// One section into `section` (which keeps its room from the chunk before): the offset past it,
// 0 when the walk gives up; `kept` says whether it holds blocks.
size_t quick_section(const QuickNbt& walk, std::span<const uint8_t> doc, size_t at, int depth,
                     bool spanning, const ChunkDecodeOptions& options,
                     ChunkDecoder::StateTexts& texts, ChunkSection& section, bool& kept) {
  // Looked up by position, not by name: this runs for every section.
  enum { kY, kPalette, kBlockStates, kStates, kBiomes, kBlocks };
  NbtEntries<6> parts{{"Y", "Palette", "BlockStates", "block_states", "biomes", "Blocks"}};
  // The states compound is looked into as the walk passes it, not walked a second time.
  NbtEntries<2> states{{"palette", "data"}};
  const size_t end =
      quick_find(walk, at, depth, parts, [&](uint8_t kind, std::string_view name, size_t payload) {
        if (kind != kCompound || name != "block_states") return size_t{0};
        states.found = {};
        const size_t after = quick_find(walk, payload, depth + 1, states);
        return after ? after : kQuickGiveUp;
      });
  if (!end || parts.found[kBlocks].found()) return 0;
  auto y = read_integer(doc, parts.found[kY]);
  if (!y || *y < -(1 << 20) || *y > (1 << 20)) return 0;
  NbtTagRef palette = parts.found[kPalette];
  NbtTagRef data = parts.found[kBlockStates];
  if (parts.found[kStates].found()) {
    if (parts.found[kStates].kind != NbtKind::Compound) return 0;
    palette = states.found[0];
    data = states.found[1];
  }
  section.y = static_cast<int32_t>(*y);
  section.biome_palette.clear();
  section.biome_indices.clear();
  if (options.biomes && parts.found[kBiomes].found() &&
      !read_biomes(doc, parts.found[kBiomes], depth, section)) {
    return 0;
  }
  kept = false;
  if (!palette.found()) return end;
  if (palette.kind != NbtKind::List ||
      !quick_palette(walk, palette.payload, depth, texts, section.palette)) {
    return 0;
  }
  if (section.palette.empty()) return end;
  section.indices.clear();
  if (section.palette.size() > 1 &&
      (!data.found() || !read_indices(doc, data, section.palette.size(), 4, spanning,
                                      kSectionBlocks, section.indices))) {
    return 0;
  }
  kept = true;
  return end;
}

// The whole chunk by the quick walk into `chunk`: false when it gives up.
bool quick_chunk(std::span<const uint8_t> doc, const ChunkDecodeOptions& options,
                 ChunkDecoder::StateTexts& texts, DecodedChunk& chunk) {
  const QuickNbt walk(doc);
  if (!walk.has(0, 3) || doc[0] != kCompound) return false;
  NbtEntries<6> top{
      {"DataVersion", "Level", "sections", "block_entities", "Entities", "Heightmaps"}};
  if (!quick_find(walk, 3 + size_t{walk.u16(1)}, 1, top)) return false;
  chunk.data_version.reset();
  if (top["DataVersion"].found()) {
    auto version = read_integer(doc, top["DataVersion"]);
    if (!version) return false;
    chunk.data_version = static_cast<int32_t>(*version);
  }
  auto parts = chunk_parts(top, [&](size_t at, NbtEntries<5>& level) -> Status {
    if (!quick_find(walk, at, 2, level)) return fail("");
    return {};
  });
  if (!parts) return false;
  const auto& [sections, block_entities, entities, heightmaps, depth, biomes] = *parts;
  const bool spanning = chunk.data_version.value_or(0) < kPaddedIndicesVersion;
  size_t kept = 0;
  if (sections.found()) {
    uint8_t element = 0;
    uint32_t length = 0;
    if (sections.kind != NbtKind::List || !quick_list(walk, sections.payload, element, length)) {
      return false;
    }
    if (length > 0 && element != kCompound) return false;
    size_t at = sections.payload + 5;
    for (uint32_t i = 0; i < length; ++i) {
      if (kept == chunk.sections.size()) chunk.sections.emplace_back();
      bool holds = false;
      at = quick_section(walk, doc, at, depth + 1, spanning, options, texts, chunk.sections[kept],
                         holds);
      if (!at) return false;
      kept += holds;
    }
  }
  chunk.sections.resize(kept);
  chunk.numeric_biomes.clear();
  chunk.biomes_numbered = false;
  if (options.biomes) {
    auto numbers = read_numeric_biomes(doc, biomes);
    if (!numbers) return false;
    chunk.numeric_biomes = std::move(*numbers);
  }
  chunk.block_entities.clear();
  chunk.entities.clear();
  chunk.world_surface.clear();
  if (!options.records) return true;
  return for_each_compound(doc, block_entities, "block_entities",
                           [&](size_t at, uint32_t) {
                             return read_block_entity(doc, at, depth + 1, chunk.block_entities);
                           })
             .has_value() &&
         read_entities(doc, entities, depth, chunk.entities).has_value() &&
         read_world_surface(doc, heightmaps, depth, chunk.world_surface).has_value();
}

}  // namespace

ChunkDecoder::ChunkDecoder(const ChunkDecodeOptions& options)
    : options_(options), texts_(std::make_unique<StateTexts>()) {}

ChunkDecoder::~ChunkDecoder() = default;

Result<DecodedChunk*> ChunkDecoder::decode(std::span<const uint8_t> nbt, int32_t cx, int32_t cz) {
  if (!quick_chunk(nbt, options_, *texts_, chunk_)) {
    KUBREL_ASSIGN_OR_RETURN(chunk_, decode_chunk_checked(nbt, cx, cz, options_));
  }
  return &chunk_;
}

Result<std::vector<VolumeEntity>> decode_entity_chunk(std::span<const uint8_t> nbt, int32_t cx,
                                                      int32_t cz) {
  auto read = [&]() -> Result<std::vector<VolumeEntity>> {
    KUBREL_ASSIGN_OR_RETURN(size_t root, nbt_root_compound(nbt));
    NbtEntries<1> top{{"Entities"}};
    KUBREL_TRY(as_status(find_entries(nbt, root, 1, top)));
    std::vector<VolumeEntity> entities;
    KUBREL_TRY(read_entities(nbt, top["Entities"], 1, entities));
    return entities;
  }();
  if (!read) return fail(chunk_prefix(cx, cz) + read.error().message);
  return read;
}

}  // namespace kubrel
