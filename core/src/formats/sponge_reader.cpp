#include "formats/sponge_reader.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>

#include "formats/root_outline.h"
#include "io/varint.h"
#include "nbt/nbt_tree.h"

namespace kubrel {

namespace {

// The tags the reader looks at; the tree keeps nothing else of the document. "Blocks" is kept
// whatever its kind, so that a ByteArray there (an older layout) is still reported. The id arrays
// go to the reader's sink, one slot for each place an id array may stand.
enum IdSlot : int { kRootFlat, kRootNested, kSchematicFlat, kSchematicNested, kIdSlots };
constexpr NbtTreeFilter::Member kRootBlocksMembers[] = {{"Palette", nullptr},
                                                        {"Data", nullptr, kRootNested}};
constexpr NbtTreeFilter kRootBlocksFilter{kRootBlocksMembers};
constexpr NbtTreeFilter::Member kSchematicBlocksMembers[] = {{"Palette", nullptr},
                                                             {"Data", nullptr, kSchematicNested}};
constexpr NbtTreeFilter kSchematicBlocksFilter{kSchematicBlocksMembers};
constexpr NbtTreeFilter::Member kSchematicMembers[] = {{"Width", nullptr},
                                                       {"Height", nullptr},
                                                       {"Length", nullptr},
                                                       {"Palette", nullptr},
                                                       {"BlockData", nullptr, kSchematicFlat},
                                                       {"Blocks", &kSchematicBlocksFilter}};
constexpr NbtTreeFilter kSchematicFilter{kSchematicMembers};
constexpr NbtTreeFilter::Member kRootMembers[] = {{"Schematic", &kSchematicFilter},
                                                  {"Width", nullptr},
                                                  {"Height", nullptr},
                                                  {"Length", nullptr},
                                                  {"Palette", nullptr},
                                                  {"BlockData", nullptr, kRootFlat},
                                                  {"Blocks", &kRootBlocksFilter}};
// A palette this large could not fit the palette's memory limit anyway, and each kept value
// costs tens of bytes of tree however short it is in the file.
constexpr uint64_t kMaxKeptValues = uint64_t{1} << 20;
constexpr NbtTreeFilter kRootFilter{kRootMembers, kMaxKeptValues};

// Memory of one palette entry besides its state: the handle and the map node.
constexpr size_t kPaletteEntryOverhead = 64;

// The id arrays, kept in pieces small enough that the allocator takes them from its heap: each
// piece is freed as soon as it is decoded, so the store's pages reuse its memory, and no large
// block is mapped and unmapped (which would leave the allocator keeping later large blocks, such as
// a growing list of blocks, in its heap for good). Every piece but the last ends with the last byte
// of a VarInt, so that a piece decodes on its own exactly as its part of the whole array would.
}  // namespace

class SpongeSchematicInputStream::IdArrays final : public NbtArraySink {
 public:
  struct Piece {
    std::unique_ptr<uint8_t[]> bytes;
    size_t size;
  };

  void begin(int slot) override { slots_[slot].clear(); }
  void append(int slot, std::span<const uint8_t> bytes) override {
    std::vector<Piece>& pieces = slots_[slot];
    while (!bytes.empty()) {
      if (pieces.empty() || pieces.back().size == kPieceBytes) start_piece(pieces);
      Piece& piece = pieces.back();
      size_t count = std::min(kPieceBytes - piece.size, bytes.size());
      std::memcpy(piece.bytes.get() + piece.size, bytes.data(), count);
      piece.size += count;
      bytes = bytes.subspan(count);
    }
  }

  std::vector<Piece>& pieces(int slot) { return slots_[slot]; }

 private:
  static constexpr size_t kPieceBytes = 60 * 1024;
  static constexpr size_t kMaxVarIntBytes = 5;

