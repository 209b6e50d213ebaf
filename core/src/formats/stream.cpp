// The bulk operations every schematic reader shares, written against its read.
#include "formats/stream.h"

#include <algorithm>
#include <iterator>

#include "store/block_store.h"

namespace kubrel {

Result<std::optional<std::vector<Block>>> SchematicInputStream::read_next(size_t max) {
  std::vector<Block> bulk;
  // Room for a full bulk up front, capped so that an outsized `max` cannot exhaust memory.
  bulk.reserve(std::min(max, kMaxBulkReservation));
  KUBREL_ASSIGN_OR_RETURN(ReadCount count, read(bulk, max));
  if (!count) return std::optional<std::vector<Block>>{};
  return std::optional<std::vector<Block>>{std::move(bulk)};
}

Result<ReadCount> SchematicInputStream::read_indexed(std::vector<IndexedBlock>& blocks,
                                                     size_t max) {
  std::vector<Block> read_blocks;
  KUBREL_ASSIGN_OR_RETURN(ReadCount count, read(read_blocks, max));
  // The table holds each state it indexed, so no state's address can be taken by another one.
  for (Block& block : read_blocks) {
    auto [at, added] = handed_indices_.try_emplace(block.state.get(),
                                                   static_cast<uint32_t>(handed_states_.size()));
    if (added) handed_states_.push_back(std::move(block.state));
    blocks.push_back(IndexedBlock{block.position, at->second});
  }
  return count;
}

const BlockStateRef& SchematicInputStream::indexed_state(uint32_t index) const {
  return handed_states_[index];
}

Status SchematicInputStream::read_to_end(BlockStore& store) {
  // One list serves every pass; it never holds more than one bulk.
  std::vector<Block> bulk;
  while (true) {
    bulk.clear();
    KUBREL_ASSIGN_OR_RETURN(ReadCount count, read(bulk, kReadToEndBulk));
    if (!count) return {};
    KUBREL_TRY(store.insert(bulk, 0, *count));
  }
}

Result<std::vector<Block>> SchematicInputStream::read_to_end_into_vec() {
  std::vector<Block> result;
  while (true) {
    std::vector<Block> bulk;
    KUBREL_ASSIGN_OR_RETURN(ReadCount count, read(bulk, kReadToEndBulk));
    if (!count) return result;
    result.insert(result.end(), std::make_move_iterator(bulk.begin()),
                  std::make_move_iterator(bulk.end()));
  }
}

}  // namespace kubrel
