// Writes the seed corpus of every fuzz target: documents built with the test writers (valid ones
// of each format and layout, and a few broken ones), gzip members of them with every header field,
// and, when the real corpus is present, its smaller files decompressed and as they are.
//
//   make_seeds OUT_DIR    -> OUT_DIR/<target>/<seed name>
#include <zlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "formats/kbr_reader.h"
#include "support/corpus.h"
#include "support/kbr_writer.h"
#include "support/nbt_writer.h"
#include "world/region_file.h"

namespace {

using kubrel::AxisOrder;
using kubrel::KbrWriter;
using kubrel::NbtKind;
using kubrel::testing::NbtWriter;
using Bytes = std::vector<uint8_t>;
using namespace std::string_view_literals;

// Seeds larger than this are left out; the targets run with the same -max_len.
constexpr size_t kMaxSeed = 64 * 1024;

std::map<std::string, std::vector<std::pair<std::string, Bytes>>> g_seeds;

void add(const std::string& target, const std::string& name, const Bytes& bytes) {
  if (bytes.size() <= kMaxSeed) g_seeds[target].emplace_back(name, bytes);
}

Bytes text(std::string_view s) {
  return Bytes(s.begin(), s.end());
}

std::map<std::string, Bytes> kbr_documents() {
  std::map<std::string, Bytes> docs;
  docs["example"] = KbrWriter()
                        .header({0, 0, 0}, {4, 0, 0}, AxisOrder::XYZ)
                        .define("minecraft:stone")
                        .run(2, 5)
                        .bytes();
  docs["air_and_stone"] = KbrWriter()
                              .header({0, 0, 0}, {2, 0, 0}, AxisOrder::XYZ)
                              .define("minecraft:air")
                              .define("minecraft:stone")
                              .run(2, 2)
                              .single(4)
                              .bytes();
  docs["differences"] =
      KbrWriter()
          .header({-1, -1, -1}, {1, 1, 1}, AxisOrder::ZYX)
          .define("minecraft:oak_stairs[facing=north,half=bottom,waterlogged=false]")
          .derive(2, "+half=top")
          .derive(4, "minecraft:spruce_stairs-half+half=top,shape=straight")
          .derive(2, "-waterlogged")
          .derive(8, "")
          .run(2, 3)
          .run(4, 4)
          .single(6)
          .run(8, 19)
          .bytes();
  for (int code = 0; code < 6; ++code) {
    docs["order_" + std::to_string(code)] =
        KbrWriter()
            .header({10, 20, 30}, {11, 22, 33}, static_cast<AxisOrder>(code))
            .define("minecraft:stone")
            .define("minecraft:cave_air")
            .run(2, 5)
            .run(4, 7)
            .define("minecraft:dirt")
            .run(6, 12)
            .bytes();
  }
  docs["header_only"] = KbrWriter().header({0, 0, 0}, {0, 0, 0}, AxisOrder::YZX).bytes();
  docs["long_air_run"] = KbrWriter()
                             .header({0, 0, 0}, {INT32_MAX - 1, 0, 0}, AxisOrder::XYZ)
                             .define("minecraft:air")
                             .define("minecraft:stone")
                             .run(2, INT32_MAX - 1)
                             .single(4)
                             .bytes();
  docs["bad_magic"] = KbrWriter().header_fields(1, 1, {0, 0, 0}, {1, 1, 1}, 0).bytes();
  docs["unknown_id"] = KbrWriter()
                           .header({0, 0, 0}, {1, 1, 1}, AxisOrder::XYZ)
                           .define("minecraft:stone")
                           .single(6)
                           .bytes();
  return docs;
}

NbtWriter& sponge_body(NbtWriter& w, bool nested) {
  w.short_("Width", 3)
      .short_("Height", 2)
      .short_("Length", 2)
      .int_("Version", nested ? 3 : 2)
      .int_("DataVersion", 3465)
      .int_array("Offset", std::vector<int32_t>{-5, 64, 7});
  w.compound("Metadata").string("Name", "seed").long_("Date", 1700000000000).end();
  if (nested) w.compound("Blocks");
  w.compound("Palette")
      .int_("minecraft:air", 0)
      .int_("minecraft:stone", 1)
      .int_("minecraft:oak_stairs[facing=east,half=top]", 2)
      .int_("minecraft:chest[facing=north]", 130)
      .end();
  Bytes ids = {0x00, 0x01, 0x02, 0x82, 0x01, 0x01, 0x00, 0x02, 0x01, 0x01, 0x00, 0x82, 0x01};
  w.byte_array(nested ? "Data" : "BlockData", ids);
  w.list("BlockEntities", NbtKind::Compound)
      .compound("")
      .int_array("Pos", std::vector<int32_t>{0, 1, 1})
      .string("Id", "minecraft:chest")
      .list("Items", NbtKind::Compound)
      .compound("")
      .byte("Count", 1)
      .string("id", "minecraft:apple")
      .end()
      .end()
      .end()
      .end();
  if (nested) w.end();
  return w;
}

std::map<std::string, Bytes> sponge_documents() {
  std::map<std::string, Bytes> docs;
  NbtWriter flat;
  flat.compound("Schematic");
  sponge_body(flat, false).end();
  docs["sponge_flat"] = flat.bytes();
  NbtWriter nested;
  nested.compound("").compound("Schematic");
  sponge_body(nested, true).end().end();
  docs["sponge_nested"] = nested.bytes();
  NbtWriter empty;
  empty.compound("")
      .short_("Width", 0)
      .short_("Height", 0)
      .short_("Length", 0)
      .compound("Palette")
      .end()
      .byte_array("BlockData", Bytes{})
      .end();
  docs["sponge_empty"] = empty.bytes();
  return docs;
}

std::map<std::string, Bytes> legacy_documents() {
  std::map<std::string, Bytes> docs;
  Bytes blocks(4096, 1), nibbles(2048, 0x21);
  NbtWriter chunk;
  chunk.compound("").compound("Level").int_("xPos", 0).int_("zPos", 0);
  chunk.list("Sections", NbtKind::Compound).compound("").byte("Y", 0).byte_array("Blocks", blocks);
  chunk.byte_array("Add", nibbles).byte_array("Data", nibbles).end().end();
  chunk.list("TileEntities", NbtKind::Compound).compound("").string("id", "Chest").int_("x", 1);
  chunk.int_("y", 2).int_("z", 3).end().end();
  chunk.int_array("Biomes", std::vector<int32_t>(256, 1)).end().end();
  docs["legacy_chunk"] = chunk.bytes();
  NbtWriter schematic;
  schematic.compound("Schematic").short_("Width", 2).short_("Height", 1).short_("Length", 2);
  schematic.byte_array("Blocks", Bytes{0, 1, 2, 35}).byte_array("Data", Bytes{0, 0, 3, 14});
  schematic.byte_array("AddBlocks", Bytes{0x10, 0}).string("Materials", "Alpha");
  schematic.compound("SchematicaMapping").short_("minecraft:stone", 1).end();
  schematic.int_("WEOffsetX", -1).int_("WEOffsetY", 0).int_("WEOffsetZ", 2).end();
  docs["legacy_schematic"] = schematic.bytes();
  return docs;
}

std::map<std::string, Bytes> mojang_documents() {
  std::map<std::string, Bytes> docs;
  auto palette = [](NbtWriter& w) -> NbtWriter& {
    w.list("palette", NbtKind::Compound)
        .compound("")
        .string("Name", "minecraft:air")
        .end()
        .compound("")
        .string("Name", "minecraft:oak_stairs")
        .compound("Properties")
        .string("facing", "west")
        .string("half", "bottom")
        .end()
        .end()
        .compound("")
        .string("Name", "minecraft:stone")
        .end()
        .end();
    return w;
  };
  auto blocks = [](NbtWriter& w) -> NbtWriter& {
    w.list("blocks", NbtKind::Compound)
        .compound("")
        .int_list("pos", {0, 0, 0})
        .int_("state", 1)
        .end()
        .compound("")
        .int_("state", 2)
        .int_list("pos", {1, 1, 2})
        .end()
        .compound("")
        .compound("nbt")
        .string("id", "minecraft:chest")
        .list("Items", NbtKind::Compound)
        .compound("")
        .byte("Count", 3)
        .end()
        .end()
        .end()
        .int_list("pos", {1, 0, 1})
        .int_("state", 0)
        .end()
        .end();
    return w;
  };
  NbtWriter ordered;
  ordered.compound("").int_("DataVersion", 3465).int_list("size", {2, 2, 3});
  palette(ordered);
  blocks(ordered).list("entities", NbtKind::Compound).end().end();
  docs["mojang"] = ordered.bytes();
  NbtWriter late;
  late.compound("");
  blocks(late);
  palette(late).int_list("Size", {2, 2, 3}).end();
  docs["mojang_palette_last"] = late.bytes();
  NbtWriter palettes;
  palettes.compound("").int_list("size", {1, 1, 1}).list("palettes", NbtKind::List);
  palettes.list("", NbtKind::Compound).compound("").string("Name", "minecraft:stone").end().end();
  palettes.end();
  blocks(palettes).end();
  docs["mojang_palettes"] = palettes.bytes();
  return docs;
}

std::map<std::string, Bytes> nbt_documents() {
  std::map<std::string, Bytes> docs;
  NbtWriter all;
  all.compound("")
      .byte("b", -1)
      .short_("s", 300)
      .int_("i", -70000)
      .long_("l", INT64_MIN)
      .float_("f", 1.5f)
      .double_("d", -2.25)
      .string("t", "caf\xC3\xA9 \xF0\x9F\x99\x82 \0x"sv)
      .byte_array("ba", Bytes{1, 2, 3})
      .int_array("ia", std::vector<int32_t>{1, -1})
      .long_array("la", std::vector<int64_t>{5})
      .list("empty", NbtKind::End)
      .end()
      .list("lists", NbtKind::List)
      .list("", NbtKind::Int)
      .end()
      .list("", NbtKind::String)
      .end()
      .end()
      .compound("inner")
      .list("c", NbtKind::Compound)
      .compound("")
      .end()
      .end()
      .end()
      .end();
  docs["all_kinds"] = all.bytes();
  NbtWriter deep;
  deep.compound("");
  for (int i = 0; i < 40; ++i) deep.list("x", NbtKind::List);
  for (int i = 0; i < 40; ++i) deep.end();
  deep.end();
  docs["deep"] = deep.bytes();
  docs["int_array_root"] = NbtWriter().int_array("", std::vector<int32_t>{7, 8}).bytes();
  return docs;
}

std::map<std::string, Bytes> litematic_documents() {
  auto xyz = [](NbtWriter& w, const char* name, int32_t x, int32_t y, int32_t z) {
    w.compound(name).int_("x", x).int_("y", y).int_("z", z).end();
  };
  NbtWriter w;
  w.compound("").int_("Version", 6).int_("SubVersion", 1).int_("MinecraftDataVersion", 3465);
  w.compound("Metadata").string("Name", "seed").compound("EnclosingSize").end().end();
  w.compound("Regions").compound("a");
  xyz(w, "Position", 0, 0, 0);
  xyz(w, "Size", 3, 2, 1);
  w.list("BlockStatePalette", NbtKind::Compound).compound("").string("Name", "minecraft:air").end();
  w.compound("").string("Name", "minecraft:chest").compound("Properties");
  w.string("facing", "north").string("type", "single").end().end();
  w.compound("").string("Name", "minecraft:stone").end().end();
  w.long_array("BlockStates", std::vector<int64_t>{0x986});
  w.list("TileEntities", NbtKind::Compound).compound("").int_("x", 1).int_("y", 0).int_("z", 0);
  w.string("id", "minecraft:chest").list("Items", NbtKind::Compound).end().end().end();
  w.list("Entities", NbtKind::Compound).compound("").string("id", "minecraft:pig");
  w.list("Pos", NbtKind::Double).double_("", 0.5).double_("", 1).double_("", 0.5).end().end().end();
  w.list("PendingBlockTicks", NbtKind::Compound).compound("").int_("x", 0).int_("y", 2);
  w.int_("z", 0).string("Block", "minecraft:observer").int_("Time", 2).end().end();
  w.list("PendingFluidTicks", NbtKind::Compound).end().end().compound("b");
  xyz(w, "Position", 4, 1, 0);
  xyz(w, "Size", -2, -2, 1);
  w.list("BlockStatePalette", NbtKind::Compound).compound("").string("Name", "minecraft:air").end();
  w.compound("").string("Name", "create:redstone_link").end().end();
  w.long_array("BlockStates", std::vector<int64_t>{0x41}).end().end().end();
  return {{"litematic", w.bytes()}};
}

Bytes with_header_fields(const Bytes& member) {
  // Every optional field: FHCRC, FEXTRA, FNAME, FCOMMENT, in their order on the wire.
  Bytes out(member.begin(), member.begin() + 10);
  out[3] = 0x02 | 0x04 | 0x08 | 0x10;
  for (uint8_t b : {4, 0, 0x61, 0x62, 0, 0}) out.push_back(b);  // XLEN 4, one empty subfield
  for (char c : std::string("name.kbr")) out.push_back(static_cast<uint8_t>(c));
  out.push_back(0);
  for (char c : std::string("a comment")) out.push_back(static_cast<uint8_t>(c));
  out.push_back(0);
  uLong crc = crc32(0, out.data(), static_cast<uInt>(out.size()));
  out.push_back(static_cast<uint8_t>(crc));
  out.push_back(static_cast<uint8_t>(crc >> 8));
  out.insert(out.end(), member.begin() + 10, member.end());
  return out;
}

void add_documents(const std::map<std::string, Bytes>& docs,
                   std::initializer_list<const char*> raw) {
  for (const auto& [name, bytes] : docs) {
    for (const char* target : raw) add(target, name, bytes);
    add("any_reader", name, bytes);
    for (int level : {0, 1, 9}) {
      Bytes member = kubrel::testing::gzip_compress(bytes, level);
      add("pipeline", name + ".l" + std::to_string(level) + ".gz", member);
      add("volume_load", name + ".l" + std::to_string(level) + ".gz", member);
      add("gzip_chain", name + ".l" + std::to_string(level) + ".gz", member);
    }
    add("gzip_chain", name + ".fields.gz",
        with_header_fields(kubrel::testing::gzip_compress(bytes)));
  }
}

void add_real_corpus() {
  auto dir = kubrel::testing::real_corpus_dir();
  if (!dir) return;
  const std::map<std::string, std::vector<const char*>> targets = {
      {"sponge", {"sponge_reader", "nbt_tree", "nbt_events", "any_reader", "volume_sponge"}},
      {"structure", {"mojang_reader", "nbt_tree", "nbt_events", "any_reader", "volume_structure"}},
      {"legacy", {"nbt_tree", "nbt_events", "any_reader", "volume_load", "volume_schematic"}},
      {"../litematic", {"litematic_reader"}}};
  for (const auto& [folder, raw_targets] : targets) {
    if (!std::filesystem::is_directory(*dir / folder)) continue;
    for (const auto& entry : std::filesystem::directory_iterator(*dir / folder)) {
      auto packed = kubrel::testing::read_file(entry.path());
      if (!packed) continue;
      std::string name = "real_" + entry.path().filename().string();
      add("pipeline", name, *packed);
      add("gzip_chain", name, *packed);
      auto plain = kubrel::testing::gunzip(*packed);
      if (!plain) continue;
      for (const char* target : raw_targets) add(target, name, *plain);
    }
  }
}

void add_texts() {
  const char* states[] = {
      "minecraft:stone",
      "minecraft:oak_stairs[facing=north,half=top,waterlogged=false]",
      "  minecraft:stone  ",
      "minecraft:oak_stairs[ facing = north , half=top]",
      "stone",
      "minecraft:stone[]",
      "minecraft:stone[a=1,a=2]",
      "minecraft:[a=b]",
      "minecraft:redstone_wire[east=side,north=none,power=15,south=up,west=none]",
      "minecraft:stone[a=b",
      "minecraft:Stone[a=b]",
      "\xC2\xA0minecraft:air\xE3\x80\x80",
      "minecraft:oak_sign[rotation=0,text=\"a,b=c\"]",
      "\"mymod:odd[1]\"[note=\"\",say=\"\\\"\\\\\"]"};
  int n = 0;
  for (const char* state : states) add("block_state", "state_" + std::to_string(n++), text(state));
  const char* differences[] = {"+half=top",
                               "-waterlogged",
                               "minecraft:spruce_stairs",
                               "minecraft:spruce_stairs-half+half=top,shape=straight",
                               "+ half = top",
                               "+a=1,a=2",
                               "+count=-1",
                               "+a=b=c",
                               "-",
                               "+facing",
                               "   ",
                               "+id=minecraft/stone"};
  n = 0;
  for (const char* difference : differences) {
    add("difference", "diff_" + std::to_string(n), text(difference));
    add("difference", "based_" + std::to_string(n++),
        text(std::string("minecraft:oak_stairs[facing=north,half=bottom,waterlogged=false]\n") +
             difference));
  }
}

}  // namespace

