// The streaming inflater through zlib, for builds without ISA-L: raw deflate (the chain reads the
// header itself), then the eight trailer bytes checked here against the CRC-32 and the size of
// what was inflated.
#if !KUBREL_WITH_ISAL
#include <zlib.h>

#include <algorithm>

#include "io/inflater.h"

namespace kubrel {

struct Inflater::State {
  z_stream stream{};
  bool started = false;
  bool deflate_done = false;
  uint32_t crc = 0;
  uint32_t size = 0;  // mod 2^32, as the trailer holds it
  uint8_t trailer[8] = {};
  size_t trailer_length = 0;

  ~State() {
    if (started) inflateEnd(&stream);
  }
};

Inflater::Inflater() : state_(std::make_unique<State>()) {}
Inflater::~Inflater() = default;

bool Inflater::start() {
  State& state = *state_;
  if (state.started) inflateEnd(&state.stream);
  state = State{};
  state.started = inflateInit2(&state.stream, -MAX_WBITS) == Z_OK;
  return state.started;
}

InflateStep Inflater::step(std::span<const uint8_t> in, std::span<uint8_t> out) {
  State& state = *state_;
  InflateStep step;
  if (!state.deflate_done) {
    z_stream& stream = state.stream;
    uInt in_size = static_cast<uInt>(std::min<size_t>(in.size(), UINT32_MAX));
    uInt out_size = static_cast<uInt>(std::min<size_t>(out.size(), UINT32_MAX));
    stream.next_in = const_cast<Bytef*>(in.data());
    stream.avail_in = in_size;
    stream.next_out = out.data();
    stream.avail_out = out_size;
    int status = inflate(&stream, Z_NO_FLUSH);
    step.consumed = in_size - stream.avail_in;
    step.produced = out_size - stream.avail_out;
    state.crc =
        static_cast<uint32_t>(crc32(state.crc, out.data(), static_cast<uInt>(step.produced)));
    state.size += static_cast<uint32_t>(step.produced);
    if (status == Z_STREAM_END) {
      state.deflate_done = true;
    } else if (status != Z_OK && status != Z_BUF_ERROR) {
      step.outcome = InflateOutcome::kCorrupt;
      return step;
    }
    in = in.subspan(step.consumed);
  }
  if (state.deflate_done) {
    size_t take = std::min(in.size(), sizeof state.trailer - state.trailer_length);
    std::copy_n(in.data(), take, state.trailer + state.trailer_length);
    state.trailer_length += take;
    step.consumed += take;
    if (state.trailer_length == sizeof state.trailer) {
      auto word = [&](size_t at) {
        const uint8_t* t = state.trailer + at;
        return uint32_t{t[0]} | uint32_t{t[1]} << 8 | uint32_t{t[2]} << 16 | uint32_t{t[3]} << 24;
      };
      bool matches = word(0) == state.crc && word(4) == state.size;
      step.outcome = matches ? InflateOutcome::kFinished : InflateOutcome::kChecksum;
    }
  }
  return step;
}

uint32_t gzip_crc32(uint32_t crc, std::span<const uint8_t> bytes) {
  return static_cast<uint32_t>(crc32(crc, bytes.data(), static_cast<uInt>(bytes.size())));
}

}  // namespace kubrel
#endif
