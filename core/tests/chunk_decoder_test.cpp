#include "world/chunk_decoder.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "support/nbt_writer.h"

namespace kubrel {
namespace {

using testing::NbtWriter;

// Indices packed as the game packs them: one continuous stream, or whole indices per long.
std::vector<int64_t> pack(const std::vector<uint16_t>& indices, unsigned bits, bool spanning) {
  std::vector<uint64_t> longs;
  const size_t per_long = 64 / bits;
  for (size_t i = 0; i < indices.size(); ++i) {
    const size_t bit = spanning ? i * bits : (i / per_long) * 64 + (i % per_long) * bits;
    if (longs.size() <= (bit + bits - 1) / 64) longs.resize((bit + bits - 1) / 64 + 1);
    longs[bit / 64] |= uint64_t{indices[i]} << (bit % 64);
    if (bit % 64 + bits > 64) longs[bit / 64 + 1] |= uint64_t{indices[i]} >> (64 - bit % 64);
  }
  return {longs.begin(), longs.end()};
}

std::vector<uint16_t> pattern(size_t count, uint16_t modulo) {
  std::vector<uint16_t> out(count);
  for (size_t i = 0; i < count; ++i) out[i] = static_cast<uint16_t>((i * 7 + i / 300) % modulo);
  return out;
}

void palette(NbtWriter& w, const char* list_name, int states) {
  w.list(list_name, NbtKind::Compound);
  w.compound("").string("Name", "minecraft:air").end();
  for (int i = 1; i < states; ++i) {
    w.compound("").string("Name", "test:block" + std::to_string(i));
    w.compound("Properties").string("z", "1").string("a", std::to_string(i)).end().end();
  }
  w.end();
}

struct Case {
  std::string name;
  std::function<void(NbtWriter&)> body;
  std::string error = {};
  // Expected: sections' y, palette sizes and indices (empty: a single-entry palette).
  std::vector<int32_t> ys = {};
  std::vector<uint16_t> indices = {};
  std::vector<uint8_t> biomes = {};
  size_t block_entities = 0, entities = 0;
};

TEST(ChunkDecoderTest, LayoutsPackingsAndRefusals) {
  const auto five = pattern(4096, 5), twenty = pattern(4096, 20), cells = pattern(64, 3);
  auto level = [](int version, auto sections) {
    return [=](NbtWriter& w) {
      w.compound("").int_("DataVersion", version).compound("Level");
      w.list("Sections", NbtKind::Compound);
      sections(w);
      w.end();
      w.list("TileEntities", NbtKind::Compound)
          .compound("")
          .string("id", "minecraft:chest")
          .int_("x", 5)
          .int_("y", 70)
          .int_("z", -3)
          .end()
          .end();
      w.end().end();
    };
  };
  const std::vector<Case> cases = {
      {"1.16 padded longs",
       level(
           2580,
           [&](NbtWriter& w) {
             w.compound("").byte("Y", 3);
             palette(w, "Palette", 5);
             w.long_array("BlockStates", pack(five, 4, false)).end();
             w.compound("").byte("Y", 16).byte_array("SkyLight", std::vector<uint8_t>(2048)).end();
           }),
       "",
       {3},
       five,
       {},
       1},
      {"1.15 indices spanning longs",
       level(2230,
             [&](NbtWriter& w) {
               w.compound("").byte("Y", 0);
               palette(w, "Palette", 20);
               w.long_array("BlockStates", pack(twenty, 5, true)).end();
             }),
       "",
       {0},
       twenty,
       {},
       1},
      {"1.18 root sections with biomes",
       [&](NbtWriter& w) {
         w.compound("").int_("DataVersion", 2865).list("sections", NbtKind::Compound);
         w.compound("").byte("Y", -4).compound("block_states");
         palette(w, "palette", 1);
         w.end().compound("biomes").list("palette", NbtKind::String);
         w.string("", "minecraft:plains").string("", "minecraft:desert").string("", "x:y").end();
         w.long_array("data", pack(std::vector<uint16_t>(cells.begin(), cells.end()), 2, false));
         w.end().end().end();
         w.list("Entities", NbtKind::Compound).compound("").string("id", "minecraft:pig");
         w.list("Pos", NbtKind::Double).double_("", 1.5).double_("", -60).double_("", 2).end();
         w.end().end().end();
       },
       "",
       {-4},
       {},
       std::vector<uint8_t>(cells.begin(), cells.end()),
       0,
       1},
      {"numeric ids with a data version",
       level(1343,
             [](NbtWriter& w) { w.compound("").byte("Y", 0).byte_array("Blocks", {}).end(); }),
       "chunk at (2, -7): it is from before 1.13 (data version 1343); pass legacy=True"},
      {"numeric ids without a data version",
       [](NbtWriter& w) {
         w.compound("").compound("Level").list("Sections", NbtKind::Compound);
         w.compound("").byte("Y", 0).byte_array("Blocks", {}).end().end().end().end();
       },
       "no data version"},
      {"biome numbers of neither length",
       [](NbtWriter& w) {
         const std::vector<int32_t> biomes(300, 1);
         w.compound("").int_("DataVersion", 2230).compound("Level");
         w.int_array("Biomes", biomes).end().end();
       },
       "'Biomes' holds 300 entries, not 256 or 1024"},
      {"index past the palette",
       level(2580,
             [&](NbtWriter& w) {
               w.compound("").byte("Y", 1);
               palette(w, "Palette", 5);
               w.long_array("BlockStates", pack(pattern(4096, 9), 4, false)).end();
             }),
       "section 1: index 7 past a palette of 5"},
      {"too few longs",
       level(2580,
             [&](NbtWriter& w) {
               w.compound("").byte("Y", 1);
               palette(w, "Palette", 5);
               w.long_array("BlockStates", std::vector<int64_t>(255)).end();
             }),
       "too few longs"},
      {"not NBT",
       [](NbtWriter& w) {
         w.raw({0x0A, 0x00});
       },
       "chunk at (2, -7): "},
  };
  // One decoder over every case, as over a region file's chunks, and the checked walk alone:
  // both give what a fresh decoder gives.
  ChunkDecoder kept;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NbtWriter w;
    c.body(w);
    auto chunk = decode_chunk(w.bytes(), 2, -7);
    auto checked = decode_chunk_checked(w.bytes(), 2, -7);
    auto reused = kept.decode(w.bytes(), 2, -7);
    ASSERT_EQ(checked.has_value(), chunk.has_value());
    ASSERT_EQ(reused.has_value(), chunk.has_value());
    if (!c.error.empty()) {
      ASSERT_FALSE(chunk);
      EXPECT_NE(chunk.error().message.find(c.error), std::string::npos) << chunk.error().message;
      EXPECT_EQ(checked.error().message, chunk.error().message);
      EXPECT_EQ(reused.error().message, chunk.error().message);
      continue;
    }
    ASSERT_TRUE(chunk) << chunk.error().message;
    EXPECT_EQ(checked->sections, chunk->sections);
    EXPECT_EQ((*reused)->sections, chunk->sections);
    ASSERT_EQ(chunk->sections.size(), c.ys.size());
    const ChunkSection& section = chunk->sections[0];
    EXPECT_EQ(section.y, c.ys[0]);
    EXPECT_EQ(section.palette[0], "minecraft:air");
    if (section.palette.size() > 1) {
      EXPECT_EQ(section.palette[1], "test:block1[a=1,z=1]");
    }
    EXPECT_EQ(section.indices, c.indices);
    EXPECT_EQ(section.biome_indices, c.biomes);
    ASSERT_EQ(chunk->block_entities.size(), c.block_entities);
    if (c.block_entities) {
      EXPECT_EQ(chunk->block_entities[0].position, (BlockPosition{5, 70, -3}));
    }
    ASSERT_EQ(chunk->entities.size(), c.entities);
    if (c.entities) {
      EXPECT_EQ(chunk->entities[0].position, (std::array<double, 3>{1.5, -60, 2}));
    }
  }
}

}  // namespace
}  // namespace kubrel
