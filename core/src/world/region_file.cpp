// The location table is trusted for nothing: every offset and length is checked against the
// bytes that are there before anything is read or allocated, and inflation grows its buffer only
// as output arrives, up to a bound.
#include "world/region_file.h"

#if KUBREL_WITH_LZ4
#include <lz4.h>
#endif

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <memory>

#include "io/whole_inflate.h"

namespace kubrel {

namespace {

std::string chunk_name(std::array<int32_t, 2> origin, uint32_t x, uint32_t z) {
  return "chunk at (" + std::to_string(origin[0] + static_cast<int32_t>(x)) + ", " +
         std::to_string(origin[1] + static_cast<int32_t>(z)) + ")";
}

uint32_t big_endian_u32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

uint32_t little_endian_u32(const uint8_t* p) {
  return (uint32_t{p[3]} << 24) | (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
}

Result<std::vector<uint8_t>> read_whole_file(const std::filesystem::path& path,
                                             size_t limit = SIZE_MAX) {
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!file) return std::unexpected(Error{path.string() + ": " + std::strerror(errno), errno});
  std::vector<uint8_t> bytes;
  // The size the system gives is the first room, read into in place; the file may still grow or
  // shrink while it is read, and the room with it.
  std::error_code unknown;
  const uintmax_t size = std::filesystem::file_size(path, unknown);
  if (!unknown && size < limit) bytes.reserve(static_cast<size_t>(size) + 1);
  while (bytes.size() < limit) {
    const size_t have = bytes.size();
    const size_t room = bytes.capacity() > have ? bytes.capacity() - have : size_t{1} << 16;
    bytes.resize(have + std::min(room, limit - have));
    const size_t got = std::fread(bytes.data() + have, 1, bytes.size() - have, file.get());
    bytes.resize(have + got);
    if (got == 0) break;
  }
  if (std::ferror(file.get())) {
    return std::unexpected(Error{path.string() + ": " + std::strerror(errno), errno});
  }
  return bytes;
}

}  // namespace

uint32_t xxhash32(std::span<const uint8_t> data, uint32_t seed) {
  constexpr uint32_t p1 = 2654435761u, p2 = 2246822519u, p3 = 3266489917u, p4 = 668265263u,
                     p5 = 374761393u;
  auto rotl = [](uint32_t v, int r) { return (v << r) | (v >> (32 - r)); };
  auto round = [&](uint32_t acc, uint32_t lane) { return rotl(acc + lane * p2, 13) * p1; };
  const uint8_t* p = data.data();
  const uint8_t* end = p + data.size();
  uint32_t h;
  if (data.size() >= 16) {
    uint32_t v[4] = {seed + p1 + p2, seed + p2, seed, seed - p1};
    for (; end - p >= 16; p += 16) {
      for (int i = 0; i < 4; ++i) v[i] = round(v[i], little_endian_u32(p + 4 * i));
    }
    h = rotl(v[0], 1) + rotl(v[1], 7) + rotl(v[2], 12) + rotl(v[3], 18);
  } else {
    h = seed + p5;
  }
  h += static_cast<uint32_t>(data.size());
  for (; end - p >= 4; p += 4) h = rotl(h + little_endian_u32(p) * p3, 17) * p4;
  for (; p < end; ++p) h = rotl(h + *p * p5, 11) * p1;
  h ^= h >> 15;
  h *= p2;
  h ^= h >> 13;
  h *= p3;
  h ^= h >> 16;
  return h;
}

namespace {

// The block stream: blocks of "LZ4Block", a token (method and block size), compressed and
// decompressed lengths and a checksum, each followed by its bytes, ending with an empty block.
Status inflate_lz4_blocks(std::span<const uint8_t> payload, size_t limit, PageBuffer& out) {
  static constexpr uint8_t kMagic[8] = {'L', 'Z', '4', 'B', 'l', 'o', 'c', 'k'};
  constexpr size_t kHeader = 21;
  KUBREL_TRY(out.resize_for_overwrite(0));
  size_t at = 0;
  while (true) {
    if (payload.size() - at < kHeader) return fail("LZ4 stream ends inside a block header");
    const uint8_t* head = payload.data() + at;
    if (std::memcmp(head, kMagic, sizeof(kMagic)) != 0) return fail("LZ4 block without its magic");
    const uint8_t method = head[8] & 0xF0;
    const uint32_t block_size = uint32_t{1} << (10 + (head[8] & 0x0F));
    const uint32_t packed = little_endian_u32(head + 9);
    const uint32_t unpacked = little_endian_u32(head + 13);
    const uint32_t checksum = little_endian_u32(head + 17);
    at += kHeader;
    if (method != 0x10 && method != 0x20) return fail("LZ4 block of unknown method");
    if (unpacked == 0) {
      if (packed != 0) return fail("LZ4 end block holds bytes");
      return {};
    }
    // An LZ4 block cannot expand more than 255 times, so a length beyond that is a lie, refused
    // before anything is allocated for it.
    if (unpacked > block_size || packed > payload.size() - at ||
        (method == 0x10 && packed != unpacked) || unpacked / 255 > packed) {
      return fail("LZ4 block lengths do not fit the stream");
    }
    if (unpacked > limit - out.size()) {
      return fail("inflates to more than " + std::to_string(limit) + " bytes");
    }
    const size_t before = out.size();
    KUBREL_TRY(out.resize_for_overwrite(before + unpacked));
    char* dst = reinterpret_cast<char*>(out.data()) + before;
    const char* src = reinterpret_cast<const char*>(payload.data() + at);
    if (method == 0x10) {
      std::memcpy(dst, src, unpacked);
    } else {
#if KUBREL_WITH_LZ4
      if (LZ4_decompress_safe(src, dst, static_cast<int>(packed), static_cast<int>(unpacked)) !=
          static_cast<int>(unpacked)) {
        return fail("broken LZ4 block");
      }
#else
      return fail("LZ4-compressed chunk, and this build has no LZ4 (build it with liblz4)");
#endif
    }
    const auto produced = std::span<const uint8_t>(reinterpret_cast<uint8_t*>(dst), unpacked);
    if ((xxhash32(produced, 0x9747b28c) & 0x0FFFFFFF) != checksum) {
      return fail("LZ4 block fails its checksum");
    }
    at += packed;
  }
}

}  // namespace

std::optional<std::array<int32_t, 2>> region_origin(std::string_view name) {
  if (!name.starts_with("r.") || !name.ends_with(".mca")) return std::nullopt;
  std::string_view middle = name.substr(2, name.size() - 6);
  size_t dot = middle.find('.');
  if (dot == std::string_view::npos) return std::nullopt;
  int32_t rx = 0, rz = 0;
  auto parse = [](std::string_view text, int32_t& value) {
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc{} && end == text.data() + text.size() && !text.empty() &&
           value > -(1 << 21) && value < (1 << 21);
  };
  if (!parse(middle.substr(0, dot), rx) || !parse(middle.substr(dot + 1), rz)) return std::nullopt;
  return std::array<int32_t, 2>{rx * 32, rz * 32};
}

Status decompress_chunk(uint8_t compression, std::span<const uint8_t> payload, size_t limit,
                        PageBuffer& out) {
  switch (compression) {
    case 1:
      return inflate_whole(DeflateWrapper::kGzip, payload, limit, out);
    case 2:
      return inflate_whole(DeflateWrapper::kZlib, payload, limit, out);
    case 3: {
      if (payload.size() > limit) return fail("chunk larger than " + std::to_string(limit));
      KUBREL_TRY(out.resize_for_overwrite(payload.size()));
      if (!payload.empty()) std::memcpy(out.data(), payload.data(), payload.size());
      return {};
    }
    case 4:
      return inflate_lz4_blocks(payload, limit, out);
    default:
      return fail("unknown compression " + std::to_string(compression));
  }
}

Result<PageBuffer> decompress_chunk(uint8_t compression, std::span<const uint8_t> payload,
                                    size_t limit) {
  PageBuffer out;
  KUBREL_TRY(decompress_chunk(compression, payload, limit, out));
  return out;
}

Result<RegionFile> RegionFile::open(const std::filesystem::path& path) {
  KUBREL_ASSIGN_OR_RETURN(std::vector<uint8_t> bytes, read_whole_file(path));
  auto origin = region_origin(path.filename().string());
  return from_bytes(std::move(bytes), path.parent_path(), origin.value_or(std::array{0, 0}));
}

Result<RegionFile> RegionFile::open_table(const std::filesystem::path& path) {
  KUBREL_ASSIGN_OR_RETURN(std::vector<uint8_t> bytes, read_whole_file(path, kRegionSector));
  auto origin = region_origin(path.filename().string());
  return from_bytes(std::move(bytes), {}, origin.value_or(std::array{0, 0}));
}

RegionFile RegionFile::from_bytes(std::vector<uint8_t> bytes, std::filesystem::path directory,
                                  std::array<int32_t, 2> origin) {
  RegionFile file;
  file.bytes_ = std::move(bytes);
  file.directory_ = std::move(directory);
  file.origin_ = origin;
  return file;
}

bool RegionFile::has_chunk(uint32_t x, uint32_t z) const {
  const size_t slot = (size_t{z} * 32 + x) * 4;
  if (x >= 32 || z >= 32 || bytes_.size() < slot + 4) return false;
  return big_endian_u32(bytes_.data() + slot) != 0;
}

std::vector<std::array<uint32_t, 2>> RegionFile::chunks() const {
  std::vector<std::array<uint32_t, 2>> present;
  for (uint32_t z = 0; z < 32; ++z) {
    for (uint32_t x = 0; x < 32; ++x) {
      if (has_chunk(x, z)) present.push_back({x, z});
    }
  }
  return present;
}

Result<std::optional<PageBuffer>> RegionFile::read_chunk(uint32_t x, uint32_t z) const {
  PageBuffer out;
  KUBREL_ASSIGN_OR_RETURN(bool present, read_chunk(x, z, out));
  if (!present) return std::optional<PageBuffer>{};
  return std::optional<PageBuffer>(std::move(out));
}

Result<bool> RegionFile::read_chunk(uint32_t x, uint32_t z, PageBuffer& out) const {
  if (!has_chunk(x, z)) return false;
  auto damaged = [&](const std::string& why) {
    return std::unexpected(Error{chunk_name(origin_, x, z) + ": " + why});
  };
  const uint32_t location = big_endian_u32(bytes_.data() + (size_t{z} * 32 + x) * 4);
  const size_t sector = location >> 8;
  const size_t sectors = location & 0xFF;
  if (sector < 2) return damaged("its sector " + std::to_string(sector) + " is in the header");
  const size_t begin = sector * kRegionSector;
  if (begin + 5 > bytes_.size()) return damaged("its sector lies beyond the file's end");
  const uint32_t length = big_endian_u32(bytes_.data() + begin);
  if (length == 0) return damaged("its length is 0");
  // The last sector of a file may be short; a length past the sectors the table gives is not.
  if (length + size_t{4} > sectors * kRegionSector || begin + 4 + length > bytes_.size()) {
    return damaged("its length " + std::to_string(length) + " runs past its sectors");
  }
  const uint8_t compression = bytes_[begin + 4];
  std::span<const uint8_t> payload(bytes_.data() + begin + 5, length - 1);
  std::vector<uint8_t> external;
  if (compression & 0x80) {
    if (directory_.empty()) return damaged("stored in an external file, which is not at hand");
    const int32_t cx = origin_[0] + static_cast<int32_t>(x);
    const int32_t cz = origin_[1] + static_cast<int32_t>(z);
    auto read = read_whole_file(directory_ /
                                ("c." + std::to_string(cx) + "." + std::to_string(cz) + ".mcc"));
    if (!read) return damaged(read.error().message);
    external = std::move(*read);
    payload = external;
  }
  auto inflated = decompress_chunk(compression & 0x7F, payload, kMaxChunkNbt, out);
  if (!inflated) return damaged(inflated.error().message);
  return true;
}

}  // namespace kubrel
