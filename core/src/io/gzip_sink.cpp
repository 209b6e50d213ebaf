// What the gzip sink does whichever library compresses: slicing the input, ending once, passing
// the output on.
#include "io/gzip_sink.h"

#include <algorithm>

namespace kubrel {

Status GzipSink::write(std::span<const uint8_t> bytes) {
  if (failed_ || finished_) return fail("gzip stream written after it ended or failed");
  // The libraries count input in 32 bits: larger spans go in slices.
  while (!bytes.empty()) {
    size_t slice = std::min<size_t>(bytes.size(), size_t{1} << 30);
    KUBREL_TRY(pump(bytes.first(slice), false));
    total_in_ += slice;
    bytes = bytes.subspan(slice);
  }
  return {};
}

Status GzipSink::finish() {
  if (failed_ || finished_) return fail("gzip stream ended twice or after a failure");
  KUBREL_TRY(pump({}, true));
  finished_ = true;
  return {};
}

Status GzipSink::pass_on(size_t produced) {
  if (produced == 0) return {};
  Status written = out_.write({output_.data(), produced});
  if (!written) failed_ = true;
  return written;
}

}  // namespace kubrel
