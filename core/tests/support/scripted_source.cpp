// The scripted test byte source.
#include "support/scripted_source.h"

#include <algorithm>

namespace kubrel::testing {

Result<size_t> ScriptedSource::read(uint8_t* dst, size_t n) {
  size_t count = std::min({n, piece_, bytes_.size() - position_});
  if (count == 0 && n > 0 && !error_.empty()) return fail(error_);
  std::copy_n(bytes_.data() + position_, count, dst);
  position_ += count;
  return count;
}

}  // namespace kubrel::testing
