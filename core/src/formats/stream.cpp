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
