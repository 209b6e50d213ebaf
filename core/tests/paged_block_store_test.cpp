// The paged block store: page edges, refused boundaries, palette sharing, page keys, growth of a
// resizable store and the common operations of the store interface.
#include "store/paged_block_store.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <random>
#include <tuple>

#include "support/allocation_probe.h"

namespace kubrel {
namespace {

BlockStateRef state(const std::string& name, std::vector<Property> properties = {}) {
  return make_state(BlockState(name, std::move(properties)));
}

Boundary box(int32_t x, int32_t y, int32_t z, uint32_t dx, uint32_t dy, uint32_t dz) {
  return Boundary{{x, y, z}, dx, dy, dz};
}

std::unique_ptr<PagedBlockStore> fixed_store(const Boundary& boundary) {
  auto store = PagedBlockStore::new_for_boundary(boundary);
  EXPECT_TRUE(store.has_value()) << store.error().message;
  return std::move(*store);
}

// The system makes only fixed stores; this one lets the growth rule be exercised.
class ResizableStore : public PagedBlockStore {
 public:
  static std::unique_ptr<ResizableStore> make(const Boundary& boundary) {
    auto shifts = page_shifts_for(boundary);
    EXPECT_TRUE(shifts.has_value());
    return std::unique_ptr<ResizableStore>(new ResizableStore(boundary, *shifts));
  }

