// Grid checks and palette numbering shared by the format writers.
#include "volume/palette_plan.h"

#include <string>
#include <unordered_map>

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

Result<PalettePlan> plan_palette(const Volume& volume, const VolumeBox& box,
                                 std::string_view leave_out) {
  const size_t palette_size = volume.palette.size();
  PalettePlan plan;
  plan.uses.assign(palette_size, 0);
  uint32_t bad_index = 0;
  bool out_of_palette = false;
  for_each_cell(volume, box, [&](uint64_t, uint32_t index) {
    if (index < palette_size) [[likely]] {
      ++plan.uses[index];
    } else {
      out_of_palette = true;
      bad_index = index;
    }
  });
  if (out_of_palette)
    return fail("volume grid holds index " + std::to_string(bad_index) +
                " outside its palette of " + std::to_string(palette_size) + " states");
  plan.file_id.assign(palette_size, kNotWritten);
  std::unordered_map<std::string_view, uint32_t> first_with_text;
  for (uint32_t index = 0; index < palette_size; ++index) {
    const std::string& text = volume.palette[index];
    if (!leave_out.empty() && text == leave_out) {
      plan.left_out += plan.uses[index];
      continue;
    }
    if (plan.uses[index] == 0) continue;
    auto [found, inserted] =
        first_with_text.try_emplace(text, static_cast<uint32_t>(plan.states.size()));
    if (inserted) plan.states.push_back(index);
    plan.file_id[index] = found->second;
  }
  return plan;
}

StateParts split_state_text(std::string_view text) {
  StateParts parts;
  size_t open = text.find('[');
  if (open == std::string_view::npos || text.back() != ']') {
    parts.name = text;
    return parts;
  }
  parts.name = text.substr(0, open);
  std::string_view body = text.substr(open + 1, text.size() - open - 2);
  while (!body.empty()) {
    size_t comma = body.find(',');
    std::string_view pair = body.substr(0, comma);
    size_t equals = pair.find('=');
    if (equals == std::string_view::npos)
      parts.properties.emplace_back(pair, std::string_view{});
    else
      parts.properties.emplace_back(pair.substr(0, equals), pair.substr(equals + 1));
    if (comma == std::string_view::npos) break;
    body.remove_prefix(comma + 1);
  }
  return parts;
}

}  // namespace kubrel
