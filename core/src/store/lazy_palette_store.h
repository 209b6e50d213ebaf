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

class LazyPaletteBlockStoreWrapper final : public Region {
 public:
  // An empty store for the box at (0, 0, 0) with the given sizes; it never grows. Fails, like the
  // paged store, for a size that is negative (2^31 or more as unsigned) or too large to page.
  [[nodiscard]] static Result<LazyPaletteBlockStoreWrapper> empty_fixed_from_size(int32_t d_x,
                                                                                  int32_t d_y,
                                                                                  int32_t d_z);

  // Stores the placeholder for `temp_id` at `position`. Fails with "Position out of bounds and
  // store is not resizable" outside the box.
  [[nodiscard]] Status set_unknown_block(const BlockPosition& position, int64_t temp_id);
  [[nodiscard]] Status set_unknown_block_at(int32_t x, int32_t y, int32_t z, int64_t temp_id) {
    return set_unknown_block({x, y, z}, temp_id);
  }

  // Stores the placeholder of temp_ids[i] at position start + i of the walk of the box in
  // `order`, for every i. The walk must hold those positions (start + size <= volume). Equivalent
  // to set_unknown_block per id, without its per-position checks and lookups.
  [[nodiscard]] Status set_unknown_blocks_along(AxisOrder order, uint64_t start,
                                                std::span<const int32_t> temp_ids);

  // Attaches the palette from temporary id to real state, replacing any earlier one. May be
  // called before or after blocks are stored.
  void set_actual_palette(std::unordered_map<int64_t, BlockStateRef> palette);

  // The real state at `position`, none for an empty cell. Fails with "Can not access blocks if
  // palette is not provided" before any palette is attached (whatever the position), with
  // "Position out of bounds" outside the box and with "Temporary ID not found in actual palette"
  // when the palette lacks the block's temporary id (a null state counts as lacking).
  [[nodiscard]] Result<std::optional<BlockStateRef>> block_at(const BlockPosition& position) const;

  // Appends the non-air blocks of the XYZ walk of the box from walk position `index` on, in walk
  // order, until `max` are appended or the walk ends; `index` is moved past every position
  // visited, so the next call goes on after the last block appended. Fails like block_at at the
  // first failing position (a palette attached is checked only once a position is visited), with
  // `index` left at that position and the blocks appended before it in `blocks`.
  [[nodiscard]] Status append_blocks(uint64_t& index, std::vector<Block>& blocks, size_t max) const;

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

  // The entry for `temp_id`, its placeholder formatted and kept on first use.
  TempEntry& temp_state_from_temp_id(int64_t temp_id);
  // Resolves the temporary id behind inner palette id `inner_id` through the attached palette.
  void resolve(size_t inner_id);

  std::unique_ptr<PagedBlockStore> inner_;
  std::vector<TempEntry> dense_temp_states_;
  std::unordered_map<int64_t, TempEntry> sparse_temp_states_;
  // Indexed by inner palette id: the temporary id whose placeholder has that id.
  std::vector<int64_t> temp_id_of_inner_;
  std::optional<std::unordered_map<int64_t, BlockStateRef>> actual_palette_;
  // Indexed by inner palette id: the real state, null when the palette lacks it. Rebuilt when a
  // palette is attached, so reads neither hash nor parse.
  std::vector<BlockStateRef> resolved_;
};

}  // namespace kubrel
