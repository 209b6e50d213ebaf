// Streaming gzip compression through ISA-L.
#if KUBREL_WITH_ISAL
#include <isa-l/igzip_lib.h>

#include <string>
#include <vector>

#include "io/gzip_sink.h"

namespace kubrel {

namespace {

// Output is passed on in pieces of this size: large enough that a file sink makes few system
// calls, small enough not to matter beside the document.
constexpr size_t kOutputChunk = 256 * 1024;

size_t level_buffer_size(int level) {
  switch (level) {
    case 1:
      return ISAL_DEF_LVL1_DEFAULT;
    case 2:
      return ISAL_DEF_LVL2_DEFAULT;
    case 3:
      return ISAL_DEF_LVL3_DEFAULT;
    default:
      return 0;
  }
}

}  // namespace

struct GzipSink::State {
  isal_zstream stream;
  std::vector<uint8_t> level_buffer;
};

GzipSink::GzipSink(ByteSink& out, std::unique_ptr<State> state)
    : out_(out), state_(std::move(state)), output_(kOutputChunk) {
  state_->stream.next_out = output_.data();
  state_->stream.avail_out = static_cast<uint32_t>(kOutputChunk);
}

GzipSink::~GzipSink() = default;

Result<std::unique_ptr<GzipSink>> GzipSink::create(ByteSink& out, int level) {
  if (level < ISAL_DEF_MIN_LEVEL || level > ISAL_DEF_MAX_LEVEL)
    return fail("gzip level must be 0 to 3, got " + std::to_string(level));
  auto state = std::make_unique<State>();
  isal_deflate_init(&state->stream);
  state->stream.level = static_cast<uint32_t>(level);
  state->level_buffer.resize(level_buffer_size(level));
  state->stream.level_buf = state->level_buffer.empty() ? nullptr : state->level_buffer.data();
  state->stream.level_buf_size = static_cast<uint32_t>(state->level_buffer.size());
  // ISA-L writes the gzip header before the first block and the CRC32 and size trailer after
  // the last one.
  state->stream.gzip_flag = IGZIP_GZIP;
  return std::unique_ptr<GzipSink>(new GzipSink(out, std::move(state)));
}

Status GzipSink::pump(std::span<const uint8_t> input, bool end) {
  isal_zstream& stream = state_->stream;
  stream.next_in = const_cast<uint8_t*>(input.data());
  stream.avail_in = static_cast<uint32_t>(input.size());
  stream.end_of_stream = end ? 1 : 0;
  stream.flush = NO_FLUSH;
  while (true) {
    int code = isal_deflate(&stream);
    if (code != COMP_OK) {
      failed_ = true;
      return fail("gzip compression failed (ISA-L code " + std::to_string(code) + ")");
    }
    bool done = end ? stream.internal_state.state == ZSTATE_END : stream.avail_in == 0;
    if (stream.avail_out == 0 || (done && end)) {
      KUBREL_TRY(pass_on(kOutputChunk - stream.avail_out));
      stream.next_out = output_.data();
      stream.avail_out = static_cast<uint32_t>(kOutputChunk);
    }
    if (done) return {};
  }
}

}  // namespace kubrel
#endif
