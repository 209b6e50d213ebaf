// The array decoder of Sponge schematics, versions 1 to 3, as every known writer spells them: the
// flat layout (v1, v2) and the nested one (v3, with or without its "Schematic" wrapper), keys in
// any order, optional parts absent, block states of any namespace. The id array is decoded
// straight into the volume's index grid, whose [y, z, x] order is the Sponge storage order.
#pragma once

#include <cstdint>
#include <span>

#include "common/error.h"
#include "common/page_buffer.h"
#include "volume/volume.h"

namespace kubrel {

inline constexpr const char* kLegacyMcEditMessage =
    "legacy MCEdit schematic: its blocks are numeric ids (a 'Blocks' byte array), which are read "
    "only on request: load it with legacy=True to keep them as numbered states";

// Decodes a whole Sponge document (decompressed NBT). Failures start with "Sponge schematic: ";
// a legacy MCEdit document (numeric ids in a "Blocks" byte array) is refused as such.
[[nodiscard]] Result<Volume> decode_sponge_volume(std::span<const uint8_t> document);
// The same, from a document it may overwrite: the grid is decoded into the document's own pages
// (made room for in front where its indices are wider than the ids' bytes), so a load holds one
// buffer, not a document and a grid.
[[nodiscard]] Result<Volume> decode_sponge_volume(PageBuffer document);

}  // namespace kubrel
