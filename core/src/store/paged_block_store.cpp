// The paged block store: palette, page map and the per-block operations.
#include "store/paged_block_store.h"

#include <algorithm>
#include <bit>
#include <string>
#include <utility>

namespace kubrel {

namespace {

constexpr uint32_t kMinPageShift = 3;
// Must agree with cell_of.
constexpr AxisOrder kPageOrder = AxisOrder::ZYX;
constexpr std::array<const char*, 3> kAxisNames = {"x", "y", "z"};
// The most slots of the direct page index; a 256^3 box with 32^3 pages needs 512.
constexpr uint64_t kMaxGridSlots = uint64_t{1} << 16;

}  // namespace

Result<std::array<uint32_t, 3>> PagedBlockStore::page_shifts_for(const Boundary& boundary) {
  std::array<uint32_t, 3> shifts;
  for (int a = 0; a < 3; ++a) {
    uint32_t size = boundary.size(a);
    if (size > static_cast<uint32_t>(INT32_MAX)) {
      return fail("Boundary too large for paged storage: size " + std::to_string(size) + " along " +
                  kAxisNames[a] + " is 2^31 or more");
    }
    uint32_t q = size / 8;
    shifts[a] = q <= 8 ? kMinPageShift : static_cast<uint32_t>(std::bit_width(q - 1));
  }
  if (shifts[0] + shifts[1] + shifts[2] > kMaxPageCellsShift) {
    return fail("Boundary too large for paged storage: pages of " +
                std::to_string(uint64_t{1} << shifts[0]) + " x " +
                std::to_string(uint64_t{1} << shifts[1]) + " x " +
                std::to_string(uint64_t{1} << shifts[2]) + " cells exceed " +
                std::to_string(kMaxPageCells) + " cells");
  }
  return shifts;
}

Result<std::unique_ptr<PagedBlockStore>> PagedBlockStore::new_for_boundary(
    const Boundary& boundary) {
  KUBREL_ASSIGN_OR_RETURN(auto shifts, page_shifts_for(boundary));
  return std::unique_ptr<PagedBlockStore>(new PagedBlockStore(boundary, shifts, /*fixed=*/true));
}

PagedBlockStore::PagedBlockStore(const Boundary& boundary,
                                 const std::array<uint32_t, 3>& page_shift, bool fixed)
    : boundary_(boundary), page_shift_(page_shift), fixed_(fixed) {
  for (int a = 0; a < 3; ++a) page_mask_[a] = (uint32_t{1} << page_shift_[a]) - 1;
  if (boundary.volume().value_or(0) == 0) return;
  BlockPosition max = boundary.max();
  uint64_t slots = 1;
  for (int a = 0; a < 3; ++a) {
    // Keys grow with the unsigned coordinate, so a box that wraps there gets no grid.
    if (static_cast<uint32_t>(max[a]) < static_cast<uint32_t>(boundary.min[a])) return;
    grid_extent_[a] = (static_cast<uint32_t>(max[a]) >> page_shift_[a]) -
                      (static_cast<uint32_t>(boundary.min[a]) >> page_shift_[a]) + 1;
    slots *= grid_extent_[a];
  }
  if (slots > kMaxGridSlots) return;
  grid_low_ = key_of(boundary.min);
  grid_.assign(slots, nullptr);
}

ArrayPage** PagedBlockStore::grid_slot(const PageKey& key) const {
  if (grid_.empty()) return nullptr;
  uint32_t gx = key.x - grid_low_.x, gy = key.y - grid_low_.y, gz = key.z - grid_low_.z;
  if (gx >= grid_extent_[0] || gy >= grid_extent_[1] || gz >= grid_extent_[2]) return nullptr;
  return &grid_[gx + uint64_t{grid_extent_[0]} * (gy + uint64_t{grid_extent_[1]} * gz)];
}

bool PagedBlockStore::contains(const BlockPosition& position) const {
  return boundary_.contains(position);
}

std::unique_ptr<PositionIterator> PagedBlockStore::iter(AxisOrder order) const {
  return boundary_.iter(order);
}

Result<std::optional<BlockStateRef>> PagedBlockStore::block_at(
    const BlockPosition& position) const {
  KUBREL_ASSIGN_OR_RETURN(std::optional<size_t> id, palette_id_at(position));
  if (!id || *id >= palette_.size()) return std::optional<BlockStateRef>{};
  return std::optional<BlockStateRef>{palette_[*id]};
}

Result<std::optional<size_t>> PagedBlockStore::palette_id_at(const BlockPosition& position) const {
  if (!boundary_.contains(position)) return fail("Position out of bounds");
  const ArrayPage* page = find_page(key_of(position));
  if (page == nullptr) return std::optional<size_t>{};
  return page->load_cell(cell_of(position));
}

Status PagedBlockStore::set_block_at(const BlockPosition& position, BlockStateRef state) {
  if (!boundary_.contains(position)) KUBREL_TRY(_expand_or_throw(position));
  store_id(position, intern(std::move(state)));
  return {};
}

Status PagedBlockStore::set_palette_id_at(const BlockPosition& position, size_t id) {
  if (!boundary_.contains(position)) KUBREL_TRY(_expand_or_throw(position));
  if (id >= palette_.size()) return fail("Palette id out of range");
  store_id(position, id);
  return {};
}

void PagedBlockStore::set_palette_ids_inside(const BlockPosition& start, int column_axis,
                                             int row_axis, uint64_t columns, uint64_t rows,
                                             std::span<const size_t> ids, size_t id_bound) {
  // Cell index steps of one position along x, y and z in a ZYX page.
  const std::array<uint32_t, 3> cell_shift = {page_shift_[2] + page_shift_[1], page_shift_[2], 0};
  const uint32_t column_shift = cell_shift[column_axis];
  const uint32_t row_shift = cell_shift[row_axis];
  auto to_page_edge = [&](const BlockPosition& position, int axis) {
    return uint64_t{page_mask_[axis]} + 1 -
           (static_cast<uint32_t>(position[axis]) & page_mask_[axis]);
  };
  // One rectangle per page; within it, rows vary fastest, since pages keep z cells together.
  for (uint64_t r0 = 0; r0 < rows;) {
    BlockPosition row_start = start;
    row_start[row_axis] = static_cast<int32_t>(static_cast<uint32_t>(start[row_axis]) + r0);
    uint64_t row_count = std::min(rows - r0, to_page_edge(row_start, row_axis));
    for (uint64_t c0 = 0; c0 < columns;) {
      BlockPosition corner = row_start;
      corner[column_axis] =
          static_cast<int32_t>(static_cast<uint32_t>(row_start[column_axis]) + c0);
      uint64_t column_count = std::min(columns - c0, to_page_edge(corner, column_axis));
      ArrayPage& page = page_for_write(key_of(corner));
      uint64_t cell = cell_of(corner);
      const size_t* corner_id = ids.data() + r0 * columns + c0;
      if (!page.holds_ids_up_to(id_bound)) {
        // Widened to what the rectangle holds, not to the bound: the cells stay as narrow as
        // their own ids allow. Its rows lie `columns` apart in `ids`.
        size_t top = 0;
        for (uint64_t r = 0; r < row_count; ++r) {
          const size_t* row = corner_id + r * columns;
          for (uint64_t c = 0; c < column_count; ++c) top = std::max(top, row[c]);
        }
        page.fit_ids_up_to(top);
      }
      if (row_count == 1) {
        page.store_cells(cell, column_shift, corner_id, 1, column_count);
      } else {
        for (uint64_t c = 0; c < column_count; ++c) {
          page.store_cells(cell + (c << column_shift), row_shift, corner_id + c, columns,
                           row_count);
        }
      }
      c0 += column_count;
    }
    r0 += row_count;
  }
}

Status PagedBlockStore::remove_block_at(const BlockPosition& position) {
  if (!boundary_.contains(position)) KUBREL_TRY(_expand_or_throw(position));
  ArrayPage* page = find_page(key_of(position));
  if (page == nullptr) return {};
  return page->erase_cell(cell_of(position));
}

std::optional<size_t> PagedBlockStore::palette_id(const BlockState& state) const {
  auto it = state_ids_.find(state);
  if (it == state_ids_.end()) return std::nullopt;
  return it->second;
}

std::array<uint64_t, 3> PagedBlockStore::page_size() const {
  return {uint64_t{1} << page_shift_[0], uint64_t{1} << page_shift_[1],
          uint64_t{1} << page_shift_[2]};
}

const ArrayPage* PagedBlockStore::page_at(const BlockPosition& position) const {
  return find_page(key_of(position));
}

ArrayPage* PagedBlockStore::find_page_slow(const PageKey& key) const {
  cache_valid_ = true;
  cached_key_ = key;
  if (ArrayPage** slot = grid_slot(key)) {
    cached_page_ = *slot;
  } else {
    auto it = pages_.find(key);
    cached_page_ = it == pages_.end() ? nullptr : it->second.get();
  }
  return cached_page_;
}

ArrayPage& PagedBlockStore::new_page(const PageKey& key) {
  std::array<uint32_t, 3> edges = {uint32_t{1} << page_shift_[0], uint32_t{1} << page_shift_[1],
                                   uint32_t{1} << page_shift_[2]};
  auto& slot = pages_[key];
  slot = std::make_unique<ArrayPage>(edges, kPageOrder);
  cached_page_ = slot.get();
  if (ArrayPage** grid = grid_slot(key)) *grid = cached_page_;
  return *slot;
}

size_t PagedBlockStore::intern(BlockStateRef state) {
  auto [it, inserted] = state_ids_.try_emplace(state, palette_.size());
  if (inserted) palette_.push_back(std::move(state));
  return it->second;
}

uint64_t PagedBlockStore::stored_cell_count() const {
  uint64_t count = 0;
  for (const auto& [key, page] : pages_) count += page->nnz();
  return count;
}

StoredCellWalk PagedBlockStore::stored_cells(uint64_t from) const {
  return StoredCellWalk(*this, from);
}

StoredCellWalk::StoredCellWalk(const PagedBlockStore& store, uint64_t from)
    : boundary_(store.boundary_),
      z_end_(int64_t{store.boundary_.min.z} + store.boundary_.d_z),
      shift_(store.page_shift_) {
  const uint64_t volume = boundary_.volume().value_or(UINT64_MAX);
  if (from >= volume) return;
  // The walk position `from` stands for, as coordinates: x slowest, z fastest.
  const std::array<uint64_t, 3> offset = walk_offsets(from, boundary_.d_y, boundary_.d_z);
  std::array<int64_t, 3> target;
  for (int a = 0; a < 3; ++a) {
    target[a] = int64_t{boundary_.min[a]} + static_cast<int64_t>(offset[a]);
  }
  for (const auto& [key, page] : store.pages_) {
    Cursor cursor{page.get(), {}, 0, 0, {}};
    const std::array<uint32_t, 3> index = {key.x, key.y, key.z};
    std::array<int64_t, 3> edge;
    for (int a = 0; a < 3; ++a) {
      cursor.origin[a] = static_cast<int32_t>(index[a] << shift_[a]);
      edge[a] = int64_t{1} << shift_[a];
    }
    // The page's first cell at or after `target` in (x, y, z) order, the page's own cell order.
    uint64_t start;
    const std::array<int64_t, 3> local = {
        target[0] - cursor.origin[0], target[1] - cursor.origin[1], target[2] - cursor.origin[2]};
    if (local[0] < 0) {
      start = 0;
    } else if (local[0] >= edge[0]) {
      continue;
    } else if (local[1] < 0) {
      start = static_cast<uint64_t>(local[0]) << (shift_[1] + shift_[2]);
    } else if (local[1] >= edge[1]) {
      start = static_cast<uint64_t>(local[0] + 1) << (shift_[1] + shift_[2]);
    } else {
      uint64_t line = static_cast<uint64_t>((local[0] << shift_[1]) | local[1]) << shift_[2];
      start = line + static_cast<uint64_t>(std::clamp<int64_t>(local[2], 0, edge[2]));
    }
    if (settle(cursor, start)) cursors_.push_back(cursor);
  }
  for (size_t i = 0; i < cursors_.size(); ++i) heap_.push_back(i);
  auto later = [this](size_t a, size_t b) { return this->later(a, b); };
  std::make_heap(heap_.begin(), heap_.end(), later);
}

bool StoredCellWalk::settle(Cursor& cursor, uint64_t from) const {
  while (std::optional<uint64_t> cell = cursor.page->next_stored_cell(from)) {
    cursor.cell = *cell;
    const uint64_t z = *cell & ((uint64_t{1} << shift_[2]) - 1);
    const uint64_t y = (*cell >> shift_[2]) & ((uint64_t{1} << shift_[1]) - 1);
    const uint64_t x = *cell >> (shift_[1] + shift_[2]);
    const BlockPosition p = {static_cast<int32_t>(cursor.origin[0] + static_cast<int64_t>(x)),
                             static_cast<int32_t>(cursor.origin[1] + static_cast<int64_t>(y)),
                             static_cast<int32_t>(cursor.origin[2] + static_cast<int64_t>(z))};
    if (boundary_.contains(p)) {
      const auto offset = [](int32_t value, int32_t min) {
        return uint64_t{static_cast<uint32_t>(value) - static_cast<uint32_t>(min)};
      };
      cursor.walk_index =
          (offset(p.x, boundary_.min.x) * boundary_.d_y + offset(p.y, boundary_.min.y)) *
              boundary_.d_z +
          offset(p.z, boundary_.min.z);
      cursor.position = p;
      return true;
    }
    from = *cell + 1;
  }
  return false;
}

std::optional<StoredRun> StoredCellWalk::next_run() {
  auto later = [this](size_t a, size_t b) { return this->later(a, b); };
  if (active_ && pending_ > 0) {
    Cursor& cursor = cursors_[*active_];
    if (!settle(cursor, cursor.cell + pending_)) {
      active_.reset();
    } else if (!heap_.empty() && later(*active_, heap_.front())) {
      // Another page holds the next cell; this one waits in the heap.
      heap_.push_back(*active_);
      std::push_heap(heap_.begin(), heap_.end(), later);
      active_.reset();
    }
  }
  pending_ = 0;
  if (!active_) {
    if (heap_.empty()) return std::nullopt;
    std::pop_heap(heap_.begin(), heap_.end(), later);
    active_ = heap_.back();
    heap_.pop_back();
  }
  const Cursor& cursor = cursors_[*active_];
  const uint64_t z_in_page = cursor.cell & ((uint64_t{1} << shift_[2]) - 1);
  const ArrayPage::RawCells raw = cursor.page->raw_cells(cursor.cell);
  uint64_t length = std::min({(uint64_t{1} << shift_[2]) - z_in_page, raw.length,
                              static_cast<uint64_t>(z_end_ - cursor.position.z)});
  if (!heap_.empty())
    length = std::min(length, cursors_[heap_.front()].walk_index - cursor.walk_index);
  pending_ = length;
  return StoredRun{cursor.walk_index, cursor.position, raw.cells, cursor.page->cell_width(),
                   length};
}

}  // namespace kubrel
