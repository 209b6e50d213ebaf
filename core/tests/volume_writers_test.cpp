// Round trips of the format writers: generated volumes written in every format and read back by
// the exact readers (each format's own reader and format detection), which must give the same
// non-air blocks; block entity and entity data checked byte for byte in the written documents;
// and the refusals, grouped.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "formats/any_reader.h"
#include "formats/kbr_reader.h"
#include "formats/mojang_reader.h"
#include "formats/sponge_reader.h"
#include "io/gzip_source.h"
#include "nbt/nbt_entries.h"
#include "nbt/nbt_writer.h"
#include "support/corpus.h"
#include "volume/kbr_writer.h"
#include "volume/volume_parts.h"
#include "volume/volume_save.h"

namespace kubrel {
namespace {

using Bytes = std::vector<uint8_t>;
// x, y, z (volume-relative) and the state's canonical text.
using Placed = std::tuple<int32_t, int32_t, int32_t, std::string>;

// ---- generated volumes -------------------------------------------------------------------------

Volume make_volume(std::array<uint32_t, 3> size, std::vector<std::string> states, uint32_t seed,
                   int air_percent = 30) {
  Volume volume;
  volume.size = size;
  volume.origin = {-5, 60, 1000};
  volume.data_version = 3465;
  volume.palette = {"minecraft:air"};
  volume.palette.insert(volume.palette.end(), states.begin(), states.end());
  volume.blocks.width = volume.palette.size() <= 256 ? 1 : (volume.palette.size() <= 65536 ? 2 : 4);
  uint64_t cells = uint64_t{size[0]} * size[1] * size[2];
  volume.blocks.bytes.resize(cells * volume.blocks.width);
  std::mt19937 random(seed);
  for (uint64_t cell = 0; cell < cells; ++cell) {
    uint32_t index = 0;
    // Runs of a state, so that the walk orders differ.
    if (static_cast<int>(random() % 100) >= air_percent)
      index = states.empty() ? 0 : 1 + (cell / 3 + random() % 2) % states.size();
    std::memcpy(volume.blocks.bytes.data() + cell * volume.blocks.width, &index,
                volume.blocks.width);
  }
  return volume;
}

std::vector<std::string> random_states(size_t count, uint32_t seed) {
  const char* names[] = {"minecraft:stone", "minecraft:oak_stairs", "minecraft:chest",
                         "minecraft:redstone_wire", "minecraft:structure_void"};
  std::mt19937 random(seed);
  std::vector<std::string> states;
  std::map<std::string, bool> seen;
  while (states.size() < count) {
    std::string text = names[random() % 5];
    if (random() % 3 != 0) {
      text += "[facing=" + std::string(random() % 2 ? "north" : "south") +
              ",level=" + std::to_string(random() % 1000) + "]";
    }
    if (!seen[text]) states.push_back(text);
    seen[text] = true;
  }
  return states;
}

std::vector<std::string> many_properties() {
  std::vector<std::string> states;
  for (int variant = 0; variant < 12; ++variant) {
    std::string text = "minecraft:test_block[";
    for (int key = 0; key < 26; ++key) {
      text += std::string(key ? "," : "") + char('a' + key) +
              "_key=" + std::to_string((variant >> (key % 4)) & 1 ? key : 0) + "-v+";
    }
    states.push_back(text + "]");
  }
  return states;
}

NbtCompoundBytes compound(std::string_view id, std::string_view text) {
  VectorSink sink;
  NbtWriter w(sink);
  w.string("id", id);
  w.string("Text", text);
  w.begin_list("Items", NbtKind::Compound, 1);
  w.byte("Count", 3);
  w.end_compound();
  w.int_array("Ints", std::vector<int32_t>{1, -2, 3});
  w.end_compound();
  (void)w.finish();
  auto bytes = sink.take();
  return NbtCompoundBytes(reinterpret_cast<std::byte*>(bytes.data()),
                          reinterpret_cast<std::byte*>(bytes.data() + bytes.size()));
}

Volume with_entities(Volume volume) {
  volume.block_entities.push_back({{1, 0, 2}, compound("minecraft:sign", "Grüße, 城 🏰 \0!")});
  volume.block_entities.push_back({{3, 2, 0}, compound("minecraft:chest", "")});
  volume.entities.push_back(
      {{0.5, 1.25, 2.75}, compound("minecraft:armor_stand", "é"), std::nullopt});
  return volume;
}

// ---- reading back ------------------------------------------------------------------------------

std::unique_ptr<SchematicInputStream> reader(VolumeFormat format, Bytes gzip) {
  auto chain = make_gzip_chain(std::make_unique<MemorySource>(std::move(gzip)));
  if (format == VolumeFormat::Sponge)
    return std::make_unique<SpongeSchematicInputStream>(std::move(chain));
  if (format == VolumeFormat::Structure)
    return std::make_unique<MojangSchematicInputStream>(std::move(chain));
  return std::make_unique<KBRSchematicInputStream>(std::move(chain));
}

std::string canonical(const BlockState& state) {
  auto properties = state.properties();
  std::sort(properties.begin(), properties.end());
  std::string text = state.name();
  for (size_t i = 0; i < properties.size(); ++i)
    text += (i ? "," : "[") + properties[i].first + "=" + properties[i].second;
  return properties.empty() ? text : text + "]";
}

// The non-air blocks the readers give, moved by `shift`; both readers must agree.
std::vector<Placed> read_back(VolumeFormat format, const Bytes& gzip, BlockPosition shift) {
  std::vector<Placed> placed[2];
  for (int pass = 0; pass < 2; ++pass) {
    auto stream =
        pass == 0
            ? reader(format, gzip)
            : std::unique_ptr<SchematicInputStream>(AnySchematicInputStream::new_from_known_gzip(
                  std::make_unique<MemorySource>(gzip)));
    auto blocks = stream->read_to_end_into_vec();
    EXPECT_TRUE(blocks.has_value()) << (blocks ? "" : blocks.error().message);
    if (!blocks) return {};
    for (const Block& block : *blocks) {
      placed[pass].emplace_back(block.position.x + shift.x, block.position.y + shift.y,
                                block.position.z + shift.z, canonical(*block.state));
    }
    std::sort(placed[pass].begin(), placed[pass].end());
  }
  EXPECT_EQ(placed[0], placed[1]) << "format detection reads other blocks";
  return placed[0];
}

std::vector<Placed> expected_blocks(const Volume& volume, bool without_voids) {
  std::vector<Placed> placed;
  for (uint32_t y = 0; y < volume.size[1]; ++y) {
    for (uint32_t z = 0; z < volume.size[2]; ++z) {
      for (uint32_t x = 0; x < volume.size[0]; ++x) {
        uint32_t index =
            grid_index(volume.blocks, (uint64_t{y} * volume.size[2] + z) * volume.size[0] + x);
        const std::string& text = volume.palette[index];
        if (text == "minecraft:air" || (without_voids && text == kStructureVoidText)) continue;
        placed.emplace_back(x, y, z, text);
      }
    }
  }
  std::sort(placed.begin(), placed.end());
  return placed;
}

// The block entity data a written document holds, rebuilt into the volume's form ("id" first),
// by volume position; and the entity data in the same form.
struct WrittenData {
  std::map<std::tuple<int, int, int>, Bytes> block_entities;
  std::vector<Bytes> entities;
};

std::vector<NbtEntry> entries_of(NbtBytes payload) {
  return nbt_compound_entries(payload).value();
}
std::vector<NbtBytes> elements_of(NbtBytes payload) {
  return nbt_list_elements(payload).value();
}

const NbtEntry* member(const std::vector<NbtEntry>& entries, std::string_view name) {
  for (const NbtEntry& entry : entries)
    if (nbt_name_is(entry.name, name)) return &entry;
  return nullptr;
}

int32_t int_at(NbtBytes bytes, size_t offset) {
  uint32_t value;
  std::memcpy(&value, bytes.data() + offset, 4);
  return static_cast<int32_t>(nbt_wire::from_big_endian(value));
}

// "Id" back to a leading "id" entry, then the fields (inline or under "Data").
Bytes sponge_form(const std::vector<NbtEntry>& element, int32_t version) {
  Bytes out = {8, 0, 2, 'i', 'd'};
  NbtBytes id = member(element, "Id")->payload;
  out.insert(out.end(), reinterpret_cast<const uint8_t*>(id.data()),
             reinterpret_cast<const uint8_t*>(id.data() + id.size()));
  std::vector<NbtEntry> fields =
      version == 3 ? entries_of(member(element, "Data")->payload) : element;
  for (const NbtEntry& entry : fields) {
    // Version 3 repeats the "id" inside Data.
    if (nbt_name_is(entry.name, "Pos") || nbt_name_is(entry.name, "Id") ||
        (version == 3 && nbt_name_is(entry.name, "id")))
      continue;
    auto* bytes = reinterpret_cast<const uint8_t*>(entry.whole.data());
    out.insert(out.end(), bytes, bytes + entry.whole.size());
  }
  out.push_back(0);
  return out;
}

WrittenData written_data(VolumeFormat format, int32_t version, const Bytes& gzip) {
  Bytes document = testing::gunzip(gzip).value();
  // The root: type byte, name, payload.
  size_t name_length = document[1] << 8 | document[2];
  auto root =
      entries_of(NbtBytes(reinterpret_cast<const std::byte*>(document.data()) + 3 + name_length,
                          document.size() - 3 - name_length));
  auto as_bytes = [](NbtBytes b) {
    return Bytes(reinterpret_cast<const uint8_t*>(b.data()),
                 reinterpret_cast<const uint8_t*>(b.data() + b.size()));
  };
  WrittenData data;
  if (format == VolumeFormat::Structure) {
    for (NbtBytes block : elements_of(member(root, "blocks")->payload)) {
      auto entries = entries_of(block);
      if (const NbtEntry* nbt = member(entries, "nbt")) {
        NbtBytes pos = member(entries, "pos")->payload;
        data.block_entities[{int_at(pos, 5), int_at(pos, 9), int_at(pos, 13)}] =
            as_bytes(nbt->payload);
      }
    }
    for (NbtBytes entity : elements_of(member(root, "entities")->payload))
      data.entities.push_back(as_bytes(member(entries_of(entity), "nbt")->payload));
    return data;
  }
  auto schematic = version == 3 ? entries_of(member(root, "Schematic")->payload) : root;
  auto holder = version == 3 ? entries_of(member(schematic, "Blocks")->payload) : schematic;
  for (NbtBytes element : elements_of(member(holder, "BlockEntities")->payload)) {
    auto entries = entries_of(element);
    NbtBytes pos = member(entries, "Pos")->payload;
    data.block_entities[{int_at(pos, 4), int_at(pos, 8), int_at(pos, 12)}] =
        sponge_form(entries, version);
  }
  for (NbtBytes element : elements_of(member(schematic, "Entities")->payload))
    data.entities.push_back(sponge_form(entries_of(element), version));
  return data;
}

// ---- the table ---------------------------------------------------------------------------------

struct Target {
  const char* name;
  VolumeFormat format;
  int32_t sponge_version;
  uint32_t piece_size;  // structure pieces when not 0
};

constexpr Target kTargets[] = {
    {"sponge v3", VolumeFormat::Sponge, 3, 0},
    {"sponge v2", VolumeFormat::Sponge, 2, 0},
    {"structure", VolumeFormat::Structure, 0, 0},
    {"structure pieces", VolumeFormat::Structure, 0, 24},
    {"kbr", VolumeFormat::Kbr, 0, 0},
};

struct Input {
  std::string name;
  Volume volume;
  bool generated = true;
};

// The volume of a real file as the exact reader sees it (every non-air block, air elsewhere), or
// none when that reader refuses the file or the box is over 64^3 (all of them with KUBREL_SLOW).
std::optional<Volume> volume_of_file(const std::filesystem::path& path) {
  auto bytes = testing::read_file(path);
  auto stream =
      AnySchematicInputStream::new_from_known_gzip(std::make_unique<MemorySource>(*bytes));
  auto boundary = stream->boundary();
  if (!boundary || !*boundary) return std::nullopt;
  const Boundary& box = **boundary;
  if (!box.volume() || (*box.volume() > 64 * 64 * 64 && !std::getenv("KUBREL_SLOW")))
    return std::nullopt;
  auto blocks = stream->read_to_end_into_vec();
  if (!blocks) return std::nullopt;
  Volume volume = make_volume({box.d_x, box.d_y, box.d_z}, {}, 0, 100);
  volume.blocks.width = 4;
  volume.blocks.bytes.assign(*box.volume() * 4, std::byte{0});
  std::map<std::string, uint32_t> index_of;
  for (const Block& block : *blocks) {
    auto [at, added] = index_of.try_emplace(canonical(*block.state), volume.palette.size());
    if (added) volume.palette.push_back(at->first);
    const BlockPosition& p = block.position;
    uint64_t cell = (uint64_t(p.y - box.min.y) * box.d_z + uint64_t(p.z - box.min.z)) * box.d_x +
                    uint64_t(p.x - box.min.x);
    std::memcpy(volume.blocks.bytes.data() + cell * 4, &at->second, 4);
  }
  return volume;
}

std::vector<Input> inputs() {
  std::vector<Input> rows;
  rows.push_back({"empty", make_volume({0, 0, 0}, {}, 1)});
  rows.push_back({"flat empty", make_volume({4, 0, 3}, {"minecraft:stone"}, 1)});
  rows.push_back({"single block", make_volume({1, 1, 1}, {"minecraft:stone"}, 1, 0)});
  rows.push_back({"only air", make_volume({3, 2, 5}, {}, 2)});
  rows.push_back({"random small", make_volume({7, 5, 9}, random_states(20, 3), 3)});
  rows.push_back({"random wide palette", make_volume({40, 24, 33}, random_states(700, 4), 4)});
  rows.push_back({"many properties", make_volume({6, 6, 6}, many_properties(), 5)});
  rows.push_back({"non-ASCII names",
                  make_volume({5, 3, 4}, {"minecraft:blöck", "minecraft:城", "minecraft:🏰"}, 6)});
  rows.push_back({"64 cubed", make_volume({64, 64, 64}, random_states(90, 7), 7, 50)});
  Volume repeated = make_volume({9, 4, 7}, {"minecraft:stone", "minecraft:dirt"}, 8);
  repeated.palette.push_back("minecraft:stone");  // a repeated and an unused entry
  repeated.palette.push_back("minecraft:unused");
  repeated.blocks.bytes[5] = std::byte{3};
  rows.push_back({"repeated palette entries", std::move(repeated)});
  if (auto corpus = testing::real_corpus_dir()) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(*corpus)) {
      if (!entry.is_regular_file() || entry.path().extension() == ".tsv") continue;
      if (auto volume = volume_of_file(entry.path())) {
        rows.push_back({entry.path().filename().string(), std::move(*volume), false});
      }
    }
  }
  return rows;
}

