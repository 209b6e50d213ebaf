// What every format writer does before its first block: checks that a volume's grid matches its
// size, counts the uses of each palette entry inside a box in one pass over the grid, and numbers
// the states the file will hold (used entries only, each distinct text once, some states left out
// on request), so that the writers' loops over the positions are a table lookup per block.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "common/error.h"
#include "nbt/nbt_writer.h"
#include "volume/volume.h"

namespace kubrel {

// A box inside a volume, in volume coordinates (from its minimum corner).
struct VolumeBox {
  std::array<uint32_t, 3> min{};   // x, y, z
  std::array<uint32_t, 3> size{};  // x, y, z

  uint64_t count() const { return uint64_t{size[0]} * size[1] * size[2]; }
  bool contains(int64_t x, int64_t y, int64_t z) const {
    return x >= min[0] && x - min[0] < size[0] && y >= min[1] && y - min[1] < size[1] &&
           z >= min[2] && z - min[2] < size[2];
  }
};

inline VolumeBox whole_box(const Volume& volume) {
  return {{0, 0, 0}, volume.size};
}

// The index stored at grid cell `cell` ((y * size_z + z) * size_x + x).
inline uint32_t grid_index(const IndexGrid& grid, uint64_t cell) {
  const std::byte* at = grid.bytes.data() + cell * grid.width;
  if (grid.width == 1) return static_cast<uint8_t>(*at);
  if (grid.width == 2) {
    uint16_t value;
    std::memcpy(&value, at, 2);
    return value;
  }
  uint32_t value;
  std::memcpy(&value, at, 4);
  return value;
}

// Calls `visit(row, first_cell, count)` for every row of `box` along x (y outermost, then z), where
// `row` points at the grid's cells as uint8_t, uint16_t or uint32_t (the grid's width), so that
// the caller's loop over a row is compiled for each width.
template <class Visit>
void for_each_row(const Volume& volume, const VolumeBox& box, Visit&& visit) {
  auto run = [&]<class T>(const T* cells) {
    const uint64_t size_x = volume.size[0];
    const uint64_t size_z = volume.size[2];
    for (uint64_t y = box.min[1]; y < uint64_t{box.min[1]} + box.size[1]; ++y) {
      for (uint64_t z = box.min[2]; z < uint64_t{box.min[2]} + box.size[2]; ++z) {
        uint64_t first = (y * size_z + z) * size_x + box.min[0];
        visit(cells + first, first, uint64_t{box.size[0]});
      }
    }
  };
  const void* data = volume.blocks.bytes.data();
  if (volume.blocks.width == 1) run(static_cast<const uint8_t*>(data));
  if (volume.blocks.width == 2) run(static_cast<const uint16_t*>(data));
  if (volume.blocks.width == 4) run(static_cast<const uint32_t*>(data));
}

// Counts the uses of each palette entry over runs of cells of any width; an index outside the
// palette is not counted but remembered, for the caller to refuse or ignore.
class PaletteUseCounter {
 public:
  explicit PaletteUseCounter(size_t palette_size)
      : palette_size_(palette_size),
        interleave_(palette_size <= 4096),
        counts_(interleave_ ? 4 * palette_size : palette_size, 0) {}

