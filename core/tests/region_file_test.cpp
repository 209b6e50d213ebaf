#include "world/region_file.h"

#include <gtest/gtest.h>
#include <zlib.h>
#if KUBREL_WITH_LZ4
#include <lz4.h>
#endif

#include <fstream>
#include <functional>
#include <string>

#include "support/corpus.h"

namespace kubrel {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes payload_of(size_t n) {
  Bytes out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>((i * 7) % 13);
  return out;
}

Bytes zlib_of(const Bytes& in) {
  uLongf size = compressBound(in.size());
  Bytes out(size);
  compress(out.data(), &size, in.data(), in.size());
  out.resize(size);
  return out;
}

void put_le(Bytes& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

#if KUBREL_WITH_LZ4
// The LZ4 block stream with one block (method 0x20 compressed, 0x10 stored), then the end block.
Bytes lz4_stream(const Bytes& in, uint8_t method, uint32_t checksum_xor = 0,
                 std::optional<uint32_t> declared = std::nullopt) {
  Bytes block(LZ4_compressBound(static_cast<int>(in.size())));
  int packed = method == 0x20 ? LZ4_compress_default(reinterpret_cast<const char*>(in.data()),
                                                     reinterpret_cast<char*>(block.data()),
                                                     static_cast<int>(in.size()),
                                                     static_cast<int>(block.size()))
                              : static_cast<int>(in.size());
  if (method == 0x10) block = in;
  block.resize(static_cast<size_t>(packed));
  Bytes out = {'L', 'Z', '4', 'B', 'l', 'o', 'c', 'k', static_cast<uint8_t>(method | 6)};
  put_le(out, static_cast<uint32_t>(packed));
  put_le(out, declared.value_or(static_cast<uint32_t>(in.size())));
  put_le(out, (xxhash32(in, 0x9747b28c) & 0x0FFFFFFF) ^ checksum_xor);
  out.insert(out.end(), block.begin(), block.end());
  Bytes end = {'L', 'Z', '4', 'B', 'l', 'o', 'c', 'k', 0x16};
  for (int i = 0; i < 12; ++i) end.push_back(0);
  out.insert(out.end(), end.begin(), end.end());
  return out;
}

#endif

Bytes cut(Bytes bytes, size_t n) {
  bytes.resize(bytes.size() - n);
  return bytes;
}

struct Stored {
  uint32_t slot;
  uint8_t compression;
  Bytes body;
  // Overrides of the location table and the length field, for damaged chunks.
  std::optional<uint32_t> sector = {}, sectors = {}, length = {};
};

// A region file of these chunks, one after another from sector 2; `pad` pads the last sector.
Bytes region_of(const std::vector<Stored>& chunks, bool pad = true) {
  Bytes file(8192, 0);
  for (const Stored& chunk : chunks) {
    const uint32_t sector = static_cast<uint32_t>(file.size() / kRegionSector);
    const uint32_t length = chunk.length.value_or(static_cast<uint32_t>(chunk.body.size() + 1));
    Bytes record = {static_cast<uint8_t>(length >> 24), static_cast<uint8_t>(length >> 16),
                    static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length),
                    chunk.compression};
    record.insert(record.end(), chunk.body.begin(), chunk.body.end());
    const uint32_t sectors = static_cast<uint32_t>((record.size() + 4095) / 4096);
    const uint32_t at = chunk.sector.value_or(sector);
    const uint32_t count = chunk.sectors.value_or(sectors);
    const uint32_t location = (at << 8) | count;
    for (int i = 0; i < 4; ++i)
      file[chunk.slot * 4 + i] = static_cast<uint8_t>(location >> (24 - 8 * i));
    file.insert(file.end(), record.begin(), record.end());
    file.resize(file.size() + (4096 - file.size() % 4096) % 4096);
  }
  if (!pad) {
    while (file.size() > 8192 && file.back() == 0) file.pop_back();
  }
  return file;
}

TEST(RegionFileTest, ChunksReadOrFailAloneNamingTheirPosition) {
  const Bytes nbt = payload_of(20000);
  const Bytes small = payload_of(300);
  const auto dir = testing::scratch_dir("region_file_test");
  {
    std::ofstream mcc(dir / "c.35.69.mcc", std::ios::binary);
    const Bytes packed = zlib_of(nbt);
    mcc.write(reinterpret_cast<const char*>(packed.data()),
              static_cast<std::streamsize>(packed.size()));
  }
  const uint32_t slot = 5 * 32 + 3;  // local (3, 5) in r.1.2: chunk (35, 69)
  struct Case {
    std::string name;
    Stored chunk;
    bool pad = true;
    std::string error = {};  // empty: reads as `nbt`
    const Bytes* expect = nullptr;
  };
  const std::vector<Case> cases = {
    {"gzip", {slot, 1, testing::gzip_compress(nbt)}},
    {"zlib", {slot, 2, zlib_of(nbt)}},
    {"none", {slot, 3, nbt}},
#if KUBREL_WITH_LZ4
    {"lz4 compressed", {slot, 4, lz4_stream(nbt, 0x20)}},
    {"lz4 stored", {slot, 4, lz4_stream(nbt, 0x10)}},
#endif
    {"external file", {slot, 2 | 128, {}}},
    {"unpadded last sector", {slot, 2, zlib_of(small)}, false, "", &small},
    {"sector beyond the file", {slot, 2, zlib_of(nbt), 90}, true, "beyond the file's end"},
    {"sector in the header", {slot, 2, zlib_of(nbt), 1}, true, "in the header"},
    {"length 0", {slot, 2, zlib_of(nbt), std::nullopt, std::nullopt, 0}, true, "length is 0"},
    {"length past its sectors",
     {slot, 2, zlib_of(small), std::nullopt, 1, 5000},
     true,
     "runs past its sectors"},
    {"hostile length",
     {slot, 2, zlib_of(small), std::nullopt, std::nullopt, 0xFFFFFFF0u},
     true,
     "runs past its sectors"},
    {"unknown compression", {slot, 9, zlib_of(nbt)}, true, "unknown compression 9"},
    {"broken zlib", {slot, 2, payload_of(500)}, true, "broken zlib stream"},
    {"broken gzip", {slot, 1, zlib_of(nbt)}, true, "broken gzip stream"},
#if KUBREL_WITH_LZ4
    {"lz4 checksum", {slot, 4, lz4_stream(nbt, 0x20, 1)}, true, "checksum"},
    {"lz4 declared length lies", {slot, 4, lz4_stream(small, 0x20, 0, 60000)}, true, "do not fit"},
    {"lz4 cut short", {slot, 4, cut(lz4_stream(nbt, 0x20), 30)}, true, "LZ4"},
#endif
    {"external file missing", {0, 2 | 128, {}}, true, "c.32.64.mcc"},
  };
  PageBuffer kept;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Stored> chunks = {{1, 2, zlib_of(small)}, c.chunk};
    RegionFile file = RegionFile::from_bytes(region_of(chunks, c.pad), dir, {32, 64});
    // The neighbour always reads, whatever the damaged chunk holds.
    auto neighbour = file.read_chunk(1, 0);
    ASSERT_TRUE(neighbour && *neighbour) << (neighbour ? "" : neighbour.error().message);
    EXPECT_EQ(Bytes((*neighbour)->bytes().begin(), (*neighbour)->bytes().end()), small);
    const uint32_t x = c.chunk.slot % 32, z = c.chunk.slot / 32;
    auto read = file.read_chunk(x, z);
    // Into a buffer kept from case to case, as from chunk to chunk: the same bytes or failure.
    auto into = file.read_chunk(x, z, kept);
    ASSERT_EQ(into.has_value(), read.has_value());
    if (c.error.empty()) {
      ASSERT_TRUE(read && *read) << (read ? "absent" : read.error().message);
      const Bytes& expect = c.expect ? *c.expect : nbt;
      EXPECT_EQ(Bytes((*read)->bytes().begin(), (*read)->bytes().end()), expect);
      EXPECT_EQ(Bytes(kept.bytes().begin(), kept.bytes().end()), expect);
    } else {
      ASSERT_FALSE(read);
      EXPECT_EQ(into.error().message, read.error().message);
      const std::string where =
          "chunk at (" + std::to_string(32 + x) + ", " + std::to_string(64 + z) + "): ";
      EXPECT_EQ(read.error().message.rfind(where, 0), 0u) << read.error().message;
      EXPECT_NE(read.error().message.find(c.error), std::string::npos) << read.error().message;
    }
  }
}

