// Tests of the structure file reader over documents built by NbtWriter, and over the real
// structure files of the shared corpus when it is present.
#include "formats/mojang_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "io/file_source.h"
#include "io/gzip_source.h"
#include "nbt/nbt_tree.h"
#include "support/corpus.h"
#include "support/nbt_writer.h"
#include "support/scripted_source.h"

namespace kubrel {
namespace {

using testing::NbtWriter;
using testing::ScriptedSource;
using Bytes = std::vector<uint8_t>;

// With `fail_at_end`, the read after the document fails with "scripted failure" (the documents
// here are read whole by the parser's first 8192-byte read).
MojangSchematicInputStream stream_of(Bytes bytes, bool fail_at_end = false) {
  std::set<size_t> failing;
  if (fail_at_end) failing.insert(1);
  return MojangSchematicInputStream(std::make_unique<ScriptedSource>(
      std::move(bytes), std::make_shared<testing::SourceLog>(), SIZE_MAX, std::move(failing)));
}

// "x,y,z name[k=v,...]" with the properties sorted, so that states compare whatever their order.
std::string render(const BlockPosition& p, std::string name,
                   std::vector<std::pair<std::string, std::string>> properties) {
  std::sort(properties.begin(), properties.end());
  std::string text =
      std::to_string(p.x) + "," + std::to_string(p.y) + "," + std::to_string(p.z) + " " + name;
  if (properties.empty()) return text;
  text += "[";
  for (size_t i = 0; i < properties.size(); ++i)
    text += (i ? "," : "") + properties[i].first + "=" + properties[i].second;
  return text + "]";
}

std::string render(const Block& block) {
  return render(block.position, block.state->name(), block.state->properties());
}

// Every block of the document, or the first error.
std::vector<std::string> read_all(Bytes bytes, bool fail_at_end = false) {
  MojangSchematicInputStream stream = stream_of(std::move(bytes), fail_at_end);
  auto blocks = stream.read_to_end_into_vec();
  if (!blocks) return {"! " + blocks.error().message};
  std::vector<std::string> out;
  for (const Block& block : *blocks) out.push_back(render(block));
  return out;
}

NbtWriter& block(NbtWriter& w, int32_t x, int32_t y, int32_t z, int32_t state) {
  return w.compound("").int_list("pos", {x, y, z}).int_("state", state).end();
}

NbtWriter& entry(NbtWriter& w, std::string_view name) {
  return w.compound("").string("Name", name).end();
}

// The root compound around `members`.
Bytes document(const std::function<void(NbtWriter&)>& members) {
  NbtWriter w;
  w.compound("");
  members(w);
  w.end();
  return w.bytes();
}

// The smallest example: stone at (0,0,0), air at (1,0,0), the palette last.
Bytes example(std::string_view size = "size", std::string_view blocks = "blocks",
              std::string_view palette = "palette") {
  return document([&](NbtWriter& w) {
    w.int_("DataVersion", 3465).int_list(size, {2, 1, 1});
    w.list(blocks, NbtKind::Compound);
    block(w, 0, 0, 0, 1);
    block(w, 1, 0, 0, 0);
    w.end().list(palette, NbtKind::Compound);
    entry(w, "minecraft:air");
    entry(w, "minecraft:stone");
    w.end();
  });
}

TEST(MojangReaderTest, ReadsTheExampleWhateverTheCaseOfListNames) {
  const std::array<std::array<const char*, 3>, 4> spellings = {{
      {"size", "blocks", "palette"},
      {"Size", "Blocks", "Palette"},
      {"SIZE", "bLoCkS", "PALETTE"},
      {"size", "bloc\xE2\x84\xAAs", "palette"},  // Kelvin sign, whose lower case is "k"
  }};
  for (const auto& names : spellings) {
    SCOPED_TRACE(names[1]);
    MojangSchematicInputStream stream = stream_of(example(names[0], names[1], names[2]));
    auto boundary = stream.boundary();
    ASSERT_TRUE(boundary) << boundary.error().message;
    EXPECT_EQ(*boundary, (Boundary{{0, 0, 0}, 2, 1, 1}));
    std::vector<Block> blocks;
    auto count = stream.read(blocks, 1024);
    ASSERT_TRUE(count) << count.error().message;
    EXPECT_EQ(*count, ReadCount{1});
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(render(blocks[0]), "0,0,0 minecraft:stone");
    EXPECT_EQ(*stream.read(blocks, 1024), ReadCount{});
    EXPECT_EQ(*stream.read(blocks, 1024), ReadCount{});
  }
}

TEST(MojangReaderTest, PaletteEntries) {
  Bytes bytes = document([](NbtWriter& w) {
    w.int_list("size", {5, 1, 1}).list("palette", NbtKind::Compound);
    w.compound("").string("Name", "minecraft:oak_log");
    w.compound("Properties").string("axis", "y").string("waterlogged", "false").end().end();
    entry(w, "minecraft:stone");
    // Lists inside an entry do not end the palette.
    w.compound("").string("Name", "minecraft:chest").list("tags", NbtKind::String);
    w.string("", "a").end().end();
    w.compound("").string("name", "minecraft:dirt").end();  // no "Name": empty type name
    w.compound("").end();
    w.end().list("blocks", NbtKind::Compound);
    for (int i = 0; i < 5; ++i) block(w, i, 0, 0, i);
    w.end();
  });
  EXPECT_EQ(read_all(bytes), (std::vector<std::string>{
                                 "0,0,0 minecraft:oak_log[axis=y,waterlogged=false]",
                                 "1,0,0 minecraft:stone",
                                 "2,0,0 minecraft:chest",
                                 "3,0,0 [name=minecraft:dirt]",
                                 "4,0,0 ",
                             }));
}

TEST(MojangReaderTest, BlockEntries) {
  Bytes bytes = document([](NbtWriter& w) {
    w.int_list("size", {3, 2, 2});
    w.list("palette", NbtKind::Compound);
    entry(w, "minecraft:chest");
    entry(w, "minecraft:stone");
    entry(w, "minecraft:dirt");
    w.end().list("blocks", NbtKind::Compound);
    // Block entity data with lists of its own (a three-Int one too) and an Int named "state",
    // before and after the entry's own "pos".
    w.compound("").compound("nbt").list("Items", NbtKind::Compound);
    w.compound("").byte("Slot", 0).string("id", "minecraft:apple").int_list("xyz", {2, 1, 1});
    w.end().end().int_("state", 1).end();
    w.int_list("pos", {1, 0, 1});
    w.compound("more").int_list("target", {0, 1, 0}).end();
    w.list("deeper", NbtKind::List).int_list("", {2, 1, 1}).end();
    w.int_("state", 0).end();
    // "state" before the position list, which may have any name.
    w.compound("").int_("state", 1).int_list("position", {2, 1, 0}).end();
    // An entry without a position list reuses the last position; the later block replaces the
    // earlier one.
    w.compound("").int_("state", 2).end();
    // An entry without "state" places nothing.
    w.compound("").int_list("pos", {0, 1, 1}).end();
    block(w, 0, 0, 0, 1);
    // The usual two members with "state" first; the next entry reuses that position.
    w.compound("").int_("state", 0).int_list("pos", {2, 0, 1}).end();
    w.compound("").int_("state", 2).end();
    w.end();
  });
  EXPECT_EQ(read_all(bytes), (std::vector<std::string>{
                                 "0,0,0 minecraft:stone",
                                 "1,0,1 minecraft:chest",
                                 "2,0,1 minecraft:dirt",
                                 "2,1,0 minecraft:dirt",
                             }));
}

TEST(MojangReaderTest, BulksFollowTheWalkWhateverTheFileOrder) {
  // A 3x3x3 box written backwards, air on the last three positions of the walk.
  Bytes bytes = document([](NbtWriter& w) {
    w.list("blocks", NbtKind::Compound);
    for (int i = 26; i >= 0; --i) block(w, i / 9, (i / 3) % 3, i % 3, i >= 24 ? 0 : 1);
    w.end().list("palette", NbtKind::Compound);
    entry(w, "minecraft:cave_air");
    entry(w, "minecraft:stone");
    w.end().int_list("size", {3, 3, 3});
  });
  // Blocks before the size list go into a store of size 0, which refuses them.
  EXPECT_EQ(read_all(bytes),
            std::vector<std::string>{"! Position out of bounds and store is not resizable"});

  bytes.erase(bytes.begin(), bytes.begin() + 3);  // drop the root header
  NbtWriter w;
  w.compound("").int_list("size", {3, 3, 3}).raw(bytes);
  MojangSchematicInputStream stream = stream_of(w.bytes());
  std::vector<Block> blocks;
  std::vector<size_t> counts;
  while (true) {
    auto count = stream.read(blocks, 5);
    ASSERT_TRUE(count) << count.error().message;
    if (!*count) break;
    counts.push_back(**count);
  }
  // 24 stone blocks in bulks of 5; the call that walks over the trailing air finds 4.
  EXPECT_EQ(counts, (std::vector<size_t>{5, 5, 5, 5, 4}));
  ASSERT_EQ(blocks.size(), 24u);
  for (int i = 0; i < 24; ++i) {
    EXPECT_EQ(blocks[i].position, (BlockPosition{i / 9, (i / 3) % 3, i % 3}));
  }
  std::vector<Block> more;
  EXPECT_EQ(*stream.read(more, 0), ReadCount{0});
}

TEST(MojangReaderTest, EmptyBox) {
  Bytes bytes = document([](NbtWriter& w) {
    w.int_list("size", {0, 4, 4}).list("palette", NbtKind::Compound).end();
    w.list("blocks", NbtKind::Compound).end();
  });
  MojangSchematicInputStream stream = stream_of(bytes);
  EXPECT_EQ(*stream.boundary(), std::optional<Boundary>{});
  std::vector<Block> blocks;
  auto count = stream.read(blocks, 1024);
  ASSERT_TRUE(count) << count.error().message;
  EXPECT_EQ(*count, ReadCount{});
}

struct FailureCase {
  const char* label;
  Bytes document;
  std::string message;
  bool fail_at_end = false;  // the source fails after the last byte
};

std::vector<FailureCase> failure_cases() {
  Bytes full = example();
  auto cut_in_entry = [](std::initializer_list<uint8_t> tail) {
    NbtWriter w;
    w.compound("").int_list("size", {1, 1, 1}).list("palette", NbtKind::Compound).end();
    w.list("blocks", NbtKind::Compound, 1).compound("").int_list("pos", {0, 0, 0}).raw(tail);
    return w.bytes();
  };
  NbtWriter cut_after_lists;
  cut_after_lists.compound("").int_list("size", {1, 1, 1}).list("palette", NbtKind::Compound);
  cut_after_lists.end();
  auto without_palette = [](NbtWriter& w) {
    w.int_list("size", {2, 1, 1}).list("blocks", NbtKind::Compound);
    block(w, 0, 0, 0, 0);
    w.end();
  };
  return {
      {"empty input", {}, "Mojang: Size not found in header"},
      {"only a size", document([](NbtWriter& w) {
         w.int_list("size", {1, 1, 1});
       }),
       "Mojang: Palette not found in header"},
      {"no blocks", document([](NbtWriter& w) {
         w.int_list("size", {1, 1, 1}).list("palette", NbtKind::Compound).end();
       }),
       "Mojang: Blocks not found in header"},
      {"size of Longs", document([](NbtWriter& w) {
         w.list("size", NbtKind::Long).long_("", 1).long_("", 1).long_("", 1).end();
         w.list("palette", NbtKind::Compound).end().list("blocks", NbtKind::Compound).end();
       }),
       "Mojang: Size not found in header"},
      {"size of two Ints", document([](NbtWriter& w) {
         w.int_list("size", {1, 1});
         w.list("palette", NbtKind::Compound).end().list("blocks", NbtKind::Compound).end();
       }),
       "Mojang: Size not found in header"},
      {"only a list of palettes", document([](NbtWriter& w) {
         w.int_list("size", {1, 1, 1}).list("palettes", NbtKind::List);
         w.list("", NbtKind::Compound);
         entry(w, "minecraft:stone");
         w.end().end().list("blocks", NbtKind::Compound);
         block(w, 0, 0, 0, 0);
         w.end();
       }),
       "Mojang: Palette not found in header"},
      {"bad tag between lists", document([](NbtWriter& w) { w.raw({13}); }),
       "NBT Stream Error: invalid tag: 13"},
      {"source fails after the document", full, "NBT Stream Error: scripted failure", true},
      {"cut inside a block entry", cut_in_entry({3, 0}), "failed to fill whole buffer"},
      {"cut between members of a block entry", cut_in_entry({}), "EOF"},
      {"cut between top-level tags", cut_after_lists.bytes(), "Mojang: Blocks not found in header"},
      {"palette id missing", document([](NbtWriter& w) {
         w.int_list("size", {1, 1, 1}).list("palette", NbtKind::Compound).end();
         w.list("blocks", NbtKind::Compound);
         block(w, 0, 0, 0, 3);
         w.end();
       }),
       "Temporary ID not found in actual palette"},
      {"block outside the box", document([](NbtWriter& w) {
         w.int_list("size", {1, 1, 1}).list("palette", NbtKind::Compound).end();
         w.list("blocks", NbtKind::Compound);
         block(w, 0, 1, 0, 0);
         w.end();
       }),
       "Position out of bounds and store is not resizable"},
      {"blocks without palette", document(without_palette), "Mojang: Palette not found in header"},
  };
}

TEST(MojangReaderTest, Failures) {
  for (const FailureCase& c : failure_cases()) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(read_all(c.document, c.fail_at_end), std::vector<std::string>{"! " + c.message});
  }
}

TEST(MojangReaderTest, HeaderIsReadOnce) {
  // With a block list but no palette, later reads fail on the store.
  MojangSchematicInputStream stream = stream_of(failure_cases().back().document);
  std::vector<Block> blocks;
  EXPECT_EQ(stream.read(blocks, 1024).error().message, "Mojang: Palette not found in header");
  EXPECT_EQ(stream.read(blocks, 1024).error().message,
            "Can not access blocks if palette is not provided");
  EXPECT_EQ(*stream.boundary(), (Boundary{{0, 0, 0}, 2, 1, 1}));

  // Without a block list there is no store at all.
  MojangSchematicInputStream size_only = stream_of(document([](NbtWriter& w) {
    w.int_list("size", {4, 5, 6});
  }));
  EXPECT_EQ(size_only.boundary().error().message, "Mojang: Palette not found in header");
  EXPECT_EQ(size_only.read(blocks, 1024).error().message, "Blocks not initialized");
  EXPECT_EQ(*size_only.boundary(), (Boundary{{0, 0, 0}, 4, 5, 6}));
}

TEST(MojangReaderTest, RootOutlineOnceTheRootHasEnded) {
  Bytes cut = example(), trailing = example();
  cut.resize(cut.size() - 2);
  trailing.push_back(0xFF);
  const Bytes nested = document([](NbtWriter& w) {
    w.compound("Schematic").short_("Height", 1).list("L", NbtKind::Compound);
    w.compound("").short_("Width", 1).end().end().end().int_("Version", 3);
  });
  const Bytes crowded = document([](NbtWriter& w) {
    for (size_t i = 0; i <= RootOutline::kMaxMembers; ++i) {
      std::string name = "b";
      name += std::to_string(i);
      w.byte(name, 0);
    }
  });
  const Bytes list_root = {9, 0, 0, 3, 0, 0, 0, 0};
  // Members of the root, or none for no outline; "Name", "pos", "Height" and "Width" stand deeper.
  using Members = std::optional<std::set<std::string>>;
  const Members structure = std::set<std::string>{"DataVersion", "size", "blocks", "palette"};
  const std::vector<std::pair<Bytes, Members>> cases = {
      {example(), structure}, {trailing, structure},   {nested, {{"Schematic", "Version"}}},
      {cut, std::nullopt},    {crowded, std::nullopt}, {list_root, std::nullopt}};
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    MojangSchematicInputStream stream = stream_of(cases[i].first);
    (void)stream.boundary();
    const RootOutline* outline = stream.root_outline();
    ASSERT_EQ(outline != nullptr, cases[i].second.has_value());
    if (!outline) continue;
    for (const char* name : {"DataVersion", "size", "blocks", "palette", "Schematic", "Version",
                             "Name", "pos", "Height", "Width", "L"}) {
      EXPECT_EQ(outline->has(name), cases[i].second->contains(name)) << name;
    }
  }
}

