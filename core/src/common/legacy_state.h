// Blocks of the numeric-id era (before 1.13), kept as their numbers: the state text that holds
// them, which no modern state can be mistaken for, and the palette that numbered blocks are
// collected into without text work per block.
//
// The form is "#id:data", or "#id:data(name)" where a map of the file or world names the id:
// "#35:14(minecraft:wool)", "#562:0(gregtech:gt.meta.ore.normal.default)". A modern name holds
// only [a-z0-9_.-] in its namespace and [a-z0-9_.-/] in its path, so "#" never starts one. The
// form is one bare name token of the state text syntax (common/state_text.h); a mapped name that
// holds a character that must be quoted makes the whole token quoted, '"#1:0(odd name)"'. Id 0
// is air in every numbered version and becomes "minecraft:air", whatever its data.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"

namespace kubrel {

// Numeric ids reach 4095 with the "Add" nibbles; data values are nibbles.
inline constexpr uint32_t kLegacyIdCount = 4096;
inline constexpr uint32_t kLegacyDataCount = 16;

// Names of numeric block ids, from a world's or a file's own map; an empty entry is unknown.
struct LegacyNames {
  std::vector<std::string> by_id;

  std::string_view name_of(uint32_t id) const {
    return id < by_id.size() ? std::string_view(by_id[id]) : std::string_view();
  }
  // Names `id` (below kLegacyIdCount; others are ignored), the last name given winning.
  void set(uint32_t id, std::string name);
};

// The state text of block `id` with `data`, named `name` when not empty.
std::string legacy_state_text(uint32_t id, uint32_t data, std::string_view name);

// Whether `text` is a state text in the form above (its name token starts with "#").
bool is_legacy_state(std::string_view text);

// The first of `palette` that is a legacy state, if any.
std::optional<std::string_view> first_legacy_state(std::span<const std::string> palette);

// The refusal of writing `state` (a legacy state) in the format `format`.
std::unexpected<Error> legacy_write_refusal(std::string_view format, std::string_view state);

// Collects numbered blocks into a palette of their state texts: entry 0 is "minecraft:air", each
// (id, data) gets its text once, when first seen. A table of every (id, data) pair makes a block's
// slot one lookup; it is allocated once and cleared only where used, so one palette serves many
// chunks in turn.
class LegacyPalette {
 public:
  explicit LegacyPalette(const LegacyNames* names = nullptr);

  // The palette slot of block `id` (below kLegacyIdCount) with `data` (below 16).
  uint32_t slot(uint32_t id, uint32_t data) {
    uint32_t key = id * kLegacyDataCount + data;
    uint32_t held = table_[key];
    return held != 0 ? held - 1 : add(key);
  }
  const std::vector<std::string>& states() const { return states_; }
  // Hands over the states and starts again with air alone.
  std::vector<std::string> take();
  // Starts again with air alone.
  void reset();

 private:
  uint32_t add(uint32_t key);

  const LegacyNames* names_;
  std::vector<uint32_t> table_;  // slot + 1 for every (id, data) seen, 0 otherwise
  std::vector<uint32_t> used_;   // the keys set in `table_`
  std::vector<std::string> states_;
};

}  // namespace kubrel
