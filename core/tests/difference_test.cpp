// Difference strings applied to block states: renames, removals, additions, limits and messages.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/block_state.h"

namespace kubrel {
namespace {

const BlockState kStairs("minecraft:oak_stairs",
                         {{"facing", "north"}, {"half", "bottom"}, {"waterlogged", "false"}});

struct UpdateCase {
  std::string difference;
  std::string name;
  std::vector<Property> properties;
};

std::string repeated_keys(const std::string& sign, int count) {
  std::string text = sign;
  for (int i = 0; i < count; ++i) text += (i ? ",k" : "k") + std::to_string(i);
  return text;
}

std::string repeated_pairs(int count) {
  std::string text = "+";
  for (int i = 0; i < count; ++i) text += (i ? ",k" : "k") + std::to_string(i) + "=v";
  return text;
}

TEST(DifferenceTest, AppliesChanges) {
  const std::string stairs = "minecraft:oak_stairs";
  const std::vector<UpdateCase> cases = {
      {"", stairs, kStairs.properties()},
      {" \t ", stairs, kStairs.properties()},
      {std::string(5000, ' '), stairs, kStairs.properties()},
      {"\u3000\u2029", stairs, kStairs.properties()},
      {"+half=top", stairs, {{"facing", "north"}, {"waterlogged", "false"}, {"half", "top"}}},
      {"-waterlogged", stairs, {{"facing", "north"}, {"half", "bottom"}}},
      {"minecraft:spruce_stairs", "minecraft:spruce_stairs", kStairs.properties()},
      {"minecraft:spruce_stairs-half+half=top,shape=straight",
       "minecraft:spruce_stairs",
       {{"facing", "north"}, {"waterlogged", "false"}, {"half", "top"}, {"shape", "straight"}}},
      {"+ half = top", stairs, {{"facing", "north"}, {"waterlogged", "false"}, {"half", "top"}}},
      {"+\u00a0half\u2003=top\n",
       stairs,
       {{"facing", "north"}, {"waterlogged", "false"}, {"half", "top"}}},
      {"mine craft:stone", "minecraft:stone", kStairs.properties()},
      {"+a=1,a=2",
       stairs,
       {{"facing", "north"}, {"half", "bottom"}, {"waterlogged", "false"}, {"a", "1"}, {"a", "2"}}},
      {"+facing", stairs, kStairs.properties()},
      {"-", stairs, kStairs.properties()},
      {"+count=-1",
       stairs,
       {{"facing", "north"}, {"half", "bottom"}, {"waterlogged", "false"}, {"count", ""}}},
      {"+count=-half", stairs, {{"facing", "north"}, {"waterlogged", "false"}, {"count", ""}}},
      {"+a=b=c",
       stairs,
       {{"facing", "north"}, {"half", "bottom"}, {"waterlogged", "false"}, {"a", "b=c"}}},
      {"+=x",
       stairs,
       {{"facing", "north"}, {"half", "bottom"}, {"waterlogged", "false"}, {"", "x"}}},
      {"-facing,half,waterlogged+facing=up", stairs, {{"facing", "up"}}},
      {"+half=top-half", stairs, {{"facing", "north"}, {"waterlogged", "false"}, {"half", "top"}}},
      {"x", "x", kStairs.properties()},
      {std::string(64, 'n'), std::string(64, 'n'), kStairs.properties()},
      {repeated_keys("-", 256), stairs, kStairs.properties()},
      {repeated_keys("-", 200) + repeated_keys("-", 56), stairs, kStairs.properties()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.difference.substr(0, 80));
    auto state = kStairs.update(c.difference);
    ASSERT_TRUE(state.has_value()) << state.error().message;
    EXPECT_EQ(state->name(), c.name);
    EXPECT_EQ(state->properties(), c.properties);
  }
}

TEST(DifferenceTest, LeavesTheBaseUnchangedAndKeepsDuplicatePairsTogether) {
  const BlockState base("minecraft:x", {{"a", "1"}, {"b", "2"}, {"a", "3"}});
  auto removed = base.update("-a");
  ASSERT_TRUE(removed.has_value());
  EXPECT_EQ(removed->properties(), (std::vector<Property>{{"b", "2"}}));
  auto replaced = base.update("+a=9");
  ASSERT_TRUE(replaced.has_value());
  EXPECT_EQ(replaced->properties(), (std::vector<Property>{{"b", "2"}, {"a", "9"}}));
  EXPECT_EQ(base, BlockState("minecraft:x", {{"a", "1"}, {"b", "2"}, {"a", "3"}}));
}

struct ErrorCase {
  std::string difference;
  std::string message;
};

TEST(DifferenceTest, RejectsMalformedStrings) {
  const std::string m = "Malformed difference string: ";
  const std::string long_name = std::string(65, 'n');
  const BlockState long_named(long_name, {});
  const std::vector<ErrorCase> cases = {
      {std::string(4097, 'a'), m + "length 4097 exceeds maximum of 4096"},
      {std::string(4096, ' ') + "a", m + "length 4097 exceeds maximum of 4096"},
      {"+id=minecraft/stone", m + "illegal character in '+id=minecraft/stone'"},
      {" + a = b . c ", m + "illegal character in '+a=b.c'"},
      {"+a=\u00e9", m + "illegal character in '+a=\u00e9'"},
      {"+a=\u200b", m + "illegal character in '+a=\u200b'"},
      {long_name, m + "new type name too long"},
      {long_name + "+a=b", m + "new type name too long"},
      {repeated_keys("-", 257), m + "too many properties to remove"},
      {repeated_keys("-", 200) + repeated_keys("-", 57), m + "too many properties to remove"},
      {repeated_pairs(257), m + "too many properties to add"},
      {repeated_pairs(200) + "-x" + repeated_pairs(57), m + "too many properties to add"},
      // The first list to cross its limit, in the order written, decides the message.
      {repeated_pairs(257) + repeated_keys("-", 257), m + "too many properties to add"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.difference.substr(0, 80));
    auto state = kStairs.update(c.difference);
    ASSERT_FALSE(state.has_value()) << state->name();
    EXPECT_EQ(state.error().message, c.message);
  }

  // A kept name is held to the same limit.
  for (const std::string difference : {"+a=b", "-a", "+"}) {
    SCOPED_TRACE(difference);
    auto state = long_named.update(difference);
    ASSERT_FALSE(state.has_value());
    EXPECT_EQ(state.error().message, m + "new type name too long");
  }
  auto renamed = long_named.update("short");
  ASSERT_TRUE(renamed.has_value());
  EXPECT_EQ(renamed->name(), "short");
}

TEST(DifferenceTest, AddingPairsAtTheLimitSucceeds) {
  auto state = kStairs.update(repeated_pairs(256));
  ASSERT_TRUE(state.has_value()) << state.error().message;
  EXPECT_EQ(state->properties().size(), 3u + 256u);
  EXPECT_EQ(state->properties().back(), (Property{"k255", "v"}));
}

}  // namespace
}  // namespace kubrel
