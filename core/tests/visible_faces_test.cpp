// The visible-face pass over small grids whose faces are counted by hand: solid and hollow
// cubes, see-through and partial blocks beside opaque ones, the grid's edges, and grids that do
// not match their size. Each row runs over 8-, 16- and 32-bit indices alike.
#include "mesh/visible_faces.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kubrel {
namespace {

// Palette: 0 air, 1 stone (opaque), 2 glass (see-through), 3 slab (partial), 4 water (another
// see-through kind); indices past the table are empty.
const std::vector<uint8_t> kLooks = {kLookEmpty, kLookOpaque, kLookSeeThrough, kLookPartial,
                                     kLookSeeThrough + 1};

struct FaceCase {
  std::string name;
  std::array<uint32_t, 3> size;  // x, y, z
  std::vector<uint8_t> grid;     // y, then z, then x
  size_t blocks;
  uint64_t faces;
  // The mask of the first block given, or -1 where the row checks counts only.
  int first_mask = -1;
  std::string error = {};
};

std::vector<uint8_t> filled(size_t count, uint8_t index) {
  return std::vector<uint8_t>(count, index);
}

std::vector<uint8_t> hollow_cube() {
  std::vector<uint8_t> grid = filled(27, 1);
  grid[13] = 0;
  return grid;
}

std::vector<uint8_t> glass_then_water() {
  std::vector<uint8_t> grid = filled(66, 2);
  grid[64] = grid[65] = 4;
  return grid;
}

std::vector<uint8_t> row_with_hole(size_t length, size_t hole) {
  std::vector<uint8_t> grid = filled(length, 1);
  grid[hole] = 0;
  return grid;
}

const FaceCase kCases[] = {
    {"solid 3x3x3 stone", {3, 3, 3}, filled(27, 1), 26, 54, kFaceWest | kFaceDown | kFaceNorth},
    {"hollow shell faces its hole", {3, 3, 3}, hollow_cube(), 26, 60},
    {"glass beside stone", {2, 1, 1}, {1, 2}, 2, 11, 0b111111},
    {"glass against glass hides both", {2, 1, 1}, {2, 2}, 2, 10, 0b111101},
    {"glass against water shows both", {2, 1, 1}, {2, 4}, 2, 12},
    {"slab beside stone", {2, 1, 1}, {3, 1}, 2, 11, 0b111101},
    {"slab against slab hides nothing", {2, 1, 1}, {3, 3}, 2, 12},
    {"column on the edges", {1, 3, 1}, {1, 1, 1}, 3, 14, 0b110111},
    {"air and unknown indices", {3, 1, 1}, {0, 9, 0}, 0, 0},
    {"stone under air", {1, 2, 1}, {1, 0}, 1, 6, 0b111111},
    {"empty grid", {0, 4, 4}, {}, 0, 0},
    {"row along z", {1, 1, 4}, filled(4, 1), 4, 18, 0b011111},
    // Longer than one sixteen-cell step, so the step's tail past the row's end is read.
    {"row of 20 along x", {20, 1, 1}, filled(20, 1), 20, 82, 0b111101},
    {"two rows of 17", {17, 1, 2}, filled(34, 1), 34, 4 * 17 + 2 * 17 + 4, 0b011101},
    // Across a 64-cell word: the run of glass ends against water, a kind of its own.
    {"glass run meets water past 64", {66, 1, 1}, glass_then_water(), 66, 268, 0b111101},
    {"water over glass", {1, 2, 1}, {2, 4}, 2, 12, 0b111111},
    {"hole at x 64 of a row of 130",
     {130, 1, 1},
     row_with_hole(130, 64),
     129,
     129 * 4 + 4,
     0b111101},
    {"grid shorter than its size", {2, 2, 2}, filled(7, 1), 0, 0, -1, "7 cells"},
    {"more cells than a view holds", {65536, 65536, 2}, {}, 0, 0, -1, "2^32"},
};

template <class T>
void check(const FaceCase& c) {
  const std::vector<T> grid(c.grid.begin(), c.grid.end());
  auto result = visible_faces<T>(grid, c.size, kLooks);
  if (!c.error.empty()) {
    ASSERT_FALSE(result.has_value());
    EXPECT_NE(result.error().message.find(c.error), std::string::npos) << result.error().message;
    return;
  }
  ASSERT_TRUE(result.has_value()) << result.error().message;
  const VisibleBlocks& out = *result;
  EXPECT_EQ(out.cells.size(), c.blocks);
  EXPECT_EQ(out.states.size(), c.blocks);
  EXPECT_EQ(out.masks.size(), c.blocks);
  EXPECT_EQ(out.faces, c.faces);
  uint64_t counted = 0;
  for (size_t i = 0; i < out.cells.size(); ++i) {
    EXPECT_EQ(out.states[i], c.grid[out.cells[i]]) << "block " << i;
    EXPECT_NE(out.masks[i], 0) << "block " << i;
    counted += static_cast<uint64_t>(__builtin_popcount(out.masks[i]));
  }
  EXPECT_EQ(counted, out.faces);
  if (c.first_mask >= 0 && !out.masks.empty()) {
    EXPECT_EQ(out.masks[0], c.first_mask);
  }
}

TEST(VisibleFacesTest, CountsAndMasksByHand) {
  for (const FaceCase& c : kCases) {
    SCOPED_TRACE(c.name);
    check<uint8_t>(c);
    check<uint16_t>(c);
    check<uint32_t>(c);
  }
}

}  // namespace
}  // namespace kubrel
