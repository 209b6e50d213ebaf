// The reader of Mojang's structure files: an NBT document with a "size" list of three Ints, a
// "palette" list of block state compounds and a "blocks" list of {pos, state} compounds. The
// palette and block lists may come in either order, but both after the size list: the box is made
// for the size known when the first of them is met, and a block outside it is refused. The
// document is pulled as tag events, never as a tree; blocks are parked under their palette index
// until the palette is known.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "common/error.h"
#include "common/geometry.h"
#include "formats/root_outline.h"
#include "formats/stream.h"
#include "io/byte_source.h"
#include "nbt/nbt_events.h"
#include "store/lazy_palette_store.h"

namespace kubrel {

class MojangSchematicInputStream final : public SchematicInputStream {
 public:
  // Takes ownership of `source`, which yields the decompressed document; reads nothing yet.
  explicit MojangSchematicInputStream(std::unique_ptr<ByteSource> source);

  // Reads the whole document on the first call (returning its failure, if any, once), then hands
  // out the non-air blocks of the box in walk order XYZ, at most `max` per call; `max` 0 returns
  // 0 and reads nothing. "Blocks not initialized" when the document held no palette or block list;
  // "Mojang: Palette exceeds 67108864 bytes of block states" for a palette list whose states
  // would take more than kMaxPaletteBytes.
  [[nodiscard]] Result<ReadCount> read(std::vector<Block>& blocks, size_t max) override;
  // Indices are the store's inner palette ids.
  [[nodiscard]] Result<ReadCount> read_indexed(std::vector<IndexedBlock>& blocks,
                                               size_t max) override;
  [[nodiscard]] const BlockStateRef& indexed_state(uint32_t index) const override {
    return store_->indexed_state(index);
  }

  // Min (0, 0, 0) and the "size" list's values, read from the document on the first call; none
  // when a size is 0 or none was found.
  [[nodiscard]] Result<std::optional<Boundary>> boundary() override;

  // Known once the document's walk has passed the end of its root compound, whatever came after.
  [[nodiscard]] const RootOutline* root_outline() const override {
    return outline_.complete() ? &outline_ : nullptr;
  }

 private:
  // Consumes the document to its end, once: a failure is reported by the call that meets it,
  // and later calls go on with whatever was read.
  [[nodiscard]] Status ensure_header_read();
  [[nodiscard]] Status read_size_list();
  [[nodiscard]] Status read_palette_list();
  [[nodiscard]] Status read_block_list();
  // Creates the store for the size known now, if there is none yet.
  [[nodiscard]] Status ensure_store();
  // read for either kind of block.
  template <class Out>
  [[nodiscard]] Result<ReadCount> read_into(std::vector<Out>& blocks, size_t max);

  NbtEventParser parser_;
  RootOutline outline_;
  std::array<int64_t, 3> size_{0, 0, 0};
  std::optional<LazyPaletteBlockStoreWrapper> store_;
  uint64_t position_index_ = 0;
  bool header_read_ = false;
};

}  // namespace kubrel
