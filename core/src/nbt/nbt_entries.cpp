// The writers' walk of encoded NBT payloads, on the in-place cursor.
#include "nbt/nbt_entries.h"

#include <cstring>
#include <string_view>

#include "nbt/nbt_view.h"

namespace kubrel {

namespace {

std::span<const uint8_t> as_octets(NbtBytes bytes) {
  return {reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()};
}

}  // namespace

// The payload given is the outermost compound, so its entries' payloads start one level down.
Result<std::vector<NbtEntry>> nbt_compound_entries(NbtBytes payload) {
  NbtCursor cursor(as_octets(payload), 0);
  std::vector<NbtEntry> entries;
  NbtTagRef entry;
  while (true) {
    KUBREL_ASSIGN_OR_RETURN(bool more, cursor.next_entry(entry));
    if (!more) break;
    KUBREL_TRY(cursor.skip(entry.kind));
    const size_t end = cursor.position();
    entries.push_back({entry.kind, std::as_bytes(std::span(entry.name)),
                       payload.subspan(entry.payload, end - entry.payload),
                       payload.subspan(entry.entry_begin, end - entry.entry_begin)});
  }
  if (cursor.position() != payload.size()) return fail("bytes after the end of an NBT compound");
  return entries;
}

Result<std::vector<NbtBytes>> nbt_list_elements(NbtBytes payload, NbtKind* element_kind) {
  NbtCursor cursor(as_octets(payload), 0);
  KUBREL_ASSIGN_OR_RETURN(NbtListRef list, cursor.list_head());
  std::vector<NbtBytes> elements;
  const uint32_t count = list.element_kind == NbtKind::End ? 0 : list.length;
  for (uint32_t i = 0; i < count; ++i) {
    const size_t start = cursor.position();
    KUBREL_TRY(cursor.skip(list.element_kind));
    elements.push_back(payload.subspan(start, cursor.position() - start));
  }
  if (cursor.position() != payload.size()) return fail("bytes after the end of an NBT list");
  if (element_kind) *element_kind = list.element_kind;
  return elements;
}

bool nbt_name_is(NbtBytes name, std::string_view text) {
  return name.size() == text.size() && std::memcmp(name.data(), text.data(), text.size()) == 0;
}

}  // namespace kubrel
