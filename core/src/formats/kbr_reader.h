// Reader of KBR, our own compact schematic format: a VarInt-coded header (magic, version, the box
// as two inclusive corners, a walk order) and a body of palette definitions and runs of blocks
// along the walk of the box. Air takes up positions but is never handed out.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/block_state.h"
#include "common/error.h"
#include "common/geometry.h"
#include "formats/stream.h"
#include "io/byte_source.h"

namespace kubrel {

// "KBRFMT" read as a big-endian number; the first field of every KBR file.
inline constexpr int64_t kKbrMagic = 0x4B5242464D54;
inline constexpr int32_t kKbrVersion = 1;
// The longest String accepted; a longer one is read through and refused.
inline constexpr size_t kKbrMaxStringLength = size_t{1} << 20;

class KBRSchematicInputStream final : public SchematicInputStream {
 public:
  // Takes ownership of `source` and buffers it. Reads nothing.
  explicit KBRSchematicInputStream(std::unique_ptr<ByteSource> source);

  // Reads the header and returns the box and walk order. Fails with "KBR: Header already read"
  // on a second call, with a "KBR: " message on a wrong magic, version or walk order, or with the
  // byte source's error ("failed to fill whole buffer" when the input ends inside the header).
  // Nothing is stored on failure; a later call goes on from wherever the source stands.
  [[nodiscard]] Result<std::pair<Boundary, AxisOrder>> read_header();

  // Appends up to `max` non-air blocks in walk order, reading the header first if needed. A run
  // cut off by `max` goes on in the next call. End-of-stream only when the input ended cleanly
  // where an instruction would start and nothing was appended; input that ends inside an
  // instruction is an error. `max` 0 returns 0 without reading anything. Beyond the format's own
  // faults, fails with "KBR: String length N exceeds maximum of 1048576" and "KBR: Palette
  // exceeds 67108864 bytes of block states".
  [[nodiscard]] Result<ReadCount> read(std::vector<Block>& blocks, size_t max) override;
  // Indices are palette entries (entry k has the id 2k + 2).
  [[nodiscard]] Result<ReadCount> read_indexed(std::vector<IndexedBlock>& blocks,
                                               size_t max) override;
  [[nodiscard]] const BlockStateRef& indexed_state(uint32_t index) const override {
    return palette_[index];
  }

  // The header's box, reading the header first if needed.
  [[nodiscard]] Result<std::optional<Boundary>> boundary() override;

 private:
  [[nodiscard]] Result<int32_t> read_var_int();
  // The rest of a VarInt whose first byte has been read.
  [[nodiscard]] Result<int32_t> finish_var_int(uint8_t first);
  [[nodiscard]] Result<int64_t> read_var_long();
  [[nodiscard]] Result<std::string> read_string();
  [[nodiscard]] Result<AxisOrder> read_axis_order();

  // Reads instructions up to and including the next run, which becomes the current one; false
  // when the input ended cleanly first.
  [[nodiscard]] Result<bool> read_next_run();
  // Appends `state` to the palette, within kMaxPaletteBytes: a difference copies its base state,
  // so a few bytes of input could otherwise each cost a whole large state.
  [[nodiscard]] Status add_entry(BlockState state);
  // The palette entry with `id`, or null.
  const BlockStateRef* find_entry(int32_t id) const;
  // Lays the next `count` positions of the current run into `blocks` (nothing for air).
  template <class Out>
  [[nodiscard]] Status lay_run(std::vector<Out>& blocks, uint64_t count);
  // read for either kind of block.
  template <class Out>
  [[nodiscard]] Result<ReadCount> read_into(std::vector<Out>& blocks, size_t max);

  BufferedSource source_;
  // Entry k has the id 2k + 2.
  std::vector<BlockStateRef> palette_;
  size_t palette_bytes_ = 0;
  // Positions of the walk consumed so far, air included.
  uint64_t position_ = 0;
  // The walk, kept between runs so that consecutive runs cost no jump; walk_next_ is the index of
  // the position its next() returns.
  std::optional<BoundaryIterator> walk_;
  uint64_t walk_next_ = 0;
  // Positions of the walk, capped at the largest position count we can track.
  uint64_t walk_length_ = 0;
  BlockStateRef current_;
  // The palette entry current_ came from.
  uint32_t current_index_ = 0;
  std::optional<Boundary> boundary_;
  std::optional<AxisOrder> axis_order_;
  int32_t remaining_ = 0;
  bool header_read_ = false;
  bool ended_ = false;
};

}  // namespace kubrel
