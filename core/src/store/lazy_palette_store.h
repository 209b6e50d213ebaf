// A store that takes blocks under temporary palette ids before the real palette is known, for
// formats whose block data may come before their palette. Each cell holds a placeholder state
// ("unknown" with property id=<n>); reads swap it for the real state once a palette is attached.
#pragma once

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
#include "store/paged_block_store.h"

namespace kubrel {

// The most distinct temporary ids one store takes. Each costs a placeholder state and a palette
// entry (a few hundred bytes) while a block id in the file may take only a byte or five, so the
// count is bounded; real palettes stay far below it.
inline constexpr size_t kMaxTemporaryIds = size_t{1} << 18;

class LazyPaletteBlockStoreWrapper final : public Region {
 public:
  // An empty store for the box at (0, 0, 0) with the given sizes; it never grows. Fails, like the
  // paged store, for a size that is negative (2^31 or more as unsigned) or too large to page.
  [[nodiscard]] static Result<LazyPaletteBlockStoreWrapper> empty_fixed_from_size(int32_t d_x,
                                                                                  int32_t d_y,
                                                                                  int32_t d_z);

  // Stores the placeholder for `temp_id` at `position`. Fails with "Position out of bounds and
  // store is not resizable" outside the box, and with "Too many distinct temporary ids (more than
  // 262144)" for a new temporary id beyond kMaxTemporaryIds.
  [[nodiscard]] Status set_unknown_block(const BlockPosition& position, int64_t temp_id);
  [[nodiscard]] Status set_unknown_block_at(int32_t x, int32_t y, int32_t z, int64_t temp_id) {
    return set_unknown_block({x, y, z}, temp_id);
  }

  // Stores the placeholder of temp_ids[i] at position start + i of the walk of the box in
  // `order`, for every i. The walk must hold those positions (start + size <= volume). Equivalent
  // to set_unknown_block per id, without its per-position checks and lookups; on a failure (a new
  // temporary id beyond kMaxTemporaryIds) `failed`, if given, receives the walk index of the id
  // that failed, and the ids before it stay stored.
  [[nodiscard]] Status set_unknown_blocks_along(AxisOrder order, uint64_t start,
                                                std::span<const int32_t> temp_ids,
                                                uint64_t* failed = nullptr);

  // Attaches the palette from temporary id to real state, replacing any earlier one. May be
  // called before or after blocks are stored.
  void set_actual_palette(std::unordered_map<int64_t, BlockStateRef> palette);

  // The real state at `position`, none for an empty cell. Fails with "Can not access blocks if
  // palette is not provided" before any palette is attached (whatever the position), with
  // "Position out of bounds" outside the box and with "Temporary ID not found in actual palette"
  // when the palette lacks the block's temporary id (a null state counts as lacking).
  [[nodiscard]] Result<std::optional<BlockStateRef>> block_at(const BlockPosition& position) const;

  // The real state of a cell that holds inner palette id `inner_id`; fails like block_at.
  [[nodiscard]] Result<BlockStateRef> resolve_cell(size_t inner_id) const;

  // Appends the non-air blocks of the XYZ walk of the box from walk position `index` on, in walk
  // order, until `max` are appended or the walk ends; `index` is moved past every position
  // visited, so the next call goes on after the last block appended. Fails like block_at at the
  // first failing position (a palette attached is checked only once a position is visited), with
  // `index` left at that position and the blocks appended before it in `blocks`. The time taken
  // follows what the store holds, not the volume of the box, however sparse the box; the store
  // must not change between calls that continue one another.
  [[nodiscard]] Status append_blocks(uint64_t& index, std::vector<Block>& blocks, size_t max) const;
  // The same, each block naming its state by its cell's inner palette id (see indexed_state).
  [[nodiscard]] Status append_blocks(uint64_t& index, std::vector<IndexedBlock>& blocks,
                                     size_t max) const;
  // The real state behind an inner palette id that an appended IndexedBlock names; it stays the
  // same until another palette is attached.
  const BlockStateRef& indexed_state(uint32_t inner_id) const { return resolved_[inner_id]; }

