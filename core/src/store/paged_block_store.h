// The paged block store: space cut into equal power-of-two pages that are allocated on first
// write, each cell holding an id into a palette of distinct states. It holds every block of a
// schematic, so the per-block paths avoid allocation and repeated hashing.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "common/block_state.h"
#include "common/error.h"
#include "common/geometry.h"
#include "store/block_store.h"
#include "store/paging.h"

namespace kubrel {

class StoredCellWalk;

// A stretch of cells along z that a StoredCellWalk hands out: consecutive positions of the walk,
// side by side in one page.
struct StoredRun {
  uint64_t walk_index;     // of the first cell, in the XYZ walk of the store's boundary
  BlockPosition position;  // of the first cell; cell i lies i steps further along z
  const uint8_t* cells;    // `length` cells of `width` bytes: 0 when empty, else palette id + 1
  unsigned width;
  uint64_t length;
};

class PagedBlockStore : public BlockStore {
 public:
  // An empty, fixed store for `boundary`. Page edges follow the boundary: per axis, a size of up
  // to 71 gives 8, larger sizes give size / 8 rounded up to a power of two. Fails when a size is
  // 2^31 or more, or when one page would exceed kMaxPageCells cells.
  [[nodiscard]] static Result<std::unique_ptr<PagedBlockStore>> new_for_boundary(
      const Boundary& boundary);

  // Half-open test against the boundary.
  bool contains(const BlockPosition& position) const override;
  // The positions of the boundary in `order`.
  std::unique_ptr<PositionIterator> iter(AxisOrder order) const override;
  // The state at `position`, none for an empty cell; "Position out of bounds" outside the
  // boundary. Never grows the boundary and never allocates.
  [[nodiscard]] Result<std::optional<BlockStateRef>> block_at(
      const BlockPosition& position) const override;
  // Stores `state` (equal states share one palette id), replacing what the cell held. Fails with
  // "Position out of bounds and store is not resizable" outside the boundary of a fixed store.
  [[nodiscard]] Status set_block_at(const BlockPosition& position, BlockStateRef state) override;
  // Empties the cell; succeeds without change where no page exists yet, fails with "No block to
  // erase at given coordinates" on an empty cell of an existing page.
  [[nodiscard]] Status remove_block_at(const BlockPosition& position) override;
  Boundary boundary() const override { return boundary_; }
  // Replaces the boundary; page edges stay, and blocks outside the new boundary stay stored but
  // cannot be read.
  void set_boundary(const Boundary& boundary) override { boundary_ = boundary; }
  bool resizable() const override { return !fixed_; }

  // Like set_block_at, with a palette id taken from palette_id; fails with "Palette id out of
  // range" for an id the palette does not hold. Saves the state lookup for callers that keep ids.
  [[nodiscard]] Status set_palette_id_at(const BlockPosition& position, size_t id);
  // The palette id stored at `position`, none for an empty cell; fails like block_at.
  [[nodiscard]] Result<std::optional<size_t>> palette_id_at(const BlockPosition& position) const;
  // Like set_palette_id_at for a `position` known to lie inside the boundary and an `id` the
  // palette holds; neither is checked. For bulk writers that check once for many positions.
  void set_palette_id_inside(const BlockPosition& position, size_t id) { store_id(position, id); }
  // The same for ids[r * columns + c] at `start` moved c steps along `column_axis` and r steps
  // along `row_axis` (0 x, 1 y, 2 z; distinct), for every c < columns and r < rows, page by page.
  // `id_bound`, when the caller knows one, is at least every id: pages whose cells already hold it
  // take the ids without a look at them first.
  void set_palette_ids_inside(const BlockPosition& start, int column_axis, int row_axis,
                              uint64_t columns, uint64_t rows, std::span<const size_t> ids,
                              size_t id_bound = SIZE_MAX);

  // Consecutive cells along z from `position`, which must lie inside the boundary: at most
  // `count`, and never past the edge of its page or of the page's storage part. Each cell is
  // `width` bytes, 0 when empty and palette id + 1 otherwise; `cells` is null when all `length`
  // cells are empty. Valid until the store is next written.
  struct CellRun {
    const uint8_t* cells;
    unsigned width;
    uint64_t length;
  };
  CellRun cells_along_z(const BlockPosition& position, uint64_t count) const {
    uint64_t to_page_edge =
        (uint64_t{page_mask_[2]} + 1) - (static_cast<uint32_t>(position.z) & page_mask_[2]);
    count = std::min(count, to_page_edge);
    const ArrayPage* page = find_page(key_of(position));
    if (page == nullptr) return {nullptr, 1, count};
    ArrayPage::RawCells raw = page->raw_cells(cell_of(position));
    return {raw.cells, page->cell_width(), std::min(count, raw.length)};
  }

  // The id of a state equal to `state`, none when the palette has no such state.
  std::optional<size_t> palette_id(const BlockState& state) const;

  // The palette: the state with id n is element n.
  const std::vector<BlockStateRef>& palette() const { return palette_; }
  // Page edge lengths along x, y and z.
  std::array<uint64_t, 3> page_size() const;
  // The page holding `position`, or null when none was created (for inspection).
  const ArrayPage* page_at(const BlockPosition& position) const;
  size_t page_count() const { return pages_.size(); }
  // The number of cells that hold an id, over every page.
  uint64_t stored_cell_count() const;

  // The stored cells inside the boundary in the order of its XYZ walk (x slowest, z fastest),
  // starting with the first whose walk index is at least `from`.
  StoredCellWalk stored_cells(uint64_t from) const;

 protected:
  // log2 of the page edges for `boundary`, or the error new_for_boundary reports.
  [[nodiscard]] static Result<std::array<uint32_t, 3>> page_shifts_for(const Boundary& boundary);
  PagedBlockStore(const Boundary& boundary, const std::array<uint32_t, 3>& page_shift, bool fixed);

