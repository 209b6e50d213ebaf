// Tests of the NBT encoder and the payload walker: documents of every tag kind decoded back by the
// tree decoder, text in modified UTF-8, splicing, and the failures of both, grouped.
#include "nbt/nbt_writer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "nbt/modified_utf8.h"
#include "nbt/nbt_entries.h"
#include "nbt/nbt_tree.h"
#include "support/failing_sink.h"

namespace kubrel {
namespace {

using Bytes = std::vector<uint8_t>;
using testing::FailingSink;

NbtBytes view(const Bytes& bytes) {
  return {reinterpret_cast<const std::byte*>(bytes.data()), bytes.size()};
}

TEST(NbtWriterTest, EveryKindDecodesBack) {
  // A spliced compound payload: {"k": Short 7}.
  Bytes spliced = {2, 0, 1, 'k', 0, 7, 0};
  VectorSink sink;
  NbtWriter w(sink);
  w.begin_compound("root");
  w.byte("b", -2);
  w.short_("s", -300);
  w.int_("i", -70000);
  w.long_("l", -(int64_t{1} << 40));
  w.tag(NbtKind::Float, "f");
  w.put_float(1.5f);
  w.double_("d", -2.25);
  w.tag(NbtKind::ByteArray, "ba");
  w.put_byte_array(Bytes{1, 255});
  w.int_array("ia", std::vector<int32_t>{-1, 2});
  w.tag(NbtKind::LongArray, "la");
  w.put_long_array(std::vector<int64_t>{int64_t{1} << 50});
  w.string("t", std::string("n\0l é 🏰", 11));
  w.begin_list("empty", NbtKind::Compound, 0);
  w.double_list("dl", {0.5, -1});
  w.begin_compound("c");
  w.put_compound_payload(view(spliced));
  w.end_compound();
  ASSERT_TRUE(w.finish());

  BufferedSource source(std::make_unique<MemorySource>(sink.bytes()));
  auto root = decode_nbt_tree(source);
  ASSERT_TRUE(root) << root.error().message;
  const NbtCompound& c = *root->as<NbtCompound>();
  EXPECT_EQ(*c.find("b")->as<int8_t>(), -2);
  EXPECT_EQ(*c.find("s")->as<int16_t>(), -300);
  EXPECT_EQ(*c.find("i")->as<int32_t>(), -70000);
  EXPECT_EQ(*c.find("l")->as<int64_t>(), -(int64_t{1} << 40));
  EXPECT_EQ(*c.find("f")->as<float>(), 1.5f);
  EXPECT_EQ(*c.find("d")->as<double>(), -2.25);
  EXPECT_EQ(*c.find("ba")->as<NbtByteArray>(), (NbtByteArray{1, 255}));
  EXPECT_EQ(*c.find("ia")->as<NbtIntArray>(), (NbtIntArray{-1, 2}));
  EXPECT_EQ(*c.find("la")->as<NbtLongArray>(), (NbtLongArray{int64_t{1} << 50}));
  EXPECT_EQ(*c.find("t")->as<std::string>(), std::string("n\0l é 🏰", 11));
  EXPECT_EQ(c.find("empty")->as<NbtList>()->element_kind, NbtKind::Compound);
  EXPECT_EQ(c.find("dl")->as<NbtList>()->elements.size(), 2u);
  EXPECT_EQ(*c.find("c")->as<NbtCompound>()->find("k")->as<int16_t>(), 7);
}

TEST(NbtWriterTest, ModifiedUtf8) {
  struct Case {
    std::string utf8;
    std::string encoded;
  } cases[] = {
      {"plain", "plain"},
      {std::string("a\0b", 3),
       "a\xC0\x80"
       "b"},
      {"é€", "é€"},
      {"🏰", "\xED\xA0\xBC\xED\xBF\xB0"},  // U+1F3F0 as two surrogates
      {"\xFF", "\xEF\xBF\xBD"},            // not UTF-8: U+FFFD
      {"\xE2\x82", "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // a surrogate in UTF-8
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.utf8);
    std::string encoded;
    append_modified_utf8(c.utf8, encoded);
    EXPECT_EQ(encoded, c.encoded);
    std::string decoded;
    EXPECT_TRUE(decode_modified_utf8(
        {reinterpret_cast<const uint8_t*>(encoded.data()), encoded.size()}, decoded));
  }
}

TEST(NbtWriterTest, FailuresAreKeptUntilFinish) {
  VectorSink sink;
  NbtWriter too_long(sink);
  too_long.string("t", std::string(40000, '\0'));  // 80000 bytes once encoded
  too_long.int_("after", 1);
  EXPECT_EQ(too_long.finish().error().message,
            "NBT text of 80000 bytes is longer than 65535 bytes");

  FailingSink failing;
  NbtWriter w(failing);
  w.int_("i", 1);
  EXPECT_EQ(w.finish().error().message, "disk full");
}

TEST(NbtEntriesTest, WalksEntriesAndRefusesBrokenPayloads) {
  Bytes good = {1, 0, 1,   'a', 5, 8, 0, 2, 'i', 'd', 0, 1, 'x', 9,
                0, 1, 'l', 3,   0, 0, 0, 1, 0,   0,   0, 9, 0};
  auto entries = nbt_compound_entries(view(good));
  ASSERT_TRUE(entries) << entries.error().message;
  ASSERT_EQ(entries->size(), 3u);
  EXPECT_TRUE(nbt_name_is((*entries)[1].name, "id"));
  EXPECT_EQ((*entries)[1].payload.size(), 3u);
  EXPECT_EQ((*entries)[2].whole.size(), 13u);
  // Lists the game reads as empty, as a loaded file may hold them: taken, to be written as read.
  for (Bytes odd : {Bytes{9, 0, 0, 1, 0x80, 0, 0, 0, 0}, Bytes{9, 0, 0, 0, 0, 0, 0, 1, 0}}) {
    auto taken = nbt_compound_entries(view(odd));
    ASSERT_TRUE(taken) << taken.error().message;
    EXPECT_EQ((*taken)[0].whole.size(), odd.size() - 1);
  }

  Bytes deep;
  for (int i = 0; i < 600; ++i) deep.insert(deep.end(), {10, 0, 0});
  struct Case {
    const char* label;
    Bytes payload;
    const char* message;
  } broken[] = {
      {"empty", {}, "truncated NBT payload"},
      {"no End", {1, 0, 1, 'a', 5}, "truncated NBT payload"},
      {"cut name", {1, 0, 9, 'a'}, "truncated NBT payload"},
      {"type 13", {13, 0, 0, 0}, "invalid NBT tag type 13"},
      {"negative array", {7, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0}, "negative NBT array length"},
      {"long array past the end", {12, 0, 0, 0, 0, 0, 2, 1, 0}, "truncated NBT payload"},
      {"bytes after End", {0, 0}, "bytes after the end of an NBT compound"},
      {"nested 600 deep", deep, "NBT payload nested deeper than 512 levels"},
  };
  for (const Case& c : broken) {
    SCOPED_TRACE(c.label);
    auto result = nbt_compound_entries(view(c.payload));
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message, c.message);
  }
}

}  // namespace
}  // namespace kubrel
