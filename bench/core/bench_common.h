// What every mode of the core benchmark tool shares: wall and CPU clocks, opening and reading a
// file whole, and the floors' one-call inflate of a gzip file into a buffer of its trailer's size.
#pragma once

#if KUBREL_WITH_ISAL
#include <isa-l/igzip_lib.h>
#else
#include <zlib.h>
#endif

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "common/huge_pages.h"
#include "io/file_source.h"

namespace kubrel::bench {

using Clock = std::chrono::steady_clock;

inline double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// CPU time of this process: on a machine shared with other work, it moves far less than the wall
// clock does.
inline double cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The file as a byte source; exits with status 2 when it cannot be opened.
inline std::unique_ptr<ByteSource> open_file(const char* path) {
  auto file = FileSource::open(path);
  if (!file) {
    std::fprintf(stderr, "cannot open %s: %s\n", path, os_error_message(file.error()).c_str());
    std::exit(2);
  }
  return std::move(*file);
}

// The file's bytes; exits with status 2 when it cannot be opened.
inline std::vector<uint8_t> whole_file(const char* path) {
  auto file = open_file(path);
  std::vector<uint8_t> bytes(1 << 16);
  size_t size = 0;
  while (true) {
    if (size == bytes.size()) bytes.resize(bytes.size() * 2);
    auto got = file->read(bytes.data() + size, bytes.size() - size);
    if (!got || *got == 0) break;
    size += *got;
  }
  bytes.resize(size);
  return bytes;
}

// A gzip file's one member inflated with one ISA-L call (zlib's in builds without it) into a buffer
// of the size its trailer states (trusted: the floors read benchmark files), never zero-filled.
struct Inflated {
  std::unique_ptr<uint8_t[]> data;
  size_t size = 0;
  std::span<const uint8_t> bytes() const { return {data.get(), size}; }
};

inline std::optional<Inflated> inflate_whole(std::span<const uint8_t> packed) {
  if (packed.size() < 18) return std::nullopt;
  const uint8_t* trailer = packed.data() + packed.size() - 4;
  Inflated out;
  out.size = trailer[0] | trailer[1] << 8 | trailer[2] << 16 | uint32_t{trailer[3]} << 24;
  out.data.reset(new uint8_t[out.size]);
  // Floors get the huge pages the loaders ask for, so that they stay floors.
  kubrel::advise_huge_pages(out.data.get(), out.size);
#if KUBREL_WITH_ISAL
  inflate_state state;
  isal_inflate_init(&state);
  state.crc_flag = ISAL_GZIP;
  state.next_in = const_cast<uint8_t*>(packed.data());
  state.avail_in = static_cast<uint32_t>(packed.size());
  state.next_out = out.data.get();
  state.avail_out = static_cast<uint32_t>(out.size);
  if (isal_inflate(&state) != ISAL_DECOMP_OK || state.block_state != ISAL_BLOCK_FINISH)
    return std::nullopt;
#else
  z_stream stream{};
  if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK) return std::nullopt;
  stream.next_in = const_cast<uint8_t*>(packed.data());
  stream.avail_in = static_cast<uInt>(packed.size());
  stream.next_out = out.data.get();
  stream.avail_out = static_cast<uInt>(out.size);
  int status = inflate(&stream, Z_FINISH);
  inflateEnd(&stream);
  if (status != Z_STREAM_END) return std::nullopt;
#endif
  return out;
}

}  // namespace kubrel::bench
