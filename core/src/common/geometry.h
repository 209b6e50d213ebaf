// Positions, boxes and the walk of a box in one of six axis orders. The walk is part of the file
// formats (KBR stores runs along it), so jumping ahead in a walk must cost constant time.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace kubrel {

struct BlockPosition {
  int32_t x = 0;
  int32_t y = 0;
  int32_t z = 0;

  // Axis 0 is x, 1 is y, 2 is z.
  int32_t operator[](int axis) const { return axis == 0 ? x : (axis == 1 ? y : z); }
  int32_t& operator[](int axis) { return axis == 0 ? x : (axis == 1 ? y : z); }
  bool operator==(const BlockPosition&) const = default;

  // "BlockPosition { x: 1, y: -2, z: 3 }", the form used inside error messages.
  std::string debug_string() const;
};

// Walk orders, named from the outermost (slowest) axis to the innermost. The codes are stored in
// KBR files.
enum class AxisOrder : uint8_t { XYZ = 0, XZY = 1, YXZ = 2, YZX = 3, ZXY = 4, ZYX = 5 };

// The axis indices of `order`, outermost first.
std::array<int, 3> axis(AxisOrder order);
// The order with the given code, or none for a code above 5.
std::optional<AxisOrder> axis_order_from_code(int64_t code);
std::string_view axis_order_name(AxisOrder order);

// The offsets from a box's minimum, by walk role (0 outermost), of the position at walk index
// `index`, in a walk whose middle and innermost axes have `middle` and `inner` positions (both
// non-zero; `index` below the volume). 128 bits wide, since three 32-bit sizes take up to 96.
inline std::array<uint64_t, 3> walk_offsets(unsigned __int128 index, uint64_t middle,
                                            uint64_t inner) {
  using u128 = unsigned __int128;
  const u128 plane = static_cast<u128>(middle) * inner;
  if (index <= UINT64_MAX && plane <= UINT64_MAX) {
    // The common case, without the slow 128-bit division.
    auto narrow = static_cast<uint64_t>(index);
    auto narrow_plane = static_cast<uint64_t>(plane);
    return {narrow / narrow_plane, narrow % narrow_plane / inner, narrow % inner};
  }
  return {static_cast<uint64_t>(index / plane), static_cast<uint64_t>(index % plane / inner),
          static_cast<uint64_t>(index % inner)};
}

class PositionIterator {
 public:
  virtual ~PositionIterator() = default;
  virtual std::optional<BlockPosition> next() = 0;
  // Skips `n` positions and returns the following one; nth(0) is next().
  virtual std::optional<BlockPosition> nth(uint64_t n) = 0;
};

// Anything that covers a set of positions.
class Region {
 public:
  virtual ~Region() = default;
  virtual bool contains(const BlockPosition& position) const = 0;
  virtual std::unique_ptr<PositionIterator> iter(AxisOrder order) const = 0;
};

class BoundaryIterator;

// An axis-aligned box: an inclusive minimum corner and a count of positions per axis. Sums of a
// coordinate and a size wrap around in 32 bits.
struct Boundary {
  BlockPosition min;
  uint32_t d_x = 0;
  uint32_t d_y = 0;
  uint32_t d_z = 0;

  uint32_t size(int axis) const { return axis == 0 ? d_x : (axis == 1 ? d_y : d_z); }
  // The largest coordinate on each axis, min + d - 1 with wrap-around.
  BlockPosition max() const;
  // Half-open test min <= p < min + d on every axis.
  bool contains(const BlockPosition& position) const;
  // Number of positions, or none when it does not fit 64 bits.
  std::optional<uint64_t> volume() const;

  BoundaryIterator walk(AxisOrder order) const;
  std::unique_ptr<PositionIterator> iter(AxisOrder order) const;

  bool operator==(const Boundary&) const = default;
};

// One walk over one box, like a mixed-radix counter whose lowest digit is the innermost axis.
// `next` treats a size of zero as one (the walk still yields the minimum on that axis) while `nth`
// sees an empty box; on every non-empty box they agree. The walk keeps offsets from the minimum, so
// every box, even one whose sizes reach 2^31 or more, is walked in bounded time per call.
class BoundaryIterator final : public PositionIterator {
 public:
  BoundaryIterator(const Boundary& boundary, AxisOrder order);

  std::optional<BlockPosition> next() override {
    if (done_) return std::nullopt;
    BlockPosition result{static_cast<int32_t>(coords_[0]), static_cast<int32_t>(coords_[1]),
                         static_cast<int32_t>(coords_[2])};
    advance();
    return result;
  }

  std::optional<BlockPosition> nth(uint64_t n) override;

 private:
  // Moves to `offsets`, keeping coords_ in step.
  void seek(const std::array<uint32_t, 3>& offsets);
  void advance() {
    for (int i = 2; i >= 0; --i) {
      if (offset_[i] + 1 < walk_size_[i]) [[likely]] {
        ++offset_[i];
        ++coords_[axes_[i]];
        return;
      }
      if (i == 0) {
        done_ = true;
        return;
      }
      offset_[i] = 0;
      coords_[axes_[i]] = static_cast<uint32_t>(lo_[i]);
    }
  }

  // Indexed by walk role: 0 outermost, 2 innermost.
  std::array<int, 3> axes_;
  std::array<int32_t, 3> lo_;
  std::array<uint64_t, 3> size_;       // the true sizes, used by nth
  std::array<uint64_t, 3> walk_size_;  // sizes with zero taken as one, used by next
  std::array<uint32_t, 3> offset_{0, 0, 0};
  // The current position by axis (x, y, z), as unsigned so that stepping wraps around.
  std::array<uint32_t, 3> coords_;
  bool done_ = false;
};

inline BoundaryIterator Boundary::walk(AxisOrder order) const {
  return BoundaryIterator(*this, order);
}

}  // namespace kubrel
