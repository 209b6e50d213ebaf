// The in-place NBT cursor: every read checks the bytes left before it moves.
#include "nbt/nbt_view.h"

#include "nbt/modified_utf8.h"

namespace kubrel {

namespace {

std::unexpected<Error> truncated() {
  return fail("truncated NBT payload");
}

Result<NbtKind> kind_of(uint8_t id) {
  if (id > kNbtMaxTypeId) return fail("invalid NBT tag type " + std::to_string(id));
  return static_cast<NbtKind>(id);
}

}  // namespace

Result<uint8_t> NbtCursor::u8() {
  if (position_ >= document_.size()) return truncated();
  return document_[position_++];
}

Result<std::span<const uint8_t>> NbtCursor::bytes(size_t n) {
  if (n > document_.size() - position_) return truncated();
  auto result = document_.subspan(position_, n);
  position_ += n;
  return result;
}

Result<std::string_view> NbtCursor::raw_text() {
  KUBREL_ASSIGN_OR_RETURN(uint16_t length, number<uint16_t>());
  KUBREL_ASSIGN_OR_RETURN(std::span<const uint8_t> raw, bytes(length));
  return std::string_view(reinterpret_cast<const char*>(raw.data()), raw.size());
}

Result<std::string> NbtCursor::text() {
  KUBREL_ASSIGN_OR_RETURN(std::string_view raw, raw_text());
  return nbt_text(raw);
}

Result<std::string> nbt_text(std::string_view raw) {
  std::string out;
  auto encoded = std::span(reinterpret_cast<const uint8_t*>(raw.data()), raw.size());
  if (!decode_modified_utf8(encoded, out)) return fail("NBT string is not valid text: " + out);
  return out;
}

Result<NbtListRef> NbtCursor::list_head() {
  KUBREL_ASSIGN_OR_RETURN(uint8_t id, u8());
  KUBREL_ASSIGN_OR_RETURN(NbtKind kind, kind_of(id));
  KUBREL_ASSIGN_OR_RETURN(int32_t length, number<int32_t>());
  NbtListRef list{kind, length < 0 ? 0u : static_cast<uint32_t>(length), position_};
  // Every element but End takes at least one byte, so a count beyond the bytes left is a lie.
  if (kind != NbtKind::End && list.length > document_.size() - position_) {
    return fail("NBT list declares " + std::to_string(list.length) + " elements but only " +
                std::to_string(document_.size() - position_) + " bytes follow");
  }
  return list;
}

Result<std::span<const uint8_t>> NbtCursor::array_bytes(NbtKind kind) {
  KUBREL_ASSIGN_OR_RETURN(int32_t length, number<int32_t>());
  if (length < 0) return fail("negative NBT array length");
  uint64_t size = static_cast<uint64_t>(length) * nbt_array_element_size(kind);
  if (size > document_.size() - position_) return truncated();
  return bytes(static_cast<size_t>(size));
}

Status NbtCursor::skip(NbtKind kind, int depth) {
  if (depth >= kNbtViewMaxDepth) return fail(kNbtViewTooDeep);
  if (size_t fixed = nbt_number_size(kind)) return as_status(bytes(fixed));
  switch (kind) {
    case NbtKind::ByteArray:
    case NbtKind::IntArray:
    case NbtKind::LongArray:
      return as_status(array_bytes(kind));
    case NbtKind::String:
      return as_status(raw_text());
    case NbtKind::List: {
      KUBREL_ASSIGN_OR_RETURN(NbtListRef list, list_head());
      if (list.element_kind == NbtKind::End) return {};
      if (size_t fixed = nbt_number_size(list.element_kind)) {
        return as_status(bytes(size_t{list.length} * fixed));
      }
      for (uint32_t i = 0; i < list.length; ++i) KUBREL_TRY(skip(list.element_kind, depth + 1));
      return {};
    }
    case NbtKind::Compound: {
      NbtTagRef entry;
      while (true) {
        KUBREL_ASSIGN_OR_RETURN(bool more, next_entry(entry));
        if (!more) return {};
        KUBREL_TRY(skip(entry.kind, depth + 1));
      }
    }
    default:
      return fail("invalid NBT tag type " + std::to_string(static_cast<int>(kind)));
  }
}

Result<bool> NbtCursor::next_entry(NbtTagRef& entry) {
  entry.entry_begin = position_;
  KUBREL_ASSIGN_OR_RETURN(uint8_t id, u8());
  if (id == 0) return false;
  KUBREL_ASSIGN_OR_RETURN(entry.kind, kind_of(id));
  KUBREL_ASSIGN_OR_RETURN(entry.name, raw_text());
  entry.payload = position_;
  return true;
}

Result<size_t> nbt_root_compound(std::span<const uint8_t> document) {
  NbtCursor cursor(document, 0);
  KUBREL_ASSIGN_OR_RETURN(uint8_t id, cursor.u8());
  if (id != static_cast<uint8_t>(NbtKind::Compound)) return fail("NBT root is not a compound");
  KUBREL_TRY(cursor.raw_text());
  return cursor.position();
}

Status copy_entries(std::span<const uint8_t> document, size_t payload, int depth,
                    std::span<const std::string_view> drop, std::vector<std::byte>& out) {
  auto copied = for_each_entry(
      document, payload, depth, [&](const NbtTagRef& entry, NbtCursor& cursor) -> Result<bool> {
        KUBREL_TRY(cursor.skip(entry.kind, depth + 1));
        for (std::string_view name : drop) {
          if (entry.name == name) return true;
        }
        auto begin = reinterpret_cast<const std::byte*>(document.data());
        out.insert(out.end(), begin + entry.entry_begin, begin + cursor.position());
        return true;
      });
  if (!copied) return std::unexpected(std::move(copied.error()));
  return {};
}

void append_string_entry(std::string_view name, std::string_view value,
                         std::vector<std::byte>& out) {
  auto put_text = [&](std::string_view text) {
    out.push_back(static_cast<std::byte>(text.size() >> 8));
    out.push_back(static_cast<std::byte>(text.size() & 0xFF));
    auto begin = reinterpret_cast<const std::byte*>(text.data());
    out.insert(out.end(), begin, begin + text.size());
  };
  out.push_back(static_cast<std::byte>(NbtKind::String));
  put_text(name);
  put_text(value);
}

Result<std::array<int32_t, 3>> read_int_triple(std::span<const uint8_t> document,
                                               const NbtTagRef& tag) {
  NbtCursor cursor(document, tag.payload);
  uint32_t length = 0;
  if (tag.kind == NbtKind::IntArray) {
    KUBREL_ASSIGN_OR_RETURN(auto raw, cursor.array_bytes(NbtKind::IntArray));
    length = static_cast<uint32_t>(raw.size() / 4);
    cursor.seek(tag.payload + 4);
  } else if (tag.kind == NbtKind::List) {
    KUBREL_ASSIGN_OR_RETURN(NbtListRef list, cursor.list_head());
    if (list.element_kind != NbtKind::Int && list.length > 0)
      length = UINT32_MAX;
    else
      length = list.length;
  }
  if (length != 3) return fail(quoted(tag.name) + " is not three Ints");
  std::array<int32_t, 3> values{};
  for (int32_t& value : values) {
    KUBREL_ASSIGN_OR_RETURN(value, cursor.number<int32_t>());
  }
  return values;
}

Result<std::array<double, 3>> read_double_triple(std::span<const uint8_t> document,
                                                 const NbtTagRef& tag) {
  NbtCursor cursor(document, tag.payload);
  NbtListRef list;
  if (tag.kind == NbtKind::List) {
    KUBREL_ASSIGN_OR_RETURN(list, cursor.list_head());
  }
  bool doubles = list.element_kind == NbtKind::Double;
  if (tag.kind != NbtKind::List || list.length != 3 ||
      (!doubles && list.element_kind != NbtKind::Float)) {
    return fail(quoted(tag.name) + " is not a list of three Doubles");
  }
  std::array<double, 3> values{};
  for (double& value : values) {
    if (doubles) {
      KUBREL_ASSIGN_OR_RETURN(value, cursor.number<double>());
    } else {
      KUBREL_ASSIGN_OR_RETURN(float single, cursor.number<float>());
      value = single;
    }
  }
  return values;
}

Result<int64_t> read_integer(std::span<const uint8_t> document, const NbtTagRef& tag) {
  NbtCursor cursor(document, tag.payload);
  switch (tag.kind) {
    case NbtKind::Byte:
      return cursor.number<int8_t>();
    case NbtKind::Short:
      return cursor.number<int16_t>();
    case NbtKind::Int:
      return cursor.number<int32_t>();
    default:
      return fail(quoted(tag.name) + " is not an Int");
  }
}

Result<std::span<const uint8_t>> read_byte_array(std::span<const uint8_t> document,
                                                 const NbtTagRef& tag, std::string_view name) {
  if (!tag.found()) return std::span<const uint8_t>();
  if (tag.kind != NbtKind::ByteArray) return fail(quoted(name) + " is not a ByteArray");
  NbtCursor cursor(document, tag.payload);
  return cursor.array_bytes(NbtKind::ByteArray);
}

}  // namespace kubrel
