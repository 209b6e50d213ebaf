// Palette and grid helpers shared by the array decoders.
#include "volume/volume_parts.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace kubrel {

namespace {

// The palette's text and map overhead may not exceed what any reader's palette may hold.
constexpr size_t kEntryOverhead = 64;

template <class From, class To>
void convert(const std::byte* from, std::byte* to, size_t count) {
  // Widening walks backwards, so it may run in place.
  for (size_t i = count; i-- > 0;) {
    From value;
    std::memcpy(&value, from + i * sizeof(From), sizeof(From));
    To wide = static_cast<To>(value);
    std::memcpy(to + i * sizeof(To), &wide, sizeof(To));
  }
}

}  // namespace

PaletteBuilder::PaletteBuilder() {
  texts_.emplace_back(kAirText);
  indices_.emplace(kAirText, 0);
}

Result<uint32_t> PaletteBuilder::index_of(std::string text) {
  if (auto it = indices_.find(text); it != indices_.end()) return it->second;
  bytes_ += 2 * text.size() + kEntryOverhead;
  if (bytes_ > kMaxPaletteBytes) {
    return fail("palette exceeds " + std::to_string(kMaxPaletteBytes) + " bytes of block states");
  }
  auto index = static_cast<uint32_t>(texts_.size());
  indices_.emplace(text, index);
  texts_.push_back(std::move(text));
  return index;
}

std::optional<uint32_t> PaletteBuilder::find(std::string_view text) const {
  auto it = indices_.find(std::string(text));
  if (it == indices_.end()) return std::nullopt;
  return it->second;
}

void PaletteBuilder::pop_back() {
  indices_.erase(texts_.back());
  texts_.pop_back();
}

uint8_t grid_width_for(size_t palette_size) {
  if (palette_size <= 0x100) return 1;
  if (palette_size <= 0x10000) return 2;
  return 4;
}

uint64_t max_grid_positions(size_t document_bytes) {
  return (uint64_t{1} << 24) + 4 * static_cast<uint64_t>(document_bytes);
}

std::string box_text(const std::array<uint32_t, 3>& size) {
  return std::to_string(size[0]) + " x " + std::to_string(size[1]) + " x " +
         std::to_string(size[2]);
}

int32_t block_coordinate(double value) {
  if (std::isnan(value)) return 0;
  constexpr double low = std::numeric_limits<int32_t>::min();
  constexpr double high = std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(std::clamp(std::floor(value), low, high));
}

Result<uint64_t> grid_positions(const std::array<uint32_t, 3>& size, size_t document_bytes,
                                uint64_t described) {
  // Each size is below 2^32, so the product of two fits; the third is checked.
  uint64_t area = uint64_t{size[0]} * size[1];
  uint64_t run_limit = max_grid_positions(0) + kMaxRunPositionsPerByte * document_bytes;
  uint64_t limit = std::max(max_grid_positions(document_bytes), std::min(described, run_limit));
  if (size[2] != 0 && area > limit / size[2]) {
    return fail("the box " + box_text(size) + " holds more positions than a document of " +
                std::to_string(document_bytes) + " bytes can describe (at most " +
                std::to_string(limit) + ")");
  }
  return area * size[2];
}

Status allocate_grid(IndexGrid& grid, const std::array<uint32_t, 3>& size, uint8_t width,
                     uint32_t fill, size_t document_bytes, uint64_t described) {
  KUBREL_ASSIGN_OR_RETURN(uint64_t positions, grid_positions(size, document_bytes, described));
  grid.width = width;
  KUBREL_TRY(grid.bytes.assign_zeroed(static_cast<size_t>(positions) * width));
  if (fill != 0) {
    with_index_type(width, [&]<class T>(T) {
      auto value = static_cast<T>(fill);
      for (uint64_t i = 0; i < positions; ++i) {
        std::memcpy(grid.bytes.data() + i * sizeof(T), &value, sizeof(T));
      }
    });
  }
  return {};
}

void convert_grid_width(IndexGrid& grid, uint8_t width) {
  if (width == grid.width) return;
  size_t count = grid.bytes.size() / grid.width;
  if (width > grid.width) grid.bytes.resize(count * width);
  with_index_type(grid.width, [&]<class From>(From) {
    with_index_type(width, [&]<class To>(To) {
      if constexpr (sizeof(To) > sizeof(From)) {
        convert<From, To>(grid.bytes.data(), grid.bytes.data(), count);
      } else {
        for (size_t i = 0; i < count; ++i) {
          From value;
          std::memcpy(&value, grid.bytes.data() + i * sizeof(From), sizeof(From));
          To narrow = static_cast<To>(value);
          std::memcpy(grid.bytes.data() + i * sizeof(To), &narrow, sizeof(To));
        }
      }
    });
  });
  if (width < grid.width) grid.bytes.resize(count * width);
  grid.width = width;
}

Result<uint32_t> read_dimension(std::span<const uint8_t> document, const NbtTagRef& tag,
                                std::string_view name) {
  if (!tag.found()) return fail(quoted(name) + " is missing");
  NbtCursor cursor(document, tag.payload);
  if (tag.kind == NbtKind::Short) {
    // Writers store sizes above 32767 as the Short's bits.
    KUBREL_ASSIGN_OR_RETURN(uint16_t value, cursor.number<uint16_t>());
    return value;
  }
  if (tag.kind == NbtKind::Int) {
    KUBREL_ASSIGN_OR_RETURN(int32_t value, cursor.number<int32_t>());
    if (value >= 0) return static_cast<uint32_t>(value);
  }
  return fail(quoted(name) + " is not a Short size");
}

}  // namespace kubrel
