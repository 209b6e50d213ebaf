// Pages: fixed-size boxes of cells that hold palette ids for the paged block store. A page's
// memory is taken in small parts on first write, and each cell is as narrow as the largest id
// stored in the page allows, so sparse or small-palette regions stay cheap.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "common/error.h"
#include "common/geometry.h"
#include "store/cells.h"

namespace kubrel {

// The most cells one page may have; the paged store refuses boundaries whose pages would be larger.
inline constexpr uint32_t kMaxPageCellsShift = 24;
inline constexpr uint64_t kMaxPageCells = uint64_t{1} << kMaxPageCellsShift;

class Page {
 public:
  // `edges` are the page's edge lengths along x, y and z.
  explicit Page(const std::array<uint32_t, 3>& edges) : edges_(edges) {}
  virtual ~Page() = default;

  // The id stored at the in-page offsets, none for an empty cell or an invalid cell index.
  virtual std::optional<size_t> load(int32_t x, int32_t y, int32_t z) const = 0;
  // Stores `id` at the offsets, replacing what was there. Fails with "Out of bounds: (x, y, z)"
  // for an invalid cell index.
  [[nodiscard]] virtual Status store(int32_t x, int32_t y, int32_t z, size_t id) = 0;
  // Empties the cell. Fails with "Out of bounds: (x, y, z)" for an invalid cell index and with
  // "No block to erase at given coordinates" for an empty cell.
  [[nodiscard]] virtual Status erase(int32_t x, int32_t y, int32_t z) = 0;
  // The number of non-empty cells.
  virtual size_t nnz() const = 0;

  // True when `other` holds the same count of blocks and loads the same id at every offset within
  // this page's edges.
  bool deep_equals(const Page& other) const;

  const std::array<uint32_t, 3>& edges() const { return edges_; }

 private:
  std::array<uint32_t, 3> edges_;
};

// A dense page. A cell index is formed from the offsets by `order`: the first axis of the order
// varies fastest (XYZ: x + sx * (y + sy * z)). Only offsets whose combined index falls inside the
// page are valid; the coordinates are not checked one by one.
class ArrayPage final : public Page {
 public:
  // All cells start empty. The product of the edges must not exceed kMaxPageCells.
  explicit ArrayPage(const std::array<uint32_t, 3>& edges, AxisOrder order = AxisOrder::XYZ);

  std::optional<size_t> load(int32_t x, int32_t y, int32_t z) const override;
  [[nodiscard]] Status store(int32_t x, int32_t y, int32_t z, size_t id) override;
  [[nodiscard]] Status erase(int32_t x, int32_t y, int32_t z) override;
  size_t nnz() const override { return nnz_; }

  AxisOrder order() const { return order_; }
  uint64_t cell_count() const { return cell_count_; }
  // The cell index of the offsets under this page's order, none when it lies outside the page.
  std::optional<uint64_t> cell_index(int32_t x, int32_t y, int32_t z) const;

  // Direct access by a cell index below cell_count(), for callers that form indexes themselves.
  std::optional<size_t> load_cell(uint64_t index) const {
    const uint8_t* part = part_of(index);
    if (part == nullptr) return std::nullopt;
    uint64_t value = read_value(part, index & kPartMask, width_);
    if (value == 0) return std::nullopt;
    return static_cast<size_t>(value - 1);
  }
  void store_cell(uint64_t index, size_t id) {
    uint64_t value = uint64_t{id} + 1;
    if (value > width_max(width_)) [[unlikely]]
      widen_to(width_for(value));
    uint8_t* part = part_of(index);
    if (part == nullptr) [[unlikely]]
      part = new_part(index);
    uint64_t offset = index & kPartMask;
    if (read_value(part, offset, width_) == 0) ++nnz_;
    write_value(part, offset, width_, value);
  }
  // Whether the cells as they are hold every id up to `top`.
  bool holds_ids_up_to(size_t top) const { return uint64_t{top} < width_max(width_); }
  // Widens the cells, if need be, so that they hold every id up to `top`.
  void fit_ids_up_to(size_t top) {
    if (uint64_t{top} + 1 > width_max(width_)) widen_to(width_for(uint64_t{top} + 1));
  }
  // store_cell(first + (k << shift), ids[k * id_stride]) for every k < count, each cell of the
  // range being valid and each id one the cells hold (see fit_ids_up_to): a writer of many short
  // stretches into one page widens it once rather than looking at each stretch's ids.
  void store_cells(uint64_t first, unsigned shift, const size_t* ids, size_t id_stride,
                   uint64_t count);
  [[nodiscard]] Status erase_cell(uint64_t index);
  // The first non-empty cell at or after `from`, or none. Parts never written are passed over
  // whole, so a sparse page is searched in time proportional to its written parts.
  std::optional<uint64_t> next_stored_cell(uint64_t from) const;