TEST(VolumeWritersTest, EveryFormatReadsBackTheSameBlocks) {
  std::filesystem::path folder = testing::scratch_dir("kubrel_writers");
  for (const Input& input : inputs()) {
    for (bool entities : {false, true}) {
      const auto& size = input.volume.size;
      if (entities && (size[0] < 4 || size[1] < 3 || size[2] < 3)) continue;
      Volume volume = entities ? with_entities(input.volume) : input.volume;
      for (const Target& target : kTargets) {
        SCOPED_TRACE(input.name + (entities ? " with entities" : "") + " as " + target.name);
        bool structure = target.format == VolumeFormat::Structure;
        std::vector<Placed> expected = expected_blocks(volume, structure);
        SaveOptions options{.format = target.format, .sponge_version = target.sponge_version};
        std::vector<Placed> got;
        if (target.piece_size) {
          // Files for the generated volumes; the real ones, in many more pieces, in memory.
          if (input.generated) {
            auto paths =
                save_structure_pieces(volume, (folder / "piece").string(), target.piece_size);
            ASSERT_TRUE(paths.has_value()) << paths.error().message;
          }
          for (const VolumeBox& box : structure_pieces(volume, target.piece_size)) {
            VectorSink piece_sink;
            auto gzip = GzipSink::create(piece_sink);
            if (!input.generated) {
              ASSERT_TRUE(write_structure(volume, box, **gzip) && (*gzip)->finish());
            }
            auto bytes = input.generated
                             ? testing::read_file(folder / ("piece_" + piece_name(box) + ".nbt"))
                             : piece_sink.bytes();
            ASSERT_TRUE(bytes.has_value());
            BlockPosition shift{int32_t(box.min[0]), int32_t(box.min[1]), int32_t(box.min[2])};
            auto piece = read_back(target.format, *bytes, shift);
            got.insert(got.end(), piece.begin(), piece.end());
          }
          std::sort(got.begin(), got.end());
          EXPECT_EQ(got, expected);
          continue;
        }
        VectorSink sink;
        auto report = encode_volume(volume, target.format, options, sink);
        if (target.format == VolumeFormat::Kbr && entities) {
          ASSERT_FALSE(report.has_value());
          EXPECT_NE(report.error().message.find("2 block entities and 1 entities"),
                    std::string::npos);
          options.drop_entities = true;
          report = encode_volume(volume, target.format, options, sink);
          ASSERT_TRUE(report.has_value()) << report.error().message;
          EXPECT_EQ(report->dropped_block_entities, 2u);
          EXPECT_EQ(report->dropped_entities, 1u);
          entities = false;
        }
        ASSERT_TRUE(report.has_value()) << report.error().message;
        BlockPosition shift;
        if (target.format == VolumeFormat::Kbr)
          shift = {-volume.origin.x, -volume.origin.y, -volume.origin.z};
        EXPECT_EQ(read_back(target.format, sink.bytes(), shift), expected);
        if (!entities) continue;
        WrittenData data = written_data(target.format, target.sponge_version, sink.bytes());
        ASSERT_EQ(data.block_entities.size(), volume.block_entities.size());
        for (const VolumeBlockEntity& entity : volume.block_entities) {
          const Bytes& written =
              data.block_entities[{entity.position.x, entity.position.y, entity.position.z}];
          EXPECT_TRUE(std::equal(
              written.begin(), written.end(), reinterpret_cast<const uint8_t*>(entity.data.data()),
              reinterpret_cast<const uint8_t*>(entity.data.data() + entity.data.size())));
        }
        ASSERT_EQ(data.entities.size(), 1u);
        // A structure gives an entity without a stored "Pos" its place (a list of 3 doubles).
        const size_t added_pos = structure ? 1 + 2 + 3 + 1 + 4 + 3 * 8 : 0;
        EXPECT_EQ(data.entities[0].size(), volume.entities[0].data.size() + added_pos);
      }
    }
  }
  std::filesystem::remove_all(folder);
}

