// The bulk operations shared by every reader, driven by scripted fake readers.
#include "formats/stream.h"

#include <gtest/gtest.h>

#include <deque>

#include "store/paged_block_store.h"

namespace kubrel {
namespace {

const Boundary kBox{{0, 0, 0}, 64, 64, 4};

// Hands out blocks at successive positions of kBox's XYZ walk.
class BlockSource {
 public:
  void append(std::vector<Block>& blocks, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      blocks.push_back({*walk_.next(), (produced_ % 2 == 0) ? stone_ : dirt_});
      ++produced_;
    }
  }
  size_t produced() const { return produced_; }

 private:
  BoundaryIterator walk_ = kBox.walk(AxisOrder::XYZ);
  size_t produced_ = 0;
  BlockStateRef stone_ = make_state(BlockState("minecraft:stone", {}));
  BlockStateRef dirt_ = make_state(BlockState("minecraft:dirt", {}));
};

// Each read follows the next step of a script: append a count of blocks, or fail (after
// appending junk the caller must discard); an exhausted script reports end-of-stream.
class ScriptedReader final : public SchematicInputStream {
 public:
  struct Step {
    size_t count = 0;
    std::optional<std::string> error;
    // The count reported, when it differs from the blocks appended (a faulty reader).
    std::optional<size_t> claimed;
  };
  static Step blocks(size_t n) { return {n, std::nullopt, std::nullopt}; }
  static Step failure(std::string message) { return {0, std::move(message), std::nullopt}; }
  static Step miscount(size_t n, size_t claimed) { return {n, std::nullopt, claimed}; }

  explicit ScriptedReader(std::deque<Step> script) : script_(std::move(script)) {}

  Result<ReadCount> read(std::vector<Block>& blocks, size_t max) override {
    maxes.push_back(max);
    if (script_.empty()) return ReadCount{};
    Step step = script_.front();
    script_.pop_front();
    if (step.error) {
      source_.append(blocks, 2);
      return fail(*step.error);
    }
    EXPECT_LE(step.count, max);
    source_.append(blocks, step.count);
    return ReadCount{step.claimed.value_or(step.count)};
  }
  Result<std::optional<Boundary>> boundary() override { return std::optional<Boundary>{kBox}; }

  std::vector<size_t> maxes;

 private:
  std::deque<Step> script_;
  BlockSource source_;
};

// A reader with `total` blocks that fills every bulk it can.
class PoolReader final : public SchematicInputStream {
 public:
  explicit PoolReader(size_t total) : total_(total) {}

  Result<ReadCount> read(std::vector<Block>& blocks, size_t max) override {
    size_t n = std::min(max, total_ - source_.produced());
    if (n == 0) {
      counts.push_back(std::nullopt);
      return ReadCount{};
    }
    source_.append(blocks, n);
    counts.push_back(n);
    return ReadCount{n};
  }
  Result<std::optional<Boundary>> boundary() override { return std::optional<Boundary>{}; }

  std::vector<ReadCount> counts;

