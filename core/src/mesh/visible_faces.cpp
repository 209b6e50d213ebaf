#include "mesh/visible_faces.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>

#include "common/huge_pages.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kubrel {

namespace {

// A cell's look is turned into bits once, and its six faces are then found 64 cells at a time
// with word operations: a face shows where the cell is drawn and its neighbour neither is opaque
// nor is a see-through cube of the same kind. The neighbour along x is the same words shifted by
// one bit; along y and z it is the same word of another row, so no cell takes a branch of its own.
//
// Fields of a cell's bits: drawn at all, opaque, see-through; then one field per bit of the look
// byte in which the see-through kinds of the table differ (none when one kind or none is used),
// enough to tell two see-through neighbours' kinds apart.
constexpr unsigned kFilled = 0, kOpaque = 1, kSeeThrough = 2, kKindPlanes = 3;

// The bits of one layer: rows of 64-cell words, cell x at bit x % 64 of word x / 64. Every row
// has an empty word on each side and the layer an empty row on each side, so that cells on the
// grid's edge read their missing neighbours as empty.
struct LayerBits {
  uint64_t stride = 0;  // words of a row, its two empty ones included
  uint64_t plane = 0;   // words of a field: stride * (size_z + 2)
  std::vector<uint64_t> bits;

  LayerBits(uint64_t words, uint64_t size_z, unsigned fields)
      : stride(words + 2), plane((words + 2) * (size_z + 2)), bits(plane * fields, 0) {}
  // Word 0 of padded row `r` (the grid's row r - 1) of a field; word -1 is the empty one.
  uint64_t* row(unsigned field, uint64_t r) { return bits.data() + field * plane + r * stride + 1; }
  const uint64_t* row(unsigned field, uint64_t r) const {
    return bits.data() + field * plane + r * stride + 1;
  }
};

// Sixteen looks at once, in the compiler's portable vector type.
using Bytes16 = uint8_t __attribute__((vector_size(16)));

// One bit per lane of a comparison's result (lanes all ones or all zeros), lane k at bit k.
inline uint64_t lane_bits(Bytes16 lanes) {
#if defined(__SSE2__)
  return static_cast<uint32_t>(_mm_movemask_epi8(reinterpret_cast<__m128i>(lanes)));
#else
  uint64_t halves[2];
  std::memcpy(halves, &lanes, 16);
  uint64_t out = 0;
  for (int half = 0; half < 2; ++half) {
    // The top bit of each byte, gathered into the top byte by one multiplication whose partial
    // products never meet.
    const uint64_t tops = (halves[half] & 0x8080808080808080ull) >> 7;
    out |= ((tops * 0x0102040810204080ull) >> 56) << (8 * half);
  }
  return out;
#endif
}

// The bit fields of layer `cells` into `out`, through `row_looks` (a byte row of 64 * words,
// zero past size_x, which stays zero) and `table` (the look of every index the type can hold
// when it is at most 16 bits wide, else of the palette's own).
template <class T>
void fill_layer(const T* cells, uint64_t size_x, uint64_t size_z, std::span<const uint8_t> table,
                std::span<const unsigned> kind_bits, std::vector<uint8_t>& row_looks,
                LayerBits& out) {
  const uint64_t words = out.stride - 2;
  const uint64_t known = table.size();
  for (uint64_t z = 0; z < size_z; ++z) {
    const T* from = cells + z * size_x;
    uint8_t* looks = row_looks.data();
    if constexpr (sizeof(T) <= 2) {
      for (uint64_t x = 0; x < size_x; ++x) looks[x] = table[from[x]];
    } else {
      for (uint64_t x = 0; x < size_x; ++x) {
        const uint64_t index = from[x];
        looks[x] = index < known ? table[index] : kLookEmpty;
      }
    }
    uint64_t* filled = out.row(kFilled, z + 1);
    uint64_t* opaque = out.row(kOpaque, z + 1);
    uint64_t* see_through = out.row(kSeeThrough, z + 1);
    for (uint64_t w = 0; w < words; ++w) {
      const uint8_t* at = looks + w * 64;
      uint64_t f = 0, o = 0, s = 0;
      for (unsigned part = 0; part < 4; ++part) {
        Bytes16 v;
        std::memcpy(&v, at + part * 16, 16);
        f |= lane_bits(reinterpret_cast<Bytes16>(v != kLookEmpty)) << (part * 16);
        o |= lane_bits(reinterpret_cast<Bytes16>(v == kLookOpaque)) << (part * 16);
        s |= lane_bits(reinterpret_cast<Bytes16>(v >= kLookSeeThrough)) << (part * 16);
      }
      filled[w] = f;
      opaque[w] = o;
      see_through[w] = s;
      // Kinds are only ever compared between two see-through cells, so a word without one has
      // empty planes and reads no looks for them.
      for (size_t k = 0; k < kind_bits.size(); ++k) {
        const uint8_t bit = static_cast<uint8_t>(1u << kind_bits[k]);
        uint64_t plane = 0;
        for (unsigned part = 0; s != 0 && part < 4; ++part) {
          Bytes16 v;
          std::memcpy(&v, at + part * 16, 16);
          plane |= lane_bits(reinterpret_cast<Bytes16>((v & bit) != 0)) << (part * 16);
        }
        out.row(kKindPlanes + static_cast<unsigned>(k), z + 1)[w] = plane;
      }
    }
  }
}

// A field's word at a cell's six neighbours: -x, +x (the word shifted, with the bit carried
// from the word beside it), -y, +y (the layers below and above), -z, +z (the rows beside).
struct Around {
  const LayerBits* below;
  const LayerBits* here;
  const LayerBits* above;
  uint64_t r;  // padded row
  uint64_t w;

