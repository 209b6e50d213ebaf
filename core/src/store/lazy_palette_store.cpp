// The lazy palette store: placeholders per temporary id and their resolution through a palette.
#include "store/lazy_palette_store.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <type_traits>
#include <utility>

#include "store/cells.h"

namespace kubrel {

Result<LazyPaletteBlockStoreWrapper> LazyPaletteBlockStoreWrapper::empty_fixed_from_size(
    int32_t d_x, int32_t d_y, int32_t d_z) {
  Boundary boundary{{0, 0, 0},
                    static_cast<uint32_t>(d_x),
                    static_cast<uint32_t>(d_y),
                    static_cast<uint32_t>(d_z)};
  KUBREL_ASSIGN_OR_RETURN(auto inner, PagedBlockStore::new_for_boundary(boundary));
  return LazyPaletteBlockStoreWrapper(std::move(inner));
}

Result<LazyPaletteBlockStoreWrapper::TempEntry*>
LazyPaletteBlockStoreWrapper::temp_state_from_temp_id(int64_t temp_id) {
  const bool dense = temp_id >= 0 && temp_id < kDenseTempIds;
  const auto index = static_cast<size_t>(temp_id);
  if (dense && index < dense_temp_states_.size() && dense_temp_states_[index].placeholder) {
    return &dense_temp_states_[index];
  }
  if (!dense) {
    if (auto it = sparse_temp_states_.find(temp_id); it != sparse_temp_states_.end()) {
      return &it->second;
    }
  }
  if (temp_id_count_ >= kMaxTemporaryIds) {
    return fail("Too many distinct temporary ids (more than " + std::to_string(kMaxTemporaryIds) +
                ")");
  }
  ++temp_id_count_;
  TempEntry* entry;
  if (dense) {
    if (index >= dense_temp_states_.size()) dense_temp_states_.resize(index + 1);
    entry = &dense_temp_states_[index];
  } else {
    entry = &sparse_temp_states_[temp_id];
  }
  entry->placeholder = make_state(BlockState("unknown", {{"id", std::to_string(temp_id)}}));
  return entry;
}

Status LazyPaletteBlockStoreWrapper::set_unknown_block(const BlockPosition& position,
                                                       int64_t temp_id) {
  forget_walk();
  KUBREL_ASSIGN_OR_RETURN(TempEntry * found, temp_state_from_temp_id(temp_id));
  TempEntry& entry = *found;
  if (entry.inner_id != kNoInnerId) return inner_->set_palette_id_at(position, entry.inner_id);

  KUBREL_TRY(inner_->set_block_at(position, entry.placeholder));
  // Placeholders differ for every temporary id, so this one has just become a new inner id.
  size_t inner_id = *inner_->palette_id(*entry.placeholder);
  entry.inner_id = inner_id;
  if (temp_id_of_inner_.size() <= inner_id) temp_id_of_inner_.resize(inner_id + 1);
  temp_id_of_inner_[inner_id] = temp_id;
  if (actual_palette_) resolve(inner_id);
  return {};
}

Status LazyPaletteBlockStoreWrapper::set_unknown_blocks_along(AxisOrder order, uint64_t start,
                                                              std::span<const int32_t> temp_ids,
                                                              uint64_t* failed) {
  forget_walk();
  if (temp_ids.empty()) return {};
  Boundary box = inner_->boundary();
  std::array<int, 3> axes = axis(order);
  std::array<uint64_t, 3> size;
  for (int i = 0; i < 3; ++i) size[i] = box.size(axes[i]);
  std::array<uint64_t, 3> offset = walk_offsets(start, size[1], size[2]);
  std::array<int32_t, 3> coords;
  for (int i = 0; i < 3; ++i) {
    coords[axes[i]] = static_cast<int32_t>(static_cast<uint32_t>(box.min[axes[i]]) + offset[i]);
  }
  const int inner_axis = axes[2];
  const int middle_axis = axes[1];
  // The walk is stored in pieces: whole rows along the innermost axis at once when the piece
  // starts a row (so that writes to a page whose cells run along the middle axis stay close
  // together), else what is left of one row. Ids are translated through a small buffer.
  constexpr size_t kPiece = 4096;
  std::array<size_t, kPiece> inner_ids;
  size_t done = 0;
  while (done < temp_ids.size()) {
    uint64_t left = temp_ids.size() - done;
    uint64_t rows = 1;
    uint64_t columns = std::min<uint64_t>({left, size[2] - offset[2], kPiece});
    if (offset[2] == 0 && size[2] <= kPiece / 2 && left >= 2 * size[2]) {
      rows = std::min<uint64_t>({left / size[2], size[1] - offset[1], kPiece / size[2]});
    }
    size_t n = static_cast<size_t>(rows * columns);
    // The table in locals: the loop's stores could otherwise change it as far as the compiler
    // knows. Only entering a new id does, and the table is taken again after it.
    const TempEntry* dense = dense_temp_states_.data();
    size_t dense_count = dense_temp_states_.size();
    size_t top = 0;
    for (size_t k = 0; k < n; ++k) {
      int32_t temp_id = temp_ids[done + k];
      size_t inner_id = kNoInnerId;
      if (temp_id >= 0 && static_cast<size_t>(temp_id) < dense_count) [[likely]]
        inner_id = dense[static_cast<size_t>(temp_id)].inner_id;
      if (inner_id == kNoInnerId) [[unlikely]] {
        // First sight of this id (or a sparse one): the single-block path enters it.
        std::array<int32_t, 3> at = coords;
        at[middle_axis] =
            static_cast<int32_t>(static_cast<uint32_t>(at[middle_axis]) + k / columns);
        at[inner_axis] = static_cast<int32_t>(static_cast<uint32_t>(at[inner_axis]) + k % columns);
        if (Status stored = set_unknown_block({at[0], at[1], at[2]}, temp_id); !stored) {
          // What the earlier pieces placed stays; this piece is not placed.
          if (failed != nullptr) *failed = start + done + k;
          return stored;
        }
        KUBREL_ASSIGN_OR_RETURN(TempEntry * entry, temp_state_from_temp_id(temp_id));
        inner_id = entry->inner_id;
        dense = dense_temp_states_.data();
        dense_count = dense_temp_states_.size();
      }
      inner_ids[k] = inner_id;
      top = std::max(top, inner_id);
    }
    inner_->set_palette_ids_inside({coords[0], coords[1], coords[2]}, inner_axis, middle_axis,
                                   columns, rows, std::span(inner_ids.data(), n), top);
    done += n;
    // Step the walk past the piece, carrying outwards.
    if (rows == 1) {
      offset[2] += columns;
      coords[inner_axis] =
          static_cast<int32_t>(static_cast<uint32_t>(coords[inner_axis]) + columns);
      if (offset[2] < size[2]) continue;
      offset[2] = 0;
      coords[inner_axis] = box.min[inner_axis];
      rows = 1;
    }
    offset[1] += rows;
    coords[middle_axis] = static_cast<int32_t>(static_cast<uint32_t>(coords[middle_axis]) + rows);
    if (offset[1] < size[1]) continue;
    offset[1] = 0;
    coords[middle_axis] = box.min[middle_axis];
    ++offset[0];
    ++coords[axes[0]];
  }
  return {};
}

void LazyPaletteBlockStoreWrapper::set_actual_palette(
    std::unordered_map<int64_t, BlockStateRef> palette) {
  actual_palette_ = std::move(palette);
  resolved_.clear();
  cell_kinds_.assign(1, kSkipCell);
  for (size_t inner_id = 0; inner_id < temp_id_of_inner_.size(); ++inner_id) resolve(inner_id);
}

void LazyPaletteBlockStoreWrapper::resolve(size_t inner_id) {
  if (resolved_.size() <= inner_id) {
    resolved_.resize(inner_id + 1);
    cell_kinds_.resize(inner_id + 2, kMissingCell);
  }
  auto it = actual_palette_->find(temp_id_of_inner_[inner_id]);
  resolved_[inner_id] = it == actual_palette_->end() ? nullptr : it->second;
  const BlockStateRef& state = resolved_[inner_id];
  cell_kinds_[inner_id + 1] = state == nullptr  ? kMissingCell
                              : state->is_air() ? kSkipCell
                                                : kBlockCell;
}

Result<std::optional<BlockStateRef>> LazyPaletteBlockStoreWrapper::block_at(
    const BlockPosition& position) const {
  if (!actual_palette_) return fail("Can not access blocks if palette is not provided");
  KUBREL_ASSIGN_OR_RETURN(std::optional<size_t> inner_id, inner_->palette_id_at(position));
  if (!inner_id) return std::optional<BlockStateRef>{};
  KUBREL_ASSIGN_OR_RETURN(BlockStateRef state, resolve_cell(*inner_id));
  return std::optional<BlockStateRef>{std::move(state)};
}

Result<BlockStateRef> LazyPaletteBlockStoreWrapper::resolve_cell(size_t inner_id) const {
  if (!actual_palette_) return fail("Can not access blocks if palette is not provided");
  // Only placeholders stored through this wrapper reach the inner store.
  if (inner_id >= resolved_.size()) return fail("Invalid temporary ID");
  const BlockStateRef& state = resolved_[inner_id];
  if (state == nullptr) return fail("Temporary ID not found in actual palette");
  return state;
}

}  // namespace kubrel

