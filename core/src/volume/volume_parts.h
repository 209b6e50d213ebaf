// What the array decoders of every format share: the volume's palette as it is built (entry 0 is
// air, each text once; its texts are canonical state texts, common/state_text.h), and the index
// grid's width, allocation and conversion.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/block_state.h"
#include "common/error.h"
#include "common/state_text.h"
#include "nbt/nbt_view.h"
#include "volume/volume.h"

namespace kubrel {

inline constexpr std::string_view kAirText = "minecraft:air";
inline constexpr std::string_view kStructureVoidText = "minecraft:structure_void";

// The palette of a volume under construction: entry 0 is "minecraft:air", every text appears
// once, and the texts' bytes are bounded like every reader's palette.
class PaletteBuilder {
 public:
  PaletteBuilder();

  // The index of `text`, added when new; fails once the palette's text exceeds the limit.
  [[nodiscard]] Result<uint32_t> index_of(std::string text);
  // The index of `text`, when present.
  std::optional<uint32_t> find(std::string_view text) const;
  size_t size() const { return texts_.size(); }
  // Removes the last entry (which nothing may refer to).
  void pop_back();
  std::vector<std::string> take() { return std::move(texts_); }

 private:
  std::vector<std::string> texts_;
  std::unordered_map<std::string, uint32_t> indices_;
  size_t bytes_ = 0;
};

// The smallest width (1, 2 or 4 bytes) whose indices cover `palette_size` entries.
uint8_t grid_width_for(size_t palette_size);

// The most positions a grid may have for a document of `document_bytes`: a fixed allowance plus
// a few per byte. Formats describe positions they do not list (structure voids, KBR runs, Sponge
// data cut short), so the grid may outgrow the document, but only this far.
uint64_t max_grid_positions(size_t document_bytes);

// The positions per document byte that a run-length document may describe beyond that bound,
// however long its runs: real files of mostly air stay far below it (tens per byte), while a file
// of a few bytes cannot make us fill memory.
inline constexpr uint64_t kMaxRunPositionsPerByte = 4096;

// The positions of a box of `size`, once they pass the bound above, or lie within `described`
// (the positions a run-length document's runs add up to) and the run bound; the failure names the
// box.
[[nodiscard]] Result<uint64_t> grid_positions(const std::array<uint32_t, 3>& size,
                                              size_t document_bytes, uint64_t described = 0);

// Sizes `grid` for `positions` indices of `width` bytes, all `fill`, once `positions` passes the
// bound above, or lies within `described` (the positions a run-length document's runs add up to)
// and the run bound; the failure names the box.
[[nodiscard]] Status allocate_grid(IndexGrid& grid, const std::array<uint32_t, 3>& size,
                                   uint8_t width, uint32_t fill, size_t document_bytes,
                                   uint64_t described = 0);

// Rewrites `grid` at another width, keeping every index (which must fit the new width).
void convert_grid_width(IndexGrid& grid, uint8_t width);

// Calls `f(T{})` with T the unsigned type of `width` bytes.
template <class F>
decltype(auto) with_index_type(uint8_t width, F&& f) {
  if (width == 1) return f(uint8_t{});
  if (width == 2) return f(uint16_t{});
  return f(uint32_t{});
}

// "W x H x L" for messages.
std::string box_text(const std::array<uint32_t, 3>& size);

// The block an entity's coordinate falls in: rounded down and held to the 32-bit range, NaN as 0.
// Files may hold any double there, and converting one out of range would be undefined.
int32_t block_coordinate(double value);

// A box's size on one axis: a Short (whose bits writers use for sizes above 32767) or a
// non-negative Int; `name` words the failure.
[[nodiscard]] Result<uint32_t> read_dimension(std::span<const uint8_t> document,
                                              const NbtTagRef& tag, std::string_view name);

}  // namespace kubrel
