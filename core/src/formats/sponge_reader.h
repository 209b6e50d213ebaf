// Reads a Sponge schematic (flat layout of versions 1 and 2, nested layout of version 3): the whole
// NBT document is decoded on the first call, every block id is placed in a lazy palette store, and
// the blocks are then handed out along the XYZ walk of the box, air left out.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "formats/stream.h"
#include "io/byte_source.h"
#include "store/lazy_palette_store.h"

namespace kubrel {

class NbtCompound;

class SpongeSchematicInputStream final : public SchematicInputStream {
 public:
  explicit SpongeSchematicInputStream(std::unique_ptr<ByteSource> source);

  Result<ReadCount> read(std::vector<Block>& blocks, size_t max) override;
  // Indices are the store's inner palette ids.
  Result<ReadCount> read_indexed(std::vector<IndexedBlock>& blocks, size_t max) override;
  const BlockStateRef& indexed_state(uint32_t index) const override {
    return store_->indexed_state(index);
  }
  Result<std::optional<Boundary>> boundary() override;

  bool awaits_outline() const override { return !started_; }
  // A document whose root has neither a "Schematic" compound nor the flat layout's "Height".
  bool fails_on(const RootOutline& outline) const override;

  // Decodes the document, takes the box size, builds the palette and places every block.
  [[nodiscard]] Status read_header();

 private:
  [[nodiscard]] Status process_palette(const NbtCompound& schematic);
  // The id arrays the document decoder hands over.
  class IdArrays;

  // `nested` tells a document with a "Schematic" compound from one whose root is the schematic.
  [[nodiscard]] Status process_blocks(const NbtCompound& schematic, bool nested, IdArrays& ids);
  // read for either kind of block.
  template <class Out>
  [[nodiscard]] Result<ReadCount> read_into(std::vector<Out>& blocks, size_t max);

  std::unique_ptr<BufferedSource> source_;
  std::optional<LazyPaletteBlockStoreWrapper> store_;
  std::optional<Boundary> boundary_;
  uint64_t position_index_ = 0;
  bool header_read_ = false;
  // Whether reading the header has begun, successfully or not.
  bool started_ = false;
};

}  // namespace kubrel