  void words(unsigned field, uint64_t (&out)[6]) const {
    const uint64_t* c = here->row(field, r) + w;
    out[0] = (c[0] << 1) | (c[-1] >> 63);
    out[1] = (c[0] >> 1) | (c[1] << 63);
    out[2] = below->row(field, r)[w];
    out[3] = above->row(field, r)[w];
    out[4] = here->row(field, r - 1)[w];
    out[5] = here->row(field, r + 1)[w];
  }
  uint64_t own(unsigned field) const { return here->row(field, r)[w]; }
};

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
  advise_huge_pages(out.cells.data(), cell_count * sizeof(uint32_t));
  advise_huge_pages(out.states.data(), cell_count * sizeof(uint32_t));
  advise_huge_pages(out.masks.data(), cell_count);

  // Narrow indices read a table covering every value they can hold, so that a cell's look is one
  // load with no bounds test; indices past the palette read as empty.
  std::vector<uint8_t> table(looks.begin(), looks.end());
  if constexpr (sizeof(T) <= 2) table.resize(size_t{1} << (8 * sizeof(T)), kLookEmpty);
  table.resize(std::max<size_t>(table.size(), 1), kLookEmpty);
  // The look bits in which the see-through kinds in use differ from the first of them.
  unsigned first_kind = 0, varying = 0;
  for (uint8_t look : looks) {
    if (look < kLookSeeThrough) continue;
    if (first_kind == 0) first_kind = look;
    varying |= look ^ first_kind;
  }
  std::vector<unsigned> kind_bits;
  for (unsigned bit = 0; bit < 8; ++bit)
    if ((varying >> bit) & 1) kind_bits.push_back(bit);
  const unsigned fields = kKindPlanes + static_cast<unsigned>(kind_bits.size());

  const uint64_t words = (size_x + 63) / 64;
  std::vector<uint8_t> row_looks(words * 64, kLookEmpty);
  // Layer y lives in slot y % 3 while the layers above and below it are read; the empty layer
  // stands beyond the grid's bottom and top.
  const LayerBits empty(words, size_z, fields);
  LayerBits slots[3] = {LayerBits(words, size_z, fields), LayerBits(words, size_z, fields),
                        LayerBits(words, size_z, fields)};
  fill_layer(grid.data(), size_x, size_z, table, kind_bits, row_looks, slots[0]);
  uint64_t faces = 0;
  for (uint64_t y = 0; y < size_y; ++y) {
    if (y + 1 < size_y)
      fill_layer(grid.data() + (y + 1) * layer, size_x, size_z, table, kind_bits, row_looks,
                 slots[(y + 1) % 3]);
    Around around{y > 0 ? &slots[(y - 1) % 3] : &empty, &slots[y % 3],
                  y + 1 < size_y ? &slots[(y + 1) % 3] : &empty, 0, 0};
    for (uint64_t z = 0; z < size_z; ++z) {
      around.r = z + 1;
      for (uint64_t w = 0; w < words; ++w) {
        around.w = w;
        const uint64_t drawn = around.own(kFilled);
        if (drawn == 0) continue;
        uint64_t shown[6];
        around.words(kOpaque, shown);
        const uint64_t own_see = around.own(kSeeThrough);
        uint64_t see[6] = {};
        if (own_see != 0) {
          around.words(kSeeThrough, see);
          for (uint64_t& word : see) word &= own_see;
        }
        // Two see-through neighbours hide each other's faces only when their kinds match: where
        // any kind bit differs, the pair is let through.
        if ((see[0] | see[1] | see[2] | see[3] | see[4] | see[5]) != 0) {
          for (unsigned k = 0; k < kind_bits.size(); ++k) {
            uint64_t kind[6];
            around.words(kKindPlanes + k, kind);
            const uint64_t mine = around.own(kKindPlanes + k);
            for (int d = 0; d < 6; ++d) see[d] &= ~(kind[d] ^ mine);
          }
        }
        uint64_t any = 0;
        for (int d = 0; d < 6; ++d) {
          shown[d] = drawn & ~(shown[d] | see[d]);
          any |= shown[d];
        }
        const uint64_t first = z * size_x + w * 64;
        while (any != 0) {
          const unsigned lane = static_cast<unsigned>(std::countr_zero(any));
          any &= any - 1;
          uint8_t mask = 0;
          for (int d = 0; d < 6; ++d) mask |= static_cast<uint8_t>(((shown[d] >> lane) & 1) << d);
          out.cells.push_back(static_cast<uint32_t>(y * layer + first + lane));
          out.masks.push_back(mask);
          faces += kFaceCount[mask];
        }
      }
    }
  }
  out.faces = faces;
  // The states are read in a pass of their own: the grid's layer has left the cache by the time
  // its faces are known, and a plain loop of independent reads waits for many of them at once.
  for (uint32_t cell : out.cells) out.states.push_back(static_cast<uint32_t>(grid[cell]));
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
