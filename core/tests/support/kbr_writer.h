// Builds KBR byte streams for tests: the primitive encoders, the header and the body
// instructions, so that tests state what a file holds instead of spelling out opaque bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "common/geometry.h"
#include "io/byte_source.h"

namespace kubrel {

class KbrWriter {
 public:
  // Primitives. var_int and var_long write the shortest encoding of the value's bits, so negative
  // values take 5 and 10 bytes.
  KbrWriter& var_int(int32_t value);
  KbrWriter& var_long(int64_t value);
  // A VarInt byte length, then the bytes as they are (no validation).
  KbrWriter& string(std::string_view text);
  KbrWriter& raw(const std::vector<uint8_t>& bytes);

  // A valid header: magic, version 1, the two inclusive corners and the walk order.
  KbrWriter& header(const BlockPosition& min, const BlockPosition& max, AxisOrder order);
  // A header with every field chosen, valid or not.
  KbrWriter& header_fields(int64_t magic, int32_t version, const BlockPosition& min,
                           const BlockPosition& max, uint8_t axis_code);

  // Opcode 0: a palette entry from state text. Entry k (counting from 0) gets the id 2k + 2.
  KbrWriter& define(std::string_view state_text);
  // Opcode 1: a palette entry as a difference against the entry `base_id`.
  KbrWriter& derive(int32_t base_id, std::string_view difference);
  // A run of one block of entry `id`, written as the bare (even) opcode.
  KbrWriter& single(int32_t id);
  // A run of `length` blocks of entry `id`: opcode id + 1, then the length.
  KbrWriter& run(int32_t id, int32_t length);

  const std::vector<uint8_t>& bytes() const { return bytes_; }
  // An in-memory source over a copy of the bytes, or of their first `prefix` bytes.
  std::unique_ptr<ByteSource> source() const;
  std::unique_ptr<ByteSource> source(size_t prefix) const;

 private:
  std::vector<uint8_t> bytes_;
};

}  // namespace kubrel
