// Litematica's packed block-state indices unpacked 32 at a time with the CPU's bit-field shuffles:
// every index `bits` wide, in one continuous stream that starts at the least significant bit of
// the first long (the longs in the host's order, so the stream's bytes are the host's bytes).
// Only where the indices go into the grid as they are (one region whose palette is the
// volume's); elsewhere, and on machines without the shuffles, this unpacks none.
#pragma once

#include <cstdint>
#include <span>

namespace kubrel {

// Whether unpack_indices() does any work for indices of `bits` bits on this machine.
bool can_unpack_indices(unsigned bits);

// Unpacks the first of `entries` indices of `stream` into `out`, in groups of 32, and stops before
// the first group that holds an index of `palette_size` or more or whose bytes run past the
// stream's last 64. Returns how many it unpacked.
uint64_t unpack_indices(std::span<const uint8_t> stream, unsigned bits, uint64_t entries,
                        uint32_t palette_size, uint8_t* out);
uint64_t unpack_indices(std::span<const uint8_t> stream, unsigned bits, uint64_t entries,
                        uint32_t palette_size, uint16_t* out);
inline uint64_t unpack_indices(std::span<const uint8_t>, unsigned, uint64_t, uint32_t, uint32_t*) {
  return 0;
}

}  // namespace kubrel
