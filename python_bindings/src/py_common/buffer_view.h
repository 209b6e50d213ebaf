// A Python object's buffer held for the lifetime of a C++ object, so that every path out of a
// function releases it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <span>

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

}  // namespace kubrel::py
