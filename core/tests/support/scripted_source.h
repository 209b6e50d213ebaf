// Test byte source that serves fixed bytes in limited pieces, records every request and can be told
// to fail on chosen calls; and small helpers around byte sources.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "io/byte_source.h"

namespace kubrel::testing {

// What a ScriptedSource saw; shared so it outlives the source and tells when it was released.
struct SourceLog {
  std::vector<size_t> requested;  // n of every call, failed ones included
  std::vector<size_t> returned;   // count of every successful call
  bool released = false;
};

class ScriptedSource final : public ByteSource {
 public:
  // Serves `bytes` at most `max_piece` bytes per call; calls whose 0-based index is in
  // `failing_calls` fail with "scripted failure" and deliver nothing.
  ScriptedSource(std::vector<uint8_t> bytes, std::shared_ptr<SourceLog> log,
                 size_t max_piece = SIZE_MAX, std::set<size_t> failing_calls = {});
  ~ScriptedSource() override;

  Result<size_t> read(uint8_t* dst, size_t n) override;

 private:
  std::vector<uint8_t> bytes_;
  std::shared_ptr<SourceLog> log_;
  size_t max_piece_;
  std::set<size_t> failing_calls_;
  size_t position_ = 0;
  size_t calls_ = 0;
};

inline constexpr const char* kScriptedFailure = "scripted failure";

// Reads `source` to its end in calls of `piece` bytes. Stops at the first error and returns it.
Result<std::vector<uint8_t>> read_all(ByteSource& source, size_t piece);

// `n` bytes of a deterministic pseudo-random sequence.
std::vector<uint8_t> random_bytes(size_t n, uint32_t seed);

}  // namespace kubrel::testing
