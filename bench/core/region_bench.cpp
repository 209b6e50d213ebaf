// The floor is what any reader of a region file must do and nothing more: each chunk inflated in
// one call into a buffer kept from chunk to chunk, a hand-written walk of its NBT that only skips
// until it meets the sections' palettes and index arrays, and the indices of every section of more
// than one state unpacked into one uint16 array per chunk. Palette names are counted, never read.
// Our path is the world reader as a scan or a box load drives it: the region file opened, each
// chunk read into a buffer kept from chunk to chunk and decoded to sections of palette texts and
// indices by one decoder for the file. Both run in turns in this one process, so the machine's
// load falls on both alike, and both sum every index they unpack, so a floor that skipped work
// would show.
#include "region_bench.h"

#include <libdeflate.h>
#if KUBREL_WITH_ISAL
#include <isa-l/igzip_lib.h>
#endif

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "bench_common.h"
#include "world/chunk_decoder.h"
#include "world/region_file.h"

namespace kubrel::bench {

namespace {

constexpr size_t kSectionBlocks = 4096;
constexpr int kMaxDepth = 64;

uint16_t be16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
uint32_t be32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}
uint64_t be64(const uint8_t* p) {
  uint64_t value;
  std::memcpy(&value, p, 8);
  return std::byteswap(value);
}

// What a pass over one region file adds up, to hold the floor and our path to the same work.
struct Tally {
  uint64_t chunks = 0;
  uint64_t sections = 0;  // sections with a palette
  uint64_t unpacked = 0;  // of them, those of more than one state, whose indices were unpacked
  uint64_t index_sum = 0;
  uint64_t failed = 0;
  bool operator==(const Tally&) const = default;
};

// A bounds-checked in-place NBT walk: positions are offsets into `doc`; 0 after a payload means
// the document is broken (no payload ends at offset 0).
class Walk {
 public:
  explicit Walk(std::span<const uint8_t> doc) : doc_(doc) {}

  bool has(size_t at, size_t n) const { return at <= doc_.size() && doc_.size() - at >= n; }
  const uint8_t* at(size_t offset) const { return doc_.data() + offset; }

  // The offset just past the payload of `kind` at `at`.
  size_t skip(uint8_t kind, size_t at, int depth) const {
    static constexpr uint8_t kFixed[] = {0, 1, 2, 4, 8, 4, 8};
    if (kind >= 1 && kind <= 6) return has(at, kFixed[kind]) ? at + kFixed[kind] : 0;
    if (depth > kMaxDepth) return 0;
    switch (kind) {
      case 7:
      case 11:
      case 12: {
        if (!has(at, 4)) return 0;
        const size_t width = kind == 7 ? 1 : kind == 11 ? 4 : 8;
        const size_t bytes = size_t{be32(this->at(at))} * width;
        return has(at + 4, bytes) ? at + 4 + bytes : 0;
      }
      case 8:
        return has(at, 2) && has(at + 2, be16(this->at(at))) ? at + 2 + be16(this->at(at)) : 0;
      case 9: {
        if (!has(at, 5)) return 0;
        const uint8_t element = *this->at(at);
        const uint32_t length = be32(this->at(at + 1));
        at += 5;
        for (uint32_t i = 0; i < length && at; ++i) at = skip(element, at, depth + 1);
        return at;
      }
      case 10:
        return entries(at, depth, [](uint8_t, std::string_view, size_t) -> size_t { return 0; });
      default:
        return 0;
    }
  }

  // Calls visit(kind, name, payload) for each entry of the compound at `at`; visit returns the
  // offset past the payload when it read it, else 0 and the payload is skipped. Returns the
  // offset past the compound, 0 when broken.
  template <class Visit>
  size_t entries(size_t at, int depth, Visit&& visit) const {
    while (at) {
      if (!has(at, 1)) return 0;
      const uint8_t kind = *this->at(at);
      if (kind == 0) return at + 1;
      if (!has(at + 1, 2) || !has(at + 3, be16(this->at(at + 1)))) return 0;
      const std::string_view name(reinterpret_cast<const char*>(this->at(at + 3)),
                                  be16(this->at(at + 1)));
      const size_t payload = at + 3 + name.size();
      const size_t end = visit(kind, name, payload);
      at = end ? end : skip(kind, payload, depth + 1);
    }
    return 0;
  }

