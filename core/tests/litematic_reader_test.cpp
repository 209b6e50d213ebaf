// Tests of the Litematica reader: the real files of the shared corpus against their manifest, and
// hostile documents built with NbtWriter.
#include "volume/litematic_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "io/byte_sink.h"
#include "io/file_source.h"
#include "io/whole_gzip.h"
#include "nbt/nbt_entries.h"
#include "nbt/nbt_tree.h"
#include "support/corpus.h"
#include "support/nbt_writer.h"
#include "support/scripted_source.h"
#include "volume/volume_loader.h"
#include "volume/volume_save.h"

namespace kubrel {
namespace {

using testing::NbtWriter;
using Bytes = std::vector<uint8_t>;

Result<Volume> read_bytes(const Bytes& bytes, std::optional<std::string> region = std::nullopt) {
  return read_litematic(std::make_unique<MemorySource>(bytes), LitematicReadOptions{region});
}

// The palette index at grid position `i` (the grid is in host byte order: little-endian here).
uint32_t cell(const IndexGrid& grid, uint64_t i) {
  uint32_t value = 0;
  std::memcpy(&value, grid.bytes.data() + i * grid.width, grid.width);
  return value;
}

uint32_t cell(const Volume& volume, uint64_t i) {
  return cell(volume.blocks, i);
}

bool is_air_or_void(const std::string& state) {
  return state == "minecraft:air" || state == "minecraft:structure_void";
}

uint64_t non_air(const Volume& volume) {
  std::vector<bool> solid;
  for (const std::string& state : volume.palette) solid.push_back(!is_air_or_void(state));
  uint64_t count = 0;
  for (uint64_t i = 0; i < volume.blocks.bytes.size() / volume.blocks.width; ++i)
    count += solid.at(cell(volume, i));
  return count;
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::stringstream in(text);
  for (std::string part; std::getline(in, part, separator);) parts.push_back(part);
  if (!text.empty() && text.back() == separator) parts.emplace_back();
  return parts;
}

std::string render(const std::array<int64_t, 3>& v) {
  return std::to_string(v[0]) + "x" + std::to_string(v[1]) + "x" + std::to_string(v[2]);
}

// The manifest's rows by file name, each as its columns by heading.
std::map<std::string, std::map<std::string, std::string>> manifest(
    const std::filesystem::path& folder) {
  std::ifstream in(folder / "MANIFEST.tsv");
  std::string line;
  std::getline(in, line);
  std::vector<std::string> headings = split(line, '\t');
  std::map<std::string, std::map<std::string, std::string>> rows;
  while (std::getline(in, line)) {
    std::vector<std::string> cells = split(line, '\t');
    auto& row = rows[cells.at(0)];
    for (size_t i = 0; i < cells.size() && i < headings.size(); ++i) row[headings[i]] = cells[i];
  }
  return rows;
}

Result<Volume> read_path(const std::filesystem::path& path,
                         std::optional<std::string> region = std::nullopt) {
  auto file = FileSource::open(path.string());
  if (!file) return fail(os_error_message(file.error()));
  return read_litematic(std::move(*file), LitematicReadOptions{region});
}

// Each record's data must be one whole compound without the position keys it was stored with.
void expect_clean(const NbtCompoundBytes& data, std::initializer_list<const char*> removed) {
  Bytes document = {uint8_t(NbtKind::Compound), 0, 0};
  for (std::byte b : data) document.push_back(uint8_t(b));
  BufferedSource source(std::make_unique<MemorySource>(document));
  auto tree = decode_nbt_tree(source);
  ASSERT_TRUE(tree) << tree.error().message;
  for (const char* key : removed) EXPECT_FALSE(tree->as<NbtCompound>()->find(key)) << key;
  EXPECT_FALSE(*source.next_byte()) << "bytes after the compound";
}

// Non-air blocks, block entities, pending block ticks and pending fluid ticks.
std::array<uint64_t, 4> counted(const Volume& volume) {
  return {non_air(volume), volume.block_entities.size(), volume.pending_block_ticks.size(),
          volume.pending_fluid_ticks.size()};
}

bool meet(const Volume::NamedRegion& a, const Volume::NamedRegion& b) {
  for (int axis = 0; axis < 3; ++axis) {
    if (int64_t{a.min[axis]} + a.size[axis] <= b.min[axis] ||
        int64_t{b.min[axis]} + b.size[axis] <= a.min[axis])
      return false;
  }
  return true;
}

// Positions whose states differ between two volumes of one size (palettes compared as text).
uint64_t differing_cells(const Volume& a, const Volume& b) {
  if (a.size != b.size) return UINT64_MAX;
  std::map<std::string, uint32_t> in_a;
  for (uint32_t i = 0; i < a.palette.size(); ++i) in_a.emplace(a.palette[i], i);
  std::vector<uint32_t> b_to_a;
  for (const std::string& state : b.palette)
    b_to_a.push_back(in_a.contains(state) ? in_a.at(state) : UINT32_MAX);
  uint64_t differing = 0;
  for (uint64_t i = 0; i < a.blocks.bytes.size() / a.blocks.width; ++i)
    differing += cell(a, i) != b_to_a.at(cell(b, i));
  return differing;
}

// Records as (position, their compound's entries sorted): equal whatever order a format keeps.
// The entries are held as strings: g++ 12 cannot bound the length with which it compares two byte
// vectors and warns of a 2^63-byte compare.
std::vector<std::pair<BlockPosition, std::vector<std::string>>> records(
    const std::vector<VolumeBlockEntity>& list) {
  std::vector<std::pair<BlockPosition, std::vector<std::string>>> out;
  for (const VolumeBlockEntity& record : list) {
    auto entries = nbt_compound_entries(record.data);
    EXPECT_TRUE(entries);
    std::vector<std::string> wholes;
    for (const NbtEntry& entry : entries.value_or(std::vector<NbtEntry>{})) {
      wholes.emplace_back(reinterpret_cast<const char*>(entry.whole.data()), entry.whole.size());
    }
    std::sort(wholes.begin(), wholes.end());
    out.emplace_back(record.position, std::move(wholes));
  }
  std::sort(out.begin(), out.end(), [](const auto& x, const auto& y) {
    return std::tie(x.first.x, x.first.y, x.first.z, x.second) <
           std::tie(y.first.x, y.first.y, y.first.z, y.second);
  });
  return out;
}

// Written as Litematica (exact: blocks, regions, records, entities) and as Sponge v3 (every block
// and block entity), each read back through the loader's detection.
void expect_written_back(const Volume& volume) {
  for (VolumeFormat format : {VolumeFormat::Litematic, VolumeFormat::Sponge}) {
    SCOPED_TRACE(volume_format_name(format));
    VectorSink sink;
    auto written = encode_volume(volume, format, {}, sink);
    ASSERT_TRUE(written) << written.error().message;
    auto again = load_volume(sink.take());
    ASSERT_TRUE(again) << again.error().message;
    EXPECT_EQ(again->format, format);
    EXPECT_EQ(again->origin, volume.origin);
    EXPECT_EQ(differing_cells(volume, *again), 0u);
    EXPECT_EQ(records(again->block_entities), records(volume.block_entities));
    if (format != VolumeFormat::Litematic) continue;
    EXPECT_EQ(again->version, volume.version);
    EXPECT_EQ(again->sub_version, volume.sub_version);
    EXPECT_EQ(again->data_version, volume.data_version);
    EXPECT_EQ(records(again->pending_block_ticks), records(volume.pending_block_ticks));
    EXPECT_EQ(records(again->pending_fluid_ticks), records(volume.pending_fluid_ticks));
    ASSERT_EQ(again->entities.size(), volume.entities.size());
    for (size_t i = 0; i < volume.entities.size(); ++i) {
      EXPECT_EQ(again->entities[i].position, volume.entities[i].position);
      EXPECT_EQ(again->entities[i].data, volume.entities[i].data);
    }
    ASSERT_EQ(again->regions.size(), volume.regions.size());
    for (size_t i = 0; i < volume.regions.size(); ++i) {
      EXPECT_EQ(again->regions[i].name, volume.regions[i].name);
      EXPECT_EQ(again->regions[i].min, volume.regions[i].min);
      EXPECT_EQ(again->regions[i].file_size, volume.regions[i].file_size);
      const IndexGrid& own = volume.regions[i].own_blocks;
      ASSERT_EQ(again->regions[i].own_blocks.bytes.size() / again->regions[i].own_blocks.width,
                own.bytes.size() / own.width);
      uint64_t differing = 0;
      for (uint64_t c = 0; c < own.bytes.size() / own.width; ++c)
        differing +=
            again->palette[cell(again->regions[i].own_blocks, c)] != volume.palette[cell(own, c)];
      EXPECT_EQ(differing, 0u);
      EXPECT_EQ(records(again->regions[i].own_block_entities),
                records(volume.regions[i].own_block_entities));
    }
  }
}

// The file inflated, then read through a source that hands over one byte a call: no record is
// ever held whole, so the member-by-member walk reads every one.
Result<Volume> read_a_byte_at_a_time(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  const Bytes member((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto inflated = inflate_whole_gzip(member);
  if (!inflated) return fail("not inflated");
  Bytes document(inflated->bytes().begin(), inflated->bytes().end());
  return read_litematic(std::make_unique<testing::ScriptedSource>(
                            std::move(document), std::make_shared<testing::SourceLog>(), 1),
                        {});
}

// Records in the order and with the bytes read, so that two readings can be compared exactly.
std::vector<std::pair<BlockPosition, std::string>> exact(
    const std::vector<VolumeBlockEntity>& list) {
  std::vector<std::pair<BlockPosition, std::string>> out;
  for (const VolumeBlockEntity& record : list)
    out.emplace_back(record.position, std::string(reinterpret_cast<const char*>(record.data.data()),
                                                  record.data.size()));
  return out;
}

TEST(LitematicReaderTest, RealFilesMatchTheirManifest) {
  auto real = testing::real_corpus_dir();
  if (!real || !std::filesystem::is_directory(real->parent_path() / "litematic"))
    GTEST_SKIP() << "no litematic corpus";
  const std::filesystem::path folder = real->parent_path() / "litematic";
  auto rows = manifest(folder);
  ASSERT_FALSE(rows.empty());
  for (const auto& [file, row] : rows) {
    SCOPED_TRACE(file);
    auto volume = read_path(folder / file);
    ASSERT_TRUE(volume) << volume.error().message;
    // Most records were read in place; the walk must keep exactly what that kept.
    auto walked = read_a_byte_at_a_time(folder / file);
    ASSERT_TRUE(walked) << walked.error().message;
    EXPECT_EQ(exact(walked->block_entities), exact(volume->block_entities));
    EXPECT_EQ(exact(walked->pending_block_ticks), exact(volume->pending_block_ticks));
    EXPECT_EQ(render({volume->size[0], volume->size[1], volume->size[2]}),
              row.at("enclosing_size"));
    EXPECT_EQ(volume->version, std::stoi(row.at("Version")));
    EXPECT_EQ(volume->sub_version.has_value(), !row.at("SubVersion").empty());
    EXPECT_FALSE(volume->metadata.empty());
    EXPECT_EQ(volume->entities.size(), std::stoull(row.at("entities")));
    for (const auto& entity : volume->block_entities) {
      const BlockPosition& p = entity.position;
      uint64_t i = (uint64_t(p.y) * volume->size[2] + p.z) * volume->size[0] + p.x;
      EXPECT_FALSE(is_air_or_void(volume->palette.at(cell(*volume, i)))) << p.debug_string();
      expect_clean(entity.data, {"x", "y", "z"});
    }
    for (const auto& entity : volume->entities) expect_clean(entity.data, {});

    std::vector<std::string> sizes = split(row.at("region_sizes"), ';');
    std::vector<std::string> positions = split(row.at("region_positions"), ';');
    ASSERT_EQ(volume->regions.size(), sizes.size());
    ASSERT_EQ(positions.size(), sizes.size());
    // The manifest counts region by region; where regions overlap the volume shows fewer.
    std::array<uint64_t, 4> alone_counts{};
    bool overlap = false;
    // The whole volume rebuilt from the regions read alone: a later region's non-air blocks over
    // an earlier one's, structure void where none reaches.
    constexpr uint32_t kUnreached = UINT32_MAX;
    const bool several = sizes.size() > 1;
    std::vector<uint32_t> expected(several ? volume->blocks.bytes.size() / volume->blocks.width : 0,
                                   kUnreached);
    std::map<std::string, uint32_t> whole_index;
    for (uint32_t i = 0; i < volume->palette.size(); ++i) whole_index[volume->palette[i]] = i;
    for (size_t r = 0; r < sizes.size(); ++r) {
      const Volume::NamedRegion& region = volume->regions[r];
      SCOPED_TRACE(region.name);
      const auto& s = region.file_size;
      EXPECT_EQ(render({s[0], s[1], s[2]}), sizes[r]);
      std::array<int64_t, 3> position{};
      for (int axis = 0; axis < 3; ++axis)
        position[axis] = int64_t{volume->origin[axis]} + region.min[axis] +
                         (s[axis] < 0 ? int64_t{region.size[axis]} - 1 : 0);
      EXPECT_EQ(render(position), positions[r]);
      for (size_t q = 0; q < r; ++q) overlap |= meet(region, volume->regions[q]);
      if (!several) {  // the volume is its one region
        alone_counts = counted(*volume);
        break;
      }
      auto alone = read_path(folder / file, region.name);
      ASSERT_TRUE(alone) << alone.error().message;
      ASSERT_EQ(alone->regions.size(), 1u);
      EXPECT_EQ(alone->size, region.size);
      std::vector<uint32_t> to_whole;
      for (const std::string& state : alone->palette) to_whole.push_back(whole_index.at(state));
      // A region another meets keeps what it holds alone.
      const bool keeps_own = !region.own_blocks.bytes.empty();
      uint64_t own_differing = 0;
      if (keeps_own) {
        EXPECT_EQ(records(region.own_block_entities).size(), alone->block_entities.size());
      }
      uint64_t i = 0;
      for (uint32_t y = 0; y < region.size[1]; ++y) {
        for (uint32_t z = 0; z < region.size[2]; ++z) {
          for (uint32_t x = 0; x < region.size[0]; ++x, ++i) {
            uint64_t at = (uint64_t(region.min.y + y) * volume->size[2] + region.min.z + z) *
                              volume->size[0] +
                          region.min.x + x;
            uint32_t state = to_whole.at(cell(*alone, i));
            if (state != 0 || expected[at] == kUnreached) expected[at] = state;
            if (keeps_own) own_differing += cell(region.own_blocks, i) != state;
          }
        }
      }
      EXPECT_EQ(own_differing, 0u);
      std::array<uint64_t, 4> counts = counted(*alone);
      for (int i = 0; i < 4; ++i) alone_counts[i] += counts[i];
    }
    EXPECT_EQ(alone_counts, (std::array<uint64_t, 4>{std::stoull(row.at("decoded_nonair")),
                                                     std::stoull(row.at("tile_entities")),
                                                     std::stoull(row.at("pending_block_ticks")),
                                                     std::stoull(row.at("pending_fluid_ticks"))}));
    uint64_t differing = 0;
    for (uint64_t i = 0; i < expected.size(); ++i) {
      differing += expected[i] == kUnreached
                       ? volume->palette.at(cell(*volume, i)) != "minecraft:structure_void"
                       : cell(*volume, i) != expected[i];
    }
    EXPECT_EQ(differing, 0u);
    std::array<uint64_t, 4> whole = counted(*volume);
    if (!overlap) {
      EXPECT_EQ(whole, alone_counts);
    }
    for (int i = 0; i < 4; ++i) EXPECT_LE(whole[i], alone_counts[i]);
    expect_written_back(*volume);
  }
}

// A document with a version and the regions `regions` writes.
Bytes document(const std::function<void(NbtWriter&)>& regions, int version = 6) {
  NbtWriter w;
  w.compound("").int_("Version", version).compound("Metadata").string("Name", "t").end();
  w.compound("Regions");
  regions(w);
  w.end().end();
  return w.bytes();
}

NbtWriter& xyz(NbtWriter& w, const char* name, std::array<int32_t, 3> v) {
  return w.compound(name).int_("x", v[0]).int_("y", v[1]).int_("z", v[2]).end();
}

// One region: a palette of `palette` states (air first), the given longs, and `extra` members.
void region(NbtWriter& w, const char* name, std::array<int32_t, 3> position,
            std::array<int32_t, 3> size, int palette, std::vector<int64_t> states,
            const std::function<void(NbtWriter&)>& extra = {}) {
  w.compound(name);
  xyz(w, "Position", position);
  xyz(w, "Size", size);
  w.list("BlockStatePalette", NbtKind::Compound);
  for (int i = 0; i < palette; ++i)
    w.compound("")
        .string("Name", i ? "minecraft:block_" + std::to_string(i) : "minecraft:air")
        .end();
  w.end().long_array("BlockStates", states);
  if (extra) extra(w);
  w.end();
}

void tiny(NbtWriter& w, const char* name, std::array<int32_t, 3> position = {0, 0, 0}) {
  region(w, name, position, {1, 1, 1}, 2, {1});
}

// Bytes of a compound payload holding one String.
NbtCompoundBytes text_payload(const char* name, const char* value) {
  Bytes bytes = NbtWriter().string(name, value).bytes();
  bytes.push_back(0);
  NbtCompoundBytes out;
  for (uint8_t b : bytes) out.push_back(std::byte{b});
  return out;
}

// Region "a" spans x -10..-8, "b" (negative size) x -9..-8 over it, "c" one block at z 2, leaving a
// gap at z 1. Where they meet, b's glass wins over a's air but b's air leaves a's dirt.
TEST(LitematicReaderTest, RegionsPlacedWithGapsOverlapsAndRecords) {
  auto record = [](NbtWriter& w, int x, const char* id) {
    w.compound("").int_("x", x).int_("y", 0).string("id", id).int_("z", 0).end();
  };
  Bytes bytes = document([&](NbtWriter& w) {
    region(w, "a", {-10, 0, 0}, {3, 1, 1}, 3, {0b100001}, [&](NbtWriter& w) {
      w.list("TileEntities", NbtKind::Compound);
      record(w, 2, "a");
      w.end().list("PendingBlockTicks", NbtKind::Compound);
      w.compound("").int_("x", 0).int_("y", 5).int_("z", 0).end().end();
    });
    region(w, "b", {-8, 0, 0}, {-2, 1, 1}, 2, {0b0001}, [&](NbtWriter& w) {
      w.list("TileEntities", NbtKind::Compound);
      record(w, 0, "b");
      record(w, 1, "lost");
      w.end().list("Entities", NbtKind::Compound).compound("").string("id", "e");
      w.list("Pos", NbtKind::Double).double_("", 0.5).double_("", 0).double_("", 0.5).end();
      w.end().end();
    });
    tiny(w, "c", {-10, 0, 2});
  });
  auto volume = read_bytes(bytes);
  ASSERT_TRUE(volume) << volume.error().message;
  EXPECT_EQ(volume->origin, (BlockPosition{-10, 0, 0}));
  EXPECT_EQ(volume->size, (std::array<uint32_t, 3>{3, 1, 3}));
  std::string cells;
  for (uint64_t i = 0; i < 9; ++i) cells += volume->palette.at(cell(*volume, i)) + " ";
  EXPECT_EQ(cells,
            "minecraft:block_1 minecraft:block_1 minecraft:block_2 minecraft:structure_void "
            "minecraft:structure_void minecraft:structure_void minecraft:block_1 "
            "minecraft:structure_void minecraft:structure_void ");
  ASSERT_EQ(volume->block_entities.size(), 2u);
  EXPECT_EQ(volume->block_entities[0].position, (BlockPosition{2, 0, 0}));
  EXPECT_EQ(volume->block_entities[0].data, text_payload("id", "a"));
  EXPECT_EQ(volume->block_entities[1].position, (BlockPosition{1, 0, 0}));
  EXPECT_EQ(volume->block_entities[1].data, text_payload("id", "b"));
  ASSERT_EQ(volume->entities.size(), 1u);
  EXPECT_EQ(volume->entities[0].position, (std::array<double, 3>{2.5, 0, 0.5}));
  ASSERT_EQ(volume->pending_block_ticks.size(), 1u);
  EXPECT_EQ(volume->pending_block_ticks[0].position, (BlockPosition{0, 5, 0}));
  EXPECT_EQ(volume->metadata, text_payload("Name", "t"));
  EXPECT_EQ(volume->regions[1].min, (BlockPosition{1, 0, 0}));
}

// One region over the whole volume takes its indices as they are: each width of index, packed
// across longs, comes back where it was put (15 bits and the last entries one by one).
TEST(LitematicReaderTest, OneRegionUnpacksEveryIndexWidth) {
  for (unsigned bits : {2u, 5u, 8u, 9u, 13u, 14u, 15u}) {
    SCOPED_TRACE(bits);
    // Every value of the width is in the palette, so that no check can catch a misread index.
    const uint32_t palette = 1u << bits;
    const uint32_t entries = 1000;
    std::vector<uint32_t> indices(entries);
    std::vector<int64_t> longs((entries * bits + 63) / 64);
    for (uint32_t i = 0; i < entries; ++i) {
      indices[i] = (i * 2654435761u) % palette;
      uint64_t bit = uint64_t{i} * bits;
      longs[bit / 64] |= int64_t(uint64_t{indices[i]} << (bit % 64));
      if (bit % 64 + bits > 64) longs[bit / 64 + 1] |= int64_t(indices[i] >> (64 - bit % 64));
    }
    auto volume = read_bytes(document([&](NbtWriter& w) {
      region(w, "r", {0, 0, 0}, {int32_t(entries), 1, 1}, int(palette), longs);
    }));
    ASSERT_TRUE(volume) << volume.error().message;
    for (uint32_t i = 0; i < entries; ++i) ASSERT_EQ(cell(*volume, i), indices[i]) << i;
  }
}

std::function<void(NbtWriter&)> tiny_only() {
  return [](NbtWriter& w) { tiny(w, "t"); };
}

struct HostileCase {
  const char* label;
  Bytes document;
  std::string message;  // a part of the error
  std::optional<std::string> region = std::nullopt;
};

std::vector<HostileCase> hostile_cases() {
  Bytes cut = document([](NbtWriter& w) { region(w, "r", {0, 0, 0}, {64, 1, 1}, 2, {0, 0}); });
  cut.resize(cut.size() - 12);
  Bytes many = document([](NbtWriter& w) {
    for (int i = 0; i < 5000; ++i)
      tiny(w, (std::string("r") += std::to_string(i)).c_str(), {i, 0, 0});
  });
  auto one = [](std::function<void(NbtWriter&)> extra) {
    return document([extra](NbtWriter& w) { region(w, "r", {0, 0, 0}, {2, 1, 1}, 2, {5}, extra); });
  };
  // A tile entity whose members are written by `members`, at (0, 0, 0).
  auto tile_entity = [&](std::function<void(NbtWriter&)> members) {
    return one([members](NbtWriter& w) {
      w.list("TileEntities", NbtKind::Compound).compound("");
      members(w);
      w.int_("x", 0).int_("y", 0).int_("z", 0).end().end();
    });
  };
  // Cut inside the tile entity's string: past it stand 21 bytes of x, y, z and 4 End tags.
  Bytes cut_record = tile_entity([](NbtWriter& w) { w.string("id", std::string(100, 'a')); });
  cut_record.resize(cut_record.size() - 80);
  return {
      {"index beyond the palette", document([](NbtWriter& w) {
         region(w, "r", {0, 0, 0}, {2, 1, 1}, 3, {0b1101});
       }),
       "region \"r\": block state index 3 outside its palette of 3 entries"},
      // The bad index sits in the second group of 32 of a stream long enough to be unpacked by
      // groups.
      {"index beyond the palette in a long stream", document([](NbtWriter& w) {
         std::vector<int64_t> longs(16, 0x5555555555555555);
         longs[1] = 0x5555555555575555;
         region(w, "r", {0, 0, 0}, {512, 1, 1}, 3, longs);
       }),
       "region \"r\": block state index 3 outside its palette of 3 entries"},
      // The bad index sits in the second row, among the last entries, which are read word by word.
      {"index beyond the palette late in the stream", document([](NbtWriter& w) {
         region(w, "r", {0, 0, 0}, {32, 2, 1}, 3, {0x5555555555555555, 0b11'0000'0000'0000});
       }),
       "region \"r\": block state index 3 outside its palette of 3 entries"},
      {"long array too short", document([](NbtWriter& w) {
         region(w, "r", {0, 0, 0}, {4, 4, 4}, 5, {0, 0});
       }),
       "region \"r\": \"BlockStates\" holds 2 longs where 64 entries of 3 bits need 3"},
      {"palette wider than the packing", document([](NbtWriter& w) {
         region(w, "r", {0, 0, 0}, {16, 1, 1}, 17, {0});
       }),
       "holds 1 longs where 16 entries of 5 bits need 2"},
      {"size product beyond 64 bits", document([](NbtWriter& w) {
         region(w, "r", {0, 0, 0}, {INT32_MAX, INT32_MAX, -INT32_MAX}, 2, {0});
       }),
       "where more than 2^64 entries of 2 bits need more"},
      {"size product of 2^60", document([](NbtWriter& w) {
         region(w, "r", {0, 0, 0}, {1 << 20, 1 << 20, 1 << 20}, 2, {0});
       }),
       "where 1152921504606846976 entries of 2 bits need 36028797018963968"},
      {"regions beyond the cap", many, "more than 4096 regions"},
      {"regions far apart", document([](NbtWriter& w) {
         tiny(w, "a");
         tiny(w, "b", {1 << 24, 0, 0});
       }),
       "the regions spread over 16777217 positions, far more than the 2 they hold"},
      {"box beyond 32 bits", document([](NbtWriter& w) {
         region(w, "r", {INT32_MAX, 0, 0}, {2, 1, 1}, 2, {0});
       }),
       "region \"r\": the box leaves the 32-bit coordinate range"},
      {"zero size", document([](NbtWriter& w) {
         region(w, "r", {0, 0, 0}, {2, 0, 1}, 2, {});
       }),
       "region \"r\": \"Size\" is 0 on an axis"},
      {"empty palette", document([](NbtWriter& w) {
         region(w, "r", {0, 0, 0}, {1, 1, 1}, 0, {0});
       }),
       "region \"r\": an empty \"BlockStatePalette\""},
      {"tile entity outside its region", one([](NbtWriter& w) {
         w.list("TileEntities", NbtKind::Compound);
         xyz(w, "", {2, 0, 0});
         w.end();
       }),
       "region \"r\": a tile entity at (2, 0, 0) outside the region"},
      {"tile entity without y", one([](NbtWriter& w) {
         w.list("TileEntities", NbtKind::Compound).compound("").int_("x", 0).int_("z", 0).end();
         w.end();
       }),
       "region \"r\": \"TileEntities\" entry 0: no Int x, y and z"},
      {"tile entity string not modified UTF-8", tile_entity([](NbtWriter& w) {
         const uint8_t bad[] = {'a', 0xff};
         w.string_bytes("id", bad);
       }),
       "region \"r\": invalid NBT string, not modified UTF-8"},
      {"tile entity nested one level too deep", tile_entity([](NbtWriter& w) {
         for (int i = 0; i <= kNbtMaxTreeDepth; ++i) w.compound("n");
         for (int i = 0; i <= kNbtMaxTreeDepth; ++i) w.end();
       }),
       "nested deeper than 512 levels"},
      {"tile entity cut short", cut_record,
       "NBT cut short or unreadable: failed to fill whole buffer"},
      {"entity Pos of two doubles", one([](NbtWriter& w) {
         w.list("Entities", NbtKind::Compound).compound("").list("Pos", NbtKind::Double);
         w.double_("", 0).double_("", 0).end().end().end();
       }),
       "region \"r\": \"Pos\" is not a List of 3 Doubles"},
      {"palette entry without a name", document([](NbtWriter& w) {
         w.compound("r").list("BlockStatePalette", NbtKind::Compound).compound("").end().end();
         w.end();
       }),
       "region \"r\": palette entry 0: no \"Name\""},
      {"property not a string", document([](NbtWriter& w) {
         w.compound("r").list("BlockStatePalette", NbtKind::Compound).compound("");
         w.string("Name", "minecraft:stone").compound("Properties").int_("age", 1).end();
         w.end().end().end();
       }),
       "region \"r\": palette entry 0: \"Properties.age\" is a Int tag, expected String"},
      {"region not a compound", document([](NbtWriter& w) { w.int_("r", 1); }),
       "region \"r\" is a Int, not a Compound"},
      {"two regions of one name", document([](NbtWriter& w) {
         tiny(w, "r");
         tiny(w, "r");
       }),
       "two regions named \"r\""},
      {"region without BlockStates", document([](NbtWriter& w) {
         w.compound("r");
         xyz(w, "Position", {0, 0, 0});
         xyz(w, "Size", {1, 1, 1});
         w.list("BlockStatePalette", NbtKind::Compound).end().end();
       }),
       "region \"r\": no \"BlockStates\""},
      {"future version", document(tiny_only(), 8), "unsupported Litematica version 8"},
      {"no regions", NbtWriter().compound("").int_("Version", 6).end().bytes(),
       "not a Litematica file: no \"Regions\""},
      {"unknown region name", document(tiny_only()), "no region named \"x\" (the file has \"t\")",
       "x"},
      {"cut inside BlockStates", cut, "NBT cut short or unreadable: failed to fill whole buffer"},
      {"empty input", {}, "NBT cut short or unreadable: failed to fill whole buffer"},
  };
}

TEST(LitematicReaderTest, HostileDocumentsFailWithAClearMessage) {
  for (const HostileCase& c : hostile_cases()) {
    SCOPED_TRACE(c.label);
    auto volume = read_bytes(c.document, c.region);
    ASSERT_FALSE(volume);
    EXPECT_NE(volume.error().message.find(c.message), std::string::npos) << volume.error().message;
  }
}

}  // namespace
}  // namespace kubrel