TEST(MojangReaderTest, EveryTruncationEndsCleanly) {
  Bytes full = example();
  const std::vector<std::string> expected = {"0,0,0 minecraft:stone"};
  ASSERT_EQ(read_all(full), expected);
  size_t complete = 0;
  for (size_t length = 0; length < full.size(); ++length) {
    SCOPED_TRACE("prefix of " + std::to_string(length) + " bytes");
    std::vector<std::string> result = read_all(Bytes(full.begin(), full.begin() + length));
    // A cut after the last list but before the root's End tag reads as the whole document.
    if (result == expected) {
      ++complete;
      continue;
    }
    ASSERT_EQ(result.size(), 1u);
    EXPECT_EQ(result[0].substr(0, 2), "! ");
  }
  EXPECT_EQ(complete, 1u);
}

// The decompressed bytes of the gzip'd file at `path`, through the input decoding chain.
std::unique_ptr<ByteSource> open_gzip(const std::filesystem::path& path) {
  auto file = FileSource::open(path.string());
  if (!file) return nullptr;
  return make_gzip_chain(std::move(*file));
}

// The non-air blocks of a structure document worked out from its tree, in walk order; or the
// reader's message when the document has no "palette" list.
std::vector<std::string> expected_blocks(const NbtCompound& root) {
  const NbtValue* palette = root.find("palette");
  if (palette == nullptr) return {"! Mojang: Palette not found in header"};
  std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>> states;
  for (const NbtValue& element : palette->as<NbtList>()->elements) {
    const NbtCompound& e = *element.as<NbtCompound>();
    std::vector<std::pair<std::string, std::string>> properties;
    if (const NbtValue* p = e.find("Properties")) {
      for (const auto& [key, value] : *p->as<NbtCompound>())
        properties.emplace_back(key, *value.as<std::string>());
    }
    states.emplace_back(*e.find("Name")->as<std::string>(), std::move(properties));
  }
  // Ordered by x, then y, then z: the walk order. A later entry at a position replaces one before.
  std::map<std::array<int32_t, 3>, size_t> placed;
  for (const NbtValue& element : root.find("blocks")->as<NbtList>()->elements) {
    const NbtCompound& b = *element.as<NbtCompound>();
    const auto& pos = b.find("pos")->as<NbtList>()->elements;
    placed[{*pos[0].as<int32_t>(), *pos[1].as<int32_t>(), *pos[2].as<int32_t>()}] =
        static_cast<size_t>(*b.find("state")->as<int32_t>());
  }
  std::vector<std::string> out;
  for (const auto& [p, id] : placed) {
    const auto& [name, properties] = states.at(id);
    if (name == "minecraft:air" || name == "minecraft:cave_air" || name == "minecraft:void_air")
      continue;
    out.push_back(render({p[0], p[1], p[2]}, name, properties));
  }
  return out;
}

