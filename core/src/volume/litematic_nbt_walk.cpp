// The exact NBT walk: payloads checked as they pass, appended to the caller's bytes when kept.
#include "volume/litematic_nbt_walk.h"

#include <algorithm>
#include <span>

#include "nbt/modified_utf8.h"
#include "nbt/nbt_tree.h"

namespace kubrel {

std::string NbtExactWalk::source_message(const Error& error) {
  return "NBT cut short or unreadable: " + error.message;
}

Result<NbtKind> NbtExactWalk::root() {
  auto id = source_.read_u8();
  if (!id) return fail(source_message(id.error()));
  if (*id == 0 || *id > kNbtMaxTypeId) return fail("invalid NBT: no root tag");
  std::string name;
  KUBREL_TRY(text(name_raw_, name));
  return static_cast<NbtKind>(*id);
}

Result<NbtKind> NbtExactWalk::next_member(std::string& name) {
  return member_header(&name);
}

Result<NbtKind> NbtExactWalk::member_header(std::string* name) {
  auto id = source_.read_u8();
  if (!id) return fail(source_message(id.error()));
  if (*id > kNbtMaxTypeId) return fail("invalid NBT tag id " + std::to_string(*id));
  if (*id == 0) return NbtKind::End;
  KUBREL_TRY(text(name_raw_, name));
  return static_cast<NbtKind>(*id);
}

Status NbtExactWalk::text(std::vector<uint8_t>& raw, std::string& decoded) {
  return text(raw, &decoded);
}

Status NbtExactWalk::text(std::vector<uint8_t>& raw, std::string* decoded) {
  uint8_t length_bytes[2];
  auto got = source_.read_exact(length_bytes, 2);
  if (!got) return fail(source_message(got.error()));
  size_t length = size_t{length_bytes[0]} << 8 | length_bytes[1];
  raw.resize(2 + length);
  raw[0] = length_bytes[0];
  raw[1] = length_bytes[1];
  got = source_.read_exact(raw.data() + 2, length);
  if (!got) return fail(source_message(got.error()));
  // Names and strings are mostly ASCII, which is valid modified UTF-8 and decodes to itself: the
  // decoder runs only on text that holds another byte.
  const auto chars = std::span(raw).subspan(2);
  if (std::ranges::all_of(chars, [](uint8_t c) { return c < 0x80; })) {
    if (decoded) decoded->assign(reinterpret_cast<const char*>(chars.data()), chars.size());
    return {};
  }
  std::string& out = decoded ? *decoded : scratch_;
  out.clear();
  if (!decode_modified_utf8(chars, out))
    return fail("invalid NBT string, not modified UTF-8: " + out);
  return {};
}

Result<std::string> NbtExactWalk::string() {
  std::string decoded;
  KUBREL_TRY(text(text_raw_, decoded));
  return decoded;
}

Result<NbtListStart> NbtExactWalk::list_header() {
  auto element = source_.read_u8();
  if (!element) return fail(source_message(element.error()));
  if (*element > kNbtMaxTypeId) return fail("invalid NBT tag id " + std::to_string(*element));
  KUBREL_ASSIGN_OR_RETURN(int32_t count, number<int32_t>());
  auto kind = static_cast<NbtKind>(*element);
  if (kind == NbtKind::End && count > 0)
    return fail("invalid NBT: a list of End tags with elements");
  return NbtListStart{kind, count > 0 ? count : 0};
}

Status NbtExactWalk::long_array(std::vector<uint64_t>& out) {
  KUBREL_ASSIGN_OR_RETURN(int32_t length, number<int32_t>());
  if (length < 0) return fail("invalid NBT array length " + std::to_string(length));
  auto read = nbt_wire::read_array(source_, static_cast<uint32_t>(length), out);
  if (!read) return fail(source_message(read.error()));
  return {};
}

Status NbtExactWalk::bytes(uint64_t count, NbtCompoundBytes* out) {
  if (!out) {
    auto skipped = source_.skip(count);
    if (!skipped) return fail(source_message(skipped.error()));
    return {};
  }
  // Grown a chunk at a time, so that a declared length costs memory only as its bytes arrive.
  while (count > 0) {
    size_t piece = static_cast<size_t>(std::min<uint64_t>(count, nbt_wire::kArrayChunkBytes));
    size_t at = out->size();
    out->resize(at + piece);
    auto got = source_.read_exact(reinterpret_cast<uint8_t*>(out->data() + at), piece);
    if (!got) return fail(source_message(got.error()));
    count -= piece;
  }
  return {};
}

Status NbtExactWalk::skip(NbtKind kind) {
  return walk(kind, nullptr, 0);
}

Status NbtExactWalk::copy_member(NbtKind kind, NbtCompoundBytes& out) {
  out.push_back(static_cast<std::byte>(kind));
  auto name = std::as_bytes(std::span(name_raw_));
  out.insert(out.end(), name.begin(), name.end());
  return walk(kind, &out, 0);
}

Status NbtExactWalk::walk(NbtKind kind, NbtCompoundBytes* out, int depth) {
  if (size_t width = nbt_number_size(kind)) return bytes(width, out);
  auto append = [&](std::span<const uint8_t> raw) {
    if (out) {
      auto b = std::as_bytes(raw);
      out->insert(out->end(), b.begin(), b.end());
    }
  };
  switch (kind) {
    case NbtKind::ByteArray:
    case NbtKind::IntArray:
    case NbtKind::LongArray: {
      KUBREL_ASSIGN_OR_RETURN(int32_t length, number<int32_t>());
      if (length < 0) return fail("invalid NBT array length " + std::to_string(length));
      uint8_t wire[4] = {static_cast<uint8_t>(uint32_t(length) >> 24),
                         static_cast<uint8_t>(uint32_t(length) >> 16),
                         static_cast<uint8_t>(uint32_t(length) >> 8), static_cast<uint8_t>(length)};
      append(wire);
      return bytes(uint64_t(uint32_t(length)) * nbt_array_element_size(kind), out);
    }
    case NbtKind::String:
      KUBREL_TRY(text(text_raw_, nullptr));
      append(text_raw_);
      return {};
    case NbtKind::List:
    case NbtKind::Compound:
      break;
    default:
      return fail("invalid NBT tag id " + std::to_string(static_cast<int>(kind)));
  }
  if (depth >= kNbtMaxTreeDepth)
    return fail("invalid NBT: nested deeper than " + std::to_string(kNbtMaxTreeDepth) + " levels");
  if (kind == NbtKind::List) {
    // The wire form is copied as read (a negative count stays negative).
    uint8_t wire[5];
    auto got = source_.read_exact(wire, 5);
    if (!got) return fail(source_message(got.error()));
    append(wire);
    if (wire[0] > kNbtMaxTypeId) return fail("invalid NBT tag id " + std::to_string(wire[0]));
    auto count = static_cast<int32_t>(uint32_t(wire[1]) << 24 | uint32_t(wire[2]) << 16 |
                                      uint32_t(wire[3]) << 8 | wire[4]);
    auto element = static_cast<NbtKind>(wire[0]);
    if (element == NbtKind::End && count > 0)
      return fail("invalid NBT: a list of End tags with elements");
    if (count <= 0) return {};
    // Numbers pass in one step, however many there are.
    if (size_t width = nbt_number_size(element)) return bytes(uint64_t(count) * width, out);
    for (int32_t i = 0; i < count; ++i) KUBREL_TRY(walk(element, out, depth + 1));
    return {};
  }
  while (true) {
    // The names inside a payload are checked and copied as they stand, never decoded.
    KUBREL_ASSIGN_OR_RETURN(NbtKind member, member_header(nullptr));
    if (member == NbtKind::End) {
      if (out) close_compound(*out);
      return {};
    }
    if (out) {
      out->push_back(static_cast<std::byte>(member));
      append(name_raw_);
    }
    KUBREL_TRY(walk(member, out, depth + 1));
  }
}

}  // namespace kubrel
