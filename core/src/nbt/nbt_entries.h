// Walks encoded NBT payloads without decoding them: the entries of a compound and the elements of
// a list, each as a span of the original bytes. Writers use it to take a block entity's "id" out
// of its data and copy every other entry byte for byte. Every length is checked against the bytes
// before it is used, and nesting is bounded, so any bytes may be given.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "common/error.h"
#include "nbt/nbt.h"

namespace kubrel {

using NbtBytes = std::span<const std::byte>;

// One entry of a compound payload.
struct NbtEntry {
  NbtKind kind;
  // The name as it is stored: modified UTF-8, without its length.
  NbtBytes name;
  // The payload alone, and the whole entry (type byte, name and payload).
  NbtBytes payload;
  NbtBytes whole;
};

// The entries of `payload`, an encoded compound payload that must end with its TAG_End and hold
// nothing after it. Fails on a truncated or malformed payload or nesting deeper than 512.
[[nodiscard]] Result<std::vector<NbtEntry>> nbt_compound_entries(NbtBytes payload);

// The element payloads of an encoded list payload (element kind, count, elements).
[[nodiscard]] Result<std::vector<NbtBytes>> nbt_list_elements(NbtBytes payload,
                                                              NbtKind* element_kind = nullptr);

// Whether the stored name `name` equals the ASCII text `text`.
bool nbt_name_is(NbtBytes name, std::string_view text);

}  // namespace kubrel
