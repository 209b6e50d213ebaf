// A region file of a world save: 1024 chunks in a 32 x 32 square, found through the 4 KiB table
// of sector offsets at the file's start, each stored as a length, a compression byte and its
// compressed NBT (gzip, zlib, none, or the block stream of LZ4 that newer games write), or in a
// file of its own beside the region file when it is too large for one. A damaged chunk is an
// error for that chunk alone; the others still read.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/error.h"
#include "common/page_buffer.h"

namespace kubrel {

inline constexpr uint32_t kRegionChunks = 1024;
inline constexpr size_t kRegionSector = 4096;
// The most bytes one chunk's NBT may inflate to; a chunk that holds more is damaged.
inline constexpr size_t kMaxChunkNbt = size_t{256} << 20;

// The chunk offsets of a region file name "r.X.Z.mca": X * 32 and Z * 32.
[[nodiscard]] std::optional<std::array<int32_t, 2>> region_origin(std::string_view file_name);

class RegionFile {
 public:
  // Reads the file whole (a region file holds at most 1024 chunks of 1 MiB each, and `.mcc`
  // files are read when asked for). A missing file is an error; an empty or short one has no
  // chunks.
  [[nodiscard]] static Result<RegionFile> open(const std::filesystem::path& path);
  // The location table alone (the file's first 4 KiB), for listing chunks without reading them:
  // every chunk of it reads as damaged.
  [[nodiscard]] static Result<RegionFile> open_table(const std::filesystem::path& path);
  // A region file held in memory; `directory` is where its external chunk files stand (empty:
  // none can be read).
  static RegionFile from_bytes(std::vector<uint8_t> bytes, std::filesystem::path directory = {},
                               std::array<int32_t, 2> origin = {0, 0});

  // The chunk coordinates of the file's first chunk (from its name, else 0, 0).
  std::array<int32_t, 2> origin() const { return origin_; }
  // Whether the location table names a chunk at local (x, z), 0..31 each.
  bool has_chunk(uint32_t x, uint32_t z) const;
  // Local (x, z) of every chunk the table names, ordered z, then x.
  std::vector<std::array<uint32_t, 2>> chunks() const;
  // The chunk's NBT, uncompressed; std::nullopt when the table names none. Failures name the
  // chunk's world position: "chunk at (cx, cz): ...".
  [[nodiscard]] Result<std::optional<PageBuffer>> read_chunk(uint32_t x, uint32_t z) const;
  // The same into `out`, whose room is kept for the next chunk: false when the table names none
  // (`out` then as it was).
  [[nodiscard]] Result<bool> read_chunk(uint32_t x, uint32_t z, PageBuffer& out) const;

 private:
  std::vector<uint8_t> bytes_;
  std::filesystem::path directory_;
  std::array<int32_t, 2> origin_{0, 0};
};

// Inflates one chunk payload given its compression byte (without the external-file bit): 1 gzip,
// 2 zlib, 3 none, 4 LZ4 block stream. Output past `limit` bytes is an error.
[[nodiscard]] Result<PageBuffer> decompress_chunk(uint8_t compression,
                                                  std::span<const uint8_t> payload,
                                                  size_t limit = kMaxChunkNbt);
// The same into `out`, using the room it has before growing it.
[[nodiscard]] Status decompress_chunk(uint8_t compression, std::span<const uint8_t> payload,
                                      size_t limit, PageBuffer& out);

// xxHash32 of `data`, which the LZ4 block stream checks each block with (seed 0x9747b28c, the
// top four bits cleared).
uint32_t xxhash32(std::span<const uint8_t> data, uint32_t seed);

}  // namespace kubrel
