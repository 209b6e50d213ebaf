#include "io/whole_inflate.h"

#if KUBREL_WITH_LIBDEFLATE
#include <libdeflate.h>
#else
#include <zlib.h>
#endif

#include <algorithm>
#include <memory>
#include <string>

namespace kubrel {

namespace {

// The first room tried for a buffer that has none: most documents fit in four times their
// compressed size, and the smallest are not worth a second try.
size_t first_room(std::span<const uint8_t> in, size_t limit, const PageBuffer& out) {
  return std::min(limit, std::max({out.capacity(), in.size() * 4, size_t{64} << 10}));
}

std::unexpected<Error> broken(DeflateWrapper wrapper) {
  return fail(wrapper == DeflateWrapper::kGzip ? "broken gzip stream" : "broken zlib stream");
}

std::unexpected<Error> too_large(size_t limit) {
  return fail("inflates to more than " + std::to_string(limit) + " bytes");
}

}  // namespace

#if KUBREL_WITH_LIBDEFLATE
namespace {

struct DecompressorFree {
  void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

}  // namespace

Status inflate_whole(DeflateWrapper wrapper, std::span<const uint8_t> in, size_t limit,
                     PageBuffer& out) {
  thread_local std::unique_ptr<libdeflate_decompressor, DecompressorFree> decompressor(
      libdeflate_alloc_decompressor());
  if (!decompressor) return fail("out of memory for the inflater");
  size_t room = first_room(in, limit, out);
  while (true) {
    KUBREL_TRY(out.resize_for_overwrite(room));
    size_t produced = 0;
    const libdeflate_result result =
        wrapper == DeflateWrapper::kGzip
            ? libdeflate_gzip_decompress(decompressor.get(), in.data(), in.size(), out.data(), room,
                                         &produced)
            : libdeflate_zlib_decompress(decompressor.get(), in.data(), in.size(), out.data(), room,
                                         &produced);
    if (result == LIBDEFLATE_SUCCESS) return out.resize_for_overwrite(produced);
    if (result != LIBDEFLATE_INSUFFICIENT_SPACE) return broken(wrapper);
    if (room >= limit) return too_large(limit);
    room = std::min(limit, room * 2);
  }
}

#else
// zlib inflates in steps into the growing buffer.
Status inflate_whole(DeflateWrapper wrapper, std::span<const uint8_t> in, size_t limit,
                     PageBuffer& out) {
  // zlib counts its input and room in 32 bits.
  if (in.size() > UINT32_MAX || limit > UINT32_MAX) return broken(wrapper);
  z_stream stream{};
  if (inflateInit2(&stream, wrapper == DeflateWrapper::kGzip ? 16 + MAX_WBITS : MAX_WBITS) !=
      Z_OK) {
    return fail("out of memory for the inflater");
  }
  std::unique_ptr<z_stream, int (*)(z_stream*)> end(&stream, &inflateEnd);
  stream.next_in = const_cast<Bytef*>(in.data());
  stream.avail_in = static_cast<uInt>(in.size());
  size_t room = first_room(in, limit, out);
  size_t produced = 0;
  while (true) {
    KUBREL_TRY(out.resize_for_overwrite(room));
    stream.next_out = reinterpret_cast<Bytef*>(out.data()) + produced;
    stream.avail_out = static_cast<uInt>(room - produced);
    const int result = inflate(&stream, Z_FINISH);
    produced = room - stream.avail_out;
    if (result == Z_STREAM_END) return out.resize_for_overwrite(produced);
    if (result != Z_BUF_ERROR && result != Z_OK) return broken(wrapper);
    if (stream.avail_out != 0) return broken(wrapper);
    if (room >= limit) return too_large(limit);
    room = std::min(limit, room * 2);
  }
}
#endif

}  // namespace kubrel
