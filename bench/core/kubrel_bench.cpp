// Core-side benchmark tool: the inflate reference (the input's gzip chain read to its end), reads
// through the core alone (no Python objects), the micro-benchmark of reads through forks of a
// shared stream, the floor of an array load (the file inflated with ISA-L in one call and its
// Sponge ids decoded into an array, nothing else) and the volume load itself. Prints one JSON
// object per run for bench/run.py.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "formats/any_reader.h"
#include "io/file_source.h"
#include "io/gzip_source.h"
#include "formats/kbr_reader.h"
#include "formats/mojang_reader.h"
#include "io/shared_stream.h"
#include "formats/sponge_reader.h"
#include "volume/nbt_view.h"
#include "volume/volume_loader.h"

#include <isa-l/igzip_lib.h>

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::unique_ptr<kubrel::ByteSource> open_chain(const char* path) {
  auto file = kubrel::FileSource::open(path);
  if (!file) {
    std::fprintf(stderr, "cannot open %s: %s\n", path,
                 kubrel::os_error_message(file.error()).c_str());
    std::exit(2);
  }
  return kubrel::make_gzip_chain(std::move(*file));
}

int inflate(const char* path) {
  auto start = Clock::now();
  auto chain = open_chain(path);
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

int read(const char* path, const std::string& type) {
  auto start = Clock::now();
  auto chain = open_chain(path);
  std::unique_ptr<kubrel::SchematicInputStream> stream;
  if (type == "auto") stream = kubrel::AnySchematicInputStream::new_from_known(std::move(chain));
  if (type == "sponge")
    stream = std::make_unique<kubrel::SpongeSchematicInputStream>(std::move(chain));
  if (type == "mojang")
    stream = std::make_unique<kubrel::MojangSchematicInputStream>(std::move(chain));
  if (type == "kbr") stream = std::make_unique<kubrel::KBRSchematicInputStream>(std::move(chain));
  if (!stream) {
    std::fprintf(stderr, "unknown type %s\n", type.c_str());
    return 2;
  }
  uint64_t blocks = 0;
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
  std::printf("{\"seconds\": %.6f, \"blocks\": %llu}\n", seconds_since(start),
              static_cast<unsigned long long>(blocks));
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

std::vector<uint8_t> whole_file(const char* path) {
  auto file = kubrel::FileSource::open(path);
  if (!file) {
    std::fprintf(stderr, "cannot open %s\n", path);
    std::exit(2);
  }
  std::vector<uint8_t> bytes(1 << 16);
  size_t size = 0;
  while (true) {
    if (size == bytes.size()) bytes.resize(bytes.size() * 2);
    auto got = (*file)->read(bytes.data() + size, bytes.size() - size);
    if (!got || *got == 0) break;
    size += *got;
  }
  bytes.resize(size);
  return bytes;
}

// The least any array load of a Sponge file must do: inflate it (one ISA-L call into a buffer of
// the trailer's size) and decode its VarInt ids into an array of 16-bit indices. No palette, no
// checks beyond the decoder's own.
int floor(const char* path) {
  auto start = Clock::now();
  std::vector<uint8_t> packed = whole_file(path);
  if (packed.size() < 18) return 1;
  const uint8_t* trailer = packed.data() + packed.size() - 4;
  uint32_t inflated_size =
      trailer[0] | trailer[1] << 8 | trailer[2] << 16 | uint32_t{trailer[3]} << 24;
  std::unique_ptr<uint8_t[]> document(new uint8_t[inflated_size]);
  inflate_state state;
  isal_inflate_init(&state);
  state.crc_flag = ISAL_GZIP;
  state.next_in = packed.data();
  state.avail_in = static_cast<uint32_t>(packed.size());
  state.next_out = document.get();
  state.avail_out = inflated_size;
  if (isal_inflate(&state) != ISAL_DECOMP_OK || state.block_state != ISAL_BLOCK_FINISH) {
    std::fprintf(stderr, "inflate failed\n");
    return 1;
  }
  std::span<const uint8_t> doc(document.get(), inflated_size);
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
  size_t count = 0;
  for (size_t i = 0; i < ids->size();) {
    uint32_t value = (*ids)[i] & 0x7F;
    for (int shift = 7; (*ids)[i++] & 0x80 && i < ids->size(); shift += 7) {
      value |= uint32_t{(*ids)[i] & 0x7Fu} << shift;
    }
    out[count++] = static_cast<uint16_t>(value);
  }
  double seconds = seconds_since(start);
  uint64_t checksum = 0;
  for (size_t i = 0; i < count; i += 4099) checksum += out[i];
  std::printf("{\"seconds\": %.6f, \"positions\": %zu, \"checksum\": %llu}\n", seconds, count,
              static_cast<unsigned long long>(checksum));
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

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "inflate" && argc == 3) return inflate(argv[2]);
  if (mode == "read" && argc == 4) return read(argv[2], argv[3]);
  if (mode == "fork" && argc == 2) return fork_micro();
  if (mode == "floor" && argc == 3) return floor(argv[2]);
  if (mode == "volume" && argc == 3) return volume(argv[2]);
  std::fprintf(stderr,
               "usage: kubrel_bench inflate FILE | read FILE auto|sponge|mojang|kbr | fork | "
               "floor FILE | volume FILE\n");
  return 2;
}
