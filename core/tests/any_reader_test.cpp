#include "formats/any_reader.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "formats/kbr_reader.h"
#include "formats/mojang_reader.h"
#include "formats/sponge_reader.h"
#include "io/gzip_source.h"
#include "support/allocation_probe.h"
#include "support/corpus.h"
#include "support/kbr_writer.h"
#include "support/nbt_writer.h"

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

std::unique_ptr<AnySchematicInputStream> detecting(
    std::string bytes, const std::vector<AnySchematicInputStream::Factory>& factories) {
  std::vector<uint8_t> data(bytes.begin(), bytes.end());
  return AnySchematicInputStream::new_from_factories(
      std::make_unique<MemorySource>(std::move(data)), factories);
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
  auto stream =
      detecting(letter_input('K', 25), {&make<LetterReader<'K'>>, &make<StallThenFail<2>>});
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
  auto stream =
      detecting(letter_input('K', 3), {&make<LetterReader<'K'>>, &make<LetterReader<'K'>>});
  std::vector<Block> bulk;
  auto outcome = stream->read(bulk, 10);
  ASSERT_TRUE(outcome && *outcome);
  EXPECT_EQ(**outcome, 0u);
  EXPECT_TRUE(bulk.empty());
  // Both end on the next pass: the first in the table wins with its blocks, then ends.
  std::vector<int> xs;
  EXPECT_EQ(bulk_sizes(*stream, 10, &xs), (std::vector<size_t>{3}));
  EXPECT_EQ(xs, (std::vector<int>{1, 2, 3}));
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
  auto stream =
      detecting(letter_input('K', 4), {&make<LetterReader<'K'>>, &make<StallThenFail<1>>});
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
  for (size_t i = 0; i < all->size(); i += 997)
    EXPECT_EQ((*all)[i].position.x, static_cast<int>(i % 251));
}

// --- The real readers. ---

using Bytes = std::vector<uint8_t>;

// Every block's text, or the error's; `indexed` reads through read_indexed in bulks as large, each
// state looked up in the reader's table.
std::vector<std::string> render_all(SchematicInputStream& stream, bool indexed = false) {
  Result<std::vector<Block>> blocks = std::vector<Block>();
  for (std::vector<IndexedBlock> bulk; indexed; bulk.clear()) {
    auto count = stream.read_indexed(bulk, kReadToEndBulk);
    if (!count) return {"! " + count.error().message};
    if (!*count) break;
    for (const IndexedBlock& b : bulk)
      blocks->push_back({b.position, stream.indexed_state(b.state)});
  }
  if (!indexed) blocks = stream.read_to_end_into_vec();
  if (!blocks) return {"! " + blocks.error().message};
  std::vector<std::string> out;
  for (const Block& block : *blocks) {
    const BlockPosition& p = block.position;
    out.push_back(std::to_string(p.x) + "," + std::to_string(p.y) + "," + std::to_string(p.z) +
                  " " + block.state->name() + (block.state->properties().empty() ? "" : "[...]"));
  }
  return out;
}

Bytes kbr_document(int stone_run) {
  KbrWriter w;
  w.header({-2, 0, 5}, {7, 3, 9}, AxisOrder::ZXY)
      .define("minecraft:stone")
      .define("minecraft:air")
      .derive(2, "minecraft:oak_log+axis=y")
      .run(2, stone_run)
      .run(4, 3)
      .single(6);
  return w.bytes();
}

// A Sponge document of width x height x length whose ids cycle through stone, air and a log.
Bytes sponge_document(int16_t width, int16_t height, int16_t length) {
  testing::NbtWriter w;
  w.compound("")
      .int_("Version", 2)
      .short_("Width", width)
      .short_("Height", height)
      .short_("Length", length);
  w.compound("Palette")
      .int_("minecraft:stone", 0)
      .int_("minecraft:air", 1)
      .int_("minecraft:oak_log[axis=x]", 2);
  w.end();
  Bytes ids(static_cast<size_t>(width) * height * length);
  for (size_t i = 0; i < ids.size(); ++i) ids[i] = static_cast<uint8_t>((i * 7 / 5) % 3);
  w.byte_array("BlockData", ids).end();
  return w.bytes();
}

