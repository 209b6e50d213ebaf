// KBR encoding of a volume.
#include "volume/kbr_writer.h"

#include <array>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/block_state.h"
#include "volume/palette_plan.h"
#include "volume/varint.h"

namespace kubrel {

namespace {

constexpr int64_t kMagic = 0x4B5242464D54;
constexpr int32_t kVersion = 1;
// How many earlier entries of the same block a definition is compared with for a difference.
constexpr size_t kDifferenceCandidates = 16;
constexpr size_t kFlushAt = 64 * 1024;

// The body bytes, passed to the sink in large pieces.
class KbrEncoder {
 public:
  explicit KbrEncoder(ByteSink& sink) : sink_(sink) { bytes_.reserve(kFlushAt + 64); }

  void var_long(uint64_t value) {
    while (value >= 0x80) {
      bytes_.push_back(static_cast<uint8_t>(value | 0x80));
      value >>= 7;
    }
    bytes_.push_back(static_cast<uint8_t>(value));
  }
  // The 32 bits of `value`, so a negative number takes five bytes as the format reads it.
  void var_int(int32_t value) { var_long(static_cast<uint32_t>(value)); }
  void string(std::string_view text) {
    var_int(static_cast<int32_t>(text.size()));
    bytes_.insert(bytes_.end(), text.begin(), text.end());
  }
  void byte(uint8_t value) { bytes_.push_back(value); }

  // A run of `length` positions of the palette entry `id`.
  void run(int32_t id, uint64_t length) {
    while (length > 0) {
      uint64_t piece = std::min<uint64_t>(length, INT32_MAX);
      if (piece == 1) {
        var_int(id);
      } else {
        var_int(id + 1);
        var_int(static_cast<int32_t>(piece));
      }
      length -= piece;
    }
    if (bytes_.size() >= kFlushAt) [[unlikely]]
      flush();
  }

  void flush() {
    if (status_ && !bytes_.empty()) status_ = sink_.write(bytes_);
    bytes_.clear();
  }
  Status finish() {
    flush();
    return status_;
  }

