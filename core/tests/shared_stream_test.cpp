// Tests of the shared stream and its forks: exact source reads, buffer trimming and release, and
// random interleavings checked against a model of positions.
#include "io/shared_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "support/scripted_source.h"

namespace kubrel {
namespace {

using testing::ScriptedSource;
using testing::SourceLog;

using Bytes = std::vector<uint8_t>;
constexpr size_t kChunk = SharedStream::kChunkSize;

struct Fixture {
  explicit Fixture(Bytes bytes, size_t max_piece = SIZE_MAX, std::set<size_t> failing = {})
      : input(bytes),
        log(std::make_shared<SourceLog>()),
        stream(SharedStream::create(
            std::make_unique<ScriptedSource>(std::move(bytes), log, max_piece, failing))) {}

  Bytes input;
  std::shared_ptr<SourceLog> log;
  std::shared_ptr<SharedStream> stream;
};

// Reads once and returns the bytes, failing the test on an error.
Bytes read_some(VirtualReader& fork, size_t len) {
  Bytes out(len);
  auto got = fork.read(out.data(), len);
  EXPECT_TRUE(got.has_value()) << got.error().message;
  out.resize(got.value_or(0));
  return out;
}

// Reads until the end in calls of `len`, recording every count returned.
Bytes read_to_end(VirtualReader& fork, size_t len, std::vector<size_t>* counts = nullptr) {
  Bytes all;
  while (true) {
    Bytes piece = read_some(fork, len);
    if (counts) counts->push_back(piece.size());
    if (piece.empty()) return all;
    all.insert(all.end(), piece.begin(), piece.end());
  }
}

TEST(SharedStreamTest, ThreeForksReadTheSourceOnce) {
  Fixture f(testing::random_bytes(3000, 1));
  auto a = f.stream->fork(), b = f.stream->fork(), c = f.stream->fork();
  f.stream.reset();
  EXPECT_EQ(read_to_end(*a, 100), f.input);
  EXPECT_EQ(f.stream, nullptr);
  EXPECT_EQ(read_to_end(*b, 7), f.input);
  std::vector<size_t> counts;
  EXPECT_EQ(read_to_end(*c, 2048, &counts), f.input);
  EXPECT_EQ(counts, (std::vector<size_t>{2048, 952, 0}));
  EXPECT_EQ(f.log->returned, (std::vector<size_t>{1024, 1024, 952, 0}));
  EXPECT_EQ(f.log->requested, (std::vector<size_t>(4, kChunk)));
  EXPECT_EQ(read_some(*a, 10).size(), 0u);
  EXPECT_EQ(f.log->requested.size(), 4u);
}

TEST(SharedStreamTest, DeadForkStopsHoldingBytes) {
  Fixture f(testing::random_bytes(5000, 2));
  auto stream = f.stream;
  auto a = stream->fork(), b = stream->fork();
  EXPECT_EQ(read_some(*a, 500).size(), 500u);
  EXPECT_EQ(stream->buffered_size(), 1024u);
  a.reset();
  Bytes first = read_some(*b, 10);
  EXPECT_EQ(first, Bytes(f.input.begin(), f.input.begin() + 10));
  EXPECT_EQ(stream->buffered_size(), 1014u);
  Bytes rest = read_to_end(*b, 333);
  first.insert(first.end(), rest.begin(), rest.end());
  EXPECT_EQ(first, f.input);
}

TEST(SharedStreamTest, DeadSlowestForkIsForgottenOnTheNextRead) {
  Fixture f(testing::random_bytes(5000, 2));
  auto stream = f.stream;
  auto slow = stream->fork(), fast = stream->fork();
  EXPECT_EQ(read_some(*slow, 100).size(), 100u);
  EXPECT_EQ(read_some(*fast, 500).size(), 500u);
  EXPECT_EQ(stream->buffered_size(), 924u);
  slow.reset();
  EXPECT_EQ(stream->buffered_size(), 924u);
  EXPECT_EQ(read_some(*fast, 10).size(), 10u);
  EXPECT_EQ(stream->buffered_size(), 514u);
  fast.reset();
  stream->trim();
  EXPECT_EQ(stream->buffered_size(), 0u);
}

TEST(SharedStreamTest, SourceIsReleasedWithTheLastFork) {
  Fixture f(testing::random_bytes(10, 3));
  auto a = f.stream->fork(), b = f.stream->fork();
  f.stream.reset();
  a.reset();
  EXPECT_FALSE(f.log->released);
  EXPECT_EQ(read_to_end(*b, 3), f.input);
  EXPECT_FALSE(f.log->released);
  b.reset();
  EXPECT_TRUE(f.log->released);
}

TEST(SharedStreamTest, EndedSourceIsNotAskedAgain) {
  Fixture f(Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
  auto fork = f.stream->fork();
  std::vector<size_t> counts;
  read_to_end(*fork, 4, &counts);
  EXPECT_EQ(read_some(*fork, 4).size(), 0u);
  EXPECT_EQ(counts, (std::vector<size_t>{4, 4, 2, 0}));
  EXPECT_EQ(f.log->returned, (std::vector<size_t>{10, 0}));
}

TEST(SharedStreamTest, SourceFailureOnFirstRefillThenRetry) {
  Fixture f(testing::random_bytes(2000, 4), SIZE_MAX, {0});
  auto a = f.stream->fork(), b = f.stream->fork();
  uint8_t byte;
  auto failed = a->read(&byte, 1);
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().message, testing::kScriptedFailure);
  EXPECT_EQ(f.stream->buffered_size(), 0u);
  EXPECT_EQ(read_to_end(*a, 64), f.input);
  EXPECT_EQ(read_to_end(*b, 5000), f.input);
}

TEST(SharedStreamTest, ZeroLengthReadInsideTheBufferEndsNothing) {
  Fixture f(testing::random_bytes(100, 5));
  auto fork = f.stream->fork();
  Bytes first = read_some(*fork, 40);
  EXPECT_EQ(read_some(*fork, 0).size(), 0u);
  Bytes rest = read_to_end(*fork, 1000);
  first.insert(first.end(), rest.begin(), rest.end());
  EXPECT_EQ(first, f.input);
  EXPECT_EQ(f.log->returned, (std::vector<size_t>{100, 0}));
}

// Random interleavings of reads, fork deaths and source failures, checked against a model that
// tracks absolute positions: every fork sees the source's bytes in order, only the fork at the
// front asks the source (one chunk per call), and the buffer holds exactly the bytes from the
// slowest live fork to the newest one pulled.
TEST(SharedStreamTest, RandomInterleavingsMatchTheModel) {
  std::mt19937 rng(42);
  for (int round = 0; round < 300; ++round) {
    SCOPED_TRACE(round);
    size_t size = rng() % 6000;
    size_t max_piece = std::vector<size_t>{1, 100, 1023, 1024, SIZE_MAX}[rng() % 5];
    std::set<size_t> failing;
    for (int i = 0; i < 3; ++i) failing.insert(rng() % 40);
    Fixture f(testing::random_bytes(size, round), max_piece, failing);
    size_t fork_count = 1 + rng() % 4;
    std::vector<std::unique_ptr<VirtualReader>> forks;
    std::vector<size_t> at(fork_count, 0);  // absolute positions
    for (size_t i = 0; i < fork_count; ++i) forks.push_back(f.stream->fork());
    size_t pulled = 0;
    bool ended = false;
    for (int step = 0; step < 400; ++step) {
      size_t i = rng() % fork_count;
      if (!forks[i]) continue;
      if (rng() % 60 == 0) {
        forks[i].reset();
        continue;
      }
      size_t len = std::vector<size_t>{0, 1, 7, 300, 1024, 3000}[rng() % 6];
      size_t calls_before = f.log->requested.size();
      Bytes out(len);
      auto got = forks[i]->read(out.data(), len);
      bool at_front = at[i] == pulled;
      ASSERT_EQ(f.log->requested.size(), calls_before + (at_front && !ended ? 1 : 0));
      if (!got) {
        EXPECT_EQ(got.error().message, testing::kScriptedFailure);
        continue;
      }
      if (at_front && !ended) {
        size_t delivered = f.log->returned.back();
        ASSERT_LE(delivered, kChunk);
        ended = delivered == 0;
        pulled += delivered;
        if (ended) {
          EXPECT_EQ(*got, 0u);
          continue;
        }
      }
      if (at[i] == pulled) {
        EXPECT_EQ(*got, 0u);
        continue;
      }
      ASSERT_EQ(*got, std::min(len, pulled - at[i]));
      ASSERT_TRUE(std::equal(out.begin(), out.begin() + *got, f.input.begin() + at[i]));
      at[i] += *got;
      size_t slowest = SIZE_MAX;
      for (size_t k = 0; k < fork_count; ++k) {
        if (forks[k]) slowest = std::min(slowest, at[k]);
      }
      ASSERT_EQ(f.stream->buffered_size(), pulled - slowest);
    }
  }
}

TEST(SharedStreamTest, BufferShrinksBackOnceOneForkIsLeft) {
  const size_t spread = 4 << 20;
  Fixture f(testing::random_bytes(spread + (2 << 20), 6));
  auto ahead = f.stream->fork(), behind = f.stream->fork();
  Bytes seen_ahead;
  while (seen_ahead.size() < spread) {
    Bytes piece = read_some(*ahead, 4096);
    seen_ahead.insert(seen_ahead.end(), piece.begin(), piece.end());
  }
  EXPECT_EQ(f.stream->buffered_size(), spread);
  ahead.reset();
  Bytes seen_behind;
  std::mt19937 rng(7);
  bool caught_up = false;
  while (true) {
    Bytes piece = read_some(*behind, 1 + rng() % 5000);
    if (piece.empty()) break;
    seen_behind.insert(seen_behind.end(), piece.begin(), piece.end());
    EXPECT_LE(f.stream->buffered_size(), f.input.size() - seen_behind.size());
    // Memory follows the bytes still held, within a small factor.
    EXPECT_LE(f.stream->buffer_capacity(),
              std::max<size_t>(8 * kChunk, 4 * f.stream->buffered_size() + 2 * kChunk));
    if (seen_behind.size() > spread) caught_up = true;
    if (caught_up) {
      EXPECT_LE(f.stream->buffered_size(), kChunk);
      EXPECT_LE(f.stream->buffer_capacity(), 4 * kChunk);
    }
  }
  EXPECT_TRUE(caught_up);
  EXPECT_EQ(seen_behind, f.input);
}

}  // namespace
}  // namespace kubrel
