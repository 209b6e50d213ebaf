// The decoding chain every input goes through: one gzip member decoded as a stream, with a buffer
// on each side so that the raw input is read in large pieces and the readers' small reads stay
// cheap.
#pragma once

#include <memory>

#include "io/byte_source.h"

namespace kubrel {

inline constexpr const char* kInvalidGzipHeaderMessage = "invalid gzip header";
inline constexpr const char* kGzipFieldTooLongMessage = "gzip header field too long";
inline constexpr const char* kCorruptDeflateMessage = "corrupt deflate stream";
inline constexpr const char* kGzipChecksumMessage =
    "corrupt gzip stream does not have a matching checksum";

// Size of each of the chain's two buffers.
inline constexpr size_t kGzipChainBufferSize = 8192;

// Longest FNAME or FCOMMENT header field accepted, terminator included.
inline constexpr size_t kMaxGzipHeaderField = 64 * 1024;

// Wraps `raw` in the decoding chain: an 8192-byte buffer over `raw`, a decoder of one gzip member
// over that, and an 8192-byte buffer over the decoder. The gzip header is read and checked at
// once; its failure is returned by the first read of the chain instead.
//
// Reads return the member's uncompressed bytes and then 0; bytes after the member's trailer are
// never looked at. Failures of the gzip layer (the four messages above, and "failed to fill whole
// buffer" for a member cut short anywhere after its header) are sticky: every later read returns
// the same error. Failures of `raw` are returned unchanged and are not sticky: a later read asks
// `raw` again.
[[nodiscard]] std::unique_ptr<ByteSource> make_gzip_chain(std::unique_ptr<ByteSource> raw);

}  // namespace kubrel
