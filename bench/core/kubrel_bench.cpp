// Core-side benchmark tool: the inflate reference (the input's gzip chain read to its end), reads
// through the core alone (no Python objects), the micro-benchmark of reads through forks of a
// shared stream, the floor of an array load (the file inflated with ISA-L in one call and its
// Sponge ids decoded into an array, nothing else), the volume load itself, and the writers: a
// volume saved as Sponge v3 and as KBR beside the floor, ISA-L compressing the Sponge document
// alone, the visible-face pass beside a plain pass over the grid, and a region file of a world read
// to per-chunk arrays beside its floor. Prints one JSON object per run for the Python scripts.

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "bench_common.h"
#include "faces_bench.h"
#include "formats/any_reader.h"
#include "formats/schematic_formats.h"
#include "formats/sponge_reader.h"
#include "io/byte_sink.h"
#include "io/file_source.h"
#include "io/gzip_sink.h"
#include "io/gzip_source.h"
#include "io/shared_stream.h"
#include "litematic_bench.h"
#include "nbt/nbt_view.h"
#if KUBREL_BENCH_REGION
#include "region_bench.h"
#endif
#include "volume/sponge_writer.h"
#include "volume/volume_loader.h"
#include "volume/volume_parts.h"
#include "volume/volume_save.h"

namespace {

using kubrel::bench::Clock;
using kubrel::bench::cpu_seconds;
using kubrel::bench::open_file;
using kubrel::bench::seconds_since;
using kubrel::bench::whole_file;

int inflate(const char* path) {
  auto start = Clock::now();
  auto chain = kubrel::make_gzip_chain(open_file(path));
  std::vector<uint8_t> buffer(64 * 1024);
  uint64_t total = 0;
  while (true) {
    auto got = chain->read(buffer.data(), buffer.size());
    if (!got) {
      std::fprintf(stderr, "%s\n", got.error().message.c_str());
      return 1;
    }
    if (*got == 0) break;
    total += *got;
  }
  std::printf("{\"seconds\": %.6f, \"bytes\": %llu}\n", seconds_since(start),
              static_cast<unsigned long long>(total));
  return 0;
}

// Reads the file through the format table as the module does: `type` is a format name of the
// table in any case, or "auto". Reads it `repeats` times and reports the fastest read, in wall
// clock and in CPU time.
int read(const char* path, const std::string& type, int repeats) {
  std::string name = type;
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  double best_wall = 1e300;
  double best_cpu = 1e300;
  uint64_t blocks = 0;
  for (int run = 0; run < repeats; ++run) {
    auto start = Clock::now();
    double cpu_start = cpu_seconds();
    auto stream = kubrel::open_gzip_schematic(name, open_file(path));
    if (!stream) {
      std::fprintf(stderr, "unknown type %s\n", type.c_str());
      return 2;
    }
    blocks = 0;
    std::vector<kubrel::Block> bulk;
    while (true) {
      bulk.clear();
      auto count = stream->read(bulk, 1024);
      if (!count) {
        std::fprintf(stderr, "%s\n", count.error().message.c_str());
        return 1;
      }
      if (!*count) break;
      blocks += **count;
    }
    best_cpu = std::min(best_cpu, cpu_seconds() - cpu_start);
    best_wall = std::min(best_wall, seconds_since(start));
  }
  std::printf("{\"seconds\": %.6f, \"cpu_seconds\": %.6f, \"blocks\": %llu}\n", best_wall, best_cpu,
              static_cast<unsigned long long>(blocks));
  return 0;
}

// A digest of every block the file reads as (FNV-1a over each bulk's size and its blocks'
// positions, names and properties, in order, then the boundary), to check that a change to a
// reader leaves what it reads, and how it hands it out, unchanged.
int digest(const char* path, const std::string& type) {
  std::string name = type;
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  auto stream = kubrel::open_gzip_schematic(name, open_file(path));
  if (!stream) return 2;
  uint64_t hash = 1469598103934665603ull;
  auto mix = [&](const void* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
      hash = (hash ^ static_cast<const uint8_t*>(data)[i]) * 1099511628211ull;
    }
  };
  uint64_t blocks = 0;
  std::vector<kubrel::Block> bulk;
  while (true) {
    bulk.clear();
    auto count = stream->read(bulk, 1024);
    if (!count) {
      std::printf("{\"error\": \"%s\", \"blocks\": %llu}\n", count.error().message.c_str(),
                  static_cast<unsigned long long>(blocks));
      return 0;
    }
    if (!*count) break;
    mix(&*count, sizeof *count);
    for (const kubrel::Block& block : bulk) {
      mix(&block.position, sizeof block.position);
      mix(block.state->name().data(), block.state->name().size());
      for (const auto& [key, value] : block.state->properties()) {
        mix(key.data(), key.size());
        mix(value.data(), value.size());
      }
    }
    blocks += bulk.size();
  }
  auto boundary = stream->boundary();
  std::string box =
      !boundary   ? "error: " + boundary.error().message
      : *boundary ? (*boundary)->min.debug_string() + " " + std::to_string((*boundary)->d_x) + "x" +
                        std::to_string((*boundary)->d_y) + "x" + std::to_string((*boundary)->d_z)
                  : "none";
  mix(box.data(), box.size());
  std::printf("{\"digest\": \"%016llx\", \"blocks\": %llu}\n",
              static_cast<unsigned long long>(hash), static_cast<unsigned long long>(blocks));
  return 0;
}

