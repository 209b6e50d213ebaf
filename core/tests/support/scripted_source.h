// A byte source for tests that serves given bytes in pieces of a chosen size, then either ends or
// fails, so that decoders meet short reads and trailing errors (such as a bad checksum).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "stream/byte_source.h"

namespace kubrel::testing {

class ScriptedSource final : public ByteSource {
 public:
  // Serves `bytes` at most `piece` bytes per read; after them, fails with `error` when it is not
  // empty, else reports the end of input.
  explicit ScriptedSource(std::vector<uint8_t> bytes, size_t piece = SIZE_MAX,
                          std::string error = "")
      : bytes_(std::move(bytes)), piece_(piece), error_(std::move(error)) {}

  Result<size_t> read(uint8_t* dst, size_t n) override;

 private:
  std::vector<uint8_t> bytes_;
  size_t piece_;
  std::string error_;
  size_t position_ = 0;
};

}  // namespace kubrel::testing
