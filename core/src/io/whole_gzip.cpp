#include "io/whole_gzip.h"

#include <algorithm>

#include "io/gzip_source.h"
#include "io/whole_inflate.h"

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
  // Room for exactly the trailer's size, and no more: a member that inflates to any other size
  // is declined.
  const size_t size = static_cast<size_t>(trailer_size);
  PageBuffer document;
  if (!document.resize_for_overwrite(size)) return std::nullopt;
  if (!inflate_whole(DeflateWrapper::kGzip, member, size, document) || document.size() != size) {
    return std::nullopt;
  }
  return document;
}

}  // namespace kubrel
