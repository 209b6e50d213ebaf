// Every real file of the shared corpus, cut short and with single bytes changed: the change is made
// to the decompressed document, which is then compressed again so that it reaches the readers past
// the gzip checksum. Each variant must end in blocks or an error, never a crash, and keep the read
// contract. The normal run tries a few variants of the smaller files; KUBREL_SLOW=1 tries every
// offset of files up to 64 KiB and a spread of offsets of every larger one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "formats/any_reader.h"
#include "support/corpus.h"

namespace kubrel {
namespace {

using Bytes = std::vector<uint8_t>;

struct Sweep {
  bool slow = false;
  size_t exhaustive_below;  // files this small have every offset tried
  size_t offsets;           // offsets tried in a larger file, for each kind of variant
  size_t largest_file;      // larger documents are left out
};

Sweep sweep_settings() {
  const char* slow = std::getenv("KUBREL_SLOW");
  if (slow != nullptr && std::string(slow) == "1") return {true, 64 * 1024, 1024, SIZE_MAX};
  return {false, 0, 8, 1 << 20};
}

// The offsets to try in a document of `size` bytes: all of them, or the first and last stretch
// (headers and trailers) and an even spread between.
std::vector<size_t> offsets_of(size_t size, const Sweep& sweep) {
  std::vector<size_t> out;
  if (size <= sweep.exhaustive_below || size <= sweep.offsets) {
    for (size_t i = 0; i < size; ++i) out.push_back(i);
    return out;
  }
  const size_t edge = sweep.offsets / 4;
  for (size_t i = 0; i < edge; ++i) out.push_back(i);
  for (size_t i = size - edge; i < size; ++i) out.push_back(i);
  const size_t middle = sweep.offsets - 2 * edge;
  for (size_t k = 1; k <= middle; ++k) out.push_back(edge + (size - 2 * edge) * k / (middle + 1));
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

// A byte different from `byte`, varied with the offset so that every kind of change comes up.
uint8_t changed(uint8_t byte, size_t offset) {
  static constexpr uint8_t kFlips[] = {0xFF, 0x01, 0x80, 0x7F};
  switch (offset % 6) {
    case 4:
      return byte == 0 ? 1 : 0;
    case 5:
      return static_cast<uint8_t>(byte + 1);
    default:
      return byte ^ kFlips[offset % 6];
  }
}

// Reads the variant the way the Python layer does (detection over the compressed input, bulks of
// 1024) and checks the read contract; returns false when the stream failed.
bool read_variant(const Bytes& document) {
  auto stream = AnySchematicInputStream::new_from_known_gzip(
      std::make_unique<MemorySource>(testing::gzip_compress(document, 0)));
  (void)stream->boundary();
  size_t blocks = 0;
  while (blocks < (size_t{1} << 16)) {
    std::vector<Block> bulk;
    Result<ReadCount> count = stream->read(bulk, 1024);
    if (!count) return false;
    if (!*count) {
      EXPECT_TRUE(bulk.empty());
      return true;
    }
    EXPECT_EQ(bulk.size(), **count);
    EXPECT_LE(bulk.size(), 1024u);
    for (const Block& block : bulk) EXPECT_FALSE(block.state->is_air());
    blocks += bulk.size();
  }
  return true;
}

TEST(CorpusSweepTest, CutAndChangedRealFilesEndCleanly) {
  auto real = testing::real_corpus_dir();
  if (!real) GTEST_SKIP() << "no shared corpus";
  const Sweep sweep = sweep_settings();
  size_t files = 0, variants = 0, failed = 0;
  for (const char* folder : {"sponge", "structure", "legacy"}) {
    for (const auto& entry : std::filesystem::directory_iterator(*real / folder)) {
      auto member = testing::read_file(entry.path());
      ASSERT_TRUE(member.has_value());
      auto document = testing::gunzip(*member);
      ASSERT_TRUE(document.has_value()) << entry.path();
      if (document->size() > sweep.largest_file) continue;
      SCOPED_TRACE(entry.path().filename().string());
      ++files;
      for (size_t offset : offsets_of(document->size(), sweep)) {
        SCOPED_TRACE("offset " + std::to_string(offset));
        Bytes cut(document->begin(), document->begin() + static_cast<ptrdiff_t>(offset));
        Bytes flipped = *document;
        flipped[offset] = changed(flipped[offset], offset);
        failed += !read_variant(cut);
        failed += !read_variant(flipped);
        variants += 2;
        if (::testing::Test::HasFailure()) return;
      }
    }
  }
  EXPECT_GT(files, 0u);
  std::printf("%zu files, %zu variants, %zu ended in an error\n", files, variants, failed);
}

}  // namespace
}  // namespace kubrel
