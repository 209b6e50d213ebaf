// KBR into volumes. A run is written as pieces of rows of the walk's innermost axis, so a run
// costs a fill per row rather than a position computed per block.
#include "volume/kbr_volume.h"

#include <algorithm>
#include <cstring>

#include "common/text.h"
#include "formats/kbr_reader.h"
#include "io/varint.h"
#include "volume/volume_parts.h"

namespace kubrel {

namespace {

class KbrCursor {
 public:
  explicit KbrCursor(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  bool at_end() const { return position_ == bytes_.size(); }

  Result<uint8_t> u8() {
    if (position_ >= bytes_.size()) return fail("failed to fill whole buffer");
    return bytes_[position_++];
  }

  // The format's VarInt (5 bytes at most) or VarLong (10), as a signed number.
  template <class T>
  Result<T> var() {
    using U = std::make_unsigned_t<T>;
    KUBREL_ASSIGN_OR_RETURN(uint8_t first, u8());
    KUBREL_ASSIGN_OR_RETURN(U value, finish_var_int<U>(
                                         first, [&] { return u8(); },
                                         sizeof(T) == 4 ? "VarInt too big" : "VarLong too big"));
    return static_cast<T>(value);
  }

  Result<std::string_view> string() {
    KUBREL_ASSIGN_OR_RETURN(int32_t length, var<int32_t>());
    if (length < 0) return fail("Negative string length");
    if (static_cast<size_t>(length) > bytes_.size() - position_) {
      return fail("failed to fill whole buffer");
    }
    std::string_view text(reinterpret_cast<const char*>(bytes_.data() + position_),
                          static_cast<size_t>(length));
    position_ += static_cast<size_t>(length);
    KUBREL_TRY(check_utf8(text));
    return text;
  }

 private:
  std::span<const uint8_t> bytes_;
  size_t position_ = 0;
};

// The walk of the box in the file's axis order, mapped onto the [y, z, x] grid.
class GridWalk {
 public:
  GridWalk(const std::array<uint32_t, 3>& size, AxisOrder order) {
    const std::array<uint64_t, 3> stride = {1, uint64_t{size[0]} * size[2], size[0]};
    std::array<int, 3> axes = axis(order);
    for (int role = 0; role < 3; ++role) {
      size_[role] = size[axes[role]];
      stride_[role] = stride[axes[role]];
    }
    remaining_ = uint64_t{size[0]} * size[1] * size[2];
  }

  // Writes `count` positions of `value` from the walk's current position on.
  template <class T>
  Status fill(T* grid, uint64_t count, T value) {
    if (count > remaining_) return fail("run goes past the end of the box");
    remaining_ -= count;
    while (count > 0) {
      uint64_t piece = std::min<uint64_t>(count, size_[2] - offset_[2]);
      T* at = grid + index_;
      if (stride_[2] == 1) {
        std::fill(at, at + piece, value);
      } else {
        for (uint64_t i = 0; i < piece; ++i) at[i * stride_[2]] = value;
      }
      count -= piece;
      advance(piece);
    }
    return {};
  }

 private:
  void advance(uint64_t steps) {
    offset_[2] += steps;
    index_ += steps * stride_[2];
    for (int role = 2; role > 0 && offset_[role] == size_[role]; --role) {
      index_ -= size_[role] * stride_[role];
      offset_[role] = 0;
      ++offset_[role - 1];
      index_ += stride_[role - 1];
    }
  }

