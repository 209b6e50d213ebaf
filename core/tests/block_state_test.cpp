// Block state text grammar, content equality and hashing, and air detection.
#include "common/block_state.h"

#include <gtest/gtest.h>

#include <string>
#include <unordered_set>
#include <vector>

namespace kubrel {
namespace {

struct ParseCase {
  std::string text;
  std::string name;
  std::vector<Property> properties;
};

TEST(BlockStateTest, ParsesValidText) {
  const std::vector<ParseCase> cases = {
      {"stone", "stone", {}},
      {"  minecraft:stone  ", "minecraft:stone", {}},
      {"Not.A:Checked Name!", "Not.A:Checked Name!", {}},
      {"\u3000minecraft:stone\u2029\u0085", "minecraft:stone", {}},
      {"minecraft:stone[]", "minecraft:stone", {}},
      {"minecraft:oak_stairs[ facing = north , half=top]",
       "minecraft:oak_stairs",
       {{"facing", "north"}, {"half", "top"}}},
      {"minecraft:stone[a=1,a=2]", "minecraft:stone", {{"a", "1"}, {"a", "2"}}},
      {"minecraft:stone[b=1,a=2]", "minecraft:stone", {{"b", "1"}, {"a", "2"}}},
      {"minecraft:[a=b]", "minecraft:", {{"a", "b"}}},
      {"minecraft:stone[a=b=c]", "minecraft:stone", {{"a", "b"}}},
      {"minecraft:stone[\u00a0a\u2003=\u1680b\t]", "minecraft:stone", {{"a", "b"}}},
      {"minecraft: stone\u3000[a=b]", "minecraft: stone", {{"a", "b"}}},
      {"minecraft:a/b:c_9[Key-+_0=VAL-+_9]", "minecraft:a/b:c_9", {{"Key-+_0", "VAL-+_9"}}},
      // Bytes that are not UTF-8 are kept, never taken for whitespace.
      {"\xff", "\xff", {}},
      {" \xe2\x80", "\xe2\x80", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto state = BlockState::from_string(c.text);
    ASSERT_TRUE(state.has_value()) << state.error().message;
    EXPECT_EQ(state->name(), c.name);
    EXPECT_EQ(state->properties(), c.properties);
  }
}

struct ErrorCase {
  std::string text;
  std::string message;
};

TEST(BlockStateTest, RejectsMalformedText) {
  const std::string m = "Malformed BlockState string: ";
  const std::string empty_pair = m + "empty property key or value";
  const std::vector<ErrorCase> cases = {
      {"", m + "empty input"},
      {"   ", m + "empty input"},
      {"\u3000\u0085\t\u202f", m + "empty input"},
      {"]", m + "missing '['"},
      {"minecraft:stone]", m + "missing '['"},
      {"[a=b]", m + "'' must start with 'minecraft:'"},
      {" minecraft:stone[a=b]", m + "' minecraft:stone' must start with 'minecraft:'"},
      {"Minecraft:stone[a=b]", m + "'Minecraft:stone' must start with 'minecraft:'"},
      {"minecraft:Stone[a=b]", m + "illegal character in path 'Stone'"},
      {"minecraft:stone.slab[a=b]", m + "illegal character in path 'stone.slab'"},
      {"minecraft: sto ne [a=b]", m + "illegal character in path 'sto ne'"},
      {"minecraft:stone[ ]", empty_pair},
      {"minecraft:stone[a=b,]", empty_pair},
      {"minecraft:stone[,a=b]", empty_pair},
      {"minecraft:stone[a]", empty_pair},
      {"minecraft:stone[=b]", empty_pair},
      {"minecraft:stone[a=]", empty_pair},
      {"minecraft:stone[a.b=]", empty_pair},
      {"minecraft:stone[a.b=c]", m + "illegal character in property key 'a.b'"},
      {"minecraft:stone[a=b c]", m + "illegal character in property value 'b c'"},
      {"minecraft:stone[a=b.c,=]", m + "illegal character in property value 'b.c'"},
      {"minecraft:stone[a=b,c.d=e.f]", m + "illegal character in property key 'c.d'"},
      {"minecraft:stone[a=\xc2]", m + "illegal character in property value '\xc2'"},
      {"minecraft:stone[a=b] ", m + "illegal character in property value 'b]'"},
      {"minecraft:stone[a=b]]", m + "illegal character in property value 'b]'"},
      {"minecraft:stone[a=b][c=d]", m + "illegal character in property value 'b][c'"},
      // Text that does not end with "]" fails, after its pairs have been checked.
      {"minecraft:stone[a=b", m + "missing ']'"},
      {"minecraft:stone[a=b,c=d\u3000", m + "missing ']'"},
      {"minecraft:stone[", empty_pair},
      {"minecraft:stone[a=b,", empty_pair},
      {"minecraft:stone[a=b\u00e9", m + "illegal character in property value 'b\u00e9'"},
      // Quotes are ordinary characters in this grammar: the text is split at every ",".
      {"minecraft:stone[k=\"x,y\"]", m + "illegal character in property value '\"x'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto state = BlockState::from_string(c.text);
    ASSERT_FALSE(state.has_value()) << state->name();
    EXPECT_EQ(state.error().message, c.message);
  }
}

TEST(BlockStateTest, EqualityAndHashFollowNameAndPairsInOrder) {
  const BlockState base("minecraft:stone", {{"a", "1"}, {"b", "2"}});
  const BlockState same("minecraft:stone", {{"a", "1"}, {"b", "2"}});
  EXPECT_EQ(base, same);
  EXPECT_EQ(base.hash(), same.hash());

  const std::vector<BlockState> different = {
      BlockState("minecraft:stone", {{"b", "2"}, {"a", "1"}}),
      BlockState("minecraft:stone", {{"a", "1"}}),
      BlockState("minecraft:stone", {{"a", "1"}, {"b", "2"}, {"b", "2"}}),
      BlockState("minecraft:stone", {{"a", "1"}, {"b", "3"}}),
      BlockState("minecraft:stone", {{"a1", ""}, {"b", "2"}}),
      BlockState("minecraft:granite", {{"a", "1"}, {"b", "2"}}),
  };
  for (const auto& other : different) {
    EXPECT_FALSE(base == other);
  }

  // Handles are found by content, also from a plain state.
  std::unordered_set<BlockStateRef, BlockStateRefHash, BlockStateRefEqual> set;
  set.insert(make_state(base));
  set.insert(make_state(same));
  for (const auto& other : different) set.insert(make_state(other));
  EXPECT_EQ(set.size(), 1 + different.size());
  EXPECT_NE(set.find(same), set.end());
  EXPECT_EQ(set.find(BlockState("minecraft:stone", {{"b", "1"}})), set.end());
}

TEST(BlockStateTest, AirIsOneOfThreeWholeNames) {
  const std::vector<std::pair<BlockState, bool>> cases = {
      {BlockState("minecraft:air", {}), true},
      {BlockState("minecraft:cave_air", {{"a", "b"}}), true},
      {BlockState("minecraft:void_air", {}), true},
      {BlockState("minecraft:air ", {}), false},
      {BlockState("air", {}), false},
      {BlockState("minecraft:stone", {}), false},
      {BlockState("Minecraft:air", {}), false},
  };
  for (const auto& [state, air] : cases) {
    SCOPED_TRACE(state.name());
    EXPECT_EQ(state.is_air(), air);
  }
  EXPECT_TRUE(BlockState::from_string("minecraft:cave_air[x=y]")->is_air());
}

}  // namespace
}  // namespace kubrel
