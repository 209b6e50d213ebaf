#include "io/whole_gzip.h"

#if KUBREL_WITH_LIBDEFLATE
#include <libdeflate.h>
#else
#include <zlib.h>
#endif

#include <algorithm>
#include <memory>

#include "io/gzip_source.h"

namespace kubrel {

namespace {

constexpr uint8_t kHeaderCrc = 0x02, kExtra = 0x04, kName = 0x08, kComment = 0x10, kReserved = 0xE0;
// Deflate's longest match codes 258 bytes in about two bits: no member inflates further.
constexpr uint64_t kDeflateRatio = 1032;

// Whether the header is one that the streaming chain accepts too: text fields within its length
// limit, and no header checksum (which this decoder would not check).
bool header_both_accept(std::span<const uint8_t> member) {
  if (member.size() < 18 || member[0] != 0x1F || member[1] != 0x8B || member[2] != 8) return false;
  const uint8_t flags = member[3];
  if (flags & (kReserved | kHeaderCrc)) return false;
  size_t at = 10;
  if (flags & kExtra) {
    if (member.size() < at + 2) return false;
    at += 2 + (member[at] | size_t{member[at + 1]} << 8);
  }
  for (uint8_t field : {kName, kComment}) {
    if (!(flags & field)) continue;
    size_t start = at;
    while (at < member.size() && member[at] != 0) ++at;
    if (at == member.size() || at + 1 - start > kMaxGzipHeaderField) return false;
    ++at;
  }
  return at <= member.size();
}

#if KUBREL_WITH_LIBDEFLATE
struct FreeDecompressor {
  void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

// Whether the member inflates to exactly `document`, its CRC-32 matching.
bool inflate_exactly(std::span<const uint8_t> member, PageBuffer& document) {
  std::unique_ptr<libdeflate_decompressor, FreeDecompressor> decompressor(
      libdeflate_alloc_decompressor());
  if (!decompressor) return false;
  size_t written = 0;
  libdeflate_result result = libdeflate_gzip_decompress(
      decompressor.get(), member.data(), member.size(), document.data(), document.size(), &written);
  return result == LIBDEFLATE_SUCCESS && written == document.size();
}
#else
// zlib in one call over the whole member (it reads the header and checks the trailer itself);
// still faster than the chain's small steps.
bool inflate_exactly(std::span<const uint8_t> member, PageBuffer& document) {
  if (member.size() > UINT32_MAX || document.size() > UINT32_MAX) return false;
  z_stream stream{};
  if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK) return false;
  stream.next_in = const_cast<Bytef*>(member.data());
  stream.avail_in = static_cast<uInt>(member.size());
  stream.next_out = reinterpret_cast<Bytef*>(document.data());
  stream.avail_out = static_cast<uInt>(document.size());
  int status = inflate(&stream, Z_FINISH);
  bool exact = status == Z_STREAM_END && stream.avail_out == 0;
  inflateEnd(&stream);
  return exact;
}
#endif

}  // namespace

uint64_t gzip_trailer_size(std::span<const uint8_t> member) {
  if (member.size() < 4) return 0;
  const uint8_t* t = member.data() + member.size() - 4;
  return uint64_t{t[0]} | uint64_t{t[1]} << 8 | uint64_t{t[2]} << 16 | uint64_t{t[3]} << 24;
}

std::optional<PageBuffer> inflate_whole_gzip(std::span<const uint8_t> member, uint64_t limit) {
  if (!header_both_accept(member)) return std::nullopt;
  const uint64_t trailer_size = gzip_trailer_size(member);
  // A larger size is a lie (or a member past 4 GiB, whose size the trailer cannot hold). The
  // buffer's pages are committed only as the decoder writes them, so a smaller lie costs
  // address space, not memory.
  if (trailer_size > std::min(kDeflateRatio * member.size(), limit)) return std::nullopt;
  PageBuffer document;
  if (!document.resize_for_overwrite(static_cast<size_t>(trailer_size))) return std::nullopt;
  if (!inflate_exactly(member, document)) return std::nullopt;
  return document;
}

}  // namespace kubrel
