// The structure file reader: one pass over the tag events fills a lazy palette store, then
// reads walk its box.
#include "formats/mojang_reader.h"

#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>

#include "common/block_state.h"

namespace kubrel {

namespace {

// Whether `name` lower-cases to `lower`, which is lower-case ASCII. Besides ASCII, the one
// character whose lower case is an ASCII letter is the Kelvin sign (U+212A, lower case "k").
bool lowercase_equals(std::string_view name, std::string_view lower) {
  constexpr std::string_view kKelvin = "\xE2\x84\xAA";
  size_t i = 0;
  for (char want : lower) {
    if (i >= name.size()) return false;
    if (want == 'k' && name.substr(i, kKelvin.size()) == kKelvin) {
      i += kKelvin.size();
      continue;
    }
    char c = name[i++];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != want) return false;
  }
  return i == name.size();
}

// The two members of a block entry as most writers write them: the "pos" list of three Ints and
// the "state" Int, each up to its payload, then the payload's size.
constexpr uint8_t kPositionHead[] = {9, 0, 3, 'p', 'o', 's', 3, 0, 0, 0, 3};
constexpr size_t kPositionPayload = 12;
constexpr uint8_t kStateHead[] = {3, 0, 5, 's', 't', 'a', 't', 'e'};
constexpr size_t kStatePayload = 4;
constexpr size_t kPositionMember = sizeof kPositionHead + kPositionPayload;
constexpr size_t kStateMember = sizeof kStateHead + kStatePayload;
// Both members and the End tag.
constexpr size_t kPlainEntryBytes = kPositionMember + kStateMember + 1;

int32_t big_endian_int(const uint8_t* bytes) {
  uint32_t value;
  std::memcpy(&value, bytes, sizeof value);
  return static_cast<int32_t>(nbt_wire::from_big_endian(value));
}

// Whether `entry` (kPlainEntryBytes bytes) is a block entry of exactly those two members, in either
// order, and nothing else; if so, its position and state.
bool read_plain_entry(const uint8_t* entry, std::array<int32_t, 3>& position, int32_t& state) {
  const uint8_t* position_member = entry;
  const uint8_t* state_member = entry + kPositionMember;
  if (entry[0] != kPositionHead[0]) {
    state_member = entry;
    position_member = entry + kStateMember;
  }
  if (entry[kPlainEntryBytes - 1] != 0 ||
      std::memcmp(position_member, kPositionHead, sizeof kPositionHead) != 0 ||
      std::memcmp(state_member, kStateHead, sizeof kStateHead) != 0) {
    return false;
  }
  for (size_t i = 0; i < 3; ++i) {
    position[i] = big_endian_int(position_member + sizeof kPositionHead + 4 * i);
  }
  state = big_endian_int(state_member + sizeof kStateHead);
  return true;
}

}  // namespace

MojangSchematicInputStream::MojangSchematicInputStream(std::unique_ptr<ByteSource> source)
    // Arrays never matter here; during detection a Sponge file's block data is one.
    : parser_(std::move(source), /*keep_arrays=*/false) {}

Status MojangSchematicInputStream::ensure_store() {
  if (store_) return {};
  KUBREL_ASSIGN_OR_RETURN(LazyPaletteBlockStoreWrapper store,
                          LazyPaletteBlockStoreWrapper::empty_fixed_from_size(
                              static_cast<int32_t>(size_[0]), static_cast<int32_t>(size_[1]),
                              static_cast<int32_t>(size_[2])));
  store_.emplace(std::move(store));
  return {};
}

Status MojangSchematicInputStream::ensure_header_read() {
  if (header_read_) return {};
  header_read_ = true;
  bool size_found = false;
  bool palette_found = false;
  bool blocks_found = false;
  while (true) {
    NbtEventResult next = parser_.next_event();
    if (!next) {
      if (!next.error().end_of_input) return fail("NBT Stream Error: " + next.error().message);
      break;
    }
    // Only named lists matter here; everything else, nested lists' contents included, passes by.
    const NbtEvent& event = **next;
    outline_.see(event, parser_.depth());
    if (event.kind != NbtKind::List || !event.named) continue;
    const NbtListStart& list = event.list;
    if (list.element_kind == NbtKind::Compound && lowercase_equals(event.name, "palette")) {
      KUBREL_TRY(read_palette_list());
      palette_found = true;
    } else if (list.element_kind == NbtKind::Compound && lowercase_equals(event.name, "blocks")) {
      KUBREL_TRY(read_block_list());
      blocks_found = true;
    } else if (list.element_kind == NbtKind::Int && list.length == 3 &&
               lowercase_equals(event.name, "size")) {
      KUBREL_TRY(read_size_list());
      size_found = true;
    }
  }
  if (!size_found) return fail("Mojang: Size not found in header");
  if (!palette_found) return fail("Mojang: Palette not found in header");
  if (!blocks_found) return fail("Mojang: Blocks not found in header");
  if (!store_) return fail("Mojang: Blocks not initialized after header parsing");
  return {};
}

Status MojangSchematicInputStream::read_size_list() {
  for (int64_t& size : size_) {
    NbtEventResult next = parser_.next_event();
    if (!next) return fail(std::move(next.error().message));
    if ((*next)->kind != NbtKind::Int) return fail("Expected 3 integers for Size");
    size = (*next)->integer;
  }
  return {};
}

