// A Python object's buffer held for the lifetime of a C++ object, so that every path out of a
// function releases it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <bit>
#include <cstdint>
#include <span>
#include <string_view>

namespace kubrel::py {

class BufferView {
 public:
  BufferView() = default;
  ~BufferView() {
    if (held_) PyBuffer_Release(&view_);
  }
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;

  // False with an error set when `object` offers no buffer of the kind `flags` asks for.
  bool acquire(PyObject* object, int flags = PyBUF_SIMPLE) {
    held_ = PyObject_GetBuffer(object, &view_, flags) == 0;
    return held_;
  }
  const Py_buffer& view() const { return view_; }
  // The bytes of a contiguous buffer (one taken with PyBUF_SIMPLE).
  std::span<const uint8_t> bytes() const {
    return {static_cast<const uint8_t*>(view_.buf), static_cast<size_t>(view_.len)};
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// True for a buffer of native-order unsigned integers of 1, 2 or 4 bytes: palette indices.
inline bool holds_unsigned_indices(const Py_buffer& view) {
  std::string_view format = view.format == nullptr ? "B" : view.format;
  if (!format.empty() && (format[0] == '@' || format[0] == '=' ||
                          (format[0] == '<' && std::endian::native == std::endian::little) ||
                          (format[0] == '>' && std::endian::native == std::endian::big))) {
    format.remove_prefix(1);
  }
  return format.size() == 1 && std::string_view("BHIL").find(format[0]) != std::string_view::npos &&
         (view.itemsize == 1 || view.itemsize == 2 || view.itemsize == 4);
}

}  // namespace kubrel::py
