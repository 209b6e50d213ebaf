// The Litematica floor and read modes. The floor trusts its input (a benchmark file of one region):
// it finds the tags it needs by their bytes instead of parsing the document.
#include "litematic_bench.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "bench_common.h"
#include "volume/litematic_reader.h"

namespace kubrel::bench {

namespace {

uint32_t big_endian_u32(const uint8_t* at) {
  return uint32_t(at[0]) << 24 | uint32_t(at[1]) << 16 | uint32_t(at[2]) << 8 | at[3];
}

// Where the bytes of `tag` (type, name length, name) end in `document`, or nullptr.
const uint8_t* after_tag(std::span<const uint8_t> document, uint8_t type, std::string_view name) {
  std::string pattern{char(type), char(name.size() >> 8), char(name.size() & 0xff)};
  pattern += name;
  auto found = std::search(document.begin(), document.end(), pattern.begin(), pattern.end());
  return found == document.end() ? nullptr : &*found + pattern.size();
}

}  // namespace

int litematic_floor(const char* path) {
  auto start = Clock::now();
  std::vector<uint8_t> packed = whole_file(path);
  auto inflated_document = inflate_whole(packed);
  if (!inflated_document) return std::fprintf(stderr, "inflate failed\n"), 1;
  std::span<const uint8_t> document = inflated_document->bytes();
  double inflated = seconds_since(start);

  const uint8_t* sizes = after_tag(document, 10, "Size");
  const uint8_t* palette = after_tag(document, 9, "BlockStatePalette");
  const uint8_t* states = after_tag(document, 12, "BlockStates");
  if (!sizes || !palette || !states) return std::fprintf(stderr, "tags not found\n"), 1;
  uint64_t entries = 1;
  for (int member = 0; member < 3; ++member) {  // three Ints named x, y, z: 8 bytes each
    auto value = static_cast<int32_t>(big_endian_u32(sizes + member * 8 + 4));
    entries *= static_cast<uint64_t>(value < 0 ? -int64_t{value} : value);
  }
  unsigned bits = std::max(2u, unsigned(std::bit_width(big_endian_u32(palette + 1) - 1)));
  uint32_t longs = big_endian_u32(states);
  std::vector<uint64_t> words;
  words.reserve(longs);
  kubrel::advise_huge_pages(words.data(), size_t{longs} * 8);
  words.resize(longs);
  std::memcpy(words.data(), states + 4, size_t{longs} * 8);
  for (uint64_t& word : words) word = std::byteswap(word);
  std::vector<uint16_t> indices;
  indices.reserve(entries);
  kubrel::advise_huge_pages(indices.data(), entries * sizeof(uint16_t));
  indices.resize(entries);
  const uint64_t mask = (uint64_t{1} << bits) - 1;
  for (uint64_t i = 0; i < entries; ++i) {
    uint64_t bit = i * bits;
    unsigned shift = bit & 63;
    uint64_t value = words[bit >> 6] >> shift;
    if (shift + bits > 64) value |= words[(bit >> 6) + 1] << (64 - shift);
    indices[i] = static_cast<uint16_t>(value & mask);
  }
  double seconds = seconds_since(start);
  uint64_t non_zero = 0;
  for (uint16_t index : indices) non_zero += index != 0;
  std::printf(
      "{\"seconds\": %.6f, \"inflate_seconds\": %.6f, \"positions\": %llu, \"bits\": %u, "
      "\"nonzero_indices\": %llu}\n",
      seconds, inflated, static_cast<unsigned long long>(entries), bits,
      static_cast<unsigned long long>(non_zero));
  return 0;
}

int litematic_read(const char* path) {
  auto start = Clock::now();
  auto volume = read_litematic(open_file(path));
  double seconds = seconds_since(start);
  if (!volume) return std::fprintf(stderr, "%s\n", volume.error().message.c_str()), 1;
  std::printf("{\"seconds\": %.6f, \"positions\": %llu, \"palette\": %zu, \"regions\": %zu}\n",
              seconds,
              static_cast<unsigned long long>(volume->blocks.bytes.size() / volume->blocks.width),
              volume->palette.size(), volume->regions.size());
  return 0;
}

}  // namespace kubrel::bench