namespace kubrel {

template <class Out>
Status LazyPaletteBlockStoreWrapper::scan_run(const StoredRun& run, uint64_t& index, uint64_t& used,
                                              std::vector<Out>& blocks, size_t max,
                                              size_t& appended) const {
  // One pass over the run's raw cells, as wide as the page's cells; it stops early at the max-th
  // block or a failing cell.
  const uint8_t* const cells = run.cells;
  const uint64_t length = run.length;
  const BlockPosition start = run.position;
  // Locals for the loop: through references and members, every push_back would force them back
  // to memory.
  size_t count = appended;
  [[maybe_unused]] const BlockStateRef* const table = resolved_.data();
  const size_t table_size = resolved_.size();
  const CellKind* const kinds = cell_kinds_.data();
  const uint64_t kind_count = cell_kinds_.size();
  auto visit = [&]<class Cell>() -> std::optional<Status> {
    for (uint64_t i = 0; i < length; ++i) {
      uint64_t value = load_cell_as<Cell>(cells, i);
      CellKind kind = value < kind_count ? kinds[value] : kMissingCell;
      if (kind == kSkipCell) {
        if constexpr (sizeof(Cell) == 1) {
          // Stretches of one skipped value, the air above ground, are passed eight at a time.
          const uint64_t eight = value * 0x0101010101010101u;
          while (i + 8 < length) {
            uint64_t next;
            std::memcpy(&next, cells + i + 1, 8);
            if (next != eight) break;
            i += 8;
          }
        }
        continue;
      }
      if (kind == kMissingCell) [[unlikely]] {
        used = i;
        // Only placeholders stored through this wrapper reach the inner store.
        return fail(value > table_size ? "Invalid temporary ID"
                                       : "Temporary ID not found in actual palette");
      }
      const BlockPosition at{
          start.x, start.y,
          static_cast<int32_t>(static_cast<uint32_t>(start.z) + static_cast<uint32_t>(i))};
      if constexpr (std::is_same_v<Out, IndexedBlock>) {
        blocks.push_back(IndexedBlock{at, static_cast<uint32_t>(value - 1)});
      } else {
        blocks.push_back(Block{at, table[value - 1]});
      }
      if (++count == max) {
        used = i + 1;
        return Status{};
      }
    }
    return std::nullopt;
  };
  std::optional<Status> stop = with_cell_type(run.width, visit);
  appended = count;
  if (stop) {
    index = run.walk_index + used;
    return std::move(*stop);
  }
  used = length;
  return Status{};
}

Status LazyPaletteBlockStoreWrapper::append_blocks(uint64_t& index, std::vector<Block>& blocks,
                                                   size_t max) const {
  return append(index, blocks, max);
}

Status LazyPaletteBlockStoreWrapper::append_blocks(uint64_t& index,
                                                   std::vector<IndexedBlock>& blocks,
                                                   size_t max) const {
  return append(index, blocks, max);
}

template <class Out>
Status LazyPaletteBlockStoreWrapper::append(uint64_t& index, std::vector<Out>& blocks,
                                            size_t max) const {
  const Boundary box = inner_->boundary();
  const uint64_t volume = box.volume().value_or(UINT64_MAX);
  if (max == 0 || index >= volume) return {};
  if (!actual_palette_) return fail("Can not access blocks if palette is not provided");
  if (!dense_) dense_ = inner_->stored_cell_count() >= volume / kDenseRatio;
  size_t appended = 0;

  if (!*dense_) {
    // The walk kept from the last read goes on where it stopped; any other start needs a new one.
    if (!walk_ || walk_at_ != index) walk_.emplace(inner_->stored_cells(index));
    while (std::optional<StoredRun> run = walk_->next_run()) {
      uint64_t used = 0;
      Status status = scan_run(*run, index, used, blocks, max, appended);
      if (!status || appended == max) {
        walk_->give_back(used);
        walk_at_ = index;
        return status;
      }
    }
    index = volume;
    walk_at_ = index;
    return {};
  }

  // Line by line along the walk: one run per stretch of cells along z that lie side by side in a
  // page, an empty stretch costing one page lookup.
  const std::array<uint64_t, 3> start = walk_offsets(index, box.d_y, box.d_z);
  auto x = static_cast<uint32_t>(start[0]);
  auto y = static_cast<uint32_t>(start[1]);
  auto z = static_cast<uint32_t>(start[2]);
  while (x < box.d_x) {
    BlockPosition position{static_cast<int32_t>(static_cast<uint32_t>(box.min.x) + x),
                           static_cast<int32_t>(static_cast<uint32_t>(box.min.y) + y),
                           static_cast<int32_t>(static_cast<uint32_t>(box.min.z) + z)};
    PagedBlockStore::CellRun cells = inner_->cells_along_z(position, box.d_z - z);
    if (cells.cells != nullptr) {
      uint64_t used = 0;
      KUBREL_TRY(scan_run({index, position, cells.cells, cells.width, cells.length}, index, used,
                          blocks, max, appended));
      if (appended == max) return {};
    }
    index += cells.length;
    z += static_cast<uint32_t>(cells.length);
    if (z < box.d_z) continue;
    z = 0;
    if (++y < box.d_y) continue;
    y = 0;
    ++x;
  }
  return {};
}

}  // namespace kubrel
