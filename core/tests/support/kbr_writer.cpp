// Test-side KBR encoder.
#include "support/kbr_writer.h"

#include <algorithm>

#include "formats/kbr_reader.h"

namespace kubrel {

KbrWriter& KbrWriter::var_long(int64_t value) {
  uint64_t bits = static_cast<uint64_t>(value);
  while (bits >= 0x80) {
    bytes_.push_back(static_cast<uint8_t>(bits | 0x80));
    bits >>= 7;
  }
  bytes_.push_back(static_cast<uint8_t>(bits));
  return *this;
}

KbrWriter& KbrWriter::var_int(int32_t value) {
  // The 32 bits, not the sign-extended 64.
  return var_long(static_cast<int64_t>(static_cast<uint32_t>(value)));
}

KbrWriter& KbrWriter::string(std::string_view text) {
  var_int(static_cast<int32_t>(text.size()));
  bytes_.insert(bytes_.end(), text.begin(), text.end());
  return *this;
}

KbrWriter& KbrWriter::raw(const std::vector<uint8_t>& bytes) {
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  return *this;
}

KbrWriter& KbrWriter::header(const BlockPosition& min, const BlockPosition& max, AxisOrder order) {
  return header_fields(kKbrMagic, kKbrVersion, min, max, static_cast<uint8_t>(order));
}

KbrWriter& KbrWriter::header_fields(int64_t magic, int32_t version, const BlockPosition& min,
                                    const BlockPosition& max, uint8_t axis_code) {
  var_long(magic).var_int(version);
  var_int(min.x).var_int(min.y).var_int(min.z);
  var_int(max.x).var_int(max.y).var_int(max.z);
  bytes_.push_back(axis_code);
  return *this;
}

KbrWriter& KbrWriter::define(std::string_view state_text) {
  return var_int(0).var_int(0).string(state_text);
}

KbrWriter& KbrWriter::derive(int32_t base_id, std::string_view difference) {
  return var_int(1).var_int(base_id).string(difference);
}

KbrWriter& KbrWriter::single(int32_t id) {
  return var_int(id);
}

KbrWriter& KbrWriter::run(int32_t id, int32_t length) {
  return var_int(id + 1).var_int(length);
}

std::unique_ptr<ByteSource> KbrWriter::source() const {
  return source(bytes_.size());
}

std::unique_ptr<ByteSource> KbrWriter::source(size_t prefix) const {
  prefix = std::min(prefix, bytes_.size());
  return std::make_unique<MemorySource>(
      std::vector<uint8_t>(bytes_.begin(), bytes_.begin() + static_cast<ptrdiff_t>(prefix)));
}

}  // namespace kubrel