 private:
  ByteSink& sink_;
  std::vector<uint8_t> bytes_;
  Status status_;
};

int32_t palette_id(uint32_t file_id) {
  return static_cast<int32_t>(2 * file_id + 2);
}

bool same_state(const BlockState& state, const StateParts& parts) {
  if (state.name() != parts.name || state.properties().size() != parts.properties.size())
    return false;
  for (size_t i = 0; i < parts.properties.size(); ++i) {
    if (state.properties()[i].first != parts.properties[i].first ||
        state.properties()[i].second != parts.properties[i].second)
      return false;
  }
  return true;
}

// The difference that turns `base` into `target` with the target's pairs in their order: the
// longest prefix of the target found in order among the base's pairs is kept, the base's other
// keys are removed, and the rest of the target is added.
std::string difference(const BlockState& base, const StateParts& target) {
  const auto& from = base.properties();
  size_t kept = 0;
  std::vector<bool> keep(from.size(), false);
  for (size_t b = 0; b < from.size() && kept < target.properties.size(); ++b) {
    if (from[b].first == target.properties[kept].first &&
        from[b].second == target.properties[kept].second) {
      keep[b] = true;
      ++kept;
    }
  }
  std::string text;
  if (base.name() != target.name) text = target.name;
  std::string removed;
  for (size_t b = 0; b < from.size(); ++b) {
    if (keep[b]) continue;
    bool replaced = false;
    for (size_t t = kept; t < target.properties.size(); ++t)
      replaced = replaced || target.properties[t].first == from[b].first;
    if (replaced) continue;
    removed += removed.empty() ? "-" : ",";
    removed += from[b].first;
  }
  text += removed;
  for (size_t t = kept; t < target.properties.size(); ++t) {
    text += t == kept ? "+" : ",";
    text += target.properties[t].first;
    text += "=";
    text += target.properties[t].second;
  }
  return text;
}

// Writes the definitions of every state of the plan, in file id order.
Status write_palette(KbrEncoder& out, const Volume& volume, const PalettePlan& plan) {
  std::vector<BlockState> defined;
  defined.reserve(plan.states.size());
  std::unordered_map<std::string_view, std::vector<uint32_t>> by_name;
  for (uint32_t file_id = 0; file_id < plan.states.size(); ++file_id) {
    const std::string& text = volume.palette[plan.states[file_id]];
    StateParts parts = split_state_text(text);
    std::optional<BlockState> state;
    std::optional<std::pair<uint32_t, std::string>> best;
    if (auto parsed = BlockState::from_string(text); parsed && same_state(*parsed, parts))
      state = std::move(*parsed);
    size_t best_size = state ? 1 + varint_size(text.size()) + text.size() : SIZE_MAX;
    std::vector<uint32_t>& same_name = by_name[parts.name];
    std::array<uint32_t, kDifferenceCandidates + 1> candidates{};
    size_t candidate_count = 0;
    for (size_t i = same_name.size(); i > 0 && candidate_count < kDifferenceCandidates; --i)
      candidates[candidate_count++] = same_name[i - 1];
    if (file_id > 0) candidates[candidate_count++] = file_id - 1;
    for (size_t c = 0; c < candidate_count; ++c) {
      uint32_t base = candidates[c];
      std::string diff = difference(defined[base], parts);
      size_t size = varint_size(static_cast<uint32_t>(palette_id(base))) +
                    varint_size(diff.size()) + diff.size();
      if (size >= best_size) continue;
      auto derived = defined[base].update(diff);
      if (!derived || !same_state(*derived, parts)) continue;
      best_size = size;
      best.emplace(base, std::move(diff));
      state = std::move(*derived);
    }
    if (!state)
      return fail("KBR cannot hold the state '" + text +
                  "': it is neither a state text nor a difference the format can read");
    if (best) {
      out.var_int(1);
      out.var_int(palette_id(best->first));
      out.string(best->second);
    } else {
      out.var_int(0);
      out.var_int(0);
      out.string(text);
    }
    defined.push_back(std::move(*state));
    same_name.push_back(file_id);
  }
  return {};
}

// Strides of the grid by axis (x, y, z), in cells.
std::array<uint64_t, 3> strides(const Volume& volume) {
  return {1, uint64_t{volume.size[0]} * volume.size[2], volume.size[0]};
}

// Calls `line(start_cell, stride, length)` for every line of the walk in `order`, in walk order.
template <class Line>
void for_each_line(const Volume& volume, AxisOrder order, Line&& line) {
  auto axes = axis(order);
  auto stride = strides(volume);
  for (uint64_t a = 0; a < volume.size[axes[0]]; ++a) {
    for (uint64_t b = 0; b < volume.size[axes[1]]; ++b)
      line(a * stride[axes[0]] + b * stride[axes[1]], stride[axes[2]], volume.size[axes[2]]);
  }
}

// The runs of the walk in each of the six orders: the changes between neighbours along each axis,
// counted in one pass, plus the changes where one line of a walk ends and the next begins.
template <class Id>
std::array<uint64_t, 6> count_runs(const Volume& volume, const Id* ids) {
  std::array<uint64_t, 6> runs{};
  if (volume.blocks.bytes.empty()) return runs;
  const uint64_t sx = volume.size[0], sy = volume.size[1], sz = volume.size[2];
  std::array<uint64_t, 3> changes{};
  for (uint64_t y = 0; y < sy; ++y) {
    for (uint64_t z = 0; z < sz; ++z) {
      const Id* row = ids + (y * sz + z) * sx;
      uint64_t cx = 0, cy = 0, cz = 0;
      for (uint64_t x = 0; x + 1 < sx; ++x) cx += row[x] != row[x + 1];
      if (z + 1 < sz) {
        const Id* next = row + sx;
        for (uint64_t x = 0; x < sx; ++x) cz += row[x] != next[x];
      }
      if (y + 1 < sy) {
        const Id* next = row + sx * sz;
        for (uint64_t x = 0; x < sx; ++x) cy += row[x] != next[x];
      }
      changes[0] += cx;
      changes[1] += cy;
      changes[2] += cz;
    }
  }
  for (int code = 0; code < 6; ++code) {
    AxisOrder order = static_cast<AxisOrder>(code);
    uint64_t joins = 0;
    bool first = true;
    Id last{};
    for_each_line(volume, order, [&](uint64_t start, uint64_t stride, uint64_t length) {
      if (!first && last != ids[start]) ++joins;
      first = false;
      last = ids[start + (length - 1) * stride];
    });
    runs[code] = 1 + changes[axis(order)[2]] + joins;
  }
  return runs;
}

// Picks the order with the fewest runs, writes its code and the runs along it.
template <class Id>
void write_order(KbrEncoder& out, const Volume& volume, const Id* ids, KbrWriteReport& report) {
  std::array<uint64_t, 6> runs = count_runs(volume, ids);
  int best = static_cast<int>(AxisOrder::YZX);
  for (int code = 0; code < 6; ++code) {
    if (runs[code] < runs[best]) best = code;
  }
  report.order = static_cast<AxisOrder>(best);
  report.runs = runs[best];
  out.byte(static_cast<uint8_t>(best));
}

template <class Id>
void write_runs(KbrEncoder& out, const Volume& volume, const Id* ids, AxisOrder order) {
  if (volume.blocks.bytes.empty()) return;
  Id current = ids[0];
  uint64_t length = 0;
  for_each_line(volume, order, [&](uint64_t start, uint64_t stride, uint64_t count) {
    const Id* at = ids + start;
    for (uint64_t i = 0; i < count; ++i, at += stride) {
      if (*at == current) [[likely]] {
        ++length;
        continue;
      }
      out.run(palette_id(current), length);
      current = *at;
      length = 1;
    }
  });
  out.run(palette_id(current), length);
}

// The order byte, the definitions and the runs, over `ids`: the file id of every cell.
template <class Id>
Status write_rest(KbrEncoder& out, const Volume& volume, const PalettePlan& plan, const Id* ids,
                  KbrWriteReport& report) {
  write_order(out, volume, ids, report);
  KUBREL_TRY(write_palette(out, volume, plan));
  write_runs(out, volume, ids, report.order);
  return {};
}

// Whether every used palette index is its own file id, so the grid itself holds the file ids.
bool ids_are_indices(const PalettePlan& plan) {
  for (size_t index = 0; index < plan.uses.size(); ++index) {
    if (plan.uses[index] != 0 && plan.file_id[index] != index) return false;
  }
  return true;
}

}  // namespace

Result<KbrWriteReport> write_kbr(const Volume& volume, const KbrWriteOptions& options,
                                 ByteSink& sink) {
  KUBREL_TRY(check_grid(volume));
  KbrWriteReport report;
  if (!volume.block_entities.empty() || !volume.entities.empty()) {
    if (!options.drop_entities)
      return fail("KBR holds no block entities or entities, and the volume has " +
                  std::to_string(volume.block_entities.size()) + " block entities and " +
                  std::to_string(volume.entities.size()) +
                  " entities; ask for them to be dropped to write it");
    report.dropped_block_entities = volume.block_entities.size();
    report.dropped_entities = volume.entities.size();
  }
  KUBREL_ASSIGN_OR_RETURN(PalettePlan plan, plan_palette(volume, whole_box(volume)));

  KbrEncoder out(sink);
  out.var_long(kMagic);
  out.var_int(kVersion);
  for (int axis_index = 0; axis_index < 3; ++axis_index) out.var_int(volume.origin[axis_index]);
  for (int axis_index = 0; axis_index < 3; ++axis_index) {
    // The inclusive maximum, in the format's 32-bit wrap-around arithmetic.
    uint32_t max = static_cast<uint32_t>(volume.origin[axis_index]) + volume.size[axis_index] - 1;
    out.var_int(static_cast<int32_t>(max));
  }
  const void* grid = volume.blocks.bytes.data();
  if (ids_are_indices(plan)) {
    if (volume.blocks.width == 1)
      KUBREL_TRY(write_rest(out, volume, plan, static_cast<const uint8_t*>(grid), report));
    else if (volume.blocks.width == 2)
      KUBREL_TRY(write_rest(out, volume, plan, static_cast<const uint16_t*>(grid), report));
    else
      KUBREL_TRY(write_rest(out, volume, plan, static_cast<const uint32_t*>(grid), report));
  } else {
    // Repeated or unused palette entries: the cells are renumbered once, so the walks compare
    // file ids directly.
    std::vector<uint32_t> ids(volume.blocks.bytes.size() / volume.blocks.width);
    const uint32_t* file_id = plan.file_id.data();
    for_each_cell(volume, whole_box(volume),
                  [&](uint64_t cell, uint32_t index) { ids[cell] = file_id[index]; });
    KUBREL_TRY(write_rest(out, volume, plan, ids.data(), report));
  }
  KUBREL_TRY(out.finish());
  return report;
}

}  // namespace kubrel
