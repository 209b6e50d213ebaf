// The interface of every schematic reader: blocks handed out in bulks whose size the caller
// chooses, and the schematic's boundary. read and boundary come from each reader; the bulk helpers
// are written once here against read.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

#include "common/block_state.h"
#include "common/error.h"
#include "common/geometry.h"

namespace kubrel {

class BlockStore;
class RootOutline;

// What one read produced: the count of blocks appended (0 included), or std::nullopt at the end of
// the stream.
using ReadCount = std::optional<size_t>;

// Bulk size of read_to_end and read_to_end_into_vec.
inline constexpr size_t kReadToEndBulk = 4096;
// The most blocks read_next reserves room for before reading.
inline constexpr size_t kMaxBulkReservation = 65536;

class SchematicInputStream {
 public:
  virtual ~SchematicInputStream() = default;

  // Appends at most `max` blocks to `blocks` (never touching what is already there) and returns
  // how many, or end-of-stream when it appended nothing and never will again, or an error (blocks
  // appended during the failing call are to be discarded by the caller). `max` 0 returns the count
  // 0 at once and changes nothing, whatever state the reader is in.
  [[nodiscard]] virtual Result<ReadCount> read(std::vector<Block>& blocks, size_t max) = 0;

  // One bulk of at most `max` blocks (possibly empty), or none at the end of the stream; the
  // blocks of a failing read are discarded.
  [[nodiscard]] Result<std::optional<std::vector<Block>>> read_next(size_t max);
  // Every remaining block into `store`, in bulks of 4096; bulks inserted before an error stay.
  [[nodiscard]] Status read_to_end(BlockStore& store);
  // Every remaining block, or only the error.
  [[nodiscard]] Result<std::vector<Block>> read_to_end_into_vec();

  // The schematic's boundary, reading the header first if needed; none when the reader knows of no
  // boundary.
  [[nodiscard]] virtual Result<std::optional<Boundary>> boundary() = 0;

  // For detection, which runs one reader per format over the same document. The outline of the
  // document's root, when this reader has walked past the root's end; else null.
  [[nodiscard]] virtual const RootOutline* root_outline() const { return nullptr; }
  // Whether this reader has not read yet and can tell from an outline that it would fail: detection
  // then reads it after the others, and not at all once fails_on says so.
  [[nodiscard]] virtual bool awaits_outline() const { return false; }
  // Whether this reader, before reading, is sure to fail on a document whose root has `outline`.
  [[nodiscard]] virtual bool fails_on(const RootOutline& /*outline*/) const { return false; }
};

class ByteSource;

// Makes a format's reader over `source`, which yields the decompressed document; reads nothing.
using SchematicFactory =
    std::unique_ptr<SchematicInputStream> (*)(std::unique_ptr<ByteSource> source);

}  // namespace kubrel