Bytes mojang_document() {
  testing::NbtWriter w;
  w.compound("").int_("DataVersion", 3465).int_list("size", {2, 2, 1});
  w.list("blocks", NbtKind::Compound);
  for (int32_t i = 0; i < 4; ++i)
    w.compound("").int_list("pos", {i % 2, i / 2, 0}).int_("state", i % 2).end();
  w.end();
  w.list("palette", NbtKind::Compound);
  w.compound("").string("Name", "minecraft:stone").end();
  w.compound("").string("Name", "minecraft:torch").end();
  w.end().end();
  return w.bytes();
}

// A root holding a Sponge schematic's members (in a "Schematic" compound when `nested`) and then a
// structure's: both formats read it whole, so the tie rule gives it to Sponge.
Bytes sponge_beside_structure(bool nested) {
  Bytes sponge = sponge_document(3, 1, 2);
  Bytes structure = mojang_document();
  // Each document is {10, 0, 0} (an unnamed root compound), its members, then the root's End.
  static constexpr uint8_t kSchematic[] = {10, 0, 9, 'S', 'c', 'h', 'e', 'm', 'a', 't', 'i', 'c'};
  const size_t members = sponge.size() - 3 - (nested ? 0 : 1);
  // Sized once and copied into: growing a vector piece by piece makes g++ 12 warn of bounds.
  Bytes out(3 + (nested ? sizeof(kSchematic) : 0) + members + structure.size() - 3);
  auto at = std::copy_n(sponge.begin(), 3, out.begin());
  if (nested) at = std::copy(std::begin(kSchematic), std::end(kSchematic), at);
  at = std::copy_n(sponge.begin() + 3, members, at);
  std::copy(structure.begin() + 3, structure.end(), at);
  return out;
}

std::unique_ptr<AnySchematicInputStream> detect(const Bytes& bytes) {
  return AnySchematicInputStream::new_from_known(std::make_unique<MemorySource>(bytes));
}

