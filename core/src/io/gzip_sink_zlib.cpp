// Streaming gzip compression through zlib, for builds without ISA-L: the same levels 0 to 3,
// mapped onto zlib's nearest in speed.
#if !KUBREL_WITH_ISAL
#include <zlib.h>

#include <string>

#include "io/gzip_sink.h"

namespace kubrel {

namespace {

// As the ISA-L sink's: few system calls, small beside the document.
constexpr size_t kOutputChunk = 256 * 1024;
constexpr int kZlibLevel[kMaxGzipLevel + 1] = {1, 2, 4, 6};

}  // namespace

struct GzipSink::State {
  z_stream stream{};
  ~State() { deflateEnd(&stream); }
};

GzipSink::GzipSink(ByteSink& out, std::unique_ptr<State> state)
    : out_(out), state_(std::move(state)), output_(kOutputChunk) {
  state_->stream.next_out = output_.data();
  state_->stream.avail_out = static_cast<uInt>(kOutputChunk);
}

GzipSink::~GzipSink() = default;

Result<std::unique_ptr<GzipSink>> GzipSink::create(ByteSink& out, int level) {
  if (level < 0 || level > kMaxGzipLevel)
    return fail("gzip level must be 0 to 3, got " + std::to_string(level));
  auto state = std::make_unique<State>();
  // 16 above the window's bits asks for the gzip header and trailer.
  if (deflateInit2(&state->stream, kZlibLevel[level], Z_DEFLATED, 16 + MAX_WBITS, 8,
                   Z_DEFAULT_STRATEGY) != Z_OK)
    return fail("gzip compression could not start");
  return std::unique_ptr<GzipSink>(new GzipSink(out, std::move(state)));
}

Status GzipSink::pump(std::span<const uint8_t> input, bool end) {
  z_stream& stream = state_->stream;
  stream.next_in = const_cast<Bytef*>(input.data());
  stream.avail_in = static_cast<uInt>(input.size());
  while (true) {
    int code = deflate(&stream, end ? Z_FINISH : Z_NO_FLUSH);
    if (code != Z_OK && code != Z_STREAM_END && code != Z_BUF_ERROR) {
      failed_ = true;
      return fail("gzip compression failed (zlib code " + std::to_string(code) + ")");
    }
    bool done = end ? code == Z_STREAM_END : stream.avail_in == 0;
    if (stream.avail_out == 0 || (done && end)) {
      KUBREL_TRY(pass_on(kOutputChunk - stream.avail_out));
      stream.next_out = output_.data();
      stream.avail_out = static_cast<uInt>(kOutputChunk);
    }
    if (done) return {};
  }
}

}  // namespace kubrel
#endif
