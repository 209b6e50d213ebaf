// What every volume decoder's result must satisfy, whatever the input: air first in the palette,
// a grid of exactly one index per position at the smallest width, and every index in the
// palette. A broken promise aborts, so the fuzzer reports it.
#pragma once

#include <cstdlib>
#include <cstring>

#include "volume/volume.h"
#include "volume/volume_parts.h"

namespace kubrel::fuzz {

inline void check_volume(const Result<Volume>& volume) {
  if (!volume) {
    if (volume.error().message.empty()) std::abort();
    return;
  }
  if (volume->palette.empty() || volume->palette[0] != kAirText) std::abort();
  const IndexGrid& grid = volume->blocks;
  if (grid.width != grid_width_for(volume->palette.size())) std::abort();
  uint64_t positions = uint64_t{volume->size[0]} * volume->size[1] * volume->size[2];
  if (grid.bytes.size() != positions * grid.width) std::abort();
  with_index_type(grid.width, [&]<class T>(T) {
    for (uint64_t i = 0; i < positions; ++i) {
      T index;
      std::memcpy(&index, grid.bytes.data() + i * sizeof(T), sizeof(T));
      if (index >= volume->palette.size()) std::abort();
    }
  });
  for (const auto& entity : volume->block_entities) {
    if (entity.data.empty() || entity.data.back() != std::byte{0}) std::abort();
  }
}

}  // namespace kubrel::fuzz