 private:
  std::span<const uint8_t> doc_;
};

// Unpacks `bits`-bit indices from big-endian longs, spanning long boundaries or padded per long.
void unpack(const uint8_t* longs, size_t have, unsigned bits, bool spanning, uint16_t* out) {
  const uint64_t mask = (uint64_t{1} << bits) - 1;
  if (spanning) {
    for (size_t i = 0; i < kSectionBlocks; ++i) {
      const size_t bit = i * bits, word = bit / 64, shift = bit % 64;
      uint64_t value = be64(longs + word * 8) >> shift;
      if (shift + bits > 64 && word + 1 < have) value |= be64(longs + word * 8 + 8) << (64 - shift);
      out[i] = static_cast<uint16_t>(value & mask);
    }
    return;
  }
  const size_t per_long = 64 / bits;
  for (size_t i = 0, word = 0; i < kSectionBlocks; ++word) {
    uint64_t value = be64(longs + word * 8);
    for (size_t k = 0; k < per_long && i < kSectionBlocks; ++k, ++i) {
      out[i] = static_cast<uint16_t>(value & mask);
      value >>= bits;
    }
  }
}

// One chunk's NBT walked to its sections and their indices unpacked into `out`.
bool floor_chunk(std::span<const uint8_t> doc, std::vector<uint16_t>& out, Tally& tally) {
  Walk walk(doc);
  if (!walk.has(0, 3) || doc[0] != 10) return false;
  const size_t root = 3 + be16(doc.data() + 1);
  int64_t version = 0;
  size_t sections = 0;
  int depth = 1;
  auto top = [&](uint8_t kind, std::string_view name, size_t payload) -> size_t {
    if (name == "DataVersion" && kind == 3 && walk.has(payload, 4)) {
      version = static_cast<int32_t>(be32(walk.at(payload)));
    } else if ((name == "sections" || name == "Sections") && kind == 9) {
      sections = payload;
    } else if (name == "Level" && kind == 10) {
      depth = 2;
      return walk.entries(payload, 2, [&](uint8_t k, std::string_view n, size_t p) -> size_t {
        if (n == "Sections" && k == 9) sections = p;
        return 0;
      });
    }
    return 0;
  };
  if (!walk.entries(root, 0, top)) return false;
  out.clear();
  if (!sections) return true;
  if (!walk.has(sections, 5)) return false;
  if (*walk.at(sections) != 10) return *walk.at(sections) == 0;
  const bool spanning = version < kPaddedIndicesVersion;
  const uint32_t count = be32(walk.at(sections + 1));
  size_t at = sections + 5;
  for (uint32_t s = 0; s < count; ++s) {
    size_t palette = 0, data = 0;
    auto states = [&](uint8_t kind, std::string_view name, size_t payload) -> size_t {
      if ((name == "palette" || name == "Palette") && kind == 9) palette = payload;
      if ((name == "data" || name == "BlockStates") && kind == 12) data = payload;
      return 0;
    };
    at = walk.entries(at, depth + 1, [&](uint8_t kind, std::string_view name, size_t payload) {
      if (name == "block_states" && kind == 10) return walk.entries(payload, depth + 2, states);
      return states(kind, name, payload);
    });
    if (!at) return false;
    if (!palette || !walk.has(palette, 5)) continue;
    const uint32_t names = be32(walk.at(palette + 1));
    if (names == 0) continue;
    ++tally.sections;
    if (names == 1) continue;
    if (!data || !walk.has(data, 4)) return false;
    const size_t longs = be32(walk.at(data));
    if (!walk.has(data + 4, longs * 8)) return false;
    unsigned bits = std::max(4u, static_cast<unsigned>(std::bit_width(names - 1)));
    if (spanning && longs * 64 % kSectionBlocks == 0 && longs * 64 / kSectionBlocks > bits) {
      bits = static_cast<unsigned>(longs * 64 / kSectionBlocks);
    }
    const size_t needed = spanning ? (kSectionBlocks * bits + 63) / 64
                                   : (kSectionBlocks + 64 / bits - 1) / (64 / bits);
    if (bits > 16 || longs < needed) return false;
    const size_t base = out.size();
    out.resize(base + kSectionBlocks);
    unpack(walk.at(data + 4), longs, bits, spanning, out.data() + base);
    ++tally.unpacked;
  }
  for (uint16_t index : out) tally.index_sum += index;
  return true;
}

// One inflater call per chunk into `buffer`, which grows (and stays grown) when a chunk does not
// fit. Returns the inflated size, or std::nullopt when the payload is broken.
struct Inflater {
  libdeflate_decompressor* deflate = libdeflate_alloc_decompressor();
  bool isal = false;
  ~Inflater() { libdeflate_free_decompressor(deflate); }