TEST(RegionFileTest, TablesAndBoundsOfWholeFiles) {
  struct Case {
    std::string name;
    Bytes file;
    std::vector<std::array<uint32_t, 2>> chunks = {};
  };
  const std::vector<Case> cases = {
      {"empty file", {}, {}},
      {"header only", Bytes(8192, 0), {}},
      {"table cut short", Bytes(100, 0), {}},
      {"two chunks",
       region_of({{33, 3, payload_of(10)}, {2, 3, payload_of(10)}}),
       {{2, 0}, {1, 1}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RegionFile file = RegionFile::from_bytes(c.file);
    EXPECT_EQ(file.chunks(), c.chunks);
    auto absent = file.read_chunk(31, 31);
    ASSERT_TRUE(absent);
    EXPECT_FALSE(*absent);
  }
  // Inflation stops at its bound, and the LZ4 check is xxHash32 itself.
  auto bomb = decompress_chunk(2, zlib_of(Bytes(1 << 20, 0)), 4096);
  ASSERT_FALSE(bomb);
  EXPECT_NE(bomb.error().message.find("inflates to more than 4096"), std::string::npos);
  const Bytes abc = {'a', 'b', 'c'};
  EXPECT_EQ(xxhash32({}, 0), 0x02CC5D05u);
  EXPECT_EQ(xxhash32(abc, 0), 0x32D153FFu);
  EXPECT_EQ(region_origin("r.-3.7.mca"), (std::array<int32_t, 2>{-96, 224}));
  EXPECT_FALSE(region_origin("r.1.mca"));
}

}  // namespace
}  // namespace kubrel
