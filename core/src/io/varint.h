// VarInts as the formats store them (the Sponge id array, KBR): 7 bits a byte, the lowest group
// first, the high bit set on every byte but the last. A value of N bits takes at most ceil(N / 7)
// bytes; bits of the last byte beyond N fall off.
#pragma once

#include <cstdint>
#include <type_traits>

#include "common/error.h"

namespace kubrel {

inline constexpr uint8_t kVarIntContinue = 0x80;

// The bytes `value` takes as a VarInt: writers add sizes up front to know an array's length.
inline int varint_size(uint64_t value) {
  int size = 1;
  while (value >= kVarIntContinue) {
    value >>= 7;
    ++size;
  }
  return size;
}

// Writes `value` as a VarInt at `out`, which has room for varint_size(value) bytes, and returns
// where the next byte goes.
inline uint8_t* put_var_int(uint8_t* out, uint64_t value) {
  while (value >= kVarIntContinue) {
    *out++ = static_cast<uint8_t>(value | kVarIntContinue);
    value >>= 7;
  }
  *out++ = static_cast<uint8_t>(value);
  return out;
}

// As put_var_int, for writers of many small values: one that fits in two bytes is written
// without a loop or a branch on its size. `out` has room for five bytes.
inline uint8_t* put_short_var_int(uint8_t* out, uint32_t value) {
  if (value >= (1u << 14)) [[unlikely]]
    return put_var_int(out, value);
  const bool two = value >= kVarIntContinue;
  out[0] = static_cast<uint8_t>((value & 0x7Fu) | (two ? kVarIntContinue : 0u));
  out[1] = static_cast<uint8_t>(value >> 7);
  return out + 1 + two;
}

// The value (uint32_t or uint64_t) of the VarInt whose first byte is `first`, its further bytes
// taken from `read_byte` (a callable returning Result<uint8_t>, whose failure is passed through).
// Fails with `too_big` when the byte that must be the last still has the high bit set. Callers
// whose first byte is usually the whole value test it themselves and come here only for more.
template <class T, class ReadByte>
[[nodiscard]] Result<T> finish_var_int(uint8_t first, ReadByte&& read_byte, const char* too_big) {
  static_assert(std::is_same_v<T, uint32_t> || std::is_same_v<T, uint64_t>);
  T value = first & 0x7Fu;
  uint8_t byte = first;
  for (unsigned shift = 7; byte & kVarIntContinue; shift += 7) {
    if (shift >= 8 * sizeof(T)) return fail(too_big);
    KUBREL_ASSIGN_OR_RETURN(byte, read_byte());
    value |= static_cast<T>(byte & 0x7Fu) << shift;
  }
  return value;
}

}  // namespace kubrel
