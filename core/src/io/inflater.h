// The raw deflate decoder behind the streaming gzip chain, with the check of the member's CRC-32
// and size trailer. Which library does the work is chosen when the build is configured: ISA-L
// where it was found (KUBREL_WITH_ISAL), zlib, which every system has, otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace kubrel {

enum class InflateOutcome : uint8_t {
  kMore,      // wants more input or more output space
  kFinished,  // the deflate data and a matching trailer are done
  kCorrupt,   // the deflate data is broken
  kChecksum,  // the trailer does not match what was inflated
};

struct InflateStep {
  size_t consumed = 0;
  size_t produced = 0;
  InflateOutcome outcome = InflateOutcome::kMore;
};

class Inflater {
 public:
  // Costs an allocation but no setup: start() prepares the state once the header is read.
  Inflater();
  ~Inflater();
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  // Prepares for a member's deflate data; false when the library cannot (out of memory).
  [[nodiscard]] bool start();
  // Inflates from `in` into `out` (at most 2^32 - 1 bytes of each are looked at).
  InflateStep step(std::span<const uint8_t> in, std::span<uint8_t> out);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The CRC-32 of gzip's header checksum, continued from `crc`.
uint32_t gzip_crc32(uint32_t crc, std::span<const uint8_t> bytes);

// The libraries this build inflates and compresses with, e.g. "isa-l, libdeflate" or "zlib".
const char* inflater_names();

}  // namespace kubrel
