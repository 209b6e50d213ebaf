// Encodes NBT into a byte sink: named tags and bare payloads of every kind, text in modified
// UTF-8, lists with their element kind and count, and already-encoded compound payloads spliced in
// byte for byte. Bytes are gathered in a buffer and passed to the sink in large pieces, so that an
// encoder may write a tag at a time without a call into the sink for each.
//
//   NbtWriter w(sink);
//   w.begin_compound("");                 // the root
//   w.int_list("size", {2, 1, 1});
//   w.begin_list("palette", NbtKind::Compound, 1);
//   w.string("Name", "minecraft:stone");
//   w.end_compound();                     // the list's one element
//   w.end_compound();                     // the root
//   Status done = w.finish();
//
// Failures (a text longer than NBT allows, a failing sink) are kept: the first one is returned by
// finish(), and nothing is passed to the sink after it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "io/byte_sink.h"
#include "nbt/nbt.h"

namespace kubrel {

// Appends the modified UTF-8 form of the UTF-8 text `utf8` to `out`: NUL as C0 80, a character
// above U+FFFF as the three-byte forms of its two UTF-16 surrogates. A byte that does not start a
// well-formed UTF-8 sequence is written as U+FFFD.
void append_modified_utf8(std::string_view utf8, std::string& out);

class NbtWriter {
 public:
  explicit NbtWriter(ByteSink& sink);

  // A tag's type byte and name; its payload follows through the put_ or begin_ methods.
  void tag(NbtKind kind, std::string_view name);

  // Payloads alone, as list elements and after tag().
  void put_byte(int8_t value) { put_number(value); }
  void put_short(int16_t value) { put_number(value); }
  void put_int(int32_t value) { put_number(value); }
  void put_long(int64_t value) { put_number(value); }
  void put_float(float value) { put_number(value); }
  void put_double(double value) { put_number(value); }
  // `utf8` is written in modified UTF-8 after its 16-bit length; a text over 65535 encoded bytes
  // is a failure.
  void put_string(std::string_view utf8);
  void put_byte_array(std::span<const uint8_t> values);
  void put_int_array(std::span<const int32_t> values);
  void put_long_array(std::span<const int64_t> values);
  // The element kind and count of a list; the elements follow as payloads.
  void put_list_header(NbtKind element_kind, int32_t count);
  // An encoded compound payload (entries, then TAG_End) copied as it is.
  void put_compound_payload(std::span<const std::byte> payload);
  // Bytes copied as they are: the body of an array whose header was written with a count.
  void put_raw(std::span<const uint8_t> bytes);
  // Closes the compound whose entries were just written (its TAG_End).
  void end_compound() { put_number(uint8_t{0}); }

  // Named tags.
  void byte(std::string_view name, int8_t value) { named_number(NbtKind::Byte, name, value); }
  void short_(std::string_view name, int16_t value) { named_number(NbtKind::Short, name, value); }
  void int_(std::string_view name, int32_t value) { named_number(NbtKind::Int, name, value); }
  void long_(std::string_view name, int64_t value) { named_number(NbtKind::Long, name, value); }
  void double_(std::string_view name, double value) { named_number(NbtKind::Double, name, value); }
  void string(std::string_view name, std::string_view utf8);
  void int_array(std::string_view name, std::span<const int32_t> values);
  void int_list(std::string_view name, std::initializer_list<int32_t> values);
  void double_list(std::string_view name, std::initializer_list<double> values);
  // A compound whose entries follow; close it with end_compound().
  void begin_compound(std::string_view name) { tag(NbtKind::Compound, name); }
  void begin_list(std::string_view name, NbtKind element_kind, int32_t count);
  // A ByteArray of `length` bytes whose body follows through put_raw().
  void begin_byte_array(std::string_view name, uint32_t length);

  // Passes what is buffered to the sink and returns the first failure, if any.
  [[nodiscard]] Status finish();

 private:
  template <class T>
  void put_number(T value) {
    value = nbt_wire::from_big_endian(value);  // the swap is its own inverse
    const auto* bytes = reinterpret_cast<const uint8_t*>(&value);
    buffer_.insert(buffer_.end(), bytes, bytes + sizeof(T));
    if (buffer_.size() >= kFlushAt) [[unlikely]]
      flush();
  }
  template <class T>
  void named_number(NbtKind kind, std::string_view name, T value) {
    tag(kind, name);
    put_number(value);
  }
  // The Int count of an array; false (and a kept failure) when it does not fit.
  bool put_array_length(size_t count);
  template <class T>
  void put_numbers(std::span<const T> values);
  void flush();

  static constexpr size_t kFlushAt = 64 * 1024;

  ByteSink& sink_;
  std::vector<uint8_t> buffer_;
  std::string text_;
  Status status_;
};

}  // namespace kubrel
