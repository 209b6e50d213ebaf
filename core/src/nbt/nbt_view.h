// NBT read in place from bytes held in memory: a cursor that walks tags by offset without copying
// them, so that a decoder can find its tags in any order, decode a large array straight from the
// document's bytes, and copy a compound's exact bytes (tag types and all) for later writing. Used
// by the array decoders, which hold the whole decompressed document anyway, and by the writers'
// walk of encoded compounds (nbt_entries.h).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "nbt/nbt.h"

namespace kubrel {

// `name` as text for messages (the raw bytes, which are ASCII for every tag we name).
inline std::string quoted(std::string_view name) {
  // Appended rather than `"'" + std::string(name)`, whose insertion at the front g++ 12 cannot
  // prove in bounds (it warns of a copy of 2^63 bytes that no string can reach).
  std::string text;
  text.reserve(name.size() + 2);
  text.append(1, '\'').append(name).append(1, '\'');
  return text;
}

// The success or failure of `result`, its value dropped.
template <class T>
Status as_status(const Result<T>& result) {
  if (!result) return std::unexpected(result.error());
  return {};
}

// Nesting of compounds and lists deeper than this is refused (the skip recurses).
inline constexpr int kNbtViewMaxDepth = 512;
inline constexpr const char* kNbtViewTooDeep = "NBT payload nested deeper than 512 levels";

// One tag found inside a compound or list: its kind, its name (the raw modified UTF-8 bytes,
// empty for list elements) and where its payload starts in the document. `entry_begin` is where
// the whole named tag starts (its type byte), so that the entry can be copied as it stands.
struct NbtTagRef {
  NbtKind kind = NbtKind::End;
  std::string_view name;
  size_t payload = 0;
  size_t entry_begin = 0;

  bool found() const { return kind != NbtKind::End; }
};

// A list's element kind, its element count (never negative) and where the first element starts.
struct NbtListRef {
  NbtKind element_kind = NbtKind::End;
  uint32_t length = 0;
  size_t first = 0;
};

class NbtCursor {
 public:
  NbtCursor(std::span<const uint8_t> document, size_t position)
      : document_(document), position_(position) {}

  size_t position() const { return position_; }
  void seek(size_t position) { position_ = position; }

  [[nodiscard]] Result<uint8_t> u8();
  // One big-endian number of type T (int8_t to int64_t, float, double).
  template <class T>
  [[nodiscard]] Result<T> number();
  // `n` bytes in place.
  [[nodiscard]] Result<std::span<const uint8_t>> bytes(size_t n);
  // A 16-bit length and that many raw (modified UTF-8) bytes.
  [[nodiscard]] Result<std::string_view> raw_text();
  // A String payload decoded to UTF-8; fails on text that is not modified UTF-8.
  [[nodiscard]] Result<std::string> text();
  // The head of a List payload, its count checked against the bytes left. As the game reads them,
  // a negative count means none and a list of End tags is empty; the writers take them the same
  // way, so that data read from a file writes back as it stood.
  [[nodiscard]] Result<NbtListRef> list_head();
  // The elements of a ByteArray, IntArray or LongArray payload as bytes in place (big-endian),
  // their declared count checked against the bytes left.
  [[nodiscard]] Result<std::span<const uint8_t>> array_bytes(NbtKind kind);
  // Moves past one payload of `kind`, checking its structure (nesting bounded).
  [[nodiscard]] Status skip(NbtKind kind, int depth = 0);
  // Reads the next entry header of a compound: false at its End tag.
  [[nodiscard]] Result<bool> next_entry(NbtTagRef& entry);

 private:
  std::span<const uint8_t> document_;
  size_t position_;
};

// The root tag of a document: a compound whose name is read and dropped. Returns where its
// payload starts.
[[nodiscard]] Result<size_t> nbt_root_compound(std::span<const uint8_t> document);

// Calls `visit(entry, cursor)` for every entry of the compound whose payload starts at `payload`.
// `visit` returns Result<bool>: true when it has read the payload itself (leaving the cursor just
// past it), false to have it skipped. Returns the position just past the compound's End tag.
template <class Visit>
[[nodiscard]] Result<size_t> for_each_entry(std::span<const uint8_t> document, size_t payload,
                                            int depth, Visit&& visit) {
  if (depth >= kNbtViewMaxDepth) return fail(kNbtViewTooDeep);
  NbtCursor cursor(document, payload);
  NbtTagRef entry;
  while (true) {
    KUBREL_ASSIGN_OR_RETURN(bool more, cursor.next_entry(entry));
    if (!more) return cursor.position();
    KUBREL_ASSIGN_OR_RETURN(bool consumed, visit(entry, cursor));
    if (!consumed) {
      cursor.seek(entry.payload);
      KUBREL_TRY(cursor.skip(entry.kind, depth + 1));
    }
  }
}

// The entries of a top-level compound that a decoder looks at: one slot per wanted name, filled
// with the last entry of that name (exact, case-sensitive match).
template <size_t N>
struct NbtEntries {
  std::array<std::string_view, N> names;
  std::array<NbtTagRef, N> found{};