// Nanoseconds per read of `piece` bytes by a fork that the input's bytes are all buffered for.
double buffered_read_ns(size_t piece, size_t forks) {
  constexpr size_t kInput = 16 << 20;
  std::vector<uint8_t> bytes(kInput, 0x5A);
  auto shared =
      kubrel::SharedStream::create(std::make_unique<kubrel::MemorySource>(std::move(bytes)));
  std::vector<std::unique_ptr<kubrel::VirtualReader>> readers;
  for (size_t i = 0; i < forks; ++i) readers.push_back(shared->fork());
  std::vector<uint8_t> sink(8192);
  // The first fork pulls the whole input; the others stay at the start, so it is all kept.
  while (*readers[0]->read(sink.data(), sink.size()) > 0) {
  }
  auto start = Clock::now();
  uint64_t reads = 0;
  uint64_t total = 0;
  while (true) {
    size_t got = *readers[1]->read(sink.data(), piece);
    if (got == 0) break;
    total += got;
    ++reads;
  }
  double ns = seconds_since(start) * 1e9 / static_cast<double>(reads);
  if (total != kInput) std::fprintf(stderr, "short read\n");
  return ns;
}

// Nanoseconds per read of `piece` bytes by the fork at the front, which pulls from the source.
double leading_read_ns(size_t piece) {
  constexpr size_t kInput = 16 << 20;
  std::vector<uint8_t> bytes(kInput, 0x5A);
  auto shared =
      kubrel::SharedStream::create(std::make_unique<kubrel::MemorySource>(std::move(bytes)));
  auto reader = shared->fork();
  std::vector<uint8_t> sink(8192);
  auto start = Clock::now();
  uint64_t reads = 0;
  while (*reader->read(sink.data(), piece) > 0) ++reads;
  return seconds_since(start) * 1e9 / static_cast<double>(reads);
}

int fork_micro() {
  std::printf(
      "{\"buffered_8192_ns\": %.2f, \"buffered_64_ns\": %.2f, \"buffered_1_ns\": %.2f, "
      "\"buffered_3forks_8192_ns\": %.2f, \"leading_1024_ns\": %.2f, "
      "\"leading_8192_ns\": %.2f}\n",
      buffered_read_ns(8192, 2), buffered_read_ns(64, 2), buffered_read_ns(1, 2),
      buffered_read_ns(8192, 3), leading_read_ns(1024), leading_read_ns(8192));
  return 0;
}

