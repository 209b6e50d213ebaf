#include "stream/any_reader.h"

#include <gtest/gtest.h>

#include <string>

namespace kubrel {
namespace {

const BlockStateRef kStone = make_state(BlockState("minecraft:stone", {}));

// Accepts an input whose first byte is `Letter`; every later byte b becomes a block at (b, 0, 0).
template <char Letter>
class LetterReader final : public SchematicInputStream {
 public:
  explicit LetterReader(std::unique_ptr<ByteSource> source) : source_(std::move(source)) {}

  Result<ReadCount> read(std::vector<Block>& blocks, size_t max) override {
    KUBREL_TRY(check_header());
    size_t appended = 0;
    while (appended < max) {
      uint8_t byte = 0;
      KUBREL_ASSIGN_OR_RETURN(size_t got, source_->read(&byte, 1));
      if (got == 0) break;
      blocks.push_back(Block{{byte, 0, 0}, kStone});
      ++appended;
    }
    if (appended == 0) return ReadCount{};
    return ReadCount{appended};
  }

  Result<std::optional<Boundary>> boundary() override {
    KUBREL_TRY(check_header());
    return std::optional<Boundary>{Boundary{{Letter, 0, 0}, 1, 1, 1}};
  }

 private:
  Status check_header() {
    if (header_ok_) return {};
    uint8_t byte = 0;
    KUBREL_TRY(read_exact(*source_, &byte, 1));
    if (byte != static_cast<uint8_t>(Letter)) return fail(std::string("not ") + Letter);
    header_ok_ = true;
    return {};
  }

  std::unique_ptr<ByteSource> source_;
  bool header_ok_ = false;
};

// Returns the count 0 `Stalls` times, then fails; knows no boundary.
template <int Stalls>
class StallThenFail final : public SchematicInputStream {
 public:
  explicit StallThenFail(std::unique_ptr<ByteSource> source) : source_(std::move(source)) {}
  Result<ReadCount> read(std::vector<Block>&, size_t) override {
    if (calls_++ < Stalls) return ReadCount{0};
    return fail("gave up");
  }
  Result<std::optional<Boundary>> boundary() override { return std::optional<Boundary>{}; }

