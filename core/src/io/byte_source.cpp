#include "io/byte_source.h"

#include <algorithm>

namespace kubrel {

Status read_exact(ByteSource& source, uint8_t* dst, size_t n) {
  while (n > 0) {
    KUBREL_ASSIGN_OR_RETURN(size_t got, source.read(dst, n));
    if (got == 0) return fail(kUnexpectedEndMessage);
    got = std::min(got, n);
    dst += got;
    n -= got;
  }
  return {};
}

namespace {

// Copies at most `n` of the bytes from `position` on and moves past them.
size_t copy_from(std::span<const uint8_t> bytes, size_t& position, uint8_t* dst, size_t n) {
  size_t count = std::min(n, bytes.size() - position);
  if (count > 0) std::memcpy(dst, bytes.data() + position, count);
  position += count;
  return count;
}

}  // namespace

Result<size_t> MemorySource::read(uint8_t* dst, size_t n) {
  return copy_from(bytes_, position_, dst, n);
}

Result<size_t> SpanSource::read(uint8_t* dst, size_t n) {
  size_t count = copy_from(bytes_, position_, dst, n);
  if (position_ == bytes_.size()) keeper_.reset();
  return count;
}

Result<size_t> ReplaySource::read(uint8_t* dst, size_t n) {
  if (position_ < taken_.size()) {
    size_t count = copy_from(taken_.bytes(), position_, dst, n);
    if (position_ == taken_.size()) taken_ = PageBuffer();
    if (count > 0) return count;
  }
  return rest_->read(dst, n);
}

Result<bool> read_up_to(ByteSource& source, size_t initial, uint64_t limit, PageBuffer& bytes) {
  const size_t most = static_cast<size_t>(std::min<uint64_t>(limit, SIZE_MAX - 1) + 1);
  KUBREL_TRY(bytes.resize_for_overwrite(0));
  KUBREL_TRY(bytes.reserve(std::min(std::max<size_t>(initial, 1), most)));
  while (true) {
    size_t size = bytes.size();
    if (size > limit) return false;
    if (size == bytes.capacity()) KUBREL_TRY(bytes.reserve(std::min(size * 2, most)));
    KUBREL_TRY(bytes.resize_for_overwrite(bytes.capacity()));
    auto* free_space = reinterpret_cast<uint8_t*>(bytes.data()) + size;
    auto got = source.read(free_space, bytes.capacity() - size);
    KUBREL_TRY(bytes.resize_for_overwrite(size + (got ? *got : 0)));
    if (!got) return std::unexpected(std::move(got.error()));
    if (*got == 0) return true;
  }
}

BufferedSource::BufferedSource(std::unique_ptr<ByteSource> inner, size_t capacity)
    : inner_(std::move(inner)),
      buffer_(std::make_unique_for_overwrite<uint8_t[]>(capacity)),
      data_(buffer_.get()),
      capacity_(capacity) {}

std::unique_ptr<BufferedSource> BufferedSource::over(std::span<const uint8_t> bytes) {
  // An empty inner source: once the bytes are read, the input has ended.
  auto source =
      std::make_unique<BufferedSource>(std::make_unique<MemorySource>(std::vector<uint8_t>{}), 0);
  source->data_ = bytes.data();
  source->capacity_ = bytes.size();
  source->end_ = bytes.size();
  return source;
}

Result<size_t> BufferedSource::refill() {
  begin_ = 0;
  end_ = 0;
  KUBREL_ASSIGN_OR_RETURN(size_t got, inner_->read(buffer_.get(), capacity_));
  end_ = std::min(got, capacity_);
  return end_;
}

Result<size_t> BufferedSource::read(uint8_t* dst, size_t n) {
  if (n == 0) return size_t{0};
  if (begin_ == end_) {
    if (n >= capacity_) {
      KUBREL_ASSIGN_OR_RETURN(size_t got, inner_->read(dst, n));
      return std::min(got, n);
    }
    KUBREL_TRY(refill());
  }
  size_t count = std::min(n, end_ - begin_);
  if (count > 0) std::memcpy(dst, data_ + begin_, count);
  begin_ += count;
  return count;
}

Status BufferedSource::skip(uint64_t n) {
  while (n > 0) {
    if (begin_ == end_) {
      KUBREL_ASSIGN_OR_RETURN(size_t got, refill());
      if (got == 0) return fail(kUnexpectedEndMessage);
    }
    size_t count = static_cast<size_t>(std::min<uint64_t>(n, end_ - begin_));
    begin_ += count;
    n -= count;
  }
  return {};
}

Result<std::span<const uint8_t>> BufferedSource::fill_buffer() {
  if (begin_ == end_) KUBREL_TRY(refill());
  return std::span<const uint8_t>(data_ + begin_, end_ - begin_);
}

Result<std::optional<uint8_t>> BufferedSource::next_byte_slow() {
  KUBREL_ASSIGN_OR_RETURN(size_t got, refill());
  if (got == 0) return std::optional<uint8_t>{};
  return std::optional<uint8_t>{data_[begin_++]};
}

Status BufferedSource::read_exact_slow(uint8_t* dst, size_t n) {
  size_t buffered = end_ - begin_;
  if (buffered > 0) {
    std::memcpy(dst, data_ + begin_, buffered);
    begin_ = end_;
    dst += buffered;
    n -= buffered;
  }
  while (n > 0) {
    if (n >= capacity_) {
      KUBREL_ASSIGN_OR_RETURN(size_t got, inner_->read(dst, n));
      if (got == 0) return fail(kUnexpectedEndMessage);
      got = std::min(got, n);
      dst += got;
      n -= got;
      continue;
    }
    KUBREL_ASSIGN_OR_RETURN(size_t got, refill());
    if (got == 0) return fail(kUnexpectedEndMessage);
    size_t count = std::min(n, got);
    std::memcpy(dst, data_, count);
    begin_ = count;
    dst += count;
    n -= count;
  }
  return {};
}

}  // namespace kubrel
