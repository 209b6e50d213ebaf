// The abstract store of at most one block state per position of a box. Stores are owned by one
// holder and used through this interface; insert, iterate_blocks and _expand_or_throw are written
// once here against the per-store operations.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

#include "common/block_state.h"
#include "common/error.h"
#include "common/geometry.h"

namespace kubrel {

class BlockIterator {
 public:
  virtual ~BlockIterator() = default;
  virtual std::optional<Block> next() = 0;
};

class BlockStore : public Region {
 public:
  // contains(position) and iter(order) come from Region.

  // The state at `position`, none for an empty cell; an error outside the boundary.
  [[nodiscard]] virtual Result<std::optional<BlockStateRef>> block_at(
      const BlockPosition& position) const = 0;
  [[nodiscard]] virtual Status set_block_at(const BlockPosition& position, BlockStateRef state) = 0;
  [[nodiscard]] virtual Status remove_block_at(const BlockPosition& position) = 0;
  virtual Boundary boundary() const = 0;
  virtual void set_boundary(const Boundary& boundary) = 0;
  virtual bool resizable() const = 0;

  // Stores blocks[offset] .. blocks[offset + count - 1] in order and stops at the first error;
  // blocks stored before it stay stored. A range past the end of `blocks` stores nothing and
  // fails with "Insert range exceeds the block list".
  [[nodiscard]] Status insert(const std::vector<Block>& blocks, size_t offset, size_t count);
  // The non-air blocks of the boundary in `order`; empty cells and errors are passed over. The
  // iterator refers to the store, which must outlive it and stay unchanged while it is used.
  std::unique_ptr<BlockIterator> iterate_blocks(AxisOrder order) const;
  // Allows a write at `position`, growing the boundary of a resizable store (to at most 1024 per
  // axis). Despite its name it throws nothing: a position it cannot allow is an error value,
  // "Position out of bounds and store is not resizable" or "Cannot expand boundary beyond 1024 in
  // any dimension".
  [[nodiscard]] Status _expand_or_throw(const BlockPosition& position);
};

}  // namespace kubrel