  bool contains(const BlockPosition& position) const override { return inner_->contains(position); }
  // The positions of the box in `order`.
  std::unique_ptr<PositionIterator> iter(AxisOrder order) const override {
    return inner_->iter(order);
  }
  // The box, for callers that walk it with a BoundaryIterator of their own.
  Boundary boundary() const { return inner_->boundary(); }
  // The store of placeholders (for inspection).
  const PagedBlockStore& inner() const { return *inner_; }

 private:
  static constexpr size_t kNoInnerId = SIZE_MAX;
  // Temporary ids below this are looked up in a table rather than a hash map.
  static constexpr int64_t kDenseTempIds = 1 << 16;

  struct TempEntry {
    BlockStateRef placeholder;
    size_t inner_id = kNoInnerId;  // the placeholder's id in the inner palette, once stored
  };

  explicit LazyPaletteBlockStoreWrapper(std::unique_ptr<PagedBlockStore> inner)
      : inner_(std::move(inner)) {}

  // The entry for `temp_id`, its placeholder formatted and kept on first use; fails when that
  // would exceed kMaxTemporaryIds.
  [[nodiscard]] Result<TempEntry*> temp_state_from_temp_id(int64_t temp_id);
  // Resolves the temporary id behind inner palette id `inner_id` through the attached palette.
  void resolve(size_t inner_id);
  // Appends the non-air blocks of one run of raw cells, counting them in `appended`, until `max`
  // are; `used` tells how many cells were passed. At the max-th block `index` stands after it; at
  // a cell that does not resolve, the failure is returned with `index` at that cell.
  template <class Out>
  [[nodiscard]] Status scan_run(const StoredRun& run, uint64_t& index, uint64_t& used,
                                std::vector<Out>& blocks, size_t max, size_t& appended) const;
  // append_blocks for either kind of block.
  template <class Out>
  [[nodiscard]] Status append(uint64_t& index, std::vector<Out>& blocks, size_t max) const;
  // Forgets the walk kept between reads (after a write to the store).
  void forget_walk() const {
    walk_.reset();
    dense_.reset();
  }

  std::unique_ptr<PagedBlockStore> inner_;
  std::vector<TempEntry> dense_temp_states_;
  std::unordered_map<int64_t, TempEntry> sparse_temp_states_;
  size_t temp_id_count_ = 0;
  // Indexed by inner palette id: the temporary id whose placeholder has that id.
  std::vector<int64_t> temp_id_of_inner_;
  std::optional<std::unordered_map<int64_t, BlockStateRef>> actual_palette_;
  // Indexed by inner palette id: the real state, null when the palette lacks it. Rebuilt when a
  // palette is attached, so reads neither hash nor parse.
  std::vector<BlockStateRef> resolved_;
  // What a raw cell holding each value (inner id + 1, 0 when empty) yields, kept beside resolved_:
  // the walk sorts out the air and empty cells, most of a terrain, from one byte per cell without
  // following the state's pointer.
  enum CellKind : uint8_t { kSkipCell, kBlockCell, kMissingCell };
  std::vector<CellKind> cell_kinds_{kSkipCell};

  // How append_blocks reads, decided at the first read: a box that stores at least one cell in
  // kDenseRatio is read line by line along the walk, whose empty stretches then cost little; a
  // sparser one through a StoredCellWalk kept between reads, which skips empty space at no cost
  // but merges its pages at some cost per run.
  static constexpr uint64_t kDenseRatio = 8;
  mutable std::optional<bool> dense_;
  mutable std::optional<StoredCellWalk> walk_;
  // The walk index the kept walk stands at.
  mutable uint64_t walk_at_ = 0;
};

}  // namespace kubrel
