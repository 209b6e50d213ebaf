#include "common/page_buffer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "common/huge_pages.h"

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace kubrel {

namespace {

#if defined(__linux__)
// Below this a buffer comes from malloc: a mapping per small file would cost more system calls
// than its pages.
constexpr size_t kMapThreshold = size_t{1} << 20;
constexpr size_t kHugePage = size_t{2} << 20;

size_t page_size() {
  static const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return size;
}

size_t whole_pages(size_t bytes) {
  return (bytes + page_size() - 1) & ~(page_size() - 1);
}

// A fresh zeroed mapping of `bytes` (whole pages) starting on a huge-page boundary, advised to be
// backed by huge pages as a whole (advice on part of it would split it, and a split mapping
// cannot be moved in one piece). Null when the system refuses.
std::byte* map_fresh(size_t bytes) {
  size_t length = whole_pages(bytes);
  void* raw =
      mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  auto start = reinterpret_cast<uintptr_t>(raw);
  uintptr_t aligned = (start + kHugePage - 1) & ~(kHugePage - 1);
  if (aligned > start) munmap(raw, aligned - start);
  munmap(reinterpret_cast<void*>(aligned + length), start + kHugePage - aligned);
  advise_huge_pages(reinterpret_cast<void*>(aligned), length);
  return reinterpret_cast<std::byte*>(aligned);
}

// The pages of the mapping [data, data + length) moved, without a copy, to `at` bytes into a
// fresh mapping of `fresh_length` bytes (`at` a multiple of the huge page); that mapping, or null
// when the system refuses (the old one then stands as it was).
std::byte* move_into_fresh(std::byte* data, size_t length, size_t fresh_length, size_t at) {
  std::byte* fresh = map_fresh(fresh_length);
  if (fresh == nullptr) return nullptr;
  if (mremap(data, length, length, MREMAP_MAYMOVE | MREMAP_FIXED, fresh + at) == MAP_FAILED) {
    munmap(fresh, whole_pages(fresh_length));
    return nullptr;
  }
  return fresh;
}

// The mapping at `data` resized to `length` (whole pages); null when the system refuses. It
// grows in place where it can, else its pages move to a fresh mapping on a huge-page boundary
// (wherever the kernel would put them, huge pages already in use could be split).
std::byte* move_mapping(std::byte* data, size_t old_length, size_t length) {
  if (length <= old_length || mremap(data, old_length, length, 0) != MAP_FAILED) {
    if (length < old_length) munmap(data + length, old_length - length);
    return data;
  }
  return move_into_fresh(data, old_length, length, 0);
}
#endif

std::unexpected<Error> out_of_memory(size_t bytes) {
  return fail("out of memory for " + std::to_string(bytes) + " bytes");
}

}  // namespace

PageBuffer::PageBuffer(PageBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      mapped_(std::exchange(other.mapped_, false)) {}

PageBuffer::PageBuffer(const PageBuffer& other) {
  *this = other;
}

PageBuffer& PageBuffer::operator=(const PageBuffer& other) {
  if (this != &other) {
    if (!resize_for_overwrite(other.size_)) throw std::bad_alloc();
    if (size_ > 0) std::memcpy(data_, other.data_, size_);
  }
  return *this;
}

PageBuffer& PageBuffer::operator=(PageBuffer&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    mapped_ = std::exchange(other.mapped_, false);
  }
  return *this;
}

PageBuffer::~PageBuffer() {
  release();
}

void PageBuffer::release() {
#if defined(__linux__)
  if (mapped_) {
    munmap(data_, whole_pages(capacity_));
  } else {
    std::free(data_);
  }
#else
  std::free(data_);
#endif
  data_ = nullptr;
  size_ = capacity_ = 0;
  mapped_ = false;
}

Status PageBuffer::assign_zeroed(size_t count) {
  release();
#if defined(__linux__)
  if (count >= kMapThreshold) {
    data_ = map_fresh(count);
    if (data_ == nullptr) return out_of_memory(count);
    mapped_ = true;
    size_ = capacity_ = count;
    return {};
  }
#endif
  data_ = static_cast<std::byte*>(std::calloc(count == 0 ? 1 : count, 1));
  if (data_ == nullptr) return out_of_memory(count);
  size_ = capacity_ = count;
  return {};
}

Status PageBuffer::reallocate(size_t capacity) {
  size_t kept = std::min(size_, capacity);
#if defined(__linux__)
  if (capacity >= kMapThreshold) {
    std::byte* moved = nullptr;
    if (mapped_) {
      moved = move_mapping(data_, whole_pages(capacity_), whole_pages(capacity));
      if (moved == nullptr) return out_of_memory(capacity);
    } else {
      moved = map_fresh(capacity);
      if (moved == nullptr) return out_of_memory(capacity);
      if (kept > 0) std::memcpy(moved, data_, kept);
      std::free(data_);
    }
    data_ = moved;
    mapped_ = true;
    capacity_ = capacity;
    size_ = kept;
    return {};
  }
  if (mapped_) {
    auto* small = static_cast<std::byte*>(std::malloc(capacity == 0 ? 1 : capacity));
    if (small == nullptr) return out_of_memory(capacity);
    if (kept > 0) std::memcpy(small, data_, kept);
    munmap(data_, whole_pages(capacity_));
    data_ = small;
    mapped_ = false;
    capacity_ = capacity;
    size_ = kept;
    return {};
  }
#endif
  void* grown = std::realloc(data_, capacity == 0 ? 1 : capacity);
  if (grown == nullptr) return out_of_memory(capacity);
  data_ = static_cast<std::byte*>(grown);
  capacity_ = capacity;
  size_ = kept;
  return {};
}

Status PageBuffer::reserve(size_t count) {
  if (count <= capacity_ && data_ != nullptr) return {};
  return reallocate(count);
}

Status PageBuffer::resize_for_overwrite(size_t count) {
  if (count > capacity_ || data_ == nullptr) KUBREL_TRY(reallocate(count));
  size_ = count;
  return {};
}

Status PageBuffer::shrink_to_fit() {
#if defined(__linux__)
  // Shrinking a mapping never moves it.
  if (mapped_ && whole_pages(size_) < whole_pages(capacity_)) {
    return reallocate(std::max(size_, kMapThreshold));
  }
#endif
  return {};
}

Result<size_t> PageBuffer::make_room_in_front(size_t offset) {
  if (offset == 0) return 0;
#if defined(__linux__)
  if (mapped_) {
    // On a huge-page boundary, so that huge pages move whole instead of being split.
    size_t shift = (offset + kHugePage - 1) & ~(kHugePage - 1);
    size_t moved_length = whole_pages(capacity_);
    if (std::byte* fresh = move_into_fresh(data_, moved_length, shift + moved_length, shift)) {
      data_ = fresh;
      capacity_ = shift + moved_length;
      size_ += shift;
      return shift;
    }
  }
#endif
  size_t old_size = size_;
  KUBREL_TRY(reallocate(capacity_ + offset));
  if (old_size > 0) std::memmove(data_ + offset, data_, old_size);
  size_ = old_size + offset;
  return offset;
}

void PageBuffer::resize(size_t count) {
  size_t old_size = data_ == nullptr ? 0 : size_;
  if (!resize_for_overwrite(count)) throw std::bad_alloc();
  if (count > old_size) std::memset(data_ + old_size, 0, count - old_size);
}

void PageBuffer::assign(size_t count, std::byte value) {
  if (!resize_for_overwrite(count)) throw std::bad_alloc();
  if (count > 0) std::memset(data_, static_cast<int>(value), count);
}

}  // namespace kubrel