  template <class Cell>
  void add(const Cell* cells, uint64_t count) {
    // Locals: the counts' stores could otherwise alias the members, reloading them per cell.
    uint64_t* count_of = counts_.data();
    const uint64_t palette_size = palette_size_;
    const bool interleave = interleave_;
    uint64_t x = 0;
    // Four interleaved counts per entry, so that a run of one index does not make every increment
    // wait for the one before it.
    auto add_four = [&](uint64_t at) {
      uint64_t a = cells[at], b = cells[at + 1], c = cells[at + 2], d = cells[at + 3];
      if (std::max(std::max(a, b), std::max(c, d)) >= palette_size) [[unlikely]] {
        for (uint64_t lane = 0; lane < 4; ++lane) add_one(cells[at + lane], lane);
        return;
      }
      ++count_of[a * 4];
      ++count_of[b * 4 + 1];
      ++count_of[c * 4 + 2];
      ++count_of[d * 4 + 3];
    };
    if (interleave) {
      // Builds are mostly runs (layers of stone, rows of air): a stretch of one index is counted
      // at once, found with one vector compare.
      constexpr uint64_t kStretch = 64 / sizeof(Cell);
      constexpr uint64_t kEveryCell = ~uint64_t{0} / ((uint64_t{1} << (8 * sizeof(Cell))) - 1);
      for (; x + kStretch <= count; x += kStretch) {
        const Cell first = cells[x];
        const uint64_t repeated = first * kEveryCell;
        uint64_t differ = 0;
        for (int word = 0; word < 8; ++word) {
          uint64_t bits;
          std::memcpy(&bits, cells + x + word * (8 / sizeof(Cell)), 8);
          differ |= bits ^ repeated;
        }
        if (differ == 0 && first < palette_size) {
          count_of[uint64_t{first} * 4] += kStretch;
          continue;
        }
        for (uint64_t at = x; at < x + kStretch; at += 4) add_four(at);
      }
      for (; x + 4 <= count; x += 4) add_four(x);
    }
    for (; x < count; ++x) add_one(cells[x], 0);
  }

  // The uses of each entry, by palette index.
  std::vector<uint64_t> totals() const;
  // The last index outside the palette that add() met.
  std::optional<uint64_t> bad_index() const { return bad_index_; }

 private:
  void add_one(uint64_t index, uint64_t lane) {
    if (index >= palette_size_) [[unlikely]] {
      bad_index_ = index;
      return;
    }
    ++counts_[interleave_ ? index * 4 + lane : index];
  }

  size_t palette_size_;
  bool interleave_;
  std::vector<uint64_t> counts_;
  std::optional<uint64_t> bad_index_;
};

// Index value of a volume palette entry that is not written.
inline constexpr uint32_t kNotWritten = UINT32_MAX;

struct PalettePlan {
  // By volume palette index: the id the state gets in the file, or kNotWritten (unused, left out).
  std::vector<uint32_t> file_id;
  // By file id: the volume palette index of its state (the first entry holding that text).
  std::vector<uint32_t> states;
  // By volume palette index: the positions of the box that use it.
  std::vector<uint64_t> uses;
  // Positions of the box whose state is left out.
  uint64_t left_out = 0;
};

// Checks that the volume's grid width is 1, 2 or 4 and its bytes cover exactly its size.
[[nodiscard]] Status check_grid(const Volume& volume);

// Plans the palette of `box` (inside the volume, which check_grid must have passed): file ids go
// to the used states in palette order. States whose text is one of `leave_out` get no id. Fails
// when a position holds an index outside the palette, or a state that gets an id is not state
// text (parse_state_text), which no writer could write as the state it names.
[[nodiscard]] Result<PalettePlan> plan_palette(
    const Volume& volume, const VolumeBox& box,
    std::initializer_list<std::string_view> leave_out = {});

// The same for the whole volume without counting: every entry gets an id, used or not (`uses`
// stays empty). For writers of whole volumes, where an unused palette entry costs a few bytes and
// a pass over the grid costs more. The grid is not looked at: the caller must check its indices
// (check_indices) before it uses one to look something up.
[[nodiscard]] Result<PalettePlan> plan_whole_palette(const Volume& volume);

// Fails when `largest`, the largest index of the grid, is outside the palette.
[[nodiscard]] Status check_largest_index(const Volume& volume, uint64_t largest);

// A state as the NBT formats list it, as the entries of a compound that this closes: "Name" and,
// when it has any, "Properties" {key: value, ...}, each token as the text means it (unquoted).
// `text` must be state text (the palette plans check each state they number); one that is not is
// written as a name, whole.
void write_state_compound(NbtWriter& w, std::string_view text);

}  // namespace kubrel