 private:
  friend class StoredCellWalk;

  // Pages are keyed on their three indexes, so distinct pages never share a key whatever the
  // coordinates.
  struct PageKey {
    uint32_t x = 0;
    uint32_t y = 0;
    uint32_t z = 0;
    bool operator==(const PageKey&) const = default;
  };
  struct PageKeyHash {
    size_t operator()(const PageKey& key) const {
      uint64_t h = (uint64_t{key.x} * 0x9E3779B97F4A7C15ULL) ^ key.y;
      h = (h * 0xC2B2AE3D27D4EB4FULL) ^ key.z;
      return static_cast<size_t>(h * 0x165667B19E3779F9ULL);
    }
  };

  PageKey key_of(const BlockPosition& position) const {
    return {static_cast<uint32_t>(position.x) >> page_shift_[0],
            static_cast<uint32_t>(position.y) >> page_shift_[1],
            static_cast<uint32_t>(position.z) >> page_shift_[2]};
  }
  // The in-page cell index of a ZYX page (z fastest, x slowest). The readers walk their boxes
  // with z innermost, so this layout turns that walk into sequential reads.
  uint64_t cell_of(const BlockPosition& position) const {
    uint64_t x = static_cast<uint32_t>(position.x) & page_mask_[0];
    uint64_t y = static_cast<uint32_t>(position.y) & page_mask_[1];
    uint64_t z = static_cast<uint32_t>(position.z) & page_mask_[2];
    return z | (y << page_shift_[2]) | (x << (page_shift_[2] + page_shift_[1]));
  }
  ArrayPage* find_page(const PageKey& key) const {
    if (cache_valid_ && cached_key_ == key) [[likely]]
      return cached_page_;
    return find_page_slow(key);
  }
  ArrayPage* find_page_slow(const PageKey& key) const;
  ArrayPage& page_for_write(const PageKey& key) {
    ArrayPage* page = find_page(key);
    return page != nullptr ? *page : new_page(key);
  }
  ArrayPage& new_page(const PageKey& key);
  // The slot of `key` in grid_, or null when the key lies outside the grid.
  ArrayPage** grid_slot(const PageKey& key) const;
  // The id for `state`, entering it into the palette when it is new.
  size_t intern(BlockStateRef state);
  // Stores `id` at a position already known to be writable.
  void store_id(const BlockPosition& position, size_t id) {
    page_for_write(key_of(position)).store_cell(cell_of(position), id);
  }

  std::vector<BlockStateRef> palette_;
  std::unordered_map<BlockStateRef, size_t, BlockStateRefHash, BlockStateRefEqual> state_ids_;
  std::unordered_map<PageKey, std::unique_ptr<ArrayPage>, PageKeyHash> pages_;
  // A direct index of the pages (owned by pages_) of the initial boundary's page grid, so that
  // lookups inside the box need no hashing; empty when that grid is large or its keys wrap.
  mutable std::vector<ArrayPage*> grid_;
  PageKey grid_low_;
  std::array<uint32_t, 3> grid_extent_{0, 0, 0};
  Boundary boundary_;
  std::array<uint32_t, 3> page_shift_;
  std::array<uint32_t, 3> page_mask_;
  bool fixed_;

  // The last page looked up, so a walk hashes once per page rather than once per position. A
  // null page under a valid key caches a miss; creating a page refreshes the entry.
  mutable bool cache_valid_ = false;
  mutable PageKey cached_key_;
  mutable ArrayPage* cached_page_ = nullptr;
};

// Walks the stored cells of a PagedBlockStore in XYZ walk order without visiting empty space:
// pages are merged by walk index (a page's own cell order, z fastest and x slowest, is already
// walk order), and parts never written are passed over whole. The cost follows the pages and parts
// that exist, not the volume of the box, while a dense box still comes out in long runs of raw
// cells. The walk points into the store, which must outlive it and stay unchanged while it is
// used. For a boundary that wraps around the 32-bit coordinate range every cell still comes once,
// but not in walk order.
class StoredCellWalk {
 public:
  // The next run: it starts at the next stored cell and ends before the edge of its page, of its
  // storage part or of the box along z, or before the next stored cell of another page, whichever
  // comes first (cells inside may be empty). None once every stored cell has come.
  std::optional<StoredRun> next_run();
  // The caller used only the first `used` cells of the last run; the next run starts with the
  // cell after them.
  void give_back(uint64_t used) { pending_ = used; }

 private:
  friend class PagedBlockStore;

  struct Cursor {
    const ArrayPage* page;
    std::array<int64_t, 3> origin;  // coordinates of the page's first cell
    uint64_t cell;                  // the stored cell this cursor stands on,
    uint64_t walk_index;            // its walk index
    BlockPosition position;         // and its position
  };

  StoredCellWalk(const PagedBlockStore& store, uint64_t from);
  // Moves `cursor` to the first stored cell inside the boundary at or after cell `from`; false
  // when the page has none.
  bool settle(Cursor& cursor, uint64_t from) const;
  // Orders the heap so that its front holds the smallest walk index.
  bool later(size_t a, size_t b) const { return cursors_[a].walk_index > cursors_[b].walk_index; }

  Boundary boundary_;
  int64_t z_end_;  // one past the boundary's largest z
  std::array<uint32_t, 3> shift_;
  std::vector<Cursor> cursors_;
  // Cursors other than the active one, as a heap on walk index.
  std::vector<size_t> heap_;
  // The cursor with the smallest walk index, which the last run came from.
  std::optional<size_t> active_;
  // Cells of the last run the active cursor is still to pass.
  uint64_t pending_ = 0;
};

}  // namespace kubrel
