// Reading, trimming and compaction of the shared buffer behind the forks.
#include "stream/shared_stream.h"

#include <algorithm>
#include <cstring>

namespace kubrel {
namespace {

// Capacity kept when the buffer empties; more than this is returned to the allocator.
constexpr size_t kIdleCapacity = 4 * SharedStream::kChunkSize;

}  // namespace

std::shared_ptr<SharedStream> SharedStream::create(std::unique_ptr<ByteSource> source) {
  return std::shared_ptr<SharedStream>(new SharedStream(std::move(source)));
}

SharedStream::SharedStream(std::unique_ptr<ByteSource> source) : source_(std::move(source)) {
  buffer_.reserve(kChunkSize);
}

std::unique_ptr<VirtualReader> SharedStream::fork() {
  auto cell = std::make_shared<size_t>(start_);
  cursors_.push_back(Cursor{cell, cell.get()});
  return std::unique_ptr<VirtualReader>(new VirtualReader(shared_from_this(), std::move(cell)));
}

Result<size_t> SharedStream::read(size_t& position, uint8_t* dst, size_t len) {
  if (position >= buffer_.size() && !eof_) {
    uint8_t chunk[kChunkSize] = {};
    KUBREL_ASSIGN_OR_RETURN(size_t got, source_->read(chunk, kChunkSize));
    if (got == 0) {
      eof_ = true;
      return size_t{0};
    }
    buffer_.insert(buffer_.end(), chunk, chunk + std::min(got, kChunkSize));
  }
  if (position == buffer_.size()) return size_t{0};
  size_t n = std::min(len, buffer_.size() - position);
  if (n > 0) std::memcpy(dst, buffer_.data() + position, n);
  position += n;
  trim();
  return n;
}

void SharedStream::trim() {
  size_t slowest = SIZE_MAX;
  auto kept = cursors_.begin();
  for (auto it = cursors_.begin(); it != cursors_.end(); ++it) {
    if (it->cell.expired()) continue;
    slowest = std::min(slowest, *it->position);
    if (kept != it) *kept = std::move(*it);
    ++kept;
  }
  cursors_.erase(kept, cursors_.end());
  // The reading fork is alive, so `slowest` is one of the live positions.
  start_ = slowest;
  size_t live = buffer_.size() - start_;
  // Compacting only once the dropped prefix outweighs the kept bytes moves each byte a bounded
  // number of times; with one fork the buffer empties before every refill and nothing moves.
  if (live == 0 || (start_ >= kChunkSize && start_ >= live)) compact();
}

void SharedStream::compact() {
  size_t live = buffer_.size() - start_;
  for (Cursor& cursor : cursors_) {
    if (!cursor.cell.expired()) *cursor.position -= start_;
  }
  if (live > 0) std::memmove(buffer_.data(), buffer_.data() + start_, live);
  buffer_.resize(live);
  start_ = 0;
  if (buffer_.capacity() > std::max(kIdleCapacity, 4 * live)) {
    std::vector<uint8_t> smaller;
    smaller.reserve(std::max(kChunkSize, 2 * live));
    smaller.assign(buffer_.begin(), buffer_.end());
    buffer_.swap(smaller);
  }
}

}  // namespace kubrel
