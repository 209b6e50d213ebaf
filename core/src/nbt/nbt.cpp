// Tag kind names and the text primitive shared by the NBT decoders.
#include "nbt/nbt.h"

#include <array>
#include <span>

#include "nbt/modified_utf8.h"

namespace kubrel {

std::string_view nbt_kind_name(NbtKind kind) {
  static constexpr std::array<std::string_view, 14> kNames = {
      "End",       "Byte",   "Short", "Int",      "Long",     "Float",     "Double",
      "ByteArray", "String", "List",  "Compound", "IntArray", "LongArray", "ListEnd"};
  auto id = static_cast<size_t>(kind);
  return id < kNames.size() ? kNames[id] : std::string_view("Unknown");
}

std::unique_ptr<BufferedSource> as_buffered_source(std::unique_ptr<ByteSource> source) {
  if (auto* buffered = dynamic_cast<BufferedSource*>(source.get())) {
    source.release();
    return std::unique_ptr<BufferedSource>(buffered);
  }
  return std::make_unique<BufferedSource>(std::move(source));
}

namespace nbt_wire {

Result<bool> read_text(BufferedSource& source, std::string& out) {
  KUBREL_ASSIGN_OR_RETURN(int16_t raw_length, read_number<int16_t>(source));
  auto length = static_cast<uint16_t>(raw_length);
  out.resize(length);
  KUBREL_TRY(source.read_exact(reinterpret_cast<uint8_t*>(out.data()), length));
  // Names and most strings are ASCII, which needs no decoding.
  bool plain = std::all_of(out.begin(), out.end(),
                           [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (plain) return true;
  std::string encoded = std::move(out);
  out.clear();
  auto bytes = std::span(reinterpret_cast<const uint8_t*>(encoded.data()), encoded.size());
  return decode_modified_utf8(bytes, out);
}

}  // namespace nbt_wire

}  // namespace kubrel
