// The operations every block store shares, written against the per-store ones.
#include "store/block_store.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>

namespace kubrel {

namespace {

// Walks the store's boundary and yields the positions that hold a non-air state.
class StoreBlockIterator final : public BlockIterator {
 public:
  StoreBlockIterator(const BlockStore& store, AxisOrder order)
      : store_(store), positions_(store.iter(order)) {}

  std::optional<Block> next() override {
    while (std::optional<BlockPosition> position = positions_->next()) {
      Result<std::optional<BlockStateRef>> state = store_.block_at(*position);
      if (state && *state && !(**state)->is_air()) return Block{*position, std::move(**state)};
    }
    return std::nullopt;
  }

 private:
  const BlockStore& store_;
  std::unique_ptr<PositionIterator> positions_;
};

constexpr int64_t kMaxGrownSize = 1024;

}  // namespace

Status BlockStore::insert(const std::vector<Block>& blocks, size_t offset, size_t count) {
  // A caller's miscount must not read past the list.
  if (offset > blocks.size() || count > blocks.size() - offset) {
    return fail("Insert range exceeds the block list");
  }
  for (size_t i = offset; i < offset + count; ++i) {
    KUBREL_TRY(set_block_at(blocks[i].position, blocks[i].state));
  }
  return {};
}

std::unique_ptr<BlockIterator> BlockStore::iterate_blocks(AxisOrder order) const {
  return std::make_unique<StoreBlockIterator>(*this, order);
}

Status BlockStore::_expand_or_throw(const BlockPosition& position) {
  Boundary current = boundary();
  if (current.contains(position)) return {};
  if (!resizable()) return fail("Position out of bounds and store is not resizable");
  // 64-bit bounds: a grown box is at most 1024 wide, so nothing here may wrap.
  Boundary grown = current;
  for (int a = 0; a < 3; ++a) {
    int64_t lo = current.min[a];
    int64_t hi = lo + int64_t{current.size(a)} - 1;
    int64_t new_lo = std::min<int64_t>(lo, position[a]);
    int64_t new_hi = std::max<int64_t>(hi, position[a]);
    int64_t size = new_hi - new_lo + 1;
    if (size > kMaxGrownSize) return fail("Cannot expand boundary beyond 1024 in any dimension");
    grown.min[a] = static_cast<int32_t>(new_lo);
    (a == 0 ? grown.d_x : (a == 1 ? grown.d_y : grown.d_z)) = static_cast<uint32_t>(size);
  }
  set_boundary(grown);
  return {};
}

}  // namespace kubrel
