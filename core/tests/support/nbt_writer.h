// Builds NBT documents for tests, so that tests state their input as named tags instead of opaque
// bytes: big-endian numbers, names and strings in modified UTF-8.
//
//   NbtWriter w;
//   w.compound("")                          // the root
//       .int_list("size", {2, 1, 1})
//       .list("palette", NbtKind::Compound)  // count filled in by end()
//       .compound("").string("Name", "minecraft:stone").end()
//       .end()
//       .end();
//   std::vector<uint8_t> bytes = w.bytes();
//
// Every value method writes a named tag (type byte, name, payload) at the top level or inside a
// compound. Inside a list it writes the payload alone and ignores the name (pass "").
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "nbt/nbt.h"

namespace kubrel::testing {

class NbtWriter {
 public:
  NbtWriter& byte(std::string_view name, int8_t value);
  NbtWriter& short_(std::string_view name, int16_t value);
  NbtWriter& int_(std::string_view name, int32_t value);
  NbtWriter& long_(std::string_view name, int64_t value);
  NbtWriter& float_(std::string_view name, float value);
  NbtWriter& double_(std::string_view name, double value);
  // `value` is UTF-8; it is written in modified UTF-8.
  NbtWriter& string(std::string_view name, std::string_view value);
  // A String whose payload is exactly `encoded` (after its 16-bit length), for malformed text.
  NbtWriter& string_bytes(std::string_view name, std::span<const uint8_t> encoded);
  NbtWriter& byte_array(std::string_view name, std::span<const uint8_t> values);
  NbtWriter& int_array(std::string_view name, std::span<const int32_t> values);
  NbtWriter& long_array(std::string_view name, std::span<const int64_t> values);

  // Opens a compound; end() writes its End tag.
  NbtWriter& compound(std::string_view name);
  // Opens a list of `element_kind`. Without `count`, end() writes the number of elements written;
  // with it, that count is written as given (for lists that lie about their length).
  NbtWriter& list(std::string_view name, NbtKind element_kind,
                  std::optional<int32_t> count = std::nullopt);
  // Closes the innermost open compound or list.
  NbtWriter& end();

  // A whole List of Ints.
  NbtWriter& int_list(std::string_view name, std::initializer_list<int32_t> values);

  // Appends bytes as they are, outside any bookkeeping.
  NbtWriter& raw(std::span<const uint8_t> bytes);
  NbtWriter& raw(std::initializer_list<uint8_t> bytes);

  const std::vector<uint8_t>& bytes() const { return out_; }

 private:
  struct Open {
    bool is_list;
    size_t count_offset;  // where a list's count goes
    bool patch_count;
    int32_t elements;
  };

  // Writes the type byte and name when not inside a list; counts a list element otherwise.
  void header(NbtKind kind, std::string_view name);
  void put_text(std::string_view utf8);
  template <class T>
  void put(T value);

  std::vector<uint8_t> out_;
  std::vector<Open> open_;
};

}  // namespace kubrel::testing
