#include "common/block_state.h"

namespace kubrel {

namespace {

size_t combine(size_t seed, size_t value) {
  return seed ^ (value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
}

size_t content_hash(const std::string& name, const std::vector<Property>& properties) {
  std::hash<std::string_view> text_hash;
  size_t seed = text_hash(name);
  seed = combine(seed, properties.size());
  for (const auto& [key, value] : properties) {
    seed = combine(seed, text_hash(key));
    seed = combine(seed, text_hash(value));
  }
  return seed;
}

bool is_air_name(std::string_view name) {
  return name == "minecraft:air" || name == "minecraft:cave_air" || name == "minecraft:void_air";
}

}  // namespace

BlockState::BlockState(std::string name, std::vector<Property> properties)
    : name_(std::move(name)),
      properties_(std::move(properties)),
      hash_(content_hash(name_, properties_)),
      is_air_(is_air_name(name_)) {}

BlockState BlockState::from_name_and_properties(
    std::string name, const std::unordered_map<std::string, std::string>& properties) {
  std::vector<Property> pairs(properties.begin(), properties.end());
  return BlockState(std::move(name), std::move(pairs));
}

bool BlockState::operator==(const BlockState& other) const {
  if (this == &other) return true;
  return hash_ == other.hash_ && name_ == other.name_ && properties_ == other.properties_;
}

}  // namespace kubrel