// The least any array load of a Sponge file must do: inflate it (one ISA-L call into a buffer of
// the trailer's size) and decode its VarInt ids into an array of 16-bit indices. No palette, no
// checks beyond the decoder's own.
int floor(const char* path) {
  auto start = Clock::now();
  double cpu_start = cpu_seconds();
  std::vector<uint8_t> packed = whole_file(path);
  auto document = kubrel::bench::inflate_whole(packed);
  if (!document) {
    std::fprintf(stderr, "inflate failed\n");
    return 1;
  }
  std::span<const uint8_t> doc = document->bytes();
  // The id array is found with the volume decoders' in-place walk, which only skips.
  auto root = kubrel::nbt_root_compound(doc);
  kubrel::NbtEntries<3> keys{{"Schematic", "BlockData", "Blocks"}};
  if (!root || !kubrel::find_entries(doc, *root, 0, keys)) return 1;
  if (keys["Schematic"].found()) {
    size_t nested = keys["Schematic"].payload;
    keys.found = {};
    if (!kubrel::find_entries(doc, nested, 1, keys)) return 1;
  }
  kubrel::NbtTagRef data = keys["BlockData"];
  if (keys["Blocks"].found()) {
    kubrel::NbtEntries<1> inner{{"Data"}};
    if (!kubrel::find_entries(doc, keys["Blocks"].payload, 1, inner)) return 1;
    data = inner["Data"];
  }
  kubrel::NbtCursor cursor(doc, data.payload);
  auto ids = cursor.array_bytes(kubrel::NbtKind::ByteArray);
  if (!ids) return 1;
  std::unique_ptr<uint16_t[]> out(new uint16_t[ids->size()]);
  kubrel::advise_huge_pages(out.get(), ids->size() * sizeof(uint16_t));
  size_t count = 0;
  for (size_t i = 0; i < ids->size();) {
    uint32_t value = (*ids)[i] & 0x7F;
    for (int shift = 7; (*ids)[i++] & 0x80 && i < ids->size(); shift += 7) {
      value |= uint32_t{(*ids)[i] & 0x7Fu} << shift;
    }
    out[count++] = static_cast<uint16_t>(value);
  }
  double seconds = seconds_since(start);
  double cpu = cpu_seconds() - cpu_start;
  uint64_t checksum = 0;
  for (size_t i = 0; i < count; i += 4099) checksum += out[i];
  std::printf(
      "{\"seconds\": %.6f, \"cpu_seconds\": %.6f, \"positions\": %zu, \"checksum\": %llu}\n",
      seconds, cpu, count, static_cast<unsigned long long>(checksum));
  return 0;
}

// The volume load as kubrel.load() runs it without Python: the file read whole, then decoded.
int volume(const char* path) {
  auto start = Clock::now();
  std::vector<uint8_t> packed = whole_file(path);
  auto loaded = kubrel::load_volume(packed);
  if (!loaded) {
    std::fprintf(stderr, "%s\n", loaded.error().message.c_str());
    return 1;
  }
  double seconds = seconds_since(start);
  std::printf("{\"seconds\": %.6f, \"positions\": %zu, \"palette\": %zu}\n", seconds,
              loaded->blocks.bytes.size() / loaded->blocks.width, loaded->palette.size());
  return 0;
}

// The volume of a schematic read through the exact reader: every non-air block placed into a grid
// of palette indices, index 0 air.
kubrel::Volume volume_of(const char* path) {
  auto stream = kubrel::AnySchematicInputStream::new_from_known_gzip(
      std::move(*kubrel::FileSource::open(path)));
  auto boundary = stream->boundary();
  auto blocks = stream->read_to_end_into_vec();
  if (!boundary || !*boundary || !blocks) {
    std::fprintf(stderr, "cannot read %s\n", path);
    std::exit(1);
  }
  kubrel::Volume volume;
  const kubrel::Boundary& box = **boundary;
  volume.origin = box.min;
  volume.size = {box.d_x, box.d_y, box.d_z};
  volume.palette = {"minecraft:air"};
  volume.blocks.width = 2;
  volume.blocks.bytes.resize(uint64_t{box.d_x} * box.d_y * box.d_z * 2);
  std::unordered_map<std::string, uint16_t> index_of{{"minecraft:air", 0}};
  for (const kubrel::Block& block : *blocks) {
    auto properties = block.state->properties();
    std::sort(properties.begin(), properties.end());
    std::string text = block.state->name();
    for (size_t i = 0; i < properties.size(); ++i)
      text += (i ? "," : "[") + properties[i].first + "=" + properties[i].second;
    if (!properties.empty()) text += "]";
    auto [at, added] = index_of.try_emplace(text, static_cast<uint16_t>(volume.palette.size()));
    if (added) volume.palette.push_back(text);
    const kubrel::BlockPosition& p = block.position;
    uint64_t cell = (uint64_t(p.y - box.min.y) * box.d_z + uint64_t(p.z - box.min.z)) * box.d_x +
                    uint64_t(p.x - box.min.x);
    std::memcpy(volume.blocks.bytes.data() + cell * 2, &at->second, 2);
  }
  if (volume.palette.size() <= 256) kubrel::convert_grid_width(volume.blocks, 1);
  return volume;
}