  // Opens a piece, moving into it the bytes of a VarInt that the last piece leaves unfinished.
  // Where none of the last piece's final five bytes ends a VarInt, the VarInt there is too long
  // and fails inside that piece, which is then left whole.
  static void start_piece(std::vector<Piece>& pieces) {
    Piece next{std::make_unique_for_overwrite<uint8_t[]>(kPieceBytes), 0};
    if (!pieces.empty()) {
      Piece& last = pieces.back();
      for (size_t k = 1; k <= kMaxVarIntBytes && k <= last.size; ++k) {
        if (last.bytes[last.size - k] & kVarIntContinue) continue;
        next.size = k - 1;
        std::memcpy(next.bytes.get(), last.bytes.get() + last.size - next.size, next.size);
        last.size -= next.size;
        break;
      }
    }
    pieces.push_back(std::move(next));
  }

  std::array<std::vector<Piece>, kIdSlots> slots_;
};

namespace {

// Decodes the VarInt block ids at `p` into `out` until `capacity` ids are decoded or the bytes
// end, and moves `p` past them. Fills whole buffers without a call per id: this loop runs once per
// position of the box.
Result<size_t> decode_ids(const uint8_t*& p, const uint8_t* end, int32_t* out, size_t capacity) {
  size_t count = 0;
  while (count < capacity && p < end) {
    uint8_t first = *p++;
    if (!(first & kVarIntContinue)) [[likely]] {
      out[count++] = first;
      continue;
    }
    auto next_byte = [&]() -> Result<uint8_t> {
      if (p == end) return fail("Sponge: VarInt array ended unexpectedly");
      return *p++;
    };
    KUBREL_ASSIGN_OR_RETURN(
        uint32_t value, finish_var_int<uint32_t>(first, next_byte, "Sponge: VarInt is too big"));
    out[count++] = static_cast<int32_t>(value);
  }
  return count;
}

// A box size: the format stores it as an unsigned short in a Short tag.
Result<uint16_t> dimension(const NbtCompound& schematic, std::string_view name) {
  const NbtValue* tag = schematic.find(name);
  const int16_t* value = tag ? tag->as<int16_t>() : nullptr;
  if (!value) return fail("Sponge: Missing or invalid '" + std::string(name) + "' tag");
  return static_cast<uint16_t>(*value);
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

bool SpongeSchematicInputStream::fails_on(const RootOutline& outline) const {
  // read_header looks for "Height" in the "Schematic" compound if there is one, else in the root.
  return !started_ && outline.complete() && !outline.has("Schematic") && !outline.has("Height");
}

Status SpongeSchematicInputStream::read_header() {
  started_ = true;
  // The tree keeps only the tags the reader looks at: other formats' documents (tried during
  // detection) and the rest of a schematic (entities, biomes) can be huge. Nothing it uses lies in
  // a list.
  IdArrays ids;
  auto root = decode_nbt_tree(*source_, /*keep_list_elements=*/false, &kRootFilter, &ids);
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

  KUBREL_ASSIGN_OR_RETURN(uint16_t height, dimension(*schematic, "Height"));
  KUBREL_ASSIGN_OR_RETURN(uint16_t length, dimension(*schematic, "Length"));
  KUBREL_ASSIGN_OR_RETURN(uint16_t width, dimension(*schematic, "Width"));

  boundary_ = Boundary{{0, 0, 0}, width, height, length};
  store_.reset();
  auto store = LazyPaletteBlockStoreWrapper::empty_fixed_from_size(width, height, length);
  if (!store) return fail("Sponge: Invalid schematic size: " + store.error().message);
  store_.emplace(std::move(*store));

  if (auto status = process_palette(*schematic); !status)
    return fail("Sponge: Failed to process palette: " + status.error().message);
  if (auto status = process_blocks(*schematic, schematic != root_compound, ids); !status)
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

Status SpongeSchematicInputStream::process_blocks(const NbtCompound& schematic, bool nested,
                                                  IdArrays& ids) {
  if (!boundary_) return fail("Sponge: Boundary not set before processing blocks");
  if (!store_) return fail("Sponge: Blocks store not initialized before processing blocks");
  const NbtValue* blocks_tag = schematic.find("Blocks");
  KUBREL_ASSIGN_OR_RETURN(const NbtCompound* container, block_container(schematic));
  const NbtValue* data_tag = container->find(blocks_tag ? "Data" : "BlockData");
  if (!data_tag) {
    return fail(blocks_tag ? "Sponge: Missing 'Data' tag" : "Sponge: Missing 'BlockData' tag");
  }
  if (!data_tag->as<NbtByteArray>()) return fail("Sponge: 'BlockData' tag is not a ByteArray");

  // The tree holds an empty array in its place; the bytes are the last the sink took there.
  std::vector<IdArrays::Piece>& pieces =
      ids.pieces(nested ? (blocks_tag ? kSchematicNested : kSchematicFlat)
                        : (blocks_tag ? kRootNested : kRootFlat));

  // One pass decodes the ids in pieces and places each piece along the walk. A broken VarInt
  // anywhere is reported before a count that exceeds the box, so ids past the box are still
  // decoded (and dropped); whatever was placed before a failure is dropped with the store.
  uint64_t volume = boundary_->volume().value_or(UINT64_MAX);
  std::array<int32_t, 4096> piece;
  uint64_t placed = 0;
  bool too_many = false;
  for (IdArrays::Piece& bytes : pieces) {
    const uint8_t* p = bytes.bytes.get();
    const uint8_t* const end = p + bytes.size;
    while (p < end) {
      KUBREL_ASSIGN_OR_RETURN(size_t decoded, decode_ids(p, end, piece.data(), piece.size()));
      size_t fitting = static_cast<size_t>(std::min<uint64_t>(decoded, volume - placed));
      too_many |= fitting < decoded;
      if (fitting == 0) continue;
      // Every placed position lies inside the box; only an id too many can be refused.
      uint64_t failed = 0;
      Status stored = store_->set_unknown_blocks_along(AxisOrder::YZX, placed,
                                                       std::span(piece.data(), fitting), &failed);
      if (!stored) {
        BlockPosition at = *boundary_->walk(AxisOrder::YZX).nth(failed);
        return fail("Sponge: Failed to copy block at pos " + at.debug_string() + ": " +
                    stored.error().message);
      }
      placed += fitting;
    }
    bytes.bytes.reset();
  }
  if (too_many && volume == 0) {
    // A box with a zero size still has its minimum as the walk's first position, which the store
    // refuses.
    return fail("Sponge: Failed to copy block at pos " + boundary_->min.debug_string() +
                ": Position out of bounds and store is not resizable");
  }
  if (too_many) return fail("Sponge: Boundary size mismatch (iterator exhausted before stream)");
  return {};
}

Result<std::optional<Boundary>> SpongeSchematicInputStream::boundary() {
  if (!header_read_) KUBREL_TRY(read_header());
  return boundary_;
}

Result<ReadCount> SpongeSchematicInputStream::read(std::vector<Block>& blocks, size_t max) {
  return read_into(blocks, max);
}

Result<ReadCount> SpongeSchematicInputStream::read_indexed(std::vector<IndexedBlock>& blocks,
                                                           size_t max) {
  return read_into(blocks, max);
}

template <class Out>
Result<ReadCount> SpongeSchematicInputStream::read_into(std::vector<Out>& blocks, size_t max) {
  if (max == 0) return ReadCount{0};
  if (!header_read_) KUBREL_TRY(read_header());
  if (!boundary_ || !store_) return fail("Sponge: Header not properly read");
  size_t before = blocks.size();
  KUBREL_TRY(store_->append_blocks(position_index_, blocks, max));
  // Fewer than `max` means the walk has ended; with none, so has the stream.
  if (blocks.size() == before) return ReadCount{};
  return ReadCount{blocks.size() - before};
}

}  // namespace kubrel
