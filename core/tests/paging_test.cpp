// Pages: the cell index of each order, occupancy counting, errors and cell widening.
#include "store/paging.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "support/allocation_probe.h"

namespace kubrel {
namespace {

constexpr std::array<uint32_t, 3> kEdges = {2, 4, 8};

TEST(PagingTest, CellIndexFollowsOrder) {
  struct Case {
    AxisOrder order;
    uint64_t index_of_1_2_3;
  };
  // Offsets (1, 2, 3) in a 2 x 4 x 8 page, the first axis of the order varying fastest.
  const Case cases[] = {
      {AxisOrder::XYZ, 1 + 2 * (2 + 4 * 3)}, {AxisOrder::XZY, 1 + 2 * (3 + 8 * 2)},
      {AxisOrder::YXZ, 2 + 4 * (1 + 2 * 3)}, {AxisOrder::YZX, 2 + 4 * (3 + 8 * 1)},
      {AxisOrder::ZXY, 3 + 8 * (1 + 2 * 2)}, {AxisOrder::ZYX, 3 + 8 * (2 + 4 * 1)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(axis_order_name(c.order)));
    ArrayPage page(kEdges, c.order);
    EXPECT_EQ(page.cell_index(1, 2, 3), c.index_of_1_2_3);
    EXPECT_EQ(page.cell_index(0, 0, 0), 0u);
    ASSERT_TRUE(page.store(1, 2, 3, 41).has_value());
    EXPECT_EQ(page.load(1, 2, 3), 41u);
    EXPECT_EQ(page.load_cell(c.index_of_1_2_3), 41u);
    EXPECT_EQ(page.nnz(), 1u);
  }
}

TEST(PagingTest, OnlyTheCombinedIndexIsChecked) {
  struct Case {
    int32_t x, y, z;
    bool valid;
  };
  const Case cases[] = {
      {2, 0, 0, true},    // spills into (0, 1, 0)
      {-1, 1, 0, true},   // index 1
      {-1, 0, 0, false},  // index -1
      {0, 0, 8, false},   // index 64 == cell count
      {1, 3, 7, true},    // the last cell
      {INT32_MAX, INT32_MAX, INT32_MAX, false},
      {INT32_MIN, 0, 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.x) + "," + std::to_string(c.y) + "," + std::to_string(c.z));
    ArrayPage page(kEdges);
    Status stored = page.store(c.x, c.y, c.z, 5);
    Status erased = page.erase(c.x, c.y, c.z);
    if (c.valid) {
      EXPECT_TRUE(stored.has_value());
      EXPECT_TRUE(erased.has_value());
    } else {
      std::string message = "Out of bounds: (" + std::to_string(c.x) + ", " + std::to_string(c.y) +
                            ", " + std::to_string(c.z) + ")";
      ASSERT_FALSE(stored.has_value());
      EXPECT_EQ(stored.error().message, message);
      ASSERT_FALSE(erased.has_value());
      EXPECT_EQ(erased.error().message, message);
      EXPECT_EQ(page.load(c.x, c.y, c.z), std::nullopt);
    }
    EXPECT_EQ(page.nnz(), 0u);
  }
  ArrayPage page(kEdges);
  ASSERT_TRUE(page.store(2, 0, 0, 9).has_value());
  EXPECT_EQ(page.load(0, 1, 0), 9u);
}

TEST(PagingTest, StoreReplaceAndErase) {
  ArrayPage page(kEdges);
  EXPECT_EQ(page.load(1, 1, 1), std::nullopt);
  Status empty = page.erase(1, 1, 1);
  ASSERT_FALSE(empty.has_value());
  EXPECT_EQ(empty.error().message, "No block to erase at given coordinates");

  ASSERT_TRUE(page.store(1, 1, 1, 0).has_value());
  EXPECT_EQ(page.load(1, 1, 1), 0u);  // id 0 is a block, not an empty cell
  ASSERT_TRUE(page.store(1, 1, 1, 3).has_value());
  EXPECT_EQ(page.nnz(), 1u);
  EXPECT_EQ(page.load(1, 1, 1), 3u);
  ASSERT_TRUE(page.store(0, 0, 0, 3).has_value());
  EXPECT_EQ(page.nnz(), 2u);

  ASSERT_TRUE(page.erase(1, 1, 1).has_value());
  EXPECT_EQ(page.nnz(), 1u);
  EXPECT_EQ(page.load(1, 1, 1), std::nullopt);
  Status again = page.erase(1, 1, 1);
  ASSERT_FALSE(again.has_value());
  EXPECT_EQ(again.error().message, "No block to erase at given coordinates");
  EXPECT_EQ(page.nnz(), 1u);

  Status huge = page.store(0, 0, 0, SIZE_MAX);
  ASSERT_FALSE(huge.has_value());
  EXPECT_EQ(huge.error().message, "Palette id too large");
  EXPECT_EQ(page.load(0, 0, 0), 3u);
}

TEST(PagingTest, WideningKeepsEveryCell) {
  // 16 x 16 x 128 cells span eight chunks; the last ones stay unallocated.
  ArrayPage page({16, 16, 128});
  std::vector<std::pair<uint64_t, size_t>> written;
  const size_t ids[] = {0, 254, 255, 65534, 65535, 70000, uint64_t{1} << 32};
  const unsigned widths[] = {1, 1, 2, 2, 4, 4, 8};
  for (size_t i = 0; i < std::size(ids); ++i) {
    SCOPED_TRACE(ids[i]);
    uint64_t index = i * 2500;
    page.store_cell(index, ids[i]);
    written.emplace_back(index, ids[i]);
    EXPECT_EQ(page.cell_width(), widths[i]);
    for (const auto& [at, id] : written) EXPECT_EQ(page.load_cell(at), id);
    EXPECT_EQ(page.load_cell(index + 1), std::nullopt);
  }
  EXPECT_EQ(page.nnz(), std::size(ids));
  EXPECT_EQ(page.load_cell(page.cell_count() - 1), std::nullopt);
}

TEST(PagingTest, DeepEqualsComparesLoads) {
  ArrayPage a(kEdges, AxisOrder::XYZ);
  ArrayPage b(kEdges, AxisOrder::ZYX);  // another layout, same content
  EXPECT_TRUE(a.deep_equals(b));
  ASSERT_TRUE(a.store(1, 3, 7, 2).has_value());
  EXPECT_FALSE(a.deep_equals(b));  // counts differ
  ASSERT_TRUE(b.store(1, 3, 7, 2).has_value());
  EXPECT_TRUE(a.deep_equals(b));
  EXPECT_TRUE(b.deep_equals(a));
  ASSERT_TRUE(b.store(1, 3, 7, 4).has_value());
  EXPECT_FALSE(a.deep_equals(b));  // same count, different id
  ASSERT_TRUE(b.store(1, 3, 7, 2).has_value());
  ASSERT_TRUE(a.store(0, 0, 0, 1).has_value());
  ASSERT_TRUE(b.store(1, 0, 0, 1).has_value());
  EXPECT_FALSE(a.deep_equals(b));  // same count, different cell
}

TEST(PagingTest, LoneCellsCostAPartEach) {
  // The largest page, with one cell written in each stretch of 4096 cells: what a file that
  // scatters a few bytes of blocks over a large box asks for.
  ArrayPage page({256, 256, 256});
  testing::allocation_probe::reset();
  for (uint64_t index = 0; index < page.cell_count(); index += 4096) page.store_cell(index, 1);
  const size_t lone_cells = page.cell_count() / 4096;
  EXPECT_EQ(page.nnz(), lone_cells);
  EXPECT_LT(testing::allocation_probe::bytes.load(), lone_cells * 512);
  // The search for stored cells passes over everything between them.
  std::vector<uint64_t> found;
  for (auto cell = page.next_stored_cell(0); cell; cell = page.next_stored_cell(*cell + 1)) {
    found.push_back(*cell);
  }
  ASSERT_EQ(found.size(), lone_cells);
  EXPECT_EQ(found.back(), page.cell_count() - 4096);
}

}  // namespace
}  // namespace kubrel
