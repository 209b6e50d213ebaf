// Difference strings: a block state described as a change to an earlier one (a new name, keys to
// remove, pairs to add). Palette entries of the KBR format are stored this way.
#include <algorithm>
#include <string>
#include <unordered_set>
#include <vector>

#include "common/block_state.h"
#include "common/text.h"

namespace kubrel {

namespace {

constexpr size_t kMaxDifferenceLength = 4096;
constexpr size_t kMaxNameLength = 64;
constexpr size_t kMaxListLength = 256;

bool is_difference_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
         c == ',' || c == '-' || c == ':' || c == '=' || c == '_';
}

std::unexpected<Error> malformed(const std::string& detail) {
  return fail("Malformed difference string: " + detail);
}

}  // namespace

Result<BlockState> BlockState::update(std::string_view difference) const {
  if (trim_space(difference).empty()) return BlockState(name_, properties_);
  if (difference.size() > kMaxDifferenceLength) {
    return malformed("length " + std::to_string(difference.size()) + " exceeds maximum of " +
                     std::to_string(kMaxDifferenceLength));
  }
  const std::string s = remove_space(difference);
  if (!std::all_of(s.begin(), s.end(), is_difference_char)) {
    return malformed("illegal character in '" + s + "'");
  }

  const size_t first_sign = std::min(s.find_first_of("+-"), s.size());
  std::string name = first_sign > 0 ? s.substr(0, first_sign) : name_;
  if (name.size() > kMaxNameLength) return malformed("new type name too long");

  // Views into `s`, which outlives them.
  std::vector<std::string_view> removals;
  std::vector<std::pair<std::string_view, std::string_view>> additions;
  std::string_view rest = std::string_view(s).substr(first_sign);
  while (!rest.empty()) {
    const char sign = rest[0];
    const size_t end = std::min(rest.find_first_of("+-", 1), rest.size());
    const std::string_view body = rest.substr(1, end - 1);
    rest = rest.substr(end);
    KUBREL_TRY(for_each_piece(body, ',', [&](std::string_view piece) -> Status {
      if (sign == '-') {
        removals.push_back(piece);
        if (removals.size() > kMaxListLength) return malformed("too many properties to remove");
        return {};
      }
      const size_t eq = piece.find('=');
      if (eq == piece.npos) return {};
      additions.emplace_back(piece.substr(0, eq), piece.substr(eq + 1));
      if (additions.size() > kMaxListLength) return malformed("too many properties to add");
      return {};
    }));
  }

  // An added key replaces every pair of that key; the replacement goes to the end.
  std::unordered_set<std::string_view> dropped(removals.begin(), removals.end());
  for (const auto& [key, value] : additions) dropped.insert(key);
  std::vector<Property> properties;
  for (const auto& pair : properties_) {
    if (!dropped.contains(pair.first)) properties.push_back(pair);
  }
  for (const auto& [key, value] : additions) properties.emplace_back(key, value);
  return BlockState(std::move(name), std::move(properties));
}

}  // namespace kubrel
