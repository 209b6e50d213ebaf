// The test-side NBT writer.
#include "support/nbt_writer.h"

#include <bit>

#include "nbt/nbt_writer.h"

namespace kubrel::testing {

template <class T>
void NbtWriter::put(T value) {
  using U = std::conditional_t<
      sizeof(T) == 1, uint8_t,
      std::conditional_t<sizeof(T) == 2, uint16_t,
                         std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>>>;
  auto bits = std::bit_cast<U>(value);
  for (int shift = 8 * (sizeof(T) - 1); shift >= 0; shift -= 8)
    out_.push_back(static_cast<uint8_t>(bits >> shift));
}

void NbtWriter::header(NbtKind kind, std::string_view name) {
  if (!open_.empty() && open_.back().is_list) {
    ++open_.back().elements;
    return;
  }
  out_.push_back(static_cast<uint8_t>(kind));
  put_text(name);
}

void NbtWriter::put_text(std::string_view utf8) {
  std::string encoded;
  append_modified_utf8(utf8, encoded);
  put(static_cast<uint16_t>(encoded.size()));
  out_.insert(out_.end(), encoded.begin(), encoded.end());
}

NbtWriter& NbtWriter::byte(std::string_view name, int8_t value) {
  header(NbtKind::Byte, name);
  put(value);
  return *this;
}

NbtWriter& NbtWriter::short_(std::string_view name, int16_t value) {
  header(NbtKind::Short, name);
  put(value);
  return *this;
}

NbtWriter& NbtWriter::int_(std::string_view name, int32_t value) {
  header(NbtKind::Int, name);
  put(value);
  return *this;
}

NbtWriter& NbtWriter::long_(std::string_view name, int64_t value) {
  header(NbtKind::Long, name);
  put(value);
  return *this;
}

NbtWriter& NbtWriter::float_(std::string_view name, float value) {
  header(NbtKind::Float, name);
  put(value);
  return *this;
}

NbtWriter& NbtWriter::double_(std::string_view name, double value) {
  header(NbtKind::Double, name);
  put(value);
  return *this;
}

NbtWriter& NbtWriter::string(std::string_view name, std::string_view value) {
  header(NbtKind::String, name);
  put_text(value);
  return *this;
}

NbtWriter& NbtWriter::string_bytes(std::string_view name, std::span<const uint8_t> encoded) {
  header(NbtKind::String, name);
  put(static_cast<uint16_t>(encoded.size()));
  out_.insert(out_.end(), encoded.begin(), encoded.end());
  return *this;
}

NbtWriter& NbtWriter::byte_array(std::string_view name, std::span<const uint8_t> values) {
  header(NbtKind::ByteArray, name);
  put(static_cast<int32_t>(values.size()));
  out_.insert(out_.end(), values.begin(), values.end());
  return *this;
}

NbtWriter& NbtWriter::int_array(std::string_view name, std::span<const int32_t> values) {
  header(NbtKind::IntArray, name);
  put(static_cast<int32_t>(values.size()));
  for (int32_t v : values) put(v);
  return *this;
}

NbtWriter& NbtWriter::long_array(std::string_view name, std::span<const int64_t> values) {
  header(NbtKind::LongArray, name);
  put(static_cast<int32_t>(values.size()));
  for (int64_t v : values) put(v);
  return *this;
}

NbtWriter& NbtWriter::compound(std::string_view name) {
  header(NbtKind::Compound, name);
  open_.push_back(Open{false, 0, false, 0});
  return *this;
}

NbtWriter& NbtWriter::list(std::string_view name, NbtKind element_kind,
                           std::optional<int32_t> count) {
  header(NbtKind::List, name);
  out_.push_back(static_cast<uint8_t>(element_kind));
  size_t offset = out_.size();
  put(count.value_or(0));
  open_.push_back(Open{true, offset, !count.has_value(), 0});
  return *this;
}

NbtWriter& NbtWriter::end() {
  if (open_.empty()) throw std::logic_error("end() without an open compound or list");
  Open closed = open_.back();
  open_.pop_back();
  if (!closed.is_list) {
    out_.push_back(static_cast<uint8_t>(NbtKind::End));
  } else if (closed.patch_count) {
    auto count = static_cast<uint32_t>(closed.elements);
    for (int i = 0; i < 4; ++i)
      out_[closed.count_offset + i] = static_cast<uint8_t>(count >> (24 - 8 * i));
  }
  return *this;
}

NbtWriter& NbtWriter::int_list(std::string_view name, std::initializer_list<int32_t> values) {
  list(name, NbtKind::Int);
  for (int32_t v : values) int_("", v);
  return end();
}

NbtWriter& NbtWriter::raw(std::span<const uint8_t> bytes) {
  out_.insert(out_.end(), bytes.begin(), bytes.end());
  return *this;
}

NbtWriter& NbtWriter::raw(std::initializer_list<uint8_t> bytes) {
  return raw(std::span<const uint8_t>(bytes.begin(), bytes.size()));
}

}  // namespace kubrel::testing
