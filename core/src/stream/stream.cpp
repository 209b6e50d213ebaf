#include "stream/stream.h"

#include <iterator>

#include "store/block_store.h"

namespace kubrel {

Result<std::optional<std::vector<Block>>> SchematicInputStream::read_next(size_t max) {
  std::vector<Block> bulk;
  bulk.reserve(max);
  KUBREL_ASSIGN_OR_RETURN(ReadCount count, read(bulk, max));
  if (!count) return std::optional<std::vector<Block>>{};
  return std::optional<std::vector<Block>>{std::move(bulk)};
}

Status SchematicInputStream::read_to_end(BlockStore& store) {
  while (true) {
    std::vector<Block> bulk;
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
