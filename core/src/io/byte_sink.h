// Where encoders put their bytes: an interface taking whole spans, so that an encoder can write to
// memory, through a compressor or into a file without knowing which.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common/error.h"

namespace kubrel {

class ByteSink {
 public:
  virtual ~ByteSink() = default;

  // Takes all of `bytes` or fails with one message. After a failure the sink is not written to
  // again: what it already took is incomplete.
  [[nodiscard]] virtual Status write(std::span<const uint8_t> bytes) = 0;
};

// Keeps every byte written, in memory.
class VectorSink final : public ByteSink {
 public:
  Status write(std::span<const uint8_t> bytes) override {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return {};
  }

  const std::vector<uint8_t>& bytes() const { return bytes_; }
  std::vector<uint8_t> take() { return std::move(bytes_); }

 private:
  std::vector<uint8_t> bytes_;
};

// Counts the bytes written and drops them: the size an encoding would take.
class CountingSink final : public ByteSink {
 public:
  Status write(std::span<const uint8_t> bytes) override {
    count_ += bytes.size();
    return {};
  }

  uint64_t count() const { return count_; }

 private:
  uint64_t count_ = 0;
};

}  // namespace kubrel
