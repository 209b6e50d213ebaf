#include "common/geometry.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace kubrel {
namespace {

std::vector<BlockPosition> walk_all(const Boundary& box, AxisOrder order) {
  std::vector<BlockPosition> out;
  BoundaryIterator it(box, order);
  while (auto p = it.next()) out.push_back(*p);
  return out;
}

TEST(GeometryTest, AxisOrdersAndCodes) {
  EXPECT_EQ(axis(AxisOrder::YZX), (std::array<int, 3>{1, 2, 0}));
  EXPECT_EQ(axis(AxisOrder::ZXY), (std::array<int, 3>{2, 0, 1}));
  EXPECT_EQ(axis_order_from_code(5), AxisOrder::ZYX);
  EXPECT_FALSE(axis_order_from_code(6).has_value());
  EXPECT_FALSE(axis_order_from_code(-1).has_value());
}

TEST(GeometryTest, DebugTextAndMax) {
  EXPECT_EQ((BlockPosition{1, -2, 3}).debug_string(), "BlockPosition { x: 1, y: -2, z: 3 }");
  Boundary box{{5, -3, 2}, 0, 0, 0};
  EXPECT_EQ(box.max(), (BlockPosition{4, -4, 1}));
}

TEST(GeometryTest, WalkXYZIsZFastest) {
  Boundary box{{10, 20, 30}, 2, 3, 4};
  auto all = walk_all(box, AxisOrder::XYZ);
  ASSERT_EQ(all.size(), 24u);
  EXPECT_EQ(all[0], (BlockPosition{10, 20, 30}));
  EXPECT_EQ(all[3], (BlockPosition{10, 20, 33}));
  EXPECT_EQ(all[4], (BlockPosition{10, 21, 30}));
  EXPECT_EQ(all.back(), (BlockPosition{11, 22, 33}));
}

TEST(GeometryTest, WalkYZXMatchesSpongeIndex) {
  Boundary box{{0, 0, 0}, 3, 2, 4};
  auto all = walk_all(box, AxisOrder::YZX);
  for (size_t k = 0; k < all.size(); ++k) {
    BlockPosition expected{static_cast<int32_t>(k % 3), static_cast<int32_t>(k / 12),
                           static_cast<int32_t>((k / 3) % 4)};
    EXPECT_EQ(all[k], expected) << k;
  }
}

TEST(GeometryTest, NthEdgesFinishTheWalk) {
  Boundary box{{0, 0, 0}, 2, 2, 2};
  {
    BoundaryIterator it(box, AxisOrder::XYZ);
    it.next();
    EXPECT_FALSE(it.nth(7).has_value());
    EXPECT_FALSE(it.next().has_value());
  }
  {
    BoundaryIterator it(box, AxisOrder::XYZ);
    it.next();
    EXPECT_EQ(it.nth(6), (BlockPosition{1, 1, 1}));
    EXPECT_FALSE(it.next().has_value());
  }
  {
    BoundaryIterator it(box, AxisOrder::XYZ);
    it.nth(5);
    EXPECT_EQ(it.next(), walk_all(box, AxisOrder::XYZ)[6]);
  }
}

TEST(GeometryTest, ZeroSizes) {
  Boundary line{{7, 8, 9}, 0, 1, 1};
  EXPECT_EQ(walk_all(line, AxisOrder::XYZ), (std::vector<BlockPosition>{{7, 8, 9}}));
  BoundaryIterator it(line, AxisOrder::XYZ);
  EXPECT_FALSE(it.nth(0).has_value());
  Boundary flat{{0, 5, 0}, 2, 0, 2};
  auto all = walk_all(flat, AxisOrder::XYZ);
  ASSERT_EQ(all.size(), 4u);
  for (const auto& p : all) EXPECT_EQ(p.y, 5);
}

TEST(GeometryTest, NthAgreesWithNextOnRandomBoxes) {
  std::mt19937 rng(1234);
  std::uniform_int_distribution<int> size(1, 6);
  std::uniform_int_distribution<int> coord(-50, 50);
  for (int round = 0; round < 200; ++round) {
    Boundary box{{coord(rng), coord(rng), coord(rng)},
                 static_cast<uint32_t>(size(rng)),
                 static_cast<uint32_t>(size(rng)),
                 static_cast<uint32_t>(size(rng))};
    auto order = static_cast<AxisOrder>(round % 6);
    auto all = walk_all(box, order);
    ASSERT_EQ(all.size(), *box.volume());
    std::uniform_int_distribution<size_t> skip(0, all.size() + 1);
    BoundaryIterator it(box, order);
    size_t index = 0;
    while (true) {
      size_t n = skip(rng) % 4;
      auto got = (round % 2) ? it.nth(n) : (n == 0 ? it.next() : it.nth(n));
      index += n;
      if (index >= all.size()) {
        EXPECT_FALSE(got.has_value());
        EXPECT_FALSE(it.next().has_value());
        break;
      }
      ASSERT_TRUE(got.has_value());
      EXPECT_EQ(*got, all[index]);
      ++index;
    }
  }
}

TEST(GeometryTest, HugeBoxesStayBounded) {
  Boundary huge{{0, 0, 0}, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu};
  BoundaryIterator it(huge, AxisOrder::XYZ);
  EXPECT_EQ(it.next(), (BlockPosition{0, 0, 0}));
  // Index 2^64 still lies inside a box of almost 2^96 positions: with s = 2^32 - 1 it is
  // 1 * s^2 + 2 * s + 1.
  EXPECT_EQ(it.nth(UINT64_MAX), (BlockPosition{1, 2, 1}));
  Boundary wrapped{{0, 0, 0}, 0x80000000u, 1, 1};
  BoundaryIterator w(wrapped, AxisOrder::XYZ);
  EXPECT_EQ(w.nth(0x7FFFFFFFu), (BlockPosition{INT32_MAX, 0, 0}));
  EXPECT_FALSE(w.next().has_value());
}

}  // namespace
}  // namespace kubrel