  std::optional<size_t> run(uint8_t compression, std::span<const uint8_t> in,
                            std::vector<uint8_t>& buffer) {
    while (true) {
      size_t produced = 0;
      bool room = true, ok = false;
#if KUBREL_WITH_ISAL
      if (isal) {
        inflate_state state;
        isal_inflate_init(&state);
        state.crc_flag = compression == 1 ? ISAL_GZIP : ISAL_ZLIB;
        state.next_in = const_cast<uint8_t*>(in.data());
        state.avail_in = static_cast<uint32_t>(in.size());
        state.next_out = buffer.data();
        state.avail_out = static_cast<uint32_t>(buffer.size());
        const int result = isal_inflate(&state);
        ok = result == ISAL_DECOMP_OK && state.block_state == ISAL_BLOCK_FINISH;
        room = ok || result != ISAL_DECOMP_OK || state.avail_out != 0;
        produced = state.total_out;
      }
#endif
      if (!isal) {
        const libdeflate_result result =
            compression == 1 ? libdeflate_gzip_decompress(deflate, in.data(), in.size(),
                                                          buffer.data(), buffer.size(), &produced)
                             : libdeflate_zlib_decompress(deflate, in.data(), in.size(),
                                                          buffer.data(), buffer.size(), &produced);
        ok = result == LIBDEFLATE_SUCCESS;
        room = result != LIBDEFLATE_INSUFFICIENT_SPACE;
      }
      if (ok) return produced;
      if (room || buffer.size() >= kMaxChunkNbt) return std::nullopt;
      buffer.resize(buffer.size() * 2);
    }
  }
};

Tally floor_pass(const char* path, Inflater& inflater) {
  Tally tally;
  const std::vector<uint8_t> file = whole_file(path);
  std::vector<uint8_t> buffer(1 << 20);
  std::vector<uint16_t> indices;
  indices.reserve(24 * kSectionBlocks);
  for (size_t slot = 0; slot < kRegionChunks && file.size() >= kRegionSector; ++slot) {
    const uint32_t location = be32(file.data() + slot * 4);
    if (location == 0) continue;
    ++tally.chunks;
    const size_t begin = size_t{location >> 8} * kRegionSector;
    if (begin + 5 > file.size() || be32(file.data() + begin) == 0 ||
        be32(file.data() + begin) + size_t{4} > file.size() - begin) {
      ++tally.failed;
      continue;
    }
    const uint8_t compression = file[begin + 4];
    const std::span<const uint8_t> payload(file.data() + begin + 5, be32(file.data() + begin) - 1);
    std::span<const uint8_t> doc;
    std::optional<PageBuffer> other;
    if (compression == 1 || compression == 2) {
      auto size = inflater.run(compression, payload, buffer);
      if (size) doc = {buffer.data(), *size};
    } else if (compression == 3) {
      doc = payload;
    } else if (auto inflated = decompress_chunk(compression & 0x7F, payload)) {
      other = std::move(*inflated);
      doc = other->bytes();
    }
    if (doc.empty() || !floor_chunk(doc, indices, tally)) ++tally.failed;
  }
  return tally;
}

Tally our_pass(const char* path, const ChunkDecodeOptions& options) {
  Tally tally;
  auto file = RegionFile::open(path);
  if (!file) {
    std::fprintf(stderr, "%s\n", file.error().message.c_str());
    std::exit(1);
  }
  const auto origin = file->origin();
  ChunkDecoder decoder(options);
  PageBuffer nbt;
  for (auto [x, z] : file->chunks()) {
    ++tally.chunks;
    auto stored = file->read_chunk(x, z, nbt);
    if (!stored || !*stored) {
      ++tally.failed;
      continue;
    }
    auto chunk = decoder.decode(nbt.bytes(), origin[0] + static_cast<int32_t>(x),
                                origin[1] + static_cast<int32_t>(z));
    if (!chunk) {
      ++tally.failed;
      continue;
    }
    for (const ChunkSection& section : (*chunk)->sections) {
      ++tally.sections;
      if (section.indices.empty()) continue;
      ++tally.unpacked;
      for (uint16_t index : section.indices) tally.index_sum += index;
    }
  }
  return tally;
}

template <class Pass>
double cpu_of(Pass&& pass, Tally& tally) {
  const double start = cpu_seconds();
  tally = pass();
  return cpu_seconds() - start;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

int region_to_arrays(const char* path, int repeats) {
  Inflater libdeflate, isal;
  isal.isal = KUBREL_WITH_ISAL != 0;
  const ChunkDecodeOptions blocks_only{.records = false, .biomes = false};
  const ChunkDecodeOptions whole{};
  std::vector<double> floor_deflate, floor_isal, ours, ours_whole, ratios;
  Tally floor_tally, isal_tally, our_tally, whole_tally;
  for (int run = 0; run < repeats; ++run) {
    floor_deflate.push_back(cpu_of([&] { return floor_pass(path, libdeflate); }, floor_tally));
    floor_isal.push_back(cpu_of([&] { return floor_pass(path, isal); }, isal_tally));
    ours.push_back(cpu_of([&] { return our_pass(path, blocks_only); }, our_tally));
    ours_whole.push_back(cpu_of([&] { return our_pass(path, whole); }, whole_tally));
    ratios.push_back(ours.back() / std::min(floor_deflate.back(), floor_isal.back()));
  }
  const bool same = floor_tally == isal_tally && floor_tally == our_tally &&
                    our_tally.index_sum == whole_tally.index_sum;
  std::printf(
      "{\"chunks\": %llu, \"sections\": %llu, \"unpacked_sections\": %llu, \"failed\": %llu, "
      "\"index_sum\": %llu, \"same_indices\": %s, \"runs\": %d, \"floor_libdeflate_cpu\": %.6f, "
      "\"floor_isal_cpu\": %.6f, \"floor_cpu\": %.6f, \"ours_cpu\": %.6f, "
      "\"ours_with_records_cpu\": %.6f, \"ours_over_floor\": %.3f}\n",
      (unsigned long long)our_tally.chunks, (unsigned long long)our_tally.sections,
      (unsigned long long)our_tally.unpacked, (unsigned long long)our_tally.failed,
      (unsigned long long)our_tally.index_sum, same ? "true" : "false", repeats,
      median(floor_deflate), KUBREL_WITH_ISAL ? median(floor_isal) : 0.0,
      KUBREL_WITH_ISAL ? std::min(median(floor_deflate), median(floor_isal))
                       : median(floor_deflate),
      median(ours), median(ours_whole), median(ratios));
  if (!same) {
    std::fprintf(stderr,
                 "floor and world reader disagree: floor %llu/%llu/%llu sum %llu, ours "
                 "%llu/%llu/%llu sum %llu\n",
                 (unsigned long long)floor_tally.sections, (unsigned long long)floor_tally.unpacked,
                 (unsigned long long)floor_tally.failed, (unsigned long long)floor_tally.index_sum,
                 (unsigned long long)our_tally.sections, (unsigned long long)our_tally.unpacked,
                 (unsigned long long)our_tally.failed, (unsigned long long)our_tally.index_sum);
  }
  return same ? 0 : 1;
}

}  // namespace kubrel::bench
