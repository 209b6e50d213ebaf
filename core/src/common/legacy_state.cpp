// The legacy state form and the palette of numbered blocks.
#include "common/legacy_state.h"

#include "common/state_text.h"

namespace kubrel {

namespace {

constexpr std::string_view kAir = "minecraft:air";

}  // namespace

void LegacyNames::set(uint32_t id, std::string name) {
  if (id >= kLegacyIdCount) return;
  if (by_id.size() <= id) by_id.resize(id + 1);
  by_id[id] = std::move(name);
}

std::string legacy_state_text(uint32_t id, uint32_t data, std::string_view name) {
  if (id == 0) return std::string(kAir);
  std::string token = "#" + std::to_string(id) + ":" + std::to_string(data);
  if (!name.empty()) token.append("(").append(name).append(")");
  return state_token_text(token);
}

bool is_legacy_state(std::string_view text) {
  return text.starts_with('#') || text.starts_with("\"#");
}

std::optional<std::string_view> first_legacy_state(std::span<const std::string> palette) {
  for (const std::string& text : palette) {
    if (is_legacy_state(text)) return text;
  }
  return std::nullopt;
}

std::unexpected<Error> legacy_write_refusal(std::string_view format, std::string_view state) {
  return fail("cannot write " + std::string(format) + ": the volume holds numeric-id blocks (" +
              std::string(state) +
              ") from before 1.13, and their states are not translated to modern ones");
}

LegacyPalette::LegacyPalette(const LegacyNames* names)
    : names_(names), table_(size_t{kLegacyIdCount} * kLegacyDataCount, 0) {
  reset();
}

std::vector<std::string> LegacyPalette::take() {
  std::vector<std::string> states = std::move(states_);
  reset();
  return states;
}

uint32_t LegacyPalette::add(uint32_t key) {
  uint32_t id = key / kLegacyDataCount;
  uint32_t slot = 0;
  if (id != 0) {
    slot = static_cast<uint32_t>(states_.size());
    std::string_view name = names_ ? names_->name_of(id) : std::string_view();
    states_.push_back(legacy_state_text(id, key % kLegacyDataCount, name));
  }
  table_[key] = slot + 1;
  used_.push_back(key);
  return slot;
}

void LegacyPalette::reset() {
  for (uint32_t key : used_) table_[key] = 0;
  used_.clear();
  states_.assign(1, std::string(kAir));
}

}  // namespace kubrel
