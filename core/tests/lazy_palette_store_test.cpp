// The lazy palette store: placeholders, resolution through the attached palette, and its errors.
#include "store/lazy_palette_store.h"

#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <random>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

namespace kubrel {
namespace {

BlockStateRef state(const std::string& name) {
  return make_state(BlockState(name, {}));
}

LazyPaletteBlockStoreWrapper wrapper(int32_t dx, int32_t dy, int32_t dz) {
  auto made = LazyPaletteBlockStoreWrapper::empty_fixed_from_size(dx, dy, dz);
  EXPECT_TRUE(made.has_value()) << made.error().message;
  return std::move(*made);
}

std::string error_at(const LazyPaletteBlockStoreWrapper& store, const BlockPosition& p) {
  auto result = store.block_at(p);
  return result ? "" : result.error().message;
}

TEST(LazyPaletteStoreTest, ResolvesThroughPalette) {
  auto stone = state("minecraft:stone");
  auto store = wrapper(4, 4, 4);
  ASSERT_TRUE(store.set_unknown_block_at(0, 0, 0, 7).has_value());
  store.set_actual_palette({{7, stone}});
  EXPECT_EQ(store.block_at({0, 0, 0}).value(), stone);
  EXPECT_EQ(store.block_at({1, 0, 0}).value(), std::nullopt);
  EXPECT_EQ(store.boundary(), (Boundary{{0, 0, 0}, 4, 4, 4}));
}

TEST(LazyPaletteStoreTest, ReadErrors) {
  struct Case {
    const char* name;
    bool attach_palette;
    BlockPosition position;
    std::string message;
  };
  const Case cases[] = {
      {"no palette, stored cell",
       false,
       {0, 0, 0},
       "Can not access blocks if palette is not provided"},
      {"no palette, empty cell",
       false,
       {1, 1, 1},
       "Can not access blocks if palette is not provided"},
      {"no palette, outside", false, {9, 0, 0}, "Can not access blocks if palette is not provided"},
      {"palette lacks id", true, {0, 0, 0}, "Temporary ID not found in actual palette"},
      {"outside", true, {4, 0, 0}, "Position out of bounds"},
      {"negative", true, {0, -1, 0}, "Position out of bounds"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto store = wrapper(4, 4, 4);
    ASSERT_TRUE(store.set_unknown_block_at(0, 0, 0, 7).has_value());
    if (c.attach_palette) store.set_actual_palette({{8, state("minecraft:stone")}});
    EXPECT_EQ(error_at(store, c.position), c.message);
  }
}

TEST(LazyPaletteStoreTest, WritesOutsideTheBoxFail) {
  const BlockPosition outside[] = {{4, 0, 0}, {0, 4, 0}, {0, 0, 4}, {-1, 0, 0}};
  for (const BlockPosition& p : outside) {
    SCOPED_TRACE(p.debug_string());
    auto store = wrapper(4, 4, 4);
    Status status = store.set_unknown_block(p, 1);
    ASSERT_FALSE(status.has_value());
    EXPECT_EQ(status.error().message, "Position out of bounds and store is not resizable");
    EXPECT_TRUE(store.inner().palette().empty());
    // The id still works once a position inside is used.
    ASSERT_TRUE(store.set_unknown_block_at(3, 3, 3, 1).has_value());
    EXPECT_EQ(store.inner().palette().size(), 1u);
  }
}

TEST(LazyPaletteStoreTest, PlaceholdersCarryTheTemporaryId) {
  const int64_t ids[] = {0, 7, -1, -3, 65535, 65536, INT64_MAX, INT64_MIN};
  auto store = wrapper(16, 1, 1);
  for (size_t i = 0; i < std::size(ids); ++i) {
    ASSERT_TRUE(store.set_unknown_block_at(static_cast<int32_t>(i), 0, 0, ids[i]).has_value());
  }
  std::unordered_map<int64_t, BlockStateRef> palette;
  for (size_t i = 0; i < std::size(ids); ++i) {
    SCOPED_TRACE(ids[i]);
    const BlockStateRef& placeholder = store.inner().palette()[i];
    EXPECT_EQ(*placeholder, BlockState("unknown", {{"id", std::to_string(ids[i])}}));
    palette[ids[i]] = state("minecraft:s" + std::to_string(i));
  }
  EXPECT_EQ(store.inner().palette()[2]->properties()[0].second, "-1");
  store.set_actual_palette(palette);
  for (size_t i = 0; i < std::size(ids); ++i) {
    SCOPED_TRACE(ids[i]);
    EXPECT_EQ(store.block_at({static_cast<int32_t>(i), 0, 0}).value(), palette[ids[i]]);
  }
}

TEST(LazyPaletteStoreTest, OnePlaceholderPerTemporaryId) {
  auto store = wrapper(10, 10, 10);
  for (int32_t i = 0; i < 1000; ++i) {
    ASSERT_TRUE(store.set_unknown_block_at(i % 10, (i / 10) % 10, i / 100, 3).has_value());
  }
  ASSERT_EQ(store.inner().palette().size(), 1u);
  ASSERT_TRUE(store.set_unknown_block_at(0, 0, 0, 100000).has_value());
  ASSERT_TRUE(store.set_unknown_block_at(1, 0, 0, 100000).has_value());
  EXPECT_EQ(store.inner().palette().size(), 2u);
  auto stone = state("minecraft:stone");
  store.set_actual_palette({{3, stone}, {100000, state("minecraft:dirt")}});
  EXPECT_EQ(store.block_at({9, 9, 9}).value(), stone);
  EXPECT_EQ((*store.block_at({1, 0, 0}).value())->name(), "minecraft:dirt");
}

TEST(LazyPaletteStoreTest, LaterPaletteReplacesEarlier) {
  auto stone = state("minecraft:stone");
  auto dirt = state("minecraft:dirt");
  auto store = wrapper(4, 4, 4);
  store.set_actual_palette({{1, stone}});  // before any block
  ASSERT_TRUE(store.set_unknown_block_at(0, 0, 0, 1).has_value());
  ASSERT_TRUE(store.set_unknown_block_at(1, 0, 0, 2).has_value());
  EXPECT_EQ(store.block_at({0, 0, 0}).value(), stone);
  EXPECT_EQ(error_at(store, {1, 0, 0}), "Temporary ID not found in actual palette");

  store.set_actual_palette({{2, dirt}});
  EXPECT_EQ(error_at(store, {0, 0, 0}), "Temporary ID not found in actual palette");
  EXPECT_EQ(store.block_at({1, 0, 0}).value(), dirt);

  store.set_actual_palette({{1, dirt}, {2, stone}, {3, nullptr}});
  EXPECT_EQ(store.block_at({0, 0, 0}).value(), dirt);
  EXPECT_EQ(store.block_at({1, 0, 0}).value(), stone);
  ASSERT_TRUE(store.set_unknown_block_at(2, 0, 0, 3).has_value());
  EXPECT_EQ(error_at(store, {2, 0, 0}), "Temporary ID not found in actual palette");
}

TEST(LazyPaletteStoreTest, RefusesSizesTooLargeToPage) {
  const int32_t sizes[][3] = {{-1, 1, 1}, {1, INT32_MIN, 1}, {32767, 32767, 32767}};
  for (const auto& s : sizes) {
    SCOPED_TRACE(std::to_string(s[0]) + "," + std::to_string(s[1]) + "," + std::to_string(s[2]));
    auto made = LazyPaletteBlockStoreWrapper::empty_fixed_from_size(s[0], s[1], s[2]);
    ASSERT_FALSE(made.has_value());
    EXPECT_TRUE(made.error().message.starts_with("Boundary too large for paged storage: "))
        << made.error().message;
  }
  auto empty = wrapper(0, 0, 0);
  EXPECT_EQ(empty.set_unknown_block_at(0, 0, 0, 1).error().message,
            "Position out of bounds and store is not resizable");
}

// A random fill in walk order, read back through a positional walk and through iter.
TEST(LazyPaletteStoreTest, MatchesAModel) {
  auto store = wrapper(33, 9, 40);
  std::vector<int64_t> expected;
  std::mt19937 rng(3);
  BoundaryIterator fill = store.boundary().walk(AxisOrder::YZX);
  while (auto p = fill.next()) {
    int64_t id = static_cast<int64_t>(rng() % 400) - 50;  // -1 marks a cell left empty
    expected.push_back(id);
    if (id != -1) {
      ASSERT_TRUE(store.set_unknown_block(*p, id).has_value());
    }
  }
  std::unordered_map<int64_t, BlockStateRef> palette;
  for (int64_t id = -50; id < 350; ++id) {
    if (id != -1 && id != 17) palette[id] = state("minecraft:s" + std::to_string(id));
  }
  store.set_actual_palette(palette);
  auto positions = store.iter(AxisOrder::YZX);
  for (int64_t id : expected) {
    auto p = positions->next();
    ASSERT_TRUE(p.has_value());
    auto result = store.block_at(*p);
    if (id == -1) {
      EXPECT_EQ(result.value(), std::nullopt);
    } else if (id == 17) {
      EXPECT_EQ(result.error().message, "Temporary ID not found in actual palette");
    } else {
      EXPECT_EQ(result.value(), palette[id]);
    }
  }
  EXPECT_FALSE(positions->next().has_value());
}

TEST(LazyPaletteStoreTest, DistinctTemporaryIdsAreBounded) {
  // Ids on both sides of the dense table and negative ones count alike.
  auto store = wrapper(64, 64, 65);
  int32_t cell = 0;
  auto place = [&](int64_t id) {
    const int32_t n = cell++;
    return store.set_unknown_block_at(n % 64, n / 64 % 64, n / 4096, id);
  };
  for (int64_t i = 0; i < static_cast<int64_t>(kMaxTemporaryIds); ++i) {
    ASSERT_TRUE(place(i % 3 == 0 ? i : (i % 3 == 1 ? -i : i * 1000)));
  }
  auto refused = place(int64_t{1} << 40);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().message, "Too many distinct temporary ids (more than 262144)");
  // Ids already known are still taken.
  EXPECT_TRUE(place(3));
  EXPECT_TRUE(place(-4));
}

// The bulk paths against the single-block ones: ids placed along a walk in pieces of any size and
// offset, then read back in bulks of any size along XYZ. The ids mix narrow and wide cells, ids
// first seen in the middle of a piece, negative and sparse ids, air and ids the palette lacks, a
// palette attached before the ids as well as after, and ids repeated in stretches of `run` cells.
struct BulkCase {
  const char* name;
  std::array<int32_t, 3> size;
  AxisOrder order;
  size_t piece;
  size_t bulk;
  int distinct;
  bool palette_first = false;
  size_t run = 1;
};

class BulkTest : public ::testing::TestWithParam<BulkCase> {};

INSTANTIATE_TEST_SUITE_P(
    LazyPaletteStoreTest, BulkTest,
    ::testing::Values(BulkCase{"aligned rows", {16, 8, 16}, AxisOrder::YZX, 64, 1024, 40},
                      BulkCase{"odd sizes", {13, 7, 21}, AxisOrder::YZX, 100, 7, 300},
                      BulkCase{"pieces of one", {9, 9, 9}, AxisOrder::YZX, 1, 1, 20},
                      BulkCase{"rows across pages", {70, 3, 90}, AxisOrder::YZX, 4096, 333, 600},
                      BulkCase{"other orders", {17, 11, 5}, AxisOrder::ZXY, 50, 64, 70},
                      BulkCase{"z innermost", {5, 11, 40}, AxisOrder::XYZ, 4096, 1000, 70},
                      BulkCase{"palette first", {13, 7, 21}, AxisOrder::YZX, 100, 7, 300, true},
                      BulkCase{"stretches", {3, 5, 200}, AxisOrder::XYZ, 4096, 9, 8, false, 9}),
    [](const auto& info) {
      std::string name = info.param.name;
      for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
      return name;
    });

TEST_P(BulkTest, MatchesSingleBlockPaths) {
  const BulkCase& c = GetParam();
  auto bulk = wrapper(c.size[0], c.size[1], c.size[2]);
  auto single = wrapper(c.size[0], c.size[1], c.size[2]);
  Boundary box = bulk.boundary();
  uint64_t volume = *box.volume();
  std::mt19937 rng(11);
  std::vector<int32_t> ids(volume);
  for (size_t k = 0; k < ids.size(); ++k) {
    uint32_t r = rng();
    ids[k] = k % c.run != 0 ? ids[k - 1]
             : r % 9 == 0   ? -static_cast<int32_t>(r % 5) - 1
                            : (r % 13 == 0 ? 70000 + static_cast<int32_t>(r % 3)
                                           : static_cast<int32_t>(r % c.distinct));
  }
  // Id 3 is air; in the second pass id 5 is missing and the read stops at its first position.
  auto attach_palette = [&](bool lacks_id) {
    std::unordered_map<int64_t, BlockStateRef> palette;
    for (int id = -5; id < c.distinct; ++id) {
      if (!(lacks_id && id == 5))
        palette[id] = state(id == 3 ? "minecraft:air" : "minecraft:s" + std::to_string(id));
    }
    for (int id = 70000; id < 70003; ++id) palette[id] = state("minecraft:far");
    single.set_actual_palette(palette);
    bulk.set_actual_palette(palette);
  };
  if (c.palette_first) attach_palette(false);
  BoundaryIterator walk = box.walk(c.order);
  for (int32_t id : ids) ASSERT_TRUE(single.set_unknown_block(*walk.next(), id).has_value());
  for (size_t start = 0; start < ids.size(); start += c.piece) {
    size_t n = std::min(c.piece, ids.size() - start);
    ASSERT_TRUE(bulk.set_unknown_blocks_along(c.order, start, std::span(ids).subspan(start, n))
                    .has_value());
  }
  for (bool lacks_id : {false, true}) {
    SCOPED_TRACE(lacks_id ? "palette lacks id 5" : "complete palette");
    if (lacks_id || !c.palette_first) attach_palette(lacks_id);
    EXPECT_EQ(bulk.inner().palette().size(), single.inner().palette().size());

    std::vector<Block> expected;
    std::string expected_error;
    uint64_t failing_index = volume;
    BoundaryIterator xyz = box.walk(AxisOrder::XYZ);
    for (uint64_t i = 0; i < volume; ++i) {
      BlockPosition p = *xyz.next();
      auto got = single.block_at(p);
      if (!got) {
        expected_error = got.error().message;
        failing_index = i;
        break;
      }
      if (*got && !(**got)->is_air()) expected.push_back({p, **got});
    }
    EXPECT_EQ(expected_error.empty(), !lacks_id);
    std::vector<Block> blocks;
    uint64_t index = 0;
    std::string error;
    while (index < volume) {
      size_t before = blocks.size();
      Status status = bulk.append_blocks(index, blocks, c.bulk);
      if (!status) {
        error = status.error().message;
        break;
      }
      ASSERT_TRUE(blocks.size() - before == c.bulk || index == volume);
    }
    EXPECT_EQ(error, expected_error);
    EXPECT_EQ(index, failing_index);
    ASSERT_EQ(blocks.size(), expected.size());
    for (size_t i = 0; i < blocks.size(); ++i) {
      EXPECT_EQ(blocks[i].position, expected[i].position);
      EXPECT_EQ(blocks[i].state, expected[i].state);
    }
  }
}

}  // namespace
}  // namespace kubrel
