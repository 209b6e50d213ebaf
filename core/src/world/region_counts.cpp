// Rows are built with the states known so far and widened once at the end, so that a state
// first met late costs no copy of the rows before it.
#include "world/region_counts.h"

#include <map>
#include <unordered_map>

#include "world/chunk_decoder.h"

namespace kubrel {

namespace {

struct Tally {
  std::vector<std::string> states;
  std::unordered_map<std::string, uint32_t> index;
  std::vector<std::vector<uint64_t>> rows;

  uint32_t state(const std::string& name) {
    auto [at, fresh] = index.try_emplace(name, static_cast<uint32_t>(states.size()));
    if (fresh) states.push_back(name);
    return at->second;
  }
  std::vector<uint64_t>& row(size_t i) {
    if (rows.size() <= i) rows.resize(i + 1);
    if (rows[i].size() < states.size()) rows[i].resize(states.size());
    return rows[i];
  }
};

}  // namespace

RegionCounts count_region(const RegionFile& file, CountBy by, const LegacyNames* legacy) {
  RegionCounts out;
  Tally tally;
  std::map<int32_t, size_t> y_rows;
  std::optional<LegacyPalette> numbered;
  if (legacy) numbered.emplace(legacy);
  const ChunkDecodeOptions blocks_only{
      .records = false, .biomes = false, .legacy = numbered ? &*numbered : nullptr};
  // Per-section counts by palette entry, and by y layer within the section for CountBy::Y.
  std::vector<uint32_t> local;
  std::vector<uint32_t> global;
  ChunkDecoder decoder(blocks_only);
  PageBuffer nbt;
  for (const auto& [x, z] : file.chunks()) {
    const int32_t cx = file.origin()[0] + static_cast<int32_t>(x);
    const int32_t cz = file.origin()[1] + static_cast<int32_t>(z);
    auto stored = file.read_chunk(x, z, nbt);
    if (!stored) {
      out.errors.push_back({cx, cz, stored.error().message});
      continue;
    }
    auto chunk = decoder.decode(nbt.bytes(), cx, cz);
    if (!chunk) {
      out.errors.push_back({cx, cz, chunk.error().message});
      continue;
    }
    for (const ChunkSection& section : (*chunk)->sections) {
      const size_t n = section.palette.size();
      global.resize(n);
      for (size_t i = 0; i < n; ++i) global[i] = tally.state(section.palette[i]);
      const size_t layers = by == CountBy::Y ? 16 : 1;
      local.assign(n * layers, 0);
      if (section.indices.empty()) {
        for (size_t layer = 0; layer < layers; ++layer) local[layer * n] = 4096 / layers;
      } else {
        for (size_t i = 0; i < section.indices.size(); ++i) {
          const size_t layer = by == CountBy::Y ? i / 256 : 0;
          ++local[layer * n + section.indices[i]];
        }
      }
      for (size_t layer = 0; layer < layers; ++layer) {
        size_t row_index = 0;
        if (by == CountBy::Y) {
          const int32_t y = section.y * 16 + static_cast<int32_t>(layer);
          row_index = y_rows.try_emplace(y, y_rows.size()).first->second;
        } else if (by == CountBy::Chunk) {
          row_index = out.keys.size();
          out.keys.push_back({cx, section.y, cz});
        }
        std::vector<uint64_t>& row = tally.row(row_index);
        for (size_t i = 0; i < n; ++i) row[global[i]] += local[layer * n + i];
      }
    }
  }
  const size_t width = tally.states.size();
  // Y rows were numbered as met; they are given in ascending y.
  std::vector<size_t> order;
  if (by == CountBy::Y) {
    for (const auto& [y, row] : y_rows) {
      out.keys.push_back({y, 0, 0});
      order.push_back(row);
    }
  } else {
    const size_t rows = by == CountBy::World ? 1 : out.keys.size();
    for (size_t i = 0; i < rows; ++i) order.push_back(i);
  }
  out.counts.assign(order.size() * width, 0);
  for (size_t r = 0; r < order.size(); ++r) {
    if (order[r] >= tally.rows.size()) continue;
    const std::vector<uint64_t>& row = tally.rows[order[r]];
    std::copy(row.begin(), row.end(), out.counts.begin() + static_cast<ptrdiff_t>(r * width));
  }
  out.states = std::move(tally.states);
  return out;
}

Result<RegionCounts> count_region(const std::filesystem::path& path, CountBy by,
                                  const LegacyNames* legacy) {
  KUBREL_ASSIGN_OR_RETURN(RegionFile file, RegionFile::open(path));
  return count_region(file, by, legacy);
}

}  // namespace kubrel