  // The raw cells from `index` to the end of its storage part: `length` values of cell_width()
  // bytes each, 0 for an empty cell and id + 1 otherwise; null cells when the whole part is
  // empty. Valid until the page is next written.
  struct RawCells {
    const uint8_t* cells;
    uint64_t length;
  };
  RawCells raw_cells(uint64_t index) const {
    uint64_t offset = index & kPartMask;
    const uint8_t* part = part_of(index);
    uint64_t length = std::min(part_cells_, cell_count_ - (index - offset)) - offset;
    return {part == nullptr ? nullptr : part + offset * width_, length};
  }

  // Bytes per cell: 1, 2, 4 or 8, the narrowest that holds every id stored so far.
  unsigned cell_width() const { return width_; }

 private:
  // Cells are kept in parts of 256, allocated on first write and found through chunks of 16
  // parts. A lone block costs one part (and its chunk's table), so a file that scatters a few
  // bytes of blocks over a large box cannot claim kilobytes per block.
  static constexpr unsigned kPartShift = 8;
  static constexpr uint64_t kPartMask = (uint64_t{1} << kPartShift) - 1;
  static constexpr unsigned kChunkShift = 12;
  static constexpr unsigned kPartsPerChunk = 1u << (kChunkShift - kPartShift);

  struct Chunk {
    std::unique_ptr<uint8_t[]> parts[kPartsPerChunk];
  };

  // The part holding cell `index`, or null where nothing was written.
  uint8_t* part_of(uint64_t index) const {
    const Chunk* chunk = chunks_[index >> kChunkShift].get();
    if (chunk == nullptr) return nullptr;
    return chunk->parts[(index >> kPartShift) & (kPartsPerChunk - 1)].get();
  }

  static uint64_t read_value(const uint8_t* part, uint64_t offset, unsigned width) {
    return with_cell_type(
        width, [&]<class Cell>() -> uint64_t { return load_cell_as<Cell>(part, offset); });
  }
  static void write_value(uint8_t* part, uint64_t offset, unsigned width, uint64_t value) {
    with_cell_type(width,
                   [&]<class Cell>() { store_cell_as(part, offset, static_cast<Cell>(value)); });
  }
  static uint64_t width_max(unsigned width) {
    return width >= 8 ? UINT64_MAX : (uint64_t{1} << (8 * width)) - 1;
  }
  static unsigned width_for(uint64_t value) {
    if (value <= UINT8_MAX) return 1;
    if (value <= UINT16_MAX) return 2;
    if (value <= UINT32_MAX) return 4;
    return 8;
  }
  void widen_to(unsigned width);
  template <class Cell>
  void store_cells_as(uint64_t first, unsigned shift, const size_t* ids, size_t id_stride,
                      uint64_t count);
  // Allocates the empty part holding cell `index` (and its chunk if need be) and returns it.
  uint8_t* new_part(uint64_t index);

  AxisOrder order_;
  uint64_t cell_count_;
  uint64_t part_cells_;
  unsigned width_ = 1;
  size_t nnz_ = 0;
  // Each part holds part_cells_ cells of width_ bytes; a null chunk or part is all empty.
  std::vector<std::unique_ptr<Chunk>> chunks_;
};

}  // namespace kubrel
