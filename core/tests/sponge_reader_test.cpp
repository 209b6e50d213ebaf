// Tests of the Sponge reader over documents built by NbtWriter, and over the real Sponge files of
// the shared corpus when it is present.
#include "formats/sponge_reader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "nbt/nbt_tree.h"
#include "support/corpus.h"
#include "support/nbt_writer.h"

namespace kubrel {
namespace {

using testing::NbtWriter;
using Bytes = std::vector<uint8_t>;

// Serves bytes, then fails with `error` instead of ending when it is not empty.
class TrailingErrorSource final : public ByteSource {
 public:
  TrailingErrorSource(Bytes bytes, std::string error)
      : bytes_(std::move(bytes)), error_(std::move(error)) {}
  Result<size_t> read(uint8_t* dst, size_t n) override {
    if (position_ == bytes_.size() && !error_.empty()) return fail(error_);
    size_t count = std::min(n, bytes_.size() - position_);
    std::copy_n(bytes_.data() + position_, count, dst);
    position_ += count;
    return count;
  }

 private:
  Bytes bytes_;
  std::string error_;
  size_t position_ = 0;
};

SpongeSchematicInputStream stream_of(Bytes bytes, std::string error = "") {
  return SpongeSchematicInputStream(
      std::make_unique<TrailingErrorSource>(std::move(bytes), std::move(error)));
}

std::string render(const Block& block) {
  const BlockPosition& p = block.position;
  std::string text = std::to_string(p.x) + "," + std::to_string(p.y) + "," + std::to_string(p.z) +
                     " " + block.state->name();
  for (const auto& [key, value] : block.state->properties()) text += " " + key + "=" + value;
  return text;
}

// Every block of the document, or "! " and the first error.
std::vector<std::string> read_all(Bytes bytes, std::string error = "") {
  SpongeSchematicInputStream stream = stream_of(std::move(bytes), std::move(error));
  auto blocks = stream.read_to_end_into_vec();
  if (!blocks) return {"! " + blocks.error().message};
  std::vector<std::string> out;
  for (const Block& block : *blocks) out.push_back(render(block));
  return out;
}

struct Layout {
  bool nested = false;
  int16_t width = 2, height = 1, length = 2;
  std::map<std::string, int32_t> palette = {
      {"minecraft:air", 0}, {"minecraft:stone", 1}, {"minecraft:oak_log[axis=y]", 2}};
  Bytes ids = {0x01, 0x02, 0x00, 0x01};
  // Changes applied inside the schematic compound after the standard tags.
  std::function<void(NbtWriter&)> extra;
  bool write_palette = true;
  bool write_ids = true;
};

Bytes document(const Layout& layout) {
  NbtWriter w;
  w.compound("");
  if (layout.nested)
    w.compound("Schematic").int_("Version", 3);
  else
    w.int_("Version", 2);
  w.short_("Width", layout.width).short_("Height", layout.height).short_("Length", layout.length);
  auto palette_and_ids = [&](std::string_view data_name) {
    if (layout.write_palette) {
      w.compound("Palette");
      for (const auto& [text, id] : layout.palette) w.int_(text, id);
      w.end();
    }
    if (layout.write_ids) w.byte_array(data_name, layout.ids);
  };
  if (layout.nested) {
    w.compound("Blocks");
    palette_and_ids("Data");
    w.end();
  } else {
    palette_and_ids("BlockData");
  }
  if (layout.extra) layout.extra(w);
  if (layout.nested) w.end();
  w.end();
  return w.bytes();
}

const std::vector<std::string> kExampleBlocks = {
    "0,0,0 minecraft:stone", "1,0,0 minecraft:oak_log axis=y", "1,0,1 minecraft:stone"};

TEST(SpongeReaderTest, FlatAndNestedLayoutsReadTheSame) {
  for (bool nested : {false, true}) {
    SCOPED_TRACE(nested ? "nested" : "flat");
    Layout layout;
    layout.nested = nested;
    EXPECT_EQ(read_all(document(layout)), kExampleBlocks);
    SpongeSchematicInputStream stream = stream_of(document(layout));
    auto boundary = stream.boundary();
    ASSERT_TRUE(boundary && *boundary);
    EXPECT_EQ(**boundary, (Boundary{{0, 0, 0}, 2, 1, 2}));
  }
}

TEST(SpongeReaderTest, ReadsResumeAcrossCalls) {
  SpongeSchematicInputStream stream = stream_of(document(Layout{}));
  std::vector<Block> blocks;
  auto zero = stream.read(blocks, 0);
  ASSERT_TRUE(zero && *zero);
  EXPECT_EQ(**zero, 0u);
  std::vector<std::string> seen;
  for (int i = 0; i < 3; ++i) {
    auto one = stream.read(blocks, 1);
    ASSERT_TRUE(one && *one);
    EXPECT_EQ(**one, 1u);
  }
  for (const Block& block : blocks) seen.push_back(render(block));
  EXPECT_EQ(seen, kExampleBlocks);
  auto end = stream.read(blocks, 1);
  ASSERT_TRUE(end);
  EXPECT_FALSE(end->has_value());
}

TEST(SpongeReaderTest, IdDecoding) {
  struct Case {
    const char* name;
    Bytes ids;
    std::map<std::string, int32_t> palette;
    std::vector<std::string> expected;
  };
  const std::map<std::string, int32_t> big = {{"minecraft:stone", 129}, {"minecraft:dirt", -1}};
  const std::vector<Case> cases = {
      {"two-byte id", {0x81, 0x01}, big, {"0,0,0 minecraft:stone"}},
      {"five-byte negative id", {0xFF, 0xFF, 0xFF, 0xFF, 0x0F}, big, {"0,0,0 minecraft:dirt"}},
      {"fewer ids than positions",
       {0x01, 0x02},
       {{"minecraft:stone", 1}, {"minecraft:dirt", 2}},
       {"0,0,0 minecraft:stone", "1,0,0 minecraft:dirt"}},
      {"empty id array", {}, big, {}},
      {"all air", {0, 0, 0, 0}, {{"minecraft:air", 0}}, {}},
      {"ids ending inside a VarInt",
       {0x01, 0x81},
       big,
       {"! Sponge: Failed to process blocks: Sponge: VarInt array ended unexpectedly"}},
      {"VarInt too big",
       {0x80, 0x80, 0x80, 0x80, 0x80},
       big,
       {"! Sponge: Failed to process blocks: Sponge: VarInt is too big"}},
      {"more ids than positions",
       {0x01, 0x02, 0x00, 0x01, 0x01},
       {{"minecraft:stone", 1}},
       {"! Sponge: Failed to process blocks: Sponge: Boundary size mismatch (iterator exhausted "
        "before stream)"}},
      {"VarInt error wins over too many ids",
       {0, 0, 0, 0, 0, 0x80},
       {{"minecraft:stone", 1}},
       {"! Sponge: Failed to process blocks: Sponge: VarInt array ended unexpectedly"}},
      {"id missing from the palette",
       {0x05},
       {{"minecraft:stone", 1}},
       {"! Temporary ID not found in actual palette"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Layout layout;
    layout.ids = c.ids;
    layout.palette = c.palette;
    EXPECT_EQ(read_all(document(layout)), c.expected);
  }
}

// Ids are decoded in pieces of a few thousand; two-byte VarInts and errors land on both sides of a
// piece's end.
TEST(SpongeReaderTest, IdsAcrossDecodingPieces) {
  const std::map<std::string, int32_t> palette = {{"minecraft:air", 0}, {"minecraft:stone", 129}};
  auto stone_ids = [](size_t count) {
    Bytes ids;
    for (size_t i = 0; i < count; ++i) ids.insert(ids.end(), {0x81, 0x01});
    return ids;
  };
  struct Case {
    const char* name;
    int16_t width;
    Bytes ids;
    std::string expected_last;  // the last block, or "! " and the error
    size_t expected_count;
  };
  Bytes broken_after_piece = stone_ids(4097);
  broken_after_piece.push_back(0x81);
  Bytes too_many_then_broken = stone_ids(5000);
  too_many_then_broken.push_back(0x80);
  // The id array is also held in byte pieces of 60 KiB: an air id first puts a VarInt across the
  // first piece's end (offset 61440), and runs of continuation bytes end or cross it.
  auto after_air = [&](size_t stones, Bytes tail) {
    Bytes ids = stone_ids(stones);
    ids.insert(ids.begin(), 0x00);
    ids.insert(ids.end(), tail.begin(), tail.end());
    return ids;
  };
  const std::string too_big = "! Sponge: Failed to process blocks: Sponge: VarInt is too big";
  const std::vector<Case> cases = {
      {"two pieces and a bit", 10001, stone_ids(10001), "10000,0,0 minecraft:stone", 10001},
      {"exactly one piece", 4096, stone_ids(4096), "4095,0,0 minecraft:stone", 4096},
      {"fewer ids than positions", 5000, stone_ids(4097), "4096,0,0 minecraft:stone", 4097},
      {"broken VarInt after a full piece", 5000, broken_after_piece,
       "! Sponge: Failed to process blocks: Sponge: VarInt array ended unexpectedly", 1},
      {"too many ids", 4097, stone_ids(5000),
       "! Sponge: Failed to process blocks: Sponge: Boundary size mismatch (iterator exhausted "
       "before stream)",
       1},
      {"broken VarInt past the box", 4097, too_many_then_broken,
       "! Sponge: Failed to process blocks: Sponge: VarInt array ended unexpectedly", 1},
      {"VarInt across a byte piece", 31001, after_air(31000, {}), "31000,0,0 minecraft:stone",
       31000},
      {"too long a VarInt across a byte piece", 31001, after_air(30718, Bytes(5, 0x80)), too_big,
       1},
      {"too long a VarInt filling a byte piece's end", 31001, after_air(30715, Bytes(10, 0x80)),
       too_big, 1},
      {"VarInt cut by the end of a whole byte piece", 31001, after_air(30719, {0x81}),
       "! Sponge: Failed to process blocks: Sponge: VarInt array ended unexpectedly", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Layout layout;
    layout.width = c.width;
    layout.length = 1;
    layout.palette = palette;
    layout.ids = c.ids;
    std::vector<std::string> blocks = read_all(document(layout));
    EXPECT_EQ(blocks.size(), c.expected_count);
    ASSERT_FALSE(blocks.empty());
    EXPECT_EQ(blocks.back(), c.expected_last);
  }
}

TEST(SpongeReaderTest, DocumentErrors) {
  struct Case {
    const char* name;
    std::function<Bytes()> make;
    std::string message;
  };
  auto with = [](std::function<void(Layout&)> change) {
    return [change] {
      Layout layout;
      change(layout);
      return document(layout);
    };
  };
  auto raw = [](std::function<void(NbtWriter&)> members) {
    return [members] {
      NbtWriter w;
      w.compound("");
      members(w);
      w.end();
      return w.bytes();
    };
  };
  const std::vector<Case> cases = {
      {"Schematic is an Int", raw([](NbtWriter& w) {
         w.int_("Schematic", 1).short_("Width", 1).short_("Height", 1).short_("Length", 1);
       }),
       "Sponge: Missing or invalid 'Schematic' tag"},
      {"no sizes", raw([](NbtWriter& w) { w.int_("Version", 2); }),
       "Sponge: Missing or invalid 'Height' tag"},
      {"Width is an Int",
       raw([](NbtWriter& w) { w.short_("Height", 1).short_("Length", 1).int_("Width", 1); }),
       "Sponge: Missing or invalid 'Width' tag"},
      {"Length missing", raw([](NbtWriter& w) { w.short_("Height", 1).short_("Width", 1); }),
       "Sponge: Missing or invalid 'Length' tag"},
      {"Blocks is a ByteArray (old layout)", raw([](NbtWriter& w) {
         w.short_("Height", 1)
             .short_("Length", 1)
             .short_("Width", 1)
             .byte_array("Blocks", Bytes{1});
       }),
       "Sponge: Failed to process palette: Sponge: 'Blocks' tag is not a Compound"},
      {"Palette value is a Short", raw([](NbtWriter& w) {
         w.short_("Height", 1).short_("Length", 1).short_("Width", 1);
         w.compound("Palette").short_("minecraft:stone", 1).end().byte_array("BlockData", Bytes{1});
       }),
       "Sponge: Failed to process palette: Sponge: Palette entry value is not an Int"},
      {"Palette is a List", raw([](NbtWriter& w) {
         w.short_("Height", 1).short_("Length", 1).short_("Width", 1);
         w.list("Palette", NbtKind::Int).end().byte_array("BlockData", Bytes{1});
       }),
       "Sponge: Failed to process palette: Sponge: 'Palette' tag is not a Compound"},
      {"bad state text", with([](Layout& l) {
         l.palette = {{"minecraft:Stone[a=b]", 1}};
       }),
       "Sponge: Failed to process palette: Malformed BlockState string: illegal character in path "
       "'Stone'"},
      {"no Palette", with([](Layout& l) { l.write_palette = false; }),
       "Sponge: Failed to process palette: Sponge: Missing 'Palette' tag"},
      {"no BlockData", with([](Layout& l) { l.write_ids = false; }),
       "Sponge: Failed to process blocks: Sponge: Missing 'BlockData' tag"},
      {"no Data", with([](Layout& l) {
         l.nested = true;
         l.write_ids = false;
       }),
       "Sponge: Failed to process blocks: Sponge: Missing 'Data' tag"},
      {"BlockData is an IntArray", raw([](NbtWriter& w) {
         w.short_("Height", 1).short_("Length", 1).short_("Width", 1);
         w.compound("Palette")
             .int_("minecraft:stone", 1)
             .end()
             .int_array("BlockData", std::vector<int32_t>{1});
       }),
       "Sponge: Failed to process blocks: Sponge: 'BlockData' tag is not a ByteArray"},
      {"zero width with ids", with([](Layout& l) { l.width = 0; }),
       "Sponge: Failed to process blocks: Sponge: Failed to copy block at pos BlockPosition { x: "
       "0, y: 0, z: 0 }: "
       "Position out of bounds and store is not resizable"},
      {"not NBT",
       [] {
         return Bytes{'K', 'B', 'R'};
       },
       "Sponge: Failed to read NBT data: invalid nbt: no root compound"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(read_all(c.make()), std::vector<std::string>{"! " + c.message});
  }
}

TEST(SpongeReaderTest, SizesAreUnsignedShorts) {
  Layout layout;
  layout.length = static_cast<int16_t>(40000);  // written as the Short -25536
  EXPECT_EQ(read_all(document(layout)), kExampleBlocks);
  auto boundary = stream_of(document(layout)).boundary();
  ASSERT_TRUE(boundary && *boundary);
  EXPECT_EQ(**boundary, (Boundary{{0, 0, 0}, 2, 1, 40000}));
}

TEST(SpongeReaderTest, ZeroSizedEmptyBoxReadsNoBlocks) {
  Layout layout;
  layout.width = 0;
  layout.ids = {};
  EXPECT_EQ(read_all(document(layout)), std::vector<std::string>{});
}

TEST(SpongeReaderTest, ErrorAfterTheDocumentIsReported) {
  // A damaged gzip member reports its checksum only after the last byte of the document.
  EXPECT_EQ(read_all(document(Layout{}), "corrupt gzip stream does not have a matching checksum"),
            std::vector<std::string>{"! Sponge: Failed to read NBT data: io error: corrupt gzip "
                                     "stream does not have a matching checksum"});
  // Trailing bytes after the document are passed over.
  Bytes padded = document(Layout{});
  padded.insert(padded.end(), 5000, 0xAB);
  EXPECT_EQ(read_all(padded), kExampleBlocks);
}

TEST(SpongeReaderTest, EveryTruncationFails) {
  Bytes whole = document(Layout{});
  for (size_t cut = 0; cut < whole.size(); ++cut) {
    SCOPED_TRACE(cut);
    auto result = read_all(Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut)));
    ASSERT_EQ(result.size(), 1u);
    EXPECT_EQ(result[0].rfind("! Sponge: Failed to read NBT data: ", 0), 0u) << result[0];
  }
}

// --- The real files of the shared corpus, when present. ---

std::filesystem::path corpus_dir() {
  auto real = testing::real_corpus_dir();
  return real ? *real / "sponge" : std::filesystem::path();
}

Bytes gunzip(const std::filesystem::path& path) {
  auto packed = testing::read_file(path);
  auto out = packed ? testing::gunzip(*packed) : std::nullopt;
  return out ? *out : Bytes{};
}

// Counts the non-air blocks of a decoded document independently of the reader; -1 when the
// palette holds a state with properties outside the "minecraft:" namespace, which the state grammar
// refuses.
std::optional<int64_t> count_non_air(const Bytes& bytes) {
  BufferedSource source(std::make_unique<MemorySource>(bytes));
  auto root = decode_nbt_tree(source);
  if (!root) return std::nullopt;
  const NbtCompound* schematic = root->as<NbtCompound>();
  if (const NbtValue* nested = schematic->find("Schematic")) schematic = nested->as<NbtCompound>();
  const NbtCompound* container = schematic;
  if (const NbtValue* blocks = schematic->find("Blocks")) container = blocks->as<NbtCompound>();
  if (!container || !container->find("Palette")) return std::nullopt;
  std::map<int32_t, bool> air;
  for (const auto& [text, id] : *container->find("Palette")->as<NbtCompound>()) {
    if (text.find('[') != std::string::npos && text.rfind("minecraft:", 0) != 0) return -1;
    std::string name = text.substr(0, text.find('['));
    air[*id.as<int32_t>()] =
        name == "minecraft:air" || name == "minecraft:cave_air" || name == "minecraft:void_air";
  }
  const NbtValue* data = container->find(container == schematic ? "BlockData" : "Data");
  int64_t count = 0;
  int32_t value = 0;
  int shift = 0;
  for (uint8_t byte : *data->as<NbtByteArray>()) {
    value |= (byte & 0x7F) << shift;
    shift += 7;
    if (byte & 0x80) continue;
    if (!air.at(value)) ++count;
    value = 0;
    shift = 0;
  }
  return count;
}

TEST(SpongeReaderTest, RealFilesMatchAnIndependentCount) {
  if (!std::filesystem::is_directory(corpus_dir())) GTEST_SKIP() << "no shared corpus";
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(corpus_dir())) {
    SCOPED_TRACE(entry.path().filename().string());
    Bytes bytes = gunzip(entry.path());
    ASSERT_FALSE(bytes.empty());
    std::optional<int64_t> expected = count_non_air(bytes);
    ASSERT_TRUE(expected.has_value());
    SpongeSchematicInputStream stream(std::make_unique<MemorySource>(std::move(bytes)));
    int64_t count = 0;
    while (true) {
      std::vector<Block> bulk;
      auto outcome = stream.read(bulk, 4096);
      if (*expected < 0) {
        ASSERT_FALSE(outcome.has_value());
        EXPECT_EQ(outcome.error().message.rfind(
                      "Sponge: Failed to process palette: Malformed BlockState", 0),
                  0u);
        count = -1;
        break;
      }
      ASSERT_TRUE(outcome.has_value()) << outcome.error().message;
      if (!*outcome) break;
      count += **outcome;
      for (const Block& block : bulk) ASSERT_FALSE(block.state->is_air());
    }
    EXPECT_EQ(count, *expected);
    ++files;
  }
  EXPECT_GT(files, 30);
}

TEST(SpongeReaderTest, SparseLargeBoxCostsWhatItStores) {
  // 2047 cubed positions and three ids: the read must not walk the empty rest of the box.
  Layout layout;
  layout.width = layout.height = layout.length = 2047;
  layout.ids = {0x01, 0x00, 0x01};
  EXPECT_EQ(read_all(document(layout)),
            (std::vector<std::string>{"0,0,0 minecraft:stone", "2,0,0 minecraft:stone"}));
}

TEST(SpongeReaderTest, PaletteMemoryIsBounded) {
  // 210,000 distinct states of 200-byte names hold more than the palette may take.
  Layout layout;
  layout.palette.clear();
  for (int32_t i = 0; i < 210000; ++i) {
    std::string name = "minecraft:" + std::to_string(i);
    layout.palette[name + std::string(200 - name.size(), 'a')] = i;
  }
  EXPECT_EQ(
      read_all(document(layout)),
      (std::vector<std::string>{"! Sponge: Failed to process palette: Sponge: Palette exceeds "
                                "67108864 bytes of block states"}));

  // Over a million short entries: a few bytes each in the file, tens of bytes each in the tree,
  // and more than the palette could take anyway.
  layout.palette.clear();
  for (int32_t i = 0; i < (1 << 20) + 10; ++i) layout.palette[std::to_string(i)] = i;
  EXPECT_EQ(read_all(document(layout)),
            (std::vector<std::string>{
                "! Sponge: Failed to read NBT data: nbt tree keeps more than 1048576 values"}));
}

TEST(SpongeReaderTest, DistinctIdsAreBounded) {
  // Every block a new id: the store takes 262,144 of them; the next is refused where it lies.
  Layout layout;
  layout.width = 1000;
  layout.height = 300;
  layout.length = 1;
  layout.ids.clear();
  for (uint32_t id = 10; id < 10 + 300000; ++id) {
    for (uint32_t v = id;; v >>= 7) {
      layout.ids.push_back(static_cast<uint8_t>((v & 0x7F) | (v > 0x7F ? 0x80 : 0)));
      if (v <= 0x7F) break;
    }
  }
  EXPECT_EQ(read_all(document(layout)),
            (std::vector<std::string>{
                "! Sponge: Failed to process blocks: Sponge: Failed to copy block at pos "
                "BlockPosition { x: 144, y: 262, z: 0 }: Too many distinct temporary ids (more "
                "than 262144)"}));
}

}  // namespace
}  // namespace kubrel