 private:
  ResizableStore(const Boundary& boundary, const std::array<uint32_t, 3>& shifts)
      : PagedBlockStore(boundary, shifts, /*fixed=*/false) {}
};

std::optional<BlockStateRef> read(const BlockStore& store, const BlockPosition& position) {
  auto result = store.block_at(position);
  EXPECT_TRUE(result.has_value()) << result.error().message;
  return result ? *result : std::nullopt;
}

std::string error_of(const Status& status) {
  return status ? "" : status.error().message;
}

TEST(PagedBlockStoreTest, PageEdgesFollowBoundarySize) {
  struct Case {
    uint32_t size;
    uint64_t edge;
  };
  const Case cases[] = {{0, 8},      {1, 8},      {71, 8},     {72, 16},   {135, 16},
                        {136, 32},   {263, 32},   {264, 64},   {519, 64},  {520, 128},
                        {1024, 128}, {1031, 128}, {1032, 256}, {2055, 256}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    auto store = fixed_store(box(0, 0, 0, c.size, 1, 1));
    EXPECT_EQ(store->page_size(), (std::array<uint64_t, 3>{c.edge, 8, 8}));
  }
  auto store = fixed_store(box(0, 0, 0, 10, 300, 1024));
  EXPECT_EQ(store->page_size(), (std::array<uint64_t, 3>{8, 64, 128}));
  EXPECT_FALSE(store->resizable());
  EXPECT_EQ(store->page_count(), 0u);
}

TEST(PagedBlockStoreTest, RefusesBoundariesTooLargeToPage) {
  struct Case {
    Boundary boundary;
    std::string message;
  };
  const Case cases[] = {
      {box(0, 0, 0, 1u << 31, 1, 1),
       "Boundary too large for paged storage: size 2147483648 along x is 2^31 or more"},
      {box(0, 0, 0, 4, UINT32_MAX, 4),
       "Boundary too large for paged storage: size 4294967295 along y is 2^31 or more"},
      {box(0, 0, 0, 1, 1, static_cast<uint32_t>(-3)),
       "Boundary too large for paged storage: size 4294967293 along z is 2^31 or more"},
      {box(0, 0, 0, 32767, 32767, 32767),
       "Boundary too large for paged storage: pages of 4096 x 4096 x 4096 cells exceed 16777216 "
       "cells"},
      {box(0, 0, 0, INT32_MAX, INT32_MAX, INT32_MAX),
       "Boundary too large for paged storage: pages of 268435456 x 268435456 x 268435456 cells "
       "exceed 16777216 cells"},
      {box(0, 0, 0, 2056, 2055, 2055),
       "Boundary too large for paged storage: pages of 512 x 256 x 256 cells exceed 16777216 "
       "cells"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    auto store = PagedBlockStore::new_for_boundary(c.boundary);
    ASSERT_FALSE(store.has_value());
    EXPECT_EQ(store.error().message, c.message);
  }
}

TEST(PagedBlockStoreTest, LargestAcceptedBoundaryAllocatesOnlyWhatIsWritten) {
  auto store = fixed_store(box(0, 0, 0, 2055, 2055, 2055));
  EXPECT_EQ(store->page_size(), (std::array<uint64_t, 3>{256, 256, 256}));
  auto stone = state("minecraft:stone");
  size_t before = testing::allocation_probe::count.load();
  for (int32_t i = 0; i < 8; ++i) {
    ASSERT_TRUE(store->set_block_at({i * 256, i * 256, i * 256}, stone).has_value());
  }
  // One page table and one small chunk per touched page, not 16 MiB pages.
  EXPECT_EQ(store->page_count(), 8u);
  EXPECT_LT(testing::allocation_probe::count.load() - before, 8u * 6);
  EXPECT_EQ(read(*store, {7 * 256, 7 * 256, 7 * 256}), stone);
}

TEST(PagedBlockStoreTest, PaletteSharesEqualStates) {
  auto store = fixed_store(box(0, 0, 0, 16, 16, 16));
  auto stone = state("minecraft:stone");
  auto stairs = state("minecraft:stairs", {{"facing", "north"}, {"half", "top"}});
  auto stairs_swapped = state("minecraft:stairs", {{"half", "top"}, {"facing", "north"}});

  ASSERT_TRUE(store->set_block_at({0, 0, 0}, stone).has_value());
  ASSERT_TRUE(store->set_block_at({15, 15, 15}, stone).has_value());
  ASSERT_TRUE(store->set_block_at({1, 0, 0}, state("minecraft:stone")).has_value());
  EXPECT_EQ(store->palette().size(), 1u);
  EXPECT_EQ(read(*store, {1, 0, 0}), stone);  // the first handle is the one kept

  ASSERT_TRUE(store->set_block_at({2, 0, 0}, stairs).has_value());
  ASSERT_TRUE(store->set_block_at({3, 0, 0}, stairs_swapped).has_value());
  EXPECT_EQ(store->palette().size(), 3u);
  EXPECT_EQ(store->palette_id(*stairs_swapped), 2u);
  EXPECT_EQ(store->palette_id(BlockState("minecraft:dirt", {})), std::nullopt);
  EXPECT_EQ(**read(*store, {3, 0, 0}), *stairs_swapped);

  // Overwriting an occupied cell keeps the page's count and replaces the state.
  size_t count = store->page_at({3, 0, 0})->nnz();
  ASSERT_TRUE(store->set_block_at({3, 0, 0}, stone).has_value());
  EXPECT_EQ(store->page_at({3, 0, 0})->nnz(), count);
  EXPECT_EQ(read(*store, {3, 0, 0}), stone);
}

TEST(PagedBlockStoreTest, ReadsAndRemovalsAtEdges) {
  auto store = fixed_store(box(0, 0, 0, 20, 20, 20));
  auto stone = state("minecraft:stone");

  EXPECT_EQ(read(*store, {19, 19, 19}), std::nullopt);  // no page yet
  auto outside = store->block_at({20, 0, 0});
  ASSERT_FALSE(outside.has_value());
  EXPECT_EQ(outside.error().message, "Position out of bounds");
  EXPECT_EQ(error_of(store->remove_block_at({5, 5, 5})), "");  // no page yet

  ASSERT_TRUE(store->set_block_at({5, 5, 5}, stone).has_value());
  EXPECT_EQ(error_of(store->remove_block_at({6, 5, 5})), "No block to erase at given coordinates");
  EXPECT_EQ(error_of(store->remove_block_at({5, 5, 5})), "");
  EXPECT_EQ(read(*store, {5, 5, 5}), std::nullopt);
  EXPECT_EQ(error_of(store->remove_block_at({5, 5, 5})), "No block to erase at given coordinates");
  EXPECT_EQ(store->page_count(), 1u);  // emptied pages stay
  EXPECT_EQ(store->palette().size(), 1u);
}

TEST(PagedBlockStoreTest, FixedStoreRefusesWritesOutside) {
  const Boundary boundary = box(0, 0, 0, 10, 10, 10);
  const BlockPosition outside[] = {{10, 0, 0}, {0, 10, 0}, {0, 0, 10},
                                   {-1, 0, 0}, {0, 0, -1}, {INT32_MIN, INT32_MAX, 0}};
  for (const BlockPosition& p : outside) {
    SCOPED_TRACE(p.debug_string());
    auto store = fixed_store(boundary);
    EXPECT_EQ(error_of(store->set_block_at(p, state("minecraft:stone"))),
              "Position out of bounds and store is not resizable");
    EXPECT_EQ(error_of(store->remove_block_at(p)),
              "Position out of bounds and store is not resizable");
    EXPECT_TRUE(store->palette().empty());
    EXPECT_EQ(store->page_count(), 0u);
    EXPECT_EQ(store->boundary(), boundary);
  }
}

TEST(PagedBlockStoreTest, ResizableStoreGrowsUpTo1024) {
  auto store = ResizableStore::make(box(0, 0, 0, 10, 10, 10));
  ASSERT_TRUE(store->resizable());
  auto stone = state("minecraft:stone");

  ASSERT_TRUE(store->set_block_at({-5, 0, 0}, stone).has_value());
  EXPECT_EQ(store->boundary(), box(-5, 0, 0, 15, 10, 10));
  EXPECT_EQ(read(*store, {-5, 0, 0}), stone);

  EXPECT_EQ(error_of(store->set_block_at({1019, 0, 0}, stone)),
            "Cannot expand boundary beyond 1024 in any dimension");
  EXPECT_EQ(store->boundary(), box(-5, 0, 0, 15, 10, 10));
  EXPECT_EQ(store->palette().size(), 1u);

  ASSERT_TRUE(store->set_block_at({1018, 0, 0}, stone).has_value());  // exactly 1024 wide
  EXPECT_EQ(store->boundary(), box(-5, 0, 0, 1024, 10, 10));

  // Growth on two axes at once; removal outside grows the box as well.
  ASSERT_TRUE(store->remove_block_at({0, -3, 12}).has_value());
  EXPECT_EQ(store->boundary(), box(-5, -3, 0, 1024, 13, 13));
  EXPECT_EQ(read(*store, {1018, 0, 0}), stone);
  EXPECT_EQ(store->page_size(), (std::array<uint64_t, 3>{8, 8, 8}));  // edges are not recomputed
}

TEST(PagedBlockStoreTest, DistinctPagesNeverShareAKey) {
  struct Case {
    const char* name;
    Boundary boundary;
    BlockPosition a, b;
  };
  const Case cases[] = {
      // With 16-cell pages, packing the page indexes into 40/20/0-bit fields would merge these:
      // y's negative index overflows its field into x's.
      {"negative y beside x", box(-64, -64, -64, 128, 128, 128), {0, -1, 0}, {16, -1, 0}},
      {"negative z beside y", box(-64, -64, -64, 128, 128, 128), {0, 0, -1}, {0, 16, -1}},
      {"far apart", box(-1000000, -5, 0, 2000000, 10, 10), {-1000000, 0, 0}, {999999, 0, 0}},
      {"extreme corners",
       box(INT32_MIN, -64, INT32_MAX - 64, 64, 128, 64),
       {INT32_MIN, -64, INT32_MAX - 64},
       {INT32_MIN + 63, 63, INT32_MAX - 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto store = fixed_store(c.boundary);
    auto first = state("minecraft:first");
    auto second = state("minecraft:second");
    ASSERT_TRUE(store->set_block_at(c.a, first).has_value());
    ASSERT_TRUE(store->set_block_at(c.b, second).has_value());
    EXPECT_EQ(store->page_count(), 2u);
    EXPECT_NE(store->page_at(c.a), store->page_at(c.b));
    EXPECT_EQ(read(*store, c.a), first);
    EXPECT_EQ(read(*store, c.b), second);
  }
}

TEST(PagedBlockStoreTest, ShrunkBoundaryHidesBlocks) {
  auto store = fixed_store(box(0, 0, 0, 16, 16, 16));
  auto stone = state("minecraft:stone");
  ASSERT_TRUE(store->set_block_at({12, 0, 0}, stone).has_value());
  store->set_boundary(box(0, 0, 0, 8, 16, 16));
  EXPECT_FALSE(store->contains({12, 0, 0}));
  EXPECT_FALSE(store->block_at({12, 0, 0}).has_value());
  store->set_boundary(box(0, 0, 0, 16, 16, 16));
  EXPECT_EQ(read(*store, {12, 0, 0}), stone);
}

TEST(PagedBlockStoreTest, GrownBoundaryReachesPagesBeyondTheFirst) {
  auto store = fixed_store(box(0, 0, 0, 16, 16, 16));
  auto stone = state("minecraft:stone");
  auto dirt = state("minecraft:dirt");
  ASSERT_TRUE(store->set_block_at({3, 3, 3}, stone).has_value());
  store->set_boundary(box(-40, 0, 0, 100, 16, 16));
  ASSERT_TRUE(store->set_block_at({-33, 3, 3}, dirt).has_value());
  ASSERT_TRUE(store->set_block_at({50, 3, 3}, dirt).has_value());
  EXPECT_EQ(store->page_count(), 3u);
  EXPECT_EQ(read(*store, {3, 3, 3}), stone);
  EXPECT_EQ(read(*store, {-33, 3, 3}), dirt);
  EXPECT_EQ(read(*store, {50, 3, 3}), dirt);
  EXPECT_EQ(read(*store, {51, 3, 3}), std::nullopt);
}

TEST(PagedBlockStoreTest, IterateBlocksSkipsAirAndEmptyCells) {
  auto store = fixed_store(box(0, 0, 0, 2, 1, 2));
  auto stone = state("minecraft:stone");
  ASSERT_TRUE(store->set_block_at({0, 0, 0}, stone).has_value());
  ASSERT_TRUE(store->set_block_at({1, 0, 0}, state("minecraft:air")).has_value());
  ASSERT_TRUE(
      store->set_block_at({1, 0, 1}, state("minecraft:cave_air", {{"a", "b"}})).has_value());
  auto blocks = store->iterate_blocks(AxisOrder::XYZ);
  auto block = blocks->next();
  ASSERT_TRUE(block.has_value());
  EXPECT_EQ(block->position, (BlockPosition{0, 0, 0}));
  EXPECT_EQ(block->state, stone);
  EXPECT_FALSE(blocks->next().has_value());
  EXPECT_FALSE(blocks->next().has_value());
}

// A random fill over many pages against a plain map: reads, walk order and removal. Boxes whose
// coordinates cross zero are paged through the hash map alone; the others also through the
// direct page index.
class ModelTest : public ::testing::TestWithParam<Boundary> {};

INSTANTIATE_TEST_SUITE_P(PagedBlockStoreTest, ModelTest,
                         ::testing::Values(box(-20, 3, -7, 90, 17, 75), box(5, 3, 7, 90, 17, 75),
                                           box(INT32_MAX - 100, 0, 1 << 30, 90, 17, 75)));

TEST_P(ModelTest, MatchesAModelAcrossPages) {
  const Boundary boundary = GetParam();
  auto store = fixed_store(boundary);
  std::vector<BlockStateRef> states = {state("minecraft:air")};
  for (int i = 0; i < 300; ++i) states.push_back(state("minecraft:s" + std::to_string(i)));
  std::map<std::tuple<int32_t, int32_t, int32_t>, BlockStateRef> model;
  std::mt19937 rng(7);
  auto coord = [&](int a) {
    return boundary.min[a] + static_cast<int32_t>(rng() % boundary.size(a));
  };
  for (int i = 0; i < 20000; ++i) {
    BlockPosition p{coord(0), coord(1), coord(2)};
    if (rng() % 5 == 0) {
      auto key = std::make_tuple(p.x, p.y, p.z);
      Status removed = store->remove_block_at(p);
      EXPECT_EQ(removed.has_value(), model.erase(key) == 1 || store->page_at(p) == nullptr);
      continue;
    }
    const BlockStateRef& s = states[rng() % states.size()];
    ASSERT_TRUE(store->set_block_at(p, s).has_value());
    model[{p.x, p.y, p.z}] = s;
  }
  for (AxisOrder order : {AxisOrder::XYZ, AxisOrder::YZX, AxisOrder::ZYX}) {
    SCOPED_TRACE(std::string(axis_order_name(order)));
    BoundaryIterator walk = boundary.walk(order);
    auto blocks = store->iterate_blocks(order);
    size_t seen = 0;
    while (auto p = walk.next()) {
      auto it = model.find({p->x, p->y, p->z});
      std::optional<BlockStateRef> expected;
      if (it != model.end()) expected = it->second;
      ASSERT_EQ(read(*store, *p), expected);
      if (!expected || (*expected)->is_air()) continue;
      auto block = blocks->next();
      ASSERT_TRUE(block.has_value());
      EXPECT_EQ(block->position, *p);
      EXPECT_EQ(block->state, *expected);
      ++seen;
    }
    EXPECT_FALSE(blocks->next().has_value());
    EXPECT_GT(seen, 1000u);
  }
}

TEST(PagedBlockStoreTest, ReadsDoNotAllocate) {
  auto store = fixed_store(box(0, 0, 0, 100, 100, 100));
  for (int i = 0; i < 300; ++i) {
    ASSERT_TRUE(store->set_block_at({i % 100, i / 100, 0}, state("minecraft:s" + std::to_string(i)))
                    .has_value());
  }
  size_t before = testing::allocation_probe::count.load();
  size_t found = 0;
  BoundaryIterator walk = store->boundary().walk(AxisOrder::ZYX);
  while (auto p = walk.next()) {
    auto result = store->block_at(*p);
    if (result && *result) ++found;
  }
  EXPECT_EQ(testing::allocation_probe::count.load() - before, 0u);
  EXPECT_EQ(found, 300u);
}

TEST(PagedBlockStoreTest, InsertStopsAtFirstError) {
  auto store = fixed_store(box(0, 0, 0, 4, 4, 4));
  auto stone = state("minecraft:stone");
  std::vector<Block> blocks = {{{9, 9, 9}, stone},
                               {{0, 0, 0}, stone},
                               {{1, 0, 0}, stone},
                               {{4, 0, 0}, stone},
                               {{2, 0, 0}, stone}};
  EXPECT_EQ(error_of(store->insert(blocks, 1, 4)),
            "Position out of bounds and store is not resizable");
  EXPECT_EQ(read(*store, {0, 0, 0}), stone);
  EXPECT_EQ(read(*store, {1, 0, 0}), stone);
  EXPECT_EQ(read(*store, {2, 0, 0}), std::nullopt);  // after the failing block
  EXPECT_EQ(error_of(store->insert(blocks, 4, 1)), "");
  EXPECT_EQ(read(*store, {2, 0, 0}), stone);
  EXPECT_EQ(error_of(store->insert(blocks, 5, 0)), "");
  EXPECT_EQ(error_of(store->insert(blocks, 3, 3)), "Insert range exceeds the block list");
  EXPECT_EQ(error_of(store->insert(blocks, 6, 0)), "Insert range exceeds the block list");
  EXPECT_EQ(error_of(store->insert(blocks, 1, SIZE_MAX)), "Insert range exceeds the block list");
}

TEST(PagedBlockStoreTest, PaletteIdsByPosition) {
  auto store = fixed_store(box(0, 0, 0, 8, 8, 8));
  EXPECT_EQ(error_of(store->set_palette_id_at({0, 0, 0}, 0)), "Palette id out of range");
  EXPECT_EQ(error_of(store->set_palette_id_at({8, 0, 0}, 0)),
            "Position out of bounds and store is not resizable");
  auto stone = state("minecraft:stone");
  ASSERT_TRUE(store->set_block_at({0, 0, 0}, stone).has_value());
  ASSERT_TRUE(store->set_palette_id_at({7, 7, 7}, 0).has_value());
  EXPECT_EQ(read(*store, {7, 7, 7}), stone);
  EXPECT_EQ(store->palette_id_at({7, 7, 7}).value(), std::optional<size_t>(0));
  EXPECT_EQ(store->palette_id_at({1, 1, 1}).value(), std::optional<size_t>());
  EXPECT_EQ(store->palette_id_at({-1, 1, 1}).error().message, "Position out of bounds");
}

TEST(PagedBlockStoreTest, StoreIndexesAgreeWithPageOffsets) {
  auto store = fixed_store(box(-9, -9, -9, 100, 30, 300));
  const BlockPosition positions[] = {{-9, -9, -9}, {5, 6, 7}, {90, 20, 290}, {-1, 0, 31}};
  for (size_t i = 0; i < std::size(positions); ++i) {
    const BlockPosition& p = positions[i];
    SCOPED_TRACE(p.debug_string());
    ASSERT_TRUE(store->set_block_at(p, state("minecraft:s" + std::to_string(i))).has_value());
    auto edges = store->page_size();
    const ArrayPage* page = store->page_at(p);
    ASSERT_NE(page, nullptr);
    auto offset = [&](int a) { return static_cast<int32_t>(p[a] & (edges[a] - 1)); };
    EXPECT_EQ(page->load(offset(0), offset(1), offset(2)), i);
    EXPECT_EQ(page->nnz(), 1u);
  }
}

// Every stored cell of the boundary with its walk index, found by walking the whole box.
std::vector<std::tuple<uint64_t, BlockPosition, size_t>> cells_by_full_walk(
    const PagedBlockStore& store, uint64_t from) {
  std::vector<std::tuple<uint64_t, BlockPosition, size_t>> out;
  BoundaryIterator walk = store.boundary().walk(AxisOrder::XYZ);
  uint64_t index = 0;
  while (auto position = walk.next()) {
    auto id = store.palette_id_at(*position);
    if (index >= from && id.value_or(std::nullopt)) out.emplace_back(index, *position, **id);
    ++index;
  }
  return out;
}

// The stored cells the runs of a StoredCellWalk hold, taking `take` cells of each run at most and
// giving the rest back.
std::vector<std::tuple<uint64_t, BlockPosition, size_t>> cells_by_stored_walk(
    const PagedBlockStore& store, uint64_t from, uint64_t take = UINT64_MAX) {
  std::vector<std::tuple<uint64_t, BlockPosition, size_t>> out;
  StoredCellWalk walk = store.stored_cells(from);
  while (auto run = walk.next_run()) {
    EXPECT_GE(run->length, 1u);
    const uint64_t used = std::min(take, run->length);
    for (uint64_t i = 0; i < used; ++i) {
      uint64_t value = 0;
      std::memcpy(&value, run->cells + i * run->width, run->width);
      if (value == 0) continue;
      BlockPosition p = run->position;
      p.z += static_cast<int32_t>(i);
      out.emplace_back(run->walk_index + i, p, value - 1);
    }
    if (used < run->length) walk.give_back(used);
  }
  return out;
}

TEST(StoredCellWalkTest, MatchesTheFullWalkFromEveryStart) {
  std::mt19937 rng(7);
  // Boxes with negative corners, page edges from 8 to 64 and sizes that are not page multiples.
  const std::vector<Boundary> boxes = {box(0, 0, 0, 5, 3, 4),         box(-9, -20, 3, 17, 9, 30),
                                       box(100, -3, -70, 3, 90, 130), box(0, 0, 0, 200, 1, 20),
                                       box(-1, -1, -1, 2, 2, 2),      box(0, 0, 0, 1, 1, 600)};
  for (const Boundary& boundary : boxes) {
    SCOPED_TRACE(::testing::PrintToString(boundary.d_x) + "x" + std::to_string(boundary.d_y) + "x" +
                 std::to_string(boundary.d_z));
    auto store = *PagedBlockStore::new_for_boundary(boundary);
    const uint64_t volume = *boundary.volume();
    for (uint64_t i = 0; i < std::min<uint64_t>(volume / 3 + 1, 400); ++i) {
      BlockPosition p = {boundary.min.x + static_cast<int32_t>(rng() % boundary.d_x),
                         boundary.min.y + static_cast<int32_t>(rng() % boundary.d_y),
                         boundary.min.z + static_cast<int32_t>(rng() % boundary.d_z)};
      ASSERT_TRUE(store->set_block_at(p, state("minecraft:s" + std::to_string(rng() % 5))));
    }
    for (uint64_t from : {uint64_t{0}, uint64_t{1}, volume / 2, volume - 1, volume, volume + 9}) {
      SCOPED_TRACE("from " + std::to_string(from));
      EXPECT_EQ(cells_by_stored_walk(*store, from), cells_by_full_walk(*store, from));
      // Runs taken a cell or three at a time, the rest given back, come out the same.
      EXPECT_EQ(cells_by_stored_walk(*store, from, 1), cells_by_full_walk(*store, from));
      EXPECT_EQ(cells_by_stored_walk(*store, from, 3), cells_by_full_walk(*store, from));
    }
  }
}

TEST(StoredCellWalkTest, SparseLargeBoxesCostOnlyWhatIsStored) {
  // The largest boxes the store accepts: walking them whole visits billions of positions; the
  // stored cells come out in XYZ order all the same.
  const std::vector<Boundary> boxes = {box(0, 0, 0, 2047, 2047, 2047),
                                       box(0, 0, 0, 2097159, 71, 71)};
  for (const Boundary& boundary : boxes) {
    auto store = *PagedBlockStore::new_for_boundary(boundary);
    const BlockPosition last = boundary.max();
    const std::vector<BlockPosition> written = {{0, 0, 5}, {1, 0, 0}, {0, 70, 70}, last};
    for (const BlockPosition& p : written)
      ASSERT_TRUE(store->set_block_at(p, state("minecraft:a")));
    std::vector<BlockPosition> seen;
    for (const auto& [index, position, id] : cells_by_stored_walk(*store, 1)) {
      seen.push_back(position);
    }
    EXPECT_EQ(seen, (std::vector<BlockPosition>{{0, 0, 5}, {0, 70, 70}, {1, 0, 0}, last}));
    auto after_last = cells_by_stored_walk(*store, *boundary.volume() - 1);
    ASSERT_EQ(after_last.size(), 1u);
    EXPECT_EQ(std::get<0>(after_last[0]), *boundary.volume() - 1);
  }
}

}  // namespace
}  // namespace kubrel
