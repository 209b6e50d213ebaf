#include "faces_bench.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string_view>
#include <vector>

#include "bench_common.h"
#include "mesh/visible_faces.h"
#include "volume/volume_loader.h"

namespace kubrel::bench {

namespace {

// A look per palette entry by name alone, near enough to the package's shape table for timing:
// the airs empty, leaves, glass and water see-through (a kind each), the rest opaque.
std::vector<uint8_t> rough_looks(const std::vector<std::string>& palette) {
  std::vector<uint8_t> looks;
  for (std::string_view state : palette) {
    std::string_view name = state.substr(0, state.find('['));
    if (name.ends_with(":air") || name.ends_with("cave_air") || name.ends_with("structure_void"))
      looks.push_back(kLookEmpty);
    else if (name.ends_with("_leaves"))
      looks.push_back(kLookSeeThrough);
    else if (name.ends_with("glass"))
      looks.push_back(kLookSeeThrough + 1);
    else if (name.ends_with(":water"))
      looks.push_back(kLookSeeThrough + 2);
    else
      looks.push_back(kLookOpaque);
  }
  return looks;
}

template <class Pass>
double best_of_five(Pass&& pass) {
  double best = 1e30;
  for (int i = 0; i < 5; ++i) {
    auto start = Clock::now();
    pass();
    best = std::min(best, seconds_since(start));
  }
  return best;
}

}  // namespace

int visible_faces(const char* path) {
  std::vector<uint8_t> packed = whole_file(path);
  auto loaded = load_volume(packed);
  if (!loaded) {
    std::fprintf(stderr, "%s\n", loaded.error().message.c_str());
    return 1;
  }
  const std::vector<uint8_t> looks = rough_looks(loaded->palette);
  const uint64_t cells = loaded->blocks.bytes.size() / loaded->blocks.width;
  uint64_t filled = 0, blocks = 0, faces = 0;
  bool failed = false;
  auto over_grid = [&]<class T>(T) {
    std::span<const T> grid(reinterpret_cast<const T*>(loaded->blocks.bytes.data()), cells);
    double plain = best_of_five([&] {
      uint64_t count = 0;
      for (T index : grid) count += index < looks.size() && looks[index] != kLookEmpty;
      filled = count;
    });
    double pass = best_of_five([&] {
      auto found = kubrel::visible_faces<T>(grid, loaded->size, looks);
      if (!found) {
        failed = true;
        return;
      }
      blocks = found->cells.size();
      faces = found->faces;
    });
    return std::pair{plain, pass};
  };
  auto [plain, pass] = loaded->blocks.width == 1   ? over_grid(uint8_t{})
                       : loaded->blocks.width == 2 ? over_grid(uint16_t{})
                                                   : over_grid(uint32_t{});
  if (failed) return 1;
  std::printf(
      "{\"cells\": %llu, \"filled\": %llu, \"plain_seconds\": %.6f, \"visible_blocks\": %llu, "
      "\"faces\": %llu, \"faces_seconds\": %.6f}\n",
      (unsigned long long)cells, (unsigned long long)filled, plain, (unsigned long long)blocks,
      (unsigned long long)faces, pass);
  return 0;
}

}  // namespace kubrel::bench
