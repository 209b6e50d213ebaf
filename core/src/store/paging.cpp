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

void ArrayPage::store_cells(uint64_t first, unsigned shift, const size_t* ids, size_t id_stride,
                            uint64_t count) {
  with_cell_type(width_,
                 [&]<class Cell>() { store_cells_as<Cell>(first, shift, ids, id_stride, count); });
}

template <class Cell>
void ArrayPage::store_cells_as(uint64_t first, unsigned shift, const size_t* ids, size_t id_stride,
                               uint64_t count) {
  size_t added = 0;
  if (shift == 0 && ((first + count - 1) >> kPartShift) == (first >> kPartShift)) {
    // A stretch inside one part, the common write of a row along z: one lookup, no steps between
    // parts to watch for.
    uint8_t* part = part_of(first);
    if (part == nullptr) [[unlikely]]
      part = new_part(first);
    const uint64_t offset = first & kPartMask;
    for (uint64_t k = 0; k < count; ++k) {
      added += load_cell_as<Cell>(part, offset + k) == 0;
      store_cell_as(part, offset + k, static_cast<Cell>(ids[k * id_stride] + 1));
    }
    nnz_ += added;
    return;
  }
  // Rows along z stay in one part; the part is looked up again only when a cell leaves it.
  uint64_t part_index = UINT64_MAX;
  uint8_t* part = nullptr;
  for (uint64_t k = 0; k < count; ++k) {
    uint64_t index = first + (k << shift);
    if (index >> kPartShift != part_index) {
      part_index = index >> kPartShift;
      part = part_of(index);
      if (part == nullptr) [[unlikely]]
        part = new_part(index);
    }
    uint64_t offset = index & kPartMask;
    added += load_cell_as<Cell>(part, offset) == 0;
    store_cell_as(part, offset, static_cast<Cell>(ids[k * id_stride] + 1));
  }
  nnz_ += added;
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

uint8_t* ArrayPage::new_part(uint64_t index) {
  auto& chunk = chunks_[index >> kChunkShift];
  if (chunk == nullptr) chunk = std::make_unique<Chunk>();
  auto& part = chunk->parts[(index >> kPartShift) & (kPartsPerChunk - 1)];
  part = std::make_unique<uint8_t[]>(part_cells_ * width_);
  return part.get();
}

}  // namespace kubrel
