// The id maps of level.dat: Forge's registry (1.10+) and item data (1.7), a vanilla file without
// either, maps of the wrong shape, and the real level.dat files of two modded worlds.
#include "world/legacy_ids.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "support/corpus.h"
#include "support/nbt_writer.h"

namespace kubrel {
namespace {

using Bytes = std::vector<uint8_t>;
using Pairs = std::vector<std::pair<std::string, int32_t>>;

// A level.dat holding `entries` as 1.10's block registry, or as 1.7's item data beside "Data".
Bytes level_dat(bool registry, const Pairs& entries) {
  testing::NbtWriter w;
  w.compound("").compound("Data").int_("version", 19133).end().compound("FML");
  if (registry) w.compound("Registries").compound("minecraft:blocks");
  w.list(registry ? "ids" : "ItemData", NbtKind::Compound);
  for (const auto& [k, v] : entries) w.compound("").string("K", k).int_("V", v).end();
  if (registry) w.end().end();
  w.end().end().end();
  return w.bytes();
}

struct IdsCase {
  std::string name;
  Bytes level_dat;
  std::vector<std::pair<uint32_t, std::string>> want;  // id -> name ("" unnamed)
  std::string error = "";
};

TEST(LegacyIdsTest, ReadsForgeMapsOrNone) {
  testing::NbtWriter bad;
  bad.compound("").compound("FML").list("ItemData", NbtKind::Compound).compound("");
  bad.int_("K", 1).int_("V", 1).end().end().end().end();
  std::vector<IdsCase> cases = {
      {"registry",
       level_dat(true, {{"minecraft:stone", 1}, {"m:last", 4095}, {"m:past", 4096}, {"m:-", -1}}),
       {{1, "minecraft:stone"}, {4095, "m:last"}, {2, ""}}},
      {"item data: blocks only",
       level_dat(false, {{"\x01minecraft:stone", 1}, {"\x02minecraft:apple", 260}, {"\x02m:x", 2}}),
       {{1, "minecraft:stone"}, {260, ""}, {2, ""}}},
      {"vanilla", level_dat(false, {}), {{1, ""}}},
      {"K not a String",
       bad.bytes(),
       {},
       "level.dat: 'ItemData' entry 0 is not a {K: name, V: id}"},
      {"not NBT", Bytes{1, 2, 3}, {}, "level.dat: "},
  };
  auto corpus = testing::real_corpus_dir();
  for (auto [world, id, name] : {std::tuple{"elevator_1_10_2", 1, "minecraft:stone"},
                                 {"gregtech_1_7_10", 562, "gregtech:gt.meta.ore.normal.default"}}) {
    auto file = testing::read_file(corpus.value_or("") / ".." / "worlds" / world / "level.dat");
    if (corpus && file)
      cases.push_back(
          {world, testing::gunzip(*file).value_or(Bytes{}), {{id, name}, {0, "minecraft:air"}}});
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto names = read_legacy_ids(c.level_dat);
    if (!c.error.empty()) {
      ASSERT_FALSE(names.has_value());
      EXPECT_TRUE(names.error().message.starts_with(c.error)) << names.error().message;
      continue;
    }
    ASSERT_TRUE(names.has_value()) << names.error().message;
    for (const auto& [id, name] : c.want) EXPECT_EQ(names->name_of(id), name) << id;
  }
}

}  // namespace
}  // namespace kubrel
