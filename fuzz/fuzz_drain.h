// What the reader fuzz targets share: read a stream the way its users do (boundary before, for
// even-sized inputs, then between and after bulks of several sizes, one retry after a failure) and
// check the read contract on every call, so that a broken promise stops the fuzzer like a crash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "common/block_state.h"
#include "formats/stream.h"

namespace kubrel::fuzz {

// A legitimate file may describe billions of blocks; past this many the reading stops (further
// blocks take the paths the first ones took).
inline constexpr size_t kMaxBlocks = size_t{1} << 12;
inline constexpr size_t kMaxCalls = size_t{1} << 9;

#define KUBREL_FUZZ_CHECK(condition) \
  do {                               \
    if (!(condition)) std::abort();  \
  } while (0)

// Asking for the boundary first settles detection on headers alone, so the reads that detect by
// blocks run only when it is not asked first: odd-sized inputs start with a read.
inline void drain(SchematicInputStream& stream, size_t input_size) {
  static constexpr size_t kBulkSizes[] = {1, 1024, 7, 4096};
  if (input_size % 2 == 0) (void)stream.boundary();
  size_t blocks = 0;
  for (size_t call = 0; call < kMaxCalls && blocks < kMaxBlocks; ++call) {
    std::vector<Block> bulk;
    const size_t max = kBulkSizes[call % 4];
    Result<ReadCount> count = stream.read(bulk, max);
    if (!count) {
      // A failed stream stays usable; the retry must end, fail or go on, but not crash.
      std::vector<Block> retry;
      (void)stream.read(retry, max);
      break;
    }
    if (!*count) {
      KUBREL_FUZZ_CHECK(bulk.empty());
      std::vector<Block> after;
      Result<ReadCount> again = stream.read(after, max);
      KUBREL_FUZZ_CHECK(after.empty());
      KUBREL_FUZZ_CHECK(!again || !*again);
      break;
    }
    KUBREL_FUZZ_CHECK(**count == bulk.size() && bulk.size() <= max);
    for (const Block& block : bulk) KUBREL_FUZZ_CHECK(block.state && !block.state->is_air());
    blocks += bulk.size();
    if (call == 2) (void)stream.boundary();
  }
  (void)stream.boundary();
}

}  // namespace kubrel::fuzz
