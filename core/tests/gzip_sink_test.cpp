// Tests of the gzip writer: members of every level and size unpacked by zlib (independent of ISA-L)
// and by our own decoding chain, written in pieces of any size; and its failures.
#include "io/gzip_sink.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "io/gzip_source.h"
#include "support/corpus.h"
#include "support/failing_sink.h"

namespace kubrel {
namespace {

using Bytes = std::vector<uint8_t>;
using testing::FailingSink;

TEST(GzipSinkTest, MembersUnpackWithZlibAndOurChain) {
  std::mt19937 random(7);
  for (size_t size : {0, 1, 70'000, 3'000'000}) {
    Bytes payload(size);
    // Runs and noise: compressible, but not trivially.
    for (size_t i = 0; i < size; ++i) payload[i] = random() % 8 == 0 ? random() : i / 97;
    for (int level = 0; level <= kMaxGzipLevel; ++level) {
      for (size_t piece : {size_t{1} << 30, size_t{4093}}) {
        SCOPED_TRACE(std::to_string(size) + " bytes, level " + std::to_string(level) +
                     ", pieces of " + std::to_string(piece));
        if (piece < (size_t{1} << 30) && size > 100'000) continue;
        VectorSink out;
        auto gzip = GzipSink::create(out, level);
        ASSERT_TRUE(gzip);
        for (size_t at = 0; at < size; at += piece)
          ASSERT_TRUE((*gzip)->write({payload.data() + at, std::min(piece, size - at)}));
        ASSERT_TRUE((*gzip)->finish());
        EXPECT_EQ((*gzip)->total_in(), size);
        EXPECT_EQ(testing::gunzip(out.bytes()), payload);
        auto chain = make_gzip_chain(std::make_unique<MemorySource>(out.bytes()));
        Bytes decoded(size + 1);
        size_t got = 0;
        while (auto n = chain->read(decoded.data() + got, decoded.size() - got)) {
          ASSERT_TRUE(n.has_value()) << n.error().message;
          if (*n == 0) break;
          got += *n;
        }
        decoded.resize(got);
        EXPECT_EQ(decoded, payload);
      }
    }
  }
}

TEST(GzipSinkTest, Failures) {
  VectorSink out;
  EXPECT_EQ(GzipSink::create(out, 4).error().message, "gzip level must be 0 to 3, got 4");
  EXPECT_EQ(GzipSink::create(out, -1).error().message, "gzip level must be 0 to 3, got -1");

  FailingSink failing;
  auto gzip = GzipSink::create(failing);
  ASSERT_TRUE(gzip);
  ASSERT_TRUE((*gzip)->write(Bytes(10)));  // still buffered
  EXPECT_EQ((*gzip)->finish().error().message, "disk full");
  EXPECT_FALSE((*gzip)->write(Bytes(10)));
}

}  // namespace
}  // namespace kubrel
