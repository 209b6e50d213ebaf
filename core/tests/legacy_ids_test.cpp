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

void pairs(testing::NbtWriter& w, std::string_view list, const Pairs& entries) {
  w.list(list, NbtKind::Compound);
  for (const auto& [k, v] : entries) w.compound("").string("K", k).int_("V", v).end();
  w.end();
}

Bytes registry(const Pairs& ids) {
  testing::NbtWriter w;
  w.compound("").compound("FML").compound("Registries").compound("minecraft:blocks");
  pairs(w, "ids", ids);
  w.end().end().end().end();
  return w.bytes();
}

Bytes item_data(const Pairs& items) {
  testing::NbtWriter w;
  w.compound("").compound("Data").int_("version", 19133).end().compound("FML");
  pairs(w, "ItemData", items);
  w.end().end();
  return w.bytes();
}

struct IdsCase {
  std::string name;
  Bytes level_dat;
  std::vector<std::pair<uint32_t, std::string>> want;  // id -> name ("" unnamed)
  std::string error = "";
};

std::optional<Bytes> world_level_dat(const std::string& world) {
  auto corpus = testing::real_corpus_dir();
  if (!corpus) return std::nullopt;
  auto file = testing::read_file(corpus->parent_path() / "worlds" / world / "level.dat");
  if (!file) return std::nullopt;
  return testing::gunzip(*file);
}

TEST(LegacyIdsTest, ReadsForgeMapsOrNone) {
  std::vector<IdsCase> cases = {
      {"registry",
       registry({{"minecraft:stone", 1}, {"mod:last", 4095}, {"mod:past", 4096}, {"mod:neg", -1}}),
       {{1, "minecraft:stone"}, {4095, "mod:last"}, {2, ""}}},
      {"item data: blocks only",
       item_data({{"\x01minecraft:stone", 1}, {"\x02minecraft:apple", 260}, {"\x02mod:x", 2}}),
       {{1, "minecraft:stone"}, {260, ""}, {2, ""}}},
      {"vanilla", item_data({}), {{1, ""}}},
  };
  {
    testing::NbtWriter w;
    w.compound("").compound("FML").list("ItemData", NbtKind::Compound).compound("");
    w.int_("K", 1).int_("V", 1).end().end().end().end();
    cases.push_back({"K not a String",
                     w.bytes(),
                     {},
                     "level.dat: 'ItemData' entry 0 is not a {K: name, V: id}"});
  }
  cases.push_back({"not NBT", Bytes{1, 2, 3}, {}, "level.dat: "});
  for (auto [world, id, name] : {std::tuple{"elevator_1_10_2", 1, "minecraft:stone"},
                                 {"gregtech_1_7_10", 562, "gregtech:gt.meta.ore.normal.default"}}) {
    if (auto file = world_level_dat(world))
      cases.push_back({world, *file, {{id, name}, {0, "minecraft:air"}}});
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