 private:
  std::unique_ptr<ByteSource> source_;
  int calls_ = 0;
};

template <class Reader>
std::unique_ptr<SchematicInputStream> make(std::unique_ptr<ByteSource> fork) {
  return std::make_unique<Reader>(std::move(fork));
}

const std::vector<AnySchematicInputStream::Factory> kLetters = {
    &make<LetterReader<'S'>>, &make<LetterReader<'M'>>, &make<LetterReader<'K'>>};

std::unique_ptr<AnySchematicInputStream> detecting(std::string bytes,
                                                   const std::vector<AnySchematicInputStream::Factory>& factories) {
  std::vector<uint8_t> data(bytes.begin(), bytes.end());
  return AnySchematicInputStream::new_from_factories(std::make_unique<MemorySource>(std::move(data)),
                                                     factories);
}

std::string letter_input(char letter, int blocks) {
  std::string s(1, letter);
  for (int i = 1; i <= blocks; ++i) s.push_back(static_cast<char>(i));
  return s;
}

std::vector<size_t> bulk_sizes(AnySchematicInputStream& stream, size_t max, std::vector<int>* xs) {
  std::vector<size_t> sizes;
  for (int guard = 0; guard < 100; ++guard) {
    std::vector<Block> bulk;
    auto outcome = stream.read(bulk, max);
    EXPECT_TRUE(outcome.has_value()) << outcome.error().message;
    if (!outcome || !*outcome) break;
    EXPECT_EQ(bulk.size(), **outcome);
    sizes.push_back(**outcome);
    for (const auto& block : bulk) xs->push_back(block.position.x);
  }
  return sizes;
}

TEST(AnyReaderTest, WinnerDecidedInFirstPassHandsOutAtOnce) {
  auto stream = detecting(letter_input('K', 25), kLetters);
  std::vector<int> xs;
  EXPECT_EQ(bulk_sizes(*stream, 10, &xs), (std::vector<size_t>{10, 10, 5}));
  ASSERT_EQ(xs.size(), 25u);
  for (int i = 0; i < 25; ++i) EXPECT_EQ(xs[i], i + 1);
  EXPECT_EQ(stream->candidate_count(), 1u);
}

TEST(AnyReaderTest, PendingBlocksAreHandedOutBeforeTheWinnerIsAskedAgain) {
  auto stream = detecting(letter_input('K', 25), {&make<LetterReader<'K'>>, &make<StallThenFail<2>>});
  std::vector<size_t> counts;
  std::vector<int> xs;
  for (int i = 0; i < 2; ++i) {
    std::vector<Block> bulk;
    auto outcome = stream->read(bulk, 10);
    ASSERT_TRUE(outcome && *outcome);
    EXPECT_EQ(**outcome, 0u);
    EXPECT_TRUE(bulk.empty());
  }
  EXPECT_EQ(bulk_sizes(*stream, 10, &xs), (std::vector<size_t>{10, 10, 5}));
  EXPECT_EQ(xs.size(), 25u);
  EXPECT_EQ(xs.back(), 25);
}

TEST(AnyReaderTest, TwoLiveCandidatesYieldCountZero) {
  auto stream = detecting(letter_input('K', 3), {&make<LetterReader<'K'>>, &make<LetterReader<'K'>>});
  std::vector<Block> bulk;
  auto outcome = stream->read(bulk, 10);
  ASSERT_TRUE(outcome && *outcome);
  EXPECT_EQ(**outcome, 0u);
  EXPECT_TRUE(bulk.empty());
  // Both end on the next pass, so the stream is empty rather than failed.
  outcome = stream->read(bulk, 10);
  ASSERT_TRUE(outcome.has_value());
  EXPECT_FALSE(outcome->has_value());
}

TEST(AnyReaderTest, NoCandidateAcceptsStaysFailed) {
  auto stream = detecting("X123", kLetters);
  for (int i = 0; i < 2; ++i) {
    std::vector<Block> bulk;
    auto outcome = stream->read(bulk, 10);
    ASSERT_FALSE(outcome.has_value());
    EXPECT_EQ(outcome.error().message, "No matching format found");
  }
  EXPECT_EQ(stream->boundary().value(), std::nullopt);
}

TEST(AnyReaderTest, HeaderOnlyInputEndsCleanly) {
  auto stream = detecting("K", kLetters);
  auto all = stream->read_to_end_into_vec();
  ASSERT_TRUE(all.has_value());
  EXPECT_TRUE(all->empty());
  std::vector<Block> bulk;
  auto outcome = stream->read(bulk, 10);
  ASSERT_TRUE(outcome.has_value());
  EXPECT_FALSE(outcome->has_value());
}

TEST(AnyReaderTest, BoundaryEliminatesCandidatesWhoseHeaderFails) {
  auto stream = detecting(letter_input('M', 4), kLetters);
  auto boundary = stream->boundary();
  ASSERT_TRUE(boundary.has_value());
  ASSERT_TRUE(boundary->has_value());
  EXPECT_EQ((*boundary)->min.x, 'M');
  EXPECT_EQ(stream->candidate_count(), 1u);
  std::vector<int> xs;
  EXPECT_EQ(bulk_sizes(*stream, 10, &xs), (std::vector<size_t>{4}));
}

TEST(AnyReaderTest, BoundaryWithSeveralSurvivorsIsEmpty) {
  auto stream = detecting(letter_input('K', 4), {&make<LetterReader<'K'>>, &make<StallThenFail<1>>});
  auto boundary = stream->boundary();
  ASSERT_TRUE(boundary.has_value());
  EXPECT_FALSE(boundary->has_value());
  EXPECT_EQ(stream->candidate_count(), 2u);
}

TEST(AnyReaderTest, LargeInputIsReadOnceThroughTheForks) {
  std::string input(1, 'K');
  for (int i = 0; i < 300000; ++i) input.push_back(static_cast<char>(i % 251));
  auto stream = detecting(input, kLetters);
  auto all = stream->read_to_end_into_vec();
  ASSERT_TRUE(all.has_value());
  ASSERT_EQ(all->size(), 300000u);
  for (size_t i = 0; i < all->size(); i += 997) EXPECT_EQ((*all)[i].position.x, static_cast<int>(i % 251));
}

}  // namespace
}  // namespace kubrel
