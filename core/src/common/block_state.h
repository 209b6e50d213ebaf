// Block states: a type name and ordered property pairs, immutable and shared between blocks through
// atomically counted handles, and Block, the unit every reader hands out.
#pragma once

#include <cstddef>
#include <cstdint>
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

  // Parses the text form of palettes. Without "[" the text is a bare name, trimmed of whitespace
  // and otherwise unchecked. With "[" the text before it must start with "minecraft:", the rest of
  // that name (trimmed) may hold only a-z, 0-9, "/", ":" and "_", and the text after it is
  // "key=value" pairs separated by "," and closed by "]"; keys and values are trimmed and may
  // hold only ASCII letters, digits, "_", "-" and "+". Pairs keep their order and duplicates.
  // Fails with a "Malformed BlockState string: ..." message naming the first fault; text with "["
  // that does not end with "]" has its pairs checked and then fails with "missing ']'".
  [[nodiscard]] static Result<BlockState> from_string(std::string_view text);
  // One pair per map entry, in the map's own iteration order; no checks are made.
  static BlockState from_name_and_properties(
      std::string name, const std::unordered_map<std::string, std::string>& properties);
  // Applies a difference string and returns the new state; this state is unchanged. With all
  // whitespace removed, the string is an optional new name followed by segments "-k1,k2" (keys to
  // remove) and "+k=v,..." (pairs to add; each replaces every pair of that key). Kept pairs stay in
  // order, added pairs follow. A blank string gives an equal copy. Fails with a
  // "Malformed difference string: ..." message on a string over 4096 bytes, a character other than
  // ASCII letters, digits and "+,-:=_", a name over 64 bytes, or over 256 keys to remove or pairs
  // to add.
  [[nodiscard]] Result<BlockState> update(std::string_view difference) const;

  const std::string& name() const { return name_; }
  const std::vector<Property>& properties() const { return properties_; }
  // Whole-name equality with one of the three air names; properties are ignored.
  bool is_air() const { return is_air_; }
  size_t hash() const { return hash_; }
  // About how many bytes the state holds: the object, its pairs and all their text. Readers
  // count it against the limit on the memory their palettes may take.
  size_t footprint() const;

  bool operator==(const BlockState& other) const;

 private:
  std::string name_;
  std::vector<Property> properties_;
  size_t hash_;
  bool is_air_;
};

using BlockStateRef = std::shared_ptr<const BlockState>;

// Whether `name` is one of the three air names (what BlockState::is_air tells of a state).
bool is_air_state_name(std::string_view name);

// The most bytes of states (footprint() and a handle each) that one reader's palette may hold.
// Formats that derive entries from earlier ones or spell them in a byte or two would otherwise let
// a small file claim far more memory than it holds.
inline constexpr size_t kMaxPaletteBytes = size_t{64} << 20;

inline BlockStateRef make_state(BlockState state) {
  return std::make_shared<const BlockState>(std::move(state));
}

struct Block {
  BlockPosition position;
  BlockStateRef state;
};

// A block whose state is named by its index in the table of the reader that made it. Handing
// these out touches no reference count, where a Block's handle costs two atomic operations over
// its life; a consumer that keeps blocks counts references once per state instead.
struct IndexedBlock {
  BlockPosition position;
  uint32_t state;
};

// Hashing and equality of handles by the content of the state they point to.
struct BlockStateRefHash {
  using is_transparent = void;
  size_t operator()(const BlockStateRef& state) const { return state->hash(); }
  size_t operator()(const BlockState& state) const { return state.hash(); }
};
struct BlockStateRefEqual {
  using is_transparent = void;
  bool operator()(const BlockStateRef& a, const BlockStateRef& b) const {
    return a == b || *a == *b;
  }
  bool operator()(const BlockStateRef& a, const BlockState& b) const { return *a == b; }
  bool operator()(const BlockState& a, const BlockStateRef& b) const { return a == *b; }
};

}  // namespace kubrel

template <>
struct std::hash<kubrel::BlockState> {
  size_t operator()(const kubrel::BlockState& state) const { return state.hash(); }
};
