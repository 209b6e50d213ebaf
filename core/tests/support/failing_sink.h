// A byte sink whose every write fails with "disk full", for the failure paths of encoders.
#pragma once

#include "io/byte_sink.h"

namespace kubrel::testing {

class FailingSink final : public ByteSink {
 public:
  Status write(std::span<const uint8_t>) override { return fail("disk full"); }
};

}  // namespace kubrel::testing
