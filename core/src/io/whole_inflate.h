// A deflate stream held whole in memory, gzip- or zlib-wrapped, inflated in one call of a
// whole-buffer decoder (libdeflate where the build found it, else zlib) into a buffer the caller
// keeps: a reader of many small documents (the chunks of a region file) then inflates each into
// the room the one before it left, with no allocation of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/error.h"
#include "common/page_buffer.h"

namespace kubrel {

enum class DeflateWrapper : uint8_t { kGzip, kZlib };

// Inflates `in` into `out`, which ends sized to what it holds. The room `out` has is tried first,
// then the room doubles while the output does not fit, up to `limit` bytes: more is an error
// ("inflates to more than N bytes"), as is a broken stream ("broken gzip stream", "broken zlib
// stream"). Memory grows only as the output needs it, never from a length the input declares.
[[nodiscard]] Status inflate_whole(DeflateWrapper wrapper, std::span<const uint8_t> in,
                                   size_t limit, PageBuffer& out);

}  // namespace kubrel
