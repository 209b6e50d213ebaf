#include "support/scripted_source.h"

#include <algorithm>
#include <cstring>
#include <random>

namespace kubrel::testing {

ScriptedSource::ScriptedSource(std::vector<uint8_t> bytes, std::shared_ptr<SourceLog> log,
                               size_t max_piece, std::set<size_t> failing_calls)
    : bytes_(std::move(bytes)),
      log_(std::move(log)),
      max_piece_(max_piece),
      failing_calls_(std::move(failing_calls)) {}

ScriptedSource::~ScriptedSource() {
  log_->released = true;
}

Result<size_t> ScriptedSource::read(uint8_t* dst, size_t n) {
  log_->requested.push_back(n);
  if (failing_calls_.contains(calls_++)) return fail(kScriptedFailure);
  size_t count = std::min({n, max_piece_, bytes_.size() - position_});
  if (count > 0) std::memcpy(dst, bytes_.data() + position_, count);
  position_ += count;
  log_->returned.push_back(count);
  return count;
}

Result<std::vector<uint8_t>> read_all(ByteSource& source, size_t piece) {
  std::vector<uint8_t> out;
  std::vector<uint8_t> chunk(piece);
  while (true) {
    KUBREL_ASSIGN_OR_RETURN(size_t got, source.read(chunk.data(), piece));
    if (got == 0) return out;
    out.insert(out.end(), chunk.begin(), chunk.begin() + got);
  }
}

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> out(n);
  for (auto& byte : out) byte = static_cast<uint8_t>(rng());
  return out;
}

}  // namespace kubrel::testing
