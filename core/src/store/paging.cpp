// Pages of palette ids: the dense page with lazily allocated, self-widening cells.
#include "store/paging.h"

#include <algorithm>
#include <string>

namespace kubrel {

namespace {

std::string out_of_bounds(int32_t x, int32_t y, int32_t z) {
  return "Out of bounds: (" + std::to_string(x) + ", " + std::to_string(y) + ", " +
         std::to_string(z) + ")";
}

unsigned width_for(uint64_t value) {
  if (value <= UINT8_MAX) return 1;
  if (value <= UINT16_MAX) return 2;
  if (value <= UINT32_MAX) return 4;
  return 8;
}

}  // namespace

bool Page::deep_equals(const Page& other) const {
  if (other.nnz() != nnz()) return false;
  for (uint32_t z = 0; z < edges_[2]; ++z) {
    for (uint32_t y = 0; y < edges_[1]; ++y) {
      for (uint32_t x = 0; x < edges_[0]; ++x) {
        auto xi = static_cast<int32_t>(x), yi = static_cast<int32_t>(y);
        auto zi = static_cast<int32_t>(z);
        if (load(xi, yi, zi) != other.load(xi, yi, zi)) return false;
      }
    }
  }
  return true;
}

ArrayPage::ArrayPage(const std::array<uint32_t, 3>& edges, AxisOrder order)
    : Page(edges),
      order_(order),
      cell_count_(uint64_t{edges[0]} * edges[1] * edges[2]),
      part_cells_(std::min(cell_count_, kPartMask + 1)),
      chunks_((cell_count_ + (uint64_t{1} << kChunkShift) - 1) >> kChunkShift) {}

std::optional<uint64_t> ArrayPage::cell_index(int32_t x, int32_t y, int32_t z) const {
  // Wide arithmetic: offsets far outside the page must come out invalid, never wrap into it.
  std::array<__int128, 3> c = {x, y, z};
  std::array<int, 3> a = axis(order_);
  const auto& s = edges();
  __int128 index = c[a[0]] + __int128{s[a[0]]} * (c[a[1]] + __int128{s[a[1]]} * c[a[2]]);
  if (index < 0 || index >= static_cast<__int128>(cell_count_)) return std::nullopt;
  return static_cast<uint64_t>(index);
}

std::optional<size_t> ArrayPage::load(int32_t x, int32_t y, int32_t z) const {
  std::optional<uint64_t> index = cell_index(x, y, z);
  if (!index) return std::nullopt;
  return load_cell(*index);
}

Status ArrayPage::store(int32_t x, int32_t y, int32_t z, size_t id) {
  std::optional<uint64_t> index = cell_index(x, y, z);
  if (!index) return fail(out_of_bounds(x, y, z));
  // The cell holds id + 1, which must not wrap to the empty marker.
  if (id == SIZE_MAX) return fail("Palette id too large");
  store_cell(*index, id);
  return {};
}

Status ArrayPage::erase(int32_t x, int32_t y, int32_t z) {
  std::optional<uint64_t> index = cell_index(x, y, z);
  if (!index) return fail(out_of_bounds(x, y, z));
  return erase_cell(*index);
}

void ArrayPage::store_cell(uint64_t index, size_t id) {
  uint64_t value = uint64_t{id} + 1;
  unsigned needed = width_for(value);
  if (needed > width_) widen_to(needed);
  uint8_t* part = part_for_write(index);
  uint64_t offset = index & kPartMask;
  if (read_value(part, offset, width_) == 0) ++nnz_;
  write_value(part, offset, width_, value);
}

std::optional<uint64_t> ArrayPage::next_stored_cell(uint64_t from) const {
  while (from < cell_count_) {
    if (chunks_[from >> kChunkShift] == nullptr) {
      from = ((from >> kChunkShift) + 1) << kChunkShift;
      continue;
    }
    const uint64_t part_end = std::min(cell_count_, ((from >> kPartShift) + 1) << kPartShift);
    if (const uint8_t* part = part_of(from)) {
      for (; from < part_end; ++from) {
        if (read_value(part, from & kPartMask, width_) != 0) return from;
      }
    }
    from = part_end;
  }
  return std::nullopt;
}

Status ArrayPage::erase_cell(uint64_t index) {
  uint8_t* part = part_of(index);
  uint64_t offset = index & kPartMask;
  if (part == nullptr || read_value(part, offset, width_) == 0) {
    return fail("No block to erase at given coordinates");
  }
  write_value(part, offset, width_, 0);
  --nnz_;
  return {};
}

void ArrayPage::write_value(uint8_t* part, uint64_t offset, unsigned width, uint64_t value) {
  switch (width) {
    case 1:
      part[offset] = static_cast<uint8_t>(value);
      break;
    case 2: {
      auto v = static_cast<uint16_t>(value);
      std::memcpy(part + offset * 2, &v, 2);
      break;
    }
    case 4: {
      auto v = static_cast<uint32_t>(value);
      std::memcpy(part + offset * 4, &v, 4);
      break;
    }
    default:
      std::memcpy(part + offset * 8, &value, 8);
      break;
  }
}

void ArrayPage::widen_to(unsigned width) {
  for (auto& chunk : chunks_) {
    if (chunk == nullptr) continue;
    for (auto& part : chunk->parts) {
      if (part == nullptr) continue;
      auto wider = std::make_unique<uint8_t[]>(part_cells_ * width);
      for (uint64_t i = 0; i < part_cells_; ++i) {
        write_value(wider.get(), i, width, read_value(part.get(), i, width_));
      }
      part = std::move(wider);
    }
  }
  width_ = width;
}

uint8_t* ArrayPage::part_for_write(uint64_t index) {
  auto& chunk = chunks_[index >> kChunkShift];
  if (chunk == nullptr) chunk = std::make_unique<Chunk>();
  auto& part = chunk->parts[(index >> kPartShift) & (kPartsPerChunk - 1)];
  if (part == nullptr) part = std::make_unique<uint8_t[]>(part_cells_ * width_);
  return part.get();
}

}  // namespace kubrel
