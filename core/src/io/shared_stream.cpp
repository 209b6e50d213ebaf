// Reading, trimming and compaction of the shared buffer behind the forks.
#include "io/shared_stream.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace kubrel {
namespace {

// Capacity kept when the buffer empties; more than this is returned to the allocator.
constexpr size_t kIdleCapacity = 4 * SharedStream::kChunkSize;

}  // namespace

std::shared_ptr<SharedStream> SharedStream::create(std::unique_ptr<ByteSource> source) {
  return std::shared_ptr<SharedStream>(new SharedStream(std::move(source)));
}

SharedStream::SharedStream(std::unique_ptr<ByteSource> source) : source_(std::move(source)) {
  reallocate(kChunkSize);
}

void SharedStream::reallocate(size_t capacity) {
  auto* bytes = static_cast<uint8_t*>(std::realloc(buffer_.get(), capacity));
  if (bytes == nullptr) throw std::bad_alloc();
  (void)buffer_.release();
  buffer_.reset(bytes);
  capacity_ = capacity;
}

std::unique_ptr<VirtualReader> SharedStream::fork() {
  auto cell = std::make_shared<size_t>(start_);
  cursors_.push_back(Cursor{cell, cell.get()});
  return std::unique_ptr<VirtualReader>(new VirtualReader(shared_from_this(), std::move(cell)));
}

Result<size_t> SharedStream::read(size_t& position, uint8_t* dst, size_t len) {
  if (position >= size_ && !eof_) {
    if (capacity_ - size_ < kChunkSize) reallocate(std::max(size_ + kChunkSize, 2 * capacity_));
    KUBREL_ASSIGN_OR_RETURN(size_t got, source_->read(buffer_.get() + size_, kChunkSize));
    if (got == 0) {
      eof_ = true;
      return size_t{0};
    }
    size_ += std::min(got, kChunkSize);
  }
  if (position == size_) return size_t{0};
  size_t n = std::min(len, size_ - position);
  if (n > 0) std::memcpy(dst, buffer_.get() + position, n);
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
  // With no live fork left nothing needs keeping: every byte is dropped.
  start_ = cursors_.empty() ? size_ : slowest;
  size_t live = size_ - start_;
  // Compacting only once the dropped prefix outweighs the kept bytes moves each byte a bounded
  // number of times; with one fork the buffer empties before every refill and nothing moves.
  if (live == 0 || (start_ >= kChunkSize && start_ >= live)) compact();
}

void SharedStream::compact() {
  size_t live = size_ - start_;
  for (Cursor& cursor : cursors_) {
    if (!cursor.cell.expired()) *cursor.position -= start_;
  }
  if (live > 0) std::memmove(buffer_.get(), buffer_.get() + start_, live);
  size_ = live;
  start_ = 0;
  if (capacity_ > std::max(kIdleCapacity, 4 * live)) reallocate(std::max(kChunkSize, 2 * live));
}

}  // namespace kubrel
