#include "common/geometry.h"

namespace kubrel {

namespace {

constexpr std::array<std::array<int, 3>, 6> kAxes = {{
    {0, 1, 2},  // XYZ
    {0, 2, 1},  // XZY
    {1, 0, 2},  // YXZ
    {1, 2, 0},  // YZX
    {2, 0, 1},  // ZXY
    {2, 1, 0},  // ZYX
}};

constexpr std::array<std::string_view, 6> kNames = {"XYZ", "XZY", "YXZ", "YZX", "ZXY", "ZYX"};

int32_t wrapping_add(int32_t a, uint32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + b);
}

}  // namespace

std::string BlockPosition::debug_string() const {
  return "BlockPosition { x: " + std::to_string(x) + ", y: " + std::to_string(y) +
         ", z: " + std::to_string(z) + " }";
}

std::array<int, 3> axis(AxisOrder order) {
  return kAxes[static_cast<size_t>(order)];
}

std::optional<AxisOrder> axis_order_from_code(int64_t code) {
  if (code < 0 || code > 5) return std::nullopt;
  return static_cast<AxisOrder>(code);
}

std::string_view axis_order_name(AxisOrder order) {
  return kNames[static_cast<size_t>(order)];
}

BlockPosition Boundary::max() const {
  return {wrapping_add(min.x, d_x - 1), wrapping_add(min.y, d_y - 1), wrapping_add(min.z, d_z - 1)};
}

bool Boundary::contains(const BlockPosition& p) const {
  for (int a = 0; a < 3; ++a) {
    if (p[a] < min[a] || p[a] >= wrapping_add(min[a], size(a))) return false;
  }
  return true;
}

std::optional<uint64_t> Boundary::volume() const {
  unsigned __int128 total = static_cast<unsigned __int128>(d_x) * d_y * d_z;
  if (total > UINT64_MAX) return std::nullopt;
  return static_cast<uint64_t>(total);
}

std::unique_ptr<PositionIterator> Boundary::iter(AxisOrder order) const {
  return std::make_unique<BoundaryIterator>(*this, order);
}

BoundaryIterator::BoundaryIterator(const Boundary& boundary, AxisOrder order) : axes_(axis(order)) {
  for (int i = 0; i < 3; ++i) {
    lo_[i] = boundary.min[axes_[i]];
    size_[i] = boundary.size(axes_[i]);
    walk_size_[i] = size_[i] == 0 ? 1 : size_[i];
  }
  seek(offset_);
}

void BoundaryIterator::seek(const std::array<uint32_t, 3>& offsets) {
  offset_ = offsets;
  for (int i = 0; i < 3; ++i) coords_[axes_[i]] = static_cast<uint32_t>(lo_[i]) + offsets[i];
}

std::optional<BlockPosition> BoundaryIterator::nth(uint64_t n) {
  if (done_) return std::nullopt;
  using u128 = unsigned __int128;
  // Three 32-bit sizes multiply to at most 96 bits, so 128-bit arithmetic cannot overflow.
  u128 stride_middle = size_[2];
  u128 stride_outer = static_cast<u128>(size_[1]) * size_[2];
  u128 total = static_cast<u128>(size_[0]) * stride_outer;
  u128 k = offset_[0] * stride_outer + offset_[1] * stride_middle + offset_[2] + n;
  if (k >= total) {
    done_ = true;
    return std::nullopt;
  }
  std::array<uint64_t, 3> offsets = walk_offsets(k, size_[1], size_[2]);
  seek({static_cast<uint32_t>(offsets[0]), static_cast<uint32_t>(offsets[1]),
        static_cast<uint32_t>(offsets[2])});
  BlockPosition result{static_cast<int32_t>(coords_[0]), static_cast<int32_t>(coords_[1]),
                       static_cast<int32_t>(coords_[2])};
  advance();
  return result;
}

}  // namespace kubrel
