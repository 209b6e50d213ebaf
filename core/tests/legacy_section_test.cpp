// Numbered sections and old chunks: ids from Blocks and the Add nibbles, data nibbles, YZX order,
// names from a map, and every array of the wrong length refused; one hand-built chunk around them.
#include "world/legacy_section.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/state_text.h"
#include "support/nbt_writer.h"

namespace kubrel {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr size_t at(size_t x, size_t y, size_t z) {
  return y * 256 + z * 16 + x;
}

// A byte of one array set: 'b' Blocks, 'a' Add, 'd' Data.
struct Edit {
  char array;
  size_t index;
  uint8_t value;
};

struct SectionCase {
  std::string name;
  std::vector<Edit> edits;
  std::vector<std::pair<size_t, std::string>> want;  // block index -> state
  std::string error = "";
  std::array<size_t, 3> sizes = {4096, 2048, 2048};  // Blocks, Add, Data
};

TEST(LegacySectionTest, DecodesIdsDataAndOrderOrRefusesWrongLengths) {
  LegacyNames names;
  names.set(1, "minecraft:stone");
  names.set(562, "gregtech:gt.meta.ore.normal.default");
  const std::string air = "minecraft:air";
  const std::vector<SectionCase> cases = {
      {"data nibbles, low half first",
       {{'b', 0, 35}, {'b', 1, 35}, {'d', 0, 0xE3}},
       {{0, "#35:3"}, {1, "#35:14"}, {2, air}}},
      {"Add nibbles make ids from 256",
       {{'b', 2, 50}, {'b', 3, 0xFF}, {'a', 1, 0xF2}},
       {{2, "#562:0(gregtech:gt.meta.ore.normal.default)"}, {3, "#4095:0"}}},
      {"YZX order, no Add",
       {{'b', at(3, 2, 1), 1}, {'b', at(1, 3, 2), 7}, {'b', 4095, 7}, {'d', 2047, 0x90}},
       {{531, "#1:0(minecraft:stone)"}, {at(1, 3, 2), "#7:0"}, {4095, "#7:9"}, {at(1, 2, 3), air}},
       "",
       {4096, 0, 2048}},
      {"id 0 is air whatever its data", {{'d', 0, 0x77}}, {{0, air}, {1, air}}},
      {"short Blocks", {}, {}, "'Blocks' holds 4095 bytes, not 4096", {4095, 2048, 2048}},
      {"long Data", {}, {}, "'Data' holds 2049 bytes, not 2048", {4096, 2048, 2049}},
      {"no Data", {}, {}, "'Data' holds 0 bytes, not 2048", {4096, 0, 0}},
      {"short Add", {}, {}, "'Add' holds 100 bytes, not 2048", {4096, 100, 2048}},
  };
  LegacyPalette palette(&names);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes blocks(c.sizes[0]), add(c.sizes[1]), data(c.sizes[2]);
    for (const Edit& e : c.edits)
      (e.array == 'b' ? blocks : e.array == 'a' ? add : data)[e.index] = e.value;
    std::array<uint16_t, kLegacySectionBlocks> indices{};
    palette.reset();
    Status decoded = decode_legacy_section({blocks, add, data}, palette, indices);
    if (!c.error.empty()) {
      ASSERT_FALSE(decoded.has_value());
      EXPECT_EQ(decoded.error().message, c.error);
      EXPECT_EQ(palette.states().size(), 1u);
      continue;
    }
    ASSERT_TRUE(decoded.has_value()) << decoded.error().message;
    for (const auto& [index, state] : c.want) {
      SCOPED_TRACE(index);
      EXPECT_EQ(palette.states().at(indices[index]), state);
      EXPECT_TRUE(parse_state_text(state).has_value());
      EXPECT_EQ(is_legacy_state(state), state != "minecraft:air");
    }
  }
}

// What a chunk row breaks.
enum class Fault { kNone, kShortAdd, kNoY, kNoZ, kShortBiomes };

// A chunk of one section (and one of light alone), a chest, a pig and byte biomes.
Bytes chunk(Fault fault) {
  testing::NbtWriter w;
  Bytes blocks(4096, 0), data(2048, 0), biomes(256, 4);
  blocks[at(1, 2, 3)] = 54;
  data[at(1, 2, 3) / 2] = 0x20;
  biomes[255] = 200;
  if (fault == Fault::kShortBiomes) biomes.resize(3);
  w.compound("").compound("Level").int_("xPos", 3).int_("zPos", -2);
  w.list("Sections", NbtKind::Compound).compound("").byte("Y", 0).byte_array("SkyLight", data);
  w.end().compound("").byte(fault == Fault::kNoY ? "y" : "Y", 4).byte_array("Blocks", blocks);
  w.byte_array("Data", data);
  if (fault == Fault::kShortAdd) w.byte_array("Add", Bytes(3, 0));
  w.end().end().list("TileEntities", NbtKind::Compound).compound("").string("id", "Chest");
  w.int_("x", 49).int_("y", 66).int_(fault == Fault::kNoZ ? "w" : "z", -29).end().end();
  w.list("Entities", NbtKind::Compound).compound("").string("id", "Pig");
  w.list("Pos", NbtKind::Double).double_("", 50.5).double_("", 66).double_("", -28.5).end();
  w.end().end().byte_array("Biomes", biomes).end().end();
  return w.bytes();
}

TEST(LegacySectionTest, DecodesAChunkOrSaysWhatIsWrong) {
  const std::vector<std::pair<Fault, std::string>> cases = {
      {Fault::kNone, ""},
      {Fault::kShortAdd, "legacy chunk: section 1: 'Add' holds 3 bytes, not 2048"},
      {Fault::kNoY, "legacy chunk: section 1: it has no 'Y'"},
      {Fault::kNoZ, "legacy chunk: block entity 0 has no 'z'"},
      {Fault::kShortBiomes, "legacy chunk: 'Biomes' holds 3 entries, not 256 or 1024"},
  };
  LegacyPalette palette;
  for (const auto& [fault, error] : cases) {
    SCOPED_TRACE(error);
    auto decoded = decode_legacy_chunk(chunk(fault), palette);
    if (!error.empty()) {
      ASSERT_FALSE(decoded.has_value());
      EXPECT_EQ(decoded.error().message, error);
      continue;
    }
    ASSERT_TRUE(decoded.has_value()) << decoded.error().message;
    EXPECT_EQ(decoded->x, 3);
    EXPECT_EQ(decoded->z, -2);
    ASSERT_EQ(decoded->sections.size(), 1u);
    EXPECT_EQ(decoded->sections[0].y, 4);
    EXPECT_EQ(decoded->palette, (std::vector<std::string>{"minecraft:air", "#54:2"}));
    EXPECT_EQ(decoded->sections[0].indices[at(1, 2, 3)], 1);
    ASSERT_EQ(decoded->block_entities.size(), 1u);
    EXPECT_EQ(decoded->block_entities[0].position, (BlockPosition{49, 66, -29}));
    ASSERT_EQ(decoded->entities.size(), 1u);
    EXPECT_EQ(decoded->entities[0].position, (std::array<double, 3>{50.5, 66, -28.5}));
    ASSERT_EQ(decoded->biomes.size(), 256u);
    EXPECT_EQ(decoded->biomes[255], 200);
  }
}

}  // namespace
}  // namespace kubrel