// Seconds and compressed bytes of `encode` into a counting sink, best of `repeats`.
template <class Encode>
std::pair<double, uint64_t> best_of(int repeats, Encode&& encode) {
  double best = 1e30;
  uint64_t bytes = 0;
  for (int i = 0; i < repeats; ++i) {
    kubrel::CountingSink sink;
    auto start = Clock::now();
    if (!encode(sink)) {
      std::fprintf(stderr, "encoding failed\n");
      std::exit(1);
    }
    best = std::min(best, seconds_since(start));
    bytes = sink.count();
  }
  return {best, bytes};
}

int save(const char* path, int level) {
  kubrel::Volume volume = volume_of(path);
  // Writers require a data version, which KBR inputs lack; any one times the same.
  if (!volume.data_version) volume.data_version = 3953;
  kubrel::VectorSink document;
  if (!kubrel::write_sponge(volume, {}, document)) return 1;
  constexpr int kRepeats = 5;
  auto floor = best_of(kRepeats, [&](kubrel::ByteSink& sink) {
    auto gzip = kubrel::GzipSink::create(sink, level);
    return gzip && (*gzip)->write(document.bytes()) && (*gzip)->finish();
  });
  auto encode = [&](kubrel::VolumeFormat format) {
    return best_of(kRepeats, [&](kubrel::ByteSink& sink) {
      return kubrel::encode_volume(volume, format, {.format = format, .gzip_level = level}, sink)
          .has_value();
    });
  };
  auto sponge = encode(kubrel::VolumeFormat::Sponge);
  auto kbr = encode(kubrel::VolumeFormat::Kbr);
  std::printf(
      "{\"level\": %d, \"document_bytes\": %zu, \"floor_seconds\": %.6f, \"floor_bytes\": %llu, "
      "\"sponge_v3_seconds\": %.6f, \"sponge_v3_bytes\": %llu, \"kbr_seconds\": %.6f, "
      "\"kbr_bytes\": %llu}\n",
      level, document.bytes().size(), floor.first, (unsigned long long)floor.second, sponge.first,
      (unsigned long long)sponge.second, kbr.first, (unsigned long long)kbr.second);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "inflate" && argc == 3) return inflate(argv[2]);
  if (mode == "read" && (argc == 4 || argc == 5)) {
    return read(argv[2], argv[3], argc == 5 ? std::max(1, std::atoi(argv[4])) : 1);
  }
  if (mode == "digest" && argc == 4) return digest(argv[2], argv[3]);
  if (mode == "fork" && argc == 2) return fork_micro();
  if (mode == "litematic-floor" && argc == 3) return kubrel::bench::litematic_floor(argv[2]);
  if (mode == "litematic" && argc == 3) return kubrel::bench::litematic_read(argv[2]);
  if (mode == "floor" && argc == 3) return floor(argv[2]);
  if (mode == "volume" && argc == 3) return volume(argv[2]);
  if (mode == "faces" && argc == 3) return kubrel::bench::visible_faces(argv[2]);
#if KUBREL_BENCH_REGION
  if (mode == "region" && (argc == 3 || argc == 4)) {
    return kubrel::bench::region_to_arrays(argv[2],
                                           argc == 4 ? std::max(1, std::atoi(argv[3])) : 5);
  }
#endif
  if (mode == "save" && (argc == 3 || argc == 4))
    return save(argv[2], argc == 4 ? std::atoi(argv[3]) : kubrel::kDefaultGzipLevel);
  std::fprintf(stderr,
               "usage: kubrel_bench inflate FILE | read FILE auto|sponge|mojang|kbr [REPEATS] | "
               "digest FILE auto|sponge|mojang|kbr | fork | floor FILE | volume FILE | "
               "save FILE [LEVEL] | litematic-floor FILE | litematic FILE | faces FILE | "
               "region FILE [REPEATS]\n");
  return 2;
}
