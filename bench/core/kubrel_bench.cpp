// Core-side benchmark tool: the inflate reference (the input's gzip chain read to its end), reads
// through the core alone (no Python objects), and the micro-benchmark of reads through forks of a
// shared stream. Prints one JSON object per run for bench/run.py.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "formats/schematic_formats.h"
#include "io/file_source.h"
#include "io/gzip_source.h"
#include "io/shared_stream.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// CPU time of this process: on a machine shared with other work, it moves far less than the wall
// clock does.
double cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

std::unique_ptr<kubrel::ByteSource> open_file(const char* path) {
  auto file = kubrel::FileSource::open(path);
  if (!file) {
    std::fprintf(stderr, "cannot open %s: %s\n", path,
                 kubrel::os_error_message(file.error()).c_str());
    std::exit(2);
  }
  return std::move(*file);
}

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
  std::printf("{\"seconds\": %.6f, \"cpu_seconds\": %.6f, \"blocks\": %llu}\n", best_wall,
              best_cpu, static_cast<unsigned long long>(blocks));
  return 0;
}

// A digest of every block the file reads as (FNV-1a over positions, names and properties, in
// order), to check that a change to a reader leaves what it reads unchanged.
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
  std::printf("{\"digest\": \"%016llx\", \"blocks\": %llu}\n", static_cast<unsigned long long>(hash),
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

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "inflate" && argc == 3) return inflate(argv[2]);
  if (mode == "read" && (argc == 4 || argc == 5)) {
    return read(argv[2], argv[3], argc == 5 ? std::max(1, std::atoi(argv[4])) : 1);
  }
  if (mode == "digest" && argc == 4) return digest(argv[2], argv[3]);
  if (mode == "fork" && argc == 2) return fork_micro();
  std::fprintf(stderr,
               "usage: kubrel_bench inflate FILE | read FILE auto|sponge|mojang|kbr [REPEATS] | "
               "digest FILE auto|sponge|mojang|kbr | fork\n");
  return 2;
}
