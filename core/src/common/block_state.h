// Block states: a type name and ordered property pairs, immutable and shared between blocks through
// atomically counted handles, and Block, the unit every reader hands out.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/error.h"
#include "common/geometry.h"

namespace kubrel {

using Property = std::pair<std::string, std::string>;

class BlockState {
 public:
  BlockState(std::string name, std::vector<Property> properties);

  // Parses "minecraft:name[key=value,...]" or a bare name; see block_state.cpp for the grammar.
  [[nodiscard]] static Result<BlockState> from_string(std::string_view text);
  // One pair per map entry, in the map's own iteration order; no checks are made.
  static BlockState from_name_and_properties(std::string name,
                                             const std::unordered_map<std::string, std::string>& properties);
  // Applies a difference string (new name, "-keys" to remove, "+key=value" to add or replace) and
  // returns the new state; this state is unchanged.
  [[nodiscard]] Result<BlockState> update(std::string_view difference) const;

  const std::string& name() const { return name_; }
  const std::vector<Property>& properties() const { return properties_; }
  // Whole-name equality with one of the three air names; properties are ignored.
  bool is_air() const { return is_air_; }
  size_t hash() const { return hash_; }

  bool operator==(const BlockState& other) const;

 private:
  std::string name_;
  std::vector<Property> properties_;
  size_t hash_;
  bool is_air_;
};

using BlockStateRef = std::shared_ptr<const BlockState>;

inline BlockStateRef make_state(BlockState state) {
  return std::make_shared<const BlockState>(std::move(state));
}

struct Block {
  BlockPosition position;
  BlockStateRef state;
};

// Hashing and equality of handles by the content of the state they point to.
struct BlockStateRefHash {
  using is_transparent = void;
  size_t operator()(const BlockStateRef& state) const { return state->hash(); }
  size_t operator()(const BlockState& state) const { return state.hash(); }
};
struct BlockStateRefEqual {
  using is_transparent = void;
  bool operator()(const BlockStateRef& a, const BlockStateRef& b) const { return a == b || *a == *b; }
  bool operator()(const BlockStateRef& a, const BlockState& b) const { return *a == b; }
  bool operator()(const BlockState& a, const BlockStateRef& b) const { return a == *b; }
};

}  // namespace kubrel

template <>
struct std::hash<kubrel::BlockState> {
  size_t operator()(const kubrel::BlockState& state) const { return state.hash(); }
};