  std::array<uint64_t, 3> size_{};
  std::array<uint64_t, 3> stride_{};
  std::array<uint64_t, 3> offset_{};
  uint64_t index_ = 0;
  uint64_t remaining_ = 0;
};

// The positions the runs from `cursor` on add up to (saturating), so that a box of long runs is
// sized by what the document describes rather than by its length. Stops where the body stops
// parsing; the decoding pass reports why.
uint64_t described_positions(KbrCursor cursor) {
  uint64_t total = 0;
  while (!cursor.at_end()) {
    auto opcode = cursor.var<int32_t>();
    if (!opcode) break;
    if (*opcode == 0 || *opcode == 1) {
      if (!cursor.var<int32_t>() || !cursor.string()) break;
      continue;
    }
    auto length = (*opcode & 1) ? cursor.var<int32_t>() : Result<int32_t>(1);
    if (!length || *length < 0) break;
    // Saturating: a run is at most 2^31, far below the room left.
    total = std::min(total + static_cast<uint64_t>(*length), uint64_t{1} << 62);
  }
  return total;
}

Result<Volume> decode(std::span<const uint8_t> bytes) {
  KbrCursor cursor(bytes);
  KUBREL_ASSIGN_OR_RETURN(int64_t magic, cursor.var<int64_t>());
  if (magic != kKbrMagic) return fail("not a KBR file (wrong magic number)");
  KUBREL_ASSIGN_OR_RETURN(int32_t version, cursor.var<int32_t>());
  if (version != kKbrVersion) {
    return fail("unsupported version " + std::to_string(version) + " (this reader reads 1)");
  }
  std::array<int32_t, 6> corners{};
  for (int32_t& corner : corners) {
    KUBREL_ASSIGN_OR_RETURN(corner, cursor.var<int32_t>());
  }
  KUBREL_ASSIGN_OR_RETURN(uint8_t order_code, cursor.u8());
  std::optional<AxisOrder> order = axis_order_from_code(order_code);
  if (!order) return fail("invalid axis order " + std::to_string(order_code));

  Volume volume;
  volume.format = VolumeFormat::Kbr;
  volume.version = version;
  volume.origin = {corners[0], corners[1], corners[2]};
  for (int axis = 0; axis < 3; ++axis) {
    volume.size[axis] =
        static_cast<uint32_t>(corners[3 + axis]) - static_cast<uint32_t>(corners[axis]) + 1;
  }
  KUBREL_TRY(
      allocate_grid(volume.blocks, volume.size, 1, 0, bytes.size(), described_positions(cursor)));

  PaletteBuilder palette;
  std::vector<BlockState> entries;
  std::vector<uint32_t> indices;
  size_t entry_bytes = 0;
  auto define = [&](BlockState state) -> Status {
    entry_bytes += state.footprint();
    if (entry_bytes > kMaxPaletteBytes) {
      return fail("palette exceeds " + std::to_string(kMaxPaletteBytes) + " bytes of block states");
    }
    std::string text = canonical_state_text(state.name(), state.properties());
    KUBREL_ASSIGN_OR_RETURN(uint32_t index, palette.index_of(std::move(text)));
    if (grid_width_for(palette.size()) > volume.blocks.width) {
      convert_grid_width(volume.blocks, grid_width_for(palette.size()));
    }
    indices.push_back(index);
    entries.push_back(std::move(state));
    return {};
  };
  // Entry k has the id 2k + 2.
  auto entry_of = [&](int32_t id) -> std::optional<size_t> {
    if (id < 2 || id % 2 != 0 || static_cast<size_t>(id / 2 - 1) >= entries.size()) {
      return std::nullopt;
    }
    return static_cast<size_t>(id / 2 - 1);
  };

  GridWalk walk(volume.size, *order);
  while (!cursor.at_end()) {
    auto opcode = cursor.var<int32_t>();
    if (!opcode) break;
    if (*opcode == 0) {
      KUBREL_TRY(cursor.var<int32_t>());
      KUBREL_ASSIGN_OR_RETURN(std::string_view text, cursor.string());
      KUBREL_ASSIGN_OR_RETURN(BlockState state, parse_state_text(text));
      KUBREL_TRY(define(std::move(state)));
    } else if (*opcode == 1) {
      KUBREL_ASSIGN_OR_RETURN(int32_t base, cursor.var<int32_t>());
      KUBREL_ASSIGN_OR_RETURN(std::string_view difference, cursor.string());
      std::optional<size_t> entry = entry_of(base);
      if (!entry) return fail("difference against undefined palette id " + std::to_string(base));
      KUBREL_ASSIGN_OR_RETURN(BlockState state, entries[*entry].update(difference));
      KUBREL_TRY(define(std::move(state)));
    } else {
      int32_t id = *opcode & ~1;
      int32_t length = 1;
      if (*opcode & 1) {
        KUBREL_ASSIGN_OR_RETURN(length, cursor.var<int32_t>());
      }
      std::optional<size_t> entry = entry_of(id);
      if (!entry) return fail("run of undefined palette id " + std::to_string(id));
      if (length < 0) return fail("run of negative length " + std::to_string(length));
      KUBREL_TRY(with_index_type(volume.blocks.width, [&]<class T>(T) {
        return walk.fill(reinterpret_cast<T*>(volume.blocks.bytes.data()),
                         static_cast<uint64_t>(length), static_cast<T>(indices[*entry]));
      }));
    }
  }
  volume.palette = palette.take();
  return volume;
}

}  // namespace

Result<Volume> decode_kbr_volume(std::span<const uint8_t> bytes) {
  auto volume = decode(bytes);
  if (!volume) return fail("KBR: " + volume.error().message);
  return volume;
}

}  // namespace kubrel
