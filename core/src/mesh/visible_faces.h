// The faces of a block grid that a viewer can see: every block with at least one face in the open,
// with a six-bit mask of those faces, as three parallel arrays. A 3D view of a large build draws
// only these, so what it is sent grows with the build's surface rather than its volume.
//
// It reads a grid the volume decoders already checked and a look per palette entry made by the
// caller, never bytes from a file, so it has no fuzz target: every index is bounded by the grid's
// size, and an index past the looks table counts as empty.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "common/error.h"

namespace kubrel {

// How a palette entry looks, which decides whether its neighbours' faces show:
// - kLookEmpty: drawn as nothing (air, structure void, or an index the palette does not name);
// - kLookOpaque: an opaque full cube, which hides the face of any neighbour against it;
// - kLookPartial: drawn but hiding nothing (slabs, stairs, fences, torches...);
// - kLookSeeThrough and above: a see-through full cube of a kind (glass, leaves, water), hiding
//   only the faces of neighbours of its own kind, so a pool or a canopy shows its outside only.
inline constexpr uint8_t kLookEmpty = 0;
inline constexpr uint8_t kLookOpaque = 1;
inline constexpr uint8_t kLookPartial = 2;
inline constexpr uint8_t kLookSeeThrough = 3;

// Bits of a face mask: the face towards -x, +x, -y, +y, -z, +z.
enum FaceBit : uint8_t {
  kFaceWest = 1 << 0,
  kFaceEast = 1 << 1,
  kFaceDown = 1 << 2,
  kFaceUp = 1 << 3,
  kFaceNorth = 1 << 4,
  kFaceSouth = 1 << 5,
};

// The blocks with a visible face, in grid order: `cells[i]` is the grid cell
// ((y * size_z + z) * size_x + x), `states[i]` its palette index, `masks[i]` its visible faces.
struct VisibleBlocks {
  std::vector<uint32_t> cells;
  std::vector<uint32_t> states;
  std::vector<uint8_t> masks;
  uint64_t faces = 0;
};

// The visible blocks of a grid of `size` (x, y, z) cells, ordered y, then z, then x; faces on the
// grid's edge are open. Fails when the grid does not hold size_x * size_y * size_z cells or holds
// more cells than a 32-bit cell number reaches.
template <class T>
Result<VisibleBlocks> visible_faces(std::span<const T> grid, const std::array<uint32_t, 3>& size,
                                    std::span<const uint8_t> looks);

}  // namespace kubrel