  const NbtTagRef& operator[](std::string_view name) const {
    for (size_t i = 0; i < N; ++i) {
      if (names[i] == name) return found[i];
    }
    static const NbtTagRef kMissing{};
    return kMissing;
  }
};

// Fills `entries` from the compound at `payload`; returns the position just past its End tag.
template <size_t N>
[[nodiscard]] Result<size_t> find_entries(std::span<const uint8_t> document, size_t payload,
                                          int depth, NbtEntries<N>& entries) {
  return for_each_entry(document, payload, depth,
                        [&](const NbtTagRef& entry, NbtCursor&) -> Result<bool> {
                          for (size_t i = 0; i < N; ++i) {
                            if (entries.names[i] == entry.name) entries.found[i] = entry;
                          }
                          return false;
                        });
}

// Calls `each(element, i)` for every compound of the List `tag` (none when absent or empty);
// `each` returns Result<size_t>, the position just past the element. `name` words the failures.
template <class Each>
[[nodiscard]] Status for_each_compound(std::span<const uint8_t> document, const NbtTagRef& tag,
                                       std::string_view name, Each&& each) {
  if (!tag.found()) return {};
  if (tag.kind != NbtKind::List) return fail(quoted(name) + " is not a List");
  NbtCursor cursor(document, tag.payload);
  KUBREL_ASSIGN_OR_RETURN(NbtListRef list, cursor.list_head());
  if (list.length == 0 || list.element_kind == NbtKind::End) return {};
  if (list.element_kind != NbtKind::Compound) {
    return fail(quoted(name) + " is not a List of Compounds");
  }
  size_t at = list.first;
  for (uint32_t i = 0; i < list.length; ++i) {
    KUBREL_ASSIGN_OR_RETURN(at, each(at, i));
  }
  return {};
}

// Appends to `out` the entries of the compound at `payload`, each exactly as it stands, except
// those whose names `drop` lists; does not write the closing End tag.
[[nodiscard]] Status copy_entries(std::span<const uint8_t> document, size_t payload, int depth,
                                  std::span<const std::string_view> drop,
                                  std::vector<std::byte>& out);

// Appends a String entry named `name` whose value is the raw modified UTF-8 text `value`.
void append_string_entry(std::string_view name, std::string_view value,
                         std::vector<std::byte>& out);

// The three numbers of an IntArray, or of a List of Ints, of exactly three elements.
[[nodiscard]] Result<std::array<int32_t, 3>> read_int_triple(std::span<const uint8_t> document,
                                                             const NbtTagRef& tag);
// The three numbers of a List of Doubles (or Floats) of exactly three elements.
[[nodiscard]] Result<std::array<double, 3>> read_double_triple(std::span<const uint8_t> document,
                                                               const NbtTagRef& tag);
// The value of an Int, Short or Byte tag as a 64-bit number.
[[nodiscard]] Result<int64_t> read_integer(std::span<const uint8_t> document, const NbtTagRef& tag);

// The bytes of the ByteArray `tag` in place; none when it is absent. `name` words the failure.
[[nodiscard]] Result<std::span<const uint8_t>> read_byte_array(std::span<const uint8_t> document,
                                                               const NbtTagRef& tag,
                                                               std::string_view name);

// Raw modified UTF-8 bytes (a tag name, a String's bytes) decoded to UTF-8; fails on bytes that
// are not modified UTF-8.
[[nodiscard]] Result<std::string> nbt_text(std::string_view raw);

template <class T>
Result<T> NbtCursor::number() {
  KUBREL_ASSIGN_OR_RETURN(std::span<const uint8_t> raw, bytes(sizeof(T)));
  T value;
  std::memcpy(&value, raw.data(), sizeof(T));
  return nbt_wire::from_big_endian(value);
}

}  // namespace kubrel
