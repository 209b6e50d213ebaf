// Mapping stretches of one-byte VarInt ids to volume indices with the CPU's byte permutes. Nearly
// every id a real Sponge file holds is below 128, so a 128-entry table covers them, and a
// machine with 64-byte permutes maps 64 ids in a few instructions; elsewhere this maps none and
// the caller's own loop does the work.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kubrel {

class OneByteIdMap {
 public:
  // `indices` gives each id below 128 its index; `bound` is the least id without one (at most
  // 128), and ids from there on are left to the caller. Indices must fit the output type used.
  OneByteIdMap(const std::array<uint32_t, 128>& indices, uint32_t bound);

  // Maps ids from `ids` into `out` in groups of 64, for at most `count` ids, and stops before the
  // first group that holds an id at or above the bound. Returns how many it mapped.
  size_t map(const uint8_t* ids, size_t count, uint8_t* out) const;
  size_t map(const uint8_t* ids, size_t count, uint16_t* out) const;
  // Wider indices are never mapped here.
  size_t map(const uint8_t*, size_t, uint32_t*) const { return 0; }

 private:
  alignas(64) std::array<uint8_t, 128> narrow_{};
  alignas(64) std::array<uint16_t, 128> wide_{};
  uint8_t bound_ = 0;
  bool usable_ = false;
};

}  // namespace kubrel
