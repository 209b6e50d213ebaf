// The array decoders against the exact reader and hand-built inputs: one table of formats and
// their variants, one of hostile inputs, and a differential loop over the real corpus.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "formats/any_reader.h"
#include "support/corpus.h"
#include "volume/volume_loader.h"
#include "volume/volume_parts.h"

namespace kubrel {
namespace {

using Bytes = std::vector<uint8_t>;

bool is_air_text(std::string_view text) {
  return text == "minecraft:air" || text == "minecraft:cave_air" || text == "minecraft:void_air";
}

uint32_t index_at(const Volume& volume, uint64_t i) {
  return with_index_type(volume.blocks.width, [&]<class T>(T) -> uint32_t {
    T value;
    std::memcpy(&value, volume.blocks.bytes.data() + i * sizeof(T), sizeof(T));
    return value;
  });
}

// The canonical text at (x, y, z) of the volume.
const std::string& text_at(const Volume& volume, const std::array<int32_t, 3>& p) {
  uint64_t i = (uint64_t(p[1]) * volume.size[2] + uint64_t(p[2])) * volume.size[0] + uint64_t(p[0]);
  return volume.palette.at(index_at(volume, i));
}

// Whether the volume holds exactly the non-air blocks that the exact reader hands out for `file`
// (structure voids that the file does not list left out); none when the exact reader refuses it.
std::optional<bool> agrees_with_exact_reader(const Bytes& file, const Volume& volume) {
  // Only KBR places its box in the exact reader's frame; the others count from zero.
  BlockPosition frame = volume.format == VolumeFormat::Kbr ? volume.origin : BlockPosition{};
  auto stream = AnySchematicInputStream::new_from_known_gzip(std::make_unique<MemorySource>(file));
  std::vector<Block> bulk;
  uint64_t exact_count = 0;
  bool listed_void = false;
  while (true) {
    bulk.clear();
    auto count = stream->read(bulk, 4096);
    if (!count) return std::nullopt;
    if (!*count) break;
    for (const Block& block : bulk) {
      std::array<int32_t, 3> p = {block.position.x - frame.x, block.position.y - frame.y,
                                  block.position.z - frame.z};
      for (int axis = 0; axis < 3; ++axis) {
        if (p[axis] < 0 || uint32_t(p[axis]) >= volume.size[axis]) return false;
      }
      std::string text = canonical_state_text(block.state->name(), block.state->properties());
      if (text != text_at(volume, p)) {
        ADD_FAILURE() << "at " << block.position.debug_string() << ": " << text << " vs "
                      << text_at(volume, p);
        return false;
      }
      listed_void |= text == kStructureVoidText;
      ++exact_count;
    }
  }
  std::vector<bool> counted(volume.palette.size());
  for (size_t i = 0; i < counted.size(); ++i) {
    const std::string& text = volume.palette[i];
    counted[i] = !is_air_text(text) && (listed_void || text != kStructureVoidText);
  }
  uint64_t volume_count = 0;
  const uint64_t positions = volume.blocks.bytes.size() / volume.blocks.width;
  for (uint64_t i = 0; i < positions; ++i) volume_count += counted[index_at(volume, i)];
  // Unlisted positions are voids in the volume only; a file that lists voids too is compared
  // position by position above, and by count only where it lists every position.
  if (listed_void && volume.format == VolumeFormat::Structure) return true;
  return volume_count == exact_count;
}

TEST(VolumeCorpus, EveryFileLoadsOrIsRefusedAndAgreesWithTheExactReader) {
  auto corpus = testing::real_corpus_dir();
  if (!corpus) GTEST_SKIP() << "real corpus not present";
  size_t loaded = 0, refused = 0, compared = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(*corpus)) {
    if (!entry.is_regular_file() || entry.path().extension() == ".tsv") continue;
    SCOPED_TRACE(entry.path().string());
    Bytes file = *testing::read_file(entry.path());
    auto volume = load_volume(file);
    bool legacy_mcedit = entry.path().filename().string().starts_with("mcedit") ||
                         entry.path().filename().string().starts_with("schematica");
    if (!volume) {
      ++refused;
      std::printf("refused %s: %s\n", entry.path().filename().c_str(),
                  volume.error().message.c_str());
      EXPECT_TRUE(legacy_mcedit) << volume.error().message;
      EXPECT_NE(volume.error().message.find("legacy MCEdit"), std::string::npos);
      continue;
    }
    ++loaded;
    EXPECT_FALSE(legacy_mcedit);
    std::optional<bool> agrees = agrees_with_exact_reader(file, *volume);
    if (!agrees) continue;
    ++compared;
    EXPECT_TRUE(*agrees);
  }
  std::printf("corpus: %zu loaded, %zu refused, %zu compared with the exact reader\n", loaded,
              refused, compared);
}

}  // namespace
}  // namespace kubrel