// From the corpus manifest: file name to the "N blocks listed" of its notes.
std::map<std::string, size_t> listed_block_counts(const std::filesystem::path& manifest) {
  std::map<std::string, size_t> counts;
  std::ifstream in(manifest);
  const std::regex row(R"(^structure/([^\t]+)\t.*\t(\d+) blocks listed)");
  std::smatch match;
  for (std::string line; std::getline(in, line);) {
    if (std::regex_search(line, match, row)) counts[match[1]] = std::stoul(match[2]);
  }
  return counts;
}

TEST(MojangReaderTest, RealStructureFiles) {
  auto real = testing::real_corpus_dir();
  if (!real) GTEST_SKIP() << "no shared corpus";
  const std::filesystem::path folder = *real / "structure";
  const std::map<std::string, size_t> listed =
      listed_block_counts(folder.parent_path() / "MANIFEST.tsv");
  size_t files = 0;
  size_t counted = 0;
  for (const auto& file : std::filesystem::directory_iterator(folder)) {
    if (file.path().extension() != ".nbt") continue;
    SCOPED_TRACE(file.path().filename().string());
    std::unique_ptr<ByteSource> tree_source = open_gzip(file.path());
    ASSERT_NE(tree_source, nullptr);
    auto buffered = as_buffered_source(std::move(tree_source));
    auto root = decode_nbt_tree(*buffered);
    ASSERT_TRUE(root) << root.error().message;
    const NbtCompound& compound = *root->as<NbtCompound>();
    auto count = listed.find(file.path().filename().string());
    if (count != listed.end()) {
      EXPECT_EQ(compound.find("blocks")->as<NbtList>()->elements.size(), count->second);
      ++counted;
    }
    std::vector<std::string> expected = expected_blocks(compound);

    MojangSchematicInputStream stream(open_gzip(file.path()));
    auto blocks = stream.read_to_end_into_vec();
    std::vector<std::string> got;
    if (!blocks) got.push_back("! " + blocks.error().message);
    for (const Block& b : blocks.value_or(std::vector<Block>{})) got.push_back(render(b));
    EXPECT_EQ(got, expected);
    ++files;
  }
  EXPECT_GT(files, 0u);
  EXPECT_GT(counted, 0u);
}

