// Fuzzes the Litematica reader over raw bytes (gzip told apart by its magic): a volume that reads
// must hold a grid of its size with every index inside its palette and its block entities and
// regions inside its box; its first region read alone must give that region's box; and it must
// write back as a Litematica document that reads as the same box.
#include <span>

#include "fuzz_drain.h"
#include "io/byte_sink.h"
#include "volume/litematic_reader.h"
#include "volume/litematic_writer.h"

namespace {

kubrel::Result<kubrel::Volume> read(const uint8_t* data, size_t size,
                                    std::optional<std::string> region = std::nullopt) {
  return kubrel::read_litematic(std::make_unique<kubrel::MemorySource>(std::span(data, size)),
                                kubrel::LitematicReadOptions{std::move(region)});
}

bool inside(const kubrel::Volume& volume, const kubrel::BlockPosition& p) {
  for (int axis = 0; axis < 3; ++axis) {
    if (p[axis] < 0 || uint32_t(p[axis]) >= volume.size[axis]) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto volume = read(data, size);
  if (!volume) return 0;
  const auto& grid = volume->blocks;
  uint64_t positions = uint64_t{volume->size[0]} * volume->size[1] * volume->size[2];
  KUBREL_FUZZ_CHECK(!volume->palette.empty() && volume->palette[0] == "minecraft:air");
  KUBREL_FUZZ_CHECK(grid.bytes.size() == positions * grid.width);
  for (uint64_t i = 0; i < positions; ++i) {
    uint32_t index = grid.width == 1   ? uint8_t(grid.bytes[i])
                     : grid.width == 2 ? reinterpret_cast<const uint16_t*>(grid.bytes.data())[i]
                                       : reinterpret_cast<const uint32_t*>(grid.bytes.data())[i];
    KUBREL_FUZZ_CHECK(index < volume->palette.size());
  }
  for (const auto& entity : volume->block_entities)
    KUBREL_FUZZ_CHECK(inside(*volume, entity.position));
  KUBREL_FUZZ_CHECK(!volume->regions.empty());
  for (const auto& region : volume->regions) {
    kubrel::BlockPosition last{int32_t(region.min.x + region.size[0] - 1),
                               int32_t(region.min.y + region.size[1] - 1),
                               int32_t(region.min.z + region.size[2] - 1)};
    KUBREL_FUZZ_CHECK(inside(*volume, region.min) && inside(*volume, last));
  }
  auto alone = read(data, size, volume->regions[0].name);
  KUBREL_FUZZ_CHECK(alone && alone->size == volume->regions[0].size);
  kubrel::VectorSink sink;
  // The writer requires a data version, which a file may leave out.
  if (!volume->data_version) volume->data_version = 0;
  KUBREL_FUZZ_CHECK(kubrel::write_litematic(*volume, sink).has_value());
  std::vector<uint8_t> written = sink.take();
  auto again = read(written.data(), written.size());
  KUBREL_FUZZ_CHECK(again && again->size == volume->size && again->origin == volume->origin);
  return 0;
}
