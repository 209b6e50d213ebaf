// The size of a value in the unsigned LEB128 form ("VarInt") that the Sponge id array and KBR
// store numbers in: seven bits a byte. Writers add sizes up front to know an array's length.
#pragma once

#include <cstdint>

namespace kubrel {

inline int varint_size(uint64_t value) {
  int size = 1;
  while (value >= 0x80) {
    value >>= 7;
    ++size;
  }
  return size;
}

}  // namespace kubrel
