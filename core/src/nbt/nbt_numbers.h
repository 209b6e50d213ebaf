// The payload types of the number tags, in one place for both NBT decoders.
#pragma once

#include <cstdint>
#include <optional>

#include "nbt/nbt.h"

namespace kubrel {

// For a number tag kind (Byte to Double), the result of read.template operator()<T>() with T its
// payload type (int8_t, int16_t, int32_t, int64_t, float, double); none for any other kind.
template <class Read>
[[gnu::always_inline]] inline auto read_number_kind(NbtKind kind, Read&& read)
    -> std::optional<decltype(read.template operator()<int8_t>())> {
  switch (kind) {
    case NbtKind::Byte:
      return read.template operator()<int8_t>();
    case NbtKind::Short:
      return read.template operator()<int16_t>();
    case NbtKind::Int:
      return read.template operator()<int32_t>();
    case NbtKind::Long:
      return read.template operator()<int64_t>();
    case NbtKind::Float:
      return read.template operator()<float>();
    case NbtKind::Double:
      return read.template operator()<double>();
    default:
      return std::nullopt;
  }
}

}  // namespace kubrel
