// Bounds-checked walking of encoded NBT payloads.
#include "nbt/nbt_entries.h"

#include <cstring>
#include <string_view>

namespace kubrel {

namespace {

constexpr int kMaxDepth = 512;

class PayloadCursor {
 public:
  explicit PayloadCursor(NbtBytes bytes) : bytes_(bytes) {}

  size_t position() const { return position_; }
  size_t left() const { return bytes_.size() - position_; }

  Status need(uint64_t n) const {
    if (n > left()) return fail("truncated NBT payload");
    return {};
  }

  template <class T>
  Result<T> number() {
    KUBREL_TRY(need(sizeof(T)));
    T value;
    std::memcpy(&value, bytes_.data() + position_, sizeof(T));
    position_ += sizeof(T);
    return nbt_wire::from_big_endian(value);
  }

  Status skip(uint64_t n) {
    KUBREL_TRY(need(n));
    position_ += static_cast<size_t>(n);
    return {};
  }

  Result<NbtBytes> text() {
    KUBREL_ASSIGN_OR_RETURN(uint16_t length, number<uint16_t>());
    KUBREL_TRY(need(length));
    NbtBytes span = bytes_.subspan(position_, length);
    position_ += length;
    return span;
  }

  // Moves past one payload of `kind`.
  Status skip_payload(NbtKind kind, int depth) {
    if (depth > kMaxDepth) return fail("NBT payload nested deeper than 512 levels");
    switch (kind) {
      case NbtKind::Byte:
        return skip(1);
      case NbtKind::Short:
        return skip(2);
      case NbtKind::Int:
      case NbtKind::Float:
        return skip(4);
      case NbtKind::Long:
      case NbtKind::Double:
        return skip(8);
      case NbtKind::ByteArray:
        return skip_array(1);
      case NbtKind::IntArray:
        return skip_array(4);
      case NbtKind::LongArray:
        return skip_array(8);
      case NbtKind::String: {
        KUBREL_TRY(text());
        return {};
      }
      case NbtKind::List: {
        KUBREL_ASSIGN_OR_RETURN(NbtKind element, kind_byte());
        KUBREL_ASSIGN_OR_RETURN(int32_t count, number<int32_t>());
        if (count < 0) return fail("negative NBT list length");
        if (count > 0 && element == NbtKind::End) return fail("NBT list of End elements");
        for (int32_t i = 0; i < count; ++i) KUBREL_TRY(skip_payload(element, depth + 1));
        return {};
      }
      case NbtKind::Compound:
        while (true) {
          KUBREL_ASSIGN_OR_RETURN(NbtKind entry, kind_byte());
          if (entry == NbtKind::End) return {};
          KUBREL_TRY(text());
          KUBREL_TRY(skip_payload(entry, depth + 1));
        }
      case NbtKind::End:
      case NbtKind::ListEnd:
        break;
    }
    return fail("NBT End tag where a payload belongs");
  }

  Result<NbtKind> kind_byte() {
    KUBREL_ASSIGN_OR_RETURN(uint8_t id, number<uint8_t>());
    if (id > kNbtMaxTypeId) return fail("invalid NBT tag type " + std::to_string(id));
    return static_cast<NbtKind>(id);
  }

  NbtBytes slice(size_t from) const { return bytes_.subspan(from, position_ - from); }

 private:
  Status skip_array(uint64_t element_size) {
    KUBREL_ASSIGN_OR_RETURN(int32_t count, number<int32_t>());
    if (count < 0) return fail("negative NBT array length");
    return skip(static_cast<uint64_t>(count) * element_size);
  }

  NbtBytes bytes_;
  size_t position_ = 0;
};

}  // namespace

Result<std::vector<NbtEntry>> nbt_compound_entries(NbtBytes payload) {
  PayloadCursor cursor(payload);
  std::vector<NbtEntry> entries;
  while (true) {
    size_t start = cursor.position();
    KUBREL_ASSIGN_OR_RETURN(NbtKind kind, cursor.kind_byte());
    if (kind == NbtKind::End) break;
    KUBREL_ASSIGN_OR_RETURN(NbtBytes name, cursor.text());
    size_t payload_start = cursor.position();
    KUBREL_TRY(cursor.skip_payload(kind, 1));
    entries.push_back({kind, name, cursor.slice(payload_start), cursor.slice(start)});
  }
  if (cursor.left() != 0) return fail("bytes after the end of an NBT compound");
  return entries;
}

Result<std::vector<NbtBytes>> nbt_list_elements(NbtBytes payload, NbtKind* element_kind) {
  PayloadCursor cursor(payload);
  KUBREL_ASSIGN_OR_RETURN(NbtKind element, cursor.kind_byte());
  KUBREL_ASSIGN_OR_RETURN(int32_t count, cursor.number<int32_t>());
  if (count < 0) return fail("negative NBT list length");
  std::vector<NbtBytes> elements;
  for (int32_t i = 0; i < count; ++i) {
    size_t start = cursor.position();
    KUBREL_TRY(cursor.skip_payload(element, 1));
    elements.push_back(cursor.slice(start));
  }
  if (cursor.left() != 0) return fail("bytes after the end of an NBT list");
  if (element_kind) *element_kind = element;
  return elements;
}

bool nbt_name_is(NbtBytes name, std::string_view text) {
  return name.size() == text.size() && std::memcmp(name.data(), text.data(), text.size()) == 0;
}

}  // namespace kubrel
