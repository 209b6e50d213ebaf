#include "stream/sponge_reader.h"

#include <string>
#include <unordered_map>

#include "stream/nbt_tree.h"

namespace kubrel {

namespace {

constexpr uint8_t kContinue = 0x80;

// The tags the reader looks at; the tree keeps nothing else of the document. "Blocks" is kept
// whatever its kind, so that a ByteArray there (an older layout) is still reported.
constexpr NbtTreeFilter::Member kBlocksMembers[] = {{"Palette", nullptr}, {"Data", nullptr}};
constexpr NbtTreeFilter kBlocksFilter{kBlocksMembers};
constexpr NbtTreeFilter::Member kSchematicMembers[] = {
    {"Width", nullptr},   {"Height", nullptr},    {"Length", nullptr},
    {"Palette", nullptr}, {"BlockData", nullptr}, {"Blocks", &kBlocksFilter}};
constexpr NbtTreeFilter kSchematicFilter{kSchematicMembers};
constexpr NbtTreeFilter::Member kRootMembers[] = {{"Schematic", &kSchematicFilter},
                                                  {"Width", nullptr},
                                                  {"Height", nullptr},
                                                  {"Length", nullptr},
                                                  {"Palette", nullptr},
                                                  {"BlockData", nullptr},
                                                  {"Blocks", &kBlocksFilter}};
// A palette this large could not fit the palette's memory limit anyway, and each kept value
// costs tens of bytes of tree however short it is in the file.
constexpr uint64_t kMaxKeptValues = uint64_t{1} << 20;
constexpr NbtTreeFilter kRootFilter{kRootMembers, kMaxKeptValues};

// Memory of one palette entry besides its state: the handle and the map node.
constexpr size_t kPaletteEntryOverhead = 64;

// Visits the block ids of a Sponge id array, one VarInt per position, stopping at the first
// failure. `visit` returns a Status; its error ends the decoding.
template <class Visit>
Status for_each_id(const NbtByteArray& data, Visit&& visit) {
  const uint8_t* p = data.data();
  const uint8_t* end = p + data.size();
  while (p < end) {
    uint32_t value = *p & 0x7F;
    if (!(*p++ & kContinue)) [[likely]] {
      KUBREL_TRY(visit(static_cast<int32_t>(value)));
      continue;
    }
    for (int shift = 7;; shift += 7) {
      if (p == end) return fail("Sponge: VarInt array ended unexpectedly");
      uint8_t byte = *p++;
      if (shift == 28) {
        if (byte & kContinue) return fail("Sponge: VarInt is too big");
        value |= static_cast<uint32_t>(byte & 0x0F) << 28;
        break;
      }
      value |= static_cast<uint32_t>(byte & 0x7F) << shift;
      if (!(byte & kContinue)) break;
    }
    KUBREL_TRY(visit(static_cast<int32_t>(value)));
  }
  return {};
}

Result<int16_t> dimension(const NbtCompound& schematic, std::string_view name) {
  const NbtValue* tag = schematic.find(name);
  const int16_t* value = tag ? tag->as<int16_t>() : nullptr;
  if (!value) return fail("Sponge: Missing or invalid '" + std::string(name) + "' tag");
  return *value;
}

// The compound that holds "Palette" and the id array: "Blocks" in the nested layout, else the
// schematic compound itself.
Result<const NbtCompound*> block_container(const NbtCompound& schematic) {
  const NbtValue* blocks = schematic.find("Blocks");
  if (!blocks) return &schematic;
  const NbtCompound* compound = blocks->as<NbtCompound>();
  if (!compound) return fail("Sponge: 'Blocks' tag is not a Compound");
  return compound;
}

}  // namespace

SpongeSchematicInputStream::SpongeSchematicInputStream(std::unique_ptr<ByteSource> source)
    : source_(as_buffered_source(std::move(source))) {}

Status SpongeSchematicInputStream::read_header() {
  auto root = decode_nbt_tree(*source_, &kRootFilter);
  if (!root) return fail("Sponge: Failed to read NBT data: " + root.error().message);
  // The document ends before the gzip trailer; reading to the end lets a damaged member report
  // its checksum error instead of passing as a good file.
  uint8_t discard[4096];
  while (true) {
    auto got = source_->read(discard, sizeof discard);
    if (!got) return fail("Sponge: Failed to read NBT data: io error: " + got.error().message);
    if (*got == 0) break;
  }

  const NbtCompound* root_compound = root->as<NbtCompound>();
  if (!root_compound) return fail("Sponge: Root tag is not a Compound");
  const NbtCompound* schematic = root_compound;
  if (const NbtValue* nested = root_compound->find("Schematic")) {
    schematic = nested->as<NbtCompound>();
    if (!schematic) return fail("Sponge: Missing or invalid 'Schematic' tag");
  }

  KUBREL_ASSIGN_OR_RETURN(int16_t height, dimension(*schematic, "Height"));
  KUBREL_ASSIGN_OR_RETURN(int16_t length, dimension(*schematic, "Length"));
  KUBREL_ASSIGN_OR_RETURN(int16_t width, dimension(*schematic, "Width"));

  walk_.reset();
  boundary_ = Boundary{{0, 0, 0},
                       static_cast<uint32_t>(int32_t{width}),
                       static_cast<uint32_t>(int32_t{height}),
                       static_cast<uint32_t>(int32_t{length})};
  store_.reset();
  auto store = LazyPaletteBlockStoreWrapper::empty_fixed_from_size(width, height, length);
  if (!store) return fail("Sponge: Invalid schematic size: " + store.error().message);
  store_.emplace(std::move(*store));

  if (auto status = process_palette(*schematic); !status)
    return fail("Sponge: Failed to process palette: " + status.error().message);
  if (auto status = process_blocks(*schematic); !status)
    return fail("Sponge: Failed to process blocks: " + status.error().message);
  header_read_ = true;
  return {};
}

Status SpongeSchematicInputStream::process_palette(const NbtCompound& schematic) {
  if (!store_) return fail("Sponge: Blocks store not initialized before processing palette");
  KUBREL_ASSIGN_OR_RETURN(const NbtCompound* container, block_container(schematic));
  const NbtValue* palette_tag = container->find("Palette");
  if (!palette_tag) return fail("Sponge: Missing 'Palette' tag");
  const NbtCompound* palette_compound = palette_tag->as<NbtCompound>();
  if (!palette_compound) return fail("Sponge: 'Palette' tag is not a Compound");

  std::unordered_map<int64_t, BlockStateRef> palette;
  size_t palette_bytes = 0;
  for (const auto& [text, value] : *palette_compound) {
    const int32_t* id = value.as<int32_t>();
    if (!id) return fail("Sponge: Palette entry value is not an Int");
    KUBREL_ASSIGN_OR_RETURN(BlockState state, BlockState::from_string(text));
    palette_bytes += state.footprint() + kPaletteEntryOverhead;
    if (palette_bytes > kMaxPaletteBytes) {
      return fail("Sponge: Palette exceeds " + std::to_string(kMaxPaletteBytes) +
                  " bytes of block states");
    }
    palette[*id] = make_state(std::move(state));
  }
  store_->set_actual_palette(std::move(palette));
  return {};
}

Status SpongeSchematicInputStream::process_blocks(const NbtCompound& schematic) {
  if (!boundary_) return fail("Sponge: Boundary not set before processing blocks");
  if (!store_) return fail("Sponge: Blocks store not initialized before processing blocks");
  const NbtValue* blocks_tag = schematic.find("Blocks");
  KUBREL_ASSIGN_OR_RETURN(const NbtCompound* container, block_container(schematic));
  const NbtValue* data_tag = container->find(blocks_tag ? "Data" : "BlockData");
  if (!data_tag) {
    return fail(blocks_tag ? "Sponge: Missing 'Data' tag" : "Sponge: Missing 'BlockData' tag");
  }
  const NbtByteArray* data = data_tag->as<NbtByteArray>();
  if (!data) return fail("Sponge: 'BlockData' tag is not a ByteArray");

  // First pass: every VarInt must decode, and the ids must fit the box, before any block is
  // placed; the second pass can then place them without checks of its own.
  KUBREL_TRY(for_each_id(*data, [](int32_t) -> Status { return {}; }));
  BoundaryIterator walk = boundary_->walk(AxisOrder::YZX);
  return for_each_id(*data, [&](int32_t id) -> Status {
    auto position = walk.next();
    if (!position) return fail("Sponge: Boundary size mismatch (iterator exhausted before stream)");
    auto stored = store_->set_unknown_block(*position, id);
    if (!stored) {
      return fail("Sponge: Failed to copy block at pos " + position->debug_string() + ": " +
                  stored.error().message);
    }
    return {};
  });
}

Result<std::optional<Boundary>> SpongeSchematicInputStream::boundary() {
  if (!header_read_) KUBREL_TRY(read_header());
  return boundary_;
}

Result<ReadCount> SpongeSchematicInputStream::read(std::vector<Block>& blocks, size_t max) {
  if (!header_read_) KUBREL_TRY(read_header());
  if (!boundary_ || !store_) return fail("Sponge: Header not properly read");
  if (max == 0) return ReadCount{0};
  // A box with no positions holds no blocks (the walk would otherwise visit its minimum).
  const uint64_t volume = boundary_->volume().value_or(0);
  if (position_index_ >= volume) return ReadCount{};
  // Positions without a stored cell hold nothing, so the walk goes from stored cell to stored
  // cell; a sparse box costs what the file stored, not its volume.
  if (!walk_) walk_.emplace(store_->stored_cells(position_index_));
  size_t appended = 0;
  while (std::optional<StoredCell> cell = walk_->next()) {
    Result<BlockStateRef> state = store_->resolve_cell(cell->id);
    if (!state) {
      // The failing position stays unread; the next call meets it again.
      position_index_ = cell->walk_index;
      walk_.reset();
      return std::unexpected(std::move(state.error()));
    }
    position_index_ = cell->walk_index + 1;
    if (!(*state)->is_air()) {
      blocks.push_back(Block{cell->position, std::move(*state)});
      if (++appended >= max) return ReadCount{appended};
    }
  }
  position_index_ = volume;
  return appended >= 1 ? ReadCount{appended} : ReadCount{};
}

}  // namespace kubrel