TEST(VolumeWritersTest, KbrTakesTheOrderOfFewestRunsAndStoresDifferences) {
  // Stripes along x: one run per x along an order with x outermost, one per position otherwise.
  std::vector<std::string> states;
  for (const char* facing : {"east", "north", "south", "west"})
    states.push_back(std::string("minecraft:oak_stairs[facing=") + facing + ",half=top]");
  Volume volume = make_volume({4, 5, 6}, states, 1, 0);
  for (uint64_t cell = 0; cell < 4 * 5 * 6; ++cell)
    volume.blocks.bytes[cell] = std::byte(1 + cell % 4);
  VectorSink sink;
  auto report = write_kbr(volume, {}, sink);
  ASSERT_TRUE(report) << report.error().message;
  EXPECT_EQ(report->runs, 4u);
  EXPECT_EQ(axis(report->order)[0], 0);
  std::string body(sink.bytes().begin(), sink.bytes().end());
  // Each later stair is its predecessor with another facing.
  EXPECT_NE(body.find("+facing=north,half=top"), std::string::npos);
  EXPECT_EQ(body.find("minecraft:oak_stairs[facing=north"), std::string::npos);
}

TEST(VolumeWritersTest, Refusals) {
  Volume good = make_volume({2, 2, 2}, {"minecraft:stone"}, 1);
  Volume bad_index = good;
  bad_index.blocks.bytes[7] = std::byte{9};
  // Counted four positions at a time: a bad index in the middle of a row.
  Volume bad_in_run = make_volume({9, 1, 1}, {"minecraft:stone"}, 1);
  bad_in_run.blocks.bytes[5] = std::byte{7};
  // Counted a stretch at a time when a stretch holds one index: a whole stretch outside.
  Volume bad_stretch = make_volume({128, 1, 1}, {"minecraft:stone"}, 1);
  bad_stretch.blocks.bytes.assign(128, std::byte{8});
  Volume short_grid = good;
  short_grid.blocks.bytes.pop_back();
  Volume wide = make_volume({70000, 1, 0}, {}, 1);
  Volume odd_state = make_volume({1, 1, 1}, {"minecraft:stone[a=b.c]"}, 1, 0);
  Volume quoted_state = make_volume({1, 1, 1}, {"minecraft:oak_sign[text=\"a,b=c\"]"}, 1, 0);
  Volume not_state_text = make_volume({1, 1, 1}, {"minecraft:stone[a=]"}, 1, 0);
  Volume no_id = good;
  no_id.block_entities.push_back({{0, 0, 0}, {std::byte{0}}});
  Volume outside = with_entities(make_volume({1, 1, 1}, {"minecraft:stone"}, 1));
  Volume unversioned = good;
  unversioned.data_version.reset();
  Volume on_void = make_volume({1, 1, 1}, {"minecraft:structure_void"}, 1, 0);
  on_void.block_entities.push_back({{0, 0, 0}, compound("minecraft:chest", "")});
  Volume doubled = good;
  doubled.block_entities.push_back({{0, 0, 0}, compound("minecraft:chest", "")});
  doubled.block_entities.push_back({{0, 0, 0}, compound("minecraft:barrel", "")});
  struct Case {
    const char* label;
    const Volume& volume;
    VolumeFormat format;
    int32_t version;
    const char* message;
  } cases[] = {
      {"index outside the palette", bad_index, VolumeFormat::Sponge, 3,
       "volume grid holds index 9 outside its palette of 2 states"},
      {"index outside the palette", bad_index, VolumeFormat::Kbr, 3,
       "volume grid holds index 9 outside its palette of 2 states"},
      {"index outside the palette", bad_index, VolumeFormat::Structure, 3,
       "volume grid holds index 9 outside its palette of 2 states"},
      {"index outside the palette, mid-row", bad_in_run, VolumeFormat::Structure, 3,
       "volume grid holds index 7 outside its palette of 2 states"},
      {"index outside the palette, a whole stretch", bad_stretch, VolumeFormat::Structure, 3,
       "volume grid holds index 8 outside its palette of 2 states"},
      {"grid shorter than the size", short_grid, VolumeFormat::Structure, 3,
       "volume grid holds 7 bytes where its size needs 8"},
      {"Sponge version 4", good, VolumeFormat::Sponge, 4,
       "Sponge schematics are written as version 2 or 3, not 4"},
      {"Sponge axis over 65535", wide, VolumeFormat::Sponge, 3,
       "Sponge schematics hold at most 65535 positions per axis, the volume has 70000"},
      {"state KBR cannot spell", odd_state, VolumeFormat::Kbr, 3,
       "KBR cannot hold the state 'minecraft:stone[a=b.c]': it is neither a state text nor a "
       "difference the format can read"},
      {"state KBR cannot spell: quoted", quoted_state, VolumeFormat::Kbr, 3,
       "KBR cannot hold the state 'minecraft:oak_sign[text=\"a,b=c\"]': it is neither a state "
       "text nor a difference the format can read"},
      {"not state text", not_state_text, VolumeFormat::Sponge, 3,
       "malformed block state 'minecraft:stone[a=]': empty property key or value"},
      {"not state text", not_state_text, VolumeFormat::Structure, 3,
       "malformed block state 'minecraft:stone[a=]': empty property key or value"},
      {"block entity without id", no_id, VolumeFormat::Sponge, 2,
       "block entity at BlockPosition { x: 0, y: 0, z: 0 } has no String \"id\""},
      {"block entity outside", outside, VolumeFormat::Structure, 3,
       "block entity at BlockPosition { x: 1, y: 0, z: 2 } lies outside the volume"},
      {"block entity on a position left out", on_void, VolumeFormat::Structure, 3,
       "the block entity at BlockPosition { x: 0, y: 0, z: 0 } stands on "
       "minecraft:structure_void, which a structure leaves out"},
      {"two block entities at a position", doubled, VolumeFormat::Structure, 3,
       "two block entities stand at BlockPosition { x: 0, y: 0, z: 0 }; a structure holds one "
       "per position"},
      {"no data version", unversioned, VolumeFormat::Sponge, 3,
       "the volume has no data version, which Sponge files require: name the game version its "
       "states are of (data_version=)"},
      {"no data version", unversioned, VolumeFormat::Litematic, 3,
       "the volume has no data version, which Litematica files require: name the game version "
       "its states are of (data_version=)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    VectorSink sink;
    auto result =
        encode_volume(c.volume, c.format, {.format = c.format, .sponge_version = c.version}, sink);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message, c.message);
  }
  EXPECT_EQ(format_from_path("a/b.SCHEM").value(), VolumeFormat::Sponge);
  EXPECT_EQ(format_from_path("b.nbt").value(), VolumeFormat::Structure);
  EXPECT_EQ(format_from_path("b.kbr").value(), VolumeFormat::Kbr);
  EXPECT_FALSE(format_from_path("b.txt"));
  // Entities far outside any box, or at no number at all, are still written (the sanitizer build
  // catches a coordinate converted out of range).
  Volume far = make_volume({1, 1, 1}, {"minecraft:stone"}, 1);
  for (double d : {1e300, -1e300, 3e9, std::numeric_limits<double>::quiet_NaN()})
    far.entities.push_back({{d, d, -d}, compound("minecraft:pig", ""), std::nullopt});
  for (VolumeFormat format : {VolumeFormat::Structure, VolumeFormat::Litematic}) {
    VectorSink sink;
    EXPECT_TRUE(encode_volume(far, format, {.format = format}, sink));
  }
}

}  // namespace
}  // namespace kubrel
