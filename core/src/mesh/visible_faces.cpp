#include "mesh/visible_faces.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>

namespace kubrel {

namespace {

// Looks of one layer, with a border of empty cells around it so that a cell on the grid's edge
// reads its missing neighbours as empty, without a test per cell.
struct PaddedLayer {
  // Bytes after the last row, so that sixteen-cell reads of the last row stay inside.
  static constexpr uint64_t kSlack = 32;
  uint64_t width = 0;  // size_x + 2
  std::vector<uint8_t> looks;

  PaddedLayer(uint64_t size_x, uint64_t size_z)
      : width(size_x + 2), looks((size_x + 2) * (size_z + 2) + kSlack, kLookEmpty) {}
  uint8_t* row(uint64_t z) { return looks.data() + (z + 1) * width + 1; }
  void clear() { std::fill(looks.begin(), looks.end(), kLookEmpty); }
};

template <class T>
void fill_layer(const T* cells, uint64_t size_x, uint64_t size_z, std::span<const uint8_t> looks,
                PaddedLayer& out) {
  const uint64_t known = looks.size();
  for (uint64_t z = 0; z < size_z; ++z) {
    uint8_t* row = out.row(z);
    const T* from = cells + z * size_x;
    for (uint64_t x = 0; x < size_x; ++x) {
      const uint64_t index = from[x];
      row[x] = index < known ? looks[index] : kLookEmpty;
    }
  }
}

// The set lanes of a step are found in its bytes read as two 64-bit words, lane k in byte k.
static_assert(std::endian::native == std::endian::little, "lanes are read as little-endian words");

// Sixteen cells' looks or masks at once, in the compiler's portable vector type.
using Bytes16 = uint8_t __attribute__((vector_size(16)));

inline Bytes16 load16(const uint8_t* at) {
  Bytes16 value;
  std::memcpy(&value, at, 16);
  return value;
}

// 1 in each lane where a face of a block that looks `own` shows against a neighbour that looks
// `other`: opaque neighbours hide it, and see-through ones of its own kind.
inline Bytes16 open(Bytes16 own, Bytes16 see_through, Bytes16 other) {
  const Bytes16 opaque = reinterpret_cast<Bytes16>(other == kLookOpaque);
  const Bytes16 same_kind = see_through & reinterpret_cast<Bytes16>(other == own);
  return ~(opaque | same_kind) & 1;
}

// Faces per mask.
constexpr std::array<uint8_t, 64> kFaceCount = [] {
  std::array<uint8_t, 64> counts{};
  for (int mask = 0; mask < 64; ++mask)
    for (int bit = 0; bit < 6; ++bit) counts[mask] += (mask >> bit) & 1;
  return counts;
}();

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
  if (cell_count == 0) return out;
  // Room for every cell is only address space until written: the arrays then fill without
  // being copied as they grow, and only the pages that blocks reach are ever touched.
  out.cells.reserve(cell_count);
  out.states.reserve(cell_count);
  out.masks.reserve(cell_count);
  // The layers below, at and above the one walked: each layer's looks are made once and the
  // three rotate, so a cell's six neighbours are reads of three byte arrays.
  PaddedLayer below(size_x, size_z), here(size_x, size_z), above(size_x, size_z);
  fill_layer(grid.data(), size_x, size_z, looks, here);
  for (uint64_t y = 0; y < size_y; ++y) {
    if (y + 1 < size_y)
      fill_layer(grid.data() + (y + 1) * layer, size_x, size_z, looks, above);
    else
      above.clear();
    const T* cells = grid.data() + y * layer;
    for (uint64_t z = 0; z < size_z; ++z) {
      const uint8_t* c = here.row(z);
      const uint8_t* d = below.row(z);
      const uint8_t* u = above.row(z);
      const uint8_t* n = c - here.width;
      const uint8_t* s = c + here.width;
      // Sixteen cells at a time; lanes past the row's end read its border and the next row, and
      // are never kept. Most runs of sixteen are air or buried and end at one test.
      const uint64_t row = y * layer + z * size_x;
      const T* indices = cells + z * size_x;
      for (uint64_t x = 0; x < size_x; x += 16) {
        const Bytes16 own = load16(c + x);
        const Bytes16 see_through = reinterpret_cast<Bytes16>(own >= kLookSeeThrough);
        const Bytes16 mask = open(own, see_through, load16(c + x - 1)) |
                             open(own, see_through, load16(c + x + 1)) << 1 |
                             open(own, see_through, load16(d + x)) << 2 |
                             open(own, see_through, load16(u + x)) << 3 |
                             open(own, see_through, load16(n + x)) << 4 |
                             open(own, see_through, load16(s + x)) << 5;
        const Bytes16 shown = mask & reinterpret_cast<Bytes16>(own != kLookEmpty);
        uint64_t halves[2];
        std::memcpy(halves, &shown, 16);
        if ((halves[0] | halves[1]) == 0) continue;
        const uint64_t count = std::min<uint64_t>(16, size_x - x);
        for (uint64_t half = 0; half < 2; ++half) {
          // A mask is below 64, so adding 0x7f to a byte sets its top bit exactly when the mask
          // is not zero, with no carry into the next byte: the set lanes are walked bit by bit.
          uint64_t set = (halves[half] + 0x7f7f7f7f7f7f7f7full) & 0x8080808080808080ull;
          while (set != 0) {
            const uint64_t lane = half * 8 + static_cast<uint64_t>(std::countr_zero(set)) / 8;
            set &= set - 1;
            if (lane >= count) break;
            const uint8_t m = static_cast<uint8_t>(halves[half] >> (8 * (lane - half * 8)));
            out.cells.push_back(static_cast<uint32_t>(row + x + lane));
            out.states.push_back(static_cast<uint32_t>(indices[x + lane]));
            out.masks.push_back(m);
            out.faces += kFaceCount[m];
          }
        }
      }
    }
    std::swap(below, here);
    std::swap(here, above);
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