Status MojangSchematicInputStream::read_palette_list() {
  KUBREL_TRY(ensure_store());
  std::unordered_map<int64_t, BlockStateRef> palette;
  std::string name;
  std::unordered_map<std::string, std::string> properties;
  // An entry can be a single byte (an empty compound) and still cost a state, so the palette's
  // memory is bounded: the finished states and the entry being built, with map overhead.
  constexpr size_t kEntryOverhead = 64;
  size_t palette_bytes = 0;
  size_t entry_bytes = 0;
  auto within_limit = [&]() -> Status {
    if (palette_bytes + entry_bytes <= kMaxPaletteBytes) return {};
    return fail("Mojang: Palette exceeds " + std::to_string(kMaxPaletteBytes) +
                " bytes of block states");
  };
  // Open compounds and lists, the palette list included; each entry is a compound at depth 2.
  // Lists inside an entry count too, so that their ends do not end the palette.
  size_t depth = 1;
  while (depth >= 1) {
    NbtEventResult next = parser_.next_event();
    if (!next) return fail(std::move(next.error().message));
    const NbtEvent& event = **next;
    switch (event.kind) {
      case NbtKind::Compound:
      case NbtKind::List:
        ++depth;
        break;
      case NbtKind::ListEnd:
        --depth;
        break;
      case NbtKind::End:
        if (--depth == 1) {
          BlockState state = BlockState::from_name_and_properties(std::move(name), properties);
          entry_bytes = 0;
          palette_bytes += state.footprint() + kEntryOverhead;
          KUBREL_TRY(within_limit());
          auto id = static_cast<int64_t>(palette.size());
          palette.emplace(id, make_state(std::move(state)));
          name.clear();
          properties.clear();
        }
        break;
      case NbtKind::String: {
        if (!event.named) break;
        entry_bytes += event.name.size() + event.text.size() + kEntryOverhead;
        KUBREL_TRY(within_limit());
        if (event.name == "Name") {
          name = event.text;
        } else {
          properties.insert_or_assign(std::string(event.name), std::string(event.text));
        }
        break;
      }
      default:
        break;
    }
  }
  store_->set_actual_palette(std::move(palette));
  return {};
}

Status MojangSchematicInputStream::read_block_list() {
  KUBREL_TRY(ensure_store());
  // Each entry is a compound at depth 2 whose direct members are its three-Int list ("pos") and
  // its "state" Int, in either order (writers differ), so a block is placed when its entry ends.
  // Lists and Ints nested deeper (block entity data) are not positions. An entry without a
  // position list reuses the position of the entry before it.
  std::array<int32_t, 3> components{0, 0, 0};
  size_t component_count = 0;
  bool in_position_list = false;
  bool has_state = false;
  int32_t state = 0;
  size_t depth = 1;
  while (depth >= 1) {
    // Between entries, an entry of exactly the usual two members is taken in one step from the
    // parser's buffer, with the outcome its events would have had.
    if (depth == 1) {
      const uint8_t* entry = parser_.peek_list_element(kPlainEntryBytes);
      if (entry != nullptr && read_plain_entry(entry, components, state)) {
        parser_.skip_list_element(kPlainEntryBytes);
        component_count = 3;
        has_state = true;
        KUBREL_TRY(
            store_->set_unknown_block_at(components[0], components[1], components[2], state));
        continue;
      }
    }
    NbtEventResult next = parser_.next_event();
    if (!next) return fail(std::move(next.error().message));
    const NbtEvent& event = **next;
    switch (event.kind) {
      case NbtKind::Compound:
        if (depth == 1) has_state = false;
        ++depth;
        break;
      case NbtKind::End:
        if (--depth == 1 && has_state) {
          KUBREL_TRY(
              store_->set_unknown_block_at(components[0], components[1], components[2], state));
        }
        break;
      case NbtKind::List: {
        const NbtListStart& list = event.list;
        if (depth == 2 && list.element_kind == NbtKind::Int && list.length == 3) {
          component_count = 0;
          in_position_list = true;
        }
        ++depth;
        break;
      }
      case NbtKind::ListEnd:
        --depth;
        in_position_list = false;
        break;
      case NbtKind::Int: {
        auto value = static_cast<int32_t>(event.integer);
        if (!event.named) {
          if (in_position_list && component_count < 3) components[component_count++] = value;
        } else if (depth == 2 && event.name == "state") {
          state = value;
          has_state = true;
        }
        break;
      }
      default:
        break;
    }
  }
  return {};
}

Result<std::optional<Boundary>> MojangSchematicInputStream::boundary() {
  KUBREL_TRY(ensure_header_read());
  if (size_[0] == 0 || size_[1] == 0 || size_[2] == 0) return std::optional<Boundary>{};
  return std::optional<Boundary>(Boundary{{0, 0, 0},
                                          static_cast<uint32_t>(size_[0]),
                                          static_cast<uint32_t>(size_[1]),
                                          static_cast<uint32_t>(size_[2])});
}

Result<ReadCount> MojangSchematicInputStream::read(std::vector<Block>& blocks, size_t max) {
  return read_into(blocks, max);
}

Result<ReadCount> MojangSchematicInputStream::read_indexed(std::vector<IndexedBlock>& blocks,
                                                           size_t max) {
  return read_into(blocks, max);
}

template <class Out>
Result<ReadCount> MojangSchematicInputStream::read_into(std::vector<Out>& blocks, size_t max) {
  if (max == 0) return ReadCount{0};
  KUBREL_TRY(ensure_header_read());
  if (!store_) return fail("Blocks not initialized");
  if (position_index_ >= store_->boundary().volume().value_or(UINT64_MAX)) return ReadCount{};
  // A failing read leaves the walk where this call found it.
  uint64_t index = position_index_;
  size_t before = blocks.size();
  KUBREL_TRY(store_->append_blocks(index, blocks, max));
  position_index_ = index;
  return ReadCount{blocks.size() - before};
}

}  // namespace kubrel