// Chunks of the world corpus: a few of each world's region files, each as a region file of its
// own (its stored record copied) and, inflated, as a chunk document.
void add_worlds() {
  auto real = kubrel::testing::real_corpus_dir();
  if (!real) return;
  std::error_code error;
  for (const auto& entry :
       std::filesystem::recursive_directory_iterator(*real / ".." / "worlds", error)) {
    if (!entry.is_regular_file() || entry.path().extension() != ".mca") continue;
    auto bytes = kubrel::testing::read_file(entry.path());
    if (!bytes) continue;
    auto file = kubrel::RegionFile::from_bytes(*bytes);
    int taken = 0;
    for (const auto& [x, z] : file.chunks()) {
      if (taken == 3) break;
      const size_t slot = (z * 32 + x) * 4;
      const size_t begin =
          (((*bytes)[slot] << 16) | ((*bytes)[slot + 1] << 8) | (*bytes)[slot + 2]) *
          kubrel::kRegionSector;
      const size_t sectors = (*bytes)[slot + 3];
      if (begin + sectors * kubrel::kRegionSector > bytes->size()) continue;
      Bytes region(8192, 0);
      region[2] = 2;
      region[3] = static_cast<uint8_t>(sectors);
      region.insert(
          region.end(), bytes->begin() + static_cast<ptrdiff_t>(begin),
          bytes->begin() + static_cast<ptrdiff_t>(begin + sectors * kubrel::kRegionSector));
      const std::string name = "world_" +
                               entry.path().parent_path().parent_path().filename().string() + "_" +
                               std::to_string(x) + "_" + std::to_string(z);
      add("region_file", name + ".mca", region);
      auto chunk = file.read_chunk(x, z);
      if (chunk && *chunk) {
        add("chunk_decoder", name + ".nbt",
            Bytes((*chunk)->bytes().begin(), (*chunk)->bytes().end()));
      }
      ++taken;
    }
  }
}

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUT_DIR\n", argv[0]);
    return 2;
  }
  add_documents(kbr_documents(), {"kbr_reader", "volume_kbr"});
  add_documents(sponge_documents(), {"sponge_reader", "nbt_tree", "nbt_events", "volume_sponge"});
  add_documents(mojang_documents(),
                {"mojang_reader", "nbt_tree", "nbt_events", "volume_structure"});
  add_documents(nbt_documents(), {"nbt_tree", "nbt_events"});
  add_documents(litematic_documents(), {"litematic_reader", "nbt_tree", "nbt_events"});
  add_documents(legacy_documents(), {"legacy_chunk", "volume_schematic", "nbt_tree"});
  add_texts();
  add_real_corpus();
  add_worlds();
  for (const auto& [target, seeds] : g_seeds) {
    std::filesystem::path folder = std::filesystem::path(argv[1]) / target;
    std::filesystem::create_directories(folder);
    for (const auto& [name, bytes] : seeds) {
      std::ofstream(folder / name, std::ios::binary)
          .write(reinterpret_cast<const char*>(bytes.data()),
                 static_cast<std::streamsize>(bytes.size()));
    }
    std::printf("%-14s %zu seeds\n", target.c_str(), seeds.size());
  }
  return 0;
}