TEST(MojangReaderTest, SparseLargeBoxCostsWhatItStores) {
  // The largest cube the store takes, with three blocks: walking it position by position would
  // visit 8.6 billion positions. Bulks of one show where each call resumes.
  Bytes bytes = document([](NbtWriter& w) {
    w.int_list("size", {2047, 2047, 2047}).list("palette", NbtKind::Compound);
    entry(w, "minecraft:stone");
    entry(w, "minecraft:air");
    w.end().list("blocks", NbtKind::Compound);
    block(w, 2046, 2046, 2046, 0);
    block(w, 5, 5, 5, 1);
    block(w, 0, 0, 0, 0);
    w.end();
  });
  MojangSchematicInputStream stream = stream_of(bytes);
  std::vector<std::string> seen;
  for (int call = 0; call < 3; ++call) {
    std::vector<Block> bulk;
    auto count = stream.read(bulk, 1);
    ASSERT_TRUE(count) << count.error().message;
    seen.push_back(*count ? std::to_string(**count) : "end");
    for (const Block& b : bulk) seen.push_back(render(b));
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"1", "0,0,0 minecraft:stone", "1",
                                            "2046,2046,2046 minecraft:stone", "end"}));

  // An unresolvable block fails every call at the same place, after the blocks before it.
  Bytes missing = document([](NbtWriter& w) {
    w.int_list("size", {2047, 2047, 2047}).list("palette", NbtKind::Compound);
    entry(w, "minecraft:stone");
    w.end().list("blocks", NbtKind::Compound);
    block(w, 0, 0, 1, 0);
    block(w, 2000, 0, 0, 7);
    w.end();
  });
  MojangSchematicInputStream failing = stream_of(missing);
  for (int call = 0; call < 2; ++call) {
    std::vector<Block> bulk;
    auto count = failing.read(bulk, 1024);
    ASSERT_FALSE(count.has_value());
    EXPECT_EQ(count.error().message, "Temporary ID not found in actual palette");
    ASSERT_EQ(bulk.size(), 1u);
    EXPECT_EQ(render(bulk[0]), "0,0,1 minecraft:stone");
  }
}

