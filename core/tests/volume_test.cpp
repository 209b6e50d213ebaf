// The array decoders against the exact reader and hand-built inputs: one table of formats and
// their variants, one of hostile inputs, and a differential loop over the real corpus.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "formats/any_reader.h"
#include "support/corpus.h"
#include "support/kbr_writer.h"
#include "support/nbt_writer.h"
#include "volume/volume_loader.h"
#include "volume/volume_parts.h"

namespace kubrel {
namespace {

using Bytes = std::vector<uint8_t>;

bool is_air_text(std::string_view text) {
  return text == "minecraft:air" || text == "minecraft:cave_air" || text == "minecraft:void_air";
}

uint32_t index_at(const Volume& volume, uint64_t i) {
  return with_index_type(volume.blocks.width, [&]<class T>(T) -> uint32_t {
    T value;
    std::memcpy(&value, volume.blocks.bytes.data() + i * sizeof(T), sizeof(T));
    return value;
  });
}

// The canonical text at (x, y, z) of the volume.
const std::string& text_at(const Volume& volume, const std::array<int32_t, 3>& p) {
  uint64_t i = (uint64_t(p[1]) * volume.size[2] + uint64_t(p[2])) * volume.size[0] + uint64_t(p[0]);
  return volume.palette.at(index_at(volume, i));
}

// Whether the volume holds exactly the non-air blocks that the exact reader hands out for `file`
// (structure voids that the file does not list left out); none when the exact reader refuses it.
std::optional<bool> agrees_with_exact_reader(const Bytes& file, const Volume& volume) {
  // Only KBR places its box in the exact reader's frame; the others count from zero.
  BlockPosition frame = volume.format == VolumeFormat::Kbr ? volume.origin : BlockPosition{};
  auto stream = AnySchematicInputStream::new_from_known_gzip(std::make_unique<MemorySource>(file));
  std::vector<Block> bulk;
  uint64_t exact_count = 0;
  bool listed_void = false;
  while (true) {
    bulk.clear();
    auto count = stream->read(bulk, 4096);
    if (!count) return std::nullopt;
    if (!*count) break;
    for (const Block& block : bulk) {
      std::array<int32_t, 3> p = {block.position.x - frame.x, block.position.y - frame.y,
                                  block.position.z - frame.z};
      for (int axis = 0; axis < 3; ++axis) {
        if (p[axis] < 0 || uint32_t(p[axis]) >= volume.size[axis]) return false;
      }
      std::string text = canonical_state_text(block.state->name(), block.state->properties());
      if (text != text_at(volume, p)) {
        ADD_FAILURE() << "at " << block.position.debug_string() << ": " << text << " vs "
                      << text_at(volume, p);
        return false;
      }
      listed_void |= text == kStructureVoidText;
      ++exact_count;
    }
  }
  std::vector<bool> counted(volume.palette.size());
  for (size_t i = 0; i < counted.size(); ++i) {
    const std::string& text = volume.palette[i];
    counted[i] = !is_air_text(text) && (listed_void || text != kStructureVoidText);
  }
  uint64_t volume_count = 0;
  const uint64_t positions = volume.blocks.bytes.size() / volume.blocks.width;
  for (uint64_t i = 0; i < positions; ++i) volume_count += counted[index_at(volume, i)];
  // Unlisted positions are voids in the volume only; a file that lists voids too is compared
  // position by position above, and by count only where it lists every position.
  if (listed_void && volume.format == VolumeFormat::Structure) return true;
  return volume_count == exact_count;
}

using testing::NbtWriter;
using Placed = std::vector<std::pair<std::array<int32_t, 3>, std::string>>;

// A Sponge document. `version` 3 nests the blocks (inside a "Schematic" wrapper unless `flat`);
// `reversed` writes the keys in the opposite order; `ids` are the VarInt bytes of the block data.
Bytes sponge(int version, std::array<int16_t, 3> size,
             std::vector<std::pair<std::string, int32_t>> palette, Bytes ids, bool reversed = false,
             bool flat = false) {
  NbtWriter w;
  w.compound("Schematic");
  if (version == 3 && !flat) w.compound("Schematic");
  std::vector<std::function<void()>> parts;
  parts.push_back([&] { w.int_("Version", version); });
  parts.push_back(
      [&] { w.short_("Width", size[0]).short_("Height", size[1]).short_("Length", size[2]); });
  parts.push_back([&] { w.int_array("Offset", std::vector<int32_t>{-3, 64, 7}); });
  auto palette_and_data = [&](std::string_view data_name) {
    auto write_palette = [&] {
      w.compound("Palette");
      for (const auto& [text, id] : palette) w.int_(text, id);
      w.end();
    };
    if (!reversed) write_palette();
    w.byte_array(data_name, ids);
    if (reversed) write_palette();
  };
  if (version == 3) {
    parts.push_back([&] {
      w.compound("Blocks");
      palette_and_data("Data");
      w.list("BlockEntities", NbtKind::Compound)
          .compound("")
          .int_array("Pos", std::vector<int32_t>{1, 0, 0})
          .string("Id", "minecraft:chest")
          .compound("Data")
          .string("id", "minecraft:chest")
          .int_("x", 99)
          .string("Lock", "key")
          .end()
          .end()
          .end();
      w.end();
    });
    parts.push_back([&] {
      w.list("Entities", NbtKind::Compound)
          .compound("")
          .list("Pos", NbtKind::Double)
          .double_("", 0.5)
          .double_("", 1.0)
          .double_("", 0.25)
          .end()
          .string("Id", "minecraft:pig")
          .compound("Data")
          .short_("Air", 300)
          .end()
          .end()
          .end();
    });
  } else {
    parts.push_back([&] { palette_and_data("BlockData"); });
    parts.push_back([&] {
      w.list(version == 1 ? "TileEntities" : "BlockEntities", NbtKind::Compound)
          .compound("")
          .string("Lock", "key")
          .int_array("Pos", std::vector<int32_t>{1, 0, 0})
          .string("Id", "minecraft:chest")
          .end()
          .end();
    });
  }
  if (version >= 2) parts.push_back([&] { w.int_("DataVersion", 3465); });
  if (reversed) std::reverse(parts.begin(), parts.end());
  for (auto& part : parts) part();
  if (version == 3 && !flat) w.end();
  w.end();
  return w.bytes();
}

// The data every Sponge row's chest must come out as.
Bytes chest_data() {
  NbtWriter w;
  w.string("id", "minecraft:chest").string("Lock", "key").raw({0});
  return w.bytes();
}

struct StructureBlock {
  std::array<int32_t, 3> pos;
  int32_t state;
  bool with_nbt = false;
};

// A structure document with the palettes given (one as "palette", more as "palettes").
Bytes structure(std::array<int32_t, 3> size, std::vector<std::vector<std::string>> palettes,
                std::vector<StructureBlock> blocks, bool blocks_first = false) {
  NbtWriter w;
  w.compound("");
  auto write_palette = [&](std::string_view name, const std::vector<std::string>& names) {
    w.list(name, NbtKind::Compound);
    for (const std::string& text : names) {
      w.compound("").string("Name", text.substr(0, text.find('[')));
      if (text.find('[') != std::string::npos) {
        w.compound("Properties").string("facing", "north").string("axis", "y").end();
      }
      w.end();
    }
    w.end();
  };
  auto write_blocks = [&] {
    w.list("blocks", NbtKind::Compound);
    for (const StructureBlock& block : blocks) {
      w.compound("")
          .int_("state", block.state)
          .int_list("pos", {block.pos[0], block.pos[1], block.pos[2]});
      if (block.with_nbt) {
        w.compound("nbt").string("id", "minecraft:chest").string("Lock", "key").end();
      }
      w.end();
    }
    w.end();
  };
  if (blocks_first) write_blocks();
  w.int_list("size", {size[0], size[1], size[2]});
  if (palettes.size() == 1) {
    write_palette("palette", palettes[0]);
  } else {
    w.list("palettes", NbtKind::List);
    for (const auto& names : palettes) write_palette("", names);
    w.end();
  }
  if (!blocks_first) write_blocks();
  w.list("entities", NbtKind::Compound)
      .compound("")
      .list("pos", NbtKind::Double)
      .double_("", 0.5)
      .double_("", 1.0)
      .double_("", 0.5)
      .end()
      .int_list("blockPos", {0, 1, 0})
      .compound("nbt")
      .string("id", "minecraft:item_frame")
      .list("Pos", NbtKind::Double)
      .double_("", 100.5)
      .double_("", 65.0)
      .double_("", 7.5)
      .end()
      .end()
      .end()
      .end();
  w.int_("DataVersion", 3465).end();
  return w.bytes();
}

// What the tables choose of the load options (rows of plain values keep g++ 12 from warning about
// the region's optional text in static arrays).
struct Options {
  std::optional<VolumeFormat> format;
  uint32_t palette;
  uint64_t max_document = kDefaultMaxDocument;
  VolumeLoadOptions load() const {
    return {.format = format, .palette = palette, .max_document = max_document};
  }
};

struct Row {
  std::string name;
  Bytes document;
  bool gzip;
  Options options;
  std::array<uint32_t, 3> size;
  Placed blocks;  // every position that is not air
  size_t block_entities = 0;
  Bytes first_block_entity{};  // compared when not empty
  uint32_t palette_count = 1;
};

TEST(VolumeDecoders, FormatsAndTheirVariants) {
  const std::string stone = "minecraft:stone";
  const std::string log = "minecraft:oak_log[axis=y,facing=north]";
  const std::string modded = "create:shaft[axis=x,waterlogged=false]";
  const std::string void_ = std::string(kStructureVoidText);
  Bytes wide_ids;  // ids 0 and 300 (two bytes as a VarInt), then the data ends
  std::vector<std::pair<std::string, int32_t>> wide_palette = {{"minecraft:air", 0}};
  for (int32_t i = 1; i <= 300; ++i) wide_palette.emplace_back("mod:b" + std::to_string(i), i);
  wide_ids = {0, 0xAC, 0x02};
  const Bytes one_stone = structure({1, 1, 1}, {{stone}}, {{{0, 0, 0}, 0}});
  // 200 ids in one row (`spread` of them distinct, in turn), an id past a gap in the palette at
  // 90 and one of two bytes at 130, so that groups of one-byte ids alternate with ids taken one at
  // a time. Returns the ids and the blocks they place, named through `palette`.
  auto long_row = [](const std::vector<std::pair<std::string, int32_t>>& palette, uint8_t spread,
                     uint8_t wide_byte) {
    std::pair<Bytes, Placed> row;
    auto place = [&](int32_t x, int32_t id) {
      for (const auto& [text, palette_id] : palette)
        if (palette_id == id && text != "minecraft:air") row.second.push_back({{x, 0, 0}, text});
    };
    for (int32_t x = 0; x < 200; ++x) {
      if (x == 130) {
        row.first.insert(row.first.end(), {0xAC, wide_byte});
        place(x, 0x2C | wide_byte << 7);
      } else {
        row.first.push_back(x == 90 ? 3 : x % spread);
        place(x, row.first.back());
      }
    }
    return row;
  };
  const std::vector<std::pair<std::string, int32_t>> gap_palette = {
      {"minecraft:air", 0}, {stone, 1}, {log, 3}, {"minecraft:dirt", 44}};
  auto [narrow_run, narrow_blocks] = long_row(gap_palette, 2, 0x00);
  auto [wide_run, wide_blocks] = long_row(wide_palette, 128, 0x02);
  const std::vector<Row> rows = {
      {"sponge v1 with TileEntities",
       sponge(1, {2, 1, 1}, {{"minecraft:air", 0}, {stone, 1}}, {1, 0}),
       true,
       {},
       {2, 1, 1},
       {{{0, 0, 0}, stone}},
       1,
       chest_data()},
      {"sponge v2, keys reversed, modded state with unsorted keys",
       sponge(2, {1, 2, 2}, {{"create:shaft[waterlogged=false,axis=x]", 5}, {"minecraft:air", 9}},
              {5, 9, 9, 5}, true),
       false,
       {},
       {1, 2, 2},
       {{{0, 0, 0}, modded}, {{0, 1, 1}, modded}},
       1,
       chest_data()},
      {"sponge v3 wrapped, block entity Data and an entity",
       sponge(3, {2, 1, 1}, {{stone, 0}, {"minecraft:air", 1}}, {0, 1}),
       true,
       {},
       {2, 1, 1},
       {{{0, 0, 0}, stone}},
       1,
       chest_data()},
      {"sponge v3 at the root (no wrapper), palette after data",
       sponge(3, {2, 1, 1}, {{stone, 0}, {"minecraft:air", 1}}, {1, 0}, true, true),
       true,
       {},
       {2, 1, 1},
       {{{1, 0, 0}, stone}},
       1,
       chest_data()},
      {"sponge ids of two bytes widen the grid",
       sponge(2, {3, 1, 1}, wide_palette, wide_ids),
       true,
       {},
       {3, 1, 1},
       {{{1, 0, 0}, "mod:b300"}},
       1,
       chest_data()},
      {"sponge long row of one-byte ids, a palette gap and a two-byte id",
       sponge(2, {200, 1, 1}, gap_palette, narrow_run),
       true,
       {},
       {200, 1, 1},
       narrow_blocks,
       1,
       chest_data()},
      {"sponge long row of one-byte ids into a wide grid",
       sponge(2, {200, 1, 1}, wide_palette, wide_run),
       true,
       {},
       {200, 1, 1},
       wide_blocks,
       1,
       chest_data()},
      {"sponge data cut short leaves air",
       sponge(2, {3, 1, 1}, {{stone, 0}}, {0}),
       true,
       {},
       {3, 1, 1},
       {{{0, 0, 0}, stone}},
       1,
       chest_data()},
      {"structure: unlisted positions are voids, blocks before size",
       structure({2, 1, 2}, {{stone, log}}, {{{1, 0, 1}, 1, true}, {{0, 0, 0}, 0}}, true),
       true,
       {},
       {2, 1, 2},
       {{{0, 0, 0}, stone}, {{1, 0, 0}, void_}, {{0, 0, 1}, void_}, {{1, 0, 1}, log}},
       1,
       chest_data()},
      {"structure: every position listed, no void",
       one_stone,
       false,
       {},
       {1, 1, 1},
       {{{0, 0, 0}, stone}}},
      {"structure of exactly max_document bytes",
       one_stone,
       true,
       {std::nullopt, 0, one_stone.size()},
       {1, 1, 1},
       {{{0, 0, 0}, stone}}},
      {"structure: palettes, the second chosen",
       structure({2, 1, 1}, {{stone, log}, {log, stone}}, {{{0, 0, 0}, 0}, {{1, 0, 0}, 1}}),
       true,
       {std::nullopt, 1},
       {2, 1, 1},
       {{{0, 0, 0}, log}, {{1, 0, 0}, stone}},
       0,
       {},
       2},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto volume = load_volume(row.gzip ? testing::gzip_compress(row.document) : row.document,
                              row.options.load());
    ASSERT_TRUE(volume) << volume.error().message;
    EXPECT_EQ(volume->size, row.size);
    EXPECT_EQ(volume->palette[0], "minecraft:air");
    EXPECT_EQ(volume->palette_count, row.palette_count);
    EXPECT_EQ(volume->blocks.width, grid_width_for(volume->palette.size()));
    Placed found;
    for (int32_t y = 0; y < int32_t(row.size[1]); ++y) {
      for (int32_t z = 0; z < int32_t(row.size[2]); ++z) {
        for (int32_t x = 0; x < int32_t(row.size[0]); ++x) {
          const std::string& text = text_at(*volume, {x, y, z});
          if (text != "minecraft:air") found.push_back({{x, y, z}, text});
        }
      }
    }
    std::sort(found.begin(), found.end());
    Placed expected = row.blocks;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(found, expected);
    ASSERT_EQ(volume->block_entities.size(), row.block_entities);
    if (!row.first_block_entity.empty()) {
      const auto& data = volume->block_entities[0].data;
      EXPECT_EQ(Bytes(reinterpret_cast<const uint8_t*>(data.data()),
                      reinterpret_cast<const uint8_t*>(data.data()) + data.size()),
                row.first_block_entity);
    }
    if (volume->format == VolumeFormat::Structure) {
      // The entity keeps its fields and the world position the file stored, byte for byte.
      ASSERT_EQ(volume->entities.size(), 1u);
      EXPECT_EQ(volume->entities[0].position, (std::array<double, 3>{0.5, 1.0, 0.5}));
      EXPECT_EQ(volume->entities[0].block_position, (BlockPosition{0, 1, 0}));
      NbtWriter w;
      w.string("id", "minecraft:item_frame").list("Pos", NbtKind::Double);
      w.double_("", 100.5).double_("", 65.0).double_("", 7.5).end().raw({0});
      EXPECT_EQ(volume->entities[0].data.size(), w.bytes().size());
    }
  }
}

TEST(VolumeDecoders, KbrRunsInEveryAxisOrder) {
  // The same 2 x 3 x 2 box filled in each walk order: positions numbered along the walk get stone
  // at odd numbers, and a derived log (stone's difference) at the last position.
  for (int code = 0; code < 6; ++code) {
    auto order = *axis_order_from_code(code);
    SCOPED_TRACE(std::string(axis_order_name(order)));
    KbrWriter w;
    w.header({10, -5, 3}, {11, -3, 4}, order).define("minecraft:air").define("minecraft:stone");
    w.derive(4, "minecraft:oak_log+axis=y");
    for (int i = 0; i < 5; ++i) w.single(2).single(4);
    w.single(2).single(6);
    auto volume = load_volume(testing::gzip_compress(w.bytes()));
    ASSERT_TRUE(volume) << volume.error().message;
    EXPECT_EQ(volume->origin, (BlockPosition{10, -5, 3}));
    ASSERT_EQ(volume->size, (std::array<uint32_t, 3>{2, 3, 2}));
    auto walk = Boundary{{0, 0, 0}, 2, 3, 2}.walk(order);
    for (int i = 0; i < 12; ++i) {
      BlockPosition p = *walk.next();
      std::string expected =
          i == 11 ? "minecraft:oak_log[axis=y]" : (i % 2 ? "minecraft:stone" : "minecraft:air");
      EXPECT_EQ(text_at(*volume, {p.x, p.y, p.z}), expected) << i;
    }
  }
}

Bytes deep_nesting(int depth) {
  NbtWriter w;
  w.compound("");
  for (int i = 0; i < depth; ++i) w.list("", NbtKind::List, 1);
  w.raw({0, 0, 0, 0, 0});
  return w.bytes();
}

TEST(VolumeDecoders, HostileAndBrokenInputsAreRefused) {
  NbtWriter legacy;
  legacy.compound("Schematic")
      .short_("Width", 1)
      .byte_array("Blocks", Bytes{1})
      .string("Materials", "Alpha")
      .end();
  NbtWriter lying_list;
  lying_list.compound("").list("blocks", NbtKind::Compound, 0x7FFFFFFF).end().end();
  NbtWriter unknown;
  unknown.compound("").int_("Something", 1).end();
  Bytes gzip = testing::gzip_compress(sponge(2, {1, 1, 1}, {{"minecraft:stone", 0}}, {0}));
  gzip.resize(gzip.size() / 2);
  // The member with header flags set and their fields inserted after the fixed header.
  auto with_header = [](uint8_t flags, Bytes fields) {
    Bytes member = testing::gzip_compress(sponge(2, {1, 1, 1}, {{"minecraft:stone", 0}}, {0}));
    member[3] |= flags;
    member.insert(member.begin() + 10, fields.begin(), fields.end());
    return member;
  };
  Bytes long_name(70000, 'a');
  long_name.push_back(0);
  const std::vector<std::pair<std::string, Bytes>> short_palette = {};
  const Bytes one_stone = structure({1, 1, 1}, {{"minecraft:stone"}}, {{{0, 0, 0}, 0}});
  struct Case {
    std::string name;
    Bytes input;
    Options options;
    std::string message;  // a part of the error
  };
  const std::vector<Case> cases = {
      {"empty", {}, {}, "the input is empty"},
      {"text", {'h', 'e', 'l', 'l', 'o'}, {}, "starts with bytes 68 65 6c 6c 6f"},
      {"gzip cut short", gzip, {}, "gzip: "},
      {"gzip header checksum wrong", with_header(0x02, {0x12, 0x34}), {}, "invalid gzip header"},
      {"gzip name too long", with_header(0x08, long_name), {}, "gzip header field too long"},
      {"legacy MCEdit", legacy.bytes(), {}, "legacy MCEdit schematic"},
      {"no known tags", unknown.bytes(), {}, "none of the tags"},
      {"list longer than the input", lying_list.bytes(), {}, "declares 2147483647 elements"},
      {"nesting too deep", deep_nesting(600), {}, "nested deeper than 512"},
      {"huge Sponge box from a few bytes",
       sponge(2, {-1, -1, -1}, {{"minecraft:stone", 0}}, {}),
       {},
       "more positions than a document of"},
      {"Sponge id outside the palette",
       sponge(2, {2, 1, 1}, {{"minecraft:stone", 0}}, {0, 7}),
       {},
       "block id 7 at (1, 0, 0) is not in the palette"},
      {"Sponge id outside the palette inside a long group",
       sponge(2, {200, 1, 1}, {{"minecraft:air", 0}, {"minecraft:stone", 1}, {"minecraft:dirt", 3}},
              [] {
                Bytes ids(200, 1);
                ids[90] = 3;
                ids[100] = 2;
                return ids;
              }()),
       {},
       "block id 2 at (100, 0, 0) is not in the palette"},
      {"Sponge ids past the box",
       sponge(2, {1, 1, 1}, {{"minecraft:stone", 0}}, {0, 0}),
       {},
       "more ids than the 1 positions"},
      {"Sponge VarInt over 32 bits",
       sponge(2, {1, 1, 1}, {{"minecraft:stone", 0}}, {0xFF, 0xFF, 0xFF, 0xFF, 0x1F}),
       {},
       "VarInt over 32 bits"},
      {"Sponge VarInt cut",
       sponge(2, {1, 1, 1}, {{"minecraft:stone", 0}}, {0x80}),
       {},
       "ends inside a VarInt"},
      {"Sponge bad state text",
       sponge(2, {1, 1, 1}, {{"minecraft:stone[a=b", 0}}, {0}),
       {},
       "missing ']'"},
      {"structure block outside the box",
       structure({1, 1, 1}, {{"minecraft:stone"}}, {{{0, 1, 0}, 0}}),
       {},
       "lies outside the box"},
      {"structure state outside the palette",
       structure({1, 1, 1}, {{"minecraft:stone"}}, {{{0, 0, 0}, 3}}),
       {},
       "names state 3"},
      {"structure palette not there",
       structure({1, 1, 1}, {{"minecraft:stone"}}, {}),
       {std::nullopt, 2},
       "palette 2 was asked for, but the file has 1"},
      {"huge structure box",
       structure({100000, 100000, 1}, {{"minecraft:stone"}}, {}),
       {},
       "more positions than a document of"},
      {"KBR run past the box",
       KbrWriter()
           .header({0, 0, 0}, {1, 0, 0}, AxisOrder::XYZ)
           .define("minecraft:stone")
           .run(2, 3)
           .bytes(),
       {},
       "KBR: run goes past the end of the box"},
      {"KBR undefined id",
       KbrWriter().header({0, 0, 0}, {1, 0, 0}, AxisOrder::XYZ).single(4).bytes(),
       {},
       "KBR: run of undefined palette id 4"},
      {"KBR huge box",
       KbrWriter().header({0, 0, 0}, {-2, -2, 2}, AxisOrder::XYZ).bytes(),
       {},
       "KBR: the box"},
      {"KBR runs filling 2^32 positions from a few bytes",
       KbrWriter()
           .header({0, 0, 0}, {65535, 0, 65535}, AxisOrder::XYZ)
           .define("minecraft:stone")
           .run(2, INT32_MAX)
           .run(2, INT32_MAX)
           .run(2, INT32_MAX)
           .bytes(),
       {},
       "KBR: the box"},
      {"KBR cut inside a string",
       KbrWriter()
           .header({0, 0, 0}, {1, 0, 0}, AxisOrder::XYZ)
           .var_int(0)
           .var_int(0)
           .var_int(9)
           .bytes(),
       {},
       "failed to fill whole buffer"},
      {"a byte past max_document",
       one_stone,
       {std::nullopt, 0, one_stone.size() - 1},
       "more than max_document allows (" + std::to_string(one_stone.size() - 1) +
           " bytes); a larger max_document loads it"},
      {"nothing allowed",
       sponge(2, {1, 1, 1}, {{"minecraft:stone", 0}}, {0}),
       {std::nullopt, 0, 0},
       "more than max_document allows (0 bytes)"},
      {"Sponge forced on a structure",
       structure({1, 1, 1}, {{"minecraft:stone"}}, {}),
       {VolumeFormat::Sponge, 0},
       "Sponge schematic: 'Width' is missing"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Each input in memory and as a stream, gzip'd or not.
    for (auto [compressed, streamed] :
         {std::pair{false, false}, {true, false}, {false, true}, {true, true}}) {
      Bytes input = compressed ? testing::gzip_compress(c.input) : c.input;
      MemorySource stream(input);
      auto volume =
          streamed ? load_volume(stream, c.options.load()) : load_volume(input, c.options.load());
      ASSERT_FALSE(volume);
      if (c.name.starts_with("gzip") && compressed) continue;
      EXPECT_NE(volume.error().message.find(c.message), std::string::npos)
          << volume.error().message;
    }
  }
}

TEST(VolumeCorpus, EveryFileLoadsOrIsRefusedAndAgreesWithTheExactReader) {
  auto corpus = testing::real_corpus_dir();
  if (!corpus) GTEST_SKIP() << "real corpus not present";
  size_t loaded = 0, refused = 0, compared = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(*corpus)) {
    if (!entry.is_regular_file() || entry.path().extension() == ".tsv") continue;
    SCOPED_TRACE(entry.path().string());
    Bytes file = *testing::read_file(entry.path());
    auto volume = load_volume(file);
    bool legacy_mcedit = entry.path().filename().string().starts_with("mcedit") ||
                         entry.path().filename().string().starts_with("schematica");
    if (!volume) {
      ++refused;
      std::printf("refused %s: %s\n", entry.path().filename().c_str(),
                  volume.error().message.c_str());
      EXPECT_TRUE(legacy_mcedit) << volume.error().message;
      EXPECT_NE(volume.error().message.find("legacy MCEdit"), std::string::npos);
      continue;
    }
    ++loaded;
    EXPECT_FALSE(legacy_mcedit);
    std::optional<bool> agrees = agrees_with_exact_reader(file, *volume);
    if (!agrees) continue;
    ++compared;
    EXPECT_TRUE(*agrees);
  }
  std::printf("corpus: %zu loaded, %zu refused, %zu compared with the exact reader\n", loaded,
              refused, compared);
}

}  // namespace
}  // namespace kubrel