TEST(AnyReaderTest, DetectedInputReadsLikeTheNamedReader) {
  struct Case {
    const char* name;
    Bytes bytes;
    std::function<std::unique_ptr<SchematicInputStream>(std::unique_ptr<ByteSource>)> named;
    // Whether a fresh stream's boundary is the named reader's; it is none while two formats read.
    bool boundary_before_reading = true;
  };
  const std::vector<Case> cases = {
      {"KBR", kbr_document(20),
       [](auto s) { return std::make_unique<KBRSchematicInputStream>(std::move(s)); }},
      {"Sponge", sponge_document(5, 3, 4),
       [](auto s) { return std::make_unique<SpongeSchematicInputStream>(std::move(s)); }},
      {"Mojang", mojang_document(),
       [](auto s) { return std::make_unique<MojangSchematicInputStream>(std::move(s)); }},
      {"flat Sponge beside a structure", sponge_beside_structure(false),
       [](auto s) { return std::make_unique<SpongeSchematicInputStream>(std::move(s)); }, false},
      {"nested Sponge beside a structure", sponge_beside_structure(true),
       [](auto s) { return std::make_unique<SpongeSchematicInputStream>(std::move(s)); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // A read of `max` 0 comes first: it hands out nothing and changes nothing, under detection too.
    std::vector<Block> none;
    auto named = c.named(std::make_unique<MemorySource>(c.bytes));
    EXPECT_EQ(named->read(none, 0), Result<ReadCount>(ReadCount{0}));
    std::vector<std::string> expected = render_all(*named);
    ASSERT_FALSE(expected.empty());
    ASSERT_NE(expected[0][0], '!') << expected[0];
    auto detected = detect(c.bytes);
    EXPECT_EQ(detected->read(none, 0), Result<ReadCount>(ReadCount{0}));
    EXPECT_EQ(render_all(*detected), expected);
    EXPECT_EQ(render_all(*c.named(std::make_unique<MemorySource>(c.bytes)), true), expected);
    EXPECT_EQ(render_all(*detect(c.bytes), true), expected);
    EXPECT_EQ(detected->candidate_count(), 1u);
    auto named_boundary = c.named(std::make_unique<MemorySource>(c.bytes))->boundary();
    EXPECT_EQ(detected->boundary(), named_boundary);
    if (c.boundary_before_reading) {
      EXPECT_EQ(detect(c.bytes)->boundary(), named_boundary);
    }
  }
}

TEST(AnyReaderTest, KnownFormatsRefuseOtherInput) {
  const std::vector<Bytes> inputs = {{}, {0x00}, {'h', 'e', 'l', 'l', 'o'}, Bytes(5000, 0xFF)};
  for (const Bytes& input : inputs) {
    SCOPED_TRACE(input.size());
    auto stream = detect(input);
    EXPECT_EQ(stream->boundary().value(), std::nullopt);
    EXPECT_EQ(render_all(*stream), std::vector<std::string>{"! No matching format found"});
  }
}

TEST(AnyReaderTest, HeaderOnlyKbrIsAnEmptySchematic) {
  KbrWriter w;
  w.header({0, 0, 0}, {3, 3, 3}, AxisOrder::XYZ);
  auto stream = detect(w.bytes());
  auto boundary = stream->boundary();
  ASSERT_TRUE(boundary && *boundary);
  EXPECT_EQ((*boundary)->d_x, 4u);
  EXPECT_EQ(stream->candidate_count(), 1u);
  EXPECT_EQ(render_all(*stream), std::vector<std::string>{});
  auto fresh = detect(w.bytes());
  std::vector<Block> bulk;
  auto outcome = fresh->read(bulk, 1024);
  ASSERT_TRUE(outcome.has_value());
  EXPECT_FALSE(outcome->has_value());
}

TEST(AnyReaderTest, EmptySchematicKeepsItsBoundaryAfterReading) {
  testing::NbtWriter w;
  w.compound("").short_("Width", 2).short_("Height", 3).short_("Length", 4);
  w.compound("Palette").int_("minecraft:air", 0).end().byte_array("BlockData", Bytes(24, 0)).end();
  auto stream = detect(w.bytes());
  EXPECT_EQ(render_all(*stream), std::vector<std::string>{});
  auto boundary = stream->boundary();
  ASSERT_TRUE(boundary && *boundary);
  EXPECT_EQ(**boundary, (Boundary{{0, 0, 0}, 2, 3, 4}));
}

TEST(AnyReaderTest, SharedBufferShrinksOnceTheWinnerIsKnown) {
  // About 2 MB of ids: the Sponge candidate decodes the whole document on its first read.
  Bytes bytes = sponge_document(128, 128, 128);
  auto stream = detect(bytes);
  std::vector<Block> bulk;
  auto outcome = stream->read(bulk, 1024);
  ASSERT_TRUE(outcome && *outcome) << (outcome ? "" : outcome.error().message);
  EXPECT_EQ(stream->candidate_count(), 1u);
  EXPECT_LE(stream->shared_buffered_size(), 1024u);
  uint64_t total = **outcome;
  while (true) {
    bulk.clear();
    outcome = stream->read(bulk, 4096);
    ASSERT_TRUE(outcome.has_value());
    if (!*outcome) break;
    total += **outcome;
  }
  EXPECT_GT(total, 128u * 128 * 128 / 2);
}

std::unique_ptr<AnySchematicInputStream> detect_gzip(const Bytes& member) {
  return AnySchematicInputStream::new_from_known_gzip(std::make_unique<MemorySource>(member));
}

// The bytes of a stream that does not tell its size, as a file-like object does not.
class UntoldSizeSource final : public ByteSource {
 public:
  explicit UntoldSizeSource(const Bytes& bytes) : inner_(bytes) {}
  Result<size_t> read(uint8_t* dst, size_t n) override { return inner_.read(dst, n); }

 private:
  MemorySource inner_;
};

TEST(AnyReaderGzipTest, ForkingTheCompressedInputReadsTheSame) {
  Bytes mojang_member = testing::gzip_compress(mojang_document());
  Bytes truncated(mojang_member.begin(), mojang_member.end() - 12);
  Bytes corrupt = testing::gzip_compress(sponge_document(4, 4, 4));
  corrupt[corrupt.size() - 6] ^= 0x40;  // the checksum no longer matches
  Bytes trailing = mojang_member;
  trailing.insert(trailing.end(), {'j', 'u', 'n', 'k', 0, 0, 0, 0});
  Bytes past_whole_limit(AnySchematicInputStream::kWholeInflateLimit + 1, 0);
  const Bytes kbr = kbr_document(20);
  std::copy(kbr.begin(), kbr.end(), past_whole_limit.begin());
  const std::vector<std::pair<std::string, Bytes>> members = {
      {"KBR", testing::gzip_compress(kbr_document(20))},
      {"Sponge", testing::gzip_compress(sponge_document(5, 3, 4), 1)},
      {"Mojang", mojang_member},
      {"header only KBR", testing::gzip_compress(kbr_document(0))},
      {"not gzip", kbr_document(20)},
      {"empty", {}},
      {"garbage inside gzip", testing::gzip_compress(Bytes(3000, 0x42), 0)},
      {"cut inside the member", truncated},
      {"bad checksum", corrupt},
      {"bytes after the member", trailing},
      {"document past the whole inflate", testing::gzip_compress(past_whole_limit, 1)},
  };
  for (const auto& [name, member] : members) {
    SCOPED_TRACE(name);
    auto decoded_once = AnySchematicInputStream::new_from_known(
        make_gzip_chain(std::make_unique<MemorySource>(member)));
    auto forked = detect_gzip(member);
    auto untold =
        AnySchematicInputStream::new_from_known_gzip(std::make_unique<UntoldSizeSource>(member));
    auto indexed = detect_gzip(member);
    auto boundary = decoded_once->boundary();
    EXPECT_EQ(forked->boundary(), boundary);
    EXPECT_EQ(untold->boundary(), boundary);
    EXPECT_EQ(indexed->boundary(), boundary);
    auto blocks = render_all(*decoded_once);
    EXPECT_EQ(render_all(*forked), blocks);
    EXPECT_EQ(render_all(*untold), blocks);
    EXPECT_EQ(render_all(*indexed, true), blocks);
  }
}

TEST(AnyReaderGzipTest, LaggingCandidatesHoldCompressedBytesOnly) {
  // A structure file of 400,000 blocks, about 14 MB decompressed: the Sponge candidate decodes it
  // all on its first read while the other two wait at its start.
  testing::NbtWriter w;
  w.compound("").int_list("size", {100, 100, 40}).list("palette", NbtKind::Compound);
  w.compound("").string("Name", "minecraft:stone").end().end();
  w.list("blocks", NbtKind::Compound);
  for (int32_t i = 0; i < 400000; ++i) {
    w.compound("").int_list("pos", {i % 100, i / 100 % 100, i / 10000}).int_("state", 0).end();
  }
  w.end().end();
  const Bytes member = testing::gzip_compress(w.bytes());
  ASSERT_GT(w.bytes().size(), 10 * member.size());
  auto stream = detect_gzip(member);
  testing::allocation_probe::reset();
  std::vector<Block> bulk;
  auto outcome = stream->read(bulk, 1024);
  ASSERT_TRUE(outcome && *outcome) << (outcome ? "" : outcome.error().message);
  EXPECT_EQ(stream->candidate_count(), 1u);
  // No allocation anywhere near the decompressed size: the spread between forks is kept as
  // compressed bytes, and the Sponge candidate keeps no tree of what it does not read.
  EXPECT_LT(testing::allocation_probe::largest.load(), 2 * member.size() + (size_t{1} << 20));
}

TEST(AnyReaderGzipTest, RealFilesReadTheSame) {
  auto real = testing::real_corpus_dir();
  if (!real) GTEST_SKIP() << "no shared corpus";
  size_t files = 0;
  for (const char* folder : {"sponge", "structure", "legacy"}) {
    for (const auto& entry : std::filesystem::directory_iterator(*real / folder)) {
      auto member = testing::read_file(entry.path());
      ASSERT_TRUE(member.has_value());
      if (member->size() > 200000) continue;  // the largest files take long under sanitizers
      SCOPED_TRACE(entry.path().filename().string());
      auto decoded_once = AnySchematicInputStream::new_from_known(
          make_gzip_chain(std::make_unique<MemorySource>(*member)));
      std::vector<std::string> expected = render_all(*decoded_once);
      EXPECT_EQ(render_all(*detect_gzip(*member)), expected);
      EXPECT_EQ(render_all(*detect_gzip(*member), true), expected);
      ++files;
    }
  }
  EXPECT_GT(files, 40u);
}

}  // namespace
}  // namespace kubrel