TEST(MojangReaderTest, PaletteMemoryIsBounded) {
  const std::string refused = "! Mojang: Palette exceeds 67108864 bytes of block states";
  // A million empty entries: one byte each in the file, a state each in memory.
  Bytes empty_entries = document([](NbtWriter& w) {
    w.int_list("size", {1, 1, 1}).list("palette", NbtKind::Compound);
    for (int i = 0; i < 1000000; ++i) w.compound("").end();
    w.end().list("blocks", NbtKind::Compound).end();
  });
  EXPECT_EQ(read_all(empty_entries), std::vector<std::string>{refused});
  // One entry with a million properties.
  Bytes wide_entry = document([](NbtWriter& w) {
    w.int_list("size", {1, 1, 1}).list("palette", NbtKind::Compound).compound("");
    for (int i = 0; i < 1000000; ++i) w.string(std::to_string(i), "");
    w.end().end().list("blocks", NbtKind::Compound).end();
  });
  EXPECT_EQ(read_all(wide_entry), std::vector<std::string>{refused});

  // An ordinary palette of 100,000 entries reads.
  const int32_t entries = 100000;
  Bytes large = document([&](NbtWriter& w) {
    w.int_list("size", {entries, 1, 1}).list("palette", NbtKind::Compound);
    for (int32_t i = 0; i < entries; ++i) {
      w.compound("").string("Name", "minecraft:block_" + std::to_string(i));
      w.compound("Properties").string("facing", "north").string("waterlogged", "false").end();
      w.end();
    }
    w.end().list("blocks", NbtKind::Compound);
    for (int32_t i = 0; i < entries; ++i) block(w, i, 0, 0, entries - 1 - i);
    w.end();
  });
  std::vector<std::string> blocks = read_all(large);
  ASSERT_EQ(blocks.size(), size_t{entries});
  EXPECT_EQ(blocks.front(), "0,0,0 minecraft:block_99999[facing=north,waterlogged=false]");
  EXPECT_EQ(blocks.back(), "99999,0,0 minecraft:block_0[facing=north,waterlogged=false]");
}

}  // namespace
}  // namespace kubrel
