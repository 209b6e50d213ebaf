// Compresses what it is given into one gzip member (header, deflate stream, CRC32 and size
// trailer) with ISA-L's deflate (zlib's in builds without ISA-L), passing the output on to another
// sink in large pieces as it is produced: neither the input nor the whole output is ever held.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "io/byte_sink.h"

namespace kubrel {

// ISA-L's levels run from 0 (fastest) to 3 (smallest); zlib builds map them onto zlib's. Level 1
// compresses several times faster than zlib's default at a size close to it, which suits files that
// are written often.
inline constexpr int kDefaultGzipLevel = 1;
inline constexpr int kMaxGzipLevel = 3;

class GzipSink final : public ByteSink {
 public:
  // A sink writing into `out`, which must outlive it. Fails for a level outside 0 to 3.
  [[nodiscard]] static Result<std::unique_ptr<GzipSink>> create(ByteSink& out,
                                                                int level = kDefaultGzipLevel);
  ~GzipSink() override;
  GzipSink(const GzipSink&) = delete;
  GzipSink& operator=(const GzipSink&) = delete;

  Status write(std::span<const uint8_t> bytes) override;

  // Ends the member: compresses what is pending, writes the trailer and hands everything to the
  // output sink. Nothing may be written afterwards.
  [[nodiscard]] Status finish();

  // Uncompressed bytes taken so far.
  uint64_t total_in() const { return total_in_; }

 private:
  struct State;
  GzipSink(ByteSink& out, std::unique_ptr<State> state);
  // Runs the compressor over `input` until it is consumed (or, when ending, until the member is
  // complete), passing every full output buffer on; one per library.
  Status pump(std::span<const uint8_t> input, bool end);
  // Hands the first `produced` bytes of the output buffer to the output sink.
  Status pass_on(size_t produced);

  ByteSink& out_;
  std::unique_ptr<State> state_;
  std::vector<uint8_t> output_;
  uint64_t total_in_ = 0;
  bool failed_ = false;
  bool finished_ = false;
};

}  // namespace kubrel
