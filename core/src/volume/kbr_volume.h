// The array decoder of KBR, our compact format: palette definitions (full state text, or a
// difference against an earlier entry) and runs along the walk of the box in the header's axis
// order, written into the volume's [y, z, x] grid a row at a time.
#pragma once

#include <cstdint>
#include <span>

#include "common/error.h"
#include "volume/volume.h"

namespace kubrel {

// The first bytes of every KBR file: the magic number as the format's VarLong.
inline constexpr uint8_t kKbrMagicPrefix[] = {0xD4, 0x9A, 0x99, 0x92, 0xA4, 0xEA, 0x12};

// Decodes a whole KBR stream (after any gzip). Failures start with "KBR: ". Like the exact
// reader, the body ends at the first opcode that cannot be read; positions no run reaches are air.
[[nodiscard]] Result<Volume> decode_kbr_volume(std::span<const uint8_t> bytes);

}  // namespace kubrel
