// Replayable reading of a one-way byte source: any number of forks read the same bytes, each at
// its own pace. The fork at the front pulls new bytes; forks behind are served from a buffer that
// keeps only what some live fork has not yet passed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "io/byte_source.h"

namespace kubrel {

class VirtualReader;

// Owns the byte source and the bytes some fork may still need. Lives as long as any fork (or other
// strong reference); the byte source is released with it. Single-threaded, like its forks.
class SharedStream : public std::enable_shared_from_this<SharedStream> {
 public:
  // Size of every read of the source.
  static constexpr size_t kChunkSize = 1024;

  // Takes ownership of `source` without reading from it.
  [[nodiscard]] static std::shared_ptr<SharedStream> create(std::unique_ptr<ByteSource> source);

  SharedStream(const SharedStream&) = delete;
  SharedStream& operator=(const SharedStream&) = delete;

  // A new fork positioned at the oldest byte still buffered, which is the first byte of the input
  // as long as no fork has read yet. The fork keeps this stream alive.
  [[nodiscard]] std::unique_ptr<VirtualReader> fork();

  // Bytes held for forks that have not passed them yet.
  [[nodiscard]] size_t buffered_size() const { return size_ - start_; }
  // Bytes allocated for holding them.
  [[nodiscard]] size_t buffer_capacity() const { return capacity_; }

  // Forgets dead forks and drops the bytes every live fork has passed (all of them when no fork
  // is left). Reads do this by themselves; call it after destroying forks so their bytes go even
  // if no fork reads again.
  void trim();

 private:
  friend class VirtualReader;

  struct Cursor {
    std::weak_ptr<size_t> cell;
    // The cell's value, valid while `cell` has not expired; saves locking the weak reference on
    // every pass.
    size_t* position;
  };

  explicit SharedStream(std::unique_ptr<ByteSource> source);

  Result<size_t> read(size_t& position, uint8_t* dst, size_t len);
  // Moves the kept bytes to the front of the buffer and releases memory left over from a wide
  // spread between forks.
  void compact();
  // Sets the capacity to `capacity` (at least the size).
  void reallocate(size_t capacity);

  struct Free {
    void operator()(uint8_t* bytes) const { std::free(bytes); }
  };
  // Positions are indices into buffer_, which holds size_ bytes; its first start_ bytes are
  // already dropped and wait for compact() to be reclaimed. The buffer grows with realloc, which
  // can move a large one by remapping its pages instead of copying them.
  std::unique_ptr<uint8_t[], Free> buffer_;
  size_t size_ = 0;
  size_t capacity_ = 0;
  size_t start_ = 0;
  std::vector<Cursor> cursors_;
  std::unique_ptr<ByteSource> source_;
  bool eof_ = false;
};

// One fork of a SharedStream: an independent byte source over the same bytes. A read by the fork
// at the front brings at most one chunk of 1024 bytes; a fork behind gets what is buffered ahead of
// it. Source failures are returned to the fork that asked and change nothing; once the source has
// ended it is never asked again. A read of 0 bytes may return 0 without the input having ended.
class VirtualReader final : public ByteSource {
 public:
  Result<size_t> read(uint8_t* dst, size_t len) override {
    return shared_->read(*cursor_, dst, len);
  }

 private:
  friend class SharedStream;

  VirtualReader(std::shared_ptr<SharedStream> shared, std::shared_ptr<size_t> cursor)
      : shared_(std::move(shared)), cursor_(std::move(cursor)) {}

  std::shared_ptr<SharedStream> shared_;
  std::shared_ptr<size_t> cursor_;
};

}  // namespace kubrel
