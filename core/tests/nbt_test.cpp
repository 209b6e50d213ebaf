// Tests of NBT decoding: the tree decoder and the event parser over documents built by NbtWriter,
// their failure texts, truncated and hostile input.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "nbt/nbt_events.h"
#include "nbt/nbt_tree.h"
#include "support/allocation_probe.h"
#include "support/nbt_writer.h"
#include "support/scripted_source.h"

namespace kubrel {
namespace {

using testing::NbtWriter;
using testing::ScriptedSource;
using testing::SourceLog;
using Bytes = std::vector<uint8_t>;

// `bytes` in pieces of at most `piece`; with `fail_at_end`, the read after the last byte fails
// with "scripted failure" (documents that use it are read whole by the first 8192-byte read).
std::unique_ptr<ScriptedSource> scripted(Bytes bytes, size_t piece, bool fail_at_end) {
  std::set<size_t> failing;
  if (fail_at_end) failing.insert(bytes.empty() ? 0 : 1);
  return std::make_unique<ScriptedSource>(std::move(bytes), std::make_shared<SourceLog>(), piece,
                                          std::move(failing));
}

std::unique_ptr<BufferedSource> source_of(Bytes bytes, size_t piece = SIZE_MAX,
                                          bool fail_at_end = false) {
  return std::make_unique<BufferedSource>(scripted(std::move(bytes), piece, fail_at_end));
}

Result<NbtValue> decode(Bytes bytes, size_t piece = SIZE_MAX, bool keep_list_elements = true,
                        const NbtTreeFilter* filter = nullptr) {
  auto source = source_of(std::move(bytes), piece);
  return decode_nbt_tree(*source, keep_list_elements, filter);
}

std::string tree_error(Bytes bytes, bool keep_list_elements = true,
                       const NbtTreeFilter* filter = nullptr) {
  auto result = decode(std::move(bytes), SIZE_MAX, keep_list_elements, filter);
  return result ? "<success>" : result.error().message;
}

// One line per event, e.g. "List 'a' Int 0", "Int 5" (no name), "CompoundEnd". Built by appends
// only: g++ 12 at -O3 takes the temporaries of `"x" + string` for overlapping copies (-Wrestrict).
std::string describe(const NbtEvent& event) {
  if (event.kind == NbtKind::End) return "CompoundEnd";
  if (event.kind == NbtKind::ListEnd) return "ListEnd";
  std::string text(nbt_kind_name(event.kind));
  if (event.named) text.append(" '").append(event.name).append("'");
  auto join = [&](const auto& values) {
    text.append(" [");
    for (size_t i = 0; i < values.size(); ++i)
      text.append(i ? "," : "").append(std::to_string(values[i]));
    text.append("]");
  };
  switch (event.kind) {
    case NbtKind::Byte:
    case NbtKind::Short:
    case NbtKind::Int:
    case NbtKind::Long:
      text.append(" ").append(std::to_string(event.integer));
      break;
    case NbtKind::Float:
    case NbtKind::Double:
      text.append(" ").append(std::to_string(event.real));
      break;
    case NbtKind::String:
      text.append(" \"").append(event.text).append("\"");
      break;
    case NbtKind::List:
      text.append(" ").append(nbt_kind_name(event.list.element_kind)).append(" ");
      text.append(std::to_string(event.list.length));
      break;
    case NbtKind::ByteArray:
      join(event.byte_array);
      break;
    case NbtKind::IntArray:
      join(event.int_array);
      break;
    case NbtKind::LongArray:
      join(event.long_array);
      break;
    default:
      break;
  }
  return text;
}

// Every event up to the first failure, whose text ends the list as "! message" ("! EOF" for the
// end-of-input failure, which must carry that message).
std::vector<std::string> events_of(Bytes bytes, size_t piece = SIZE_MAX, bool fail_at_end = false,
                                   bool keep_arrays = true) {
  NbtEventParser parser(scripted(std::move(bytes), piece, fail_at_end), keep_arrays);
  std::vector<std::string> out;
  while (true) {
    NbtEventResult event = parser.next_event();
    if (!event) {
      if (event.error().end_of_input) {
        EXPECT_EQ(event.error().message, "EOF");
      }
      out.push_back(std::string(event.error().end_of_input ? "! EOF" : "! ") +
                    (event.error().end_of_input ? "" : event.error().message));
      return out;
    }
    out.push_back(describe(**event));
  }
}

Bytes sample_document() {
  const uint8_t bytes[] = {0, 7, 255};
  const int32_t ints[] = {1, -2, 0x7FFFFFFF};
  const int64_t longs[] = {-1, int64_t{1} << 40};
  NbtWriter w;
  w.compound("root")
      .byte("b", -5)
      .short_("s", -300)
      .int_("i", 123456789)
      .long_("l", -9000000000LL)
      .float_("f", 1.5f)
      .double_("d", -2.25)
      .string("str", "caf\xC3\xA9")
      .byte_array("ba", bytes)
      .int_array("ia", ints)
      .long_array("la", longs)
      .list("pos", NbtKind::Int)
      .int_("", 4)
      .int_("", 5)
      .end()
      .list("entries", NbtKind::Compound)
      .compound("")
      .string("Name", "x")
      .end()
      .compound("")
      .end()
      .end()
      .list("none", NbtKind::End)
      .end()
      .compound("nested")
      .list("lists", NbtKind::List)
      .list("", NbtKind::Short)
      .short_("", 9)
      .end()
      .end()
      .end()
      .end();
  return w.bytes();
}

const std::vector<std::string> kSampleEvents = {
    "Compound 'root'",
    "Byte 'b' -5",
    "Short 's' -300",
    "Int 'i' 123456789",
    "Long 'l' -9000000000",
    "Float 'f' 1.500000",
    "Double 'd' -2.250000",
    "String 'str' \"caf\xC3\xA9\"",
    "ByteArray 'ba' [0,7,255]",
    "IntArray 'ia' [1,-2,2147483647]",
    "LongArray 'la' [-1,1099511627776]",
    "List 'pos' Int 2",
    "Int 4",
    "Int 5",
    "ListEnd",
    "List 'entries' Compound 2",
    "Compound",
    "String 'Name' \"x\"",
    "CompoundEnd",
    "Compound",
    "CompoundEnd",
    "ListEnd",
    "List 'none' End 0",
    "ListEnd",
    "Compound 'nested'",
    "List 'lists' List 1",
    "List Short 1",
    "Short 9",
    "ListEnd",
    "ListEnd",
    "CompoundEnd",
    "CompoundEnd",
    "! EOF",
};

TEST(NbtTreeTest, DecodesEveryKind) {
  auto root = decode(sample_document(), 3);
  ASSERT_TRUE(root) << root.error().message;
  ASSERT_EQ(root->kind(), NbtKind::Compound);
  const NbtCompound& c = *root->as<NbtCompound>();
  EXPECT_EQ(c.size(), 14u);
  EXPECT_EQ(*c.find("b")->as<int8_t>(), -5);
  EXPECT_EQ(*c.find("s")->as<int16_t>(), -300);
  EXPECT_EQ(*c.find("i")->as<int32_t>(), 123456789);
  EXPECT_EQ(*c.find("l")->as<int64_t>(), -9000000000LL);
  EXPECT_EQ(*c.find("f")->as<float>(), 1.5f);
  EXPECT_EQ(*c.find("d")->as<double>(), -2.25);
  EXPECT_EQ(*c.find("str")->as<std::string>(), "caf\xC3\xA9");
  EXPECT_EQ(*c.find("ba")->as<NbtByteArray>(), (NbtByteArray{0, 7, 255}));
  EXPECT_EQ(*c.find("ia")->as<NbtIntArray>(), (NbtIntArray{1, -2, 0x7FFFFFFF}));
  EXPECT_EQ(*c.find("la")->as<NbtLongArray>(), (NbtLongArray{-1, int64_t{1} << 40}));
  const NbtList& pos = *c.find("pos")->as<NbtList>();
  EXPECT_EQ(pos.element_kind, NbtKind::Int);
  ASSERT_EQ(pos.elements.size(), 2u);
  EXPECT_EQ(*pos.elements[1].as<int32_t>(), 5);
  const NbtList& entries = *c.find("entries")->as<NbtList>();
  ASSERT_EQ(entries.elements.size(), 2u);
  EXPECT_EQ(*entries.elements[0].as<NbtCompound>()->find("Name")->as<std::string>(), "x");
  EXPECT_TRUE(entries.elements[1].as<NbtCompound>()->empty());
  EXPECT_TRUE(c.find("none")->as<NbtList>()->elements.empty());
  const NbtList& lists = *c.find("nested")->as<NbtCompound>()->find("lists")->as<NbtList>();
  EXPECT_EQ(*lists.elements[0].as<NbtList>()->elements[0].as<int16_t>(), 9);
  EXPECT_EQ(c.find("missing"), nullptr);
  EXPECT_EQ(c.find("pos")->as<int32_t>(), nullptr);
}

TEST(NbtTreeTest, EmptyRootAndTrailingBytesStayUnread) {
  auto source = source_of({0x0A, 0x00, 0x00, 0x00, 0x42});
  auto root = decode_nbt_tree(*source);
  ASSERT_TRUE(root);
  EXPECT_TRUE(root->as<NbtCompound>()->empty());
  EXPECT_EQ(*source->next_byte(), std::optional<uint8_t>(0x42));
}

TEST(NbtTreeTest, RepeatedNameKeepsLastValue) {
  NbtWriter w;
  w.compound("").int_("a", 1).int_("b", 2).int_("a", 3).end();
  auto root = decode(w.bytes());
  ASSERT_TRUE(root);
  const NbtCompound& c = *root->as<NbtCompound>();
  EXPECT_EQ(c.size(), 2u);
  EXPECT_EQ(*c.find("a")->as<int32_t>(), 3);
}

TEST(NbtEventTest, EmitsDocumentOrder) {
  EXPECT_EQ(events_of(sample_document()), kSampleEvents);
  // Byte by byte delivery crosses every buffer boundary.
  EXPECT_EQ(events_of(sample_document(), 1), kSampleEvents);
}

TEST(NbtEventTest, SmallDocuments) {
  EXPECT_EQ(events_of({0x0A, 0x00, 0x00, 0x00}),
            (std::vector<std::string>{"Compound ''", "CompoundEnd", "! EOF"}));
  NbtWriter empty_list;
  empty_list.compound("").list("a", NbtKind::Int).end().end();
  EXPECT_EQ(events_of(empty_list.bytes()),
            (std::vector<std::string>{"Compound ''", "List 'a' Int 0", "ListEnd", "CompoundEnd",
                                      "! EOF"}));
  // Any tag may be the root of an event stream; the tree decoder wants a Compound.
  const int32_t ints[] = {7, 8};
  NbtWriter array_root;
  array_root.int_array("r", ints);
  EXPECT_EQ(events_of(array_root.bytes()),
            (std::vector<std::string>{"IntArray 'r' [7,8]", "! EOF"}));
  EXPECT_EQ(tree_error(array_root.bytes()), "invalid nbt: no root compound");
  // A negative list count is refused, as the tree decoder refuses it.
  NbtWriter negative;
  negative.compound("").list("n", NbtKind::Int, -2).end().end();
  EXPECT_EQ(events_of(negative.bytes()),
            (std::vector<std::string>{"Compound ''", "! invalid list length: -2"}));
  // The parser goes on after the root tag.
  NbtWriter two_roots;
  two_roots.compound("").end().byte("x", 1);
  EXPECT_EQ(events_of(two_roots.bytes()),
            (std::vector<std::string>{"Compound ''", "CompoundEnd", "Byte 'x' 1", "! EOF"}));
}

TEST(NbtEventTest, EndOfInputInsideACompoundIsEof) {
  // Cut where the next member would start.
  NbtWriter w;
  w.compound("").int_("a", 1);
  EXPECT_EQ(events_of(w.bytes()), (std::vector<std::string>{"Compound ''", "Int 'a' 1", "! EOF"}));
}

TEST(NbtEventTest, SourceFailureIsNotEof) {
  // After a complete document, a failing source (say a bad checksum) is reported as itself.
  EXPECT_EQ(events_of({0x0A, 0x00, 0x00, 0x00}, SIZE_MAX, true),
            (std::vector<std::string>{"Compound ''", "CompoundEnd", "! scripted failure"}));
  EXPECT_EQ(events_of({0x0A, 0x00, 0x00}, SIZE_MAX, true),
            (std::vector<std::string>{"Compound ''", "! scripted failure"}));
  EXPECT_EQ(tree_error({}), "io error: failed to fill whole buffer");
  auto source = source_of({0x0A, 0x00}, SIZE_MAX, true);
  EXPECT_EQ(decode_nbt_tree(*source).error().message, "io error: scripted failure");
}

TEST(NbtEventTest, FailureIsSticky) {
  NbtEventParser parser(std::make_unique<MemorySource>(Bytes{0x0A, 0x00, 0x00, 0x0D}));
  ASSERT_TRUE(parser.next_event());
  for (int i = 0; i < 2; ++i) {
    NbtEventResult event = parser.next_event();
    ASSERT_FALSE(event);
    EXPECT_EQ(event.error().message, "invalid tag: 13");
    EXPECT_FALSE(event.error().end_of_input);
  }
}

struct TextCase {
  const char* label;
  Bytes encoded;
  std::string decoded;  // the UTF-8 result, or the lenient rendering when invalid
  bool valid;
};

const TextCase kTextCases[] = {
    {"ascii", {'a', 'b'}, "ab", true},
    {"two-byte NUL", {'a', 0xC0, 0x80, 'b'}, std::string("a\0b", 3), true},
    {"raw NUL", {0x00}, std::string("\0", 1), true},
    {"two-byte", {0xC3, 0xA9}, "\xC3\xA9", true},
    {"ascii runs around two-byte",
     {'a', 'b', 0xC3, 0xA9, 'c', 'd'},
     "ab\xC3\xA9"
     "cd",
     true},
    {"ascii run after a stray continuation", {0x80, 'x', 'y'}, "\xEF\xBF\xBDxy", false},
    {"three-byte", {0xE2, 0x82, 0xAC}, "\xE2\x82\xAC", true},
    {"surrogate pair", {0xED, 0xA0, 0xBD, 0xED, 0xB8, 0x80}, "\xF0\x9F\x98\x80", true},
    {"lone high surrogate",
     {'a', 0xED, 0xA0, 0xBD, 'b'},
     "a\xEF\xBF\xBD"
     "b",
     false},
    {"lone low surrogate", {0xED, 0xB8, 0x80}, "\xEF\xBF\xBD", false},
    {"high then high", {0xED, 0xA0, 0xBD, 0xED, 0xA0, 0xBD}, "\xEF\xBF\xBD\xEF\xBF\xBD", false},
    {"four-byte form",
     {0xF0, 0x9F, 0x98, 0x80},
     "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD",
     false},
    {"overlong two-byte", {0xC1, 0x81, 'z'}, "\xEF\xBF\xBDz", false},
    {"overlong three-byte", {0xE0, 0x81, 0x81}, "\xEF\xBF\xBD", false},
    {"stray continuation", {'x', 0x80}, "x\xEF\xBF\xBD", false},
    {"cut three-byte", {0xE2, 0x82}, "\xEF\xBF\xBD", false},
    {"cut two-byte", {'q', 0xC3}, "q\xEF\xBF\xBD", false},
};

TEST(ModifiedUtf8Test, BothDecodersWordInvalidText) {
  for (const TextCase& c : kTextCases) {
    SCOPED_TRACE(c.label);
    NbtWriter as_value;
    as_value.compound("").string_bytes("s", c.encoded).end();
    // The same bytes as a name.
    NbtWriter as_name;
    as_name.compound("").raw({0x01, 0x00, static_cast<uint8_t>(c.encoded.size())});
    as_name.raw(c.encoded).raw({0x05}).end();
    if (c.valid) {
      auto root = decode(as_value.bytes());
      ASSERT_TRUE(root) << root.error().message;
      EXPECT_EQ(*root->as<NbtCompound>()->find("s")->as<std::string>(), c.decoded);
      EXPECT_EQ(events_of(as_name.bytes())[1], "Byte '" + c.decoded + "' 5");
      continue;
    }
    EXPECT_EQ(tree_error(as_value.bytes()), "invalid nbt string: nonunicode: " + c.decoded);
    EXPECT_EQ(tree_error(as_name.bytes()), "invalid nbt string: nonunicode: " + c.decoded);
    EXPECT_EQ(events_of(as_value.bytes())[1], "! invalid string, non-unicode: " + c.decoded);
    EXPECT_EQ(events_of(as_name.bytes())[1], "! invalid string, non-unicode: " + c.decoded);
  }
}

TEST(ModifiedUtf8Test, WriterRoundTrip) {
  std::string text = std::string("n\0ul \xF0\x9F\x98\x80 \xE2\x82\xAC", 14);
  NbtWriter w;
  w.compound("").string(text, text).end();
  auto root = decode(w.bytes());
  ASSERT_TRUE(root);
  EXPECT_EQ(*root->as<NbtCompound>()->find(text)->as<std::string>(), text);
}

struct MessageCase {
  const char* label;
  Bytes document;
  std::string tree;    // message of the tree decoder
  std::string events;  // last line of events_of
};

std::vector<MessageCase> message_cases() {
  auto doc = [](auto build) {
    NbtWriter w;
    w.compound("");
    build(w);
    return w.bytes();
  };
  return {
      {"root is a String", Bytes{0x08, 0x00, 0x00, 0x00, 0x00}, "invalid nbt: no root compound",
       "! EOF"},
      {"type id 13", doc([](NbtWriter& w) {
         w.raw({13, 0, 0});
       }),
       "invalid nbt tag value: 13", "! invalid tag: 13"},
      {"type id 255 in a list", doc([](NbtWriter& w) {
         w.raw({9, 0, 1, 'l', 255, 0, 0, 0, 0});
       }),
       "invalid nbt tag value: 255", "! invalid tag: 255"},
      {"negative IntArray", doc([](NbtWriter& w) {
         w.raw({11, 0, 0, 0xFF, 0xFF, 0xFF, 0xFE});
       }),
       "nbt array too large", "! invalid array length: -2"},
      {"negative LongArray", doc([](NbtWriter& w) {
         w.raw({12, 0, 0, 0x80, 0, 0, 0});
       }),
       "nbt array too large", "! invalid array length: -2147483648"},
      {"negative ByteArray", doc([](NbtWriter& w) {
         w.raw({7, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF});
       }),
       "nbt array too large", "! invalid array length: -1"},
      {"list of End", doc([](NbtWriter& w) { w.list("e", NbtKind::End, 1).end(); }),
       "unexpected list of type 'end', which is not supported",
       "! unexpected list of type 'end', which is not supported"},
      {"list over the limit", doc([](NbtWriter& w) { w.list("x", NbtKind::Byte, 10000001).end(); }),
       "size (10000001) greater than max sequence length (10000000)",
       "! failed to fill whole buffer"},
      {"negative list count", doc([](NbtWriter& w) { w.list("x", NbtKind::Byte, -1).end(); }),
       "size (18446744073709551615) greater than max sequence length (10000000)",
       "! invalid list length: -1"},
      {"list of End, negative count",
       doc([](NbtWriter& w) { w.list("e", NbtKind::End, -1).end(); }),
       "unexpected list of type 'end', which is not supported",
       "! unexpected list of type 'end', which is not supported"},
      {"list at the limit", doc([](NbtWriter& w) { w.list("x", NbtKind::Byte, 10000000).end(); }),
       "io error: failed to fill whole buffer", "! failed to fill whole buffer"},
      {"cut inside a string", doc([](NbtWriter& w) {
         w.raw({8, 0, 1, 's', 0, 10, 'a', 'b'});
       }),
       "io error: failed to fill whole buffer", "! failed to fill whole buffer"},
      {"End outside a compound", Bytes{0x00}, "invalid nbt: no root compound",
       "! unexpected end tag"},
  };
}

TEST(NbtMessagesTest, EachDecoderWordsEachFailure) {
  for (const MessageCase& c : message_cases()) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(tree_error(c.document), c.tree);
    EXPECT_EQ(events_of(c.document).back(), c.events);
  }
}

Bytes nested_lists(int depth);

TEST(NbtTreeTest, DroppedListElementsChangeNoOutcome) {
  // The same failure for every message case, every prefix of the sample and deep nesting.
  std::vector<Bytes> documents;
  for (const MessageCase& c : message_cases()) documents.push_back(c.document);
  Bytes full = sample_document();
  for (size_t length = 0; length < full.size(); ++length) {
    documents.emplace_back(full.begin(), full.begin() + length);
  }
  documents.push_back(nested_lists(511));
  documents.push_back(nested_lists(512));
  for (size_t i = 0; i < documents.size(); ++i) {
    SCOPED_TRACE("document " + std::to_string(i));
    EXPECT_EQ(tree_error(documents[i], false), tree_error(documents[i]));
  }
  // A whole document: lists keep their kind and lose their elements; the rest stays.
  auto kept = decode(full);
  auto dropped = decode(full, SIZE_MAX, false);
  ASSERT_TRUE(kept.has_value() && dropped.has_value());
  const NbtCompound& a = *kept->as<NbtCompound>();
  const NbtCompound& b = *dropped->as<NbtCompound>();
  ASSERT_EQ(a.size(), b.size());
  for (auto it = a.begin(), jt = b.begin(); it != a.end(); ++it, ++jt) {
    SCOPED_TRACE(it->first);
    EXPECT_EQ(it->first, jt->first);
    if (const NbtList* list = it->second.as<NbtList>()) {
      ASSERT_NE(jt->second.as<NbtList>(), nullptr);
      EXPECT_EQ(jt->second.as<NbtList>()->element_kind, list->element_kind);
      EXPECT_TRUE(jt->second.as<NbtList>()->elements.empty());
    } else {
      EXPECT_EQ(it->second.kind(), jt->second.kind());
    }
  }
}

TEST(NbtHostileTest, EveryTruncationFailsCleanly) {
  Bytes full = sample_document();
  for (size_t length = 0; length < full.size(); ++length) {
    SCOPED_TRACE("prefix of " + std::to_string(length) + " bytes");
    Bytes prefix(full.begin(), full.begin() + length);
    EXPECT_EQ(tree_error(prefix), "io error: failed to fill whole buffer");
    std::vector<std::string> events = events_of(prefix);
    // What came before the failure is what the whole document yields.
    ASSERT_LE(events.size(), kSampleEvents.size());
    for (size_t i = 0; i + 1 < events.size(); ++i) EXPECT_EQ(events[i], kSampleEvents[i]);
    EXPECT_TRUE(events.back() == "! EOF" || events.back() == "! failed to fill whole buffer")
        << events.back();
  }
}

TEST(NbtEventTest, SkippedArraysChangeNothingElse) {
  // Every prefix of the sample, read in one piece and byte by byte: the same events and failures,
  // with each array's contents left out.
  Bytes full = sample_document();
  for (size_t length = 0; length <= full.size(); ++length) {
    SCOPED_TRACE("prefix of " + std::to_string(length) + " bytes");
    Bytes prefix(full.begin(), full.begin() + length);
    for (size_t piece : {SIZE_MAX, size_t{1}}) {
      std::vector<std::string> expected = events_of(prefix, piece);
      for (std::string& event : expected) {
        size_t open = event.find(" [");
        if (open != std::string::npos) event = event.substr(0, open) + " []";
      }
      EXPECT_EQ(events_of(prefix, piece, false, /*keep_arrays=*/false), expected);
    }
  }
}

TEST(NbtHostileTest, DeclaredLengthsAllocateOnlyAsBytesArrive) {
  // 2^31 - 1 elements declared, a few bytes present.
  const uint8_t kinds[] = {7, 11, 12};
  for (uint8_t kind : kinds) {
    SCOPED_TRACE("array type " + std::to_string(kind));
    Bytes document = {0x0A, 0x00, 0x00, kind, 0x00, 0x01, 'a', 0x7F, 0xFF, 0xFF, 0xFF, 1, 2, 3};
    testing::allocation_probe::reset();
    EXPECT_EQ(tree_error(document), "io error: failed to fill whole buffer");
    EXPECT_EQ(events_of(document).back(), "! failed to fill whole buffer");
    EXPECT_EQ(events_of(document, SIZE_MAX, false, /*keep_arrays=*/false).back(),
              "! failed to fill whole buffer");
    EXPECT_LT(testing::allocation_probe::largest.load(), size_t{1} << 20);
    // A source that holds all its bytes sizes arrays from them, never from the declared length.
    BufferedSource in_memory(std::make_unique<MemorySource>(document));
    testing::allocation_probe::reset();
    EXPECT_FALSE(decode_nbt_tree(in_memory, true));
    EXPECT_LT(testing::allocation_probe::largest.load(), size_t{1} << 20);
  }
  {
    // ... and an honest array from such a source is sized once, to its length.
    NbtWriter w;
    w.compound("").long_array("a", std::vector<int64_t>(1000000, 5)).end();
    BufferedSource in_memory(std::make_unique<MemorySource>(w.bytes()));
    testing::allocation_probe::reset();
    EXPECT_TRUE(decode_nbt_tree(in_memory, true));
    EXPECT_EQ(testing::allocation_probe::largest.load(), size_t{8000000});
  }
  // The largest list the tree decoder accepts, of compounds, which need one byte each.
  NbtWriter w;
  w.compound("").list("l", NbtKind::Compound, 10000000).raw({0, 0, 0});
  testing::allocation_probe::reset();
  EXPECT_EQ(tree_error(w.bytes()), "io error: failed to fill whole buffer");
  EXPECT_LT(testing::allocation_probe::largest.load(), size_t{1} << 20);
}

Bytes nested_lists(int depth) {
  NbtWriter w;
  w.compound("").list("l", NbtKind::List);
  for (int i = 2; i < depth; ++i) w.list("", NbtKind::List);
  w.list("", NbtKind::Int);
  for (int i = 0; i < depth; ++i) w.end();
  w.end();
  return w.bytes();
}

TEST(NbtHostileTest, DeepNesting) {
  // The root compound is one level, so 511 lists fill the tree decoder's 512.
  EXPECT_EQ(tree_error(nested_lists(511)), "<success>");
  EXPECT_EQ(tree_error(nested_lists(512)), "invalid nbt: nested deeper than 512 levels");
  NbtWriter compounds;
  for (int i = 0; i < 100000; ++i) compounds.compound("c");
  EXPECT_EQ(tree_error(compounds.bytes()), "invalid nbt: nested deeper than 512 levels");

  // The event parser keeps its own stack, so depth is no limit there.
  constexpr int kDepth = 100000;
  std::vector<std::string> events = events_of(nested_lists(kDepth));
  ASSERT_EQ(events.size(), 2u * kDepth + 3);
  EXPECT_EQ(events[kDepth], "List Int 0");
  EXPECT_EQ(events[2 * kDepth + 1], "CompoundEnd");
  EXPECT_EQ(events.back(), "! EOF");
}

// Keeps "i", "pos" and "entries" of the root, and of "nested" only its "none" (which it lacks).
constexpr NbtTreeFilter::Member kNestedMembers[] = {{"none", nullptr}};
constexpr NbtTreeFilter kNestedFilter{kNestedMembers};
constexpr NbtTreeFilter::Member kSampleMembers[] = {
    {"i", nullptr}, {"pos", nullptr}, {"entries", nullptr}, {"nested", &kNestedFilter}};
constexpr NbtTreeFilter kSampleFilter{kSampleMembers};
constexpr NbtTreeFilter kDropAll{};
// Hands "ba" to a sink; "i" is marked too, but is no array and stays in the tree.
constexpr NbtTreeFilter::Member kSinkMembers[] = {{"i", nullptr, 1}, {"ba", nullptr, 0}};
constexpr NbtTreeFilter kSinkFilter{kSinkMembers};

// Each slot's bytes since its last begin.
class RecordingSink final : public NbtArraySink {
 public:
  void begin(int slot) override { arrays[slot].clear(); }
  void append(int slot, std::span<const uint8_t> bytes) override {
    arrays[slot].insert(arrays[slot].end(), bytes.begin(), bytes.end());
  }
  std::map<int, Bytes> arrays;
};

TEST(NbtTreeFilterTest, KeepsOnlyTheNamedMembers) {
  auto root = decode(sample_document(), 3, true, &kSampleFilter);
  ASSERT_TRUE(root) << root.error().message;
  const NbtCompound& c = *root->as<NbtCompound>();
  EXPECT_EQ(c.size(), 4u);
  EXPECT_EQ(*c.find("i")->as<int32_t>(), 123456789);
  EXPECT_EQ(c.find("pos")->as<NbtList>()->elements.size(), 2u);
  // Kept lists are kept whole, compounds in them included.
  const NbtList& entries = *c.find("entries")->as<NbtList>();
  EXPECT_EQ(*entries.elements[0].as<NbtCompound>()->find("Name")->as<std::string>(), "x");
  EXPECT_TRUE(c.find("nested")->as<NbtCompound>()->empty());
  EXPECT_EQ(c.find("ba"), nullptr);
  EXPECT_EQ(c.find("str"), nullptr);
}

TEST(NbtTreeFilterTest, DroppedMembersFailAlike) {
  // Whatever is dropped is still decoded: every failure, every truncation and the depth limit
  // read the same with a filter that keeps nothing.
  std::vector<std::pair<std::string, Bytes>> documents;
  for (const MessageCase& c : message_cases()) documents.emplace_back(c.label, c.document);
  const Bytes full = sample_document();
  for (size_t length = 0; length <= full.size(); ++length) {
    documents.emplace_back("prefix " + std::to_string(length),
                           Bytes(full.begin(), full.begin() + static_cast<ptrdiff_t>(length)));
  }
  documents.emplace_back("511 lists", nested_lists(511));
  documents.emplace_back("512 lists", nested_lists(512));
  for (const auto& [label, document] : documents) {
    SCOPED_TRACE(label);
    EXPECT_EQ(tree_error(document, true, &kDropAll), tree_error(document));
    EXPECT_EQ(tree_error(document, true, &kSampleFilter), tree_error(document));
    EXPECT_EQ(tree_error(document, false, &kSampleFilter), tree_error(document));
    RecordingSink sink;
    auto source = source_of(document, 3);
    auto sunk = decode_nbt_tree(*source, true, &kSinkFilter, &sink);
    EXPECT_EQ(sunk ? "<success>" : sunk.error().message, tree_error(document));
  }
}

TEST(NbtTreeFilterTest, MarkedArraysGoToTheSink) {
  // The last of a name written twice wins, in pieces as small as the source serves.
  NbtWriter w;
  w.compound("").byte_array("ba", Bytes{9, 9}).int_("i", 7).byte_array("ba", Bytes{1, 2, 3, 4});
  w.end();
  RecordingSink sink;
  auto source = source_of(w.bytes(), 3);
  auto root = decode_nbt_tree(*source, true, &kSinkFilter, &sink);
  ASSERT_TRUE(root) << root.error().message;
  const NbtCompound& c = *root->as<NbtCompound>();
  EXPECT_TRUE(c.find("ba")->as<NbtByteArray>()->empty());
  EXPECT_EQ(*c.find("i")->as<int32_t>(), 7);
  EXPECT_EQ(sink.arrays, (std::map<int, Bytes>{{0, {1, 2, 3, 4}}}));
}

TEST(NbtTreeFilterTest, KeptValuesAreCounted) {
  // The sample filter keeps i, pos (and its 2 Ints), entries (2 compounds, one String) and nested:
  // 9 values. Whatever is dropped does not count.
  for (uint64_t limit : {uint64_t{8}, uint64_t{9}}) {
    SCOPED_TRACE(limit);
    NbtTreeFilter limited = kSampleFilter;
    limited.max_values = limit;
    EXPECT_EQ(tree_error(sample_document(), true, &limited),
              limit < 9 ? "nbt tree keeps more than 8 values" : "<success>");
  }
}

TEST(NbtTreeFilterTest, DroppedArraysAreNotHeld) {
  // A 16 MiB array outside the filter is passed over without an allocation of its size.
  NbtWriter w;
  w.compound("").byte_array("big", Bytes(size_t{16} << 20, 1)).int_("i", 7).end();
  auto source = source_of(w.bytes());
  testing::allocation_probe::reset();
  auto root = decode_nbt_tree(*source, true, &kSampleFilter);
  ASSERT_TRUE(root) << root.error().message;
  EXPECT_EQ(*root->as<NbtCompound>()->find("i")->as<int32_t>(), 7);
  EXPECT_LT(testing::allocation_probe::largest.load(), size_t{1} << 20);
}

TEST(NbtEventTest, ArraysCanBePassedOver) {
  // Without arrays the events are the same, each array empty; truncations fail alike.
  std::vector<std::string> expected = kSampleEvents;
  for (std::string& line : expected) {
    if (line.find("Array '") != std::string::npos) line = line.substr(0, line.find('[')) + "[]";
  }
  EXPECT_EQ(events_of(sample_document(), 5, false, false), expected);
  const Bytes full = sample_document();
  for (size_t length = 0; length < full.size(); ++length) {
    SCOPED_TRACE("prefix of " + std::to_string(length) + " bytes");
    Bytes prefix(full.begin(), full.begin() + static_cast<ptrdiff_t>(length));
    EXPECT_EQ(events_of(prefix, SIZE_MAX, false, false).back(), events_of(prefix).back());
  }
  NbtWriter w;
  w.compound("").long_array("big", std::vector<int64_t>(size_t{2} << 20, 5)).end();
  NbtEventParser parser(scripted(w.bytes(), SIZE_MAX, false), /*keep_arrays=*/false);
  testing::allocation_probe::reset();
  std::vector<std::string> events;
  for (NbtEventResult event = parser.next_event(); event; event = parser.next_event()) {
    events.push_back(describe(**event));
  }
  EXPECT_EQ(events, (std::vector<std::string>{"Compound ''", "LongArray 'big' []", "CompoundEnd"}));
  EXPECT_LT(testing::allocation_probe::largest.load(), size_t{1} << 20);
}

}  // namespace
}  // namespace kubrel
