// NBT read straight from a byte source for a reader that picks a few members by name and must keep
// others byte for byte: one member header at a time, and payloads skipped or copied exactly as they
// stand in the file, after the same checks the other NBT decoders make (tag ids, modified UTF-8,
// list kinds, nesting depth). Nothing is held beyond what the caller asks to keep, and what is kept
// grows only as its bytes arrive. The event parser cannot serve here: it hands out names and values
// decoded, not the bytes they came from, and the in-place cursor (nbt_view.h) wants the document
// in memory, which this reader never holds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/error.h"
#include "io/byte_source.h"
#include "nbt/nbt.h"
#include "volume/volume.h"

namespace kubrel {

class NbtExactWalk {
 public:
  explicit NbtExactWalk(BufferedSource& source) : source_(source) {}

  // The root tag's kind, its name read and dropped.
  [[nodiscard]] Result<NbtKind> root();
  // The next member of the open compound: its kind, with its name (UTF-8) in `name`; End when the
  // compound closes.
  [[nodiscard]] Result<NbtKind> next_member(std::string& name);

  // Reads and checks one payload of `kind`, keeping nothing.
  [[nodiscard]] Status skip(NbtKind kind);
  // Appends the member last returned by next_member (its type byte, its name as on the wire and
  // its payload of `kind`) to `out`.
  [[nodiscard]] Status copy_member(NbtKind kind, NbtCompoundBytes& out);
  // Appends one payload of `kind` to `out`, exactly as stored.
  [[nodiscard]] Status copy_payload(NbtKind kind, NbtCompoundBytes& out) {
    return walk(kind, &out, 0);
  }
  // Appends the End tag that closes a copied compound.
  static void close_compound(NbtCompoundBytes& out) { out.push_back(std::byte{0}); }

  template <class T>
  [[nodiscard]] Result<T> number() {
    auto value = nbt_wire::read_number<T>(source_);
    if (!value) return fail(source_message(value.error()));
    return *value;
  }
  [[nodiscard]] Result<std::string> string();
  // A List header; a negative count on the wire means none.
  [[nodiscard]] Result<NbtListStart> list_header();
  // A LongArray's payload into `out` (host byte order), grown chunk by chunk as it arrives.
  [[nodiscard]] Status long_array(std::vector<uint64_t>& out);

 private:
  [[nodiscard]] Status walk(NbtKind kind, NbtCompoundBytes* out, int depth);
  [[nodiscard]] Status text(std::vector<uint8_t>& raw, std::string& decoded);
  // Reads a text into `raw` (its length included) and checks it; decodes it into `decoded` when
  // given.
  [[nodiscard]] Status text(std::vector<uint8_t>& raw, std::string* decoded);
  // next_member's work; the name is decoded only when `name` is given.
  [[nodiscard]] Result<NbtKind> member_header(std::string* name);
  [[nodiscard]] Status bytes(uint64_t count, NbtCompoundBytes* out);
  static std::string source_message(const Error& error);

  BufferedSource& source_;
  std::vector<uint8_t> name_raw_;  // the last member name as on the wire, length included
  std::vector<uint8_t> text_raw_;
  std::string scratch_;
};

}  // namespace kubrel
