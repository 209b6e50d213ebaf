#include "mesh/visible_faces.h"

#include <algorithm>
#include <string>

namespace kubrel {

namespace {

// True when a face of a block that looks `own` is hidden by a neighbour that looks `other`.
inline bool hides(uint8_t own, uint8_t other) {
  return other == kLookOpaque || (own >= kLookSeeThrough && other == own);
}

// The looks of one layer of the grid (z rows of x cells), filled from the palette table.
template <class T>
void fill_layer(const T* cells, size_t count, std::span<const uint8_t> looks, uint8_t* out) {
  for (size_t i = 0; i < count; ++i) {
    const T index = cells[i];
    out[i] = index < looks.size() ? looks[index] : kLookEmpty;
  }
}

}  // namespace

template <class T>
Result<VisibleBlocks> visible_faces(std::span<const T> grid, const std::array<uint32_t, 3>& size,
                                    std::span<const uint8_t> looks) {
  const uint64_t size_x = size[0], size_y = size[1], size_z = size[2];
  const uint64_t layer = size_x * size_z;
  if (size_y != 0 && layer > UINT64_MAX / size_y)
    return fail("a grid of more than 2^64 cells has no faces to give");
  const uint64_t cell_count = layer * size_y;
  if (cell_count > UINT32_MAX)
    return fail("a grid of more than 2^32 cells is too large for a view");
  if (grid.size() != cell_count)
    return fail("the grid holds " + std::to_string(grid.size()) + " cells where its size needs " +
                std::to_string(cell_count));

  VisibleBlocks out;
  // Looks of the layers below, at and above the one walked: each layer's looks are made once and
  // the three rotate, so a cell's six neighbours are three byte arrays' reads.
  std::vector<uint8_t> below(layer, kLookEmpty), here(layer), above(layer);
  if (size_y > 0) fill_layer(grid.data(), layer, looks, here.data());
  for (uint64_t y = 0; y < size_y; ++y) {
    if (y + 1 < size_y)
      fill_layer(grid.data() + (y + 1) * layer, layer, looks, above.data());
    else
      std::fill(above.begin(), above.end(), kLookEmpty);
    const T* cells = grid.data() + y * layer;
    for (uint64_t z = 0; z < size_z; ++z) {
      const uint64_t row = z * size_x;
      for (uint64_t x = 0; x < size_x; ++x) {
        const uint64_t at = row + x;
        const uint8_t own = here[at];
        if (own == kLookEmpty) continue;
        uint8_t mask = 0;
        if (x == 0 || !hides(own, here[at - 1])) mask |= kFaceWest;
        if (x + 1 == size_x || !hides(own, here[at + 1])) mask |= kFaceEast;
        if (!hides(own, below[at])) mask |= kFaceDown;
        if (!hides(own, above[at])) mask |= kFaceUp;
        if (z == 0 || !hides(own, here[at - size_x])) mask |= kFaceNorth;
        if (z + 1 == size_z || !hides(own, here[at + size_x])) mask |= kFaceSouth;
        if (mask == 0) continue;
        out.cells.push_back(static_cast<uint32_t>(y * layer + at));
        out.states.push_back(static_cast<uint32_t>(cells[at]));
        out.masks.push_back(mask);
        out.faces += static_cast<uint64_t>(__builtin_popcount(mask));
      }
    }
    below.swap(here);
    here.swap(above);
  }
  return out;
}

template Result<VisibleBlocks> visible_faces(std::span<const uint8_t>,
                                             const std::array<uint32_t, 3>&,
                                             std::span<const uint8_t>);
template Result<VisibleBlocks> visible_faces(std::span<const uint16_t>,
                                             const std::array<uint32_t, 3>&,
                                             std::span<const uint8_t>);
template Result<VisibleBlocks> visible_faces(std::span<const uint32_t>,
                                             const std::array<uint32_t, 3>&,
                                             std::span<const uint8_t>);

}  // namespace kubrel
