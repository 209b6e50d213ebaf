// The KBR reader: header, palette definitions and differences, runs along the walk, air, every
// message, truncated and hostile input.
#include "formats/kbr_reader.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "support/allocation_probe.h"
#include "support/kbr_writer.h"

namespace kubrel {
namespace {

constexpr BlockPosition kOrigin{0, 0, 0};

// Everything one reader hands out, read with bulks of `max`, up to the end or the first error.
struct Drained {
  std::vector<Block> blocks;
  std::vector<size_t> counts;  // one per call that returned a count
  std::optional<std::string> error;
};

Drained drain(SchematicInputStream& stream, size_t max) {
  Drained out;
  while (true) {
    std::vector<Block> bulk;
    Result<ReadCount> count = stream.read(bulk, max);
    if (!count) {
      out.error = count.error().message;
      return out;
    }
    if (!*count) {
      EXPECT_TRUE(bulk.empty());
      return out;
    }
    EXPECT_EQ(bulk.size(), **count);
    EXPECT_LE(**count, max);
    out.counts.push_back(**count);
    out.blocks.insert(out.blocks.end(), bulk.begin(), bulk.end());
  }
}

Drained drain(const KbrWriter& file, size_t max = 1024) {
  KBRSchematicInputStream stream(file.source());
  return drain(stream, max);
}

// A read's outcome as text, so that a failing check shows the error.
std::string outcome(const Result<ReadCount>& result) {
  if (!result) return "error: " + result.error().message;
  return *result ? "count " + std::to_string(**result) : "end";
}

std::vector<BlockPosition> positions(const std::vector<Block>& blocks) {
  std::vector<BlockPosition> out;
  for (const auto& block : blocks) out.push_back(block.position);
  return out;
}

std::vector<BlockPosition> row_x(int32_t from, int32_t count) {
  std::vector<BlockPosition> out;
  for (int32_t x = from; x < from + count; ++x) out.push_back({x, 0, 0});
  return out;
}

// Serves bytes, then fails with "disk on fire" instead of reporting the end of input.
class FailingSource final : public ByteSource {
 public:
  explicit FailingSource(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
  Result<size_t> read(uint8_t* dst, size_t n) override {
    size_t count = std::min(n, bytes_.size() - position_);
    if (count == 0) return fail("disk on fire");
    std::memcpy(dst, bytes_.data() + position_, count);
    position_ += count;
    return count;
  }

 private:
  std::vector<uint8_t> bytes_;
  size_t position_ = 0;
};

TEST(KbrReaderTest, ReadsTheByteExample) {
  const std::vector<uint8_t> bytes = {
      0xD4, 0x9A, 0x99, 0x92, 0xA4, 0xEA, 0x12,  // magic
      0x01,                                      // version
      0x00, 0x00, 0x00,                          // min
      0x04, 0x00, 0x00,                          // max
      0x00,                                      // XYZ
      0x00, 0x00, 0x0F, 'm',  'i',  'n',  'e',  'c', 'r',  'a',
      'f',  't',  ':',  's',  't',  'o',  'n',  'e', 0x03, 0x05,  // a run of five of id 2
  };
  KbrWriter writer;
  writer.header(kOrigin, {4, 0, 0}, AxisOrder::XYZ).define("minecraft:stone").run(2, 5);
  EXPECT_EQ(writer.bytes(), bytes);

  KBRSchematicInputStream stream(std::make_unique<MemorySource>(bytes));
  EXPECT_EQ(stream.boundary().value_or(std::nullopt),
            std::optional<Boundary>(Boundary{kOrigin, 5, 1, 1}));
  std::vector<Block> blocks;
  EXPECT_EQ(outcome(stream.read(blocks, 10)), "count 5");
  EXPECT_EQ(positions(blocks), row_x(0, 5));
  for (const auto& block : blocks) {
    EXPECT_EQ(block.state->name(), "minecraft:stone");
    EXPECT_EQ(block.state.get(), blocks[0].state.get());  // one shared state per entry
  }
  EXPECT_EQ(outcome(stream.read(blocks, 10)), "end");
  EXPECT_EQ(outcome(stream.read(blocks, 10)), "end");
  EXPECT_EQ(blocks.size(), 5u);
}

TEST(KbrReaderTest, HeaderGivesTheBox) {
  struct Case {
    BlockPosition min, max;
    Boundary box;
  };
  const std::vector<Case> cases = {
      {kOrigin, {1, 0, 0}, {kOrigin, 2, 1, 1}},
      {{-3, -64, 7}, {2, 319, 7}, {{-3, -64, 7}, 6, 384, 1}},
      {{5, 5, 5}, {4, 5, 5}, {{5, 5, 5}, 0, 1, 1}},
      {{0, 0, 0}, {-2, 0, 0}, {kOrigin, 0xFFFFFFFFu, 1, 1}},
      {{INT32_MIN, 0, 0}, {INT32_MAX, 0, 0}, {{INT32_MIN, 0, 0}, 0, 1, 1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.min.debug_string() + " " + c.max.debug_string());
    KbrWriter file;
    file.header(c.min, c.max, AxisOrder::ZYX);
    KBRSchematicInputStream stream(file.source());
    auto header = stream.read_header();
    ASSERT_TRUE(header.has_value()) << header.error().message;
    EXPECT_EQ(header->first, c.box);
    EXPECT_EQ(header->second, AxisOrder::ZYX);
    EXPECT_EQ(stream.boundary().value_or(std::nullopt), std::optional<Boundary>(c.box));
    // A header alone is an empty schematic.
    std::vector<Block> blocks;
    EXPECT_EQ(outcome(stream.read(blocks, 1024)), "end");
  }
}

TEST(KbrReaderTest, HeaderIsReadOnce) {
  KbrWriter file;
  file.header(kOrigin, {1, 1, 1}, AxisOrder::XYZ);
  KBRSchematicInputStream stream(file.source());
  ASSERT_TRUE(stream.boundary().has_value());
  auto again = stream.read_header();
  ASSERT_FALSE(again.has_value());
  EXPECT_EQ(again.error().message, "KBR: Header already read");
  EXPECT_EQ(stream.boundary().value_or(std::nullopt),
            std::optional<Boundary>(Boundary{kOrigin, 2, 2, 2}));
}

TEST(KbrReaderTest, WalksTheHeaderOrder) {
  struct Case {
    AxisOrder order;
    std::vector<BlockPosition> expected;
  };
  // A 2 x 1 x 2 box at (10, 5, 20).
  const std::vector<Case> cases = {
      {AxisOrder::XYZ, {{10, 5, 20}, {10, 5, 21}, {11, 5, 20}, {11, 5, 21}}},
      {AxisOrder::YZX, {{10, 5, 20}, {11, 5, 20}, {10, 5, 21}, {11, 5, 21}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(axis_order_name(c.order)));
    KbrWriter file;
    file.header({10, 5, 20}, {11, 5, 21}, c.order).define("minecraft:stone").single(2).run(2, 3);
    Drained out = drain(file);
    ASSERT_FALSE(out.error) << *out.error;
    EXPECT_EQ(positions(out.blocks), c.expected);
  }
}

TEST(KbrReaderTest, SplitsRunsAcrossCalls) {
  KbrWriter file;
  file.header({7, 0, 0}, {11, 0, 0}, AxisOrder::XYZ).define("minecraft:stone").run(2, 5);
  Drained out = drain(file, 2);
  ASSERT_FALSE(out.error) << *out.error;
  EXPECT_EQ(out.counts, (std::vector<size_t>{2, 2, 1}));
  EXPECT_EQ(positions(out.blocks), row_x(7, 5));

  // Definitions and zero-length runs between runs; max 3 cuts each run differently.
  KbrWriter mixed;
  mixed.header(kOrigin, {9, 0, 0}, AxisOrder::XYZ)
      .define("minecraft:stone")
      .run(2, 4)
      .run(2, 0)
      .define("minecraft:dirt")
      .run(4, 2)
      .single(2)
      .run(4, 3);
  Drained cut = drain(mixed, 3);
  ASSERT_FALSE(cut.error) << *cut.error;
  EXPECT_EQ(cut.counts, (std::vector<size_t>{3, 3, 3, 1}));
  EXPECT_EQ(positions(cut.blocks), row_x(0, 10));
  std::vector<std::string> names;
  for (const auto& block : cut.blocks) names.push_back(block.state->name());
  const std::string s = "minecraft:stone", d = "minecraft:dirt";
  EXPECT_EQ(names, (std::vector<std::string>{s, s, s, s, d, d, s, d, d, d}));
}

TEST(KbrReaderTest, AirGapsOfAnyLengthKeepTheWalk) {
  // Runs of stone (id 4) between runs of air (id 2) of lengths around the point where the reader
  // stops stepping over a gap and jumps it; the positions must be those of the plain walk.
  const std::vector<std::pair<int32_t, int32_t>> runs = {
      {4, 3}, {2, 1}, {4, 2}, {2, 40}, {4, 5}, {2, 32}, {4, 1}, {2, 33}, {4, 7}, {2, 100}, {4, 91}};
  const Boundary box{{-3, 2, 100}, 5, 7, 9};
  for (AxisOrder order : {AxisOrder::XYZ, AxisOrder::ZYX, AxisOrder::YXZ}) {
    for (size_t max : {size_t{1}, size_t{4}, size_t{1000}}) {
      SCOPED_TRACE(std::string(axis_order_name(order)) + ", max " + std::to_string(max));
      KbrWriter file;
      file.header({-3, 2, 100}, {1, 8, 108}, order)
          .define("minecraft:air")
          .define("minecraft:stone");
      std::vector<BlockPosition> expected;
      BoundaryIterator walk = box.walk(order);
      for (auto [id, length] : runs) {
        file.run(id, length);
        for (int32_t i = 0; i < length; ++i) {
          BlockPosition position = *walk.next();
          if (id == 4) expected.push_back(position);
        }
      }
      Drained out = drain(file, max);
      ASSERT_FALSE(out.error) << *out.error;
      EXPECT_EQ(positions(out.blocks), expected);
    }
  }
}

TEST(KbrReaderTest, AirTakesPositionsButIsNotHandedOut) {
  KbrWriter file;
  file.header(kOrigin, {4, 0, 0}, AxisOrder::XYZ)
      .define("minecraft:air")
      .define("minecraft:stone")
      .run(2, 2)
      .single(4);
  KBRSchematicInputStream stream(file.source());
  std::vector<Block> blocks;
  EXPECT_EQ(outcome(stream.read(blocks, 10)), "count 1");
  EXPECT_EQ(positions(blocks), (std::vector<BlockPosition>{{2, 0, 0}}));

  // Every air name, also one reached by a difference; a bulk of air only may return 0 blocks.
  KbrWriter airs;
  airs.header(kOrigin, {9, 0, 0}, AxisOrder::XYZ)
      .define("minecraft:cave_air")
      .define("minecraft:stone")
      .derive(4, "minecraft:void_air")
      .run(2, 3)
      .run(6, 3)
      .single(4);
  Drained out = drain(airs, 2);
  ASSERT_FALSE(out.error) << *out.error;
  EXPECT_EQ(positions(out.blocks), (std::vector<BlockPosition>{{6, 0, 0}}));
}

TEST(KbrReaderTest, DerivesEntriesFromEarlierOnes) {
  KbrWriter file;
  file.header(kOrigin, {3, 0, 0}, AxisOrder::XYZ)
      .define("minecraft:oak_stairs[facing=north,half=bottom]")
      .derive(2, "+half=top")
      .derive(4, "minecraft:spruce_stairs-facing")
      .define("minecraft:stone")
      .single(2)
      .single(4)
      .single(6)
      .single(8);
  Drained out = drain(file);
  ASSERT_FALSE(out.error) << *out.error;
  ASSERT_EQ(out.blocks.size(), 4u);
  EXPECT_EQ(*out.blocks[0].state,
            BlockState("minecraft:oak_stairs", {{"facing", "north"}, {"half", "bottom"}}));
  EXPECT_EQ(*out.blocks[1].state,
            BlockState("minecraft:oak_stairs", {{"facing", "north"}, {"half", "top"}}));
  EXPECT_EQ(*out.blocks[2].state, BlockState("minecraft:spruce_stairs", {{"half", "top"}}));
  EXPECT_EQ(*out.blocks[3].state, BlockState("minecraft:stone", {}));
}

TEST(KbrReaderTest, MaxZeroReadsNoBody) {
  KbrWriter file;
  file.header(kOrigin, {4, 0, 0}, AxisOrder::XYZ).single(6);
  KBRSchematicInputStream stream(file.source());
  std::vector<Block> blocks;
  EXPECT_EQ(outcome(stream.read(blocks, 0)), "count 0");
  EXPECT_EQ(stream.boundary().value_or(std::nullopt),
            std::optional<Boundary>(Boundary{kOrigin, 5, 1, 1}));
  auto next = stream.read(blocks, 1);
  ASSERT_FALSE(next.has_value());
  EXPECT_EQ(next.error().message, "KBR: Unknown Palette ID 6");
}

// A 5 x 1 x 1 box at the origin whose palette holds stone under id 2.
KbrWriter stone_box() {
  KbrWriter w;
  w.header(kOrigin, {4, 0, 0}, AxisOrder::XYZ).define("minecraft:stone");
  return w;
}

TEST(KbrReaderTest, ReportsEveryFault) {
  struct Case {
    std::string name;
    KbrWriter file;
    std::string message;
  };
  const std::string eof = "failed to fill whole buffer";
  const std::string magic = "KBR: Invalid magic number. Expected 0x4B5242464D54, got 0x";
  const std::vector<uint8_t> long_var_int = {0xFF, 0xFF, 0xFF, 0xFF, 0x8F, 0x00};
  const std::vector<Case> cases = {
      {"magic 1", KbrWriter().header_fields(1, 1, kOrigin, kOrigin, 0), magic + "1"},
      {"magic top bit", KbrWriter().var_long(INT64_MIN), magic + "8000000000000000"},
      {"version 2", KbrWriter().header_fields(kKbrMagic, 2, kOrigin, kOrigin, 0),
       "KBR: Unsupported version. Expected 1, got 2"},
      {"version -5", KbrWriter().header_fields(kKbrMagic, -5, kOrigin, kOrigin, 0),
       "KBR: Unsupported version. Expected 1, got -5"},
      {"axis order 6", KbrWriter().header_fields(kKbrMagic, 1, kOrigin, kOrigin, 6),
       "KBR: Invalid AxisOrder 6"},
      {"axis order 255", KbrWriter().header_fields(kKbrMagic, 1, kOrigin, kOrigin, 255),
       "KBR: Invalid AxisOrder 255"},
      {"long VarInt", KbrWriter().var_long(kKbrMagic).raw(long_var_int), "KBR: VarInt too big"},
      {"long VarLong", KbrWriter().raw(std::vector<uint8_t>(10, 0xFF)).raw({0}),
       "KBR: VarLong too big"},
      {"negative string length", stone_box().var_int(0).var_int(0).var_int(-1),
       "Negative string length"},
      {"invalid UTF-8", stone_box().define("minecraft:st\xffone"),
       "invalid utf-8 sequence of 1 bytes from index 12"},
      {"incomplete UTF-8", stone_box().derive(2, "+a=\xe2\x82"),
       "incomplete utf-8 byte sequence from index 3"},
      {"parse error", stone_box().define("minecraft:Stone[a=b]"),
       "KBR: Parse error: Malformed BlockState string: illegal character in path 'Stone'"},
      {"missing ref 8", stone_box().derive(8, "+a=b"), "KBR: Missing Ref ID 8"},
      {"missing ref 3", stone_box().derive(3, "+a=b"), "KBR: Missing Ref ID 3"},
      {"missing ref 0", stone_box().derive(0, ""), "KBR: Missing Ref ID 0"},
      {"diff error", stone_box().derive(2, "+id=minecraft/stone"),
       "KBR: Diff error: Malformed difference string: illegal character in '+id=minecraft/stone'"},
      {"unknown id 6", stone_box().define("minecraft:dirt").single(6), "KBR: Unknown Palette ID 6"},
      {"unknown id 6 after a length", stone_box().define("minecraft:dirt").run(6, 1),
       "KBR: Unknown Palette ID 6"},
      {"length read before the id", stone_box().var_int(7), eof},
      {"negative opcode", stone_box().single(-2), "KBR: Unknown Palette ID -2"},
      {"negative odd opcode", stone_box().run(-4, 1), "KBR: Unknown Palette ID -4"},
      {"run past the box", stone_box().run(2, 6), "KBR: Iterator exhausted"},
      {"later run past the box", stone_box().run(2, 3).single(2).run(2, 2),
       "KBR: Iterator exhausted"},
      {"air past the box", stone_box().define("minecraft:air").run(4, 6),
       "KBR: Iterator exhausted"},
      {"run in an empty box",
       KbrWriter().header(kOrigin, {-1, 0, 0}, AxisOrder::XYZ).define("a").single(2),
       "KBR: Iterator exhausted"},
      // Only a missing opcode ends the body; a broken one is an error.
      {"opcode cut", stone_box().run(2, 1).raw({0x83}), eof},
      {"opcode too long", stone_box().raw(long_var_int), "KBR: VarInt too big"},
      {"negative run length", stone_box().run(2, -1), "KBR: Negative run length -1"},
      {"negative run length after blocks", stone_box().run(2, 2).run(2, INT32_MIN),
       "KBR: Negative run length -2147483648"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Drained out = drain(c.file);
    ASSERT_TRUE(out.error.has_value());
    EXPECT_EQ(*out.error, c.message);
    EXPECT_TRUE(out.counts.empty());
  }
}

TEST(KbrReaderTest, VarIntsCarryThirtyTwoBits) {
  struct Case {
    std::vector<uint8_t> bytes;
    int32_t value;
  };
  // Each VarInt is written as the maximum x of a box at the origin.
  const std::vector<Case> cases = {
      {{0xFF, 0xFF, 0xFF, 0xFF, 0x0F}, -1},
      {{0xFF, 0xFF, 0xFF, 0xFF, 0x7F}, -1},  // bits 4 to 6 of the fifth byte are ignored
      {{0x80, 0x80, 0x80, 0x80, 0x08}, INT32_MIN},
      {{0xFF, 0xFF, 0xFF, 0xFF, 0x07}, INT32_MAX},
      {{0x80, 0x01}, 128},
      {{0x80, 0x80, 0x00}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    KbrWriter file;
    file.var_long(kKbrMagic).var_int(1).var_int(0).var_int(0).var_int(0).raw(c.bytes);
    file.var_int(0).var_int(0).raw({0});
    KBRSchematicInputStream stream(file.source());
    auto box = stream.boundary();
    ASSERT_TRUE(box.has_value()) << box.error().message;
    EXPECT_EQ((*box)->max().x, c.value);
  }
}

TEST(KbrReaderTest, PassesSourceErrorsOn) {
  KbrWriter file = stone_box().run(2, 5);
  // Wherever the source breaks, its own message comes back, also where the body could end.
  for (size_t cut = 0; cut <= file.bytes().size(); ++cut) {
    SCOPED_TRACE(cut);
    std::vector<uint8_t> prefix(file.bytes().begin(), file.bytes().begin() + cut);
    KBRSchematicInputStream stream(std::make_unique<FailingSource>(std::move(prefix)));
    Drained out = drain(stream, 1024);
    ASSERT_TRUE(out.error.has_value());
    EXPECT_EQ(*out.error, "disk on fire");
  }
}

TEST(KbrReaderTest, EveryTruncationEndsCleanlyOrFails) {
  // One instruction of each kind in a 3 x 2 x 2 box; `ends` holds the offset after each
  // complete instruction and the number of blocks the file holds up to there.
  KbrWriter valid;
  valid.header({-2, 3, 1}, {0, 4, 2}, AxisOrder::YZX);
  std::vector<std::pair<size_t, size_t>> ends = {{valid.bytes().size(), 0}};
  auto add = [&](std::function<void(KbrWriter&)> write, size_t blocks) {
    write(valid);
    ends.emplace_back(valid.bytes().size(), ends.back().second + blocks);
  };
  add([](KbrWriter& w) { w.define("minecraft:stone[a=b]"); }, 0);
  add([](KbrWriter& w) { w.define("minecraft:air"); }, 0);
  add([](KbrWriter& w) { w.derive(2, "minecraft:granite-a+b=c"); }, 0);
  add([](KbrWriter& w) { w.define("gr\u00e9s"); }, 0);
  add([](KbrWriter& w) { w.run(2, 3); }, 3);
  add([](KbrWriter& w) { w.single(4); }, 0);
  add([](KbrWriter& w) { w.run(4, 2); }, 0);
  add([](KbrWriter& w) { w.single(6); }, 1);
  add([](KbrWriter& w) { w.run(8, 5); }, 5);

  Drained full = drain(valid);
  ASSERT_FALSE(full.error) << *full.error;
  ASSERT_EQ(full.blocks.size(), 9u);

  for (size_t max : {size_t{1}, size_t{1024}}) {
    for (size_t cut = 0; cut <= valid.bytes().size(); ++cut) {
      SCOPED_TRACE("max " + std::to_string(max) + ", cut " + std::to_string(cut));
      KBRSchematicInputStream stream(valid.source(cut));
      Drained out = drain(stream, max);
      ASSERT_LE(out.blocks.size(), full.blocks.size());
      for (size_t i = 0; i < out.blocks.size(); ++i) {
        EXPECT_EQ(out.blocks[i].position, full.blocks[i].position);
        EXPECT_EQ(*out.blocks[i].state, *full.blocks[i].state);
      }
      auto end = std::find_if(ends.begin(), ends.end(), [&](auto& e) { return e.first == cut; });
      if (end != ends.end()) {
        EXPECT_FALSE(out.error) << *out.error;
        EXPECT_EQ(out.blocks.size(), end->second);
      } else {
        ASSERT_TRUE(out.error.has_value());
        EXPECT_EQ(*out.error, "failed to fill whole buffer");
      }
    }
  }
}

TEST(KbrReaderTest, DeclaredStringLengthIsNotTrusted) {
  KbrWriter file;
  file.header(kOrigin, kOrigin, AxisOrder::XYZ).var_int(0).var_int(0).var_int(INT32_MAX);
  file.raw({'m', 'i', 'n'});
  KBRSchematicInputStream stream(file.source());
  ASSERT_TRUE(stream.boundary().has_value());

  std::vector<Block> blocks;
  testing::allocation_probe::reset();
  auto result = stream.read(blocks, 1024);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().message, "failed to fill whole buffer");
  EXPECT_LT(testing::allocation_probe::largest.load(), size_t{1} << 20);
}

TEST(KbrHostileTest, PaletteMemoryIsBounded) {
  // One large state and blank differences that each copy it: a few bytes per copy.
  std::string big = "minecraft:big[";
  for (int i = 0; i < 10000; ++i) big += (i ? ",k" : "k") + std::to_string(i) + "=v";
  big += "]";
  const size_t copies_that_fit = kMaxPaletteBytes / (BlockState::from_string(big)->footprint());
  KbrWriter copies = stone_box();
  copies.define(big);
  for (size_t i = 0; i < copies_that_fit + 1; ++i) copies.derive(4, "");
  copies.single(2);
  Drained out = drain(copies);
  ASSERT_TRUE(out.error.has_value());
  EXPECT_EQ(*out.error, "KBR: Palette exceeds 67108864 bytes of block states");

  // An ordinary large palette is not affected: 100,000 entries, one block each.
  const int32_t entries = 100000;
  KbrWriter many;
  many.header(kOrigin, {entries - 1, 0, 0}, AxisOrder::XYZ);
  for (int32_t k = 0; k < entries; ++k) {
    many.define("minecraft:block_" + std::to_string(k) + "[facing=north,waterlogged=false]");
  }
  for (int32_t k = entries - 1; k >= 0; --k) many.single(2 * k + 2);
  Drained read = drain(many);
  ASSERT_FALSE(read.error) << *read.error;
  ASSERT_EQ(read.blocks.size(), size_t{entries});
  EXPECT_EQ(read.blocks[0].state->name(), "minecraft:block_99999");
  EXPECT_EQ(read.blocks[entries - 1].position, (BlockPosition{entries - 1, 0, 0}));
}

TEST(KbrHostileTest, OverlongStringsAreReadThroughAndRefused) {
  const std::string refused = "KBR: String length 1048577 exceeds maximum of 1048576";
  KbrWriter longest = stone_box();
  longest.define("minecraft:" + std::string(kKbrMaxStringLength - 10, 'a')).single(4);
  Drained out = drain(longest);
  ASSERT_FALSE(out.error) << *out.error;
  EXPECT_EQ(out.blocks.size(), 1u);

  KbrWriter too_long = stone_box();
  too_long.define(std::string(kKbrMaxStringLength + 1, ' ')).single(2);
  out = drain(too_long);
  ASSERT_TRUE(out.error.has_value());
  EXPECT_EQ(*out.error, refused);

  // The same file cut inside the string reads as cut short, whatever its declared length.
  KBRSchematicInputStream cut(too_long.source(too_long.bytes().size() - 10));
  out = drain(cut, 1024);
  ASSERT_TRUE(out.error.has_value());
  EXPECT_EQ(*out.error, "failed to fill whole buffer");
}

TEST(KbrHostileTest, LongAirRunsPassInOneStepWhateverTheBulk) {
  // A box of 2^31 - 1 positions: air up to the last one, which holds stone. Read one block per
  // call, the air run must not be walked in steps of the bulk size.
  KbrWriter file;
  file.header(kOrigin, {INT32_MAX - 1, 0, 0}, AxisOrder::XYZ)
      .define("minecraft:air")
      .define("minecraft:stone")
      .run(2, INT32_MAX - 1)
      .single(4);
  Drained out = drain(file, 1);
  ASSERT_FALSE(out.error) << *out.error;
  EXPECT_EQ(positions(out.blocks), (std::vector<BlockPosition>{{INT32_MAX - 1, 0, 0}}));
}

}  // namespace
}  // namespace kubrel
