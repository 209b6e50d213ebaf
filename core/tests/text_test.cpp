// Unicode whitespace over UTF-8, strict UTF-8 validation and splitting.
#include "common/text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kubrel {
namespace {

// Every character with the White_Space property.
const std::vector<std::string> kSpaces = {
    "\t",     "\n",     "\v",     "\f",     "\r",     " ",      "\u0085", "\u00a0", "\u1680",
    "\u2000", "\u2001", "\u2002", "\u2003", "\u2004", "\u2005", "\u2006", "\u2007", "\u2008",
    "\u2009", "\u200a", "\u2028", "\u2029", "\u202f", "\u205f", "\u3000",
};

// Neighbours and look-alikes without it.
const std::vector<std::string> kNotSpaces = {
    "\x08",   "\x0e",   "\x1f",   "!",      "\u0084", "\u0086", "\u00a1", "\u1681",     "\u180e",
    "\u200b", "\u2027", "\u202a", "\u205e", "\u2060", "\u3001", "\ufeff", "\U0001F600",
};

TEST(TextTest, WhitespaceIsTheWhiteSpaceProperty) {
  for (const auto& space : kSpaces) {
    SCOPED_TRACE(testing::PrintToString(space));
    EXPECT_EQ(space_length(space + "x"), space.size());
    EXPECT_EQ(trim_space(space + "x" + space + "y" + space), "x" + space + "y");
    EXPECT_EQ(remove_space(space + "x" + space + "y" + space), "xy");
  }
  for (const auto& other : kNotSpaces) {
    SCOPED_TRACE(testing::PrintToString(other));
    EXPECT_EQ(space_length(other), 0u);
    EXPECT_EQ(trim_space(" " + other + " "), other);
    EXPECT_EQ(remove_space(" " + other + " "), other);
  }
}

TEST(TextTest, MalformedBytesAreKept) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {" \xc2", "\xc2"},
      {"\xe2\x80 ", "\xe2\x80"},
      {" \xe3\x80", "\xe3\x80"},
      {"\xc0\xa0", "\xc0\xa0"},          // overlong space
      {"\xe0\x80\xa0", "\xe0\x80\xa0"},  // overlong space
      {"\xff \xfe", "\xff \xfe"},
      {"", ""},
  };
  for (const auto& [text, trimmed] : cases) {
    SCOPED_TRACE(testing::PrintToString(text));
    EXPECT_EQ(trim_space(text), trimmed);
  }
  EXPECT_EQ(remove_space("\xe2\x80\xe2\x80\x80\xe2"), "\xe2\x80\xe2");
}

TEST(TextTest, ValidatesUtf8Strictly) {
  const std::vector<std::string> valid = {
      "", "plain", "\u00e9\u20ac\U0001F600", "\x7f", "\xed\x9f\xbf", "\xf4\x8f\xbf\xbf",
  };
  for (const auto& text : valid) {
    SCOPED_TRACE(testing::PrintToString(text));
    EXPECT_TRUE(check_utf8(text).has_value());
  }
  const std::vector<std::pair<std::string, std::string>> invalid = {
      {"ab\x80", "invalid utf-8 sequence of 1 bytes from index 2"},
      {"\xc1\xbf", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"\xf5\x80\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"\xe0\x9f\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"\xed\xa0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},  // surrogate
      {"\xf0\x8f\xbf\xbf", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"\xf4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"x\xe2\x82x", "invalid utf-8 sequence of 2 bytes from index 1"},
      {"\xf0\x9f\x98x", "invalid utf-8 sequence of 3 bytes from index 0"},
      {"\xc3", "incomplete utf-8 byte sequence from index 0"},
      {"ok\xf0\x9f\x98", "incomplete utf-8 byte sequence from index 2"},
  };
  for (const auto& [text, message] : invalid) {
    SCOPED_TRACE(testing::PrintToString(text));
    auto status = check_utf8(text);
    ASSERT_FALSE(status.has_value());
    EXPECT_EQ(status.error().message, message);
  }
}

TEST(TextTest, SplitsIntoPiecesKeepingEmptyOnes) {
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      {"", {""}},
      {",", {"", ""}},
      {"a,,b,", {"a", "", "b", ""}},
      {"abc", {"abc"}},
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text);
    std::vector<std::string> pieces;
    auto status = for_each_piece(text, ',', [&](std::string_view piece) -> Status {
      pieces.emplace_back(piece);
      return {};
    });
    EXPECT_TRUE(status.has_value());
    EXPECT_EQ(pieces, expected);
  }
  int calls = 0;
  auto status = for_each_piece("a,b,c", ',', [&](std::string_view piece) -> Status {
    ++calls;
    if (piece == "b") return fail("stop");
    return {};
  });
  ASSERT_FALSE(status.has_value());
  EXPECT_EQ(status.error().message, "stop");
  EXPECT_EQ(calls, 2);
}

}  // namespace
}  // namespace kubrel
