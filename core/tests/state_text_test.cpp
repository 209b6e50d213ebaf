// State text: the canonical form of every state reads back as that state, texts as written read
// with their quoting, and malformed texts fail with one message quoting them.
#include "common/state_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace kubrel {
namespace {

struct CanonicalCase {
  std::string name;
  std::vector<Property> properties;
  std::string text;
};

TEST(StateTextTest, EveryStateHasOneCanonicalTextThatReadsBack) {
  const std::vector<CanonicalCase> cases = {
      {"minecraft:stone", {}, "minecraft:stone"},
      {"minecraft:oak_sign",
       {{"text", "a,b=c"}, {"rotation", "0"}},
       R"(minecraft:oak_sign[rotation=0,text="a,b=c"])"},
      {"mymod:block", {{"note", ""}}, R"(mymod:block[note=""])"},
      {"mymod:odd[1]", {}, R"("mymod:odd[1]")"},
      {"m:x", {{"b", "2"}, {"a", "1"}, {"b", "1"}}, "m:x[a=1,b=2,b=1]"},
      {"m:x", {{"say", R"(he said "hi" \o/)"}}, R"(m:x[say="he said \"hi\" \\o/"])"},
      {"m:x", {{"k", "城 🏰"}, {"l", "城"}}, "m:x[k=\"城 🏰\",l=城]"},
      {"m:x", {{"k", "\u3000"}, {"a b", "[]"}}, "m:x[\"a b\"=\"[]\",k=\"\u3000\"]"},
      {"", {{"", ""}}, R"(""[""=""])"},
      {" padded ", {{"k", "\\"}}, R"(" padded "[k="\\"])"},
      {"\xff\xfe", {{"k", "\xc2"}}, "\xff\xfe[k=\xc2]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(canonical_state_text(c.name, c.properties), c.text);
    auto state = parse_state_text(c.text);
    ASSERT_TRUE(state.has_value()) << state.error().message;
    auto sorted = c.properties;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const Property& a, const Property& b) { return a.first < b.first; });
    EXPECT_EQ(state->name(), c.name);
    EXPECT_EQ(state->properties(), sorted);
    EXPECT_EQ(canonical_state_text(c.text).value_or(""), c.text);
  }
}

// Each text read as written: its canonical text, or "!" and why it is refused.
struct TextCase {
  std::string text;
  std::string want;
};

TEST(StateTextTest, ReadsTextAsWrittenOrSaysWhyNot) {
  const std::vector<TextCase> cases = {
      {"  minecraft:oak_stairs[ half = top , facing=north] ",
       "minecraft:oak_stairs[facing=north,half=top]"},
      {"m:x[ ]", "m:x"},
      {"minecraft: stone", R"("minecraft: stone")"},
      {R"(m:x[k = "a]" , "=" = b\c])", R"(m:x["="="b\\c",k="a]"])"},
      {R"(  "q[" [k=v])", R"("q["[k=v])"},
      {"", "!empty name"},
      {"  [a=b]", "!empty name"},
      {"mymod:odd[1]", "!a property without '='"},
      {"m:x[a=b=c]", "!a name, key or value holding '=' must be quoted"},
      {"m:x[a=]", "!empty property key or value"},
      {"m:x[a=b,]", "!empty property key or value"},
      {"m:x[a=b", "!missing ']'"},
      {R"(m:x[a="b]")", "!missing ']'"},
      {"m:x[a=b]c", "!text after ']'"},
      {"m:x[a=b]]", "!a name, key or value holding ']' must be quoted"},
      {"m:x[a=[b]", "!a name, key or value holding '[' must be quoted"},
      {"x]y", "!a name, key or value holding ']' must be quoted"},
      {"a,b", "!a name, key or value holding ',' must be quoted"},
      {R"(m:x[k="a])", "!a quote is never closed"},
      {R"("unclosed[a=b])", "!a quote is never closed"},
      {R"(m:x[k="a"b])", "!text after a closing quote"},
      {R"(m:x[k=a"b"])", "!a quoted token must be the whole name, key or value"},
      {R"(m:x[k="a\nb"])", R"(!a backslash in quotes must escape '"' or '\')"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto got = canonical_state_text(c.text);
    if (c.want.starts_with('!')) {
      ASSERT_FALSE(got.has_value()) << *got;
      EXPECT_EQ(got.error().message, "malformed block state '" + c.text + "': " + c.want.substr(1));
    } else {
      EXPECT_EQ(got.value_or(got ? "" : got.error().message), c.want);
    }
  }
}

}  // namespace
}  // namespace kubrel
