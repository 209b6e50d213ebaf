// Block states: construction, the exact text grammar of palette entries (over the shared state
// text tokenizer), content hash and equality.
#include "common/block_state.h"

#include <algorithm>

#include "common/state_text.h"
#include "common/text.h"

namespace kubrel {

namespace {

constexpr std::string_view kNamespace = "minecraft:";

bool is_path_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '/' || c == ':' || c == '_';
}

bool is_property_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-' || c == '+';
}

template <class Pred>
bool all_chars(std::string_view text, Pred pred) {
  return std::all_of(text.begin(), text.end(), pred);
}

std::unexpected<Error> malformed(std::string_view detail) {
  return fail("Malformed BlockState string: " + std::string(detail));
}

std::unexpected<Error> malformed_quoting(std::string_view before, std::string_view quoted,
                                         std::string_view after) {
  return malformed(std::string(before) + "'" + std::string(quoted) + "'" + std::string(after));
}

// The pairs of "key=value,key=value", checked pair by pair in the order written. Quotes are
// ordinary characters here, so the plain tokenizer cannot fail.
Result<std::vector<Property>> parse_properties(std::string_view body) {
  std::vector<Property> properties;
  KUBREL_TRY(for_each_raw_pair(body, Quoting::kNone, [&](const RawPair& pair) -> Status {
    std::string_view key = pair.has_equals ? pair.key : std::string_view();
    std::string_view value = pair.value;
    if (key.empty() || value.empty()) return malformed("empty property key or value");
    if (!all_chars(key, is_property_char)) {
      return malformed_quoting("illegal character in property key ", key, "");
    }
    if (!all_chars(value, is_property_char)) {
      return malformed_quoting("illegal character in property value ", value, "");
    }
    properties.emplace_back(std::string(key), std::string(value));
    return {};
  }));
  return properties;
}

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

}  // namespace

bool is_air_state_name(std::string_view name) {
  return name == "minecraft:air" || name == "minecraft:cave_air" || name == "minecraft:void_air";
}

BlockState::BlockState(std::string name, std::vector<Property> properties)
    : name_(std::move(name)),
      properties_(std::move(properties)),
      hash_(content_hash(name_, properties_)),
      is_air_(is_air_state_name(name_)) {}

BlockState BlockState::from_name_and_properties(
    std::string name, const std::unordered_map<std::string, std::string>& properties) {
  std::vector<Property> pairs(properties.begin(), properties.end());
  return BlockState(std::move(name), std::move(pairs));
}

Result<BlockState> BlockState::from_string(std::string_view text) {
  KUBREL_ASSIGN_OR_RETURN(StateTextCut cut, cut_state_text(text, Quoting::kNone));
  if (!cut.has_open) {
    if (text.find(']') != std::string_view::npos) return malformed("missing '['");
    std::string_view name = trim_space(text);
    if (name.empty()) return malformed("empty input");
    return BlockState(std::string(name), {});
  }

  if (!cut.head.starts_with(kNamespace)) {
    return malformed_quoting("", cut.head, " must start with 'minecraft:'");
  }
  std::string_view path = trim_space(cut.head.substr(kNamespace.size()));
  if (!all_chars(path, is_path_char)) {
    return malformed_quoting("illegal character in path ", path, "");
  }

  std::vector<Property> properties;
  if (!cut.closed || !cut.body.empty()) {
    // Text that does not end with the closing bracket still has its pairs checked first, so a
    // stray character after "]" is reported where it stands.
    KUBREL_ASSIGN_OR_RETURN(properties, parse_properties(cut.body));
    if (!cut.closed) return malformed("missing ']'");
  }
  return BlockState(std::string(trim_space(cut.head)), std::move(properties));
}

bool BlockState::operator==(const BlockState& other) const {
  if (this == &other) return true;
  return hash_ == other.hash_ && name_ == other.name_ && properties_ == other.properties_;
}

size_t BlockState::footprint() const {
  size_t bytes = sizeof(BlockState) + name_.size() + properties_.size() * sizeof(Property);
  for (const auto& [key, value] : properties_) bytes += key.size() + value.size();
  return bytes;
}

}  // namespace kubrel
