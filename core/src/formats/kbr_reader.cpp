// Reads KBR schematics incrementally: header, palette definitions and runs along the walk.
#include "formats/kbr_reader.h"

#include <algorithm>
#include <limits>
#include <span>
#include <type_traits>

#include "common/text.h"
#include "io/varint.h"

namespace kubrel {

namespace {

// Strings arrive in pieces of at most this size (or what has arrived so far, if larger), so a
// declared length costs memory only as its bytes come in.
constexpr size_t kStringPiece = 64 * 1024;
// Gaps in the walk up to this long are stepped over rather than jumped.
constexpr uint64_t kMaxStepsOverGap = 32;

std::string upper_hex(uint64_t value) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  do {
    text.insert(text.begin(), kDigits[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  return text;
}

int32_t size_between(int32_t min, int32_t max) {
  return static_cast<int32_t>(static_cast<uint32_t>(max) - static_cast<uint32_t>(min) + 1u);
}

}  // namespace

KBRSchematicInputStream::KBRSchematicInputStream(std::unique_ptr<ByteSource> source)
    : source_(std::move(source)) {}

Result<int32_t> KBRSchematicInputStream::read_var_int() {
  KUBREL_ASSIGN_OR_RETURN(uint8_t first, source_.read_u8());
  return finish_var_int(first);
}

Result<int32_t> KBRSchematicInputStream::finish_var_int(uint8_t first) {
  auto next_byte = [&] { return source_.read_u8(); };
  KUBREL_ASSIGN_OR_RETURN(
      uint32_t value, kubrel::finish_var_int<uint32_t>(first, next_byte, "KBR: VarInt too big"));
  return static_cast<int32_t>(value);
}

Result<int64_t> KBRSchematicInputStream::read_var_long() {
  KUBREL_ASSIGN_OR_RETURN(uint8_t first, source_.read_u8());
  auto next_byte = [&] { return source_.read_u8(); };
  KUBREL_ASSIGN_OR_RETURN(
      uint64_t value, kubrel::finish_var_int<uint64_t>(first, next_byte, "KBR: VarLong too big"));
  return static_cast<int64_t>(value);
}

Result<std::string> KBRSchematicInputStream::read_string() {
  KUBREL_ASSIGN_OR_RETURN(int32_t length, read_var_int());
  if (length < 0) return fail("Negative string length");
  if (static_cast<size_t>(length) > kKbrMaxStringLength) {
    // Passed over rather than refused at once, so that a file cut short still reads as one.
    for (size_t left = static_cast<size_t>(length); left > 0;) {
      KUBREL_ASSIGN_OR_RETURN(std::span<const uint8_t> piece, source_.fill_buffer());
      if (piece.empty()) return fail(kUnexpectedEndMessage);
      size_t used = std::min(left, piece.size());
      source_.consume(used);
      left -= used;
    }
    return fail("KBR: String length " + std::to_string(length) + " exceeds maximum of " +
                std::to_string(kKbrMaxStringLength));
  }
  std::string text;
  size_t left = static_cast<size_t>(length);
  while (left > 0) {
    size_t piece = std::min(left, std::max(kStringPiece, text.size()));
    size_t filled = text.size();
    text.resize(filled + piece);
    KUBREL_TRY(source_.read_exact(reinterpret_cast<uint8_t*>(text.data()) + filled, piece));
    left -= piece;
  }
  KUBREL_TRY(check_utf8(text));
  return text;
}

Result<AxisOrder> KBRSchematicInputStream::read_axis_order() {
  KUBREL_ASSIGN_OR_RETURN(uint8_t code, source_.read_u8());
  std::optional<AxisOrder> order = axis_order_from_code(code);
  if (!order) return fail("KBR: Invalid AxisOrder " + std::to_string(code));
  return *order;
}

Result<std::pair<Boundary, AxisOrder>> KBRSchematicInputStream::read_header() {
  if (header_read_) return fail("KBR: Header already read");
  KUBREL_ASSIGN_OR_RETURN(int64_t magic, read_var_long());
  if (magic != kKbrMagic) {
    return fail("KBR: Invalid magic number. Expected 0x" + upper_hex(kKbrMagic) + ", got 0x" +
                upper_hex(static_cast<uint64_t>(magic)));
  }
  KUBREL_ASSIGN_OR_RETURN(int32_t version, read_var_int());
  if (version != kKbrVersion) {
    return fail("KBR: Unsupported version. Expected " + std::to_string(kKbrVersion) + ", got " +
                std::to_string(version));
  }
  int32_t corners[6];
  for (int32_t& value : corners) {
    KUBREL_ASSIGN_OR_RETURN(value, read_var_int());
  }
  KUBREL_ASSIGN_OR_RETURN(AxisOrder order, read_axis_order());

  Boundary box;
  box.min = {corners[0], corners[1], corners[2]};
  box.d_x = static_cast<uint32_t>(size_between(corners[0], corners[3]));
  box.d_y = static_cast<uint32_t>(size_between(corners[1], corners[4]));
  box.d_z = static_cast<uint32_t>(size_between(corners[2], corners[5]));
  boundary_ = box;
  axis_order_ = order;
  walk_length_ = box.volume().value_or(std::numeric_limits<uint64_t>::max());
  header_read_ = true;
  return std::pair{box, order};
}

Result<std::optional<Boundary>> KBRSchematicInputStream::boundary() {
  if (!header_read_) KUBREL_TRY(read_header());
  return boundary_;
}

Status KBRSchematicInputStream::add_entry(BlockState state) {
  size_t bytes = state.footprint() + sizeof(BlockStateRef);
  if (bytes > kMaxPaletteBytes - palette_bytes_) {
    return fail("KBR: Palette exceeds " + std::to_string(kMaxPaletteBytes) +
                " bytes of block states");
  }
  palette_bytes_ += bytes;
  palette_.push_back(make_state(std::move(state)));
  return {};
}

const BlockStateRef* KBRSchematicInputStream::find_entry(int32_t id) const {
  // Unsigned arithmetic maps every id onto its entry exactly as 2k + 2 wraps in 32 bits.
  uint32_t offset = static_cast<uint32_t>(id) - 2u;
  if (offset % 2 != 0 || offset / 2 >= palette_.size()) return nullptr;
  return &palette_[offset / 2];
}

Result<bool> KBRSchematicInputStream::read_next_run() {
  while (true) {
    // Only a missing first byte ends the body; an opcode cut short is a broken file.
    KUBREL_ASSIGN_OR_RETURN(std::optional<uint8_t> first, source_.next_byte());
    if (!first) return false;
    KUBREL_ASSIGN_OR_RETURN(int32_t opcode, finish_var_int(*first));

    if (opcode == 0) {
      KUBREL_TRY(read_var_int());
      KUBREL_ASSIGN_OR_RETURN(std::string text, read_string());
      Result<BlockState> state = BlockState::from_string(text);
      if (!state) return fail("KBR: Parse error: " + state.error().message);
      KUBREL_TRY(add_entry(std::move(*state)));
      continue;
    }
    if (opcode == 1) {
      KUBREL_ASSIGN_OR_RETURN(int32_t base_id, read_var_int());
      KUBREL_ASSIGN_OR_RETURN(std::string difference, read_string());
      const BlockStateRef* base = find_entry(base_id);
      if (!base) return fail("KBR: Missing Ref ID " + std::to_string(base_id));
      Result<BlockState> state = (*base)->update(difference);
      if (!state) return fail("KBR: Diff error: " + state.error().message);
      KUBREL_TRY(add_entry(std::move(*state)));
      continue;
    }

    int32_t id = opcode;
    int32_t length = 1;
    if (opcode % 2 != 0) {
      id = opcode - 1;
      KUBREL_ASSIGN_OR_RETURN(length, read_var_int());
    }
    const BlockStateRef* entry = find_entry(id);
    if (!entry) return fail("KBR: Unknown Palette ID " + std::to_string(id));
    if (length < 0) return fail("KBR: Negative run length " + std::to_string(length));
    current_ = *entry;
    current_index_ = static_cast<uint32_t>(entry - palette_.data());
    remaining_ = length;
    return true;
  }
}

template <class Out>
Status KBRSchematicInputStream::lay_run(std::vector<Out>& blocks, uint64_t count) {
  if (count > walk_length_ - position_) return fail("KBR: Iterator exhausted");
  if (!current_->is_air() && count > 0) {
    // The walk goes on from where the last run left it: single steps over a short gap, one
    // constant-time jump over a long one. Every block shares the entry's state.
    if (!walk_) walk_ = boundary_->walk(*axis_order_);
    uint64_t gap = position_ - walk_next_;
    std::optional<BlockPosition> position;
    if (gap <= kMaxStepsOverGap) {
      for (uint64_t i = 0; i < gap; ++i) walk_->next();
      position = walk_->next();
    } else {
      position = walk_->nth(gap);
    }
    for (uint64_t i = 0; i < count; ++i) {
      if (!position) return fail("KBR: Iterator exhausted");
      if constexpr (std::is_same_v<Out, IndexedBlock>) {
        blocks.push_back(IndexedBlock{*position, current_index_});
      } else {
        blocks.push_back(Block{*position, current_});
      }
      if (i + 1 < count) position = walk_->next();
    }
    walk_next_ = position_ + count;
  }
  position_ += count;
  return {};
}

Result<ReadCount> KBRSchematicInputStream::read(std::vector<Block>& blocks, size_t max) {
  return read_into(blocks, max);
}

Result<ReadCount> KBRSchematicInputStream::read_indexed(std::vector<IndexedBlock>& blocks,
                                                        size_t max) {
  return read_into(blocks, max);
}

template <class Out>
Result<ReadCount> KBRSchematicInputStream::read_into(std::vector<Out>& blocks, size_t max) {
  if (max == 0) return ReadCount{0};
  if (!header_read_) KUBREL_TRY(read_header());
  if (!boundary_) return fail("KBR: Missing boundary");
  if (!axis_order_) return fail("KBR: Missing axis order");

  size_t appended = 0;
  while (appended < max) {
    if (remaining_ <= 0) {
      if (ended_) break;
      KUBREL_ASSIGN_OR_RETURN(bool more, read_next_run());
      if (!more) {
        ended_ = true;
        break;
      }
      continue;
    }
    // Air hands nothing out, so a run of it is passed in one step whatever `max` is.
    uint64_t count = static_cast<uint64_t>(remaining_);
    if (!current_->is_air()) count = std::min<uint64_t>(count, max - appended);
    KUBREL_TRY(lay_run(blocks, count));
    if (!current_->is_air()) appended += count;
    remaining_ -= static_cast<int32_t>(count);
  }
  if (appended == 0 && ended_) return ReadCount{};
  return ReadCount{appended};
}

}  // namespace kubrel
