// Grid checks and palette numbering shared by the format writers.
#include "volume/palette_plan.h"

#include <algorithm>
#include <string>
#include <type_traits>
#include <unordered_map>

#include "common/state_text.h"

namespace kubrel {

Status check_grid(const Volume& volume) {
  const IndexGrid& grid = volume.blocks;
  if (grid.width != 1 && grid.width != 2 && grid.width != 4)
    return fail("volume grid width must be 1, 2 or 4 bytes, got " + std::to_string(grid.width));
  unsigned __int128 cells =
      static_cast<unsigned __int128>(volume.size[0]) * volume.size[1] * volume.size[2] * grid.width;
  if (cells != grid.bytes.size())
    return fail("volume grid holds " + std::to_string(grid.bytes.size()) +
                " bytes where its size needs " + std::to_string(static_cast<uint64_t>(cells)));
  if (volume.palette.empty()) return fail("volume has an empty palette");
  return {};
}

namespace {

bool is_left_out(std::string_view text, std::initializer_list<std::string_view> leave_out) {
  return std::ranges::find(leave_out, text) != leave_out.end();
}

// Numbers the distinct texts of the entries that `used` accepts, in palette order. Fails on a text
// that is not state text: a writer would write it as a state that a reader refuses or reads as
// another (each distinct text is read once).
template <class Used>
Status number_states(const Volume& volume, std::initializer_list<std::string_view> leave_out,
                     PalettePlan& plan, Used&& used) {
  const size_t palette_size = volume.palette.size();
  plan.file_id.assign(palette_size, kNotWritten);
  std::unordered_map<std::string_view, uint32_t> first_with_text;
  for (uint32_t index = 0; index < palette_size; ++index) {
    const std::string& text = volume.palette[index];
    if (is_left_out(text, leave_out)) continue;
    if (!used(index)) continue;
    auto [found, inserted] =
        first_with_text.try_emplace(text, static_cast<uint32_t>(plan.states.size()));
    if (inserted) {
      KUBREL_TRY(parse_state_text(text));
      plan.states.push_back(index);
    }
    plan.file_id[index] = found->second;
  }
  return {};
}

std::unexpected<Error> index_error(uint64_t index, size_t palette_size) {
  return fail("volume grid holds index " + std::to_string(index) + " outside its palette of " +
              std::to_string(palette_size) + " states");
}

}  // namespace

std::vector<uint64_t> PaletteUseCounter::totals() const {
  if (!interleave_) return counts_;
  std::vector<uint64_t> totals(palette_size_);
  for (size_t index = 0; index < palette_size_; ++index) {
    totals[index] = counts_[4 * index] + counts_[4 * index + 1] + counts_[4 * index + 2] +
                    counts_[4 * index + 3];
  }
  return totals;
}

Result<PalettePlan> plan_whole_palette(const Volume& volume) {
  PalettePlan plan;
  KUBREL_TRY(number_states(volume, {}, plan, [](uint32_t) { return true; }));
  return plan;
}

Status check_largest_index(const Volume& volume, uint64_t largest) {
  if (largest >= volume.palette.size() && !volume.blocks.bytes.empty())
    return index_error(largest, volume.palette.size());
  return {};
}

Result<PalettePlan> plan_palette(const Volume& volume, const VolumeBox& box,
                                 std::initializer_list<std::string_view> leave_out) {
  const size_t palette_size = volume.palette.size();
  PalettePlan plan;
  PaletteUseCounter counter(palette_size);
  for_each_row(volume, box,
               [&](const auto* row, uint64_t, uint64_t count) { counter.add(row, count); });
  plan.uses = counter.totals();
  if (counter.bad_index()) return index_error(*counter.bad_index(), palette_size);
  KUBREL_TRY(number_states(volume, leave_out, plan,
                           [&](uint32_t index) { return plan.uses[index] != 0; }));
  for (uint32_t index = 0; index < palette_size; ++index)
    if (is_left_out(volume.palette[index], leave_out)) plan.left_out += plan.uses[index];
  return plan;
}

void write_state_compound(NbtWriter& w, std::string_view text) {
  auto state = parse_state_text(text);
  w.string("Name", state ? std::string_view(state->name()) : text);
  if (state && !state->properties().empty()) {
    w.begin_compound("Properties");
    for (const auto& [key, value] : state->properties()) w.string(key, value);
    w.end_compound();
  }
  w.end_compound();
}

}  // namespace kubrel
