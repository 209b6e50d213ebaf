// Cells of palette ids stored as raw bytes, 1, 2, 4 or 8 bytes each: the one place a cell width
// becomes a type, and the reads and writes of one cell through memcpy (the bytes carry no
// alignment).
#pragma once

#include <cstdint>
#include <cstring>
#include <utility>

namespace kubrel {

// Returns f.template operator()<Cell>(), Cell being the unsigned type `width` bytes wide (1, 2, 4,
// else 8), so that a loop over cells is compiled once per width and picks its width once.
template <class F>
[[gnu::always_inline]] inline decltype(auto) with_cell_type(unsigned width, F&& f) {
  switch (width) {
    case 1:
      return std::forward<F>(f).template operator()<uint8_t>();
    case 2:
      return std::forward<F>(f).template operator()<uint16_t>();
    case 4:
      return std::forward<F>(f).template operator()<uint32_t>();
    default:
      return std::forward<F>(f).template operator()<uint64_t>();
  }
}

// Cell `i` of `cells`, read as a Cell.
template <class Cell>
Cell load_cell_as(const uint8_t* cells, uint64_t i) {
  Cell value;
  std::memcpy(&value, cells + i * sizeof(Cell), sizeof(Cell));
  return value;
}

template <class Cell>
void store_cell_as(uint8_t* cells, uint64_t i, Cell value) {
  std::memcpy(cells + i * sizeof(Cell), &value, sizeof(Cell));
}

}  // namespace kubrel