 private:
  size_t total_;
  BlockSource source_;
};

std::unique_ptr<PagedBlockStore> store_for(const Boundary& boundary) {
  auto store = PagedBlockStore::new_for_boundary(boundary);
  EXPECT_TRUE(store.has_value());
  return std::move(*store);
}

size_t count_blocks(const BlockStore& store) {
  size_t n = 0;
  for (auto it = store.iterate_blocks(AxisOrder::XYZ); it->next();) ++n;
  return n;
}

// The blocks arrive in walk order with alternating states.
void expect_walk_order(const std::vector<Block>& blocks, size_t first_index) {
  BoundaryIterator walk = kBox.walk(AxisOrder::XYZ);
  if (first_index > 0) walk.nth(first_index - 1);
  for (size_t i = 0; i < blocks.size(); ++i) {
    ASSERT_EQ(blocks[i].position, *walk.next()) << i;
    ASSERT_EQ(blocks[i].state->name(),
              (first_index + i) % 2 == 0 ? "minecraft:stone" : "minecraft:dirt");
  }
}

using Step = ScriptedReader::Step;
constexpr auto blocks = ScriptedReader::blocks;
constexpr auto failure = ScriptedReader::failure;

TEST(StreamTest, EndOnFirstRead) {
  {
    ScriptedReader reader({});
    auto bulk = reader.read_next(1024);
    ASSERT_TRUE(bulk.has_value());
    EXPECT_FALSE(bulk->has_value());
    EXPECT_FALSE(reader.read_next(1024)->has_value());  // and again
  }
  {
    ScriptedReader reader({});
    auto all = reader.read_to_end_into_vec();
    ASSERT_TRUE(all.has_value());
    EXPECT_TRUE(all->empty());
  }
  {
    ScriptedReader reader({});
    auto store = store_for(kBox);
    EXPECT_TRUE(reader.read_to_end(*store).has_value());
    EXPECT_EQ(store->page_count(), 0u);
    EXPECT_TRUE(store->palette().empty());
    EXPECT_EQ(reader.maxes, std::vector<size_t>{kReadToEndBulk});
  }
}

TEST(StreamTest, CountZeroIsNotTheEnd) {
  const std::deque<Step> script = {blocks(0), blocks(3), blocks(0), blocks(0), blocks(2)};
  {
    ScriptedReader reader(script);
    std::vector<size_t> sizes;
    while (true) {
      auto bulk = reader.read_next(1024);
      ASSERT_TRUE(bulk.has_value());
      if (!bulk->has_value()) break;
      sizes.push_back((*bulk)->size());
    }
    EXPECT_EQ(sizes, (std::vector<size_t>{0, 3, 0, 0, 2}));
    EXPECT_EQ(reader.maxes, std::vector<size_t>(6, 1024));
  }
  {
    ScriptedReader reader(script);
    auto all = reader.read_to_end_into_vec();
    ASSERT_TRUE(all.has_value());
    EXPECT_EQ(all->size(), 5u);
    expect_walk_order(*all, 0);
  }
  {
    ScriptedReader reader(script);
    auto store = store_for(kBox);
    EXPECT_TRUE(reader.read_to_end(*store).has_value());
    EXPECT_EQ(count_blocks(*store), 5u);
  }
}

TEST(StreamTest, ErrorAfterThreeFullBulks) {
  const std::deque<Step> script = {blocks(4096), blocks(4096), blocks(4096),
                                   failure("reader failed"), blocks(5)};
  {
    ScriptedReader reader(script);
    auto store = store_for(kBox);
    Status status = reader.read_to_end(*store);
    ASSERT_FALSE(status.has_value());
    EXPECT_EQ(status.error().message, "reader failed");
    EXPECT_EQ(count_blocks(*store), 3u * 4096);  // the failing bulk's blocks are not stored
    EXPECT_EQ(reader.maxes, std::vector<size_t>(4, kReadToEndBulk));
  }
  {
    ScriptedReader reader(script);
    auto all = reader.read_to_end_into_vec();
    ASSERT_FALSE(all.has_value());
    EXPECT_EQ(all.error().message, "reader failed");
    // The stream stays usable from where it stands.
    auto next = reader.read_next(1024);
    ASSERT_TRUE(next.has_value() && next->has_value());
    EXPECT_EQ((*next)->size(), 5u);
  }
  {
    ScriptedReader reader({failure("reader failed")});
    auto bulk = reader.read_next(1024);
    ASSERT_FALSE(bulk.has_value());
    EXPECT_EQ(bulk.error().message, "reader failed");
  }
}

TEST(StreamTest, TenThousandBlocksArriveInFullBulks) {
  {
    PoolReader reader(10000);
    auto all = reader.read_to_end_into_vec();
    ASSERT_TRUE(all.has_value());
    EXPECT_EQ(reader.counts, (std::vector<ReadCount>{4096, 4096, 1808, std::nullopt}));
    ASSERT_EQ(all->size(), 10000u);
    expect_walk_order(*all, 0);
  }
  {
    // Each operation continues where the stream stands.
    PoolReader reader(10000);
    auto first = reader.read_next(1000);
    ASSERT_TRUE(first.has_value() && first->has_value());
    EXPECT_EQ((*first)->size(), 1000u);
    auto rest = reader.read_to_end_into_vec();
    ASSERT_TRUE(rest.has_value());
    EXPECT_EQ(reader.counts, (std::vector<ReadCount>{1000, 4096, 4096, 808, std::nullopt}));
    expect_walk_order(*rest, 1000);
  }
  {
    PoolReader reader(10000);
    auto store = store_for(kBox);
    ASSERT_TRUE(reader.read_to_end(*store).has_value());
    EXPECT_EQ(count_blocks(*store), 10000u);
    EXPECT_EQ(reader.counts, (std::vector<ReadCount>{4096, 4096, 1808, std::nullopt}));
  }
}

TEST(StreamTest, ReadNextReservesABoundedBulk) {
  ScriptedReader reader({blocks(1), blocks(1)});
  auto bulk = reader.read_next(1024);
  ASSERT_TRUE(bulk.has_value() && bulk->has_value());
  EXPECT_GE((*bulk)->capacity(), 1024u);
  auto huge = reader.read_next(SIZE_MAX);  // must not try to reserve SIZE_MAX blocks
  ASSERT_TRUE(huge.has_value() && huge->has_value());
  EXPECT_EQ((*huge)->size(), 1u);
  EXPECT_EQ(reader.maxes.back(), SIZE_MAX);
}

TEST(StreamTest, ReadToEndPassesStoreErrorsOn) {
  struct Case {
    const char* name;
    Boundary store_box;
    std::deque<Step> script;
    std::string message;
    size_t stored;
  };
  const Case cases[] = {
      {"block outside the store",
       {{0, 0, 0}, 1, 1, 3},
       {blocks(2), blocks(2), blocks(2)},
       "Position out of bounds and store is not resizable",
       3},
      {"reader claims more than it appended",
       kBox,
       {blocks(2), ScriptedReader::miscount(1, 5)},
       "Insert range exceeds the block list",
       2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedReader reader(c.script);
    auto store = store_for(c.store_box);
    Status status = reader.read_to_end(*store);
    ASSERT_FALSE(status.has_value());
    EXPECT_EQ(status.error().message, c.message);
    EXPECT_EQ(count_blocks(*store), c.stored);
  }
}

}  // namespace
}  // namespace kubrel
