// The id maps of level.dat, walked in place.
#include "world/legacy_ids.h"

#include <string_view>

#include "nbt/nbt_view.h"

namespace kubrel {

namespace {

// Adds each {K, V} pair of the list `tag` whose K starts with `prefix`, without it.
Status read_pairs(std::span<const uint8_t> document, const NbtTagRef& tag, std::string_view list,
                  int depth, std::string_view prefix, LegacyNames& names) {
  return for_each_compound(document, tag, list, [&](size_t element, uint32_t i) -> Result<size_t> {
    NbtEntries<2> keys{{"K", "V"}};
    KUBREL_ASSIGN_OR_RETURN(size_t end, find_entries(document, element, depth, keys));
    if (keys["K"].kind != NbtKind::String || !keys["V"].found())
      return fail(quoted(list) + " entry " + std::to_string(i) + " is not a {K: name, V: id}");
    NbtCursor cursor(document, keys["K"].payload);
    KUBREL_ASSIGN_OR_RETURN(std::string_view raw, cursor.raw_text());
    KUBREL_ASSIGN_OR_RETURN(int64_t id, read_integer(document, keys["V"]));
    if (!raw.starts_with(prefix) || id < 0 || id >= kLegacyIdCount) return end;
    KUBREL_ASSIGN_OR_RETURN(std::string name, nbt_text(raw.substr(prefix.size())));
    names.set(static_cast<uint32_t>(id), std::move(name));
    return end;
  });
}

// The compound `name` inside the compound at `payload`, if there is one.
Result<NbtTagRef> child(std::span<const uint8_t> document, size_t payload, int depth,
                        std::string_view name) {
  NbtEntries<1> keys{{name}};
  KUBREL_TRY(find_entries(document, payload, depth, keys));
  return keys[name];
}

Result<LegacyNames> read_ids(std::span<const uint8_t> document) {
  LegacyNames names;
  KUBREL_ASSIGN_OR_RETURN(size_t root, nbt_root_compound(document));
  KUBREL_ASSIGN_OR_RETURN(NbtTagRef fml, child(document, root, 0, "FML"));
  if (fml.kind != NbtKind::Compound) return names;
  NbtEntries<2> maps{{"Registries", "ItemData"}};
  KUBREL_TRY(find_entries(document, fml.payload, 1, maps));
  // 1.7's item data names blocks and items alike; the "\x01" prefix marks the blocks.
  KUBREL_TRY(read_pairs(document, maps["ItemData"], "ItemData", 3, "\x01", names));
  if (maps["Registries"].kind != NbtKind::Compound) return names;
  KUBREL_ASSIGN_OR_RETURN(NbtTagRef blocks,
                          child(document, maps["Registries"].payload, 2, "minecraft:blocks"));
  if (blocks.kind != NbtKind::Compound) return names;
  KUBREL_ASSIGN_OR_RETURN(NbtTagRef ids, child(document, blocks.payload, 3, "ids"));
  KUBREL_TRY(read_pairs(document, ids, "ids", 5, "", names));
  return names;
}

}  // namespace

Result<LegacyNames> read_legacy_ids(std::span<const uint8_t> level_dat) {
  auto names = read_ids(level_dat);
  if (!names) return fail("level.dat: " + names.error().message);
  return names;
}

}  // namespace kubrel
