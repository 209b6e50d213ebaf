// The byte-source interface that every reader consumes, the generic exact read on top of it, and
// two sources of our own: an in-memory copy and a buffering wrapper with an inlined byte fast path.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "common/error.h"
#include "common/page_buffer.h"

namespace kubrel {

inline constexpr const char* kUnexpectedEndMessage = "failed to fill whole buffer";

class ByteSource {
 public:
  virtual ~ByteSource() = default;

  // Copies at most `n` bytes into `dst` and returns how many were copied. 0 means the input has
  // ended (or `n` was 0). An I/O failure is returned as an error carrying the source's text.
  [[nodiscard]] virtual Result<size_t> read(uint8_t* dst, size_t n) = 0;

  // How many bytes are left to read, where the source already holds them all in memory; unknown
  // (nullopt) for streams. A reader may size a buffer from a declared length up to this many
  // bytes at once: they are there, so no input can make it allocate beyond its own size.
  [[nodiscard]] virtual std::optional<uint64_t> remaining() const { return std::nullopt; }

  // How many bytes are left to read as far as the source can tell up front (a regular file's size,
  // bytes in memory); unknown for streams. Only a hint for choosing how to read: the input may
  // still end elsewhere, so nothing may be sized from it beyond what the caller bounds anyway.
  [[nodiscard]] virtual std::optional<uint64_t> size_hint() const { return remaining(); }
};

// Fills `dst` with exactly `n` bytes, reading as often as needed. Fails with
// "failed to fill whole buffer" when the input ends first, or with the source's own error.
[[nodiscard]] Status read_exact(ByteSource& source, uint8_t* dst, size_t n);

// Reads `source` to its end into `bytes` (true), starting with room for `initial` bytes and
// doubling the room as bytes arrive: memory is written (and committed) only as bytes arrive, and a
// large buffer grows by moving its pages, not copying them. Stops with false once more than
// `limit` bytes have arrived, so the room never exceeds `limit` + 1. On false or an error of the
// source, `bytes` holds what arrived.
[[nodiscard]] Result<bool> read_up_to(ByteSource& source, size_t initial, uint64_t limit,
                                      PageBuffer& bytes);

// Reads an owned copy of some bytes from the start.
class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
  explicit MemorySource(std::span<const uint8_t> bytes) : bytes_(bytes.begin(), bytes.end()) {}

  Result<size_t> read(uint8_t* dst, size_t n) override;
  std::optional<uint64_t> remaining() const override { return bytes_.size() - position_; }

 private:
  std::vector<uint8_t> bytes_;
  size_t position_ = 0;
};

// Reads bytes held elsewhere. `keeper`, when given, owns them; it is let go once the last byte has
// been read, so that sources sharing one buffer free it as soon as all of them are through.
class SpanSource final : public ByteSource {
 public:
  explicit SpanSource(std::span<const uint8_t> bytes, std::shared_ptr<const void> keeper = nullptr)
      : bytes_(bytes), keeper_(std::move(keeper)) {}

  Result<size_t> read(uint8_t* dst, size_t n) override;
  std::optional<uint64_t> remaining() const override { return bytes_.size() - position_; }

 private:
  std::span<const uint8_t> bytes_;
  std::shared_ptr<const void> keeper_;
  size_t position_ = 0;
};

// The bytes already taken from a source, then the rest of that source: a reader can look ahead
// at an input and still hand it on whole. The taken bytes are freed once passed.
class ReplaySource final : public ByteSource {
 public:
  ReplaySource(PageBuffer taken, std::unique_ptr<ByteSource> rest)
      : taken_(std::move(taken)), rest_(std::move(rest)) {}

  Result<size_t> read(uint8_t* dst, size_t n) override;

 private:
  PageBuffer taken_;
  size_t position_ = 0;
  std::unique_ptr<ByteSource> rest_;
};

// Buffers an owned source so that the many one-byte reads of the format decoders cost an inlined
// bounds check instead of a virtual call. Reads of a full buffer or more bypass the buffer.
class BufferedSource final : public ByteSource {
 public:
  explicit BufferedSource(std::unique_ptr<ByteSource> inner, size_t capacity = 8192);
  // Reads `bytes`, which it does not own (the caller keeps them alive), in place: they stand as
  // the buffer, so that no byte is copied on its way to the reader.
  static std::unique_ptr<BufferedSource> over(std::span<const uint8_t> bytes);

  Result<size_t> read(uint8_t* dst, size_t n) override;

  std::optional<uint64_t> remaining() const override {
    std::optional<uint64_t> inner = inner_->remaining();
    if (inner) *inner += end_ - begin_;
    return inner;
  }

  // The next byte, or std::nullopt at a clean end of input.
  [[nodiscard]] Result<std::optional<uint8_t>> next_byte() {
    if (begin_ < end_) [[likely]]
      return data_[begin_++];
    return next_byte_slow();
  }

  // Exactly `n` bytes into `dst`, with the message of the free function read_exact.
  [[nodiscard]] Status read_exact(uint8_t* dst, size_t n) {
    if (n <= end_ - begin_) [[likely]] {
      std::memcpy(dst, data_ + begin_, n);
      begin_ += n;
      return {};
    }
    return read_exact_slow(dst, n);
  }

  // Exactly one byte; the end of input is the "failed to fill whole buffer" error.
  [[nodiscard]] Result<uint8_t> read_u8() {
    if (begin_ < end_) [[likely]]
      return data_[begin_++];
    uint8_t byte = 0;
    KUBREL_TRY(read_exact_slow(&byte, 1));
    return byte;
  }

  // Reads and drops exactly `n` bytes, with the messages of read_exact.
  [[nodiscard]] Status skip(uint64_t n);

  // The bytes buffered and not yet read, after one read of the inner source if there were none;
  // empty only at the end of input. Valid until the next call on this source; pair with consume.
  [[nodiscard]] Result<std::span<const uint8_t>> fill_buffer();

  // The next `n` bytes when all of them are buffered, else null; reads nothing. Valid until the
  // next read from this source; pair with consume.
  [[nodiscard]] const uint8_t* peek(size_t n) const {
    return n <= end_ - begin_ ? data_ + begin_ : nullptr;
  }

  // Marks the first `n` bytes of what fill_buffer or peek returned as read.
  void consume(size_t n) { begin_ += std::min(n, end_ - begin_); }

  ByteSource& inner() { return *inner_; }

 private:
  Result<std::optional<uint8_t>> next_byte_slow();
  Status read_exact_slow(uint8_t* dst, size_t n);
  // Refills an empty buffer with one read of the inner source; returns the count read.
  Result<size_t> refill();

  std::unique_ptr<ByteSource> inner_;
  std::unique_ptr<uint8_t[]> buffer_;
  // Where the buffered bytes stand: buffer_, or the bytes of a source made by over().
  const uint8_t* data_ = nullptr;
  size_t capacity_;
  size_t begin_ = 0;
  size_t end_ = 0;
};

}  // namespace kubrel
