// An owned byte buffer for the large arrays a load fills once: an inflated document, a volume's
// grid. A vector writes every byte it gives out; this one can be had without that pass, since
// fresh memory from the system is zero already (a zeroed 60 MB grid then costs no pass of its
// own). Large buffers are mappings of their own, backed by huge pages where the system allows,
// which grow and shrink by moving pages, and which can make room in front of their bytes the
// same way: so a grid can be decoded into the pages of the document it comes from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/error.h"

namespace kubrel {

class PageBuffer {
 public:
  PageBuffer() = default;
  // Copies throw std::bad_alloc when memory runs out, as a vector's do.
  PageBuffer(const PageBuffer& other);
  PageBuffer& operator=(const PageBuffer& other);
  PageBuffer(PageBuffer&& other) noexcept;
  PageBuffer& operator=(PageBuffer&& other) noexcept;
  ~PageBuffer();

  std::byte* data() { return data_; }
  const std::byte* data() const { return data_; }
  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }
  std::byte& operator[](size_t i) { return data_[i]; }
  const std::byte& operator[](size_t i) const { return data_[i]; }
  std::span<const uint8_t> bytes() const {
    return {reinterpret_cast<const uint8_t*>(data_), size_};
  }

  // `count` zero bytes, in fresh memory.
  [[nodiscard]] Status assign_zeroed(size_t count);
  // Room for `count` bytes without moving; the size stays.
  [[nodiscard]] Status reserve(size_t count);
  // Size `count`: bytes kept up to the old size, those after it unspecified (for a caller that
  // writes them all). The room stays.
  [[nodiscard]] Status resize_for_overwrite(size_t count);
  // Gives the pages past the size back to the system.
  [[nodiscard]] Status shrink_to_fit();
  // Moves the bytes up by at least `offset` (returned: the actual one, rounded to whole pages for
  // a mapping) with nothing copied where pages can be moved; bytes in front are unspecified.
  [[nodiscard]] Result<size_t> make_room_in_front(size_t offset);

  // Like std::vector's, for callers that build small grids by hand; they throw std::bad_alloc
  // when memory runs out.
  void resize(size_t count);
  void assign(size_t count, std::byte value);
  void pop_back() { --size_; }

 private:
  [[nodiscard]] Status reallocate(size_t capacity);
  void release();

  std::byte* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
  // Whether the storage is a mapping of its own (else from malloc).
  bool mapped_ = false;
};

}  // namespace kubrel
