// The interface of every schematic reader: blocks handed out in bulks whose size the caller
// chooses, and the schematic's boundary. read and boundary come from each reader; the bulk helpers
// are written once here against read.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <unordered_map>
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

  // As read, each block naming its state by an index into this reader's state table
  // (indexed_state) rather than holding a handle: a consumer that makes objects of its own per
  // block then counts references per state, not per block. An index handed out keeps its state
  // for the reader's life. This default reads through read and gives each distinct state an index
  // of its own; readers with a palette hand out the palette's indices instead.
  [[nodiscard]] virtual Result<ReadCount> read_indexed(std::vector<IndexedBlock>& blocks,
                                                       size_t max);
  // The state of an index that read_indexed handed out.
  [[nodiscard]] virtual const BlockStateRef& indexed_state(uint32_t index) const;

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

 protected:
  // How many states the default read_indexed has indexed so far: its indices lie below this.
  size_t default_indexed_count() const { return handed_states_.size(); }

 private:
  // The default read_indexed's table: each state it handed out, once, with the index of each.
  std::vector<BlockStateRef> handed_states_;
  std::unordered_map<const BlockState*, uint32_t> handed_indices_;
};

class ByteSource;

// Makes a format's reader over `source`, which yields the decompressed document; reads nothing.
using SchematicFactory =
    std::unique_ptr<SchematicInputStream> (*)(std::unique_ptr<ByteSource> source);

}  // namespace kubrel
